// RGBE and XYZE pictures: the reader and writer plug-ins.
//
// A picture is a text header, a resolution line and scanlines of four-byte shared-exponent
// pixels, in RGB ("32-bit_rle_rgbe") or CIE XYZ ("32-bit_rle_xyze"), possibly several frames
// one after the other. The reader delivers any rectangle, with integer subsampling, in the
// picture's own float colour space or tone-mapped to 8-bit RGB; the writer saves float RGB
// or XYZ images with their image information as header lines.
#pragma once

#include "image/pireader.h"

// Reader: suffixes hdr, pic, rgbe, xyze.
extern const _ImgReaderInterface IRInterfaceRad;
// The reader over the file open at fd (taken), named path (ImgOpenFd, image/pireader.h).
_ImgReader* RRopenFd(int fd, const char* path);
// The descriptor a reader of this format reads its picture through (the reader's own: not to
// be closed, nor read at its position); -1 for any other reader or a closed file.
int RadReaderFd(const _ImgReader* ir);
// Whether a reader of this format reads a picture in the standard scan order (top row first,
// left to right: "-Y n +X m"); false for any other reader.
bool RadStandardOrder(const _ImgReader* ir);

// Writer: suffix hdr.
extern const _ImgWriterInterface IWInterfaceRad;

// The encoding RadWriteImage uses for cs at quality (flat scanlines from 100), or null when
// cs cannot be written (only float RGB and XYZ, not logarithmic).
const char* RadSupportedCS(const _ImgColorSpace* cs, int quality);
// Writes a float RGB or XYZ image; returns the file size, 0 on failure. An existing file of
// that name is replaced only once the new one is complete.
long RadWriteImage(const char* path, const _ImgWriteBuf* wb);
// The same picture of rows that come one at a time from source (wb's pixels are not used).
long RadWriteRows(const char* path, const _ImgWriteBuf* wb, ImgRowSource source, void* data);
