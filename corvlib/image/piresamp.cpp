// Resampling: basis selection, the resampling engine and its separable kernels.
//
// Both filters run one vertical pass over whole source rows into a row buffer with guard
// entries at both ends, then one horizontal pass. 8- and 16-bit data are filtered in integer
// arithmetic: interpolation weights are scaled to 256, Gaussian weights to 32767 / half-width.
// The 8-bit RGB kernels have vectorised passes (piresampfast.cpp) beside their plain passes
// here; both share the weight tables and give identical bytes.
#include "image/piresamp.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "image/pconvert.h"
#include "image/piresampkern.h"
#include "support/cpufeat.h"
#include "support/dmessage.h"

namespace {

// A heap array that frees itself; sizes are checked for overflow.
template <typename T>
class HeapArray {
 public:
  HeapArray() = default;
  HeapArray(const HeapArray&) = delete;
  HeapArray& operator=(const HeapArray&) = delete;
  ~HeapArray() { free(p_); }
  bool alloc(size_t n) {
    free(p_);
    p_ = nullptr;
    if (n > SIZE_MAX / sizeof(T)) return false;
    p_ = static_cast<T*>(malloc(n == 0 ? sizeof(T) : n * sizeof(T)));
    return p_ != nullptr;
  }
  T* get() const { return p_; }
  T& operator[](size_t i) const { return p_[i]; }

