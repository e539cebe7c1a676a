#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "image/corvane.h"
#include "test_image_msgs.h"

namespace {

_ImgStruct Blank(int w, int h, const _ImgColorSpace* cs) {
  _ImgStruct im = {};
  im.xres = w;
  im.yres = h;
  im.csp = cs;
  return im;
}

// Counts blocks freed through a wrapped free routine.
int g_freed = 0;
void CountingFree(MemObject* mo) {
  g_freed++;
  SysFree(mo);
}

TEST(ImageAlloc, AspectFitShrinksOnlyByTwoOrMore) {
  _ImgStruct a = Blank(1000, 1000, &ICS_sRGB);
  ASSERT_EQ(PnewImage(&a, 0.75), 1);
  EXPECT_EQ(a.xres, 1000);
  EXPECT_EQ(a.yres, 750);
  EXPECT_EQ(a.rowsize, 3000);
  PfreeImage(&a);

  _ImgStruct b = Blank(1000, 1000, &ICS_sRGB);
  ASSERT_EQ(PnewImage(&b, 0.999), 1);
  EXPECT_EQ(b.yres, 1000);
  EXPECT_EQ(b.xres, 1000);
  PfreeImage(&b);

  _ImgStruct c = Blank(1000, 500, &ICS_Y8);  // too wide for a square
  ASSERT_EQ(PnewImage(&c, 1.0), 1);
  EXPECT_EQ(c.xres, 500);
  EXPECT_EQ(c.yres, 500);
  PfreeImage(&c);

  // A huge aspect never leaves a zero width.
  _ImgStruct d = Blank(100, 10, &ICS_Y8);
  ASSERT_EQ(PnewImage(&d, 1e30), 1);
  EXPECT_EQ(d.xres, 1);
  PfreeImage(&d);

  _ImgStruct e = Blank(0, 10, &ICS_Y8);
  EXPECT_EQ(PnewImage(&e, 0.0), 0);
  _ImgStruct f = Blank(10, 10, nullptr);
  EXPECT_EQ(PnewImage(&f, 0.0), 0);
}

TEST(ImageAlloc, ExistingPixelsAreOnlyChecked) {
  uint8_t pixels[10 * 4 * 3];
  _ImgStruct im = Blank(10, 4, &ICS_sRGB);
  im.img = pixels;
  im.rowsize = 30;
  EXPECT_EQ(PnewImage(&im, 0.0), 1);
  im.rowsize = -30;
  EXPECT_EQ(PnewImage(&im, 0.0), 1);
  im.rowsize = 29;
  EXPECT_EQ(PnewImage(&im, 0.0), 0);
  EXPECT_EQ(im.mbase, nullptr);
}

TEST(ImageAlloc, PixelsAlignedAndPrivateColourSpace) {
  _ImgColorSpace mine = ICS_RGB709;
  mine.cstatic = 0;
  _ImgStruct im = Blank(7, 3, &mine);
  ASSERT_EQ(PnewImage(&im, 0.0), 1);
  EXPECT_NE(im.csp, &mine);
  EXPECT_EQ(im.csp->cstatic, 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(im.img) % 64, 0u);
  mine.gamma = 3.f;  // the caller's copy no longer matters
  EXPECT_EQ(im.csp->gamma, 1.f);

  _ImgStruct st = Blank(7, 3, &ICS_Y16);
  ASSERT_EQ(PnewImage(&st, 0.0), 1);
  EXPECT_EQ(st.csp, &ICS_Y16);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(st.img) % 64, 0u);

  // The last view of a block with a private colour space frees it and clears csp.
  g_freed = 0;
  im.mbase->freo = CountingFree;
  PfreeImage(&im);
  EXPECT_EQ(g_freed, 1);
  EXPECT_EQ(im.csp, nullptr);
  EXPECT_EQ(im.img, nullptr);
  EXPECT_EQ(im.mbase, nullptr);
  PfreeImage(&im);  // no pixels: nothing happens
  PfreeImage(&st);
  EXPECT_EQ(st.csp, &ICS_Y16);
}

