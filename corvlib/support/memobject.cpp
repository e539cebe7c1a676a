#include "support/memobject.h"

#include <cstdlib>
#include <new>

#include "support/dmessage.h"

int MemObject::Release() {
  const int n = --nref;
  if (n == 0 && freo != nullptr) freo(this);
  return n;
}

void MemObject::FreeObj(MemObject* mo) {
  delete mo;
}

namespace {
// A raw block's header: only the count and free routine are used, and it is never deleted
// through a virtual call (SysFree returns the memory directly).
struct RawHeader final : MemObject {};
static_assert(sizeof(RawHeader) <= MOBJ_HEADER_SIZE, "header must fit its slot");
}  // namespace

MemObject* MobjAlloc(size_t size) {
  if (size > SIZE_MAX - MOBJ_HEADER_SIZE) return nullptr;
  void* mem = nullptr;
  if (posix_memalign(&mem, MOBJ_HEADER_SIZE, MOBJ_HEADER_SIZE + size) != 0) return nullptr;
  MemObject* mo = new (mem) RawHeader();
  mo->freo = SysFree;
  return mo;
}

MemObject* MobjAllocReport(size_t size, const char* file, int line) {
  MemObject* mo = MobjAlloc(size);
  if (mo == nullptr)
    dmessagef(DMCmemory, file, line, "malloc failed on %lu byte request", (unsigned long)size);
  return mo;
}

void* MobjMemAlloc(size_t size) {
  MemObject* mo = MobjAlloc(size);
  return mo != nullptr ? MobjMem(mo) : nullptr;
}

void* MobjMemAllocReport(size_t size, const char* file, int line) {
  MemObject* mo = MobjAllocReport(size, file, line);
  return mo != nullptr ? MobjMem(mo) : nullptr;
}

void MOMrelease(void* ptr) {
  if (ptr == nullptr) return;
  MemObject* mo = MobjHeader(ptr);
  const int n = --mo->nref;
  if (n > 0) return;
  if (n < 0) {
    DMESSAGE(DMCparameter, "Negative reference count (%d)", n);
    return;
  }
  if (mo->freo != nullptr) mo->freo(mo);
}

void SysFree(MemObject* mo) {
  if (mo == nullptr) return;
  mo->~MemObject();
  std::free(mo);
}
