// The standard image formats: their reader and writer tables, and the registration of the
// readers at start-up.
#pragma once

#include "formats/bmp.h"
#include "formats/exrformat.h"
#include "formats/jpegio.h"
#include "formats/radformat.h"
#include "formats/tiffimg.h"

// Registers the standard readers in their fixed order (TIFF, JPEG, RGBE picture, OpenEXR,
// BMP); returns 1 when every one got a
// place in the registry (again 1, adding nothing, when they are there already), else 0.
// Files whose suffix several readers accept are offered to the last registered first; a file
// that the readers of its suffix refuse is offered to the reader of the format its first bytes
// name. Each reads the file from the descriptor the registry opened it through.
int PloadStandardReaders();
