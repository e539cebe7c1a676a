// The paged record store over real files: round trips under a memory budget, the file layout,
// byte orders, page pruning, deletion, damaged blocks and the outside checker.
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "db/dbase.h"
#include "db/test_access_util.h"
#include "db/test_faultfs.h"
#include "support/cache.h"
#include "testutil/budget_guard.h"

using dbtest::FileDB;
using dbtest::Messages;
using dbtest::TempFile;

namespace {

std::vector<DBRecord> MakeRecords(const DBFieldInfo* s, int n, int from = 0) {
  std::vector<DBRecord> recs(n);
  for (int i = 0; i < n; i++) dbtest::PhotoRecord(&recs[i], s, from + i);
  return recs;
}

// Writes the photo records 0..n-1 (and extra more, not written) of schema (a photo schema that
// outlives them) to a new file at path and returns them all.
std::vector<DBRecord> WritePhotoFile(const std::string& path, const DBFieldInfo* schema, int n,
                                     int extra = 0) {
  std::vector<DBRecord> recs = MakeRecords(schema, n + extra);
  FileDB d(path);
  dbtest::PhotoSchema(&d.header);
  EXPECT_EQ(d.db->AddRecords(recs.data(), n), n);
  EXPECT_TRUE(d.db->Close());
  return recs;
}

// A stream buffer in memory whose writes can be made to fail.
class FlakyBuf : public std::stringbuf {
 public:
  bool failing = false;

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    return failing ? 0 : std::stringbuf::xsputn(s, n);
  }
  int_type overflow(int_type c) override {
    return failing ? traits_type::eof() : std::stringbuf::overflow(c);
  }
};

}  // namespace

TEST(AccessFile, RecordsSurviveCloseAndReopenUnderTinyMemoryBudget) {
  TempFile f("roundtrip");
  const int kN = 3000;
  DBFieldInfo schema;  // the records' own schema, mapped by name onto the file's
  dbtest::PhotoSchema(&schema);
  std::vector<DBRecord> originals = MakeRecords(&schema, kN);
  {
    BudgetGuard budget(3 * DB_BLOCKSIZE);  // far fewer blocks than the file holds
    FileDB d(f.path);
    ASSERT_GT(d.header.GetSize(), 0);
    dbtest::PhotoSchema(&d.header);
    ASSERT_EQ(d.db->AddRecords(originals.data(), kN), kN);
    EXPECT_GE(d.Pages(), 5);
    ASSERT_TRUE(d.db->Close());
  }
  {
    BudgetGuard budget(3 * DB_BLOCKSIZE);
    FileDB d(f.path);
    ASSERT_EQ(d.header.GetNFields(), 9);
    EXPECT_EQ(d.db->TotalRecords(), kN);
    std::vector<DBRecord> back(kN);
    ASSERT_EQ(d.db->GetRecords(back.data(), kN, 0), kN);
    for (int i = 0; i < kN; i++) {
      ASSERT_TRUE(back[i] == originals[i]) << "record " << i;
      EXPECT_EQ(back[i][1].GetNV(), 2);
      EXPECT_EQ(back[i][6].GetInt(2), originals[i][6].GetInt(2));
      EXPECT_FLOAT_EQ(back[i][7].GetFloat(2), originals[i][7].GetFloat(2));
    }
    // A query over two fields, run while blocks come and go.
    DBSearch s(d.db.get());
    DBRecord lo(&d.header), hi(&d.header);
    lo.SetField(2, 100000L + 37 * 1000);
    hi.SetField(2, 100000L + 37 * 1999);
    lo.SetField(4, 37.0f);
    hi.SetField(4, 37.5f + 1500 * 0.001f);
    ASSERT_EQ(s.AddSelector(lo, hi, false), 1);
    DBRecordList found(&d.header);
    EXPECT_EQ(s.FindAll(&found), 501);  // records 1000 .. 1500
    // Every page was loaded more than once (by GetRecords and the query; the counts come from
    // the index file): the budget evicted them between uses.
    EXPECT_GE(d.Restores(), 2 * d.Pages());
    ASSERT_TRUE(d.db->Close());
  }
  EXPECT_QDB_SOUND(f.path);
}

