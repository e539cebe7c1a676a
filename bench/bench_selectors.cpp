// The main window's selectors on one core, through the program's own windows (offscreen):
// - UpdateSelectors for a context of 100,000 catalogued records (5,000 subjects, 20,000
//   keywords, their timeline), target 100 ms;
// - HiliteSelectors with 10,000 displayed records selected, target 50 ms;
// - the 'keyw' command (its dialog answered) on 10,000 catalogued records shown and selected, one
//   undo step, then the catalogue synced, target 1 s;
// - a timeline double click on a year of 20,000 records (one event a day, 336 events; of a
//   catalogue of 25,000), target 150 ms;
// - one idle firing that makes one visible cell final (medium thumbnails, warm cache), target
//   20 ms.
// The catalogues are made once, straight through the catalogue library, in
// /tmp/lumerin_bench_selectors; the pictures of the idle firing are copies of test pictures there.
//   QT_QPA_PLATFORM=offscreen taskset -c 2 build/bench/bench_selectors
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/browser/pbrowser.h"
#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pdialogs.h"
#include "app/core/pfolder.h"
#include "app/core/phandlers.h"
#include "app/core/pprefs.h"
#include "app/core/pseam.h"
#include "app/mainwin/pmainw.h"
#include "app/mainwin/pselectlist.h"
#include "app/shell/pshell.h"
#include "app_start.h"
#include "catalog/pdbase.h"
#include "catalog/pfieldset.h"
#include "bench_testdata.h"
#include "formats/stdformats.h"
#include "platform/pcontrol.h"
#include "platform/pmenu.h"
#include "platform/pqt.h"
#include "platform/pwindow.h"
#include "support/dmessage.h"
#include "toolkit/pctltext.h"

namespace {

using benchapp::CopyFile;
using benchapp::Exists;

PMainWindow* Main() {
  static bool made = false;
  if (!made) {
    if (!benchapp::StartInterface()) return nullptr;
    dmessage_alert = nullptr;
    PprefLink();  // the recent catalogue list
    made = true;
    gMain->Show(1);
  }
  return static_cast<PMainWindow*>(gMain);
}

std::string Date(int i) {
  char d[32];
  snprintf(d, sizeof d, "%04d:%02d:%02d %02d:00:00", 1990 + i % 30, 1 + i % 12, 1 + i % 28, i % 24);
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

std::string Dir() {
  return QDir::tempPath().toStdString() + "/lumerin_bench_selectors";
}

// A catalogue of records made by fill(record, i), built once in one addition and one sync, and
// kept for later runs (a mark beside it tells that it is whole).
template <class Fill>
std::string Catalogue(const char* name, int n, Fill fill) {
  const std::string path = Dir() + "/" + name, made = path + ".made";
  if (Exists(made)) return path;
  unlink(path.c_str());
  unlink((path + "-index").c_str());
  PContext c;
  if (!c.OpenDB(path.c_str())) return "";
  std::vector<DBRecord> recs(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    recs[static_cast<size_t>(i)].Init(&c.phd);
    fill(&recs[static_cast<size_t>(i)], i);
  }
  c.Checkpoint("Add", nullptr);
  c.pdb.AddRecords(recs.data(), n);
  const bool synced = c.SyncDB();
  c.CloseDB();
  if (!synced || !std::ofstream(made)) return "";
  return path;
}

// A camera picture's record: its identity (name, length, content hash) as a folder load
// leaves it, and its subject, date and two keywords.
void Photo(DBRecord* r, int i, const char* date, const char* subject) {
  PDBsetString(r, PDBFfile, ("IMG_" + std::to_string(i) + ".JPG").c_str());
  const char* folder = "/home/ann/Pictures";
  PDBsetStrings(r, PDBFlocation, &folder, 1);
  PDBsetInt(r, PDBFnbytes, 2000000 + (i * 7919L) % 3000000);
  PDBsetInt(r, PDBFhashval, static_cast<long>((static_cast<uint32_t>(i) * 2654435761u) >> 1));
  PDBsetString(r, PDBFformat, "JPEG");
  PDBsetString(r, PDBFsubject, subject);
  PDBsetString(r, PDBFcapdate, date);
  const std::string k1 = "Keyword " + std::to_string(i % 500);
  const std::string k2 = "Keyword " + std::to_string((i * 7 + 3) % 500);
  const char* kw[2] = {k1.c_str(), k2.c_str()};
  PDBsetStrings(r, PDBFkeyword, kw, 2);
}

// 10,000 records of 2009, one event a day.
std::string KeywordCatalogue() {
  return Catalogue("keyw10k.qdb", 10000, [](DBRecord* r, int i) {
    const int day = i * 365 / 10000;
    char date[32], subject[32];
    snprintf(date, sizeof date, "2009:%02d:%02d %02d:%02d:00", 1 + day / 31 % 12, 1 + day % 28,
             8 + i % 12, i % 60);
    snprintf(subject, sizeof subject, "Event %d", day);
    Photo(r, i, date, subject);
  });
}

// 20,000 records of 2010 (one event a day) and 5,000 of 2011.
std::string YearCatalogue() {
  return Catalogue("year20k.qdb", 25000, [](DBRecord* r, int i) {
    const int year = i < 20000 ? 2010 : 2011;
    const int day = i < 20000 ? i * 336 / 20000 : (i - 20000) * 336 / 5000;
    char date[32], subject[32];
    snprintf(date, sizeof date, "%d:%02d:%02d %02d:%02d:00", year, 1 + day / 28, 1 + day % 28,
             8 + i % 12, i % 60);
    snprintf(subject, sizeof subject, "Event %d-%d", year, day);
    Photo(r, i, date, subject);
  });
}

// The timeline's row of year (closed years only), or -1.
int YearRow(PMainWindow* mw, PTimelineListDrawer** tl, const char* year) {
  *tl = static_cast<PTimelineListDrawer*>(mw->GetSelectDrawer(2));
  if (*tl == nullptr) return -1;
  for (int r = 0; r < (*tl)->GetNItems(); ++r)
    if (strstr((*tl)->GetItem(r), year) != nullptr) return r;
  return -1;
}

// A double click on the year's row: the catalogue's records of its events displayed.
bool ShowYear(PMainWindow* mw, const char* year) {
  PTimelineListDrawer* tl = nullptr;
  const int row = YearRow(mw, &tl, year);
  if (row < 0) return false;
  tl->SelectAll(false);
  tl->Select(row, true);
  mw->ProcessTimelineSel(tl, true);
  return true;
}

// Answers the input dialog with text and OK whenever it shows.
class InputAnswer {
 public:
  explicit InputAnswer(const char* text) : text_(text) {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (!IsWindowVisible(gInputWindow)) return;
      ControlID field{FourCC("inpt"), 129}, ok{FourCC("bttn"), 1};
      ControlRef c = nullptr;
      if (GetControlByID(gInputWindow, &field, &c) == noErr) PutControlText(c, text_.c_str());
      if (GetControlByID(gInputWindow, &ok, &c) == noErr)
        if (auto* b = qobject_cast<QAbstractButton*>(PlatformControlWidget(c))) b->click();
    });
  }
  void Start() { timer_.start(1); }
  void Stop() { timer_.stop(); }

