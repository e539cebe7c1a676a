// Resampling: basis selection, the engine's colour-space handling, the kernels' edge
// behaviour and the agreement of the vectorised 8-bit RGB kernels with their plain versions.
#include <gtest/gtest.h>

#include <cmath>

#include "image/piresamp.h"
#include "image/piresampkern.h"
#include "test_image_util.h"

using imgtest::Image;

namespace {

// Runs PsizeImage and a kernel directly on the same source; whether the results agree.
template <typename Kernel>
bool SizeMatchesKernel(Image& src, int w, int h, int basis, Kernel kernel) {
  Image a = Image::Empty(w, h, src->csp);
  if (!PsizeImage(a.get(), src.get(), basis)) return false;
  Image b(w, h, src->csp);
  if (!kernel(b.get(), src.get())) return false;
  return a.SameBytes(b.im);
}

// The plain 8-bit RGB kernels the basis selection may choose.
int Linear(_ImgStruct* d, const _ImgStruct* s) {
  return interpRGB24Plain(d, s, 5);
}
int Cubic(_ImgStruct* d, const _ImgStruct* s) {
  return interpRGB24Plain(d, s, 6);
}
int Gauss(_ImgStruct* d, const _ImgStruct* s) {
  return gaussianRGB24Plain(d, s, 0.5f);
}

}  // namespace

TEST(ResampBasis, ShrinkBeyondThresholdSwitchesToGaussian) {
  Image src(1000, 4, &ICS_sRGB);
  src.Noise(1);
  // trunc(618 * 1.62) = 1001 >= 1000: still an interpolation.
  EXPECT_TRUE(SizeMatchesKernel(src, 618, 4, 1, Cubic));
  EXPECT_FALSE(SizeMatchesKernel(src, 618, 4, 1, Gauss));
  // trunc(617 * 1.62) = 999 < 1000: Gaussian.
  EXPECT_TRUE(SizeMatchesKernel(src, 617, 4, 1, Gauss));
  // Basis 5 and 6 follow the same threshold; basis 3 point-samples above it.
  EXPECT_TRUE(SizeMatchesKernel(src, 617, 4, 5, Gauss));
  EXPECT_TRUE(SizeMatchesKernel(src, 618, 4, 5, Linear));
  EXPECT_TRUE(SizeMatchesKernel(src, 617, 4, 3, Gauss));
}

TEST(ResampBasis, ShrinkInOneDirectionIsEnough) {
  Image src(20, 100, &ICS_sRGB);
  src.Noise(2);
  // Wider but much shorter: Gaussian for basis 1.
  EXPECT_TRUE(SizeMatchesKernel(src, 30, 40, 1, Gauss));
  // Basis 4: linear when at least as large both ways, Gaussian otherwise.
  EXPECT_TRUE(SizeMatchesKernel(src, 20, 150, 4, Linear));
  EXPECT_TRUE(SizeMatchesKernel(src, 30, 90, 4, Gauss));
  // Basis 0 and 2 always point-sample.
  Image a = Image::Empty(7, 9, &ICS_sRGB);
  ASSERT_EQ(PsizeImage(a.get(), src.get(), 0), 1);
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 7; ++x) {
      const int sx = static_cast<int>((x + 0.5f) * 20.0f / 7.0f);
      const int sy = static_cast<int>((y + 0.5f) * 100.0f / 9.0f);
      for (int c = 0; c < 3; ++c) ASSERT_EQ(a.at<uint8_t>(x, y, c), src.at<uint8_t>(sx, sy, c));
    }
}

TEST(ResampBasis, GaussianHalfWidthOfFourfoldReduction) {
  // Reducing 80 -> 20 with r = 0.5 gives a half-width of 6 source columns: destination
  // column 5 (centre at source column 22) sees columns 16 .. 28 and nothing beyond. Float
  // data keep even the smallest weights visible.
  for (int col : {16, 28, 15, 29}) {
    Image src(80, 1, &ICS_Y);
    for (int x = 0; x < 80; ++x) src.at<float>(x, 0) = x == col ? 1e6f : 0.0f;
    Image dst = Image::Empty(20, 1, &ICS_Y);
    ASSERT_EQ(PsizeImage(dst.get(), src.get(), 1), 1);
    if (col == 16 || col == 28)
      EXPECT_GT(dst.at<float>(5, 0), 0.0f) << col;
    else
      EXPECT_EQ(dst.at<float>(5, 0), 0.0f) << col;
  }
}

