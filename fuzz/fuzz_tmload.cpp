// Fuzz target for the tone-mapping picture loader: a picture read from memory into brightness
// and chroma, histogrammed and mapped to display bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "picture/picheader.h"
#include "tonemap/tmloaders.h"
#include "tonemap/tonemap.h"

namespace {

int ignoreLine(const char*, void*) {
  return 0;
}

// Size the picture claims, so that inputs asking for more memory than the fuzzer allows are
// passed over (the loader itself accepts any size up to its limit).
bool smallEnough(std::vector<uint8_t>& bytes) {
  FILE* fp = fmemopen(bytes.data(), bytes.size(), "rb");
  if (fp == nullptr) return false;
  int xres = 0, yres = 0;
  const bool ok = getheader(fp, ignoreLine, nullptr) == 0 && fgetresolu(&xres, &yres, fp) >= 0 &&
                  xres > 0 && yres > 0 && int64_t{xres} * yres <= (int64_t{1} << 20);
  fclose(fp);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  if (!smallEnough(bytes)) return 0;
  FILE* fp = fmemopen(bytes.data(), bytes.size(), "rb");
  if (fp == nullptr) return 0;
  TMstruct* tms = tmInit(TMF_HCONTRAST | TMF_MESOPIC | TMF_QUIET, nullptr, 2.2);
  if (tms != nullptr) {
    TMbright* lum = nullptr;
    unsigned char* cs = nullptr;
    int x = 0, y = 0;
    if (tmLoadPicture(tms, &lum, &cs, &x, &y, "fuzz.hdr", fp) == 0) {
      const int n = x * y;
      if (tmAddHisto(tms, lum, n, 1) == 0 && tmComputeMapping(tms, 2.2, 32.0, 100.0) == 0) {
        std::vector<unsigned char> out(static_cast<size_t>(n) * 3);
        tmMapPixels(tms, out.data(), lum, cs, n);
      }
    }
    std::free(lum);
    std::free(cs);
    tmDone(tms);
  }
  fclose(fp);
  return 0;
}
