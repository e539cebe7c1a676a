// Numbers typed by the user: decimals and fractions in the C locale.
#include "app/records/psetother.h"

#include <stdlib.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "support/cnumber.h"
#include "support/pstrings.h"

namespace {

const char* SkipSpace(const char* s) {
  while (Cspace(*s)) ++s;
  return s;
}

// A plain decimal number at s (sign, digits with at most one point, an exponent): its end, or
// NULL when s does not start with one. Hexadecimal numbers, "inf" and "nan" are not numbers
// here.
const char* DecimalEnd(const char* s) {
  if (*s == '+' || *s == '-') ++s;
  int digits = 0;
  while (*s >= '0' && *s <= '9') ++s, ++digits;
  if (*s == '.') {
    ++s;
    while (*s >= '0' && *s <= '9') ++s, ++digits;
  }
  if (digits == 0) return nullptr;
  if (*s == 'e' || *s == 'E') {
    const char* e = s + 1;
    if (*e == '+' || *e == '-') ++e;
    if (*e >= '0' && *e <= '9') {
      while (*e >= '0' && *e <= '9') ++e;
      s = e;
    }
  }
  return s;
}

// Reads a decimal number at s (after white space) into *v; the end, or NULL for none.
const char* ReadDecimal(const char* s, double* v) {
  s = SkipSpace(s);
  const char* end = DecimalEnd(s);
  if (end == nullptr) return nullptr;
  char* stop = nullptr;
  *v = Cstrtod(s, &stop);
  return stop == end ? end : nullptr;
}

bool FiniteFloat(double d) {
  return std::isfinite(d) && std::fabs(d) <= FLT_MAX;
}

}  // namespace

float fracEval(const char* s) {
  if (s == nullptr) return 0.0f;
  double n = 0.0;
  const char* end = ReadDecimal(s, &n);
  if (end == nullptr) return 0.0f;
  double r = n;
  const char* slash = strchr(end, '/');
  if (slash != nullptr) {
    double d = 0.0;
    if (ReadDecimal(slash + 1, &d) == nullptr) d = 0.0;
    r = n / d;
  }
  return FiniteFloat(r) ? static_cast<float>(r) : 0.0f;
}

bool fracCheck(const char* s, float* v) {
  if (s == nullptr || v == nullptr) return false;
  double n = 0.0;
  const char* p = ReadDecimal(s, &n);
  if (p == nullptr) return false;
  p = SkipSpace(p);
  double r = n;
  if (*p == '/') {
    double d = 0.0;
    p = ReadDecimal(p + 1, &d);
    if (p == nullptr || d == 0.0) return false;
    r = n / d;
    p = SkipSpace(p);
  }
  if (*p != '\0' || !FiniteFloat(r)) return false;
  *v = static_cast<float>(r);
  return true;
}

bool intCheck(const char* s, long* v) {
  if (s == nullptr || v == nullptr) return false;
  s = SkipSpace(s);
  const char* p = s;
  if (*p == '+' || *p == '-') ++p;
  if (*p < '0' || *p > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long long x = strtoll(s, &end, 10);
  if (errno != 0 || x < INT32_MIN || x > INT32_MAX) return false;
  if (*SkipSpace(end) != '\0') return false;
  *v = static_cast<long>(x);
  return true;
}

int strpcmp(const void* a, const void* b) {
  return strcmp_nc(*static_cast<const char* const*>(a), *static_cast<const char* const*>(b));
}
