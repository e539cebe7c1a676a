// Exposure adjustment of 8-bit frames, histograms, average luminance and red-eye removal.
#include "display_test_util.h"

using namespace disptest;

namespace {

// 100 x 100: rows 0..79 level 60, a spot block of level 61 at (0..19, 80..99), and 200
// pixels of level 200 (the top 3 % of the bytes) at (20..39, 80..89).
FakePicture SpotPicture(int spotLevel) {
  FakePicture p;
  p.w = p.h = 100;
  p.pixel = [spotLevel](int x, int y, int, float* c) {
    float v = 60;
    if (y >= 80 && x < 20) v = static_cast<float>(spotLevel);
    if (y >= 80 && y < 90 && x >= 20 && x < 40) v = 200;
    c[0] = c[1] = c[2] = v;
  };
  return p;
}

int LoadedLevel(PDisplayImage* di, int x, int y) {
  return ViewRed(di, x, y);
}

TEST(Exposure, SpotsAveragingSixtyLiftSixtyToNinetyFour) {
  FakeFiles files;
  DBRecord rec = files.Record(files.Add("s.fkd", SpotPicture(61)));
  SetInts(&rec, PDBFspotexp, {0, 80, 20, 100});
  PDisplayImage di(rec);
  EXPECT_EQ(LoadedLevel(&di, 50, 10), 94);
  EXPECT_EQ(LoadedLevel(&di, 25, 85), 255);
  ASSERT_NE(di.dlp->invMap, nullptr);
  EXPECT_EQ(di.dlp->invMap[94], 60);
  EXPECT_EQ(di.dlp->invMap[255], 255);
}

TEST(Exposure, ExtremeAveragesAndBadCountsChangeNothing) {
  FakeFiles files;
  for (int level : {250, 10}) {
    DBRecord rec =
        files.Record(files.Add("e" + std::to_string(level) + ".fkd", SpotPicture(level)));
    SetInts(&rec, PDBFspotexp, {0, 80, 20, 100});
    PDisplayImage di(rec);
    EXPECT_EQ(LoadedLevel(&di, 50, 10), 60) << level;
    EXPECT_EQ(di.dlp->invMap, nullptr);
  }
  DBRecord rec = files.Record(files.Add("five.fkd", SpotPicture(61)));
  SetInts(&rec, PDBFspotexp, {0, 80, 20, 100, 3});
  PDisplayImage di(rec);
  ResetMessages(DMCwarning);
  EXPECT_EQ(LoadedLevel(&di, 50, 10), 60);
  EXPECT_EQ(LastMessage(DMCwarning), "Bad spot exposure parameter count");
}

TEST(Histogram, EightBitChannelsAndLuminance) {
  FakeFiles files;
  FakePicture p = Solid(10, 10, 255, 0, 0);
  p.pixel = [](int x, int, int, float* c) {
    c[0] = x < 5 ? 255 : 0;
    c[1] = 0;
    c[2] = 0;
  };
  PDisplayImage di(files.Record(files.Add("h.fkd", p)));
  double lim[2];
  unsigned int hist[4];
  EXPECT_FALSE(di.GetHistogram(lim, hist, 1, PHCred, nullptr));
  ASSERT_TRUE(di.GetHistogram(lim, hist, 4, PHCred, nullptr));
  EXPECT_EQ(lim[1], 255);
  EXPECT_EQ(hist[0], 50u);
  EXPECT_EQ(hist[3], 50u);
  ASSERT_TRUE(di.GetHistogram(lim, hist, 4, PHCrgb, nullptr));
  EXPECT_EQ(hist[0] + hist[3], 300u);
  ASSERT_TRUE(di.GetHistogram(lim, hist, 4, PHCluminance, nullptr));
  EXPECT_EQ(lim[1], 1.0);
  EXPECT_EQ(hist[0], 100u);  // pure red is dark: 54/255 of white
  const _ImgRect left = {0, 5, 0, 10};
  EXPECT_NEAR(di.AvgLuminance(&left), 54.0 / 255.0, 1e-9);
  EXPECT_EQ(di.AvgLuminance(nullptr), 0.0);
  ASSERT_TRUE(di.GetHistogram(lim, hist, 4, PHCrgb3, nullptr));
}

TEST(Histogram, HDRLuminanceLeavesOutBlackAndNeedsARange) {
  FakeFiles files;
  FakePicture p;
  p.w = 16;
  p.h = 4;
  p.kind = FakePicture::kFloatRGB;
  p.pixel = [](int x, int y, int, float* c) {
    const float v = (x == 0 && y == 0) ? 0.0f : (x < 8 ? 1.0f : 100.0f);
    c[0] = c[1] = c[2] = v;
  };
  PDisplayImage di(files.Record(files.Add("l.fkd", p)));
  double lim[2];
  unsigned int hist[2];
  ASSERT_TRUE(di.GetHistogram(lim, hist, 2, PHCluminance, nullptr));
  EXPECT_NEAR(lim[1] / lim[0], 100.0, 2.0);
  EXPECT_EQ(hist[0] + hist[1], 63u);
  EXPECT_EQ(hist[1], 32u);
  const _ImgRect r = {8, 16, 0, 4};
  const _ImgRect dim = {1, 8, 0, 1};
  EXPECT_NEAR(di.AvgLuminance(&r) / di.AvgLuminance(&dim), 100.0, 2.0);

  PDisplayImage flat(files.Record(files.Add("flat.fkd", [] {
    FakePicture q = Solid(8, 8, 0.5f, 0.5f, 0.5f);
    q.kind = FakePicture::kFloatRGB;
    return q;
  }())));
  EXPECT_FALSE(flat.GetHistogram(lim, hist, 2, PHCluminance, nullptr));
  // The other channels map the frame first.
  unsigned int h8[8];
  ASSERT_TRUE(flat.GetHistogram(lim, h8, 8, PHCgreen, nullptr));
  unsigned int total = 0;
  for (unsigned int c : h8) total += c;
  EXPECT_EQ(total, 64u);
}

TEST(Histogram, UnusableSampleToNitsFactorsCountAsAbsent) {
  FakeFiles files;
  FakePicture p;
  p.w = 8;
  p.h = 8;
  p.kind = FakePicture::kFloatRGB;
  p.pixel = [](int x, int, int, float* c) { c[0] = c[1] = c[2] = 0.1f * (x + 1); };
  const std::string path = files.Add("n.fkd", p);
  for (float sf : {-5.0f, 0.0f}) {
    DBRecord rec = files.Record(path);
    rec.SetField(PDBFstonits, sf);
    PDisplayImage di(rec);
    double lim[2];
    unsigned int hist[4];
    ASSERT_TRUE(di.GetHistogram(lim, hist, 4, PHCluminance, nullptr)) << sf;
    EXPECT_GT(lim[0], 0) << sf;
    EXPECT_NEAR(lim[1] / lim[0], 8.0, 0.2) << sf;
    const _ImgRect r = {0, 8, 0, 8};
    EXPECT_GT(di.AvgLuminance(&r), 0) << sf;
  }
}

TEST(RedEye, PupilGreyedEdgeBlendedRestUnchanged) {
  FakeFiles files;
  DBRecord rec = files.Record(files.Add("eye.fkd", Eye()));
  SetInts(&rec, PDBFredeye, {131, 131, 169, 169});
  PDisplayImage di(rec);
  _ImgStruct all = {};
  all.xres = all.yres = 300;
  all.csp = &ICS_sRGB;
  ASSERT_TRUE(di.GetSubimage(&all, nullptr, nullptr));
  const uint8_t* centre = Px(all, 150, 150);
  EXPECT_EQ(centre[0], centre[1]);
  EXPECT_EQ(centre[1], centre[2]);
  EXPECT_EQ(centre[0], 30);
  // The rim is only partly moved towards grey.
  const uint8_t* edge = Px(all, 156, 150);
  EXPECT_LT(edge[0], 200);
  EXPECT_GT(edge[0], edge[2]);
  EXPECT_EQ(std::memcmp(Px(all, 158, 150), "\xeb\xeb\xeb", 3), 0);
  EXPECT_EQ(Px(all, 135, 135)[0], 200);
  PfreeImage(&all);
}

TEST(RedEye, WarningsAndRegionsLeftAlone) {
  FakeFiles files;
  const std::string eye = files.Add("eye.fkd", Eye());
  auto centreRed = [&](std::vector<long> v, const char* warning) {
    DBRecord rec = files.Record(eye);
    SetInts(&rec, PDBFredeye, v);
    ResetMessages(DMCwarning);
    PDisplayImage di(rec);
    const int red = ViewRed(&di, 150, 150);
    if (warning != nullptr) {
      EXPECT_EQ(LastMessage(DMCwarning), warning);
    }
    return red;
  };
  EXPECT_EQ(centreRed({131, 131, 169, 169, 5}, "Bad red-eye parameter count"), 220);
  EXPECT_EQ(centreRed({50, 50, 250, 250}, "Region too large for red-eye removal"), 220);
  EXPECT_EQ(centreRed({400, 400, 500, 500}, nullptr), 220);  // outside: skipped silently
  // A tight rectangle inside the pupil has no neutral surround: nothing is repainted.
  EXPECT_EQ(centreRed({147, 147, 154, 154}, nullptr), 220);

  // A uniformly red picture has no neutral surround either.
  PDisplayImage red(files.Record(files.Add("red.fkd", Solid(300, 300, 220, 30, 30))));
  DBRecord rec = red.GetRec();
  SetInts(&rec, PDBFredeye, {130, 130, 170, 170});
  red.UpdateRec(rec);
  double lim[2];
  unsigned int h[2];
  ASSERT_TRUE(red.GetHistogram(lim, h, 2, PHCred, nullptr));
  EXPECT_EQ(h[1], 300u * 300u);
}

TEST(RedEye, FloodStopsAtItsDepthAndAtNonRedPixels) {
  _ImgStruct im = phototest::NewRGB(10, 3);
  PclearImage(&im, "\xf0\x00\x00");
  const_cast<uint8_t*>(Px(im, 5, 1))[0] = 10;
  ABitMap2 m(10, 3, false);
  EXPECT_EQ(floodRedEye(&m, &im, 0, 0, 0), 0);
  EXPECT_EQ(floodRedEye(&m, &im, 0, 0, 100), 29);
  EXPECT_EQ(floodRedEye(&m, &im, 0, 0, 100), 0);  // already marked
  ABitMap2 d(10, 3, false);
  EXPECT_EQ(floodRedEye(&d, &im, 0, 0, 2), 3);
  EXPECT_EQ(floodRedEye(&d, &im, 5, 1, 5), 0);
  PfreeImage(&im);
}

}  // namespace
