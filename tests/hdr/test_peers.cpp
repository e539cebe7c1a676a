// The known-truth sRGB series merged by the peers (OpenCV's Debevec calibration and merge,
// pfstools' Robertson and Mitsunaga-Nayar calibration) and by us, scored the same way: ours
// must be at least as accurate as the best of them. Skipped when a peer is absent.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "hdr_test_util.h"

using namespace hdrtest;

namespace {

struct Score {
  double median = NAN, p95 = NAN;
};

// Scores a merged float RGB image (row by row from the top) against the scene on the pixels
// well exposed in some exposure, with one global scale.
Score ScoreImage(const std::vector<float>& px, const Scene& s, const Camera& cam,
                 const Series& ser) {
  std::vector<double> scl;
  for (int y = 0; y < s.h; y += 2)
    for (int x = 0; x < s.w; x += 2) {
      bool good = false;
      for (size_t i = 0; i < ser.mult.size() && !good; i++) {
        bool ok = true;
        for (int c = 0; c < 3; c++) {
          const double v = cam.Encode(c, s.At(x, y)[c] * ser.mult[i]) * 255;
          ok = ok && v >= 25 && v <= 230;
        }
        good = ok;
      }
      if (!good) continue;
      for (int c = 0; c < 3; c++)
        scl.push_back(px[3 * (static_cast<size_t>(y) * s.w + x) + c] / s.At(x, y)[c]);
    }
  Score sc;
  const double g = Quantile(scl, 0.5);
  std::vector<double> rel;
  for (double v : scl) rel.push_back(std::isfinite(v) ? std::fabs(v / g - 1) : 1e9);
  sc.median = Quantile(rel, 0.5);
  sc.p95 = Quantile(rel, 0.95);
  return sc;
}

bool ReadRaw(const std::string& path, size_t n, std::vector<float>* px) {
  std::ifstream f(path, std::ios::binary);
  px->resize(n);
  return static_cast<bool>(f.read(reinterpret_cast<char*>(px->data()), n * sizeof(float)));
}

// A PFM file (rows from the bottom) as RGB rows from the top.
bool ReadPfm(const std::string& path, int w, int h, std::vector<float>* px) {
  std::ifstream f(path, std::ios::binary);
  std::string magic;
  int fw, fh;
  double scale;
  if (!(f >> magic >> fw >> fh >> scale) || magic != "PF" || fw != w || fh != h) return false;
  f.get();
  std::vector<float> raw(3 * static_cast<size_t>(w) * h);
  if (!f.read(reinterpret_cast<char*>(raw.data()), raw.size() * sizeof(float))) return false;
  px->resize(raw.size());
  for (int y = 0; y < h; y++)
    std::copy(raw.begin() + 3 * static_cast<size_t>(h - 1 - y) * w,
              raw.begin() + 3 * static_cast<size_t>(h - y) * w,
              px->begin() + 3 * static_cast<size_t>(y) * w);
  return true;
}

bool Have(const char* cmd) {
  return std::system(cmd) == 0;
}

}  // namespace

TEST(Peers, OursAtLeastAsAccurateAsOpenCVAndPfstools) {
  if (kSanitized) GTEST_SKIP() << "peer comparison runs in the normal build";
  // The first Python that has OpenCV's bindings (the distribution's may not be first on PATH).
  std::string python;
  for (const char* py : {"python3", "/usr/bin/python3"})
    if (python.empty() && Have((std::string(py) + " -c 'import cv2' >/dev/null 2>&1").c_str()))
      python = py;
  const bool cv = !python.empty();
  const bool pfs = Have(
      "command -v pfshdrcalibrate >/dev/null 2>&1 && command -v pfsinhdrgen "
      ">/dev/null 2>&1 && command -v pfsoutpfm >/dev/null 2>&1");
  if (!cv && !pfs) GTEST_SKIP() << "neither python3-opencv nor pfstools is installed";
  LoadReaders();
  const Scene s = TileScene(1200, 800, 40, 3.5, 7);
  const Camera cam = SrgbCamera();
  ScratchDir dir;
  PHDImageMaker mk;
  const Series ser = WriteSeries(dir, s, cam, 5, 2.0, 0.03, 1.0, 0.03, &mk);
  mk.solveFlags = PHDSresponse | PHDSexposure;
  _ImgStruct out = {};
  ASSERT_TRUE(mk.GetHDImage(&out, nullptr));
  std::vector<float> ours;
  for (int y = 0; y < out.yres; y++) {
    const float* p = reinterpret_cast<const float*>(out.img + y * out.rowsize);
    ours.insert(ours.end(), p, p + 3 * out.xres);
  }
  PfreeImage(&out);
  const Score me = ScoreImage(ours, s, cam, ser);
  printf("ours: median %.4f p95 %.4f\n", me.median, me.p95);
  Score best{1e9, 1e9};
  const size_t n = 3 * static_cast<size_t>(s.w) * s.h;
  if (cv) {
    // Exposure times: the nominal multipliers.
    std::ofstream py(dir.Path("cv.py"));
    py << "import cv2, numpy as np, sys\n"
       << "d = sys.argv[1]\n"
       << "imgs = [cv2.imread(d + '/e%d.tif' % i) for i in range(5)]\n"
       << "t = np.array([" << 1 / ser.nominal[0] << "," << 1 / ser.nominal[1] << ","
       << 1 / ser.nominal[2] << "," << 1 / ser.nominal[3] << "," << 1 / ser.nominal[4]
       << "], dtype=np.float32)\n"
       << "resp = cv2.createCalibrateDebevec().process(imgs, t)\n"
       << "hdr = cv2.createMergeDebevec().process(imgs, t, resp)\n"
       << "hdr[:, :, ::-1].astype(np.float32).tofile(d + '/cv.raw')\n";
    py.close();
    ASSERT_TRUE(Have((python + " " + dir.Path("cv.py") + " " + dir.Dir()).c_str()));
    std::vector<float> px;
    ASSERT_TRUE(ReadRaw(dir.Path("cv.raw"), n, &px));
    const Score sc = ScoreImage(px, s, cam, ser);
    printf("OpenCV Debevec: median %.4f p95 %.4f\n", sc.median, sc.p95);
    best.median = std::min(best.median, sc.median);
    best.p95 = std::min(best.p95, sc.p95);
  }
  if (pfs) {
    std::ofstream hg(dir.Path("s.hdrgen"));
    for (int i = 0; i < 5; i++)
      hg << dir.Path("e" + std::to_string(i) + ".tif") << " " << ser.nominal[i] << " 1 100 0\n";
    hg.close();
    for (const char* method : {"robertson", "mitsunaga"}) {
      const std::string pfm = dir.Path(std::string(method) + ".pfm");
      const std::string cmd = "pfsinhdrgen " + dir.Path("s.hdrgen") + " | pfshdrcalibrate -c " +
                              method + " 2>/dev/null | pfsoutpfm " + pfm + " 2>/dev/null";
      if (!Have(cmd.c_str())) {
        ADD_FAILURE() << "pfstools failed: " << cmd;
        continue;
      }
      std::vector<float> px;
      ASSERT_TRUE(ReadPfm(pfm, s.w, s.h, &px));
      const Score sc = ScoreImage(px, s, cam, ser);
      printf("pfshdrcalibrate -c %s: median %.4f p95 %.4f\n", method, sc.median, sc.p95);
      best.median = std::min(best.median, sc.median);
      best.p95 = std::min(best.p95, sc.p95);
    }
  }
  EXPECT_LE(me.median, best.median);
  EXPECT_LE(me.p95, best.p95);
}
