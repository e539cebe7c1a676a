// Exposure alignment by threshold bitmaps on an image pyramid, and the placing of one exposure
// against its brighter neighbour.
#include "hdr/phdalign.h"

#include <cmath>
#include <cstdlib>

#include "hdr/phdbits.h"
#include "hdr/phdrimg.h"
#include "support/dmessage.h"
#include "image/piwarp.h"

namespace {

// Offset of the comparison value in a pixel and the pixel size; 0 size for other images.
int valueLayout(const _ImgStruct* img, int* off) {
  if (img == nullptr || img->csp == nullptr || img->img == nullptr) return 0;
  if (PmatchColorSpace(img->csp, &ICS_sRGB, 3)) {
    *off = 1;
    return 3;
  }
  if (PmatchColorSpace(img->csp, &ICS_Y8, 3)) {
    *off = 0;
    return 1;
  }
  return 0;
}

}  // namespace

int cmpBMdiff(const void* a, const void* b) {
  const long x = static_cast<const BMdiff*>(a)->count, y = static_cast<const BMdiff*>(b)->count;
  return (x > y) - (x < y);
}

bool thresholdImage(ABitMap2* tbm, ABitMap2* ebm, const _ImgStruct* img, int t) {
  int off = 0;
  const int ps = valueLayout(img, &off);
  if (ps == 0 || tbm == nullptr || ebm == nullptr) return false;
  if (!tbm->NewBitMap(img->xres, img->yres, false) || !ebm->NewBitMap(img->xres, img->yres, true))
    return false;
  const uint32_t w = img->xres;
  for (int y = 0; y < img->yres; y++) {
    const uint8_t* p = img->img + static_cast<ptrdiff_t>(y) * img->rowsize + off;
    const uint32_t base = y * w;
    for (uint32_t x = 0; x < w; x++, p += ps) {
      const int v = *p;
      if (v > t) tbm->Set(base + x);
      if (v >= t - 3 && v <= t + 3) ebm->Reset(base + x);
    }
  }
  return true;
}

bool shrinkImage(_ImgStruct* dst, const _ImgStruct* src) {
  if (dst == nullptr) return false;
  PfreeImage(dst);
  int off = 0;
  const int ps = valueLayout(src, &off);
  if (ps == 0) return false;
  dst->xres = src->xres / 2;
  dst->yres = src->yres / 2;
  dst->csp = &ICS_Y8;
  if (dst->xres < 1 || dst->yres < 1 || !PnewImage(dst, 0)) return false;
  for (int y = 0; y < dst->yres; y++) {
    const uint8_t* r0 = src->img + static_cast<ptrdiff_t>(2 * y) * src->rowsize + off;
    const uint8_t* r1 = r0 + src->rowsize;
    uint8_t* d = dst->img + static_cast<ptrdiff_t>(y) * dst->rowsize;
    for (int x = 0; x < dst->xres; x++, r0 += 2 * ps, r1 += 2 * ps)
      d[x] = static_cast<uint8_t>((r0[0] + r0[ps] + r1[0] + r1[ps]) >> 2);
  }
  return true;
}

bool shiftImage(int* shift, const _ImgStruct* a, const _ImgStruct* b, short ta, short tb,
                int levels) {
  if (shift == nullptr || a == nullptr || b == nullptr) return false;
  shift[0] = shift[1] = 0;
  if (levels >= 1 && a->xres > 15 && a->yres > 15) {
    _ImgStruct sa = {}, sb = {};
    bool ok = shrinkImage(&sa, a) && shrinkImage(&sb, b) &&
              shiftImage(shift, &sa, &sb, ta, tb, levels - 1);
    PfreeImage(&sa);
    PfreeImage(&sb);
    if (!ok) return false;
  }
  int offa = 0, offb = 0;
  const int psa = valueLayout(a, &offa), psb = valueLayout(b, &offb);
  if (psa == 0 || psb == 0 || a->xres != b->xres || a->yres != b->yres) return false;
  PHDRowBits at, ae, bt, be;
  PHDthresholdRows(&at, &ae, a, offa, psa, ta);
  PHDthresholdRows(&bt, &be, b, offb, psb, tb);
  BMdiff cand[21];
  int nc = 0;
  for (int dy = -2; dy <= 2; dy++) {
    for (int dx = -2; dx <= 2; dx++) {
      if (dx * dx + dy * dy >= 8) continue;
      BMdiff& c = cand[nc++];
      c.sx = shift[0] + dx;
      c.sy = shift[1] + dy;
      c.count = PHDcountRows(at, ae, bt, be, c.sx, c.sy);
    }
  }
  std::qsort(cand, nc, sizeof(BMdiff), cmpBMdiff);
  const long tol = static_cast<long>(a->xres) * a->yres / 4000;
  int sx = 2 * cand[0].sx, sy = 2 * cand[0].sy, n = 1;
  for (int i = 1; i < nc && cand[i].count - cand[0].count <= tol; i++, n++) {
    sx += 2 * cand[i].sx;
    sy += 2 * cand[i].sy;
  }
  shift[0] = sx / n;
  shift[1] = sy / n;
  return true;
}

bool limitShift(int* levels, int lo, int t, int hi) {
  if (levels == nullptr || lo >= hi) return false;
  const double f = double(std::min(hi - t, t - lo)) / double(hi - lo);
  if (f <= 0.015) return false;
  const int lim = static_cast<int>((f - 0.015) / 0.005);
  if (lim < *levels) *levels = lim;
  return true;
}

