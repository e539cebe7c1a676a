// Menus: each menu one QMenu, each item one QAction shared by every window's menu bar; the
// menus of pop-up buttons mirror their combo boxes.
#include "platform/pmenu.h"

#include <QAction>
#include <QComboBox>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QStandardItemModel>
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>

#include "platform/ppriv.h"
#include "platform/pqt.h"

using namespace plat;

namespace {

struct ItemRec {
  QPointer<QAction> action;
  MenuCommand command = 0;
  bool checked = false;
  uintptr_t submenu = 0;
  // Texts in Qt's form ("&&" an ampersand, "&x" the letter the form chose). text: as the form
  // or its maker gave it, what every update starts from; label: what it says now, before its
  // menu gives it a keyboard letter of its own.
  QString text, label;
};
struct MenuRec {
  uintptr_t self = 0;
  MenuID menuID = 0;
  QPointer<QMenu> qmenu;
  std::vector<ItemRec> items;
  QPointer<QComboBox> combo;  // a pop-up button's menu
  QString title;              // the bar's title, in Qt's form, before its keyboard letter
  bool lettersDue = false;    // an item's text or visibility changed since letters were given
};
Table<MenuRec>& Menus() {
  static auto* t = new Table<MenuRec>;
  return *t;
}
std::vector<uintptr_t>& Bar() {
  static auto* b = new std::vector<uintptr_t>;
  return *b;
}
bool menuBarHidden = false;

// Where each command first appears in the menu bar, and which items each shortcut names:
// built again after the menus change shape.
struct Index {
  bool dirty = true;
  std::unordered_map<MenuCommand, std::pair<uintptr_t, int>> first;
  std::unordered_map<int, std::vector<std::pair<uintptr_t, int>>> shortcuts;
  std::vector<uintptr_t> inBar;  // the bar's menus and their submenus, in order
};
Index& TheIndex() {
  static Index i;
  return i;
}
void Changed() {
  TheIndex().dirty = true;
}

// Keyboard letters. Each visible item of a menu, and each title of the menu bar, underlines a
// letter of its own, so that a letter names one item: the letter its form marked while no
// earlier mark took it, else the first free letter beginning a word of its text, else the first
// free letter or digit in it, else a free one shown after the text.

QString Escaped(const QString& plain) {
  QString t = plain;
  return t.replace('&', QStringLiteral("&&"));
}

// The text without its marks; *mark: where the form's letter is in it (-1: none).
QString Plain(const QString& text, int* mark = nullptr) {
  QString out;
  out.reserve(text.size());
  if (mark) *mark = -1;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) {
      ++i;
      if (text[i] != '&' && mark && *mark < 0) *mark = int(out.size());
    }
    out += text[i];
  }
  return out;
}

