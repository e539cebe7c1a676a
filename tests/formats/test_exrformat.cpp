// OpenEXR files through our reader and writer: the shared test files against oiiotool, line
// orders and strips with any subsampling, channel sets, attributes, damaged files, and what
// our writer stores.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/resource.h>

#include <csignal>

#include <cmath>
#include <string>
#include <vector>

#include <OpenEXR/ImfRgbaFile.h>

#include "fmt_test_util.h"
#include "formats/exrformat.h"
#include "testutil/file_bytes.h"
#include "testutil/message_log.h"

using namespace pictest;

namespace {

_ImgReader* OpenExr(const std::string& path) {
  return IRInterfaceEXR.Open(path.c_str());
}

bool SameValue(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  if (std::isinf(a) || std::isinf(b)) return std::isinf(a) && std::isinf(b);  // oiiotool drops -
  return std::fabs(a - b) <= 1e-9f + 2e-6f * std::fabs(b);
}

TEST(ExrFiles, RampsAndChartsMatchOiiotool) {
  if (!HaveFile(TestData("exr/GammaChart.exr"))) GTEST_SKIP() << "no test pictures";
  if (!HaveTool("oiiotool")) GTEST_SKIP() << "oiiotool not installed";
  // A 160 x 120 window of each (all of the smallest), cut out by oiiotool.
  struct Case {
    const char* name;
    const char* encoding;
    _ImgRect r;
  } cases[] = {{"GammaChart.exr", "compressed RGB", {300, 460, 340, 460}},
               {"RgbRampsDiagonal.exr", "compressed RGB", {600, 760, 10, 130}},
               {"BrightRingsNanInf.exr", "ZIP RGB", {320, 480, 340, 460}},
               {"AllHalfValues.exr", "PIZ RGB", {0, 256, 0, 256}},
               {"GoldenGate.exr", "PIZ RGB", {1000, 1160, 700, 820}}};
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = TestData(std::string("exr/") + c.name);
    _ImgReader* ir = OpenExr(path);
    ASSERT_NE(ir, nullptr);
    ReaderCloser closer{ir};
    ASSERT_EQ(ir->errCode, IREnone) << ir->errMsg;
    EXPECT_STREQ(ir->encoding, c.encoding);
    ImgReadErr err;
    const std::vector<uint8_t> b = ReadRect(ir, c.r, 1, ir->cs, &err);
    ASSERT_EQ(err, IREnone) << ir->errMsg;
    std::vector<float> ours(b.size() / sizeof(float));
    memcpy(ours.data(), b.data(), b.size());
    const std::string cut = dir.Path("cut.exr");
    const int w = c.r.xright - c.r.xleft, h = c.r.ybottom - c.r.ytop;
    Output({"oiiotool", "--threads", "1", path, "--cut",
            std::to_string(w) + "x" + std::to_string(h) + "+" + std::to_string(c.r.xleft) + "+" +
                std::to_string(c.r.ytop),
            "-o", cut});
    const std::vector<float> theirs = OiioDump(cut, 3);
    ASSERT_EQ(ours.size(), theirs.size());
    size_t bad = 0;
    for (size_t i = 0; i < ours.size(); i++)
      if (!SameValue(ours[i], theirs[i]) && bad++ < 3)
        ADD_FAILURE() << "value " << i << ": " << ours[i] << " vs " << theirs[i];
  }
}

// A w x h half RGB file in the given line order and compression; its pixels in *px.
void WriteHalfFile(const std::string& path, int w, int h, Imf::LineOrder order,
                   Imf::Compression comp, std::vector<Imf::Rgba>* px) {
  px->resize(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      Imf::Rgba& p = (*px)[static_cast<size_t>(y) * w + x];
      p.r = 0.01f * (x + 1) * (y + 1);
      p.g = static_cast<float>(x) - y;
      p.b = std::ldexp(1.0f, (x * 7 + y) % 20 - 10);
      p.a = 1.0f;
    }
  Imf::RgbaOutputFile out(
      path.c_str(), Imf::Header(w, h, 1.0f, Imath::V2f(0, 0), 1.0f, order, comp), Imf::WRITE_RGB);
  out.setFrameBuffer(px->data(), 1, w);
  out.writePixels(h);
}

