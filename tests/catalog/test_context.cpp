// The context state (selection, catalogue ties, copies and snapshots) and the catalogue
// context's open, close, sync and checkpoint rules.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "catalog_test_util.h"
#include "context_test_util.h"

using ctxtest::Photo;
using ctxtest::Show;
using ctxtest::TempDir;

namespace {

// A state whose display holds n photos, the even ones catalogued (linked to catalogue copies).
class LinkedState : public PContextState {
 public:
  explicit LinkedState(int n) {
    ClearRecords();
    for (int i = 0; i < n; i++) Show(this, Photo(("p" + std::to_string(i)).c_str(), 100 + i, i));
    for (int i = 0; i < n; i += 2) {
      const int k = rcommon.GetSize();
      rcommon.Resize(k + 1);
      rcommon[k] = rdisp[i];
      rdisp_link.Resize(k + 1);
      rdisp_link[k].Link(&rdisp[i]);
    }
    strcpy(rsrc, "/photos");
  }
  DBRecordList& Links() { return rdisp_link; }
};

}  // namespace

TEST(ContextState, SelectionOperations) {
  LinkedState s(5);
  EXPECT_EQ(s.TotalSelected(), 0);
  EXPECT_FALSE(s.IsSelected(0));
  s.Select(2, false);
  EXPECT_EQ(s.rsel.Length(), 0u) << "deselecting with no selection makes no map";
  s.Select(3, true);
  EXPECT_EQ(s.rsel.Length(), 5u);
  EXPECT_TRUE(s.IsSelected(3));
  s.Select(9, true);
  s.Select(-1, true);
  EXPECT_EQ(s.TotalSelected(), 1);
  int i = -1;
  EXPECT_TRUE(s.NextSelected(&i));
  EXPECT_EQ(i, 3);
  i++;
  EXPECT_FALSE(s.NextSelected(&i));
  EXPECT_EQ(i, 5);
  EXPECT_FALSE(s.NextSelected(nullptr));
  s.SelectInverse();
  EXPECT_EQ(s.TotalSelected(), 4);
  EXPECT_FALSE(s.IsSelected(3));
  s.SelectNone();
  s.SelectInverse();
  EXPECT_EQ(s.TotalSelected(), 5);
  s.SortDisplay();
  EXPECT_EQ(s.rsel.Length(), 0u);
}

TEST(ContextState, CatalogueTiesAndLookups) {
  LinkedState s(6);
  EXPECT_EQ(s.TotalCommon(), 3);
  for (int i = 0; i < 6; i++) {
    const DBRecord* o = s.GetDBOrig(i);
    if (i % 2 == 0) {
      ASSERT_NE(o, nullptr) << i;
      EXPECT_TRUE(*o == s.rdisp.Get(i));
    } else {
      EXPECT_EQ(o, nullptr) << i;
    }
  }
  EXPECT_EQ(s.GetDBOrig(-1), nullptr);
  EXPECT_EQ(s.GetDBOrig(6), nullptr);
  ABitMap m;
  s.GetCommon(&m);
  ASSERT_EQ(m.Length(), 6u);
  for (uint32_t i = 0; i < 6; i++) EXPECT_EQ(m.Check(i), i % 2 == 0) << i;
  strcpy(s.rsrc, "*DB");
  s.GetCommon(&m);
  EXPECT_EQ(m.SumTotal(), 6u);
  s.GetCommon(nullptr);

  // Out of step (reversed display): the link list is searched.
  s.rdisp.sord.PushSort(PDBFnbytes, true);
  s.rdisp.Sort();
  EXPECT_EQ(s.GetDBOrig(5)->operator[](PDBFfile).GetString(), std::string("p0"));
  EXPECT_EQ(s.FindI(Photo("p3", 103, 3)), 2);
  EXPECT_EQ(s.FindI(Photo("p3", 103, 4)), -1);
  EXPECT_EQ(s.FindI(DBRecord()), -1);
  EXPECT_EQ(s.FindL(s.Links()[0]), 5);
  EXPECT_EQ(s.FindL(Photo("p0", 100, 0)), -1);
}