// Gives each text (in Qt's form) its letter; texts not wanting one come back without.
void GiveLetters(const std::vector<QString>& texts, const std::vector<bool>& want,
                 std::vector<QString>* out) {
  const size_t n = texts.size();
  std::vector<QString> plain(n);
  std::vector<int> mark(n, -1), at(n, -1);
  std::vector<char16_t> taken;
  auto take = [&](size_t i, int pos) {
    const QChar c = plain[i][pos];
    const char16_t k = c.toUpper().unicode();
    if (!c.isLetterOrNumber() || std::find(taken.begin(), taken.end(), k) != taken.end())
      return false;
    taken.push_back(k);
    at[i] = pos;
    return true;
  };
  for (size_t i = 0; i < n; ++i) {
    plain[i] = Plain(texts[i], &mark[i]);
    if (want[i] && mark[i] >= 0) take(i, mark[i]);
  }
  for (size_t i = 0; i < n; ++i) {
    if (!want[i] || at[i] >= 0) continue;
    const QString& t = plain[i];
    for (int pos = 0; pos < t.size() && at[i] < 0; ++pos)
      if (pos == 0 || !t[pos - 1].isLetterOrNumber()) take(i, pos);
    for (int pos = 0; pos < t.size() && at[i] < 0; ++pos) take(i, pos);
  }
  out->assign(n, QString());
  for (size_t i = 0; i < n; ++i) {
    QString& o = (*out)[i];
    for (int pos = 0; pos < plain[i].size(); ++pos) {
      if (pos == at[i]) o += '&';
      if (plain[i][pos] == '&') o += '&';
      o += plain[i][pos];
    }
    if (!want[i] || at[i] >= 0) continue;
    // A text with no free letter ("2/3") shows one after it, in brackets.
    static const char kSpare[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (const char* c = kSpare; *c != '\0'; ++c)
      if (std::find(taken.begin(), taken.end(), char16_t(*c)) == taken.end()) {
        taken.push_back(char16_t(*c));
        o += QStringLiteral(" (&") + QChar::fromLatin1(*c) + ')';
        break;
      }
  }
}

std::map<std::string, std::map<std::string, std::function<void(QMainWindow*)>>>& MenuBars() {
  static auto* m =
      new std::map<std::string, std::map<std::string, std::function<void(QMainWindow*)>>>;
  return *m;
}

MenuCommand CommandOf(const QAction* a) {
  QByteArray b = a->property("command").toString().toLatin1();
  return b.size() == 4 ? FourCC({b[0], b[1], b[2], b[3], 0}) : 0;
}

// Items made in code carry their command as the form's do.
void SetCommandProperty(QAction* a, MenuCommand command) {
  if (a == nullptr) return;
  const char c[4] = {char(command >> 24), char(command >> 16), char(command >> 8), char(command)};
  a->setProperty("command", command != 0 ? QString::fromLatin1(c, 4) : QString());
}

MenuRec* FindMenu(uintptr_t id) {
  MenuRec* m = Menus().Find(id);
  return m != nullptr && m->qmenu != nullptr ? m : nullptr;
}
MenuRec* FindMenu(MenuRef menu) {
  return FindMenu(FromHandle(menu));
}

ItemRec* Item(MenuRef menu, MenuItemIndex item) {
  MenuRec* m = FindMenu(menu);
  if (m == nullptr || item < 1 || item > m->items.size() || m->items[item - 1].action == nullptr)
    return nullptr;
  return &m->items[item - 1];
}

int IndexOfAction(const MenuRec* m, const QAction* a) {
  for (size_t i = 0; i < m->items.size(); ++i)
    if (m->items[i].action == a) return static_cast<int>(i + 1);
  return 0;
}

// Gives the menu's visible items their letters (a pop-up button's menu shows its texts as they
// are); only changed texts are set again.
void AssignLetters(MenuRec* m) {
  m->lettersDue = false;
  std::vector<QString> texts, out;
  std::vector<bool> want;
  texts.reserve(m->items.size());
  want.reserve(m->items.size());
  for (const ItemRec& it : m->items) {
    texts.push_back(it.label);
    want.push_back(m->combo == nullptr && it.action != nullptr && !it.action->isSeparator() &&
                   it.action->isVisible());
  }
  GiveLetters(texts, want, &out);
  for (size_t i = 0; i < m->items.size(); ++i) {
    QAction* a = m->items[i].action;
    if (a != nullptr && !a->isSeparator() && a->text() != out[i]) a->setText(out[i]);
  }
}

// While a menu's items are brought up to date their letters wait for the end, so that each
// menu is lettered once, with its final texts.
int lettersHeld = 0;
struct HoldLetters {
  HoldLetters() { ++lettersHeld; }
  ~HoldLetters();
};

void LettersChanged(MenuRec* m) {
  if (m == nullptr) return;
  if (lettersHeld > 0)
    m->lettersDue = true;
  else
    AssignLetters(m);
}

// The titles of the menu bar.
void AssignBarLetters();

// A pop-up button shows the items of its menu.
void SyncCombo(MenuRec* m) {
  if (m->combo == nullptr) return;
  QComboBox* cb = m->combo;
  const QSignalBlocker block(cb);
  const int current = cb->currentIndex();
  cb->clear();
  for (const ItemRec& it : m->items) {
    if (it.action == nullptr) continue;
    if (it.action->isSeparator()) {
      cb->insertSeparator(cb->count());
      continue;
    }
    cb->addItem(Plain(it.label));
    if (auto* model = qobject_cast<QStandardItemModel*>(cb->model()))
      if (QStandardItem* si = model->item(cb->count() - 1)) si->setEnabled(it.action->isEnabled());
  }
  cb->setCurrentIndex(std::min(current, cb->count() - 1));
}

void Touched(MenuRec* m) {
  if (m->combo) SyncCombo(m);
}

// Sends a command event for an item to the focused window, then the application.
OSStatus SendItemEvent(UInt32 kind, uintptr_t menu, int index) {
  MenuRec* m = FindMenu(menu);
  if (m == nullptr || index < 1 || index > static_cast<int>(m->items.size())) return paramErr;
  HICommand cmd{kHICommandFromMenu, m->items[index - 1].command, ToHandle<MenuRef>(menu),
                static_cast<MenuItemIndex>(index)};
  EventRef ev = nullptr;
  CreateEvent(kEventClassCommand, kind, GetCurrentEventTime(), &ev);
  SetEventParameter(ev, kEventParamDirectObject, typeHICommand, sizeof cmd, &cmd);
  WindowRec* w = Windows().Find(FocusWindow());
  OSStatus r = SendEventToEventTarget(
      ev, w ? ToHandle<EventTargetRef>(w->target) : GetApplicationEventTarget());
  ReleaseEvent(ev);
  return r;
}

bool InBar(uintptr_t menu);

// An item of the menu bar starts each update greyed, unchecked and with its own text: it is
// enabled, checked or named again only by the window in front or the application, so that
// nothing is left over from another window or an earlier state.
void ResetItem(uintptr_t menu, int index) {
  MenuRec* m = FindMenu(menu);
  if (m == nullptr || index < 1 || index > static_cast<int>(m->items.size())) return;
  ItemRec& it = m->items[size_t(index) - 1];
  if (it.command == 0 || it.action == nullptr || !InBar(menu)) return;
  it.action->setEnabled(false);
  it.checked = false;
  it.action->setChecked(false);
  it.action->setCheckable(false);
  if (it.label != it.text) {
    it.label = it.text;
    LettersChanged(m);
  }
  Touched(m);
}

// The items of commands the gate refuses stay greyed, whatever the updates of other items of
// the menu did to them.
void GreyRefusedItems(uintptr_t menu) {
  const MenuRec* m = FindMenu(menu);
  for (size_t i = 0; m != nullptr && i < m->items.size(); ++i)
    GreyIfRefused({0, m->items[i].command, ToHandle<MenuRef>(menu), MenuItemIndex(i + 1)});
}

// Before a menu shows, the focused window and the application bring its items up to date:
// every item is reset first, then each is asked about in turn.
void UpdateItems(uintptr_t menu) {
  HoldLetters hold;
  MenuRec* m = FindMenu(menu);
  for (int i = 1; m != nullptr && i <= static_cast<int>(m->items.size()); ++i) ResetItem(menu, i);
  for (int i = 1; m != nullptr && i <= static_cast<int>(m->items.size()); ++i) {
    if (m->items[i - 1].command != 0) SendItemEvent(kEventCommandUpdateStatus, menu, i);
    m = FindMenu(menu);  // a handler may change the menu
  }
  GreyRefusedItems(menu);
}

bool selectingPopUp = false;  // PopUpMenuSelect sends the command itself

void ItemChosen(uintptr_t menu, QAction* a) {
  MenuRec* m = FindMenu(menu);
  const int i = m ? IndexOfAction(m, a) : 0;
  if (i == 0) return;
  a->setChecked(m->items[i - 1].checked);  // the check mark is the application's to set
  if (!selectingPopUp && m->items[i - 1].command != 0) SendItemEvent(kEventCommandProcess, menu, i);
}

void Wire(uintptr_t menu, QAction* a) {
  a->setShortcutContext(Qt::ApplicationShortcut);  // one menu bar for every window
  QObject::connect(a, &QAction::triggered, [menu, a] { ItemChosen(menu, a); });
}

// Right (Left in a right-to-left layout) on a highlighted item whose submenu shows, as after the
// mouse opened it, moves into the submenu: the key reaches the submenu, which has no item
// highlighted yet, so it highlights its first enabled one rather than letting Qt take the key to
// the next menu of the bar.
class IntoSubmenu : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() != QEvent::KeyPress) return false;
    auto* menu = qobject_cast<QMenu*>(o);
    if (menu == nullptr || menu->activeAction() != nullptr) return false;
    const int into = menu->isRightToLeft() ? Qt::Key_Left : Qt::Key_Right;
    if (static_cast<QKeyEvent*>(e)->key() != into || !OpenedFromItem(menu)) return false;
    for (QAction* a : menu->actions())
      if (a->isVisible() && a->isEnabled() && !a->isSeparator()) {
        menu->setActiveAction(a);
        break;
      }
    return true;  // a submenu with every item greyed keeps the keys too
  }

 private:
  static bool OpenedFromItem(const QMenu* menu) {
    for (const auto& kv : Menus().All()) {
      const QMenu* q = kv.second->qmenu;
      if (q != nullptr && q != menu && q->isVisible() && q->activeAction() != nullptr &&
          q->activeAction()->menu() == menu)
        return true;
    }
    return false;
  }
};

