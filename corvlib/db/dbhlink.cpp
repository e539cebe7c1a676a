// Header variables: reading and writing the "Name = value" text of database headers.
#include "db/dbhlink.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "support/chain.h"
#include "support/cnumber.h"
#include "support/dmessage.h"

namespace {

// Longest value line accepted; far beyond anything the writer produces for the declared
// variables, it only bounds the memory a hostile file can make the reader take.
constexpr size_t kMaxLine = size_t(1) << 20;
// Longest quoted value that runs over several lines, unless the variable's buffer is larger.
constexpr int kMaxQuoted = 4095;

bool IsBlank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads the rest of the current line (the line feed is consumed, not stored). Returns
// false when nothing could be read or the line is longer than kMaxLine.
bool ReadLine(std::istream* is, std::string* line) {
  line->clear();
  std::streambuf* sb = is->rdbuf();
  if (sb == nullptr || !is->good()) {
    is->setstate(std::ios::failbit);
    return false;
  }
  bool any = false;
  for (;;) {
    int c = sb->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      is->setstate(std::ios::eofbit);
      if (!any) is->setstate(std::ios::failbit);
      return any;
    }
    any = true;
    if (c == '\n') return true;
    if (line->size() >= kMaxLine) return false;
    line->push_back(static_cast<char>(c));
  }
}

// Skips the rest of the current line.
void SkipLine(std::istream* is) {
  std::streambuf* sb = is->rdbuf();
  if (sb == nullptr) return;
  for (;;) {
    int c = sb->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      is->setstate(std::ios::eofbit);
      return;
    }
    if (c == '\n') return;
  }
}

int Peek(std::istream* is) {
  std::streambuf* sb = is->rdbuf();
  if (sb == nullptr || !is->good()) return EOF;
  int c = sb->sgetc();
  if (c == std::char_traits<char>::eof()) {
    is->setstate(std::ios::eofbit);
    return EOF;
  }
  return c;
}

int Get(std::istream* is) {
  std::streambuf* sb = is->rdbuf();
  if (sb == nullptr || !is->good()) return EOF;
  int c = sb->sbumpc();
  if (c == std::char_traits<char>::eof()) {
    is->setstate(std::ios::eofbit);
    return EOF;
  }
  return c;
}

// Skips a quoted run whose opening quote q was read: through the next q.
bool SkipQuoted(std::istream* is, int q) {
  for (;;) {
    int c = Get(is);
    if (c == EOF) return false;
    if (c == q) return true;
  }
}

// Scans a decimal number token at *p (after optional white space); the token has the form
// [+-]digits for ints, [+-](digits[.digits]|.digits)[(e|E)[+-]digits] for floats.
bool NumberToken(const char** p, bool isfloat, std::string* tok) {
  const char* s = *p;
  while (IsBlank(static_cast<unsigned char>(*s))) ++s;
  const char* start = s;
  if (*s == '+' || *s == '-') ++s;
  const char* digits = s;
  while (Cdigit(*s)) ++s;
  bool have = s > digits;
  if (isfloat) {
    if (*s == '.') {
      ++s;
      const char* frac = s;
      while (Cdigit(*s)) ++s;
      have = have || s > frac;
    }
    if (have && (*s == 'e' || *s == 'E')) {
      const char* e = s + 1;
      if (*e == '+' || *e == '-') ++e;
      const char* ed = e;
      while (Cdigit(*e)) ++e;
      if (e > ed) s = e;
    }
  }
  if (!have) return false;
  tok->assign(start, s - start);
  *p = s;
  return true;
}

void WriteTabs(std::ostream* os, int level) {
  for (int i = 0; i < level; i++) os->put('\t');
}

// Scans the string value that starts at line[*i] (not a blank): a run between quote
// characters, or a bare run up to the next blank. Returns false when a quoted run is not
// closed on this line; the value then holds the rest of the line.
bool ScanStringValue(const std::string& line, size_t* i, std::string* value) {
  const char c = line[*i];
  if (c == '"' || c == '\'') {
    const size_t j = line.find(c, *i + 1);
    if (j == std::string::npos) {
      value->assign(line, *i + 1, std::string::npos);
      *i = line.size();
      return false;
    }
    value->assign(line, *i + 1, j - *i - 1);
    *i = j + 1;
    return true;
  }
  size_t j = *i;
  while (j < line.size() && !IsBlank(static_cast<unsigned char>(line[j]))) j++;
  value->assign(line, *i, j - *i);
  *i = j;
  return true;
}

