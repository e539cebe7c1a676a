// Every menu item, in each state of a user's walk (nothing shown, a folder, a catalogue, the
// image, info and search windows in front), is either greyed or does something one can see when
// chosen: a window shown or hidden, a state changed, a message, or a question (answered Cancel
// here). No item keeps the state another window gave it. Items are chosen with keys alone, as a
// person without a mouse does: every menu gives each item a letter of its own.
#include <QClipboard>
#include <QDialog>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMenu>
#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "db/test_nowaitfs.h"
#include "app/core/pfolder.h"
#include "app/export/pforms.h"
#include "app/hdrpano/pforms.h"
#include "app/records/precfile.h"
#include "app/records/psetfield.h"
#include "app/hdrpano/makepano.h"
#include "app/info/pinfo.h"
#include "app/mainwin/pforms.h"
#include "app/mainwin/pmainw.h"
#include "app/prefs/pforms.h"
#include "app/print/pforms.h"
#include "app/records/pforms.h"
#include "app/image/pforms.h"
#include "image/imagetest.h"

namespace {

// Items whose work leaves nothing to see when it succeeds, with the reason.
const std::map<std::string, const char*> kUnseen = {
    {"sort", "re-sorts by the order chosen, which the records already have"},
    {"relo", "reads the pictures and the catalogue again; unchanged, they look the same"},
};

// Answers every question as it shows: Cancel to the program's dialogs, OK to its alerts, and
// Qt's dialogs and pop-up menus are closed. Counts them.
class Canceller {
 public:
  Canceller() {
    QObject::connect(&timer, &QTimer::timeout, [this] { Poll(); });
    timer.start(2);
  }
  int asked = 0;
  bool menus = true;  // closes menus too; not while keys walk through the bar's

 private:
  void Poll() {
    for (WindowRef w : {gInputWindow, gConfirmWindow, gPositionWindow, gSaveWindow, gPrintWindow,
                        gHDRWindow, gDateWindow, gWebWindow, gImgExpWindow, gShowWindow,
                        gPanoWindow, gFieldWindow, gPrefWindow, gAlertWindow})
      if (w != nullptr && IsWindowVisible(w)) {
        ++asked;
        SendCommand(w == gAlertWindow ? "ok  " : "not!", kEventCommandProcess,
                    GetWindowEventTarget(w));
      }
    if (QWidget* p = QApplication::activePopupWidget(); p && (menus || !qobject_cast<QMenu*>(p))) {
      ++asked;
      p->close();
    }
    if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      ++asked;
      d->reject();
    }
  }
  QTimer timer;
};

struct Item {
  std::vector<int> path;  // menu indices from the bar down to the item
  std::string code, text;
};

// The keyboard letter the text underlines, upper case; 0 for none.
QChar LetterOf(const QString& text) {
  for (qsizetype i = 0; i + 1 < text.size(); ++i)
    if (text[i] == '&') {
      if (text[i + 1] != '&') return text[i + 1].toUpper();
      ++i;
    }
  return QChar();
}

// Every visible item of the list has a letter, none the same as another's.
void ExpectOwnLetters(const QList<QAction*>& acts, const std::string& where) {
  std::map<QChar, QString> seen;
  for (QAction* a : acts) {
    if (a->isSeparator() || !a->isVisible()) continue;
    const QChar c = LetterOf(a->text());
    EXPECT_FALSE(c.isNull()) << where << ": no letter for " << a->text().toStdString();
    if (c.isNull()) continue;
    EXPECT_EQ(seen.count(c), 0u) << where << ": " << a->text().toStdString() << " and "
                                 << seen[c].toStdString();
    seen[c] = a->text();
  }
}

// A key pressed where a person's key goes: the menu open in front, else the active window.
void Press(QChar letter, Qt::KeyboardModifiers mods = {}) {
  if (letter.isNull() || letter.unicode() > 127) return ADD_FAILURE() << "no letter to press";
  QWidget* to = QApplication::activePopupWidget();
  QTest::keyClick(to ? to : QApplication::activeWindow(), letter.toLower().toLatin1(), mods);
}
void Press(Qt::Key key) {
  QWidget* to = QApplication::activePopupWidget();
  QTest::keyClick(to ? to : QApplication::activeWindow(), key);
}

