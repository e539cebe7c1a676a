// Damaged database files open read-only, or not at all, and are never written.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "db/dbase.h"
#include "db/test_access_util.h"

using dbtest::FileDB;
using dbtest::Messages;
using dbtest::TempFile;

namespace {

// A file of 1,000 photo records.
void MakeFile(const TempFile& f) {
  FileDB d(f.path);
  dbtest::PhotoSchema(&d.header);
  std::vector<DBRecord> recs(1000);
  for (int i = 0; i < 1000; i++) dbtest::PhotoRecord(&recs[i], &d.header, i);
  ASSERT_EQ(d.db->AddRecords(recs.data(), 1000), 1000);
  ASSERT_TRUE(d.db->Close());
}

// Opens the damaged file, tries every kind of write, closes; the file must not change.
void ExpectNothingWritten(const TempFile& f, Messages* log) {
  std::string before = f.Bytes();
  {
    FileDB d(f.path);
    if (d.db->Ready()) {
      EXPECT_TRUE(d.db->ReadOnly());
      DBRecord r;
      dbtest::PhotoRecord(&r, &d.header, 5000);
      EXPECT_FALSE(d.db->AddRecord(r));
      dbtest::PhotoRecord(&r, &d.header, 3);
      EXPECT_FALSE(d.db->DeleteRecord(r));
      d.header.Field("Added", DBDTint, "Added", 0);
      d.db->Sync();
    }
    d.Shut();
  }
  EXPECT_EQ(f.Bytes(), before) << log->All();
}

}  // namespace

TEST(Damaged, LengthNotHeaderSizePlusWholeBlocksOpensReadOnly) {
  TempFile f("length");
  MakeFile(f);
  f.Write(f.Bytes() + "x");  // one byte too many: the last block's records must survive
  long long size = f.Size();
  Messages log;
  {
    FileDB d(f.path);
    EXPECT_TRUE(d.db->ReadOnly());
    EXPECT_EQ(d.db->TotalRecords(), 1000);
  }
  EXPECT_TRUE(log.Has(DMCwarning, "Database file of " + std::to_string(size) +
                                      " bytes is not HeaderSize 18871 plus whole blocks of "
                                      "65548 bytes: opened read-only"))
      << log.All();
  ExpectNothingWritten(f, &log);
}

TEST(Damaged, FileCutBelowHeaderSizeOpensReadOnly) {
  TempFile f("cut");
  MakeFile(f);
  f.Write(f.Bytes().substr(0, 18000));
  Messages log;
  {
    FileDB d(f.path);
    EXPECT_TRUE(d.db->ReadOnly());
    EXPECT_EQ(d.db->TotalRecords(), 0);
  }
  ExpectNothingWritten(f, &log);
  EXPECT_EQ(f.Size(), 18000);
}

TEST(Damaged, HeaderPaddingHoldingABlockIsReportedAndTheFileKept) {
  TempFile f("padding");
  MakeFile(f);
  std::string bytes = f.Bytes();
  size_t at = bytes.find("HeaderSize = 18871\n");
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, 19, "HeaderSize = 84419\n");  // one block more: block 0 is padding now
  f.Write(bytes);
  Messages log;
  {
    FileDB d(f.path);
    EXPECT_TRUE(d.db->ReadOnly());
  }
  bool reported = false;
  for (const auto& e : log.entries)
    reported |= e.first == DMCdata &&
                e.second.find("DB header padding holds a byte other than a line feed") == 0;
  EXPECT_TRUE(reported) << log.All();
  ExpectNothingWritten(f, &log);
}

TEST(Damaged, NulAfterAHeaderNumberIsASyntaxError) {
  TempFile f("nul");
  MakeFile(f);
  std::string bytes = f.Bytes();
  size_t at = bytes.find("FieldSize = 8\n");
  ASSERT_NE(at, std::string::npos);
  bytes.insert(at + 13, 1, '\0');
  size_t pad = bytes.rfind("}\t// QRDB\n", 18871);
  ASSERT_NE(pad, std::string::npos);
  bytes.erase(pad + 10, 1);  // one line feed less of padding keeps HeaderSize
  f.Write(bytes);
  Messages log;
  {
    FileDB d(f.path);
    EXPECT_FALSE(d.db->Ready());
  }
  EXPECT_TRUE(
      log.Has(DMCdata, "Syntax error in DB header: NUL byte at offset " + std::to_string(at + 13)))
      << log.All();
  EXPECT_EQ(f.Bytes(), bytes);
}

