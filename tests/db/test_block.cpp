// Record blocks: the stored cell form, the string area and its sharing, checks, deletion,
// compaction and byte-order conversion.
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include <sstream>

#include <gtest/gtest.h>

#include "db/dbase.h"
#include "db/dbdigest.h"
#include "db/test_access_util.h"
#include "support/abitmap.h"
#include "support/cpufeat.h"

using dbtest::Messages;

namespace {

std::unique_ptr<DBRecordBlock> EmptyBlock(int nfields) {
  std::unique_ptr<DBRecordBlock> b(new DBRecordBlock);
  b->Reset();
  b->SetNFields(nfields);
  return b;
}

// Appends a row and returns its cells.
DBFieldS* AddRow(DBRecordBlock* b) {
  int r = b->NRecords();
  b->SetNRecords(r + 1);
  DBFieldS* row = b->Row(r);
  memset(row, 0, sizeof(DBFieldS) * b->NFields());
  return row;
}

void SetInt(DBFieldS* c, int v) {
  c->dt = DBDTint;
  c->fl = 0;
  c->nv = 1;
  c->v.mint = v;
}

const char* Str(DBRecordBlock* b, const char* s, DBStrIndex* index) {
  const char* p[1] = {s};
  return b->StrAlloc(p, 1, index);
}

// A database in memory whose blocks can be inspected.
struct MemDB : dbtest::MemDB {
  uint32_t StrBytes() {
    std::string b = Block0();
    uint32_t n;
    memcpy(&n, b.data() + DB_OFF_STRBYTES, 4);
    return n;
  }
};

}  // namespace

TEST(Block, OneShortStringCellHasTheStoredForm) {
  MemDB m;
  m.header.Field("Name", DBDTstring, "Name", 0);
  DBRecord r(&m.header);
  r.SetField(0, "abc");
  ASSERT_TRUE(m.db.AddRecord(r));
  std::string b = m.Block0();
  const unsigned char* u = reinterpret_cast<const unsigned char*>(b.data());
  EXPECT_EQ(u[0] | u[1] << 8, 0x1A72);
  EXPECT_EQ(u[2] | u[3] << 8, 1);    // fields
  EXPECT_EQ(u[4], 1);                // records
  EXPECT_EQ(u[8], 4);                // string bytes
  EXPECT_EQ(u[12], 3);               // dt: string
  EXPECT_EQ(u[13], 8);               // fl: offset
  EXPECT_EQ(u[14] | u[15] << 8, 1);  // nv
  uint32_t off = u[16] | u[17] << 8 | u[18] << 16 | static_cast<uint32_t>(u[19]) << 24;
  EXPECT_EQ(off, 65532u);
  EXPECT_EQ(std::string(b.data() + 65544, 4), std::string("abc\0", 4));
}

TEST(Block, NumbersInlineOrInTheStringAreaAndStringRunsShared) {
  MemDB m;
  m.header.Field("N", DBDTint, "N", DBFDmulti);
  m.header.Field("K", DBDTstring, "K", DBFDmulti);
  DBRecord one(&m.header);
  one.SetField(0, 7L);
  ASSERT_TRUE(m.db.AddRecord(one));
  EXPECT_EQ(m.StrBytes(), 0u);
  DBRecord two(&m.header);
  long v[2] = {1, 2};
  two.SetField(0, v, 2);
  ASSERT_TRUE(m.db.AddRecord(two));
  EXPECT_EQ(m.StrBytes(), 8u);
  const char* kw[3] = {"sea", "sky", "sand"};
  DBRecord a(&m.header), b(&m.header);
  a.SetField(1, kw, 3);
  b.SetField(1, kw, 3);
  ASSERT_TRUE(m.db.AddRecord(a));
  uint32_t after = m.StrBytes();
  EXPECT_EQ(after, 8u + 16u);  // "sea\0sky\0sand\0" rounded up to 16
  ASSERT_TRUE(m.db.AddRecord(b));
  EXPECT_EQ(m.StrBytes(), after);
}

