// The writing half of the BMP codec: header builders, the header and palette writer, and
// scanlines written flat or with 8-bit run-length encoding.
#include <cstdlib>
#include <cstring>

#include "formats/bmp.h"

namespace {

constexpr int kPaletteEntries = 256;
constexpr int32_t kPelsPerMeter = 2835;  // 72 dots per inch

int wrbytes(const uint8_t* buf, size_t n, BmpWriter* w) {
  if (w->putByte == stdio_putc && w->stream != nullptr) {
    const size_t put = fwrite(buf, 1, n, static_cast<FILE*>(w->stream));
    w->pos += static_cast<long>(put);
    if (w->pos > w->maxPos) w->maxPos = w->pos;
    return put == n ? BMP_OK : BMP_TRUNCATED;
  }
  for (size_t i = 0; i < n; ++i) {
    if (w->putByte(buf[i], w->stream) < 0) return BMP_TRUNCATED;
    if (++w->pos > w->maxPos) w->maxPos = w->pos;
  }
  return BMP_OK;
}

int wrint32(int32_t v, BmpWriter* w) {
  const uint32_t u = static_cast<uint32_t>(v);
  const uint8_t b[4] = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
                        static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24)};
  return wrbytes(b, 4, w);
}

int wruint16(uint16_t v, BmpWriter* w) {
  const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
  return wrbytes(b, 2, w);
}

int wrseek(long pos, BmpWriter* w) {
  if (pos == w->pos) return BMP_OK;
  if (w->seek == nullptr || w->seek(w->stream, pos) != 0) return BMP_SEEK_ERROR;
  w->pos = pos;
  return BMP_OK;
}

BmpInfo* newHeader(int width, int height, int extraBytes) {
  if (width < 1 || height < 1 || extraBytes < 0) return nullptr;
  const size_t block = sizeof(BmpInfo) + kPaletteEntries * 4;
  BmpInfo* info = static_cast<BmpInfo*>(calloc(1, block));
  if (info == nullptr) return nullptr;
  info->palette =
      reinterpret_cast<uint8_t(*)[4]>(reinterpret_cast<uint8_t*>(info) + sizeof(BmpInfo));
  info->width = width;
  info->height = height;
  info->extraBytes = extraBytes;
  info->xPelsPerMeter = info->yPelsPerMeter = kPelsPerMeter;
  info->compression = BI_RGB;
  return info;
}

// One scanline of 8-bit run-length codes: literal stretches until five equal bytes begin,
// runs of equal bytes, at most 255 pixels a code.
int writeRLE8(BmpWriter* w) {
  const uint8_t* s = w->scanline;
  const int n = w->info->width;
  uint8_t code[2];
  int res = BMP_OK;
  auto runOf5 = [&](int j) {
    if (j + 4 >= n) return false;
    for (int k = 1; k < 5; ++k)
      if (s[j + k] != s[j]) return false;
    return true;
  };
  int i = 0;
  while (i < n && res == BMP_OK) {
    int j = i;
    while (j < n && j - i < 255 && !runOf5(j)) ++j;
    const int lit = j - i;
    if (lit > 2) {
      code[0] = 0;
      code[1] = static_cast<uint8_t>(lit);
      res = wrbytes(code, 2, w);
      if (res == BMP_OK) res = wrbytes(s + i, static_cast<size_t>(lit), w);
      if (res == BMP_OK && (lit & 1)) {
        code[0] = 0;
        res = wrbytes(code, 1, w);
      }
    } else {
      for (int k = 0; k < lit && res == BMP_OK; ++k) {
        code[0] = 1;
        code[1] = s[i + k];
        res = wrbytes(code, 2, w);
      }
    }
    i = j;
    if (i < n && res == BMP_OK) {
      int k = i;
      while (k < n && k - i < 255 && s[k] == s[i]) ++k;
      code[0] = static_cast<uint8_t>(k - i);
      code[1] = s[i];
      res = wrbytes(code, 2, w);
      i = k;
    }
  }
  return res;
}

}  // namespace

BmpInfo* BMPtruecolorHeader(int width, int height, int extraBytes) {
  BmpInfo* info = newHeader(width, height, extraBytes);
  if (info != nullptr) info->bitCount = 24;
  return info;
}

BmpInfo* BMPmappedHeader(int width, int height, int extraBytes, int colours) {
  if (colours < 2 || colours > 256) return nullptr;
  BmpInfo* info = newHeader(width, height, extraBytes);
  if (info == nullptr) return nullptr;
  info->bitCount = colours <= 2 ? 1 : colours <= 16 ? 4 : 8;
  info->colorsUsed = info->colorsImportant = 1 << info->bitCount;
  for (int i = 0; i < colours; ++i) {
    const uint8_t v = static_cast<uint8_t>(255 * i / (colours - 1));
    info->palette[i][0] = info->palette[i][1] = info->palette[i][2] = v;
  }
  return info;
}

