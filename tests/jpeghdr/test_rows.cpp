// The encoder's and resamplers' vector row kernels agree bit for bit with the plain ones, on
// hostile values, odd widths and every source kind; the plain ones agree with the encoder's
// earlier whole-image arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "jpeghdr/jhprivate.h"

namespace {

#define REQUIRE_AVX2() \
  if (!jh_have_avx2()) GTEST_SKIP() << "the processor has no AVX2"

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Colour values spread log-uniformly over many decades, with a sprinkling of NaN, infinities,
// negatives, zeros, denormals and values beyond the sanitising limits.
std::vector<float> hostileValues(size_t n, uint32_t seed, float lo = 1e-8f, float hi = 1e5f) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(0.f, 1.f);
  std::vector<float> v(n);
  const float special[] = {kNaN, kInf, -kInf, 0.f, -0.f, -2.f, 1e-40f, 3e20f, -3e20f, 1e-3f};
  for (size_t i = 0; i < n; i++) {
    if (gen() % 23 == 0)
      v[i] = special[gen() % 10];
    else
      v[i] = lo * std::pow(hi / lo, u(gen));
  }
  return v;
}

// A codec object around a source of width x height pixels, without libjpeg.
struct Source {
  jpeghdr_compress_struct jh{};
  std::vector<float> f;
  std::vector<double> d;
  float matrix[9] = {0.8f, 0.15f, 0.05f, 0.1f, 0.85f, 0.05f, 0.02f, 0.1f, 0.88f};

  enum Kind { kFloat, kDouble, kMatrix, kStrided };
  Source(int w, int h, Kind kind, uint32_t seed) {
    const size_t n = static_cast<size_t>(w) * h;
    f = hostileValues(4 * n, seed);
    jh.cinfo.image_width = static_cast<JDIMENSION>(w);
    jh.cinfo.image_height = static_cast<JDIMENSION>(h);
    jh.alpha = jh.beta = 1.f;
    jh.spixels = reinterpret_cast<const unsigned char*>(f.data());
    jh.sxstride = 3 * sizeof(float);
    jh.cvt = cvt_floatRGB;
    if (kind == kDouble) {
      d.assign(f.begin(), f.end());
      jh.spixels = reinterpret_cast<const unsigned char*>(d.data());
      jh.sxstride = 3 * sizeof(double);
      jh.cvt = cvt_doubleRGB;
    } else if (kind == kMatrix) {
      jh.cvt = cvt_floatColor;
      jh.cvtdata = matrix;
    } else if (kind == kStrided) {
      jh.sxstride = 4 * sizeof(float);  // packed floats with a fourth channel
    }
    jh.systride = jh.sxstride * w;
  }
};

const Source::Kind kKinds[] = {Source::kFloat, Source::kDouble, Source::kMatrix, Source::kStrided};
const int kWidths[] = {1, 7, 8, 37, 64, 203};

std::vector<float> luminances(const jpeghdr_compress_struct& jh) {
  const int w = static_cast<int>(jh.cinfo.image_width), h = static_cast<int>(jh.cinfo.image_height);
  std::vector<float> lum(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; y++) jh_lum_row_plain(&jh, y, &lum[static_cast<size_t>(y) * w]);
  return lum;
}

