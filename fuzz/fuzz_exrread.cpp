// Fuzz target for the OpenEXR reader: open, image information, and reads of the whole image
// and of subsampled rectangles as float and tone-mapped 8-bit pixels.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "formats/exrformat.h"
#include "image/corvane.h"

namespace {

const std::string& scratchPath() {
  static const std::string p = "/tmp/fuzz_exrread_" + std::to_string(getpid()) + ".exr";
  return p;
}

void readAll(_ImgReader* ir, const _ImgColorSpace& cs, int step, uint8_t seed) {
  _ImgReadBuf rb{};
  rb.cs = cs;
  rb.cs.cstatic = 0;
  rb.subsample = step;
  rb.r = {seed % ir->xres, ir->xres, (seed / 5) % ir->yres, ir->yres};
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
  _ImgReader* ir = IRInterfaceEXR.Open(path.c_str());
  if (ir != nullptr) {
    _ImgInfo info{};
    ir->ri->GetInfo(ir, &info);
    // Bound the work: the file may claim any size.
    if (ir->errCode == IREnone && ir->xres > 0 && ir->yres > 0 &&
        static_cast<int64_t>(ir->xres) * ir->yres <= (int64_t{1} << 18)) {
      const uint8_t seed = size > 0 ? data[size - 1] : 0;
      readAll(ir, ir->cs, 1, 0);
      readAll(ir, ir->cs.format == IPFy ? ICS_Y8 : ICS_sRGB, 1 + seed % 3, seed);
      ir->ri->ToneMapping(ir, 100.0, 200.0, 1);
      readAll(ir, ir->cs.format == IPFy ? ICS_Y8 : ICS_sRGB, 2, seed);
      readAll(ir, ir->cs, 3, seed);
    }
    ir->ri->Close(ir);
  }
  unlink(path.c_str());
  return 0;
}
