// The page directory of a database: the pages of its chain in order, so that a walk over many
// pages reads one array, and (kept by the first page) an index from record hash to the pages
// that may hold it, with the pages' record counts and running sums, for exact look-ups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class DBAccess;

// The index holds one entry (hash, page) per record of every page whose records' hashes are
// known: a superset of the pages holding each hash, as entries of deleted records stay until
// the index is built anew. A page whose hashes are not known (not yet read, or holding a
// record without a hash) is coarse: a candidate for every hash, left to its own bit set. A
// hash added to a page enters the index at once; any other change of a page's hashes marks it
// dirty, and dirty pages are entered again before the next look-up. counts mirrors every
// page's record count, starts their running sums (recomputed when a count changed).
class DBPageDir {
 public:
  // The directory of the chain that starts at head; without indexed only the page list.
  DBPageDir(DBAccess* head, bool indexed);
  // Takes the pages of head's chain out of the directory.
  ~DBPageDir();
  DBPageDir(const DBPageDir&) = delete;
  DBPageDir& operator=(const DBPageDir&) = delete;

  // Forgets the page list and the index; the pages of the chain report to it no more.
  void Reset();
  // Brings the page list and (when indexed) the index up to date; true when an exact look-up
  // may use the index.
  bool Update();
  const std::vector<DBAccess*>& Pages() const { return pages; }

  // What a page of the directory reports, by its place i.
  void SetCount(size_t i, int n);
  void HashAdded(size_t i, uint32_t hash);
  void HashChanged(size_t i);
  // Page i no longer holds n of the hashes the index may name it for (deleted records): once
  // such stale entries are half of the index, it is built anew.
  void HashesRemoved(size_t i, size_t n);

  // Valid after an Update that returned true.
  size_t NPages() const { return npages; }
  int Count(size_t i) const { return counts[i]; }
  long long Start(size_t i) const { return starts[i]; }
  long long Total() const { return starts[npages]; }
  // Changes of counts or hashes (other than added ones) so far.
  unsigned long Generation() const { return gen; }
  // Pages whose hashes are not known.
  size_t NCoarse() const { return coarse.size(); }

  // The places of the pages that may hold a record of hash, in chain order: the pages the
  // index names for it and every coarse page. Valid until the next call.
  const std::vector<uint32_t>& Candidates(uint32_t hash);

 private:
  void Rebuild();
  // Makes page i of the list a member of the directory.
  void Enroll(size_t i);
  void MarkDirty(size_t i);
  // Enters page i's hashes in the index, or notes it coarse; true when its coarseness changed.
  bool Learn(size_t i);
  void Insert(uint32_t hash, uint32_t page);
  void Grow();
  size_t Slot(uint32_t hash) const {
    return static_cast<size_t>((uint64_t{hash} * 0x9E3779B97F4A7C15ull) >> shift);
  }
  void ListCoarse();
  // Makes the table large enough for entries more without growing on the way.
  void Reserve(size_t entries);
  // Counts the directory's memory against the cache's budget.
  void Recharge();

  DBAccess* head;
  bool indexed;
  std::vector<DBAccess*> pages;
  bool pagesOK = false;
  bool ready = false;  // every listed page knows its place; the index valid but dirty pages
  size_t npages = 0;
  // Open addressing with linear probing: (hash << 32) | (page + 1), 0 for an empty slot.
  std::vector<uint64_t> table;
  size_t used = 0;        // entries in the table
  unsigned shift = 64;    // 64 - log2 of the table size
  size_t refreshed = 0;   // entries made again for dirty pages since the index was built
  size_t stale = 0;       // entries of hashes their pages no longer hold
  std::vector<uint32_t> coarse;  // coarse pages in chain order
  std::vector<uint8_t> isCoarse;
  std::vector<uint32_t> cand;
  std::vector<int> counts;  // records per page, -1 unknown
  std::vector<long long> starts;
  bool startsOK = false;
  size_t unknownCounts = 0;
  std::vector<size_t> dirty;
  std::vector<uint8_t> isDirty;
  unsigned long gen = 0;  // changes of counts or hashes (other than added ones)
  size_t charge = 0;      // bytes charged to the cache's budget
};
