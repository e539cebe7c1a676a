// Running text from fuzzed bytes laid out by the text form in a fuzzed rectangle at a fuzzed
// font size and justification. Input: a flags byte (bits 0-1 justification, bit 2 a raw font
// size from bytes 2-5, bit 3 unlimited full justification, bits 4-6 an infinite width, an
// infinite height, a NaN width), a font size byte (quarter units), four little-endian int16 in
// quarter units (left, width, top, height) from byte 6, then the text, cut at NULs into
// several PutText calls.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "support/textform.h"

namespace {

bool ValidUtf8(const char* s, size_t len) {
  for (size_t i = 0; i < len;) {
    const unsigned char c = s[i];
    size_t n = 0;
    if (c < 0x80)
      n = 1;
    else if (c >= 0xC2 && c < 0xE0)
      n = 2;
    else if (c >= 0xE0 && c < 0xF0)
      n = 3;
    else if (c >= 0xF0 && c < 0xF5)
      n = 4;
    if (n == 0 || i + n > len) return false;
    for (size_t k = 1; k < n; k++)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

class FuzzForm : public TextForm {
 public:
  float size = 10;
  bool utf8 = false;  // the whole text is valid UTF-8
  size_t drawn = 0;   // words drawn
  size_t drawnBytes = 0;

  float GetWordWidth(const char* w) const override { return 0.6f * size * strlen(w); }
  bool RenderWord(const char* w, float, float) override {
    const size_t n = strlen(w);
    if (n == 0 || strpbrk(w, " \t\n\r\f") != nullptr) __builtin_trap();  // not a word
    if (utf8 && !ValidUtf8(w, n)) __builtin_trap();                      // cut inside a character
    drawn++;
    drawnBytes += n;
    return true;
  }
  float GetFontSize() const override { return size; }
};

float Quarter(const uint8_t* p) {
  int16_t v;
  memcpy(&v, p, 2);
  return v / 4.0f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 14) return 0;
  const uint8_t flags = data[0];
  FuzzForm f;
  f.size = data[1] / 4.0f;
  if (flags & 4) {
    memcpy(&f.size, data + 2, 4);
    f.size = std::fabs(f.size);  // any magnitude, infinity or NaN, but no negative advance
  }
  float width = Quarter(data + 8), height = Quarter(data + 12);
  if (flags & 16) width = std::numeric_limits<float>::infinity();
  if (flags & 32) height = std::numeric_limits<float>::infinity();
  if (flags & 64) width = std::numeric_limits<float>::quiet_NaN();
  const float left = Quarter(data + 6), top = Quarter(data + 10);
  f.SetRect({left, left + width, top, top + height});
  f.SetJustify(static_cast<TextJustFlags>(flags & 3));
  if (flags & 8) f.maxAdj = 0.5f;

  const std::string text(reinterpret_cast<const char*>(data + 14), size - 14);
  f.utf8 = ValidUtf8(text.data(), text.size());
  bool refused = false;
  size_t drawnBefore = 0;
  for (size_t at = 0; at <= text.size();) {
    const char* chunk = text.c_str() + at;
    const size_t len = strlen(chunk);
    const size_t drawnAt = f.drawn;
    const bool ok = f.PutText(chunk, 0);
    if (refused && (ok || f.drawn != drawnAt)) __builtin_trap();  // nothing after a refusal
    if (!ok && !refused) drawnBefore = f.drawn;
    refused |= !ok;
    at += len + 1;
  }
  f.EndLine(false);
  if (refused && f.drawn != drawnBefore) __builtin_trap();
  if (f.drawnBytes > text.size()) __builtin_trap();
  return 0;
}
