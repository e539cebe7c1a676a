// The encoder's fast kernels agree with the plain functions they stand in for.
#include <gtest/gtest.h>

#include <cmath>

#include "jpeghdr/jhprivate.h"

namespace {

// Values spread log-uniformly over [lo, hi).
template <typename F>
void forLogRange(double lo, double hi, int n, F f) {
  for (int i = 0; i < n; i++) f(static_cast<float>(lo * std::pow(hi / lo, (i + 0.37) / n)));
}

TEST(FastKernels, LogAndSrgbCurveMatchTheLibrary) {
  forLogRange(1e-10, 1e20, 20000, [](float x) {
    ASSERT_NEAR(jh_fast_log(x), std::log(x), 2e-6 * std::fabs(std::log(x)) + 1e-6) << x;
  });
  forLogRange(1e-6, 1e3, 20000, [](float v) {
    const float plain = jh_srgb_encode(v), fast = jh_srgb_encode_fast(v);
    ASSERT_NEAR(fast, plain, 2e-6f * std::fabs(plain) + 1e-7f) << v;
    ASSERT_NEAR(jh_srgb_encode_fast(-v), jh_srgb_encode(-v), 1e-6f * std::fabs(plain) + 1e-7f);
  });
  EXPECT_EQ(jh_srgb_encode_fast(0.f), 0.f);
}

TEST(FastKernels, YccBytesAndGamutAnswersMatchThePlainCoding) {
  jpeghdr_compress_struct jh{};
  jh.alpha = 0.9f;
  jh.beta = 0.8f;
  int gamutDiffers = 0, n = 0;
  for (float r = 0.f; r < 1.3f; r += 0.021f)
    for (float g = 0.f; g < 1.3f; g += 0.033f)
      for (float b = 0.f; b < 1.3f; b += 0.047f, n++) {
        const float rgb[3] = {r, g, b};
        uint8_t p[3], f[3];
        jpeghdr_rgb2ycc(rgb, p);
        jh_rgb2ycc_fast(rgb, f);
        for (int c = 0; c < 3; c++) ASSERT_NEAR(p[c], f[c], 1) << r << " " << g << " " << b;
        gamutDiffers += jpeghdr_in_gamut(&jh, rgb) != jh_in_gamut_fast(&jh, rgb);
      }
  EXPECT_LT(gamutDiffers, n / 1000);
}

TEST(FastKernels, CodeSearchIsTheTruncatedPower) {
  for (float gamma : {1.f, 1.8f, 2.2f, 2.6f, 4.f}) {
    JHCodeTable ct;
    jh_code_thresholds(&ct, gamma);
    int off = 0;
    forLogRange(1e-12, 2.0, 50000, [&](float v) {
      const int plain = std::min(255, static_cast<int>(256.f * std::pow(v, 1.f / gamma)));
      const int fast = jh_code_search(&ct, v);
      ASSERT_NEAR(fast, plain, 1) << v << " gamma " << gamma;
      ASSERT_EQ(fast, jh_code_search_plain(&ct, v));
      off += fast != plain;
    });
    EXPECT_LT(off, 50) << gamma;  // only at rounding boundaries
    EXPECT_EQ(jh_code_search(&ct, 0.f), 0);
    EXPECT_EQ(jh_code_search(&ct, -3.f), 0);
    EXPECT_EQ(jh_code_search(&ct, std::nanf("")), 0);
    EXPECT_EQ(jh_code_search(&ct, 1e30f), 255);
  }
}

// Colours inside the box the tone mapping passes without coding are in gamut by the exact
// coding, corners and all.
TEST(FastKernels, ColoursInsideTheGamutBoxAreInGamut) {
  jpeghdr_compress_struct jh{};
  jh.alpha = jh.beta = 1.f;
  const float edges[] = {kGamutLow, 0.002f, 0.05f, 0.3f, 0.7f, kGamutHigh};
  for (float r : edges)
    for (float g : edges)
      for (float b : edges) {
        const float rgb[3] = {r, g, b};
        ASSERT_TRUE(jh_surely_in_gamut(r, g, b));
        ASSERT_TRUE(jpeghdr_in_gamut(&jh, rgb)) << r << " " << g << " " << b;
      }
  EXPECT_FALSE(jh_surely_in_gamut(0.5f, 0.5f, 0.95f));
  EXPECT_FALSE(jh_surely_in_gamut(0.0005f, 0.5f, 0.5f));
}

}  // namespace
