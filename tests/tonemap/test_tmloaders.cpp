// Whole-file loaders: RGBE/XYZE pictures and HDR TIFF files, and the one-call operators.
#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "picture/rgbe.h"
#include "tonemap/tmloaders.h"
#include "tm_test_util.h"
#include "tonemap/tonemap.h"
#include "testutil/process_locale.h"

namespace {

using tmtest::QuietTm;
using tmtest::TmPtr;

// A picture of w x h pixels of value v (grey) after the given header lines.
std::string writePicture(const char* name, const std::string& header, int w, int h, float v,
                         int dropBytes = 0) {
  std::string path = tmtest::TempPath(name, ".hdr");
  FILE* fp = fopen(path.c_str(), "wb");
  fprintf(fp, "#?RGBE\n%s\n-Y %d +X %d\n", header.c_str(), h, w);
  std::vector<unsigned char> row(4 * (size_t)w);
  for (int x = 0; x < w; x++) setcolr(&row[4 * x], v, v * (1 + x % 3) / 3, v / 2);
  for (int y = 0; y < h; y++) fwritecolrs((const RGBEPIX*)row.data(), w, fp);
  fclose(fp);
  if (dropBytes > 0)
    std::filesystem::resize_file(path, std::filesystem::file_size(path) - dropBytes);
  return path;
}

struct Loaded {
  TMbright* ls = nullptr;
  unsigned char* cs = nullptr;
  int x = -1, y = -1;
  ~Loaded() {
    free(ls);
    free(cs);
  }
};

double meanByte(const unsigned char* p, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; i++) sum += p[i];
  return sum / n;
}

TEST(TmLoadPicture, ExposureLinesMultiply) {
  std::string p =
      writePicture("expo", "EXPOSURE=2\nEXPOSURE=2\nFORMAT=32-bit_rle_rgbe\n", 10, 3, 1.0f);
  TmPtr t = QuietTm();
  Loaded l;
  ASSERT_EQ(tmLoadPicture(t.get(), &l.ls, &l.cs, &l.x, &l.y, p.c_str(), nullptr), 0);
  EXPECT_EQ(l.x, 10);
  EXPECT_EQ(l.y, 3);
  EXPECT_NEAR(t->inpsf, 179.0 / 4, 1e-9);
  EXPECT_EQ(t->inppri, t->monpri);
  // The first pixel is (1, 1/3, 1/2) in file units; luminance scales by 179/4.
  double lum = 179.0 / 4 * (rgb2xyzmat[1][0] + rgb2xyzmat[1][1] / 3 + rgb2xyzmat[1][2] / 2);
  EXPECT_NEAR(l.ls[0], tmCvLuminance(lum), 2);
  ASSERT_NE(l.cs, nullptr);
  unlink(p.c_str());
}

TEST(TmLoadPicture, FormatDecidesTheInputSpace) {
  std::string none = writePicture("nofmt", "SOFTWARE=test\n", 8, 2, 0.5f);
  std::string xyz = writePicture("xyz", "FORMAT=32-bit_rle_xyze\nEXPOSURE=0.5\n", 8, 2, 0.5f);
  TmPtr t = QuietTm();
  Loaded a, b;
  ASSERT_EQ(tmLoadPicture(t.get(), &a.ls, nullptr, &a.x, &a.y, none.c_str(), nullptr), 0);
  EXPECT_DOUBLE_EQ(t->inpsf, 179.0);
  ASSERT_EQ(tmLoadPicture(t.get(), &b.ls, &b.cs, &b.x, &b.y, xyz.c_str(), nullptr), 0);
  EXPECT_EQ(t->inppri, nullptr);                          // CIE XYZ input
  EXPECT_DOUBLE_EQ(t->inpsf, 2.0);                        // no 179 for XYZ
  EXPECT_NEAR(b.ls[0], tmCvLuminance(2.0 * 0.5 / 3), 2);  // Y of the first pixel is 0.5/3
  unlink(none.c_str());
  unlink(xyz.c_str());
}

