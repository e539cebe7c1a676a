// Fuzz target for the tone-mapping TIFF loader: a TIFF held in memory (LogLuv, LogL, float or
// 16-bit) loaded into brightness and chroma and mapped to display bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <tiffio.h>

#include "formats/tiffpriv.h"
#include "tonemap/tmloaders.h"
#include "tonemap/tonemap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // libtiff's messages go to the TIFF reader's buffer, not to standard error.
  TiffMemFile mf;
  mf.data = data;
  mf.size = size;
  TIFF* tp = TiffOpenMemory(&mf, "fuzz.tif");
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
