// Orientation: rotations and flips of records, position mapping and orienting images in
// place and into another image.
#include <climits>
#include <cstring>
#include <vector>

#include "catalog/pfieldset.h"
#include "catalog/photo_test_util.h"
#include "testutil/message_log.h"

namespace {

POrient FromRecord(int w, int h, long orient, long flip) {
  DBRecord r(&PDBFInfo);
  PDBsetInt(&r, PDBFxsize, w);
  PDBsetInt(&r, PDBFysize, h);
  PDBsetInt(&r, PDBForient, orient);
  PDBsetInt(&r, PDBFflip, flip);
  return POrient(&r);
}

// A colour space of the given pixel size in bytes.
_ImgColorSpace SpaceOfSize(int psiz) {
  _ImgColorSpace cs = ICS_sRGB;
  switch (psiz) {
    case 1:
      cs = ICS_Y8;
      break;
    case 2:
      cs = ICS_Y16;
      break;
    case 3:
      cs = ICS_sRGB;
      break;
    case 4:
      cs = ICS_Y;
      break;
    case 6:
      cs.dtype = IDTushort;
      break;
    case 8:
      cs.dtype = IDTushort;
      cs.format = IPFrgba;
      break;
    case 12:
      cs = ICS_RGB709;
      break;
    case 16:
      cs = ICS_RGB709;
      cs.format = IPFrgba;
      break;
    default:
      break;
  }
  cs.cstatic = 1;
  return cs;
}

void Fill(_ImgStruct* im, unsigned seed) {
  const int ps = PpixelSize(im->csp);
  for (int y = 0; y < im->yres; y++)
    for (int i = 0; i < im->xres * ps; i++)
      im->img[static_cast<ptrdiff_t>(y) * im->rowsize + i] =
          static_cast<uint8_t>((y * 131 + i * 7 + seed) & 0xFF);
}

bool SamePixels(const _ImgStruct& a, const _ImgStruct& b) {
  if (a.xres != b.xres || a.yres != b.yres) return false;
  const size_t row = static_cast<size_t>(a.xres) * PpixelSize(a.csp);
  for (int y = 0; y < a.yres; y++)
    if (memcmp(a.img + static_cast<ptrdiff_t>(y) * a.rowsize,
               b.img + static_cast<ptrdiff_t>(y) * b.rowsize, row) != 0)
      return false;
  return true;
}

}  // namespace

TEST(POrient, RotationsRoundToQuarterTurns) {
  const POrient o450 = FromRecord(640, 480, 450, 0), o90 = FromRecord(640, 480, 90, 0);
  EXPECT_EQ(o450.xyswap, o90.xyswap);
  EXPECT_EQ(o450.hflip, o90.hflip);
  EXPECT_EQ(o450.vflip, o90.vflip);
  const POrient om90 = FromRecord(640, 480, -90, 0), o270 = FromRecord(640, 480, 270, 0);
  EXPECT_EQ(om90.hflip, o270.hflip);
  EXPECT_EQ(om90.vflip, o270.vflip);
  EXPECT_TRUE(om90.xyswap);
  EXPECT_TRUE(FromRecord(640, 480, 40, 0).IsNoop());
  EXPECT_TRUE(FromRecord(640, 480, 315, 0).IsNoop());

  EXPECT_EQ(o90.GetWidth(), 480);
  EXPECT_EQ(o90.GetHeight(), 640);
  int cx, cy;
  o90.MapToCorrect(&cx, &cy, 0, 0);
  EXPECT_EQ(cx, 479);
  EXPECT_EQ(cy, 0);

  POrient any;
  any.RotateCW(INT_MIN);  // -2147483648 = -5965232 * 360 - 128: a quarter turn clockwise
  EXPECT_TRUE(any.xyswap);
  POrient quarter;
  quarter.RotateCW(232);
  POrient fromMin;
  fromMin.RotateCW(INT_MIN);
  EXPECT_EQ(fromMin.hflip, quarter.hflip);
  EXPECT_EQ(fromMin.vflip, quarter.vflip);

  POrient turned = o90;
  turned.HFlip();  // after a quarter turn the displayed mirror is the original's upside-down
  EXPECT_NE(turned.vflip, o90.vflip);
  EXPECT_EQ(turned.hflip, o90.hflip);
}

