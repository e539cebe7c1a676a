// The image window's images: a ring of display images, each with the state of one view
// (frame request, zoom, centre, exposure, selection, false colour) and its rendering into
// window pixels.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "display/pdispimg.h"
#include "display/pdisppriv.h"
#include "support/dmessage.h"

namespace {

int ClampInt(int64_t v) {
  return static_cast<int>(std::max<int64_t>(INT_MIN / 2, std::min<int64_t>(INT_MAX / 2, v)));
}

}  // namespace

PImageRing::PImageRing(const char* path, PImageRing* ring) : prev(this), next(this) {
  SetDefaults();
  JoinRing(ring);
  SetImage(path);
}

PImageRing::PImageRing(const DBRecord& r, PImageRing* ring) : prev(this), next(this) {
  SetDefaults();
  JoinRing(ring);
  SetImage(r);
}

PImageRing::~PImageRing() {
  Clean();
}

void PImageRing::JoinRing(PImageRing* r) {
  if (r == nullptr || r == this) return;
  PImageRing* rnext = r->next;
  PImageRing* myprev = prev;
  r->next = this;
  prev = r;
  myprev->next = rnext;
  rnext->prev = myprev;
}

PImageRing* PImageRing::Unlink() {
  if (next == this) return nullptr;
  PImageRing* p = prev;
  prev->next = next;
  next->prev = prev;
  prev = next = this;
  return p;
}

void PImageRing::Clean() {
  // One member at a time: a ring of any length is freed without recursion.
  while (next != this) {
    PImageRing* victim = next;
    victim->Unlink();
    delete victim;
  }
  CloseImage(false);
}

bool PImageRing::SetImage(const char* path) {
  if (!CloseImage(false)) return false;
  SetDefaults();
  if (path == nullptr || *path == '\0') return false;
  return PDisplayImage::SetImage(path);
}

bool PImageRing::SetImage(const DBRecord& r) {
  if (&r != &ircd && !CloseImage(false)) return false;
  SetDefaults();
  return PDisplayImage::SetImage(r);
}

void PImageRing::SetDefaults() {
  froffs = 0;
  frsmode = IRSrel;
  zoomNum = zoomDenom = 0;
  curZNum = curZDenom = 1;
  xCent = yCent = 0;
  expMode = PEMDefault & 7;
  expMult = 1.0;
  srcrect = _ImgRect{0, 0, 0, 0};
  rWidth = rHeight = 0;
  changed = true;
}

bool PImageRing::UpdateRec(const DBRecord& r) {
  if (PDBgetField(r, PDBFcrop) != PDBgetField(ircd, PDBFcrop)) xCent = yCent = 0;
  const bool c = PDisplayImage::UpdateRec(r);
  if (c) changed = true;
  return c;
}

bool PImageRing::Reload() {
  PDisplayImage::Reload();
  changed = true;
  return true;
}

bool PImageRing::SeekFrame(int n, ImgSeekMode mode) {
  if (n == 0 && mode != IRSabs) return false;
  frsmode = mode;
  if (mode == IRSabs)
    froffs = n;
  else
    froffs += n;
  changed = true;
  return true;
}

void PImageRing::SetZoomRatio(int num, int den) {
  if (num < 1 || den < 1) return;
  if (num == zoomNum && den == zoomDenom) return;
  zoomNum = curZNum = num;
  zoomDenom = curZDenom = den;
  changed = true;
}

void PImageRing::SetZoomToFit() {
  if (IsZoomToFit()) return;
  zoomNum = zoomDenom = 0;
  curZNum = curZDenom = 1;
  xCent = yCent = 0;
  changed = true;
}

double PImageRing::GetZoom(int* ratio) const {
  if (ratio != nullptr) {
    ratio[0] = curZNum;
    ratio[1] = curZDenom;
  }
  return static_cast<double>(curZNum) / curZDenom;
}

void PImageRing::GetOffset(int* hvoff) const {
  if (hvoff == nullptr) return;
  int h = ClampInt(static_cast<int64_t>(xCent) * curZNum / curZDenom);
  int v = ClampInt(static_cast<int64_t>(yCent) * curZNum / curZDenom);
  if (ior.hflip) h = -h;
  if (ior.vflip) v = -v;
  if (ior.xyswap) std::swap(h, v);
  hvoff[0] = h;
  hvoff[1] = v;
}

