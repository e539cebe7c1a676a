// Fuzz target for the RGBE/XYZE picture reader: open, image information, frames, and reads
// of the whole picture and of subsampled rectangles in float and tone-mapped 8-bit form.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "formats/radformat.h"
#include "image/corvane.h"

namespace {

const std::string& scratchPath() {
  static const std::string p = "/tmp/fuzz_radread_" + std::to_string(getpid()) + ".hdr";
  return p;
}

void readAll(_ImgReader* ir, const _ImgColorSpace& cs, int step, uint8_t seed) {
  if (ir->xres < 1 || ir->yres < 1) return;
  if (static_cast<int64_t>(ir->xres) * ir->yres > (int64_t{1} << 20)) return;
  _ImgReadBuf rb{};
  rb.cs = cs;
  rb.subsample = step;
  rb.r = {seed % ir->xres, ir->xres, (seed / 7) % ir->yres, ir->yres};
  std::vector<uint8_t> buf(static_cast<size_t>(ir->xres) * ir->yres * 12 + 12);
  rb.buf = buf.data();
  rb.bufsize = buf.size();
  ir->ri->ReadRec(ir, &rb);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = scratchPath();
  FILE* fp = fopen(path.c_str(), "wb");
  if (fp == nullptr) return 0;
  fwrite(data, 1, size, fp);
  fclose(fp);
  _ImgReader* ir = IRInterfaceRad.Open(path.c_str());
  if (ir != nullptr) {
    const uint8_t seed = size > 0 ? data[size - 1] : 0;
    _ImgInfo info{};
    ir->ri->GetInfo(ir, &info);
    readAll(ir, ICS_RGB709, 1, 0);
    _ImgColorSpace cs = ICS_sRGB;
    cs.cstatic = 0;
    readAll(ir, cs, 1 + seed % 3, seed);
    ir->ri->ToneMapping(ir, 100.0, 200.0, 1);
    readAll(ir, cs, 2, seed);
    if (ir->ri->SeekFrame(ir, 1, 1) == IREnone) readAll(ir, ICS_XYZ, 1 + seed % 2, seed);
    ir->ri->SeekFrame(ir, 0, 0);
    readAll(ir, ICS_RGB709, 3, seed);
    ir->ri->Close(ir);
  }
  unlink(path.c_str());
  return 0;
}
