#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "support/abitmap.h"

namespace {

using Bits = std::vector<bool>;

Bits ToBits(const ABitMap& m) {
  Bits b(m.Length());
  for (uint32_t i = 0; i < m.Length(); ++i) b[i] = m.Check(i);
  return b;
}

ABitMap RandomMap(uint32_t n, std::mt19937& rng) {
  ABitMap m(n, false);
  for (uint32_t i = 0; i < n; ++i)
    if (rng() & 1) m.Set(i);
  return m;
}

TEST(ABitMapTest, CountingAndInvertIgnoreBitsPastTheLength) {
  ABitMap m(33, false);
  m.ClearBitMap(true);
  EXPECT_EQ(m.SumTotal(), 33u);
  m.Invert();
  EXPECT_EQ(m.SumTotal(), 0u);
  m.Invert();
  EXPECT_EQ(m, ABitMap(33, true));
  EXPECT_NE(m, ABitMap(34, true));
  EXPECT_EQ(m.Find(0u, false), 33u);
  EXPECT_FALSE(m.Check(33));
  m.Set(40);  // beyond the length: changes nothing
  EXPECT_EQ(m.SumTotal(), 33u);
  EXPECT_EQ(m.WordV(40), 0u);
}

TEST(ABitMapTest, FindSkipsWordsAndIterates) {
  ABitMap zero(100, false);
  EXPECT_EQ(zero.Find(0, true), 100u);
  EXPECT_EQ(zero.Find(250u, false), 100u);
  std::mt19937 rng(7);
  for (uint32_t n : {1u, 31u, 32u, 33u, 200u, 1000u}) {
    ABitMap m(n, false);
    for (uint32_t i = 0; i < n; ++i)
      if (rng() % 13 == 0) m.Set(i);
    for (bool value : {true, false}) {
      std::vector<uint32_t> want, got;
      for (uint32_t i = 0; i < n; ++i)
        if (m.Check(i) == value) want.push_back(i);
      for (uint32_t pos = 0; m.Find(&pos, value); ++pos) got.push_back(pos);
      EXPECT_EQ(got, want) << n << " " << value;
    }
  }
}

TEST(ABitMapTest, ClearBitsMatchesReferenceAcrossWords) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 300; ++trial) {
    const uint32_t n = 1 + rng() % 150;
    ABitMap m = RandomMap(n, rng);
    Bits want = ToBits(m);
    const uint32_t start = rng() % (n + 10), len = rng() % (n + 10);
    const bool value = rng() & 1;
    for (uint32_t i = start; i < n && i - start < len; ++i) want[i] = value;
    m.ClearBits(start, len, value);
    ASSERT_EQ(ToBits(m), want) << n << " " << start << " " << len;
  }
}

TEST(ABitMapTest, MultiWordShiftsMatchReference) {
  ABitMap one(33, false);
  one.Set(32);
  one >>= 1;
  EXPECT_EQ(one.SumTotal(), 1u);
  EXPECT_TRUE(one.Check(31));

  std::mt19937 rng(3);
  for (uint32_t n : {1u, 7u, 32u, 33u, 64u, 65u, 100u, 257u}) {
    for (uint32_t s = 0; s <= n + 2; s += (s < 70 ? 1 : 17)) {
      ABitMap m = RandomMap(n, rng);
      const Bits src = ToBits(m);
      ABitMap right = m, left = m;
      right >>= s;
      left <<= s;
      Bits want_r(n), want_l(n);
      for (uint32_t i = 0; i < n; ++i) {
        want_r[i] = i + s < n ? src[i + s] : false;
        want_l[i] = i >= s ? src[i - s] : false;
      }
      ASSERT_EQ(ToBits(right), want_r) << n << " >> " << s;
      ASSERT_EQ(ToBits(left), want_l) << n << " << " << s;
      // Nothing may leak into the bits past the length.
      ASSERT_EQ(right.SumTotal(),
                static_cast<uint32_t>(std::count(want_r.begin(), want_r.end(), true)));
      ASSERT_EQ(left.SumTotal(),
                static_cast<uint32_t>(std::count(want_l.begin(), want_l.end(), true)));
    }
  }
}

