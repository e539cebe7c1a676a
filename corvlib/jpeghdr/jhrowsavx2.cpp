// AVX2 versions of the encoder's row kernels, chosen at run time when the processor has AVX2.
// Eight pixels at a time with exactly the operations of the plain kernels (no fused
// multiply-add, same order, tables read by gathers), so every value agrees bit for bit. A
// group of eight whose pixels need a rare path (values outside the tables' range, a colour
// out of gamut, desaturation, other sources) is left to the plain kernel.
#include "jpeghdr/jhprivate.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

// The helpers pass vectors by value; they are inlined into the AVX2 functions, so the
// calling-convention note does not apply.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

#define JH_AVX2 __attribute__((target("avx2")))

bool jh_have_avx2() {
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
}

namespace {

JH_AVX2 inline __m256 set1(float v) {
  return _mm256_set1_ps(v);
}
JH_AVX2 inline __m256i set1i(int v) {
  return _mm256_set1_epi32(v);
}

// Eight bytes widened to 32-bit lanes.
JH_AVX2 inline __m256i load8u8(const uint8_t* p) {
  return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

// Eight 32-bit lanes holding 0 .. 255 stored as bytes.
JH_AVX2 inline void store8u8(uint8_t* p, __m256i v) {
  const __m128i w = _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(w, w));
}

// NaN to 0 and limits of +-1e20, as jh_pixel does.
JH_AVX2 inline __m256 sanitise(__m256 v) {
  v = _mm256_and_ps(v, _mm256_cmp_ps(v, v, _CMP_ORD_Q));
  return _mm256_max_ps(_mm256_min_ps(v, set1(1e20f)), set1(-1e20f));
}

// Eight packed RGB float triples split into reds, greens and blues, sanitised.
JH_AVX2 inline void loadRGB8(const float* p, __m256* r, __m256* g, __m256* b) {
  const __m256 a0 = _mm256_loadu_ps(p), a1 = _mm256_loadu_ps(p + 8), a2 = _mm256_loadu_ps(p + 16);
  __m256 x = _mm256_blend_ps(_mm256_blend_ps(a0, a1, 0x92), a2, 0x24);
  *r = sanitise(_mm256_permutevar8x32_ps(x, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5)));
  x = _mm256_blend_ps(_mm256_blend_ps(a0, a1, 0x24), a2, 0x49);
  *g = sanitise(_mm256_permutevar8x32_ps(x, _mm256_setr_epi32(1, 4, 7, 2, 5, 0, 3, 6)));
  x = _mm256_blend_ps(_mm256_blend_ps(a0, a1, 0x49), a2, 0x92);
  *b = sanitise(_mm256_permutevar8x32_ps(x, _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7)));
}

JH_AVX2 inline __m256 luminance(__m256 r, __m256 g, __m256 b) {
  return _mm256_add_ps(
      _mm256_add_ps(_mm256_mul_ps(set1(0.2126f), r), _mm256_mul_ps(set1(0.7152f), g)),
      _mm256_mul_ps(set1(0.0722f), b));
}

// The packed float source rows the vector kernels read directly.
bool packedFloats(const jpeghdr_compress_struct* jh) {
  return jh->cvt == cvt_floatRGB && jh->sxstride == static_cast<int32_t>(3 * sizeof(float));
}

const float* sourceRow(const jpeghdr_compress_struct* jh, int y) {
  return reinterpret_cast<const float*>(jh->spixels + static_cast<ptrdiff_t>(y) * jh->systride);
}

// t[i] and t[i + 1] for eight indices: each pair of neighbours is read as one 64-bit
// element, which halves the gathered elements.
JH_AVX2 inline void tablePairs(const float* t, __m256i i, __m256* t0, __m256* t1) {
  const long long* base = reinterpret_cast<const long long*>(t);
  const __m256 lo = _mm256_castsi256_ps(_mm256_i32gather_epi64(base, _mm256_castsi256_si128(i), 4));
  const __m256 hi =
      _mm256_castsi256_ps(_mm256_i32gather_epi64(base, _mm256_extracti128_si256(i, 1), 4));
  // lo holds a0 a1 b0 b1 c0 c1 d0 d1, hi e0 e1 ... h1; shuffles give a0 b0 e0 f0 c0 d0 g0 h0.
  *t0 = _mm256_castpd_ps(
      _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0))),
                            _MM_SHUFFLE(3, 1, 2, 0)));
  *t1 = _mm256_castpd_ps(
      _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1))),
                            _MM_SHUFFLE(3, 1, 2, 0)));
}

// jh_float_split of eight values (b their bits) without the exponent: the top `bits`
// mantissa bits in *i, the fraction of the rest in *f.
template <int bits>
JH_AVX2 inline void mantissaSplit(__m256i b, __m256i* i, __m256* f) {
  constexpr int kFrac = 23 - bits;
  const __m256i m = _mm256_and_si256(b, set1i(0x7FFFFF));
  *i = _mm256_srli_epi32(m, kFrac);
  *f = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_and_si256(m, set1i((1 << kFrac) - 1))),
                     set1(1.f / static_cast<float>(1 << kFrac)));
}

// jh_fast_log of eight values.
JH_AVX2 inline __m256 fastLog(__m256 x) {
  const __m256i b = _mm256_castps_si256(x);
  const __m256i e = _mm256_sub_epi32(_mm256_srli_epi32(b, 23), set1i(127));
  __m256i i;
  __m256 f, t0, t1;
  mantissaSplit<JHFastTables::kLogBits>(b, &i, &f);
  tablePairs(jh_fast_tables.log2m, i, &t0, &t1);
  return _mm256_mul_ps(_mm256_add_ps(_mm256_add_ps(_mm256_cvtepi32_ps(e), t0),
                                     _mm256_mul_ps(f, _mm256_sub_ps(t1, t0))),
                       set1(0.69314718f));
}

