// RGBE pixel encoding and scanline coding.
#include "formats/rgbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "formats/picheader.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A stream that collects what is written to it.
class MemOut {
 public:
  MemOut() : fp_(open_memstream(&buf_, &len_)) {}
  ~MemOut() {
    std::fclose(fp_);
    std::free(buf_);
  }
  FILE* fp() { return fp_; }
  Bytes bytes() {
    std::fflush(fp_);
    return Bytes(buf_, buf_ + len_);
  }

 private:
  char* buf_ = nullptr;
  size_t len_ = 0;
  FILE* fp_;
};

// A stream that reads from a copy of the given bytes.
class MemIn {
 public:
  explicit MemIn(Bytes b) : data_(std::move(b)) {
    data_.push_back(0);  // fmemopen needs a non-empty buffer
    fp_ = fmemopen(data_.data(), data_.size() - 1 == 0 ? 1 : data_.size() - 1, "rb");
    if (data_.size() == 1) std::fgetc(fp_);  // an empty stream
  }
  ~MemIn() { std::fclose(fp_); }
  FILE* fp() { return fp_; }

 private:
  Bytes data_;
  FILE* fp_;
};

Bytes pixelBytes(const std::vector<std::array<unsigned char, 4>>& px) {
  Bytes b;
  for (const auto& p : px) b.insert(b.end(), p.begin(), p.end());
  return b;
}

// A scanline whose byte position k holds stream[k][i] at pixel i.
std::vector<std::array<unsigned char, 4>> fromStreams(const Bytes s[4]) {
  std::vector<std::array<unsigned char, 4>> px(s[0].size());
  for (size_t i = 0; i < px.size(); i++)
    for (int k = 0; k < 4; k++) px[i][k] = s[k][i];
  return px;
}

Bytes encode(const std::vector<std::array<unsigned char, 4>>& px) {
  MemOut out;
  EXPECT_EQ(fwritecolrs(reinterpret_cast<const RGBEPIX*>(px.data()), static_cast<int>(px.size()),
                        out.fp()),
            0);
  return out.bytes();
}

// Random scanline with runs of various lengths in every byte position.
std::vector<std::array<unsigned char, 4>> randomScanline(std::mt19937& rng, int n) {
  std::vector<std::array<unsigned char, 4>> px(n);
  for (int k = 0; k < 4; k++) {
    int i = 0;
    while (i < n) {
      int len = 1 + static_cast<int>(rng() % (rng() % 3 == 0 ? 300 : 4));
      unsigned char v = static_cast<unsigned char>(rng());
      for (int j = 0; j < len && i < n; j++, i++) px[i][k] = v;
    }
  }
  return px;
}

}  // namespace

TEST(RgbeEncode, KnownColoursGiveTheirBytes) {
  RGBEPIX p;
  setcolr(p, 1.0, 0.5, 0.25);
  EXPECT_EQ((Bytes{p[0], p[1], p[2], p[3]}), (Bytes{127, 63, 31, 129}));
  float c[3];
  colr_color(c, p);
  EXPECT_EQ(c[0], 0.99609375f);
  EXPECT_EQ(c[1], 0.49609375f);
  EXPECT_EQ(c[2], 0.24609375f);

  setcolr(p, 0.75, 0.5, 0.25);
  EXPECT_EQ((Bytes{p[0], p[1], p[2], p[3]}), (Bytes{191, 127, 63, 128}));
}

TEST(RgbeEncode, DarkAndNegativeComponents) {
  RGBEPIX p;
  for (double d : {0.0, 1e-32, -5.0}) {
    setcolr(p, d, d, d);
    EXPECT_EQ((Bytes{p[0], p[1], p[2], p[3]}), (Bytes{0, 0, 0, 0})) << d;
    float c[3] = {1, 1, 1};
    colr_color(c, p);
    EXPECT_EQ(c[0] + c[1] + c[2], 0.0f);
  }
  setcolr(p, -1.0, 0.75, -0.1);
  EXPECT_EQ((Bytes{p[0], p[1], p[2], p[3]}), (Bytes{0, 191, 0, 128}));
}

