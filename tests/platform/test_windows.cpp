#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QMenuBar>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <cstring>
#include <tuple>
#include <vector>

#include "platform/pcontrol.h"
#include "platform/pevent.h"
#include "platform/plist.h"
#include "platform/pmenu.h"
#include "platform/pqt.h"
#include "platform/pwindow.h"
#include "platform_util.h"

TEST(PlatformWindows, FormControlsAreFoundBySignatureAndId) {
  IBNibRef nib = nullptr;
  EXPECT_EQ(CreateNibReference("nosuch", &nib), nibFileNotFoundErr);
  WindowRef w = MakeWindow("TestWindow");
  ASSERT_NE(w, nullptr);
  Rect port;
  GetWindowPortBounds(w, &port);
  EXPECT_EQ(port.right, 400);
  EXPECT_EQ(port.bottom, 300);

  struct {
    const char* sig;
    int id;
    ControlKind kind;
  } const kinds[] = {{"push", 1, kControlKindPushButton},   {"chek", 1, kControlKindCheckBox},
                     {"stat", 1, kControlKindStaticText},   {"edit", 1, kControlKindEditText},
                     {"arro", 1, kControlKindLittleArrows}, {"tabs", 1, kControlKindTabs},
                     {"upan", 2, kControlKindUserPane},     {"user", 1, kControlKindUserPane}};
  for (const auto& k : kinds) {
    ControlID cid{FourCC({k.sig[0], k.sig[1], k.sig[2], k.sig[3], 0}), k.id};
    ControlRef c = nullptr;
    ASSERT_EQ(GetControlByID(w, &cid, &c), noErr) << k.sig;
    EXPECT_EQ(GetControlKind(c), k.kind) << k.sig;
    EXPECT_EQ(GetControlOwner(c), w);
  }
  ControlID missing{FourCC("push"), 2};
  ControlRef c = nullptr;
  EXPECT_EQ(GetControlByID(w, &missing, &c), errUnknownControl);

  Rect b;
  GetControlBounds(Control(w, "push", 1), &b);
  EXPECT_EQ(b.left, 10);
  EXPECT_EQ(b.top, 10);
  EXPECT_EQ(b.right, 90);
  EXPECT_EQ(b.bottom, 36);
  // A control inside a tab's pane has window-local bounds too.
  ControlRef inner = Control(w, "chek", 2);
  ControlRef pane2 = nullptr;
  ASSERT_EQ(GetIndexedSubControl(Control(w, "tabs", 1), 2, &pane2), noErr);
  EXPECT_EQ(pane2, Control(w, "upan", 2));
  Rect pb;
  GetControlBounds(pane2, &pb);
  GetControlBounds(inner, &b);
  EXPECT_EQ(b.left, pb.left + 10);
  EXPECT_EQ(b.top, pb.top + 10);

  UInt32 cmd = 0;
  GetControlCommandID(Control(w, "push", 1), &cmd);
  EXPECT_EQ(cmd, FourCC("bttn"));
  DisposeWindow(w);
}

TEST(PlatformWindows, VisibilityIsLatentUnderAHiddenEmbedder) {
  WindowRef w = MakeWindow("TestWindow");
  ControlRef tabs = Control(w, "tabs", 1), inner = Control(w, "chek", 2);
  EXPECT_EQ(GetControlValue(tabs), 1);
  EXPECT_EQ(GetControlMaximum(tabs), 3);
  EXPECT_FALSE(IsControlVisible(inner));  // its tab is not selected
  SetControlValue(tabs, 2);
  EXPECT_TRUE(IsControlVisible(inner));
  SetControlVisibility(tabs, false, false);
  EXPECT_FALSE(IsControlVisible(inner));
  EXPECT_TRUE(IsControlLatentlyVisible(inner));
  SetControlVisibility(tabs, true, true);
  EXPECT_TRUE(IsControlVisible(inner));
  SetControlValue(tabs, 9);  // clamped
  EXPECT_EQ(GetControlValue(tabs), 3);
  DisposeWindow(w);
}

