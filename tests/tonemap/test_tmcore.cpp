// Tone-mapping state, brightness encoding, histogram and mappings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "tonemap/tmprivate.h"
#include "tm_test_util.h"
#include "tonemap/tonemap.h"

namespace {

using ::testing::_;
using ::testing::ElementsAre;
using tmtest::QuietTm;
using tmtest::TmPtr;

// A spread of brightnesses over [lo, hi] with n samples, denser in the middle.
std::vector<TMbright> spread(int lo, int hi, int n, unsigned seed = 1) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd((lo + hi) / 2.0, (hi - lo) / 6.0);
  std::vector<TMbright> v(n);
  for (auto& b : v) {
    double d = nd(rng);
    b = (TMbright)(d < lo ? lo : d > hi ? hi : (int)d);
  }
  v[0] = (TMbright)lo;
  v[1] = (TMbright)hi;
  return v;
}

TEST(TmLuminance, EdgeValuesEncodeAsNoBrightness) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double lum : {1e-17, 0.0, -1.0, inf, -inf, std::nan(""), -std::nan(""), 1e-300})
    EXPECT_EQ(tmCvLuminance(lum), TM_NOBRT) << lum;
  EXPECT_GT(tmCvLuminance(1.1e-17), TM_NOBRT);
  // 128 units per natural-log step, rounded half away from zero; luminances past e^256
  // saturate instead of wrapping around.
  const std::pair<double, int> cases[] = {{1.0, 0},
                                          {M_E, 128},
                                          {1.0 / M_E, -128},
                                          {std::exp(10.5 / 128), 11},
                                          {std::exp(-10.5 / 128), -11},
                                          {std::exp(10.4 / 128), 10},
                                          {1e200, 32767},
                                          {std::numeric_limits<double>::max(), 32767}};
  for (const auto& c : cases) EXPECT_EQ(tmCvLuminance(c.first), c.second) << c.first;
}

TEST(TmInit, DefaultsAndGammaGuard) {
  TmPtr t(tmInit(TMF_QUIET | TMF_OUTSIDE, nullptr, 0.5));
  ASSERT_TRUE(t);
  EXPECT_EQ(t->flags, TMF_QUIET);  // outside-program bits are dropped
  EXPECT_DOUBLE_EQ(t->mongam, 2.2);
  EXPECT_EQ(t->monpri, stdprims);
  EXPECT_EQ(t->inppri, t->monpri);
  EXPECT_DOUBLE_EQ(t->inpsf, 179.0);
  EXPECT_EQ(t->hbrmin, 10);  // an empty range
  EXPECT_EQ(t->hbrmax, -10);
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(t->cdiv[i], (int)(256 * std::pow(rgb2xyzmat[1][i], 1 / 2.2)));
}

TEST(TmInit, GreyIgnoresPrimariesAndMesopic) {
  static const RGBPRIMS wide = {{0.7f, 0.3f}, {0.2f, 0.7f}, {0.15f, 0.05f}, {0.3127f, 0.329f}};
  TmPtr t(tmInit(TMF_GREY | TMF_MESOPIC | TMF_QUIET, wide, 2.2));
  EXPECT_EQ(t->monpri, stdprims);
  EXPECT_FALSE(t->flags & TMF_MESOPIC);
  TmPtr c(tmInit(TMF_QUIET, wide, 2.2));
  EXPECT_EQ(c->monpri, wide);
  EXPECT_NE(c->clf[0], rgb2xyzmat[1][0]);
}

TEST(TmInit, DisplayDivisorsAreNeverZero) {
  // A primary with almost no luminance (blue here, 0.0002 of white) gets the divisor 1, so
  // that a smaller one can never round to 0 and divide by zero in tmMapPixels.
  static const RGBPRIMS odd = {
      {0.7347f, 0.2653f}, {0.0002f, 0.9997f}, {0.0002f, 0.0002f}, {0.3127f, 0.329f}};
  TmPtr t(tmInit(TMF_QUIET, odd, 2.2));
  ASSERT_TRUE(t);
  ASSERT_EQ(t->monpri, odd);
  EXPECT_LT(t->clf[2], 0.001f);
  EXPECT_EQ(t->cdiv[2], 1);
  EXPECT_GT(t->cdiv[0], 1);
  const TMbright b[] = {0, 100};
  ASSERT_EQ(tmAddHisto(t.get(), b, 2, 1), 0);
  ASSERT_EQ(tmFixedMapping(t.get(), 1.0, 2.2), 0);
  const unsigned char cs[6] = {10, 20, 30, 40, 50, 60};
  unsigned char ps[6];
  EXPECT_EQ(tmMapPixels(t.get(), ps, b, cs, 2), 0);
}

