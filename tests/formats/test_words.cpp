// Word and number scanning.
#include "formats/words.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Words, NumbersAreRecognisedWhole) {
  for (const char* ok : {"5.", ".5", "-1e3", "2.5E+4", "  7", "+0.25e-2", "3"})
    EXPECT_EQ(isflt(ok), 1) << ok;
  for (const char* bad : {".", "1e", "", "1.5x", "e5", "+", "1e+", "1 ", "--1", "1.2.3"})
    EXPECT_EQ(isflt(bad), 0) << bad;
  for (const char* ok : {"12", " -3", "+4", "0007"}) EXPECT_EQ(isint(ok), 1) << ok;
  for (const char* bad : {"1.0", "", "-", "12 ", "1e3", "x1"}) EXPECT_EQ(isint(bad), 0) << bad;

  EXPECT_EQ(isintd("12 x", " "), 1);
  EXPECT_EQ(isintd("12", " "), 1);
  EXPECT_EQ(isintd("12x", " "), 0);
  EXPECT_EQ(isintd("12,3", ","), 1);
  EXPECT_EQ(isfltd("3.5\tnext", " \t"), 1);
  EXPECT_EQ(isfltd("3.5;", " \t"), 0);
}

TEST(Words, SkippersStopAfterWhatTheyRead) {
  const char* s = "  -1.5e-3rest";
  EXPECT_STREQ(fskip(s), "rest");
  EXPECT_STREQ(iskip(s), ".5e-3rest");
  EXPECT_EQ(iskip("abc"), nullptr);
  EXPECT_EQ(fskip("-.e1"), nullptr);
  EXPECT_STREQ(fskip("1e5x"), "x");
  EXPECT_EQ(fskip("1ex"), nullptr);
  EXPECT_STREQ(sskip("  word  next"), "  next");
  EXPECT_STREQ(sskip("   "), "");
  EXPECT_STREQ(sskip2("  a b\tc d", 2), "c d");
  EXPECT_STREQ(sskip2("a", 3), "");

  char text[] = " 42 rest";
  char* w = iskip(text);  // writable text gives a writable position
  EXPECT_EQ(w, text + 3);
}

TEST(Words, NextwordTakesQuotedPhrasesWhole) {
  char buf[32];
  const char* text = "\"a b\" c";
  const char* after = nextword(buf, sizeof buf, text);
  EXPECT_STREQ(buf, "a b");
  EXPECT_EQ(after, text + 5);
  after = nextword(buf, sizeof buf, after);
  EXPECT_STREQ(buf, "c");
  EXPECT_EQ(*after, '\0');
  EXPECT_EQ(nextword(buf, sizeof buf, after), nullptr);
  EXPECT_EQ(nextword(buf, sizeof buf, static_cast<const char*>(nullptr)), nullptr);
  EXPECT_EQ(nextword(buf, sizeof buf, " \t\n"), nullptr);

  nextword(buf, sizeof buf, "  'say \"x\"' y");
  EXPECT_STREQ(buf, "say \"x\"");
  after = nextword(buf, sizeof buf, "\"open ended");
  EXPECT_STREQ(buf, "open ended");
  EXPECT_EQ(*after, '\0');

  // A long word is cut to the buffer but skipped whole.
  char small[4];
  after = nextword(small, sizeof small, "abcdefg hij");
  EXPECT_STREQ(small, "abc");
  EXPECT_STREQ(after, " hij");
  char one[1];
  after = nextword(one, sizeof one, "\"quoted words\" z");
  EXPECT_STREQ(one, "");
  EXPECT_STREQ(after, " z");
}

TEST(Words, AtosCopiesTheFirstWordBounded) {
  char buf[6];
  EXPECT_STREQ(atos(buf, sizeof buf, "  hello world"), "hello");
  EXPECT_STREQ(atos(buf, sizeof buf, "extraordinary"), "extra");
  EXPECT_STREQ(atos(buf, sizeof buf, "   "), "");
  buf[0] = 'Q';
  atos(buf, 0, "x");
  EXPECT_EQ(buf[0], 'Q');
}

TEST(Words, BadargNamesTheFirstMisfit) {
  const char* good[] = {"12", "3.5"};
  EXPECT_EQ(badarg(2, good, "if"), 0);
  const char* bad[] = {"12x", "3.5"};
  EXPECT_EQ(badarg(2, bad, "if"), 1);
  const char* second[] = {"12", "x"};
  EXPECT_EQ(badarg(2, second, "if"), 2);
  EXPECT_EQ(badarg(1, good, "if"), -1);
  EXPECT_EQ(badarg(2, good, "iq"), -1);
  EXPECT_EQ(badarg(2, good, ""), 0);
  EXPECT_EQ(badarg(2, good, nullptr), 0);
  EXPECT_EQ(badarg(0, nullptr, "s"), -1);
  const char* words[] = {"name", " lead", ""};
  EXPECT_EQ(badarg(1, words, "s"), 0);
  EXPECT_EQ(badarg(2, words, "ss"), 2);
  EXPECT_EQ(badarg(3, words, "s f"), -1);
  const char* withnull[] = {"1", nullptr};
  EXPECT_EQ(badarg(2, withnull, "ii"), -1);
  // Numbers inside a longer text end at a blank.
  const char* running[] = {"1 2 3", "2 3"};
  EXPECT_EQ(badarg(2, running, "ff"), 0);
}
