// The decoder's colour routines: YCbCr bytes to linear RGB and the inverse of the encoder's
// desaturation.
#include <cmath>

#include "jpeghdr/jhprivate.h"

namespace {

struct GammaLookup {
  float v[JH_GAMMA_HIGH - JH_GAMMA_LOW + 1];
  GammaLookup() {
    for (int k = JH_GAMMA_LOW; k <= JH_GAMMA_HIGH; k++) {
      const double x = k / 256.0;
      double lin;
      if (k <= -11)
        lin = -std::pow((-x + 0.055) / 1.055, 2.4);
      else if (k <= 10)
        lin = x / 12.92;
      else
        lin = std::pow((x + 0.055) / 1.055, 2.4);
      v[k - JH_GAMMA_LOW] = static_cast<float>(lin);
    }
  }
};

// Built at start-up: shared by every decoder and never freed.
const GammaLookup g_gamma;

int gammaIndex(int v) {
  return v < JH_GAMMA_LOW ? JH_GAMMA_LOW : (v > JH_GAMMA_HIGH ? JH_GAMMA_HIGH : v);
}

bool nearOne(float v) {
  return v >= 0.9999f && v <= 1.0001f;
}

}  // namespace

const float* const jh_gamma_lookup = g_gamma.v - JH_GAMMA_LOW;

void ycc2srgb(const uint8_t ycc[3], int rgb[3]) {
  const int y = ycc[0], cb = ycc[1], cr = ycc[2];
  rgb[0] = y + ((91881 * cr - 11760768) >> 16);
  rgb[1] = y + ((-22553 * cb - 46818 * cr + 8879488) >> 16);
  rgb[2] = y + ((116130 * cb - 14864640) >> 16);
}

void jpeghdr_ycc2rgb(const uint8_t ycc[3], float rgb[3]) {
  const float* g = jh_gamma_lookup;
  int v[3];
  ycc2srgb(ycc, v);
  for (int i = 0; i < 3; i++) rgb[i] = g[gammaIndex(v[i])];
}

void jpeghdr_resaturate(const jpeghdr_decompress_struct* jh, float rgb[3]) {
  if (nearOne(jh->alpha) && nearOne(jh->beta)) return;
  const float y = jh_luminance(rgb);
  if (y <= 1e-10f) return;
  if (nearOne(jh->beta)) {
    const float s = 1.f / jh->alpha;
    for (int i = 0; i < 3; i++) rgb[i] = s * rgb[i] + y * (1.f - s);
    return;
  }
  // The smallest component: G over R when equal, B only when strictly smaller.
  int mi = rgb[0] < rgb[1] ? 0 : 1;
  if (rgb[2] < rgb[mi]) mi = 2;
  const float m = rgb[mi];
  if (y - m <= 0.0001f) return;
  const float mnew = y * (1.f - std::pow((y - m) / (jh->alpha * y), 1.f / jh->beta));
  const float s = std::pow(1.f - mnew / y, 1.f - jh->beta) / jh->alpha;
  for (int i = 0; i < 3; i++) rgb[i] = i == mi ? mnew : s * rgb[i] + y * (1.f - s);
}

void jpeghdr_scan_ycc(const jpeghdr_decompress_struct* jh, uint8_t ycc[3], int x) {
  const int w = static_cast<int>(jh->cinfo.output_width);
  if (jh->row <= 0 || x < 0 || x >= w) return;
  if (jh->planes[0] != nullptr) {
    const size_t i = static_cast<size_t>(jh->row - 1) * w + x;
    for (int c = 0; c < 3; c++) ycc[c] = jh->planes[c][i];
  } else if (jh->rowbuf != nullptr) {
    for (int c = 0; c < 3; c++) ycc[c] = jh->rowbuf[3 * x + c];
  }
}

void jpeghdr_scan_rgb24(const jpeghdr_decompress_struct* jh, uint8_t rgb[3], int x) {
  uint8_t ycc[3] = {0, 128, 128};
  jpeghdr_scan_ycc(jh, ycc, x);
  int v[3];
  ycc2srgb(ycc, v);
  for (int i = 0; i < 3; i++)
    rgb[i] = static_cast<uint8_t>(v[i] < 0 ? 0 : (v[i] > 255 ? 255 : v[i]));
}
