#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/cache.h"
#include "support/dmessage.h"

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;

std::vector<std::string> g_purged;  // names of objects in the order FreeMemory was called

// A cache object whose "memory" is either a real heap block or, for the budget arithmetic,
// a stand-in address with a nominal size.
class TestObject : public CacheObject {
 public:
  TestObject(std::string name, size_t size, bool real = false)
      : name_(std::move(name)), size_(size), real_(real) {}
  ~TestObject() override {
    if (objCache != nullptr && real_) std::free(objCache);
    objCache = nullptr;
  }
  const char* ClassName() const override { return "TestObject"; }
  bool RestoreMemory() override {
    ++restores;
    if (fail_restore) return false;
    objCache = real_ ? std::malloc(size_) : static_cast<void*>(&stand_in_);
    objSize = size_;
    return objCache != nullptr;
  }
  void FreeMemory() override {
    g_purged.push_back(name_);
    if (real_) std::free(objCache);
    objCache = nullptr;
    if (on_free) on_free();
  }
  // Sets the purge cost: restore seconds over uses since the last use.
  void SetCost(double seconds) {
    restoreTime = seconds;
    lastUse = nuses - 1;
  }
  // Makes the object resident and leaves it unused (purgeable).
  void MakePurgeable() {
    void* m = GetCacheObject();
    ASSERT_NE(m, nullptr);
    ReleaseObject(m);
  }

  int restores = 0;
  bool fail_restore = false;
  void (*on_free)() = nullptr;

 private:
  std::string name_;
  size_t size_;
  bool real_;
  char stand_in_ = 0;
};

class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_purged.clear();
    std::memcpy(saved_flags_, dmessage_class_flags, sizeof saved_flags_);
    saved_abort_ = dmessage_abort;
    dmessage_abort = [] { ++aborts; };
    aborts = 0;
    dmessage_class_flags[DMCassert] = DMArecord | DMAabort;
    CacheObject::tab.memoryBudget = 0;
  }
  void TearDown() override {
    for (TestObject* o : objects_) {
      if (o->InUse()) {
        void* m = o->GetCacheObject();
        while (o->InUse()) o->ReleaseObject(m);
      }
      o->HolderRelease();
    }
    CacheObject::tab.memoryBudget = 0;
    std::memcpy(dmessage_class_flags, saved_flags_, sizeof saved_flags_);
    dmessage_abort = saved_abort_;
  }
  TestObject* Make(const char* name, uint64_t size, bool real = false) {
    objects_.push_back(new TestObject(name, static_cast<size_t>(size), real));
    return objects_.back();
  }
  TestObject* Purgeable(const char* name, uint64_t size, double cost) {
    TestObject* o = Make(name, size);
    o->MakePurgeable();
    o->SetCost(cost);
    return o;
  }
  TestObject* Held(const char* name, uint64_t size) {
    TestObject* o = Make(name, size);
    EXPECT_NE(o->GetCacheObject(), nullptr);
    return o;
  }

  std::vector<TestObject*> objects_;
  uint32_t saved_flags_[DMCnerr + 1];
  void (*saved_abort_)();
  static int aborts;
};
int CacheTest::aborts = 0;

TEST_F(CacheTest, NoBudgetNeverPurges) {
  Purgeable("a", 50 * MiB, 0.1);
  EXPECT_EQ(CacheMakeRoom(UINT64_MAX), 0u);
  EXPECT_TRUE(g_purged.empty());
}

