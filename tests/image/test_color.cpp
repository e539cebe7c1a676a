#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "image/corvane.h"

namespace {

using ::testing::ElementsAre;

_ImgColorSpace Grey(float wx) {
  _ImgColorSpace cs = ICS_Y;
  cs.cstatic = 0;
  cs.chroma[0][0] = wx;
  return cs;
}

TEST(ColorSpaceMatch, PrimariesTypeAndNulls) {
  EXPECT_EQ(PmatchColorSpace(&ICS_sRGB, &ICS_RGB709, 8), 1);
  EXPECT_EQ(PmatchColorSpace(&ICS_sRGB, &ICS_RGB709, 1), 0);
  EXPECT_EQ(PmatchColorSpace(&ICS_sRGB, &ICS_AdobeRGB, 8), 0);
  EXPECT_EQ(PmatchColorSpace(&ICS_sRGB, &ICS_AdobeRGB, 16), 1);  // both D65
  // The primaries test implies the format test.
  EXPECT_EQ(PmatchColorSpace(&ICS_sRGB, &ICS_Y8, 8), 0);
  EXPECT_EQ(PmatchColorSpace(&ICS_sRGB, &ICS_Y8, 1 | 4), 1);
  EXPECT_EQ(PmatchColorSpace(nullptr, &ICS_Y8, 0), 0);
  EXPECT_EQ(PmatchColorSpace(&ICS_Y8, nullptr, 0), 0);
  EXPECT_EQ(PmatchColorSpace(&ICS_Y8, &ICS_Y8, 31), 1);
  EXPECT_EQ(PmatchColorSpace(&ICS_XYZ, &ICS_RGB709, 1 | 4), 1);
  EXPECT_EQ(PmatchColorSpace(&ICS_XYZ, &ICS_RGB709, 16), 0);  // white implies format
}

TEST(ColorSpaceMatch, WhiteToleranceAndLogOrigin) {
  const _ImgColorSpace a = Grey(1.f / 3.f), b = Grey(1.f / 3.f + 0.00005f);
  const _ImgColorSpace c = Grey(1.f / 3.f + 0.0002f);
  EXPECT_EQ(PmatchColorSpace(&a, &b, 16), 1);
  EXPECT_EQ(PmatchColorSpace(&a, &c, 16), 0);
  _ImgColorSpace l1 = ICS_YdB, l2 = ICS_YdB;
  l2.logorig = 1.0000001f;
  EXPECT_EQ(PmatchColorSpace(&l1, &l2, 31 & ~4), 1);
  EXPECT_EQ(PmatchColorSpace(&l1, &l2, 4), 0);
  l2 = ICS_YdB;
  l2.gamma += 0.00005f;
  EXPECT_EQ(PmatchColorSpace(&l1, &l2, 4), 1);
}

TEST(ColorMatrix, StandardPrimariesAndBT709) {
  COLORMAT m;
  ASSERT_EQ(comprgb2xyzmat(m, stdprims), 1);
  EXPECT_EQ(std::memcmp(m, rgb2xyzmat, sizeof m), 0);
  ASSERT_EQ(compxyz2rgbmat(m, stdprims), 1);
  EXPECT_EQ(std::memcmp(m, xyz2rgbmat, sizeof m), 0);

  // The luminance row of BT.709 with D65 sums to 1 and holds the familiar weights.
  COLORMAT r2x, x2r, prod;
  ASSERT_EQ(comprgb2xyzmat(r2x, ICS_sRGB.chroma), 1);
  EXPECT_NEAR(r2x[1][0] + r2x[1][1] + r2x[1][2], 1.0, 1e-6);
  EXPECT_NEAR(r2x[1][0], 0.2126, 2e-4);
  EXPECT_NEAR(r2x[1][1], 0.7152, 2e-4);
  ASSERT_EQ(compxyz2rgbmat(x2r, ICS_sRGB.chroma), 1);
  multcolormat(prod, r2x, x2r);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) EXPECT_NEAR(prod[i][j], i == j ? 1.0 : 0.0, 1e-5);
}

TEST(ColorMatrix, ProductOrderAndAliasing) {
  const COLORMAT a = {{1, 2, 0}, {0, 1, 0}, {0, 0, 1}};
  const COLORMAT b = {{1, 0, 0}, {3, 1, 0}, {0, 0, 2}};
  COLORMAT r;
  multcolormat(r, a, b);  // apply a, then b: b x a
  const COLOR in = {1, 1, 1};
  COLOR t, out, direct;
  colortrans(t, a, in);
  colortrans(out, b, t);
  colortrans(direct, r, in);
  for (int i = 0; i < 3; i++) EXPECT_FLOAT_EQ(direct[i], out[i]);
  COLORMAT alias;
  std::memcpy(alias, a, sizeof alias);
  multcolormat(alias, alias, b);
  EXPECT_EQ(std::memcmp(alias, r, sizeof r), 0);
  COLOR v = {1, 2, 3};
  colortrans(v, b, v);
  EXPECT_FLOAT_EQ(v[1], 5.f);
  EXPECT_FLOAT_EQ(v[2], 6.f);
}

