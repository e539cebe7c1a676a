// The catalogue store with undo and redo.
#include "catalog/pdbaccess.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "support/dmessage.h"
#include "support/pwork.h"
#include "support/chain.h"

namespace {

// Above this product of records deleted and additions pending, deletions are not matched
// against the pending additions.
constexpr long long kCancelLimit = 10000;

bool HasValues(const DBRecord& r) {
  return r.l != nullptr && r.GetNAssigned() > 0;
}

// The index of the record at address p inside list, or -1.
int SlotOf(const DBRecord* p, const DBRecordList& list) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(p);
  const uintptr_t b = reinterpret_cast<uintptr_t>(list.GetArray());
  if (list.GetSize() == 0 || a < b) return -1;
  const uintptr_t off = a - b;
  if (off >= sizeof(DBRecord) * static_cast<size_t>(list.GetSize())) return -1;
  return static_cast<int>(off / sizeof(DBRecord));
}

// Appends the records of from to list by moving their field arrays; false when list cannot
// grow.
bool AppendTaken(DBRecordList* list, DBRecordList* from) {
  const int have = list->GetSize(), n = from->GetSize();
  if (n == 0) return true;
  if (n > INT_MAX - 64 - have || list->Resize(have + n) != have + n) return false;
  for (int i = 0; i < n; i++) (*list)[have + i].Take(&(*from)[i]);
  from->Resize(0);
  return true;
}

// Whether a and b hold the same values: equal to the engine, and floats equal exactly rather
// than within the engine's tolerance.
bool Identical(const DBRecord& a, const DBRecord& b) {
  if (!(a == b)) return false;
  const int n = b.GetNAlloc();
  for (int j = 0; j < n; j++) {
    const DBField* f = b.GetField(j);
    if (f == nullptr || f->GetDT() != DBDTfloat) continue;
    const int id = a.GetFieldInfo()->XlateID(b.GetFieldInfo(), j);
    if (a[id].Compare(*f) != 0) return false;
  }
  return true;
}

struct CaptureScan {
  const DBRecord* const* cands;
  size_t ncands;
  std::unordered_set<long long>* seen;
  DBRecordList* out;
  long long base;
};

