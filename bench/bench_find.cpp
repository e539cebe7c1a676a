// Searches over a catalogue of 100,000 photo records on one core, through the program's own
// windows (offscreen), each until the found records are displayed:
// - the search window's equals on Subject (500 subjects: 200 records found), answered by the
//   catalogue's own search;
// - its contains on Caption (1% of the captions hold the word), matched record by record;
// - find nearby around one record, a radius taking 25 records, its radius typed into the input
//   window.
// - the value list of Keyword over another catalogue of 100,000 records with five keywords each
//   (1,000 distinct), written to its file and handed to a stand-in opener.
// Beside each, SQLite over the same rows (every column fetched): indexed equality on Subject,
// LIKE on Caption, a latitude and longitude range with an index on latitude.
//   QT_QPA_PLATFORM=offscreen taskset -c 2 build/bench/bench_find
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/core/papp.h"
#include "app/core/pdialogs.h"
#include "app/records/pfindnearby.h"
#include "app/core/phandlers.h"
#include "app/core/pseam.h"
#include "app/info/pfind.h"
#include "app/mainwin/pmainw.h"
#include "app/shell/pshell.h"
#include "app_start.h"
#include "catalog/pfieldset.h"
#include "platform/pcontrol.h"
#include "platform/pmenu.h"
#include "platform/pqt.h"
#include "platform/ptempfile.h"
#include "platform/pwindow.h"
#include "toolkit/pctltext.h"
#include "support/dmessage.h"

#ifdef LUMERIN_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace {

constexpr auto Choose = benchapp::ChooseFindItem;
constexpr auto Type = benchapp::TypeFindField;

constexpr int kRecords = 100000;

// Record i's values: a grid of positions 0.01 degree apart around latitude 45.
struct Row {
  char file[32], subject[32], caption[64];
  float lat, lon, exptime;
};

Row MakeRow(int i) {
  Row r;
  snprintf(r.file, sizeof r.file, "IMG_%07d.JPG", i);
  snprintf(r.subject, sizeof r.subject, "Subject %d", i % 500);
  snprintf(r.caption, sizeof r.caption, "%s walk number %d by the river",
           i % 100 == 7 ? "Harbour" : "Evening", i);
  r.lat = 45.0f + static_cast<float>(i / 400) * 0.01f;
  r.lon = 7.0f + static_cast<float>(i % 400) * 0.01f;
  r.exptime = 1.0f / static_cast<float>(30 + i % 1000);
  return r;
}

// A displayed photo record of row i with the fields every catalogue here has.
DBRecord& NewPhoto(PContext* ctx, int i, const Row& row) {
  DBRecord& r = ctx->rdisp.NewRecord();
  r.Init(ctx->rdisp.GetFieldInfo());
  r.SetField(PDBFfile, row.file);
  r.SetField(PDBFlocation, "/home/ann/Pictures");
  r.SetField(PDBFnbytes, static_cast<long>(500000 + i));
  r.SetField(PDBFhashval, static_cast<long>((i * 2654435761u) & 0x7FFFFFFF));
  r.SetField(PDBFsubject, row.subject);
  r.SetField(PDBFxsize, 3008L);
  r.SetField(PDBFysize, 2000L);
  return r;
}

PMainWindow* mw = nullptr;
PFindWindow* fw = nullptr;
std::string home;

// The interface as start-up makes it, with the catalogue open and displayed empty.
bool Setup() {
  if (mw) return true;
  home = benchapp::MakeHome("/tmp/lumerin_bench_find_XXXXXX");
  if (home.empty()) return false;
  benchapp::QuietStderr();
  if (!benchapp::StartInterface(false)) return false;
  mw = static_cast<PMainWindow*>(gMain);
  fw = static_cast<PFindWindow*>(gFind);
  mw->Show(1);
  PContext& ctx = mw->bc;
  if (!ctx.OpenDB((home + "/find.qdb").c_str())) return false;
  ctx.Clear(&PDBFInfo);
  for (int i = 0; i < kRecords; ++i) {
    const Row row = MakeRow(i);
    DBRecord& r = NewPhoto(&ctx, i, row);
    r.SetField(PDBFcaption, row.caption);
    r.SetField(PDBFlatitude, row.lat);
    r.SetField(PDBFlongitude, row.lon);
    r.SetField(PDBFexptime, row.exptime);
  }
  ctx.SelectAll();
  if (ctx.AddRecords() != kRecords) return false;
  ctx.SelectNone();
  return true;
}

