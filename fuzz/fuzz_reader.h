// Shared parts of the reader fuzz targets: the input as a file (readers open paths) and a
// read of a rectangle into a buffer big enough for any delivery.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "image/corvane.h"

// Writes the input to a scratch file of this process with the given suffix; its path, or ""
// when it cannot be written.
inline std::string fuzzInputFile(const uint8_t* data, size_t size, const char* suffix) {
  const std::string path = "/tmp/fuzz_reader_" + std::to_string(getpid()) + suffix;
  FILE* fp = fopen(path.c_str(), "wb");
  if (fp == nullptr) return "";
  fwrite(data, 1, size, fp);
  fclose(fp);
  return path;
}

// Reads from a corner picked by seed towards the far edges at the given step, in cs. The
// rectangle is at most 1024 pixels a side, so a header claiming a huge picture does not make
// the harness itself hold gigabytes.
inline void fuzzRead(_ImgReader* ir, const _ImgColorSpace& cs, int step, uint8_t seed) {
  if (ir->xres < 1 || ir->yres < 1) return;
  _ImgReadBuf rb{};
  rb.cs = cs;
  rb.cs.cstatic = 0;
  rb.subsample = step;
  const int x0 = seed % ir->xres, y0 = (seed / 5) % ir->yres;
  const int x1 = ir->xres - x0 > 1024 ? x0 + 1024 : ir->xres;
  const int y1 = ir->yres - y0 > 1024 ? y0 + 1024 : ir->yres;
  rb.r = {x0, x1, y0, y1};
  std::vector<uint8_t> buf(static_cast<size_t>(x1 - x0) * (y1 - y0) * 12 + 12);
  rb.buf = buf.data();
  rb.bufsize = buf.size();
  ir->ri->ReadRec(ir, &rb);
}
