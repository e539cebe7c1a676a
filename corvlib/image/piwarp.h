// Warping through a grid of control points and rotation by any angle.
#pragma once

#include "image/pimage.h"

// The mapping of one grid cell: cell pixel (x, y) has unit coordinates
// u = (x + 0.5) / xres, v = (y + 0.5) / yres and shows the source point
// ((a u + b v + c) / D, (d u + e v + f) / D), D = g u + h v + 1, in pixel-edge coordinates.
struct _ImgWarpMap {
  double a, b, c, d, e, f, g, h;
  int32_t xres, yres;  // the cell's size in destination pixels
  double footprint;    // root-mean-square source pixels per destination pixel
};

// Resamples src through a grid of nx x ny control points (row-major (x, y) pairs in source
// pixel-edge coordinates) spread evenly over dst, which supplies size and colour space.
// Basis 0 and 2 point-sample, 5 interpolates linearly, others with cubic weights. Positions
// outside the source take fill (one pixel in dst's layout; null means zero).
int PwarpImage(_ImgStruct* dst, const _ImgStruct* src, const float (*grid)[2], int nx, int ny,
               int basis, const void* fill);

// Rotates src about its centre by angle degrees (clockwise on screen) into dst's size.
int ProtateImage(_ImgStruct* dst, const _ImgStruct* src, double angle, int basis, const void* fill);

// For cell pixel (x, y): the source pixel to copy or fill; or null after writing eight
// weights (four horizontal, four vertical) and sixteen tap addresses (four rows of four, top
// row first) for interpolation.
const void* interpMap(float weights[8], const void* taps[16], int x, int y, const _ImgWarpMap* map,
                      const _ImgStruct* src, int basis, const void* fill);
