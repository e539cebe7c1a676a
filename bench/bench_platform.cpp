// Platform layer speed with the program's 22 windows (4 document windows with the menu bar,
// 18 dialogs): menu state for 300 command codes set through the command helpers, a menu opened
// (its items brought up to date by the window in front and the application, shown and
// painted), and the time from a quit to the end of a wait in progress. Beside them, the file
// dialog listing a folder of 10,000 files and 100 folders (a tenth of the names not UTF-8) from
// its call to the last entry listed, with the longest the event loop went without running a
// 10 ms timer meanwhile, beside Qt's QFileSystemModel reading the same folder (the model Qt's
// own dialog lists with; the folder is made once in /tmp/lumerin_bench_filedialog).
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileSystemModel>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "toolkit/pcommand.h"
#include "platform/pevent.h"
#include "platform/pmenu.h"
#include "platform/pqt.h"
#include "platform/pwindow.h"

namespace {

constexpr int kMenus = 12, kItems = 25;  // 300 commands

UInt32 Code(int i) {
  const std::string s = "c" + std::to_string(100 + i);
  return FourCC({s[0], s[1], s[2], s[3], 0});
}

// The menu bar form: kMenus menus of kItems items, each with its command.
void BuildMenuBar(QMainWindow* m) {
  for (int k = 0; k < kMenus; ++k) {
    QMenu* menu = m->menuBar()->addMenu(QString("Menu %1").arg(k));
    for (int i = 0; i < kItems; ++i) {
      const int n = k * kItems + i;
      QAction* a = menu->addAction(QString("Item %1").arg(n));
      a->setProperty("command", QString("c%1").arg(100 + n));
      if (i == 0) a->setShortcut(QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_A + k)));
    }
  }
}

void BuildWindow(QWidget* w, bool dialog) {
  w->resize(400, 300);
  if (dialog) w->setProperty("windowKind", "dialog");
  for (int i = 0; i < 6; ++i) {
    auto* b = new QPushButton(QString("Button %1").arg(i), w);
    b->setObjectName(QString("bnch:%1").arg(i));
    b->setGeometry(10, 10 + 40 * i, 100, 30);
  }
  auto* l = new QLabel("Text", w);
  l->setObjectName("bnch:99");
  l->setGeometry(150, 10, 200, 20);
}

// The window handlers the application installs: each window and the application look at
// every update and take a few.
OSStatus UpdateSome(EventHandlerCallRef, EventRef ev, void*) {
  HICommand cmd;
  GetEventParameter(ev, kEventParamDirectObject, typeHICommand, nullptr, sizeof cmd, nullptr, &cmd);
  if (cmd.commandID % 7 != 0) return eventNotHandledErr;
  EnableMenuItem(cmd.menuRef, cmd.menuItemIndex);
  return noErr;
}

struct Program {
  std::vector<WindowRef> windows;
  void Make(int documents, int dialogs) {
    IBNibRef nib = nullptr;
    CreateNibReference("bench", &nib);
    SetMenuBarFromNib(nib, "MainMenu");
    const EventTypeSpec update = {kEventClassCommand, kEventCommandUpdateStatus};
    for (int i = 0; i < documents + dialogs; ++i) {
      WindowRef w = nullptr;
      CreateWindowFromNib(nib, i < documents ? "Doc" : "Dialog", &w);
      InstallEventHandler(GetWindowEventTarget(w), UpdateSome, 1, &update, nullptr, nullptr);
      windows.push_back(w);
    }
    DisposeNibReference(nib);
    ShowWindow(windows[0]);
    SelectWindow(windows[0]);
    QApplication::processEvents();
  }
  ~Program() {
    for (WindowRef w : windows) DisposeWindow(w);
    QApplication::processEvents();
  }
};

void BM_MenuState300Codes(benchmark::State& state) {
  Program p;
  p.Make(state.range(0) == 22 ? 4 : 1, state.range(0) == 22 ? 18 : 0);
  const bool flip = state.range(1) != 0;
  bool on = true;
  for (auto _ : state) {
    if (flip) on = !on;
    for (int i = 0; i < kMenus * kItems; ++i) {
      enableMenuCommand(Code(i), on);
      checkMenuCommand(Code(i), on);
    }
  }
  state.counters["windows"] = double(p.windows.size());
}
BENCHMARK(BM_MenuState300Codes)
    ->Args({1, 1})
    ->Args({22, 0})
    ->Args({22, 1})
    ->ArgNames({"windows", "changing"})
    ->Unit(benchmark::kMicrosecond);

void BM_MenuOpened(benchmark::State& state) {
  Program p;
  p.Make(4, 18);
  const EventTypeSpec update = {kEventClassCommand, kEventCommandUpdateStatus};
  InstallEventHandler(GetApplicationEventTarget(), UpdateSome, 1, &update, nullptr, nullptr);
  MenuRef m = nullptr;
  GetIndMenuItemWithCommandID(nullptr, Code(3 * kItems), 1, &m, nullptr);
  QMenu* menu = PlatformMenu(m);
  if (menu == nullptr) {
    state.SkipWithError("no menu");
    return;
  }
  for (auto _ : state) {
    menu->popup(QPoint(20, 20));
    QApplication::processEvents();  // shown and painted
    menu->hide();
  }
  state.counters["items"] = double(menu->actions().size());
}
BENCHMARK(BM_MenuOpened)->Unit(benchmark::kMicrosecond);

