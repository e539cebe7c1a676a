// Display formatters of the photo fields and capture-date seconds.
#include "catalog/pdbformat.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// A date text read into its six numbers.
struct DateParts {
  long year, month, day, hour, minute, second;
};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads one decimal number as "%d" does (leading white space, an optional sign, at least one
// digit); large values saturate instead of overflowing, which the range checks then refuse.
bool ReadNumber(const char** p, long* v) {
  const char* s = *p;
  while (IsSpace(*s)) s++;
  bool neg = false;
  if (*s == '+' || *s == '-') neg = *s++ == '-';
  if (*s < '0' || *s > '9') return false;
  long x = 0;
  for (; *s >= '0' && *s <= '9'; s++)
    if (x < 1000000000L) x = x * 10 + (*s - '0');
  *v = neg ? -x : x;
  *p = s;
  return true;
}

// Parses "%d:%d:%d %d:%d:%d" from a text of exactly 19 characters and checks the ranges.
bool ParseDate(const char* date, DateParts* d) {
  if (date == nullptr || strnlen(date, 20) != 19) return false;
  const char* p = date;
  long* out[6] = {&d->year, &d->month, &d->day, &d->hour, &d->minute, &d->second};
  const char seps[6] = {':', ':', ' ', ':', ':', '\0'};
  for (int i = 0; i < 6; i++) {
    if (!ReadNumber(&p, out[i])) return false;
    if (seps[i] == ':') {
      if (*p != ':') return false;
      p++;
    } else if (seps[i] == ' ') {
      while (IsSpace(*p)) p++;  // a blank in the pattern takes any white space, or none
    }
  }
  return d->year >= 1980 && d->month >= 1 && d->month <= 12 && d->day >= 1 && d->day <= 31 &&
         d->hour >= 0 && d->hour <= 23 && d->minute >= 0 && d->minute <= 59 && d->second >= 0 &&
         d->second <= 59;
}

bool IsLeap(long y) {
  return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

// Leap days in the years 1980 .. y-1.
long LeapDaysBefore(long y) {
  auto upto = [](long n) { return n / 4 - n / 100 + n / 400; };  // leap years in 1 .. n
  return upto(y - 1) - upto(1979);
}

const char* const kMonthName[12] = {"Jan",  "Feb", "March", "April", "May", "June",
                                    "July", "Aug", "Sept",  "Oct",   "Nov", "Dec"};

// Appends text to out (size cap, NUL kept); false when it does not fit.
bool Append(char* out, size_t* n, size_t cap, const char* text) {
  size_t k = strlen(text);
  if (*n + k >= cap) return false;
  memcpy(out + *n, text, k + 1);
  *n += k;
  return true;
}

// Expands a date template into out (cap bytes with the NUL); false when it does not fit.
bool ExpandDate(const char* tmpl, const DateParts& d, char* out, size_t cap) {
  size_t n = 0;
  out[0] = '\0';
  char num[24];
  for (const char* p = tmpl; *p;) {
    if (strncmp(p, "Month", 5) == 0) {
      if (!Append(out, &n, cap, kMonthName[d.month - 1])) return false;
      p += 5;
      continue;
    }
    char c = *p;
    size_t run = 1;
    while (p[run] == c) run++;
    p += run;
    num[0] = '\0';
    long v = -1;
    switch (c) {
      case 'D':
        v = d.day;
        break;
      case 'M':
        v = d.month;
        break;
      case 'H':
        v = d.hour;
        break;
      case 'm':
        v = d.minute;
        break;
      case 's':
        v = d.second;
        break;
      case 'h':
        v = d.hour % 12 == 0 ? 12 : d.hour % 12;
        break;
      case 'Y':
        if (run == 2)
          snprintf(num, sizeof(num), "%02ld", d.year % 100);
        else if (run == 4)
          snprintf(num, sizeof(num), "%04ld", d.year);
        break;
      case '@':
        if (run <= 2) snprintf(num, sizeof(num), "%s", d.hour < 12 ? "am" : "pm");
        if (run == 1) num[1] = '\0';
        break;
      default: {  // copied as it is
        for (size_t i = 0; i < run; i++) {
          char one[2] = {c, '\0'};
          if (!Append(out, &n, cap, one)) return false;
        }
        continue;
      }
    }
    if (v >= 0 && run <= 2) snprintf(num, sizeof(num), run == 1 ? "%ld" : "%02ld", v);
    if (!Append(out, &n, cap, num)) return false;
  }
  return true;
}

// Copies text cut to len - 1 characters.
char* PutCut(char* buf, int len, const char* text) {
  size_t n = strlen(text);
  if (n > static_cast<size_t>(len - 1)) n = static_cast<size_t>(len - 1);
  memcpy(buf, text, n);
  buf[n] = '\0';
  return buf;
}

// Appends " sec" when the buffer has room for it.
void AppendSeconds(char* buf, int len) {
  size_t n = strlen(buf);
  if (static_cast<size_t>(len) >= n + 5) memcpy(buf + n, " sec", 5);
}

}  // namespace

int64_t PsecsFromDate(const char* date) {
  DateParts d;
  if (!ParseDate(date, &d)) return 0;
  static const int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  int64_t days = static_cast<int64_t>(d.year - 1980) * 365 + LeapDaysBefore(d.year) +
                 kDaysBefore[d.month - 1] + (d.day - 1);
  if (IsLeap(d.year) && d.month > 2) days++;
  return ((days * 24 + d.hour) * 60 + d.minute) * 60 + d.second;
}

char* PDBformatFolder(char* buf, int len, const DBField& f) {
  if (buf == nullptr || len < 5) return nullptr;
  buf[0] = '\0';
  const char* s = nullptr;
  if (f.GetDT() != DBDTstring || f.Get(&s, 1) != 1 || s == nullptr) return nullptr;
  size_t most = static_cast<size_t>(len - 1);
  size_t n = strlen(s);
  if (n > most) {
    memcpy(buf, "...", 3);
    memcpy(buf + 3, s + n - (most - 3), most - 3);
    buf[most] = '\0';
  } else {
    memcpy(buf, s, n + 1);
  }
  return buf;
}

char* PDBformatDate(char* buf, int len, const DBField& f) {
  if (buf == nullptr || len <= 2) return nullptr;
  buf[0] = '\0';
  const char* s = nullptr;
  DateParts d;
  if (f.GetDT() != DBDTstring || f.Get(&s, 1) != 1 || !ParseDate(s, &d)) return nullptr;
  static const char* const kTemplates[] = {"Month D YYYY h:mm:ss@",
                                           "Month D YYYY h:mm@",
                                           "M/DD/YYYY h:mm@",
                                           "M/DD/YY HH:mm",
                                           "M/DD/YYYY",
                                           "M/DD/YY",
                                           "M/YY"};
  // The first template no longer than the room; then the next while its text overflows.
  for (const char* t : kTemplates) {
    if (strlen(t) > static_cast<size_t>(len - 1)) continue;
    if (ExpandDate(t, d, buf, static_cast<size_t>(len))) return buf;
  }
  buf[0] = '\0';
  return buf;
}

char* PDBformatSource(char* buf, int len, const DBField& f) {
  if (buf == nullptr || len < 2) return nullptr;
  buf[0] = '\0';
  if (f.GetDT() != DBDTint || f.GetNV() < 1) return nullptr;
  static const char* const kLong[6] = {"digital camera",     "film",         "flatbed scanner",
                                       "laser range finder", "image editor", "rendering software"};
  static const char* const kShort[6] = {"digicam", "film",   "scanner",
                                        "laser",   "editor", "renderer"};
  long v = f.GetInt(0);
  const char* name = v >= 0 && v < 6 ? (len >= 18 ? kLong[v] : kShort[v]) : "UNKNOWN";
  return PutCut(buf, len, name);
}

char* PDBformatAperture(char* buf, int len, const DBField& f) {
  if (buf == nullptr || len <= 4) return nullptr;
  if (len > 8) len = 8;
  buf[0] = '\0';
  if (f.GetDT() != DBDTfloat || f.GetNV() < 1) return nullptr;
  buf[0] = 'f';
  buf[1] = '/';
  if (DBformatFloat(buf + 2, len - 2, f) == nullptr) {
    buf[0] = '\0';
    return nullptr;
  }
  return buf;
}

char* PDBformatExposure(char* buf, int len, const DBField& f) {
  if (buf == nullptr || len <= 6) return nullptr;
  buf[0] = '\0';
  if (f.GetDT() != DBDTfloat || f.GetNV() < 1) return nullptr;
  const float t = f.GetFloat(0);
  // Not a positive finite number: printed as the number it is.
  if (!std::isfinite(t) || !(t > 0.0f)) return DBformatFloat(buf, len, f);
  if (t > 0.5f) {
    if (DBformatFloat(buf, len, f) == nullptr) return nullptr;
    AppendSeconds(buf, len);
    return buf;
  }
  const float r = 1.0f / t;
  // Too small for its reciprocal to be an integer: the number.
  if (!std::isfinite(r) || r >= 2.0e9f) return DBformatFloat(buf, len, f);
  const float n = static_cast<float>(static_cast<long>(r + 0.5f));
  const float den = std::fabs(r - n) < 0.01f * r ? n : r;
  buf[0] = '1';
  buf[1] = '/';
  DBField df(den);
  if (DBformatFloat(buf + 2, len - 2, df) == nullptr) {
    buf[0] = '\0';
    return nullptr;
  }
  AppendSeconds(buf, len);
  return buf;
}

char* PDBformatFlash(char* buf, int len, const DBField& f) {
  if (buf == nullptr || len < 4) return nullptr;
  buf[0] = '\0';
  if (f.GetDT() != DBDTint || f.GetNV() < 1) return nullptr;
  static const char* const kFlash[8] = {"off",     "on",         "UNKNOWN", "UNKNOWN",
                                        "UNKNOWN", "unreturned", "UNKNOWN", "on"};
  return PutCut(buf, len, kFlash[f.GetInt(0) & 7]);
}

char* PDBformatWhiteBal(char* buf, int len, const DBField& f) {
  if (buf == nullptr || len < 2) return nullptr;
  buf[0] = '\0';
  if (f.GetDT() != DBDTint || f.GetNV() < 1) return nullptr;
  const char* name = "UNKNOWN";
  switch (f.GetInt(0)) {
    case 0:
      name = "auto";
      break;
    case 1:
    case 9:
      name = "daylight";
      break;
    case 2:
    case 14:
      name = "fluorescent";
      break;
    case 3:
    case 24:
      name = "incandescent";
      break;
    case 4:
      name = "flash";
      break;
    case 10:
      name = "overcast";
      break;
    case 11:
      name = "shadow";
      break;
    case 17:
      name = "Illum A";
      break;
    case 18:
      name = "Illum B";
      break;
    case 19:
      name = "Illum C";
      break;
    case 20:
      name = "5500K daylight";
      break;
    case 21:
      name = "6500K daylight";
      break;
    case 22:
      name = "7500K daylight";
      break;
    case 23:
      name = "5000K daylight";
      break;
    case 255:
      name = "other";
      break;
    default:
      break;
  }
  return PutCut(buf, len, name);
}
