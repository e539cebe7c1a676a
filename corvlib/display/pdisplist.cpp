// Display frames: loading a frame from its file into swappable memory and mapping view
// rectangles of it to display pixels.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalog/pimginfo.h"
#include "catalog/plocate.h"
#include "display/pdispimg.h"
#include "display/pdisppriv.h"
#include "formats/wholeload.h"
#include "image/pbandread.h"
#include "image/pconvert.h"
#include "image/piresamp.h"
#include "support/dmessage.h"
#include "support/membudget.h"
#include "tonemap/tmloaders.h"

namespace {

void CloseAReader(_ImgReader* rd) {
  if (rd != nullptr && rd->ri != nullptr && rd->ri->Close != nullptr) rd->ri->Close(rd);
}

// Releases a chain of frames from f on: each frame that loses its last holder lets go of the
// next one, without recursion.
void ReleaseChain(PDisplayList* f) {
  while (f != nullptr) {
    PDisplayList* nx = nullptr;
    if (f->HolderCount() <= 1) {
      nx = f->next;
      f->next = nullptr;
    }
    f->CacheObject::HolderRelease();
    f = nx;
  }
}

// The part r of an image of w x h pixels widened, within the image, by the reach of the kernel
// that resamples r into dw x dh pixels: the cubic's two taps, or the Gaussian's 1.6 source
// steps of a destination pixel and the pixel under its centre, with room to spare.
_ImgRect WidenPart(const _ImgRect& r, int w, int h, int dw, int dh) {
  const int rx = 3 + static_cast<int>(2.0 * (r.xright - r.xleft) / std::max(dw, 1));
  const int ry = 3 + static_cast<int>(2.0 * (r.ybottom - r.ytop) / std::max(dh, 1));
  return _ImgRect{std::max(r.xleft - rx, 0), std::min(r.xright + rx, w), std::max(r.ytop - ry, 0),
                  std::min(r.ybottom + ry, h)};
}

// Resamples part r of im, which lies within wide (a part of the same image, at least r), into
// dst. The kernel sees the image's own pixels beyond r up to wide's edges: a part resampled
// alone equals the same pixels of a larger part resampled whole.
bool SizePart(_ImgStruct* dst, const _ImgStruct& im, const _ImgRect& wide, const _ImgRect& r) {
  const _ImgStruct v = DispView(im, wide);
  const _ImgSpan span{
      static_cast<double>(r.xleft - wide.xleft), static_cast<double>(r.ytop - wide.ytop),
      static_cast<double>(r.xright - r.xleft), static_cast<double>(r.ybottom - r.ytop)};
  return PsizeImageSpan(dst, &v, span, 1) != 0;
}

bool ReadsWhole(const _ImgReader* rd) {
  return !PreadInSlices(rd->xres, rd->yres);
}

}  // namespace

_ImgStruct DispView(const _ImgStruct& im, const _ImgRect& r) {
  _ImgStruct v = im;
  v.mbase = nullptr;
  v.xres = r.xright - r.xleft;
  v.yres = r.ybottom - r.ytop;
  const int ps = PpixelSize(im.csp);
  v.img =
      im.img + static_cast<ptrdiff_t>(r.ytop) * im.rowsize + static_cast<ptrdiff_t>(r.xleft) * ps;
  return v;
}

PDisplayList::PDisplayList(PDisplayImage* owner, int frameNo)
    : l_img(),
      c_img(),
      oxres(0),
      oyres(0),
      pixAspect(1.0f),
      tms(nullptr),
      invMap(nullptr),
      lossy(false),
      parent(owner),
      frame(frameNo),
      next(nullptr) {
  reproducible = true;
  l_img.csp = &ICS_Y16;
  c_img.csp = owner != nullptr ? &owner->cs : &ICS_sRGB;
  if (owner != nullptr) {
    oxres = owner->oxres;
    oyres = owner->oyres;
  }
}

PDisplayList::~PDisplayList() {
  PDisplayList* nx = next;
  next = nullptr;
  ReleaseChain(nx);
  if (tms != nullptr) tmDone(tms);
  tms = nullptr;
  std::free(invMap);
  invMap = nullptr;
  Free();
}

void PDisplayList::HolderRelease() {
  ReleaseChain(this);
}

void PDisplayList::FreeOriginal() {
  std::free(objCache);
  objCache = nullptr;
  l_img.img = nullptr;
  c_img.img = nullptr;
}

void PDisplayList::DropMemory() {
  Free();
  l_img.img = nullptr;
  c_img.img = nullptr;
}

void PDisplayList::CorrectAspect(int* xp, int* yp) const {
  PaspectToView(pixAspect, xp, yp);
}

bool PDisplayList::ViewToFrame(_ImgRect* fr, const _ImgRect* vr) const {
  int l = vr->xleft, t = vr->ytop, r = vr->xright, b = vr->ybottom;
  PaspectToFile(pixAspect, &l, &t);
  PaspectToFile(pixAspect, &r, &b);
  const _ImgRect s = DispShrinkRect(_ImgRect{l, r, t, b}, shrink);
  auto lim = [](int v, int m) { return v < 0 ? 0 : (v > m ? m : v); };
  *fr = _ImgRect{lim(s.xleft, l_img.xres), lim(s.xright, l_img.xres), lim(s.ytop, l_img.yres),
                 lim(s.ybottom, l_img.yres)};
  return fr->xleft < fr->xright && fr->ytop < fr->ybottom;
}

bool PDisplayList::ViewToPlane(_ImgRect* pr, const _ImgRect* vr) const {
  *pr = DispShrinkRect(*vr, shrink);
  const _ImgRect all = {0, c_img.xres, 0, c_img.yres};
  return PclipRect(pr, &all) != 0;
}

