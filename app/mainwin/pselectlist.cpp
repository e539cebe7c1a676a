// Selector list panes.
#include "app/mainwin/pselectlist.h"

#include <cstring>

#include "platform/plist.h"

PSelectListDrawer::PSelectListDrawer() : PListDrawer(nullptr) {}

PSelectListDrawer::~PSelectListDrawer() {
  if (listh != nullptr) LDispose(listh);
  listh = nullptr;
}

int PSelectListDrawer::Update() {
  SInt32 firstRow = 0;
  if (listh != nullptr) {
    ListBounds vis;
    GetListVisibleCells(listh, &vis);
    firstRow = vis.top;
    ListHandle old = listh;
    SetList(nullptr);  // wipes a visible pane
    LDispose(old);
  } else if (IsVisible()) {
    Wipe();
  }
  const int n = GetNItems();
  lsel.NewBitMap(static_cast<uint32_t>(n > 0 ? n : 0), false);
  const Rect view{extent.top, extent.left, extent.bottom, static_cast<short>(extent.right - 15)};
  if (n <= 0 || view.bottom <= view.top || view.right <= view.left || GetWindow() == nullptr)
    return 0;
  const ListBounds bounds{0, 0, n, 1};
  const Point cell{16, static_cast<short>(view.right - view.left)};
  ListHandle lh = LNew(&view, &bounds, cell, 0, GetWindow(), false, true, false, true);
  if (lh == nullptr) return 0;
  for (int row = n; row-- > 0;) {
    const char* s = GetItem(row);
    if (s != nullptr) LSetCell(s, static_cast<short>(strnlen(s, 32767)), Cell(row, 0), lh);
  }
  if (firstRow > 0) LScroll(0, firstRow, lh);
  if (singleServe) SetListSelectionFlags(lh, lOnlyOne);
  // The list's view keeps the pane's place; the pane's extent is the view and its scroll bar.
  const Rect keep = extent;
  SetList(lh);
  extent = keep;
  if (IsVisible()) {
    LActivate(true, lh);
    LSetDrawingMode(true, lh);
    PListDrawer::Redraw();
  }
  return 1;
}

void PSelectListDrawer::Redraw() {
  if (!IsVisible()) return;
  if (listh == nullptr && Update() == 1) return;
  PListDrawer::Redraw();
}

bool PSelectListDrawer::Click(Point pt, unsigned short mods, EventRef event) {
  if (!PListDrawer::Click(pt, mods, event)) return false;
  if (act != nullptr) act(this, dblClick);
  return true;
}

int PSelectListDrawer::Select(int i, bool on) {
  const int n = GetNItems();
  if (i < 0 || i >= n) return 0;
  if (lsel.Length() != static_cast<uint32_t>(n)) lsel.NewBitMap(static_cast<uint32_t>(n), false);
  if (lsel.Length() != static_cast<uint32_t>(n)) return 0;
  if (on)
    lsel.Set(static_cast<uint32_t>(i));
  else
    lsel.Reset(static_cast<uint32_t>(i));
  if (listh != nullptr) LSetSelect(on, Cell(i, 0), listh);
  return 1;
}

void PSelectListDrawer::SelectAll(bool on) {
  const int n = GetNItems();
  lsel.NewBitMap(static_cast<uint32_t>(n > 0 ? n : 0), on);
  if (listh == nullptr) return;
  for (int row = n; row-- > 0;) LSetSelect(on, Cell(row, 0), listh);
}

const ABitMap* PSelectListDrawer::GetSelection() {
  const int n = GetNItems();
  if (n <= 0) return nullptr;
  if (listh != nullptr) {
    lsel.NewBitMap(static_cast<uint32_t>(n), false);
    Cell c(0, 0);
    while (LGetSelect(true, &c, listh)) {
      if (c.v >= 0 && c.v < n) lsel.Set(static_cast<uint32_t>(c.v));
      ++c.v;
    }
  }
  return &lsel;
}

int PSelectListDrawer::Solo() const {
  int found = -1;
  for (uint32_t i = 0; lsel.Find(&i, true); ++i) {
    if (found >= 0) return -1;
    found = static_cast<int>(i);
  }
  return found;
}
