// A catalogue in a folder another user may write (a group's photo folder, mode 0777, not
// sticky): links, files and FIFOs that user puts at the names of its journal and index file,
// and a FIFO swapped in at the catalogue's own name.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "context_test_util.h"
#include "db/dbblock.h"
#include "db/dbbytes.h"
#include "db/dbjournal.h"
#include "db/test_access_util.h"
#include "db/test_faultfs.h"
#include "testutil/message_log.h"
#include "testutil/other_user.h"
#include "testutil/swap_at_open.h"

using ctxtest::ReadFile;
using ctxtest::TempDir;

namespace {

// A file of the program's user's own making, private, not a second name of anything.
::testing::AssertionResult OwnPrivateFile(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return ::testing::AssertionFailure() << path << " is missing";
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0 || st.st_nlink != 1)
    return ::testing::AssertionFailure()
           << path << ": mode 0" << std::oct << st.st_mode << std::dec << ", owner " << st.st_uid
           << ", " << st.st_nlink << " names";
  return ::testing::AssertionSuccess();
}

// The files of a writer's own names (its temporary names with its process id and a random
// part) in a folder, one per line: what a writer left behind.
std::string WritersNames(const std::string& dir) {
  std::string left;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.find("-journal.new.") != std::string::npos ||
          name.find("-index.tmp.") != std::string::npos)
        left += name + "\n";
    }
    closedir(d);
  }
  return left;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

DBRecord Numbered(int i) {
  return ctxtest::Photo(("p" + std::to_string(i) + ".jpg").c_str(), 1000 + i, 7919L * i);
}

// A shared folder (0777) holding a private catalogue (0600), and a private folder of the
// user's (0700) holding two private files.
struct Shared {
  Shared() {
    chmod(d.Dir().c_str(), 0711);
    mkdir(folder.c_str(), 0777);
    chmod(folder.c_str(), 0777);
    mkdir(home.c_str(), 0700);
    for (const std::string& f : {secretA, secretB}) {
      ctxtest::WriteFile(f, "the user's own private text\n");
      chmod(f.c_str(), 0600);
    }
  }
  TempDir d;
  const std::string folder = d.Path("group"), home = d.Path("home");
  const std::string db = folder + "/cat.qdb", secretA = home + "/a.txt", secretB = home + "/b.txt";
};

// Makes the catalogue at db, holding one record; whether it could.
bool WithOneRecord(const std::string& db) {
  PContext ctx;
  if (!ctx.OpenDB(db.c_str())) return false;
  std::vector<DBRecord> add = {Numbered(0)};
  ctx.pdb.AddRecords(add.data(), 1);
  return ctx.CloseDB();
}

}  // namespace