// The largest value the vector sRGB curve takes: below it the exponent factor comes from 16
// table entries, two registers.
constexpr float kSrgbTop = 128.f;
static_assert(-JHFastTables::kExpLow + 6 == 16, "exponents -9 .. 6 index powe[1 .. 16]");

// jh_srgb_encode_fast of eight values in [-0.0031308, kSrgbTop) (others give meaningless
// lanes; rgb2ycc sends them to the plain kernel).
JH_AVX2 inline __m256 srgbEncode(__m256 v) {
  const __m256 fast = _mm256_cmp_ps(v, set1(0.0031308f), _CMP_GT_OQ);
  const __m256i b = _mm256_castps_si256(v);
  // powe[e - kExpLow] for e = -9 .. 6 is powe[1 + k], k = e + 9 = 0 .. 15.
  const __m256i k = _mm256_sub_epi32(_mm256_srli_epi32(b, 23), set1i(127 - 9));
  const float* pe = jh_fast_tables.powe + 1;
  const __m256 e0 = _mm256_permutevar8x32_ps(_mm256_loadu_ps(pe), k),
               e1 = _mm256_permutevar8x32_ps(_mm256_loadu_ps(pe + 8), k);
  const __m256 ef = _mm256_blendv_ps(e0, e1, _mm256_castsi256_ps(_mm256_cmpgt_epi32(k, set1i(7))));
  __m256i i;
  __m256 f, t0, t1;
  mantissaSplit<JHFastTables::kPowBits>(b, &i, &f);
  tablePairs(jh_fast_tables.powm, i, &t0, &t1);
  const __m256 p = _mm256_mul_ps(ef, _mm256_add_ps(t0, _mm256_mul_ps(f, _mm256_sub_ps(t1, t0))));
  const __m256 enc = _mm256_sub_ps(_mm256_mul_ps(set1(1.055f), p), set1(0.055f));
  return _mm256_blendv_ps(_mm256_mul_ps(set1(12.92f), v), enc, fast);
}

// jh_code_byte of eight values.
JH_AVX2 inline __m256i codeByte(__m256 v) {
  const __m256 c = _mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), set1(1.f));
  return _mm256_min_epi32(_mm256_cvttps_epi32(_mm256_mul_ps(set1(256.f), c)), set1i(255));
}

// jh_rgb2ycc_fast of eight colours: Y, Cb and Cr bytes in 32-bit lanes.
JH_AVX2 __attribute__((always_inline)) inline void rgb2ycc(__m256 r, __m256 g, __m256 b,
                                                           __m256i ycc[3], __m256* bad) {
  // Every channel in [-0.0031308, kSrgbTop), and no NaN (which the sum keeps), or the plain
  // curve decides.
  const __m256 lo = _mm256_min_ps(_mm256_min_ps(r, g), b),
               hi = _mm256_max_ps(_mm256_max_ps(r, g), b);
  const __m256 sum = _mm256_add_ps(_mm256_add_ps(r, g), b);
  const __m256 ok = _mm256_and_ps(_mm256_and_ps(_mm256_cmp_ps(lo, set1(-0.0031308f), _CMP_GE_OQ),
                                                _mm256_cmp_ps(hi, set1(kSrgbTop), _CMP_LT_OQ)),
                                  _mm256_cmp_ps(sum, sum, _CMP_ORD_Q));
  *bad = _mm256_or_ps(*bad, _mm256_andnot_ps(ok, _mm256_castsi256_ps(set1i(-1))));
  r = srgbEncode(r);
  g = srgbEncode(g);
  b = srgbEncode(b);
  ycc[0] = codeByte(
      _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(set1(0.299f), r), _mm256_mul_ps(set1(0.587f), g)),
                    _mm256_mul_ps(set1(0.114f), b)));
  ycc[1] = codeByte(_mm256_add_ps(_mm256_add_ps(_mm256_sub_ps(_mm256_mul_ps(set1(-0.16874f), r),
                                                              _mm256_mul_ps(set1(0.33126f), g)),
                                                _mm256_mul_ps(set1(0.5f), b)),
                                  set1(0.5f)));
  ycc[2] = codeByte(_mm256_add_ps(
      _mm256_sub_ps(_mm256_sub_ps(_mm256_mul_ps(set1(0.5f), r), _mm256_mul_ps(set1(0.41869f), g)),
                    _mm256_mul_ps(set1(0.08131f), b)),
      set1(0.5f)));
}

