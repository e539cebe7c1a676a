// Tone-mapped 8-bit delivery of float, 16-bit, LogLuv and LogL TIFF pages: a histogram pass
// over the whole page builds the mapping once, then each request is converted band by band.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "formats/tiffpriv.h"

namespace {

bool sameChroma(const float a[4][2], const float b[4][2]) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 2; ++j)
      if (std::fabs(a[i][j] - b[i][j]) > 0.00001f) return false;
  return true;
}

}  // namespace

void TIFFReader::ToneMapping(double range, double maximum, int human) {
  dispRange_ = range;
  dispMax_ = maximum;
  human_ = human > 0;
  dropMapping();
}

void TIFFReader::dropMapping() {
  tmDone(mapping_);
  mapping_ = nullptr;
  conv_ = TMT_NONE;
}

void TIFFReader::freeWork() {
  delete[] bright_;
  delete[] pix_;
  bright_ = nullptr;
  pix_ = nullptr;
  workCount_ = 0;
  workPixSize_ = 0;
}

// Makes the work arrays hold n pixels of pixSize bytes; they only grow.
int TIFFReader::ensureWork(size_t n, int pixSize) {
  if (workCount_ >= n && workCount_ * workPixSize_ >= n * pixSize) return 1;
  freeWork();
  if (n > TiffMaxSingleAlloc / static_cast<size_t>(pixSize)) return 0;
  bright_ = new (std::nothrow) TMbright[n];
  pix_ = new (std::nothrow) uint8_t[n * pixSize];
  if (bright_ == nullptr || pix_ == nullptr) {
    freeWork();
    return 0;
  }
  workCount_ = n;
  workPixSize_ = pixSize;
  return 1;
}

// A second handle on the file whose SGILog data format gives raw 32-bit LogLuv words or 16-bit
// LogL values.
int TIFFReader::openLogSource() {
  if (log_.tif != nullptr) return 1;
  log_.tif = openHandle(&log_.mem);
  if (log_.tif == nullptr) return 0;
  const bool luv = cs.format == IPFxyz;
  // The data format is set before any size is computed, since it changes them.
  if ((frame > 0 && !TIFFSetDirectory(log_.tif, static_cast<tdir_t>(frame))) ||
      !TIFFSetField(log_.tif, TIFFTAG_SGILOGDATAFMT,
                    luv ? SGILOGDATAFMT_RAW : SGILOGDATAFMT_16BIT) ||
      !setupSource(&log_, 1, luv ? 4 : 2)) {
    TIFFClose(log_.tif);
    log_.tif = nullptr;
    return 0;
  }
  return 1;
}

// Brightness (and, with chroma, the chroma bytes) of n pixels of the conversion's native data.
int TIFFReader::toBright(const uint8_t* pix, TMbright* ls, uint8_t* chr, int n) {
  return tmCvTIFF(mapping_, conv_, ls, chr, pix, n, cs.gamma);
}

// Adds every pixel of the page to the mapping's histogram, block by block; only the parts of
// edge tiles that lie inside the image count.
int TIFFReader::histogramPass(TiffBlockSource* src) {
  const size_t pb = static_cast<size_t>(src->pixBytes);
  for (uint32_t by = 0; by < nby_; ++by)
    for (uint32_t bx = 0; bx < nbx_; ++bx) {
      if (!readBlock(src, bx, by)) return 0;
      const uint32_t vw = std::min<uint32_t>(bw_, xres - bx * bw_);
      const uint32_t vh = std::min<uint32_t>(bh_, yres - by * bh_);
      const bool whole = vw == bw_;
      const uint32_t runs = whole ? 1 : vh;
      const int len = static_cast<int>(whole ? size_t{bw_} * vh : vw);
      for (uint32_t i = 0; i < runs; ++i) {
        const uint8_t* p = src->buf + size_t{i} * bw_ * pb;
        if (toBright(p, bright_, nullptr, len) != TMERR_NONE ||
            tmAddHisto(mapping_, bright_, len, 1) != TMERR_NONE)
          return 0;
      }
    }
  return 1;
}

