// A catalogue opened by a second context while another process syncs it; a catalogue whose
// syncs and closes fail; how far a long sync has come.
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "context_test_util.h"
#include "db/test_faultfs.h"
#include "support/pwork.h"

using ctxtest::Photo;
using ctxtest::TempDir;

namespace {

constexpr int kPhotos = 4000;

DBRecord Titled(int i, const char* title) {
  DBRecord r = Photo(("p" + std::to_string(i) + ".jpg").c_str(), 1000 + i, 7919L * i);
  r.SetField(PDBFtitle, title);
  return r;
}

// Every other photo retitled "new", then synced.
bool Retitle(PContext* ctx) {
  std::vector<DBRecord> from, to;
  for (int i = 0; i < kPhotos; i += 2) {
    from.push_back(Titled(i, "old"));
    to.push_back(Titled(i, "new"));
  }
  ctx->pdb.DeleteRecords(from.data(), static_cast<int>(from.size()));
  ctx->pdb.AddRecords(to.data(), static_cast<int>(to.size()));
  return ctx->SyncDB();
}

// The catalogue's photos by file name with their titles; false when a name comes twice.
bool Titles(PContext* ctx, std::map<std::string, std::string>* out) {
  struct Walk {
    std::map<std::string, std::string>* titles;
    bool once = true;
  } w{out};
  out->clear();
  ctx->pdb.ForEachRecord(
      [](const DBRecord& r, void* data) {
        Walk* wk = static_cast<Walk*>(data);
        const char* name = static_cast<const char*>(r.l->field[PDBFfile].GetPointer(0));
        const char* title = static_cast<const char*>(r.l->field[PDBFtitle].GetPointer(0));
        wk->once &= wk->titles->emplace(name ? name : "", title ? title : "").second;
        return 1;
      },
      &w, nullptr);
  return w.once;
}

}  // namespace

// The writer is held at the middle of its writes into the file: the second context opens the
// catalogue read-only, finds every photo once with its old title and changes no file; then
// the writer completes and every photo is there once, every other one retitled.
TEST(ContextSync, CatalogueOpenedWhileAnotherProcessSyncsItReadsTheLastSync) {
  TempDir d;
  const std::string path = d.Path("busy.qdb"), copy = d.Path("count.qdb");
  {
    PContext maker;
    ASSERT_TRUE(maker.OpenDB(path.c_str()));
    std::vector<DBRecord> recs;
    for (int i = 0; i < kPhotos; i++) recs.push_back(Titled(i, "old"));
    maker.pdb.AddRecords(recs.data(), kPhotos);
    ASSERT_TRUE(maker.CloseDB());
  }
  // The sync's writes into the file, counted on a copy.
  ctxtest::WriteFile(copy, ctxtest::ReadFile(path));
  long long writes = 0;
  {
    dbtest::FaultFS count(1, copy);
    PContext ctx;
    ctx.fileSystem = &count;
    ASSERT_TRUE(ctx.OpenDB(copy.c_str()));
    ASSERT_TRUE(Retitle(&ctx));
    writes = count.WritesTo(copy);
  }
  ASSERT_GT(writes, 2);
  dbtest::HeldWriter writer(path, path, (writes + 1) / 2, [&](dbtest::FaultFS* fault) {
    MessageLog quiet;
    PContext ctx;
    ctx.fileSystem = fault;
    return ctx.OpenDB(path.c_str()) && !ctx.ReadOnly() && Retitle(&ctx) && ctx.CloseDB();
  });
  ASSERT_TRUE(writer.Held()) << "the writer did not reach the write";
  const std::string bytes = ctxtest::ReadFile(path), journal = ctxtest::ReadFile(path + "-journal");
  {
    MessageLog log;
    PContext second;
    EXPECT_TRUE(second.OpenDB(path.c_str())) << log.All();
    EXPECT_TRUE(second.ReadOnly());
    std::map<std::string, std::string> titles;
    EXPECT_TRUE(Titles(&second, &titles));
    EXPECT_EQ(titles.size(), static_cast<size_t>(kPhotos));
    int old = 0;
    for (const auto& t : titles) old += t.second == "old";
    EXPECT_EQ(old, kPhotos);
    EXPECT_EQ(log.CountClass(DMCdata), 0) << log.All();
  }
  EXPECT_EQ(ctxtest::ReadFile(path), bytes);
  EXPECT_EQ(ctxtest::ReadFile(path + "-journal"), journal);
  EXPECT_EQ(writer.Resume(), 0);
  PContext after;
  ASSERT_TRUE(after.OpenDB(path.c_str()));
  EXPECT_FALSE(after.ReadOnly());
  std::map<std::string, std::string> titles;
  EXPECT_TRUE(Titles(&after, &titles));
  ASSERT_EQ(titles.size(), static_cast<size_t>(kPhotos));
  for (int i = 0; i < kPhotos; i++)
    EXPECT_EQ(titles["p" + std::to_string(i) + ".jpg"], i % 2 ? "old" : "new") << i;
  EXPECT_FALSE(ctxtest::Exists(path + "-journal"));
}