TEST(ExrReader, LineOrdersAndStripsReadAnyRectangleAtAnyStep) {
  ScratchDir dir;
  const int w = 37, h = 45;
  for (Imf::LineOrder order : {Imf::INCREASING_Y, Imf::DECREASING_Y})
    for (Imf::Compression comp :
         {Imf::ZIP_COMPRESSION, Imf::PIZ_COMPRESSION, Imf::NO_COMPRESSION}) {
      SCOPED_TRACE("order " + std::to_string(order) + " compression " + std::to_string(comp));
      const std::string path = dir.Path("lo.exr");
      std::vector<Imf::Rgba> px;
      WriteHalfFile(path, w, h, order, comp, &px);
      _ImgReader* ir = OpenExr(path);
      ASSERT_NE(ir, nullptr);
      ReaderCloser closer{ir};
      const _ImgRect rects[] = {{0, w, 0, h}, {3, 30, 5, 44}, {36, 37, 40, 45}, {0, 10, 17, 18}};
      for (const _ImgRect& r : rects)
        for (int step = 1; step <= 4; step++) {
          ImgReadErr err;
          std::vector<uint8_t> b = ReadRect(ir, r, step, ICS_RGB709, &err);
          const int ow = (r.xright - r.xleft) / step, oh = (r.ybottom - r.ytop) / step;
          if (ow == 0 || oh == 0) continue;  // nothing to deliver
          ASSERT_EQ(err, IREnone) << ir->errMsg;
          ASSERT_EQ(b.size(), static_cast<size_t>(ow) * oh * 12);
          const float* f = reinterpret_cast<const float*>(b.data());
          for (int j = 0; j < oh; j++)
            for (int i = 0; i < ow; i++) {
              const Imf::Rgba& s =
                  px[static_cast<size_t>(r.ytop + j * step) * w + r.xleft + i * step];
              const float* g = f + (static_cast<size_t>(j) * ow + i) * 3;
              ASSERT_TRUE(g[0] == s.r && g[1] == s.g && g[2] == s.b)
                  << "step " << step << " output " << i << "," << j;
            }
          // 8-bit output of the same rectangle fills exactly its buffer.
          std::vector<uint8_t> e = ReadRect(ir, r, step, ICS_sRGB, &err);
          ASSERT_EQ(err, IREnone) << ir->errMsg;
          EXPECT_EQ(e.size(), static_cast<size_t>(ow) * oh * 3);
        }
    }
}

// A file cut in half opens by its header, and its pixels fail as a cut file's, in either
// output, for each kind of block; the rows before the cut still read.
TEST(ExrReader, AFileCutInItsPixelsFailsAsCutShort) {
  ScratchDir dir;
  const int w = 64, h = 200;
  for (Imf::LineOrder order : {Imf::INCREASING_Y, Imf::DECREASING_Y})
    for (Imf::Compression comp :
         {Imf::ZIP_COMPRESSION, Imf::PIZ_COMPRESSION, Imf::NO_COMPRESSION}) {
      SCOPED_TRACE("order " + std::to_string(order) + " compression " + std::to_string(comp));
      const std::string path = dir.Path("whole.exr"), cut = dir.Path("cut.exr");
      std::vector<Imf::Rgba> px;
      WriteHalfFile(path, w, h, order, comp, &px);
      const std::string bytes = ::ReadAll(path);
      ::WriteAll(cut, bytes.substr(0, bytes.size() / 2));
      _ImgReader* ir = OpenExr(cut);
      ASSERT_NE(ir, nullptr);
      ReaderCloser closer{ir};
      ASSERT_EQ(ir->errCode, IREnone) << ir->errMsg;
      const _ImgRect first =
          order == Imf::INCREASING_Y ? _ImgRect{0, w, 0, 1} : _ImgRect{0, w, h - 1, h};
      ImgReadErr err;
      ReadRect(ir, first, 1, ICS_RGB709, &err);
      EXPECT_EQ(err, IREnone) << ir->errMsg;
      for (const _ImgColorSpace& cs : {ICS_RGB709, ICS_sRGB}) {
        ReadRect(ir, {0, w, 0, h}, 1, cs, &err);
        EXPECT_EQ(err, IREtruncated);
        EXPECT_EQ(std::string(ir->errMsg).rfind("file cut short at row ", 0), 0u) << ir->errMsg;
      }
    }
}