QMenu* PopupMenu() {
  return qobject_cast<QMenu*>(QApplication::activePopupWidget());
}

QAction* FirstEnabled(const QMenu* m) {
  for (QAction* a : m->actions())
    if (a->isVisible() && a->isEnabled() && !a->isSeparator()) return a;
  return nullptr;
}

void CloseMenus() {
  for (int k = 0; k < 8 && QApplication::activePopupWidget(); ++k)
    QApplication::activePopupWidget()->close();
}

class MenuWalk : public ::testing::Test {
 protected:
  TempHome home;
  AppInterface app;
  FakeOpener opener{home.path() + "/bin"};
  Canceller cancel;
  PMainWindow* mw = nullptr;
  PImageWindow* iw = nullptr;
  std::string folder, cat;
  SInt32 sortChoice = 0;
  dbtest::NoWaitFS disk;

  void SetUp() override {
    ASSERT_EQ(app.status, 0);
    PloadStandardReaders();
    PprefLink();
    for (unsigned c = DMCmemory; c < DMCnerr; ++c) dmessage_class_flags[c] &= ~DMAstderr;
    mw = static_cast<PMainWindow*>(gMain);
    iw = static_cast<PImageWindow*>(gImager);
    folder = home.path() + "/pictures";
    cat = home.path() + "/catalog/walk.qdb";
    sortChoice = GetControlValue(ControlOf(mw->GetWindow(), "pict", 135));
    mw->bc.fileSystem = &disk;  // what the commands do is looked at, not how durably
  }
  void TearDown() override {
    mw->CloseCatalog();
    mw->bc.fileSystem = nullptr;
  }

  QMenuBar* Bar() const { return PlatformFrameWidget(mw->GetWindow())->findChild<QMenuBar*>(); }

  // Back to the start: no catalogue, nothing shown, only the main window, every setting as
  // it was; the pictures written afresh.
  void Reset() {
    Seen();
    iw->CloseImages(false);
    iw->Show(0);
    iw->syncView = false;
    gInfo->Close();
    gFind->Show(0);
    for (WindowRef w : {gAboutWindow, gHistoWindow, gFCWindow}) HideWindow(w);
    mw->CloseCatalog();
    mw->bc.Clear(nullptr);
    mw->bc.rsrc[0] = '\0';
    mw->SetDisplayFields(0, false);
    mw->SetThumbSize(FourCC("tmed"), false);
    SetControlValue(ControlOf(mw->GetWindow(), "pict", 135), sortChoice);
    mw->GetPBrowser()->Redisplay();
    gCurPano.ClearPano();
    repeatSetting(PDBFend, nullptr);
    QGuiApplication::clipboard()->clear();
    PclearQuit();
    QDir(QString::fromStdString(folder)).removeRecursively();
    QDir().mkpath(QString::fromStdString(folder));
    // Copies of pictures written once: the writer's syncs would make the walk as slow as the
    // disk.
    for (int i = 0; i < 3; ++i) {
      const std::string name = "/p" + std::to_string(i) + ".tif";
      const std::string made = home.path() + "/made" + name;
      if (access(made.c_str(), F_OK) != 0) {
        QDir().mkpath(QString::fromStdString(home.path() + "/made"));
        ASSERT_TRUE(WriteTestTiff(made, 64 + 16 * i, 48));
      }
      std::error_code ec;  // a plain copy, no sync
      ASSERT_TRUE(std::filesystem::copy_file(made, folder + name, ec)) << ec.message();
    }
    QDir(QString::fromStdString(home.path() + "/catalog")).removeRecursively();
    QDir().mkpath(QString::fromStdString(home.path() + "/catalog"));
    mw->Show(1);
    Front(mw->GetWindow());
  }

