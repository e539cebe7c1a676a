// Per-exposure merge weights, agreement with the reference exposure, and the repair of
// isolated bad pixels.
#include <algorithm>
#include <cmath>

#include "hdr/phdrimg.h"
#include "image/pconvolve.h"

void PHDweightTable(float* wt, const PHDWeightArgs& a) {
  int lo = a.minv;
  if (a.minv < 25) {
    for (int r = 25; r > a.minv; r--) {
      if (r + 12 <= 255 && a.scale * a.resp[r + 12] < a.lim) {
        lo = r;
        break;
      }
    }
  }
  const int mid = (lo + a.maxv) / 2;
  const int span = a.maxv - lo;
  for (int b = 255; b >= 0; b--) {
    float w = a.resp[b] / a.slope[b];
    if (b <= 25 && w > 0.95f * wt[b + 1]) w = 0.95f * wt[b + 1];
    if (!(w >= 1.05e-4f)) w = 1.05e-4f;
    const bool flat = (a.brightest && b <= mid) || (a.darkest && b >= mid);
    if (!flat) {
      if (span <= 0) {
        w = 0;  // an empty usable range weighs nothing
      } else {
        const double t = double(b - lo) / span;
        const double h = 1.0 - std::pow(2.0 * t - 1.0, 12);
        w = h > 0 ? static_cast<float>(w * h) : 0.0f;
      }
    }
    wt[b] = w;
  }
}

float PHDagreement(const float* L, const float* R, int state, int refY) {
  if (state == 0) {
    const double u = (refY + 0.5) / 256.0;
    const double s = u <= 0.85 ? 0.04 + 0.12 * (1.0 - u) : 0.058 + 0.68 * (u - 0.85);
    double d = 0;
    for (int c = 0; c < 3; c++) {
      const double e = 1.0 - double(L[c]) / R[c];
      if (e * e > d) d = e * e;
    }
    if (!std::isfinite(d)) return 0.0f;
    return static_cast<float>(s * s / (s * s + d));
  }
  if (state == 1) {
    if (L[0] >= 0.9f * R[0] && L[1] >= 0.9f * R[1] && L[2] >= 0.9f * R[2])
      return static_cast<float>(0.0256 / (0.01 + 0.0256));
    double r = double(L[0]) / R[0];
    for (int c = 1; c < 3; c++) r = std::min(r, double(L[c]) / R[c]);
    if (!std::isfinite(r)) return 0.5f;
    return static_cast<float>(0.0256 / ((1 - r) * (1 - r) + 0.0256));
  }
  if (L[0] <= 1.25f * R[0] && L[1] <= 1.25f * R[1] && L[2] <= 1.25f * R[2])
    return static_cast<float>(0.0256 / (0.0625 + 0.0256));
  if (std::min(R[0], std::min(R[1], R[2])) <= 0) return 0.5f;
  double r = double(L[0]) / R[0];
  for (int c = 1; c < 3; c++) r = std::max(r, double(L[c]) / R[c]);
  return static_cast<float>(0.0256 / ((1 - r) * (1 - r) + 0.0256));
}

void pLinterp(float* p, int n, int stride, int ncomp) {
  if (n < 3) return;
  const float* first = p;
  const float* last = p + static_cast<ptrdiff_t>(n - 1) * stride;
  for (int i = 1; i < n - 1; i++) {
    const float t = float(i) / float(n - 1);
    float* q = p + static_cast<ptrdiff_t>(i) * stride;
    for (int c = 0; c < ncomp; c++) q[c] = (1 - t) * first[c] + t * last[c];
  }
}

int cleanBadPixels(_ImgStruct* img, const _ImgStruct* var, PHDPoll* poll) {
  static const float kern[5][5] = {{-8, -4, 0, -4, -8},
                                   {-4, 0, 0, 0, -4},
                                   {0, 0, 1, 0, 0},
                                   {-4, 0, 0, 0, -4},
                                   {-8, -4, 0, -4, -8}};
  if (img == nullptr || var == nullptr || img->img == nullptr || var->img == nullptr) return -1;
  // The convolution wants an image larger than its kernel.
  if (var->xres < 6 || var->yres < 6 || var->csp == nullptr) return -1;
  if (var->xres != img->xres || var->yres != img->yres) return 0;
  _ImgStruct k = {5,       5,
                  &ICS_Y,  5 * sizeof(float),
                  nullptr, reinterpret_cast<uint8_t*>(const_cast<float*>(&kern[0][0]))};
  // Bands of rows (about a million pixels each, at least 16 rows), each convolved with the two
  // rows around it that its pixels read, so that a Stop is heard between them; the rows used
  // are those the whole image's convolution gives.
  const int kBand = std::max(16, static_cast<int>((int64_t{1} << 20) / var->xres));
  const int H = var->yres;
  int n = 0;
  const int st = img->rowsize / static_cast<int>(sizeof(float));
  for (int y0 = 2, y1; y0 < H - 2; y0 = y1) {
    if (poll != nullptr && !poll->Go()) return -1;
    y1 = std::min(y0 + kBand, H - 2);
    const int bottom = std::min(H, y1 + 2);
    const int top = std::max(0, std::min(y0 - 2, bottom - 6));
    const _ImgRect rows = {0, var->xres, top, bottom};
    _ImgStruct band = {}, cv = {0, 0, &ICS_Y, 0, nullptr, nullptr};
    if (!PlinkSubimage(&band, var, &rows)) return -1;
    const int ok = PconvolveImage(&cv, &band, &k);
    PfreeImage(&band);
    if (!ok) return -1;
    for (int y = y0; y < y1; y++) {
      const float* cr =
          reinterpret_cast<const float*>(cv.img + static_cast<ptrdiff_t>(y - top) * cv.rowsize);
      for (int x = 2; x < cv.xres - 2; x++) {
        if (!(cr[x] >= 0.1f)) continue;
        float* tl =
            reinterpret_cast<float*>(img->img + static_cast<ptrdiff_t>(y - 2) * img->rowsize) +
            3 * (x - 2);
        pLinterp(tl, 5, st, 3);
        pLinterp(tl + 12, 5, st, 3);
        for (int r = 0; r < 5; r++) pLinterp(tl + static_cast<ptrdiff_t>(r) * st, 5, 3, 3);
        n++;
      }
    }
    PfreeImage(&cv);
  }
  return n;
}