// jh_code_search of eight values; lanes below the cells' range are added to *bad.
JH_AVX2 inline __m256i codeSearch(const JHCodeTable* ct, __m256 v, __m256i* bad) {
  const __m256i c = _mm256_srli_epi32(_mm256_castps_si256(v), JHCodeTable::kShift);
  const __m256i pos = _mm256_castps_si256(_mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GT_OQ));
  const __m256i low = _mm256_cmpgt_epi32(set1i(JHCodeTable::kFirstCell), c);
  const __m256i high = _mm256_cmpgt_epi32(c, set1i(JHCodeTable::kLastCell - 1));
  *bad = _mm256_or_si256(*bad, _mm256_and_si256(pos, low));
  const __m256i inside = _mm256_andnot_si256(_mm256_or_si256(low, high), pos);
  __m256i idx = _mm256_sub_epi32(c, set1i(JHCodeTable::kFirstCell));
  idx = _mm256_and_si256(idx, inside);  // other lanes read cell 0
  if (ct->steps <= 1) {  // one read: the cell's code, and one more past its threshold
    const __m256i e = _mm256_i32gather_epi32(reinterpret_cast<const int*>(ct->packed), idx, 4);
    const __m256i lowBits = _mm256_and_si256(_mm256_castps_si256(v), set1i(0xFFFF));
    const __m256i past = _mm256_cmpgt_epi32(
        lowBits, _mm256_sub_epi32(_mm256_and_si256(e, set1i(0x1FFFF)), set1i(1)));
    const __m256i t1 = _mm256_sub_epi32(_mm256_srli_epi32(e, 17), past);
    return _mm256_or_si256(_mm256_and_si256(_mm256_min_epi32(t1, set1i(255)), inside),
                           _mm256_and_si256(_mm256_and_si256(pos, high), set1i(255)));
  }
  __m256i t = _mm256_and_si256(
      _mm256_i32gather_epi32(reinterpret_cast<const int*>(ct->cell), idx, 1), set1i(0xFF));
  // Most tables (gamma 2 and above) hold at most one threshold a cell: one step, no test.
  for (int k = 0; k < ct->steps; k++) {
    const __m256 next = _mm256_i32gather_ps(ct->thr + 1, t, 4);
    const __m256i step =
        _mm256_and_si256(inside, _mm256_castps_si256(_mm256_cmp_ps(v, next, _CMP_GE_OQ)));
    if (ct->steps > 1 && _mm256_testz_si256(step, step)) break;
    t = _mm256_sub_epi32(t, step);
  }
  t = _mm256_min_epi32(t, set1i(255));
  // Positive values past the last cell are at least 1: code 255; the rest (not positive) 0.
  return _mm256_or_si256(_mm256_and_si256(t, inside),
                         _mm256_and_si256(_mm256_and_si256(pos, high), set1i(255)));
}

// Draws i .. i + 7 of r in lanes 0 .. 7, as jh_rand_at.
JH_AVX2 inline __m256i draws8(const jpeghdr_random* r, uint32_t i) {
  const __m256i idx =
      _mm256_add_epi32(set1i(static_cast<int>(i)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  __m256i h = _mm256_add_epi32(_mm256_mullo_epi32(idx, set1i(static_cast<int>(0x9E3779B9u))),
                               set1i(static_cast<int>(r->state)));
  h = _mm256_xor_si256(h, _mm256_srli_epi32(h, 16));
  h = _mm256_mullo_epi32(h, set1i(static_cast<int>(0x85EBCA6Bu)));
  h = _mm256_xor_si256(h, _mm256_srli_epi32(h, 13));
  h = _mm256_mullo_epi32(h, set1i(static_cast<int>(0xC2B2AE35u)));
  h = _mm256_xor_si256(h, _mm256_srli_epi32(h, 16));
  return _mm256_srli_epi32(h, 1);
}

// The integer quotient r / 2047 of non-negative 31-bit lanes: a single-precision estimate is
// within 1 of it (r is off by at most 128 as a float), and the remainder corrects it.
JH_AVX2 inline __m256i quotient2047(__m256i r) {
  const __m256i q = _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(r), set1(1.f / 2047.f)));
  const __m256i rem = _mm256_sub_epi32(r, _mm256_mullo_epi32(q, set1i(2047)));
  const __m256i under = _mm256_cmpgt_epi32(_mm256_setzero_si256(), rem);  // -1 where rem < 0
  const __m256i over = _mm256_cmpgt_epi32(rem, set1i(2046));              // -1 where rem > 2046
  return _mm256_sub_epi32(_mm256_add_epi32(q, under), over);
}

}  // namespace

JH_AVX2 float jh_lum_row_avx2(const jpeghdr_compress_struct* jh, int y, float* out) {
  if (!packedFloats(jh)) return jh_lum_row_plain(jh, y, out);
  const int w = static_cast<int>(jh->cinfo.image_width);
  const float* src = sourceRow(jh, y);
  __m256 top = set1(-3.4e38f);
  int x = 0;
  for (; x + 8 <= w; x += 8) {
    __m256 r, g, b;
    loadRGB8(src + 3 * x, &r, &g, &b);
    const __m256 l = luminance(r, g, b);
    top = _mm256_max_ps(top, l);
    _mm256_storeu_ps(out + x, l);
  }
  alignas(32) float t[8];
  _mm256_store_ps(t, top);
  float m = t[0];
  for (int k = 1; k < 8; k++) m = m > t[k] ? m : t[k];
  for (; x < w; x++) {
    float rgb[3];
    jh_pixel(jh, x, y, rgb);
    out[x] = jh_luminance(rgb);
    m = m > out[x] ? m : out[x];
  }
  return m;
}

