#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>
#include <vector>

#include "drawer_util.h"

namespace {

// A window object that counts the events its own handlers get.
class Counting : public TestWindowObject {
 public:
  int closes = 0, commands = 0;
  OSStatus OwnClose(EventRef) {
    ++closes;
    return noErr;
  }
  OSStatus Unhandled(EventRef) { return eventNotHandledErr; }
  OSStatus Command(EventRef) {
    ++commands;
    return noErr;
  }
};

PDrawer* EmptyTree(WindowPtr) {
  return new Probe(0, 0, 300, 400, 15);
}

struct AppLog {
  std::vector<UInt32> kinds;
};
OSStatus LogApp(EventHandlerCallRef, EventRef ev, void* ud) {
  static_cast<AppLog*>(ud)->kinds.push_back(GetEventKind(ev));
  return eventNotHandledErr;
}

}  // namespace

TEST(WindowHandler, GoldenSplitLayoutFollowsAQtResize) {
  TestWindowObject obj;
  PListDrawer* list = nullptr;
  PEmptyDrawer* pane = nullptr;
  obj.build = [&](WindowPtr w) {
    Rect view = R(0, 0, 285, 85);
    list = new PListDrawer(LNew(&view, 10, 1, Point{16, 85}, w));
    list->minsize.h = list->maxsize.h = 100;
    pane = new PEmptyDrawer;
    pane->extent = R(0, 100, 300, 400);
    pane->Drawn();
    return new PDualDrawer(list, pane, false);
  };
  WindowPtr w = obj.CreateWindow("test");
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(obj.installed);
  obj.Redraw();
  EXPECT_EQ(list->extent, R(0, 0, 300, 100));
  ResizeContent(w, 500, 360);
  EXPECT_EQ(list->extent, R(0, 0, 360, 100));
  EXPECT_EQ(pane->extent, R(0, 100, 360, 500));
  Rect view;
  GetListViewBounds(list->GetList(), &view);
  EXPECT_EQ(view, R(0, 0, 345, 85));
  // The window keeps to its tree's minimum width (the fixed list).
  ResizeContent(w, 10, 10);
  EXPECT_GE(PlatformContentWidget(w)->width(), 100);
  EXPECT_GE(pane->extent.left, 100);
}

TEST(WindowHandler, TableHoldsSixtyFourPairsAndALaterBindingWins) {
  Counting obj;
  obj.build = EmptyTree;
  for (UInt32 k = 0; k < 64; ++k)
    EXPECT_TRUE(
        obj.AddHandler(FourCC("test"), k, static_cast<PWindowHandlerF>(&Counting::Unhandled)));
  EXPECT_FALSE(
      obj.AddHandler(FourCC("test"), 64, static_cast<PWindowHandlerF>(&Counting::Unhandled)));
  EXPECT_TRUE(obj.AddHandler(FourCC("test"), 5, static_cast<PWindowHandlerF>(&Counting::Command)));
  EXPECT_EQ(obj.GetHandler(FourCC("test"), 5), static_cast<PWindowHandlerF>(&Counting::Command));
  // A full table cannot take the default bindings: the installation fails.
  WindowPtr w = obj.CreateWindow("test");
  ASSERT_NE(w, nullptr);
  EXPECT_FALSE(obj.installed);
  EXPECT_EQ(obj.Installed(), nullptr);
  EXPECT_EQ(obj.GetHandler(kEventClassWindow, kEventWindowClose), nullptr);
  EventRef ev = nullptr;
  CreateEvent(FourCC("test"), 5, 0, &ev);
  EXPECT_EQ(obj.HandleEvent(ev), noErr);
  EXPECT_EQ(obj.commands, 1);
  ReleaseEvent(ev);
}

TEST(WindowHandler, OwnCloseHandlerIsKeptAndCloseBoxHidesByDefault) {
  Counting own;
  own.build = EmptyTree;
  own.bindOwn = [](TestWindowObject* o) {
    o->AddHandler(kEventClassWindow, kEventWindowClose,
                  static_cast<PWindowHandlerF>(&Counting::OwnClose));
  };
  WindowPtr w = own.CreateWindow("test");
  ASSERT_TRUE(own.installed);
  PlatformFrameWidget(w)->close();
  EXPECT_EQ(own.closes, 1);
  EXPECT_TRUE(IsWindowVisible(w));

  TestWindowObject plain;
  plain.build = EmptyTree;
  WindowPtr p = plain.CreateWindow("test");
  ASSERT_TRUE(plain.installed);
  PlatformFrameWidget(p)->close();  // the close box hides; object and tree live on
  EXPECT_TRUE(IsValidWindowPtr(p));
  EXPECT_FALSE(IsWindowVisible(p));
  EXPECT_FALSE(plain.Root()->IsVisible());
  EXPECT_EQ(plain.Show(1), 1);
  EXPECT_TRUE(IsWindowVisible(p));
  EXPECT_TRUE(plain.Root()->GetChild(0)->IsVisible());

  // Unbound, the event goes unhandled and the platform's standard handling closes the window.
  plain.DelHandler(kEventClassWindow, kEventWindowClose);
  EventRef ev = nullptr;
  CreateEvent(kEventClassWindow, kEventWindowClose, 0, &ev);
  EXPECT_EQ(plain.HandleEvent(ev), eventNotHandledErr);
  EXPECT_EQ(SendEventToEventTarget(ev, GetWindowEventTarget(p)), noErr);
  ReleaseEvent(ev);
  EXPECT_FALSE(IsValidWindowPtr(p));
  plain.DestroyWindow();  // the window is gone already: nothing breaks
  EXPECT_EQ(plain.GetWindow(), nullptr);
}

