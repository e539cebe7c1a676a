// Lists: text cells drawn into a window's port, one selected cell, scrolling and double clicks.
#include "platform/plist.h"

#include <QPainter>
#include <algorithm>
#include <string>

#include "platform/ppriv.h"
#include "platform/pwindow.h"

using namespace plat;

namespace {

constexpr double kDoubleClickTime = 0.4;

struct ListRec {
  uintptr_t window;
  Rect view;
  int rows, cols;
  Point cell;  // cell size
  std::vector<std::string> texts;
  int selRow = -1, selCol = -1;
  int topRow = 0, leftCol = 0;
  bool drawing = true, active = true;
  int lastRow = -1, lastCol = -1;
  double lastClick = -1;
};
Table<ListRec>& Lists() {
  static auto* t = new Table<ListRec>;
  return *t;
}

ListRec* Find(ListHandle lh) {
  ListRec* l = Lists().Find(lh);
  return l != nullptr && Windows().Find(l->window) != nullptr ? l : nullptr;
}

int VisibleRows(const ListRec* l) {
  return l->cell.v > 0 ? std::max(1, (l->view.bottom - l->view.top) / l->cell.v) : 1;
}
int VisibleCols(const ListRec* l) {
  return l->cell.h > 0 ? std::max(1, (l->view.right - l->view.left) / l->cell.h) : 1;
}

void Draw(ListRec* l, const Rect* clip) {
  WindowRec* w = Windows().Find(l->window);
  if (w == nullptr || w->image.isNull() || !l->drawing) return;
  QRect view(l->view.left, l->view.top, l->view.right - l->view.left, l->view.bottom - l->view.top);
  QRect area = view;
  if (clip)
    area &= QRect(clip->left, clip->top, clip->right - clip->left, clip->bottom - clip->top);
  if (area.isEmpty()) return;
  QPainter p(&w->image);
  p.setClipRect(area);
  p.fillRect(view, Qt::white);
  p.setFont(w->content->font());
  const int ch = std::max<int>(1, l->cell.v), cw = std::max<int>(1, l->cell.h);
  for (int r = l->topRow; r < l->rows && (r - l->topRow) * ch < view.height(); ++r)
    for (int c = l->leftCol; c < l->cols && (c - l->leftCol) * cw < view.width(); ++c) {
      QRect cell(view.left() + (c - l->leftCol) * cw, view.top() + (r - l->topRow) * ch, cw, ch);
      bool sel = r == l->selRow && c == l->selCol;
      if (sel) p.fillRect(cell, l->active ? QColor(0x30, 0x60, 0xc0) : QColor(0xc0, 0xc0, 0xc0));
      p.setPen(sel && l->active ? Qt::white : Qt::black);
      p.drawText(cell.adjusted(2, 0, -2, 0), Qt::AlignVCenter | Qt::AlignLeft,
                 QString::fromUtf8(l->texts[size_t(r) * size_t(l->cols) + size_t(c)].c_str()));
    }
  p.end();
  w->content->update(area);
}

}  // namespace

namespace plat {
void DisposeListsOf(WindowRec* w) {
  for (uintptr_t id : w->lists) LDispose(ToHandle<ListHandle>(id));
  w->lists.clear();
}
}  // namespace plat

ListHandle LNew(const Rect* view, int rows, int cols, Point cellSize, WindowRef win) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || view == nullptr || rows < 0 || cols < 0 || rows > 1000000 || cols > 1000 ||
      size_t(rows) * size_t(cols) > 10000000)
    return nullptr;
  ListRec* l = new ListRec;
  l->window = w->id;
  l->view = *view;
  l->rows = rows;
  l->cols = cols;
  l->cell = cellSize;
  l->texts.resize(size_t(rows) * size_t(cols));
  uintptr_t id = Lists().Add(l);
  w->lists.push_back(id);
  return ToHandle<ListHandle>(id);
}

void LDispose(ListHandle lh) {
  ListRec* l = Lists().Find(lh);
  if (l == nullptr) return;
  if (WindowRec* w = Windows().Find(l->window)) {
    auto& v = w->lists;
    v.erase(std::remove(v.begin(), v.end(), FromHandle(lh)), v.end());
  }
  Lists().Remove(FromHandle(lh));
  delete l;
}

