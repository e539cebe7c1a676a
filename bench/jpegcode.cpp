// Whole-process JPEG coding through the library, for timing from outside beside libjpeg's
// command-line tools:
//   jpegcode read FILE          reads FILE full size as 8-bit RGB through its reader, 16 rows
//                               at a time (as djpeg decodes; the rows are not kept)
//   jpegcode render FILE        renders FILE full size into an 8-bit RGB image through the
//                               reader registry, as the image window and export do
//   jpegcode write PPM OUT [Q]  writes a binary 8-bit PPM as a JPEG of quality Q (default 90)
//                               through the JPEG writer, its rows read as they are coded
//   jpegcode write-whole ...    the same from the picture read whole first
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <vector>

#include "formats/jpegio.h"
#include "formats/stdformats.h"
#include "image/corvane.h"

namespace {

int readFile(const char* path, bool render) {
  PloadStandardReaders();
  _ImgReader* ir = PopenImageF(path, 0, nullptr);
  if (ir == nullptr) return 1;
  int ok = 1;
  if (render) {
    _ImgStruct img;
    std::memset(&img, 0, sizeof img);
    img.xres = ir->xres;
    img.yres = ir->yres;
    img.csp = &ICS_sRGB;
    ok = PrenderImageR(&img, ir, 0);
    PfreeImage(&img);
  } else {
    const int band = 16;
    std::vector<uint8_t> rows(static_cast<size_t>(ir->xres) * 3 * band);
    for (int y = 0; ok && y < ir->yres; y += band) {
      _ImgReadBuf rb;
      std::memset(&rb, 0, sizeof rb);
      rb.cs = ICS_sRGB;
      rb.r = {0, ir->xres, y, y + band < ir->yres ? y + band : ir->yres};
      rb.subsample = 1;
      rb.buf = rows.data();
      rb.bufsize = rows.size();
      ok = ir->ri->ReadRec(ir, &rb) == IREnone && rb.r.ybottom > rb.r.ytop;
    }
  }
  ir->ri->Close(ir);
  return ok ? 0 : 1;
}

// An open binary PPM (P6, 8 bits) positioned at its first pixel.
struct Ppm {
  FILE* fp = nullptr;
  int w = 0, h = 0;
};

bool openPpm(const char* path, Ppm* p) {
  p->fp = std::fopen(path, "rb");
  int maxval = 0;
  return p->fp != nullptr && std::fscanf(p->fp, "P6 %d %d %d", &p->w, &p->h, &maxval) == 3 &&
         maxval == 255 && p->w > 0 && p->h > 0 && std::fgetc(p->fp) != EOF;
}

int nextRow(uint8_t* row, int, void* data) {
  Ppm* p = static_cast<Ppm*>(data);
  return std::fread(row, 3, static_cast<size_t>(p->w), p->fp) == static_cast<size_t>(p->w);
}

int writeFile(const char* in, const char* out, int quality, bool whole) {
  Ppm p;
  if (!openPpm(in, &p)) return 1;
  _ImgWriteBuf wb;
  std::memset(&wb, 0, sizeof wb);
  wb.xres = p.w;
  wb.yres = p.h;
  wb.rowsize = 3 * p.w;
  wb.pixAspect = 1.0f;
  wb.csp = &ICS_sRGB;
  wb.info.flags = IIFquality;
  wb.info.quality = quality;
  long size = 0;
  if (whole) {
    std::vector<uint8_t> px(static_cast<size_t>(wb.rowsize) * p.h);
    for (int y = 0; y < p.h; y++) nextRow(px.data() + static_cast<size_t>(y) * wb.rowsize, y, &p);
    wb.img = px.data();
    size = JPEGwriteImage24(out, &wb);
  } else {
    size = JPEGwriteRows24(out, &wb, nextRow, &p);
  }
  std::fclose(p.fp);
  return size > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "read") == 0) return readFile(argv[2], false);
  if (argc == 3 && std::strcmp(argv[1], "render") == 0) return readFile(argv[2], true);
  const bool whole = argc > 1 && std::strcmp(argv[1], "write-whole") == 0;
  if ((argc == 4 || argc == 5) && (whole || std::strcmp(argv[1], "write") == 0))
    return writeFile(argv[2], argv[3], argc == 5 ? std::atoi(argv[4]) : 90, whole);
  std::fprintf(stderr,
               "usage: jpegcode read FILE | render FILE | write[-whole] PPM OUT [QUALITY]\n");
  return 2;
}
