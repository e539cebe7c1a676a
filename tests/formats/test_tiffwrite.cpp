// The TIFF writer: the encoding chosen for each colour space and quality, round trips through
// the reader (bit-exact for the lossless encodings, within the step of the LogLuv ones), the
// tags as tiffinfo and exiftool see them, and failed writes that leave the old file alone.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <random>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "format_test_util.h"

using fmttest::Floats;
using fmttest::ReadAll;
using fmttest::Reader;
using fmttest::Temp;

namespace {

// An image to write: pixels of a colour space, filled with random values.
struct Image {
  _ImgColorSpace cs;
  int w, h;
  std::vector<uint8_t> px;
  _ImgWriteBuf wb;

  Image(const _ImgColorSpace& space, int width, int height, float lo = 0.001f, float hi = 100.f)
      : cs(space), w(width), h(height) {
    cs.cstatic = 0;
    const size_t n = static_cast<size_t>(w) * h * ImgPixelLen[cs.format];
    px.resize(n * ImgDataSize[cs.dtype]);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> logv(std::log(lo), std::log(hi));
    for (size_t i = 0; i < n; ++i) {
      if (cs.dtype == IDTfloat)
        reinterpret_cast<float*>(px.data())[i] = std::exp(logv(rng));
      else if (cs.dtype == IDTushort)
        reinterpret_cast<uint16_t*>(px.data())[i] = static_cast<uint16_t>(rng());
      else
        px[i] = static_cast<uint8_t>(rng());
    }
    memset(&wb, 0, sizeof wb);
    wb.xres = w;
    wb.yres = h;
    wb.rowsize = w * PpixelSize(&cs);
    wb.pixAspect = 1;
    wb.csp = &cs;
    wb.img = px.data();
  }
  void Quality(int q) {
    wb.info.flags |= IIFquality;
    wb.info.quality = q;
  }
};

// A tag of a written file, as libtiff reads it (SHORT and LONG tags).
template <typename T>
T Tag(const std::string& path, ttag_t tag) {
  T v = 0;
  if (TIFF* t = TIFFOpen(path.c_str(), "r")) {
    TIFFGetFieldDefaulted(t, tag, &v);
    TIFFClose(t);
  }
  return v;
}

// Luminance and u'v' of an XYZ triple.
void LumUV(const float* xyz, double* y, double* u, double* v) {
  const double d = xyz[0] + 15.0 * xyz[1] + 3.0 * xyz[2];
  *y = xyz[1];
  *u = 4 * xyz[0] / d;
  *v = 9 * xyz[1] / d;
}

}  // namespace

TEST(TiffWrite, EncodingFollowsColourSpaceAndQuality) {
  _ImgColorSpace f = ICS_RGB709, fy = ICS_Y, fxyz = ICS_XYZ, s = ICS_sRGB, y8 = ICS_Y8;
  _ImgColorSpace us = ICS_sRGB, uy = ICS_Y16, cmyk = ICS_sRGB, xyz8 = ICS_XYZ, logf = ICS_RGB709dB;
  us.dtype = IDTushort;
  cmyk.format = IPFcmyk;
  xyz8.dtype = IDTubyte;
  struct Case {
    const _ImgColorSpace* cs;
    int quality;
    const char* name;
    uint16_t compression;  // what a written file carries, 0 when nothing is written
  } cases[] = {
      {&s, -1, "TIFF LZW RGB", COMPRESSION_LZW},
      {&s, 100, "TIFF 24-bit RGB", COMPRESSION_NONE},
      {&y8, 99, "TIFF LZW grayscale", COMPRESSION_LZW},
      {&y8, 100, "TIFF 8-bit grayscale", COMPRESSION_NONE},
      {&us, 10, "TIFF 48-bit RGB", COMPRESSION_NONE},
      {&uy, 100, "TIFF 16-bit grayscale", COMPRESSION_NONE},
      {&f, 100, "TIFF 96-bit RGB", COMPRESSION_NONE},
      {&f, -1, "TIFF RLE-Log Luv", COMPRESSION_SGILOG},
      {&f, 51, "TIFF RLE-Log Luv", COMPRESSION_SGILOG},
      {&f, 50, "TIFF 24-bit-Log Luv", COMPRESSION_SGILOG24},
      {&fxyz, 100, "TIFF RLE-Log Luv", COMPRESSION_SGILOG},
      {&fxyz, 20, "TIFF 24-bit-Log Luv", COMPRESSION_SGILOG24},
      {&fy, 100, "TIFF 32-bit grayscale", COMPRESSION_NONE},
      {&fy, -1, "TIFF RLE-Log luminance", COMPRESSION_SGILOG},
      {&cmyk, 90, nullptr, 0},
      {&xyz8, 90, nullptr, 0},
      {&logf, 100, nullptr, COMPRESSION_NONE},  // the writer itself ignores the log encoding
  };
  const std::string path = Temp("enc.tif");
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.name ? c.name : "none") << " q " << c.quality);
    const char* got = TiffSupportedCS(c.cs, c.quality);
    EXPECT_STREQ(got, c.name);
    Image img(*c.cs, 5, 3);
    if (c.quality >= 0) img.Quality(c.quality);
    unlink(path.c_str());
    const long size = TiffWriteImage(path.c_str(), &img.wb);
    EXPECT_EQ(size > 0, c.compression != 0);
    if (size > 0) {
      EXPECT_EQ(Tag<uint16_t>(path, TIFFTAG_COMPRESSION), c.compression);
    }
  }
}