uintptr_t NewMenuRec(MenuID id, QMenu* q) {
  static MenuID next = 1000;
  MenuRec* m = new MenuRec;
  m->menuID = id != 0 ? id : next++;
  m->qmenu = q;
  m->title = q->title();
  m->self = Menus().Add(m);
  const uintptr_t self = m->self;
  QObject::connect(q, &QMenu::aboutToShow, [self] { UpdateItems(self); });
  static auto* into = new IntoSubmenu;
  q->installEventFilter(into);
  Changed();
  return self;
}

// Takes over a menu of a form, with its submenus.
uintptr_t ImportMenu(QMenu* q) {
  const QVariant idv = q->property("menuID");
  const uintptr_t self = NewMenuRec(idv.isValid() ? MenuID(idv.toInt()) : MenuID(0), q);
  for (QAction* a : q->actions()) {
    ItemRec it;
    it.action = a;
    it.command = CommandOf(a);
    it.checked = a->isCheckable() && a->isChecked();
    it.text = it.label = a->text();
    if (QMenu* sub = a->menu<QMenu*>())
      it.submenu = ImportMenu(sub);
    else
      a->setParent(q);  // the form's actions live on with the menu
    Wire(self, a);
    Menus().Find(self)->items.push_back(it);
  }
  AssignLetters(Menus().Find(self));
  return self;
}

