// Alignment: bitmaps, their word-wise comparison, the pyramid search, rotation estimates and
// whole series placed by the maker.
#include <random>

#include "hdr/phdalign.h"
#include "hdr/phdbits.h"
#include "image/piwarp.h"
#include "hdr_test_util.h"
#include "testutil/message_log.h"

using namespace hdrtest;

namespace {

// One exposure: the texture's radiance 10^(5 (t - 0.5)) rotated clockwise by deg about the centre
// and moved by (tx, ty), times mult, through the sRGB curve (or linearly) with noise of one
// code.
_ImgStruct Render(const Texture& tex, int w, int h, double deg, double tx, double ty, double mult,
                  uint32_t seed, bool linear = false) {
  _ImgStruct im = NewRGB(w, h);
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0, 1);
  const double a = -deg * M_PI / 180, ca = std::cos(a), sa = std::sin(a);
  const double cx = w / 2.0, cy = h / 2.0;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      const double qx = x + 0.5 - tx - cx, qy = y + 0.5 - ty - cy;
      const double sx = ca * qx - sa * qy + cx, sy = sa * qx + ca * qy + cy;
      const double rad = std::pow(10.0, 5 * (tex.At(sx, sy) - 0.5)) * mult;
      const double lin = std::min(1.0, rad);
      const double v =
          linear ? lin : (lin <= 0.0031308 ? 12.92 * lin : 1.055 * std::pow(lin, 1 / 2.4) - 0.055);
      const uint8_t b =
          static_cast<uint8_t>(std::lround(std::min(255.0, std::max(0.0, 255 * v + nd(rng)))));
      uint8_t* p = im.img + static_cast<ptrdiff_t>(y) * im.rowsize + 3 * x;
      p[0] = p[1] = p[2] = b;
    }
  return im;
}

}  // namespace

TEST(AlignBitmaps, WordwiseCountAgreesWithShiftedMaps) {
  std::mt19937 rng(3);
  for (int w : {31, 77, 130}) {
    const int h = 23;
    ABitMap2 m[4];
    for (ABitMap2& b : m) {
      b.NewBitMap(w, h, false);
      for (int i = 0; i < w * h; i++)
        if (rng() & 1) b.ABitMap::Set(static_cast<uint32_t>(i));
    }
    for (int sy = -5; sy <= 5; sy += 2)
      for (int sx = -40; sx <= 40; sx += 7) {
        long c1 = -1, c2 = -2;
        EXPECT_EQ(PHDcountDiff(m[0], m[1], m[2], m[3], sx, sy, &c1),
                  PHDcountDiffPlain(m[0], m[1], m[2], m[3], sx, sy, &c2))
            << w << " " << sx << " " << sy;
        EXPECT_EQ(c1, c2) << w << " " << sx << " " << sy;
      }
  }
}

TEST(AlignBitmaps, PackedThresholdRowsMatchTheBitmaps) {
  Texture tex(2);
  _ImgStruct im = Render(tex, 131, 17, 0, 0, 0, 0.3, 4);
  ABitMap2 t, e;
  ASSERT_TRUE(thresholdImage(&t, &e, &im, 120));
  PHDRowBits ft, fe, pt, pe;
  PHDthresholdRows(&ft, &fe, &im, 1, 3, 120);
  PHDpackRows(&pt, t);
  PHDpackRows(&pe, e);
  EXPECT_TRUE(ft.bits == pt.bits);
  EXPECT_TRUE(fe.bits == pe.bits);
  PfreeImage(&im);
}

TEST(AlignBitmaps, ThresholdsAndHalvingUseTheGreenValue) {
  _ImgStruct im = NewRGB(4, 2);
  const uint8_t g[8] = {10, 20, 30, 40, 50, 60, 70, 80};
  for (int i = 0; i < 8; i++) {
    uint8_t* p = im.img + (i / 4) * im.rowsize + 3 * (i % 4);
    p[0] = 255;
    p[1] = g[i];
    p[2] = 0;
  }
  ABitMap2 t, e;
  ASSERT_TRUE(thresholdImage(&t, &e, &im, 40));
  EXPECT_EQ(t.SumTotal(), 4u);  // 50 .. 80
  EXPECT_FALSE(e.Check(3, 0));  // 40 is within 3 of the threshold
  EXPECT_TRUE(e.Check(2, 0));   // 30 is not
  _ImgStruct half = {};
  ASSERT_TRUE(shrinkImage(&half, &im));
  EXPECT_EQ(half.xres, 2);
  EXPECT_EQ(half.img[0], (10 + 20 + 50 + 60) >> 2);
  _ImgStruct f = {2, 2, &ICS_RGB709, 0, nullptr, nullptr};
  ASSERT_TRUE(PnewImage(&f, 0));
  EXPECT_FALSE(thresholdImage(&t, &e, &f, 10));
  EXPECT_FALSE(shrinkImage(&half, &f));
  PfreeImage(&f);
  PfreeImage(&im);
}

