// Trimming a panorama's coverage and filling its matte, on synthetic masks and images.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <tuple>

#include "app/hdrpano/makepano.h"
#include "image/pconvert.h"
#include "support/dmessage.h"
#include "testutil/message_log.h"

namespace {

// The trim written out plainly: bit by bit, every probe point counted.
void ReferenceTrim(ABitMap2* map) {
  const int w = map->Width(), h = map->Height(), r = TrimCornerRad;
  const ABitMap2 orig(*map);
  auto bit = [&](long p) { return map->Check(int(p % w), int(p / w)); };
  auto trim = [&](int x, int y) {
    int count = 0, d[2];
    for (int i = 0; trimTest(d, i); ++i) count += orig.Check(x + d[0], y + d[1]);
    if (2 * count >= 4 * r + 1) return false;
    map->Reset(x, y);
    return true;
  };
  for (int y = 0; y < h; ++y)
    if (map->Check(0, y)) map->Reset(w - 1, y);
  bool seek = true;
  for (long p = 0; p < long(w) * h; ++p) {
    if (bit(p) != seek) continue;
    const int x = int(p % w), y = int(p / w);
    if (seek) {
      if (inImgCorner(x, y, w, h) || !trim(x, y)) seek = false;
    } else if (x != 0) {
      seek = true;
      for (int xl = x - 1; !inImgCorner(xl, y, w, h) && trim(xl, y);) {
        if (--xl <= 0) break;  // stepping stops at the row's start
      }
    }
  }
  for (int y = 0; y < h; ++y)
    if (orig.Check(0, y) && orig.Check(w - 1, y) && (w == 1 || map->Check(w - 2, y)))
      map->ClearRect(w - 1, y, 1, 1, true);
}

// A ragged coverage: a few overlapping rectangles with noisy edges.
ABitMap2 RaggedMask(std::mt19937* rng, int w, int h) {
  ABitMap2 m(w, h, false);
  std::uniform_int_distribution<int> ux(0, w - 1), uy(0, h - 1), coin(0, 3);
  const int n = 1 + coin(*rng);
  for (int k = 0; k < n; ++k) {
    int x0 = ux(*rng), y0 = uy(*rng), x1 = ux(*rng), y1 = uy(*rng);
    if (x0 > x1) std::swap(x0, x1);
    if (y0 > y1) std::swap(y0, y1);
    m.ClearRect(x0, y0, x1 - x0 + 1, y1 - y0 + 1, true);
  }
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if (coin(*rng) == 0) m.ClearRect(x, y, 1, 1, coin(*rng) < 2);
  return m;
}

TEST(PanoTrim, MatchesThePlainWalkOnRandomMasks) {
  std::mt19937 rng(44);
  for (int round = 0; round < 400; ++round) {
    const int w = 1 + int(rng() % 70), h = 1 + int(rng() % 50);
    TrimCornerRad = 1 + int(rng() % 5);
    ABitMap2 fast = RaggedMask(&rng, w, h), slow(fast);
    const ABitMap2 before(fast);
    trimPano(&fast);
    ReferenceTrim(&slow);
    ASSERT_TRUE(fast == slow) << "round " << round << " " << w << " x " << h;
    ABitMap2 added(fast);
    added &= before;
    ASSERT_TRUE(added == fast) << "trimming set a bit";  // it only ever clears
  }
}

TEST(PanoTrim, KeepsAFullCoverageWhole) {
  TrimCornerRad = 2;
  ABitMap2 m(40, 12, true);
  trimPano(&m);
  EXPECT_EQ(m.SumTotal(), 40u * 12u);  // the last column too
}

// An 8-bit image whose covered pixels are all distinct from the matte colours used here.
struct Scene {
  _ImgStruct img{};
  ABitMap2 cover;
  Scene(int w, int h, const _ImgColorSpace* cs) : cover(w, h, false) {
    img.xres = w, img.yres = h, img.csp = cs;
    EXPECT_TRUE(PnewImage(&img, 0));
    PclearImage(&img, nullptr);
  }
  ~Scene() { PfreeImage(&img); }
  uint8_t* At(int x, int y) {
    return img.img + ptrdiff_t(y) * img.rowsize + ptrdiff_t(x) * PpixelSize(img.csp);
  }
};

TEST(PanoMatte, ColoursFromTheCoveredMean) {
  Scene s(64, 48, &ICS_RGB709);
  s.cover.ClearRect(10, 5, 30, 20, true);
  const float mean[3] = {0.2f, 0.3f, 0.4f};
  for (int y = 5; y < 25; ++y)
    for (int x = 10; x < 40; ++x) memcpy(s.At(x, y), mean, sizeof mean);
  srand48(7);
  const float* c4 = reinterpret_cast<const float*>(getMatteColor(&s.img, s.cover, 4));
  ASSERT_NE(c4, nullptr);
  EXPECT_NEAR(c4[0], 0.3f, 1e-5);
  EXPECT_NEAR(c4[1], 0.4f, 1e-5);
  EXPECT_NEAR(c4[2], 0.2f, 1e-5);
  // Grey at the mean luminance, and the floating-point black made from it.
  float y;
  PconvertPixel(&y, mean, &ICS_Y, &ICS_RGB709);
  const float* c2 = reinterpret_cast<const float*>(getMatteColor(&s.img, s.cover, 2));
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(c2[c], y, 1e-4);
  const float* c1 = reinterpret_cast<const float*>(getMatteColor(&s.img, s.cover, 1));
  EXPECT_NEAR(c1[1], y * 1e-8f, 1e-10);
  // Nothing covered: black rather than a mean of nothing.
  s.cover.ClearBitMap(false);
  const float* c3 = reinterpret_cast<const float*>(getMatteColor(&s.img, s.cover, 3));
  ASSERT_NE(c3, nullptr);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(c3[c], 0.f);
}

TEST(PanoMatte, EightBitBlackWhiteAndIllegalIndex) {
  Scene s(20, 10, &ICS_sRGB);
  s.cover.ClearRect(0, 0, 10, 10, true);
  const uint8_t* black = getMatteColor(&s.img, s.cover, 1);
  ASSERT_NE(black, nullptr);
  EXPECT_EQ(black[0] + black[1] + black[2], 0);
  const uint8_t* white = getMatteColor(&s.img, s.cover, 6);
  EXPECT_EQ(white[0] & white[1] & white[2], 255);
  MessageLog log;
  for (int bad : {0, 7}) EXPECT_EQ(getMatteColor(&s.img, s.cover, bad), nullptr);
  EXPECT_TRUE(log.Has(DMCparameter, "Illegal matte index (7)"));
}

TEST(PanoMatte, RandomMatteCopiesCoveredPixelsOnly) {
  for (int rad : {0, 1, 6}) {  // 0: a panorama too small for a radius of its own
    SCOPED_TRACE(rad);
    Scene s(90, 40, &ICS_sRGB);
    std::mt19937 rng(rad);
    s.cover = RaggedMask(&rng, 90, 40);
    std::set<std::tuple<int, int, int>> covered;
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 90; ++x)
        if (s.cover.Check(x, y)) {
          uint8_t* p = s.At(x, y);
          p[0] = uint8_t(1 + x), p[1] = uint8_t(1 + y), p[2] = uint8_t(rng() % 256);
          covered.insert({p[0], p[1], p[2]});
        }
    uint8_t matte[3] = {0, 0, 0};  // no covered pixel is black: x and y start at 1
    TrimCornerRad = rad;
    srandom(11);
    std::vector<uint8_t> orig(s.img.img, s.img.img + 90 * 40 * 3);
    fillMatte(&s.img, s.cover, matte, false);
    int copied = 0;
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 90; ++x) {
        const uint8_t* p = s.At(x, y);
        if (s.cover.Check(x, y)) {
          ASSERT_EQ(memcmp(p, &orig[(y * 90 + x) * 3], 3), 0) << "a covered pixel changed";
        } else if (p[0] != 0) {
          ASSERT_TRUE(covered.count({p[0], p[1], p[2]})) << x << "," << y;
          ++copied;
        }
      }
    if (s.cover.SumTotal() > 0 && s.cover.SumTotal() < 90u * 40u) {
      EXPECT_GT(copied, 0);
    }
    fillMatte(&s.img, s.cover, matte, true);  // solid: every uncovered pixel is the matte
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 90; ++x)
        if (!s.cover.Check(x, y)) {
          ASSERT_EQ(s.At(x, y)[0] | s.At(x, y)[2], 0);
        }
  }
}

}  // namespace