QAction* NewAction(MenuRec* m, const char* text) {
  const QString t = QString::fromUtf8(text);
  QAction* a = new QAction(t == "-" ? QString() : Escaped(t), m->qmenu);
  if (t == "-") a->setSeparator(true);
  Wire(m->self, a);
  return a;
}

void BuildIndex() {
  Index& x = TheIndex();
  if (!x.dirty) return;
  x.first.clear();
  x.shortcuts.clear();
  std::vector<uintptr_t>& seen = x.inBar;
  seen.clear();
  std::function<void(uintptr_t)> walk = [&](uintptr_t id) {
    MenuRec* m = FindMenu(id);
    if (m == nullptr || std::find(seen.begin(), seen.end(), id) != seen.end()) return;
    seen.push_back(id);
    for (int i = 1; i <= static_cast<int>(m->items.size()); ++i) {
      const ItemRec& it = m->items[i - 1];
      if (it.command != 0) x.first.emplace(it.command, std::make_pair(id, i));
      if (it.action && !it.action->shortcut().isEmpty())
        x.shortcuts[it.action->shortcut()[0].toCombined()].push_back({id, i});
      if (it.submenu) walk(it.submenu);
    }
  };
  for (uintptr_t id : Bar()) walk(id);
  x.dirty = false;
}

bool FindInMenu(uintptr_t id, MenuCommand command, UInt32* n, uintptr_t* outMenu, int* outIndex,
                int depth) {
  MenuRec* m = FindMenu(id);
  if (m == nullptr || depth > 16) return false;
  for (int i = 1; i <= static_cast<int>(m->items.size()); ++i) {
    const ItemRec& it = m->items[i - 1];
    if (it.command == command && --*n == 0) {
      *outMenu = id;
      *outIndex = i;
      return true;
    }
    if (it.submenu && FindInMenu(it.submenu, command, n, outMenu, outIndex, depth + 1)) return true;
  }
  return false;
}

void ArrangeAll() {
  for (const auto& kv : Windows().All())
    if (kv.second->menubar) ArrangeFrame(kv.second);
}

bool InBar(uintptr_t menu) {
  BuildIndex();
  const std::vector<uintptr_t>& in = TheIndex().inBar;
  return std::find(in.begin(), in.end(), menu) != in.end();
}

HoldLetters::~HoldLetters() {
  if (--lettersHeld > 0) return;
  for (const auto& kv : Menus().All())
    if (kv.second->lettersDue && kv.second->qmenu) AssignLetters(kv.second);
}

void AssignBarLetters() {
  std::vector<MenuRec*> menus;
  std::vector<QString> titles, out;
  for (uintptr_t id : Bar())
    if (MenuRec* m = FindMenu(id)) {
      menus.push_back(m);
      titles.push_back(m->title);
    }
  GiveLetters(titles, std::vector<bool>(titles.size(), true), &out);
  for (size_t i = 0; i < menus.size(); ++i)
    if (menus[i]->qmenu->title() != out[i]) menus[i]->qmenu->setTitle(out[i]);
}

