// Which of the tone-mapping loaders may read a reader's picture whole, straight from its file,
// into brightness and chroma: a faster way to the same pixels than reading through the reader.
#pragma once

#include "image/pireader.h"

enum PWholeLoader {
  PWLnone = 0,  // read through the reader
  PWLpicture,   // the picture loader: RGBE and XYZE pictures in the standard scan order
  PWLtiff,      // the TIFF loader: LogLuv, LogL and 16-bit gamma-encoded pages
};

// The loader that may read the reader's current picture whole; PWLnone for any other reader.
PWholeLoader PwholeLoader(const _ImgReader* ir);