// The form of a string value that the syntax carries unchanged: line breaks become blanks
// (a value is one line), and of a value holding both quote characters the rarer one is
// dropped (there is no escape character).
std::string WritableString(const char* v) {
  std::string w(v);
  size_t nd = 0, ns = 0;
  for (char& c : w) {
    if (c == '\n' || c == '\r') c = ' ';
    nd += c == '"';
    ns += c == '\'';
  }
  if (nd > 0 && ns > 0) {
    const char drop = nd <= ns ? '"' : '\'';
    w.erase(std::remove(w.begin(), w.end(), drop), w.end());
  }
  return w;
}

// The text of a writable value after "Name = ": bare, or in the quotes it needs.
std::string StringValueText(const std::string& v) {
  if (v.empty()) return "\"\"";
  bool need = false;
  char q = '"';
  for (char c : v) {
    if (IsBlank(static_cast<unsigned char>(c))) need = true;
    if (c == '"' || c == '\'') {
      need = true;
      q = c == '"' ? '\'' : '"';
    }
  }
  return need ? q + v + q : v;
}

// Whether the reader takes the value text back as the one value v.
bool ReadsBackAs(const std::string& text, const std::string& v) {
  if (text.empty() || text.size() > kMaxLine) return false;
  size_t i = 0;
  std::string got;
  if (IsBlank(static_cast<unsigned char>(text[0])) || !ScanStringValue(text, &i, &got))
    return false;
  while (i < text.size() && IsBlank(static_cast<unsigned char>(text[i]))) i++;
  return i == text.size() && got == v;
}

}  // namespace

DBHeaderLink::DBHeaderLink(const char* name, DBDataType type, int max, DBHeaderLink* nxt)
    : vname(name),
      vtype(type),
      maxlen(max),
      nset(0),
      op_o(nullptr),
      op_wrt(nullptr),
      op_rdr(nullptr),
      next(nxt) {
  link.sval = nullptr;
}

DBHeaderLink::DBHeaderLink(const char* name, int* values, int n, DBHeaderLink* nxt)
    : DBHeaderLink(name, DBDTint, n, nxt) {
  link.ival = values;
}

DBHeaderLink::DBHeaderLink(const char* name, float* values, int n, DBHeaderLink* nxt)
    : DBHeaderLink(name, DBDTfloat, n, nxt) {
  link.fval = values;
}

DBHeaderLink::DBHeaderLink(const char* name, char* buffer, int n, DBHeaderLink* nxt)
    : DBHeaderLink(name, DBDTstring, n, nxt) {
  link.sval = buffer;
}

DBHeaderLink::DBHeaderLink(const char* name, void* o, DBHWriteFunc wrt, DBHReadFunc rdr, int budget,
                           DBHeaderLink* nxt)
    : DBHeaderLink(name, DBDTunknown, budget, nxt) {
  op_o = o;
  op_wrt = wrt;
  op_rdr = rdr;
}

DBHeaderLink::~DBHeaderLink() {
  DeleteChain(next, &DBHeaderLink::next);
}

void DBHeaderLink::Clear() {
  for (DBHeaderLink* v = this; v != nullptr; v = v->next) v->nset = 0;
}

DBHeaderLink* DBHeaderLink::FindVar(const char* name) {
  for (DBHeaderLink* v = this; v != nullptr; v = v->next) {
    if (v->vname == name) return v;
    if (v->vname != nullptr && name != nullptr && strcmp(v->vname, name) == 0) return v;
  }
  return nullptr;
}

const DBHeaderLink* DBHeaderLink::GetVar(const char* name) const {
  return const_cast<DBHeaderLink*>(this)->FindVar(name);
}