TEST_F(CacheTest, PurgesOnlyTheAmountOverBudgetCheapestFirst) {
  // 100 MiB budget, 60 MiB purgeable, 30 MiB in use, 20 MiB requested: 10 MiB must go.
  CacheObject::tab.memoryBudget = 100 * MiB;
  Held("used", 30 * MiB);
  Purgeable("p4", 10 * MiB, 4.0);
  Purgeable("p1", 10 * MiB, 1.0);
  Purgeable("p5", 20 * MiB, 5.0);
  Purgeable("p2", 10 * MiB, 2.0);
  Purgeable("p3", 10 * MiB, 3.0);
  EXPECT_EQ(CacheMakeRoom(20 * MiB), 0u);
  EXPECT_EQ(g_purged, std::vector<std::string>({"p1"}));
  // Within budget now: nothing more goes.
  EXPECT_EQ(CacheMakeRoom(20 * MiB), 0u);
  EXPECT_EQ(g_purged.size(), 1u);
}

TEST_F(CacheTest, SmallOvershootIsRaisedToTheMinimumPurge) {
  // 69 MiB purgeable + 30 in use + 2 requested is 1 MiB over; at least 100/64 + 1 MiB goes.
  CacheObject::tab.memoryBudget = 100 * MiB;
  Held("used", 30 * MiB);
  Purgeable("cheap2", 2 * MiB, 0.5);
  Purgeable("next1", 1 * MiB, 1.0);
  Purgeable("big66", 66 * MiB, 9.0);
  EXPECT_EQ(CacheMakeRoom(2 * MiB), 0u);
  EXPECT_EQ(g_purged, std::vector<std::string>({"cheap2", "next1"}));
}

TEST_F(CacheTest, ExcessIsGivenBackOnlyWhenAnEarlierObjectFits) {
  // Budget 64 MiB (minimum purge 2 MiB); 57 MiB requested over 16 MiB purgeable: 9 MiB go.
  CacheObject::tab.memoryBudget = 64 * MiB;
  Purgeable("m8", 8 * MiB, 1.0);
  Purgeable("m5", 5 * MiB, 2.0);
  Purgeable("m3", 3 * MiB, 3.0);
  EXPECT_EQ(CacheMakeRoom(57 * MiB), 0u);
  // 8 + 5 = 13 taken, excess 4: the 8 MiB object does not fit it, so both are purged.
  EXPECT_EQ(g_purged, std::vector<std::string>({"m8", "m5"}));
}

TEST_F(CacheTest, EarlierObjectThatFitsTheExcessIsSpared) {
  // 12 MiB purgeable, 61 MiB requested, budget 64 MiB: 9 MiB go. 1 + 3 + 8 = 12 taken,
  // excess 3: the 3 MiB object is spared.
  CacheObject::tab.memoryBudget = 64 * MiB;
  Purgeable("s1", 1 * MiB, 1.0);
  Purgeable("s3", 3 * MiB, 2.0);
  Purgeable("s8", 8 * MiB, 3.0);
  EXPECT_EQ(CacheMakeRoom(61 * MiB), 0u);
  EXPECT_EQ(g_purged, std::vector<std::string>({"s1", "s8"}));
}

TEST_F(CacheTest, RequestBeyondReachPurgesEverythingAndReportsOvershoot) {
  CacheObject::tab.memoryBudget = 100 * MiB;
  Held("used", 70 * MiB);
  Purgeable("a", 10 * MiB, 1.0);
  Purgeable("b", 5 * MiB, 2.0);
  EXPECT_EQ(CacheObject::tab.CheckBudget(40 * MiB, false), 10 * MiB);
  EXPECT_TRUE(g_purged.empty());
  EXPECT_EQ(CacheMakeRoom(40 * MiB), 10 * MiB);
  EXPECT_EQ(g_purged.size(), 2u);
  // In-use memory is never purged.
  EXPECT_TRUE(objects_[0]->IsResident());
}

TEST_F(CacheTest, LongUnusedObjectIsCheaperThanRecentlyUsedOne) {
  CacheObject::tab.memoryBudget = 64 * MiB;
  TestObject* old_one = Purgeable("old", 8 * MiB, 1.0);
  TestObject* recent = Purgeable("recent", 8 * MiB, 1.0);
  for (int i = 0; i < 9; ++i) recent->ReleaseObject(recent->GetCacheObject());
  (void)old_one;
  // Same restore time; "old" has waited longer, so its cost per use is lower.
  EXPECT_EQ(CacheMakeRoom(60 * MiB), 0u);
  ASSERT_FALSE(g_purged.empty());
  EXPECT_EQ(g_purged.front(), "old");
}

