// The database header block: attach, check, defaults and writing back when changed.
#include "db/dbheader.h"

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "support/dmessage.h"
#include "support/pchange.h"
#include "support/pstrings.h"

namespace {

const char kMagic[] = "QRDB = {\n";
const char kClosing[] = "}\t// QRDB\n";
const char* const kTypeName[4] = {"unknown", "int", "float", "string"};
constexpr int kFieldInfoBudget = 18532;
constexpr int kMaxName = 63;  // longest field name or description the header reader takes
// Largest HeaderSize accepted from a file: far above any header's text budget, it keeps a
// damaged number from placing the blocks gigabytes into the file.
constexpr int kMaxHeaderSize = 1 << 24;

int HostBigEndian() {
  const uint16_t one = 1;
  unsigned char b;
  memcpy(&b, &one, 1);
  return b == 0 ? 1 : 0;
}

const char* TypeName(int dt) {
  return dt >= 0 && dt < 4 ? kTypeName[dt] : kTypeName[0];
}

// Length of the schema line that the FieldInfo writer produces for one field at level 1.
size_t FieldLineLength(const char* name, int flags, int dtype, const char* descr) {
  char num[16];
  snprintf(num, sizeof(num), "%d", flags);
  // \t"name",\tflags,\ttype,\t"descr"\n
  return 1 + 1 + strlen(name) + 3 + strlen(num) + 2 + strlen(TypeName(dtype)) + 3 + strlen(descr) +
         2;
}

bool ReadableText(const char* s) {
  return s != nullptr && *s != '\0' && strlen(s) <= static_cast<size_t>(kMaxName) &&
         strpbrk(s, "\"\n\r") == nullptr;
}

// Stream helpers reading characters through the buffer, flagging end of input.
int Peek(std::istream* is) {
  int c = is->good() ? is->rdbuf()->sgetc() : EOF;
  if (c == EOF) is->setstate(std::ios::eofbit);
  return c;
}
int Get(std::istream* is) {
  int c = is->good() ? is->rdbuf()->sbumpc() : EOF;
  if (c == EOF) is->setstate(std::ios::eofbit);
  return c;
}
// Drops up to limit characters, through delim; false when the input ran out first.
bool Ignore(std::istream* is, int limit, int delim) {
  for (int i = 0; i < limit; i++) {
    int c = Get(is);
    if (c == EOF) return false;
    if (c == delim) return true;
  }
  return true;
}
// Reads at most limit-1 characters, stopping before delim.
std::string GetUntil(std::istream* is, int limit, int delim) {
  std::string s;
  while (static_cast<int>(s.size()) < limit - 1) {
    int c = Peek(is);
    if (c == EOF || c == delim) break;
    s.push_back(static_cast<char>(Get(is)));
  }
  return s;
}
bool ReadInt(std::istream* is, int* v) {
  int c = Peek(is);
  while (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
    Get(is);
    c = Peek(is);
  }
  bool neg = false;
  if (c == '+' || c == '-') {
    neg = c == '-';
    Get(is);
    c = Peek(is);
  }
  if (c < '0' || c > '9') return false;
  long long x = 0;
  while (c >= '0' && c <= '9') {
    x = x * 10 + (c - '0');
    if (x > 2147483648LL) return false;
    Get(is);
    c = Peek(is);
  }
  if (neg) x = -x;
  if (x > 2147483647LL) return false;
  *v = static_cast<int>(x);
  return true;
}

int FailInfo(const char* reason) {
  DMESSAGE(DMCdata, "%s in DBFieldInfo::ReadInfo", reason);
  return -1;
}

}  // namespace

const int DBHeader::bigendian = HostBigEndian();

