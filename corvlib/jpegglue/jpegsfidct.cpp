// The smoothing inverse DCT: statistical dequantisation of luminance blocks followed by the
// floating-point AAN inverse transform.
#include "jpegglue/jpegsfidct.h"

extern "C" {
#include <jpegint.h>
}

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

void jpeg_sf_idct_float(j_decompress_ptr cinfo, jpeg_component_info* compptr, JCOEFPTR coef_block,
                        JSAMPARRAY output_buf, JDIMENSION output_col) {
  // Multipliers from the component's quantisation table: cheap enough to build per block,
  // and always those of the table the block was coded with.
  float mult[64];
  const JQUANT_TBL* qtbl = compptr->quant_table;
  for (int k = 0; k < 64; k++)
    mult[k] = (qtbl != nullptr ? static_cast<float>(qtbl->quantval[k]) : 1.f) * kAan[k >> 3] *
              kAan[k & 7];
  const bool luminance =
      compptr->component_index == 0 &&
      (cinfo->jpeg_color_space == JCS_YCbCr || cinfo->jpeg_color_space == JCS_GRAYSCALE);
  DCTdequantizer dq;
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

bool jpeg_sf_idct(j_decompress_ptr cinfo) {
  g_state = 0x2545F491u;
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