// Three planes of w bytes in v, as the foreground kernels write them.
struct Planes {
  uint8_t* p[3];
  Planes(std::vector<uint8_t>& v, int w) : p{v.data(), v.data() + w, v.data() + 2 * w} {}
};

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(RowKernels, LuminanceAndHistogramAgreeOnEverySource) {
  REQUIRE_AVX2();
  for (Source::Kind kind : kKinds)
    for (int w : kWidths) {
      Source s(w, 5, kind, 11 + w);
      const std::vector<float> plain = luminances(s.jh);
      std::vector<float> fast(plain.size());
      for (int y = 0; y < 5; y++) {
        const float top = jh_lum_row_avx2(&s.jh, y, &fast[static_cast<size_t>(y) * w]);
        ASSERT_EQ(top, *std::max_element(fast.begin() + y * w, fast.begin() + (y + 1) * w));
        std::vector<float> row(w);
        ASSERT_EQ(jh_lum_row_plain(&s.jh, y, row.data()), top);
      }
      ASSERT_TRUE(sameBits(plain, fast)) << "kind " << kind << " width " << w;
    }
  // Bin edges, the range limits and non-finite luminances.
  std::vector<float> lum = hostileValues(4099, 3, 1e-12f, 1e12f);
  for (float v : {1e-10f, 1e10f, 9.99999e9f, 1.0000001e-10f}) lum.push_back(v);
  // Values a few units in the last place around every bin edge, where any change in the
  // logarithm's rounding moves a count.
  for (int b = 1; b < 2048; b++) {
    float v = static_cast<float>(std::exp(std::log(1e-10) + b * (std::log(1e20)) / 2048));
    for (int k = 0; k < 20; k++) v = std::nextafter(v, 0.f);
    for (int k = 0; k < 40; k++, v = std::nextafter(v, kInf)) lum.push_back(v);
  }
  // Smooth stretches, where a bin holds long runs of pixels, broken by pixels out of range.
  for (int k = 0; k < 9000; k++)
    lum.push_back(k % 613 == 0 ? kNaN : (k % 997 == 5 ? 1e11f : 1e-3f * std::exp(0.0007f * k)));
  for (int bins : {1, 7, 2048}) {
    JHHistoArgs a;
    a.lmin = 1e-10f;
    a.lmax = 1e10f;
    a.loglmin = std::log(a.lmin);
    a.sf = static_cast<float>(bins) / (std::log(a.lmax) - a.loglmin);
    a.bins = bins;
    std::vector<uint32_t> plain(static_cast<size_t>(bins) * JH_HISTO_COPIES), fast(plain.size());
    jh_histo_row_plain(&a, lum.data(), static_cast<int>(lum.size()), plain.data());
    jh_histo_row_avx2(&a, lum.data(), static_cast<int>(lum.size()), fast.data());
    for (int i = 0; i < bins; i++) {
      uint32_t sum = 0;
      for (int c = 0; c < JH_HISTO_COPIES; c++) sum += fast[static_cast<size_t>(c) * bins + i];
      ASSERT_EQ(plain[i], sum) << "bin " << i << " of " << bins;
    }
  }
}

// Runs the two tone-mapping passes over the whole source with one kernel.
std::vector<uint8_t> toneMap(const Source& s, const JHCodeTable& thr, float scale, bool fast,
                             float* white) {
  const int w = static_cast<int>(s.jh.cinfo.image_width);
  const int h = static_cast<int>(s.jh.cinfo.image_height);
  const std::vector<float> lum = luminances(s.jh);
  std::vector<uint8_t> codes(lum.size(), 77);
  JHToneState st{&s.jh, &thr, scale, 1e4f, 1.f, false, 0};
  for (st.pass = 0; st.pass < 2; st.pass++) {
    for (int y = 0; y < h; y++) {
      const size_t at = static_cast<size_t>(y) * w;
      (fast ? jh_tone_row_avx2 : jh_tone_row_plain)(&st, y, &lum[at], &codes[at]);
    }
  }
  *white = st.white;
  return codes;
}

// Values at every code threshold and a few units in the last place either side find the same
// code in the vector search (through the correction kernel, with every ratio 1) as in the
// plain one.
TEST(RowKernels, CodeSearchAgreesAtEveryThreshold) {
  REQUIRE_AVX2();
  float ratio[256];
  for (float& r : ratio) r = 1.f;
  for (float gamma : {1.f, 1.8f, 2.2f, 4.f}) {
    JHCodeTable thr;
    jh_code_thresholds(&thr, gamma);
    std::vector<float> lum;
    for (int t = 1; t < 256; t++) {
      float v = thr.thr[t];
      for (int k = 0; k < 3; k++) v = std::nextafter(v, 0.f);
      for (int k = 0; k < 7; k++, v = std::nextafter(v, kInf)) lum.push_back(v);
    }
    const int n = static_cast<int>(lum.size());
    std::vector<uint8_t> rimg(lum.size(), 0), tp(lum.size(), 255), tf = tp;
    jh_correct_row_plain(&thr, ratio, 0, lum.data(), rimg.data(), tp.data(), n);
    jh_correct_row_avx2(&thr, ratio, 0, lum.data(), rimg.data(), tf.data(), n);
    ASSERT_EQ(tp, tf) << "gamma " << gamma;
    for (int i = 0; i < n; i++) ASSERT_EQ(tp[i], jh_code_search_plain(&thr, lum[i]));
  }
}

