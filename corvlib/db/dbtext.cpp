// Record text tables: quoting, the value syntax of one column, record lines and whole tables.
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "db/dbrecord.h"
#include "db/dbrlist.h"
#include "db/dbfieldpriv.h"
#include "support/cnumber.h"
#include "support/dmessage.h"
#include "support/pchange.h"

namespace {

using traits = std::char_traits<char>;
constexpr int kEOF = traits::eof();

bool isDigit(int c) {
  return c >= '0' && c <= '9';
}

void appendQuoted(std::string& out, const char* s) {
  out += '"';
  for (const char* p = s; p != nullptr;) {
    const size_t run = std::strcspn(p, "\r\t\n\"\\");
    out.append(p, run);
    p += run;
    if (*p == '\0') break;
    out += '\\';
    out += *p == '\r' ? 'r' : *p == '\t' ? 't' : *p == '\n' ? 'n' : *p;
    p++;
  }
  out += '"';
}

void appendInt(std::string& out, int32_t v) {
  char tmp[16];
  const std::to_chars_result r = std::to_chars(tmp, tmp + sizeof(tmp), v);
  out.append(tmp, r.ptr);
}

// Scientific notation with 9 significant digits, enough for any float to read back the same.
void appendFloat(std::string& out, float v) {
  if (!std::isfinite(v)) v = 0.0f;  // the reader has no syntax for these; fields never hold them
  char tmp[32];
  const std::to_chars_result r = std::to_chars(tmp, tmp + sizeof(tmp), static_cast<double>(v),
                                               std::chars_format::scientific, 8);
  out.append(tmp, r.ptr);
}

// Appends one value column; false (nothing appended) for a type the syntax lacks.
bool appendField(std::string& out, const DBField& f) {
  const int n = f.GetNV();
  if (n == 0) return true;
  const int dt = f.GetDT();
  if (dt != DBDTint && dt != DBDTfloat && dt != DBDTstring) return false;
  if (n > 1) out += '{';
  for (int i = 0; i < n; i++) {
    if (i > 0) out += ',';
    const void* p = f.GetPointer(i);
    if (dt == DBDTint)
      appendInt(out, p ? *static_cast<const int32_t*>(p) : 0);
    else if (dt == DBDTfloat)
      appendFloat(out, p ? *static_cast<const float*>(p) : 0.0f);
    else
      appendQuoted(out, static_cast<const char*>(p));
  }
  if (n > 1) out += '}';
  return true;
}

void appendRecord(std::string& out, const DBRecord& r, char sep) {
  const int n = r.GetNAlloc();
  for (int i = 0; i < n; i++) {
    if (i > 0) out += sep;
    if (!appendField(out, r.l->field[i])) DMESSAGE(DMCparameter, "Unknown data type in operator<<");
  }
  out += '\n';
}

void writeOut(std::ostream* os, const std::string& s) {
  os->write(s.data(), static_cast<std::streamsize>(s.size()));
}

}  // namespace

void quoteString(std::ostream* os, const char* s) {
  if (os == nullptr) return;
  std::string out;
  appendQuoted(out, s);
  writeOut(os, out);
}

std::ostream& operator<<(std::ostream& os, const DBField& f) {
  std::string out;
  if (!appendField(out, f))
    DMESSAGE(DMCparameter, "Unknown data type in operator<<");
  else
    writeOut(&os, out);
  return os;
}

// Bytes of a value's work buffer kept between values.
constexpr size_t kKeep = 1u << 16;

