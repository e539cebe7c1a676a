// Loads a whole RGBE picture file (standard orientation only) into floats, three a pixel, for
// the tests and benchmarks that run the shared HDR pictures.
#pragma once

#include <cstdio>
#include <vector>

#include "picture/picheader.h"
#include "picture/rgbe.h"

// False when the file is missing, is no RGBE picture, or is cut short.
inline bool loadRgbePicture(const char* path, int* w, int* h, std::vector<float>* px) {
  FILE* fp = std::fopen(path, "rb");
  if (fp == nullptr) return false;
  char fmt[MAXFMTLEN] = "32-bit_rle_rgbe";
  bool ok = checkheader(fp, fmt, nullptr) == 1 && fgetresolu(w, h, fp) == (RES_YMAJ | RES_YDEC) &&
            *w > 0 && *h > 0;
  if (ok) {
    px->resize(static_cast<size_t>(*w) * *h * 3);
    for (int y = 0; ok && y < *h; y++)
      ok = freadscan(px->data() + static_cast<size_t>(y) * *w * 3, *w, fp) == 0;
  }
  std::fclose(fp);
  return ok;
}