// A block that fails its checks is reported and makes the file read-only: nothing is added
// after it.
TEST(Damaged, BlockThatFailsItsChecksMakesTheFileReadOnly) {
  TempFile f("zeroblock");
  MakeFile(f);
  f.Write(f.Bytes() + std::string(DB_BLOCKSIZE, '\0'));  // a zero block appended
  Messages log;
  {
    FileDB d(f.path);
    EXPECT_TRUE(d.db->ReadOnly());
    EXPECT_EQ(d.db->GetRecords(nullptr, 0, 0), 0);
  }
  EXPECT_TRUE(log.Has(DMCdata, "Corrupted database disk block: bad block magic")) << log.All();
  ExpectNothingWritten(f, &log);
  // Damage inside the file is found when its block is read: from then on nothing is written.
  f.Write("");
  unlink((f.path + "-index").c_str());
  MakeFile(f);
  std::string bytes = f.Bytes();
  bytes[18871 + 1] = 0x7F;  // block 0's field count above 128
  f.Write(bytes);
  int32_t inBlock0 = 0;
  memcpy(&inBlock0, bytes.data() + 18871 + 4, 4);
  {
    FileDB d(f.path);
    EXPECT_FALSE(d.db->ReadOnly());
    // Block 0's records are left out; the others are counted, read-only.
    EXPECT_EQ(d.db->TotalRecords(), 1000 - inBlock0);
    EXPECT_TRUE(d.db->ReadOnly());
    EXPECT_TRUE(d.db->Ready());
    DBRecord r;
    dbtest::PhotoRecord(&r, &d.header, 5000);
    EXPECT_FALSE(d.db->AddRecord(r));
    d.db->Sync();
  }
  EXPECT_EQ(f.Bytes(), bytes);
}

namespace {

// A database in memory of four blocks: one filled by adds, one compacted after deletions, one
// emptied, and the last, partly filled. Its records in storage order, and the blocks.
struct FlipCorpus {
  dbtest::MemDB made;  // the records' schema is its header
  std::string bytes;
  std::vector<DBRecord> recs;
  int headerSize = 0;
  int nblocks = 0;

  FlipCorpus() {
    dbtest::PhotoSchema(&made.header);
    std::vector<DBRecord> add(2000);
    for (int i = 0; i < 2000; i++) dbtest::PhotoRecord(&add[i], &made.header, i);
    EXPECT_EQ(made.db.AddRecords(add.data(), 2000), 2000);
    int first1 = made.db.NRecords();
    int n1 = made.db.NextPage()->NRecords();
    int n2 = made.db.NextPage()->NextPage()->NRecords();
    std::vector<DBRecord> gone;
    for (int i = first1; i < first1 + n1; i += 3) gone.push_back(add[i]);
    for (int i = first1 + n1; i < first1 + n1 + n2; i++) gone.push_back(add[i]);
    EXPECT_EQ(made.db.DeleteRecords(gone.data(), static_cast<int>(gone.size())),
              static_cast<int>(gone.size()));
    EXPECT_TRUE(made.db.Sync());
    bytes = made.ss.str();
    headerSize = made.header.GetSize();
    nblocks = static_cast<int>((bytes.size() - headerSize) / DB_BLOCKSIZE);
    int total = made.db.TotalRecords();
    recs.resize(static_cast<size_t>(total));
    EXPECT_EQ(made.db.GetRecords(recs.data(), total, 0), total);
  }