TEST(RowKernels, ToneMappingAgreesThroughGamutReductions) {
  REQUIRE_AVX2();
  for (float gamma : {1.f, 1.8f, 2.2f, 3.f}) {
    JHCodeTable thr;
    jh_code_thresholds(&thr, gamma);
    for (Source::Kind kind : kKinds)
      for (float alpha : {1.f, 0.8f})
        for (float scale : {1e-3f, 0.5f, 40.f}) {
          Source s(37, 9, kind, 5);
          s.jh.alpha = alpha;
          float wp, wf;
          const std::vector<uint8_t> plain = toneMap(s, thr, scale, false, &wp);
          const std::vector<uint8_t> fast = toneMap(s, thr, scale, true, &wf);
          ASSERT_EQ(plain, fast) << gamma << " " << kind << " " << alpha << " " << scale;
          ASSERT_EQ(wp, wf);
        }
  }
}

// The steps a code search takes from its cell never exceed the table's count.
TEST(RowKernels, CodeSearchStepsStayWithinTheTableCount) {
  for (float gamma : {1.f, 1.8f, 2.2f, 4.f}) {
    JHCodeTable ct;
    jh_code_thresholds(&ct, gamma);
    EXPECT_GE(ct.steps, 1);
    if (gamma >= 2.f) {
      EXPECT_EQ(ct.steps, 1) << "one threshold a cell above gamma 2";
    }
    for (uint32_t bits = JHCodeTable::kFirstCell << JHCodeTable::kShift;
         bits < (JHCodeTable::kLastCell << JHCodeTable::kShift); bits += 4099) {
      float v;
      std::memcpy(&v, &bits, sizeof v);
      const int start = ct.cell[(bits >> JHCodeTable::kShift) - JHCodeTable::kFirstCell];
      ASSERT_LE(jh_code_search_plain(&ct, v) - start, ct.steps) << v << " gamma " << gamma;
    }
  }
}

TEST(RowKernels, RatioCodesCorrectionAndForegroundAgree) {
  REQUIRE_AVX2();
  float table[256], lntable[256], ratio[256];
  for (int t = 0; t < 256; t++) {
    table[t] = std::pow((t + 0.5f) / 256.f, 2.2f);
    lntable[t] = std::log(table[t]) - 3.f;
    ratio[t] = std::exp(-3.f + (t + 0.5f) / 256.f * 9.f);
  }
  std::mt19937 gen(9);
  for (int w : kWidths) {
    // Luminances around the codes' range, some dark; codes including black.
    std::vector<float> lum = hostileValues(static_cast<size_t>(w), 40 + w, 1e-12f, 1e4f);
    for (float& l : lum)
      if (!(l == l) || std::fabs(l) > 1e19f) l = 0.f;  // luminances are finite
    std::vector<uint8_t> codes(lum.size());
    for (uint8_t& t : codes) t = static_cast<uint8_t>(gen() % 7 == 0 ? 0 : gen() % 256);
    for (float rscale : {28.f, 2000.f}) {  // narrow and wide: some codes clip at 0 and 255
      JHRatioArgs ra{rscale, lntable};
      std::vector<uint8_t> rp(codes.size()), rf(codes.size());
      jpeghdr_random gp, gf;
      jh_seed(&gp, 3);
      jh_seed(&gf, 3);
      jh_ratio_row_plain(&ra, lum.data(), codes.data(), rp.data(), w, &gp, 1000u * w);
      jh_ratio_row_avx2(&ra, lum.data(), codes.data(), rf.data(), w, &gf, 1000u * w);
      ASSERT_EQ(rp, rf) << w;
    }
    for (float gamma : {1.f, 2.2f}) {
      JHCodeTable thr;
      jh_code_thresholds(&thr, gamma);
      std::vector<uint8_t> rimg(codes.size()), tp = codes, tf = codes;
      for (uint8_t& r : rimg) r = static_cast<uint8_t>(gen());
      jh_correct_row_plain(&thr, ratio, 20, lum.data(), rimg.data(), tp.data(), w);
      jh_correct_row_avx2(&thr, ratio, 20, lum.data(), rimg.data(), tf.data(), w);
      ASSERT_EQ(tp, tf) << w << " gamma " << gamma;
    }
  }
  for (Source::Kind kind : kKinds)
    for (float alpha : {1.f, 0.7f})
      for (int w : kWidths) {
        Source s(w, 3, kind, 70 + w);
        s.jh.alpha = alpha;
        const std::vector<float> lum = luminances(s.jh);
        std::vector<uint8_t> codes(lum.size());
        for (size_t i = 0; i < codes.size(); i++)
          codes[i] =
              lum[i] <= 1e-10f || gen() % 9 == 0 ? 0 : static_cast<uint8_t>(20 + gen() % 236);
        for (int y = 0; y < 3; y++) {
          const size_t at = static_cast<size_t>(y) * w;
          std::vector<uint8_t> p(3 * static_cast<size_t>(w)), f(p.size());
          jh_fg_row_plain(&s.jh, y, table, &lum[at], &codes[at], Planes(p, w).p);
          jh_fg_row_avx2(&s.jh, y, table, &lum[at], &codes[at], Planes(f, w).p);
          ASSERT_EQ(p, f) << "kind " << kind << " alpha " << alpha << " width " << w;
        }
      }
}