// Block walk of a capture: records equal to a candidate that no query could find.
int CaptureBlock(const DBRecordList& block, void* data) {
  auto* s = static_cast<CaptureScan*>(data);
  const int m = block.GetSize();
  for (int r = 0; r < m; r++) {
    const DBRecord& stored = block.Get(r);
    for (size_t c = 0; c < s->ncands; c++) {
      if (stored == *s->cands[c]) {
        if (!s->seen->insert(s->base + r).second) break;
        const int k = s->out->GetSize();
        if (s->out->Resize(k + 1) == k + 1) (*s->out)[k] = stored;
        break;
      }
    }
  }
  s->base += m;
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Changes

DBChangeList::DBChangeList(const DBFieldInfo* schema, const char* label, PSnapshot* snapshot)
    : rdel(schema), radd(schema), snap(snapshot), prev(nullptr) {
  name[0] = '\0';
  if (label != nullptr) {
    size_t n = strnlen(label, sizeof(name) - 1);
    memcpy(name, label, n);
    name[n] = '\0';
  }
}

DBChangeList::~DBChangeList() {
  delete snap;
  snap = nullptr;
  DeleteChain(prev, &DBChangeList::prev);
}

bool DBChangeList::ReflectChange(DBRecordList* list, bool backward,
                                 std::vector<const DBRecord*>* from, DBRecordList* inStep,
                                 bool share, bool byStep) const {
  std::vector<std::pair<long, int>> byHash;
  if (list != nullptr && from != nullptr)
    from->assign(static_cast<size_t>(list->GetSize()), nullptr);
  if (list != nullptr && inStep != nullptr && inStep->GetSize() != list->GetSize())
    inStep = nullptr;
  if (inStep == nullptr) byStep = false;
  // What a removal is compared with at index j.
  auto key = [&](int j) -> const DBRecord& {
    if (byStep && (*inStep)[j].l != nullptr) return (*inStep)[j];
    return list->Get(j);
  };
  for (const DBChangeList* ch = this;;) {
    if (list == nullptr || ch->Empty()) return false;
    const DBRecordList& removal = backward ? ch->radd : ch->rdel;
    const DBRecordList& addition = backward ? ch->rdel : ch->radd;
    bool released = false;
    if (removal.GetSize() > 0 && list->GetSize() > 0) {
      // Equal records have equal hash indexes: the displayed records are ordered by hash and
      // position once, and each removal looks at its own hash's run from the back, as the
      // search from the list's end would.
      byHash.clear();
      for (int j = 0; j < list->GetSize(); j++)
        if (list->Get(j).l != nullptr) byHash.emplace_back(key(j).HashIndex(), j);
      std::sort(byHash.begin(), byHash.end());
      for (int i = 0; i < removal.GetSize(); i++) {
        PworkItem(i, removal.GetSize());
        const DBRecord& r = removal.Get(i);
        if (!HasValues(r)) continue;
        const long h = r.HashIndex();
        auto lo = std::lower_bound(byHash.begin(), byHash.end(), std::make_pair(h, INT_MIN));
        auto hi = std::lower_bound(lo, byHash.end(), std::make_pair(h + 1, INT_MIN));
        while (hi != lo && (*list)[(hi - 1)->second].l == nullptr) --hi;  // released ones
        for (auto it = hi; it != lo;) {
          const int j = (--it)->second;
          DBRecord& d = (*list)[j];
          if (d.l != nullptr && key(j) == r) {
            d.Init();
            released = true;
            break;
          }
        }
      }
    }
    if (released) {
      if (from != nullptr || inStep != nullptr) {
        // The lists beside it drop the same indexes as the list's Compact does.
        int k = 0;
        for (int j = 0; j < list->GetSize(); j++) {
          if (DBRecordList::Drops(list->Get(j))) {
            if (inStep != nullptr) (*inStep)[j].Init();
            continue;
          }
          if (k != j) {
            if (from != nullptr) (*from)[static_cast<size_t>(k)] = (*from)[static_cast<size_t>(j)];
            if (inStep != nullptr) (*inStep)[k].Take(&(*inStep)[j]);
          }
          k++;
        }
        if (from != nullptr) from->resize(static_cast<size_t>(k));
        if (inStep != nullptr) inStep->Resize(k);
      }
      list->Compact(false);
    }
    const int have = list->GetSize(), n = addition.GetSize();
    if (n > 0) {
      if (n > INT_MAX - 64 - have || list->Resize(have + n, true) != have + n) {
        DMESSAGE(DMCdata, "Resize failed in ReflectChange");
        return false;
      }
      int put = have;
      for (int i = 0; i < n; i++) {
        PworkItem(i, n);
        const DBRecord& a = addition.Get(i);
        if (!HasValues(a)) continue;
        DBRecord& d = (*list)[put++];
        // The change's records are never written once filed: a list that is not written
        // either shares their field arrays.
        if (share && (list->GetFieldInfo() == nullptr || a.finfo == list->GetFieldInfo()))
          d.Link(const_cast<DBRecord*>(&a));
        else
          d = a;
        if (from != nullptr) from->push_back(&a);
      }
      list->Resize(put);
      if (inStep != nullptr && inStep->Resize(put, true) != put) {
        DMESSAGE(DMCdata, "Resize failed in ReflectChange");
        return false;
      }
    }
    ch = ch->prev;
    if (ch == nullptr || ch->Named()) return true;
  }
}

// ---------------------------------------------------------------------------------------
// The store

PDBAccess::PDBAccess(DBHeader* hdr, std::iostream* dbstrm, bool ro)
    : DBAccess(hdr, dbstrm, ro),
      undoList(nullptr),
      pending(nullptr),
      redoList(nullptr),
      nunsynced(0) {}

PDBAccess::~PDBAccess() {
  ClearChanges();
  delete pending;  // left by a commit that failed: the store cannot take it
  pending = nullptr;
}

DBChangeList* PDBAccess::NewChange(const char* name, PSnapshot* snap) const {
  return new DBChangeList(GetHeader(), name, snap);
}

void PDBAccess::CaptureStored(const DBRecord* recs, int n, DBRecordList* out) {
  DBHeader* hdr = GetHeader();
  if (hdr == nullptr || recs == nullptr) return;
  std::unordered_set<long long> seen;
  std::vector<const DBRecord*> unbounded;
  DBRecord found;
  for (int i = 0; i < n; i++) {
    const DBRecord& c = recs[i];
    if (!HasValues(c)) continue;
    // The candidate's integer and string values pin the search; with its hash-key fields all
    // set, those alone do, and only pages of its hash are read. Floats are left to the
    // equality test, which allows them a tolerance.
    const bool exact = c.HashIndex() >= 0;
    DBQuery q(hdr, false);
    int bounds = 0;
    const int na = c.GetNAlloc();
    for (int j = 0; j < na; j++) {
      const DBField* f = c.GetField(j);
      const DBFDetails* d = c.GetFieldDetails(j);
      if (f == nullptr || (f->GetDT() != DBDTint && f->GetDT() != DBDTstring)) continue;
      if (exact && (d == nullptr || !(d->flags & DBFDhashkey))) continue;
      const int qid = hdr->GetID(c.GetFieldName(j));
      if (qid >= 0 && q.rlo.SetField(qid, *f)) bounds++;
    }
    if (bounds == 0) {
      unbounded.push_back(&c);
      continue;
    }
    q.rhi.Link(&q.rlo);
    int pos = 0;
    while (DBAccess::FindRecords(&q, &found, 1, &pos) == 1) {
      if (found == c && seen.insert(pos - 1).second) {
        const int k = out->GetSize();
        if (out->Resize(k + 1) == k + 1) (*out)[k].Take(&found);
      }
      found.Init();
    }
  }
  if (!unbounded.empty()) {
    CaptureScan scan{unbounded.data(), unbounded.size(), &seen, out, 0};
    DBAccess::ForEachBlock(CaptureBlock, &scan, nullptr);
  }
}

bool PDBAccess::ApplyChange(const DBRecordList& del, const DBRecordList& add, int* ndel,
                            int* nadd) {
  Taken taken(GetHeader());
  *ndel = del.GetSize() > 0 ? DBAccess::DeleteCapture(del.GetArray(), del.GetSize(), &taken) : 0;
  nunsynced += *ndel;
  PworkStep(-1);
  *nadd = add.GetSize() > 0 ? DBAccess::AddRecords(add.GetArray(), add.GetSize()) : 0;
  nunsynced += *nadd;
  if (*nadd >= add.GetSize()) return true;

  // The records deleted, as they were stored.
  DBRecordList gone(GetHeader());
  const int nk = static_cast<int>(taken.keys.size());
  if (nk > 0 && gone.Resize(nk) == nk)
    for (int i = 0; i < nk; i++) gone[i] = *taken.keys[static_cast<size_t>(i)];
  AppendTaken(&gone, &taken.copies);

  // Put the store back: the records now equal to those added (the added ones among them) go,
  // and all but the added ones come back with the deleted ones.
  DBRecordList present(GetHeader());
  CaptureStored(add.GetArray(), *nadd, &present);
  if (*nadd > 0) nunsynced += DBAccess::DeleteRecords(add.GetArray(), *nadd);
  for (int i = 0; i < *nadd; i++) {
    const DBRecord& a = add.Get(i);
    int pick = -1;
    for (int j = 0; j < present.GetSize() && pick < 0; j++)
      if (present.Get(j).l != nullptr && Identical(present.Get(j), a)) pick = j;
    for (int j = 0; j < present.GetSize() && pick < 0; j++)
      if (present.Get(j).l != nullptr && present.Get(j) == a) pick = j;
    if (pick >= 0) present[pick].Init();
  }
  present.Compact(false);
  AppendTaken(&present, &gone);
  if (present.GetSize() > 0) {
    const int back = DBAccess::AddRecords(present.GetArray(), present.GetSize());
    nunsynced += back;
    if (back < present.GetSize())
      DMESSAGE(DMCdata, "Unable to restore %d records after a failed change",
               present.GetSize() - back);
  }
  return false;
}

bool PDBAccess::Checkpoint(const char* name, PSnapshot* snap) {
  if (pending != nullptr && pending->Empty()) {
    if (pending->Named()) DMESSAGE(DMCwarning, "Empty change '%s' ignored", pending->name);
    delete pending;
    pending = nullptr;
  }
  if (name != nullptr) {
    delete redoList;
    redoList = nullptr;
  }
  if (pending == nullptr) {
    if (name != nullptr || snap != nullptr) pending = NewChange(name, snap);
    return true;
  }
  int ndel = 0, nadd = 0;
  bool ok = ApplyChange(pending->rdel, pending->radd, &ndel, &nadd);
  if (ndel < pending->rdel.GetSize())
    DMESSAGE(DMCwarning, "Unable to delete %d records in Checkpoint",
             pending->rdel.GetSize() - ndel);
  if (!ok) {
    DMESSAGE(DMCdata, "Unable to add %d records in Checkpoint", pending->radd.GetSize() - nadd);
    delete snap;
    return false;
  }
  pending->prev = undoList;
  undoList = pending;
  pending = nullptr;
  if (name != nullptr || snap != nullptr) pending = NewChange(name, snap);
  return true;
}

int PDBAccess::AddRecords(const DBRecord* recs, int n) {
  if (n < 1 || recs == nullptr) return 0;
  if (pending == nullptr) pending = NewChange(nullptr, nullptr);
  // Copies first: recs may lie in the pending lists, which move as they grow.
  DBRecordList copies(GetHeader());
  if (copies.Resize(n) != n) {
    DMESSAGE(DMCparameter, "Resize failed in AddRecords");
    return 0;
  }
  for (int i = 0; i < n; i++) copies[i] = recs[i];
  if (!AppendTaken(&pending->radd, &copies)) {
    DMESSAGE(DMCparameter, "Resize failed in AddRecords");
    return 0;
  }
  return n;
}

int PDBAccess::DeleteRecords(const DBRecord* recs, int n) {
  return Delete(recs, n, nullptr);
}

int PDBAccess::DeleteTaking(DBRecordList* list) {
  return list != nullptr ? Delete(list->GetArray(), list->GetSize(), list) : 0;
}

int PDBAccess::Delete(const DBRecord* recs, int n, DBRecordList* taken) {
  if (n < 1 || recs == nullptr) return 0;
  if (pending == nullptr) pending = NewChange(nullptr, nullptr);
  DBRecordList& adds = pending->radd;
  const int na = adds.GetSize();
  std::vector<bool> cancelled(static_cast<size_t>(n), false);
  bool released = false;
  if (na > 0 && static_cast<long long>(n) * na <= kCancelLimit) {
    for (int i = 0; i < n; i++) {
      int at = SlotOf(&recs[i], adds);
      if (at < 0) {
        for (int j = na; j-- > 0 && at < 0;)
          if (adds.Get(j).l != nullptr && adds.Get(j) == recs[i]) at = j;
      } else {
        cancelled[i] = true;  // one of the additions itself, taken (or already taken)
      }
      if (at >= 0) {
        cancelled[i] = true;
        if (adds[at].l != nullptr) {
          adds[at].Init();
          released = true;
        }
      }
    }
  }
  // Copies of the rest before the lists change.
  DBRecordList copies(GetHeader());
  int keep = 0;
  for (int i = 0; i < n; i++) keep += !cancelled[i];
  if (keep > 0 && copies.Resize(keep) != keep) {
    if (released) adds.Compact(false);
    DMESSAGE(DMCparameter, "Resize failed in DeleteRecords");
    return 0;
  }
  // A record of another schema (a display's own copy, which goes when the display is cleared)
  // is copied into the store's: the change outlives the display.
  for (int i = 0, k = 0; i < n; i++) {
    if (cancelled[i]) continue;
    if (taken != nullptr && (*taken)[i].GetFieldInfo() == GetHeader())
      copies[k++].Take(&(*taken)[i]);
    else
      copies[k++] = recs[i];
  }
  if (released) adds.Compact(false);
  if (!AppendTaken(&pending->rdel, &copies)) {
    DMESSAGE(DMCparameter, "Resize failed in DeleteRecords");
    return 0;
  }
  return n;
}

const DBChangeList* PDBAccess::Undo() {
  for (;;) {
    if (pending != nullptr) {
      DBChangeList* ch = pending;
      pending = nullptr;
      ch->prev = redoList;
      redoList = ch;
      if (ch->snap != nullptr) ch->snap->Restore(ch, true);
      if (ch->Named()) return ch;
    }
    DBChangeList* step = undoList;
    if (step == nullptr) return nullptr;
    int ndel = 0, nadd = 0;
    bool ok = ApplyChange(step->radd, step->rdel, &ndel, &nadd);
    if (ndel < step->radd.GetSize())
      DMESSAGE(DMCwarning, "Unable to unadd %d records in Undo", step->radd.GetSize() - ndel);
    if (!ok) {
      DMESSAGE(DMCdata, "Unable to undelete %d records in Undo", step->rdel.GetSize() - nadd);
      return nullptr;
    }
    undoList = step->prev;
    step->prev = redoList;
    redoList = step;
    if (step->snap != nullptr) step->snap->Restore(step, true);
    if (step->Named()) return step;
  }
}

const DBChangeList* PDBAccess::Redo() {
  for (;;) {
    DBChangeList* step = redoList;
    if (step == nullptr || !Checkpoint(nullptr, nullptr)) return nullptr;
    redoList = step->prev;
    step->prev = nullptr;
    pending = step;
    if (step->snap != nullptr) step->snap->Restore(step, false);
    if (step->Named()) return step;
  }
}

const char* PDBAccess::UndoName() const {
  if (pending != nullptr && pending->Named()) return pending->name;
  for (const DBChangeList* ch = undoList; ch != nullptr; ch = ch->prev)
    if (ch->Named()) return ch->name;
  return nullptr;
}

const char* PDBAccess::RedoName() const {
  for (const DBChangeList* ch = redoList; ch != nullptr; ch = ch->prev)
    if (ch->Named()) return ch->name;
  return nullptr;
}

bool PDBAccess::ClearChanges() {
  bool ok = Checkpoint(nullptr, nullptr);
  PworkStep(-1);
  delete undoList;
  undoList = nullptr;
  PworkStep(-1);
  delete redoList;
  redoList = nullptr;
  return ok;
}

int PDBAccess::ForEachBlock(int (*fn)(const DBRecordList&, void*), void* data,
                            const DBFieldSort* order) {
  if (!Checkpoint(nullptr, nullptr)) return 0;
  return DBAccess::ForEachBlock(fn, data, order);
}

int PDBAccess::GetRecords(DBRecord* out, int n, int start) {
  if (!Checkpoint(nullptr, nullptr)) return 0;
  return DBAccess::GetRecords(out, n, start);
}

int PDBAccess::FindRecords(const DBQuery* query, DBRecord* out, int n, int* pos) {
  if (!Checkpoint(nullptr, nullptr)) return 0;
  return DBAccess::FindRecords(query, out, n, pos);
}

int PDBAccess::TotalRecords() {
  const int stored = DBAccess::TotalRecords();
  if (stored < 0 || pending == nullptr) return stored;
  return stored + pending->radd.GetSize() - pending->rdel.GetSize();
}

void PDBAccess::Write(std::ostream* os, char sep) {
  Checkpoint(nullptr, nullptr);
  DBAccess::Write(os, sep);
}

bool PDBAccess::Sync() {
  bool ok = Checkpoint(nullptr, nullptr);
  if (!DBAccess::Sync()) ok = false;
  nunsynced = 0;
  return ok;
}

bool PDBAccess::Close() {
  bool ok = Checkpoint(nullptr, nullptr);
  if (!DBAccess::Close()) {
    ok = false;
    if (GetHeader() != nullptr) return false;  // still open, its changes and history with it
  }
  // A change the store could not take is dropped with it: it must not reach another file.
  ForgetChanges();
  return ok;
}

bool PDBAccess::Discard() {
  ForgetChanges();
  return DBAccess::Discard();
}

void PDBAccess::ForgetChanges() {
  delete pending;
  pending = nullptr;
  delete undoList;
  undoList = nullptr;
  delete redoList;
  redoList = nullptr;
  nunsynced = 0;
}