double PDisplayList::StoNitsScale() const {
  if (tms == nullptr || !(tms->inpsf > 0.0) || !std::isfinite(tms->inpsf)) return 1.0;
  // The picture's own factor, whatever the frame was read with: a frame read while the record
  // stated another (a calibration since undone) shows the luminance the picture has now.
  double sf = parent != nullptr ? PrecordStoNits(parent->ircd) : 0.0;
  if (sf <= 0.0) sf = fileStoNits > 0.0 ? fileStoNits : TM_UNSTATED_STONITS;
  return sf / tms->inpsf;
}

bool PDisplayList::NewOriginal() {
  if (parent == nullptr || loadFailed) return false;
  if (!DMASSERT(objCache == NULL)) return false;
  // Whatever fails below was reported once: the frame is not read again until reloaded, and
  // the most severe report made meanwhile is kept as the reason.
  struct FailOnce {
    PDisplayList* frame;
    const char* before[DMCinfo] = {};
    bool ok = false;
    explicit FailOnce(PDisplayList* f) : frame(f) {
      for (unsigned c = 0; c < DMCinfo; ++c) before[c] = dmessage_record[c];
    }
    ~FailOnce() {
      // A read the user stopped is no failure: the next use reads the picture again.
      if (ok || frame->loadStopped) return;
      frame->loadFailed = true;
      frame->failureText.clear();
      for (unsigned c = 0; c < DMCinfo; ++c)
        if (dmessage_record[c] != before[c] && dmessage_record[c] != nullptr) {
          frame->failureText = dmessage_record[c];
          break;
        }
    }
  } once(this);
  loadStopped = false;
  const bool q = parent->quiet;
  _ImgReader* rd = parent->ir;
  if (rd == nullptr) {
    rd = PopenImageD(parent->ircd, q);
    if (rd == nullptr) return false;
  }
  // Gives the reader back: kept by the parent only for later frames of multi-frame files.
  auto finish = [&](bool keep) {
    parent->nframes = rd->nframes;
    if (keep && frame > 0 && rd->nframes != 1) {
      parent->ir = rd;
    } else {
      if (parent->ir == rd) parent->ir = nullptr;
      CloseAReader(rd);
    }
  };
  if (frame > 0 && rd->nframes == 1) {
    finish(false);
    return false;
  }
  parent->frameType = rd->frameType;
  parent->frameRate = rd->frameRate;
  if (rd->frame != frame) {
    if (rd->ri->SeekFrame == nullptr || rd->ri->SeekFrame(rd, frame, IRSabs) != IREnone) {
      if (!q) PreportReaderErr(rd);
      finish(true);
      return false;
    }
  }
  oxres = rd->xres;
  oyres = rd->yres;
  pixAspect = (std::isfinite(rd->pixAspect) && rd->pixAspect > 0.0f) ? rd->pixAspect : 1.0f;
  parent->UpdateRec(parent->ircd);
  std::free(invMap);
  invMap = nullptr;
  bool ok = false;
  rd->errCode = IREnone;  // what the loads below leave is theirs
  const ImgDataType dt = rd->cs.dtype;
  const ImgPixelFormat pf = rd->cs.format;
  if (dt == IDTubyte && (pf == IPFrgb || pf == IPFy)) {
    if (tms != nullptr) tmDone(tms);
    tms = nullptr;
    ok = Load8bit(rd);
    if (ok) {
      AdjustExposure();
      if (pf == IPFrgb) RemoveRedEye(static_cast<const DBRecord*>(nullptr));
    }
    lossy = PmatchSuffix(rd->ri, "jpg") != 0;
  } else if ((dt == IDTushort || dt == IDTfloat) && (pf == IPFrgb || pf == IPFxyz || pf == IPFy)) {
    if (q)
      parent->newTMflags |= TMF_QUIET;
    else
      parent->newTMflags &= ~TMF_QUIET;
    if (pf == IPFy)
      parent->newTMflags |= TMF_GREY;
    else
      parent->newTMflags &= ~TMF_GREY;
    ok = LoadHDR(rd);
    if (ok) {
      // The planes must point into the new memory for the red-eye pass.
      l_img.img = static_cast<uint8_t*>(objCache);
      if (pf == IPFrgb) RemoveRedEye(static_cast<const DBRecord*>(nullptr));
    }
    lossy = true;
  } else {
    if (!q) DMESSAGE(DMCdata, "Unsupported image data format");
    parent->nframes = rd->nframes;
    if (parent->ir == rd) parent->ir = nullptr;
    CloseAReader(rd);
    return false;
  }
  // A picture whose pixels fail once its header opened is told as one that does not open.
  if (!ok && !q) PreportCannotOpen(rd);
  finish(true);
  if (!ok) {
    if (objCache != nullptr) std::free(objCache);
    objCache = nullptr;
    objSize = 0;
    l_img.img = c_img.img = nullptr;
    return false;
  }
  if (tms == nullptr) c_img.mbase = this;
  once.ok = true;
  return true;
}

int PDisplayList::LoadReduction(const _ImgReader* rd) const {
  int k = parent != nullptr ? std::max(parent->reduction, 1) : 1;
  while (k > 1 && (rd->xres / k < 1 || rd->yres / k < 1)) k /= 2;
  return k;
}

bool PDisplayList::FullSizeFits(_ImgReader* rd, size_t bpp) const {
  char msg[sizeof rd->errMsg];
  if (PpictureFits(rd->file, rd->xres, rd->yres, bpp, msg, sizeof msg)) return true;
  // Told once by the caller, as a picture that cannot be opened, in these words.
  rd->errCode = IREmemory;
  std::snprintf(rd->errMsg, sizeof rd->errMsg, "%s", msg);
  return false;
}