namespace {

// The system's file calls, failing every write and every file made for writing with err while
// err is set.
class Refusing : public DBFileSystem {
 public:
  int err = 0;
  int Open(const std::string& path, int flags, int mode) override {
    if (err != 0 && (flags & (O_CREAT | O_WRONLY | O_RDWR)) != 0) return Refuse();
    return System()->Open(path, flags, mode);
  }
  void Close(int fd) override { System()->Close(fd); }
  long long Read(int fd, void* buf, size_t n, long long off) override {
    return System()->Read(fd, buf, n, off);
  }
  long long Write(int fd, const void* buf, size_t n, long long off) override {
    return err != 0 ? Refuse() : System()->Write(fd, buf, n, off);
  }
  bool Sync(int fd) override { return System()->Sync(fd); }
  bool Truncate(int fd, long long len) override { return err == 0 && System()->Truncate(fd, len); }
  bool Stat(int fd, long long* size, int* mode) override { return System()->Stat(fd, size, mode); }
  bool Remove(const std::string& path) override { return System()->Remove(path); }
  bool SyncDir(const std::string& dir) override { return System()->SyncDir(dir); }
  bool Stamp(int fd, DBFileStamp* st) override { return System()->Stamp(fd, st); }
  bool Rename(const std::string& from, const std::string& to) override {
    return err != 0 ? Refuse() >= 0 : System()->Rename(from, to);
  }

 private:
  int Refuse() {
    errno = err;
    return -1;
  }
};

std::vector<std::string>& Alerts() {
  static std::vector<std::string> told;
  return told;
}

int Count(const std::string& path) {
  PContext reader;
  return reader.OpenDB(path.c_str(), true) ? reader.pdb.TotalRecords() : -1;
}

}  // namespace