int TIFFReader::SetConversion(const _ImgColorSpace* want) {
  if (PmatchColorSpace(want, &cs, 31)) {
    fill_ = &TIFFReader::FillCopy;
    return 1;
  }
  // Only 8-bit display values are made from other data.
  if (want->dtype != IDTubyte || want->logorig > 0) return 0;
  const bool rgbOut = want->format == IPFrgb, greyOut = want->format == IPFy;
  TMtiffKind kind = tmTIFFkind(photometric_, compression_, sampleFormat_, bits_, samples_);
  if (tmTIFFcolour(kind) ? !rgbOut : !greyOut) kind = TMT_NONE;
  const bool logKind = kind == TMT_LUV32 || kind == TMT_LUV24 || kind == TMT_L16;
  const int pixSize = static_cast<int>(tmTIFFpixelBytes(kind));
  if (kind == TMT_NONE) return 0;
  if (mapping_ != nullptr && conv_ == kind && sameChroma(want->chroma, mapChroma_)) {
    if (bright_ == nullptr) return 0;
    fill_ = &TIFFReader::FillMapped;
    return 1;
  }
  memcpy(mapChroma_, want->chroma, sizeof mapChroma_);
  dropMapping();
  int flags = human_ ? 347 : TMF_QUIET;
  if (greyOut) flags |= TMF_GREY;
  if (kind == TMT_RGB48 || kind == TMT_GRAY16) {
    if (cs.gamma <= 1.1f) flags |= TMF_LINEAR;
  }
  mapping_ = tmInit(flags, greyOut ? stdprims : mapChroma_, want->gamma);
  if (mapping_ == nullptr) return 0;
  conv_ = kind;
  // The input: CIE XYZ for the log kinds, the file's primaries for RGB, standard ones for grey.
  RGBPRIMP inPrims = stdprims;
  if (logKind) {
    inPrims = nullptr;
  } else if (cs.format == IPFrgb) {
    memcpy(filePrims_, cs.chroma, sizeof filePrims_);
    inPrims = filePrims_;
  }
  TiffBlockSource* src = logKind ? &log_ : &native_;
  const bool ok = tmSetSpace(mapping_, inPrims, GetS2Nits(), nullptr) == TMERR_NONE &&
                  (!logKind || openLogSource()) && ensureWork(size_t{bw_} * bh_, pixSize) &&
                  histogramPass(src) &&
                  tmPictureMapping(mapping_, want->gamma, dispRange_, dispMax_) == TMERR_NONE;
  if (!ok) {
    freeWork();
    dropMapping();
    fill_ = &TIFFReader::FillCopy;
    return 0;
  }
  fill_ = &TIFFReader::FillMapped;
  return 1;
}

// The tone-mapped fill: the request is copied band by band (one block row at a time) in the
// native data, converted to brightness and mapped into display bytes.
int TIFFReader::FillMapped(_ImgReadBuf* rb) {
  const bool logKind = conv_ == TMT_LUV32 || conv_ == TMT_LUV24 || conv_ == TMT_L16;
  TiffBlockSource* src = logKind ? &log_ : &native_;
  const bool grey = !tmTIFFcolour(conv_);
  const _ImgRect& r = rb->r;
  const int n = rb->subsample;
  const int w = (r.xright - r.xleft) / n, h = (r.ybottom - r.ytop) / n;
  const size_t outRow = static_cast<size_t>(w) * (grey ? 1 : 3);
  uint8_t* out = static_cast<uint8_t*>(rb->buf);
  for (int k = 0; k < h;) {
    const int64_t top = r.ytop + int64_t{k} * n;
    const int64_t boundary = (top / bh_ + 1) * bh_;
    const int rows = static_cast<int>(std::min<int64_t>((boundary - top + n - 1) / n, h - k));
    const size_t count = static_cast<size_t>(w) * rows;
    if (count > INT32_MAX || !ensureWork(count, src->pixBytes)) {
      fail(IREmemory, "cannot allocate tone-mapping work arrays");
      return 0;
    }
    const _ImgRect band = {r.xleft, r.xleft + w * n, static_cast<int32_t>(top),
                           static_cast<int32_t>(top + int64_t{rows} * n)};
    if (!copyRect(src, band, n, pix_)) return 0;
    uint8_t* dst = out + static_cast<size_t>(k) * outRow;
    int e = toBright(pix_, bright_, grey ? nullptr : dst, static_cast<int>(count));
    if (e == TMERR_NONE)
      e = tmMapPixels(mapping_, dst, bright_, grey ? nullptr : dst, static_cast<int>(count));
    if (e != TMERR_NONE) {
      fail(IREunknown, "%s", tmErrorMessage[e >= 0 && e < TMERR_COUNT ? e : TMERR_CONSIST1]);
      return 0;
    }
    k += rows;
  }
  return 1;
}
