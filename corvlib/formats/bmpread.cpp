// The BMP reader plug-in: 8-bit RGB, or 8-bit grey for files whose palette is grey, read
// scanline by scanline through the codec.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "formats/bmp.h"
#include "support/futil.h"

namespace {

struct BMPReaderState {
  _ImgReader ir;
  BmpReader* bmp;
  FILE* fp;
};

ImgReadErr codecError(int res) {
  switch (res) {
    case BMP_TRUNCATED:
      return IREtruncated;
    case BMP_UNSUPPORTED:
      return IREunsupported;
    case BMP_RLE_ERROR:
      return IREformat;
    case BMP_SEEK_ERROR:
      return IREread;
    default:
      return IREunknown;
  }
}

const char* encodingName(const BmpInfo* info, bool grey) {
  switch (info->bitCount) {
    case 1:
      return "Bilevel bitmap";
    case 4:
      return grey ? "4-bit grayscale" : "4-bit color";
    case 8:
      return grey ? "8-bit grayscale" : "8-bit color";
    case 16:
      return "16-bit RGB";
    case 24:
      return "24-bit RGB";
    default:
      return "32-bit RGB";
  }
}

// The size of the information header of a file that starts with "BM", or -1.
long headerSize(FILE* fp) {
  uint8_t b[18];
  if (fseek(fp, 0, SEEK_SET) != 0 || fread(b, 1, sizeof b, fp) != sizeof b) return -1;
  return static_cast<long>(b[14] | b[15] << 8 | b[16] << 16 | uint32_t{b[17]} << 24);
}

// Whether the run-length data after the header could code the whole picture. Each code of
// two bytes gives at most 255 pixels; rows may end early, but a picture larger than its data
// could fill even so is a damaged header (a width far past what the rows hold would read as
// rows ended early, with nothing in them).
bool rleDataCanHold(FILE* fp, const BmpReader* r) {
  struct stat st;
  if (fstat(fileno(fp), &st) != 0 || st.st_size <= r->dataStart) return false;
  const int64_t codes = (static_cast<int64_t>(st.st_size) - r->dataStart) / 2;
  return int64_t{r->info->width} * r->info->height <= codes * 255;
}

}  // namespace

const _ImgReaderInterface IRInterfaceBMP = {"BMP.rle", BMopen,  nullptr,   nullptr,
                                            nullptr,   nullptr, BMreadRec, BMclose};

_ImgReader* BMopen(const char* path) {
  if (path == nullptr) return nullptr;
  const int fd = PopenRead(path);
  return fd >= 0 ? BMopenFd(fd, path) : nullptr;
}

_ImgReader* BMopenFd(int fd, const char* path) {
  FILE* fp = path != nullptr ? fdopen(fd, "rb") : nullptr;
  if (fp == nullptr) {
    close(fd);
    return nullptr;
  }
  char magic[2];
  if (fread(magic, 1, 2, fp) != 2 || magic[0] != 'B' || (magic[1] != 'M' && magic[1] != 'A') ||
      fseek(fp, 0, SEEK_SET) != 0) {
    fclose(fp);
    return nullptr;
  }
  BMPReaderState* st = static_cast<BMPReaderState*>(calloc(1, sizeof(BMPReaderState)));
  if (st == nullptr) {
    fclose(fp);
    return nullptr;
  }
  st->fp = fp;
  _ImgReader* ir = &st->ir;
  ir->ri = &IRInterfaceBMP;
  snprintf(ir->file, sizeof ir->file, "%s", path);
  ir->frameType = IRFnone;
  ir->pixAspect = 1.0f;
  ir->cs = ICS_sRGB;
  ir->cs.cstatic = 0;
  ir->encoding = "BMP";
  int res = BMP_OK;
  st->bmp = BMPopenReader(stdio_getc, stdio_fseek, fp, &res);
  if (st->bmp == nullptr) {
    // A BMP this reader cannot take: say why.
    const long hsize = headerSize(fp);
    ir->errCode = res == BMP_OK ? IREunsupported : codecError(res);
    if (hsize >= 0 && hsize < 40)
      snprintf(ir->errMsg, sizeof ir->errMsg, "OS/2 bitmap header (%ld bytes) not supported",
               hsize);
    else
      snprintf(ir->errMsg, sizeof ir->errMsg, "%s", BMPerrorMessage(res));
    return ir;
  }
  const BmpInfo* info = st->bmp->info;
  if ((info->compression == BI_RLE8 || info->compression == BI_RLE4) &&
      !rleDataCanHold(fp, st->bmp)) {
    ir->errCode = IREtruncated;
    snprintf(ir->errMsg, sizeof ir->errMsg, "%s", BMPerrorMessage(BMP_TRUNCATED));
    return ir;
  }
  ir->xres = info->width;
  ir->yres = info->height;
  if (info->xPelsPerMeter > 0 && info->yPelsPerMeter > 0)
    ir->pixAspect = static_cast<float>(info->yPelsPerMeter) / info->xPelsPerMeter;
  const bool grey = BMPisGrayscale(info) == 1;
  if (grey) {
    ir->cs = ICS_Y8;
    ir->cs.cstatic = 0;
  }
  ir->encoding = encodingName(info, grey);
  const int first = info->topDown ? 0 : ir->yres - 1;
  ir->fr = {0, ir->xres, first, first + 1};
  ir->nr = ir->fr;
  return ir;
}

