// The image window's slide show and histogram on the offscreen platform:
// - a show of 20 24-megapixel camera JPEGs at 1 s per slide on a 1920 x 1080 pane, on the real
//   clock: the mean interval between slides (counter "interval_s") and the busy time per slide,
//   drawing the slide and rendering the next (counter "render_s");
// - the histogram window's luminance histogram of a 24-megapixel HDR picture.
// The pictures are made once in /tmp with ImageMagick's convert from the shared test pictures
// (a camera JPEG at 6000 x 4000, quality 92; the RGBE desk picture at 6000 x 4000); they are
// never part of the project. Run on one core:
//   QT_QPA_PLATFORM=offscreen taskset -c 2 build/bench/bench_slideshow
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pdialogs.h"
#include "app/core/phandlers.h"
#include "app/image/pforms.h"
#include "app/image/pimagedrawer.h"
#include "app/image/pimagewin.h"
#include "app/shell/pshell.h"
#include "bench_testdata.h"
#include "bench_run.h"
#include "formats/stdformats.h"
#include "platform/pevent.h"
#include "platform/pwindow.h"

extern char** environ;

namespace {

const char* kJpeg = "/tmp/lumerin_bench_camera24mp.jpg";
const char* kHdr = "/tmp/lumerin_bench_desk24mp.hdr";
const char* kConvert = "/usr/bin/convert";

bool Exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

using benchrun::Run;

bool Make(const char* out, const std::string& src, const char* quality) {
  if (Exists(out)) return true;
  if (!Exists(src.c_str()) || !Exists(kConvert)) return false;
  std::vector<std::string> args{kConvert, src, "-resize", "6000x4000!"};
  if (quality) args.insert(args.end(), {"-quality", quality});
  args.push_back(out);
  return Run(args) == 0 && Exists(out);
}

// Twenty names of the camera JPEG (hard links), so that each is an image of its own.
std::vector<std::string> Slides() {
  std::vector<std::string> names;
  if (!Make(kJpeg, testdataDir() + "/jpeg/corrupted.jpg", "92")) return names;
  for (int i = 0; i < 20; ++i) {
    const std::string n = "/tmp/lumerin_bench_slide" + std::to_string(i) + ".jpg";
    if (!Exists(n.c_str()) && link(kJpeg, n.c_str()) != 0) return {};
    names.push_back(n);
  }
  return names;
}

PImageWindow* Window() {
  static PImageWindow* w = [] {
    static int argc = 1;
    static char arg0[] = "bench_slideshow";
    static char* argv[] = {arg0, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    new QApplication(argc, argv);
    for (unsigned c = DMCmemory; c < DMCnerr; ++c) dmessage_class_flags[c] &= ~DMAstderr;
    PloadStandardReaders();
    PregisterInterface("main");
    PregisterHooks();
    if (PcreateInterface() != 0) return static_cast<PImageWindow*>(nullptr);
    PinstallEventHandlers();
    gInterfaceReady = 1;
    auto* iw = static_cast<PImageWindow*>(gImager);
    SizeWindow(iw->GetWindow(), 1920 + PImageDrawer::kBar,
               static_cast<short>(iw->controlPanel->GetHeight() + 1080 + PImageDrawer::kBar), true);
    iw->PWindowHandlerBase::Redraw();
    return iw;
  }();
  return w;
}

void BM_SlideShow20At1s(benchmark::State& state) {
  const std::vector<std::string> slides = Slides();
  PImageWindow* w = slides.empty() ? nullptr : Window();
  if (w == nullptr) {
    state.SkipWithError("no pictures or no window");
    return;
  }
  double intervals = 0, busy = 0;
  int changes = 0;
  for (auto _ : state) {
    w->CloseImages(false);
    for (const std::string& s : slides) w->AddImage(s.c_str());
    w->Reposition(0);
    w->Present();
    EventTime last = GetCurrentEventTime();
    w->BeginShow(0, 1.0);
    const PImageRing* shown = w->irShown;
    while (w->showGoing != 0) {
      const EventTime t0 = GetCurrentEventTime();
      checkEvents(0.002);
      if (w->irShown != shown) {
        // This wait drew the slide and rendered the next one.
        const EventTime now = GetCurrentEventTime();
        busy += now - t0;
        intervals += now - last;
        last = now;
        shown = w->irShown;
        ++changes;
      }
    }
  }
  if (changes < 1) {
    state.SkipWithError("no slide changed");
    return;
  }
  state.counters["interval_s"] = intervals / changes;
  state.counters["render_s"] = busy / changes;
  state.counters["slides"] = changes;
}
BENCHMARK(BM_SlideShow20At1s)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

void BM_HistogramHdr24mp(benchmark::State& state) {
  PImageWindow* w =
      Make(kHdr, testdataDir() + "/hdr/desk_oiiotool_rle.hdr", nullptr) ? Window() : nullptr;
  if (w == nullptr) {
    state.SkipWithError("no picture or no window");
    return;
  }
  w->CloseImages(false);
  if (!w->AddImage(kHdr) || !w->Present() || !w->iring->IsHDR()) {
    state.SkipWithError("the HDR picture did not open");
    return;
  }
  ShowWindow(gHistoWindow);
  int drawn = 0;
  for (auto _ : state) drawn += w->UpdateHistogram(0);
  if (drawn != static_cast<int>(state.iterations())) state.SkipWithError("no histogram");
}
BENCHMARK(BM_HistogramHdr24mp)->Unit(benchmark::kMillisecond)->UseRealTime();

// The display image's histogram alone, as the window asks for it.
void BM_HistogramCountsOnly(benchmark::State& state) {
  PImageWindow* w = Window();
  if (w == nullptr || !w->Ready() || !w->iring->IsHDR()) {
    state.SkipWithError("run after BM_HistogramHdr24mp");
    return;
  }
  double lim[2];
  unsigned int h[256];
  for (auto _ : state)
    benchmark::DoNotOptimize(w->iring->GetHistogram(lim, h, 256, PHCluminance, false));
}
BENCHMARK(BM_HistogramCountsOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
