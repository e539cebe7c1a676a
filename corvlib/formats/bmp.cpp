// The reading half of the BMP codec: header parsing, scanline reading (flat and run-length)
// and pixel decoding. Every count and offset from the file is checked before use.
#include "formats/bmp.h"

#include <cstdlib>
#include <cstring>

namespace {

// Largest scanline the codec takes on, so that a small hostile header cannot ask for a huge
// buffer (more than a 4-million-pixel-wide 32-bit row).
constexpr int64_t kMaxScanBytes = int64_t{1} << 24;
constexpr int kPaletteEntries = 256;

// Reads n bytes; 0 when all came, 1 at the end of data. The position counts only bytes read.
int rdbytes(uint8_t* buf, size_t n, BmpReader* r) {
  if (r->getByte == stdio_getc && r->stream != nullptr) {
    const size_t got = fread(buf, 1, n, static_cast<FILE*>(r->stream));
    r->pos += static_cast<long>(got);
    return got == n ? 0 : 1;
  }
  for (size_t i = 0; i < n; ++i) {
    const int c = r->getByte(r->stream);
    if (c < 0) return 1;
    buf[i] = static_cast<uint8_t>(c);
    ++r->pos;
  }
  return 0;
}

int rdint32(int32_t* v, BmpReader* r) {
  uint8_t b[4];
  if (rdbytes(b, 4, r)) return 1;
  *v = static_cast<int32_t>(uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 |
                            uint32_t{b[3]} << 24);
  return 0;
}

int rduint16(uint16_t* v, BmpReader* r) {
  uint8_t b[2];
  if (rdbytes(b, 2, r)) return 1;
  *v = static_cast<uint16_t>(b[0] | b[1] << 8);
  return 0;
}

// Skips forward to pos, by seeking when a callback is there, else by reading.
int skipTo(long pos, BmpReader* r) {
  if (pos < r->pos) return 1;
  if (pos == r->pos) return 0;
  if (r->seek != nullptr) {
    if (r->seek(r->stream, pos) != 0) return 1;
    r->pos = pos;
    return 0;
  }
  while (r->pos < pos)
    if (r->getByte(r->stream) < 0)
      return 1;
    else
      ++r->pos;
  return 0;
}

// Notes that scanline y (the next one after those known) begins at the current position.
bool recordStart(BmpReader* r, int32_t y) {
  if (y >= r->yposCap) {
    const int32_t cap =
        r->yposCap == 0 ? 64 : (r->yposCap > INT32_MAX / 2 ? INT32_MAX : 2 * r->yposCap);
    long* p = static_cast<long*>(realloc(r->ypos, static_cast<size_t>(cap) * sizeof(long)));
    if (p == nullptr) return false;
    r->ypos = p;
    r->yposCap = cap;
  }
  r->ypos[y] = r->pos;
  r->yposCount = y + 1;
  return true;
}

int getc1(BmpReader* r) {
  const int c = r->getByte(r->stream);
  if (c >= 0) ++r->pos;
  return c;
}

// One run-length scanline into the buffer: width bytes (8-bit) or width nibbles (4-bit).
int readRLE(BmpReader* r) {
  const BmpInfo* info = r->info;
  const bool four = info->compression == BI_RLE4;
  const int32_t w = info->width;
  uint8_t* s = r->scanline;
  memset(s, 0, static_cast<size_t>(r->scanBytes));
  int32_t x = 0;
  auto put = [&](int32_t at, int v) {
    if (!four) {
      s[at] = static_cast<uint8_t>(v);
    } else if (at & 1) {
      s[at >> 1] = static_cast<uint8_t>((s[at >> 1] & 0xF0) | (v & 0x0F));
    } else {
      s[at >> 1] = static_cast<uint8_t>((s[at >> 1] & 0x0F) | (v & 0x0F) << 4);
    }
  };
  for (;;) {
    const int c = getc1(r);
    if (c < 0) return BMP_TRUNCATED;
    const int v = getc1(r);
    if (v < 0) return BMP_TRUNCATED;
    // A full scanline ends with end of line, or end of bitmap on the last one; an end of
    // bitmap before the last scanline is an error.
    if (x == w && c == 0 && v == 1) {
      if (r->y == info->height - 1) break;
      return BMP_RLE_ERROR;
    }
    if (c > 0) {
      // A run of c pixels; in 4-bit data they alternate the two nibbles of v. Pixels past the
      // row's end (some writers pad rows to an even width) are dropped.
      const int keep = c < w - x ? c : w - x;
      for (int i = 0; i < keep; ++i, ++x) put(x, four ? ((i & 1) ? v & 0x0F : v >> 4) : v);
      continue;
    }
    if (v == 0) break;                             // end of line: the rest stays 0
    if (v == 1 || v == 2) return BMP_UNSUPPORTED;  // end of bitmap or delta inside the image
    // v literal pixels, stored in whole bytes padded to an even count; those past the row's
    // end are dropped.
    const int end = v < w - x ? x + v : w;
    const int nbytes = four ? (v + 1) / 2 : v;
    for (int i = 0; i < nbytes; ++i) {
      const int b = getc1(r);
      if (b < 0) return BMP_TRUNCATED;
      if (!four) {
        if (x < end) put(x++, b);
      } else {
        if (x < end) put(x++, b >> 4);
        if (x < end && 2 * i + 1 < v) put(x++, b & 0x0F);
      }
    }
    if ((nbytes & 1) && getc1(r) < 0) return BMP_TRUNCATED;
  }
  return BMP_OK;
}

// Channel value of a bit-field pixel scaled to 0..255: ((v AND mask) * 256) / (mask + 1), in
// 64 bits so that any 32-bit mask works.
inline uint8_t fieldValue(uint32_t v, uint32_t mask) {
  return static_cast<uint8_t>((uint64_t{v & mask} << 8) / (uint64_t{mask} + 1));
}

// Pixel x of the current scanline as blue, green, red, 0; x must be inside the scanline.
inline void decode(uint8_t q[4], int x, const BmpReader* r) {
  const BmpInfo* info = r->info;
  const uint8_t* s = r->scanline;
  switch (info->bitCount) {
    case 1:
      memcpy(q, info->palette[(s[x >> 3] >> (7 - (x & 7))) & 1], 4);
      break;
    case 4:
      memcpy(q, info->palette[(x & 1) ? s[x >> 1] & 0x0F : s[x >> 1] >> 4], 4);
      break;
    case 8:
      memcpy(q, info->palette[s[x]], 4);
      break;
    case 16: {
      const uint32_t v = s[2 * x] | s[2 * x + 1] << 8;
      uint32_t rm = 0x7C00, gm = 0x03E0, bm = 0x001F;
      if (info->compression == BI_BITFIELDS)
        rm = info->mask[0], gm = info->mask[1], bm = info->mask[2];
      q[0] = fieldValue(v, bm);
      q[1] = fieldValue(v, gm);
      q[2] = fieldValue(v, rm);
      break;
    }
    case 24:
      q[0] = s[3 * x];
      q[1] = s[3 * x + 1];
      q[2] = s[3 * x + 2];
      break;
    case 32: {
      const uint8_t* p = s + 4 * static_cast<size_t>(x);
      if (info->compression != BI_BITFIELDS) {
        memcpy(q, p, 4);
        return;
      }
      const uint32_t v = p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
      q[0] = fieldValue(v, info->mask[2]);
      q[1] = fieldValue(v, info->mask[1]);
      q[2] = fieldValue(v, info->mask[0]);
      break;
    }
    default:
      q[0] = q[1] = q[2] = 0;
  }
  q[3] = 0;
}

void freeReader(BmpReader* r) {
  if (r == nullptr) return;
  free(r->scanline);
  free(r->ypos);
  free(r->info);
  free(r);
}

}  // namespace

