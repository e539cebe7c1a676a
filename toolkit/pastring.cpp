// Length-prefixed strings and UTF-8 checks.
#include "toolkit/pastring.h"

#include <cstring>

namespace {

bool IsContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// The largest count <= n that does not end inside a character whose bytes continue at s[n].
size_t WholeChars(const unsigned char* s, size_t n, size_t full) {
  if (n >= full) return n;
  for (int back = 0; back < 3 && n > 0 && IsContinuation(s[n]); ++back) --n;
  return n;
}

}  // namespace

size_t utf8CharLength(const char* str, size_t n) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(str);
  if (n == 0) return 0;
  unsigned char c = s[0];
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (n < len || s[1] < lo || s[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if (!IsContinuation(s[i])) return 0;
  return len;
}

bool validUTF8(const char* s, size_t n) {
  for (size_t i = 0; i < n;) {
    size_t len = utf8CharLength(s + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

unsigned char* pfromcstr(unsigned char* pdest, const char* csrc) {
  if (pdest == nullptr) return nullptr;
  if (csrc == nullptr) {
    pdest[0] = 0;
    return pdest;
  }
  const unsigned char* s = reinterpret_cast<const unsigned char*>(csrc);
  size_t full = std::strlen(csrc);
  size_t n = WholeChars(s, full > 255 ? 255 : full, full);
  // Backwards, so that the in-place form (pdest == csrc) works.
  for (size_t i = n; i > 0; --i) pdest[i] = s[i - 1];
  pdest[0] = static_cast<unsigned char>(n);
  return pdest;
}

unsigned char* pfromcstr(char* srcdest) {
  return pfromcstr(reinterpret_cast<unsigned char*>(srcdest), srcdest);
}

char* cfrompstr(char* cdest, int len, const unsigned char* psrc) {
  if (cdest == nullptr || len < 1) return cdest;
  if (psrc == nullptr) {
    cdest[0] = '\0';
    return cdest;
  }
  size_t count = psrc[0];
  size_t n = count < static_cast<size_t>(len - 1) ? count : static_cast<size_t>(len - 1);
  n = WholeChars(psrc + 1, n, count);
  // Forwards, so that the in-place form (cdest == psrc) works.
  for (size_t i = 0; i < n; ++i) cdest[i] = static_cast<char>(psrc[i + 1]);
  cdest[n] = '\0';
  return cdest;
}

char* cfrompstr(char* cdest, const unsigned char* psrc) {
  return cfrompstr(cdest, 256, psrc);
}

char* cfrompstr(unsigned char* srcdest) {
  return cfrompstr(reinterpret_cast<char*>(srcdest), 256, srcdest);
}