TEST(TiffWrite, LosslessEncodingsRoundTripExactly) {
  _ImgColorSpace us = ICS_sRGB, fy = ICS_Y;
  us.dtype = IDTushort;
  us.gamma = 1.0f;  // linear: the reader must give it back as linear
  struct Case {
    _ImgColorSpace cs;
    int quality;
  } cases[] = {{ICS_sRGB, 90}, {ICS_Y8, 90},      {ICS_sRGB, 100}, {us, 90},
               {ICS_Y16, 90},  {ICS_RGB709, 100}, {fy, 100}};
  const std::string path = Temp("exact.tif");
  for (const Case& c : cases) {
    SCOPED_TRACE(TiffSupportedCS(&c.cs, c.quality));
    // Wide enough that rows span several strips.
    Image img(c.cs, 700, 23);
    img.Quality(c.quality);
    const long size = TiffWriteImage(path.c_str(), &img.wb);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(size, st.st_size);
    Reader r(path);
    ASSERT_NE(r.ir, nullptr);
    ASSERT_EQ(r->errCode, IREnone) << r->errMsg;
    EXPECT_TRUE(PmatchColorSpace(&r->cs, &img.cs, 31));
    EXPECT_TRUE(ReadAll(r.ir) == img.px);
  }
}

TEST(TiffWrite, LogLuvRoundTripsStayWithinTheirSteps) {
  struct Case {
    _ImgColorSpace cs;
    int quality;
    float lo, hi;    // luminance range the encoding holds
    double lum, uv;  // largest relative luminance error, largest u' or v' error
  } cases[] = {{ICS_XYZ, 90, 1e-4f, 1e5f, 0.0014, 0.0013},
               {ICS_XYZ, 50, 0.001f, 15.f, 0.0055, 0.0018},
               {ICS_RGB709, 90, 1e-3f, 1e4f, 0.0014, 0.0013},
               {ICS_Y, 90, 1e-4f, 1e5f, 0.0014, 0}};
  const std::string path = Temp("luv.tif");
  for (const Case& c : cases) {
    SCOPED_TRACE(TiffSupportedCS(&c.cs, c.quality));
    Image img(c.cs, 64, 40, c.lo, c.hi);
    if (c.cs.format == IPFxyz) {
      // Colours a camera could see: XYZ of positive RGB.
      Image rgb(ICS_RGB709, 64, 40, c.lo, c.hi);
      COLORMAT toXYZ;
      ASSERT_TRUE(comprgb2xyzmat(toXYZ, ICS_RGB709.chroma));
      for (size_t i = 0; i < img.px.size() / 12; ++i)
        colortrans(reinterpret_cast<float*>(img.px.data()) + 3 * i, toXYZ, Floats(rgb.px) + 3 * i);
    }
    img.Quality(c.quality);
    img.wb.info.flags |= IIFstonits;
    img.wb.info.stonits = 179;
    ASSERT_GT(TiffWriteImage(path.c_str(), &img.wb), 0) << TiffMessageBuffer;
    Reader r(path);
    ASSERT_NE(r.ir, nullptr);
    ASSERT_EQ(r->errCode, IREnone) << r->errMsg;
    const std::vector<uint8_t> back = ReadAll(r.ir);
    const size_t n = static_cast<size_t>(img.w) * img.h;
    COLORMAT m;
    ASSERT_TRUE(c.cs.format != IPFrgb || comprgb2xyzWBmat(m, c.cs.chroma));
    double worstLum = 0, worstUV = 0;
    for (size_t i = 0; i < n; ++i) {
      if (c.cs.format == IPFy) {
        const double want = Floats(img.px)[i];
        worstLum = std::max(worstLum, std::fabs(Floats(back)[i] - want) / want);
        continue;
      }
      COLOR want;
      if (c.cs.format == IPFrgb)
        colortrans(want, m, Floats(img.px) + 3 * i);
      else
        memcpy(want, Floats(img.px) + 3 * i, sizeof want);
      double y0, u0, v0, y1, u1, v1;
      LumUV(want, &y0, &u0, &v0);
      LumUV(Floats(back) + 3 * i, &y1, &u1, &v1);
      if (y0 < c.lo || y0 > c.hi) continue;
      worstLum = std::max(worstLum, std::fabs(y1 - y0) / y0);
      worstUV = std::max({worstUV, std::fabs(u1 - u0), std::fabs(v1 - v0)});
    }
    EXPECT_LE(worstLum, c.lum);
    EXPECT_LE(worstUV, c.uv);
  }
}

