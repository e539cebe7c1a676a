// The compact hash bits of a page against a plain bit map: every form (every bit, a sorted
// list, a map once the list would be larger) answers every bit and every intersection alike.
#include <random>

#include <gtest/gtest.h>

#include "db/dbhashbits.h"
#include "support/abitmap.h"

namespace {

constexpr uint32_t kLen = 32749;

void ExpectSame(const DBHashBits& bits, const ABitMap& ref, const char* what) {
  ASSERT_EQ(bits.Length(), ref.Length()) << what;
  for (uint32_t i = 0; i < kLen + 3; i++) ASSERT_EQ(bits.Check(i), ref.Check(i)) << what << " bit " << i;
}

}  // namespace

TEST(HashBits, EveryFormAnswersLikeABitMap) {
  std::mt19937 rng(3);
  DBHashBits bits;
  ABitMap ref;
  ASSERT_TRUE(bits.NewBitMap(kLen, true));
  ref.NewBitMap(kLen, true);
  ExpectSame(bits, ref, "all set");
  EXPECT_EQ(bits.Bytes(), 0u);
  bits.ClearBitMap(false);
  ref.ClearBitMap(false);
  ExpectSame(bits, ref, "cleared");
  // A page's few hundred bits stay a list far smaller than the map; beyond some thousands
  // they become the map, and every bit set before stays set.
  for (int n = 0; n < 4000; n++) {
    uint32_t b = rng() % kLen;
    bits.Set(b);
    ref.Set(b);
    if (n == 199) {
      ExpectSame(bits, ref, "list");
      EXPECT_LT(bits.Bytes(), 1024u);
    }
  }
  bits.Set(kLen + 5);  // outside: nothing happens
  ExpectSame(bits, ref, "map");
  EXPECT_LE(bits.Bytes(), kLen / 8 + 8);
}

TEST(HashBits, IntersectionsMatchThoseOfBitMaps) {
  std::mt19937 rng(5);
  for (int setBits : {0, 1, 150, 3000}) {
    DBHashBits bits;
    ABitMap ref(kLen);
    bits.NewBitMap(kLen, false);
    for (int k = 0; k < setBits; k++) {
      uint32_t b = rng() % kLen;
      bits.Set(b);
      ref.Set(b);
    }
    for (int trial = 0; trial < 200; trial++) {
      ABitMap query(kLen);
      int q = 1 + static_cast<int>(rng() % 40);
      for (int k = 0; k < q; k++) query.Set(rng() % kLen);
      if (trial % 10 == 0 && setBits > 0) query.Set(ref.Find(0u, true));  // a sure hit
      ABitMap both = ref;
      both &= query;
      ASSERT_EQ(bits.Intersects(query), both.SumTotal() > 0) << setBits << " bits, trial " << trial;
    }
    ABitMap empty(kLen);
    EXPECT_FALSE(bits.Intersects(empty));
    EXPECT_TRUE(bits.Intersects(ABitMap(kLen + 1)));  // another length: it may match
  }
  DBHashBits all;
  all.NewBitMap(kLen, true);
  ABitMap one(kLen);
  EXPECT_FALSE(all.Intersects(one));
  one.Set(17);
  EXPECT_TRUE(all.Intersects(one));
}
