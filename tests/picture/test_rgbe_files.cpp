// RGBE pictures written by other programs decode to the pixels those programs report.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "picture/picheader.h"
#include "picture/rgbe.h"
#include "testutil/run_program.h"
#include "support/cnumber.h"

namespace {

using Pixel = std::array<unsigned char, 4>;

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<Pixel> px;  // top row first
};

std::string hdrPath(const char* name) {
  return std::string(LUMERIN_TESTDATA) + "/hdr/" + name;
}

bool haveTool(const char* name) {
  return testutil::OnPath(name);
}

// Reads a top-down RGBE picture through the header, resolution and scanline routines.
void readPicture(const std::string& path, Picture* pic) {
  FILE* fp = std::fopen(path.c_str(), "rb");
  ASSERT_NE(fp, nullptr) << path;
  char fmt[MAXFMTLEN] = "32-bit_rle_*";
  ASSERT_EQ(checkheader(fp, fmt, nullptr), 1) << path;
  EXPECT_STREQ(fmt, COLRFMT);
  int scanlen = 0, count = 0;
  ASSERT_EQ(fgetresolu(&scanlen, &count, fp), RES_YMAJ | RES_YDEC) << path;
  pic->width = scanlen;
  pic->height = count;
  pic->px.resize(static_cast<size_t>(scanlen) * count);
  for (int y = 0; y < count; y++) {
    ASSERT_EQ(freadcolrs(reinterpret_cast<RGBEPIX*>(&pic->px[static_cast<size_t>(y) * scanlen]),
                         scanlen, fp),
              0)
        << path << " scanline " << y;
  }
  EXPECT_EQ(std::fgetc(fp), EOF) << path;
  std::fclose(fp);
}

// Compares every pixel with oiiotool's dump of the same file. oiiotool turns a pixel into
// m * 2^(E - 136), without the half-step offset that colr_color adds; so its value must equal
// that product of our mantissa bytes, and our decoded float must lie half a step above it.
void compareWithOiiotool(const std::string& path, const Picture& pic) {
  std::string text;
  testutil::RunProgram({"oiiotool", "--dumpdata", path}, &text, testutil::Errors::kShown);
  std::istringstream lines(text);
  size_t seen = 0, bad = 0;
  for (std::string l; std::getline(lines, l);) {
    const char* line = l.c_str();
    int x, y;
    double v[3];
    if (Csscanf(line, " Pixel (%d, %d): %lf %lf %lf", &x, &y, &v[0], &v[1], &v[2]) != 5) continue;
    ASSERT_TRUE(x >= 0 && x < pic.width && y >= 0 && y < pic.height) << line;
    const Pixel& p = pic.px[static_cast<size_t>(y) * pic.width + x];
    float ours[3];
    colr_color(ours, p.data());
    const double step = p[3] ? std::ldexp(1.0, p[3] - 136) : 0.0;
    for (int k = 0; k < 3; k++) {
      const double theirs = p[3] ? std::ldexp(static_cast<double>(p[k]), p[3] - 136) : 0.0;
      const double tol = 6e-10 + 1e-7 * std::fabs(theirs);
      if (std::fabs(v[k] - theirs) > tol || std::fabs(ours[k] - (theirs + step / 2)) > tol) {
        if (bad++ < 5) ADD_FAILURE() << path << " pixel " << x << "," << y << ": " << line;
      }
    }
    seen++;
  }
  EXPECT_EQ(bad, 0u);
  EXPECT_EQ(seen, pic.px.size()) << "oiiotool reported another pixel count";
}

}  // namespace

TEST(RgbeFiles, PicturesDecodeToThePixelsOiiotoolReports) {
  if (access(hdrPath("desk_oiiotool_rle.hdr").c_str(), R_OK) != 0)
    GTEST_SKIP() << "shared test pictures absent";
  if (!haveTool("oiiotool")) GTEST_SKIP() << "oiiotool not installed";
  for (const char* name : {"desk_strip7x96_imagemagick_flat.hdr", "desk_oiiotool_rle.hdr",
                           "goldengate_imagemagick_rle.hdr"}) {
    Picture pic;
    readPicture(hdrPath(name), &pic);
    if (HasFatalFailure()) return;
    compareWithOiiotool(hdrPath(name), pic);
  }
}

TEST(RgbeFiles, EveryWriterOfTheSamePictureDecodesAlike) {
  if (access(hdrPath("desk_oiiotool_rle.hdr").c_str(), R_OK) != 0)
    GTEST_SKIP() << "shared test pictures absent";
  Picture ref, magick, opencv, pfs, strip, gg1, gg2;
  readPicture(hdrPath("desk_oiiotool_rle.hdr"), &ref);
  readPicture(hdrPath("desk_imagemagick_rle.hdr"), &magick);
  readPicture(hdrPath("desk_opencv_flat.hdr"), &opencv);
  readPicture(hdrPath("desk_pfstools_rle.hdr"), &pfs);
  readPicture(hdrPath("desk_strip7x96_imagemagick_flat.hdr"), &strip);
  readPicture(hdrPath("goldengate_oiiotool_rle.hdr"), &gg1);
  readPicture(hdrPath("goldengate_imagemagick_rle.hdr"), &gg2);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(ref.width, 644);
  EXPECT_EQ(ref.height, 874);
  EXPECT_TRUE(magick.px == ref.px);
  EXPECT_TRUE(opencv.px == ref.px);
  EXPECT_TRUE(gg1.px == gg2.px);

  // pfstools goes through CIE XYZ, so some pixels are one mantissa step off.
  ASSERT_EQ(pfs.px.size(), ref.px.size());
  size_t differ = 0;
  for (size_t i = 0; i < ref.px.size(); i++) {
    float a[3], b[3];
    colr_color(a, ref.px[i].data());
    colr_color(b, pfs.px[i].data());
    const float m = std::max(a[0], std::max(a[1], a[2]));
    for (int k = 0; k < 3; k++) EXPECT_LE(std::fabs(a[k] - b[k]), m / 64 + 1e-30f) << i;
    differ += pfs.px[i] != ref.px[i];
  }
  EXPECT_LT(differ, ref.px.size() / 5);

  // The crop of the desk, written flat by another program, matches the big picture.
  ASSERT_EQ(strip.width, 7);
  ASSERT_EQ(strip.height, 96);
  for (int y = 0; y < 96; y++)
    for (int x = 0; x < 7; x++)
      ASSERT_EQ(strip.px[y * 7 + x], ref.px[(500 + y) * 644 + 300 + x]) << x << "," << y;
}
