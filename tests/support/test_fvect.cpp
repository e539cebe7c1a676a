#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "support/fvect.h"

namespace {

TEST(DirectionCode, StoredCodesOfTheAxesAndZero) {
  const FVECT up = {0, 0, 1}, down = {0, 0, -1}, zero = {0, 0, 0};
  EXPECT_EQ(encodedir(up), 8u);
  EXPECT_EQ(encodedir(down), 12u);
  EXPECT_EQ(encodedir(zero), 0u);
  FVECT v;
  decodedir(v, 8);
  EXPECT_NEAR(v[0], 4.3159e-5, 1e-9);
  EXPECT_NEAR(v[1], 4.3159e-5, 1e-9);
  EXPECT_NEAR(v[2], 0.9999999981, 1e-10);
  decodedir(v, 12);
  EXPECT_NEAR(v[2], -0.9999999981, 1e-10);
  decodedir(v, 0);
  EXPECT_EQ(v[0] + v[1] + v[2], 0.0);
}

TEST(DirectionCode, UnitVectorsRoundTripAndNeverEncodeZero) {
  std::mt19937 rng(42);
  std::normal_distribution<double> g;
  double worst = 0.0;
  for (int i = 0; i < 200000; i++) {
    FVECT v = {g(rng), g(rng), g(rng)};
    if (i < 6) {  // the axes and their negatives
      v[0] = v[1] = v[2] = 0.0;
      v[i % 3] = i < 3 ? 1.0 : -1.0;
    }
    if (normalize(v) == 0.0) continue;
    const uint32_t c = encodedir(v);
    ASSERT_NE(c, 0u);
    EXPECT_EQ(c >> 31, 0u);
    FVECT u;
    decodedir(u, c);
    worst = std::fmax(worst, fdir2diff(c, v));
    EXPECT_NEAR(fdot(u, u), 1.0, 1e-9);
  }
  EXPECT_LT(worst, 1e-7);  // about a ten-thousandth of a radian
  FVECT a = {1, 0, 0}, b = {0, 1, 0};
  EXPECT_NEAR(dir2diff(encodedir(a), encodedir(b)), 2.0, 1e-3);  // perpendicular
  EXPECT_NEAR(dir2diff(encodedir(a), encodedir(a)), 0.0, 1e-8);
}

TEST(DirectionCode, OddInputStaysInItsFields) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const FVECT big = {3, 2, 1}, bad = {nan, 0.5, 0.5}, infinite = {inf, -inf, 1};
  for (const double* v : {big, bad, infinite}) {
    const uint32_t c = encodedir(v);
    EXPECT_EQ(c >> 31, 0u);
    FVECT u;
    decodedir(u, c);
    EXPECT_TRUE(std::isfinite(u[0] + u[1] + u[2]));
  }
}

TEST(VectorMath, NormalizeDistancesClosestApproachAndSpin) {
  FVECT v = {3, 0, 4}, n = {1, 0, 0.0001}, z = {0, 0, 0};
  EXPECT_DOUBLE_EQ(normalize(v), 5.0);
  EXPECT_DOUBLE_EQ(v[0], 0.6);
  EXPECT_DOUBLE_EQ(v[2], 0.8);
  EXPECT_DOUBLE_EQ(normalize(n), 1.000000005);  // the near-unit shortcut
  EXPECT_EQ(normalize(z), 0.0);
  EXPECT_EQ(z[0], 0.0);

  const FVECT e1 = {0, 0, 0}, e2 = {10, 0, 0};
  const FVECT above = {5, 3, 0}, beyond = {13, 4, 0}, before = {-3, 0, 4};
  EXPECT_NEAR(dist2line(above, e1, e2), 9.0, 1e-12);
  EXPECT_NEAR(dist2line(beyond, e1, e2), 16.0, 1e-12);
  EXPECT_NEAR(dist2lseg(above, e1, e2), 9.0, 1e-12);
  EXPECT_NEAR(dist2lseg(beyond, e1, e2), 25.0, 1e-12);
  EXPECT_NEAR(dist2lseg(before, e1, e2), 25.0, 1e-12);
  // A segment of no length is its one point, not a division by zero.
  EXPECT_NEAR(dist2line(above, e1, e1), 34.0, 1e-12);
  EXPECT_NEAR(dist2lseg(above, e2, e2), 34.0, 1e-12);

  const FVECT o0 = {0, 0, 0}, d0 = {1, 0, 0}, o1 = {5, -2, 1}, d1 = {0, 1, 0};
  double t[2];
  ASSERT_EQ(closestapproach(t, o0, d0, o1, d1), 1);
  EXPECT_NEAR(t[0], 5.0, 1e-12);
  EXPECT_NEAR(t[1], 2.0, 1e-12);
  EXPECT_EQ(closestapproach(t, o0, d0, o1, d0), 0);
  EXPECT_EQ(t[0], 0.0);

  const FVECT axis = {0, 0, 1};
  FVECT s = {1, 0, 0};
  spinvector(s, s, axis, M_PI / 2);
  EXPECT_NEAR(s[0], 0.0, 1e-12);
  EXPECT_NEAR(s[1], 1.0, 1e-12);
  FVECT w;
  spinvector(w, s, axis, 0.0);
  EXPECT_EQ(w[1], s[1]);
}

}  // namespace