TEST(ResampBasis, EqualSizesCopyAndRefusalsLeaveTheDestinationAlone) {
  MessageLog msgs;
  Image src(5, 4, &ICS_sRGB);
  src.Noise(3);
  Image same = Image::Empty(5, 4, &ICS_sRGB);
  EXPECT_EQ(PsizeImage(same.get(), src.get(), 9), 1);  // a copy whatever the basis
  EXPECT_TRUE(same.SameBytes(src.im));
  EXPECT_EQ(PsizeImage(src.get(), src.get(), 1), 1);  // the same descriptor: nothing to do
  EXPECT_EQ(msgs.Count(), 0u);
  Image dst = Image::Empty(3, 3, &ICS_sRGB);
  EXPECT_EQ(PsizeImage(dst.get(), src.get(), 7), 0);
  EXPECT_TRUE(msgs.Has(DMCparameter, "Unknown resampling basis"));
  EXPECT_EQ(PsizeImage(dst.get(), src.get(), -1), 0);
  EXPECT_EQ(dst->img, nullptr);
  EXPECT_EQ(dst->xres, 3);
  // A view of the source's own pixels.
  const _ImgRect r = {0, 3, 0, 3};
  EXPECT_EQ(PsizeImage(imgtest::Sub(src.get(), &r).get(), src.get(), 1), 0);
  EXPECT_TRUE(msgs.Has(DMCparameter, "Cannot resample image onto itself"));
}

TEST(ResampKernels, PointSamplingOfTwoAndFourComponents) {
  MessageLog msgs;
  _ImgColorSpace uv = ICS_sRGB;
  uv.format = IPFuv;
  _ImgColorSpace rgba = ICS_sRGB;
  rgba.format = IPFrgba;
  for (const _ImgColorSpace* cs : {&uv, &rgba}) {
    const int nc = ImgPixelLen[cs->format];
    Image src(4, 3, cs);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 4; ++x)
        for (int c = 0; c < nc; ++c)
          src.at<uint8_t>(x, y, c) = static_cast<uint8_t>(y * 40 + x * 8 + c);
    Image dst = Image::Empty(8, 6, cs);
    ASSERT_EQ(PsizeImage(dst.get(), src.get(), 2), 1);
    for (int y = 0; y < 6; ++y)
      for (int x = 0; x < 8; ++x)
        for (int c = 0; c < nc; ++c)
          ASSERT_EQ(dst.at<uint8_t>(x, y, c), src.at<uint8_t>(x / 2, y / 2, c));
    // Interpolation has no kernel for these layouts and leaves no pixels behind.
    Image bad = Image::Empty(8, 6, cs);
    EXPECT_EQ(PsizeImage(bad.get(), src.get(), 6), 0);
    EXPECT_EQ(bad->img, nullptr);
  }
  EXPECT_TRUE(msgs.Has(DMCparameter, "Unsupported pixel type"));
}

