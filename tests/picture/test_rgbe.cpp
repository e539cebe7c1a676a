// RGBE pixel encoding and scanline coding.
#include "picture/rgbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Pixel = std::array<unsigned char, 4>;
using Line = std::vector<Pixel>;

Bytes bytesOf(const RGBEPIX p) {
  return Bytes(p, p + 4);
}

Bytes encode(const Line& px) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* fp = open_memstream(&buf, &len);
  EXPECT_EQ(fwritecolrs(reinterpret_cast<const RGBEPIX*>(px.data()), int(px.size()), fp), 0);
  std::fclose(fp);
  Bytes b(buf, buf + len);
  std::free(buf);
  return b;
}

// Reads n pixels from the bytes b; guard pixels after the n must stay untouched.
int decode(Bytes b, int n, Line* out) {
  b.push_back(0);  // fmemopen needs a non-empty buffer; the extra byte is not in the stream
  FILE* fp = fmemopen(b.data(), b.size() - 1, "rb");
  if (b.size() == 1) std::fgetc(fp);
  out->assign(n + 4, Pixel{{0xEE, 0xEE, 0xEE, 0xEE}});
  const int r = freadcolrs(reinterpret_cast<RGBEPIX*>(out->data()), n, fp);
  std::fclose(fp);
  for (int i = n; i < n + 4; i++) EXPECT_EQ((*out)[i], (Pixel{{0xEE, 0xEE, 0xEE, 0xEE}}));
  out->resize(n);
  return r;
}

Bytes flat(const Line& px) {
  Bytes b;
  for (const Pixel& p : px) b.insert(b.end(), p.begin(), p.end());
  return b;
}

// Random scanline with runs of many lengths in every byte position.
Line randomLine(std::mt19937& rng, int n) {
  Line px(n);
  for (int k = 0; k < 4; k++) {
    for (int i = 0; i < n;) {
      const int len = 1 + int(rng() % (rng() % 3 == 0 ? 300 : 4));
      const unsigned char v = static_cast<unsigned char>(rng());
      for (int j = 0; j < len && i < n; j++) px[i++][k] = v;
    }
  }
  return px;
}

// The run search done literally: stretch by stretch of equal bytes from the write position.
Bytes referenceEncode(const Line& px) {
  const int n = int(px.size());
  Bytes out = {2, 2, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
  for (int i = 0; i < 4; i++) {
    for (int j = 0; j < n;) {
      int beg = j, cnt = 0;
      for (; beg < n; beg += cnt) {
        for (cnt = 1; cnt < 127 && beg + cnt < n && px[beg + cnt][i] == px[beg][i]; cnt++) {
        }
        if (cnt >= 4) break;
      }
      bool same = beg - j > 1 && beg - j < 4;
      for (int k = j + 1; same && k < beg; k++) same = px[k][i] == px[j][i];
      if (same) {
        out.insert(out.end(), {static_cast<unsigned char>(128 + beg - j), px[j][i]});
        j = beg;
      }
      for (int c; (c = std::min(beg - j, 128)) > 0;) {
        out.push_back(static_cast<unsigned char>(c));
        while (c--) out.push_back(px[j++][i]);
      }
      if (beg < n) {
        out.insert(out.end(), {static_cast<unsigned char>(128 + cnt), px[beg][i]});
        j = beg + cnt;
      }
    }
  }
  return out;
}

}  // namespace

