// Warping through a control grid: each cell is the projective (or affine) image of the unit
// square, sampled by point sampling or by 4 x 4 taps of linear or cubic weights that widen
// into a box where the mapping compresses the source.
#include "image/piwarp.h"

#include <cmath>
#include <cstring>
#include <type_traits>

#include "image/pconvert.h"
#include "image/piresamp.h"
#include "support/dmessage.h"

namespace {

// Integer part towards minus infinity, the way the warper takes it.
inline double warpFloor(double s) {
  return s >= 0.0 ? std::trunc(s) : std::trunc(s - 0.999999999);
}

inline const uint8_t* pixelAt(const _ImgStruct* im, int x, int y, int ps) {
  return im->img + static_cast<ptrdiff_t>(y) * im->rowsize + static_cast<ptrdiff_t>(x) * ps;
}

}  // namespace

const void* interpMap(float weights[8], const void* taps[16], int x, int y, const _ImgWarpMap* map,
                      const _ImgStruct* src, int basis, const void* fill) {
  const double u = (x + 0.5) / map->xres, v = (y + 0.5) / map->yres;
  const double D = map->g * u + map->h * v + 1.0;
  if (D == 0.0 || !std::isfinite(D)) return fill;
  const double sx = (map->a * u + map->b * v + map->c) / D - 0.5;
  const double sy = (map->d * u + map->e * v + map->f) / D - 0.5;
  const double F = map->footprint / D;
  // Degenerate cells give non-finite positions: they show the fill, never a stray pixel.
  if (!(F > 0.0) || !std::isfinite(F) || !std::isfinite(sx) || !std::isfinite(sy)) return fill;
  const int ps = PpixelSize(src->csp);
  if (basis == 0 || basis == 2) {
    if (sx < -0.5 || sy < -0.5) return fill;
    if (sx + 0.5 >= src->xres || sy + 0.5 >= src->yres) return fill;
    return pixelAt(src, static_cast<int>(sx + 0.5), static_cast<int>(sy + 0.5), ps);
  }
  // Tap spacing; beyond the image size every tap but one would fall outside anyway.
  const int maxStep = (src->xres > src->yres ? src->xres : src->yres) + 1;
  int step = 1;
  float* wx = weights;
  float* wy = weights + 4;
  const double fx = warpFloor(sx), fy = warpFloor(sy);
  if (F >= 4.0) {
    const double st = std::trunc(F * 0.25 + 1e-6);
    step = st < maxStep ? static_cast<int>(st) : maxStep;
    for (int k = 0; k < 8; ++k) weights[k] = 0.25f;
  } else {
    if (basis == 5) {
      linear_interp(wx, static_cast<float>(sx - fx));
      linear_interp(wy, static_cast<float>(sy - fy));
    } else {
      cubic_interp(wx, static_cast<float>(sx - fx));
      cubic_interp(wy, static_cast<float>(sy - fy));
    }
    if (F > 1.0) {
      const float t = (4.0f - static_cast<float>(F)) / 3.0f;
      for (int k = 0; k < 8; ++k) weights[k] = t * weights[k] + (1.0f - t) * 0.25f;
    }
  }
  // Every tap outside the source: nothing to interpolate.
  if (fx + 2.0 * step < 0.0 || fx - step >= src->xres) return fill;
  if (fy + 2.0 * step < 0.0 || fy - step >= src->yres) return fill;
  const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
  for (int r = 0; r < 4; ++r) {
    const int ty = iy + (r - 1) * step;
    const bool rowIn = ty >= 0 && ty < src->yres;
    for (int c = 0; c < 4; ++c) {
      const int tx = ix + (c - 1) * step;
      taps[r * 4 + c] = rowIn && tx >= 0 && tx < src->xres ? pixelAt(src, tx, ty, ps) : fill;
    }
  }
  return nullptr;
}

