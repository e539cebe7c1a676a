// The BMP codec and reader: the shared test files against ImageMagick's decoding, hand-made
// files for the depths, masks and run-length codes no tool wrote, hostile headers and runs,
// and files written by the codec read back.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "formats/bmp.h"
#include "testutil/message_log.h"

namespace {

const std::string kBmpDir = std::string(LUMERIN_TESTDATA) + "/bmp/";

bool HaveFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// What a command writes on standard output; empty when it fails.
std::vector<uint8_t> CommandOutput(const std::string& cmd) {
  std::vector<uint8_t> out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.insert(out.end(), buf, buf + n);
  if (pclose(p) != 0) out.clear();
  return out;
}

bool HaveTool(const char* name) {
  return system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

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
  auto* m = static_cast<MemStream*>(s);
  if (pos < 0) return -1;
  m->pos = static_cast<size_t>(pos);
  return 0;
}
int MemPut(int c, void* s) {
  auto* m = static_cast<MemStream*>(s);
  if (m->pos >= m->data.size()) m->data.resize(m->pos + 1);
  m->data[m->pos++] = static_cast<uint8_t>(c);
  return c;
}

void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

// Builds a BMP: header of hsize bytes (40 and up), masks, palette, gap bytes, pixels.
struct BmpSpec {
  int32_t width = 2, height = 2;
  uint16_t bits = 24;
  int32_t compression = BI_RGB;
  int32_t hsize = 40;
  std::vector<uint32_t> palette;  // 0x00RRGGBB
  int32_t colorsUsed = -1;        // -1: the palette's size
  std::vector<uint32_t> masks;
  int gap = 0;  // bytes between the palette and the pixels
  std::vector<uint8_t> pixels;
};
std::vector<uint8_t> MakeBmp(const BmpSpec& s) {
  std::vector<uint8_t> v = {'B', 'M'};
  const int32_t used = s.colorsUsed >= 0 ? s.colorsUsed : static_cast<int32_t>(s.palette.size());
  const bool masksInside = s.hsize > 40;
  const int32_t maskBytes = masksInside ? 0 : static_cast<int32_t>(4 * s.masks.size());
  const int32_t offset =
      14 + s.hsize + maskBytes + 4 * static_cast<int32_t>(s.palette.size()) + s.gap;
  Put32(v, static_cast<uint32_t>(offset + s.pixels.size()));
  Put32(v, 0);
  Put32(v, static_cast<uint32_t>(offset));
  Put32(v, static_cast<uint32_t>(s.hsize));
  Put32(v, static_cast<uint32_t>(s.width));
  Put32(v, static_cast<uint32_t>(s.height));
  Put16(v, 1);
  Put16(v, s.bits);
  Put32(v, static_cast<uint32_t>(s.compression));
  Put32(v, static_cast<uint32_t>(s.pixels.size()));
  Put32(v, 2835);
  Put32(v, 2835);
  Put32(v, static_cast<uint32_t>(used));
  Put32(v, 0);
  for (uint32_t m : s.masks) Put32(v, m);
  while (v.size() < 14u + static_cast<size_t>(s.hsize)) v.push_back(0);
  for (uint32_t c : s.palette) Put32(v, c);
  v.insert(v.end(), static_cast<size_t>(s.gap), 0xEE);
  v.insert(v.end(), s.pixels.begin(), s.pixels.end());
  return v;
}

struct ReaderPtr {
  BmpReader* r = nullptr;
  MemStream m;
  int result = BMP_OK;
  ReaderPtr(std::vector<uint8_t> data, bool seekable = true) {
    m.data = std::move(data);
    r = BMPopenReader(MemGet, seekable ? MemSeek : nullptr, &m, &result);
  }
  ~ReaderPtr() { BMPfreeReader(r); }
};

// The pixels of the current scanline as red, green, blue.
std::vector<uint8_t> Row(const BmpReader* r) {
  std::vector<uint8_t> v(3 * static_cast<size_t>(r->info->width));
  BMPdecodeRow(v.data(), 0, 1, r->info->width, 0, r);
  return v;
}

// A whole image through the reader plug-in, rows top-down.
struct Loaded {
  int w = 0, h = 0;
  bool grey = false;
  std::string encoding;
  std::vector<uint8_t> px;
};
Loaded LoadFile(const std::string& path, int step = 1) {
  Loaded out;
  _ImgReader* ir = BMopen(path.c_str());
  if (ir == nullptr) return out;
  if (ir->errCode == IREnone) {
    _ImgReadBuf rb;
    memset(&rb, 0, sizeof rb);
    rb.cs = ir->cs;
    rb.subsample = step;
    rb.r = {0, ir->xres / step * step, 0, ir->yres / step * step};
    out.w = ir->xres / step;
    out.h = ir->yres / step;
    out.grey = ir->cs.format == IPFy;
    out.encoding = ir->encoding;
    out.px.resize(static_cast<size_t>(out.w) * out.h * (out.grey ? 1 : 3));
    rb.buf = out.px.data();
    rb.bufsize = out.px.size();
    EXPECT_EQ(BMreadRec(ir, &rb), IREnone) << path << ": " << ir->errMsg;
  }
  BMclose(ir);
  return out;
}

std::string TempDir() {
  static std::string dir;
  if (dir.empty()) {
    char tmpl[] = "/tmp/lumerin_bmp_XXXXXX";
    dir = mkdtemp(tmpl);
    atexit([] { system(("rm -rf '" + dir + "'").c_str()); });
  }
  return dir;
}

int CountFiles(const std::string& dir) {
  int n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) n += strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
    closedir(d);
  }
  return n;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The shared test files

