// The hash bits of one page: a sorted list of set bits, a bit map, or every bit.
#include "db/dbhashbits.h"

#include <algorithm>

bool DBHashBits::NewBitMap(uint32_t n, bool value) {
  len = n;
  ClearBitMap(value);
  return n > 0;
}

void DBHashBits::ClearBitMap(bool value) {
  all = value && len > 0;
  std::vector<uint16_t>().swap(list);
  dense.NewBitMap(0);
  // Lengths beyond what a list entry holds always use the map.
  isDense = !all && len > 0xFFFF;
  if (isDense) dense.NewBitMap(len, false);
}

bool DBHashBits::Check(uint32_t i) const {
  if (i >= len) return false;
  if (all) return true;
  if (isDense) return dense.Check(i);
  return std::binary_search(list.begin(), list.end(), static_cast<uint16_t>(i));
}

void DBHashBits::Set(uint32_t i) {
  if (i >= len || all) return;
  if (isDense) {
    dense.Set(i);
    return;
  }
  auto at = std::lower_bound(list.begin(), list.end(), static_cast<uint16_t>(i));
  if (at != list.end() && *at == i) return;
  list.insert(at, static_cast<uint16_t>(i));
  // Two bytes a set bit against len / 8 for the map.
  if (list.size() * 16 > len) MakeDense();
}

void DBHashBits::MakeDense() {
  if (!dense.NewBitMap(len, false)) return;  // no memory: the list goes on
  for (uint16_t b : list) dense.Set(b);
  std::vector<uint16_t>().swap(list);
  isDense = true;
}

bool DBHashBits::Intersects(const ABitMap& map) const {
  if (map.Length() != len) return true;
  if (all) return map.Find(0u, true) < map.Length();
  if (isDense) {
    const uint32_t* wa = dense.Words();
    const uint32_t* wb = map.Words();
    for (uint32_t k = 0, n = dense.NumWords(); k < n; k++)
      if (wa[k] & wb[k]) return true;
    return false;
  }
  for (uint16_t b : list)
    if (map.Check(b)) return true;
  return false;
}
