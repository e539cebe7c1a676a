// Word and number scanning in option and header text.
#include "picture/words.h"
#include "support/cnumber.h"

#include <cstring>

namespace {

inline bool isSpace(char c) {
  return Cspace(c);
}
inline bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

inline const char* skipWhite(const char* s) {
  while (isSpace(*s)) s++;
  return s;
}

// Sign and digits without leading white space; NULL without a digit.
const char* skipSignedDigits(const char* s) {
  if (*s == '+' || *s == '-') s++;
  if (!isDigit(*s)) return nullptr;
  while (isDigit(*s)) s++;
  return s;
}

// True when e ends a number: the end of the text or a character of delims.
inline bool endsAt(const char* e, const char* delims) {
  return e != nullptr && (*e == '\0' || std::strchr(delims, *e) != nullptr);
}

constexpr char kArgDelims[] = " \t\r\n";

}  // namespace

const char* sskip(const char* s) {
  s = skipWhite(s);
  while (*s != '\0' && !isSpace(*s)) s++;
  return s;
}

const char* sskip2(const char* s, int n) {
  s = skipWhite(s);
  while (n-- > 0) {
    while (*s != '\0' && !isSpace(*s)) s++;
    s = skipWhite(s);
  }
  return s;
}

const char* iskip(const char* s) {
  return skipSignedDigits(skipWhite(s));
}

const char* fskip(const char* s) {
  s = skipWhite(s);
  if (*s == '+' || *s == '-') s++;
  bool digits = false;
  while (isDigit(*s)) {
    s++;
    digits = true;
  }
  if (*s == '.') {
    s++;
    while (isDigit(*s)) {
      s++;
      digits = true;
    }
  }
  if (!digits) return nullptr;
  if (*s == 'e' || *s == 'E') return skipSignedDigits(s + 1);
  return s;
}

int isint(const char* s) {
  const char* e = iskip(s);
  return e != nullptr && *e == '\0';
}

int isflt(const char* s) {
  const char* e = fskip(s);
  return e != nullptr && *e == '\0';
}

int isintd(const char* s, const char* delims) {
  return endsAt(iskip(s), delims);
}

int isfltd(const char* s, const char* delims) {
  return endsAt(fskip(s), delims);
}

char* atos(char* dst, size_t size, const char* s) {
  if (size == 0) return dst;
  s = skipWhite(s);
  size_t n = 0;
  while (n + 1 < size && s[n] != '\0' && !isSpace(s[n])) {
    dst[n] = s[n];
    n++;
  }
  dst[n] = '\0';
  return dst;
}

const char* nextword(char* dst, size_t size, const char* s) {
  if (s == nullptr) return nullptr;
  s = skipWhite(s);
  if (*s == '\0') return nullptr;
  size_t n = 0;
  auto keep = [&](char c) {
    if (n + 1 < size) dst[n++] = c;
  };
  if (*s == '"' || *s == '\'') {
    const char quote = *s++;
    while (*s != '\0' && *s != quote) keep(*s++);
    if (*s == quote) s++;
  } else {
    while (*s != '\0' && !isSpace(*s)) keep(*s++);
  }
  if (size > 0) dst[n] = '\0';
  return s;
}

int badarg(int count, const char* const* args, const char* format) {
  if (format == nullptr) return 0;
  for (int i = 0; format[i] != '\0'; i++) {
    if (i >= count || args == nullptr || args[i] == nullptr) return -1;
    const char* a = args[i];
    bool ok;
    switch (format[i]) {
      case 'i':
        ok = isintd(a, kArgDelims);
        break;
      case 'f':
        ok = isfltd(a, kArgDelims);
        break;
      case 's':
        ok = *a != '\0' && !isSpace(*a);
        break;
      default:
        return -1;
    }
    if (!ok) return i + 1;
  }
  return 0;
}