  // The problems so far were seen: the status line shows new texts without blinking them.
  static void Seen() { dmessage_last_class = DMCnerr; }

  static void Front(WindowRef w) {
    Seen();
    SelectWindow(w);
    EXPECT_TRUE(QTest::qWaitFor(
        [w] { return QApplication::activeWindow() == PlatformFrameWidget(w); }, 30000))
        << "the window did not come in front";
  }

  void Select(int first, int n) {
    mw->bc.SelectNone();
    for (int i = first; i < first + n; ++i) mw->bc.Select(i);
    mw->GetPBrowser()->Redisplay();
  }

  // The states of the walk, each entered from the start.
  void Enter(int state) {
    Reset();
    if (state == 0) return;
    ASSERT_GT(loadFolder(folder.c_str(), false, nullptr), 0);
    Select(0, 1);
    if (state == 1) return;
    Seen();
    ASSERT_TRUE(mw->OpenCatalog(cat.c_str()));
    ASSERT_GT(loadFolder(folder.c_str(), false, nullptr), 0);
    for (int i = 0; i < mw->bc.rdisp.GetSize(); ++i)
      PDBsetString(&mw->bc.rdisp[i], PDBFsubject, "Walk");
    Select(0, 0);
    ASSERT_EQ(mw->AddRecords(), 3);
    Select(0, 1);
    if (state == 2) return Front(mw->GetWindow());
    if (state == 3) {
      Select(0, 2);
      openImages(nullptr, nullptr);
      return Front(iw->GetWindow());
    }
    if (state == 4) {
      gInfo->ShowInfo(mw->GetBrowser(), 0, true);
      return Front(gInfo->GetWindow());
    }
    QGuiApplication::clipboard()->setText("Walk");
    gFind->Find(mw);
    Front(gFind->GetWindow());
    SetKeyboardFocus(gFind->GetWindow(), ControlOf(gFind->GetWindow(), "find", 133),
                     kControlEditTextPart);
  }

  // Opens the menus along the path as a person does (each brings its items up to date); the
  // item's action, or NULL when the menus changed shape.
  QAction* Open(const std::vector<int>& path) {
    QList<QAction*> acts = Bar()->actions();
    QAction* a = nullptr;
    for (int i : path) {
      if (i >= acts.size()) return nullptr;
      a = acts[i];
      if (QMenu* m = a->menu()) {
        QMetaObject::invokeMethod(m, "aboutToShow");
        acts = m->actions();
      }
    }
    return a;
  }

  // Every enabled item with a command, as the menus show them now; with each submenu whose
  // item is enabled (code and text empty). Each menu's items have letters of their own.
  void Collect(std::vector<int> path, std::vector<Item>* out) {
    QAction* at = path.empty() ? nullptr : Open(path);
    const QList<QAction*> acts = at ? at->menu()->actions() : Bar()->actions();
    ExpectOwnLetters(acts, at ? at->text().toStdString() : "the menu bar");
    for (int i = 0; i < acts.size(); ++i) {
      std::vector<int> p = path;
      p.push_back(i);
      if (acts[i]->menu()) {
        if (!path.empty() && acts[i]->isEnabled() && acts[i]->isVisible())
          out->push_back({p, "", ""});
        Collect(p, out);
        continue;
      }
      const QString code = acts[i]->property("command").toString();
      if (code.size() == 4 && acts[i]->isEnabled() && acts[i]->isVisible())
        out->push_back({p, code.toStdString(), acts[i]->text().toStdString()});
    }
  }