void PImageRing::SetOffset(int hoff, int voff) {
  if (IsZoomToFit()) return;
  if (ior.xyswap) std::swap(hoff, voff);
  int x = ClampInt(static_cast<int64_t>(hoff) * zoomDenom / zoomNum);
  int y = ClampInt(static_cast<int64_t>(voff) * zoomDenom / zoomNum);
  if (ior.hflip) x = -x;
  if (ior.vflip) y = -y;
  if (x == xCent && y == yCent) return;
  xCent = x;
  yCent = y;
  changed = true;
}

void PImageRing::SetExposureMode(int bits) {
  bits &= 7;
  if (bits == expMode) return;
  expMode = bits;
  fcManual = -1;
  changed = true;
}

void PImageRing::SetExposureMode(int bits, bool on) {
  SetExposureMode(on ? (expMode | bits) : (expMode & ~bits));
}

void PImageRing::ViewToWindow(int* wx, int* wy, int x, int y) const {
  // Rectangles are mapped by their edges: a mirrored edge lands at W - a, where a mirrored
  // pixel would land at W - a - 1.
  const int64_t W = rWidth, H = rHeight, X = ior.xres, Y = ior.yres;
  int64_t a = W / 2 + ((x - X / 2 - xCent) * curZNum) / curZDenom;
  int64_t b = H / 2 + ((y - Y / 2 - yCent) * curZNum) / curZDenom;
  if (ior.hflip) a = W - a;
  if (ior.vflip) b = H - b;
  if (ior.xyswap) std::swap(a, b);
  *wx = ClampInt(a);
  *wy = ClampInt(b);
}

void PImageRing::WindowToView(int* x, int* y, int wx, int wy) const {
  const int64_t W = rWidth, H = rHeight, X = ior.xres, Y = ior.yres;
  int64_t a = wx, b = wy;
  if (ior.xyswap) std::swap(a, b);
  if (ior.hflip) a = W - a;
  if (ior.vflip) b = H - b;
  *x = ClampInt((X / 2 + xCent) + (((2 * a - W) * curZDenom) / curZNum) / 2);
  *y = ClampInt((Y / 2 + yCent) + (((2 * b - H) * curZDenom) / curZNum) / 2);
}

void PImageRing::SelectRect(int x0, int y0, int x1, int y1) {
  int ax, ay, bx, by;
  WindowToView(&ax, &ay, x0, y0);
  WindowToView(&bx, &by, x1, y1);
  if (ax > bx) std::swap(ax, bx);
  if (ay > by) std::swap(ay, by);
  if (ax == bx) bx = ax + 1;
  if (ay == by) by = ay + 1;
  srcrect = _ImgRect{std::max(ax, 0), std::min(bx, static_cast<int>(ior.xres)), std::max(ay, 0),
                     std::min(by, static_cast<int>(ior.yres))};
}

bool PImageRing::GetSelection(_ImgRect* r) const {
  if (r == nullptr || srcrect.xleft >= srcrect.xright || srcrect.ytop >= srcrect.ybottom)
    return false;
  if (srcrect.xleft >= ior.xres || srcrect.ytop >= ior.yres || srcrect.xright <= 0 ||
      srcrect.ybottom <= 0)
    return false;
  int ax, ay, bx, by;
  ViewToWindow(&ax, &ay, srcrect.xleft, srcrect.ytop);
  ViewToWindow(&bx, &by, srcrect.xright, srcrect.ybottom);
  if (ax > bx) std::swap(ax, bx);
  if (ay > by) std::swap(ay, by);
  if (ax == bx || ay == by) return false;
  *r = _ImgRect{ax, bx, ay, by};
  return true;
}

void PImageRing::SelectAll() {
  srcrect = _ImgRect{0, ior.xres, 0, ior.yres};
}

void PImageRing::ClearSelection() {
  srcrect = _ImgRect{0, 0, 0, 0};
}

int PImageRing::SomeSelected() const {
  if (srcrect.xleft >= srcrect.xright || srcrect.ytop >= srcrect.ybottom) return 0;
  if (srcrect.xleft <= 0 && srcrect.ytop <= 0 && srcrect.xright >= ior.xres &&
      srcrect.ybottom >= ior.yres)
    return -1;
  return 1;
}