TEST(PlatformWindows, ControlTextIsUTF8) {
  WindowRef w = MakeWindow("TestWindow");
  ControlRef edit = Control(w, "edit", 1);
  const char* text = "Zürich – 東京";
  ASSERT_EQ(SetControlData(edit, 0, kControlEditTextCFStringTag, UInt32(std::strlen(text)), text),
            noErr);
  UInt32 size = 0;
  GetControlDataSize(edit, 0, kControlEditTextCFStringTag, &size);
  EXPECT_EQ(size, std::strlen(text));
  std::vector<char> buf(size + 1, 0);
  GetControlData(edit, 0, kControlEditTextCFStringTag, size, buf.data(), nullptr);
  EXPECT_STREQ(buf.data(), text);
  // Broken UTF-8 is refused and the text stays.
  const char bad[] = "a\xC3";
  EXPECT_EQ(SetControlData(edit, 0, kControlEditTextCFStringTag, 2, bad), paramErr);
  GetControlDataSize(edit, 0, kControlEditTextCFStringTag, &size);
  EXPECT_EQ(size, std::strlen(text));
  // A user pane takes no text.
  EXPECT_EQ(SetControlData(Control(w, "user", 1), 0, kControlEditTextCFStringTag, 1, "x"),
            errDataNotSupported);
  // A locked text shows its text but takes no typing, until it is unlocked.
  Boolean on = 1, got = 0;
  ASSERT_EQ(SetControlData(edit, 0, kControlEditTextLockedTag, sizeof on, &on), noErr);
  EXPECT_EQ(GetControlData(edit, 0, kControlEditTextLockedTag, sizeof got, &got, nullptr), noErr);
  EXPECT_EQ(got, 1);
  auto* line = qobject_cast<QLineEdit*>(PlatformControlWidget(edit));
  ASSERT_NE(line, nullptr);
  line->setFocus();
  QTest::keyClicks(line, "typed");
  EXPECT_EQ(line->text().toStdString(), text);
  on = 0;
  SetControlData(edit, 0, kControlEditTextLockedTag, sizeof on, &on);
  QTest::keyClicks(line, "!");
  EXPECT_NE(line->text().toStdString(), text);
  EXPECT_EQ(SetControlData(Control(w, "user", 1), 0, kControlEditTextLockedTag, sizeof on, &on),
            errDataNotSupported);
  DisposeWindow(w);
}

TEST(PlatformWindows, QtClicksBecomeContentClicksHitsAndCommands) {
  WindowRef w = MakeWindow("TestWindow");
  Log wl, al;
  const EventTypeSpec kinds[] = {{kEventClassWindow, kEventWindowClickContentRgn},
                                 {kEventClassCommand, kEventCommandProcess},
                                 {kEventClassControl, kEventControlHit}};
  EventHandlerRef wh = nullptr, ah = nullptr;
  InstallEventHandler(GetWindowEventTarget(w), LogEvent, 3, kinds, &wl, &wh);
  InstallEventHandler(GetApplicationEventTarget(), LogEvent, 1, &kinds[1], &al, &ah);

  // A push button: the window sees the click, Qt tracks it, the hit sends the command to the
  // window and then the application.
  QTest::mouseClick(PlatformControlWidget(Control(w, "push", 1)), Qt::LeftButton);
  ASSERT_GE(wl.events.size(), 3u);
  EXPECT_EQ(wl.events[0],
            std::make_pair(UInt32(kEventClassWindow), UInt32(kEventWindowClickContentRgn)));
  EXPECT_EQ(wl.commands, std::vector<UInt32>{FourCC("bttn")});
  EXPECT_EQ(al.commands, std::vector<UInt32>{FourCC("bttn")});

  // A check box toggles.
  ControlRef check = Control(w, "chek", 1);
  QTest::mouseClick(PlatformControlWidget(check), Qt::LeftButton);
  EXPECT_EQ(GetControlValue(check), 1);

  // A window handler that takes the click keeps it from the control.
  wl.result = noErr;
  QTest::mouseClick(PlatformControlWidget(check), Qt::LeftButton);
  EXPECT_EQ(GetControlValue(check), 1);
  wl.result = eventNotHandledErr;

  // Little arrows are not stepped by the layer; a click on an arrow is a hit with its command.
  ControlRef arrows = Control(w, "arro", 1);
  auto* spin = static_cast<QSpinBox*>(PlatformControlWidget(arrows));
  QStyleOptionSpinBox opt;
  opt.initFrom(spin);
  opt.subControls = QStyle::SC_All;
  QRect up = spin->style()->subControlRect(QStyle::CC_SpinBox, &opt, QStyle::SC_SpinBoxUp, spin);
  wl.commands.clear();
  QTest::mouseClick(spin, Qt::LeftButton, {}, up.center());
  EXPECT_EQ(GetControlValue(arrows), 0);
  EXPECT_EQ(wl.commands, std::vector<UInt32>{FourCC("step")});
  EXPECT_EQ(TestControl(arrows, Point{short(10 + up.center().y()), short(300 + up.center().x())}),
            kControlUpButtonPart);

  // A tab click selects the tab and sends a hit.
  auto* tw = static_cast<QTabWidget*>(PlatformControlWidget(Control(w, "tabs", 1)));
  wl.events.clear();
  QTest::mouseClick(tw->tabBar(), Qt::LeftButton, {}, tw->tabBar()->tabRect(2).center());
  EXPECT_EQ(GetControlValue(Control(w, "tabs", 1)), 3);
  EXPECT_NE(std::find(wl.events.begin(), wl.events.end(),
                      std::make_pair(UInt32(kEventClassControl), UInt32(kEventControlHit))),
            wl.events.end());
  RemoveEventHandler(ah);
  DisposeWindow(w);
}

