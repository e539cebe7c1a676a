// The TIFF reader: pages and their kinds, block-by-block decoding of strips and tiles with
// contiguous or separate planes, and reads of any rectangle with integer subsampling.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "formats/tiffpriv.h"
#include "tonemap/tmloaders.h"
#include "support/cnumber.h"
#include "support/futil.h"

namespace {

// The name of a compression in the encoding text.
void compressionName(char* out, size_t len, uint16_t compression, int bitsPerPixel) {
  const char* name = "compressed";
  switch (compression) {
    case COMPRESSION_NONE:
      snprintf(out, len, "%d-bit", bitsPerPixel);
      return;
    case COMPRESSION_LZW:
      name = "LZW";
      break;
    case COMPRESSION_JPEG:
      name = "DCT";
      break;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
      name = "Deflated";
      break;
    case COMPRESSION_CCITTRLE:
    case COMPRESSION_CCITTRLEW:
    case COMPRESSION_PACKBITS:
      name = "RLE";
      break;
    case COMPRESSION_PIXARFILM:
      name = "LZW-Log";
      break;
    case COMPRESSION_PIXARLOG:
      name = "Zip-Log";
      break;
    case COMPRESSION_SGILOG:
      name = "RLE-Log";
      break;
    case COMPRESSION_SGILOG24:
      name = "24-bit-Log";
      break;
    default:
      break;
  }
  snprintf(out, len, "%s", name);
}

bool mulOK(uint64_t* out, uint64_t a, uint64_t b) {
  return !__builtin_mul_overflow(a, b, out);
}

// Whether the stored bytes of a strip or tile reach past the end of the file.
bool cutShort(TIFF* tif, uint32_t strile) {
  const TIFFSizeProc size = TIFFGetSizeProc(tif);
  if (size == nullptr) return false;
  const uint64_t end = size(TIFFClientdata(tif));
  const uint64_t at = TIFFGetStrileOffset(tif, strile), n = TIFFGetStrileByteCount(tif, strile);
  return at > end || n > end - at;
}

}  // namespace

TIFFReader::TIFFReader(const void* data, size_t size)
    : memData_(static_cast<const uint8_t*>(data)), memSize_(size) {
  _ImgReader* ir = this;
  memset(ir, 0, sizeof(_ImgReader));
  ri = &IRInterfaceTIFF;
  encText_[0] = '\0';
  encoding = encText_;
  frameType = IRFlayer;
  pixAspect = 1.0f;
  memset(mapChroma_, 0, sizeof mapChroma_);
  memset(filePrims_, 0, sizeof filePrims_);
}

TIFFReader::~TIFFReader() {
  Close();
}

void TIFFReader::fail(ImgReadErr code, const char* fmt, ...) {
  errCode = code;
  va_list args;
  va_start(args, fmt);
  Cvsnprintf(errMsg, sizeof errMsg, fmt, args);
  va_end(args);
}

TIFF* TIFFReader::openHandle(TiffMemFile* mem, int fd) {
  if (memData_ == nullptr) {
    // The library's descriptor open, on the one open file (the first handle's own descriptor,
    // or another of the same open file): never the name.
    if (fd < 0 && native_.tif != nullptr) fd = PdupRewound(TIFFFileno(native_.tif));
    TIFF* tif = fd >= 0 ? TiffOpenFd(fd, file, "r") : nullptr;
    if (tif == nullptr && fd >= 0) close(fd);
    return tif;
  }
  mem->data = memData_;
  mem->size = memSize_;
  return TiffOpenMemory(mem, file);
}

int TIFFReader::Open(int fd, const char* path) {
  Close();
  if (path == nullptr) {
    if (fd >= 0) close(fd);
    return 0;
  }
  errCode = IREnone;
  errMsg[0] = '\0';
  snprintf(file, sizeof file, "%s", path);
  native_.tif = openHandle(&native_.mem, fd);
  if (native_.tif == nullptr) return 0;
  nframes = 0;
  frame = 0;
  frameType = IRFlayer;
  frameRate = 0;
  return Init();
}

