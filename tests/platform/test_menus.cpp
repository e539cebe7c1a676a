#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QTimer>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/pmenu.h"
#include "platform/pmouse.h"
#include "platform/pqt.h"
#include "platform_util.h"

namespace {

// The test nib's menu bar: File (129: open, "dir ", a line, Recent with cat1 and cat2, quit)
// and Edit (258: undo, redo). Taken down again at the end of each test.
class MenuBarTest : public testing::Test {
 protected:
  void SetUp() override {
    IBNibRef nib = nullptr;
    ASSERT_EQ(CreateNibReference("test", &nib), noErr);
    ASSERT_EQ(SetMenuBarFromNib(nib, "MainMenu"), noErr);
    EXPECT_EQ(SetMenuBarFromNib(nib, "NoSuchBar"), resNotFound);
    DisposeNibReference(nib);
    file = GetMenuHandle(129);
    ASSERT_NE(file, nullptr);
  }
  void TearDown() override {
    DisposeMenu(file);
    DisposeMenu(GetMenuHandle(258));
  }
  MenuRef file = nullptr;
};

MenuCommand CommandAt(MenuRef m, MenuItemIndex i) {
  MenuCommand c = 0;
  GetMenuItemCommandID(m, i, &c);
  return c;
}

// Enables the item of every update that reaches it.
OSStatus EnableOnUpdate(EventHandlerCallRef, EventRef ev, void*) {
  HICommand cmd;
  GetEventParameter(ev, kEventParamDirectObject, typeHICommand, nullptr, sizeof cmd, nullptr, &cmd);
  EnableMenuItem(cmd.menuRef, cmd.menuItemIndex);
  return noErr;
}

}  // namespace

TEST_F(MenuBarTest, TheFormsMenusAreOneSetOfActionsInEveryDocumentWindow) {
  MenuRef m = nullptr, sub = nullptr;
  MenuItemIndex i = 0;
  ASSERT_EQ(GetIndMenuItemWithCommandID(nullptr, FourCC("dir "), 1, &m, &i), noErr);
  EXPECT_EQ(m, file);
  EXPECT_EQ(i, 2);
  EXPECT_EQ(CountMenuItems(file), 5u);  // the line is an item
  MenuRef edit = GetMenuHandle(258);
  EXPECT_EQ(CommandAt(edit, 1), FourCC("undo"));
  EXPECT_EQ(CommandAt(edit, 2), FourCC("redo"));
  ASSERT_EQ(GetIndMenuItemWithCommandID(nullptr, FourCC("cat2"), 1, &m, &i), noErr);
  GetMenuItemHierarchicalMenu(file, 4, &sub);
  EXPECT_EQ(sub, m);
  EXPECT_EQ(i, 2);
  EXPECT_EQ(PlatformMenuItemAction(file, 1)->shortcut(), QKeySequence("Ctrl+O"));

  WindowRef a = MakeWindow("TestWindow"), b = MakeWindow("PlainWindow");
  auto* barA = PlatformFrameWidget(a)->findChild<QMenuBar*>();
  auto* barB = PlatformFrameWidget(b)->findChild<QMenuBar*>();
  ASSERT_EQ(barA->actions().size(), 2);
  EXPECT_EQ(barA->actions(), barB->actions());
  EXPECT_EQ(barA->actions()[0]->menu<QMenu*>(), PlatformMenu(file));

  // Changes happen to the one action; adding or removing items leaves the others alone.
  QAction* open = PlatformMenuItemAction(file, 1);
  DisableMenuItem(file, 1);
  CheckMenuItem(file, 2, true);
  EXPECT_FALSE(open->isEnabled());
  EXPECT_TRUE(PlatformMenuItemAction(file, 2)->isChecked());
  ASSERT_EQ(AppendMenuItemText(file, "Extra", FourCC("xtra"), &i), noErr);
  EXPECT_EQ(i, 6);
  ASSERT_EQ(InsertMenuItemText(file, "First", 0, FourCC("frst"), &i), noErr);
  EXPECT_EQ(i, 1);
  EXPECT_EQ(PlatformMenuItemAction(file, 2), open);
  EXPECT_EQ(PlatformMenu(file)->actions().size(), 7);
  SetMenuItemText(file, 7, "Later");
  char text[8];
  UInt32 n = 0;
  GetMenuItemText(file, 7, text, sizeof text, &n);
  EXPECT_EQ(std::string(text, n), "Later");
  DeleteMenuItem(file, 1);
  DeleteMenuItems(file, 6, 1);
  EXPECT_EQ(PlatformMenuItemAction(file, 1), open);
  EXPECT_EQ(GetIndMenuItemWithCommandID(nullptr, FourCC("xtra"), 1, &m, &i), menuItemNotFoundErr);
  EXPECT_EQ(GetIndMenuItemWithCommandID(nullptr, FourCC("quit"), 1, &m, &i), noErr);
  EXPECT_EQ(i, 5);

  // Hiding the menu bar leaves every content its size.
  QWidget* frame = PlatformFrameWidget(a);
  const int withBar = frame->height();
  HideMenuBar();
  EXPECT_LT(frame->height(), withBar);
  EXPECT_EQ(PlatformContentWidget(a)->height(), 300);
  ShowMenuBar();
  EXPECT_EQ(frame->height(), withBar);
  DisposeWindow(a);
  DisposeWindow(b);
}

