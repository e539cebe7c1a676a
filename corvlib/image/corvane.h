// The image model, all of it: pixel encodings and colour spaces, colour matrices, image
// buffers, pixel conversion, resampling, the reader and writer registry, blurring and
// convolution, warping. Only includes; each part has a header of its own.
#pragma once

#include "image/pconvert.h"
#include "image/pconvolve.h"
#include "image/picolor.h"
#include "image/pimage.h"
#include "image/pireader.h"
#include "image/piresamp.h"
#include "image/piwarp.h"