void TIFFReader::closeSource(TiffBlockSource* src) {
  if (src->tif != nullptr) TIFFClose(src->tif);
  if (src->buf != nullptr) _TIFFfree(src->buf);
  src->tif = nullptr;
  src->buf = nullptr;
  src->bufBytes = 0;
  src->cached = -1;
}

void TIFFReader::Close() {
  TiffMetaFree(tin_);
  tin_ = nullptr;
  closeSource(&log_);
  closeSource(&native_);
  dropMapping();
  freeWork();
  ready_ = false;
}

int TIFFReader::Init() {
  ready_ = false;
  fill_ = &TIFFReader::FillCopy;
  closeSource(&log_);
  native_.cached = -1;
  // A mapping belongs to the page whose histogram built it.
  dropMapping();
  TIFF* tif = native_.tif;
  uint32_t width = 0, height = 0;
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) ||
      !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) || width == 0 || height == 0 ||
      width > INT32_MAX || height > INT32_MAX) {
    fail(IREformat, "missing TIFF image width/length");
    return 0;
  }
  xres = static_cast<int32_t>(width);
  yres = static_cast<int32_t>(height);
  // Pixel shape from the resolutions; a missing or zero resolution means square pixels.
  float xr = 0, yr = 0;
  pixAspect = 1.0f;
  if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xr) && TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yr) &&
      xr > 0 && yr > 0 && std::isfinite(yr / xr) && yr / xr > 0)
    pixAspect = yr / xr;

  cs = ICS_sRGB;
  cs.cstatic = 0;
  uint16_t photometric = 0xFFFF;
  if (!TIFFGetFieldDefaulted(tif, TIFFTAG_PHOTOMETRIC, &photometric)) photometric = 0xFFFF;
  photometric_ = photometric;
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar_);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression_);
  const char* suffix = "";
  switch (photometric) {
    case PHOTOMETRIC_MINISBLACK:
      cs = ICS_Y8;
      suffix = " grayscale";
      break;
    case PHOTOMETRIC_RGB:
      suffix = " RGB";
      break;
    case PHOTOMETRIC_YCBCR:
      if (compression_ != COMPRESSION_JPEG || planar_ != PLANARCONFIG_CONTIG) {
        fail(IREunsupported, "cannot convert YCbCr color space");
        return 0;
      }
      TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
      suffix = " YCbCr";
      break;
    case PHOTOMETRIC_LOGL:
      if (compression_ != COMPRESSION_SGILOG) {
        fail(IREunsupported, "LogL format must be SGILOG compressed");
        return 0;
      }
      TIFFSetField(tif, TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_FLOAT);
      cs = ICS_Y;
      suffix = " luminance";
      break;
    case PHOTOMETRIC_LOGLUV:
      if (compression_ != COMPRESSION_SGILOG && compression_ != COMPRESSION_SGILOG24) {
        fail(IREunsupported, "LogLuv format must be SGILOG compressed");
        return 0;
      }
      if (planar_ != PLANARCONFIG_CONTIG) {
        fail(IREunsupported, "LogLuv format must be contiguous");
        return 0;
      }
      TIFFSetField(tif, TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_FLOAT);
      cs = ICS_XYZ;
      suffix = " Luv";
      break;
    default:
      fail(IREunsupported, "unsupported photometric interpretation (%d)", photometric);
      return 0;
  }
  cs.cstatic = 0;

  uint16_t sampleFormat = SAMPLEFORMAT_UINT;
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
  sampleFormat_ = sampleFormat;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits_);
  if (sampleFormat == SAMPLEFORMAT_UINT) {
    if (bits_ == 16) {
      // Linear 16-bit data comes from raw converters, which sign the Software tag.
      const char* software = nullptr;
      const bool linear = TIFFGetField(tif, TIFFTAG_SOFTWARE, &software) && software != nullptr &&
                          strstr(software, "dcraw") != nullptr;
      cs.dtype = IDTushort;
      cs.gamma = linear ? 1.0f : 2.2f;
    } else if (bits_ != 8) {
      fail(IREunsupported, "unsupported bits/sample (%d)", bits_);
      return 0;
    }
  } else if (sampleFormat == SAMPLEFORMAT_IEEEFP) {
    if (bits_ != 32) {
      fail(IREunsupported, "unsupported float size (%d bits)", bits_);
      return 0;
    }
    cs.dtype = IDTfloat;
    cs.gamma = 1.0f;
  } else {
    fail(IREunsupported, "unsupported data format (%d)", sampleFormat);
    return 0;
  }

  uint16_t spp = 1;
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  const int need = ImgPixelLen[cs.format];
  if (spp < need || (spp > need && planar_ != PLANARCONFIG_SEPARATE)) {
    fail(IREunsupported, "inconsistent samples/pixel");
    return 0;
  }
  samples_ = static_cast<uint16_t>(need);

  compressionName(encText_, sizeof encText_, compression_, samples_ * bits_);
  strncat(encText_, suffix, sizeof encText_ - strlen(encText_) - 1);
  encoding = encText_;

  // The file's chromaticities, when they make a usable set.
  if (cs.format == IPFrgb) {
    float* pc = nullptr;
    float* wp = nullptr;
    RGBPRIMS p;
    memcpy(p, cs.chroma, sizeof p);
    const bool havePrims = TIFFGetField(tif, TIFFTAG_PRIMARYCHROMATICITIES, &pc) && pc != nullptr;
    const bool haveWhite = TIFFGetField(tif, TIFFTAG_WHITEPOINT, &wp) && wp != nullptr;
    if (havePrims)
      for (int i = 0; i < 6; ++i) p[i / 2][i % 2] = pc[i];
    if (haveWhite) p[3][0] = wp[0], p[3][1] = wp[1];
    if ((havePrims || haveWhite) && colorprimsOK(p)) memcpy(cs.chroma, p, sizeof p);
  } else if (cs.format == IPFy) {
    float* wp = nullptr;
    if (TIFFGetField(tif, TIFFTAG_WHITEPOINT, &wp) && wp != nullptr && wp[0] > 0 && wp[1] > 0 &&
        wp[0] + wp[1] < 1)
      cs.chroma[0][0] = wp[0], cs.chroma[0][1] = wp[1];
  }

  // Blocks: tiles, or strips of whole rows.
  tiled_ = TIFFIsTiled(tif) != 0;
  if (tiled_) {
    if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &bw_) ||
        !TIFFGetField(tif, TIFFTAG_TILELENGTH, &bh_) || bw_ == 0 || bh_ == 0) {
      fail(IREformat, "missing TIFF tile width/length");
      return 0;
    }
  } else {
    uint32_t rps = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rps);
    bw_ = width;
    bh_ = rps == 0 || rps > height ? height : rps;
  }
  nbx_ = static_cast<uint32_t>((uint64_t{width} + bw_ - 1) / bw_);
  nby_ = static_cast<uint32_t>((uint64_t{height} + bh_ - 1) / bh_);
  if (!blocksInFile()) return 0;
  if (!setupSource(&native_, samples_, bits_ / 8)) return 0;
  fr = {0, static_cast<int32_t>(bw_ < width ? bw_ : width), 0,
        static_cast<int32_t>(bh_ < height ? bh_ : height)};
  nr = fr;
  ready_ = true;
  return 1;
}