TEST(TmLoadPicture, PrimariesLineIsKeptWithTheStruct) {
  std::string p = writePicture(
      "prims", "PRIMARIES=0.64 0.33 0.3 0.6 0.15 0.06 0.3127 0.329\nFORMAT=32-bit_rle_rgbe\n", 8, 1,
      1.0f);
  TmPtr t = QuietTm();
  Loaded l;
  ASSERT_EQ(tmLoadPicture(t.get(), &l.ls, &l.cs, &l.x, &l.y, p.c_str(), nullptr), 0);
  ASSERT_EQ(t->inppri, (RGBPRIMP)t->inpprims);
  EXPECT_FLOAT_EQ(t->inppri[1][0], 0.3f);
  EXPECT_FLOAT_EQ(t->inppri[3][1], 0.329f);
  TmPtr c(tmDup(t.get()));
  EXPECT_EQ(c->inppri, (RGBPRIMP)c->inpprims);  // the copy refers to its own primaries
  unlink(p.c_str());
}

class TmLoadPictureLocale : public testing::TestWithParam<const char*> {};
INSTANTIATE_TEST_SUITE_P(Locales, TmLoadPictureLocale, testing::ValuesIn(testutil::kOtherLocales),
                         testutil::LocaleParamName);

// The picture's decimals read as written whatever the process locale.
TEST_P(TmLoadPictureLocale, ExposureAndPrimariesReadAsUnderC) {
  std::string p = writePicture("locale",
                               "EXPOSURE=2.5\nPRIMARIES=0.7 0.3 0.2 0.7 0.1 0.1 0.33 0.33\n"
                               "FORMAT=32-bit_rle_rgbe\n",
                               4, 1, 1.0f);
  SET_PROCESS_LOCALE(locale, GetParam());
  TmPtr t = QuietTm();
  Loaded l;
  ASSERT_EQ(tmLoadPicture(t.get(), &l.ls, &l.cs, &l.x, &l.y, p.c_str(), nullptr), 0);
  EXPECT_NEAR(t->inpsf, 179.0 / 2.5, 1e-9);
  ASSERT_NE(t->inppri, nullptr);
  EXPECT_FLOAT_EQ(t->inppri[0][0], 0.7f);
  EXPECT_FLOAT_EQ(t->inppri[3][1], 0.33f);
  unlink(p.c_str());
}

TEST(TmLoadPicture, UnreadablePicturesFailWithFileError) {
  struct Case {
    const char* name;
    std::string header;
    int drop;
  } cases[] = {{"fmt", "FORMAT=32-bit_rle_cmyk\n", 0},
               {"zero", "EXPOSURE=0\nFORMAT=32-bit_rle_rgbe\n", 0},
               {"neg", "EXPOSURE=-3\n", 0},
               {"trunc", "FORMAT=32-bit_rle_rgbe\n", 20}};
  for (auto& c : cases) {
    std::string p = writePicture(c.name, c.header, 16, 4, 1.0f, c.drop);
    TmPtr t = QuietTm();
    Loaded l;
    EXPECT_EQ(tmLoadPicture(t.get(), &l.ls, &l.cs, &l.x, &l.y, p.c_str(), nullptr), TMERR_FILE)
        << c.name;
    EXPECT_EQ(l.ls, nullptr);
    EXPECT_EQ(l.cs, nullptr);
    EXPECT_EQ(l.x, 0);
    EXPECT_STREQ(t->lastFunc, "tmLoadPicture");
    unlink(p.c_str());
  }
  std::string bad = tmtest::TempPath("badres", ".hdr");
  std::ofstream(bad) << "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 0 +X 5\n";
  TmPtr t = QuietTm();
  Loaded l;
  EXPECT_EQ(tmLoadPicture(t.get(), &l.ls, nullptr, &l.x, &l.y, bad.c_str(), nullptr), TMERR_FILE);
  // A size no memory can hold is refused before any allocation.
  std::ofstream(bad) << "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2000000000 +X 2000000000\n";
  EXPECT_EQ(tmLoadPicture(t.get(), &l.ls, nullptr, &l.x, &l.y, bad.c_str(), nullptr), TMERR_MEMORY);
  EXPECT_EQ(l.ls, nullptr);
  EXPECT_EQ(tmLoadPicture(t.get(), &l.ls, nullptr, &l.x, &l.y, "/nonexistent/x.hdr", nullptr),
            TMERR_FILE);
  EXPECT_EQ(tmLoadPicture(t.get(), &l.ls, nullptr, &l.x, &l.y, nullptr, nullptr), TMERR_ARGUMENT);
  unlink(bad.c_str());
}

