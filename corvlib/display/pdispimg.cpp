// Display images: the record, its geometry, the frame chain and the display settings.
#include "display/pdispimg.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>

#include "catalog/pfileinfo.h"
#include "catalog/plocate.h"
#include "catalog/pimginfo.h"
#include "support/dmessage.h"
#include "tonemap/tmloaders.h"

int PEMDefault = PEMauto;

namespace {
constexpr int kReloadBits = 10000;

// One value of a photo field as an integer, with whether it was there.
bool RecordInt(const DBRecord& r, PDBFieldID fid, long* v) {
  const DBField& f = PDBgetField(r, fid);
  if (!f.IsSet() || f.GetDT() != DBDTint) return false;
  *v = f.GetInt(0);
  return true;
}

// A side scaled by a pixel aspect, held within the range of an int: a file's pixel aspect can
// be any number, and the sizes it makes are checked after.
int Side(float r) {
  if (!(r > -2147483648.0f)) return INT_MIN;
  if (r >= 2147483648.0f) return INT_MAX;
  return static_cast<int>(r);
}

}  // namespace

void PaspectToView(float a, int* xp, int* yp) {
  if (a < 0.99f) {
    if (xp != nullptr) *xp = Side(static_cast<float>(*xp) * a + 0.5f);
  } else if (a > 1.01f) {
    if (yp != nullptr) *yp = Side(static_cast<float>(*yp) / a + 0.5f);
  }
}

void PaspectToFile(float a, int* xp, int* yp) {
  if (a < 0.99f) {
    if (xp != nullptr) *xp = Side(static_cast<float>(*xp) / a + 0.5f);
  } else if (a > 1.01f) {
    if (yp != nullptr) *yp = Side(static_cast<float>(*yp) * a + 0.5f);
  }
}

double PrecordStoNits(const DBRecord& r) {
  const DBField& f = PDBgetField(r, PDBFstonits);
  if (!f.IsSet() || f.GetDT() != DBDTfloat) return 0.0;
  const double v = f.GetFloat(0);
  return (std::isfinite(v) && v > 0.0) ? v : 0.0;
}

// ---------------------------------------------------------------------------------------------

PDisplayImage::PDisplayImage() {
  ior.SetRecord(nullptr);
  Empty();
}

PDisplayImage::PDisplayImage(const DBRecord& r) : PDisplayImage() {
  SetImage(r);
}

PDisplayImage::~PDisplayImage() {
  // The close callback runs (it may delete a temporary file), but a destroyed image cannot
  // stay open: a veto here is overruled.
  if (!CloseImage(false)) {
    cloz = nullptr;
    CloseImage(false);
  }
  need2reload.NewBitMap(0u, false);
  ircd.Init();
}

void PDisplayImage::Empty() {
  nframes = 1;
  frameType = IRFnone;
  frameRate = 0;
  ir = nullptr;
  oxres = oyres = 0;
  pixAspect = 1.0f;
  dlhead = dlp = nullptr;
  cs = ICS_sRGB;
  dynrange = 32.0;
  dlmax = 100.0;
  newTMflags = 0;
  need2reload.NewBitMap(static_cast<uint32_t>(kReloadBits), false);
  fcs = nullptr;
  fcManual = -1;
  quiet = false;
  cloz = nullptr;
}

bool PDisplayImage::NeedsReload(int f) const {
  return f >= 0 && need2reload.Check(static_cast<uint32_t>(f));
}

void PDisplayImage::MarkReload(int f) {
  if (f < 0) return;
  const uint32_t uf = static_cast<uint32_t>(f);
  if (uf >= need2reload.Length()) {
    // Grow the map to cover this frame, keeping the marks already set.
    ABitMap grown(uf + 1, false);
    for (uint32_t i = 0; i < need2reload.Length(); ++i)
      if (need2reload.Check(i)) grown.Set(i);
    need2reload = grown;
  }
  need2reload.Set(uf);
  // A frame that failed is read again once the reload is asked for.
  for (PDisplayList* d = dlhead; d != nullptr; d = d->next)
    if (d->frame == f) d->loadFailed = false;
}