// Whether the stored bytes of every block the page needs lie in the file, and, uncompressed,
// are as many as the block's rows take: a file cut short is refused here, before a reader of
// the whole picture allocates it, and not at the row where its data ends.
int TIFFReader::blocksInFile() {
  TIFF* tif = native_.tif;
  const TIFFSizeProc sizeOf = TIFFGetSizeProc(tif);
  if (sizeOf == nullptr) return 1;
  const uint64_t end = sizeOf(TIFFClientdata(tif));
  const uint32_t perPlane = nbx_ * nby_;
  const uint32_t planes = planar_ == PLANARCONFIG_SEPARATE ? samples_ : 1;
  const uint32_t count = tiled_ ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
  if (uint64_t{perPlane} * planes > count) {
    fail(IREformat, "missing TIFF strip or tile offsets");
    return 0;
  }
  const bool raw = compression_ == COMPRESSION_NONE;
  for (uint32_t p = 0; p < planes; ++p)
    for (uint32_t i = 0; i < perPlane; ++i) {
      const uint32_t strile = p * perPlane + i;
      const uint32_t by = i / nbx_;
      const uint64_t at = TIFFGetStrileOffset(tif, strile);
      const uint64_t n = TIFFGetStrileByteCount(tif, strile);
      uint64_t need = 1;
      if (raw) {
        const uint32_t rows = tiled_ || by + 1 < nby_ ? bh_ : yres - by * bh_;
        const tmsize_t sz = tiled_ ? TIFFTileSize(tif) : TIFFVStripSize(tif, rows);
        need = sz > 0 ? static_cast<uint64_t>(sz) : 1;
      }
      if (n < need || at > end || n > end - at) {
        fail(IREtruncated, "file cut short at row %u", by * bh_);
        return 0;
      }
    }
  return 1;
}

