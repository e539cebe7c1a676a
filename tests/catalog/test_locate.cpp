// Locating moved files: the six results on real files, folder migration rules and the
// caller's answers.
#include <filesystem>
#include <string>

#include "catalog/pfieldset.h"
#include "catalog/photo_test_util.h"
#include "support/futil.h"
#include "testutil/message_log.h"

using phototest::ScratchDir;

namespace {

// Starts every test with no rules and leaves none behind.
class Locate : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    delete PFMigrations;
    PFMigrations = nullptr;
  }
  void Make(const std::string& rel, const std::string& bytes) {
    const std::string p = dir.Path(rel);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(p).parent_path(), ec);
    ASSERT_FALSE(ec) << ec.message();
    ASSERT_TRUE(phototest::WriteFile(p, bytes));
    setfiletime(p.c_str(), 1500000000);
  }
  // A record of the file at rel, as it is now.
  DBRecord Record(const std::string& rel) {
    DBRecord r(&PDBFInfo);
    recordFileInfo(&r, dir.Path(rel).c_str());
    return r;
  }
  ScratchDir dir;
  MessageLog log;
};

std::string gAnswer;
bool Answer(char* path, int len, DBRecord*) {
  if (gAnswer.empty()) return false;
  snprintf(path, static_cast<size_t>(len), "%s", gAnswer.c_str());
  return true;
}

}  // namespace

TEST_F(Locate, OkPutbackAndChangedInTheRecordedFolders) {
  Make("a/x.jpg", "contents one");
  DBRecord r = Record("a/x.jpg");
  char path[1024];
  EXPECT_EQ(PlocateFile(path, sizeof(path), r), PLFRok);
  EXPECT_EQ(path, dir.Path("a/x.jpg"));

  // Touched, same contents.
  setfiletime(dir.Path("a/x.jpg").c_str(), 1600000000);
  EXPECT_EQ(PlocateFile(path, sizeof(path), r), PLFRputback);

  // Seen in three folders; now only in the third.
  Make("b/x.jpg", "contents one");
  Make("c/x.jpg", "contents one");
  recordFilePath(&r, dir.Path("c/x.jpg").c_str());
  recordFilePath(&r, dir.Path("b/x.jpg").c_str());
  recordFilePath(&r, dir.Path("a/x.jpg").c_str());
  unlink(dir.Path("a/x.jpg").c_str());
  unlink(dir.Path("b/x.jpg").c_str());
  EXPECT_EQ(PlocateFile(path, sizeof(path), r), PLFRputback);
  EXPECT_EQ(path, dir.Path("c/x.jpg"));

  // Other contents where expected: changed, and no migration is tried.
  Make("a/x.jpg", "other contents!");
  PFMigrations = new PFileMigration(dir.Path("a").c_str(), dir.Path("c").c_str());
  unlink(dir.Path("c/x.jpg").c_str());
  Make("c/x.jpg", "contents one");
  setfiletime(dir.Path("c/x.jpg").c_str(), 1400000000);
  DBRecord first = Record("a/x.jpg");
  PDBsetInt(&first, PDBFhashval, 12345);
  PDBsetInt(&first, PDBFmodtime, 1);
  recordFilePath(&first, dir.Path("a/x.jpg").c_str());
  PDBsetInt(&first, PDBFmodtime, 1);
  EXPECT_EQ(PlocateFile(path, sizeof(path), first), PLFRchanged);
  EXPECT_EQ(path, dir.Path("a/x.jpg"));

  // A record without time, length and hash accepts any file of its name.
  DBRecord bare(&PDBFInfo);
  recordFilePath(&bare, dir.Path("a/x.jpg").c_str());
  bare.ClearField(PDBid(bare, PDBFmodtime));
  EXPECT_NE(PlocateFile(path, sizeof(path), bare), PLFRfail);
  EXPECT_EQ(path, dir.Path("a/x.jpg"));
  EXPECT_EQ(PlocateFile(path, 0, bare), PLFRfail);
}

