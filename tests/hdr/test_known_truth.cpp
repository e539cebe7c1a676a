// Series rendered from a scene of known radiance through a known camera response: the solved
// response, the exposure adjustments and the merged radiance must match the truth, and be at
// least as accurate as the peers' merges of the same files (OpenCV's Debevec calibration and
// merge, pfstools' Robertson and Mitsunaga-Nayar calibration; skipped when absent).
#include <cstdio>
#include <cstring>
#include <fstream>

#include "hdr_test_util.h"

using namespace hdrtest;

namespace {

struct Score {
  double median = NAN, p95 = NAN;
  bool finite = true;
};

// Scores a merged float RGB image (rows from the top) against the scene on the pixels well
// exposed (25..230) in some exposure, with one global scale.
Score ScoreImage(const std::vector<float>& px, const Scene& s, const Camera& cam,
                 const Series& ser) {
  std::vector<double> scl;
  Score sc;
  for (int y = 0; y < s.h; y += 2)
    for (int x = 0; x < s.w; x += 2) {
      const float* m = &px[3 * (static_cast<size_t>(y) * s.w + x)];
      bool good = false;
      for (size_t i = 0; i < ser.mult.size() && !good; i++) {
        good = true;
        for (int c = 0; c < 3; c++) {
          const double v = cam.Encode(c, s.At(x, y)[c] * ser.mult[i]) * 255;
          good = good && v >= 25 && v <= 230;
        }
      }
      for (int c = 0; c < 3; c++) {
        sc.finite = sc.finite && std::isfinite(m[c]);
        if (good) scl.push_back(m[c] / s.At(x, y)[c]);
      }
    }
  const double g = Quantile(scl, 0.5);
  std::vector<double> rel;
  for (double v : scl) rel.push_back(std::isfinite(v) ? std::fabs(v / g - 1) : 1e9);
  sc.median = Quantile(rel, 0.5);
  sc.p95 = Quantile(rel, 0.95);
  return sc;
}

struct Result {
  double respErr = 0;   // worst relative response error on x in [0.1, 0.95]
  double ratioErr = 0;  // worst relative error of neighbouring factor ratios
  Score merged;
  std::vector<float> px;
};

Result SolveAndMerge(const ScratchDir& dir, const Scene& s, const Camera& cam, Series* ser) {
  Result a;
  LoadReaders();
  PHDImageMaker mk;
  *ser = WriteSeries(dir, s, cam, 5, 2.0, 0.03, 1.0, 0.03, &mk);
  mk.solveFlags = PHDSresponse | PHDSexposure;
  _ImgStruct out = {};
  EXPECT_TRUE(mk.GetHDImage(&out, nullptr));
  if (out.img == nullptr) return a;
  // The response is defined up to scale: the best common scale for the worst error is the
  // midpoint of the extreme ratios to the truth.
  std::vector<double> ratios;
  for (int c = 0; c < 3; c++)
    for (int b = 0; b < 256; b++)
      if (PHDbyteX(b) >= 0.1 && PHDbyteX(b) <= 0.95)
        ratios.push_back(mk.Soln().ply[c].Eval(PHDbyteX(b)) / cam.inv(c, b / 255.0));
  const auto mm = std::minmax_element(ratios.begin(), ratios.end());
  a.respErr = (*mm.second - *mm.first) / (*mm.second + *mm.first);
  // Corrected factors of neighbours against the true multipliers.
  for (int k = 0; k + 1 < 5; k++) {
    const int ik = mk.Order(k), ij = mk.Order(k + 1);
    const double sk = mk.Exposure(ik).stonits * mk.Soln().expadj[k];
    const double sj = mk.Exposure(ij).stonits * mk.Soln().expadj[k + 1];
    a.ratioErr = std::max(a.ratioErr, std::fabs((sj / sk) / (ser->mult[ik] / ser->mult[ij]) - 1));
  }
  for (int y = 0; y < out.yres; y++) {
    const float* p = reinterpret_cast<const float*>(out.img + y * out.rowsize);
    a.px.insert(a.px.end(), p, p + 3 * out.xres);
  }
  PfreeImage(&out);
  a.merged = ScoreImage(a.px, s, cam, *ser);
  printf("response %.4f  ratios %.4f  merged median %.4f  p95 %.4f\n", a.respErr, a.ratioErr,
         a.merged.median, a.merged.p95);
  return a;
}

void ExpectAccurate(const Result& a) {
  EXPECT_LT(a.respErr, 0.02);
  EXPECT_LT(a.ratioErr, 0.015);
  EXPECT_LE(a.merged.median, 0.03);
  EXPECT_LE(a.merged.p95, 0.08);
  EXPECT_TRUE(a.merged.finite);
}

int SceneW() {
  return kSanitized ? 300 : 1200;
}
int SceneH() {
  return kSanitized ? 200 : 800;
}

// The best score of the installed peers on the series in dir; NaN when none ran.
Score PeerBest(const ScratchDir& dir, const Scene& s, const Camera& cam, const Series& ser) {
  Score best{1e9, 1e9, true};
  bool any = false;
  const size_t n = 3 * static_cast<size_t>(s.w) * s.h;
  std::string python;  // the first Python with OpenCV's bindings
  for (const char* py : {"python3", "/usr/bin/python3"})
    if (python.empty() &&
        std::system((std::string(py) + " -c 'import cv2' >/dev/null 2>&1").c_str()) == 0)
      python = py;
  auto take = [&](const char* name, const std::vector<float>& px) {
    const Score sc = ScoreImage(px, s, cam, ser);
    printf("%s: median %.4f p95 %.4f\n", name, sc.median, sc.p95);
    best.median = std::min(best.median, sc.median);
    best.p95 = std::min(best.p95, sc.p95);
    any = true;
  };
  if (!python.empty()) {
    std::ofstream py(dir.Path("cv.py"));
    py << "import cv2, numpy as np, sys\nd = sys.argv[1]\n"
       << "imgs = [cv2.imread(d + '/e%d.tif' % i) for i in range(5)]\nt = np.array([";
    for (int i = 0; i < 5; i++) py << 1 / ser.nominal[i] << (i < 4 ? "," : "");
    py << "], dtype=np.float32)\nresp = cv2.createCalibrateDebevec().process(imgs, t)\n"
       << "hdr = cv2.createMergeDebevec().process(imgs, t, resp)\n"
       << "hdr[:, :, ::-1].astype(np.float32).tofile(d + '/cv.raw')\n";
    py.close();
    std::vector<float> px(n);
    std::ifstream f;
    if (std::system((python + " " + dir.Path("cv.py") + " " + dir.Dir()).c_str()) == 0) {
      f.open(dir.Path("cv.raw"), std::ios::binary);
      if (f.read(reinterpret_cast<char*>(px.data()), n * sizeof(float))) take("OpenCV", px);
    }
  }
  if (std::system("command -v pfshdrcalibrate >/dev/null 2>&1 && command -v pfsoutpfm "
                  ">/dev/null 2>&1") == 0) {
    std::ofstream hg(dir.Path("s.hdrgen"));
    for (int i = 0; i < 5; i++)
      hg << dir.Path("e" + std::to_string(i) + ".tif") << " " << ser.nominal[i] << " 1 100 0\n";
    hg.close();
    for (const char* method : {"robertson", "mitsunaga"}) {
      const std::string pfm = dir.Path(std::string(method) + ".pfm");
      if (std::system(("pfsinhdrgen " + dir.Path("s.hdrgen") + " | pfshdrcalibrate -c " + method +
                       " 2>/dev/null | pfsoutpfm " + pfm + " 2>/dev/null")
                          .c_str()) != 0)
        continue;
      // PFM: a text header, then float RGB rows from the bottom.
      std::ifstream f(pfm, std::ios::binary);
      std::string magic;
      int w = 0, h = 0;
      double sc;
      if (!(f >> magic >> w >> h >> sc) || w != s.w || h != s.h) continue;
      f.get();
      std::vector<float> raw(n), px(n);
      if (!f.read(reinterpret_cast<char*>(raw.data()), n * sizeof(float))) continue;
      for (int y = 0; y < h; y++)
        std::copy(raw.begin() + 3 * size_t(h - 1 - y) * w, raw.begin() + 3 * size_t(h - y) * w,
                  px.begin() + 3 * size_t(y) * w);
      take(method, px);
    }
  }
  if (!any) best.median = best.p95 = NAN;
  return best;
}

}  // namespace

