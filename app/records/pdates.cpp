// Date arithmetic on the six parts of a capture date. Reads no windows: the fuzz target builds it
// alone.
#include "app/records/pdates.h"

#include <climits>
#include <cstdint>
#include <cstdio>

#include "support/cnumber.h"

namespace {

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if (a % b != 0 && ((a < 0) != (b < 0))) --q;
  return q;
}

bool Leap(int64_t y) {
  return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

// Days from 1970-01-01 to y-m-d of the proleptic Gregorian calendar (m 1-12, d 1-31).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = FloorDiv(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, int64_t* m, int64_t* d) {
  z += 719468;
  const int64_t era = FloorDiv(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = yoe + era * 400 + (*m <= 2);
}

bool Space(char c) {
  return Cspace(c);
}

// A decimal integer at *p after blanks, within the range of int; *p moves past it.
bool ReadInt(const char** p, int* out) {
  const char* s = *p;
  while (Space(*s)) ++s;
  bool neg = false;
  if (*s == '+' || *s == '-') neg = *s++ == '-';
  if (!Cdigit(*s)) return false;
  int64_t v = 0;
  for (; Cdigit(*s); ++s) {
    v = v * 10 + (*s - '0');
    if (v > static_cast<int64_t>(INT_MAX) + 1) return false;
  }
  if (neg) v = -v;
  if (v > INT_MAX) return false;
  *out = static_cast<int>(v);
  *p = s;
  return true;
}

}  // namespace

int monthDays(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12) return 0;
  return m == 2 && Leap(y) ? 29 : kDays[m - 1];
}

bool legalDate(const int d[6]) {
  return d[0] > 1979 && d[0] <= 9999 && d[1] >= 1 && d[1] <= 12 && d[2] >= 1 &&
         d[2] <= monthDays(d[0], d[1]) && d[3] >= 0 && d[3] <= 23 && d[4] >= 0 && d[4] <= 59 &&
         d[5] >= 0 && d[5] <= 59;
}

bool readDatePart(const char* s, int* v) {
  if (s == nullptr || !ReadInt(&s, v)) return false;
  while (Space(*s)) ++s;
  return *s == '\0';
}

bool sscanDate(int d[6], const char* s) {
  for (int i = 0; i < 6; ++i) d[i] = 0;
  if (s == nullptr) return false;
  static const char kAfter[6] = {':', ':', ' ', ':', ':', '\0'};
  int v[6];
  for (int i = 0; i < 6; ++i) {
    if (!ReadInt(&s, &v[i])) return false;
    if (kAfter[i] == ':') {
      if (*s != ':') return false;
      ++s;
    }
  }
  for (int i = 0; i < 6; ++i) d[i] = v[i];
  return legalDate(d);
}

char* sprintDate(char* s, const int d[6]) {
  snprintf(s, kDateTextLen, "%04d:%02d:%02d %02d:%02d:%02d", d[0], d[1], d[2], d[3], d[4], d[5]);
  return s;
}

bool adjDate(int d[6], const int delta[6]) {
  int64_t sec = static_cast<int64_t>(d[5]) + delta[5];
  int64_t carry = FloorDiv(sec, 60);
  sec -= carry * 60;
  int64_t min = static_cast<int64_t>(d[4]) + delta[4] + carry;
  carry = FloorDiv(min, 60);
  min -= carry * 60;
  int64_t hour = static_cast<int64_t>(d[3]) + delta[3] + carry;
  carry = FloorDiv(hour, 24);
  hour -= carry * 24;
  // Days carry through the months of the calendar; a month outside 1-12 is carried into the
  // year first.
  int64_t mon = static_cast<int64_t>(d[1]) - 1;
  int64_t year = d[0] + FloorDiv(mon, 12);
  mon -= FloorDiv(mon, 12) * 12;
  int64_t day = 0;
  const int64_t z = DaysFromCivil(year, mon + 1, 1) + d[2] - 1 + delta[2] + carry;
  CivilFromDays(z, &year, &mon, &day);
  mon += static_cast<int64_t>(delta[1]) - 1;
  year += FloorDiv(mon, 12) + delta[0];
  mon -= FloorDiv(mon, 12) * 12;
  ++mon;
  if (year < INT_MIN || year > INT_MAX) return false;
  const int last = monthDays(static_cast<int>(year), static_cast<int>(mon));
  if (day > last) day = last;
  d[0] = static_cast<int>(year);
  d[1] = static_cast<int>(mon);
  d[2] = static_cast<int>(day);
  d[3] = static_cast<int>(hour);
  d[4] = static_cast<int>(min);
  d[5] = static_cast<int>(sec);
  return true;
}
