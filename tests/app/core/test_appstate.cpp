// The application state tied to the toolkit's event dispatch: the idle-improvement timer and
// the last alert class.
#include <gtest/gtest.h>

#include <QTest>

#include "app/core/pappstate.h"
#include "toolkit/drawer_util.h"

namespace {

// A window object that counts the commands its own handler gets.
class Counting : public TestWindowObject {
 public:
  int commands = 0;
  OSStatus Command(EventRef) {
    ++commands;
    return noErr;
  }
};

PDrawer* EmptyTree(WindowPtr) {
  return new Probe(0, 0, 300, 400, 15);
}

// The plain window of the toolkit's tests, as a blank form of its size.
void RegisterPlainWindow() {
  RegisterNibWindow("test", "PlainWindow", [](QWidget* w) { w->resize(400, 300); });
}

}  // namespace

TEST(AppState, UnhandledEventsReArmTheIdleTimer) {
  RegisterPlainWindow();
  PinstallAppState();
  SetManualPlatformClock(true);
  Counting obj;
  obj.build = EmptyTree;
  obj.bindOwn = [](TestWindowObject* o) {
    o->AddHandler(kEventClassCommand, kEventCommandProcess,
                  static_cast<PWindowHandlerF>(&Counting::Command));
  };
  WindowPtr w = obj.CreateWindow("test");
  idleImprovements(1.5);
  EventRef ev = nullptr;
  CreateEvent(FourCC("none"), 1, 0, &ev);
  EXPECT_EQ(PWindowHandlerEvent(nullptr, ev, &obj), eventNotHandledErr);
  ReleaseEvent(ev);
  EXPECT_DOUBLE_EQ(idleImprovements(1.5), 1.5);  // re-armed with its delay

  CreateEvent(kEventClassCommand, kEventCommandProcess, 0, &ev);
  EXPECT_EQ(SendEventToEventTarget(ev, GetWindowEventTarget(w)), noErr);
  ReleaseEvent(ev);
  EXPECT_EQ(obj.commands, 1);
  EXPECT_DOUBLE_EQ(idleImprovements(0), 0.0);  // handled: left suspended
  EXPECT_EQ(PWindowHandlerEvent(nullptr, nullptr, nullptr), eventNotHandledErr);
  SetManualPlatformClock(false);
}

TEST(AppState, AClickInAWindowClearsTheLastAlertClass) {
  RegisterPlainWindow();
  PinstallAppState();
  Counting obj;
  obj.build = EmptyTree;
  WindowPtr w = obj.CreateWindow("test");
  ASSERT_NE(w, nullptr);
  alertLastClass = DMCwarning;
  QTest::mouseClick(PlatformContentWidget(w), Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_EQ(alertLastClass, static_cast<unsigned>(DMCnerr));
}
