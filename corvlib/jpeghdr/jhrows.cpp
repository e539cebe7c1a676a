// The encoder's row kernels in plain C++: the definition of every value the encoder writes.
// The AVX2 versions beside them must agree bit for bit.
#include <algorithm>

#include "jpeghdr/jhprivate.h"

float jh_lum_row_plain(const jpeghdr_compress_struct* jh, int y, float* out) {
  const int w = static_cast<int>(jh->cinfo.image_width);
  float top = -3.4e38f;
  for (int x = 0; x < w; x++) {
    float rgb[3];
    jh_pixel(jh, x, y, rgb);
    out[x] = jh_luminance(rgb);
    top = std::max(top, out[x]);
  }
  return top;
}

void jh_histo_row_plain(const JHHistoArgs* a, const float* lum, int n, uint32_t* histo) {
  for (int i = 0; i < n; i++) {
    const float l = lum[i];
    if (!(l >= a->lmin) || l >= a->lmax) continue;
    const int b = static_cast<int>(a->sf * (jh_fast_log(l) - a->loglmin));
    histo[b < 0 ? 0 : (b < a->bins ? b : a->bins - 1)]++;
  }
}

void jh_tone_span(JHToneState* s, int y, const float* lrow, uint8_t* trow, int x0, int x1) {
  for (int x = x0; x < x1; x++) {
    const float l = lrow[x];
    if (l <= 1e-10f) {
      if (s->pass == 1) trow[x] = 0;
      continue;
    }
    const float ls = s->scale * l;
    float ld = ls * s->white / (ls + 1.f);
    if (s->pass == 0 && ld > 0.5f && l <= s->lhi) {
      float rgb[3];
      jh_pixel(s->jh, x, y, rgb);
      for (;;) {
        const float f = ld / l;
        const float c3[3] = {rgb[0] * f, rgb[1] * f, rgb[2] * f};
        if (jh_in_gamut_fast(s->jh, c3)) break;
        s->white *= 0.97f;
        ld = ls * s->white / (ls + 1.f);
        s->reduced = true;
        if (ld <= 0.5f) break;
      }
    }
    if (s->pass == 1) trow[x] = jh_code_search(s->thr, ld);
  }
}

void jh_tone_row_plain(JHToneState* s, int y, const float* lrow, uint8_t* trow) {
  jh_tone_span(s, y, lrow, trow, 0, static_cast<int>(s->jh->cinfo.image_width));
}

void jh_ratio_row_plain(const JHRatioArgs* a, const float* lrow, const uint8_t* trow, uint8_t* rrow,
                        int n, const jpeghdr_random* rng, uint32_t i0) {
  for (int x = 0; x < n; x++) {
    const float l = lrow[x];
    if (l <= 1e-10f) {
      rrow[x] = 0;
      continue;
    }
    const float v = a->rscale * (jh_fast_log(l) - a->lntable[trow[x]]);
    if (v < 0.5f)
      rrow[x] = 0;
    else if (v >= 255.5f)
      rrow[x] = 255;
    else {
      const float u =
          static_cast<float>(jh_rand_at(rng, i0 + static_cast<uint32_t>(x))) * (1.f / 2147483648.f);
      rrow[x] = static_cast<uint8_t>(v - u + 0.5f);
    }
  }
}

void jh_correct_row_plain(const JHCodeTable* thr, const float* ratio, uint8_t floor,
                          const float* lrow, const uint8_t* rrow, uint8_t* trow, int n) {
  for (int i = 0; i < n; i++) {
    if (trow[i] == 0) continue;
    const uint8_t t = jh_code_search(thr, lrow[i] / ratio[rrow[i]]);
    trow[i] = t < floor ? floor : t;
  }
}

void jh_fg_span(const jpeghdr_compress_struct* jh, int y, const float* table, const float* lrow,
                const uint8_t* trow, uint8_t* const out[3], int x0, int x1) {
  for (int x = x0; x < x1; x++) {
    const int t = trow[x];
    uint8_t ycc[3] = {0, 128, 128};
    if (t != 0) {
      float rgb[3];
      jh_pixel(jh, x, y, rgb);
      const float f = table[t] / lrow[x];
      for (float& c : rgb) c *= f;
      jpeghdr_desaturate(jh, rgb);
      jh_rgb2ycc_fast(rgb, ycc);
    }
    for (int c = 0; c < 3; c++) out[c][x] = ycc[c];
  }
}