int DBReadFieldInfoBlock(DBFieldInfo* schema, std::istream* is) {
  if (schema == nullptr || is == nullptr) return -1;
  schema->Clear();
  int order[16] = {0};
  DBHeaderLink sortvar("SortOrder", order, 16, nullptr);
  if (sortvar.ScanVar(is) == nullptr) return FailInfo("Expected sort order");
  for (;;) {
    int c = Peek(is);
    if (c == EOF) return FailInfo("Unexpected EOF");
    if (c == '}') {
      Ignore(is, 1 << 30, '\n');
      break;
    }
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
      Get(is);
      continue;
    }
    if (c == '/' || c == '#') {
      Ignore(is, 1 << 30, '\n');
      continue;
    }
    if (c != '"') return FailInfo("Expected quote for field name");
    Get(is);
    std::string name = GetUntil(is, kMaxName + 1, '"');
    if (name.empty()) return FailInfo("Missing field name");
    Ignore(is, 2, EOF);
    if (schema->GetID(name.c_str()) >= 0) return FailInfo("Duplicate field");
    int flags = 0;
    if (!ReadInt(is, &flags)) return FailInfo("Missing flags");
    Get(is);
    int c2 = Peek(is);
    while (c2 == ' ' || c2 == '\t' || c2 == '\n' || c2 == '\r' || c2 == '\v' || c2 == '\f') {
      Get(is);
      c2 = Peek(is);
    }
    std::string tname = GetUntil(is, 64, ',');
    if (tname.empty()) return FailInfo("Missing data type");
    int dtype = -1;
    for (int t = 0; t < 4; t++)
      if (tname == kTypeName[t]) dtype = t;
    if (dtype < 0) return FailInfo("Unrecognized data type");
    if (!Ignore(is, 7, '"')) return FailInfo("Expected quote for field description");
    std::string descr = GetUntil(is, kMaxName + 1, '"');
    if (descr.empty()) return FailInfo("Cannot read field description");
    if (!Ignore(is, 7, '\n')) return FailInfo("Syntax error after description");
    if (schema->DBFieldInfo::Field(name.c_str(), static_cast<DBDataType>(dtype), descr.c_str(),
                                   flags, nullptr) < 0)
      return FailInfo("Field definition failed");
  }
  // The sort order: keys must name fields of the schema, once each, at most 15 of them,
  // ended by 0. A key that breaks this ends the order there.
  int n = schema->GetNFields();
  schema->sord.Clear();
  for (int k = 0; k < 15 && order[k] != 0; k++) {
    int id = (order[k] < 0 ? -order[k] : order[k]) - 1;
    if (order[k] == INT32_MIN || id >= n || !schema->sord.AddSort(id, order[k] < 0)) break;
  }
  // A schema without fields is still a schema read: 0 items is no failure.
  return n;
}

int DBWriteFieldInfoBlock(const DBFieldInfo* schema, std::ostream* os, int level) {
  if (schema == nullptr || os == nullptr) return -1;
  for (int i = 0; i < level; i++) os->put('\t');
  *os << "SortOrder =";
  for (int k = 0; k < 15; k++) {
    bool desc = false;
    int id = schema->sord.GetSort(k, &desc);
    if (id < 0) break;
    *os << ' ' << (desc ? -(id + 1) : id + 1);
  }
  *os << " 0\n";
  int n = schema->GetNFields();
  for (int i = 0; i < n; i++) {
    const DBFDetails* d = schema->GetDetails(i);
    const char* name = schema->GetName(i);
    for (int t = 0; t < level; t++) os->put('\t');
    *os << '"' << (name ? name : "") << "\",\t" << (d ? d->flags : 0) << ",\t"
        << TypeName(d ? static_cast<int>(d->dtype) : 0) << ",\t\"";
    // A reader stops at an empty description: the name stands in for it.
    if (d != nullptr && d->descrip[0] != '\0')
      *os << d->descrip;
    else
      *os << (name ? name : "");
    *os << "\"\n";
  }
  return os->bad() ? -1 : n;
}

int DBFieldInfo::WriteInfo(std::ostream* os, int level) const {
  return DBWriteFieldInfoBlock(this, os, level);
}

int DBFieldInfo::ReadInfo(std::istream* is) {
  PnoteChange();
  return DBReadFieldInfoBlock(this, is);
}

int DBHReadFieldInfo(void* o, std::istream* is) {
  return DBReadFieldInfoBlock(static_cast<DBFieldInfo*>(static_cast<DBHeader*>(o)), is);
}