 private:
  T* p_ = nullptr;
};

inline const uint8_t* rowOf(const _ImgStruct* im, int y) {
  return im->img + static_cast<ptrdiff_t>(y) * im->rowsize;
}
inline uint8_t* rowOf(_ImgStruct* im, int y) {
  return im->img + static_cast<ptrdiff_t>(y) * im->rowsize;
}

inline int clampi(int v, int lo, int hi) {
  return v < lo ? lo : v > hi ? hi : v;
}

// The part of the source a kernel resamples, in pixel-edge coordinates: the whole source
// unless a span is given. The destination's rows are rows row0 on of a rendering of rows
// rows: all of it unless the span is a band's.
struct Span {
  float ox, oy, lx, ly;
  int row0, rows;
  Span(const _ImgStruct* dst, const _ImgStruct* src, const _ImgSpan* span) {
    row0 = 0;
    rows = dst->yres;
    if (span != nullptr) {
      ox = static_cast<float>(span->x);
      oy = static_cast<float>(span->y);
      lx = static_cast<float>(span->w);
      ly = static_cast<float>(span->h);
      if (span->rows > 0) {
        row0 = span->row0;
        rows = span->rows;
      }
    } else {
      ox = oy = 0.0f;
      lx = static_cast<float>(src->xres);
      ly = static_cast<float>(src->yres);
    }
  }
};

// Sample position of destination index i along an axis whose span starts at org and is len
// source pixels long, in source pixel centres.
inline float samplePos(int i, float org, float len, int dstN) {
  return org + (static_cast<float>(i) + 0.5f) * len / static_cast<float>(dstN) - 0.5f;
}

// Integer part of a sample position; clamped so that the four taps stay within the guards.
inline int sampleBase(float s, int srcN) {
  const int b = s >= 0.0f ? static_cast<int>(fminf(s, 2.0e9f)) : static_cast<int>(s - 0.999999f);
  return clampi(b, -1, srcN - 1);
}

// Both images have pixels of the kernel's size and at least one pixel.
bool kernelArgsOK(const _ImgStruct* dst, const _ImgStruct* src, size_t psize) {
  return dst != nullptr && src != nullptr && dst->img != nullptr && src->img != nullptr &&
         dst->csp != nullptr && src->csp != nullptr && dst->xres > 0 && dst->yres > 0 &&
         src->xres > 0 && src->yres > 0 && static_cast<size_t>(PpixelSize(dst->csp)) == psize &&
         static_cast<size_t>(PpixelSize(src->csp)) == psize;
}

// Layout key: components * 8 + data type.
inline int pixelKey(const _ImgColorSpace* cs) {
  return ImgPixelLen[cs->format] * 8 + cs->dtype;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Interpolation weights

void linear_interp(float w[4], float t) {
  w[0] = 0.0f;
  w[1] = 1.0f - t;
  w[2] = t;
  w[3] = 0.0f;
}

void cubic_interp(float w[4], float t) {
  const float t2 = t * t, t3 = t2 * t;
  w[0] = (2.0f * t2 - t3 - t) * 0.5f;
  w[1] = (3.0f * t3 - 5.0f * t2 + 2.0f) * 0.5f;
  w[2] = (4.0f * t2 - 3.0f * t3 + t) * 0.5f;
  w[3] = (t3 - t2) * 0.5f;
}

void linear_interp8(int16_t w[4], float t) {
  const int r = static_cast<int>(256.0f * t + 0.5f);
  w[0] = 0;
  w[1] = static_cast<int16_t>(256 - r);
  w[2] = static_cast<int16_t>(r);
  w[3] = 0;
}

void cubic_interp8(int16_t w[4], float t) {
  float f[4];
  cubic_interp(f, t);
  w[0] = static_cast<int16_t>(static_cast<int>(256.0f * f[0] - 0.5f));
  w[1] = static_cast<int16_t>(static_cast<int>(256.0f * f[1] + 0.5f));
  w[2] = static_cast<int16_t>(static_cast<int>(256.0f * f[2] + 0.5f));
  w[3] = static_cast<int16_t>(static_cast<int>(256.0f * f[3] - 0.5f));
}

// ---------------------------------------------------------------------------------------------
// Interpolating kernels

namespace {

// Linear weights for basis 5, cubic ones otherwise.
template <typename W>
void interpWeights(W w[4], float t, int basis) {
  if constexpr (std::is_same_v<W, float>) {
    if (basis == 5)
      linear_interp(w, t);
    else
      cubic_interp(w, t);
  } else {
    if (basis == 5)
      linear_interp8(w, t);
    else
      cubic_interp8(w, t);
  }
}

// Per destination index along one axis: the base sample and four weights.
template <typename W>
struct InterpAxis {
  HeapArray<int32_t> base;
  HeapArray<W> w;  // 4 per index

  bool build(int srcN, float org, float len, int dstN, int basis) {
    if (!base.alloc(static_cast<size_t>(dstN)) || !w.alloc(static_cast<size_t>(dstN) * 4))
      return false;
    for (int i = 0; i < dstN; ++i) {
      const float s = samplePos(i, org, len, dstN);
      const int b = sampleBase(s, srcN);
      const float t = s - static_cast<float>(b);
      base[i] = b;
      interpWeights(&w[static_cast<size_t>(i) * 4], t, basis);
    }
    return true;
  }
};

// Horizontal output of an 8-bit sum scaled by 65536.
inline uint8_t finish8(int32_t s) {
  if (s <= 0) return 0;
  if (s >= 255 * 65536) return 255;
  return static_cast<uint8_t>((s + 32768) >> 16);
}
// Horizontal output of a 16-bit sum scaled by 256.
inline uint16_t finish16(int32_t s) {
  if (s <= 0) return 0;
  if (s >= 65535 * 256) return 65535;
  return static_cast<uint16_t>((s + 128) >> 8);
}

// Copies the edge entries of a row buffer into its guards (g entries of nc components each).
template <typename A>
void fillGuards(A* row, int width, int g, int nc) {
  const A* first = row;
  const A* last = row + static_cast<ptrdiff_t>(width - 1) * nc;
  for (int k = 1; k <= g; ++k)
    for (int i = 0; i < nc; ++i) {
      row[-k * nc + i] = first[i];
      row[static_cast<ptrdiff_t>(width - 1 + k) * nc + i] = last[i];
    }
}

// The vertical pass of the interpolating kernels: four source rows into the row buffer.
template <typename T, typename W, typename A>
void interpVertical(A* row, const T* const r[4], const W wv[4], size_t n) {
  for (size_t c = 0; c < n; ++c) {
    if constexpr (std::is_same_v<T, float>) {
      row[c] = wv[0] * r[0][c] + wv[1] * r[1][c] + wv[2] * r[2][c] + wv[3] * r[3][c];
    } else {
      const int32_t s =
          wv[0] * static_cast<int32_t>(r[0][c]) + wv[1] * static_cast<int32_t>(r[1][c]) +
          wv[2] * static_cast<int32_t>(r[2][c]) + wv[3] * static_cast<int32_t>(r[3][c]);
      if constexpr (std::is_same_v<T, uint16_t>)
        row[c] = (s + 128) >> 8;
      else
        row[c] = s;
    }
  }
}

// The horizontal pass of the interpolating kernels for destination columns x0 .. x1-1.
template <typename T, int NC, typename W, typename A>
void interpHorizontal(T* out, const A* row, const InterpAxis<W>& ax, int x0, int x1) {
  for (int x = x0; x < x1; ++x) {
    const A* p = row + static_cast<ptrdiff_t>(ax.base[x] - 1) * NC;
    const W* w = &ax.w[static_cast<size_t>(x) * 4];
    for (int i = 0; i < NC; ++i) {
      const A s = w[0] * p[i] + w[1] * p[NC + i] + w[2] * p[2 * NC + i] + w[3] * p[3 * NC + i];
      if constexpr (std::is_same_v<T, float>)
        out[x * NC + i] = s;
      else if constexpr (std::is_same_v<T, uint8_t>)
        out[x * NC + i] = finish8(s);
      else
        out[x * NC + i] = finish16(s);
    }
  }
}

template <typename T>
using InterpWeight = std::conditional_t<std::is_same_v<T, float>, float, int16_t>;
template <typename T>
using InterpAcc = std::conditional_t<std::is_same_v<T, float>, float, int32_t>;

// The six interpolating kernels; fast selects the vectorised passes of 8-bit RGB.
template <typename T, int NC>
int interpKernel(_ImgStruct* dst, const _ImgStruct* src, int basis, const _ImgSpan* span,
                 const char* name, bool fast) {
  using W = InterpWeight<T>;
  using A = InterpAcc<T>;
  if (!kernelArgsOK(dst, src, sizeof(T) * NC)) return 0;
  const int sw = src->xres, sh = src->yres, dw = dst->xres, dh = dst->yres;
  const Span sp(dst, src, span);
  const size_t n = static_cast<size_t>(sw) * NC;
  InterpAxis<W> ax;
  HeapArray<A> buf;
  HeapArray<int32_t> w32;
  if (!ax.build(sw, sp.ox, sp.lx, dw, basis) || !buf.alloc(n + 4 * NC + 1) ||
      (fast && !w32.alloc(static_cast<size_t>(dw) * 4))) {
    DMESSAGE(DMCmemory, "Out of memory in %s", name);
    return 0;
  }
  if (fast)
    for (size_t i = 0; i < static_cast<size_t>(dw) * 4; ++i) w32[i] = ax.w[i];
  A* row = buf.get() + 2 * NC;
  buf[n + 4 * NC] = 0;  // read (and ignored) by the vectorised horizontal pass
  for (int y = 0; y < dh; ++y) {
    const float s = samplePos(sp.row0 + y, sp.oy, sp.ly, sp.rows);
    const int b = sampleBase(s, sh);
    W wv[4];
    interpWeights(wv, s - static_cast<float>(b), basis);
    const T* r[4];
    for (int k = 0; k < 4; ++k)
      r[k] = reinterpret_cast<const T*>(rowOf(src, clampi(b - 1 + k, 0, sh - 1)));
    T* out = reinterpret_cast<T*>(rowOf(dst, y));
    if constexpr (std::is_same_v<T, uint8_t> && NC == 3) {
      if (fast) {
        const size_t c = PresampInterpVertical8Fast(row, r, wv, n);
        const uint8_t* rest[4] = {r[0] + c, r[1] + c, r[2] + c, r[3] + c};
        interpVertical<T, W, A>(row + c, rest, wv, n - c);
        fillGuards(row, sw, 2, NC);
        PresampInterpHorizontalRGB24Fast(out, row, ax.base.get(), w32.get(), dw);
        continue;
      }
    }
    interpVertical<T, W, A>(row, r, wv, n);
    fillGuards(row, sw, 2, NC);
    interpHorizontal<T, NC>(out, row, ax, 0, dw);
  }
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Gaussian kernels

// Half-widths beyond this are refused (their buffers could not be allocated anyway).
constexpr float kMaxHalfWidth = 16777216.0f;
// Integer weights are scaled to this over the half-width.
constexpr int32_t kGaussOne = 32767;

struct GaussGeom {
  int sw, sh, dw, dh;
  int row0;      // the first row's index in the rendering the rows belong to
  float ox, oy;  // the span's origin in the source
  float sx, sy, r2;
  int rx, ry;

  bool init(const _ImgStruct* dst, const _ImgStruct* src, float radius, const Span& sp) {
    sw = src->xres;
    sh = src->yres;
    dw = dst->xres;
    dh = dst->yres;
    if (!(radius > 0.0f) || !std::isfinite(radius)) return false;
    r2 = radius * radius;
    if (!(r2 >= 1e-30f) || !std::isfinite(r2)) return false;
    row0 = sp.row0;
    ox = sp.ox;
    oy = sp.oy;
    sx = static_cast<float>(dw) / sp.lx;
    sy = static_cast<float>(sp.rows) / sp.ly;
    const float r3 = 3.2f * radius;
    const float vx = r3 / sx + 0.5f, vy = r3 / sy + 0.5f;
    if (!(vx < kMaxHalfWidth) || !(vy < kMaxHalfWidth)) return false;
    rx = static_cast<int>(vx);
    ry = static_cast<int>(vy);
    return true;
  }
  // Weight of a tap at distance d destination pixels.
  float weight(float d) const { return expf(-(d * d) / r2); }
};

// The source pixel under position c of an axis of n pixels, kept inside the axis.
inline int centreIndex(float c, int n) {
  if (!(c > 0.0f)) return 0;
  return c < static_cast<float>(n) ? static_cast<int>(c) : n - 1;
}

// Horizontal weights of every destination column: integer (scaled) or float.
template <typename W>
struct GaussColumns {
  using S = std::conditional_t<std::is_same_v<W, float>, float, uint32_t>;
  int ntap = 0;
  HeapArray<int32_t> centre;  // source column under the destination column's centre
  HeapArray<W> w;             // ntap per column, for centre - rx .. centre + rx
  HeapArray<S> sum;

  bool build(const GaussGeom& g) {
    ntap = 2 * g.rx + 1;
    const size_t dw = static_cast<size_t>(g.dw);
    if (!centre.alloc(dw) || !sum.alloc(dw)) return false;
    if (dw > SIZE_MAX / static_cast<size_t>(ntap) || !w.alloc(dw * static_cast<size_t>(ntap)))
      return false;
    const float scale = g.rx > 0 ? static_cast<float>(kGaussOne) / static_cast<float>(g.rx) : 0.0f;
    for (int x = 0; x < g.dw; ++x) {
      const float c = g.ox + (static_cast<float>(x) + 0.5f) / g.sx;
      const int j0 = centreIndex(c, g.sw);
      centre[x] = j0;
      W* wx = &w[static_cast<size_t>(x) * ntap];
      S total = 0;
      for (int k = -g.rx; k <= g.rx; ++k) {
        const int j = j0 + k;
        const float e = g.weight(g.sx * ((static_cast<float>(j) + 0.5f) - c));
        W wk;
        if constexpr (std::is_same_v<W, float>)
          wk = g.rx == 0 ? 1.0f : e;
        else
          wk = g.rx == 0 ? kGaussOne : static_cast<W>(scale * e + 0.5f);
        wx[k + g.rx] = wk;
        total += static_cast<S>(wk);
      }
      if (!(total > 0)) {  // every weight vanished: the sample under the centre alone
        for (int k = 0; k < ntap; ++k) wx[k] = 0;
        wx[g.rx] = std::is_same_v<W, float> ? W(1) : W(kGaussOne);
        total = static_cast<S>(wx[g.rx]);
      }
      sum[x] = total;
    }
    return true;
  }
};

// The source rows and weights of destination row y; returns how many taps. Float weights
// come normalised; integer weights come with their sum.
int gaussRowTaps(const GaussGeom& g, int y, int32_t* rows, float* w, uint32_t*) {
  const float c = g.oy + (static_cast<float>(g.row0 + y) + 0.5f) / g.sy;
  const int j0 = centreIndex(c, g.sh);
  float sum = 0.0f;
  int n = 0;
  for (int k = -g.ry; k <= g.ry; ++k) {
    const int j = j0 + k;
    const float e = g.ry == 0 ? 1.0f : g.weight(g.sy * ((static_cast<float>(j) + 0.5f) - c));
    if (e < 0.002f) continue;
    rows[n] = clampi(j, 0, g.sh - 1);
    w[n++] = e;
    sum += e;
  }
  int m = 0;
  for (int i = 0; i < n; ++i) {
    const float wn = w[i] / sum;
    if (wn > 1e-8f) {
      rows[m] = rows[i];
      w[m++] = wn;
    }
  }
  if (m == 0) {
    rows[0] = clampi(j0, 0, g.sh - 1);
    w[0] = 1.0f;
    m = 1;
  }
  return m;
}

int gaussRowTaps(const GaussGeom& g, int y, int32_t* rows, int32_t* w, uint32_t* sum) {
  const float c = g.oy + (static_cast<float>(g.row0 + y) + 0.5f) / g.sy;
  const int j0 = centreIndex(c, g.sh);
  const float scale = g.ry > 0 ? static_cast<float>(kGaussOne) / static_cast<float>(g.ry) : 0.0f;
  uint32_t total = 0;
  int n = 0;
  for (int k = -g.ry; k <= g.ry; ++k) {
    const int j = j0 + k;
    const int32_t wk =
        g.ry == 0 ? kGaussOne
                  : static_cast<int32_t>(
                        scale * g.weight(g.sy * ((static_cast<float>(j) + 0.5f) - c)) + 0.5f);
    if (wk <= 19) continue;
    rows[n] = clampi(j, 0, g.sh - 1);
    w[n++] = wk;
    total += static_cast<uint32_t>(wk);
  }
  if (n == 0) {  // no tap qualifies (very wide kernels): the row under the centre alone
    rows[0] = clampi(j0, 0, g.sh - 1);
    w[0] = kGaussOne;
    total = kGaussOne;
    n = 1;
  }
  *sum = total;
  return n;
}

template <typename T>
using GaussBuf = std::conditional_t<std::is_same_v<T, float>, float, uint32_t>;
template <typename T>
using GaussWeight = std::conditional_t<std::is_same_v<T, float>, float, int32_t>;

// Vertical pass: the taps' rows into row buffer entries c0 .. n-1.
template <typename T>
void gaussVertical(GaussBuf<T>* row, uint64_t* acc, const uint8_t* const* rows,
                   const GaussWeight<T>* w, int ntaps, uint32_t sum, size_t c0, size_t n) {
  if constexpr (std::is_same_v<T, float>) {
    (void)acc;
    (void)sum;
    for (size_t c = c0; c < n; ++c) row[c] = 0.0f;
    for (int t = 0; t < ntaps; ++t) {
      const float* r = reinterpret_cast<const float*>(rows[t]);
      const float wt = w[t];
      for (size_t c = c0; c < n; ++c) row[c] += wt * r[c];
    }
  } else {
    for (size_t c = c0; c < n; ++c) acc[c] = 0;
    for (int t = 0; t < ntaps; ++t) {
      const T* r = reinterpret_cast<const T*>(rows[t]);
      const uint64_t wt = static_cast<uint64_t>(w[t]);
      for (size_t c = c0; c < n; ++c) acc[c] += wt * r[c];
    }
    for (size_t c = c0; c < n; ++c) {
      if constexpr (std::is_same_v<T, uint8_t>)
        row[c] = PresampGaussEntry8(acc[c], sum);
      else
        row[c] = static_cast<uint32_t>(acc[c] / sum);
    }
  }
}

// Horizontal pass for destination columns x0 .. x1-1.
template <typename T, int NC>
void gaussHorizontal(T* out, const GaussBuf<T>* row, const GaussColumns<GaussWeight<T>>& cols,
                     int rx, int x0, int x1) {
  const int ntap = cols.ntap;
  for (int x = x0; x < x1; ++x) {
    const GaussBuf<T>* p = row + static_cast<ptrdiff_t>(cols.centre[x] - rx) * NC;
    const GaussWeight<T>* w = &cols.w[static_cast<size_t>(x) * ntap];
    for (int i = 0; i < NC; ++i) {
      if constexpr (std::is_same_v<T, float>) {
        float s = 0.0f;
        for (int k = 0; k < ntap; ++k) s += w[k] * p[k * NC + i];
        if constexpr (NC == 1)
          out[x] = s / cols.sum[x];
        else
          out[x * NC + i] = s * (1.0f / cols.sum[x]);
      } else {
        uint64_t s = 0;
        for (int k = 0; k < ntap; ++k)
          s += static_cast<uint64_t>(w[k]) * p[static_cast<ptrdiff_t>(k) * NC + i];
        if constexpr (std::is_same_v<T, uint8_t>) {
          out[x * NC + i] = PresampGaussOut8(s, cols.sum[x]);
        } else {
          const uint64_t q = s / cols.sum[x];
          out[x * NC + i] = q > 65535 ? 65535 : static_cast<uint16_t>(q);
        }
      }
    }
  }
}

// The six Gaussian kernels; fast selects the vectorised passes of 8-bit RGB.
template <typename T, int NC>
int gaussKernel(_ImgStruct* dst, const _ImgStruct* src, float radius, const _ImgSpan* span,
                const char* name, bool fast) {
  using B = GaussBuf<T>;
  using W = GaussWeight<T>;
  if (!kernelArgsOK(dst, src, sizeof(T) * NC)) return 0;
  if (!(radius > 0.0f) || !std::isfinite(radius)) return 0;
  GaussGeom g;
  if (!g.init(dst, src, radius, Span(dst, src, span))) {
    DMESSAGE(DMCmemory, "Out of memory in %s", name);
    return 0;
  }
  const size_t n = static_cast<size_t>(g.sw) * NC;
  const size_t guard = static_cast<size_t>(g.rx) * NC;
  GaussColumns<W> cols;
  HeapArray<B> buf;
  HeapArray<uint64_t> acc;
  HeapArray<int32_t> taprows;
  HeapArray<W> tapw;
  HeapArray<const uint8_t*> rowp;
  const size_t maxtaps = 2 * static_cast<size_t>(g.ry) + 1;
  if (!cols.build(g) || !buf.alloc(n + 2 * guard + 1) ||
      (!std::is_same_v<T, float> && !acc.alloc(n)) || !taprows.alloc(maxtaps) ||
      !tapw.alloc(maxtaps) || !rowp.alloc(maxtaps)) {
    DMESSAGE(DMCmemory, "Out of memory in %s", name);
    return 0;
  }
  B* row = buf.get() + guard;
  buf[n + 2 * guard] = 0;  // read (and ignored) by the vectorised horizontal pass
  bool fastH = fast;
  if constexpr (!std::is_same_v<T, float>) {
    // 32-bit sums hold the horizontal pass while every column's weights stay below this.
    for (int x = 0; fastH && x < g.dw; ++x)
      if (cols.sum[x] >= 65793u) fastH = false;
  }
  for (int y = 0; y < g.dh; ++y) {
    uint32_t sum = 0;
    const int ntaps = gaussRowTaps(g, y, taprows.get(), tapw.get(), &sum);
    for (int t = 0; t < ntaps; ++t) rowp[t] = rowOf(src, taprows[t]);
    T* out = reinterpret_cast<T*>(rowOf(dst, y));
    size_t c = 0;
    if constexpr (std::is_same_v<T, uint8_t> && NC == 3) {
      if (fast && sum < (1u << 21))
        c = PresampGaussVertical8Fast(row, rowp.get(), tapw.get(), ntaps, sum, n);
    }
    gaussVertical<T>(row, acc.get(), rowp.get(), tapw.get(), ntaps, sum, c, n);
    fillGuards(row, g.sw, g.rx, NC);
    if constexpr (std::is_same_v<T, uint8_t> && NC == 3) {
      if (fastH) {
        PresampGaussHorizontalRGB24Fast(out, row, cols.centre.get(), cols.w.get(), cols.sum.get(),
                                        cols.ntap, g.rx, g.dw);
        continue;
      }
    }
    gaussHorizontal<T, NC>(out, row, cols, g.rx, 0, g.dw);
  }
  return 1;
}

// Point sampling: each destination pixel copies the source pixel under its centre.
int pointSample(_ImgStruct* dst, const _ImgStruct* src, const _ImgSpan* span) {
  const int sw = src->xres, sh = src->yres, dw = dst->xres, dh = dst->yres;
  const Span sp(dst, src, span);
  const size_t ps = static_cast<size_t>(PpixelSize(dst->csp));
  HeapArray<size_t> xoff;
  if (ps == 0 || !xoff.alloc(static_cast<size_t>(dw))) {
    DMESSAGE(DMCmemory, "Out of memory in %s", "pointSample");
    return 0;
  }
  const auto pick = [](int i, float org, float len, int srcN, int dstN) {
    return centreIndex(org + (static_cast<float>(i) + 0.5f) * len / static_cast<float>(dstN), srcN);
  };
  for (int x = 0; x < dw; ++x) xoff[x] = static_cast<size_t>(pick(x, sp.ox, sp.lx, sw, dw)) * ps;
  for (int y = 0; y < dh; ++y) {
    const uint8_t* s = rowOf(src, pick(sp.row0 + y, sp.oy, sp.ly, sh, sp.rows));
    uint8_t* d = rowOf(dst, y);
    for (int x = 0; x < dw; ++x, d += ps) memcpy(d, s + xoff[x], ps);
  }
  return 1;
}

}  // namespace

// The twelve kernels and the plain twins of the vectorised ones. Each reports allocation
// failures under its own name (the plain twins under their fast twin's).
#define PRESAMP_KERNELS(fn, engine, Arg, name, fast)                                        \
  int fn##Y8(_ImgStruct* dst, const _ImgStruct* src, Arg a, const _ImgSpan* span) {         \
    return engine<uint8_t, 1>(dst, src, a, span, name "Y8", false);                         \
  }                                                                                         \
  int fn##Y16(_ImgStruct* dst, const _ImgStruct* src, Arg a, const _ImgSpan* span) {        \
    return engine<uint16_t, 1>(dst, src, a, span, name "Y16", false);                       \
  }                                                                                         \
  int fn##Y(_ImgStruct* dst, const _ImgStruct* src, Arg a, const _ImgSpan* span) {          \
    return engine<float, 1>(dst, src, a, span, name "Y", false);                            \
  }                                                                                         \
  int fn##RGB24(_ImgStruct* dst, const _ImgStruct* src, Arg a, const _ImgSpan* span) {      \
    return engine<uint8_t, 3>(dst, src, a, span, name "RGB24", fast);                       \
  }                                                                                         \
  int fn##RGB24Plain(_ImgStruct* dst, const _ImgStruct* src, Arg a, const _ImgSpan* span) { \
    return engine<uint8_t, 3>(dst, src, a, span, name "RGB24", false);                      \
  }                                                                                         \
  int fn##RGB48(_ImgStruct* dst, const _ImgStruct* src, Arg a, const _ImgSpan* span) {      \
    return engine<uint16_t, 3>(dst, src, a, span, name "RGB48", false);                     \
  }                                                                                         \
  int fn##RGB(_ImgStruct* dst, const _ImgStruct* src, Arg a, const _ImgSpan* span) {        \
    return engine<float, 3>(dst, src, a, span, name "RGB", false);                          \
  }

