// Find nearby: the catalogue records lying within a radius of the selected records' positions.
#pragma once

// The find-nearby command of the main, image and info windows: asks for a radius in kilometres
// (the last one entered is offered again), replaces the main window's display with the
// catalogue records inside a latitude and longitude box around each selected record that has a
// position, and selects the records the boxes were built around. False when cancelled, when no
// selected record has a position (nothing is searched and the display stays) or when the search
// could not be made.
bool findNearby();

// The boxes of one position: how many (0 for a position that is not a place on the globe, 1, or
// 2 for a box crossing the 180th meridian) into lo and hi as {latitude, longitude} pairs.
// Latitudes are clamped to the poles; a box reaching a pole, or wider than the globe, takes
// every longitude.
int PnearbyBoxes(float lat, float lon, double km, float lo[2][2], float hi[2][2]);
