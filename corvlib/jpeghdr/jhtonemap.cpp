// The encoder's log-luminance histogram and its default tone mapping: a global photographic
// operator with an automatic key and a white factor lowered until bright colours fit the
// foreground's gamut.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <jerror.h>

#include "jpegglue/jpegglue.h"
#include "jpeghdr/jhprivate.h"

namespace {

constexpr int kBins = 2048;
constexpr float kHistoMin = 1e-10f, kHistoMax = 1e10f;

// Luminances (when fresh) and histogram counts of rows; each thread counts into its
// own copies of the bins.
struct HistoBands {
  const jpeghdr_compress_struct* jh;
  const JHHistoArgs* a;
  float* lum;
  float* rowmax;
  bool fresh;
  uint32_t* copies;
  size_t stride;  // counts of one thread
};

void histoBand(void* ctx, int y0, int y1, int part) {
  const HistoBands* hb = static_cast<const HistoBands*>(ctx);
  const int w = static_cast<int>(hb->jh->cinfo.image_width);
  for (int y = y0; y < y1; y++) {
    float* row = hb->lum + static_cast<size_t>(y) * w;
    if (hb->fresh) hb->rowmax[y] = jh_lum_row(hb->jh, y, row);
    jh_histo_row(hb->a, row, w, hb->copies + hb->stride * part);
  }
}

// Tone-mapping codes of rows in the second pass, which changes no shared state.
struct ToneBands {
  const JHToneState* st;
  const float* lum;
  uint8_t* tmi;
};

void toneBand(void* ctx, int y0, int y1, int) {
  const ToneBands* tb = static_cast<const ToneBands*>(ctx);
  JHToneState st = *tb->st;
  const size_t w = tb->st->jh->cinfo.image_width;
  for (int y = y0; y < y1; y++) jh_tone_row(&st, y, tb->lum + y * w, tb->tmi + y * w);
}

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
  JHHistoArgs a;
  a.lmin = lmin;
  a.lmax = lmax;
  a.loglmin = jh->histolmin;
  a.sf = static_cast<float>(bins) / (jh->histolmax - jh->histolmin);
  a.bins = bins;
  const int parts = jh_thread_count(jh);
  const size_t stride = static_cast<size_t>(bins) * JH_HISTO_COPIES;
  uint32_t* copies = static_cast<uint32_t*>(std::calloc(stride * parts, sizeof(uint32_t)));
  if (copies == nullptr)
    jh_error(reinterpret_cast<j_common_ptr>(&jh->cinfo), JERR_OUT_OF_MEMORY, 199);
  // Luminances not yet computed are made row by row and counted while in the cache.
  const bool fresh = jh->lum == nullptr;
  float* lum = jh->lum;
  const size_t npix = static_cast<size_t>(jh->cinfo.image_width) * jh->cinfo.image_height;
  if (fresh) {
    lum = jh_alloc_luminances(jh);
    if (lum == nullptr) {
      std::free(copies);
      jh_error(reinterpret_cast<j_common_ptr>(&jh->cinfo), JERR_OUT_OF_MEMORY, 201);
    }
  }
  HistoBands hb{jh, &a, lum, lum + npix, fresh, copies, stride};
  const bool whole = jh_told_bands(jh, parts, static_cast<int>(jh->cinfo.image_height),
                                   jh->cinfo.image_width, histoBand, &hb, 0.f, JH_AT_TONE0);
  jh->lum = lum;
  for (size_t c = 0; c < JH_HISTO_COPIES * static_cast<size_t>(parts); c++)
    for (int i = 0; i < bins; i++) jh->histo[i] += copies[c * bins + i];
  std::free(copies);
  if (!whole) jh_error(reinterpret_cast<j_common_ptr>(&jh->cinfo), JGLUE_STOPPED);
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
  JHToneState st;
  st.jh = jh;
  st.thr = &thr;
  st.scale = scale;
  st.lhi = lhi;
  st.white = 1.f;
  st.reduced = false;
  st.pass = 0;
  // The first pass lowers the white factor in pixel order, so it runs on one thread. It
  // passes over rows without a pixel bright enough to test: where scale l <= 0.99, the
  // display luminance stays below 0.5 whatever the white factor.
  const float* rowmax = jh_row_maxima(jh);
  const int step = jh_step_rows(w);
  for (int y = 0; y < h; y++) {
    if (y % step == step - 1)
      jh_tell(jh, JH_AT_TONE0 + (JH_AT_TONE1 - JH_AT_TONE0) * static_cast<float>(y) / h);
    if (!(scale * rowmax[y] > 0.99f)) continue;
    const size_t at = static_cast<size_t>(y) * w;
    jh_tone_row(&st, y, lum + at, jh->tmi + at);
  }
  // The second writes every code with the final white factor.
  st.pass = 1;
  ToneBands tb{&st, lum, jh->tmi};
  if (!jh_told_bands(jh, jh_thread_count(jh), h, w, toneBand, &tb, JH_AT_TONE1, JH_AT_RANGE))
    jh_error(reinterpret_cast<j_common_ptr>(&jh->cinfo), JGLUE_STOPPED);
}
