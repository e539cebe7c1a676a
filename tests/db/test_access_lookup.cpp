// Exact look-ups through the first page's page directory against a plain walk of every record:
// random interleavings of adding, deleting, reopening (with the index file sound, missing or
// spoiled) and tiny memory budgets must leave every look-up, every continued search and every
// FindAll exactly as the walk says.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/dbase.h"
#include "db/test_access_util.h"
#include "db/test_sideutil.h"
#include "support/cache.h"
#include "testutil/budget_guard.h"

using dbtest::TempFile;

namespace {

struct Rng {
  uint32_t x;
  uint32_t Next() {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<uint32_t>(n)); }
};

// The photo schema over a file of its own.
class LookupFixture : public dbtest::FileDB {
 public:
  explicit LookupFixture(const std::string& path) : FileDB(path) { dbtest::PhotoSchema(&header); }
};

// Runs query q in batches of random size from position 0 and checks each batch and the
// position after it against the walk: the next matches at or after the position, the
// position just past the last one when the batch filled, else the total.
void CheckBatches(DBAccess* db, const DBQuery* q, const std::vector<DBRecord>& all, Rng* rng,
                  const char* what) {
  std::vector<size_t> match;
  for (size_t i = 0; i < all.size(); i++)
    if (all[i].MatchQuery(q)) match.push_back(i);
  int pos = rng->Below(3) == 0 ? rng->Below(static_cast<int>(all.size()) + 2) : 0;
  size_t next = 0;
  while (next < match.size() && match[next] < static_cast<size_t>(pos)) next++;
  for (int round = 0; round < 64; round++) {
    int n = 1 + rng->Below(3);
    DBRecord out[3];
    int before = pos;
    int got = db->FindRecords(q, out, n, &pos);
    int want =
        static_cast<int>(match.size() - next < static_cast<size_t>(n) ? match.size() - next : n);
    ASSERT_EQ(got, want) << what << " from position " << before;
    for (int k = 0; k < got; k++)
      ASSERT_TRUE(out[k] == all[match[next + k]]) << what << " record " << k;
    next += static_cast<size_t>(got);
    int wantPos =
        got == n ? static_cast<int>(match[next - 1] + 1)
                 : (before > static_cast<int>(all.size()) ? before : static_cast<int>(all.size()));
    ASSERT_EQ(pos, wantPos) << what << " position after " << got << " from " << before;
    if (got < n) break;
  }
}

// An exact key of record i of the photo kind (name, size, hash).
void ExactKey(DBRecord* key, const DBFieldInfo* s, int i) {
  DBRecord r;
  dbtest::PhotoRecord(&r, s, i);
  key->Init(s);
  key->SetField(0, r[0].GetString());
  key->SetField(2, r[2].GetInt());
  key->SetField(3, r[3].GetInt());
}

void CheckLookups(LookupFixture* f, Rng* rng, int ids, int lookups) {
  std::vector<DBRecord> all = f->Walk();
  ASSERT_EQ(static_cast<int>(all.size()), f->db->TotalRecords());
  for (int l = 0; l < lookups; l++) {
    DBRecord key;
    // Mostly keys that are stored, some that never were.
    int id = rng->Below(4) == 0 ? ids + rng->Below(ids) : rng->Below(ids);
    ExactKey(&key, &f->header, id);
    DBSearch s(f->db.get());
    ASSERT_EQ(s.AddSelector(key, false), 1);
    ASSERT_GE(s.GetQuery()->ExactHash(), 0);
    ASSERT_NO_FATAL_FAILURE(CheckBatches(f->db.get(), s.GetQuery(), all, rng, "exact"));
    if (l % 8 == 0) {
      // FindAll of the same key, of an OR of two keys and of a size range.
      DBRecordList list(&f->header);
      size_t want = 0;
      for (const DBRecord& r : all) want += r.MatchQuery(s.GetQuery());
      ASSERT_EQ(static_cast<size_t>(s.FindAll(&list)), want);
      DBRecord other;
      ExactKey(&other, &f->header, rng->Below(ids));
      DBSearch two(f->db.get());
      two.AddSelector(key, false);
      two.AddSelector(other, false);
      DBRecordList list2(&f->header);
      int got2 = two.FindAll(&list2);
      size_t k = 0;
      for (const DBRecord& r : all) {
        if (!r.MatchQuery(two.GetQuery())) continue;
        ASSERT_LT(k, static_cast<size_t>(got2));
        ASSERT_TRUE(list2.Get(static_cast<int>(k)) == r);
        k++;
      }
      ASSERT_EQ(k, static_cast<size_t>(got2));
      DBRecord lo(&f->header), hi(&f->header);
      long a = 100000L + 37L * rng->Below(ids);
      lo.SetField(2, a);
      hi.SetField(2, a + 37L * 40);
      DBSearch range(f->db.get());
      range.AddSelector(lo, hi, false);
      ASSERT_NO_FATAL_FAILURE(CheckBatches(f->db.get(), range.GetQuery(), all, rng, "range"));
    }
  }
}

