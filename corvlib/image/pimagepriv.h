// Helpers shared by the image-buffer and conversion files.
#pragma once

#include "image/pconvert.h"

// Whether the image's colour space is the private copy inside its own pixel block.
bool PimgPrivateCS(const _ImgStruct* img);

// Converts the rows of src into dst (same size, dst's rows wide enough) with a finished
// conversion record, in the row order that keeps overlapping views safe. Reports and
// returns 0 only when its row buffer cannot be had.
int PmapRows(_ImgStruct* dst, const _ImgStruct* src, const _ImgColorConv* cv);
