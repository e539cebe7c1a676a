// Warping through control grids and rotation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "image/piresamp.h"
#include "image/piwarp.h"
#include "test_image_util.h"

using imgtest::Image;
using ::testing::Each;

namespace {

// The 2x2 grid of a source's corners.
void Corners(float g[4][2], int w, int h) {
  const float pts[4][2] = {{0, 0},
                           {static_cast<float>(w), 0},
                           {0, static_cast<float>(h)},
                           {static_cast<float>(w), static_cast<float>(h)}};
  memcpy(g, pts, sizeof pts);
}

}  // namespace

TEST(WarpGrid, IdentityGridReproducesTheSource) {
  Image src(23, 17, &ICS_sRGB);
  src.Noise(1);
  float g[4][2];
  Corners(g, 23, 17);
  for (int basis : {0, 2, 5, 6}) {
    Image dst = Image::Empty(23, 17, &ICS_sRGB);
    ASSERT_EQ(PwarpImage(dst.get(), src.get(), g, 2, 2, basis, nullptr), 1) << basis;
    EXPECT_TRUE(dst.SameBytes(src.im)) << basis;
  }
  // Float data through a finer grid of the same mapping.
  Image f(12, 8, &ICS_Y);
  for (int i = 0; i < 96; ++i) f.at<float>(i % 12, i / 12) = static_cast<float>(i);
  float fine[3 * 5][2];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 5; ++c) {
      fine[r * 5 + c][0] = 12.0f * c / 4;
      fine[r * 5 + c][1] = 8.0f * r / 2;
    }
  Image fo = Image::Empty(12, 8, &ICS_Y);
  ASSERT_EQ(PwarpImage(fo.get(), f.get(), fine, 5, 3, 6, nullptr), 1);
  for (int i = 0; i < 96; ++i) EXPECT_NEAR(fo.at<float>(i % 12, i / 12), i, 1e-3) << i;
}

TEST(WarpGrid, PointSamplingKeepsTheOuterHalfPixel) {
  // The grid shifted left by 0.4 pixel: column 0 samples at -0.4 (inside), and with a
  // shift of 0.6 it samples outside and takes the fill.
  Image src(4, 2, &ICS_Y8);
  for (int x = 0; x < 4; ++x)
    for (int y = 0; y < 2; ++y) src.at<uint8_t>(x, y) = static_cast<uint8_t>(10 + x);
  const uint8_t fill = 99;
  for (float shift : {0.4f, 0.6f}) {
    float g[4][2] = {{-shift, 0}, {4 - shift, 0}, {-shift, 2}, {4 - shift, 2}};
    Image dst = Image::Empty(4, 2, &ICS_Y8);
    ASSERT_EQ(PwarpImage(dst.get(), src.get(), g, 2, 2, 0, &fill), 1);
    EXPECT_EQ(dst.at<uint8_t>(0, 0), shift < 0.5f ? 10 : 99);
  }
}

TEST(WarpRotate, QuarterTurnMapsTheLeftColumnToTheTopRow) {
  Image src(5, 5, &ICS_sRGB);
  src.Noise(2);
  for (int basis : {0, 6}) {
    Image dst = Image::Empty(5, 5, &ICS_sRGB);
    ASSERT_EQ(ProtateImage(dst.get(), src.get(), 90.0, basis, nullptr), 1);
    // Clockwise: the top row shows the left column read from bottom to top.
    for (int x = 0; x < 5; ++x)
      for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(dst.at<uint8_t>(x, 0, c), src.at<uint8_t>(0, 4 - x, c), basis ? 1 : 0)
            << basis << " " << x;
  }
}

TEST(WarpRotate, EighthTurnFillsTheCorners) {
  Image src(40, 40, &ICS_sRGB);
  memset(src->img, 200, static_cast<size_t>(src->rowsize) * 40);
  const uint8_t fill[3] = {1, 2, 3};
  for (int basis : {0, 5}) {
    Image zero = Image::Empty(40, 40, &ICS_sRGB), filled = Image::Empty(40, 40, &ICS_sRGB);
    ASSERT_EQ(ProtateImage(zero.get(), src.get(), 45.0, basis, nullptr), 1);
    ASSERT_EQ(ProtateImage(filled.get(), src.get(), 45.0, basis, fill), 1);
    for (int corner : {0, 39}) {
      EXPECT_EQ(zero.at<uint8_t>(corner, corner, 0), 0);
      EXPECT_EQ(filled.at<uint8_t>(corner, 39 - corner, 2), 3);
    }
    EXPECT_EQ(zero.at<uint8_t>(20, 20, 1), 200);
  }
  // Rotation keeps the destination's own size.
  Image wide = Image::Empty(60, 20, &ICS_sRGB);
  ASSERT_EQ(ProtateImage(wide.get(), src.get(), 30.0, 2, nullptr), 1);
  EXPECT_EQ(wide->xres, 60);
}