TEST(TmErrors, QuietFlagRecordsWithoutPrinting) {
  TmPtr t = QuietTm();
  testing::internal::CaptureStderr();
  EXPECT_EQ(tmErrorReturn("tmSomething", t.get(), TMERR_NOMAP), TMERR_NOMAP);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(t->lastError, TMERR_NOMAP);
  EXPECT_STREQ(t->lastFunc, "tmSomething");
  t->flags &= ~TMF_QUIET;
  testing::internal::CaptureStderr();
  tmErrorReturn("tmOther", t.get(), TMERR_FILE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "tmOther: file cannot be opened or is the wrong type!\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(tmAddHisto(nullptr, nullptr, 0, 1), TMERR_INVALID);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "tmAddHisto: invalid tone mapping!\n");
}

TEST(TmHisto, RangeGrowsAndBinsCount) {
  TmPtr t = QuietTm();
  const TMbright low[] = {TM_NOBRT, -3000, -2049};
  EXPECT_EQ(tmAddHisto(t.get(), low, 3, 1), 0);
  EXPECT_EQ(t->histo, nullptr);  // nothing countable: still empty
  EXPECT_EQ(t->hbrmin, 10);
  const TMbright a[] = {-2048, 0, 7, 8, 100};
  ASSERT_EQ(tmAddHisto(t.get(), a, 5, 1), 0);
  EXPECT_EQ(t->hbrmin, -2048);
  EXPECT_EQ(t->hbrmax, 100);
  ASSERT_EQ(tmHistBins(t.get()), tmHistBin(100) - tmHistBin(-2048) + 1);
  EXPECT_EQ(t->histo[0], 1);
  EXPECT_EQ(t->histo[tmHistBin(0)], 2);  // 0 and 7 share a bin
  const TMbright b[] = {300, -500};
  ASSERT_EQ(tmAddHisto(t.get(), b, 2, 3), 0);
  EXPECT_EQ(t->hbrmax, 300);
  EXPECT_EQ(t->histo[tmHistBin(0)], 2);  // old counts move with the range
  EXPECT_EQ(t->histo[tmHistBin(300)], 3);
  const TMbright c[] = {1000};
  ASSERT_EQ(tmAddHisto(t.get(), c, 1, 0), 0);  // weight 0 only widens the range
  EXPECT_EQ(t->hbrmax, 1000);
  EXPECT_EQ(t->histo[tmHistBin(1000) - tmHistBin(-2048)], 0);
  EXPECT_EQ(tmAddHisto(t.get(), c, -1, 1), TMERR_ARGUMENT);
  tmClearHisto(t.get());
  EXPECT_EQ(t->histo, nullptr);
  EXPECT_EQ(t->hbrmax, 1000);  // the range stays until new data arrives
  const TMbright d[] = {50};
  ASSERT_EQ(tmAddHisto(t.get(), d, 1, 1), 0);
  EXPECT_EQ(t->hbrmin, 50);
  EXPECT_EQ(t->hbrmax, 50);
}

TEST(TmHisto, LargeInputsCountExactlyAsAPlainTally) {
  // Inputs of 4,096 samples and more are counted in interleaved partial histograms; every
  // bin must still equal a plain tally, whatever the length's remainder by four, uncountable
  // values included, and on top of counts already there.
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> pick(-2300, 900);
  for (int len : {4095, 4096, 4097, 4098, 4099, 10003}) {
    TmPtr t = QuietTm();
    const TMbright seed[] = {-2048, 900, 5};
    ASSERT_EQ(tmAddHisto(t.get(), seed, 3, 1), 0);
    std::vector<TMbright> ls(len);
    for (TMbright& b : ls) b = static_cast<TMbright>(pick(rng));
    ls[0] = TM_NOBRT;
    ls[len - 1] = 900;  // the last sample, counted after the interleaved loop
    ASSERT_EQ(tmAddHisto(t.get(), ls.data(), len, 1), 0);
    std::vector<int> want(tmHistBins(t.get()), 0);
    const int bin0 = tmHistBin(t->hbrmin);
    for (TMbright b : seed) want[tmHistBin(b) - bin0]++;
    for (TMbright b : ls)
      if (b >= TM_MINHISTBRT) want[tmHistBin(b) - bin0]++;
    ASSERT_EQ(std::vector<int>(t->histo, t->histo + want.size()), want) << len;
  }
}

TEST(TmHisto, CountsSaturateInsteadOfOverflowing) {
  TmPtr t = QuietTm();
  const TMbright b[] = {0, 0};
  ASSERT_EQ(tmAddHisto(t.get(), b, 2, INT32_MAX), 0);
  ASSERT_EQ(tmAddHisto(t.get(), b, 1, 1), 0);
  EXPECT_EQ(t->histo[0], INT32_MAX);
}

TEST(TmMapping, ErrorsWithoutUsableHistogram) {
  TmPtr t = QuietTm();
  EXPECT_EQ(tmComputeMapping(t.get(), 2.2, 32, 100), TMERR_INVALID);
  EXPECT_EQ(tmFixedMapping(t.get(), 1.0, 2.2), TMERR_MEMORY);  // empty range
  EXPECT_EQ(tmMapPixels(t.get(), nullptr, nullptr, nullptr, 0), TMERR_INVALID);
  const TMbright b[] = {0, 500};
  ASSERT_EQ(tmAddHisto(t.get(), b, 2, 0), 0);
  EXPECT_EQ(tmComputeMapping(t.get(), 2.2, 32, 100), TMERR_NOMAP);
  EXPECT_EQ(t->lastError, TMERR_NOMAP);
  EXPECT_STREQ(t->lastFunc, "tmComputeMapping");
  testing::internal::CaptureStderr();
  EXPECT_EQ(tmComputeMapping(nullptr, 2.2, 32, 100), TMERR_INVALID);
  testing::internal::GetCapturedStderr();
}

// The linear mapping tmComputeMapping falls back to, for a histogram without HCONTRAST.
std::vector<unsigned short> expectedLinear(const TMstruct* src, double Lddyn, double Ldmax) {
  TMstruct* c = tmDup(src);
  double histot = 0, brtsum = 0;
  int bin0 = tmHistBin(c->hbrmin);
  for (int k = 0; k < tmHistBins(c); k++) {
    histot += c->histo[k];
    brtsum += tmBinBright(bin0 + k) * (double)c->histo[k];
  }
  double Ldmin = Ldmax / Lddyn, Ldavg = std::sqrt(Ldmax * Ldmin);
  double Lwavg = std::exp(brtsum / histot / 128.0);
  EXPECT_EQ(tmFixedMapping(c, Ldavg / Lwavg * c->inpsf / Ldmax, 2.2), 0);
  std::vector<unsigned short> v(c->lumap, c->lumap + (c->mbrmax - c->mbrmin + 1));
  tmDone(c);
  return v;
}

TEST(TmMapping, NarrowOrSmallHistogramTakesLinearMapping) {
  struct Case {
    int flags, lo, hi, n;
  };
  const Case cases[] = {
      {0, 100, 500, 20000},              // a range under 128 ln 32 = 443.6 units
      {0, -1500, 3000, 600},             // a wide range but fewer than 700 counts
      {TMF_LINEAR, -1500, 3000, 50000},  // the flag forces it on one that would be adjusted
  };
  for (const Case& c : cases) {
    TmPtr t = QuietTm(c.flags);
    auto v = spread(c.lo, c.hi, c.n);
    ASSERT_EQ(tmAddHisto(t.get(), v.data(), (int)v.size(), 1), 0);
    auto want = expectedLinear(t.get(), 32, 100);
    ASSERT_EQ(tmComputeMapping(t.get(), 2.2, 32, 100), 0);
    ASSERT_EQ((size_t)(t->mbrmax - t->mbrmin + 1), want.size());
    EXPECT_TRUE(std::equal(want.begin(), want.end(), t->lumap)) << c.lo << " " << c.n;
  }
}

TEST(TmMapping, HistogramAdjustmentIsMonotonicFromZeroToTop) {
  for (int flags : {0, (int)TMF_HCONTRAST}) {
    TmPtr t = QuietTm(flags);
    auto v = spread(-1500, 3000, 200000, 7);
    ASSERT_EQ(tmAddHisto(t.get(), v.data(), (int)v.size(), 1), 0);
    ASSERT_EQ(tmComputeMapping(t.get(), 2.2, 32, 100), 0);
    int n = t->mbrmax - t->mbrmin + 1;
    EXPECT_EQ(t->mbrmin, -1500);
    EXPECT_EQ(t->mbrmax, 3000);
    EXPECT_EQ(t->lumap[0], 0);
    EXPECT_GE(t->lumap[n - 1], 255);
    EXPECT_LE(t->lumap[n - 1], 256);
    for (int i = 1; i < n; i++) ASSERT_LE(t->lumap[i - 1], t->lumap[i]) << flags << " " << i;
    // The adjusted curve differs from the linear one.
    auto lin = expectedLinear(t.get(), 32, 100);
    EXPECT_FALSE(std::equal(lin.begin(), lin.end(), t->lumap));
  }
}

TEST(TmMapping, FixedMappingFollowsExposureAndGamma) {
  TmPtr t = QuietTm();
  const TMbright b[] = {-300, 1000};
  ASSERT_EQ(tmAddHisto(t.get(), b, 2, 1), 0);
  ASSERT_EQ(tmFixedMapping(t.get(), 2.0, 2.2), 0);
  // Input value x (before inpsf) shows as (x * 2)^(1/2.2) of full display.
  for (double x : {0.01, 0.1, 0.3}) {
    int bright = tmCvLuminance(x * 179.0);
    double want = 256 * std::pow(std::exp(bright / 128.0) / 179.0 * 2.0, 1 / 2.2);
    EXPECT_NEAR(t->lumap[bright - t->mbrmin], want, 1.0);
  }
}

TEST(TmMapPixels, ClampsBelowAndAboveTheRange) {
  TmPtr t = QuietTm();
  const TMbright b[] = {-200, 400};
  ASSERT_EQ(tmAddHisto(t.get(), b, 2, 1), 0);
  ASSERT_EQ(tmFixedMapping(t.get(), 50.0, 2.2), 0);
  const int top = t->lumap[t->mbrmax - t->mbrmin];
  ASSERT_GT(top, 255);  // so the grey output must clip
  const TMbright in[] = {TM_NOBRT, -201, -200, 0, 400, 401, 32767};
  unsigned char grey[7];
  ASSERT_EQ(tmMapPixels(t.get(), grey, in, nullptr, 7), 0);
  EXPECT_THAT(grey, ElementsAre(0, 0, std::min(255, (int)t->lumap[0]), _, 255, 255, 255));
  unsigned char cs[21], ps[21];
  for (int i = 0; i < 21; i++) cs[i] = (unsigned char)(37 * i);
  ASSERT_EQ(tmMapPixels(t.get(), ps, in, cs, 7), 0);
  for (int i = 0; i < 7; i++) {
    int v = in[i] < t->mbrmin ? 0 : t->lumap[std::min<int>(in[i], t->mbrmax) - t->mbrmin];
    for (int c = 0; c < 3; c++)
      EXPECT_EQ(ps[3 * i + c], std::min(255, v * cs[3 * i + c] / t->cdiv[c])) << i << c;
  }
  EXPECT_EQ(tmMapPixels(t.get(), ps, in, cs, -1), TMERR_ARGUMENT);
}

TEST(TmMapPixels, FastKernelAgreesWithPlain) {
  // Every chroma byte with a sweep of display values, for several divisor sets.
  for (double gam : {1.0, 1.8, 2.2, 2.6}) {
    TmPtr t = QuietTm(0, gam);
    const TMbright b[] = {-3000, 3000};
    ASSERT_EQ(tmAddHisto(t.get(), b, 2, 1), 0);
    ASSERT_EQ(tmFixedMapping(t.get(), 1.0, gam), 0);
    const int n = 6001 * 4;
    std::vector<TMbright> ls(n);
    std::vector<unsigned char> cs(3 * n), a(3 * n), p(3 * n);
    std::mt19937 rng(3);
    for (int i = 0; i < n; i++) {
      ls[i] = (TMbright)(-3000 + i % 6001);
      for (int c = 0; c < 3; c++) cs[3 * i + c] = (unsigned char)rng();
    }
    ASSERT_EQ(tmMapPixels(t.get(), a.data(), ls.data(), cs.data(), n), 0);
    ASSERT_EQ(tmMapPixelsPlain(t.get(), p.data(), ls.data(), cs.data(), n), 0);
    EXPECT_EQ(a, p) << gam;
    ASSERT_EQ(tmMapPixels(t.get(), a.data(), ls.data(), nullptr, n), 0);
    ASSERT_EQ(tmMapPixelsPlain(t.get(), p.data(), ls.data(), nullptr, n), 0);
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + n, p.begin()));
  }
  // The reciprocal division is exact for every numerator and divisor it is used with.
  for (uint64_t d = 1; d < 65536; d += (d < 300 ? 1 : 97)) {
    uint64_t m = ((uint64_t)1 << 40) / d + (((uint64_t)1 << 40) % d != 0);
    for (uint64_t x = 0; x < 65536 * 256; x += (x % 65536 < 600 ? 1 : 4093))
      ASSERT_EQ((x * m) >> 40, x / d) << x << "/" << d;
  }
}