  // Reaches the item along the path with keys alone: Alt and the menu's letter, then the letter
  // of each item down to it; a submenu opened by its letter takes the keys with its first
  // enabled item highlighted, which Return chooses. Without the last step, stops with the
  // submenu at the end shown from its highlighted item, as the mouse leaves it, and checks that
  // Right moves into it.
  void ByKeys(const std::vector<int>& path, bool choose) {
    cancel.menus = false;
    CloseMenus();
    QAction* top = Bar()->actions().value(path[0]);
    Press(LetterOf(top->text()), Qt::AltModifier);
    QMenu* menu = PopupMenu();
    EXPECT_EQ(menu, top->menu()) << "Alt+" << top->text().toStdString();
    for (size_t d = 1; menu != nullptr && d < path.size(); ++d) {
      QAction* a = menu->actions().value(path[d]);
      if (a->menu() && !choose && d + 1 == path.size()) {
        menu->setActiveAction(a);  // as the mouse resting on it does
        EXPECT_EQ(PopupMenu(), a->menu());
        EXPECT_EQ(a->menu()->activeAction(), nullptr);
        Press(Qt::Key_Right);
        EXPECT_EQ(PopupMenu(), a->menu()) << "Right left the submenu";
        EXPECT_EQ(a->menu()->activeAction(), FirstEnabled(a->menu())) << "Right did not enter it";
        break;
      }
      if (d + 1 == path.size()) cancel.menus = true;  // the item may ask questions
      if (a == menu->activeAction() && menu != top->menu())
        Press(Qt::Key_Return);
      else
        Press(LetterOf(a->text()));
      if (a->menu() == nullptr) break;
      EXPECT_EQ(PopupMenu(), a->menu()) << "its letter did not open " << a->text().toStdString();
      menu = PopupMenu();
      if (menu != nullptr) {
        EXPECT_EQ(menu->activeAction(), FirstEnabled(menu));
      }
    }
    cancel.menus = true;
    CloseMenus();
  }

  // What a user can see, or find in the log, of the program's state.
  std::string Look() const {
    std::string s;
    auto add = [&s](const std::string& k, const std::string& v) { s += k + "=" + v + "\n"; };
    for (WindowRef w : {mw->GetWindow(), iw->GetWindow(), gInfo->GetWindow(), gFind->GetWindow(),
                        gAboutWindow, gHistoWindow, gFCWindow})
      s += IsWindowVisible(w) ? '1' : '0';
    s += "\n";
    WindowRef m = mw->GetWindow();
    add("status", TextOf(m, "pict", 132) + "|" + TextOf(m, "pict", 140));
    add("sort", std::to_string(GetControlValue(ControlOf(m, "pict", 135))) +
                    std::to_string(GetControlValue(ControlOf(m, "pict", 136))));
    std::string recs;
    for (int i = 0; i < mw->bc.rdisp.GetSize(); ++i) {
      const char* f = PDBgetString(mw->bc.rdisp[i], PDBFfile);
      recs += std::string(mw->bc.IsSelected(i) ? "*" : "") + (f ? f : "") + ",";
    }
    add("records", recs + mw->bc.rsrc);
    add("view", std::to_string(mw->GetPBrowser()->tnDenom) + std::to_string(mw->setSet) +
                    std::to_string(mw->fileSet) + std::to_string(mw->capSet) +
                    std::to_string(mw->otherSet) + std::to_string(mw->allSet));
    add("catalog", std::string(mw->bc.dbname) + std::to_string(mw->bc.pdb.TotalRecords()));
    add("image", std::to_string(iw->ImageCount()) + " " + std::to_string(iw->ImageIndex(nullptr)) +
                     " " + std::to_string(GetControlValue(iw->sizeControl)) +
                     std::to_string(iw->syncView) + std::to_string(iw->HasSelection()) +
                     (iw->Ready() ? std::to_string(iw->iring->SomeSelected()) : "-") +
                     std::to_string(gCurPano.irl.GetSize()));
    for (WindowRef w : {iw->GetWindow(), gInfo->GetWindow(), gFind->GetWindow()}) {
      ControlRef focus = nullptr, def = nullptr;
      GetKeyboardFocus(w, &focus);
      GetWindowDefaultButton(w, &def);
      add("default", std::to_string(reinterpret_cast<uintptr_t>(def)));
      std::string text;
      if (auto* e = qobject_cast<QLineEdit*>(focus ? PlatformControlWidget(focus) : nullptr))
        text = e->text().toStdString() + "/" + e->selectedText().toStdString();
      add("focus", std::to_string(reinterpret_cast<uintptr_t>(focus)) + text);
    }
    add("clipboard", QGuiApplication::clipboard()->text().toStdString());
    for (unsigned c = DMCassert; c < DMCtrace; ++c)
      add("message", std::to_string(reinterpret_cast<uintptr_t>(dmessage_record[c])));
    add("asked", std::to_string(cancel.asked));
    add("opened", opener.Opened());
    add("quit", std::to_string(PquitRequested()));
    return s;
  }
};

