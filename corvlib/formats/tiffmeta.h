// The TIFF reader's access to a file's metadata through TIFFin. It lives apart from libtiff's
// headers, whose data-type enumerators carry the same names as TIFFin's.
#pragma once

#include <cstddef>

#include "image/pireader.h"

class TIFFin;

// A TIFFin over the file open at fd (taken; TIFFin::UseFd), or over size bytes at data when
// data is not null; null when the data is no TIFF structure.
TIFFin* TiffMetaAttach(int fd, const void* data, size_t size);
void TiffMetaFree(TIFFin* tin);
// GetExifInfo and GetExifThumbnail on it.
int TiffMetaInfo(TIFFin* tin, _ImgInfo* info);
int TiffMetaThumbnail(TIFFin* tin, _ImgStruct* img);