TEST(ContextState, CopyIsIndependentAndLinkedAlike) {
  LinkedState s(4);
  s.Catalog(s.rdisp.GetArray(), s.rdisp.GetSize());
  s.Select(1, true);
  PContextState c;
  c = s;
  EXPECT_EQ(c.rdisp.GetSize(), 4);
  EXPECT_EQ(c.TotalCommon(), 2);
  EXPECT_TRUE(c.IsSelected(1));
  EXPECT_STREQ(c.rsrc, "/photos");
  EXPECT_TRUE(c.subjSet.InSet("Subj"));
  // Editing the copy's displayed record changes its link partner, not the live state nor the
  // catalogue versions.
  c.rdisp[2].SetField(PDBFtitle, "edited");
  EXPECT_STREQ(c.DisplayLinks().Get(1)[PDBFtitle].GetString(), "edited");
  EXPECT_FALSE(c.Common().Get(1)[PDBFtitle].IsSet());
  EXPECT_FALSE(s.rdisp.Get(2)[PDBFtitle].IsSet());
  EXPECT_TRUE(c.GetDBOrig(2) != nullptr && c.GetDBOrig(1) == nullptr);

  // A link whose displayed record is gone is reported and left unlinked.
  s.Links()[0].Init();
  s.Links()[0] = Photo("gone", 1, 1);
  MessageLog log;
  c = s;
  EXPECT_TRUE(log.Has("Missing DB link in context copy"));
  EXPECT_EQ(c.GetDBOrig(0), nullptr);
  EXPECT_NE(c.GetDBOrig(2), nullptr);
}

TEST(ContextState, SnapshotRestores) {
  LinkedState s(3);
  PCSnapshot snap(&s, true);
  EXPECT_TRUE(snap.stateSaved);
  s.ClearState();
  DBChangeList ch(&PDBFInfo, "x");
  EXPECT_FALSE(snap.Restore(nullptr, true));
  EXPECT_TRUE(snap.Restore(&ch, true));
  EXPECT_EQ(s.rdisp.GetSize(), 3);
  EXPECT_EQ(s.TotalCommon(), 2);
  EXPECT_NE(s.GetDBOrig(2), nullptr);
  PCSnapshot empty(&s, false);
  EXPECT_FALSE(empty.stateSaved);
  PCSnapshot none(nullptr, true);
  EXPECT_FALSE(none.Restore(&ch, true));
}

// ---------------------------------------------------------------------------------------
// The catalogue context

namespace {

int CountRecordsOnDisk(const std::string& path) {
  std::fstream fs(path, std::ios::in | std::ios::binary);
  PDBHeader h;
  PDBAccess a(&h, &fs, true);
  return a.TotalRecords();
}

}  // namespace

TEST(Context, NewCatalogueCreatedWithDefaultHeader) {
  TempDir d;
  std::string path = d.Path("photos.qdb");
  {
    PContext ctx;
    EXPECT_FALSE(ctx.Ready());
    EXPECT_TRUE(ctx.ReadOnly());
    EXPECT_TRUE(ctx.CloseDB());
    ASSERT_TRUE(ctx.OpenDB(path.c_str(), false));
    EXPECT_TRUE(ctx.Ready());
    EXPECT_FALSE(ctx.ReadOnly());
    EXPECT_STREQ(ctx.dbname, "photos");
    EXPECT_TRUE(ctx.Unique());
    EXPECT_EQ(std::string(ctx.LockPath()), d.Path("photos.lock"));
    EXPECT_TRUE(ctx.SyncDB());
  }
  EXPECT_FALSE(ctxtest::Exists(d.Path("photos.lock"))) << "the destructor releases the lock";
  EXPECT_QDB_SOUND(path);
  EXPECT_FALSE(PContext().OpenDB(nullptr));
  MessageLog log;
  PContext ctx;
  EXPECT_FALSE(ctx.OpenDB(d.Path("no/such/dir.qdb").c_str(), false));
  EXPECT_TRUE(log.Has(DMCresource, "Cannot open database file '" + d.Path("no/such/dir.qdb") +
                                       "': " + strerror(ENOENT)));
  EXPECT_FALSE(ctxtest::Exists(d.Path("no/such/dir.lock")));
}

