// Records: shared field arrays, binding to schemas, setting fields, copying across schemas,
// ordering, equality and the field-wise intersection and union.
#include <cstring>
#include <new>
#include <utility>

#include "db/dbrecord.h"
#include "db/dbfieldpriv.h"
#include "support/dmessage.h"
#include "support/pchange.h"

// ---- DBRLink --------------------------------------------------------------------------------

DBRLink::DBRLink(int n) : field(nullptr), nfields(0), ncap(0), readonly(0), nlinks(1), ihash(-2) {
  Init(n);
}

void DBRLink::Init(int n) {
  PnoteChange();
  if (readonly >= 0) delete[] field;
  field = nullptr;
  nfields = 0;
  ncap = 0;
  readonly = 0;
  ihash = -2;
  if (n > DB_MAXFIELDS) {
    DMASSERT(n <= DB_MAXFIELDS);
    n = DB_MAXFIELDS;
  }
  if (n > 0) {
    field = new (std::nothrow) DBField[n];
    if (field == nullptr) {
      DMESSAGE(DMCmemory, "Out of memory for %d record fields", n);
      return;
    }
    nfields = ncap = static_cast<int16_t>(n);
  }
}

void DBRLink::Reset() {
  PnoteChange();
  if (readonly != 0) return;
  for (int i = 0; i < nfields; i++) field[i].Clear();
  nfields = 0;
  ihash = -2;
}

void DBRLink::GrowTo(int n) {
  PnoteChange();
  if (readonly != 0 || nfields >= n) return;
  if (n > DB_MAXFIELDS) n = DB_MAXFIELDS;
  // A hash taken over fewer fields missed unset keys among the new ones: it is taken again.
  ihash = -2;
  if (n <= ncap) {  // the fields beyond nfields are unset already
    nfields = static_cast<int16_t>(n);
    return;
  }
  DBField* nf = new (std::nothrow) DBField[n];
  if (nf == nullptr) {
    DMESSAGE(DMCmemory, "Out of memory for %d record fields", n);
    return;
  }
  for (int i = 0; i < nfields; i++) nf[i] = std::move(field[i]);
  delete[] field;
  field = nf;
  nfields = ncap = static_cast<int16_t>(n);
}

// ---- binding and sharing --------------------------------------------------------------------

void DBRecord::Free() {
  PnoteChange();
  if (l != nullptr && --l->nlinks <= 0) delete l;
  l = nullptr;
}

const DBFieldInfo* DBRecord::Init(const DBFieldInfo* schema, bool lock) {
  PnoteChange();
  if (schema == nullptr) {
    Free();
    Empty();
    return nullptr;
  }
  if (l != nullptr && l->nlinks == 1 && l->readonly == 0) {
    // No one else sees this array: it is emptied and kept, so that records built one after
    // another in the same place allocate their fields once.
    l->Reset();
  } else {
    Free();
    l = new (std::nothrow) DBRLink(0);
    if (l == nullptr) DMESSAGE(DMCmemory, "Out of memory for a record");
  }
  if (!(fieldlock && finfo != nullptr && !lock)) {
    finfo = schema;
    fieldlock = lock;
    sortord = nullptr;
  }
  if (finfo->nfields > 0) sortord = &finfo->sord;
  return finfo;
}

int DBRecord::IsLinked(const DBRecord* other) const {
  if (l == nullptr) return 0;
  if (other == this) return 1;
  if (other != nullptr && other->l != l) return 0;
  return l->nlinks - 1;
}

int DBRecord::Link(DBRecord* other) {
  PnoteChange();
  if (other == nullptr) return 0;
  if (other == this) return 1;
  DBRLink* link = other->l;
  if (link != nullptr) link->nlinks++;  // before Free, in case this record holds the last share
  Free();
  finfo = other->finfo;
  sortord = (finfo != nullptr && finfo->nfields > 0) ? &finfo->sord : nullptr;
  l = link;
  return l != nullptr ? 1 : 0;
}

int DBRecord::Take(DBRecord* other) {
  PnoteChange();
  if (other == nullptr) return 0;
  if (other == this) return 1;
  Free();
  l = other->l;
  finfo = other->finfo;
  fieldlock = other->fieldlock;
  sortord = other->sortord;
  other->Empty();
  return l != nullptr ? 1 : 0;
}