void PDisplayImage::ClearReload(int f) {
  if (f >= 0 && static_cast<uint32_t>(f) < need2reload.Length())
    need2reload.Set(static_cast<uint32_t>(f), false);
}

void PDisplayImage::MarkAllReload() {
  need2reload.ClearBitMap(true);
  for (PDisplayList* d = dlhead; d != nullptr; d = d->next) MarkReload(d->frame);
}

void PDisplayImage::SetReduction(int k) {
  k = k < 1 ? 1 : k;
  if (k == reduction) return;
  reduction = k;
  for (PDisplayList* d = dlhead; d != nullptr; d = d->next)
    if (d->shrink > k) MarkReload(d->frame);
}

void PDisplayImage::CloseReader() {
  if (ir != nullptr && ir->ri != nullptr && ir->ri->Close != nullptr) ir->ri->Close(ir);
  ir = nullptr;
}

bool PDisplayImage::SetImage(const DBRecord& r) {
  if (&r != &ircd) {
    if (!CloseImage(false)) return false;
    SetRecord(r);
  }
  long xs = 0, ys = 0;
  if (PDBgetField(ircd, PDBFfile).IsSet() && PDBgetField(ircd, PDBFlocation).IsSet() &&
      RecordInt(ircd, PDBFxsize, &xs) && RecordInt(ircd, PDBFysize, &ys)) {
    oxres = static_cast<int32_t>(xs);
    oyres = static_cast<int32_t>(ys);
    need2reload.ClearBitMap(false);
    UpdateRec(ircd);
    return true;
  }
  DMESSAGE(DMCdata, "Cannot parse image file");
  ircd.Init();
  oxres = oyres = 0;
  return false;
}

bool PDisplayImage::SetImage(const char* path) {
  if (!CloseImage(false)) return false;
  if (path == nullptr) return false;
  // A file the user named opens whatever its name, and one that does not open is told once,
  // with its reason, by the open itself.
  _ImgReader* rd = PopenImageAny(path, quiet ? 1 : 0);
  if (rd == nullptr) {
    ircd.Init();
    oxres = oyres = 0;
    return false;
  }
  ircd.Init(&PDBFInfo);
  PgrokImage(&ircd, rd);
  if (rd->ri->Close != nullptr) rd->ri->Close(rd);
  return SetImage(ircd);
}

void PDisplayImage::SetRecord(const DBRecord& r) {
  if (&r == &ircd || r.GetFieldInfo() == nullptr) return;
  const DBFieldInfo* rs = r.GetFieldInfo();
  if (rs != &finf) {
    bool allKnown = true;
    for (int i = 0; i < rs->GetNFields() && allKnown; ++i)
      allKnown = PDBFInfo.GetID(rs->GetName(i)) >= 0;
    if (allKnown) {
      ircd.Init(&PDBFInfo);
    } else {
      finf = PDBFInfo;
      for (int i = 0; i < rs->GetNFields(); ++i) {
        if (finf.GetID(rs->GetName(i)) >= 0) continue;
        const DBFDetails* det = rs->GetDetails(i);
        if (det != nullptr) finf.Field(rs->GetName(i), det);  // a field that fails is skipped
      }
      ircd.Init(&finf);
    }
  } else {
    ircd.Init(&finf);
  }
  const DBFieldInfo* mine = ircd.GetFieldInfo();
  if (mine == nullptr) return;
  for (int i = 0; i < mine->GetNFields(); ++i) ircd.SetField(i, r);
}

