// Catalogue syncs in idle time: a second after a command that changed the catalogue, at rest or
// in a question while no command is part way, never inside a pump, a half-done command or an
// open edit.
#include <unistd.h>

#include <functional>

#include "app/core/pidle.h"
#include "app/core/pbusy.h"
#include "maintest.h"

namespace {

using IdleSync = MainTest;

// The records a fresh reader finds in the file; -1 when it cannot open it.
int OnDisk(const std::string& path) {
  int (*alert)(const char*) = dmessage_alert;
  dmessage_alert = nullptr;  // a file not yet written is only counted here
  PContext reader;
  const int n = reader.OpenDB(path.c_str(), true) ? reader.pdb.TotalRecords() : -1;
  reader.CloseDB();
  dmessage_alert = alert;
  return n;
}

// The command as a menu sends it: one dispatch from the top of the loop.
void Choose(const char* code) {
  HICommand cmd{0, FourCC({code[0], code[1], code[2], code[3], 0}), nullptr, 0};
  ProcessHICommand(&cmd);
}

TEST_F(IdleSync, ASecondAfterACommandAtRestOnly) {
  SetManualPlatformClock(true);
  const std::string path = Path("a.qdb");
  ASSERT_TRUE(mw->OpenCatalog(path.c_str()));
  ShowFolder(6);
  Choose("add ");
  EXPECT_EQ(bc->pdb.TotalRecords(), 6);
  EXPECT_NEAR(PidleSyncDelay(), kIdleSyncDelay, 1e-6);
  AdvancePlatformClock(0.5);
  EXPECT_EQ(OnDisk(path), -1);  // a new catalogue: not even its header yet
  AdvancePlatformClock(0.6);
  EXPECT_EQ(OnDisk(path), 6);
  EXPECT_FALSE(bc->Unsynced());
  EXPECT_LT(PidleSyncDelay(), 0);

  // Due while a modal wait runs (a question, a progress pump): not there, and not when the
  // wait ends; as soon as the command that ran it comes back to rest.
  ASSERT_TRUE(b->NewChange("Title"));
  PDBsetString(b->ChangeRecord(1), PDBFtitle, "Harbour");
  EXPECT_EQ(b->CompleteChange(), 1);
  Choose("zzzz");
  checkEvents(2.0);
  EXPECT_TRUE(bc->Unsynced());
  EXPECT_LT(PidleSyncDelay(), 0);
  Choose("zzzz");
  EXPECT_NEAR(PidleSyncDelay(), 0, 1e-6);
  AdvancePlatformClock(0);
  EXPECT_FALSE(bc->Unsynced());

  // An edit left open (waiting on its question) holds the sync back; its end lets it go.
  ASSERT_TRUE(b->NewChange("Title"));
  PDBsetString(b->ChangeRecord(2), PDBFtitle, "Bay");
  Choose("undo");
  Choose("zzzz");
  AdvancePlatformClock(1.0);
  EXPECT_FALSE(PidleSync());
  EXPECT_TRUE(PisBusy());
  b->NoChange();
  EXPECT_FALSE(bc->Unsynced());  // the undo was refused while busy
  Choose("undo");
  EXPECT_TRUE(bc->Unsynced());
  AdvancePlatformClock(1.0);
  EXPECT_FALSE(bc->Unsynced());
  PContext reader;
  ASSERT_TRUE(reader.OpenDB(path.c_str(), true));
  for (int i = 0; i < 6; i++) {
    DBRecord r;
    ASSERT_EQ(reader.pdb.GetRecords(&r, 1, i), 1);
    EXPECT_EQ(PDBgetString(r, PDBFtitle), nullptr);  // the undo is on disk
  }
  reader.CloseDB();

  // A change of the shadow catalogue alone syncs the same way.
  ASSERT_TRUE(bc->ShadowDB(Path("shadow.qdb").c_str()));
  EXPECT_TRUE(bc->AddShadow(ctxtest::Photo("loose.jpg", 5, 6)));
  EXPECT_TRUE(bc->ShadowUnsynced());
  Choose("zzzz");
  AdvancePlatformClock(1.0);
  EXPECT_FALSE(bc->ShadowUnsynced());
  bc->ShadowDB(nullptr);

  // A read-only catalogue has nothing to sync.
  mw->CloseCatalog();
  ASSERT_TRUE(mw->OpenCatalog(path.c_str()));
  ASSERT_TRUE(bc->OpenDB(path.c_str(), true));
  Choose("zzzz");
  EXPECT_LT(PidleSyncDelay(), 0);
  SetManualPlatformClock(false);
}

// A sync whose time came while the loop was busy (a long redraw, say) runs as soon as the loop
// is free: the rest after that event does not put it off by another second.
TEST_F(IdleSync, OverdueRunsAtTheNextRest) {
  ASSERT_TRUE(mw->OpenCatalog(Path("o.qdb").c_str()));
  ShowFolder(6);
  Choose("add ");
  EXPECT_GT(PidleSyncDelay(), 0.5);
  usleep(1100 * 1000);  // the loop busy past the sync's time
  Choose("zzzz");
  EXPECT_EQ(PidleSyncDelay(), 0);
  for (int i = 0; i < 100 && bc->Unsynced(); ++i) {
    RunPendingEvents();
    usleep(2000);
  }
  EXPECT_FALSE(bc->Unsynced());
}

// The confirm dialog answered Cancel after delay seconds on the platform clock.
EventLoopTimerRef closer = nullptr;
void CancelAfter(double delay) {
  if (closer != nullptr) RemoveEventLoopTimer(closer);
  InstallEventLoopTimer(
      delay, 0,
      [](EventLoopTimerRef, void*) {
        gConfirmResponse = kResponseCancel;
        HideWindow(gConfirmWindow);
      },
      nullptr, &closer);
}

// A command that asks, answered after delay seconds: its answer.
OSType Ask(double delay) {
  CancelAfter(delay);
  return confirmDialog("Go on?", nullptr, kResponseOK);
}

// Runs f as a command runs: inside a dispatch from the top of the loop.
void AsCommand(std::function<void()> f) {
  static std::function<void()> run;
  run = std::move(f);
  EventLoopTimerRef t = nullptr;
  InstallEventLoopTimer(
      0, 0, [](EventLoopTimerRef, void*) { run(); }, nullptr, &t);
  AdvancePlatformClock(0);
  RemoveEventLoopTimer(t);
}

// A question waiting for the user is rest while no command is part way through its edits: a
// sync that falls due then goes on inside it. Edits made since the last rest (a command that
// changed records, then asks) hold it back until the command says they make whole steps or
// comes back to rest.
TEST_F(IdleSync, InAQuestionUnlessACommandIsPartWay) {
  SetManualPlatformClock(true);
  const std::string path = Path("q.qdb");
  ASSERT_TRUE(mw->OpenCatalog(path.c_str()));
  ShowFolder(6);
  Choose("add ");
  // A dialog left open long after the command (the preferences, say).
  AsCommand([] { EXPECT_EQ(Ask(30.0), kResponseCancel); });
  EXPECT_EQ(OnDisk(path), 6);
  EXPECT_FALSE(bc->Unsynced());

  // A command edits (the timer armed by the edit before it), then asks: nothing is written.
  auto edit = [this](int i, const char* title) {
    ASSERT_TRUE(b->NewChange("Title"));
    PDBsetString(b->ChangeRecord(i), PDBFtitle, title);
    EXPECT_EQ(b->CompleteChange(), 1);
  };
  edit(1, "Harbour");
  Choose("zzzz");
  AsCommand([&] {
    ABitMap one(6, false);
    one.Set(2);
    PDBsetString(&bc->rdisp[2], PDBFtitle, "Bay");
    ASSERT_EQ(bc->RecordChange("Title", &one, nullptr), 1);
    EXPECT_EQ(Ask(5.0), kResponseCancel);
    EXPECT_TRUE(bc->Unsynced());
    // Its edit filed as a step, what it asks next is rest again.
    edit(3, "Cove");
    EXPECT_EQ(Ask(5.0), kResponseCancel);
    EXPECT_FALSE(bc->Unsynced());
  });
  PContext reader;
  ASSERT_TRUE(reader.OpenDB(path.c_str(), true));
  int titled = 0;
  for (int i = 0; i < 6; i++) {
    DBRecord r;
    ASSERT_EQ(reader.pdb.GetRecords(&r, 1, i), 1);
    titled += PDBgetString(r, PDBFtitle) != nullptr;
  }
  EXPECT_EQ(titled, 3);
  reader.CloseDB();

  // An edit left open holds it back in a question too.
  AsCommand([&] {
    edit(4, "Reef");
    ASSERT_TRUE(b->NewChange("Title"));
    EXPECT_EQ(Ask(5.0), kResponseCancel);
    EXPECT_TRUE(bc->Unsynced());
  });
  b->NoChange();
  Choose("zzzz");
  AdvancePlatformClock(0);
  EXPECT_FALSE(bc->Unsynced());
  RemoveEventLoopTimer(closer);
  closer = nullptr;
  SetManualPlatformClock(false);
}

}  // namespace