void SetItemEnabled(MenuRef menu, MenuItemIndex item, bool enabled) {
  if (ItemRec* it = Item(menu, item)) {
    it->action->setEnabled(enabled);
    Touched(FindMenu(menu));
  }
}

}  // namespace

namespace plat {

bool MenuBarHidden() {
  return menuBarHidden;
}

void AttachMenuBar(WindowRec* w) {
  w->menubar = new QMenuBar(FrameOf(w));
  w->menubar->setNativeMenuBar(false);
  for (uintptr_t id : Bar())
    if (MenuRec* m = FindMenu(id)) w->menubar->addAction(m->qmenu->menuAction());
}

// The menus' items are the actions whose shortcuts work in every window (Qt's dialogs keep
// theirs to their own windows).
bool IsMenuItemAction(const QObject* o) {
  const auto* a = qobject_cast<const QAction*>(o);
  return a != nullptr && a->shortcutContext() == Qt::ApplicationShortcut;
}

void UpdateShortcutItems(const QKeyEvent* e) {
  if (Bar().empty() || InModalWait()) return;
  BuildIndex();
  auto it = TheIndex().shortcuts.find(e->keyCombination().toCombined());
  if (it == TheIndex().shortcuts.end()) return;
  HoldLetters hold;
  const auto items = it->second;  // a handler may change the menus
  for (const auto& mi : items) ResetItem(mi.first, mi.second);
  for (const auto& mi : items) SendItemEvent(kEventCommandUpdateStatus, mi.first, mi.second);
}

uintptr_t NewPopupMenu(QComboBox* combo) {
  const uintptr_t self = NewMenuRec(-1, new QMenu);
  MenuRec* m = Menus().Find(self);
  m->combo = combo;
  const QStringList commands = combo->property("commands").toString().split(',');
  for (int i = 0; i < combo->count(); ++i) {
    ItemRec it;
    it.action = NewAction(m, combo->itemText(i).toUtf8().constData());
    it.label = it.action->text();
    if (i < commands.size()) {
      QByteArray b = commands[i].toLatin1();
      if (b.size() == 4) it.command = FourCC({b[0], b[1], b[2], b[3], 0});
    }
    m->qmenu->addAction(it.action);
    m->items.push_back(it);
  }
  return self;
}

void ForgetPopupMenu(uintptr_t menu) {
  if (MenuRec* m = Menus().Find(menu)) m->combo = nullptr;
  DisposeMenu(ToHandle<MenuRef>(menu));
}

UInt32 PopupItemCommand(uintptr_t menu, int index) {
  MenuRec* m = FindMenu(menu);
  if (m == nullptr || index < 1 || index > static_cast<int>(m->items.size())) return 0;
  return m->items[index - 1].command;
}

}  // namespace plat

void RegisterNibMenuBar(const char* nibName, const char* menuBarName,
                        std::function<void(QMainWindow*)> setup) {
  if (nibName && menuBarName && setup) MenuBars()[nibName][menuBarName] = std::move(setup);
}

OSStatus SetMenuBarFromNib(IBNibRef nib, const char* menuBarName) {
  const std::string* n = NibName(nib);
  if (n == nullptr || menuBarName == nullptr) return paramErr;
  auto it = MenuBars()[*n].find(menuBarName);
  if (it == MenuBars()[*n].end()) return resNotFound;
  QMainWindow form;
  it->second(&form);
  std::vector<uintptr_t> menus;
  for (QAction* a : form.menuBar()->actions())
    if (QMenu* q = a->menu<QMenu*>()) {
      q->setParent(nullptr, q->windowFlags());  // the menu outlives the form
      menus.push_back(ImportMenu(q));
    }
  // The menus of the bar replaced go with it.
  for (uintptr_t id : std::vector<uintptr_t>(Bar())) DisposeMenu(ToHandle<MenuRef>(id));
  for (uintptr_t id : menus) InsertMenu(ToHandle<MenuRef>(id), 0);
  return noErr;
}

OSStatus CreateNewMenu(MenuID menuID, const char* title, MenuRef* outMenu) {
  if (outMenu == nullptr) return paramErr;
  *outMenu = ToHandle<MenuRef>(
      NewMenuRec(menuID, new QMenu(Escaped(QString::fromUtf8(title ? title : "")))));
  return noErr;
}

