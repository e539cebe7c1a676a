// Very large pictures within memory and time, on one core (run pinned: taskset -c 2
// build/bench/bench_bigpicture). Each case reports the peak resident memory it took (the
// process's high-water mark, reset before the case) and the longest time the work kept the
// event loop waiting: the longest stretch between two slices, or from the start to the first
// slice and from the last to the end (the whole run where the work gives no slice at all).
// - Export at 1024 pixels of a 30000 x 20000 JPEG (target: under 300 MB);
// - the thumbnail of a 20000 x 20000 float OpenEXR (target: no gap over 0.25 s);
// - opening the same OpenEXR in a 1600 x 1000 window, and at full size (within memory, or
//   refused in words);
// - through the program's windows (offscreen, every dialog answered OK at once): the Web Album
//   command on a 16000 x 16000 float OpenEXR (pictures of 300 and 900 pixels), and Print to a
//   PDF file of a 12240 x 8160 JPEG on letter paper with 1-inch margins, at the resolution the
//   PDF file's choices give the picture and on a 300-dpi printer. These rows tell the longest
//   the event loop went without running a 10 ms timer (loop_gap_s), whether the Progress
//   window showed, and the most the process's memory grew over what it held before
//   (growth_MB); the page's own picture is what a page holds (page_MB).
// - Save Image of a 20000 x 20000 JPEG shown in the image window and turned a quarter (Rotate
//   Right), written as a JPEG of quality 90 through the window's save command with its options
//   as they come and its file dialog, until the window shows the written file (targets: no gap
//   over 0.25 s, memory within twice the 1.2 GB of pixels written). Its gaps are those of the
//   event loop itself: the longest time a 10 ms timer of the window's event loop waited.
// - Save Image of a 10240 x 6840 float OpenEXR (70 megapixels) written the same way as a
//   JPEG-HDR, whose encoding takes the whole picture (target: no gap over 0.25 s).
// The pictures are made once in /tmp/lumerin_bench_big (big_pictures.h).
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPrinter>
#include <QTimer>

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
#include "app/export/pforms.h"
#include "app/export/ptrader.h"
#include "app/image/pforms.h"
#include "app/image/pimagewin.h"
#include "app/print/pforms.h"
#include "app/print/pprint.h"
#include "app_start.h"
#include "big_pictures.h"
#include "catalog/pfileinfo.h"
#include "display/pdispimg.h"
#include "formats/stdformats.h"
#include "platform/pcontrol.h"
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

// The rows through the windows measure the event loop itself (its timer marks loopGaps);
// slices are only counted there.
bool byTimer = false;
Gaps loopGaps;

#ifdef BENCH_SLICES
bool OnSlice(double) {
  if (!byTimer) gaps.Mark();
  ++gaps.slices;
  return true;
}
#endif

// The peak resident memory from here on: the high-water mark is reset.
void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

double StatusMB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(key);
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atof(line.c_str() + n) / 1024.0;
  return 0;
}

double PeakMB() {
  return StatusMB("VmHWM:");
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

// ---- Through the program's windows.

// The interface as start-up makes it, once, in a home of its own; the web album's options and
// the print options and dialog are answered OK as soon as they show.
bool Interface() {
  static const bool ok = [] {
    static int argc = 1;
    static char arg0[] = "bench_bigpicture";
    static char* argv[] = {arg0, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    new QApplication(argc, argv);
    benchapp::QuietStderr();
    if (benchapp::MakeHome().empty() || !benchapp::StartInterface(false)) return false;
    dmessage_alert = nullptr;
    dmessage_call = Quiet;
    auto* t = new QTimer;
    QObject::connect(t, &QTimer::timeout, [] {
      for (WindowRef w : {gPrintWindow, gWebWindow})
        if (IsWindowVisible(w)) {
          ControlID id{FourCC("bttn"), 1};
          ControlRef button = nullptr;
          if (GetControlByID(w, &id, &button) == noErr)
            if (auto* b = qobject_cast<QAbstractButton*>(PlatformControlWidget(button))) b->click();
        }
      if (QDialog* d = PlatformPrintDialog())
        if (d->isVisible()) d->done(QDialog::Accepted);
    });
    t->start(1);
    return true;
  }();
  return ok;
}

// Runs a command with a 10 ms timer on the event loop marking loopGaps, the memory's growth
// counted from here; whether the Progress window showed meanwhile.
template <typename F>
bool Measured(F command, double* growth, bool* progress) {
  byTimer = true;
  ResetPeak();
  const double before = StatusMB("VmRSS:");
  bool shown = false;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    loopGaps.Mark();
    shown = shown || IsWindowVisible(gProgressWindow);
  });
  tick.start(10);
  loopGaps.Begin();
  gaps.Begin();
  const bool ok = command();
  loopGaps.End();
  tick.stop();
  *growth = PeakMB() - before;
  *progress = shown;
  byTimer = false;
  return ok;
}

void ReportLoop(benchmark::State& state, double growth, bool progress) {
  state.counters["loop_gap_s"] = loopGaps.longest;
  state.counters["growth_MB"] = growth;
  state.counters["progress_shown"] = progress ? 1 : 0;
  state.counters["slices"] = gaps.slices;
}

void Show(const DBRecord& rec) {
  PContext& bc = gMain->bc;
  bc.ClearRecords();
  bc.rdisp.NewRecord() = rec;
  bc.SelectAll();
}