DBRecord& DBRecord::operator=(const DBRecord& src) {
  PnoteChange();
  if (this == &src) return *this;
  DBRLink* keep = src.l;  // src may share this record's array
  if (keep != nullptr) keep->nlinks++;
  Free();
  if (src.finfo == nullptr) {
    Empty();
  } else {
    if (!(fieldlock && finfo != nullptr)) {
      finfo = src.finfo;
      fieldlock = false;
    }
    sortord = finfo->nfields > 0 ? &finfo->sord : nullptr;
    l = new (std::nothrow) DBRLink(0);
    if (l == nullptr) DMESSAGE(DMCmemory, "Out of memory for a record");
    const int nsrc = src.GetNAlloc();
    if (l != nullptr && src.GetNAssigned() > 0) {
      l->GrowTo(finfo->nfields);
      if (finfo == src.finfo) {
        for (int j = 0; j < nsrc && j < l->nfields; j++)
          if (src.l->field[j].nv != 0) l->field[j] = src.l->field[j];
      } else {
        int map[DB_MAXFIELDS];
        finfo->MapIDs(map, src.finfo);
        for (int j = 0; j < nsrc; j++) {
          const DBField& f = src.l->field[j];
          const int t = map[j];
          if (f.nv == 0 || t < 0 || t >= l->nfields) continue;
          const DBFDetails& d = finfo->details[t];
          if (d.dtype != DBDTunknown && d.dtype != f.dt) continue;
          if (!(d.flags & DBFDmulti) && f.nv > 1)
            f.Get(&l->field[t], 0);
          else
            l->field[t] = f;
        }
      }
    }
  }
  if (keep != nullptr && --keep->nlinks <= 0) delete keep;
  return *this;
}

// ---- fields ---------------------------------------------------------------------------------

int DBRecord::GetNFields() const {
  return finfo != nullptr ? finfo->nfields : 0;
}

int DBRecord::GetNAlloc() const {
  if (l == nullptr) return 0;
  const int n = GetNFields();
  return l->nfields < n ? l->nfields : n;
}

int DBRecord::GetNAssigned() const {
  const int n = GetNAlloc();
  int count = 0;
  for (int i = 0; i < n; i++) count += l->field[i].nv != 0;
  return count;
}

const char* DBRecord::GetFieldName(int id) const {
  return finfo != nullptr ? finfo->GetName(id) : nullptr;
}

const DBFDetails* DBRecord::GetFieldDetails(int id) const {
  return finfo != nullptr ? finfo->GetDetails(id) : nullptr;
}

const DBField* DBRecord::GetField(int id) const {
  if (id < 0 || id >= GetNAlloc() || l->field[id].nv == 0) return nullptr;
  return &l->field[id];
}

const DBField& DBRecord::operator[](int id) const {
  static const DBField kUnset;
  if (l == nullptr || id < 0 || id >= l->nfields) return kUnset;
  return l->field[id];
}

char* DBRecord::FormatField(int id, char* buf, int len) const {
  const DBField* f = GetField(id);
  const DBFDetails* d = GetFieldDetails(id);
  if (f == nullptr || d == nullptr) return nullptr;
  if (d->DisplayFormat != nullptr) return d->DisplayFormat(buf, len, *f);
  return f->GetNV() == 1 ? DBformatUnknown(buf, len, *f) : DBformatArray(buf, len, *f);
}

static bool isHashKey(const DBFieldInfo* fi, int id) {
  return fi != nullptr && id >= 0 && id < fi->nfields && (fi->details[id].flags & DBFDhashkey);
}

void DBRecord::Clear() {
  PnoteChange();
  if (!ReadOnly()) l->Init(0);
}

void DBRecord::ClearField(int id) {
  PnoteChange();
  if (ReadOnly() || id < 0 || id >= l->nfields) return;
  l->field[id].Clear();
  if (isHashKey(finfo, id)) l->ihash = -1;
}

int DBRecord::PrepField(int id, DBDataType type, int n) {
  PnoteChange();
  if (ReadOnly() || finfo == nullptr || id < 0 || id >= finfo->nfields) return 0;
  if (id < l->nfields) l->field[id].Clear();
  const DBFDetails& d = finfo->details[id];
  if (d.flags & DBFDhashkey) l->ihash = -2;
  if (type == DBDTunknown) return 0;
  if (d.dtype != DBDTunknown && d.dtype != type) return 0;
  if (n > 1 && !(d.flags & DBFDmulti)) return 0;
  if (id >= l->nfields) l->GrowTo(finfo->nfields);
  return (n > 0 && id < l->nfields) ? 1 : 0;
}