MenuRef NewMenu(MenuID menuID, const char* title) {
  MenuRef m = nullptr;
  CreateNewMenu(menuID, title, &m);
  return m;
}

void InsertMenu(MenuRef menu, MenuID beforeID) {
  MenuRec* m = FindMenu(menu);
  if (m == nullptr || m->combo != nullptr) return;
  auto& b = Bar();
  b.erase(std::remove(b.begin(), b.end(), FromHandle(menu)), b.end());
  auto at = b.end();
  for (auto it = b.begin(); it != b.end(); ++it)
    if (beforeID != 0 && FindMenu(*it) && FindMenu(*it)->menuID == beforeID) {
      at = it;
      break;
    }
  MenuRec* before = at == b.end() ? nullptr : FindMenu(*at);
  b.insert(at, FromHandle(menu));
  for (const auto& kv : Windows().All())
    if (QMenuBar* mb = kv.second->menubar)
      mb->insertAction(before ? before->qmenu->menuAction() : nullptr, m->qmenu->menuAction());
  Changed();
  AssignBarLetters();
  ArrangeAll();
}

void DeleteMenu(MenuID menuID) {
  auto& b = Bar();
  for (auto it = b.begin(); it != b.end();) {
    MenuRec* m = FindMenu(*it);
    if (m == nullptr || m->menuID != menuID) {
      ++it;
      continue;
    }
    for (const auto& kv : Windows().All())
      if (kv.second->menubar) kv.second->menubar->removeAction(m->qmenu->menuAction());
    it = b.erase(it);
  }
  Changed();
  AssignBarLetters();
  ArrangeAll();
}

void DisposeMenu(MenuRef menu) {
  MenuRec* m = Menus().Find(menu);
  if (m == nullptr) return;
  // Its submenus go with it.
  for (const ItemRec& it : std::vector<ItemRec>(m->items))
    if (it.submenu != 0 && it.submenu != m->self) DisposeMenu(ToHandle<MenuRef>(it.submenu));
  m = Menus().Find(menu);
  if (m == nullptr) return;
  if (std::find(Bar().begin(), Bar().end(), FromHandle(menu)) != Bar().end() && m->qmenu)
    DeleteMenu(m->menuID);
  Menus().Remove(FromHandle(menu));
  if (m->qmenu) {
    // The menu may be in the middle of its own signal: it goes later, its shortcuts now.
    for (QAction* a : m->qmenu->actions()) a->setShortcut(QKeySequence());
    m->qmenu->hide();
    m->qmenu->deleteLater();
  }
  delete m;
  Changed();
}

bool IsValidMenu(MenuRef menu) {
  return FindMenu(menu) != nullptr;
}

MenuRef GetMenuHandle(MenuID menuID) {
  // The menu bar's menus and their submenus first, then any other menu made.
  BuildIndex();
  for (uintptr_t id : TheIndex().inBar)
    if (MenuRec* m = FindMenu(id); m && m->menuID == menuID) return ToHandle<MenuRef>(id);
  for (const auto& kv : Menus().All())
    if (kv.second->menuID == menuID && kv.second->qmenu && kv.second->combo == nullptr)
      return ToHandle<MenuRef>(kv.first);
  return nullptr;
}

MenuID GetMenuID(MenuRef menu) {
  MenuRec* m = FindMenu(menu);
  return m ? m->menuID : 0;
}

OSStatus InsertMenuItemText(MenuRef menu, const char* text, MenuItemIndex afterItem,
                            MenuCommand command, MenuItemIndex* outIndex) {
  MenuRec* m = FindMenu(menu);
  if (m == nullptr || text == nullptr || !ValidUTF8(text, std::strlen(text)) ||
      m->items.size() >= 0xFFFE)
    return paramErr;
  const size_t at = std::min<size_t>(afterItem, m->items.size());
  ItemRec it;
  it.action = NewAction(m, text);
  it.command = command;
  it.text = it.label = it.action->text();
  SetCommandProperty(it.action, command);
  QAction* before = at < m->items.size() ? m->items[at].action.data() : nullptr;
  m->qmenu->insertAction(before, it.action);
  m->items.insert(m->items.begin() + static_cast<std::ptrdiff_t>(at), it);
  if (outIndex) *outIndex = static_cast<MenuItemIndex>(at + 1);
  Changed();
  LettersChanged(m);
  Touched(m);
  return noErr;
}

