// Fuzz target for the TIFF reader: a TIFF held in memory, opened through libtiff with the
// reader's own message handlers and allocation cap, read natively and tone-mapped, whole and
// subsampled, on each of its first pages, with its metadata.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "formats/tiffimg.h"

namespace {

void readAll(_ImgReader* ir, const _ImgColorSpace& cs, int n) {
  _ImgReadBuf rb;
  memset(&rb, 0, sizeof rb);
  rb.cs = cs;
  rb.subsample = n;
  rb.r = {0, ir->xres / n * n, 0, ir->yres / n * n};
  if (rb.r.xright == 0 || rb.r.ybottom == 0) return;
  std::vector<uint8_t> buf(static_cast<size_t>(ir->xres / n) * (ir->yres / n) * 12);
  rb.buf = buf.data();
  rb.bufsize = buf.size();
  TRreadRec(ir, &rb);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TiffMaxSingleAlloc = size_t{64} << 20;
  _ImgReader* ir = TRopenMemory(data, size, "fuzz.tif");
  if (ir == nullptr) return 0;
  _ImgInfo info;
  TRgetInfo(ir, &info);
  for (int page = 0; page < 3 && ir->errCode == IREnone; ++page) {
    // Pictures that claim more pixels than the fuzzer's memory allows are passed over.
    if (static_cast<uint64_t>(ir->xres) * ir->yres > (uint64_t{1} << 20)) break;
    readAll(ir, ir->cs, 1);
    readAll(ir, ICS_sRGB, 1);
    readAll(ir, ICS_Y8, 3);
    readAll(ir, ir->cs, 2);
    if (TRseekFrame(ir, 1, 1) != IREnone) break;
  }
  TRclose(ir);
  return 0;
}
