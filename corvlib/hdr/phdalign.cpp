// Exposure alignment by threshold bitmaps on an image pyramid, and the placing of one exposure
// against its brighter neighbour.
#include "hdr/phdalign.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "catalog/picache.h"
#include "hdr/phdbits.h"
#include "hdr/phdrimg.h"
#include "support/dmessage.h"

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

// Rotation estimates further apart than this contradict each other (degrees): the smallest
// rotation the merge applies.
constexpr double kRotSpread = 0.07;
// How far the image centre's shifts of two region pairs may differ (pixels).
constexpr float kCentreTol = 2.0f;
// A found shift's score lies below those around it and that of no shift by more than this
// share of it (and by more than three standard deviations of the difference of the counts).
constexpr double kClearShare = 0.1;
// The pyramid depth of a search that goes as deep as the image allows (the levels stop at 15
// pixels).
constexpr int kDeepest = 30;

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

bool shrinkImage(_ImgStruct* dst, const _ImgStruct* src, PHDPoll* poll) {
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
    if ((y & 255) == 255 && poll != nullptr && !poll->Go()) {
      PfreeImage(dst);
      return false;
    }
    const uint8_t* r0 = src->img + static_cast<ptrdiff_t>(2 * y) * src->rowsize + off;
    const uint8_t* r1 = r0 + src->rowsize;
    uint8_t* d = dst->img + static_cast<ptrdiff_t>(y) * dst->rowsize;
    for (int x = 0; x < dst->xres; x++, r0 += 2 * ps, r1 += 2 * ps)
      d[x] = static_cast<uint8_t>((r0[0] + r0[ps] + r1[0] + r1[ps]) >> 2);
  }
  return true;
}

