// Fuzz target for the JPEG reader: the input written to a file, opened, its information and
// thumbnail read, then rows read in 8-bit RGB, grey and float at full and 1/8 scale.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/jpegio.h"
#include "fuzz_jpegmem.h"

namespace {

const char* inputPath() {
  static char path[64] = "";
  if (path[0] == '\0') {
    std::snprintf(path, sizeof path, "/tmp/fuzz_jpegread_%d.jpg", getpid());
    std::atexit([] { std::remove(path); });
  }
  return path;
}

void readSome(_ImgReader* ir, const _ImgColorSpace& cs, int s, int rows) {
  _ImgReadBuf rb;
  std::memset(&rb, 0, sizeof rb);
  rb.cs = cs;
  rb.subsample = s;
  rb.r = {0, ir->xres, 0, rows < ir->yres ? rows : ir->yres};
  static std::vector<uint8_t> buf;
  const size_t n = PreadBufBytes(&rb);
  if (n == 0 || n > (64u << 20)) return;
  buf.resize(n);
  rb.buf = buf.data();
  rb.bufsize = n;
  JRreadRec(ir, &rb);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* fp = std::fopen(inputPath(), "wb");
  if (fp == nullptr) return 0;
  std::fwrite(data, 1, size, fp);
  std::fclose(fp);
  _ImgReader* ir = JRopen(inputPath());
  if (ir == nullptr) return 0;
  if (ir->errCode == IREnone && ir->xres > 0 && ir->yres > 0) {
    _ImgInfo info;
    std::memset(&info, 0, sizeof info);
    JRgetInfo(ir, &info);
    _ImgStruct img;
    std::memset(&img, 0, sizeof img);
    img.csp = &ICS_sRGB;
    img.xres = 32;
    img.yres = 32;
    if (JRgetThumbnail(ir, &img) == IREnone) PfreeImage(&img);
    readSome(ir, ICS_sRGB, 8, 64);
    readSome(ir, ICS_sRGB, 1, 16);
    readSome(ir, ICS_Y8, 2, 16);
    readSome(ir, ICS_RGB709, 1, 8);
  }
  JRclose(ir);
  return 0;
}