TEST(PlatformWindows, MenuCommandsGoToTheWindowThenTheApplication) {
  WindowRef early = MakeWindow("PlainWindow");
  MenuRef m = nullptr;
  CreateNewMenu(200, "Tools", &m);
  MenuItemIndex i1 = 0, i2 = 0;
  AppendMenuItemText(m, "Alpha", FourCC("alfa"), &i1);
  AppendMenuItemText(m, "Beta", FourCC("beta"), &i2);
  InsertMenu(m, 0);
  // A window made before the menu bar changed keeps its content size under the new bar.
  EXPECT_EQ(PlatformContentWidget(early)->size(), QSize(400, 300));
  EXPECT_GT(PlatformFrameWidget(early)->height(), 300);
  DisposeWindow(early);
  WindowRef w = MakeWindow("PlainWindow");
  Log wl, al;
  const EventTypeSpec cmds = {kEventClassCommand, kEventCommandProcess};
  EventHandlerRef wh = nullptr, ah = nullptr;
  InstallEventHandler(GetWindowEventTarget(w), LogEvent, 1, &cmds, &wl, &wh);
  InstallEventHandler(GetApplicationEventTarget(), LogEvent, 1, &cmds, &al, &ah);
  auto* bar = PlatformFrameWidget(w)->findChild<QMenuBar*>();
  ASSERT_NE(bar, nullptr);
  QAction* beta = nullptr;
  for (QAction* top : bar->actions())
    for (QAction* a : top->menu()->actions())
      if (a->text().remove('&') == "Beta") beta = a;
  ASSERT_NE(beta, nullptr);
  beta->trigger();
  EXPECT_EQ(wl.commands, std::vector<UInt32>{FourCC("beta")});
  EXPECT_EQ(al.commands, std::vector<UInt32>{FourCC("beta")});
  wl.result = noErr;  // taken by the window: the application does not see it
  beta->trigger();
  EXPECT_EQ(al.commands.size(), 1u);

  MenuRef found = nullptr;
  MenuItemIndex at = 0;
  EXPECT_EQ(GetIndMenuItemWithCommandID(nullptr, FourCC("beta"), 1, &found, &at), noErr);
  EXPECT_EQ(found, m);
  EXPECT_EQ(at, 2);
  CheckMenuItem(m, 2, true);
  DisableMenuItem(m, 1);
  EXPECT_TRUE(beta->isChecked());
  EXPECT_TRUE(IsMenuItemChecked(m, 2));
  EXPECT_FALSE(IsMenuItemEnabled(m, 1));
  RemoveEventHandler(ah);
  DisposeWindow(w);
  DisposeMenu(m);
  EXPECT_FALSE(IsValidMenu(m));
  CheckMenuItem(m, 2, false);  // stale: refused
}

TEST(PlatformWindows, CloseWithoutAHandlerDisposesAndTheHandleGoesStale) {
  WindowRef w = MakeWindow("TestWindow");
  ControlRef push = Control(w, "push", 1);
  PlatformFrameWidget(w)->close();
  EXPECT_FALSE(IsValidWindowPtr(w));
  EXPECT_FALSE(IsValidControlHandle(push));
  EXPECT_EQ(GetWindowEventTarget(w), nullptr);
  ShowWindow(w);
  SizeWindow(w, 10, 10, true);
  SetPortWindowPort(w);
  EraseRect(nullptr);
  SetControlValue(push, 1);
  EXPECT_EQ(GetControlValue(push), 0);
  QApplication::processEvents();
}