TEST(TmDup, CopiesTablesButNotPackageData) {
  TmPtr t = QuietTm();
  auto v = spread(-500, 1500, 5000);
  ASSERT_EQ(tmAddHisto(t.get(), v.data(), (int)v.size(), 1), 0);
  ASSERT_EQ(tmComputeMapping(t.get(), 2.2, 32, 100), 0);
  t->pd[0] = malloc(4);  // stands for package data; must not be shared
  TmPtr c(tmDup(t.get()));
  free(t->pd[0]);
  t->pd[0] = nullptr;
  ASSERT_TRUE(c);
  EXPECT_NE(c->histo, t->histo);
  EXPECT_NE(c->lumap, t->lumap);
  EXPECT_EQ(c->pd[0], nullptr);
  int n = tmHistBins(t.get());
  EXPECT_TRUE(std::equal(t->histo, t->histo + n, c->histo));
  EXPECT_TRUE(std::equal(t->lumap, t->lumap + (t->mbrmax - t->mbrmin + 1), c->lumap));
  EXPECT_EQ(tmDup(nullptr), nullptr);
}

TEST(TmMesofact, TableRunsFromScotopicToPhotopic) {
  tmMkMesofact();
  EXPECT_EQ(tmMesofact[0], 0);
  EXPECT_GT(tmMesofact[TM_MESOTOP - TM_MESOBOT], 250);
  for (int i = 1; i <= TM_MESOTOP - TM_MESOBOT; i++) ASSERT_LE(tmMesofact[i - 1], tmMesofact[i]);
}

