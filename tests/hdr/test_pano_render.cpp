// Panorama rendering: the checks before rendering, canvas sizes, exposure matching between
// members, and tiles of a known picture rendered back into it.
#include "pano_test_util.h"
#include "testutil/message_log.h"

using namespace panotest;

namespace {

TEST(PanoRender, CheckPanoReasons) {
  PPanorama p;
  EXPECT_STREQ(p.CheckPano(nullptr, nullptr, nullptr), "Too few images for panorama");
  for (const char* n : {"a.tif", "b.tif", "c.tif"}) p.InsertImage(Record(n, 100, 80));
  EXPECT_STREQ(p.CheckPano(nullptr, nullptr, nullptr), "Image set not fully joined");
  SetLinks(&p, 0, {70, 40, 1});
  SetLinks(&p, 1, {10, 35, 0});
  EXPECT_STREQ(p.CheckPano(nullptr, nullptr, nullptr), "Image set not fully joined");
  SetLinks(&p, 1, {10, 35, 0, 80, 20, 2});
  SetLinks(&p, 2, {30, 30, 1});
  int size[2], origin[2];
  _ImgColorSpace cs;
  EXPECT_EQ(p.CheckPano(&cs, size, origin), nullptr);
  EXPECT_EQ(cs.cstatic, 0);
  EXPECT_EQ(size[0], 210);  // b at (60, 5), c at (110, -5)
  EXPECT_EQ(size[1], 90);
  EXPECT_EQ(origin[0], 0);
  EXPECT_EQ(origin[1], 5);
  p.irl[2].SetField(PDBForient, 90);
  EXPECT_STREQ(p.CheckPano(nullptr, size, nullptr), "Images do not match orientation");
  for (int i = 0; i < 3; i++) {
    p.irl[i].SetField(PDBForient, 0);
    p.irl[i].SetField(PDBFflip, 0);
  }
  p.irl[2].SetField(PDBFflip, 1);
  EXPECT_STREQ(p.CheckPano(nullptr, size, nullptr), "Images do not match orientation");
  p.irl[2].SetField(PDBFflip, 0);
  EXPECT_EQ(p.CheckPano(nullptr, size, nullptr), nullptr);
  p.irl[1].SetField(PDBFxsize, 100.f);  // not an integer size
  EXPECT_STREQ(p.CheckPano(nullptr, size, nullptr), "Bad image size");
  EXPECT_EQ(p.CheckPano(nullptr, nullptr, nullptr), nullptr);  // sizes not wanted
  EXPECT_EQ(p.GetStoNits(), -1.f);
  p.irl[0].SetField(PDBFstonits, 2.5f);
  EXPECT_EQ(p.GetStoNits(), 2.5f);
}

TEST(PanoRender, DensitiesScaleTheDenserAxis) {
  PPanorama p;
  DBRecord r = Record("a.tif", 1000, 500);
  r.SetField(PDBFxdensity, 300.f);
  r.SetField(PDBFydensity, 300.f / 0.995f);
  p.InsertImage(r);
  int s[2];
  ASSERT_TRUE(p.GetImageSize(s, 0));
  EXPECT_EQ(s[0], 1000);
  EXPECT_EQ(s[1], 500);
  p.irl[0].SetField(PDBFydensity, 300.f / 0.98f);
  ASSERT_TRUE(p.GetImageSize(s, 0));
  EXPECT_EQ(s[1], 490);
  p.irl[0].SetField(PDBFxdensity, 300.f / 0.98f);
  p.irl[0].SetField(PDBFydensity, 300.f);
  ASSERT_TRUE(p.GetImageSize(s, 0));
  EXPECT_EQ(s[0], 980);
  EXPECT_EQ(s[1], 500);
  EXPECT_FALSE(p.GetImageSize(s, 1));
  EXPECT_FALSE(p.GetImageSize(nullptr, 0));
}

struct TileSet {
  phototest::ScratchDir dir;
  _ImgStruct pic{};
  PPanorama pano;
  // Three 800 x 600 tiles at x = 0, 500, 1000 of an 1800 x 600 picture, linked at their
  // true correspondence; the middle one times gain, with the matching factor.
  explicit TileSet(float gain) {
    pic = Texture(1800, 600, 3);
    const int off[3] = {0, 500, 1000};
    for (int i = 0; i < 3; i++) {
      const float g = i == 1 ? gain : 1.f;
      _ImgStruct t = Cut(pic, off[i], 0, 800, 600, g);
      EXPECT_EQ(pano.InsertImage(WriteMember(dir, "t" + std::to_string(i) + ".tif", t, 1.f / g)),
                i);
      PfreeImage(&t);
    }
    SetLinks(&pano, 0, {650, 300, 1});
    SetLinks(&pano, 1, {150, 300, 0, 650, 200, 2});
    SetLinks(&pano, 2, {150, 200, 1});
  }
  ~TileSet() { PfreeImage(&pic); }
};

TEST(PanoRender, TilesRenderBackIntoThePicture) {
  MessageLog log;
  for (float gain : {1.f, 0.985f}) {
    SCOPED_TRACE(gain);
    TileSet ts(gain);
    _ImgStruct canvas{};
    canvas.xres = 1800;
    canvas.yres = 600;
    canvas.csp = &ICS_RGB709;
    ABitMap2 mask;
    ASSERT_TRUE(ts.pano.RenderPano(&canvas, &mask)) << log.All();
    ASSERT_EQ(canvas.xres, 1800);
    ASSERT_EQ(canvas.yres, 600);
    bool finite;
    EXPECT_GE(PsnrF(canvas, ts.pic, &finite), 40.0);
    EXPECT_TRUE(finite);
    EXPECT_EQ(mask.SumTotal(), 1800u * 600u);
    EXPECT_EQ(log.Has(DMCtrace, "Adjusting exposure by 1.015228"), gain != 1.f);
    PfreeImage(&canvas);
    log.Clear();
  }
}

TEST(PanoRender, HalfWidthCanvasScalesEverything) {
  TileSet ts(1.f);
  _ImgStruct canvas{};
  canvas.xres = 900;
  canvas.yres = 600;  // trimmed to the panorama's shape
  canvas.csp = &ICS_RGB709;
  ASSERT_TRUE(ts.pano.RenderPano(&canvas, nullptr));
  ASSERT_EQ(canvas.xres, 900);
  ASSERT_EQ(canvas.yres, 300);
  _ImgStruct half{};
  half.xres = 900;
  half.yres = 300;
  half.csp = &ICS_RGB709;
  ASSERT_TRUE(PsizeImage(&half, &ts.pic, 1));
  bool finite;
  EXPECT_GE(PsnrF(canvas, half, &finite), 30.0);
  EXPECT_TRUE(finite);
  PfreeImage(&half);
  PfreeImage(&canvas);
}

// Two flat members: a at (0, 0) and b at (bx, by), each w x 300.
struct FlatPair {
  phototest::ScratchDir dir;
  PPanorama pano;
  FlatPair(float va, float vb, float sa, float sb, int bx, int by, int wb = 400) {
    _ImgStruct a = Flat(400, 300, va), b = Flat(wb, 300, vb);
    pano.InsertImage(WriteMember(dir, "a.tif", a, sa));
    pano.InsertImage(WriteMember(dir, "b.tif", b, sb));
    PfreeImage(&a);
    PfreeImage(&b);
    const int lx = bx + wb / 2, ly = by + 150;  // a link point in the overlap
    SetLinks(&pano, 0, {lx, ly, 1});
    SetLinks(&pano, 1, {lx - bx, ly - by, 0});
  }
  _ImgStruct Render(const _ImgColorSpace* cs, ABitMap2* mask = nullptr) {
    int size[2];
    EXPECT_EQ(pano.CheckPano(nullptr, size, nullptr), nullptr);
    _ImgStruct c{};
    c.xres = size[0];
    c.yres = size[1];
    c.csp = cs;
    EXPECT_TRUE(pano.RenderPano(&c, mask));
    return c;
  }
};

TEST(PanoRender, BrightnessStepCrossFadesOverTheOverlap) {
  FlatPair fp(0.5f, 0.55f, -1, -1, 250, 20);
  ABitMap2 mask;
  _ImgStruct c = fp.Render(&ICS_RGB709, &mask);
  ASSERT_NE(c.img, nullptr);
  ASSERT_EQ(c.xres, 650);
  ASSERT_EQ(c.yres, 320);
  const int y = 150;
  for (int x = 1; x < c.xres; x++) {
    const float a = Px(c, x - 1, y)[1], b = Px(c, x, y)[1];
    ASSERT_TRUE(std::isfinite(b));
    EXPECT_LE(std::fabs(b - a), 0.005f * a) << "at column " << x;
  }
  // The fade spans the whole overlap (the files keep values to about 0.3%).
  const float va = Px(c, 100, y)[1], vb = Px(c, 500, y)[1];
  EXPECT_NEAR(vb / va, 1.1f, 0.005f);
  EXPECT_NEAR(Px(c, 251, y)[1] / va, 1.f, 0.001f);
  EXPECT_NEAR(Px(c, 398, y)[1] / vb, 1.f, 0.001f);
  EXPECT_NEAR(Px(c, 325, y)[1], std::sqrt(va * vb), 0.001f);
  // Covered: a's and b's rectangles only.
  EXPECT_TRUE(mask.Check(10, 10));
  EXPECT_FALSE(mask.Check(10, 310));
  EXPECT_FALSE(mask.Check(600, 10));
  EXPECT_TRUE(mask.Check(600, 310));
  PfreeImage(&c);
}

TEST(PanoRender, ExposureRatiosScaleOnlyBeyondTheirTolerance) {
  MessageLog log;
  {
    FlatPair fp(0.5f, 0.5f, 1.f, 1.015f, 300, 0);
    _ImgStruct c = fp.Render(&ICS_RGB709);
    EXPECT_NEAR(Px(c, 650, 150)[1] / Px(c, 10, 150)[1], 1.015f, 1e-4);
    PfreeImage(&c);
  }
  {
    FlatPair fp(0.5f, 0.5f, 1.f, 0.99f, 300, 0);
    _ImgStruct c = fp.Render(&ICS_RGB709);
    EXPECT_NEAR(Px(c, 650, 150)[1] / Px(c, 10, 150)[1], 1.f, 1e-4);
    PfreeImage(&c);
  }
  {
    // An 8-bit canvas cannot be scaled: warned and composited as it is.
    FlatPair fp(0.5f, 0.5f, 1.f, 1.015f, 300, 0);
    _ImgStruct c = fp.Render(&ICS_sRGB);
    ASSERT_NE(c.img, nullptr);
    EXPECT_TRUE(log.Has(DMCwarning, "Uncorrected exposure difference (1.015000)")) << log.All();
    EXPECT_EQ(c.img[3 * 650 + 150 * c.rowsize], c.img[3 * 10 + 150 * c.rowsize]);
    PfreeImage(&c);
  }
}

TEST(PanoRender, BlendLandsOnTheOverlapWhenThePartnerEndsInside) {
  // b (200 wide) lies inside a's columns 100..300.
  FlatPair fp(0.5f, 0.6f, -1, -1, 100, 0, 200);
  _ImgStruct c = fp.Render(&ICS_RGB709);
  ASSERT_NE(c.img, nullptr);
  ASSERT_EQ(c.xres, 400);
  const float at = Px(c, 101, 150)[1], mid = Px(c, 200, 150)[1];
  EXPECT_NEAR(at, Px(c, 50, 150)[1], 0.001f);  // the fade starts from a at the overlap's left edge
  EXPECT_GT(mid, 0.51f);
  EXPECT_LT(mid, 0.59f);
  PfreeImage(&c);
}

TEST(PanoRender, MissingMemberFileFailsAndFreesTheCanvas) {
  MessageLog log;
  FlatPair fp(0.5f, 0.5f, -1, -1, 300, 0);
  fp.pano.irl[1].SetField(PDBFfile, "gone.tif");
  _ImgStruct c{};
  c.xres = 700;
  c.yres = 300;
  c.csp = &ICS_RGB709;
  EXPECT_FALSE(fp.pano.RenderPano(&c, nullptr));
  EXPECT_EQ(c.img, nullptr);
  PPanorama single;
  single.InsertImage(Record("a.tif", 10, 10));
  EXPECT_FALSE(single.RenderPano(&c, nullptr));
  EXPECT_TRUE(log.Has(DMCinput, "Too few images for panorama"));
}

}  // namespace
