// Two-band blending of a panorama overlap, line by line from the link point outward.
#include "hdr/pblendpano.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "support/dmessage.h"
#include "image/piresamp.h"
#include "image/pconvert.h"

float edgeFilt[13];

namespace {

constexpr float kLowFloor = 1e-30f;  // keeps the high band finite where the image is black
constexpr float kPi = 3.14159265358979f;

void BuildEdgeFilt() {
  if (edgeFilt[4] >= 0.01f) return;
  for (int i = 0; i <= 12; i++) edgeFilt[i] = static_cast<float>(i * std::exp(-i * i / 32.0));
}

}  // namespace

int sepFreq(_ImgStruct* high, _ImgStruct* low, const _ImgStruct* src) {
  high->xres = low->xres = src->xres;
  high->yres = low->yres = src->yres;
  if (!PmapImage(high, src, 1.0)) return 0;
  _ImgStruct small{};
  small.xres = std::max(1, src->xres / 16);  // at least one pixel for narrow overlaps
  small.yres = std::max(1, src->yres / 16);
  small.csp = high->csp;
  const int ok = PsizeImage(&small, high, 4) && PsizeImage(low, &small, 5);
  PfreeImage(&small);
  if (!ok) return 0;
  if (!DMASSERT_AS(high->csp->dtype == IDTfloat, "hfi->csp->dtype == IDTfloat")) return 0;
  if (!DMASSERT_AS(low->csp->dtype == IDTfloat, "lfi->csp->dtype == IDTfloat")) return 0;
  const int n = src->xres * ImgPixelLen[high->csp->format];
  for (int y = 0; y < src->yres; y++) {
    float* h = reinterpret_cast<float*>(high->img + static_cast<ptrdiff_t>(y) * high->rowsize);
    float* l = reinterpret_cast<float*>(low->img + static_cast<ptrdiff_t>(y) * low->rowsize);
    for (int i = 0; i < n; i++) {
      if (!(l[i] > kLowFloor)) l[i] = kLowFloor;
      h[i] /= l[i];
    }
  }
  return 1;
}

int compEdge(float* out, const float* in, int stride, int n) {
  BuildEdgeFilt();
  std::fill(out, out + std::max(n, 0), 0.f);
  if (n < 25) return 0;
  int strong = 0;
  for (int i = 12; i <= n - 13; i++) {
    float e = 0, s = 0;
    for (int j = 1; j <= 12; j++) {
      const float a = in[static_cast<ptrdiff_t>(i - j) * stride];
      const float b = in[static_cast<ptrdiff_t>(i + j) * stride];
      e += edgeFilt[j] * (a - b);
      s += edgeFilt[j] * (a + b);
    }
    if (s > 0) {
      out[i] = 12 * e / s;
      if (out[i] * out[i] > 0.5625f) strong++;
    } else {
      out[i] = e;
    }
  }
  return strong;
}

void blendInto(float* dst, int mode, const float* src, int channels, int step, int n, int offset,
               int position) {
  if (n < 1) return;
  const bool mult = (mode & BLmultiply) != 0, second = (mode & BLsecond) != 0,
             half = (mode & BLhalf) != 0;
  int lo = 0, hi = n;
  if (position >= 0) {
    position = std::min(position, n);
    if (second)
      lo = position;
    else
      hi = position;
  }
  if (!mult) {
    for (int i = 0; i < lo; i++)
      for (int c = 0; c < channels; c++) dst[static_cast<ptrdiff_t>(i) * step + c] = 1.f;
    for (int i = hi; i < n; i++)
      for (int c = 0; c < channels; c++) dst[static_cast<ptrdiff_t>(i) * step + c] = 1.f;
  }
  const float last = static_cast<float>(n - 1);
  const float span = last + offset;
  for (int i = lo; i < hi; i++) {
    float t = 0;  // a one-sample line reads its only sample
    if (span > 0) t = second ? last * (1 - (last - i) / span) : last * i / span;
    int i0;
    float f;
    if (t <= 0) {
      i0 = 0;
      f = 0;
    } else if (t >= last) {
      i0 = n - 1;
      f = 0;
    } else {
      i0 = static_cast<int>(t);
      f = t - i0;
    }
    const float* s0 = src + static_cast<ptrdiff_t>(i0) * step;
    const float* s1 = i0 + 1 < n ? s0 + step : s0;
    float wgt = 0.5f;
    if (position < 0 && n > 1) {
      const float a = kPi * i / last;
      wgt = second ? 0.5f + 0.5f * std::sin(a - kPi / 2) : 0.5f + 0.5f * std::sin(kPi / 2 - a);
    }
    if (half) wgt *= 0.5f;
    float* d = dst + static_cast<ptrdiff_t>(i) * step;
    for (int c = 0; c < channels; c++) {
      const float v = f > 0 ? s0[c] + f * (s1[c] - s0[c]) : s0[c];
      float r;
      if (position < 0)
        r = v > 0 ? std::pow(v, wgt) : 0.f;
      else
        r = half ? std::sqrt(std::max(v, 0.f)) : v;
      d[c] = mult ? d[c] * r : r;
    }
  }
}

