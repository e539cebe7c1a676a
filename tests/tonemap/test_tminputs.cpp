// Tone-mapping pixel inputs: input space, float, 16-bit, 48-bit and RGBE converters, and the
// agreement of the fast paths with the plain ones.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "picture/rgbe.h"
#include "tonemap/tmprivate.h"
#include "tm_test_util.h"
#include "tonemap/tonemap.h"

namespace {

using tmtest::QuietTm;
using tmtest::SpaceTm;
using tmtest::TmPtr;

const RGBPRIMS rec709 = {{0.64f, 0.33f}, {0.30f, 0.60f}, {0.15f, 0.06f}, {0.3127f, 0.329f}};

// Runs f with the vector kernels and fast paths off, then restores them.
template <class F>
void plainly(F f) {
  tmUseVectorKernels = false;
  f();
  tmUseVectorKernels = true;
}

// Brightnesses and chroma bytes further than the given steps from those of the float path, for
// pixels the float path gives a brightness.
int countApart(const std::vector<TMbright>& ls, const std::vector<unsigned char>& cs,
               const std::vector<TMbright>& lf, const std::vector<unsigned char>& cf, int ltol,
               int ctol) {
  int bad = 0;
  for (size_t i = 0; i < ls.size(); i++) {
    if (lf[i] == TM_NOBRT) continue;
    bad += std::abs(ls[i] - lf[i]) > ltol;
    for (int c = 0; c < 3; c++) bad += std::abs(cs[3 * i + c] - cf[3 * i + c]) > ctol;
  }
  return bad;
}

TEST(TmSetSpace, NearDisplayPrimariesTakeTheDirectPath) {
  TmPtr t = QuietTm();
  RGBPRIMS near;
  memcpy(near, stdprims, sizeof near);
  near[1][0] += 5e-6f;
  ASSERT_EQ(tmSetSpace(t.get(), near, 1.0, nullptr), 0);
  EXPECT_EQ(t->inppri, t->monpri);
  near[1][0] += 1e-3f;
  ASSERT_EQ(tmSetSpace(t.get(), near, 1.0, nullptr), 0);
  EXPECT_EQ(t->inppri, near);
}

TEST(TmSetSpace, RejectsBadScaleAndPrimariesWithoutChange) {
  TmPtr t = QuietTm();
  EXPECT_EQ(tmSetSpace(t.get(), nullptr, 1e-13, nullptr), TMERR_ARGUMENT);
  EXPECT_EQ(tmSetSpace(t.get(), nullptr, std::nan(""), nullptr), TMERR_ARGUMENT);
  static const RGBPRIMS zero = {};
  EXPECT_EQ(tmSetSpace(t.get(), zero, 1.0, nullptr), TMERR_ARGUMENT);
  EXPECT_EQ(t->inppri, t->monpri);
  EXPECT_DOUBLE_EQ(t->inpsf, 179.0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(tmSetSpace(nullptr, nullptr, 1.0, nullptr), TMERR_INVALID);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "tmSetSpace: invalid tone mapping!\n");
}

TEST(TmSetSpace, XyzInputMapsWhiteToDisplayWhite) {
  TmPtr t = SpaceTm(nullptr, 1.0);
  const COLOR white = {1.0f, 1.0f, 1.0f};  // equal-energy white, Y = 1
  COLOR rgb;
  colortrans(rgb, t->cmat, white);
  for (int c = 0; c < 3; c++) EXPECT_NEAR(rgb[c], 1.0, 2e-3);
}

TEST(TmCvColors, BadComponentsCountAsZeroAndBlackIsNeutral) {
  TmPtr t = SpaceTm(stdprims, 1.0);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const COLOR in[] = {{0.5f, 0.5f, 0.5f},       {0.5f, nan, 0.5f},  {0.5f, 0.0f, 0.5f},
                      {-nan, 0.5f, -inf},       {0.0f, 0.5f, 0.0f}, {0, 0, 0},
                      {1e-18f, 1e-18f, 1e-18f}, {inf, inf, inf}};
  TMbright ls[8];
  unsigned char cs[24];
  ASSERT_EQ(tmCvColors(t.get(), ls, cs, in, 8), 0);
  EXPECT_EQ(ls[1], ls[2]);
  EXPECT_EQ(0, memcmp(cs + 3, cs + 6, 3));
  EXPECT_EQ(ls[3], ls[4]);
  EXPECT_EQ(0, memcmp(cs + 9, cs + 12, 3));
  for (int i : {5, 6, 7}) {
    EXPECT_EQ(ls[i], TM_NOBRT) << i;
    EXPECT_EQ(0, memcmp(cs + 3 * i, cs, 3)) << i;  // same chroma as a grey pixel
  }
  EXPECT_EQ(ls[0], tmCvLuminance(0.5));
  EXPECT_EQ(tmCvColors(t.get(), ls, cs, in, -1), TMERR_ARGUMENT);
  EXPECT_EQ(tmCvColors(t.get(), nullptr, cs, in, 1), TMERR_ARGUMENT);
}

TEST(TmCvColors, VectorKernelAgreesWithPlainCode) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> lg(-30.0f, 30.0f);
  const int n = 4099;  // not a multiple of 8
  std::vector<float> in(3 * n);
  for (auto& v : in) v = std::exp(lg(rng)) * (rng() % 7 == 0 ? -1.0f : 1.0f);
  const float specials[] = {0.0f,
                            -0.0f,
                            std::numeric_limits<float>::quiet_NaN(),
                            -std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            3.4e38f,
                            1e-30f};
  for (int i = 0; i < 300; i++) in[rng() % (3 * n)] = specials[i % 7];
  for (RGBPRIMP pri : {(RGBPRIMP)stdprims, (RGBPRIMP)rec709, (RGBPRIMP) nullptr}) {
    TmPtr t = SpaceTm(pri, 179.0);
    std::vector<TMbright> la(n), lp(n);
    std::vector<unsigned char> ca(3 * n), cp(3 * n);
    ASSERT_EQ(tmCvColors(t.get(), la.data(), ca.data(), (const COLOR*)in.data(), n), 0);
    plainly([&] { tmCvColors(t.get(), lp.data(), cp.data(), (const COLOR*)in.data(), n); });
    EXPECT_EQ(la, lp);
    EXPECT_EQ(ca, cp);
    ASSERT_EQ(tmCvColors(t.get(), la.data(), nullptr, (const COLOR*)in.data(), n), 0);
    EXPECT_EQ(la, lp);
  }
}

