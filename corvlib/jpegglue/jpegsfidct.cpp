// The smoothing inverse DCT: statistical dequantisation of luminance blocks followed by the
// floating-point AAN inverse transform.
#include "jpegglue/jpegsfidct.h"

extern "C" {
#include <jpegint.h>
}

#include "support/cpufeat.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define SF_HAVE_AVX2 1
#endif

namespace {

constexpr float kStrength = 0.67f;

// AAN scale factors: 1 for k = 0, else cos(k pi / 16) sqrt(2).
constexpr float kAan[8] = {1.0f, 1.387039845f, 1.306562965f, 1.175875602f,
                           1.0f, 0.785694958f, 0.541196100f, 0.275899379f};

// The transform's own generator (xorshift32), reseeded by jpeg_sf_idct so that decodes are
// repeatable and the process's rand() is untouched. Decoding runs on one thread.
uint32_t g_state = 1;

uint32_t nextRandom() {
  uint32_t x = g_state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  g_state = x;
  return x >> 1;
}

inline JSAMPLE outputSample(float v) {
  // Hostile tables and coefficients can push v past int; anything this large is clipped anyway.
  v = v < -1e6f ? -1e6f : (v > 1e6f ? 1e6f : v);
  const int s = ((static_cast<int>(v) + 4) >> 3) + 128;
  return static_cast<JSAMPLE>(s < 0 ? 0 : (s > 255 ? 255 : s));
}

// One 1-D pass of the AAN float transform over in[0], in[step] ... in[7 step].
inline void aanPass(const float* in, int step, float* out, int ostep) {
  float tmp0 = in[0], tmp1 = in[2 * step], tmp2 = in[4 * step], tmp3 = in[6 * step];
  float tmp10 = tmp0 + tmp2, tmp11 = tmp0 - tmp2;
  float tmp13 = tmp1 + tmp3, tmp12 = (tmp1 - tmp3) * 1.414213562f - tmp13;
  tmp0 = tmp10 + tmp13;
  tmp3 = tmp10 - tmp13;
  tmp1 = tmp11 + tmp12;
  tmp2 = tmp11 - tmp12;
  const float tmp4 = in[step], tmp5 = in[3 * step], tmp6 = in[5 * step], tmp7 = in[7 * step];
  const float z13 = tmp6 + tmp5, z10 = tmp6 - tmp5, z11 = tmp4 + tmp7, z12 = tmp4 - tmp7;
  const float o7 = z11 + z13;
  const float o11 = (z11 - z13) * 1.414213562f;
  const float z5 = (z10 + z12) * 1.847759065f;
  const float o10 = 1.082392200f * z12 - z5;
  const float o12 = -2.613125930f * z10 + z5;
  const float o6 = o12 - o7, o5 = o11 - o6, o4 = o10 + o5;
  out[0] = tmp0 + o7;
  out[7 * ostep] = tmp0 - o7;
  out[ostep] = tmp1 + o6;
  out[6 * ostep] = tmp1 - o6;
  out[2 * ostep] = tmp2 + o5;
  out[5 * ostep] = tmp2 - o5;
  out[4 * ostep] = tmp3 + o4;
  out[3 * ostep] = tmp3 - o4;
}

// Only the luminance of a YCbCr or grey file is smoothed.
inline bool isLuminance(j_decompress_ptr cinfo, const jpeg_component_info* compptr) {
  return compptr->component_index == 0 &&
         (cinfo->jpeg_color_space == JCS_YCbCr || cinfo->jpeg_color_space == JCS_GRAYSCALE);
}

}  // namespace

bool DCTdequantizer::SetQuantizer(const jpeg_component_info* compptr, const JCOEF* block,
                                  const float* multipliers, bool luminance) {
  for (int r = 7; r >= 0; r--) seeds[r] = nextRandom();
  column = 0;
  invlevel = 0.f;
  mode = -1;
  mult = multipliers;
  coef = block;
  if (compptr == nullptr || block == nullptr || !luminance) return false;
  const SFTables& t = jpeg_sf_tables();
  qt0 = t.componTabQT0;
  qt = t.componTabQT;
  strength = kStrength;
  const float level = static_cast<float>(block[0]) * mult[0] + 1024.f;
  if (level < 1.f) return false;
  invlevel = 1.f / level;
  mode = 0;
  return true;
}