TEST_F(MenuBarTest, OpeningAMenuAndChoosingAnItemGoToTheWindowThenTheApplication) {
  WindowRef w = MakeWindow("TestWindow");
  std::vector<std::string> order;
  Log wl, al;
  wl.order = al.order = &order;
  wl.name = "window";
  al.name = "app";
  const std::vector<EventTypeSpec> kinds = {{kEventClassCommand, kEventCommandProcess},
                                            {kEventClassCommand, kEventCommandUpdateStatus}};
  LogHandler wh(GetWindowEventTarget(w), kinds, &wl), ah(GetApplicationEventTarget(), kinds, &al);

  QMenu* menu = PlatformMenu(file);
  menu->popup(QPoint(10, 10));
  menu->hide();
  const std::vector<UInt32> items = {FourCC("open"), FourCC("dir "), FourCC("quit")};
  EXPECT_EQ(wl.updates, items);
  EXPECT_EQ(al.updates, items);
  EXPECT_EQ(order, (std::vector<std::string>{"window", "app", "window", "app", "window", "app"}));
  wl.result = noErr;  // the window takes them: the application hears nothing
  menu->popup(QPoint(10, 10));
  menu->hide();
  EXPECT_EQ(al.updates.size(), 3u);

  // Each opening starts every item greyed: one that no one enabled stays so.
  EXPECT_FALSE(IsMenuItemEnabled(file, 2));
  wl.result = eventNotHandledErr;
  EnableMenuItem(file, 2);
  PlatformMenuItemAction(file, 2)->trigger();
  EXPECT_EQ(wl.commands, std::vector<UInt32>{FourCC("dir ")});
  EXPECT_EQ(al.commands, std::vector<UInt32>{FourCC("dir ")});

  // A shortcut brings its item up to date before it is taken: the stale disabled state goes.
  DisableMenuItem(file, 1);
  const EventTypeSpec update = {kEventClassCommand, kEventCommandUpdateStatus};
  EventHandlerRef enabler = nullptr;
  InstallEventHandler(GetWindowEventTarget(w), EnableOnUpdate, 1, &update, nullptr, &enabler);
  QTest::keyClick(PlatformContentWidget(w), Qt::Key_O, Qt::ControlModifier);
  RemoveEventHandler(enabler);
  EXPECT_TRUE(IsMenuItemEnabled(file, 1));
  EXPECT_EQ(wl.commands.back(), FourCC("open"));
  DisposeWindow(w);
}

// Enables every item of the File menu at each update that reaches it, as a handler that
// enables a whole menu does.
OSStatus EnableAllOnUpdate(EventHandlerCallRef, EventRef, void* menu) {
  MenuRef m = static_cast<MenuRef>(menu);
  for (UInt32 i = 1; i <= CountMenuItems(m); ++i) EnableMenuItem(m, MenuItemIndex(i));
  return noErr;
}