  // The fields of the records of block k whose cell or data holds block offset o: a flip of
  // that byte may change them (a text's letter, a number) and nothing else.
  std::vector<std::pair<int, int>> Holders(int k, int o, int* first) const {
    DBRecordBlock b;
    memcpy(b.b, bytes.data() + headerSize + static_cast<size_t>(k) * DB_BLOCKSIZE, DB_BLOCKSIZE);
    *first = 0;
    for (int j = 0; j < k; j++) {
      int n;
      memcpy(&n, bytes.data() + headerSize + static_cast<size_t>(j) * DB_BLOCKSIZE + 4, 4);
      *first += n;
    }
    std::vector<std::pair<int, int>> out;
    for (int r = 0; r < b.NRecords(); r++)
      for (int f = 0; f < b.NFields(); f++) {
        const DBFieldS& c = b.Row(r)[f];
        const int at = static_cast<int>(reinterpret_cast<const unsigned char*>(&c) - b.b);
        bool holds = o >= at && o < at + DB_CELLSIZE;
        if (c.nv > 0 && c.HasOffset()) {
          const int start = static_cast<int>(c.DataAddr() - b.b);
          int end = start + 4 * c.nv;
          if (c.dt == DBDTstring) {
            const char* s = reinterpret_cast<const char*>(c.DataAddr());
            for (int i = 0; i < c.nv; i++) s += strlen(s) + 1;
            end = static_cast<int>(reinterpret_cast<const unsigned char*>(s) - b.b);
          }
          holds = holds || (o >= start && o < ((end + 3) & ~3));
        }
        if (holds) out.emplace_back(r, f);
      }
    return out;
  }

  // Opens the bytes with block k's byte o changed by x: either every record reads back (only
  // the fields holding the byte may differ) with the database writable, or it is read-only,
  // says why, and nothing is written.
  void Trial(int k, int o, uint8_t x) {
    std::string flipped = bytes;
    const size_t at = headerSize + static_cast<size_t>(k) * DB_BLOCKSIZE + o;
    flipped[at] = static_cast<char>(flipped[at] ^ x);
    Messages log;
    std::stringstream ss(flipped, std::ios::in | std::ios::out | std::ios::binary);
    DBHeader h;
    DBAccess db(&h, &ss, false);
    // Each record is compared as the walk meets it: the fields that differ are noted.
    struct Walk {
      const std::vector<DBRecord>* recs;
      size_t n;
      std::vector<std::pair<size_t, int>> diffs;
    } walk{&recs, 0, {}};
    db.ForEachRecord(
        [](const DBRecord& r, void* data) {
          Walk* w = static_cast<Walk*>(data);
          const size_t i = w->n++;
          if (i >= w->recs->size() || r == (*w->recs)[i]) return 1;
          for (int f = 0; f < r.GetFieldInfo()->GetNFields(); f++)
            if (!(r[f] == (*w->recs)[i][f])) w->diffs.emplace_back(i, f);
          return 1;
        },
        &walk, nullptr);
    const std::string where =
        "block " + std::to_string(k) + " byte " + std::to_string(o) + " ^ " + std::to_string(x);
    if (db.ReadOnly()) {
      EXPECT_FALSE(h.WhyReadOnly().empty()) << where;
      db.Close();
      EXPECT_TRUE(ss.str() == flipped) << where;
      return;
    }
    ASSERT_EQ(walk.n, recs.size()) << where << "\n" << log.All();
    if (walk.diffs.empty()) {
      db.Close();
      return;
    }
    int first = 0;
    std::vector<std::pair<int, int>> may = Holders(k, o, &first);
    for (const auto& d : walk.diffs) {
      bool allowed = false;
      for (const auto& m : may)
        allowed |= first + m.first == static_cast<int>(d.first) && m.second == d.second;
      EXPECT_TRUE(allowed) << where << ": record " << d.first << " field " << d.second;
    }
    db.Close();
  }
};

}  // namespace

