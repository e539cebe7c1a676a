// The page directory: the page list of a chain and the bucket-to-pages rows of exact look-ups.
#include "db/dbpagedir.h"

#include "db/dbaccess.h"

namespace {

// Beyond this many pages the directory would grow too large (rows x pages bits): exact
// look-ups then walk the pages' own bit sets.
constexpr size_t kMaxDirectoryPages = 8192;
// A page with more hash bits than this counts as a candidate for every bucket (an unknown
// page's set is all ones) instead of filling its column.
constexpr uint32_t kWildBits = 4096;

}  // namespace

DBPageDir::DBPageDir(DBAccess* first, bool index) : head(first), indexed(index) {}

DBPageDir::~DBPageDir() {
  Reset();
}

void DBPageDir::Reset() {
  for (DBAccess* p = head; p != nullptr; p = p->next)
    if (p->indir == this) p->indir = nullptr;
  pages.clear();
  pagesOK = false;
  ready = usable = false;
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

void DBPageDir::HashAdded(size_t i, uint32_t bit) {
  if (!ready || i >= npages || bit >= static_cast<uint32_t>(DB_HASHSETLEN)) return;
  rows[bit * stride + (i >> 6)] |= uint64_t{1} << (i & 63);
}

void DBPageDir::HashChanged(size_t i) {
  if (!ready || i >= npages) return;
  gen++;
  MarkDirty(i);
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

// ORs page i's hash bits into its column, or makes it wild when its set is (nearly) full.
void DBPageDir::IndexColumn(size_t i) {
  const ABitMap& set = pages[i]->bihset;
  const uint32_t* w = set.Words();
  uint64_t mask = uint64_t{1} << (i & 63);
  size_t col = i >> 6;
  uint32_t nw = set.NumWords();
  uint32_t bits = 0;
  bool isWild = set.Length() != static_cast<uint32_t>(DB_HASHSETLEN) || w == nullptr;
  for (uint32_t k = 0; k < nw && !isWild; k++) {
    bits += static_cast<uint32_t>(__builtin_popcount(w[k]));
    if (bits > kWildBits) isWild = true;
  }
  if (isWild) {
    wild[col] |= mask;
    return;
  }
  wild[col] &= ~mask;
  for (uint32_t k = 0; k < nw; k++) {
    for (uint32_t x = w[k]; x != 0; x &= x - 1) {
      uint32_t bit = (k << 5) + static_cast<uint32_t>(__builtin_ctz(x));
      if (bit < static_cast<uint32_t>(DB_HASHSETLEN)) rows[bit * stride + col] |= mask;
    }
  }
}

void DBPageDir::Rebuild() {
  size_t n = pages.size();
  ready = usable = false;
  npages = 0;
  dirty.clear();
  isDirty.clear();
  refreshed = 0;
  gen++;
  // Another directory's pages are never taken over (only a first page keeps one).
  for (DBAccess* pg : pages)
    if (pg->indir != nullptr && pg->indir != this) return;
  if (n == 0 || n > kMaxDirectoryPages) {
    rows.clear();
    rows.shrink_to_fit();
    return;
  }
  // Room for a quarter more pages, so that appended pages rarely rebuild it.
  stride = (n + n / 4 + 64) / 64;
  rows.assign(static_cast<size_t>(DB_HASHSETLEN) * stride, 0);
  wild.assign(stride, 0);
  counts.resize(n);
  isDirty.assign(n, 0);
  unknownCounts = 0;
  for (size_t i = 0; i < n; i++) Enroll(i);
  npages = n;
  for (size_t i = 0; i < n; i++) IndexColumn(i);
  startsOK = false;
  ready = usable = true;
}

bool DBPageDir::Update() {
  if (pagesOK && !pages.empty() && pages.back()->next == nullptr) {
    if (!indexed || !usable) return false;
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
    bool fits = appended && usable && npages == old && n <= stride * 64;
    for (size_t i = old; fits && i < n; i++)
      if (pages[i]->indir != nullptr) fits = false;
    if (!fits) {
      Rebuild();
      if (!usable) return false;
    } else {
      // The new pages' columns are empty: they are filled in as dirty ones.
      counts.resize(n);
      isDirty.resize(n, 0);
      npages = n;
      for (size_t i = old; i < n; i++) {
        Enroll(i);
        MarkDirty(i);
      }
      startsOK = false;
      gen++;
    }
  }
  if (!dirty.empty()) {
    // Columns only gain bits here; once as many were filled in again as there are pages,
    // the whole directory is built anew so that stale bits do not pile up.
    if (refreshed + dirty.size() > npages + 64) {
      Rebuild();
      if (!usable) return false;
    } else {
      for (size_t i : dirty) {
        isDirty[i] = 0;
        IndexColumn(i);
      }
      refreshed += dirty.size();
      dirty.clear();
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
  return unknownCounts == 0;
}