TEST(RgbeEncode, KnownColoursGiveTheirBytes) {
  const double big = std::ldexp(1.0, 128), inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double r, g, b;
    Bytes want;
  } cases[] = {
      {1.0, 0.5, 0.25, {127, 63, 31, 129}},
      {0.75, 0.5, 0.25, {191, 127, 63, 128}},
      {-1.0, 0.75, -0.1, {0, 191, 0, 128}},
      {1e-32, 1e-33, 0, {0, 0, 0, 0}},
      // Too bright for the exponent: the largest code, never wrapped to black.
      {big, big / 2, 0, {255, 127, 0, 255}},
      {1e300, 5e299, 0, {255, 127, 0, 255}},
      {inf, inf, 0, {255, 255, 0, 255}},
      {nan, 0.5, nan, {0, 127, 0, 128}},
  };
  RGBEPIX p;
  for (const auto& c : cases) {
    setcolr(p, c.r, c.g, c.b);
    EXPECT_EQ(bytesOf(p), c.want) << c.r << " " << c.g << " " << c.b;
  }
  float col[3];
  setcolr(p, 1.0, 0.5, 0.25);
  colr_color(col, p);
  EXPECT_EQ(col[0], 0.99609375f);
  EXPECT_EQ(col[1], 0.49609375f);
  EXPECT_EQ(col[2], 0.24609375f);
  setcolr(p, 1e-32, 0, 0);
  colr_color(col, p);
  EXPECT_EQ(col[0] + col[1] + col[2], 0.0f);
}

TEST(RgbeEncode, RandomColoursRoundTripAndMatchThePlainFormula) {
  std::mt19937_64 rng(21);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int t = 0; t < 300000; t++) {
    const double scale = std::ldexp(1.0, int(rng() % 232) - 105);
    double c[3];
    for (double& v : c) v = rng() % 8 == 0 ? scale : unit(rng) * scale;
    RGBEPIX p;
    setcolr(p, c[0], c[1], c[2]);
    // The encoder splits the exponent off by its bits; frexp must agree.
    int e;
    const double d = std::max(c[0], std::max(c[1], c[2]));
    const double s = std::frexp(d, &e) * 255.9999 / d;
    Bytes want = {static_cast<unsigned char>(c[0] * s), static_cast<unsigned char>(c[1] * s),
                  static_cast<unsigned char>(c[2] * s), static_cast<unsigned char>(e + 128)};
    if (d <= 1e-32) want = {0, 0, 0, 0};
    ASSERT_EQ(bytesOf(p), want) << c[0] << " " << c[1] << " " << c[2];
    if (d <= 1e-32) continue;  // black
    float out[3];
    colr_color(out, p);
    for (int k = 0; k < 3; k++) ASSERT_LE(std::fabs(out[k] - c[k]), d / 256 * 1.001) << t;
  }
}

TEST(RgbeDecode, FastKernelAgreesWithPlainAndSingleDecoder) {
  std::mt19937 rng(11);
  Line px(256 * 40 + 13);
  for (size_t i = 0; i < px.size(); i++) {
    px[i] = {{static_cast<unsigned char>(rng()), static_cast<unsigned char>(rng()),
              static_cast<unsigned char>(rng()), static_cast<unsigned char>(i)}};
  }
  const RGBEPIX* pp = reinterpret_cast<const RGBEPIX*>(px.data());
  for (size_t n : {size_t(1), size_t(4), size_t(5), size_t(9), px.size()}) {
    std::vector<float> fast(3 * n + 4, -7.0f), plain(3 * n);
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
    for (size_t j = 3 * n; j < fast.size(); j++) ASSERT_EQ(fast[j], -7.0f) << "wrote past end";
  }
}

TEST(RgbeWrite, RunLengthBytesFollowTheRunSearch) {
  std::mt19937 rng(3);
  for (int n : {1, 7, 32768}) {  // flat outside 8..32767
    const Line px = randomLine(rng, n);
    EXPECT_EQ(encode(px), flat(px)) << n;
  }
  // 200 equal bytes: a run of 127 and a run of 73 in each stream.
  Bytes want = {2, 2, 0, 200};
  for (unsigned char v : {10, 20, 30, 40}) want.insert(want.end(), {255, v, 201, v});
  EXPECT_EQ(encode(Line(200, Pixel{{10, 20, 30, 40}})), want);
  // Short runs before a run, a run of 3 among literals, dumps of 128.
  for (int t = 0; t < 400; t++) {
    Line px = randomLine(rng, 8 + int(rng() % (t < 300 ? 200 : 32760)));
    if (t % 3 == 0)
      for (Pixel& p : px)
        for (unsigned char& b : p) b &= 1;
    ASSERT_EQ(encode(px), referenceEncode(px)) << "scanline " << t;
  }
}