TEST(Block, TextIsNeverSharedWithTheBytesOfNumbers) {
  MemDB m;
  m.header.Field("N", DBDTint, "N", DBFDmulti);
  m.header.Field("S", DBDTstring, "S", 0);
  DBRecord nums(&m.header);
  int32_t word;
  memcpy(&word, "abc", 4);  // the bytes a, b, c, NUL as a number in host order
  long v[2] = {word, word};
  nums.SetField(0, v, 2);
  ASSERT_TRUE(m.db.AddRecord(nums));
  DBRecord text(&m.header);
  text.SetField(1, "abc");
  ASSERT_TRUE(m.db.AddRecord(text));
  EXPECT_EQ(m.StrBytes(), 12u);
  // After a change of byte order the text is still the text.
  std::string blk = m.Block0();
  std::unique_ptr<DBRecordBlock> b(new DBRecordBlock);
  memcpy(b->b, blk.data(), DB_BLOCKSIZE);
  ASSERT_EQ(b->SwapBlock(), 1);
  EXPECT_EQ(b->Magic(), DB_BLOCKMAGICSWAP);
  ASSERT_EQ(b->SwapBlock(), 1);
  EXPECT_EQ(memcmp(b->b, blk.data(), DB_BLOCKSIZE), 0);
  EXPECT_STREQ(static_cast<const char*>(b->Row(1)[1].GetPointer(0)), "abc");
}

TEST(Block, DeleteMovesRowsAndCompactKeepsSharedData) {
  auto b = EmptyBlock(2);
  DBStrIndex index;
  const char* shared = Str(b.get(), "shared", &index);
  for (int i = 0; i < 4; i++) {
    DBFieldS* row = AddRow(b.get());
    SetInt(&row[0], i);
    char own[16];
    snprintf(own, sizeof(own), "own%d", i);
    row[1].SetOffsetArray(DBDTstring, 1, i % 2 ? shared : Str(b.get(), own, &index));
  }
  EXPECT_EQ(Str(b.get(), "shared", &index), shared);
  ASSERT_EQ(b->Consistent(nullptr), 1);
  uint32_t full = b->StrBytes();
  ABitMap marks(4);
  marks.Set(0);
  marks.Set(2);
  b->DeleteRecords(marks);
  ASSERT_EQ(b->NRecords(), 2);
  EXPECT_EQ(b->StrBytes(), full);  // the string area waits for compaction
  EXPECT_EQ(b->Row(0)[0].v.mint, 1);
  EXPECT_EQ(b->Row(1)[0].v.mint, 3);
  b->Compact();
  EXPECT_EQ(b->StrBytes(), 8u);  // only "shared" is left
  ASSERT_EQ(b->Consistent(nullptr), 1);
  EXPECT_EQ(b->Row(0)[1].GetPointer(0), b->Row(1)[1].GetPointer(0));
  EXPECT_STREQ(static_cast<const char*>(b->Row(1)[1].GetPointer(0)), "shared");
  Messages log;
  ABitMap wrong(3);
  b->DeleteRecords(wrong);
  EXPECT_TRUE(log.Has(DMCparameter, "Bad call to DBRecordBlock::DeleteRecords"));
  ABitMap all(2, true);
  b->DeleteRecords(all);
  EXPECT_EQ(b->NFields(), 0);
  EXPECT_EQ(b->StrBytes(), 0u);
  for (int i = 0; i < DB_DATASIZE; i++) ASSERT_EQ(b->Data()[i], 0) << i;
}

// The rule a block breaks, "" when it passes every check.
std::string BrokenRule(const DBRecordBlock* b, const DBFieldInfo* s) {
  const char* rule = "";
  return b->Consistent(s, &rule) ? std::string() : std::string(rule);
}