int DBHWriteFieldInfo(void* o, std::ostream* os, int level) {
  return DBWriteFieldInfoBlock(static_cast<const DBFieldInfo*>(static_cast<DBHeader*>(o)), os,
                               level);
}

DBHeader::DBHeader()
    : hdrsiz(0),
      bigendfile(bigendian),
      fieldsize(8),
      fieldsperblock(8192),
      lastsync(-1),
      readonly(true),
      strm(nullptr),
      hvars(nullptr),
      basehead(nullptr) {
  soft[0] = '\0';
  hvars = new DBHeaderLink("Software", soft, sizeof(soft), hvars);
  hvars = new DBHeaderLink("FieldSize", &fieldsize, 1, hvars);
  hvars = new DBHeaderLink("FieldsPerBlock", &fieldsperblock, 1, hvars);
  hvars = new DBHeaderLink("BigEndian", &bigendfile, 1, hvars);
  hdrsiz = hvars->GetMaxLength();
  hvars = new DBHeaderLink("HeaderSize", &hdrsiz, 1, hvars);
  hvars = new DBHeaderLink("FieldInfo", this, DBHWriteFieldInfo, DBHReadFieldInfo, kFieldInfoBudget,
                           hvars);
  basehead = hvars;
}

DBHeader::~DBHeader() {
  // Only a header without variables of a subclass can be written from here; a subclass's
  // storage is already gone, and it syncs in its own destructor.
  if (hvars == basehead) Sync();
  delete hvars;
  hvars = nullptr;
}

int DBHeader::WriteInfo(std::ostream* os, int level) const {
  return hvars != nullptr ? hvars->WriteVars(os, level) : -1;
}

int DBHeader::InfoSize() const {
  return hvars != nullptr ? hvars->GetMaxLength() : 0;
}

int DBHeader::ReadInfo(std::istream* is) {
  if (hvars == nullptr) return -1;
  hvars->Clear();
  int n = hvars->ScanVars(is);
  if (n < 0) return n;
  if (CheckValues() != 1) return -1;
  return n;
}

int DBHeader::CheckValues() const {
  return fieldsize == 8 && fieldsperblock == 8192 ? 1 : 0;
}

void DBHeader::SetDefaults() {
  DBFieldInfo::Clear();
  for (DBHeaderLink* v = basehead; v != nullptr; v = v->Next()) v->nset = 0;
  hvars->SetVal(soft, "(unknown)");
  fieldsize = 8;
  hvars->SetVal(&fieldsize, 8);
  fieldsperblock = 8192;
  hvars->SetVal(&fieldsperblock, 8192);
  bigendfile = bigendian;
  hvars->SetVal(&bigendfile, bigendian);
  hdrsiz = 0;
  hvars->SetVal(&hdrsiz, InfoSize());
  basehead->nset = 1;  // the FieldInfo block is written even for an empty schema
}

int DBHeader::Hash() const {
  // The state serialised explicitly: names, details and sort order, then the numbers.
  std::string s;
  int n = GetNFields();
  for (int i = 0; i < n; i++) {
    const char* name = GetName(i);
    const DBFDetails* d = GetDetails(i);
    if (name) s.append(name);
    s.push_back('\0');
    if (d != nullptr) {
      int32_t v[2] = {static_cast<int32_t>(d->dtype), static_cast<int32_t>(d->flags)};
      s.append(reinterpret_cast<const char*>(v), sizeof(v));
      s.append(d->descrip, strnlen(d->descrip, sizeof(d->descrip)));
    }
    s.push_back('\0');
  }
  for (int k = 0; k < 15; k++) {
    bool desc = false;
    int32_t id = sord.GetSort(k, &desc);
    if (id < 0) break;
    id = desc ? -(id + 1) : id + 1;
    s.append(reinterpret_cast<const char*>(&id), sizeof(id));
  }
  int32_t nums[4] = {hdrsiz, bigendfile, fieldsize, fieldsperblock};
  s.append(reinterpret_cast<const char*>(nums), sizeof(nums));
  s.append(soft, strnlen(soft, sizeof(soft)));
  return static_cast<int>(memhash(s.data(), static_cast<int>(s.size()), 31));
}