namespace {

// Interpolates one pixel from sixteen taps, rows and columns from the last to the first.
template <typename T, int NC>
void blendTaps(T* out, const float w[8], const void* const taps[16]) {
  for (int i = 0; i < NC; ++i) {
    float s = 0.0f;
    for (int r = 3; r >= 0; --r)
      for (int c = 3; c >= 0; --c)
        s += (w[4 + r] * w[c]) * static_cast<float>(static_cast<const T*>(taps[r * 4 + c])[i]);
    if constexpr (std::is_same_v<T, float>) {
      out[i] = s;
    } else {
      constexpr float top = std::is_same_v<T, uint8_t> ? 255.0f : 65535.0f;
      out[i] = s <= 0.0f ? T(0) : s >= top ? static_cast<T>(top) : static_cast<T>(s + 0.5f);
    }
  }
}

// Samples one cell of the destination.
template <typename T, int NC>
void warpCell(_ImgStruct* cell, const _ImgWarpMap& map, const _ImgStruct* W, int basis,
              const void* fill) {
  float w[8];
  const void* taps[16];
  for (int y = 0; y < cell->yres; ++y) {
    T* out = reinterpret_cast<T*>(cell->img + static_cast<ptrdiff_t>(y) * cell->rowsize);
    for (int x = 0; x < cell->xres; ++x, out += NC) {
      const void* p = interpMap(w, taps, x, y, &map, W, basis, fill);
      if (p != nullptr)
        memcpy(out, p, sizeof(T) * NC);
      else
        blendTaps<T, NC>(out, w, taps);
    }
  }
}

using CellFunc = void (*)(_ImgStruct*, const _ImgWarpMap&, const _ImgStruct*, int, const void*);

CellFunc cellFunc(const _ImgColorSpace* cs) {
  switch (ImgPixelLen[cs->format] * 8 + cs->dtype) {
    case 8:
      return warpCell<uint8_t, 1>;
    case 9:
      return warpCell<uint16_t, 1>;
    case 11:
      return warpCell<float, 1>;
    case 24:
      return warpCell<uint8_t, 3>;
    case 25:
      return warpCell<uint16_t, 3>;
    case 27:
      return warpCell<float, 3>;
    default:
      return nullptr;
  }
}

struct Pt {
  float x, y;
};

// The mapping of the unit square onto the quadrilateral TL, TR, BR, BL.
void cellMap(_ImgWarpMap* m, Pt tl, Pt tr, Pt bl, Pt br, int w, int h) {
  const double sumx = static_cast<double>(tl.x) - tr.x + br.x - bl.x;
  const double sumy = static_cast<double>(tl.y) - tr.y + br.y - bl.y;
  if (std::fabs(sumx) <= 0.0001 && std::fabs(sumy) <= 0.0001) {
    m->a = static_cast<double>(tr.x) - tl.x;
    m->b = static_cast<double>(br.x) - tr.x;
    m->c = tl.x;
    m->d = static_cast<double>(tr.y) - tl.y;
    m->e = static_cast<double>(br.y) - tr.y;
    m->f = tl.y;
    m->g = m->h = 0.0;
  } else {
    const double dx1 = static_cast<double>(tr.x) - br.x, dx2 = static_cast<double>(bl.x) - br.x;
    const double dy1 = static_cast<double>(tr.y) - br.y, dy2 = static_cast<double>(bl.y) - br.y;
    const double det = dx1 * dy2 - dx2 * dy1;
    // A zero determinant leaves infinities or NaNs, which interpMap turns into fill.
    m->g = (sumx * dy2 - sumy * dx2) / det;
    m->h = (sumy * dx1 - sumx * dy1) / det;
    m->a = tr.x * m->g + tr.x - tl.x;
    m->b = bl.x * m->h + bl.x - tl.x;
    m->c = tl.x;
    m->d = tr.y * m->g + tr.y - tl.y;
    m->e = bl.y * m->h + bl.y - tl.y;
    m->f = tl.y;
  }
  m->xres = w;
  m->yres = h;
  m->footprint = std::sqrt((m->a * m->a + m->d * m->d) / (2.0 * w * w) +
                           (m->b * m->b + m->e * m->e) / (2.0 * h * h));
}

}  // namespace

