// Which tone-mapping loader may read a reader's picture whole.
#include "formats/wholeload.h"

#include "formats/radformat.h"
#include "formats/tiffimg.h"
#include "formats/tiffpriv.h"

PWholeLoader PwholeLoader(const _ImgReader* ir) {
  if (ir == nullptr) return PWLnone;
  if (ir->ri == &IRInterfaceRad) return RadStandardOrder(ir) ? PWLpicture : PWLnone;
  if (ir->ri == &IRInterfaceTIFF)
    return static_cast<const TIFFReader*>(ir)->WholeToneLoad() ? PWLtiff : PWLnone;
  return PWLnone;
}