bool PDisplayImage::UpdateRec(const DBRecord& r) {
  bool changed = false;
  if (&r != &ircd) {
    static const PDBFieldID kGeometry[] = {PDBForient, PDBFflip, PDBFcrop, PDBFspotexp};
    for (PDBFieldID fid : kGeometry)
      if (PDBgetField(r, fid) != PDBgetField(ircd, fid)) changed = true;
    const int newEyes = PDBgetField(r, PDBFredeye).GetNV();
    const int oldEyes = PDBgetField(ircd, PDBFredeye).GetNV();
    const bool hdr = dlp != nullptr && dlp->tms != nullptr;
    bool reload = newEyes < oldEyes ||
                  (!hdr && PDBgetField(r, PDBFspotexp) != PDBgetField(ircd, PDBFspotexp)) ||
                  PDBgetField(r, PDBFhashval) != PDBgetField(ircd, PDBFhashval) ||
                  PDBgetField(r, PDBFnbytes) != PDBgetField(ircd, PDBFnbytes);
    if (!reload && newEyes > oldEyes && dlp != nullptr && !dlp->Empty()) {
      if (dlp->GetPointers()) {
        dlp->RemoveRedEye(&r);
        dlp->ReleasePointers();
        changed = true;
      } else {
        reload = true;
      }
    }
    if (reload) {
      if (Ready()) {
        CloseReader();
        MarkAllReload();
      }
      long v;
      if (RecordInt(r, PDBFxsize, &v)) oxres = static_cast<int32_t>(v);
      if (RecordInt(r, PDBFysize, &v)) oyres = static_cast<int32_t>(v);
      for (PDisplayList* d = dlhead; d != nullptr; d = d->next) {
        if (d->tms != nullptr) tmDone(d->tms);
        d->tms = nullptr;
        d->oxres = oxres;
        d->oyres = oyres;
      }
      changed = true;
    }
    SetRecord(r);
  }
  // Pixel aspect from the densities, only when both are positive and finite.
  pixAspect = 1.0f;
  const DBField& xd = PDBgetField(ircd, PDBFxdensity);
  const DBField& yd = PDBgetField(ircd, PDBFydensity);
  if (xd.IsSet() && yd.IsSet() && xd.GetDT() == DBDTfloat && yd.GetDT() == DBDTfloat) {
    const float a = yd.GetFloat(0) / xd.GetFloat(0);
    if (std::isfinite(xd.GetFloat(0)) && std::isfinite(yd.GetFloat(0)) && xd.GetFloat(0) > 0 &&
        yd.GetFloat(0) > 0 && std::isfinite(a) && a > 0)
      pixAspect = a;
  }
  _ImgRect cr;
  CropRect(&cr);
  int vw = cr.xright - cr.xleft, vh = cr.ybottom - cr.ytop;
  CorrectAspect(&vw, &vh);
  ior.SetRecord(&ircd);
  ior.SetOrigSize(vw > 0 ? vw : 1, vh > 0 ? vh : 1);
  if (changed)
    for (PDisplayList* d = dlhead; d != nullptr; d = d->next)
      if (d->tms != nullptr && !d->Empty()) tmClearHisto(d->tms);
  return changed;
}

bool PDisplayImage::CloseImage(bool flag) {
  if (!Ready() && dlhead == nullptr && ir == nullptr) return true;
  if (cloz != nullptr && !cloz(this, flag)) return false;
  cloz = nullptr;
  CloseReader();
  if (dlhead != nullptr) {
    for (PDisplayList* d = dlhead; d != nullptr; d = d->next) d->parent = nullptr;
    PDisplayList* head = dlhead;
    dlhead = dlp = nullptr;
    head->HolderRelease();
  }
  FalseColorDone();
  ior.SetRecord(nullptr);
  ircd.Init();
  oxres = oyres = 0;
  nframes = 1;
  return true;
}

void PDisplayImage::Reload() {
  if (!Ready()) return;
  CloseReader();
  MarkAllReload();
}

bool PDisplayImage::SetFrame(int n) {
  if (!Ready() || n < 0 || (nframes > 0 && n >= nframes)) return false;
  if (dlhead == nullptr) {
    dlhead = dlp = new PDisplayList(this, 0);
  } else if (dlp == nullptr || n < dlp->frame) {
    dlp = dlhead;
  }
  if (n > 0) {
    if (ir == nullptr) {
      ir = PopenImageD(ircd, quiet);
      if (ir == nullptr) return false;
    }
    if (ir->nframes > 0 && n >= ir->nframes) {
      nframes = ir->nframes;
      CloseReader();
      return false;
    }
    if (nframes == 0) {
      if (ir->ri->SeekFrame == nullptr || ir->ri->SeekFrame(ir, n, IRSabs) != IREnone) {
        nframes = ir->nframes;
        CloseReader();
        return false;
      }
    }
    while (dlp->frame < n) {
      if (dlp->next == nullptr || dlp->next->frame > dlp->frame + 1) {
        PDisplayList* nd = new PDisplayList(this, dlp->frame + 1);
        nd->next = dlp->next;
        dlp->next = nd;
      }
      dlp = dlp->next;
    }
  }
  if (NeedsReload(dlp->frame) && !dlp->InUse()) {
    dlp->Free();
    ClearReload(dlp->frame);
  }
  if (dlp->Empty()) {
    void* m = dlp->GetCacheObject();
    if (m == nullptr) return false;
    dlp->ReleaseObject(m);
  }
  UpdateRec(ircd);
  return true;
}

