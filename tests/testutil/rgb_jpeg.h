// 8-bit RGB pictures written as JPEG through the library's writer, for the benchmarks and fuzz
// targets that need sheets and photos of a known size.
#pragma once

#include <string>

#include "formats/jpegio.h"

// Writes w x h sRGB pixels (3 bytes each, rows packed) to path as a JPEG of the quality given.
inline void WriteRgbJpeg(const std::string& path, int w, int h, const void* rgb, int quality) {
  _ImgWriteBuf wb = {};
  wb.xres = w;
  wb.yres = h;
  wb.rowsize = w * 3;
  wb.pixAspect = 1.0f;
  wb.csp = &ICS_sRGB;
  wb.info.flags = IIFquality;
  wb.info.quality = quality;
  wb.img = rgb;
  IWInterfaceJPEG.WriteImage(path.c_str(), &wb);
}
