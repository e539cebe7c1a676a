#include "app_start.h"

#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <QAbstractButton>
#include <QApplication>
#include <QTimer>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "app/core/papp.h"
#include "app/core/phandlers.h"
#include "app/core/pprefs.h"
#include "app/info/pfind.h"
#include "app/mainwin/pmainw.h"
#include "app/shell/pshell.h"
#include "catalog/pdbase.h"
#include "db_photo.h"
#include "formats/stdformats.h"
#include "platform/pcontrol.h"
#include "platform/pqt.h"
#include "platform/pwindow.h"
#include "support/dmessage.h"
#include "testutil/home_env.h"
#include "testutil/popup_item.h"
#include "toolkit/pctltext.h"

namespace benchapp {

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool CopyFile(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  return in && out.good();
}

std::string Catalogue(const std::string& path, int n) {
  if (Exists(path)) return path;
  mkdir(path.substr(0, path.rfind('/')).c_str(), 0755);
  PContext c;
  c.OpenDB(path.c_str());
  std::vector<DBRecord> recs(n);
  for (int i = 0; i < n; i++) {
    recs[i].Init(&c.phd);
    benchdb::FillRecord(&recs[i], benchdb::MakePhoto(i), &c.phd);
  }
  c.Checkpoint("Add", nullptr);
  c.pdb.AddRecords(recs.data(), n);
  c.CloseDB();
  return path;
}

std::string MakeHome(const char* templ) {
  std::string h = templ;
  if (mkdtemp(h.data()) == nullptr) return "";
  UseHomeAt(h);
  return h;
}

void QuietStderr() {
  for (unsigned c = DMCmemory; c < DMCnerr; ++c) dmessage_class_flags[c] &= ~DMAstderr;
}

bool StartInterface(bool readers) {
  if (readers) PloadStandardReaders();
  PregisterInterface("main");
  PregisterHooks();
  if (PcreateInterface() != 0) return false;
  PinstallEventHandlers();
  gInterfaceReady = 1;
  return true;
}

PMainWindow* MainWindow() {
  static PMainWindow* mw = nullptr;
  if (mw) return mw;
  if (MakeHome().empty() || !StartInterface()) return nullptr;
  dmessage_alert = nullptr;
  PprefLink();  // the recent catalogue list
  mw = static_cast<PMainWindow*>(gMain);
  mw->SetDisplayFields(0, false);
  mw->SetThumbSize(FourCC("tsml"), false);
  mw->Show(1);
  return mw;
}

namespace {

ControlRef FindControl(int id) {
  ControlID cid{FourCC("find"), id};
  ControlRef c = nullptr;
  GetControlByID(gFind->GetWindow(), &cid, &c);
  return c;
}

}  // namespace

void ChooseFindItem(int id, const char* item) {
  if (ChoosePopupItem(FindControl(id), item)) static_cast<PFindWindow*>(gFind)->Update();
}

void TypeFindField(int id, const char* text) {
  PutControlText(FindControl(id), text);
}

void AnswerInput(const char* text) {
  QTimer::singleShot(0, [text] {
    ControlID cid{FourCC("inpt"), 129};
    ControlRef edit = nullptr;
    GetControlByID(gInputWindow, &cid, &edit);
    PutControlText(edit, text);
    ControlID ok{FourCC("bttn"), 1};
    ControlRef b = nullptr;
    GetControlByID(gInputWindow, &ok, &b);
    if (auto* button = qobject_cast<QAbstractButton*>(PlatformControlWidget(b))) button->click();
  });
}

int RunBenchmarks(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gInterfaceReady = 0;
  PdestroyInterface();
  return 0;
}

}  // namespace benchapp