void PDisplayList::NoteTooLarge(_ImgReader* rd, int64_t w, int64_t h, size_t bpp) const {
  rd->errCode = IREmemory;
  PpictureTooLarge(rd->file, w, h, bpp, rd->errMsg, sizeof rd->errMsg);
}

bool PDisplayList::Load8bit(_ImgReader* rd) {
  shrink = 1;
  const int k = LoadReduction(rd);
  // Reduced and banded reads make RGB display pixels; another display space is read whole.
  if ((k > 1 || !ReadsWhole(rd)) && PpixelSize(&parent->cs) == 3) return LoadReduced8bit(rd, k);
  int w = rd->xres, h = rd->yres;
  PaspectToView(pixAspect, &w, &h);
  if (w < 1) w = 1;
  if (h < 1) h = 1;
  c_img.xres = w;
  c_img.yres = h;
  c_img.csp = &parent->cs;
  c_img.mbase = nullptr;
  c_img.img = nullptr;
  const int ps = PpixelSize(c_img.csp);
  size_t bytes = 0;
  if (ps <= 0 || !DispMulSize(&bytes, w, h, ps) || static_cast<size_t>(w) * ps > INT32_MAX) {
    objSize = 0;
    return false;
  }
  c_img.rowsize = w * ps;
  if (!FullSizeFits(rd, static_cast<size_t>(ps))) {
    objSize = 0;
    return false;
  }
  objSize = bytes;
  void* block = CacheMalloc(objSize, __FILE__, __LINE__);
  if (block == nullptr) {
    objSize = 0;
    NoteTooLarge(rd, w, h, static_cast<size_t>(ps));
    return false;
  }
  c_img.img = static_cast<uint8_t*>(block);
  // The reader's own fault is told as the file's, once, by the caller.
  if (!PrenderImageR(&c_img, rd, 1) || c_img.img != block || c_img.xres != w || c_img.yres != h) {
    if (c_img.img != block) PfreeImage(&c_img);
    std::free(block);
    c_img.img = nullptr;
    c_img.mbase = nullptr;
    c_img.xres = w;
    c_img.yres = h;
    objSize = 0;
    return false;
  }
  c_img.mbase = nullptr;
  objCache = block;
  return true;
}

bool PDisplayList::LoadReduced8bit(_ImgReader* rd, int k) {
  int sub = 1, m = 1;
  PBandReader::SplitReduction(rd, k, &sub, &m);
  shrink = sub * m;
  int w = rd->xres, h = rd->yres;
  PaspectToView(pixAspect, &w, &h);
  w = std::max(w / shrink, 1);
  h = std::max(h / shrink, 1);
  c_img = _ImgStruct{w, h, &parent->cs, 0, nullptr, nullptr};
  objSize = 0;
  const int ps = PpixelSize(c_img.csp);
  size_t bytes = 0;
  if (ps != 3 || !DispMulSize(&bytes, w, h, ps) || static_cast<size_t>(w) * ps > INT32_MAX ||
      (shrink == 1 && !FullSizeFits(rd, static_cast<size_t>(ps)))) {
    shrink = 1;
    return false;
  }
  c_img.rowsize = w * ps;
  // Delivered as a whole render would ask: grey as grey, the file's own RGB when it is 8-bit
  // RGB, else the display's.
  _ImgColorSpace want = *c_img.csp;
  if (rd->cs.format == IPFy)
    want = ICS_Y8;
  else if (PmatchColorSpace(&rd->cs, &ICS_sRGB, 3))
    want = rd->cs;
  PBandReader br;
  const int fw = rd->xres / sub / m, fh = rd->yres / sub / m;
  const bool direct = fw == w && fh == h;
  uint8_t* block = static_cast<uint8_t*>(CacheMalloc(bytes, __FILE__, __LINE__));
  uint8_t* tmp = nullptr;
  if (block != nullptr && !direct)
    tmp = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(fw) * fh * 3));
  bool ok = block != nullptr && (direct || tmp != nullptr);
  ok = ok && br.Begin(rd, want, sub, m, [&](int y, const void* row) {
    uint8_t* d = direct ? block + static_cast<size_t>(y) * c_img.rowsize
                        : tmp + static_cast<size_t>(y) * fw * 3;
    const _ImgColorSpace& dcs = br.DeliveredCS();
    if (dcs.dtype != IDTubyte) return false;
    if (dcs.format == IPFy)
      PgetRGB24fromY8(d, static_cast<const uint8_t*>(row), fw);
    else if (PpixelSize(&dcs) == 3)
      std::memcpy(d, row, static_cast<size_t>(fw) * 3);
    else
      return false;
    return true;
  });
  ok = ok && br.ReadSliced(&loadStopped);
  if (ok) {
    // Grey rows were spread to RGB as they came.
    _ImgColorSpace got = br.DeliveredCS();
    if (got.format == IPFy) got = ICS_sRGB;
    if (direct) {
      c_img.img = block;
      if (!PmatchColorSpace(&got, c_img.csp, 31)) {
        const _ImgColorSpace* dispCS = c_img.csp;
        c_img.csp = &got;
        ok = PconvertColorSpace(&c_img, dispCS, 1.0f) != 0 && c_img.img == block;
        c_img.csp = dispCS;
      }
    } else {
      _ImgStruct t = _ImgStruct{fw, fh, &got, fw * 3, nullptr, tmp};
      c_img.img = block;
      ok = PsizeImage(&c_img, &t, 1) != 0 && c_img.img == block;
    }
  }
  std::free(tmp);
  if (!ok) {
    if (c_img.img != nullptr && c_img.img != block) PfreeImage(&c_img);
    std::free(block);
    c_img.img = nullptr;
    c_img.mbase = nullptr;
    objSize = 0;
    return false;
  }
  c_img.mbase = nullptr;
  objSize = bytes;
  objCache = block;
  return true;
}

