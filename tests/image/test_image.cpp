#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "test_image_util.h"

using imgtest::Box;
using imgtest::BoxOf;
using imgtest::Image;
using imgtest::Sub;
using ::testing::ElementsAre;

namespace {

// Counts blocks freed through a wrapped free routine.
int g_freed = 0;
void CountingFree(MemObject* mo) {
  g_freed++;
  SysFree(mo);
}

TEST(ImageAlloc, AspectFitShrinksOnlyByTwoOrMore) {
  struct Case {
    int w, h;
    const _ImgColorSpace* cs;
    double aspect;
    int xres, yres;
  };
  const Case cases[] = {
      {1000, 1000, &ICS_sRGB, 0.75, 1000, 750},
      {1000, 1000, &ICS_sRGB, 0.999, 1000, 1000},
      {1000, 500, &ICS_Y8, 1.0, 500, 500},  // too wide for a square
      {100, 10, &ICS_Y8, 1e30, 1, 10},      // a huge aspect never leaves a zero width
  };
  for (const Case& c : cases) {
    Image im = Image::Empty(c.w, c.h, c.cs);
    ASSERT_EQ(PnewImage(im.get(), c.aspect), 1);
    EXPECT_EQ(im->xres, c.xres) << c.aspect;
    EXPECT_EQ(im->yres, c.yres) << c.aspect;
    EXPECT_EQ(im->rowsize, c.xres * PpixelSize(c.cs));
  }
  EXPECT_EQ(PnewImage(Image::Empty(0, 10, &ICS_Y8).get(), 0.0), 0);
  EXPECT_EQ(PnewImage(Image::Empty(10, 10, nullptr).get(), 0.0), 0);
}

TEST(ImageAlloc, ExistingPixelsAreOnlyChecked) {
  uint8_t pixels[10 * 4 * 3];
  _ImgStruct im = Image::Empty(10, 4, &ICS_sRGB).im;
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
  Image im(7, 3, &mine), st(7, 3, &ICS_Y16);
  EXPECT_NE(im->csp, &mine);
  EXPECT_EQ(im->csp->cstatic, 0);
  EXPECT_EQ(st->csp, &ICS_Y16);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(im->img) % 64, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(st->img) % 64, 0u);
  mine.gamma = 3.f;  // the caller's copy no longer matters
  EXPECT_EQ(im->csp->gamma, 1.f);

  // The last view of a block with a private colour space frees it and clears csp.
  g_freed = 0;
  im->mbase->freo = CountingFree;
  PfreeImage(im.get());
  EXPECT_EQ(g_freed, 1);
  EXPECT_EQ(im->csp, nullptr);
  EXPECT_EQ(im->img, nullptr);
  EXPECT_EQ(im->mbase, nullptr);
  PfreeImage(im.get());  // no pixels: nothing happens
  PfreeImage(st.get());
  EXPECT_EQ(st->csp, &ICS_Y16);
}

TEST(ImageAlloc, OversizedImagesAreRefusedNotShortAllocated) {
  MessageLog msgs;
  // Too many bytes in all, and a row past the 32-bit row size.
  for (int w : {INT32_MAX, 200000000}) {
    Image im = Image::Empty(w, w == INT32_MAX ? INT32_MAX : 1, &ICS_RGB709);
    EXPECT_EQ(PnewImage(im.get(), 0.0), 0);
    EXPECT_EQ(im->img, nullptr);
    EXPECT_EQ(im->mbase, nullptr);
    ASSERT_GE(msgs.Count(), 1u);
    EXPECT_EQ(msgs.entries[0].first, static_cast<unsigned>(DMCparameter));
  }
}

TEST(SubImage, SharesMemoryUntilTheLastReference) {
  Image parent(8, 6, &ICS_sRGB);
  for (int i = 0; i < 8 * 6 * 3; i++) parent->img[i] = uint8_t(i);
  g_freed = 0;
  parent->mbase->freo = CountingFree;
  const _ImgRect r = {2, 5, 1, 4};
  Image sub = Sub(parent.get(), &r);
  EXPECT_EQ(sub->xres, 3);
  EXPECT_EQ(sub->yres, 3);
  EXPECT_EQ(sub->rowsize, parent->rowsize);
  EXPECT_EQ(sub->img, parent->img + 2 * 3 + 1 * parent->rowsize);
  EXPECT_EQ(parent->mbase->RetainCount(), 2);
  Image copy = Sub(sub.get(), nullptr);
  EXPECT_EQ(sub->mbase->RetainCount(), 3);

  PfreeImage(parent.get());
  EXPECT_EQ(g_freed, 0);
  EXPECT_EQ(sub->img[0], uint8_t(2 * 3 + 1 * 24));  // still readable
  PfreeImage(copy.get());
  EXPECT_EQ(g_freed, 0);
  PfreeImage(sub.get());
  EXPECT_EQ(g_freed, 1);
}