void DBHeader::SetChangedFlag(bool changed) {
  lastsync = changed ? -1 : Hash();
}

bool DBHeader::CheckMagic() const {
  if (strm == nullptr) return false;
  strm->clear();
  strm->seekg(0);
  if (strm->fail()) return false;
  return MatchInput(strm, kMagic);
}

bool DBHeader::PutMagic() const {
  if (strm == nullptr) return false;
  strm->clear();
  strm->seekp(0);
  strm->write(kMagic, sizeof(kMagic) - 1);
  return !strm->fail();
}

int DBHeader::Attach(std::iostream* s, bool ro) {
  if (strm != nullptr) Sync();
  byStore = false;
  hvars->Clear();
  DBFieldInfo::Clear();
  strm = s;
  readonly = true;
  whyReadOnly.clear();
  if (s == nullptr) {
    hdrsiz = 0;
    return 0;
  }
  if (CheckMagic()) {
    hdrsiz = 0;
    int r = ReadInfo(s);
    if (r < 0) {
      hdrsiz = 0;
      return 0;
    }
    // The geometry must be usable: a HeaderSize that covers the text just read and a known
    // byte order.
    std::streamoff end = s->tellg();
    s->clear();
    const DBHeaderLink* hs = hvars->GetVar("HeaderSize");
    const DBHeaderLink* be = hvars->GetVar("BigEndian");
    if (hs == nullptr || hs->NSet() < 1 || hdrsiz < 1 || hdrsiz > kMaxHeaderSize ||
        (end > 0 && end > hdrsiz) || be == nullptr || be->NSet() < 1 ||
        (bigendfile != 0 && bigendfile != 1)) {
      DMESSAGE(DMCdata, "Bad HeaderSize or BigEndian in DB header");
      hdrsiz = 0;
      return 0;
    }
    const bool asked = ro;
    if (!CheckText(static_cast<long long>(end), &ro)) {
      hdrsiz = 0;
      return 0;
    }
    lastsync = Hash();
    readonly = ro;
    if (ro && !asked) whyReadOnly = "its header's padding holds bytes other than line feeds";
    return hdrsiz;
  }
  s->clear();
  std::streamoff pos = s->tellg();
  if (pos != 0 || ro) {  // not a database, or nothing to read
    hdrsiz = 0;
    return 0;
  }
  SetDefaults();
  readonly = false;
  lastsync = -1;
  return hdrsiz;
}

int DBHeader::AttachCopy(const std::string& bytes, std::iostream* s) {
  std::stringstream copy(bytes, std::ios::in | std::ios::out | std::ios::binary);
  int r = Attach(&copy, true);
  strm = s;
  readonly = true;
  return r;
}

bool DBHeader::CheckText(long long end, bool* ro) const {
  if (end <= 0) return true;
  std::string head(static_cast<size_t>(hdrsiz), '\0');
  strm->clear();
  strm->seekg(0);
  strm->read(&head[0], hdrsiz);
  head.resize(static_cast<size_t>(strm->gcount()));
  strm->clear();
  // A NUL ends the text a value is read from, so bytes after it would pass unseen.
  size_t n = std::min(head.size(), static_cast<size_t>(end));
  const void* nul = memchr(head.data(), 0, n);
  if (nul != nullptr) {
    DMESSAGE(DMCdata, "Syntax error in DB header: NUL byte at offset %ld",
             static_cast<long>(static_cast<const char*>(nul) - head.data()));
    return false;
  }
  // Only line feeds pad the text up to HeaderSize: anything else (a block among them, say)
  // means HeaderSize or the text is damaged, and the file is not written to.
  for (size_t p = n; p < head.size(); p++) {
    if (head[p] != '\n') {
      DMESSAGE(DMCdata,
               "DB header padding holds a byte other than a line feed at offset %ld: opened "
               "read-only",
               static_cast<long>(p));
      *ro = true;
      break;
    }
  }
  return true;
}