// Photo id as a record, its title padded to pad bytes (so that a block holds few records).
void PaddedPhoto(DBRecord* r, const DBFieldInfo* s, int id, int pad) {
  dbtest::PhotoRecord(r, s, id);
  if (pad <= 0) return;
  std::string title = "Photo " + std::to_string(id) + " ";
  title.resize(static_cast<size_t>(pad), '.');
  r->SetField(8, title.c_str());
}

// One random run: ids distinct photos, initial records first, then steps of random changes
// each followed by look-ups.
void RandomRun(uint32_t seed, int ids, int initial, int steps, int minPages, int pad = 0) {
  TempFile file("lookup");
  BudgetGuard budget;
  Rng rng{seed};
  LookupFixture f(file.path);
  std::vector<DBRecord> recs;
  for (int i = 0; i < initial; i++) {
    recs.emplace_back();
    PaddedPhoto(&recs.back(), &f.header, i % ids, pad);
  }
  ASSERT_EQ(f.db->AddRecords(recs.data(), initial), initial);
  int pages = 0;
  for (const DBAccess* p = f.db.get(); p != nullptr; p = p->NextPage()) pages++;
  ASSERT_GE(pages, minPages);
  bool overFile = true;  // the handle was opened with the file (not through Init alone)
  for (int step = 0; step < steps; step++) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
    switch (rng.Below(8)) {
      case 0:
      case 1: {  // add a batch, duplicates of stored photos among them
        int n = 1 + rng.Below(400);
        std::vector<DBRecord> add(n);
        for (DBRecord& r : add) {
          PaddedPhoto(&r, &f.header, rng.Below(ids), pad);
          // Now and then one without a hash value: its page may then hold any hash.
          if (rng.Below(64) == 0) r.ClearField(3);
        }
        ASSERT_EQ(f.db->AddRecords(add.data(), n), n);
        break;
      }
      case 2: {  // delete some stored records
        std::vector<DBRecord> all = f.Walk();
        if (all.empty()) break;
        std::vector<DBRecord> del;
        int n = 1 + rng.Below(200);
        for (int k = 0; k < n; k++) del.push_back(all[rng.Below(static_cast<int>(all.size()))]);
        all.clear();
        EXPECT_GT(f.db->DeleteRecords(del.data(), n), 0);
        break;
      }
      case 3: {  // delete every copy of one photo, or a size range
        DBSearch s(f.db.get());
        if (rng.Below(2)) {
          DBRecord key;
          ExactKey(&key, &f.header, rng.Below(ids));
          s.AddSelector(key, false);
        } else {
          DBRecord lo(&f.header), hi(&f.header);
          long a = 100000L + 37L * rng.Below(ids);
          lo.SetField(2, a);
          hi.SetField(2, a + 37L * rng.Below(300));
          s.AddSelector(lo, hi, false);
        }
        std::vector<DBRecord> all = f.Walk();
        int want = 0;
        for (const DBRecord& r : all) want += r.MatchQuery(s.GetQuery());
        all.clear();
        EXPECT_EQ(s.DeleteMatching(), want);
        break;
      }
      case 4:  // close and reopen, as a new handle or through Init
        if (rng.Below(2)) {
          // A handle over the file leaves a sound index file when it closes; now and then it
          // is spoiled before the reopen, which reports it and learns the pages anew.
          int hsize = f.header.GetSize();
          f.Shut();
          if (overFile) {
            EXPECT_EQ(dbtest::IndexStatus(file.path, hsize), DBSideFile::kValid);
          }
          int kind = rng.Below(dbtest::kIndexDamageKinds + 1);
          bool spoiled = kind < dbtest::kIndexDamageKinds &&
                         dbtest::DamageIndex(file.path, kind, rng.Next());
          dbtest::Messages log;
          f.Open();
          if (spoiled && kind != dbtest::kIndexMissing) {
            EXPECT_EQ(log.CountClass(DMCwarning), 1) << dbtest::DamageName(kind) << log.All();
          }
          overFile = true;
        } else {
          ASSERT_TRUE(f.db->Close());
          ASSERT_TRUE(f.db->Init(&f.header, nullptr, false));
          overFile = false;
        }
        break;
      case 5:  // a budget of a few blocks, or none
        budget.Set(rng.Below(2) ? static_cast<uint64_t>(1 + rng.Below(3)) * DB_BLOCKSIZE : 0);
        if (rng.Below(2)) CacheMakeRoom(1);
        break;
      case 6:
        ASSERT_TRUE(f.db->Sync());
        break;
      default:
        break;
    }
    ASSERT_NO_FATAL_FAILURE(CheckLookups(&f, &rng, ids, 12));
  }
  budget.Set(0);
  ASSERT_TRUE(f.db->Close());
  f.Shut();
  EXPECT_QDB_SOUND(file.path);
}

}  // namespace