// Sizes the block buffer of a source for the current page.
int TIFFReader::setupSource(TiffBlockSource* src, int samples, int sampleBytes) {
  src->cached = -1;
  src->sampleBytes = sampleBytes;
  src->pixBytes = samples * sampleBytes;
  src->separate = planar_ == PLANARCONFIG_SEPARATE && samples > 1;
  const tmsize_t lib = tiled_ ? TIFFTileSize(src->tif) : TIFFStripSize(src->tif);
  uint64_t plane = 0, need = 0;
  bool ok =
      lib > 0 && mulOK(&plane, uint64_t{bw_} * bh_, src->separate ? sampleBytes : src->pixBytes);
  if (ok) {
    // libtiff's own size, when larger, is what it may write.
    if (static_cast<uint64_t>(lib) > plane) plane = static_cast<uint64_t>(lib);
    ok = mulOK(&need, plane, src->separate ? samples + 1u : 1u) && need <= TiffMaxSingleAlloc &&
         plane <= static_cast<uint64_t>(INT64_MAX);
  }
  if (!ok) {
    tooLargeBlocks(plane);
    return 0;
  }
  src->planeBytes = static_cast<tmsize_t>(plane);
  if (src->bufBytes < need) {
    void* p = src->buf == nullptr ? _TIFFmalloc(static_cast<tmsize_t>(need))
                                  : _TIFFrealloc(src->buf, static_cast<tmsize_t>(need));
    if (p == nullptr) {
      tooLargeBlocks(plane);
      return 0;
    }
    src->buf = static_cast<uint8_t*>(p);
    src->bufBytes = need;
  }
  return 1;
}

void TIFFReader::tooLargeBlocks(uint64_t planeBytes) {
  const double gb = static_cast<double>(planeBytes) / (1024.0 * 1024.0 * 1024.0);
  fail(IREmemory, "%s of %u \xC3\x97 %u pixels (%.1f GB) are too large to read",
       tiled_ ? "tiles" : "strips", bw_, bh_, gb);
}

int TIFFReader::SeekFrame(int n, int mode) {
  if (native_.tif == nullptr) {
    frame = -1;
    return 0;
  }
  const int64_t t = mode == 0 ? int64_t{n} : (mode == 1 || mode == 2) ? int64_t{frame} + n : -1;
  if (t == frame) {
    nr = fr;
    return 1;
  }
  if (t >= 0 && t <= 0xFFFF && TIFFSetDirectory(native_.tif, static_cast<tdir_t>(t))) {
    frame = static_cast<int32_t>(t);
    return Init();
  }
  if (t == int64_t{frame} + 1 && t > 0) nframes = static_cast<int32_t>(t);
  fail(IREtruncated, "no more layers");
  frame = -1;
  ready_ = false;
  return 0;
}

