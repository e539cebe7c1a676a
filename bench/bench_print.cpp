// Printing to PDF files through the program's own commands, on the offscreen platform, with the
// dialogs answered as soon as they show (OK, all pages), on letter paper with 1-inch margins:
// - an index of 1,000 records whose thumbnails are in the cache, at 80-pixel thumbnails
//   (size class 2: 14 pages of 72 cells);
// - 20 pages of 12-megapixel JPEGs on a 300-dpi printer, fitted, one a page; beside it
//   ImageMagick's `convert` (MAGICK_THREAD_LIMIT=1) fitting each picture to the page at 300 dpi
//   and writing it as a JPEG (Debian's ImageMagick refuses to write PDF files), one run each.
// The PDF file's size is given with each. The pictures are made once in /tmp (1,000 small
// JPEGs and their thumbnail cache; one 4000 x 3000 JPEG from the shared test pictures' camera
// JPEG, named 20 times); they are never part of the project. Run on one core:
//   QT_QPA_PLATFORM=offscreen taskset -c 2 build/bench/bench_print
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QPrinter>
#include <QTimer>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pdialogs.h"
#include "app/core/phandlers.h"
#include "app/print/pforms.h"
#include "app/print/pprint.h"
#include "app/shell/pshell.h"
#include "app_start.h"
#include "bench_testdata.h"
#include "bench_run.h"
#include "catalog/pfileinfo.h"
#include "formats/stdformats.h"
#include "platform/pcontrol.h"
#include "platform/pqt.h"
#include "platform/pwindow.h"
#include "testutil/rgb_jpeg.h"

extern char** environ;

