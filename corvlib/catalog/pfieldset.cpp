// Typed access to photo fields under any record's schema.
#include "catalog/pfieldset.h"

namespace {

// The record's id of fid when the field may take values of type t.
int WritableID(const DBRecord* r, PDBFieldID fid, DBDataType t, int n) {
  if (r == nullptr || r->ReadOnly()) return -1;
  int id = PDBid(*r, fid);
  const DBFDetails* d = id >= 0 ? r->GetFieldDetails(id) : nullptr;
  if (d == nullptr) return -1;
  if (d->dtype != DBDTunknown && d->dtype != t) return -1;
  if (n > 1 && !(d->flags & DBFDmulti)) return -1;
  return id;
}

}  // namespace

int PDBid(const DBRecord& r, PDBFieldID fid) {
  const DBFieldInfo* s = r.GetFieldInfo();
  return s != nullptr ? s->XlateID(&PDBFInfo, fid) : -1;
}

bool PDBsetInt(DBRecord* r, PDBFieldID fid, long v) {
  int id = WritableID(r, fid, DBDTint, 1);
  return id >= 0 && r->SetField(id, v) != 0;
}

bool PDBsetFloat(DBRecord* r, PDBFieldID fid, double v) {
  int id = WritableID(r, fid, DBDTfloat, 1);
  return id >= 0 && r->SetField(id, static_cast<float>(v)) != 0;
}

bool PDBsetString(DBRecord* r, PDBFieldID fid, const char* s) {
  int id = s != nullptr ? WritableID(r, fid, DBDTstring, 1) : -1;
  return id >= 0 && r->SetField(id, s) != 0;
}

bool PDBsetInts(DBRecord* r, PDBFieldID fid, const long* v, int n) {
  int id = WritableID(r, fid, DBDTint, n);
  return id >= 0 && r->SetField(id, v, n) != 0;
}

bool PDBsetStrings(DBRecord* r, PDBFieldID fid, const char* const* s, int n) {
  int id = WritableID(r, fid, DBDTstring, n);
  if (id < 0) return false;
  if (n < 1) {
    r->ClearField(id);
    return true;
  }
  return r->SetField(id, s, n) != 0;
}

bool PDBgetInt(const DBRecord& r, PDBFieldID fid, long* v) {
  const DBField& f = PDBgetField(r, fid);
  if (f.GetDT() != DBDTint || f.GetNV() < 1) return false;
  if (v != nullptr) *v = f.GetInt(0);
  return true;
}

bool PDBgetFloat(const DBRecord& r, PDBFieldID fid, float* v) {
  const DBField& f = PDBgetField(r, fid);
  if (f.GetDT() != DBDTfloat || f.GetNV() < 1) return false;
  if (v != nullptr) *v = f.GetFloat(0);
  return true;
}

const char* PDBgetString(const DBRecord& r, PDBFieldID fid, int i) {
  const DBField& f = PDBgetField(r, fid);
  if (f.GetDT() != DBDTstring || i < 0 || i >= f.GetNV()) return nullptr;
  return static_cast<const char*>(f.GetPointer(i));
}