bool PImageRing::GetOrigSelection(_ImgRect* r) {
  if (r == nullptr || SomeSelected() == 0) return false;
  return GetOrigRect(r, &srcrect);
}

void PImageRing::SetOrigSelection(const _ImgRect* r) {
  _ImgRect v;
  if (r == nullptr || !GetViewRect(&v, r)) return;
  const _ImgRect all = {0, ior.xres, 0, ior.yres};
  if (!PclipRect(&v, &all)) v = _ImgRect{0, 0, 0, 0};
  srcrect = v;
}

bool PImageRing::GetOrient(POrient* o) const {
  if (o == nullptr) return false;
  *o = ior;
  o->SetOrigSize(ClampInt(static_cast<int64_t>(ior.xres) * curZNum / curZDenom),
                 ClampInt(static_cast<int64_t>(ior.yres) * curZNum / curZDenom));
  return true;
}

double PImageRing::TmScale() const {
  if (dlp != nullptr && dlp->tms != nullptr && dlp->tms->inpsf > 0) return dlp->tms->inpsf;
  const double sf = PrecordStoNits(ircd);
  return sf > 0 ? sf : 1.0;
}

void PImageRing::FalseColorOn(double hi, double lo) {
  if (!CheckLoad() || dlp == nullptr || dlp->tms == nullptr) return;
  bool started = false;
  if (fcs == nullptr) {
    fcs = fcInit(nullptr);
    if (fcs == nullptr) return;
    started = true;
  }
  fcManual = hi > 1e-7 ? 1 : 0;
  if (hi <= 1e-7) {
    changed = true;
    return;
  }
  const double sf = PrecordStoNits(ircd);
  if (sf > 0) {
    hi *= TmScale() / sf;
    lo *= TmScale() / sf;
  }
  if (lo <= 1e-7 || hi <= lo) {
    if (started || fcs->lumap == nullptr || fcIsLogMap(fcs) == 1 ||
        fcs->mbrmax != tmCvLuminance(hi)) {
      fcFixedLinear(fcs, hi);
      changed = true;
    }
  } else if (started || fcs->lumap == nullptr || fcs->mbrmin != tmCvLuminance(lo) ||
             fcs->mbrmax != tmCvLuminance(hi)) {
    fcFixedLog(fcs, lo, hi);
    changed = true;
  }
}

void PImageRing::FalseColorOff() {
  if (fcs == nullptr) return;
  FalseColorDone();
  changed = true;
}

bool PImageRing::GetFCLimits(double* lim) const {
  if (lim == nullptr) return false;
  lim[0] = lim[1] = 0.0;
  if (fcs == nullptr || fcs->lumap == nullptr) return false;
  lim[1] = std::exp(fcs->mbrmax / 128.0);
  lim[0] = fcIsLogMap(fcs) == 1 ? std::exp(fcs->mbrmin / 128.0) : 0.0;
  const double sf = PrecordStoNits(ircd);
  if (sf > 0) {
    const double k =
        (dlp != nullptr && dlp->tms != nullptr && dlp->tms->inpsf > 0) ? sf / dlp->tms->inpsf : 1.0;
    lim[0] *= k;
    lim[1] *= k;
  }
  return fcManual > 0;
}

bool PImageRing::GetHistogram(double* minmax, unsigned int* hist, int hlen, PHistoChan hc,
                              bool useSel) {
  const _ImgRect* r = (useSel && SomeSelected() > 0) ? &srcrect : nullptr;
  return PDisplayImage::GetHistogram(minmax, hist, hlen, hc, r);
}

double PImageRing::AvgLuminance(const _ImgRect* r) {
  return PDisplayImage::AvgLuminance(r != nullptr ? r : &srcrect);
}

