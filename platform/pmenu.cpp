// The menu bar: menus of items with command codes, shown as actions in each window's menu bar.
#include "platform/pmenu.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <algorithm>

#include "platform/ppriv.h"

using namespace plat;

namespace {

struct ItemRec {
  QString text;
  MenuCommand command;
  bool checked, enabled;
};
struct MenuRec {
  SInt16 menuID;
  QString title;
  std::vector<ItemRec> items;
};
Table<MenuRec>& Menus() {
  static auto* t = new Table<MenuRec>;
  return *t;
}
std::vector<uintptr_t>& Bar() {
  static auto* b = new std::vector<uintptr_t>;
  return *b;
}

void SendMenuCommand(uintptr_t window, uintptr_t menu, int index) {
  MenuRec* m = Menus().Find(menu);
  WindowRec* w = Windows().Find(window);
  if (m == nullptr || index < 1 || index > static_cast<int>(m->items.size())) return;
  HICommand cmd{kHICommandFromMenu, m->items[index - 1].command, ToHandle<MenuRef>(menu),
                static_cast<MenuItemIndex>(index)};
  EventRef ev = nullptr;
  CreateEvent(kEventClassCommand, kEventCommandProcess, GetCurrentEventTime(), &ev);
  SetEventParameter(ev, kEventParamDirectObject, typeHICommand, sizeof cmd, &cmd);
  SendEventToEventTarget(ev, w ? ToHandle<EventTargetRef>(w->target) : GetApplicationEventTarget());
  ReleaseEvent(ev);
}

void RebuildAll() {
  for (const auto& kv : Windows().All()) RebuildMenuBar(kv.second);
}

// Shows an item's state on its action in every window.
void UpdateItem(uintptr_t menu, int index) {
  MenuRec* m = Menus().Find(menu);
  if (m == nullptr || index < 1 || index > static_cast<int>(m->items.size())) return;
  const ItemRec& it = m->items[index - 1];
  for (const auto& kv : Windows().All())
    for (auto& a : kv.second->actions)
      if (a.first == std::make_pair(menu, index) && a.second != nullptr) {
        a.second->setCheckable(it.checked);
        a.second->setChecked(it.checked);
        a.second->setEnabled(it.enabled);
      }
}

ItemRec* Item(MenuRef menu, MenuItemIndex item) {
  MenuRec* m = Menus().Find(menu);
  if (m == nullptr || item < 1 || item > m->items.size()) return nullptr;
  return &m->items[item - 1];
}

}  // namespace

namespace plat {

void RebuildMenuBar(WindowRec* w) {
  if (w->menubar == nullptr) return;
  for (QAction* a : w->menubar->actions())
    if (a->menu()) a->menu()->deleteLater();
  w->menubar->clear();
  w->actions.clear();
  const uintptr_t win = w->id;
  for (uintptr_t id : Bar()) {
    MenuRec* m = Menus().Find(id);
    if (m == nullptr) continue;
    QMenu* qm = w->menubar->addMenu(m->title);
    for (int i = 1; i <= static_cast<int>(m->items.size()); ++i) {
      const ItemRec& it = m->items[i - 1];
      QAction* a = qm->addAction(it.text);
      a->setCheckable(it.checked);
      a->setChecked(it.checked);
      a->setEnabled(it.enabled);
      QObject::connect(a, &QAction::triggered, [win, id, i] { SendMenuCommand(win, id, i); });
      w->actions.push_back({{id, i}, a});
    }
  }
  if (w->content != nullptr) ArrangeFrame(w);
}

}  // namespace plat

OSStatus CreateNewMenu(SInt16 menuID, const char* title, MenuRef* outMenu) {
  if (outMenu == nullptr) return paramErr;
  MenuRec* m = new MenuRec{menuID, QString::fromUtf8(title ? title : ""), {}};
  *outMenu = ToHandle<MenuRef>(Menus().Add(m));
  return noErr;
}

