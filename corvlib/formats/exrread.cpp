// Reading OpenEXR files through the library's RGBA interface: a cached strip of rows,
// rectangles with integer subsampling delivered as float or tone-mapped 8-bit pixels, and
// the standard attributes as image information.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <type_traits>

#include <OpenEXR/Iex.h>
#include <OpenEXR/ImfChromaticitiesAttribute.h>
#include <OpenEXR/ImfFloatAttribute.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <OpenEXR/ImfStandardAttributes.h>
#include <OpenEXR/ImfStringAttribute.h>
#include <OpenEXR/ImfThreading.h>

#include "formats/exrformat.h"
#include "formats/exrstream.h"
#include "support/futil.h"
#include "support/pwork.h"
#include "tonemap/tonemap.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kHistoPixels = 262144.0;  // pixels the tone-mapping histogram samples at most
constexpr int kZipStrip = 16;              // rows of one ZIP block

struct ExrReader;
typedef bool (*FillFunc)(ExrReader* er, _ImgReadBuf* rb);

// The registry sees the first member; the rest is this reader's own.
struct ExrReader {
  _ImgReader reader;
  char encText[64];
  ExrFileIn* stream;  // the file, read by input
  Imf::RgbaInputFile* input;
  Imf::RgbaChannels channels;
  int dataX, dataY;  // the data window's origin
  bool decreasing;   // rows stored bottom to top
  Imf::Rgba* strip;  // stripHeight rows of xres pixels
  int stripFirst;    // image row in the strip's first line; -1000 nothing loaded, -1 failed
  int stripRows;     // rows loaded
  int stripHeight;
  float filePrims[4][2];  // the file's primaries (Rec. 709 unless it says otherwise)
  float dispPrims[4][2];  // the display primaries the mapping was made for
  double dispRange, dispMax;
  bool human;
  TMstruct* tm;
  bool mapOK;
  float* fltScratch;  // one row of decoded pixels (3 floats each)
  TMbright* brtScratch;
  FillFunc fill;
};
static_assert(std::is_standard_layout<ExrReader>::value && offsetof(ExrReader, reader) == 0,
              "the registry treats an ExrReader as its _ImgReader");

ExrReader* self(_ImgReader* ir) {
  return reinterpret_cast<ExrReader*>(ir);
}

bool fail(ExrReader* er, ImgReadErr code, const char* text) {
  er->reader.errCode = code;
  snprintf(er->reader.errMsg, sizeof er->reader.errMsg, "%s", text);
  return false;
}

bool greyReader(const ExrReader* er) {
  return er->reader.cs.format == IPFy;
}

// Points the library's frame buffer so that image row firstRow lands in the strip's first
// line (every row in that line when the strip holds one row). Done in integer arithmetic:
// the base may lie outside the strip.
void bindStrip(ExrReader* er, int firstRow) {
  const int64_t w = er->reader.xres;
  int64_t offset = -int64_t{er->dataX};
  size_t yStride = 0;
  if (er->stripHeight > 1) {
    offset -= (int64_t{er->dataY} + firstRow) * w;
    yStride = static_cast<size_t>(w);
  }
  const uintptr_t base = reinterpret_cast<uintptr_t>(er->strip) +
                         static_cast<uintptr_t>(offset * static_cast<int64_t>(sizeof(Imf::Rgba)));
  er->input->setFrameBuffer(reinterpret_cast<Imf::Rgba*>(base), 1, yStride);
}

