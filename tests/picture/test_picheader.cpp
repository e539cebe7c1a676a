// Picture header lines and resolution strings.
#include "picture/picheader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "picture/words.h"
#include "testutil/time_zone.h"
#include "testutil/written.h"

namespace {

// A stream over a copy of text (never empty).
struct TextIn {
  explicit TextIn(std::string s) : text(std::move(s)) { fp = fmemopen(&text[0], text.size(), "r"); }
  ~TextIn() { std::fclose(fp); }
  std::string rest() {
    std::string r;
    for (int c; (c = std::fgetc(fp)) != EOF;) r.push_back(static_cast<char>(c));
    return r;
  }
  std::string text;
  FILE* fp;
};

int collect(const char* line, void* data) {
  static_cast<std::vector<std::string>*>(data)->push_back(line);
  return 0;
}

}  // namespace

TEST(PicResolution, AllEightOrdersRoundTrip) {
  const char* lines[8] = {"+X 640 +Y 480\n", "-X 640 +Y 480\n", "+X 640 -Y 480\n",
                          "-X 640 -Y 480\n", "+Y 480 +X 640\n", "+Y 480 -X 640\n",
                          "-Y 480 +X 640\n", "-Y 480 -X 640\n"};
  for (int order = 0; order < 8; order++) {
    const PICRES want = {order, 640, 480};
    const int scanlen = picresScanlen(want), count = picresNumScans(want);
    EXPECT_EQ(scanlen, order & RES_YMAJ ? 640 : 480);
    const std::string line = WrittenBy([&](FILE* fp) { fputresolu(order, scanlen, count, fp); });
    EXPECT_EQ(line, lines[order]);
    PICRES r;
    ASSERT_EQ(str2resolu(&r, line.c_str()), 1);
    EXPECT_EQ(r.order, order);
    EXPECT_EQ(picresScanlen(r), scanlen);
    EXPECT_EQ(picresNumScans(r), count);
    TextIn in(line + "XYZ");
    int sl = 0, n = 0;
    EXPECT_EQ(fgetresolu(&sl, &n, in.fp), order);
    EXPECT_EQ(sl, scanlen);
    EXPECT_EQ(n, count);
    EXPECT_EQ(in.rest(), "XYZ") << "the resolution line reads no further than its newline";
  }
}

TEST(PicResolution, MalformedLinesAreRefused) {
  PICRES r;
  for (const char* bad : {"", "-Y 0 +X 640\n", "-Y 480 +Z 640\n", "-Y 480 +X -5\n",
                          "-Y 99999999999 +X 640\n", "-Y 4 +X 2147483648\n"})
    EXPECT_EQ(str2resolu(&r, bad), 0) << bad;
  EXPECT_EQ(str2resolu(&r, nullptr), 0);
  int sl, n;
  TextIn longline(std::string(40, ' ') + "-Y 4 +X 4\n");
  EXPECT_EQ(fgetresolu(&sl, &n, longline.fp), -1) << "only 31 characters are taken";
}

TEST(PicHeader, LinesArriveWholeOrInPiecesUntilTheEmptyLine) {
  TextIn in("#?P\n" + std::string(5000, 'a') + "\nLAST=1\n\nafter");
  std::vector<std::string> lines;
  ASSERT_EQ(getheader(in.fp, collect, &lines), 0);
  EXPECT_EQ(lines,
            (std::vector<std::string>{"#?P\n", std::string(2046, 'a'), std::string(2046, 'a'),
                                      std::string(908, 'a') + "\n", "LAST=1\n"}));
  EXPECT_EQ(in.rest(), "after");

  // At the buffer's limit: up to 2046 characters and the newline arrive whole.
  for (size_t len : {2045u, 2046u, 2047u}) {
    TextIn edge(std::string(len, 'b') + "\n\n");
    std::vector<std::string> got;
    ASSERT_EQ(getheader(edge.fp, collect, &got), 0) << len;
    EXPECT_EQ(got.size(), len <= 2046 ? 1u : 2u) << len;
    EXPECT_EQ(got.back().back(), '\n') << len;
  }

  TextIn unended("#?P\nFORMAT=x\n");
  EXPECT_EQ(getheader(unended.fp, nullptr, nullptr), -1);
  TextIn stop("ONE\nTWO\n\n");
  EXPECT_EQ(getheader(
                stop.fp, [](const char*, void*) { return -1; }, nullptr),
            -1);
  EXPECT_EQ(stop.rest(), "TWO\n\n");
}