void PImageRing::CheckSettings() {
  const bool automatic = (expMode & (PEMauto | PEMlocal)) != 0;
  if (expMode & PEMhuman)
    newTMflags =
        automatic ? (TMF_HCONTRAST | TMF_MESOPIC) : (TMF_HCONTRAST | TMF_MESOPIC | TMF_LINEAR);
  else
    newTMflags = automatic ? 0 : TMF_LINEAR;
  if (froffs != 0 || frsmode == IRSabs) {
    if (!PDisplayImage::SeekFrame(froffs, frsmode) && frsmode != IRSabs) {
      if (froffs < 0)
        PDisplayImage::SetFrame(0);
      else
        PDisplayImage::SetFrame(PDisplayImage::CheckLoad() ? nframes - 1 : -2);
    }
    froffs = 0;
    frsmode = IRSrel;
  }
  if (!PDisplayImage::CheckLoad() || dlp == nullptr || dlp->tms == nullptr) {
    expMode = 0;
    FalseColorDone();
  } else if ((expMode & (PEMauto | PEMlocal)) == 0 && fcManual < 0) {
    if (fcs != nullptr) {
      fcFixedLinear(fcs, TmScale() / (expMult > 0 ? expMult : 1.0));
      fcManual = 1;
    }
    dlp->SetFixedLinear(expMult);
  }
  changed = false;
}

bool PImageRing::RenderImage(_ImgStruct* dst, const void* bg, const _ImgRect* sub,
                             const _ImgRect* at) {
  const bool hadPixels = dst != nullptr && dst->img != nullptr;
  if (RenderInto(dst, bg, sub, at)) return true;
  if (!hadPixels) PfreeImage(dst);
  return false;
}

void PImageRing::ChooseZoom(int w, int h) {
  rWidth = w;
  rHeight = h;
  const int64_t X = std::max<int32_t>(ior.xres, 1), Y = std::max<int32_t>(ior.yres, 1);
  const int64_t W = rWidth, H = rHeight;
  if (IsZoomToFit()) {
    if (W * Y > H * X) {
      curZNum = rHeight;
      curZDenom = static_cast<int>(Y);
    } else {
      curZNum = rWidth;
      curZDenom = static_cast<int>(X);
    }
  } else {
    curZNum = zoomNum;
    curZDenom = zoomDenom;
  }
  // Shown at no more than half its size over k, the picture need only be read reduced by k.
  const int64_t k = curZNum > 0 ? curZDenom / (2 * int64_t{curZNum}) : 1;
  SetReduction(static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(k, 1 << 16))));
}

void PImageRing::PrepareView(int w, int h) {
  if (Ready() && w > 0 && h > 0) ChooseZoom(w, h);
}