TEST(WarpGrid, DegenerateAndNonFiniteGridsGiveFill) {
  Image src(16, 16, &ICS_sRGB);
  memset(src->img, 50, static_cast<size_t>(src->rowsize) * 16);
  const uint8_t fill[3] = {7, 7, 7};
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float grids[][4][2] = {
      {{nan, 0}, {16, 0}, {0, 16}, {16, 16}},   // a NaN corner
      {{0, 0}, {inf, 0}, {0, 16}, {16, -inf}},  // infinite corners
      {{3, 3}, {3, 3}, {3, 3}, {3.00001f, 3}},  // a collapsed cell
      {{0, 0}, {16, 16}, {16, 16}, {0, 0}},     // a twisted (zero-determinant) cell
      {{1e30f, 1e30f}, {-1e30f, 1e30f}, {0, 1e-30f}, {2e9f, -2e9f}},  // far outside
  };
  for (const auto& g : grids) {
    for (int basis : {0, 5, 6}) {
      Image dst = Image::Empty(8, 8, &ICS_sRGB);
      ASSERT_EQ(PwarpImage(dst.get(), src.get(), g, 2, 2, basis, fill), 1);
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
          const uint8_t v = dst.at<uint8_t>(x, y, 0);
          ASSERT_TRUE(v == 7 || v == 50 || (v > 7 && v < 50)) << int(v);
        }
    }
  }
}

TEST(WarpGrid, CompressedGridsReduceTheSourceFirst) {
  // A grid covering a 64x64 source shown in 32x32: each cell is four times the destination
  // cell's area, so the source is halved by PsizeImage (a Gaussian, as 2 > 1.62) and the
  // mapping then reads it one to one.
  Image src(64, 64, &ICS_sRGB);
  src.Noise(3);
  float g[4][2];
  Corners(g, 64, 64);
  Image dst = Image::Empty(32, 32, &ICS_sRGB), ref = Image::Empty(32, 32, &ICS_sRGB);
  ASSERT_EQ(PwarpImage(dst.get(), src.get(), g, 2, 2, 5, nullptr), 1);
  ASSERT_EQ(PsizeImage(ref.get(), src.get(), 5), 1);
  EXPECT_TRUE(dst.SameBytes(ref.im));
  // A strong local compression widens the taps into a box of sixteen, whose weights sum
  // to one: a flat source stays flat.
  Image flat(200, 200, &ICS_Y);
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 200; ++x) flat.at<float>(x, y) = 0.5f;
  float gg[9][2];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {  // the lower right cell squeezes 190 x 95 pixels into 5 x 5
      gg[r * 3 + c][0] = c == 0 ? 0.0f : c == 1 ? 5.0f : 195.0f;
      gg[r * 3 + c][1] = r == 0 ? 0.0f : r == 1 ? 100.0f : 195.0f;
    }
  Image fo = Image::Empty(10, 10, &ICS_Y);
  ASSERT_EQ(PwarpImage(fo.get(), flat.get(), gg, 3, 3, 6, nullptr), 1);
  EXPECT_NEAR(fo.at<float>(7, 7), 0.5f, 1e-5);
}

