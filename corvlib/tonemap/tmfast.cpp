// Vectorised (AVX2) kernels of the per-pixel tone-mapping paths, chosen at run time when the
// processor has AVX2. Each computes exactly what its plain version computes, with the same
// floating-point operations in the same order, so results agree bit for bit.
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "tonemap/tmprivate.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

// The helpers below pass AVX vectors by value; they are static and inlined into the AVX2
// functions, so the calling-convention note does not apply.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

// Splits 8 packed RGB float triples (a0, a1, a2 in memory order) into 8 reds, greens, blues.
__attribute__((target("avx2"))) static inline void deinterleave3(__m256 a0, __m256 a1, __m256 a2,
                                                                 __m256* r, __m256* g, __m256* b) {
  __m256 x = _mm256_blend_ps(_mm256_blend_ps(a0, a1, 0x92), a2, 0x24);
  *r = _mm256_permutevar8x32_ps(x, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5));
  x = _mm256_blend_ps(_mm256_blend_ps(a0, a1, 0x24), a2, 0x49);
  *g = _mm256_permutevar8x32_ps(x, _mm256_setr_epi32(1, 4, 7, 2, 5, 0, 3, 6));
  x = _mm256_blend_ps(_mm256_blend_ps(a0, a1, 0x49), a2, 0x92);
  *b = _mm256_permutevar8x32_ps(x, _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7));
}

// The arithmetic runs eight pixels at a time; the table lookups stay scalar (vector gathers
// are slow on many processors).
__attribute__((target("avx2"))) int tmCvColorsAVX2(const TMstruct* tms, const TMbright* tab,
                                                   const unsigned char* gamb, TMbright* ls,
                                                   unsigned char* cs, const COLOR* scan, int len) {
  const bool direct = tms->monpri == tms->inppri;
  const __m256 zero = _mm256_setzero_ps(), fmax = _mm256_set1_ps(3.4e38f);
  const __m256 tiny = _mm256_set1_ps(1e-17f), k1024 = _mm256_set1_ps(1024.0f);
  const __m256 lim = _mm256_set1_ps(0.999f);
  const __m256 vsf = _mm256_set1_ps((float)tms->inpsf);
  const __m256 clf[3] = {_mm256_set1_ps(tms->clf[0]), _mm256_set1_ps(tms->clf[1]),
                         _mm256_set1_ps(tms->clf[2])};
  __m256 m[3][3];
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) m[i][j] = _mm256_set1_ps(tms->cmat[i][j]);
  const __m256i noIndex = _mm256_set1_epi32(-1), top = _mm256_set1_epi32(1024);
  alignas(32) int32_t bidx[8], cidx[3][8];
  int i = 0;
  for (; i + 8 <= len; i += 8) {
    const float* base = &scan[i][0];
    __m256 in[3];
    deinterleave3(_mm256_loadu_ps(base), _mm256_loadu_ps(base + 8), _mm256_loadu_ps(base + 16),
                  &in[0], &in[1], &in[2]);
    __m256 rgb[3];
    for (int c = 0; c < 3; c++) {
      if (direct)
        rgb[c] = _mm256_mul_ps(in[c], vsf);
      else
        rgb[c] = _mm256_add_ps(
            _mm256_add_ps(_mm256_mul_ps(m[c][0], in[0]), _mm256_mul_ps(m[c][1], in[1])),
            _mm256_mul_ps(m[c][2], in[2]));
      // Keep only finite non-negative components (NaN fails both tests).
      __m256 ok = _mm256_and_ps(_mm256_cmp_ps(rgb[c], zero, _CMP_GE_OQ),
                                _mm256_cmp_ps(rgb[c], fmax, _CMP_LE_OQ));
      rgb[c] = _mm256_and_ps(rgb[c], ok);
    }
    __m256 lum =
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(clf[0], rgb[0]), _mm256_mul_ps(clf[1], rgb[1])),
                      _mm256_mul_ps(clf[2], rgb[2]));
    __m256 valid =
        _mm256_and_ps(_mm256_cmp_ps(lum, tiny, _CMP_GT_OQ), _mm256_cmp_ps(lum, fmax, _CMP_LE_OQ));
    __m256i bits = _mm256_srli_epi32(_mm256_castps_si256(lum), 15);
    _mm256_store_si256((__m256i*)bidx,
                       _mm256_blendv_epi8(noIndex, bits, _mm256_castps_si256(valid)));
    for (int k = 0; k < 8; k++) ls[i + k] = bidx[k] < 0 ? (TMbright)TM_NOBRT : tab[bidx[k]];
    if (cs == nullptr) continue;
    lum = _mm256_blendv_ps(tiny, lum, valid);
    for (int c = 0; c < 3; c++) {
      __m256 ch = _mm256_blendv_ps(tiny, rgb[c], valid);
      __m256 q = _mm256_div_ps(_mm256_mul_ps(clf[c], ch), lum);
      __m256i qi =
          _mm256_max_epi32(_mm256_cvttps_epi32(_mm256_mul_ps(q, k1024)), _mm256_setzero_si256());
      // Index 1024 stands for a full share (byte 255).
      qi = _mm256_blendv_epi8(qi, top, _mm256_castps_si256(_mm256_cmp_ps(q, lim, _CMP_GE_OQ)));
      _mm256_store_si256((__m256i*)cidx[c], qi);
    }
    unsigned char* o = cs + 3 * i;
    for (int k = 0; k < 8; k++) {
      o[3 * k] = cidx[0][k] >= 1024 ? 255 : gamb[cidx[0][k]];
      o[3 * k + 1] = cidx[1][k] >= 1024 ? 255 : gamb[cidx[1][k]];
      o[3 * k + 2] = cidx[2][k] >= 1024 ? 255 : gamb[cidx[2][k]];
    }
  }
  return i;
}