// Links to two private files, then files of the other user's (mode 0666, a second name kept
// elsewhere), at the temporary names of the journal and the index file: each sync leaves the
// targets and the planted files as they were, and writes its journal and index file as new
// files of the user's, as private as the catalogue, under names of the writer's own where the
// other user's stand (the user's own, left by a crash, go); nothing of the writer's is left
// behind, and the catalogue holds every sync.
TEST(PlantedNames, ASyncNeverWritesThroughALinkOrIntoAFilePutAtItsTemporaryNames) {
  Shared s;
  const bool theirs = testutil::CanBeOtherUser();
  const std::string journal = s.db + "-journal", index = s.db + "-index";
  const std::string tempJ = s.db + "-journal.new", tempI = s.db + "-index.tmp";
  {
    PContext ctx;
    ASSERT_TRUE(ctx.OpenDB(s.db.c_str()));
    ASSERT_TRUE(ctx.CloseDB());
  }
  ASSERT_EQ(chmod(s.db.c_str(), 0600), 0);
  const std::string secret = ReadFile(s.secretA);
  const std::string keepJ = s.folder + "/keep-j", keepI = s.folder + "/keep-i";
  const std::string planted = "the other user's file\n";
  int records = 0;
  for (bool links : {true, false}) {
    SCOPED_TRACE(links ? "links" : "files");
    ASSERT_TRUE(testutil::Plant([&] {
      unlink(tempJ.c_str());
      unlink(tempI.c_str());
      if (links)
        return symlink(s.secretA.c_str(), tempJ.c_str()) == 0 &&
               symlink(s.secretB.c_str(), tempI.c_str()) == 0;
      for (const auto& f : {std::make_pair(tempJ, keepJ), std::make_pair(tempI, keepI)}) {
        const int fd = open(f.first.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 || fchmod(fd, 0666) != 0 ||
            write(fd, planted.data(), planted.size()) != (ssize_t)planted.size() ||
            close(fd) != 0 || link(f.first.c_str(), f.second.c_str()) != 0)
          return false;
      }
      return true;
    }));
    // The journal as the sync's first write into the catalogue finds it.
    dbtest::FaultFS fault(1, s.db);
    fault.hookPath = s.db;
    fault.hookAt = 1;
    bool looked = false;
    fault.hook = [&] {
      looked = true;
      EXPECT_TRUE(OwnPrivateFile(journal));
      EXPECT_EQ(ReadFile(journal).compare(0, 8, "QRDBjnl2"), 0);
    };
    PContext ctx;
    ctx.fileSystem = &fault;
    ASSERT_TRUE(ctx.OpenDB(s.db.c_str()));
    ASSERT_FALSE(ctx.ReadOnly());
    std::vector<DBRecord> add;
    for (int i = 0; i < 50; i++) add.push_back(Numbered(records + i));
    ASSERT_TRUE(ctx.Checkpoint("Add", nullptr));
    ctx.pdb.AddRecords(add.data(), static_cast<int>(add.size()));
    records += 50;
    EXPECT_TRUE(ctx.SyncDB()) << ctx.SyncFailure();
    EXPECT_TRUE(looked);
    EXPECT_TRUE(ctx.CloseDB());
    for (const std::string& f : {s.secretA, s.secretB}) {
      EXPECT_EQ(ReadFile(f), secret) << f;
      EXPECT_EQ(ModeOf(f) & 07777, 0600u) << f;
    }
    // The other user's names stay theirs; planted by the user, they were the user's leftovers.
    for (const std::string& f : {tempJ, tempI}) EXPECT_EQ(ModeOf(f) != 0, theirs) << f;
    if (!links && theirs) {
      for (const std::string& f : {keepJ, keepI}) {
        EXPECT_EQ(ReadFile(f), planted) << f;
        EXPECT_EQ(ModeOf(f) & 0777, 0666u) << f;
      }
    }
    EXPECT_FALSE(ctxtest::Exists(journal));
    EXPECT_TRUE(OwnPrivateFile(index));
    EXPECT_EQ(ReadFile(index).compare(0, 8, "QRDBidx1"), 0);
    EXPECT_EQ(WritersNames(s.folder), "");
    PContext reader;
    ASSERT_TRUE(reader.OpenDB(s.db.c_str(), true));
    EXPECT_EQ(reader.pdb.TotalRecords(), records);
  }
}

