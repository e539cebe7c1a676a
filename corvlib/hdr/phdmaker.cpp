// The HDR maker: exposure slots, sort order, usable range and the response and exposure solver.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "catalog/pdbase.h"
#include "catalog/picache.h"
#include "hdr/phdrimg.h"
#include "support/dmessage.h"

double PHDPoll::Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool PHDPoll::Report(const char* msg, int pct, const char* cancelMsg) {
  if (stopped_) return false;
  if (cancelMsg != nullptr) cancelMsg_ = cancelMsg;
  pct_ = pct;
  if (*fn_ == nullptr) return true;
  const bool go = (**fn_)(msg, pct) != 0;
  last_ = Now();  // after the call: the time it took (events handled) is not the work's
  if (go) return true;
  stopped_ = true;
  dmessage(DMCtrace, cancelMsg_, __FILE__, __LINE__);
  return false;
}

PHDImageMaker::PHDImageMaker() {
  ord[0] = iord[0] = -1;
  soln.Init();
  for (PHDExposure& e : ipi) e.poll = &poll;
}

PHDImageMaker::~PHDImageMaker() = default;

PCacheImage* PHDImageMaker::NewCacheImage() {
  if (nipi >= PHD_MAXEXP) return nullptr;
  ClearSoln(7);
  return ipi[nipi++].pci;
}

void PHDImageMaker::ClearSoln(int which) {
  if (which & PHDSresponse)
    for (PPolynomial& p : soln.ply) p = linearPoly1;
  if (which & PHDSexposure)
    for (float& e : soln.expadj) e = 1.0f;
  if (which & PHDSalign) {
    for (PHDExposure& e : ipi) {
      e.xoff = e.yoff = 0;
      e.degCW = 0;
    }
  }
  ord[0] = iord[0] = -1;
  ustart = uend = -1;
  haveSoln &= ~which;
}

void PHDImageMaker::Done() {
  while (nipi > 0) ipi[--nipi].Done();
  ord[0] = iord[0] = -1;
  ustart = uend = -1;
}

bool PHDImageMaker::Progress(const char* msg, int pct, const char* cancelMsg) {
  return poll.Report(msg, pct, cancelMsg);
}

bool PHDImageMaker::SortExposures() {
  if (ord[0] >= 0) return true;
  for (int i = 0; i < nipi; i++) {
    const DBField& f = PDBgetField(*ipi[i].Record(), PDBFstonits);
    if (!f.IsSet() || f.GetDT() != DBDTfloat) {
      const _ImgReader* ir = ipi[i].pci->GetReader();
      dmessagef(DMCdata, __FILE__, __LINE__, "%s: needs exposure calibration",
                ir != nullptr ? ir->file : "(no file)");
      ord[0] = -1;
      return false;
    }
    ipi[i].stonits = f.GetFloat();
    int k = i;
    while (k > 0 && ipi[ord[k - 1]].stonits >= ipi[i].stonits) {
      ord[k] = ord[k - 1];
      k--;
    }
    ord[k] = i;
  }
  for (int k = 0; k < nipi; k++) iord[ord[k]] = k;
  return true;
}

bool PHDImageMaker::SkipExposure(int k) {
  if (ustart < 0) {
    ustart = 0;
    uend = nipi;
  }
  if (k < ustart || k >= uend) return true;
  if (!(solveFlags & PHDSskip)) return false;
  PHDExposure& e = ipi[ord[k]];
  if (!e.ComputeUsability()) return true;
  auto dark = [](const PHDExposure& x) {
    return x.maxv[0] < 233 && x.maxv[1] < 233 && x.maxv[2] < 233;
  };
  auto light = [](const PHDExposure& x) {
    return x.minv[0] >= 25 && x.minv[1] >= 25 && x.minv[2] >= 25;
  };
  if (k > ustart && dark(e)) {
    PHDExposure& p = ipi[ord[k - 1]];
    if (!p.ComputeUsability()) return true;
    if (dark(p)) {
      dmessagef(DMCtrace, __FILE__, __LINE__, "Exposure %d too dark", k);
      uend = k;
      return true;
    }
  }
  if (k >= uend - 1) return false;
  // Only a light exposure at the front of the range may be dropped: once a position has been
  // accepted, its patch column must stay inside the range.
  if (k == ustart && light(e)) {
    PHDExposure& n = ipi[ord[k + 1]];
    if (!n.ComputeUsability()) return true;
    if (light(n)) {
      dmessagef(DMCtrace, __FILE__, __LINE__, "Exposure %d too light", k);
      ustart = k + 1;
      return true;
    }
  }
  return false;
}

