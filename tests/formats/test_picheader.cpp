// Picture header lines and resolution strings.
#include "formats/picheader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/words.h"

namespace {

// Runs fn with a stream that collects output, and returns what was written.
template <typename Fn>
std::string written(Fn fn) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* fp = open_memstream(&buf, &len);
  fn(fp);
  std::fclose(fp);
  std::string s(buf, len);
  std::free(buf);
  return s;
}

// A stream reading the text s.
class TextIn {
 public:
  explicit TextIn(std::string s) : text_(std::move(s)) {
    if (text_.empty()) text_.push_back('\0');  // fmemopen wants a non-empty buffer
    fp_ = fmemopen(&text_[0], text_.size(), "r");
    if (text_ == std::string(1, '\0')) std::fgetc(fp_);
  }
  ~TextIn() { std::fclose(fp_); }
  FILE* fp() { return fp_; }
  std::string rest() {
    std::string r;
    int c;
    while ((c = std::fgetc(fp_)) != EOF) r.push_back(static_cast<char>(c));
    return r;
  }

 private:
  std::string text_;
  FILE* fp_;
};

int collect(const char* line, void* data) {
  static_cast<std::vector<std::string>*>(data)->push_back(line);
  return 0;
}

}  // namespace

TEST(PicResolution, StandardLinesParseAndWriteBack) {
  PICRES r;
  ASSERT_EQ(str2resolu(&r, "-Y 480 +X 640\n"), 1);
  EXPECT_EQ(r.order, 6);
  EXPECT_EQ(picresScanlen(r), 640);
  EXPECT_EQ(picresNumScans(r), 480);
  EXPECT_EQ(written([](FILE* fp) { fputresolu(6, 640, 480, fp); }), "-Y 480 +X 640\n");

  ASSERT_EQ(str2resolu(&r, "+X 5 -Y 3\n"), 1);
  EXPECT_EQ(r.order, 2);
  EXPECT_EQ(picresScanlen(r), 3);
  EXPECT_EQ(picresNumScans(r), 5);
  EXPECT_EQ(written([](FILE* fp) { fputresolu(2, 3, 5, fp); }), "+X 5 -Y 3\n");
}

TEST(PicResolution, AllEightOrdersRoundTrip) {
  // The line each order gives a 640 x 480 picture.
  const char* lines[8] = {"+X 640 +Y 480\n", "-X 640 +Y 480\n", "+X 640 -Y 480\n",
                          "-X 640 -Y 480\n", "+Y 480 +X 640\n", "+Y 480 -X 640\n",
                          "-Y 480 +X 640\n", "-Y 480 -X 640\n"};
  for (int order = 0; order < 8; order++) {
    PICRES r = {order, 640, 480};
    char buf[RESOLU_BUFLEN];
    EXPECT_STREQ(resolu2str(buf, &r), lines[order]) << order;
    const int scanlen = picresScanlen(r), count = picresNumScans(r);
    TextIn in(written([&](FILE* fp) { fputresolu(order, scanlen, count, fp); }) + "XYZ");
    int sl = 0, n = 0;
    EXPECT_EQ(fgetresolu(&sl, &n, in.fp()), order);
    EXPECT_EQ(sl, scanlen);
    EXPECT_EQ(n, count);
    EXPECT_EQ(in.rest(), "XYZ") << "the resolution line reads no further than its newline";
  }
}

TEST(PicResolution, MalformedLinesAreRefused) {
  PICRES r = {9, 9, 9};
  for (const char* bad : {"", "-Y 0 +X 640\n", "-Y 480 +Z 640\n", "-Y 480 +X -5\n", "-Y 480 +X\n",
                          "-Y 99999999999 +X 640\n", "-Y 4 +X 2147483648\n"})
    EXPECT_EQ(str2resolu(&r, bad), 0) << bad;
  EXPECT_EQ(str2resolu(&r, nullptr), 0);
  EXPECT_EQ(r.order, 9) << "a refused line leaves the record alone";

  int sl, n;
  TextIn empty("");
  EXPECT_EQ(fgetresolu(&sl, &n, empty.fp()), -1);
  TextIn longline(std::string(40, ' ') + "-Y 4 +X 4\n");
  EXPECT_EQ(fgetresolu(&sl, &n, longline.fp()), -1) << "only 31 characters are taken";
}