// The setters build the new value before PrepField clears the field (and may move the field
// array as it grows): the source may be, or point into, this record's own values.

int DBRecord::SetField(int id, const DBField& val) {
  PnoteChange();
  DBField v(val);
  if (!PrepField(id, v.GetDT(), v.GetNV())) return 0;
  l->field[id] = std::move(v);
  return l->field[id].nv != 0;
}

int DBRecord::SetField(int id, long i) {
  PnoteChange();
  if (!PrepField(id, DBDTint, 1)) return 0;
  l->field[id].Set(i);
  return 1;
}

int DBRecord::SetField(int id, float f) {
  PnoteChange();
  if (!PrepField(id, DBDTfloat, 1)) return 0;
  l->field[id].Set(f);
  return 1;
}

int DBRecord::SetField(int id, double f) {
  PnoteChange();
  return SetField(id, dbpriv::toFloat(f));
}

int DBRecord::SetField(int id, const char* s) {
  PnoteChange();
  if (s == nullptr) {
    ClearField(id);
    return 0;
  }
  DBField v;
  v.Set(s);
  if (!PrepField(id, DBDTstring, 1)) return 0;
  l->field[id] = std::move(v);
  return 1;
}

namespace {

template <class T>
int setArray(DBRecord& r, int id, DBDataType type, const T* p, int n) {
  if (p == nullptr || n <= 0) {
    r.ClearField(id);
    return 0;
  }
  DBField v;
  v.Set(p, n);
  if (!r.PrepField(id, type, n)) return 0;
  r.l->field[id] = std::move(v);
  return r.l->field[id].nv != 0;
}

}  // namespace

int DBRecord::SetField(int id, const long* p, int n) {
  PnoteChange();
  return setArray(*this, id, DBDTint, p, n);
}

int DBRecord::SetField(int id, const float* p, int n) {
  PnoteChange();
  return setArray(*this, id, DBDTfloat, p, n);
}

int DBRecord::SetField(int id, const char* const* p, int n) {
  PnoteChange();
  return setArray(*this, id, DBDTstring, p, n);
}

int DBRecord::SetField(int id, const DBRecord& src) {
  PnoteChange();
  if (src.finfo == nullptr || finfo == nullptr) return 0;
  const int sid = src.finfo->XlateID(finfo, id);
  const DBField* f = sid >= 0 ? src.GetField(sid) : nullptr;
  if (f == nullptr) {
    ClearField(id);
    return 0;
  }
  return SetField(id, *f);
}

int DBRecord::SetText(int id, const char* text, char sep) {
  PnoteChange();
  if (text == nullptr || *text == '\0') {
    ClearField(id);
    return 0;
  }
  DBField v;
  const int n = v.SetText(text, sep);
  if (!PrepField(id, DBDTstring, 2)) return 0;
  l->field[id] = std::move(v);
  return n;
}

int DBRecord::FillFrom(const DBRecord& src) {
  PnoteChange();
  if (ReadOnly() || finfo == nullptr) return -1;
  if (src.finfo == nullptr) return 0;
  l->GrowTo(finfo->nfields);
  int count = 0;
  for (int id = 0; id < l->nfields && id < finfo->nfields; id++) {
    if (l->field[id].nv != 0) continue;
    const int sid = src.finfo->XlateID(finfo, id);
    const DBField* f = sid >= 0 ? src.GetField(sid) : nullptr;
    if (f == nullptr) continue;
    if (!PrepField(id, f->GetDT(), f->GetNV())) continue;
    l->field[id] = *f;
    count++;
  }
  return count;
}

long DBRecord::HashIndex() const {
  if (l == nullptr) return -1;
  if (l->ihash == -2) return ComputeHashIndex();
  return l->ihash;
}

// ---- comparison -----------------------------------------------------------------------------

