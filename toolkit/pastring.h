// Length-prefixed strings (a count byte, then up to 255 bytes, no terminator) and the UTF-8
// checks the toolkit's text handling shares. Texts are UTF-8: a conversion that must shorten
// a text cuts before a character that would not fit whole.
#pragma once

#include <cstddef>
#include <string_view>

#include "support/bytetext.h"

// A length-prefixed copy of csrc into pdest (256 bytes); returns pdest.
unsigned char* pfromcstr(unsigned char* pdest, const char* csrc);
// The same in place.
unsigned char* pfromcstr(char* srcdest);
// Copies psrc into cdest of len bytes (at most len - 1 bytes and a terminator); returns cdest.
char* cfrompstr(char* cdest, int len, const unsigned char* psrc);
char* cfrompstr(char* cdest, const unsigned char* psrc);  // len 256
char* cfrompstr(unsigned char* srcdest);                  // in place, 256 bytes

// The byte length of the well-formed UTF-8 character at s (at most n bytes long): 1 to 4, or
// 0 when the bytes there do not form one (overlong forms and surrogates included).
inline size_t utf8CharLength(const char* s, size_t n) {
  return Utf8CharLength(s, n);
}
// True when all n bytes of s are well-formed UTF-8.
inline bool validUTF8(const char* s, size_t n) {
  return ValidUtf8(std::string_view(s, n));
}
