// Which of the tone-mapping loaders may read a reader's picture whole, straight from its file,
// into brightness and chroma: a faster way to the same pixels than reading through the reader.
#pragma once

#include "image/pireader.h"
#include "tonemap/tonemap.h"

enum PWholeLoader {
  PWLnone = 0,  // read through the reader
  PWLpicture,   // the picture loader: RGBE and XYZE pictures in the standard scan order
  PWLtiff,      // the TIFF loader: LogLuv, LogL and 16-bit gamma-encoded pages
};

// The loader that may read the reader's current picture whole; PWLnone for any other reader.
PWholeLoader PwholeLoader(const _ImgReader* ir);
// Loads the reader's current picture whole with that loader into brightness (and chroma, when
// cpp is given), reading the reader's own open file, never its name again: the loader's
// result, TMERR_NONE on success; TMERR_FILE when the reader has no file for it.
int PwholeLoad(const _ImgReader* ir, PWholeLoader loader, TMstruct* tms, TMbright** lpp,
               unsigned char** cpp, int* xp, int* yp);
