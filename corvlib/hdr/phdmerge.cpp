// Merging a solved exposure series into one linear floating-point image, with movement
// removal against a reference exposure, hole filling and the relative-variance image.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "catalog/picache.h"
#include "hdr/phdrimg.h"
#include "support/dmessage.h"
#include "support/membudget.h"
#include "image/piwarp.h"
#include "image/pconvert.h"

namespace {

constexpr float kHole = 1e-4f;
// Rows of the picture between two Stop checks: a few milliseconds on the widest pictures.
constexpr int kPollRows = 64;

struct MergeTables {
  float resp[3][256];
  float slope[3][256];
  float scale[PHD_MAXEXP];
};

// What adding one row of an exposure needs besides the rows themselves.
struct RowArgs {
  const float (*lin)[256];  // linear value of each byte, per channel
  const float (*wt)[257];   // weight of each byte, per channel
  const PHDExposure* ref;   // the reference exposure for movement removal, or null
  const float (*resp)[256];
  float rsc;              // the reference's scale
  const uint8_t* refRow;  // the reference's row
  int y;
};

void clearRow(float* dp, float* wp, float* vp, int x0, int x1) {
  if (x1 <= x0) return;
  const size_t n = 3 * static_cast<size_t>(x1 - x0) * sizeof(float);
  std::memset(dp + 3 * x0, 0, n);
  std::memset(wp + 3 * x0, 0, n);
  if (vp != nullptr) std::memset(vp + 3 * x0, 0, n);
}

// Adds (or with init, writes) the weighted linear values of pixels x0..x1-1 of a row from the
// exposure's row sp, whose pixel x + xoff lands on x.
template <bool init>
void addRow(float* dp, float* wp, float* vp, const uint8_t* sp, int xoff, int x0, int x1,
            const RowArgs& a) {
  for (int x = x0; x < x1; x++) {
    const uint8_t* p = sp + 3 * (x + xoff);
    const float L[3] = {a.lin[0][p[0]], a.lin[1][p[1]], a.lin[2][p[2]]};
    float w[3] = {a.wt[0][p[0]], a.wt[1][p[1]], a.wt[2][p[2]]};
    float wmax = std::max(w[0], std::max(w[1], w[2]));
    if (a.ref != nullptr) {
      const uint8_t* q = a.refRow + 3 * x;
      const float R[3] = {a.rsc * a.resp[0][q[0]], a.rsc * a.resp[1][q[1]],
                          a.rsc * a.resp[2][q[2]]};
      const int state = a.ref->Usable(x, a.y) ? 0 : (a.ref->OverRange(q) ? 1 : 2);
      const float f = PHDagreement(L, R, state, PHDluma(q));
      for (float& v : w) v *= f;
      wmax *= f;
    }
    const float wlo = 0.05f * wmax;
    float* d = dp + 3 * x;
    float* ws = wp + 3 * x;
    for (int c = 0; c < 3; c++) {
      const float wc = w[c] < wlo ? wlo : w[c];
      if (init) {
        d[c] = wc * L[c];
        ws[c] = wc;
        if (vp != nullptr) vp[3 * x + c] = wc * L[c] * L[c];
      } else {
        d[c] += wc * L[c];
        ws[c] += wc;
        if (vp != nullptr) vp[3 * x + c] += wc * L[c] * L[c];
      }
    }
  }
}

int usableCount(const PHDExposure& e) {
  return static_cast<int>(e.usepix.SumTotal());
}

}  // namespace