float DCTdequantizer::Dequantize(int k) const {
  const float q = mult[k];
  const int c = coef[k];
  if (mode != 0) return static_cast<float>(c) * q;
  const SFTables& t = jpeg_sf_tables();
  const uint32_t seed = seeds[k >> 3];
  const bool negative = (seed >> ((k & 7) + 3)) & 1u;
  if (c == 0) {
    const float r = q * invlevel;
    int n;
    float s;
    if (r < 0.21f) {
      n = static_cast<int>(r * 76.190475f);
      s = strength;
    } else {
      n = 15;
      s = strength * 0.21f / r;
    }
    int u = qt0[k][n];
    if (u > 19) {  // too coarse here: take the nearest finer level, scaled down
      int m = n - 1;
      while (m >= 0 && qt0[k][m] > 19) m--;
      if (m <= 0 || n == 0) return 0.f;
      s *= static_cast<float>(m) / static_cast<float>(n);
      u = qt0[k][m];
    }
    const float v = q * s * t.distSmall[u][(static_cast<uint32_t>(k) ^ seed) % 37];
    return negative ? -v : v;
  }
  const float v = static_cast<float>(c) * q;
  const float a = (v < 0.f ? -v : v) * invlevel;
  int i = 0;
  while (i < 15 && a >= t.ordinateQT[i]) i++;
  const float lower = i == 0 ? 0.f : t.ordinateQT[i - 1];
  const float slope =
      (static_cast<float>(qt[k][i]) - 128.f) / 64.f * (q * invlevel) / (t.ordinateQT[i] - lower);
  const int j = slope <= -2.f ? -11 : (slope >= 2.f ? 11 : static_cast<int>(6.f * slope));
  const int aj = j < 0 ? -j : j;
  const float d = q * strength * t.distLarge[aj][(static_cast<uint32_t>(k) ^ seed) % 29];
  return (c < 0) == (j < 0) ? v + d : v - d;
}

void jpeg_sf_idct_float_plain(j_decompress_ptr cinfo, jpeg_component_info* compptr,
                              JCOEFPTR coef_block, JSAMPARRAY output_buf, JDIMENSION output_col) {
  // Multipliers from the component's quantisation table: cheap enough to build per block,
  // and always those of the table the block was coded with.
  float mult[64];
  const JQUANT_TBL* qtbl = compptr->quant_table;
  for (int k = 0; k < 64; k++)
    mult[k] = (qtbl != nullptr ? static_cast<float>(qtbl->quantval[k]) : 1.f) * kAan[k >> 3] *
              kAan[k & 7];
  DCTdequantizer dq;
  const bool luminance = isLuminance(cinfo, compptr);
  dq.SetQuantizer(compptr, coef_block, mult, luminance);
  float ws[64];
  for (int col = 0; col < 8; col++) {
    dq.column = col;
    float in[8];
    if (dq.mode != 0 && coef_block[8 + col] == 0 && coef_block[16 + col] == 0 &&
        coef_block[24 + col] == 0 && coef_block[32 + col] == 0 && coef_block[40 + col] == 0 &&
        coef_block[48 + col] == 0 && coef_block[56 + col] == 0) {
      const float dc = dq.Dequantize(col);
      for (int r = 0; r < 8; r++) ws[8 * r + col] = dc;
      continue;
    }
    for (int r = 0; r < 8; r++) in[r] = dq.Dequantize(8 * r + col);
    aanPass(in, 1, ws + col, 8);
  }
  for (int r = 0; r < 8; r++) {
    float out[8];
    aanPass(ws + 8 * r, 1, out, 1);
    JSAMPROW row = output_buf[r] + output_col;
    for (int c = 0; c < 8; c++) row[c] = outputSample(out[c]);
  }
}

#ifdef SF_HAVE_AVX2