TEST(POrient, InPlaceEqualsIntoAnotherImageForEverySwitchSetSizeAndPixelSize) {
  MessageLog log;
  const int psizes[] = {1, 2, 3, 4, 6, 8, 12, 16};
  for (int ps : psizes) {
    const _ImgColorSpace cs = SpaceOfSize(ps);
    ASSERT_EQ(PpixelSize(&cs), ps);
    for (int sw = 0; sw < 8; sw++) {
      for (int w = 1; w <= 67; w++) {
        for (int h = 1; h <= 67; h += (h < 8 ? 1 : 3)) {
          POrient o;
          o.SetOrigSize(w, h);
          o.hflip = sw & 1;
          o.vflip = sw & 2;
          o.xyswap = sw & 4;
          _ImgStruct src = {};
          src.xres = w;
          src.yres = h;
          src.csp = &cs;
          ASSERT_TRUE(PnewImage(&src, 0));
          Fill(&src, static_cast<unsigned>(sw + w));
          _ImgStruct out = {};
          out.csp = &cs;
          ASSERT_TRUE(o.OrientImage(&out, &src));
          ASSERT_EQ(out.xres, o.GetWidth());
          // Spot check of the mapping rule.
          int cx, cy;
          o.MapToCorrect(&cx, &cy, w - 1, 0);
          EXPECT_EQ(memcmp(out.img + static_cast<ptrdiff_t>(cy) * out.rowsize + cx * ps,
                           src.img + static_cast<ptrdiff_t>(w - 1) * ps, ps),
                    0);
          ASSERT_TRUE(o.OrientImage(&src, nullptr));
          EXPECT_TRUE(SamePixels(src, out))
              << "switches " << sw << " size " << w << "x" << h << " pixel " << ps;
          PfreeImage(&src);
          PfreeImage(&out);
        }
      }
    }
  }
  EXPECT_EQ(log.Count(), 0u) << log.All();
}

TEST(POrient, SubimageInPlaceNeverWritesItsParentOutside) {
  MessageLog log;
  _ImgStruct parent = phototest::NewRGB(20, 10);
  Fill(&parent, 5);
  std::vector<uint8_t> before(parent.img, parent.img + 20 * 10 * 3);
  const _ImgRect r = {4, 10, 2, 6};  // 6 x 4
  for (int sw : {2, 5}) {            // upside down (same size), then a turn (size changes)
    _ImgStruct sub = {};
    ASSERT_TRUE(PlinkSubimage(&sub, &parent, &r));
    _ImgStruct expect = {};
    expect.csp = sub.csp;
    POrient o;
    o.SetOrigSize(6, 4);
    o.hflip = sw & 1;
    o.vflip = sw & 2;
    o.xyswap = sw & 4;
    ASSERT_TRUE(o.OrientImage(&expect, &sub));
    ASSERT_TRUE(o.OrientImage(&sub, nullptr));
    EXPECT_TRUE(SamePixels(sub, expect));
    for (int y = 0; y < 10; y++)
      for (int x = 0; x < 20; x++) {
        const bool inside = x >= 4 && x < 10 && y >= 2 && y < 6;
        const size_t at = (static_cast<size_t>(y) * 20 + x) * 3;
        if (!inside || sw == 5) {
          ASSERT_EQ(memcmp(parent.img + at, before.data() + at, 3), 0) << x << "," << y;
        }
      }
    if (sw == 2) {
      EXPECT_EQ(sub.rowsize, parent.rowsize);  // still the parent's rows
      memcpy(before.data(), parent.img, before.size());
    } else {
      EXPECT_NE(sub.mbase, parent.mbase);  // turned: memory of its own
      EXPECT_TRUE(log.Has(DMCwarning, "Reorienting subimage"));
    }
    PfreeImage(&sub);
    PfreeImage(&expect);
  }
  PfreeImage(&parent);
}

TEST(POrient, RefusesMismatchedImages) {
  MessageLog log;
  POrient o = FromRecord(4, 3, 90, 0);
  _ImgStruct src = phototest::NewRGB(4, 3);
  _ImgStruct wrong = phototest::NewRGB(4, 3);  // not the oriented 3 x 4
  EXPECT_FALSE(o.OrientImage(&wrong, &src));
  EXPECT_TRUE(log.Has(DMCparameter, "Size mismatch in OrientImage"));
  EXPECT_EQ(wrong.img, nullptr);
  _ImgStruct small = phototest::NewRGB(2, 2);
  EXPECT_FALSE(o.OrientImage(&small, nullptr));
  EXPECT_TRUE(log.Has(DMCparameter, "Mismatched source resolution in OrientImage"));
  _ImgStruct grey = {};
  grey.xres = 3;
  grey.yres = 4;
  grey.csp = &ICS_Y8;
  PnewImage(&grey, 0);
  EXPECT_FALSE(o.OrientImage(&grey, &src));
  EXPECT_TRUE(log.Has(DMCparameter, "Color space mismatch in OrientImage"));
  _ImgStruct copy = {};
  copy.csp = &ICS_sRGB;
  POrient none;
  none.SetOrigSize(4, 3);
  Fill(&src, 1);
  ASSERT_TRUE(none.OrientImage(&copy, &src));
  EXPECT_TRUE(SamePixels(copy, src));
  PfreeImage(&copy);
  PfreeImage(&src);
  PfreeImage(&small);
}