// Every single-byte change of a block's head, and of a sample of its cells and string data,
// either leaves every record readable or makes the database read-only, saying why: no record
// is ever dropped from a database that is still written.
TEST(Damaged, FlippedBytesNeverDropRecordsFromAWritableDatabase) {
  FlipCorpus c;
  ASSERT_EQ(c.nblocks, 4);
  for (int k = 0; k < c.nblocks; k++) {
    // The head: any change of the magic, each bit of the counts.
    for (int o = 0; o < DB_BLOCKHEAD; o++)
      for (int bit = 0; bit < (o < DB_OFF_NFIELDS ? 1 : 8); bit++)
        c.Trial(k, o, static_cast<uint8_t>(1 << bit));
    DBRecordBlock b;
    memcpy(b.b, c.bytes.data() + c.headerSize + static_cast<size_t>(k) * DB_BLOCKSIZE,
           DB_BLOCKSIZE);
    if (b.NRecords() == 0) continue;
    // The cells of a first and a last record, each byte with one bit changed.
    const int rowBytes = DB_CELLSIZE * b.NFields();
    for (int r : {0, b.NRecords() - 1}) {
      if ((k == 0 && r > 0) || (k == c.nblocks - 1 && r == 0)) continue;
      for (int i = 0; i < rowBytes; i++)
        c.Trial(k, DB_BLOCKHEAD + r * rowBytes + i, static_cast<uint8_t>(1 << ((r + i) % 8)));
    }
    // String data: its first words, then bytes spread over it.
    const int lo = DB_BLOCKSIZE - static_cast<int>(b.StrBytes());
    const int step = static_cast<int>(b.StrBytes()) / 32 | 1;
    for (int o = lo; o < DB_BLOCKSIZE; o += o < lo + 12 ? 1 : step)
      c.Trial(k, o, static_cast<uint8_t>(1 << (o % 8)));
  }
}

namespace {

// A catalogue of 500 photo records over several blocks, the lines of each block's records,
// and the trial of one flipped byte.
struct BlockCorpus {
  dbtest::MemDB made;
  std::string bytes;
  int headerSize = 0;
  std::vector<std::vector<std::string>> lines;  // per block, its records as text lines
  std::vector<std::vector<DBRecord>> recs;      // per block, its records
  size_t total = 0;
  // Outcomes: writable with every record, read-only with the damaged block read, read-only
  // with the damaged block left out.
  int writable = 0, readRO = 0, leftOut = 0;

  static std::string Line(const DBRecord& r) {
    std::ostringstream os;
    r.Write(&os, '\t');
    return os.str();
  }

  BlockCorpus() {
    dbtest::PhotoSchema(&made.header);
    std::vector<DBRecord> add(500);
    for (int i = 0; i < 500; i++) {
      dbtest::PhotoRecord(&add[i], &made.header, i);
      add[i].SetField(8, ("A title long enough to fill blocks sooner, number " +
                          std::to_string(i * 7919) + std::string(100 + i % 100, '.'))
                             .c_str());
    }
    EXPECT_EQ(made.db.AddRecords(add.data(), 500), 500);
    EXPECT_TRUE(made.db.Sync());
    bytes = made.ss.str();
    headerSize = made.header.GetSize();
    int start = 0;
    for (DBAccess* p = &made.db; p != nullptr; p = p->NextPage()) {
      const int n = p->NRecords();
      std::vector<DBRecord> page(static_cast<size_t>(n));
      EXPECT_EQ(made.db.GetRecords(page.data(), n, start), n);
      lines.emplace_back();
      for (const DBRecord& r : page) lines.back().push_back(Line(r));
      recs.push_back(page);
      start += n;
    }
    total = static_cast<size_t>(start);
  }

  DBRecordBlock Block(int k) const {
    DBRecordBlock b;
    memcpy(b.b, bytes.data() + headerSize + static_cast<size_t>(k) * DB_BLOCKSIZE, DB_BLOCKSIZE);
    return b;
  }