namespace {

// One level of the pyramid search, and through it the coarser ones; reach gets how far from
// no shift the level's candidates could lie along each axis. top is the level the caller asked
// for, where check gets its scores.
bool searchLevel(int* shift, int* reach, const _ImgStruct* a, const _ImgStruct* b, short ta,
                 short tb, int levels, double* fine, PHDshiftCheck* check, bool top,
                 PHDPoll* poll) {
  auto go = [poll] { return poll == nullptr || poll->Go(); };
  shift[0] = shift[1] = 0;
  reach[0] = reach[1] = -1;  // the level below: none
  if (levels >= 1 && a->xres > 15 && a->yres > 15) {
    _ImgStruct sa = {}, sb = {};
    bool ok = shrinkImage(&sa, a, poll) && go() && shrinkImage(&sb, b, poll) && go() &&
              searchLevel(shift, reach, &sa, &sb, ta, tb, levels - 1, nullptr, check, false, poll);
    PfreeImage(&sa);
    PfreeImage(&sb);
    if (!ok) return false;
  }
  int offa = 0, offb = 0;
  const int psa = valueLayout(a, &offa), psb = valueLayout(b, &offb);
  if (psa == 0 || psb == 0 || a->xres != b->xres || a->yres != b->yres) return false;
  const int shift0[2] = {shift[0], shift[1]};
  PHDRowBits at, ae, bt, be;
  if (!PHDthresholdRows(&at, &ae, a, offa, psa, ta, poll) || !go() ||
      !PHDthresholdRows(&bt, &be, b, offb, psb, tb, poll) || !go())
    return false;
  // A candidate is scored by the share of differing pixels among those it compares, scaled to
  // the whole image: a bare count would favour shifts that leave less overlap, and at the
  // small levels of the pyramid a shift past the image would win with nothing to compare. A
  // level searches no further than a quarter of its width and height, which each finer level
  // carries over exactly (twice the shift of a level at most half as large), so the shift
  // found can never run off the image.
  const int64_t area = static_cast<int64_t>(a->xres) * a->yres;
  const int reachX = a->xres / 4, reachY = a->yres / 4;
  for (int k = 0; k < 2; k++)
    reach[k] = std::min(reach[k] < 0 ? 2 : 2 * reach[k] + 2, k == 0 ? reachX : reachY);
  auto score = [&](int cx, int cy, long* compared) {
    const long diff = PHDcountRows(at, ae, bt, be, cx, cy, compared);
    return *compared > 0 ? static_cast<long>(diff * area / *compared) : LONG_MAX;
  };
  BMdiff cand[21];
  long grid[5][5];  // scores by (dy, dx) + 2, for the refinement below a pixel
  long gridCompared[5][5];
  int nc = 0;
  for (int dy = -2; dy <= 2; dy++) {
    for (int dx = -2; dx <= 2; dx++) {
      grid[dy + 2][dx + 2] = LONG_MAX;
      if (dx * dx + dy * dy >= 8) continue;
      const int cx = shift[0] + dx, cy = shift[1] + dy;
      if (std::abs(cx) > reachX || std::abs(cy) > reachY) continue;
      BMdiff& c = cand[nc++];
      c.sx = cx;
      c.sy = cy;
      c.count = score(cx, cy, &gridCompared[dy + 2][dx + 2]);
      grid[dy + 2][dx + 2] = c.count;
      if (!go()) return false;
    }
  }
  if (nc == 0) {  // only a caller's own out-of-reach start could leave no candidate
    shift[0] *= 2;
    shift[1] *= 2;
    return true;
  }
  std::qsort(cand, nc, sizeof(BMdiff), cmpBMdiff);
  // Candidates within the tolerance of the best are averaged. At the small levels a few
  // differing pixels decide, so a candidate also ties while it exceeds the best by no more
  // than two standard deviations of the difference of the two counts: a move there must be
  // more than chance, or the coarse levels would send the finer ones after noise they cannot
  // come back from.
  const long tol = static_cast<long>(a->xres) * a->yres / 4000;
  auto tied = [&](const BMdiff& c) {
    if (c.count - cand[0].count <= tol) return true;
    return c.count != LONG_MAX &&
           c.count - cand[0].count <= 2 * std::sqrt(double(c.count) + cand[0].count + 1);
  };
  int sx = 2 * cand[0].sx, sy = 2 * cand[0].sy, n = 1;
  for (int i = 1; i < nc && tied(cand[i]); i++, n++) {
    sx += 2 * cand[i].sx;
    sy += 2 * cand[i].sy;
  }
  shift[0] = sx / n;
  shift[1] = sy / n;
  // Scores around the best, from the candidates where they were scored.
  auto scoreAt = [&](int cx, int cy) {
    const int gx = cx - shift0[0] + 2, gy = cy - shift0[1] + 2;
    if (gx >= 0 && gx < 5 && gy >= 0 && gy < 5 && grid[gy][gx] != LONG_MAX) return grid[gy][gx];
    if (std::abs(cx) > reachX || std::abs(cy) > reachY) return LONG_MAX;
    long compared = 0;
    return score(cx, cy, &compared);
  };
  if (check != nullptr && top) {
    const int bx = cand[0].sx, by = cand[0].sy;
    // A best shift as far out as the levels could reach: the true shift may lie beyond.
    check->edge = std::abs(bx) >= reach[0] || std::abs(by) >= reach[1];
    check->best = cand[0].count;
    check->around = std::min(
        {scoreAt(bx - 2, by), scoreAt(bx + 2, by), scoreAt(bx, by - 2), scoreAt(bx, by + 2)});
    check->zero = std::abs(bx) > 2 || std::abs(by) > 2 ? scoreAt(0, 0) : -1;
    const long best = check->best;
    // Scores are counts scaled by the share of the image compared: the counts' noise grows by
    // the root of that scale.
    const double scale = best != LONG_MAX
                             ? double(area) / gridCompared[by - shift0[1] + 2][bx - shift0[0] + 2]
                             : 1.0;
    auto clear = [&](long sc) {
      return sc != LONG_MAX && sc - best > kClearShare * best &&
             sc - best > 3 * std::sqrt((double(sc) + best + 1) * scale);
    };
    check->found = !check->edge && best != LONG_MAX && clear(check->around) &&
                   (check->zero < 0 || clear(check->zero));
  }
  if (fine != nullptr) {
    // The best whole-pixel shift, moved towards the better of its two neighbours along each
    // axis by the crossing of two lines of equal slope through the three scores (the score
    // grows about linearly with the distance from the true shift).
    const int bx = cand[0].sx - shift0[0] + 2, by = cand[0].sy - shift0[1] + 2;
    fine[0] = shift[0] / 2.0;
    fine[1] = shift[1] / 2.0;
    auto refine = [](long lo, long mid, long hi, double* d) {
      if (lo == LONG_MAX || hi == LONG_MAX || mid > lo || mid > hi) return false;
      const long high = std::max(lo, hi);
      *d = high > mid ? 0.5 * double(lo - hi) / double(high - mid) : 0.0;
      return true;
    };
    double d[2];
    if (bx >= 1 && bx <= 3 && by >= 1 && by <= 3 &&
        refine(grid[by][bx - 1], grid[by][bx], grid[by][bx + 1], &d[0]) &&
        refine(grid[by - 1][bx], grid[by][bx], grid[by + 1][bx], &d[1])) {
      fine[0] = cand[0].sx + d[0];
      fine[1] = cand[0].sy + d[1];
    }
  }
  return true;
}

}  // namespace

