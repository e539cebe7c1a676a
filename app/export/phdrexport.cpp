// High-dynamic-range pictures read for export: the floating-point pixels of a record's file at
// the wanted size, cropped, trimmed to an aspect and oriented, for a JPEG-HDR file.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "app/export/ptrader.h"
#include "catalog/plocate.h"
#include "display/pdispimg.h"
#include "image/pbandread.h"
#include "image/pireader.h"
#include "image/piresamp.h"
#include "support/dmessage.h"
#include "support/membudget.h"

namespace {

const char* const kHDRFormats[] = {
    "EXR ",         "Vortelux ",    "TIFF RLE-Log ", "TIFF 24-bit-Log ",
    "TIFF 48-bit ", "TIFF 96-bit ", "JPEG HDR "};

void CloseReader(_ImgReader* ir) {
  if (ir != nullptr && ir->ri != nullptr && ir->ri->Close != nullptr) ir->ri->Close(ir);
}

// a * b / c in 64 bits, at least 1.
int Scale(int64_t a, int64_t b, int64_t c) {
  const int64_t v = c > 0 ? a * b / c : a;
  return static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(v, INT32_MAX)));
}

// Renders the reader's picture into im (size and colour space set) as PrenderImageR does; a
// large picture is read in bands, reduced to about twice im's size on the way, a slice at a
// time (a Stop ends it as a failure), and at full size only when memory can hold it.
bool RenderReduced(_ImgStruct* im, _ImgReader* ir) {
  const int k = PBandReader::ReductionFor(ir->xres, ir->yres, im->xres, im->yres);
  if (k == 1 && !PreadInSlices(ir->xres, ir->yres)) return PrenderImageR(im, ir, 0) != 0;
  int sub = 1, m = 1;
  PBandReader::SplitReduction(ir, k, &sub, &m);
  const int ps = PpixelSize(&ir->cs);
  char msg[300];
  if (ps <= 0 || !PpictureFits(ir->file, ir->xres / (sub * m), ir->yres / (sub * m),
                               static_cast<size_t>(ps), msg, sizeof msg)) {
    DMESSAGE(DMCresource, "Cannot open '%s': %s", ir->file, msg);
    return false;
  }
  _ImgStruct t = {};
  t.xres = ir->xres / (sub * m);
  t.yres = ir->yres / (sub * m);
  t.csp = &ir->cs;
  if (!PnewImage(&t, 0)) return false;
  PBandReader br;
  bool ok = br.Begin(ir, ir->cs, sub, m, [&](int y, const void* row) {
    if (!PmatchColorSpace(&br.DeliveredCS(), &ir->cs, 3)) return false;
    std::memcpy(t.img + static_cast<ptrdiff_t>(y) * t.rowsize, row,
                static_cast<size_t>(t.xres) * static_cast<size_t>(ps));
    return true;
  });
  ok = ok && br.ReadSliced();
  if (!ok && ir->errCode != IREnone) PreportReaderErr(ir);
  const float p = ir->pixAspect > 0 ? ir->pixAspect : 1.0f;
  ok = ok && PnewImage(im, static_cast<double>(ir->yres) / (ir->xres * p)) &&
       PsizeImage(im, &t, 1) != 0;
  PfreeImage(&t);
  return ok;
}

}  // namespace

bool formatIsHDR(const char* format) {
  if (format == nullptr) return false;
  for (const char* p : kHDRFormats)
    if (std::strncmp(format, p, std::strlen(p)) == 0) return true;
  return false;
}

