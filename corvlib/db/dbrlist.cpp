// Record lists: growth, sorting, search by equality, compaction, sharing and intersection.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "db/dbrlist.h"
#include "support/dmessage.h"
#include "support/pchange.h"

// Records are kept in one heap block that is grown with realloc, so a record must stay valid
// when its bytes move: its members are plain pointers and flags (the field array it refers to
// does not move).

DBRecord DBRecordList::dummy;

DBRecordList::DBRecordList(const DBFieldInfo* schema, int n)
    : finfo(nullptr), rl(nullptr), nr(0), maxr(0), mq(nullptr), spos(0) {
  Init(schema, n);
}

int DBRecordList::Init(const DBFieldInfo* schema, int n) {
  PnoteChange();
  Resize(0);
  finfo = schema;
  if (schema != nullptr)
    sord = schema->sord;
  else
    sord.Clear();
  return Resize(n);
}

void DBRecordList::Empty() {
  PnoteChange();
  rl = nullptr;
  nr = 0;
  maxr = 0;
  finfo = nullptr;
  sord.Clear();
}

static void* rawBlock(void* old, long long count) {
  const size_t bytes = static_cast<size_t>(count) * sizeof(DBRecord);
  if (count <= 0 || static_cast<unsigned long long>(count) > SIZE_MAX / sizeof(DBRecord))
    return nullptr;
  return std::realloc(old, bytes);
}

// Constructs records [from, to) of rl bound to schema (locked), each with an empty field array
// or, bare, none.
static void MakeRecords(DBRecord* rl, int from, int to, const DBFieldInfo* schema, bool bare) {
  for (int i = from; i < to; i++) {
    new (&rl[i]) DBRecord();
    if (schema == nullptr) continue;
    if (!bare) {
      rl[i].Init(schema, true);
    } else {
      rl[i].finfo = schema;
      rl[i].fieldlock = true;
      rl[i].sortord = schema->nfields > 0 ? &schema->sord : nullptr;
    }
  }
}

int DBRecordList::Resize(int n, bool bare) {
  PnoteChange();
  if (n < 0) n = 0;
  if (n == nr) return n;
  if (rl == nullptr) {
    if (n == 0) return 0;
    rl = static_cast<DBRecord*>(rawBlock(nullptr, n));
    if (rl == nullptr) {
      DMESSAGE(DMCmemory, "malloc failed in Resize");
      nr = maxr = 0;
      return 0;
    }
    MakeRecords(rl, 0, n, finfo, bare);
    nr = maxr = n;
    return n;
  }
  if (n < nr) {
    for (int i = nr; i-- > n;) rl[i].~DBRecord();
    nr = n;
    if (n == 0) {
      std::free(rl);
      rl = nullptr;
      maxr = 0;
      return 0;
    }
  }
  if (!(n <= maxr && maxr <= 2LL * n + 32)) {
    const long long cap = static_cast<long long>(n) + 32;
    void* nb = cap <= INT32_MAX ? rawBlock(rl, cap) : nullptr;
    if (nb == nullptr) {
      DMESSAGE(DMCmemory, "realloc failed in Resize");
      for (int i = nr; i-- > 0;) rl[i].~DBRecord();
      std::free(rl);
      rl = nullptr;
      nr = maxr = 0;
      return 0;
    }
    rl = static_cast<DBRecord*>(nb);
    maxr = static_cast<int>(cap);
  }
  MakeRecords(rl, nr, n, finfo, bare);
  nr = n;
  return n;
}

DBRecord& DBRecordList::NewRecord() {
  PnoteChange();
  if (nr == INT32_MAX || Resize(nr + 1) == 0) return dummy;
  return rl[nr - 1];
}

int DBRecordList::FindRecord(const DBRecord& r) const {
  if (nr == 0) return -1;
  const uintptr_t p = reinterpret_cast<uintptr_t>(&r);
  const uintptr_t b = reinterpret_cast<uintptr_t>(rl);
  if (p >= b && p < b + sizeof(DBRecord) * static_cast<size_t>(nr))
    return static_cast<int>((p - b) / sizeof(DBRecord));
  for (int i = nr; i-- > 0;)
    if (r == rl[i]) return i;
  return -1;
}

namespace {

// The sort keys of records that share one schema, resolved once: for each record a shallow
// view of each key field, side by side, so that comparisons do not walk from record to field
// array to field again and again.
struct KeyCache {
  int nkeys = 0;
  int id[15];
  bool descending[15];
  DBField* views = nullptr;

  ~KeyCache() { delete[] views; }

