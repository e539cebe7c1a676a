// The image ring: ring links, zoom and rendering, selection, exposure and frame requests.
#include <random>

#include "display_test_util.h"

using namespace disptest;

namespace {

TEST(ImageRing, FitRendersTheViewCentredOnBackground) {
  FakeFiles files;
  PImageRing ir(files.Add("a.fkd", Solid(400, 300, 10, 200, 30)).c_str(), nullptr);
  ASSERT_TRUE(ir.Ready());
  _ImgStruct dst = {};
  dst.xres = dst.yres = 200;
  dst.csp = &ICS_sRGB;
  const uint8_t bg[3] = {1, 2, 3};
  ASSERT_TRUE(ir.RenderImage(&dst, bg, nullptr));
  int ratio[2];
  ir.GetZoom(ratio);
  EXPECT_EQ(ratio[0], 200);
  EXPECT_EQ(ratio[1], 400);
  int pictureRows = 0;
  for (int y = 0; y < 200; ++y) {
    const uint8_t* p = Px(dst, 100, y);
    if (p[0] == 10 && p[1] == 200 && p[2] == 30) {
      ++pictureRows;
    } else {
      EXPECT_EQ(p[0], 1) << y;
      EXPECT_EQ(p[2], 3) << y;
    }
  }
  EXPECT_EQ(pictureRows, 150);
  EXPECT_EQ(Px(dst, 0, 100)[1], 200);
  EXPECT_EQ(Px(dst, 199, 100)[1], 200);
  PfreeImage(&dst);
  EXPECT_FALSE(ir.IsChanged());
}

TEST(ImageRing, RenderedSubrectangleMatchesTheWholeRendering) {
  FakeFiles files;
  FakePicture p;
  p.w = 64;
  p.h = 48;
  p.pixel = [](int x, int y, int, float* c) {
    c[0] = static_cast<float>(x * 4);
    c[1] = static_cast<float>(y * 5);
    c[2] = 7;
  };
  PImageRing ir(files.Add("s.fkd", p).c_str(), nullptr);
  ir.SetZoomRatio(1, 1);
  _ImgStruct whole = phototest::NewRGB(64, 48), part = phototest::NewRGB(64, 48);
  const uint8_t bg[3] = {0, 0, 0};
  ASSERT_TRUE(ir.RenderImage(&whole, bg, nullptr));
  PclearImage(&part, nullptr);
  const _ImgRect sub = {10, 30, 5, 25};
  ASSERT_TRUE(ir.RenderSubimage(&part, &sub, bg));
  for (int y = 5; y < 25; ++y)
    for (int x = 10; x < 30; ++x) ASSERT_EQ(std::memcmp(Px(whole, x, y), Px(part, x, y), 3), 0);
  EXPECT_EQ(Px(part, 0, 0)[0], 0);
  EXPECT_EQ(Px(whole, 13, 7)[0], 52);
  EXPECT_EQ(Px(whole, 13, 7)[1], 35);
  PfreeImage(&whole);
  PfreeImage(&part);
}

// A part of a view within the picture, rendered alone on whole source steps, has the pixels of
// the whole view's rendering there (the kernel reads the picture beyond the part), for 8-bit
// and tone-mapped pictures, enlarged and reduced; rendered elsewhere in its image too.
TEST(ImageRing, PartsOfAViewOnWholeStepsMatchTheWholeRendering) {
  FakeFiles files;
  std::mt19937 rng(5);
  const int zooms[][2] = {{1, 3}, {1, 2}, {2, 3}, {3, 2}, {3, 1}, {4, 1}};
  for (const FakePicture::Kind kind : {FakePicture::kRGB8, FakePicture::kFloatRGB}) {
    FakePicture p;
    p.w = 150;
    p.h = 110;
    p.kind = kind;
    p.pixel = [kind](int x, int y, int, float* c) {
      const unsigned v = (static_cast<unsigned>(x) * 2654435761u) ^ (y * 40503u);
      for (int k = 0; k < 3; ++k) {
        const float b = static_cast<float>((v >> (8 * k)) & 255);
        c[k] = kind == FakePicture::kRGB8 ? b : 0.05f + b / 64;
      }
    };
    PImageRing ir(files.Add(kind == FakePicture::kRGB8 ? "t8.fkd" : "tf.fkd", p).c_str(), nullptr);
    ASSERT_TRUE(ir.Ready());
    for (const auto& z : zooms) {
      const int n = z[0], d = z[1];
      ir.SetZoomRatio(n, d);
      ir.SetOffset(3 * n, -2 * n);
      // The view's size: a multiple of two steps, well within the picture.
      const int W = p.w * n / d * 2 / 3 / (2 * n) * (2 * n);
      const int H = p.h * n / d * 2 / 3 / (2 * n) * (2 * n);
      _ImgStruct whole = phototest::NewRGB(W, H), part = phototest::NewRGB(W, H);
      ASSERT_TRUE(ir.RenderImage(&whole, nullptr, nullptr));
      for (int t = 0; t < 6; ++t) {
        const int x0 = static_cast<int>(rng() % (W / n)) * n,
                  y0 = static_cast<int>(rng() % (H / n)) * n;
        const int x1 = x0 + n + static_cast<int>(rng() % ((W - x0) / n)) * n;
        const int y1 = y0 + n + static_cast<int>(rng() % ((H - y0) / n)) * n;
        const _ImgRect sub = {x0, x1, y0, y1};
        // Every other part is put at the image's top left.
        const _ImgRect at = {0, x1 - x0, 0, y1 - y0};
        const bool moved = t % 2 == 1;
        PclearImage(&part, nullptr);
        ASSERT_TRUE(ir.RenderSubimage(&part, &sub, nullptr, moved ? &at : nullptr));
        int wrong = 0;
        for (int y = y0; y < y1; ++y)
          for (int x = x0; x < x1; ++x)
            wrong += std::memcmp(Px(whole, x, y), moved ? Px(part, x - x0, y - y0) : Px(part, x, y),
                                 3) != 0;
        EXPECT_EQ(wrong, 0) << kind << " zoom " << n << "/" << d << " part " << x0 << "," << y0
                            << " " << x1 << "," << y1;
      }
      PfreeImage(&whole);
      PfreeImage(&part);
    }
  }
}

TEST(ImageRing, SelectionRoundTripsThroughWindowPixels) {
  FakeFiles files;
  PImageRing ir(files.Add("a.fkd", Solid(400, 300, 9, 9, 9)).c_str(), nullptr);
  _ImgStruct dst = phototest::NewRGB(200, 200);
  ASSERT_TRUE(ir.RenderImage(&dst, nullptr, nullptr));
  ir.SelectRect(50, 60, 50, 60);
  EXPECT_EQ(ir.srcrect.xright - ir.srcrect.xleft, 1);
  EXPECT_EQ(ir.srcrect.ybottom - ir.srcrect.ytop, 1);
  EXPECT_EQ(ir.SomeSelected(), 1);
  ir.SelectRect(20, 40, 120, 140);
  _ImgRect w;
  ASSERT_TRUE(ir.GetSelection(&w));
  EXPECT_EQ(w.xleft, 20);
  EXPECT_EQ(w.xright, 120);
  EXPECT_EQ(w.ytop, 40);
  EXPECT_EQ(w.ybottom, 140);
  // Corners outside the picture are limited to the view.
  ir.SelectRect(-50, -50, 500, 500);
  EXPECT_EQ(ir.SomeSelected(), -1);
  ir.ClearSelection();
  EXPECT_EQ(ir.SomeSelected(), 0);
  EXPECT_FALSE(ir.GetSelection(&w));
  PfreeImage(&dst);
}

// Under every turn and mirror, the selected picture pixels are exactly those shown inside the
// window rectangle dragged, and the selection's outline is that rectangle again.
TEST(ImageRing, SelectionCoversTheDraggedPixelsInEveryOrientation) {
  FakeFiles files;
  FakePicture p;
  p.w = 240;
  p.h = 180;
  p.pixel = [](int x, int y, int, float* c) {
    c[0] = static_cast<float>(x);
    c[1] = static_cast<float>(y);
    c[2] = 7;
  };
  const std::string path = files.Add("c.fkd", p);
  for (long turn : {0L, 90L, 180L, 270L})
    for (long mirror : {0L, 1L, 2L}) {
      DBRecord rec = files.Record(path);
      rec.SetField(PDBForient, turn);
      rec.SetField(PDBFflip, mirror);
      PImageRing ir(rec, nullptr);
      ir.SetZoomRatio(1, 1);
      _ImgStruct dst = phototest::NewRGB(200, 160);
      ASSERT_TRUE(ir.MapImage(&dst, nullptr, nullptr));
      const _ImgRect drag = {20, 120, 30, 110};
      ir.SelectRect(drag.xleft, drag.ytop, drag.xright, drag.ybottom);
      int x0 = 1 << 20, y0 = 1 << 20, x1 = -1, y1 = -1;
      for (int y = drag.ytop; y < drag.ybottom; ++y)
        for (int x = drag.xleft; x < drag.xright; ++x) {
          const uint8_t* c = Px(dst, x, y);
          x0 = std::min<int>(x0, c[0]);
          x1 = std::max<int>(x1, c[0] + 1);
          y0 = std::min<int>(y0, c[1]);
          y1 = std::max<int>(y1, c[1] + 1);
        }
      _ImgRect sel;
      ASSERT_TRUE(ir.GetOrigSelection(&sel)) << turn << " " << mirror;
      EXPECT_EQ(sel.xleft, x0) << turn << " " << mirror;
      EXPECT_EQ(sel.xright, x1) << turn << " " << mirror;
      EXPECT_EQ(sel.ytop, y0) << turn << " " << mirror;
      EXPECT_EQ(sel.ybottom, y1) << turn << " " << mirror;
      _ImgRect w;
      ASSERT_TRUE(ir.GetSelection(&w));
      EXPECT_EQ(w.xleft, drag.xleft) << turn << " " << mirror;
      EXPECT_EQ(w.xright, drag.xright) << turn << " " << mirror;
      EXPECT_EQ(w.ytop, drag.ytop) << turn << " " << mirror;
      EXPECT_EQ(w.ybottom, drag.ybottom) << turn << " " << mirror;
      PfreeImage(&dst);
    }
}

TEST(ImageRing, ZoomAndOffsetFollowOrientation) {
  FakeFiles files;
  DBRecord rec = files.Record(files.Add("a.fkd", Solid(40, 20, 9, 9, 9)));
  rec.SetField(PDBForient, 90L);
  PImageRing ir(rec, nullptr);
  EXPECT_TRUE(ir.XYswapped());
  ir.SetOffset(10, 10);  // ignored while fitting
  EXPECT_EQ(ir.xCent, 0);
  ir.SetZoomRatio(2, 1);
  ir.SetOffset(8, 4);
  int off[2];
  ir.GetOffset(off);
  EXPECT_EQ(off[0], 8);
  EXPECT_EQ(off[1], 4);
  POrient o;
  ASSERT_TRUE(ir.GetOrient(&o));
  EXPECT_EQ(o.xres, 80);
  EXPECT_EQ(o.yres, 40);
  ir.SetZoomToFit();
  EXPECT_TRUE(ir.IsZoomToFit());
  EXPECT_EQ(ir.xCent, 0);
  // The oriented picture is produced whole: 20 wide and 40 high.
  _ImgStruct out = phototest::NewRGB(20, 40);
  ir.SetZoomRatio(1, 1);
  EXPECT_FALSE(ir.MapIsNoop(false));
  ASSERT_TRUE(ir.MapImage(&out, nullptr, nullptr));
  EXPECT_EQ(Px(out, 19, 39)[0], 9);
  PfreeImage(&out);
}

TEST(ImageRing, ExposureWithinFivePercentIsIgnoredInFixedMode) {
  FakeFiles files;
  PImageRing ir(files.Add("a.fkd", Solid(8, 8, 9, 9, 9)).c_str(), nullptr);
  ir.SetExposureMode(0);
  ir.expMult = 1.0;
  ir.changed = false;
  ir.SetExposure(1.03);
  EXPECT_EQ(ir.expMult, 1.0);
  EXPECT_FALSE(ir.IsChanged());
  ir.SetExposure(1.06);
  EXPECT_EQ(ir.expMult, 1.06);
  EXPECT_TRUE(ir.IsChanged());
  // In automatic mode any value switches to fixed.
  ir.SetExposureMode(PEMauto | PEMhuman);
  ir.SetExposure(1.07);
  double m = 0;
  EXPECT_EQ(ir.GetExposure(&m), PEMhuman);
  EXPECT_EQ(m, 1.07);
}

TEST(ImageRing, RelativeStepsClampToTheFrames) {
  FakeFiles files;
  PImageRing ir(files.Add("f.fkd", Solid(8, 8, 9, 9, 9, 3)).c_str(), nullptr);
  _ImgStruct dst = phototest::NewRGB(8, 8);
  ASSERT_TRUE(ir.RenderImage(&dst, nullptr, nullptr));
  EXPECT_FALSE(ir.SeekFrame(0, IRSrel));
  EXPECT_TRUE(ir.SeekFrame(5, IRSrel));
  ASSERT_TRUE(ir.RenderImage(&dst, nullptr, nullptr));
  EXPECT_EQ(ir.CurrentFrame(), 2);
  EXPECT_TRUE(ir.SeekFrame(-7, IRSrel));
  ASSERT_TRUE(ir.RenderImage(&dst, nullptr, nullptr));
  EXPECT_EQ(ir.CurrentFrame(), 0);
  EXPECT_TRUE(ir.SeekFrame(1, IRSabs));
  ASSERT_TRUE(ir.RenderImage(&dst, nullptr, nullptr));
  EXPECT_EQ(ir.CurrentFrame(), 1);
  PfreeImage(&dst);
}

int destroyed = 0;
class CountedRing : public PImageRing {
 public:
  CountedRing(const char* path, PImageRing* ring) : PImageRing(path, ring) {}
  ~CountedRing() override { ++destroyed; }
};

TEST(ImageRing, DeletingOneMemberDeletesTheRingUnlessUnlinked) {
  destroyed = 0;
  auto* a = new CountedRing("", nullptr);
  auto* b = new CountedRing("", a);
  auto* c = new CountedRing("", b);
  EXPECT_EQ(a->GetNext(), b);
  EXPECT_EQ(b->GetNext(), c);
  EXPECT_EQ(c->GetNext(), a);
  EXPECT_EQ(a->GetPrev(), c);
  delete b;
  EXPECT_EQ(destroyed, 3);

  destroyed = 0;
  a = new CountedRing("", nullptr);
  b = new CountedRing("", a);
  c = new CountedRing("", b);
  EXPECT_EQ(b->Unlink(), a);
  EXPECT_EQ(b->Unlink(), nullptr);
  delete b;
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(a->GetNext(), c);
  EXPECT_EQ(c->GetNext(), a);
  delete c;
  EXPECT_EQ(destroyed, 3);
}

TEST(ImageRing, ALongRingIsFreedWithoutRecursion) {
  PImageRing* head = new PImageRing("", nullptr);
  PImageRing* last = head;
  for (int i = 0; i < 30000; ++i) last = new PImageRing("", last);
  EXPECT_EQ(last->GetNext(), head);
  delete head;
}

TEST(ImageRing, TwoLapsUnderASmallCacheBudgetGiveIdenticalPixels) {
  FakeFiles files;
  PImageRing* ring = nullptr;
  for (int i = 0; i < 10; ++i) {
    FakePicture p;
    p.w = 120;
    p.h = 90;
    p.pixel = [i](int x, int y, int, float* c) {
      c[0] = static_cast<float>((x * 2 + i * 20) & 255);
      c[1] = static_cast<float>((y * 3 + i) & 255);
      c[2] = static_cast<float>((x ^ y) & 255);
    };
    auto* r = new PImageRing(files.Add("r" + std::to_string(i) + ".fkd", p).c_str(), ring);
    if (ring == nullptr) ring = r;
  }
  BudgetGuard budget(120 * 90 * 3 + 1000);  // below two frames
  std::vector<std::vector<uint8_t>> lap[2];
  for (int l = 0; l < 2; ++l) {
    PImageRing* r = ring;
    for (int i = 0; i < 10; ++i, r = r->GetNext()) {
      _ImgStruct dst = {};
      dst.xres = 60;
      dst.yres = 60;
      dst.csp = &ICS_sRGB;
      ASSERT_TRUE(r->RenderImage(&dst, nullptr, nullptr));
      std::vector<uint8_t> px;
      for (int y = 0; y < dst.yres; ++y)
        px.insert(px.end(), dst.img + y * dst.rowsize, dst.img + y * dst.rowsize + dst.xres * 3);
      lap[l].push_back(px);
      PfreeImage(&dst);
    }
  }
  EXPECT_GE(ring->dlp->NumRestores(), 2);  // the budget made the frames go and come back
  for (int i = 0; i < 10; ++i) EXPECT_EQ(lap[0][i], lap[1][i]) << i;
  EXPECT_NE(lap[0][0], lap[0][1]);
  delete ring;
}

TEST(ImageRing, NoopOnlyForAPlainEightBitImageAtOneToOne) {
  FakeFiles files;
  DBRecord rec = files.Record(files.Add("a.fkd", Solid(30, 20, 9, 9, 9)));
  PImageRing ir(rec, nullptr);
  EXPECT_FALSE(ir.MapIsNoop(false));  // zooming to fit
  ir.SetZoomRatio(1, 1);
  EXPECT_TRUE(ir.MapIsNoop(false));
  SetInts(&rec, PDBFspotexp, {0, 0, 4, 4});
  ir.UpdateRec(rec);
  EXPECT_FALSE(ir.RenderIsNoop(false));
  rec.ClearField(PDBFspotexp);
  SetInts(&rec, PDBFcrop, {1, 1, 20, 10});
  ir.UpdateRec(rec);
  EXPECT_FALSE(ir.RenderIsNoop(false));
}

}  // namespace