int DBRecord::Compare(const DBRecord& other) const {
  if (other.finfo == nullptr) return finfo != nullptr ? 1 : 0;
  if (finfo == nullptr) return -1;
  if (sortord == nullptr) return 0;
  for (int k = 0; k < 15; k++) {
    const int e = sortord->order[k];
    if (e == 0) break;
    const int id = (e < 0 ? -e : e) - 1;
    if (id >= finfo->nfields) continue;
    const DBField* a = GetField(id);
    const DBField* b = nullptr;
    const char* name = finfo->mname[id];
    const int oid = (id < other.finfo->nfields && other.finfo->mname[id] == name)
                        ? id
                        : other.finfo->GetID(name);
    if (oid >= 0) b = other.GetField(oid);
    if (a == nullptr && b == nullptr) continue;
    int r;
    if (a == nullptr)
      r = -1;
    else if (b == nullptr)
      r = 1;
    else
      r = a->Compare(*b);
    if (r != 0) {
      r = r > 0 ? 1 : -1;
      return e < 0 ? -r : r;
    }
  }
  return 0;
}

int DBrecordCmp(const void* a, const void* b) {
  return static_cast<const DBRecord*>(a)->Compare(*static_cast<const DBRecord*>(b));
}

bool DBRecord::operator==(const DBRecord& other) const {
  if (this == &other || l == other.l) return true;
  const int na = GetNAlloc();
  const int no = other.GetNAlloc();
  if (na == 0) return no == 0;
  if (no == 0) return false;
  if (HashIndex() != other.HashIndex()) return false;
  int nset = 0;
  for (int j = 0; j < no; j++) {
    const DBField& of = other.l->field[j];
    if (of.nv == 0) continue;
    nset++;
    const int id = finfo->XlateID(other.finfo, j);
    if (id < 0 || id >= na) return false;
    if (!(l->field[id] == of)) return false;
  }
  return nset == GetNAssigned();
}

DBRecord& DBRecord::operator&=(const DBRecord& other) {
  PnoteChange();
  if (other.GetNAlloc() == 0) return *this;
  if (GetNAlloc() == 0) return *this = other;
  if (ReadOnly()) return *this;
  l->GrowTo(finfo->nfields);
  for (int id = 0; id < l->nfields && id < finfo->nfields; id++) {
    DBField& f = l->field[id];
    if (f.nv == 0) continue;
    const int oid = other.finfo->XlateID(finfo, id);
    if (oid < 0) continue;
    const DBField& of = other[oid];
    const DBFDetails& d = finfo->details[id];
    const int want = d.dtype != DBDTunknown ? static_cast<int>(d.dtype) : f.dt;
    if (of.nv == 0 || of.dt != want) continue;
    if (d.flags & DBFDmulti) {
      f &= of;
      if (d.flags & DBFDhashkey) l->ihash = -2;
    } else if (!(f == of)) {
      f.Clear();
      if (d.flags & DBFDhashkey) l->ihash = -1;
    }
  }
  return *this;
}

DBRecord& DBRecord::operator|=(const DBRecord& other) {
  PnoteChange();
  if (other.GetNAlloc() == 0) return *this;
  if (GetNAlloc() == 0) return *this = other;
  if (ReadOnly()) return *this;
  l->GrowTo(finfo->nfields);
  for (int id = 0; id < l->nfields && id < finfo->nfields; id++) {
    DBField& f = l->field[id];
    const int oid = other.finfo->XlateID(finfo, id);
    if (oid < 0) continue;
    const DBField& of = other[oid];
    const DBFDetails& d = finfo->details[id];
    const int want =
        d.dtype != DBDTunknown ? static_cast<int>(d.dtype) : (f.nv != 0 ? f.dt : of.dt);
    if (of.nv == 0 || of.dt != want) continue;
    if (f.nv == 0) {
      if (PrepField(id, of.GetDT(), of.GetNV())) f = of;
    } else if (d.flags & DBFDmulti) {
      f |= of;
      if (d.flags & DBFDhashkey) l->ihash = -2;
    }
  }
  return *this;
}

int dbpriv::storablePrefix(const DBRecord* recs, int n) {
  for (int i = 0; i < n; i++) {
    const DBRecord& r = recs[i];
    const int nf = r.GetNAlloc();
    for (int j = 0; j < nf; j++) {
      const DBField& f = r.l->field[j];
      if (f.nv <= DB_MAXARRAY || f.dt != DBDTstring) continue;
      const char* name = r.finfo != nullptr ? r.finfo->GetName(j) : nullptr;
      DMESSAGE(DMCdata, "Field %s holds %d strings; a record can store at most %d",
               name != nullptr ? name : "?", f.GetNV(), DB_MAXARRAY);
      return i;
    }
  }
  return n;
}