TEST(BmpFiles, EveryDepthDecodesAsImageMagickDoes) {
  if (!HaveFile(kBmpDir)) GTEST_SKIP() << "no test pictures in " << kBmpDir;
  if (!HaveTool("convert")) GTEST_SKIP() << "ImageMagick's convert is not installed";
  struct Case {
    const char* file;
    const char* encoding;
    int tolerance;  // 5- and 6-bit fields are scaled by the file's own rule, not ImageMagick's
  } cases[] = {
      {"desk_im_bmp3_rgb24.bmp", "24-bit RGB", 0},
      {"desk_im_bmp3_pal8.bmp", "8-bit color", 0},
      {"desk_im_bmp3_rle8.bmp", "8-bit color", 0},
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
    const std::string path = kBmpDir + c.file;
    const Loaded img = LoadFile(path);
    ASSERT_EQ(img.w, 203);
    ASSERT_EQ(img.h, 151);
    EXPECT_EQ(img.encoding, c.encoding);
    const std::vector<uint8_t> ref = CommandOutput("convert '" + path + "' -depth 8 rgb:-");
    ASSERT_EQ(ref.size(), 203u * 151 * 3);
    int worst = 0;
    for (size_t i = 0; i < ref.size(); ++i) {
      const int ours = img.grey ? img.px[i / 3] : img.px[i];
      worst = std::max(worst, std::abs(ours - ref[i]));
    }
    EXPECT_LE(worst, c.tolerance);
  }
}

TEST(BmpFiles, TopDownFileMatchesBottomUpAndStartsAtTheTop) {
  if (!HaveFile(kBmpDir)) GTEST_SKIP() << "no test pictures in " << kBmpDir;
  const Loaded up = LoadFile(kBmpDir + "desk_im_bmp3_rgb24.bmp");
  const Loaded down = LoadFile(kBmpDir + "desk_topdown_rgb24.bmp");
  ASSERT_FALSE(up.px.empty());
  EXPECT_EQ(up.px, down.px);
  _ImgReader* ir = BMopen((kBmpDir + "desk_topdown_rgb24.bmp").c_str());
  ASSERT_NE(ir, nullptr);
  EXPECT_EQ(ir->fr.ytop, 0);
  BMclose(ir);
  ir = BMopen((kBmpDir + "desk_im_bmp3_rgb24.bmp").c_str());
  ASSERT_NE(ir, nullptr);
  EXPECT_EQ(ir->fr.ytop, 150);
  BMclose(ir);
}

