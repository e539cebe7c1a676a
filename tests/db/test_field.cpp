#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "db/dbase.h"
#include "support/abitmap.h"
#include "support/pstrings.h"
#include "test_fieldutil.h"

namespace {

std::vector<long> Ints(const DBField& f) {
  std::vector<long> v(f.GetNV());
  v.resize(f.Get(v.data(), static_cast<int>(v.size())));
  return v;
}

std::vector<float> Floats(const DBField& f) {
  std::vector<float> v(f.GetNV());
  v.resize(f.Get(v.data(), static_cast<int>(v.size())));
  return v;
}

std::vector<std::string> Strings(const DBField& f) {
  std::vector<const char*> p(f.GetNV());
  p.resize(f.Get(p.data(), static_cast<int>(p.size())));
  return std::vector<std::string>(p.begin(), p.end());
}

DBField IntList(std::vector<long> v) {
  DBField f;
  f.Set(v.data(), static_cast<int>(v.size()));
  return f;
}

DBField StrList(std::vector<const char*> v) {
  DBField f;
  f.Set(v.data(), static_cast<int>(v.size()));
  return f;
}

TEST(FieldStorage, SingleValuesAreInlineOrPooledAndConvert) {
  DBField i(42L);
  EXPECT_EQ(i.GetDT(), DBDTint);
  EXPECT_EQ(i.GetNV(), 1);
  EXPECT_EQ(i.GetFlags(), 0);
  EXPECT_FALSE(i.HasPointer());
  EXPECT_EQ(i.GetPointer(0), static_cast<const void*>(&i.v.mint));
  EXPECT_FLOAT_EQ(i.GetFloat(), 42.0f);
  EXPECT_STREQ(i.GetString(), "42");

  DBField f(-2.75f);
  EXPECT_EQ(f.GetDT(), DBDTfloat);
  EXPECT_EQ(f.GetFlags(), 0);
  EXPECT_EQ(f.GetInt(), -2);  // truncated toward zero
  EXPECT_STREQ(f.GetString(), "-2.7500000e+00");

  DBField s;
  s.Set("123abc");
  EXPECT_EQ(s.GetFlags(), DBFLowns);
  const char* pooled = strlink("123abc");
  EXPECT_EQ(s.GetPointer(0), static_cast<const void*>(pooled));  // the pool's one copy
  strunlink(pooled);
  EXPECT_EQ(s.GetInt(), 123);
  EXPECT_FLOAT_EQ(s.GetFloat(), 123.0f);

  char text[] = "borrowed";
  DBField b;
  b = static_cast<const char*>(text);
  EXPECT_EQ(b.GetFlags(), 0);
  EXPECT_EQ(b.GetPointer(0), static_cast<const void*>(text));

  // Missing values read as zero or empty; a huge float saturates; an unset field is all zero.
  EXPECT_EQ(i.GetInt(1), 0);
  EXPECT_STREQ(i.GetString(-1), "");
  DBField big(2.5e9f);
  EXPECT_EQ(big.GetInt(), 2147483647);
  DBField unset;
  unsigned char zero[16] = {};
  EXPECT_EQ(std::memcmp(&unset, zero, 16), 0);
  i.Clear();
  EXPECT_EQ(std::memcmp(&i, zero, 16), 0);
}

TEST(FieldStorage, ArraysOwnedSharedAndPacked) {
  const long iv[] = {5, -1, 7};
  DBField ints;
  ints.Set(iv, 3);
  EXPECT_EQ(ints.GetFlags(), DBFLarray | DBFLowns);
  EXPECT_EQ(Ints(ints), (std::vector<long>{5, -1, 7}));
  EXPECT_STREQ(ints.GetString(2), "7");

  const float fv[] = {0.5f, 2.0f};
  DBField floats;
  floats.Set(fv, 2);
  EXPECT_EQ(Floats(floats), (std::vector<float>{0.5f, 2.0f}));
  EXPECT_EQ(floats.GetInt(1), 2);

  DBField strs = StrList({"x", "y", "z"});
  EXPECT_EQ(strs.GetFlags(), DBFLarray | DBFLowns);
  EXPECT_EQ(Strings(strs), (std::vector<std::string>{"x", "y", "z"}));
  char buf[4];
  EXPECT_EQ(strs.Get(buf, 4, 1), 1);
  EXPECT_STREQ(buf, "y");
  EXPECT_EQ(strs.Get(buf, 1, 1), 0);
  EXPECT_EQ(ints.Get(buf, 4, 0), 0);  // not a string field

  // A packed block viewed in place, then copied: the copy owns linked strings.
  static const char block[] = "one\0two\0three";
  DBField packed;
  packed.SetView(DBDTstring, 3, block, true);
  EXPECT_EQ(packed.GetFlags(), DBFLarray | DBFLpacked);
  EXPECT_STREQ(static_cast<const char*>(packed.GetPointer(2)), "three");
  DBField copy(packed);
  EXPECT_EQ(copy.GetFlags(), DBFLarray | DBFLowns);
  EXPECT_EQ(Strings(copy), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_TRUE(copy == packed);

  // A shallow view owns nothing and sees the source's values at the source's address.
  DBField view;
  view = &ints;
  EXPECT_EQ(view.GetFlags(), DBFLarray);
  EXPECT_EQ(view.GetPointer(), ints.GetPointer());
  view.Clear();
  EXPECT_EQ(Ints(ints), (std::vector<long>{5, -1, 7}));  // the source is untouched

  // A deep copy is independent of its source.
  DBField deep(ints);
  EXPECT_NE(deep.GetPointer(), ints.GetPointer());
  ints.Clear();
  EXPECT_EQ(Ints(deep), (std::vector<long>{5, -1, 7}));

  // Converting one value out of an array.
  DBField one;
  EXPECT_EQ(strs.Get(&one, 2), 1);
  EXPECT_EQ(one.GetFlags(), DBFLowns);
  EXPECT_STREQ(one.GetString(), "z");
  EXPECT_EQ(strs.Get(&one, 3), 0);
  EXPECT_EQ(strs.Get(&strs, 0), 1);  // into itself
  EXPECT_STREQ(strs.GetString(), "x");
}

TEST(FieldStorage, ArraySettersFollowTheirCountRules) {
  DBField f(9L);
  const long one[] = {4};
  f.Set(one, 1);
  EXPECT_EQ(f.GetFlags(), 0);
  EXPECT_EQ(f.GetInt(), 4);
  f.Set(static_cast<const long*>(nullptr), 3);  // a null pointer changes nothing
  EXPECT_EQ(f.GetInt(), 4);
  f.Set(one, 0);
  EXPECT_EQ(f.GetNV(), 0);

  const char* none[] = {nullptr};
  f.Set(none, 1);
  EXPECT_EQ(f.GetNV(), 0);

  // Out-of-range integers are clamped, not wrapped.
  const long wide[] = {5000000000L, -5000000000L};
  f.Set(wide, 2);
  EXPECT_EQ(Ints(f), (std::vector<long>{2147483647L, -2147483648L}));
}

TEST(FieldStorage, CountAboveSixteenBitsIsRefused) {
  MessageLog log;
  std::vector<long> many(70000, 1);
  DBField f(3L);
  f.Set(many.data(), 70000);
  EXPECT_EQ(f.GetNV(), 0);
  EXPECT_TRUE(log.Has(DMCparameter, "Too many values (70000) in DBField::Set()"));
  f.Set(many.data(), 65535);
  EXPECT_EQ(f.GetNV(), 65535);
  std::vector<const char*> strs(65536, "s");
  f.Set(strs.data(), 65536);
  EXPECT_EQ(f.GetNV(), 0);
}

TEST(FieldStorage, BadFloatsAreZeroedAndReported) {
  MessageLog log;
  DBField f(std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(f.GetFloat(), 0.0f);
  EXPECT_TRUE(log.Has(DMCwarning, "Bad float zeroed in DBField::Set()"));
  DBField d(1e300);  // beyond the float range
  EXPECT_EQ(d.GetFloat(), 0.0f);
  const float fv[] = {1.0f, std::numeric_limits<float>::infinity(), NAN, 2.0f};
  f.Set(fv, 4);
  EXPECT_EQ(Floats(f), (std::vector<float>{1.0f, 0.0f, 0.0f, 2.0f}));
  EXPECT_TRUE(log.Has(DMCwarning, "2 bad float(s) zeroed in DBField::Set()"));
}

TEST(FieldStorage, SetTextSplitsAtEverySeparator) {
  DBField f;
  EXPECT_EQ(f.SetText("a,,b", ','), 3);
  EXPECT_EQ(Strings(f), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(f.SetText(",a", ','), 2);
  EXPECT_EQ(Strings(f), (std::vector<std::string>{"", "a"}));
  EXPECT_EQ(f.SetText("a,", ','), 1);
  EXPECT_EQ(Strings(f), (std::vector<std::string>{"a"}));
  EXPECT_EQ(f.SetText("", ','), 0);
  EXPECT_EQ(f.GetNV(), 0);

  std::string text;
  for (int i = 0; i < 600; i++) text += std::to_string(i) + ";";
  EXPECT_EQ(f.SetText(text.c_str(), ';'), 512);
  EXPECT_STREQ(f.GetString(510), "510");
  // The 512th piece keeps the rest of the text, separators included.
  EXPECT_EQ(std::string(f.GetString(511)).substr(0, 12), "511;512;513;");
}

TEST(FieldOrder, CompareFollowsCountsTypesAndNaturalOrder) {
  DBField a = IntList({1, 2, 3}), b = IntList({1, 2}), c = IntList({1, 3}), unset, unset2;
  EXPECT_GT(a.Compare(b), 0);
  EXPECT_LT(b.Compare(a), 0);
  EXPECT_LT(b.Compare(c), 0);
  EXPECT_LT(unset.Compare(b), 0);
  EXPECT_GT(b.Compare(unset), 0);
  EXPECT_EQ(unset.Compare(unset2), 0);
  EXPECT_LT(DBField(5L).Compare(DBField(1.0f)), 0);  // int before float by type code

  DBField s1, s2;
  s1.Set("img9");
  s2.Set("IMG10");
  EXPECT_LT(s1.Compare(s2), 0);
  s2.Set("IMG9");
  EXPECT_EQ(s1.Compare(s2), 0);  // case ignored when ordering...
  EXPECT_FALSE(s1 == s2);        // ...but not for equality
}

TEST(FieldOrder, FloatEqualityHasToleranceFromTheLeft) {
  EXPECT_TRUE(DBField(1.0f) == DBField(1.0000005f));
  EXPECT_TRUE(DBField(1e-7f) == DBField(0.0f));
  EXPECT_FALSE(DBField(0.0f) == DBField(1e-7f));
  EXPECT_FALSE(DBField(1.0f) == DBField(1.00001f));
  const float x[] = {1.0f, 2.0f}, y[] = {1.0000005f, 2.0000008f};
  DBField fx, fy;
  fx.Set(x, 2);
  fy.Set(y, 2);
  EXPECT_TRUE(fx == fy);
  EXPECT_FALSE(fx == DBField(1.0f));  // counts differ
}

// Sorting needs a strict weak order: irreflexive, antisymmetric and transitive, also for
// values inside the equality tolerance and for NaN (which only a view can hold).
TEST(FieldOrder, CompareIsAStrictWeakOrderForFloats) {
  std::mt19937 rng(7);
  std::vector<float> vals = {std::numeric_limits<float>::quiet_NaN(),
                             1.0f,
                             1.0000005f,
                             1.000001f,
                             0.0f,
                             -0.0f,
                             1e-7f,
                             -1e-7f};
  std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
  for (int i = 0; i < 24; i++) vals.push_back(dist(rng));
  std::vector<DBField> fields(vals.size());
  for (size_t i = 0; i < vals.size(); i++) fields[i].SetView(DBDTfloat, 1, &vals[i], false);
  auto sgn = [](int r) { return (r > 0) - (r < 0); };
  for (size_t i = 0; i < fields.size(); i++) {
    EXPECT_EQ(fields[i].Compare(fields[i]), 0);
    for (size_t j = 0; j < fields.size(); j++) {
      const int ij = sgn(fields[i].Compare(fields[j]));
      EXPECT_EQ(ij, -sgn(fields[j].Compare(fields[i])));
      for (size_t k = 0; k < fields.size(); k++) {
        const int jk = sgn(fields[j].Compare(fields[k]));
        if (ij <= 0 && jk <= 0) {
          EXPECT_EQ(sgn(fields[i].Compare(fields[k])), (ij < 0 || jk < 0) ? -1 : 0);
        }
      }
    }
  }
  float v3[] = {2.0f, NAN, -1.0f};
  EXPECT_LT(cmp_float(&v3[1], &v3[2]), 0);
  EXPECT_GT(cmp_float(&v3[2], &v3[1]), 0);
  EXPECT_EQ(cmp_float(&v3[1], &v3[1]), 0);
  DBField arr;
  arr.SetView(DBDTfloat, 3, v3, false);
  EXPECT_EQ(arr.SortArray(), 1);
  EXPECT_TRUE(std::isnan(arr.GetFloat(0)));
  EXPECT_EQ(arr.GetFloat(1), -1.0f);
  EXPECT_EQ(v3[0], 2.0f);  // the view was turned into an owned copy before sorting
}

TEST(FieldOrder, SortArrayOrdersEveryType) {
  DBField ints = IntList({3, -1, 2});
  EXPECT_EQ(ints.SortArray(), 1);
  EXPECT_EQ(Ints(ints), (std::vector<long>{-1, 2, 3}));
  DBField strs = StrList({"b", "B", "a"});
  strs.SortArray();
  EXPECT_EQ(Strings(strs), (std::vector<std::string>{"B", "a", "b"}));  // byte order
  DBField unset;
  EXPECT_EQ(unset.SortArray(), 0);
  EXPECT_EQ(DBField(1L).SortArray(), 1);
}

TEST(FieldMatch, RangesOfEveryType) {
  DBField f(2.0f), lo(2.0f), hi(2.0f);
  EXPECT_TRUE(f.MatchRange(lo, hi));  // equal bounds are widened
  EXPECT_FALSE(DBField(2.1f).MatchRange(lo, hi));
  EXPECT_TRUE(DBField(0.0f).MatchRange(0.0f, 0.0f));

  DBField ints = IntList({1, 10, 20});
  EXPECT_TRUE(ints.MatchRange(5L, 10L));
  EXPECT_FALSE(ints.MatchRange(11L, 19L));
  EXPECT_FALSE(ints.MatchRange(1.0f, 30.0f));  // another type never matches

  DBField kw = StrList({"Alps", "snow", "img10"});
  EXPECT_TRUE(kw.Match("SNOW"));
  EXPECT_TRUE(kw.MatchRange("img9", "img11"));  // natural order
  EXPECT_FALSE(kw.MatchRange("b", "c"));
  EXPECT_FALSE(kw.MatchRange(nullptr, "z"));

  // A multi-valued bound needs every one of its values in the field.
  DBField both = StrList({"alps", "snow"}), oneMissing = StrList({"alps", "sea"});
  EXPECT_TRUE(kw.MatchRange(both, both));
  EXPECT_FALSE(kw.MatchRange(oneMissing, oneMissing));
  EXPECT_FALSE(kw.MatchRange(both, DBField("alps")));  // counts of the bounds differ
  DBField unset;
  EXPECT_FALSE(unset.MatchRange(both, both));
}

TEST(FieldSets, UnionIntersectionDifferenceAndConcatenation) {
  DBField a = IntList({1, 2, 2, 3});
  a |= IntList({3, 4, 4});
  EXPECT_EQ(Ints(a), (std::vector<long>{1, 2, 2, 3, 4, 4}));

  DBField b = IntList({1, 2, 3});
  b &= DBField(5L);
  EXPECT_EQ(b.GetNV(), 0);
  DBField c = IntList({1, 2, 3, 2});
  c &= IntList({2, 9});
  EXPECT_EQ(Ints(c), (std::vector<long>{2, 2}));
  DBField d = IntList({1, 2});
  d -= DBField(7L);
  EXPECT_EQ(Ints(d), (std::vector<long>{1, 2}));
  d -= IntList({2, 1});
  EXPECT_EQ(d.GetNV(), 0);

  DBField e = StrList({"a", "b"});
  e += e;  // with itself
  EXPECT_EQ(Strings(e), (std::vector<std::string>{"a", "b", "a", "b"}));
  e |= StrList({"c", "a"});
  EXPECT_EQ(Strings(e), (std::vector<std::string>{"a", "b", "a", "b", "c"}));
  e &= StrList({"b", "c"});
  EXPECT_EQ(Strings(e), (std::vector<std::string>{"b", "b", "c"}));

  DBField unset, f = IntList({1});
  f &= unset;
  EXPECT_EQ(f.GetNV(), 0);
  unset |= IntList({4, 5});
  EXPECT_EQ(Ints(unset), (std::vector<long>{4, 5}));

  MessageLog log;
  DBField g(1L);
  g |= DBField("x");
  EXPECT_EQ(g.GetInt(), 1);
  EXPECT_TRUE(log.Has(DMCparameter, "Mismatched types in DBField::operator|=()"));

  std::vector<long> big(400, 1);
  DBField h = IntList(big);
  h += IntList(big);
  EXPECT_EQ(h.GetNV(), 512);  // cut at 512 values
}

TEST(FieldSets, ArrayMatchesMarksTheLeftValuesFoundOnTheRight) {
  const float a[] = {1.0f, 2.0f, 3.0f}, b[] = {3.0000001f, 1.0f};
  ABitMap map(5, true);
  EXPECT_EQ(arrayMatches(a, 3, map, b, 2), 2);
  EXPECT_EQ(map.Length(), 3u);
  EXPECT_TRUE(map.Check(0));
  EXPECT_FALSE(map.Check(1));
  EXPECT_TRUE(map.Check(2));
  EXPECT_EQ(arrayMatches(a, 0, map, b, 2), 0);
  EXPECT_EQ(map.Length(), 3u);  // untouched
  const char* sa[] = {"x", nullptr};
  const char* sb[] = {nullptr, "x"};
  EXPECT_EQ(arrayMatches(sa, 2, map, sb, 2), 2);  // a null matches the same (null) pointer
}

TEST(FieldHash, ValuesHashAsMemoryAndStringsCombineByXor) {
  DBField i(7L);
  const int32_t seven = 7;
  EXPECT_EQ(i.Hash(31), memhash(&seven, 4, 31));
  DBField s;
  s.Set("abc");
  EXPECT_EQ(s.Hash(31), 767611005u);
  EXPECT_EQ(StrList({"same", "same"}).Hash(31), 0u);
  EXPECT_EQ(StrList({"a", "b"}).Hash(20), StrList({"b", "a"}).Hash(20));
  DBField unset;
  EXPECT_EQ(unset.Hash(31), 0u);
}

TEST(FieldStorage, MovesAndSelfAssignmentKeepValues) {
  DBField a = StrList({"p", "q"});
  DBField& same = a;
  a = same;
  EXPECT_EQ(Strings(a), (std::vector<std::string>{"p", "q"}));
  DBField view;
  view = &a;
  a = view;  // a deep copy from a view of the field itself
  EXPECT_EQ(Strings(a), (std::vector<std::string>{"p", "q"}));
  DBField moved(std::move(a));
  EXPECT_EQ(a.GetNV(), 0);
  EXPECT_EQ(Strings(moved), (std::vector<std::string>{"p", "q"}));
}

}  // namespace
