// Fuzz target for the tone-mapping TIFF loader: a TIFF held in memory (LogLuv, LogL, float or
// 16-bit) loaded into brightness and chroma and mapped to display bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <tiffio.h>

#include "tonemap/tmloaders.h"
#include "tonemap/tonemap.h"

namespace {

struct MemFile {
  const uint8_t* data;
  toff_t size;
  toff_t pos;
};

tmsize_t memRead(thandle_t h, void* buf, tmsize_t n) {
  auto* f = static_cast<MemFile*>(h);
  if (n <= 0 || f->pos >= f->size) return 0;
  const toff_t left = f->size - f->pos;
  const toff_t take = static_cast<toff_t>(n) < left ? static_cast<toff_t>(n) : left;
  std::memcpy(buf, f->data + f->pos, static_cast<size_t>(take));
  f->pos += take;
  return static_cast<tmsize_t>(take);
}
tmsize_t memWrite(thandle_t, void*, tmsize_t) {
  return 0;
}
toff_t memSeek(thandle_t h, toff_t off, int whence) {
  auto* f = static_cast<MemFile*>(h);
  toff_t base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->size : 0;
  f->pos = base + off;
  return f->pos;
}
int memClose(thandle_t) {
  return 0;
}
toff_t memSize(thandle_t h) {
  return static_cast<MemFile*>(h)->size;
}
int memMap(thandle_t, void**, toff_t*) {
  return 0;
}
void memUnmap(thandle_t, void*, toff_t) {}
void quiet(const char*, const char*, va_list) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TIFFSetErrorHandler(quiet);
  TIFFSetWarningHandler(quiet);
  MemFile mf{data, size, 0};
  TIFF* tp = TIFFClientOpen("fuzz.tif", "rm", &mf, memRead, memWrite, memSeek, memClose, memSize,
                            memMap, memUnmap);
  if (tp == nullptr) return 0;
  uint32_t w = 0, h = 0;
  TIFFGetField(tp, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tp, TIFFTAG_IMAGELENGTH, &h);
  // Inputs that claim more memory than the fuzzer allows are passed over.
  if (w > 0 && h > 0 && uint64_t{w} * h <= (uint64_t{1} << 20)) {
    TMstruct* tms = tmInit(TMF_HCONTRAST | TMF_QUIET, nullptr, 2.2);
    if (tms != nullptr) {
      TMbright* lum = nullptr;
      unsigned char* cs = nullptr;
      int x = 0, y = 0;
      if (tmLoadTIFF(tms, &lum, &cs, &x, &y, "fuzz.tif", tp) == 0) {
        const int n = x * y;
        if (tmAddHisto(tms, lum, n, 1) == 0 && tmComputeMapping(tms, 2.2, 32.0, 100.0) == 0) {
          unsigned char* out = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(n) * 3));
          if (out != nullptr) tmMapPixels(tms, out, lum, cs, n);
          std::free(out);
        }
      }
      std::free(lum);
      std::free(cs);
      tmDone(tms);
    }
  }
  TIFFClose(tp);
  return 0;
}
