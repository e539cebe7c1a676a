#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
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

TEST(ABitMapTest, CountingInvertAndSetOperatorsStayWithinTheLength) {
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

  ABitMap a(40, false), b(40, false), c;
  a.Set(1), a.Set(39), b.Set(39), b.Set(5);
  c = a, c &= b;
  EXPECT_EQ(c.SumTotal(), 1u);
  EXPECT_TRUE(c.Check(39));
  c = a, c |= b;
  EXPECT_EQ(c.SumTotal(), 3u);
  c ^= b;
  EXPECT_EQ(c.SumTotal(), 1u);
  EXPECT_TRUE(c.Check(1));
  ABitMap& same = c;
  c ^= same;
  EXPECT_EQ(c.SumTotal(), 0u);
  ABitMap shorter(10, true);
  c = a, c &= shorter;  // another length: unchanged
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

TEST(ABitMapTest, ClearBitsAndFindMatchReferenceAcrossWords) {
  ABitMap zero(100, false);
  EXPECT_EQ(zero.Find(0, true), 100u);
  EXPECT_EQ(zero.Find(250u, false), 100u);
  std::mt19937 rng(11);
  for (int trial = 0; trial < 300; ++trial) {
    const uint32_t n = 1 + rng() % (trial < 200 ? 150 : 1000);
    ABitMap m = RandomMap(n, rng);
    Bits want = ToBits(m);
    const uint32_t start = rng() % (n + 10), len = rng() % (n + 10);
    const bool value = rng() & 1;
    for (uint32_t i = start; i < n && i - start < len; ++i) want[i] = value;
    m.ClearBits(start, len, value);
    ASSERT_EQ(ToBits(m), want) << n << " " << start << " " << len;
    // Find visits exactly the positions holding the value, skipping whole words.
    std::vector<uint32_t> want_pos, got_pos;
    for (uint32_t i = 0; i < n; ++i)
      if (want[i] == value) want_pos.push_back(i);
    for (uint32_t pos = 0; m.Find(&pos, value); ++pos) got_pos.push_back(pos);
    ASSERT_EQ(got_pos, want_pos) << n << " " << value;
    ASSERT_EQ(m.SumTotal(), value ? want_pos.size() : n - want_pos.size());
  }
}

TEST(ABitMapTest, MultiWordShiftsMatchReference) {
  auto count = [](const Bits& b) {
    return static_cast<uint32_t>(std::count(b.begin(), b.end(), true));
  };
  std::mt19937 rng(3);
  for (uint32_t n : {1u, 7u, 32u, 33u, 64u, 65u, 100u, 257u}) {
    for (uint32_t s = 0; s <= n + 2; s += (s < 70 ? 1 : 17)) {
      ABitMap right = RandomMap(n, rng), left = right;
      const Bits src = ToBits(right);
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
      ASSERT_EQ(right.SumTotal(), count(want_r));
      ASSERT_EQ(left.SumTotal(), count(want_l));
    }
  }
}

// A mask drawn as rows, top first, each ended by '/': '#' set, '.' clear.
std::string Picture(const ABitMap2& m) {
  std::string s;
  for (int y = 0; y < m.Height(); ++y) {
    for (int x = 0; x < m.Width(); ++x) s += m.Check(x, y) ? '#' : '.';
    s += '/';
  }
  return s;
}

ABitMap2 FromPicture(const std::string& pic) {
  const int w = static_cast<int>(pic.find('/'));
  ABitMap2 m(w, static_cast<int>(pic.size()) / (w + 1), false);
  for (size_t i = 0; i < pic.size(); ++i)
    if (pic[i] == '#') m.ABitMap::Set(static_cast<uint32_t>(i / (w + 1) * w + i % (w + 1)));
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
  ABitMap2 m = FromPicture("......#/......./......./..#..../......./");
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
          ABitMap2 m(w, h, false);
          for (uint32_t i = 0; i < m.Length(); ++i)
            if (rng() & 1) m.ABitMap::Set(i);
          const std::string src = Picture(m);
          std::string want = src;
          for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
              const int sx = x - dx, sy = y - dy;
              const bool in = sx >= 0 && sx < w && sy >= 0 && sy < h;
              want[y * (w + 1) + x] = in ? src[sy * (w + 1) + sx] : fill ? '#' : '.';
            }
          m.Shift(dx, dy, fill);
          ASSERT_EQ(Picture(m), want) << "by " << dx << "," << dy << " fill " << fill;
        }
      }
    }
  }
  ABitMap2 m(4, 4, true);
  m.Shift(4, 0, 0);  // as wide as the map: nothing happens
  EXPECT_EQ(m.SumTotal(), 16u);
}

TEST(ABitMap2Test, ExpandGrowsByADiscClippedAtTheEdges) {
  const std::string dot = "......./......./......./...#.../......./......./......./";
  const std::string hole = "#######/#######/#######/###.###/#######/#######/#######/";
  const std::string plus = "......./......./...#.../..###../...#.../......./......./";
  const struct {
    std::string from;
    double radius;
    bool value;
    std::string want;
  } cases[] = {
      {dot, 1.0, true, plus},
      {dot, 0.5, true, dot},  // below one pixel: nothing grows
      {dot, 1.5, true, "......./...#.../..###../.#####./..###../...#.../......./"},
      {dot, 2.3, true, "......./..###../.#####./.#####./.#####./..###../......./"},
      {"#....../......./......./......./......./......./......#/", 1.5, true,
       "###..../##...../#....../......./......#/.....##/....###/"},
      // A negative radius, or a clear value, grows the clear bits instead.
      {hole, -1.0, true, "#######/#######/###.###/##...##/###.###/#######/#######/"},
      {hole, 1.0, false, "#######/#######/###.###/##...##/###.###/#######/#######/"},
      {dot, 1e12, true, "#######/#######/#######/#######/#######/#######/#######/"},
  };
  for (const auto& c : cases) {
    ABitMap2 m = FromPicture(c.from);
    m.Expand(c.radius, c.value);
    EXPECT_EQ(Picture(m), c.want) << c.radius << " " << c.value;
  }
}

}  // namespace

// Every change of a map moves its change count on (results kept from the map rely on it).
TEST(ABitMapTest, EveryChangeMovesTheChangeCount) {
  ABitMap2 m(40, 3);
  ABitMap other(120, true);
  std::mt19937 rng(11);
  for (int step = 0; step < 2000; step++) {
    const ABitMap before = m;
    const uint64_t count = m.Changes();
    const uint32_t i = rng() % 130;
    switch (rng() % 10) {
      case 0:
        m.Set(i);
        break;
      case 1:
        m.Reset(i);
        break;
      case 2:
        m.Word(i) ^= static_cast<uint32_t>(rng());
        break;
      case 3:
        m.Invert();
        break;
      case 4:
        m.ClearBits(i, rng() % 40, rng() % 2 != 0);
        break;
      case 5:
        m |= other;
        break;
      case 6:
        m ^= other;
        break;
      case 7:
        m >>= rng() % 50;
        break;
      case 8:
        m.Shift(static_cast<int>(rng() % 5) - 2, static_cast<int>(rng() % 3) - 1, 1);
        break;
      default:
        m.ClearRect(static_cast<int>(rng() % 40), 0, 5, 2, rng() % 2 != 0);
        break;
    }
    if (!(static_cast<const ABitMap&>(m) == before)) {
      ASSERT_NE(m.Changes(), count) << step;
    }
  }
}