JH_AVX2 void jh_histo_row_avx2(const JHHistoArgs* a, const float* lum, int n, uint32_t* histo) {
  const __m256 lmin = set1(a->lmin), lmax = set1(a->lmax), loglmin = set1(a->loglmin),
               sf = set1(a->sf);
  const __m256i top = set1i(a->bins - 1), one = set1i(1);
  // Each lane counts into its own copy of the bins, and holds a run: the bin of the last pixel
  // it counted and how many of its pixels fell there since. A run is added to the histogram
  // only when the lane's bin changes, so smooth rows cost few memory increments.
  const int nb = a->bins;
  const __m256i copy = _mm256_setr_epi32(0, nb, 2 * nb, 3 * nb, 4 * nb, 5 * nb, 6 * nb, 7 * nb);
  __m256i runBin = copy, runCount = _mm256_setzero_si256();
  alignas(32) int32_t at[8];
  alignas(32) uint32_t count[8];
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 l = _mm256_loadu_ps(lum + i);
    const __m256i keep = _mm256_castps_si256(
        _mm256_and_ps(_mm256_cmp_ps(l, lmin, _CMP_GE_OQ), _mm256_cmp_ps(l, lmax, _CMP_LT_OQ)));
    if (_mm256_testz_si256(keep, keep)) continue;
    __m256i b = _mm256_cvttps_epi32(_mm256_mul_ps(sf, _mm256_sub_ps(fastLog(l), loglmin)));
    b = _mm256_add_epi32(_mm256_min_epi32(_mm256_max_epi32(b, _mm256_setzero_si256()), top), copy);
    const __m256i same = _mm256_and_si256(keep, _mm256_cmpeq_epi32(b, runBin));
    runCount = _mm256_sub_epi32(runCount, same);  // +1 where the run goes on
    const __m256i moved = _mm256_andnot_si256(same, keep);
    if (_mm256_testz_si256(moved, moved)) continue;
    // Every lane's run is added (a fixed loop, no branch to mispredict); the lanes that moved
    // start a run of one, the others a run of none in their bin.
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), runBin);
    _mm256_store_si256(reinterpret_cast<__m256i*>(count), runCount);
    for (int k = 0; k < 8; k++) histo[at[k]] += count[k];
    runBin = _mm256_blendv_epi8(runBin, b, moved);
    runCount = _mm256_and_si256(moved, one);
  }
  _mm256_store_si256(reinterpret_cast<__m256i*>(at), runBin);
  _mm256_store_si256(reinterpret_cast<__m256i*>(count), runCount);
  for (int k = 0; k < 8; k++) histo[at[k]] += count[k];
  jh_histo_row_plain(a, lum + i, n - i, histo);
}

JH_AVX2 void jh_tone_row_avx2(JHToneState* s, int y, const float* lrow, uint8_t* trow) {
  const int w = static_cast<int>(s->jh->cinfo.image_width);
  // The gamut test is vectorised for packed floats without desaturation only.
  if (s->pass == 0 && (!packedFloats(s->jh) || !jh_desaturation_off(s->jh)))
    return jh_tone_row_plain(s, y, lrow, trow);
  const float* src = sourceRow(s->jh, y);
  const __m256 scale = set1(s->scale), lhi = set1(s->lhi), tiny = set1(1e-10f), half = set1(0.5f),
               one = set1(1.f);
  int x = 0;
  for (; x + 8 <= w; x += 8) {
    const __m256 l = _mm256_loadu_ps(lrow + x);
    const __m256 dark = _mm256_cmp_ps(l, tiny, _CMP_LE_OQ);
    const __m256 ls = _mm256_mul_ps(scale, l);
    const __m256 ld = _mm256_div_ps(_mm256_mul_ps(ls, set1(s->white)), _mm256_add_ps(ls, one));
    if (s->pass == 0) {
      const __m256 check = _mm256_andnot_ps(dark, _mm256_and_ps(_mm256_cmp_ps(ld, half, _CMP_GT_OQ),
                                                                _mm256_cmp_ps(l, lhi, _CMP_LE_OQ)));
      if (_mm256_movemask_ps(check) == 0) continue;
      __m256 r, g, b, bad = _mm256_setzero_ps();
      loadRGB8(src + 3 * x, &r, &g, &b);
      const __m256 f = _mm256_div_ps(ld, l);
      r = _mm256_mul_ps(r, f);
      g = _mm256_mul_ps(g, f);
      b = _mm256_mul_ps(b, f);
      // Lanes in jh_surely_in_gamut's box pass without the curve.
      const __m256 lo = _mm256_min_ps(_mm256_min_ps(r, g), b),
                   hi = _mm256_max_ps(_mm256_max_ps(r, g), b);
      const __m256 inbox = _mm256_and_ps(_mm256_cmp_ps(lo, set1(kGamutLow), _CMP_GE_OQ),
                                         _mm256_cmp_ps(hi, set1(kGamutHigh), _CMP_LE_OQ));
      if (_mm256_movemask_ps(_mm256_andnot_ps(inbox, check)) == 0) continue;
      __m256i ycc[3];
      rgb2ycc(r, g, b, ycc, &bad);
      __m256i out = _mm256_castps_si256(bad);
      for (const __m256i& c : ycc)
        out = _mm256_or_si256(out, _mm256_or_si256(_mm256_cmpgt_epi32(set1i(1), c),
                                                   _mm256_cmpgt_epi32(c, set1i(254))));
      if (_mm256_movemask_ps(_mm256_and_ps(check, _mm256_castsi256_ps(out))) != 0)
        jh_tone_span(s, y, lrow, trow, x, x + 8);  // white is lowered in pixel order there
      continue;
    }
    __m256i bad = _mm256_setzero_si256();
    const __m256i t = _mm256_andnot_si256(_mm256_castps_si256(dark), codeSearch(s->thr, ld, &bad));
    if (_mm256_movemask_ps(
            _mm256_castsi256_ps(_mm256_andnot_si256(_mm256_castps_si256(dark), bad))) != 0) {
      jh_tone_span(s, y, lrow, trow, x, x + 8);
      continue;
    }
    store8u8(trow + x, t);
  }
  jh_tone_span(s, y, lrow, trow, x, w);
}