TEST(Context, BadHeaderRefusedAndFileKept) {
  TempDir d;
  std::string path = d.Path("junk.qdb");
  ctxtest::WriteFile(path, "not a catalogue at all\n");
  MessageLog log;
  PContext ctx;
  EXPECT_FALSE(ctx.OpenDB(path.c_str(), false));
  EXPECT_TRUE(log.Has(DMCdata, "Bad header in database file '" + path + "'"));
  EXPECT_EQ(ctxtest::ReadFile(path), "not a catalogue at all\n") << "never truncated";
  EXPECT_FALSE(ctxtest::Exists(d.Path("junk.lock")));
  EXPECT_STREQ(ctx.dbname, "");
}

TEST(Context, ReopenOfTheOpenCatalogue) {
  TempDir d;
  std::string path = d.Path("photos.qdb");
  PContext ctx;
  ASSERT_TRUE(ctx.OpenDB(path.c_str()));
  Show(&ctx, Photo("a.jpg", 10, 1));
  ASSERT_EQ(ctx.AddRecords(), 1);
  ASSERT_NE(ctx.pdb.UndoName(), nullptr);
  // With the suffix and without: the same file, not reopened; undo history is cleared.
  for (std::string p : {path, d.Path("photos")}) {
    ASSERT_TRUE(ctx.OpenDB(p.c_str()));
    EXPECT_EQ(ctx.pdb.UndoName(), nullptr);
    EXPECT_EQ(ctx.rdisp.GetSize(), 1) << "the display was not reloaded";
    EXPECT_TRUE(ctx.subjSet.InSet("Subj"));
    EXPECT_STREQ(ctx.dbname, "photos");
  }
  // Another suffix is another file; so is a leading part of the name.
  for (std::string p : {d.Path("photos.xyz"), d.Path("photo.qdb")}) {
    ASSERT_TRUE(ctx.OpenDB(p.c_str()));
    EXPECT_EQ(ctx.pdb.TotalRecords(), 0) << p;
    EXPECT_TRUE(ctxtest::Exists(p));
  }
  EXPECT_FALSE(ctxtest::Exists(d.Path("photos.lock")));
}

TEST(Context, LockHeldByChildOpensReadOnly) {
  TempDir d;
  std::string path = d.Path("held.qdb");
  {
    PContext maker;
    ASSERT_TRUE(maker.OpenDB(path.c_str()));
    Show(&maker, Photo("a.jpg", 10, 1));
    ASSERT_EQ(maker.AddRecords(), 1);
  }
  ctxtest::LockHolder holder(path);
  ASSERT_TRUE(holder.holds);
  {
    MessageLog log;
    PContext ctx;
    ASSERT_TRUE(ctx.OpenDB(path.c_str(), false));
    EXPECT_TRUE(log.Has(DMCwarning, "Database file '" + path + "' opened read-only"));
    EXPECT_TRUE(ctx.Ready());
    EXPECT_TRUE(ctx.ReadOnly());
    EXPECT_STREQ(ctx.LockPath(), "");
    EXPECT_EQ(ctx.pdb.TotalRecords(), 1);
    EXPECT_FALSE(ctx.Checkpoint("x", new PCSnapshot(&ctx, true)));
    EXPECT_FALSE(ctx.Undo());
    EXPECT_FALSE(ctx.Redo());
    EXPECT_FALSE(ctx.ClearUndo());
    EXPECT_TRUE(ctx.SyncDB());
    Show(&ctx, Photo("b.jpg", 11, 2));
    EXPECT_EQ(ctx.AddRecords(), 0);
    // Asking for the same path again does not count as the open writable catalogue.
    EXPECT_TRUE(ctx.OpenDB(path.c_str(), false));
    EXPECT_TRUE(ctx.ReadOnly());
  }
  holder.Kill();
  EXPECT_EQ(CountRecordsOnDisk(path), 1);
}

