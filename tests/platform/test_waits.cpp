#include <QApplication>
#include <QCursor>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <string>
#include <vector>

#include "platform/pmounts.h"
#include "platform/pmouse.h"
#include "platform/pqt.h"
#include "platform_util.h"

namespace {

// The pump of long work and modal waits: dispatches what comes within maxwait seconds
// (kEventDurationForever: waits for one event and stops); the number of events dispatched.
int CheckEvents(EventTime maxwait) {
  int n = 0;
  EventRef ev = nullptr;
  while (ReceiveNextEvent(0, nullptr, maxwait, true, &ev) == noErr) {
    SendEventToEventTarget(ev, GetEventDispatcherTarget());
    ReleaseEvent(ev);
    ++n;
    if (maxwait < 0) break;
  }
  return n;
}

// Waits, dispatching, while the window is shown; the status that ended the wait.
OSStatus WaitWhileShown(WindowRef w, EventTime each) {
  EventRef ev = nullptr;
  while (IsWindowVisible(w)) {
    OSStatus r = ReceiveNextEvent(0, nullptr, each, true, &ev);
    if (r != noErr) return r;
    SendEventToEventTarget(ev, GetEventDispatcherTarget());
    ReleaseEvent(ev);
  }
  return noErr;
}

double quitAt = 0;
void QuitNow(EventLoopTimerRef, void*) {
  quitAt = GetCurrentEventTime();
  QuitApplicationEventLoop();
}
void Nothing(EventLoopTimerRef, void*) {}

OSStatus HideOnOk(EventHandlerCallRef, EventRef ev, void* ud) {
  HICommand cmd;
  GetEventParameter(ev, kEventParamDirectObject, typeHICommand, nullptr, sizeof cmd, nullptr, &cmd);
  if (cmd.commandID != FourCC("ok  ")) return eventNotHandledErr;
  HideWindow(static_cast<WindowRef>(ud));
  return noErr;
}

}  // namespace

TEST(PlatformWaits, ALoopThatPumpsWithoutWaitingRepaintsAndSeesItsStopButton) {
  WindowRef w = MakeWindow("ControlsDialog");
  ControlRef bar = Control(w, "prgs", 129), text = Control(w, "prgs", 128);
  QWidget* frame = PlatformFrameWidget(w);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(frame));
  const QRect textArea(PlatformControlWidget(text)->mapTo(frame, QPoint(0, 0)), QSize(200, 20));
  const QPoint inBar = PlatformControlWidget(bar)->mapTo(frame, QPoint(240, 10));
  auto screen = [frame] { return frame->screen()->grabWindow(frame->winId()).toImage(); };
  Log wl;
  LogHandler h(GetWindowEventTarget(w), {{kEventClassCommand, kEventCommandProcess}}, &wl);
  CheckEvents(kEventDurationNoWait);
  const QImage before = screen();
  // The user presses Stop while the work runs.
  QWidget* stop = PlatformControlWidget(Control(w, "cfrm", 130));
  QTimer::singleShot(0, [stop] { QTest::mouseClick(stop, Qt::LeftButton); });
  for (int pct = 10; pct <= 100 && wl.commands.empty(); pct += 10) {
    const std::string msg = "Step " + std::to_string(pct);
    SetControlData(text, 0, kControlEditTextCFStringTag, UInt32(msg.size()), msg.data());
    SetControlValue(bar, 100);
    CheckEvents(kEventDurationNoWait);
  }
  EXPECT_EQ(wl.commands, std::vector<UInt32>{FourCC("not!")});
  // What the screen shows, through a PNG file: the new text and the full bar.
  QTemporaryDir dir;
  const QString png = dir.filePath("progress.png");
  ASSERT_TRUE(screen().save(png));
  const QImage shown(png);
  EXPECT_NE(shown.copy(textArea), before.copy(textArea));
  EXPECT_NE(shown.pixel(inBar), before.pixel(inBar));
  // Without pumping, the text on screen stays as it was.
  SetControlData(text, 0, kControlEditTextCFStringTag, 4, "Done");
  EXPECT_EQ(screen().copy(textArea), shown.copy(textArea));
  CheckEvents(kEventDurationNoWait);
  EXPECT_NE(screen().copy(textArea), shown.copy(textArea));
  DisposeWindow(w);
}

