// While long work holds the records, every command that would pull them from under it is greyed
// in the menus whichever window is in front, and one that comes anyway (a late click) does
// nothing: no record, catalogue, image or window changes and no question is asked.
#include <QClipboard>
#include <QDialog>
#include <QGuiApplication>
#include <QMenu>
#include <sstream>

#include "app/core/pdialogs.h"
#include "app/core/pfolder.h"
#include "app/image/pforms.h"
#include "app/info/pinfo.h"
#include "app/mainwin/pforms.h"
#include "app/mainwin/pmainw.h"
#include "app/records/pforms.h"
#include "app/records/precfile.h"
#include "image/imagetest.h"

namespace {

class BusyWalk : public ::testing::Test {
 protected:
  TempHome home;
  AppInterface app;
  PMainWindow* mw = nullptr;
  PImageWindow* iw = nullptr;
  int asked = 0;  // dialogs that showed (each answered Cancel)
  QTimer answer;

  void SetUp() override {
    ASSERT_EQ(app.status, 0);
    PloadStandardReaders();
    PprefLink();
    for (unsigned c = DMCmemory; c < DMCnerr; ++c) dmessage_class_flags[c] &= ~DMAstderr;
    QObject::connect(&answer, &QTimer::timeout, [this] {
      for (WindowRef w : {gInputWindow, gConfirmWindow, gPositionWindow, gSaveWindow, gShowWindow,
                          gDateWindow, gFieldWindow, gAlertWindow})
        if (w != nullptr && IsWindowVisible(w)) {
          ++asked;
          SendCommand(w == gAlertWindow ? "ok  " : "not!", kEventCommandProcess,
                      GetWindowEventTarget(w));
        }
      if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        ++asked;
        d->reject();
      }
    });
    answer.start(2);
    mw = static_cast<PMainWindow*>(gMain);
    iw = static_cast<PImageWindow*>(gImager);
    const std::string folder = home.path() + "/pictures";
    QDir().mkpath(QString::fromStdString(folder));
    QDir().mkpath(QString::fromStdString(home.path() + "/catalog"));
    for (int i = 0; i < 3; ++i)
      WriteTestTiff(folder + "/p" + std::to_string(i) + ".tif", 64 + 16 * i, 48);
    mw->Show(1);
    ASSERT_TRUE(mw->OpenCatalog((home.path() + "/catalog/busy.qdb").c_str()));
    ASSERT_EQ(loadFolder(folder.c_str(), false, nullptr), 3);
    for (int i = 0; i < 3; ++i) PDBsetString(&mw->bc.rdisp[i], PDBFsubject, "Busy");
    ASSERT_EQ(mw->AddRecords(), 3);
    // A table of records on the clipboard: Paste has something to take.
    std::ostringstream table;
    mw->bc.rdisp.Write(&table, '\t');
    QGuiApplication::clipboard()->setText(QString::fromStdString(table.str()));
    Select(2);
  }
  void TearDown() override {
    dmessage_last_class = DMCnerr;
    iw->CloseImages(false);
    mw->CloseCatalog();
  }

  void Select(int n) {
    mw->bc.SelectNone();
    for (int i = 0; i < n; ++i) mw->bc.Select(i);
    mw->GetPBrowser()->Redisplay();
  }

  static void Front(WindowRef w) {
    SelectWindow(w);
    EXPECT_TRUE(QTest::qWaitFor(
        [w] { return QApplication::activeWindow() == PlatformFrameWidget(w); }, 30000))
        << "the window did not come in front";
  }

  // Everything a command of the busy guard could change.
  std::string Look() const {
    std::ostringstream s;
    mw->bc.rdisp.Write(&s, '\t');
    for (int i = 0; i < mw->bc.rdisp.GetSize(); ++i) s << mw->bc.IsSelected(i);
    s << "\n"
      << mw->bc.rsrc << " " << mw->bc.dbname << " " << mw->bc.pdb.TotalRecords() << " "
      << (mw->bc.pdb.UndoName() ? mw->bc.pdb.UndoName() : "-") << "\n";
    s << iw->ImageCount() << " " << iw->ImageIndex(nullptr) << "\n";
    if (iw->Ready()) iw->iring->GetRec().Write(&s, '\t');
    for (WindowRef w : {mw->GetWindow(), iw->GetWindow(), gInfo->GetWindow(), gFind->GetWindow(),
                        gProgressWindow})
      s << IsWindowVisible(w);
    s << " asked " << asked;
    return s.str();
  }

  QMenuBar* Bar() const { return PlatformFrameWidget(mw->GetWindow())->findChild<QMenuBar*>(); }

  // Brings every menu up to date as opening it does, submenus too; the items carrying a code.
  static void Walk(QMenu* m, std::vector<QAction*>* out) {
    QMetaObject::invokeMethod(m, "aboutToShow");
    for (QAction* a : m->actions()) {
      if (a->menu() != nullptr)
        Walk(a->menu(), out);
      else if (a->property("command").toString().size() == 4 && a->isVisible())
        out->push_back(a);
    }
  }
  std::vector<QAction*> Items() const {
    std::vector<QAction*> items;
    for (QAction* top : Bar()->actions())
      if (top->menu() != nullptr) Walk(top->menu(), &items);
    return items;
  }
  static UInt32 Code(const QAction* a) {
    const std::string c = a->property("command").toString().toStdString();
    return FourCC({c[0], c[1], c[2], c[3], 0});
  }
};