JH_AVX2 void jh_ratio_row_avx2(const JHRatioArgs* a, const float* lrow, const uint8_t* trow,
                               uint8_t* rrow, int n, const jpeghdr_random* rng, uint32_t i0) {
  const __m256 rscale = set1(a->rscale), tiny = set1(1e-10f), lowest = set1(0.5f),
               highest = set1(255.5f);
  alignas(32) float v[8];
  int x = 0;
  for (; x + 8 <= n; x += 8) {
    const __m256 l = _mm256_loadu_ps(lrow + x);
    const __m256 dark = _mm256_cmp_ps(l, tiny, _CMP_LE_OQ);
    const __m256i t = load8u8(trow + x);
    const __m256 lt = _mm256_i32gather_ps(a->lntable, t, 4);
    const __m256 vv = _mm256_mul_ps(rscale, _mm256_sub_ps(fastLog(l), lt));
    const __m256 low = _mm256_cmp_ps(vv, lowest, _CMP_LT_OQ);
    const __m256 high = _mm256_cmp_ps(vv, highest, _CMP_GE_OQ);
    const int mid = 0xFF & ~_mm256_movemask_ps(_mm256_or_ps(dark, _mm256_or_ps(low, high)));
    if (mid == 0xFF) {  // the common case
      const __m256 u = _mm256_mul_ps(_mm256_cvtepi32_ps(draws8(rng, i0 + static_cast<uint32_t>(x))),
                                     set1(1.f / 2147483648.f));
      store8u8(rrow + x, _mm256_cvttps_epi32(_mm256_add_ps(_mm256_sub_ps(vv, u), lowest)));
      continue;
    }
    _mm256_store_ps(v, vv);
    const int d = _mm256_movemask_ps(dark);
    for (int k = 0; k < 8; k++) {
      if (d & (1 << k)) {
        rrow[x + k] = 0;
      } else if (v[k] < 0.5f) {
        rrow[x + k] = 0;
      } else if (v[k] >= 255.5f) {
        rrow[x + k] = 255;
      } else {
        const float u = static_cast<float>(jh_rand_at(rng, i0 + static_cast<uint32_t>(x + k))) *
                        (1.f / 2147483648.f);
        rrow[x + k] = static_cast<uint8_t>(v[k] - u + 0.5f);
      }
    }
  }
  jh_ratio_row_plain(a, lrow + x, trow + x, rrow + x, n - x, rng, i0 + static_cast<uint32_t>(x));
}

JH_AVX2 void jh_correct_row_avx2(const JHCodeTable* thr, const float* ratio, uint8_t floor,
                                 const float* lrow, const uint8_t* rrow, uint8_t* trow, int n) {
  const __m256i fl = set1i(floor);
  int x = 0;
  for (; x + 8 <= n; x += 8) {
    const __m256i t0 = load8u8(trow + x);
    const __m256i black = _mm256_cmpeq_epi32(t0, _mm256_setzero_si256());
    const __m256 q = _mm256_i32gather_ps(ratio, load8u8(rrow + x), 4);
    __m256i bad = _mm256_setzero_si256();
    __m256i t = codeSearch(thr, _mm256_div_ps(_mm256_loadu_ps(lrow + x), q), &bad);
    if (!_mm256_testz_si256(_mm256_andnot_si256(black, bad), _mm256_andnot_si256(black, bad))) {
      jh_correct_row_plain(thr, ratio, floor, lrow + x, rrow + x, trow + x, 8);
      continue;
    }
    t = _mm256_andnot_si256(black, _mm256_max_epi32(t, fl));
    store8u8(trow + x, t);
  }
  jh_correct_row_plain(thr, ratio, floor, lrow + x, rrow + x, trow + x, n - x);
}

JH_AVX2 void jh_fg_row_avx2(const jpeghdr_compress_struct* jh, int y, const float* table,
                            const float* lrow, const uint8_t* trow, uint8_t* const out[3]) {
  if (!packedFloats(jh) || !jh_desaturation_off(jh))
    return jh_fg_row_plain(jh, y, table, lrow, trow, out);
  const int w = static_cast<int>(jh->cinfo.image_width);
  const float* src = sourceRow(jh, y);
  const __m256i grey = set1i(128);
  int x = 0;
  for (; x + 8 <= w; x += 8) {
    const __m256i t = load8u8(trow + x);
    const __m256i zero = _mm256_cmpeq_epi32(t, _mm256_setzero_si256());
    __m256 r, g, b, bad = _mm256_setzero_ps();
    loadRGB8(src + 3 * x, &r, &g, &b);
    const __m256 f = _mm256_div_ps(_mm256_i32gather_ps(table, t, 4), _mm256_loadu_ps(lrow + x));
    __m256i ycc[3];
    rgb2ycc(_mm256_mul_ps(r, f), _mm256_mul_ps(g, f), _mm256_mul_ps(b, f), ycc, &bad);
    if (_mm256_movemask_ps(_mm256_andnot_ps(_mm256_castsi256_ps(zero), bad)) != 0) {
      jh_fg_span(jh, y, table, lrow, trow, out, x, x + 8);
      continue;
    }
    store8u8(out[0] + x, _mm256_andnot_si256(zero, ycc[0]));
    store8u8(out[1] + x, _mm256_blendv_epi8(ycc[1], grey, zero));
    store8u8(out[2] + x, _mm256_blendv_epi8(ycc[2], grey, zero));
  }
  jh_fg_span(jh, y, table, lrow, trow, out, x, w);
}