TEST(BmpFiles, SubsampledReadKeepsEveryNthPixel) {
  if (!HaveFile(kBmpDir)) GTEST_SKIP() << "no test pictures in " << kBmpDir;
  for (const char* f : {"desk_im_bmp3_rle8.bmp", "desk_im_bmp3_mono1.bmp"}) {
    SCOPED_TRACE(f);
    const Loaded full = LoadFile(kBmpDir + f);
    const Loaded sub = LoadFile(kBmpDir + f, 3);
    ASSERT_EQ(sub.w, 67);
    ASSERT_EQ(sub.h, 50);
    const int ps = full.grey ? 1 : 3;
    for (int y = 0; y < sub.h; ++y)
      for (int x = 0; x < sub.w; ++x)
        for (int c = 0; c < ps; ++c)
          ASSERT_EQ(sub.px[(static_cast<size_t>(y) * sub.w + x) * ps + c],
                    full.px[(static_cast<size_t>(3 * y) * full.w + 3 * x) * ps + c])
              << x << "," << y;
  }
}

TEST(BmpFiles, OS2HeaderIsRefusedWithAMessage) {
  if (!HaveFile(kBmpDir)) GTEST_SKIP() << "no test pictures in " << kBmpDir;
  MessageLog log;
  for (const char* f : {"desk_netpbm_os2_pal8.bmp", "desk_im_core_rgb24.bmp"}) {
    const std::string path = kBmpDir + f;
    EXPECT_EQ(PopenImageF(path.c_str(), 0, &IRInterfaceBMP), nullptr);
    EXPECT_TRUE(log.Has(DMCparameter, path + ": Unsupported feature: OS/2 bitmap header (12 bytes) "
                                             "not supported"))
        << log.All();
  }
}

// ---------------------------------------------------------------------------------------------
// Hand-made files

TEST(BmpCodec, PackedDepthsAndMasksDecode) {
  // 16 bits without masks: 5-5-5, scaled by (v AND mask) * 256 / (mask + 1).
  BmpSpec s16;
  s16.bits = 16;
  s16.width = 1;
  s16.height = 1;
  s16.pixels = {0xFF, 0x7F, 0, 0};
  ReaderPtr r16(MakeBmp(s16));
  ASSERT_NE(r16.r, nullptr);
  EXPECT_EQ(Row(r16.r), (std::vector<uint8_t>{255, 255, 248}));

  // 4 bits: high nibble first; an index past the palette's end reads as black.
  BmpSpec s4;
  s4.bits = 4;
  s4.width = 3;
  s4.height = 1;
  s4.palette = {0x000000, 0x102030, 0x405060};
  s4.pixels = {0x12, 0xF0, 0, 0};
  ReaderPtr r4(MakeBmp(s4));
  ASSERT_NE(r4.r, nullptr);
  EXPECT_EQ(Row(r4.r), (std::vector<uint8_t>{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0, 0, 0}));
  EXPECT_EQ(BMPisGrayscale(r4.r->info), 0);
  uint8_t q[4] = {9, 9, 9, 9};
  BMPdecodePixel(q, 3, r4.r);  // outside the scanline
  EXPECT_EQ(q[0] + q[1] + q[2] + q[3], 0);

  // 32-bit bit fields in a V5 header; masks of any width scale to 0..255.
  BmpSpec s32;
  s32.bits = 32;
  s32.compression = BI_BITFIELDS;
  s32.hsize = 124;
  s32.width = 2;
  s32.height = 1;
  s32.masks = {0x3FF00000, 0x000FFC00, 0x000003FF};  // 10 bits each
  s32.pixels = {0xFF, 0xFF, 0xFF, 0x3F, 0x00, 0x02, 0x08, 0x20};
  ReaderPtr r32(MakeBmp(s32));
  ASSERT_NE(r32.r, nullptr);
  EXPECT_EQ(Row(r32.r), (std::vector<uint8_t>{255, 255, 255, 128, 128, 128}));
}

