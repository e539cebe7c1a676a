// Internals shared by the codec's files.
#pragma once

#include <cstdint>

#include "jpeghdr/jpeghdr.h"

// Luminance of linear Rec. 709 RGB, in single precision everywhere in the codec.
inline float jh_luminance(const float rgb[3]) {
  return 0.2126f * rgb[0] + 0.7152f * rgb[1] + 0.0722f * rgb[2];
}

// Pixel (x, y) of the source as linear RGB: NaN becomes 0 and every value is limited to
// +-1e20, so infinities cannot poison the tone mapping or the ratio range.
inline void jh_pixel(const jpeghdr_compress_struct* jh, int x, int y, float rgb[3]) {
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
  return jh->histolmin +
         (static_cast<float>(i) + 0.5f) / static_cast<float>(jh->hbins) * (jh->histolmax - jh->histolmin);
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
