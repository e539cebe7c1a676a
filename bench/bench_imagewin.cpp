// The image window on the offscreen platform, with a rendering area of 1600 x 1000:
// - a 24-megapixel camera JPEG opened to its first drawing at fit, beside ImageMagick's
//   `convert in.jpg -resize 1600x1000 ppm:-` on one thread (MAGICK_THREAD_LIMIT=1), each as a
//   whole run from the file;
// - one scroll step of 0.15 of the view at 2:1 (the rendering shifted, the uncovered strip
//   rendered), beside the full rendering and drawing of the same view;
// - the change from fit to 1:1 (the panel's zoom applied and the pane drawn).
// Each step ends with the window's pending repaint delivered, so that what the screen is shown
// counts too; the scroll step and the full rendering are also measured without it (argument 0).
// The picture is made once in /tmp from the shared test pictures' camera JPEG with ImageMagick's
// convert (6000 x 4000, quality 92); it is never part of the project. Run on one core:
//   QT_QPA_PLATFORM=offscreen taskset -c 2 build/bench/bench_imagewin
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
#include "app/image/pimagedrawer.h"
#include "app/image/pimagewin.h"
#include "app/shell/pshell.h"
#include "bench_testdata.h"
#include "bench_run.h"
#include "formats/stdformats.h"
#include "platform/pwindow.h"

extern char** environ;

namespace {

const char* kJpeg = "/tmp/lumerin_bench_camera24mp.jpg";
const char* kConvert = "/usr/bin/convert";

bool Exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

using benchrun::Run;

bool Picture() {
  static const bool ok = [] {
    if (Exists(kJpeg)) return true;
    const std::string src = testdataDir() + "/jpeg/corrupted.jpg";
    if (!Exists(src.c_str()) || !Exists(kConvert)) return false;
    return Run({kConvert, src, "-resize", "6000x4000!", "-quality", "92", kJpeg}) == 0 &&
           Exists(kJpeg);
  }();
  return ok;
}

// Delivers the window's pending repaint: the screen shows what the step drew.
void Shown() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
}

// The program's interface as start-up makes it, once, with the image window sized for a
// rendering area of 1600 x 1000.
PImageWindow* Window() {
  static PImageWindow* w = [] {
    static int argc = 1;
    static char arg0[] = "bench_imagewin";
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
    // (The toolkit's layout may lose a pixel on an odd growth: 1599 x 999 counts.)
    SizeWindow(iw->GetWindow(), 1600 + PImageDrawer::kBar,
               static_cast<short>(iw->controlPanel->GetHeight() + 1000 + PImageDrawer::kBar), true);
    iw->PWindowHandlerBase::Redraw();
    ShowWindow(iw->GetWindow());
    Shown();
    return iw;
  }();
  return w;
}

void BM_OpenToFirstDrawAtFit(benchmark::State& state) {
  PImageWindow* w = Picture() ? Window() : nullptr;
  if (w == nullptr) {
    state.SkipWithError("no picture or no window");
    return;
  }
  bool drawn = true;
  for (auto _ : state) {
    const long renders = w->renderCount;
    w->AddImage(kJpeg);
    w->Present();
    Shown();
    state.PauseTiming();
    drawn = drawn && w->renderCount == renders + 1;
    w->CloseImages(false);
    Shown();
    state.ResumeTiming();
  }
  if (!drawn || std::abs(w->imd->GetRWidth() - 1600) > 1 ||
      std::abs(w->imd->GetRHeight() - 1000) > 1)
    state.SkipWithError("not drawn once at 1600 x 1000");
}
BENCHMARK(BM_OpenToFirstDrawAtFit)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PeerImageMagickResize(benchmark::State& state) {
  if (!Picture()) {
    state.SkipWithError("no picture or no ImageMagick");
    return;
  }
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  env.push_back("MAGICK_THREAD_LIMIT=1");
  std::vector<const char*> envp;
  for (const std::string& e : env) envp.push_back(e.c_str());
  envp.push_back(nullptr);
  for (auto _ : state)
    if (Run({kConvert, kJpeg, "-resize", "1600x1000", "ppm:-"}, envp.data()) != 0)
      state.SkipWithError("convert failed");
}
BENCHMARK(BM_PeerImageMagickResize)->Unit(benchmark::kMillisecond)->UseRealTime();

// The picture open at 2:1, its middle in the middle of the view.
PImageWindow* AtTwoToOne() {
  PImageWindow* w = Picture() ? Window() : nullptr;
  if (w == nullptr) return nullptr;
  if (w->iring == nullptr) {
    w->AddImage(kJpeg);
    w->Present();
  }
  w->SetZoom(10);
  w->iring->SetOffset(0, 0);  // each measurement starts from the same view
  w->Redraw();
  Shown();
  return w;
}

void BM_ScrollStepAtTwoToOne(benchmark::State& state) {
  PImageWindow* w = AtTwoToOne();
  if (w == nullptr) {
    state.SkipWithError("no picture or no window");
    return;
  }
  const long renders = w->renderCount;
  float dir = 0.15f;
  int steps = 0;
  const bool shown = state.range(0) != 0;
  for (auto _ : state) {
    if (++steps % 8 == 0) dir = -dir;  // back and forth within the picture
    w->imd->Scroll(dir, 0);
    if (shown) Shown();
  }
  Shown();
  if (w->renderCount != renders) state.SkipWithError("a step rendered the whole view");
}
// Argument 1: the step's repaint delivered too; 0: the step alone.
BENCHMARK(BM_ScrollStepAtTwoToOne)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FullRenderAtTwoToOne(benchmark::State& state) {
  PImageWindow* w = AtTwoToOne();
  if (w == nullptr) {
    state.SkipWithError("no picture or no window");
    return;
  }
  const bool shown = state.range(0) != 0;
  for (auto _ : state) {
    w->imd->Invalid();
    w->imd->Redraw();
    if (shown) Shown();
  }
  Shown();
}
BENCHMARK(BM_FullRenderAtTwoToOne)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FitToOneToOne(benchmark::State& state) {
  PImageWindow* w = AtTwoToOne();
  if (w == nullptr) {
    state.SkipWithError("no picture or no window");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    w->SetZoom(7);
    w->Redraw();
    Shown();
    state.ResumeTiming();
    w->SetZoom(8);  // the panel's change: the view is rendered and drawn by the redraw
    w->Redraw();
    Shown();
  }
}
BENCHMARK(BM_FitToOneToOne)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
