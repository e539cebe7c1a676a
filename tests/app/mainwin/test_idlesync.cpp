// Catalogue syncs in idle time: a second after a command that changed the catalogue, at rest or
// in a question while no command is part way, never inside a pump, a half-done command or an
// open edit.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "app/core/pbusy.h"
#include "app/core/pidle.h"
#include "db/dbjournal.h"
#include "db/test_faultfs.h"
#include "maintest.h"
#include "support/cache.h"
#include "testutil/budget_guard.h"

namespace {

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

// The records are shown from a folder of the test's home: the folder list then looks into no
// folder of the machine's, one of which a user may not read ('/root'), which would be told in
// the status line, and the blink would move the platform clock the test keeps.
class IdleSync : public MainTest {
 protected:
  void ShowFolder(int n) { MainTest::ShowFolder(n, "Trip", home.path() + "/photos"); }
  // Opens the catalogue at path and adds six pictures to it, synced.
  void AddSixSynced(const std::string& path) {
    ASSERT_TRUE(mw->OpenCatalog(path.c_str()));
    ShowFolder(6);
    Choose("add ");
    AdvancePlatformClock(kIdleSyncDelay);
    ASSERT_EQ(OnDisk(path), 6);
  }
};

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

// A sync whose time came while the loop was busy (a long redraw, say) runs as soon as the loop
// is free: the rest after that event does not put it off by another second.
TEST_F(IdleSync, OverdueRunsAtTheNextRest) {
  SetManualPlatformClock(true);
  ASSERT_TRUE(mw->OpenCatalog(Path("o.qdb").c_str()));
  ShowFolder(6);
  Choose("add ");
  EXPECT_GT(PidleSyncDelay(), 0.5);
  AsCommand([] { AdvancePlatformClock(1.1); });  // the loop busy past the sync's time
  EXPECT_TRUE(bc->Unsynced());
  EXPECT_EQ(PidleSyncDelay(), 0);
  AdvancePlatformClock(0);
  EXPECT_FALSE(bc->Unsynced());
  SetManualPlatformClock(false);
}

// The window closed after delay seconds on the platform clock (a question answered Cancel).
EventLoopTimerRef closer = nullptr;
void CloseAfter(WindowRef w, double delay) {
  if (closer != nullptr) RemoveEventLoopTimer(closer);
  InstallEventLoopTimer(
      delay, 0,
      [](EventLoopTimerRef, void* closing) {
        gConfirmResponse = kResponseCancel;
        HideWindow(static_cast<WindowRef>(closing));
      },
      w, &closer);
}

// A command that asks, answered after delay seconds: its answer.
OSType Ask(double delay) {
  CloseAfter(gConfirmWindow, delay);
  return confirmDialog("Go on?", nullptr, kResponseOK);
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

// Gives displayed record i the title, as one edit of the browser.
void Edit(PBrowser* b, int i, const char* title) {
  ASSERT_TRUE(b->NewChange("Title"));
  PDBsetString(b->ChangeRecord(i), PDBFtitle, title);
  EXPECT_EQ(b->CompleteChange(), 1);
}

// The catalogue's disk, which fills up (from fullFrom on, a write that grows a file fails) and
// tells its free room; it counts the syncs tried, each of which begins its journal.
class FullDisk : public dbtest::FaultFS {
 public:
  explicit FullDisk(const std::string& db) : FaultFS(1, db) {}
  long long room = -1;
  int tries = 0;
  long long FreeSpace(const std::string&) override { return room; }
  int Open(const std::string& path, int flags, int mode) override {
    const std::string journal = "-journal.new";
    if ((flags & O_CREAT) != 0 && path.size() > journal.size() &&
        path.compare(path.size() - journal.size(), journal.size(), journal) == 0)
      ++tries;
    return FaultFS::Open(path, flags, mode);
  }
};

// The catalogue on such a disk for a test's length, told failures counted.
int told = 0;
struct OnFullDisk {
  PContext* ctx;
  FullDisk* disk;
  OnFullDisk(PContext* c, FullDisk* d) : ctx(c), disk(d) {
    ctx->fileSystem = disk;
    told = 0;
    dmessage_call = [](unsigned cls, const char* text, const char*, int) -> uint32_t {
      told += cls == DMCsystem && strncmp(text, "Cannot save the catalog", 23) == 0;
      return 0;
    };
  }
  ~OnFullDisk() {
    dmessage_call = nullptr;
    disk->fullFrom = 0;
    disk->failAt = 0;
    ctx->CloseDB();
    ctx->fileSystem = nullptr;
    if (closer != nullptr) RemoveEventLoopTimer(closer);
    closer = nullptr;
    SetManualPlatformClock(false);
  }
};

// A sync that fails is tried again by itself: while its alert waits, then at an interval doubling
// up to half a minute, and as soon as the disk has room; only a new reason is told again. The
// title says the catalogue is not saved until a sync succeeds, and the status line says when.
TEST_F(IdleSync, AFailedSyncIsTriedAgainUntilWrittenTellingEachReasonOnce) {
  SetManualPlatformClock(true);
  const std::string path = Path("f.qdb");
  FullDisk disk(path);
  OnFullDisk onDisk(bc, &disk);
  ASSERT_NO_FATAL_FAILURE(AddSixSynced(path));

  // Full: the alert waits ten seconds, tried again at 2 and 6 s meanwhile.
  disk.room = 4096;
  disk.fullFrom = disk.Calls() + 1;
  const int tried = disk.tries;
  Edit(b, 1, "Harbour");
  Choose("zzzz");
  CloseAfter(gAlertWindow, kIdleSyncDelay + 10);
  AdvancePlatformClock(kIdleSyncDelay);
  EXPECT_FALSE(IsWindowVisible(gAlertWindow));
  EXPECT_EQ(told, 1);
  EXPECT_EQ(disk.tries - tried, 3);
  EXPECT_EQ(Title(), "f (Not Saved)");
  std::vector<double> at;
  for (int i = 0; i < 1000 && at.size() < 4; i++) {
    const int n = disk.tries;
    AdvancePlatformClock(kRoomLook);
    if (disk.tries > n) at.push_back(GetCurrentEventTime());
  }
  ASSERT_EQ(at.size(), 4u);
  EXPECT_NEAR(at[1] - at[0], 16, kRoomLook);
  EXPECT_NEAR(at[2] - at[1], kRetryLongest, kRoomLook);
  EXPECT_NEAR(at[3] - at[2], kRetryLongest, kRoomLook);
  EXPECT_EQ(told, 1);
  EXPECT_EQ(TitledOnDisk(path, "Harbour"), 0);

  // Room made: written at the next look.
  disk.fullFrom = 0;
  disk.room = 1 << 30;
  AdvancePlatformClock(kRoomLook);
  EXPECT_FALSE(bc->Unsynced());
  EXPECT_EQ(TitledOnDisk(path, "Harbour"), 1);
  EXPECT_EQ(Title(), "f");
  EXPECT_EQ(Status(), "Saved catalog 'f'");

  // Full again, then another reason at the first try 2 s later, told; the next try writes it.
  Edit(b, 2, "Bay");
  Choose("zzzz");
  disk.fullFrom = disk.Calls() + 1;
  CloseAfter(gAlertWindow, kIdleSyncDelay + 0.1);
  AdvancePlatformClock(kIdleSyncDelay);
  EXPECT_EQ(told, 2);
  disk.fullFrom = 0;
  disk.failAt = disk.Calls() + 1;
  disk.failErrno = EIO;
  CloseAfter(gAlertWindow, kRetryFirst + 0.1);
  AdvancePlatformClock(kRetryFirst);
  EXPECT_EQ(told, 3);
  EXPECT_TRUE(bc->Unsynced());
  AdvancePlatformClock(2 * kRetryFirst);
  EXPECT_FALSE(bc->Unsynced());
  EXPECT_EQ(TitledOnDisk(path, "Bay"), 1);
  EXPECT_EQ(told, 3);
}

// A try that fails holds the window no longer than the sync that writes the same change: timed
// (the fastest of three) for an edit of 3,000 records written whole, and failing at the last
// write of its journal, the most a failing try can do.
TEST_F(IdleSync, AFailingTryHoldsTheWindowNoLongerThanASync) {
  SetManualPlatformClock(true);
  const std::string path = Path("t.qdb");
  FullDisk disk(path);
  OnFullDisk onDisk(bc, &disk);
  ASSERT_TRUE(mw->OpenCatalog(path.c_str()));
  static constexpr int kRecords = 3000;
  ShowFolder(kRecords);
  Choose("add ");
  AdvancePlatformClock(kIdleSyncDelay);
  auto editAll = [this](const char* title) {
    ASSERT_TRUE(b->NewChange("Title"));
    for (int i = 0; i < kRecords; i++) PDBsetString(b->ChangeRecord(i), PDBFtitle, title);
    EXPECT_EQ(b->CompleteChange(), kRecords);
    Choose("zzzz");
  };
  // Seconds the clock's move to the sync timer holds the loop.
  auto held = [] {
    const auto t0 = std::chrono::steady_clock::now();
    AdvancePlatformClock(PidleSyncDelay());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  };
  const std::string journal = path + "-journal.new";
  double sync = 1e9, fail = 1e9;
  long long writes = 0;  // to the journal in one sync
  for (const char* title : {"A", "B", "C"}) {
    editAll(title);
    const long long before = disk.WritesTo(journal);
    sync = std::min(sync, held());
    ASSERT_FALSE(bc->Unsynced());
    writes = disk.WritesTo(journal) - before;
  }
  ASSERT_GT(writes, 0);
  disk.fullFrom = disk.Calls() + 1;
  editAll("D");
  CloseAfter(gAlertWindow, kIdleSyncDelay + 0.1);
  AdvancePlatformClock(kIdleSyncDelay);
  disk.fullFrom = 0;
  disk.hookPath = journal;
  disk.hook = [&disk] { disk.failAt = disk.Calls() + 1; };
  for (int i = 0; i < 3; i++) {
    disk.hookAt = disk.WritesTo(journal) + writes;  // its journal's last write fails
    fail = std::min(fail, held());
    ASSERT_TRUE(bc->Unsynced());
  }
  printf("idle sync of %d records %.1f ms, a try that fails %.1f ms\n", kRecords, sync * 1e3,
         fail * 1e3);
  EXPECT_LE(fail, sync * 1.25 + 0.002);
  EXPECT_EQ(told, 1);
}

using StoppedReader = dbtest::StoppedCopy;

// A question waits while another process holds the catalogue (a reader stopped in the middle of
// its read): the sync due then is turned away at once and tried again, so the windows stay
// painted (a timer keeps running) and the question is answered meanwhile, its answer kept;
// nothing is written and nothing is told as failed. Once the reader lets go, a try in the next
// question writes the change.
TEST_F(IdleSync, InAQuestionASyncAnotherProcessHoldsBackIsTriedAgainWithTheWindowsPainted) {
  SetManualPlatformClock(true);
  const std::string path = Path("h.qdb");
  ASSERT_NO_FATAL_FAILURE(AddSixSynced(path));
  Edit(b, 1, "Harbour");
  Choose("zzzz");
  StoppedReader reader(path);
  ASSERT_TRUE(reader.holding);

  // What the user sees while the questions wait, looked at by a timer of the platform's loop.
  struct Seen {
    double longest = 0;     // seconds between two looks while the reader held the file
    int tries = 0;          // syncs tried while the reader held the file
    int heldOnDisk = -1;    // the titled records on disk then
    bool journal = false;   // a journal beside the file then
    bool notSaved = false;  // the title said the catalogue is not saved
    std::vector<std::string> alerts;
    bool late = false;  // a question that waited past the bound was cancelled
  } seen;
  const std::string name = Title();
  const std::string first = "Go on?", second = "Go on now?";
  std::chrono::steady_clock::time_point last{}, start = std::chrono::steady_clock::now();
  double armed = -1;
  QTimer look;
  look.setTimerType(Qt::PreciseTimer);
  QObject::connect(&look, &QTimer::timeout, [&] {
    const auto now = std::chrono::steady_clock::now();
    // The looks' own time left out.
    if (reader.holding && last != std::chrono::steady_clock::time_point{})
      seen.longest = std::max(seen.longest, std::chrono::duration<double>(now - last).count());
    auto click = [](WindowRef w, const char* sig, int id) {
      if (auto* button = qobject_cast<QAbstractButton*>(WidgetOf(w, sig, id)))
        QTest::mouseClick(button, Qt::LeftButton);
    };
    seen.notSaved = seen.notSaved || Title() != name;
    const double delay = PidleSyncDelay();
    const bool tried = armed >= 0 && delay > armed + 0.5;  // the timer fired and was armed again
    armed = delay;
    if (IsWindowVisible(gAlertWindow)) {
      seen.alerts.push_back(TextOf(gAlertWindow, "alrt", 128));
      click(gAlertWindow, "bttn", 1);
    } else if (IsWindowVisible(gConfirmWindow)) {
      if (now - start > std::chrono::seconds(60)) {
        seen.late = true;
        click(gConfirmWindow, "cfrm", 130);
      } else if (TextOf(gConfirmWindow, "cfrm", 128) == first) {
        // Answered once two syncs were tried while the reader held the file.
        if (tried && ++seen.tries == 2) {
          seen.heldOnDisk = TitledOnDisk(path, "Harbour");
          seen.journal = access((path + "-journal").c_str(), F_OK) == 0;
          click(gConfirmWindow, "cfrm", 131);
        }
      } else {
        // The next question: the reader lets go, and a try meanwhile writes the change.
        reader.LetGo();
        if (!bc->Unsynced()) click(gConfirmWindow, "cfrm", 129);
      }
    }
    last = std::chrono::steady_clock::now();
  });
  OSType answers[2] = {0, 0};
  AsCommand([&] {
    SetManualPlatformClock(false);  // the sync falls due a second after the edit, in real time
    look.start(10);
    answers[0] = confirmDialog(first.c_str(), "Later", kResponseOK);
    answers[1] = confirmDialog(second.c_str(), "Later", kResponseOK);
    look.stop();
  });
  printf("longest time between two looks while the reader held the file: %.3f s\n", seen.longest);
  EXPECT_FALSE(seen.late);
  EXPECT_EQ(answers[0], kResponseCustom);
  EXPECT_EQ(answers[1], kResponseOK);
  EXPECT_LT(seen.longest, 0.5);
  EXPECT_EQ(seen.heldOnDisk, 0);
  EXPECT_FALSE(seen.journal);
  EXPECT_FALSE(seen.notSaved);
  EXPECT_EQ(seen.alerts, std::vector<std::string>{});
  EXPECT_EQ(TitledOnDisk(path, "Harbour"), 1);
  EXPECT_FALSE(bc->Unsynced());
}

// A sync inside a command that shows no progress (as the catalogue makes by itself after enough
// steps) while another process holds the catalogue (a reader stopped in the middle of its read):
// the windows stay painted while it waits (a timer keeps running), the commands greyed, and once
// the reader lets go the change is written, nothing told as failed. A Quit chosen meanwhile is
// carried out once the loop dispatches again, after the command: not from inside the sync.
TEST_F(IdleSync, ASyncInACommandWaitingForAnotherProcessKeepsTheWindowsPainted) {
  SetManualPlatformClock(true);
  const std::string path = Path("c.qdb");
  ASSERT_NO_FATAL_FAILURE(AddSixSynced(path));
  StoppedReader reader(path);
  ASSERT_TRUE(reader.holding);
  double longest = 0;
  int looks = 0;
  bool greyed = false;
  std::vector<std::string> alerts;
  std::chrono::steady_clock::time_point last{};
  QTimer look;
  look.setTimerType(Qt::PreciseTimer);
  QObject::connect(&look, &QTimer::timeout, [&] {
    const auto now = std::chrono::steady_clock::now();
    if (reader.holding && last != std::chrono::steady_clock::time_point{})
      longest = std::max(longest, std::chrono::duration<double>(now - last).count());
    if (IsWindowVisible(gAlertWindow)) {
      alerts.push_back(TextOf(gAlertWindow, "alrt", 128));
      if (auto* ok = qobject_cast<QAbstractButton*>(WidgetOf(gAlertWindow, "bttn", 1)))
        QTest::mouseClick(ok, Qt::LeftButton);
    }
    // Looked at a while as it waits, Quit chosen, then the reader goes on and ends.
    if (reader.holding && ++looks == 30) {
      greyed = PisBusy();
      Choose("quit");
      reader.LetGo();
    }
    last = std::chrono::steady_clock::now();
  });
  bool synced = false, quitInSync = true;
  AsCommand([&] {
    SetManualPlatformClock(false);
    Edit(b, 1, "Harbour");
    look.start(10);
    synced = bc->SyncDB();
    quitInSync = PquitRequested();
    look.stop();
  });
  checkEvents(0);
  const bool quit = PquitRequested();
  PclearQuit();
  printf("longest time between two looks while the reader held the file: %.3f s\n", longest);
  EXPECT_GE(looks, 30);
  EXPECT_LT(longest, 0.5);
  EXPECT_TRUE(greyed);
  EXPECT_TRUE(synced);
  EXPECT_FALSE(quitInSync);
  EXPECT_TRUE(quit);
  EXPECT_EQ(alerts, std::vector<std::string>{});
  EXPECT_EQ(TitledOnDisk(path, "Harbour"), 1);
}

// Runs inside() in a question (a confirm dialog a command waits on), once it shows, and answers
// it then; the texts of the alerts shown meanwhile. The platform's clock stays where the test
// keeps it: no sync falls due meanwhile.
std::vector<std::string> InAQuestion(const std::function<void()>& inside) {
  static std::function<void()> run;
  static std::vector<std::string> alerts;
  run = inside;
  alerts.clear();
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [] {
    auto click = [](WindowRef w, const char* sig, int id) {
      if (auto* button = qobject_cast<QAbstractButton*>(WidgetOf(w, sig, id)))
        QTest::mouseClick(button, Qt::LeftButton);
    };
    if (IsWindowVisible(gAlertWindow)) {
      alerts.push_back(TextOf(gAlertWindow, "alrt", 128));
      click(gAlertWindow, "bttn", 1);
    } else if (IsWindowVisible(gConfirmWindow) && run) {
      const std::function<void()> once = std::move(run);
      run = nullptr;
      once();
      click(gConfirmWindow, "cfrm", 129);
    }
  });
  AsCommand([&look] {
    look.start(10);
    confirmDialog("Go on?", nullptr, kResponseOK);
    look.stop();
  });
  return alerts;
}

double SecondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// In a question nothing may run that could answer it, so nothing keeps the windows painted
// there: a wait for another process's lock that comes then is turned away within a twentieth of
// a second, instead of the ten seconds a write waits or the five a read does. Here the memory
// budget makes the catalogue's changed block be written back to free memory while another copy
// reads the file (stopped in the middle of its read). The block stays in memory, changed, the
// file and the title as they were, nothing told; once the question is over and the other copy
// let go, the sync writes it.
TEST_F(IdleSync, InAQuestionAWriteBackAnotherProcessHoldsBackIsTurnedAwayLosingNothing) {
  SetManualPlatformClock(true);
  const std::string path = Path("w.qdb");
  ASSERT_NO_FATAL_FAILURE(AddSixSynced(path));
  const std::string name = Title();
  Edit(b, 1, "Harbour");
  DBRecord r;
  ASSERT_EQ(bc->pdb.GetRecords(&r, 1, 0), 1);  // the edit reaches the block, which is changed
  ASSERT_TRUE(bc->pdb.DBAccess::Unsynced());
  StoppedReader reader(path);
  ASSERT_TRUE(reader.holding);
  double took = -1;
  bool changed = false, journal = true;
  int onDisk = -1;
  const std::vector<std::string> alerts = InAQuestion([&] {
    BudgetGuard tiny(1);
    CacheObject::tab.Resurvey();
    const auto t0 = std::chrono::steady_clock::now();
    CacheMakeRoom(DB_BLOCKSIZE);
    took = SecondsSince(t0);
    changed = bc->pdb.DBAccess::Unsynced();
    journal = access((path + "-journal").c_str(), F_OK) == 0;
    onDisk = TitledOnDisk(path, "Harbour");
  });
  reader.LetGo();
  // The turned-away try made a journal and took it back: the sync that writes the block syncs
  // the disk as often, so the disk's own time is taken out by it.
  const auto t1 = std::chrono::steady_clock::now();
  EXPECT_TRUE(bc->SyncDB());
  const double disk = SecondsSince(t1);
  printf("the write-back in the question took %.3f s, the sync after it %.3f s\n", took, disk);
  EXPECT_GE(took, 0);
  EXPECT_LT(took, 0.5 + disk);
  EXPECT_TRUE(changed);
  EXPECT_FALSE(journal);
  EXPECT_EQ(onDisk, 0);
  EXPECT_EQ(alerts, std::vector<std::string>{});
  EXPECT_EQ(Title(), name);
  EXPECT_EQ(TitledOnDisk(path, "Harbour"), 1);
}

// The same for a copy that has the catalogue open read-only while another copy writes it,
// stopped between its locks and its journal: a block read in a question is turned away within a
// twentieth of a second, the block not taken for damaged and nothing told, and read whole once
// the question is over and the writer went on.
TEST_F(IdleSync, InAQuestionAReadAnotherProcessHoldsBackIsTurnedAwayFindingNoDamage) {
  SetManualPlatformClock(true);
  const std::string path = Path("r.qdb");
  ASSERT_NO_FATAL_FAILURE(AddSixSynced(path));
  mw->CloseCatalog();
  ASSERT_TRUE(bc->OpenDB(path.c_str(), true));
  ASSERT_TRUE(bc->ReadOnly());
  {
    // No block is left in memory: the next look reads one.
    BudgetGuard tiny(1);
    CacheObject::tab.Resurvey();
    CacheMakeRoom(DB_BLOCKSIZE);
  }
  dbtest::StoppedCopy writer(path, dbtest::StoppedCopy::writer);
  ASSERT_TRUE(writer.holding);
  double took = -1;
  int got = -1, damaged = -1;
  const std::vector<std::string> alerts = InAQuestion([&] {
    DBRecord r;
    const auto t0 = std::chrono::steady_clock::now();
    got = bc->pdb.GetRecords(&r, 1, 0);
    took = SecondsSince(t0);
    damaged = bc->pdb.DamagedBlocks();
  });
  printf("the read in the question took %.3f s\n", took);
  EXPECT_GE(took, 0);
  EXPECT_LT(took, 0.5);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(damaged, 0);
  EXPECT_EQ(alerts, std::vector<std::string>{});
  writer.LetGo();
  std::vector<DBRecord> all(6);
  EXPECT_EQ(bc->pdb.GetRecords(all.data(), 6, 0), 6);
  EXPECT_EQ(bc->pdb.DamagedBlocks(), 0);
  bc->CloseDB();
}

// The shadow catalogue's sync failed (its disk refused the write) and is tried again by itself.
// The next try comes in a question while another process reads the shadow catalogue, stopped in
// the middle of its read: turned away, it has written nothing, and the status line does not say
// that what could not be saved is on disk. It says so once a try has written it.
TEST_F(IdleSync, ATryTurnedAwayAfterAFailureIsNotToldAsSaved) {
  SetManualPlatformClock(true);
  const std::string path = Path("s.qdb"), shadow = Path("shadow.qdb");
  // The shadow catalogue on a disk that can refuse its writes, the catalogue on the system's.
  dbtest::FaultFS disk(1, shadow);
  bc->fileSystem = &disk;
  struct Ending {
    PContext* bc;
    ~Ending() {
      bc->ShadowDB(nullptr);
      bc->fileSystem = nullptr;
    }
  } ending{bc};
  ASSERT_TRUE(bc->ShadowDB(shadow.c_str()));
  bc->fileSystem = nullptr;
  ASSERT_TRUE(mw->OpenCatalog(path.c_str()));
  ShowFolder(6);
  // Titles of pictures not in the catalogue go to the shadow catalogue.
  auto title = [this](int i, const char* t) {
    ASSERT_TRUE(b->NewChange("Title"));
    PDBsetString(b->ChangeRecord(i), PDBFtitle, t);
    b->CompleteChange();
    Choose("zzzz");
  };
  title(0, "Quay");
  AdvancePlatformClock(kIdleSyncDelay);
  ASSERT_EQ(TitledOnDisk(shadow, "Quay"), 1);
  disk.refuseWrite = true;
  title(1, "Harbour");
  CloseAfter(gAlertWindow, kIdleSyncDelay + 0.1);
  AdvancePlatformClock(kIdleSyncDelay);
  ASSERT_TRUE(bc->ShadowUnsynced());
  const std::string failed = Status();
  disk.refuseWrite = false;
  StoppedReader reader(shadow);
  ASSERT_TRUE(reader.holding);
  bool tried = false;
  const std::vector<std::string> alerts = InAQuestion([&] {
    AdvancePlatformClock(kRetryFirst);
    tried = bc->TurnedAway();
  });
  EXPECT_TRUE(tried);
  EXPECT_EQ(alerts, std::vector<std::string>{});
  EXPECT_TRUE(bc->ShadowUnsynced());
  EXPECT_EQ(Status(), failed);
  EXPECT_EQ(TitledOnDisk(shadow, "Harbour"), 0);
  reader.LetGo();
  AdvancePlatformClock(kRetryLongest);
  EXPECT_FALSE(bc->ShadowUnsynced());
  EXPECT_EQ(TitledOnDisk(shadow, "Harbour"), 1);
  EXPECT_EQ(Status(), "Saved catalog 's'");
}

// With no catalogue open, the log names the shadow catalogue whose sync failed, by its file, as
// the one to be saved by itself.
TEST_F(IdleSync, TheLogNamesTheShadowCatalogWhoseSyncFailed) {
  SetManualPlatformClock(true);
  const std::string shadow = Path("shadow.qdb");
  dbtest::FaultFS disk(1, shadow);
  bc->fileSystem = &disk;
  const std::string setting = gShadowCatalog;
  struct Ending {
    PContext* bc;
    const std::string& setting;
    ~Ending() {
      bc->ShadowDB(nullptr);
      bc->fileSystem = nullptr;
      snprintf(gShadowCatalog, sizeof gShadowCatalog, "%s", setting.c_str());
    }
  } ending{bc, setting};
  snprintf(gShadowCatalog, sizeof gShadowCatalog, "%s", shadow.c_str());
  ASSERT_TRUE(bc->ShadowDB(shadow.c_str()));
  ShowFolder(2);
  MessageLog log;
  disk.refuseWrite = true;
  ASSERT_TRUE(b->NewChange("Title"));
  PDBsetString(b->ChangeRecord(0), PDBFtitle, "Harbour");
  b->CompleteChange();  // the shadow catalogue's, no catalogue record
  Choose("zzzz");
  CloseAfter(gAlertWindow, kIdleSyncDelay + 0.1);
  AdvancePlatformClock(kIdleSyncDelay);
  ASSERT_TRUE(bc->ShadowUnsynced());
  EXPECT_TRUE(log.Has(DMCinfo, "The shadow catalog '" + shadow +
                                   "' will be saved by itself once it can be written"))
      << log.All();
  disk.refuseWrite = false;
  AdvancePlatformClock(kRetryFirst);
  EXPECT_EQ(TitledOnDisk(shadow, "Harbour"), 1);
}

// An end that cannot wait (the display gone) while a command is part way through its edits
// takes them back: the file gets the whole steps before the command, nothing of it.
TEST_F(IdleSync, AnEndThatCannotWaitWritesOnlyWholeSteps) {
  SetManualPlatformClock(true);
  const std::string path = Path("w.qdb");
  ASSERT_TRUE(mw->OpenCatalog(path.c_str()));
  ShowFolder(6);
  Choose("add ");
  AdvancePlatformClock(kIdleSyncDelay);
  Edit(b, 1, "Harbour");  // whole, not yet written
  AsCommand([this] {
    ABitMap some(6, false);
    for (int i : {2, 3}) {
      some.Set(static_cast<uint32_t>(i));
      PDBsetString(&bc->rdisp[i], PDBFtitle, "Bay");
    }
    ASSERT_EQ(bc->RecordChange("Title", &some, nullptr), 2);
    EXPECT_GT(bc->pdb.GetNUnsynced() + bc->pdb.Pending()->radd.GetSize(), 0);
    EXPECT_TRUE(PtakeBackPartWay(bc));
    EXPECT_TRUE(bc->SyncDB());
  });
  EXPECT_EQ(TitledOnDisk(path, "Harbour"), 1);
  EXPECT_EQ(TitledOnDisk(path, "Bay"), 0);
  SetManualPlatformClock(false);
}

}  // namespace