TEST(AccessLookup, RandomChangesKeepExactLookupsEqualToAWalkOfAllRecords) {
  for (uint32_t seed = 1; seed <= 6; seed++) {
    ASSERT_NO_FATAL_FAILURE(RandomRun(seed * 2654435761u, 1500, 3000, 40, 5));
  }
}

// Over sixty pages, so that a directory row spans more than one word.
TEST(AccessLookup, ManyPagesKeepExactLookupsEqualToAWalkOfAllRecords) {
  ASSERT_NO_FATAL_FAILURE(RandomRun(977, 12000, 38000, 8, 65));
}

// Beyond 8,192 pages (a file of over 540 MB): run by hand with LUMERIN_DB_LARGE=1.
TEST(AccessLookup, OverEightThousandPagesKeepExactLookupsEqualToAWalkOfAllRecords) {
  if (std::getenv("LUMERIN_DB_LARGE") == nullptr)
    GTEST_SKIP() << "set LUMERIN_DB_LARGE=1 to run the 8,300-page model test";
  ASSERT_NO_FATAL_FAILURE(RandomRun(4242, 60000, 75000, 6, 8193, 7000));
}

// Once every page was read, a look-up loads only pages that hold its hash: none for photos
// not stored, one for a stored photo, however many pages the file has.
TEST(AccessLookup, LookupsLoadOnlyPagesHoldingTheirHash) {
  TempFile file("pages");
  const int kN = 20000;
  {
    LookupFixture f(file.path);
    std::vector<DBRecord> recs(kN);
    for (int i = 0; i < kN; i++) dbtest::PhotoRecord(&recs[i], &f.header, i);
    ASSERT_EQ(f.db->AddRecords(recs.data(), kN), kN);
    ASSERT_TRUE(f.db->Close());
  }
  dbtest::FileDB f(file.path);
  ASSERT_GE(f.Pages(), 30);
  BudgetGuard budget(DB_BLOCKSIZE);
  DBRecord probe;
  ExactKey(&probe, &f.header, 0);
  DBSearch first(f.db.get());
  first.AddSelector(probe, false);
  DBRecord out[2];
  ASSERT_EQ(first.FindRecords(out, 2), 1);  // reads every page once: their hashes are learnt
  for (int i = 0; i < 200; i++) {
    bool stored = i % 2 == 0;
    DBRecord key;
    ExactKey(&key, &f.header, stored ? 97 * i : kN + 1000 + i);
    CacheMakeRoom(2 * DB_BLOCKSIZE);  // the pages go
    long long before = f.Restores();
    DBSearch s(f.db.get());
    s.AddSelector(key, false);
    ASSERT_EQ(s.FindRecords(out, 2), stored ? 1 : 0) << "photo " << i;
    EXPECT_LE(f.Restores() - before, stored ? 1 : 0) << "photo " << i;
  }
}

namespace {

// A file of n photos, closed.
void WritePhotos(const std::string& path, int n) {
  LookupFixture f(path);
  std::vector<DBRecord> recs(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) dbtest::PhotoRecord(&recs[static_cast<size_t>(i)], &f.header, i);
  ASSERT_EQ(f.db->AddRecords(recs.data(), n), n);
  ASSERT_TRUE(f.db->Close());
}

int Lookup(dbtest::FileDB* f, int id, DBRecord* out) {
  DBRecord key;
  ExactKey(&key, &f->header, id);
  DBSearch s(f->db.get());
  s.AddSelector(key, false);
  return s.FindRecords(out, 2);
}

}  // namespace

// Under a budget of a few blocks, look-ups keep what is resident (blocks, what is built beside
// them, and the hashes and index charged beside the pages) within the budget, and find what a
// walk finds.
TEST(AccessLookup, LookupsUnderABudgetKeepResidentMemoryWithinIt) {
  TempFile file("budget");
  const int kN = 12000;
  ASSERT_NO_FATAL_FAILURE(WritePhotos(file.path, kN));
  dbtest::FileDB f(file.path);
  ASSERT_EQ(f.db->TotalRecords(), kN);
  DBRecord out[2];
  ASSERT_EQ(Lookup(&f, 1, out), 1);  // the index is built
  const uint64_t beside = CacheObject::tab.Charged();
  EXPECT_GT(beside, 0u);
  const uint64_t kBudget = beside + 6 * DB_BLOCKSIZE;
  BudgetGuard budget(kBudget);
  CacheMakeRoom(1);  // the budget applies from the next request on
  for (int i = 0; i < 400; i++) {
    int id = (i * 7919) % kN;
    ASSERT_EQ(Lookup(&f, id, out), 1) << "photo " << id;
    DBRecord want;
    dbtest::PhotoRecord(&want, &f.header, id);
    ASSERT_TRUE(out[0] == want) << "photo " << id;
    uint64_t resident = CacheObject::tab.Charged();
    for (const DBAccess* p = f.db.get(); p != nullptr; p = p->NextPage())
      if (p->IsResident()) resident += p->ChargedSize();
    ASSERT_LE(resident, kBudget + DB_BLOCKSIZE) << "after photo " << id;
  }
}