TEST(TmCvColors, MesopicDimPixelsLoseColour) {
  TmPtr t = SpaceTm(stdprims, 1.0, TMF_MESOPIC);
  const COLOR in[] = {{0.004f, 0.0001f, 0.0001f}, {40.0f, 1.0f, 1.0f}};  // dim and bright red
  TMbright ls[2];
  unsigned char cs[6];
  ASSERT_EQ(tmCvColors(t.get(), ls, cs, in, 2), 0);
  // Scotopic vision: all three channels carry the same value.
  int s = (int)(cs[0] * 1.0 / t->cdiv[0] * 1000), g = (int)(cs[1] * 1.0 / t->cdiv[1] * 1000);
  EXPECT_NEAR(s, g, 30);
  EXPECT_GT(cs[3] * 1.0 / t->cdiv[0], 4 * cs[4] * 1.0 / t->cdiv[1]);
}

TEST(TmCvLums, EncodesNaNOfEitherSignAsNoBrightness) {
  uint32_t bits[] = {0x7FC00000u, 0xFFC00000u, 0xFFFFFFFFu, 0x7F800000u, 0xBF800000u};
  float in[6];
  memcpy(in, bits, sizeof bits);
  in[5] = 1.0f;
  TMbright ls[6];
  ASSERT_EQ(tmCvLums(ls, in, 6), 0);
  for (int i = 0; i < 5; i++) EXPECT_EQ(ls[i], TM_NOBRT) << i;
  EXPECT_EQ(ls[5], 0);
  EXPECT_EQ(tmCvLums(nullptr, in, 1), TMERR_ARGUMENT);
  TmPtr t = SpaceTm(stdprims, 2.0);
  ASSERT_EQ(tmCvGrays(t.get(), ls, in, 6), 0);
  for (int i = 0; i < 5; i++) EXPECT_EQ(ls[i], TM_NOBRT) << i;
  EXPECT_EQ(ls[5], tmCvLuminance(2.0));
}

