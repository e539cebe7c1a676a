// Very large pictures within memory and time, on one core (run pinned: taskset -c 2
// build/bench/bench_bigpicture). Each case reports the peak resident memory it took (the
// process's high-water mark, reset before the case) and the longest time the work kept the
// event loop waiting: the longest stretch between two slices, or from the start to the first
// slice and from the last to the end (the whole run where the work gives no slice at all).
// - Export at 1024 pixels of a 30000 x 20000 JPEG (target: under 300 MB);
// - the thumbnail of a 20000 x 20000 float OpenEXR (target: no gap over 0.25 s);
// - opening the same OpenEXR in a 1600 x 1000 window, and at full size (within memory, or
//   refused in words).
// The pictures are made once in /tmp/lumerin_bench_big (big_pictures.h).
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/export/ptrader.h"
#include "big_pictures.h"
#include "catalog/pfileinfo.h"
#include "display/pdispimg.h"
#include "formats/stdformats.h"
#include "support/dmessage.h"
#include "support/pwork.h"
#include "thumbs/pthumb.h"

// The slice hook exists from the banded reads on; without it the whole run is one gap.
#if __has_include("image/pbandread.h")
#define BENCH_SLICES 1
#endif

namespace {

std::string lastMessage;

uint32_t Quiet(unsigned, const char* msg, const char*, int) {
  if (msg != nullptr) lastMessage = msg;
  return DMAlog | DMAstderr | DMAalert | DMAexit | DMAabort;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The event loop's view of a run: the longest wait between two chances to run it.
struct Gaps {
  double start = 0, last = 0, longest = 0;
  int slices = 0, longestAt = 0;
  void Begin() {
    start = last = Now();
    longest = 0;
    slices = 0;
  }
  void Mark() {
    const double t = Now();
    if (t - last > longest) {
      longest = t - last;
      longestAt = slices;
    }
    last = t;
  }
  void End() { Mark(); }
} gaps;

#ifdef BENCH_SLICES
bool OnSlice(double) {
  gaps.Mark();
  ++gaps.slices;
  return true;
}
#endif

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

void Setup() {
  static bool done = [] {
    dmessage_call = Quiet;
    PloadStandardReaders();
#ifdef BENCH_SLICES
    PsetSliceHook(OnSlice);
#endif
    return true;
  }();
  (void)done;
}

void Report(benchmark::State& state, double peak) {
  state.counters["peak_MB"] = peak;
  state.counters["longest_gap_s"] = gaps.longest;
  state.counters["slices"] = gaps.slices;
  state.counters["longest_at"] = gaps.longestAt;
}

void BM_Export1024Of30000x20000Jpeg(benchmark::State& state) {
  Setup();
  const std::string src = bigpic::Jpeg(30000, 20000);
  if (src.empty()) {
    state.SkipWithError("cannot write the picture");
    return;
  }
  const std::string out = bigpic::Dir() + "/export";
  mkdir(out.c_str(), 0755);
  DBRecord rec;
  PgrokFile(&rec, src.c_str());
  double peak = 0;
  for (auto _ : state) {
    ResetPeak();
    gaps.Begin();
    ImgExporter e(out.c_str());
    e.nextimage = 0;
    e.overwrite = true;
    e.maxwidth = e.maxheight = 1024;
    e.qual = 90;
    const bool ok = e.Export(rec);
    gaps.End();
    peak = PeakMB();
    if (!ok) state.SkipWithError(("export failed: " + lastMessage).c_str());
  }
  Report(state, peak);
}
BENCHMARK(BM_Export1024Of30000x20000Jpeg)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_ThumbnailOf20000SquareFloatExr(benchmark::State& state) {
  Setup();
  const std::string src = bigpic::FloatExr(20000, 20000);
  if (src.empty()) {
    state.SkipWithError("cannot write the picture");
    return;
  }
  DBRecord rec;
  PgrokFile(&rec, src.c_str());
  double peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    char dir[] = "/tmp/lumerin_bench_tnXXXXXX";
    if (mkdtemp(dir) == nullptr) {
      state.SkipWithError("no scratch folder");
      return;
    }
    bool ok;
    {
      PThumbnailer tn(dir);
      state.ResumeTiming();
      ResetPeak();
      gaps.Begin();
      _ImgStruct t = {};
      t.xres = t.yres = 160;
      t.csp = &ICS_sRGB;
      ok = tn.GetThumbnail(&t, rec);
      gaps.End();
      peak = PeakMB();
      PfreeImage(&t);
      state.PauseTiming();
    }
    std::filesystem::remove_all(dir);
    state.ResumeTiming();
    if (!ok) state.SkipWithError(("thumbnail failed: " + lastMessage).c_str());
  }
  Report(state, peak);
}
BENCHMARK(BM_ThumbnailOf20000SquareFloatExr)->Unit(benchmark::kMillisecond)->Iterations(1);

// Opens the OpenEXR as the image window does: fitted to a 1600 x 1000 window (range 0) or at
// 1:1 (range 1). A refusal in words counts as done; its text is printed.
void BM_OpenOf20000SquareFloatExr(benchmark::State& state) {
  Setup();
  const std::string src = bigpic::FloatExr(20000, 20000);
  if (src.empty()) {
    state.SkipWithError("cannot write the picture");
    return;
  }
  DBRecord rec;
  PgrokFile(&rec, src.c_str());
  const bool full = state.range(0) == 1;
  double peak = 0;
  bool loaded = false;
  for (auto _ : state) {
    ResetPeak();
    gaps.Begin();
    lastMessage.clear();
    PImageRing ring(rec, nullptr);
    ring.SetDisplaySpace(&ICS_sRGB, 32, 100);
    if (full) ring.SetZoomRatio(1, 1);
    _ImgStruct view = {};
    view.xres = 1600;
    view.yres = 1000;
    view.csp = &ICS_sRGB;
    loaded = ring.RenderImage(&view, nullptr, nullptr);
    gaps.End();
    peak = PeakMB();
    PfreeImage(&view);
    if (!loaded && lastMessage.find("too large for this computer") == std::string::npos)
      state.SkipWithError(("open failed: " + lastMessage).c_str());
  }
  Report(state, peak);
  state.counters["refused"] = loaded ? 0 : 1;
  if (!loaded) std::printf("refused: %s\n", lastMessage.c_str());
}
BENCHMARK(BM_OpenOf20000SquareFloatExr)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
