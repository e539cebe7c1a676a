// Random exposure series, each exposure shifted and turned a little against its neighbour, shot
// through a film-like camera with noise: the maker's placements against the truth, the merges
// of the aligned and unaligned series, and movement removal on the same scenes.
#include <memory>

#include "hdr/phdalign.h"
#include "hdr_test_util.h"
#include "testutil/message_log.h"

using namespace hdrtest;

namespace {

// A random scene: its log10 radiance per channel at any real position, from a smooth texture
// spanning `decades` decades or (without texture) from flat tiles of random colour with gentle
// gradients. An optional square object of one radiance sits on top.
class RandomScene {
 public:
  RandomScene(bool textured, double decades, uint32_t seed)
      : textured_(textured), decades_(decades), tex_(std::make_unique<Texture>(seed)) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    tile_ = 40 + 40 * u(rng);
    for (double& c : tint_) c = std::log10(0.7 + 0.6 * u(rng));
    for (int i = 0; i < 32; i++) colour_[i] = std::log10(0.6 + 0.8 * i / 31.0);
  }
  bool Textured() const { return textured_; }
  // The object: a square of side `size` at (x, y) of log10 radiance lg, or none for size 0.
  struct Object {
    double x = 0, y = 0, size = 0, lg = 0;
  };
  void LogAt(double x, double y, const Object& obj, double* lg) const {
    if (obj.size > 0 && x >= obj.x && x < obj.x + obj.size && y >= obj.y && y < obj.y + obj.size) {
      lg[0] = lg[1] = lg[2] = obj.lg;
    } else if (textured_) {
      const double l = decades_ * (tex_->At(x + 1000, y + 1000) - 0.5);
      for (int c = 0; c < 3; c++) lg[c] = l + tint_[c];
    } else {
      const double fx = std::floor(x / tile_), fy = std::floor(y / tile_);
      uint32_t hsh = static_cast<uint32_t>(static_cast<int>(fx) * 73856093) ^
                     static_cast<uint32_t>(static_cast<int>(fy) * 19349663);
      hsh = (hsh ^ (hsh >> 13)) * 0x5bd1e995u;
      hsh ^= hsh >> 15;
      // Up to 15% brighter across the tile.
      const double l = decades_ * ((hsh & 0xffff) / 65535.0 - 0.5) + 0.0434 * (x / tile_ - fx) +
                       0.0217 * (y / tile_ - fy);
      for (int c = 0; c < 3; c++) lg[c] = l + colour_[(hsh >> (16 + 5 * c)) & 31];
    }
  }

 private:
  bool textured_;
  double decades_, tile_;
  double tint_[3], colour_[32];
  std::unique_ptr<Texture> tex_;
};

// Where an exposure sits: turned clockwise by deg about the centre, then moved by (tx, ty);
// mult scales the radiance.
struct Shot {
  double deg = 0, tx = 0, ty = 0, mult = 1;
  RandomScene::Object obj;
};

// One exposure through the camera with Gaussian noise of one code. Tile edges are averaged over
// four points a pixel, as lens and sensor soften them (in log10, which keeps the step's
// position). Log10 radiance maps to codes through a table in steps of 1/1024 decade.
_ImgStruct Shoot(const RandomScene& sc, const Camera& cam, int w, int h, const Shot& s,
                 uint32_t seed) {
  constexpr int kLo = -6, kSteps = 12 * 1024;
  std::vector<float> code[3];
  for (int c = 0; c < 3; c++) {
    code[c].resize(kSteps + 1);
    for (int i = 0; i <= kSteps; i++)
      code[c][i] =
          static_cast<float>(255.0 * cam.Encode(c, std::pow(10.0, kLo + i / 1024.0) * s.mult));
  }
  std::mt19937 rng(seed);
  std::normal_distribution<float> nd(0, 1);
  float noise[4096];
  for (float& v : noise) v = nd(rng);
  uint32_t pick = seed;
  _ImgStruct im = NewRGB(w, h);
  const double a = -s.deg * M_PI / 180, ca = std::cos(a), sa = std::sin(a);
  const double cx = w / 2.0, cy = h / 2.0;
  const int n = sc.Textured() ? 1 : 4;
  for (int y = 0; y < h; y++) {
    uint8_t* p = im.img + static_cast<ptrdiff_t>(y) * im.rowsize;
    for (int x = 0; x < w; x++, p += 3) {
      double sum[3] = {0, 0, 0};
      for (int k = 0; k < n; k++) {
        const double qx = x + (n == 1 ? 0.5 : 0.25 + 0.5 * (k & 1)) - s.tx - cx;
        const double qy = y + (n == 1 ? 0.5 : 0.25 + 0.5 * (k >> 1)) - s.ty - cy;
        double lg[3];
        sc.LogAt(ca * qx - sa * qy + cx, sa * qx + ca * qy + cy, s.obj, lg);
        for (int c = 0; c < 3; c++) sum[c] += lg[c];
      }
      for (int c = 0; c < 3; c++) {
        const int i = std::clamp(static_cast<int>((sum[c] / n - kLo) * 1024 + 0.5), 0, kSteps);
        pick = pick * 1664525u + 1013904223u;
        const float v = code[c][i] + noise[pick >> 20];
        p[c] = static_cast<uint8_t>(std::clamp(v, 0.0f, 255.0f) + 0.5f);
      }
    }
  }
  return im;
}