bool PDisplayList::LoadHDR(_ImgReader* rd) {
  if (parent == nullptr || rd == nullptr || (rd->cs.dtype != IDTushort && rd->cs.dtype != IDTfloat))
    return false;
  if (tms != nullptr) tmDone(tms);
  tms = nullptr;
  if (!DMASSERT(c_img.csp != NULL)) return false;
  const bool q = parent->quiet;
  tms = tmInit(parent->newTMflags, parent->cs.chroma, parent->cs.gamma);
  if (tms == nullptr) {
    if (!q) DMESSAGE(DMCdata, "Cannot set tone-mapping for '%s'", rd->file);
    return false;
  }
  shrink = 1;
  // The factor the file states goes into the record, whichever way the pixels are read; the
  // display scales what a whole-file load took for its input by the record's factor.
  fileStoNits = 0.0;
  {
    _ImgInfo* info = static_cast<_ImgInfo*>(std::calloc(1, sizeof(_ImgInfo)));
    if (info != nullptr && rd->ri->GetInfo != nullptr && rd->ri->GetInfo(rd, info) == IREnone &&
        (info->flags & IIFstonits) != 0 && std::isfinite(info->stonits) && info->stonits > 0)
      fileStoNits = info->stonits;
    std::free(info);
  }
  if (PrecordStoNits(parent->ircd) <= 0.0 && fileStoNits > 0.0)
    parent->ircd.SetField(PDBFstonits, static_cast<float>(fileStoNits));
  const int k = LoadReduction(rd);
  if (k == 1 && ReadsWhole(rd)) {
    // Brightness and chroma of every pixel, whichever way the file is loaded.
    if (!FullSizeFits(rd, (tms->flags & TMF_GREY) != 0 ? 2 : 5)) {
      tmDone(tms);
      tms = nullptr;
      return false;
    }
    if (LoadHDRspecial(rd)) return true;
  }

  double sf = PrecordStoNits(parent->ircd);
  if (sf <= 0.0) sf = TM_UNSTATED_STONITS;
  auto fail = [&]() {
    std::free(objCache);
    objCache = nullptr;
    objSize = 0;
    l_img.img = c_img.img = nullptr;
    tmDone(tms);
    tms = nullptr;
    return false;
  };
  // CIE XYZ as it is, RGB in the file's primaries; a grey space holds only its white, so grey
  // is taken in the display's primaries, as the whole-file loaders take it.
  RGBPRIMP inPrims = rd->cs.chroma;
  if (rd->cs.format == IPFxyz)
    inPrims = nullptr;
  else if (rd->cs.format == IPFy)
    inPrims = tms->monpri;
  if (tmSetSpace(tms, inPrims, sf, nullptr) != TMERR_NONE) {
    if (!q) DMESSAGE(DMCdata, "Cannot set color space for '%s'", rd->file);
    return fail();
  }
  const bool grey = (tms->flags & TMF_GREY) != 0;
  int sub = 1, m = 1;
  PBandReader::SplitReduction(rd, k, &sub, &m);
  shrink = sub * m;
  const int fw = rd->xres / shrink, fh = rd->yres / shrink;
  size_t npix = 0;
  if (!DispMulSize(&npix, fw, fh, 1) || npix > SIZE_MAX / 5 ||
      static_cast<size_t>(fw) * 3 > INT32_MAX)
    return fail();
  if (shrink == 1 && !FullSizeFits(rd, grey ? 2 : 5)) return fail();
  objSize = npix * (grey ? 2 : 5);
  objCache = CacheMalloc(objSize, __FILE__, __LINE__);
  if (objCache == nullptr) {
    NoteTooLarge(rd, rd->xres, rd->yres, grey ? 2 : 5);
    return fail();
  }
  uint8_t* block = static_cast<uint8_t*>(objCache);
  l_img = _ImgStruct{fw, fh, &ICS_Y16, fw * 2, nullptr, block};
  c_img = _ImgStruct{fw, fh, &parent->cs, fw * 3, nullptr, grey ? nullptr : block + npix * 2};

  if (shrink > 1 || !ReadsWhole(rd)) {
    // Read in bands, reduced on the way, a slice at a time. Every row is written, or the
    // frame fails as a whole: nothing unread is ever shown.
    PBandReader br;
    _ImgColorSpace want = rd->cs;
    want.cstatic = 0;
    bool mapped = true;
    const bool ok = br.Begin(rd, want, sub, m, [&](int y, const void* row) {
      const _ImgColorSpace& dcs = br.DeliveredCS();
      if (!PmatchColorSpace(&dcs, &rd->cs, 3)) return false;
      TMbright* ls =
          reinterpret_cast<TMbright*>(l_img.img + static_cast<size_t>(y) * l_img.rowsize);
      uint8_t* cp =
          c_img.img != nullptr ? c_img.img + static_cast<size_t>(y) * c_img.rowsize : nullptr;
      const bool greyIn = dcs.format == IPFy;
      int e;
      if (dcs.dtype == IDTfloat)
        e = greyIn ? tmCvGrays(tms, ls, static_cast<const float*>(row), fw)
                   : tmCvColors(tms, ls, cp, static_cast<const COLOR*>(row), fw);
      else
        e = greyIn ? tmCvGray16(tms, ls, static_cast<const unsigned short*>(row), fw, dcs.gamma)
                   : tmCvRGB48(tms, ls, cp, static_cast<const unsigned short(*)[3]>(row), fw,
                               dcs.gamma);
      mapped = e == TMERR_NONE;
      return mapped;
    }) && br.ReadSliced(&loadStopped);
    if (!ok) {
      if (!mapped && !q) DMESSAGE(DMCdata, "Cannot map luminances in HDR image '%s'", rd->file);
      return fail();
    }
    return true;
  }

  // A reader that stops short must leave no stale heap bytes on show: unread pixels are black.
  std::fill_n(reinterpret_cast<TMbright*>(block), npix, static_cast<TMbright>(TM_NOBRT));
  if (!grey) std::memset(block + npix * 2, 0, npix * 3);

  _ImgReadBuf rb;
  std::memset(&rb, 0, sizeof rb);
  rb.cs = rd->cs;
  rb.cs.cstatic = 0;
  rb.subsample = 1;
  const _ImgRect whole = {0, rd->xres, 0, rd->yres};
  rb.r = rd->nr;
  if (!(rb.r.xleft < rb.r.xright && rb.r.ytop < rb.r.ybottom && rb.r.xleft >= 0 && rb.r.ytop >= 0 &&
        rb.r.xright <= rd->xres && rb.r.ybottom <= rd->yres))
    rb.r = whole;
  const int ps = PpixelSize(&rb.cs);
  const bool isFloat = rb.cs.dtype == IDTfloat;
  const bool greyIn = rb.cs.format == IPFy;
  void* buf = nullptr;
  size_t rowsRead = 0;  // pixels delivered
  const size_t guardMax = static_cast<size_t>(rd->yres) + static_cast<size_t>(rd->xres) + 16;
  for (size_t guard = 0; guard < guardMax; ++guard) {
    const _ImgRect want = rb.r;
    rb.bufsize = PreadBufBytes(&rb);
    if (rb.bufsize == 0) break;
    void* nb = std::realloc(buf, rb.bufsize);
    if (nb == nullptr) {
      std::free(buf);
      return fail();
    }
    buf = nb;
    rb.buf = buf;
    const ImgReadErr err = rd->ri->ReadRec != nullptr ? rd->ri->ReadRec(rd, &rb) : IREunsupported;
    if (err != IREnone || std::memcmp(&rb.r, &want, sizeof want) != 0 ||
        !PmatchColorSpace(&rb.cs, &rd->cs, 3)) {
      if (rd->errCode == IREnone) rd->errCode = err != IREnone ? err : IREunsupported;
      std::free(rb.buf != buf ? rb.buf : nullptr);
      std::free(buf);
      return fail();
    }
    const uint8_t* src = static_cast<const uint8_t*>(rb.buf);
    const int w = want.xright - want.xleft;
    const size_t srow = static_cast<size_t>(w) * ps;
    for (int y = want.ytop; y < want.ybottom; ++y, src += srow) {
      TMbright* ls =
          reinterpret_cast<TMbright*>(l_img.img + static_cast<size_t>(y) * l_img.rowsize) +
          want.xleft;
      uint8_t* cp = c_img.img != nullptr
                        ? c_img.img + static_cast<size_t>(y) * c_img.rowsize + 3 * want.xleft
                        : nullptr;
      int e;
      if (isFloat) {
        e = greyIn ? tmCvGrays(tms, ls, reinterpret_cast<const float*>(src), w)
                   : tmCvColors(tms, ls, cp, reinterpret_cast<const COLOR*>(src), w);
      } else {
        e = greyIn
                ? tmCvGray16(tms, ls, reinterpret_cast<const unsigned short*>(src), w, rb.cs.gamma)
                : tmCvRGB48(tms, ls, cp, reinterpret_cast<const unsigned short(*)[3]>(src), w,
                            rb.cs.gamma);
      }
      if (e != TMERR_NONE) {
        if (!q) DMESSAGE(DMCdata, "Cannot map luminances in HDR image '%s'", rd->file);
        if (rb.buf != buf) std::free(rb.buf);
        std::free(buf);
        return fail();
      }
    }
    if (rb.buf != buf) std::free(rb.buf);
    rowsRead += static_cast<size_t>(want.ybottom - want.ytop) * static_cast<size_t>(w);
    // The reader's next rectangle (files stored bottom up propose rows upwards); the load
    // ends when it is empty, outside, or the one just read.
    const _ImgRect nr = rd->nr;
    if (!(nr.xleft < nr.xright && nr.ytop < nr.ybottom && nr.xleft >= 0 && nr.ytop >= 0 &&
          nr.xright <= rd->xres && nr.ybottom <= rd->yres) ||
        std::memcmp(&nr, &want, sizeof nr) == 0)
      break;
    rb.r = nr;
    rb.cs = rd->cs;
    rb.cs.cstatic = 0;
  }
  std::free(buf);
  if (rowsRead < npix && !q)
    DMESSAGE(DMCwarning, "'%s' delivered only part of its pixels", rd->file);
  return true;
}