// Syncs that fail say which catalogue, why (from the failing call's error) and which steps are
// not saved; the changes stay, and a sync once the file can be written saves them all.
TEST(ContextSync, FailedSyncTellsWhyAndWhatAndIsTriedAgain) {
  TempDir d;
  const std::string path = d.Path("trip.qdb");
  Refusing fs;
  PContext ctx;
  ctx.fileSystem = &fs;
  ASSERT_TRUE(ctx.OpenDB(path.c_str(), false));
  std::vector<DBRecord> recs;
  for (int i = 0; i < 5; i++) recs.push_back(Titled(i, "old"));
  ASSERT_TRUE(ctx.Checkpoint("Add", nullptr));
  ctx.pdb.AddRecords(recs.data(), 5);
  ASSERT_TRUE(ctx.SyncDB());
  EXPECT_EQ(ctx.LastError(), "");
  EXPECT_EQ(ctx.UnsavedWork(), "");

  struct Case {
    int err;
    const char* reason;
  };
  for (const Case& c : {Case{ENOSPC, "the disk is full"}, Case{EACCES, "permission denied"},
                        Case{EROFS, "the file system is read-only"}, Case{EIO, "an input/out"}}) {
    SCOPED_TRACE(c.reason);
    fs.err = c.err;
    std::vector<DBRecord> to;
    for (int i = 0; i < 3; i++) to.push_back(Titled(i, c.reason));
    ASSERT_TRUE(ctx.Checkpoint("Retitle", nullptr));
    ctx.pdb.DeleteRecords(recs.data(), 3);
    ctx.pdb.AddRecords(to.data(), 3);
    recs.erase(recs.begin(), recs.begin() + 3);
    recs.insert(recs.begin(), to.begin(), to.end());
    MessageLog log;
    EXPECT_FALSE(ctx.SyncDB());
    int err = 0;
    ctx.LastError(&err);
    EXPECT_EQ(err, c.err);
    EXPECT_TRUE(ctx.Unsynced());
    const std::string failure = ctx.SyncFailure();
    EXPECT_EQ(failure.rfind(std::string("Cannot save the catalog 'trip': ") + c.reason, 0), 0u)
        << failure;
    EXPECT_EQ(ctx.UnsavedWork(), "Retitle on 3 records");
    EXPECT_TRUE(log.Has(DMCsystem, failure +
                                       ". The changes since the last save (Retitle on 3 records) "
                                       "are not saved."));
    fs.err = 0;
    EXPECT_TRUE(ctx.SyncDB());
    EXPECT_EQ(ctx.LastError(), "");
    EXPECT_EQ(ctx.SyncFailure(), "");
    EXPECT_FALSE(ctx.Unsynced());
    std::map<std::string, std::string> titles;
    PContext reader;
    ASSERT_TRUE(reader.OpenDB(path.c_str(), true));
    ASSERT_TRUE(Titles(&reader, &titles));
    EXPECT_EQ(titles.size(), 5u);
    EXPECT_EQ(titles["p0.jpg"], c.reason);
    EXPECT_EQ(titles["p4.jpg"], "old");
  }
  // Several steps and an undo, all unsaved, are named oldest first.
  fs.err = ENOSPC;
  std::vector<DBRecord> more;
  for (int i = 5; i < 7; i++) more.push_back(Titled(i, "more"));
  ASSERT_TRUE(ctx.Checkpoint("Add", nullptr));
  ctx.pdb.AddRecords(more.data(), 2);
  ASSERT_TRUE(ctx.Checkpoint("Delete", nullptr));
  ctx.pdb.DeleteRecords(recs.data() + 4, 1);
  ASSERT_TRUE(ctx.Checkpoint(nullptr, nullptr));
  EXPECT_TRUE(ctx.Undo());
  EXPECT_EQ(ctx.UnsavedWork(), "Add on 2 records, Undo Delete");
  // Forgetting the undo steps forgets none of their names.
  ASSERT_TRUE(ctx.ClearUndo());
  EXPECT_EQ(ctx.UnsavedWork(), "Add on 2 records, Undo Delete");
  EXPECT_FALSE(ctx.SyncDB());
  // A close that cannot write keeps the catalogue open with the same unsaved steps.
  EXPECT_FALSE(ctx.CloseDB());
  EXPECT_TRUE(ctx.IsOpen());
  EXPECT_EQ(ctx.UnsavedWork(), "Add on 2 records, Undo Delete");
  EXPECT_EQ(Count(path), 5);  // the file keeps its last saved state
  EXPECT_TRUE(ctx.CloseDB(PCloseChanges::drop));
  EXPECT_EQ(ctx.UnsavedWork(), "");
  EXPECT_EQ(Count(path), 5);
}

