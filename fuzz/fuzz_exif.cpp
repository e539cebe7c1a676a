// Fuzz target for the TIFF directory reader and the EXIF routines: a TIFF-structured block in
// memory (as carried by a JPEG's APP1 segment) read into image information, a colour space
// and the embedded thumbnail, and every entry of the first directories read generically.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "formats/exif.h"
#include "formats/tiffin.h"
#include "fuzz_jpegmem.h"

namespace {

void readEveryEntry(TIFFin* tin) {
  static unsigned char dest[1024 * 8 + 8];
  for (int d = 0; d < 3 && tin->SetIFD(d); ++d) {
    for (int tag; (tag = tin->NextTag()) >= 0;) {
      switch (tag % 4) {
        case 0:
          tin->GetData(dest, 0, 1024, 0);
          break;
        case 1:
          tin->GetInteger(0);
          break;
        case 2:
          tin->GetReal(0);
          break;
        default:
          tin->GetData(dest, tag % 13, 64, tag % 2 ? 8 : 0);
          break;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TIFFin tin;
  if (!tin.UseBuffer(data, size)) return 0;
  _ImgInfo info;
  std::memset(&info, 0, sizeof info);
  GetExifInfo(&info, &tin);
  _ImgColorSpace cs;
  GetExifCS(&cs, &tin);
  readEveryEntry(&tin);
  _ImgStruct img;
  std::memset(&img, 0, sizeof img);
  img.csp = &ICS_sRGB;
  img.xres = 64;
  img.yres = 48;
  if (GetExifThumbnail(&img, &tin)) PfreeImage(&img);
  return 0;
}