bool PDisplayList::LoadHDRspecial(_ImgReader* rd) {
  if (frame != 0 || rd->cs.logorig != 0.0f || tms == nullptr) return false;
  const PWholeLoader loader = PwholeLoader(rd);
  if (loader == PWLnone) return false;
  size_t npix = 0;
  if (!DispMulSize(&npix, rd->xres, rd->yres, 1) || npix > SIZE_MAX / 5) return false;
  CacheMakeRoom(npix * 5);
  TMbright* ls = nullptr;
  uint8_t* cs = nullptr;
  int xr = 0, yr = 0;
  // A whole-file load that fails is not told: the rows are read instead, and whatever is
  // wrong with the file is reported there.
  const int flags = tms->flags;
  tms->flags |= TMF_QUIET;
  const int err = PwholeLoad(rd, loader, tms, &ls, &cs, &xr, &yr);
  tms->flags = flags;
  if (err != TMERR_NONE || ls == nullptr) {
    std::free(ls);
    std::free(cs);
    return false;
  }
  if (xr != rd->xres || yr != rd->yres) {
    DMESSAGE(DMCwarning, "Whole-file load of '%s' gave %d x %d for %d x %d; reading by rows",
             rd->file, xr, yr, rd->xres, rd->yres);
    std::free(ls);
    std::free(cs);
    return false;
  }
  if (cs == nullptr) {
    objCache = ls;
    objSize = npix * 2;
  } else {
    // The brightness array grows into the frame's block (large blocks are remapped, not
    // copied) and the chroma follows it.
    void* block = std::realloc(ls, npix * 5);
    if (block == nullptr) {
      DMESSAGE(DMCmemory, "Cannot allocate %zu bytes for '%s'", npix * 5, rd->file);
      std::free(ls);
      std::free(cs);
      return false;
    }
    std::memcpy(static_cast<uint8_t*>(block) + npix * 2, cs, npix * 3);
    std::free(cs);
    objCache = block;
    objSize = npix * 5;
  }
  uint8_t* b = static_cast<uint8_t*>(objCache);
  l_img = _ImgStruct{xr, yr, &ICS_Y16, xr * 2, nullptr, b};
  c_img = _ImgStruct{xr, yr, &parent->cs, xr * 3, nullptr, cs != nullptr ? b + npix * 2 : nullptr};
  return true;
}

