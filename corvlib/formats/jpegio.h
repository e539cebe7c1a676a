// JPEG files: the reader format (plain JPEG and JPEG-HDR, with EXIF information, the EXIF
// thumbnail, the quality estimate and reads scaled by 1/2, 1/4 or 1/8 inside the decoder) and
// the writer format (8-bit RGB or grey as baseline JPEG, float RGB or XYZ as JPEG-HDR).
#pragma once

#include "image/pireader.h"

// The JPEG reader: suffixes "JPEG.jpg.jfif.jff.jiff".
extern const _ImgReaderInterface IRInterfaceJPEG;

_ImgReader* JRopen(const char* path);
// The reader over the file open at fd (taken), named path (ImgOpenFd, image/pireader.h).
_ImgReader* JRopenFd(int fd, const char* path);
ImgReadErr JRgetInfo(_ImgReader* ir, _ImgInfo* info);
ImgReadErr JRgetThumbnail(_ImgReader* ir, _ImgStruct* img);
ImgReadErr JRreadRec(_ImgReader* ir, _ImgReadBuf* rb);
void JRclose(_ImgReader* ir);

// The JPEG writer: suffix "jpg".
extern const _ImgWriterInterface IWInterfaceJPEG;

// "JPEG HDR YCbCr" for float RGB or XYZ, "JPEG DCT YCbCr" for 8-bit RGB, "JPEG DCT grayscale"
// for 8-bit grey; null for anything else (and for logarithmic spaces).
const char* JPEGsupportedCS(const _ImgColorSpace* cs, int quality);
// Writes the image in the encoding JPEGsupportedCS names; the file's size in bytes, 0 on any
// failure. The file appears under path only when complete: an existing file is replaced at
// the end, never left half written.
long JPEGwriteImage(const char* path, const _ImgWriteBuf* wb);
long JPEGwriteImage24(const char* path, const _ImgWriteBuf* wb);
// Fills row with row y (0, 1 ... in order) of a picture being written; 0 abandons the write.
typedef ImgRowSource JPEGRowSource;
// Writes an 8-bit RGB or grey picture whose rows come one at a time from source (wb gives
// the size, colour space and information; its pixels are not used), so that a picture need
// not be held whole to be written: the same file JPEGwriteImage24 makes of those rows. A float
// picture (JPEG-HDR) is encoded whole: 0 for it here.
long JPEGwriteRows24(const char* path, const _ImgWriteBuf* wb, JPEGRowSource source, void* data);
// The JPEG-HDR encoding gives way between its bands of work (PworkSlice, support/pwork.h), as
// writers that take rows do between rows; a Stop there fails the write (0).
long JPEGwriteImageHDR(const char* path, const _ImgWriteBuf* wb);