  void Trial(int k, int o, uint8_t x) {
    std::string flipped = bytes;
    const size_t at = headerSize + static_cast<size_t>(k) * DB_BLOCKSIZE + o;
    flipped[at] = static_cast<char>(flipped[at] ^ x);
    const std::string where =
        "block " + std::to_string(k) + " byte " + std::to_string(o) + " ^ " + std::to_string(x);
    Messages log;
    std::stringstream ss(flipped, std::ios::in | std::ios::out | std::ios::binary);
    DBHeader h;
    DBAccess db(&h, &ss, false);
    std::multiset<std::string> seen;
    db.ForEachRecord(
        [](const DBRecord& r, void* data) {
          static_cast<std::multiset<std::string>*>(data)->insert(Line(r));
          return 1;
        },
        &seen, nullptr);
    ASSERT_TRUE(db.Ready()) << where << "\n" << log.All();
    if (!db.ReadOnly()) {
      writable++;
      EXPECT_EQ(seen.size(), total) << where;
      EXPECT_EQ(db.TotalRecords(), static_cast<int>(total)) << where;
      // Only block k's records may read otherwise (a flipped letter or number).
      for (size_t j = 0; j < lines.size(); j++)
        for (size_t i = 0; j != static_cast<size_t>(k) && i < lines[j].size(); i++)
          EXPECT_EQ(seen.count(lines[j][i]), 1u) << where;
      db.Close();
      return;
    }
    // Read-only: it says which block, and every record of the sound blocks is there, to
    // walks, counts, reads by position and exact look-ups alike.
    const std::string named =
        "block " + std::to_string(k) + " (at byte " +
        std::to_string(headerSize + static_cast<long long>(k) * DB_BLOCKSIZE) + ") is damaged: ";
    EXPECT_EQ(h.WhyReadOnly().rfind(named, 0), 0u) << where << ": " << h.WhyReadOnly();
    EXPECT_EQ(db.DamagedBlocks(), 1) << where;
    size_t sound = 0;
    for (size_t j = 0; j < lines.size(); j++) {
      if (j == static_cast<size_t>(k)) continue;
      sound += lines[j].size();
      for (const std::string& l : lines[j]) EXPECT_GE(seen.count(l), 1u) << where << ": " << l;
    }
    DBAccess* pk = &db;
    for (int j = 0; j < k; j++) pk = pk->NextPage();
    if (pk->State() == DBPSerror) {
      leftOut++;
      EXPECT_EQ(seen.size(), sound) << where;
    } else {
      readRO++;
    }
    const int counted = db.TotalRecords();
    EXPECT_EQ(counted, static_cast<int>(seen.size())) << where;
    std::vector<DBRecord> got(seen.size() + 1);
    EXPECT_EQ(db.GetRecords(got.data(), static_cast<int>(got.size()), 0), counted) << where;
    const size_t other = (static_cast<size_t>(k) + 1) % lines.size();
    if (other != static_cast<size_t>(k)) {
      // An exact look-up by the hash keys of a record of another block.
      const DBRecord& r = recs[other][recs[other].size() / 2];
      DBRecord key(&h);
      key.SetField(0, r[0].GetString());
      key.SetField(2, r[2].GetInt());
      key.SetField(3, r[3].GetInt());
      DBSearch s(&db);
      s.AddSelector(key, false);
      DBRecord out;
      EXPECT_EQ(s.FindRecords(&out, 1), 1) << where;
    }
    db.Close();
    EXPECT_TRUE(ss.str() == flipped) << where;  // a damaged file is never written
  }
};

}  // namespace

// Single bytes flipped over the blocks of a catalogue, at offsets drawn from each block's head,
// cells, string area and free space: the database either reads every record and stays
// writable, or is read-only, names the damaged block and still reads every record of the
// other blocks.
TEST(Damaged, OneFlippedByteHidesNoRecordOfTheSoundBlocks) {
  BlockCorpus c;
  ASSERT_GE(c.lines.size(), 3u);
  std::mt19937 rng(20261208);
  for (int k = 0; k < static_cast<int>(c.lines.size()); k++) {
    const DBRecordBlock b = c.Block(k);
    const int cellEnd = DB_BLOCKHEAD + DB_CELLSIZE * b.NFields() * b.NRecords();
    const int lo = DB_BLOCKSIZE - static_cast<int>(b.StrBytes());
    auto in = [&](int from, int to) {
      return from + static_cast<int>(rng() % static_cast<unsigned>(to - from));
    };
    auto bit = [&] { return static_cast<uint8_t>(1u << (rng() % 8)); };
    for (int o = 0; o < DB_BLOCKHEAD; o++) c.Trial(k, o, bit());
    for (int i = 0; i < 50; i++) c.Trial(k, in(DB_BLOCKHEAD, cellEnd), bit());
    for (int i = 0; i < 30; i++) c.Trial(k, in(lo, DB_BLOCKSIZE), bit());
    if (lo > cellEnd)
      for (int i = 0; i < 8; i++) c.Trial(k, in(cellEnd, lo), bit());
  }
  // Every outcome is met: the corpus reaches all three.
  EXPECT_GT(c.writable, 0);
  EXPECT_GT(c.readRO, 0);
  EXPECT_GT(c.leftOut, 0);
  std::printf("flips: %d writable, %d read-only with the damaged block read, %d with it left out\n",
              c.writable, c.readRO, c.leftOut);
}
