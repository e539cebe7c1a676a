// EXIF metadata: date and text checks.
#include "formats/exif.h"

#include <cstdio>
#include <cstring>

namespace {
bool isWhite(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
}  // namespace

int dateOK(const char* text) {
  if (text == nullptr || std::strlen(text) != 19) return 0;
  int y, mo, d, h, mi, s;
  if (std::sscanf(text, "%d:%d:%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6) return 0;
  return y > 1849 && mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && h >= 0 && h <= 23 && mi >= 0 &&
         mi <= 59 && s >= 0 && s <= 59;
}

int cleanString(char* text) {
  if (text == nullptr) return 0;
  const char* from = text;
  while (isWhite(static_cast<unsigned char>(*from))) ++from;
  size_t n = std::strlen(from);
  while (n > 0 && isWhite(static_cast<unsigned char>(from[n - 1]))) --n;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(from[i]);
    text[i] = (c < ' ' || c > '~') ? '?' : static_cast<char>(c);
  }
  text[n] = '\0';
  return n > 0;
}