 private:
  std::string text_;
  QTimer timer_;
};

void BM_SetKeyword10k(benchmark::State& state) {
  PMainWindow* mw = Main();
  const std::string base = KeywordCatalogue(), work = Dir() + "/keyw-work.qdb";
  if (mw == nullptr || base.empty()) return state.SkipWithError("no interface or catalogue");
  mw->bc.ClearSets();
  InputAnswer answer("Harbour");
  HICommand cmd{0, FourCC("keyw"), nullptr, 0};
  int changed = 0;
  double inCommand = 0, inSync = 0;
  for (auto _ : state) {
    state.PauseTiming();
    dmessage_last_class = DMCnerr;
    mw->CloseCatalog();
    unlink(work.c_str());
    unlink((work + "-index").c_str());
    if (!CopyFile(base, work) || !mw->OpenCatalog(work.c_str()))
      return state.SkipWithError("cannot open the catalogue");
    dmessage_last_class = DMCnerr;  // its index rebuilt: a warning, no blinking
    if (!ShowYear(mw, "2009")) return state.SkipWithError("cannot show the catalogue");
    mw->bc.SelectAll();
    dmessage_last_class = DMCnerr;  // as each command starts: no earlier problem blinks
    EventRef ev = nullptr;
    CreateEvent(kEventClassCommand, kEventCommandProcess, GetCurrentEventTime(), &ev);
    SetEventParameter(ev, kEventParamDirectObject, typeHICommand, sizeof cmd, &cmd);
    answer.Start();
    state.ResumeTiming();
    const auto t0 = std::chrono::steady_clock::now();
    mw->HandleCommand(ev);
    const auto t1 = std::chrono::steady_clock::now();
    const bool synced = mw->bc.SyncDB();
    const auto t2 = std::chrono::steady_clock::now();
    state.PauseTiming();
    answer.Stop();
    inCommand += std::chrono::duration<double, std::milli>(t1 - t0).count();
    inSync += std::chrono::duration<double, std::milli>(t2 - t1).count();
    ReleaseEvent(ev);
    changed = 0;
    for (int i = 0; i < mw->bc.rdisp.GetSize(); ++i)
      for (int k = 0; const char* v = PDBgetString(mw->bc.rdisp.Get(i), PDBFkeyword, k); ++k)
        changed += strcmp(v, "Harbour") == 0;
    char undo[64] = "";
    UInt32 len = 0;
    GetMenuItemText(GetMenuHandle(258), 1, undo, sizeof undo - 1, &len);
    undo[std::min<UInt32>(len, sizeof undo - 1)] = '\0';
    if (!synced || changed != 10000 || strcmp(undo, "Undo Set") != 0)
      return state.SkipWithError("not set as one undo step, or not synced");
    state.ResumeTiming();
  }
  state.counters["records"] = changed;
  state.counters["command_ms"] = inCommand / static_cast<double>(state.iterations());
  state.counters["sync_ms"] = inSync / static_cast<double>(state.iterations());
  mw->CloseCatalog();
}
BENCHMARK(BM_SetKeyword10k)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_TimelineYear20k(benchmark::State& state) {
  PMainWindow* mw = Main();
  const std::string path = YearCatalogue();
  if (mw == nullptr || path.empty()) return state.SkipWithError("no interface or catalogue");
  mw->bc.ClearSets();
  if (!mw->OpenCatalog(path.c_str())) return state.SkipWithError("cannot open the catalogue");
  dmessage_last_class = DMCnerr;
  for (auto _ : state) {
    state.PauseTiming();
    mw->LoadingRecords(nullptr);
    mw->LoadedRecords(0);
    dmessage_last_class = DMCnerr;  // as each command starts: no earlier problem blinks
    state.ResumeTiming();
    if (!ShowYear(mw, "2010")) return state.SkipWithError("no year 2010");
  }
  state.counters["records"] = mw->bc.rdisp.GetSize();
  mw->CloseCatalog();
}
BENCHMARK(BM_TimelineYear20k)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

