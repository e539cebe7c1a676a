#include <QComboBox>
#include <QCursor>
#include <QGuiApplication>
#include <QProgressBar>
#include <QScrollBar>
#include <QSlider>
#include <QStandardItemModel>
#include <QTest>
#include <QTimer>
#include <vector>

#include "platform/pmenu.h"
#include "platform/pmouse.h"
#include "platform/pqt.h"
#include "platform_util.h"

namespace {

// The window-local point of a control's part: the first found along its middle line.
QPoint PartPoint(WindowRef w, ControlRef c, ControlPartCode part) {
  Rect b;
  GetControlBounds(c, &b);
  const bool across = b.right - b.left > b.bottom - b.top;
  for (int i = 0; i < (across ? b.right - b.left : b.bottom - b.top); ++i) {
    Point p = across ? Point{short((b.top + b.bottom) / 2), short(b.left + i)}
                     : Point{short(b.top + i), short((b.left + b.right) / 2)};
    if (TestControl(c, p) == part) return QPoint(p.h, p.v);
  }
  ADD_FAILURE() << "no part " << part << " in window " << w;
  return QPoint();
}

// The same point in the control's widget.
QPoint At(WindowRef w, ControlRef c, QPoint local) {
  return PlatformControlWidget(c)->mapFrom(PlatformContentWidget(w), local);
}

const std::vector<EventTypeSpec> kHitsAndCommands = {{kEventClassControl, kEventControlHit},
                                                     {kEventClassCommand, kEventCommandProcess}};

}  // namespace

TEST(PlatformControls, PopUpChoicesArriveAsHitsThenTheirCommands) {
  WindowRef w = MakeWindow("ControlsDialog");
  Log wl;
  LogHandler h(GetWindowEventTarget(w), kHitsAndCommands, &wl);
  ControlRef pop = Control(w, "popb", 130);
  ASSERT_EQ(GetControlKind(pop), kControlKindPopupButton);
  EXPECT_EQ(GetControlValue(pop), 1);
  EXPECT_EQ(GetControlMaximum(pop), 3);
  QWidget* combo = PlatformControlWidget(pop);
  QTest::keyClick(combo, Qt::Key_Down);
  QTest::keyClick(combo, Qt::Key_Down);
  EXPECT_EQ(wl.parts, (std::vector<ControlPartCode>{kControlMenuPart, kControlMenuPart}));
  EXPECT_EQ(wl.values, (std::vector<SInt32>{2, 3}));
  // The second item has no command of its own: the control's goes instead.
  EXPECT_EQ(wl.commands, (std::vector<UInt32>{FourCC("zoom"), FourCC("z100")}));

  // Its menu is the button's items.
  MenuRef menu = GetControlPopupMenuHandle(pop);
  ASSERT_EQ(CountMenuItems(menu), 3u);
  AppendMenuItemText(menu, "2/1", FourCC("z200"), nullptr);
  DisableMenuItem(menu, 1);
  auto* cb = static_cast<QComboBox*>(combo);
  ASSERT_EQ(cb->count(), 4);
  EXPECT_EQ(cb->itemText(3), "2/1");
  EXPECT_FALSE(static_cast<QStandardItemModel*>(cb->model())->item(0)->isEnabled());
  SetControlValue(pop, 9);
  EXPECT_EQ(GetControlValue(pop), 4);
  EXPECT_EQ(wl.parts.size(), 2u);  // set by the program: no hit
  DisposeWindow(w);
}

TEST(PlatformControls, SliderAndScrollBarPartsArriveAsHitsWithTheNewValue) {
  WindowRef w = MakeWindow("ControlsDialog");
  Log wl;
  LogHandler h(GetWindowEventTarget(w), kHitsAndCommands, &wl);
  ControlRef sl = Control(w, "sldr", 131);
  ASSERT_EQ(GetControlKind(sl), kControlKindSlider);
  QWidget* slider = PlatformControlWidget(sl);
  QTest::mouseClick(slider, Qt::LeftButton, {}, At(w, sl, PartPoint(w, sl, kControlPageDownPart)));
  ASSERT_EQ(wl.parts, std::vector<ControlPartCode>{kControlPageDownPart});
  EXPECT_EQ(wl.values.back(), 60);
  const QPoint handle = At(w, sl, PartPoint(w, sl, kControlIndicatorPart));
  QTest::mousePress(slider, Qt::LeftButton, {}, handle);
  QTest::mouseMove(slider, handle + QPoint(60, 0));
  QTest::mouseRelease(slider, Qt::LeftButton, {}, handle + QPoint(60, 0));
  EXPECT_EQ(wl.parts.back(), kControlIndicatorPart);
  EXPECT_GT(wl.values.back(), 60);
  EXPECT_EQ(wl.values.back(), GetControlValue(sl));

  // A scroll bar's arrows, pages and thumb; the thumb reports once, when released.
  ControlRef sc = Control(w, "scrl", 132);
  ASSERT_EQ(GetControlKind(sc), kControlKindScrollBar);
  EXPECT_EQ(GetControlViewSize(sc), 20);
  QWidget* bar = PlatformControlWidget(sc);
  wl.parts.clear();
  wl.values.clear();
  for (ControlPartCode part : {kControlDownButtonPart, kControlDownButtonPart, kControlPageDownPart,
                               kControlUpButtonPart, kControlPageUpPart})
    QTest::mouseClick(bar, Qt::LeftButton, {}, At(w, sc, PartPoint(w, sc, part)));
  EXPECT_EQ(wl.parts, (std::vector<ControlPartCode>{kControlDownButtonPart, kControlDownButtonPart,
                                                    kControlPageDownPart, kControlUpButtonPart,
                                                    kControlPageUpPart}));
  EXPECT_EQ(wl.values, (std::vector<SInt32>{1, 2, 22, 21, 1}));
  const QPoint thumb = At(w, sc, PartPoint(w, sc, kControlIndicatorPart));
  QTest::mousePress(bar, Qt::LeftButton, {}, thumb);
  QTest::mouseMove(bar, thumb + QPoint(0, 40));
  QTest::mouseMove(bar, thumb + QPoint(0, 80));
  EXPECT_EQ(wl.parts.size(), 5u);
  QTest::mouseRelease(bar, Qt::LeftButton, {}, thumb + QPoint(0, 80));
  ASSERT_EQ(wl.parts.size(), 6u);
  EXPECT_EQ(wl.parts.back(), kControlIndicatorPart);
  EXPECT_GT(wl.values.back(), 30);
  EXPECT_EQ(wl.values.back(), GetControlValue(sc));
  EXPECT_TRUE(wl.commands.empty());  // neither has a command
  DisposeWindow(w);
}

