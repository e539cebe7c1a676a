#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <cctype>
#include <string>
#include <vector>

#include "support/dmessage.h"
#include "testutil/message_log.h"
#include "testutil/written.h"
#include "support/pstrings.h"

namespace {

TEST(MemhashTest, StoredValuesNeverChange) {
  EXPECT_EQ(memhash("abc", 3, 31), 767611005u);
  EXPECT_EQ(memhash("abc", 3, 16), 52560u);
  for (int n = -1; n <= 40; ++n) {
    EXPECT_EQ(memhash("", 0, n), 0u);
    EXPECT_EQ(memhash("abc", -5, n), 0u);
  }
  EXPECT_EQ(memhash("abc", 3, 0), memhash("abc", 3, 32));
  EXPECT_EQ(memhash("abc", 3, 40), memhash("abc", 3, 32));
  for (int n = 1; n < 32; ++n) EXPECT_LT(memhash("some longer text", 16, n), uint64_t{1} << n);
}

TEST(MemhashTest, TableKernelAgreesWithPlainLoop) {
  std::mt19937 rng(1);
  std::vector<unsigned char> buf(5000);
  for (auto& c : buf) c = static_cast<unsigned char>(rng());
  for (int n = 0; n <= 33; ++n)
    for (ptrdiff_t len : {1, 31, 127, 128, 129, 255, 256, 1000, 1023, 4097, 5000})
      ASSERT_EQ(memhash(buf.data(), len, n), memhash_plain(buf.data(), len, n))
          << "width " << n << " length " << len;
  // Offsets that are not aligned take the same path.
  for (int off = 1; off < 8; ++off)
    ASSERT_EQ(memhash(buf.data() + off, 3001, 23), memhash_plain(buf.data() + off, 3001, 23));
}

class StrlinkTest : public ::testing::Test {
 protected:
  void SetUp() override { dmessage_record[DMCwarning] = nullptr; }
  static std::string PrintedTable() { return WrittenBy(strprinttab); }
  MessageLog log_;
};

TEST_F(StrlinkTest, EqualTextsShareOneCountedCopy) {
  std::string a = "lumerin pooled text", b = a;
  const char* p = strlink(a.c_str());
  EXPECT_EQ(strlink(b.c_str()), p);
  EXPECT_NE(p, a.c_str());
  EXPECT_EQ(strlink(p), p);  // by pointer
  // The table lists each non-empty bucket as "<bucket>: <count>(<text>)...".
  const std::string out = PrintedTable();
  const size_t at = out.find(" 3(lumerin pooled text)");
  ASSERT_NE(at, std::string::npos) << out;
  const size_t line = out.rfind('\n', at) == std::string::npos ? 0 : out.rfind('\n', at) + 1;
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(out[line])));
  EXPECT_NE(out.find(':', line), std::string::npos);
  strunlink(p);
  strunlink(p);
  strunlink(p);  // count reached 0: the node is gone
  EXPECT_EQ(dmessage_record[DMCwarning], nullptr);
  // Pooled afresh: the count starts again at 1.
  const char* r = strlink(a.c_str());
  EXPECT_NE(PrintedTable().find(" 1(lumerin pooled text)"), std::string::npos);
  // An equal text that is not the pooled copy is not a reference to it.
  strunlink(a.c_str());
  EXPECT_STREQ(dmessage_record[DMCwarning], "Bogus call to strunlink()");
  strunlink(r);
  // Special arguments.
  dmessage_record[DMCwarning] = nullptr;
  EXPECT_EQ(strlink(nullptr), nullptr);
  const char* e1 = strlink("");
  EXPECT_EQ(strlink(std::string().c_str()), e1);
  EXPECT_STREQ(e1, "");
  strunlink(e1);
  strunlink(nullptr);
  EXPECT_EQ(dmessage_record[DMCwarning], nullptr);
  strunlink("never pooled");
  EXPECT_STREQ(dmessage_record[DMCwarning], "Bogus call to strunlink()");
}