// Display luminances a few units in the last place around every level of the sRGB curve, on
// grey and coloured pixels: any change in the curve's rounding moves a byte.
TEST(RowKernels, ForegroundBytesAgreeAtEveryLevelBoundary) {
  REQUIRE_AVX2();
  const float colours[][3] = {{1.f, 1.f, 1.f}, {1.f, 0.5f, 0.25f}, {0.2f, 0.6f, 1.f}};
  for (const auto& c : colours) {
    Source s(255, 1, Source::kFloat, 1);
    for (int x = 0; x < 255; x++) std::memcpy(&s.f[3 * x], c, sizeof c);
    const std::vector<float> lum = luminances(s.jh);
    std::vector<uint8_t> codes(255);
    for (int x = 0; x < 255; x++) codes[x] = static_cast<uint8_t>(x + 1);
    for (int k = 1; k < 256; k++) {
      const double e = k / 256.0;
      float table[256];
      float v = static_cast<float>(e <= 0.04045 ? e / 12.92 : std::pow((e + 0.055) / 1.055, 2.4));
      for (int t = 0; t < 128; t++) v = std::nextafter(v, 0.f);
      for (int t = 0; t < 256; t++, v = std::nextafter(v, kInf)) table[t] = v;
      std::vector<uint8_t> p(3 * 255), f(p.size());
      jh_fg_row_plain(&s.jh, 0, table, lum.data(), codes.data(), Planes(p, 255).p);
      jh_fg_row_avx2(&s.jh, 0, table, lum.data(), codes.data(), Planes(f, 255).p);
      ASSERT_EQ(p, f) << "level " << k;
    }
  }
}

TEST(RowKernels, RaisingCodesAndTheRangeScanAgree) {
  REQUIRE_AVX2();
  std::mt19937 gen(4);
  for (size_t n : {size_t{0}, size_t{5}, size_t{32}, size_t{100}, size_t{1000}}) {
    for (int spread : {1, 21, 256}) {  // all at or below the floor, then mixed
      std::vector<uint8_t> codes(n);
      for (uint8_t& t : codes) t = static_cast<uint8_t>(gen() % spread);
      // Black pixels here and there, and luminances at the black limit.
      std::vector<float> lum(n, 0.5f);
      for (size_t i = 0; i < n; i++)
        if (gen() % 5 == 0) lum[i] = i % 3 == 0 ? 1e-10f : (i % 3 == 1 ? 0.f : 1.0000001e-10f);
      std::vector<uint8_t> p = codes, f = codes;
      ASSERT_EQ(jh_raise_codes_plain(p.data(), lum.data(), n, 20),
                jh_raise_codes_avx2(f.data(), lum.data(), n, 20));
      ASSERT_EQ(p, f);
      for (size_t i = 0; i < n; i++)
        ASSERT_EQ(p[i], lum[i] <= 1e-10f ? 0 : std::max<int>(codes[i], 20)) << i;
    }
  }
  float table[256];
  for (int t = 0; t < 256; t++) table[t] = std::pow((t + 0.5f) / 256.f, 2.2f);
  for (int w : {31, 64, 1000, 5000}) {
    std::vector<float> lum = hostileValues(static_cast<size_t>(w), 8, 1e-12f, 1e3f);
    std::vector<uint8_t> codes(lum.size());
    for (size_t i = 0; i < codes.size(); i++)  // mostly mid codes, so groups are skipped
      codes[i] = static_cast<uint8_t>(i % 97 == 0 ? gen() % 256 : 100 + gen() % 40);
    if (w == 5000)  // many pixels near the extremes: examined groups that keep the extremes
      for (size_t i = 0; i < codes.size(); i++)
        codes[i] = static_cast<uint8_t>(i < 2 ? 20 + 230 * i
                                              : (i % 3 ? 20 + gen() % 25 : 200 + gen() % 56));
    JHRangeState p{table, 1e-6f, 1e2f, 1e10f, 0.f, 255, 0}, f = p;
    jh_range_row_plain(&p, codes.data(), lum.data(), w);
    jh_range_row_avx2(&f, codes.data(), lum.data(), w);
    EXPECT_EQ(p.rmin, f.rmin);
    EXPECT_EQ(p.rmax, f.rmax);
    EXPECT_EQ(p.tsmall, f.tsmall);
    EXPECT_EQ(p.tlarge, f.tlarge);
  }
}

