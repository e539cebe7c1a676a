// Syncs through the rollback journal: a machine stopped at any write or fsync of a sync leaves
// exactly the records of the previous sync or of this one; a killed process loses nothing that
// a completed sync wrote; a failed sync puts the file back from its journal at once, its change
// kept for the next sync; a journal cut short or of another file is kept and never played back;
// a process opening the database while another syncs it reads the last complete sync and writes
// nothing; damaged files are never written.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/dbase.h"
#include "db/dbbytes.h"
#include "db/dbjournal.h"
#include "db/test_access_util.h"
#include "db/test_faultfs.h"
#include "testutil/budget_guard.h"
#include "testutil/other_user.h"
#include "support/cache.h"
#include "support/pwork.h"

using dbtest::Exists;
using dbtest::FaultFS;
using dbtest::FileDB;
using dbtest::Messages;
using dbtest::TempFile;

namespace {

// Every record of the database as a sorted list of text lines.
std::vector<std::string> Lines(FileDB* d) {
  std::vector<std::string> out;
  for (const DBRecord& r : d->Walk()) {
    std::ostringstream os;
    r.Write(&os, '\t');
    out.push_back(os.str());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The state of version v of a changing catalogue: photos [v * 37, v * 37 + n) of the photo
// kind, those with a multiple of 5 retitled for the version.
void VersionRecords(const DBFieldInfo* s, int v, int n, std::vector<DBRecord>* out) {
  out->clear();
  for (int i = v * 37; i < v * 37 + n; i++) {
    out->emplace_back();
    dbtest::PhotoRecord(&out->back(), s, i);
    if (i % 5 == 0) out->back().SetField(8, ("version " + std::to_string(v)).c_str());
  }
}

// Moves the database from version v of n records to v + 1 of n + grown: deletes the records
// that go or change, adds the new and changed ones.
void Advance(DBAccess* db, const DBFieldInfo* s, int v, int n, int grown = 0) {
  std::vector<DBRecord> from, to;
  VersionRecords(s, v, n, &from);
  VersionRecords(s, v + 1, n + grown, &to);
  std::vector<DBRecord> gone, added;
  for (const DBRecord& r : from)
    if (std::find(to.begin(), to.end(), r) == to.end()) gone.push_back(r);
  for (const DBRecord& r : to)
    if (std::find(from.begin(), from.end(), r) == from.end()) added.push_back(r);
  db->DeleteRecords(gone.data(), static_cast<int>(gone.size()));
  db->AddRecords(added.data(), static_cast<int>(added.size()));
}

// A file of version v, synced and closed.
void WriteVersion(const std::string& path, int v, int n) {
  FileDB d(path);
  dbtest::PhotoSchema(&d.header);
  std::vector<DBRecord> recs;
  VersionRecords(&d.header, v, n, &recs);
  ASSERT_EQ(d.db->AddRecords(recs.data(), n), n);
  ASSERT_TRUE(d.db->Close());
}

// The lines of version v; with extra, of a schema with one more field.
std::vector<std::string> VersionLines(int v, int n, bool extra = false) {
  DBFieldInfo s;
  dbtest::PhotoSchema(&s);
  TempFile f("version");
  FileDB d(f.path);
  dbtest::PhotoSchema(&d.header);
  if (extra) d.header.Field("Extra", DBDTint, "Extra", 0);
  std::vector<DBRecord> recs;
  VersionRecords(&d.header, v, n, &recs);
  d.db->AddRecords(recs.data(), static_cast<int>(recs.size()));
  return Lines(&d);
}

}  // namespace

TEST(Journal, FileWrittenThroughTheJournalIsByteForByteTheStreamOne) {
  TempFile a("plain"), b("journaled");
  for (int withFile = 0; withFile < 2; withFile++) {
    const std::string& path = withFile ? b.path : a.path;
    std::unique_ptr<std::fstream> fs(dbtest::OpenStream(path));
    DBFile file(path);
    DBHeader h;
    {
      DBAccess db(&h, fs.get(), withFile ? &file : nullptr, false);
      dbtest::PhotoSchema(&h);
      std::vector<DBRecord> recs;
      VersionRecords(&h, 0, 900, &recs);
      ASSERT_EQ(db.AddRecords(recs.data(), 900), 900);
      ASSERT_TRUE(db.Sync());
      Advance(&db, &h, 0, 900);
      ASSERT_TRUE(db.Close());
    }
    h.Attach(nullptr, true);
  }
  EXPECT_FALSE(Exists(b.path + "-journal"));
  EXPECT_EQ(a.Bytes(), b.Bytes());
  EXPECT_QDB_SOUND(b.path);
}

// For every k: version 1 is synced, the changes to version 2 are made and synced with the
// machine stopped at the k-th write or fsync (of the changes or the sync), the disk laid out
// as a power loss might leave it; reopening gives exactly version 1 or version 2, with nothing
// reported garbled.
TEST(Journal, StopAtEveryWriteOrFsyncLeavesThePreviousOrThisSync) {
  const int kN = 900;
  std::vector<std::string> v1 = VersionLines(1, kN), v2 = VersionLines(2, kN);
  std::vector<std::string> v2extra = VersionLines(2, kN, true);
  ASSERT_NE(v1, v2);
  int old = 0, fresh = 0;
  // Seed 2 changes the header too; with seed 3 memory holds one block, so changed blocks
  // are written back (through the journal) while the changes are made, before the sync; with
  // seed 4 it holds three, written back in batches.
  for (uint32_t seed = 1; seed <= 4; seed++) {
    for (long long k = 1;; k++) {
      ASSERT_LT(k, 1000) << "the sync never completes";
      SCOPED_TRACE("stop at call " + std::to_string(k) + ", seed " + std::to_string(seed));
      TempFile f("stop");
      ASSERT_NO_FATAL_FAILURE(WriteVersion(f.path, 1, kN));
      FaultFS fault(seed * 7919 + static_cast<uint32_t>(k), f.path);
      fault.stopAt = k;
      bool synced = false;
      {
        Messages quiet;
        BudgetGuard budget(seed == 3 ? DB_BLOCKSIZE : seed == 4 ? 3 * DB_BLOCKSIZE : 0);
        FileDB d(f.path, false, &fault);
        Advance(d.db.get(), &d.header, 1, kN);
        if (seed == 2) d.header.Field("Extra", DBDTint, "Extra", 0);
        synced = d.db->Sync();
        if (!fault.Stopped()) {
          ASSERT_TRUE(synced);
          break;
        }
      }
      fault.ApplyStop();
      Messages log;
      FileDB d(f.path);
      ASSERT_TRUE(d.db->Ready()) << log.All();
      std::vector<std::string> got = Lines(&d);
      const std::vector<std::string>& want2 = seed == 2 ? v2extra : v2;
      EXPECT_TRUE(got == v1 || got == want2) << got.size() << " records";
      // A stop after the file was made durable (while the index file is written) keeps it.
      EXPECT_TRUE(!synced || got == want2);
      old += got == v1;
      fresh += got == want2;
      EXPECT_EQ(log.CountClass(DMCdata), 0) << log.All();
      EXPECT_FALSE(Exists(f.path + "-journal"));
      ASSERT_TRUE(d.db->Close());
      if (seed == 1) EXPECT_QDB_SOUND(f.path);  // the checker is slow: one layout per call
    }
  }
  EXPECT_GT(old, 0);
  EXPECT_GT(fresh, 0);
}

TEST(Journal, FailedWritePutsTheFileBackAndTheNextSyncCompletes) {
  const int kN = 1000;
  std::vector<std::string> v2 = VersionLines(2, kN);
  for (long long k = 1; k < 12; k++) {
    SCOPED_TRACE("failing call " + std::to_string(k));
    TempFile f("fail");
    ASSERT_NO_FATAL_FAILURE(WriteVersion(f.path, 1, kN));
    FaultFS fault(static_cast<uint32_t>(k));
    fault.Watch(f.path);
    fault.failAt = k;
    {
      FileDB d(f.path, false, &fault);
      Advance(d.db.get(), &d.header, 1, kN);
      bool first;
      {
        Messages quiet;
        first = d.db->Sync();
      }
      if (first) break;  // the sync has fewer calls than k
      EXPECT_FALSE(Exists(f.path + "-journal"));
      EXPECT_TRUE(d.db->Sync());
      EXPECT_FALSE(Exists(f.path + "-journal"));
      ASSERT_TRUE(d.db->Close());
    }
    FileDB d(f.path);
    EXPECT_EQ(Lines(&d), v2);
  }
}

namespace {

// Makes f a file of version 1 with a hot journal beside it: a sync towards version 2 stopped
// after it wrote into the file and before its journal went. Returns the file's bytes.
std::string MakeHotJournal(const TempFile& f, int n) {
  WriteVersion(f.path, 1, n);
  for (long long k = 5; k < 100; k++) {
    std::string saved = f.Bytes();
    FaultFS fault(1, f.path);
    fault.stopAt = k;
    {
      Messages quiet;
      FileDB d(f.path, false, &fault);
      Advance(d.db.get(), &d.header, 1, n);
      d.db->Sync();
    }
    if (!fault.Stopped()) break;
    fault.ApplyStop();
    if (Exists(f.path + "-journal") && f.Bytes() != saved) return f.Bytes();
    f.Write(saved);
    unlink((f.path + "-journal").c_str());
  }
  ADD_FAILURE() << "no stop left the journal hot";
  return "";
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Opens f with a journal beside it that must not be played back: the file opens read-only
// with the data message that begins with report, refuses every write, and neither the file
// nor the journal changes.
void ExpectKept(const TempFile& f, const std::string& report) {
  std::string bytes = f.Bytes(), journal = ReadAll(f.path + "-journal");
  Messages log;
  {
    FileDB d(f.path);
    ASSERT_TRUE(d.db->Ready()) << log.All();
    EXPECT_TRUE(d.db->ReadOnly());
    DBRecord r;
    dbtest::PhotoRecord(&r, &d.header, 90000);
    EXPECT_FALSE(d.db->AddRecord(r));
    d.header.Field("Added", DBDTint, "Added", 0);
    EXPECT_FALSE(d.db->Sync());
  }
  bool reported = false;
  for (const auto& e : log.entries) reported |= e.first == DMCdata && e.second.find(report) == 0;
  EXPECT_TRUE(reported) << log.All();
  EXPECT_FALSE(log.Has(DMCwarning, "Database restored from its journal to the last complete sync"));
  EXPECT_EQ(f.Bytes(), bytes);
  EXPECT_EQ(ReadAll(f.path + "-journal"), journal);
}

}  // namespace

// A read-only open finding a hot journal it cannot play back opens nothing; once the file can
// be written the journal is played back.
TEST(Journal, HotJournalThatCannotBePlayedBackRefusesTheOpen) {
  const int kN = 600;
  std::vector<std::string> v1 = VersionLines(1, kN);
  TempFile f("refuse");
  std::string damaged = MakeHotJournal(f, kN);
  ASSERT_FALSE(damaged.empty());
  FaultFS readonlyDisk(2);
  readonlyDisk.Watch(f.path);
  readonlyDisk.refuseWrite = true;
  {
    Messages log;
    FileDB d(f.path, true, &readonlyDisk);
    EXPECT_FALSE(d.db->Ready());
    EXPECT_TRUE(
        log.Has(DMCdata, "Database has a journal of an incomplete sync that cannot be played back"))
        << log.All();
  }
  EXPECT_EQ(f.Bytes(), damaged);
  EXPECT_TRUE(Exists(f.path + "-journal"));
  Messages log;
  FileDB d(f.path, true);
  ASSERT_TRUE(d.db->Ready());
  EXPECT_TRUE(log.Has(DMCwarning, "Database restored from its journal to the last complete sync"));
  EXPECT_EQ(Lines(&d), v1);
  EXPECT_FALSE(Exists(f.path + "-journal"));
}

// A journal exists under its name only whole: one cut inside its header or at any boundary
// between its pieces is damage, never played back.
TEST(Journal, JournalCutShortIsKeptAndTheFileOpensReadOnly) {
  TempFile f("cut");
  std::string damaged = MakeHotJournal(f, 600);
  ASSERT_FALSE(damaged.empty());
  const std::string jpath = f.path + "-journal";
  std::string journal = ReadAll(jpath);
  std::vector<size_t> cuts = {0, 8, 24, 51, 60, 95, 96};
  for (size_t at = 96; at + 20 <= journal.size();) {
    at += 20 + dbbytes::Get32(reinterpret_cast<const unsigned char*>(journal.data()) + at + 8);
    if (at < journal.size()) cuts.push_back(at);
  }
  ASSERT_GT(cuts.size(), 20u);
  for (size_t cut : cuts) {
    SCOPED_TRACE("journal cut at " + std::to_string(cut) + " of " + std::to_string(journal.size()));
    f.Write(damaged);
    WriteAll(jpath, journal.substr(0, cut));
    ExpectKept(f, "Database journal '" + jpath + "' is damaged");
  }
}

// A journal beside a file that is not the one its sync wrote (another file of the same
// records, or one of an older layout) is not played back: the file keeps its records.
TEST(Journal, JournalOfAnotherDatabaseIsKeptAndTheFileUnchanged) {
  const int kN = 600;
  TempFile hot("hot"), other("other");
  ASSERT_FALSE(MakeHotJournal(hot, kN).empty());
  ASSERT_NO_FATAL_FAILURE(WriteVersion(other.path, 1, kN));
  const std::string jpath = other.path + "-journal";
  ASSERT_EQ(rename((hot.path + "-journal").c_str(), jpath.c_str()), 0);
  ExpectKept(other, "Database journal '" + jpath + "' does not belong to the database");
  {
    FileDB d(other.path, true);
    EXPECT_EQ(Lines(&d), VersionLines(1, kN));
  }
  // The old layout: magic, salt, size and checksum, then one piece of zeros over the header.
  std::string old("QRDBjnl1\x01\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20);
  old += std::string(4, '\0') + std::string(16, '\0') + std::string(4, '\0');
  WriteAll(jpath, old);
  ExpectKept(other, "Database journal '" + jpath +
                        "' does not belong to the database (of an older layout)");
}

// Whose a hot journal is decides whether it is played back: a writer of the database made it
// only when it is the database's owner's or the user's who opens it (one who may write
// another's database, say a group's). So the owner of a database another user may write opens
// it read-only beside that user's journal, and the user plays it back.
TEST(Journal, AHotJournalIsPlayedBackOnlyByItsOwnerOrTheDatabasesOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "files of another user can be made only as root";
  const int kN = 600;
  const uid_t other = testutil::OtherUid();
  const struct {
    const char* what;
    uid_t db, journal;
    bool playedBack;
  } cases[] = {
      {"another user's database, the journal the opener's", other, geteuid(), true},
      {"another user's database and journal", other, other, true},
      {"the opener's database, another user's journal", geteuid(), other, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempFile f("owner");
    ASSERT_FALSE(MakeHotJournal(f, kN).empty());
    const std::string jpath = f.path + "-journal";
    ASSERT_EQ(chown(f.path.c_str(), c.db, c.db), 0);
    ASSERT_EQ(chown(jpath.c_str(), c.journal, c.journal), 0);
    if (!c.playedBack) {
      ExpectKept(f, "Database journal '" + jpath + "' does not belong to the database (made by " +
                        testutil::OtherUserNamed() + ")");
      continue;
    }
    Messages log;
    FileDB d(f.path);
    ASSERT_TRUE(d.db->Ready()) << log.All();
    EXPECT_FALSE(d.db->ReadOnly());
    EXPECT_TRUE(log.Has(DMCwarning, "Database restored from its journal to the last complete sync"))
        << log.All();
    EXPECT_EQ(Lines(&d), VersionLines(1, kN));
    EXPECT_FALSE(Exists(jpath));
  }
}

// A child process changes and syncs the catalogue in a loop, telling the parent each version
// it completed; killed at a random moment, the file holds that version or the next.
TEST(Journal, KilledProcessLeavesTheLastCompletedSyncOrTheNext) {
  const int kN = 500;
  std::vector<std::vector<std::string>> versions;
  for (int v = 0; v < 30; v++) versions.push_back(VersionLines(v, kN));
  std::mt19937 rng(20261207);
  for (int run = 0; run < 12; run++) {
    SCOPED_TRACE("run " + std::to_string(run));
    TempFile f("kill");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      Messages quiet;
      FileDB d(f.path);
      dbtest::PhotoSchema(&d.header);
      std::vector<DBRecord> recs;
      VersionRecords(&d.header, 0, kN, &recs);
      d.db->AddRecords(recs.data(), kN);
      for (int v = 0; v < 29; v++) {
        if (!d.db->Sync()) _exit(2);
        char c = static_cast<char>(v);
        if (write(fds[1], &c, 1) != 1) _exit(3);
        Advance(d.db.get(), &d.header, v, kN);
      }
      d.db->Sync();
      _exit(0);
    }
    close(fds[1]);
    // Wait for the first completed sync, then kill after a random delay.
    char c;
    int last = -1;
    if (read(fds[0], &c, 1) == 1) last = c;
    usleep(static_cast<useconds_t>(rng() % 60000));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    while (read(fds[0], &c, 1) == 1) last = c;
    close(fds[0]);
    ASSERT_GE(last, 0) << "the child completed no sync";
    if (WIFEXITED(status)) {
      ASSERT_EQ(WEXITSTATUS(status), 0);
    }
    Messages log;
    FileDB d(f.path);
    ASSERT_TRUE(d.db->Ready()) << log.All();
    std::vector<std::string> got = Lines(&d);
    bool ok = got == versions[last] || (last + 1 < 30 && got == versions[last + 1]);
    EXPECT_TRUE(ok) << "last completed version " << last << ", " << got.size() << " records";
    EXPECT_EQ(log.CountClass(DMCdata), 0) << log.All();
    ASSERT_TRUE(d.db->Close());
    EXPECT_QDB_SOUND(f.path);
  }
}

namespace {

// n photos, every one titled for version v, and their lines.
void TitledRecords(const DBFieldInfo* s, int v, int n, std::vector<DBRecord>* out) {
  out->resize(n);
  for (int i = 0; i < n; i++) {
    dbtest::PhotoRecord(&(*out)[i], s, i);
    (*out)[i].SetField(8, ("edit " + std::to_string(v)).c_str());
  }
}

std::vector<std::string> TitledLines(const DBFieldInfo* s, int v, int n) {
  std::vector<DBRecord> recs;
  TitledRecords(s, v, n, &recs);
  std::vector<std::string> out;
  for (const DBRecord& r : recs) {
    std::ostringstream os;
    r.Write(&os, '\t');
    out.push_back(os.str());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Every record retitled from version 1 to 2: deleted, and added again.
void RetitleAll(DBAccess* db, const DBFieldInfo* s, int n) {
  std::vector<DBRecord> from, to;
  TitledRecords(s, 1, n, &from);
  TitledRecords(s, 2, n, &to);
  db->DeleteRecords(from.data(), n);
  db->AddRecords(to.data(), n);
}

}  // namespace

// A writer in another process syncs 10,000 changed records and is held before its first write
// (its journal), the middle one and the last one of its writes into the file. Meanwhile the
// database is opened read-only and for writing: both read every record once as the last
// complete sync left it, and write nothing. Then the writer completes, and the file holds every
// record once with its new value.
TEST(Journal, OpenDuringAnotherProcessesSyncReadsTheLastCompleteSyncAndWritesNothing) {
  const int kN = 10000;
  TempFile f("race");
  DBFieldInfo schema;
  dbtest::PhotoSchema(&schema);
  {
    FileDB d(f.path);
    dbtest::PhotoSchema(&d.header);
    std::vector<DBRecord> recs;
    TitledRecords(&d.header, 1, kN, &recs);
    ASSERT_EQ(d.db->AddRecords(recs.data(), kN), kN);
    ASSERT_TRUE(d.db->Close());
  }
  unlink((f.path + "-index").c_str());
  const std::string base = f.Bytes();
  const std::vector<std::string> v1 = TitledLines(&schema, 1, kN), v2 = TitledLines(&schema, 2, kN);
  // The sync's writes into the file, counted on a copy.
  long long writes = 0;
  {
    TempFile c("racecount");
    c.Write(base);
    FaultFS count(1, c.path);
    FileDB d(c.path, false, &count);
    RetitleAll(d.db.get(), &d.header, kN);
    ASSERT_TRUE(d.db->Sync());
    writes = count.WritesTo(c.path);
  }
  ASSERT_GT(writes, 2);
  const std::pair<std::string, long long> stops[] = {
      {f.path + "-journal.new", 1}, {f.path, (writes + 1) / 2}, {f.path, writes}};
  for (const auto& stop : stops) {
    SCOPED_TRACE("writer held at write " + std::to_string(stop.second) + " into " + stop.first);
    f.Write(base);
    dbtest::HeldWriter writer(f.path, stop.first, stop.second, [&](FaultFS* fault) {
      Messages quiet;
      FileDB d(f.path, false, fault);
      RetitleAll(d.db.get(), &d.header, kN);
      return d.db->Sync() && d.db->Close();
    });
    ASSERT_TRUE(writer.Held()) << "the writer did not reach the write";
    std::string bytes = f.Bytes(), journal = ReadAll(f.path + "-journal");
    {
      Messages log;
      FileDB reader(f.path, true);
      EXPECT_TRUE(reader.db->Ready()) << log.All();
      EXPECT_TRUE(Lines(&reader) == v1);
      FileDB other(f.path);
      EXPECT_TRUE(other.db->ReadOnly());
      EXPECT_TRUE(Lines(&other) == v1);
      EXPECT_EQ(log.CountClass(DMCdata), 0) << log.All();
    }
    EXPECT_EQ(f.Bytes(), bytes);
    EXPECT_EQ(ReadAll(f.path + "-journal"), journal);
    EXPECT_EQ(writer.Resume(), 0);
    FileDB d(f.path, true);
    EXPECT_TRUE(Lines(&d) == v2);
    EXPECT_FALSE(Exists(f.path + "-journal"));
    d.Shut();
    if (&stop == &stops[2]) EXPECT_QDB_SOUND(f.path);  // the checker is slow: once
  }
}

// A disk that fills at any call of the sync (or of the close) of a big change, or one call
// that fails there: the failure names the file and the system's reason, once, and nothing of
// the change is lost: the store stays open with it. Then room is made and the next sync or
// close completes it; or the store ends with the disk still full (dropped, or the machine
// stops), and the next open finds the previous sync (or, for a lone failure that the retry at
// the end got past, this one), writable, with no journal left.
TEST(Journal, FullDiskAtAnyCallOfASyncOrCloseLosesNothingAndLeavesTheFileWhole) {
  const int kN = 900;
  const std::vector<std::string> v1 = VersionLines(1, kN), v2plain = VersionLines(2, kN);
  const std::vector<std::string> v2extra = VersionLines(2, kN, true);
  int failures = 0, completed = 0;
  for (int closing = 0; closing < 2; closing++) {
    // With three blocks of memory, changed blocks are written back through the journal while
    // the change is made and walked; then the header changes too.
    for (int small = 0; small < 2; small++) {
      BudgetGuard budget(small ? 3 * DB_BLOCKSIZE : 0);
      const std::vector<std::string>& v2 = small ? v2extra : v2plain;
      long long total = 0;  // the calls of the operation
      {
        TempFile f("count");
        ASSERT_NO_FATAL_FAILURE(WriteVersion(f.path, 1, kN));
        FaultFS fault(1, f.path);
        FileDB d(f.path, false, &fault);
        Advance(d.db.get(), &d.header, 1, kN);
        if (small) d.header.Field("Extra", DBDTint, "Extra", 0);
        const long long base = fault.Calls();
        ASSERT_TRUE(closing ? d.db->Close() : d.db->Sync());
        total = fault.Calls() - base;
      }
      ASSERT_GT(total, 8);
      std::vector<long long> ks;
      for (long long k = 1; k <= total; k += k < 8 ? 1 : total / 16 + 1) ks.push_back(k);
      ks.push_back(total);
      for (long long k : ks) {
        // how: 0 room is made, 1 the store ends on a full disk, 2 room is made and the machine
        // stops within the first calls of the next try.
        const int how = static_cast<int>(k % 3);
        const bool full = (k / 3) % 2 == 0;
        SCOPED_TRACE((closing ? "close" : "sync") + std::string(small ? ", small memory" : "") +
                     ", call " + std::to_string(k) + " of " + std::to_string(total) +
                     (full ? ", disk full" : ", one failure") + ", how " + std::to_string(how));
        TempFile f("full");
        ASSERT_NO_FATAL_FAILURE(WriteVersion(f.path, 1, kN));
        FaultFS fault(static_cast<uint32_t>(k), f.path);
        bool done = false, retried = false;
        {
          Messages log;
          auto d = std::make_unique<FileDB>(f.path, false, &fault);
          Advance(d->db.get(), &d->header, 1, kN);
          if (small) d->header.Field("Extra", DBDTint, "Extra", 0);
          const long long base = fault.Calls();
          (full ? fault.fullFrom : fault.failAt) = base + k;
          done = closing ? d->db->Close() : d->db->Sync();
          if (done) {
            completed++;
            continue;
          }
          failures++;
          EXPECT_EQ(d->db->LastErrno(), ENOSPC);
          EXPECT_NE(d->db->LastError().find('"' + f.path + "\": " + strerror(ENOSPC)),
                    std::string::npos)
              << d->db->LastError();
          EXPECT_EQ(log.Count() - static_cast<size_t>(log.CountClass(DMCtrace)), 1u) << log.All();
          ASSERT_NE(d->db->GetHeader(), nullptr);  // still open, with the change
          EXPECT_TRUE(d->db->Unsynced());
          // Walked in little memory, the changed blocks stay: none is written before a sync.
          const long long calls = fault.Calls();
          EXPECT_TRUE(Lines(d.get()) == v2);
          EXPECT_EQ(fault.Calls(), calls);
          if (how == 0) {
            fault.fullFrom = fault.failAt = 0;
            EXPECT_TRUE(closing ? d->db->Close() : d->db->Sync());
            EXPECT_EQ(d->db->LastError(), "");
          } else if (how == 1) {
            if (closing) {
              EXPECT_EQ(d->db->Discard(), true);
              EXPECT_FALSE(Exists(f.path + "-journal"));
            }
            d.reset();
          } else {
            fault.fullFrom = fault.failAt = 0;
            fault.stopAt = fault.Calls() + 1 + k % 4;
            retried = closing ? d->db->Close() : d->db->Sync();
            d.reset();
            fault.ApplyStop();
          }
        }
        Messages log;
        FileDB r(f.path);
        ASSERT_TRUE(r.db->Ready()) << log.All();
        EXPECT_FALSE(r.db->ReadOnly()) << log.All();
        EXPECT_EQ(log.CountClass(DMCdata), 0) << log.All();
        EXPECT_FALSE(Exists(f.path + "-journal"));
        const std::vector<std::string> got = Lines(&r);
        if (how == 0 || retried || (full && how == 1))
          EXPECT_TRUE(got == (how == 1 ? v1 : v2)) << got.size() << " records";
        else
          EXPECT_TRUE(got == v1 || got == v2) << got.size() << " records";
        ASSERT_TRUE(r.db->Close());
        if (k == 1 && small == closing) EXPECT_QDB_SOUND(f.path);
      }
    }
  }
  EXPECT_GT(failures, 20);
  EXPECT_GT(completed, 0);
}

// A sync that grows the file by blocks fails at any of its calls, the disk full from there on
// (so that the journal fits and the growth does not) or that call alone failing: the file is
// at once byte for byte as the last complete sync left it, its old length and no journal
// beside it, so that a copy or backup of it alone holds the previous records. Then room is
// made and the next sync writes the whole change. With little memory, blocks written back
// before the sync are put back too, and kept in memory for the next.
TEST(Journal, SyncFailingAsTheFileGrowsLeavesTheFileAloneAsTheLastSyncAndTheRetryCompletes) {
  const int kN = 500, kGrown = 1500;
  const std::vector<std::string> v2 = VersionLines(2, kN + kGrown);
  int touched = 0, checked = 0;
  for (int small = 0; small < 2; small++) {
    BudgetGuard budget(small ? 2 * DB_BLOCKSIZE : 0);
    bool past = false;  // k beyond the calls of the sync
    for (long long k = 1; !past; k++) {
      for (int full = 0; full < 2; full++) {
        SCOPED_TRACE(std::string(small ? "small memory, " : "") + "call " + std::to_string(k) +
                     (full ? ", disk full" : ", one failure"));
        TempFile f("grow");
        ASSERT_NO_FATAL_FAILURE(WriteVersion(f.path, 1, kN));
        const std::string last = f.Bytes();
        FaultFS fault(static_cast<uint32_t>(k), f.path);
        Messages log;
        FileDB d(f.path, false, &fault);
        Advance(d.db.get(), &d.header, 1, kN, kGrown);
        const long long writes = fault.WritesTo(f.path), base = fault.Calls();
        (full ? fault.fullFrom : fault.failAt) = base + k;
        if (d.db->Sync()) {  // no failure, or one after the commit (of the index file)
          past = past || (!full && fault.Calls() < base + k);
          continue;
        }
        EXPECT_EQ(d.db->LastErrno(), ENOSPC);
        EXPECT_EQ(log.Count() - static_cast<size_t>(log.CountClass(DMCtrace)), 1u) << log.All();
        EXPECT_FALSE(Exists(f.path + "-journal"));
        // The last complete sync is this one only when its journal went and the folder sync
        // after that failed.
        EXPECT_TRUE(f.Bytes() == last || log.Has(DMCsystem, "Cannot sync the folder of \"" +
                                                                f.path + "\": " + strerror(ENOSPC)))
            << f.Size() << " bytes, not " << last.size();
        if (fault.WritesTo(f.path) > writes) {
          touched++;
          if (full && checked++ < 2) EXPECT_QDB_SOUND(f.path);  // the checker is slow: twice
        }
        fault.fullFrom = fault.failAt = 0;
        ASSERT_TRUE(d.db->Sync()) << log.All();
        d.Shut();
        FileDB r(f.path, true);
        EXPECT_TRUE(Lines(&r) == v2);
      }
    }
  }
  EXPECT_GT(touched, 4);
}

namespace {

// A file's stream whose reads fail once told to (an input/output error).
class FailingReads : public std::filebuf {
 public:
  bool failing = false;

 protected:
  int_type underflow() override { return failing ? traits_type::eof() : std::filebuf::underflow(); }
  std::streamsize xsgetn(char* s, std::streamsize n) override {
    return failing ? 0 : std::filebuf::xsgetn(s, n);
  }
};

}  // namespace

// A sync that grows the file fails. With two blocks of memory, blocks were written back to
// free memory before it, and they cannot be read again (the file is found damaged): the
// put-back tells that as its own reason, not the sync's failure again, and the journal stays.
// Then room is made and reads work again, and the store ends through the next sync, Close or
// the destructor: whichever, the file (played back by the next open where its journal stayed)
// holds exactly the last complete sync or the whole change, and is sound.
TEST(Journal, AFailedPutBackEndsAsTheLastSyncOrTheWholeChangeWhateverFollows) {
  const int kN = 500, kGrown = 1500;
  const std::vector<std::string> v1 = VersionLines(1, kN), v2 = VersionLines(2, kN + kGrown);
  const char* const kEndings[] = {"next sync", "Close", "destructor"};
  for (int small = 0; small < 2; small++) {
    for (int ending = 0; ending < 3; ending++) {
      SCOPED_TRACE(std::string(small ? "two blocks of memory, " : "") + kEndings[ending]);
      TempFile f("readback");
      ASSERT_NO_FATAL_FAILURE(WriteVersion(f.path, 1, kN));
      BudgetGuard budget(small ? 2 * DB_BLOCKSIZE : 0);
      FaultFS fault(1, f.path);
      FailingReads buf;
      ASSERT_NE(buf.open(f.path, std::ios::in | std::ios::out | std::ios::binary), nullptr);
      std::iostream stream(&buf);
      DBFile file(f.path, &fault);
      DBHeader header;
      {
        Messages log;
        auto db = std::make_unique<DBAccess>(&header, &stream, &file, false);
        Advance(db.get(), &header, 1, kN, kGrown);
        // Blocks went back to the file to free memory.
        ASSERT_EQ(fault.WritesTo(f.path) > 0, small == 1);
        fault.fullFrom = fault.Calls() + 1;
        buf.failing = true;
        ASSERT_FALSE(db->Sync());
        const std::string failed = db->LastError();
        const std::string cannot = "; Cannot put \"" + f.path +
                                   "\" back from its journal: a block written into it to free "
                                   "memory cannot be read again: its journal stays beside it";
        std::string told;
        for (const auto& e : log.entries)
          if (e.second.find("its journal stays") != std::string::npos) told += e.second + "\n";
        if (small) {
          EXPECT_EQ(told.find(failed + cannot), 0u) << told;
          EXPECT_EQ(told.find(failed), told.rfind(failed)) << told;
          EXPECT_TRUE(Exists(f.path + "-journal"));
        } else {
          EXPECT_EQ(told, "");
          EXPECT_FALSE(Exists(f.path + "-journal"));
        }
        fault.fullFrom = 0;
        buf.failing = false;
        if (ending == 0) {
          const bool synced = db->Sync();
          EXPECT_TRUE(!synced || !Exists(f.path + "-journal"));
        } else if (ending == 1) {
          db->Close();
        }
      }
      header.Attach(nullptr, true);
      buf.close();
      Messages log;
      FileDB r(f.path);
      ASSERT_TRUE(r.db->Ready()) << log.All();
      EXPECT_FALSE(r.db->ReadOnly()) << log.All();
      const std::vector<std::string> got = Lines(&r);
      EXPECT_TRUE(got == v1 || got == v2) << got.size() << " records";
      EXPECT_TRUE(small || got == v2) << got.size() << " records";
      EXPECT_FALSE(Exists(f.path + "-journal"));
      r.Shut();
      EXPECT_QDB_SOUND(f.path);
    }
  }
}

// The growth of the file fails and the writes that would put it back fail too: the journal
// stays beside the file, the log says so, and the next sync completes the change; or the store
// ends there, and the next open plays the journal back.
TEST(Journal, FileThatCannotBePutBackKeepsItsJournalForTheNextSyncOrOpen) {
  const int kN = 500, kGrown = 1500;
  const std::vector<std::string> v1 = VersionLines(1, kN), v2 = VersionLines(2, kN + kGrown);
  for (int retry = 0; retry < 2; retry++) {
    SCOPED_TRACE(retry ? "next sync" : "next open");
    TempFile f("putback");
    ASSERT_NO_FATAL_FAILURE(WriteVersion(f.path, 1, kN));
    const std::string last = f.Bytes();
    FaultFS fault(1, f.path);
    // The second write of the sync into the file, of its first new block (after the changed
    // one), finds the disk full, and from then on the disk fails every call.
    fault.hookPath = f.path;
    fault.hookAt = 2;
    fault.hook = [&fault] {
      fault.fullFrom = fault.Calls() + 1;
      fault.failFrom = fault.Calls() + 2;
      fault.failErrno = EIO;
    };
    {
      Messages log;
      auto d = std::make_unique<FileDB>(f.path, false, &fault);
      Advance(d->db.get(), &d->header, 1, kN, kGrown);
      ASSERT_FALSE(d->db->Sync());
      EXPECT_EQ(d->db->LastErrno(), ENOSPC);
      const std::string cannot =
          "Cannot put \"" + f.path + "\" back from its journal: " + strerror(EIO);
      ASSERT_EQ(log.CountClass(DMCsystem), 1) << log.All();
      EXPECT_NE(log.All().find("\": " + std::string(strerror(ENOSPC)) + "; " + cannot +
                               ": its journal stays beside it"),
                std::string::npos)
          << log.All();
      EXPECT_TRUE(Exists(f.path + "-journal"));
      EXPECT_NE(f.Bytes(), last);
      if (retry) {
        fault.failFrom = fault.fullFrom = 0;
        ASSERT_TRUE(d->db->Sync()) << log.All();
        EXPECT_FALSE(Exists(f.path + "-journal"));
      } else {
        d.reset();  // the store ends on the failing disk
        EXPECT_TRUE(log.Has(DMCdata, cannot + ": its journal stays beside it, and the next open "
                                              "plays it back"))
            << log.All();
      }
    }
    Messages log;
    FileDB r(f.path);
    ASSERT_TRUE(r.db->Ready()) << log.All();
    EXPECT_FALSE(r.db->ReadOnly()) << log.All();
    EXPECT_TRUE(Lines(&r) == (retry ? v2 : v1));
    EXPECT_EQ(log.Has(DMCwarning, "Database restored from its journal to the last complete sync"),
              retry == 0);
    EXPECT_FALSE(Exists(f.path + "-journal"));
    r.Shut();
    EXPECT_TRUE(retry || f.Bytes() == last);
  }
}

// Another process reads the file, stopped in the middle of its read (its share of the write lock
// held), while a sync wants to write it: the sync waits for it with the program's windows
// painted (the work hook runs), writes once the reader lets go, and the file holds the change.
TEST(Journal, ASyncWaitingForAReaderKeepsTheWindowsPaintedAndWritesOnceItLetsGo) {
  TempFile f("reader");
  WriteVersion(f.path, 0, 40);
  FileDB d(f.path);
  Advance(d.db.get(), &d.header, 0, 40);
  // The reader: an open of its own (locks are the open file's), the write lock shared.
  static int reader = -1;
  static int steps = 0;
  reader = open(f.path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_TRUE(DBFileSystem::System()->Lock(reader, DBJournal::kWriteByte, DBFileSystem::kShared));
  steps = 0;
  PsetWorkHook([](double) {
    // The windows are painted while the sync waits; after a few paints the reader is done.
    if (++steps == 5 && reader >= 0) {
      close(reader);
      reader = -1;
    }
  });
  const bool synced = d.db->Sync();
  PsetWorkHook(nullptr);
  if (reader >= 0) close(reader);
  EXPECT_TRUE(synced) << d.db->LastError();
  EXPECT_GE(steps, 5);
  d.Shut();
  FileDB again(f.path);
  EXPECT_EQ(Lines(&again), VersionLines(1, 40));
}

// A writer stopped between taking its locks and putting its journal in place holds a reader
// that opens the file: the reader waits with the program's windows painted, and reads the file
// once the writer goes on.
TEST(Journal, AReaderWaitingForAStoppedWriterKeepsTheWindowsPaintedAndReadsOnceItGoesOn) {
  TempFile f("writer");
  WriteVersion(f.path, 0, 40);
  static int writer = -1;
  static int steps = 0;
  writer = open(f.path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  ASSERT_TRUE(
      DBFileSystem::System()->Lock(writer, DBJournal::kIntentByte, DBFileSystem::kExclusive));
  steps = 0;
  PsetWorkHook([](double) {
    if (++steps == 5 && writer >= 0) {
      close(writer);
      writer = -1;
    }
  });
  FileDB d(f.path, true);
  const std::vector<std::string> lines = Lines(&d);
  PsetWorkHook(nullptr);
  if (writer >= 0) close(writer);
  EXPECT_GE(steps, 5);
  EXPECT_EQ(lines, VersionLines(0, 40));
}

// Another process's sync owns the file (its journal not yet made) as this one opens it for
// writing: the opener looks again for a moment with the program's windows painted (the work
// hook runs), and opens the file for writing once the sync has ended meanwhile.
TEST(Journal, AnOpenerWaitingForAnotherProcesssSyncKeepsTheWindowsPaintedAndWritesOnceItEnds) {
  TempFile f("owner");
  WriteVersion(f.path, 0, 40);
  static int syncer = -1;
  static int steps = 0;
  syncer = open(f.path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(syncer, 0);
  ASSERT_TRUE(
      DBFileSystem::System()->Lock(syncer, DBJournal::kOwnerByte, DBFileSystem::kExclusive));
  steps = 0;
  PsetWorkHook([](double) {
    // The first paint; the sync ends then.
    if (++steps == 1 && syncer >= 0) {
      close(syncer);
      syncer = -1;
    }
  });
  FileDB d(f.path);
  PsetWorkHook(nullptr);
  if (syncer >= 0) close(syncer);
  EXPECT_GE(steps, 1);
  ASSERT_FALSE(d.db->ReadOnly());
  Advance(d.db.get(), &d.header, 0, 40);
  EXPECT_TRUE(d.db->Sync()) << d.db->LastError();
  d.Shut();
  FileDB again(f.path);
  EXPECT_EQ(Lines(&again), VersionLines(1, 40));
}

// A sync that may not wait (its program cannot keep its windows painted meanwhile) finds the file
// held by another process: by its sync, by a reader in the middle of its read, or by a reader
// that starts while the journal is made. It is turned away well within the writer's wait,
// having written nothing (the file's bytes as they were, no journal) and noted no failure; the
// change waits in memory, and the next sync writes it once the holder has let go.
TEST(Journal, ASyncThatMayNotWaitIsTurnedAwayWritingNothingAndWritesOnceLetGo) {
  const struct {
    const char* what;
    long long byte;
    DBFileSystem::LockKind kind;
    bool late;
  } cases[] = {
      {"a sync", DBJournal::kOwnerByte, DBFileSystem::kExclusive, false},
      {"a reader", DBJournal::kWriteByte, DBFileSystem::kShared, false},
      {"a reader starting as the journal is made", DBJournal::kWriteByte, DBFileSystem::kShared,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempFile f("turned");
    WriteVersion(f.path, 0, 40);
    const std::string before = f.Bytes();
    FaultFS fault(1, f.path);
    FileDB d(f.path, false, &fault);
    ASSERT_FALSE(d.db->ReadOnly());
    Advance(d.db.get(), &d.header, 0, 40);
    // The holder: an open of its own (locks are the open file's).
    const int holder = open(f.path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    bool held = false;
    const auto hold = [&] { held = DBFileSystem::System()->Lock(holder, c.byte, c.kind); };
    if (c.late) {
      fault.hookPath = f.path + "-journal.new";
      fault.hookAt = 1;
      fault.hook = hold;
    } else {
      hold();
    }
    d.db->SetTurnAway(true);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(d.db->Sync());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_TRUE(held);
    EXPECT_TRUE(d.db->TurnedAway());
    EXPECT_EQ(d.db->LastError(), "");
    EXPECT_TRUE(d.db->Unsynced());
    EXPECT_EQ(f.Bytes(), before);
    EXPECT_FALSE(Exists(f.path + "-journal"));
    // Found held before its journal was made, it made none.
    EXPECT_EQ(fault.WritesTo(f.path + "-journal.new") > 0, c.late);
    close(holder);
    EXPECT_TRUE(d.db->Sync()) << d.db->LastError();
    EXPECT_FALSE(d.db->TurnedAway());
    d.Shut();
    FileDB again(f.path);
    EXPECT_EQ(Lines(&again), VersionLines(1, 40));
  }
}
