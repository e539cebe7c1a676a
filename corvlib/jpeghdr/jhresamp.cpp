// Enlargement of the 8-bit ratio image. The encoder predicts the decoder's enlargement with
// these same routines, so every step is integer arithmetic or single-precision float in a
// fixed order, and the dither restarts from the same seed on every call.
#include <cstdlib>
#include <cstring>

#include "jpeghdr/jhprivate.h"

namespace {

// Source index and fraction for destination index i when n source samples map onto m.
int centredIndex(int i, int n, int m, float* frac) {
  const float s =
      (static_cast<float>(i) + 0.5f) * static_cast<float>(n) / static_cast<float>(m) - 0.5f;
  const int is = s >= 0.f ? static_cast<int>(s) : static_cast<int>(s - 0.999999f);
  *frac = s - static_cast<float>(is);
  return is;
}

int clampRow(int r, int h) {
  return r < h ? r : h - 1;
}

// The column values of one destination row: the four tap rows weighted by w.
void columnValues(const uint8_t* src, int sw, const int rows[4], const int16_t w[4], int32_t* c) {
  const uint8_t* const r[4] = {
      src + static_cast<size_t>(rows[0]) * sw, src + static_cast<size_t>(rows[1]) * sw,
      src + static_cast<size_t>(rows[2]) * sw, src + static_cast<size_t>(rows[3]) * sw};
  jh_cubic_column(r, w, c, sw);
}

// Dithered cubic enlargement (both directions at least the source size), all at once.
int enlarge(const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh) {
  void* block = std::malloc(jh_enlarge_bytes(sw, dw));
  if (block == nullptr) return 0;
  JHEnlarger en;
  jh_enlarge_begin(&en, src, sw, sh, dw, dh, block);
  for (int y = 0; y < dh; y++) jh_enlarge_row(&en, y, dst + static_cast<size_t>(y) * dw);
  std::free(block);
  return 1;
}

// The enlargement of format-version-10 files: no half-pixel shift and no dither.
int enlargeOrig(const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh) {
  int32_t* xi = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * dw));
  int16_t* xw = static_cast<int16_t*>(std::malloc(sizeof(int16_t) * 4 * dw));
  int32_t* col = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * (sw + 3)));
  const int ok = xi && xw && col;
  if (ok) {
    for (int x = 0; x < dw; x++) {
      const float sx = static_cast<float>(x) * static_cast<float>(sw) / static_cast<float>(dw);
      xi[x] = static_cast<int32_t>(static_cast<int64_t>(x) * sw / dw);
      comp_interp_orig(xw + 4 * x, sx - static_cast<float>(static_cast<int>(sx)));
    }
    int32_t* c = col + 1;
    for (int y = 0; y < dh; y++) {
      const float sy = static_cast<float>(y) * static_cast<float>(sh) / static_cast<float>(dh);
      const int iy = clampRow(static_cast<int>(sy), sh);
      int16_t w[4];
      comp_interp_orig(w, sy - static_cast<float>(static_cast<int>(sy)));
      const int p = iy > 0 ? iy - 1 : iy;
      const int q1 = iy < sh - 1 ? iy + 1 : iy;
      const int q2 = iy < sh - 2 ? q1 + 1 : q1;
      const int rows[4] = {p, iy, q1, q2};
      columnValues(src, sw, rows, w, c);
      c[-1] = c[0];
      c[sw] = c[sw + 1] = c[sw - 1];
      uint8_t* out = dst + static_cast<size_t>(y) * dw;
      for (int x = 0; x < dw; x++) {
        const int16_t* cw = xw + 4 * x;
        const int32_t* cv = c + xi[x];
        const int32_t v = cw[0] * cv[-1] + cw[1] * cv[0] + cw[2] * cv[1] + cw[3] * cv[2];
        out[x] = v <= 0 ? 0 : (v > 0xFFFFFF ? 255 : static_cast<uint8_t>((v >> 16) & 255));
      }
    }
  }
  std::free(xi);
  std::free(xw);
  std::free(col);
  return ok;
}

bool usable(const uint8_t* src, int sw, int sh, const uint8_t* dst, int dw, int dh) {
  return src != nullptr && dst != nullptr && sw > 0 && sh > 0 && dw > 0 && dh > 0;
}

}  // namespace

