// Panorama links: anchor rectangle rules, origins and destinations, re-linking, the link
// tree, and anchor alignment on tiles cut from one textured picture at known offsets.
#include "pano_test_util.h"
#include "hdr/ppanokern.h"
#include "support/cpufeat.h"
#include "testutil/message_log.h"

using namespace panotest;

namespace {

TEST(PanoLinks, AnchorsSpanAtMostEightPercent) {
  PPanorama p;
  const DBRecord r = Record("a.tif", 1000, 1000);
  EXPECT_TRUE(p.CheckOrig(r, {100, 180, 100, 180}));
  EXPECT_FALSE(p.CheckOrig(r, {100, 181, 100, 180}));
  EXPECT_FALSE(p.CheckOrig(r, {100, 180, 100, 181}));
  EXPECT_FALSE(p.CheckOrig(r, {950, 1001, 100, 120}));  // outside the image
  EXPECT_FALSE(p.CheckOrig(r, {100, 100, 100, 120}));   // empty
  EXPECT_FALSE(p.CheckOrig(DBRecord(), {100, 180, 100, 180}));
}

TEST(PanoLinks, OriginsAndDestinations) {
  MessageLog log;
  PPanorama p;
  const DBRecord a = Record("a.tif", 1000, 800), b = Record("b.tif", 1000, 800),
                 c = Record("c.tif", 1000, 800);
  const _ImgRect rc = {100, 150, 100, 150};
  EXPECT_FALSE(p.CheckDest(b, rc));  // no origin pending
  ASSERT_TRUE(p.LinkOrig(a, rc));
  EXPECT_EQ(p.anchor, 0);
  EXPECT_EQ(p.irl.GetSize(), 1);
  EXPECT_EQ(p.FindImage(a), 0);
  EXPECT_EQ(p.FindImage(b), -1);
  // An unrelated image cannot be an origin once the panorama has members.
  EXPECT_FALSE(p.CheckOrig(b, rc));
  EXPECT_FALSE(p.LinkOrig(b, rc));
  EXPECT_TRUE(log.Has(DMCinput, "Bad panorama origin anchor"));
  EXPECT_EQ(p.anchor, 0);

  // Members b and c joined to a by hand; c is linked to b only.
  ASSERT_EQ(p.InsertImage(b), 1);
  ASSERT_EQ(p.InsertImage(c), 2);
  EXPECT_EQ(p.InsertImage(b), 1);  // already a member
  SetLinks(&p, 0, {10, 10, 1});
  SetLinks(&p, 1, {20, 20, 0, 30, 30, 2});
  SetLinks(&p, 2, {40, 40, 1});
  EXPECT_TRUE(p.CheckDest(b, rc));   // linked to the origin: may be re-linked
  EXPECT_FALSE(p.CheckDest(c, rc));  // a member not linked to the origin

  // Unequal densities cannot be linked.
  DBRecord d = Record("d.tif", 1000, 800);
  d.SetField(PDBFxdensity, 300.f);
  EXPECT_FALSE(p.CheckDest(d, rc));
  EXPECT_TRUE(p.CheckDest(Record("e.tif", 1000, 800), rc));

  // Six links leave no room: no longer an origin; five do.
  SetLinks(&p, 0, {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 5, 6, 6, 6});
  EXPECT_FALSE(p.CheckOrig(a, rc));
  SetLinks(&p, 0, {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 5});
  EXPECT_TRUE(p.CheckOrig(a, rc));

  p.ClearPano();
  EXPECT_EQ(p.irl.GetSize(), 0);
  EXPECT_EQ(p.anchor, -1);
  EXPECT_TRUE(p.CheckOrig(b, rc));
}

TEST(PanoLinks, InsertRefusesBadSizesAndDropsCrop) {
  MessageLog log;
  PPanorama p;
  EXPECT_EQ(p.InsertImage(Record("z.tif", 0, 800)), -1);
  EXPECT_TRUE(log.Has(DMCparameter, "Illegal image size in InsertImage"));
  EXPECT_EQ(p.irl.GetSize(), 0);
  DBRecord r = Record("a.tif", 100, 80);
  const long crop[4] = {1, 2, 3, 4};
  r.SetField(PDBFcrop, crop, 4);
  ASSERT_EQ(p.InsertImage(r), 0);
  EXPECT_TRUE(log.Has(DMCwarning, "Ignoring crop for panorama"));
  EXPECT_FALSE(PDBgetField(p.irl.Get(0), PDBFcrop).IsSet());
  EXPECT_GE(p.linkID, 0);
  EXPECT_STREQ(p.fieldInfo.GetName(p.linkID), "PanoLink");
}

TEST(PanoLinks, LinkTreeOffsetsAndMissingLinkBack) {
  MessageLog log;
  PPanorama p;
  for (const char* n : {"a.tif", "b.tif", "c.tif"}) p.InsertImage(Record(n, 100, 80));
  // b's origin lies at (60, 5) in a, c's at (50, -10) in b.
  SetLinks(&p, 0, {70, 40, 1});
  SetLinks(&p, 1, {10, 35, 0, 80, 20, 2});
  SetLinks(&p, 2, {30, 30, 1});
  int off[2] = {7, 7};
  ABitMap v(3);
  EXPECT_TRUE(p.Linked(1, 1, &v, off));
  EXPECT_EQ(off[0], 0);
  EXPECT_EQ(off[1], 0);
  ABitMap v2(3);
  ASSERT_TRUE(p.Linked(0, 2, &v2, off));
  EXPECT_EQ(off[0], 110);
  EXPECT_EQ(off[1], -5);
  ABitMap v3(3);
  ASSERT_TRUE(p.Linked(2, 0, &v3, off));
  EXPECT_EQ(off[0], -110);
  EXPECT_EQ(off[1], 5);
  // A one-sided link.
  SetLinks(&p, 2, {30, 30, 0});
  ABitMap v4(3);
  EXPECT_FALSE(p.Linked(0, 2, &v4, off));
  EXPECT_TRUE(log.Has(DMCassert, "Missing link-back"));
  // Without an offset the link-back is not needed.
  ABitMap v5(3);
  EXPECT_TRUE(p.Linked(0, 2, &v5, nullptr));
  ABitMap tiny(1);
  EXPECT_FALSE(p.Linked(1, 2, &tiny, nullptr));
}

TEST(PanoLinks, SaddleFeatureIsFound) {
  // x * y around (40, 30): a saddle whose strongest response is at its centre.
  _ImgStruct im{};
  im.xres = 90;
  im.yres = 70;
  im.csp = &ICS_Y;
  ASSERT_TRUE(PnewImage(&im, 0));
  for (int y = 0; y < 70; y++)
    for (int x = 0; x < 90; x++) {
      const float dx = x - 40.f, dy = y - 30.f;
      reinterpret_cast<float*>(im.img + y * im.rowsize)[x] =
          100 + dx * dy * std::exp(-(dx * dx + dy * dy) / 50.f);
    }
  int pos[2] = {0, 0};
  findPromonotory(pos, &im);
  EXPECT_EQ(pos[0], 40);
  EXPECT_EQ(pos[1], 30);
  im.xres = im.yres = 15;  // smaller than the kernel: the centre
  findPromonotory(pos, &im);
  EXPECT_EQ(pos[0], 7);
  EXPECT_EQ(pos[1], 7);
  PfreeImage(&im);
}

struct Tiles {
  phototest::ScratchDir dir;
  _ImgStruct pic{};
  DBRecord rec[3];
  static constexpr int kOff[3] = {0, 500, 1000};
  explicit Tiles(float gain1 = 1.f) {
    pic = Texture(1800, 600, 11);
    for (int i = 0; i < 3; i++) {
      const float g = i == 1 ? gain1 : 1.f;
      _ImgStruct t = Cut(pic, kOff[i], 0, 800, 600, g);
      rec[i] = WriteMember(dir, "t" + std::to_string(i) + ".tif", t, 1.f / g);
      PfreeImage(&t);
    }
  }
  ~Tiles() { PfreeImage(&pic); }
};

// Links tile i to tile i+1 with 48 x 48 anchors around picture point (px, py); checks the
// link point against the known offsets.
void LinkAndCheck(PPanorama* p, const Tiles& t, int i, int px, int py) {
  const _ImgRect o = {px - t.kOff[i] - 24, px - t.kOff[i] + 24, py - 24, py + 24};
  const _ImgRect d = {px - t.kOff[i + 1] - 24, px - t.kOff[i + 1] + 24, py - 24, py + 24};
  ASSERT_TRUE(p->LinkOrig(t.rec[i], o));
  int res[4];
  ASSERT_TRUE(p->AlignAnchor(res, t.rec[i + 1], d));
  EXPECT_NEAR(res[0] + t.kOff[i], res[2] + t.kOff[i + 1], 1);
  EXPECT_NEAR(res[1], res[3], 1);
  EXPECT_NEAR(res[0] + t.kOff[i], px, 50);  // a feature near the anchor
  ASSERT_TRUE(p->LinkDest(t.rec[i + 1], d));
  EXPECT_EQ(p->anchor, -1);
}

TEST(PanoLinks, TilesLinkAtTheirTrueCorrespondence) {
  MessageLog log;
  for (float gain : {1.f, 0.985f}) {
    SCOPED_TRACE(gain);
    Tiles t(gain);
    PPanorama p;
    LinkAndCheck(&p, t, 0, 650, 300);
    LinkAndCheck(&p, t, 1, 1150, 200);
    ASSERT_EQ(p.irl.GetSize(), 3);
    int size[2], origin[2];
    ASSERT_EQ(p.CheckPano(nullptr, size, origin), nullptr) << log.All();
    EXPECT_NEAR(size[0], 1800, 2);
    EXPECT_EQ(size[1], 600);
    EXPECT_EQ(origin[0], 0);

    // Re-linking the same pair replaces both triples in place.
    long before[18], after[18];
    const int n0 = p.GetLinks(0, before), n1 = p.GetLinks(1, before + 9);
    LinkAndCheck(&p, t, 0, 600, 400);
    EXPECT_EQ(p.GetLinks(0, after), n0);
    EXPECT_EQ(p.GetLinks(1, after + 9), n1);
    EXPECT_EQ(after[2], 1);
    EXPECT_EQ(after[9 + 2], 0);  // member 1's link to 0 stays its first triple
    EXPECT_NE(after[1], before[1]);
  }
}

TEST(PanoLinks, IdenticalWindowsAlignOnThemselves) {
  phototest::ScratchDir dir;
  _ImgStruct pic = Texture(400, 300, 5);
  const DBRecord a = WriteMember(dir, "a.tif", pic);
  DBRecord b = WriteMember(dir, "b.tif", pic);
  PfreeImage(&pic);
  PPanorama p;
  ASSERT_TRUE(p.LinkOrig(a, {180, 204, 130, 154}));
  int res[4];
  ASSERT_TRUE(p.AlignAnchor(res, b, {180, 204, 130, 154}));
  EXPECT_EQ(res[0], res[2]);
  EXPECT_EQ(res[1], res[3]);
  EXPECT_EQ(p.cspc.cstatic, 0);
}

TEST(PanoLinks, UnrelatedWindowsDoNotAlign) {
  MessageLog log;
  phototest::ScratchDir dir;
  // Another texture thirty times as bright (no sample-to-nits factors to bridge it).
  _ImgStruct pa = Texture(400, 300, 5), pt = Texture(400, 300, 99);
  _ImgStruct pb = Cut(pt, 0, 0, 400, 300, 30.f);
  PfreeImage(&pt);
  const DBRecord a = WriteMember(dir, "a.tif", pa), b = WriteMember(dir, "b.tif", pb);
  PfreeImage(&pa);
  PfreeImage(&pb);
  PPanorama p;
  ASSERT_TRUE(p.LinkOrig(a, {180, 204, 130, 154}));
  EXPECT_FALSE(p.LinkDest(b, {180, 204, 130, 154}));
  EXPECT_EQ(log.CountClass(DMCdata), 1) << log.All();
  EXPECT_EQ(p.anchor, 0);  // the origin stays pending
  EXPECT_EQ(p.irl.GetSize(), 1);
}

}  // namespace

