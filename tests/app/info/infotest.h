// Helpers of the info and search windows' tests: the interface made as start-up makes it, a
// folder of copied test pictures loaded as the display, records made in the context, and
// reading and driving the windows' controls.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QPixmap>
#include <QPlainTextEdit>
#include <fstream>
#include <string>

#include "app/browser/pbrowser.h"
#include "app/core/pfolder.h"
#include "app/info/pfind.h"
#include "app/info/pinfo.h"
#include "app/mainwin/pmainw.h"
#include "apptest.h"
#include "catalog/pfieldset.h"
#include "formats/stdformats.h"

inline std::string Pictures() {
  return std::string(LUMERIN_TESTDATA) + "/jpeg";
}

#define NEED_PICTURES()                                          \
  if (access((Pictures() + "/DSCN0010.jpg").c_str(), R_OK) != 0) \
  GTEST_SKIP() << "no test pictures at " LUMERIN_TESTDATA

class InfoTest : public ::testing::Test {
 protected:
  TempHome home;
  AppInterface app;
  PMainWindow* mw = nullptr;
  PContext* ctx = nullptr;
  PInfoWindow* info = nullptr;
  PFindWindow* find = nullptr;
  std::string dir;

  void SetUp() override {
    ASSERT_EQ(app.status, 0);
    for (unsigned c = DMCmemory; c < DMCnerr; ++c) dmessage_class_flags[c] &= ~DMAstderr;
    dmessage_alert = nullptr;  // no alert waits in these tests
    dmessage_last_class = DMCnerr;
    PloadStandardReaders();
    mw = static_cast<PMainWindow*>(gMain);
    ctx = &mw->bc;
    info = static_cast<PInfoWindow*>(gInfo);
    find = static_cast<PFindWindow*>(gFind);
    dir = home.path() + "/photos";
    mkdir(dir.c_str(), 0755);
    const std::string cache = home.path() + "/thumbs";
    mkdir(cache.c_str(), 0700);
    PthumbManager().SetCacheDirectory(cache.c_str());
    mw->Show(1);
  }
  void TearDown() override { PthumbManager().SetCacheDirectory(nullptr); }

  // Copies test picture name into the folder as copy (the name itself by default).
  void Put(const char* name, const char* copy = nullptr) const {
    std::ifstream in(Pictures() + "/" + name, std::ios::binary);
    std::ofstream(dir + "/" + (copy ? copy : name), std::ios::binary) << in.rdbuf();
  }
  void Load() { loadFolder(dir.c_str(), false, nullptr); }
  int IndexOf(const char* file) const {
    for (int i = 0; i < ctx->rdisp.GetSize(); ++i)
      if (PDBgetField(ctx->rdisp[i], PDBFfile).Match(file)) return i;
    return -1;
  }
  // Selects displayed record i alone, as a click does (the info window follows).
  void SelectOnly(int i) {
    ctx->SelectNone();
    ctx->Select(i);
    mw->GetBrowser()->ShowSelection(false);
  }

  WindowRef W() const { return info->GetWindow(); }
  std::string Text(const char* sig, int id) const { return TextOf(W(), sig, id); }
  int Index(const char* sig, int id) const {
    return info->ControlIndex(FourCC({sig[0], sig[1], sig[2], sig[3], 0}), id);
  }
  void Click(WindowRef w, const char* sig, int id) const {
    auto* b = qobject_cast<QAbstractButton*>(WidgetOf(w, sig, id));
    ASSERT_NE(b, nullptr) << sig << id;
    QTest::mouseClick(b, Qt::LeftButton);
  }
  void Type(WindowRef w, const char* sig, int id, const char* text) const {
    auto* e = qobject_cast<QLineEdit*>(WidgetOf(w, sig, id));
    ASSERT_NE(e, nullptr) << sig << id;
    e->selectAll();
    QTest::keyClicks(e, QString::fromUtf8(text));
  }
  void Return(WindowRef w, const char* sig, int id) const {
    QTest::keyClick(WidgetOf(w, sig, id), Qt::Key_Return);
  }
  // A click on the upper (up) or lower arrow of a stepper.
  void Step(WindowRef w, const char* sig, int id, bool up) const {
    QWidget* a = WidgetOf(w, sig, id);
    ASSERT_NE(a, nullptr) << sig << id;
    QTest::mouseClick(a, Qt::LeftButton, {}, QPoint(a->width() - 4, up ? 4 : a->height() - 4));
  }
  // A display of one record per entry of the schema given (a private copy): file "r<i>.jpg".
  void MakeDisplay(const DBFieldInfo* schema, int n) {
    ctx->Clear(schema);
    for (int i = 0; i < n; ++i) {
      DBRecord& r = ctx->rdisp.NewRecord();
      r.Init(ctx->rdisp.GetFieldInfo());
      r.SetField(PDBFfile, ("r" + std::to_string(i) + ".jpg").c_str());
    }
    mw->GetBrowser()->Redisplay();
  }
  int Fid(const char* name) const { return ctx->rdisp.GetFieldInfo()->GetID(name); }
  void Shot(WindowRef w, const std::string& name) const {
    QDir().mkpath(LUMERIN_SHOTS);
    QApplication::processEvents();
    PlatformFrameWidget(w)->grab().save(QString::fromStdString(LUMERIN_SHOTS "/" + name + ".png"));
  }
};
