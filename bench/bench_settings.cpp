// The setting commands on one core, through the program's own main window (offscreen):
// - moving 5,000 selected records (every other one) of a display of 10,000 to the front, as the
//   position command and a drop within the browser do: the new order, the selection, the hand
//   sort and the redisplay. The target is 20 ms.
//   QT_QPA_PLATFORM=offscreen taskset -c 2 build/bench/bench_settings
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cstdlib>
#include <string>

#include "app/core/papp.h"
#include "app/core/phandlers.h"
#include "app/core/pseam.h"
#include "app/mainwin/pmainw.h"
#include "app/mainwin/psettings.h"
#include "app/shell/pshell.h"
#include "app_start.h"
#include "catalog/context_test_util.h"
#include "formats/stdformats.h"
#include "platform/pwindow.h"

namespace {

PMainWindow* MainWindow() {
  static PMainWindow* mw = nullptr;
  if (mw) return mw;
  if (benchapp::MakeHome().empty() || !benchapp::StartInterface()) return nullptr;
  mw = static_cast<PMainWindow*>(gMain);
  mw->SetThumbSize(FourCC("tmed"), false);
  SizeWindow(mw->GetWindow(), 1300, 754, true);
  mw->Show(1);
  return mw;
}

void BM_SetPosition(benchmark::State& state) {
  PMainWindow* mw = MainWindow();
  if (mw == nullptr || !mw->LoadingRecords(nullptr)) {
    state.SkipWithError("no main window");
    return;
  }
  PContext& bc = mw->bc;
  for (int i = 0; i < 10000; ++i) {
    const std::string f = "img" + std::to_string(i) + ".jpg";
    ctxtest::Show(&bc, ctxtest::Photo(f.c_str(), 1000 + i, 7000 + i));
  }
  mw->LoadedRecords(10000);
  for (auto _ : state) {
    state.PauseTiming();
    bc.SelectNone();
    for (int i = 1; i < 10000; i += 2) bc.Select(i);
    state.ResumeTiming();
    setPosition(0);
  }
}
BENCHMARK(BM_SetPosition)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return benchapp::RunBenchmarks(argc, argv);
}
