#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "support/cache.h"
#include "support/dmessage.h"
#include "support/membudget.h"
#include "testutil/budget_guard.h"

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

  void SetSide(size_t bytes) { sideBytes = bytes; }
  // Resident without a restore through the table.
  void MakeResidentQuietly() {
    objCache = static_cast<void*>(&stand_in_);
    objSize = size_;
  }

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
  }
  void TearDown() override {
    DropAll();
    std::memcpy(dmessage_class_flags, saved_flags_, sizeof saved_flags_);
    dmessage_abort = saved_abort_;
  }
  // Gives back every use and the holder of the objects made so far.
  void DropAll() {
    for (TestObject* o : objects_) {
      if (o->InUse()) {
        void* m = o->GetCacheObject();
        while (o->InUse()) o->ReleaseObject(m);
      }
      o->HolderRelease();
    }
    objects_.clear();
    budget_.Set(0);
  }
  TestObject* Make(const char* name, uint64_t size, bool real = false) {
    objects_.push_back(new TestObject(name, static_cast<size_t>(size), real));
    return objects_.back();
  }
  // A resident, unused object with the given purge cost.
  TestObject* Purgeable(const char* name, uint64_t size, double cost) {
    TestObject* o = Make(name, size);
    void* m = o->GetCacheObject();
    EXPECT_NE(m, nullptr);
    o->ReleaseObject(m);
    o->SetCost(cost);
    return o;
  }

  std::vector<TestObject*> objects_;
  BudgetGuard budget_{0};
  uint32_t saved_flags_[DMCnerr + 1];
  void (*saved_abort_)();
  static int aborts;
};
int CacheTest::aborts = 0;