TEST(ImageAlloc, OversizedImagesAreRefusedNotShortAllocated) {
  MessageCapture msgs;
  _ImgStruct im = Blank(INT32_MAX, INT32_MAX, &ICS_RGB709);
  EXPECT_EQ(PnewImage(&im, 0.0), 0);
  EXPECT_EQ(im.img, nullptr);
  EXPECT_EQ(im.mbase, nullptr);
  ASSERT_EQ(msgs.Count(), 1u);
  EXPECT_EQ(MessageCapture::messages()[0].first, static_cast<unsigned>(DMCparameter));
  // A row past the 32-bit row size.
  _ImgStruct wide = Blank(200000000, 1, &ICS_RGB709);
  EXPECT_EQ(PnewImage(&wide, 0.0), 0);
  EXPECT_EQ(wide.img, nullptr);
}

TEST(SubImage, SharesMemoryUntilTheLastReference) {
  _ImgStruct parent = Blank(8, 6, &ICS_sRGB);
  ASSERT_EQ(PnewImage(&parent, 0.0), 1);
  for (int i = 0; i < 8 * 6 * 3; i++) parent.img[i] = uint8_t(i);
  g_freed = 0;
  parent.mbase->freo = CountingFree;

  const _ImgRect r = {2, 5, 1, 4};
  _ImgStruct sub = {};
  ASSERT_EQ(PlinkSubimage(&sub, &parent, &r), 1);
  EXPECT_EQ(sub.xres, 3);
  EXPECT_EQ(sub.yres, 3);
  EXPECT_EQ(sub.rowsize, parent.rowsize);
  EXPECT_EQ(sub.img, parent.img + 2 * 3 + 1 * parent.rowsize);
  EXPECT_EQ(parent.mbase->RetainCount(), 2);

  _ImgStruct copy = {};
  ASSERT_EQ(PlinkSubimage(&copy, &sub, nullptr), 1);
  EXPECT_EQ(sub.mbase->RetainCount(), 3);

  PfreeImage(&parent);
  EXPECT_EQ(g_freed, 0);
  EXPECT_EQ(sub.img[0], uint8_t(2 * 3 + 1 * 24));  // still readable
  PfreeImage(&copy);
  EXPECT_EQ(g_freed, 0);
  PfreeImage(&sub);
  EXPECT_EQ(g_freed, 1);
}

TEST(SubImage, BadRectanglesLeaveTheDestinationAlone) {
  _ImgStruct parent = Blank(8, 6, &ICS_Y8);
  ASSERT_EQ(PnewImage(&parent, 0.0), 1);
  _ImgStruct dst = {};
  const _ImgRect empty = {3, 3, 0, 2}, outside = {0, 9, 0, 2}, negative = {-1, 2, 0, 2};
  EXPECT_EQ(PlinkSubimage(&dst, &parent, &empty), 0);
  EXPECT_EQ(PlinkSubimage(&dst, &parent, &outside), 0);
  EXPECT_EQ(PlinkSubimage(&dst, &parent, &negative), 0);
  EXPECT_EQ(dst.img, nullptr);
  EXPECT_EQ(parent.mbase->RetainCount(), 1);
  _ImgStruct nopix = Blank(8, 6, &ICS_Y8);
  EXPECT_EQ(PlinkSubimage(&dst, &nopix, nullptr), 0);

  // Cropping in place takes no extra reference.
  const _ImgRect crop = {1, 4, 2, 6};
  uint8_t* before = parent.img;
  ASSERT_EQ(PlinkSubimage(&parent, &parent, &crop), 1);
  EXPECT_EQ(parent.xres, 3);
  EXPECT_EQ(parent.yres, 4);
  EXPECT_EQ(parent.img, before + 1 + 2 * 8);
  EXPECT_EQ(parent.mbase->RetainCount(), 1);
  PfreeImage(&parent);
}

TEST(SubImage, CoverageClipsToTheDestination) {
  _ImgStruct dst = Blank(10, 10, &ICS_Y8), src = Blank(4, 4, &ICS_Y8);
  ASSERT_EQ(PnewImage(&dst, 0.0), 1);
  ASSERT_EQ(PnewImage(&src, 0.0), 1);
  _ImgStruct ds = {}, ss = {};
  ASSERT_EQ(PlinkCoverage(&ds, &ss, &dst, &src, 8, -1), 1);
  EXPECT_EQ(ds.xres, 2);
  EXPECT_EQ(ds.yres, 3);
  EXPECT_EQ(ds.img, dst.img + 8);
  EXPECT_EQ(ss.img, src.img + src.rowsize);
  PfreeImage(&ds);
  PfreeImage(&ss);
  EXPECT_EQ(PlinkCoverage(&ds, &ss, &dst, &src, 10, 0), 0);
  EXPECT_EQ(PlinkCoverage(&ds, &ss, &dst, &src, INT_MAX, INT_MAX), 0);
  EXPECT_EQ(PlinkCoverage(&ds, &ss, &dst, &src, INT_MIN, 0), 0);
  EXPECT_EQ(src.mbase->RetainCount(), 1);
  PfreeImage(&dst);
  PfreeImage(&src);
}