// Loads the strip that holds image row y. The strip buffer is made on the first read, so
// that opening a file and reading its information never allocate its rows.
bool readStrip(ExrReader* er, int y) {
  const int h = er->stripHeight, yres = er->reader.yres;
  const int top = y / h * h;
  const int bottom = top + h < yres ? top + h : yres;
  try {
    if (er->strip == nullptr) {
      er->strip = static_cast<Imf::Rgba*>(malloc(static_cast<size_t>(er->reader.xres) *
                                                 static_cast<size_t>(h) * sizeof(Imf::Rgba)));
      if (er->strip == nullptr) return fail(er, IREmemory, "cannot allocate strip buffer");
      if (h == 1) bindStrip(er, 0);
    }
    if (h > 1) bindStrip(er, top);
    er->input->readPixels(er->dataY + top, er->dataY + bottom - 1);
  } catch (const std::exception& e) {
    // A file cut short is told as such (the library names that case in its text alone: the
    // read that meets the end, and any later one from the stream it left failed); any other
    // failure with the library's words.
    if (strstr(e.what(), "Early end of file") != nullptr ||
        strstr(e.what(), "Unexpected end of file") != nullptr) {
      snprintf(er->reader.errMsg, sizeof er->reader.errMsg, "file cut short at row %d", top);
      er->reader.errCode = IREtruncated;
    } else {
      snprintf(er->reader.errMsg, sizeof er->reader.errMsg, "%s", e.what());
      er->reader.errCode = IREread;
    }
    er->stripFirst = -1;
    return false;
  }
  er->stripFirst = top;
  er->stripRows = bottom - top;
  // The next strip in file order.
  if (er->decreasing)
    er->reader.nr = {0, er->reader.xres, top - h > 0 ? top - h : 0, top};
  else
    er->reader.nr = {0, er->reader.xres, bottom, bottom + h < yres ? bottom + h : yres};
  return true;
}

// Decodes n pixels of row y from column x on, every step-th, into floats: one per pixel for
// single-channel readers (and alpha), else three.
bool floatSpan(ExrReader* er, float* dst, int x, int y, int n, int step) {
  if (x < 0 || x >= er->reader.xres || n < 1) return false;
  if (er->stripFirst < 0 || y < er->stripFirst || y >= er->stripFirst + er->stripRows)
    if (!readStrip(er, y)) return false;
  const Imf::Rgba* p =
      er->strip +
      (er->stripHeight > 1 ? static_cast<size_t>(y - er->stripFirst) * er->reader.xres : 0) + x;
  switch (er->channels) {
    case Imf::WRITE_R:
      for (int i = 0; i < n; i++, p += step) dst[i] = p->r;
      break;
    case Imf::WRITE_G:
      for (int i = 0; i < n; i++, p += step) dst[i] = p->g;
      break;
    case Imf::WRITE_B:
      for (int i = 0; i < n; i++, p += step) dst[i] = p->b;
      break;
    case Imf::WRITE_A:
      for (int i = 0; i < n; i++, p += step) dst[i] = p->a;
      break;
    case Imf::WRITE_RGBA:
      if (er->reader.cs.format == IPFa) {
        for (int i = 0; i < n; i++, p += step) dst[i] = p->a;
        break;
      }
      for (int i = 0; i < n; i++, p += step, dst += 3) {
        const float a = p->a;
        const float m = a == 0.0f ? 1.0f : 1.0f / a;
        dst[0] = p->r * m;
        dst[1] = p->g * m;
        dst[2] = p->b * m;
      }
      break;
    default:
      for (int i = 0; i < n; i++, p += step, dst += 3) {
        dst[0] = p->r;
        dst[1] = p->g;
        dst[2] = p->b;
      }
      break;
  }
  return true;
}

// Decodes the request's rows into out (components per pixel by the reader's format), each
// row through row(y, j, data) when given. Rows are visited in file order; output row j holds
// image row top + j step.
template <typename RowDone>
bool fillRows(ExrReader* er, const _ImgReadBuf* rb, float* out, size_t rowFloats, RowDone rowDone) {
  const int step = rb->subsample;
  const int w = (rb->r.xright - rb->r.xleft) / step, h = (rb->r.ybottom - rb->r.ytop) / step;
  for (int k = 0; k < h; k++) {
    const int j = er->decreasing ? h - 1 - k : k;
    float* row = out + static_cast<size_t>(j) * rowFloats;
    if (!floatSpan(er, row, rb->r.xleft, rb->r.ytop + j * step, w, step)) return false;
    if (!rowDone(j, row, w)) return false;
  }
  return true;
}

bool fillFloat(ExrReader* er, _ImgReadBuf* rb) {
  const size_t comps = ImgPixelLen[er->reader.cs.format];
  const size_t w = static_cast<size_t>((rb->r.xright - rb->r.xleft) / rb->subsample);
  return fillRows(er, rb, static_cast<float*>(rb->buf), w * comps,
                  [](int, float*, int) { return true; });
}

