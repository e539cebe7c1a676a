// The JPEG writers: 8-bit RGB or grey as baseline JPEG, float RGB or XYZ as JPEG-HDR. Both
// write beside the target and rename, so a failed write never destroys an existing file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "support/pfilestream.h"
#include "support/pwork.h"
#include "support/replacefile.h"
#include "jpegglue/jpegglue.h"
#include "formats/jpegio.h"
#include "jpeghdr/jpeghdr.h"

namespace {

int qualityOf(const _ImgWriteBuf* wb) {
  if (!(wb->info.flags & IIFquality)) return 90;
  const int q = wb->info.quality;
  return q < 1 ? 1 : q > 100 ? 100 : q;
}

// Threads for a JPEG-HDR encoding: the machine's processors, at most 4 (beyond that the
// serial part dominates), 1 when the count is unknown. The file does not depend on it, and
// when threads cannot be started the encoder does the work on the calling thread.
int hdrThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : (n > 4 ? 4 : static_cast<int>(n));
}

// Where the rows of an 8-bit picture come from: the write buffer's pixels, or a source that
// fills one row at a time.
struct RowFeed {
  const _ImgWriteBuf* wb;
  JPEGRowSource source;
  void* data;
  uint8_t* row;  // the source's row, wb->xres pixels
};

// Compresses 8-bit RGB or grey rows onto os. Kept free of locals with destructors: a libjpeg
// error long-jumps back into it.
int compressRows(std::ostream* os, const RowFeed* feed) {
  const _ImgWriteBuf* wb = feed->wb;
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  jpeg_jump_record jump;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_glue_error(&jerr);
  jump.fatal_warn = 0;
  cinfo.client_data = &jump;
  if (setjmp(jump.env)) {
    cinfo.client_data = nullptr;
    jpeg_destroy_compress(&cinfo);
    return 0;
  }
  jpeg_create_compress(&cinfo);
  cinfo.client_data = &jump;
  jpeg_stream_dest(&cinfo, os);
  cinfo.image_width = static_cast<JDIMENSION>(wb->xres);
  cinfo.image_height = static_cast<JDIMENSION>(wb->yres);
  const bool grey = wb->csp->format == IPFy;
  cinfo.input_components = grey ? 1 : 3;
  cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, qualityOf(wb), TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  const uint8_t* base = static_cast<const uint8_t*>(wb->img);
  while (cinfo.next_scanline < cinfo.image_height) {
    const int y = static_cast<int>(cinfo.next_scanline);
    JSAMPROW row = feed->row;
    if (feed->source == nullptr) {
      row = const_cast<JSAMPROW>(base + static_cast<ptrdiff_t>(y) * wb->rowsize);
    } else if (!feed->source(row, y, feed->data)) {
      cinfo.client_data = nullptr;
      jpeg_destroy_compress(&cinfo);
      return 0;
    }
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  cinfo.client_data = nullptr;
  jpeg_destroy_compress(&cinfo);
  return 1;
}

int compress24(std::ostream* os, const _ImgWriteBuf* wb) {
  const RowFeed feed = {wb, nullptr, nullptr, nullptr};
  return compressRows(os, &feed);
}

// The JPEG-HDR encoding gives way between its bands of work, as the writers that take rows
// do between rows (PworkSlice); a Stop there ends it. What was written of the file so far
// (data: its descriptor, or -1) starts on its way to the disk, so that the sync at the end
// finds little left to wait for.
bool giveWay(void* data, float done) {
  const int fd = *static_cast<const int*>(data);
  if (fd >= 0) sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  return PworkSlice(done);
}

// Compresses float RGB or XYZ pixels onto os as JPEG-HDR; same rules as compress24.
int compressHDR(std::ostream* os, const _ImgWriteBuf* wb) {
  const PFileStream* file = dynamic_cast<const PFileStream*>(os);
  int fd = file != nullptr ? file->fd() : -1;
  jpeghdr_compress_struct jh;
  jpeg_error_mgr jerr;
  jpeg_jump_record jump;
  COLORMAT toRec709;
  std::memset(&jh, 0, sizeof jh);
  jh.cinfo.err = jpeg_glue_error(&jerr);
  jump.fatal_warn = 0;
  jh.cinfo.client_data = &jump;
  if (setjmp(jump.env)) {
    jh.cinfo.client_data = nullptr;
    jpeghdr_destroy_compress(&jh);
    return 0;
  }
  jpeghdr_create_compress(&jh);
  jh.cinfo.client_data = &jump;
  jh.threads = hdrThreads();
  jh.progress = giveWay;
  jh.progress_data = &fd;
  jpeg_stream_dest(&jh.cinfo, os);
  const _ImgColorSpace* cs = wb->csp;
  const bool xyz = cs->format == IPFxyz;
  if (PmatchColorSpace(cs, &ICS_RGB709, 27)) {
    jpeghdr_src_floatRGB(&jh, static_cast<const float*>(wb->img), wb->xres, wb->yres);
    jh.systride = wb->rowsize;
  } else {
    const int ok = xyz ? compxyz2rgbWBmat(toRec709, stdprims)
                       : comprgb2rgbWBmat(toRec709, cs->chroma, stdprims);
    if (!ok) {
      jh.cinfo.client_data = nullptr;
      jpeghdr_destroy_compress(&jh);
      return 0;
    }
    jh.spixels = static_cast<const unsigned char*>(wb->img);
    jh.sxstride = 3 * sizeof(float);
    jh.systride = wb->rowsize;
    jh.cvt = cvt_floatColor;
    jh.cvtdata = toRec709;
    jh.cinfo.image_width = static_cast<JDIMENSION>(wb->xres);
    jh.cinfo.image_height = static_cast<JDIMENSION>(wb->yres);
  }
  if (wb->info.flags & IIFstonits) jh.samp2nits = wb->info.stonits;
  jpeghdr_tonemap_default(&jh);
  const int quality = qualityOf(wb);
  jh.quality = static_cast<int16_t>(quality);
  jh.correction = quality < 80 ? 1 : 0;  // below 80 a reduced, pre-corrected ratio image
  if (xyz) {  // set after the tone mapping, whose gamut test runs without desaturation
    jh.alpha = 0.67f;
    jh.beta = 0.75f;
  }
  jpeghdr_do_compress(&jh);
  jh.cinfo.client_data = nullptr;
  jpeghdr_destroy_compress(&jh);
  return 1;
}

// Runs body(os, arg) on a temporary file beside path and renames it to path when complete;
// the file's size, or 0 (the temporary removed, any file at path untouched).
template <typename Arg>
long writeBeside(const char* path, const Arg* arg, int (*body)(std::ostream*, const Arg*)) {
  std::string tmp;
  struct stat made;
  const int fd = PtempBeside(path, &tmp, PusualFileMode(), nullptr, &made);
  if (fd < 0) return 0;
  long size = 0;
  {
    PFileStream os;
    if (os.Adopt(fd, O_WRONLY) && body(&os, arg)) {
      os.flush();
      const std::streamoff pos = os.tellp();
      if (os.good() && pos > 0) size = static_cast<long>(pos);
    }
    os.close();
    if (os.fail()) size = 0;
  }
  if (size > 0) return PcommitTemp(tmp, path, &made) ? size : 0;
  PdiscardTemp(tmp);
  return 0;
}

// Whether the write buffer is usable for a path: size, pixels (unless rows come from
// elsewhere) and rows of at least a row.
bool usable(const char* path, const _ImgWriteBuf* wb, bool pixels = true) {
  if (path == nullptr || path[0] == '\0' || wb == nullptr || wb->csp == nullptr ||
      (pixels && wb->img == nullptr) || wb->xres < 1 || wb->yres < 1)
    return false;
  if (wb->xres > JPEG_MAX_DIMENSION || wb->yres > JPEG_MAX_DIMENSION) return false;
  const long row = static_cast<long>(wb->xres) * PpixelSize(wb->csp);
  const long step = wb->rowsize < 0 ? -static_cast<long>(wb->rowsize) : wb->rowsize;
  return row > 0 && step >= row;
}

}  // namespace