TEST(PlatformWindows, PortDrawingShowsInTheGrabbedWindow) {
  WindowRef w = MakeWindow("PlainWindow");
  GrafPtr before = nullptr;
  GDHandle dev = nullptr;
  GetGWorld(&before, &dev);
  SetPortWindowPort(w);
  RGBColor red{0xFFFF, 0, 0};
  RGBForeColor(&red);
  Rect r{20, 30, 60, 90};
  PaintRect(&r);
  RGBColor black{0, 0, 0};
  RGBForeColor(&black);
  Rect f{100, 100, 150, 200};
  FrameRect(&f);
  SetGWorld(before, dev);
  EXPECT_EQ(GetPortPixel(w, 30, 20), 0xFF0000u);
  EXPECT_EQ(GetPortPixel(w, 89, 59), 0xFF0000u);
  EXPECT_EQ(GetPortPixel(w, 90, 60), 0xFFFFFFu);
  EXPECT_EQ(GetPortPixel(w, 100, 120), 0x000000u);  // the frame's left edge
  EXPECT_EQ(GetPortPixel(w, 150, 120), 0xFFFFFFu);  // inside it
  QImage img = PlatformContentWidget(w)->grab().toImage();
  EXPECT_EQ(img.pixel(40, 30) & 0xFFFFFF, 0xFF0000u);
  EXPECT_EQ(img.pixel(199, 149) & 0xFFFFFF, 0u);

  // A painter on the port: an outline drawn twice in exclusive-or leaves the picture as it was.
  auto outline = [w] {
    PortPainter p(GetWindowPort(w));
    p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    p.setPen(Qt::white);
    p.drawRect(25, 15, 40, 30);
  };
  outline();
  EXPECT_EQ(GetPortPixel(w, 65, 30), 0x00FFFFu);  // on the outline's right side, over red
  outline();
  EXPECT_EQ(GetPortPixel(w, 65, 30), 0xFF0000u);
  EXPECT_EQ(GetPortPixel(w, 25, 30), 0xFFFFFFu);
  {
    PortPainter p;  // the current port
    SetPortWindowPort(w);
    PortPainter q;
    EXPECT_FALSE(p.isActive());
    ASSERT_TRUE(q.isActive());
    q.setPen(Qt::NoPen);
    q.setBrush(Qt::blue);
    q.drawRoundedRect(QRect(250, 200, 60, 40), 8, 8);
  }
  EXPECT_EQ(GetPortPixel(w, 280, 220), 0x0000FFu);
  DisposeWindow(w);
  EXPECT_FALSE(PortPainter(GetWindowPort(w)).isActive());
}

TEST(PlatformWindows, ListsSelectScrollAndTellDoubleClicks) {
  SetManualPlatformClock(true);
  WindowRef w = MakeWindow("PlainWindow");
  Rect view{10, 10, 110, 110};
  ListHandle lh = LNew(&view, 20, 1, Point{20, 100}, w);
  ASSERT_TRUE(IsValidList(lh));
  LSetCell("first", 5, Point{0, 0}, lh);
  LSetCell("second", 6, Point{1, 0}, lh);
  char buf[16];
  short len = sizeof buf;
  ASSERT_TRUE(LGetCell(buf, &len, Point{1, 0}, lh));
  EXPECT_EQ(std::string(buf, size_t(len)), "second");
  EXPECT_FALSE(LClick(Point{35, 20}, 0, lh));  // row 1
  Cell sel(0, 0);
  ASSERT_TRUE(LGetSelect(true, &sel, lh));
  EXPECT_EQ(sel.v, 1);
  AdvancePlatformClock(0.3);
  EXPECT_TRUE(LClick(Point{35, 20}, 0, lh));  // within 0.4 s: double
  AdvancePlatformClock(0.1);
  EXPECT_FALSE(LClick(Point{35, 20}, 0, lh));  // a third click starts over
  AdvancePlatformClock(0.5);
  EXPECT_FALSE(LClick(Point{35, 20}, 0, lh));  // too late
  EXPECT_FALSE(LClick(Point{15, 20}, 0, lh));  // another cell
  LScroll(0, 100, lh);
  EXPECT_EQ(LGetScroll(lh).v, 15);  // 20 rows, 5 in view
  LScroll(0, -100, lh);
  EXPECT_EQ(LGetScroll(lh).v, 0);
  LUpdate(&view, lh);
  EXPECT_EQ(GetPortPixel(w, 50, 20), 0x3060C0u);  // the selected row 0
  EXPECT_EQ(GetPortPixel(w, 50, 40), 0xFFFFFFu);
  DisposeWindow(w);
  EXPECT_FALSE(IsValidList(lh));
  EXPECT_FALSE(LClick(Point{35, 20}, 0, lh));
  SetManualPlatformClock(false);
}