const char* BMPerrorMessage(int code) {
  switch (code) {
    case BMP_END:
      return "End of BMP image";
    case BMP_OK:
      return "No error";
    case BMP_TRUNCATED:
      return "Truncated BMP image";
    case BMP_UNSUPPORTED:
      return "Unsupported BMP feature";
    case BMP_RLE_ERROR:
      return "BMP runlength encoding error";
    case BMP_SEEK_ERROR:
      return "BMP seek error";
    default:
      return "Unknown BMP error";
  }
}

int BMPheaderOK(const BmpInfo* info) {
  if (info == nullptr || info->width <= 0 || info->height <= 0) return 0;
  switch (info->bitCount) {
    case 1:
    case 24:
      if (info->compression != BI_RGB) return 0;
      break;
    case 4:
      if (info->compression != BI_RGB && info->compression != BI_RLE4) return 0;
      break;
    case 8:
      if (info->compression != BI_RGB && info->compression != BI_RLE8) return 0;
      break;
    case 16:
    case 32:
      if (info->compression == BI_BITFIELDS) {
        if ((info->mask[0] & info->mask[1] & info->mask[2]) != 0) return 0;
      } else if (info->compression != BI_RGB) {
        return 0;
      }
      break;
    default:
      return 0;
  }
  if (info->bitCount <= 8) {
    if (info->colorsUsed < 0 || info->colorsUsed > (1 << info->bitCount)) return 0;
    if (info->colorsImportant < 0 || info->colorsImportant > info->colorsUsed) return 0;
  } else if (info->colorsUsed != 0) {
    return 0;
  }
  return BMPscanlineBytes(info) > 0;
}

