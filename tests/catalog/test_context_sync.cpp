// A catalogue opened by a second context while another process syncs it.
#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "context_test_util.h"
#include "db/test_faultfs.h"

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
        MessageLog log;
        EXPECT_FALSE(ctx.SyncDB());
        EXPECT_FALSE(ctx.CloseDB());
        EXPECT_EQ(log.CountClass(DMCsystem), 2) << log.All();
      }
      int err = 0;
      EXPECT_NE(ctx.LastError(&err).find('"' + path + "\": No space left on device"),
                std::string::npos)
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
        EXPECT_TRUE(ctx.CloseDB(true));
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
