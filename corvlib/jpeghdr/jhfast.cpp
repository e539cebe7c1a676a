// Fast kernels of the encoder's per-pixel paths, beside the plain functions they stand in for:
// natural log, the sRGB curve and the foreground code of a display luminance, by tables built
// once.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "jpeghdr/jhprivate.h"

namespace {

struct FastTables : JHFastTables {
  FastTables() {
    for (int i = 0; i <= (1 << kLogBits); i++)
      log2m[i] = static_cast<float>(std::log2(1.0 + i / double(1 << kLogBits)));
    for (int i = 0; i <= (1 << kPowBits); i++)
      powm[i] = static_cast<float>(std::pow(1.0 + i / double(1 << kPowBits), 1.0 / 2.4));
    for (int e = kExpLow; e < kExpHigh; e++)
      powe[e - kExpLow] = static_cast<float>(std::pow(2.0, e / 2.4));
  }
};

const FastTables g_tables;

}  // namespace

// Built at start-up, so the per-pixel paths pay no initialisation check.
const JHFastTables& jh_fast_tables = g_tables;

void jh_rgb2ycc_fast(const float rgb[3], uint8_t ycc[3]) {
  const float r = jh_srgb_encode_fast(rgb[0]), g = jh_srgb_encode_fast(rgb[1]),
              b = jh_srgb_encode_fast(rgb[2]);
  jh_ycc_bytes(r, g, b, ycc);
}

bool jh_in_gamut_fast(const jpeghdr_compress_struct* jh, const float rgb[3]) {
  float c[3] = {rgb[0], rgb[1], rgb[2]};
  jpeghdr_desaturate(jh, c);
  if (jh_surely_in_gamut(c[0], c[1], c[2])) return true;
  uint8_t ycc[3];
  jh_rgb2ycc_fast(c, ycc);
  return ycc[0] >= 1 && ycc[0] <= 254 && ycc[1] >= 1 && ycc[1] <= 254 && ycc[2] >= 1 &&
         ycc[2] <= 254;
}

void jh_code_thresholds(JHCodeTable* ct, float gamma) {
  ct->thr[0] = 0.f;
  for (int t = 1; t < 256; t++) ct->thr[t] = std::pow(static_cast<float>(t) / 256.f, gamma);
  ct->thr[256] = 3.4e38f;  // a sentinel no value reaches
  // Each cell holds the code at its lower end; the search then steps up from there.
  int t = 0;
  for (int c = 0; c < JHCodeTable::kCells; c++) {
    const uint32_t bits = (static_cast<uint32_t>(c) + JHCodeTable::kFirstCell)
                          << JHCodeTable::kShift;
    float lo;
    std::memcpy(&lo, &bits, sizeof lo);
    while (t < 255 && lo >= ct->thr[t + 1]) t++;
    ct->cell[c] = static_cast<uint8_t>(t);
  }
  for (int c = JHCodeTable::kCells; c < JHCodeTable::kCells + 3; c++) ct->cell[c] = 0;
  // A search starting in cell c passes at most the thresholds up to the next cell's start
  // (255 above the last cell).
  ct->steps = 0;
  for (int c = 0; c < JHCodeTable::kCells; c++) {
    const int next = c + 1 < JHCodeTable::kCells ? ct->cell[c + 1] : 255;
    if (next - ct->cell[c] > ct->steps) ct->steps = next - ct->cell[c];
  }
  for (int c = 0; c < JHCodeTable::kCells; c++) {
    const uint32_t code = ct->cell[c];
    uint32_t bits;
    std::memcpy(&bits, &ct->thr[code + 1], sizeof bits);  // thr[256] is the sentinel
    const bool inside =
        bits >> JHCodeTable::kShift == static_cast<uint32_t>(c) + JHCodeTable::kFirstCell;
    ct->packed[c] = code << 17 | (inside ? bits & 0xFFFFu : 0x10000u);
  }
}

uint8_t jh_code_search_plain(const JHCodeTable* ct, float v) {
  int t = 0;
  for (int step = 128; step > 0; step >>= 1)
    if (v >= ct->thr[t + step]) t += step;
  return static_cast<uint8_t>(t);
}