TEST(AlignBitmaps, TurnedValuesMatchTheTurnedImage) {
  // Random colours (a different red and blue keep the green from standing in for them), turned
  // both ways and by the smallest angle used: the green of the turned image, within rounding.
  std::mt19937 rng(8);
  _ImgStruct im = NewRGB(97, 61);
  for (int y = 0; y < im.yres; y++)
    for (int x = 0; x < 3 * im.xres; x++) im.img[y * im.rowsize + x] = rng() & 255;
  for (double deg : {0.3, -0.3, 0.071, 4.0}) {
    _ImgStruct full = {im.xres, im.yres, im.csp, 0, nullptr, nullptr}, val = {};
    ASSERT_TRUE(ProtateImage(&full, &im, deg, 5, nullptr));
    ASSERT_TRUE(PHDrotateValues(&val, &im, deg));
    ASSERT_EQ(val.csp, &ICS_Y8);
    int worst = 0;
    for (int y = 0; y < im.yres; y++)
      for (int x = 0; x < im.xres; x++)
        worst = std::max(
            worst, std::abs(val.img[y * val.rowsize + x] - full.img[y * full.rowsize + 3 * x + 1]));
    EXPECT_LE(worst, 1) << deg;
    PfreeImage(&full);
    PfreeImage(&val);
  }
  PfreeImage(&im);
}

TEST(AlignShift, IdenticalImagesAndKnownShift) {
  Texture tex(5);
  _ImgStruct b = Render(tex, 256, 192, 0, 0, 0, 0.05, 1);
  int s[2] = {9, 9};
  ASSERT_TRUE(shiftImage(s, &b, &b, 128, 128, 6));
  EXPECT_EQ(s[0], 0);
  EXPECT_EQ(s[1], 0);
  float deg = 1;
  const _ImgRect r = {0, 64, 0, 64};
  EXPECT_TRUE(getRotation(&deg, &b, &b, 128, 128, 4, &r));
  EXPECT_EQ(deg, 0);
  // a's content sits 7 px left of and 5 px below b's: moving a by (7, -5) matches b.
  _ImgStruct a = Render(tex, 256, 192, 0, -7, 5, 0.05, 2);
  ASSERT_TRUE(shiftImage(s, &a, &b, 128, 128, 6));
  EXPECT_NEAR(s[0] / 2.0, 7, 1);
  EXPECT_NEAR(s[1] / 2.0, -5, 1);
  PfreeImage(&a);
  PfreeImage(&b);
}

