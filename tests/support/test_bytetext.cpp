// Names of any bytes as shown text, file URIs and plain-text lines (fuzz_bytetext checks that
// every path comes back from its URI and its line).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/bytetext.h"

namespace {

TEST(ByteText, LinesAndUrisNameTheFileShownTextIsReadable) {
  EXPECT_EQ(PathText("/p/café 1.jpg"), "/p/café 1.jpg");
  EXPECT_EQ(PathText("/p/caf\xE9 1.jpg"), "file:///p/caf%E9%201.jpg");
  EXPECT_EQ(PathText("/p/two\nlines"), "file:///p/two%0Alines");
  EXPECT_EQ(ShownText("caf\xE9 \xFF\xC0\xAF\x01.jpg"), "caf\\xE9 \\xFF\\xC0\\xAF\\x01.jpg");
  EXPECT_EQ(ShownLine("a\tb\ncaf\xE9"), "a\\x09b\\x0Acaf\\xE9");
  std::string path;
  EXPECT_TRUE(FileUriPath("file://localhost/a%20b%E9#x", &path));
  EXPECT_EQ(path, "/a b\xE9");
  for (const char* other : {"http://host/x", "file://other/x", "file:///a%2", "file:///a%00b"})
    EXPECT_FALSE(FileUriPath(other, &path)) << other;
}

// Shown names are a model of their bytes: any bytes come back whole from each form, so two
// names never show alike; what a person types reads as the same form; an edit of the shown
// text keeps the bytes it did not touch.
TEST(ByteText, ShownNamesComeBackAsTheirBytes) {
  EXPECT_EQ(ShownName("caf\xE9.jpg"), "caf\\xE9.jpg");
  EXPECT_EQ(ShownName("caf\\xE9.jpg"), "caf\\\\xE9.jpg");              // the four characters \xE9
  EXPECT_EQ(ShownName("caf\xEF\xBF\xBD.jpg"), "caf\xEF\xBF\xBD.jpg");  // U+FFFD is text
  EXPECT_EQ(ShownName("C:\\temp\\a\\"), "C:\\temp\\a\\");              // no escape follows
  EXPECT_EQ(ShownName(" a\u202Eb\xC2\x85 "), "\\x20a\\xE2\\x80\\xAEb\\xC2\\x85\\x20");
  EXPECT_EQ(ShownText(" a\tb\n "), " a\tb\n ");
  EXPECT_EQ(ShownLine(" a\tb "), " a\\x09b ");
  EXPECT_TRUE(ShownAsIs("Zürich – 東京.jpg", kShownName));
  EXPECT_FALSE(ShownAsIs("a\\x", kShownText));
  EXPECT_EQ(ShownBytes("C:\\temp\\x\\xZZ\\x00\\xe9"), "C:\\temp\\x\\xZZ\\x00\xE9");
  // The suffix edited, the stem's byte stays.
  std::string shown = ShownName("caf\xE9.jpg");
  shown.replace(shown.rfind(".jpg"), 4, ".jpeg");
  EXPECT_EQ(ShownBytes(shown), "caf\xE9.jpeg");

  uint32_t seed = 12345;
  auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
  const char pieces[] = {'\\',   'x',    'E',    '9',    ' ',    '\n',   '\t',
                         '\xE9', '\xC3', '\xA9', '\xE2', '\x80', '\xAE', '\xFF',
                         '\x01', 'a',    '\xC2', '\x85', '\xEF'};
  for (int round = 0; round < 20000; ++round) {
    std::string bytes;
    for (unsigned n = next() % 12; n > 0; --n) bytes += pieces[next() % sizeof pieces];
    for (ShownForm form : {kShownText, kShownLine, kShownName}) {
      const std::string s = Shown(bytes, form);
      ASSERT_TRUE(ValidUtf8(s)) << bytes;
      ASSERT_EQ(ShownBytes(s), bytes) << s;
      ASSERT_EQ(ShownAsIs(bytes, form), s == bytes) << s;
      if (form != kShownText) {
        ASSERT_TRUE(PlainLine(s)) << s;
      }
    }
  }
}

}  // namespace
