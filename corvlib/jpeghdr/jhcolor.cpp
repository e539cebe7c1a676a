// The encoder's colour routines: desaturation and YCbCr coding of linear RGB.
#include <cmath>

#include "jpeghdr/jhprivate.h"

namespace {

bool nearOne(float v) {
  return v >= 0.9999f && v <= 1.0001f;
}

}  // namespace

float jh_srgb_encode(float v) {
  if (v > 0.0031308f) return 1.055f * std::pow(v, 1.f / 2.4f) - 0.055f;
  if (v >= -0.0031308f) return 12.92f * v;
  return -(1.055f * std::pow(-v, 1.f / 2.4f) - 0.055f);
}

bool jh_desaturation_off(const jpeghdr_compress_struct* jh) {
  return nearOne(jh->alpha) && nearOne(jh->beta);
}

void jpeghdr_desaturate(const jpeghdr_compress_struct* jh, float rgb[3]) {
  if (jh_desaturation_off(jh)) return;
  const float y = jh_luminance(rgb);
  if (y <= 1e-10f) return;
  float s = jh->alpha;
  if (!nearOne(jh->beta)) {
    float m = rgb[0] < rgb[1] ? rgb[0] : rgb[1];
    if (rgb[2] < m) m = rgb[2];
    if (y - m <= 0.0001f) return;
    s = jh->alpha * std::pow(1.f - m / y, jh->beta - 1.f);
  }
  for (int i = 0; i < 3; i++) rgb[i] = s * rgb[i] + y * (1.f - s);
}

void jpeghdr_rgb2ycc(const float rgb[3], uint8_t ycc[3]) {
  const float r = jh_srgb_encode(rgb[0]), g = jh_srgb_encode(rgb[1]), b = jh_srgb_encode(rgb[2]);
  jh_ycc_bytes(r, g, b, ycc);
}

bool jpeghdr_in_gamut(const jpeghdr_compress_struct* jh, const float rgb[3]) {
  float c[3] = {rgb[0], rgb[1], rgb[2]};
  jpeghdr_desaturate(jh, c);
  uint8_t ycc[3];
  jpeghdr_rgb2ycc(c, ycc);
  for (uint8_t v : ycc)
    if (v < 1 || v > 254) return false;
  return true;
}