TEST(RgbeEncode, RandomColoursRoundTripWithinOneMantissaStep) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<int> ex(-60, 60);
  for (int t = 0; t < 200000; t++) {
    const double scale = std::ldexp(1.0, ex(rng));
    const double in[3] = {unit(rng) * scale, unit(rng) * scale, unit(rng) * scale};
    RGBEPIX p;
    setcolr(p, in[0], in[1], in[2]);
    float out[3];
    colr_color(out, p);
    const double m = std::max(in[0], std::max(in[1], in[2]));
    EXPECT_GE(std::max(p[0], std::max(p[1], p[2])), 127);
    for (int k = 0; k < 3; k++) ASSERT_LE(std::fabs(out[k] - in[k]), m / 256) << t << " " << k;
  }
}

// setcolr computed as plainly as possible, for colours it encodes without clamping.
void referenceSetcolr(unsigned char p[4], double r, double g, double b) {
  r = r > 0 ? r : 0;
  g = g > 0 ? g : 0;
  b = b > 0 ? b : 0;
  const double d = std::max(r, std::max(g, b));
  if (d <= 1e-32) {
    p[0] = p[1] = p[2] = p[3] = 0;
    return;
  }
  int e;
  const double s = std::frexp(d, &e) * 255.9999 / d;
  p[0] = static_cast<unsigned char>(r * s);
  p[1] = static_cast<unsigned char>(g * s);
  p[2] = static_cast<unsigned char>(b * s);
  p[3] = static_cast<unsigned char>(e + 128);
}

TEST(RgbeEncode, AgreesWithThePlainFormulaEverywhereItFits) {
  std::mt19937_64 rng(21);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<int> ex(-105, 126);
  for (int t = 0; t < 300000; t++) {
    const double scale = std::ldexp(1.0, ex(rng));
    double c[3];
    for (double& v : c) {
      const int kind = static_cast<int>(rng() % 8);
      v = kind == 0 ? scale : kind == 1 ? -unit(rng) * scale : unit(rng) * scale;
    }
    unsigned char want[4];
    referenceSetcolr(want, c[0], c[1], c[2]);
    RGBEPIX got;
    setcolr(got, c[0], c[1], c[2]);
    ASSERT_EQ(0, std::memcmp(got, want, 4)) << c[0] << " " << c[1] << " " << c[2];
  }
}

TEST(RgbeEncode, TooBrightClampsToLargestCodeAndNaNIsBlack) {
  RGBEPIX p;
  // 2^127 still fits: exponent 255.
  setcolr(p, std::ldexp(1.0, 126), 0, 0);
  EXPECT_EQ(p[3], 255);
  // Brighter values keep the largest exponent instead of wrapping round to a dark code.
  for (double big : {std::ldexp(1.0, 128), 1e300, std::numeric_limits<double>::infinity()}) {
    setcolr(p, big, big / 2, 0);
    EXPECT_EQ(p[3], 255) << big;
    EXPECT_EQ(p[0], 255) << big;
    float c[3];
    colr_color(c, p);
    EXPECT_GT(c[0], 1e38f);
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  setcolr(p, nan, 0.5, nan);
  EXPECT_EQ((Bytes{p[0], p[1], p[2], p[3]}), (Bytes{0, 127, 0, 128}));
  setcolr(p, nan, nan, nan);
  EXPECT_EQ(p[3], 0);
}

TEST(RgbeDecode, FastKernelAgreesWithPlainAndSingleDecoder) {
  std::mt19937 rng(11);
  std::vector<std::array<unsigned char, 4>> px(256 * 40 + 13);
  for (size_t i = 0; i < px.size(); i++) {
    px[i][3] = static_cast<unsigned char>(i % 256);  // every exponent, subnormal scales too
    for (int k = 0; k < 3; k++) px[i][k] = static_cast<unsigned char>(rng());
  }
  const RGBEPIX* pp = reinterpret_cast<const RGBEPIX*>(px.data());
  for (size_t n :
       {size_t(0), size_t(1), size_t(3), size_t(4), size_t(5), size_t(8), size_t(9), px.size()}) {
    const float guard = -7.0f;
    std::vector<float> fast(3 * n + 4, guard), plain(3 * n + 4, guard);
    colrs_color(fast.data(), pp, n);
    colrs_color_plain(plain.data(), pp, n);
    for (size_t i = 0; i < n; i++) {
      float one[3];
      colr_color(one, pp[i]);
      for (int k = 0; k < 3; k++) {
        ASSERT_EQ(fast[3 * i + k], one[k]) << n << " " << i;
        ASSERT_EQ(plain[3 * i + k], one[k]) << n << " " << i;
      }
    }
    for (size_t j = 3 * n; j < fast.size(); j++) ASSERT_EQ(fast[j], guard) << "wrote past end";
  }
}

TEST(RgbeWrite, ScanlinesOutsideTheRunLengthWidthsAreFlat) {
  std::mt19937 rng(3);
  for (int n : {1, 7, 32768}) {
    auto px = randomScanline(rng, n);
    EXPECT_EQ(encode(px), pixelBytes(px)) << n;
  }
  for (int n : {8, 32767}) {
    Bytes b = encode(randomScanline(rng, n));
    ASSERT_GE(b.size(), 4u);
    EXPECT_EQ((Bytes{b[0], b[1], b[2], b[3]}),
              (Bytes{2, 2, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)}));
  }
}