// Every photo of a catalogue retitled on a disk that is full: the sync and the close fail,
// naming the file and the system's reason, and the catalogue stays open with the edit, its
// file untouched. Once there is room the close writes the edit; a close that drops it leaves
// the file as it was. Either way no journal is left and the next open is writable.
TEST(ContextSync, FullDiskKeepsTheCatalogueOpenWithItsEditUntilWrittenOrDropped) {
  constexpr int kN = 500;
  for (int drop = 0; drop < 2; drop++) {
    SCOPED_TRACE(drop ? "dropped" : "written");
    TempDir d;
    const std::string path = d.Path("full.qdb");
    {
      PContext maker;
      ASSERT_TRUE(maker.OpenDB(path.c_str()));
      std::vector<DBRecord> recs;
      for (int i = 0; i < kN; i++) recs.push_back(Titled(i, "old"));
      maker.pdb.AddRecords(recs.data(), kN);
      ASSERT_TRUE(maker.CloseDB());
    }
    const std::string before = ctxtest::ReadFile(path);
    dbtest::FaultFS fault(1, path);
    {
      PContext ctx;
      ctx.fileSystem = &fault;
      ASSERT_TRUE(ctx.OpenDB(path.c_str()));
      ASSERT_FALSE(ctx.ReadOnly());
      std::vector<DBRecord> from, to;
      for (int i = 0; i < kN; i++) {
        from.push_back(Titled(i, "old"));
        to.push_back(Titled(i, "new"));
      }
      ctx.pdb.DeleteRecords(from.data(), kN);
      ctx.pdb.AddRecords(to.data(), kN);
      fault.fullFrom = fault.Calls() + 1;
      {
        // Each failure is told once, naming the catalogue; the store's report is only logged.
        const uint32_t flags = dmessage_class_flags[DMCsystem];
        int (*const hook)(const char*) = dmessage_alert;
        dmessage_class_flags[DMCsystem] |= DMAalert;
        Alerts().clear();
        dmessage_alert = [](const char* text) {
          Alerts().push_back(text);
          return 1;
        };
        EXPECT_FALSE(ctx.SyncDB());
        EXPECT_FALSE(ctx.CloseDB());
        dmessage_alert = hook;
        dmessage_class_flags[DMCsystem] = flags;
        ASSERT_EQ(Alerts().size(), 2u);
        for (const std::string& a : Alerts())
          // The system's words follow the user's language.
          EXPECT_NE(a.find("Cannot save the catalog 'full': the disk is full (" +
                           std::string(strerror(ENOSPC)) + "). The changes since the last save (" +
                           std::to_string(kN) + " records changed) are not saved."),
                    std::string::npos)
              << a;
      }
      int err = 0;
      EXPECT_NE(ctx.LastError(&err).find('"' + path + "\": " + strerror(ENOSPC)), std::string::npos)
          << ctx.LastError();
      EXPECT_EQ(err, ENOSPC);
      EXPECT_TRUE(ctx.IsOpen());
      EXPECT_TRUE(ctx.Unsynced());
      std::map<std::string, std::string> titles;
      EXPECT_TRUE(Titles(&ctx, &titles));
      EXPECT_EQ(titles.size(), static_cast<size_t>(kN));
      for (const auto& t : titles) EXPECT_EQ(t.second, "new") << t.first;
      EXPECT_EQ(ctxtest::ReadFile(path), before);
      if (drop) {
        EXPECT_TRUE(ctx.CloseDB(PCloseChanges::drop));
      } else {
        fault.fullFrom = 0;
        EXPECT_TRUE(ctx.CloseDB());
        EXPECT_EQ(ctx.LastError(), "");
      }
      EXPECT_FALSE(ctx.IsOpen());
    }
    EXPECT_FALSE(ctxtest::Exists(path + "-journal"));
    if (drop) {
      EXPECT_EQ(ctxtest::ReadFile(path), before);
    }
    PContext after;
    ASSERT_TRUE(after.OpenDB(path.c_str()));
    EXPECT_FALSE(after.ReadOnly());
    std::map<std::string, std::string> titles;
    EXPECT_TRUE(Titles(&after, &titles));
    ASSERT_EQ(titles.size(), static_cast<size_t>(kN));
    for (const auto& t : titles) EXPECT_EQ(t.second, drop ? "old" : "new") << t.first;
  }
}

