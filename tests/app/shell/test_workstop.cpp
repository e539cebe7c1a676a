// Work over the records (a folder load, an export, a print, a merge) ends only by its own end, by
// its Stop or by a quit. While it runs, a double click on a subject, Delete, Clear, Browse Folder
// and Print are refused, and the Preferences dialog opens and its Escape closes only it. What the
// work reports then is true: the whole folder, every picture, every page; or, stopped, that it
// stopped.
#include <QDir>
#include <QLineEdit>
#include <QPrintDialog>
#include <csignal>
#include <fstream>

#include "app/core/papp.h"
#include "app/core/pdialogs.h"
#include "app/core/pfolder.h"
#include "app/core/pprefs.h"
#include "app/core/pseam.h"
#include "app/export/pforms.h"
#include "app/export/ptrader.h"
#include "app/hdrpano/makehdr.h"
#include "app/mainwin/pmainw.h"
#include "app/mainwin/pselectlist.h"
#include "app/prefs/pforms.h"
#include "app/print/pforms.h"
#include "app/print/pprint.h"
#include "hdr/phdrimg.h"
#include "image/imagetest.h"
#include "platform/plist.h"
#include "testutil/message_log.h"

namespace {

constexpr int kPictures = 24;

class WorkStop : public ::testing::Test {
 protected:
  TempHome home;
  AppInterface app;
  PMainWindow* mw = nullptr;
  std::string folder, out;
  int prefs = 0, asked = 0;  // Preferences shown; other questions (each cancelled)
  bool prefUp = false;
  QTimer answer;

  void SetUp() override {
    ASSERT_EQ(app.status, 0);
    PloadStandardReaders();
    for (unsigned c = DMCmemory; c < DMCnerr; ++c) dmessage_class_flags[c] &= ~DMAstderr;
    dmessage_alert = nullptr;
    mw = static_cast<PMainWindow*>(gMain);
    folder = home.path() + "/pictures";
    out = home.path() + "/out";
    QDir().mkpath(QString::fromStdString(folder));
    for (int i = 0; i < kPictures; ++i)
      WriteTestTiff(folder + "/p" + std::to_string(i) + ".tif", 32, 24);
    mw->Show(1);
    SizeWindow(mw->GetWindow(), 1100, 700, true);
    ASSERT_TRUE(mw->OpenCatalog((home.path() + "/work.qdb").c_str()));
    dmessage_last_class = DMCnerr;  // seen: the status line does not blink it
    ASSERT_EQ(loadFolder(folder.c_str(), false, nullptr), kPictures);
    for (int i = 0; i < kPictures; ++i) PDBsetString(&mw->bc.rdisp[i], PDBFsubject, "Harbour");
    mw->bc.SelectAll();
    ASSERT_EQ(mw->AddRecords(), kPictures);
    mw->bc.SelectAll();
    ASSERT_TRUE(checkPrintSession(nullptr));
    PprintSession()->SetOutputFile(home.path() + "/out.pdf");
    // The work's own dialogs are answered; Preferences is left with Escape.
    QObject::connect(&answer, &QTimer::timeout, [this] {
      for (WindowRef w : {gImgExpWindow, gPrintWindow})
        if (IsWindowVisible(w)) SendCommand("ok  ", kEventCommandProcess, GetWindowEventTarget(w));
      if (auto* d = qobject_cast<QPrintDialog*>(PlatformPrintDialog()); d && d->isVisible())
        d->done(QDialog::Accepted);
      if (PFileDialog* d = PlatformFileDialog(); d != nullptr && d->isVisible()) {
        d->SetDirectory(out);
        if (auto* e = d->findChild<QLineEdit*>("fileNameEdit")) e->clear();
        QMetaObject::invokeMethod(d, "accept", Qt::DirectConnection);
      }
      if (IsWindowVisible(gPrefWindow)) {
        prefs += !prefUp;
        QWidget* frame = PlatformFrameWidget(gPrefWindow);
        QTest::keyClick(frame->focusWidget() ? frame->focusWidget() : frame, Qt::Key_Escape);
      }
      prefUp = IsWindowVisible(gPrefWindow);
      for (WindowRef w : {gConfirmWindow, gInputWindow, gAlertWindow})
        if (IsWindowVisible(w)) {
          ++asked;
          SendCommand(w == gAlertWindow ? "ok  " : "not!", kEventCommandProcess,
                      GetWindowEventTarget(w));
        }
    });
    answer.start(2);
  }
  void TearDown() override {
    closePrintSession();
    mw->CloseCatalog();
  }

