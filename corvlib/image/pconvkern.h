// Internal to the pixel converter: the per-component encoders shared by the plain and the
// fast conversion paths, and the entry points that tests use to compare the two.
#pragma once

#include <cmath>
#include <cstdint>

#include "image/pconvert.h"

// Below this linear value the 1,024-entry table is too coarse and the power is used.
constexpr float PCONV_DARK = 0.012f;

// Kinds of fast kernel (the fast member of _ImgColorConv).
enum : int32_t {
  PCFnone = 0,
  PCFlut8 = 1,      // 8-bit grey, or 8-bit RGB without a matrix: a table of codes
  PCFrgb8rgb8 = 2,  // 8-bit RGB to 8-bit power-law RGB through the matrix
  PCFrgb8y8 = 3,    // 8-bit RGB to 8-bit power-law grey through the matrix
  PCFfrgbrgb8 = 4   // linear float RGB to 8-bit power-law RGB (matrix when set)
};

// The exact dark-range 8-bit code: floor(256 v^digamma) for 0 < v < PCONV_DARK.
inline int PconvDarkCode(float v, float digamma) {
  return static_cast<int>(256.0 * std::pow(static_cast<double>(v), static_cast<double>(digamma)));
}

// 8-bit power-law encoding; NaN and values at or below 0 give 0, +infinity 255.
inline uint8_t PconvEncByte(float v, const _ImgColorConv* cv) {
  if (!(v > 0.f)) return 0;
  if (v >= 1.f) return 255;
  if (v >= PCONV_DARK) return cv->enctab[static_cast<int>(v * 1024.f)];
  return static_cast<uint8_t>(PconvDarkCode(v, cv->digamma));
}

// Buckets per unit of the dark-range table.
constexpr float PCONV_DARKSCALE = 2048.f / PCONV_DARK;

// The same result without a power and with one rarely taken branch: values are clamped
// into [0, 1] (NaN to 0) and looked up; the dark range takes its bucket's lower bound, then
// a step past each threshold at or below v (rarely more than one).
inline uint8_t PconvEncByteFast(float v, const _ImgColorConv* cv) {
  float c = v > 0.f ? v : 0.f;
  c = c < 1.f ? c : 1.f;
  if (c >= PCONV_DARK) return cv->encfast[static_cast<int>(c * 1024.f)];
  int code = cv->darkfine[static_cast<int>(c * PCONV_DARKSCALE)];
  while (c >= cv->darkthr[code + 1]) code++;
  return static_cast<uint8_t>(code);
}

// Builds the fast tables of a finished record and chooses its fast kernel.
void PconvSetupFast(_ImgColorConv* cv, const _ImgColorSpace* dst, const _ImgColorSpace* src);

// Converts n pixels with the record's fast kernel; false when it has none. The caller makes
// sure that writing pixel i never overwrites source pixels after i.
bool PconvertRunFast(uint8_t* dst, const uint8_t* src, int n, const _ImgColorConv* cv);

// Converts n pixels through buf (n + 1 float triples): decode, matrix, offset, encode.
void PconvertRunPlain(uint8_t* dst, const uint8_t* src, int n, const _ImgColorConv* cv, float* buf);

// PconvertPixels without the fast kernels (the reference the fast paths are tested against).
int PconvertPixelsPlain(void* dst, const void* src, int n, const _ImgColorConv* cv);