bool shiftImage(int* shift, const _ImgStruct* a, const _ImgStruct* b, short ta, short tb,
                int levels, double* fine, PHDshiftCheck* check, PHDPoll* poll) {
  if (shift == nullptr || a == nullptr || b == nullptr) return false;
  if (check != nullptr) *check = PHDshiftCheck();
  int reach[2];
  return searchLevel(shift, reach, a, b, ta, tb, levels, fine, check, true, poll);
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
                 int levels, const _ImgRect* r, PHDpairEst* pair, PHDPoll* poll) {
  if (deg == nullptr || a == nullptr || b == nullptr || r == nullptr) return false;
  *deg = 0;
  const _ImgRect m = {a->xres - r->xright, a->xres - r->xleft, a->yres - r->ybottom,
                      a->yres - r->ytop};
  int s[2][2];
  double f[2][2];
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
    const bool ok = shiftImage(s[i], &va, &vb, ta, tb, levels, f[i], nullptr, poll);
    PfreeImage(&va);
    PfreeImage(&vb);
    if (!ok) return false;
  }
  const double Dx = m.xleft - r->xleft, Dy = m.ytop - r->ytop;
  const double Vx = Dx + f[1][0] - f[0][0], Vy = Dy + f[1][1] - f[0][1];
  const double dl = std::hypot(Dx, Dy);
  if (dl <= 0 || std::fabs(std::hypot(Vx, Vy) / dl - 1.0) > 0.005) return false;
  *deg = static_cast<float>((std::atan2(Vy, Vx) - std::atan2(Dy, Dx)) * 57.29577951308232);
  if (pair != nullptr) {
    pair->deg = *deg;
    // The regions lie point-mirrored about the image centre, so the mean of their shifts is
    // the centre's whatever the rotation.
    pair->cx = static_cast<float>((f[0][0] + f[1][0]) / 2);
    pair->cy = static_cast<float>((f[0][1] + f[1][1]) / 2);
    // Half a pixel across the pair's separation: what a pair of short regions may be off by
    // where the refinement below a pixel cannot be made.
    pair->step = static_cast<float>(std::atan(0.5 / dl) * 57.29577951308232);
  }
  return true;
}