TEST(ExrReader, FloatReadAfterEightBitReadAndGreyFiles) {
  ScratchDir dir;
  const std::string path = dir.Path("g.exr");
  std::vector<Imf::Rgba> px;
  WriteHalfFile(path, 20, 10, Imf::INCREASING_Y, Imf::PIZ_COMPRESSION, &px);
  _ImgReader* ir = OpenExr(path);
  ASSERT_NE(ir, nullptr);
  ReaderCloser closer{ir};
  ImgReadErr err;
  _ImgReadBuf rb;
  ReadRect(ir, {0, 20, 0, 10}, 1, ICS_sRGB, &err, &rb);
  ASSERT_EQ(err, IREnone);
  EXPECT_EQ(rb.cs.dtype, IDTubyte);
  const std::vector<float> f = ReadAllFloat(ir);
  ASSERT_EQ(f.size(), 20u * 10 * 3);
  EXPECT_EQ(f[3 * 21], static_cast<float>(px[21].r));
  // An 8-bit grey request of a colour file gets the file's own float colour back.
  std::vector<uint8_t> grey(20 * 10 * 12);
  memset(&rb, 0, sizeof rb);
  rb.cs = ICS_Y8;
  rb.cs.cstatic = 0;
  rb.r = {0, 20, 0, 10};
  rb.subsample = 1;
  rb.buf = grey.data();
  rb.bufsize = grey.size();
  EXPECT_EQ(ir->ri->ReadRec(ir, &rb), IREnone);
  EXPECT_EQ(rb.cs.dtype, IDTfloat);
  EXPECT_EQ(rb.cs.format, IPFrgb);
  EXPECT_EQ(rb.r.xright, 20);
  // A single-channel file is grey, tone-mapped to 8-bit grey.
  if (!HaveFile(TestData("exr/WideFloatRange.exr"))) GTEST_SKIP() << "no test pictures";
  _ImgReader* g = OpenExr(TestData("exr/WideFloatRange.exr"));
  ASSERT_NE(g, nullptr);
  ReaderCloser cg{g};
  EXPECT_STREQ(g->encoding, "compressed Green");
  EXPECT_EQ(g->cs.format, IPFy);
  EXPECT_FLOAT_EQ(g->cs.chroma[0][0], 0.3f);
  ReadRect(g, {0, 500, 0, 500}, 5, ICS_Y8, &err, &rb);
  EXPECT_EQ(err, IREnone);
  EXPECT_EQ(rb.cs.dtype, IDTubyte);
  EXPECT_EQ(ReadAllFloat(g).size(), 500u * 500);
}

// The bytes of a literal that holds zero bytes, without its terminator.
template <size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