TEST(TmLoadPicture, ReadsFromAnOpenStreamAndLeavesItOpen) {
  std::string p = writePicture("stream", "FORMAT=32-bit_rle_rgbe\n", 9, 2, 2.0f);
  FILE* fp = fopen(p.c_str(), "rb");
  TmPtr t = QuietTm();
  Loaded l;
  ASSERT_EQ(tmLoadPicture(t.get(), &l.ls, nullptr, &l.x, &l.y, nullptr, fp), 0);
  EXPECT_EQ(fgetc(fp), EOF);  // still open, at the end
  fclose(fp);
  unlink(p.c_str());
}

TEST(TmMapPicture, MapsTheTestPictures) {
  for (const char* name : {"desk_oiiotool_rle.hdr", "desk_imagemagick_rle.hdr",
                           "desk_strip7x96_imagemagick_flat.hdr"}) {
    std::string path = tmtest::TestFile("hdr", name);
    if (access(path.c_str(), R_OK) != 0) GTEST_SKIP() << "test picture missing: " << name;
    unsigned char* ps = nullptr;
    int x = 0, y = 0;
    ASSERT_EQ(tmMapPicture(&ps, &x, &y, TMF_QUIET, stdprims, 2.2, 32, 100, path.c_str(), nullptr),
              0)
        << name;
    EXPECT_GT(x, 0);
    const double mean = meanByte(ps, (size_t)3 * x * y);
    EXPECT_GT(mean, 30) << name;  // a reasonable exposure, not black or white
    EXPECT_LT(mean, 220) << name;
    free(ps);
  }
  unsigned char* ps;
  int x, y;
  testing::internal::CaptureStderr();
  EXPECT_EQ(tmMapPicture(&ps, &x, &y, TMF_QUIET, nullptr, 2.2, 32, 100, "a.hdr", nullptr),
            TMERR_ARGUMENT);
  testing::internal::GetCapturedStderr();
}

// Writes a strip TIFF of float or 16-bit samples.
std::string writeTiff(const char* name, int spp, bool fl, int bits, double stonits,
                      bool separate = false, const float* prims = nullptr) {
  std::string path = tmtest::TempPath(name, ".tif");
  TIFF* t = TIFFOpen(path.c_str(), "w");
  const int w = 6, h = 4;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, spp);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, fl ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, spp == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 1);
  if (stonits >= 0) TIFFSetField(t, TIFFTAG_STONITS, stonits);
  if (prims != nullptr) TIFFSetField(t, TIFFTAG_PRIMARYCHROMATICITIES, prims);
  const int planes = separate ? spp : 1, per = separate ? 1 : spp;
  std::vector<unsigned char> row((size_t)w * per * bits / 8);
  for (int s = 0; s < planes; s++)
    for (int y = 0; y < h; y++) {
      for (int i = 0; i < w * per; i++) {
        double v = 0.01 * (1 + i + 7 * y) * (1 + s);
        if (bits == 32)
          ((float*)row.data())[i] = (float)v;
        else if (bits == 16)
          ((uint16_t*)row.data())[i] = (uint16_t)(v * 600);
        else
          row[i] = (unsigned char)(v * 100);
      }
      TIFFWriteScanline(t, row.data(), y, (uint16_t)s);
    }
  TIFFClose(t);
  return path;
}