void InsertMenu(MenuRef menu, SInt16 beforeID) {
  if (Menus().Find(menu) == nullptr) return;
  auto& b = Bar();
  b.erase(std::remove(b.begin(), b.end(), FromHandle(menu)), b.end());
  auto at = b.end();
  for (auto it = b.begin(); it != b.end(); ++it)
    if (beforeID != 0 && Menus().Find(*it)->menuID == beforeID) {
      at = it;
      break;
    }
  b.insert(at, FromHandle(menu));
  RebuildAll();
}

void DeleteMenu(SInt16 menuID) {
  auto& b = Bar();
  b.erase(std::remove_if(b.begin(), b.end(),
                         [&](uintptr_t id) { return Menus().Find(id)->menuID == menuID; }),
          b.end());
  RebuildAll();
}

void DisposeMenu(MenuRef menu) {
  MenuRec* m = Menus().Find(menu);
  if (m == nullptr) return;
  auto& b = Bar();
  b.erase(std::remove(b.begin(), b.end(), FromHandle(menu)), b.end());
  Menus().Remove(FromHandle(menu));
  delete m;
  RebuildAll();
}

bool IsValidMenu(MenuRef menu) {
  return Menus().Find(menu) != nullptr;
}

OSStatus AppendMenuItemText(MenuRef menu, const char* text, MenuCommand command,
                            MenuItemIndex* outIndex) {
  MenuRec* m = Menus().Find(menu);
  if (m == nullptr || text == nullptr || m->items.size() >= 0xFFFE) return paramErr;
  m->items.push_back(ItemRec{QString::fromUtf8(text), command, false, true});
  if (outIndex) *outIndex = static_cast<MenuItemIndex>(m->items.size());
  if (std::find(Bar().begin(), Bar().end(), FromHandle(menu)) != Bar().end()) RebuildAll();
  return noErr;
}

UInt32 CountMenuItems(MenuRef menu) {
  MenuRec* m = Menus().Find(menu);
  return m ? static_cast<UInt32>(m->items.size()) : 0;
}

OSStatus GetIndMenuItemWithCommandID(MenuRef menu, MenuCommand command, UInt32 n, MenuRef* outMenu,
                                     MenuItemIndex* outIndex) {
  std::vector<uintptr_t> where;
  if (menu == nullptr)
    where = Bar();
  else if (Menus().Find(menu))
    where.push_back(FromHandle(menu));
  for (uintptr_t id : where) {
    MenuRec* m = Menus().Find(id);
    for (size_t i = 0; m && i < m->items.size(); ++i)
      if (m->items[i].command == command && n > 0 && --n == 0) {
        if (outMenu) *outMenu = ToHandle<MenuRef>(id);
        if (outIndex) *outIndex = static_cast<MenuItemIndex>(i + 1);
        return noErr;
      }
  }
  return menuItemNotFoundErr;
}

void CheckMenuItem(MenuRef menu, MenuItemIndex item, bool checked) {
  if (ItemRec* it = Item(menu, item)) {
    it->checked = checked;
    UpdateItem(FromHandle(menu), item);
  }
}

bool IsMenuItemChecked(MenuRef menu, MenuItemIndex item) {
  ItemRec* it = Item(menu, item);
  return it != nullptr && it->checked;
}

namespace {
void SetItemEnabled(MenuRef menu, MenuItemIndex item, bool enabled) {
  if (ItemRec* it = Item(menu, item)) {
    it->enabled = enabled;
    UpdateItem(FromHandle(menu), item);
  }
}
}  // namespace

void EnableMenuItem(MenuRef menu, MenuItemIndex item) {
  SetItemEnabled(menu, item, true);
}

void DisableMenuItem(MenuRef menu, MenuItemIndex item) {
  SetItemEnabled(menu, item, false);
}

bool IsMenuItemEnabled(MenuRef menu, MenuItemIndex item) {
  ItemRec* it = Item(menu, item);
  return it != nullptr && it->enabled;
}
