// Gaussian blur and kernel convolution.
#include <gtest/gtest.h>

#include <cmath>

#include "image/pconvolve.h"
#include "image/piresampkern.h"
#include "image/piresamp.h"
#include "test_image_util.h"

using imgtest::Image;

namespace {

// A float grey kernel with the given values, row by row.
Image Kernel(int w, int h, std::initializer_list<float> values) {
  Image k(w, h, &ICS_Y);
  int i = 0;
  for (float v : values) {
    k.at<float>(i % w, i / w) = v;
    ++i;
  }
  return k;
}

Image Ramp(int w, int h) {
  Image src(w, h, &ICS_Y);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) src.at<float>(x, y) = static_cast<float>(x + 10 * y);
  return src;
}

}  // namespace

TEST(ConvolveBlur, WarnsAboutNonBlurringRadiiAndRefusesOthers) {
  MessageLog msgs;
  Image src(20, 20, &ICS_sRGB);
  src.Noise(1);
  Image dst = Image::Empty(20, 20, &ICS_sRGB);
  EXPECT_EQ(PblurImage(dst.get(), src.get(), 0.5), 1);
  EXPECT_TRUE(msgs.Has(DMCwarning, "Non-blurring radius (0.500000)"));
  msgs.Clear();
  Image none = Image::Empty(20, 20, &ICS_sRGB);
  EXPECT_EQ(PblurImage(none.get(), src.get(), 0.0), 0);
  EXPECT_EQ(PblurImage(none.get(), src.get(), -1.0), 0);
  EXPECT_EQ(PblurImage(none.get(), src.get(), NAN), 0);
  EXPECT_EQ(msgs.Count(), 0u);
  EXPECT_EQ(PblurImage(src.get(), src.get(), 2.0), 0);
  EXPECT_TRUE(msgs.Has(DMCparameter, "Cannot blur image onto itself"));
}

TEST(ConvolveBlur, BlursAndResamplesInOnePass) {
  Image src(40, 40, &ICS_Y);
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 40; ++x) src.at<float>(x, y) = (x == 20 && y == 20) ? 1.0f : 0.0f;
  Image same = Image::Empty(40, 40, &ICS_Y);
  ASSERT_EQ(PblurImage(same.get(), src.get(), 2.0), 1);
  // Spread symmetrically, total kept.
  double total = 0;
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 40; ++x) total += same.at<float>(x, y);
  EXPECT_NEAR(total, 1.0, 1e-3);
  EXPECT_NEAR(same.at<float>(18, 20), same.at<float>(22, 20), 1e-6);
  EXPECT_GT(same.at<float>(18, 20), 0.01f);
  // Into half the size: the engine's Gaussian at that radius, no equal-size shortcut.
  Image half = Image::Empty(20, 20, &ICS_Y), ref(20, 20, &ICS_Y);
  ASSERT_EQ(PblurImage(half.get(), src.get(), 1.5), 1);
  ASSERT_EQ(gaussianY(ref.get(), src.get(), 1.5f), 1);
  EXPECT_TRUE(half.SameBytes(ref.im));
}

TEST(ConvolveKernel, IdentityKernelReproducesTheSource) {
  Image src(9, 7, &ICS_sRGB);
  src.Noise(2);
  Image k = Kernel(3, 3, {0, 0, 0, 0, 1, 0, 0, 0, 0});
  Image dst = Image::Empty(0, 0, &ICS_sRGB);
  ASSERT_EQ(PconvolveImage(dst.get(), src.get(), k.get()), 1);
  EXPECT_EQ(dst->xres, 9);
  EXPECT_TRUE(dst.SameBytes(src.im));
  // Into a float destination: the accumulator is the destination itself.
  Image f = Ramp(8, 6);
  Image fo(8, 6, &ICS_Y);
  ASSERT_EQ(PconvolveImage(fo.get(), f.get(), k.get()), 1);
  EXPECT_TRUE(fo.SameBytes(f.im));
}