TEST(PlatformWaits, AWaitEndsOnADispatchAndADialogWaitOnItsHiding) {
  EventRef ev = nullptr;
  double t0 = GetCurrentEventTime();
  EXPECT_EQ(ReceiveNextEvent(0, nullptr, 0.05, true, &ev), eventLoopTimedOutErr);
  EXPECT_GE(GetCurrentEventTime(), t0 + 0.05);
  EventLoopTimerRef timer = nullptr;
  InstallEventLoopTimer(0.02, 0, Nothing, nullptr, &timer);
  t0 = GetCurrentEventTime();
  EXPECT_EQ(CheckEvents(kEventDurationForever), 1);
  EXPECT_LT(GetCurrentEventTime() - t0, 20.0);  // the timer ended it, however busy the machine
  RemoveEventLoopTimer(timer);

  WindowRef d = MakeWindow("ControlsDialog");
  const EventTypeSpec cmds = {kEventClassCommand, kEventCommandProcess};
  EventHandlerRef h = nullptr;
  InstallEventHandler(GetWindowEventTarget(d), HideOnOk, 1, &cmds, d, &h);
  QWidget* ok = PlatformControlWidget(Control(d, "cfrm", 129));
  QTimer::singleShot(10, [ok] { QTest::mouseClick(ok, Qt::LeftButton); });
  EXPECT_EQ(WaitWhileShown(d, kEventDurationForever), noErr);
  EXPECT_FALSE(IsWindowVisible(d));
  // A volume mounted meanwhile ends a dialog's wait, the dialog still up. The table starts
  // without the volume whatever ran before, and is left so.
  static const char kBase[] = "1 1 8:1 / / rw - ext4 /dev/sda1 rw\n";
  TakeMountTable(kBase);
  CheckEvents(kEventDurationNoWait);
  ShowWindow(d);
  Log vl;
  LogHandler vh(GetApplicationEventTarget(), {{kEventClassVolume, kEventVolumeMounted}}, &vl);
  QTimer::singleShot(10, [] {
    TakeMountTable(std::string(kBase) + "9 1 8:9 / /mnt/waitprobe rw - ext4 /dev/sdb1 rw\n");
  });
  EXPECT_EQ(CheckEvents(kEventDurationForever), 1);
  EXPECT_TRUE(IsWindowVisible(d));
  EXPECT_EQ(vl.events.size(), 1u);
  TakeMountTable(kBase);
  CheckEvents(kEventDurationNoWait);
  DisposeWindow(d);
}

TEST(PlatformWaits, AQuitEndsEveryWaitAtOnceAndThenTheApplicationLoop) {
  WindowRef d = MakeWindow("ControlsDialog");
  OSStatus endless = 0, timed = 0;
  double returnedAt = 0;
  // A dialog waits inside a dialog's wait; the quit comes 0.05 s in.
  QTimer::singleShot(0, [&] {
    QTimer::singleShot(0, [&] { timed = WaitWhileShown(d, 60.0); });
    endless = WaitWhileShown(d, kEventDurationForever);
    returnedAt = GetCurrentEventTime();
  });
  EventLoopTimerRef timer = nullptr;
  InstallEventLoopTimer(0.05, 0, QuitNow, nullptr, &timer);
  const double t0 = GetCurrentEventTime();
  RunApplicationEventLoop();
  EXPECT_EQ(endless, eventLoopQuitErr);
  EXPECT_EQ(timed, eventLoopQuitErr);
  // At once, not the rest of the minute, however busy the machine.
  EXPECT_LT(returnedAt - quitAt, 10.0);
  EXPECT_LT(GetCurrentEventTime() - t0, 20.0);
  // Once the application loop has returned, waits wait again.
  EventRef ev = nullptr;
  EXPECT_EQ(ReceiveNextEvent(0, nullptr, 0.01, true, &ev), eventLoopTimedOutErr);
  RemoveEventLoopTimer(timer);
  DisposeWindow(d);
}

namespace {

struct Track {
  std::vector<MouseTrackingResult> results;
  Point last{0, 0};
  bool moved = false;
  bool wait = false;  // WaitMouseMoved instead of tracking
};
OSStatus TrackDrag(EventHandlerCallRef, EventRef ev, void* ud) {
  auto* t = static_cast<Track*>(ud);
  if (t->wait) {
    Point start;
    GetEventParameter(ev, kEventParamMouseLocation, typeQDPoint, nullptr, sizeof start, nullptr,
                      &start);
    t->moved = WaitMouseMoved(start);
    return noErr;
  }
  MouseTrackingResult r = 0;
  do {
    TrackMouseLocation(nullptr, &t->last, &r);
    t->results.push_back(r);
  } while (r == kMouseTrackingMouseDragged);
  return noErr;
}

}  // namespace

