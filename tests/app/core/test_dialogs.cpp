// Modal dialogs on real widgets: the platform clock, the dialogs' own buttons, the alert
// throttle.
#include <QExposeEvent>
#include <QLabel>
#include <QProgressBar>
#include <QTextLayout>
#include <QWindow>
#include <csignal>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pcommands.h"
#include "app/image/pforms.h"
#include "apptest.h"
#include "platform/pmounts.h"
#include "testutil/message_log.h"
#include "testutil/shown_whole.h"
#include "app/core/pappstate.h"

namespace {

class Dialogs : public ::testing::Test {
 protected:
  TempHome home;
  AppInterface app;
  void SetUp() override { ASSERT_EQ(app.status, 0); }
};

// Clicks OK on every alert that shows, keeping the texts and what the label shows.
struct AlertClicker {
  std::vector<std::string> texts;
  std::vector<std::pair<Qt::TextFormat, QString>> shown;
  QTimer timer;
  AlertClicker() {
    QObject::connect(&timer, &QTimer::timeout, [this] {
      if (!IsWindowVisible(gAlertWindow)) return;
      texts.push_back(TextOf(gAlertWindow, "alrt", 128));
      if (auto* l = qobject_cast<QLabel*>(WidgetOf(gAlertWindow, "alrt", 128)))
        shown.emplace_back(l->textFormat(), l->text());
      QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gAlertWindow, "bttn", 1)),
                        Qt::LeftButton);
    });
    timer.start(2);
  }
};

TEST_F(Dialogs, PositionDialogShowsAndReadsThePosition) {
  std::string shown, of;
  WhenShown(
      gPositionWindow,
      [&] {
        shown = TextOf(gPositionWindow, "posn", 129);
        of = TextOf(gPositionWindow, "posn", 130);
        PutControlText(ControlOf(gPositionWindow, "posn", 129), "11");
      },
      "bttn", 1);
  EXPECT_EQ(positionDialog(9, 3), -1);  // 11 is past the last of 10
  EXPECT_EQ(shown, "4");
  EXPECT_EQ(of, "of 10");
  for (const char* typed : {"99999999999", "x3", "0"}) {
    WhenShown(
        gPositionWindow, [&] { PutControlText(ControlOf(gPositionWindow, "posn", 129), typed); },
        "bttn", 1);
    EXPECT_EQ(positionDialog(9, 3), -1) << typed;
  }
  WhenShown(
      gPositionWindow, [&] { PutControlText(ControlOf(gPositionWindow, "posn", 129), "10"); },
      "bttn", 1);
  EXPECT_EQ(positionDialog(9, 3), 9);
  EXPECT_EQ(positionDialog(0, 0), -1);  // nothing shown
}

TEST_F(Dialogs, OptionMasksCheckUncheckAndDisable) {
  // The show window has boxes for bits 4, 8 and 16 only.
  ControlRef b8 = ControlOf(gShowWindow, "optn", 131);
  SetControlValue(b8, 1);
  bool disabled16 = false;
  WhenShown(
      gShowWindow, [&] { disabled16 = !IsControlEnabled(ControlOf(gShowWindow, "optn", 132)); },
      "bttn", 1);
  // 4 set, 8 cleared, 16 both (not applicable), 1 and 2 have no box.
  EXPECT_EQ(optionsDialog(gShowWindow, 4 | 16 | 1, 8 | 16, false), 4);
  EXPECT_TRUE(disabled16);
  EXPECT_EQ(GetControlValue(b8), 0);
  // A bit in neither mask keeps the box as the user left it; cancel gives -1.
  WhenShown(gShowWindow, nullptr, "bttn", 1);
  EXPECT_EQ(optionsDialog(gShowWindow, 0, 0, false), 4);
  WhenShown(gShowWindow, nullptr, "bttn", 2);
  EXPECT_EQ(optionsDialog(gShowWindow, 8, 0, false), -1);
  // No box applies: nothing shown.
  EXPECT_EQ(optionsDialog(gInputWindow, 0, 0, false), 0);
}