TEST(PicHeader, LinesArriveWithTheirNewlinesUntilTheEmptyLine) {
  TextIn in("#?PROG\nFORMAT=32-bit_rle_rgbe\nEXPOSURE=2\n\n-Y 1 +X 1\n");
  std::vector<std::string> lines;
  ASSERT_EQ(getheader(in.fp(), collect, &lines), 0);
  EXPECT_EQ(lines,
            (std::vector<std::string>{"#?PROG\n", "FORMAT=32-bit_rle_rgbe\n", "EXPOSURE=2\n"}));
  EXPECT_EQ(in.rest(), "-Y 1 +X 1\n");

  TextIn skip("A\nB\n\nrest");
  ASSERT_EQ(getheader(skip.fp(), nullptr, nullptr), 0);
  EXPECT_EQ(skip.rest(), "rest");

  TextIn unended("#?PROG\nFORMAT=x\n");
  EXPECT_EQ(getheader(unended.fp(), collect, &lines), -1);
}

TEST(PicHeader, LongLinesArriveInPiecesAndNeverEndTheHeader) {
  const std::string big(5000, 'a');
  TextIn in("#?P\n" + big + "\nLAST=1\n\nafter");
  std::vector<std::string> lines;
  ASSERT_EQ(getheader(in.fp(), collect, &lines), 0);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1].size(), 2046u);
  EXPECT_EQ(lines[2].size(), 2046u);
  EXPECT_EQ(lines[3], std::string(908, 'a') + "\n");
  EXPECT_EQ(lines[4], "LAST=1\n");
  EXPECT_EQ(in.rest(), "after");

  // Lines right at the buffer's limit.
  for (size_t len : {2045u, 2046u, 2047u, 2048u}) {
    TextIn edge(std::string(len, 'b') + "\n\n");
    std::vector<std::string> got;
    ASSERT_EQ(getheader(edge.fp(), collect, &got), 0) << len;
    std::string joined;
    for (const std::string& s : got) {
      EXPECT_LE(s.size(), 2047u);
      joined += s;
    }
    EXPECT_EQ(joined, std::string(len, 'b') + "\n") << len;
    EXPECT_EQ(got.size(), len <= 2046 ? 1u : 2u) << len;
  }
}