TEST(RgbeWrite, RunLengthBytesAreExact) {
  // One scanline of 16 pixels whose four byte streams exercise a whole-stream run, a
  // whole-stream dump, short runs before runs, short runs at the end, and runs of 3 that stay
  // inside a dump.
  Bytes s[4];
  s[0] = Bytes(16, 200);
  for (int i = 0; i < 16; i++) s[1].push_back(static_cast<unsigned char>(i));
  s[2] = {5, 5, 5, 9, 9, 9, 9, 1, 2, 3, 7, 7, 7, 8, 8, 8};
  s[3] = {1, 2, 4, 4, 4, 4, 4, 3, 3, 6, 6, 6, 6, 0, 0, 0};
  Bytes want = {2, 2, 0, 16, 144, 200, 16};
  for (int i = 0; i < 16; i++) want.push_back(static_cast<unsigned char>(i));
  for (unsigned char c : {131, 5, 132, 9, 9, 1, 2, 3, 7, 7, 7, 8, 8, 8}) want.push_back(c);
  for (unsigned char c : {2, 1, 2, 133, 4, 130, 3, 132, 6, 131, 0}) want.push_back(c);
  EXPECT_EQ(encode(fromStreams(s)), want);
}

TEST(RgbeWrite, LongRunsAndDumpsSplitAtTheirLimits) {
  // 200 equal bytes: a run of 127 and a run of 73 in each stream.
  std::vector<std::array<unsigned char, 4>> same(200, {{10, 20, 30, 40}});
  Bytes want = {2, 2, 0, 200};
  for (unsigned char v : {10, 20, 30, 40})
    for (int c : {255, int(v), 201, int(v)}) want.push_back(static_cast<unsigned char>(c));
  EXPECT_EQ(encode(same), want);

  // 300 bytes without two equal neighbours: dumps of 128, 128 and 44.
  Bytes s[4];
  for (int k = 0; k < 4; k++)
    for (int i = 0; i < 300; i++) s[k].push_back(static_cast<unsigned char>((i * 7 + k) % 251));
  Bytes b = encode(fromStreams(s));
  ASSERT_EQ(b.size(), 4u + 4 * (3 + 300));
  for (int k = 0; k < 4; k++) {
    const size_t at = 4 + k * 303;
    EXPECT_EQ(b[at], 128);
    EXPECT_EQ(b[at + 129], 128);
    EXPECT_EQ(b[at + 258], 44);
  }

  // A run of 4 is a run; a run of 3 between literals is not.
  Bytes r[4];
  r[0] = {1, 2, 3, 3, 3, 4, 5, 6, 7, 8};
  r[1] = {1, 2, 3, 3, 3, 3, 5, 6, 7, 8};
  r[2] = Bytes(10, 0);
  r[3] = Bytes(10, 0);
  Bytes got = encode(fromStreams(r));
  Bytes want2 = {2, 2, 0, 10,  10, 1, 2, 3, 3, 3, 4,   5, 6,   7, 8,
                 2, 1, 2, 132, 3,  4, 5, 6, 7, 8, 138, 0, 138, 0};
  EXPECT_EQ(got, want2);
}

// The writer's run search done literally: segment by segment from the write position.
Bytes referenceEncode(const std::vector<std::array<unsigned char, 4>>& px) {
  const int n = static_cast<int>(px.size());
  Bytes out = {2, 2, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n & 255)};
  for (int i = 0; i < 4; i++) {
    int j = 0;
    while (j < n) {
      int beg = j, cnt = 0;
      for (; beg < n; beg += cnt) {
        for (cnt = 1; cnt < 127 && beg + cnt < n && px[beg + cnt][i] == px[beg][i]; cnt++) {
        }
        if (cnt >= 4) break;
      }
      if (beg - j > 1 && beg - j < 4) {
        int k = j + 1;
        while (px[k][i] == px[j][i])
          if (++k >= beg) {
            out.push_back(static_cast<unsigned char>(128 + beg - j));
            out.push_back(px[j][i]);
            j = beg;
            break;
          }
      }
      while (j < beg) {
        int c = std::min(beg - j, 128);
        out.push_back(static_cast<unsigned char>(c));
        while (c--) out.push_back(px[j++][i]);
      }
      if (beg < n && cnt >= 4) {
        out.push_back(static_cast<unsigned char>(128 + cnt));
        out.push_back(px[beg][i]);
        j = beg + cnt;
      }
    }
  }
  return out;
}