// A block read again is checked again unless it is byte for byte the block checked before:
// one changed on disk while the database is open is learnt again, and a damaged one is
// refused, not decoded.
TEST(AccessLookup, BlockChangedOnDiskAfterItsCheckIsCheckedAgain) {
  TempFile file("changed");
  const int kN = 3000;
  ASSERT_NO_FATAL_FAILURE(WritePhotos(file.path, kN));
  dbtest::FileDB f(file.path);
  ASSERT_EQ(static_cast<int>(f.Walk().size()), kN);  // every block read and checked
  DBRecord out[2];
  ASSERT_EQ(Lookup(&f, 0, out), 1);
  const int perPage = f.db->NRecords();
  ASSERT_GT(kN, 3 * perPage);
  {
    BudgetGuard none(1);
    CacheMakeRoom(1);  // every block goes
  }
  // A sound change: the size of block 2's first photo. Its new identity is found, its old
  // one no longer.
  const int moved = perPage + f.db->NextPage()->NRecords();
  {
    std::fstream io(file.path, std::ios::in | std::ios::out | std::ios::binary);
    long long cell = f.header.GetSize() + 2LL * DB_BLOCKSIZE + DB_BLOCKHEAD + 2 * DB_CELLSIZE;
    io.seekp(cell + 4);
    int32_t size = 777;
    io.write(reinterpret_cast<const char*>(&size), 4);
  }
  EXPECT_EQ(Lookup(&f, moved, out), 0);
  DBRecord key;
  ExactKey(&key, &f.header, moved);
  key.SetField(2, 777L);
  DBSearch byNew(f.db.get());
  byNew.AddSelector(key, false);
  EXPECT_EQ(byNew.FindRecords(out, 2), 1);
  // Block 1, record 0, field 1 (held by offset) made to point before its string area.
  {
    std::fstream io(file.path, std::ios::in | std::ios::out | std::ios::binary);
    long long cell = f.header.GetSize() + DB_BLOCKSIZE + DB_BLOCKHEAD + DB_CELLSIZE;
    io.seekp(cell + 4);
    int32_t off = 16;
    io.write(reinterpret_cast<const char*>(&off), 4);
  }
  dbtest::Messages log;
  EXPECT_EQ(Lookup(&f, perPage, out), 0);  // the first photo of block 1
  EXPECT_TRUE(
      log.Has(DMCdata, "Corrupted database disk block: data offset outside the string area"))
      << log.All();
  EXPECT_EQ(f.db->NextPage()->State(), DBPSerror);
  // Unchanged blocks read again are still used.
  EXPECT_EQ(Lookup(&f, 0, out), 1);
  EXPECT_EQ(Lookup(&f, moved + 5, out), 1);
  f.db->Close();
}

// After most records were deleted, looking up a deleted photo loads no page: the index no
// longer names pages for hashes they lost.
TEST(AccessLookup, DeletedPhotosCostNoPageLoads) {
  TempFile file("deleted");
  const int kN = 12000;
  ASSERT_NO_FATAL_FAILURE(WritePhotos(file.path, kN));
  dbtest::FileDB f(file.path);
  DBRecord out[2];
  ASSERT_EQ(Lookup(&f, 0, out), 1);  // every page read
  ASSERT_EQ(Lookup(&f, 1, out), 1);  // the index built from what they hold
  std::vector<DBRecord> gone;
  for (int i = 0; i < kN; i++) {
    if (i % 4 == 0) continue;
    gone.emplace_back();
    dbtest::PhotoRecord(&gone.back(), &f.header, i);
  }
  ASSERT_EQ(f.db->DeleteRecords(gone.data(), static_cast<int>(gone.size())),
            static_cast<int>(gone.size()));
  ASSERT_EQ(Lookup(&f, 4, out), 1);
  BudgetGuard budget(1);
  for (int i = 1; i < 400; i += 4) {
    CacheMakeRoom(1);
    long long before = f.Restores();
    ASSERT_EQ(Lookup(&f, i, out), 0) << "photo " << i;
    EXPECT_EQ(f.Restores(), before) << "photo " << i;
    ASSERT_EQ(Lookup(&f, i - 1, out), 1) << "photo " << i - 1;
  }
}
