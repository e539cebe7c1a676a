// Byte-colour operations on 4-byte RGBE scanlines: tables that turn RGBE pixels into
// gamma-encoded bytes and back, and exponent shifts. The tables are process-wide and set by
// setcolrcor/setcolrinv/setcolrgam; they are not guarded, so set them before any thread
// uses the conversions.
#pragma once

#include "picture/rgbe.h"

// g_bval[i][j] = 256 f((j + 0.5)/256 / 2^i, a) for the 32 exponent steps; 0 or -1 (memory).
int setcolrcor(double (*f)(double, double), double a);
// The inverse tables g_mant, g_nexp of f(x, a); 0 or -1.
int setcolrinv(double (*f)(double, double), double a);
// Both tables for a display gamma g (f = pow); 0 or -1.
int setcolrgam(double g);
// RGBE pixels to gamma bytes in place (exponent byte 128); -1 when no tables are set.
int colrs_gambs(RGBEPIX* scan, int len);
// Gamma bytes back to RGBE pixels in place; -1 when no tables are set.
int gambs_colrs(RGBEPIX* scan, int len);
// Adds adjust to every exponent; a pixel whose exponent falls to 0 or below becomes black.
void shiftcolrs(RGBEPIX* scan, int len, int adjust);
// Brings every pixel to the common exponent 128 - adjust.
void normcolrs(RGBEPIX* scan, int len, int adjust);
