// An inverse DCT for plain JPEG decoding that dequantises luminance statistically: zero
// coefficients get a small random value and non-zero ones move within their quantisation bin,
// drawn from tables that depend on the coefficient and on the step relative to the block's
// brightness. It hides blocking and banding in strongly compressed images; chrominance and
// other components take the plain floating-point transform.
#pragma once

#include <cstdint>
#include <cstdio>

#include <jpeglib.h>

// After jpeg_start_decompress with dct_method JDCT_FLOAT: replaces the inverse DCT of every
// component decoded at full 8x8 size. True only when every component was replaced (scaled
// decoding keeps libjpeg's reduced transforms). Reseeds the transform's own random generator,
// so the same file always decodes to the same samples.
bool jpeg_sf_idct(j_decompress_ptr cinfo);

// libjpeg's inverse-DCT entry: one 8x8 block of samples. Vectorised where the processor has
// AVX2, with the samples of jpeg_sf_idct_float_plain bit for bit.
void jpeg_sf_idct_float(j_decompress_ptr cinfo, jpeg_component_info* compptr, JCOEFPTR coef_block,
                        JSAMPARRAY output_buf, JDIMENSION output_col);
// The same transform coefficient by coefficient through DCTdequantizer.
void jpeg_sf_idct_float_plain(j_decompress_ptr cinfo, jpeg_component_info* compptr,
                              JCOEFPTR coef_block, JSAMPARRAY output_buf, JDIMENSION output_col);
// Reseeds the transform's random generator (0 gives the state every decoding starts from).
void jpeg_sf_reseed(uint32_t state);

// Per-block dequantisation state.
struct DCTdequantizer {
  int32_t mode;              // 0 smoothing, -1 plain
  const float* mult;         // 64 multipliers (step x AAN scale factors), natural order
  const JCOEF* coef;         // the block, natural order
  float strength;            // 0.67
  float invlevel;            // 1 / (DC x DC multiplier + 1024)
  const uint8_t (*qt0)[16];  // zero-coefficient classes per coefficient and level
  const uint8_t (*qt)[16];   // slopes (biased by 128) per coefficient and magnitude bin
  uint32_t seeds[8];         // one per row of the block
  int column;

  // Prepares one block; true when smoothing is active. mult must hold the component's
  // multipliers.
  bool SetQuantizer(const jpeg_component_info* compptr, const JCOEF* block, const float* mult,
                    bool luminance);
  // The dequantised value of coefficient k (natural order).
  float Dequantize(int k) const;
};

// The fixed tables, generated once.
struct SFTables {
  float ordinateQT[16];
  float distSmall[20][37];
  float distLarge[12][29];
  uint8_t componTabQT0[64][16];
  uint8_t componTabQT[64][16];
};
const SFTables& jpeg_sf_tables();