TEST(Context, CloseKeepsTheDisplayAsExternal) {
  TempDir d;
  PContext ctx;
  ASSERT_TRUE(ctx.OpenDB(d.Path("c.qdb").c_str()));
  ctx.Clear();
  EXPECT_EQ(ctx.rdisp.GetFieldInfo(), &ctx.phd);
  EXPECT_EQ(ctx.EditableFieldInfo(), &ctx.phd);
  Show(&ctx, Photo("a.jpg", 10, 1, "Alps"));
  Show(&ctx, Photo("b.jpg", 11, 2, "Sea"));
  ASSERT_EQ(ctx.AddRecords(), 2);
  strcpy(ctx.rsrc, "*DB");
  EXPECT_EQ(ctx.Reconcile(), 2);
  ASSERT_TRUE(ctx.CloseDB());
  EXPECT_STREQ(ctx.rsrc, "*EX");
  EXPECT_STREQ(ctx.dbname, "");
  ASSERT_EQ(ctx.rdisp.GetSize(), 2);
  ASSERT_NE(ctx.DisplayInfo(), nullptr);
  EXPECT_EQ(ctx.rdisp.GetFieldInfo(), ctx.DisplayInfo());
  EXPECT_EQ(ctx.rdisp.Get(1).GetFieldInfo(), ctx.DisplayInfo());
  EXPECT_STREQ(ctx.rdisp.Get(1)[PDBFsubject].GetString(), "Sea");
  EXPECT_EQ(ctx.TotalCommon(), 0);
  EXPECT_EQ(ctx.subjSet.GetSize(), 0);
  EXPECT_EQ(ctx.EditableFieldInfo(), ctx.DisplayInfo());
  ctx.Clear();
  EXPECT_EQ(ctx.rdisp.GetFieldInfo(), &PDBFInfo);
  EXPECT_EQ(ctx.EditableFieldInfo(), nullptr);
  ctx.Clear(&PDBFInfo);
  EXPECT_NE(ctx.rdisp.GetFieldInfo(), &PDBFInfo);
  EXPECT_EQ(ctx.EditableFieldInfo(), ctx.rdisp.GetFieldInfo());
}

TEST(Context, MissingPhotoFieldsGained) {
  TempDir d;
  std::string path = d.Path("old.qdb");
  {
    PContext ctx;
    ASSERT_TRUE(ctx.OpenDB(path.c_str()));
    // An older catalogue: its last field has another name.
    ASSERT_TRUE(ctx.phd.Rename(ctx.phd.GetID("Focus"), "Distance"));
    ASSERT_TRUE(ctx.SyncDB());
  }
  {
    PContext ro;
    ASSERT_TRUE(ro.OpenDB(path.c_str(), true));
    EXPECT_GE(ro.phd.GetID("Focus"), 0) << "gained in memory";
  }
  {
    PContext ctx;
    ASSERT_TRUE(ctx.OpenDB(path.c_str()));
    EXPECT_GE(ctx.phd.GetID("Focus"), 0);
    EXPECT_GE(ctx.phd.GetID("Distance"), 0) << "the catalogue's own field stays";
  }
  std::fstream fs(path, std::ios::in | std::ios::binary);
  PDBHeader h;
  ASSERT_GT(h.Attach(&fs, true), 0);
  EXPECT_GE(h.GetID("Focus"), 0) << "written at the sync";
  EXPECT_GE(h.GetID("Distance"), 0);
  EXPECT_QDB_SOUND(path);
}