TEST(TmHcontrast, ThresholdRisesWithAdaptation) {
  double prev = 0;
  for (double La = 1e-4; La < 1e6; La *= 1.5) {
    double t = htcontrs(La);
    EXPECT_GT(t, prev * 0.999) << La;
    prev = t;
  }
}

// Converts a fixed scanline with every packed and float input; the tables and package
// numbers are built on first use.
std::vector<int> convertAll(double gamma) {
  TMstruct* t = tmInit(TMF_QUIET, nullptr, gamma);
  std::vector<int> out;
  const unsigned char colrs[4][4] = {
      {10, 200, 30, 130}, {1, 2, 3, 120}, {0, 0, 0, 0}, {255, 255, 255, 140}};
  const COLOR cols[2] = {{0.1f, 0.5f, 0.9f}, {3.0f, 2.0f, 1.0f}};
  const uint32_t luvs[2] = {(17000u << 16) | 0x60B0, (15000u << 16) | 0x56C2};
  TMbright ls[4];
  unsigned char cs[12];
  auto keep = [&](int n) {
    out.insert(out.end(), ls, ls + n);
    out.insert(out.end(), cs, cs + 3 * n);
  };
  tmCvColrs(t, ls, cs, colrs, 4);
  keep(4);
  tmCvColors(t, ls, cs, cols, 2);
  keep(2);
  tmSetSpace(t, nullptr, 1.0, nullptr);
  tmCvLuv32(t, ls, cs, luvs, 2);
  keep(2);
  tmCvLuv24(t, ls, cs, luvs, 2);
  keep(2);
  tmDone(t);
  return out;
}