JH_AVX2 void jh_halve_rows_avx2(const uint8_t* a, const uint8_t* b, uint8_t* out, int n) {
  const __m256i ones = _mm256_set1_epi8(1);
  const __m256i bias = _mm256_set1_epi32(0x00020001);  // 1 at even outputs, 2 at odd
  int j = 0;
  for (; j + 16 <= n; j += 16) {
    // Sums of neighbouring pairs in 16-bit lanes, the two rows added, then the bias.
    const __m256i pa =
        _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 2 * j)), ones);
    const __m256i pb =
        _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 2 * j)), ones);
    const __m256i q = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(pa, pb), bias), 2);
    const __m256i packed =
        _mm256_permute4x64_epi64(_mm256_packus_epi16(q, q), _MM_SHUFFLE(3, 1, 2, 0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm256_castsi256_si128(packed));
  }
  jh_halve_rows_plain(a + 2 * j, b + 2 * j, out + j, n - j);
}

JH_AVX2 void jh_weigh_row_avx2(int32_t* sum, const uint8_t* s, int32_t w, int n) {
  const __m256i vw = set1i(w);
  int j = 0;
  for (; j + 8 <= n; j += 8) {
    __m256i* p = reinterpret_cast<__m256i*>(sum + j);
    _mm256_storeu_si256(
        p, _mm256_add_epi32(_mm256_loadu_si256(p), _mm256_mullo_epi32(vw, load8u8(s + j))));
  }
  jh_weigh_row_plain(sum + j, s + j, w, n - j);
}

JH_AVX2 void jh_scale_row_avx2(int32_t* c, const int32_t* sum, double d, int n) {
  const __m256d vd = _mm256_set1_pd(d), k256 = _mm256_set1_pd(256.0);
  int j = 0;
  for (; j + 4 <= n; j += 4) {
    const __m256d q = _mm256_div_pd(
        _mm256_mul_pd(
            _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sum + j))), k256),
        vd);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(c + j), _mm256_cvttpd_epi32(q));
  }
  jh_scale_row_plain(c + j, sum + j, d, n - j);
}

JH_AVX2 void jh_cubic_column_avx2(const uint8_t* const r[4], const int16_t w[4], int32_t* c,
                                  int n) {
  const __m256i w0 = set1i(w[0]), w1 = set1i(w[1]), w2 = set1i(w[2]), w3 = set1i(w[3]);
  int j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256i a = _mm256_add_epi32(_mm256_mullo_epi32(w0, load8u8(r[0] + j)),
                                       _mm256_mullo_epi32(w1, load8u8(r[1] + j)));
    const __m256i b = _mm256_add_epi32(_mm256_mullo_epi32(w2, load8u8(r[2] + j)),
                                       _mm256_mullo_epi32(w3, load8u8(r[3] + j)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(c + j), _mm256_add_epi32(a, b));
  }
  const uint8_t* const rest[4] = {r[0] + j, r[1] + j, r[2] + j, r[3] + j};
  jh_cubic_column_plain(rest, w, c + j, n - j);
}

JH_AVX2 void jh_cubic_down_avx2(const int32_t* const h[4], const int16_t w[4], int32_t* v, int n) {
  const __m256i w0 = set1i(w[0]), w1 = set1i(w[1]), w2 = set1i(w[2]), w3 = set1i(w[3]);
  int j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256i h0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h[0] + j)),
                  h1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h[1] + j)),
                  h2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h[2] + j)),
                  h3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h[3] + j));
    const __m256i a = _mm256_add_epi32(_mm256_mullo_epi32(w0, h0), _mm256_mullo_epi32(w1, h1));
    const __m256i b = _mm256_add_epi32(_mm256_mullo_epi32(w2, h2), _mm256_mullo_epi32(w3, h3));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(v + j), _mm256_add_epi32(a, b));
  }
  const int32_t* const rest[4] = {h[0] + j, h[1] + j, h[2] + j, h[3] + j};
  jh_cubic_down_plain(rest, w, v + j, n - j);
}

JH_AVX2 void jh_cubic_row_avx2(const int32_t* c, const int32_t* i, const int32_t* const w[4],
                               int32_t* v, int n) {
  const int* base = reinterpret_cast<const int*>(c);
  int x = 0;
  for (; x + 8 <= n; x += 8) {
    const __m256i ix = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(i + x));
    // When the eight indices lie within 7 of the first (as in any enlargement), the taps come
    // from two loaded registers; otherwise they are gathered.
    const __m256i rel = _mm256_sub_epi32(ix, _mm256_set1_epi32(i[x]));
    const bool near =
        _mm256_movemask_epi8(_mm256_cmpeq_epi32(_mm256_min_epu32(rel, set1i(7)), rel)) == -1;
    __m256i a = _mm256_setzero_si256(), b = a;
    if (near) {
      a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c + i[x] - 1));
      b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c + i[x] + 7));
    }
    __m256i sum = _mm256_setzero_si256();
    for (int k = 0; k < 4; k++) {
      const __m256i wk = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w[k] + x));
      __m256i ck;
      if (near) {
        const __m256i at = _mm256_add_epi32(rel, set1i(k));
        ck = _mm256_blendv_epi8(_mm256_permutevar8x32_epi32(a, at),
                                _mm256_permutevar8x32_epi32(b, at),
                                _mm256_cmpgt_epi32(at, set1i(7)));
      } else {
        ck = _mm256_i32gather_epi32(base + k - 1, ix, 4);
      }
      sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(wk, ck));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(v + x), sum);
  }
  const int32_t* const rest[4] = {w[0] + x, w[1] + x, w[2] + x, w[3] + x};
  jh_cubic_row_plain(c, i + x, rest, v + x, n - x);
}