TEST(Context, CheckpointsSyncByCount) {
  TempDir d;
  PContext ctx;
  ASSERT_TRUE(ctx.OpenDB(d.Path("s.qdb").c_str()));
  for (int k = 1; k <= 8; k++) {
    DBRecord r = Photo(("f" + std::to_string(k)).c_str(), k, k);
    ctx.pdb.AddRecords(&r, 1);
    ASSERT_TRUE(ctx.Checkpoint("step", nullptr));
    EXPECT_EQ(ctx.pdb.GetNUnsynced(), k < 8 ? k : 0) << k;
  }
  EXPECT_EQ(ctx.sync_opcnt, 8);
  // 31 waiting changes do not sync, 32 do.
  for (int n : {31, 32}) {
    ASSERT_TRUE(ctx.SyncDB());
    for (int k = 0; k < n; k++) {
      DBRecord r = Photo(("g" + std::to_string(n) + "_" + std::to_string(k)).c_str(), k, k);
      ctx.pdb.AddRecords(&r, 1);
    }
    ASSERT_TRUE(ctx.Checkpoint("batch", nullptr));
    EXPECT_EQ(ctx.pdb.GetNUnsynced(), n == 32 ? 0 : 31);
  }
  EXPECT_EQ(CountRecordsOnDisk(d.Path("s.qdb")), 8 + 31 + 32);
}

TEST(Context, SnapshotsBeyondBudgetDroppedUndoStillWorks) {
  TempDir d;
  PContext ctx;
  ASSERT_TRUE(ctx.OpenDB(d.Path("b.qdb").c_str()));
  ctx.Clear();
  for (int i = 0; i < 3000; i++) Show(&ctx, Photo(("p" + std::to_string(i)).c_str(), i, i));
  // Four steps, each snapshot holding 3,000 displayed records: the fourth pushes the total
  // past the budget, so the oldest loses its saved state.
  for (int step = 0; step < 4; step++) {
    DBRecord r = Photo(("new" + std::to_string(step)).c_str(), 1, step);
    ASSERT_TRUE(ctx.Checkpoint("step", new PCSnapshot(&ctx, true)));
    ctx.pdb.AddRecords(&r, 1);
  }
  ASSERT_TRUE(ctx.Checkpoint(nullptr, nullptr));
  int saved = 0, steps = 0;
  for (const DBChangeList* ch = ctx.pdb.UndoList(); ch != nullptr; ch = ch->prev) {
    const PCSnapshot* s = dynamic_cast<const PCSnapshot*>(ch->snap);
    if (s == nullptr) continue;
    steps++;
    saved += s->stateSaved;
    if (!s->stateSaved) {
      EXPECT_EQ(s->s.rdisp.GetSize(), 0);
    }
  }
  EXPECT_EQ(steps, 4);
  EXPECT_EQ(saved, 3);
  const int before = ctx.pdb.TotalRecords();
  for (int k = 0; k < 4; k++) EXPECT_TRUE(ctx.Undo()) << k;
  EXPECT_EQ(ctx.pdb.TotalRecords(), before - 4);
  EXPECT_FALSE(ctx.Undo());
  EXPECT_TRUE(ctx.Redo());
  EXPECT_EQ(ctx.pdb.TotalRecords(), before - 3);
}

TEST(Context, LongNamesCutAndUniqueFlag) {
  TempDir d;
  std::string name(100, 'n');
  PContext ctx;
  ASSERT_TRUE(ctx.OpenDB(d.Path(name + ".qdb").c_str()));
  EXPECT_EQ(std::string(ctx.dbname), name.substr(0, 63));
  EXPECT_TRUE(ctx.Unique());
  Show(&ctx, Photo("a.jpg", 1, 1));
  ASSERT_EQ(ctx.AddRecords(), 1);
  ctx.SetUnique(false);
  EXPECT_FALSE(ctx.Unique());
  EXPECT_FALSE(ctx.phd.Unique());
  EXPECT_EQ(ctx.pdb.UndoName(), nullptr) << "the history went with the flag";
  EXPECT_FALSE(ctx.Undo());
}