// An item of a command the gate refuses stays greyed whatever the updates say, and comes back
// once the gate lets the command through.
TEST_F(MenuBarTest, AnItemTheGateRefusesStaysGreyed) {
  struct Gate {
    Gate() {
      SetCommandGate([](UInt32 c) { return c == FourCC("dir "); });
    }
    ~Gate() { SetCommandGate(nullptr); }
  };
  WindowRef w = MakeWindow("TestWindow");
  Log wl;
  LogHandler h(GetWindowEventTarget(w), {{kEventClassCommand, kEventCommandProcess}}, &wl);
  const EventTypeSpec update = {kEventClassCommand, kEventCommandUpdateStatus};
  EventHandlerRef enabler = nullptr;
  InstallEventHandler(GetWindowEventTarget(w), EnableAllOnUpdate, 1, &update, file, &enabler);
  QMenu* menu = PlatformMenu(file);
  {
    Gate gate;
    // The updates of the items after it enable it again: opening greys it at the end.
    menu->popup(QPoint(10, 10));
    menu->hide();
    EXPECT_TRUE(IsMenuItemEnabled(file, 1));
    EXPECT_FALSE(IsMenuItemEnabled(file, 2));
    EXPECT_TRUE(IsMenuItemEnabled(file, 5));
    // An update sent by itself, naming no item, greys the first item carrying the command.
    EnableMenuItem(file, 2);
    EventRef ev = nullptr;
    CreateEvent(kEventClassCommand, kEventCommandUpdateStatus, GetCurrentEventTime(), &ev);
    const HICommand dir{0, FourCC("dir "), nullptr, 0};
    SetEventParameter(ev, kEventParamDirectObject, typeHICommand, sizeof dir, &dir);
    SendEventToEventTarget(ev, GetApplicationEventTarget());
    ReleaseEvent(ev);
    EXPECT_FALSE(IsMenuItemEnabled(file, 2));
    // Chosen anyway, it reaches no one.
    ProcessHICommand(&dir);
    EXPECT_TRUE(wl.commands.empty());
  }
  menu->popup(QPoint(10, 10));
  menu->hide();
  EXPECT_TRUE(IsMenuItemEnabled(file, 2));
  const HICommand dir{0, FourCC("dir "), nullptr, 0};
  ProcessHICommand(&dir);
  EXPECT_EQ(wl.commands, std::vector<UInt32>{FourCC("dir ")});
  RemoveEventHandler(enabler);
  DisposeWindow(w);
}

TEST_F(MenuBarTest, AMenuBuiltInCodePopsUpAtTheMouse) {
  WindowRef w = MakeWindow("PlainWindow");
  Log wl;
  LogHandler h(GetWindowEventTarget(w), {{kEventClassCommand, kEventCommandProcess}}, &wl);
  MenuRef op = NewMenu(311, "Operator");
  AppendMenuItemText(op, "Crop", FourCC("crop"), nullptr);
  AppendMenuItemText(op, "RedEye", FourCC("reye"), nullptr);
  auto choose = [](int item) {
    QTimer::singleShot(0, [item] {
      auto* m = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      ASSERT_NE(m, nullptr);
      if (item == 0) {
        m->close();
        return;
      }
      m->setActiveAction(m->actions()[item - 1]);
      QTest::keyClick(m, Qt::Key_Return);
    });
  };
  Point mouse;
  GetGlobalMouse(&mouse);
  choose(2);
  EXPECT_EQ(PopUpMenuSelect(op, mouse.v, mouse.h, 0), (311 << 16) | 2);
  EXPECT_EQ(wl.commands, std::vector<UInt32>{FourCC("reye")});
  choose(0);
  EXPECT_EQ(PopUpMenuSelect(op, mouse.v, mouse.h, 1), 0);
  EXPECT_EQ(wl.commands.size(), 1u);
  DisposeMenu(op);
  EXPECT_FALSE(IsValidMenu(op));
  DisposeWindow(w);
}

// Whatever texts the items take and whichever show, each shown item of a menu underlines a
// letter of its own, and its text reads back as it was given, ampersands too.
TEST_F(MenuBarTest, ShownItemsKeepLettersOfTheirOwnAsTextsChange) {
  static const char* const kTexts[] = {
      "Open", "Open Recent", "Oops", "Tom & Jerry",      "&&",
      "2/3",  "3/2",         "O",    "Undo Set Keyword", "Ünïcode"};
  for (int i = 0; i < 8; ++i) AppendMenuItemText(file, "Item", FourCC("xtra"), nullptr);
  const UInt32 n = CountMenuItems(file);
  std::mt19937 rng(7);
  std::vector<std::string> given(n + 1);
  for (int step = 0; step < 300; ++step) {
    const auto item = static_cast<MenuItemIndex>(1 + rng() % n);
    if (PlatformMenuItemAction(file, item)->isSeparator()) continue;
    if (rng() % 4 == 0) {
      IsMenuItemHidden(file, item) ? ShowMenuItem(file, item) : HideMenuItem(file, item);
    } else {
      given[item] = kTexts[rng() % std::size(kTexts)];
      SetMenuItemText(file, item, given[item].c_str());
    }
    std::set<QChar> letters;
    for (UInt32 i = 1; i <= n; ++i) {
      QAction* a = PlatformMenuItemAction(file, static_cast<MenuItemIndex>(i));
      if (a->isSeparator() || !a->isVisible()) continue;
      const QKeySequence k = QKeySequence::mnemonic(a->text());
      ASSERT_FALSE(k.isEmpty()) << a->text().toStdString();
      EXPECT_TRUE(letters.insert(QChar(k[0].key())).second) << a->text().toStdString();
      char text[64];
      UInt32 len = 0;
      GetMenuItemText(file, static_cast<MenuItemIndex>(i), text, sizeof text, &len);
      if (!given[i].empty()) {
        EXPECT_EQ(std::string(text, len), given[i]);
      }
    }
  }
}
