// Word and number scanning.
#include "picture/words.h"

#include <gtest/gtest.h>

TEST(Words, NumbersAreRecognisedWhole) {
  for (const char* ok : {"5.", ".5", "-1e3", "2.5E+4", "  7", "+0.25e-2"})
    EXPECT_TRUE(isflt(ok)) << ok;
  for (const char* bad : {".", "1e", "", "1.5x", "e5", "+", "1e+", "1 ", "1.2.3"})
    EXPECT_FALSE(isflt(bad)) << bad;
  for (const char* ok : {"12", " -3", "+4"}) EXPECT_TRUE(isint(ok)) << ok;
  for (const char* bad : {"1.0", "", "-", "12 ", "1e3"}) EXPECT_FALSE(isint(bad)) << bad;
  EXPECT_TRUE(isintd("12 x", " "));
  EXPECT_FALSE(isintd("12x", " "));
  EXPECT_TRUE(isfltd("3.5\tnext", " \t"));
  EXPECT_STREQ(fskip("  -1.5e-3rest"), "rest");
  EXPECT_STREQ(iskip("  -1.5e-3rest"), ".5e-3rest");
  EXPECT_EQ(iskip("abc"), nullptr);
  EXPECT_STREQ(sskip("  word  next"), "  next");
  EXPECT_STREQ(sskip2("  a b\tc d", 2), "c d");
}

TEST(Words, NextwordTakesQuotedPhrasesWholeAndBounded) {
  char buf[32];
  const char* text = "\"a b\" c";
  const char* after = nextword(buf, sizeof buf, text);
  EXPECT_STREQ(buf, "a b");
  EXPECT_EQ(after, text + 5);
  after = nextword(buf, sizeof buf, after);
  EXPECT_STREQ(buf, "c");
  EXPECT_EQ(nextword(buf, sizeof buf, after), nullptr);
  EXPECT_EQ(nextword(buf, sizeof buf, static_cast<const char*>(nullptr)), nullptr);
  nextword(buf, sizeof buf, "  'say \"x\"' y");
  EXPECT_STREQ(buf, "say \"x\"");
  // A long word is cut to the buffer but skipped whole.
  char small[4];
  EXPECT_STREQ(nextword(small, sizeof small, "abcdefg hij"), " hij");
  EXPECT_STREQ(small, "abc");
  EXPECT_STREQ(atos(small, sizeof small, "  extraordinary"), "ext");
}

TEST(Words, BadargNamesTheFirstMisfit) {
  const char* good[] = {"12", "3.5"};
  const char* bad[] = {"12x", "3.5"};
  const char* words[] = {"name", " lead"};
  EXPECT_EQ(badarg(2, good, "if"), 0);
  EXPECT_EQ(badarg(2, bad, "if"), 1);
  EXPECT_EQ(badarg(1, good, "if"), -1);
  EXPECT_EQ(badarg(2, good, "iq"), -1);
  EXPECT_EQ(badarg(2, good, nullptr), 0);
  EXPECT_EQ(badarg(2, words, "ss"), 2);
}
