// Fast kernels of the pixel converter for the common 8-bit and float conversions. Each gives
// exactly the bytes of the plain decode-matrix-encode path (tests compare the two).
#include <cmath>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "image/pconvert.h"
#include "image/pconvkern.h"

namespace {

uint32_t FloatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

float BitsFloat(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// Smallest positive float below PCONV_DARK whose dark code reaches c (positive floats order
// like their bit patterns). Starts from the analytic estimate and steps to the exact edge;
// bisects when the estimate is far off.
float DarkThreshold(int c, float digamma) {
  const uint32_t top = FloatBits(PCONV_DARK) - 1;
  double est = std::pow(c / 256.0, 1.0 / digamma);
  uint32_t u = est > 0.0 && est < PCONV_DARK ? FloatBits(static_cast<float>(est)) : top;
  if (u < 1) u = 1;
  for (int step = 0; step < 64; step++) {
    const bool at = PconvDarkCode(BitsFloat(u), digamma) >= c;
    const bool below = u > 1 && PconvDarkCode(BitsFloat(u - 1), digamma) >= c;
    if (at && !below) return BitsFloat(u);
    if (!at) {
      if (u >= top) return BitsFloat(top);
      u++;
    } else {
      u--;
    }
  }
  uint32_t lo = 1, hi = top;  // code(hi) >= c is known to hold for c < ndark
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (PconvDarkCode(BitsFloat(mid), digamma) >= c)
      hi = mid;
    else
      lo = mid + 1;
  }
  return BitsFloat(lo);
}

// Power-law float decoding copies values within this range of gamma 1.
inline bool SmallGamma(float g) {
  return g >= 0.98f && g <= 1.02f;
}

void Lut8Run(uint8_t* d, const uint8_t* s, int n, const _ImgColorConv* cv) {
  const uint8_t(*lut)[3] = cv->lut8;
  const int sp = cv->spsize, dp = cv->dpsize;
  if (sp == 3 && dp == 3) {  // no matrix: each component maps alone
    for (int i = 0; i < 3 * n; i++) d[i] = lut[s[i]][0];
  } else if (sp == 3) {  // to grey without a matrix: the middle component
    for (int i = 0; i < n; i++) d[i] = lut[s[3 * i + 1]][0];
  } else if (dp == 1) {
    for (int i = 0; i < n; i++) d[i] = lut[s[i]][0];
  } else {
    for (int i = 0; i < n; i++, d += 3) {
      const uint8_t* o = lut[s[i]];
      d[0] = o[0];
      d[1] = o[1];
      d[2] = o[2];
    }
  }
}

// Pixels per block: the matrix step fills a small float block, which is then encoded in
// one pass (four values at a time where vector instructions are available).
constexpr int kBlock = 64;

void EncodeBlock(uint8_t* d, const float* f, int count, const _ImgColorConv* cv) {
  int i = 0;
#ifdef __SSE2__
  const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.f);
  const __m128 dark = _mm_set1_ps(PCONV_DARK), k1024 = _mm_set1_ps(1024.f);
  alignas(16) int32_t ix[4];
  for (; i + 4 <= count; i += 4) {
    // max(v, 0) yields 0 for NaN; the clamp keeps every index within the table.
    const __m128 c = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(f + i), zero), one);
    const int darkmask = _mm_movemask_ps(_mm_cmplt_ps(c, dark));
    _mm_store_si128(reinterpret_cast<__m128i*>(ix), _mm_cvttps_epi32(_mm_mul_ps(c, k1024)));
    d[i] = cv->encfast[ix[0]];
    d[i + 1] = cv->encfast[ix[1]];
    d[i + 2] = cv->encfast[ix[2]];
    d[i + 3] = cv->encfast[ix[3]];
    if (darkmask != 0)
      for (int k = 0; k < 4; k++)
        if (darkmask & (1 << k)) d[i + k] = PconvEncByteFast(f[i + k], cv);
  }
#endif
  for (; i < count; i++) d[i] = PconvEncByteFast(f[i], cv);
}

inline float LoadFloat(const uint8_t* p) {
  float f;
  std::memcpy(&f, p, sizeof f);
  return f;
}

void Rgb8Rgb8Run(uint8_t* d, const uint8_t* s, int n, const _ImgColorConv* cv) {
  const float* tab = cv->dectab;
  const float m00 = cv->cmat[0][0], m01 = cv->cmat[0][1], m02 = cv->cmat[0][2];
  const float m10 = cv->cmat[1][0], m11 = cv->cmat[1][1], m12 = cv->cmat[1][2];
  const float m20 = cv->cmat[2][0], m21 = cv->cmat[2][1], m22 = cv->cmat[2][2];
  const float off = cv->logoff;
  float blk[3 * kBlock];
  while (n > 0) {
    const int b = n < kBlock ? n : kBlock;
    for (int i = 0; i < b; i++, s += 3) {
      const float r = tab[s[0]], g = tab[s[1]], bl = tab[s[2]];
      blk[3 * i] = m00 * r + m01 * g + m02 * bl + off;
      blk[3 * i + 1] = m10 * r + m11 * g + m12 * bl + off;
      blk[3 * i + 2] = m20 * r + m21 * g + m22 * bl + off;
    }
    EncodeBlock(d, blk, 3 * b, cv);
    d += 3 * b;
    n -= b;
  }
}

