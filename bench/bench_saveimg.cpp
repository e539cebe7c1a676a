// Saving what the image window shows: a 24-megapixel camera JPEG, cropped to 5000 x 3200 and
// turned a quarter, written as a JPEG of quality 90 through the save dialog (SaveMapImage, the
// window showing the picture at 1:1 as the command leaves it: crop and turn of the pixels read,
// encoding and the replacing write); the window's read of that picture at 1:1 once a save has
// shown the written file, on a row of its own; beside ImageMagick's
// `convert in.jpg -crop 5000x3200+500+400 -rotate 90 -quality 90 out.jpg` on one thread
// (MAGICK_THREAD_LIMIT=1), a whole run from the file. The picture is made once in /tmp from the
// shared test pictures' camera JPEG (6000 x 4000, quality 92). Run on one core:
//   QT_QPA_PLATFORM=offscreen taskset -c 2 build/bench/bench_saveimg
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QTimer>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/phandlers.h"
#include "app/image/pimagewin.h"
#include "app/shell/pshell.h"
#include "app_start.h"
#include "bench_testdata.h"
#include "bench_run.h"
#include "catalog/pfieldset.h"
#include "catalog/pfileinfo.h"
#include "formats/stdformats.h"
#include "platform/pqt.h"

extern char** environ;

namespace {

const char* kJpeg = "/tmp/lumerin_bench_camera24mp.jpg";
const char* kOut = "/tmp/lumerin_bench_saved.jpg";
const char* kPeerOut = "/tmp/lumerin_bench_saved_peer.jpg";
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

// The interface as start-up makes it, with the picture open, cropped and turned.
PImageWindow* Window(DBRecord* shown) {
  static DBRecord rec;
  static PImageWindow* w = []() -> PImageWindow* {
    static int argc = 1;
    static char arg0[] = "bench_saveimg";
    static char* argv[] = {arg0, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    new QApplication(argc, argv);
    benchapp::QuietStderr();
    if (!benchapp::StartInterface()) return nullptr;
    auto* iw = static_cast<PImageWindow*>(gImager);
    PgrokFile(&rec, kJpeg);
    const long crop[4] = {500, 400, 5500, 3600};
    PDBsetInts(&rec, PDBFcrop, crop, 4);
    PDBsetInt(&rec, PDBForient, 90);
    if (!iw->AddImage(rec, false) || !iw->Present()) return nullptr;
    return iw;
  }();
  *shown = rec;
  return w;
}

// Chooses kOut as a JPEG in the next save dialog.
void AcceptDialog() {
  auto* t = new QTimer;
  QObject::connect(t, &QTimer::timeout, [t] {
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
    d->SelectFile(kOut);
    QMetaObject::invokeMethod(d, "accept", Qt::QueuedConnection);
  });
  t->start(1);
}

// The picture shown again in the window at 1:1, as the save command sets it: the window draws
// it, reading its pixels unless it holds them.
void ShowAtFullSize(PImageWindow* w, const DBRecord& shown) {
  w->GetCurrentIR()->UpdateRec(shown);    // a save replaced it in the window with the written file
  w->GetCurrentIR()->SetZoomRatio(1, 1);  // as the command does: every pixel of the crop
  w->Redraw();
}

// The window showing the picture, or null once the benchmark is told why not.
PImageWindow* Shown(benchmark::State& st, DBRecord* shown) {
  PImageWindow* w = Picture() ? Window(shown) : nullptr;
  if (w == nullptr) st.SkipWithError("no picture or no interface");
  return w;
}

// All a save takes but the save itself: no file yet, the picture at 1:1, the record to save and
// the dialog answered.
DBRecord ReadyToSave(PImageWindow* w, const DBRecord& shown) {
  unlink(kOut);
  ShowAtFullSize(w, shown);
  DBRecord rec = shown;
  PDBsetInt(&rec, PDBFquality, 90);
  AcceptDialog();
  return rec;
}

// The save alone: the window holds the picture's pixels, as it does once it shows them.
void BM_SaveMapImageCroppedTurnedJpeg(benchmark::State& st) {
  DBRecord shown;
  PImageWindow* w = Shown(st, &shown);
  if (w == nullptr) return;
  for (auto _ : st) {
    st.PauseTiming();
    DBRecord rec = ReadyToSave(w, shown);
    st.ResumeTiming();
    if (w->SaveMapImage(&rec) != 1) st.SkipWithError("save failed");
  }
  long x = 0, y = 0;
  DBRecord out;
  PgrokFile(&out, kOut);
  PDBgetInt(out, PDBFxsize, &x);
  PDBgetInt(out, PDBFysize, &y);
  st.counters["width"] = x;
  st.counters["height"] = y;
}
BENCHMARK(BM_SaveMapImageCroppedTurnedJpeg)->Unit(benchmark::kMillisecond)->UseRealTime();

// The read before it: the picture drawn at 1:1 after a save left the window on the written file.
void BM_ReadMapImageCroppedTurnedJpegAtFullSize(benchmark::State& st) {
  DBRecord shown;
  PImageWindow* w = Shown(st, &shown);
  if (w == nullptr) return;
  for (auto _ : st) {
    st.PauseTiming();
    DBRecord rec = ReadyToSave(w, shown);
    if (w->SaveMapImage(&rec) != 1) st.SkipWithError("save failed");
    st.ResumeTiming();
    ShowAtFullSize(w, shown);
  }
}
BENCHMARK(BM_ReadMapImageCroppedTurnedJpegAtFullSize)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PeerImageMagickCropRotate(benchmark::State& st) {
  if (!Picture()) {
    st.SkipWithError("no picture or no ImageMagick");
    return;
  }
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  env.push_back("MAGICK_THREAD_LIMIT=1");
  std::vector<const char*> envp;
  for (const std::string& e : env) envp.push_back(e.c_str());
  envp.push_back(nullptr);
  for (auto _ : st)
    if (Run({kConvert, kJpeg, "-crop", "5000x3200+500+400", "-rotate", "90", "-quality", "90",
             kPeerOut},
            envp.data()) != 0)
      st.SkipWithError("convert failed");
  unlink(kPeerOut);
}
BENCHMARK(BM_PeerImageMagickCropRotate)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
