// Selector list panes.
#include "app/mainwin/pselectlist.h"

#include <cstring>

#include "catalog/ptimeline.h"
#include "platform/plist.h"
#include "support/dmessage.h"

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

// ---- Trees

PHFolder::PHFolder(PHFolder* sib) : sibling(sib) {
  if (sib != nullptr) {
    parent = sib->parent;
    if (parent != nullptr && parent->child == sib) parent->child = this;
  }
}

PHFolder::~PHFolder() {
  delete child;
  // The siblings one after another: a long level must not recurse as deep as it is long.
  PHFolder* s = sibling;
  sibling = nullptr;
  while (s != nullptr) {
    PHFolder* n = s->sibling;
    s->sibling = nullptr;
    delete s;
    s = n;
  }
}

int PHFolder::GetDepth() const {
  int d = 0;
  for (const PHFolder* p = parent; p != nullptr; p = p->parent) ++d;
  return d;
}

int PHFolder::Open(bool open) {
  if (open && hasChild && GetChildren() != nullptr) {
    isOpen = true;
    return 1;
  }
  isOpen = false;
  return 0;
}

PHFolder* PHFolder::NextFolder() {
  if (isOpen && hasChild)
    if (PHFolder* c = GetChildren()) return c;
  for (PHFolder* p = this; p != nullptr; p = p->parent)
    if (p->sibling != nullptr) return p->sibling;
  return nullptr;
}

PHFolder* PHFolder::GetFolder(int i) {
  if (i < 0) return nullptr;
  PHFolder* f = this;
  while (f != nullptr && i-- > 0) f = f->NextFolder();
  return f;
}

int PHFolder::GetListLength() const {
  int n = 0;
  for (const PHFolder* f = this; f != nullptr && f->Valid(); f = f->sibling) {
    ++n;
    if (f->isOpen && f->hasChild && f->child != nullptr) n += f->child->GetListLength();
  }
  return n;
}

PHFolder* PHFolder::ReleaseChildren() {
  if (!hasChild) return nullptr;
  PHFolder* first = child;
  for (PHFolder* c = child; c != nullptr; c = c->sibling) c->parent = nullptr;
  child = nullptr;
  return first;
}

PHFolder* PHFolder::LeaveFamily() {
  if (parent == nullptr) return nullptr;
  PHFolder** link = &parent->child;
  while (*link != nullptr && *link != this) link = &(*link)->sibling;
  if (*link == nullptr) return nullptr;
  *link = sibling;
  PHFolder* first = parent->child;
  parent = nullptr;
  sibling = nullptr;
  return first;
}

int PHierListDrawer::SetFolder(PHFolder* top) {
  if (top != mainFolder) delete mainFolder;
  mainFolder = top;
  return PHierListDrawer::Update();
}

int PHierListDrawer::Update() {
  rows.clear();
  const int n = mainFolder ? mainFolder->GetListLength() : 0;
  rows.reserve(static_cast<size_t>(n));
  for (PHFolder* f = mainFolder; f != nullptr && static_cast<int>(rows.size()) < n;
       f = f->NextFolder())
    rows.push_back(f);
  return PSelectListDrawer::Update();
}

const char* PHierListDrawer::GetItem(int i) const {
  const PHFolder* f = GetFolder(i);
  if (f == nullptr) return nullptr;
  path_buf.assign(static_cast<size_t>(2 * f->GetDepth()), ' ');
  path_buf += f->isOpen ? 'v' : f->hasChild ? '>' : ' ';
  path_buf += ' ';
  if (f->emphasize) path_buf += '*';
  const char* name = f->GetName();
  path_buf += name ? name : "";
  return path_buf.c_str();
}

bool PHierListDrawer::Click(Point pt, unsigned short mods, EventRef event) {
  if (listh == nullptr || !PListDrawer::Click(pt, mods, event)) return false;
  if (!dblClick) {
    PHFolder* f = GetFolder(LLastClick(listh).v);
    if (f != nullptr && f->hasChild) {
      const int left = extent.left + 10 * f->GetDepth() - 10;
      if (pt.h >= left && pt.h < left + 30) {
        f->Open(!f->isOpen);
        PHierListDrawer::Update();
        return true;
      }
    }
  }
  if (act != nullptr) act(this, dblClick);
  return true;
}