// An item added to a menu of the bar and taken away again.
void BM_MenuItemAdded(benchmark::State& state) {
  Program p;
  p.Make(4, 18);
  MenuRef m = nullptr;
  GetIndMenuItemWithCommandID(nullptr, Code(0), 1, &m, nullptr);
  for (auto _ : state) {
    MenuItemIndex i = 0;
    AppendMenuItemText(m, "Added", FourCC("addd"), &i);
    DeleteMenuItem(m, i);
  }
}
BENCHMARK(BM_MenuItemAdded)->Unit(benchmark::kMicrosecond);

// From the quit to the return of a wait for any event, inside the application loop; beside
// it, one turn of the loop with nothing to do.
void BM_WaitBrokenByQuit(benchmark::State& state) {
  Program p;
  p.Make(4, 18);
  for (auto _ : state) {
    QElapsedTimer clock;
    qint64 quitAt = 0, returnedAt = 0;
    QTimer::singleShot(0, [&] {
      QTimer::singleShot(0, [&] {
        quitAt = clock.nsecsElapsed();
        QuitApplicationEventLoop();
      });
      EventRef ev = nullptr;
      ReceiveNextEvent(0, nullptr, kEventDurationForever, true, &ev);
      returnedAt = clock.nsecsElapsed();
    });
    clock.start();
    RunApplicationEventLoop();
    state.SetIterationTime(double(returnedAt - quitAt) * 1e-9);
  }
}
BENCHMARK(BM_WaitBrokenByQuit)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_OneIdleLoopTurn(benchmark::State& state) {
  Program p;
  p.Make(4, 18);
  for (auto _ : state) QCoreApplication::processEvents();
}
BENCHMARK(BM_OneIdleLoopTurn)->Unit(benchmark::kMicrosecond);

// The listed folder: 9,000 files of UTF-8 names, 1,000 whose names hold the byte E9, 100
// folders; made once.
const char kListed[] = "/tmp/lumerin_bench_filedialog";
void MakeListedFolder() {
  struct stat st;
  if (stat((std::string(kListed) + "/done").c_str(), &st) == 0) return;
  mkdir(kListed, 0755);
  char name[64];
  for (int i = 0; i < 10000; ++i) {
    snprintf(name, sizeof name, i % 10 ? "/IMG_%05d.jpg" : "/caf\xE9_%05d.jpg", i);
    if (FILE* f = fopen((kListed + std::string(name)).c_str(), "we")) fclose(f);
  }
  for (int i = 0; i < 100; ++i) {
    snprintf(name, sizeof name, "/folder %d", i);
    mkdir((kListed + std::string(name)).c_str(), 0755);
  }
  if (FILE* f = fopen((std::string(kListed) + "/done").c_str(), "we")) fclose(f);
}

// The longest the event loop went without running a 10 ms timer, since Start.
struct Stall {
  QTimer tick;
  QElapsedTimer clock;
  qint64 last = 0, most = 0;
  Stall() {
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [this] {
      const qint64 now = clock.nsecsElapsed();
      most = std::max(most, now - last);
      last = now;
    });
  }
  void Start() {
    clock.start();
    last = most = 0;
    tick.start();
  }
};

void BM_FileDialogListsAFolder(benchmark::State& state) {
  MakeListedFolder();
  Stall stall;
  qint64 listed = 0;
  size_t entries = 0;
  for (auto _ : state) {
    QTimer poll;
    QElapsedTimer clock;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      PFileDialog* d = PlatformFileDialog();
      if (d == nullptr || !d->Listed()) return;
      listed = clock.nsecsElapsed();
      entries = d->Entries().size();
      poll.stop();
      d->reject();
    });
    poll.start(0);
    PFileDialogSetup setup;
    setup.directory = kListed;
    setup.fileName = "caf\xE9.jpg";
    std::vector<std::string> chosen;
    clock.start();
    stall.Start();
    PlatformSaveFile(setup, &chosen, nullptr);
    stall.tick.stop();
    state.SetIterationTime(double(listed) * 1e-9);
  }
  state.counters["entries"] = double(entries);
  state.counters["stall_ms"] = double(stall.most) * 1e-6;
}
BENCHMARK(BM_FileDialogListsAFolder)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_QtFileSystemModelReadsTheFolder(benchmark::State& state) {
  MakeListedFolder();
  Stall stall;
  int rows = 0;
  for (auto _ : state) {
    QFileSystemModel model;
    QElapsedTimer clock;
    QEventLoop loop;
    bool loaded = false;
    QObject::connect(&model, &QFileSystemModel::directoryLoaded, [&] {
      loaded = true;
      loop.quit();
    });
    clock.start();
    stall.Start();
    const QModelIndex root = model.setRootPath(kListed);
    if (!loaded) loop.exec();
    rows = model.rowCount(root);
    state.SetIterationTime(double(clock.nsecsElapsed()) * 1e-9);
    stall.tick.stop();
  }
  state.counters["entries"] = rows;  // names that are no text merge: fewer than are there
  state.counters["stall_ms"] = double(stall.most) * 1e-6;
}
BENCHMARK(BM_QtFileSystemModelReadsTheFolder)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  RegisterNibMenuBar("bench", "MainMenu", BuildMenuBar);
  RegisterNibWindow("bench", "Doc", [](QWidget* w) { BuildWindow(w, false); });
  RegisterNibWindow("bench", "Dialog", [](QWidget* w) { BuildWindow(w, true); });
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
