// The linear solver, polynomial agreement, the least-squares fits on patch sets and the
// response tables.
#include <cmath>
#include <cstring>
#include <memory>

#include "hdr_test_util.h"
#include "support/dmessage.h"

TEST(GJsolveLinearEq, SolvesWithPivotingAndLeavesInputsAlone) {
  // The first pivot is zero: a row swap is needed.
  const double A[9] = {0, 2, 1, 1, 1, 1, 2, 1, 3};
  const double b[3] = {5, 5, 12};
  double x[3];
  ASSERT_TRUE(GJsolveLinearEq(3, A, b, x));
  EXPECT_NEAR(x[0], 1, 1e-12);
  EXPECT_NEAR(x[1], 1, 1e-12);
  EXPECT_NEAR(x[2], 3, 1e-12);
  EXPECT_EQ(A[0], 0);
  EXPECT_EQ(b[2], 12);
}

TEST(GJsolveLinearEq, RefusesEmptyAndSingularSystems) {
  const double A[4] = {1, 0, 2, 0};  // zero second column
  const double b[2] = {1, 2};
  double x[2];
  EXPECT_FALSE(GJsolveLinearEq(0, A, b, x));
  EXPECT_FALSE(GJsolveLinearEq(2, A, b, x));
}

TEST(SamePoly, ComparesDegreeAndRelativeValues) {
  PPolynomial q = linearPoly1;
  q.degree = 2;  // same values, other degree
  EXPECT_FALSE(samePoly(linearPoly1, q, 0.005));
  PPolynomial r = linearPoly1;
  r.coef[1] = 1.004;
  EXPECT_TRUE(samePoly(linearPoly1, r, 0.005));
  r.coef[1] = 1.006;
  EXPECT_FALSE(samePoly(linearPoly1, r, 0.005));
  int a = 3, b = 5;
  float f = 2.5f, g = 2.5f;
  EXPECT_LT(intcmp(&a, &b), 0);
  EXPECT_EQ(floatcmp(&f, &g), 0);
}

namespace {

// A patch set of n exposures 2 stops apart of patches whose radiances span the range,
// quantised through the inverse of resp (a rising function with resp(1) = 1).
std::unique_ptr<PPatchSet> MakePatches(int nexp, double (*resp)(double), float* sto) {
  auto ps = std::make_unique<PPatchSet>();
  ps->nexp = nexp;
  for (int k = 0; k < nexp; k++) sto[k] = static_cast<float>(std::pow(4.0, k));
  for (int p = 0; p < 300; p++) {
    const double rad = std::pow(10.0, -3.0 + 3.0 * p / 300.0) * 1.2;
    for (int k = 0; k < nexp; k++) {
      const double lin = rad / sto[k] * 4;
      uint8_t* v = ps->val[p][k];
      if (lin >= 1 || lin < 0.02) continue;
      // Byte whose normalised value has this linear value (bisection on resp).
      double lo = 0, hi = 1;
      for (int i = 0; i < 50; i++) ((resp((lo + hi) / 2) < lin) ? lo : hi) = (lo + hi) / 2;
      const int byte = static_cast<int>(lo * 256);
      v[0] = v[1] = v[2] = static_cast<uint8_t>(std::min(255, byte));
      v[3] = 1;
    }
  }
  ps->npatch = 300;
  return ps;
}

double Quartic(double x) {
  return 0.1 * x + 0.3 * x * x + 0.2 * x * x * x + 0.4 * x * x * x * x;
}

}  // namespace

TEST(FitPoly, HighDegreesSolveTheTrueLeastSquaresProblem) {
  float sto[5];
  auto ps = MakePatches(5, Quartic, sto);
  for (int n = 1; n <= 5; n++) {
    PHDSoln s;
    s.Init();
    ASSERT_TRUE(PHDfitPoly(&s, n, ps.get(), sto, 0, 5)) << n;
    const double e = PHDfitError(&s, ps.get(), sto, 0, 5);
    EXPECT_NEAR(s.ply[1].Eval(1.0), 1.0, 1e-9);
    if (n >= 4) {
      EXPECT_LT(e, 0.02) << n;
      for (double x = 0.1; x <= 0.95; x += 0.05)
        EXPECT_NEAR(s.ply[1].Eval(x) / Quartic(x), 1.0, 0.02) << n << " at " << x;
    }
  }
}