// 8-bit output: each row decoded into the scratch row, converted to brightness and mapped.
bool fillMapped(ExrReader* er, _ImgReadBuf* rb) {
  const bool grey = greyReader(er);
  const size_t w = static_cast<size_t>((rb->r.xright - rb->r.xleft) / rb->subsample);
  uint8_t* const out = static_cast<uint8_t*>(rb->buf);
  const size_t outRow = w * (grey ? 1 : 3);
  int err = TMERR_NONE;
  const bool ok = fillRows(er, rb, er->fltScratch, 0, [&](int j, float* row, int n) {
    uint8_t* o = out + static_cast<size_t>(j) * outRow;
    err = grey ? tmCvGrays(er->tm, er->brtScratch, row, n)
               : tmCvColors(er->tm, er->brtScratch, o, reinterpret_cast<const COLOR*>(row), n);
    if (err == TMERR_NONE) err = tmMapPixels(er->tm, o, er->brtScratch, grey ? nullptr : o, n);
    return err == TMERR_NONE;
  });
  if (err != TMERR_NONE)
    return fail(er, IREunknown, tmErrorMessage[err >= 0 && err < TMERR_COUNT ? err : 2]);
  return ok;
}

bool fillNative(ExrReader* er, _ImgReadBuf* rb) {
  if (rb->cs.dtype != IDTfloat || rb->cs.format != er->reader.cs.format) return false;
  return fillFloat(er, rb);
}

bool fillEight(ExrReader* er, _ImgReadBuf* rb) {
  if (rb->cs.dtype != IDTubyte || rb->cs.format != (greyReader(er) ? IPFy : IPFrgb)) return false;
  return fillMapped(er, rb);
}

void dropScratch(ExrReader* er) {
  free(er->fltScratch);
  free(er->brtScratch);
  er->fltScratch = nullptr;
  er->brtScratch = nullptr;
}

float attrFloat(const Imf::Header& h, const char* name, float none) {
  const Imf::FloatAttribute* a = h.findTypedAttribute<Imf::FloatAttribute>(name);
  return a != nullptr ? a->value() : none;
}

bool samePrims(const float a[4][2], const float b[4][2]) {
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 2; j++)
      if (std::fabs(a[i][j] - b[i][j]) > 1e-5f) return false;
  return true;
}

// Chooses how requests in cs are filled; false when cs cannot be delivered (the caller then
// gets the reader's own colour space).
bool setConversion(ExrReader* er, const _ImgColorSpace& cs) {
  if (PmatchColorSpace(&cs, &er->reader.cs, 31)) {
    er->fill = fillNative;
    return true;
  }
  const bool grey = greyReader(er);
  if (cs.dtype != IDTubyte || cs.logorig > 0.0f) return false;
  if (!(grey ? cs.format == IPFy : cs.format == IPFrgb && er->reader.cs.format == IPFrgb))
    return false;
  if (er->tm != nullptr && samePrims(er->dispPrims, cs.chroma)) {
    if (er->mapOK) er->fill = fillEight;
    return er->mapOK;
  }
  memcpy(er->dispPrims, cs.chroma, sizeof er->dispPrims);
  tmDone(er->tm);
  er->mapOK = false;
  const int flags =
      grey ? (er->human ? 0x5B : 0) | TMF_GREY | TMF_QUIET : (er->human ? 0x15B : TMF_QUIET);
  er->tm = tmInit(flags, er->dispPrims, cs.gamma);
  if (er->tm == nullptr) return false;
  const int xres = er->reader.xres, yres = er->reader.yres;
  dropScratch(er);
  er->fltScratch = static_cast<float*>(malloc(static_cast<size_t>(xres) * 3 * sizeof(float)));
  er->brtScratch = static_cast<TMbright*>(malloc(static_cast<size_t>(xres) * sizeof(TMbright)));
  bool ok = er->fltScratch != nullptr && er->brtScratch != nullptr &&
            tmSetSpace(er->tm, er->filePrims, attrFloat(er->input->header(), "sampToNits", 100.0f),
                       nullptr) == TMERR_NONE;
  const double npix = static_cast<double>(xres) * yres;
  const int s = npix <= kHistoPixels ? 1 : static_cast<int>(npix / kHistoPixels);
  const int rows = (yres + s - 1) / s;
  for (int k = 0; ok && k < rows; k++) {
    // Each row sampled decodes a block of rows: the program gets its slice now and then.
    if (k > 0 && (k & 1) == 0 && !PworkSlice(-1.0)) {
      ok = fail(er, IREunknown, "reading stopped");
      break;
    }
    const int y = (er->decreasing ? rows - 1 - k : k) * s;
    ok = floatSpan(er, er->fltScratch, 0, y, xres, 1) &&
         (grey ? tmCvGrays(er->tm, er->brtScratch, er->fltScratch, xres)
               : tmCvColors(er->tm, er->brtScratch, nullptr,
                            reinterpret_cast<const COLOR*>(er->fltScratch), xres)) == TMERR_NONE &&
         tmAddHisto(er->tm, er->brtScratch, xres, 1) == TMERR_NONE;
  }
  ok = ok && tmPictureMapping(er->tm, cs.gamma, er->dispRange, er->dispMax) == TMERR_NONE;
  if (!ok) {
    dropScratch(er);
    er->fill = fillNative;
    return false;
  }
  er->mapOK = true;
  er->fill = fillEight;
  return true;
}