TEST(WindowHandler, ResizeRedrawsAndLetsTheStandardHandlingRun) {
  TestWindowObject obj;
  Probe* probe = nullptr;
  obj.build = [&](WindowPtr) { return probe = new Probe(0, 0, 300, 400, 15); };
  WindowPtr w = obj.CreateWindow("test");
  AppLog log;
  const EventTypeSpec resized = {kEventClassWindow, kEventWindowResizeCompleted};
  EventHandlerRef h = nullptr;
  InstallEventHandler(GetApplicationEventTarget(), LogApp, 1, &resized, &log, &h);
  probe->redraws = 0;
  ResizeContent(w, 450, 320);
  EXPECT_GE(probe->redraws, 1);
  EXPECT_EQ(probe->extent, R(0, 0, 320, 450));
  EXPECT_FALSE(log.kinds.empty());  // unhandled by the window: it travelled on
  RemoveEventHandler(h);

  // The minimum size comes from the tree.
  probe->minsize = Point{0, 0};
  EventRef ev = nullptr;
  CreateEvent(kEventClassWindow, kEventWindowGetMinimumSize, 0, &ev);
  EXPECT_EQ(SendEventToEventTarget(ev, GetWindowEventTarget(w)), noErr);
  Point dims{-1, -1};
  GetEventParameter(ev, kEventParamDimensions, typeQDPoint, nullptr, sizeof dims, nullptr, &dims);
  EXPECT_EQ(dims.h, obj.Root()->minsize.h);
  ReleaseEvent(ev);
}

TEST(WindowHandler, NestedSetPortSwitchesOnceAndRestoresOnce) {
  TestWindowObject a, b;
  Probe* pa = nullptr;
  a.build = [&](WindowPtr) { return pa = new Probe(0, 0, 300, 400); };
  b.build = EmptyTree;
  WindowPtr wa = a.CreateWindow("test");
  WindowPtr wb = b.CreateWindow("test");
  SetPortWindowPort(wb);
  pa->SetPort();
  EXPECT_EQ(GetQDPort(), GetWindowPort(wa));
  SetPortWindowPort(wb);
  pa->SetPort();  // nested: no switch
  EXPECT_EQ(GetQDPort(), GetWindowPort(wb));
  pa->ResetPort();
  EXPECT_EQ(GetQDPort(), GetWindowPort(wb));
  SetPortWindowPort(wa);
  pa->ResetPort();  // the outermost restores what was current before it
  EXPECT_EQ(GetQDPort(), GetWindowPort(wb));
  pa->PortPreset(true);
  pa->SetPort();
  EXPECT_EQ(GetQDPort(), GetWindowPort(wb));
  pa->ResetPort();
  pa->PortPreset(false);
  // A window that is gone leaves its port stale: it is refused.
  b.DestroyWindow();
  EXPECT_EQ(GetQDPort(), nullptr);
  SetGWorld(GetWindowPort(wa), nullptr);
  EXPECT_EQ(GetQDPort(), GetWindowPort(wa));
}

TEST(WindowHandler, WaitMouseReleaseTimesOutOrTakesAQueuedMouseUp) {
  SetManualPlatformClock(true);
  double t0 = GetCurrentEventTime();
  waitMouseRelease(0.75);
  EXPECT_NEAR(GetCurrentEventTime() - t0, 0.75, 1e-6);
  TestWindowObject obj;
  obj.build = EmptyTree;
  WindowPtr w = obj.CreateWindow("test");
  // A release on the window while it waits is a mouse-up, which the wait takes at once.
  QTimer::singleShot(
      0, [w] { QTest::mouseRelease(PlatformContentWidget(w), Qt::LeftButton, {}, QPoint(5, 5)); });
  t0 = GetCurrentEventTime();
  waitMouseRelease(5);
  EXPECT_EQ(GetCurrentEventTime(), t0);
  const EventTypeSpec up = {kEventClassMouse, kEventMouseUp};
  EventRef ev = nullptr;
  EXPECT_EQ(ReceiveNextEvent(1, &up, 0, true, &ev), eventLoopTimedOutErr);
  SetManualPlatformClock(false);
}