TEST(BmpCodec, PixelDataIsFoundThroughTheHeaderOffset) {
  // A 40-byte header with masks after it, then a gap before the pixels.
  BmpSpec s;
  s.bits = 16;
  s.compression = BI_BITFIELDS;
  s.masks = {0xF800, 0x07E0, 0x001F};
  s.width = 1;
  s.height = 2;
  s.gap = 6;
  s.pixels = {0x00, 0xF8, 0, 0, 0x1F, 0x00, 0, 0};  // bottom row red, top row blue
  ReaderPtr r(MakeBmp(s));
  ASSERT_NE(r.r, nullptr);
  EXPECT_EQ(r.r->info->extraBytes, 6);
  EXPECT_EQ(Row(r.r), (std::vector<uint8_t>{255, 0, 0}));
  ASSERT_EQ(BMPreadScanline(r.r), BMP_OK);
  EXPECT_EQ(Row(r.r), (std::vector<uint8_t>{0, 0, 248}));
  EXPECT_EQ(BMPreadScanline(r.r), BMP_END);
}

TEST(BmpCodec, HostileHeadersAreRefused) {
  struct Case {
    const char* what;
    BmpSpec spec;
  } cases[4];
  cases[0].what = "width times depth too large for a scanline";
  cases[0].spec.width = 0x7FFFFFFF;
  cases[0].spec.bits = 32;
  cases[1].what = "more palette entries than the depth allows";
  cases[1].spec.bits = 1;
  cases[1].spec.palette = {0, 0, 0};
  cases[2].what = "pixel data offset inside the palette";
  cases[2].spec.bits = 8;
  cases[2].spec.palette = {0, 1};
  cases[2].spec.colorsUsed = 0;  // implies 256 entries, but only 2 are there
  cases[3].what = "masks sharing a bit";
  cases[3].spec.bits = 32;
  cases[3].spec.compression = BI_BITFIELDS;
  cases[3].spec.masks = {0xFF, 0xFF, 0xFF};
  for (Case& c : cases) {
    c.spec.pixels.assign(64, 0);
    ReaderPtr r(MakeBmp(c.spec));
    EXPECT_EQ(r.r, nullptr) << c.what;
    EXPECT_EQ(r.result, BMP_UNSUPPORTED) << c.what;
  }
  // Cut inside the pixels.
  BmpSpec cut;
  cut.pixels.assign(12, 0);
  std::vector<uint8_t> data = MakeBmp(cut);
  data.resize(data.size() - 8);
  ReaderPtr r(data);
  EXPECT_EQ(r.r, nullptr);
  EXPECT_EQ(r.result, BMP_TRUNCATED);
}