bool PDisplayList::CheckLoad() {
  if (parent == nullptr) return false;
  if (parent->NeedsReload(frame) && !InUse()) {
    DropMemory();
    parent->ClearReload(frame);
  }
  if (!IsResident()) {
    void* m = GetCacheObject();
    if (m == nullptr) return false;
    ReleaseObject(m);
  }
  parent->UpdateRec(parent->ircd);
  return true;
}

bool PDisplayList::GetPointers() {
  if (parent == nullptr) return false;
  if (tms != nullptr && ((tms->flags ^ parent->newTMflags) & TMF_MESOPIC) != 0)
    parent->MarkReload(frame);
  double keepMult = 0.0;
  if (parent->NeedsReload(frame)) {
    if (InUse()) {
      DMESSAGE(DMCparameter, "Cannot reload image -- active reference");
    } else {
      if (tms != nullptr && (tms->flags & TMF_LINEAR) && (parent->newTMflags & TMF_LINEAR))
        keepMult = GetMultiplier(tms);
      DropMemory();
      parent->ClearReload(frame);
    }
  }
  l_img.img = c_img.img = nullptr;
  void* m = GetCacheObject();
  if (m == nullptr) return false;
  uint8_t* block = static_cast<uint8_t*>(m);
  _ImgRect cr;
  const bool cropped = parent->CropRect(&cr);
  const int sh = std::max(shrink, 1);
  if (tms != nullptr) {
    const int fw = oxres / sh, fh = oyres / sh;
    size_t npix = 0;
    if (!DispMulSize(&npix, fw, fh, 2) || npix > objSize) {
      // The recorded size no longer describes the memory (a reload refused while in use).
      ReleaseObject(m);
      return false;
    }
    npix /= 2;
    l_img = _ImgStruct{fw, fh, &ICS_Y16, fw * 2, nullptr, block};
    c_img = _ImgStruct{fw, fh, &parent->cs, fw * 3, nullptr, nullptr};
    if (objSize > npix * 2) c_img.img = block + npix * 2;
    if (cropped) {
      _ImgRect pr = DispShrinkRect(cr, sh);
      const _ImgRect all = {0, fw, 0, fh};
      if (PclipRect(&pr, &all)) {
        l_img = DispView(l_img, pr);
        if (c_img.img != nullptr) c_img = DispView(c_img, pr);
      }
    }
  } else {
    int w = oxres, h = oyres;
    CorrectAspect(&w, &h);
    w /= sh;
    h /= sh;
    if (w < 1) w = 1;
    if (h < 1) h = 1;
    const int ps = PpixelSize(&parent->cs);
    c_img = _ImgStruct{w, h, &parent->cs, w * ps, this, block};
    size_t need = 0;
    if (ps <= 0 || !DispMulSize(&need, w, h, ps) || need > objSize) {
      // Memory of another layout (an unfinished reload): show nothing rather than overrun.
      ReleaseObject(m);
      c_img.img = nullptr;
      return false;
    }
    if (cropped) {
      _ImgRect vr = cr;
      CorrectAspect(&vr.xleft, &vr.ytop);
      CorrectAspect(&vr.xright, &vr.ybottom);
      vr = DispShrinkRect(vr, sh);
      const _ImgRect all = {0, w, 0, h};
      if (PclipRect(&vr, &all)) {
        c_img = DispView(c_img, vr);
        c_img.mbase = this;
      }
    }
  }
  DMASSERT(HolderCount() > 0);
  DMASSERT(InUse());
  if (keepMult > 0.0) ResetLinear(keepMult);
  return true;
}

void PDisplayList::ReleasePointers() {
  if (objCache != nullptr) ReleaseObject(objCache);
}

