// Catalogue and shadow catalogue headers.
#include "catalog/pdbheader.h"

#include <cstring>

#include "catalog/pdbase.h"
#include "support/pstrings.h"
#include "support/cnumber.h"

const char CorvaneSoftwareName[] = "Corvane Lumerin";
const char PDBLastSubjName[] = "RecentSubject";
const char PDBLastAlbmName[] = "RecentAlbum";
const char PDBLastOwnrName[] = "RecentOwner";
const char PDBLastKeywName[] = "RecentKeyword";

namespace {

// The defaults both headers share: the base values, the software name and the photo schema.
void PhotoDefaults(DBHeader* h, DBHeaderLink* vars, char* soft) {
  DBHeaderLink* sw = vars->FindVar("Software");
  while (sw != nullptr && sw->NSet() > 0) sw->DeleteSVal(0);
  vars->SetVal(soft, CorvaneSoftwareName);
  static_cast<DBFieldInfo&>(*h) = PDBFInfo;
}

}  // namespace

PDBHeader::PDBHeader() : uniq(0) {
  memset(recent, 0, sizeof(recent));
  hvars = new DBHeaderLink("UniqueFiles", &uniq, 1, hvars);
  char* p = recent;
  hvars = new DBHeaderLink(PDBLastSubjName, p, kSubjBytes, hvars);
  p += kSubjBytes;
  hvars = new DBHeaderLink(PDBLastAlbmName, p, kAlbmBytes, hvars);
  p += kAlbmBytes;
  hvars = new DBHeaderLink(PDBLastOwnrName, p, kOwnrBytes, hvars);
  p += kOwnrBytes;
  hvars = new DBHeaderLink(PDBLastKeywName, p, kKeywBytes, hvars);
}

PDBHeader::~PDBHeader() {
  Sync();
}

int PDBHeader::ReadInfo(std::istream* is) {
  uniq = 0;
  memset(recent, 0, sizeof(recent));
  return DBHeader::ReadInfo(is);
}

int PDBHeader::Hash() const {
  uint32_t h = static_cast<uint32_t>(DBHeader::Hash());
  h ^= memhash(recent, sizeof(recent), 31);
  h ^= static_cast<uint32_t>(Unique()) << 1;
  return static_cast<int>(h);
}

int PDBHeader::CheckValues() const {
  const DBHeaderLink* sw = hvars->GetVar("Software");
  if (sw == nullptr || sw->NSet() < 1 || strcmp(soft, CorvaneSoftwareName) != 0) return 0;
  return DBHeader::CheckValues();
}

void PDBHeader::SetDefaults() {
  hvars->Clear();
  DBHeader::SetDefaults();
  PhotoDefaults(this, hvars, soft);
  memset(recent, 0, sizeof(recent));
  SetUnique(true);
}

void PDBHeader::SetUnique(bool val) {
  uniq = val ? 1 : 0;
  hvars->SetVal(&uniq, uniq);
}

DBHeaderLink* PDBHeader::RecentList(const char* nm) const {
  if (nm == nullptr) return nullptr;
  for (DBHeaderLink* v = hvars; v != nullptr; v = v->Next())
    if (v->Type() == DBDTstring && v->Name() != nullptr && Cstrcasecmp(v->Name(), nm) == 0)
      return v;
  return nullptr;
}

const char* PDBHeader::GetRecent(const char* nm, int n) const {
  const DBHeaderLink* v = RecentList(nm);
  return v != nullptr ? v->GetSVal(n) : nullptr;
}

int PDBHeader::GetNRecent(const char* nm) const {
  const DBHeaderLink* v = RecentList(nm);
  if (v == nullptr) return -1;
  return v->NSet() > 0 ? v->NSet() : 0;
}

int PDBHeader::FindRecent(const char* nm, const char* val) const {
  const DBHeaderLink* v = RecentList(nm);
  return v != nullptr && val != nullptr ? v->FindSVal(val) : -1;
}

bool PDBHeader::InsertRecent(const char* nm, const char* val, int n) {
  DBHeaderLink* v = RecentList(nm);
  return v != nullptr && val != nullptr && v->InsertSVal(val, n) != 0;
}

void PDBHeader::DeleteRecent(const char* nm, int n) {
  DBHeaderLink* v = RecentList(nm);
  if (v == nullptr || v->NSet() < 1) return;
  if (!v->DeleteSVal(n < 0 ? v->NSet() - 1 : n)) return;
  // The bytes after the remaining values are cleared: the hash reads the whole buffers, and a
  // removed last value left behind would hide its removal.
  const struct {
    const char* name;
    int offset, size;
  } lists[4] = {{PDBLastSubjName, 0, kSubjBytes},
                {PDBLastAlbmName, kSubjBytes, kAlbmBytes},
                {PDBLastOwnrName, kSubjBytes + kAlbmBytes, kOwnrBytes},
                {PDBLastKeywName, kSubjBytes + kAlbmBytes + kOwnrBytes, kKeywBytes}};
  for (const auto& l : lists) {
    if (strcmp(v->Name(), l.name) != 0) continue;
    size_t used = 0;
    for (int i = 0; i < v->NSet(); i++) used += strlen(v->GetSVal(i)) + 1;
    if (used < static_cast<size_t>(l.size))
      memset(recent + l.offset + used, 0, static_cast<size_t>(l.size) - used);
  }
}

void SDBHeader::SetDefaults() {
  DBHeader::SetDefaults();
  PhotoDefaults(this, hvars, soft);
  int id = GetID(PDBFInfo.GetName(PDBFsubject));
  if (id >= 0) details[id].flags &= ~PDBFLrequired;
}