TEST(SubImage, BadRectanglesLeaveTheDestinationAlone) {
  Image parent(8, 6, &ICS_Y8);
  _ImgStruct dst = {};
  for (const _ImgRect& bad : {_ImgRect{3, 3, 0, 2}, _ImgRect{0, 9, 0, 2}, _ImgRect{-1, 2, 0, 2}})
    EXPECT_EQ(PlinkSubimage(&dst, parent.get(), &bad), 0);
  EXPECT_EQ(dst.img, nullptr);
  EXPECT_EQ(parent->mbase->RetainCount(), 1);
  _ImgStruct nopix = Image::Empty(8, 6, &ICS_Y8).im;
  EXPECT_EQ(PlinkSubimage(&dst, &nopix, nullptr), 0);

  // Cropping in place takes no extra reference.
  const _ImgRect crop = {1, 4, 2, 6};
  uint8_t* before = parent->img;
  ASSERT_EQ(PlinkSubimage(parent.get(), parent.get(), &crop), 1);
  EXPECT_EQ(parent->xres, 3);
  EXPECT_EQ(parent->yres, 4);
  EXPECT_EQ(parent->img, before + 1 + 2 * 8);
  EXPECT_EQ(parent->mbase->RetainCount(), 1);
}

TEST(SubImage, CoverageClipsToTheDestination) {
  Image dst(10, 10, &ICS_Y8), src(4, 4, &ICS_Y8);
  {
    Image ds, ss;
    ASSERT_EQ(PlinkCoverage(ds.get(), ss.get(), dst.get(), src.get(), 8, -1), 1);
    EXPECT_EQ(ds->xres, 2);
    EXPECT_EQ(ds->yres, 3);
    EXPECT_EQ(ds->img, dst->img + 8);
    EXPECT_EQ(ss->img, src->img + src->rowsize);
  }
  _ImgStruct ds = {}, ss = {};
  EXPECT_EQ(PlinkCoverage(&ds, &ss, dst.get(), src.get(), 10, 0), 0);
  EXPECT_EQ(PlinkCoverage(&ds, &ss, dst.get(), src.get(), INT_MAX, INT_MAX), 0);
  EXPECT_EQ(PlinkCoverage(&ds, &ss, dst.get(), src.get(), INT_MIN, 0), 0);
  EXPECT_EQ(src->mbase->RetainCount(), 1);
}

TEST(ImageClear, ZeroAndPixelFills) {
  Image im(5, 4, &ICS_sRGB);
  std::memset(im->img, 0x55, 5 * 4 * 3);
  const uint8_t red[3] = {255, 0, 7};
  const _ImgRect r = {1, 3, 1, 3};
  ASSERT_EQ(PclearRect(im.get(), &r, red), 1);
  for (int y = 0; y < 4; y++)
    for (int x = 0; x < 5; x++) {
      const bool in = x >= 1 && x < 3 && y >= 1 && y < 3;
      EXPECT_EQ(im.at<uint8_t>(x, y, 0), in ? 255 : 0x55);
      EXPECT_EQ(im.at<uint8_t>(x, y, 2), in ? 7 : 0x55);
    }
  EXPECT_EQ(im->mbase->RetainCount(), 1);
  ASSERT_EQ(PclearRect(im.get(), &r, nullptr), 1);
  EXPECT_EQ(im->img[im->rowsize + 3], 0);
  EXPECT_EQ(im->img[0], 0x55);
  const std::vector<uint8_t> zeros(60, 0);
  ASSERT_EQ(PclearImage(im.get(), nullptr), 1);
  EXPECT_EQ(imgtest::Bytes(im->img, 60), zeros);

  // An upside-down view clears the same bytes.
  std::memset(im->img, 1, 60);
  _ImgStruct flip = im.im;
  flip.img = im->img + 3 * im->rowsize;
  flip.rowsize = -im->rowsize;
  flip.mbase = nullptr;
  ASSERT_EQ(PclearImage(&flip, nullptr), 1);
  EXPECT_EQ(imgtest::Bytes(im->img, 60), zeros);
}

TEST(ImageRects, ClipAndOverlap) {
  _ImgRect a = {0, 10, 0, 10};
  const _ImgRect b = {5, 20, -3, 4}, far = {50, 60, 0, 4};
  EXPECT_EQ(PclipRect(&a, &b), 1);
  EXPECT_EQ(BoxOf(a), (Box{5, 10, 0, 4}));
  EXPECT_EQ(PclipRect(&a, &far), 0);
  EXPECT_EQ(PclipRect(&a, &a), 1);
  EXPECT_EQ(PclipRect(nullptr, &b), 0);
}

