// Word and number scanning in option and header text.
//
// The scanners return positions inside the text they are given (NULL where a number is
// missing); white space is what isspace() says it is in the C locale, whatever the process
// locale. Each takes and returns const text;
// the char* overloads hand back a writable position into a writable text.
#pragma once

#include <cstddef>

// Skips white space and one word; returns the position after the word.
const char* sskip(const char* s);
// Skips leading white space, then n times a word and the white space after it.
const char* sskip2(const char* s, int n);
// Skips white space, a sign and at least one digit; NULL when there is no digit.
const char* iskip(const char* s);
// Skips white space and a real number (sign, digits, point, exponent); NULL when there is no
// digit or the exponent has no integer.
const char* fskip(const char* s);

// 1 when the whole text is one integer (real number), leading white space allowed.
int isint(const char* s);
int isflt(const char* s);
// 1 when the text starts with an integer (real number) followed by a character of delims or
// by the end of the text.
int isintd(const char* s, const char* delims);
int isfltd(const char* s, const char* delims);

// Copies the first word of s (after white space; at most size - 1 characters) into dst and
// terminates it; returns dst.
char* atos(char* dst, size_t size, const char* s);
// Copies the next word of s into dst (at most size - 1 characters, terminated); a word that
// starts with a double or single quote runs to the same quote, which is not copied. Returns
// the position after the word (after its closing quote), or NULL when s is NULL or holds only
// white space.
const char* nextword(char* dst, size_t size, const char* s);

// Checks count arguments against a format of one letter each: 'i' an integer, 'f' a real
// number, 's' a word. Returns 0 when all fit (or the format is NULL or empty), the 1-based
// index of the first that does not, or -1 for too few (or NULL) arguments or an unknown
// letter.
int badarg(int count, const char* const* args, const char* format);

inline char* sskip(char* s) {
  return const_cast<char*>(sskip(static_cast<const char*>(s)));
}
inline char* sskip2(char* s, int n) {
  return const_cast<char*>(sskip2(static_cast<const char*>(s), n));
}
inline char* iskip(char* s) {
  return const_cast<char*>(iskip(static_cast<const char*>(s)));
}
inline char* fskip(char* s) {
  return const_cast<char*>(fskip(static_cast<const char*>(s)));
}
inline char* nextword(char* dst, size_t size, char* s) {
  return const_cast<char*>(nextword(dst, size, static_cast<const char*>(s)));
}
