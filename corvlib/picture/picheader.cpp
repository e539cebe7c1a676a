// Picture header lines and resolution strings.
#include "picture/picheader.h"
#include "support/cnumber.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

char resolu_buf[RESOLU_BUFLEN];

namespace {

inline bool isSpace(char c) {
  return Cspace(c);
}

inline bool hasPrefix(const char* line, const char* prefix, size_t len) {
  return std::strncmp(line, prefix, len) == 0;
}

// Copies the word at s (up to white space or the end) into dst, at most size - 1 characters;
// returns the word's length (which may exceed what was copied).
size_t copyWord(char* dst, size_t size, const char* s) {
  size_t len = 0;
  while (s[len] != '\0' && !isSpace(s[len])) len++;
  if (dst != nullptr && size > 0) {
    size_t n = len < size - 1 ? len : size - 1;
    std::memcpy(dst, s, n);
    dst[n] = '\0';
  }
  return len;
}

// Reads an integer after optional white space; false when there is none or it does not fit
// an int.
bool scanInt(const char*& s, int* v) {
  char* end;
  errno = 0;
  long x = std::strtol(s, &end, 10);
  if (end == s || errno == ERANGE || x < INT_MIN || x > INT_MAX) return false;
  *v = static_cast<int>(x);
  s = end;
  return true;
}

// Parses "yyyy:mm:dd hh:mm:ss" (each number may have leading white space; blanks between
// date and time are optional) into a broken-down time.
bool scanDate(const char* s, struct tm* tm) {
  int v[6];
  for (int k = 0; k < 6; k++) {
    if (!scanInt(s, &v[k])) return false;
    if (k == 0 || k == 1 || k == 3 || k == 4) {
      if (*s != ':') return false;
      s++;
    }
  }
  if (v[0] < INT_MIN + 1900) return false;
  std::memset(tm, 0, sizeof *tm);
  tm->tm_year = v[0] - 1900;
  tm->tm_mon = v[1] - 1;
  tm->tm_mday = v[2];
  tm->tm_hour = v[3];
  tm->tm_min = v[4];
  tm->tm_sec = v[5];
  tm->tm_isdst = -1;
  return true;
}

void putDateLine(FILE* fp, const char* label, const struct tm* tm) {
  std::fprintf(fp, "%s %04d:%02d:%02d %02d:%02d:%02d\n", label, tm->tm_year + 1900, tm->tm_mon + 1,
               tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec);
}

struct CheckState {
  char fmt[MAXFMTLEN];
  FILE* out;
};

int mycheck(const char* line, void* data) {
  CheckState* cs = static_cast<CheckState*>(data);
  if (formatval(cs->fmt, line, sizeof cs->fmt)) return 0;
  if (cs->out != nullptr) std::fputs(line, cs->out);
  return 0;
}

// Matches one '[' set at p (pointing at '[') against c. Returns the pattern position after
// the closing ']' and sets *hit, or NULL when the pattern ends inside the set.
const char* matchSet(const char* p, unsigned char c, bool* hit) {
  const unsigned char* q = reinterpret_cast<const unsigned char*>(p) + 1;
  bool ok = false;
  bool first = true;
  while (first || *q != ']') {
    if (*q == '\0') return nullptr;
    first = false;
    unsigned char lo = *q;
    if (q[1] == '-' && q[2] != '\0' && q[2] != ']') {
      if (c >= lo && c <= q[2]) ok = true;
      q += 3;
    } else {
      if (c == lo) ok = true;
      q++;
    }
  }
  *hit = ok;
  return reinterpret_cast<const char*>(q) + 1;
}

}  // namespace

// ---- Writing ----

void newheader(const char* name, FILE* fp) {
  std::fputs(HDRSTR, fp);
  std::fputs(name, fp);
  std::putc('\n', fp);
}

void fputformat(const char* value, FILE* fp) {
  std::fputs(FMTSTR, fp);
  std::fputs(value, fp);
  std::putc('\n', fp);
}

void fputdate(time_t t, FILE* fp) {
  struct tm tm;
  if (localtime_r(&t, &tm) != nullptr) putDateLine(fp, TMSTR, &tm);
  if (gmtime_r(&t, &tm) != nullptr) putDateLine(fp, GMTSTR, &tm);
}

void fputnow(FILE* fp) {
  fputdate(std::time(nullptr), fp);
}

void fputword(const char* word, FILE* fp) {
  if (word == nullptr || *word == '\0') return;
  int quote = 0;
  for (const char* s = word; *s; s++) {
    if (*s == '"')
      quote = '\'';
    else if (*s == '\'')
      quote = '"';
    else if (quote == 0 && isSpace(*s))
      quote = '"';
  }
  if (quote) std::putc(quote, fp);
  std::fputs(word, fp);
  if (quote) std::putc(quote, fp);
}

void printargs(int count, const char* const* words, FILE* fp) {
  if (count <= 0 || words == nullptr) return;
  for (int i = 0; i < count; i++) {
    if (i > 0) std::putc(' ', fp);
    fputword(words[i], fp);
  }
  std::putc('\n', fp);
}

char* resolu2str(char* buf, const PICRES* res) {
  if (res->order & RES_YMAJ)
    std::snprintf(buf, RESOLU_BUFLEN, "%cY %d %cX %d\n", (res->order & RES_YDEC) ? '-' : '+',
                  res->yres, (res->order & RES_XDEC) ? '-' : '+', res->xres);
  else
    std::snprintf(buf, RESOLU_BUFLEN, "%cX %d %cY %d\n", (res->order & RES_XDEC) ? '-' : '+',
                  res->xres, (res->order & RES_YDEC) ? '-' : '+', res->yres);
  return buf;
}

