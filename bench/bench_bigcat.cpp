// A big catalogue through the program's own windows (offscreen), at 100,000 and 1,000,000
// records: opening it, a search of the find window that shows 100,000 of its records, Set
// Keyword (typed into the input window) on those 100,000, the idle sync after it, Undo, Redo,
// and closing it as quit does. For each step: its time, the longest the event loop went
// without running a 10 ms timer ("gap"; "frozen": such a wait that began with no progress
// window shown), and whether the progress window was shown. Beside them SQLite doing the same
// on the same rows: opening with the distinct subjects and keywords read, the same search
// (every column fetched), the keyword appended in one transaction (synchronous commit) and put
// back from the saved values, and again.
//
// The records are of a realistic catalogue: 5,000 subjects, 20,000 keywords (one to three a
// record), 20 years of capture dates, GPS on 30%; every (n / 100,000)th is of the make the
// search asks for. The catalogues are made once in /tmp/lumerin_bench_bigcat (written through
// the library directly) and copied before each run.
//   QT_QPA_PLATFORM=offscreen build/bench/bench_bigcat [100000 1000000] [--no-undo|--no-sync]
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pidle.h"
#include "app/core/phandlers.h"
#include "app/core/pprefs.h"
#include "app/info/pfind.h"
#include "app/mainwin/pmainw.h"
#include "app/shell/pshell.h"
#include "app_start.h"
#include "catalog/pdbase.h"
#include "db_photo.h"
#include "formats/stdformats.h"
#include "platform/pcontrol.h"
#include "platform/pevent.h"
#include "platform/pmenu.h"
#include "platform/pqt.h"
#include "platform/pwindow.h"
#include "support/dmessage.h"

