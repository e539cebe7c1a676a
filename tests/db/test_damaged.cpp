// Damaged database files open read-only, or not at all, and are never written.
#include <unistd.h>

#include <string>
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
  {
    FileDB d(f.path);
    EXPECT_FALSE(d.db->ReadOnly());
    EXPECT_LT(d.db->TotalRecords(), 0);
    EXPECT_TRUE(d.db->ReadOnly());
    DBRecord r;
    dbtest::PhotoRecord(&r, &d.header, 5000);
    EXPECT_FALSE(d.db->AddRecord(r));
    d.db->Sync();
  }
  EXPECT_EQ(f.Bytes(), bytes);
}
