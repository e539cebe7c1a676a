// Typed numbers and fractions, read whole. Needs no window system (the fuzz target compiles it
// alone).
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/mainwin/psettings.h"

namespace {

inline bool Blank(char c) {
  return c == ' ' || c == '\t';
}

// One decimal number in [s, e): sign, digits with one optional point (at least one digit),
// optional exponent. Its value as double, or false.
bool Decimal(const char* s, const char* e, double* out) {
  while (s < e && Blank(*s)) ++s;
  while (e > s && Blank(e[-1])) --e;
  const char* p = s;
  if (p < e && (*p == '+' || *p == '-')) ++p;
  int digits = 0;
  while (p < e && isdigit(static_cast<unsigned char>(*p))) ++p, ++digits;
  if (p < e && *p == '.') {
    ++p;
    while (p < e && isdigit(static_cast<unsigned char>(*p))) ++p, ++digits;
  }
  if (digits == 0) return false;
  if (p < e && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < e && (*p == '+' || *p == '-')) ++p;
    int ed = 0;
    while (p < e && isdigit(static_cast<unsigned char>(*p))) ++p, ++ed;
    if (ed == 0) return false;
  }
  if (p != e) return false;
  const std::string text(s, e);  // any length: strtod reads it whole
  *out = strtod(text.c_str(), nullptr);
  return std::isfinite(*out);
}

}  // namespace

bool fracParse(const char* s, float* out) {
  if (s == nullptr) return false;
  const char* end = s + strlen(s);
  const char* slash = strchr(s, '/');
  double v = 0;
  if (slash == nullptr) {
    if (!Decimal(s, end, &v)) return false;
  } else {
    double num = 0, den = 0;
    if (!Decimal(s, slash, &num) || !Decimal(slash + 1, end, &den) || den == 0) return false;
    v = num / den;
  }
  if (!std::isfinite(v) || std::fabs(v) > 3.4028234663852886e38) return false;
  *out = static_cast<float>(v);
  return true;
}
