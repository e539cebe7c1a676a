// Lists: text cells drawn into a window's port, selected cells, scrolling with scroll bars and
// double clicks.
#include "platform/plist.h"

#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <string>

#include "platform/pcontrol.h"
#include "platform/pmouse.h"
#include "platform/ppriv.h"
#include "platform/pwindow.h"

using namespace plat;

namespace {

constexpr int kBar = 15;  // scroll bar thickness

struct ListRec {
  uintptr_t id = 0, window = 0;
  Rect view{0, 0, 0, 0};
  SInt32 rows = 0, cols = 0;
  Point cell{16, 16};  // cell size
  std::vector<std::string> texts;
  std::vector<uint8_t> sel;  // one per cell, row after row
  SInt32 topRow = 0, leftCol = 0;
  UInt32 flags = 0;
  bool drawing = true, active = true;
  Cell last{-1, -1};
  double lastClick = -1;
  Point lastClickPt{0, 0};
  uintptr_t vbar = 0, hbar = 0;
  size_t At(SInt32 r, SInt32 c) const { return size_t(r) * size_t(cols) + size_t(c); }
  bool Valid(Cell c) const { return c.v >= 0 && c.h >= 0 && c.v < rows && c.h < cols; }
};
Table<ListRec>& Lists() {
  static auto* t = new Table<ListRec>;
  return *t;
}

ListRec* Find(ListHandle lh) {
  ListRec* l = Lists().Find(lh);
  return l != nullptr && Windows().Find(l->window) != nullptr ? l : nullptr;
}

int ViewHeight(const ListRec* l) {
  return std::max(0, l->view.bottom - l->view.top);
}
int ViewWidth(const ListRec* l) {
  return std::max(0, l->view.right - l->view.left);
}
// Rows and columns wholly in view (at least one), and those in view at all.
SInt32 FullRows(const ListRec* l) {
  return std::max(1, ViewHeight(l) / l->cell.v);
}
SInt32 FullCols(const ListRec* l) {
  return std::max(1, ViewWidth(l) / l->cell.h);
}
SInt32 SeenRows(const ListRec* l) {
  return (ViewHeight(l) + l->cell.v - 1) / l->cell.v;
}
SInt32 SeenCols(const ListRec* l) {
  return (ViewWidth(l) + l->cell.h - 1) / l->cell.h;
}

QScrollBar* Bar(uintptr_t control) {
  ControlRec* c = Controls().Find(control);
  return c ? qobject_cast<QScrollBar*>(c->widget) : nullptr;
}

QRect VBarRect(const ListRec* l) {
  return QRect(l->view.right, l->view.top, kBar, ViewHeight(l));
}
QRect HBarRect(const ListRec* l) {
  return QRect(l->view.left, l->view.bottom, ViewWidth(l), kBar);
}

// Keeps the scroll bars at the view's side and showing the scroll position.
void UpdateBars(ListRec* l) {
  auto set = [](uintptr_t id, QRect r, SInt32 max, SInt32 page, SInt32 value) {
    QScrollBar* b = Bar(id);
    if (b == nullptr) return;
    ControlRec* c = Controls().Find(id);
    c->settingValue = true;
    b->setGeometry(r);
    b->setRange(0, std::max(0, max));
    b->setPageStep(std::max(1, page));
    b->setValue(value);
    b->setEnabled(max > 0);
    c->settingValue = false;
  };
  set(l->vbar, VBarRect(l), l->rows - FullRows(l), FullRows(l), l->topRow);
  set(l->hbar, HBarRect(l), l->cols - FullCols(l), FullCols(l), l->leftCol);
}

void Draw(ListRec* l, const Rect* clip) {
  UpdateBars(l);
  WindowRec* w = Windows().Find(l->window);
  if (w == nullptr || w->image.isNull() || !l->drawing) return;
  QRect view = ToQRect(l->view);
  QRect area = view;
  if (clip) area &= ToQRect(*clip);
  if (area.isEmpty()) return;
  UnrollPort(w);
  QPainter p(&w->image);
  p.setClipRect(area);
  p.fillRect(view, Qt::white);
  p.setFont(w->content->font());
  const int ch = l->cell.v, cw = l->cell.h;
  const SInt32 rowEnd = std::min(l->rows, l->topRow + SeenRows(l));
  const SInt32 colEnd = std::min(l->cols, l->leftCol + SeenCols(l));
  for (SInt32 r = l->topRow; r < rowEnd; ++r)
    for (SInt32 c = l->leftCol; c < colEnd; ++c) {
      QRect cell(view.left() + (c - l->leftCol) * cw, view.top() + (r - l->topRow) * ch, cw, ch);
      if (!cell.intersects(area)) continue;
      const bool sel = l->sel[l->At(r, c)] != 0;
      if (sel) p.fillRect(cell, l->active ? QColor(0x30, 0x60, 0xc0) : QColor(0xc0, 0xc0, 0xc0));
      const std::string& t = l->texts[l->At(r, c)];
      if (t.empty()) continue;
      p.setPen(sel && l->active ? Qt::white : Qt::black);
      p.drawText(cell.adjusted(2, 0, -2, 0), Qt::AlignVCenter | Qt::AlignLeft,
                 QString::fromUtf8(t.data(), static_cast<qsizetype>(t.size())));
    }
  p.end();
  w->content->update(area);
}

void ScrollTo(ListRec* l, SInt32 top, SInt32 left) {
  top = std::clamp<SInt32>(top, 0, std::max(0, l->rows - FullRows(l)));
  left = std::clamp<SInt32>(left, 0, std::max(0, l->cols - FullCols(l)));
  if (top == l->topRow && left == l->leftCol) {
    UpdateBars(l);
    return;
  }
  l->topRow = top;
  l->leftCol = left;
  Draw(l, nullptr);
}

void ClearSelection(ListRec* l) {
  std::fill(l->sel.begin(), l->sel.end(), uint8_t(0));
}

// Shift-click: every cell of the smallest rectangle holding the cell clicked and the cells
// already selected.
void Extend(ListRec* l, Cell c) {
  SInt32 top = c.v, bottom = c.v, left = c.h, right = c.h;
  auto first = std::find(l->sel.begin(), l->sel.end(), uint8_t(1));
  if (first != l->sel.end()) {
    const size_t a = size_t(first - l->sel.begin());
    const size_t z =
        size_t(l->sel.rend() - std::find(l->sel.rbegin(), l->sel.rend(), uint8_t(1))) - 1;
    top = std::min<SInt32>(top, SInt32(a / size_t(l->cols)));
    bottom = std::max<SInt32>(bottom, SInt32(z / size_t(l->cols)));
    if (l->cols > 1) {
      for (size_t i = a; i <= z; ++i)
        if (l->sel[i]) {
          left = std::min<SInt32>(left, SInt32(i % size_t(l->cols)));
          right = std::max<SInt32>(right, SInt32(i % size_t(l->cols)));
        }
    } else {
      left = right = 0;
    }
  }
  for (SInt32 r = top; r <= bottom; ++r)
    for (SInt32 k = left; k <= right; ++k) l->sel[l->At(r, k)] = 1;
}

}  // namespace