TEST(ExrReader, UnsupportedChannelSetsAndNonExrFiles) {
  ScratchDir dir;
  // Green and alpha only.
  const std::string ga = dir.Path("ga.exr");
  {
    std::vector<Imf::Rgba> px(4 * 3);
    Imf::RgbaOutputFile out(ga.c_str(), 4, 3,
                            static_cast<Imf::RgbaChannels>(Imf::WRITE_G | Imf::WRITE_A));
    out.setFrameBuffer(px.data(), 1, 4);
    out.writePixels(3);
  }
  struct Case {
    std::string path;
    const char* why;
  } cases[] = {{ga, "Unsupported input color space (10)"},
               {TestData("exr/Rec709_YC.exr"), "unsupported YC OpenEXR"},
               {TestData("exr/GrayRampsHorizontal.exr"), "unsupported luminance-only OpenEXR"}};
  for (const Case& c : cases) {
    if (!HaveFile(c.path)) continue;
    _ImgReader* ir = OpenExr(c.path);
    ASSERT_NE(ir, nullptr) << c.path;
    ReaderCloser closer{ir};
    EXPECT_EQ(ir->errCode, IREunsupported);
    EXPECT_EQ(std::string(ir->errMsg), c.why);
  }
  MessageLog log;
  EXPECT_EQ(PopenImageF(ga.c_str(), 0, &IRInterfaceEXR), nullptr);
  EXPECT_TRUE(
      log.Has(DMCparameter, ga + ": Unsupported feature: Unsupported input color space (10)"))
      << log.All();
  const std::string text = dir.Path("text.exr");
  FILE* fp = fopen(text.c_str(), "w");
  fputs("not an image\n", fp);
  fclose(fp);
  EXPECT_EQ(OpenExr(text), nullptr);
  // Headers that would make the library allocate what the file cannot hold are refused
  // before it reads them, quietly: whoever opens a file the user named says why.
  const std::string big = dir.Path("big.exr");
  const std::string refused[] = {
      // An attribute whose size field claims 1.8 GB of a 40-byte file.
      Bytes("\x76\x2f\x31\x01\x02\0\0\0owner\0string\0\0\0\0\x6dme"),
      // A data window of 100 million rows whose block offsets the file cannot hold.
      Bytes("\x76\x2f\x31\x01\x02\0\0\0dataWindow\0box2i\0\x10\0\0\0"
            "\0\0\0\0\0\0\0\0\0\0\0\0\0\xe1\xf5\x05\0"),
      // A single row 268 million pixels wide, which a 50-byte file cannot hold however it is
      // compressed: the library would allocate the row's whole decompression buffer.
      Bytes("\x76\x2f\x31\x01\x02\0\0\0dataWindow\0box2i\0\x10\0\0\0"
            "\0\0\0\0\0\0\0\0\xff\xff\xff\x0f\0\0\0\0"),
      // A one-byte attribute declaring 14 bytes: the library reads one and takes the rest
      // as another attribute, here a string of 1.8 GB.
      Bytes("\x76\x2f\x31\x01\x02\0\0\0lineOrder\0lineOrder\0\x0e\0\0\0"
            "\0a\0string\0\0\0\0\x70\0"),
      // A string vector whose one string claims more than the vector holds.
      Bytes("\x76\x2f\x31\x01\x02\0\0\0names\0stringvector\0\x08\0\0\0"
            "\0\0\0\x70xxxx\0"),
      // A channel list whose terminating empty name comes before its declared end: the
      // library reads on from there, here into a string of 1.8 GB.
      Bytes("\x76\x2f\x31\x01\x02\0\0\0channels\0chlist\0\x24\0\0\0"
            "R\0\x02\0\0\0\0\0\0\0\x01\0\0\0\x01\0\0\0"
            "\0abcd\0string\0\0\0\0\x70\0\0"),
  };
  for (const std::string& head : refused) {
    fp = fopen(big.c_str(), "wb");
    fwrite(head.data(), 1, head.size(), fp);
    fclose(fp);
    testing::internal::CaptureStderr();
    EXPECT_EQ(OpenExr(big), nullptr) << head.size();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << head.size();
  }
  EXPECT_EQ(OpenExr(dir.Path("missing.exr")), nullptr);
}

TEST(ExrReader, AttributesAndWindowsBecomeImageInformation) {
  if (!HaveFile(TestData("exr/GoldenGate.exr"))) GTEST_SKIP() << "no test pictures";
  _ImgReader* ir = OpenExr(TestData("exr/GoldenGate.exr"));
  ASSERT_NE(ir, nullptr);
  ReaderCloser closer{ir};
  _ImgInfo info;
  memset(&info, 0, sizeof info);
  ASSERT_EQ(ir->ri->GetInfo(ir, &info), IREnone);
  const uint32_t want = IIFcapdate | IIFlatlong | IIFexptime | IIFaperture | IIFasa | IIFfocus |
                        IIFowner | IIFcomments | IIFhvangle;
  EXPECT_EQ(info.flags & want, want) << std::hex << info.flags;
  EXPECT_EQ(strlen(info.capdate), 19u);
  EXPECT_GT(info.hvangle, 0.0f);
  EXPECT_FALSE(info.flags & IIFcrop);

  _ImgReader* t09 = OpenExr(TestData("exr/t09.exr"));
  ASSERT_NE(t09, nullptr);
  ReaderCloser c9{t09};
  ASSERT_EQ(t09->ri->GetInfo(t09, &info), IREnone);
  ASSERT_TRUE(info.flags & IIFcrop);
  EXPECT_EQ(BoxOf(info.crop), (std::array<int, 4>{400, 600, 0, 300}));

  _ImgReader* xyz = OpenExr(TestData("exr/XYZ.exr"));
  ASSERT_NE(xyz, nullptr);
  ReaderCloser cx{xyz};
  EXPECT_FLOAT_EQ(xyz->cs.chroma[0][0], 1.0f);
  EXPECT_FLOAT_EQ(xyz->cs.chroma[1][1], 1.0f);

  _ImgReader* desk = OpenExr(TestData("exr/Desk.exr"));
  ASSERT_NE(desk, nullptr);
  ReaderCloser cd{desk};
  EXPECT_STREQ(desk->encoding, "PIZ RGBA");
  EXPECT_EQ(desk->xres, 644);
  EXPECT_EQ(desk->yres, 874);
}

