// The main window's test fixture: the interface as start-up makes it, the preferences' variables,
// a catalogue in a scratch folder, and photo records without image files shown as a folder.
#pragma once

#include <QDir>
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

  std::string Status() const { return TextOf(mw->GetWindow(), "pict", 132); }
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