JH_AVX2 void jh_dither_row_avx2(const int32_t* v, uint8_t* out, int n, const jpeghdr_random* rng,
                                uint32_t i0) {
  const __m256i top = set1i(267386879);
  int x = 0;
  for (; x + 8 <= n; x += 8) {
    const __m256i vv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + x));
    const __m256i outside =
        _mm256_or_si256(_mm256_cmpgt_epi32(set1i(1), vv), _mm256_cmpgt_epi32(vv, top));
    const __m256i q = quotient2047(draws8(rng, i0 + static_cast<uint32_t>(x)));
    if (!_mm256_testz_si256(outside, outside)) {
      // 0 below, 255 above, as the plain kernel
      const __m256i d =
          _mm256_min_epi32(_mm256_srli_epi32(_mm256_add_epi32(vv, q), 20), set1i(255));
      const __m256i low = _mm256_cmpgt_epi32(set1i(1), vv);
      const __m256i high = _mm256_cmpgt_epi32(vv, top);
      store8u8(out + x, _mm256_or_si256(_mm256_andnot_si256(_mm256_or_si256(low, high), d),
                                        _mm256_and_si256(high, set1i(255))));
      continue;
    }
    store8u8(out + x, _mm256_srli_epi32(_mm256_add_epi32(vv, q), 20));
  }
  jh_dither_row_plain(v + x, out + x, n - x, rng, i0 + static_cast<uint32_t>(x));
}

JH_AVX2 bool jh_raise_codes_avx2(uint8_t* t, const float* l, size_t n, uint8_t floor) {
  const __m256i fl = _mm256_set1_epi8(static_cast<char>(floor));
  const __m256 tiny = set1(1e-10f);
  __m256i above = _mm256_setzero_si256();  // bytes that differ from floor after raising
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i* p = reinterpret_cast<__m256i*>(t + i);
    const __m256i v = _mm256_max_epu8(_mm256_loadu_si256(p), fl);
    above = _mm256_or_si256(above, _mm256_xor_si256(v, fl));
    // Black pixels: 32 luminance comparisons packed to one byte mask.
    const __m256i d0 = _mm256_castps_si256(_mm256_cmp_ps(_mm256_loadu_ps(l + i), tiny, _CMP_LE_OQ));
    const __m256i d1 =
        _mm256_castps_si256(_mm256_cmp_ps(_mm256_loadu_ps(l + i + 8), tiny, _CMP_LE_OQ));
    const __m256i d2 =
        _mm256_castps_si256(_mm256_cmp_ps(_mm256_loadu_ps(l + i + 16), tiny, _CMP_LE_OQ));
    const __m256i d3 =
        _mm256_castps_si256(_mm256_cmp_ps(_mm256_loadu_ps(l + i + 24), tiny, _CMP_LE_OQ));
    // packs interleave the 128-bit halves; the permute puts the bytes back in pixel order.
    const __m256i d = _mm256_permutevar8x32_epi32(
        _mm256_packs_epi16(_mm256_packs_epi32(d0, d1), _mm256_packs_epi32(d2, d3)),
        _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    _mm256_storeu_si256(p, _mm256_andnot_si256(d, v));
  }
  const bool rest = jh_raise_codes_plain(t + i, l + i, n - i, floor);
  return rest || !_mm256_testz_si256(above, above);
}

namespace {

// The range scan of eight pixels. While no pixel examined here moves the extreme codes, the
// pixels examined are known before any is, and the smallest and largest ratio among them are
// what the scan in order would find; otherwise the plain scan takes the group.
JH_AVX2 inline void rangeGroup(JHRangeState* s, const uint8_t* trow, const float* lrow) {
  const __m256i t = load8u8(trow);
  const __m256 l = _mm256_loadu_ps(lrow);
  const __m256i inside = _mm256_and_si256(_mm256_cmpgt_epi32(t, set1i(s->tsmall + 19)),
                                          _mm256_cmpgt_epi32(set1i(s->tlarge - 19), t));
  const __m256 lit = _mm256_and_ps(_mm256_and_ps(_mm256_cmp_ps(l, set1(s->lmin), _CMP_GE_OQ),
                                                 _mm256_cmp_ps(l, set1(s->lmax), _CMP_LE_OQ)),
                                   _mm256_cmp_ps(l, set1(1e-10f), _CMP_GT_OQ));
  const __m256 exam = _mm256_andnot_ps(_mm256_castsi256_ps(inside), lit);
  if (_mm256_movemask_ps(exam) == 0) return;
  const __m256i moves = _mm256_or_si256(_mm256_cmpgt_epi32(set1i(s->tsmall), t),
                                        _mm256_cmpgt_epi32(t, set1i(s->tlarge)));
  if (_mm256_movemask_ps(_mm256_and_ps(exam, _mm256_castsi256_ps(moves))) != 0)
    return jh_range_row_plain(s, trow, lrow, 8);
  const __m256 r = _mm256_div_ps(l, _mm256_i32gather_ps(s->table, t, 4));
  alignas(32) float lo[8], hi[8];
  _mm256_store_ps(lo, _mm256_blendv_ps(set1(3.4e38f), r, exam));
  _mm256_store_ps(hi, _mm256_blendv_ps(set1(-3.4e38f), r, exam));
  for (int k = 0; k < 8; k++) {
    if (lo[k] < s->rmin) s->rmin = lo[k];
    if (hi[k] > s->rmax) s->rmax = hi[k];
  }
}

}  // namespace