TEST(PlatformWindows, WindowsAreMadeHiddenAndOnlyDocumentWindowsHaveTheMenuBar) {
  IBNibRef nib = nullptr;
  ASSERT_EQ(CreateNibReference("test", &nib), noErr);
  ASSERT_EQ(SetMenuBarFromNib(nib, "MainMenu"), noErr);
  std::vector<WindowRef> docs, dialogs;
  for (int i = 0; i < 22; ++i) {
    WindowRef w = nullptr;
    ASSERT_EQ(CreateWindowFromNib(nib, i < 4 ? "TestWindow" : "ControlsDialog", &w), noErr);
    (i < 4 ? docs : dialogs).push_back(w);
  }
  DisposeNibReference(nib);
  for (QWidget* top : QApplication::topLevelWidgets()) EXPECT_FALSE(top->isVisible());
  for (WindowRef w : docs) {
    WindowClass c = 0;
    GetWindowClass(w, &c);
    EXPECT_EQ(c, kDocumentWindowClass);
    auto* bar = PlatformFrameWidget(w)->findChild<QMenuBar*>();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->actions().size(), 2);
  }
  for (WindowRef w : dialogs) {
    WindowClass c = 0;
    GetWindowClass(w, &c);
    EXPECT_EQ(c, kMovableModalWindowClass);
    EXPECT_EQ(PlatformFrameWidget(w)->findChild<QMenuBar*>(), nullptr);
    EXPECT_FALSE(IsWindowVisible(w));
  }
  // Laid out while hidden: bounds are known, and the content keeps the form's size.
  Rect b;
  GetControlBounds(Control(dialogs[0], "cfrm", 129), &b);
  EXPECT_EQ(b.left, 290);
  EXPECT_EQ(b.bottom, 248);
  EXPECT_EQ(PlatformContentWidget(docs[0])->size(), QSize(400, 300));
  for (WindowRef w : docs) DisposeWindow(w);
  for (WindowRef w : dialogs) DisposeWindow(w);
  DisposeMenu(GetMenuHandle(129));
  DisposeMenu(GetMenuHandle(258));
}

TEST(PlatformWindows, WidgetsThatAreNotControlsStillTakeClicks) {
  WindowRef w = MakeWindow("ControlsDialog");
  auto* box = PlatformContentWidget(w)->findChild<QCheckBox*>("unnamedBox");
  ASSERT_NE(box, nullptr);
  QTest::mouseClick(box, Qt::LeftButton);
  EXPECT_TRUE(box->isChecked());
  DisposeWindow(w);
}

TEST(PlatformWindows, ReturnAndEscapePressTheDefaultAndCancelButtons) {
  WindowRef w = MakeWindow("ControlsDialog");
  Log wl;
  LogHandler h(GetWindowEventTarget(w), {{kEventClassCommand, kEventCommandProcess}}, &wl);
  ControlRef ok = Control(w, "cfrm", 129), cancel = Control(w, "cfrm", 130);
  ControlRef edit = Control(w, "inpt", 129), role = nullptr;
  GetWindowDefaultButton(w, &role);
  EXPECT_EQ(role, ok);
  GetWindowCancelButton(w, &role);
  EXPECT_EQ(role, cancel);
  SetKeyboardFocus(w, edit, kControlEditTextPart);
  ControlRef focus = nullptr;
  GetKeyboardFocus(w, &focus);
  EXPECT_EQ(focus, edit);
  QWidget* line = PlatformControlWidget(edit);
  QTest::keyClick(line, Qt::Key_Return);
  QTest::keyClick(line, Qt::Key_Escape);
  EXPECT_EQ(wl.commands, (std::vector<UInt32>{FourCC("ok  "), FourCC("not!")}));
  // The default moves, goes, and a disabled one is not pressed.
  SetWindowDefaultButton(w, cancel);
  EXPECT_TRUE(static_cast<QPushButton*>(PlatformControlWidget(cancel))->isDefault());
  EXPECT_FALSE(static_cast<QPushButton*>(PlatformControlWidget(ok))->isDefault());
  QTest::keyClick(line, Qt::Key_Enter);
  DisableControl(cancel);
  QTest::keyClick(line, Qt::Key_Return);
  SetWindowDefaultButton(w, nullptr);
  EnableControl(cancel);
  QTest::keyClick(line, Qt::Key_Return);
  EXPECT_EQ(wl.commands.size(), 3u);
  ClearKeyboardFocus(w);
  GetKeyboardFocus(w, &focus);
  EXPECT_EQ(focus, nullptr);
  DisposeWindow(w);
}