bool PDisplayImage::SeekFrame(int n, ImgSeekMode mode) {
  if (mode == IRSabs) return SetFrame(n);
  if (!CheckLoad()) return false;
  if (n == 0) return true;
  if (nframes == 1) return false;
  if (!DMASSERT(dlp != NULL)) return false;
  int target = dlp->frame + n;
  if (nframes == 0) {
    if (mode == IRSadv && target < 0) {
      if (frameType == IRFbackforth)
        target = -target;
      else if (frameType == IRFloop)
        target = kReloadBits;
    }
    if (SetFrame(target)) return true;
    if (mode == IRSrel) return false;
    if (nframes == 0) {
      DMESSAGE(DMCparameter, "Cannot determine number of frames");
      return false;
    }
  }
  int f = dlp->frame;
  PabsFrame(&f, nframes, frameType, n, mode);
  return SetFrame(f);
}

bool PDisplayImage::CheckLoad() {
  if (dlp != nullptr) return dlp->CheckLoad();
  return SetFrame(0);
}

int PDisplayImage::GetNFrames() {
  if (!CheckLoad()) return -1;
  return nframes;
}

ImgFrameType PDisplayImage::GetFrameType(double* rate) {
  if (!CheckLoad()) {
    if (rate != nullptr) *rate = 0.0;
    return IRFnone;
  }
  if (rate != nullptr) *rate = frameRate;
  return frameType;
}

bool PDisplayImage::SetDisplaySpace(const _ImgColorSpace* space, double dr, double lmax) {
  if (space != nullptr) {
    for (PDisplayList* d = dlhead; d != nullptr; d = d->next) {
      if (d->Empty()) continue;
      if (!PmatchColorSpace(space, &cs, 31)) {
        if (!PmatchColorSpace(space, &cs, 3)) return false;
        MarkReload(d->frame);
      }
    }
    for (PDisplayList* d = dlhead; d != nullptr; d = d->next) d->c_img.csp = &cs;
    cs = *space;
    cs.cstatic = 1;
  }
  if (dr > 2.0) dynrange = dr;
  if (lmax > 1.0) dlmax = lmax;
  return true;
}

void PDisplayImage::GetDisplaySpace(_ImgColorSpace* space, double* dr, double* lmax) const {
  if (space != nullptr) {
    *space = cs;
    space->cstatic = 0;
  }
  if (dr != nullptr) *dr = dynrange;
  if (lmax != nullptr) *lmax = dlmax;
}

bool PDisplayImage::IsHDR() {
  return CheckLoad() && dlp != nullptr && dlp->tms != nullptr;
}

double PDisplayImage::StoNits() {
  const double sf = PrecordStoNits(ircd);
  if (sf > 0.0) return sf;
  if (!IsHDR()) return 0.0;
  return dlp->fileStoNits > 0.0 ? dlp->fileStoNits : TM_UNSTATED_STONITS;
}

bool PDisplayImage::IsLossy() {
  return CheckLoad() && dlp != nullptr && dlp->lossy;
}

int PDisplayImage::GetOWidth() const {
  return (dlp != nullptr && dlp->oxres > 0) ? dlp->oxres : oxres;
}

int PDisplayImage::GetOHeight() const {
  return (dlp != nullptr && dlp->oyres > 0) ? dlp->oyres : oyres;
}

