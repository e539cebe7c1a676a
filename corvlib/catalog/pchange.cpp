// Adding displayed records to the catalogue, storing their edits and deleting them, each as
// one undoable step that carries a snapshot of the display from before it.
#include <cstring>
#include <vector>

#include "catalog/pcontext.h"
#include "catalog/pdbase.h"
#include "support/dmessage.h"
#include "support/pwork.h"

namespace {

// A map as long as the display: a copy of sel's bits, or all set when sel is empty.
void SelectionOrAll(const ABitMap& sel, int n, ABitMap* out) {
  out->NewBitMap(static_cast<uint32_t>(n), sel.Length() == 0);
  if (sel.Length() == 0) return;
  for (uint32_t i = 0; sel.Find(&i, true) && i < static_cast<uint32_t>(n); i++) out->Set(i);
}

// A deep copy of src, read-only, in place of *dst.
void ReplaceReadOnly(DBRecord* dst, const DBRecord& src) {
  DBRecord copy(src);
  dst->Init();
  dst->Take(&copy);
  if (dst->l != nullptr && dst->l->readonly == 0) dst->l->readonly = 1;
}

bool Append(DBRecordList* list, DBRecord* rec, bool link) {
  const int k = list->GetSize();
  if (list->Resize(k + 1) != k + 1) return false;
  if (link)
    (*list)[k].Link(rec);
  else
    (*list)[k].Take(rec);
  return true;
}

}  // namespace

int PContext::AddRecords(int* merged) {
  if (merged != nullptr) *merged = 0;
  const int nd = rdisp.GetSize();
  if (strcmp(rsrc, "*DB") == 0 || !Writable() || nd == 0) return 0;
  ABitMap map;
  SelectionOrAll(rsel, nd, &map);
  int n = static_cast<int>(map.SumTotal());
  for (uint32_t i = 0; map.Find(&i, true); i++) {
    const DBRecord& r = rdisp.Get(static_cast<int>(i));
    bool complete = r.GetFieldInfo() != nullptr;
    for (int id = complete ? r.GetFieldInfo()->GetNFields() : 0; id-- > 0;) {
      const DBFDetails* d = r.GetFieldDetails(id);
      if (d != nullptr && (d->flags & PDBFLrequired) && !r[id].IsSet()) {
        DMESSAGE(DMCwarning, "Incomplete record not added to DB");
        complete = false;
      }
    }
    if (!complete) {
      map.Reset(i);
      n--;
    }
  }
  if (n == 0) return 0;
  std::vector<int> versionOf(static_cast<size_t>(nd), -1);
  DBRecordList replaced(&phd);
  for (int i = nd; i-- > 0;) {
    if (!map.Check(static_cast<uint32_t>(i))) continue;
    const int k = CommonIndex(i);
    if (k < 0) continue;
    if (rdisp.Get(i) == rcommon.Get(k)) {
      map.Reset(static_cast<uint32_t>(i));
      n--;
    } else {
      versionOf[static_cast<size_t>(i)] = k;
      Append(&replaced, &rcommon[k], true);
    }
  }
  if (n == 0) return 0;
  if (!Checkpoint("Add", new PCSnapshot(this, true))) {
    DMESSAGE(DMCdata, "Database update error in AddRecords");
    return -1;
  }
  if (replaced.GetSize() > 0) pdb.DeleteRecords(replaced.GetArray(), replaced.GetSize());
  DBRecordList added(rdisp.GetFieldInfo());
  for (uint32_t i = 0; map.Find(&i, true); i++) {
    DBRecord& r = rdisp[static_cast<int>(i)];
    Append(&added, &r, true);
    const int k = versionOf[i];
    if (k >= 0) {
      ReplaceReadOnly(&rcommon[k], r);
      continue;
    }
    DBRecord copy(r);
    Append(&rcommon, &copy, false);
    PmarkReadOnlyLast(&rcommon);
    Append(&rdisp_link, &r, true);
  }
  DeleteShadows(added.GetArray(), added.GetSize());
  pdb.AddRecords(added.GetArray(), added.GetSize());
  Catalog(added.GetArray(), added.GetSize());
  if (merged != nullptr) *merged = replaced.GetSize();
  return n;
}

