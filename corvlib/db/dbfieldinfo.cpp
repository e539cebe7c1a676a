// Schemas: the name table (DBFieldID), sort orders (DBFieldSort) and field details with their
// editing (DBFieldInfo).
#include <climits>
#include <cstring>
#include <istream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "db/dbfield.h"
#include "db/dbschema.h"
#include "support/dmessage.h"
#include "support/pchange.h"
#include "support/pstrings.h"

namespace {

// Name order: bytes compared as signed characters, case-sensitive.
int namecmp(const char* a, const char* b) {
  if (a == b) return 0;
  const signed char* x = reinterpret_cast<const signed char*>(a);
  const signed char* y = reinterpret_cast<const signed char*>(b);
  while (*x != 0 && *x == *y) {
    x++;
    y++;
  }
  return (*x > *y) - (*x < *y);
}

bool sameName(const char* a, const char* b) {
  return a == b || std::strcmp(a, b) == 0;
}

// Pools name; null when the pool is out of memory (it then answers with another text).
const char* linkName(const char* name) {
  const char* p = strlink(name);
  if (p == nullptr || (p != name && std::strcmp(p, name) != 0)) return nullptr;
  return p;
}

}  // namespace

// ---- DBFieldID ------------------------------------------------------------------------------

void DBFieldID::Clear() {
  PnoteChange();
  for (int i = nfields; i-- > 0;) strunlink(mname[i]);
  nfields = 0;
}

DBFieldID& DBFieldID::operator=(const DBFieldID& src) {
  PnoteChange();
  if (this == &src) return *this;
  Clear();
  for (int id = 0; id < src.nfields; id++) {
    mname[id] = strlink(src.mname[id]);
    mturn[id] = src.mturn[id];
    mlexo[id] = src.mlexo[id];
  }
  nfields = src.nfields;
  return *this;
}

void DBFieldID::SetName(int id, const char* pooled) {
  PnoteChange();
  mname[id] = pooled;
  mturn[id] =
      static_cast<uint8_t>(memhash(pooled, static_cast<ptrdiff_t>(std::strlen(pooled)), 32) % 31);
}

int DBFieldID::Field(const char* name) {
  PnoteChange();
  const int id = GetID(name);
  return id >= 0 ? id : NewField(name);
}

int DBFieldID::NewField(const char* name) {
  PnoteChange();
  if (name == nullptr || *name == '\0' || nfields >= DB_MAXFIELDS) return -1;
  int k = nfields - 1;
  for (; k >= 0; k--) {
    const int c = namecmp(name, mname[mlexo[k]]);
    if (c == 0) return -1;
    if (c > 0) break;
  }
  const int place = k + 1;
  const char* pooled = linkName(name);
  if (pooled == nullptr) return -1;
  const int id = nfields;
  SetName(id, pooled);
  std::memmove(mlexo + place + 1, mlexo + place, sizeof(mlexo[0]) * (nfields - place));
  mlexo[place] = static_cast<int16_t>(id);
  nfields++;
  return id;
}

int DBFieldID::GetID(const char* name) const {
  if (name == nullptr || nfields == 0) return -1;
  if (nfields < 12) {
    for (int i = 0; i < nfields; i++)
      if (sameName(mname[i], name)) return i;
    return -1;
  }
  int lo = 0, hi = nfields, prev = nfields;
  for (;;) {
    const int mid = (lo + hi) / 2;
    if (mid == prev) return -1;
    prev = mid;
    const int id = mlexo[mid];
    const int c = namecmp(name, mname[id]);
    if (c == 0) return id;
    if (c > 0)
      lo = mid;
    else
      hi = mid;
  }
}

bool DBFieldID::Rename(int id, const char* name) {
  PnoteChange();
  if (id < 0 || id >= nfields || name == nullptr || *name == '\0') return false;
  if (sameName(mname[id], name)) return true;
  if (GetID(name) >= 0) return false;
  const char* pooled = linkName(name);
  if (pooled == nullptr) return false;
  strunlink(mname[id]);
  SetName(id, pooled);
  int p = 0;
  while (p < nfields && mlexo[p] != id) p++;
  if (p >= nfields) return true;  // cannot happen: every id is listed once
  while (p < nfields - 1 && namecmp(mname[mlexo[p + 1]], pooled) < 0) {
    mlexo[p] = mlexo[p + 1];
    p++;
  }
  while (p > 0 && namecmp(mname[mlexo[p - 1]], pooled) > 0) {
    mlexo[p] = mlexo[p - 1];
    p--;
  }
  mlexo[p] = static_cast<int16_t>(id);
  return true;
}

int DBFieldID::XlateID(const DBFieldID* other, int id) const {
  if (other == nullptr || id < 0 || id >= other->nfields) return -1;
  if (other == this) return id;
  if (id < nfields && mname[id] == other->mname[id]) return id;
  return GetID(other->mname[id]);
}

