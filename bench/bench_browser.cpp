// The thumbnail browser on one core, through the program's own windows (offscreen):
// - a new folder of 1,000 camera JPEGs (4000 x 3000, 3.7 MB each, the EXIF of the test
//   pictures' camera files with their thumbnails) loaded as the 'dir ' command loads it: the time
//   until the first screen of thumbnails shows ("first screen"), and until the whole folder is
//   loaded and its first screen drawn again ("whole folder"); warm (files in the page cache) and
//   cold (each file dropped from the page cache first). geeqie, the peer, shows the first screen of
//   such a folder in 1.36 s cold and 0.76 s warm.
// - 500 of those pictures loaded right after a start whose thumbnail cache could be made
//   ("cache:1", its thumbnails made at the first load) and after one whose cache could not
//   ("cache:0": the cache folder's place is a file; the start told it once, in the status line
//   and the log): the time of the load, and until the status line shows the load's own words
//   ("status_s"); the two are alike when a cache that cannot be made costs nothing;
// - scrolling a grid of 10,000 records by one row, thumbnails in the thumbnail cache;
// - the table of 10,000 records built and drawn.
// The pictures are made once in /tmp/lumerin_bench_folder1000 with ImageMagick's convert and
// exiftool (started with argument lists), from the test pictures; never in the source tree.
//   QT_QPA_PLATFORM=offscreen taskset -c 2 build/bench/bench_browser
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/browser/pbrowser.h"
#include "app/core/papp.h"
#include "app/core/pdialogs.h"
#include "app/core/pfolder.h"
#include "app/core/phandlers.h"
#include "app/core/pprefs.h"
#include "app/core/pseam.h"
#include "app/mainwin/pmainw.h"
#include "app/shell/pshell.h"
#include "app_start.h"
#include "bench_testdata.h"
#include "formats/stdformats.h"
#include "platform/pwindow.h"
#include "support/dmessage.h"

extern char** environ;