bool PHDmeanRotation(const PHDpairEst* est, int n, float* rot, float* centre) {
  *rot = 0;
  if (est == nullptr || n <= 0 || n > 3) return false;
  // A pair whose two regions were matched to places that do not share the other pairs' shift
  // of the image centre measured no rotation: its regions found different things.
  float m[2] = {est[0].cx, est[0].cy};
  if (n > 1) {
    for (int k = 0; k < 2; k++) {
      float v[3];
      for (int i = 0; i < n; i++) v[i] = k == 0 ? est[i].cx : est[i].cy;
      std::sort(v, v + n);
      m[k] = n == 2 ? (v[0] + v[1]) / 2 : v[1];
    }
  }
  int kept = 0;
  double sum = 0, lo = 0, hi = 0, cx = 0, cy = 0, step = 0;
  for (int i = 0; i < n; i++) {
    const PHDpairEst& e = est[i];
    if (std::fabs(e.cx - m[0]) > kCentreTol || std::fabs(e.cy - m[1]) > kCentreTol) continue;
    lo = kept == 0 ? e.deg : std::min<double>(lo, e.deg);
    hi = kept == 0 ? e.deg : std::max<double>(hi, e.deg);
    step = std::max<double>(step, e.step);
    sum += e.deg;
    cx += e.cx;
    cy += e.cy;
    kept++;
  }
  // One estimate cannot be checked against another. Estimates further apart than the smallest
  // rotation the merge applies (or than one step of the coarsest pair) do not measure the
  // rotation to the precision it is used at. A larger turn shears each region it is measured
  // across, and where the detail sits in a region sets how much of the turn its shift sees:
  // estimates of it may differ by a fifth of it.
  const double mean = kept > 0 ? sum / kept : 0;
  if (kept < 2 || hi - lo > std::max({kRotSpread, step, 0.2 * std::fabs(mean)})) return false;
  *rot = static_cast<float>(mean);
  if (centre != nullptr) {
    centre[0] = static_cast<float>(cx / kept);
    centre[1] = static_cast<float>(cy / kept);
  }
  return true;
}

int PHDalignDepth(const PHDExposure& e, const PHDExposure& prev, int* te, int* tprev) {
  const bool meBright = e.median[1] > prev.median[1];
  const PHDExposure& B = meBright ? e : prev;
  const PHDExposure& D = meBright ? prev : e;
  if (B.maxv[1] - B.median[1] < D.pct17[1] - D.minv[1]) {
    *te = e.pct17[1];
    *tprev = prev.pct17[1];
  } else if (B.maxv[1] - B.pct83[1] > D.median[1] - D.minv[1]) {
    *te = e.pct83[1];
    *tprev = prev.pct83[1];
  } else {
    *te = e.median[1];
    *tprev = prev.median[1];
  }
  int levels = 6;
  if (!limitShift(&levels, e.minv[1], *te, e.maxv[1]) ||
      !limitShift(&levels, prev.minv[1], *tprev, prev.maxv[1]))
    return -1;
  return levels;
}

