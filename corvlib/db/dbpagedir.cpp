// The page directory: the page list of a chain and the hash-to-page index of exact look-ups.
#include "db/dbpagedir.h"

#include <algorithm>
#include <iterator>

#include "db/dbaccess.h"
#include "support/cache.h"

DBPageDir::DBPageDir(DBAccess* first, bool index) : head(first), indexed(index) {}

DBPageDir::~DBPageDir() {
  Reset();
  CacheObject::tab.Charge(-static_cast<int64_t>(charge));
}

void DBPageDir::Recharge() {
  size_t now = table.capacity() * sizeof(uint64_t) + pages.capacity() * sizeof(DBAccess*) +
               counts.capacity() * sizeof(int) + starts.capacity() * sizeof(long long) +
               (coarse.capacity() + cand.capacity()) * sizeof(uint32_t) +
               dirty.capacity() * sizeof(size_t) + isDirty.capacity() + isCoarse.capacity();
  if (now == charge) return;
  CacheObject::tab.Charge(static_cast<int64_t>(now) - static_cast<int64_t>(charge));
  charge = now;
}

void DBPageDir::Reserve(size_t entries) {
  size_t size = table.empty() ? 1024 : table.size();
  while ((used + entries + 1) * 10 > size * 7) size *= 2;
  if (size == table.size()) return;
  std::vector<uint64_t> old;
  old.swap(table);
  table.assign(size, 0);
  shift = 64 - static_cast<unsigned>(__builtin_ctzll(size));
  used = 0;
  for (uint64_t e : old)
    if (e != 0) Insert(static_cast<uint32_t>(e >> 32), static_cast<uint32_t>(e) - 1);
}

void DBPageDir::Reset() {
  for (DBAccess* p = head; p != nullptr; p = p->next)
    if (p->indir == this) p->indir = nullptr;
  pages.clear();
  pagesOK = false;
  ready = false;
}

void DBPageDir::SetCount(size_t i, int n) {
  if (!ready || i >= npages) return;
  int& c = counts[i];
  if (c == n) return;
  if (c < 0) unknownCounts--;
  if (n < 0) unknownCounts++;
  c = n;
  startsOK = false;
  gen++;
}

void DBPageDir::HashAdded(size_t i, uint32_t hash) {
  if (!ready || i >= npages || isCoarse[i] || isDirty[i]) return;
  Insert(hash, static_cast<uint32_t>(i));
}

void DBPageDir::HashChanged(size_t i) {
  if (!ready || i >= npages) return;
  gen++;
  MarkDirty(i);
}

void DBPageDir::HashesRemoved(size_t i, size_t n) {
  if (!ready || i >= npages || isCoarse[i]) return;
  stale += n;
}

void DBPageDir::MarkDirty(size_t i) {
  if (isDirty[i]) return;
  isDirty[i] = 1;
  dirty.push_back(i);
}

void DBPageDir::Enroll(size_t i) {
  DBAccess* pg = pages[i];
  pg->indir = this;
  pg->dirIndex = i;
  counts[i] = pg->nrused;
  if (pg->nrused < 0) unknownCounts++;
}

void DBPageDir::Grow() {
  Reserve(table.empty() ? 1 : table.size() / 2);
}

void DBPageDir::Insert(uint32_t hash, uint32_t page) {
  if ((used + 1) * 10 > table.size() * 7) Grow();
  size_t mask = table.size() - 1;
  uint64_t e = (uint64_t{hash} << 32) | (uint64_t{page} + 1);
  for (size_t s = Slot(hash);; s = (s + 1) & mask) {
    if (table[s] == e) return;  // the page is already named for the hash
    if (table[s] == 0) {
      table[s] = e;
      used++;
      return;
    }
  }
}

bool DBPageDir::Learn(size_t i) {
  DBAccess* pg = pages[i];
  bool wasCoarse = isCoarse[i] != 0;
  bool known = pg->hashesKnown;
  isCoarse[i] = known ? 0 : 1;
  if (known) {
    // The slots of hashes a few ahead are asked for early: the table is far larger than the
    // caches when it is built for a whole file.
    const uint32_t* hs = pg->hashes.data();
    size_t m = pg->hashes.size();
    for (size_t k = 0; k < m; k++) {
      if (k + 8 < m && !table.empty()) __builtin_prefetch(table.data() + Slot(hs[k + 8]));
      Insert(hs[k], static_cast<uint32_t>(i));
    }
    refreshed += m;
  }
  return wasCoarse == known;
}