void jh_fg_row_plain(const jpeghdr_compress_struct* jh, int y, const float* table,
                     const float* lrow, const uint8_t* trow, uint8_t* const out[3]) {
  jh_fg_span(jh, y, table, lrow, trow, out, 0, static_cast<int>(jh->cinfo.image_width));
}

void jh_halve_rows_plain(const uint8_t* a, const uint8_t* b, uint8_t* out, int n) {
  for (int j = 0; j < n; j++)
    out[j] = static_cast<uint8_t>(
        (a[2 * j] + a[2 * j + 1] + b[2 * j] + b[2 * j + 1] + 1 + (j & 1)) >> 2);
}

// One processor check per row, never per pixel.
float jh_lum_row(const jpeghdr_compress_struct* jh, int y, float* out) {
  return jh_have_avx2() ? jh_lum_row_avx2(jh, y, out) : jh_lum_row_plain(jh, y, out);
}

void jh_histo_row(const JHHistoArgs* a, const float* lum, int n, uint32_t* histo) {
  jh_have_avx2() ? jh_histo_row_avx2(a, lum, n, histo) : jh_histo_row_plain(a, lum, n, histo);
}

void jh_tone_row(JHToneState* s, int y, const float* lrow, uint8_t* trow) {
  jh_have_avx2() ? jh_tone_row_avx2(s, y, lrow, trow) : jh_tone_row_plain(s, y, lrow, trow);
}

void jh_ratio_row(const JHRatioArgs* a, const float* lrow, const uint8_t* trow, uint8_t* rrow,
                  int n, const jpeghdr_random* rng, uint32_t i0) {
  jh_have_avx2() ? jh_ratio_row_avx2(a, lrow, trow, rrow, n, rng, i0)
                 : jh_ratio_row_plain(a, lrow, trow, rrow, n, rng, i0);
}

void jh_correct_row(const JHCodeTable* thr, const float* ratio, uint8_t floor, const float* lrow,
                    const uint8_t* rrow, uint8_t* trow, int n) {
  jh_have_avx2() ? jh_correct_row_avx2(thr, ratio, floor, lrow, rrow, trow, n)
                 : jh_correct_row_plain(thr, ratio, floor, lrow, rrow, trow, n);
}

void jh_fg_row(const jpeghdr_compress_struct* jh, int y, const float* table, const float* lrow,
               const uint8_t* trow, uint8_t* const out[3]) {
  jh_have_avx2() ? jh_fg_row_avx2(jh, y, table, lrow, trow, out)
                 : jh_fg_row_plain(jh, y, table, lrow, trow, out);
}

void jh_halve_rows(const uint8_t* a, const uint8_t* b, uint8_t* out, int n) {
  jh_have_avx2() ? jh_halve_rows_avx2(a, b, out, n) : jh_halve_rows_plain(a, b, out, n);
}

void jh_weigh_row_plain(int32_t* sum, const uint8_t* s, int32_t w, int n) {
  for (int j = 0; j < n; j++) sum[j] += w * s[j];
}

void jh_scale_row_plain(int32_t* c, const int32_t* sum, double d, int n) {
  for (int j = 0; j < n; j++) c[j] = static_cast<int32_t>(static_cast<double>(sum[j]) * 256.0 / d);
}

void jh_cubic_column_plain(const uint8_t* const r[4], const int16_t w[4], int32_t* c, int n) {
  for (int j = 0; j < n; j++)
    c[j] = w[0] * r[0][j] + w[1] * r[1][j] + w[2] * r[2][j] + w[3] * r[3][j];
}

void jh_cubic_down_plain(const int32_t* const h[4], const int16_t w[4], int32_t* v, int n) {
  for (int j = 0; j < n; j++)
    v[j] = w[0] * h[0][j] + w[1] * h[1][j] + w[2] * h[2][j] + w[3] * h[3][j];
}

void jh_cubic_down(const int32_t* const h[4], const int16_t w[4], int32_t* v, int n) {
  jh_have_avx2() ? jh_cubic_down_avx2(h, w, v, n) : jh_cubic_down_plain(h, w, v, n);
}

void jh_cubic_row_plain(const int32_t* c, const int32_t* i, const int32_t* const w[4], int32_t* v,
                        int n) {
  for (int x = 0; x < n; x++) {
    const int32_t* cv = c + i[x];
    v[x] = w[0][x] * cv[-1] + w[1][x] * cv[0] + w[2][x] * cv[1] + w[3][x] * cv[2];
  }
}

