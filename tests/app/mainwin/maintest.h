// The main window's test fixture: the interface as start-up makes it, the preferences' variables,
// a catalogue in a scratch folder, and photo records without image files shown as a folder.
#pragma once

#include <QDir>
#include <functional>
#include <string>
#include <vector>

#include "app/browser/pbrowser.h"
#include "app/core/pprefs.h"
#include "app/mainwin/pmainw.h"
#include "apptest.h"
#include "catalog/context_test_util.h"
#include "catalog/pdbase.h"
#include "catalog/pfieldset.h"
#include "formats/stdformats.h"
#include "platform/pmenu.h"

class MainTest : public ::testing::Test {
 protected:
  TempHome home;
  AppInterface app;
  ctxtest::TempDir dir;
  PMainWindow* mw = nullptr;
  PBrowser* b = nullptr;
  PContext* bc = nullptr;

  void SetUp() override {
    ASSERT_EQ(app.status, 0);
    PloadStandardReaders();
    PprefLink();
    mw = static_cast<PMainWindow*>(gMain);
    b = mw->GetPBrowser();
    bc = &mw->bc;
    mw->SetDisplayFields(0, false);
    mw->SetThumbSize(FourCC("tmed"), false);
    dmessage_last_class = DMCnerr;
    mw->Show(1);
  }
  void TearDown() override {
    dmessage_last_class = DMCnerr;  // the problems were seen: no blinking
    mw->CloseCatalog();
    PresetPreferences();
  }

  std::string Path(const std::string& name) const { return dir.Path(name); }

  // Shows n records of files "img<i>.jpg" in folder (none exists), as a folder load leaves
  // them; every record lacking a subject when subject is NULL.
  void ShowFolder(int n, const char* subject = "Trip", const std::string& folder = "/photos") {
    ASSERT_TRUE(mw->LoadingRecords(nullptr));
    for (int i = 0; i < n; ++i) {
      const std::string f = "img" + std::to_string(i) + ".jpg";
      ctxtest::Show(bc, ctxtest::Photo(f.c_str(), 1000 + i, 7000 + i, subject, folder.c_str()));
    }
    snprintf(bc->rsrc, sizeof bc->rsrc, "%s", folder.c_str());
    mw->LoadedRecords(n);
  }

  std::string Status() const { return StatusLine(); }
  std::string Title() const {
    char t[256] = "";
    GetWindowTitle(mw->GetWindow(), t, sizeof t, nullptr);
    return t;
  }
  static std::string EditItem(int item) {
    char t[128];
    UInt32 n = 0;
    GetMenuItemText(GetMenuHandle(258), static_cast<MenuItemIndex>(item), t, sizeof t, &n);
    return std::string(t, n < sizeof t ? n : sizeof t);
  }
  static bool EditEnabled(int item) {
    return IsMenuItemEnabled(GetMenuHandle(258), static_cast<MenuItemIndex>(item));
  }
};

// Answers the dialogs as they show, from a queue: the input dialog gets the answer's text typed
// and OK (or Cancel when cancel is set), the confirm dialog the answer's button ('ok  ', 'not!',
// 'cstm'), an alert OK. Every prompt seen is kept, the alerts' texts also apart; with the queue
// empty, Cancel.
class Answerer {
 public:
  struct Answer {
    OSType button;
    std::string text;
    bool edit = true;  // the text replaces the field's; else the field is left as it shows
    std::function<void(QLineEdit*)> keys;  // keys pressed in the field as it shows, when given
  };
  Answerer() {
    QObject::connect(&timer, &QTimer::timeout, [this] { Poll(); });
    timer.start(1);
  }
  void Type(const std::string& text) { q.push_back({kResponseOK, text, true, nullptr}); }
  void Press(OSType button) { q.push_back({button, "", true, nullptr}); }
  // OK on an input dialog whose field is left as it came.
  void Keep() { q.push_back({kResponseOK, "", false, nullptr}); }
  // OK on an input dialog after keys pressed in its field.
  void Edit(std::function<void(QLineEdit*)> keys) { q.push_back({kResponseOK, "", true, keys}); }
  bool Saw(const std::string& prompt) const {
    for (const std::string& p : prompts)
      if (p == prompt) return true;
    return false;
  }
  std::vector<std::string> prompts;
  std::vector<std::string> fields;  // each input dialog's field as it was shown
  std::vector<std::string> alerts;
  std::vector<Answer> q;

 private:
  Answer Next() {
    if (q.empty()) return {kResponseCancel, "", true, nullptr};
    Answer a = q.front();
    q.erase(q.begin());
    return a;
  }
  static void Click(WindowRef w, const char* sig, int id) {
    if (auto* b = qobject_cast<QAbstractButton*>(WidgetOf(w, sig, id)))
      QTest::mouseClick(b, Qt::LeftButton);
  }
  void Poll() {
    if (IsWindowVisible(gInputWindow)) {
      prompts.push_back(TextOf(gInputWindow, "inpt", 128));
      const Answer a = Next();
      auto* e = qobject_cast<QLineEdit*>(WidgetOf(gInputWindow, "inpt", 129));
      fields.push_back(e ? e->text().toStdString() : std::string());
      if (e && a.keys) {
        a.keys(e);
      } else if (e && a.edit) {
        e->clear();
        QTest::keyClicks(e, QString::fromStdString(a.text));
      }
      Click(gInputWindow, "bttn", a.button == kResponseOK ? 1 : 2);
    } else if (IsWindowVisible(gConfirmWindow)) {
      prompts.push_back(TextOf(gConfirmWindow, "cfrm", 128));
      const Answer a = Next();
      Click(gConfirmWindow, "cfrm",
            a.button == kResponseOK       ? 129
            : a.button == kResponseCustom ? 131
                                          : 130);
    } else if (IsWindowVisible(gAlertWindow)) {
      prompts.push_back(TextOf(gAlertWindow, "alrt", 128));
      alerts.push_back(prompts.back());
      Click(gAlertWindow, "bttn", 1);
    }
  }
  QTimer timer;
};

// Runs a command code through the main window's handler (process or update); the status.
inline OSStatus MainCommand(PMainWindow* mw, const char* code, bool update = false) {
  HICommand cmd{0, FourCC({code[0], code[1], code[2], code[3], 0}), nullptr, 0};
  EventRef ev = nullptr;
  CreateEvent(kEventClassCommand, update ? kEventCommandUpdateStatus : kEventCommandProcess,
              GetCurrentEventTime(), &ev);
  SetEventParameter(ev, kEventParamDirectObject, typeHICommand, sizeof cmd, &cmd);
  const OSStatus r = update ? mw->HandleCommandUpdate(ev) : mw->HandleCommand(ev);
  ReleaseEvent(ev);
  return r;
}

// Whether the menu item of code is enabled after the main window's update of it.
inline bool Enabled(PMainWindow* mw, const char* code) {
  MainCommand(mw, code, true);
  return MenuEnabled(code);
}