namespace {

constexpr int kFiles = 1000;
const char kFolder[] = "/tmp/lumerin_bench_folder1000";

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// Runs a program with its arguments (no shell); true when it exits with 0.
bool Run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  int status = 0;
  return rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

bool Exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

std::string ReadAll(const std::string& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string FileName(int i) {
  char name[64];
  snprintf(name, sizeof name, "/IMG_%04d.JPG", i);
  return kFolder + std::string(name);
}

// The folder of 1,000 camera JPEGs: five camera pictures scaled to 4000 x 3000, with a camera's
// grain (so that they compress to a camera's 3.7 MB) and their EXIF (thumbnail included) copied
// back, each written 200 times with its number after the
// end of the picture, so that every file has its own length and content hash.
bool MakeFolder() {
  if (Exists(FileName(kFiles - 1))) return true;
  mkdir(kFolder, 0755);
  const char* cameras[] = {"Canon_40D", "Nikon_D70", "Kodak_CX7530", "DSCN0010",
                           "Fujifilm_FinePix_E500"};
  std::vector<std::string> bases;
  for (const char* c : cameras) {
    const std::string src = testdataDir() + "/jpeg/" + c + ".jpg";
    const std::string base = std::string(kFolder) + "/base_" + c + ".jpg";
    if (!Exists(src)) return false;
    if (!Exists(base) && (!Run({"convert", src, "-resize", "4000x3000!", "-attenuate", "0.3",
                                "+noise", "Gaussian", "-quality", "90", base}) ||
                          !Run({"exiftool", "-q", "-overwrite_original", "-TagsFromFile", src,
                                "-all:all", "-ThumbnailImage", base})))
      return false;
    bases.push_back(ReadAll(base));
  }
  for (int i = 0; i < kFiles; ++i) {
    std::ofstream f(FileName(i), std::ios::binary);
    f << bases[i % bases.size()] << i;
  }
  for (const char* c : cameras) {
    // The bases go elsewhere: the folder holds exactly the 1,000 pictures.
    const std::string base = std::string(kFolder) + "/base_" + c + ".jpg";
    rename(base.c_str(), ("/tmp/lumerin_bench_base_" + std::string(c) + ".jpg").c_str());
  }
  return Exists(FileName(kFiles - 1));
}

// Drops the folder's files from the page cache.
void Evict() {
  for (int i = 0; i < kFiles; ++i) {
    const int fd = open(FileName(i).c_str(), O_RDONLY);
    if (fd < 0) continue;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
  }
}

// Reads the folder's files whole, so that they are in the page cache.
void Warm() {
  static char buf[1 << 16];
  for (int i = 0; i < kFiles; ++i) {
    const int fd = open(FileName(i).c_str(), O_RDONLY);
    if (fd < 0) continue;
    while (read(fd, buf, sizeof buf) > 0) {
    }
    close(fd);
  }
}

// The program's interface, made once, with its home in a fresh temporary folder.
PMainWindow* Program() {
  static PMainWindow* mw = nullptr;
  if (mw) return mw;
  const std::string h = benchapp::MakeHome();
  if (h.empty() || !benchapp::StartInterface()) return nullptr;
  mw = static_cast<PMainWindow*>(gMain);
  mw->SetDisplayFields(0, false);
  mw->SetThumbSize(FourCC("tmed"), false);
  SizeWindow(mw->GetWindow(), 1300, 754, true);  // a browser pane of 1000 x 700: 9 x 5 cells
  mw->Show(1);
  mw->Redraw();
  const std::string tn = h + "/thumbs";
  mkdir(tn.c_str(), 0700);
  PBrowser::tnMgr.SetCacheDirectory(tn.c_str());
  return mw;
}

// The time of the first screen, from the load's trace message.
double firstScreen = -1;
uint32_t Catch(unsigned cls, const char* text, const char*, int) {
  if (cls == DMCtrace && strncmp(text, "First ", 6) == 0) {
    const char* after = strstr(text, " after ");
    if (after) firstScreen = atof(after + 7);
  }
  return cls >= DMCwarning ? 0xFFu : 0u;  // nothing on standard error or in alerts
}

void BM_NewFolder(benchmark::State& state) {
  const bool cold = state.range(0) != 0;
  PMainWindow* mw = Program();
  if (mw == nullptr || !MakeFolder()) {
    state.SkipWithError("no program, or the camera pictures cannot be made");
    return;
  }
  dmessage_call = Catch;
  if (!cold) Warm();
  double first = 0, whole = 0;
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (cold) Evict();
    mw->bc.Clear(nullptr);
    mw->GetPBrowser()->Redisplay();
    firstScreen = -1;
    state.ResumeTiming();
    const double t0 = Now();
    loadFolder(kFolder, true, nullptr);
    const double t1 = Now();
    first += firstScreen;
    whole += t1 - t0;
    ++n;
    if (mw->bc.rdisp.GetSize() != kFiles) state.SkipWithError("not every picture loaded");
  }
  dmessage_call = nullptr;
  state.counters["first_screen_s"] = first / n;
  state.counters["whole_folder_s"] = whole / n;
}
BENCHMARK(BM_NewFolder)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("cold")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();

// The first 500 pictures of the folder, in a folder of their own (second names of the same files).
const char kFolder500[] = "/tmp/lumerin_bench_folder500";
bool MakeFolder500() {
  if (!MakeFolder()) return false;
  mkdir(kFolder500, 0755);
  for (int i = 0; i < 500; ++i) {
    const std::string from = FileName(i);
    const std::string to = kFolder500 + from.substr(from.rfind('/'));
    if (!Exists(to) && link(from.c_str(), to.c_str()) != 0) return false;
  }
  return true;
}

void BM_Load500(benchmark::State& state) {
  const bool cache = state.range(0) != 0;
  PMainWindow* mw = Program();
  if (mw == nullptr || !MakeFolder500()) {
    state.SkipWithError("no program, or the camera pictures cannot be made");
    return;
  }
  // Problems are kept and logged as in the program, for the status line to blink; none goes to
  // standard error.
  dmessage_call = [](unsigned, const char*, const char*, int) -> uint32_t { return DMAstderr; };
  dmessage_alert = nullptr;
  // The cache the other rows use, given back at the end.
  PThumbnailerStats had{};
  const std::string before = PthumbManager().GetCacheStats(&had) ? had.dName : "";
  // A home whose cache folder can be made, or one where a file takes its place.
  const std::string h = benchapp::MakeHome("/tmp/lumerin_bench_load500_XXXXXX");
  std::ofstream(h + "/afile") << "x";
  setenv("XDG_CACHE_HOME", (h + (cache ? "/cache" : "/afile/cache")).c_str(), 1);
  Warm();
  double status = 0;
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // A start: the preferences read afresh (a cache that cannot be made is told), the first
    // status message shown, the display empty.
    PthumbManager().SetCacheDirectory(nullptr);
    PresetPreferences();
    InitPreferences();
    mw->bc.Clear(nullptr);
    mw->GetPBrowser()->Redisplay();
    mw->ShowMessage("No catalog", false);
    state.ResumeTiming();
    const double t0 = Now();
    loadFolder(kFolder500, true, nullptr);
    state.PauseTiming();
    while (PstatusBlinks()) checkEvents(0.01);
    status += Now() - t0;
    ++n;
    if (mw->bc.rdisp.GetSize() != 500) state.SkipWithError("not every picture loaded");
    if (PthumbManager().IsOpen() != cache) state.SkipWithError("the cache is not as asked");
    state.ResumeTiming();
  }
  dmessage_call = nullptr;
  PthumbManager().SetCacheDirectory(before.empty() ? nullptr : before.c_str());
  PresetPreferences();
  state.counters["status_s"] = status / n;
}
BENCHMARK(BM_Load500)
    ->Arg(1)
    ->Arg(0)
    ->ArgName("cache")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();