TEST_F(CacheTest, PurgedObjectIsRestoredOnNextUse) {
  CacheObject::tab.memoryBudget = 16 * MiB;
  TestObject* o = Purgeable("o", 8 * MiB, 0.0);
  EXPECT_EQ(o->restores, 1);
  EXPECT_EQ(o->NumRestores(), 1);
  EXPECT_STREQ(dmessage_record[DMCtrace], "Loaded 8388608 byte TestObject");
  CacheMakeRoom(16 * MiB);
  EXPECT_FALSE(o->IsResident());
  size_t size = 0;
  void* m = o->GetCacheObject(&size);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(size, 8 * MiB);
  EXPECT_EQ(o->restores, 2);
  EXPECT_EQ(o->NumRestores(), 2);
  EXPECT_STREQ(dmessage_record[DMCtrace], "Restored 8388608 byte TestObject");
  o->ReleaseObject(m);
  // A failed restore hands back null and leaves the object purged.
  CacheMakeRoom(16 * MiB);
  o->fail_restore = true;
  EXPECT_EQ(o->GetCacheObject(), nullptr);
  EXPECT_FALSE(o->InUse());
}

TEST_F(CacheTest, LastReleaseDeletesOnlyWithoutHolder) {
  static int deleted;
  deleted = 0;
  struct Counted : TestObject {
    Counted() : TestObject("c", 64, true) {}
    ~Counted() override { ++deleted; }
  };
  auto* kept = new Counted;
  void* m = kept->GetCacheObject();
  kept->ReleaseObject(m);  // a holder remains: stays, purgeable
  EXPECT_EQ(deleted, 0);
  EXPECT_TRUE(kept->IsResident());
  EXPECT_FALSE(kept->InUse());

  m = kept->GetCacheObject();
  kept->HolderRelease();  // still in use: not yet deleted
  EXPECT_EQ(deleted, 0);
  kept->ReleaseObject(m);  // last retain, no holder: deleted
  EXPECT_EQ(deleted, 1);
}

TEST_F(CacheTest, ReleasingForeignMemoryIsRefused) {
  TestObject* o = Make("o", 32, true);
  void* m = o->GetCacheObject();
  char other;
  o->ReleaseObject(&other);
  EXPECT_STREQ(dmessage_record[DMCassert], "assertion failed ! (m == objCache)");
  EXPECT_TRUE(o->InUse());
  o->ReleaseObject(m);
  EXPECT_FALSE(o->InUse());
}

TEST_F(CacheTest, TableGrowsBy64AndReusesFreedEntries) {
  const int before = CacheObject::tab.NumEntries();
  // Fill every free entry, then one more object grows the table.
  std::vector<TestObject*> made;
  int grown_id = -1, old_size = -1;
  for (int i = 0; i < before + 65 && grown_id < 0; ++i) {
    const int n = CacheObject::tab.NumEntries();
    made.push_back(Make("x", 16));
    if (CacheObject::tab.NumEntries() != n) {
      old_size = n;
      grown_id = made.back()->GetCacheID();
    }
  }
  ASSERT_GE(old_size, 0);
  EXPECT_EQ(CacheObject::tab.NumEntries(), old_size + 64);
  EXPECT_EQ(grown_id, old_size);
  // A deleted object's entry is free again and is the highest free one.
  TestObject* last = made.back();
  const int n = CacheObject::tab.NumEntries();
  TestObject* fresh = Make("y", 16);
  EXPECT_EQ(fresh->GetCacheID(), n - 1);
  const int freed = fresh->GetCacheID();
  objects_.pop_back();
  fresh->HolderRelease();
  EXPECT_EQ(Make("z", 16)->GetCacheID(), freed);
  EXPECT_EQ(CacheObject::tab.NumEntries(), n);
  (void)last;
}