// The range scan split into pieces, each started from the extreme codes of the pixels in range
// before it, takes exactly the pixels of the scan in order; the extremes agree across kernels.
TEST(RowKernels, RangeScanInPiecesMatchesTheScanInOrder) {
  REQUIRE_AVX2();
  float table[256];
  for (int t = 0; t < 256; t++) table[t] = std::pow((t + 0.5f) / 256.f, 2.2f);
  const int n = 3000;
  const float lmin = 1e-7f, lmax = 1e2f;
  for (uint32_t seed = 0; seed < 12; seed++) {
    std::mt19937 gen(seed);
    std::vector<float> lum = hostileValues(n, 13 + seed, 1e-12f, 1e3f);
    // Codes spread ever wider, so the extremes widen all along, and luminances whose ratios
    // do not depend on the code: the range tells which pixels were taken. Every fifth pixel
    // keeps a hostile luminance outside the range.
    std::vector<uint8_t> codes(n);
    std::uniform_real_distribution<float> u(-4.f, 4.f), spread(-1.f, 1.f);
    for (int i = 0; i < n; i++) {
      const int c = 128 + static_cast<int>(127.f * i / n * spread(gen));
      codes[i] = static_cast<uint8_t>(c);
      if (i % 5 != 0 || (lum[i] >= lmin && lum[i] <= lmax)) lum[i] = table[c] * std::exp(u(gen));
      if (!(lum[i] == lum[i]) || std::fabs(lum[i]) > 1e19f) lum[i] = 0.f;
    }
    JHRangeState whole{table, lmin, lmax, 1e10f, 0.f, 255, 0};
    jh_range_row_plain(&whole, codes.data(), lum.data(), n);
    for (int piece : {1, 8, 37, 1000}) {
      float rmin = 1e10f, rmax = 0.f;
      int lo = 255, hi = 0;
      for (int x = 0; x < n; x += piece) {
        const int m = std::min(piece, n - x);
        JHRangeState s{table, lmin, lmax, 1e10f, 0.f, lo, hi};
        jh_range_row(&s, &codes[x], &lum[x], m);
        rmin = std::min(rmin, s.rmin);
        rmax = std::max(rmax, s.rmax);
        int plo = lo, phi = hi;
        jh_code_extremes_plain(&codes[x], &lum[x], m, lmin, lmax, &plo, &phi);
        jh_code_extremes_avx2(&codes[x], &lum[x], m, lmin, lmax, &lo, &hi);
        ASSERT_EQ(plo, lo);
        ASSERT_EQ(phi, hi);
      }
      ASSERT_EQ(rmin, whole.rmin) << "seed " << seed << " piece " << piece;
      ASSERT_EQ(rmax, whole.rmax) << "seed " << seed << " piece " << piece;
      ASSERT_EQ(lo, whole.tsmall);
      ASSERT_EQ(hi, whole.tlarge);
    }
  }
}