int PwarpImage(_ImgStruct* dst, const _ImgStruct* src, const float (*grid)[2], int nx, int ny,
               int basis, const void* fill) {
  if (src == nullptr || src->img == nullptr || src->csp == nullptr || dst == nullptr ||
      dst->csp == nullptr || dst->xres < 1 || dst->yres < 1 || grid == nullptr || nx < 2 ||
      ny < 2 || src->xres < 1 || src->yres < 1)
    return 0;
  if (PimagesOverlap(src, dst)) {
    DMESSAGE(DMCparameter, "Cannot warp image onto itself");
    return 0;
  }
  const auto P = [&](int c, int r) {
    const float* q = grid[static_cast<size_t>(r) * nx + c];
    return Pt{q[0], q[1]};
  };
  // Pre-reduction: where even the least compressed cell shrinks the source by more than
  // 1.5, the source is reduced once beforehand.
  float s = 1.0f;
  if (basis != 0 && basis != 2) {
    double A = static_cast<double>(src->xres) * src->yres;
    for (int r = 1; r < ny; ++r)
      for (int c = 1; c < nx; ++c) {
        const Pt br = P(c, r), bl = P(c - 1, r), tr = P(c, r - 1);
        const double area =
            std::fabs((static_cast<double>(br.x) - bl.x) * (static_cast<double>(br.y) - tr.y));
        if (area < A) A = area;
      }
    s = static_cast<float>(
        std::sqrt(A * (nx - 1) * (ny - 1) / (static_cast<double>(dst->xres) * dst->yres)));
    if (!(s >= 1.0f)) s = 1.0f;
  }
  const _ImgColorSpace* const requested = dst->csp;
  _ImgStruct W;
  memset(&W, 0, sizeof W);
  const auto reduce = [&]() {
    const double wx = std::trunc(src->xres / s + 0.5), wy = std::trunc(src->yres / s + 0.5);
    W.xres = wx < 1.0 ? 1 : static_cast<int>(wx);
    W.yres = wy < 1.0 ? 1 : static_cast<int>(wy);
    W.csp = dst->csp;
    return PsizeImage(&W, src, basis);
  };
  if (s > 1.5f) {
    if (!reduce()) return 0;
  } else if (PmatchColorSpace(dst->csp, src->csp, 3)) {
    if (!PlinkSubimage(&W, src, nullptr)) return 0;
    s = 1.0f;
  } else if (!reduce()) {
    return 0;
  }
  if (!PnewImage(dst, 0.0)) {
    PfreeImage(&W);
    return 0;
  }
  const CellFunc warp = cellFunc(dst->csp);
  if (warp == nullptr) {
    DMESSAGE(DMCparameter, "Unsupported pixel type");
    PfreeImage(&W);
    PfreeImage(dst);
    return 0;
  }
  // The fill in the destination's layout (at most three 4-byte components here).
  uint8_t fillpx[16];
  memset(fillpx, 0, sizeof fillpx);
  const int ps = PpixelSize(dst->csp);
  if (fill != nullptr) memcpy(fillpx, fill, static_cast<size_t>(ps));

  for (int r = 1; r < ny; ++r) {
    for (int c = 1; c < nx; ++c) {
      _ImgRect rect;
      rect.xleft = static_cast<int32_t>(static_cast<int64_t>(c - 1) * dst->xres / (nx - 1));
      rect.xright = static_cast<int32_t>(static_cast<int64_t>(c) * dst->xres / (nx - 1));
      rect.ytop = static_cast<int32_t>(static_cast<int64_t>(r - 1) * dst->yres / (ny - 1));
      rect.ybottom = static_cast<int32_t>(static_cast<int64_t>(r) * dst->yres / (ny - 1));
      _ImgStruct cell;
      memset(&cell, 0, sizeof cell);
      if (!PlinkSubimage(&cell, dst, &rect) || !PnewImage(&cell, 0.0)) {
        PfreeImage(&cell);
        PfreeImage(&W);
        PfreeImage(dst);
        return 0;
      }
      const auto scaled = [&](Pt p) { return Pt{p.x / s, p.y / s}; };
      _ImgWarpMap map;
      cellMap(&map, scaled(P(c - 1, r - 1)), scaled(P(c, r - 1)), scaled(P(c - 1, r)),
              scaled(P(c, r)), cell.xres, cell.yres);
      warp(&cell, map, &W, basis, fillpx);
      PfreeImage(&cell);
    }
  }
  _ImgColorSpace kept = *W.csp;
  kept.cstatic = 0;
  PfreeImage(&W);
  if (PmatchColorSpace(requested, &kept, 31)) return 1;
  dst->csp = &kept;
  const int ok = PconvertColorSpace(dst, requested, 1.0);
  if (dst->csp == &kept) {  // never leave the image labelled with this function's copy
    PfreeImage(dst);
    dst->csp = requested;
    return 0;
  }
  return ok;
}

int ProtateImage(_ImgStruct* dst, const _ImgStruct* src, double angle, int basis,
                 const void* fill) {
  if (src == nullptr) return 0;
  const double X = src->xres, Y = src->yres;
  const double R = 0.5 * std::sqrt(X * X + Y * Y);  // in double: no overflow for any size
  const double theta = std::atan2(Y, X);
  const double alpha = angle * 0.017453292519943295;
  constexpr double kPi = 3.14159265358979323846;
  const double phi[4] = {theta - kPi - alpha, -theta - alpha, kPi - theta - alpha, theta - alpha};
  float grid[4][2];
  for (int i = 0; i < 4; ++i) {
    grid[i][0] = static_cast<float>(X / 2 + R * std::cos(phi[i]));
    grid[i][1] = static_cast<float>(Y / 2 + R * std::sin(phi[i]));
  }
  return PwarpImage(dst, src, grid, 2, 2, basis, fill);
}
