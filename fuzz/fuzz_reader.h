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

// Reads from a corner picked by seed to the far edges at the given step, in cs.
inline void fuzzRead(_ImgReader* ir, const _ImgColorSpace& cs, int step, uint8_t seed) {
  if (ir->xres < 1 || ir->yres < 1) return;
  _ImgReadBuf rb{};
  rb.cs = cs;
  rb.cs.cstatic = 0;
  rb.subsample = step;
  rb.r = {seed % ir->xres, ir->xres, (seed / 5) % ir->yres, ir->yres};
  std::vector<uint8_t> buf(static_cast<size_t>(ir->xres) * ir->yres * 12 + 12);
  rb.buf = buf.data();
  rb.bufsize = buf.size();
  ir->ri->ReadRec(ir, &rb);
}