TEST(RgbeRead, EveryFormReadsBack) {
  std::mt19937 rng(5);
  Line got;
  for (int n : {1, 7, 8, 9, 128, 1000, 32767, 32768}) {
    const Line px = randomLine(rng, n);
    ASSERT_EQ(decode(encode(px), n, &got), 0) << n;
    ASSERT_EQ(got, px) << n;
  }
  // A flat scanline whose first pixel starts 2, 2 but is no marker (top bit of byte 2).
  Line px(10, Pixel{{9, 8, 7, 130}});
  px[0] = {{2, 2, 200, 130}};
  ASSERT_EQ(decode(flat(px), 10, &got), 0);
  EXPECT_EQ(got, px);
  // Old repeat codes: P, (1,1,1,3), (1,1,1,1) is P and 3 + 256 copies; Q resets the count.
  const Pixel p = {{50, 60, 70, 128}}, q = {{1, 1, 2, 129}};
  ASSERT_EQ(decode(flat({p, {{1, 1, 1, 3}}, {{1, 1, 1, 1}}, q, {{1, 1, 1, 1}}}), 262, &got), 0);
  EXPECT_EQ(Line(got.begin(), got.begin() + 260), Line(260, p));
  EXPECT_EQ(got[260], q);
  EXPECT_EQ(got[261], q);
}

TEST(RgbeRead, DamagedScanlinesFailWithoutOverrun) {
  const Pixel p = {{50, 60, 70, 128}};
  const struct {
    const char* what;
    Bytes data;
    int n;
  } cases[] = {
      {"empty stream", {}, 8},
      {"marker cut short", {2, 2, 0}, 8},
      {"length differs", {2, 2, 0, 9}, 8},
      {"run passes the end", {2, 2, 0, 8, 137, 1}, 8},
      {"dump passes the end", {2, 2, 0, 8, 4, 1, 2, 3, 4, 5, 1, 2, 3, 4, 5}, 8},
      {"ends inside a stream", {2, 2, 0, 8, 136, 1, 136, 2, 136}, 8},
      {"repeat code first", flat({{{1, 1, 1, 5}}, p, p, p}), 4},
      {"repeat code first, wide", flat({{{1, 1, 1, 5}}}), 100},
      {"repeat count passes the end", flat({p, {{1, 1, 1, 4}}}), 4},
      {"repeat shift passes the end",
       flat({p, {{1, 1, 1, 0}}, {{1, 1, 1, 0}}, {{1, 1, 1, 0}}, {{1, 1, 1, 0}}, {{1, 1, 1, 9}}}),
       400},
      {"flat scanline cut short", flat({p, p}), 3},
  };
  Line got;
  for (const auto& c : cases) EXPECT_EQ(decode(c.data, c.n, &got), -1) << c.what;
}

TEST(RgbeScan, FloatScanlinesRoundTripThroughTheScratchBuffer) {
  std::mt19937 rng(9);
  std::vector<float> in(3 * 3000), out(in.size());
  for (size_t i = 0; i < in.size(); i++) in[i] = (i / 30) % 2 ? float(rng() % 5000) / 100 : 2.0f;
  FILE* fp = std::tmpfile();
  ASSERT_EQ(fwritescan(in.data(), 3000, fp), 0);
  std::rewind(fp);
  ASSERT_EQ(freadscan(out.data(), 3000, fp), 0);
  EXPECT_EQ(freadscan(out.data(), 3000, fp), -1);
  std::fclose(fp);
  for (size_t i = 0; i < 3000; i++) {
    RGBEPIX p;
    setcolr(p, in[3 * i], in[3 * i + 1], in[3 * i + 2]);
    float c[3];
    colr_color(c, p);
    for (int k = 0; k < 3; k++) ASSERT_EQ(out[3 * i + k], c[k]) << i;
  }
}