TEST(KnownTruth, SrgbSeriesRecoversResponseFactorsAndRadiance) {
  const Scene s = TileScene(SceneW(), SceneH(), 40, 3.5, 7);
  const Camera cam = SrgbCamera();
  ScratchDir dir;
  Series ser;
  const Result a = SolveAndMerge(dir, s, cam, &ser);
  ExpectAccurate(a);
  // The same series merges to identical bytes: patch placement does not depend on global state.
  ScratchDir again;
  const Result b = SolveAndMerge(again, s, cam, &ser);
  ASSERT_EQ(a.px.size(), b.px.size());
  EXPECT_EQ(std::memcmp(a.px.data(), b.px.data(), a.px.size() * sizeof(float)), 0);
  if (kSanitized) return;  // the peers run in the normal build
  const Score peers = PeerBest(dir, s, cam, ser);
  if (std::isnan(peers.median)) GTEST_SKIP() << "neither python3-opencv nor pfstools installed";
  EXPECT_LE(a.merged.median, peers.median);
  EXPECT_LE(a.merged.p95, peers.p95);
}

TEST(KnownTruth, CubicPerChannelSeriesRecoversResponse) {
  const Scene s = TileScene(SceneW(), SceneH(), 40, 3.5, 11);
  ScratchDir dir;
  Series ser;
  ExpectAccurate(SolveAndMerge(dir, s, CubicCamera(), &ser));
}