int DBHeaderLink::GetNSet() const {
  long long total = 0;
  for (const DBHeaderLink* v = this; v != nullptr; v = v->next) {
    if (v->nset < 0) return -1;
    total += v->nset;
  }
  return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

int DBHeaderLink::GetMaxLength() const {
  long long total = 0;
  for (const DBHeaderLink* v = this; v != nullptr; v = v->next) {
    long long n = v->vname != nullptr ? static_cast<long long>(strlen(v->vname)) : 0;
    long long m = v->maxlen > 0 ? v->maxlen : 0;
    switch (v->vtype) {
      case DBDTstring:
      case DBDTunknown:
        total += n + m + 24;
        break;
      case DBDTint:
        total += (n + 26) * m;
        break;
      case DBDTfloat:
        total += (n + 28) * m;
        break;
      default:
        total += n + 12;
        break;
    }
  }
  return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

DBHeaderLink* DBHeaderLink::FindKind(DBDataType t, const void* storage) {
  for (DBHeaderLink* v = this; v != nullptr; v = v->next) {
    if (v->vtype != t) continue;
    const void* s = t == DBDTint     ? static_cast<const void*>(v->link.ival)
                    : t == DBDTfloat ? static_cast<const void*>(v->link.fval)
                                     : static_cast<const void*>(v->link.sval);
    if (s == storage) return v;
  }
  return nullptr;
}

int DBHeaderLink::SetVal(int* storage, int value) {
  DBHeaderLink* v = storage != nullptr ? FindKind(DBDTint, storage) : nullptr;
  if (v == nullptr || v->maxlen < 1) return 0;
  if (v->nset < 0) v->nset = 0;
  if (v->nset < v->maxlen)
    v->link.ival[v->nset++] = value;
  else
    v->link.ival[v->maxlen - 1] = value;
  return v->nset;
}

int DBHeaderLink::SetVal(float* storage, float value) {
  DBHeaderLink* v = storage != nullptr ? FindKind(DBDTfloat, storage) : nullptr;
  if (v == nullptr || v->maxlen < 1) return 0;
  if (v->nset < 0) v->nset = 0;
  if (v->nset < v->maxlen)
    v->link.fval[v->nset++] = value;
  else
    v->link.fval[v->maxlen - 1] = value;
  return v->nset;
}

int DBHeaderLink::SetVal(char* buffer, const char* value) {
  DBHeaderLink* v = buffer != nullptr ? FindKind(DBDTstring, buffer) : nullptr;
  if (v == nullptr || v->maxlen < 1 || value == nullptr) return 0;
  if (v->nset < 0) v->nset = 0;
  size_t len = strlen(value);
  size_t cap = static_cast<size_t>(v->maxlen);
  char* buf = v->link.sval;
  if (len + 1 >= cap) {
    // Too long to share the buffer: the value alone, cut to fit.
    memmove(buf, value, cap - 1);
    buf[cap - 1] = '\0';
    v->nset = 1;
    return 1;
  }
  // Keep the leading values for as long as the room after them still holds the new one.
  size_t room = cap, pos = 0;
  int kept = 0;
  while (kept < v->nset) {
    size_t l = strnlen(buf + pos, cap - pos) + 1;
    if (pos + l > cap || room - l < len + 1) break;
    room -= l;
    pos += l;
    kept++;
  }
  memmove(buf + pos, value, len + 1);
  v->nset = kept + 1;
  return v->nset;
}

int DBHeaderLink::StringBytes() const {
  if (vtype != DBDTstring || link.sval == nullptr || nset <= 0) return 0;
  size_t pos = 0, cap = static_cast<size_t>(maxlen > 0 ? maxlen : 0);
  for (int i = 0; i < nset && pos < cap; i++) pos += strnlen(link.sval + pos, cap - pos) + 1;
  return static_cast<int>(pos > cap ? cap : pos);
}

int DBHeaderLink::InsertSVal(const char* value, int i) {
  if (value == nullptr || vtype != DBDTstring || link.sval == nullptr) return 0;
  int n = nset > 0 ? nset : 0;
  if (i > n) return 0;
  if (i < 0) i = n;
  size_t used = static_cast<size_t>(StringBytes());
  size_t len = strlen(value) + 1;
  if (used + len > static_cast<size_t>(maxlen)) return 0;
  size_t off = 0;
  for (int k = 0; k < i; k++) off += strlen(link.sval + off) + 1;
  memmove(link.sval + off + len, link.sval + off, used - off);
  memcpy(link.sval + off, value, len);
  nset = n + 1;
  return 1;
}

int DBHeaderLink::DeleteSVal(int i) {
  if (vtype != DBDTstring || link.sval == nullptr || i < 0 || i >= nset) return 0;
  size_t used = static_cast<size_t>(StringBytes());
  size_t off = 0;
  for (int k = 0; k < i; k++) off += strlen(link.sval + off) + 1;
  size_t len = strlen(link.sval + off) + 1;
  memmove(link.sval + off, link.sval + off + len, used - off - len);
  nset--;
  return 1;
}

const char* DBHeaderLink::GetSVal(int i) const {
  if (vtype != DBDTstring || i < 0 || i >= nset) return nullptr;
  return GetSVal(link.sval, i);
}

const char* DBHeaderLink::GetSVal(const char* buffer, int i) {
  if (buffer == nullptr || i < 0) return nullptr;
  while (i-- > 0) buffer += strlen(buffer) + 1;
  return buffer;
}

int DBHeaderLink::FindSVal(const char* value) const {
  if (value == nullptr || vtype != DBDTstring) return -1;
  for (int i = 0; i < nset; i++)
    if (strcmp(GetSVal(i), value) == 0) return i;
  return -1;
}

// ---------------------------------------------------------------------------------------
// Reading

namespace {

// Result of scanning for a name: a name was read, the block ended, or the scan failed.
enum ScanResult { kScanName, kScanEnd, kScanError };

ScanResult ScanName(char* buf, int len, std::istream* is) {
  for (;;) {
    int c = Peek(is);
    while (c != EOF && IsBlank(c)) {
      Get(is);
      c = Peek(is);
    }
    if (c == EOF) {
      DMESSAGE(DMCwarning, "Unexpected EOF in DB header");
      return kScanEnd;
    }
    if (c == '#' || c == '/') {  // a comment line
      SkipLine(is);
      continue;
    }
    if (c == '}') {  // the end of the block
      SkipLine(is);
      return kScanEnd;
    }
    if (c == '=') {
      DMESSAGE(DMCdata, "Missing variable name in DB header");
      return kScanError;
    }
    if (!(c >= 0 && c < 0x80 && Calpha(static_cast<char>(c))) && c != '_') {
      DMESSAGE(DMCdata, "Unexpected character ('%c') in DB header", c);
      return kScanError;
    }
    break;
  }
  if (buf == nullptr || len < 2) {
    DMESSAGE(DMCparameter, "Variable name too long in DB header");
    return kScanError;
  }
  int n = 0;
  for (;;) {
    int c = Peek(is);
    if (c == EOF || IsBlank(c) || c == '=') break;
    if (n >= len - 1) {
      DMESSAGE(DMCparameter, "Variable name too long in DB header");
      return kScanError;
    }
    buf[n++] = static_cast<char>(Get(is));
  }
  buf[n] = '\0';
  for (;;) {  // whatever stands between the name and the equals sign is skipped
    int c = Get(is);
    if (c == EOF || c == '\n') {
      DMESSAGE(DMCdata, "Missing '=' in DB header assignment for %s", buf);
      return kScanError;
    }
    if (c == '=') break;
  }
  int c = Peek(is);
  while (c == ' ' || c == '\t') {
    Get(is);
    c = Peek(is);
  }
  if (c == EOF) {
    DMESSAGE(DMCdata, "Unexpected EOF in DB header");
    return kScanError;
  }
  return kScanName;
}

// Scans one assignment; *got receives the variable that took it.
ScanResult ScanOne(DBHeaderLink* list, std::istream* is, DBHeaderLink** got) {
  char name[128];
  for (;;) {
    ScanResult r = ScanName(name, sizeof(name), is);
    if (r != kScanName) return r;
    DBHeaderLink* v = list->FindVar(name);
    if (v == nullptr) {
      DBHeaderLink::SkipVal(is);
      DMESSAGE(DMCwarning, "Unrecognized DB header variable: %s", name);
      continue;
    }
    if (v->ReadVal(is) < 0) return kScanError;
    *got = v;
    return kScanName;
  }
}

}  // namespace

char* DBHeaderLink::ScanVarName(char* buf, int len, std::istream* is) {
  if (is == nullptr) return nullptr;
  return ScanName(buf, len, is) == kScanName ? buf : nullptr;
}

DBHeaderLink* DBHeaderLink::ScanVar(std::istream* is) {
  if (is == nullptr) return nullptr;
  DBHeaderLink* got = nullptr;
  return ScanOne(this, is, &got) == kScanName ? got : nullptr;
}

int DBHeaderLink::ScanVars(std::istream* is) {
  Clear();
  if (is == nullptr) return -1;
  DBHeaderLink* got = nullptr;
  ScanResult r;
  while ((r = ScanOne(this, is, &got)) == kScanName) {
  }
  // A scan that stopped on a fault is a failed read, not a short header.
  if (r == kScanError) return -1;
  return GetNSet();
}

void DBHeaderLink::SkipVal(std::istream* is) {
  if (is == nullptr) return;
  int c = Get(is);
  if (c == EOF || c == '\n') return;
  if (c == '"' || c == '\'') {
    SkipQuoted(is, c);
    SkipLine(is);
    return;
  }
  if (c == '{') {
    int depth = 1;
    for (;;) {
      int d = Get(is);
      if (d == EOF) {
        DMESSAGE(DMCwarning, "Expected '}' in DB header");
        return;
      }
      if (d == '{') {
        depth++;
      } else if (d == '}') {
        if (--depth == 0) break;
      } else if (d == '"' || d == '\'') {
        if (!SkipQuoted(is, d)) {
          DMESSAGE(DMCwarning, "Expected '}' in DB header");
          return;
        }
      }
    }
    SkipLine(is);
    return;
  }
  SkipLine(is);
}

int DBHeaderLink::ReadNumbers(const char* line) {
  bool isfloat = vtype == DBDTfloat;
  const char* p = line;
  std::string tok;
  int count = 0;
  bool ok = true;
  while (NumberToken(&p, isfloat, &tok)) {
    if (isfloat) {
      errno = 0;
      double d = Cstrtod(tok.c_str(), nullptr);
      if (!std::isfinite(d) || std::fabs(d) > 3.4028235e38) {
        ok = false;
        break;
      }
      if (nset < maxlen)
        link.fval[nset++] = static_cast<float>(d);
      else
        link.fval[maxlen - 1] = static_cast<float>(d);
    } else {
      errno = 0;
      long long l = strtoll(tok.c_str(), nullptr, 10);
      if (errno == ERANGE || l < INT_MIN || l > INT_MAX) {
        ok = false;
        break;
      }
      if (nset < maxlen)
        link.ival[nset++] = static_cast<int>(l);
      else
        link.ival[maxlen - 1] = static_cast<int>(l);
    }
    count++;
  }
  if (ok) {
    while (IsBlank(static_cast<unsigned char>(*p))) ++p;
    ok = count > 0 && *p == '\0';
  }
  if (!ok) {
    DMESSAGE(
        DMCdata,
        isfloat ? "Expected float for %s in DB header" : "Expected integer for %s in DB header",
        vname);
    nset = -1;
    return -1;
  }
  return count;
}

int DBHeaderLink::ReadStrings(const char* first, std::istream* is) {
  std::string line(first);
  std::string value;
  int count = 0;
  size_t i = 0;
  // A quoted value may run over several lines; accept at least what the buffer can hold.
  size_t limit = static_cast<size_t>(maxlen > kMaxQuoted ? maxlen : kMaxQuoted);
  while (i < line.size()) {
    const char c = line[i];
    if (IsBlank(static_cast<unsigned char>(c))) {
      i++;
      continue;
    }
    if (!ScanStringValue(line, &i, &value)) {
      // The value goes on in the following lines.
      bool closed = false;
      while (value.size() <= limit) {
        int d = Get(is);
        if (d == EOF) break;
        if (d == c) {
          closed = true;
          break;
        }
        value.push_back(static_cast<char>(d));
      }
      if (!closed || value.size() > limit) {
        DMESSAGE(DMCdata, "Missing quote for %s in DB header", vname);
        nset = -1;
        return -1;
      }
      // Go on with the rest of the line that closed the value.
      if (!ReadLine(is, &line)) {
        is->clear(is->rdstate() & ~std::ios::failbit);
        line.clear();
      }
      i = 0;
    }
    SetVal(link.sval, value.c_str());
    count++;
  }
  return count;
}

int DBHeaderLink::ReadVal(std::istream* is) {
  if (vtype != DBDTint && vtype != DBDTfloat && vtype != DBDTstring && vtype != DBDTunknown) {
    DMESSAGE(DMCparameter, "Missing type in DBHeaderLink::CheckVar");
    return -1;
  }
  std::string line;
  if (is == nullptr || !ReadLine(is, &line) || line.empty()) {
    DMESSAGE(DMCdata, "Could not read value for %s in DB header", vname);
    return -1;
  }
  if (nset < 0) nset = 0;
  switch (vtype) {
    case DBDTint:
    case DBDTfloat:
      if (maxlen < 1 || link.ival == nullptr) {
        nset = -1;
        DMESSAGE(DMCdata, "Could not read value for %s in DB header", vname);
        return -1;
      }
      return ReadNumbers(line.c_str());
    case DBDTstring:
      if (maxlen < 1 || link.sval == nullptr) {
        nset = -1;
        DMESSAGE(DMCdata, "Could not read value for %s in DB header", vname);
        return -1;
      }
      return ReadStrings(line.c_str(), is);
    default: {
      if (line[0] != '{') {
        DMESSAGE(DMCdata, "Expected '{' for %s in DB header", vname);
        nset = -1;
        return -1;
      }
      if (op_o == nullptr || op_rdr == nullptr) {
        DMESSAGE(DMCparameter, "Missing opaque reader for %s", vname);
        nset = -1;
        return -1;
      }
      int r = op_rdr(op_o, is);
      if (r >= 0)
        nset += r;
      else
        nset = r;
      return r;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Writing

int DBHeaderLink::WriteVar(std::ostream* os, int level) const {
  if (vname == nullptr || nset <= 0 || os == nullptr) return 0;
  switch (vtype) {
    case DBDTint: {
      WriteTabs(os, level);
      *os << vname << " =";
      // Numbers are formatted here, not by the stream, whose locale may group digits or
      // write a decimal comma.
      char num[32];
      int n = nset < maxlen ? nset : maxlen;
      for (int i = 0; i < n; i++) {
        Csnprintf(num, sizeof num, " %d", link.ival[i]);
        *os << num;
      }
      *os << '\n';
      return os->bad() ? -1 : nset;
    }
    case DBDTfloat: {
      WriteTabs(os, level);
      *os << vname << " =";
      char num[32];
      int n = nset < maxlen ? nset : maxlen;
      for (int i = 0; i < n; i++) {
        Csnprintf(num, sizeof num, " %.6g", static_cast<double>(link.fval[i]));
        *os << num;
      }
      *os << '\n';
      return os->bad() ? -1 : nset;
    }
    case DBDTstring: {
      size_t pos = 0, maxl = static_cast<size_t>(maxlen > 0 ? maxlen : 0);
      for (int i = 0; i < nset && pos < maxl; i++) {
        std::string v(link.sval + pos, strnlen(link.sval + pos, maxl - pos));
        pos += v.size() + 1;
        // Only what reads back unchanged is written, so that no value can end its line
        // early and start assignments of its own.
        const std::string w = WritableString(v.c_str());
        const std::string text = StringValueText(w);
        if (!ReadsBackAs(text, w)) {
          DMESSAGE(DMCdata, "Value %d of %s cannot be written so that it reads back", i + 1, vname);
          continue;
        }
        WriteTabs(os, level);
        *os << vname << " = " << text << '\n';
      }
      return os->bad() ? -1 : nset;
    }
    case DBDTunknown: {
      if (op_o == nullptr || op_wrt == nullptr) {
        DMESSAGE(DMCparameter, "Missing opaque writer for %s", vname);
        return 0;
      }
      WriteTabs(os, level);
      *os << vname << " = {\n";
      int r = op_wrt(op_o, os, level + 1);
      WriteTabs(os, level);
      *os << "} // " << vname << '\n';
      return r;
    }
    default:
      DMESSAGE(DMCparameter, "Missing type in DBHeaderLink::WriteVar");
      return -1;
  }
}

int DBHeaderLink::WriteVars(std::ostream* os, int level) const {
  // The list's head was declared last: write from the tail for declaration order.
  std::vector<const DBHeaderLink*> vars;
  for (const DBHeaderLink* v = this; v != nullptr; v = v->next) vars.push_back(v);
  long long total = 0;
  for (size_t i = vars.size(); i-- > 0;) {
    int r = vars[i]->WriteVar(os, level);
    if (r < 0) return r;
    total += r;
  }
  return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

bool MatchInput(std::istream* is, const char* literal) {
  if (is == nullptr || literal == nullptr) return false;
  for (const char* p = literal; *p; ++p) {
    int c = Get(is);
    if (c == EOF || c != static_cast<unsigned char>(*p)) return false;
  }
  return true;
}
