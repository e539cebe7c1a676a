// False colour maps and the byte-colour operations on RGBE scanlines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tonemap/falsecolor.h"
#include "tonemap/tmcolrops.h"
#include "tm_test_util.h"
#include "tonemap/tonemap.h"

namespace {

struct FcDeleter {
  void operator()(FCstruct* f) const { fcDone(f); }
};
using FcPtr = std::unique_ptr<FCstruct, FcDeleter>;
using ::testing::_;
using ::testing::ElementsAre;
using tmtest::QuietTm;
using tmtest::TmPtr;

TEST(FalseColour, FixedMapsAndWhatIsLogarithmic) {
  FcPtr f(fcInit(nullptr));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->scale, fcDefaultScale);
  EXPECT_EQ(fcIsLogMap(f.get()), -1);  // no map yet
  EXPECT_EQ(fcIsLogMap(nullptr), -1);
  ASSERT_EQ(fcFixedLinear(f.get(), 1000.0), 0);
  EXPECT_EQ(fcIsLogMap(f.get()), 0);
  EXPECT_EQ(f->mbrmax, tmCvLuminance(1000.0));
  EXPECT_EQ(f->lumap[f->mbrmax - f->mbrmin], 255);
  // Half of the top luminance sits half way up the linear scale.
  EXPECT_NEAR(f->lumap[tmCvLuminance(500.0) - f->mbrmin], 128, 1);
  ASSERT_EQ(fcFixedLog(f.get(), 0.01, 1000.0), 0);
  EXPECT_EQ(fcIsLogMap(f.get()), 1);
  EXPECT_EQ(f->lumap[0], 0);
  EXPECT_LE(f->lumap[f->mbrmax - f->mbrmin], 255);
  EXPECT_NEAR(f->lumap[tmCvLuminance(std::sqrt(10.0)) - f->mbrmin], 128, 1);
}

TEST(FalseColour, BadLimitsAreRefused) {
  FcPtr f(fcInit(nullptr));
  ASSERT_EQ(fcFixedLinear(f.get(), 100.0), 0);
  const TMbright keep = f->mbrmax;
  EXPECT_EQ(fcFixedLinear(f.get(), 1e-7), TMERR_ARGUMENT);
  EXPECT_EQ(f->mbrmax, keep);  // the old map stays
  ASSERT_NE(f->lumap, nullptr);
  EXPECT_EQ(fcFixedLinear(f.get(), INFINITY), TMERR_ARGUMENT);
  EXPECT_EQ(fcFixedLog(f.get(), 5.0, 5.0), TMERR_ARGUMENT);
  EXPECT_NE(f->lumap, nullptr);                                // refused before anything was freed
  EXPECT_EQ(fcFixedLog(f.get(), 5.0, 5.001), TMERR_ARGUMENT);  // same brightness: no map
  EXPECT_EQ(f->lumap, nullptr);
  unsigned char out[3];
  const TMbright b = 0;
  EXPECT_EQ(fcMapPixels(f.get(), out, &b, 1), TMERR_ARGUMENT);
  EXPECT_EQ(fcFixedLinear(nullptr, 10.0), TMERR_ARGUMENT);
}

TEST(FalseColour, PixelsBelowAndAboveTheMap) {
  FcPtr f(fcInit(nullptr));
  ASSERT_EQ(fcFixedLog(f.get(), 1.0, 100.0), 0);
  const TMbright ls[] = {TM_NOBRT, -1, 0, 32767, (TMbright)tmCvLuminance(100.0)};
  unsigned char out[15];
  ASSERT_EQ(fcMapPixels(f.get(), out, ls, 5), 0);
  const int want[5] = {0, 0, 0, 255, f->lumap[f->mbrmax - f->mbrmin]};  // scale entries
  for (int i = 0; i < 5; i++) EXPECT_EQ(0, memcmp(out + 3 * i, fcDefaultScale[want[i]], 3)) << i;
  FcPtr d(fcDup(f.get()));
  ASSERT_NE(d->lumap, f->lumap);
  EXPECT_EQ(fcIsLogMap(d.get()), 1);
  EXPECT_EQ(0, memcmp(d->lumap, f->lumap, f->mbrmax - f->mbrmin + 1));
}

// A histogram of 100 counts in each of 100 bins from brightness -400 upward.
TmPtr evenHistogram() {
  TmPtr t = QuietTm();
  std::vector<TMbright> ls;
  for (int k = 0; k < 100; k++)
    for (int j = 0; j < 100; j++) ls.push_back((TMbright)(-400 + 8 * k));
  EXPECT_EQ(tmAddHisto(t.get(), ls.data(), (int)ls.size(), 1), 0);
  return t;
}

