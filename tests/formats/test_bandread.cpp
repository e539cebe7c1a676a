// Pictures read in bands, reduced on the way: the bands together are what one request reads,
// reduced rows are the averages of what it reads, and a large picture renders as one request
// rendered it, giving the program a slice between its bands.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "image/pbandread.h"
#include "image/piresamp.h"
#include "jpeg_test_util.h"
#include "support/pwork.h"

namespace {

// Every row a band reader delivers, packed.
std::vector<uint8_t> Banded(_ImgReader* ir, int sub, int m, _ImgColorSpace cs) {
  PBandReader br;
  std::vector<uint8_t> out;
  EXPECT_TRUE(br.Begin(ir, cs, sub, m, [&](int y, const void* row) {
    const size_t n = static_cast<size_t>(br.Width()) * PpixelSize(&br.DeliveredCS());
    EXPECT_EQ(out.size(), n * y);
    out.insert(out.end(), static_cast<const uint8_t*>(row), static_cast<const uint8_t*>(row) + n);
    return true;
  }));
  EXPECT_TRUE(br.ReadSliced()) << ir->errMsg;
  return out;
}

TEST(BandedReads, BandsMakeUpOneReadAndReducedPixelsAreItsAverages) {
  TempFile f(".jpg");
  writeFile(f.path, testJpeg(2500, 1000, 90));
  _ImgColorSpace cs = ICS_sRGB;
  cs.cstatic = 0;
  std::vector<uint8_t> whole, banded;
  {
    Reader ir(JRopen(f.path.c_str()));
    srand(11);
    whole = readAll(ir.get(), 1, &cs);
  }
  {
    Reader ir(JRopen(f.path.c_str()));
    srand(11);
    banded = Banded(ir.get(), 1, 1, cs);
  }
  ASSERT_EQ(whole.size(), size_t{2500} * 1000 * 3);
  EXPECT_TRUE(banded == whole);

  // Decoded at a half, then 3 x 3 blocks averaged: 416 x 166 pixels.
  Reader ir(JRopen(f.path.c_str()));
  const std::vector<uint8_t> half = readAll(ir.get(), 2, &cs);
  const std::vector<uint8_t> reduced = Banded(ir.get(), 2, 3, cs);
  ASSERT_EQ(reduced.size(), size_t{416} * 166 * 3);
  for (int y = 0; y < 166; y += 11)
    for (int x = 0; x < 416; x += 13)
      for (int c = 0; c < 3; ++c) {
        int sum = 0;
        for (int j = 0; j < 3; ++j)
          for (int i = 0; i < 3; ++i) sum += half[((3 * y + j) * size_t{1250} + 3 * x + i) * 3 + c];
        EXPECT_NEAR(reduced[(y * size_t{416} + x) * 3 + c], sum / 9.0, 0.51) << x << "," << y;
      }
}

int slices = 0;
double lastDone = 0, widestStep = 0;
bool Count(double done) {
  ++slices;
  widestStep = std::max(widestStep, done - lastDone);
  lastDone = done;
  return true;
}

TEST(BandedReads, ALargePictureRendersAsOneRequestDidGivingWayBetweenBands) {
  // 16.8 megapixels: read in bands.
  constexpr int W = 4200, H = 4000, TW = 320, TH = 305;
  TempFile f(".jpg");
  writeFile(f.path, testJpeg(W, H, 90));
  _ImgColorSpace cs = ICS_sRGB;
  cs.cstatic = 0;
  // What one request at an eighth, resampled, made of it.
  std::vector<uint8_t> eighth;
  {
    Reader ir(JRopen(f.path.c_str()));
    eighth = readAll(ir.get(), 8, &cs);
  }
  _ImgStruct src = {W / 8, H / 8, &ICS_sRGB, W / 8 * 3, nullptr, eighth.data()};
  _ImgStruct want = {};
  want.xres = TW;
  want.yres = TH;
  want.csp = &ICS_sRGB;
  ASSERT_EQ(PnewImage(&want, 0), 1);
  ASSERT_EQ(PsizeImage(&want, &src, 1), 1);

  Reader ir(JRopen(f.path.c_str()));
  _ImgStruct got = {};
  got.xres = TW;
  got.yres = TH;
  got.csp = &ICS_sRGB;
  const PSliceHook before = PsetSliceHook(Count);
  const int ok = PrenderImageR(&got, ir.get(), 1);
  PsetSliceHook(before);
  ASSERT_EQ(ok, 1);
  ASSERT_EQ(got.xres, TW);
  ASSERT_EQ(got.yres, TH);
  for (int y = 0; y < TH; ++y)
    ASSERT_EQ(0, std::memcmp(got.img + y * got.rowsize, want.img + y * want.rowsize, TW * 3)) << y;
  // The program had its slices all along: none came after more than a third of the picture.
  EXPECT_GE(slices, 3);
  EXPECT_LE(widestStep, 1.0 / 3);
  PfreeImage(&got);
  PfreeImage(&want);
}

}  // namespace
