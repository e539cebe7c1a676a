// The index file beside a database: a reopen with a valid one reads no block before a look-up
// needs it; a spoiled one is reported, ignored and rebuilt, with every result as without it; a
// read-only open never writes one; and a machine stopped anywhere in a sync leaves an index file
// that either describes the database exactly or is refused.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/dbase.h"
#include "db/dbsidefile.h"
#include "db/test_access_util.h"
#include "db/test_faultfs.h"
#include "db/test_sideutil.h"
#include "support/cache.h"

using dbtest::Exists;
using dbtest::FaultFS;
using dbtest::FileDB;
using dbtest::Messages;
using dbtest::TempFile;

namespace {

// A photo file of photos [from, to), synced and closed.
void WritePhotos(const std::string& path, int from, int to) {
  FileDB d(path);
  dbtest::PhotoSchema(&d.header);
  std::vector<DBRecord> recs(static_cast<size_t>(to - from));
  for (int i = from; i < to; i++) dbtest::PhotoRecord(&recs[i - from], &d.header, i);
  ASSERT_EQ(d.db->AddRecords(recs.data(), to - from), to - from);
  ASSERT_TRUE(d.db->Close());
}

// How many stored records an exact look-up of photo i finds.
int Lookup(FileDB* d, int i) {
  DBRecord r, key;
  dbtest::PhotoRecord(&r, &d->header, i);
  key.Init(&d->header);
  key.SetField(0, r[0].GetString());
  key.SetField(2, r[2].GetInt());
  key.SetField(3, r[3].GetInt());
  DBSearch s(d->db.get());
  s.AddSelector(key, false);
  DBRecordList list(&d->header);
  return s.FindAll(&list);
}

// Every page's record count and hashes as the blocks hold them, read without the index file.
struct PageTruth {
  std::vector<int> counts;
  std::vector<std::vector<uint32_t>> hashes;
};
PageTruth ReadTruth(const std::string& path) {
  PageTruth t;
  std::unique_ptr<std::fstream> fs(dbtest::OpenStream(path));
  DBHeader h;
  {
    DBAccess db(&h, fs.get(), true);
    db.ForEachBlock(
        [](const DBRecordList& l, void* data) {
          PageTruth* pt = static_cast<PageTruth*>(data);
          pt->counts.push_back(l.GetSize());
          pt->hashes.emplace_back();
          for (int r = 0; r < l.GetSize(); r++)
            pt->hashes.back().push_back(static_cast<uint32_t>(l.Get(r).HashIndex()));
          return 0;
        },
        &t, nullptr);
  }
  h.Attach(nullptr, true);
  return t;
}

}  // namespace

TEST(IndexFile, ParserTakesBackWhatItWroteAndRefusesEveryCutAndFlippedByte) {
  DBSideFile sf;
  sf.stamp.size = 5000;
  sf.stamp.mtimeNs = 1234567890123456789LL;
  sf.stamp.ctimeNs = 42;
  sf.stamp.ino = 77;
  sf.stamp.dev = 3;
  sf.headerSize = 4096;
  sf.headerSum = 0xDEADBEEF;
  sf.lastBlockSum = 7;
  sf.pages.resize(4);
  sf.pages[0].count = 3;
  sf.pages[0].width = 9;
  sf.pages[0].hashesKnown = true;
  sf.pages[1].count = 2;  // a record without a hash: the count only
  sf.pages[1].width = 9;
  sf.pages[3].count = 0;
  sf.pages[3].width = 9;
  sf.pages[3].hashesKnown = true;
  sf.hashes = {5, 0x7FFFFFFF, 0};
  std::vector<unsigned char> bytes, again;
  sf.Compose(&bytes);
  ASSERT_EQ(bytes.size(), DBSideFile::kHeadSize + 4 * DBSideFile::kPageSize + 3 * 4 + 4);
  DBSideFile back;
  const char* why = "";
  ASSERT_TRUE(back.Parse(bytes.data(), bytes.size(), &why)) << why;
  EXPECT_TRUE(back.stamp == sf.stamp);
  EXPECT_EQ(back.pages[2].count, -1);
  EXPECT_FALSE(back.pages[1].hashesKnown);
  back.Compose(&again);
  EXPECT_EQ(again, bytes);
  for (size_t n = 0; n < bytes.size(); n++)
    EXPECT_FALSE(back.Parse(bytes.data(), n, nullptr)) << "cut at " << n;
  for (size_t i = 0; i < bytes.size(); i++) {
    for (int bit = 0; bit < 8; bit += 3) {
      std::vector<unsigned char> b = bytes;
      b[i] ^= static_cast<unsigned char>(1u << bit);
      EXPECT_FALSE(back.Parse(b.data(), b.size(), nullptr)) << "byte " << i << " bit " << bit;
    }
  }
}