PRESAMP_KERNELS(interp, interpKernel, int, "interp", cpuHasAVX2())
PRESAMP_KERNELS(gaussian, gaussKernel, float, "gaussian", cpuHasAVX2())
#undef PRESAMP_KERNELS

// ---------------------------------------------------------------------------------------------
// The engine and basis selection

namespace {

// The engine over a span of the source (the whole source when span is null).
int resampleSpan(_ImgStruct* dst, const _ImgStruct* src, int basis, float radius,
                 const _ImgSpan* span) {
  if (dst == nullptr || src == nullptr || src->img == nullptr || src->csp == nullptr ||
      dst->csp == nullptr || src->xres < 1 || src->yres < 1)
    return 0;
  const float spanW = span != nullptr ? static_cast<float>(span->w) : static_cast<float>(src->xres);
  const float spanH = span != nullptr ? static_cast<float>(span->h) : static_cast<float>(src->yres);
  const int rows = span != nullptr && span->rows > 0 ? span->rows : dst->yres;
  if (PpixelSize(src->csp) == 0 || PpixelSize(dst->csp) == 0) {
    DMESSAGE(DMCparameter, "Unsupported pixel type");
    return 0;
  }
  const _ImgColorSpace* const requested = dst->csp;
  bool relabelled = false;
  // A floating-point source shrinking across into integer pixels is averaged in floating
  // point before it is quantised.
  if (spanW > static_cast<float>(dst->xres) && src->csp->dtype == IDTfloat &&
      dst->csp->dtype != IDTfloat) {
    if (dst->img == nullptr) {
      dst->csp = src->csp;
      relabelled = true;
    } else {
      _ImgStruct tmp;
      memset(&tmp, 0, sizeof tmp);
      tmp.xres = dst->xres;
      tmp.yres = dst->yres;
      tmp.csp = src->csp;
      int ok = resampleSpan(&tmp, src, basis, radius, span);
      if (ok) ok = PmapImage(dst, &tmp, 1.0);
      PfreeImage(&tmp);
      if (!ok) PfreeImage(dst);
      return ok;
    }
  }
  if (!PnewImage(dst, 0.0)) {
    if (relabelled) dst->csp = requested;
    return 0;
  }
  // The kernels filter the source in its own encoding but need the destination's layout:
  // a source of another layout is converted first.
  _ImgStruct conv;
  memset(&conv, 0, sizeof conv);
  const _ImgStruct* work = src;
  if (!PmatchColorSpace(src->csp, dst->csp, 3)) {
    conv.xres = src->xres;
    conv.yres = src->yres;
    conv.csp = dst->csp;
    if (!PmapImage(&conv, src, 1.0)) {
      PfreeImage(dst);
      if (relabelled) dst->csp = requested;
      return 0;
    }
    work = &conv;
  }
  _ImgColorSpace kept = *work->csp;
  kept.cstatic = 0;
  float r = radius;
  if (basis == 4 && static_cast<float>(dst->xres) > spanW && static_cast<float>(rows) > spanH)
    r = static_cast<float>(radius * sqrt(static_cast<double>(dst->xres) * rows /
                                         (static_cast<double>(spanW) * spanH)));
  int ok = 0;
  if (basis == 2) {
    ok = pointSample(dst, work, span);
  } else {
    const bool gauss = basis == 4;
    switch (pixelKey(dst->csp)) {
      case 8:
        ok = gauss ? gaussianY8(dst, work, r, span) : interpY8(dst, work, basis, span);
        break;
      case 9:
        ok = gauss ? gaussianY16(dst, work, r, span) : interpY16(dst, work, basis, span);
        break;
      case 11:
        ok = gauss ? gaussianY(dst, work, r, span) : interpY(dst, work, basis, span);
        break;
      case 24:
        ok = gauss ? gaussianRGB24(dst, work, r, span) : interpRGB24(dst, work, basis, span);
        break;
      case 25:
        ok = gauss ? gaussianRGB48(dst, work, r, span) : interpRGB48(dst, work, basis, span);
        break;
      case 27:
        ok = gauss ? gaussianRGB(dst, work, r, span) : interpRGB(dst, work, basis, span);
        break;
      default:
        DMESSAGE(DMCparameter, "Unsupported pixel type");
        break;
    }
  }
  PfreeImage(&conv);
  if (!ok) {
    PfreeImage(dst);
    if (relabelled) dst->csp = requested;
    return 0;
  }
  if (PmatchColorSpace(&kept, requested, 31)) return 1;
  dst->csp = &kept;
  ok = PconvertColorSpace(dst, requested, 1.0);
  if (dst->csp == &kept) {  // never leave the image labelled with this function's copy
    PfreeImage(dst);
    dst->csp = requested;
    return 0;
  }
  return ok;
}

}  // namespace

