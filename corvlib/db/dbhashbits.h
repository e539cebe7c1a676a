// The hash bits of one page: for every record, bit (hash index mod the length) is set. A page
// holds a few hundred records while the map is 32,749 bits (4 KB) long, so the set bits are
// kept as a sorted list while that is the smaller, as a bit map once it is not, and "every
// bit set" (a page not yet read, or with a record without a hash) takes no memory at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/abitmap.h"

class DBHashBits {
 public:
  // Length n with every bit set to value; false for n = 0.
  bool NewBitMap(uint32_t n, bool value = false);
  // Every bit set to value.
  void ClearBitMap(bool value = false);
  uint32_t Length() const { return len; }
  bool Check(uint32_t i) const;
  void Set(uint32_t i);
  // Whether this set and map share a set bit (true for a map of another length).
  bool Intersects(const ABitMap& map) const;
  // Heap bytes held.
  size_t Bytes() const { return list.capacity() * sizeof(uint16_t) + dense.NumWords() * 4u; }

 private:
  // Turns the list into a bit map.
  void MakeDense();

  uint32_t len = 0;
  bool all = false;            // every bit set (list and map empty)
  bool isDense = false;        // the bits are in dense, else in list
  std::vector<uint16_t> list;  // the set bits, ascending
  ABitMap dense;
};