bool readRec(ExrReader* er, _ImgReadBuf* rb) {
  if (rb == nullptr || rb->subsample < 1) return false;
  const _ImgRect& q = rb->r;
  if (q.xleft < 0 || q.xleft >= q.xright || q.xright > er->reader.xres || q.ytop < 0 ||
      q.ytop >= q.ybottom || q.ybottom > er->reader.yres)
    return fail(er, IREunknown, "bogus requested image rectangle");
  if (!setConversion(er, rb->cs)) {
    if (er->reader.errCode != IREnone) return false;  // the histogram could not be read
    rb->cs = er->reader.cs;
    er->fill = fillNative;
  }
  if (!PreadBufFits(rb)) {  // the caller must offer a buffer for this colour space
    rb->r.xright = rb->r.xleft;
    return true;
  }
  return er->fill(er, rb);
}

// Opens the file open at fd (taken); the library's exceptions go to the caller.
void construct(ExrReader* er, int fd, const char* path) {
  _ImgReader& ir = er->reader;
  ir.ri = &IRInterfaceEXR;
  snprintf(ir.file, sizeof ir.file, "%s", path);
  ir.frame = 0;
  ir.nframes = 1;
  ir.frameType = IRFnone;
  ir.frameRate = 0.0f;
  ir.encoding = er->encText;
  er->stripFirst = -1000;
  er->dispRange = 32.0;
  er->dispMax = 100.0;
  er->fill = fillNative;
  er->stream = new ExrFileIn(fd, path);
  er->input = new Imf::RgbaInputFile(*er->stream, Imf::globalThreadCount());
  const Imath::Box2i& dw = er->input->dataWindow();
  const int64_t w = int64_t{dw.max.x} - dw.min.x + 1, h = int64_t{dw.max.y} - dw.min.y + 1;
  er->dataX = dw.min.x;
  er->dataY = dw.min.y;
  ir.pixAspect = er->input->pixelAspectRatio();
  const Imf::Compression comp = er->input->compression();
  er->stripHeight = comp == Imf::ZIP_COMPRESSION ? kZipStrip : 1;
  const char* word = comp == Imf::NO_COMPRESSION     ? "48-bit"
                     : comp == Imf::RLE_COMPRESSION  ? "RLE"
                     : comp == Imf::ZIPS_COMPRESSION ? "ZIP"
                     : comp == Imf::ZIP_COMPRESSION  ? "ZIP"
                     : comp == Imf::PIZ_COMPRESSION  ? "PIZ"
                                                     : "compressed";
  ir.cs = ICS_RGB709;
  ir.cs.cstatic = 0;
  const Imf::Header& hd = er->input->header();
  if (Imf::hasChromaticities(hd)) {
    const Imf::Chromaticities& c = Imf::chromaticities(hd);
    const float v[8] = {c.red.x,  c.red.y,  c.green.x, c.green.y,
                        c.blue.x, c.blue.y, c.white.x, c.white.y};
    for (int i = 0; i < 8; i++) ir.cs.chroma[i / 2][i % 2] = v[i];
  }
  memcpy(er->filePrims, ir.cs.chroma, sizeof er->filePrims);
  er->channels = er->input->channels();
  const char* chan = " ???";
  switch (er->channels) {
    case Imf::WRITE_R:
    case Imf::WRITE_G:
    case Imf::WRITE_B: {
      const int k = er->channels == Imf::WRITE_R ? 0 : er->channels == Imf::WRITE_G ? 1 : 2;
      chan = k == 0 ? " Red" : k == 1 ? " Green" : " Blue";
      ir.cs.format = IPFy;
      ir.cs.chroma[0][0] = ir.cs.chroma[k][0];
      ir.cs.chroma[0][1] = ir.cs.chroma[k][1];
      break;
    }
    case Imf::WRITE_RGB:
      chan = " RGB";
      break;
    case Imf::WRITE_A:
      chan = " Alpha";
      ir.cs.format = IPFa;
      break;
    case Imf::WRITE_RGBA:
      chan = " RGBA";
      break;
    default:
      break;
  }
  snprintf(er->encText, sizeof er->encText, "%s%s", word, chan);
  if (w > INT32_MAX || h > INT32_MAX) {
    fail(er, IREunsupported, "image too large");
    return;
  }
  ir.xres = static_cast<int>(w);
  ir.yres = static_cast<int>(h);
  if (strcmp(chan, " ???") == 0) {
    ir.errCode = IREunsupported;
    // Luminance files are named as such: their channel mask tells a user nothing.
    if (er->channels & Imf::WRITE_C)
      snprintf(ir.errMsg, sizeof ir.errMsg, "unsupported YC OpenEXR");
    else if (er->channels & Imf::WRITE_Y)
      snprintf(ir.errMsg, sizeof ir.errMsg, "unsupported luminance-only OpenEXR");
    else
      snprintf(ir.errMsg, sizeof ir.errMsg, "Unsupported input color space (%d)",
               static_cast<int>(er->channels));
    return;
  }
  const Imf::LineOrder lo = er->input->lineOrder();
  if (lo != Imf::INCREASING_Y && lo != Imf::DECREASING_Y) {
    ir.errCode = IREunsupported;
    snprintf(ir.errMsg, sizeof ir.errMsg, "Unsupported scanline order (%d)", static_cast<int>(lo));
    return;
  }
  er->decreasing = lo == Imf::DECREASING_Y;
  const int sh = er->stripHeight < ir.yres ? er->stripHeight : ir.yres;
  ir.fr = er->decreasing
              ? _ImgRect{0, ir.xres, (ir.yres - 1) / er->stripHeight * er->stripHeight, ir.yres}
              : _ImgRect{0, ir.xres, 0, sh};
  ir.nr = ir.fr;
}