// A catalogue asked for writing and opened read-only says why, and whether it is a fault of
// the file (the main window's tests show the alerts of the other reasons): here a journal
// kept beside it, and a lock held by another process. Opened for writing, or read-only on
// request, it has nothing to say.
TEST(Context, ReadOnlyOpensSayWhy) {
  TempDir d;
  const std::string path = d.Path("why.qdb");
  {
    PContext maker;
    ASSERT_TRUE(maker.OpenDB(path.c_str()));
    Show(&maker, Photo("a.jpg", 10, 1));
    ASSERT_EQ(maker.AddRecords(), 1);
    EXPECT_EQ(maker.ReadOnlyWhy(), "");
  }
  bool damage = false;
  auto why = [&](bool readonly) {
    MessageLog log;
    PContext ctx;
    EXPECT_TRUE(ctx.OpenDB(path.c_str(), readonly));
    EXPECT_TRUE(ctx.ReadOnly());
    return ctx.ReadOnlyWhy(&damage);
  };
  ctxtest::WriteFile(path + "-journal", "not a journal");
  EXPECT_EQ(why(false).rfind("its journal '" + path + "-journal', left by a sync", 0), 0u);
  EXPECT_TRUE(damage);
  EXPECT_EQ(why(true), "");
  unlink((path + "-journal").c_str());
  ctxtest::LockHolder holder(path);
  ASSERT_TRUE(holder.holds);
  EXPECT_EQ(why(false).rfind("its lock file '" + d.Path("why.lock") + "' is held (\"Catalog", 0),
            0u);
  EXPECT_FALSE(damage);
}

// A catalogue with a damaged block opens read-only, names the block, and shows the records of
// its other blocks: counted, catalogued and found. Closing it writes nothing and tells no error.
TEST(Context, DamagedBlockLeavesOutOnlyItsOwnRecords) {
  TempDir d;
  const std::string path = d.Path("blocks.qdb");
  constexpr int kN = 400;
  {
    PContext maker;
    ASSERT_TRUE(maker.OpenDB(path.c_str()));
    for (int i = 0; i < kN; i++) {
      const std::string name = "p" + std::to_string(i) + ".jpg";
      Show(&maker, Photo(name.c_str(), 1000 + i, 7 + i, i < kN / 2 ? "Early" : "Late"));
    }
    ASSERT_EQ(maker.AddRecords(), kN);
  }
  std::string bytes = ctxtest::ReadFile(path);
  long long hs = 0;
  {
    std::fstream fs(path, std::ios::in | std::ios::binary);
    PDBHeader h;
    hs = h.Attach(&fs, true);
  }
  ASSERT_GE(bytes.size(), static_cast<size_t>(hs) + 3 * DB_BLOCKSIZE);
  const size_t block1 = static_cast<size_t>(hs) + DB_BLOCKSIZE;
  int32_t inBlock1 = 0;
  memcpy(&inBlock1, bytes.data() + block1 + 4, 4);
  bytes[block1] ^= 0x40;  // its magic
  ctxtest::WriteFile(path, bytes);
  unlink((path + "-index").c_str());
  MessageLog log;
  PContext ctx;
  ASSERT_TRUE(ctx.OpenDB(path.c_str()));
  EXPECT_TRUE(ctx.Ready());
  EXPECT_TRUE(ctx.ReadOnly());
  bool damage = false;
  EXPECT_EQ(ctx.ReadOnlyWhy(&damage),
            "block 1 (at byte " + std::to_string(block1) +
                ") is damaged: bad block magic; its records are left out");
  EXPECT_TRUE(damage);
  EXPECT_EQ(ctx.pdb.TotalRecords(), kN - inBlock1);
  EXPECT_TRUE(ctx.subjSet.InSet("Early"));
  EXPECT_TRUE(ctx.subjSet.InSet("Late"));
  // The first and the last photo (blocks 0 and 2) are found by their file facts.
  for (int i : {0, kN - 1}) {
    DBRecord key(&ctx.phd);
    key.SetField(ctx.phd.XlateID(&PDBFInfo, PDBFnbytes), static_cast<long>(1000 + i));
    key.SetField(ctx.phd.XlateID(&PDBFInfo, PDBFhashval), static_cast<long>(7 + i));
    DBSearch s(&ctx.pdb);
    s.AddSelector(key, false);
    DBRecord out;
    EXPECT_EQ(s.FindRecords(&out, 1), 1) << i;
  }
  log.Clear();
  EXPECT_TRUE(ctx.CloseDB());
  EXPECT_FALSE(log.Has(DMCdata, "Error closing database 'blocks'")) << log.All();
  EXPECT_EQ(ctxtest::ReadFile(path), bytes);
}

