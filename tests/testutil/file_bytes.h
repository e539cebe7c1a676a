// Whole files as bytes, and 8-bit RGB pictures written as JPEG through the library's writer:
// the helpers the benchmarks and fuzz targets share with the tests.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

#include "formats/jpegio.h"

// The file's bytes; empty when it cannot be read.
inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes bytes over path.
inline void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

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