  std::string Status() const { return StatusLine(); }
  static int Files(const std::string& dir) {
    return static_cast<int>(QDir(QString::fromStdString(dir)).entryList(QDir::Files).size());
  }
  // The pages of the PDF written (each page object names its type).
  int Pages() const {
    std::ifstream in(home.path() + "/out.pdf", std::ios::binary);
    const std::string pdf((std::istreambuf_iterator<char>(in)), {});
    int n = 0;
    for (size_t at = pdf.find("/Type /Page"); at != std::string::npos;
         at = pdf.find("/Type /Page", at + 1))
      n += pdf.compare(at, 12, "/Type /Pages") != 0;
    return n;
  }
  // A double click on the first subject of the selector, as a person gives it.
  void DoubleClickSubject() {
    mw->GetSelector()->Select(3);
    auto* l = static_cast<PSelectListDrawer*>(mw->GetSelectDrawer(3));
    ASSERT_NE(l->GetList(), nullptr);
    Rect view;
    GetListViewBounds(l->GetList(), &view);
    const QPoint p(view.left + 40, view.top + 8);
    QWidget* w = PlatformContentWidget(mw->GetWindow());
    QTest::mouseClick(w, Qt::LeftButton, {}, p);
    QTest::mouseClick(w, Qt::LeftButton, {}, p);
  }

  // Runs work; at its first progress the meddling comes (and Stop is clicked with stop): what
  // was seen then.
  struct Seen {
    bool met = false;     // the work showed its progress
    bool greyed = false;  // Edit, Print, Browse Folder, Export Images, Make HDR greyed
    bool kept = false;    // the display stayed as it was
    int prefs = 0;        // Preferences showed and went
  };
  // How the work is ended at its first progress: not at all, by its Stop, by the Quit command
  // (Ctrl+Q) or by a quit signal.
  enum class End { none, stop, quit, signal };
  Seen Run(const std::function<void()>& work, End end) {
    Seen seen;
    prefs = asked = 0;
    dmessage_last_class = DMCnerr;
    SetManualPlatformClock(true);
    QTimer meddle;
    QObject::connect(&meddle, &QTimer::timeout, [&] {
      if (!PisBusy()) return;
      AdvancePlatformClock(0.25);  // a load shows its progress after a second
      if (seen.met || !IsWindowVisible(gProgressWindow)) return;
      seen.met = true;
      const std::string source = mw->bc.rsrc;
      const int shown = mw->bc.rdisp.GetSize();
      DoubleClickSubject();
      seen.greyed = true;
      for (const char* c : {"dele", "clea", "dir ", "prnt", "eimg", "mhdr"}) {
        SendCommand(c, kEventCommandUpdateStatus, GetWindowEventTarget(mw->GetWindow()));
        seen.greyed = seen.greyed && !MenuEnabled(c);
        SendCommand(c, kEventCommandProcess, GetWindowEventTarget(mw->GetWindow()));
      }
      SendCommand("pref");
      seen.prefs = prefs;
      seen.kept = source == mw->bc.rsrc && shown == mw->bc.rdisp.GetSize();
      if (end == End::stop)
        QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gProgressWindow, "bttn", 3)),
                          Qt::LeftButton);
      else if (end == End::quit)
        SendCommand("quit", kEventCommandProcess, GetWindowEventTarget(mw->GetWindow()));
      else if (end == End::signal)
        PquitOnSignal(SIGTERM);
    });
    meddle.start(0);
    work();
    meddle.stop();
    SetManualPlatformClock(false);
    return seen;
  }
};

TEST_F(WorkStop, WorkEndsOnlyByItsOwnEndOrItsStop) {
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "stopped" : "to its end");
    auto sound = [](const Seen& s) {
      EXPECT_TRUE(s.met);
      EXPECT_TRUE(s.greyed);
      EXPECT_TRUE(s.kept);
      EXPECT_EQ(s.prefs, 1);
    };
    const End end = stop ? End::stop : End::none;
    sound(Run([&] { loadFolder(folder.c_str(), false, nullptr); }, end));
    EXPECT_STREQ(mw->bc.rsrc, folder.c_str());
    const int n = mw->bc.rdisp.GetSize();
    if (stop) {
      EXPECT_LT(n, kPictures);
      EXPECT_EQ(Status(), "Stopped: " + std::to_string(n) + " files loaded");
    } else {
      EXPECT_EQ(n, kPictures);
      EXPECT_EQ(Status(), "24/24 files (24 in DB)");
    }

    mw->bc.SelectAll();
    QDir(QString::fromStdString(out)).removeRecursively();
    QDir().mkpath(QString::fromStdString(out));
    sound(Run([] { exportImages(); }, end));
    EXPECT_EQ(mw->bc.rdisp.GetSize(), n);
    if (stop) {
      EXPECT_LT(Files(out), n);
      EXPECT_EQ(Status(), "Stopped: exported " + std::to_string(Files(out)) + " of " +
                              std::to_string(n) + " records");
    } else {
      EXPECT_EQ(Files(out), kPictures);
      EXPECT_EQ(Status(), "Exported 24 records");
    }

    remove((home.path() + "/out.pdf").c_str());
    sound(Run([] { printImages(); }, end));
    EXPECT_EQ(mw->bc.rdisp.GetSize(), n);
    if (stop) {
      EXPECT_EQ(Status(), "Printing cancelled");
      EXPECT_EQ(Pages(), 0);
    } else {
      EXPECT_EQ(Status(), "Spooled 24 records");
      EXPECT_EQ(Pages(), kPictures);
    }
    EXPECT_EQ(asked, 0);
  }
}

