// Make HDR as the command runs it, on one thread: five 12-megapixel 8-bit TIFF exposures two
// stops apart with a saved camera response, no alignment, from reading the inputs to the
// written temporary TIFF. makehdr_peer.py runs OpenCV's MergeDebevec on the same files with the
// same response (reading and writing included) for comparison.
//
// Beside it, three 15000 x 10000 exposures (LZW TIFFs of 450 MB of pixels each, made once in
// /tmp/lumerin_bench_big) merged under the program's default memory cache: with the saved
// response as above (opts 8), the response solved (opts 0, resp -1), aligned (40), ghosts
// removed (264) and flare removed (136). Each reports the process's resident high-water mark
// (peak_MB, reset before the merge; it counts the pages of the input files the TIFF reader maps)
// and what it grew by (grew_MB), the most its anonymous memory grew as seen at each turn of the
// event loop (anon_grew_MB, the pixels without the mapped files), what the merge reckons it
// needs before it starts (estimate_MB, PHDImageMaker::MergeBytes), and the longest the event
// loop went without running a 10 ms timer (longest_gap_s). It takes some 7 GB of memory: run it
// alone, --benchmark_filter=Big.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTimer>
#include <chrono>
#include <fstream>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/phandlers.h"
#include "app/core/pprefs.h"
#include "app/hdrpano/makehdr.h"
#include "app/hdrpano/ptempimg.h"
#include "app/shell/pshell.h"
#include "catalog/pcontext.h"
#include "catalog/pfieldset.h"
#include "catalog/pfileinfo.h"
#include "formats/stdformats.h"
#include "formats/tiffimg.h"
#include "hdr/phdrimg.h"
#include "support/cache.h"

namespace {

constexpr int kW = 4000, kH = 3000, kN = 5;
constexpr int kBigW = 15000, kBigH = 10000, kBigN = 3;

std::string Path(int i) {
  return std::string(P_tmpdir) + "/lumerin_bench_mhdr" + std::to_string(i) + ".tif";
}

std::string BigPath(int i) {
  const std::string dir = "/tmp/lumerin_bench_big";
  mkdir(dir.c_str(), 0755);
  return dir + "/hdr" + std::to_string(kBigW) + "x" + std::to_string(kBigH) + "_" +
         std::to_string(i) + ".tif";
}

// A series of n exposures of w x h, two stops apart, each written once at path(i): tiles over
// 3.5 decades seen through the response x squared.
bool WriteSeries(int w, int h, int n, std::string (*path)(int)) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(0, 1);
  const int tile = 50, tx = w / tile, ty = h / tile;
  std::vector<double> base(3 * tx * ty);
  for (double& b : base) b = std::pow(10.0, 3.5 * u(rng));
  _ImgStruct im = {w, h, &ICS_sRGB, 0, nullptr, nullptr};
  bool ok = true;
  for (int i = 0; i < n && ok; i++) {
    if (FILE* f = fopen(path(i).c_str(), "rb")) {
      fclose(f);
      continue;
    }
    if (im.img == nullptr && !PnewImage(&im, 0)) return false;
    const double mult = 1e-3 * std::pow(4.0, i);
    for (int y = 0; y < h; y++) {
      uint8_t* row = im.img + static_cast<ptrdiff_t>(y) * im.rowsize;
      for (int x = 0; x < w; x++)
        for (int c = 0; c < 3; c++) {
          const double l = std::min(1.0, base[3 * ((y / tile) * tx + x / tile) + c] * mult *
                                             (1 + 0.2 * (x % tile) / tile));
          row[3 * x + c] = static_cast<uint8_t>(std::lround(255 * std::sqrt(l)));
        }
    }
    _ImgWriteBuf wb;
    PsetWriteBuf(&wb, &im);
    ok = TiffWriteImage(path(i).c_str(), &wb) > 0;
  }
  PfreeImage(&im);
  return ok;
}

