// The page directory of a database: the pages of its chain in order, so that a walk over many
// pages reads one array, and (kept by the first page) a directory from each hash bucket to the
// pages that may hold it, with the pages' record counts and running sums, for exact look-ups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class DBAccess;

// rows holds one row of bits per hash bucket, a bit per page: a superset of the pages whose
// set has that bucket (wild pages aside, which may hold any). A look-up checks each
// candidate's own bit set, so bits left over from records deleted since cost time but never
// change a result. A hash bit added to a page sets its directory bit at once; any other change
// of a page's set marks its column dirty, and dirty columns are filled in again (their bits
// OR-ed in) before the next look-up. counts mirrors every page's record count, starts their
// running sums (recomputed when a count changed).
class DBPageDir {
 public:
  // The directory of the chain that starts at head; without indexed only the page list.
  DBPageDir(DBAccess* head, bool indexed);
  // Takes the pages of head's chain out of the directory.
  ~DBPageDir();
  DBPageDir(const DBPageDir&) = delete;
  DBPageDir& operator=(const DBPageDir&) = delete;

  // Forgets the page list and the directory; the pages of the chain report to it no more.
  void Reset();
  // Brings the page list and (when indexed) the directory up to date; true when an exact
  // look-up may use the directory.
  bool Update();
  const std::vector<DBAccess*>& Pages() const { return pages; }

  // What a page of the directory reports, by its place i.
  void SetCount(size_t i, int n);
  void HashAdded(size_t i, uint32_t bit);
  void HashChanged(size_t i);

  // Valid after an Update that returned true.
  size_t NPages() const { return npages; }
  int Count(size_t i) const { return counts[i]; }
  long long Start(size_t i) const { return starts[i]; }
  long long Total() const { return starts[npages]; }
  // Changes of counts or sets (other than added bits) so far.
  unsigned long Generation() const { return gen; }

  // Calls fn(i) for the place i of every page that may hold hash bucket bit, in chain order,
  // until fn returns false.
  template <class Fn>
  void ForEachCandidate(uint32_t bit, Fn fn) const {
    const uint64_t* row = rows.data() + static_cast<size_t>(bit) * stride;
    const uint64_t* wl = wild.data();
    for (size_t w = 0; w < stride; w++) {
      for (uint64_t x = row[w] | wl[w]; x != 0; x &= x - 1) {
        size_t i = (w << 6) + static_cast<size_t>(__builtin_ctzll(x));
        if (i >= npages || !fn(i)) return;
      }
    }
  }

 private:
  void Rebuild();
  // Makes page i of the list a member of the directory.
  void Enroll(size_t i);
  void MarkDirty(size_t i);
  void IndexColumn(size_t i);

  DBAccess* head;
  bool indexed;
  std::vector<DBAccess*> pages;
  bool pagesOK = false;
  bool ready = false;   // every listed page knows its place; columns valid but dirty ones
  bool usable = false;  // ready, and the chain is not too long for a directory
  size_t npages = 0;
  size_t stride = 0;  // 64-bit words per row
  std::vector<uint64_t> rows;
  std::vector<uint64_t> wild;  // pages that may hold any bucket
  std::vector<int> counts;     // records per page, -1 unknown
  std::vector<long long> starts;
  bool startsOK = false;
  size_t unknownCounts = 0;
  std::vector<size_t> dirty;
  std::vector<uint8_t> isDirty;
  size_t refreshed = 0;   // columns filled in again since the directory was built
  unsigned long gen = 0;  // changes of counts or sets (other than added bits)
};