// A catalogue file cut short while it was made (shorter than its header, no journal beside
// it) is known as such and made a new, empty catalogue again; nothing else is.
TEST(Context, CatalogueCutShortAtCreationIsMadeAgain) {
  TempDir d;
  const std::string path = d.Path("new.qdb");
  {
    PContext ctx;
    ASSERT_TRUE(ctx.OpenDB(path.c_str()));
    ASSERT_TRUE(ctx.SyncDB());
  }
  const std::string header = ctxtest::ReadFile(path);
  ASSERT_GT(header.size(), 8192u);
  EXPECT_FALSE(PContext::CutShortAtCreation(path.c_str()));  // whole, and empty
  for (size_t cut : {size_t(5), size_t(300), size_t(8192), header.size() - 1}) {
    ctxtest::WriteFile(path, header.substr(0, cut));
    EXPECT_TRUE(PContext::CutShortAtCreation(path.c_str())) << cut;
  }
  ctxtest::WriteFile(path + "-journal", "a sync under way");
  EXPECT_FALSE(PContext::CutShortAtCreation(path.c_str()));
  unlink((path + "-journal").c_str());
  {
    PContext ctx;
    MessageLog log;
    ASSERT_TRUE(ctx.OpenDB(path.c_str()));
    EXPECT_TRUE(ctx.ReadOnly());
    EXPECT_FALSE(ctx.RecreateDB(path.c_str()));  // not while a catalogue is open
    ctx.CloseDB();
    {
      ctxtest::LockHolder holder(path);
      EXPECT_FALSE(ctx.RecreateDB(path.c_str()));  // nor while another process holds it
    }
    EXPECT_EQ(ctxtest::ReadFile(path).size(), header.size() - 1);
    ASSERT_TRUE(ctx.RecreateDB(path.c_str()));
    EXPECT_EQ(ctxtest::ReadFile(path), "");
    ASSERT_TRUE(ctx.OpenDB(path.c_str()));
    EXPECT_FALSE(ctx.ReadOnly());
    Show(&ctx, Photo("a.jpg", 10, 1));
    EXPECT_EQ(ctx.AddRecords(), 1);
  }
  EXPECT_EQ(CountRecordsOnDisk(path), 1);
  EXPECT_QDB_SOUND(path);
  // A catalogue holding records, a file of another kind: never.
  const std::string full = ctxtest::ReadFile(path);
  for (const std::string& bytes :
       {full.substr(0, header.size() + 100), std::string("Not a catalogue\n")}) {
    ctxtest::WriteFile(path, bytes);
    EXPECT_FALSE(PContext::CutShortAtCreation(path.c_str()));
    PContext ctx;
    EXPECT_FALSE(ctx.RecreateDB(path.c_str()));
    EXPECT_EQ(ctxtest::ReadFile(path), bytes);
  }
}
