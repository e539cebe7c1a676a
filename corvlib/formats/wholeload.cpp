// Which tone-mapping loader may read a reader's picture whole.
#include "formats/wholeload.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "formats/radformat.h"
#include "formats/tiffimg.h"
#include "formats/tiffpriv.h"
#include "support/futil.h"
#include "tonemap/tmloaders.h"

PWholeLoader PwholeLoader(const _ImgReader* ir) {
  if (ir == nullptr) return PWLnone;
  if (ir->ri == &IRInterfaceRad) return RadStandardOrder(ir) ? PWLpicture : PWLnone;
  if (ir->ri == &IRInterfaceTIFF)
    return static_cast<const TIFFReader*>(ir)->WholeToneLoad() ? PWLtiff : PWLnone;
  return PWLnone;
}

int PwholeLoad(const _ImgReader* ir, PWholeLoader loader, TMstruct* tms, TMbright** lpp,
               unsigned char** cpp, int* xp, int* yp) {
  if (ir == nullptr || loader == PWLnone || loader != PwholeLoader(ir)) return TMERR_FILE;
  if (loader == PWLpicture) {
    // A stream of its own over the reader's open file: the reader's position stays as it is.
    const int fd = RadReaderFd(ir);
    FILE* fp = fd >= 0 ? PfdopenAt(fcntl(fd, F_DUPFD_CLOEXEC, 0)) : nullptr;
    if (fp == nullptr) return TMERR_FILE;
    const int err = tmLoadPicture(tms, lpp, cpp, xp, yp, ir->file, fp);
    fclose(fp);
    return err;
  }
  // A handle of its own: the reader's handles seek before they read.
  const int own = static_cast<const TIFFReader*>(ir)->Fd();
  TIFF* tif = own >= 0 ? TiffOpenFd(own, ir->file, "r") : nullptr;
  if (tif == nullptr) {
    if (own >= 0) close(own);
    return TMERR_FILE;
  }
  const int err = tmLoadTIFF(tms, lpp, cpp, xp, yp, ir->file, tif);
  TIFFClose(tif);
  return err;
}