TEST(ResampKernels, CubicOvershootClampsOnIntegersOnly) {
  // A hard edge enlarged with cubic weights rings: below 0 and above 1 in float, clamped
  // to 0 and 255 (never wrapped) in 8 bits, to 0 and 65535 in 16 bits.
  _ImgColorSpace y16 = ICS_Y16;
  Image f(6, 1, &ICS_Y), b(6, 1, &ICS_Y8), s(6, 1, &y16);
  for (int x = 0; x < 6; ++x) {
    f.at<float>(x, 0) = x < 3 ? 0.0f : 1.0f;
    b.at<uint8_t>(x, 0) = x < 3 ? 0 : 255;
    s.at<uint16_t>(x, 0) = x < 3 ? 0 : 65535;
  }
  Image fo(30, 1, &ICS_Y), bo(30, 1, &ICS_Y8), so(30, 1, &y16);
  ASSERT_EQ(interpY(fo.get(), f.get(), 6), 1);
  ASSERT_EQ(interpY8(bo.get(), b.get(), 6), 1);
  ASSERT_EQ(interpY16(so.get(), s.get(), 6), 1);
  float lo = 1, hi = 0;
  for (int x = 0; x < 30; ++x) {
    const float v = fo.at<float>(x, 0);
    lo = std::min(lo, v);
    hi = std::max(hi, v);
    if (v < 0.0f) {
      EXPECT_EQ(bo.at<uint8_t>(x, 0), 0) << x;
      EXPECT_EQ(so.at<uint16_t>(x, 0), 0) << x;
    }
    if (v > 1.0f) {
      EXPECT_EQ(bo.at<uint8_t>(x, 0), 255) << x;
      EXPECT_EQ(so.at<uint16_t>(x, 0), 65535) << x;
    }
    EXPECT_NEAR(bo.at<uint8_t>(x, 0), std::min(std::max(v, 0.0f), 1.0f) * 255.0f, 1.5f) << x;
  }
  EXPECT_LT(lo, -0.01f);
  EXPECT_GT(hi, 1.01f);
}

TEST(ResampKernels, OnePixelWideSourceReadsOneColumn) {
  // Every horizontal tap reads the one column, so a row is flat up to the rounding of the
  // integer cubic weights (whose sum may miss 256 by one).
  Image src(1, 4, &ICS_sRGB);
  src.Noise(4);
  for (int basis : {5, 6}) {
    Image dst = Image::Empty(5, 7, &ICS_sRGB);
    ASSERT_EQ(PsizeImage(dst.get(), src.get(), basis), 1);
    for (int y = 0; y < 7; ++y)
      for (int x = 1; x < 5; ++x)
        for (int c = 0; c < 3; ++c)
          ASSERT_NEAR(dst.at<uint8_t>(x, y, c), dst.at<uint8_t>(0, y, c), basis == 5 ? 0 : 1);
  }
}

TEST(ResampKernels, ZeroHalfWidthAndZeroWeightSumDoNotDivideByZero) {
  // Enlarging 10x across while shrinking 10x down: the horizontal half-width is 0, so each
  // column is the source column under its centre.
  Image src(10, 100, &ICS_sRGB);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 10; ++x)
      for (int c = 0; c < 3; ++c) src.at<uint8_t>(x, y, c) = static_cast<uint8_t>(20 * x + c);
  for (bool plain : {true, false}) {
    Image dst(100, 10, &ICS_sRGB);
    ASSERT_EQ(plain ? gaussianRGB24Plain(dst.get(), src.get(), 0.5f)
                    : gaussianRGB24(dst.get(), src.get(), 0.5f),
              1);
    for (int x = 0; x < 100; ++x) ASSERT_EQ(dst.at<uint8_t>(x, 5, 1), 20 * (x / 10) + 1) << x;
  }
  // A radius so wide that no integer vertical weight qualifies: a flat image stays flat.
  Image flat(9, 7, &ICS_sRGB), gflat(9, 7, &ICS_Y8);
  memset(flat->img, 100, static_cast<size_t>(flat->rowsize) * 7);
  memset(gflat->img, 100, static_cast<size_t>(gflat->rowsize) * 7);
  Image out(9, 7, &ICS_sRGB), gout(9, 7, &ICS_Y8);
  ASSERT_EQ(gaussianRGB24(out.get(), flat.get(), 3000.0f), 1);
  ASSERT_EQ(gaussianY8(gout.get(), gflat.get(), 3000.0f), 1);
  EXPECT_TRUE(out.SameBytes(flat.im));
  EXPECT_TRUE(gout.SameBytes(gflat.im));
  // Float data with the half-width 0 in both directions.
  Image f(3, 3, &ICS_Y);
  for (int i = 0; i < 9; ++i) f.at<float>(i % 3, i / 3) = static_cast<float>(i);
  Image fo(3, 3, &ICS_Y);
  ASSERT_EQ(gaussianY(fo.get(), f.get(), 0.1f), 1);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(fo.at<float>(i % 3, i / 3), static_cast<float>(i));
}