// ---- The timeline

namespace {

const char* const kMonths[12] = {"January",   "February", "March",    "April",
                                 "May",       "June",     "July",     "August",
                                 "September", "October",  "November", "December"};

// The decimal number of up to n digits at s (0 when none).
int Number(const char* s, int n) {
  int v = 0;
  for (int i = 0; i < n && s[i] >= '0' && s[i] <= '9'; ++i) v = v * 10 + (s[i] - '0');
  return v;
}

}  // namespace

int PTFGetPeriod(const char* date, PTFResolution res) {
  if (date == nullptr || strnlen(date, 19) < 19) return 0;
  switch (res) {
    case PTFRyear:
      return Number(date, 4);
    case PTFRmonth:
      return Number(date + 5, 2);
    default:
      return 0;
  }
}

PTimelineFolder::PTimelineFolder(const PTimeLink* st, PTimelineFolder* par)
    : PTimelineFolder(st, par, true) {}

PTimelineFolder::PTimelineFolder(const PTimeLink* st, PTimelineFolder* par, bool first)
    : PHFolder(nullptr), start(st) {
  hasChild = false;
  if (par != nullptr) {
    if (par->tres >= PTFRevent) {
      DMESSAGE(DMCassert, "assertion failed ! (%s)", "par->tres < PTFRevent");
      start = nullptr;
      return;
    }
    tres = static_cast<PTFResolution>(par->tres + 1);
    if (start == nullptr) start = par->start;
    parent = par;
    end = par->GetFinish();
    if (par->child == nullptr) par->child = this;
  }
  if (!first) return;
  // The first node of a level makes the rest of the level, one node after another.
  PTimelineFolder* node = this;
  while (node->Valid()) {
    const PTimeLink* next = node->start->NextEvent();
    if (node->tres != PTFRevent) {
      node->hasChild = true;
      const int period = PTFGetPeriod(node->start->GetBeginDate(), node->tres);
      while (next != nullptr && next != node->end && next->GetBeginDate() != nullptr &&
             PTFGetPeriod(next->GetBeginDate(), node->tres) == period)
        next = next->NextEvent();
    }
    if (next == nullptr || next == node->end || next->GetBeginDate() == nullptr) break;
    PTimelineFolder* sib = new PTimelineFolder(next, par, false);
    sib->tres = node->tres;
    sib->end = node->end;
    node->sibling = sib;
    node = sib;
  }
}

bool PTimelineFolder::Valid() const {
  return start != nullptr && start->GetSubject() != nullptr;
}

const PTimeLink* PTimelineFolder::GetFinish() const {
  const auto* next = static_cast<const PTimelineFolder*>(sibling);
  return next != nullptr ? next->start : end;
}

PHFolder* PTimelineFolder::GetChildren() {
  if (!Valid() || !hasChild) return nullptr;
  if (child == nullptr) new PTimelineFolder(start, this);
  return child;
}

const char* PTimelineFolder::GetName() const {
  if (!Valid()) return nullptr;
  const char* date = start->GetBeginDate();
  switch (tres) {
    case PTFRyear:
      period_buf.assign(date ? date : "", date ? strnlen(date, 4) : 0);
      return period_buf.c_str();
    case PTFRmonth: {
      const int m = PTFGetPeriod(date, PTFRmonth);
      if (m >= 1 && m <= 12) return kMonths[m - 1];
      period_buf = std::to_string(m);  // a month the calendar lacks shows as its number
      return period_buf.c_str();
    }
    default:
      return start->GetSubject();
  }
}

int PTimelineListDrawer::Update() {
  const PTimeLink* first = timeline ? timeline->FirstEvent() : nullptr;
  return SetFolder(first ? new PTimelineFolder(first, nullptr) : nullptr);
}