TEST(ImageClear, ZeroAndPixelFills) {
  _ImgStruct im = Blank(5, 4, &ICS_sRGB);
  ASSERT_EQ(PnewImage(&im, 0.0), 1);
  std::memset(im.img, 0x55, 5 * 4 * 3);
  const uint8_t red[3] = {255, 0, 7};
  const _ImgRect r = {1, 3, 1, 3};
  ASSERT_EQ(PclearRect(&im, &r, red), 1);
  for (int y = 0; y < 4; y++)
    for (int x = 0; x < 5; x++) {
      const uint8_t* p = im.img + y * im.rowsize + 3 * x;
      const bool in = x >= 1 && x < 3 && y >= 1 && y < 3;
      EXPECT_EQ(p[0], in ? 255 : 0x55);
      EXPECT_EQ(p[2], in ? 7 : 0x55);
    }
  EXPECT_EQ(im.mbase->RetainCount(), 1);
  ASSERT_EQ(PclearRect(&im, &r, nullptr), 1);
  EXPECT_EQ(im.img[im.rowsize + 3], 0);
  EXPECT_EQ(im.img[0], 0x55);
  ASSERT_EQ(PclearImage(&im, nullptr), 1);
  for (int i = 0; i < 60; i++) ASSERT_EQ(im.img[i], 0);

  // An upside-down view clears the same bytes.
  std::memset(im.img, 1, 60);
  _ImgStruct flip = im;
  flip.img = im.img + 3 * im.rowsize;
  flip.rowsize = -im.rowsize;
  flip.mbase = nullptr;
  ASSERT_EQ(PclearImage(&flip, nullptr), 1);
  for (int i = 0; i < 60; i++) ASSERT_EQ(im.img[i], 0);
  PfreeImage(&im);
}

TEST(ImageRects, ClipAndOverlap) {
  _ImgRect a = {0, 10, 0, 10};
  const _ImgRect b = {5, 20, -3, 4};
  EXPECT_EQ(PclipRect(&a, &b), 1);
  EXPECT_EQ(a.xleft, 5);
  EXPECT_EQ(a.xright, 10);
  EXPECT_EQ(a.ytop, 0);
  EXPECT_EQ(a.ybottom, 4);
  const _ImgRect far = {50, 60, 0, 4};
  EXPECT_EQ(PclipRect(&a, &far), 0);
  EXPECT_EQ(PclipRect(&a, &a), 1);
  EXPECT_EQ(PclipRect(nullptr, &b), 0);
}

TEST(ImageRects, OverlapOfViewsIsExact) {
  _ImgStruct im = Blank(100, 50, &ICS_sRGB);
  ASSERT_EQ(PnewImage(&im, 0.0), 1);
  _ImgStruct left = {}, right = {}, mid = {}, other = Blank(10, 10, &ICS_sRGB);
  const _ImgRect lr = {0, 60, 0, 50}, rr = {60, 100, 0, 50}, mr = {50, 70, 10, 20};
  ASSERT_EQ(PlinkSubimage(&left, &im, &lr), 1);
  ASSERT_EQ(PlinkSubimage(&right, &im, &rr), 1);
  ASSERT_EQ(PlinkSubimage(&mid, &im, &mr), 1);
  ASSERT_EQ(PnewImage(&other, 0.0), 1);
  EXPECT_EQ(PimagesOverlap(&left, &right), 0);  // side by side in every row
  EXPECT_EQ(PimagesOverlap(&right, &left), 0);
  EXPECT_EQ(PimagesOverlap(&left, &mid), 1);
  EXPECT_EQ(PimagesOverlap(&mid, &right), 1);
  EXPECT_EQ(PimagesOverlap(&im, &other), 0);
  EXPECT_EQ(PimagesOverlap(&im, &im), 1);
  // An upside-down view of the same rows overlaps; one of other rows does not.
  _ImgStruct flip = left;
  flip.img = left.img + 49 * left.rowsize;
  flip.rowsize = -left.rowsize;
  EXPECT_EQ(PimagesOverlap(&flip, &mid), 1);
  _ImgStruct topband = {}, botband = {};
  const _ImgRect t = {0, 100, 0, 10}, bt = {0, 100, 10, 50};
  ASSERT_EQ(PlinkSubimage(&topband, &im, &t), 1);
  ASSERT_EQ(PlinkSubimage(&botband, &im, &bt), 1);
  EXPECT_EQ(PimagesOverlap(&topband, &botband), 0);
  // The same bytes seen as another pixel size overlap.
  _ImgStruct grey = im;
  grey.csp = &ICS_Y8;
  grey.img = im.img + 1;
  EXPECT_EQ(PimagesOverlap(&grey, &im), 1);
  for (_ImgStruct* p : {&left, &right, &mid, &other, &topband, &botband, &im}) PfreeImage(p);
}

