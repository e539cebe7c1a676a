// The main window's catalogue operations and the browser's edit transaction.
#include <memory>

#include "db/test_faultfs.h"
#include "db/test_sideutil.h"
#include "maintest.h"

namespace {

using CatalogueOps = MainTest;

TEST_F(CatalogueOps, AnEditIsOneUndoStep) {
  ASSERT_TRUE(mw->OpenCatalog(Path("a.qdb").c_str()));
  ShowFolder(4);
  EXPECT_EQ(mw->AddRecords(), 4);
  EXPECT_STREQ(bc->rsrc, "*DB");
  EXPECT_EQ(EditItem(1), "Undo Add");

  ASSERT_TRUE(b->NewChange("Set"));
  EXPECT_FALSE(b->NewChange("Other"));  // one at a time, refused without ending anything
  EXPECT_TRUE(PisBusy());
  for (int i : {1, 2}) PDBsetString(b->ChangeRecord(i), PDBFtitle, "Harbour");
  EXPECT_EQ(b->ChangeRecord(4), nullptr);
  EXPECT_EQ(b->GetChangeMap().SumTotal(), 2u);
  EXPECT_FALSE(mw->LoadingRecords(nullptr));  // no load while an edit is open
  dmessage_last_class = DMCnerr;              // the refusals' warnings were seen
  EXPECT_EQ(b->CompleteChange(), 2);
  EXPECT_FALSE(PisBusy());
  EXPECT_FALSE(b->ChangeOpen());
  EXPECT_EQ(EditItem(1), "Undo Set");
  EXPECT_TRUE(EditEnabled(1));

  ASSERT_TRUE(mw->Undo());
  EXPECT_EQ(Status(), "Undid Set");
  EXPECT_EQ(PDBgetString(bc->rdisp.Get(1), PDBFtitle), nullptr);
  EXPECT_EQ(EditItem(2), "Redo Set");
  ASSERT_TRUE(mw->Redo());
  int titled = 0;
  for (int i = 0; i < 4; ++i) titled += PDBgetString(bc->rdisp.Get(i), PDBFtitle) != nullptr;
  EXPECT_EQ(titled, 2);

  ASSERT_TRUE(b->NewChange("Nothing"));
  EXPECT_EQ(b->CompleteChange(), 0);  // nothing marked: no step, the menu as it was
  EXPECT_EQ(EditItem(1), "Undo Set");
  mw->SetUndoable(false);
  EXPECT_EQ(EditItem(1), "Can't Undo");
  EXPECT_EQ(EditItem(2), "Redo");
  EXPECT_FALSE(EditEnabled(1));
  EXPECT_FALSE(EditEnabled(2));
}

// A catalogue asked for and opened read-only says why in one alert naming its file: a length
// that is not whole blocks, a damaged block, its lock held by another process. One cut short
// while it was made is offered to be made again; refused, it stays read-only.
TEST_F(CatalogueOps, ReadOnlyOpensSayWhyInOneAlert) {
  const std::string path = Path("ro.qdb");
  ASSERT_TRUE(mw->OpenCatalog(path.c_str()));
  ShowFolder(3);
  ASSERT_EQ(mw->AddRecords(), 3);
  const int hs = bc->phd.GetSize();
  mw->CloseCatalog();
  const std::string whole = ctxtest::ReadFile(path);
  std::string flipped = whole;
  flipped[static_cast<size_t>(hs) + 4] ^= 1;  // block 0's record count
  const std::string told = "Catalog '" + path + "' opened read-only: ";
  struct Case {
    std::string bytes, why;
    bool locked;
    std::string status;
  };
  const std::vector<Case> cases = {
      {whole + "x", "its last block is not whole (1 of 65548 bytes) and is not read", false,
       "3 record catalog"},
      {flipped,
       "block 0 (at byte " + std::to_string(hs) +
           ") is damaged: bytes in the free space after the records",
       false, "Damaged catalog (0 records)"},
      {whole, "its lock file '" + Path("ro.lock") + "' is held", true, "3 record catalog"}};
  for (const Case& c : cases) {
    ctxtest::WriteFile(path, c.bytes);
    std::unique_ptr<ctxtest::LockHolder> holder;
    if (c.locked) holder.reset(new ctxtest::LockHolder(path));
    Answerer ans;
    ASSERT_TRUE(mw->OpenCatalog(path.c_str()));
    EXPECT_EQ(Title(), "ro (Read-Only)");
    EXPECT_EQ(Status(), c.status);
    ASSERT_EQ(ans.prompts.size(), 1u) << c.why;
    EXPECT_EQ(ans.prompts[0].rfind(told + c.why, 0), 0u) << ans.prompts[0];
    mw->CloseCatalog();
    EXPECT_EQ(ctxtest::ReadFile(path), c.bytes);
  }
  const std::string cutPath = Path("cut.qdb");
  ASSERT_TRUE(mw->OpenCatalog(cutPath.c_str()));
  mw->CloseCatalog();
  const std::string header = ctxtest::ReadFile(cutPath);
  const std::string asked = "Catalog '" + cutPath +
                            "' was cut short while it was being created and holds no " +
                            "records. Create it again?";
  for (OSType answer : {kResponseCancel, kResponseOK}) {
    ctxtest::WriteFile(cutPath, header.substr(0, 4096));
    Answerer ans;
    ans.Press(answer);
    ASSERT_TRUE(mw->OpenCatalog(cutPath.c_str()));
    EXPECT_EQ(ans.prompts, std::vector<std::string>{asked});
    EXPECT_EQ(bc->ReadOnly(), answer != kResponseOK);
    EXPECT_EQ(Title(), answer == kResponseOK ? "cut" : "cut (Read-Only)");
    mw->CloseCatalog();
  }
  EXPECT_EQ(ctxtest::ReadFile(cutPath), header);
}

// A catalogue whose edit cannot be saved (the disk full) is asked about before it closes or
// another opens: Go Back keeps it open with the edit and its undo step; Close Without Saving
// closes it without the edit, its file as the last save left it, and the other opens.
TEST_F(CatalogueOps, ACatalogueThatCannotBeSavedIsAskedAboutBeforeItCloses) {
  const std::string path = Path("a.qdb");
  dbtest::FaultFS disk(1, path);
  struct OnDisk {
    PContext* c;
    dbtest::FaultFS* fs;
    ~OnDisk() {
      fs->fullFrom = 0;
      c->CloseDB();
      c->fileSystem = nullptr;
    }
  } onDisk{bc, &disk};
  bc->fileSystem = &disk;
  ASSERT_TRUE(mw->OpenCatalog(path.c_str()));
  ShowFolder(4);
  ASSERT_EQ(mw->AddRecords(), 4);
  ASSERT_TRUE(bc->SyncDB());
  const std::string saved = ctxtest::ReadFile(path);
  disk.fullFrom = disk.Calls() + 1;
  ASSERT_TRUE(b->NewChange("Set"));
  for (int i : {1, 2}) PDBsetString(b->ChangeRecord(i), PDBFtitle, "Harbour");
  ASSERT_EQ(b->CompleteChange(), 2);
  const std::string asked = "Cannot save the catalog 'a': the disk is full";
  {
    Answerer ans;  // Go Back
    mw->CloseCatalog();
    ASSERT_EQ(ans.prompts.size(), 1u);
    EXPECT_EQ(ans.prompts[0].rfind(asked, 0), 0u) << ans.prompts[0];
    EXPECT_NE(ans.prompts[0].find("(Set on 2 records) are not saved"), std::string::npos);
  }
  EXPECT_STREQ(bc->dbname, "a");
  EXPECT_TRUE(bc->Unsynced());
  EXPECT_EQ(Title(), "a (Not Saved)");
  EXPECT_EQ(EditItem(1), "Undo Set");
  {
    Answerer ans;
    ans.Press(kResponseCustom);  // Close Without Saving
    EXPECT_TRUE(mw->OpenCatalog(Path("b.qdb").c_str()));
    ASSERT_EQ(ans.prompts.size(), 1u);
    EXPECT_EQ(ans.prompts[0].rfind(asked, 0), 0u) << ans.prompts[0];
  }
  EXPECT_STREQ(bc->dbname, "b");
  EXPECT_EQ(ctxtest::ReadFile(path), saved);
  EXPECT_FALSE(ctxtest::Exists(path + "-journal"));
  EXPECT_FALSE(ctxtest::Exists(Path("a.lock")));
}

// A catalogue copied with its index file (which names the original's file) has the index file
// rebuilt at its first open and written at once, then trusted: one warning, logged but not
// blinked in the status line (its loss is only time), and none at the opens after, also after
// a saved edit. Opening writes nothing into the catalogue itself.
TEST_F(CatalogueOps, ACopiedCataloguesIndexFileIsRebuiltOnceThenTrusted) {
  const std::string orig = Path("trips.qdb"), copy = Path("copy.qdb");
  ASSERT_TRUE(mw->OpenCatalog(orig.c_str()));
  ShowFolder(5);
  ASSERT_EQ(mw->AddRecords(), 5);
  mw->CloseCatalog();
  for (const char* side : {"", "-index"})
    ctxtest::WriteFile(copy + side, ctxtest::ReadFile(orig + side));
  const std::string bytes = ctxtest::ReadFile(copy);
  std::vector<std::string> shown;  // the status line whenever the open pumps events
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] { shown.push_back(Status()); });
  watch.start(0);
  auto open = [&](bool edit) {
    MessageLog log;
    shown.clear();
    EXPECT_TRUE(mw->OpenCatalog(copy.c_str()));
    int told = 0;
    for (const auto& e : log.entries) told += e.second.find("index file") != std::string::npos;
    for (const std::string& s : shown) EXPECT_EQ(s.find("index file"), std::string::npos) << s;
    EXPECT_EQ(dbtest::IndexStatus(copy, bc->phd.GetSize()), DBSideFile::kValid);
    if (edit) {
      EXPECT_TRUE(b->NewChange("Set"));
      PDBsetString(b->ChangeRecord(0), PDBFtitle, "Harbour");
      EXPECT_EQ(b->CompleteChange(), 1);
    }
    mw->CloseCatalog();
    return told;
  };
  EXPECT_EQ(open(false), 1);
  EXPECT_EQ(open(false), 0);
  EXPECT_EQ(open(false), 0);
  EXPECT_EQ(ctxtest::ReadFile(copy), bytes);
  EXPECT_EQ(open(true), 0);
  EXPECT_NE(ctxtest::ReadFile(copy), bytes);
  EXPECT_EQ(open(false), 0);
}