void fputresolu(int order, int scanlen, int count, FILE* fp) {
  PICRES r;
  r.order = order;
  if (order & RES_YMAJ) {
    r.xres = scanlen;
    r.yres = count;
  } else {
    r.xres = count;
    r.yres = scanlen;
  }
  std::fputs(resolu2str(resolu_buf, &r), fp);
}

// ---- Reading ----

int getheader(FILE* fp, HeadLineFunc* callback, void* data) {
  char buf[HEADLINE_BUFLEN];
  for (;;) {
    // Sentinels: a newline where a full-length line ends, and a non-zero byte where fgets
    // puts its terminator only when it filled the whole buffer.
    buf[HEADLINE_BUFLEN - 2] = '\n';
    buf[HEADLINE_BUFLEN - 1] = 1;
    if (std::fgets(buf, static_cast<int>(HEADLINE_BUFLEN), fp) == nullptr) return -1;
    if (buf[0] == '\n') return 0;
    if (buf[HEADLINE_BUFLEN - 1] == '\0' && buf[HEADLINE_BUFLEN - 2] != '\n') {
      // The line filled the buffer: hand over HEADLINE_BUFLEN - 2 characters and leave the
      // last one read for the next piece, which so never starts with a newline.
      std::ungetc(static_cast<unsigned char>(buf[HEADLINE_BUFLEN - 2]), fp);
      buf[HEADLINE_BUFLEN - 2] = '\0';
    }
    if (callback != nullptr && callback(buf, data) < 0) return -1;
  }
}

int headidval(char* name, const char* line, size_t size) {
  const size_t len = sizeof HDRSTR - 1;
  if (!hasPrefix(line, HDRSTR, len)) return 0;
  copyWord(name, size, line + len);
  return 1;
}

int formatval(char* value, const char* line, size_t size) {
  const size_t len = sizeof FMTSTR - 1;
  if (!hasPrefix(line, FMTSTR, len)) return 0;
  const char* s = line + len;
  while (*s == ' ' || *s == '\t') s++;
  if (*s == '\0' || isSpace(*s)) return 0;
  copyWord(value, size, s);
  return 1;
}

int dateval(time_t* t, const char* line) {
  const size_t len = sizeof TMSTR - 1;
  if (!hasPrefix(line, TMSTR, len)) return 0;
  struct tm tm;
  if (!scanDate(line + len, &tm)) return 0;
  if (t != nullptr) *t = std::mktime(&tm);
  return 1;
}

int gmtval(time_t* t, const char* line) {
  const size_t len = sizeof GMTSTR - 1;
  if (!hasPrefix(line, GMTSTR, len)) return 0;
  struct tm tm;
  if (!scanDate(line + len, &tm)) return 0;
  if (t != nullptr) *t = timegm(&tm);
  return 1;
}

int checkheader(FILE* fp, char* format, FILE* out) {
  CheckState cs;
  cs.fmt[0] = '\0';
  cs.out = out;
  if (getheader(fp, mycheck, &cs) < 0) return -1;
  if (cs.fmt[0] == '\0') return 0;
  if (format == nullptr) return 1;
  if (std::strpbrk(format, "*?") != nullptr) {
    if (!globmatch(format, cs.fmt)) return -1;
    std::strcpy(format, cs.fmt);  // shorter than MAXFMTLEN
    return 1;
  }
  return std::strcmp(format, cs.fmt) == 0 ? 1 : -1;
}

int globmatch(const char* p, const char* s) {
  for (;;) {
    switch (*p) {
      case '\0':
        return *s == '\0';
      case '?':
        if (*s == '\0') return 0;
        p++;
        s++;
        break;
      case '*': {
        while (*p == '*') p++;
        if (*p == '\0') return 1;
        // The next pattern piece consumes a character, so the end of the string fails.
        const bool any = (*p == '?' || *p == '[');
        const char want = (*p == '\\' && p[1] != '\0') ? p[1] : *p;
        for (; *s != '\0'; s++)
          if ((any || *s == want) && globmatch(p, s)) return 1;
        return 0;
      }
      case '[': {
        if (*s == '\0') return 0;
        bool hit = false;
        const char* q = matchSet(p, static_cast<unsigned char>(*s), &hit);
        if (q == nullptr || !hit) return 0;
        p = q;
        s++;
        break;
      }
      case '\\':
        if (p[1] != '\0') p++;  // a trailing backslash stands for itself
        [[fallthrough]];
      default:
        if (*p != *s) return 0;
        p++;
        s++;
        break;
    }
  }
}

int str2resolu(PICRES* res, const char* line) {
  if (line == nullptr || *line == '\0') return 0;
  const char* xp = nullptr;
  const char* yp = nullptr;
  for (const char* s = line; *s; s++) {
    if (*s == 'X') xp = s;
    if (*s == 'Y') yp = s;
  }
  if (xp == nullptr || yp == nullptr) return 0;
  int order = (yp < xp) ? RES_YMAJ : 0;
  if (xp > line && xp[-1] == '-') order |= RES_XDEC;
  if (yp > line && yp[-1] == '-') order |= RES_YDEC;
  const char* s = xp + 1;
  int xr, yr;
  if (!scanInt(s, &xr)) xr = 0;
  s = yp + 1;
  if (!scanInt(s, &yr)) yr = 0;
  if (xr < 1 || yr < 1) return 0;
  res->order = order;
  res->xres = xr;
  res->yres = yr;
  return 1;
}

int fgetresolu(int* scanlen, int* count, FILE* fp) {
  PICRES r;
  if (std::fgets(resolu_buf, static_cast<int>(RESOLU_BUFLEN), fp) == nullptr) return -1;
  if (!str2resolu(&r, resolu_buf)) return -1;
  *scanlen = picresScanlen(r);
  *count = picresNumScans(r);
  return r.order;
}