TEST_F(CacheTest, PurgeFreesCheapestObjectsOnlyAsFarAsTheBudgetNeeds) {
  struct Case {  // sizes in MiB
    const char* what;
    uint64_t budget, held, request;
    std::vector<std::tuple<const char*, uint64_t, double>> purgeable;  // name, size, cost
    uint64_t over, left;  // over budget before purging, and after
    std::vector<std::string> purged;
  };
  // clang-format off
  const Case cases[] = {
      {"no budget never purges", 0, 0, uint64_t{1} << 40, {{"a", 50, 0.1}}, 0, 0, {}},
      // 60 purgeable + 30 in use + 20 requested: the 10 over budget go, cheapest first.
      {"only the amount over budget", 100, 30, 20,
       {{"p4", 10, 4.0}, {"p1", 10, 1.0}, {"p5", 20, 5.0}, {"p2", 10, 2.0}, {"p3", 10, 3.0}},
       10, 0, {"p1"}},
      // 1 over: raised to the minimum purge of 100/64 + 1.
      {"small overshoot", 100, 30, 2, {{"cheap2", 2, 0.5}, {"next1", 1, 1.0}, {"big66", 66, 9.0}},
       1, 0, {"cheap2", "next1"}},
      // 9 to go, 8 + 5 taken, excess 4: the 8 does not fit it, so both go.
      {"excess kept when nothing fits", 64, 0, 57, {{"m8", 8, 1.0}, {"m5", 5, 2.0}, {"m3", 3, 3.0}},
       9, 0, {"m8", "m5"}},
      // 9 to go, 1 + 3 + 8 taken, excess 3: the 3 is spared.
      {"earlier object fitting the excess is spared", 64, 0, 61,
       {{"s1", 1, 1.0}, {"s3", 3, 2.0}, {"s8", 8, 3.0}}, 9, 0, {"s1", "s8"}},
      {"request beyond reach purges everything", 100, 70, 40, {{"a", 10, 1.0}, {"b", 5, 2.0}},
       10, 10, {"a", "b"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_purged.clear();
    budget_.Set(c.budget * MiB);
    TestObject* held = c.held ? Make("used", c.held * MiB) : nullptr;
    EXPECT_TRUE(!held || held->GetCacheObject() != nullptr);
    for (const auto& [name, size, cost] : c.purgeable) Purgeable(name, size * MiB, cost);
    EXPECT_EQ(CacheObject::tab.CheckBudget(c.request * MiB, false), c.over * MiB);
    EXPECT_TRUE(g_purged.empty());
    EXPECT_EQ(CacheMakeRoom(c.request * MiB), c.left * MiB);
    EXPECT_EQ(CacheMakeRoom(c.request * MiB), c.left * MiB);  // nothing more goes
    // Beyond reach everything goes, in no set order.
    if (c.left) std::sort(g_purged.begin(), g_purged.end());
    EXPECT_EQ(g_purged, c.purged);
    EXPECT_TRUE(!held || held->IsResident()) << "in-use memory is never purged";
    DropAll();
  }
}

TEST_F(CacheTest, LongUnusedObjectIsCheaperThanRecentlyUsedOne) {
  budget_.Set(64 * MiB);
  Purgeable("old", 8 * MiB, 1.0);
  TestObject* recent = Purgeable("recent", 8 * MiB, 1.0);
  for (int i = 0; i < 9; ++i) recent->ReleaseObject(recent->GetCacheObject());
  EXPECT_EQ(CacheMakeRoom(60 * MiB), 0u);
  ASSERT_FALSE(g_purged.empty());
  EXPECT_EQ(g_purged.front(), "old");
}

TEST_F(CacheTest, PurgedObjectIsRestoredOnNextUse) {
  budget_.Set(16 * MiB);
  TestObject* o = Purgeable("o", 8 * MiB, 0.0);
  EXPECT_EQ(o->NumRestores(), 1);
  EXPECT_STREQ(dmessage_record[DMCtrace], "Loaded 8388608 byte TestObject");
  CacheMakeRoom(16 * MiB);
  EXPECT_FALSE(o->IsResident());
  size_t size = 0;
  void* m = o->GetCacheObject(&size);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(size, 8 * MiB);
  EXPECT_EQ(o->NumRestores(), 2);
  EXPECT_STREQ(dmessage_record[DMCtrace], "Restored 8388608 byte TestObject");
  o->ReleaseObject(m);
  // A failed restore hands back null and leaves the object purged.
  CacheMakeRoom(16 * MiB);
  o->fail_restore = true;
  EXPECT_EQ(o->GetCacheObject(), nullptr);
  EXPECT_FALSE(o->InUse());
}

TEST_F(CacheTest, LastReleaseDeletesOnlyWithoutHolderAndForeignMemoryIsRefused) {
  static int deleted;
  deleted = 0;
  struct Counted : TestObject {
    Counted() : TestObject("c", 64, true) {}
    ~Counted() override { ++deleted; }
  };
  auto* kept = new Counted;
  void* m = kept->GetCacheObject();
  char other;
  kept->ReleaseObject(&other);
  EXPECT_STREQ(dmessage_record[DMCassert], "assertion failed ! (m == objCache)");
  EXPECT_TRUE(kept->InUse());
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

TEST_F(CacheTest, TableGrowsBy64AndReusesFreedEntries) {
  // Fill every free entry; the next object grows the table.
  int grown_id = -1, old_size = -1;
  for (int i = 0, before = CacheObject::tab.NumEntries(); i < before + 65 && grown_id < 0; ++i) {
    const int n = CacheObject::tab.NumEntries();
    TestObject* o = Make("x", 16);
    if (CacheObject::tab.NumEntries() != n) old_size = n, grown_id = o->GetCacheID();
  }
  ASSERT_GE(old_size, 0);
  EXPECT_EQ(CacheObject::tab.NumEntries(), old_size + 64);
  EXPECT_EQ(grown_id, old_size);
  // A deleted object's entry is free again and is the highest free one.
  const int n = CacheObject::tab.NumEntries();
  TestObject* fresh = Make("y", 16);
  EXPECT_EQ(fresh->GetCacheID(), n - 1);
  objects_.pop_back();
  fresh->HolderRelease();
  EXPECT_EQ(Make("z", 16)->GetCacheID(), n - 1);
  EXPECT_EQ(CacheObject::tab.NumEntries(), n);
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
  // Releasing an entry nobody else holds, or asking for a bad id, is refused.
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
  budget_.Set(16 * MiB);
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
  budget_.Set(8 * MiB);
  Purgeable("p", 6 * MiB, 0.0);
  void* mem = CacheMalloc(4 * MiB, __FILE__, __LINE__);
  ASSERT_NE(mem, nullptr);
  EXPECT_EQ(g_purged, std::vector<std::string>({"p"}));
  std::free(mem);
}

// The budget is a purge target that a picture may exceed; what the computer cannot give is
// refused without asking the allocator, and nothing is said to the user (the caller tells).
TEST_F(CacheTest, CacheMallocRefusesMoreThanTheMemoryAvailable) {
  budget_.Set(8 * MiB);
  PsetMemoryAvailable(64 * MiB);
  const unsigned before = dmessage_last_class;
  EXPECT_EQ(CacheMalloc(size_t{1} << 40, __FILE__, __LINE__), nullptr);
  EXPECT_EQ(CacheMalloc(65 * MiB, __FILE__, __LINE__), nullptr);
  EXPECT_TRUE(dmessage_last_class == before || dmessage_last_class == DMCtrace);
  void* over = CacheMalloc(32 * MiB, __FILE__, __LINE__);  // four times the budget
  PsetMemoryAvailable(0);
  EXPECT_NE(over, nullptr);
  std::free(over);
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

TEST_F(CacheTest, MemoryGainedWithoutARequestIsFoundByALaterCheck) {
  budget_.Set(100 * MiB);
  Purgeable("a", 60 * MiB, 0.5);
  TestObject* b = Make("b", 60 * MiB);
  EXPECT_EQ(CacheObject::tab.CheckBudget(MiB, true), 0u);
  EXPECT_TRUE(g_purged.empty());
  // b becomes resident by a restore that asks the table for nothing.
  void* m = b->GetCacheObject();
  ASSERT_NE(m, nullptr);
  b->ReleaseObject(m);
  b->SetCost(1.0);
  for (int i = 0; i < 100 && g_purged.empty(); i++) CacheObject::tab.CheckBudget(1, true);
  EXPECT_EQ(g_purged, std::vector<std::string>{"a"});
}

TEST_F(CacheTest, MemoryBesideTheObjectCountsAgainstTheBudget) {
  budget_.Set(100 * MiB);
  TestObject* a = Purgeable("a", 30 * MiB, 0.5);
  a->SetSide(40 * MiB);
  EXPECT_EQ(a->ChargedSize(), 70 * MiB);
  // 70 resident and 40 requested: a goes although its block alone would leave room.
  EXPECT_EQ(CacheObject::tab.CheckBudget(40 * MiB, true), 0u);
  EXPECT_EQ(g_purged, std::vector<std::string>{"a"});
}

TEST_F(CacheTest, MemoryChargedBesideObjectsCountsAsInUse) {
  budget_.Set(100 * MiB);
  Purgeable("a", 50 * MiB, 0.5);
  CacheObject::tab.Charge(static_cast<int64_t>(45 * MiB));
  // 50 resident and 45 charged: a request of 10 needs a to go.
  EXPECT_EQ(CacheObject::tab.CheckBudget(10 * MiB, true), 0u);
  EXPECT_EQ(g_purged, std::vector<std::string>{"a"});
  // Charges beyond the budget are reported like memory in use.
  CacheObject::tab.Charge(static_cast<int64_t>(60 * MiB));
  EXPECT_EQ(CacheObject::tab.CheckBudget(0, true), 5 * MiB);
  CacheObject::tab.Charge(-static_cast<int64_t>(105 * MiB));
  EXPECT_EQ(CacheObject::tab.Charged(), 0u);
  EXPECT_EQ(CacheObject::tab.CheckBudget(100 * MiB, true), 0u);
}

// Purge victims are taken cheapest first; among equal costs the lower table entry goes first,
// as a sort of all candidates would have them.
TEST_F(CacheTest, EqualCostsArePurgedInEntryOrder) {
  budget_.Set(20 * MiB);
  std::vector<TestObject*> objs;
  for (int i = 0; i < 12; i++) {
    objs.push_back(Purgeable(("o" + std::to_string(i)).c_str(), MiB, 0.0));
    objs.back()->SetCost(0.0);
  }
  std::vector<std::pair<int, std::string>> byId;
  for (int i = 0; i < 12; i++) byId.emplace_back(objs[i]->GetCacheID(), "o" + std::to_string(i));
  std::sort(byId.begin(), byId.end());
  // 12 resident and 10 requested: 2 over, raised to the minimum purge of 20/64 + 1 = 1.3125,
  // so 2 objects go.
  EXPECT_EQ(CacheMakeRoom(10 * MiB), 0u);
  EXPECT_EQ(g_purged, std::vector<std::string>({byId[0].second, byId[1].second}));
}

// An object whose memory became resident without the table (not through GetCacheObject) is
// found by a later check all the same.
TEST_F(CacheTest, ObjectMadeResidentBehindTheTableIsFoundLater) {
  budget_.Set(100 * MiB);
  Purgeable("a", 30 * MiB, 0.5);
  EXPECT_EQ(CacheObject::tab.CheckBudget(MiB, true), 0u);
  TestObject* b = Make("b", 80 * MiB);
  b->MakeResidentQuietly();
  for (int i = 0; i < 20000 && g_purged.empty(); i++) CacheObject::tab.CheckBudget(1, true);
  EXPECT_FALSE(g_purged.empty());
}