TEST(PlatformWaits, ADragTrackedInTheClickHandlerReportsTheReleasePoint) {
  WindowRef w = MakeWindow("PlainWindow");
  QWidget* content = PlatformContentWidget(w);
  SetPortWindowPort(w);
  // Moves without a button are the window's mouse-moved events. The cursor is first put outside
  // the window: a run before may have left it where this move goes, and a move to where it is
  // moves nothing.
  QCursor::setPos(content->window()->geometry().bottomRight() + QPoint(50, 50));
  QApplication::processEvents();
  Log moves;
  {
    LogHandler logger(GetWindowEventTarget(w), {{kEventClassMouse, kEventMouseMoved}}, &moves);
    QTest::mouseMove(content, QPoint(70, 70));
  }
  EXPECT_EQ(moves.events.size(), 1u);
  Track t;
  const EventTypeSpec click = {kEventClassWindow, kEventWindowClickContentRgn};
  EventHandlerRef h = nullptr;
  InstallEventHandler(GetWindowEventTarget(w), TrackDrag, 1, &click, &t, &h);
  QTimer::singleShot(0, [content] {
    QTest::mouseMove(content, QPoint(60, 40));
    QTimer::singleShot(0, [content] {
      QTest::mouseMove(content, QPoint(80, 50));
      QTest::mouseRelease(content, Qt::LeftButton, {}, QPoint(90, 55));
    });
  });
  QTest::mousePress(content, Qt::LeftButton, {}, QPoint(20, 20));
  ASSERT_GE(t.results.size(), 2u);
  EXPECT_EQ(t.results.front(), kMouseTrackingMouseDragged);
  EXPECT_EQ(t.results.back(), kMouseTrackingMouseUp);
  EXPECT_EQ(t.last.h, 90);  // in the port's coordinates
  EXPECT_EQ(t.last.v, 55);
  // Escape ends a drag.
  t.results.clear();
  QTimer::singleShot(0, [content] { QTest::keyClick(content, Qt::Key_Escape); });
  QTest::mousePress(content, Qt::LeftButton, {}, QPoint(20, 20));
  QTest::mouseRelease(content, Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_EQ(t.results, std::vector<MouseTrackingResult>{kMouseTrackingUserCancelled});
  // A drag starts once the mouse has moved far enough, not when the button is let go first.
  t.wait = true;
  QTimer::singleShot(0, [content] {
    QTest::mouseMove(content, QPoint(21, 21));
    QTimer::singleShot(0, [content] { QTest::mouseMove(content, QPoint(40, 20)); });
  });
  QTest::mousePress(content, Qt::LeftButton, {}, QPoint(20, 20));
  QTest::mouseRelease(content, Qt::LeftButton, {}, QPoint(40, 20));
  EXPECT_TRUE(t.moved);
  QTimer::singleShot(
      0, [content] { QTest::mouseRelease(content, Qt::LeftButton, {}, QPoint(20, 20)); });
  QTest::mousePress(content, Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_FALSE(t.moved);
  RemoveEventHandler(h);
  DisposeWindow(w);
}

namespace {
int gZeroFirings = 0;
void ZeroAgain(EventLoopTimerRef t, void*) {
  ++gZeroFirings;
  SetEventLoopTimerNextFireTime(t, 0);
}
}  // namespace

// A timer that arms itself again without delay gets one firing per turn of the loop: a wait
// without time returns, and a timed wait sees the others' events meanwhile.
TEST(PlatformWaits, ATimerReArmedWithoutDelayFiresOncePerTurn) {
  for (bool manual : {false, true}) {
    SetManualPlatformClock(manual);
    gZeroFirings = 0;
    EventLoopTimerRef t = nullptr;
    InstallEventLoopTimer(0, 0, ZeroAgain, nullptr, &t);
    EventRef ev = nullptr;
    ReceiveNextEvent(0, nullptr, 0, true, &ev);
    EXPECT_LE(gZeroFirings, 2) << manual;
    RemoveEventLoopTimer(t);
  }
  SetManualPlatformClock(false);
}
