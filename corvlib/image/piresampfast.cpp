// Vectorised (AVX2) passes of the 8-bit RGB resampling kernels, chosen at run time when the
// processor has AVX2. Each gives exactly the bytes of the plain passes in piresamp.cpp: the
// integer sums are the same, and the divisions that round are done in double precision on
// operands far below 2^53, where the truncated quotient is exact.
#include <cstring>

#include "image/piresampkern.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>

// The helpers below pass vectors by value; they are static and inlined into the AVX2
// functions, so the calling-convention note does not apply.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace {

// Two 16-bit weights in one 32-bit lane, for 16-bit multiply-adds of two rows' samples.
inline int32_t weightPair(int32_t a, int32_t b) {
  return static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint16_t>(b)) << 16) |
                              static_cast<uint16_t>(a));
}

// Stores the low three bytes of a packed pixel; a fourth byte may be written when the next
// pixel of the row follows (it overwrites that byte itself).
__attribute__((target("avx2"))) inline void storeRGB(uint8_t* out, __m128i v, bool room) {
  const __m128i pick = _mm_setr_epi8(0, 4, 8, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const uint32_t px = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi8(v, pick)));
  if (room) {
    memcpy(out, &px, 4);
  } else {
    out[0] = static_cast<uint8_t>(px);
    out[1] = static_cast<uint8_t>(px >> 8);
    out[2] = static_cast<uint8_t>(px >> 16);
  }
}

// Stores ((a << 8) + half) / sum for eight non-negative sums a.
__attribute__((target("avx2"))) inline void roundDivide8(uint32_t* dst, __m256i a, __m256d dsum,
                                                         __m256d half) {
  const __m256d k256 = _mm256_set1_pd(256.0);
  const __m256d lo =
      _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(a)), k256), half);
  const __m256d hi =
      _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(a, 1)), k256), half);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_cvttpd_epi32(_mm256_div_pd(lo, dsum)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4),
                   _mm256_cvttpd_epi32(_mm256_div_pd(hi, dsum)));
}

}  // namespace

// Source rows are combined in pairs with 16-bit multiply-adds, 16 bytes at a time, then 8.
__attribute__((target("avx2"))) size_t PresampInterpVertical8Fast(int32_t* row,
                                                                  const uint8_t* const r[4],
                                                                  const int16_t wv[4], size_t n) {
  const __m256i w01 = _mm256_set1_epi32(weightPair(wv[0], wv[1]));
  const __m256i w23 = _mm256_set1_epi32(weightPair(wv[2], wv[3]));
  size_t c = 0;
  for (; c + 16 <= n; c += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r[0] + c));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r[1] + c));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r[2] + c));
    const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r[3] + c));
    const __m256i lo =
        _mm256_add_epi32(_mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(a, b)), w01),
                         _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(d, e)), w23));
    const __m256i hi =
        _mm256_add_epi32(_mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpackhi_epi8(a, b)), w01),
                         _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpackhi_epi8(d, e)), w23));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + c), lo);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + c + 8), hi);
  }
  // Eight more from 8-byte loads: a narrow rendering's rows are mostly their ends.
  if (c + 8 <= n) {
    const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r[0] + c));
    const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r[1] + c));
    const __m128i d = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r[2] + c));
    const __m128i e = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r[3] + c));
    const __m256i lo =
        _mm256_add_epi32(_mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(a, b)), w01),
                         _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(d, e)), w23));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + c), lo);
    c += 8;
  }
  return c;
}

// The four taps of a column are four unaligned loads of the row buffer (the fourth lane of
// each is the next pixel's red and is ignored).
__attribute__((target("avx2"))) void PresampInterpHorizontalRGB24Fast(uint8_t* out,
                                                                      const int32_t* row,
                                                                      const int32_t* base,
                                                                      const int32_t* w, int dw) {
  const __m128i zero = _mm_setzero_si128(), top = _mm_set1_epi32(255 * 65536),
                half = _mm_set1_epi32(32768);
  for (int x = 0; x < dw; ++x) {
    const int32_t* p = row + static_cast<ptrdiff_t>(base[x] - 1) * 3;
    const int32_t* wx = w + static_cast<size_t>(x) * 4;
    __m128i s = _mm_mullo_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                                _mm_set1_epi32(wx[0]));
    s = _mm_add_epi32(s, _mm_mullo_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3)),
                                         _mm_set1_epi32(wx[1])));
    s = _mm_add_epi32(s, _mm_mullo_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 6)),
                                         _mm_set1_epi32(wx[2])));
    s = _mm_add_epi32(s, _mm_mullo_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 9)),
                                         _mm_set1_epi32(wx[3])));
    s = _mm_min_epi32(_mm_max_epi32(s, zero), top);
    s = _mm_srli_epi32(_mm_add_epi32(s, half), 16);
    storeRGB(out + static_cast<size_t>(x) * 3, s, x + 1 < dw);
  }
}