TEST(ConvolveKernel, OffsetsEdgesAndEvenSizes) {
  Image src = Ramp(8, 6);
  // A 4x4 kernel is centred at (1, 1): its (2, 2) entry reads one pixel right and down.
  Image k = Kernel(4, 4, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0});
  Image dst = Image::Empty(8, 6, &ICS_Y);
  ASSERT_EQ(PconvolveImage(dst.get(), src.get(), k.get()), 1);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) {
      const int sx = std::min(x + 1, 7), sy = std::min(y + 1, 5);
      ASSERT_EQ(dst.at<float>(x, y), 2.0f * (sx + 10 * sy)) << x << "," << y;
    }
  // Not mirrored: a left tap reads the pixel to the left, repeating the left edge.
  Image left = Kernel(3, 3, {0, 0, 0, 1, 0, 0, 0, 0, 0});
  ASSERT_EQ(PconvolveImage(dst.get(), src.get(), left.get()), 1);
  EXPECT_EQ(dst.at<float>(0, 2), 20.0f);
  EXPECT_EQ(dst.at<float>(5, 2), 24.0f);
  // A kernel offset beyond the image reads the edge throughout.
  Image narrow(10, 4, &ICS_Y);
  for (int x = 0; x < 10; ++x)
    for (int y = 0; y < 4; ++y) narrow.at<float>(x, y) = static_cast<float>(x);
  Image k9(9, 3, &ICS_Y);
  memset(k9->img, 0, static_cast<size_t>(k9->rowsize) * 3);
  k9.at<float>(8, 1) = 1.0f;  // reads 4 pixels to the right
  Image out = Image::Empty(10, 4, &ICS_Y);
  ASSERT_EQ(PconvolveImage(out.get(), narrow.get(), k9.get()), 1);
  for (int x = 0; x < 10; ++x)
    EXPECT_EQ(out.at<float>(x, 2), static_cast<float>(std::min(x + 4, 9)));
}

TEST(ConvolveKernel, SumsInLinearLightAndClipsOnlyAtTheEnd) {
  // On 8-bit gamma 2.2 data, 2 x pixel - 1 x pixel sums to the pixel in linear light.
  Image src(6, 6, &ICS_sRGB);
  memset(src->img, 128, static_cast<size_t>(src->rowsize) * 6);
  _ImgColorSpace rgbk = ICS_RGB709;
  Image k(3, 3, &rgbk);
  memset(k->img, 0, static_cast<size_t>(k->rowsize) * 3);
  for (int c = 0; c < 3; ++c) {
    k.at<float>(1, 1, c) = 2.0f;
    k.at<float>(0, 1, c) = -1.0f;
  }
  Image dst = Image::Empty(6, 6, &ICS_sRGB);
  ASSERT_EQ(PconvolveImage(dst.get(), src.get(), k.get()), 1);
  EXPECT_NEAR(dst.at<uint8_t>(3, 3, 0), 128, 1);
  // Negative sums clip to 0 in the final conversion.
  for (int c = 0; c < 3; ++c) {
    k.at<float>(1, 1, c) = -1.0f;
    k.at<float>(0, 1, c) = 0.0f;
  }
  ASSERT_EQ(PconvolveImage(dst.get(), src.get(), k.get()), 1);
  EXPECT_EQ(dst.at<uint8_t>(3, 3, 1), 0);
}

TEST(ConvolveKernel, RefusesUnusableArguments) {
  MessageLog msgs;
  Image src = Ramp(8, 6);
  Image dst = Image::Empty(8, 6, &ICS_Y);
  Image tooWide(8, 3, &ICS_Y), tooFlat(3, 2, &ICS_Y);
  EXPECT_EQ(PconvolveImage(dst.get(), src.get(), tooWide.get()), 0);
  EXPECT_EQ(PconvolveImage(dst.get(), src.get(), tooFlat.get()), 0);
  EXPECT_EQ(PconvolveImage(dst.get(), src.get(), nullptr), 0);
  EXPECT_EQ(msgs.Count(), 0u);
  Image k = Kernel(3, 3, {0, 0, 0, 0, 1, 0, 0, 0, 0});
  Image other(5, 5, &ICS_Y);
  EXPECT_EQ(PconvolveImage(other.get(), src.get(), k.get()), 0);
  EXPECT_TRUE(msgs.Has(DMCparameter, "Mismatched image dimensions"));
  EXPECT_EQ(PconvolveImage(src.get(), src.get(), k.get()), 0);
  EXPECT_TRUE(msgs.Has(DMCparameter, "Cannot convolve image onto itself"));
}