TEST_F(StrlinkTest, PoolKeepsEveryTextAcrossTableGrowth) {
  // Look-alike texts (dates) in numbers far above the initial table size.
  auto date = [](int i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "2024:01:%02d %02d:%02d:%02d", i % 28 + 1, i / 3600 % 24,
                  i / 60 % 60, i % 60);
    return std::string(buf);
  };
  std::vector<const char*> pooled;
  for (int i = 0; i < 100000; ++i) pooled.push_back(strlink(date(i).c_str()));
  for (int i = 0; i < 100000; ++i) {
    const char* again = strlink(date(i).c_str());
    ASSERT_EQ(again, pooled[i]);
    strunlink(again);
  }
  for (const char* p : pooled) strunlink(p);
  EXPECT_EQ(dmessage_record[DMCwarning], nullptr) << "every text was found again";
}

TEST_F(StrlinkTest, KnownPooledTextsAreCountedWithoutALookUp) {
  const char* p = strlink("lumerin relinked text");
  EXPECT_EQ(strrelink(p), p);
  EXPECT_EQ(strrelink(strrelink(p)), p);
  // Their nodes stay put while the table grows past its first size.
  std::vector<const char*> others;
  for (int i = 0; i < 70000; ++i) others.push_back(strlink(("other " + std::to_string(i)).c_str()));
  EXPECT_NE(PrintedTable().find(" 4(lumerin relinked text)"), std::string::npos);
  for (const char* o : others) strunlinkpooled(o);
  for (int i = 0; i < 3; ++i) strunlinkpooled(p);
  EXPECT_NE(PrintedTable().find(" 1(lumerin relinked text)"), std::string::npos);
  strunlinkpooled(p);  // the last reference: the node leaves its bucket
  EXPECT_EQ(PrintedTable().find("lumerin relinked text"), std::string::npos);
  EXPECT_EQ(PrintedTable().find("other "), std::string::npos);
  const char* e = strlink("");
  EXPECT_EQ(strrelink(e), e);
  strunlinkpooled(e);
  EXPECT_EQ(strrelink(nullptr), nullptr);
  strunlinkpooled(nullptr);
  EXPECT_EQ(dmessage_record[DMCwarning], nullptr);
}

// Expects strcmp_nc(a, b) to have the sign of want, and the reverse comparison the opposite.
void ExpectOrder(const char* a, const char* b, int want) {
  auto sign = [](int v) { return (v > 0) - (v < 0); };
  EXPECT_EQ(sign(strcmp_nc(a, b)), want) << (a ? a : "null") << " vs " << (b ? b : "null");
  EXPECT_EQ(sign(strcmp_nc(b, a)), -want) << (b ? b : "null") << " vs " << (a ? a : "null");
}

TEST(StrcmpNcTest, NaturalOrderIgnoringCase) {
  ExpectOrder("img9", "img10", -1);
  ExpectOrder("A2", "a10", -1);
  ExpectOrder("abc", "ABC", 0);
  ExpectOrder("file007", "file7", 0);
  ExpectOrder("img2b", "img2c", -1);
  ExpectOrder("x12y3", "x12y20", -1);
  ExpectOrder("x12", "x1", 1);
  ExpectOrder("abc", "abd", -1);
  ExpectOrder(nullptr, nullptr, 0);
  ExpectOrder(nullptr, "a", -1);
}

TEST(StrcmpNcTest, LongDigitRunsAndNonAsciiCompareSafely) {
  // Digit runs compare by length after leading zeros, never through an overflowing integer.
  ExpectOrder("n99999999999999999999", "n100000000000000000000", -1);
  ExpectOrder("n18446744073709551616", "n18446744073709551617", -1);
  ExpectOrder("n4294967296", "n4294967295", 1);
  ExpectOrder("n000000000000000000000000001", "n1", 0);
  ExpectOrder("n2147483648", "n2147483649x", -1);
  // UTF-8 letters are compared byte for byte, not folded.
  EXPECT_NE(strcmp_nc("\xC3\x89t\xC3\xA9", "\xC3\xA9t\xC3\xA9"), 0);
  ExpectOrder("\xC3\xA9", "z", 1);
  // A text that ends where the other has a zero run: the end is never passed.
  ExpectOrder("img", "img0a", -1);
}

