// Internals shared by the codec's files.
#pragma once

#include <cstdint>

#include "jpeghdr/jpeghdr.h"

// Luminance of linear Rec. 709 RGB, in single precision everywhere in the codec.
inline float jh_luminance(const float rgb[3]) {
  return 0.2126f * rgb[0] + 0.7152f * rgb[1] + 0.0722f * rgb[2];
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
void jh_error(j_common_ptr cinfo, int code, int param = 0);

// The sRGB curve extended to negative values, linear to encoded.
float jh_srgb_encode(float v);