TEST(TmLoadTIFF, ReadsTheSampleToNitsFactor) {
  std::string a = writeTiff("nits", 3, true, 32, 2.5);
  std::string b = writeTiff("nonits", 1, true, 32, -1);
  TmPtr t = QuietTm();
  Loaded l;
  ASSERT_EQ(tmLoadTIFF(t.get(), &l.ls, &l.cs, &l.x, &l.y, a.c_str(), nullptr), 0);
  EXPECT_DOUBLE_EQ(t->inpsf, 2.5);
  EXPECT_EQ(l.x, 6);
  EXPECT_EQ(l.y, 4);
  ASSERT_NE(l.cs, nullptr);
  // Pixel (1, 0): 0.02, 0.03, 0.04 before the factor.
  double lum =
      2.5 * (rgb2xyzmat[1][0] * 0.04f + rgb2xyzmat[1][1] * 0.05f + rgb2xyzmat[1][2] * 0.06f);
  EXPECT_NEAR(l.ls[1], tmCvLuminance(lum), 1);
  Loaded g;
  ASSERT_EQ(tmLoadTIFF(t.get(), &g.ls, &g.cs, &g.x, &g.y, b.c_str(), nullptr), 0);
  EXPECT_DOUBLE_EQ(t->inpsf, 1.0);  // no tag: samples in cd/m2
  EXPECT_EQ(g.cs, nullptr);         // grey kinds give no chroma
  EXPECT_NEAR(g.ls[0], tmCvLuminance(0.01f), 1);
  unlink(a.c_str());
  unlink(b.c_str());
}

TEST(TmLoadTIFF, UnmappableFilesReturnErrors) {
  std::string zero = writeTiff("zeronits", 3, true, 32, 0.0);
  std::string byte8 = writeTiff("eight", 3, false, 8, -1);
  std::string sep = writeTiff("sep", 3, false, 16, -1, true);
  for (const std::string& p : {zero, byte8, sep}) {
    TmPtr t = QuietTm();
    Loaded l;
    EXPECT_EQ(tmLoadTIFF(t.get(), &l.ls, &l.cs, &l.x, &l.y, p.c_str(), nullptr), TMERR_FILE) << p;
    EXPECT_EQ(l.ls, nullptr);
    EXPECT_EQ(l.x, 0);
    EXPECT_EQ(l.y, 0);
    unlink(p.c_str());
  }
  TmPtr t = QuietTm();
  Loaded l;
  EXPECT_EQ(tmLoadTIFF(t.get(), &l.ls, nullptr, &l.x, &l.y, "/nonexistent.tif", nullptr),
            TMERR_FILE);
}

TEST(TmLoadTIFF, FilePrimariesSetTheInputSpace) {
  const float p709[6] = {0.64f, 0.33f, 0.30f, 0.60f, 0.15f, 0.06f};
  std::string a = writeTiff("prim", 3, false, 16, -1, false, p709);
  TmPtr t = QuietTm();
  Loaded l;
  ASSERT_EQ(tmLoadTIFF(t.get(), &l.ls, &l.cs, &l.x, &l.y, a.c_str(), nullptr), 0);
  ASSERT_EQ(t->inppri, (RGBPRIMP)t->inpprims);
  EXPECT_FLOAT_EQ(t->inppri[1][0], 0.30f);
  EXPECT_FLOAT_EQ(t->inppri[3][0], 1.0f / 3);  // no white point tag
  unlink(a.c_str());
}