bool PImageRing::RenderInto(_ImgStruct* dst, const void* bg, const _ImgRect* sub,
                            const _ImgRect* at) {
  if (dst == nullptr || dst->csp == nullptr || !Ready() || dst->xres < 1 || dst->yres < 1)
    return false;
  // The zoom is known before the settings load the picture, so that it is read reduced when
  // shown smaller; taken again after, for a file whose size differs from its record's.
  ChooseZoom(dst->xres, dst->yres);
  CheckSettings();
  ChooseZoom(dst->xres, dst->yres);
  const int64_t X = std::max<int32_t>(ior.xres, 1), Y = std::max<int32_t>(ior.yres, 1);
  const int64_t W = rWidth, H = rHeight;
  const int64_t zn = curZNum, zd = curZDenom;
  // Pixels for dst are allocated while the frame is held, so the allocation cannot purge it.
  auto giveDstPixels = [&]() {
    if (dst->img != nullptr) return true;
    void* m = (dlp != nullptr) ? dlp->GetCacheObject() : nullptr;
    const bool ok = PnewImage(dst, 0) != 0;
    if (m != nullptr) dlp->ReleaseObject(m);
    return ok;
  };
  _ImgStruct target = {};
  bool linked = false;
  int ox = 0, oy = 0;
  if (sub != nullptr) {
    const bool fits = at == nullptr || (at->xright - at->xleft == sub->xright - sub->xleft &&
                                        at->ybottom - at->ytop == sub->ybottom - sub->ytop);
    if (!fits || !giveDstPixels() || !PlinkSubimage(&target, dst, at != nullptr ? at : sub)) {
      DMESSAGE(DMCparameter, "Bad subrectangle in RenderImage");
      return false;
    }
    linked = true;
    ox = sub->xleft;
    oy = sub->ytop;
  } else {
    target = *dst;
  }
  const int64_t tw = target.xres, th = target.yres;
  int64_t left = X / 2 + xCent + (((2 * ox - W) * zd) / zn) / 2;
  int64_t right = left + (tw * zd) / zn;
  int64_t top = Y / 2 + yCent + (((2 * oy - H) * zd) / zn) / 2;
  int64_t bottom = top + (th * zd) / zn;
  int64_t dl = 0, dr = tw, dt = 0, db = th;
  bool clipped = false;
  if (left < 0) {
    dl = (-left * zn) / zd;
    left = 0;
    clipped = true;
  }
  if (right > X) {
    dr -= ((right - X) * zn) / zd;
    right = X;
    clipped = true;
  }
  if (top < 0) {
    dt = (-top * zn) / zd;
    top = 0;
    clipped = true;
  }
  if (bottom > Y) {
    db -= ((bottom - Y) * zn) / zd;
    bottom = Y;
    clipped = true;
  }
  const bool empty = left >= right || top >= bottom || dl >= dr || dt >= db;
  bool ok = true;
  _ImgStruct drawn = {};
  bool drawnLinked = false;
  if (clipped || empty) {
    if (!linked) {
      if (!giveDstPixels()) return false;
      target = *dst;
    }
    PclearImage(&target, bg);
    if (!empty) {
      const _ImgRect area = {static_cast<int32_t>(dl), static_cast<int32_t>(dr),
                             static_cast<int32_t>(dt), static_cast<int32_t>(db)};
      if (!PlinkSubimage(&drawn, &target, &area)) {
        DMESSAGE(DMCparameter, "Border botch in RenderImage");
        ok = false;
      }
      drawnLinked = true;
    }
  }
  if (ok && !empty) {
    _ImgStruct* into = drawnLinked ? &drawn : (linked ? &target : dst);
    const _ImgRect sr = {static_cast<int32_t>(left), static_cast<int32_t>(right),
                         static_cast<int32_t>(top), static_cast<int32_t>(bottom)};
    ok = PDisplayImage::CheckLoad() && dlp != nullptr &&
         dlp->GetSubimage(into, &sr, (expMode & PEMlocal) ? &expMult : nullptr);
  }
  if (drawnLinked) PfreeImage(&drawn);
  if (linked) PfreeImage(&target);
  if (ok && (expMode & PEMlocal) == 0) {
    double m = 0.0;
    if (PDisplayImage::CheckLoad() && dlp != nullptr)
      m = dlp->tms != nullptr ? dlp->GetMultiplier(dlp->tms) : 1.0;
    if (expMult <= 0 || std::fabs(m - expMult) > 0.05 * expMult) expMult = m;
  }
  return ok;
}

bool PImageRing::MapImage(_ImgStruct* dst, const void* bg, const _ImgRect* sub) {
  if (ior.IsNoop()) return RenderImage(dst, bg, sub);
  // An oriented picture is always produced whole; a sub-rectangle is not honoured here.
  if (dst == nullptr || dst->csp == nullptr || dst->xres < 1 || dst->yres < 1) return false;
  if (dst->img == nullptr && !PnewImage(dst, 0)) return false;
  _ImgStruct buf = {};
  buf.xres = ior.xyswap ? dst->yres : dst->xres;
  buf.yres = ior.xyswap ? dst->xres : dst->yres;
  buf.csp = dst->csp;
  bool ok = RenderImage(&buf, bg, nullptr);
  if (ok) {
    POrient o = ior;
    o.SetOrigSize(buf.xres, buf.yres);
    ok = o.OrientImage(dst, &buf);
  }
  PfreeImage(&buf);
  return ok;
}

bool PImageRing::RenderIsNoop(bool ignoreHDR) {
  if (!Ready()) return true;
  if (IsZoomToFit() || zoomNum != zoomDenom) return false;
  if (CropRect(nullptr)) return false;
  if (PDBgetField(ircd, PDBFredeye).IsSet() || PDBgetField(ircd, PDBFspotexp).IsSet()) return false;
  if (!ignoreHDR && IsHDR()) return false;
  PDisplayImage::CheckLoad();
  return ior.xres == GetOWidth() && ior.yres == GetOHeight();
}

bool PImageRing::MapIsNoop(bool ignoreHDR) {
  if (!Ready()) return true;
  if (!ior.IsNoop()) return false;
  return RenderIsNoop(ignoreHDR);
}
