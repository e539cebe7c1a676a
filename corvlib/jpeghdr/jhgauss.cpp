// Gaussian-weighted reduction of an 8-bit single-channel image.
#include <cmath>
#include <cstdlib>

#include "jpeghdr/jhprivate.h"

namespace {

// A tap's weight at distance d (in destination pixels) for radius r.
int32_t gaussWeight(int r, float d) {
  return static_cast<int32_t>(32767.f / static_cast<float>(r) * std::exp(-2.7777777f * d * d) +
                              0.5f);
}

// Radius in source pixels for scale factor f; at least 1, so the weights stay defined when
// this direction is enlarged while the other shrinks.
int radiusFor(float f) {
  int r = static_cast<int>(1.5f / f + 0.5f);
  return r < 1 ? 1 : r;
}

// The reduction's shared state: column taps and weights, and per thread the column sums and
// values of one destination row.
struct GaussRows {
  JHRowSource source;
  void* sourceCtx;
  const uint8_t* image;  // the source image, when its rows are not made on demand
  int sw, sh;
  uint8_t* dst;
  int dw;
  float fy;
  int rx, ry;
  size_t ntx, nty;
  const int32_t* xfirst;  // first tap per destination column
  const int32_t* xw;      // ntx weights per destination column
  const double* xws;      // their sums
  int32_t* work;          // per thread: row taps, row weights, column sums, column values
  size_t bandWork;        // int32_t values of one thread's work
  uint8_t* rings;         // per thread: the last source rows it asked for, ringRows of them
  int ringRows;
};

// A thread's source rows: rows are asked for in rising order and those of one destination row
// lie within nty of each other, so a ring of more than nty rows keeps every row still needed.
struct Ring {
  const GaussRows* g;
  uint8_t* rows;
  int32_t* held;  // source row in each slot, -1 for none
  const uint8_t* row(int r) {
    if (g->ringRows == 0) return g->source(g->sourceCtx, r, nullptr);  // rows held by the source
    const int slot = r % g->ringRows;
    uint8_t* buf = rows + static_cast<size_t>(slot) * g->sw;
    if (held[slot] != r) {
      g->source(g->sourceCtx, r, buf);
      held[slot] = r;
    }
    return buf;
  }
};

const uint8_t* imageRow(void* ctx, int r, uint8_t*) {
  const GaussRows* g = static_cast<const GaussRows*>(ctx);
  return g->image + static_cast<size_t>(r) * g->sw;
}

size_t bandWorkSize(int sw, size_t ntx, size_t nty, int ringRows) {
  return 2 * nty + static_cast<size_t>(sw) + static_cast<size_t>(sw) + 2 * ntx +
         static_cast<size_t>(ringRows);
}

void gaussRows(void* ctx, int y0, int y1, int part) {
  const GaussRows* g = static_cast<const GaussRows*>(ctx);
  const int sw = g->sw, sh = g->sh, dw = g->dw, rx = g->rx, ry = g->ry;
  const float fy = g->fy;
  int32_t* yrow = g->work + g->bandWork * part;
  int32_t* yw = yrow + g->nty;
  int32_t* sum = yw + g->nty;
  int32_t* c = sum + sw + rx;  // column values with rx repeats on each side
  int32_t* held = c + sw + rx;
  for (int k = 0; k < g->ringRows; k++) held[k] = -1;
  Ring ring{g, g->rings + static_cast<size_t>(part) * g->ringRows * sw, held};
  for (int y = y0; y < y1; y++) {
    const float cy = (static_cast<float>(y) + 0.5f) / fy;
    const int i0 = static_cast<int>(cy) - ry;
    int n = 0;
    int64_t wsum = 0;
    for (int k = 0; k < static_cast<int>(g->nty); k++) {
      const float d = fy * ((static_cast<float>(i0 + k) + 0.5f) - cy);
      const int32_t w = gaussWeight(ry, d);
      if (w == 0) continue;
      int r = i0 + k;
      r = r < 0 ? 0 : (r >= sh ? sh - 1 : r);
      yrow[n] = r;
      yw[n++] = w;
      wsum += w;
    }
    if (wsum == 0) {  // extreme reduction: every weight rounded away; take the centre row
      int r = static_cast<int>(cy);
      yrow[0] = r >= sh ? sh - 1 : r;
      yw[0] = 1;
      n = 1;
      wsum = 1;
    }
    // Integer sums and quotients below are exact: every weight is at most 32767 and a
    // weight sum at most 3 x 32767, so a column sum of 8-bit samples fits 31 bits and a
    // row sum of column values (at most 255 x 256) is an integer a double holds. A double
    // quotient of such integers is within 2^-37 of the exact one while the exact one is
    // 1 / sum or more from the next integer, so truncating it gives the integer quotient.
    for (int j = 0; j < sw; j++) sum[j] = 0;
    for (int k = 0; k < n; k++) jh_weigh_row(sum, ring.row(yrow[k]), yw[k], sw);
    jh_scale_row(c, sum, static_cast<double>(wsum), sw);
    for (int j = 1; j <= rx; j++) {
      c[-j] = c[0];
      c[sw - 1 + j] = c[sw - 1];
    }
    uint8_t* out = g->dst + static_cast<size_t>(y) * dw;
    for (int x = 0; x < dw; x++) {
      const int32_t* w = g->xw + x * g->ntx;
      const int32_t* cv = c + g->xfirst[x];
      int64_t acc = 0;
      for (size_t k = 0; k < g->ntx; k++) acc += static_cast<int64_t>(w[k]) * cv[k];
      const int64_t q =
          g->xws[x] > 0.0 ? static_cast<int64_t>(static_cast<double>(acc) / g->xws[x]) : cv[rx];
      out[x] = q >= 0xFF00 ? 255 : static_cast<uint8_t>(q >> 8);
    }
  }
}

// The reduction of rows from source (image or made on demand) split over `parts` threads.
int reduce(JHRowSource source, void* sourceCtx, const uint8_t* image, int sw, int sh, uint8_t* dst,
           int dw, int dh, int parts, jpeghdr_compress_struct* jh = nullptr, float from = 0,
           float to = 0) {
  if (dst == nullptr || sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return 0;
  if (parts < 1) parts = 1;
  if (parts > dh) parts = dh;
  const float fx = static_cast<float>(dw) / static_cast<float>(sw);
  const float fy = static_cast<float>(dh) / static_cast<float>(sh);
  const int rx = radiusFor(fx), ry = radiusFor(fy);
  const size_t ntx = 2 * static_cast<size_t>(rx) + 1, nty = 2 * static_cast<size_t>(ry) + 1;
  const int ringRows = image != nullptr ? 0 : static_cast<int>(nty) + 1;
  // Column taps: first tap index and weights per destination column.
  int32_t* xfirst = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * dw));
  int32_t* xw = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * ntx * dw));
  double* xws = static_cast<double*>(std::malloc(sizeof(double) * dw));
  const size_t bandWork = bandWorkSize(sw, ntx, nty, ringRows);
  int32_t* work = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * bandWork * parts));
  uint8_t* rings = static_cast<uint8_t*>(
      std::malloc(static_cast<size_t>(ringRows) * static_cast<size_t>(sw) * parts + 1));
  const int ok = xfirst && xw && xws && work && rings;
  bool stopped = false;
  if (ok) {
    for (int x = 0; x < dw; x++) {
      const float cx = (static_cast<float>(x) + 0.5f) / fx;
      const int ci = static_cast<int>(cx);
      const int j0 = (ci < sw ? ci : sw - 1) - rx;
      xfirst[x] = j0;
      int64_t ws = 0;
      for (int k = 0; k < static_cast<int>(ntx); k++) {
        const float d = fx * ((static_cast<float>(j0 + k) + 0.5f) - cx);
        xw[x * ntx + k] = gaussWeight(rx, d);
        ws += xw[x * ntx + k];
      }
      xws[x] = static_cast<double>(ws);
    }
    GaussRows g{source, sourceCtx, image,  sw, sh,  dst,  dw,       fy,    rx,      ry,
                ntx,    nty,       xfirst, xw, xws, work, bandWork, rings, ringRows};
    if (image != nullptr) g.sourceCtx = &g;
    // A destination row takes about sh / dh source rows.
    const int64_t unit = static_cast<int64_t>(sw) * (sh / dh + 1);
    if (!jh_told_bands(jh, parts, dh, unit, gaussRows, &g, from, to)) stopped = true;
  }
  std::free(xfirst);
  std::free(xw);
  std::free(xws);
  std::free(work);
  std::free(rings);
  return stopped ? -1 : ok;
}

}  // namespace

int jh_gaussian8(const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh, int parts) {
  if (src == nullptr) return 0;
  return reduce(imageRow, nullptr, src, sw, sh, dst, dw, dh, parts);
}

int jh_gaussian8_rows(JHRowSource source, void* ctx, int sw, int sh, uint8_t* dst, int dw, int dh,
                      int parts, jpeghdr_compress_struct* jh, float from, float to) {
  return reduce(source, ctx, nullptr, sw, sh, dst, dw, dh, parts, jh, from, to);
}

int gaussian8(const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh) {
  return jh_gaussian8(src, sw, sh, dst, dw, dh, 1);
}
