// Synthetic scenes and cameras of the HDR tests and benchmarks: cameras by their response,
// smooth random textures, random scenes and exposures of them shot moved and turned, and the
// exposure series drawn from a seed. Nothing here needs the test framework.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "image/pimage.h"

namespace hdrtest {

// A camera: per channel the inverse response (byte fraction -> relative linear value, rising
// from 0 to 1), tabulated forward for encoding.
struct Camera {
  std::function<double(int, double)> inv;  // (channel, v in 0..1) -> linear
  std::vector<double> fwd[3];              // linear value at each of 4096 steps of v
  void Build() {
    for (int c = 0; c < 3; c++) {
      fwd[c].resize(4097);
      for (int i = 0; i <= 4096; i++) fwd[c][i] = inv(c, i / 4096.0);
    }
  }
  // v in 0..1 whose linear value is lin. Callers encoding rising values may pass from (first
  // 0), where the search starts and the step found is kept for the next call.
  double Encode(int c, double lin, size_t* from = nullptr) const {
    const std::vector<double>& f = fwd[c];
    if (lin <= f[0]) return 0;
    if (lin >= f[4096]) return 1;
    size_t i;
    if (from != nullptr) {
      for (i = std::max<size_t>(*from, 1); f[i] <= lin; i++) {
      }
      *from = i;
    } else {
      i = std::upper_bound(f.begin(), f.end(), lin) - f.begin();
    }
    const double a = f[i - 1], b = f[i];
    return (i - 1 + (lin - a) / (b - a)) / 4096.0;
  }
};

inline double SrgbInv(double v) {
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

inline Camera SrgbCamera() {
  Camera cam;
  cam.inv = [](int, double v) { return SrgbInv(v); };
  cam.Build();
  return cam;
}

// Different cubics per channel, each rising from 0 to 1.
inline Camera CubicCamera() {
  Camera cam;
  cam.inv = [](int c, double v) {
    static const double k[3][3] = {{0.25, 0.45, 0.30}, {0.15, 0.35, 0.50}, {0.35, 0.15, 0.50}};
    return k[c][0] * v + k[c][1] * v * v + k[c][2] * v * v * v;
  };
  cam.Build();
  return cam;
}

// A film-like curve: code values rise along an S in log exposure (toe, straight part,
// shoulder) over 3.5 decades below the clipping level, a little differently per channel.
inline Camera FilmCamera() {
  Camera cam;
  cam.inv = [](int c, double v) {
    static const double mid[3] = {-1.45, -1.5, -1.55}, slope[3] = {1.15, 1.1, 1.05};
    const double k = slope[c] * std::log(10.0);  // per decade
    auto sig = [&](double lg) { return 1 / (1 + std::exp(-k * (lg - mid[c]))); };
    const double lo = sig(-3.5), hi = sig(0), q = lo + v * (hi - lo);
    return std::pow(10.0, mid[c] + std::log(q / (1 - q)) / k);
  };
  cam.Build();
  return cam;
}

// A smooth random texture in 0..1 defined at any real position (three octaves of bilinear
// value noise).
class Texture {
 public:
  explicit Texture(uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0, 1);
    for (float& v : grid_) v = u(rng);
  }
  double At(double x, double y) const {
    static const double cell[3] = {97.0, 23.0, 6.0}, amp[3] = {0.55, 0.3, 0.15};
    double s = 0;
    for (int o = 0; o < 3; o++) s += amp[o] * Lerp(o, x / cell[o] + 17 * o, y / cell[o] + 5 * o);
    return s;
  }

 private:
  static constexpr int N = 512;
  double Lerp(int o, double x, double y) const {
    const double fx = std::floor(x), fy = std::floor(y);
    const int ix = static_cast<int>(fx) & (N - 1), iy = static_cast<int>(fy) & (N - 1);
    const double tx = x - fx, ty = y - fy;
    auto g = [&](int a, int b) { return grid_[((b & (N - 1)) * N + (a & (N - 1))) ^ o]; };
    return (1 - ty) * ((1 - tx) * g(ix, iy) + tx * g(ix + 1, iy)) +
           ty * ((1 - tx) * g(ix, iy + 1) + tx * g(ix + 1, iy + 1));
  }
  float grid_[N * N];
};

// A random scene: its log10 radiance per channel at any real position, from a smooth texture
// spanning `decades` decades or (without texture) from flat tiles of random colour with gentle
// gradients. A texture may carry fine detail: a second texture a third of the scale, of
// `detail` decades. An optional square object of one radiance sits on top.
class RandomScene {
 public:
  RandomScene(bool textured, double decades, uint32_t seed, double detail = 0)
      : textured_(textured),
        decades_(decades),
        detail_(detail),
        tex_(std::make_unique<Texture>(seed)),
        fine_(detail > 0 ? std::make_unique<Texture>(seed ^ 0x5eed) : nullptr) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    tile_ = 40 + 40 * u(rng);
    for (double& c : tint_) c = std::log10(0.7 + 0.6 * u(rng));
    for (int i = 0; i < 32; i++) colour_[i] = std::log10(0.6 + 0.8 * i / 31.0);
  }
  bool Textured() const { return textured_; }
  bool Detailed() const { return fine_ != nullptr; }
  bool Tabulated() const { return !table_.empty(); }
  // The object: a square of side `size` at (x, y) of log10 radiance lg, or none for size 0.
  struct Object {
    double x = 0, y = 0, size = 0, lg = 0;
  };
  void LogAt(double x, double y, const Object& obj, double* lg) const {
    if (obj.size > 0 && x >= obj.x && x < obj.x + obj.size && y >= obj.y && y < obj.y + obj.size) {
      lg[0] = lg[1] = lg[2] = obj.lg;
    } else if (textured_) {
      const double l = InTable(x, y) ? Interpolated(x, y) : TextureAt(x, y);
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
  // Tabulates a textured scene on the whole positions of x0 .. x1 by y0 .. y1, between which
  // LogAt then interpolates: far quicker for a scene shot many times.
  void Tabulate(int x0, int y0, int x1, int y1) {
    tx0_ = x0;
    ty0_ = y0;
    tcols_ = x1 - x0 + 1;
    trows_ = y1 - y0 + 1;
    table_.resize(static_cast<size_t>(tcols_) * trows_);
    for (int j = 0; j < trows_; j++)
      for (int i = 0; i < tcols_; i++)
        table_[static_cast<size_t>(j) * tcols_ + i] = TextureAt(x0 + i, y0 + j);
  }

 private:
  double TextureAt(double x, double y) const {
    double l = decades_ * (tex_->At(x + 1000, y + 1000) - 0.5);
    if (fine_) l += detail_ * (fine_->At(3 * x, 3 * y) - 0.5);
    return l;
  }
  bool InTable(double x, double y) const {
    return !table_.empty() && x >= tx0_ && y >= ty0_ && x < tx0_ + tcols_ - 1 &&
           y < ty0_ + trows_ - 1;
  }
  double Interpolated(double x, double y) const {
    const double fx = x - tx0_, fy = y - ty0_;
    const int i = static_cast<int>(fx), j = static_cast<int>(fy);
    const double u = fx - i, v = fy - j;
    const float* t = &table_[static_cast<size_t>(j) * tcols_ + i];
    return (1 - v) * ((1 - u) * t[0] + u * t[1]) + v * ((1 - u) * t[tcols_] + u * t[tcols_ + 1]);
  }

  bool textured_;
  double decades_, detail_, tile_;
  double tint_[3], colour_[32];
  std::unique_ptr<Texture> tex_, fine_;
  std::vector<float> table_;
  int tx0_ = 0, ty0_ = 0, tcols_ = 0, trows_ = 0;
};

// Where an exposure sits: turned clockwise by deg about the centre, then moved by (tx, ty);
// mult scales the radiance.
struct Shot {
  double deg = 0, tx = 0, ty = 0, mult = 1;
  RandomScene::Object obj;
};

// One exposure through the camera with Gaussian noise of one code. Tile edges and fine detail
// are averaged over four points a pixel, as lens and sensor soften them (in log10, which keeps
// a step's position); a tabulated scene is smooth between its whole positions already. Log10
// radiance maps to codes through a table in steps of 1/1024 decade.
inline _ImgStruct Shoot(const RandomScene& sc, const Camera& cam, int w, int h, const Shot& s,
                        uint32_t seed) {
  constexpr int kLo = -6, kSteps = 12 * 1024;
  std::vector<float> code[3];
  size_t from[3] = {0, 0, 0};
  for (int c = 0; c < 3; c++) code[c].resize(kSteps + 1);
  for (int i = 0; i <= kSteps; i++) {
    const double lin = std::pow(10.0, kLo + i / 1024.0) * s.mult;
    for (int c = 0; c < 3; c++)
      code[c][i] = static_cast<float>(255.0 * cam.Encode(c, lin, &from[c]));
  }
  std::mt19937 rng(seed);
  std::normal_distribution<float> nd(0, 1);
  float noise[4096];
  for (float& v : noise) v = nd(rng);
  uint32_t pick = seed;
  _ImgStruct im = {w, h, &ICS_sRGB, 0, nullptr, nullptr};
  PnewImage(&im, 0);
  const double a = -s.deg * M_PI / 180, ca = std::cos(a), sa = std::sin(a);
  const double cx = w / 2.0, cy = h / 2.0;
  const int n = sc.Textured() && (!sc.Detailed() || sc.Tabulated()) ? 1 : 4;
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
inline void TrueOffset(const Shot& s, double* ox, double* oy) {
  const double a = -s.deg * M_PI / 180;
  *ox = std::cos(a) * s.tx - std::sin(a) * s.ty;
  *oy = std::sin(a) * s.tx + std::cos(a) * s.ty;
}

// A series of hand-held exposures of a detailed scene: n exposures `stops` stops apart,
// brightest first, through a film-like curve; each is moved against the one before by up to
// `step` pixels (uniformly over the disc) and turned by up to `turn` degrees. The scene spans
// 4 to 6 decades, so that the darkest exposure is mostly black and the brightest mostly white.
struct DetailSeries {
  std::unique_ptr<RandomScene> scene;
  std::vector<Shot> shots;

  DetailSeries(uint32_t seed, double step, double turn = 0.3, int n = 5, double stops = 2) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    scene = std::make_unique<RandomScene>(true, 4 + 2 * u(rng), seed, 0.3 + 0.4 * u(rng));
    const double mid = 0.03 * std::pow(10.0, u(rng) - 0.5);
    Shot s;
    for (int i = 0; i < n; i++) {
      if (i > 0) {
        s.deg += (2 * u(rng) - 1) * turn;
        const double r = step * std::sqrt(u(rng)), a = 2 * M_PI * u(rng);
        s.tx += r * std::cos(a);
        s.ty += r * std::sin(a);
      }
      s.mult = mid * std::pow(2.0, stops * ((n - 1) / 2.0 - i));
      shots.push_back(s);
    }
  }
  // Exposure i through cam at w by h pixels with noise drawn from seed. The first call
  // tabulates the scene over what the series' exposures see.
  _ImgStruct Shoot(const Camera& cam, int w, int h, int i, uint32_t seed) {
    if (!tabulated) {
      double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
      for (const Shot& s : shots) {
        const double a = -s.deg * M_PI / 180, ca = std::cos(a), sa = std::sin(a);
        for (int k = 0; k < 4; k++) {
          const double qx = (k & 1 ? w : 0) - s.tx - w / 2.0, qy = (k & 2 ? h : 0) - s.ty - h / 2.0;
          const double x = ca * qx - sa * qy + w / 2.0, y = sa * qx + ca * qy + h / 2.0;
          x0 = std::min(x0, x);
          x1 = std::max(x1, x);
          y0 = std::min(y0, y);
          y1 = std::max(y1, y);
        }
      }
      scene->Tabulate(static_cast<int>(x0) - 2, static_cast<int>(y0) - 2, static_cast<int>(x1) + 2,
                      static_cast<int>(y1) + 2);
      tabulated = true;
    }
    return hdrtest::Shoot(*scene, cam, w, h, shots[i], seed);
  }

 private:
  bool tabulated = false;
};

}  // namespace hdrtest