int32_t BMPscanlineBytes(const BmpInfo* info) {
  if (info == nullptr || info->width <= 0 || info->bitCount <= 0) return 0;
  const int64_t bits = int64_t{info->width} * info->bitCount;
  const int64_t bytes = ((bits + 7) / 8 + 3) / 4 * 4;
  return bytes > kMaxScanBytes ? 0 : static_cast<int32_t>(bytes);
}

int BMPisGrayscale(const BmpInfo* info) {
  if (info == nullptr) return -1;
  if (info->bitCount > 8) return 0;
  for (int i = 0; i < info->colorsUsed; ++i) {
    const uint8_t* e = info->palette[i];
    if (e[0] != e[1] || e[1] != e[2]) return 0;
  }
  return 1;
}

int stdio_getc(void* stream) {
  return stream == nullptr ? -1 : getc_unlocked(static_cast<FILE*>(stream));
}

int stdio_fseek(void* stream, long pos) {
  return stream == nullptr ? -1 : fseek(static_cast<FILE*>(stream), pos, SEEK_SET);
}

int stdio_putc(int c, void* stream) {
  return stream == nullptr ? -1 : putc_unlocked(c, static_cast<FILE*>(stream));
}

BmpReader* BMPopenReader(BmpGetByte getByte, BmpSeek seek, void* stream, int* result) {
  int dummy;
  if (result == nullptr) result = &dummy;
  *result = BMP_UNSUPPORTED;
  if (getByte == nullptr) return nullptr;
  BmpReader* r = static_cast<BmpReader*>(calloc(1, sizeof(BmpReader)));
  if (r == nullptr) return nullptr;
  r->getByte = getByte;
  r->seek = seek;
  r->stream = stream;
  r->y = -1;
  // Header and palette in one block; the palette always has 256 entries.
  const size_t block = sizeof(BmpInfo) + kPaletteEntries * 4;
  BmpInfo* info = static_cast<BmpInfo*>(calloc(1, block));
  if (info == nullptr) {
    free(r);
    return nullptr;
  }
  info->palette =
      reinterpret_cast<uint8_t(*)[4]>(reinterpret_cast<uint8_t*>(info) + sizeof(BmpInfo));
  r->info = info;
  auto fail = [&](int code) -> BmpReader* {
    *result = code;
    freeReader(r);
    return nullptr;
  };

  uint8_t magic[2];
  if (rdbytes(magic, 2, r) || magic[0] != 'B' || (magic[1] != 'M' && magic[1] != 'A'))
    return fail(BMP_UNSUPPORTED);
  int32_t fileSize, reserved, offset, hsize, width, height, compression, imageSize;
  uint16_t planes, bitCount;
  if (rdint32(&fileSize, r) || rdint32(&reserved, r) || rdint32(&offset, r) || rdint32(&hsize, r))
    return fail(BMP_TRUNCATED);
  if (hsize < 40) return fail(BMP_UNSUPPORTED);
  if (rdint32(&width, r) || rdint32(&height, r) || rduint16(&planes, r) || rduint16(&bitCount, r) ||
      rdint32(&compression, r) || rdint32(&imageSize, r) || rdint32(&info->xPelsPerMeter, r) ||
      rdint32(&info->yPelsPerMeter, r) || rdint32(&info->colorsUsed, r) ||
      rdint32(&info->colorsImportant, r))
    return fail(BMP_TRUNCATED);
  if (width <= 0 || height == 0 || height == INT32_MIN || planes != 1) return fail(BMP_UNSUPPORTED);
  if (height < 0) {
    info->topDown = 1;
    height = -height;
  }
  info->width = width;
  info->height = height;
  info->bitCount = bitCount;
  info->compression = compression;
  if (bitCount <= 8 && info->colorsUsed == 0) info->colorsUsed = 1 << bitCount;
  if (info->colorsImportant < 0) return fail(BMP_UNSUPPORTED);
  if (info->colorsImportant == 0) info->colorsImportant = info->colorsUsed;
  // Bit-field masks follow the first 40 bytes of the header (inside a V4 or V5 header);
  // the palette follows the whole header.
  if (compression == BI_BITFIELDS) {
    int32_t m[3];
    if (rdint32(&m[0], r) || rdint32(&m[1], r) || rdint32(&m[2], r)) return fail(BMP_TRUNCATED);
    for (int i = 0; i < 3; ++i) info->mask[i] = static_cast<uint32_t>(m[i]);
  }
  if (!BMPheaderOK(info)) return fail(BMP_UNSUPPORTED);
  const long headerEnd = 14L + hsize;
  if (r->pos > headerEnd) {
    // A 40-byte header followed by its masks.
  } else if (skipTo(headerEnd, r)) {
    return fail(BMP_TRUNCATED);
  }
  const long paletteEnd = r->pos + 4L * (info->bitCount <= 8 ? info->colorsUsed : 0);
  if (offset < paletteEnd) return fail(BMP_UNSUPPORTED);
  if (info->bitCount <= 8 &&
      rdbytes(&info->palette[0][0], 4 * static_cast<size_t>(info->colorsUsed), r))
    return fail(BMP_TRUNCATED);
  for (int i = 0; i < info->colorsUsed; ++i) info->palette[i][3] = 0;
  info->extraBytes = static_cast<int32_t>(offset - paletteEnd);
  // The pixel data starts where the header's offset says.
  if (skipTo(offset, r)) return fail(BMP_TRUNCATED);
  r->dataStart = r->pos;
  r->scanBytes = BMPscanlineBytes(info);
  r->scanline = static_cast<uint8_t*>(calloc(static_cast<size_t>(r->scanBytes), 1));
  if (r->scanline == nullptr) return fail(BMP_UNSUPPORTED);
  if (seek != nullptr && (compression == BI_RLE8 || compression == BI_RLE4)) {
    if (!recordStart(r, 0)) return fail(BMP_UNSUPPORTED);
  }
  const int res = BMPreadScanline(r);
  if (res != BMP_OK) return fail(res);
  *result = BMP_OK;
  return r;
}