bool PHDrotateValues(_ImgStruct* dst, const _ImgStruct* src, double angle) {
  if (dst == nullptr) return false;
  PfreeImage(dst);
  int off = 0;
  const int ps = valueLayout(src, &off);
  if (ps == 0) return false;
  const int w = src->xres, h = src->yres;
  dst->xres = w;
  dst->yres = h;
  dst->csp = &ICS_Y8;
  if (!PnewImage(dst, 0)) return false;
  // Where the turned image's corners lie in src (pixel edges), kept as single floats like the
  // rotation's own control points; the top edge runs from tl to tr, the right edge on to br.
  const double X = w, Y = h, R = 0.5 * std::sqrt(X * X + Y * Y), theta = std::atan2(Y, X);
  const double alpha = angle * 0.017453292519943295, pi = 3.14159265358979323846;
  auto corner = [&](double phi, float* p) {
    p[0] = static_cast<float>(X / 2 + R * std::cos(phi));
    p[1] = static_cast<float>(Y / 2 + R * std::sin(phi));
  };
  float tl[2], tr[2], br[2];
  corner(theta - pi - alpha, tl);
  corner(-theta - alpha, tr);
  corner(theta - alpha, br);
  double stepX[2], stepY[2], start[2];  // per destination column and row, and at pixel (0, 0)
  for (int k = 0; k < 2; k++) {
    stepX[k] = (double(tr[k]) - tl[k]) / w;
    stepY[k] = (double(br[k]) - tr[k]) / h;
    start[k] = tl[k] + 0.5 * stepX[k] + 0.5 * stepY[k] - 0.5;  // pixel centres
  }
  auto value = [&](int x, int y) {
    return x >= 0 && y >= 0 && x < w && y < h
               ? float(src->img[static_cast<ptrdiff_t>(y) * src->rowsize + x * ps + off])
               : 0.0f;
  };
  const ptrdiff_t rs = src->rowsize;
  for (int y = 0; y < h; y++) {
    uint8_t* d = dst->img + static_cast<ptrdiff_t>(y) * dst->rowsize;
    double sx = start[0] + y * stepY[0], sy = start[1] + y * stepY[1];
    for (int x = 0; x < w; x++, sx += stepX[0], sy += stepX[1]) {
      float v;
      if (sx >= 0 && sy >= 0 && sx < w - 1 && sy < h - 1) {  // all four taps inside
        const int ix = static_cast<int>(sx), iy = static_cast<int>(sy);
        const float tx = static_cast<float>(sx - ix), ty = static_cast<float>(sy - iy);
        const uint8_t* p = src->img + iy * rs + ix * ps + off;
        v = (1 - ty) * ((1 - tx) * p[0] + tx * p[ps]) + ty * ((1 - tx) * p[rs] + tx * p[rs + ps]);
      } else {
        const double fx = std::floor(sx), fy = std::floor(sy);
        const float tx = static_cast<float>(sx - fx), ty = static_cast<float>(sy - fy);
        const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
        v = (1 - ty) * ((1 - tx) * value(ix, iy) + tx * value(ix + 1, iy)) +
            ty * ((1 - tx) * value(ix, iy + 1) + tx * value(ix + 1, iy + 1));
      }
      d[x] = v <= 0 ? 0 : v >= 255 ? 255 : static_cast<uint8_t>(v + 0.5f);
    }
  }
  return true;
}

namespace {

// The file an exposure was read from, for messages.
const char* fileOf(const PHDExposure& e) {
  const _ImgReader* ir = e.pci != nullptr ? e.pci->GetReader() : nullptr;
  return ir != nullptr ? ir->file : "(no file)";
}

// One placement of an exposure against its neighbour: its rotation, its shift in pixels and
// what the shift search saw.
struct Placement {
  float rot = 0;
  double fine[2] = {0, 0};
  PHDshiftCheck check;
};

// Places img against ref at the given pyramid depth: the rotation from three region pairs when
// the depth exceeds 2, then the shift of img turned by it; false when an image could not be
// turned or searched, or when the poll (may be null) stopped it between its searches.
bool place(const _ImgStruct& img, const _ImgStruct& ref, short te, short tp, int levels,
           Placement* pl, PHDPoll* poll) {
  auto go = [poll] { return poll == nullptr || poll->Go(); };
  float rot = 0, ctr[2] = {0, 0};  // the image centre's shift by the region pairs, pixels
  _ImgStruct rimg = {};
  const _ImgStruct* use = &img;
  bool ok = true;
  if (levels > 2) {
    const int w = img.xres, h = img.yres;
    _ImgRect reg[3];
    if (w > h) {
      for (int i = 0; i < 3; i++) reg[i] = {0, w / 4, i * h / 3, (i + 1) * h / 3};
    } else {
      for (int i = 0; i < 3; i++) reg[i] = {i * w / 3, (i + 1) * w / 3, 0, h / 4};
    }
    PHDpairEst est[3];
    int ne = 0;
    for (const _ImgRect& r : reg) {
      float d;
      if (!go()) return false;
      if (getRotation(&d, &img, &ref, te, tp, levels, &r, &est[ne], poll)) ne++;
      if (!go()) return false;
    }
    if (!PHDmeanRotation(est, ne, &rot, ctr))
      dmessage(DMCwarning, "Rotational alignment failed", __FILE__, __LINE__);
    if (std::fabs(rot) > 0.07f) {
      ok = PHDrotateValues(&rimg, &img, rot);
      use = &rimg;
    }
  }
  int shift[2] = {0, 0};
  if (ok) ok = go() && shiftImage(shift, use, &ref, te, tp, levels, pl->fine, &pl->check, poll);
  // Rotation about the centre leaves the centre's shift as the region pairs measured it; a
  // shift of the turned image elsewhere means the rotation does not hold, and the shift of the
  // image as it is stands alone.
  if (ok && rot != 0 &&
      (std::fabs(pl->fine[0] - ctr[0]) > kCentreTol ||
       std::fabs(pl->fine[1] - ctr[1]) > kCentreTol)) {
    dmessage(DMCwarning, "Rotational alignment failed", __FILE__, __LINE__);
    if (use != &img)
      ok = go() && shiftImage(shift, &img, &ref, te, tp, levels, pl->fine, &pl->check, poll);
    rot = 0;
  }
  PfreeImage(&rimg);
  pl->rot = rot;
  return ok;
}

}  // namespace