TEST(ResampEngine, FloatSourceShrinkingAcrossAveragesBeforeQuantising) {
  // Alternating linear 0 and 1 columns halved across into 8-bit gamma 2.2: averaged in
  // floating point, 0.5 encodes near 186; averaging the codes 0 and 255 would give 128.
  Image src(8, 2, &ICS_Y);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 8; ++x) src.at<float>(x, y) = static_cast<float>(x & 1);
  _ImgColorSpace y8 = ICS_Y8;
  y8.cstatic = 0;  // a caller's transient space: images keep private copies
  Image dst = Image::Empty(4, 2, &y8);
  ASSERT_EQ(PsizeImage(dst.get(), src.get(), 5), 1);
  EXPECT_TRUE(PmatchColorSpace(dst->csp, &ICS_Y8, 31));
  EXPECT_NEAR(dst.at<uint8_t>(1, 0), 186, 2);
  // The same into a destination that already has pixels.
  Image held(4, 2, &y8);
  ASSERT_EQ(PsizeImage(held.get(), src.get(), 5), 1);
  EXPECT_NEAR(held.at<uint8_t>(1, 0), 186, 2);
  // Same width, fewer rows: converted first, 8-bit codes filtered.
  Image rows(2, 8, &ICS_Y);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 2; ++x) rows.at<float>(x, y) = static_cast<float>(y & 1);
  Image down = Image::Empty(2, 4, &ICS_Y8);
  ASSERT_EQ(PsizeImage(down.get(), rows.get(), 5), 1);
  EXPECT_NEAR(down.at<uint8_t>(0, 1), 128, 2);
}

TEST(ResampEngine, ConvertsIntoTheRequestedSpace) {
  // 8-bit sRGB enlarged into float linear RGB: the source is converted first.
  Image src(4, 4, &ICS_sRGB);
  memset(src->img, 255, static_cast<size_t>(src->rowsize) * 4);
  Image dst = Image::Empty(8, 8, &ICS_RGB709);
  ASSERT_EQ(PsizeImage(dst.get(), src.get(), 6), 1);
  EXPECT_TRUE(PmatchColorSpace(dst->csp, &ICS_RGB709, 31));
  EXPECT_NEAR(dst.at<float>(3, 3, 1), 1.0f, 0.01f);
  // Same layout, other gamma: filtered in the source's codes, then converted.
  Image adobe = Image::Empty(8, 8, &ICS_AdobeRGB);
  ASSERT_EQ(PsizeImage(adobe.get(), src.get(), 6), 1);
  EXPECT_TRUE(PmatchColorSpace(adobe->csp, &ICS_AdobeRGB, 31));
}

TEST(ResampKernels, VectorisedRGB24AgreesWithPlain) {
  struct Case {
    int sw, sh, dw, dh;
  };
  const Case cases[] = {{37, 23, 80, 51}, {64, 48, 31, 47}, {1, 5, 17, 3},    {5, 1, 2, 9},
                        {300, 7, 41, 13}, {33, 65, 100, 2}, {16, 16, 16, 16}, {97, 3, 250, 3}};
  unsigned seed = 10;
  for (const Case& k : cases) {
    Image src(k.sw, k.sh, &ICS_sRGB);
    src.Noise(seed++);
    for (int basis : {5, 6}) {
      Image a(k.dw, k.dh, &ICS_sRGB), b(k.dw, k.dh, &ICS_sRGB);
      ASSERT_EQ(interpRGB24(a.get(), src.get(), basis), 1);
      ASSERT_EQ(interpRGB24Plain(b.get(), src.get(), basis), 1);
      EXPECT_TRUE(a.SameBytes(b.im)) << k.sw << "x" << k.sh << " -> " << k.dw << "x" << k.dh;
    }
    for (float r : {0.5f, 1.3f, 4.0f, 0.1f}) {
      Image a(k.dw, k.dh, &ICS_sRGB), b(k.dw, k.dh, &ICS_sRGB);
      ASSERT_EQ(gaussianRGB24(a.get(), src.get(), r), 1);
      ASSERT_EQ(gaussianRGB24Plain(b.get(), src.get(), r), 1);
      EXPECT_TRUE(a.SameBytes(b.im))
          << k.sw << "x" << k.sh << " -> " << k.dw << "x" << k.dh << " r " << r;
    }
  }
  // Saturated input exercises the clamps and the largest sums.
  Image white(50, 40, &ICS_sRGB);
  memset(white->img, 255, static_cast<size_t>(white->rowsize) * 40);
  Image a(13, 11, &ICS_sRGB), b(13, 11, &ICS_sRGB);
  ASSERT_EQ(gaussianRGB24(a.get(), white.get(), 0.5f), 1);
  ASSERT_EQ(gaussianRGB24Plain(b.get(), white.get(), 0.5f), 1);
  EXPECT_TRUE(a.SameBytes(b.im));
  EXPECT_EQ(a.at<uint8_t>(6, 5, 2), 255);
}