bool PDisplayList::GetSubimage(_ImgStruct* dst, const _ImgRect* r, double* mult) {
  if (dst == nullptr || parent == nullptr || dst->csp == nullptr) return false;
  const bool q = parent->quiet;
  if (!PmatchColorSpace(dst->csp, &parent->cs, 3)) {
    if (!q) DMESSAGE(DMCparameter, "Request for illegal pixel type");
    return false;
  }
  if (!PmatchColorSpace(dst->csp, &parent->cs, 31) && !q)
    DMESSAGE(DMCwarning, "Non-matching color space request");
  if (!GetPointers()) return false;
  const _ImgRect whole = {0, parent->ior.xres, 0, parent->ior.yres};
  const bool local = r != nullptr && mult != nullptr;
  if (r == nullptr) r = &whole;
  bool ok;
  if (tms == nullptr) {
    if (dst->img != nullptr && dst->mbase == this) PfreeImage(dst);
    _ImgRect sr;
    ok = c_img.img != nullptr && ViewToPlane(&sr, r);
    if (ok) {
      if (dst->img == nullptr && dst->xres == sr.xright - sr.xleft &&
          dst->yres == sr.ybottom - sr.ytop && PmatchColorSpace(dst->csp, &parent->cs, 31)) {
        // The request shares the frame's pixels but keeps its own colour space pointer: the
        // display image's may go before the request lets go of the pixels.
        const _ImgColorSpace* want = dst->csp;
        ok = PlinkSubimage(dst, &c_img, &sr) != 0;
        dst->csp = want;
      } else if (dst->xres == sr.xright - sr.xleft && dst->yres == sr.ybottom - sr.ytop) {
        _ImgStruct tmp = DispView(c_img, sr);
        ok = PsizeImage(dst, &tmp, 1) != 0;
      } else {
        ok = SizePart(dst, c_img, WidenPart(sr, c_img.xres, c_img.yres, dst->xres, dst->yres), sr);
      }
    }
    if (mult != nullptr) *mult = 1.0;
  } else if (local) {
    ok = MapSubimage(dst, r, mult);
  } else {
    ok = MapSubimage(dst, r, nullptr);
    if (mult != nullptr) *mult = GetMultiplier(tms);
  }
  ReleasePointers();
  return ok;
}

bool PDisplayList::PrepareMapping(const _ImgRect* fr) {
  bool redone = false;
  if (tms->histo == nullptr || fr != nullptr) {
    if (!RedoHisto(fr)) return false;
    redone = true;
  }
  constexpr int kMapBits = TMF_HCONTRAST | TMF_MESOPIC | TMF_LINEAR;
  if (((parent->newTMflags ^ tms->flags) & kMapBits) != 0 || redone || tms->lumap == nullptr) {
    tms->flags = (tms->flags & ~kMapBits) | (parent->newTMflags & kMapBits);
    if (tmPictureMapping(tms, parent->cs.gamma, parent->dynrange, parent->dlmax) != TMERR_NONE)
      return false;
  }
  FCstruct* fc = parent->fcs;
  if (fc != nullptr && parent->fcManual < 1) {
    parent->fcManual = 0;
    if (tms->flags & TMF_LINEAR)
      fcLinearMapping(fc, tms, 1.0);
    else
      fcLogMapping(fc, tms, 1.0);
  }
  return true;
}

bool PDisplayList::MapRect(_ImgStruct* target, const _ImgRect& mr) {
  const int ps = PpixelSize(target->csp);
  if (ps != 1 && ps != 3) return false;
  FCstruct* fc = parent->fcs;
  const bool useFC = fc != nullptr && fc->lumap != nullptr && ps == 3;
  const int mw = mr.xright - mr.xleft, mh = mr.ybottom - mr.ytop;
  for (int y = 0; y < mh; ++y) {
    const TMbright* ls = reinterpret_cast<const TMbright*>(
                             l_img.img + static_cast<ptrdiff_t>(mr.ytop + y) * l_img.rowsize) +
                         mr.xleft;
    uint8_t* out = target->img + static_cast<ptrdiff_t>(y) * target->rowsize;
    const uint8_t* cp =
        c_img.img != nullptr
            ? c_img.img + static_cast<ptrdiff_t>(mr.ytop + y) * c_img.rowsize + 3 * mr.xleft
            : nullptr;
    int e;
    if (useFC) {
      e = fcMapPixels(fc, out, ls, mw);
    } else if (ps == 3 && cp != nullptr) {
      e = tmMapPixels(tms, out, ls, cp, mw);
    } else {
      e = tmMapPixels(tms, out, ls, nullptr, mw);
      if (e == TMERR_NONE && ps == 3) PgetRGB24fromY8(out, out, mw);
    }
    if (e != TMERR_NONE) return false;
  }
  return true;
}

bool PDisplayList::MapSubimage(_ImgStruct* dst, const _ImgRect* r, double* mult) {
  if (parent == nullptr || dst == nullptr || l_img.img == nullptr || r == nullptr ||
      tms == nullptr || dst->csp == nullptr)
    return false;
  if (!(r->xleft < r->xright && r->ytop < r->ybottom && r->xleft >= 0 && r->ytop >= 0 &&
        r->xright <= parent->ior.xres && r->ybottom <= parent->ior.yres))
    return false;
  _ImgRect fr;
  if (!ViewToFrame(&fr, r)) return false;
  const int fw = fr.xright - fr.xleft, fh = fr.ybottom - fr.ytop;
  // Resampled, the frame's pixels are mapped as far beyond fr as the kernel reaches.
  const bool resized = dst->xres != fw || dst->yres != fh;
  const _ImgRect mr = resized ? WidenPart(fr, l_img.xres, l_img.yres, dst->xres, dst->yres) : fr;
  const int mw = mr.xright - mr.xleft, mh = mr.ybottom - mr.ytop;
  const bool allocated = dst->img == nullptr;
  _ImgStruct tmp = {};
  bool ok = false;
  do {
    if (allocated && !PnewImage(dst, 0)) break;
    _ImgStruct* target = dst;
    if (resized) {
      tmp.xres = mw;
      tmp.yres = mh;
      tmp.csp = dst->csp;
      if (!PnewImage(&tmp, 0)) break;
      target = &tmp;
    }
    const int ps = PpixelSize(target->csp);
    if (ps != 1 && ps != 3) break;
    if (!PrepareMapping(mult != nullptr ? &fr : nullptr)) break;
    ok = MapRect(target, mr);
    if (ok && target == &tmp)
      ok = SizePart(dst, tmp, _ImgRect{0, mw, 0, mh},
                    _ImgRect{fr.xleft - mr.xleft, fr.xright - mr.xleft, fr.ytop - mr.ytop,
                             fr.ybottom - mr.ytop});
  } while (false);
  PfreeImage(&tmp);
  if (!ok) {
    if (!parent->quiet) DMESSAGE(DMCdata, "Cannot map HDR pixels in MapSubimage");
    if (mult != nullptr) tmClearHisto(tms);
    if (allocated) PfreeImage(dst);
    return false;
  }
  if (mult != nullptr) {
    *mult = GetMultiplier(tms);
    tmClearHisto(tms);
  }
  return true;
}