TEST(TiffWrite, ImageInformationIsWhatReaderAndOutsideToolsSee) {
  Image img(ICS_sRGB, 20, 10);
  _ImgInfo& info = img.wb.info;
  info.flags =
      IIFsource | IIFcapdate | IIFhdensity | IIFstonits | IIFowner | IIFcomments | IIForientation;
  strcpy(info.source.make, "Corvane");
  strcpy(info.source.model, "Model 7");
  strcpy(info.source.vers, "Lumerin 1.0");
  strcpy(info.capdate, "2024:05:06 07:08:09");
  info.hdensity = 300;
  img.wb.pixAspect = 2;
  info.stonits = 179;
  strcpy(info.owner, "A. Person");
  strcpy(info.comments, "first line\nsecond line\n");
  info.orientation = IOrighttop;
  const std::string path = Temp("tags.tif");
  ASSERT_GT(TiffWriteImage(path.c_str(), &img.wb), 0);
  Reader r(path);
  _ImgInfo back;
  memset(&back, 0x55, sizeof back);
  EXPECT_EQ(TRgetInfo(r.ir, &back), IREnone);
  const uint32_t want = IIFsource | IIFcapdate | IIFstonits | IIFowner | IIFcomments;
  EXPECT_EQ(back.flags & want, want);
  EXPECT_STREQ(back.source.make, "Corvane");
  EXPECT_STREQ(back.source.model, "Model 7");
  EXPECT_STREQ(back.source.vers, "Lumerin 1.0");
  EXPECT_STREQ(back.capdate, "2024:05:06 07:08:09");
  EXPECT_FLOAT_EQ(back.stonits, 179);
  EXPECT_STREQ(back.owner, "A. Person");
  EXPECT_STREQ(back.comments, "first line;second line\n");
  EXPECT_FLOAT_EQ(r->pixAspect, 2);
  if (!fmttest::HaveTool("tiffinfo") || !fmttest::HaveTool("exiftool"))
    GTEST_SKIP() << "tiffinfo or exiftool is not installed";
  const std::string ti = fmttest::Output({"tiffinfo", path}, testutil::Errors::kWithOutput);
  for (const char* line :
       {"Resolution: 300, 600 pixels/inch", "Make: Corvane", "Model: Model 7",
        "Software: Lumerin 1.0", "DateTime: 2024:05:06 07:08:09", "Artist: A. Person",
        "ImageDescription: first line;second line\n", "Orientation: row 0 rhs, col 0 top",
        "Compression Scheme: LZW", "Photometric Interpretation: RGB color"})
    EXPECT_NE(ti.find(line), std::string::npos) << line << "\n" << ti;
  const std::string ex = fmttest::Output({"exiftool", "-s", path}, testutil::Errors::kWithOutput);
  for (const char* line :
       {"Make                            : Corvane",
        "ModifyDate                      : 2024:05:06 07:08:09",
        "Artist                          : A. Person", "XResolution                     : 300",
        "YResolution                     : 600", "StoNits                         : 179"})
    EXPECT_NE(ex.find(line), std::string::npos) << line << "\n" << ex;
}

