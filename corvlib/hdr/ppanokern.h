// The anchor comparison kernel of panorama alignment: the relative difference of two float
// luminance sub-windows, plain and vectorised (AVX2, used where the processor offers it).
#pragma once

#include "image/pimage.h"

// 2 sqrt(mean of ((a - b) / (a + b))^2) over the n x m pixels with a + b > 0 of the
// sub-windows of o at (ox, oy) and d at (dx, dy); 0.7 when none counts.
float PpanoWindowError(const _ImgStruct& o, int ox, int oy, const _ImgStruct& d, int dx, int dy,
                       int n, int m);
float PpanoWindowErrorPlain(const _ImgStruct& o, int ox, int oy, const _ImgStruct& d, int dx,
                            int dy, int n, int m);
// Only where cpuHasAVX2().
float PpanoWindowErrorFast(const _ImgStruct& o, int ox, int oy, const _ImgStruct& d, int dx, int dy,
                           int n, int m);
