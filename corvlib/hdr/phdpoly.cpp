// Response polynomials, their comparison and response tables; solution records.
#include <cmath>

#include "hdr/phdrimg.h"
#include "support/dmessage.h"

const PPolynomial linearPoly1 = {1, {0.0, 1.0, 0.0, 0.0, 0.0, 0.0}};

bool samePoly(const PPolynomial& a, const PPolynomial& b, double tol) {
  if (a.degree != b.degree) return false;
  if (a.degree < 0) return true;
  for (int v = 255; v >= 0; v--) {
    const double x = PHDbyteX(v);
    const double pa = a.Eval(x), pb = b.Eval(x);
    if (!(std::fabs(pb - pa) <= tol * std::max(pa, tol))) return false;
  }
  return true;
}

int intcmp(const void* a, const void* b) {
  const int x = *static_cast<const int*>(a), y = *static_cast<const int*>(b);
  return (x > y) - (x < y);
}

int floatcmp(const void* a, const void* b) {
  const float d = *static_cast<const float*>(a) - *static_cast<const float*>(b);
  return d > 0 ? 1 : (d < 0 ? -1 : 0);
}

void PHDSoln::Init() {
  for (PPolynomial& p : ply) p = linearPoly1;
  for (float& e : expadj) e = 1.0f;
}

uint32_t PPatchSet::Rand() {
  // splitmix64: small, fast and the same sequence everywhere for one seed.
  uint64_t z = (rng += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return static_cast<uint32_t>(z >> 33);
}

bool PHDresponseTable(const PPolynomial& p, float* resp, float* slope) {
  if (p.degree < 0 || p.degree > 5) {
    dmessage(DMCdata, "Missing camera response", __FILE__, __LINE__);
    return false;
  }
  int k = 19;
  for (int b = 255; b >= 19; b--) {
    const double x = PHDbyteX(b);
    const double v = p.Eval(x), d = p.Deriv(x);
    if (!(v > 0) || !(d > 0) || !std::isfinite(v) || !std::isfinite(d)) {
      k = b + 1;
      break;
    }
    resp[b] = static_cast<float>(v);
    if (slope != nullptr) slope[b] = static_cast<float>(d);
  }
  if (k > 255) {
    // Nothing usable at the top: a table would read past its end or be all zero.
    dmessage(DMCdata, "Camera response is not positive and rising", __FILE__, __LINE__);
    return false;
  }
  const double s = resp[k] / PHDbyteX(k);
  for (int b = 0; b < k; b++) {
    resp[b] = static_cast<float>(s * PHDbyteX(b));
    if (slope != nullptr) slope[b] = static_cast<float>(s);
  }
  return true;
}