TEST(PlatformWindows, TitleBoundsScreensAndAFramelessFullScreen) {
  WindowRef w = MakeWindow("TestWindow");
  ASSERT_EQ(SetWindowTitle(w, "Zürich"), noErr);
  EXPECT_EQ(SetWindowTitle(w, "bad \xC3"), paramErr);
  char title[16] = {};
  UInt32 n = 0;
  GetWindowTitle(w, title, sizeof title, &n);
  EXPECT_EQ(std::string(title, n), "Zürich");

  const Rect b{100, 50, 400, 450};
  Rect got;
  ASSERT_EQ(SetWindowBounds(w, kWindowContentRgn, &b), noErr);
  GetWindowBounds(w, kWindowContentRgn, &got);
  EXPECT_EQ(std::make_tuple(got.top, got.left, got.bottom, got.right),
            std::make_tuple(b.top, b.left, b.bottom, b.right));
  GDHandle dev = nullptr;
  Rect screen, avail;
  ASSERT_EQ(GetWindowGreatestAreaDevice(w, kWindowContentRgn, &dev, &screen), noErr);
  ASSERT_EQ(GetAvailableWindowPositioningBounds(dev, &avail), noErr);
  const QRect sg = QGuiApplication::screens()[0]->geometry();
  EXPECT_EQ(screen.right - screen.left, sg.width());

  // Over the whole screen, reaching past its edges: no frame and no menu bar; back again.
  QWidget* frame = PlatformFrameWidget(w);
  const Rect full{short(screen.top - 2), short(screen.left - 2), short(screen.bottom + 40),
                  short(screen.right + 17)};
  HideMenuBar();
  SetWindowBounds(w, kWindowContentRgn, &full);
  EXPECT_TRUE(frame->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(IsWindowVisible(w));
  GetWindowBounds(w, kWindowContentRgn, &got);
  EXPECT_EQ(std::make_tuple(got.top, got.left, got.bottom, got.right),
            std::make_tuple(full.top, full.left, full.bottom, full.right));
  ShowMenuBar();
  SetWindowBounds(w, kWindowContentRgn, &b);
  EXPECT_FALSE(frame->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(PlatformContentWidget(w)->size(), QSize(400, 300));
  DisposeWindow(w);
}

TEST(PlatformWindows, ActivationBringsFocusEventsAndHidingIsAnEvent) {
  const std::vector<EventTypeSpec> kinds = {{kEventClassWindow, kEventWindowActivated},
                                            {kEventClassWindow, kEventWindowDeactivated},
                                            {kEventClassWindow, kEventWindowFocusAcquired},
                                            {kEventClassWindow, kEventWindowFocusRelinquish},
                                            {kEventClassWindow, kEventWindowHidden}};
  WindowRef a = MakeWindow("PlainWindow", false), b = MakeWindow("ControlsDialog", false);
  Log la, lb;
  LogHandler ha(GetWindowEventTarget(a), kinds, &la), hb(GetWindowEventTarget(b), kinds, &lb);
  ShowWindow(a);
  SelectWindow(a);
  QApplication::processEvents();
  ShowWindow(b);
  SelectWindow(b);
  QApplication::processEvents();
  HideWindow(b);
  typedef std::pair<UInt32, UInt32> E;
  const UInt32 W = kEventClassWindow;
  EXPECT_EQ(la.events, (std::vector<E>{{W, kEventWindowActivated},
                                       {W, kEventWindowFocusAcquired},
                                       {W, kEventWindowDeactivated},
                                       {W, kEventWindowFocusRelinquish}}));
  ASSERT_GE(lb.events.size(), 3u);
  EXPECT_EQ(lb.events[0], E(W, kEventWindowActivated));
  EXPECT_EQ(lb.events[1], E(W, kEventWindowFocusAcquired));
  EXPECT_EQ(lb.events.back(), E(W, kEventWindowHidden));
  EXPECT_EQ(ActiveNonFloatingWindow(), a);
  DisposeWindow(a);
  DisposeWindow(b);
}