OSStatus AppendMenuItemText(MenuRef menu, const char* text, MenuCommand command,
                            MenuItemIndex* outIndex) {
  MenuRec* m = FindMenu(menu);
  if (m == nullptr) return paramErr;
  return InsertMenuItemText(menu, text, static_cast<MenuItemIndex>(m->items.size()), command,
                            outIndex);
}

OSStatus DeleteMenuItems(MenuRef menu, MenuItemIndex firstItem, UInt32 count) {
  MenuRec* m = FindMenu(menu);
  if (m == nullptr || firstItem < 1 || firstItem > m->items.size()) return paramErr;
  const size_t a = firstItem - 1, z = std::min<size_t>(m->items.size(), a + count);
  for (size_t i = a; i < z; ++i) {
    QAction* act = m->items[i].action;
    if (act == nullptr) continue;
    m->qmenu->removeAction(act);
    if (act->parent() == m->qmenu) act->deleteLater();
  }
  m->items.erase(m->items.begin() + static_cast<std::ptrdiff_t>(a),
                 m->items.begin() + static_cast<std::ptrdiff_t>(z));
  Changed();
  LettersChanged(m);
  Touched(m);
  return noErr;
}

void DeleteMenuItem(MenuRef menu, MenuItemIndex item) {
  DeleteMenuItems(menu, item, 1);
}

UInt32 CountMenuItems(MenuRef menu) {
  MenuRec* m = FindMenu(menu);
  return m ? static_cast<UInt32>(m->items.size()) : 0;
}

OSStatus SetMenuItemText(MenuRef menu, MenuItemIndex item, const char* text) {
  ItemRec* it = Item(menu, item);
  if (it == nullptr || text == nullptr || !ValidUTF8(text, std::strlen(text))) return paramErr;
  it->label = Escaped(QString::fromUtf8(text));
  LettersChanged(FindMenu(menu));
  Touched(FindMenu(menu));
  return noErr;
}

OSStatus GetMenuItemText(MenuRef menu, MenuItemIndex item, char* buf, UInt32 size,
                         UInt32* actualSize) {
  ItemRec* it = Item(menu, item);
  if (it == nullptr) return menuItemNotFoundErr;
  const QByteArray b = Plain(it->label).toUtf8();
  const UInt32 n = static_cast<UInt32>(b.size());
  if (actualSize) *actualSize = n;
  if (buf) std::memcpy(buf, b.constData(), std::min(n, size));
  return noErr;
}

OSStatus SetMenuItemCommandID(MenuRef menu, MenuItemIndex item, MenuCommand command) {
  ItemRec* it = Item(menu, item);
  if (it == nullptr) return menuItemNotFoundErr;
  it->command = command;
  SetCommandProperty(it->action, command);
  Changed();
  return noErr;
}

OSStatus GetMenuItemCommandID(MenuRef menu, MenuItemIndex item, MenuCommand* outCommand) {
  ItemRec* it = Item(menu, item);
  if (it == nullptr || outCommand == nullptr) return menuItemNotFoundErr;
  *outCommand = it->command;
  return noErr;
}

OSStatus SetMenuItemHierarchicalMenu(MenuRef menu, MenuItemIndex item, MenuRef submenu) {
  ItemRec* it = Item(menu, item);
  MenuRec* m = FindMenu(menu);
  MenuRec* sub = submenu ? FindMenu(submenu) : nullptr;
  if (it == nullptr || (submenu != nullptr && (sub == nullptr || sub == m))) return paramErr;
  // The item becomes the submenu's own action, at the same place and with the same text.
  QAction* old = it->action;
  QAction* now = sub ? sub->qmenu->menuAction() : NewAction(m, "");
  now->setText(old->text());
  m->qmenu->insertAction(old, now);
  m->qmenu->removeAction(old);
  if (old->parent() == m->qmenu) old->deleteLater();
  if (sub) Wire(m->self, now);
  it->action = now;
  it->submenu = sub ? sub->self : 0;
  Changed();
  LettersChanged(m);
  return noErr;
}

OSStatus GetMenuItemHierarchicalMenu(MenuRef menu, MenuItemIndex item, MenuRef* outSubmenu) {
  ItemRec* it = Item(menu, item);
  if (it == nullptr || outSubmenu == nullptr) return menuItemNotFoundErr;
  *outSubmenu = FindMenu(it->submenu) ? ToHandle<MenuRef>(it->submenu) : nullptr;
  return noErr;
}