// An open that runs long (at a pace that counts every step as long) keeps the windows served
// and shows its progress, gone when the catalogue is open.
TEST_F(CatalogueOps, ALongOpenShowsItsProgress) {
  const std::string path = Path("long.qdb");
  ASSERT_TRUE(mw->OpenCatalog(path.c_str()));
  ShowFolder(300);
  ASSERT_EQ(mw->AddRecords(), 300);
  mw->CloseCatalog();
  std::string progress;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (IsWindowVisible(gProgressWindow)) progress = TextOf(gProgressWindow, "prgs", 128);
  });
  watch.start(0);
  PsetWorkPace(0, 0);
  EXPECT_TRUE(mw->OpenCatalog(path.c_str()));
  PsetWorkPace(kWorkPumpEvery, kWorkProgressAfter);
  EXPECT_EQ(progress, "Opening catalog...");
  EXPECT_FALSE(IsWindowVisible(gProgressWindow));
}

// Opening another catalogue closes the one open first, and that close runs long too: it keeps
// the windows served and shows its progress as Close Catalog's does, before the open's.
TEST_F(CatalogueOps, OpeningAnotherCatalogueClosesTheOneOpenUnderProgress) {
  const std::string first = Path("first.qdb"), second = Path("second.qdb");
  ASSERT_TRUE(mw->OpenCatalog(second.c_str()));
  mw->CloseCatalog();
  ASSERT_TRUE(mw->OpenCatalog(first.c_str()));
  ShowFolder(300);
  ASSERT_EQ(mw->AddRecords(), 300);
  std::vector<std::string> shown;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (!IsWindowVisible(gProgressWindow)) return;
    const std::string text = TextOf(gProgressWindow, "prgs", 128);
    if (shown.empty() || shown.back() != text) shown.push_back(text);
  });
  watch.start(0);
  PsetWorkPace(0, 0);
  EXPECT_TRUE(mw->OpenCatalog(second.c_str()));
  PsetWorkPace(kWorkPumpEvery, kWorkProgressAfter);
  const std::vector<std::string> want = {"Saving catalog...", "Closing catalog...",
                                         "Opening catalog..."};
  EXPECT_EQ(shown, want);
  EXPECT_FALSE(IsWindowVisible(gProgressWindow));
}

}  // namespace
