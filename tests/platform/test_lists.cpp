#include <QScrollBar>
#include <QTest>
#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "platform/plist.h"
#include "platform/pqt.h"
#include "platform_util.h"

namespace {

// What a list should hold: the selection, the scroll position, the view and the last click.
struct Model {
  SInt32 rows, cols;
  Point cell;
  Rect view;
  std::vector<uint8_t> sel;
  SInt32 top = 0, left = 0;
  Cell last{-1, -1};
  UInt32 flags = 0;

  SInt32 Full(int extent, int size) const { return std::max(1, extent / size); }
  void Clamp() {
    top = std::clamp<SInt32>(top, 0, std::max(0, rows - Full(view.bottom - view.top, cell.v)));
    left = std::clamp<SInt32>(left, 0, std::max(0, cols - Full(view.right - view.left, cell.h)));
  }
  uint8_t& At(Cell c) { return sel[size_t(c.v) * size_t(cols) + size_t(c.h)]; }
  void Click(Cell c, UInt32 mods) {
    const bool shift = (mods & shiftKey) && !(flags & lOnlyOne);
    const bool toggle = (mods & cmdKey) && !(flags & lOnlyOne);
    if (c.h >= cols || c.v >= rows) {
      if (!shift && !toggle) std::fill(sel.begin(), sel.end(), 0);
      last = Cell(-1, -1);
      return;
    }
    last = c;
    if (shift) {
      SInt32 t = c.v, b = c.v, l = c.h, r = c.h;
      for (SInt32 i = 0; i < rows; ++i)
        for (SInt32 k = 0; k < cols; ++k)
          if (At(Cell(i, k))) {
            t = std::min(t, i), b = std::max(b, i), l = std::min(l, k), r = std::max(r, k);
          }
      for (SInt32 i = t; i <= b; ++i)
        for (SInt32 k = l; k <= r; ++k) At(Cell(i, k)) = 1;
    } else if (toggle) {
      At(c) ^= 1;
    } else {
      std::fill(sel.begin(), sel.end(), 0);
      At(c) = 1;
    }
  }
};

}  // namespace

TEST(PlatformLists, RandomOperationsOverAHundredThousandRowsAgreeWithAModel) {
  SetManualPlatformClock(true);
  WindowRef w = MakeWindow("PlainWindow");
  Model m{100000, 2, Point{16, 60}, Rect{10, 10, 250, 250}, {}};
  m.sel.assign(size_t(m.rows) * size_t(m.cols), 0);
  const ListBounds data{0, 0, m.rows, m.cols};
  ListHandle lh = LNew(&m.view, &data, m.cell, 0, w, false, true, false, true);
  ASSERT_NE(lh, nullptr);
  LSetCell("far down", 8, Cell(99999, 1), lh);
  char text[16];
  short len = sizeof text;
  ASSERT_TRUE(LGetCell(text, &len, Cell(99999, 1), lh));  // rows past 32,767
  EXPECT_EQ(std::string(text, size_t(len)), "far down");
  ControlRef vbar = GetListVerticalScrollBar(lh);
  ASSERT_NE(vbar, nullptr);
  EXPECT_EQ(GetListHorizontalScrollBar(lh), nullptr);

  std::mt19937 rng(1987);
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  const UInt32 mods[] = {0, 0, shiftKey, cmdKey, shiftKey | cmdKey};
  for (int op = 0; op < 10000; ++op) {
    AdvancePlatformClock(1.0);  // no double clicks
    switch (pick(6)) {
      case 0:
      case 1: {  // a click in the view, maybe right of the cells
        const short h = short(m.view.left + pick(m.view.right - m.view.left));
        const short v = short(m.view.top + pick(m.view.bottom - m.view.top));
        const UInt32 md = mods[pick(5)];
        EXPECT_FALSE(LClick(Point{v, h}, md, lh));
        m.Click(Cell(m.top + (v - m.view.top) / m.cell.v, m.left + (h - m.view.left) / m.cell.h),
                md);
        break;
      }
      case 2: {
        const SInt32 rows = pick(3) == 0 ? pick(200001) - 100000 : pick(41) - 20;
        const SInt32 cols = pick(3) - 1;
        LScroll(cols, rows, lh);
        m.top += rows;
        m.left += cols;
        m.Clamp();
        break;
      }
      case 3: {
        const short wd = short(20 + pick(300)), ht = short(8 + pick(500));
        LSize(wd, ht, lh);
        m.view.right = short(m.view.left + wd);
        m.view.bottom = short(m.view.top + ht);
        m.Clamp();
        break;
      }
      case 4: {
        const Cell c(pick(m.rows), pick(m.cols));
        const bool on = pick(2) == 0;
        LSetSelect(on, c, lh);
        if (on && (m.flags & lOnlyOne)) std::fill(m.sel.begin(), m.sel.end(), 0);
        m.At(c) = on;
        break;
      }
      default:
        m.flags = pick(4) == 0 ? UInt32(lOnlyOne) : 0u;
        SetListSelectionFlags(lh, m.flags);
        break;
    }
    ListBounds vis;
    GetListVisibleCells(lh, &vis);
    const SInt32 seenRows = (m.view.bottom - m.view.top + m.cell.v - 1) / m.cell.v;
    ASSERT_EQ(vis.top, m.top) << "op " << op;
    ASSERT_EQ(vis.bottom, std::min(m.rows, m.top + seenRows)) << "op " << op;
    ASSERT_EQ(vis.left, m.left) << "op " << op;
    ASSERT_EQ(LLastClick(lh), m.last) << "op " << op;
    ASSERT_EQ(GetControlValue(vbar), m.top) << "op " << op;
    if (op % 500 == 499) {
      // The whole selection, walked with LGetSelect.
      std::vector<uint8_t> got(m.sel.size(), 0);
      for (Cell c(0, 0); LGetSelect(true, &c, lh);) {
        got[size_t(c.v) * size_t(m.cols) + size_t(c.h)] = 1;
        if (++c.h == m.cols) c = Cell(c.v + 1, 0);
        if (c.v == m.rows) break;
      }
      ASSERT_TRUE(got == m.sel) << "op " << op;
    }
  }

  // The scroll bar is a control of the window that moves the list.
  LSize(200, 160, lh);
  LScroll(0, -200000, lh);
  QWidget* bar = PlatformControlWidget(vbar);
  QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, bar->height() - 40));
  EXPECT_EQ(LGetScroll(lh).v, 10);  // a page of ten rows
  EXPECT_EQ(GetControlValue(vbar), 10);
  LDispose(lh);
  EXPECT_FALSE(IsValidControlHandle(vbar));
  DisposeWindow(w);
  SetManualPlatformClock(false);
}
