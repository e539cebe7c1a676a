// The sync idle time makes after a command, on one core, through the program's own window
// (offscreen): 100 displayed records, spread evenly over a catalogue of 100,000 (every 1,000th),
// get a new title in one edit (100 deletions and 100 additions queued), then
// - BM_IdleSync100ChangesIn100k: the application loop runs at rest until the sync timer has
//   synced them; the time reported is the loop's stall in which the sync ran (the gap between
//   the two ticks of a 1 ms timer around it), which is what the window shows of the sync;
// - BM_SyncDB100ChangesIn100k: the same sync called alone, for its own cost;
// - beside them, SQLite's COMMIT of the same 100 rows updated in an indexed table of 100,000,
//   in a transaction begun before the timing (its defaults: rollback journal, synchronous
//   commit).
// The base catalogue and table are made once in /tmp/lumerin_bench_idlesync.
//   QT_QPA_PLATFORM=offscreen taskset -c 2 build/bench/bench_idlesync
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/browser/pbrowser.h"
#include "app/core/papp.h"
#include "app/core/pidle.h"
#include "app/core/phandlers.h"
#include "app/core/pprefs.h"
#include "app/mainwin/pmainw.h"
#include "app/shell/pshell.h"
#include "app_start.h"
#include "catalog/pdbase.h"
#include "catalog/pfieldset.h"
#include "db_photo.h"
#include "formats/stdformats.h"
#include "platform/pevent.h"
#include "support/dmessage.h"

namespace {

using benchapp::CopyFile;
using benchapp::Exists;

constexpr int kBase = 100000, kChanged = 100, kSpread = kBase / kChanged;
const std::string kDir = "/tmp/lumerin_bench_idlesync";

// A fresh copy of the catalogue, open, with every 1,000th record shown and retitled in one edit;
// false when any of it failed.
bool ChangeHundred(PMainWindow* mw, int round) {
  const std::string work = kDir + "/work.qdb";
  dmessage_last_class = DMCnerr;
  mw->CloseCatalog();
  unlink(work.c_str());
  unlink((work + "-index").c_str());
  CopyFile(benchapp::Catalogue(kDir + "/base.qdb", kBase), work);
  if (!mw->OpenCatalog(work.c_str())) return false;
  mw->LoadingRecords(nullptr);
  PContext& bc = mw->bc;
  bc.rdisp.Resize(kChanged);
  for (int i = 0; i < kChanged; i++) {
    bc.rdisp[i].Init(bc.rdisp.GetFieldInfo());
    benchdb::FillRecord(&bc.rdisp[i], benchdb::MakePhoto(i * kSpread), bc.rdisp.GetFieldInfo());
  }
  snprintf(bc.rsrc, sizeof bc.rsrc, "/home/ann/Pictures");
  mw->LoadedRecords(kChanged);
  if (bc.TotalCommon() != kChanged) return false;
  PBrowser* b = mw->GetPBrowser();
  if (!b->NewChange("Title")) return false;
  const std::string title = "Harbour " + std::to_string(round);
  for (int i = 0; i < kChanged; i++) PDBsetString(b->ChangeRecord(i), PDBFtitle, title.c_str());
  return b->CompleteChange() == kChanged && bc.Unsynced();
}

void BM_IdleSync100ChangesIn100k(benchmark::State& state) {
  PMainWindow* mw = benchapp::MainWindow();
  if (mw == nullptr) return state.SkipWithError("no interface");
  int round = 0;
  double stalls = 0;
  for (auto _ : state) {
    if (!ChangeHundred(mw, round++)) return state.SkipWithError("the edit failed");
    // As the loop comes back to rest after the command: the timer is armed; the loop then runs
    // at rest under a 1 ms ticker until the changes are on disk.
    PidleSyncCheck();
    using Clock = std::chrono::steady_clock;
    Clock::time_point last = Clock::now();
    double longest = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
      const Clock::time_point now = Clock::now();
      // The gap in which the changes reached the disk.
      if (!mw->bc.Unsynced()) {
        longest = std::chrono::duration<double>(now - last).count();
        QuitApplicationEventLoop();
      }
      last = now;
    });
    ticker.start(1);
    RunApplicationEventLoop();
    if (mw->bc.Unsynced()) return state.SkipWithError("not synced");
    state.SetIterationTime(longest);
    stalls += longest;
  }
  state.counters["stall_ms"] = benchmark::Counter(1000 * stalls / std::max(round, 1));
  mw->CloseCatalog();
}
BENCHMARK(BM_IdleSync100ChangesIn100k)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(7)
    ->UseManualTime();

void BM_SyncDB100ChangesIn100k(benchmark::State& state) {
  PMainWindow* mw = benchapp::MainWindow();
  if (mw == nullptr) return state.SkipWithError("no interface");
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (!ChangeHundred(mw, round++)) return state.SkipWithError("the edit failed");
    state.ResumeTiming();
    const bool ok = mw->bc.SyncDB();
    state.PauseTiming();
    if (!ok) return state.SkipWithError("sync failed");
    state.ResumeTiming();
  }
  mw->CloseCatalog();
}
BENCHMARK(BM_SyncDB100ChangesIn100k)->Unit(benchmark::kMillisecond)->Iterations(7)->UseRealTime();

#ifdef LUMERIN_HAVE_SQLITE
void BM_Sqlite3Commit100UpdatesIn100k(benchmark::State& state) {
  const std::string base = benchdb::Table(kDir + "/base.sqlite", kBase),
                    work = kDir + "/work.sqlite";
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    sqlite3* s = benchdb::OpenCopy(base, work);
    sqlite3_exec(s, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(s, "UPDATE photos SET Title = ? WHERE NBytes = ? AND HashVal = ?", -1, &st,
                       nullptr);
    const std::string title = "Harbour " + std::to_string(round++);
    for (int i = 0; i < kChanged; i++) {
      const benchdb::Photo p = benchdb::MakePhoto(i * kSpread);
      sqlite3_bind_text(st, 1, title.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int(st, 2, p.nbytes);
      sqlite3_bind_int(st, 3, p.hash);
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    const int changed = sqlite3_total_changes(s);
    state.ResumeTiming();
    const bool ok = sqlite3_exec(s, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    state.PauseTiming();
    sqlite3_close(s);
    if (!ok || changed < kChanged) return state.SkipWithError("update failed");
    state.ResumeTiming();
  }
}
BENCHMARK(BM_Sqlite3Commit100UpdatesIn100k)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(7)
    ->UseRealTime();
#endif

}  // namespace

int main(int argc, char** argv) {
  return benchapp::RunBenchmarks(argc, argv);
}