float PHDImageMaker::MaxExpAdj(int i, int j) const {
  if (i == j) return 1.0f;
  const DBField* f[4] = {
      &PDBgetField(*ipi[i].Record(), PDBFexptime), &PDBgetField(*ipi[j].Record(), PDBFexptime),
      &PDBgetField(*ipi[i].Record(), PDBFaperture), &PDBgetField(*ipi[j].Record(), PDBFaperture)};
  for (const DBField* x : f)
    if (!x->IsSet() || x->GetDT() != DBDTfloat) return 1.12f;
  float m = f[0]->GetFloat() == f[1]->GetFloat() ? 1.04f : 1.08f;
  if (f[2]->GetFloat() != f[3]->GetFloat()) m += 0.25f;
  return m;
}

void PHDImageMaker::SortedStoNits(float* sto) const {
  for (int k = 0; k < nipi; k++) sto[k] = ipi[ord[k]].stonits;
}

bool PHDImageMaker::FindPoly(PHDSoln* s, int n, const PPatchSet* ps) {
  float sto[PHD_MAXEXP];
  SortedStoNits(sto);
  return PHDfitPoly(s, n, ps, sto, ustart, uend, &poll);
}

bool PHDImageMaker::FindExposures(PHDSoln* s, const PPatchSet* ps) {
  float sto[PHD_MAXEXP], madj[PHD_MAXEXP] = {1.0f};
  SortedStoNits(sto);
  for (int j = ustart + 1; j < uend; j++) madj[j] = MaxExpAdj(ord[j], ord[j - 1]);
  return PHDfitExposures(s, ps, sto, ustart, uend, madj);
}

double PHDImageMaker::CompErr(const PHDSoln* s, const PPatchSet* ps) const {
  float sto[PHD_MAXEXP];
  SortedStoNits(sto);
  return PHDfitError(s, ps, sto, ustart, uend);
}

bool PHDImageMaker::FindSoln(PHDSoln* s, int n, const PPatchSet* ps) {
  s->Init();
  for (int pass = 0; pass < 51; pass++) {
    if (!poll.Go()) return false;
    PPolynomial prev[3] = {s->ply[0], s->ply[1], s->ply[2]};
    if (!FindPoly(s, n, ps) || !FindExposures(s, ps)) return false;
    if (samePoly(s->ply[0], prev[0], 0.005) && samePoly(s->ply[1], prev[1], 0.005) &&
        samePoly(s->ply[2], prev[2], 0.005))
      return true;
  }
  dmessagef(DMCwarning, __FILE__, __LINE__, "Poor convergence for order %d fit", n);
  return true;
}