// The offset the maker should find for a shot: its move turned back by its rotation.
void TrueOffset(const Shot& s, double* ox, double* oy) {
  const double a = -s.deg * M_PI / 180;
  *ox = std::cos(a) * s.tx - std::sin(a) * s.ty;
  *oy = std::sin(a) * s.tx + std::cos(a) * s.ty;
}

constexpr int kW = 768, kH = 512;

// A series drawn from seed: 3 to 7 exposures 1 to 2 stops apart, brightest first, of a textured
// (even seeds) or untextured scene; each exposure moved against the one before by up to `step`
// pixels and turned by up to 0.3 degree.
struct RandomSeries {
  std::unique_ptr<RandomScene> scene;
  std::vector<Shot> shots;
  ScratchDir dir;
  PHDImageMaker mk;

  RandomSeries(uint32_t seed, double step) {
    LoadReaders();
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    const int n = 3 + static_cast<int>(rng() % 5);
    const bool textured = seed % 2 == 0;
    const double decades = textured ? 3 + 2 * u(rng) : 2 + 2 * u(rng);
    const double stops = 1 + u(rng);
    scene = std::make_unique<RandomScene>(textured, decades, seed);
    Shot s;
    for (int i = 0; i < n; i++) {
      if (i > 0) {
        s.deg += (2 * u(rng) - 1) * 0.3;
        const double r = step * std::sqrt(u(rng)), a = 2 * M_PI * u(rng);
        s.tx += r * std::cos(a);
        s.ty += r * std::sin(a);
      }
      s.mult = 0.2 * std::pow(2.0, stops * ((n - 1) / 2.0 - i));
      shots.push_back(s);
    }
  }
  // Shoots the exposures and hands them to the maker.
  void Shoot(const Camera& cam, uint32_t seed) {
    for (size_t i = 0; i < shots.size(); i++) {
      _ImgStruct im = ::Shoot(*scene, cam, kW, kH, shots[i], seed * 10 + i);
      const std::string name = "s" + std::to_string(i) + ".tif";
      ASSERT_TRUE(WriteTiff(dir.Path(name), im));
      PfreeImage(&im);
      ASSERT_TRUE(AddExposure(&mk, dir, name, static_cast<float>(1 / shots[i].mult)));
    }
  }
};

// Aligns and merges a series, checking each exposure's placement against its neighbour's.
void CheckSeries(uint32_t seed, double step) {
  RandomSeries ser(seed, step);
  ser.Shoot(CubicCamera(), seed);
  const int n = static_cast<int>(ser.shots.size());
  PHDImageMaker& mk = ser.mk;
  MessageLog log;
  _ImgStruct out = {};
  mk.solveFlags = PHDSresponse | PHDSexposure;
  const bool plain = mk.GetHDImage(&out, nullptr);
  PfreeImage(&out);
  mk.ClearSoln(7);
  mk.solveFlags = PHDSresponse | PHDSexposure | PHDSalign;
  log.Clear();
  const bool aligned = mk.GetHDImage(&out, nullptr);
  PfreeImage(&out);
  if (plain) {
    EXPECT_TRUE(aligned) << "seed " << seed << "\n" << log.All();
  }
  ASSERT_TRUE(mk.HaveSoln() & PHDSalign) << "seed " << seed << "\n" << log.All();
  // The maker announces each placement; the warnings after it are that pair's.
  std::vector<std::vector<std::string>> said(1);
  for (const auto& m : log.entries) {
    if (m.second == "Computing offset for image...") said.emplace_back();
    if (m.first == DMCwarning) said.back().push_back(m.second);
  }
  ASSERT_EQ(static_cast<int>(said.size()), n) << log.All();
  auto warned = [&](int k, const char* text) {
    return std::find(said[k].begin(), said[k].end(), text) != said[k].end();
  };
  for (int k = 1; k < n; k++) {
    ASSERT_EQ(mk.Order(k), k);
    const PHDExposure &e = mk.Exposure(k), &p = mk.Exposure(k - 1);
    double ox, oy, px, py;
    TrueOffset(ser.shots[k], &ox, &oy);
    TrueOffset(ser.shots[k - 1], &px, &py);
    const double tx = ox - px, ty = oy - py, fx = e.xoff - p.xoff, fy = e.yoff - p.yoff;
    const double trot = ser.shots[k].deg - ser.shots[k - 1].deg, frot = e.degCW - p.degCW;
    const std::string at = "seed " + std::to_string(seed) + " exposure " + std::to_string(k) +
                           ": offset (" + std::to_string(fx) + ", " + std::to_string(fy) +
                           ") truth (" + std::to_string(tx) + ", " + std::to_string(ty) +
                           "), rotation " + std::to_string(frot) + " truth " + std::to_string(trot);
    int te, tp;
    const int depth = PHDalignDepth(e, p, &te, &tp);
    if (depth < 0) {  // the neighbour's placement stands
      EXPECT_TRUE(warned(k, "Exposure too extreme for alignment")) << at;
      EXPECT_TRUE(fx == 0 && fy == 0 && frot == 0) << at;
      continue;
    }
    // Each level adds at most two of its pixels: a search of this depth reaches no further.
    const double reach = 2.0 * ((2 << depth) - 1);
    EXPECT_LE(std::hypot(fx, fy), std::hypot(tx, ty) + reach) << at;
    if (std::fabs(tx) <= reach && std::fabs(ty) <= reach) {
      EXPECT_LE(std::hypot(fx - tx, fy - ty), 0.71 + 0.3) << at;
    }
    if (depth <= 2 || (frot == 0 && warned(k, "Rotational alignment failed"))) {
      EXPECT_EQ(frot, 0) << at;  // the shift alone
    } else {
      EXPECT_NEAR(frot, trot, 0.05) << at;
    }
  }
}

}  // namespace