// Eight display values (0..255 in each int) to eight bytes at out.
__attribute__((target("avx2"))) static inline void store8Bytes(unsigned char* out, __m256i q) {
  __m256i w = _mm256_packus_epi32(q, q);  // per 128-bit lane: 4 words twice
  w = _mm256_packus_epi16(w, w);          // per lane: 4 bytes four times
  w = _mm256_permutevar8x32_epi32(w, _mm256_setr_epi32(0, 4, 0, 4, 0, 4, 0, 4));
  _mm_storel_epi64((__m128i*)out, _mm256_castsi256_si128(w));
}

// Eight channel values: x = v * c capped, its quotient by d, clipped to 255.
__attribute__((target("avx2"))) static inline __m256i mapChannel(__m256 vs, __m128i bytes,
                                                                 __m256 cap, __m256 d,
                                                                 __m256i k255) {
  __m256 x = _mm256_min_ps(_mm256_mul_ps(vs, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes))), cap);
  return _mm256_min_epi32(_mm256_cvttps_epi32(_mm256_div_ps(x, d)), k255);
}

// The display values are looked up per pixel; the three multiply-divides per pixel run on the
// 24 channel bytes of eight pixels at once, in float. That is exact: v * cs < 2^24 is exact in
// float; quotients of 256 or more clip, so x is capped at 256 d first; and a correctly
// rounded x / d below 257 is within 1.6e-5 of the true quotient, while a non-integer
// quotient lies at least 1/d >= 3e-5 from the next integer (d <= 32768), so truncation gives
// the integer quotient.
__attribute__((target("avx2"))) int tmMapPixelsAVX2(const TMstruct* tms, unsigned char* ps,
                                                    const TMbright* ls, const unsigned char* cs,
                                                    int len) {
  if (cs == nullptr) return 0;
  const int d0 = tms->cdiv[0], d1 = tms->cdiv[1], d2 = tms->cdiv[2];
  for (int d : {d0, d1, d2})
    if (d < 1 || d > 32768) return 0;
  const int lo = tms->mbrmin, hi = tms->mbrmax;
  const unsigned short* lm = tms->lumap;
  const __m256 dv0 = _mm256_setr_ps(d0, d1, d2, d0, d1, d2, d0, d1);
  const __m256 dv1 = _mm256_setr_ps(d2, d0, d1, d2, d0, d1, d2, d0);
  const __m256 dv2 = _mm256_setr_ps(d1, d2, d0, d1, d2, d0, d1, d2);
  const __m256i sp0 = _mm256_setr_epi32(0, 0, 0, 1, 1, 1, 2, 2);
  const __m256i sp1 = _mm256_setr_epi32(2, 3, 3, 3, 4, 4, 4, 5);
  const __m256i sp2 = _mm256_setr_epi32(5, 5, 6, 6, 6, 7, 7, 7);
  const __m256 k256 = _mm256_set1_ps(256.0f);
  const __m256 cap0 = _mm256_mul_ps(dv0, k256), cap1 = _mm256_mul_ps(dv1, k256),
               cap2 = _mm256_mul_ps(dv2, k256);
  const __m256i k255 = _mm256_set1_epi32(255);
  // Display values are looked up for a block of pixels first; reading them back as vectors
  // long after the scalar stores avoids store-forwarding stalls.
  constexpr int kBlock = 64;
  alignas(32) float vbuf[kBlock];
  int i = 0;
  for (; i + 8 <= len; i += kBlock) {
    const int nb = (len - i) >= kBlock ? kBlock : ((len - i) & ~7);
    for (int k = 0; k < nb; k++) {
      int b = ls[i + k];
      vbuf[k] = (float)(b < lo ? 0 : lm[(b > hi ? hi : b) - lo]);
    }
    for (int j = 0; j < nb; j += 8) {
      const __m256 v = _mm256_load_ps(vbuf + j);
      const unsigned char* s = cs + 3 * (i + j);
      // All 24 input bytes are read before any output is written (ps may be cs).
      const __m128i b0 = _mm_loadl_epi64((const __m128i*)s);
      const __m128i b1 = _mm_loadl_epi64((const __m128i*)(s + 8));
      const __m128i b2 = _mm_loadl_epi64((const __m128i*)(s + 16));
      const __m256i q0 = mapChannel(_mm256_permutevar8x32_ps(v, sp0), b0, cap0, dv0, k255);
      const __m256i q1 = mapChannel(_mm256_permutevar8x32_ps(v, sp1), b1, cap1, dv1, k255);
      const __m256i q2 = mapChannel(_mm256_permutevar8x32_ps(v, sp2), b2, cap2, dv2, k255);
      unsigned char* o = ps + 3 * (i + j);
      store8Bytes(o, q0);
      store8Bytes(o + 8, q1);
      store8Bytes(o + 16, q2);
    }
    if (nb < kBlock) {
      i += nb;
      break;
    }
  }
  return i;
}

#else

int tmCvColorsAVX2(const TMstruct*, const TMbright*, const unsigned char*, TMbright*,
                   unsigned char*, const COLOR*, int) {
  return 0;
}
int tmMapPixelsAVX2(const TMstruct*, unsigned char*, const TMbright*, const unsigned char*, int) {
  return 0;
}

#endif