namespace {

const char* kDir = "/tmp/lumerin_bench_print";
const char* kConvert = "/usr/bin/convert";
constexpr int kIndexRecords = 1000;
constexpr int kImagePages = 20;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

using benchrun::Run;

// The interface as start-up makes it, once; every options and print dialog is answered OK.
bool Interface() {
  static const bool ok = [] {
    static int argc = 1;
    static char arg0[] = "bench_print";
    static char* argv[] = {arg0, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    new QApplication(argc, argv);
    benchapp::QuietStderr();
    if (!benchapp::StartInterface()) return false;
    CacheObject::tab.memoryBudget = 32u << 20;  // the preference's default
    auto* t = new QTimer;
    QObject::connect(t, &QTimer::timeout, [] {
      if (IsWindowVisible(gPrintWindow)) {
        ControlID id{FourCC("bttn"), 1};
        ControlRef button = nullptr;
        if (GetControlByID(gPrintWindow, &id, &button) == noErr)
          if (auto* b = qobject_cast<QAbstractButton*>(PlatformControlWidget(button))) b->click();
      }
      if (QDialog* d = PlatformPrintDialog())
        if (d->isVisible()) d->done(QDialog::Accepted);
    });
    t->start(1);
    mkdir(kDir, 0700);
    return true;
  }();
  return ok;
}

// The session on letter paper with 1-inch margins, writing to path.
void Session(const std::string& path, std::vector<int> resolutions) {
  checkPrintSession(nullptr);
  QPrinter* p = PprintSession()->Printer();
  p->setPageLayout(QPageLayout(QPageSize(QPageSize::Letter), QPageLayout::Portrait,
                               QMarginsF(72, 72, 72, 72), QPageLayout::Point));
  PprintSession()->SetOutputFile(path);
  PprintSession()->SetResolutions(resolutions);
}

void Show(const std::vector<DBRecord>& recs) {
  PContext& bc = gMain->bc;
  bc.ClearRecords();
  for (const DBRecord& r : recs) bc.rdisp.NewRecord() = r;
  bc.SelectAll();
}

// 1,000 small pictures, each a little different, with their thumbnails cached.
std::vector<DBRecord> IndexRecords() {
  static std::vector<DBRecord> recs = [] {
    std::vector<DBRecord> v;
    const std::string dir = std::string(kDir) + "/index";
    mkdir(dir.c_str(), 0700);
    mkdir((dir + "/cache").c_str(), 0700);
    if (!PthumbManager().SetCacheDirectory((dir + "/cache").c_str())) return v;
    const int w = 640, h = 480;
    std::vector<unsigned char> px(static_cast<size_t>(w) * h * 3);
    for (int i = 0; i < kIndexRecords; i++) {
      char name[64];
      snprintf(name, sizeof name, "/p%04d.jpg", i);
      const std::string path = dir + name;
      if (!Exists(path)) {
        for (int y = 0; y < h; y++)
          for (int x = 0; x < w; x++) {
            unsigned char* p = &px[(static_cast<size_t>(y) * w + x) * 3];
            p[0] = static_cast<unsigned char>(x * 255 / w);
            p[1] = static_cast<unsigned char>((y + i * 7) % 256);
            p[2] = static_cast<unsigned char>((i * 37) % 256);
          }
        WriteRgbJpeg(path, i % 5 == 0 ? h : w, i % 5 == 0 ? w : h, px.data(), 85);
      }
      DBRecord r;
      PgrokFile(&r, path.c_str());
      _ImgStruct t = {};
      t.xres = t.yres = PBigThumbWidth;
      t.csp = &ICS_sRGB;
      PthumbManager().GetThumbnail(&t, r, nullptr);
      PfreeImage(&t);
      v.push_back(r);
    }
    PthumbManager().SyncCache();
    return v;
  }();
  return recs;
}

void BM_IndexOf1000CachedThumbnails(benchmark::State& state) {
  if (!Interface()) {
    state.SkipWithError("no interface");
    return;
  }
  const std::vector<DBRecord> recs = IndexRecords();
  if (recs.size() != kIndexRecords) {
    state.SkipWithError("no thumbnail cache");
    return;
  }
  Show(recs);
  gMain->GetBrowser()->SetThumbDenom(4);
  const std::string pdf = std::string(kDir) + "/index.pdf";
  bool ok = true;
  for (auto _ : state) {
    state.PauseTiming();
    Session(pdf, {});
    state.ResumeTiming();
    ok = printIndex() && ok;
    state.PauseTiming();
    closePrintSession();
    state.ResumeTiming();
  }
  if (!ok) state.SkipWithError("the index was not printed");
  state.counters["pdf_bytes"] = static_cast<double>(FileSize(pdf));
}
BENCHMARK(BM_IndexOf1000CachedThumbnails)->Unit(benchmark::kMillisecond)->UseRealTime();

// The camera picture at 4000 x 3000, once.
std::string Photo() {
  static const std::string path = [] {
    const std::string p = std::string(kDir) + "/camera12mp.jpg";
    if (Exists(p)) return p;
    const std::string src = testdataDir() + "/jpeg/corrupted.jpg";
    if (!Exists(src) || !Exists(kConvert)) return std::string();
    return Run({kConvert, src, "-resize", "4000x3000!", "-quality", "92", p}) == 0 && Exists(p)
               ? p
               : std::string();
  }();
  return path;
}

// The picture under 20 names.
std::vector<std::string> Photos() {
  std::vector<std::string> v;
  const std::string src = Photo();
  if (src.empty()) return v;
  for (int i = 0; i < kImagePages; i++) {
    const std::string p = std::string(kDir) + "/photo" + std::to_string(i) + ".jpg";
    if (!Exists(p) && link(src.c_str(), p.c_str()) != 0) return {};
    v.push_back(p);
  }
  return v;
}

void BM_TwentyPagesOf12MPAt300Dpi(benchmark::State& state) {
  const std::vector<std::string> files = Photos();
  if (files.empty() || !Interface()) {
    state.SkipWithError("no picture or no interface");
    return;
  }
  std::vector<DBRecord> recs;
  for (const std::string& f : files) {
    DBRecord r;
    PgrokFile(&r, f.c_str());
    recs.push_back(r);
  }
  Show(recs);
  const std::string pdf = std::string(kDir) + "/photos.pdf";
  bool ok = true;
  for (auto _ : state) {
    state.PauseTiming();
    Session(pdf, {300});
    state.ResumeTiming();
    ok = printImages() && ok;
    state.PauseTiming();
    closePrintSession();
    state.ResumeTiming();
  }
  if (!ok) state.SkipWithError("the pages were not printed");
  state.counters["pdf_bytes"] = static_cast<double>(FileSize(pdf));
}
BENCHMARK(BM_TwentyPagesOf12MPAt300Dpi)->Unit(benchmark::kMillisecond)->UseRealTime();

// ImageMagick's policy on Debian refuses to write PDF files, so the peer does the same picture
// work without the wrapping: each picture read, fitted into 6.5 x 9 inches at 300 dpi and
// written as a JPEG of quality 92, one run per picture.
void BM_PeerImageMagickTwentyPages(benchmark::State& state) {
  const std::vector<std::string> files = Photos();
  if (files.empty() || !Exists(kConvert)) {
    state.SkipWithError("no picture or no ImageMagick");
    return;
  }
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  env.push_back("MAGICK_THREAD_LIMIT=1");
  std::vector<const char*> envp;
  for (const std::string& e : env) envp.push_back(e.c_str());
  envp.push_back(nullptr);
  const std::string out = std::string(kDir) + "/page-convert.jpg";
  for (auto _ : state)
    for (const std::string& f : files)
      if (Run({kConvert, f, "-resize", "1950x2700", "-quality", "92", out}, envp.data()) != 0)
        state.SkipWithError("convert failed");
  state.counters["jpeg_bytes_x20"] = static_cast<double>(FileSize(out)) * kImagePages;
}
BENCHMARK(BM_PeerImageMagickTwentyPages)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
