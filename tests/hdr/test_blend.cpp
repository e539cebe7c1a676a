// Two-band blending of panorama overlaps: edge strength, the seam and stretch carried from
// line to line, the choice of rows or columns, and overlaps that are black or narrow.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "hdr/pblendpano.h"

namespace {

// A line of n XYZ samples with value v(i) in every channel.
template <typename F>
std::vector<float> Line(int n, F v) {
  std::vector<float> l(3 * n);
  for (int i = 0; i < n; i++) l[3 * i] = l[3 * i + 1] = l[3 * i + 2] = v(i);
  return l;
}

struct LineBlend {
  std::vector<float> out;
  int seam, low;
};

LineBlend Blend(const std::vector<float>& hA, const std::vector<float>& hB, int seam, int low) {
  const int n = static_cast<int>(hA.size() / 3);
  const std::vector<float> ones = Line(n, [](int) { return 1.f; });
  LineBlend b{std::vector<float>(3 * n), seam, low};
  EXPECT_EQ(blendLine3(b.out.data(), &b.seam, &b.low, hA.data(), ones.data(), hB.data(),
                       ones.data(), 3, n),
            1);
  return b;
}

TEST(Blend, EdgeStrengthOfShortAndStepLines) {
  std::vector<float> in(24, 1.f), out(24, 5.f);
  in[12] = 10;
  EXPECT_EQ(compEdge(out.data(), in.data(), 1, 24), 0);
  for (float v : out) EXPECT_EQ(v, 0.f);

  std::vector<float> step(100);
  for (int i = 0; i < 100; i++) step[i] = i < 50 ? 1.f : 4.f;
  std::vector<float> e(100);
  EXPECT_GT(compEdge(e.data(), step.data(), 1, 100), 0);
  EXPECT_LT(e[50], -0.75f);  // rising to the right: negative
  EXPECT_EQ(e[10], 0.f);     // flat: no edge
  EXPECT_EQ(e[5], 0.f);      // within the filter's reach of the end: not computed
}

TEST(Blend, ShortLinesCrossFadeBothBands) {
  const int n = 20;
  const auto hA = Line(n, [](int) { return 1.f; });
  const auto hB = Line(n, [](int) { return 4.f; });
  const LineBlend b = Blend(hA, hB, -1, 0);
  EXPECT_EQ(b.seam, -1);
  EXPECT_NEAR(b.out[0], 1.f, 1e-5);
  EXPECT_NEAR(b.out[3 * (n - 1)], 4.f, 1e-4);
  for (int i = 1; i < n; i++) EXPECT_GT(b.out[3 * i], b.out[3 * (i - 1)]);
  // With a known seam: half a cut there, half a cross-fade.
  const LineBlend c = Blend(hA, hB, 10, 0);
  EXPECT_EQ(c.seam, -1);
  EXPECT_NEAR(c.out[3 * 9] * c.out[3 * 9], b.out[3 * 9] * 1.f, 1e-4);
  EXPECT_NEAR(c.out[3 * 10] * c.out[3 * 10], b.out[3 * 10] * 4.f, 1e-3);
}

TEST(Blend, SharedEdgeGivesTheSeamInEveryLine) {
  const int n = 120;
  const auto edge = Line(n, [](int i) { return i < 70 ? 1.f : 3.f; });
  int seam = -1, low = 0;
  for (int line = 0; line < 20; line++) {
    const LineBlend b = Blend(edge, edge, seam, low);
    seam = b.seam;
    low = b.low;
    EXPECT_NEAR(seam, 70, 1);
    EXPECT_EQ(low, 0);
  }
}

TEST(Blend, SeamMovesOf56CutAndOf57Average) {
  const int n = 200;
  const auto hA = Line(n, [](int i) { return i < 130 ? 1.f : 3.f; });
  const auto hB = Line(n, [](int i) { return i < 130 ? 1.2f : 3.6f; });
  const int s = Blend(hA, hB, -1, 0).seam;
  ASSERT_GT(s, 120);
  const LineBlend cut = Blend(hA, hB, s - 56, 0);
  EXPECT_EQ(cut.seam, s);
  EXPECT_NEAR(cut.out[3 * (s - 30)], 1.f, 1e-5);  // the first image up to the new seam
  EXPECT_NEAR(cut.out[3 * (s + 5)], 3.6f, 1e-4);  // the second from it on
  const LineBlend mean = Blend(hA, hB, s - 57, 0);
  EXPECT_EQ(mean.seam, s);
  EXPECT_NEAR(mean.out[3 * (s - 30)], std::sqrt(1.2f), 1e-4);  // between the two cuts
  EXPECT_NEAR(mean.out[3 * (s - 60)], 1.f, 1e-5);              // before both
}

TEST(Blend, StretchStaysWithinTwelvePercent) {
  // Edges 20 samples apart keep pulling the stretch one way.
  const int n = 100;
  const auto hA = Line(n, [](int i) { return i < 40 ? 1.f : 3.f; });
  const auto hB = Line(n, [](int i) { return i < 60 ? 1.f : 3.f; });
  int seam = -1, low = 0, most = 0;
  for (int line = 0; line < 40; line++) {
    const LineBlend b = Blend(hA, hB, seam, low);
    seam = b.seam;
    low = b.low;
    EXPECT_LE(std::abs(low), 12);
    most = std::max(most, std::abs(low));
  }
  EXPECT_GT(most, 0);
}

TEST(Blend, OneSampleLineTakesHalfWeight) {
  const float src = 4.f;
  float dst = 0.f;
  blendInto(&dst, 0, &src, 1, 1, 1, 0, -1);
  EXPECT_FLOAT_EQ(dst, 2.f);
}

struct Pair {
  _ImgStruct a{}, b{};
  ~Pair() {
    PfreeImage(&a);
    PfreeImage(&b);
  }
};

void Flat(_ImgStruct* im, int w, int h, float v) {
  im->xres = w;
  im->yres = h;
  im->csp = &ICS_XYZ;
  ASSERT_TRUE(PnewImage(im, 0));
  for (int y = 0; y < h; y++) {
    float* r = reinterpret_cast<float*>(im->img + static_cast<ptrdiff_t>(y) * im->rowsize);
    for (int x = 0; x < 3 * w; x++) r[x] = v;
  }
}

float Y(const _ImgStruct& im, int x, int y) {
  return reinterpret_cast<const float*>(im.img + static_cast<ptrdiff_t>(y) * im.rowsize)[3 * x + 1];
}

TEST(Blend, WideOverlapsBlendByRowsTallOnesByColumns) {
  Pair p;
  Flat(&p.a, 100, 100, 1.f);
  Flat(&p.b, 100, 100, 2.f);
  _ImgStruct res{};
  res.csp = &ICS_XYZ;
  const int right[4] = {80, 160, 50, 100};  // b's origin at (60, 0)
  ASSERT_EQ(PblendPano(&res, right, &p.a, &p.b), 1);
  ASSERT_EQ(res.xres, 40);
  ASSERT_EQ(res.yres, 100);
  EXPECT_NEAR(Y(res, 0, 10), 1.f, 1e-3);
  EXPECT_NEAR(Y(res, 39, 10), 2.f, 1e-3);
  EXPECT_NEAR(Y(res, 20, 0), Y(res, 20, 99), 1e-5);
  PfreeImage(&res);

  res.csp = &ICS_XYZ;
  const int below[4] = {50, 100, 80, 160};  // b's origin at (0, 60)
  ASSERT_EQ(PblendPano(&res, below, &p.a, &p.b), 1);
  ASSERT_EQ(res.xres, 100);
  ASSERT_EQ(res.yres, 40);
  EXPECT_NEAR(Y(res, 10, 0), 1.f, 1e-3);
  EXPECT_NEAR(Y(res, 10, 39), 2.f, 1e-3);
  EXPECT_NEAR(Y(res, 0, 20), Y(res, 99, 20), 1e-5);
  PfreeImage(&res);

  // b to the left of a: b is the first image along the rows.
  res.csp = &ICS_XYZ;
  const int left[4] = {20, 40, 50, 100};  // b's origin at (-60, 0)
  ASSERT_EQ(PblendPano(&res, left, &p.a, &p.b), 1);
  EXPECT_NEAR(Y(res, 0, 10), 2.f, 1e-3);
  EXPECT_NEAR(Y(res, res.xres - 1, 10), 1.f, 1e-3);
  PfreeImage(&res);
}

TEST(Blend, BlackAndNarrowOverlapsStayFinite) {
  Pair p;
  Flat(&p.a, 60, 60, 0.f);
  Flat(&p.b, 60, 60, 0.f);
  _ImgStruct res{};
  res.csp = &ICS_XYZ;
  const int r[4] = {55, 110, 30, 60};  // a 10-pixel overlap of black images
  ASSERT_EQ(PblendPano(&res, r, &p.a, &p.b), 1);
  ASSERT_EQ(res.xres, 10);
  for (int y = 0; y < res.yres; y++)
    for (int x = 0; x < res.xres; x++) EXPECT_EQ(Y(res, x, y), 0.f);
  PfreeImage(&res);

  // No overlap: refused, nothing allocated.
  const int apart[4] = {0, 200, 0, 60};
  res.csp = &ICS_XYZ;
  EXPECT_EQ(PblendPano(&res, apart, &p.a, &p.b), 0);
  EXPECT_EQ(res.img, nullptr);
}

}  // namespace