TEST_F(CacheTest, ObjectsFoundByIdAndByAddress) {
  TestObject* a = Make("a", 100, true);
  TestObject* b = Make("b", 100, true);
  char* ma = static_cast<char*>(a->GetCacheObject());
  char* mb = static_cast<char*>(b->GetCacheObject());
  EXPECT_EQ(CacheObject::tab.GetCacheObject(ma + 99), a);
  EXPECT_EQ(CacheObject::tab.GetCacheObject(mb), b);
  EXPECT_EQ(CacheObject::tab.GetCacheObject(static_cast<const void*>(nullptr)), nullptr);
  CacheObject::tab.ReleaseCacheObject(a);
  CacheObject::tab.ReleaseCacheObject(b);
  EXPECT_EQ(CacheObject::tab.GetCacheObject(a->GetCacheID()), a);
  CacheObject::tab.ReleaseCacheObject(a);
  // Releasing an entry nobody else holds is refused.
  CacheObject::tab.ReleaseCacheObject(a);
  EXPECT_EQ(aborts, 1);
  EXPECT_EQ(CacheObject::tab.GetCacheObject(-1), nullptr);
  EXPECT_EQ(aborts, 2);
  a->ReleaseObject(ma);
  b->ReleaseObject(mb);
}

TEST_F(CacheTest, ConflictingLockIsReportedNotWaitedFor) {
  CacheTab& tab = CacheObject::tab;
  tab.lockState = -1;  // as if a writer were inside
  EXPECT_FALSE(tab.ObtainReadLock());
  EXPECT_STREQ(dmessage_record[DMCassert], "assertion failed ! (lockState >= 0)");
  EXPECT_FALSE(tab.ObtainWriteLock());
  tab.lockState = 2;
  EXPECT_FALSE(tab.ObtainWriteLock());
  tab.ReleaseReadLock();
  tab.ReleaseReadLock();
  EXPECT_EQ(tab.lockState, 0);
  tab.ReleaseReadLock();  // never goes negative
  EXPECT_EQ(tab.lockState, 0);
  EXPECT_EQ(aborts, 3);
}

TEST_F(CacheTest, FreeMemoryMayCallBackIntoTheTable) {
  // A purged object whose FreeMemory creates and deletes another cache object (as a database
  // page writing itself back might) must neither deadlock nor trip the lock checks.
  CacheObject::tab.memoryBudget = 16 * MiB;
  TestObject* o = Purgeable("o", 8 * MiB, 0.0);
  o->on_free = [] {
    auto* t = new TestObject("inner", 8);
    CacheMakeRoom(1);
    t->HolderRelease();
  };
  CacheMakeRoom(16 * MiB);
  EXPECT_EQ(aborts, 0);
  EXPECT_FALSE(o->IsResident());
  EXPECT_EQ(CacheObject::tab.lockState, 0);
}

TEST_F(CacheTest, CacheMallocPurgesThenAllocates) {
  CacheObject::tab.memoryBudget = 8 * MiB;
  Purgeable("p", 6 * MiB, 0.0);
  void* mem = CacheMalloc(4 * MiB, __FILE__, __LINE__);
  ASSERT_NE(mem, nullptr);
  EXPECT_EQ(g_purged, std::vector<std::string>({"p"}));
  std::free(mem);
}

TEST_F(CacheTest, ClocksAdvance) {
  const double w = wallTime();
  EXPECT_GT(w, 1.6e9);
  volatile double x = 0;
  const double c0 = cpuTime();
  for (int i = 0; i < 3000000; ++i) x = x + i * 0.5;
  EXPECT_GT(cpuTime(), c0);
  EXPECT_GE(wallTime(), w);
}

}  // namespace