void Search(benchmark::State& state, const char* field, const char* verb, const char* value) {
  if (!Setup()) {
    state.SkipWithError("no interface or catalogue");
    return;
  }
  // The catalogue's pages are read once before the timed searches (warm).
  int found = 0;
  bool warm = false;
  for (auto _ : state) {
    if (!warm) {
      state.PauseTiming();
      fw->Find(mw);
      Choose(160, "alone");
      Choose(130, field);
      Choose(132, verb);
      Type(133, value);
      fw->SearchCatalog();
      warm = true;
      state.ResumeTiming();
    }
    fw->Find(mw);
    Choose(160, "alone");
    Choose(130, field);
    Choose(132, verb);
    Type(133, value);
    if (!fw->SearchCatalog()) state.SkipWithError("search refused");
    found = mw->bc.rdisp.GetSize();
  }
  state.counters["found"] = found;
}

void BM_Ours_EqualsSubject(benchmark::State& state) {
  Search(state, "Subject", "equals", "Subject 123");
}
BENCHMARK(BM_Ours_EqualsSubject)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Ours_ContainsCaption(benchmark::State& state) {
  Search(state, "Caption", "contains", "harbour");
}
BENCHMARK(BM_Ours_ContainsCaption)->Unit(benchmark::kMillisecond)->UseRealTime();

// Around record 40,200 (latitude 46.00, longitude 9.00): 0.0207 degrees of latitude each way
// at 2.3 km and 0.0298 of longitude, 5 x 5 points of the grid.
constexpr char kRadius[] = "2.3";

void BM_Ours_FindNearby(benchmark::State& state) {
  if (!Setup()) {
    state.SkipWithError("no interface or catalogue");
    return;
  }
  int found = 0;
  for (auto _ : state) {
    state.PauseTiming();
    PContext& ctx = mw->bc;
    ctx.Clear(&PDBFInfo);
    DBRecord& r = ctx.rdisp.NewRecord();
    r.Init(ctx.rdisp.GetFieldInfo());
    const Row row = MakeRow(40200);
    r.SetField(PDBFlatitude, row.lat);
    r.SetField(PDBFlongitude, row.lon);
    ctx.Select(0);
    // The radius is typed into the input window as soon as it shows.
    benchapp::AnswerInput(kRadius);
    state.ResumeTiming();
    if (!findNearby()) state.SkipWithError("find nearby refused");
    found = ctx.rdisp.GetSize();
  }
  state.counters["found"] = found;
}
BENCHMARK(BM_Ours_FindNearby)->Unit(benchmark::kMillisecond)->UseRealTime();

// The value list: its own catalogue, opened after the searches above have run.
bool SetupList() {
  static bool done = false;
  if (done) return true;
  if (!Setup()) return false;
  const std::string bin = home + "/bin";
  mkdir(bin.c_str(), 0755);
  if (FILE* f = fopen((bin + "/xdg-open").c_str(), "w")) {
    fputs("#!/bin/sh\nexit 0\n", f);
    fclose(f);
  }
  chmod((bin + "/xdg-open").c_str(), 0755);
  const char* path = getenv("PATH");
  setenv("PATH", (bin + ":" + (path ? path : "")).c_str(), 1);
  PContext& ctx = mw->bc;
  if (!ctx.OpenDB((home + "/list.qdb").c_str())) return false;
  ctx.Clear(&PDBFInfo);
  for (int i = 0; i < kRecords; ++i) {
    const Row row = MakeRow(i);
    DBRecord& r = NewPhoto(&ctx, i, row);
    char kw[5][24];
    const char* k[5];
    for (int j = 0; j < 5; ++j) {
      snprintf(kw[j], sizeof kw[j], "%s %d", j % 2 ? "keyword" : "Keyword",
               static_cast<int>((i * 7u + j * 131u) % 1000));
      k[j] = kw[j];
    }
    r.SetField(PDBFkeyword, k, 5);
  }
  ctx.SelectAll();
  if (ctx.AddRecords() != kRecords) return false;
  ctx.Clear(&PDBFInfo);
  done = true;
  return true;
}