// A load, an export, a print and a merge are stopped alike by their Stop, the Quit command and a
// quit signal, and each tells it (with its count), on the status line and in the log.
TEST_F(WorkStop, StopQuitAndSignalEndWorkAlikeAndSaySo) {
  MessageLog log;
  gCamResponse.Init(&CDBFInfo, 0);
  PgenericResponse(&gCamResponse.NewRecord());
  const std::string temps = home.path() + "/cache/lumerin/tmp";
  for (End end : {End::stop, End::quit, End::signal}) {
    SCOPED_TRACE(end == End::stop ? "Stop" : end == End::quit ? "Quit" : "SIGTERM");
    log.Clear();
    EXPECT_TRUE(Run([&] { loadFolder(folder.c_str(), false, nullptr); }, end).met);
    PclearQuit();
    const int n = mw->bc.rdisp.GetSize();
    EXPECT_LT(n, kPictures);
    const std::string loaded = std::to_string(n) + " files loaded";
    EXPECT_EQ(Status(), "Stopped: " + loaded);
    EXPECT_TRUE(log.Has(DMCinfo, "Stopped loading folder '" + folder + "': " + loaded))
        << log.All();
    EXPECT_FALSE(
        log.Has(DMCinfo, "Loaded folder '" + folder + "' (" + std::to_string(n) + " images)"));
    ASSERT_EQ(loadFolder(folder.c_str(), false, nullptr), kPictures);

    mw->bc.SelectAll();
    QDir(QString::fromStdString(out)).removeRecursively();
    QDir().mkpath(QString::fromStdString(out));
    EXPECT_TRUE(Run([] { exportImages(); }, end).met);
    PclearQuit();
    EXPECT_LT(Files(out), kPictures);
    EXPECT_EQ(Status(), "Stopped: exported " + std::to_string(Files(out)) + " of " +
                            std::to_string(kPictures) + " records");

    // A print drops its document whole, and says what ended it.
    remove((home.path() + "/out.pdf").c_str());
    EXPECT_TRUE(Run([] { printImages(); }, end).met);
    PclearQuit();
    EXPECT_EQ(Pages(), 0);
    if (end == End::stop) {
      EXPECT_EQ(Status(), "Printing cancelled");
      EXPECT_TRUE(log.Has(DMCinfo, "Print job cancelled by user")) << log.All();
    } else {
      EXPECT_EQ(Status(), "Printing stopped by the quit");
      EXPECT_TRUE(log.Has(DMCinfo, "Print job stopped by the quit: nothing printed")) << log.All();
      EXPECT_FALSE(log.Has(DMCinfo, "Print job cancelled by user"));
    }

    // Three exposures merged with the generic response.
    mw->bc.SelectNone();
    for (int i = 0; i < 3; ++i) {
      PDBsetFloat(&mw->bc.rdisp[i], PDBFstonits, 100.0f * (1 << i));
      mw->bc.Select(i, true);
    }
    int made = -1;
    EXPECT_TRUE(Run(
                    [&] {
                      PBusyGuard busy;
                      DBRecord rec;
                      made = PmergeTempHDR(&rec, kHDRuseResponse, 0);
                    },
                    end)
                    .met);
    PclearQuit();
    EXPECT_EQ(made, 0);
    EXPECT_FALSE(IsWindowVisible(gProgressWindow));
    EXPECT_EQ(Status(), "Stopped: no HDR image made of 3 exposures");
    EXPECT_TRUE(log.Has(DMCinfo, "Stopped: no HDR image made of 3 exposures")) << log.All();
    EXPECT_EQ(Files(temps), 0);
  }
}

}  // namespace
