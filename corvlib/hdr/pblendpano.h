// Two-band blending of the overlap of two panorama members: both split multiplicatively into
// a smooth low band and a high band; lines across the seam cross-fade the low bands and cut
// the high bands at a strong edge the two share.
#pragma once

#include "image/pimage.h"

// edgeFilt[i] = i exp(-i^2 / 32), i = 0..12.
extern float edgeFilt[13];

// Splits src into low (a smooth copy) and high = src / low; both carry their colour space
// (float). 1 on success.
int sepFreq(_ImgStruct* high, _ImgStruct* low, const _ImgStruct* src);
// Signed normalised edge strength of the line in[k * stride] into out[0..n); the number of
// strong samples (|out| > 0.75). Lines under 25 samples have none.
int compEdge(float* out, const float* in, int stride, int n);
// Mode bits of blendInto.
enum : int { BLmultiply = 1, BLsecond = 2, BLhalf = 4 };
// Writes or multiplies the source line, stretched by offset samples towards its own end,
// into dst: with position < 0 over the whole line with a cosine weight, otherwise before
// position (first image) or from position on (second image).
void blendInto(float* dst, int mode, const float* src, int channels, int step, int n, int offset,
               int position);
// Blends one line of the two images' high (h) and low (l) bands into out, carrying the seam
// and the stretch to the next line. 1 on success.
int blendLine3(float* out, int* seam, int* low, const float* hA, const float* lA, const float* hB,
               const float* lB, int step, int n);
// The blended overlap of ia and ib into result (colour space set, no pixels). rect is
// (left, right, top, bottom) in ia's coordinates: (left, top) the link point and
// (right - ib width, bottom - ib height) ib's origin. 1 on success.
int PblendPano(_ImgStruct* result, const int rect[4], const _ImgStruct* ia, const _ImgStruct* ib);