TEST(PicHeader, ANegativeCallbackStopsTheRead) {
  TextIn in("ONE\nTWO\n\n");
  int calls = 0;
  auto stop = [](const char*, void* data) -> int {
    ++*static_cast<int*>(data);
    return -1;
  };
  EXPECT_EQ(getheader(in.fp(), stop, &calls), -1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(in.rest(), "TWO\n\n");
}

TEST(PicHeader, RecognisersBoundWhatTheyCopy) {
  char name[8];
  EXPECT_EQ(headidval(name, "#?VORTELUX\n", sizeof name), 1);
  EXPECT_STREQ(name, "VORTELU");
  EXPECT_EQ(headidval(nullptr, "#?X\n"), 1);
  EXPECT_EQ(headidval(name, "FORMAT=x\n"), 0);

  char fmt[MAXFMTLEN];
  EXPECT_EQ(formatval(fmt, "FORMAT=  32-bit_rle_xyze extra\n"), 1);
  EXPECT_STREQ(fmt, "32-bit_rle_xyze");
  EXPECT_EQ(formatval(fmt, "FORMAT=\n"), 0);
  EXPECT_EQ(formatval(fmt, "FORMAT=   \n"), 0);
  EXPECT_EQ(formatval(fmt, "FORMATS=x\n"), 0);
  const std::string huge = "FORMAT=" + std::string(500, 'q') + "\n";
  EXPECT_EQ(formatval(fmt, huge.c_str()), 1);
  EXPECT_EQ(std::strlen(fmt), MAXFMTLEN - 1);
}

TEST(PicHeader, CheckheaderMatchesNamesAndPatterns) {
  const std::string head = "#?P\nEXPOSURE=1\nFORMAT=32-bit_rle_rgbe\n\n";
  {
    TextIn in(head);
    char fmt[MAXFMTLEN] = "32-bit_rle_*";
    std::string out = written([&](FILE* fp) { EXPECT_EQ(checkheader(in.fp(), fmt, fp), 1); });
    EXPECT_STREQ(fmt, "32-bit_rle_rgbe");
    EXPECT_EQ(out, "#?P\nEXPOSURE=1\n") << "the FORMAT line is not copied";
  }
  {
    TextIn in(head);
    char fmt[MAXFMTLEN] = "32-bit_rle_xyze";
    EXPECT_EQ(checkheader(in.fp(), fmt, nullptr), -1);
  }
  {
    TextIn in(head);
    char fmt[MAXFMTLEN] = "32-bit_rle_rgbe";
    EXPECT_EQ(checkheader(in.fp(), fmt, nullptr), 1);
  }
  {
    // A FORMAT line with only blanks is ordinary text.
    TextIn in("#?P\nFORMAT=  \n\n");
    char fmt[MAXFMTLEN] = "*";
    std::string out = written([&](FILE* fp) { EXPECT_EQ(checkheader(in.fp(), fmt, fp), 0); });
    EXPECT_EQ(out, "#?P\nFORMAT=  \n");
    EXPECT_STREQ(fmt, "*");
  }
  {
    // An overlong value is cut, never overruns the caller's buffer.
    TextIn in("FORMAT=" + std::string(300, 'z') + "\n\n");
    char fmt[MAXFMTLEN] = "z*";
    EXPECT_EQ(checkheader(in.fp(), fmt, nullptr), 1);
    EXPECT_EQ(std::string(fmt), std::string(MAXFMTLEN - 1, 'z'));
  }
  {
    TextIn in("FORMAT=x\n");
    char fmt[MAXFMTLEN] = "x";
    EXPECT_EQ(checkheader(in.fp(), fmt, nullptr), -1) << "unended header";
  }
}

TEST(PicHeader, GlobmatchFollowsItsWildcards) {
  struct Case {
    const char* pattern;
    const char* string;
    int want;
  } cases[] = {
      {"a[b-d]?", "acx", 1},
      {"a[b-d]?", "aex", 0},
      {"a[b-d]?", "ac", 0},
      {"*.hdr", "picture.hdr", 1},
      {"*.hdr", ".hdr", 1},
      {"*.hdr", "picture.hdr2", 0},
      {"*.hdr", "picture.pic", 0},
      {"a\\*", "a*", 1},
      {"a\\*", "ab", 0},
      {"**x", "abx", 1},
      {"*", "", 1},
      {"?", "", 0},
      {"[]x]", "]", 1},
      {"[]x]", "x", 1},
      {"[]x]", "y", 0},
      {"[ab", "a", 0},
      {"*[0-9]", "frame7", 1},
      {"*?", "", 0},
      {"32-bit_rle_*", "32-bit_rle_rgbe", 1},
      {"a*b*c", "axxbyyc", 1},
      {"a*b*c", "axxbyy", 0},
      {"abc", "abcd", 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(globmatch(c.pattern, c.string), c.want) << c.pattern << " vs " << c.string;
}

TEST(PicHeader, FputwordQuotesWhatAWordScannerWouldSplit) {
  auto word = [](const char* w) { return written([&](FILE* fp) { fputword(w, fp); }); };
  EXPECT_EQ(word("plain"), "plain");
  EXPECT_EQ(word("two words"), "\"two words\"");
  EXPECT_EQ(word("it's"), "\"it's\"");
  EXPECT_EQ(word("say \"hi\""), "'say \"hi\"'");
  EXPECT_EQ(word("tab\there"), "\"tab\there\"");
  EXPECT_EQ(word(""), "");

  // printargs output reads back word for word through nextword.
  const char* args[] = {"render", "two words", "it's", "say \"hi\"", "x"};
  const std::string line = written([&](FILE* fp) { printargs(5, args, fp); });
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  const char* s = line.c_str();
  char buf[64];
  for (const char* want : args) {
    s = nextword(buf, sizeof buf, s);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(buf, want);
  }
  EXPECT_EQ(nextword(buf, sizeof buf, s), nullptr);
  EXPECT_EQ(written([&](FILE* fp) { printargs(0, args, fp); }), "");
}

class PicDates : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_ = tz ? tz : "";
    had_ = tz != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

TEST_F(PicDates, DateLinesWriteAndReadBack) {
  const time_t t = 1700000000;  // 2023-11-14 22:13:20 UTC
  const std::string lines = written([&](FILE* fp) { fputdate(t, fp); });
  EXPECT_EQ(lines, "CAPDATE= 2023:11:14 22:13:20\nGMT= 2023:11:14 22:13:20\n");
  const size_t nl = lines.find('\n');
  time_t back = 0;
  EXPECT_EQ(dateval(&back, lines.substr(0, nl + 1).c_str()), 1);
  EXPECT_EQ(back, t);
  back = 0;
  EXPECT_EQ(gmtval(&back, lines.substr(nl + 1).c_str()), 1);
  EXPECT_EQ(back, t);

  EXPECT_EQ(dateval(nullptr, "CAPDATE=2023:11:14 22:13:20\n"), 1);
  EXPECT_EQ(dateval(nullptr, "CAPDATE= 2023:11:14\n"), 0);
  EXPECT_EQ(dateval(nullptr, "GMT= 2023:11:14 22:13:20\n"), 0);
  EXPECT_EQ(gmtval(nullptr, "GMT= 2023:11:14 22:13\n"), 0);
  EXPECT_EQ(dateval(nullptr, "CAPDATE= 99999999999:1:1 0:0:0\n"), 0);

  const std::string now = written([](FILE* fp) { fputnow(fp); });
  EXPECT_EQ(now.rfind("CAPDATE= ", 0), 0u);
}

TEST(PicHeader, WritersProduceTheStandardLines) {
  EXPECT_EQ(written([](FILE* fp) {
              newheader("VORTELUX", fp);
              fputformat(COLRFMT, fp);
            }),
            "#?VORTELUX\nFORMAT=32-bit_rle_rgbe\n");
}

TEST(PicHeader, SharedPicturesKeepTheirOtherLines) {
  const std::string path = std::string(LUMERIN_TESTDATA) + "/hdr/desk_imagemagick_rle.hdr";
  FILE* fp = std::fopen(path.c_str(), "rb");
  if (fp == nullptr) GTEST_SKIP() << "shared test pictures absent";
  char fmt[MAXFMTLEN] = "32-bit_rle_?gbe";
  const std::string out = written([&](FILE* o) { EXPECT_EQ(checkheader(fp, fmt, o), 1); });
  EXPECT_STREQ(fmt, "32-bit_rle_rgbe");
  EXPECT_EQ(out.rfind("#?RGBE\n", 0), 0u);
  EXPECT_NE(out.find("GAMMA=1"), std::string::npos);
  EXPECT_NE(out.find("PRIMARIES=0 0 0 0 0 0 0 0"), std::string::npos);
  int sl, n;
  EXPECT_EQ(fgetresolu(&sl, &n, fp), RES_YMAJ | RES_YDEC);
  EXPECT_EQ(sl, 644);
  EXPECT_EQ(n, 874);
  std::fclose(fp);
}
