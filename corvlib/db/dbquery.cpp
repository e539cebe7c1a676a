// Queries, the record hash index and searches over a database.
#include "db/dbquery.h"

#include <cstring>
#include <vector>

#include "db/dbaccess.h"
#include "support/chain.h"
#include "db/dbheader.h"
#include "support/dmessage.h"
#include "support/pwork.h"
#include "support/pstrings.h"

namespace {

// For k = 5 .. 23 the largest prime below 2^k, ended by 0.
constexpr unsigned long kPrimes[] = {31,     61,      127,     251,     509,     1021,   2039,
                                     4093,   8191,    16381,   32749,   65521,   131071, 262139,
                                     524287, 1048573, 2097143, 4194301, 8388593, 0};

constexpr int FirstPrimeAbove(unsigned long n) {
  for (int i = 0; kPrimes[i] != 0; i++)
    if (kPrimes[i] > n) return static_cast<int>(kPrimes[i]);
  return 32000;
}

constexpr int kMaxBound = DB_MAXARRAY;  // values of one bound taken into a selector

}  // namespace

const int DB_HASHSETLEN = FirstPrimeAbove(31999);

unsigned long primeAbove(unsigned long n) {
  if (n <= kPrimes[0]) return kPrimes[0];
  for (int i = 0; kPrimes[i] != 0; i++)
    if (kPrimes[i] >= n) return kPrimes[i];
  return n;
}

// ---------------------------------------------------------------------------------------
// Record hash index and matching

long DBRecord::ComputeHashIndex() const {
  if (l == nullptr) return -1;
  if (finfo == nullptr) {
    l->ihash = -1;
    return -1;
  }
  int n = l->nfields < finfo->GetNFields() ? l->nfields : finfo->GetNFields();
  uint32_t index = 0;
  for (int i = 0; i < n; i++) {
    if (!(finfo->details[i].flags & DBFDhashkey)) continue;
    const DBField& f = l->field[i];
    if (f.nv == 0) {
      l->ihash = -1;
      return -1;
    }
    uint32_t h = f.Hash(31);
    uint32_t r = static_cast<uint32_t>(finfo->HashTurn(i));
    index ^= ((h << r) & 0x7FFFFFFFu) | (r == 0 ? 0u : (h >> (31 - r)));
  }
  l->ihash = static_cast<long>(index);
  return l->ihash;
}