TEST(WarpGrid, RefusalsAndFailures) {
  MessageLog msgs;
  Image src(10, 10, &ICS_sRGB);
  float g[4][2];
  Corners(g, 10, 10);
  Image dst = Image::Empty(10, 10, &ICS_sRGB);
  EXPECT_EQ(PwarpImage(dst.get(), src.get(), g, 1, 4, 0, nullptr), 0);
  EXPECT_EQ(PwarpImage(dst.get(), src.get(), nullptr, 2, 2, 0, nullptr), 0);
  Image flat = Image::Empty(0, 10, &ICS_sRGB);
  EXPECT_EQ(PwarpImage(flat.get(), src.get(), g, 2, 2, 0, nullptr), 0);
  EXPECT_EQ(msgs.Count(), 0u);
  EXPECT_EQ(PwarpImage(src.get(), src.get(), g, 2, 2, 0, nullptr), 0);
  EXPECT_TRUE(msgs.Has(DMCparameter, "Cannot warp image onto itself"));
  // More cells across than destination pixels: an empty cell fails, pixels released.
  float many[2 * 6][2];
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 6; ++c) {
      many[r * 6 + c][0] = 2.0f * c;
      many[r * 6 + c][1] = 10.0f * r;
    }
  Image thin = Image::Empty(3, 10, &ICS_sRGB);
  EXPECT_EQ(PwarpImage(thin.get(), src.get(), many, 6, 2, 0, nullptr), 0);
  EXPECT_EQ(thin->img, nullptr);
  // No kernel for four components.
  _ImgColorSpace rgba = ICS_sRGB;
  rgba.format = IPFrgba;
  Image s4(10, 10, &rgba);
  Image d4 = Image::Empty(10, 10, &rgba);
  EXPECT_EQ(PwarpImage(d4.get(), s4.get(), g, 2, 2, 0, nullptr), 0);
  EXPECT_TRUE(msgs.Has(DMCparameter, "Unsupported pixel type"));
  EXPECT_EQ(d4->img, nullptr);
}

TEST(WarpGrid, ConvertsIntoTheDestinationSpace) {
  Image src(6, 6, &ICS_sRGB);
  memset(src->img, 255, static_cast<size_t>(src->rowsize) * 6);
  float g[4][2];
  Corners(g, 6, 6);
  Image dst = Image::Empty(6, 6, &ICS_RGB709);
  ASSERT_EQ(PwarpImage(dst.get(), src.get(), g, 2, 2, 6, nullptr), 1);
  EXPECT_TRUE(PmatchColorSpace(dst->csp, &ICS_RGB709, 31));
  EXPECT_NEAR(dst.at<float>(2, 2, 1), 1.0f, 0.01f);
  // Same layout, other gamma: warped in the source's codes, then converted in place.
  Image adobe = Image::Empty(6, 6, &ICS_AdobeRGB);
  ASSERT_EQ(PwarpImage(adobe.get(), src.get(), g, 2, 2, 0, nullptr), 1);
  EXPECT_TRUE(PmatchColorSpace(adobe->csp, &ICS_AdobeRGB, 31));
}

// Taps outside the source read the fill, never memory beside the pixels.
TEST(WarpMap, InterpolationTapsAndWeights) {
  Image src(10, 10, &ICS_Y);
  _ImgWarpMap m = {10, 0, 0, 0, 10, 0, 0, 0, 10, 10, 1.0};  // identity, one pixel per pixel
  float w[8];
  const void* taps[16];
  const float fill = -1;
  EXPECT_EQ(interpMap(w, taps, 3, 4, &m, src.get(), 6, &fill), nullptr);
  EXPECT_EQ(taps[0], src->img + 3 * src->rowsize + 2 * 4);
  EXPECT_EQ(taps[5], src->img + 4 * src->rowsize + 3 * 4);  // row iy, column ix
  EXPECT_EQ(interpMap(w, taps, 0, 0, &m, src.get(), 6, &fill), nullptr);
  for (int k : {0, 3, 4}) EXPECT_EQ(taps[k], &fill) << k;
  EXPECT_NE(taps[5], static_cast<const void*>(&fill));
  // A footprint of 4 or more: sixteen taps `step` apart, each 1/16.
  m.footprint = 8.0;
  EXPECT_EQ(interpMap(w, taps, 5, 5, &m, src.get(), 5, &fill), nullptr);
  EXPECT_THAT(w, Each(0.25f));
  EXPECT_EQ(taps[6], src->img + 5 * src->rowsize + 7 * 4);
  // Point sampling returns the pixel itself.
  m.footprint = 1.0;
  EXPECT_EQ(interpMap(w, taps, 2, 3, &m, src.get(), 0, &fill), src->img + 3 * src->rowsize + 8);
}
