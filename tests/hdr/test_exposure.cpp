// Usability statistics, patch measurement and patch choice of one exposure.
#include "hdr_test_util.h"
#include "support/membudget.h"
#include "testutil/message_log.h"

using namespace hdrtest;

namespace {

// An exposure whose image is the given one (held as if loaded).
void Hold(PHDExposure* e, const _ImgStruct& im) {
  PlinkSubimage(&e->imr, &im, nullptr);
  e->refCount = 1;
}

void Fill(_ImgStruct* im, uint8_t v) {
  const uint8_t px[3] = {v, v, v};
  PclearImage(im, px);
}

}  // namespace

TEST(ExposureStats, HundredPixelImageUsesFirstAndLastNonEmptyBins) {
  _ImgStruct im = NewRGB(10, 10);
  for (int i = 0; i < 100; i++) {
    uint8_t* p = im.img + (i / 10) * im.rowsize + 3 * (i % 10);
    p[0] = p[1] = p[2] = static_cast<uint8_t>(40 + i);  // 40 .. 139
  }
  PHDExposure e;
  e.ComputeStats(&im);
  EXPECT_EQ(e.minv[1], 40);
  EXPECT_EQ(e.maxv[1], 139);
  EXPECT_EQ(e.median[1], 90);  // 50 counted from the top
  EXPECT_EQ(e.pct17[1], 56);   // one past the 16th value from the bottom
  EXPECT_EQ(e.pct83[1], 124);
  EXPECT_EQ(e.usepix.SumTotal(), 100u);
  // A dark image: margins of 2 above black and 4 below the top of the tail.
  Fill(&im, 0);
  e.ComputeStats(&im);
  EXPECT_EQ(e.minv[0], 2);
  EXPECT_EQ(e.usepix.SumTotal(), 0u);  // every pixel clipped
  PfreeImage(&im);
}

TEST(ExposurePatches, MeasurableOnlyWithSeventyThreePixelsInside) {
  _ImgStruct im = NewRGB(40, 40);
  Fill(&im, 100);
  PHDExposure e;
  e.ComputeStats(&im);
  e.usepix.NewBitMap(40, 40, true);
  Hold(&e, im);
  uint8_t rgb[3];
  e.xoff = 34;  // 6 of 12 columns inside: 72 pixels
  _ImgRect r = {0, 12, 0, 12};
  EXPECT_FALSE(e.AvgPatch(rgb, &r));
  e.xoff = 33;  // 7 columns: 84 pixels
  EXPECT_TRUE(e.AvgPatch(rgb, &r));
  EXPECT_EQ(rgb[1], 100);
  e.usepix.Reset(39, 5);
  EXPECT_FALSE(e.AvgPatch(rgb, &r));
  PfreeImage(&im);
}

TEST(ExposurePatches, NoPatchInImagesUnderTwentyFourPixels) {
  _ImgStruct im = NewRGB(23, 200);
  Fill(&im, 120);
  PHDExposure e;
  e.ComputeStats(&im);
  e.usepix.NewBitMap(23, 200, true);
  e.maxv[1] = 250;
  Hold(&e, im);
  PPatchSet ps;
  uint8_t rgb[3];
  _ImgRect r;
  EXPECT_FALSE(e.NewLightPatch(rgb, &r, &ps, 0));
  PfreeImage(&im);
  // At 24 pixels one uniform patch is found, inside the image and not overlapping.
  im = NewRGB(24, 200);
  Fill(&im, 120);
  PfreeImage(&e.imr);
  Hold(&e, im);
  e.usepix.NewBitMap(24, 200, true);
  ASSERT_TRUE(e.NewLightPatch(rgb, &r, &ps, 0));
  EXPECT_EQ(rgb[0], 120);
  EXPECT_EQ(r.xright - r.xleft, 12);
  EXPECT_LE(r.xright, 24);
  PfreeImage(&im);
}

// An exposure whose pixels this computer's memory cannot hold is told in words that name its
// file and its size, and the maker knows it for one it could not read.
TEST(ExposureLoad, PixelsBeyondMemoryAreToldInWords) {
  LoadReaders();
  ScratchDir dir;
  _ImgStruct im = NewRGB(2400, 2400);
  Fill(&im, 100);
  ASSERT_TRUE(WriteTiff(dir.Path("wide.tif"), im));
  PfreeImage(&im);
  PHDImageMaker mk;
  ASSERT_TRUE(AddExposure(&mk, dir, "wide.tif", 1.0f));
  MessageLog log;
  PsetMemoryAvailable(uint64_t{8} << 20);
  const bool ok = mk.Exposure(0).ComputeUsability();
  PsetMemoryAvailable(0);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(log.Has(DMCresource, "Cannot load input exposure '" + dir.Path("wide.tif") +
                                       "': 'wide.tif' is 2400 \xC3\x97 2400 pixels (16 MB): too "
                                       "large for this computer's memory"))
      << log.All();
  EXPECT_EQ(mk.UnreadableExposure(), 0);
}
