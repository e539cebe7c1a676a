// The displayed records, their selection and catalogue ties, copying and snapshots.
#include "catalog/pcstate.h"

#include <cstring>
#include <unordered_map>

#include "catalog/pdbase.h"
#include "support/dmessage.h"
#include "support/pchange.h"

PContextState::PContextState() : uniq(false), rdisp_info(nullptr) {
  rsrc[0] = '\0';
  album[0] = '\0';
}

PContextState::~PContextState() {
  // The records go before the schema they may be bound to.
  rdisp.Init(nullptr);
  delete rdisp_info;
  rdisp_info = nullptr;
}

void PmarkReadOnly(DBRecordList* list) {
  for (int i = 0; i < list->GetSize(); i++)
    if ((*list)[i].l != nullptr && (*list)[i].l->readonly == 0) (*list)[i].l->readonly = 1;
}

void PmarkReadOnlyLast(DBRecordList* list) {
  DBRecord& r = (*list)[list->GetSize() - 1];
  if (r.l != nullptr && r.l->readonly == 0) r.l->readonly = 1;
}

// ---------------------------------------------------------------------------------------
// Selection

void PContextState::SelectAll() {
  if (rdisp.GetSize() > 0)
    rsel.NewBitMap(static_cast<uint32_t>(rdisp.GetSize()), true);
  else
    rsel.NewBitMap(0);
}

void PContextState::SelectNone() {
  rsel.NewBitMap(0);
}

void PContextState::SelectInverse() {
  if (rsel.Length() == 0)
    SelectAll();
  else
    rsel.Invert();
}

void PContextState::Select(int i, bool on) {
  if (rsel.Length() == 0 && on && rdisp.GetSize() > 0)
    rsel.NewBitMap(static_cast<uint32_t>(rdisp.GetSize()), false);
  if (i >= 0 && static_cast<uint32_t>(i) < rsel.Length()) rsel.Set(static_cast<uint32_t>(i), on);
}

bool PContextState::IsSelected(int i) const {
  return i >= 0 && rsel.Check(static_cast<uint32_t>(i));
}

int PContextState::TotalSelected() const {
  return static_cast<int>(rsel.SumTotal());
}

bool PContextState::NextSelected(int* i) const {
  if (i == nullptr) return false;
  if (*i < 0) *i = 0;
  if (static_cast<uint32_t>(*i) < rsel.Length()) {
    uint32_t pos = static_cast<uint32_t>(*i);
    const bool found = rsel.Find(&pos, true);
    *i = found ? static_cast<int>(pos) : rdisp.GetSize();
    return found;
  }
  *i = rdisp.GetSize();
  return false;
}

void PContextState::SortDisplay() {
  SelectNone();
  rdisp.Sort();
}

// ---------------------------------------------------------------------------------------
// Display and catalogue

int PContextState::CommonIndex(int i) const {
  if (i < 0 || i >= rdisp.GetSize()) return -1;
  const DBRecord& d = rdisp.Get(i);
  if (d.l == nullptr || d.l->nlinks <= 1) return -1;
  if (i < rdisp_link.GetSize() && rdisp_link.Get(i).l == d.l) return i;
  for (int k = rdisp_link.GetSize(); k-- > 0;)
    if (rdisp_link.Get(k).l == d.l) return k;
  return -1;
}

const DBRecord* PContextState::GetDBOrig(int i) const {
  const int k = CommonIndex(i);
  return k < 0 || k >= rcommon.GetSize() ? nullptr : &rcommon.Get(k);
}

void PContextState::GetCommon(ABitMap* map) const {
  if (map == nullptr) return;
  map->NewBitMap(static_cast<uint32_t>(rdisp.GetSize()), true);
  if (strcmp(rsrc, "*DB") == 0) return;
  for (int i = rdisp.GetSize(); i-- > 0;)
    if (GetDBOrig(i) == nullptr) map->Reset(static_cast<uint32_t>(i));
}

int PContextState::FindI(const DBRecord& r) {
  if (r.GetFieldInfo() == nullptr) return -1;
  DBQuery q(r.GetFieldInfo(), false);
  if (!PCsetQuery(&q, r, uniq)) return -1;
  return rdisp.FindFirst(&q);
}