int blendLine3(float* out, int* seam, int* low, const float* hA, const float* lA, const float* hB,
               const float* lB, int step, int n) {
  float* buf = static_cast<float*>(std::malloc(sizeof(float) * 4 * std::max(n, 1)));
  if (buf == nullptr) {
    DMESSAGE(DMCmemory, "malloc failed");
    return 0;
  }
  float *EA = buf, *EB = buf + n, *T = buf + 2 * n, *W = buf + 3 * n;
  const int na = compEdge(EA, hA + 1, step, n);
  const int nb = compEdge(EB, hB + 1, step, n);
  if (na == 0 || nb == 0) {
    std::free(buf);
    blendInto(out, 0, lA, 3, step, n, *low, -1);
    blendInto(out, 3, lB, 3, step, n, *low, -1);
    if (*seam < 0) {
      blendInto(out, 1, hA, 3, step, n, *low, -1);
      blendInto(out, 3, hB, 3, step, n, *low, -1);
    } else {
      blendInto(out, 5, hA, 3, step, n, *low, *seam);
      blendInto(out, 7, hB, 3, step, n, *low, *seam);
      blendInto(out, 5, hA, 3, step, n, *low, -1);
      blendInto(out, 7, hB, 3, step, n, *low, -1);
    }
    *seam = -1;
    return 1;
  }
  const int oldSeam = *seam;
  for (int i = 0; i < n; i++) {
    W[i] = 0.5f + 0.5f * std::sin(2 * kPi * (i + 0.5f) / n - kPi / 2);
    if (oldSeam > 0) W[i] /= 1 + 0.00015943879f * float(i - oldSeam) * float(i - oldSeam);
  }
  const int lim = 12 * n / 100;
  double best = 0;
  int stretch = *low, newSeam = oldSeam;
  for (int c = *low - 1; c <= *low + 1; c++) {
    if (c < -lim || c > lim) continue;
    blendInto(T, 0, EA, 1, 1, n, c, n);
    blendInto(T, 3, EB, 1, 1, n, c, 0);
    double score = 0;
    for (int i = 0; i < n; i++) score += (T[i] *= W[i]);
    if (score > best) {
      best = score;
      stretch = c;
      float top = 0;
      for (int i = n - 1; i >= 0; i--)
        if (T[i] > top) {
          top = T[i];
          newSeam = i;
        }
    }
  }
  std::free(buf);
  blendInto(out, 0, lA, 3, step, n, stretch, -1);
  blendInto(out, 3, lB, 3, step, n, stretch, -1);
  if (std::abs(oldSeam - newSeam) <= 56) {
    blendInto(out, 1, hA, 3, step, n, stretch, newSeam);
    blendInto(out, 3, hB, 3, step, n, stretch, newSeam);
  } else {
    blendInto(out, 5, hA, 3, step, n, stretch, oldSeam);
    blendInto(out, 7, hB, 3, step, n, stretch, oldSeam);
    blendInto(out, 5, hA, 3, step, n, stretch, newSeam);
    blendInto(out, 7, hB, 3, step, n, stretch, newSeam);
  }
  *low = stretch;
  *seam = newSeam;
  return 1;
}

namespace {

struct Bands {
  _ImgStruct hfa{}, lfa{}, hfb{}, lfb{}, out{}, va{}, vb{};
  ~Bands() {
    for (_ImgStruct* im : {&hfa, &lfa, &hfb, &lfb, &out, &va, &vb}) PfreeImage(im);
  }
};

inline float* Floats(const _ImgStruct& im) {
  return reinterpret_cast<float*>(im.img);
}

}  // namespace