  // False when the records do not share one schema or memory is short.
  bool Build(const DBRecord* rl, int nr, const DBFieldSort& sord) {
    const DBFieldInfo* s = rl[0].finfo;
    if (s == nullptr) return false;
    for (int i = 1; i < nr; i++)
      if (rl[i].finfo != s) return false;
    for (int k = 0; k < 15 && sord.order[k] != 0; k++) {
      const int e = sord.order[k];
      const int fid = (e < 0 ? -e : e) - 1;
      if (fid >= s->nfields) continue;  // a key outside the schema orders nothing
      id[nkeys] = fid;
      descending[nkeys] = e < 0;
      nkeys++;
    }
    if (nkeys == 0) return true;
    views = new (std::nothrow) DBField[static_cast<size_t>(nr) * nkeys];
    if (views == nullptr) return false;
    for (int i = 0; i < nr; i++)
      for (int k = 0; k < nkeys; k++) {
        const DBField* f = rl[i].GetField(id[k]);
        if (f != nullptr) views[static_cast<size_t>(i) * nkeys + k] = f;
      }
    return true;
  }

  // The order of DBRecord::Compare, over the cached views.
  int Compare(int a, int b) const {
    const DBField* fa = views + static_cast<size_t>(a) * nkeys;
    const DBField* fb = views + static_cast<size_t>(b) * nkeys;
    for (int k = 0; k < nkeys; k++) {
      const bool sa = fa[k].GetNV() != 0, sb = fb[k].GetNV() != 0;
      if (!sa && !sb) continue;
      int r = !sa ? -1 : !sb ? 1 : fa[k].Compare(fb[k]);
      if (r != 0) {
        r = r > 0 ? 1 : -1;
        return descending[k] ? -r : r;
      }
    }
    return 0;
  }
};

}  // namespace

void DBRecordList::Sort() {
  PnoteChange();
  if (nr < 1) return;
  for (int i = 0; i < nr; i++) rl[i].sortord = &sord;
  if (nr < 2) return;
  KeyCache keys;
  const bool cached = keys.Build(rl, nr, sord);
  if (cached && keys.nkeys == 0) return;  // every record compares equal: the order stays
  // A stable bottom-up merge sort of indexes: every step is bounded by the index ranges, so
  // no comparator result can lead it outside the list.
  const size_t n = static_cast<size_t>(nr);
  int* idx = static_cast<int*>(std::malloc(sizeof(int) * n * 2));
  void* moved = std::malloc(sizeof(DBRecord) * n);
  if (idx == nullptr || moved == nullptr) {
    DMESSAGE(DMCmemory, "Out of memory sorting %d records", nr);
    std::free(idx);
    std::free(moved);
    return;
  }
  auto less = [&](int x, int y) {
    return (cached ? keys.Compare(x, y) : rl[x].Compare(rl[y])) < 0;
  };
  int* a = idx;
  int* t = idx + n;
  for (int i = 0; i < nr; i++) a[i] = i;
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      const size_t mid = lo + width < n ? lo + width : n;
      const size_t hi = lo + 2 * width < n ? lo + 2 * width : n;
      size_t i = lo, j = mid, k = lo;
      while (i < mid && j < hi) {
        if (less(a[j], a[i]))
          t[k++] = a[j++];
        else
          t[k++] = a[i++];
      }
      while (i < mid) t[k++] = a[i++];
      while (j < hi) t[k++] = a[j++];
    }
    int* s = a;
    a = t;
    t = s;
  }
  DBRecord* m = static_cast<DBRecord*>(moved);
  for (size_t i = 0; i < n; i++)
    std::memcpy(static_cast<void*>(&m[i]), static_cast<const void*>(&rl[a[i]]), sizeof(DBRecord));
  std::memcpy(static_cast<void*>(rl), moved, sizeof(DBRecord) * n);
  std::free(moved);
  std::free(idx);
}

void DBRecordList::Compact(bool dropEmpty) {
  PnoteChange();
  int k = 0;
  for (int i = 0; i < nr; i++) {
    DBRecord& r = rl[i];
    if (Drops(r, dropEmpty)) {
      r.Free();
      r.Empty();
      continue;
    }
    if (k != i) {  // slot k holds an emptied record: move this one over it
      std::memcpy(static_cast<void*>(&rl[k]), static_cast<const void*>(&r), sizeof(DBRecord));
      r.Empty();
    }
    k++;
  }
  Resize(k);
}

int DBRecordList::LinkAll(DBRecordList* other) {
  PnoteChange();
  if (other == this) return nr;
  Resize(0);
  finfo = nullptr;
  if (other == nullptr) {
    sord.Clear();
    return 0;
  }
  if (other->nr > 0 && Resize(other->nr) != other->nr) return 0;
  finfo = other->finfo;
  sord = other->sord;
  for (int i = 0; i < nr; i++) rl[i].Link(&other->rl[i]);
  return nr;
}

DBRecordList& DBRecordList::operator=(const DBRecordList& other) {
  PnoteChange();
  if (this == &other) return *this;
  if (finfo == nullptr) {
    finfo = other.finfo;
    if (finfo != nullptr)
      sord = finfo->sord;
    else
      sord.Clear();
  }
  if (Resize(other.nr) != other.nr) return *this;
  for (int i = 0; i < nr; i++) rl[i] = other.rl[i];
  return *this;
}

void DBRecordList::Intersection(DBRecord* out, bool keep) const {
  if (out == nullptr) return;
  if (!keep) out->Init(finfo, false);
  for (int i = nr; i-- > 0;) *out &= rl[i];
}
