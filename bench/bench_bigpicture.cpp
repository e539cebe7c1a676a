// Very large pictures within memory and time, on one core (run pinned: taskset -c 2
// build/bench/bench_bigpicture). Each case reports the peak resident memory it took (the
// process's high-water mark, reset before the case) and the longest time the work kept the
// event loop waiting: the longest stretch between two slices, or from the start to the first
// slice and from the last to the end (the whole run where the work gives no slice at all).
// - Export at 1024 pixels of a 30000 x 20000 JPEG (target: under 300 MB);
// - the thumbnail of a 20000 x 20000 float OpenEXR (target: no gap over 0.25 s);
// - opening the same OpenEXR in a 1600 x 1000 window, and at full size (within memory, or
//   refused in words);
// - Save Image of a 20000 x 20000 JPEG shown in the image window and turned a quarter (Rotate
//   Right), written as a JPEG of quality 90 through the window's save command with its options
//   as they come and its file dialog, until the window shows the written file (targets: no gap
//   over 0.25 s, memory within twice the 1.2 GB of pixels written). Its gaps are those of the
//   event loop itself: the longest time a 10 ms timer of the window's event loop waited.
// The pictures are made once in /tmp/lumerin_bench_big (big_pictures.h).
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/core/papp.h"
#include "app/core/pcmds.h"
#include "app/export/ptrader.h"
#include "app/image/pforms.h"
#include "app/image/pimagewin.h"
#include "app_start.h"
#include "big_pictures.h"
#include "catalog/pfileinfo.h"
#include "display/pdispimg.h"
#include "formats/stdformats.h"
#include "platform/pevent.h"
#include "platform/pqt.h"
#include "platform/pwindow.h"
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

// The image window as start-up makes it, offscreen (made once).
PImageWindow* ImageWindow() {
  static PImageWindow* w = []() -> PImageWindow* {
    static int argc = 1;
    static char arg0[] = "bench_bigpicture";
    static char* argv[] = {arg0, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    new QApplication(argc, argv);
    if (!benchapp::StartInterface(false)) return nullptr;
    benchapp::QuietStderr();
    dmessage_call = Quiet;
    return static_cast<PImageWindow*>(gImager);
  }();
  return w;
}

// Answers the save command's questions as a user does: the options as they come (OK), the
// file dialog with path as a JPEG, and a question to replace a file with Yes.
void AnswerSave(const std::string& path) {
  auto* t = new QTimer;
  QObject::connect(t, &QTimer::timeout, [t, path] {
    if (IsWindowVisible(gSaveWindow)) {
      HICommand cmd{0, kResponseOK, nullptr, 0};
      EventRef ev = nullptr;
      CreateEvent(kEventClassCommand, kEventCommandProcess, GetCurrentEventTime(), &ev);
      SetEventParameter(ev, kEventParamDirectObject, typeHICommand, sizeof cmd, &cmd);
      SendEventToEventTarget(ev, GetWindowEventTarget(gSaveWindow));
      ReleaseEvent(ev);
      return;
    }
    for (QWidget* top : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(top))
        if (box->isVisible() && box->button(QMessageBox::Yes))
          box->button(QMessageBox::Yes)->click();
    QFileDialog* d = PlatformFileDialog();
    if (d == nullptr || !d->isVisible()) return;
    t->stop();
    t->deleteLater();
    if (auto* combo = d->findChild<QComboBox*>("fileTypeCombo")) {
      const int k = combo->findText("JPEG", Qt::MatchStartsWith);
      if (k >= 0) {
        combo->setCurrentIndex(k);
        Q_EMIT combo->textActivated(combo->itemText(k));
      }
    }
    d->selectFile(QString::fromStdString(path));
    if (auto* e = d->findChild<QLineEdit*>("fileNameEdit"))
      e->setText(QString::fromStdString(path.substr(path.rfind('/') + 1)));
    QMetaObject::invokeMethod(d, "accept", Qt::QueuedConnection);
  });
  t->start(5);
}

double ResidentMB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return 0;
}

void BM_SaveRotated20000SquareJpeg(benchmark::State& state) {
  Setup();
  const std::string src = bigpic::Jpeg(20000, 20000);
  PImageWindow* w = src.empty() ? nullptr : ImageWindow();
  if (w == nullptr) {
    state.SkipWithError("no picture or no interface");
    return;
  }
  const std::string out = bigpic::Dir() + "/saved.jpg";
  DBRecord rec;
  PgrokFile(&rec, src.c_str());
  PDBsetInt(&rec, PDBFquality, 90);
  // The event loop's own gaps: slices that pump nothing do not count.
  const PSliceHook was = PsetSliceHook(nullptr);
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [] {
    gaps.Mark();
    ++gaps.slices;
  });
  double peak = 0, base = 0;
  int saved = 0;
  for (auto _ : state) {
    state.PauseTiming();
    unlink(out.c_str());
    if (!w->AddImage(rec, false) || !w->Present() || !w->Reorient(kCmdRotateRight)) {
      state.SkipWithError("cannot show the picture");
      break;
    }
    AnswerSave(out);
    state.ResumeTiming();
    ResetPeak();
    base = ResidentMB();
    gaps.Begin();
    tick.start(10);
    saved = w->SaveImage();
    if (saved == 1) w->Redraw();  // as the command does: the window shows the written file
    gaps.End();
    tick.stop();
    peak = PeakMB();
    state.PauseTiming();
    w->CloseImages(false);
    state.ResumeTiming();
    if (saved != 1) state.SkipWithError(("save failed: " + lastMessage).c_str());
  }
  PsetSliceHook(was);
  Report(state, peak);
  state.counters["base_MB"] = base;
  struct stat st;
  state.counters["written_MB"] = stat(out.c_str(), &st) == 0 ? st.st_size / 1048576.0 : 0;
  unlink(out.c_str());
}
BENCHMARK(BM_SaveRotated20000SquareJpeg)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
