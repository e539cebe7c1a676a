// The compact hash bits of a page against a plain bit map: every form (every bit, a sorted
// list, a map once the list would be larger) answers every bit and every intersection alike.
#include <random>

#include <gtest/gtest.h>

#include "db/dbhashbits.h"
#include "support/abitmap.h"

TEST(HashBits, EveryFormAnswersBitsAndIntersectionsLikeABitMap) {
  constexpr uint32_t kLen = 32749;
  std::mt19937 rng(3);
  DBHashBits bits;
  ABitMap ref;
  auto expectSame = [&](const char* what) {
    for (uint32_t i = 0; i < kLen + 3; i++) ASSERT_EQ(bits.Check(i), ref.Check(i)) << what << i;
    for (int trial = 0; trial < 100; trial++) {
      ABitMap query(kLen);
      for (int k = 1 + static_cast<int>(rng() % 40); k-- > 0;) query.Set(rng() % kLen);
      ABitMap both = ref;
      both &= query;
      ASSERT_EQ(bits.Intersects(query), both.SumTotal() > 0) << what << " trial " << trial;
    }
    EXPECT_FALSE(bits.Intersects(ABitMap(kLen)));
    EXPECT_TRUE(bits.Intersects(ABitMap(kLen + 1)));  // another length: it may match
  };
  ASSERT_TRUE(bits.NewBitMap(kLen, true));
  ref.NewBitMap(kLen, true);
  expectSame("all set ");
  EXPECT_EQ(bits.Bytes(), 0u);
  bits.ClearBitMap(false);
  ref.ClearBitMap(false);
  // A page's few hundred bits stay a list far smaller than the map; beyond some thousands
  // they become the map, and every bit set before stays set.
  for (int n = 0; n < 4000; n++) {
    uint32_t b = rng() % kLen;
    bits.Set(b);
    ref.Set(b);
    if (n == 199) {
      expectSame("list ");
      EXPECT_LT(bits.Bytes(), 1024u);
    }
  }
  bits.Set(kLen + 5);  // outside: nothing happens
  expectSame("map ");
  EXPECT_LE(bits.Bytes(), kLen / 8 + 8);
}