bool DBRecord::MatchQuery(const DBQuery* q) const {
  if (q == nullptr || finfo == nullptr) return false;
  long h = l != nullptr ? HashIndex() : -1;
  const DBQuery* qp = q->FirstPossible(h);
  if (qp == nullptr) return false;
  int nalloc =
      l != nullptr ? (l->nfields < finfo->GetNFields() ? l->nfields : finfo->GetNFields()) : 0;
  const DBFieldInfo* mapped = nullptr;  // the selector schema the map was made for
  int map[DB_MAXFIELDS];
  while (qp != nullptr) {
    const DBRecord& lo = qp->rlo;
    const DBFieldInfo* qs = lo.finfo;
    bool identity = qs == finfo;
    if (!identity && qs != nullptr && qs != mapped) {
      finfo->MapIDs(map, qs);
      mapped = qs;
    }
    int n = 0;
    if (qs != nullptr && lo.l != nullptr)
      n = lo.l->nfields < qs->GetNFields() ? lo.l->nfields : qs->GetNFields();
    bool anyset = false, pass = true;
    for (int j = n; j-- > 0 && pass;) {
      const DBField& a = lo.l->field[j];
      if (a.nv == 0) continue;
      anyset = true;
      const DBField* b = &a;
      const DBRecord& hi = qp->rhi;
      if (hi.l != nullptr && j < hi.l->nfields && hi.l->field[j].nv > 0) b = &hi.l->field[j];
      int k = identity ? j : map[j];
      if (k < 0 || k >= nalloc) {
        pass = false;
        break;
      }
      const DBField& v = l->field[k];
      if (v.nv > 0)
        pass = v.MatchRange(a, *b);
      else
        pass = qp->matchEmpty;
    }
    if (anyset && pass) return true;
    // The next candidate.
    if (h < 0 && qp->matchEmpty) {
      qp = qp->next;
    } else {
      for (qp = qp->next; qp != nullptr; qp = qp->next) {
        long e = qp->ExactHash();
        if (e < 0 || e == h) break;
      }
    }
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// Compiled chains

DBQueryPlan::DBQueryPlan(const DBQuery* q, const DBFieldInfo* s)
    : chain(q),
      schema(s),
      hashSet(q != nullptr ? q->hashSet : nullptr),
      needHash(false),
      onlyHash(-1),
      separable(true) {
  if (q == nullptr || s == nullptr) return;
  int map[DB_MAXFIELDS];
  const DBFieldInfo* mapped = nullptr;
  for (const DBQuery* p = q; p != nullptr; p = p->next) {
    Sel sel;
    sel.exact = p->ExactHash();
    sel.matchEmpty = p->matchEmpty;
    sel.first = static_cast<int>(bounds.size());
    sel.count = 0;
    sel.possible = true;
    const DBRecord& lo = p->rlo;
    const DBFieldInfo* qs = lo.finfo;
    int n = 0;
    if (qs != nullptr && lo.l != nullptr)
      n = lo.l->nfields < qs->GetNFields() ? lo.l->nfields : qs->GetNFields();
    if (qs != nullptr && qs != s && qs != mapped) {
      s->MapIDs(map, qs);
      mapped = qs;
    }
    for (int j = n; j-- > 0;) {
      const DBField& a = lo.l->field[j];
      if (a.nv == 0) continue;
      const DBField* b = &a;
      const DBRecord& hi = p->rhi;
      if (hi.l != nullptr && j < hi.l->nfields && hi.l->field[j].nv > 0) b = &hi.l->field[j];
      int k = qs == s ? j : map[j];
      if (k < 0) sel.possible = false;
      bounds.push_back(Bound{k, &a, b});
      sel.count++;
    }
    if (sel.count == 0) sel.possible = false;
    if (sel.exact >= 0 || sel.matchEmpty) needHash = true;
    if (!sels.empty() && sels[0].matchEmpty != sel.matchEmpty) separable = false;
    sels.push_back(sel);
  }
  if (hashSet != nullptr && hashSet->Length() > 0) needHash = true;
  if (sels.size() == 1 && !sels[0].matchEmpty && hashSet == nullptr) onlyHash = sels[0].exact;
}

bool DBQueryPlan::Passes(const Sel& sel, const DBRecord& r, int nalloc) const {
  bool pass = sel.possible;
  for (int b = sel.first; pass && b < sel.first + sel.count; b++) {
    const Bound& bd = bounds[b];
    if (bd.k >= nalloc) return false;
    const DBField& v = r.l->field[bd.k];
    pass = v.nv > 0 ? v.MatchRange(*bd.lo, *bd.hi) : sel.matchEmpty;
  }
  return pass;
}

bool DBQueryPlan::Bounds(size_t i, int k, const DBField** lo, const DBField** hi) const {
  if (i >= sels.size()) return false;
  for (int b = sels[i].first; b < sels[i].first + sels[i].count; b++) {
    if (bounds[b].k != k) continue;
    *lo = bounds[b].lo;
    *hi = bounds[b].hi;
    return true;
  }
  return false;
}

bool DBQueryPlan::MatchSelector(const DBRecord& r, size_t i) const {
  if (r.finfo != schema || schema == nullptr || i >= sels.size()) return false;
  const Sel& sel = sels[i];
  long h = r.l != nullptr && needHash ? r.HashIndex() : -1;
  if (!(h < 0 && sel.matchEmpty)) {
    if (hashSet != nullptr && hashSet->Length() > 0) {
      if (h < 0 || !hashSet->Check(static_cast<uint32_t>(h % hashSet->Length()))) return false;
    }
    if (sel.exact >= 0 && sel.exact != h) return false;
  }
  int nalloc = 0;
  if (r.l != nullptr) nalloc = r.l->nfields < schema->nfields ? r.l->nfields : schema->nfields;
  return Passes(sel, r, nalloc);
}

bool DBQueryPlan::Match(const DBRecord& r) const {
  if (r.finfo != schema || schema == nullptr) return r.MatchQuery(chain);
  if (sels.empty()) return false;
  long h = r.l != nullptr && needHash ? r.HashIndex() : -1;
  size_t n = sels.size(), i = 0;
  if (!(h < 0 && sels[0].matchEmpty)) {
    if (hashSet != nullptr && hashSet->Length() > 0) {
      if (h < 0 || !hashSet->Check(static_cast<uint32_t>(h % hashSet->Length()))) return false;
    }
    while (i < n && sels[i].exact >= 0 && sels[i].exact != h) i++;
  }
  int nalloc = 0;
  if (r.l != nullptr) nalloc = r.l->nfields < schema->nfields ? r.l->nfields : schema->nfields;
  while (i < n) {
    const Sel& sel = sels[i];
    const bool pass = Passes(sel, r, nalloc);
    if (pass) return true;
    if (h < 0 && sel.matchEmpty) {
      i++;
    } else {
      for (i++; i < n; i++)
        if (sels[i].exact < 0 || sels[i].exact == h) break;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// DBQuery

DBQuery::DBQuery(const DBFieldInfo* schema, bool me)
    : matchEmpty(me), next(nullptr), hashSet(nullptr) {
  rlo.Init(schema, true);
  rhi.Init(schema, true);
}

DBQuery::DBQuery(DBQuery* q) : matchEmpty(false), next(q), hashSet(nullptr) {
  if (q == nullptr) return;
  matchEmpty = q->matchEmpty;
  rlo.Init(q->rlo.GetFieldInfo(), true);
  rhi.Init(q->rhi.GetFieldInfo(), true);
}

DBQuery::~DBQuery() {
  DeleteChain(next, &DBQuery::next);
}

long DBQuery::ExactHash() const {
  long e = rlo.HashIndex();
  if (e < 0 || rhi.HashIndex() != e) return -1;
  return e;
}

int DBQuery::HashSet(ABitMap* map) {
  if (map == nullptr || map->Length() == 0) {
    for (DBQuery* q = this; q != nullptr; q = q->next) q->hashSet = nullptr;
    return 0;
  }
  if (next == nullptr) {
    map->NewBitMap(0);
    hashSet = nullptr;
    return 0;
  }
  map->ClearBitMap(false);
  bool all = true;
  for (DBQuery* q = this; q != nullptr; q = q->next) {
    long e = q->ExactHash();
    if (e < 0) {
      all = false;
      break;
    }
    map->Set(static_cast<uint32_t>(e % map->Length()));
    q->hashSet = map;
  }
  if (all) return 1;
  map->NewBitMap(0);
  for (DBQuery* q = this; q != nullptr; q = q->next) q->hashSet = nullptr;
  return 0;
}

const DBQuery* DBQuery::FirstPossible(long h) const {
  if (h < 0 && matchEmpty) return this;
  if (hashSet != nullptr && hashSet->Length() > 0) {
    if (h < 0) return nullptr;
    if (!hashSet->Check(static_cast<uint32_t>(h % hashSet->Length()))) return nullptr;
  }
  long e = ExactHash();
  if (e < 0 || e == h) return this;
  for (const DBQuery* q = next; q != nullptr; q = q->next) {
    e = q->ExactHash();
    if (e < 0 || e == h) return q;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------
// DBSearch

DBSearch::DBSearch(DBAccess* db) : dbacc(nullptr), qlist(nullptr), crpos(0) {
  SetDB(db);
}

bool DBSearch::SetDB(DBAccess* db) {
  Clear();
  dbacc = db;
  return db != nullptr && db->GetHeader() != nullptr;
}

void DBSearch::Clear() {
  delete qlist;
  qlist = nullptr;
  crpos = 0;
}

void DBSearch::Reset() {
  if (crpos < 0 && qlist != nullptr) qlist->HashSet(&ihSet);
  crpos = 0;
}

int DBSearch::AddSelector(const DBRecord& lo, const DBRecord& hi, bool matchEmpty) {
  const DBFieldInfo* ls = lo.GetFieldInfo();
  int nlo = lo.GetNAlloc();
  if (ls == nullptr || nlo < 1 || dbacc == nullptr) return 0;
  const DBHeader* header = dbacc->GetHeader();
  if (header == nullptr) return 0;
  int tmpmap[DB_MAXFIELDS];
  if (hi.GetFieldInfo() != nullptr && hi.GetFieldInfo() != ls &&
      ls->MapIDs(tmpmap, hi.GetFieldInfo()))
    return 0;
  crpos = -1;
  if (qlist == nullptr) {
    qlist = new DBQuery(header, false);
  } else if (qlist->rlo.GetNAssigned() > 0) {
    qlist = new DBQuery(qlist);
    if (ihSet.Length() != static_cast<uint32_t>(DB_HASHSETLEN))
      ihSet.NewBitMap(static_cast<uint32_t>(DB_HASHSETLEN));
  }
  DBQuery* q = qlist;
  q->matchEmpty = matchEmpty;
  const DBFieldInfo* qs = q->rlo.GetFieldInfo();
  int stored = 0;
  std::vector<long> ia, ib;
  std::vector<float> fa, fb;
  std::vector<const char*> sa, sb;
  for (int j = nlo; j-- > 0;) {
    const char* name = lo.GetFieldName(j);
    int k = qs == ls ? j : (qs != nullptr ? qs->GetID(name) : -1);
    if (k < 0) continue;
    const DBField* a = lo.GetField(j);
    if (a == nullptr) continue;
    const DBField* b = hi.GetField(j);
    if (b == nullptr) b = a;
    if (a->GetDT() != b->GetDT()) {
      DMESSAGE(DMCwarning, "Type mismatch for query field %s", name);
      continue;
    }
    if (a->GetNV() != b->GetNV()) {
      DMESSAGE(DMCwarning, "Pair mismatch in query field %s", name);
      continue;
    }
    int n = a->GetNV() < kMaxBound ? a->GetNV() : kMaxBound;
    int ok = 0;
    switch (a->GetDT()) {
      case DBDTint:
        ia.resize(n);
        ib.resize(n);
        a->Get(ia.data(), n);
        b->Get(ib.data(), n);
        for (int i = 0; i < n; i++)
          if (ib[i] < ia[i]) std::swap(ia[i], ib[i]);
        ok = q->rlo.SetField(k, ia.data(), n) && q->rhi.SetField(k, ib.data(), n);
        break;
      case DBDTfloat:
        fa.resize(n);
        fb.resize(n);
        a->Get(fa.data(), n);
        b->Get(fb.data(), n);
        for (int i = 0; i < n; i++)
          if (fb[i] < fa[i]) std::swap(fa[i], fb[i]);
        ok = q->rlo.SetField(k, fa.data(), n) && q->rhi.SetField(k, fb.data(), n);
        break;
      case DBDTstring:
        sa.resize(n);
        sb.resize(n);
        a->Get(sa.data(), n);
        b->Get(sb.data(), n);
        for (int i = 0; i < n; i++)
          if (strcmp_nc(sa[i], sb[i]) > 0) std::swap(sa[i], sb[i]);
        ok = q->rlo.SetField(k, sa.data(), n) && q->rhi.SetField(k, sb.data(), n);
        break;
      default:
        DMESSAGE(DMCparameter, "Missing type in AddSelector");
        return 0;
    }
    if (!ok) {
      DMESSAGE(DMCwarning, "Cannot assign query field %s", name);
      q->rlo.ClearField(k);
      q->rhi.ClearField(k);
      continue;
    }
    stored++;
  }
  return stored > 0 ? 1 : 0;
}

int DBSearch::FindRecords(DBRecord* out, int n) {
  if (n < 1 || dbacc == nullptr || out == nullptr) return 0;
  if (crpos < 0) Reset();
  return dbacc->FindRecords(qlist, out, n, &crpos);
}

int DBSearch::FindAll(DBRecordList* list) {
  if (list == nullptr) return 0;
  if (list->GetSize() == 0 && list->Resize(64) == 0) return 0;
  if (crpos < 0) Reset();
  crpos = 0;
  int found = 0;
  for (;;) {
    int room = list->GetSize() - found;
    if (room < 1 || dbacc == nullptr) break;
    if (crpos < 0) Reset();
    PworkStep(-1);
    int got = dbacc->FindRecords(qlist, list->Array() + found, room, &crpos);
    if (got < 1) break;
    found += got;
    if (found >= list->GetSize() && list->Resize(list->GetSize() + 128) == 0) return 0;
  }
  return list->Resize(found);
}

int DBSearch::DeleteMatching() {
  if (dbacc == nullptr || qlist == nullptr) return 0;
  const int kBatch = 512;
  std::vector<DBRecord> array(kBatch);
  if (crpos < 0) Reset();
  crpos = 0;
  int found = 0, deleted = 0;
  for (;;) {
    int got = dbacc->FindRecords(qlist, array.data(), kBatch, &crpos);
    if (got < 1) break;
    found += got;
    int d = dbacc->DeleteRecords(array.data(), got);
    deleted += d;
    for (int i = 0; i < got; i++) array[i].Init();
    // Deleting moved the records behind the position: search again from the start, so
    // that no match is skipped. Only a batch that deleted something restarts, so the
    // search ends.
    if (d > 0) {
      found -= got - d;  // those found again are counted again
      crpos = 0;
    }
  }
  if (deleted < found)
    DMESSAGE(DMCwarning, "%d records missing in DeleteMatching", found - deleted);
  return deleted;
}