const char* JPEGsupportedCS(const _ImgColorSpace* cs, int /*quality*/) {
  if (cs == nullptr || cs->logorig > 0.0f) return nullptr;
  if (cs->dtype == IDTfloat && (cs->format == IPFrgb || cs->format == IPFxyz))
    return "JPEG HDR YCbCr";
  if (cs->dtype == IDTubyte && cs->format == IPFrgb) return "JPEG DCT YCbCr";
  if (cs->dtype == IDTubyte && cs->format == IPFy) return "JPEG DCT grayscale";
  return nullptr;
}

long JPEGwriteImage24(const char* path, const _ImgWriteBuf* wb) {
  if (!usable(path, wb) || wb->csp->dtype != IDTubyte ||
      (wb->csp->format != IPFrgb && wb->csp->format != IPFy))
    return 0;
  return writeBeside(path, wb, compress24);
}

long JPEGwriteRows24(const char* path, const _ImgWriteBuf* wb, JPEGRowSource source, void* data) {
  if (source == nullptr || !usable(path, wb, false) || wb->csp->dtype != IDTubyte ||
      (wb->csp->format != IPFrgb && wb->csp->format != IPFy))
    return 0;
  RowFeed feed = {wb, source, data, nullptr};
  feed.row = static_cast<uint8_t*>(
      std::malloc(static_cast<size_t>(wb->xres) * (wb->csp->format == IPFy ? 1 : 3)));
  if (feed.row == nullptr) return 0;
  const long size = writeBeside(path, &feed, compressRows);
  std::free(feed.row);
  return size;
}

long JPEGwriteImageHDR(const char* path, const _ImgWriteBuf* wb) {
  if (!usable(path, wb) || wb->csp->dtype != IDTfloat ||
      (wb->csp->format != IPFrgb && wb->csp->format != IPFxyz))
    return 0;
  return writeBeside(path, wb, compressHDR);
}

long JPEGwriteImage(const char* path, const _ImgWriteBuf* wb) {
  if (!usable(path, wb)) return 0;
  const char* enc = JPEGsupportedCS(wb->csp, 0);
  if (enc == nullptr) return 0;
  return std::strcmp(enc, "JPEG HDR YCbCr") == 0 ? JPEGwriteImageHDR(path, wb)
                                                 : JPEGwriteImage24(path, wb);
}

const _ImgWriterInterface IWInterfaceJPEG = {"jpg", JPEGsupportedCS, JPEGwriteImage,
                                             JPEGwriteRows24};