TEST(TiffWrite, SoftwareMarksLinearSixteenBitDataAndStripsHoldEightKilobytes) {
  _ImgColorSpace lin = ICS_sRGB, gam = ICS_sRGB;
  lin.dtype = gam.dtype = IDTushort;
  lin.gamma = 1.0f;
  const std::string path = Temp("soft.tif");
  auto software = [&](Image& img) {
    EXPECT_GT(TiffWriteImage(path.c_str(), &img.wb), 0);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    const char* text = nullptr;
    std::string v = TIFFGetField(t, TIFFTAG_SOFTWARE, &text) ? text : "(none)";
    TIFFClose(t);
    return v;
  };
  Image a(lin, 4, 4), b(gam, 4, 4);
  EXPECT_EQ(software(a), "dcraw");
  EXPECT_EQ(software(b), "(none)");
  a.wb.info.flags = IIFsource;
  strcpy(a.wb.info.source.vers, "dcraw v9.28");
  EXPECT_EQ(software(a), "dcraw v9.28");
  struct Case {
    _ImgColorSpace cs;
    int w;
    uint32_t rows;
  } cases[] = {{ICS_sRGB, 10000, 1}, {ICS_sRGB, 100, 27}, {ICS_XYZ, 100, 20}};
  for (const Case& c : cases) {
    Image img(c.cs, c.w, 50);
    ASSERT_GT(TiffWriteImage(path.c_str(), &img.wb), 0);
    EXPECT_EQ(Tag<uint32_t>(path, TIFFTAG_ROWSPERSTRIP), c.rows);
  }
}

TEST(TiffWrite, FailedWritesLeaveTheOldFileAndNoTemporary) {
  const fmttest::OldFile old("tiffkeep");
  const char* path = old.path.c_str();
  _ImgColorSpace cmyk = ICS_sRGB;
  cmyk.format = IPFcmyk;
  Image bad(cmyk, 4, 4), shortRows(ICS_sRGB, 4, 4);
  shortRows.wb.rowsize = 5;
  EXPECT_EQ(TiffWriteImage(path, &bad.wb), 0);
  EXPECT_EQ(TiffWriteImage(path, &shortRows.wb), 0);
  EXPECT_TRUE(old.Intact());
  // The disk fills up in the middle of the pixels.
  Image big(ICS_RGB709, 200, 200);
  big.Quality(100);
  struct rlimit lim;
  getrlimit(RLIMIT_FSIZE, &lim);
  const rlim_t was = lim.rlim_cur;
  void (*prev)(int) = signal(SIGXFSZ, SIG_IGN);
  lim.rlim_cur = 20000;
  setrlimit(RLIMIT_FSIZE, &lim);
  const long size = TiffWriteImage(path, &big.wb);
  lim.rlim_cur = was;
  setrlimit(RLIMIT_FSIZE, &lim);
  signal(SIGXFSZ, prev);
  EXPECT_EQ(size, 0);
  EXPECT_TRUE(old.Intact());
  // A whole write replaces the file, keeping its permissions.
  chmod(path, 0640);
  EXPECT_GT(TiffWriteImage(path, &big.wb), 0);
  struct stat st;
  ASSERT_EQ(stat(path, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(old.Files(), 1);
}
