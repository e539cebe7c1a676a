// The encoder's log-luminance histogram and its default tone mapping: a global photographic
// operator with an automatic key and a white factor lowered until bright colours fit the
// foreground's gamut.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <jerror.h>

#include "jpeghdr/jhprivate.h"

namespace {

constexpr int kBins = 2048;
constexpr float kHistoMin = 1e-10f, kHistoMax = 1e10f;

}  // namespace

void jh_percentile_cut(const uint32_t* histo, int bins, uint64_t c, int* low, int* high) {
  uint64_t run = 0;
  *low = bins;
  for (int i = 0; i < bins; i++)
    if ((run += histo[i]) >= c) {
      *low = i;
      break;
    }
  run = 0;
  *high = -1;
  for (int i = bins - 1; i >= 0; i--)
    if ((run += histo[i]) >= c) {
      *high = i;
      break;
    }
}

void jpeghdr_alloc_tmi(jpeghdr_compress_struct* jh) {
  const size_t n = static_cast<size_t>(jh->cinfo.image_width) * jh->cinfo.image_height;
  if (jh->tmi != nullptr || n == 0) return;
  jh->tmi = static_cast<uint8_t*>(std::malloc(n));
  if (jh->tmi == nullptr)
    jh_error(reinterpret_cast<j_common_ptr>(&jh->cinfo), JERR_OUT_OF_MEMORY, 200);
}

void jpeghdr_free_tmi(jpeghdr_compress_struct* jh) {
  std::free(jh->tmi);
  jh->tmi = nullptr;
}

void jpeghdr_comp_histo(jpeghdr_compress_struct* jh, int bins, float lmin, float lmax) {
  std::free(jh->histo);
  jh->histo = nullptr;
  jh->hbins = 0;
  if (lmin < 1e-10f) lmin = 1e-10f;
  if (bins <= 0 || !(lmin < lmax)) return;
  jh->histo = static_cast<uint32_t*>(std::calloc(static_cast<size_t>(bins), sizeof(uint32_t)));
  if (jh->histo == nullptr)
    jh_error(reinterpret_cast<j_common_ptr>(&jh->cinfo), JERR_OUT_OF_MEMORY, 199);
  jh->hbins = bins;
  jh->histolmin = std::log(lmin);
  jh->histolmax = std::log(lmax);
  const float sf = static_cast<float>(bins) / (jh->histolmax - jh->histolmin);
  const float* lum = jh_luminances(jh);
  const size_t n = static_cast<size_t>(jh->cinfo.image_width) * jh->cinfo.image_height;
  for (size_t i = 0; i < n; i++) {
    const float l = lum[i];
    if (!(l >= lmin) || l >= lmax) continue;
    const int b = static_cast<int>(sf * (jh_fast_log(l) - jh->histolmin));
    jh->histo[b < 0 ? 0 : (b < bins ? b : bins - 1)]++;
  }
}

void jpeghdr_tonemap_default(jpeghdr_compress_struct* jh) {
  const int w = static_cast<int>(jh->cinfo.image_width),
            h = static_cast<int>(jh->cinfo.image_height);
  if (w <= 0 || h <= 0) return;
  jpeghdr_comp_histo(jh, kBins, kHistoMin, kHistoMax);
  uint64_t total = 0;
  double logsum = 0;
  for (int i = jh->hbins - 1; i >= 0; i--) {
    total += jh->histo[i];
    logsum += static_cast<double>(jh->histo[i]) * jh_bin_value(jh, i);
  }
  jpeghdr_alloc_tmi(jh);
  const size_t npix = static_cast<size_t>(w) * h;
  if (total == 0) {
    std::memset(jh->tmi, 0, npix);
    return;
  }
  const float logavg = static_cast<float>(logsum / static_cast<double>(total));
  // At least one pixel must reach a cut, or tiny images would cut at empty extreme bins.
  const uint64_t c = total / 200 > 0 ? total / 200 : 1;
  int lo, hi;
  jh_percentile_cut(jh->histo, jh->hbins, c, &lo, &hi);
  const float lnlo = jh_bin_value(jh, lo), lnhi = jh_bin_value(jh, hi);
  const float lhi = std::exp(lnhi);
  // A uniform image has lnhi == lnlo: its key is the middle grey, not 0/0.
  const float span = lnhi - lnlo;
  const float expo = span > 0.f ? (2.f * logavg - lnlo - lnhi) / span : 0.f;
  const float key = 0.18f * std::pow(4.f, expo);
  const float scale = key / std::exp(logavg);
  JHCodeTable thr;
  jh_code_thresholds(&thr, jh->gamma);
  const float* lum = jh_luminances(jh);
  float white = 1.f;
  bool reduced = false;
  for (int pass = 0; pass < 2; pass++) {
    if (pass == 1 && !reduced) break;
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) {
        const size_t i = static_cast<size_t>(y) * w + x;
        const float l = lum[i];
        if (l <= 1e-10f) {
          jh->tmi[i] = 0;
          continue;
        }
        const float ls = scale * l;
        float ld = ls * white / (ls + 1.f);
        if (pass == 0 && ld > 0.5f && l <= lhi) {
          float rgb[3];
          jh_pixel(jh, x, y, rgb);
          for (;;) {
            const float f = ld / l;
            const float c3[3] = {rgb[0] * f, rgb[1] * f, rgb[2] * f};
            if (jh_in_gamut_fast(jh, c3)) break;
            white *= 0.97f;
            ld = ls * white / (ls + 1.f);
            reduced = true;
            if (ld <= 0.5f) break;
          }
        }
        if (pass == 1 || !reduced) jh->tmi[i] = jh_code_search(&thr, ld);
      }
  }
}
