// The object cache: every large, rebuildable piece of memory is a CacheObject that can drop its
// memory while nobody uses it and restore it on demand. One process-wide CacheTab holds them all
// under a memory budget; big allocations first ask it to make room (CacheMakeRoom, CacheMalloc),
// and it purges the cheapest unused objects until the request fits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/memobject.h"

class CacheObject;

// One slot of the cache table. refCount 0 marks a free slot, 1 a slot owned only by its
// object, more when other code holds the object by id (CacheTab::GetCacheObject).
struct CacheEntry {
  int32_t refCount;
  CacheObject* object;
};

// The table of all cache objects. Every operation runs on the caller's thread; the
// reader/writer counter only guards against re-entry: a conflicting lock requested on the one
// thread is reported as an assertion failure and refused, never waited for.
class CacheTab {
 public:
  constexpr CacheTab() = default;
  CacheTab(const CacheTab&) = delete;
  CacheTab& operator=(const CacheTab&) = delete;

  // Each returns false (after reporting) when a conflicting lock is held.
  bool ObtainReadLock();
  void ReleaseReadLock();
  bool ObtainWriteLock();
  void ReleaseWriteLock();
  // The pause of a waiting loop: one call of the clock.
  static void Snore();

  // Registers co and returns its id (-1 when it could not be registered).
  int NewCacheEntry(CacheObject* co);
  // Clears the entry of id; it must not be held by anyone but its object.
  void DeleteCacheEntry(int id);
  // The object of id, held by one more reference until ReleaseCacheObject; null for a bad id.
  CacheObject* GetCacheObject(int id);
  // The resident object whose memory contains mem, held as above; null when none.
  CacheObject* GetCacheObject(const void* mem);
  void ReleaseCacheObject(CacheObject* co);

  // Makes room for request bytes under the budget, purging unused objects when purge is set.
  // Returns the bytes still over budget (0 when the request fits or there is no budget).
  uint64_t CheckBudget(uint64_t request, bool purge);

  int NumEntries() const { return nentries; }
  // Notes the resident bytes a survey found (or that remain after its purge).
  void SurveyDone(uint64_t resident);
  // Forgets the estimate of resident bytes: the next CheckBudget surveys the resident objects.
  void Resurvey() { estimateValid = false; }
  // Memory held beside the objects (indexes built over them) that counts against the budget
  // as in use: Charge adds delta bytes, a negative delta gives them back.
  void Charge(int64_t delta);
  uint64_t Charged() const { return chargedBeside; }
  // Puts co on the list of objects that may be resident (done when its memory is restored).
  void NoteResident(CacheObject* co);
  // Takes co off that list.
  void ForgetResident(CacheObject* co);

  int32_t nentries = 0;
  CacheEntry* entry = nullptr;
  // Where a search for the highest free entry starts: no entry at or above freeBelow is free,
  // and freeEntries counts the free ones (none spares the search).
  int32_t freeBelow = 0;
  int32_t freeEntries = 0;
  int32_t lockState = 0;      // 0 free, n > 0 readers, -1 a writer
  uint64_t memoryBudget = 0;  // bytes for resident objects; 0 disables the budget
  // The resident bytes found by the last survey plus the requests made since: an upper bound
  // of what is resident as long as memory only grows through requests. While it leaves room,
  // CheckBudget answers without a survey; the survey is made again after a sixteenth of the
  // budget was requested or 64 calls, so memory gained otherwise is found soon.
  uint64_t estimate = 0;
  uint64_t surveyBudget = 0;  // the budget the survey was made under
  uint64_t sinceSurvey = 0;
  int32_t callsSinceSurvey = 0;
  bool estimateValid = false;
  // The objects that may be resident: every object whose memory was restored through
  // GetCacheObject, and those a full survey found resident. A survey reads this list alone;
  // the whole table is read again once the checks since the last full survey reach a
  // sixteenth of its entries (so memory an object gained by other means is found too).
  CacheObject** resident = nullptr;
  int32_t nresident = 0;
  int32_t capresident = 0;
  int32_t checksSinceFull = -1;  // -1: no full survey yet
  uint64_t chargedBeside = 0;     // bytes charged beside the objects (Charge)

 private:
  // Reads the resident objects (the whole table when due) into in-use and purgeable sums.
  bool Survey(uint64_t* in_use, uint64_t* purgeable, void* candidates);
};

// The base of every swappable object. The MemObject count (nref) counts users of the resident
// memory; holders (nhold) keep the object itself alive. The object is deleted when both reach 0.
// Subclasses implement RestoreMemory (make objCache and objSize valid) and FreeMemory (drop the
// resident memory, setting objCache to null).
class CacheObject : public MemObject {
 public:
  CacheObject();
  ~CacheObject() override;

  virtual const char* ClassName() const { return "CacheObject"; }
  // Drops one holder; deletes the object when no holder and no user remain.
  virtual void HolderRelease();
  virtual bool RestoreMemory() = 0;
  virtual void FreeMemory() = 0;

  // Makes the memory resident (restoring it when purged) and retains it for the caller, who
  // gives it back with ReleaseObject. Stores the size through size when given. Null when the
  // restore fails.
  void* GetCacheObject(size_t* size = nullptr);
  void ReleaseObject(void* m);
  // The free routine of cache objects: deletes the object once it has no holder left.
  static void FreeCacheObject(MemObject* mo);

  void HolderRetain() { ++nhold; }
  int HolderCount() const { return nhold; }
  int GetCacheID() const { return id; }
  size_t GetSize() const { return objSize; }
  // What the object holds while resident: its memory and what it keeps beside it.
  size_t ChargedSize() const { return objSize + sideBytes; }
  bool IsResident() const { return objCache != nullptr; }
  bool InUse() const { return RetainCount() != 0; }
  int64_t NumRestores() const { return numRestores; }
  double RestoreTime() const { return restoreTime; }
  uint64_t LastUse() const { return lastUse; }

  // The use counter (incremented at every use of any object) and the table of all objects.
  static uint64_t nuses;
  static CacheTab tab;

 protected:
  friend class CacheTab;

  int32_t id;
  int32_t nhold;
  uint64_t lastUse;
  int64_t numRestores;
  double restoreTime;  // wall seconds the last restore took
  size_t objSize;      // bytes of resident memory
  void* objCache;      // the resident memory, null when purged
  size_t sideBytes = 0;  // memory held beside objCache while resident (views, indexes)
  int32_t residentPos = -1;  // place on the table's list of resident objects, -1 when off it
};

// Purge order of two candidates: cheaper to restore and longer unused first.
bool CostCmp(const CacheObject* a, const CacheObject* b);

// Purges under the budget to make room for bytes; returns the bytes still over budget.
uint64_t CacheMakeRoom(uint64_t bytes);
// Makes room, then allocates from the heap (free with std::free). Null, without allocating,
// for a request larger than the memory available (PmemoryAvailable), however the budget
// stands. A failure is only traced (with the caller's file and line): the caller tells the
// user what could not be had.
void* CacheMalloc(size_t bytes, const char* file, int line);

// Seconds since the epoch (microsecond resolution) and processor seconds used.
double wallTime();
double cpuTime();