bool loadHDRImage(const PImageRing& ring, _ImgStruct* im, int maxwidth, int maxheight,
                  _ImgWriteBuf* wbp, float aspect) {
  if (im == nullptr) return false;
  POrient orient = ring.ior;
  _ImgReader* ir = PopenImageD(ring.GetRec(), false);
  if (ir == nullptr) return false;
  if (ir->cs.dtype != IDTfloat || ir->xres < 1 || ir->yres < 1) {
    CloseReader(ir);
    return false;
  }
  if (orient.xyswap) std::swap(maxwidth, maxheight);
  DMASSERT_AS(!ir->cs.cstatic, "!ir->cs.cstatic");
  DMASSERT_AS(im->img == nullptr, "im->img == NULL");
  if (im->img != nullptr) PfreeImage(im);

  // The picture's size with square pixels.
  const float p = ir->pixAspect > 0 ? ir->pixAspect : 1.0f;
  int width = ir->xres, height = ir->yres;
  if (p <= 1.0f)
    width = std::max(1, static_cast<int>(width * p + 0.5f));
  else
    height = std::max(1, static_cast<int>(height / p + 0.5f));

  _ImgRect crop;
  bool cropped = ring.CropRect(&crop);
  // The crop lies within the file's frame (a record may be older than its file).
  crop.xleft = std::max(0, std::min(crop.xleft, ir->xres - 1));
  crop.ytop = std::max(0, std::min(crop.ytop, ir->yres - 1));
  crop.xright = std::max(crop.xleft + 1, std::min(crop.xright, ir->xres));
  crop.ybottom = std::max(crop.ytop + 1, std::min(crop.ybottom, ir->yres));
  int cw = crop.xright - crop.xleft, ch = crop.ybottom - crop.ytop;
  if (aspect > 0.01f) {
    double a = aspect;
    if (cw * static_cast<double>(p) < ch) a = 1.0 / a;  // a portrait crop stays portrait
    a *= p;
    // Trimmed evenly from both sides, never below one pixel.
    if (ch < cw * a) {
      int t = static_cast<int>(((cw + 1) - ch / a) * 0.5);
      t = std::max(0, std::min(t, (cw - 1) / 2));
      crop.xleft += t;
      crop.xright -= t;
    } else {
      int t = static_cast<int>(((ch + 1) - cw * a) * 0.5);
      t = std::max(0, std::min(t, (ch - 1) / 2));
      crop.ytop += t;
      crop.ybottom -= t;
    }
    cropped = true;
    cw = crop.xright - crop.xleft;
    ch = crop.ybottom - crop.ytop;
  }
  if (cropped) {
    // The bounds apply to the crop: scaled up to the whole frame.
    if (maxwidth > 0) maxwidth = Scale(width, maxwidth, cw);
    if (maxheight > 0) maxheight = Scale(height, maxheight, ch);
  }
  if (maxwidth > 0 && maxwidth < width) {
    height = Scale(height, maxwidth, width);
    width = maxwidth;
  }
  if (maxheight > 0 && maxheight < height) {
    width = Scale(width, maxheight, height);
    height = maxheight;
  }
  const float zoom =
      orient.xyswap ? static_cast<float>(height) / ir->yres : static_cast<float>(width) / ir->xres;

  im->xres = width;
  im->yres = height;
  im->csp = &ir->cs;
  if (!RenderReduced(im, ir)) {
    PfreeImage(im);
    CloseReader(ir);
    return false;
  }
  if (cropped) {
    _ImgRect r;
    r.xleft = static_cast<int32_t>(int64_t(crop.xleft) * im->xres / ir->xres);
    r.xright = static_cast<int32_t>(int64_t(crop.xright) * im->xres / ir->xres);
    r.ytop = static_cast<int32_t>(int64_t(crop.ytop) * im->yres / ir->yres);
    r.ybottom = static_cast<int32_t>(int64_t(crop.ybottom) * im->yres / ir->yres);
    r.xright = std::max(r.xright, r.xleft + 1);
    r.ybottom = std::max(r.ybottom, r.ytop + 1);
    if (r.xright > im->xres || r.ybottom > im->yres || !PlinkSubimage(im, im, &r)) {
      PfreeImage(im);
      CloseReader(ir);
      return false;
    }
  }
  orient.SetOrigSize(im->xres, im->yres);
  if (!orient.OrientImage(im, nullptr)) {
    PfreeImage(im);
    CloseReader(ir);
    return false;
  }
  if (wbp != nullptr) {
    PsetWriteBuf(wbp, im);
    if (ir->ri->GetInfo != nullptr) ir->ri->GetInfo(ir, &wbp->info);
    if (wbp->info.flags & IIFhdensity) wbp->info.hdensity *= zoom;
  }
  CloseReader(ir);
  return true;
}
