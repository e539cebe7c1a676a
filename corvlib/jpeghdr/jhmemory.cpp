// Large work images of the encoder. Each is written once in full soon after it is allocated;
// asking for huge pages where the system offers them saves a page fault every 4 KiB.
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "jpeghdr/jhprivate.h"

void* jh_alloc_large(size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr size_t kHuge = size_t{2} << 20;
  if (n >= 2 * kHuge) {
    void* p = nullptr;
    if (posix_memalign(&p, kHuge, n) != 0) return nullptr;
    madvise(p, n / kHuge * kHuge, MADV_HUGEPAGE);  // advice only: a refusal changes nothing
    return p;
  }
#endif
  return std::malloc(n);
}