bool IsValidList(ListHandle lh) {
  return Find(lh) != nullptr;
}

Rect* GetListViewBounds(ListHandle lh, Rect* view) {
  if (view == nullptr) return nullptr;
  ListRec* l = Find(lh);
  *view = l ? l->view : Rect{0, 0, 0, 0};
  return view;
}

void SetListViewBounds(ListHandle lh, const Rect* view) {
  if (ListRec* l = Find(lh); l && view) l->view = *view;
}

void LSize(short width, short height, ListHandle lh) {
  if (ListRec* l = Find(lh)) {
    l->view.right = static_cast<short>(l->view.left + std::max<short>(0, width));
    l->view.bottom = static_cast<short>(l->view.top + std::max<short>(0, height));
  }
}

void LSetDrawingMode(bool drawIt, ListHandle lh) {
  if (ListRec* l = Find(lh)) l->drawing = drawIt;
}

void LActivate(bool active, ListHandle lh) {
  if (ListRec* l = Find(lh)) l->active = active;
}

bool LGetActive(ListHandle lh) {
  ListRec* l = Find(lh);
  return l != nullptr && l->active;
}

void LUpdate(const Rect* clip, ListHandle lh) {
  if (ListRec* l = Find(lh)) Draw(l, clip);
}

bool LClick(Point pt, UInt32, ListHandle lh) {
  ListRec* l = Find(lh);
  if (l == nullptr || l->cell.v <= 0 || l->cell.h <= 0) return false;
  if (pt.h < l->view.left || pt.h >= l->view.right || pt.v < l->view.top || pt.v >= l->view.bottom)
    return false;
  int r = l->topRow + (pt.v - l->view.top) / l->cell.v;
  int c = l->leftCol + (pt.h - l->view.left) / l->cell.h;
  if (r >= l->rows || c >= l->cols) return false;
  double now = GetCurrentEventTime();
  bool dbl = r == l->lastRow && c == l->lastCol && l->lastClick >= 0 &&
             now - l->lastClick <= kDoubleClickTime;
  l->selRow = r;
  l->selCol = c;
  l->lastRow = r;
  l->lastCol = c;
  l->lastClick = dbl ? -1 : now;  // a third click starts a new pair
  Draw(l, nullptr);
  return dbl;
}

void LScroll(short dCols, short dRows, ListHandle lh) {
  ListRec* l = Find(lh);
  if (l == nullptr) return;
  l->topRow = std::clamp(l->topRow + dRows, 0, std::max(0, l->rows - VisibleRows(l)));
  l->leftCol = std::clamp(l->leftCol + dCols, 0, std::max(0, l->cols - VisibleCols(l)));
  Draw(l, nullptr);
}

void LSetCell(const void* data, short len, Point cell, ListHandle lh) {
  ListRec* l = Find(lh);
  if (l == nullptr || cell.v < 0 || cell.h < 0 || cell.v >= l->rows || cell.h >= l->cols) return;
  const char* s = static_cast<const char*>(data);
  l->texts[size_t(cell.v) * size_t(l->cols) + size_t(cell.h)] =
      (s && len > 0) ? std::string(s, size_t(len)) : std::string();
}

bool LGetCell(void* data, short* len, Point cell, ListHandle lh) {
  ListRec* l = Find(lh);
  if (l == nullptr || len == nullptr || cell.v < 0 || cell.h < 0 || cell.v >= l->rows ||
      cell.h >= l->cols)
    return false;
  const std::string& s = l->texts[size_t(cell.v) * size_t(l->cols) + size_t(cell.h)];
  short n = static_cast<short>(std::min<size_t>(s.size(), size_t(std::max<short>(0, *len))));
  if (data) std::copy(s.begin(), s.begin() + n, static_cast<char*>(data));
  *len = n;
  return true;
}

bool LGetSelect(Point* cell, ListHandle lh) {
  ListRec* l = Find(lh);
  if (l == nullptr || l->selRow < 0) return false;
  if (cell) *cell = Point{short(l->selRow), short(l->selCol)};
  return true;
}

Point LGetScroll(ListHandle lh) {
  ListRec* l = Find(lh);
  return l ? Point{short(l->topRow), short(l->leftCol)} : Point{0, 0};
}