// 10,000 displayed records over the first 200 pictures, whose thumbnails are in the cache.
bool TenThousand(PMainWindow* mw) {
  PContext& bc = mw->bc;
  if (bc.rdisp.GetSize() != kFiles) loadFolder(kFolder, true, nullptr);
  if (bc.rdisp.GetSize() != kFiles) return false;
  static bool cached = false;
  if (!cached) {
    for (int i = 0; i < 200; ++i) {
      _ImgStruct t{};
      t.xres = t.yres = PBigThumbWidth;
      t.csp = &ICS_sRGB;
      PBrowser::tnMgr.GetThumbnail(&t, bc.rdisp[i]);
      PfreeImage(&t);
    }
    PBrowser::tnMgr.SyncCache();
    cached = true;
  }
  DBRecordList first;
  first.Init(bc.rdisp.GetFieldInfo());
  for (int i = 0; i < 200; ++i) first.NewRecord() = bc.rdisp[i];
  bc.Clear(nullptr);
  for (int i = 0; i < 10000; ++i) bc.rdisp.NewRecord() = first[i % 200];
  snprintf(bc.rsrc, sizeof bc.rsrc, "%s", kFolder);
  return true;
}

void BM_ScrollOneRow(benchmark::State& state) {
  PMainWindow* mw = Program();
  if (mw == nullptr || !MakeFolder() || !TenThousand(mw)) {
    state.SkipWithError("no program or pictures");
    return;
  }
  PBrowser* b = mw->GetPBrowser();
  mw->SetThumbSize(FourCC("tmed"), false);
  b->Redisplay();
  for (auto _ : state) {
    if (b->ScrollDown(1) == 0) {
      state.PauseTiming();
      b->ScrollDown(-100000);
      state.ResumeTiming();
    }
  }
  state.counters["cells"] = b->ThumbCount();
}
BENCHMARK(BM_ScrollOneRow)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Table(benchmark::State& state) {
  PMainWindow* mw = Program();
  if (mw == nullptr || !MakeFolder() || !TenThousand(mw)) {
    state.SkipWithError("no program or pictures");
    return;
  }
  PBrowser* b = mw->GetPBrowser();
  const unsigned long groups[] = {0, FourCC("vall")};
  mw->SetDisplayFields(groups[state.range(0)], false);
  for (auto _ : state) {
    b->tnDenom = 0;
    b->Redisplay();  // the table built from the records and drawn
    state.PauseTiming();
    state.counters["columns"] = b->dfCount;
    b->tnDenom = 4;
    b->Redisplay();
    state.ResumeTiming();
  }
  mw->SetDisplayFields(0, false);
}
BENCHMARK(BM_Table)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("allfields")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return benchapp::RunBenchmarks(argc, argv);
}
