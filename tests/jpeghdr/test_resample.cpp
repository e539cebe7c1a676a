// Ratio-image resampling: the values both sides of the codec must agree on, and the extreme
// sizes that must stay in bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <vector>

#include "jpeghdr/jhprivate.h"
#include "jpeghdr/jpeghdr.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes resample(const Bytes& src, int sw, int sh, int dw, int dh, bool orig = false) {
  Bytes dst(static_cast<size_t>(dw) * dh, 7);
  int ok = orig ? jpeghdr_resample8orig(src.data(), sw, sh, dst.data(), dw, dh)
                : jpeghdr_resample8(src.data(), sw, sh, dst.data(), dw, dh);
  EXPECT_EQ(ok, 1);
  return dst;
}

Bytes pattern(int w, int h) {
  Bytes b(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) b[y * w + x] = static_cast<uint8_t>((x * 29 + y * 53) % 256);
  return b;
}

TEST(Resample, EnlargementIsRepeatableAndLeavesRandUntouched) {
  Bytes src = pattern(13, 9);
  std::srand(5);
  const int expected = std::rand();
  std::srand(5);
  Bytes a = resample(src, 13, 9, 50, 31);
  EXPECT_EQ(std::rand(), expected);
  Bytes b = resample(src, 13, 9, 50, 31);
  EXPECT_EQ(a, b);
}

// Reduction keeps a uniform value exactly; enlargement up to one step of dither or rounding.
TEST(Resample, UniformStaysUniformAtEverySize) {
  struct Case {
    int sw, sh, dw, dh;
  } cases[] = {
      {8, 6, 8, 6},     {8, 6, 29, 17},   {8, 6, 4, 3},     {9, 7, 3, 7},
      {1, 1, 40, 30},   {30, 1, 70, 5},   {4, 100, 20, 50},  // radius 0 across: x grows 5x
      {100, 4, 50, 20}, {70000, 1, 1, 1},                    // every weight rounds to 0
  };
  for (const Case& c : cases) {
    for (uint8_t v : {uint8_t{0}, uint8_t{1}, uint8_t{137}, uint8_t{255}}) {
      Bytes src(static_cast<size_t>(c.sw) * c.sh, v);
      Bytes dst = resample(src, c.sw, c.sh, c.dw, c.dh);
      const int tol = (c.dw < c.sw || c.dh < c.sh) ? 0 : 1;
      for (uint8_t d : dst)
        ASSERT_NEAR(d, v, tol) << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
      Bytes dorig = resample(src, c.sw, c.sh, c.dw, c.dh, true);
      for (uint8_t d : dorig) ASSERT_NEAR(d, v, 2 * tol);  // its weights round coarser
    }
  }
}

TEST(Resample, SameSizeReproducesTheSource) {
  Bytes src = pattern(17, 11);
  Bytes same = resample(src, 17, 11, 17, 11);
  for (size_t i = 0; i < src.size(); i++) EXPECT_NEAR(same[i], src[i], 1);
  EXPECT_EQ(resample(src, 17, 11, 17, 11, true), src);
}

TEST(Resample, VersionTenEnlargementHasNoHalfPixelShift) {
  Bytes src = {0, 200};
  EXPECT_EQ(resample(src, 2, 1, 4, 1, true), (Bytes{0, 100, 200, 212}));
  // The current enlargement centres pixels: symmetric about the middle.
  Bytes e = resample(src, 2, 1, 4, 1);
  EXPECT_EQ(e[0], 0);
  EXPECT_GE(e[3], 200);  // cubic overshoot at the edge
  EXPECT_LT(e[1], 100);
  EXPECT_GT(e[2], 100);
}

TEST(Resample, ReductionAveragesOverItsRadius) {
  // A single bright column reduced by 2 spreads over radius 3 source pixels: the destination
  // columns beside it get some of it, those farther away none.
  const int sw = 32, sh = 4;
  Bytes src(sw * sh, 0);
  for (int y = 0; y < sh; y++) src[y * sw + 16] = 255;
  Bytes dst = resample(src, sw, sh, 16, 2);
  EXPECT_GT(dst[8], 60);
  EXPECT_GT(dst[7], 0);
  EXPECT_GT(dst[9], 0);
  EXPECT_EQ(dst[5], 0);
  EXPECT_EQ(dst[11], 0);
  EXPECT_EQ(dst[16 + 8], dst[8]);  // every row alike
}

TEST(Resample, RefusesUnusableSizes) {
  Bytes src = pattern(4, 4), dst(16, 9);
  EXPECT_EQ(jpeghdr_resample8(src.data(), 0, 4, dst.data(), 4, 4), 0);
  EXPECT_EQ(jpeghdr_resample8(src.data(), 4, 4, dst.data(), 4, -1), 0);
  EXPECT_EQ(gaussian8(nullptr, 4, 4, dst.data(), 2, 2), 0);
  EXPECT_EQ(dst, Bytes(16, 9));
}

// The enlargement made a row at a time, in any order, and the reduction split into bands,
// give the bytes of the whole-image routines.
TEST(Resample, RowsAndBandsGiveTheWholeImage) {
  const int sw = 37, sh = 23, dw = 140, dh = 81;
  const Bytes src = pattern(sw, sh);
  const Bytes whole = resample(src, sw, sh, dw, dh);
  std::vector<uint8_t> block(jh_enlarge_bytes(sw, dw));
  JHEnlarger en;
  jh_enlarge_begin(&en, src.data(), sw, sh, dw, dh, block.data());
  Bytes rows(whole.size());
  for (int y = dh - 1; y >= 0; y--) jh_enlarge_row(&en, y, &rows[static_cast<size_t>(y) * dw]);
  EXPECT_EQ(rows, whole);
  const Bytes big = resample(src, sw, sh, 301, 211);
  const Bytes reduced = resample(big, 301, 211, 97, 64);
  for (int parts : {2, 5, 64, 200}) {
    Bytes banded(reduced.size());
    ASSERT_EQ(jh_gaussian8(big.data(), 301, 211, banded.data(), 97, 64, parts), 1);
    EXPECT_EQ(banded, reduced) << parts;
  }
  // Rows made on demand: on one thread each row is made once; split over threads, the pieces
  // make the rows at their edges again, but only a few times.
  struct Source {
    const Bytes* img;
    std::atomic<int> asked{0};
    static const uint8_t* row(void* ctx, int r, uint8_t* buf) {
      Source* s = static_cast<Source*>(ctx);
      s->asked++;
      std::copy_n(s->img->data() + static_cast<size_t>(r) * 301, 301, buf);
      return buf;
    }
  };
  for (int parts : {1, 3}) {
    Source maker{&big};
    Bytes made(reduced.size());
    ASSERT_EQ(jh_gaussian8_rows(Source::row, &maker, 301, 211, made.data(), 97, 64, parts), 1);
    EXPECT_EQ(made, reduced) << parts;
    if (parts == 1) {
      EXPECT_EQ(maker.asked, 211);
    }
    EXPECT_LE(maker.asked, 3 * 211) << parts;
  }
}

}  // namespace
