// Numbers and names in the C locale, whatever the process locale.
#include "support/cnumber.h"

#include <stdio.h>
#include <stdlib.h>

locale_t CLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c;
}

double Cstrtod(const char* s, char** end) {
  return strtod_l(s, end, CLocale());
}

float Cstrtof(const char* s, char** end) {
  return strtof_l(s, end, CLocale());
}

double Catof(const char* s) {
  return s == nullptr ? 0.0 : strtod_l(s, nullptr, CLocale());
}

int Cvsnprintf(char* buf, size_t n, const char* fmt, va_list ap) {
  CLocaleScope c;
  return vsnprintf(buf, n, fmt, ap);
}

int Csnprintf(char* buf, size_t n, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int r = Cvsnprintf(buf, n, fmt, ap);
  va_end(ap);
  return r;
}

int Cfprintf(FILE* fp, const char* fmt, ...) {
  CLocaleScope c;
  va_list ap;
  va_start(ap, fmt);
  const int r = vfprintf(fp, fmt, ap);
  va_end(ap);
  return r;
}

int Csscanf(const char* s, const char* fmt, ...) {
  CLocaleScope c;
  va_list ap;
  va_start(ap, fmt);
  const int r = vsscanf(s, fmt, ap);
  va_end(ap);
  return r;
}

int Cstrncasecmp(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(Clower(a[i]));
    const unsigned char y = static_cast<unsigned char>(Clower(b[i]));
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
  return 0;
}

int Cstrcasecmp(const char* a, const char* b) {
  return Cstrncasecmp(a, b, static_cast<size_t>(-1));
}