// Decodes block (bx, by) into the source's buffer, pixels interleaved.
int TIFFReader::readBlock(TiffBlockSource* src, uint32_t bx, uint32_t by) {
  const long index = static_cast<long>(by) * nbx_ + bx;
  if (src->cached == index) return 1;
  src->cached = -1;
  const uint32_t x = bx * bw_, y = by * bh_;
  const int planes = src->separate ? src->pixBytes / src->sampleBytes : 1;
  uint8_t* plane = src->separate ? src->buf + src->planeBytes * planes : src->buf;
  // Rows of this block that lie in the image (a last strip is short).
  const uint32_t rows = tiled_ ? bh_ : (yres - y < bh_ ? yres - y : bh_);
  for (int s = 0; s < planes; ++s) {
    const uint32_t strile =
        tiled_ ? TIFFComputeTile(src->tif, x, y, 0, s) : TIFFComputeStrip(src->tif, y, s);
    const tmsize_t got = tiled_ ? TIFFReadEncodedTile(src->tif, strile, plane, src->planeBytes)
                                : TIFFReadEncodedStrip(src->tif, strile, plane, src->planeBytes);
    if (got > 0 && got < src->planeBytes) {
      // Parts of a block that a damaged file leaves undecoded read as zero.
      memset(plane + got, 0, static_cast<size_t>(src->planeBytes - got));
    }
    if (got <= 0) {
      if (cutShort(src->tif, strile))
        fail(IREtruncated, "file cut short at row %u", y);
      else
        fail(IREread, "%s",
             TiffMessageBuffer[0] != '\0' ? TiffMessageBuffer : "TIFF decoding failed");
      return 0;
    }
    if (!src->separate) break;
    const size_t count = static_cast<size_t>(bw_) * rows;
    const int sb = src->sampleBytes, pb = src->pixBytes;
    uint8_t* out = src->buf + s * sb;
    if (sb == 1) {
      for (size_t i = 0; i < count; ++i) out[i * pb] = plane[i];
    } else {
      for (size_t i = 0; i < count; ++i) memcpy(out + i * pb, plane + i * sb, sb);
    }
  }
  src->cached = index;
  // The next block in file order is what can come without going back.
  uint32_t nx = bx + 1, ny = by;
  if (nx >= nbx_) nx = 0, ++ny;
  const int64_t left = int64_t{nx} * bw_, top = int64_t{ny} * bh_;
  nr.xleft = static_cast<int32_t>(left);
  nr.xright = static_cast<int32_t>(left + bw_ < xres ? left + bw_ : xres);
  nr.ytop = static_cast<int32_t>(top < yres ? top : yres);
  nr.ybottom = static_cast<int32_t>(top + bh_ < yres ? top + bh_ : yres);
  return 1;
}

// Copies pixels (r.xleft + i n, r.ytop + k n) of the rectangle into dst, rows packed.
int TIFFReader::copyRect(TiffBlockSource* src, const _ImgRect& r, int n, uint8_t* dst) {
  const int w = (r.xright - r.xleft) / n, h = (r.ybottom - r.ytop) / n;
  if (w <= 0 || h <= 0) return 1;
  const size_t pb = static_cast<size_t>(src->pixBytes);
  const size_t dstRow = static_cast<size_t>(w) * pb;
  const size_t blockRow = static_cast<size_t>(bw_) * pb;
  const int64_t lastX = r.xleft + int64_t{w - 1} * n, lastY = r.ytop + int64_t{h - 1} * n;
  for (uint32_t by = static_cast<uint32_t>(r.ytop) / bh_; by <= lastY / bh_; ++by) {
    const int64_t top = int64_t{by} * bh_, bottom = top + bh_;
    // The first kept row in this block row.
    const int64_t k0 = top > r.ytop ? (top - r.ytop + n - 1) / n : 0;
    if (r.ytop + k0 * n >= bottom || k0 >= h) continue;
    for (uint32_t bx = static_cast<uint32_t>(r.xleft) / bw_; bx <= lastX / bw_; ++bx) {
      const int64_t left = int64_t{bx} * bw_, right = left + bw_;
      const int64_t i0 = left > r.xleft ? (left - r.xleft + n - 1) / n : 0;
      if (r.xleft + i0 * n >= right || i0 >= w) continue;
      if (!readBlock(src, bx, by)) return 0;
      int64_t i1 = (std::min<int64_t>(right, lastX + 1) - r.xleft + n - 1) / n;  // columns end
      if (i1 > w) i1 = w;
      for (int64_t k = k0; k < h && r.ytop + k * n < bottom; ++k) {
        const int64_t y = r.ytop + k * n;
        const uint8_t* from = src->buf + static_cast<size_t>(y - top) * blockRow +
                              static_cast<size_t>(r.xleft + i0 * n - left) * pb;
        uint8_t* to = dst + static_cast<size_t>(k) * dstRow + static_cast<size_t>(i0) * pb;
        if (n == 1) {
          memcpy(to, from, static_cast<size_t>(i1 - i0) * pb);
        } else {
          const size_t stride = static_cast<size_t>(n) * pb;
          for (int64_t i = i0; i < i1; ++i, from += stride, to += pb) memcpy(to, from, pb);
        }
      }
    }
  }
  return 1;
}

