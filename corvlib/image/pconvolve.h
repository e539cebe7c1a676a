// Neighbourhood filters on whole images: a Gaussian blur (which may also resample) and the
// convolution with an arbitrary kernel given as a small image.
#pragma once

#include "image/pimage.h"

// Blurs src into dst (which supplies size and colour space; pixels optional) with a Gaussian
// of radius destination pixels, exp(-d^2/radius^2). 1 on success, 0 on failure.
int PblurImage(_ImgStruct* dst, const _ImgStruct* src, double radius);

// Convolves src with kernel (at least 3x3, smaller than src; centre ((w-1)/2, (h-1)/2)) in
// linear floating point: output (x, y) weighs source (x + kx - cx, y + ky - cy), edges
// repeated, by kernel (kx, ky), component by component. dst supplies the colour space; it
// takes src's size. 1 on success, 0 on failure.
int PconvolveImage(_ImgStruct* dst, const _ImgStruct* src, const _ImgStruct* kernel);
