#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <cctype>
#include <string>
#include <vector>

#include "support/dmessage.h"
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
  void SetUp() override {
    saved_ = dmessage_class_flags[DMCwarning];
    dmessage_class_flags[DMCwarning] = DMArecord;
    dmessage_record[DMCwarning] = nullptr;
  }
  void TearDown() override { dmessage_class_flags[DMCwarning] = saved_; }
  uint32_t saved_;
};

TEST_F(StrlinkTest, EqualTextsShareOneCountedCopy) {
  std::string a = "lumerin pooled text", b = a;
  const char* p = strlink(a.c_str());
  const char* q = strlink(b.c_str());
  EXPECT_EQ(p, q);
  EXPECT_NE(p, a.c_str());
  EXPECT_EQ(strlink(p), p);  // by pointer
  strunlink(p);
  strunlink(p);
  strunlink(p);  // count reached 0: the node is gone
  EXPECT_EQ(dmessage_record[DMCwarning], nullptr);
  // Pooled afresh: the count starts again at 1.
  const char* r = strlink(a.c_str());
  FILE* fp = std::tmpfile();
  ASSERT_NE(fp, nullptr);
  strprinttab(fp);
  std::rewind(fp);
  std::string out;
  for (int c; (c = std::fgetc(fp)) != EOF;) out.push_back(static_cast<char>(c));
  std::fclose(fp);
  EXPECT_NE(out.find(" 1(lumerin pooled text)"), std::string::npos);
  strunlink(r);
  // An equal text that is not the pooled copy is not a reference to it.
  const char* s = strlink(a.c_str());
  strunlink(a.c_str());
  EXPECT_STREQ(dmessage_record[DMCwarning], "Bogus call to strunlink()");
  strunlink(s);
}

TEST_F(StrlinkTest, SpecialArguments) {
  EXPECT_EQ(strlink(nullptr), nullptr);
  const char* e1 = strlink("");
  const char* e2 = strlink(std::string().c_str());
  EXPECT_EQ(e1, e2);
  EXPECT_STREQ(e1, "");
  strunlink(e1);
  strunlink(nullptr);
  EXPECT_EQ(dmessage_record[DMCwarning], nullptr);
  strunlink("never pooled");
  EXPECT_STREQ(dmessage_record[DMCwarning], "Bogus call to strunlink()");
}

TEST_F(StrlinkTest, PrintTableListsBucketsWithCounts) {
  const char* p = strlink("printed");
  strlink(p);
  FILE* fp = std::tmpfile();
  ASSERT_NE(fp, nullptr);
  strprinttab(fp);
  std::rewind(fp);
  std::string out;
  for (int c; (c = std::fgetc(fp)) != EOF;) out.push_back(static_cast<char>(c));
  std::fclose(fp);
  const size_t at = out.find(" 2(printed)");
  ASSERT_NE(at, std::string::npos);
  const size_t line = out.rfind('\n', at) == std::string::npos ? 0 : out.rfind('\n', at) + 1;
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(out[line])));
  EXPECT_NE(out.find(':', line), std::string::npos);
  strunlink(p);
  strunlink(p);
}

TEST_F(StrlinkTest, PoolKeepsEveryTextAcrossTableGrowth) {
  // Look-alike texts (dates) in numbers far above the initial table size.
  std::vector<const char*> pooled;
  char buf[32];
  for (int i = 0; i < 100000; ++i) {
    std::snprintf(buf, sizeof buf, "2024:01:%02d %02d:%02d:%02d", i % 28 + 1, i / 3600 % 24,
                  i / 60 % 60, i % 60);
    pooled.push_back(strlink(buf));
  }
  for (int i = 0; i < 100000; ++i) {
    std::snprintf(buf, sizeof buf, "2024:01:%02d %02d:%02d:%02d", i % 28 + 1, i / 3600 % 24,
                  i / 60 % 60, i % 60);
    const char* again = strlink(buf);
    EXPECT_EQ(again, pooled[i]);
    strunlink(again);
  }
  dmessage_record[DMCwarning] = nullptr;
  for (const char* p : pooled) strunlink(p);
  EXPECT_EQ(dmessage_record[DMCwarning], nullptr) << "every text was found again";
}