TEST(ExrReader, DamagedFilesGiveErrorsNotCrashes) {
  const std::string dirPath = TestData("exr/damaged");
  DIR* d = opendir(dirPath.c_str());
  if (d == nullptr) GTEST_SKIP() << "no test pictures";
  int opened = 0, failed = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string path = dirPath + "/" + e->d_name;
    _ImgReader* ir = OpenExr(path);
    if (ir == nullptr) continue;
    ReaderCloser closer{ir};
    opened++;
    if (ir->errCode != IREnone) {
      failed++;
      continue;
    }
    if (static_cast<int64_t>(ir->xres) * ir->yres > 50'000'000) continue;
    ImgReadErr err;
    ReadRect(ir, {0, ir->xres, 0, ir->yres}, 1, ir->cs, &err);
    failed += err != IREnone;
    if (err != IREnone) {
      EXPECT_GT(strlen(ir->errMsg), 0u) << e->d_name;
    }
  }
  closedir(d);
  EXPECT_GE(opened, 2);
  EXPECT_GE(failed, 2);
}

// ---- Writer

TEST(ExrWriter, RoundTripsWithinHalfPrecisionWithItsAttributes) {
  ScratchDir dir;
  FloatImage src = Pattern(33, 17);
  _ImgWriteBuf wb = src.WriteBuf();
  _ImgInfo& in = wb.info;
  in.flags = IIFcapdate | IIFlatlong | IIFstonits | IIFhdensity | IIFexptime | IIFaperture |
             IIFasa | IIFfocus | IIFview | IIFowner | IIFcomments | IIFhvangle | IIFcrop;
  strcpy(in.capdate, "2022:02:03 04:05:06");
  in.latlong[0] = 12.5f;
  in.latlong[1] = -3.25f;
  in.stonits = 179.0f;
  in.hdensity = 300.0f;
  in.exptime = 0.01f;
  in.aperture = 5.6f;
  in.asa = 200.0f;
  in.focus = 3.0f;
  strcpy(in.view, "-vtv -vh 90 -vv 60");
  strcpy(in.owner, "Ann Example");
  strcpy(in.comments, "a comment");
  in.hvangle = 90.0f;
  in.crop = {10, 30, 2, 15};
  const std::string path = dir.Path("rt.exr");
  const long size = ExrWriteImage(path.c_str(), &wb);
  ASSERT_GT(size, 0);
  EXPECT_EQ(size, static_cast<long>(::ReadAll(path).size()));
  _ImgReader* ir = OpenExr(path);
  ASSERT_NE(ir, nullptr);
  ReaderCloser closer{ir};
  EXPECT_STREQ(ir->encoding, "PIZ RGB");
  const std::vector<float> f = ReadAllFloat(ir);
  ASSERT_EQ(f.size(), src.px.size());
  for (size_t i = 0; i < f.size(); i++) ASSERT_NEAR(f[i], src.px[i], src.px[i] / 2048) << i;
  _ImgInfo out;
  memset(&out, 0, sizeof out);
  ASSERT_EQ(ir->ri->GetInfo(ir, &out), IREnone);
  EXPECT_EQ(out.flags, in.flags);
  EXPECT_STREQ(out.capdate, in.capdate);
  EXPECT_FLOAT_EQ(out.hvangle, 90.0f);
  EXPECT_FLOAT_EQ(out.stonits, 179.0f);
  EXPECT_FLOAT_EQ(out.asa, 200.0f);
  EXPECT_STREQ(out.view, in.view);
  EXPECT_STREQ(out.owner, in.owner);
  EXPECT_STREQ(out.comments, in.comments);
  EXPECT_EQ(BoxOf(out.crop), BoxOf(in.crop));
  if (!HaveTool("exrheader")) GTEST_SKIP() << "exrheader not installed";
  const std::string hdr = Output({"exrheader", path});
  for (const char* attr : {"capDate", "latitude", "longitude", "whiteLuminance", "xDensity",
                           "expTime", "aperture", "isoSpeed", "focus", "view (type string)",
                           "owner", "comments", "chromaticities", "piz", "(10 2) - (29 14)"})
    EXPECT_NE(hdr.find(attr), std::string::npos) << attr << "\n" << hdr;
}