int BMPreadScanline(BmpReader* r) {
  if (r == nullptr || r->info == nullptr) return BMP_SEEK_ERROR;
  if (r->failed != BMP_OK) return r->failed;
  if (r->y + 1 >= r->info->height) return BMP_END;
  ++r->y;
  int res;
  if (r->info->compression == BI_RLE8 || r->info->compression == BI_RLE4)
    res = readRLE(r);
  else
    res = rdbytes(r->scanline, static_cast<size_t>(r->scanBytes), r) ? BMP_TRUNCATED : BMP_OK;
  if (res == BMP_OK && r->yposCap > 0 && r->y + 1 < r->info->height && r->y + 1 >= r->yposCount &&
      !recordStart(r, r->y + 1))
    res = BMP_UNSUPPORTED;
  // The stream now stands somewhere inside the scanline: nothing more can be read from it.
  if (res != BMP_OK) r->failed = res;
  return res;
}

int BMPseekScanline(int y, BmpReader* r) {
  if (r == nullptr || r->info == nullptr || y < 0) return BMP_SEEK_ERROR;
  if (y >= r->info->height) return BMP_END;
  if (r->failed != BMP_OK) return r->failed;
  if (y == r->y) return BMP_OK;
  const bool rle = r->info->compression == BI_RLE8 || r->info->compression == BI_RLE4;
  if (r->seek != nullptr) {
    long target;
    int from;  // the scanline read next after the seek
    if (!rle) {
      target = r->dataStart + static_cast<long>(y) * r->scanBytes;
      from = y;
    } else if (y > r->y) {
      // The furthest known scanline start at or before y.
      from = y < r->yposCount ? y : r->yposCount - 1;
      if (from <= r->y) from = r->y + 1;
      target = from < r->yposCount ? r->ypos[from] : r->pos;
    } else {
      if (y >= r->yposCount) return BMP_SEEK_ERROR;
      from = y;
      target = r->ypos[y];
    }
    if (from != r->y + 1 || target != r->pos) {
      if (target == 0 || r->seek(r->stream, target) != 0) return BMP_SEEK_ERROR;
      r->pos = target;
      r->y = from - 1;
    }
  } else if (y < r->y) {
    return BMP_SEEK_ERROR;
  }
  while (r->y < y) {
    const int res = BMPreadScanline(r);
    if (res != BMP_OK) return res;
  }
  return BMP_OK;
}

void BMPdecodePixel(uint8_t quad[4], int x, const BmpReader* r) {
  if (r == nullptr || r->info == nullptr || x < 0 || x >= r->info->width) {
    memset(quad, 0, 4);
    return;
  }
  decode(quad, x, r);
}

void BMPdecodeRow(uint8_t* dst, int x0, int step, int n, int grey, const BmpReader* r) {
  uint8_t q[4];
  for (int i = 0, x = x0; i < n; ++i, x += step) {
    decode(q, x, r);
    if (grey) {
      *dst++ = q[1];
    } else {
      dst[0] = q[2];
      dst[1] = q[1];
      dst[2] = q[0];
      dst += 3;
    }
  }
}

void BMPfreeReader(BmpReader* r) {
  freeReader(r);
}
