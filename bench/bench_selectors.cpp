// The main window's selectors on one core, through the program's own windows (offscreen):
// - UpdateSelectors for a context of 100,000 catalogued records (5,000 subjects, 20,000
//   keywords, their timeline), target 100 ms;
// - HiliteSelectors with 10,000 displayed records selected, target 50 ms;
// - one idle firing that makes one visible cell final (medium thumbnails, warm cache), target
//   20 ms.
//   QT_QPA_PLATFORM=offscreen taskset -c 2 build/bench/bench_selectors
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/browser/pbrowser.h"
#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pdialogs.h"
#include "app/core/phandlers.h"
#include "app/core/pseam.h"
#include "app/mainwin/pmainw.h"
#include "app/shell/pshell.h"
#include "catalog/pdbase.h"
#include "catalog/pfieldset.h"
#include "formats/stdformats.h"
#include "platform/pwindow.h"

namespace {

PMainWindow* Main() {
  static bool made = false;
  if (!made) {
    PregisterInterface("main");
    PinstallWindowFactories();
    if (PcreateInterface() != 0) return nullptr;
    PinstallEventHandlers();
    gInterfaceReady = 1;
    PloadStandardReaders();
    made = true;
    gMain->Show(1);
  }
  return static_cast<PMainWindow*>(gMain);
}

std::string Date(int i) {
  char d[32];
  snprintf(d, sizeof d, "%04d:%02d:%02d %02d:00:00", 1990 + i % 30, 1 + i % 12, 1 + i % 28,
           i % 24);
  return d;
}

DBRecord Record(int i, int subjects, int keywords) {
  DBRecord r(&PDBFInfo);
  r.SetField(PDBFfile, ("img" + std::to_string(i) + ".jpg").c_str());
  r.SetField(PDBFsubject, ("Subject " + std::to_string(i % subjects)).c_str());
  const std::string k1 = "Keyword " + std::to_string(i % keywords);
  const std::string k2 = "Keyword " + std::to_string((i * 7 + 3) % keywords);
  const char* kw[2] = {k1.c_str(), k2.c_str()};
  r.SetField(PDBFkeyword, kw, 2);
  r.SetField(PDBFcapdate, Date(i).c_str());
  return r;
}

void BM_UpdateSelectors(benchmark::State& state) {
  PMainWindow* mw = Main();
  mw->bc.ClearSets();
  DBRecordList recs;
  for (int i = 0; i < 100000; ++i) recs.NewRecord() = Record(i, 5000, 20000);
  mw->bc.Catalog(recs.GetArray(), recs.GetSize());
  for (auto _ : state) mw->UpdateSelectors();
  state.counters["subjects"] = mw->bc.subjSet.GetSize();
  state.counters["keywords"] = mw->bc.keywSet.GetSize();
}
BENCHMARK(BM_UpdateSelectors)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_HiliteSelectors(benchmark::State& state) {
  PMainWindow* mw = Main();
  mw->bc.ClearSets();
  mw->LoadingRecords(nullptr);
  for (int i = 0; i < 10000; ++i) mw->bc.rdisp.NewRecord() = Record(i, 5000, 20000);
  mw->bc.Catalog(mw->bc.rdisp.GetArray(), mw->bc.rdisp.GetSize());
  mw->UpdateSelectors();
  mw->bc.SelectAll();
  for (auto _ : state) mw->HiliteSelectors();
}
BENCHMARK(BM_HiliteSelectors)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  const std::string home = QDir::tempPath().toStdString() + "/lumerin_bench_selectors";
  QDir().mkpath(QString::fromStdString(home));
  setenv("HOME", home.c_str(), 1);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  gInterfaceReady = 0;
  PdestroyInterface();
  return 0;
}