TEST_F(MenuWalk, EveryEnabledItemDoesSomethingInEveryState) {
  static const char* const kStates[] = {"nothing shown",    "a folder",        "a catalogue",
                                        "the image window", "the info window", "the search window"};
  std::set<std::string> chosen;
  for (int state = 0; state < 6; ++state) {
    SCOPED_TRACE(kStates[state]);
    Enter(state);
    if (HasFatalFailure()) return;
    // The Add button goes with a writable catalogue.
    EXPECT_EQ(IsControlEnabled(ControlOf(mw->GetWindow(), "pict", 138)), state >= 2);
    if (state == 0) {  // the Find button stays live; with nothing to search it says so
      mw->ShowMessage("", false);
      QTest::mouseClick(qobject_cast<QAbstractButton*>(
                            PlatformControlWidget(ControlOf(mw->GetWindow(), "pict", 137))),
                        Qt::LeftButton);
      EXPECT_EQ(TextOf(mw->GetWindow(), "pict", 132) + TextOf(mw->GetWindow(), "pict", 140),
                "Nothing to search");
    }
    std::vector<Item> items;
    Collect({}, &items);
    // Right moves into each submenu shown from its highlighted item.
    for (const Item& it : items)
      if (it.code.empty()) {
        SCOPED_TRACE("the submenu at " + std::to_string(it.path[0]) + "," +
                     std::to_string(it.path[1]));
        ByKeys(it.path, false);
      }
    items.erase(
        std::remove_if(items.begin(), items.end(), [](const Item& it) { return it.code.empty(); }),
        items.end());
    // Whatever the window in front, only the items it or the application can act on are live.
    for (const Item& it : items) {
      if (state == 4 || state == 5) {
        for (const char* c : {"sort", "sman", "sdat", "zin ", "zout", "z050", "crop", "oper"})
          EXPECT_NE(it.code, c) << "enabled in front of " << kStates[state];
      }
      if (state == 0) {
        for (const char* c : {"undo", "redo", "sall", "snon", "invs", "zfit", "add ", "relo"})
          EXPECT_NE(it.code, c) << "enabled with nothing shown";
      }
    }
    for (const Item& it : items) {
      SCOPED_TRACE(it.code + " \"" + it.text + "\"");
      Enter(state);
      if (HasFatalFailure()) return;
      QAction* a = Open(it.path);
      if (a == nullptr || a->property("command").toString().toStdString() != it.code ||
          !a->isEnabled())
        continue;  // the menu changed shape as it was brought up to date
      Seen();
      mw->ShowMessage("", false);
      const std::string before = Look();
      bool chose = false;
      const auto was = QObject::connect(a, &QAction::triggered, [&chose] { chose = true; });
      ByKeys(it.path, true);
      QObject::disconnect(was);
      EXPECT_TRUE(chose) << "the keys did not choose it";
      // The search window keeps Cut and Copy open to its fields: with nothing selected in
      // them, they have nothing to take.
      const bool unseen =
          kUnseen.count(it.code) != 0 || (state == 5 && (it.code == "cut " || it.code == "copy"));
      // Openers run on their own: what they leave may come a little later.
      if (!unseen) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return Look() != before; }, 60000))
            << "chose it and nothing showed";
      }
      chosen.insert(it.code);
    }
  }
  Reset();
  // The walk reached the items of every menu.
  for (const char* c : {"cata", "undo", "tmed", "add ", "cw90", "phlp", "z050", "clos", "past"})
    EXPECT_EQ(chosen.count(c), 1u) << c;
}

}  // namespace