bool DBFieldID::MapIDs(int* map, const DBFieldID* other) const {
  if (other == nullptr || map == nullptr) return false;
  if (other == this) {
    for (int j = 0; j < nfields; j++) map[j] = j;
    return false;
  }
  bool differ = other->nfields > nfields;
  int i = 0;
  for (int k = 0; k < other->nfields; k++) {
    const int j = other->mlexo[k];
    const char* n = other->mname[j];
    int c = 1;
    while (i < nfields && (c = namecmp(mname[mlexo[i]], n)) < 0) {
      i++;
      differ = true;
    }
    if (i < nfields && c == 0) {
      map[j] = mlexo[i];
      i++;
    } else {
      map[j] = -1;
      differ = true;
    }
  }
  return differ;
}

bool DBFieldID::MapIDs(const DBFieldID* table, int* map, const DBFieldID* other) {
  if (other == nullptr) return false;
  if (table == nullptr) {
    if (map != nullptr)
      for (int j = 0; j < other->nfields; j++) map[j] = -1;
    return true;
  }
  return table->MapIDs(map, other);
}

namespace {

bool WordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// A name is written as it is, unless it holds the separator or a line end, or opens with a
// double quote or a byte-order mark (which the reader drops at the line's start), or is the
// line's only name and holds a character that a reader finding the separator would take for
// it: then it is quoted and escaped as a string value of a record line is, and reads back the
// same.
bool NeedsQuotes(const char* name, char sep, bool alone) {
  if (name[0] == '"' || std::strncmp(name, "\xEF\xBB\xBF", 3) == 0) return true;
  for (const char* p = name; *p; ++p)
    if (*p == sep || *p == '\n' || *p == '\r' || (alone && !WordChar(*p))) return true;
  return false;
}

// A line whose first separator would be one of these is no names line.
bool RefusedSeparator(char c) {
  return std::strchr(",\"\\{}()", c) != nullptr;
}

// The longest names line read. Far more than any schema of 128 fields the program holds can
// make (the catalogue's names are at most 63 bytes); the line grows only as its bytes arrive.
constexpr size_t kLineMax = size_t{1} << 20;

}  // namespace

void DBFieldID::Write(std::ostream* os, char sep) const {
  if (os == nullptr) return;
  std::ostringstream line;
  for (int i = 0; i < nfields; i++) {
    if (i > 0) line << sep;
    if (NeedsQuotes(mname[i], sep, nfields == 1))
      quoteString(&line, mname[i]);
    else
      line << mname[i];
  }
  line << '\n';
  const std::string text = line.str();
  os->write(text.data(), static_cast<std::streamsize>(text.size()));
}

int DBFieldID::Read(std::istream* is, char* sep) {
  PnoteChange();
  if (is == nullptr) return -1;
  Clear();
  std::string buf;
  std::streambuf* sb = is->rdbuf();
  bool overlong = false;
  while (is->good() && sb != nullptr) {
    const int c = sb->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      is->setstate(std::ios::eofbit);
      break;
    }
    if (c == '\n' || c == '\r') break;
    if (buf.size() >= kLineMax) {
      overlong = true;  // skip the rest of the line, then refuse it
      continue;
    }
    buf += static_cast<char>(c);
  }
  if (overlong) return -1;
  const size_t len = buf.size();
  // Text saved as "UTF-8 with a byte-order mark" begins with one; it is no part of a name.
  size_t i = 0;
  if (len >= 3 && buf.compare(0, 3, "\xEF\xBB\xBF") == 0) i = 3;

  char s = sep != nullptr ? *sep : '\0';
  // A names line with a tab is tab-separated, whatever other characters the names hold.
  if (s == '\0' && buf.find('\t') != std::string::npos) s = '\t';
  // Whether c may end a name: the separator, or, while it is unknown, the first character that
  // is no word character (which then becomes the separator).
  const auto ends = [&](char c) { return s != '\0' ? c == s : !WordChar(c); };
  std::vector<std::string> names;
  while (i < len) {
    std::string cur;
    // A column that opens with a double quote and closes with one right before a separator
    // or the line's end is a quoted name.
    size_t k = i + 1;
    bool quoted = false;
    if (buf[i] == '"') {
      for (; k < len && buf[k] != '"'; k++) {
        char c = buf[k];
        if (c == '\\' && ++k < len) {
          c = buf[k];
          c = c == 'r' ? '\r' : c == 't' ? '\t' : c == 'n' ? '\n' : c;
        } else if (c == '\\') {
          break;
        }
        cur += c;
      }
      quoted = k < len && buf[k] == '"' && (k + 1 == len || ends(buf[k + 1]));
    }
    if (quoted) {
      i = k + 1;
    } else {
      cur.clear();
      for (; i < len && !ends(buf[i]); i++) cur += buf[i];
    }
    if (i < len) {
      // buf[i] ends the name.
      if (s == '\0') {
        if (RefusedSeparator(buf[i])) return -1;
        s = buf[i];
      }
      i++;
    }
    if (!cur.empty()) names.push_back(cur);
  }
  if (sep != nullptr) *sep = s;
  for (const std::string& n : names)
    if (NewField(n.c_str()) < 0) return -1;
  return nfields;
}