TEST(ABitMapTest, SetOperatorsAndLengthMismatch) {
  ABitMap a(40, false), b(40, false);
  a.Set(1);
  a.Set(39);
  b.Set(39);
  b.Set(5);
  ABitMap c = a;
  c &= b;
  EXPECT_EQ(c.SumTotal(), 1u);
  EXPECT_TRUE(c.Check(39));
  c = a;
  c |= b;
  EXPECT_EQ(c.SumTotal(), 3u);
  c ^= b;
  EXPECT_EQ(c.SumTotal(), 1u);
  EXPECT_TRUE(c.Check(1));
  ABitMap& same = c;
  c ^= same;
  EXPECT_EQ(c.SumTotal(), 0u);
  ABitMap shorter(10, true);
  c = a;
  c &= shorter;  // another length: unchanged
  EXPECT_EQ(c, a);
  c ^= shorter;
  EXPECT_EQ(c, a);
  c |= shorter;  // another length: becomes a copy
  EXPECT_EQ(c, shorter);
  EXPECT_FALSE(c.NewBitMap(0));
  EXPECT_EQ(c.Length(), 0u);
  EXPECT_EQ(c.SumTotal(), 0u);
  EXPECT_EQ(c.Find(0, true), 0u);
}

// Reference 2-D mask for ABitMap2.
struct Grid {
  int w, h;
  std::vector<int> v;
  Grid(int w_, int h_) : w(w_), h(h_), v(static_cast<size_t>(w_ * h_), 0) {}
  int& at(int x, int y) { return v[static_cast<size_t>(y * w + x)]; }
};

Grid ToGrid(const ABitMap2& m) {
  Grid g(m.Width(), m.Height());
  for (int y = 0; y < m.Height(); ++y)
    for (int x = 0; x < m.Width(); ++x) g.at(x, y) = m.Check(x, y);
  return g;
}

ABitMap2 RandomMask(int w, int h, std::mt19937& rng, int density = 2) {
  ABitMap2 m(w, h, false);
  for (uint32_t i = 0; i < m.Length(); ++i)
    if (rng() % density == 0) m.ABitMap::Set(i);
  return m;
}

TEST(ABitMap2Test, ClearRectClipsAtEveryEdge) {
  ABitMap2 m(10, 10, false);
  m.ClearRect(-2, 0, 5, 1, true);
  EXPECT_EQ(m.SumTotal(), 3u);
  EXPECT_TRUE(m.Check(0, 0) && m.Check(1, 0) && m.Check(2, 0));
  m.ClearBitMap(false);
  m.ClearRect(8, 8, 5, 5, true);  // clipped at the right and bottom
  EXPECT_EQ(m.SumTotal(), 4u);
  EXPECT_TRUE(m.Check(9, 9));
  m.ClearRect(-5, -5, 100, 100, true);
  EXPECT_EQ(m.SumTotal(), 100u);
  m.ClearRect(0, 3, 10, 2, false);  // full-width rows
  EXPECT_EQ(m.SumTotal(), 80u);
  m.ClearRect(10, 0, 3, 3, false);  // entirely off the map
  m.ClearRect(-3, 0, 3, 3, false);
  m.ClearRect(2, 2, 0, 5, false);
  EXPECT_EQ(m.SumTotal(), 80u);
  EXPECT_FALSE(m.Check(-1, 0));
  EXPECT_TRUE(m.OffBitMap(10, 0));
  m.Reset(-1, 0);  // off the map: ignored
  m.Reset(0, 0);
  EXPECT_FALSE(m.Check(0, 0));
}