TEST(TmCvLums, TableMatchesDirectEncodingWithinOneUnit) {
  std::vector<float> in;
  for (double l = 1e-16; l < 1e37; l *= 1.37) in.push_back((float)l);
  std::vector<TMbright> ls(in.size());
  ASSERT_EQ(tmCvLums(ls.data(), in.data(), (int)in.size()), 0);
  for (size_t i = 0; i < in.size(); i++) EXPECT_NEAR(ls[i], tmCvLuminance(in[i]), 1) << in[i];
}

TEST(TmCvGray16, LogTableEncodingFollowsGamma) {
  TmPtr t = SpaceTm(stdprims, 1.0);
  const unsigned short in[] = {0, 65535, 1, 300, 32768, 40000};
  TMbright ls[6];
  ASSERT_EQ(tmCvGray16(t.get(), ls, in, 6, 1.0), 0);
  EXPECT_EQ(ls[0], TM_NOBRT);
  EXPECT_EQ(ls[1], 0);
  for (int i = 2; i < 6; i++) EXPECT_NEAR(ls[i], tmCvLuminance(in[i] / 65536.0), 1) << in[i];
  ASSERT_EQ(tmSetSpace(t.get(), stdprims, 50.0, nullptr), 0);
  ASSERT_EQ(tmCvGray16(t.get(), ls, in, 6, 0.0), 0);  // gamma 0 means 2.2
  for (int i = 2; i < 6; i++)
    EXPECT_NEAR(ls[i], tmCvLuminance(50.0 * std::pow(in[i] / 65536.0, 2.2)), 2) << in[i];
}

TEST(TmCvRGB48, TablePathAgreesWithFloatConversion) {
  std::mt19937 rng(5);
  const int n = 2000;
  std::vector<unsigned short> px(3 * n);
  // Components within a factor 16 of each other: the table path keeps 9 bits of each
  // component normalised by the largest one.
  for (int i = 0; i < n; i++) {
    unsigned top = 4096 + rng() % 61440;
    for (int c = 0; c < 3; c++) px[3 * i + c] = (unsigned short)(top / (1 + rng() % 16));
  }
  px[0] = px[1] = px[2] = 0;
  for (double gv : {1.0, 2.2}) {
    TmPtr t = SpaceTm(stdprims, 100.0);
    std::vector<TMbright> ls(n), lf(n);
    std::vector<unsigned char> cs(3 * n), cf(3 * n);
    ASSERT_EQ(
        tmCvRGB48(t.get(), ls.data(), cs.data(), (const unsigned short(*)[3])px.data(), n, gv), 0);
    std::vector<float> fl(3 * n);
    for (int i = 0; i < 3 * n; i++) fl[i] = (float)std::pow(px[i] / 65536.0, gv);
    for (int c = 0; c < 3; c++) fl[c] = 0;
    ASSERT_EQ(tmCvColors(t.get(), lf.data(), cf.data(), (const COLOR*)fl.data(), n), 0);
    EXPECT_EQ(ls[0], TM_NOBRT);
    EXPECT_LE(countApart(ls, cs, lf, cf, 3, 4), n / 100) << gv;
  }
}