// Tap rows are combined in pairs with 16-bit multiply-adds, 32 bytes at a time in registers.
__attribute__((target("avx2"))) size_t PresampGaussVertical8Fast(uint32_t* row,
                                                                 const uint8_t* const* rows,
                                                                 const int32_t* w, int ntaps,
                                                                 uint32_t sum, size_t n) {
  const __m256d dsum = _mm256_set1_pd(static_cast<double>(sum));
  const __m256d half = _mm256_set1_pd(static_cast<double>(sum / 2));
  size_t c = 0;
  for (; c + 32 <= n; c += 32) {
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
    for (int t = 0; t < ntaps; t += 2) {
      const bool two = t + 1 < ntaps;
      const uint8_t* ra = rows[t] + c;
      const uint8_t* rb = two ? rows[t + 1] + c : ra;
      const __m256i wab = _mm256_set1_epi32(weightPair(w[t], two ? w[t + 1] : 0));
      const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ra));
      const __m128i y0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rb));
      const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ra + 16));
      const __m128i y1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rb + 16));
      a0 = _mm256_add_epi32(
          a0, _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(x0, y0)), wab));
      a1 = _mm256_add_epi32(
          a1, _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpackhi_epi8(x0, y0)), wab));
      a2 = _mm256_add_epi32(
          a2, _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(x1, y1)), wab));
      a3 = _mm256_add_epi32(
          a3, _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpackhi_epi8(x1, y1)), wab));
    }
    roundDivide8(row + c, a0, dsum, half);
    roundDivide8(row + c + 8, a1, dsum, half);
    roundDivide8(row + c + 16, a2, dsum, half);
    roundDivide8(row + c + 24, a3, dsum, half);
  }
  return c;
}

// Unaligned four-lane loads of the row buffer (the fourth lane is ignored), 32-bit products;
// each output is (s + 128 sum) / (256 sum) in double precision.
__attribute__((target("avx2"))) void PresampGaussHorizontalRGB24Fast(
    uint8_t* out, const uint32_t* row, const int32_t* centre, const int32_t* w, const uint32_t* sum,
    int ntap, int rx, int dw) {
  const __m128i flip = _mm_set1_epi32(INT32_MIN), k255 = _mm_set1_epi32(255);
  for (int x = 0; x < dw; ++x) {
    const uint32_t* p = row + static_cast<ptrdiff_t>(centre[x] - rx) * 3;
    const int32_t* wx = w + static_cast<size_t>(x) * ntap;
    __m128i s = _mm_setzero_si128();
    for (int k = 0; k < ntap; ++k)
      s = _mm_add_epi32(
          s, _mm_mullo_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3 * k)),
                             _mm_set1_epi32(wx[k])));
    // The sums are unsigned: flipping the top bit and adding 2^31 back reads them so.
    const double ws = static_cast<double>(sum[x]);
    const __m256d d = _mm256_add_pd(_mm256_cvtepi32_pd(_mm_xor_si128(s, flip)),
                                    _mm256_set1_pd(2147483648.0 + 128.0 * ws));
    const __m128i q = _mm256_cvttpd_epi32(_mm256_div_pd(d, _mm256_set1_pd(256.0 * ws)));
    storeRGB(out + static_cast<size_t>(x) * 3, _mm_min_epi32(q, k255), x + 1 < dw);
  }
}

#else

size_t PresampInterpVertical8Fast(int32_t*, const uint8_t* const*, const int16_t*, size_t) {
  return 0;
}
void PresampInterpHorizontalRGB24Fast(uint8_t*, const int32_t*, const int32_t*, const int32_t*,
                                      int) {}
size_t PresampGaussVertical8Fast(uint32_t*, const uint8_t* const*, const int32_t*, int, uint32_t,
                                 size_t) {
  return 0;
}
void PresampGaussHorizontalRGB24Fast(uint8_t*, const uint32_t*, const int32_t*, const int32_t*,
                                     const uint32_t*, int, int, int) {}

#endif