TEST(RowKernels, ResamplerRowsAgree) {
  REQUIRE_AVX2();
  std::mt19937 gen(6);
  for (int n : {1, 7, 8, 9, 100}) {
    std::vector<uint8_t> s(static_cast<size_t>(n) + 16);
    for (uint8_t& b : s) b = static_cast<uint8_t>(gen());
    std::vector<int32_t> sp(n, 5), sf(n, 5), cp(n), cf(n);
    jh_weigh_row_plain(sp.data(), s.data(), 32767, n);
    jh_weigh_row_avx2(sf.data(), s.data(), 32767, n);
    ASSERT_EQ(sp, sf);
    jh_scale_row_plain(cp.data(), sp.data(), 98301.0, n);
    jh_scale_row_avx2(cf.data(), sf.data(), 98301.0, n);
    ASSERT_EQ(cp, cf);
    const uint8_t* const rows[4] = {&s[0], &s[1], &s[3], &s[6]};
    const int16_t w[4] = {-60, 700, 420, -36};
    jh_cubic_column_plain(rows, w, cp.data(), n);
    jh_cubic_column_avx2(rows, w, cf.data(), n);
    ASSERT_EQ(cp, cf);
    std::vector<int32_t> across[4];
    for (auto& a : across) {
      a.resize(n);
      for (int32_t& v : a) v = static_cast<int32_t>(gen() % 600000) - 150000;
    }
    const int32_t* const h[4] = {across[0].data(), across[1].data(), across[2].data(),
                                 across[3].data()};
    jh_cubic_down_plain(h, w, cp.data(), n);
    jh_cubic_down_avx2(h, w, cf.data(), n);
    ASSERT_EQ(cp, cf);
    // Indices that creep up as in an enlargement (from -1, the values padded by 2 a side),
    // and indices that jump about; the kernel may read 16 values past an index.
    std::vector<int32_t> col(2 + 60 + 16);
    for (int32_t& v : col) v = static_cast<int32_t>(gen() % 300000) - 20000;
    for (int spread : {0, 1}) {
      std::vector<int32_t> idx(n), vp(n), vf(n);
      std::vector<int32_t> ws[4];
      for (auto& v : ws) v.resize(n);
      for (int x = 0; x < n; x++) {
        idx[x] = spread ? static_cast<int32_t>(gen() % 60) - 1 : -1 + 3 * x / n;
        for (auto& v : ws) v[x] = static_cast<int32_t>(gen() % 1400) - 200;
      }
      const int32_t* const wk[4] = {ws[0].data(), ws[1].data(), ws[2].data(), ws[3].data()};
      jh_cubic_row_plain(col.data() + 2, idx.data(), wk, vp.data(), n);
      jh_cubic_row_avx2(col.data() + 2, idx.data(), wk, vf.data(), n);
      ASSERT_EQ(vp, vf) << "spread " << spread;
    }
  }
  // The dither's limits and many draws.
  std::vector<int32_t> v(20000);
  for (size_t i = 0; i < v.size(); i++) v[i] = static_cast<int32_t>(gen() % 268435456);
  const int32_t edges[] = {-5, 0, 1, 267386879, 267386880, 268435455};
  for (size_t i = 0; i < 6; i++) v[100 + 13 * i] = edges[i];
  std::vector<uint8_t> op(v.size()), of(v.size());
  jpeghdr_random gp, gf;
  jh_seed(&gp, 1);
  jh_seed(&gf, 1);
  jh_dither_row_plain(v.data(), op.data(), static_cast<int>(v.size()), &gp, 77);
  jh_dither_row_avx2(v.data(), of.data(), static_cast<int>(v.size()), &gf, 77);
  EXPECT_EQ(op, of);
  // The largest value that is dithered, with the largest noise, stays at 255.
  std::vector<int32_t> top(64, 267386879);
  std::vector<uint8_t> tp(top.size()), tf(top.size());
  uint32_t i0 = 0;  // a draw index whose noise exceeds 2^20
  while (jh_rand_at(&gp, i0 + 3) / 2047 <= (1 << 20)) i0++;
  jh_dither_row_plain(top.data(), tp.data(), 64, &gp, i0);
  jh_dither_row_avx2(top.data(), tf.data(), 64, &gf, i0);
  EXPECT_EQ(tp[3], 255);
  EXPECT_EQ(tp, tf);
}

// Chroma halving: the vector kernel agrees on odd lengths and extreme values, and the rounding
// alternates as libjpeg's own 2 x 2 subsampling does (a sum of 2 gives 0, then 1).
TEST(RowKernels, ChromaHalvingAgreesAndAlternatesItsRounding) {
  REQUIRE_AVX2();
  std::mt19937 gen(8);
  for (int n : {1, 15, 16, 17, 33, 250}) {
    std::vector<uint8_t> a(2 * static_cast<size_t>(n)), b(a.size());
    for (size_t i = 0; i < a.size(); i++) {
      a[i] = static_cast<uint8_t>(i % 11 == 0 ? 255 : gen());
      b[i] = static_cast<uint8_t>(i % 7 == 0 ? 0 : gen());
    }
    std::vector<uint8_t> p(n), f(n);
    jh_halve_rows_plain(a.data(), b.data(), p.data(), n);
    jh_halve_rows_avx2(a.data(), b.data(), f.data(), n);
    ASSERT_EQ(p, f) << n;
  }
  std::vector<uint8_t> a(64, 255), b(64, 255), two(64, 0), out(32);
  jh_halve_rows(a.data(), b.data(), out.data(), 32);
  EXPECT_EQ(out, std::vector<uint8_t>(32, 255));
  for (size_t i = 0; i < two.size(); i += 2) two[i] = 2;
  std::vector<uint8_t> zero(64, 0);
  jh_halve_rows(two.data(), zero.data(), out.data(), 32);
  for (int j = 0; j < 32; j++) ASSERT_EQ(out[j], j & 1) << j;
}