// A reopen reads no block for the counts, and a look-up only the page of its record.
TEST(IndexFile, ReopenReadsNoBlockUntilALookupNeedsItsPage) {
  TempFile file("reopen");
  const int kN = 20000;
  ASSERT_NO_FATAL_FAILURE(WritePhotos(file.path, 0, kN));
  FileDB f(file.path);
  ASSERT_EQ(dbtest::IndexStatus(file.path, f.header.GetSize()), DBSideFile::kValid);
  ASSERT_GE(f.Pages(), 30);
  EXPECT_EQ(f.db->TotalRecords(), kN);
  EXPECT_EQ(f.Restores(), 0);
  EXPECT_EQ(Lookup(&f, kN / 2), 1);
  EXPECT_EQ(f.Restores(), 1);
  EXPECT_EQ(Lookup(&f, kN + 5), 0);
  EXPECT_EQ(f.Restores(), 1);
  // Adding loads only the last page; the sync writes a new index file for the new state.
  DBRecord rec;
  dbtest::PhotoRecord(&rec, &f.header, kN);
  ASSERT_TRUE(f.db->AddRecord(rec));
  ASSERT_TRUE(f.db->Sync());
  EXPECT_EQ(f.Restores(), 2);
  EXPECT_EQ(dbtest::IndexStatus(file.path, f.header.GetSize()), DBSideFile::kValid);
  f.Shut();
  f.Open();
  EXPECT_EQ(f.db->TotalRecords(), kN + 1);
  EXPECT_EQ(Lookup(&f, kN), 1);
  EXPECT_EQ(f.Restores(), 1);
}

TEST(IndexFile, SpoiledIndexFileIsReportedIgnoredAndRebuilt) {
  const int kN = 6000;
  for (int kind = 0; kind < dbtest::kIndexDamageKinds; kind++) {
    SCOPED_TRACE(dbtest::DamageName(kind));
    TempFile file("spoiled");
    ASSERT_NO_FATAL_FAILURE(WritePhotos(file.path, 0, kN));
    ASSERT_TRUE(dbtest::DamageIndex(file.path, kind, 977u * static_cast<uint32_t>(kind + 1)));
    Messages log;
    FileDB f(file.path);
    bool reported = false;
    for (const auto& e : log.entries)
      reported |= e.first == DMCwarning && e.second.find("index file") != std::string::npos;
    // A missing file is no fault: it is only built.
    EXPECT_EQ(reported, kind != dbtest::kIndexMissing) << log.All();
    EXPECT_EQ(log.CountClass(DMCdata) + log.CountClass(DMCsystem), 0) << log.All();
    EXPECT_EQ(f.db->TotalRecords(), kN);
    for (int i = 0; i < kN + 200; i += 97) ASSERT_EQ(Lookup(&f, i), i < kN ? 1 : 0) << i;
    int hsize = f.header.GetSize();
    f.Shut();
    EXPECT_EQ(dbtest::IndexStatus(file.path, hsize), DBSideFile::kValid);
  }
}