TEST_F(Dialogs, InputAndConfirmAnswers) {
  WhenShown(
      gInputWindow,
      [&] {
        EXPECT_EQ(TextOf(gInputWindow, "inpt", 128), "Enter value");
        auto* e = qobject_cast<QLineEdit*>(WidgetOf(gInputWindow, "inpt", 129));
        e->clear();
        QTest::keyClicks(e, "  sunset beach ");
      },
      "bttn", 1);
  char text[64] = "old";
  EXPECT_EQ(getInput(text, sizeof text, nullptr), kResponseOK);
  EXPECT_STREQ(text, "sunset beach");
  WhenShown(
      gInputWindow,
      [&] {
        EXPECT_EQ(TextOf(gInputWindow, "inpt", 129), "sunset beach");
        qobject_cast<QLineEdit*>(WidgetOf(gInputWindow, "inpt", 129))->setText("tab\there");
      },
      "bttn", 2);
  EXPECT_EQ(getInput(text, sizeof text, "Name"), kResponseCancel);
  EXPECT_STREQ(text, "tab?here");
  EXPECT_EQ(getInput(nullptr, 10, "x"), static_cast<OSType>(-1));
  // A text longer than the buffer is cut before a character that would not fit.
  WhenShown(
      gInputWindow,
      [&] { qobject_cast<QLineEdit*>(WidgetOf(gInputWindow, "inpt", 129))->setText("ab\u00e9c"); },
      "bttn", 1);
  char small[4];
  EXPECT_EQ(getInput(small, sizeof small, "x"), kResponseOK);
  EXPECT_STREQ(small, "ab");

  WhenShown(
      gConfirmWindow,
      [&] {
        EXPECT_EQ(TextOf(gConfirmWindow, "cfrm", 128), "Are you sure?");
        EXPECT_TRUE(IsControlLatentlyVisible(ControlOf(gConfirmWindow, "cfrm", 131)));
      },
      "cfrm", 131);
  EXPECT_EQ(confirmDialog(nullptr, "Use All", kResponseOK), kResponseCustom);
  WhenShown(
      gConfirmWindow,
      [&] { EXPECT_FALSE(IsControlLatentlyVisible(ControlOf(gConfirmWindow, "cfrm", 131))); },
      "cfrm", 130);
  EXPECT_EQ(confirmDialog("Delete?", nullptr, kResponseCustom), kResponseCancel);
}

TEST_F(Dialogs, AMountEndsOnlyTheConfirmDialog) {
  auto mount = [] {
    EventRef ev = nullptr;
    CreateEvent(kEventClassVolume, kEventVolumeMounted, GetCurrentEventTime(), &ev);
    SendEventToEventTarget(ev, GetApplicationEventTarget());
    ReleaseEvent(ev);
  };
  WhenShown(gConfirmWindow, mount);
  EXPECT_EQ(confirmDialog("Continue?", nullptr, kResponseOK), 0u);
  EXPECT_FALSE(IsWindowVisible(gConfirmWindow));
  // The input dialog keeps waiting through a mount until its own button ends it.
  WhenShown(gInputWindow, [&] {
    mount();
    QTimer::singleShot(30, [] {
      QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gInputWindow, "bttn", 1)),
                        Qt::LeftButton);
    });
  });
  char text[16] = "";
  EXPECT_EQ(getInput(text, sizeof text, "Name"), kResponseOK);
}