TEST_F(Locate, MigratedThroughARuleThatThenLeads) {
  Make("Disk1/Photos/x.jpg", "pixels");
  DBRecord r = Record("Disk1/Photos/x.jpg");
  ASSERT_EQ(rename(dir.Path("Disk1").c_str(), dir.Path("Disk2").c_str()), 0);
  char path[1024];
  EXPECT_EQ(PlocateFile(path, sizeof(path), r), PLFRfail);

  PFMigrations = new PFileMigration("/elsewhere/p/x.jpg", "/other/p/x.jpg");
  PFMigrations->AddMigration(dir.Path("Disk1/Photos/x.jpg").c_str(),
                             dir.Path("Disk2/Photos/x.jpg").c_str());
  ASSERT_NE(PFMigrations->GetNext(), nullptr);
  EXPECT_EQ(PFMigrations->GetNext()->GetOldDir(), dir.Path("Disk1"));
  EXPECT_EQ(PlocateFile(path, sizeof(path), r), PLFRmigrated);
  EXPECT_EQ(path, dir.Path("Disk2/Photos/x.jpg"));
  EXPECT_EQ(PFMigrations->GetOldDir(), dir.Path("Disk1"));  // moved to the front

  // Whole components only.
  EXPECT_EQ(PFMigrations->Match((dir.Path("Disk10") + "/Photos").c_str()), nullptr);
  EXPECT_EQ(PFMigrations->Match(dir.Path("Disk1").c_str()), PFMigrations);

  // The updating form records the new folder first.
  DBRecord upd = r;
  EXPECT_EQ(PlocateFile(path, sizeof(path), &upd, nullptr), PLFRmigrated);
  EXPECT_EQ(std::string(PDBgetString(upd, PDBFlocation)), dir.Path("Disk2/Photos"));
}

TEST_F(Locate, AnswersRenameLearnOneRuleAndRefuseOtherFiles) {
  Make("old/x.jpg", "the picture");
  DBRecord r = Record("old/x.jpg");
  Make("new/x.jpg", "the picture");
  Make("new/y.jpg", "the picture");
  Make("new/z.jpg", "another picture");
  unlink(dir.Path("old/x.jpg").c_str());
  char path[1024];

  gAnswer = dir.Path("new/z.jpg");  // other contents, other name
  DBRecord r1 = r;
  EXPECT_EQ(PlocateFile(path, sizeof(path), &r1, Answer), PLFRfail);
  EXPECT_STREQ(PDBgetString(r1, PDBFfile), "x.jpg");

  gAnswer = dir.Path("new/y.jpg");  // same contents, other name
  DBRecord r2 = r;
  EXPECT_EQ(PlocateFile(path, sizeof(path), &r2, Answer), PLFRrenamed);
  EXPECT_STREQ(PDBgetString(r2, PDBFfile), "y.jpg");
  EXPECT_EQ(PFMigrations, nullptr);

  gAnswer = dir.Path("new/x.jpg");  // same name in another folder: one rule
  DBRecord r3 = r;
  EXPECT_EQ(PlocateFile(path, sizeof(path), &r3, Answer), PLFRmigrated);
  ASSERT_NE(PFMigrations, nullptr);
  EXPECT_EQ(PFMigrations->GetOldDir(), dir.Path("old"));
  EXPECT_EQ(PFMigrations->GetNewDir(), dir.Path("new"));
  // The rule now finds the file by itself; a second answer adds no rule.
  DBRecord r4 = r;
  EXPECT_EQ(PlocateFile(path, sizeof(path), &r4, nullptr), PLFRmigrated);
  delete PFMigrations;
  PFMigrations = new PFileMigration(dir.Path("old/x.jpg").c_str(), dir.Path("new/x.jpg").c_str());
  DBRecord r5 = r;
  PDBsetInt(&r5, PDBFmodtime, 0);
  unlink(dir.Path("new/x.jpg").c_str());
  Make("new2/x.jpg", "the picture");
  gAnswer = dir.Path("new2/x.jpg");
  EXPECT_EQ(PlocateFile(path, sizeof(path), &r5, Answer), PLFRmigrated);
  int n = 0;
  for (PFileMigration* m = PFMigrations; m != nullptr; m = m->GetNext()) n++;
  EXPECT_EQ(n, 2);
  DBRecord r6 = r;
  Make("new3/x.jpg", "the picture");
  unlink(dir.Path("new2/x.jpg").c_str());
  gAnswer = dir.Path("new3/x.jpg");
  EXPECT_EQ(PlocateFile(path, sizeof(path), &r6, Answer), PLFRmigrated);
  n = 0;
  for (PFileMigration* m = PFMigrations; m != nullptr; m = m->GetNext()) n++;
  EXPECT_EQ(n, 3);

  gAnswer.clear();
  unlink(dir.Path("new3/x.jpg").c_str());
  DBRecord r7 = r;
  EXPECT_EQ(PlocateFile(path, sizeof(path), &r7, Answer), PLFRfail);
}