void destroy(ExrReader* er) {
  tmDone(er->tm);
  dropScratch(er);
  free(er->strip);
  delete er->input;
  delete er->stream;
  er->~ExrReader();
  free(er);
}

int32_t le32(const unsigned char* b) {
  return static_cast<int32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
}

// Rows of one stored block of a scanline file, by compression.
int rowsPerBlock(int compression) {
  switch (compression) {
    case Imf::ZIP_COMPRESSION:
    case Imf::PXR24_COMPRESSION:
      return 16;
    case Imf::PIZ_COMPRESSION:
    case Imf::B44_COMPRESSION:
    case Imf::B44A_COMPRESSION:
    case Imf::DWAA_COMPRESSION:
      return 32;
    case Imf::DWAB_COMPRESSION:
      return 256;
    default:
      return 1;
  }
}

// The size the library reads for an attribute of a fixed-size type, whatever size the file
// declares; -1 for a type of variable size (or one it keeps as opaque bytes).
int64_t fixedAttributeSize(const char* type) {
  static const struct {
    const char* type;
    int64_t size;
  } fixed[] = {{"box2i", 16},
               {"box2f", 16},
               {"v2i", 8},
               {"v2f", 8},
               {"v2d", 16},
               {"v3i", 12},
               {"v3f", 12},
               {"v3d", 24},
               {"m33f", 36},
               {"m33d", 72},
               {"m44f", 64},
               {"m44d", 128},
               {"int", 4},
               {"float", 4},
               {"double", 8},
               {"rational", 8},
               {"compression", 1},
               {"lineOrder", 1},
               {"envmap", 1},
               {"tiledesc", 9},
               {"timecode", 8},
               {"keycode", 28},
               {"chromaticities", 32},
               {"deepImageState", 1}};
  for (const auto& f : fixed)
    if (strcmp(type, f.type) == 0) return f.size;
  return -1;
}