TEST(Block, ChecksRefuseBadCellsAndNameTheRule) {
  DBFieldInfo s;
  s.Field("N", DBDTint, "N", 0);
  s.Field("S", DBDTstring, "S", 0);
  auto b = EmptyBlock(2);
  DBFieldS* row = AddRow(b.get());
  SetInt(&row[0], 5);
  row[1].SetOffsetArray(DBDTstring, 1, Str(b.get(), "txt", nullptr));
  ASSERT_EQ(b->Consistent(&s), 1);
  DBFieldS saved = row[1];
  row[1].v.off -= 8;  // before the string area
  EXPECT_EQ(BrokenRule(b.get(), &s), "data offset outside the string area");
  row[1] = saved;
  row[1].v.off += 2;  // not 4-aligned
  EXPECT_EQ(BrokenRule(b.get(), &s), "data offset not a multiple of 4");
  row[1] = saved;
  row[1].fl = 0;  // data without the offset flag
  EXPECT_EQ(BrokenRule(b.get(), &s), "data cell without the offset flag or marked owned");
  row[1] = saved;
  row[1].dt = 9;
  EXPECT_EQ(BrokenRule(b.get(), &s), "cell of unknown type");
  row[1] = saved;
  row[1].dt = DBDTfloat;
  EXPECT_EQ(BrokenRule(b.get(), &s), "cell type differs from the schema");
  row[1] = saved;
  b->End()[-1] = 'x';  // the text loses its NUL
  EXPECT_EQ(BrokenRule(b.get(), &s), "strings run past the block end");
  b->End()[-1] = 0;
  row[0].nv = 2;  // several values in a single-valued field
  row[0].fl = DBFLarray | DBFLoffset;
  row[0].v.off = static_cast<int32_t>(b->End() - 8 - reinterpret_cast<unsigned char*>(&row[0]));
  b->SetStrBytes(8);
  EXPECT_EQ(BrokenRule(b.get(), &s), "several values in a single-valued field");
  EXPECT_EQ(b->Consistent(nullptr), 1);
  row[0].fl = DBFLoffset;  // without a schema the array flag must say so
  EXPECT_EQ(BrokenRule(b.get(), nullptr), "several values without the array flag");
  row[0].fl = DBFLarray | DBFLoffset;
  b->SetNFields(3);
  EXPECT_EQ(BrokenRule(b.get(), &s), "more fields per row than the schema");
  b->SetNFields(-2);
  EXPECT_EQ(b->BasicCheck(), 0);
  EXPECT_EQ(BrokenRule(b.get(), &s), "more than 128 fields per row");
  b->SetNFields(2);
  b->SetNRecords(5000);
  EXPECT_EQ(BrokenRule(b.get(), &s), "cells and string area overflow the data area");
  b->SetNRecords(-1);
  EXPECT_EQ(BrokenRule(b.get(), &s), "negative record count");
  b->SetNRecords(1);
  b->SetStrBytes(10);
  EXPECT_EQ(BrokenRule(b.get(), &s), "string bytes not a multiple of 4");
  b->SetStrBytes(8);
  b->SetNFields(0);
  EXPECT_EQ(BrokenRule(b.get(), &s), "records without fields");
  b->SetMagic(DB_BLOCKMAGICSWAP);
  EXPECT_EQ(BrokenRule(b.get(), &s), "bad block magic");
  EXPECT_EQ(DBRecordBlock::Estimate(45, 0, 0), 182);
}