TEST(RgbeWrite, FastRunSearchAgreesWithTheLiteralOne) {
  std::mt19937 rng(17);
  for (int t = 0; t < 400; t++) {
    const int n = 8 + static_cast<int>(rng() % (t < 300 ? 200 : 5000));
    auto px = randomScanline(rng, n);
    // Some scanlines of few byte values, where runs of 2 to 5 abound.
    if (t % 3 == 0)
      for (auto& p : px)
        for (auto& b : p) b &= 1;
    ASSERT_EQ(encode(px), referenceEncode(px)) << "scanline " << t << " of " << n;
  }
}

TEST(RgbeRead, EveryScanlineFormRoundTrips) {
  std::mt19937 rng(5);
  const int widths[] = {1, 7, 8, 9, 100, 127, 128, 129, 1000, 32767, 32768};
  MemOut out;
  std::vector<std::vector<std::array<unsigned char, 4>>> lines;
  for (int n : widths) {
    for (int rep = 0; rep < 3; rep++) {
      lines.push_back(randomScanline(rng, n));
      ASSERT_EQ(fwritecolrs(reinterpret_cast<const RGBEPIX*>(lines.back().data()), n, out.fp()), 0);
    }
  }
  MemIn in(out.bytes());
  for (const auto& want : lines) {
    std::vector<std::array<unsigned char, 4>> got(want.size());
    ASSERT_EQ(
        freadcolrs(reinterpret_cast<RGBEPIX*>(got.data()), static_cast<int>(got.size()), in.fp()),
        0);
    ASSERT_EQ(got, want) << want.size();
  }
  EXPECT_EQ(std::fgetc(in.fp()), EOF);
}

TEST(RgbeRead, FlatScanlineStartingWithTwoIsReadFlat) {
  std::vector<std::array<unsigned char, 4>> px(10, {{9, 8, 7, 130}});
  px[0] = {{2, 2, 200, 130}};
  px[1] = {{2, 3, 1, 120}};
  std::vector<std::array<unsigned char, 4>> got(10);
  MemIn in(pixelBytes(px));
  ASSERT_EQ(freadcolrs(reinterpret_cast<RGBEPIX*>(got.data()), 10, in.fp()), 0);
  EXPECT_EQ(got, px);
}

TEST(RgbeRead, OldRepeatCodesExpand) {
  // P, then codes (1,1,1,3) and (1,1,1,1): P and 3 + 256 copies of it, then Q.
  const std::array<unsigned char, 4> p = {{50, 60, 70, 128}}, q = {{1, 1, 2, 129}};
  Bytes b = pixelBytes({p, {{1, 1, 1, 3}}, {{1, 1, 1, 1}}, q});
  std::vector<std::array<unsigned char, 4>> got(261);
  MemIn in(b);
  ASSERT_EQ(freadcolrs(reinterpret_cast<RGBEPIX*>(got.data()), 261, in.fp()), 0);
  for (int i = 0; i < 260; i++) ASSERT_EQ(got[i], p) << i;
  EXPECT_EQ(got[260], q);

  // A pixel between codes restarts the count: P, 2 copies, Q, 1 copy of Q.
  std::vector<std::array<unsigned char, 4>> got2(5);
  MemIn in2(pixelBytes({p, {{1, 1, 1, 2}}, q, {{1, 1, 1, 1}}}));
  ASSERT_EQ(oldreadcolrs(reinterpret_cast<RGBEPIX*>(got2.data()), 5, in2.fp()), 0);
  EXPECT_EQ(got2, (std::vector<std::array<unsigned char, 4>>{p, p, p, q, q}));
}

