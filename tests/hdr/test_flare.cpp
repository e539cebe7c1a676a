// Lens-flare removal: refused inputs, and a scene with a known veil spread from three bright
// discs, which must be mostly removed while the discs keep their value.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "hdr/phdflare.h"
#include "image/corvane.h"

namespace {

_ImgStruct NewFloat(int w, int h, const _ImgColorSpace* cs = &ICS_RGB709) {
  _ImgStruct im{};
  im.xres = w;
  im.yres = h;
  im.csp = cs;
  EXPECT_TRUE(PnewImage(&im, 0));
  return im;
}

float* Px(const _ImgStruct& im, int x, int y) {
  return reinterpret_cast<float*>(im.img + static_cast<ptrdiff_t>(y) * im.rowsize) +
         x * ImgPixelLen[im.csp->format];
}

void Fill(const _ImgStruct& im, float v) {
  for (int y = 0; y < im.yres; y++)
    for (int x = 0; x < im.xres * ImgPixelLen[im.csp->format]; x++) Px(im, 0, y)[x] = v;
}

struct FlareScene {
  _ImgStruct img{};          // background + discs + veil
  std::vector<float> truth;  // background + discs, RGB
  std::vector<float> veil;   // veil, one value per pixel (grey)
  std::vector<char> disc;    // inside a disc
  std::vector<char> dark;    // far from every disc
  ~FlareScene() { PfreeImage(&img); }
};

// A textured background near 0.006, three discs of 2000 and a veil c1/r + c2/r^2 from each
// disc, r in 1/128 of the width with r^2 clamped to [8, 4096].
void MakeScene(FlareScene* s, int W, int H, double c1, double c2) {
  s->img = NewFloat(W, H);
  const size_t n = static_cast<size_t>(W) * H;
  s->truth.assign(3 * n, 0.f);
  s->veil.assign(n, 0.f);
  s->disc.assign(n, 0);
  s->dark.assign(n, 1);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(0.7, 1.3);
  const int tile = std::max(4, W / 64);
  std::vector<double> tex((W / tile + 1) * (H / tile + 1));
  for (double& t : tex) t = 0.006 * u(rng);
  const double cx[3] = {0.2 * W, 0.7 * W, 0.45 * W}, cy[3] = {0.25 * H, 0.35 * H, 0.8 * H};
  const double rad = W / 128.0;  // disc radius: one small pixel
  const double unit = W / 128.0;
  const double energy = 2000.0 * M_PI * rad * rad / (unit * unit);  // in small-pixel units
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++) {
      const size_t i = static_cast<size_t>(y) * W + x;
      const double bg = tex[(y / tile) * (W / tile + 1) + x / tile];
      double v = 0;
      bool in = false;
      for (int d = 0; d < 3; d++) {
        const double dx = x + 0.5 - cx[d], dy = y + 0.5 - cy[d];
        const double dist2 = dx * dx + dy * dy;
        if (dist2 < rad * rad) in = true;
        if (dist2 < 36 * rad * rad) s->dark[i] = 0;
        const double r2 = std::clamp(dist2 / (unit * unit), 8.0, 4096.0), r = std::sqrt(r2);
        v += energy * (c1 / r + c2 / r2);
      }
      s->disc[i] = in;
      s->veil[i] = static_cast<float>(v);
      float* p = Px(s->img, x, y);
      for (int c = 0; c < 3; c++) {
        const float t = in ? 2000.f : static_cast<float>(bg * (0.9 + 0.1 * c));
        s->truth[3 * i + c] = t;
        p[c] = t + s->veil[i];
      }
    }
}

struct Outcome {
  double veilMean = 0, leftMean = 0, discErr = 0, veilRatioMin = 1e9, veilRatioMax = 0;
  bool finite = true;
};

Outcome Measure(const FlareScene& s) {
  Outcome o;
  const int W = s.img.xres, H = s.img.yres;
  double veil = 0, left = 0;
  long nd = 0;
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++) {
      const size_t i = static_cast<size_t>(y) * W + x;
      const float* p = Px(s.img, x, y);
      for (int c = 0; c < 3; c++) {
        if (!std::isfinite(p[c])) o.finite = false;
        if (s.disc[i]) o.discErr = std::max(o.discErr, std::fabs(p[c] / 2000.0 - 1));
        if (s.dark[i]) {
          veil += s.veil[i];
          left += std::fabs(p[c] - s.truth[3 * i + c]);
          nd++;
          const double ratio = s.veil[i] / s.truth[3 * i + c];
          o.veilRatioMin = std::min(o.veilRatioMin, ratio);
          o.veilRatioMax = std::max(o.veilRatioMax, ratio);
        }
      }
    }
  o.veilMean = veil / nd;
  o.leftMean = left / nd;
  return o;
}