// A close that may drop what it cannot write: with room it writes all and tells nothing more;
// on a disk that refuses, a close that only saves stays open, and the one that may drop tells
// the failure, closes with the warning it was given and leaves the file as its last save.
TEST(ContextSync, CloseThatMayDropWritesWhatItCanAndTellsWhatItDrops) {
  TempDir d;
  const std::string path = d.Path("trip.qdb");
  Refusing fs;
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "refused" : "room");
    PContext ctx;
    ctx.fileSystem = &fs;
    fs.err = 0;
    ASSERT_TRUE(ctx.OpenDB(path.c_str()));
    std::vector<DBRecord> recs;
    for (int i = 0; i < 3; i++) recs.push_back(Titled(refused ? 10 + i : i, "new"));
    ASSERT_TRUE(ctx.Checkpoint("Add", nullptr));
    ctx.pdb.AddRecords(recs.data(), 3);
    fs.err = refused ? ENOSPC : 0;
    MessageLog log;
    if (refused) {
      EXPECT_FALSE(ctx.CloseDB(PCloseChanges::save));
      EXPECT_TRUE(ctx.IsOpen());
      EXPECT_TRUE(ctx.Unsynced());
    }
    EXPECT_TRUE(ctx.CloseDB(PCloseChanges::saveOrDrop, "without them, as asked"));
    EXPECT_FALSE(ctx.IsOpen());
    fs.err = 0;
    int told = 0;
    for (const auto& e : log.entries)
      told += e.first == DMCsystem && e.second.rfind("Cannot save the catalog 'trip'", 0) == 0;
    EXPECT_EQ(told, refused ? 2 : 0) << log.All();
    EXPECT_EQ(log.Has(DMCwarning, "Closed catalog 'trip' without them, as asked"), refused)
        << log.All();
    EXPECT_EQ(Count(path), 3);
    EXPECT_FALSE(ctxtest::Exists(path + "-journal"));
  }
}

// A sync that applies an edit of every photo walks every page of the catalogue: each page it
// has done moves the progress, so nearly every step the sync reports says how far it has come.
TEST(ContextSync, ALongSyncTellsHowFarItHasCome) {
  TempDir d;
  PContext ctx;
  ASSERT_TRUE(ctx.OpenDB(d.Path("long.qdb").c_str()));
  constexpr int kMany = 12 * kPhotos;
  std::vector<DBRecord> from, to;
  for (int i = 0; i < kMany; i++) {
    from.push_back(Titled(i, "old"));
    to.push_back(Titled(i, "new"));
  }
  ctx.pdb.AddRecords(from.data(), kMany);
  ASSERT_TRUE(ctx.SyncDB());
  ASSERT_TRUE(ctx.pdb.Checkpoint("Retitle", nullptr));
  ctx.pdb.DeleteRecords(from.data(), kMany);
  ctx.pdb.AddRecords(to.data(), kMany);

  static std::vector<double> steps;
  steps.clear();
  PsetWorkHook([](double done) { steps.push_back(done); });
  const bool synced = ctx.SyncDB();
  PsetWorkHook(nullptr);
  ASSERT_TRUE(synced);
  std::set<double> told;
  size_t unknown = 0;
  for (double s : steps) {
    if (s < 0)
      unknown++;
    else
      told.insert(s);
  }
  EXPECT_GT(told.size() * 2, steps.size());
  EXPECT_LT(unknown * 10, steps.size()) << unknown << " of " << steps.size() << " steps";
  std::map<std::string, std::string> titles;
  ASSERT_TRUE(Titles(&ctx, &titles));
  EXPECT_EQ(titles.size(), static_cast<size_t>(kMany));
  EXPECT_EQ(titles["p7.jpg"], "new");
}
