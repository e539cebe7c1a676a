// Fuzz target for the BMP codec: a BMP held in memory, every scanline read and decoded, then
// sought back to the start, with and without a seek callback.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/bmp.h"

namespace {

struct Mem {
  const uint8_t* data;
  size_t size, pos;
};
int memGet(void* s) {
  Mem* m = static_cast<Mem*>(s);
  return m->pos < m->size ? m->data[m->pos++] : -1;
}
int memSeek(void* s, long pos) {
  Mem* m = static_cast<Mem*>(s);
  if (pos < 0) return -1;
  m->pos = static_cast<size_t>(pos);
  return 0;
}

void decodeAll(const uint8_t* data, size_t size, bool seekable) {
  Mem m{data, size, 0};
  BmpReader* r = BMPopenReader(memGet, seekable ? memSeek : nullptr, &m);
  if (r == nullptr) return;
  const int w = r->info->width, h = r->info->height;
  std::vector<uint8_t> row(static_cast<size_t>(w) * 3);
  // Decoding is capped at about four million pixels, so that each input stays quick.
  const int rows = w > (1 << 22) ? 1 : (1 << 22) / w;
  for (int y = 0; y < h && y < rows; ++y) {
    if (BMPseekScanline(y, r) != BMP_OK) break;
    BMPdecodeRow(row.data(), 0, 1, w, 0, r);
    BMPdecodeRow(row.data(), w - 1, -1, 1, 1, r);
  }
  BMPseekScanline(0, r);
  BMPseekScanline(h - 1, r);
  BMPisGrayscale(r->info);
  BMPfreeReader(r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  decodeAll(data, size, true);
  decodeAll(data, size, false);
  return 0;
}