TEST(Flare, RefusesWhatItCannotClean) {
  _ImgStruct ldr = NewFloat(200, 200, &ICS_sRGB);
  EXPECT_EQ(PHDremoveFlare(&ldr, nullptr), 0);
  PfreeImage(&ldr);
  EXPECT_EQ(PHDremoveFlare(nullptr, nullptr), 0);

  _ImgStruct narrow = NewFloat(100, 300);  // below the analysis size
  Fill(narrow, 0.01f);
  Px(narrow, 50, 50)[1] = 1000.f;
  EXPECT_EQ(PHDremoveFlare(&narrow, nullptr), 0);
  EXPECT_EQ(Px(narrow, 50, 50)[1], 1000.f);
  PfreeImage(&narrow);

  _ImgStruct uniform = NewFloat(256, 256);  // no pixel 1000 times the darkest
  Fill(uniform, 0.5f);
  EXPECT_EQ(PHDremoveFlare(&uniform, nullptr), 0);
  EXPECT_EQ(Px(uniform, 10, 10)[0], 0.5f);
  Fill(uniform, 0.f);  // every pixel a source
  EXPECT_EQ(PHDremoveFlare(&uniform, nullptr), 0);
  PfreeImage(&uniform);
}

TEST(Flare, FewerThanFourSamplePointsFailTheFit) {
  // One bright pixel in a flat field at the analysis size: the spread ratio is the same in
  // every ring, so only the first ring yields a point.
  _ImgStruct im = NewFloat(128, 128);
  Fill(im, 0.01f);
  for (int c = 0; c < 3; c++) Px(im, 64, 64)[c] = 1000.f;
  FlareFilter ff;
  ff.img = &im;
  ASSERT_TRUE(ff.Resample());
  ASSERT_TRUE(ff.FindSources());
  EXPECT_FALSE(ff.ComputePSF());
  EXPECT_EQ(ff.ncoef, 0);
  PfreeImage(&im);
}

TEST(Flare, CancelLeavesTheImageAlone) {
  FlareScene s;
  MakeScene(&s, 256, 192, 5e-5, 3.6e-4);
  const float before = Px(s.img, 5, 5)[0];
  EXPECT_EQ(PHDremoveFlare(&s.img, [](const char*, int pct) { return pct < 30 ? 1 : 0; }), 0);
  EXPECT_EQ(Px(s.img, 5, 5)[0], before);
}

TEST(Flare, KnownVeilIsMostlyRemovedAndNothingGoesNegative) {
  FlareScene s;
  MakeScene(&s, 1024, 768, 5e-5, 3.6e-4);
  {
    const Outcome o = Measure(s);
    EXPECT_GE(o.veilRatioMin, 1.5);  // the veil is 2 to 30 times the background
    EXPECT_LE(o.veilRatioMax, 40);
  }
  ASSERT_EQ(PHDremoveFlare(&s.img, nullptr), 1);
  const Outcome o = Measure(s);
  EXPECT_TRUE(o.finite);
  EXPECT_LE(o.leftMean, 0.25 * o.veilMean) << "left " << o.leftMean << " of " << o.veilMean;
  EXPECT_LE(o.discErr, 0.01);
  for (int y = 0; y < s.img.yres; y += 3)
    for (int x = 0; x < s.img.xres * 3; x++) ASSERT_GE(Px(s.img, 0, y)[x], 0.f);
}

TEST(Flare, SmallImagesUseWholeBlocks) {
  // At 200 x 150 every block is one or two pixels on an axis.
  FlareScene s;
  MakeScene(&s, 200, 150, 5e-5, 3.6e-4);
  FlareFilter ff;
  ff.img = &s.img;
  ASSERT_TRUE(ff.Resample());
  ASSERT_TRUE(ff.FindSources());
  ASSERT_TRUE(ff.ComputePSF());
  ASSERT_TRUE(ff.ApplyPSF());
  const Outcome o = Measure(s);
  EXPECT_TRUE(o.finite);
  EXPECT_LE(o.leftMean * 2.5, o.veilMean) << "left " << o.leftMean << " of " << o.veilMean;
}

TEST(Flare, StrengthNeverAddsFlare) {
  // A source colour in red only: the other channels offer nothing to compare with and the
  // flare found for red must not raise any sample.
  FlareScene s;
  MakeScene(&s, 256, 192, 5e-5, 3.6e-4);
  for (int y = 0; y < s.img.yres; y++)
    for (int x = 0; x < s.img.xres; x++)
      if (s.disc[static_cast<size_t>(y) * s.img.xres + x])
        Px(s.img, x, y)[1] = Px(s.img, x, y)[2] = 0;
  std::vector<float> before(s.img.xres * 3);
  for (int x = 0; x < s.img.xres * 3; x++) before[x] = Px(s.img, 0, 40)[x];
  PHDremoveFlare(&s.img, nullptr);
  for (int x = 0; x < s.img.xres * 3; x++) EXPECT_LE(Px(s.img, 0, 40)[x], before[x]);
}

}  // namespace