// The vectorised transform: eight coefficients (one row of the block) at a time with exactly
// the arithmetic of the plain one, in the same order and without fused multiply-adds, so that
// every sample agrees bit for bit. What the plain dequantiser decides per coefficient with
// searches and divisions is looked up in tables derived once from the fixed ones.
namespace {

#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
#define SF_AVX2 __attribute__((target("avx2")))

struct SFFastTables {
  // A zero coefficient k at level n: the first distSmall entry of its class (u x 37) and the
  // factor its strength is scaled by (1; m / n after a step down to level m; 0 for none),
  // level by level so that a row of coefficients at one level is one load.
  int32_t zeroBase[16][64];
  float zeroFac[16][64];
  // A non-zero coefficient in magnitude bin i: its slope (componTabQT - 128) / 64 and the
  // bin's width.
  float slope[64][16];
  float binWidth[16];
  float edge[16];  // ordinateQT
  // (b + c) mod 37 and mod 29 for c = 0 ... 7: a row's distSmall and distLarge columns.
  int32_t mod37[96][8], mod29[96][8];
  float distSmall[20 * 37];
  float distLarge[12 * 32];  // rows of 29, padded to 32
};

SFFastTables buildFast() {
  const SFTables& t = jpeg_sf_tables();
  SFFastTables f;
  for (int k = 0; k < 64; k++)
    for (int n = 0; n < 16; n++) {
      int u = t.componTabQT0[k][n];
      float fac = 1.f;
      if (u > 19) {
        int m = n - 1;
        while (m >= 0 && t.componTabQT0[k][m] > 19) m--;
        if (m <= 0 || n == 0) {
          u = 0;
          fac = 0.f;
        } else {
          fac = static_cast<float>(m) / static_cast<float>(n);
          u = t.componTabQT0[k][m];
        }
      }
      f.zeroBase[n][k] = u * 37;
      f.zeroFac[n][k] = fac;
      f.slope[k][n] = (static_cast<float>(t.componTabQT[k][n]) - 128.f) / 64.f;
    }
  for (int i = 0; i < 16; i++)
    f.binWidth[i] = t.ordinateQT[i] - (i == 0 ? 0.f : t.ordinateQT[i - 1]);
  for (int i = 0; i < 16; i++) f.edge[i] = t.ordinateQT[i];
  for (int b = 0; b < 96; b++)
    for (int c = 0; c < 8; c++) {
      f.mod37[b][c] = (b + c) % 37;
      f.mod29[b][c] = (b + c) % 29;
    }
  for (int u = 0; u < 20; u++)
    for (int x = 0; x < 37; x++) f.distSmall[u * 37 + x] = t.distSmall[u][x];
  for (int j = 0; j < 12; j++)
    for (int x = 0; x < 32; x++) f.distLarge[j * 32 + x] = x < 29 ? t.distLarge[j][x] : 0.f;
  return f;
}

const SFFastTables& fastTables() {
  static const SFFastTables tables = buildFast();
  return tables;
}

SF_AVX2 inline __m256 set1(float v) {
  return _mm256_set1_ps(v);
}
SF_AVX2 inline __m256i set1i(int v) {
  return _mm256_set1_epi32(v);
}

// Row r of the block (coefficients 8 r ... 8 r + 7), dequantised with smoothing.
SF_AVX2 inline __m256 smoothRow(const SFFastTables& f, int r, __m256 q, __m256i c, float invlevel,
                                uint32_t seed) {
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i k = _mm256_add_epi32(lane, set1i(8 * r));
  // (k XOR seed) mod 37 and mod 29: k = 8 r + lane changes only the seed's low six bits, so
  // k XOR seed = (seed with its low six bits cleared) + 8 (r XOR its bits 3-5) + (lane XOR its
  // bits 0-2); the last term only permutes the lanes of a row of the mod tables.
  const uint32_t hi = seed & ~63u, rr = static_cast<uint32_t>(r) ^ ((seed >> 3) & 7u);
  const __m256i perm = _mm256_xor_si256(lane, set1i(static_cast<int>(seed & 7u)));
  const __m256i i37 = _mm256_permutevar8x32_epi32(
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f.mod37[hi % 37u + 8 * rr])), perm);
  const __m256 cf = _mm256_cvtepi32_ps(c);
  const __m256 rel = _mm256_mul_ps(q, set1(invlevel));  // the step relative to the level

  // Zero coefficients: a magnitude from distSmall at the step's level, signed by the seed.
  const __m256 fine = _mm256_cmp_ps(rel, set1(0.21f), _CMP_LT_OQ);
  const __m256i n =
      _mm256_blendv_epi8(set1i(15), _mm256_cvttps_epi32(_mm256_mul_ps(rel, set1(76.190475f))),
                         _mm256_castps_si256(fine));
  __m256 s = set1(kStrength);
  if (_mm256_movemask_ps(fine) != 0xFF)
    s = _mm256_blendv_ps(_mm256_div_ps(set1(kStrength * 0.21f), rel), s, fine);
  __m256 fac;
  __m256i base;
  const int n0 = _mm256_cvtsi256_si32(n);
  if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(n, set1i(n0))) == -1) {  // the usual case
    fac = _mm256_loadu_ps(&f.zeroFac[n0][8 * r]);
    base = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&f.zeroBase[n0][8 * r]));
  } else {
    const __m256i nk = _mm256_add_epi32(_mm256_slli_epi32(n, 6), k);
    fac = _mm256_i32gather_ps(&f.zeroFac[0][0], nk, 4);
    base = _mm256_i32gather_epi32(&f.zeroBase[0][0], nk, 4);
  }
  s = _mm256_mul_ps(s, fac);
  const __m256 small = _mm256_i32gather_ps(f.distSmall, _mm256_add_epi32(base, i37), 4);
  const __m256i negative = _mm256_and_si256(
      _mm256_srlv_epi32(set1i(static_cast<int>(seed)), _mm256_add_epi32(lane, set1i(3))), set1i(1));
  const __m256 flip = _mm256_and_ps(_mm256_castsi256_ps(_mm256_slli_epi32(negative, 31)),
                                    _mm256_cmp_ps(fac, _mm256_setzero_ps(), _CMP_NEQ_OQ));
  const __m256 zero = _mm256_xor_ps(_mm256_mul_ps(_mm256_mul_ps(q, s), small), flip);

  const __m256i isZero = _mm256_cmpeq_epi32(c, _mm256_setzero_si256());
  if (_mm256_movemask_epi8(isZero) == -1) return zero;

  // Non-zero coefficients: moved within the bin by distLarge, by the slope of the
  // distribution at the coefficient's relative magnitude.
  const __m256 v = _mm256_mul_ps(cf, q);
  const __m256 a = _mm256_mul_ps(_mm256_andnot_ps(set1(-0.f), v), set1(invlevel));
  // The bin: how many of the first 15 edges the magnitude reaches.
  __m256i bin = _mm256_setzero_si256();
  for (int j = 0; j < 15; j++)
    bin = _mm256_sub_epi32(bin, _mm256_castps_si256(_mm256_cmp_ps(a, set1(f.edge[j]), _CMP_GE_OQ)));
  const __m256 A =
      _mm256_i32gather_ps(&f.slope[0][0], _mm256_add_epi32(_mm256_slli_epi32(k, 4), bin), 4);
  const __m256 wLo = _mm256_permutevar8x32_ps(_mm256_loadu_ps(f.binWidth), bin);
  const __m256 wHi = _mm256_permutevar8x32_ps(_mm256_loadu_ps(f.binWidth + 8), bin);
  const __m256 width =
      _mm256_blendv_ps(wLo, wHi, _mm256_castsi256_ps(_mm256_cmpgt_epi32(bin, set1i(7))));
  const __m256 slope = _mm256_div_ps(_mm256_mul_ps(A, rel), width);
  __m256i jc = _mm256_cvttps_epi32(_mm256_mul_ps(set1(6.f), slope));
  jc = _mm256_blendv_epi8(jc, set1i(-11),
                          _mm256_castps_si256(_mm256_cmp_ps(slope, set1(-2.f), _CMP_LE_OQ)));
  jc = _mm256_blendv_epi8(jc, set1i(11),
                          _mm256_castps_si256(_mm256_cmp_ps(slope, set1(2.f), _CMP_GE_OQ)));
  jc = _mm256_max_epi32(_mm256_min_epi32(jc, set1i(11)), set1i(-11));  // never outside the table
  const __m256i i29 = _mm256_permutevar8x32_epi32(
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f.mod29[hi % 29u + 8 * rr])), perm);
  const __m256i row32 = _mm256_slli_epi32(_mm256_abs_epi32(jc), 5);
  const __m256 large = _mm256_i32gather_ps(f.distLarge, _mm256_add_epi32(row32, i29), 4);
  const __m256 d = _mm256_mul_ps(_mm256_mul_ps(q, set1(kStrength)), large);
  const __m256i sameSign = _mm256_xor_si256(_mm256_cmpgt_epi32(_mm256_setzero_si256(), c),
                                            _mm256_cmpgt_epi32(_mm256_setzero_si256(), jc));
  const __m256 moved =
      _mm256_blendv_ps(_mm256_add_ps(v, d), _mm256_sub_ps(v, d), _mm256_castsi256_ps(sameSign));
  return _mm256_blendv_ps(moved, zero, _mm256_castsi256_ps(isZero));
}