// A folder of test pictures shown with medium thumbnails, every thumbnail in the cache; each
// firing finds one cell not final and makes it so.
void BM_IdleFiring(benchmark::State& state) {
  PMainWindow* mw = Main();
  if (mw == nullptr) return state.SkipWithError("no interface");
  const std::string src = testdataDir() + "/jpeg", pics = Dir() + "/pics";
  QDir().mkpath(QString::fromStdString(pics));
  const char* names[] = {"landscape_1.jpg",       "landscape_2.jpg",       "landscape_3.jpg",
                         "landscape_4.jpg",       "landscape_5.jpg",       "landscape_6.jpg",
                         "landscape_7.jpg",       "landscape_8.jpg",       "desk_baseline_420.jpg",
                         "desk_baseline_422.jpg", "desk_baseline_444.jpg", "DSCN0010.jpg"};
  for (const char* n : names)
    if (!Exists(pics + "/" + n) && !CopyFile(src + "/" + n, pics + "/" + n))
      return state.SkipWithError("no test pictures");
  const std::string tn = Dir() + "/thumbs";
  QDir().mkpath(QString::fromStdString(tn));
  PBrowser::tnMgr.SetCacheDirectory(tn.c_str());
  mw->CloseCatalog();
  mw->SetThumbSize(FourCC("tmed"), false);
  PBrowser* b = mw->GetPBrowser();
  if (loadFolder(pics.c_str(), false, nullptr) != 12) return state.SkipWithError("not loaded");
  b->ImproveDisplay(true);  // the cache warmed, the sounds learned
  PBrowser::tnMgr.SyncCache();
  const int cells = std::min(b->ThumbCount(), mw->bc.rdisp.GetSize());
  int cell = 0, improved = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < cells; ++i) b->thumbFinal.Set(static_cast<uint32_t>(i));
    b->thumbFinal.Reset(static_cast<uint32_t>(cell));
    cell = (cell + 1) % cells;
    state.ResumeTiming();
    improveCallback(0);
    state.PauseTiming();
    improved += b->thumbFinal.Check(static_cast<uint32_t>((cell + cells - 1) % cells));
    state.ResumeTiming();
  }
  state.counters["improved"] = improved;
  state.counters["cells"] = cells;
  PBrowser::tnMgr.SetCacheDirectory(nullptr);
}
BENCHMARK(BM_IdleFiring)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  const std::string home = QDir::tempPath().toStdString() + "/lumerin_bench_selectors";
  QDir().mkpath(QString::fromStdString(home));
  setenv("HOME", home.c_str(), 1);
  return benchapp::RunBenchmarks(argc, argv);
}