TEST(AlignShift, ShiftFoundOnlyWithinReachAndClearly) {
  Texture tex(5), other(77);
  _ImgStruct b = Render(tex, 256, 192, 0, 0, 0, 0.05, 1);
  _ImgStruct a = Render(tex, 256, 192, 0, -30, 20, 0.05, 2);
  int s[2];
  PHDshiftCheck c;
  // Two levels reach 14 px: what they find is not clearly better than the shifts around it;
  // six levels reach the shift.
  ASSERT_TRUE(shiftImage(s, &a, &b, 128, 128, 2, nullptr, &c));
  EXPECT_FALSE(c.found);
  ASSERT_TRUE(shiftImage(s, &a, &b, 128, 128, 6, nullptr, &c));
  EXPECT_TRUE(c.found);
  EXPECT_NEAR(s[0] / 2.0, 30, 1);
  EXPECT_NEAR(s[1] / 2.0, -20, 1);
  EXPECT_LT(c.best, c.around);
  // One level reaches 2 px: a shift of 5 ends on its rim.
  _ImgStruct a5 = Render(tex, 256, 192, 0, -5, 0, 0.05, 4);
  ASSERT_TRUE(shiftImage(s, &a5, &b, 128, 128, 0, nullptr, &c));
  EXPECT_EQ(s[0], 4);
  EXPECT_TRUE(c.edge);
  EXPECT_FALSE(c.found);
  // Another scene: no shift is clearly better than those around it.
  _ImgStruct n = Render(other, 256, 192, 0, 0, 0, 0.05, 3);
  ASSERT_TRUE(shiftImage(s, &n, &b, 128, 128, 6, nullptr, &c));
  EXPECT_FALSE(c.found);
  // In a series, such an exposure is not placed: its neighbour's file is named and the series
  // fails rather than merge it anywhere.
  LoadReaders();
  ScratchDir dir;
  ASSERT_TRUE(WriteTiff(dir.Path("b.tif"), b));
  ASSERT_TRUE(WriteTiff(dir.Path("n.tif"), n));
  PHDImageMaker mk;
  ASSERT_TRUE(AddExposure(&mk, dir, "b.tif", 1));
  ASSERT_TRUE(AddExposure(&mk, dir, "n.tif", 1.01f));
  mk.solveFlags = PHDSalign;
  MessageLog log;
  EXPECT_FALSE(mk.Compute());
  EXPECT_TRUE(log.Has(DMCdata, "Cannot compute image offset")) << log.All();
  EXPECT_TRUE(log.Has(DMCwarning,
                      "No clear offset of " + dir.Path("n.tif") + " against " + dir.Path("b.tif")))
      << log.All();
  EXPECT_FALSE(mk.HaveSoln() & PHDSalign);
  for (_ImgStruct* im : {&a, &a5, &b, &n}) PfreeImage(im);
}

TEST(AlignShift, LimitShiftAndRotationVotes) {
  int lv = 6;
  EXPECT_FALSE(limitShift(&lv, 0, 2, 200));  // threshold 1% from the bottom
  EXPECT_FALSE(limitShift(&lv, 10, 10, 10));
  EXPECT_TRUE(limitShift(&lv, 0, 100, 200));
  EXPECT_EQ(lv, 6);
  EXPECT_TRUE(limitShift(&lv, 0, 5, 200));  // f = 0.025: two levels
  EXPECT_EQ(lv, 2);
  float rot = 1;
  const PHDpairEst split[3] = {{0.1f, 0, 0, 0.02f}, {-0.1f, 0, 0, 0.02f}, {0, 0, 0, 0.02f}};
  EXPECT_FALSE(PHDmeanRotation(split, 3, &rot));
  EXPECT_EQ(rot, 0);
  // Pairs agreeing within 0.07 degree; a pair that matched its regions elsewhere than the
  // others' centre shift is left out; one pair alone is not trusted.
  PHDpairEst agree[3] = {{0.2f, 3, -1, 0.02f}, {0.15f, 3.5f, -1, 0.02f}, {2.5f, 12, -1, 0.02f}};
  float ctr[2];
  EXPECT_TRUE(PHDmeanRotation(agree, 3, &rot, ctr));
  EXPECT_FLOAT_EQ(rot, 0.175f);
  EXPECT_FLOAT_EQ(ctr[0], 3.25f);
  EXPECT_FALSE(PHDmeanRotation(agree, 1, &rot));
  EXPECT_FALSE(PHDmeanRotation(agree, 0, &rot));
  // Pairs too short to tell 0.07 degree apart may differ by one of their steps.
  agree[0].deg = 0.3f;
  EXPECT_FALSE(PHDmeanRotation(agree, 2, &rot));
  agree[0].step = agree[1].step = 0.16f;
  EXPECT_TRUE(PHDmeanRotation(agree, 2, &rot));
  // Estimates of a larger turn may differ by a fifth of it.
  const PHDpairEst turn[2] = {{1.4f, 0, 0, 0.02f}, {1.2f, 0, 0, 0.02f}};
  EXPECT_TRUE(PHDmeanRotation(turn, 2, &rot));
}

