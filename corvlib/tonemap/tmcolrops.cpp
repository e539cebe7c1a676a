// Byte-colour operations on RGBE scanlines: gamma-byte tables indexed by exponent step and
// mantissa, their inverse, and exponent shifts.
#include "tonemap/tmcolrops.h"

#include <cmath>

#include "support/futil.h"

namespace {
unsigned char (*g_bval)[256];  // 32 tables of 256 gamma bytes
unsigned char* g_mant;         // inverse mantissa of a gamma byte
unsigned char* g_nexp;         // and its exponent shift
constexpr int MAXGSHIFT = 31;
}  // namespace

int setcolrcor(double (*f)(double, double), double a) {
  if (f == nullptr) return -1;
  if (g_bval == nullptr) {
    g_bval = (unsigned char(*)[256])bmalloc((MAXGSHIFT + 1) * 256);
    if (g_bval == nullptr) return -1;
  }
  double mult = 1.0 / 256.0;
  for (int i = 0; i <= MAXGSHIFT; i++) {
    for (int j = 0; j < 256; j++) {
      double v = 256.0 * (*f)((j + 0.5) * mult, a);
      g_bval[i][j] = v >= 255.0 ? 255 : (v > 0 ? (unsigned char)(int)v : 0);
    }
    mult *= 0.5;
  }
  return 0;
}

int setcolrinv(double (*f)(double, double), double a) {
  if (f == nullptr) return -1;
  if (g_mant == nullptr) {
    g_mant = (unsigned char*)bmalloc(256);
    g_nexp = (unsigned char*)bmalloc(256);
    if (g_mant == nullptr || g_nexp == nullptr) {
      g_mant = g_nexp = nullptr;
      return -1;
    }
  }
  double mult = 256.0;
  int shift = 0;
  for (int j = 256; j--;) {
    int r;
    // A value too small to reach bit 7 within the exponent range stays as it is.
    while ((r = (int)((*f)((j + 0.5) / 256.0, a) * mult)) < 128 && shift < 100) {
      mult *= 2.0;
      shift++;
    }
    g_mant[j] = (unsigned char)(r > 255 ? 255 : (r < 0 ? 0 : r));
    g_nexp[j] = (unsigned char)shift;
  }
  return 0;
}

int setcolrgam(double g) {
  if (!(g > 0)) return -1;
  if (setcolrcor(std::pow, 1.0 / g) < 0) return -1;
  return setcolrinv(std::pow, g);
}

int colrs_gambs(RGBEPIX* scan, int len) {
  if (g_bval == nullptr) return -1;
  for (int n = 0; n < len; n++) {
    unsigned char* p = scan[n];
    int e = p[3] - 128;
    for (int c = 0; c < 3; c++) {
      int m = p[c], v;
      if (e < -39)
        v = 0;
      else if (e < -31)
        v = g_bval[MAXGSHIFT][((m >> (-32 - e)) + 1) >> 1];
      else if (e <= 0)
        v = g_bval[-e][m];
      else if (e <= 8) {
        int idx = (2 * m + 1) << (e - 1);
        v = idx >= 256 ? 255 : g_bval[0][idx];
      } else
        v = 255;
      p[c] = (unsigned char)v;
    }
    p[3] = 128;
  }
  return 0;
}

int gambs_colrs(RGBEPIX* scan, int len) {
  if (g_mant == nullptr) return -1;
  for (int n = 0; n < len; n++) {
    unsigned char* p = scan[n];
    int nexp = g_nexp[p[0]];
    if (g_nexp[p[1]] < nexp) nexp = g_nexp[p[1]];
    if (g_nexp[p[2]] < nexp) nexp = g_nexp[p[2]];
    for (int c = 0; c < 3; c++) {
      int s = g_nexp[p[c]] - nexp;
      p[c] = (unsigned char)(s >= 8 ? 0 : g_mant[p[c]] >> s);
    }
    p[3] = (unsigned char)(128 - nexp < 0 ? 0 : 128 - nexp);
  }
  return 0;
}

void shiftcolrs(RGBEPIX* scan, int len, int adjust) {
  if (adjust == 0) return;
  for (int n = 0; n < len; n++) {
    unsigned char* p = scan[n];
    int e = p[3] + adjust;
    if (p[3] == 0) continue;  // black stays black
    if (e <= 0) {
      p[0] = p[1] = p[2] = p[3] = 0;
    } else {
      p[3] = (unsigned char)(e > 255 ? 255 : e);
    }
  }
}

void normcolrs(RGBEPIX* scan, int len, int adjust) {
  for (int n = 0; n < len; n++) {
    unsigned char* p = scan[n];
    int e = p[3] + adjust - 128;
    for (int c = 0; c < 3; c++) {
      int m = p[c], v;
      if (e == 0)
        v = m;
      else if (e < -8)
        v = 0;
      else if (e < 0)
        v = ((m >> (-e - 1)) + 1) >> 1;
      else if (e <= 8) {
        v = (2 * m + 1) << (e - 1);
        if (v > 255) v = 255;
      } else
        v = 255;
      p[c] = (unsigned char)v;
    }
    p[3] = (unsigned char)(128 - adjust);
  }
}
