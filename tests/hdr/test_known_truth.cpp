// Series rendered from a scene of known radiance through a known camera response: the solved
// response, the exposure adjustments and the merged radiance must match the truth.
#include <cstring>

#include "hdr_test_util.h"

using namespace hdrtest;

namespace {

struct Accuracy {
  double respErr = 0;   // worst relative response error on x in [0.1, 0.95]
  double ratioErr = 0;  // worst relative error of neighbouring factor ratios
  double median = 0, p95 = 0;
  bool finite = true;
  std::vector<uint8_t> bytes;  // the merged image
};

Accuracy SolveAndMerge(const Scene& s, const Camera& cam) {
  Accuracy a;
  LoadReaders();
  ScratchDir dir;
  PHDImageMaker mk;
  const Series ser = WriteSeries(dir, s, cam, 5, 2.0, 0.03, 1.0, 0.03, &mk);
  mk.solveFlags = PHDSresponse | PHDSexposure;
  _ImgStruct out = {};
  EXPECT_TRUE(mk.GetHDImage(&out, nullptr));
  if (out.img == nullptr) return a;
  // Response against the truth, with one common scale over all channels.
  std::vector<double> ratios;
  for (int c = 0; c < 3; c++)
    for (int b = 0; b < 256; b++) {
      const double x = PHDbyteX(b);
      if (x < 0.1 || x > 0.95) continue;
      ratios.push_back(mk.Soln().ply[c].Eval(x) / cam.inv(c, b / 255.0));
    }
  // The response is defined up to scale: the best common scale for the worst error is the
  // midpoint of the extreme ratios.
  const auto mm = std::minmax_element(ratios.begin(), ratios.end());
  a.respErr = (*mm.second - *mm.first) / (*mm.second + *mm.first);
  // Corrected factors of neighbours against the true multipliers.
  for (int k = 0; k + 1 < 5; k++) {
    const double sk = mk.Exposure(mk.Order(k)).stonits * mk.Soln().expadj[k];
    const double sj = mk.Exposure(mk.Order(k + 1)).stonits * mk.Soln().expadj[k + 1];
    const int ik = mk.Order(k), ij = mk.Order(k + 1);
    const double truth = ser.mult[ik] / ser.mult[ij];
    a.ratioErr = std::max(a.ratioErr, std::fabs((sj / sk) / truth - 1));
  }
  // Merged radiance on pixels well exposed in some exposure.
  std::vector<double> rel, scl;
  std::vector<char> good(static_cast<size_t>(s.w) * s.h, 0);
  for (int i = 0; i < 5; i++) {
    for (int y = 0; y < s.h; y++)
      for (int x = 0; x < s.w; x++) {
        bool ok = true;
        for (int c = 0; c < 3; c++) {
          const double v = cam.Encode(c, s.At(x, y)[c] * ser.mult[i]) * 255;
          ok = ok && v >= 25 && v <= 230;
        }
        if (ok) good[static_cast<size_t>(y) * s.w + x] = 1;
      }
  }
  for (int y = 0; y < s.h; y += 2)
    for (int x = 0; x < s.w; x += 2) {
      const float* m = reinterpret_cast<const float*>(out.img + y * out.rowsize) + 3 * x;
      for (int c = 0; c < 3; c++) {
        if (!std::isfinite(m[c])) a.finite = false;
        if (good[static_cast<size_t>(y) * s.w + x]) scl.push_back(m[c] / s.At(x, y)[c]);
      }
    }
  const double gs = Quantile(scl, 0.5);
  for (double v : scl) rel.push_back(std::fabs(v / gs - 1));
  a.median = Quantile(rel, 0.5);
  a.p95 = Quantile(rel, 0.95);
  for (int y = 0; y < out.yres; y++) {
    const uint8_t* p = out.img + y * out.rowsize;
    a.bytes.insert(a.bytes.end(), p, p + 12 * out.xres);
  }
  PfreeImage(&out);
  mk.Done();
  return a;
}

void ExpectAccurate(const Accuracy& a) {
  EXPECT_LT(a.respErr, 0.02);
  EXPECT_LT(a.ratioErr, 0.015);
  EXPECT_LE(a.median, 0.03);
  EXPECT_LE(a.p95, 0.08);
  EXPECT_TRUE(a.finite);
  printf("response %.4f  ratios %.4f  merged median %.4f  p95 %.4f\n", a.respErr, a.ratioErr,
         a.median, a.p95);
}

int SceneW() {
  return kSanitized ? 300 : 1200;
}
int SceneH() {
  return kSanitized ? 200 : 800;
}

}  // namespace

TEST(KnownTruth, SrgbSeriesRecoversResponseFactorsAndRadiance) {
  const Scene s = TileScene(SceneW(), SceneH(), 40, 3.5, 7);
  const Accuracy a = SolveAndMerge(s, SrgbCamera());
  ExpectAccurate(a);
  // The same series merges to identical bytes: patch placement does not depend on global state.
  const Accuracy b = SolveAndMerge(s, SrgbCamera());
  EXPECT_TRUE(a.bytes == b.bytes);
}

TEST(KnownTruth, CubicPerChannelSeriesRecoversResponse) {
  const Scene s = TileScene(SceneW(), SceneH(), 40, 3.5, 11);
  ExpectAccurate(SolveAndMerge(s, CubicCamera()));
}
