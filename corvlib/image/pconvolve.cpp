// Gaussian blur through the resampling engine, and kernel convolution in a linear
// floating-point working space.
#include "image/pconvolve.h"

#include <cmath>
#include <cstring>

#include "image/pconvert.h"
#include "image/piresamp.h"
#include "support/dmessage.h"

int PblurImage(_ImgStruct* dst, const _ImgStruct* src, double radius) {
  if (src == nullptr || src->img == nullptr || src->csp == nullptr || dst == nullptr ||
      dst->csp == nullptr || !(radius > 0.0) || !std::isfinite(radius))
    return 0;
  if (PimagesOverlap(src, dst)) {
    DMESSAGE(DMCparameter, "Cannot blur image onto itself");
    return 0;
  }
  if (radius <= 0.5) DMESSAGE(DMCwarning, "Non-blurring radius (%f)", radius);
  return resampleImage(dst, src, 4, static_cast<float>(radius));
}

namespace {

inline float* frow(_ImgStruct* im, int y) {
  return reinterpret_cast<float*>(im->img + static_cast<ptrdiff_t>(y) * im->rowsize);
}

// Adds weight k times the source row s, shifted by dx pixels with its edges repeated, to
// the output row o: the clamped margins apart, the middle without bounds tests.
void addShiftedRow(float* o, const float* s, const float* k, int w, int nc, int dx) {
  const int left = dx < 0 ? (-dx < w ? -dx : w) : 0;               // columns reading pixel 0
  const int right = dx > 0 ? (w - dx > left ? w - dx : left) : w;  // first reading pixel w-1
  for (int x = 0; x < left; ++x)
    for (int i = 0; i < nc; ++i) o[x * nc + i] += k[i] * s[i];
  const float* last = s + static_cast<ptrdiff_t>(w - 1) * nc;
  if (nc == 1) {
    const float k0 = k[0];
    const float* sp = s + dx;
    for (int x = left; x < right; ++x) o[x] += k0 * sp[x];
  } else {
    for (int x = left; x < right; ++x) {
      const float* sp = s + static_cast<ptrdiff_t>(x + dx) * nc;
      for (int i = 0; i < nc; ++i) o[x * nc + i] += k[i] * sp[i];
    }
  }
  for (int x = right; x < w; ++x)
    for (int i = 0; i < nc; ++i) o[x * nc + i] += k[i] * last[i];
}

}  // namespace

int PconvolveImage(_ImgStruct* dst, const _ImgStruct* src, const _ImgStruct* kernel) {
  if (dst == nullptr || dst->csp == nullptr || src == nullptr || src->img == nullptr ||
      src->csp == nullptr || kernel == nullptr || kernel->img == nullptr || kernel->csp == nullptr)
    return 0;
  if (kernel->xres <= 2 || kernel->yres <= 2 || kernel->xres >= src->xres ||
      kernel->yres >= src->yres)
    return 0;
  if (PpixelSize(dst->csp) == 0) return 0;
  if (dst->img != nullptr && (dst->xres != src->xres || dst->yres != src->yres)) {
    DMESSAGE(DMCparameter, "Mismatched image dimensions");
    return 0;
  }
  if (dst->img == nullptr) {
    dst->xres = src->xres;
    dst->yres = src->yres;
  }
  // Working space: linear floating point in the destination's format, primaries and white.
  _ImgColorSpace wcs = *dst->csp;
  wcs.dtype = IDTfloat;
  wcs.gamma = 1.0f;
  wcs.logorig = 0.0f;
  wcs.cstatic = 0;
  const int nc = ImgPixelLen[wcs.format];

  _ImgStruct S, O, K;
  memset(&S, 0, sizeof S);
  memset(&O, 0, sizeof O);
  memset(&K, 0, sizeof K);
  const auto fail = [&]() {
    PfreeImage(&S);
    PfreeImage(&O);
    PfreeImage(&K);
    PfreeImage(dst);
    return 0;
  };
  if (PmatchColorSpace(src->csp, &wcs, 31)) {
    if (!PlinkSubimage(&S, src, nullptr)) return fail();
  } else {
    S.xres = src->xres;
    S.yres = src->yres;
    S.csp = &wcs;
    if (!PmapImage(&S, src, 1.0)) return fail();
  }
  const bool inPlace = PmatchColorSpace(dst->csp, &wcs, 31) != 0;
  if (inPlace) {
    if (PimagesOverlap(dst, &S)) {
      DMESSAGE(DMCparameter, "Cannot convolve image onto itself");
      return fail();
    }
    if (!PnewImage(dst, 0.0) || !PlinkSubimage(&O, dst, nullptr)) return fail();
  } else {
    O.xres = src->xres;
    O.yres = src->yres;
    O.csp = &wcs;
    if (!PnewImage(&O, 0.0)) return fail();
  }
  if (PmatchColorSpace(kernel->csp, &wcs, 31)) {
    if (!PlinkSubimage(&K, kernel, nullptr)) return fail();
  } else {
    K.xres = kernel->xres;
    K.yres = kernel->yres;
    K.csp = &wcs;
    if (!PmapImage(&K, kernel, 1.0)) return fail();
  }
  PclearImage(&O, nullptr);

  const int w = S.xres, h = S.yres;
  const int cx = (K.xres - 1) / 2, cy = (K.yres - 1) / 2;
  for (int ky = 0; ky < K.yres; ++ky) {
    const float* krow = frow(&K, ky);
    for (int kx = 0; kx < K.xres; ++kx) {
      const float* kp = krow + static_cast<ptrdiff_t>(kx) * nc;
      bool zero = true;
      for (int i = 0; i < nc; ++i) zero = zero && kp[i] == 0.0f;
      if (zero) continue;
      for (int y = 0; y < h; ++y) {
        int sy = y + ky - cy;
        sy = sy < 0 ? 0 : sy >= h ? h - 1 : sy;
        addShiftedRow(frow(&O, y), frow(&S, sy), kp, w, nc, kx - cx);
      }
    }
  }
  PfreeImage(&S);
  PfreeImage(&K);
  int ok = 1;
  if (!inPlace) ok = PmapImage(dst, &O, 1.0);
  PfreeImage(&O);
  if (!ok) PfreeImage(dst);
  return ok;
}
