#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "db/dbase.h"
#include "test_fieldutil.h"
#include "support/cnumber.h"

namespace {

// Runs a formatter into a buffer of len bytes guarded by canaries; returns the text, or
// "<null>" for a null result.
std::string Fmt(DBFormatFunc fn, const DBField& f, int len) {
  char buf[128];
  std::memset(buf, '#', sizeof(buf));
  char* r = fn(buf + 8, len, f);
  for (int i = 0; i < 8; i++) EXPECT_EQ(buf[i], '#') << "written before the buffer";
  for (int i = 8 + len; i < 128; i++) EXPECT_EQ(buf[i], '#') << "written past the buffer";
  if (r == nullptr) return "<null>";
  EXPECT_EQ(r, buf + 8);
  EXPECT_LT(std::strlen(r), static_cast<size_t>(len));
  return r;
}

TEST(SchemaFormat, IntegerFallsBackToASignWhenTooLong) {
  EXPECT_EQ(Fmt(DBformatInteger, DBField(7L), 2), "7");
  EXPECT_EQ(Fmt(DBformatInteger, DBField(42L), 2), "+");
  EXPECT_EQ(Fmt(DBformatInteger, DBField(-7L), 2), "-");
  EXPECT_EQ(Fmt(DBformatInteger, DBField(-2147483647L - 1), 12), "-2147483648");
  EXPECT_EQ(Fmt(DBformatInteger, DBField(-2147483647L - 1), 11), "-");
  EXPECT_EQ(Fmt(DBformatInteger, DBField(1.0f), 10), "<null>");
  EXPECT_EQ(DBformatInteger(nullptr, 10, DBField(1L)), nullptr);
}

TEST(SchemaFormat, FloatDropsPrecisionToFit) {
  const DBField f(123456.789f);
  EXPECT_EQ(Fmt(DBformatFloat, f, 10), "123456.79");
  EXPECT_EQ(Fmt(DBformatFloat, f, 9), "123456.8");
  EXPECT_EQ(Fmt(DBformatFloat, f, 6), "1e+05");
  EXPECT_EQ(Fmt(DBformatFloat, f, 5), "+");
  EXPECT_EQ(Fmt(DBformatFloat, DBField(-123456.789f), 5), "-");
  float nan = NAN;
  DBField n;
  n.SetView(DBDTfloat, 1, &nan, false);
  char platform[16];
  Csnprintf(platform, sizeof(platform), "%.8g", static_cast<double>(nan));
  EXPECT_EQ(Fmt(DBformatFloat, n, 10), platform);
}

TEST(SchemaFormat, StringAndUnknown) {
  DBField s;
  s.Set("abcdef");
  EXPECT_EQ(Fmt(DBformatString, s, 4), "abc");
  EXPECT_EQ(Fmt(DBformatString, DBField(3L), 4), "<null>");
  EXPECT_EQ(Fmt(DBformatUnknown, s, 10), "abcdef");
  EXPECT_EQ(Fmt(DBformatUnknown, DBField(3L), 10), "3");

  char buf[8] = "keep";
  DBField unset;
  EXPECT_EQ(DBformatUnknown(buf, 8, unset), nullptr);
  EXPECT_STREQ(buf, "keep");
  DBField odd(5L);
  odd.dt = 7;
  EXPECT_EQ(DBformatUnknown(buf, 4, odd), nullptr);
  EXPECT_STREQ(buf, "BAD");
}

TEST(SchemaFormat, ArrayListsValuesAndCutsAtValueBoundaries) {
  const long iv[] = {1, 2, 3};
  DBField ints;
  ints.Set(iv, 3);
  EXPECT_EQ(Fmt(DBformatArray, ints, 8), "1, 2, 3");
  EXPECT_EQ(Fmt(DBformatArray, ints, 7), "1, 2");

  const char* sv[] = {"ab", "cd"};
  DBField strs;
  strs.Set(sv, 2);
  EXPECT_EQ(Fmt(DBformatArray, strs, 11), "\"ab\", \"cd\"");
  EXPECT_EQ(Fmt(DBformatArray, strs, 10), "\"ab\", \"cd");

  const char* quoted[] = {"say \"hi\"", "it's"};
  strs.Set(quoted, 2);
  EXPECT_EQ(Fmt(DBformatArray, strs, 40), "'say \"hi\"', \"it's\"");

  DBField one;
  one.Set("solo");
  EXPECT_EQ(Fmt(DBformatArray, one, 10), "\"solo\"");
  EXPECT_EQ(Fmt(DBformatUnknown, one, 10), "solo");
  EXPECT_EQ(Fmt(DBformatArray, one, 2), "<null>");
  EXPECT_EQ(Fmt(DBformatArray, DBField(4L), 10), "4");

  MessageLog log;
  float fv[] = {1.5f, NAN};
  DBField floats;
  floats.SetView(DBDTfloat, 2, fv, false);
  EXPECT_EQ(Fmt(DBformatArray, floats, 20), "1.5, 0");
  EXPECT_TRUE(log.Has(DMCwarning, "Bad float zeroed in DBField::Set()"));

  // Every length from the smallest up cuts cleanly inside the buffer.
  const char* many[] = {"alpha", "beta", "gamma", "de\"lta"};
  strs.Set(many, 4);
  for (int len = 1; len < 40; len++) Fmt(DBformatArray, strs, len);
  const long big[] = {123456, -7, 99999999};
  ints.Set(big, 3);
  for (int len = 1; len < 30; len++) Fmt(DBformatArray, ints, len);
}

}  // namespace