void BM_Ours_ValueList(benchmark::State& state) {
  if (!SetupList()) {
    state.SkipWithError("no interface or catalogue");
    return;
  }
  fw->Find(mw);
  Choose(130, "Keyword");
  const std::string file =
      TempFolder(kTempSmall) + "/lumerin_list" + std::to_string(fw->fid1) + ".txt";
  long lines = 0;
  for (auto _ : state) {
    fw->List(fw->fid1);
    state.PauseTiming();
    lines = 0;
    if (FILE* f = fopen(file.c_str(), "r")) {
      for (int c; (c = fgetc(f)) != EOF;) lines += c == '\n';
      fclose(f);
    }
    state.ResumeTiming();
  }
  state.counters["values"] = static_cast<double>(lines - 2);
}
BENCHMARK(BM_Ours_ValueList)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef LUMERIN_HAVE_SQLITE
sqlite3* sql = nullptr;

bool SetupSql() {
  if (sql) return true;
  const std::string path = "/tmp/lumerin_bench_find.sqlite";
  unlink(path.c_str());
  if (sqlite3_open(path.c_str(), &sql) != SQLITE_OK) return false;
  sqlite3_exec(sql,
               "CREATE TABLE photos (File TEXT, Location TEXT, NBytes INTEGER, HashVal INTEGER,"
               " Subject TEXT, Caption TEXT, XSize INTEGER, YSize INTEGER, Latitude REAL,"
               " Longitude REAL, ExpTime REAL);"
               "CREATE INDEX bysubject ON photos (Subject);"
               "CREATE INDEX bylatitude ON photos (Latitude);",
               nullptr, nullptr, nullptr);
  sqlite3_exec(sql, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(sql, "INSERT INTO photos VALUES (?,?,?,?,?,?,?,?,?,?,?)", -1, &st, nullptr);
  for (int i = 0; i < kRecords; ++i) {
    const Row row = MakeRow(i);
    sqlite3_bind_text(st, 1, row.file, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, "/home/ann/Pictures", -1, SQLITE_STATIC);
    sqlite3_bind_int(st, 3, 500000 + i);
    sqlite3_bind_int(st, 4, static_cast<int>((i * 2654435761u) & 0x7FFFFFFF));
    sqlite3_bind_text(st, 5, row.subject, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 6, row.caption, -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(st, 7, 3008);
    sqlite3_bind_int(st, 8, 2000);
    sqlite3_bind_double(st, 9, row.lat);
    sqlite3_bind_double(st, 10, row.lon);
    sqlite3_bind_double(st, 11, row.exptime);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  sqlite3_exec(sql, "COMMIT", nullptr, nullptr, nullptr);
  return true;
}

template <typename Bind>
void Query(benchmark::State& state, const char* text, Bind bind) {
  if (!SetupSql()) {
    state.SkipWithError("no SQLite database");
    return;
  }
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(sql, text, -1, &st, nullptr);
  int found = 0;
  for (auto _ : state) {
    bind(st);
    found = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
      for (int c = 0; c < 11; ++c) benchmark::DoNotOptimize(sqlite3_column_text(st, c));
      ++found;
    }
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  state.counters["found"] = found;
}

void BM_SQLite_EqualsSubject(benchmark::State& state) {
  Query(state, "SELECT * FROM photos WHERE Subject = ?",
        [](sqlite3_stmt* st) { sqlite3_bind_text(st, 1, "Subject 123", -1, SQLITE_STATIC); });
}
BENCHMARK(BM_SQLite_EqualsSubject)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SQLite_LikeCaption(benchmark::State& state) {
  Query(state, "SELECT * FROM photos WHERE Caption LIKE '%harbour%'", [](sqlite3_stmt*) {});
}
BENCHMARK(BM_SQLite_LikeCaption)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SQLite_LatLonRange(benchmark::State& state) {
  Query(state, "SELECT * FROM photos WHERE Latitude BETWEEN ? AND ? AND Longitude BETWEEN ? AND ?",
        [](sqlite3_stmt* st) {
          const Row row = MakeRow(40200);
          float lo[2][2], hi[2][2];
          PnearbyBoxes(row.lat, row.lon, atof(kRadius), lo, hi);
          sqlite3_bind_double(st, 1, lo[0][0]);
          sqlite3_bind_double(st, 2, hi[0][0]);
          sqlite3_bind_double(st, 3, lo[0][1]);
          sqlite3_bind_double(st, 4, hi[0][1]);
        });
}
BENCHMARK(BM_SQLite_LatLonRange)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

int main(int argc, char** argv) {
  const int status = benchapp::RunBenchmarks(argc, argv);
#ifdef LUMERIN_HAVE_SQLITE
  if (sql) sqlite3_close(sql);
#endif
  return status;
}