// The Web Album command on the OpenEXR: inline pictures of 300 pixels and linked ones of 900
// (the options window's first settings), quality 80.
void BM_WebAlbumOf16000SquareFloatExr(benchmark::State& state) {
  Setup();
  const std::string src = bigpic::FloatExr(16000, 16000);
  if (src.empty() || !Interface()) {
    state.SkipWithError("no picture or no interface");
    return;
  }
  DBRecord rec;
  PgrokFile(&rec, src.c_str());
  Show(rec);
  const std::string dir = bigpic::Dir() + "/album";
  mkdir(dir.c_str(), 0755);
  const std::string page = dir + "/album.html";
  double growth = 0;
  bool progress = false;
  for (auto _ : state) {
    const bool ok =
        Measured([&] { return saveWebPage(page.c_str(), &gMain->bc) == 1; }, &growth, &progress);
    if (!ok) state.SkipWithError(("web album failed: " + lastMessage).c_str());
  }
  ReportLoop(state, growth, progress);
  // What it wrote, the largest picture's pixels.
  state.counters["largest_out_MB"] = 900.0 * 900 * 3 / (1 << 20);
}
BENCHMARK(BM_WebAlbumOf16000SquareFloatExr)->Unit(benchmark::kMillisecond)->Iterations(1);

// Print to PDF of the JPEG on letter paper with 1-inch margins, fitted and turned: range 0 at
// the resolution chosen from the PDF file's (72 to 1200 dpi), else on a printer of that many dpi.
void BM_PrintToPdfOf12240x8160Jpeg(benchmark::State& state) {
  Setup();
  const std::string src = bigpic::Jpeg(12240, 8160);
  if (src.empty() || !Interface()) {
    state.SkipWithError("no picture or no interface");
    return;
  }
  DBRecord rec;
  PgrokFile(&rec, src.c_str());
  Show(rec);
  const std::string pdf = bigpic::Dir() + "/print.pdf";
  const int dpi = static_cast<int>(state.range(0));
  double growth = 0;
  bool progress = false;
  int res = 0;
  for (auto _ : state) {
    state.PauseTiming();
    checkPrintSession(nullptr);
    QPrinter* p = PprintSession()->Printer();
    p->setPageLayout(QPageLayout(QPageSize(QPageSize::Letter), QPageLayout::Portrait,
                                 QMarginsF(72, 72, 72, 72), QPageLayout::Point));
    PprintSession()->SetOutputFile(pdf);
    if (dpi > 0) PprintSession()->SetResolutions({dpi});
    state.ResumeTiming();
    const bool ok = Measured([&] { return printImages() && gMain->bc.TotalSelected() == 1; },
                             &growth, &progress);
    res = PprintSession()->Resolution();
    state.PauseTiming();
    closePrintSession();
    state.ResumeTiming();
    struct stat st;
    if (!ok || stat(pdf.c_str(), &st) != 0)
      state.SkipWithError(("print failed: " + lastMessage).c_str());
  }
  ReportLoop(state, growth, progress);
  state.counters["dpi"] = res;
  // The printable part at that resolution, as 8-bit RGB.
  state.counters["page_MB"] = 6.5 * 9 * res * res * 3 / (1 << 20);
}
BENCHMARK(BM_PrintToPdfOf12240x8160Jpeg)
    ->Arg(0)
    ->Arg(300)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// The image window as start-up makes it (through the interface above).
PImageWindow* ImageWindow() {
  return Interface() ? static_cast<PImageWindow*>(gImager) : nullptr;
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
    PFileDialog* d = PlatformFileDialog();
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
    d->SelectFile(path);
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

// Save Image of a 10240 x 6840 float OpenEXR (70 megapixels) shown in the image window, written
// as a JPEG-HDR of quality 90 through the save command with its options as they come (the
// file's own pixels, read whole) until the window shows the written file: the longest the
// event loop waited (target: under 0.25 s), that of the save command alone (save_gap_s) and of
// the window's drawing of the written file after it (show_gap_s), and the memory it took.
void BM_SaveJpegHdrOf70MpFloatExr(benchmark::State& state) {
  Setup();
  const std::string src = bigpic::FloatExr(10240, 6840);
  PImageWindow* w = src.empty() ? nullptr : ImageWindow();
  if (w == nullptr) {
    state.SkipWithError("no picture or no interface");
    return;
  }
  const std::string out = bigpic::Dir() + "/saved_hdr.jpg";
  DBRecord rec;
  PgrokFile(&rec, src.c_str());
  const PSliceHook was = PsetSliceHook(nullptr);
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [] {
    gaps.Mark();
    ++gaps.slices;
  });
  double peak = 0, base = 0, saveGap = 0, showGap = 0;
  for (auto _ : state) {
    state.PauseTiming();
    unlink(out.c_str());
    if (!w->AddImage(rec, false) || !w->Present()) {
      state.SkipWithError("cannot show the picture");
      break;
    }
    AnswerSave(out);
    state.ResumeTiming();
    ResetPeak();
    base = ResidentMB();
    gaps.Begin();
    tick.start(10);
    const int saved = w->SaveImage();
    gaps.Mark();
    saveGap = gaps.longest;
    gaps.longest = 0;
    if (saved == 1) w->Redraw();
    gaps.End();
    showGap = gaps.longest;
    gaps.longest = std::max(saveGap, showGap);
    tick.stop();
    peak = PeakMB();
    state.PauseTiming();
    w->CloseImages(false);
    state.ResumeTiming();
    if (saved != 1) state.SkipWithError(("save failed: " + lastMessage).c_str());
  }
  PsetSliceHook(was);
  Report(state, peak);
  state.counters["save_gap_s"] = saveGap;
  state.counters["show_gap_s"] = showGap;
  state.counters["base_MB"] = base;
  struct stat st;
  state.counters["written_MB"] = stat(out.c_str(), &st) == 0 ? st.st_size / 1048576.0 : 0;
  unlink(out.c_str());
}
BENCHMARK(BM_SaveJpegHdrOf70MpFloatExr)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