TEST(ResampKernels, SubImagesAreReadAndWrittenThroughTheirRows) {
  Image big(40, 30, &ICS_sRGB);
  big.Noise(7);
  const _ImgRect r = {5, 25, 4, 20};
  Image part = imgtest::Sub(big.get(), &r), copy = Image::Empty(20, 16, &ICS_sRGB);
  ASSERT_EQ(PmapImage(copy.get(), part.get(), 1.0), 1);
  Image a = Image::Empty(33, 9, &ICS_sRGB), b = Image::Empty(33, 9, &ICS_sRGB);
  ASSERT_EQ(PsizeImage(a.get(), part.get(), 1), 1);
  ASSERT_EQ(PsizeImage(b.get(), copy.get(), 1), 1);
  EXPECT_TRUE(a.SameBytes(b.im));
}

TEST(ResampKernels, EightBitGaussianIsUnbiasedAgainstFloat) {
  // A diagonal ramp and noise, reduced fourfold and enlarged slightly in 8 bits (grey and RGB,
  // plain and vectorised) and in floats holding the same codes: every 8-bit result is the
  // float result rounded, so the mean difference stays near 0 (truncating would give -0.45).
  const int sw = 203, sh = 67;
  Image ramp(sw, sh, &ICS_Y8), noise(sw, sh, &ICS_Y8);
  noise.Noise(3);
  for (int y = 0; y < sh; ++y)
    for (int x = 0; x < sw; ++x) ramp.at<uint8_t>(x, y) = static_cast<uint8_t>((x + 2 * y) % 256);
  for (const Image* src : {&ramp, &noise}) {
    Image f(sw, sh, &ICS_Y), rgb(sw, sh, &ICS_sRGB);
    for (int y = 0; y < sh; ++y)
      for (int x = 0; x < sw; ++x) {
        const uint8_t v = const_cast<Image*>(src)->at<uint8_t>(x, y);
        f.at<float>(x, y) = v;
        for (int c = 0; c < 3; ++c) rgb.at<uint8_t>(x, y, c) = v;
      }
    for (const auto& size : {std::pair<int, int>{51, 17}, std::pair<int, int>{230, 70}}) {
      const int dw = size.first, dh = size.second;
      Image fo(dw, dh, &ICS_Y), go(dw, dh, &ICS_Y8), po(dw, dh, &ICS_sRGB), vo(dw, dh, &ICS_sRGB);
      ASSERT_EQ(gaussianY(fo.get(), f.get(), 0.5f), 1);
      ASSERT_EQ(gaussianY8(go.get(), const_cast<Image*>(src)->get(), 0.5f), 1);
      ASSERT_EQ(gaussianRGB24Plain(po.get(), rgb.get(), 0.5f), 1);
      ASSERT_EQ(gaussianRGB24(vo.get(), rgb.get(), 0.5f), 1);
      double bias = 0.0;
      for (int y = 0; y < dh; ++y)
        for (int x = 0; x < dw; ++x) {
          const double want = fo.at<float>(x, y);
          const int got = go.at<uint8_t>(x, y);
          ASSERT_LE(std::fabs(got - want), 1.0) << x << "," << y << " " << dw << "x" << dh;
          for (int c = 0; c < 3; ++c) {
            ASSERT_EQ(po.at<uint8_t>(x, y, c), got) << x << "," << y;
            ASSERT_EQ(vo.at<uint8_t>(x, y, c), got) << x << "," << y;
          }
          bias += got - want;
        }
      EXPECT_LT(std::fabs(bias / (dw * dh)), 0.05) << dw << "x" << dh;
    }
  }
}

