// Internal to resampling: the twelve separable kernels keyed by pixel layout, the plain
// versions of the vectorised 8-bit RGB kernels (tests and benchmarks compare the two), the
// vectorised passes themselves (piresampfast.cpp) and the 8-bit rounding both share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/pimage.h"

struct _ImgSpan;  // image/piresamp.h

// The separable kernels. dst has pixels and src has the same pixel layout. Interpolating
// kernels use linear weights for basis 5 and cubic ones otherwise. A span resamples that part
// of src (see PsizeImageSpan); without one, the whole of it.
int interpY8(_ImgStruct* dst, const _ImgStruct* src, int basis, const _ImgSpan* span = nullptr);
int interpY16(_ImgStruct* dst, const _ImgStruct* src, int basis, const _ImgSpan* span = nullptr);
int interpY(_ImgStruct* dst, const _ImgStruct* src, int basis, const _ImgSpan* span = nullptr);
int interpRGB24(_ImgStruct* dst, const _ImgStruct* src, int basis, const _ImgSpan* span = nullptr);
int interpRGB48(_ImgStruct* dst, const _ImgStruct* src, int basis, const _ImgSpan* span = nullptr);
int interpRGB(_ImgStruct* dst, const _ImgStruct* src, int basis, const _ImgSpan* span = nullptr);
int gaussianY8(_ImgStruct* dst, const _ImgStruct* src, float radius,
               const _ImgSpan* span = nullptr);
int gaussianY16(_ImgStruct* dst, const _ImgStruct* src, float radius,
                const _ImgSpan* span = nullptr);
int gaussianY(_ImgStruct* dst, const _ImgStruct* src, float radius, const _ImgSpan* span = nullptr);
int gaussianRGB24(_ImgStruct* dst, const _ImgStruct* src, float radius,
                  const _ImgSpan* span = nullptr);
int gaussianRGB48(_ImgStruct* dst, const _ImgStruct* src, float radius,
                  const _ImgSpan* span = nullptr);
int gaussianRGB(_ImgStruct* dst, const _ImgStruct* src, float radius,
                const _ImgSpan* span = nullptr);

// interpRGB24 and gaussianRGB24 run the vectorised passes where the processor has AVX2;
// these are their plain versions, which give identical bytes.
int interpRGB24Plain(_ImgStruct* dst, const _ImgStruct* src, int basis,
                     const _ImgSpan* span = nullptr);
int gaussianRGB24Plain(_ImgStruct* dst, const _ImgStruct* src, float radius,
                       const _ImgSpan* span = nullptr);

// 8-bit Gaussian row-buffer entry: the weighted sum of the tap rows over their weight sum,
// scaled by 256 and rounded to nearest.
inline uint32_t PresampGaussEntry8(uint64_t acc, uint32_t sum) {
  return static_cast<uint32_t>(((acc << 8) + sum / 2) / sum);
}
// 8-bit Gaussian output: a weighted sum of row-buffer entries over 256 times the weight sum,
// rounded to nearest and clamped to 255.
inline uint8_t PresampGaussOut8(uint64_t s, uint64_t sum) {
  const uint64_t q = (s + 128 * sum) / (256 * sum);
  return q > 255 ? 255 : static_cast<uint8_t>(q);
}

// The vectorised passes; call them only when cpuHasAVX2() is true. The vertical passes fill
// a leading part of the row buffer and return how many entries they did; the caller does
// the rest with the plain code.
// Interpolation, 8-bit: entry c = sum over k of wv[k] * r[k][c].
size_t PresampInterpVertical8Fast(int32_t* row, const uint8_t* const r[4], const int16_t wv[4],
                                  size_t n);
// Interpolation, 8-bit RGB: column x from entries base[x] - 1 .. base[x] + 2 with the four
// weights w[4x ..]; the row buffer has one readable entry past its right guards.
void PresampInterpHorizontalRGB24Fast(uint8_t* out, const int32_t* row, const int32_t* base,
                                      const int32_t* w, int dw);
// Gaussian, 8-bit: entry c = PresampGaussEntry8 of the taps' weighted sum; sum < 2^21.
size_t PresampGaussVertical8Fast(uint32_t* row, const uint8_t* const* rows, const int32_t* w,
                                 int ntaps, uint32_t sum, size_t n);
// Gaussian, 8-bit RGB: column x from the ntap entries from centre[x] - rx on, weights
// w[x * ntap ..] with sum[x] < 65793 (so 32-bit sums hold); one readable entry past the right
// guards.
void PresampGaussHorizontalRGB24Fast(uint8_t* out, const uint32_t* row, const int32_t* centre,
                                     const int32_t* w, const uint32_t* sum, int ntap, int rx,
                                     int dw);