namespace plat {

void DisposeListsOf(WindowRec* w) {
  for (uintptr_t id : std::vector<uintptr_t>(w->lists)) LDispose(ToHandle<ListHandle>(id));
  w->lists.clear();
}

// A list's scroll bar moved: the list follows.
void ListBarMoved(uintptr_t list) {
  ListRec* l = Lists().Find(list);
  if (l == nullptr) return;
  QScrollBar* v = Bar(l->vbar);
  QScrollBar* h = Bar(l->hbar);
  ScrollTo(l, v ? v->value() : l->topRow, h ? h->value() : l->leftCol);
}

}  // namespace plat

ListHandle LNew(const Rect* rView, const ListBounds* dataBounds, Point cSize, SInt16 theProc,
                WindowRef win, bool drawIt, bool hasGrow, bool scrollHoriz, bool scrollVert) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || rView == nullptr || dataBounds == nullptr || theProc != 0 ||
      dataBounds->top != 0 || dataBounds->left != 0)
    return nullptr;
  const SInt32 rows = dataBounds->bottom, cols = dataBounds->right;
  if (rows < 0 || cols < 0 || rows > 10000000 || cols > 1000 ||
      size_t(rows) * size_t(cols) > 10000000)
    return nullptr;
  ListRec* l = new ListRec;
  l->window = w->id;
  l->view = *rView;
  l->rows = rows;
  l->cols = cols;
  l->cell = cSize;
  if (l->cell.v <= 0) l->cell.v = 16;
  if (l->cell.h <= 0) l->cell.h = static_cast<short>(std::max(1, ViewWidth(l) / std::max(1, cols)));
  l->texts.resize(size_t(rows) * size_t(cols));
  l->sel.resize(size_t(rows) * size_t(cols));
  l->drawing = drawIt;
  l->id = Lists().Add(l);
  w->lists.push_back(l->id);
  (void)hasGrow;  // the bars keep to the view's sides, so the corner stays free anyway
  auto makeBar = [&](Qt::Orientation o) {
    auto* b = new QScrollBar(o, w->content);
    b->setTracking(true);
    ControlRec* c = AddControl(w, b, ControlID{0, 0});
    c->madeInCode = true;
    c->list = l->id;
    b->show();
    return c->id;
  };
  if (scrollVert) l->vbar = makeBar(Qt::Vertical);
  if (scrollHoriz) l->hbar = makeBar(Qt::Horizontal);
  UpdateBars(l);
  return ToHandle<ListHandle>(l->id);
}