TEST(ResampSpan, WholeSpanIsPsizeImageAndPartialSpansFollowTheirGeometry) {
  // A span covering the whole source gives PsizeImage's bytes, for every kernel choice.
  Image noise(90, 70, &ICS_sRGB);
  noise.Noise(7);
  const _ImgSpan whole = {0, 0, 90, 70};
  for (const auto& wh : {std::pair<int, int>{40, 30}, {80, 60}, {200, 150}})
    for (int basis : {1, 2, 4, 5}) {
      Image a = Image::Empty(wh.first, wh.second, &ICS_sRGB);
      Image b = Image::Empty(wh.first, wh.second, &ICS_sRGB);
      ASSERT_EQ(PsizeImage(a.get(), noise.get(), basis), 1);
      ASSERT_EQ(PsizeImageSpan(b.get(), noise.get(), whole, basis), 1);
      EXPECT_TRUE(a.SameBytes(b.im)) << wh.first << " basis " << basis;
    }
  // Linear interpolation of a float ramp over a fractional span lands every sample at
  // org + (i + 0.5) * len / n in source pixel edges.
  Image ramp(50, 3, &ICS_Y);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 50; ++x) ramp.at<float>(x, y) = static_cast<float>(x);
  const _ImgSpan part = {10.25, 0, 17.5, 3};
  Image out = Image::Empty(35, 3, &ICS_Y);
  ASSERT_EQ(PsizeImageSpan(out.get(), ramp.get(), part, 5), 1);
  for (int i = 0; i < 35; ++i)
    EXPECT_NEAR(out.at<float>(i, 1), 10.25 + (i + 0.5) * 17.5 / 35 - 0.5, 1e-4) << i;
  // Taps beyond the source repeat its edge; a span without area is refused.
  const _ImgSpan beyond = {45, 0, 10, 3};
  Image edge = Image::Empty(20, 3, &ICS_Y);
  ASSERT_EQ(PsizeImageSpan(edge.get(), ramp.get(), beyond, 5), 1);
  EXPECT_FLOAT_EQ(edge.at<float>(19, 0), 49.0f);
  MessageLog log;
  Image none = Image::Empty(20, 3, &ICS_Y);
  EXPECT_EQ(PsizeImageSpan(none.get(), ramp.get(), {0, 0, 0, 3}, 5), 0);
  EXPECT_EQ(none->img, nullptr);
}

// A band of one, two or three rows of a rendering is that rendering's rows byte for byte, for
// every kernel choice: its kernel and sample positions are the whole's, not those a rendering
// of the band's own height would take. A band beyond its rendering's rows is refused.
TEST(ResampSpan, BandsOfAnyHeightAreTheWholeRenderingsRows) {
  Image noise(90, 70, &ICS_sRGB);
  noise.Noise(11);
  for (const auto& wh : {std::pair<int, int>{80, 47}, {40, 30}, {200, 150}})
    for (int basis : {1, 2, 4, 5}) {
      Image whole = Image::Empty(wh.first, wh.second, &ICS_sRGB);
      ASSERT_EQ(PsizeImage(whole.get(), noise.get(), basis), 1);
      for (int n : {1, 2, 3})
        for (int y0 = 0; y0 < wh.second; y0 += n) {
          const int rows = std::min(n, wh.second - y0);
          Image band = Image::Empty(wh.first, rows, &ICS_sRGB);
          ASSERT_EQ(PsizeImageSpan(band.get(), noise.get(), {0, 0, 90, 70, y0, wh.second}, basis),
                    1);
          const _ImgRect r = {0, wh.first, y0, y0 + rows};
          ASSERT_TRUE(band.SameBytes(imgtest::Sub(whole.get(), &r).im))
              << wh.first << "x" << wh.second << " basis " << basis << ", row " << y0;
        }
    }
  MessageLog log;
  Image beyond = Image::Empty(80, 3, &ICS_sRGB);
  EXPECT_EQ(PsizeImageSpan(beyond.get(), noise.get(), {0, 0, 90, 70, 45, 47}, 1), 0);
  EXPECT_EQ(beyond->img, nullptr);
}
