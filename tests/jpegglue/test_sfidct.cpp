// The smoothing inverse DCT: chroma as the plain float transform, less blocking on strongly
// compressed images at no real cost in PSNR, repeatable output, and plain decoding where it
// does not apply.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "jpegglue/jpegglue.h"
#include "jpegglue/jpegsfidct.h"
#include "support/cpufeat.h"

namespace {

constexpr int kW = 256, kH = 192;

// A smooth scene with soft shading and a few gentle edges, the kind that shows blocking.
std::vector<uint8_t> scene() {
  std::vector<uint8_t> px(kW * kH * 3);
  for (int y = 0; y < kH; y++)
    for (int x = 0; x < kW; x++) {
      const double u = x / double(kW), v = y / double(kH);
      const double d = (u - 0.4) * (u - 0.4) + (v - 0.5) * (v - 0.5);
      const double lum = 40 + 150 * std::exp(-d / 0.08) + 30 * std::sin(6 * u + 2 * v);
      uint8_t* p = &px[(y * kW + x) * 3];
      p[0] = static_cast<uint8_t>(std::min(255.0, lum * (0.9 + 0.2 * u)));
      p[1] = static_cast<uint8_t>(std::min(255.0, lum));
      p[2] = static_cast<uint8_t>(std::min(255.0, lum * (1.1 - 0.3 * v)));
    }
  return px;
}

std::string compress(const std::vector<uint8_t>& px, int quality) {
  std::ostringstream out;
  jpeg_compress_struct ci;
  jpeg_error_mgr jerr;
  ci.err = jpeg_glue_error(&jerr);
  jpeg_create_compress(&ci);
  jpeg_stream_dest(&ci, &out);
  ci.image_width = kW;
  ci.image_height = kH;
  ci.input_components = 3;
  ci.in_color_space = JCS_RGB;
  jpeg_set_defaults(&ci);
  jpeg_set_quality(&ci, quality, TRUE);
  jpeg_start_compress(&ci, TRUE);
  while (ci.next_scanline < ci.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(&px[ci.next_scanline * kW * 3]);
    jpeg_write_scanlines(&ci, &row, 1);
  }
  jpeg_finish_compress(&ci);
  jpeg_destroy_compress(&ci);
  return out.str();
}

struct Decode {
  std::vector<uint8_t> px;
  bool replaced = false;
  int w = 0;
};

Decode decompress(const std::string& data, bool smooth, J_COLOR_SPACE out, int denom = 1) {
  Decode d;
  std::istringstream in(data);
  jpeg_decompress_struct ci;
  jpeg_error_mgr jerr;
  ci.err = jpeg_glue_error(&jerr);
  jpeg_create_decompress(&ci);
  jpeg_stream_src(&ci, &in);
  jpeg_read_header(&ci, TRUE);
  ci.dct_method = JDCT_FLOAT;
  ci.out_color_space = out;
  ci.scale_denom = denom;
  jpeg_start_decompress(&ci);
  if (smooth) d.replaced = jpeg_sf_idct(&ci);
  d.w = ci.output_width;
  const int n = ci.output_components;
  d.px.resize(size_t(ci.output_width) * ci.output_height * n);
  while (ci.output_scanline < ci.output_height) {
    JSAMPROW row = &d.px[size_t(ci.output_scanline) * ci.output_width * n];
    jpeg_read_scanlines(&ci, &row, 1);
  }
  jpeg_finish_decompress(&ci);
  jpeg_destroy_decompress(&ci);
  return d;
}

// Blockiness of channel c: the mean absolute step across vertical 8-pixel block edges over
// the mean step inside blocks.
double blocking(const std::vector<uint8_t>& px, int c) {
  double edge = 0, inner = 0;
  int ne = 0, ni = 0;
  for (int y = 0; y < kH; y++)
    for (int x = 1; x < kW; x++) {
      const double s = std::abs(px[(y * kW + x) * 3 + c] - px[(y * kW + x - 1) * 3 + c]);
      if (x % 8 == 0) {
        edge += s;
        ne++;
      } else {
        inner += s;
        ni++;
      }
    }
  return (edge / ne) / (inner / ni);
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int c) {
  double se = 0;
  for (size_t i = c; i < a.size(); i += 3) se += (a[i] - b[i]) * double(a[i] - b[i]);
  return 10 * std::log10(255.0 * 255.0 / (se / (a.size() / 3)));
}

TEST(SmoothingIdct, ChromaMatchesThePlainFloatTransform) {
  const std::string data = compress(scene(), 20);
  Decode plain = decompress(data, false, JCS_YCbCr);
  Decode smooth = decompress(data, true, JCS_YCbCr);
  ASSERT_TRUE(smooth.replaced);
  int lumaDiffers = 0;
  for (size_t i = 0; i < plain.px.size(); i++) {
    if (i % 3 == 0)
      lumaDiffers += plain.px[i] != smooth.px[i];
    else
      ASSERT_NEAR(plain.px[i], smooth.px[i], 1) << i;
  }
  EXPECT_GT(lumaDiffers, 100);
}

TEST(SmoothingIdct, LowersBlockingWithoutCostingPsnr) {
  const std::vector<uint8_t> orig = scene();
  for (int quality : {10, 20, 30}) {
    const std::string data = compress(orig, quality);
    Decode plain = decompress(data, false, JCS_YCbCr);
    Decode smooth = decompress(data, true, JCS_YCbCr);
    // The original in the same YCbCr terms: compare luma only.
    Decode ref = decompress(compress(orig, 100), false, JCS_YCbCr);
    const double bp = blocking(plain.px, 0), bs = blocking(smooth.px, 0);
    EXPECT_LT(bs, bp) << "quality " << quality;
    EXPECT_GT(psnr(smooth.px, ref.px, 0), psnr(plain.px, ref.px, 0) - 0.3) << "quality " << quality;
  }
}

TEST(SmoothingIdct, RepeatableAndPlainWhereItDoesNotApply) {
  const std::string data = compress(scene(), 15);
  EXPECT_EQ(decompress(data, true, JCS_RGB).px, decompress(data, true, JCS_RGB).px);
  // Scaled decoding keeps libjpeg's reduced transforms.
  Decode half = decompress(data, true, JCS_RGB, 2);
  EXPECT_FALSE(half.replaced);
  EXPECT_EQ(half.px, decompress(data, false, JCS_RGB, 2).px);
}

TEST(SmoothingIdct, DarkBlocksAndChromaDequantisePlainly) {
  float mult[64];
  for (int k = 0; k < 64; k++) mult[k] = 10.f + k;
  JCOEF block[64] = {};
  block[1] = 3;
  jpeg_component_info comp{};
  DCTdequantizer dq;
  block[0] = -103;  // -1030 + 1024 < 1: too dark to smooth
  EXPECT_FALSE(dq.SetQuantizer(&comp, block, mult, true));
  EXPECT_FLOAT_EQ(dq.Dequantize(1), 33.f);
  EXPECT_FLOAT_EQ(dq.Dequantize(2), 0.f);
  block[0] = 0;
  EXPECT_FALSE(dq.SetQuantizer(&comp, block, mult, false));
  EXPECT_FLOAT_EQ(dq.Dequantize(1), 33.f);
  ASSERT_TRUE(dq.SetQuantizer(&comp, block, mult, true));
  EXPECT_NE(dq.Dequantize(1), 33.f);
  EXPECT_NEAR(dq.Dequantize(1), 33.f, 0.5f * 11.f);  // within its bin
  for (int k = 2; k < 64; k++) EXPECT_LT(std::fabs(dq.Dequantize(k)), 0.5f * mult[k]) << k;
}

TEST(SmoothingIdct, TablesKeepTheirShapeAndBounds) {
  const SFTables& t = jpeg_sf_tables();
  EXPECT_NEAR(t.ordinateQT[0], 0.00154, 1e-5);
  EXPECT_FLOAT_EQ(t.ordinateQT[15], 1.f);
  double mean0 = 0;
  for (float v : t.distSmall[0]) mean0 += v / 37;
  EXPECT_NEAR(mean0, 0.25, 0.01);
  int below = 0;
  for (float v : t.distSmall[19]) below += v < 0.01f;
  EXPECT_GT(below, 37 / 2);
  for (auto& row : t.distSmall)
    for (float v : row) ASSERT_TRUE(v >= 0 && v < 0.5f);
  for (auto& row : t.distLarge)
    for (float v : row) ASSERT_TRUE(v > -0.5f && v < 0.5f);
  for (int k = 0; k < 64; k++) {
    EXPECT_LE(t.componTabQT0[k][0], 19) << k;  // the step-down always ends in range
    for (int n = 0; n < 16; n++) ASSERT_LE(t.componTabQT0[k][n], 20);
  }
  EXPECT_EQ(t.componTabQT0[63][1], 20);  // the finest coefficient smooths only at fine steps
  EXPECT_EQ(t.componTabQT[1][0], 90);
  EXPECT_EQ(t.componTabQT[0][5], 128);
}

// The vectorised transform gives the plain one's samples bit for bit, over blocks of every
// kind: sparse and dense, dark and bright, luminance and chrominance, tables of every scale.
TEST(SmoothingIdct, VectorisedAgreesWithPlainBitForBit) {
  if (!cpuHasAVX2()) GTEST_SKIP() << "no AVX2: only the plain transform runs";
  std::mt19937 rng(7);
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  jpeg_decompress_struct cinfo;
  std::memset(&cinfo, 0, sizeof cinfo);
  jpeg_component_info comp;
  std::memset(&comp, 0, sizeof comp);
  JQUANT_TBL qt;
  std::memset(&qt, 0, sizeof qt);
  uint8_t plain[8][16], fast[8][16];
  JSAMPROW prow[8], frow[8];
  for (int r = 0; r < 8; r++) prow[r] = plain[r], frow[r] = fast[r];
  for (int b = 0; b < 20000; b++) {
    // Tables: a standard one scaled, small random steps, or anything a file may hold.
    const int kind = uniform(0, 9), scale = uniform(1, 400);
    for (int k = 0; k < 64; k++)
      qt.quantval[k] =
          static_cast<UINT16>(kind < 6   ? std::max(1, std::min(255, (16 + 3 * k) * scale / 100))
                              : kind < 9 ? uniform(1, 60)
                                         : uniform(0, 65535));
    comp.quant_table = b % 50 == 0 ? nullptr : &qt;
    comp.component_index = uniform(0, 3) == 0 ? 1 : 0;
    cinfo.jpeg_color_space = uniform(0, 9) == 0 ? JCS_RGB
                             : uniform(0, 1)    ? JCS_YCbCr
                                                : JCS_GRAYSCALE;
    // Coefficients: a DC level from very dark to bright, few or many AC values, now and then
    // the extremes.
    JCOEF block[64] = {};
    block[0] = static_cast<JCOEF>(uniform(-1100, 1100) * 8 / std::max<int>(1, qt.quantval[0]));
    const int nac = uniform(0, 3) == 0 ? 63 : uniform(0, 8);
    for (int i = 0; i < nac; i++)
      block[uniform(1, 63)] =
          static_cast<JCOEF>(uniform(0, 20) == 0 ? uniform(-32767, 32767) : uniform(-40, 40));
    std::memset(plain, 0xA5, sizeof plain);
    std::memset(fast, 0xA5, sizeof fast);
    jpeg_sf_reseed(static_cast<uint32_t>(b + 1));
    jpeg_sf_idct_float_plain(&cinfo, &comp, block, prow, 4);
    jpeg_sf_reseed(static_cast<uint32_t>(b + 1));
    jpeg_sf_idct_float(&cinfo, &comp, block, frow, 4);
    ASSERT_EQ(std::memcmp(plain, fast, sizeof plain), 0) << "block " << b;
  }
}

}  // namespace