// The AAN pass of aanPass over eight vectors at once.
SF_AVX2 inline void aanPass8(const __m256* in, __m256* out) {
  __m256 tmp0 = in[0], tmp1 = in[2], tmp2 = in[4], tmp3 = in[6];
  const __m256 tmp10 = _mm256_add_ps(tmp0, tmp2), tmp11 = _mm256_sub_ps(tmp0, tmp2);
  const __m256 tmp13 = _mm256_add_ps(tmp1, tmp3);
  const __m256 tmp12 =
      _mm256_sub_ps(_mm256_mul_ps(_mm256_sub_ps(tmp1, tmp3), set1(1.414213562f)), tmp13);
  tmp0 = _mm256_add_ps(tmp10, tmp13);
  tmp3 = _mm256_sub_ps(tmp10, tmp13);
  tmp1 = _mm256_add_ps(tmp11, tmp12);
  tmp2 = _mm256_sub_ps(tmp11, tmp12);
  const __m256 tmp4 = in[1], tmp5 = in[3], tmp6 = in[5], tmp7 = in[7];
  const __m256 z13 = _mm256_add_ps(tmp6, tmp5), z10 = _mm256_sub_ps(tmp6, tmp5);
  const __m256 z11 = _mm256_add_ps(tmp4, tmp7), z12 = _mm256_sub_ps(tmp4, tmp7);
  const __m256 o7 = _mm256_add_ps(z11, z13);
  const __m256 o11 = _mm256_mul_ps(_mm256_sub_ps(z11, z13), set1(1.414213562f));
  const __m256 z5 = _mm256_mul_ps(_mm256_add_ps(z10, z12), set1(1.847759065f));
  const __m256 o10 = _mm256_sub_ps(_mm256_mul_ps(set1(1.082392200f), z12), z5);
  const __m256 o12 = _mm256_add_ps(_mm256_mul_ps(set1(-2.613125930f), z10), z5);
  const __m256 o6 = _mm256_sub_ps(o12, o7), o5 = _mm256_sub_ps(o11, o6),
               o4 = _mm256_add_ps(o10, o5);
  out[0] = _mm256_add_ps(tmp0, o7);
  out[7] = _mm256_sub_ps(tmp0, o7);
  out[1] = _mm256_add_ps(tmp1, o6);
  out[6] = _mm256_sub_ps(tmp1, o6);
  out[2] = _mm256_add_ps(tmp2, o5);
  out[5] = _mm256_sub_ps(tmp2, o5);
  out[4] = _mm256_add_ps(tmp3, o4);
  out[3] = _mm256_sub_ps(tmp3, o4);
}