TEST_F(BusyWalk, GuardedCommandsAreGreyedAndRefusedInEveryWindow) {
  const char* const kFronts[] = {"main", "image", "info", "find"};
  for (int front = 0; front < 4; ++front) {
    SCOPED_TRACE(kFronts[front]);
    Select(2);
    if (front == 1) {
      openImages(nullptr, nullptr);
      Front(iw->GetWindow());
    } else if (front == 2) {
      gInfo->ShowInfo(mw->GetBrowser(), 0, true);
      Front(gInfo->GetWindow());
    } else if (front == 3) {
      ASSERT_TRUE(gFind->Find(mw));
      Front(gFind->GetWindow());
    } else {
      Front(mw->GetWindow());
    }
    // At rest, some guarded items of the window in front are live (the walk below means
    // something), and none of them after the work has started.
    int liveAtRest = 0;
    for (QAction* a : Items()) liveAtRest += a->isEnabled() && PrefusedWhileBusy(Code(a));
    EXPECT_GT(liveAtRest, 0);
    {
      PBusyGuard work;
      for (QAction* a : Items()) {
        if (PrefusedWhileBusy(Code(a))) {
          EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
        }
      }
      for (const PcommandEntry& e : kCommandTable) {
        if (!PrefusedWhileBusy(e.code) || e.code == kCmdClose) continue;
        const std::string before = Look();
        const HICommand cmd{0, e.code, nullptr, 0};
        ProcessHICommand(&cmd);
        QTest::qWait(1);
        EXPECT_EQ(Look(), before) << std::string(reinterpret_cast<const char*>(&e.code), 4);
      }
      // Closing the window in front is refused as well.
      const HICommand close{0, kCmdClose, nullptr, 0};
      ProcessHICommand(&close);
      EXPECT_TRUE(IsWindowVisible(kFronts[front][0] == 'm' ? mw->GetWindow()
                                  : kFronts[front][0] == 'i'
                                      ? (front == 1 ? iw->GetWindow() : gInfo->GetWindow())
                                      : gFind->GetWindow()));
    }
    EXPECT_EQ(asked, 0);
    if (front == 1) {
      // The work over, the image window's Rotate works again.
      const std::string before = Look();
      const HICommand cw{0, kCmdRotateRight, nullptr, 0};
      ProcessHICommand(&cw);
      EXPECT_NE(Look(), before);
      iw->CloseImages(false);
      iw->Show(0);
    }
    if (front == 2) gInfo->Close();
    if (front == 3) gFind->Show(0);
  }
}

// While a bulk Set Keyword from the main window stores its records (and pumps events), the
// image window in front takes none of its record commands: the picture is not turned, and no
// question is asked in the middle of the change.
TEST_F(BusyWalk, TheImageWindowWaitsForABulkSetting) {
  Select(3);
  openImages(nullptr, nullptr);
  Front(iw->GetWindow());
  ASSERT_TRUE(iw->Ready());
  std::ostringstream shown;
  iw->iring->GetRec().Write(&shown, '\t');
  std::vector<std::string> records;
  for (int i = 0; i < 3; ++i) {
    std::ostringstream r;
    mw->bc.rdisp[i].Write(&r, '\t');
    records.push_back(r.str());
  }
  SetManualPlatformClock(true);
  PsetWorkPace(0, 0);
  int tries = 0;
  bool sending = false;
  QTimer late, refuse;
  // A question of a command that should have waited gets Cancel.
  QObject::connect(&refuse, &QTimer::timeout, [&] {
    if (!sending) return;
    for (WindowRef w : {gInputWindow, gConfirmWindow, gShowWindow})
      if (IsWindowVisible(w)) {
        ++asked;
        SendCommand("not!", kEventCommandProcess, GetWindowEventTarget(w));
      }
  });
  refuse.start(2);
  QObject::connect(&late, &QTimer::timeout, [&] {
    if (!PisBusy()) return;
    AdvancePlatformClock(0.1);
    if (!IsWindowVisible(gProgressWindow)) return;
    ++tries;
    sending = true;
    for (const char* c : {"cw90", "subj", "keyw", "relo", "show"})
      SendCommand(c, kEventCommandProcess, GetWindowEventTarget(iw->GetWindow()));
    sending = false;
  });
  late.start(0);
  answer.stop();  // the question of the setting is answered here
  Select(3);
  WhenShown(
      gInputWindow, [] { PutControlText(ControlOf(gInputWindow, "inpt", 129), "pier"); }, "bttn",
      1);
  SendCommand("keyw", kEventCommandProcess, GetWindowEventTarget(mw->GetWindow()));
  late.stop();
  PsetWorkPace(kWorkPumpEvery, kWorkProgressAfter);
  SetManualPlatformClock(false);
  EXPECT_GT(tries, 0);
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(PDBgetField(mw->bc.rdisp[i], PDBFkeyword).Match("pier")) << i;
  // The records took the keyword and nothing else; the picture was not turned.
  for (int i = 0; i < 3; ++i) {
    DBRecord now;
    now = mw->bc.rdisp[i];
    now.ClearField(PDBFkeyword);
    std::ostringstream after;
    now.Write(&after, '\t');
    EXPECT_EQ(after.str(), records[i]) << i;
  }
  std::ostringstream ring;
  iw->iring->GetRec().Write(&ring, '\t');
  EXPECT_EQ(ring.str(), shown.str());
  EXPECT_EQ(asked, 0);
  EXPECT_STREQ(mw->bc.pdb.UndoName(), "Set");
}

}  // namespace
