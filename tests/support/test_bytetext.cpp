// Names of any bytes as shown text, file URIs and plain-text lines (fuzz_bytetext checks that
// every path comes back from its URI and its line).
#include <gtest/gtest.h>

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

}  // namespace
