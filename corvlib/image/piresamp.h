// Resampling: a destination image of another size filtered by one of the numbered bases
// (2 point sampling, 4 Gaussian, 5 linear, 6 cubic; 0, 1 and 3 map onto these by the size
// change). PsizeImage chooses the kernel; resampleImage is the engine, also used by blurring.
// The kernels themselves are internal to the image folder (piresampkern.h).
#pragma once

#include <cstdint>

#include "image/pimage.h"

// Resamples src into dst, which supplies xres, yres and csp (pixels optional). Equal sizes
// give a colour-converting copy whatever the basis. 1 on success, 0 on failure.
int PsizeImage(_ImgStruct* dst, const _ImgStruct* src, int basis);

// A part of an image in pixel-edge coordinates: from (x, y), w pixels across and h down;
// fractions are allowed.
struct _ImgSpan {
  double x, y, w, h;
  // A band of a larger rendering: with rows > 0 the destination holds rows row0 .. row0 +
  // its height - 1 of the span resampled to the destination's width and rows rows. Each row is
  // sampled, and the kernel chosen, as that whole rendering does, so bands of any height join
  // into it.
  int row0 = 0, rows = 0;
};
// Resamples the part span of src into dst as PsizeImage resamples a whole image: the kernel
// is chosen by the span's size, and taps beyond src's edges repeat its edge pixels. 1 on
// success, 0 on failure (a span without area or beyond ten million pixels, or a band that is
// not within its rendering's rows).
int PsizeImageSpan(_ImgStruct* dst, const _ImgStruct* src, const _ImgSpan& span, int basis);
// The engine: basis 2 point, 4 Gaussian of the given radius (destination pixels), 5 linear,
// any other cubic. A failure leaves dst without pixels.
int resampleImage(_ImgStruct* dst, const _ImgStruct* src, int basis, float radius);

// Four weights for the samples at base-1 .. base+2, for a fraction 0 <= t < 1.
void linear_interp(float w[4], float t);
void cubic_interp(float w[4], float t);      // Catmull-Rom
void linear_interp8(int16_t w[4], float t);  // scaled to 256
void cubic_interp8(int16_t w[4], float t);   // scaled to 256, rounded half away from zero
