// Record import through the program's own command (offscreen), on one core:
// - a record table of one record whose caption is 20 MB;
// - a record table of one record whose file name is 20 MB: no such file exists, so the check
//   asks the user to find it (a file dialog naming the file), which is cancelled at once;
// - the plain import: about the same bytes as 50,000 ordinary photo records (every field of
//   a camera's photo, a subject, keywords and a caption of a sentence).
// Each is importRecords as the Import command runs it: reading the table into the display,
// the check that every record's image file is in place (all are), and the display's
// reconciling and ordering. Beside the time, "peak_MB" is the most the process's resident
// memory grew over what it held before the import (the imported records included); the
// tables, and the small files the records name, are made once in /tmp/lumerin_bench_import.
//   QT_QPA_PLATFORM=offscreen taskset -c 2 build/bench/bench_import
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/core/papp.h"
#include "app/core/phandlers.h"
#include "app/core/pprefs.h"
#include "app/export/ptrader.h"
#include "app/mainwin/pmainw.h"
#include "app/shell/pshell.h"
#include "app_start.h"
#include "catalog/pdbase.h"
#include "catalog/pfileinfo.h"
#include "db_photo.h"
#include "formats/stdformats.h"
#include "support/dmessage.h"

namespace {

using benchapp::Exists;

const std::string kDir = "/tmp/lumerin_bench_import";
constexpr int kPlain = 50000;
constexpr size_t kValue = 20u << 20;

long long FileSize(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// A small file for record i to name, and the record of it: its file facts and, from the
// catalogue photo i, everything else.
void Record(PContext* ctx, int i, const std::string& name) {
  const std::string path = kDir + "/files/" + name;
  if (!Exists(path))
    if (FILE* f = fopen(path.c_str(), "w")) {
      fprintf(f, "picture %d", i);
      fclose(f);
    }
  DBRecord& r = ctx->rdisp[i];
  benchdb::FillRecord(&r, benchdb::MakePhoto(i), ctx->rdisp.GetFieldInfo());
  PDBsetString(&r, PDBFcaption, "Late light over the harbour wall, from the north pier.");
  recordFileInfo(&r, path.c_str());
}

// The tables, written by the program's own export.
bool MakeTables(std::string* one, std::string* name, std::string* plain) {
  *one = kDir + "/one_value.txt";
  *name = kDir + "/one_name.txt";
  *plain = kDir + "/plain.txt";
  if (Exists(*one) && Exists(*name) && Exists(*plain)) return true;
  mkdir(kDir.c_str(), 0755);
  mkdir((kDir + "/files").c_str(), 0755);
  PContext ctx;
  ctx.ClearRecords();
  ctx.rdisp.Resize(1);
  Record(&ctx, 0, "big.jpg");
  PDBsetString(&ctx.rdisp[0], PDBFcaption, std::string(kValue, 'w').c_str());
  if (saveRecords(one->c_str(), &ctx) != 1) return false;
  PDBsetString(&ctx.rdisp[0], PDBFcaption, "A short caption.");
  PDBsetString(&ctx.rdisp[0], PDBFfile, std::string(kValue, 'f').c_str());
  mkdir((kDir + "/lost").c_str(), 0755);  // the dialog opens in the file's folder
  PDBsetString(&ctx.rdisp[0], PDBFlocation, (kDir + "/lost").c_str());
  if (saveRecords(name->c_str(), &ctx) != 1) return false;
  ctx.ClearRecords();
  ctx.rdisp.Resize(kPlain);
  for (int i = 0; i < kPlain; i++) Record(&ctx, i, "p" + std::to_string(i) + ".jpg");
  return saveRecords(plain->c_str(), &ctx) == kPlain;
}

long StatusKB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, n, key) == 0) return atol(line.c_str() + n);
  return -1;
}

enum Table { kOneValue, kOneName, kPlainTable };

void Import(benchmark::State& state, Table which) {
  dmessage_call = [](unsigned, const char*, const char*, int) -> uint32_t {
    return DMAlog | DMAstderr | DMAalert | DMAexit | DMAabort;
  };
  PMainWindow* mw = benchapp::MainWindow();
  if (mw == nullptr) return state.SkipWithError("no interface");
  std::string oneTable, nameTable, plainTable;
  if (!MakeTables(&oneTable, &nameTable, &plainTable))
    return state.SkipWithError("cannot make the tables");
  const std::string& table = which == kOneValue  ? oneTable
                             : which == kOneName ? nameTable
                                                 : plainTable;
  const int expect = which == kPlainTable ? kPlain : 1;
  // A file dialog that shows is cancelled as soon as it is up.
  QTimer cancel;
  QObject::connect(&cancel, &QTimer::timeout, [] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isVisible() && w->objectName() == "PlatformFileDialog")
        static_cast<QDialog*>(w)->reject();
  });
  cancel.start(1);
  long peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    mw->LoadingRecords(nullptr);  // the display of the run before goes
    mw->LoadedRecords(0);
    malloc_trim(0);  // what the run before freed leaves the process
    // The peak of resident memory starts again from what is resident now.
    if (FILE* f = fopen("/proc/self/clear_refs", "w")) {
      fputs("5", f);
      fclose(f);
    }
    const long before = StatusKB("VmRSS:");
    state.ResumeTiming();
    importRecords(table.c_str());
    state.PauseTiming();
    const long grew = StatusKB("VmHWM:") - before;
    if (grew > peak) peak = grew;
    if (mw->bc.rdisp.GetSize() != expect) return state.SkipWithError("records missing");
    state.ResumeTiming();
  }
  state.counters["bytes"] = static_cast<double>(FileSize(table));
  state.counters["records"] = expect;
  state.counters["peak_MB"] = peak / 1024.0;
}

void BM_ImportOneValue20MB(benchmark::State& state) {
  Import(state, kOneValue);
}
BENCHMARK(BM_ImportOneValue20MB)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_ImportOneFileName20MB(benchmark::State& state) {
  Import(state, kOneName);
}
BENCHMARK(BM_ImportOneFileName20MB)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_ImportPlain50kRecords(benchmark::State& state) {
  Import(state, kPlainTable);
}
BENCHMARK(BM_ImportPlain50kRecords)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return benchapp::RunBenchmarks(argc, argv);
}