void Rgb8Y8Run(uint8_t* d, const uint8_t* s, int n, const _ImgColorConv* cv) {
  const float* tab = cv->dectab;
  const float m10 = cv->cmat[1][0], m11 = cv->cmat[1][1], m12 = cv->cmat[1][2];
  const float off = cv->logoff;
  float blk[kBlock];
  while (n > 0) {
    const int b = n < kBlock ? n : kBlock;
    for (int i = 0; i < b; i++, s += 3)
      blk[i] = m10 * tab[s[0]] + m11 * tab[s[1]] + m12 * tab[s[2]] + off;
    EncodeBlock(d, blk, b, cv);
    d += b;
    n -= b;
  }
}

void FrgbRgb8Run(uint8_t* d, const uint8_t* s, int n, const _ImgColorConv* cv) {
  const float off = cv->logoff;
  float blk[3 * kBlock];
  if (cv->usemat != 1 && off == 0.f && reinterpret_cast<uintptr_t>(s) % alignof(float) == 0) {
    EncodeBlock(d, reinterpret_cast<const float*>(s), 3 * n, cv);  // straight from the source
    return;
  }
  const float m00 = cv->cmat[0][0], m01 = cv->cmat[0][1], m02 = cv->cmat[0][2];
  const float m10 = cv->cmat[1][0], m11 = cv->cmat[1][1], m12 = cv->cmat[1][2];
  const float m20 = cv->cmat[2][0], m21 = cv->cmat[2][1], m22 = cv->cmat[2][2];
  while (n > 0) {
    const int b = n < kBlock ? n : kBlock;
    if (cv->usemat == 1) {
      for (int i = 0; i < b; i++, s += 12) {
        const float r = LoadFloat(s), g = LoadFloat(s + 4), bl = LoadFloat(s + 8);
        blk[3 * i] = m00 * r + m01 * g + m02 * bl + off;
        blk[3 * i + 1] = m10 * r + m11 * g + m12 * bl + off;
        blk[3 * i + 2] = m20 * r + m21 * g + m22 * bl + off;
      }
    } else {
      for (int i = 0; i < 3 * b; i++, s += 4) blk[i] = LoadFloat(s) + off;
    }
    EncodeBlock(d, blk, 3 * b, cv);
    d += 3 * b;
    n -= b;
  }
}

}  // namespace

void PconvSetupFast(_ImgColorConv* cv, const _ImgColorSpace* dst, const _ImgColorSpace* src) {
  cv->fast = PCFnone;
  cv->ndark = 1;
  cv->darkthr[0] = 0.f;
  cv->darkthr[1] = HUGE_VALF;
  std::memset(cv->darkfine, 0, sizeof cv->darkfine);
  const bool dbyte_pow = dst->dtype == IDTubyte && !(cv->dlogorig > 0.f);
  if (dbyte_pow) {
    std::memcpy(cv->encfast, cv->enctab, 1024);
    cv->encfast[1024] = 255;
    // The codes reached below the table's range and the exact value where each begins;
    // the threshold after the last one stops every search.
    const float below = BitsFloat(FloatBits(PCONV_DARK) - 1);
    int top = PconvDarkCode(below, cv->digamma);
    if (top > 255) top = 255;
    cv->ndark = top + 1;
    for (int c = 1; c <= top; c++) cv->darkthr[c] = DarkThreshold(c, cv->digamma);
    cv->darkthr[top + 1] = HUGE_VALF;
    // Each bucket starts from the code of a value one bucket lower, never above the truth.
    int c = 0;
    for (int k = 0; k <= 2048; k++) {
      const float lo = k > 0 ? (k - 1) / PCONV_DARKSCALE : 0.f;
      while (c + 1 <= top && cv->darkthr[c + 1] <= lo) c++;
      cv->darkfine[k] = static_cast<uint8_t>(c);
    }
  }
  const int slen = ImgPixelLen[src->format], dlen = ImgPixelLen[dst->format];
  const bool sbyte = src->dtype == IDTubyte && (slen == 1 || slen == 3);
  const bool dbyte = dst->dtype == IDTubyte && (dlen == 1 || dlen == 3);
  if (sbyte && dbyte && (slen == 1 || cv->usemat == 0)) {
    // A grey code, or one component without a matrix, decides its output codes alone:
    // run each of the 256 codes through the plain path once.
    float v[6];
    for (int c = 0; c < 256; c++) {
      const uint8_t px[3] = {uint8_t(c), uint8_t(c), uint8_t(c)};
      uint8_t out[3] = {0, 0, 0};
      PconvertRunPlain(out, px, 1, cv, v);
      cv->lut8[c][0] = out[0];
      cv->lut8[c][1] = dlen == 3 ? out[1] : out[0];
      cv->lut8[c][2] = dlen == 3 ? out[2] : out[0];
    }
    cv->fast = PCFlut8;
    return;
  }
  if (!dbyte_pow) return;
  if (src->dtype == IDTfloat && slen == 3 && dlen == 3 && !(cv->slogorig > 0.f) &&
      SmallGamma(cv->sgamma)) {
    cv->fast = PCFfrgbrgb8;
  } else if (cv->usemat == 1 && sbyte && slen == 3) {
    cv->fast = dlen == 3 ? PCFrgb8rgb8 : PCFrgb8y8;
  }
}

bool PconvertRunFast(uint8_t* dst, const uint8_t* src, int n, const _ImgColorConv* cv) {
  switch (cv->fast) {
    case PCFlut8:
      Lut8Run(dst, src, n, cv);
      return true;
    case PCFrgb8rgb8:
      Rgb8Rgb8Run(dst, src, n, cv);
      return true;
    case PCFrgb8y8:
      Rgb8Y8Run(dst, src, n, cv);
      return true;
    case PCFfrgbrgb8:
      FrgbRgb8Run(dst, src, n, cv);
      return true;
    default:
      return false;
  }
}