bool getRotation(float* deg, const _ImgStruct* a, const _ImgStruct* b, short ta, short tb,
                 int levels, const _ImgRect* r) {
  if (deg == nullptr || a == nullptr || b == nullptr || r == nullptr) return false;
  *deg = 0;
  const _ImgRect m = {a->xres - r->xright, a->xres - r->xleft, a->yres - r->ybottom,
                      a->yres - r->ytop};
  int s[2][2];
  const _ImgRect* rr[2] = {r, &m};
  for (int i = 0; i < 2; i++) {
    _ImgStruct va = {}, vb = {};
    if (!PlinkSubimage(&va, a, rr[i]) || !PlinkSubimage(&vb, b, rr[i])) {
      // A region that cannot be viewed only loses this estimate.
      dmessage(DMCwarning, "Cannot view alignment region", __FILE__, __LINE__);
      PfreeImage(&va);
      PfreeImage(&vb);
      return false;
    }
    const bool ok = shiftImage(s[i], &va, &vb, ta, tb, levels);
    PfreeImage(&va);
    PfreeImage(&vb);
    if (!ok) return false;
  }
  const double Dx = m.xleft - r->xleft, Dy = m.ytop - r->ytop;
  const double Vx = Dx + (s[1][0] - s[0][0]) / 2.0, Vy = Dy + (s[1][1] - s[0][1]) / 2.0;
  const double dl = std::hypot(Dx, Dy);
  if (dl <= 0 || std::fabs(std::hypot(Vx, Vy) / dl - 1.0) > 0.005) return false;
  *deg = static_cast<float>((std::atan2(Vy, Vx) - std::atan2(Dy, Dx)) * 57.29577951308232);
  return true;
}

bool PHDmeanRotation(const float* est, int n, float* rot) {
  *rot = 0;
  bool pos = false, neg = false;
  double sum = 0;
  for (int i = 0; i < n; i++) {
    pos |= est[i] > 0.07f;
    neg |= est[i] < -0.07f;
    sum += est[i];
  }
  if (n == 0 || (pos && neg)) return false;
  *rot = static_cast<float>(sum / n);
  return true;
}

bool PHDExposure::ComputeOffset(PHDExposure* prev) {
  if (prev == nullptr) return false;
  xoff = prev->xoff;
  yoff = prev->yoff;
  degCW = prev->degCW;
  int levels = 6;
  if (usepix.Width() != prev->usepix.Width() || usepix.Height() != prev->usepix.Height()) {
    dmessage(DMCdata, "Exposure resolution mismatch", __FILE__, __LINE__);
    return false;
  }
  const bool meBright = median[1] > prev->median[1];
  const PHDExposure& B = meBright ? *this : *prev;
  const PHDExposure& D = meBright ? *prev : *this;
  int tme, tprev;
  if (B.maxv[1] - B.median[1] < D.pct17[1] - D.minv[1]) {
    tme = pct17[1];
    tprev = prev->pct17[1];
  } else if (B.maxv[1] - B.pct83[1] > D.median[1] - D.minv[1]) {
    tme = pct83[1];
    tprev = prev->pct83[1];
  } else {
    tme = median[1];
    tprev = prev->median[1];
  }
  if (!limitShift(&levels, minv[1], tme, maxv[1]) ||
      !limitShift(&levels, prev->minv[1], tprev, prev->maxv[1])) {
    dmessage(DMCwarning, "Exposure too extreme for alignment", __FILE__, __LINE__);
    return true;
  }
  if (!GetReady()) {
    dmessage(DMCdata, "Cannot compute image offset", __FILE__, __LINE__);
    return false;
  }
  if (!prev->GetReady()) {
    Release();  // the first image is not kept when the second fails to load
    dmessage(DMCdata, "Cannot compute image offset", __FILE__, __LINE__);
    return false;
  }
  float rot = 0;
  _ImgStruct rimg = {};
  const _ImgStruct* use = &imr;
  bool ok = true;
  if (levels > 2) {
    const int w = imr.xres, h = imr.yres;
    _ImgRect reg[3];
    if (w > h) {
      for (int i = 0; i < 3; i++) reg[i] = {0, w / 4, i * h / 3, (i + 1) * h / 3};
    } else {
      for (int i = 0; i < 3; i++) reg[i] = {i * w / 3, (i + 1) * w / 3, 0, h / 4};
    }
    float est[3];
    int ne = 0;
    for (const _ImgRect& r : reg) {
      float d;
      if (getRotation(&d, &imr, &prev->imr, static_cast<short>(tme), static_cast<short>(tprev),
                      levels, &r))
        est[ne++] = d;
    }
    if (!PHDmeanRotation(est, ne, &rot))
      dmessage(DMCwarning, "Rotational alignment failed", __FILE__, __LINE__);
    if (std::fabs(rot) > 0.07f) {
      rimg.xres = imr.xres;
      rimg.yres = imr.yres;
      rimg.csp = imr.csp;
      ok = ProtateImage(&rimg, &imr, rot, 5, nullptr) != 0;
      use = &rimg;
    }
  }
  int shift[2] = {0, 0};
  if (ok)
    ok = shiftImage(shift, use, &prev->imr, static_cast<short>(tme), static_cast<short>(tprev),
                    levels);
  PfreeImage(&rimg);
  Release();
  prev->Release();
  if (!ok) {
    dmessage(DMCdata, "Cannot compute image offset", __FILE__, __LINE__);
    return false;
  }
  xoff -= shift[0] >> 1;
  yoff -= shift[1] >> 1;
  degCW -= rot;
  return true;
}