TEST(AccessFile, NewFileHasHeaderThenWholeBlocks) {
  TempFile f("layout");
  FileDB d(f.path);
  EXPECT_EQ(d.header.GetSize(), 18871);
  EXPECT_EQ(d.Pages(), 1);
  dbtest::PhotoSchema(&d.header);
  auto recs = MakeRecords(&d.header, 700);
  ASSERT_EQ(d.db->AddRecords(recs.data(), 700), 700);
  ASSERT_TRUE(d.db->Sync());
  int pages = d.Pages();
  EXPECT_GE(pages, 2);
  d.fs->flush();
  EXPECT_EQ(f.Size(), 18871LL + pages * 65548LL);
  std::string bytes = f.Bytes();
  EXPECT_EQ(bytes.compare(0, 9, "QRDB = {\n"), 0);
  EXPECT_EQ(bytes.compare(9, 21, "Software = (unknown)\n"), 0);
  EXPECT_EQ(bytes[18870], '\n');
  for (int k = 0; k < pages; k++) {
    uint16_t magic;
    memcpy(&magic, bytes.data() + 18871 + 65548LL * k, 2);
    EXPECT_EQ(magic, DB_BLOCKMAGIC) << "block " << k;
  }
  ASSERT_TRUE(d.db->Close());
  EXPECT_QDB_SOUND(f.path);
}

