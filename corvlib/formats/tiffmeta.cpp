// TIFFin and the EXIF routines for the TIFF reader.
#include "formats/tiffmeta.h"

#include <unistd.h>

#include <new>

#include "formats/exif.h"
#include "formats/tiffin.h"

TIFFin* TiffMetaAttach(int fd, const void* data, size_t size) {
  TIFFin* tin = new (std::nothrow) TIFFin();
  if (tin == nullptr) {
    if (data == nullptr && fd >= 0) close(fd);
    return nullptr;
  }
  const int ok = data != nullptr ? tin->UseBuffer(data, size) : tin->UseFd(fd);
  if (ok) return tin;
  delete tin;
  return nullptr;
}

void TiffMetaFree(TIFFin* tin) {
  delete tin;
}

int TiffMetaInfo(TIFFin* tin, _ImgInfo* info) {
  return tin != nullptr && GetExifInfo(info, tin);
}

int TiffMetaThumbnail(TIFFin* tin, _ImgStruct* img) {
  return tin != nullptr && GetExifThumbnail(img, tin);
}
