// Fuzz target for the RGBE/XYZE picture reader: open, image information, frames, and reads
// of the whole picture and of subsampled rectangles in float and tone-mapped 8-bit form.
#include "formats/radformat.h"
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzzInputFile(data, size, ".hdr");
  if (path.empty()) return 0;
  _ImgReader* ir = IRInterfaceRad.Open(path.c_str());
  // Bound the work: the picture may claim any size.
  if (ir != nullptr && static_cast<int64_t>(ir->xres) * ir->yres <= (int64_t{1} << 20)) {
    const uint8_t seed = size > 0 ? data[size - 1] : 0;
    _ImgInfo info{};
    ir->ri->GetInfo(ir, &info);
    fuzzRead(ir, ICS_RGB709, 1, 0);
    fuzzRead(ir, ICS_sRGB, 1 + seed % 3, seed);
    ir->ri->ToneMapping(ir, 100.0, 200.0, 1);
    fuzzRead(ir, ICS_sRGB, 2, seed);
    if (ir->ri->SeekFrame(ir, 1, 1) == IREnone &&
        static_cast<int64_t>(ir->xres) * ir->yres <= (int64_t{1} << 20))
      fuzzRead(ir, ICS_XYZ, 1 + seed % 2, seed);
    ir->ri->SeekFrame(ir, 0, 0);
    fuzzRead(ir, ICS_RGB709, 3, seed);
  }
  if (ir != nullptr) ir->ri->Close(ir);
  unlink(path.c_str());
  return 0;
}