TEST(Rand, EightDrawsAtOnceMatchEightSingleDraws) {
  // The dither of a uniform row through the vector kernel, draw by draw against single draws.
  std::vector<int32_t> v(8 * 1000, (100 << 20) + (1 << 19));  // half way to 101
  for (uint32_t seed : {0u, 1u, 7u, 123456u, 0xFFFFFFFFu}) {
    jpeghdr_random r;
    jh_seed(&r, seed);
    std::vector<uint8_t> out(v.size());
    jh_dither_row(v.data(), out.data(), static_cast<int>(v.size()), &r, 0xFFFFFF00u);
    int ones = 0;
    for (size_t i = 0; i < v.size(); i++) {
      const int32_t d = jh_rand_at(&r, 0xFFFFFF00u + static_cast<uint32_t>(i));  // wraps past 2^32
      ASSERT_EQ(out[i], (v[i] + d / 2047) >> 20) << seed << " " << i;
      ones += out[i] - 100;
    }
    // The noise is spread evenly: about half the pixels round up.
    EXPECT_NEAR(ones, 4000, 250) << seed;
  }
}

// The reduction as first written, in 64-bit integers throughout.
void reduceWide(const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh) {
  const float fx = static_cast<float>(dw) / sw, fy = static_cast<float>(dh) / sh;
  auto radius = [](float f) { return std::max(1, static_cast<int>(1.5f / f + 0.5f)); };
  auto weight = [](int r, float d) {
    return static_cast<int32_t>(32767.f / static_cast<float>(r) * std::exp(-2.7777777f * d * d) +
                                0.5f);
  };
  const int rx = radius(fx), ry = radius(fy);
  std::vector<int64_t> col(sw + 2 * (2 * rx + 1));
  int64_t* c = col.data() + rx;
  for (int y = 0; y < dh; y++) {
    const float cy = (y + 0.5f) / fy;
    const int i0 = static_cast<int>(cy) - ry;
    std::vector<std::pair<int, int32_t>> taps;
    int64_t wsum = 0;
    for (int k = 0; k < 2 * ry + 1; k++) {
      const int32_t w = weight(ry, fy * ((static_cast<float>(i0 + k) + 0.5f) - cy));
      if (w == 0) continue;
      taps.push_back({std::min(std::max(i0 + k, 0), sh - 1), w});
      wsum += w;
    }
    if (wsum == 0) {
      taps = {{std::min(static_cast<int>(cy), sh - 1), 1}};
      wsum = 1;
    }
    for (int j = 0; j < sw; j++) {
      int64_t s = 0;
      for (auto& t : taps)
        s += static_cast<int64_t>(t.second) * src[static_cast<size_t>(t.first) * sw + j];
      c[j] = s * 256 / wsum;
    }
    for (int j = 1; j <= rx; j++) {
      c[-j] = c[0];
      c[sw - 1 + j] = c[sw - 1];
    }
    for (int x = 0; x < dw; x++) {
      const float cx = (x + 0.5f) / fx;
      const int j0 = std::min(static_cast<int>(cx), sw - 1) - rx;
      int64_t sum = 0, ws = 0;
      for (int k = 0; k < 2 * rx + 1; k++) {
        const int32_t w = weight(rx, fx * ((static_cast<float>(j0 + k) + 0.5f) - cx));
        sum += static_cast<int64_t>(w) * c[j0 + k];
        ws += w;
      }
      const int64_t q = ws > 0 ? sum / ws : c[j0 + rx];
      dst[static_cast<size_t>(y) * dw + x] = q >= 0xFF00 ? 255 : static_cast<uint8_t>(q >> 8);
    }
  }
}