TEST_F(Dialogs, ProgressStartsUnstoppedAndHidesAfterAFifthOfASecond) {
  PsetWorkStopped(true);
  gConfirmResponse = kResponseCancel;
  EXPECT_TRUE(reportProgress("Loading...", 0));
  EXPECT_EQ(gConfirmResponse, kResponseCancel);  // the dialogs' answer is theirs
  EXPECT_TRUE(IsWindowVisible(gProgressWindow));
  EXPECT_EQ(TextOf(gProgressWindow, "prgs", 128), "Loading...");
  EXPECT_STREQ(curMsg, "Loading...");
  SetManualPlatformClock(true);
  const double t0 = GetCurrentEventTime();
  EXPECT_TRUE(reportProgress(nullptr, 150));
  EXPECT_GE(GetCurrentEventTime(), t0 + 0.2);  // the deadline as the wait sums it
  EXPECT_FALSE(IsWindowVisible(gProgressWindow));
  SetManualPlatformClock(false);
  // Stop tells the work to end, and answers no dialog; a dialog cancelled meanwhile is no Stop.
  gConfirmResponse = kResponseOK;
  reportProgress("Working", 0);
  QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gProgressWindow, "bttn", 3)),
                    Qt::LeftButton);
  EXPECT_FALSE(reportProgress("Working", 50));
  EXPECT_EQ(gConfirmResponse, kResponseOK);
  reportProgress("Working", 0);
  gConfirmResponse = kResponseCancel;
  EXPECT_TRUE(reportProgress("Working", 50));
  reportProgress(nullptr, 100);
  // Waiting for one event answers 1, though two are pending.
  for (int i = 0; i < 2; ++i) {
    EventRef ev = nullptr;
    CreateEvent(FourCC("test"), 1, GetCurrentEventTime(), &ev);
    PostEventToQueue(GetMainEventQueue(), ev, nullptr);
    ReleaseEvent(ev);
  }
  EXPECT_EQ(checkEvents(-1), 1);
  checkEvents(0);
}

// Inside a work (its busy guard) a report from 0 starts a step of that work: a Stop pressed
// before it, even one not read yet, holds until the work ends. The next work starts unstopped.
TEST_F(Dialogs, AStepFromZeroKeepsTheWorksStop) {
  {
    PBusyGuard work;
    EXPECT_TRUE(reportProgress("Analyzing Images", 0));
    QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gProgressWindow, "bttn", 3)),
                      Qt::LeftButton);
    EXPECT_FALSE(reportProgress("Combining Images", 0));
    EXPECT_FALSE(reportProgress(nullptr, 50));
    EXPECT_TRUE(PprogressStopped());
  }
  PBusyGuard next;
  EXPECT_FALSE(PprogressStopped());
  EXPECT_TRUE(reportProgress("Combining Images", 0));
  reportProgress(nullptr, 100);
}

// A desktop that puts the Progress window on screen 30 ms after it is shown, as a window
// manager does; and what the window's text and bar showed when they were last painted.
struct LateDesktop : QObject {
  QWindow* window = nullptr;
  QLabel* label = qobject_cast<QLabel*>(WidgetOf(gProgressWindow, "prgs", 128));
  QProgressBar* bar = qobject_cast<QProgressBar*>(WidgetOf(gProgressWindow, "prgs", 129));
  bool held = false;
  std::string text;
  int value = -1;
  LateDesktop() {
    PlatformFrameWidget(gProgressWindow)->winId();
    window = PlatformFrameWidget(gProgressWindow)->windowHandle();
    window->installEventFilter(this);
    label->installEventFilter(this);
    bar->installEventFilter(this);
  }
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Paint && o == label) text = label->text().toStdString();
    if (e->type() == QEvent::Paint && o == bar) value = bar->value();
    if (o != window || e->type() != QEvent::Expose || held || !window->isExposed()) return false;
    held = true;
    QTimer::singleShot(30, window, [w = window] {
      QExposeEvent again{QRegion(QRect(QPoint(0, 0), w->size()))};
      QCoreApplication::sendEvent(w, &again);
    });
    return true;
  }
};

