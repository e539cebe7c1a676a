// Writing a BMP file through the codec, under a temporary name renamed into place when done.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "formats/bmp.h"
#include "support/replacefile.h"

long BMPwriteFile(const char* path, BmpInfo* info, BmpFillRow fill, void* data) {
  if (path == nullptr || *path == '\0' || info == nullptr || fill == nullptr) {
    free(info);
    return 0;
  }
  std::string tmp;
  struct stat made;
  const int fd = PtempBeside(path, &tmp, -1, nullptr, &made);
  if (fd < 0) {
    free(info);
    return 0;
  }
  FILE* fp = fdopen(fd, "wb");
  if (fp == nullptr) {
    close(fd);
    PdiscardTemp(tmp);
    free(info);
    return 0;
  }
  BmpWriter* w = BMPopenWriter(stdio_putc, stdio_fseek, fp, info);
  bool ok = w != nullptr;
  for (int y = 0; ok && y < w->info->height; ++y)
    ok = fill(w->scanline, y, data) && BMPwriteScanline(w) == BMP_OK;
  long size = 0;
  if (ok) {
    size = w->maxPos;
    ok = fflush(fp) == 0 && fsync(fileno(fp)) == 0;
  }
  BMPfreeWriter(w);
  ok = fclose(fp) == 0 && ok;
  if (!ok) {
    PdiscardTemp(tmp);
    return 0;
  }
  return PcommitTemp(tmp, path, &made) ? size : 0;
}
