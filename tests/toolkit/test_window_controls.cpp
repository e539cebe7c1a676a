#include <gtest/gtest.h>

#include <QMenuBar>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include "toolkit/pcommand.h"
#include "platform/pmenu.h"
#include "test_window.h"
#include "testutil/message_log.h"

namespace {

QPoint ArrowPoint(QSpinBox* spin, QStyle::SubControl which) {
  QStyleOptionSpinBox opt;
  opt.initFrom(spin);
  opt.subControls = QStyle::SC_All;
  return spin->style()->subControlRect(QStyle::CC_SpinBox, &opt, which, spin).center();
}

void ClickTab(PTabControlDrawer* tabs, int tab) {
  auto* tw = static_cast<QTabWidget*>(WidgetOf(tabs));
  QTest::mouseClick(tw->tabBar(), Qt::LeftButton, {}, tw->tabBar()->tabRect(tab - 1).center());
}

}  // namespace

TEST(WindowControls, QtClicksReachTheirDrawersAndHandlers) {
  FullWindow win;
  WindowPtr w = win.CreateWindow("test");
  ASSERT_NE(w, nullptr);
  win.Redraw();

  QTest::mouseClick(WidgetOf(win.push), Qt::LeftButton);
  EXPECT_EQ(win.commands, std::vector<UInt32>{FourCC("bttn")});
  QTest::mouseClick(WidgetOf(win.check), Qt::LeftButton);
  EXPECT_EQ(GetControlValue(win.check->GetControl()), 1);

  // The stepper's drawer steps it on an arrow click; the hit then sends its command.
  auto* spin = static_cast<QSpinBox*>(WidgetOf(win.arrows));
  win.commands.clear();
  QTest::mouseClick(spin, Qt::LeftButton, {}, ArrowPoint(spin, QStyle::SC_SpinBoxUp));
  EXPECT_EQ(spin->value(), 1);
  EXPECT_EQ(win.commands, std::vector<UInt32>{FourCC("step")});
  QTest::mouseClick(spin, Qt::LeftButton, {}, ArrowPoint(spin, QStyle::SC_SpinBoxDown));
  QTest::mouseClick(spin, Qt::LeftButton, {}, ArrowPoint(spin, QStyle::SC_SpinBoxDown));
  EXPECT_EQ(spin->value(), 0);  // not below its minimum

  // At its maximum an up click and an upward wheel notch change nothing; the wheel is still
  // taken, and a step that happens sends the command.
  SetControlValue(win.arrows->GetControl(), 5);
  QTest::mouseClick(spin, Qt::LeftButton, {}, ArrowPoint(spin, QStyle::SC_SpinBoxUp));
  EXPECT_EQ(spin->value(), 5);
  Rect b = win.arrows->extent;
  Point inside{short(b.top + 2), short(b.left + 2)};
  win.commands.clear();
  EXPECT_TRUE(win.arrows->Wheel(inside, 0, 1, nullptr));
  EXPECT_EQ(spin->value(), 5);
  EXPECT_TRUE(win.commands.empty());
  EXPECT_TRUE(win.arrows->Wheel(inside, 0, -2, nullptr));
  EXPECT_EQ(spin->value(), 3);
  EXPECT_EQ(win.commands, std::vector<UInt32>{FourCC("step")});
  EXPECT_FALSE(win.arrows->Wheel(inside, 0, 0, nullptr));
  QWheelEvent wheel(QPointF(5, 5), spin->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, 120),
                    Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(spin, &wheel);
  EXPECT_EQ(spin->value(), 4);  // through Qt: one notch up

  // A tab click goes through the tab control's handler to Select.
  ClickTab(win.tabs, 2);
  EXPECT_EQ(win.tabs->GetSelected(), 2);
  EXPECT_TRUE(win.pane2->IsVisible());
  EXPECT_TRUE(win.inner->IsVisible());
  EXPECT_TRUE(IsControlVisible(win.inner->GetControl()));
  QTest::mouseClick(WidgetOf(win.inner), Qt::LeftButton);
  EXPECT_EQ(GetControlValue(win.inner->GetControl()), 1);
  ClickTab(win.tabs, 3);
  EXPECT_FALSE(win.inner->IsVisible());
  EXPECT_FALSE(IsControlVisible(win.inner->GetControl()));
  EXPECT_TRUE(win.pane3->IsVisible());

  // A click on the painted pane reaches its drawer; a click on the list selects a row, and
  // two within 0.4 s on the platform clock are a double click.
  SetManualPlatformClock(true);
  QWidget* content = PlatformContentWidget(w);
  QTest::mouseClick(content, Qt::LeftButton, {}, QPoint(340, 60));
  EXPECT_EQ(win.painter->clicks, 1);
  QTest::mouseClick(content, Qt::LeftButton, {}, QPoint(20, 250));
  EXPECT_FALSE(win.list->dblClick);
  AdvancePlatformClock(0.2);
  QTest::mouseClick(content, Qt::LeftButton, {}, QPoint(20, 250));
  EXPECT_TRUE(win.list->dblClick);
  Cell sel(0, 0);
  ASSERT_TRUE(LGetSelect(true, &sel, win.list->GetList()));
  EXPECT_EQ(sel.v, 0);
  SetManualPlatformClock(false);
}