namespace {

constexpr auto Choose = benchapp::ChooseFindItem;
constexpr auto Type = benchapp::TypeFindField;

using benchapp::CopyFile;
using benchapp::Exists;

const std::string kDir = "/tmp/lumerin_bench_bigcat";
constexpr int kShown = 100000;
constexpr char kKeyword[] = "harbour lights";

using Clock = std::chrono::steady_clock;
double Now() {
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// The values of photo i of a catalogue of n.
struct Row {
  char file[24], location[48], capdate[40], subject[24], make[24], model[48];
  char keyw[3][16];
  int nkeyw;
  long nbytes, hash, modtime;
  bool gps;
  float lat, lon;
};

Row MakeRow(int i, int n) {
  static const char* const makes[4] = {"NIKON CORPORATION", "Panasonic", "OLYMPUS", "SONY"};
  benchdb::Numbers rnd(i);
  Row r;
  snprintf(r.file, sizeof r.file, "IMG_%07d.JPG", i);
  // 20 years of dates in file order.
  const long day = static_cast<long>(static_cast<double>(i) / n * 20 * 365);
  const int year = 2004 + static_cast<int>(day / 365), month = 1 + static_cast<int>(day % 365) / 31;
  snprintf(r.location, sizeof r.location, "/home/ann/Pictures/%04d/%02d", year, month);
  snprintf(r.capdate, sizeof r.capdate, "%04d:%02d:%02d %02d:%02d:%02d", year, month,
           1 + static_cast<int>(day % 365) % 28, static_cast<int>(rnd() % 24),
           static_cast<int>(rnd() % 60), static_cast<int>(rnd() % 60));
  snprintf(r.subject, sizeof r.subject, "Subject %04u", rnd() % 5000);
  r.nkeyw = 1 + static_cast<int>(rnd() % 3);
  for (int k = 0; k < 3; ++k) snprintf(r.keyw[k], sizeof r.keyw[k], "kw%05u", rnd() % 20000);
  const int every = n / kShown > 0 ? n / kShown : 1;
  snprintf(r.make, sizeof r.make, "%s", i % every == 0 ? "Canon" : makes[rnd() % 4]);
  snprintf(r.model, sizeof r.model, "%s %u", r.make, rnd() % 20);
  r.nbytes = 500000 + static_cast<long>(rnd() % 8000000);
  r.hash = static_cast<long>(rnd() & 0x7FFFFFFF);
  r.modtime = 1100000000L + static_cast<long>(day) * 86400;
  r.gps = rnd() % 10 < 3;
  r.lat = 30.0f + static_cast<float>(rnd() % 20000) / 1000.0f;
  r.lon = -120.0f + static_cast<float>(rnd() % 20000) / 1000.0f;
  return r;
}

void Fill(DBRecord* rec, const Row& r, const DBFieldInfo* s) {
  rec->Init(s);
  rec->SetField(PDBFfile, r.file);
  const char* loc[1] = {r.location};
  rec->SetField(PDBFlocation, loc, 1);
  rec->SetField(PDBFnbytes, r.nbytes);
  rec->SetField(PDBFhashval, r.hash);
  rec->SetField(PDBFformat, "JPEG");
  rec->SetField(PDBFmodtime, r.modtime);
  rec->SetField(PDBFcapdate, r.capdate);
  if (r.gps) {
    rec->SetField(PDBFlatitude, r.lat);
    rec->SetField(PDBFlongitude, r.lon);
  }
  rec->SetField(PDBFsubject, r.subject);
  rec->SetField(PDBFowner, "Ann");
  const char* kw[3] = {r.keyw[0], r.keyw[1], r.keyw[2]};
  for (int a = 1; a < r.nkeyw; ++a)
    for (int b = a; b > 0 && strcmp(kw[b - 1], kw[b]) > 0; --b) std::swap(kw[b - 1], kw[b]);
  rec->SetField(PDBFkeyword, kw, r.nkeyw);
  rec->SetField(PDBFmake, r.make);
  rec->SetField(PDBFmodel, r.model);
  rec->SetField(PDBFxsize, 3008L);
  rec->SetField(PDBFysize, 2000L);
  rec->SetField(PDBFexptime, 0.008f);
  rec->SetField(PDBFaperture, 5.6f);
}

std::string Catalogue(int n) {
  const std::string path = kDir + "/base_" + std::to_string(n) + ".qdb";
  if (Exists(path)) return path;
  mkdir(kDir.c_str(), 0755);
  const double t0 = Now();
  PContext c;
  if (!c.OpenDB(path.c_str())) return "";
  constexpr int kBatch = 20000;
  std::vector<DBRecord> recs(kBatch);
  c.Checkpoint("Add", nullptr);
  for (int i = 0; i < n; i += kBatch) {
    const int m = n - i < kBatch ? n - i : kBatch;
    for (int k = 0; k < m; ++k) Fill(&recs[k], MakeRow(i + k, n), &c.phd);
    c.pdb.AddRecords(recs.data(), m);
  }
  c.ClearUndo();
  c.CloseDB();
  fprintf(stderr, "made %s in %.1f s\n", path.c_str(), Now() - t0);
  return path;
}

PMainWindow* mw = nullptr;
PFindWindow* fw = nullptr;

bool Setup() {
  benchapp::QuietStderr();
  mw = benchapp::MainWindow();
  fw = static_cast<PFindWindow*>(gFind);
  return mw != nullptr;
}

// The 10 ms timer whose longest wait tells how long the windows went unpainted.
// "frozen" is the longest of those waits that began with no progress window shown.
struct Watch {
  QTimer timer;
  double last = 0, gap = 0, frozen = 0;
  bool progress = false, showing = false;
  Watch() {
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [this] { Tick(); });
    timer.start(10);
  }
  void Tick() {
    const double t = Now();
    if (t - last > gap) gap = t - last;
    if (!showing && t - last > frozen) frozen = t - last;
    last = t;
    showing = gProgressWindow != nullptr && IsWindowVisible(gProgressWindow);
    if (showing) progress = true;
  }
  void Start() {
    last = Now();
    gap = frozen = 0;
    progress = showing = false;
  }
};

struct Step {
  const char* name;
  double secs, gap, frozen;
  bool progress;
  double sqlite;  // -1: none
};

template <class F>
Step Time(Watch* w, const char* name, F f) {
  w->Start();
  const double t0 = Now();
  f();
  const double t1 = Now();
  w->Tick();
  return Step{name, t1 - t0, w->gap, w->frozen, w->progress, -1};
}

void Command(const char (&code)[5]) {
  HICommand cmd{0, FourCC(code), nullptr, 0};
  ProcessHICommand(&cmd);
}

int CountKeyword() {
  int k = 0;
  const DBField key(kKeyword);
  for (int i = 0; i < mw->bc.rdisp.GetSize(); ++i)
    if (PDBgetField(mw->bc.rdisp[i], PDBFkeyword).Match(kKeyword)) ++k;
  return k;
}

bool gSkipUndo = false;  // --no-undo: the steps up to the sync only
bool gSkipSync = false;  // --no-sync: up to Set Keyword, then the process ends unsynced

std::vector<Step> RunOurs(int n) {
  std::vector<Step> steps;
  const std::string base = Catalogue(n), work = kDir + "/work_" + std::to_string(n) + "_" +
                                                std::to_string(getpid()) + ".qdb";
  if (base.empty()) return steps;
  for (const char* s : {"", ".lock", "-journal", "-journal.new", "-index", "-index.tmp"})
    unlink((work + s).c_str());
  CopyFile(base, work);
  Watch w;
  bool ok = true;
  steps.push_back(Time(&w, "Open Catalog", [&] { ok = mw->OpenCatalog(work.c_str()); }));
  if (!ok) fprintf(stderr, "open failed\n");
  steps.push_back(Time(&w, "search showing 100,000", [&] {
    fw->Find(mw);
    Choose(160, "alone");
    Choose(130, "Make");
    Choose(132, "equals");
    Type(133, "Canon");
    ok = fw->SearchCatalog();
  }));
  if (!ok || mw->bc.rdisp.GetSize() != kShown)
    fprintf(stderr, "search found %d\n", mw->bc.rdisp.GetSize());
  mw->bc.SelectAll();
  steps.push_back(Time(&w, "Set Keyword on 100,000", [&] {
    benchapp::AnswerInput(kKeyword);
    Command("keyw");
  }));
  if (CountKeyword() != mw->bc.rdisp.GetSize()) fprintf(stderr, "keyword not set\n");
  if (gSkipSync) return steps;
  steps.push_back(Time(&w, "the sync after it", [&] {
    if (!PidleSync()) ok = mw->bc.SyncDB();
  }));
  if (!gSkipUndo) {
    steps.push_back(Time(&w, "Undo of that keyword", [&] { Command("undo"); }));
    if (CountKeyword() != 0) fprintf(stderr, "undo left %d keywords\n", CountKeyword());
    steps.push_back(Time(&w, "Redo", [&] { Command("redo"); }));
    if (CountKeyword() != mw->bc.rdisp.GetSize()) fprintf(stderr, "redo incomplete\n");
  }
  steps.push_back(Time(&w, "quit (close syncs)", [&] { mw->CloseCatalog(); }));
  for (const char* s : {"", ".lock", "-journal", "-journal.new", "-index", "-index.tmp"})
    unlink((work + s).c_str());
  return steps;
}

#ifdef LUMERIN_HAVE_SQLITE
std::string SqlCatalogue(int n) {
  const std::string path = kDir + "/base_" + std::to_string(n) + ".sqlite";
  if (Exists(path)) return path;
  mkdir(kDir.c_str(), 0755);
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, benchdb::CreateTableSQL().c_str(), nullptr, nullptr, nullptr);
  sqlite3_exec(db, "CREATE INDEX photo_make ON photos (Make)", nullptr, nullptr, nullptr);
  std::string sql = "INSERT INTO photos VALUES (?";
  for (int i = 1; i < 45; i++) sql += ",?";
  sql += ")";
  sqlite3_stmt* st = nullptr;
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
  for (int i = 0; i < n; i++) {
    const Row r = MakeRow(i, n);
    sqlite3_bind_text(st, 1, r.file, -1, SQLITE_STATIC);
    sqlite3_bind_text(st, 2, r.location, -1, SQLITE_STATIC);
    sqlite3_bind_int64(st, 3, r.nbytes);
    sqlite3_bind_int64(st, 4, r.hash);
    sqlite3_bind_text(st, 5, "JPEG", -1, SQLITE_STATIC);
    sqlite3_bind_int64(st, 6, r.modtime);
    sqlite3_bind_text(st, 7, r.capdate, -1, SQLITE_STATIC);
    if (r.gps) {
      sqlite3_bind_double(st, 9, r.lat);
      sqlite3_bind_double(st, 10, r.lon);
    }
    sqlite3_bind_text(st, 13, r.subject, -1, SQLITE_STATIC);
    sqlite3_bind_text(st, 15, "Ann", -1, SQLITE_STATIC);
    std::string kw = r.keyw[0];
    for (int k = 1; k < r.nkeyw; k++) kw += std::string(",") + r.keyw[k];
    sqlite3_bind_text(st, 20, kw.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 23, r.make, -1, SQLITE_STATIC);
    sqlite3_bind_text(st, 24, r.model, -1, SQLITE_STATIC);
    sqlite3_bind_int(st, 32, 3008);
    sqlite3_bind_int(st, 33, 2000);
    sqlite3_bind_double(st, 40, 0.008);
    sqlite3_bind_double(st, 41, 5.6);
    sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
  }
  sqlite3_finalize(st);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return path;
}