// Reads a null-terminated name of at most maxLen characters into name (256 bytes); false when
// the file ends first or the name is longer.
bool readName(FILE* fp, char* name, int maxLen, int* len) {
  int n = 0, c;
  while ((c = getc(fp)) > 0 && n < maxLen) name[n++] = static_cast<char>(c);
  name[n] = '\0';
  *len = n;
  return c == 0;
}

// Checks that the value of an attribute of a variable-size type, size bytes at the file's
// position, is laid out the way the library reads it: a channel list is whole entries ending
// in an empty name exactly at its end, a string vector's strings stay inside it, a preview's
// pixels fill it. On success counts the channels of a channel list.
bool plausibleValue(FILE* fp, const char* type, int64_t size, int maxName, int64_t* channels) {
  unsigned char b[8];
  if (strcmp(type, "chlist") == 0) {
    int64_t named = 0, left = size;
    for (;;) {
      char name[256];
      int len = 0;
      if (left < 1 || !readName(fp, name, maxName, &len) || len + 1 > left) return false;
      left -= len + 1;
      if (len == 0) break;
      if (left < 16 || fseeko(fp, 16, SEEK_CUR) != 0) return false;
      left -= 16;
      named++;
    }
    if (left != 0) return false;
    *channels = named > 0 ? named : 1;
  } else if (strcmp(type, "stringvector") == 0) {
    for (int64_t left = size; left > 0;) {
      if (left < 4 || fread(b, 1, 4, fp) != 4) return false;
      const int64_t n = le32(b);
      if (n < 0 || n > left - 4 || fseeko(fp, n, SEEK_CUR) != 0) return false;
      left -= 4 + n;
    }
  } else if (strcmp(type, "preview") == 0) {
    if (size < 8 || fread(b, 1, 8, fp) != 8) return false;
    // Two 32-bit sizes: their product fits 64 bits unsigned, four times it may not.
    const uint64_t w = static_cast<uint32_t>(le32(b)), h = static_cast<uint32_t>(le32(b + 4));
    const uint64_t pixels = static_cast<uint64_t>(size - 8);
    if (w * h > pixels / 4 || w * h * 4 != pixels) return false;
  }
  return true;
}