int PHDImageMaker::GetBestExposure(_ImgStruct* img) {
  int k = -1, dir = 1;
  for (int i = nipi / 2; i < nipi; i++)
    if (!SkipExposure(i)) {
      k = i;
      break;
    }
  if (k < 0) {
    dir = -1;
    for (int i = nipi / 2 - 1; i >= 0; i--)
      if (!SkipExposure(i)) {
        k = i;
        break;
      }
  }
  if (k < 0 || !ipi[ord[k]].ComputeUsability()) return -1;
  int best = usableCount(ipi[ord[k]]);
  bool stepped = false;
  for (int pass = 0; pass < 2 && !stepped; pass++, dir = -dir) {
    for (int n = k + dir; n >= 0 && n < nipi; n += dir) {
      if (SkipExposure(n) || !ipi[ord[n]].ComputeUsability()) break;
      const int c = usableCount(ipi[ord[n]]);
      if (c < best) break;
      best = c;
      k = n;
      stepped = true;
    }
  }
  if (poll.Stopped()) return -1;
  if (img == nullptr) return k;
  PHDExposure& r = ipi[ord[k]];
  if (haveSoln & PHDSalign) {
    for (int i = 0; i < nipi; i++) {
      if (&ipi[i] == &r) continue;
      ipi[i].xoff -= r.xoff;
      ipi[i].yoff -= r.yoff;
      ipi[i].degCW -= r.degCW;
    }
    r.xoff = r.yoff = 0;
    r.degCW = 0;
  }
  if (!r.GetReady()) {
    if (r.unreadable) r.TellUnreadable(DMCresource, "Cannot load image");
    return -1;
  }
  const bool ok = PlinkSubimage(img, &r.imr, nullptr) != 0;
  r.Release();
  return ok ? k : -1;
}

uint64_t PHDImageMaker::MergeBytes(int w, int h, bool mask) const {
  if (w <= 0 || h <= 0) return 0;
  const uint64_t px = static_cast<uint64_t>(w) * static_cast<uint64_t>(h);
  // The merged image and its weight sums (float RGB), the square sums when the bad pixels are
  // repaired or a mask is wanted; one exposure's 8-bit pixels at a time, with the reference's
  // held for movement removal and a turned copy when the exposures are aligned.
  uint64_t perPixel = 12 + 12;
  if (nipi > 1 && (mask || !(solveFlags & PHDSalign))) perPixel += 12;
  perPixel += 3;
  if (solveFlags & PHDSmovement) perPixel += 3;
  if (solveFlags & PHDSalign) perPixel += 3;
  // A usability map of a bit a pixel for each exposure.
  return px * perPixel + static_cast<uint64_t>(nipi) * ((px + 7) / 8);
}

bool PHDImageMaker::KeepsExposures(uint64_t need, uint64_t room) const {
  // Every exposure is 8-bit RGB (ComputeUsability refuses others).
  uint64_t series = 0, resident = 0;
  for (int i = 0; i < nipi; i++) {
    const PCacheImage* pci = ipi[i].pci;
    if (const _ImgReader* ir = pci->GetReader())
      series += 3 * static_cast<uint64_t>(std::max(ir->xres, 0)) *
                static_cast<uint64_t>(std::max(ir->yres, 0));
    if (pci->IsResident()) resident += pci->GetSize();
  }
  const uint64_t budget = CacheObject::tab.memoryBudget;  // 0: no budget
  if (budget != 0 && series > budget) return false;
  // Memory already holding exposures is not in room: only those still to be read take of it.
  const uint64_t toRead = series > resident ? series - resident : 0;
  return need <= room && toRead <= room - need;
}

int PHDImageMaker::UnreadableExposure() const {
  for (int i = 0; i < nipi; i++)
    if (ipi[i].unreadable) return i;
  return -1;
}