int PContextState::FindL(const DBRecord& r) const {
  for (int i = rdisp.GetSize(); i-- > 0;)
    if (rdisp.Get(i).IsLinked(&r)) return i;
  return -1;
}

void PContextState::ClearRecords() {
  SelectNone();
  rdisp.Init(&PDBFInfo);
  rcommon.Init(nullptr);
  rdisp_link.Init(nullptr);
  delete rdisp_info;
  rdisp_info = nullptr;
}

void PContextState::ClearRecords(const DBFieldInfo* schema, bool copy) {
  ClearRecords();
  if (schema != nullptr && copy) {
    rdisp_info = new DBFieldInfo(*schema);
    rdisp.Init(rdisp_info);
  } else {
    rdisp.Init(schema);
  }
}

void PContextState::ClearSets() {
  subjSet.Clear();
  albmSet.Clear();
  keywSet.Clear();
  ownrSet.Clear();
  timeline.timel->KillTime();
}

PContextState& PContextState::operator=(const PContextState& src) {
  if (&src == this) return *this;
  // The records let go of the old private schema before it goes.
  rdisp.Init(nullptr);
  rcommon.Init(nullptr);
  rdisp_link.Init(nullptr);
  delete rdisp_info;
  rdisp_info = src.rdisp_info != nullptr ? new DBFieldInfo(*src.rdisp_info) : nullptr;
  subjSet = src.subjSet;
  timeline = src.timeline;
  ownrSet = src.ownrSet;
  albmSet = src.albmSet;
  keywSet = src.keywSet;
  memcpy(rsrc, src.rsrc, sizeof(rsrc));
  memcpy(album, src.album, sizeof(album));
  uniq = src.uniq;
  rdisp = src.rdisp;
  // Records bound to the source's private schema are bound to the copy's.
  if (src.rdisp_info != nullptr && src.rdisp.GetFieldInfo() == src.rdisp_info) {
    PnoteChange();
    rdisp.finfo = rdisp_info;
    for (int i = 0; i < rdisp.GetSize(); i++)
      if (rdisp[i].finfo == src.rdisp_info) rdisp[i].finfo = rdisp_info;
  }
  rcommon = src.rcommon;
  PmarkReadOnly(&rcommon);
  rsel = src.rsel;
  const int nc = rcommon.GetSize();
  rdisp_link.Init(nullptr, nc);
  if (rdisp_link.GetSize() != nc) return *this;
  // The source's displayed records by field array (the last one of each, as a search from
  // the end would find it).
  std::unordered_map<const DBRLink*, int> at;
  at.reserve(static_cast<size_t>(src.rdisp.GetSize()));
  for (int i = 0; i < src.rdisp.GetSize(); i++)
    if (src.rdisp.Get(i).l != nullptr) at[src.rdisp.Get(i).l] = i;
  for (int k = nc; k-- > 0;) {
    const DBRecord& want = src.rdisp_link.Get(k);
    auto it = want.l != nullptr ? at.find(want.l) : at.end();
    const int i = it != at.end() ? it->second : -1;
    if (want.l == nullptr || i < 0) {
      // Left unlinked: the entry counts as uncatalogued in the copy.
      DMESSAGE(DMCwarning, "Missing DB link in context copy");
      continue;
    }
    if (rdisp_link[k].Link(&rdisp[i]) != 1) DMESSAGE(DMCassert, "Link failed in context copy");
  }
  return *this;
}

// ---------------------------------------------------------------------------------------
// Snapshots

PCSnapshot::PCSnapshot(PContextState* state, bool save) : pcs(nullptr), stateSaved(false) {
  SetState(state, save);
}

void PCSnapshot::SetState(PContextState* state, bool save) {
  s.ClearState();
  stateSaved = false;
  pcs = state;
  if (state != nullptr && save) {
    s = *state;
    stateSaved = true;
  }
}

bool PCSnapshot::Restore(const DBChangeList* change, bool undo) {
  if (change == nullptr || pcs == nullptr) return false;
  if (stateSaved) {
    *pcs = s;
    if (!undo) pcs->ReflectChange(change, false);
  } else {
    pcs->ReflectChange(change, undo);
  }
  return true;
}