int PblendPano(_ImgStruct* result, const int rect[4], const _ImgStruct* ia, const _ImgStruct* ib) {
  if (result == nullptr || result->csp == nullptr || rect == nullptr || ia == nullptr ||
      ia->img == nullptr || ia->csp == nullptr || ib == nullptr || ib->img == nullptr ||
      ib->csp == nullptr)
    return 0;
  const int rl = rect[0], rr = rect[1], rt = rect[2], rb = rect[3];
  _ImgRect oa;
  oa.xleft = std::max(0, rr - ib->xres);
  oa.xright = std::min(rr, ia->xres);
  oa.ytop = std::max(0, rb - ib->yres);
  oa.ybottom = std::min(rb, ia->yres);
  if (oa.xleft >= oa.xright || oa.ytop >= oa.ybottom) return 0;
  const int sx = ib->xres - rr, sy = ib->yres - rb;
  const _ImgRect ob = {oa.xleft + sx, oa.xright + sx, oa.ytop + sy, oa.ybottom + sy};
  const int ow = oa.xright - oa.xleft, oh = oa.ybottom - oa.ytop;
  Bands b;
  b.hfa.csp = b.lfa.csp = b.hfb.csp = b.lfb.csp = b.out.csp = &ICS_XYZ;
  b.out.xres = ow;
  b.out.yres = oh;
  bool ok = PlinkSubimage(&b.va, ia, &oa) && PlinkSubimage(&b.vb, ib, &ob) &&
            sepFreq(&b.hfa, &b.lfa, &b.va) && sepFreq(&b.hfb, &b.lfb, &b.vb) &&
            PnewImage(&b.out, 0);
  const bool rows = std::abs(sx) * static_cast<long>(ib->yres + ia->yres) >
                    std::abs(sy) * static_cast<long>(ib->xres + ia->xres);
  if (ok && rows) {
    ok = DMASSERT_AS(3 == ImgPixelLen[b.hfa.csp->format], "xstep == ImgPixelLen[hfa.csp->format]");
    const bool aFirst = rr > ib->xres;
    const _ImgStruct& hA = aFirst ? b.hfa : b.hfb;
    const _ImgStruct& lA = aFirst ? b.lfa : b.lfb;
    const _ImgStruct& hB = aFirst ? b.hfb : b.hfa;
    const _ImgStruct& lB = aFirst ? b.lfb : b.lfa;
    const int start = std::clamp(rt - oa.ytop, 0, oh - 1);
    auto line = [&](int y, int* seam, int* low) {
      auto at = [y](const _ImgStruct& im) {
        return reinterpret_cast<float*>(im.img + static_cast<ptrdiff_t>(y) * im.rowsize);
      };
      return blendLine3(at(b.out), seam, low, at(hA), at(lA), at(hB), at(lB), 3, ow);
    };
    int seam = rl - oa.xleft, low = 0;
    for (int y = start; ok && y < oh; y++) ok = line(y, &seam, &low);
    seam = rl - oa.xleft;
    low = 0;
    for (int y = start - 1; ok && y >= 0; y--) ok = line(y, &seam, &low);
  } else if (ok) {
    const int step = b.hfa.rowsize / static_cast<int>(sizeof(float));
    ok = DMASSERT_AS(step * static_cast<int>(sizeof(float)) == b.hfa.rowsize,
                     "ystep*sizeof(float) == hfa.rowsize") &&
         DMASSERT_AS(b.hfa.rowsize == b.lfa.rowsize && b.lfa.rowsize == b.hfb.rowsize &&
                         b.hfb.rowsize == b.lfb.rowsize && b.lfb.rowsize == b.out.rowsize,
                     "(hfa.rowsize == lfa.rowsize) & (lfa.rowsize == hfb.rowsize) & "
                     "(hfb.rowsize == lfb.rowsize) & (lfb.rowsize == iblnd.rowsize)");
    const bool aFirst = rb > ib->yres;
    const float* hA = Floats(aFirst ? b.hfa : b.hfb);
    const float* lA = Floats(aFirst ? b.lfa : b.lfb);
    const float* hB = Floats(aFirst ? b.hfb : b.hfa);
    const float* lB = Floats(aFirst ? b.lfb : b.lfa);
    float* out = Floats(b.out);
    const int start = std::clamp(rl - oa.xleft, 0, ow - 1);
    auto line = [&](int x, int* seam, int* low) {
      const int o = 3 * x;
      return blendLine3(out + o, seam, low, hA + o, lA + o, hB + o, lB + o, step, oh);
    };
    int seam = rt - oa.ytop, low = 0;
    for (int x = start; ok && x < ow; x++) ok = line(x, &seam, &low);
    seam = rt - oa.ytop;
    low = 0;
    for (int x = start - 1; ok && x >= 0; x--) ok = line(x, &seam, &low);
  }
  if (ok) {
    result->xres = ow;
    result->yres = oh;
    ok = PmapImage(result, &b.out, 1.0);
  }
  if (!ok) {
    PfreeImage(result);
    return 0;
  }
  return 1;
}