// The dithered enlargement as first written: down the four tap rows, then across, in 64-bit
// integers, with the dither drawn by pixel index.
void enlargeWide(const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh) {
  auto index = [](int i, int n, int m, int16_t w[4]) {
    const float s = (static_cast<float>(i) + 0.5f) * static_cast<float>(n) / m - 0.5f;
    const int is = s >= 0.f ? static_cast<int>(s) : static_cast<int>(s - 0.999999f);
    comp_interp(w, s - static_cast<float>(is));
    return is;
  };
  jpeghdr_random rng;
  jh_seed(&rng, 1);
  std::vector<int64_t> col(sw + 4);
  for (int y = 0; y < dh; y++) {
    int16_t wy[4];
    const int iy = index(y, sh, dh, wy);
    const int b = std::max(iy, 0), p = iy > 0 ? iy - 1 : 0;
    const int q1 = iy < sh - 1 ? b + 1 : b, q2 = iy < sh - 2 ? q1 + 1 : q1;
    const int rows[4] = {std::min(p, sh - 1), std::min(b, sh - 1), std::min(q1, sh - 1),
                         std::min(q2, sh - 1)};
    for (int j = -2; j < sw + 2; j++) {
      const int jj = std::min(std::max(j, 0), sw - 1);
      int64_t c = 0;
      for (int k = 0; k < 4; k++) c += int64_t{wy[k]} * src[static_cast<size_t>(rows[k]) * sw + jj];
      col[j + 2] = c;
    }
    for (int x = 0; x < dw; x++) {
      int16_t wx[4];
      const int ix = index(x, sw, dw, wx);
      int64_t v = 0;
      for (int k = 0; k < 4; k++) v += int64_t{wx[k]} * col[ix - 1 + k + 2];
      const size_t at = static_cast<size_t>(y) * dw + x;
      dst[at] =
          v <= 0
              ? 0
              : (v > 267386879
                     ? 255
                     : static_cast<uint8_t>(std::min<int64_t>(
                           (v + jh_rand_at(&rng, static_cast<uint32_t>(at)) / 2047) >> 20, 255)));
    }
  }
}

TEST(Resample, EnlargementMatchesWideIntegerArithmetic) {
  std::mt19937 gen(13);
  struct Case {
    int sw, sh, dw, dh;
  } cases[] = {{13, 9, 50, 31}, {1, 1, 7, 5}, {40, 1, 41, 3}, {143, 107, 400, 300}, {5, 5, 5, 5}};
  for (const Case& k : cases) {
    std::vector<uint8_t> src(static_cast<size_t>(k.sw) * k.sh);
    for (uint8_t& b : src) b = gen() % 4 == 0 ? 255 * (gen() % 2) : static_cast<uint8_t>(gen());
    std::vector<uint8_t> got(static_cast<size_t>(k.dw) * k.dh), want(got.size());
    ASSERT_EQ(jpeghdr_resample8(src.data(), k.sw, k.sh, got.data(), k.dw, k.dh), 1);
    enlargeWide(src.data(), k.sw, k.sh, want.data(), k.dw, k.dh);
    ASSERT_EQ(got, want) << k.sw << "x" << k.sh << " -> " << k.dw << "x" << k.dh;
  }
}

TEST(Resample, ReductionMatchesWideIntegerArithmetic) {
  std::mt19937 gen(12);
  struct Case {
    int sw, sh, dw, dh;
  } cases[] = {{400, 300, 143, 107}, {97, 61, 24, 15}, {64, 64, 16, 16}, {50, 9, 13, 9},
               {9, 50, 30, 5},       {300, 2, 7, 1},   {1000, 3, 1, 1}};
  for (const Case& k : cases) {
    std::vector<uint8_t> src(static_cast<size_t>(k.sw) * k.sh);
    for (uint8_t& b : src) b = gen() % 5 == 0 ? 255 : static_cast<uint8_t>(gen());
    std::vector<uint8_t> got(static_cast<size_t>(k.dw) * k.dh), want(got.size());
    ASSERT_EQ(gaussian8(src.data(), k.sw, k.sh, got.data(), k.dw, k.dh), 1);
    reduceWide(src.data(), k.sw, k.sh, want.data(), k.dw, k.dh);
    ASSERT_EQ(got, want) << k.sw << "x" << k.sh << " -> " << k.dw << "x" << k.dh;
  }
}

}  // namespace