int TIFFReader::FillCopy(_ImgReadBuf* rb) {
  return copyRect(&native_, rb->r, rb->subsample, static_cast<uint8_t*>(rb->buf));
}

int TIFFReader::ReadRec(_ImgReadBuf* rb) {
  if (native_.tif == nullptr || !ready_ || rb == nullptr || rb->subsample < 1) return 0;
  _ImgRect& r = rb->r;
  if (r.xleft < 0 || r.ytop < 0 || r.xright > xres || r.ybottom > yres || r.xleft >= r.xright ||
      r.ytop >= r.ybottom) {
    fail(IREunknown, "bogus requested image rectangle");
    return 0;
  }
  if (!SetConversion(&rb->cs)) {
    rb->cs = cs;
    rb->cs.cstatic = 0;
    fill_ = &TIFFReader::FillCopy;
  }
  const int n = rb->subsample;
  if (rb->buf == nullptr) {
    // The reader's own buffer: the rectangle runs to the end of its first block.
    const int64_t bx = r.xleft / bw_, by = r.ytop / bh_;
    const int64_t bright = std::min<int64_t>((bx + 1) * bw_, xres);
    const int64_t bbottom = std::min<int64_t>((by + 1) * bh_, yres);
    r.xright = static_cast<int32_t>(std::max<int64_t>(bright / n * n, r.xleft + n));
    r.ybottom = static_cast<int32_t>(std::max<int64_t>(bbottom / n * n, r.ytop + n));
    if (r.xright > xres) r.xright = xres;
    if (r.ybottom > yres) r.ybottom = yres;
    const size_t bytes = PreadBufBytes(rb);
    if (bytes == 0) {
      fail(IREunknown, "internal buffer size error");
      return 0;
    }
    rb->buf = malloc(bytes);
    if (rb->buf == nullptr) {
      fail(IREmemory, "cannot allocate new read buffer");
      return 0;
    }
    rb->bufsize = bytes;
  } else if (!PreadBufFits(rb)) {
    // The delivery would not fit: nothing is read, cs names what would come.
    r.xright = r.xleft;
    return 1;
  }
  return (this->*fill_)(rb);
}

int TIFFReader::Fd() const {
  return memData_ == nullptr && native_.tif != nullptr ? PdupRewound(TIFFFileno(native_.tif)) : -1;
}

int TIFFReader::attachTin() {
  if (tin_ == nullptr) tin_ = TiffMetaAttach(memData_ == nullptr ? Fd() : -1, memData_, memSize_);
  return tin_ != nullptr;
}

double TIFFReader::GetS2Nits() {
  if (stonits_ > 0) return stonits_;
  // The StoNits tag, or a factor derived from the exposure data; else the common default.
  _ImgInfo scratch;
  scratch.flags = 0;
  if (native_.tif != nullptr && attachTin()) TiffMetaInfo(tin_, &scratch);
  stonits_ = (scratch.flags & IIFstonits) && scratch.stonits > 0 && std::isfinite(scratch.stonits)
                 ? scratch.stonits
                 : TM_DEFAULT_STONITS;
  return stonits_;
}

