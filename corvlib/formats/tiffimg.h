// TIFF images: the reader plug-in IRInterfaceTIFF, the writer table IWInterfaceTIFF, and the
// capture of libtiff's messages that both use. Pixels are decoded and encoded by libtiff; the
// reader adds colour spaces, subsampled reads of any rectangle and tone-mapped 8-bit delivery
// of float, 16-bit and logarithmic data.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "image/pireader.h"

// The last libtiff warning or error of any TIFF reader or writer.
constexpr size_t TIFF_MSGLEN = 256;
extern char TiffMessageBuffer[TIFF_MSGLEN];
// Put a libtiff message into TiffMessageBuffer: "module: " (when there is a module), then
// "Warning, " for warnings, then the formatted text.
void BufferTiffWarning(const char* module, const char* fmt, va_list args);
void BufferTiffError(const char* module, const char* fmt, va_list args);

// The most bytes libtiff or the reader allocates at once for one file, so that a hostile file
// cannot claim all memory.
extern size_t TiffMaxSingleAlloc;

// The reader: suffix list "TIFF.tif".
extern const _ImgReaderInterface IRInterfaceTIFF;
_ImgReader* TRopen(const char* path);
// The reader over the file open at fd (taken), named path (ImgOpenFd, image/pireader.h).
_ImgReader* TRopenFd(int fd, const char* path);
// Seek modes: 0 to page n, 1 by n pages, 2 advance by n pages.
ImgReadErr TRseekFrame(_ImgReader* ir, int n, int mode);
ImgReadErr TRgetInfo(_ImgReader* ir, _ImgInfo* info);
ImgReadErr TRgetThumbnail(_ImgReader* ir, _ImgStruct* img);
void TRtoneMapping(_ImgReader* ir, double dynrange, double maxlum, int human);
ImgReadErr TRreadRec(_ImgReader* ir, _ImgReadBuf* rb);
void TRclose(_ImgReader* ir);
// A reader over a TIFF held in memory; the bytes must outlive the reader.
_ImgReader* TRopenMemory(const void* data, size_t size, const char* name);

// The writer: suffix "tif".
extern const _ImgWriterInterface IWInterfaceTIFF;
// The encoding written for cs at quality (a negative quality means 90), or NULL.
const char* TiffSupportedCS(const _ImgColorSpace* cs, int quality);
// Writes one strip-organised page under a temporary name, renamed onto path when complete;
// returns the file's size, 0 on failure (libtiff's text then stays in TiffMessageBuffer).
long TiffWriteImage(const char* path, const _ImgWriteBuf* wb);
// The same page of rows that come one at a time from source (wb's pixels are not used).
long TiffWriteRows(const char* path, const _ImgWriteBuf* wb, ImgRowSource source, void* data);