TEST(TmCvRGB48, OtherPrimariesConvertAsTheirFloatValues) {
  // Input primaries other than the display's go through float colour (in the scratch
  // buffer): with gamma 1 exactly the values v / 65536, from several threads at once.
  const int n = 3000;
  std::vector<unsigned short> px(3 * n);
  std::mt19937 rng(8);
  for (unsigned short& v : px) v = (unsigned short)(rng() & 0xFFFF);
  std::vector<float> fl(3 * n);
  for (int i = 0; i < 3 * n; i++) fl[i] = px[i] * (1.0f / 65536.0f);
  auto convert = [&](bool packed, std::vector<TMbright>* ls, std::vector<unsigned char>* cs) {
    TmPtr t = SpaceTm(rec709, 100.0);
    ls->assign(n, 0);
    cs->assign(3 * n, 0);
    return packed ? tmCvRGB48(t.get(), ls->data(), cs->data(),
                              (const unsigned short(*)[3])px.data(), n, 1.0)
                  : tmCvColors(t.get(), ls->data(), cs->data(), (const COLOR*)fl.data(), n);
  };
  std::vector<TMbright> lf;
  std::vector<unsigned char> cf;
  ASSERT_EQ(convert(false, &lf, &cf), 0);
  std::vector<std::vector<TMbright>> ls(4);
  std::vector<std::vector<unsigned char>> cs(4);
  std::vector<int> err(4);
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; k++)
    threads.emplace_back([&, k] { err[k] = convert(true, &ls[k], &cs[k]); });
  for (auto& th : threads) th.join();
  for (int k = 0; k < 4; k++) {
    EXPECT_EQ(err[k], 0);
    EXPECT_EQ(ls[k], lf) << k;
    EXPECT_EQ(cs[k], cf) << k;
  }
}

TEST(TmCvColrs, AgreesWithFloatConversionOfTheSamePixels) {
  std::mt19937 rng(9);
  const int n = 3000;
  std::vector<unsigned char> px(4 * n);
  std::vector<float> fl(3 * n);
  for (int i = 0; i < n; i++) {
    double l = std::exp((int)(rng() % 4000) / 100.0 - 20.0);
    setcolr(&px[4 * i], l * (rng() % 100) / 100.0, l, l * (rng() % 100) / 100.0);
    colr_color(&fl[3 * i], &px[4 * i]);
  }
  for (RGBPRIMP pri : {(RGBPRIMP)stdprims, (RGBPRIMP)rec709}) {
    TmPtr t = SpaceTm(pri, 179.0);
    std::vector<TMbright> lc(n), lf(n), lp(n);
    std::vector<unsigned char> cc(3 * n), cf(3 * n), cp(3 * n);
    ASSERT_EQ(tmCvColrs(t.get(), lc.data(), cc.data(), (const unsigned char(*)[4])px.data(), n), 0);
    ASSERT_EQ(tmCvColors(t.get(), lf.data(), cf.data(), (const COLOR*)fl.data(), n), 0);
    plainly(
        [&] { tmCvColrs(t.get(), lp.data(), cp.data(), (const unsigned char(*)[4])px.data(), n); });
    EXPECT_EQ(lc, lp);  // fast path and plain path agree exactly
    EXPECT_EQ(cc, cp);
    EXPECT_LE(countApart(lc, cc, lf, cf, 2, 6), n / 50);
  }
}

TEST(TmCvColrs, BlackPixelStaysBelowTheHistogram) {
  TmPtr t = QuietTm();
  const unsigned char px[2][4] = {{0, 0, 0, 0}, {0, 0, 0, 200}};
  TMbright ls[2];
  unsigned char cs[6];
  ASSERT_EQ(tmCvColrs(t.get(), ls, cs, px, 2), 0);
  EXPECT_LT(ls[0], TM_MINHISTBRT);
  EXPECT_GT(ls[1], ls[0]);
  EXPECT_EQ(cs[0], cs[3]);
}

TEST(TmColrChromaIndex, ReciprocalDivisionIsExact) {
  TmPtr t = QuietTm();
  const unsigned char px[1][4] = {{1, 1, 1, 128}};
  TMbright b;
  ASSERT_EQ(tmCvColrs(t.get(), &b, nullptr, px, 1), 0);  // builds the tables
  for (int m = 1; m < 256; m++)
    for (int64_t y = 0; y < (1 << 24); y += (y < 70000 ? 1 : 997))
      ASSERT_EQ(tmColrChromaIndex(y, m), tmColrChromaIndexPlain(y, m)) << y << " " << m;
}

}  // namespace