ListHandle LNew(const Rect* view, int rows, int cols, Point cellSize, WindowRef w) {
  ListBounds b{0, 0, rows, cols};
  return LNew(view, &b, cellSize, 0, w, true, false, false, false);
}

void LDispose(ListHandle lh) {
  ListRec* l = Lists().Find(lh);
  if (l == nullptr) return;
  if (WindowRec* w = Windows().Find(l->window)) {
    auto& v = w->lists;
    v.erase(std::remove(v.begin(), v.end(), FromHandle(lh)), v.end());
  }
  ForgetControl(l->vbar);
  ForgetControl(l->hbar);
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
  ListRec* l = Find(lh);
  if (l == nullptr || view == nullptr) return;
  l->view = *view;
  ScrollTo(l, l->topRow, l->leftCol);  // a larger view may show the end of the list
  UpdateBars(l);
}

void LSize(short width, short height, ListHandle lh) {
  ListRec* l = Find(lh);
  if (l == nullptr) return;
  Rect v = l->view;
  v.right = static_cast<short>(v.left + std::max<short>(0, width));
  v.bottom = static_cast<short>(v.top + std::max<short>(0, height));
  SetListViewBounds(lh, &v);
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

bool LClick(Point pt, UInt32 modifiers, ListHandle lh) {
  ListRec* l = Find(lh);
  if (l == nullptr) return false;
  const QPoint p(pt.h, pt.v);
  if ((l->vbar && VBarRect(l).contains(p)) || (l->hbar && HBarRect(l).contains(p))) {
    if (g_nativeClick.active && !g_nativeClick.delivered) g_nativeClick.deliver = true;
    return false;
  }
  if (!ToQRect(l->view).contains(p)) return false;
  const Cell c(l->topRow + (pt.v - l->view.top) / l->cell.v,
               l->leftCol + (pt.h - l->view.left) / l->cell.h);
  const bool shift = (modifiers & shiftKey) && !(l->flags & (lOnlyOne | lNoExtend));
  const bool toggle = (modifiers & cmdKey) && !(l->flags & (lOnlyOne | lNoDisjoint));
  if (!l->Valid(c)) {
    // Below or beside the cells: a plain click selects nothing.
    if (!shift && !toggle) ClearSelection(l);
    l->last = Cell(-1, -1);
    l->lastClick = -1;
    Draw(l, nullptr);
    return false;
  }
  const double now = GetCurrentEventTime();
  const bool dbl = c == l->last && IsDoubleClick(l->lastClick, l->lastClickPt, now, pt);
  if (shift) {
    Extend(l, c);
  } else if (toggle) {
    l->sel[l->At(c.v, c.h)] ^= 1;
  } else {
    ClearSelection(l);
    l->sel[l->At(c.v, c.h)] = 1;
  }
  l->last = c;
  l->lastClick = dbl ? -1 : now;  // a third click starts a new pair
  l->lastClickPt = pt;
  Draw(l, nullptr);
  return dbl;
}

Cell LLastClick(ListHandle lh) {
  ListRec* l = Find(lh);
  return l ? l->last : Cell(-1, -1);
}

UInt32 GetListSelectionFlags(ListHandle lh) {
  ListRec* l = Find(lh);
  return l ? l->flags : 0;
}

void SetListSelectionFlags(ListHandle lh, UInt32 flags) {
  if (ListRec* l = Find(lh)) l->flags = flags;
}

bool LGetSelect(bool next, Cell* cell, ListHandle lh) {
  ListRec* l = Find(lh);
  if (l == nullptr || cell == nullptr) return false;
  if (!next) return l->Valid(*cell) && l->sel[l->At(cell->v, cell->h)] != 0;
  Cell from(std::max<SInt32>(0, cell->v), std::max<SInt32>(0, cell->h));
  if (cell->v < 0) from.h = 0;
  if (from.h >= l->cols) {
    from.h = 0;
    ++from.v;
  }
  if (from.v >= l->rows) return false;
  auto it = std::find(l->sel.begin() + static_cast<std::ptrdiff_t>(l->At(from.v, from.h)),
                      l->sel.end(), uint8_t(1));
  if (it == l->sel.end()) return false;
  const size_t i = size_t(it - l->sel.begin());
  *cell = Cell(SInt32(i / size_t(l->cols)), SInt32(i % size_t(l->cols)));
  return true;
}

void LSetSelect(bool setIt, Cell cell, ListHandle lh) {
  ListRec* l = Find(lh);
  if (l == nullptr || !l->Valid(cell)) return;
  if ((l->sel[l->At(cell.v, cell.h)] != 0) == setIt) return;
  if (setIt && (l->flags & lOnlyOne)) ClearSelection(l);
  l->sel[l->At(cell.v, cell.h)] = setIt ? 1 : 0;
  const Rect r{static_cast<short>(std::clamp<SInt32>(l->view.top + (cell.v - l->topRow) * l->cell.v,
                                                     -32768, 32767)),
               l->view.left,
               static_cast<short>(std::clamp<SInt32>(
                   l->view.top + (cell.v - l->topRow + 1) * l->cell.v, -32768, 32767)),
               l->view.right};
  if (l->flags & lOnlyOne)
    Draw(l, nullptr);
  else
    Draw(l, &r);
}

void LScroll(SInt32 dCols, SInt32 dRows, ListHandle lh) {
  ListRec* l = Find(lh);
  if (l == nullptr) return;
  const long long top = (long long)l->topRow + dRows, left = (long long)l->leftCol + dCols;
  ScrollTo(l, SInt32(std::clamp<long long>(top, 0, l->rows)),
           SInt32(std::clamp<long long>(left, 0, l->cols)));
}

void LAutoScroll(ListHandle lh) {
  ListRec* l = Find(lh);
  Cell c(0, 0);
  if (l == nullptr || !LGetSelect(true, &c, lh)) return;
  SInt32 top = l->topRow, left = l->leftCol;
  if (c.v < top || c.v >= top + FullRows(l)) top = c.v;
  if (c.h < left || c.h >= left + FullCols(l)) left = c.h;
  ScrollTo(l, top, left);
}

Cell LGetScroll(ListHandle lh) {
  ListRec* l = Find(lh);
  return l ? Cell(l->topRow, l->leftCol) : Cell(0, 0);
}

ListBounds* GetListVisibleCells(ListHandle lh, ListBounds* visible) {
  if (visible == nullptr) return nullptr;
  *visible = ListBounds{0, 0, 0, 0};
  if (ListRec* l = Find(lh))
    *visible = ListBounds{l->topRow, l->leftCol, std::min(l->rows, l->topRow + SeenRows(l)),
                          std::min(l->cols, l->leftCol + SeenCols(l))};
  return visible;
}

ListBounds* GetListDataBounds(ListHandle lh, ListBounds* bounds) {
  if (bounds == nullptr) return nullptr;
  ListRec* l = Find(lh);
  *bounds = l ? ListBounds{0, 0, l->rows, l->cols} : ListBounds{0, 0, 0, 0};
  return bounds;
}

Point* GetListCellSize(ListHandle lh, Point* size) {
  if (size == nullptr) return nullptr;
  ListRec* l = Find(lh);
  *size = l ? l->cell : Point{0, 0};
  return size;
}

ControlRef GetListVerticalScrollBar(ListHandle lh) {
  ListRec* l = Find(lh);
  return l && l->vbar ? ToHandle<ControlRef>(l->vbar) : nullptr;
}

ControlRef GetListHorizontalScrollBar(ListHandle lh) {
  ListRec* l = Find(lh);
  return l && l->hbar ? ToHandle<ControlRef>(l->hbar) : nullptr;
}

void LSetCell(const void* data, short len, Cell cell, ListHandle lh) {
  ListRec* l = Find(lh);
  if (l == nullptr || !l->Valid(cell)) return;
  const char* s = static_cast<const char*>(data);
  l->texts[l->At(cell.v, cell.h)] = (s && len > 0) ? std::string(s, size_t(len)) : std::string();
}

bool LGetCell(void* data, short* len, Cell cell, ListHandle lh) {
  ListRec* l = Find(lh);
  if (l == nullptr || len == nullptr || !l->Valid(cell)) return false;
  const std::string& s = l->texts[l->At(cell.v, cell.h)];
  short n = static_cast<short>(std::min<size_t>(s.size(), size_t(std::max<short>(0, *len))));
  if (data) std::copy(s.begin(), s.begin() + n, static_cast<char*>(data));
  *len = n;
  return true;
}