namespace {

TEST(PanoLinks, VectorisedWindowErrorAgreesWithPlain) {
  _ImgStruct a{}, b{};
  for (_ImgStruct* im : {&a, &b}) {
    im->xres = 77;
    im->yres = 50;
    im->csp = &ICS_Y;
    ASSERT_TRUE(PnewImage(im, 0));
  }
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(0, 1);
  for (int y = 0; y < 50; y++)
    for (int x = 0; x < 77; x++) {
      float* pa = reinterpret_cast<float*>(a.img + y * a.rowsize) + x;
      float* pb = reinterpret_cast<float*>(b.img + y * b.rowsize) + x;
      *pa = (x + y) % 7 == 0 ? 0.f : u(rng);  // some pairs with a + b = 0
      *pb = (x + y) % 7 == 0 ? 0.f : u(rng);
    }
  for (int n : {1, 8, 13, 40}) {
    const float plain = PpanoWindowErrorPlain(a, 3, 2, b, 5, 1, n, 30);
    EXPECT_NEAR(PpanoWindowError(a, 3, 2, b, 5, 1, n, 30), plain, 1e-5f * plain) << n;
    if (cpuHasAVX2()) {
      EXPECT_NEAR(PpanoWindowErrorFast(a, 3, 2, b, 5, 1, n, 30), plain, 1e-5f * plain);
    }
  }
  EXPECT_EQ(PpanoWindowErrorPlain(a, 0, 0, b, 0, 0, 1, 1), 0.7f);  // nothing to compare
  EXPECT_EQ(PpanoWindowErrorPlain(a, 3, 2, a, 3, 2, 40, 30), 0.f);
  PfreeImage(&a);
  PfreeImage(&b);
}

}  // namespace
