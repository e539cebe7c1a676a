// Inside the JPEG format: what the reader learns from libjpeg's structures. Only the format's
// own files, its tests and its fuzz targets include this header (and so libjpeg's).
#pragma once

#include <jpeglib.h>

// The IJG quality setting that made the file's luminance quantisation table, estimated from
// the table's top-left 4 x 4 corner; -1 when there is no such table.
int JRgetQuality(j_decompress_ptr cinfo);