bool PDisplayImage::CropRect(_ImgRect* r) const {
  const int w = GetOWidth(), h = GetOHeight();
  const DBField& f = PDBgetField(ircd, PDBFcrop);
  _ImgRect res = {0, w, 0, h};
  bool cropped = false;
  if (f.GetNV() == 4 && f.GetDT() == DBDTint) {
    long left = f.GetInt(0), top = f.GetInt(1), right = f.GetInt(2), bottom = f.GetInt(3);
    if (left < 1) left = 0;
    if (top < 1) top = 0;
    if (right > w) right = w;
    if (bottom > h) bottom = h;
    if (left < right && top < bottom) {
      cropped = left > 0 || top > 0 || right < w || bottom < h;
      res = _ImgRect{static_cast<int32_t>(left), static_cast<int32_t>(right),
                     static_cast<int32_t>(top), static_cast<int32_t>(bottom)};
    }
  }
  if (r != nullptr) *r = res;
  return cropped;
}

bool PDisplayImage::GetViewRect(_ImgRect* view, const _ImgRect* file) {
  if (view == nullptr || !CheckLoad()) return false;
  if (file == nullptr) {
    *view = _ImgRect{0, ior.xres, 0, ior.yres};
    return true;
  }
  _ImgRect cr;
  CropRect(&cr);
  int l = file->xleft - cr.xleft, r = file->xright - cr.xleft;
  int t = file->ytop - cr.ytop, b = file->ybottom - cr.ytop;
  CorrectAspect(&l, &t);
  CorrectAspect(&r, &b);
  *view = _ImgRect{l, r, t, b};
  return true;
}

bool PDisplayImage::GetOrigRect(_ImgRect* file, const _ImgRect* view) {
  if (file == nullptr || !CheckLoad()) return false;
  _ImgRect cr;
  CropRect(&cr);
  if (view == nullptr) {
    *file = cr;
    return true;
  }
  const float a = dlp != nullptr ? dlp->pixAspect : pixAspect;
  const int w = GetOWidth(), h = GetOHeight();
  int l = view->xleft, r = view->xright, t = view->ytop, b = view->ybottom;
  PaspectToFile(a, &l, &t);
  PaspectToFile(a, &r, &b);
  auto lim = [](int v, int m) { return v > m ? m : v; };
  *file = _ImgRect{lim(l, w) + cr.xleft, lim(r, w) + cr.xleft, lim(t, h) + cr.ytop,
                   lim(b, h) + cr.ytop};
  return true;
}

void PDisplayImage::CorrectAspect(int* xp, int* yp) const {
  if (dlp != nullptr)
    dlp->CorrectAspect(xp, yp);
  else
    PaspectToView(pixAspect, xp, yp);
}

void PDisplayImage::FalseColorDone() {
  if (fcs != nullptr) fcDone(fcs);
  fcs = nullptr;
  fcManual = -1;
}

bool PDisplayImage::GetHistogram(double* lim, unsigned int* hist, int nbins, PHistoChan chan,
                                 const _ImgRect* r) {
  if (!CheckLoad() || dlp == nullptr) return false;
  return dlp->GetHistogram(lim, hist, nbins, chan, r);
}

double PDisplayImage::AvgLuminance(const _ImgRect* r) {
  if (!CheckLoad() || dlp == nullptr) return 0.0;
  return dlp->AvgLuminance(r);
}

bool PDisplayImage::GetSubimage(_ImgStruct* dst, const _ImgRect* r, double* mult) {
  if (!CheckLoad() || dlp == nullptr) return false;
  return dlp->GetSubimage(dst, r, mult);
}

bool PDisplayImage::GetSubimageRows(_ImgStruct* dst, const _ImgRect* r, int fullH, int y0) {
  if (!CheckLoad() || dlp == nullptr) return false;
  return dlp->GetRows(dst, r, fullH, y0);
}

bool PDeleteTempImage(PDisplayImage* di, bool flag) {
  (void)flag;
  if (di == nullptr) return true;
  char path[1024] = "";
  if (PcurrentFile(path, sizeof path, di->GetRec()) == nullptr || unlink(path) != 0)
    DMESSAGE(DMCwarning, "Cannot delete temp image '%s'", path);
  return true;
}
