#include <gtest/gtest.h>

#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QWheelEvent>
#include <random>
#include <set>

#include "test_window.h"

namespace {

// Checks what must hold of the test window after any operation; returns the first breach.
std::string Breach(FullWindow& win, const std::set<PDrawer*>& ownHidden,
                   const std::vector<PControlDrawer*>& leaves) {
  WindowPtr w = win.GetWindow();
  PWindowDrawer* root = win.Root();
  QWidget* content = PlatformContentWidget(w);
  if (root->IsVisible() != IsWindowVisible(w)) return "window shown state";
  if (content->width() < root->minsize.h || content->height() < root->minsize.v)
    return "window below the tree's minimum size";
  if (win.chest->IsVisible() != root->IsVisible()) return "chest follows the root";
  for (PControlDrawer* d : leaves) {
    bool want = win.chest->IsVisible() && ownHidden.count(d) == 0;
    if (d->IsVisible() != want) return "leaf visible without both bits";
    if (d->GetControl() && IsControlLatentlyVisible(d->GetControl()) != d->IsVisible())
      return "control visibility differs from its drawer";
  }
  const int sel = win.tabs->GetSelected();
  for (int t = 1; t <= 3; ++t) {
    bool want = win.tabs->IsVisible() && t == sel;
    if (win.tabs->GetTabDrawer(t)->IsVisible() != want)
      return "tab " + std::to_string(t) + " pane shown " + (want ? "not " : "") + "as selected";
  }
  if (GetControlValue(win.tabs->GetControl()) != sel) return "tab control value";
  if (win.inner->IsVisible() != win.pane2->IsVisible()) return "inner control follows its pane";
  if (IsWindowVisible(w) && win.tabs->IsVisible()) {
    auto* tw = static_cast<QTabWidget*>(WidgetOf(win.tabs));
    for (int t = 1; t <= 3; ++t)
      if (tw->widget(t - 1)->isVisible() != (t == sel)) return "tab page on screen";
  }
  SInt32 v = GetControlValue(win.arrows->GetControl());
  if (v < 0 || v > 5) return "stepper out of range";
  return "";
}

}  // namespace

TEST(RandomOperations, TenThousandOperationsKeepTheWindowConsistent) {
  FullWindow win;
  WindowPtr w = win.CreateWindow("test");
  ASSERT_NE(w, nullptr);
  win.Redraw();
  QWidget* content = PlatformContentWidget(w);
  QWidget* frame = PlatformFrameWidget(w);
  auto* tw = static_cast<QTabWidget*>(WidgetOf(win.tabs));
  std::vector<PControlDrawer*> leaves = {win.push,   win.check, win.text, win.edit,
                                         win.arrows, win.user,  win.tabs};
  std::set<PDrawer*> ownHidden;
  std::mt19937 rng(20061120);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };

  for (int op = 0; op < 10000; ++op) {
    const int kind = pick(9);
    const bool shown = IsWindowVisible(w);
    QPoint p(pick(std::max(1, content->width())), pick(std::max(1, content->height())));
    QWidget* target = content->childAt(p) ? content->childAt(p) : content;
    QPoint at = target == content ? p : target->mapFrom(content, p);
    switch (kind) {
      case 0:
      case 1:
        if (shown) QTest::mouseClick(target, Qt::LeftButton, {}, at);
        break;
      case 2: {
        if (!shown) break;
        QPoint delta = pick(2) ? QPoint(0, pick(2) ? 120 : -120) : QPoint(pick(2) ? 120 : -120, 0);
        QWheelEvent e(at, target->mapToGlobal(QPointF(at)), QPoint(), delta, Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(target, &e);
        break;
      }
      case 3:
        frame->resize(pick(1000), pick(800));
        QApplication::processEvents();
        break;
      case 4:
        win.Show(pick(2));
        break;
      case 5:
        win.tabs->Select(pick(5));
        break;
      case 6:
        if (shown && win.tabs->IsVisible())
          QTest::mouseClick(tw->tabBar(), Qt::LeftButton, {},
                            tw->tabBar()->tabRect(pick(3)).center());
        break;
      case 7: {
        PControlDrawer* d = leaves[size_t(pick(int(leaves.size())))];
        int v = pick(2);
        d->Show(v);
        if (v)
          ownHidden.erase(d);
        else
          ownHidden.insert(d);
        break;
      }
      default:
        win.Redraw();
        break;
    }
    std::string breach = Breach(win, ownHidden, leaves);
    ASSERT_EQ(breach, "") << "after operation " << op << " of kind " << kind;
  }
}
