// OpenEXR files: the reader and writer plug-ins.
//
// The reader delivers the file's R, G, B (or single R, G, B or A) channels as float pixels in
// the file's own colour space, or tone-mapped to 8-bit RGB or grey, and its standard
// attributes as image information. The writer saves float RGB, XYZ or grey images as
// PIZ-compressed half-float files with their image information as attributes.
#pragma once

#include "image/pireader.h"

// Reader: suffixes exr (its format name) and ilm.
extern const _ImgReaderInterface IRInterfaceEXR;
// The reader over the file open at fd (taken), named path (ImgOpenFd, image/pireader.h).
_ImgReader* ERopenFd(int fd, const char* path);
// Writer: suffix exr.
extern const _ImgWriterInterface IWInterfaceEXR;

// The encoding ExrWriteImage uses for cs ("EXR PIZ RGB" or "EXR PIZ Green"), or null when
// cs cannot be written (only float RGB, XYZ and grey, not logarithmic). quality is ignored.
const char* ExrSupportedCS(const _ImgColorSpace* cs, int quality);
// Writes a float RGB, XYZ or grey image; returns the file size, 0 on failure. Values beyond
// the half-float range are reported. An existing file of that name is replaced only once
// the new one is complete.
long ExrWriteImage(const char* path, const _ImgWriteBuf* wb);
// The same file of rows that come one at a time from source (wb's pixels are not used).
long ExrWriteRows(const char* path, const _ImgWriteBuf* wb, ImgRowSource source, void* data);