TEST(BmpCodec, RunLengthCodesAreCheckedAgainstTheRow) {
  BmpSpec s;
  s.bits = 8;
  s.compression = BI_RLE8;
  s.width = 4;
  s.height = 2;
  s.palette = {0x000000, 0x0000FF, 0x00FF00, 0xFF0000};
  struct Case {
    std::vector<uint8_t> codes;
    int first;   // result of opening (reading scanline 0)
    int second;  // result of reading scanline 1
  } cases[] = {
      // run, literal with pad, end of line; run and early end of line, end of bitmap
      {{1, 1, 0, 3, 1, 2, 3, 0, 0, 0, 1, 3, 0, 0, 0, 1}, BMP_OK, BMP_OK},
      {{5, 1, 0, 0, 0, 5, 1, 1, 1, 1, 1, 0, 0, 1}, BMP_OK, BMP_OK},  // clipped to the row
      {{0, 2, 1, 1, 4, 1, 0, 0}, BMP_UNSUPPORTED, 0},                // delta
      {{4, 1, 0, 1}, BMP_RLE_ERROR, 0},                // end of bitmap after a full first row
      {{4, 1, 4, 2, 0, 0}, BMP_OK, BMP_TRUNCATED},     // pixels past a full row dropped
      {{4, 1, 0, 0, 4, 2, 0}, BMP_OK, BMP_TRUNCATED},  // data ends inside the codes
  };
  for (const Case& c : cases) {
    s.pixels = c.codes;
    ReaderPtr r(MakeBmp(s));
    EXPECT_EQ(r.result, c.first) << testing::PrintToString(c.codes);
    if (r.r == nullptr) continue;
    EXPECT_EQ(BMPreadScanline(r.r), c.second);
  }
  s.pixels = cases[0].codes;
  ReaderPtr r(MakeBmp(s));
  ASSERT_NE(r.r, nullptr);
  EXPECT_EQ(Row(r.r), (std::vector<uint8_t>{0, 0, 255, 0, 0, 255, 0, 255, 0, 255, 0, 0}));
  ASSERT_EQ(BMPreadScanline(r.r), BMP_OK);
  EXPECT_EQ(Row(r.r), (std::vector<uint8_t>{255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  // Going back works for scanlines already passed; without a seek callback it does not.
  EXPECT_EQ(BMPseekScanline(0, r.r), BMP_OK);
  EXPECT_EQ(Row(r.r)[2], 255);
  s.pixels = cases[1].codes;
  ReaderPtr clipped(MakeBmp(s));
  ASSERT_NE(clipped.r, nullptr);
  EXPECT_EQ(Row(clipped.r), (std::vector<uint8_t>{0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255}));
  ReaderPtr once(MakeBmp(s), false);
  ASSERT_NE(once.r, nullptr);
  EXPECT_EQ(BMPseekScanline(1, once.r), BMP_OK);
  EXPECT_EQ(BMPseekScanline(0, once.r), BMP_SEEK_ERROR);
}

TEST(BmpCodec, FourBitRunsMayHaveOddLengths) {
  BmpSpec s;
  s.bits = 4;
  s.compression = BI_RLE4;
  s.width = 6;
  s.height = 1;
  s.palette = {0x000000, 0x111111, 0x222222, 0x333333};
  // 3 pixels alternating 1, 2; then 3 literal pixels 3, 0, 1 in two bytes.
  s.pixels = {3, 0x12, 0, 3, 0x30, 0x10, 0, 1};
  ReaderPtr r(MakeBmp(s));
  ASSERT_NE(r.r, nullptr) << BMPerrorMessage(r.result);
  std::vector<uint8_t> grey(6);
  BMPdecodeRow(grey.data(), 0, 1, 6, 1, r.r);
  EXPECT_EQ(grey, (std::vector<uint8_t>{0x11, 0x22, 0x11, 0x33, 0x00, 0x11}));
  EXPECT_EQ(BMPisGrayscale(r.r->info), 1);
}

// ---------------------------------------------------------------------------------------------
// Writing

namespace {

struct Pattern {
  int width, height, bits;
};
// Scanline y of a pattern that exercises runs and literals alike.
int FillPattern(uint8_t* scan, int y, void* data) {
  const Pattern* p = static_cast<const Pattern*>(data);
  const int bytes = (p->width * p->bits + 7) / 8;
  for (int i = 0; i < bytes; ++i)
    scan[i] = static_cast<uint8_t>(((i / 7) % 2 == 0) ? y * 3 : (i * 37 + y) & 0xFF);
  return 1;
}

}  // namespace

TEST(BmpWrite, WrittenFilesReadBackUnchanged) {
  struct Case {
    const char* what;
    BmpInfo* info;
  } cases[] = {
      {"24-bit", BMPtruecolorHeader(37, 5, 0)},
      {"1-bit", BMPmappedHeader(37, 5, 3, 2)},
      {"4-bit", BMPmappedHeader(37, 5, 0, 16)},
      {"8-bit", BMPmappedHeader(300, 5, 0, 256)},
      {"8-bit run-length", BMPmappedHeader(300, 5, 0, 256)},
      {"32-bit bit fields", BMPtruecolorHeader(9, 4, 0)},
      {"top-down 24-bit", BMPtruecolorHeader(10, 6, 0)},
  };
  cases[4].info->compression = BI_RLE8;
  cases[5].info->bitCount = 32;
  cases[5].info->compression = BI_BITFIELDS;
  cases[5].info->mask[0] = 0xFF0000;
  cases[5].info->mask[1] = 0xFF00;
  cases[5].info->mask[2] = 0xFF;
  cases[6].info->topDown = 1;
  const std::string path = TempDir() + "/written.bmp";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Pattern p = {c.info->width, c.info->height, c.info->bitCount};
    const BmpInfo copy = *c.info;
    const long size = BMPwriteFile(path.c_str(), c.info, FillPattern, &p);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(size, st.st_size);
    FILE* fp = fopen(path.c_str(), "rb");
    ASSERT_NE(fp, nullptr);
    int res = 0;
    BmpReader* r = BMPopenReader(stdio_getc, stdio_fseek, fp, &res);
    ASSERT_NE(r, nullptr) << BMPerrorMessage(res);
    EXPECT_EQ(r->info->topDown, copy.topDown);
    EXPECT_EQ(r->info->compression, copy.compression);
    const int bytes = (p.width * p.bits + 7) / 8;
    std::vector<uint8_t> want(static_cast<size_t>(bytes) + 8);
    for (int y = 0; y < p.height; ++y) {
      ASSERT_EQ(BMPseekScanline(y, r), BMP_OK);
      FillPattern(want.data(), y, &p);
      ASSERT_EQ(0, memcmp(want.data(), r->scanline, static_cast<size_t>(bytes))) << "row " << y;
    }
    BMPfreeReader(r);
    fclose(fp);
  }
}

TEST(BmpWrite, RunLengthWriterPatchesTheSizes) {
  MemStream m;
  BmpInfo* info = BMPmappedHeader(600, 2, 0, 256);
  ASSERT_NE(info, nullptr);
  info->compression = BI_RLE8;
  BmpWriter* w = BMPopenWriter(MemPut, MemSeek, &m, info);
  ASSERT_NE(w, nullptr);
  for (int y = 0; y < 2; ++y) {
    memset(w->scanline, y, 600);
    ASSERT_EQ(BMPwriteScanline(w), BMP_OK);
  }
  EXPECT_EQ(BMPwriteScanline(w), BMP_END);
  BMPfreeWriter(w);
  auto le32 = [&](size_t at) {
    return m.data[at] | m.data[at + 1] << 8 | m.data[at + 2] << 16 | m.data[at + 3] << 24;
  };
  const size_t dataStart = 54 + 4 * 256;
  // Each row: two runs of 255, one of 90, end of line (the last end of bitmap): 8 bytes.
  EXPECT_EQ(m.data.size(), dataStart + 16);
  EXPECT_EQ(static_cast<size_t>(le32(2)), m.data.size());
  EXPECT_EQ(le32(34), 16);
  EXPECT_EQ(m.data[m.data.size() - 1], 1);
}

TEST(BmpWrite, FailedWriteLeavesTheOldFileAndNoTemporary) {
  const std::string dir = TempDir() + "/keep";
  mkdir(dir.c_str(), 0700);
  const std::string path = dir + "/old.bmp";
  FILE* fp = fopen(path.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  fputs("precious", fp);
  fclose(fp);
  auto giveUp = [](uint8_t*, int y, void*) { return y < 2 ? 1 : 0; };
  EXPECT_EQ(BMPwriteFile(path.c_str(), BMPtruecolorHeader(4, 4, 0), giveUp, nullptr), 0);
  fp = fopen(path.c_str(), "rb");
  char buf[16] = {0};
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(fread(buf, 1, sizeof buf, fp), 8u);
  fclose(fp);
  EXPECT_STREQ(buf, "precious");
  EXPECT_EQ(CountFiles(dir), 1);
  // 16-bit and 4-bit run-length headers are not written.
  BmpInfo* i16 = BMPtruecolorHeader(4, 4, 0);
  i16->bitCount = 16;
  EXPECT_EQ(BMPwriteFile(path.c_str(), i16, FillPattern, nullptr), 0);
  EXPECT_EQ(CountFiles(dir), 1);
}
