// Names of any bytes as shown text, file URIs and plain-text lines.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/bytetext.h"

namespace {

// Random paths of bytes that paths hold: ASCII, UTF-8, Latin-1 bytes, lone continuation and
// lead bytes, overlong forms, controls, '%' and URI delimiters.
std::string RandomPath(std::mt19937& rng) {
  static const char* const bits[] = {"a",
                                     "Z",
                                     "/",
                                     " ",
                                     "%",
                                     "%41",
                                     "#",
                                     "?",
                                     "+",
                                     ":",
                                     "é",
                                     "日本",
                                     "😀",
                                     "\xE9",
                                     "\xFF",
                                     "\x80",
                                     "\xC3",
                                     "\xC0\xAF",
                                     "\xED\xA0\x80",
                                     "\n",
                                     "\r",
                                     "\t",
                                     "\x01",
                                     "\x7F",
                                     "~",
                                     "."};
  std::string s = "/";
  for (int n = static_cast<int>(rng() % 10); n > 0; --n) s += bits[rng() % std::size(bits)];
  return s;
}

TEST(ByteText, EveryPathComesBackFromItsUriAndItsLine) {
  std::mt19937 rng(78);
  for (int round = 0; round < 3000; ++round) {
    const std::string path = RandomPath(rng);
    const std::string uri = FileUri(path), line = PathText(path), shown = ShownText(path);
    std::string back;
    ASSERT_TRUE(FileUriPath(uri, &back)) << uri;
    EXPECT_EQ(back, path);
    // A URI is ASCII with no blank or delimiter left bare.
    for (char c : uri.substr(7))
      EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) ||
                  std::string("/%-._~").find(c) != std::string::npos)
          << uri;
    // The line: one line of UTF-8, the path itself when it is clean, else its URI.
    EXPECT_TRUE(ValidUtf8(line));
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    if (line[0] == '/') {
      EXPECT_EQ(line, path);
    } else {
      ASSERT_TRUE(FileUriPath(line, &back));
      EXPECT_EQ(back, path);
    }
    // Shown text: always UTF-8; a clean path unchanged; stray bytes visible.
    EXPECT_TRUE(ValidUtf8(shown));
    if (line == path) {
      EXPECT_EQ(shown, path);
    }
  }
  EXPECT_EQ(PathText("/p/caf\xE9.jpg"), "file:///p/caf%E9.jpg");
  EXPECT_EQ(PathText("/p/two\nlines.jpg"), "file:///p/two%0Alines.jpg");
  EXPECT_EQ(PathText("/p/café 1.jpg"), "/p/café 1.jpg");
  EXPECT_EQ(ShownText("caf\xE9 \xFF\x01.jpg"), "caf\\xE9 \\xFF\\x01.jpg");
}

TEST(ByteText, OnlyLocalFileUrisNamePaths) {
  std::string p;
  EXPECT_TRUE(FileUriPath("file:///a%20b", &p));
  EXPECT_EQ(p, "/a b");
  EXPECT_TRUE(FileUriPath("file://localhost/x", &p));
  EXPECT_EQ(p, "/x");
  EXPECT_TRUE(FileUriPath("file:/y#frag", &p));
  EXPECT_EQ(p, "/y");
  for (const char* bad : {"http://host/x", "file://other/x", "file:x", "file:///a%2",
                          "file:///a%zz", "file:///a%00b", "/plain/path", "", "file://"})
    EXPECT_FALSE(FileUriPath(bad, &p)) << bad;
}

}  // namespace