TEST(ExrWriter, XyzIsStoredAsRec709AndGreyAsOneChannel) {
  ScratchDir dir;
  FloatImage xyz = Pattern(5, 4, 3, ICS_XYZ);
  for (int x = 0; x < 5; x++)  // a neutral top row
    for (int c = 0; c < 3; c++) xyz.At(x, 0)[c] = 0.5f * (x + 1);
  _ImgWriteBuf wb = xyz.WriteBuf();
  const std::string path = dir.Path("xyz.exr");
  EXPECT_STREQ(ExrSupportedCS(&ICS_XYZ, 0), "EXR PIZ RGB");
  ASSERT_GT(ExrWriteImage(path.c_str(), &wb), 0);
  _ImgReader* ir = OpenExr(path);
  ASSERT_NE(ir, nullptr);
  ReaderCloser closer{ir};
  EXPECT_TRUE(PmatchColorSpace(&ir->cs, &ICS_RGB709, 31));
  // Equal-energy white is balanced to the file's white: neutral XYZ becomes equal RGB of
  // the same luminance; colours stay colours.
  const std::vector<float> f = ReadAllFloat(ir);
  for (int x = 0; x < 5; x++)
    for (int c = 0; c < 3; c++) EXPECT_NEAR(f[3 * x + c], 0.5f * (x + 1), 2e-3 * (x + 1)) << x;
  EXPECT_GT(std::fabs(f[3 * 7] - f[3 * 7 + 1]), 1e-2f);
  if (HaveTool("exrheader")) {
    EXPECT_EQ(Output({"exrheader", path}).find("chromaticities"), std::string::npos);
  }

  FloatImage grey = Pattern(6, 3, 1, ICS_Y);
  wb = grey.WriteBuf();
  EXPECT_STREQ(ExrSupportedCS(&ICS_Y, 0), "EXR PIZ Green");
  ASSERT_GT(ExrWriteImage(path.c_str(), &wb), 0);  // replaces the XYZ file
  _ImgReader* g = OpenExr(path);
  ASSERT_NE(g, nullptr);
  ReaderCloser cg{g};
  EXPECT_STREQ(g->encoding, "PIZ Green");
  const std::vector<float> gf = ReadAllFloat(g);
  ASSERT_EQ(gf.size(), 18u);
  EXPECT_NEAR(gf[7], grey.px[7], grey.px[7] / 2048);
}

TEST(ExrWriter, RefusalsAndValuesBeyondHalfRange) {
  ScratchDir dir;
  const std::string path = dir.Path("r.exr");
  FloatImage src = Pattern(4, 4);
  _ImgWriteBuf wb = src.WriteBuf();
  _ImgColorSpace cs8 = ICS_sRGB;
  EXPECT_EQ(ExrSupportedCS(&cs8, 100), nullptr);
  wb.csp = &cs8;
  EXPECT_EQ(ExrWriteImage(path.c_str(), &wb), 0);
  EXPECT_EQ(ExrWriteImage(nullptr, &wb), 0);
  EXPECT_FALSE(HaveFile(path));

  src.At(1, 1)[0] = 1e6f;
  src.At(2, 2)[2] = -7e4f;
  wb = src.WriteBuf();
  MessageLog log;
  ASSERT_GT(ExrWriteImage(path.c_str(), &wb), 0);
  EXPECT_TRUE(log.Has(DMCwarning, path +
                                      ": 2 values beyond the half-float range (65504) written as "
                                      "infinity"))
      << log.All();
  _ImgReader* ir = OpenExr(path);
  ASSERT_NE(ir, nullptr);
  ReaderCloser closer{ir};
  const std::vector<float> f = ReadAllFloat(ir);
  EXPECT_TRUE(std::isinf(f[3 * 5]));
  // A failed write (a file-size limit stops it half-way) leaves the file there.
  const std::string before = ::ReadAll(path);
  FloatImage wide = Pattern(5000, 40);
  wb = wide.WriteBuf();
  struct rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim = old;
  lim.rlim_cur = 8192;
  setrlimit(RLIMIT_FSIZE, &lim);
  testing::internal::CaptureStderr();
  const long n = ExrWriteImage(path.c_str(), &wb);
  const std::string said = testing::internal::GetCapturedStderr();
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(n, 0);
  EXPECT_FALSE(said.empty());
  EXPECT_EQ(::ReadAll(path), before);
  EXPECT_EQ(Output({"ls", "-A", dir.Dir()}), "r.exr\n");
}

}  // namespace