BmpWriter* BMPopenWriter(BmpPutByte putByte, BmpSeek seek, void* stream, BmpInfo* info) {
  if (putByte == nullptr || !BMPheaderOK(info) || info->bitCount == 16 ||
      info->compression == BI_RLE4 || info->extraBytes < 0) {
    free(info);
    return nullptr;
  }
  const int32_t scanBytes = BMPscanlineBytes(info);
  const bool fields = info->compression == BI_BITFIELDS;
  const int64_t headerBytes = fields ? 66 : 54;
  const int64_t dataStart = headerBytes + 4 * int64_t{info->colorsUsed} + info->extraBytes;
  const int64_t imageSize = int64_t{scanBytes} * info->height;
  if (dataStart + imageSize > INT32_MAX) {
    free(info);
    return nullptr;
  }
  BmpWriter* w = static_cast<BmpWriter*>(calloc(1, sizeof(BmpWriter)));
  uint8_t* scan = static_cast<uint8_t*>(calloc(static_cast<size_t>(scanBytes), 1));
  if (w == nullptr || scan == nullptr) {
    free(w);
    free(scan);
    free(info);
    return nullptr;
  }
  w->scanline = scan;
  w->info = info;
  w->putByte = putByte;
  w->seek = seek;
  w->stream = stream;
  w->scanBytes = scanBytes;
  w->dataStart = static_cast<long>(dataStart);
  const uint8_t magic[2] = {'B', 'M'};
  int res = wrbytes(magic, 2, w);
  const int32_t v[] = {static_cast<int32_t>(imageSize + dataStart),
                       0,
                       static_cast<int32_t>(dataStart),
                       fields ? 52 : 40,
                       info->width,
                       info->topDown ? -info->height : info->height};
  for (int32_t x : v)
    if (res == BMP_OK) res = wrint32(x, w);
  if (res == BMP_OK) res = wruint16(1, w);
  if (res == BMP_OK) res = wruint16(static_cast<uint16_t>(info->bitCount), w);
  const int32_t rest[] = {info->compression,   static_cast<int32_t>(imageSize),
                          info->xPelsPerMeter, info->yPelsPerMeter,
                          info->colorsUsed,    info->colorsImportant};
  for (int32_t x : rest)
    if (res == BMP_OK) res = wrint32(x, w);
  for (int i = 0; fields && i < 3 && res == BMP_OK; ++i)
    res = wrint32(static_cast<int32_t>(info->mask[i]), w);
  if (res == BMP_OK)
    res = wrbytes(&info->palette[0][0], 4 * static_cast<size_t>(info->colorsUsed), w);
  const uint8_t zero = 0;
  for (int32_t i = 0; i < info->extraBytes && res == BMP_OK; ++i) res = wrbytes(&zero, 1, w);
  if (res != BMP_OK) {
    BMPfreeWriter(w);
    return nullptr;
  }
  return w;
}

int BMPwriteScanline(BmpWriter* w) {
  if (w == nullptr || w->info == nullptr) return BMP_SEEK_ERROR;
  if (w->y >= w->info->height) return BMP_END;
  int res;
  if (w->info->compression != BI_RLE8) {
    res = wrseek(w->dataStart + static_cast<long>(w->y) * w->scanBytes, w);
    if (res == BMP_OK) res = wrbytes(w->scanline, static_cast<size_t>(w->scanBytes), w);
    if (res == BMP_OK) ++w->y;
    return res;
  }
  res = writeRLE8(w);
  if (res != BMP_OK) return res;
  const bool last = w->y == w->info->height - 1;
  const uint8_t end[2] = {0, static_cast<uint8_t>(last ? 1 : 0)};
  res = wrbytes(end, 2, w);
  if (res != BMP_OK) return res;
  ++w->y;
  if (last) {
    // The sizes in the header become the real ones; a stream that cannot seek keeps the
    // uncompressed sizes, which readers do not rely on.
    const long maxPos = w->maxPos;
    if (wrseek(2, w) == BMP_OK && wrint32(static_cast<int32_t>(maxPos), w) == BMP_OK &&
        wrseek(34, w) == BMP_OK)
      wrint32(static_cast<int32_t>(maxPos - w->dataStart), w);
    wrseek(maxPos, w);
  }
  return BMP_OK;
}

void BMPfreeWriter(BmpWriter* w) {
  if (w == nullptr) return;
  free(w->scanline);
  free(w->info);
  free(w);
}