TEST(WindowControls, GrabbedWindowShowsTheDrawersPainting) {
  FullWindow win;
  WindowPtr w = win.CreateWindow("test");
  ASSERT_NE(w, nullptr);
  win.Redraw();
  win.tabs->Select(3);
  QImage img = PlatformContentWidget(w)->grab().toImage();
  ASSERT_FALSE(img.isNull());
  img.save(QString::fromUtf8(::testing::TempDir().c_str()) + "toolkit_window.png");
  const Rect p = win.painter->extent;
  EXPECT_EQ(img.pixel(p.left, p.top) & 0xFFFFFF, 0u);                 // frame
  EXPECT_EQ(img.pixel(p.left + 5, p.top + 5) & 0xFFFFFF, 0xFF0000u);  // fill
  EXPECT_EQ(img.pixel(p.right, p.top + 5) & 0xFFFFFF, 0xFFFFFFu);     // erased beside
  const Rect t = win.pane3->extent;
  EXPECT_EQ(GetPortPixel(w, short(t.left + 5), short(t.top + 5)), 0xFF0000u);
  // The list drew its rows into the port: dark text on white.
  bool dark = false;
  for (int x = 12; x < 60; ++x)
    for (int y = 240; y < 255; ++y) dark |= (GetPortPixel(w, short(x), short(y)) & 0xFF) < 0x80;
  EXPECT_TRUE(dark);

  // A table of more rows than 16 bits count takes text in its last row.
  Rect view{20, 20, 120, 200};
  PListDrawer big(LNew(&view, 40000, 2, Point{16, 90}, w));
  big.SetCell("last", 39999, 1);
  char text[8];
  short len = sizeof text;
  ASSERT_TRUE(LGetCell(text, &len, Cell(39999, 1), big.GetList()));
  EXPECT_EQ(std::string(text, size_t(len)), "last");
}

