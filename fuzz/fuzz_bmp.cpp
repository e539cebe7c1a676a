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
  // Decoding is capped at a few million pixels (the first ones of each row and its last one),
  // so that each input stays quick.
  const int n = w < (1 << 16) ? w : (1 << 16);
  std::vector<uint8_t> row(static_cast<size_t>(n) * 3);
  for (int y = 0; y < h && y < (1 << 22) / n; ++y) {
    if (BMPseekScanline(y, r) != BMP_OK) break;
    BMPdecodeRow(row.data(), 0, 1, n, 0, r);
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