namespace {

struct Placement {
  double deg, tx, ty;
};

// Writes a series placed as given, aligns it with the maker and checks the offsets and
// rotations against the truth (relative to the first exposure).
void AlignSeries(int w, int h, const std::vector<Placement>& pl, double tolPx, double tolDeg,
                 bool merge) {
  LoadReaders();
  ScratchDir dir;
  Texture tex(9);
  PHDImageMaker mk;
  const int n = static_cast<int>(pl.size());
  for (int i = 0; i < n; i++) {
    const double mult = 0.2 * std::pow(4.0, 2 - i);
    _ImgStruct im = Render(tex, w, h, pl[i].deg, pl[i].tx, pl[i].ty, mult, 50 + i, merge);
    const std::string name = "a" + std::to_string(i) + ".tif";
    ASSERT_TRUE(WriteTiff(dir.Path(name), im));
    PfreeImage(&im);
    ASSERT_TRUE(AddExposure(&mk, dir, name, static_cast<float>(1.0 / mult)));
  }
  mk.solveFlags = PHDSalign;
  if (merge) {
    // A linear camera: install its response and solve the factors too.
    DBRecord lin(&CDBFInfo);
    const float c[2] = {0, 1};
    for (int f = CDBFred; f <= CDBFblue; f++) lin.SetField(f, c, 2);
    mk.solveFlags = PHDSalign | PHDSexposure | PHDSresponse;
    ASSERT_TRUE(mk.SetResponse(lin));
  }
  ASSERT_TRUE(mk.Compute());
  // Truth: the offset of exposure i is its move turned back by its rotation.
  auto truth = [&](int i, double* ox, double* oy) {
    const double a = -pl[i].deg * M_PI / 180;
    *ox = std::cos(a) * pl[i].tx - std::sin(a) * pl[i].ty;
    *oy = std::sin(a) * pl[i].tx + std::cos(a) * pl[i].ty;
  };
  double ox0, oy0;
  truth(0, &ox0, &oy0);
  const PHDExposure& e0 = mk.Exposure(0);
  for (int i = 1; i < n; i++) {
    double ox, oy;
    truth(i, &ox, &oy);
    const PHDExposure& e = mk.Exposure(i);
    EXPECT_NEAR(e.xoff - e0.xoff, ox - ox0, tolPx) << i;
    EXPECT_NEAR(e.yoff - e0.yoff, oy - oy0, tolPx) << i;
    EXPECT_NEAR(e.degCW - e0.degCW, pl[i].deg - pl[0].deg, tolDeg) << i;
    printf("exposure %d: offset (%d, %d) truth (%.2f, %.2f), rotation %.3f truth %.3f\n", i,
           e.xoff - e0.xoff, e.yoff - e0.yoff, ox - ox0, oy - oy0, e.degCW - e0.degCW,
           pl[i].deg - pl[0].deg);
  }
  if (!merge) return;
  // The merge turns each exposure back into the reference frame, which the medians make the
  // first exposure's (unmoved) frame: interior pixels match the texture's radiance there. A
  // rotation of the wrong sign doubles the misplacement away from the centre.
  _ImgStruct out = {};
  ASSERT_TRUE(mk.GetHDImage(&out, nullptr));
  std::vector<double> ratio, outer;
  for (int y = 24; y < h - 24; y += 2)
    for (int x = 24; x < w - 24; x += 2) {
      const float* p = reinterpret_cast<const float*>(out.img + y * out.rowsize) + 3 * x;
      const double r = p[1] / std::pow(10.0, 5 * (tex.At(x + 0.5, y + 0.5) - 0.5));
      (std::hypot(x - w / 2.0, y - h / 2.0) > 0.35 * w ? outer : ratio).push_back(r);
    }
  const double s = Quantile(ratio, 0.5);
  std::vector<double> rel, relOuter;
  for (double r : ratio) rel.push_back(std::fabs(r / s - 1));
  for (double r : outer) relOuter.push_back(std::fabs(r / s - 1));
  EXPECT_LT(Quantile(rel, 0.5), 0.04);
  EXPECT_LT(Quantile(relOuter, 0.5), 0.04);
  printf("merged after alignment: median %.4f, away from the centre %.4f\n", Quantile(rel, 0.5),
         Quantile(relOuter, 0.5));
  PfreeImage(&out);
}

}  // namespace

TEST(AlignSeries, ShiftedAndRotatedSeriesPlacedWithinAPixel) {
  if (kSanitized) GTEST_SKIP() << "full-size alignment accuracy runs in the normal build";
  AlignSeries(1800, 1200,
              {{0.0, 0, 0}, {0.3, 25, -40}, {-0.2, -40, 12}, {0.1, 33, 37}, {-0.3, -8, -30}}, 1.0,
              0.05, false);
}

TEST(AlignSeries, SmallSeriesRotatesAlignsAndMerges) {
  AlignSeries(480, 320, {{0.0, 0, 0}, {0.8, 6, -4}, {-0.6, -5, 3}}, 1.0, 0.15, true);
}