TEST(TmThreads, FirstUseFromManyThreadsBuildsTablesOnce) {
  const double gammas[] = {1.8, 2.2, 2.6, 2.2, 1.8, 2.6, 2.2, 1.0};
  std::vector<std::vector<int>> got(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; i++) threads.emplace_back([&, i] { got[i] = convertAll(gammas[i]); });
  for (auto& th : threads) th.join();
  for (int i = 0; i < 8; i++) EXPECT_EQ(got[i], convertAll(gammas[i])) << i;
  EXPECT_EQ(got[1], got[3]);
}

// Fills the package registry and checks that a converter then fails with code 6.
int fillRegistryAndConvert() {
  static TMpackage dummy = {[](TMstruct*) -> void* { return nullptr; }, nullptr, free};
  while (tmRegisterPackage(&dummy) >= 0) {
  }
  TMstruct* t = tmInit(TMF_QUIET, nullptr, 2.2);
  const unsigned char px[1][4] = {{128, 128, 128, 128}};
  TMbright b;
  int err = tmCvColrs(t, &b, nullptr, px, 1);
  tmDone(t);
  return err;
}

TEST(TmPackagesDeathTest, NinthRegistrationFailsWithConsistencyError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exit(fillRegistryAndConvert()), testing::ExitedWithCode(TMERR_CONSIST1), "");
}

}  // namespace
