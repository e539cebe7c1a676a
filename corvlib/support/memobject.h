// Reference-counted memory: the MemObject header shared by every object and raw block that
// several owners hold. The release that brings the count to 0 calls the free routine.
#pragma once

#include <cstddef>
#include <cstdint>

class MemObject {
 public:
  using FreeFunc = void (*)(MemObject*);

  MemObject() : nref(1), freo(&MemObject::FreeObj) {}
  virtual ~MemObject() = default;
  MemObject(const MemObject&) = delete;
  MemObject& operator=(const MemObject&) = delete;

  int Retain() { return ++nref; }
  // Drops one reference; at 0 calls the free routine when there is one.
  int Release();
  int RetainCount() const { return nref; }
  static void FreeObj(MemObject* mo);

  int32_t nref;
  FreeFunc freo;
};

// Bytes between a raw block's header and its user bytes; keeps user memory 64-byte aligned,
// so pixel rows can be processed with vector loads.
constexpr size_t MOBJ_HEADER_SIZE = 64;

// Raw blocks: a MemObject header followed by size bytes, freed with SysFree.
MemObject* MobjAlloc(size_t size);
MemObject* MobjAllocReport(size_t size, const char* file, int line);
void* MobjMemAlloc(size_t size);
void* MobjMemAllocReport(size_t size, const char* file, int line);
// The user bytes of a raw block and the header of a user pointer.
inline void* MobjMem(MemObject* mo) {
  return reinterpret_cast<char*>(mo) + MOBJ_HEADER_SIZE;
}
inline MemObject* MobjHeader(void* ptr) {
  return reinterpret_cast<MemObject*>(static_cast<char*>(ptr) - MOBJ_HEADER_SIZE);
}
// Releases one reference of a raw block given by its user pointer (null is ignored).
void MOMrelease(void* ptr);
inline void MOMretain(void* ptr) {
  if (ptr != nullptr) MobjHeader(ptr)->Retain();
}
// The free routine of raw blocks: returns the block to the heap.
void SysFree(MemObject* mo);
