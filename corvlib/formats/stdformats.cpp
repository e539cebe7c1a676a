// Registration of the standard image readers.
#include "formats/stdformats.h"

namespace {

// Registration order.
const _ImgReaderInterface* const kStandardReaders[] = {
    &IRInterfaceTIFF, &IRInterfaceJPEG, &IRInterfaceRad, &IRInterfaceEXR, &IRInterfaceBMP};

}  // namespace

int PloadStandardReaders() {
  int ok = 1;
  for (const _ImgReaderInterface* ri : kStandardReaders)
    if (PaddIReaderI(ri) < 0) ok = 0;
  return ok;
}
