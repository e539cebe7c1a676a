// Display images: opening records, frames, record changes that reload or apply in place,
// display spaces and the close callback.
#include "display_test_util.h"

using namespace disptest;

namespace {

FakePicture Gradient(int w, int h, int frames = 1) {
  FakePicture p;
  p.w = w;
  p.h = h;
  p.frames = frames;
  p.pixel = [](int x, int y, int f, float* c) {
    c[0] = static_cast<float>((x * 3 + f * 40) & 255);
    c[1] = static_cast<float>((y * 5) & 255);
    c[2] = static_cast<float>((x + y) & 255);
  };
  return p;
}

TEST(DisplayImage, RecordWithoutSizeCannotBeParsed) {
  FakeFiles files;
  DBRecord r = files.Record(files.Add("a.fkd", Gradient(8, 8)));
  r.ClearField(PDBFxsize);
  PDisplayImage di;
  ResetMessages(DMCdata);
  EXPECT_FALSE(di.SetImage(r));
  EXPECT_EQ(LastMessage(DMCdata), "Cannot parse image file");
  EXPECT_FALSE(di.Ready());
  EXPECT_EQ(di.GetRec().GetFieldInfo(), nullptr);
}

TEST(DisplayImage, OpensWithoutReadingUntilFirstUse) {
  FakeFiles files;
  const std::string path = files.Add("a.fkd", Gradient(40, 30));
  PDisplayImage di;
  const DBRecord rec = files.Record(path);
  const int before = OpenCount();
  ASSERT_TRUE(di.SetImage(rec));
  EXPECT_TRUE(di.Ready());
  EXPECT_EQ(OpenCount(), before);
  EXPECT_EQ(di.GetNFrames(), 1);
  EXPECT_EQ(OpenCount(), before + 1);
  EXPECT_EQ(di.GetOWidth(), 40);
  EXPECT_EQ(di.GetOHeight(), 30);
  EXPECT_FALSE(di.IsHDR());
  EXPECT_FALSE(di.IsLossy());
}

TEST(DisplayImage, FramesOfAMultiFrameFileAndBounds) {
  FakeFiles files;
  PDisplayImage one;
  ASSERT_TRUE(one.SetImage(files.Record(files.Add("one.fkd", Gradient(8, 8)))));
  ASSERT_TRUE(one.CheckLoad());
  EXPECT_FALSE(one.SetFrame(3));
  EXPECT_EQ(one.GetNFrames(), 1);
  EXPECT_FALSE(one.SetFrame(-1));

  PDisplayImage multi;
  ASSERT_TRUE(multi.SetImage(files.Record(files.Add("three.fkd", Gradient(8, 8, 3)))));
  ASSERT_TRUE(multi.CheckLoad());  // the frame count is known once the first frame loads
  ASSERT_TRUE(multi.SetFrame(2));
  EXPECT_EQ(multi.CurrentFrame(), 2);
  EXPECT_EQ(multi.GetNFrames(), 3);
  _ImgStruct px = {};
  px.xres = 8;
  px.yres = 8;
  px.csp = &ICS_sRGB;
  ASSERT_TRUE(multi.GetSubimage(&px, nullptr, nullptr));
  EXPECT_EQ(Px(px, 1, 0)[0], (3 + 80) & 255);
  PfreeImage(&px);
  EXPECT_FALSE(multi.SetFrame(3));
  EXPECT_TRUE(multi.SeekFrame(-1, IRSrel));
  EXPECT_EQ(multi.CurrentFrame(), 1);
  EXPECT_TRUE(multi.SeekFrame(2, IRSadv));  // wraps for advancing through an animation
  EXPECT_TRUE(multi.SetFrame(0));
  EXPECT_EQ(multi.CurrentFrame(), 0);
}

TEST(DisplayImage, SharedPixelsOutliveTheImage) {
  FakeFiles files;
  _ImgStruct held = {};
  held.xres = 8;
  held.yres = 8;
  held.csp = &ICS_sRGB;
  {
    PDisplayImage di(files.Record(files.Add("a.fkd", Gradient(8, 8))));
    ASSERT_TRUE(di.GetSubimage(&held, nullptr, nullptr));
  }
  EXPECT_EQ(Px(held, 2, 3)[1], 15);
  PfreeImage(&held);
}

TEST(DisplayImage, FrameNumbersBeyondTenThousandReloadToo) {
  PDisplayImage di;
  di.MarkReload(12345);
  EXPECT_TRUE(di.NeedsReload(12345));
  EXPECT_FALSE(di.NeedsReload(12344));
  di.MarkReload(3);
  EXPECT_TRUE(di.NeedsReload(12345));
  di.ClearReload(12345);
  EXPECT_FALSE(di.NeedsReload(12345));
  EXPECT_TRUE(di.NeedsReload(3));
}

class UpdateRecTest : public ::testing::Test {
 protected:
  void SetUp() override { Open(1.0f); }
  void Open(float aspect) {
    path = files.Add(aspect == 1.0f ? "eye.fkd" : "narrow.fkd", Eye(aspect));
    rec = files.Record(path);
    ASSERT_TRUE(di.SetImage(rec));
    ASSERT_TRUE(di.CheckLoad());
    opens = OpenCount();
  }
  int Pupil() { return ViewRed(&di, 150, 150); }
  FakeFiles files;
  std::string path;
  DBRecord rec;
  PDisplayImage di;
  int opens = 0;
};

TEST_F(UpdateRecTest, CropChangeKeepsPixelsAndReportsChange) {
  SetInts(&rec, PDBFcrop, {10, 20, 110, 220});
  EXPECT_TRUE(di.UpdateRec(rec));
  EXPECT_TRUE(di.CheckLoad());
  EXPECT_EQ(OpenCount(), opens);
  EXPECT_EQ(di.ior.xres, 100);
  EXPECT_EQ(di.ior.yres, 200);
  _ImgRect cr;
  EXPECT_TRUE(di.CropRect(&cr));
  EXPECT_EQ(cr.xleft, 10);
  EXPECT_EQ(cr.ybottom, 220);
  // File and view rectangles convert through the crop origin.
  _ImgRect v, f = {20, 30, 40, 50};
  ASSERT_TRUE(di.GetViewRect(&v, &f));
  EXPECT_EQ(v.xleft, 10);
  EXPECT_EQ(v.ytop, 20);
  ASSERT_TRUE(di.GetOrigRect(&f, &v));
  EXPECT_EQ(f.xleft, 20);
  EXPECT_EQ(f.ybottom, 50);
  // The same record again changes nothing.
  EXPECT_FALSE(di.UpdateRec(rec));
}

TEST_F(UpdateRecTest, ContentHashOrLengthChangeReloads) {
  rec.SetField(PDBFhashval, PDBgetField(rec, PDBFhashval).GetInt() ^ 1);
  EXPECT_TRUE(di.UpdateRec(rec));
  EXPECT_TRUE(di.NeedsReload(0));
  // The file's real hash no longer matches the record, so the locating step may still find
  // the file by name; what matters is that the frame reads the file again.
  di.CheckLoad();
  EXPECT_GT(OpenCount(), opens);
}

TEST_F(UpdateRecTest, AppendedRedEyeAppliesInPlaceAndRemovedReloads) {
  const uint8_t before = Pupil();
  EXPECT_GE(before, 200);
  SetInts(&rec, PDBFredeye, {135, 135, 165, 165});
  EXPECT_TRUE(di.UpdateRec(rec));
  EXPECT_EQ(OpenCount(), opens);
  EXPECT_FALSE(di.NeedsReload(0));
  EXPECT_LT(Pupil(), 100);
  // Removing the rectangle brings the red back from the file.
  rec.ClearField(PDBFredeye);
  EXPECT_TRUE(di.UpdateRec(rec));
  EXPECT_TRUE(di.NeedsReload(0));
  EXPECT_EQ(Pupil(), before);
  EXPECT_EQ(OpenCount(), opens + 1);
}

TEST_F(UpdateRecTest, RedEyeInPlaceFindsThePupilOfACroppedNonSquarePixelImage) {
  Open(0.5f);  // pixels half as wide as high
  SetInts(&rec, PDBFcrop, {60, 60, 300, 300});
  ASSERT_TRUE(di.SetImage(rec));
  ASSERT_TRUE(di.CheckLoad());
  ASSERT_EQ(di.ior.xres, 120);
  ASSERT_EQ(di.ior.yres, 240);
  auto pupil = [&]() { return ViewRed(&di, 45, 90); };
  EXPECT_GE(pupil(), 200);
  SetInts(&rec, PDBFredeye, {131, 131, 169, 169});
  EXPECT_TRUE(di.UpdateRec(rec));
  EXPECT_LT(pupil(), 100);
}

TEST_F(UpdateRecTest, SpotChangeReloadsAnEightBitFrame) {
  SetInts(&rec, PDBFspotexp, {0, 0, 10, 10});
  EXPECT_TRUE(di.UpdateRec(rec));
  EXPECT_TRUE(di.NeedsReload(0));
}

TEST(DisplayImage, SpotChangeOnlyClearsTheHistogramOfAnHDRFrame) {
  FakeFiles files;
  FakePicture p = Solid(32, 32, 1, 1, 1);
  p.kind = FakePicture::kFloatRGB;
  p.pixel = [](int x, int y, int, float* c) { c[0] = c[1] = c[2] = 0.01f * (1 + x + y); };
  DBRecord rec = files.Record(files.Add("h.fkd", p));
  PDisplayImage di;
  ASSERT_TRUE(di.SetImage(rec));
  ASSERT_TRUE(di.IsHDR());
  _ImgStruct out = {};
  out.xres = out.yres = 32;
  out.csp = &ICS_sRGB;
  ASSERT_TRUE(di.GetSubimage(&out, nullptr, nullptr));
  PfreeImage(&out);
  ASSERT_NE(di.dlp->tms->histo, nullptr);
  const int opens = OpenCount();
  SetInts(&rec, PDBFspotexp, {0, 0, 4, 4});
  EXPECT_TRUE(di.UpdateRec(rec));
  EXPECT_FALSE(di.NeedsReload(0));
  EXPECT_EQ(di.dlp->tms->histo, nullptr);
  ASSERT_TRUE(di.GetSubimage(&out, nullptr, nullptr));
  PfreeImage(&out);
  EXPECT_EQ(OpenCount(), opens);
}

TEST(DisplayImage, DisplaySpaceChecks) {
  FakeFiles files;
  PDisplayImage di;
  ASSERT_TRUE(di.SetImage(files.Record(files.Add("a.fkd", Gradient(8, 8)))));
  ASSERT_TRUE(di.CheckLoad());
  EXPECT_FALSE(di.SetDisplaySpace(&ICS_Y16, 32, 100));
  EXPECT_TRUE(di.SetDisplaySpace(nullptr, 1.5, 0.5));
  double dr = 0, lm = 0;
  _ImgColorSpace cs;
  di.GetDisplaySpace(&cs, &dr, &lm);
  EXPECT_EQ(dr, 32.0);
  EXPECT_EQ(lm, 100.0);
  EXPECT_EQ(cs.cstatic, 0);
  // Another gamma is accepted and reloads the frame at its next use.
  _ImgColorSpace g = ICS_sRGB;
  g.gamma = 1.8f;
  EXPECT_TRUE(di.SetDisplaySpace(&g, 64, 200));
  EXPECT_TRUE(di.NeedsReload(0));
  di.GetDisplaySpace(nullptr, &dr, &lm);
  EXPECT_EQ(dr, 64.0);
  EXPECT_EQ(lm, 200.0);
}

bool Veto(PDisplayImage*, bool) {
  return false;
}

TEST(DisplayImage, VetoingCloseCallbackKeepsTheImageOpen) {
  FakeFiles files;
  PDisplayImage di;
  ASSERT_TRUE(di.SetImage(files.Record(files.Add("a.fkd", Gradient(8, 8)))));
  di.cloz = Veto;
  EXPECT_FALSE(di.CloseImage(false));
  EXPECT_TRUE(di.Ready());
  di.cloz = nullptr;
  EXPECT_TRUE(di.CloseImage(false));
  EXPECT_FALSE(di.Ready());
}

TEST(DisplayImage, DestroyingAnImageRunsItsCloseCallbackAndOverrulesAVeto) {
  FakeFiles files;
  const std::string path = files.Add("tmp.fkd", Gradient(8, 8));
  static int calls = 0;
  calls = 0;
  {
    PDisplayImage di;
    ASSERT_TRUE(di.SetImage(files.Record(path)));
    di.cloz = [](PDisplayImage*, bool) {
      ++calls;
      return false;
    };
    ASSERT_TRUE(di.CheckLoad());
  }
  EXPECT_EQ(calls, 1);
  {
    PDisplayImage di;
    ASSERT_TRUE(di.SetImage(files.Record(path)));
    di.cloz = PDeleteTempImage;
  }
  EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST(DisplayImage, DeleteTempImageRemovesTheFileAndNeverVetoes) {
  FakeFiles files;
  const std::string path = files.Add("tmp.fkd", Gradient(8, 8));
  {
    PDisplayImage di;
    ASSERT_TRUE(di.SetImage(files.Record(path)));
    di.cloz = PDeleteTempImage;
    EXPECT_TRUE(di.CloseImage(false));
  }
  EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST(DisplayImage, PixelAspectOnlyFromPositiveFiniteDensities) {
  FakeFiles files;
  DBRecord rec = files.Record(files.Add("a.fkd", Gradient(100, 100)));
  rec.SetField(PDBFxdensity, 100.0f);
  rec.SetField(PDBFydensity, 200.0f);
  PDisplayImage di;
  ASSERT_TRUE(di.SetImage(rec));
  EXPECT_FLOAT_EQ(di.pixAspect, 2.0f);
  EXPECT_EQ(di.ior.xres, 100);
  EXPECT_EQ(di.ior.yres, 50);
  rec.SetField(PDBFxdensity, 0.0f);
  di.UpdateRec(rec);
  EXPECT_FLOAT_EQ(di.pixAspect, 1.0f);
  rec.SetField(PDBFxdensity, -3.0f);
  di.UpdateRec(rec);
  EXPECT_FLOAT_EQ(di.pixAspect, 1.0f);
}

}  // namespace