void jh_weigh_row(int32_t* sum, const uint8_t* s, int32_t w, int n) {
  jh_have_avx2() ? jh_weigh_row_avx2(sum, s, w, n) : jh_weigh_row_plain(sum, s, w, n);
}

void jh_scale_row(int32_t* c, const int32_t* sum, double d, int n) {
  jh_have_avx2() ? jh_scale_row_avx2(c, sum, d, n) : jh_scale_row_plain(c, sum, d, n);
}

void jh_cubic_column(const uint8_t* const r[4], const int16_t w[4], int32_t* c, int n) {
  jh_have_avx2() ? jh_cubic_column_avx2(r, w, c, n) : jh_cubic_column_plain(r, w, c, n);
}

void jh_cubic_row(const int32_t* c, const int32_t* i, const int32_t* const w[4], int32_t* v,
                  int n) {
  jh_have_avx2() ? jh_cubic_row_avx2(c, i, w, v, n) : jh_cubic_row_plain(c, i, w, v, n);
}

void jh_dither_row_plain(const int32_t* v, uint8_t* out, int n, const jpeghdr_random* rng,
                         uint32_t i0) {
  for (int x = 0; x < n; x++) {
    if (v[x] <= 0)
      out[x] = 0;
    else if (v[x] > 267386879)
      out[x] = 255;
    else  // the noise reaches 2^20 + 512: the top values could round past 255
      out[x] = static_cast<uint8_t>(std::min(
          (v[x] + jh_rand_at(rng, i0 + static_cast<uint32_t>(x)) / 2047) >> 20, int32_t{255}));
  }
}

void jh_dither_row(const int32_t* v, uint8_t* out, int n, const jpeghdr_random* rng, uint32_t i0) {
  jh_have_avx2() ? jh_dither_row_avx2(v, out, n, rng, i0) : jh_dither_row_plain(v, out, n, rng, i0);
}

bool jh_raise_codes_plain(uint8_t* t, const float* l, size_t n, uint8_t floor) {
  bool any = false;
  for (size_t i = 0; i < n; i++) {
    if (t[i] < floor)
      t[i] = floor;
    else if (t[i] > floor)
      any = true;
    if (l[i] <= 1e-10f) t[i] = 0;
  }
  return any;
}

void jh_range_row_plain(JHRangeState* s, const uint8_t* trow, const float* lrow, int n) {
  for (int x = 0; x < n; x++) {
    const int t = trow[x];
    if (t >= s->tsmall + 20 && t <= s->tlarge - 20) continue;
    const float l = lrow[x];
    if (l < s->lmin || l > s->lmax || l <= 1e-10f) continue;
    const float r = l / s->table[t];
    if (r < s->rmin) s->rmin = r;
    if (r > s->rmax) s->rmax = r;
    if (t < s->tsmall) s->tsmall = t;
    if (t > s->tlarge) s->tlarge = t;
  }
}

bool jh_raise_codes(uint8_t* t, const float* l, size_t n, uint8_t floor) {
  return jh_have_avx2() ? jh_raise_codes_avx2(t, l, n, floor)
                        : jh_raise_codes_plain(t, l, n, floor);
}

void jh_range_row(JHRangeState* s, const uint8_t* trow, const float* lrow, int n) {
  jh_have_avx2() ? jh_range_row_avx2(s, trow, lrow, n) : jh_range_row_plain(s, trow, lrow, n);
}

void jh_code_extremes_plain(const uint8_t* trow, const float* lrow, int n, float lmin, float lmax,
                            int* tmin, int* tmax) {
  for (int x = 0; x < n; x++) {
    const float l = lrow[x];
    if (l < lmin || l > lmax || l <= 1e-10f) continue;
    *tmin = std::min(*tmin, static_cast<int>(trow[x]));
    *tmax = std::max(*tmax, static_cast<int>(trow[x]));
  }
}

void jh_code_extremes(const uint8_t* trow, const float* lrow, int n, float lmin, float lmax,
                      int* tmin, int* tmax) {
  jh_have_avx2() ? jh_code_extremes_avx2(trow, lrow, n, lmin, lmax, tmin, tmax)
                 : jh_code_extremes_plain(trow, lrow, n, lmin, lmax, tmin, tmax);
}