bool PHDImageMaker::GetHDImage(_ImgStruct* dst, _ImgStruct* mask) {
  if (dst == nullptr) return false;
  poll.Reset();  // a Stop heard before belonged to an earlier call
  tooLarge = false;
  for (int i = 0; i < nipi; i++) ipi[i].unreadable = false;
  if (dst->csp == nullptr && dst->img != nullptr) {
    dmessage(DMCparameter, "Destination missing color space", __FILE__, __LINE__);
    return false;
  }
  if (dst->csp != nullptr &&
      (ImgPixelLen[dst->csp->format] != 3 || !PmatchColorSpace(dst->csp, &ICS_RGB709, 1 | 4))) {
    dmessage(DMCparameter, "Only support HDR in linear float", __FILE__, __LINE__);
    return false;
  }
  // What the merge takes is known from the exposures' headers: a merge too large for this
  // computer is told before any exposure is read.
  bool keep = false;
  {
    int64_t mw = dst->xres, mh = dst->yres;
    if (mw <= 0 || mh <= 0) {
      mw = mh = 0;
      for (int i = 0; i < nipi; i++)
        if (const _ImgReader* ir = ipi[i].pci->GetReader()) {
          mw = std::max<int64_t>(mw, ir->xres);
          mh = std::max<int64_t>(mh, ir->yres);
        }
    }
    const uint64_t need =
        mw > INT32_MAX || mh > INT32_MAX
            ? UINT64_MAX
            : MergeBytes(static_cast<int>(mw), static_cast<int>(mh), mask != nullptr);
    const uint64_t room = PpictureMemoryLimit();
    if (need > room) {
      char size[32];
      PbytesInWords(need, size, sizeof size);
      DMESSAGE_ERRNO(DMCresource, DMnoSystemError,
                     "An HDR image of %lld \xC3\x97 %lld pixels from %d exposures needs %s: too "
                     "large for this computer's memory",
                     static_cast<long long>(mw), static_cast<long long>(mh), nipi, size);
      tooLarge = true;
      return false;
    }
    keep = KeepsExposures(need, room);
  }
  auto tb = std::make_unique<MergeTables>();
  for (int c = 0; c < 3; c++) {
    if (!GetResponse(tb->resp[c], c, tb->slope[c])) return false;
    for (float& s : tb->slope[c])
      if (s < 0.2f) s = 0.2f;
  }
  const int mid = ord[nipi / 2];
  const double smid = double(ipi[mid].stonits) * soln.expadj[nipi / 2];
  for (int k = 0; k < nipi; k++)
    tb->scale[k] = static_cast<float>(double(ipi[ord[k]].stonits) * soln.expadj[k] / smid);
  if (!Progress("Combining Images", 0, "User cancelled HDR builder")) return false;
  int dk = nipi - 1;
  for (; dk >= 0 && SkipExposure(dk); dk--)
    if (!Progress(nullptr, 15 * (nipi - dk) / nipi, "User cancelled HDR builder")) return false;
  if (dk < 0) {
    dmessage(DMCdata, "No usable exposure", __FILE__, __LINE__);
    return false;
  }
  PHDExposure& dark = ipi[ord[dk]];
  if (!dark.ComputeUsability()) return false;
  if (!Progress(nullptr, 15, "User cancelled HDR builder")) return false;
  // Exposures kept in memory are added without reading them again; otherwise the merge reads
  // one at a time, and what the cache keeps of them makes room for it.
  auto drop = [keep](PHDExposure& x) {
    if (!keep) x.Drop();
  };
  for (int i = 0; i < nipi; i++) drop(ipi[i]);
  const _ImgReader* dir = dark.pci->GetReader();
  _ImgColorSpace dcs;
  const bool ownCS = dst->csp == nullptr;  // the space given below lives here until allocated
  if (ownCS) {
    dcs = dir->cs;
    dcs.dtype = IDTfloat;
    dcs.gamma = 1.0f;
    dcs.logorig = 0;
    dcs.cstatic = 0;
    dst->csp = &dcs;
  }
  if (dst->xres <= 0 || dst->yres <= 0) {
    dst->xres = dir->xres;
    dst->yres = dir->yres;
  }
  if (dst->img == nullptr && !PnewImage(dst, double(dir->yres) / dir->xres)) {
    if (ownCS) dst->csp = nullptr;
    return false;
  }
  if (dst->xres != dir->xres || dst->yres != dir->yres) {
    dmessage(DMCparameter, "Exposure resolution mismatch", __FILE__, __LINE__);
    PfreeImage(dst);
    if (ownCS) dst->csp = nullptr;
    return false;
  }
  const int W = dst->xres, H = dst->yres;
  _ImgStruct wsum = {W, H, &ICS_RGB709, 0, nullptr, nullptr};
  _ImgStruct var = {W, H, &ICS_RGB709, 0, nullptr, nullptr};
  _ImgStruct ref = {};
  auto fail = [&]() {
    PfreeImage(&wsum);
    PfreeImage(&var);
    PfreeImage(&ref);
    PfreeImage(dst);
    if (ownCS) dst->csp = nullptr;  // it lay in the freed pixel block
    return false;
  };
  if (!PnewImage(&wsum, 0)) return fail();
  const bool wantV = nipi > 1 && (mask != nullptr || !(solveFlags & PHDSalign));
  if (wantV && !PnewImage(&var, 0)) return fail();
  // The first exposure added initialises the accumulators (no separate clearing pass).
  bool first = true;
  int refk = -1;
  if (solveFlags & PHDSmovement) {
    refk = GetBestExposure(&ref);
    for (int i = 0; i < nipi; i++) drop(ipi[i]);  // but the reference, which ref holds
    if (poll.Stopped()) return fail();
    if (refk < 0) {
      PfreeImage(&ref);
      dmessage(DMCwarning, "Cannot identify reference exposure", __FILE__, __LINE__);
    }
  }
  const PHDExposure* rexp = refk >= 0 ? &ipi[ord[refk]] : nullptr;
  for (int k = nipi - 1; k >= 0; k--) {
    if (SkipExposure(k)) continue;
    if (k > 0 && !SkipExposure(k - 1)) {
      if (!ipi[ord[k - 1]].ComputeUsability()) return fail();
      drop(ipi[ord[k - 1]]);
    }
    if (poll.Stopped()) return fail();
    dmessagef(DMCtrace, __FILE__, __LINE__, "Adding in exposure %d...", k);
    PHDExposure& e = ipi[ord[k]];
    if (!e.ComputeUsability()) return fail();
    if (!e.GetReady()) {
      if (e.unreadable) e.TellUnreadable(DMCresource, "Cannot load image");
      return fail();
    }
    if (e.imr.xres != W || e.imr.yres != H) {
      e.Release();
      dmessage(DMCdata, "Exposure resolution mismatch", __FILE__, __LINE__);
      return fail();
    }
    float wt[3][257];
    for (int c = 0; c < 3; c++) {
      PHDWeightArgs a;
      a.resp = tb->resp[c];
      a.slope = tb->slope[c];
      a.scale = tb->scale[k];
      a.lim = 0;
      if (k > ustart) {
        const int m = ipi[ord[k - 1]].maxv[c] - 12;
        a.lim = tb->scale[k - 1] * tb->resp[c][m > 0 ? m : 0];
      }
      a.minv = e.minv[c];
      a.maxv = e.maxv[c];
      a.brightest = k == ustart;
      a.darkest = k >= uend - 1;
      wt[c][256] = 0;
      PHDweightTable(wt[c], a);
    }
    _ImgStruct rot = {};
    const _ImgStruct* src = &e.imr;
    if (std::fabs(e.degCW) > 0.07f) {
      rot.xres = W;
      rot.yres = H;
      rot.csp = e.imr.csp;
      if (!ProtateImage(&rot, &e.imr, -e.degCW, 5, nullptr)) {
        e.Release();
        return fail();
      }
      src = &rot;
    }
    const float sc = tb->scale[k];
    float lin[3][256];
    for (int c = 0; c < 3; c++)
      for (int b = 0; b < 256; b++) lin[c][b] = sc * tb->resp[c][b];
    const bool moving = rexp != nullptr && refk != k;
    const float rsc = refk >= 0 ? tb->scale[refk] : 0;
    RowArgs ra;
    ra.lin = lin;
    ra.wt = wt;
    ra.ref = moving ? rexp : nullptr;
    ra.resp = tb->resp;
    ra.rsc = rsc;
    bool stopped = false;
    for (int y = H - 1; y >= 0; y--) {
      if ((H - 1 - y) % kPollRows == 0 && !poll.Go()) {
        stopped = true;
        break;
      }
      const int ey = y + e.yoff;
      float* dp = reinterpret_cast<float*>(dst->img + static_cast<ptrdiff_t>(y) * dst->rowsize);
      float* wp = reinterpret_cast<float*>(wsum.img + static_cast<ptrdiff_t>(y) * wsum.rowsize);
      float* vp = wantV
                      ? reinterpret_cast<float*>(var.img + static_cast<ptrdiff_t>(y) * var.rowsize)
                      : nullptr;
      int x0 = e.xoff < 0 ? -e.xoff : 0;
      int xe = src->xres - e.xoff;
      if (xe > W) xe = W;
      if (x0 > xe) x0 = xe;
      if (ey < 0 || ey >= src->yres) {
        // Rows the exposure does not reach; the first exposure clears them.
        if (first) clearRow(dp, wp, vp, 0, W);
        if (ey < 0 && !first) break;
        continue;
      }
      const uint8_t* sp = src->img + static_cast<ptrdiff_t>(ey) * src->rowsize;
      ra.refRow = moving ? ref.img + static_cast<ptrdiff_t>(y) * ref.rowsize : nullptr;
      ra.y = y;
      if (first) {
        clearRow(dp, wp, vp, 0, x0);
        clearRow(dp, wp, vp, xe, W);
        addRow<true>(dp, wp, vp, sp, e.xoff, x0, xe, ra);
      } else {
        addRow<false>(dp, wp, vp, sp, e.xoff, x0, xe, ra);
      }
    }
    first = false;
    PfreeImage(&rot);
    e.Release();
    if (stopped) return fail();
    drop(e);
    const int span = uend - ustart > 0 ? uend - ustart : 1;
    if (!Progress(nullptr, 15 + 70 * (uend - k) / span, "User cancelled HDR builder"))
      return fail();
  }
  PfreeImage(&ref);
  const float floorv = tb->scale[ustart] * 1e-6f;
  for (int y = H - 1; y >= 0; y--) {
    if ((H - 1 - y) % kPollRows == 0 && !poll.Go()) return fail();
    float* dp = reinterpret_cast<float*>(dst->img + static_cast<ptrdiff_t>(y) * dst->rowsize);
    const float* wp =
        reinterpret_cast<const float*>(wsum.img + static_cast<ptrdiff_t>(y) * wsum.rowsize);
    const float* np = y < H - 1 ? reinterpret_cast<const float*>(
                                      dst->img + static_cast<ptrdiff_t>(y + 1) * dst->rowsize)
                                : nullptr;
    float* vp = wantV ? reinterpret_cast<float*>(var.img + static_cast<ptrdiff_t>(y) * var.rowsize)
                      : nullptr;
    for (int i = 0; i < 3 * W; i++) {
      const bool filled = wp[i] > kHole;
      if (filled)
        dp[i] /= wp[i];
      else if (i >= 3 && np != nullptr)
        dp[i] = 0.495f * (dp[i - 3] + np[i]);
      if (!(dp[i] >= floorv)) {
        dp[i] = floorv;
        if (vp != nullptr) vp[i] = 0;
      } else if (vp != nullptr) {
        vp[i] = filled ? vp[i] / (wp[i] * dp[i] * dp[i]) - 1.0f : 0.0f;
      }
    }
  }
  PfreeImage(&wsum);
  if (nipi > 1 && !(solveFlags & PHDSalign)) {
    if (!Progress("Cleaning Bad Pixels", 93, "User cancelled HDR builder")) return fail();
    if (cleanBadPixels(dst, &var, &poll) < 0 && poll.Stopped()) return fail();
  }
  // Given back before the last report, which lets the windows answer after it.
  if (mask == nullptr) PfreeImage(&var);
  if (!Progress(nullptr, 100, "User cancelled HDR builder")) return fail();
  if (mask != nullptr && wantV) {
    if (mask->xres <= 0 || mask->csp == nullptr ||
        (mask->img == nullptr && mask->xres == W && mask->yres == H &&
         PmatchColorSpace(mask->csp, var.csp, 31))) {
      PlinkSubimage(mask, &var, nullptr);
    } else {
      PrenderImageI(mask, &var);
    }
  }
  PfreeImage(&var);
  // The merged values are in the exposures' primaries; convert when the destination asks for
  // other ones.
  const PHDExposure& bright = ipi[ord[ustart]];
  const _ImgColorSpace* ecs = &bright.pci->GetReader()->cs;
  if (!PmatchColorSpace(dst->csp, ecs, 2 | 8 | 16)) {
    _ImgColorSpace want = *dst->csp, lab = *dst->csp;
    want.cstatic = 0;
    lab.cstatic = 0;
    lab.format = ecs->format;
    std::memcpy(lab.chroma, ecs->chroma, sizeof(lab.chroma));
    _ImgStruct from = *dst;
    from.csp = &lab;
    _ImgStruct out = {W, H, &want, 0, nullptr, nullptr};
    if (PmapImage(&out, &from, 1.0)) {
      PfreeImage(dst);
      *dst = out;
      dmessage(DMCtrace, "Converted HDR color space", __FILE__, __LINE__);
    } else {
      PfreeImage(&out);
      dmessage(DMCwarning, "Cannot convert HDR color space", __FILE__, __LINE__);
    }
  }
  dmessage(DMCtrace, "Done building HDR image", __FILE__, __LINE__);
  return true;
}