// ---- DBFieldSort ----------------------------------------------------------------------------

void DBFieldSort::Clear() {
  for (int& e : order) e = 0;
}

int DBFieldSort::GetSort(int k, bool* descending) const {
  if (k < 0 || k > 14 || order[k] == 0) return -1;
  if (descending != nullptr) *descending = order[k] < 0;
  return (order[k] < 0 ? -order[k] : order[k]) - 1;
}

bool DBFieldSort::AddSort(int id, bool descending) {
  if (id < 0 || id == INT_MAX) return false;
  int k = 0;
  for (; k < 15 && order[k] != 0; k++)
    if (order[k] == id + 1 || order[k] == -(id + 1)) return false;
  if (k >= 15) return false;
  order[k] = descending ? -(id + 1) : id + 1;
  order[k + 1] = 0;
  return true;
}

bool DBFieldSort::PushSort(int id, bool descending) {
  if (id < 0 || id == INT_MAX) return false;
  int found = -1, zero = -1;
  for (int k = 0; k < 15; k++) {
    if (order[k] == 0) {
      zero = k;
      break;
    }
    if (order[k] == id + 1 || order[k] == -(id + 1)) {
      found = k;
      break;
    }
  }
  if (found >= 0) {
    std::memmove(order + 1, order, sizeof(order[0]) * found);
  } else if (zero >= 0) {
    std::memmove(order + 1, order, sizeof(order[0]) * (zero + 1));
  } else {
    std::memmove(order + 1, order, sizeof(order[0]) * 14);
    order[15] = 0;
  }
  order[0] = descending ? -(id + 1) : id + 1;
  return true;
}

// ---- DBFieldInfo ----------------------------------------------------------------------------

DBFieldInfo::DBFieldInfo() {
  std::memset(static_cast<void*>(details), 0, sizeof(details));
}

DBFieldInfo::DBFieldInfo(const DBFieldInfo& src) : DBFieldInfo() {
  *this = src;
}

DBFieldInfo::~DBFieldInfo() = default;

DBFieldInfo& DBFieldInfo::operator=(const DBFieldInfo& src) {
  PnoteChange();
  if (this == &src) return *this;
  DBFieldID::operator=(src);
  std::memcpy(static_cast<void*>(details), src.details, sizeof(details));
  sord = src.sord;
  return *this;
}

void DBFieldInfo::Clear() {
  PnoteChange();
  sord.Clear();
  DBFieldID::Clear();
  std::memset(static_cast<void*>(details), 0, sizeof(details));
}

int DBFieldInfo::InfoSize() const {
  return 18532;
}

int DBFieldInfo::Field(const char* name, const DBFDetails* det) {
  PnoteChange();
  if (det == nullptr) return -1;
  const int id = DBFieldID::Field(name);
  if (id < 0) return -1;
  details[id] = *det;
  return id;
}

static DBFormatFunc standardFormat(DBDataType type, int flags) {
  if (flags & DBFDmulti) return DBformatArray;
  switch (type) {
    case DBDTunknown:
      return DBformatUnknown;
    case DBDTint:
      return DBformatInteger;
    case DBDTfloat:
      return DBformatFloat;
    case DBDTstring:
      return DBformatString;
    default:
      return nullptr;
  }
}

int DBFieldInfo::Field(const char* name, DBDataType type, const char* description, int flags,
                       DBFormatFunc formatter) {
  PnoteChange();
  int id = GetID(name);
  if (id < 0) {
    id = NewField(name);
    if (id < 0) return -1;
    std::memset(static_cast<void*>(&details[id]), 0, sizeof(details[id]));
  }
  DBFDetails& d = details[id];
  DBFormatFunc fmt = formatter;
  if (fmt == nullptr) {
    if (d.dtype == type && ((d.flags ^ flags) & DBFDmulti) == 0 && d.DisplayFormat != nullptr)
      fmt = d.DisplayFormat;
    else
      fmt = standardFormat(type, flags);
  }
  d.dtype = type;
  const char* text = description != nullptr ? description : mname[id];
  size_t n = std::strlen(text);
  if (n > sizeof(d.descrip) - 1) n = sizeof(d.descrip) - 1;
  std::memcpy(d.descrip, text, n);
  d.descrip[n] = '\0';
  d.DisplayFormat = fmt;
  d.flags = flags & DBFDkeep;
  return id;
}

void DBFieldInfo::CopyFormat(const DBFieldInfo* other) {
  PnoteChange();
  if (other == nullptr || other->nfields == 0) return;
  int map[DB_MAXFIELDS];
  MapIDs(map, other);
  for (int j = other->nfields; j-- > 0;) {
    const int t = map[j];
    if (t >= 0 && details[t].dtype == other->details[j].dtype)
      details[t].DisplayFormat = other->details[j].DisplayFormat;
  }
}