TEST(RgbeRead, DamagedScanlinesFailWithoutOverrun) {
  struct Case {
    const char* what;
    Bytes data;
    int n;
  };
  const std::array<unsigned char, 4> p = {{50, 60, 70, 128}};
  Bytes longer = {2, 2, 0, 9};
  Bytes runPast = {2, 2, 0, 8, 130 + 7, 1};                        // run of 9 in a scanline of 8
  Bytes dumpPast = {2, 2, 0, 8, 4, 1, 2, 3, 4, 5, 1, 2, 3, 4, 5};  // 4 + 5 > 8
  Bytes truncated = {2, 2, 0, 8, 136, 1, 136, 2, 136};
  const std::vector<Case> cases = {
      {"empty stream", {}, 8},
      {"length differs", longer, 8},
      {"run passes the end", runPast, 8},
      {"dump passes the end", dumpPast, 8},
      {"ends inside a stream", truncated, 8},
      {"marker cut short", {2, 2, 0}, 8},
      {"repeat code first", pixelBytes({{{1, 1, 1, 5}}, p, p, p}), 4},
      {"repeat count passes the end", pixelBytes({p, {{1, 1, 1, 4}}}), 4},
      {"repeat shift passes the end",
       pixelBytes({p,
                   {{1, 1, 1, 0}},
                   {{1, 1, 1, 0}},
                   {{1, 1, 1, 0}},
                   {{1, 1, 1, 0}},
                   {{1, 1, 1, 0}},
                   {{1, 1, 1, 200}}}),
       400},
      {"repeat code first in a wide scanline", pixelBytes({{{1, 1, 1, 5}}}), 100},
      {"flat scanline cut short", pixelBytes({p, p}), 3},
  };
  for (const Case& c : cases) {
    // Guard pixels after the scanline must survive.
    std::vector<std::array<unsigned char, 4>> buf(c.n + 4, {{0xEE, 0xEE, 0xEE, 0xEE}});
    MemIn in(c.data);
    EXPECT_EQ(freadcolrs(reinterpret_cast<RGBEPIX*>(buf.data()), c.n, in.fp()), -1) << c.what;
    for (int i = c.n; i < c.n + 4; i++)
      EXPECT_EQ(buf[i], (std::array<unsigned char, 4>{{0xEE, 0xEE, 0xEE, 0xEE}})) << c.what;
  }
}

TEST(RgbeScan, FloatScanlinesRoundTripThroughTheScratchBuffer) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> dist(0.0f, 50.0f);
  MemOut out;
  std::vector<std::vector<float>> lines;
  for (int n : {5, 64, 3000}) {
    std::vector<float> c(3 * n);
    for (int i = 0; i < n; i++) {
      const float v = (i / 10) % 2 ? dist(rng) : 2.0f;  // stretches of equal pixels
      c[3 * i] = v;
      c[3 * i + 1] = v * 0.5f;
      c[3 * i + 2] = dist(rng) * 0.01f;
    }
    ASSERT_EQ(fwritescan(c.data(), n, out.fp()), 0);
    lines.push_back(c);
  }
  MemIn in(out.bytes());
  for (const auto& want : lines) {
    const int n = static_cast<int>(want.size() / 3);
    std::vector<float> got(want.size());
    ASSERT_EQ(freadscan(got.data(), n, in.fp()), 0);
    for (int i = 0; i < n; i++) {
      RGBEPIX p;
      setcolr(p, want[3 * i], want[3 * i + 1], want[3 * i + 2]);
      float c[3];
      colr_color(c, p);
      for (int k = 0; k < 3; k++) ASSERT_EQ(got[3 * i + k], c[k]);
    }
  }
  std::vector<float> more(30);
  EXPECT_EQ(freadscan(more.data(), 10, in.fp()), -1);
}

TEST(RgbeScan, BigdiffComparesRelatively) {
  const float a[3] = {1.0f, 2.0f, 3.0f};
  const float b[3] = {1.05f, 2.0f, 3.0f};
  EXPECT_EQ(bigdiff(a, b, 0.1), 0);
  EXPECT_EQ(bigdiff(a, b, 0.01), 1);
  EXPECT_EQ(bigdiff(b, a, 0.01), 1);
}

TEST(RgbeScan, TempbufferGrowsAndKeepsItsContent) {
  unsigned char* p = static_cast<unsigned char*>(tempbuffer(16));
  ASSERT_NE(p, nullptr);
  std::memset(p, 0x5A, 16);
  unsigned char* q = static_cast<unsigned char*>(tempbuffer(8));
  EXPECT_EQ(q, p);
  q = static_cast<unsigned char*>(tempbuffer(1 << 20));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(q[15], 0x5A);
}