void DBPageDir::ListCoarse() {
  coarse.clear();
  for (size_t i = 0; i < npages; i++)
    if (isCoarse[i]) coarse.push_back(static_cast<uint32_t>(i));
}

void DBPageDir::Rebuild() {
  size_t n = pages.size();
  ready = false;
  npages = 0;
  dirty.clear();
  isDirty.clear();
  gen++;
  std::vector<uint64_t>().swap(table);  // a rebuild after many deletes may need far less
  used = 0;
  shift = 64;
  stale = 0;
  // Another directory's pages are never taken over (only a first page keeps one).
  for (DBAccess* pg : pages)
    if (pg->indir != nullptr && pg->indir != this) return;
  counts.resize(n);
  isDirty.assign(n, 0);
  isCoarse.assign(n, 1);
  unknownCounts = 0;
  for (size_t i = 0; i < n; i++) Enroll(i);
  npages = n;
  // The table is made large enough for every known hash at once, not grown on the way.
  size_t known = 0;
  for (DBAccess* pg : pages)
    if (pg->hashesKnown) known += pg->hashes.size();
  Reserve(known);
  for (size_t i = 0; i < n; i++) Learn(i);
  refreshed = 0;
  ListCoarse();
  startsOK = false;
  ready = true;
}

bool DBPageDir::Update() {
  if (pagesOK && !pages.empty() && pages.back()->next == nullptr) {
    if (!indexed || !ready) return false;
  } else {
    // Pages are only ever added at the end: a last page with a successor means new pages.
    size_t old = pagesOK ? pages.size() : 0;
    bool appended = old > 0 && pages.back()->next != nullptr;
    if (!appended) pages.clear();
    for (DBAccess* pg = appended ? pages.back()->next : head; pg != nullptr; pg = pg->next)
      pages.push_back(pg);
    pagesOK = true;
    if (!indexed) return false;
    size_t n = pages.size();
    bool fits = appended && ready && npages == old;
    for (size_t i = old; fits && i < n; i++)
      if (pages[i]->indir != nullptr) fits = false;
    if (!fits) {
      Rebuild();
      if (!ready) return false;
    } else {
      // The new pages are entered as dirty ones.
      counts.resize(n);
      isDirty.resize(n, 0);
      isCoarse.resize(n, 0);
      npages = n;
      for (size_t i = old; i < n; i++) {
        Enroll(i);
        MarkDirty(i);
      }
      startsOK = false;
      gen++;
    }
  }
  // Entries are only ever added: the index is built anew once as many were made again for
  // dirty pages as it held, or once half of it names hashes their pages no longer hold, so
  // that stale entries do not pile up (each would cost a look-up a page load).
  bool tooStale = stale > 1024 && stale * 2 > used;
  if (!dirty.empty() || tooStale) {
    if (refreshed > used + 4096 || tooStale) {
      Rebuild();
      if (!ready) return false;
    } else {
      bool changed = false;
      size_t more = 0;
      for (size_t i : dirty)
        if (pages[i]->hashesKnown) more += pages[i]->hashes.size();
      Reserve(more);
      for (size_t i : dirty) {
        isDirty[i] = 0;
        if (Learn(i)) changed = true;
      }
      dirty.clear();
      if (changed) ListCoarse();
    }
  }
  if (!startsOK) {
    starts.resize(npages + 1);
    long long sum = 0;
    for (size_t i = 0; i < npages; i++) {
      starts[i] = sum;
      if (counts[i] > 0) sum += counts[i];
    }
    starts[npages] = sum;
    startsOK = true;
  }
  Recharge();
  return unknownCounts == 0;
}

const std::vector<uint32_t>& DBPageDir::Candidates(uint32_t hash) {
  cand.clear();
  if (!table.empty()) {
    size_t mask = table.size() - 1;
    for (size_t s = Slot(hash);; s = (s + 1) & mask) {
      uint64_t e = table[s];
      if (e == 0) break;
      if (static_cast<uint32_t>(e >> 32) == hash) {
        uint32_t i = static_cast<uint32_t>(e) - 1;
        if (i < npages) cand.push_back(i);
      }
    }
    if (cand.size() > 1) std::sort(cand.begin(), cand.end());
  }
  if (!coarse.empty()) {
    size_t k = cand.size();
    cand.insert(cand.end(), coarse.begin(), coarse.end());
    std::inplace_merge(cand.begin(), cand.begin() + static_cast<std::ptrdiff_t>(k), cand.end());
    cand.erase(std::unique(cand.begin(), cand.end()), cand.end());
  }
  return cand;
}