TEST(ImageRects, PixelPositions) {
  _ImgStruct im = Blank(10, 5, &ICS_sRGB);
  ASSERT_EQ(PnewImage(&im, 0.0), 1);
  const _ImgRect r = {2, 6, 1, 4};
  _ImgStruct sub = {};
  ASSERT_EQ(PlinkSubimage(&sub, &im, &r), 1);
  int x = -1, y = -1;
  EXPECT_EQ(PpixPos(&x, &y, &im, sub.img + 4), 1);
  EXPECT_EQ(x, 3);
  EXPECT_EQ(y, 1);
  EXPECT_EQ(PpixPos(&x, &y, &sub, im.img), 0);  // above and left of the sub-image
  EXPECT_EQ(y, -2);
  EXPECT_EQ(x, 8);
  EXPECT_EQ(PpixPos(&x, &y, &sub, sub.img + 4 * 3), 0);  // right of its last column
  EXPECT_EQ(PpixPos(&x, &y, &sub, sub.img + 2 * sub.rowsize + 11), 1);
  EXPECT_EQ(x, 3);
  EXPECT_EQ(y, 2);
  _ImgStruct flip = sub;
  flip.img = sub.img + 2 * sub.rowsize;
  flip.rowsize = -sub.rowsize;
  EXPECT_EQ(PpixPos(&x, &y, &flip, sub.img + 3), 1);
  EXPECT_EQ(x, 1);
  EXPECT_EQ(y, 2);
  PfreeImage(&sub);
  PfreeImage(&im);
}

TEST(ImageHelpers, GreyExpandsToRGBInPlace) {
  uint8_t buf[12] = {10, 20, 30, 40};
  PgetRGB24fromY8(buf, buf, 4);
  const uint8_t want[12] = {10, 10, 10, 20, 20, 20, 30, 30, 30, 40, 40, 40};
  EXPECT_EQ(std::memcmp(buf, want, 12), 0);
}

TEST(ImageFrames, SeekingWrapsAndClamps) {
  int f = 0;
  EXPECT_EQ(PabsFrame(&f, 5, IRFloop, -5, 2), 1);
  EXPECT_EQ(f, 0);
  EXPECT_EQ(PabsFrame(&f, 5, IRFloop, 7, 2), 1);
  EXPECT_EQ(f, 2);
  EXPECT_EQ(PabsFrame(&f, 5, IRFloop, -3, 2), 1);
  EXPECT_EQ(f, 4);
  f = 0;
  EXPECT_EQ(PabsFrame(&f, 5, IRFnone, 7, 0), 0);
  EXPECT_EQ(f, 4);
  EXPECT_EQ(PabsFrame(&f, 5, IRFnone, -9, 1), 0);
  EXPECT_EQ(f, 0);
  EXPECT_EQ(PabsFrame(&f, 5, IRFnone, 3, 1), 1);
  EXPECT_EQ(f, 3);
  EXPECT_EQ(PabsFrame(&f, 5, IRFnone, 0, 1), 1);
  EXPECT_EQ(PabsFrame(&f, 0, IRFnone, 1, 0), 0);
  // Back and forth: 0 1 2 3 4 4 3 2 1 0 0 1 ...
  f = 0;
  EXPECT_EQ(PabsFrame(&f, 5, IRFbackforth, 6, 2), 1);
  EXPECT_EQ(f, 3);
  f = 0;
  EXPECT_EQ(PabsFrame(&f, 5, IRFbackforth, -12, 2), 1);
  EXPECT_EQ(f, 2);
  f = 4;
  EXPECT_EQ(PabsFrame(&f, 5, IRFbackforth, INT_MAX, 2), 1);
  EXPECT_GE(f, 0);
  EXPECT_LT(f, 5);
}

}  // namespace