// Walks the header attributes of an OpenEXR file (every part's header of a multi-part one) the
// way the library reads them and checks that no attribute claims more bytes than the file
// holds, that each value is laid out as the library will read it (otherwise it reads on out of
// step and takes later bytes for sizes), and that a scanline file can hold the table of its
// blocks' offsets: the library allocates whatever such sizes say before it finds the file too
// short. True for a file that is not OpenEXR at all (the library then says why).
bool plausibleHeader(FILE* fp) {
  unsigned char b[16];
  if (fread(b, 1, 8, fp) != 8 || b[0] != 0x76 || b[1] != 0x2f || b[2] != 0x31 || b[3] != 0x01)
    return true;
  const bool multi = (b[5] & 0x10) != 0, tiled = (b[5] & 0x02) != 0;
  // Without the long-names flag the library reads names of at most 31 characters.
  const int maxName = (b[5] & 0x04) != 0 ? 255 : 31;
  if (fseeko(fp, 0, SEEK_END) != 0) return true;
  const int64_t end = ftello(fp);
  if (fseeko(fp, 8, SEEK_SET) != 0) return true;
  int64_t rows = 0, cols = 0, channels = 1, tileW = 0, tileH = 0;
  int compression = Imf::NO_COMPRESSION;
  for (int part = 0;; part++) {
    for (int attrs = 0;; attrs++) {
      char name[256], type[256];
      int n = 0, typeLen = 0;
      if (!readName(fp, name, maxName, &n)) return false;  // cut short, or a name too long
      if (n == 0) {
        if (attrs == 0 && part > 0) return true;  // the empty header ending the list
        break;
      }
      if (!readName(fp, type, maxName, &typeLen) || fread(b, 1, 4, fp) != 4) return false;
      const int64_t size = le32(b);
      const int64_t here = ftello(fp);
      if (size < 0 || here < 0 || size > end - here) return false;
      const int64_t natural = fixedAttributeSize(type);
      if (natural >= 0 && size != natural) return false;
      int64_t named = 1;
      if (natural < 0 && !plausibleValue(fp, type, size, maxName, &named)) return false;
      if (part == 0 && strcmp(name, "channels") == 0) channels = named;
      if (fseeko(fp, here, SEEK_SET) != 0) return false;
      if (part == 0 && strcmp(name, "dataWindow") == 0 && strcmp(type, "box2i") == 0) {
        if (fread(b, 1, 16, fp) != 16) return false;
        cols = int64_t{le32(b + 8)} - le32(b) + 1;
        rows = int64_t{le32(b + 12)} - le32(b + 4) + 1;
      } else if (part == 0 && strcmp(name, "compression") == 0 &&
                 strcmp(type, "compression") == 0) {
        compression = getc(fp);
      } else if (part == 0 && strcmp(name, "tiles") == 0 && strcmp(type, "tiledesc") == 0) {
        if (fread(b, 1, 8, fp) != 8) return false;
        tileW = static_cast<uint32_t>(le32(b));
        tileH = static_cast<uint32_t>(le32(b + 4));
      }
      if (fseeko(fp, here + size, SEEK_SET) != 0) return false;
    }
    if (!multi) break;
  }
  // The library decompresses a whole block (a band of rows, or a tile) at once, with a
  // buffer as large as the block would be uncompressed. No coding packs data tighter than a
  // few thousand to one, so a block that would need more than that of the file's size (and
  // more than a generous floor) cannot be real.
  const int64_t limit = std::max<int64_t>(int64_t{16} << 20, end * 4096);
  const int64_t perPixel = channels * 4;
  if (tiled) {
    if (tileW > 0 && tileH > 0 && (tileW > limit / tileH || tileW * tileH > limit / perPixel))
      return false;
    return true;
  }
  if (rows < 1) return true;
  if (cols > 0 && cols > limit / perPixel / rowsPerBlock(compression)) return false;
  const int64_t blocks = (rows + rowsPerBlock(compression) - 1) / rowsPerBlock(compression);
  return blocks <= (end - ftello(fp)) / 8;
}

// ---- The plug-in table's entries

_ImgReader* ERopen(const char* path) {
  if (path == nullptr) return nullptr;
  const int fd = PopenRead(path);
  return fd >= 0 ? ERopenFd(fd, path) : nullptr;
}

}  // namespace

_ImgReader* ERopenFd(int fd, const char* path) {
  // The header is looked at through a stream of its own over the same open file.
  const int own = path != nullptr ? PdupRewound(fd) : -1;
  FILE* fp = own >= 0 ? fdopen(own, "rb") : nullptr;
  if (fp == nullptr) {
    if (own >= 0) close(own);
    close(fd);
    return nullptr;
  }
  // Neither a file of another format (one saved under this format's suffix, say) nor one
  // whose header cannot be read is opened, without a word: files are tried quietly while
  // folders are listed, and whoever opens a file the user named tells why none opened it.
  unsigned char magic[4];
  const bool exr = fread(magic, 1, 4, fp) == 4 && magic[0] == 0x76 && magic[1] == 0x2f &&
                   magic[2] == 0x31 && magic[3] == 0x01;
  const bool ok = exr && fseeko(fp, 0, SEEK_SET) == 0 && plausibleHeader(fp);
  fclose(fp);
  void* mem = ok ? calloc(1, sizeof(ExrReader)) : nullptr;
  if (mem == nullptr) {
    close(fd);
    return nullptr;
  }
  ExrReader* er = new (mem) ExrReader();
  try {
    construct(er, fd, path);
  } catch (const std::exception&) {
    if (er->stream == nullptr) close(fd);
    destroy(er);
    return nullptr;
  }
  return &er->reader;
}