bool DBHeader::ComposeText(std::string* text) const {
  std::ostringstream os;
  os << kMagic;
  if (WriteInfo(&os, 0) < 0) return false;
  os << kClosing;
  *text = os.str();
  return true;
}

bool DBHeader::Sync() const {
  std::string text;
  if (!SyncText(&text)) return false;
  if (text.empty() || byStore) return text.empty();
  strm->clear();
  strm->seekp(0);
  strm->write(text.data(), static_cast<std::streamsize>(text.size()));
  strm->flush();
  if (strm->fail()) {
    DMESSAGE(DMCsystem, "Database header write error");
    strm->clear();
    return false;
  }
  lastsync = Hash();
  return true;
}

bool DBHeader::SyncText(std::string* out) const {
  out->clear();
  if (strm == nullptr || hdrsiz < 1) return false;
  if (Hash() == lastsync) return true;
  if (readonly) return false;
  // A schema the reader could not read back (made behind the guards of Field and Rename,
  // for instance from a names line) is not written: the file keeps its readable header.
  for (int i = 0; i < GetNFields(); i++) {
    const DBFDetails* d = GetDetails(i);
    if (!ReadableText(GetName(i)) ||
        (d->descrip[0] != '\0' && strpbrk(d->descrip, "\"\n\r") != nullptr)) {
      DMESSAGE(DMCparameter, "Field name cannot be stored in DB header");
      return false;
    }
  }
  // The text is composed in memory and written only when it fits: the bytes after
  // HeaderSize belong to block 0.
  std::string text;
  if (!ComposeText(&text)) {
    DMESSAGE(DMCsystem, "Database header write error");
    return false;
  }
  if (text.size() > static_cast<size_t>(hdrsiz)) {
    DMESSAGE(DMCparameter, "Database header overflowed");
    return false;
  }
  text.append(static_cast<size_t>(hdrsiz) - text.size(), '\n');
  out->swap(text);
  return true;
}

int DBHeader::Field(const char* name, DBDataType type, const char* description, int flags,
                    DBFormatFunc formatter) {
  if (!ReadableText(name)) {
    DMESSAGE(DMCparameter, "Field name cannot be stored in DB header");
    return -1;
  }
  if (description != nullptr && *description == '\0') description = nullptr;
  if (description != nullptr && strpbrk(description, "\"\n\r") != nullptr) {
    DMESSAGE(DMCparameter, "Field description cannot be stored in DB header");
    return -1;
  }
  if (strm != nullptr && hdrsiz > 0) {
    std::string text;
    if (!ComposeText(&text)) return -1;
    char descr[kMaxName + 1];
    snprintf(descr, sizeof(descr), "%s", description != nullptr ? description : name);
    size_t grow = FieldLineLength(name, flags & 0x3F01, type, descr);
    int id = GetID(name);
    if (id >= 0) {
      const DBFDetails* d = GetDetails(id);
      size_t old = FieldLineLength(GetName(id), d->flags, d->dtype, d->descrip);
      grow = grow > old ? grow - old : 0;
    }
    if (text.size() + grow > static_cast<size_t>(hdrsiz)) {
      DMESSAGE(DMCparameter, "Database header overflowed");
      return -1;
    }
  }
  return DBFieldInfo::Field(name, type, description, flags, formatter);
}

bool DBHeader::Rename(int id, const char* name) {
  if (!ReadableText(name)) {
    DMESSAGE(DMCparameter, "Field name cannot be stored in DB header");
    return false;
  }
  const char* old = GetName(id);
  if (old == nullptr) return false;
  if (strm != nullptr && hdrsiz > 0 && strlen(name) > strlen(old)) {
    std::string text;
    if (!ComposeText(&text)) return false;
    if (text.size() + strlen(name) - strlen(old) > static_cast<size_t>(hdrsiz)) {
      DMESSAGE(DMCparameter, "Database header overflowed");
      return false;
    }
  }
  return DBFieldInfo::Rename(id, name);
}