TEST(ColorMatrix, WhiteAdaptation) {
  COLORMAT m;
  const float w[2] = {0.3127f, 0.329f};
  ASSERT_EQ(compxyzWBmat(m, w, w), 1);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) EXPECT_EQ(m[i][j], i == j ? 1.f : 0.f);
  const float w0[2] = {0.3f, 0.f};
  EXPECT_EQ(compxyzWBmat(m, w0, xyneu), 0);
  EXPECT_EQ(compxyzWBmat(m, xyneu, w0), 0);

  // D65 white in XYZ adapts to the equal-energy white of the same luminance; display white of
  // any primaries maps to equal XYZ and back to equal RGB.
  const auto white = [](const COLORMAT mat, const COLOR in, double tol) {
    COLOR e;
    colortrans(e, mat, in);
    for (int i = 0; i < 3; i++) EXPECT_NEAR(e[i], 1.0, tol) << i;
  };
  const COLOR d65 = {w[0] / w[1], 1.f, (1.f - w[0] - w[1]) / w[1]}, one = {1, 1, 1};
  COLORMAT r2x, x2r, rr;
  ASSERT_EQ(compxyzWBmat(m, w, xyneu), 1);
  white(m, d65, 2e-3);
  ASSERT_EQ(comprgb2xyzWBmat(r2x, ICS_AdobeRGB.chroma), 1);
  white(r2x, one, 2e-3);
  ASSERT_EQ(compxyz2rgbWBmat(x2r, ICS_sRGB.chroma), 1);
  white(x2r, one, 2e-3);
  ASSERT_EQ(comprgb2rgbWBmat(rr, ICS_sRGB.chroma, ICS_AdobeRGB.chroma), 1);
  white(rr, one, 1e-4);
  ASSERT_EQ(comprgb2rgbmat(rr, ICS_sRGB.chroma, ICS_sRGB.chroma), 1);
  EXPECT_EQ(rr[0][0], 1.f);
  EXPECT_EQ(rr[0][1], 0.f);
}

TEST(ColorMatrix, PrimariesValidity) {
  RGBPRIMS p;
  std::memcpy(p, stdprims, sizeof p);
  EXPECT_EQ(colorprimsOK(p), 1);
  p[3][0] = 1.f / 3.f;
  p[3][1] = 0.99995f;
  EXPECT_EQ(colorprimsOK(p), 0);
  p[3][1] = 0.f;
  EXPECT_EQ(colorprimsOK(p), 0);
  COLORMAT m;
  EXPECT_EQ(comprgb2xyzmat(m, p), 0);
  EXPECT_EQ(compxyz2rgbmat(m, p), 0);
  // Three collinear primaries cannot form a matrix.
  const RGBPRIMS line = {{0.2f, 0.2f}, {0.3f, 0.3f}, {0.4f, 0.4f}, {0.3333f, 0.3333f}};
  EXPECT_EQ(comprgb2xyzmat(m, line), 0);
  EXPECT_EQ(compxyz2rgbmat(m, line), 0);
}

TEST(Gamut, DesaturatesIntoTheBox) {
  COLOR c = {-0.2f, 0.5f, 0.5f};
  EXPECT_EQ(clipgamut(c, 0.3, 1, cblack, cwhite), 1);
  for (int i = 0; i < 3; i++) EXPECT_GE(c[i], 0.f);
  EXPECT_NEAR(c[1], 0.42, 1e-6);

  COLOR hi = {1.5f, 0.5f, 0.5f};
  EXPECT_EQ(clipgamut(hi, 0.8, 3, cblack, cwhite), 2);
  for (int i = 0; i < 3; i++) EXPECT_LE(hi[i], 1.f);

  COLOR dark = {0.1f, 0.2f, 0.3f};
  EXPECT_EQ(clipgamut(dark, -1.0, 1, cblack, cwhite), 1);  // below the box altogether
  EXPECT_EQ(dark[0], 0.f);
  COLOR bright = {0.1f, 0.2f, 0.3f};
  EXPECT_EQ(clipgamut(bright, 2.0, 2, cblack, cwhite), 2);
  EXPECT_EQ(bright[2], 1.f);
  COLOR inside = {0.1f, 0.2f, 0.3f};
  EXPECT_EQ(clipgamut(inside, 0.2, 3, cblack, cwhite), 0);
  EXPECT_EQ(inside[0], 0.1f);
  EXPECT_EQ(clipgamut(inside, 0.2, 0, cblack, cwhite), 0);
}

TEST(Spectrum, BandsAndTableEnds) {
  COLOR c;
  spec_cie(c, 400, 400);
  EXPECT_THAT(c, ElementsAre(0.f, 0.f, 0.f));
  // Bands that start past the table's end are empty rather than read beyond it.
  spec_cie(c, 780, 900);
  EXPECT_EQ(c[0] + c[1] + c[2], 0.f);
  spec_cie(c, 2000000, 2100000);
  EXPECT_EQ(c[1], 0.f);
  // The whole visible range sums each function to nearly its full 255 x 10 / 2560.
  spec_cie(c, 300, 900);
  EXPECT_NEAR(c[0], 2550.5 / 2560, 1e-6);
  EXPECT_NEAR(c[1], 2550.5 / 2560, 1e-6);
  // 500..510 nm: y rises from 34 to 48 in the table.
  spec_cie(c, 500, 510);
  EXPECT_NEAR(c[1], (140 + 0.5) / 2560, 1e-6);
  // A green band shows as green in RGB and never below zero.
  COLOR rgb;
  spec_rgb(rgb, 520, 560);
  EXPECT_GT(rgb[1], rgb[0]);
  EXPECT_GT(rgb[1], rgb[2]);
  for (int i = 0; i < 3; i++) EXPECT_GE(rgb[i], 0.f);
}

}  // namespace