std::istream& operator>>(std::istream& is, DBField& f) {
  std::streambuf* sb = is.rdbuf();
  if (sb == nullptr || !is.good()) {
    f.Clear();
    is.setstate(std::ios::failbit);
    return is;
  }
  enum Mode { kNone, kInt, kFloat, kText };
  // Work buffers per thread, kept between calls (a value is read per column of every line);
  // they grow to the longest value and the most values a column has held.
  thread_local std::string buf;
  thread_local std::vector<size_t> starts;
  buf.clear();
  starts.clear();
  Mode mode = kNone;
  bool braced = false, failed = false, atEnd = false;

  try {
    if (sb->sgetc() == '{') {
      sb->sbumpc();
      braced = true;
    }
    for (;;) {
      const size_t start = buf.size();
      bool got = false, opened = false, closed = false;
      for (;;) {
        int c = sb->sgetc();
        if (mode == kNone) {
          if (c == '"')
            mode = kText;
          else if (isDigit(c) || c == '+' || c == '-')
            mode = kInt;
          else if (c == '.')
            mode = kFloat;
          else
            break;
        }
        if (mode == kText) {
          if (closed) break;
          if (!opened) {
            if (c != '"') {
              failed = true;
              break;
            }
            sb->sbumpc();
            opened = got = true;
            continue;
          }
          // A raw line end inside quotes ends the line, not the value: the writer always
          // escapes them, so an open quote cannot swallow the lines after it.
          if (c == kEOF || c == '\n' || c == '\r') {
            failed = true;
            break;
          }
          sb->sbumpc();
          if (c == '"') {
            closed = true;
            continue;
          }
          if (c == '\\') {
            const int d = sb->sgetc();
            if (d == kEOF) continue;
            sb->sbumpc();
            if (d == '\r' || d == '\n') {  // line continuation
              if (d == '\r' && sb->sgetc() == '\n') sb->sbumpc();
              continue;
            }
            c = d == 'r' ? '\r' : d == 't' ? '\t' : d == 'n' ? '\n' : d;
          }
          buf.push_back(static_cast<char>(c));
          continue;
        }
        if (mode == kInt) {
          if (c == '.' || c == 'e' || c == 'E')
            mode = kFloat;
          else if (!(isDigit(c) || c == '+' || c == '-'))
            break;
        } else if (!(isDigit(c) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-')) {
          break;
        }
        buf.push_back(static_cast<char>(c));
        got = true;
        sb->sbumpc();
      }
      if (failed) break;
      if (!got || (mode == kText && !closed)) {
        failed = true;
        break;
      }
      buf.push_back('\0');
      starts.push_back(start);
      const int c = sb->sgetc();
      if (c == kEOF) {
        atEnd = true;
        break;
      }
      if (c == ',') {
        if (starts.size() >= static_cast<size_t>(DB_MAXVALUES)) {  // more than a field holds
          failed = true;
          break;
        }
        sb->sbumpc();
        continue;
      }
      if (c == '}' && braced) sb->sbumpc();
      break;
    }
  } catch (const std::bad_alloc&) {
    DMESSAGE(DMCmemory, "Out of memory reading a field");
    failed = true;
  }
  if (atEnd) is.setstate(std::ios::eofbit);
  // A long value's buffer is given back once the value is stored, rather than kept for the
  // life of the thread.
  struct Shrink {
    ~Shrink() {
      if (buf.capacity() > kKeep) std::string().swap(buf);
    }
    std::string& buf;
  } shrink{buf};
  if (failed || starts.empty()) {
    f.Clear();
    is.setstate(std::ios::failbit);
    return is;
  }
  try {
    const int nvals = static_cast<int>(starts.size());
    if (mode == kInt) {
      thread_local std::vector<long> vals;
      vals.resize(starts.size());
      for (int i = 0; i < nvals; i++) vals[i] = std::strtol(&buf[starts[i]], nullptr, 10);
      f.Set(vals.data(), nvals);
    } else if (mode == kFloat) {
      thread_local std::vector<float> vals;
      vals.resize(starts.size());
      for (int i = 0; i < nvals; i++) vals[i] = dbpriv::toFloat(Cstrtod(&buf[starts[i]], nullptr));
      f.Set(vals.data(), nvals);
    } else {
      thread_local std::vector<const char*> vals;
      vals.resize(starts.size());
      for (int i = 0; i < nvals; i++) vals[i] = &buf[starts[i]];
      f.Set(vals.data(), nvals);
    }
  } catch (const std::bad_alloc&) {
    DMESSAGE(DMCmemory, "Out of memory reading a field");
    f.Clear();
    is.setstate(std::ios::failbit);
  }
  return is;
}

// ---- record lines ---------------------------------------------------------------------------

namespace {

enum LineEnd { kEndCR, kEndLF, kEndEOF, kEndBrace };

// Skips the rest of a line: quoted runs are passed over (a closing brace inside them does not
// end anything), but a line end always ends the line.
LineEnd skipLine(std::istream& is) {
  std::streambuf* sb = is.rdbuf();
  bool quoted = false;
  for (;;) {
    const int c = sb->sgetc();
    if (c == kEOF) {
      is.setstate(std::ios::eofbit);
      return kEndEOF;
    }
    if (c == '\n' || c == '\r') {
      sb->sbumpc();
      return c == '\r' ? kEndCR : kEndLF;
    }
    if (c == '}' && !quoted) return kEndBrace;
    sb->sbumpc();
    if (c == '"') {
      quoted = !quoted;
    } else if (c == '\\' && quoted) {
      const int d = sb->sgetc();
      if (d != kEOF && d != '\n' && d != '\r') sb->sbumpc();
    }
  }
}

// Whether c (the next character, not yet taken) ends the record line: end of input, a line
// end (taken, so the next line starts clean) or the '}' that closes an enclosing block (left).
bool lineEndsAt(int c, std::istream& is, LineEnd* end) {
  if (c == kEOF) {
    is.setstate(std::ios::eofbit);
    *end = kEndEOF;
    return true;
  }
  if (c == '\n' || c == '\r') {
    is.rdbuf()->sbumpc();
    *end = c == '\r' ? kEndCR : kEndLF;
    return true;
  }
  if (c == '}') {
    *end = kEndBrace;
    return true;
  }
  return false;
}

// Reads one line into r, which has a schema and a writable field array. Returns the number of
// fields read, or -1 for a bad line (its rest skipped, the array released, the fail state set).
int readRecordLine(DBRecord& r, std::istream& is, char sep, LineEnd* end) {
  const DBFieldInfo* fi = r.finfo;
  const int nf = fi->nfields;
  if (r.l->nlinks > 1) {
    r.Free();
    r.l = new (std::nothrow) DBRLink(nf);
    if (r.l == nullptr) {
      DMESSAGE(DMCmemory, "Out of memory for a record");
      *end = skipLine(is);
      is.setstate(std::ios::failbit);
      return -1;
    }
  } else {
    r.l->Init(nf);
  }
  is.clear();
  if (nf == 0 || r.l->nfields < nf) {
    *end = skipLine(is);
    return 0;
  }
  std::streambuf* sb = is.rdbuf();
  int col = 0, nread = 0;
  bool bad = false;
  for (;;) {
    int c = sb->sgetc();
    if (c != sep || c == kEOF) {
      if (lineEndsAt(c, is, end)) break;
      DBField& f = r.l->field[col];
      is >> f;
      if (is.fail()) {
        bad = true;
        break;
      }
      const DBFDetails& d = fi->details[col];
      if (d.dtype != DBDTunknown &&
          (f.GetDT() != d.dtype || (f.GetNV() > 1 && !(d.flags & DBFDmulti)))) {
        bad = true;
        break;
      }
      if (f.GetNV() > 0) nread++;
      c = sb->sgetc();
      if (lineEndsAt(c, is, end)) break;
      if (c != sep) {  // something other than a separator after a value
        bad = true;
        break;
      }
    }
    sb->sbumpc();       // the separator
    if (++col >= nf) {  // more columns than the schema has
      *end = skipLine(is);
      break;
    }
  }
  if (bad) {
    is.clear(is.rdstate() & std::ios::eofbit);
    *end = skipLine(is);
    r.Free();
    is.setstate(std::ios::failbit);
    return -1;
  }
  return nread;
}

// As dst = src for a fresh record dst of another schema (map: dst's id of src's field j), but
// moving the values: src's field array is rebuilt for the next line anyway.
void moveByName(DBRecord& dst, DBRecord& src, const int* map) {
  const DBFieldInfo* fi = dst.finfo;
  dst.l->GrowTo(fi->nfields);
  const int n = src.GetNAlloc();
  for (int j = 0; j < n; j++) {
    DBField& f = src.l->field[j];
    const int t = map[j];
    if (f.GetNV() == 0 || t < 0 || t >= dst.l->nfields) continue;
    const DBFDetails& d = fi->details[t];
    if (d.dtype != DBDTunknown && d.dtype != f.GetDT()) continue;
    if (!(d.flags & DBFDmulti) && f.GetNV() > 1)
      f.Get(&dst.l->field[t], 0);
    else
      dst.l->field[t] = std::move(f);
  }
}

}  // namespace

void DBRecord::Write(std::ostream* os, char sep) const {
  if (os == nullptr) return;
  std::string line;
  appendRecord(line, *this, sep);
  writeOut(os, line);
}

int DBRecord::Read(std::istream* is, char sep) {
  PnoteChange();
  if (is == nullptr || finfo == nullptr) return 0;
  if (ReadOnly()) {
    DMESSAGE(DMCparameter, "Attempt to read into read-only record");
    return 0;
  }
  LineEnd end;
  const int n = readRecordLine(*this, *is, sep, &end);
  if (n != 0) return n;
  return (end == kEndCR || end == kEndLF) ? 0 : -1;
}

// ---- reading table lines --------------------------------------------------------------------

namespace dbpriv {

void TableLines::AfterNames() {
  line_ = 1;
  // Whether the names line ended with a CR (whose LF, in a CR LF pair, comes next): step back
  // over the character that ended it, or else guess from the character that follows.
  std::streambuf* sb = is_->rdbuf();
  const int last = sb->sungetc();
  if (last != kEOF) {
    sb->sbumpc();
    prevCR_ = last == '\r';
  } else {
    prevCR_ = is_->good() && sb->sgetc() == '\n';
  }
}

bool TableLines::Next(DBRecord& rec, DBFieldInfo* rs) {
  std::streambuf* sb = is_->rdbuf();
  while (is_->good()) {
    if (prevCR_ && sb->sgetc() == '\n') {  // the second half of a CR LF line end
      sb->sbumpc();
      prevCR_ = false;
      continue;
    }
    line_++;
    LineEnd end;
    const int n = readRecordLine(rec, *is_, sep_, &end);
    prevCR_ = end == kEndCR;
    if (n < 0) {
      // A bad line is noted and skipped; the lines after it still load.
      Bad(line_);
      is_->clear(is_->rdstate() & std::ios::eofbit);
      if (rec.Init(rs, false) == nullptr || rec.l == nullptr) return false;
      continue;
    }
    if (n > 0) return true;
    if (end == kEndEOF || end == kEndBrace) return false;
  }
  return false;
}

void TableLines::Bad(int line) {
  nbad_++;
  if (shown_.size() < 10) shown_.push_back(line);
}

void TableLines::Report() const {
  if (nbad_ == 0) return;
  if (nbad_ == 1) {
    DMESSAGE(DMCdata, "Cannot read record at line %d", shown_[0]);
    return;
  }
  std::string lines;
  for (size_t i = 0; i < shown_.size(); i++) {
    if (i > 0) lines += ", ";
    lines += std::to_string(shown_[i]);
  }
  if (static_cast<size_t>(nbad_) > shown_.size()) lines += ", ...";
  DMESSAGE(DMCdata, "Cannot read %d records, at lines %s", nbad_, lines.c_str());
}

}  // namespace dbpriv

// ---- tables ---------------------------------------------------------------------------------

void DBRecordList::Write(std::ostream* os, char sep) const {
  if (os == nullptr || nr == 0) return;
  const DBFieldInfo* fi = finfo != nullptr ? finfo : rl[0].finfo;
  if (fi != nullptr)
    fi->DBFieldID::Write(os, sep);
  else
    os->put('\n');
  std::string out;
  for (int i = 0; i < nr; i++) {
    appendRecord(out, rl[i], sep);
    if (out.size() >= 65536) {
      writeOut(os, out);
      out.clear();
    }
  }
  writeOut(os, out);
}

int DBRecordList::Read(std::istream* is, char* sep, DBFieldInfo* schema) {
  PnoteChange();
  if (finfo == nullptr && schema == nullptr) return -1;
  if (is == nullptr) return 0;
  std::unique_ptr<DBFieldInfo> local;
  DBFieldInfo* rs = schema;
  if (rs == nullptr) {
    local.reset(new (std::nothrow) DBFieldInfo);
    if (!local) {
      DMESSAGE(DMCmemory, "Out of memory reading a table");
      return 0;
    }
    rs = local.get();
  }
  char lsep = '\0';
  char* sp = sep != nullptr ? sep : &lsep;
  bool named = false;
  if (rs->nfields == 0) {
    rs->Clear();
    const int n = rs->DBFieldID::Read(is, sp);
    if (n <= 0) return n;
    named = true;
  }
  if (*sp == '\0') *sp = '\t';
  dbpriv::TableLines lines(is, *sp);
  if (named) lines.AfterNames();

  DBRecord rec(rs);
  if (rec.l == nullptr) return 0;
  // Columns of another schema land in the list's fields by name.
  int mapStore[DB_MAXFIELDS];
  const int* map = nullptr;
  if (finfo != nullptr && finfo != rs) {
    finfo->MapIDs(mapStore, rs);
    map = mapStore;
  }
  int added = 0;
  while (lines.Next(rec, rs)) {
    const int want = nr + 1;
    if (nr == INT32_MAX || Resize(want) != want) continue;
    DBRecord& dst = rl[nr - 1];
    const bool fresh = dst.l != nullptr && dst.l->nlinks == 1 && dst.GetNAlloc() == 0;
    if (fresh && dst.finfo == rs) {
      DBRLink* t = dst.l;  // same schema: hand the values over instead of copying them
      dst.l = rec.l;
      rec.l = t;
    } else if (fresh && dst.finfo == finfo && map != nullptr) {
      moveByName(dst, rec, map);
    } else {
      dst = rec;
    }
    added++;
  }
  lines.Report();
  return added;
}