ImgReadErr BMreadRec(_ImgReader* ir, _ImgReadBuf* rb) {
  BMPReaderState* st = reinterpret_cast<BMPReaderState*>(ir);
  if (st == nullptr || st->bmp == nullptr || rb == nullptr || rb->subsample < 1) return IREunknown;
  ir->errCode = IREnone;
  if (!PmatchColorSpace(&rb->cs, &ir->cs, 3)) {
    rb->cs = ir->cs;
    rb->cs.cstatic = 0;
  }
  _ImgRect& r = rb->r;
  if (r.xleft < 0 || r.ytop < 0 || r.xright > ir->xres || r.ybottom > ir->yres ||
      r.xleft >= r.xright || r.ytop >= r.ybottom) {
    ir->errCode = IREunknown;
    snprintf(ir->errMsg, sizeof ir->errMsg, "illegal read rectangle");
    return ir->errCode;
  }
  const int step = rb->subsample;
  if (rb->buf == nullptr) {
    // The reader's own buffer holds one output row of the whole width.
    r.xleft = 0;
    r.xright = ir->xres;
    r.ybottom = r.ytop + step;
    const size_t bytes = r.ybottom <= ir->yres ? PreadBufBytes(rb) : 0;
    if (bytes == 0) {
      ir->errCode = IREunknown;
      snprintf(ir->errMsg, sizeof ir->errMsg, "internal buffer size error");
      return ir->errCode;
    }
    rb->buf = malloc(bytes);
    if (rb->buf == nullptr) {
      ir->errCode = IREmemory;
      snprintf(ir->errMsg, sizeof ir->errMsg, "cannot allocate new read buffer");
      return ir->errCode;
    }
    rb->bufsize = bytes;
  } else if (!PreadBufFits(rb)) {
    // Too small for what this reader delivers: nothing is read, cs says what would come.
    r.xright = r.xleft;
    return IREnone;
  }
  const int w = (r.xright - r.xleft) / step;
  const int h = (r.ybottom - r.ytop) / step;
  const bool grey = rb->cs.format == IPFy;
  const size_t rowBytes = static_cast<size_t>(w) * (grey ? 1 : 3);
  const BmpInfo* info = st->bmp->info;
  // Rows in file order, so that a file without seeks is read front to back.
  for (int i = 0; i < h; ++i) {
    const int k = info->topDown ? i : h - 1 - i;
    const int row = r.ytop + k * step;
    const int fileRow = info->topDown ? row : ir->yres - 1 - row;
    const int res = BMPseekScanline(fileRow, st->bmp);
    if (res != BMP_OK) {
      ir->errCode = res == BMP_END ? IREunknown : codecError(res);
      snprintf(ir->errMsg, sizeof ir->errMsg, "%s",
               res == BMP_END ? "unexpected read past end" : BMPerrorMessage(res));
      return ir->errCode;
    }
    BMPdecodeRow(static_cast<uint8_t*>(rb->buf) + static_cast<size_t>(k) * rowBytes, r.xleft, step,
                 w, grey, st->bmp);
  }
  // The next scanline in file order is what comes without going back.
  const int next = st->bmp->y + 1;
  if (next < ir->yres) {
    const int row = info->topDown ? next : ir->yres - 1 - next;
    ir->nr = {0, ir->xres, row, row + 1};
  }
  return IREnone;
}

void BMclose(_ImgReader* ir) {
  if (ir == nullptr) return;
  BMPReaderState* st = reinterpret_cast<BMPReaderState*>(ir);
  BMPfreeReader(st->bmp);
  if (st->fp != nullptr) fclose(st->fp);
  free(st);
}