TEST_F(Locate, ChangeDerivationAndRewriting) {
  char o[1024], n[1024];
  ASSERT_EQ(
      PFileMigration::GetChange(o, n, "/Volumes/Disk1/Photos/x.jpg", "/Volumes/Disk2/Photos/x.jpg"),
      1);
  EXPECT_STREQ(o, "/Volumes/Disk1");
  EXPECT_STREQ(n, "/Volumes/Disk2");
  ASSERT_EQ(PFileMigration::GetChange(o, n, "/x/f.jpg", "/y/x/f.jpg"), 1);
  EXPECT_STREQ(o, "/x");
  EXPECT_STREQ(n, "/y/x");
  EXPECT_EQ(PFileMigration::GetChange(o, n, "/same/f.jpg", "/same/f.jpg"), 0);
  EXPECT_EQ(PFileMigration::GetChange(o, n, nullptr, "/a"), 0);

  // A pair without a change is a warning and makes an empty rule that matches nothing.
  PFileMigration bad("/a/b", "/a/b");
  EXPECT_TRUE(log.Has(DMCwarning, "False file migration!"));
  EXPECT_EQ(log.CountClass(DMCassert), 0);
  EXPECT_EQ(bad.Match("/a/b"), nullptr);

  PFileMigration m("/Volumes/Disk1/P/x.jpg", "/Volumes/Disk2/P/x.jpg");
  char out[32];
  ASSERT_EQ(m.Migrate(out, sizeof(out), "/Volumes/Disk1/P/y.jpg"), 1);
  EXPECT_STREQ(out, "/Volumes/Disk2/P/y.jpg");
  EXPECT_EQ(m.Migrate(out, 22, "/Volumes/Disk1/P/y.jpg"), 0);  // 22 characters need 23 bytes
  EXPECT_EQ(m.Migrate(out, 23, "/Volumes/Disk1/P/y.jpg"), 1);
  EXPECT_EQ(m.Migrate(out, sizeof(out), "/Volumes/Disk10/y.jpg"), 0);
  EXPECT_EQ(m.Promote(&bad), nullptr);
  EXPECT_EQ(m.Promote(&m), &m);
}