bool PDisplayList::GetRows(_ImgStruct* dst, const _ImgRect* r, int fullH, int y0) {
  if (dst == nullptr || parent == nullptr || dst->csp == nullptr || r == nullptr || dst->xres < 1 ||
      dst->yres < 1 || y0 < 0 || fullH < y0 + dst->yres ||
      !PmatchColorSpace(dst->csp, &parent->cs, 3))
    return false;
  if (!GetPointers()) return false;
  const bool allocated = dst->img == nullptr;
  bool ok = false;
  _ImgStruct tmp = {};
  do {
    // The part of the frame (or of its 8-bit plane) the whole rendering covers.
    _ImgRect pr;
    const _ImgStruct& plane = tms != nullptr ? l_img : c_img;
    if (plane.img == nullptr || !(tms != nullptr ? ViewToFrame(&pr, r) : ViewToPlane(&pr, r)))
      break;
    if (tms != nullptr && !PrepareMapping(nullptr)) break;
    const int pw = pr.xright - pr.xleft, ph = pr.ybottom - pr.ytop;
    if (allocated && !PnewImage(dst, 0)) break;
    if (dst->xres == pw && fullH == ph) {
      // At the plane's own size: its rows as they are.
      const _ImgRect rows = {pr.xleft, pr.xright, pr.ytop + y0, pr.ytop + y0 + dst->yres};
      if (tms != nullptr) {
        ok = MapRect(dst, rows);
      } else {
        const _ImgStruct v = DispView(c_img, rows);
        ok = PsizeImage(dst, &v, 1) != 0;
      }
      break;
    }
    // The rows' part of the plane with the pixels beyond it that the kernel reaches, resampled
    // as rows y0 on of the whole: the same kernel and the same sample positions, whatever the
    // band's height.
    const double k = static_cast<double>(ph) / fullH;
    const double sy = pr.ytop + y0 * k, sh = dst->yres * k;
    const int top = std::max(pr.ytop, static_cast<int>(std::floor(sy)));
    const int bottom = std::min(pr.ybottom, static_cast<int>(std::ceil(sy + sh)));
    const _ImgRect wide = WidenPart(_ImgRect{pr.xleft, pr.xright, top, std::max(bottom, top + 1)},
                                    plane.xres, plane.yres, dst->xres, dst->yres);
    const _ImgSpan span{static_cast<double>(pr.xleft - wide.xleft),
                        static_cast<double>(pr.ytop - wide.ytop),
                        static_cast<double>(pw),
                        static_cast<double>(ph),
                        y0,
                        fullH};
    if (tms != nullptr) {
      tmp.xres = wide.xright - wide.xleft;
      tmp.yres = wide.ybottom - wide.ytop;
      tmp.csp = dst->csp;
      ok = PnewImage(&tmp, 0) && MapRect(&tmp, wide) && PsizeImageSpan(dst, &tmp, span, 1) != 0;
    } else {
      const _ImgStruct v = DispView(c_img, wide);
      ok = PsizeImageSpan(dst, &v, span, 1) != 0;
    }
  } while (false);
  PfreeImage(&tmp);
  ReleasePointers();
  if (!ok && allocated) PfreeImage(dst);
  return ok;
}

double PDisplayList::GetMultiplier(const TMstruct* t) const {
  if (t == nullptr || t->lumap == nullptr || t->mbrmax < t->mbrmin) return 1.0;
  const int n = t->mbrmax - t->mbrmin;
  // A map that shows everything black (a picture without light) applies no exposure.
  if (t->lumap[n] == 0) return 1.0;
  int i = 0;
  while (i < n && t->lumap[i] < 128) ++i;
  const double b = t->mbrmin + i;
  const double g = t->mongam > 0 ? t->mongam : 2.2;
  return std::pow((t->lumap[i] + 0.5) / 256.0, g) * t->inpsf / std::exp(b / 128.0);
}

bool PDisplayList::ResetLinear(double m) {
  if (!(m > 0.0) || tms == nullptr) return false;
  if (tms->histo == nullptr && !RedoHisto(nullptr)) return false;
  // A picture without light shows black at any exposure.
  if (tmHistoEmpty(tms)) return tmBlackMapping(tms) == TMERR_NONE;
  return tmFixedMapping(tms, m, parent != nullptr ? parent->cs.gamma : 2.2) == TMERR_NONE;
}

bool PDisplayList::SetFixedLinear(double m) {
  if (!GetPointers()) return false;
  bool ok = false;
  if (tms != nullptr) {
    constexpr int kMapBits = TMF_HCONTRAST | TMF_MESOPIC | TMF_LINEAR;
    tms->flags = (tms->flags & ~kMapBits) | (parent->newTMflags & kMapBits);
    ok = ResetLinear(m);
    if (!ok && !parent->quiet) DMESSAGE(DMCwarning, "Cannot set fixed linear tone-mapping");
  }
  ReleasePointers();
  return ok;
}
