// Window toolkit speed: relayout of a 500-pane tree after a resize (no drawing: the panes
// have no window), and event dispatch through a window object's handler table, both directly
// and from the platform's event target.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QWidget>
#include <cstdlib>

#include "toolkit/pctltext.h"
#include "toolkit/pdrawer.h"
#include "toolkit/pdrawkinds.h"
#include "toolkit/pwinhandler.h"

namespace {

// Splits r into leaves alternately side by side and stacked until n leaves are made.
PDrawer* Tree(Rect r, int n, bool stacked) {
  if (n <= 1) {
    PEmptyDrawer* d = new PEmptyDrawer;
    d->extent = r;
    d->Drawn();
    return d;
  }
  Rect a = r, b = r;
  if (stacked)
    a.bottom = b.top = static_cast<short>((r.top + r.bottom) / 2);
  else
    a.right = b.left = static_cast<short>((r.left + r.right) / 2);
  return new PDualDrawer(Tree(a, n / 2, !stacked), Tree(b, n - n / 2, !stacked), stacked);
}

int Count(const PDrawer* d) {
  int n = 1;
  for (int i = 0; d->GetChild(i) != nullptr; ++i) n += Count(d->GetChild(i));
  return n;
}

void BM_RelayoutAfterResize(benchmark::State& state) {
  PDrawer* root = Tree(Rect{0, 0, 3000, 4000}, 250, false);
  state.counters["panes"] = Count(root);
  bool wide = false;
  for (auto _ : state) {
    wide = !wide;
    root->extent.right = static_cast<short>(wide ? 4100 : 4000);
    root->extent.bottom = static_cast<short>(wide ? 3060 : 3000);
    root->Redraw();
  }
  delete root;
}
BENCHMARK(BM_RelayoutAfterResize)->Unit(benchmark::kMicrosecond);

class BenchWindow : public PWindowHandlerBase {
 public:
  long handled = 0;
  WindowPtr CreateWindow(IBNibRef nib) override {
    WindowRef w = nullptr;
    if (CreateWindowFromNib(nib, "Bench", &w) != noErr) return nullptr;
    PEmptyDrawer* d = new PEmptyDrawer;
    d->extent = Rect{0, 0, 300, 400};
    wdrawer = new PWindowDrawer(w, d);
    // A full table: the bound pair is found last of 64.
    AddHandler(FourCC("bnch"), 0, static_cast<PWindowHandlerF>(&BenchWindow::Take));
    for (UInt32 k = 1; k < 57; ++k)
      AddHandler(FourCC("fill"), k, static_cast<PWindowHandlerF>(&BenchWindow::Take));
    return FinishInstall() ? w : nullptr;
  }
  using PWindowHandlerBase::CreateWindow;
  OSStatus Take(EventRef) {
    ++handled;
    return noErr;
  }
};

void BM_HandlerTable(benchmark::State& state) {
  BenchWindow win;
  if (win.CreateWindow("bench") == nullptr) {
    state.SkipWithError("no window");
    return;
  }
  EventRef ev = nullptr;
  CreateEvent(FourCC("bnch"), 0, 0, &ev);
  const bool viaTarget = state.range(0) != 0;
  EventTargetRef target = GetWindowEventTarget(win.GetWindow());
  for (auto _ : state)
    benchmark::DoNotOptimize(viaTarget ? SendEventToEventTarget(ev, target) : win.HandleEvent(ev));
  ReleaseEvent(ev);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["handled"] = static_cast<double>(win.handled);
}
BENCHMARK(BM_HandlerTable)->Arg(0)->Arg(1)->ArgNames({"via_target"});

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  RegisterNibWindow("bench", "Bench", [](QWidget* w) { w->resize(400, 300); });
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