// A record whose file is to go is kept for a copy only where the picture truly stays: a file of
// its name, length and hash in another of its folders (or of the other version's). The file's
// own folder by another name (a link to it) is no other folder, and a file of other contents
// no copy, though its name and length are the picture's. The record kept names the copy's
// folder first and no longer the folder left.
TEST_F(Locate, ARecordIsKeptOnlyForATrueCopyInAnotherFolder) {
  Make("a/x.jpg", "the picture");
  Make("c/x.jpg", "THE PICTURE");
  std::filesystem::create_directory_symlink(dir.Path("a"), dir.Path("alias"));
  DBRecord r = Record("a/x.jpg");
  recordFilePath(&r, dir.Path("alias/x.jpg").c_str());
  recordFilePath(&r, dir.Path("c/x.jpg").c_str());
  recordFilePath(&r, dir.Path("a/x.jpg").c_str());
  DBRecord kept, untouched(r);
  char found[1024] = "";
  EXPECT_FALSE(PkeepForCopy(&kept, r, dir.Path("a/x.jpg").c_str(), nullptr, found, sizeof found));
  EXPECT_EQ(kept.l, nullptr);

  Make("b/x.jpg", "the picture");
  setfiletime(dir.Path("b/x.jpg").c_str(), 1600000000);
  DBRecord other(r);
  recordFilePath(&other, dir.Path("b/x.jpg").c_str());
  ASSERT_TRUE(PkeepForCopy(&kept, r, dir.Path("a/x.jpg").c_str(), &other, found, sizeof found));
  EXPECT_EQ(found, dir.Path("b/x.jpg"));
  const DBField& loc = PDBgetField(kept, PDBFlocation);
  ASSERT_EQ(loc.GetNV(), 2);
  EXPECT_EQ(loc.GetString(0), dir.Path("b"));
  EXPECT_EQ(loc.GetString(1), dir.Path("c"));
  long t = 0;
  EXPECT_TRUE(PDBgetInt(kept, PDBFmodtime, &t));
  EXPECT_EQ(t, 1600000000);
  EXPECT_TRUE(r == untouched);
  // Without a recorded length and hash nothing tells a copy.
  DBRecord bare(r);
  bare.ClearField(PDBid(bare, PDBFhashval));
  EXPECT_FALSE(PkeepForCopy(&kept, bare, dir.Path("a/x.jpg").c_str(), &other));
}

bool gAsked = false;
bool Asked(char*, int, DBRecord*) {
  gAsked = true;
  return false;
}

// A File that is a path, or empty, "." or "..", names no file: a record of a table made by
// someone else whose File reaches out of its folders (the length and hash recorded those of
// the file it reaches) finds nothing, keeps nothing and opens nothing, and no one is asked.
TEST_F(Locate, AFileThatNamesNoFileIsLookedForNowhere) {
  Make("secret", "the user's own");
  Make("a/b/x.jpg", "the user's own");
  Make("c/x.jpg", "");
  const std::string files[] = {"../secret", dir.Path("secret"), "b/x.jpg", "", ".", ".."};
  for (const std::string& file : files) {
    SCOPED_TRACE("File '" + file + "'");
    EXPECT_FALSE(PisFileName(file.c_str()));
    DBRecord r = Record("secret");
    const std::string a = dir.Path("a"), c = dir.Path("c");
    const char* folders[] = {a.c_str(), "/", c.c_str()};
    PDBsetStrings(&r, PDBFlocation, folders, 3);
    PDBsetString(&r, PDBFfile, file.c_str());
    const DBRecord before(r);
    char path[1024];
    EXPECT_EQ(PcurrentFile(path, sizeof path, r), nullptr);
    EXPECT_EQ(PlocateFile(path, sizeof path, r), PLFRfail);
    gAsked = false;
    EXPECT_EQ(PlocateFile(path, sizeof path, &r, Asked), PLFRfail);
    EXPECT_FALSE(gAsked);
    DBRecord kept;
    EXPECT_FALSE(PkeepForCopy(&kept, r, dir.Path("c/x.jpg").c_str()));
    log.Clear();
    EXPECT_EQ(PopenImageD(r, true), nullptr);
    EXPECT_EQ(log.Count(), 0u) << log.All();
    EXPECT_EQ(PopenImageD(r, false), nullptr);
    EXPECT_TRUE(log.Has(DMCinput, "Record '" + file + "' left alone: its File is not a file name"))
        << log.All();
    EXPECT_TRUE(r == before);
  }
  for (const char* name : {"x.jpg", "..x", ".hidden", "x..", "a\\b", " "})
    EXPECT_TRUE(PisFileName(name)) << name;
}