SF_AVX2 inline void transpose8(__m256* m) {
  const __m256 t0 = _mm256_unpacklo_ps(m[0], m[1]), t1 = _mm256_unpackhi_ps(m[0], m[1]);
  const __m256 t2 = _mm256_unpacklo_ps(m[2], m[3]), t3 = _mm256_unpackhi_ps(m[2], m[3]);
  const __m256 t4 = _mm256_unpacklo_ps(m[4], m[5]), t5 = _mm256_unpackhi_ps(m[4], m[5]);
  const __m256 t6 = _mm256_unpacklo_ps(m[6], m[7]), t7 = _mm256_unpackhi_ps(m[6], m[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  m[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
  m[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
  m[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
  m[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
  m[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
  m[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
  m[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
  m[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

SF_AVX2 void idctBlockAVX2(j_decompress_ptr cinfo, jpeg_component_info* compptr,
                           JCOEFPTR coef_block, JSAMPARRAY output_buf, JDIMENSION output_col) {
  uint32_t seeds[8];
  for (int r = 7; r >= 0; r--) seeds[r] = nextRandom();
  const JQUANT_TBL* qtbl = compptr->quant_table;
  const __m256 aanCol = _mm256_loadu_ps(kAan);
  __m256 q[8], c[8];
  __m256i ci[8];
  for (int r = 0; r < 8; r++) {
    const __m256 qv = qtbl != nullptr
                          ? _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm_loadu_si128(
                                reinterpret_cast<const __m128i*>(qtbl->quantval + 8 * r))))
                          : set1(1.f);
    q[r] = _mm256_mul_ps(_mm256_mul_ps(qv, set1(kAan[r])), aanCol);
    ci[r] = _mm256_cvtepi16_epi32(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef_block + 8 * r)));
    c[r] = _mm256_cvtepi32_ps(ci[r]);
  }
  const float level = static_cast<float>(coef_block[0]) * _mm256_cvtss_f32(q[0]) + 1024.f;
  __m256 ws[8];
  if (isLuminance(cinfo, compptr) && !(level < 1.f)) {  // as SetQuantizer decides
    const SFFastTables& f = fastTables();
    const float invlevel = 1.f / level;
    for (int r = 0; r < 8; r++) c[r] = smoothRow(f, r, q[r], ci[r], invlevel, seeds[r]);
  } else {
    for (int r = 0; r < 8; r++) c[r] = _mm256_mul_ps(c[r], q[r]);
  }
  aanPass8(c, ws);
  transpose8(ws);
  aanPass8(ws, c);  // c[col]: output column col, a lane per row
  __m256i v[8];
  for (int col = 0; col < 8; col++) {
    const __m256 x = _mm256_max_ps(_mm256_min_ps(c[col], set1(1e6f)), set1(-1e6f));
    v[col] = _mm256_add_epi32(
        _mm256_srai_epi32(_mm256_add_epi32(_mm256_cvttps_epi32(x), set1i(4)), 3), set1i(128));
  }
  // Saturated to bytes, each 128-bit half holds columns 0-3 (q0) or 4-7 (q1) of rows 0-3 (low
  // half) or 4-7 (high half), column by column; a byte shuffle turns them row by row.
  const __m256i q0 =
      _mm256_packus_epi16(_mm256_packs_epi32(v[0], v[1]), _mm256_packs_epi32(v[2], v[3]));
  const __m256i q1 =
      _mm256_packus_epi16(_mm256_packs_epi32(v[4], v[5]), _mm256_packs_epi32(v[6], v[7]));
  const __m256i byRow = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4,
                                         8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  const __m256i t0 = _mm256_shuffle_epi8(q0, byRow), t1 = _mm256_shuffle_epi8(q1, byRow);
  const __m256i rows01 = _mm256_unpacklo_epi32(t0, t1);  // rows 0, 1 | rows 4, 5
  const __m256i rows23 = _mm256_unpackhi_epi32(t0, t1);  // rows 2, 3 | rows 6, 7
  const __m128i part[4] = {_mm256_castsi256_si128(rows01), _mm256_castsi256_si128(rows23),
                           _mm256_extracti128_si256(rows01, 1),
                           _mm256_extracti128_si256(rows23, 1)};
  for (int i = 0; i < 4; i++) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(output_buf[2 * i] + output_col), part[i]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(output_buf[2 * i + 1] + output_col),
                     _mm_unpackhi_epi64(part[i], part[i]));
  }
}

}  // namespace

#endif  // SF_HAVE_AVX2

void jpeg_sf_idct_float(j_decompress_ptr cinfo, jpeg_component_info* compptr, JCOEFPTR coef_block,
                        JSAMPARRAY output_buf, JDIMENSION output_col) {
#ifdef SF_HAVE_AVX2
  if (cpuHasAVX2()) {
    idctBlockAVX2(cinfo, compptr, coef_block, output_buf, output_col);
    return;
  }
#endif
  jpeg_sf_idct_float_plain(cinfo, compptr, coef_block, output_buf, output_col);
}

void jpeg_sf_reseed(uint32_t state) {
  g_state = state != 0 ? state : 0x2545F491u;
}

bool jpeg_sf_idct(j_decompress_ptr cinfo) {
  jpeg_sf_reseed(0);
  if (cinfo->idct == nullptr) return false;
  bool all = true;
  jpeg_component_info* comp = cinfo->comp_info;
  for (int ci = 0; ci < cinfo->num_components; ci++, comp++) {
    if (cinfo->dct_method == JDCT_FLOAT && comp->DCT_scaled_size == DCTSIZE)
      cinfo->idct->inverse_DCT[ci] = jpeg_sf_idct_float;
    else
      all = false;
  }
  return all;
}