TEST(WindowControls, TabsTakeOnePanePerTabAndSelectSafely) {
  FullWindow win;
  WindowPtr w = win.CreateWindow("test");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(win.tabs->CountTabs(), 3);
  // A pane built over controls of the form leaves them where the form put them: 10 pixels
  // into the tab's pane.
  Rect pane, inner;
  GetTabContentRect(win.tabs->GetControl(), &pane);
  win.Redraw();
  win.tabs->Select(2);
  GetControlBounds(win.inner->GetControl(), &inner);
  EXPECT_EQ(inner, R(pane.top + 10, pane.left + 10, pane.top + 34, pane.left + 90));
  EXPECT_EQ(win.inner->extent, inner);
  win.tabs->Select(1);
  PEmptyDrawer* extra = new PEmptyDrawer;
  EXPECT_EQ(win.tabs->AddTab(extra), 0);  // a fourth tab of three
  delete extra;
  EXPECT_EQ(win.tabs->GetTabDrawer(0), win.tabs->GetTabDrawer(1));
  EXPECT_EQ(win.tabs->GetTabDrawer(4), nullptr);
  EXPECT_EQ(win.tabs->GetChild(1), win.pane2);
  EXPECT_EQ(win.tabs->GetChild(-1), nullptr);

  EXPECT_EQ(win.tabs->Select(0), 1);
  EXPECT_EQ(win.tabs->Select(1), 1);
  EXPECT_EQ(win.tabs->Select(4), 0);
  EXPECT_EQ(win.tabs->GetSelected(), 1);
  EXPECT_EQ(GetControlValue(win.tabs->GetControl()), 1);

  // Selected while hidden, the whole switch is kept and shows when the tab control does.
  win.tabs->Show(0);
  win.pane3->redraws = 0;
  EXPECT_EQ(win.tabs->Select(3), 3);
  EXPECT_EQ(GetControlValue(win.tabs->GetControl()), 3);
  EXPECT_FALSE(win.pane3->IsVisible());
  EXPECT_EQ(win.pane3->redraws, 0);
  ControlRef up3 = nullptr, up1 = nullptr;
  GetIndexedSubControl(win.tabs->GetControl(), 3, &up3);
  GetIndexedSubControl(win.tabs->GetControl(), 1, &up1);
  EXPECT_TRUE(IsControlEnabled(up3));
  EXPECT_FALSE(IsControlEnabled(up1));
  win.tabs->Show(1);
  EXPECT_TRUE(win.pane3->IsVisible());
  EXPECT_GE(win.pane3->redraws, 1);
  EXPECT_FALSE(win.tabs->GetTabDrawer(1)->IsVisible());
  EXPECT_TRUE(IsControlVisible(up3));
  (void)w;
}

TEST(WindowControls, MenuActionsAndCommandHelpers) {
  MenuRef m = nullptr;
  CreateNewMenu(300, "Edit", &m);
  AppendMenuItemText(m, "Pass", FourCC("pass"), nullptr);
  AppendMenuItemText(m, "Take", FourCC("take"), nullptr);
  AppendMenuItemText(m, "Third", FourCC("thrd"), nullptr);
  InsertMenu(m, 0);
  FullWindow win;
  WindowPtr w = win.CreateWindow("test");
  ASSERT_NE(w, nullptr);
  std::vector<UInt32> app;
  const EventTypeSpec cmds = {kEventClassCommand, kEventCommandProcess};
  EventHandlerRef h = nullptr;
  InstallEventHandler(
      GetApplicationEventTarget(),
      [](EventHandlerCallRef, EventRef ev, void* ud) -> OSStatus {
        HICommand c;
        GetEventParameter(ev, kEventParamDirectObject, typeHICommand, nullptr, sizeof c, nullptr,
                          &c);
        static_cast<std::vector<UInt32>*>(ud)->push_back(c.commandID);
        return noErr;
      },
      1, &cmds, &app, &h);
  auto* bar = PlatformFrameWidget(w)->findChild<QMenuBar*>();
  ASSERT_NE(bar, nullptr);
  QList<QAction*> items = bar->actions().at(0)->menu()->actions();
  items[0]->trigger();  // the window does not take 'pass': it goes on to the application
  items[1]->trigger();
  EXPECT_EQ(win.commands, (std::vector<UInt32>{FourCC("pass"), FourCC("take")}));
  EXPECT_EQ(app, std::vector<UInt32>{FourCC("pass")});

  checkMenuCommand(FourCC("take"), true);
  EXPECT_TRUE(items[1]->isChecked());
  checkMenuCommand(FourCC("take"), false);
  EXPECT_FALSE(IsMenuItemChecked(m, 2));
  enableMenuCommand(FourCC("thrd"), false);
  EXPECT_FALSE(items[2]->isEnabled());
  enableCommandSiblings(FourCC("pass"), false);
  for (QAction* a : items) EXPECT_FALSE(a->isEnabled());
  enableCommandSiblings(FourCC("none"), true);  // in no menu: nothing changes
  EXPECT_FALSE(IsMenuItemEnabled(m, 1));
  enableCommandSiblings(FourCC("take"), true);
  for (int i = 1; i <= 3; ++i) EXPECT_TRUE(IsMenuItemEnabled(m, MenuItemIndex(i)));
  RemoveEventHandler(h);
  win.DestroyWindow();
  DisposeMenu(m);
}