namespace {

// A content-click handler that lets the scroll bar under the click track it.
struct Tracked {
  ControlRef bar = nullptr;
  ControlPartCode part = -1;
  SInt32 value = -1;
};
OSStatus TrackInBar(EventHandlerCallRef, EventRef ev, void* ud) {
  auto* t = static_cast<Tracked*>(ud);
  Point pt;
  GetEventParameter(ev, kEventParamMouseLocation, typeQDPoint, nullptr, sizeof pt, nullptr, &pt);
  QPoint local = PlatformContentWidget(GetControlOwner(t->bar))->mapFromGlobal(QPoint(pt.h, pt.v));
  t->part = HandleControlClick(t->bar, Point{short(local.y()), short(local.x())}, 0, nullptr);
  t->value = GetControlValue(t->bar);
  return noErr;
}

}  // namespace

TEST(PlatformControls, ControlClicksComeFirstAndHandleControlClickTracksTheControl) {
  WindowRef w = MakeWindow("ControlsDialog");
  Log wl, cl;
  LogHandler h(GetWindowEventTarget(w), kHitsAndCommands, &wl);
  ControlRef ok = Control(w, "cfrm", 129);
  {
    cl.result = noErr;  // taken: the button never sees the click
    LogHandler taker(GetControlEventTarget(ok), {{kEventClassControl, kEventControlClick}}, &cl);
    QTest::mouseClick(PlatformControlWidget(ok), Qt::LeftButton);
    EXPECT_EQ(cl.events.size(), 1u);
    EXPECT_TRUE(wl.commands.empty());
  }
  QTest::mouseClick(PlatformControlWidget(ok), Qt::LeftButton);
  EXPECT_EQ(wl.commands, std::vector<UInt32>{FourCC("ok  ")});

  // A scroll bar made in code, tracked by the click handler until the release: the thumb
  // dragged, then a page; no hits meanwhile.
  const Rect r{20, 330, 220, 345};
  ControlRef sb = nullptr;
  ASSERT_EQ(CreateScrollBarControl(w, &r, 0, 0, 100, 25, false, nullptr, &sb), noErr);
  EXPECT_EQ(GetControlKind(sb), kControlKindScrollBar);
  Tracked t;
  t.bar = sb;
  const EventTypeSpec click = {kEventClassWindow, kEventWindowClickContentRgn};
  EventHandlerRef tracker = nullptr;
  InstallEventHandler(GetWindowEventTarget(w), TrackInBar, 1, &click, &t, &tracker);
  QWidget* bar = PlatformControlWidget(sb);
  const QPoint thumb = At(w, sb, PartPoint(w, sb, kControlIndicatorPart));
  QTimer::singleShot(0, [bar, thumb] {
    QTest::mouseMove(bar, thumb + QPoint(0, 50));
    QTest::mouseRelease(bar, Qt::LeftButton, {}, thumb + QPoint(0, 50));
  });
  wl.parts.clear();
  QTest::mousePress(bar, Qt::LeftButton, {}, thumb);
  EXPECT_EQ(t.part, kControlIndicatorPart);
  EXPECT_GT(t.value, 10);
  const QPoint page = At(w, sb, PartPoint(w, sb, kControlPageUpPart));
  QTimer::singleShot(0, [bar, page] { QTest::mouseRelease(bar, Qt::LeftButton, {}, page); });
  QTest::mousePress(bar, Qt::LeftButton, {}, page);
  EXPECT_EQ(t.part, kControlPageUpPart);
  EXPECT_TRUE(wl.parts.empty());
  RemoveEventHandler(tracker);
  DisposeControl(sb);
  EXPECT_FALSE(IsValidControlHandle(sb));
  DisposeWindow(w);
}

TEST(PlatformControls, ProgressBarsCursorsAndAnObscuredCursor) {
  WindowRef w = MakeWindow("ControlsDialog");
  ControlRef bar = Control(w, "prgs", 129);
  ASSERT_EQ(GetControlKind(bar), kControlKindProgressBar);
  SetControlValue(bar, 150);
  EXPECT_EQ(GetControlValue(bar), 100);
  EXPECT_EQ(static_cast<QProgressBar*>(PlatformControlWidget(bar))->value(), 100);

  SetThemeCursor(kThemeClosedHandCursor);
  ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::ClosedHandCursor);
  ObscureCursor();
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BlankCursor);
  // Anywhere but where the cursor is: a move to the same place is no move.
  const QPoint away = PlatformContentWidget(w)->mapFromGlobal(QCursor::pos()) + QPoint(7, 7);
  QTest::mouseMove(PlatformContentWidget(w), away);
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::ClosedHandCursor);
  SetThemeCursor(kThemeArrowCursor);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  DisposeWindow(w);
}