// The work may not pump events again for a long while (reading the next exposure of a merge, a
// search between its steps): what the Progress window says is painted before the work goes on,
// from its first showing on, however late the desktop puts it on screen.
TEST_F(Dialogs, ProgressIsPaintedBeforeTheWorkGoesOn) {
  LateDesktop painted;
  reportProgress("Analyzing Images", 0);
  EXPECT_EQ(painted.text, "Analyzing Images");
  EXPECT_EQ(painted.value, 0);
  reportProgress(nullptr, 40);
  EXPECT_EQ(painted.value, 40);
  reportProgress(nullptr, 100);
  ASSERT_FALSE(IsWindowVisible(gProgressWindow));
  painted.held = false;
  PsetWorkPace(0, 0);
  {
    PWorkProgress work("Searching catalog...");
    PWorkProgress::Step(-1);
    EXPECT_EQ(painted.text, "Searching catalog...");
    PWorkProgress::Step(0.5);
    EXPECT_EQ(painted.value, 50);
  }
  PsetWorkPace(kWorkPumpEvery, kWorkProgressAfter);
}

// A question greys the controls of the commands it holds back, as it greys their menu items:
// the main window's Find button. Once answered, each is as the program last left it.
TEST_F(Dialogs, AQuestionGreysTheControlsOfWhatItHoldsBack) {
  ControlRef find = PcontrolOf(gMain->GetWindow(), kSigPicture, 137);
  bool greyed = false;
  for (bool live : {true, false}) {
    live ? EnableControl(find) : DisableControl(find);
    WhenShown(
        gConfirmWindow,
        [&] {
          EnableControl(find);  // the program's word waits for the answer
          greyed = !IsControlEnabled(find);
          live ? EnableControl(find) : DisableControl(find);
        },
        "cfrm", 129);
    EXPECT_EQ(confirmDialog("Sure?", nullptr, kResponseOK), kResponseOK);
    EXPECT_TRUE(greyed);
    EXPECT_EQ(IsControlEnabled(find), live);
  }
}

TEST_F(Dialogs, OneAlertPerClassPerCommand) {
  AlertClicker clicker;
  SendCommand("zzzz");  // a command resets the throttle
  DMESSAGE(DMCdata, "first data problem");
  DMESSAGE(DMCdata, "second data problem");
  DMESSAGE(DMCsystem, "a worse problem");
  ASSERT_EQ(clicker.texts.size(), 2u);
  EXPECT_EQ(clicker.texts[0], "first data problem");
  EXPECT_EQ(clicker.texts[1], "a worse problem");
  SendCommand("zzzz");
  DMESSAGE(DMCdata, "after the next command");
  EXPECT_EQ(clicker.texts.size(), 3u);
}

// An alert shows a file's name as it is: tags as text, and stray bytes readable (not the text
// of the alert before).
TEST_F(Dialogs, AnAlertShowsAFilesNameAsText) {
  AlertClicker clicker;
  SendCommand("zzzz");
  DMESSAGE(DMCdata, "Cannot open '<b>x</b>.jpg'");
  SendCommand("zzzz");
  DMESSAGE(DMCdata, "Cannot open 'caf\xE9 <i>.jpg'");
  using Shown = std::pair<Qt::TextFormat, QString>;
  EXPECT_EQ(clicker.shown, (std::vector<Shown>{{Qt::PlainText, "Cannot open '<b>x</b>.jpg'"},
                                               {Qt::PlainText, "Cannot open 'caf\\xE9 <i>.jpg'"}}));
}

// The lines a word-wrapped label shows its text in.
QStringList ShownLines(const QLabel* l) {
  const QString text = QString(l->text()).replace('\n', QChar::LineSeparator);
  QTextLayout layout(text, l->font());
  layout.beginLayout();
  QStringList lines;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(l->contentsRect().width());
    lines << text.mid(line.textStart(), line.textLength())
                 .remove(QChar(0x200B))
                 .remove(QChar::LineSeparator);
  }
  layout.endLayout();
  return lines;
}

