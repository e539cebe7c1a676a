#include "support/fvect.h"

#include <cmath>

namespace {

// Field scale of direction codes: 8192 x sqrt(2), so the two smaller components of a unit
// vector always fit 13 bits.
constexpr double kDirScale = 11585.2;
constexpr uint32_t kDirMax = 0x1fff;
constexpr uint32_t kDirXLow = 0x8;     // low field holds x (else y)
constexpr uint32_t kDirXYLeft = 0x10;  // left-out component is the other of x, y (else z)
constexpr int kDirLowShift = 5;
constexpr int kDirHighShift = 18;

}  // namespace

double fdot(const FVECT a, const FVECT b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

double dist2(const FVECT a, const FVECT b) {
  const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
  return dx * dx + dy * dy + dz * dz;
}

double dist2line(const FVECT p, const FVECT e1, const FVECT e2) {
  const double d = dist2(e1, e2);
  const double a = dist2(e1, p);
  if (d == 0.0) return a;  // the line degenerates to a point
  const double b = a + d - dist2(e2, p);
  return a - b * b / (4.0 * d);
}

double dist2lseg(const FVECT p, const FVECT e1, const FVECT e2) {
  const double d = dist2(e1, e2);
  const double a = dist2(e1, p);
  const double c = dist2(e2, p);
  if (a < c && d < c - a) return a;
  if (a >= c && d < a - c) return c;
  return dist2line(p, e1, e2);
}

double* fcross(FVECT r, const FVECT a, const FVECT b) {
  r[0] = a[1] * b[2] - a[2] * b[1];
  r[1] = a[2] * b[0] - a[0] * b[2];
  r[2] = a[0] * b[1] - a[1] * b[0];
  return r;
}

double* fvsum(FVECT r, const FVECT a, const FVECT b, double f) {
  r[0] = a[0] + f * b[0];
  r[1] = a[1] + f * b[1];
  r[2] = a[2] + f * b[2];
  return r;
}

double normalize(FVECT v) {
  const double len2 = fdot(v, v);
  if (len2 <= 0.0) return 0.0;
  // Close to unit length the first-order expansion is exact enough and saves the root.
  const double len =
      (len2 <= 1.0 + 1e-6 && len2 >= 1.0 - 1e-6) ? 0.5 + 0.5 * len2 : std::sqrt(len2);
  v[0] /= len;
  v[1] /= len;
  v[2] /= len;
  return len;
}

int closestapproach(double t[2], const FVECT o0, const FVECT d0, const FVECT o1, const FVECT d1) {
  const double p = fdot(d0, d1);
  const double q = 1.0 - p * p;
  if (q <= 1e-6) {
    t[0] = t[1] = 0.0;
    return 0;
  }
  FVECT v;
  v[0] = o0[0] - o1[0];
  v[1] = o0[1] - o1[1];
  v[2] = o0[2] - o1[2];
  const double u = fdot(d0, v);
  const double w = fdot(d1, v);
  t[0] = (p * w - u) / q;
  t[1] = p * t[0] + w;
  return 1;
}

void spinvector(FVECT r, const FVECT v, const FVECT axis, double angle) {
  if (angle == 0.0) {
    if (r != v) {
      r[0] = v[0];
      r[1] = v[1];
      r[2] = v[2];
    }
    return;
  }
  const double c = std::cos(angle), s = std::sin(angle);
  const double d = (1.0 - c) * fdot(v, axis);
  FVECT x;
  fcross(x, axis, v);
  FVECT out;
  for (int i = 0; i < 3; i++) out[i] = c * v[i] + d * axis[i] + s * x[i];
  r[0] = out[0];
  r[1] = out[1];
  r[2] = out[2];
}

uint32_t encodedir(const FVECT v) {
  uint32_t dc = 0;
  uint32_t cd[3];
  for (int i = 0; i < 3; i++) {
    const double m = std::fabs(v[i]) * kDirScale;
    // NaN and oversized components must not reach the integer conversion.
    if (!(m >= 1.0))
      cd[i] = 0;
    else if (m >= 2.0 * kDirScale)
      cd[i] = static_cast<uint32_t>(2.0 * kDirScale);
    else
      cd[i] = static_cast<uint32_t>(m);
    if (v[i] < 0.0) dc |= 1u << i;
  }
  if (cd[0] == 0 && cd[1] == 0 && cd[2] == 0) return 0;
  uint32_t low, high;
  if (cd[0] > cd[1] && cd[0] >= cd[2]) {
    low = cd[1];
    high = cd[2];
    dc |= kDirXYLeft;
  } else if (cd[0] > cd[1]) {  // z largest
    low = cd[1];
    high = cd[0];
  } else {
    low = cd[0];
    dc |= kDirXLow;
    if (cd[1] >= cd[2]) {
      high = cd[2];
      dc |= kDirXYLeft;
    } else {
      high = cd[1];
    }
  }
  // A vector that is not of unit length could give stored fields past 13 bits.
  if (low > kDirMax) low = kDirMax;
  if (high > kDirMax) high = kDirMax;
  return dc | low << kDirLowShift | high << kDirHighShift;
}

void decodedir(FVECT v, uint32_t code) {
  if (code == 0) {
    v[0] = v[1] = v[2] = 0.0;
    return;
  }
  const double low = (((code >> kDirLowShift) & kDirMax) + 0.5) / kDirScale;
  const double high = (((code >> kDirHighShift) & kDirMax) + 0.5) / kDirScale;
  double left = 1.0 - low * low - high * high;
  left = left > 0.0 ? std::sqrt(left) : 0.0;
  if (code & kDirXLow) {
    v[0] = low;
    if (code & kDirXYLeft) {
      v[1] = left;
      v[2] = high;
    } else {
      v[1] = high;
      v[2] = left;
    }
  } else {
    v[1] = low;
    if (code & kDirXYLeft) {
      v[0] = left;
      v[2] = high;
    } else {
      v[0] = high;
      v[2] = left;
    }
  }
  for (int i = 0; i < 3; i++)
    if (code & (1u << i)) v[i] = -v[i];
}

double dir2diff(uint32_t c1, uint32_t c2) {
  FVECT v1, v2;
  decodedir(v1, c1);
  decodedir(v2, c2);
  return 2.0 - 2.0 * fdot(v1, v2);
}

double fdir2diff(uint32_t c, const FVECT v) {
  FVECT u;
  decodedir(u, c);
  return 2.0 - 2.0 * fdot(u, v);
}