size_t jh_enlarge_bytes(int sw, int dw) {
  // Column indices and four weights per destination column, the values of one destination
  // row, four source rows interpolated across, one source row with 2 repeats a side and room
  // the vector row kernel may read, and the tags of the four rows.
  return sizeof(int32_t) * (10 * static_cast<size_t>(dw) + static_cast<size_t>(sw) + 4 + 16 + 4);
}

void jh_enlarge_begin(JHEnlarger* en, const uint8_t* src, int sw, int sh, int dw, int dh,
                      void* block) {
  en->src = src;
  en->sw = sw;
  en->sh = sh;
  en->dw = dw;
  en->dh = dh;
  int32_t* p = static_cast<int32_t*>(block);
  en->xi = p;
  for (int k = 0; k < 4; k++) en->xw[k] = p + (1 + k) * static_cast<size_t>(dw);
  en->val = p + 5 * static_cast<size_t>(dw);
  for (int k = 0; k < 4; k++) en->across[k] = p + (6 + k) * static_cast<size_t>(dw);
  en->col = p + 10 * static_cast<size_t>(dw);
  std::memset(en->col, 0, sizeof(int32_t) * (static_cast<size_t>(sw) + 4 + 16));
  for (int k = 0; k < 4; k++) en->held[k] = -1;
  for (int x = 0; x < dw; x++) {
    float t;
    en->xi[x] = centredIndex(x, sw, dw, &t);
    int16_t w[4];
    comp_interp(w, t);
    for (int k = 0; k < 4; k++) en->xw[k][x] = w[k];
  }
  jh_seed(&en->rng, 1);
}

namespace {

// Source row r interpolated across to the destination width, kept in one of four slots: the
// rows of one destination row are at most four consecutive rows, so they never share a slot.
const int32_t* acrossRow(JHEnlarger* en, int r) {
  const int slot = r & 3;
  int32_t* h = en->across[slot];
  if (en->held[slot] == r) return h;
  const int sw = en->sw;
  const uint8_t* s = en->src + static_cast<size_t>(r) * sw;
  int32_t* c = en->col + 2;
  for (int j = 0; j < sw; j++) c[j] = s[j];
  c[-2] = c[-1] = c[0];
  c[sw] = c[sw + 1] = c[sw - 1];
  jh_cubic_row(c, en->xi, en->xw, h, en->dw);
  en->held[slot] = r;
  return h;
}

}  // namespace

void jh_enlarge_row(JHEnlarger* en, int y, uint8_t* out) {
  const int sh = en->sh, dw = en->dw;
  float t;
  const int iy = centredIndex(y, sh, en->dh, &t);
  int16_t w[4];
  comp_interp(w, t);
  // The taps keep the codec's established order (rows 0, 0, 1, 2 above the first row); every
  // tap is limited to the last row, so a one-row source stays in bounds.
  const int b = iy > 0 ? iy : 0;
  const int p = iy > 0 ? iy - 1 : 0;
  const int q1 = iy < sh - 1 ? b + 1 : b;
  const int q2 = iy < sh - 2 ? q1 + 1 : q1;
  const int rows[4] = {clampRow(p, sh), clampRow(b, sh), clampRow(q1, sh), clampRow(q2, sh)};
  // Across, then down: the same integer sums as down, then across, in another order (no sum
  // leaves 32 bits), so each source row is interpolated across once, not once per
  // destination row.
  const int32_t* const h[4] = {acrossRow(en, rows[0]), acrossRow(en, rows[1]),
                               acrossRow(en, rows[2]), acrossRow(en, rows[3])};
  jh_cubic_down(h, w, en->val, dw);
  jh_dither_row(en->val, out, dw, &en->rng, static_cast<uint32_t>(static_cast<size_t>(y) * dw));
}

int jpeghdr_resample8(const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh) {
  if (!usable(src, sw, sh, dst, dw, dh)) return 0;
  if (dw < sw || dh < sh) return gaussian8(src, sw, sh, dst, dw, dh);
  return enlarge(src, sw, sh, dst, dw, dh);
}

int jpeghdr_resample8orig(const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh) {
  if (!usable(src, sw, sh, dst, dw, dh)) return 0;
  if (dw < sw || dh < sh) return gaussian8(src, sw, sh, dst, dw, dh);
  return enlargeOrig(src, sw, sh, dst, dw, dh);
}