int TIFFReader::GetInfo(_ImgInfo* info) {
  if (info == nullptr) return 0;
  info->comments[0] = '\0';
  info->params[0] = '\0';
  info->flags = 0;
  if (native_.tif == nullptr || !attachTin()) return 0;
  TiffMetaInfo(tin_, info);
  return 1;
}

int TIFFReader::GetThumbnail(_ImgStruct* img) {
  if (native_.tif == nullptr || img == nullptr || !attachTin()) return 0;
  return TiffMetaThumbnail(tin_, img);
}

// ---------------------------------------------------------------------------------------------
// The plug-in

namespace {

TIFFReader* reader(_ImgReader* ir) {
  return static_cast<TIFFReader*>(ir);
}

// Opens the file open at fd (taken; -1 for an in-memory file).
_ImgReader* openReader(TIFFReader* tr, int fd, const char* path) {
  if (tr == nullptr) {
    if (fd >= 0) close(fd);
    return nullptr;
  }
  if (!tr->Open(fd, path) && tr->errCode == IREnone) {
    // libtiff could not open it: not a TIFF.
    delete tr;
    return nullptr;
  }
  return tr;
}

}  // namespace

const _ImgReaderInterface IRInterfaceTIFF = {"TIFF.tif",     TRopen,        TRseekFrame, TRgetInfo,
                                             TRgetThumbnail, TRtoneMapping, TRreadRec,   TRclose};

_ImgReader* TRopen(const char* path) {
  if (path == nullptr) return nullptr;
  const int fd = PopenRead(path);
  return fd >= 0 ? TRopenFd(fd, path) : nullptr;
}

_ImgReader* TRopenFd(int fd, const char* path) {
  return openReader(new (std::nothrow) TIFFReader(), fd, path);
}

_ImgReader* TRopenMemory(const void* data, size_t size, const char* name) {
  if (data == nullptr || name == nullptr) return nullptr;
  return openReader(new (std::nothrow) TIFFReader(data, size), -1, name);
}

ImgReadErr TRseekFrame(_ImgReader* ir, int n, int mode) {
  if (ir == nullptr) return IREunknown;
  ir->errCode = IREnone;
  reader(ir)->SeekFrame(n, mode);
  return ir->errCode;
}

ImgReadErr TRgetInfo(_ImgReader* ir, _ImgInfo* info) {
  if (ir == nullptr) return IREunknown;
  ir->errCode = IREnone;
  reader(ir)->GetInfo(info);
  return ir->errCode;
}

ImgReadErr TRgetThumbnail(_ImgReader* ir, _ImgStruct* img) {
  if (ir == nullptr) return IREunknown;
  ir->errCode = IREnone;
  if (!reader(ir)->GetThumbnail(img) && ir->errCode == IREnone) {
    ir->errCode = IREunsupported;
    snprintf(ir->errMsg, sizeof ir->errMsg, "no thumbnail");
  }
  return ir->errCode;
}

void TRtoneMapping(_ImgReader* ir, double dynrange, double maxlum, int human) {
  if (ir != nullptr) reader(ir)->ToneMapping(dynrange, maxlum, human);
}

ImgReadErr TRreadRec(_ImgReader* ir, _ImgReadBuf* rb) {
  if (ir == nullptr) return IREunknown;
  ir->errCode = IREnone;
  if (!reader(ir)->ReadRec(rb) && ir->errCode == IREnone) {
    ir->errCode = IREunknown;
    snprintf(ir->errMsg, sizeof ir->errMsg, "TIFF reader routine failure");
  }
  return ir->errCode;
}

void TRclose(_ImgReader* ir) {
  delete reader(ir);
}

bool TIFFReader::WholeToneLoad() const {
  if (!ready_) return false;
  switch (tmTIFFkind(photometric_, compression_, sampleFormat_, bits_, samples_)) {
    case TMT_LUV32:
    case TMT_LUV24:
    case TMT_L16:
      return true;
    case TMT_GRAY16:
    case TMT_RGB48:
      return cs.gamma >= 2.1f && cs.gamma <= 2.3f;  // the loader takes 16-bit data as gamma 2.2
    default:
      return false;
  }
}