TEST(PicHeader, CheckheaderMatchesAndCopiesBounded) {
  // Runs checkheader over text with the format pattern fmt; returns the lines passed on.
  auto check = [](const std::string& text, char* fmt, int want) {
    TextIn in(text);
    return WrittenBy([&](FILE* fp) { EXPECT_EQ(checkheader(in.fp, fmt, fp), want) << text; });
  };
  const std::string head = "#?P\nEXPOSURE=1\nFORMAT=32-bit_rle_rgbe\n\n";
  char fmt[MAXFMTLEN] = "32-bit_rle_*";
  EXPECT_EQ(check(head, fmt, 1), "#?P\nEXPOSURE=1\n");
  EXPECT_STREQ(fmt, "32-bit_rle_rgbe");
  std::strcpy(fmt, "32-bit_rle_xyze");
  check(head, fmt, -1);
  // A FORMAT line with only blanks is ordinary text.
  std::strcpy(fmt, "*");
  EXPECT_EQ(check("#?P\nFORMAT=  \n\n", fmt, 0), "#?P\nFORMAT=  \n");
  // Overlong values are cut to their buffers.
  std::strcpy(fmt, "z*");
  check("FORMAT=" + std::string(300, 'z') + "\n\n", fmt, 1);
  EXPECT_EQ(std::string(fmt), std::string(MAXFMTLEN - 1, 'z'));
  char name[8];
  EXPECT_EQ(headidval(name, "#?VORTELUX\n", sizeof name), 1);
  EXPECT_STREQ(name, "VORTELU");
}

TEST(PicHeader, GlobmatchFollowsItsWildcards) {
  const struct {
    const char* pattern;
    const char* string;
    int want;
  } cases[] = {
      {"a[b-d]?", "acx", 1},  {"a[b-d]?", "aex", 0}, {"*.hdr", "picture.hdr", 1},
      {"*.hdr", "x.hdr2", 0}, {"a\\*", "a*", 1},     {"a\\*", "ab", 0},
      {"**x", "abx", 1},      {"*?", "", 0},         {"[]x]", "]", 1},
      {"[ab", "a", 0},        {"a*b*c", "axbyc", 1}, {"a*b*c", "axby", 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(globmatch(c.pattern, c.string), c.want) << c.pattern << " vs " << c.string;
}

TEST(PicHeader, FputwordQuotesWhatAWordScannerWouldSplit) {
  auto word = [](const char* w) { return WrittenBy([&](FILE* fp) { fputword(w, fp); }); };
  EXPECT_EQ(word("plain"), "plain");
  EXPECT_EQ(word("two words"), "\"two words\"");
  EXPECT_EQ(word("it's"), "\"it's\"");
  EXPECT_EQ(word("say \"hi\""), "'say \"hi\"'");
  // printargs output reads back word for word.
  const char* args[] = {"render", "two words", "it's", "say \"hi\""};
  const std::string line = WrittenBy([&](FILE* fp) { printargs(4, args, fp); });
  const char* s = line.c_str();
  char buf[64];
  for (const char* want : args) {
    s = nextword(buf, sizeof buf, s);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(buf, want);
  }
  EXPECT_EQ(*s, '\n');
}

TEST(PicHeader, DateLinesWriteAndReadBack) {
  testutil::TimeZone utc("UTC");
  const time_t t = 1700000000;
  const std::string lines = WrittenBy([&](FILE* fp) { fputdate(t, fp); });
  EXPECT_EQ(lines, "CAPDATE= 2023:11:14 22:13:20\nGMT= 2023:11:14 22:13:20\n");
  time_t back = 0;
  EXPECT_EQ(dateval(&back, lines.c_str()), 1);
  EXPECT_EQ(back, t);
  EXPECT_EQ(gmtval(&back, lines.c_str() + lines.find('\n') + 1), 1);
  EXPECT_EQ(back, t);
  // Elsewhere the capture line is local time and the other stays universal: both read back.
  {
    testutil::TimeZone chatham(testutil::kChatham);
    const std::string there = WrittenBy([&](FILE* fp) { fputdate(t, fp); });
    EXPECT_EQ(there, "CAPDATE= 2023:11:15 11:58:20\nGMT= 2023:11:14 22:13:20\n");
    EXPECT_EQ(dateval(&back, there.c_str()), 1);
    EXPECT_EQ(back, t);
    EXPECT_EQ(gmtval(&back, there.c_str() + there.find('\n') + 1), 1);
    EXPECT_EQ(back, t);
  }
  EXPECT_EQ(dateval(nullptr, "CAPDATE= 2023:11:14\n"), 0);
  EXPECT_EQ(dateval(nullptr, "CAPDATE= 99999999999:1:1 0:0:0\n"), 0);
}

TEST(PicHeader, SharedPicturesKeepTheirOtherLines) {
  const std::string path = std::string(LUMERIN_TESTDATA) + "/hdr/desk_imagemagick_rle.hdr";
  FILE* fp = std::fopen(path.c_str(), "rb");
  if (fp == nullptr) GTEST_SKIP() << "shared test pictures absent";
  char fmt[MAXFMTLEN] = "32-bit_rle_?gbe";
  const std::string out = WrittenBy([&](FILE* o) { EXPECT_EQ(checkheader(fp, fmt, o), 1); });
  EXPECT_NE(out.find("GAMMA=1\n"), std::string::npos);
  EXPECT_NE(out.find("PRIMARIES=0 0 0 0 0 0 0 0"), std::string::npos);
  int sl, n;
  EXPECT_EQ(fgetresolu(&sl, &n, fp), RES_YMAJ | RES_YDEC);
  EXPECT_EQ(sl, 644);
  EXPECT_EQ(n, 874);
  std::fclose(fp);
}