// Random rows of strings (some shared), arrays and ints; half deleted at random; compaction
// must keep every value of the rows left and leave a string area with no unused word. Some
// blocks are filled without the index (equal runs stored more than once, the index built after),
// some hold long arrays or many rows (index tables with long chains).
TEST(Block, CompactKeepsEveryValueAndLeavesNoGap) {
  std::mt19937 rng(11);
  for (int round = 0; round < 80; round++) {
    auto b = EmptyBlock(3);
    DBStrIndex index;
    const bool unshared = round % 4 == 3;
    std::vector<std::vector<std::string>> runs;
    int nrows = 10 + static_cast<int>(rng() % (round % 5 == 4 ? 400 : 60));
    for (int i = 0; i < nrows; i++) {
      if (b->FreeBytes() < 3 * 41 + 4 * 200 + 3 * DB_CELLSIZE) break;
      DBFieldS* row = AddRow(b.get());
      SetInt(&row[0], i);
      std::string texts[3];
      const char* strs[3];
      int ns = 1 + static_cast<int>(rng() % 3);
      for (int k = 0; k < ns; k++) {
        texts[k] = std::string(1 + rng() % 40, static_cast<char>('a' + rng() % 4));
        strs[k] = texts[k].c_str();
      }
      // Short texts repeat, so some runs are shared between rows (or stored again, without the
      // index).
      row[1].SetOffsetArray(DBDTstring, ns, b->StrAlloc(strs, ns, unshared ? nullptr : &index));
      runs.emplace_back(texts, texts + ns);
      int na = 2 + static_cast<int>(rng() % (rng() % 8 == 0 ? 200 : 20));
      ASSERT_GE(b->FreeBytes(), 4L * na);
      b->SetStrBytes(b->StrBytes() + 4u * na);
      unsigned char* arr = b->End() - b->StrBytes();
      for (int k = 0; k < na; k++) {
        int32_t v = static_cast<int32_t>(rng());
        memcpy(arr + 4 * k, &v, 4);
      }
      row[2].SetOffsetArray(DBDTint, na, arr);
    }
    ASSERT_EQ(b->Consistent(nullptr), 1);
    if (unshared) index.Build(b.get());
    nrows = b->NRecords();
    ABitMap marks(static_cast<uint32_t>(nrows));
    for (int i = 0; i < nrows; i++)
      if (rng() % 2) marks.Set(static_cast<uint32_t>(i));
    b->DeleteRecords(marks);
    int left = b->NRecords();
    std::vector<DBField> before(static_cast<size_t>(left) * 3);
    for (int r = 0; r < left; r++)
      for (int f = 0; f < 3; f++) before[r * 3 + f] = b->Row(r)[f];  // owned copies
    b->Compact(&index);
    ASSERT_EQ(b->Consistent(nullptr), 1);
    // The index kept through the compaction finds what one built afresh finds, and nothing
    // of the deleted rows' runs outside the string area.
    ASSERT_TRUE(index.Valid());
    DBStrIndex fresh;
    fresh.Build(b.get());
    for (const auto& run : runs) {
      const char* strs[3];
      for (size_t k = 0; k < run.size(); k++) strs[k] = run[k].c_str();
      uint32_t t;
      const int n = static_cast<int>(run.size());
      const uint32_t h = DBStrIndex::RunHash(strs, n, &t);
      const uint32_t kept = index.Find(b.get(), strs, n, t, h);
      const uint32_t found = fresh.Find(b.get(), strs, n, t, h);
      if (!unshared) {
        ASSERT_EQ(kept, found) << "round " << round;
        continue;
      }
      // Of equal runs stored apart, either may be found; one is when any is, and holds the texts.
      ASSERT_EQ(kept != 0, found != 0) << "round " << round;
      if (kept == 0) continue;
      ASSERT_GE(kept, static_cast<uint32_t>(b->End() - b->StrBytes() - b->b));
      ASSERT_LE(kept + t, static_cast<uint32_t>(DB_BLOCKSIZE));
      const char* at = reinterpret_cast<const char*>(b->b + kept);
      for (int k = 0; k < n; at += run[k].size() + 1, k++)
        ASSERT_STREQ(at, run[k].c_str()) << "round " << round;
    }
    std::vector<uint8_t> used(b->StrBytes() / 4, 0);
    for (int r = 0; r < left; r++) {
      for (int f = 0; f < 3; f++) {
        DBField now;
        now = b->Row(r)[f];
        ASSERT_TRUE(now == before[r * 3 + f]) << "round " << round << " row " << r;
        const DBFieldS& c = b->Row(r)[f];
        if (!c.HasOffset()) continue;
        size_t from = static_cast<size_t>(b->End() - c.DataAddr());
        size_t len = c.dt == DBDTstring ? 0 : 4u * c.nv;
        if (c.dt == DBDTstring) {
          const char* s = reinterpret_cast<const char*>(c.DataAddr());
          for (int k = 0; k < c.nv; k++) len += strlen(s + len) + 1;
        }
        for (size_t w = (from - len) / 4; w < (from + 3) / 4 && w < used.size(); w++) used[w] = 1;
      }
    }
    for (size_t w = 0; w < used.size(); w++) ASSERT_TRUE(used[w]) << "unused word " << w;
  }
}

TEST(Block, DecodedCellsViewOrCopyTheirValues) {
  auto b = EmptyBlock(3);
  DBFieldS* row = AddRow(b.get());
  const char* kw[2] = {"one", "two"};
  row[0].SetOffsetArray(DBDTstring, 2, b->StrAlloc(kw, 2));
  row[1].dt = DBDTfloat;
  row[1].nv = 1;
  row[1].v.mfloat = 2.5f;
  EXPECT_EQ(row[2].SetOffsetArray(DBDTint, 1, b->End() - 4), 0);  // one int is held inline
  DBField view, copy;
  view = &row[0];
  copy = row[0];
  EXPECT_EQ(view.GetNV(), 2);
  EXPECT_STREQ(view.GetString(1), "two");
  EXPECT_EQ(view.GetFlags() & DBFLowns, 0);
  EXPECT_NE(copy.GetFlags() & DBFLowns, 0);
  b->Reset();  // the copy does not depend on the block
  EXPECT_STREQ(copy.GetString(0), "one");
  DBField f;
  f = row[1];
  EXPECT_EQ(f.GetNV(), 0);  // the reset block's cell is unset
}