TEST(StrcmpNcTest, NaturalOrderIgnoringCase) {
  EXPECT_LT(strcmp_nc("img9", "img10"), 0);
  EXPECT_GT(strcmp_nc("img10", "img9"), 0);
  EXPECT_LT(strcmp_nc("A2", "a10"), 0);
  EXPECT_EQ(strcmp_nc("abc", "ABC"), 0);
  EXPECT_EQ(strcmp_nc("file007", "file7"), 0);
  EXPECT_LT(strcmp_nc("img2b", "img2c"), 0);
  EXPECT_LT(strcmp_nc("x12y3", "x12y20"), 0);
  EXPECT_GT(strcmp_nc("x12", "x1"), 0);
  EXPECT_LT(strcmp_nc("abc", "abd"), 0);
  EXPECT_EQ(strcmp_nc(nullptr, nullptr), 0);
  EXPECT_LT(strcmp_nc(nullptr, "a"), 0);
  EXPECT_GT(strcmp_nc("a", nullptr), 0);
}

TEST(StrcmpNcTest, LongDigitRunsCompareWithoutOverflow) {
  EXPECT_LT(strcmp_nc("n99999999999999999999", "n100000000000000000000"), 0);
  EXPECT_LT(strcmp_nc("n18446744073709551616", "n18446744073709551617"), 0);
  EXPECT_GT(strcmp_nc("n4294967296", "n4294967295"), 0);
  EXPECT_EQ(strcmp_nc("n000000000000000000000000001", "n1"), 0);
  EXPECT_LT(strcmp_nc("n2147483648", "n2147483649x"), 0);
}

TEST(StrcmpNcTest, CaseFoldingIsAsciiOnlyAndEndsAreRespected) {
  // UTF-8 letters are compared byte for byte, not folded.
  EXPECT_NE(strcmp_nc("\xC3\x89t\xC3\xA9", "\xC3\xA9t\xC3\xA9"), 0);
  EXPECT_GT(strcmp_nc("\xC3\xA9", "z"), 0);
  // A text that ends where the other has a zero run: the end is never passed.
  const char a[] = {'i', 'm', 'g', '\0'};
  EXPECT_LT(strcmp_nc(a, "img0a"), 0);
  EXPECT_GT(strcmp_nc("img0a", a), 0);
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

TEST(PStringSetTest, SortedInsertFindAndDelete) {
  PStringSet set;
  std::vector<std::string> words;
  for (int i = 0; i < 20; ++i) words.push_back("word" + std::to_string((i * 7) % 20));
  for (const auto& w : words) EXPECT_TRUE(set.Insert(w.c_str()));
  EXPECT_EQ(set.GetSize(), 20);
  EXPECT_FALSE(set.Insert("word3"));
  EXPECT_FALSE(set.Insert(nullptr));
  EXPECT_EQ(set.GetSize(), 20);
  for (int i = 1; i < set.GetSize(); ++i) EXPECT_LT(istrcmp(set[i - 1], set[i]), 0);
  for (const auto& w : words) {
    const int k = set.Find(w.c_str());
    ASSERT_GE(k, 0) << w;
    EXPECT_STREQ(set[k], w.c_str());
  }
  EXPECT_EQ(set.Find("word20"), -1);
  EXPECT_EQ(set.Find("a"), -1);
  EXPECT_EQ(set.Find("zzz"), -1);
  EXPECT_EQ(set[20], nullptr);
  EXPECT_EQ(set[-1], nullptr);
  // The set holds pooled strings.
  const char* pooled = strlink("word5");
  EXPECT_EQ(set[set.Find("word5")], pooled);
  strunlink(pooled);
  EXPECT_TRUE(set.Delete("word5"));
  EXPECT_FALSE(set.Delete("word5"));
  EXPECT_FALSE(set.InSet("word5"));
  EXPECT_EQ(set.GetSize(), 19);
  for (int i = 1; i < set.GetSize(); ++i) EXPECT_LT(istrcmp(set[i - 1], set[i]), 0);
}

TEST(PStringSetTest, CopiesAreIndependentAndAddCountsNewOnes) {
  PStringSet a;
  const char* list[] = {"kiwi", "apple", "fig", "apple"};
  EXPECT_EQ(a.Add(list, 4), 3);
  PStringSet b(a);
  b.Insert("pear");
  EXPECT_EQ(a.GetSize(), 3);
  EXPECT_EQ(b.GetSize(), 4);
  a = b;
  PStringSet& same = a;
  a = same;
  EXPECT_EQ(a.GetSize(), 4);
  EXPECT_STREQ(a[0], "apple");
  EXPECT_STREQ(a[3], "pear");
  EXPECT_TRUE(a.Insert("zebra"));  // grows after a copy made to size
  EXPECT_EQ(a.GetSize(), 5);
  a.Clear();
  EXPECT_EQ(a.GetSize(), 0);
  EXPECT_EQ(a.Find("kiwi"), -1);
  EXPECT_EQ(b.Find("kiwi"), 2);
}

}  // namespace