TEST(StringSearchTest, StrstrNcAndIstrcmp) {
  const char* s = "Holiday in PARIS 2019";
  EXPECT_EQ(strstr_nc(s, "paris"), s + 11);
  EXPECT_EQ(strstr_nc(s, ""), s);
  EXPECT_EQ(strstr_nc(s, s), s);
  EXPECT_EQ(strstr_nc(s, "2019x"), nullptr);
  EXPECT_EQ(strstr_nc(nullptr, "a"), nullptr);
  EXPECT_EQ(strstr_nc(s, nullptr), nullptr);
  EXPECT_EQ(istrcmp("a", "a"), 0);
  EXPECT_LT(istrcmp(nullptr, "a"), 0);
  EXPECT_GT(istrcmp("a", nullptr), 0);
  EXPECT_LT(istrcmp("B", "a"), 0);         // byte order, case kept
  EXPECT_LT(istrcmp("\xC3\xA9", "a"), 0);  // signed bytes: high bytes first
}

// Every string of the set in order, checking that they ascend.
std::vector<std::string> Contents(const PStringSet& set) {
  std::vector<std::string> v;
  for (int i = 0; i < set.GetSize(); ++i) {
    EXPECT_TRUE(i == 0 || istrcmp(set[i - 1], set[i]) < 0) << set[i];
    v.push_back(set[i]);
  }
  return v;
}

TEST(PStringSetTest, SortedInsertFindDeleteAndIndependentCopies) {
  PStringSet set;
  for (int i = 0; i < 20; ++i)
    EXPECT_TRUE(set.Insert(("word" + std::to_string(i * 7 % 20)).c_str()));
  EXPECT_FALSE(set.Insert("word3"));
  EXPECT_FALSE(set.Insert(nullptr));
  const std::vector<std::string> words = Contents(set);
  ASSERT_EQ(words.size(), 20u);
  for (const auto& w : words) EXPECT_STREQ(set[set.Find(w.c_str())], w.c_str());
  for (const char* absent : {"word20", "a", "zzz"}) EXPECT_EQ(set.Find(absent), -1);
  EXPECT_EQ(set[20], nullptr);
  EXPECT_EQ(set[-1], nullptr);
  // The set holds pooled strings.
  const char* pooled = strlink("word5");
  EXPECT_EQ(set[set.Find("word5")], pooled);
  strunlink(pooled);
  EXPECT_TRUE(set.Delete("word5"));
  EXPECT_FALSE(set.Delete("word5"));
  EXPECT_FALSE(set.InSet("word5"));
  EXPECT_EQ(Contents(set).size(), 19u);

  PStringSet a;
  const char* list[] = {"kiwi", "apple", "fig", "apple"};
  EXPECT_EQ(a.Add(list, 4), 3);
  PStringSet b(a);
  b.Insert("pear");
  EXPECT_EQ(a.GetSize(), 3);
  a = b;
  PStringSet& same = a;
  a = same;
  EXPECT_EQ(Contents(a), (std::vector<std::string>{"apple", "fig", "kiwi", "pear"}));
  EXPECT_TRUE(a.Insert("zebra"));  // grows after a copy made to size
  EXPECT_EQ(a.GetSize(), 5);
  a.Clear();
  EXPECT_EQ(a.GetSize(), 0);
  EXPECT_EQ(a.Find("kiwi"), -1);
  EXPECT_EQ(b.Find("kiwi"), 2);
}

// Random inserts and deletes of short words in mixed case, against an ordered set of the same
// order: the same members, in order, found where they are.
TEST(PStringSetTest, RandomInsertsAndDeletesFollowAnOrderedSet) {
  struct Less {
    bool operator()(const std::string& a, const std::string& b) const {
      return istrcmp(a.c_str(), b.c_str()) < 0;
    }
  };
  std::mt19937 rng(7);
  PStringSet set;
  std::set<std::string, Less> model;
  for (int step = 0; step < 20000; ++step) {
    std::string w;
    for (int k = 1 + static_cast<int>(rng() % 3); k-- > 0;) w += "aAbBzZ_9"[rng() % 8];
    if (rng() % 4 == 0)
      EXPECT_EQ(set.Delete(w.c_str()), model.erase(w) == 1) << w;
    else
      EXPECT_EQ(set.Insert(w.c_str()), model.insert(w).second) << w;
  }
  const std::vector<std::string> in = Contents(set);
  EXPECT_EQ(in, std::vector<std::string>(model.begin(), model.end()));
  for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(set.Find(in[i].c_str()), static_cast<int>(i));
}

}  // namespace
