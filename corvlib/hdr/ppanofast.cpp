// Vectorised anchor comparison: eight pixels a step with AVX2.
#include <cmath>

#include "hdr/ppanokern.h"
#include "support/cpufeat.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

__attribute__((target("avx2"))) float PpanoWindowErrorFast(const _ImgStruct& o, int ox, int oy,
                                                           const _ImgStruct& d, int dx, int dy,
                                                           int n, int m) {
  double sum = 0;
  long count = 0;
  const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.f);
  for (int y = 0; y < m; y++) {
    const float* a =
        reinterpret_cast<const float*>(o.img + static_cast<ptrdiff_t>(oy + y) * o.rowsize) + ox;
    const float* b =
        reinterpret_cast<const float*>(d.img + static_cast<ptrdiff_t>(dy + y) * d.rowsize) + dx;
    __m256 acc = zero, cnt = zero;
    int x = 0;
    for (; x + 8 <= n; x += 8) {
      const __m256 va = _mm256_loadu_ps(a + x), vb = _mm256_loadu_ps(b + x);
      const __m256 s = _mm256_add_ps(va, vb);
      const __m256 in = _mm256_cmp_ps(s, zero, _CMP_GT_OQ);
      const __m256 q = _mm256_div_ps(_mm256_sub_ps(va, vb), _mm256_blendv_ps(one, s, in));
      acc = _mm256_add_ps(acc, _mm256_and_ps(in, _mm256_mul_ps(q, q)));
      cnt = _mm256_add_ps(cnt, _mm256_and_ps(in, one));
    }
    alignas(32) float la[8], lc[8];
    _mm256_store_ps(la, acc);
    _mm256_store_ps(lc, cnt);
    for (int k = 0; k < 8; k++) {
      sum += la[k];
      count += static_cast<long>(lc[k]);
    }
    for (; x < n; x++) {
      const float s = a[x] + b[x];
      if (!(s > 0)) continue;
      const float q = (a[x] - b[x]) / s;
      sum += q * q;
      count++;
    }
  }
  return count > 0 ? static_cast<float>(2 * std::sqrt(sum / count)) : 0.7f;
}

#else

float PpanoWindowErrorFast(const _ImgStruct& o, int ox, int oy, const _ImgStruct& d, int dx, int dy,
                           int n, int m) {
  return PpanoWindowErrorPlain(o, ox, oy, d, dx, dy, n, m);
}

#endif

float PpanoWindowError(const _ImgStruct& o, int ox, int oy, const _ImgStruct& d, int dx, int dy,
                       int n, int m) {
  static const bool fast = cpuHasAVX2();
  return fast ? PpanoWindowErrorFast(o, ox, oy, d, dx, dy, n, m)
              : PpanoWindowErrorPlain(o, ox, oy, d, dx, dy, n, m);
}