// The interface as start-up makes it, the series shown and selected in the main window, and
// the camera's saved response.
bool Ready() {
  static bool ok = [] {
    static int argc = 1;
    static char arg0[] = "bench_makehdr";
    static char* argv[] = {arg0, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    new QApplication(argc, argv);
    for (unsigned c = DMCmemory; c < DMCnerr; ++c) dmessage_class_flags[c] &= ~DMAstderr;
    PloadStandardReaders();
    PregisterInterface("main");
    PregisterHooks();
    if (PcreateInterface() != 0) return false;
    PinstallEventHandlers();
    gInterfaceReady = 1;
    DBRecord resp;
    PgenericResponse(&resp);
    resp.SetField(CDBFmake, "Bench");
    resp.SetField(CDBFmodel, "Camera");
    gCamResponse.Init(&CDBFInfo, 0);
    gCamResponse.NewRecord() = resp;
    return true;
  }();
  return ok;
}

// Shows the series of n exposures in the main window, every one selected.
void ShowSeries(int n, std::string (*path)(int)) {
  PContext& bc = gMain->bc;
  bc.ClearRecords();
  for (int i = 0; i < n; i++) {
    DBRecord& r = bc.rdisp.NewRecord();
    PgrokFile(&r, path(i).c_str());
    PDBsetFloat(&r, PDBFexptime, 1e-3 * std::pow(4.0, i));
    PDBsetFloat(&r, PDBFaperture, 8);
    PDBsetString(&r, PDBFmake, "Bench");
    PDBsetString(&r, PDBFmodel, "Camera");
    getStoNits(&r);
  }
  // Selected once all are there: the selection takes the display's size at its first mark.
  for (int i = 0; i < n; i++) bc.Select(i);
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The peak resident memory from here on: the high-water mark is reset.
void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

double PeakMB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return 0;
}

// A line of /proc/self/status in MB ("VmRSS:", "RssAnon:").
double StatusMB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atof(line.c_str() + std::strlen(key)) / 1024.0;
  return 0;
}

// A 10 ms timer whose longest wait tells how long the windows went unanswered; each firing also
// notes the process's anonymous memory (its pixels, without the pages of files it maps).
struct Watch {
  QTimer timer;
  double last = 0, gap = 0, anon = 0;
  Watch() {
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [this] { Tick(); });
    timer.start(10);
  }
  void Tick() {
    const double t = Now();
    if (t - last > gap) gap = t - last;
    last = t;
    anon = std::max(anon, StatusMB("RssAnon:"));
  }
  void Start() {
    last = Now();
    gap = anon = 0;
  }
};

void BM_MakeHDRSavedResponse(benchmark::State& st) {
  if (!Ready() || !WriteSeries(kW, kH, kN, Path)) {
    st.SkipWithError("no interface or series");
    return;
  }
  ShowSeries(kN, Path);
  for (auto _ : st) {
    DBRecord rec;
    if (!PmergeTempHDR(&rec, kHDRuseResponse, 0)) st.SkipWithError("merge failed");
    PremoveTempImage(rec);
  }
  st.counters["Mpixel"] = double(kW) * kH / 1e6;
}
BENCHMARK(BM_MakeHDRSavedResponse)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The options of the command (range 0) and the camera's saved response (range 1: 0, or -1 to
// solve one).
void BM_MakeHDRBigThree15000x10000(benchmark::State& st) {
  if (!Ready() || !WriteSeries(kBigW, kBigH, kBigN, BigPath)) {
    st.SkipWithError("no interface or series");
    return;
  }
  ShowSeries(kBigN, BigPath);
  const int opts = static_cast<int>(st.range(0)), resp = static_cast<int>(st.range(1));
  // The program's default memory cache (MemoryCacheMegs 32).
  CacheObject::tab.memoryBudget = uint64_t{32} << 20;
  // What the merge reckons it needs, from the exposures' headers.
  double estimate = 0;
  {
    PHDImageMaker mk;
    for (int i = 0; i < kBigN; i++) mk.NewCacheImage()->SetImage(gMain->bc.rdisp[i], true);
    mk.solveFlags = (opts & kHDRalign ? PHDSalign : 0) | (opts & kHDRghosts ? PHDSmovement : 0);
    estimate = double(mk.MergeBytes(kBigW, kBigH, false)) / (1 << 20);
  }
  Watch w;
  double peak = 0, before = 0, anonBefore = 0;
  for (auto _ : st) {
    DBRecord rec;
    before = StatusMB("VmRSS:");
    anonBefore = StatusMB("RssAnon:");
    ResetPeak();
    w.Start();
    const int ok = PmergeTempHDR(&rec, opts, resp);
    w.Tick();
    peak = PeakMB();
    if (!ok) st.SkipWithError("merge failed");
    PremoveTempImage(rec);
  }
  st.counters["peak_MB"] = peak;
  st.counters["grew_MB"] = peak - before;
  st.counters["anon_grew_MB"] = w.anon - anonBefore;
  st.counters["estimate_MB"] = estimate;
  st.counters["longest_gap_s"] = w.gap;
  st.counters["result_MB"] = double(kBigW) * kBigH * 12 / (1 << 20);
}
BENCHMARK(BM_MakeHDRBigThree15000x10000)
    ->ArgNames({"opts", "resp"})
    ->Args({kHDRuseResponse, 0})
    ->Args({0, -1})
    ->Args({kHDRuseResponse | kHDRalign, 0})
    ->Args({kHDRuseResponse | kHDRghosts, 0})
    ->Args({kHDRuseResponse | kHDRflare, 0})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