// An index file that passes every check but lies (its first and last pages empty, page 1 with
// more records than it holds) may mislead look-ups, but never costs a stored record: adding
// (to the last page) and deleting over it keep every record a plain walk of the file shows.
// An index file that passes its own checks but disagrees with a block (its record count, or a
// record's hash) is damage: the database turns read-only as the block is read, saying which,
// every record still reads back and nothing is written. Without the index file it opens for
// writing again and loses no record.
TEST(IndexFile, IndexFileThatDisagreesWithABlockMakesTheDatabaseReadOnly) {
  TempFile file("lying");
  const int kN = 6000;
  ASSERT_NO_FATAL_FAILURE(WritePhotos(file.path, 0, kN));
  std::string path = file.path + "-index";
  std::string bytes = dbtest::ReadAll(path);
  const std::string db = file.Bytes();
  for (int lie = 0; lie < 2; lie++) {
    DBSideFile sf;
    ASSERT_TRUE(
        sf.Parse(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), nullptr));
    ASSERT_GE(sf.pages.size(), 3u);
    DBSideFile::Page& e = sf.pages[1];
    ASSERT_TRUE(e.hashesKnown);
    if (lie == 0) {
      // Three records more than the block holds, hashes not listed.
      std::vector<uint32_t> hashes;
      for (size_t p = 0; p < sf.pages.size(); p++) {
        DBSideFile::Page& q = sf.pages[p];
        std::vector<uint32_t> h(sf.hashes.begin() + static_cast<long>(q.first),
                                sf.hashes.begin() + static_cast<long>(q.first + q.count));
        if (p == 1) q.count += 3, q.hashesKnown = false, h.clear();
        q.first = hashes.size();
        hashes.insert(hashes.end(), h.begin(), h.end());
      }
      sf.hashes = hashes;
    } else {
      sf.hashes[e.first + 7] ^= 1;  // one record's hash
    }
    std::vector<unsigned char> out;
    sf.Compose(&out);
    dbtest::WriteAll(path, std::string(out.begin(), out.end()));
    Messages log;
    {
      FileDB f(file.path);
      ASSERT_EQ(dbtest::IndexStatus(file.path, f.header.GetSize()), DBSideFile::kValid);
      EXPECT_FALSE(f.db->ReadOnly());
      EXPECT_EQ(f.Walk().size(), static_cast<size_t>(kN)) << lie;
      EXPECT_TRUE(f.db->ReadOnly()) << lie;
      EXPECT_EQ(f.header.WhyReadOnly().rfind("block 1 ", 0), 0u) << f.header.WhyReadOnly();
      DBRecord r;
      dbtest::PhotoRecord(&r, &f.header, kN);
      EXPECT_FALSE(f.db->AddRecord(r));
    }
    EXPECT_TRUE(log.Has(DMCdata, std::string("Corrupted database disk block: ") +
                                     (lie == 0 ? "its record count differs from the one the "
                                                 "database keeps for it"
                                               : "its records differ from the ones the "
                                                 "database's index file keeps for it")))
        << log.All();
    EXPECT_EQ(file.Bytes(), db) << lie;
  }
  ASSERT_EQ(unlink(path.c_str()), 0);
  {
    FileDB f(file.path);
    std::vector<DBRecord> add(10);
    for (int i = 0; i < 10; i++) dbtest::PhotoRecord(&add[i], &f.header, kN + i);
    ASSERT_EQ(f.db->AddRecords(add.data(), 10), 10);
    DBRecord gone;
    dbtest::PhotoRecord(&gone, &f.header, kN - 1);
    EXPECT_EQ(f.db->DeleteRecords(&gone, 1), 1);
  }
  FileDB f(file.path);
  std::vector<DBRecord> all = f.Walk();
  ASSERT_EQ(all.size(), static_cast<size_t>(kN + 10 - 1));
  for (int i = 0; i < kN + 10; i++) EXPECT_EQ(Lookup(&f, i), i == kN - 1 ? 0 : 1) << i;
}

// Blocks damaged at rest under an index file that still passes its checks (the file's stamp
// taken again, as when a disk loses bits): once one is found damaged, the counts the index
// file gives for blocks not yet read are trusted no more, so a damaged block's count never
// adds to the records counted; its records are left out and nothing is written.
TEST(IndexFile, DamagedBlocksUnderAValidIndexFileLeaveOnlyTheirRecordsOut) {
  TempFile file("rot");
  const int kN = 6000;
  ASSERT_NO_FATAL_FAILURE(WritePhotos(file.path, 0, kN));
  const std::string index = file.path + "-index";
  std::string db = file.Bytes();
  const int hs = 18871;
  ASSERT_GE((db.size() - hs) / DB_BLOCKSIZE, 4u);
  auto count = [&](int k) {
    int32_t n = 0;
    memcpy(&n, db.data() + hs + static_cast<size_t>(k) * DB_BLOCKSIZE + 4, 4);
    return n;
  };
  const int n0 = count(0), n1 = count(1), n3 = count(3);
  for (int k : {1, 3}) db[hs + static_cast<size_t>(k) * DB_BLOCKSIZE + 1] ^= 0x20;  // field count
  file.Write(db);
  std::string bytes = dbtest::ReadAll(index);
  DBSideFile sf;
  ASSERT_TRUE(
      sf.Parse(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), nullptr));
  DBSideFile::Probe now;
  ASSERT_TRUE(DBSideFile::ProbeDatabase(DBFile(file.path), hs, &now));
  sf.stamp = now.stamp;
  sf.headerSum = now.headerSum;
  sf.lastBlockSum = now.lastBlockSum;
  std::vector<unsigned char> out;
  sf.Compose(&out);
  bytes.assign(out.begin(), out.end());
  dbtest::WriteAll(index, bytes);
  ASSERT_EQ(dbtest::IndexStatus(file.path, hs), DBSideFile::kValid);
  Messages log;
  {
    FileDB f(file.path);
    EXPECT_EQ(Lookup(&f, n0), 0);  // the first photo of block 1: its block is read, and left out
    EXPECT_TRUE(f.db->ReadOnly());
    EXPECT_TRUE(f.db->Ready());
    EXPECT_EQ(f.db->TotalRecords(), kN - n1 - n3);
    EXPECT_EQ(f.Walk().size(), static_cast<size_t>(kN - n1 - n3));
    EXPECT_EQ(f.db->DamagedBlocks(), 2);
    EXPECT_EQ(Lookup(&f, 0), 1);
    EXPECT_EQ(Lookup(&f, kN - 1), 1);
  }
  EXPECT_EQ(file.Bytes(), db);
  EXPECT_EQ(dbtest::ReadAll(index), bytes);
}