TEST(FitExposures, KeepsRatioWithoutSharedPatchesAndClampsToTolerance) {
  float sto[3] = {1, 4, 16};
  PPatchSet ps;
  ps.nexp = 3;
  ps.npatch = 2;
  // Patch 0 in columns 0 and 1 says exposure 1 is about 3x darker instead of 4x.
  const uint8_t a[4] = {192, 192, 192, 1}, b[4] = {64, 64, 64, 1};
  std::memcpy(ps.val[0][0], a, 4);
  std::memcpy(ps.val[0][1], b, 4);
  PHDSoln s;
  s.Init();
  const float wide[3] = {1, 10, 10};
  ASSERT_TRUE(PHDfitExposures(&s, &ps, sto, 0, 3, wide));
  EXPECT_NEAR(s.expadj[0], 1.0f, 1e-6);
  EXPECT_NEAR(s.expadj[1], 192.5 / (64.5 * 4), 1e-5);
  EXPECT_NEAR(s.expadj[2], s.expadj[1], 1e-6);  // no shared patch: the ratio stays
  s.Init();
  const float tight[3] = {1, 1.04f, 1.04f};
  ASSERT_TRUE(PHDfitExposures(&s, &ps, sto, 0, 3, tight));
  EXPECT_NEAR(s.expadj[1], 1 / 1.04f, 1e-6);
  // A response that is negative at the patch values adds no term and no NaN.
  s.Init();
  s.ply[0].coef[0] = s.ply[1].coef[0] = s.ply[2].coef[0] = -1;
  ASSERT_TRUE(PHDfitExposures(&s, &ps, sto, 0, 3, wide));
  EXPECT_TRUE(std::isfinite(s.expadj[1]));
  EXPECT_TRUE(std::isnan(PHDfitError(&s, &ps, sto, 0, 3)) ||
              std::isfinite(PHDfitError(&s, &ps, sto, 0, 3)));
}

TEST(ResponseTable, TurnsLinearBelowWherePolynomialStopsRising) {
  float resp[256], slope[256];
  // x^2 - 0.2 x + 0.2 falls below x = 0.1 (byte 25).
  PPolynomial p = {2, {0.2, -0.2, 1, 0, 0, 0}};
  ASSERT_TRUE(PHDresponseTable(p, resp, slope));
  int k = 0;
  while (k < 256 && slope[k] == slope[0]) k++;
  EXPECT_EQ(k, 26);  // bytes 0..25 on the line
  for (int b = 0; b < k; b++) EXPECT_NEAR(resp[b], slope[0] * PHDbyteX(b), 1e-6);
  EXPECT_NEAR(resp[100], p.Eval(PHDbyteX(100)), 1e-6);
  // A rising polynomial is used down to byte 19 and no lower.
  PPolynomial sq = {2, {0, 0, 1, 0, 0, 0}};
  ASSERT_TRUE(PHDresponseTable(sq, resp, slope));
  EXPECT_NEAR(resp[19], PHDbyteX(19) * PHDbyteX(19), 1e-7);
  EXPECT_NEAR(resp[10], PHDbyteX(19) * PHDbyteX(10), 1e-7);
}

TEST(ResponseTable, RefusesPolynomialFallingAtTheTop) {
  float resp[256], slope[256];
  PPolynomial p = {1, {1, -1, 0, 0, 0, 0}};
  EXPECT_FALSE(PHDresponseTable(p, resp, slope));
  PPolynomial none = {-1, {0, 0, 0, 0, 0, 0}};
  EXPECT_FALSE(PHDresponseTable(none, resp, slope));
}