// The check that every text of a string cell ends inside the block, made once per block over
// all cells, against a plain walk of each cell's texts, as bytes of the string area lose or
// gain NULs at random.
TEST(Block, StringEndCheckAgreesWithAWalkOfEveryText) {
  auto b = EmptyBlock(3);
  std::mt19937 rng(7);
  const char* words[] = {"a", "bb", "ccc", "dddd", "eeeee", "", "ffffff", "g"};
  for (int r = 0; r < 40; r++) {
    DBFieldS* row = AddRow(b.get());
    for (int f = 0; f < 3; f++) {
      int n = 1 + static_cast<int>(rng() % 6);
      const char* run[6];
      for (int k = 0; k < n; k++) run[k] = words[rng() % 8];
      const char* p = b->StrAlloc(run, n);
      ASSERT_NE(p, nullptr);
      row[f].SetOffsetArray(DBDTstring, n, p);
    }
  }
  ASSERT_EQ(b->Consistent(nullptr), 1);
  long span = static_cast<long>(b->StrBytes());
  auto walkSays = [&]() {
    const DBFieldS* c = b->Cells();
    for (int i = 0; i < 3 * b->NRecords(); i++) {
      const unsigned char* q = c[i].DataAddr();
      for (int k = 0; k < c[i].nv; k++) {
        while (q < b->End() && *q != 0) q++;
        if (q == b->End()) return 0;
        q++;
      }
    }
    return 1;
  };
  int refused = 0;
  for (int trial = 0; trial < 3000; trial++) {
    // Mostly near the end, where a run's last texts find their NULs or lose them.
    long back = rng() % 4 == 0 ? static_cast<long>(rng() % static_cast<uint32_t>(span))
                               : static_cast<long>(rng() % 40);
    unsigned char* at = b->End() - 1 - back;
    *at = rng() % 6 == 0 ? 0 : 'x';
    int want = walkSays();
    refused += want == 0;
    ASSERT_EQ(b->Consistent(nullptr), want) << "trial " << trial;
  }
  EXPECT_GT(refused, 100);
  EXPECT_GT(3000 - refused, 100);
}

// The digest of blocks read again: the vectorised kernel gives the plain one's result at every
// length, and a change of any one byte, or of the key, changes it.
TEST(Block, DigestKernelsAgreeAndSeeEveryByte) {
  std::mt19937 rng(11);
  std::vector<unsigned char> bytes(DB_BLOCKSIZE + 300);
  for (unsigned char& c : bytes) c = static_cast<unsigned char>(rng());
  for (size_t n : {size_t{0}, size_t{1}, size_t{255}, size_t{256}, size_t{257}, size_t{4099},
                   static_cast<size_t>(DB_BLOCKSIZE), bytes.size()}) {
    uint64_t plain = DBDigestPlain(bytes.data(), n, 99);
    if (cpuHasAVX2()) {
      EXPECT_EQ(DBDigestFast(bytes.data(), n, 99), plain) << n << " bytes";
    }
    EXPECT_EQ(DBDigest(bytes.data(), n, 99), plain) << n << " bytes";
  }
  const uint64_t base = DBDigest(bytes.data(), DB_BLOCKSIZE, 5);
  EXPECT_NE(DBDigest(bytes.data(), DB_BLOCKSIZE, 6), base);
  for (int trial = 0; trial < 2000; trial++) {
    size_t at = trial < 3 ? static_cast<size_t>(DB_BLOCKSIZE - 1 - trial) : rng() % DB_BLOCKSIZE;
    unsigned char was = bytes[at];
    bytes[at] = static_cast<unsigned char>(was ^ (1u << (rng() % 8)));
    ASSERT_NE(DBDigest(bytes.data(), DB_BLOCKSIZE, 5), base) << "byte " << at;
    bytes[at] = was;
  }
  EXPECT_EQ(DBDigest(bytes.data(), DB_BLOCKSIZE, 5), base);
}