// An ordinary user's catalogue (a child takes a third user's ids: root would remove and replace
// anything anywhere) in a sticky folder (01777, as /tmp is), where another user's files stand at
// the temporary names of its journal and index file and at the index file's own name: there the
// user cannot remove them, and they stop no sync. Each sync saves under names of the writer's
// own; the other user's files stay as they were (the index file's name stays theirs, the catalogue
// goes without one, and the user is told whose file stands there); nothing of the writer's is
// left behind; the catalogue holds every record.
TEST(PlantedNames, InAStickyFolderAnotherUsersFilesAtItsNamesStopNoSync) {
  if (!testutil::CanBeOtherUser()) GTEST_SKIP() << "not root: no file of another user to plant";
  TempDir d;
  ASSERT_EQ(chmod(d.Dir().c_str(), 0711), 0);
  const std::string folder = d.Path("drop"), db = folder + "/cat.qdb";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
  const std::string names[] = {db + "-journal.new", db + "-index.tmp", db + "-index"};
  const std::string planted = "the other user's file\n";
  ASSERT_TRUE(testutil::Plant([&] {
    for (const std::string& f : names) {
      const int fd = open(f.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0 || write(fd, planted.data(), planted.size()) != (ssize_t)planted.size() ||
          close(fd) != 0)
        return false;
    }
    return true;
  }));
  const pid_t child = fork();
  if (child == 0) {
    alarm(60);
    const uid_t u = testutil::ThirdUid();
    if (setgroups(0, nullptr) != 0 || setresgid(u, u, u) != 0 || setresuid(u, u, u) != 0) _exit(2);
    MessageLog quiet;
    PContext ctx;
    if (!ctx.OpenDB(db.c_str()) || ctx.ReadOnly()) _exit(3);
    for (int sync = 0; sync < 3; sync++) {
      std::vector<DBRecord> add;
      for (int i = 0; i < 40; i++) add.push_back(Numbered(40 * sync + i));
      ctx.pdb.AddRecords(add.data(), static_cast<int>(add.size()));
      if (!ctx.SyncDB()) {
        fprintf(stderr, "%s\n", ctx.SyncFailure().c_str());
        _exit(4);
      }
    }
    if (!ctx.CloseDB()) _exit(5);
    // Told whose file stands where its index file would go.
    _exit(quiet.Has(DMCwarning, "Database index file " + db + "-index could not be written: a " +
                                    "file of " + testutil::OtherUserNamed() + " stands there")
              ? 0
              : 6);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (const std::string& f : names) {
    struct stat st;
    ASSERT_EQ(lstat(f.c_str(), &st), 0) << f;
    EXPECT_EQ(st.st_uid, testutil::OtherUid()) << f;
    EXPECT_EQ(ReadFile(f), planted) << f;
  }
  EXPECT_FALSE(ctxtest::Exists(db + "-journal"));
  EXPECT_EQ(WritersNames(folder), "");
  PContext reader;
  ASSERT_TRUE(reader.OpenDB(db.c_str(), true));
  EXPECT_EQ(reader.pdb.TotalRecords(), 120);
}

// A file another user puts at the journal's own name while the catalogue is open, in a sticky
// folder where the user cannot remove it: the sync cannot make its journal, and says so, naming
// the file and its owner; the catalogue is left as the last sync made it.
TEST(PlantedNames, AFileOfAnotherUserAtTheJournalsNameIsNamedWithItsOwner) {
  if (!testutil::CanBeOtherUser()) GTEST_SKIP() << "not root: no file of another user to plant";
  Shared s;
  ASSERT_EQ(chmod(s.folder.c_str(), 01777), 0);
  const std::string journal = s.db + "-journal";
  PContext ctx;
  ASSERT_TRUE(ctx.OpenDB(s.db.c_str()));
  std::vector<DBRecord> add = {Numbered(0)};
  ctx.pdb.AddRecords(add.data(), 1);
  ASSERT_TRUE(ctx.SyncDB()) << ctx.SyncFailure();
  const std::string bytes = ReadFile(s.db);
  ASSERT_TRUE(testutil::Plant([&] {
    const int fd = open(journal.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    return fd >= 0 && close(fd) == 0;
  }));
  add = {Numbered(1)};
  ASSERT_TRUE(ctx.Checkpoint("Add", nullptr));
  ctx.pdb.AddRecords(add.data(), 1);
  MessageLog quiet;
  EXPECT_FALSE(ctx.SyncDB());
  EXPECT_EQ(ctx.SyncFailure(), "Cannot save the catalog 'cat': The name of the journal of \"" +
                                   s.db + "\" is taken by '" + journal + "', a file of " +
                                   testutil::OtherUserNamed());
  EXPECT_EQ(ReadFile(s.db), bytes);
}

// An index file is trusted only as a writer's of the catalogue: its owner's or the opener's. The
// same bytes made another user's (who could have made them to match what stat tells) are not
// used: the catalogue's blocks are read instead.
TEST(PlantedNames, AnIndexFileOfAnotherUserIsNotTrusted) {
  if (!testutil::CanBeOtherUser()) GTEST_SKIP() << "not root: no file of another user to make";
  Shared s;
  {
    PContext ctx;
    ASSERT_TRUE(ctx.OpenDB(s.db.c_str()));
    std::vector<DBRecord> add;
    for (int i = 0; i < 20; i++) add.push_back(Numbered(i));
    ctx.pdb.AddRecords(add.data(), static_cast<int>(add.size()));
    ASSERT_TRUE(ctx.CloseDB());
  }
  const std::string index = s.db + "-index";
  ASSERT_TRUE(ctxtest::Exists(index));
  for (const bool theirs : {false, true}) {
    SCOPED_TRACE(theirs ? "another user's" : "the user's");
    if (theirs) {
      ASSERT_TRUE(testutil::GiveToOtherUser(index));
    }
    const uint64_t reads = DBAccess::BlockReads();
    MessageLog quiet;
    dbtest::FileDB reader(s.db, true);
    EXPECT_EQ(reader.db->TotalRecords(), 20);
    EXPECT_EQ(DBAccess::BlockReads() > reads, theirs);
  }
}

// A FIFO at the name of the journal or of the index file is never waited on (no writer ever
// comes): the catalogue opens at once, read-only beside a "journal" that is none, and with a
// FIFO for an index file it is written and its index file made anew.
TEST(PlantedNames, AFifoAtTheJournalsOrTheIndexFilesNameIsNotWaitedOn) {
  for (const char* suffix : {"-index", "-journal"}) {
    SCOPED_TRACE(suffix);
    Shared s;
    ASSERT_TRUE(WithOneRecord(s.db));
    const std::string fifo = s.db + suffix;
    unlink(fifo.c_str());
    ASSERT_TRUE(testutil::Plant([&] { return mkfifo(fifo.c_str(), 0666) == 0; }));
    // In a child that a wait without end would leave to its alarm.
    const pid_t child = fork();
    if (child == 0) {
      alarm(60);
      MessageLog quiet;
      PContext ctx;
      if (!ctx.OpenDB(s.db.c_str())) _exit(2);
      if (ctx.ReadOnly()) _exit(3);
      std::vector<DBRecord> add = {Numbered(1)};
      ctx.pdb.AddRecords(add.data(), 1);
      _exit(ctx.SyncDB() && ctx.CloseDB() ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFSIGNALED(status)) << "the open waited on the FIFO until its alarm";
    ASSERT_TRUE(WIFEXITED(status));
    if (std::string(suffix) == "-journal") {
      EXPECT_EQ(WEXITSTATUS(status), 3) << "not opened read-only";
      EXPECT_TRUE(S_ISFIFO(ModeOf(fifo)));
    } else {
      EXPECT_EQ(WEXITSTATUS(status), 0);
      EXPECT_TRUE(S_ISREG(ModeOf(fifo)));
      PContext reader;
      ASSERT_TRUE(reader.OpenDB(s.db.c_str(), true));
      EXPECT_EQ(reader.pdb.TotalRecords(), 2);
    }
  }
}

// Another user wins every race for the catalogue's own name: whatever looks at it finds the
// catalogue, every open of it meets a FIFO that no writer opens. Opened read-only or for
// writing, it is refused at once, saying why, and the catalogue is as it was.
TEST(PlantedNames, ACatalogWhoseNameIsSwappedForAFifoIsRefusedAtOnce) {
  Shared s;
  ASSERT_TRUE(WithOneRecord(s.db));
  for (const bool readonly : {true, false}) {
    SCOPED_TRACE(readonly ? "read-only" : "for writing");
    testutil::NameRace race(s.db, true);
    ASSERT_TRUE(race.Ready());
    // In a child that a wait without end would leave to its alarm.
    const pid_t child = fork();
    if (child == 0) {
      alarm(60);
      MessageLog log;
      PContext ctx;
      const bool opened = ctx.OpenDB(s.db.c_str(), readonly);
      _exit(opened ? 3
            : log.Has(DMCresource, "Cannot open database file '" + s.db + "': not a regular file")
                ? 0
                : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFSIGNALED(status)) << "the open waited on the FIFO until its alarm";
    EXPECT_EQ(WEXITSTATUS(status), 0) << (WEXITSTATUS(status) == 3 ? "opened" : "not told");
  }
  PContext reader;
  ASSERT_TRUE(reader.OpenDB(s.db.c_str(), true));
  EXPECT_EQ(reader.pdb.TotalRecords(), 1);
}

namespace {

// A journal for the database at db that passes every check of its bytes, made from what stat
// tells of the database alone (its device, inode and size; no byte of it checked): played
// back, it writes one chunk of the other user's bytes over the start of the database.
std::string JournalFromStat(const std::string& db) {
  using dbbytes::Put32;
  using dbbytes::Put64;
  struct stat st;
  if (stat(db.c_str(), &st) != 0) return "";
  const uint32_t salt = 0x2545F491u;
  std::vector<unsigned char> j(96, 0);
  memcpy(j.data(), "QRDBjnl2", 8);
  Put32(&j[8], salt);
  Put32(&j[12], DB_BLOCKSIZE);
  Put64(&j[16], st.st_dev);
  Put64(&j[24], st.st_ino);
  Put64(&j[32], static_cast<uint64_t>(st.st_size));
  Put32(&j[40], 0);
  Put32(&j[44], DBJournal::Checksum(0, "", 0));
  Put32(&j[48], DBJournal::Checksum(0, j.data(), 48));
  // The count: slot 1 of generation 1 names one piece, the size unchanged.
  Put32(&j[52], 1);
  Put32(&j[56], 1);
  Put64(&j[60], static_cast<uint64_t>(st.st_size));
  Put32(&j[68], DBJournal::Checksum(salt ^ static_cast<uint32_t>(52 * 0x9E3779B1u), &j[52], 16));
  const size_t n = 4096;
  std::vector<unsigned char> piece(16 + n + 4, 'X');
  Put64(&piece[0], 0);
  Put32(&piece[8], n);
  Put32(&piece[12], 0);
  Put32(&piece[16 + n], DBJournal::Checksum(salt, piece.data(), 16 + n));
  j.insert(j.end(), piece.begin(), piece.end());
  return std::string(j.begin(), j.end());
}

}  // namespace

// A journal another user made (root plants one), or one with a second name, at the journal's
// name of a private catalogue: a well-formed journal that would write over the catalogue. A
// reader of another copy (its owner lock held here, as by a sync) reads the file as it is, and
// an open plays nothing back: the catalogue opens read-only, says why, and keeps its bytes;
// the journal is kept as it was.
TEST(PlantedNames, AJournalNoWriterOfTheCatalogueMadeIsNeitherPlayedBackNorRead) {
  for (bool otherUsers : {true, false}) {
    SCOPED_TRACE(otherUsers ? "another user's journal" : "a journal with a second name");
    if (otherUsers && geteuid() != 0) {
      std::cout << "Not root: no journal of another user to plant\n";
      continue;
    }
    Shared s;
    const std::string journal = s.db + "-journal", second = s.folder + "/kept";
    {
      PContext ctx;
      ASSERT_TRUE(ctx.OpenDB(s.db.c_str()));
      std::vector<DBRecord> add;
      for (int i = 0; i < 20; i++) add.push_back(Numbered(i));
      ctx.pdb.AddRecords(add.data(), static_cast<int>(add.size()));
      ASSERT_TRUE(ctx.CloseDB());
    }
    ASSERT_EQ(chmod(s.db.c_str(), 0600), 0);
    const std::string bytes = ReadFile(s.db), planted = JournalFromStat(s.db);
    ASSERT_FALSE(planted.empty());
    auto plant = [&] {
      const int fd = open(journal.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      return fd >= 0 && write(fd, planted.data(), planted.size()) == (ssize_t)planted.size() &&
             close(fd) == 0 && (otherUsers || link(journal.c_str(), second.c_str()) == 0);
    };
    ASSERT_TRUE(otherUsers ? testutil::Plant(plant) : plant());
    {
      const int holder = open(s.db.c_str(), O_RDWR | O_CLOEXEC);
      ASSERT_GE(holder, 0);
      ASSERT_TRUE(
          DBFileSystem::System()->Lock(holder, DBJournal::kOwnerByte, DBFileSystem::kExclusive));
      MessageLog quiet;
      PContext reader;
      EXPECT_TRUE(reader.OpenDB(s.db.c_str())) << quiet.All();
      EXPECT_TRUE(reader.ReadOnly());
      EXPECT_EQ(reader.pdb.TotalRecords(), 20);
      close(holder);
    }
    {
      MessageLog log;
      PContext ctx;
      ASSERT_TRUE(ctx.OpenDB(s.db.c_str())) << log.All();
      EXPECT_TRUE(ctx.ReadOnly());
      EXPECT_EQ(ctx.ReadOnlyWhy().rfind("its journal '" + journal + "', left by a sync", 0), 0u)
          << ctx.ReadOnlyWhy();
      const std::string told = "Database journal '" + journal +
                               "' does not belong to the database (" +
                               (otherUsers ? "made by " + testutil::OtherUserNamed()
                                           : std::string("a file with other names")) +
                               "): not played back and kept; the database is opened read-only";
      EXPECT_TRUE(log.Has(DMCdata, told)) << log.All();
      EXPECT_EQ(ctx.pdb.TotalRecords(), 20);
    }
    EXPECT_EQ(ReadFile(s.db), bytes);
    EXPECT_EQ(ReadFile(journal), planted);
  }
}