bool PHDImageMaker::Compute() {
  poll.Reset();  // a Stop heard before belonged to an earlier call
  if (!SortExposures()) return false;
  if (Unsolved() == 0) return true;
  if (nipi <= 1) {
    if (Unsolved() & PHDSresponse) {
      dmessage(DMCparameter, "Too few exposures to compute HDR image", __FILE__, __LINE__);
      return false;
    }
    haveSoln |= solveFlags;
    return true;
  }
  dmessage(DMCtrace, "Begin HDR solver...", __FILE__, __LINE__);
  if ((solveFlags & (PHDSresponse | PHDSexposure | PHDSmovement)) ==
      (PHDSresponse | PHDSexposure | PHDSmovement))
    dmessage(DMCwarning, "Finding exposure with movement is problematic", __FILE__, __LINE__);
  auto ps = std::make_unique<PPatchSet>(patchSeed);
  ipi[ord[0]].xoff = ipi[ord[0]].yoff = 0;
  for (int k = 0; k < nipi; k++) {
    if (!Progress("Analyzing Images", 100 * k / nipi, "User cancelled HDR solver")) return false;
    dmessagef(DMCtrace, __FILE__, __LINE__, "Computing usability map for image %d...", k);
    if (SkipExposure(k)) continue;
    PHDExposure& e = ipi[ord[k]];
    if (!e.ComputeUsability()) return false;
    if (k > ustart && (Unsolved() & PHDSalign)) {
      dmessage(DMCtrace, "Computing offset for image...", __FILE__, __LINE__);
      if (!e.ComputeOffset(&ipi[ord[k - 1]])) return false;
    }
    if (Unsolved() & (PHDSresponse | PHDSexposure)) {
      dmessage(DMCtrace, "Finding patches in image...", __FILE__, __LINE__);
      e.Add2Patches(ps.get());
      if (poll.Stopped()) return false;
      dmessagef(DMCtrace, __FILE__, __LINE__, "%d patches total", ps->npatch);
    }
  }
  if (!Progress(nullptr, 100, "User cancelled HDR solver")) return false;
  if (Unsolved() & PHDSalign) {
    int xs[PHD_MAXEXP], ys[PHD_MAXEXP];
    float rs[PHD_MAXEXP];
    const int n = uend - ustart;
    for (int k = ustart; k < uend; k++) {
      xs[k - ustart] = ipi[ord[k]].xoff;
      ys[k - ustart] = ipi[ord[k]].yoff;
      rs[k - ustart] = ipi[ord[k]].degCW;
    }
    if (n > 0) {
      std::qsort(xs, n, sizeof(int), intcmp);
      std::qsort(ys, n, sizeof(int), intcmp);
      std::qsort(rs, n, sizeof(float), floatcmp);
      for (int i = 0; i < nipi; i++) {
        ipi[i].xoff -= xs[n / 2];
        ipi[i].yoff -= ys[n / 2];
        ipi[i].degCW -= rs[n / 2];
      }
    }
    haveSoln |= PHDSalign;
    if (Unsolved() == 0) return true;
  }
  const int u = Unsolved();
  if (u == PHDSexposure) {
    if (!FindExposures(&soln, ps.get())) return false;
    haveSoln |= PHDSexposure;
    return true;
  }
  PHDSoln trial = soln;
  for (PPolynomial& p : soln.ply) p.degree = 0;
  double best = 1.0;
  for (int n = 1; n <= 5; n++) {
    dmessagef(DMCtrace, __FILE__, __LINE__, "Finding polynomials of degree %d...", n);
    const bool ok =
        u == PHDSresponse ? FindPoly(&trial, n, ps.get()) : FindSoln(&trial, n, ps.get());
    if (poll.Stopped()) return false;
    if (!ok) {
      dmessagef(DMCwarning, __FILE__, __LINE__, "No solution of degree %d", n);
      continue;
    }
    const double e = CompErr(&trial, ps.get());
    dmessagef(DMCtrace, __FILE__, __LINE__, "RMS error is %f", e);
    if (!(e < best)) continue;
    // A response that is not positive and rising at the top cannot be tabulated.
    bool usable = true;
    for (int c = 0; c < 3 && usable; c++) {
      const double x = PHDbyteX(255);
      usable = trial.ply[c].Eval(x) > 0 && trial.ply[c].Deriv(x) > 0;
    }
    if (!usable) continue;
    soln = trial;
    best = e;
  }
  if (best > 0.3) {
    dmessage(DMCdata, "Cannot solve for response function", __FILE__, __LINE__);
    return false;
  }
  haveSoln |= u;
  return true;
}

double PHDImageMaker::GetStoNits(int i) {
  if (nipi <= 0 || i >= nipi) return -1;
  if (!Compute()) return -1;
  if (i < 0) i = ord[nipi / 2];
  return double(ipi[i].stonits) * soln.expadj[iord[i]];
}