TEST(ImageRects, OverlapOfViewsIsExact) {
  Image im(100, 50, &ICS_sRGB), other(10, 10, &ICS_sRGB);
  const _ImgRect lr = {0, 60, 0, 50}, rr = {60, 100, 0, 50}, mr = {50, 70, 10, 20};
  Image left = Sub(im.get(), &lr), right = Sub(im.get(), &rr), mid = Sub(im.get(), &mr);
  EXPECT_EQ(PimagesOverlap(left.get(), right.get()), 0);  // side by side in every row
  EXPECT_EQ(PimagesOverlap(right.get(), left.get()), 0);
  EXPECT_EQ(PimagesOverlap(left.get(), mid.get()), 1);
  EXPECT_EQ(PimagesOverlap(mid.get(), right.get()), 1);
  EXPECT_EQ(PimagesOverlap(im.get(), other.get()), 0);
  EXPECT_EQ(PimagesOverlap(im.get(), im.get()), 1);
  // An upside-down view of the same rows overlaps; one of other rows does not.
  _ImgStruct flip = left.im;
  flip.img = left->img + 49 * left->rowsize;
  flip.rowsize = -left->rowsize;
  EXPECT_EQ(PimagesOverlap(&flip, mid.get()), 1);
  const _ImgRect t = {0, 100, 0, 10}, bt = {0, 100, 10, 50};
  EXPECT_EQ(PimagesOverlap(Sub(im.get(), &t).get(), Sub(im.get(), &bt).get()), 0);
  // The same bytes seen as another pixel size overlap.
  _ImgStruct grey = im.im;
  grey.csp = &ICS_Y8;
  grey.img = im->img + 1;
  EXPECT_EQ(PimagesOverlap(&grey, im.get()), 1);
}

TEST(ImageRects, PixelPositions) {
  Image im(10, 5, &ICS_sRGB);
  const _ImgRect r = {2, 6, 1, 4};
  Image sub = Sub(im.get(), &r);
  int x = -1, y = -1;
  EXPECT_EQ(PpixPos(&x, &y, im.get(), sub->img + 4), 1);
  EXPECT_THAT((std::vector<int>{x, y}), ElementsAre(3, 1));
  EXPECT_EQ(PpixPos(&x, &y, sub.get(), im->img), 0);  // above and left of the sub-image
  EXPECT_THAT((std::vector<int>{x, y}), ElementsAre(8, -2));
  EXPECT_EQ(PpixPos(&x, &y, sub.get(), sub->img + 4 * 3), 0);  // right of its last column
  EXPECT_EQ(PpixPos(&x, &y, sub.get(), sub->img + 2 * sub->rowsize + 11), 1);
  EXPECT_THAT((std::vector<int>{x, y}), ElementsAre(3, 2));
  _ImgStruct flip = sub.im;
  flip.img = sub->img + 2 * sub->rowsize;
  flip.rowsize = -sub->rowsize;
  EXPECT_EQ(PpixPos(&x, &y, &flip, sub->img + 3), 1);
  EXPECT_THAT((std::vector<int>{x, y}), ElementsAre(1, 2));
}

TEST(ImageHelpers, GreyExpandsToRGBInPlace) {
  uint8_t buf[12] = {10, 20, 30, 40};
  PgetRGB24fromY8(buf, buf, 4);
  EXPECT_THAT(buf, ElementsAre(10, 10, 10, 20, 20, 20, 30, 30, 30, 40, 40, 40));
}

TEST(ImageFrames, SeekingWrapsAndClamps) {
  struct Case {
    int start, n;
    ImgFrameType flags;
    int pos, whence, ok, frame;
  };
  // Back and forth runs 0 1 2 3 4 4 3 2 1 0 0 1 ...
  const Case cases[] = {
      {0, 5, IRFloop, -5, 2, 1, 0},       {0, 5, IRFloop, 7, 2, 1, 2},
      {2, 5, IRFloop, -3, 2, 1, 4},       {0, 5, IRFnone, 7, 0, 0, 4},
      {4, 5, IRFnone, -9, 1, 0, 0},       {0, 5, IRFnone, 3, 1, 1, 3},
      {3, 5, IRFnone, 0, 1, 1, 3},        {0, 5, IRFbackforth, 6, 2, 1, 3},
      {0, 5, IRFbackforth, -12, 2, 1, 2},
  };
  for (const Case& c : cases) {
    int f = c.start;
    EXPECT_EQ(PabsFrame(&f, c.n, c.flags, c.pos, c.whence), c.ok) << c.flags << " " << c.pos;
    EXPECT_EQ(f, c.frame) << c.flags << " " << c.pos;
  }
  int f = 0;
  EXPECT_EQ(PabsFrame(&f, 0, IRFnone, 1, 0), 0);
  f = 4;
  EXPECT_EQ(PabsFrame(&f, 5, IRFbackforth, INT_MAX, 2), 1);
  EXPECT_GE(f, 0);
  EXPECT_LT(f, 5);
}

}  // namespace