TEST(FalseColour, PercentileLimitsComeFromTheHistogram) {
  TmPtr t = evenHistogram();
  const int bin0 = tmHistBin(t->hbrmin);
  FcPtr f(fcInit(nullptr));
  // 5% of 10000 counts is 500: the top limit is the sixth bin from the top.
  ASSERT_EQ(fcLinearMapping(f.get(), t.get(), 5.0), 0);
  EXPECT_EQ(f->mbrmax, tmCvLuminance(std::exp(tmBinBright(bin0 + 94) / 128.0)));
  ASSERT_EQ(fcLogMapping(f.get(), t.get(), 5.0), 0);
  EXPECT_EQ(fcIsLogMap(f.get()), 1);
  EXPECT_EQ(f->mbrmin, tmBinBright(bin0 + 5));
  EXPECT_EQ(f->mbrmax, tmBinBright(bin0 + 94));
  ASSERT_EQ(fcLogMapping(f.get(), t.get(), 0.0), 0);
  EXPECT_EQ(f->mbrmin, tmBinBright(bin0));
  EXPECT_EQ(f->mbrmax, tmBinBright(bin0 + 99));
  EXPECT_EQ(fcLinearMapping(f.get(), t.get(), 50.0), TMERR_ARGUMENT);
  EXPECT_EQ(fcLinearMapping(f.get(), t.get(), -1.0), TMERR_ARGUMENT);
  TmPtr empty = QuietTm();
  EXPECT_EQ(fcLogMapping(f.get(), empty.get(), 1.0), TMERR_ARGUMENT);
}

TEST(FalseColour, OneBinHistogramHasNoMapping) {
  TmPtr t = QuietTm();
  const TMbright ls[] = {100, 101, 102, 100};
  ASSERT_EQ(tmAddHisto(t.get(), ls, 4, 1), 0);
  FcPtr f(fcInit(nullptr));
  EXPECT_EQ(fcLinearMapping(f.get(), t.get(), 1.0), TMERR_NOMAP);
  EXPECT_EQ(fcLogMapping(f.get(), t.get(), 1.0), TMERR_NOMAP);
}

int gambsBeforeSetup() {
  unsigned char px[1][4] = {{128, 64, 32, 128}};
  return colrs_gambs(px, 1) == -1 && gambs_colrs(px, 1) == -1 ? 0 : 1;
}

TEST(ColrOpsDeathTest, GammaBytesNeedTheirTables) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, tables unset
  EXPECT_EXIT(exit(gambsBeforeSetup()), testing::ExitedWithCode(0), "");
}

TEST(ColrOps, GammaBytesRoundTrip) {
  ASSERT_EQ(setcolrgam(2.2), 0);
  unsigned char px[4][4] = {{128, 64, 32, 128}, {200, 100, 50, 130}, {0, 0, 0, 0}, {255, 1, 1, 60}};
  unsigned char orig[4][4];
  memcpy(orig, px, sizeof px);
  ASSERT_EQ(colrs_gambs(px, 4), 0);
  // 128/256 at exponent 0 shows as 256 (0.502)^(1/2.2).
  EXPECT_NEAR(px[0][0], 256 * std::pow(128.5 / 256, 1 / 2.2), 1);
  EXPECT_EQ(px[0][3], 128);
  EXPECT_EQ(px[1][0], 255);  // 200/256 * 4 clips
  EXPECT_EQ(px[2][0], 0);
  EXPECT_EQ(px[3][0], 0);  // far below the darkest step
  ASSERT_EQ(gambs_colrs(px, 2), 0);
  float a[3], b[3];
  colr_color(a, orig[0]);
  colr_color(b, px[0]);
  for (int c = 0; c < 3; c++) EXPECT_NEAR(b[c], a[c], 0.03 * a[c] + 0.003) << c;
}

TEST(ColrOps, ExponentShifts) {
  unsigned char px[3][4] = {{10, 20, 30, 5}, {10, 20, 30, 130}, {100, 50, 25, 126}};
  shiftcolrs(px, 2, -5);
  EXPECT_THAT(px[0], ElementsAre(0, 0, 0, 0));
  EXPECT_EQ(px[1][3], 125);
  unsigned char n[1][4] = {{100, 50, 25, 126}};
  normcolrs(n, 1, 0);  // to exponent 128: mantissas halve twice, rounded
  EXPECT_THAT(n[0], ElementsAre(25, 13, 6, 128));
  unsigned char u[1][4] = {{100, 50, 25, 130}};
  normcolrs(u, 1, 0);
  EXPECT_THAT(u[0], ElementsAre(255, 202, _, _));  // 202 = (2 * 50 + 1) << 1
}

}  // namespace