OSStatus GetIndMenuItemWithCommandID(MenuRef menu, MenuCommand command, UInt32 n, MenuRef* outMenu,
                                     MenuItemIndex* outIndex) {
  if (n == 0) return menuItemNotFoundErr;
  uintptr_t found = 0;
  int index = 0;
  if (menu == nullptr && n == 1) {
    BuildIndex();
    auto it = TheIndex().first.find(command);
    if (it == TheIndex().first.end()) return menuItemNotFoundErr;
    found = it->second.first;
    index = it->second.second;
  } else {
    std::vector<uintptr_t> where;
    if (menu == nullptr)
      where = Bar();
    else if (FindMenu(menu))
      where.push_back(FromHandle(menu));
    bool ok = false;
    for (uintptr_t id : where)
      if ((ok = FindInMenu(id, command, &n, &found, &index, 0))) break;
    if (!ok) return menuItemNotFoundErr;
  }
  if (outMenu) *outMenu = ToHandle<MenuRef>(found);
  if (outIndex) *outIndex = static_cast<MenuItemIndex>(index);
  return noErr;
}

void CheckMenuItem(MenuRef menu, MenuItemIndex item, bool checked) {
  ItemRec* it = Item(menu, item);
  if (it == nullptr || it->checked == checked) return;
  it->checked = checked;
  if (checked) it->action->setCheckable(true);
  it->action->setChecked(checked);
  if (!checked) it->action->setCheckable(false);
}

bool IsMenuItemChecked(MenuRef menu, MenuItemIndex item) {
  ItemRec* it = Item(menu, item);
  return it != nullptr && it->checked;
}

void HideMenuItem(MenuRef menu, MenuItemIndex item) {
  ItemRec* it = Item(menu, item);
  if (it == nullptr || !it->action->isVisible()) return;
  it->action->setVisible(false);
  LettersChanged(FindMenu(menu));
}

void ShowMenuItem(MenuRef menu, MenuItemIndex item) {
  ItemRec* it = Item(menu, item);
  if (it == nullptr || it->action->isVisible()) return;
  it->action->setVisible(true);
  LettersChanged(FindMenu(menu));
}

bool IsMenuItemHidden(MenuRef menu, MenuItemIndex item) {
  ItemRec* it = Item(menu, item);
  return it != nullptr && !it->action->isVisible();
}

void EnableMenuItem(MenuRef menu, MenuItemIndex item) {
  SetItemEnabled(menu, item, true);
}

void DisableMenuItem(MenuRef menu, MenuItemIndex item) {
  SetItemEnabled(menu, item, false);
}

bool IsMenuItemEnabled(MenuRef menu, MenuItemIndex item) {
  ItemRec* it = Item(menu, item);
  return it != nullptr && it->action->isEnabled();
}

void HideMenuBar() {
  if (menuBarHidden) return;
  menuBarHidden = true;
  ArrangeAll();
}

void ShowMenuBar() {
  if (!menuBarHidden) return;
  menuBarHidden = false;
  ArrangeAll();
}

bool IsMenuBarVisible() {
  return !menuBarHidden;
}

SInt32 PopUpMenuSelect(MenuRef menu, short top, short left, short popUpItem) {
  MenuRec* m = FindMenu(menu);
  if (m == nullptr || m->combo != nullptr || Quitting()) return 0;
  const uintptr_t id = m->self;
  QAction* at = popUpItem >= 1 && size_t(popUpItem) <= m->items.size()
                    ? m->items[size_t(popUpItem) - 1].action.data()
                    : nullptr;
  const bool was = selectingPopUp;
  selectingPopUp = true;
  QPointer<QAction> chosen = m->qmenu->exec(QPoint(left, top), at);
  selectingPopUp = was;
  m = FindMenu(id);
  const int index = m && chosen ? IndexOfAction(m, chosen) : 0;
  if (index == 0) return 0;
  const SInt32 result = (SInt32(m->menuID) << 16) | index;
  if (m->items[size_t(index) - 1].command != 0) SendItemEvent(kEventCommandProcess, id, index);
  return result;
}

QMenu* PlatformMenu(MenuRef menu) {
  MenuRec* m = FindMenu(menu);
  return m ? m->qmenu.data() : nullptr;
}

QAction* PlatformMenuItemAction(MenuRef menu, MenuItemIndex item) {
  ItemRec* it = Item(menu, item);
  return it ? it->action.data() : nullptr;
}