namespace {

ImgReadErr ERgetInfo(_ImgReader* ir, _ImgInfo* info) {
  if (ir == nullptr || info == nullptr) return IREunknown;
  ExrReader* er = self(ir);
  er->reader.errCode = IREnone;
  info->flags = 0;
  info->params[0] = '\0';
  info->comments[0] = '\0';
  const Imf::Header& h = er->input->header();
  const Imath::Box2i& dw = h.dataWindow();
  const Imath::Box2i& sw = h.displayWindow();
  if (dw != sw) {
    info->crop = {sw.min.x - dw.min.x, sw.max.x - dw.min.x + 1, sw.min.y - dw.min.y,
                  sw.max.y - dw.min.y + 1};
    info->flags |= IIFcrop;
  }
  if (Imf::hasCapDate(h) && Imf::capDate(h).size() == 19) {
    memcpy(info->capdate, Imf::capDate(h).c_str(), 20);
    info->flags |= IIFcapdate;
  }
  if (Imf::hasLatitude(h) && Imf::hasLongitude(h)) {
    info->latlong[0] = Imf::latitude(h);
    info->latlong[1] = Imf::longitude(h);
    info->flags |= IIFlatlong;
  }
  struct FloatField {
    const char* name;
    float* field;
    uint32_t flag;
  };
  const FloatField floats[] = {{"whiteLuminance", &info->stonits, IIFstonits},
                               {"xDensity", &info->hdensity, IIFhdensity},
                               {"expTime", &info->exptime, IIFexptime},
                               {"aperture", &info->aperture, IIFaperture},
                               {"isoSpeed", &info->asa, IIFasa},
                               {"focus", &info->focus, IIFfocus}};
  for (const FloatField& f : floats) {
    const float v = attrFloat(h, f.name, 0.0f);
    if (v > 0.0f) {
      *f.field = v;
      info->flags |= f.flag;
    }
  }
  const float sw2 = attrFloat(h, "screenWindowWidth", 0.0f);
  if (sw2 > 0.0f) {
    info->hvangle = static_cast<float>(2.0 * std::atan(sw2 / 2.0) * 180.0 / kPi);
    info->flags |= IIFhvangle;
  }
  struct TextField {
    const char* name;
    char* field;
    size_t size;
    uint32_t flag;
  };
  const TextField texts[] = {{"view", info->view, sizeof info->view, IIFview},
                             {"owner", info->owner, sizeof info->owner, IIFowner},
                             {"comments", info->comments, sizeof info->comments, IIFcomments}};
  for (const TextField& t : texts) {
    const Imf::StringAttribute* a = h.findTypedAttribute<Imf::StringAttribute>(t.name);
    if (a != nullptr && a->value().size() < t.size) {
      memcpy(t.field, a->value().c_str(), a->value().size() + 1);
      info->flags |= t.flag;
    }
  }
  return IREnone;
}

void ERtoneMapping(_ImgReader* ir, double range, double maximum, int flags) {
  if (ir == nullptr) return;
  ExrReader* er = self(ir);
  er->dispRange = range;
  er->dispMax = maximum;
  er->human = flags != 0;
  tmDone(er->tm);
  er->tm = nullptr;
  er->mapOK = false;
  er->fill = fillNative;
}

ImgReadErr ERreadRec(_ImgReader* ir, _ImgReadBuf* rb) {
  if (ir == nullptr) return IREunknown;
  ExrReader* er = self(ir);
  er->reader.errCode = IREnone;
  if (!readRec(er, rb) && er->reader.errCode == IREnone)
    fail(er, IREunknown, "EXR reader routine failure");
  return er->reader.errCode;
}

void ERclose(_ImgReader* ir) {
  if (ir != nullptr) destroy(self(ir));
}

}  // namespace

const _ImgReaderInterface IRInterfaceEXR = {"EXR.ilm", ERopen,        nullptr,   ERgetInfo,
                                            nullptr,   ERtoneMapping, ERreadRec, ERclose};
