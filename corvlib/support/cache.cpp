#include "support/cache.h"

#include <sys/time.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "support/dmessage.h"
#include "support/membudget.h"

uint64_t CacheObject::nuses = 1;
CacheTab CacheObject::tab;  // constant-initialised: usable from any static constructor

namespace {
constexpr int kTableGrowth = 64;
constexpr uint64_t kMiB = uint64_t{1} << 20;
// Requests from this size on are checked against the memory the system has available.
constexpr size_t kAskAvailableFrom = size_t{16} << 20;

inline uint64_t AddSat(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}
}  // namespace

double wallTime() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + 1e-6 * static_cast<double>(tv.tv_usec);
}

double cpuTime() {
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// ---------------------------------------------------------------------------------------------
// CacheTab. Everything runs on one thread, so a lock that conflicts with the one held can
// only come from re-entry (a locked section calling back into the table); waiting for it would
// never end, so it is reported and refused.

void CacheTab::Snore() {
  (void)std::clock();
}

bool CacheTab::ObtainReadLock() {
  if (!DMASSERT(lockState >= 0)) return false;
  ++lockState;
  return true;
}

void CacheTab::ReleaseReadLock() {
  if (lockState > 0) --lockState;
}

bool CacheTab::ObtainWriteLock() {
  if (!DMASSERT(lockState == 0)) return false;
  lockState = -1;
  return true;
}

void CacheTab::ReleaseWriteLock() {
  lockState = 0;
}

int CacheTab::NewCacheEntry(CacheObject* co) {
  if (!DMASSERT(co != NULL)) return -1;
  if (!ObtainWriteLock()) return -1;
  int i = freeEntries > 0 ? freeBelow : 0;
  while (i-- > 0)
    if (entry[i].refCount == 0) break;
  if (i >= 0) freeBelow = i;  // the entries above i are all held
  if (i < 0) {
    CacheEntry* grown = nullptr;
    if (nentries <= INT32_MAX - kTableGrowth)
      grown = static_cast<CacheEntry*>(
          std::realloc(entry, static_cast<size_t>(nentries + kTableGrowth) * sizeof(CacheEntry)));
    if (grown != nullptr) entry = grown;
    if (!DMASSERT_AS(grown != nullptr, "entry != NULL")) {
      ReleaseWriteLock();
      return -1;
    }
    for (int k = nentries; k < nentries + kTableGrowth; ++k) entry[k] = CacheEntry{0, nullptr};
    i = nentries;
    nentries += kTableGrowth;
    freeEntries += kTableGrowth;
    freeBelow = nentries;
  }
  freeEntries--;
  entry[i].refCount = 1;
  entry[i].object = co;
  estimateValid = false;  // the new object may come with memory of its own
  ReleaseWriteLock();
  return i;
}

void CacheTab::DeleteCacheEntry(int id) {
  if (!ObtainWriteLock()) return;
  const bool valid = (id >= 0) & (id < nentries);
  DMASSERT((id >= 0) & (id < nentries) && entry[id].refCount <= 1);
  if (valid) {
    if (entry[id].refCount > 0) freeEntries++;
    if (id >= freeBelow) freeBelow = id + 1;
    entry[id] = CacheEntry{0, nullptr};
  }
  ReleaseWriteLock();
}

CacheObject* CacheTab::GetCacheObject(int id) {
  if (!ObtainReadLock()) return nullptr;
  CacheObject* co = nullptr;
  if (DMASSERT((id >= 0) & (id < nentries) && entry[id].refCount > 0)) {
    ++entry[id].refCount;
    co = entry[id].object;
  }
  ReleaseReadLock();
  return co;
}

CacheObject* CacheTab::GetCacheObject(const void* mem) {
  if (mem == nullptr || !ObtainReadLock()) return nullptr;
  CacheObject* found = nullptr;
  const auto addr = reinterpret_cast<uintptr_t>(mem);
  for (int i = nentries; i-- > 0;) {
    CacheObject* co = entry[i].object;
    if (entry[i].refCount <= 0 || co == nullptr || !co->IsResident()) continue;
    co->lastUse = CacheObject::nuses++;  // examining an object counts as a use
    const auto base = reinterpret_cast<uintptr_t>(co->objCache);
    if (addr >= base && addr - base < co->objSize) {
      ++entry[i].refCount;
      found = co;
      break;
    }
  }
  ReleaseReadLock();
  return found;
}

void CacheTab::ReleaseCacheObject(CacheObject* co) {
  if (co == nullptr || !ObtainReadLock()) return;
  const int id = co->id;
  if (DMASSERT((id >= 0) & (id < nentries) && entry[id].refCount > 1)) --entry[id].refCount;
  ReleaseReadLock();
}

bool CostCmp(const CacheObject* a, const CacheObject* b) {
  // lastUse is always below the use counter, so the divisors are at least 1.
  const double ca = a->RestoreTime() / static_cast<double>(CacheObject::nuses - a->LastUse());
  const double cb = b->RestoreTime() / static_cast<double>(CacheObject::nuses - b->LastUse());
  return ca < cb;
}

namespace {
struct Candidate {
  int id;
  CacheObject* object;
  size_t size;
  double cost;  // restore seconds over uses since the last use
};
// Purge order: cheapest first, and among equal costs the lower entry first.
bool Cheaper(const Candidate& a, const Candidate& b) {
  return a.cost < b.cost || (a.cost == b.cost && a.id < b.id);
}
}  // namespace

void CacheTab::SurveyDone(uint64_t resident_bytes) {
  estimate = resident_bytes;
  surveyBudget = memoryBudget;
  sinceSurvey = 0;
  callsSinceSurvey = 0;
  estimateValid = true;
}

void CacheTab::Charge(int64_t delta) {
  if (delta >= 0) {
    chargedBeside = AddSat(chargedBeside, static_cast<uint64_t>(delta));
    // The estimate stays an upper bound of what is held.
    estimate = AddSat(estimate, static_cast<uint64_t>(delta));
  } else {
    const uint64_t back = static_cast<uint64_t>(-(delta + 1)) + 1;
    chargedBeside = chargedBeside > back ? chargedBeside - back : 0;
  }
}

void CacheTab::NoteResident(CacheObject* co) {
  if (co == nullptr || co->residentPos >= 0) return;
  if (nresident == capresident) {
    int32_t cap = capresident > 0 ? 2 * capresident : 64;
    auto* grown = static_cast<CacheObject**>(
        std::realloc(resident, static_cast<size_t>(cap) * sizeof(void*)));
    if (grown == nullptr) return;  // found by the next full survey instead
    resident = grown;
    capresident = cap;
  }
  co->residentPos = nresident;
  resident[nresident++] = co;
}

void CacheTab::ForgetResident(CacheObject* co) {
  const int32_t i = co->residentPos;
  if (i < 0 || i >= nresident || resident[i] != co) return;
  CacheObject* last = resident[--nresident];
  resident[i] = last;
  last->residentPos = i;
  co->residentPos = -1;
}

bool CacheTab::Survey(uint64_t* in_use, uint64_t* purgeable, void* candidates) {
  auto& cand = *static_cast<std::vector<Candidate>*>(candidates);
  if (!ObtainReadLock()) return false;
  *in_use = AddSat(*in_use, chargedBeside);
  // The whole table is read at the first survey and then at most once per nentries / 16
  // checks: amortised, a check reads a bounded number of entries besides the resident ones.
  if (checksSinceFull < 0 || checksSinceFull * 16 >= nentries) {
    checksSinceFull = 0;
    for (int i = 0; i < nentries; ++i) {
      CacheObject* co = entry[i].object;
      if (entry[i].refCount > 0 && co != nullptr && co->IsResident()) NoteResident(co);
    }
  }
  // Objects no longer resident leave the list (walked from the end, as leaving moves the
  // last one into the place).
  for (int32_t j = nresident; j-- > 0;) {
    CacheObject* co = resident[j];
    if (!co->IsResident()) {
      ForgetResident(co);
      continue;
    }
    const size_t charged = co->ChargedSize();
    if (co->InUse()) {
      *in_use = AddSat(*in_use, charged);
    } else {
      *purgeable = AddSat(*purgeable, charged);
      const double cost =
          co->RestoreTime() / static_cast<double>(CacheObject::nuses - co->LastUse());
      cand.push_back(Candidate{co->id, co, charged, cost});
    }
  }
  ReleaseReadLock();
  return true;
}

uint64_t CacheTab::CheckBudget(uint64_t request, bool purge) {
  const uint64_t budget = memoryBudget;
  if (budget == 0) return 0;
  if (checksSinceFull >= 0) checksSinceFull++;
  const uint64_t min_purge = budget / 64 + kMiB;
  if (estimateValid && surveyBudget == budget && callsSinceSurvey < 64 && sinceSurvey <= budget / 16 &&
      AddSat(estimate, request) <= budget) {
    estimate += request;
    sinceSurvey += request;
    callsSinceSurvey++;
    return 0;
  }
  estimateValid = false;

  // Survey the resident objects. Only ids and sizes are noted under the lock; the objects are
  // freed after it is given back, so a FreeMemory that calls into the table is safe.
  uint64_t in_use = 0, purgeable = 0;
  std::vector<Candidate> cand;
  if (!Survey(&in_use, &purgeable, &cand)) return 0;

  const uint64_t needed = AddSat(in_use, request);
  const uint64_t total = AddSat(purgeable, needed);
  if (total <= budget) {
    SurveyDone(total);
    return 0;
  }

  // The objects to free, cheapest first, and which of them are spared.
  std::vector<Candidate> chosen;
  std::vector<bool> spare;
  uint64_t result = 0;
  if (needed > budget) {
    // Purging cannot make the request fit; free everything that can go.
    result = needed - budget;
    if (!purge || cand.empty()) return result;  // over budget: no estimate is kept
    chosen.swap(cand);
    std::sort(chosen.begin(), chosen.end(),
              [](const Candidate& a, const Candidate& b) { return a.id < b.id; });
    spare.assign(chosen.size(), false);
  } else {
    if (!purge) return total - budget;
    const uint64_t over = total - budget;
    const uint64_t to_purge = purgeable > min_purge ? std::max(over, min_purge) : purgeable;
    if (!DMASSERT_AS(to_purge > 0, "toPurge > 0")) return 0;
    // The cheapest are taken from a heap until their sizes reach the amount: the same objects
    // in the same order as a sort of all candidates, without sorting the rest.
    auto dearer = [](const Candidate& a, const Candidate& b) { return Cheaper(b, a); };
    std::make_heap(cand.begin(), cand.end(), dearer);
    uint64_t taken = 0;
    auto end = cand.end();
    while (taken < to_purge) {
      if (!DMASSERT_AS(end != cand.begin(), "i < npurgeable")) break;
      std::pop_heap(cand.begin(), end, dearer);
      --end;
      chosen.push_back(*end);
      taken += end->size;
    }
    // Give back what was taken beyond the amount: spare earlier objects that fit the excess.
    const size_t nfree = chosen.size();
    spare.assign(nfree, false);
    uint64_t excess = taken > to_purge ? taken - to_purge : 0;
    for (size_t j = nfree > 0 ? nfree - 1 : 0; j-- > 0 && excess > 0;) {
      if (chosen[j].size <= excess) {
        spare[j] = true;
        excess -= chosen[j].size;
      }
    }
  }

  uint64_t freed = 0;
  for (size_t j = 0; j < chosen.size(); ++j) {
    if (spare[j]) continue;
    // Recheck: an earlier FreeMemory may have changed or deleted this object.
    CacheObject* co = chosen[j].object;
    const int id = chosen[j].id;
    if (id < 0 || id >= nentries || entry[id].refCount <= 0 || entry[id].object != co) continue;
    if (!co->IsResident() || co->InUse()) continue;
    const size_t size = co->objSize;
    const size_t charged = co->ChargedSize();
    co->FreeMemory();
    if (!co->IsResident()) {
      freed = AddSat(freed, charged);
      ForgetResident(co);
    }
    DMESSAGE(DMCtrace, "Purged %zu byte %s", size, co->ClassName());
  }
  if (result == 0) SurveyDone(total > freed ? total - freed : 0);
  return result;
}

// ---------------------------------------------------------------------------------------------
// CacheObject

CacheObject::CacheObject()
    : id(-1), nhold(1), lastUse(0), numRestores(0), restoreTime(0), objSize(0), objCache(nullptr) {
  nref = 0;
  freo = &CacheObject::FreeCacheObject;
  id = tab.NewCacheEntry(this);
}

CacheObject::~CacheObject() {
  DMASSERT(RetainCount() <= 0);
  DMASSERT(HolderCount() <= 1);
  tab.ForgetResident(this);
  if (id >= 0) tab.DeleteCacheEntry(id);
}

void* CacheObject::GetCacheObject(size_t* size) {
  if (objCache == nullptr) {
    const double start = wallTime();
    if (!RestoreMemory()) return nullptr;
    if (!DMASSERT(objCache != NULL)) return nullptr;
    restoreTime = wallTime() - start;
    tab.NoteResident(this);
    DMESSAGE(DMCtrace, "%s %zu byte %s", numRestores > 0 ? "Restored" : "Loaded", objSize,
             ClassName());
    ++numRestores;
  }
  Retain();
  if (size != nullptr) *size = objSize;
  lastUse = nuses++;
  return objCache;
}

void CacheObject::ReleaseObject(void* m) {
  if (m == nullptr || RetainCount() <= 0) return;
  if (!DMASSERT(m == objCache)) return;
  Release();  // the last release with no holder left deletes the object
}

void CacheObject::FreeCacheObject(MemObject* mo) {
  auto* co = static_cast<CacheObject*>(mo);
  if (co->nhold <= 0) delete co;
}

void CacheObject::HolderRelease() {
  if (--nhold <= 0 && RetainCount() <= 0) delete this;
}

// ---------------------------------------------------------------------------------------------

uint64_t CacheMakeRoom(uint64_t bytes) {
  return CacheObject::tab.CheckBudget(bytes, true);
}

void* CacheMalloc(size_t bytes, const char* file, int line) {
  CacheObject::tab.CheckBudget(bytes, true);
  // The budget is a purge target, not a ceiling (a picture may need more than it); what is
  // refused is a request the computer cannot give, which would only end in the allocator
  // failing or the system swapping. Asking the system costs a file read, so only large
  // requests ask.
  if (bytes >= kAskAvailableFrom && bytes > PmemoryAvailable()) {
    dmessagef(DMCtrace, file, line, "Refused a %zu byte request: more than the memory available",
              bytes);
    return nullptr;
  }
  void* mem = std::malloc(bytes > 0 ? bytes : 1);
  // Told by the caller, who knows what the memory was for.
  if (mem == nullptr) dmessagef(DMCtrace, file, line, "No memory for a %zu byte request", bytes);
  return mem;
}