TEST(ABitMap2Test, FindWalksInRowOrder) {
  ABitMap2 m(7, 5, false);
  m.ABitMap::Set(3 * 7 + 2);
  m.ABitMap::Set(0 * 7 + 6);
  int x = 0, y = -1;
  ASSERT_TRUE(m.Find(&x, &y, true));
  EXPECT_EQ(x, 6);
  EXPECT_EQ(y, 0);
  ++x;
  ASSERT_TRUE(m.Find(&x, &y, true));
  EXPECT_EQ(x, 2);
  EXPECT_EQ(y, 3);
  ++x;
  EXPECT_FALSE(m.Find(&x, &y, true));
  ABitMap2 none;
  x = 0, y = 0;
  EXPECT_FALSE(none.Find(&x, &y, true));
}

TEST(ABitMap2Test, ShiftMovesContentAndFillsVacatedBands) {
  std::mt19937 rng(5);
  const int sizes[][2] = {{10, 7}, {32, 3}, {33, 5}, {5, 40}, {64, 4}};
  for (const auto& sz : sizes) {
    const int w = sz[0], h = sz[1];
    for (int dy = -h + 1; dy < h; ++dy) {
      for (int dx = -w + 1; dx < w; dx += (w > 12 ? 5 : 1)) {
        for (int fill : {0, 1}) {
          ABitMap2 m = RandomMask(w, h, rng);
          Grid src = ToGrid(m);
          m.Shift(dx, dy, fill);
          Grid want(w, h);
          for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
              const int sx = x - dx, sy = y - dy;
              want.at(x, y) = (sx >= 0 && sx < w && sy >= 0 && sy < h) ? src.at(sx, sy) : fill;
            }
          if (dx == 0 && dy == 0) want = src;
          ASSERT_EQ(ToGrid(m).v, want.v)
              << w << "x" << h << " by " << dx << "," << dy << " fill " << fill;
        }
      }
    }
  }
  ABitMap2 m(4, 4, true);
  m.Shift(4, 0, 0);  // as wide as the map: nothing happens
  EXPECT_EQ(m.SumTotal(), 16u);
}

TEST(ABitMap2Test, ExpandGrowsByADisc) {
  ABitMap2 m(9, 9, false);
  m.ABitMap::Set(4 * 9 + 4);
  m.Expand(1.0, true);
  EXPECT_EQ(m.SumTotal(), 5u);
  EXPECT_TRUE(m.Check(4, 3) && m.Check(3, 4) && m.Check(4, 4) && m.Check(5, 4) && m.Check(4, 5));

  std::mt19937 rng(9);
  for (double radius : {1.0, 1.5, 2.3, 3.0}) {
    for (bool value : {true, false}) {
      ABitMap2 mask = RandomMask(23, 17, rng, value ? 15 : 2);
      if (!value) mask.Invert();
      Grid src = ToGrid(mask);
      Grid want(23, 17);
      for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 23; ++x) want.at(x, y) = !value;
      const int reach = static_cast<int>(std::floor(radius + 0.5));
      for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 23; ++x) {
          if (src.at(x, y) != static_cast<int>(value)) continue;
          for (int dy = -reach; dy <= reach; ++dy) {
            const double d = radius * radius - dy * dy;
            const int half = d > 0 ? static_cast<int>(std::floor(std::sqrt(d) + 0.5)) : 0;
            for (int dx = -half; dx <= half; ++dx) {
              const int tx = x + dx, ty = y + dy;
              if (tx >= 0 && tx < 23 && ty >= 0 && ty < 17) want.at(tx, ty) = value;
            }
          }
        }
      ABitMap2 grown = mask;
      grown.Expand(value ? radius : -radius, true);
      ASSERT_EQ(ToGrid(grown).v, want.v) << radius << " " << value;
    }
  }
  // Huge radii are bounded by the map.
  ABitMap2 big(6, 4, false);
  big.ABitMap::Set(0);
  big.Expand(1e12, true);
  EXPECT_EQ(big.SumTotal(), 24u);
}

}  // namespace