// A long name that has nowhere to break, then a short message after it: each is shown whole,
// in the alert, the Confirm window and the Progress window (there while it shows), also on a
// screen narrower than the forms (DialogsFit.NarrowScreen). A name too long for a line starts
// one of its own; a path too long for a line breaks at its separators, also where digits stand
// on both sides.
TEST_F(Dialogs, ALongNameAndTheMessageAfterItAreShownWhole) {
  const std::string name =
      "a_very_long_file_name_of_a_holiday_picture_taken_on_the_beach_at_sunset_2026_number_0001"
      ".jpg";
  std::string path = "/photos/";
  for (int i = 0; i < 8; ++i) path += "2026/07/01/";
  std::vector<QStringList> lines;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (!IsWindowVisible(gAlertWindow)) return;
    testutil::ExpectShownWhole(gAlertWindow, "alrt");
    lines.push_back(ShownLines(qobject_cast<QLabel*>(WidgetOf(gAlertWindow, "alrt", 128))));
    QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gAlertWindow, "bttn", 1)),
                      Qt::LeftButton);
  });
  timer.start(2);
  for (const std::string& msg : {"Cannot open '" + name + "': it is not a picture.",
                                 "Cannot open '" + path + "0001.jpg': it is not a picture.",
                                 std::string("The user's guide could not be opened.")}) {
    SendCommand("zzzz");
    DMESSAGE(DMCdata, "%s", msg.c_str());
  }
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0][0].toStdString(),
            "Cannot open ");  // the name breaks no more often than it must
  ASSERT_GT(lines[1].size(), 2);
  for (int i = 0; i + 1 < lines[1].size(); ++i)
    EXPECT_TRUE(lines[1][i].endsWith('/') || lines[1][i].endsWith(' '))
        << lines[1].join('|').toStdString();
  for (const std::string& msg : {"Replace '" + name + "'?", std::string("Replace it?")}) {
    WhenShown(
        gConfirmWindow, [] { testutil::ExpectShownWhole(gConfirmWindow, "cfrm"); }, "cfrm", 129);
    EXPECT_EQ(confirmDialog(msg.c_str(), "Other", kResponseCancel), kResponseOK);
  }
  for (const std::string& msg : {std::string("Loading"), "Loading " + name, std::string("Done")}) {
    reportProgress(msg.c_str(), 50);
    testutil::ExpectShownWhole(gProgressWindow, "prgs");
  }
  reportProgress(nullptr, 100);
}

TEST_F(Dialogs, SuspendedAlertsShowTheMostSevereKeptMessage) {
  AlertClicker clicker;
  suspendAlert(true);
  DMESSAGE(DMCdata, "kept data");
  DMESSAGE(DMCsystem, "kept system");
  DMESSAGE(DMCinput, "kept input");
  EXPECT_TRUE(clicker.texts.empty());
  suspendAlert(false);
  ASSERT_EQ(clicker.texts.size(), 1u);
  EXPECT_EQ(clicker.texts[0], "kept system");
  EXPECT_TRUE(dmessage_class_done[DMCsystem] & DMAalert);
  EXPECT_EQ(dmessage_alert, PalertHook);
}

TEST_F(Dialogs, NoAlertBeforeTheInterfaceIsReadyOrAfterAQuit) {
  AlertClicker clicker;
  gInterfaceReady = 0;
  SendCommand("zzzz");
  DMESSAGE(DMCdata, "Bad migration path in preferences file");
  EXPECT_STREQ(dmessage_record[DMCdata], "Bad migration path in preferences file");
  EXPECT_FALSE(dmessage_class_done[DMCdata] & DMAalert);
  gInterfaceReady = 1;
  PquitEventLoop();
  DMESSAGE(DMCsystem, "during the quit");
  EXPECT_EQ(confirmDialog("Save?", nullptr, kResponseOK), kResponseCancel);
  EXPECT_EQ(positionDialog(5, 1), -1);
  EXPECT_TRUE(clicker.texts.empty());
  EXPECT_EQ(checkEvents(-1), 0);
}

