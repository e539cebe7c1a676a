// The state of what the browser shows: the displayed photo records, their selection, the
// catalogue versions of those that are catalogued (rcommon) with records sharing the displayed
// records' field arrays at the same indexes (rdisp_link), where the records came from, and the
// catalogue-wide string sets and timeline. PCSnapshot keeps a copy of that state beside an
// undoable catalogue change so that undo and redo put the display back.
#pragma once

#include <vector>

#include "catalog/pdbaccess.h"
#include "catalog/ptimeline.h"
#include "db/dbrecord.h"
#include "db/dbrlist.h"
#include "db/dbschema.h"
#include "support/abitmap.h"
#include "support/pchange.h"
#include "support/pstrings.h"

class PContextState {
 public:
  PContextState();
  ~PContextState();
  PContextState(const PContextState&) = delete;
  // Deep copy: records get their own field arrays, linked among themselves as in src.
  PContextState& operator=(const PContextState& src);

  bool Unique() const { return uniq; }

  // Selection.
  void SelectAll();
  void SelectNone();
  void SelectInverse();
  void Select(int i, bool on = true);
  bool IsSelected(int i) const;
  int TotalSelected() const;
  // Moves *i to the first selected index at or after it; false (and *i the display length)
  // when there is none.
  bool NextSelected(int* i) const;
  // Clears the selection and sorts the display by its sort order.
  void SortDisplay();

  // The catalogue version of displayed record i, or null when it is not catalogued.
  const DBRecord* GetDBOrig(int i) const;
  // One bit per displayed record, set for the catalogued ones.
  void GetCommon(ABitMap* map) const;
  int TotalCommon() const { return rcommon.GetSize(); }
  // The first displayed record that is the same photo as r, -1 when none.
  int FindI(const DBRecord& r);
  // The last displayed record sharing r's field array, -1 when none.
  int FindL(const DBRecord& r) const;

  // Empties the display (bound to the photo schema) and its catalogue ties.
  void ClearRecords();
  // As above, then binds the display to a private copy of schema (copy) or to schema itself.
  void ClearRecords(const DBFieldInfo* schema, bool copy);
  // Empties the string sets and the timeline.
  void ClearSets();
  void ClearState() {
    ClearRecords();
    ClearSets();
  }

  // Adds the subjects, owners, albums, keywords and capture dates of records to the sets
  // and the timeline.
  void Catalog(const DBRecord* records, int n);
  void Catalog(const DBRecord& record) { Catalog(&record, 1); }
  // Brings src's values into *dst (see preconcile.cpp); true when a field of dst was written.
  static bool TransferFields(DBRecord* dst, const DBRecord& src);
  // Re-makes the rdisp_link sharing; the number of links made.
  int FixLinks(bool rebuild);
  // Makes the display follow an undone (undo) or redone catalogue change.
  void ReflectChange(const DBChangeList* change, bool undo);

 protected:
  bool uniq;
  DBRecordList rcommon;
  DBRecordList rdisp_link;
  DBFieldInfo* rdisp_info;

 public:
  PStringSet subjSet;
  PTimeline timeline;
  PStringSet albmSet;
  PStringSet keywSet;
  PStringSet ownrSet;
  char rsrc[1024];
  DBRecordList rdisp;
  ABitMap rsel;
  char album[256];

  // Read access for checks and the views.
  const DBRecordList& Common() const { return rcommon; }
  const DBRecordList& DisplayLinks() const { return rdisp_link; }
  const DBFieldInfo* DisplayInfo() const { return rdisp_info; }

 protected:
  // The rcommon index whose rdisp_link record shares displayed record i's fields, -1 when none.
  int CommonIndex(int i) const;
  // Links each rcommon record not marked in linked to the displayed record found by a search,
  // dropping those found nowhere; count plus the links made.
  int LinkBySearch(const std::vector<bool>& linked, int count);
  // The selection of the displayed records that the list's Compact keeps, at the places they
  // take then; no selection when none of them is selected.
  void KeepSelectionOfSurvivors();
};

// Calls fn(const uint32_t* index, uint32_t n) with the selected display indexes in ascending
// order, up to 64 at a time, reading the selection a word at a time; fn returns false to stop.
// The records lie far apart in memory: a caller over large selections fetches a batch's field
// arrays ahead of reading them. Indexes are not checked against the display's length.
template <class Fn>
void PforSelectedBatches(const PContextState& pc, Fn&& fn) {
  constexpr uint32_t kBatch = 64;
  uint32_t batch[kBatch];
  const uint32_t* words = pc.rsel.Words();
  const uint32_t nw = pc.rsel.NumWords();
  for (uint32_t w = 0; w < nw;) {
    uint32_t n = 0;
    for (; w < nw && n + 32 <= kBatch; w++)
      for (uint32_t bits = words[w]; bits != 0; bits &= bits - 1)
        batch[n++] = (w << 5) + static_cast<uint32_t>(__builtin_ctz(bits));
    if (n != 0 && !fn(static_cast<const uint32_t*>(batch), n)) return;
  }
}

// Record r's field id when r is bound to schema fi and holds that field, read straight from its
// field array; null otherwise (the caller then asks by name). For walks over many records.
inline const DBField* PschemaField(const DBRecord& r, const DBFieldInfo* fi, int id) {
  return id >= 0 && r.finfo == fi && r.l != nullptr && id < r.l->nfields ? &r.l->field[id]
                                                                         : nullptr;
}

// What a result computed from a context's displayed records and selection depends on: two
// stamps of the same context are equal only while no record, record list or schema has changed
// anywhere and the selection has not changed (see support/pchange.h). A result kept with its
// stamp is valid while the context's stamp is still the same.
struct PSelectionStamp {
  const PContextState* pc = nullptr;
  uint64_t changes = 0;
  uint64_t selChanges = 0;
  bool operator==(const PSelectionStamp& o) const {
    return pc == o.pc && changes == o.changes && selChanges == o.selChanges;
  }
  bool operator!=(const PSelectionStamp& o) const { return !(*this == o); }
};
inline PSelectionStamp PstampSelection(const PContextState& pc) {
  return {&pc, PchangeCount(), pc.rsel.Changes()};
}

// Marks every record of list read-only (the catalogue versions of displayed records).
void PmarkReadOnly(DBRecordList* list);
// The same for the list's last record.
void PmarkReadOnlyLast(DBRecordList* list);

// Per-block callback of a catalogue walk: catalogues the block into the PContextState given
// as state; the number of records in the block.
int cat_call(const DBRecordList& block, void* state);

class PCSnapshot : public PSnapshot {
 public:
  PCSnapshot(PContextState* pcs, bool save);
  ~PCSnapshot() override = default;
  void SetState(PContextState* pcs, bool save);
  bool Restore(const DBChangeList* change, bool undo) override;

  PContextState* pcs;
  PContextState s;
  bool stateSaved;
};
