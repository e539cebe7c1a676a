// Internals shared by the codec's files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "jpeghdr/jpeghdr.h"

// Luminance of linear Rec. 709 RGB, in single precision everywhere in the codec.
inline float jh_luminance(const float rgb[3]) {
  return 0.2126f * rgb[0] + 0.7152f * rgb[1] + 0.0722f * rgb[2];
}

// Pixel (x, y) of the source as linear RGB: NaN becomes 0 and every value is limited to
// +-1e20, so infinities cannot poison the tone mapping or the ratio range.
inline void jh_pixel(const jpeghdr_compress_struct* jh, int x, int y, float rgb[3]) {
  if (jh->cvt == cvt_floatRGB)  // the common source, without the call
    std::memcpy(rgb,
                jh->spixels + static_cast<ptrdiff_t>(y) * jh->systride +
                    static_cast<ptrdiff_t>(x) * jh->sxstride,
                3 * sizeof(float));
  else
    (*jh->cvt)(rgb, jh, x, y);
  for (int i = 0; i < 3; i++) {
    if (rgb[i] != rgb[i])
      rgb[i] = 0.f;
    else if (rgb[i] > 1e20f)
      rgb[i] = 1e20f;
    else if (rgb[i] < -1e20f)
      rgb[i] = -1e20f;
  }
}

// Histogram bins of the lowest and highest luminance that at least c pixels reach from their
// end: low is bins when never reached, high -1.
void jh_percentile_cut(const uint32_t* histo, int bins, uint64_t c, int* low, int* high);
// The log luminance that bin i stands for.
inline float jh_bin_value(const jpeghdr_compress_struct* jh, int i) {
  return jh->histolmin + (static_cast<float>(i) + 0.5f) / static_cast<float>(jh->hbins) *
                             (jh->histolmax - jh->histolmin);
}

// xorshift32; a seed always gives the same sequence, and the process's rand() is untouched.
inline void jh_seed(jpeghdr_random* r, uint32_t seed) {
  r->state = (seed + 1u) * 2654435761u;
  if (r->state == 0) r->state = 0x9E3779B9u;
}
inline int32_t jh_rand(jpeghdr_random* r) {
  uint32_t x = r->state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  r->state = x;
  return static_cast<int32_t>(x >> 1);
}

// Raises libjpeg error code (with an optional case number) on the object.
[[noreturn]] void jh_error(j_common_ptr cinfo, int code, int param = 0);

// The sRGB curve extended to negative values, linear to encoded.
float jh_srgb_encode(float v);
// A YCbCr component as a byte: 0 at or below 0, 255 at or above 1, else trunc(256 v).
inline uint8_t jh_code_byte(float v) {
  if (v <= 0.f) return 0;
  if (v >= 1.f) return 255;
  return static_cast<uint8_t>(256.f * v);
}

// Gamma-encoded R', G', B' to YCbCr bytes.
inline void jh_ycc_bytes(float r, float g, float b, uint8_t ycc[3]) {
  ycc[0] = jh_code_byte(0.299f * r + 0.587f * g + 0.114f * b);
  ycc[1] = jh_code_byte(-0.16874f * r - 0.33126f * g + 0.5f * b + 0.5f);
  ycc[2] = jh_code_byte(0.5f * r - 0.41869f * g - 0.08131f * b + 0.5f);
}

// Checks the codec interface version and structure size a caller was built with (libjpeg
// errors JERR_BAD_LIB_VERSION and JERR_BAD_STRUCT_SIZE).
void jh_check_interface(j_common_ptr cinfo, int codec_version, size_t codec_size, size_t own_size);

// Fast kernels (jhfast.cpp), each agreeing with its plain counterpart: std::log for normal
// positive x (to 1e-6), jh_srgb_encode (to 1e-6 relative), jpeghdr_rgb2ycc and
// jpeghdr_in_gamut (bytes within 1).
struct JHFastTables {
  static constexpr int kLogBits = 10;  // log2(1 + m) tabulated at 2^10 mantissa steps
  static constexpr int kPowBits = 8;   // (1 + m)^(1 / 2.4) at 2^8 steps
  static constexpr int kExpLow = -10;  // sRGB fast range 2^-10 .. 2^8; the rest is plain
  static constexpr int kExpHigh = 8;
  float log2m[(1 << kLogBits) + 1];
  float powm[(1 << kPowBits) + 1];
  float powe[kExpHigh - kExpLow];
};
extern const JHFastTables& jh_fast_tables;