TEST_F(Dialogs, QuitWaitsForTheBusyOperation) {
  {
    PBusyGuard busy;
    SendCommand("cata", kEventCommandUpdateStatus);
    EXPECT_FALSE(MenuEnabled("cata"));
    EXPECT_EQ(SendCommand("quit"), noErr);
    EXPECT_FALSE(PquitRequested());
    EXPECT_TRUE(PquitDeferred());
  }
  EXPECT_TRUE(PquitRequested());
  SendCommand("cata", kEventCommandUpdateStatus);
  EXPECT_TRUE(MenuEnabled("cata"));
}

// Work that runs to its end (a search) keeps a quit waiting, by the Quit command or a signal
// alike, and the progress window and the log say so at once.
TEST_F(Dialogs, AQuitDuringWorkThatRunsToItsEndSaysItWaits) {
  MessageLog log;
  for (bool signal : {false, true}) {
    SCOPED_TRACE(signal ? "SIGTERM" : "Quit");
    log.Clear();
    {
      PWorkProgress work("Searching catalog...");
      if (signal)
        PquitOnSignal(SIGTERM);
      else
        EXPECT_EQ(SendCommand("quit"), noErr);
      PWorkProgress::Step(0.5);
      EXPECT_TRUE(IsWindowVisible(gProgressWindow));
      EXPECT_EQ(TextOf(gProgressWindow, "prgs", 128),
                "Searching catalog... Quitting when it ends.");
      EXPECT_EQ(PquitRequested(), signal);
    }
    EXPECT_TRUE(log.Has(DMCinfo, "Quitting when it ends: Searching catalog...")) << log.All();
    EXPECT_TRUE(PquitRequested());
    PclearQuit();
  }
}

}  // namespace

namespace {

// The window a top-level widget is kept above (its transient parent), or none.
const QWindow* KeptAbove(QWidget* top) {
  return top->windowHandle() != nullptr ? top->windowHandle()->transientParent() : nullptr;
}

}  // namespace

// An alert raised with the image window in front and one with the main window in front, the
// Progress window and Qt's file dialog opened over the image window are each kept above every
// window of the program (transient for the desktop's own window, which stands for them all),
// never above the one window in front alone, which a click on another window would then bury.
TEST_F(Dialogs, AlertsProgressAndTheFileDialogStayAboveEveryWindowOfTheProgram) {
  WindowRef mainWin = gMain->GetWindow(), imageWin = gImager->GetWindow();
  std::vector<const QWindow*> above;
  QTimer clicker;
  QObject::connect(&clicker, &QTimer::timeout, [&] {
    if (!IsWindowVisible(gAlertWindow)) return;
    above.push_back(KeptAbove(PlatformFrameWidget(gAlertWindow)));
    EXPECT_TRUE(PaskingUser());
    QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gAlertWindow, "bttn", 1)),
                      Qt::LeftButton);
  });
  clicker.start(2);
  ShowWindow(mainWin);
  ShowWindow(imageWin);
  for (WindowRef front : {imageWin, mainWin}) {
    SelectWindow(front);
    SendCommand("zzzz");
    DMESSAGE(DMCdata, "Cannot open 'notes.txt': not a picture");
  }
  reportProgress("Loading", 50);
  above.push_back(KeptAbove(PlatformFrameWidget(gProgressWindow)));
  reportProgress(nullptr, 100);
  SelectWindow(imageWin);
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    if (PFileDialog* d = PlatformFileDialog(); d != nullptr && d->isVisible()) {
      above.push_back(KeptAbove(d));
      EXPECT_EQ(d->windowModality(), Qt::ApplicationModal);
      d->reject();
    }
  });
  answer.start(2);
  PFileDialogSetup ask;
  ask.title = "Open Image";
  std::vector<std::string> chosen;
  EXPECT_EQ(PlatformOpenFile(ask, &chosen), kFileDialogCancelled);
  ASSERT_EQ(above.size(), 4u);
  for (const QWindow* w : above) {
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->type(), Qt::Desktop);
  }
}
