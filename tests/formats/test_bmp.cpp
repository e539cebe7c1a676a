// The BMP codec and reader: the shared test files against ImageMagick's decoding, hand-made
// files for the depths, masks and run-length codes no tool wrote, hostile headers, and files
// written by the codec read back.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstring>
#include <string>
#include <vector>

#include "format_test_util.h"
#include "formats/bmp.h"
#include "testutil/message_log.h"

using fmttest::Data;

namespace {

// A BMP in memory, read and written through the codec's callbacks.
struct MemStream {
  std::vector<uint8_t> data;
  size_t pos = 0;
};
int MemGet(void* s) {
  auto* m = static_cast<MemStream*>(s);
  return m->pos < m->data.size() ? m->data[m->pos++] : -1;
}
int MemSeek(void* s, long pos) {
  static_cast<MemStream*>(s)->pos = static_cast<size_t>(pos);
  return pos < 0 ? -1 : 0;
}
int MemPut(int c, void* s) {
  auto* m = static_cast<MemStream*>(s);
  if (m->pos >= m->data.size()) m->data.resize(m->pos + 1);
  m->data[m->pos++] = static_cast<uint8_t>(c);
  return c;
}

// A BMP: a header of hsize bytes (40 and up, masks inside it when longer), palette, gap bytes
// before the pixels.
struct BmpSpec {
  int32_t width = 2, height = 2;
  uint16_t bits = 24;
  int32_t compression = BI_RGB, hsize = 40;
  std::vector<uint32_t> palette;  // 0x00RRGGBB
  int32_t colorsUsed = -1;        // -1: the palette's size
  std::vector<uint32_t> masks;
  int gap = 0;
  std::vector<uint8_t> pixels;
};
std::vector<uint8_t> MakeBmp(const BmpSpec& s) {
  std::vector<uint8_t> v = {'B', 'M'};
  auto put = [&](uint32_t x, int n) {
    for (int i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
  };
  const uint32_t maskBytes = s.hsize > 40 ? 0 : 4 * static_cast<uint32_t>(s.masks.size());
  const uint32_t offset = 14 + s.hsize + maskBytes + 4 * s.palette.size() + s.gap;
  const uint32_t used = s.colorsUsed >= 0 ? s.colorsUsed : s.palette.size();
  for (uint32_t x :
       {static_cast<uint32_t>(offset + s.pixels.size()), 0u, offset, static_cast<uint32_t>(s.hsize),
        static_cast<uint32_t>(s.width), static_cast<uint32_t>(s.height)})
    put(x, 4);
  put(1, 2);
  put(s.bits, 2);
  for (uint32_t x : {static_cast<uint32_t>(s.compression), static_cast<uint32_t>(s.pixels.size()),
                     2835u, 2835u, used, 0u})
    put(x, 4);
  for (uint32_t m : s.masks) put(m, 4);
  v.resize(std::max(v.size(), 14u + static_cast<size_t>(s.hsize)), 0);
  for (uint32_t c : s.palette) put(c, 4);
  v.insert(v.end(), static_cast<size_t>(s.gap), 0xEE);
  v.insert(v.end(), s.pixels.begin(), s.pixels.end());
  return v;
}

struct Codec {
  MemStream m;
  int result = BMP_OK;
  BmpReader* r;
  explicit Codec(const BmpSpec& s, bool seekable = true) {
    m.data = MakeBmp(s);
    r = BMPopenReader(MemGet, seekable ? MemSeek : nullptr, &m, &result);
  }
  ~Codec() { BMPfreeReader(r); }
  // The current scanline as red, green, blue.
  std::vector<uint8_t> Row() const {
    std::vector<uint8_t> v(3 * static_cast<size_t>(r->info->width));
    BMPdecodeRow(v.data(), 0, 1, r->info->width, 0, r);
    return v;
  }
};

// A whole image through the reader plug-in, rows top-down.
struct Loaded {
  bool grey = false;
  std::string encoding;
  int ytop = -1;  // the first scanline's row
  std::vector<uint8_t> px;
};
Loaded Load(const std::string& path, int step = 1) {
  Loaded out;
  _ImgReader* ir = BMopen(path.c_str());
  if (ir == nullptr || ir->errCode != IREnone) {
    BMclose(ir);
    return out;
  }
  out.grey = ir->cs.format == IPFy;
  out.encoding = ir->encoding;
  out.ytop = ir->fr.ytop;
  _ImgColorSpace cs = ir->cs;
  out.px = fmttest::Read(ir, &cs, {0, ir->xres / step * step, 0, ir->yres / step * step}, step);
  BMclose(ir);
  return out;
}

}  // namespace

TEST(BmpFiles, EveryDepthDecodesAsImageMagickDoes) {
  SKIP_WITHOUT("bmp");
  SKIP_WITHOUT_TOOL("convert");
  struct Case {
    const char* file;
    const char* encoding;
    int tolerance;  // 5- and 6-bit fields are scaled by the file format's rule, not ImageMagick's
  } cases[] = {
      {"desk_im_bmp3_rgb24.bmp", "24-bit RGB", 0},
      {"desk_im_bmp3_pal8.bmp", "8-bit color", 0},
      {"desk_im_bmp3_rle8.bmp", "8-bit color", 0},  // rows padded to an even width
      {"desk_im_bmp3_pal4.bmp", "4-bit color", 0},
      {"desk_im_bmp3_mono1.bmp", "Bilevel bitmap", 0},
      {"desk_im_v5_rgb24.bmp", "24-bit RGB", 0},
      {"desk_im_v5_argb32_bitfields.bmp", "32-bit RGB", 0},
      {"desk_im_v5_rgb565_bitfields.bmp", "16-bit RGB", 8},
      {"desk_netpbm_rgb24.bmp", "24-bit RGB", 0},
      {"desk_netpbm_pal8.bmp", "8-bit color", 0},
      {"desk_netpbm_pal4.bmp", "4-bit color", 0},
      {"desk_netpbm_mono1.bmp", "Bilevel bitmap", 0},
      {"desk_topdown_rgb24.bmp", "24-bit RGB", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = Data("bmp") + c.file;
    const Loaded img = Load(path);
    EXPECT_EQ(img.encoding, c.encoding);
    EXPECT_EQ(img.ytop, strstr(c.file, "topdown") ? 0 : 150);
    const std::string ref = fmttest::Output({"convert", path, "-depth", "8", "rgb:-"});
    ASSERT_EQ(ref.size(), 203u * 151 * 3);
    ASSERT_EQ(img.px.size(), img.grey ? ref.size() / 3 : ref.size());
    int worst = 0;
    for (size_t i = 0; i < ref.size(); ++i)
      worst = std::max(
          worst, std::abs((img.grey ? img.px[i / 3] : img.px[i]) - static_cast<uint8_t>(ref[i])));
    EXPECT_LE(worst, c.tolerance);
  }
  // Subsampled reads keep every n-th pixel, also of run-length and grey files.
  for (const char* f : {"desk_im_bmp3_rle8.bmp", "desk_im_bmp3_mono1.bmp"}) {
    const Loaded full = Load(Data("bmp") + f), sub = Load(Data("bmp") + f, 3);
    const size_t ps = full.grey ? 1 : 3;
    ASSERT_EQ(sub.px.size(), 67u * 50 * ps);
    for (size_t y = 0; y < 50; ++y)
      for (size_t x = 0; x < 67; ++x)
        ASSERT_EQ(0, memcmp(&sub.px[(y * 67 + x) * ps], &full.px[(3 * y * 203 + 3 * x) * ps], ps));
  }
}

TEST(BmpFiles, OS2HeaderIsRefusedWithAMessage) {
  SKIP_WITHOUT("bmp");
  MessageLog log;
  for (const char* f : {"desk_netpbm_os2_pal8.bmp", "desk_im_core_rgb24.bmp"}) {
    const std::string path = Data("bmp") + f;
    EXPECT_EQ(PopenImageF(path.c_str(), 0, &IRInterfaceBMP), nullptr);
    EXPECT_TRUE(log.Has(DMCparameter, path + ": Unsupported feature: OS/2 bitmap header (12 "
                                             "bytes) not supported"))
        << log.All();
  }
}

namespace {

// The pixels of a file rendered whole through the reader; false when the reader refuses the
// file or reports an error.
bool Render(const std::string& path, std::vector<uint8_t>* px) {
  _ImgReader* ir = BMopen(path.c_str());
  bool ok = ir != nullptr && ir->errCode == IREnone;
  if (ok) {
    _ImgStruct img = {ir->xres, ir->yres, &ICS_sRGB, 0, nullptr, nullptr};
    ok = PrenderImageR(&img, ir, 1) == 1;
    if (ok) px->assign(img.img, img.img + static_cast<size_t>(img.rowsize) * img.yres);
    PfreeImage(&img);
  }
  BMclose(ir);
  return ok;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::vector<uint8_t> v;
  if (FILE* fp = fopen(path.c_str(), "rb")) {
    for (int c; (c = getc(fp)) != EOF;) v.push_back(static_cast<uint8_t>(c));
    fclose(fp);
  }
  return v;
}

void WriteBytes(const std::string& path, const uint8_t* p, size_t n) {
  FILE* fp = fopen(path.c_str(), "wb");
  fwrite(p, 1, n, fp);
  fclose(fp);
}

}  // namespace

// Every cut of every seed file of the fuzz corpus reports an error, unless it lost nothing (a
// run-length file may end without its end-of-bitmap code).
TEST(BmpFiles, EveryCutOfTheSeedFilesReportsAnError) {
  const std::string dir = std::string(LUMERIN_FUZZ_CORPUS) + "/bmp/";
  DIR* d = opendir(dir.c_str());
  ASSERT_NE(d, nullptr) << dir;
  const std::string cut = fmttest::Temp("cut.bmp");
  int files = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    ++files;
    const std::vector<uint8_t> whole = FileBytes(dir + e->d_name);
    std::vector<uint8_t> want, got;
    const bool wholeOK = Render(dir + e->d_name, &want);
    // Every byte of the headers and of the last codes; through a palette every fifth.
    for (size_t n = 0; n < whole.size(); n += n < 54 || n + 96 > whole.size() ? 1 : 5) {
      WriteBytes(cut, whole.data(), n);
      got.clear();
      if (Render(cut, &got)) {
        EXPECT_TRUE(wholeOK && got == want) << e->d_name << " cut at " << n;
      }
    }
  }
  closedir(d);
  EXPECT_GE(files, 10);
}

// A width patched far past what the rows hold is refused at open, run-length files too.
TEST(BmpFiles, WidthPastTheDataIsRefused) {
  SKIP_WITHOUT("bmp");
  const std::string path = fmttest::Temp("wide.bmp");
  for (const char* f : {"desk_im_bmp3_mono1.bmp", "desk_im_bmp3_pal4.bmp", "desk_im_bmp3_pal8.bmp",
                        "desk_im_bmp3_rle8.bmp", "desk_im_bmp3_rgb24.bmp",
                        "desk_im_v5_rgb565_bitfields.bmp", "desk_im_v5_argb32_bitfields.bmp"}) {
    std::vector<uint8_t> b = FileBytes(fmttest::Data("bmp") + f);
    ASSERT_GT(b.size(), 54u) << f;
    const uint32_t w = 100000;
    for (int i = 0; i < 4; ++i) b[18 + i] = static_cast<uint8_t>(w >> (8 * i));
    WriteBytes(path, b.data(), b.size());
    _ImgReader* ir = BMopen(path.c_str());
    ASSERT_NE(ir, nullptr) << f;
    EXPECT_EQ(ir->errCode, IREtruncated) << f;
    EXPECT_STREQ(ir->errMsg, "Truncated BMP image") << f;
    BMclose(ir);
  }
}

TEST(BmpCodec, PackedDepthsAndMasksDecode) {
  BmpSpec s16;  // 16 bits without masks: 5-5-5, (v AND mask) * 256 / (mask + 1)
  s16.bits = 16;
  s16.width = 1;
  s16.height = 1;
  s16.pixels = {0xFF, 0x7F, 0, 0};
  EXPECT_EQ(Codec(s16).Row(), (std::vector<uint8_t>{255, 255, 248}));

  BmpSpec s4;  // high nibble first; an index past the palette's end reads as black
  s4.bits = 4;
  s4.width = 3;
  s4.height = 1;
  s4.palette = {0x000000, 0x102030, 0x405060};
  s4.pixels = {0x12, 0xF0, 0, 0};
  Codec c4(s4);
  ASSERT_NE(c4.r, nullptr);
  EXPECT_EQ(c4.Row(), (std::vector<uint8_t>{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0, 0, 0}));
  EXPECT_EQ(BMPisGrayscale(c4.r->info), 0);
  uint8_t q[4] = {9, 9, 9, 9};
  BMPdecodePixel(q, 3, c4.r);  // outside the scanline
  EXPECT_EQ(q[0] + q[1] + q[2] + q[3], 0);

  BmpSpec s32;  // 32-bit bit fields inside a V5 header; 10-bit masks scale to 0..255
  s32.bits = 32;
  s32.compression = BI_BITFIELDS;
  s32.hsize = 124;
  s32.width = 2;
  s32.height = 1;
  s32.masks = {0x3FF00000, 0x000FFC00, 0x000003FF};
  s32.pixels = {0xFF, 0xFF, 0xFF, 0x3F, 0x00, 0x02, 0x08, 0x20};
  EXPECT_EQ(Codec(s32).Row(), (std::vector<uint8_t>{255, 255, 255, 128, 128, 128}));

  BmpSpec s565;  // masks after a 40-byte header, and a gap before the pixels
  s565.bits = 16;
  s565.compression = BI_BITFIELDS;
  s565.masks = {0xF800, 0x07E0, 0x001F};
  s565.width = 1;
  s565.gap = 6;
  s565.pixels = {0x00, 0xF8, 0, 0, 0x1F, 0x00, 0, 0};  // bottom row red, top row blue
  Codec c565(s565);
  ASSERT_NE(c565.r, nullptr);
  EXPECT_EQ(c565.r->info->extraBytes, 6);
  EXPECT_EQ(c565.Row(), (std::vector<uint8_t>{255, 0, 0}));
  ASSERT_EQ(BMPreadScanline(c565.r), BMP_OK);
  EXPECT_EQ(c565.Row(), (std::vector<uint8_t>{0, 0, 248}));
  EXPECT_EQ(BMPreadScanline(c565.r), BMP_END);
}

TEST(BmpCodec, HostileHeadersAreRefused) {
  BmpSpec cases[4];
  cases[0].width = 0x7FFFFFFF;  // width times depth too large for a scanline
  cases[0].bits = 32;
  cases[1].bits = 1;  // more palette entries than the depth allows
  cases[1].palette = {0, 0, 0};
  cases[2].bits = 8;  // 256 entries implied, 2 there: the pixel data offset lies in the palette
  cases[2].palette = {0, 1};
  cases[2].colorsUsed = 0;
  cases[3].bits = 32;  // masks sharing a bit
  cases[3].compression = BI_BITFIELDS;
  cases[3].masks = {0xFF, 0xFF, 0xFF};
  for (BmpSpec& s : cases) {
    s.pixels.assign(64, 0);
    Codec c(s);
    EXPECT_EQ(c.r, nullptr);
    EXPECT_EQ(c.result, BMP_UNSUPPORTED);
  }
  BmpSpec tall;  // a run-length file claiming 2^31 - 1 rows costs no more than its data
  tall.bits = 8;
  tall.compression = BI_RLE8;
  tall.height = INT32_MAX;
  tall.palette = {0, 0xFFFFFF};
  tall.pixels = {2, 1, 0, 0, 2, 0, 0, 0};
  Codec t(tall);
  ASSERT_NE(t.r, nullptr);
  EXPECT_EQ(BMPseekScanline(1, t.r), BMP_OK);
  EXPECT_EQ(BMPseekScanline(0, t.r), BMP_OK);
  EXPECT_EQ(BMPseekScanline(5, t.r), BMP_TRUNCATED);
  BmpSpec cut;
  cut.pixels.assign(4, 0);  // 12 are needed
  Codec c(cut);
  EXPECT_EQ(c.r, nullptr);
  EXPECT_EQ(c.result, BMP_TRUNCATED);
}

TEST(BmpCodec, RunLengthCodesStayInsideTheRow) {
  BmpSpec s;
  s.bits = 8;
  s.compression = BI_RLE8;
  s.width = 4;
  s.palette = {0x000000, 0x0000FF, 0x00FF00, 0xFF0000};
  struct Case {
    std::vector<uint8_t> codes;
    int first, second;  // results of reading scanlines 0 and 1
  } cases[] = {
      // run; literal with pad; end of line; run and early end of line
      {{1, 1, 0, 3, 1, 2, 3, 0, 0, 0, 1, 3, 0, 0, 0, 1}, BMP_OK, BMP_OK},
      // pixels past the row (writers pad to an even width) are dropped
      {{5, 1, 0, 0, 0, 5, 1, 1, 1, 1, 1, 0, 0, 1}, BMP_OK, BMP_OK},
      {{4, 1, 4, 2, 0, 0}, BMP_OK, BMP_TRUNCATED},
      {{0, 2, 1, 1, 4, 1, 0, 0}, BMP_UNSUPPORTED, 0},  // delta
      {{4, 1, 0, 1}, BMP_RLE_ERROR, 0},                // end of bitmap before the last row
  };
  for (const Case& c : cases) {
    s.pixels = c.codes;
    Codec r(s);
    EXPECT_EQ(r.result, c.first) << testing::PrintToString(c.codes);
    if (r.r != nullptr) {
      EXPECT_EQ(BMPreadScanline(r.r), c.second);
    }
  }
  s.pixels = cases[0].codes;
  Codec r(s);
  ASSERT_NE(r.r, nullptr);
  EXPECT_EQ(r.Row(), (std::vector<uint8_t>{0, 0, 255, 0, 0, 255, 0, 255, 0, 255, 0, 0}));
  ASSERT_EQ(BMPreadScanline(r.r), BMP_OK);
  EXPECT_EQ(r.Row(), (std::vector<uint8_t>{255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  // Going back works for scanlines already passed; without a seek callback it does not.
  EXPECT_EQ(BMPseekScanline(0, r.r), BMP_OK);
  EXPECT_EQ(r.Row()[2], 255);
  Codec once(s, false);
  EXPECT_EQ(BMPseekScanline(1, once.r), BMP_OK);
  EXPECT_EQ(BMPseekScanline(0, once.r), BMP_SEEK_ERROR);
  // 4-bit runs of odd length alternate nibbles: 1, 2, 1; then 3 literal pixels 3, 0, 1.
  s.bits = 4;
  s.compression = BI_RLE4;
  s.width = 6;
  s.height = 1;
  s.palette = {0x000000, 0x111111, 0x222222, 0x333333};
  s.pixels = {3, 0x12, 0, 3, 0x30, 0x10, 0, 1};
  Codec r4(s);
  ASSERT_NE(r4.r, nullptr) << BMPerrorMessage(r4.result);
  std::vector<uint8_t> grey(6);
  BMPdecodeRow(grey.data(), 0, 1, 6, 1, r4.r);
  EXPECT_EQ(grey, (std::vector<uint8_t>{0x11, 0x22, 0x11, 0x33, 0x00, 0x11}));
  EXPECT_EQ(BMPisGrayscale(r4.r->info), 1);
}

namespace {

// Scanline y of a pattern with runs and literals alike.
int FillPattern(uint8_t* scan, int y, void* data) {
  const int bytes = *static_cast<int*>(data);
  for (int i = 0; i < bytes; ++i)
    scan[i] = static_cast<uint8_t>((i / 7) % 2 == 0 ? y * 3 : (i * 37 + y) & 0xFF);
  return 1;
}

}  // namespace

TEST(BmpWrite, WrittenFilesReadBackUnchanged) {
  BmpInfo* headers[] = {BMPtruecolorHeader(37, 5, 0),    BMPmappedHeader(37, 5, 3, 2),
                        BMPmappedHeader(37, 5, 0, 16),   BMPmappedHeader(300, 5, 0, 256),
                        BMPmappedHeader(300, 5, 0, 256), BMPtruecolorHeader(9, 4, 0),
                        BMPtruecolorHeader(10, 6, 0)};
  headers[4]->compression = BI_RLE8;
  headers[5]->bitCount = 32;
  headers[5]->compression = BI_BITFIELDS;
  headers[5]->mask[0] = 0xFF0000;
  headers[5]->mask[1] = 0xFF00;
  headers[5]->mask[2] = 0xFF;
  headers[6]->topDown = 1;
  const std::string path = fmttest::Temp("written.bmp");
  for (BmpInfo* info : headers) {
    const BmpInfo want = *info;
    SCOPED_TRACE(testing::Message() << want.bitCount << " bits, compression " << want.compression);
    int bytes = (want.width * want.bitCount + 7) / 8;
    const long size = BMPwriteFile(path.c_str(), info, FillPattern, &bytes);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(size, st.st_size);
    FILE* fp = fopen(path.c_str(), "rb");
    BmpReader* r = BMPopenReader(stdio_getc, stdio_fseek, fp);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->info->topDown, want.topDown);
    EXPECT_EQ(r->info->compression, want.compression);
    std::vector<uint8_t> row(static_cast<size_t>(bytes));
    for (int y = 0; y < want.height; ++y) {
      ASSERT_EQ(BMPseekScanline(y, r), BMP_OK);
      FillPattern(row.data(), y, &bytes);
      ASSERT_EQ(0, memcmp(row.data(), r->scanline, row.size())) << "row " << y;
    }
    BMPfreeReader(r);
    fclose(fp);
  }
  // Run-length files get their real sizes patched in at the end.
  MemStream m;
  BmpInfo* info = BMPmappedHeader(600, 2, 0, 256);
  info->compression = BI_RLE8;
  BmpWriter* w = BMPopenWriter(MemPut, MemSeek, &m, info);
  ASSERT_NE(w, nullptr);
  for (int y = 0; y < 2; ++y) {
    memset(w->scanline, y, 600);
    ASSERT_EQ(BMPwriteScanline(w), BMP_OK);
  }
  EXPECT_EQ(BMPwriteScanline(w), BMP_END);
  BMPfreeWriter(w);
  auto le32 = [&](size_t at) { return m.data[at] | m.data[at + 1] << 8 | m.data[at + 2] << 16; };
  // Each row: runs of 255, 255 and 90, then end of line (end of bitmap on the last).
  EXPECT_EQ(m.data.size(), 54u + 4 * 256 + 16);
  EXPECT_EQ(static_cast<size_t>(le32(2)), m.data.size());
  EXPECT_EQ(le32(34), 16);
  EXPECT_EQ(m.data.back(), 1);
}

TEST(BmpWrite, FailedWriteLeavesTheOldFileAndNoTemporary) {
  const fmttest::OldFile old("bmpkeep");
  auto giveUp = [](uint8_t*, int y, void*) { return y < 2 ? 1 : 0; };
  EXPECT_EQ(BMPwriteFile(old.path.c_str(), BMPtruecolorHeader(4, 4, 0), giveUp, nullptr), 0);
  EXPECT_TRUE(old.Intact());
  BmpInfo* i16 = BMPtruecolorHeader(4, 4, 0);  // 16-bit files are not written
  i16->bitCount = 16;
  EXPECT_EQ(BMPwriteFile(old.path.c_str(), i16, FillPattern, nullptr), 0);
  EXPECT_TRUE(old.Intact());
}