// Splits a positive normal float into its exponent e, the top `bits` mantissa bits i and the
// fraction f in [0, 1) of the rest, for tables interpolated over mantissa steps.
template <int bits>
inline void jh_float_split(float x, int* e, uint32_t* i, float* f) {
  constexpr int kFrac = 23 - bits;
  uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  *e = static_cast<int>(b >> 23) - 127;
  const uint32_t m = b & 0x7FFFFF;
  *i = m >> kFrac;
  *f = static_cast<float>(m & ((1u << kFrac) - 1)) * (1.f / static_cast<float>(1u << kFrac));
}

inline float jh_fast_log(float x) {
  int e;
  uint32_t i;
  float f;
  jh_float_split<JHFastTables::kLogBits>(x, &e, &i, &f);
  const float* t = jh_fast_tables.log2m;
  return (static_cast<float>(e) + t[i] + f * (t[i + 1] - t[i])) * 0.69314718f;
}

inline float jh_srgb_encode_fast(float v) {
  if (!(v > 0.0031308f) || v >= static_cast<float>(1 << JHFastTables::kExpHigh))
    return jh_srgb_encode(v);
  int e;
  uint32_t i;
  float f;
  jh_float_split<JHFastTables::kPowBits>(v, &e, &i, &f);
  const float* t = jh_fast_tables.powm;
  const float p = jh_fast_tables.powe[e - JHFastTables::kExpLow] * (t[i] + f * (t[i + 1] - t[i]));
  return 1.055f * p - 0.055f;
}
void jh_rgb2ycc_fast(const float rgb[3], uint8_t ycc[3]);
bool jh_in_gamut_fast(const jpeghdr_compress_struct* jh, const float rgb[3]);
// The foreground code of a display luminance v: trunc(256 v^(1 / gamma)) limited to 0..255,
// found by comparisons with thr[t] = (t / 256)^gamma. The cells split the positive floats by
// exponent and the top mantissa bits, so one table read and a step or two find the code.
struct JHCodeTable {
  static constexpr int kShift = 16;                              // 7 mantissa bits a cell
  static constexpr uint32_t kFirstCell = 0x33800000u >> kShift;  // 2^-24
  static constexpr uint32_t kLastCell = 0x3F800000u >> kShift;   // 1.0
  static constexpr int kCells = static_cast<int>(kLastCell - kFirstCell);
  float thr[257];
  uint8_t cell[kCells];
};
void jh_code_thresholds(JHCodeTable* ct, float gamma);
uint8_t jh_code_search_plain(const JHCodeTable* ct, float v);
inline uint8_t jh_code_search(const JHCodeTable* ct, float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const uint32_t c = bits >> JHCodeTable::kShift;  // negative values fall above kLastCell
  if (!(v > 0.f)) return 0;
  if (c < JHCodeTable::kFirstCell) return jh_code_search_plain(ct, v);
  if (c >= JHCodeTable::kLastCell) return v >= 1.f ? 255 : jh_code_search_plain(ct, v);
  int t = ct->cell[c - JHCodeTable::kFirstCell];
  while (v >= ct->thr[t + 1]) t++;
  return static_cast<uint8_t>(t > 255 ? 255 : t);
}

// Luminance of every source pixel (sanitised), computed once per source and kept in
// jh->lum until the source changes or the object is destroyed.
const float* jh_luminances(jpeghdr_compress_struct* jh);

// Linear value of every integer sRGB level v / 256 from JH_GAMMA_LOW to JH_GAMMA_HIGH (the
// sRGB curve extended to negative values), indexed by v. ycc2srgb yields -230 .. 480 at most
// (blue reaches 480 for Y = Cb = 255), so the table covers every byte triple.
constexpr int JH_GAMMA_LOW = -230, JH_GAMMA_HIGH = 480;
extern const float* const jh_gamma_lookup;

// jpeghdr_ycc2rgb without the call, for the decoder's rows.
inline void jh_ycc2rgb_inline(const uint8_t ycc[3], float rgb[3]) {
  const int y = ycc[0], cb = ycc[1], cr = ycc[2];
  rgb[0] = jh_gamma_lookup[y + ((91881 * cr - 11760768) >> 16)];
  rgb[1] = jh_gamma_lookup[y + ((-22553 * cb - 46818 * cr + 8879488) >> 16)];
  rgb[2] = jh_gamma_lookup[y + ((116130 * cb - 14864640) >> 16)];
}
