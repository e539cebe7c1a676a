// Numbers and names in text that is stored or exchanged: the same bytes whatever locale the
// process runs under. The program takes the user's locale at start-up, and under most of them
// the C library writes and reads decimals with a comma and folds 'i' to something other than
// 'I'; files, headers, tables and the clipboard must not follow it.
#pragma once

#include <locale.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>

// The C locale, made once and never freed.
locale_t CLocale();

// strtod and strtof in the C locale: a point is the only decimal separator.
double Cstrtod(const char* s, char** end);
float Cstrtof(const char* s, char** end);
// atof in the C locale (0 for a null pointer).
double Catof(const char* s);

// snprintf, vsnprintf and sscanf in the C locale.
int Csnprintf(char* buf, size_t n, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int Cvsnprintf(char* buf, size_t n, const char* fmt, va_list ap)
    __attribute__((format(printf, 3, 0)));
int Csscanf(const char* s, const char* fmt, ...) __attribute__((format(scanf, 2, 3)));
// fprintf in the C locale.
int Cfprintf(FILE* fp, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// ASCII letters folded; every other byte left as it is, whatever the locale.
inline char Cupper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
inline char Clower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
inline bool Cdigit(char c) {
  return c >= '0' && c <= '9';
}
inline bool Calpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
inline bool Calnum(char c) {
  return Cdigit(c) || Calpha(c);
}
inline bool Cspace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
// strcasecmp and strncasecmp folding ASCII letters only.
int Cstrcasecmp(const char* a, const char* b);
int Cstrncasecmp(const char* a, const char* b, size_t n);

// Runs the enclosed code in the C locale on this thread: for calls into libraries that format
// or scan numbers themselves. Restores the thread's locale on leaving.
class CLocaleScope {
 public:
  CLocaleScope() : old_(uselocale(CLocale())) {}
  ~CLocaleScope() { uselocale(old_); }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t old_;
};