namespace {

// Big-endian byte writers for a file built by hand, as the original machines wrote them.
void Be16(std::string* s, size_t at, uint16_t v) {
  (*s)[at] = static_cast<char>(v >> 8);
  (*s)[at + 1] = static_cast<char>(v);
}
void Be32(std::string* s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) (*s)[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

// A database file of HeaderSize 18871 with a schema of an int, a string, a float array and a
// multi-valued string, and one block of two records in big-endian order. bigEndianHeader sets
// the header's BigEndian claim.
std::string BigEndianFile(int bigEndianHeader) {
  std::string text =
      "QRDB = {\nSoftware = (unknown)\nFieldSize = 8\nFieldsPerBlock = 8192\nBigEndian = " +
      std::to_string(bigEndianHeader) +
      "\nHeaderSize = 18871\nFieldInfo = {\n\tSortOrder = 2 0\n"
      "\t\"NBytes\",\t4096,\tint,\t\"File Length\"\n"
      "\t\"File\",\t4096,\tstring,\t\"File Name\"\n"
      "\t\"Levels\",\t1,\tfloat,\t\"Levels\"\n"
      "\t\"Keyword\",\t1,\tstring,\t\"Keywords\"\n"
      "} // FieldInfo\n}\t// QRDB\n";
  text.append(18871 - text.size(), '\n');
  std::string blk(65548, '\0');
  Be16(&blk, 0, 0x1A72);
  Be16(&blk, 2, 4);  // fields
  Be32(&blk, 4, 2);  // records
  // String area from the back: "a.jpg\0\0\0" (8), "b.jpg\0\0\0" (8), floats 1.5 -2 (8),
  // "sea\0sky\0" (8).
  size_t end = 65548;
  size_t sA = end - 8, sB = end - 16, fl = end - 24, kw = end - 32;
  memcpy(&blk[sA], "a.jpg", 5);
  memcpy(&blk[sB], "b.jpg", 5);
  Be32(&blk, fl, 0x3FC00000);      // 1.5f
  Be32(&blk, fl + 4, 0xC0000000);  // -2.0f
  memcpy(&blk[kw], "sea\0sky", 7);
  Be32(&blk, 8, 32);  // string bytes
  auto cell = [&](int r, int f) { return static_cast<size_t>(12 + 8 * (r * 4 + f)); };
  auto offcell = [&](int r, int f, uint8_t dt, uint8_t flg, uint16_t nv, size_t data) {
    size_t c = cell(r, f);
    blk[c] = static_cast<char>(dt);
    blk[c + 1] = static_cast<char>(flg);
    Be16(&blk, c + 2, nv);
    Be32(&blk, c + 4, static_cast<uint32_t>(data - c));
  };
  // Record 0: NBytes 1000, File a.jpg, Levels {1.5, -2}, Keyword {sea, sky}.
  blk[cell(0, 0)] = 1;
  Be16(&blk, cell(0, 0) + 2, 1);
  Be32(&blk, cell(0, 0) + 4, 1000);
  offcell(0, 1, 3, 8, 1, sA);
  offcell(0, 2, 2, 9, 2, fl);
  offcell(0, 3, 3, 13, 2, kw);
  // Record 1: NBytes 70000, File b.jpg, Keyword {sea, sky} (shared run).
  blk[cell(1, 0)] = 1;
  Be16(&blk, cell(1, 0) + 2, 1);
  Be32(&blk, cell(1, 0) + 4, 70000);
  offcell(1, 1, 3, 8, 1, sB);
  offcell(1, 3, 3, 13, 2, kw);
  return text + blk;
}

void ExpectBigEndianRecords(DBAccess* db, DBHeader* h) {
  std::vector<DBRecord> r(2);
  ASSERT_EQ(db->GetRecords(r.data(), 2, 0), 2);
  EXPECT_EQ(r[0][0].GetInt(), 1000);
  EXPECT_STREQ(r[0][1].GetString(), "a.jpg");
  ASSERT_EQ(r[0][2].GetNV(), 2);
  EXPECT_FLOAT_EQ(r[0][2].GetFloat(0), 1.5f);
  EXPECT_FLOAT_EQ(r[0][2].GetFloat(1), -2.0f);
  ASSERT_EQ(r[0][3].GetNV(), 2);
  EXPECT_STREQ(r[0][3].GetString(1), "sky");
  EXPECT_EQ(r[1][0].GetInt(), 70000);
  EXPECT_STREQ(r[1][1].GetString(), "b.jpg");
  EXPECT_EQ(r[1][2].GetNV(), 0);
  EXPECT_EQ(h->BigEndianFile(), 1);
}

}  // namespace

TEST(AccessFile, BigEndianFileLoadsAndKeepsItsByteOrder) {
  TempFile f("bigend");
  f.Write(BigEndianFile(1));
  EXPECT_QDB_SOUND(f.path);  // the file built here is sound to begin with
  {
    Messages log;
    FileDB d(f.path);
    ASSERT_GT(d.header.GetSize(), 0);
    ExpectBigEndianRecords(d.db.get(), &d.header);
    EXPECT_FALSE(log.Has("Unexpected byte swap in database block"));
    // A change is written back most significant byte first.
    DBRecord r(&d.header);
    r.SetField(0, 5L);
    r.SetField(1, "c.jpg");
    float lv[3] = {0.25f, 4.0f, 1e6f};
    r.SetField(2, lv, 3);
    ASSERT_TRUE(d.db->AddRecord(r));
    ASSERT_TRUE(d.db->Close());
  }
  std::string bytes = f.Bytes();
  EXPECT_EQ(static_cast<unsigned char>(bytes[18871]), 0x1A);
  EXPECT_EQ(static_cast<unsigned char>(bytes[18872]), 0x72);
  EXPECT_QDB_SOUND(f.path);
  FileDB d(f.path, true);
  ExpectBigEndianRecords(d.db.get(), &d.header);
  std::vector<DBRecord> all(3);
  ASSERT_EQ(d.db->GetRecords(all.data(), 3, 0), 3);
  EXPECT_FLOAT_EQ(all[2][2].GetFloat(2), 1e6f);
  EXPECT_STREQ(all[2][1].GetString(), "c.jpg");
}

TEST(AccessFile, BlockInOtherOrderThanHeaderClaimsWarnsAndLoads) {
  TempFile f("bigend_claim");
  f.Write(BigEndianFile(0));
  Messages log;
  FileDB d(f.path, true);
  ASSERT_GT(d.header.GetSize(), 0);
  std::vector<DBRecord> r(2);
  ASSERT_EQ(d.db->GetRecords(r.data(), 2, 0), 2);
  EXPECT_TRUE(log.Has(DMCwarning, "Unexpected byte swap in database block"));
  EXPECT_EQ(r[1][0].GetInt(), 70000);
  EXPECT_STREQ(r[0][3].GetString(0), "sea");
}

TEST(AccessFile, ExactIdentitySearchLoadsNoPageWhoseHashBitIsClear) {
  TempFile f("exact");
  const int kN = 4000;
  DBFieldInfo schema;
  dbtest::PhotoSchema(&schema);
  std::vector<DBRecord> recs = WritePhotoFile(f.path, &schema, kN);
  FileDB d(f.path);
  ASSERT_EQ(d.db->TotalRecords(), kN);  // every page loaded once and indexed
  int pages = d.Pages();
  ASSERT_GE(pages, 6);
  {
    BudgetGuard budget(1);
    CacheMakeRoom(1);  // evicts every block
  }
  for (const DBAccess* p = d.db.get(); p != nullptr; p = p->NextPage())
    ASSERT_FALSE(p->IsResident());
  const int target = 2345;
  DBRecord key(&d.header);
  key.SetField(0, recs[target][0].GetString());
  key.SetField(2, recs[target][2].GetInt());
  key.SetField(3, recs[target][3].GetInt());
  long h = key.HashIndex();
  ASSERT_GE(h, 0);
  std::vector<long long> before;
  int clear = 0;
  for (const DBAccess* p = d.db.get(); p != nullptr; p = p->NextPage()) {
    before.push_back(p->NumRestores());
    clear += !p->HashBits().Check(static_cast<uint32_t>(h % DB_HASHSETLEN));
  }
  EXPECT_GE(clear, pages - 2);
  DBSearch s(d.db.get());
  ASSERT_EQ(s.AddSelector(key, false), 1);
  DBRecord out[4];
  EXPECT_EQ(s.FindRecords(out, 4), 1);
  EXPECT_TRUE(out[0] == recs[target]);
  int k = 0, loaded = 0;
  for (const DBAccess* p = d.db.get(); p != nullptr; p = p->NextPage(), k++) {
    bool bit = p->HashBits().Check(static_cast<uint32_t>(h % DB_HASHSETLEN));
    if (!bit) {
      EXPECT_EQ(p->NumRestores(), before[k]) << "page " << k << " loaded";
    }
    loaded += p->NumRestores() != before[k];
  }
  EXPECT_GE(loaded, 1);
  // A range query over the same field loads every page.
  DBSearch all(d.db.get());
  DBRecord lo(&d.header), hi(&d.header);
  lo.SetField(2, 0L);
  hi.SetField(2, 1L << 30);
  all.AddSelector(lo, hi, false);
  DBRecordList list(&d.header);
  EXPECT_EQ(all.FindAll(&list), kN);
}

TEST(AccessFile, DeleteMatchingRemovesEveryMatchBeyondOneBatch) {
  TempFile f("delete");
  {
    FileDB d(f.path);
    dbtest::PhotoSchema(&d.header);
    auto recs = MakeRecords(&d.header, 2500);
    ASSERT_EQ(d.db->AddRecords(recs.data(), 2500), 2500);
    DBSearch s(d.db.get());
    DBRecord lo(&d.header), hi(&d.header);
    lo.SetField(2, 100000L + 37 * 300);
    hi.SetField(2, 100000L + 37 * 1899);  // 1,600 matches: more than three batches
    ASSERT_EQ(s.AddSelector(lo, hi, false), 1);
    Messages log;
    EXPECT_EQ(s.DeleteMatching(), 1600);
    EXPECT_FALSE(log.Has("1600 records missing in DeleteMatching"));
    EXPECT_EQ(d.db->TotalRecords(), 900);
    DBRecordList left(&d.header);
    s.Reset();
    EXPECT_EQ(s.FindAll(&left), 0);
    ASSERT_TRUE(d.db->Close());
  }
  EXPECT_QDB_SOUND(f.path);
  FileDB d(f.path);
  EXPECT_EQ(d.db->TotalRecords(), 900);
  std::vector<DBRecord> r(900);
  ASSERT_EQ(d.db->GetRecords(r.data(), 900, 0), 900);
  for (const DBRecord& x : r) {
    long nb = x[2].GetInt();
    EXPECT_TRUE(nb < 100000L + 37 * 300 || nb > 100000L + 37 * 1899);
  }
}

TEST(AccessFile, DeletingEqualRecordsAndEmptyingAPage) {
  TempFile f("delete_eq");
  FileDB d(f.path);
  dbtest::PhotoSchema(&d.header);
  auto recs = MakeRecords(&d.header, 10);
  DBRecord same[3] = {recs[4], recs[4], recs[4]};
  ASSERT_EQ(d.db->AddRecords(recs.data(), 10), 10);
  ASSERT_EQ(d.db->AddRecords(same, 3), 3);
  EXPECT_EQ(d.db->DeleteRecords(&recs[4], 1), 4);
  EXPECT_EQ(d.db->State(), DBPScompact);
  EXPECT_EQ(d.db->TotalRecords(), 9);
  EXPECT_EQ(d.db->DeleteRecords(recs.data(), 10), 9);
  EXPECT_EQ(d.db->TotalRecords(), 0);
  EXPECT_EQ(d.db->State(), DBPSsync);
  ASSERT_TRUE(d.db->Close());
  EXPECT_QDB_SOUND(f.path);
}

TEST(AccessFile, CorruptBlockIsReportedAndOtherPagesStillRead) {
  TempFile f("corrupt");
  int perPage0 = 0;
  {
    FileDB d(f.path);
    dbtest::PhotoSchema(&d.header);
    auto recs = MakeRecords(&d.header, 1500);
    ASSERT_EQ(d.db->AddRecords(recs.data(), 1500), 1500);
    ASSERT_GE(d.Pages(), 3);
    perPage0 = d.db->NRecords();
    ASSERT_TRUE(d.db->Close());
  }
  // Point the first cell of block 1 before its string area.
  std::string bytes = f.Bytes();
  size_t cell = 18871 + 65548 + 12 + 8;  // record 0, field 1 (Location, held by offset)
  int32_t off = 16;
  memcpy(&bytes[cell + 4], &off, 4);
  f.Write(bytes);
  Messages log;
  FileDB d(f.path);
  const int total = d.db->TotalRecords();
  EXPECT_TRUE(
      log.Has(DMCdata, "Corrupted database disk block: data offset outside the string area"))
      << log.All();
  // The damaged block is left out: the file is only read, and the other blocks are read.
  EXPECT_TRUE(d.db->Ready());
  EXPECT_TRUE(d.db->ReadOnly());
  EXPECT_EQ(d.db->NextPage()->State(), DBPSerror);
  DBSearch s(d.db.get());
  DBRecord lo(&d.header), hi(&d.header);
  lo.SetField(2, 0L);
  hi.SetField(2, 1L << 30);
  s.AddSelector(lo, hi, false);
  DBRecordList list(&d.header);
  int perPage1 = 0;
  int found = s.FindAll(&list);
  EXPECT_GT(found, perPage0);
  for (const DBAccess* p = d.db->NextPage()->NextPage(); p != nullptr; p = p->NextPage())
    perPage1 += const_cast<DBAccess*>(p)->NRecords();
  EXPECT_EQ(found, perPage0 + perPage1);
  EXPECT_EQ(total, perPage0 + perPage1);
  // The damaged block is never written back (and Close tells of the page in error).
  EXPECT_FALSE(d.db->Close());
  EXPECT_EQ(f.Bytes().compare(18871 + 65548, 65548, bytes, 18871 + 65548, 65548), 0);
}

TEST(AccessFile, RecordBiggerThanABlockIsRefusedWithoutNewPages) {
  TempFile f("big");
  FileDB d(f.path);
  dbtest::PhotoSchema(&d.header);
  DBRecord r(&d.header);
  std::vector<std::string> texts(400, std::string(199, 'x'));
  std::vector<const char*> ptrs;
  for (size_t i = 0; i < texts.size(); i++) {
    texts[i][0] = static_cast<char>('a' + i % 26);
    texts[i][1] = static_cast<char>('a' + i / 26);
    ptrs.push_back(texts[i].c_str());
  }
  ASSERT_EQ(r.SetField(5, ptrs.data(), 400), 1);
  r.SetField(0, "huge.jpg");
  Messages log;
  EXPECT_FALSE(d.db->AddRecord(r));
  EXPECT_TRUE(log.Has(DMCdata, "Record bigger than database block"));
  EXPECT_EQ(log.CountClass(DMCassert), 0);
  EXPECT_EQ(d.Pages(), 1);
  auto ok = MakeRecords(&d.header, 3);
  EXPECT_EQ(d.db->AddRecords(ok.data(), 3), 3);
  EXPECT_EQ(d.db->TotalRecords(), 3);
  ASSERT_TRUE(d.db->Close());
  EXPECT_QDB_SOUND(f.path);
}

TEST(AccessFile, FieldBeyondTheBlockRowIsNotWritten) {
  TempFile f("row");
  FileDB d(f.path);
  d.header.Field("A", DBDTint, "A", 0);
  d.header.Field("B", DBDTint, "B", 0);
  DBRecord r(&d.header);
  r.SetField(0, 1L);
  r.SetField(1, 2L);
  ASSERT_TRUE(d.db->AddRecord(r));  // the block is two cells wide from now on
  d.header.Field("C", DBDTint, "C", 0);
  DBFieldInfo other;
  other.Field("A", DBDTint, "A", 0);
  other.Field("C", DBDTint, "C", 0);
  DBRecord r2(&other);
  r2.SetField(0, 7L);
  r2.SetField(1, 9L);
  Messages log;
  ASSERT_TRUE(d.db->AddRecord(r2));
  EXPECT_TRUE(log.Has(DMCdata, "Cannot assign field C in PutRecord"));
  std::vector<DBRecord> back(2);
  ASSERT_EQ(d.db->GetRecords(back.data(), 2, 0), 2);
  EXPECT_EQ(back[1][0].GetInt(), 7);
  EXPECT_EQ(back[1][1].GetNV(), 0);
  EXPECT_EQ(back[0][1].GetInt(), 2);
  ASSERT_TRUE(d.db->Close());
  EXPECT_QDB_SOUND(f.path);
}

TEST(AccessFile, FailedWriteKeepsThePageAndWritesItLater) {
  FlakyBuf buf;
  std::iostream stream(&buf);
  DBHeader h;
  DBAccess db(&h, &stream, false);
  dbtest::PhotoSchema(&h);
  auto recs = MakeRecords(&h, 50);
  ASSERT_EQ(db.AddRecords(recs.data(), 50), 50);
  Messages log;
  buf.failing = true;
  EXPECT_FALSE(db.Sync());
  EXPECT_TRUE(log.Has(DMCsystem, "Database block write error"));
  EXPECT_EQ(db.State(), DBPSsync);
  db.FreeMemory();  // as the cache would: the unwritten block must stay
  EXPECT_TRUE(db.IsResident());
  buf.failing = false;
  EXPECT_TRUE(db.Sync());
  EXPECT_EQ(db.State(), DBPSclean);
  std::string bytes = buf.str();
  ASSERT_EQ(bytes.size(), 18871u + 65548u);
  std::stringstream copy(bytes, std::ios::in | std::ios::out | std::ios::binary);
  DBHeader h2;
  DBAccess db2(&h2, &copy, true);
  EXPECT_EQ(db2.TotalRecords(), 50);
  DBRecord last;
  ASSERT_EQ(db2.GetRecords(&last, 1, 49), 1);
  EXPECT_TRUE(last == recs[49]);
}

TEST(AccessFile, PartialBlockAtEndIsReported) {
  TempFile f("partial");
  {
    FileDB d(f.path);
    dbtest::PhotoSchema(&d.header);
    auto recs = MakeRecords(&d.header, 5);
    ASSERT_EQ(d.db->AddRecords(recs.data(), 5), 5);
    ASSERT_TRUE(d.db->Close());
  }
  std::string bytes = f.Bytes();
  f.Write(bytes + std::string(100, '\x55'));
  Messages log;
  FileDB d(f.path);
  EXPECT_EQ(d.Pages(), 2);
  EXPECT_TRUE(log.Has(DMCwarning, "Partial block of 100 bytes at end of database ignored"))
      << log.All();
  EXPECT_EQ(d.db->TotalRecords(), 5);
  EXPECT_EQ(d.db->NextPage()->BlockPos(), 18871 + 65548);
}

namespace {

struct HeldWalk {
  DBAccess* db;
  bool closed;
  int seen;
};

int CloseDuringWalk(const DBRecordList& list, void* data) {
  HeldWalk* w = static_cast<HeldWalk*>(data);
  w->closed = w->db->Close();
  // The records handed out are still valid after the refused close.
  for (int i = 0; i < list.GetSize(); i++) w->seen += list.Get(i)[0].GetNV();
  return list.GetSize();
}

}  // namespace

TEST(AccessFile, CloseWhileRecordsAreHeldIsRefused) {
  TempFile f("held");
  FileDB d(f.path);
  dbtest::PhotoSchema(&d.header);
  auto recs = MakeRecords(&d.header, 20);
  ASSERT_EQ(d.db->AddRecords(recs.data(), 20), 20);
  Messages log;
  HeldWalk w{d.db.get(), true, 0};
  EXPECT_EQ(d.db->ForEachBlock(CloseDuringWalk, &w, nullptr), 20);
  EXPECT_FALSE(w.closed);
  EXPECT_EQ(w.seen, 20);
  EXPECT_TRUE(log.Has(DMCparameter, "Database still in use when closed!"));
  EXPECT_TRUE(d.db->Close());
  EXPECT_QDB_SOUND(f.path);
}

TEST(AccessFile, TextWriteIsReverseStorageOrderAndReadsBack) {
  TempFile f("text");
  FileDB d(f.path);
  d.header.Field("N", DBDTint, "N", 0);
  d.header.Field("S", DBDTstring, "S", 1);
  std::vector<DBRecord> r(3);
  const char* two[2] = {"x y", "z\tq"};
  for (int i = 0; i < 3; i++) {
    r[i].Init(&d.header);
    r[i].SetField(0, static_cast<long>(i));
  }
  r[1].SetField(1, two, 2);
  ASSERT_EQ(d.db->AddRecords(r.data(), 3), 3);
  std::ostringstream os;
  d.db->Write(&os, '\t');
  EXPECT_EQ(os.str(), "N\tS\n2\t\n1\t{\"x y\",\"z\\tq\"}\n0\t\n");
  std::ostringstream sorted;
  d.header.sord.AddSort(0, false);
  d.db->WriteSorted(&sorted, '\t');
  EXPECT_EQ(sorted.str(), "N\tS\n0\t\n1\t{\"x y\",\"z\\tq\"}\n2\t\n");
  // Into a second database; a bad second record line stops the import there.
  TempFile g("text2");
  FileDB e(g.path);
  e.header.Field("N", DBDTint, "N", 0);
  e.header.Field("S", DBDTstring, "S", 1);
  std::istringstream in(os.str().substr(4));  // the records, read over a given schema
  char tab = '\t';
  EXPECT_EQ(e.db->Read(&in, &tab, &e.header), 3);
  DBRecord back;
  ASSERT_EQ(e.db->GetRecords(&back, 1, 1), 1);
  EXPECT_STREQ(back[1].GetString(1), "z\tq");
  // A bad line is reported with its number (the names line is line 1); the rest is read.
  Messages log;
  std::istringstream bad("N\n5\nx\n6\n");
  DBFieldInfo schema;
  EXPECT_EQ(e.db->Read(&bad, nullptr, &schema), 2);
  EXPECT_TRUE(log.Has(DMCdata, "Cannot read record at line 3")) << log.All();
  EXPECT_EQ(e.db->TotalRecords(), 5);
  DBRecord five;
  ASSERT_EQ(e.db->GetRecords(&five, 1, 3), 1);
  EXPECT_EQ(five[0].GetInt(), 5);
  ASSERT_TRUE(e.db->Close());
  EXPECT_QDB_SOUND(g.path);
}

TEST(AccessFile, ReadOnlyDatabaseRefusesChanges) {
  TempFile f("ro");
  {
    FileDB d(f.path);
    dbtest::PhotoSchema(&d.header);
    auto recs = MakeRecords(&d.header, 4);
    ASSERT_EQ(d.db->AddRecords(recs.data(), 4), 4);
  }
  std::string before = f.Bytes();
  Messages log;
  FileDB d(f.path, true);
  auto more = MakeRecords(&d.header, 1, 99);
  EXPECT_EQ(d.db->AddRecords(more.data(), 1), 0);
  EXPECT_TRUE(log.Has(DMCdata, "AddRecords called on read-only DB"));
  EXPECT_EQ(d.db->DeleteRecords(more.data(), 1), 0);
  EXPECT_TRUE(log.Has(DMCdata, "DeleteRecords called on read-only DB"));
  std::istringstream in("File\n\"x\"\n");
  EXPECT_EQ(d.db->Read(&in, nullptr, nullptr), 0);
  EXPECT_TRUE(log.Has(DMCparameter, "Cannot add records to read-only DB"));
  d.db->Close();
  EXPECT_EQ(f.Bytes(), before);
}

TEST(AccessFile, GetRecordsCrossesPageBoundaries) {
  TempFile f("span");
  FileDB d(f.path);
  dbtest::PhotoSchema(&d.header);
  auto recs = MakeRecords(&d.header, 1200);
  ASSERT_EQ(d.db->AddRecords(recs.data(), 1200), 1200);
  int first = d.db->NRecords();
  ASSERT_LT(first, 1200);
  DBRecord out[4];
  ASSERT_EQ(d.db->GetRecords(out, 4, first - 2), 4);
  for (int i = 0; i < 4; i++) EXPECT_TRUE(out[i] == recs[first - 2 + i]);
  EXPECT_EQ(d.db->GetRecords(out, 4, 1198), 2);
  EXPECT_EQ(d.db->GetRecords(out, 4, 5000), 0);
  std::ostringstream stats;
  d.db->PrintStats(&stats);
  EXPECT_NE(stats.str().find("Total records used:\t\t1200\n"), std::string::npos);
  EXPECT_NE(stats.str().find("Header size:\t\t\t18871 bytes\n"), std::string::npos);
  ASSERT_TRUE(d.db->Close());
  EXPECT_QDB_SOUND(f.path);
}

TEST(AccessFile, AddingAfterReopenLoadsOnlyTheLastPageAndRefillsRoomFreedByDeletes) {
  TempFile f("addlast");
  const int kN = 3000;
  DBFieldInfo schema;
  dbtest::PhotoSchema(&schema);
  std::vector<DBRecord> recs = WritePhotoFile(f.path, &schema, kN, 2);
  FileDB d(f.path);
  int pages = d.Pages();
  ASSERT_GE(pages, 4);
  // After a reopen a new record goes to the last page, read alone.
  long long before = d.Restores();
  ASSERT_TRUE(d.db->AddRecord(recs[kN]));
  EXPECT_LE(d.Restores() - before, 1);
  // A deletion frees room in the first page: the next record goes there, nothing more read.
  ASSERT_TRUE(d.db->DeleteRecord(recs[0]));
  before = d.Restores();
  ASSERT_TRUE(d.db->AddRecord(recs[kN + 1]));
  EXPECT_EQ(d.Restores() - before, 0);
  EXPECT_EQ(d.Pages(), pages);
  std::vector<DBRecord> all = d.Walk();
  ASSERT_EQ(all.size(), static_cast<size_t>(kN + 1));
  EXPECT_TRUE(all[kN] == recs[kN]);
  EXPECT_TRUE(all[static_cast<size_t>(d.db->NRecords() - 1)] == recs[kN + 1]);
  ASSERT_TRUE(d.db->Close());
  bool skipped = false;
  std::string report = dbtest::RunChecker(f.path, &skipped);
  EXPECT_TRUE(report.empty()) << report;
}

// A bulk change under a small memory budget writes the blocks it frees back in batches (the
// journal made durable once per batch, not once per block); a sync of many blocks reports its
// progress up to its total; the file then holds every change.
TEST(AccessFile, BulkChangesWriteBackInBatchesAndLongSyncsReportProgress) {
  TempFile f("bulkwrite");
  const int kN = 5000;
  DBFieldInfo schema;
  dbtest::PhotoSchema(&schema);
  std::vector<DBRecord> recs = MakeRecords(&schema, kN), changed = MakeRecords(&schema, kN);
  for (int i = 0; i < kN; i++) {
    // About 30 to a block, none sharing its title.
    recs[i].SetField(8, (std::to_string(i) + std::string(1800, 'a')).c_str());
    changed[i].SetField(8, (std::to_string(i) + std::string(1800, 'A')).c_str());
  }
  {
    FileDB d(f.path);
    dbtest::PhotoSchema(&d.header);
    ASSERT_EQ(d.db->AddRecords(recs.data(), kN), kN);
    ASSERT_TRUE(d.db->Close());
  }
  dbtest::FaultFS counter(1);
  FileDB d(f.path, false, &counter);
  const int pages = d.Pages();
  ASSERT_GT(pages, 128);
  {
    BudgetGuard budget(8 * DB_BLOCKSIZE);
    long long before = counter.Calls();
    ASSERT_EQ(d.db->DeleteRecords(recs.data(), kN), kN);
    ASSERT_EQ(d.db->AddRecords(changed.data(), kN), kN);
    // Every block is written back twice (emptied, then filled), with the journal's writes
    // and fsyncs once per batch: block by block that would take about six calls a block.
    EXPECT_LT(counter.Calls() - before, 4 * pages);
    ASSERT_TRUE(d.db->Sync());
  }
  std::vector<std::pair<long long, long long>> told;
  d.db->SetSyncProgress(
      [](long long done, long long total, void* data) {
        static_cast<std::vector<std::pair<long long, long long>>*>(data)->emplace_back(done, total);
      },
      &told);
  ASSERT_EQ(d.db->DeleteRecords(changed.data(), 10), 10);  // a small sync tells nothing
  ASSERT_TRUE(d.db->Sync());
  EXPECT_TRUE(told.empty());
  ASSERT_EQ(d.db->DeleteRecords(changed.data() + 10, kN - 10), kN - 10);
  ASSERT_EQ(d.db->AddRecords(recs.data(), kN), kN);
  ASSERT_TRUE(d.db->Sync());
  ASSERT_GE(told.size(), 2u);
  for (size_t i = 0; i < told.size(); i++) {
    EXPECT_EQ(told[i].second, told.back().second);
    if (i > 0) {
      EXPECT_GT(told[i].first, told[i - 1].first);
    }
  }
  EXPECT_EQ(told.back().first, told.back().second);
  EXPECT_GT(told.back().second, 128);
  d.Shut();
  d.Open();
  std::vector<DBRecord> all = d.Walk();
  ASSERT_EQ(all.size(), static_cast<size_t>(kN));
  std::multiset<std::string> want, got;
  for (int i = 0; i < kN; i++) {
    want.insert(recs[i].GetField(0)->GetString(0) + std::string(recs[i].GetField(8)->GetString(0)));
    got.insert(all[i].GetField(0)->GetString(0) + std::string(all[i].GetField(8)->GetString(0)));
  }
  EXPECT_TRUE(want == got);
  d.Shut();
  bool skipped = false;
  std::string report = dbtest::RunChecker(f.path, &skipped);
  EXPECT_TRUE(report.empty()) << report;
}

TEST(AccessFile, ResidentPagesCountTheirViewsAndStayWithinTheBudget) {
  TempFile f("charged");
  const int kN = 4000;
  DBFieldInfo schema;
  dbtest::PhotoSchema(&schema);
  WritePhotoFile(f.path, &schema, kN);
  FileDB d(f.path);
  ASSERT_GE(d.Pages(), 6);
  const uint64_t kBudget = 4 * DB_BLOCKSIZE;
  BudgetGuard budget(kBudget);
  size_t biggest = 0;
  for (int round = 0; round < 3; round++) {
    ASSERT_EQ(static_cast<int>(d.Walk().size()), kN);
    uint64_t resident = 0;
    for (const DBAccess* p = d.db.get(); p != nullptr; p = p->NextPage()) {
      if (!p->IsResident()) continue;
      EXPECT_GT(p->ChargedSize(), static_cast<size_t>(DB_BLOCKSIZE));
      resident += p->ChargedSize();
      if (p->ChargedSize() > biggest) biggest = p->ChargedSize();
    }
    // The last page loaded may go over by what it built beside its block.
    EXPECT_LE(resident, kBudget + biggest) << "round " << round;
  }
}