TEST(TmMapTIFF, GreyFilesGiveOneBytePerPixel) {
  std::string g = writeTiff("grey", 1, true, 32, 10.0);
  unsigned char* ps = nullptr;
  int x, y;
  ASSERT_EQ(tmMapTIFF(&ps, &x, &y, TMF_QUIET, stdprims, 2.2, 32, 100, g.c_str(), nullptr), 0);
  // The same pipeline by hand, grey output.
  TmPtr t(tmInit(TMF_QUIET, stdprims, 2.2));
  Loaded l;
  ASSERT_EQ(tmLoadTIFF(t.get(), &l.ls, nullptr, &l.x, &l.y, g.c_str(), nullptr), 0);
  ASSERT_EQ(tmAddHisto(t.get(), l.ls, l.x * l.y, 1), 0);
  ASSERT_EQ(tmComputeMapping(t.get(), 2.2, 32, 100), 0);
  std::vector<unsigned char> want(l.x * l.y);
  ASSERT_EQ(tmMapPixels(t.get(), want.data(), l.ls, nullptr, l.x * l.y), 0);
  EXPECT_EQ(0, memcmp(ps, want.data(), want.size()));
  free(ps);
  unlink(g.c_str());
}

TEST(TmMapTIFF, MapsTheTestPictures) {
  struct {
    const char* name;
    bool colour;
  } files[] = {{"desk_logluv32.tif", true},        {"desk_logluv24.tif", true},
               {"desk_logl16.tif", false},         {"desk_rgbf32_strips.tif", true},
               {"desk_rgb16.tif", true},           {"desk_rgbf32_lzw_fpredictor.tif", true},
               {"desk_rgbf32_bigendian.tif", true}};
  for (auto& f : files) {
    std::string path = tmtest::TestFile("tiff", f.name);
    if (access(path.c_str(), R_OK) != 0) GTEST_SKIP() << "test picture missing: " << f.name;
    TmPtr t = QuietTm();
    Loaded l;
    ASSERT_EQ(tmLoadTIFF(t.get(), &l.ls, &l.cs, &l.x, &l.y, path.c_str(), nullptr), 0) << f.name;
    EXPECT_EQ(l.x, 322) << f.name;
    EXPECT_EQ(l.y, 437) << f.name;
    EXPECT_EQ(l.cs != nullptr, f.colour) << f.name;
    unsigned char* ps = nullptr;
    int x, y;
    ASSERT_EQ(
        tmMapTIFF(&ps, &x, &y, TMF_QUIET | TMF_GREY, stdprims, 2.2, 32, 100, path.c_str(), nullptr),
        0)
        << f.name;
    EXPECT_GT(meanByte(ps, (size_t)x * y), 20) << f.name;
    EXPECT_LT(meanByte(ps, (size_t)x * y), 230) << f.name;
    free(ps);
  }
}

TEST(TmMapTIFF, LogLuvAndFloatFilesOfOnePictureLookAlike) {
  std::string a = tmtest::TestFile("tiff", "desk_logluv32.tif"),
              b = tmtest::TestFile("tiff", "desk_rgbf32_strips.tif");
  if (access(a.c_str(), R_OK) != 0 || access(b.c_str(), R_OK) != 0)
    GTEST_SKIP() << "test pictures missing";
  unsigned char *pa, *pb;
  int xa, ya, xb, yb;
  ASSERT_EQ(tmMapTIFF(&pa, &xa, &ya, TMF_QUIET, stdprims, 2.2, 32, 100, a.c_str(), nullptr), 0);
  ASSERT_EQ(tmMapTIFF(&pb, &xb, &yb, TMF_QUIET, stdprims, 2.2, 32, 100, b.c_str(), nullptr), 0);
  ASSERT_EQ(xa * ya, xb * yb);
  double diff = 0;
  for (int i = 0; i < 3 * xa * ya; i++) diff += std::abs(pa[i] - pb[i]);
  EXPECT_LT(diff / (3.0 * xa * ya), 8.0);  // the two files clip colours differently
  free(pa);
  free(pb);
}

}  // namespace