TEST(AlignSeries, RandomSeriesPlacedAgainstTheTruth) {
  // Textured and untextured scenes of 3 to 6 exposures, steps to 40 pixels; bare counts ran
  // away on 25 and 35. The sanitizer build runs the first two.
  const uint32_t seeds[] = {2, 5, 14, 25, 35};
  for (uint32_t seed : seeds) {
    CheckSeries(seed, 40);
    if (kSanitized && seed == 5) break;
  }
}

TEST(AlignSeries, SeriesThatRanAwayAligns) {
  // Seven exposures of tiles, under 2.2 pixels apart: scored by bare counts, the second was put
  // some 200 pixels off and the merge failed to solve the response.
  CheckSeries(27, 2.2);
}

TEST(AlignSeries, MovementRemovalOnARandomScene) {
  // A bright square sits in one place in every exposure but the darkest, where it has moved 80
  // pixels to the right; the merge should show it where the reference exposure has it.
  RandomSeries ser(4, 0);
  for (Shot& s : ser.shots) {
    s.deg = 0;
    s.obj = {300, 200, 60, 1.2};
  }
  const int moved = static_cast<int>(ser.shots.size()) - 1;
  ser.shots[moved].obj.x += 80;
  ser.Shoot(CubicCamera(), 4);
  PHDImageMaker& mk = ser.mk;
  MessageLog log;
  mk.solveFlags = PHDSresponse | PHDSexposure;
  ASSERT_TRUE(mk.Compute()) << log.All();
  ASSERT_NE(mk.GetBestExposure(nullptr), moved);
  // The median deviation from the scene over both of the object's places, the merge scaled
  // by its median ratio to the scene elsewhere.
  auto deviation = [&](int flags) {
    mk.solveFlags = flags;
    _ImgStruct out = {};
    EXPECT_TRUE(mk.GetHDImage(&out, nullptr)) << log.All();
    std::vector<double> away, on;
    for (int y = 4; y < kH - 4; y += 2)
      for (int x = 4; x < kW - 4; x += 2) {
        double truth[3];
        ser.scene->LogAt(x + 0.5, y + 0.5, ser.shots[0].obj, truth);
        const float* p = reinterpret_cast<const float*>(out.img + y * out.rowsize) + 3 * x;
        const bool onObject = y >= 200 && y < 260 && x >= 300 && x < 440;
        (onObject ? on : away).push_back(p[1] / std::pow(10.0, truth[1]));
      }
    PfreeImage(&out);
    const double scale = Quantile(away, 0.5);
    for (double& r : on) r = std::fabs(r / scale - 1);
    return Quantile(on, 0.5);
  };
  const double without = deviation(PHDSresponse | PHDSexposure);
  const double with = deviation(PHDSresponse | PHDSexposure | PHDSmovement);
  printf("moved object's median deviation without movement removal %.4f, with %.4f\n", without,
         with);
  EXPECT_GT(without, 0.2);
  EXPECT_LT(with, without / 3);
}
