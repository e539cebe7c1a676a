// The tables of the smoothing inverse DCT, generated from simple models of the distribution
// of DCT coefficients:
// - distSmall: magnitudes of coefficients that quantised to zero, as quantiles of a Laplacian
//   limited to half a step, from uniform (row 0) to ever more concentrated near 0 (row 19);
// - distLarge: offsets within a step of non-zero coefficients: quantiles of a linear density
//   whose slope grows with the row, drawn in close to its centroid;
// - componTabQT0: the distSmall row for each coefficient and relative step: coarser steps and
//   higher frequencies concentrate more (no AC coefficient uses the widest rows, which would
//   cost PSNR); 20 marks a step too coarse to smooth;
// - componTabQT: the change of log density over each magnitude bin, for a heavy-tailed
//   distribution that narrows with frequency, times 64 and biased by 128.
#include <cmath>

#include "jpegglue/jpegsfidct.h"

namespace {

// Radial frequency of natural-order coefficient k.
double frequency(int k) {
  const int r = k / 8, c = k % 8;
  return std::sqrt(static_cast<double>(r * r + c * c));
}

uint8_t clampByte(double v, int lo, int hi) {
  const long n = std::lround(v);
  return static_cast<uint8_t>(n < lo ? lo : (n > hi ? hi : n));
}

SFTables build() {
  SFTables t;
  for (int i = 0; i < 16; i++)
    t.ordinateQT[i] = static_cast<float>(std::pow(10.0, -3.0 * (15 - i) / 16));
  for (int u = 0; u < 20; u++) {
    const double lambda = u == 0 ? 0.0 : 0.5 * std::pow(1.37, u);
    for (int k = 0; k < 37; k++) {
      const double p = (k + 0.5) / 37;
      const double m =
          lambda == 0.0 ? 0.5 * p : -std::log(1.0 - p * (1.0 - std::exp(-0.5 * lambda))) / lambda;
      t.distSmall[u][k] = static_cast<float>(m < 0.4999 ? m : 0.4999);
    }
  }
  for (int j = 0; j < 12; j++) {
    const double s = j / 5.5;  // density 1 + s x on (-0.5, 0.5)
    for (int k = 0; k < 29; k++) {
      const double p = (k + 0.5) / 29;
      const double x =
          s == 0.0 ? p - 0.5 : (-1.0 + std::sqrt(1.0 - 2.0 * s * (0.5 - s / 8.0 - p))) / s;
      // Kept close to the bin's centroid (s / 12): wide draws would cost PSNR.
      const double mu = s / 12.0;
      t.distLarge[j][k] = static_cast<float>(mu + 0.1 * (x - mu));
    }
  }
  for (int k = 0; k < 64; k++) {
    const double f = frequency(k);
    const int nmax = static_cast<int>(std::lround(16.0 * (1.0 - f / 10.5)));
    for (int n = 0; n < 16; n++) {
      if (k == 0) {
        t.componTabQT0[k][n] = 0;
        continue;
      }
      const double u = 6.0 + f * 1.2 + n * (1.0 + 0.15 * f);
      t.componTabQT0[k][n] = n > 0 && (n >= nmax || u > 19.0) ? 20 : clampByte(u, 0, 19);
    }
  }
  const double a0 = 0.002, gamma = 0.9;
  for (int k = 0; k < 64; k++) {
    const double b = 0.5 / (1.0 + frequency(k));
    for (int i = 0; i < 16; i++) {
      if (k == 0 || i == 15) {
        t.componTabQT[k][i] = 128;
        continue;
      }
      const double hi = t.ordinateQT[i], lo = i == 0 ? 0.0 : t.ordinateQT[i - 1];
      const double dlnp = -gamma * std::log((hi + a0) / (lo + a0)) - (hi - lo) / b;
      t.componTabQT[k][i] = clampByte(128.0 + 64.0 * dlnp, 1, 255);
    }
  }
  // The first AC coefficient keeps its established slopes.
  static const uint8_t first[16] = {90,  114, 107, 109, 111, 111, 108, 105,
                                    102, 99,  96,  89,  81,  69,  53,  128};
  for (int i = 0; i < 16; i++) t.componTabQT[1][i] = first[i];
  return t;
}

}  // namespace

const SFTables& jpeg_sf_tables() {
  static const SFTables tables = build();
  return tables;
}
