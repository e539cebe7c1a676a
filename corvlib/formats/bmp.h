// Windows BMP files: a codec that reads and writes them through byte callbacks (so that it does
// not depend on the kind of stream), the reader plug-in IRInterfaceBMP over it, and a file
// writer that never leaves a half-written file in place of an old one.
//
// Read: uncompressed 1, 4, 8, 24 and 32 bits per pixel, 16 and 32 bits with bit-field masks,
// 8- and 4-bit run-length encoding, bottom-up and top-down files, information headers of 40
// bytes and longer (the V4 and V5 headers). The 12-byte OS/2 header is refused.
// Written: every depth but 16 bits, uncompressed, with bit fields or 8-bit run-length encoding.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/pireader.h"

// Codec results.
enum : int {
  BMP_END = -1,  // past the last scanline
  BMP_OK = 0,
  BMP_TRUNCATED = 1,
  BMP_UNSUPPORTED = 2,
  BMP_RLE_ERROR = 3,
  BMP_SEEK_ERROR = 4
};
const char* BMPerrorMessage(int code);

// Compression values.
enum : int32_t { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3 };

// A decoded header.
struct BmpInfo {
  int topDown;  // 1 when the top row comes first in the file
  int32_t xPelsPerMeter, yPelsPerMeter;
  int32_t colorsUsed;       // palette entries
  int32_t colorsImportant;  // 0 in the file means all
  int32_t compression;
  int32_t width, height;  // pixels; height positive
  int32_t bitCount;       // 1, 4, 8, 16, 24 or 32
  // Bytes between the palette and the pixel data. The reader skips them; the writer writes
  // that many zero bytes.
  int32_t extraBytes;
  // Blue, green, red, reserved per entry. 256 entries for 8 bits or fewer (those past
  // colorsUsed are black, so any pixel index is safe), else none.
  uint8_t (*palette)[4];
  uint32_t mask[3];  // red, green and blue masks of bit-field files
};

// 1 when the header describes an image the codec handles.
int BMPheaderOK(const BmpInfo* info);
// Bytes of one stored uncompressed scanline (padded to 4 bytes); 0 when too large.
int32_t BMPscanlineBytes(const BmpInfo* info);
// -1 for NULL, 0 above 8 bits, 1 when there is no palette or every entry is grey, else 0.
int BMPisGrayscale(const BmpInfo* info);

// Callbacks: the next byte or -1 at the end of data; an absolute seek, 0 on success (may be
// NULL); write one byte, the byte or -1 on failure.
typedef int (*BmpGetByte)(void* stream);
typedef int (*BmpSeek)(void* stream, long pos);
typedef int (*BmpPutByte)(int c, void* stream);

// Callbacks over a stdio stream (-1, or no action, for a NULL stream).
int stdio_getc(void* stream);
int stdio_fseek(void* stream, long pos);
int stdio_putc(int c, void* stream);

struct BmpReader {
  uint8_t* scanline;  // the current scanline, unpacked from run-length data
  int32_t y;          // current scanline in file order, -1 before the first
  BmpInfo* info;
  long pos;  // position in the stream
  BmpGetByte getByte;
  BmpSeek seek;
  void* stream;
  long dataStart;  // where the pixel data begins
  // Run-length files with a seek callback: where each scanline read so far begins. The table
  // grows as scanlines are read, so that a huge height in a small file costs nothing.
  long* ypos;
  int32_t yposCount;  // scanlines whose start is known
  int32_t yposCap;
  int32_t scanBytes;
  int32_t failed;  // the result of a failed scanline read; later reads give it again
};

// Parses the header and reads the first scanline. NULL when the data is no BMP the codec reads;
// *result (when given) then says why (BMP_UNSUPPORTED also for data that is no BMP at all).
BmpReader* BMPopenReader(BmpGetByte getByte, BmpSeek seek, void* stream, int* result = nullptr);
// Makes scanline y (file order) the current one.
int BMPseekScanline(int y, BmpReader* reader);
// Reads the next scanline.
int BMPreadScanline(BmpReader* reader);
// Pixel x of the current scanline as blue, green, red, 0; all zero outside the scanline.
void BMPdecodePixel(uint8_t quad[4], int x, const BmpReader* reader);
// Decodes n pixels x0, x0 + step, ... of the current scanline into dst: red, green, blue each,
// or with grey set the green byte only. The pixels must lie inside the scanline.
void BMPdecodeRow(uint8_t* dst, int x0, int step, int n, int grey, const BmpReader* reader);
void BMPfreeReader(BmpReader* reader);

struct BmpWriter {
  uint8_t* scanline;  // the caller fills it before each BMPwriteScanline
  int32_t y;          // scanlines written
  BmpInfo* info;      // owned by the writer
  long dataStart;
  long pos;
  long maxPos;  // furthest position written
  BmpPutByte putByte;
  BmpSeek seek;
  void* stream;
  int32_t scanBytes;
};

// A 24-bit uncompressed header, 2835 pixels a metre, or NULL for a size below 1 or negative
// extra bytes. Free with std::free.
BmpInfo* BMPtruecolorHeader(int width, int height, int extraBytes);
// A palette header of 1, 4 or 8 bits for 2 to 256 colours with a grey ramp in its first entries.
BmpInfo* BMPmappedHeader(int width, int height, int extraBytes, int colours);
// Writes the headers, palette and extra bytes; NULL (info freed) when there is no callback,
// the header is invalid, or it asks for 16 bits or 4-bit run-length encoding.
BmpWriter* BMPopenWriter(BmpPutByte putByte, BmpSeek seek, void* stream, BmpInfo* info);
// Writes the scanline buffer as the next scanline in file order.
int BMPwriteScanline(BmpWriter* writer);
void BMPfreeWriter(BmpWriter* writer);

// Writes a BMP file: fill(scanline, y, data) stores scanline y (file order, packed as the file
// stores it) and returns 1, or 0 to give up. The file is written under a temporary name in the
// same folder and renamed into place when complete, so a failed write leaves any old file as
// it was. Takes info; returns the file's size, 0 on failure.
typedef int (*BmpFillRow)(uint8_t* scanline, int y, void* data);
long BMPwriteFile(const char* path, BmpInfo* info, BmpFillRow fill, void* data);

// The reader plug-in: suffix list "BMP.rle"; 8-bit RGB, or 8-bit grey for grey palettes.
extern const _ImgReaderInterface IRInterfaceBMP;
_ImgReader* BMopen(const char* path);
// The reader over the file open at fd (taken), named path (ImgOpenFd, image/pireader.h).
_ImgReader* BMopenFd(int fd, const char* path);
ImgReadErr BMreadRec(_ImgReader* ir, _ImgReadBuf* rb);
void BMclose(_ImgReader* ir);