int resampleImage(_ImgStruct* dst, const _ImgStruct* src, int basis, float radius) {
  return resampleSpan(dst, src, basis, radius, nullptr);
}

namespace {

// The basis PsizeImage chooses for resampling a span of w x h source pixels into dw x dh
// pixels; -1 for an unknown basis.
int chooseBasis(int dw, int dh, double w, double h, int basis) {
  if (basis == 4) return dw >= w && dh >= h ? 5 : 4;
  if (basis < 0 || basis > 6) {
    DMESSAGE(DMCparameter, "Unknown resampling basis");
    return -1;
  }
  const bool reduced =
      static_cast<long long>(dw * 1.62) < w || static_cast<long long>(dh * 1.62) < h;
  static const int kNormal[7] = {2, 6, 2, 2, 4, 5, 6};
  return reduced && basis != 0 && basis != 2 ? 4 : kNormal[basis];
}

}  // namespace

int PsizeImage(_ImgStruct* dst, const _ImgStruct* src, int basis) {
  if (src == nullptr || src->img == nullptr || src->csp == nullptr) return 0;
  if (dst == src) return 1;
  if (dst == nullptr || dst->csp == nullptr) return 0;
  if (dst->xres == src->xres && dst->yres == src->yres) return PmapImage(dst, src, 1.0);
  if (PimagesOverlap(src, dst)) {
    DMESSAGE(DMCparameter, "Cannot resample image onto itself");
    return 0;
  }
  basis = chooseBasis(dst->xres, dst->yres, src->xres, src->yres, basis);
  if (basis < 0) return 0;
  return resampleImage(dst, src, basis, 0.5f);
}

int PsizeImageSpan(_ImgStruct* dst, const _ImgStruct* src, const _ImgSpan& span, int basis) {
  if (src == nullptr || src->img == nullptr || src->csp == nullptr || dst == nullptr ||
      dst->csp == nullptr)
    return 0;
  if (!(span.w > 0.0 && span.h > 0.0 && std::isfinite(span.x + span.w) &&
        std::isfinite(span.y + span.h) && std::fabs(span.x) < 1e7 && std::fabs(span.y) < 1e7 &&
        span.w < 1e7 && span.h < 1e7) ||
      (span.rows > 0 && (span.row0 < 0 || span.row0 > span.rows - dst->yres))) {
    DMESSAGE(DMCparameter, "Illegal resampling span");
    return 0;
  }
  if (PimagesOverlap(src, dst)) {
    DMESSAGE(DMCparameter, "Cannot resample image onto itself");
    return 0;
  }
  // A band takes the kernel of the rendering it is part of, whatever its own height.
  basis = chooseBasis(dst->xres, span.rows > 0 ? span.rows : dst->yres, span.w, span.h, basis);
  if (basis < 0) return 0;
  return resampleSpan(dst, src, basis, 0.5f, &span);
}