int PContext::RecordChange(const char* label, ABitMap* which, PCSnapshot* snapshot) {
  const int nd = rdisp.GetSize();
  ABitMap all;
  if (which == nullptr) {
    all.NewBitMap(static_cast<uint32_t>(nd), true);
    which = &all;
  }
  if (nd == 0 || which->SumTotal() == 0) {
    delete snapshot;
    return 0;
  }
  const bool writable = Writable();
  const bool catDisplay = writable && strcmp(rsrc, "*DB") == 0;
  const bool shadowOpen = ShadowReady();
  DBRecordList shadows(&shd);
  std::vector<int> versionOf(static_cast<size_t>(nd), -1);
  const uint32_t len = which->Length();
  for (int i = nd; i-- > 0;) {
    const uint32_t b = static_cast<uint32_t>(i);
    if (b >= len || !which->Check(b)) continue;
    PworkItem(nd - i, nd);
    const int k = CommonIndex(i);
    if (k < 0) {
      if (catDisplay) {
        DMESSAGE(DMCwarning, "Record not found in RecordChange");
      } else if (shadowOpen) {
        DBRecord copy(rdisp.Get(i));
        Append(&shadows, &copy, false);
      }
      which->Reset(b);
    } else if (writable && rdisp.Get(i) != rcommon.Get(k)) {
      versionOf[static_cast<size_t>(i)] = k;
    } else {
      which->Reset(b);
    }
  }
  // Bits past the display name no record.
  if (len > static_cast<uint32_t>(nd)) which->ClearBits(static_cast<uint32_t>(nd), len - nd);
  if (shadowOpen && shadows.GetSize() > 0) AddShadowList(shadows);
  const int m = static_cast<int>(which->SumTotal());
  if (m == 0) {
    delete snapshot;
    return 0;
  }
  // The checkpoint files what is pending (syncing first when due) and opens this step; the
  // deletions and additions below only queue in it.
  if (!Checkpoint(label, snapshot)) {
    DMESSAGE(DMCdata, "Database update error in RecordChange");
    return -1;
  }
  DBRecordList oldv(&phd), newv(rdisp.GetFieldInfo());
  for (uint32_t i = 0; which->Find(&i, true); i++) {
    PworkItem(i, nd);
    const int k = versionOf[i];
    Append(&oldv, &rcommon[k], false);
    ReplaceReadOnly(&rcommon[k], rdisp.Get(static_cast<int>(i)));
    Append(&newv, &rdisp[static_cast<int>(i)], true);
  }
  // An edit is stored as the old version's deletion plus the new version's addition.
  PworkStep(-1);
  pdb.DeleteTaking(&oldv);
  PworkStep(-1);
  pdb.AddRecords(newv.GetArray(), newv.GetSize());
  PworkStep(-1);
  Catalog(newv.GetArray(), newv.GetSize());
  return m;
}

int PContext::DeleteRecords(bool fromCatalogue, bool fromShadow) {
  const int nd = rdisp.GetSize();
  const int n = TotalSelected();
  if (n == 0 || nd == 0) return 0;
  DBRecordList removed(nullptr), deletions(&phd);
  const bool catPart = fromCatalogue && Writable();
  PCSnapshot* snap = catPart ? new PCSnapshot(this, true) : nullptr;
  const bool catDisplay = strcmp(rsrc, "*DB") == 0;
  for (uint32_t i = 0; rsel.Find(&i, true) && i < static_cast<uint32_t>(nd); i++) {
    const int k = CommonIndex(static_cast<int>(i));
    Append(&removed, &rdisp[static_cast<int>(i)], false);
    if (k >= 0) {
      Append(&deletions, &rcommon[k], false);
      rdisp_link[k].Init();
    } else if (catPart && catDisplay) {
      DMESSAGE(DMCwarning, "Record not found in DeleteRecords");
    }
  }
  SelectNone();
  rdisp.Compact(false);
  rcommon.Compact(false);
  rdisp_link.Compact(false);
  if (fromShadow && ShadowReady()) DeleteShadows(removed.GetArray(), removed.GetSize());
  if (catPart && deletions.GetSize() > 0) {
    if (!Checkpoint("Delete", snap)) {
      DMESSAGE(DMCdata, "Database update error in DeleteRecords");
      return -1;
    }
    pdb.DeleteRecords(deletions.GetArray(), deletions.GetSize());
    return deletions.GetSize();
  }
  delete snap;
  return 0;
}