void Exec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    fprintf(stderr, "sqlite: %s\n", err ? err : "?");
    sqlite3_free(err);
  }
}

int Rows(sqlite3* db, const char* sql) {
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
  int k = 0;
  while (sqlite3_step(st) == SQLITE_ROW) {
    for (int c = 0; c < sqlite3_column_count(st); c++) (void)sqlite3_column_text(st, c);
    k++;
  }
  sqlite3_finalize(st);
  return k;
}

// The same steps on the SQLite rows: seconds of open, search, set (with its commit), undo and
// redo.
std::vector<double> RunSqlite(int n) {
  const std::string base = SqlCatalogue(n), work = kDir + "/work_" + std::to_string(n) + "_" +
                                                   std::to_string(getpid()) + ".sqlite";
  unlink((work + "-journal").c_str());
  CopyFile(base, work);
  std::vector<double> t;
  sqlite3* db = nullptr;
  double t0 = Now();
  sqlite3_open(work.c_str(), &db);
  Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL; PRAGMA cache_size=-262144");
  Rows(db, "SELECT DISTINCT Subject FROM photos");
  Rows(db, "SELECT DISTINCT Keyword FROM photos");
  t.push_back(Now() - t0);
  t0 = Now();
  const int found = Rows(db, "SELECT * FROM photos WHERE Make = 'Canon'");
  t.push_back(Now() - t0);
  if (found != kShown) fprintf(stderr, "sqlite search found %d\n", found);
  // The old values are kept for the undo, as our undo step keeps them.
  t0 = Now();
  Exec(db,
       "BEGIN; CREATE TEMP TABLE undo (id INTEGER PRIMARY KEY, Keyword TEXT); INSERT INTO undo "
       "SELECT rowid, Keyword FROM photos WHERE Make = 'Canon'; UPDATE photos SET Keyword = "
       "Keyword || ',harbour lights' WHERE Make = 'Canon'; "
       "COMMIT");
  t.push_back(Now() - t0);
  t0 = Now();
  Exec(db,
       "BEGIN; UPDATE photos SET Keyword = (SELECT Keyword FROM undo WHERE id = photos.rowid) "
       "WHERE Make = 'Canon'; COMMIT");
  t.push_back(Now() - t0);
  t0 = Now();
  Exec(db,
       "BEGIN; UPDATE photos SET Keyword = Keyword || ',harbour lights' WHERE Make = 'Canon'; "
       "COMMIT");
  t.push_back(Now() - t0);
  sqlite3_close(db);
  unlink(work.c_str());
  return t;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i)
    if (strcmp(argv[i], "--no-undo") == 0)
      gSkipUndo = true;
    else if (strcmp(argv[i], "--no-sync") == 0)
      gSkipSync = gSkipUndo = true;
    else if (atoi(argv[i]) >= kShown)
      sizes.push_back(atoi(argv[i]));
  if (sizes.empty()) sizes = {100000, 1000000};
  if (!Setup()) {
    fprintf(stderr, "no interface\n");
    return 1;
  }
  for (int n : sizes) {
    std::vector<Step> steps = RunOurs(n);
#ifdef LUMERIN_HAVE_SQLITE
    const std::vector<double> sql = RunSqlite(n);
    const int at[] = {0, 1, 2, -1, gSkipUndo ? -1 : 3, gSkipUndo ? -1 : 4, -1};
    for (size_t i = 0; i < steps.size() && i < 7; ++i)
      if (at[i] >= 0 && at[i] < static_cast<int>(sql.size())) steps[i].sqlite = sql[at[i]];
#endif
    printf("%d records\n%-26s %9s %9s %9s %9s %11s\n", n, "step", "time s", "gap s", "frozen s",
           "progress", "SQLite ms");
    for (const Step& s : steps) {
      printf("%-26s %9.3f %9.3f %9.3f %9s", s.name, s.secs, s.gap, s.frozen,
             s.progress ? "shown" : "-");
      if (s.sqlite >= 0)
        printf(" %11.0f\n", s.sqlite * 1000);
      else
        printf(" %11s\n", "");
    }
    fflush(stdout);
  }
  if (gSkipSync) _exit(0);  // nothing of the unsynced change is written
  gInterfaceReady = 0;
  PdestroyInterface();
  return 0;
}