TEST(IndexFile, ReadOnlyOpenNeverWritesOrRemovesTheIndexFile) {
  TempFile file("readonly");
  ASSERT_NO_FATAL_FAILURE(WritePhotos(file.path, 0, 3000));
  std::string index = file.path + "-index";
  ASSERT_EQ(unlink(index.c_str()), 0);
  {
    FileDB f(file.path, true);
    EXPECT_EQ(Lookup(&f, 10), 1);
    EXPECT_EQ(f.db->TotalRecords(), 3000);
  }
  EXPECT_FALSE(Exists(index));
  dbtest::WriteAll(index, "not an index file, and left alone");
  {
    Messages log;
    FileDB f(file.path, true);
    EXPECT_EQ(Lookup(&f, 10), 1);
    EXPECT_EQ(log.CountClass(DMCwarning), 1) << log.All();
  }
  EXPECT_EQ(dbtest::ReadAll(index), "not an index file, and left alone");
}

// For every k: a database with its index file is changed and synced with the machine stopped at
// the k-th write, fsync, removal or rename, the disk laid out as a power loss might leave it.
// Whenever the index file left is taken as valid, it tells every page's count and hashes as
// the blocks hold them; and both outcomes (taken, refused or gone) happen.
TEST(IndexFile, StopAtEveryCallLeavesAnIndexFileThatIsRightOrRefused) {
  const int kN = 2000;
  int valid = 0, refused = 0;
  for (long long k = 1;; k++) {
    ASSERT_LT(k, 1000) << "the sync never completes";
    SCOPED_TRACE("stop at call " + std::to_string(k));
    TempFile f("sidestop");
    ASSERT_NO_FATAL_FAILURE(WritePhotos(f.path, 0, kN));
    FaultFS fault(static_cast<uint32_t>(k) * 7919u, f.path);
    fault.stopAt = k;
    int hsize = 0;
    {
      Messages quiet;
      FileDB d(f.path, false, &fault);
      hsize = d.header.GetSize();
      std::vector<DBRecord> gone(300), added(700);
      for (int i = 0; i < 300; i++) dbtest::PhotoRecord(&gone[i], &d.header, i * 5);
      for (int i = 0; i < 700; i++) dbtest::PhotoRecord(&added[i], &d.header, kN + i);
      d.db->DeleteRecords(gone.data(), 300);
      d.db->AddRecords(added.data(), 700);
      bool synced = d.db->Sync();
      if (!fault.Stopped()) {
        ASSERT_TRUE(synced);
        ASSERT_EQ(dbtest::IndexStatus(f.path, hsize), DBSideFile::kValid);
        break;
      }
    }
    fault.ApplyStop();
    DBFile file(f.path);
    DBSideFile::Probe probe;
    ASSERT_TRUE(DBSideFile::ProbeDatabase(file, hsize, &probe));
    DBSideFile sf;
    if (sf.Load(file, probe, nullptr) != DBSideFile::kValid) {
      refused++;
      continue;
    }
    valid++;
    PageTruth t = ReadTruth(f.path);
    ASSERT_EQ(sf.pages.size(), t.counts.size());
    for (size_t p = 0; p < t.counts.size(); p++) {
      const DBSideFile::Page& e = sf.pages[p];
      if (e.count < 0) continue;
      ASSERT_EQ(e.count, t.counts[p]) << "page " << p;
      if (!e.hashesKnown) continue;
      std::vector<uint32_t> h(sf.hashes.begin() + static_cast<long>(e.first),
                              sf.hashes.begin() + static_cast<long>(e.first + e.count));
      ASSERT_EQ(h, t.hashes[p]) << "page " << p;
    }
  }
  EXPECT_GT(valid, 0);
  EXPECT_GT(refused, 0);
}