bool PHDExposure::ComputeOffset(PHDExposure* prev) {
  if (prev == nullptr) return false;
  xoff = prev->xoff;
  yoff = prev->yoff;
  degCW = prev->degCW;
  if (usepix.Width() != prev->usepix.Width() || usepix.Height() != prev->usepix.Height()) {
    dmessage(DMCdata, "Exposure resolution mismatch", __FILE__, __LINE__);
    return false;
  }
  int tme, tprev;
  const int levels = PHDalignDepth(*this, *prev, &tme, &tprev);
  placedAsNeighbour = false;
  if (levels < 0) {
    // The exposure is merged where its neighbour lies, which is right only for a series taken
    // from a tripod: the flag lets the caller name it.
    dmessage(DMCwarning, "Exposure too extreme for alignment", __FILE__, __LINE__);
    placedAsNeighbour = true;
    return true;
  }
  // A load the user stopped says nothing; an unreadable file is named.
  if (!GetReady()) {
    if (unreadable) TellUnreadable(DMCdata, "Cannot compute image offset");
    return false;
  }
  if (poll != nullptr && !poll->Go()) {
    Release();
    return false;
  }
  if (!prev->GetReady()) {
    Release();  // the first image is not kept when the second fails to load
    if (prev->unreadable) prev->TellUnreadable(DMCdata, "Cannot compute image offset");
    return false;
  }
  const short te = static_cast<short>(tme), tp = static_cast<short>(tprev);
  Placement pl;
  // A Stop is heard between the loads and the searches (each a fraction of a second on the
  // largest pictures); a stopped placement fails without a message of its own.
  auto go = [this] { return poll == nullptr || poll->Go(); };
  bool ok = go() && place(imr, prev->imr, te, tp, levels, &pl, poll);
  // A search that ended as far out as it could reach, or whose best shift is not clearly
  // better than those around it and than none, is searched again as deep as the image allows:
  // the depth the thresholds' margins allow may not reach the shift. A shift still not found is
  // never used: the exposure cannot be placed.
  if (ok && !pl.check.found && levels < kDeepest)
    ok = go() && place(imr, prev->imr, te, tp, kDeepest, &pl, poll);
  Release();
  prev->Release();
  if (!go()) return false;
  if (ok && !pl.check.found) {
    dmessagef(DMCwarning, __FILE__, __LINE__, "No clear offset of %s against %s", fileOf(*this),
              fileOf(*prev));
    ok = false;
  }
  if (!ok) {
    dmessage(DMCdata, "Cannot compute image offset", __FILE__, __LINE__);
    return false;
  }
  // The nearest whole pixel: halving the search's half-pixel shift rounded down would move each
  // exposure up to a pixel, and the error would add up along the series.
  xoff -= static_cast<int32_t>(std::lround(pl.fine[0]));
  yoff -= static_cast<int32_t>(std::lround(pl.fine[1]));
  degCW -= pl.rot;
  return true;
}