JH_AVX2 void jh_code_extremes_avx2(const uint8_t* trow, const float* lrow, int n, float lmin,
                                   float lmax, int* tmin, int* tmax) {
  const __m256 lo = set1(lmin), hi = set1(lmax), tiny = set1(1e-10f);
  __m256i vmin = set1i(*tmin), vmax = set1i(*tmax);
  int x = 0;
  for (; x + 8 <= n; x += 8) {
    const __m256 l = _mm256_loadu_ps(lrow + x);
    const __m256i in = _mm256_castps_si256(_mm256_and_ps(
        _mm256_and_ps(_mm256_cmp_ps(l, lo, _CMP_GE_OQ), _mm256_cmp_ps(l, hi, _CMP_LE_OQ)),
        _mm256_cmp_ps(l, tiny, _CMP_GT_OQ)));
    const __m256i t = load8u8(trow + x);
    vmin = _mm256_min_epi32(vmin, _mm256_blendv_epi8(vmin, t, in));
    vmax = _mm256_max_epi32(vmax, _mm256_blendv_epi8(vmax, t, in));
  }
  alignas(32) int32_t a[8], b[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(a), vmin);
  _mm256_store_si256(reinterpret_cast<__m256i*>(b), vmax);
  for (int k = 0; k < 8; k++) {
    *tmin = a[k] < *tmin ? a[k] : *tmin;
    *tmax = b[k] > *tmax ? b[k] : *tmax;
  }
  jh_code_extremes_plain(trow + x, lrow + x, n - x, lmin, lmax, tmin, tmax);
}

JH_AVX2 void jh_range_row_avx2(JHRangeState* s, const uint8_t* trow, const float* lrow, int n) {
  int x = 0;
  for (; x + 32 <= n; x += 32) {
    // Skip 32 pixels at once when every code lies inside the examined extremes.
    const int lo = s->tsmall + 20, hi = s->tlarge - 20;
    if (lo <= hi) {
      const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(trow + x));
      const __m256i in = _mm256_and_si256(
          _mm256_cmpeq_epi8(_mm256_max_epu8(t, _mm256_set1_epi8(static_cast<char>(lo))), t),
          _mm256_cmpeq_epi8(_mm256_min_epu8(t, _mm256_set1_epi8(static_cast<char>(hi))), t));
      if (_mm256_movemask_epi8(in) == -1) continue;
    }
    for (int k = x; k < x + 32; k += 8) rangeGroup(s, trow + k, lrow + k);
  }
  jh_range_row_plain(s, trow + x, lrow + x, n - x);
}

#else  // no AVX2 kernels on this processor family: the plain ones serve

bool jh_have_avx2() {
  return false;
}
float jh_lum_row_avx2(const jpeghdr_compress_struct* jh, int y, float* out) {
  return jh_lum_row_plain(jh, y, out);
}
void jh_histo_row_avx2(const JHHistoArgs* a, const float* lum, int n, uint32_t* histo) {
  jh_histo_row_plain(a, lum, n, histo);
}
void jh_tone_row_avx2(JHToneState* s, int y, const float* lrow, uint8_t* trow) {
  jh_tone_row_plain(s, y, lrow, trow);
}
void jh_ratio_row_avx2(const JHRatioArgs* a, const float* lrow, const uint8_t* trow, uint8_t* rrow,
                       int n, const jpeghdr_random* rng, uint32_t i0) {
  jh_ratio_row_plain(a, lrow, trow, rrow, n, rng, i0);
}
void jh_correct_row_avx2(const JHCodeTable* thr, const float* ratio, uint8_t floor,
                         const float* lrow, const uint8_t* rrow, uint8_t* trow, int n) {
  jh_correct_row_plain(thr, ratio, floor, lrow, rrow, trow, n);
}
void jh_fg_row_avx2(const jpeghdr_compress_struct* jh, int y, const float* table, const float* lrow,
                    const uint8_t* trow, uint8_t* const out[3]) {
  jh_fg_row_plain(jh, y, table, lrow, trow, out);
}
void jh_halve_rows_avx2(const uint8_t* a, const uint8_t* b, uint8_t* out, int n) {
  jh_halve_rows_plain(a, b, out, n);
}

void jh_weigh_row_avx2(int32_t* sum, const uint8_t* s, int32_t w, int n) {
  jh_weigh_row_plain(sum, s, w, n);
}
void jh_scale_row_avx2(int32_t* c, const int32_t* sum, double d, int n) {
  jh_scale_row_plain(c, sum, d, n);
}
void jh_cubic_column_avx2(const uint8_t* const r[4], const int16_t w[4], int32_t* c, int n) {
  jh_cubic_column_plain(r, w, c, n);
}
void jh_cubic_row_avx2(const int32_t* c, const int32_t* i, const int32_t* const w[4], int32_t* v,
                       int n) {
  jh_cubic_row_plain(c, i, w, v, n);
}
void jh_cubic_down_avx2(const int32_t* const h[4], const int16_t w[4], int32_t* v, int n) {
  jh_cubic_down_plain(h, w, v, n);
}
void jh_dither_row_avx2(const int32_t* v, uint8_t* out, int n, const jpeghdr_random* rng,
                        uint32_t i0) {
  jh_dither_row_plain(v, out, n, rng, i0);
}
bool jh_raise_codes_avx2(uint8_t* t, const float* l, size_t n, uint8_t floor) {
  return jh_raise_codes_plain(t, l, n, floor);
}
void jh_range_row_avx2(JHRangeState* s, const uint8_t* trow, const float* lrow, int n) {
  jh_range_row_plain(s, trow, lrow, n);
}
void jh_code_extremes_avx2(const uint8_t* trow, const float* lrow, int n, float lmin, float lmax,
                           int* tmin, int* tmax) {
  jh_code_extremes_plain(trow, lrow, n, lmin, lmax, tmin, tmax);
}

#endif
