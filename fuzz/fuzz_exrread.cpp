// Fuzz target for the OpenEXR reader: open, image information, and reads of the whole image
// and of subsampled rectangles as float and tone-mapped 8-bit pixels.
#include "formats/exrformat.h"
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzzInputFile(data, size, ".exr");
  if (path.empty()) return 0;
  _ImgReader* ir = IRInterfaceEXR.Open(path.c_str());
  if (ir != nullptr) {
    _ImgInfo info{};
    ir->ri->GetInfo(ir, &info);
    // Bound the work: the file may claim any size.
    if (ir->errCode == IREnone && static_cast<int64_t>(ir->xres) * ir->yres <= (int64_t{1} << 18)) {
      const uint8_t seed = size > 0 ? data[size - 1] : 0;
      const _ImgColorSpace& eight = ir->cs.format == IPFy ? ICS_Y8 : ICS_sRGB;
      fuzzRead(ir, ir->cs, 1, 0);
      fuzzRead(ir, eight, 1 + seed % 3, seed);
      ir->ri->ToneMapping(ir, 100.0, 200.0, 1);
      fuzzRead(ir, eight, 2, seed);
      fuzzRead(ir, ir->cs, 3, seed);
    }
    ir->ri->Close(ir);
  }
  unlink(path.c_str());
  return 0;
}
