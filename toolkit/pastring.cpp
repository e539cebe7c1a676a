// Length-prefixed strings.
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
