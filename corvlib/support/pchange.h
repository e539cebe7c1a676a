// A count of changes to the data that records are read from: every change to a record, its
// field array, a record list or a schema moves it on. A result computed from such data (a menu's
// check marks over a large selection, say) stays valid while the count is unchanged, so it can be
// kept instead of computed again. The count only ever grows; records are changed on one thread,
// so it is kept with plain loads and stores (atomic only so that a stray reader is not a race).
#pragma once

#include <atomic>
#include <cstdint>

namespace pchange_detail {
inline std::atomic<uint64_t> count{1};
}

// Notes a change (call it before or after the change, within the same call).
inline void PnoteChange() {
  std::atomic<uint64_t>& c = pchange_detail::count;
  c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// The count now.
inline uint64_t PchangeCount() {
  return pchange_detail::count.load(std::memory_order_relaxed);
}
