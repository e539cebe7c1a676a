// The main window's catalogue work on one core, through the program's own window (offscreen):
// - AddRecords of 10,000 displayed records into a catalogue of 100,000, synced to disk, beside
//   SQLite inserting the same 10,000 rows into an indexed table of 100,000 in one transaction
//   (its default, synchronous commit);
// - SortRecords('sdat') of 100,000 displayed records (from file order);
// - HandleCommandUpdate of every code of the window's table with 100,000 displayed and none to
//   all of them selected (one pass over all codes), passes following each other unchanged and
//   passes each following a change of the selection.
// The base catalogue and table are made once in /tmp/lumerin_bench_maincat.
//   QT_QPA_PLATFORM=offscreen taskset -c 2 build/bench/bench_maincat
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/phandlers.h"
#include "app/core/pprefs.h"
#include "app/core/pseam.h"
#include "app/mainwin/pmainw.h"
#include "app/shell/pshell.h"
#include "app_start.h"
#include "catalog/pdbase.h"
#include "db_photo.h"
#include "formats/stdformats.h"
#include "platform/pwindow.h"
#include "support/dmessage.h"

namespace {

using benchapp::CopyFile;
using benchapp::Exists;

constexpr int kBase = 100000, kAdd = 10000;
const std::string kDir = "/tmp/lumerin_bench_maincat";

// Shows photos [from, from + n) as a folder's records.
void ShowPhotos(PMainWindow* mw, int from, int n) {
  dmessage_last_class = DMCnerr;
  mw->LoadingRecords(nullptr);
  PContext& bc = mw->bc;
  bc.rdisp.Resize(n);
  for (int i = 0; i < n; i++) {
    bc.rdisp[i].Init(bc.rdisp.GetFieldInfo());
    benchdb::FillRecord(&bc.rdisp[i], benchdb::MakePhoto(from + i), bc.rdisp.GetFieldInfo());
  }
  snprintf(bc.rsrc, sizeof bc.rsrc, "/home/ann/Pictures");
  mw->LoadedRecords(n);
}

void BM_AddRecords10kInto100k(benchmark::State& state) {
  PMainWindow* mw = benchapp::MainWindow();
  if (mw == nullptr) return state.SkipWithError("no interface");
  const std::string base = benchapp::Catalogue(kDir + "/base.qdb", kBase),
                    work = kDir + "/work.qdb";
  for (auto _ : state) {
    state.PauseTiming();
    dmessage_last_class = DMCnerr;
    mw->CloseCatalog();
    unlink(work.c_str());
    CopyFile(base, work);
    if (!mw->OpenCatalog(work.c_str())) return state.SkipWithError("cannot open");
    ShowPhotos(mw, kBase, kAdd);
    dmessage_last_class = DMCnerr;  // as each command starts: no earlier problem blinks
    state.ResumeTiming();
    const int n = mw->AddRecords();
    const bool synced = mw->bc.SyncDB();
    state.PauseTiming();
    if (n != kAdd || !synced) return state.SkipWithError("add failed");
    if (mw->bc.pdb.TotalRecords() != kBase + kAdd) return state.SkipWithError("wrong count");
    state.ResumeTiming();
  }
  mw->CloseCatalog();
}
BENCHMARK(BM_AddRecords10kInto100k)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

#ifdef LUMERIN_HAVE_SQLITE
void BM_Sqlite3Insert10kInto100k(benchmark::State& state) {
  const std::string base = benchdb::Table(kDir + "/base.sqlite", kBase),
                    work = kDir + "/work.sqlite";
  for (auto _ : state) {
    state.PauseTiming();
    sqlite3* s = benchdb::OpenCopy(base, work);
    state.ResumeTiming();
    const bool ok = benchdb::InsertPhotos(s, kBase, kAdd);
    state.PauseTiming();
    sqlite3_close(s);
    if (!ok) return state.SkipWithError("insert failed");
    state.ResumeTiming();
  }
}
BENCHMARK(BM_Sqlite3Insert10kInto100k)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
#endif

void BM_SortByDate100k(benchmark::State& state) {
  PMainWindow* mw = benchapp::MainWindow();
  if (mw == nullptr) return state.SkipWithError("no interface");
  ShowPhotos(mw, 0, kBase);
  for (auto _ : state) {
    state.PauseTiming();
    mw->SortRecords(FourCC("sfil"), 0);
    state.ResumeTiming();
    mw->SortRecords(FourCC("sdat"), 0);
  }
}
BENCHMARK(BM_SortByDate100k)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

void BM_CommandUpdateAll100k(benchmark::State& state) {
  PMainWindow* mw = benchapp::MainWindow();
  if (mw == nullptr) return state.SkipWithError("no interface");
  ShowPhotos(mw, 0, kBase);
  // The selection: the argument's number of records, spread evenly over the display.
  const int nsel = static_cast<int>(state.range(0));
  mw->bc.SelectNone();
  for (int k = 0; k < nsel; ++k) mw->bc.Select(static_cast<int>(int64_t{k} * kBase / nsel), true);
  static const char* const codes[] = {
      "add ", "dupl", "cptn", "flhz", "flvt", "cw90", "cc90", "c180", "sort", "sman",
      "sdat", "sfil", "ssub", "stit", "sown", "tpvw", "tlrg", "tmed", "tsml", "zfit",
      "z100", "zin ", "zout", "vset", "vfil", "vcap", "voth", "vall", "info", "sall",
      "snon", "invs", "open", "show", "relo", "renm", "cut ", "copy", "dele", "clea",
      "clei", "cpfn", "cpgp", "past", "subj", "keyw", "ownr", "albm", "titl", "comm",
      "sub1", "sub7", "own1", "own5", "alb1", "alb7", "key1", "key9", "rept", "othr",
      "oth1", "oth9", "date", "dens", "posn", "find", "fnby", "mhdr", "pano", "prnt",
      "prni", "eweb", "eimg", "erec", "ecat", "synv", "save", "clos", "hist", "dofc"};
  std::vector<EventRef> events;
  for (const char* c : codes) {
    HICommand cmd{0, FourCC({c[0], c[1], c[2], c[3], 0}), nullptr, 0};
    EventRef ev = nullptr;
    CreateEvent(kEventClassCommand, kEventCommandUpdateStatus, GetCurrentEventTime(), &ev);
    SetEventParameter(ev, kEventParamDirectObject, typeHICommand, sizeof cmd, &cmd);
    events.push_back(ev);
  }
  // The check of the selection's global positions (the exchange's rule of 'cpgp') walks the
  // whole selection: its share is reported apart.
  const size_t cpgp = 42;
  double inCpgp = 0;
  // Argument 1: the pass follows a change of the selection (the first record's bit flipped), so
  // nothing computed at an earlier pass may be kept; 0: the passes follow each other unchanged,
  // as when the user opens one menu after another.
  const bool changed = state.range(1) != 0;
  bool flip = false;
  for (auto _ : state) {
    if (changed) mw->bc.Select(0, flip = !flip);
    for (size_t k = 0; k < events.size(); k++) {
      if (k != cpgp) {
        benchmark::DoNotOptimize(mw->HandleCommandUpdate(events[k]));
        continue;
      }
      const auto t0 = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(mw->HandleCommandUpdate(events[k]));
      inCpgp +=
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    }
  }
  state.counters["codes"] = static_cast<double>(events.size());
  state.counters["cpgp_us"] = inCpgp / static_cast<double>(state.iterations());
  for (EventRef ev : events) ReleaseEvent(ev);
}
BENCHMARK(BM_CommandUpdateAll100k)
    ->ArgNames({"selected", "changed"})
    ->ArgsProduct({{0, 1, 1000, 10000, kBase / 2, kBase}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return benchapp::RunBenchmarks(argc, argv);
}
