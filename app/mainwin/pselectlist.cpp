// Selector list panes.
#include "app/mainwin/pselectlist.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "app/core/pfolder.h"
#include "catalog/ptimeline.h"
#include "image/pireader.h"
#include "platform/pevent.h"
#include "platform/pmounts.h"
#include "support/futil.h"
#include "support/pstrings.h"
#include "platform/plist.h"
#include "support/bytetext.h"
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
  if (CommandRefused(gateCommand)) return IsVisible() && Inside(pt);
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

const char* PSetListDrawer::GetItem(int i) const {
  const char* s = sref ? (*sref)[i] : nullptr;
  if (s == nullptr || ShownAsIs(s, kShownName)) return s;
  item_buf = ShownName(s);
  return item_buf.c_str();
}

const char* PHierListDrawer::GetItem(int i) const {
  const PHFolder* f = GetFolder(i);
  if (f == nullptr) return nullptr;
  path_buf.assign(static_cast<size_t>(2 * f->GetDepth()), ' ');
  path_buf += f->isOpen ? 'v' : f->hasChild ? '>' : ' ';
  path_buf += ' ';
  if (f->emphasize) path_buf += '*';
  // A folder's name, or an event's subject, as names are shown: apart from every other one.
  const char* name = f->GetName();
  if (name != nullptr && ShownAsIs(name, kShownName))
    path_buf += name;
  else if (name != nullptr)
    path_buf += ShownName(name);
  return path_buf.c_str();
}

bool PHierListDrawer::Click(Point pt, unsigned short mods, EventRef event) {
  if (CommandRefused(gateCommand)) return IsVisible() && Inside(pt);
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
    const PTimeLink* later = nullptr;
    if (node->tres != PTFRevent) {
      node->hasChild = true;
      // The years run to the end of the chain: where each begins is found without the walk when
      // the timeline can tell.
      if (node->tres == PTFRyear && node->end == nullptr && node->start->NextYear(&later)) {
        next = later;
      } else {
        const int period = PTFGetPeriod(node->start->GetBeginDate(), node->tres);
        while (next != nullptr && next != node->end && next->GetBeginDate() != nullptr &&
               PTFGetPeriod(next->GetBeginDate(), node->tres) == period)
          next = next->NextEvent();
      }
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
  const uint64_t stamp = timeline ? timeline->Stamp() : 0;
  if (builtTop != nullptr && builtTop == mainFolder && builtFrom == timeline &&
      builtStamp == stamp) {
    // The years stand as built; what was opened below them goes, as a new build would have it.
    for (PHFolder* f = mainFolder; f != nullptr; f = f->sibling) {
      delete f->child;
      f->child = nullptr;
      f->isOpen = false;
    }
    return PHierListDrawer::Update();
  }
  const PTimeLink* first = timeline ? timeline->FirstEvent() : nullptr;
  PHFolder* top = first ? new PTimelineFolder(first, nullptr) : nullptr;
  builtFrom = timeline;
  builtStamp = stamp;
  builtTop = top;
  return SetFolder(top);
}

// ---- The folder tree

int PFileListDrawer::researching = 0;

namespace {

constexpr size_t kMostSubfolders = 1024;

// Raised while a scan of the tree runs.
struct Researching {
  Researching() { ++PFileListDrawer::researching; }
  ~Researching() { --PFileListDrawer::researching; }
};

std::string LastComponent(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  const size_t slash = path.rfind('/', end - 1);
  std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1, end - (slash + 1));
  return name.empty() ? path : name;
}

// Whether s begins with prefix followed by its end or '/'.
bool Begins(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0 &&
         (s.size() == prefix.size() || s[prefix.size()] == '/');
}

}  // namespace

PFileFolder::PFileFolder(const char* path, const FSRef* ref, const char* name, PFileFolder* sib)
    : PHFolder(sib), dref() {
  SetFolder(path, ref, name);
}

int PFileFolder::SetFolder(const char* path, const FSRef* ref, const char* name) {
  delete child;
  child = nullptr;
  hasChild = false;
  emphasize = false;
  isOpen = false;
  rname.clear();
  if (path == nullptr || *path == '\0') return 0;
  if (ref != nullptr)
    dref = *ref;
  else if (!getFspecFromPath(&dref, path))
    return 0;
  int r;
  {
    Researching scan;
    r = scanFolder(path, &dref, checkFile, checkFolder, this);
  }
  if (r < 0) return 0;
  dpath = path;
  rname = name != nullptr && *name != '\0' ? std::string(name) : LastComponent(dpath);
  return 1;
}

const char* PFileFolder::GetPath(FSRef* ref) const {
  if (!Valid()) return nullptr;
  if (ref != nullptr) *ref = dref;
  return dpath.c_str();
}

bool PFileFolder::checkFile(const PFileSpec* fs, void* p) {
  auto* node = static_cast<PFileFolder*>(p);
  if (fs == nullptr || node == nullptr || !DMASSERT(!fs->isFolder)) return true;
  if (node->emphasize) return !node->hasChild;
  // Opened once and looked at on its descriptor: a device or a pipe is let go at once.
  _ImgReader* ir = PopenImageF(fs->fpath, 1, nullptr);
  if (ir == nullptr) return true;
  node->emphasize = ir->errCode == IREnone;
  ir->ri->Close(ir);
  return !(node->emphasize && node->hasChild);
}

bool PFileFolder::checkFolder(const PFileSpec* fs, void* p) {
  auto* node = static_cast<PFileFolder*>(p);
  if (fs == nullptr || node == nullptr || !DMASSERT(fs->isFolder)) return true;
  node->hasChild = true;
  return !node->emphasize;
}

bool PFileFolder::addSubfolder(const PFileSpec* fs, void* p) {
  auto* list = static_cast<std::vector<PFileFolder*>*>(p);
  if (fs == nullptr || list == nullptr || !fs->isFolder) return true;
  auto* f = new PFileFolder(fs->fpath, &fs->fref, fs->fname, nullptr);
  if (f->Valid())
    list->push_back(f);
  else
    delete f;  // unreadable: left out, so the folders after it still show
  return list->size() < kMostSubfolders;
}

bool PFileFolder::folderCmp(const PFileFolder* a, const PFileFolder* b) {
  return strcmp_nc(a->GetName(), b->GetName()) < 0;
}

PHFolder* PFileFolder::GetChildren() {
  if (!Valid() || !hasChild) return nullptr;
  if (child != nullptr) return child;
  std::vector<PFileFolder*> list;
  {
    Researching scan;
    scanFolder(dpath.c_str(), &dref, nullptr, addSubfolder, &list);
  }
  if (list.empty()) return nullptr;
  std::sort(list.begin(), list.end(), folderCmp);
  for (size_t i = 0; i < list.size(); ++i) {
    list[i]->parent = this;
    list[i]->sibling = i + 1 < list.size() ? list[i + 1] : nullptr;
  }
  child = list.front();
  return child;
}

PFileListDrawer::PFileListDrawer() {
  singleServe = true;
  Update();
}

int PFileListDrawer::Update() {
  if (researching > 0 || extent.bottom <= extent.top || extent.right <= extent.left) return 0;
  std::vector<PFileFolder*> roots;
  auto add = [&roots](const char* path, const char* name) {
    auto* f = new PFileFolder(path, nullptr, name, nullptr);
    if (f->Valid())
      roots.push_back(f);
    else
      delete f;
  };
  const char* home = getenv("HOME");
  if (home != nullptr && *home != '\0') add(home, nullptr);
  add("/", "/");
  const size_t firstVolume = roots.size();
  for (const std::string& v : MountedVolumes()) add(v.c_str(), nullptr);
  std::sort(roots.begin() + static_cast<long>(firstVolume), roots.end(), PFileFolder::folderCmp);
  for (size_t i = 0; i + 1 < roots.size(); ++i) roots[i]->sibling = roots[i + 1];
  return SetFolder(roots.empty() ? nullptr : roots.front());
}

int PFileListDrawer::SelectFolder(const char* path, bool open) {
  if (mainFolder == nullptr || path == nullptr || !isdirectory(path)) return 0;
  const std::string p = path;
  // The top-level folder whose path begins the longest part of path.
  PFileFolder* node = nullptr;
  size_t used = 0;
  for (PHFolder* f = mainFolder; f != nullptr; f = f->sibling) {
    auto* ff = static_cast<PFileFolder*>(f);
    const char* fp = ff->GetPath(nullptr);
    if (fp == nullptr) continue;
    std::string top = fp;
    while (top.size() > 1 && top.back() == '/') top.pop_back();
    const size_t len = top == "/" ? 0 : top.size();
    if ((top == "/" || Begins(p, top)) && (node == nullptr || len > used)) {
      node = ff;
      used = len;
    }
  }
  if (node == nullptr) return 0;
  std::string rest = p.substr(used);
  while (rest.size() > 1 && rest[0] == '/') {
    rest.erase(0, 1);
    if (rest.empty() || rest[0] == '/') continue;
    if (node->Open(true) != 1) return 0;
    PFileFolder* below = nullptr;
    for (PHFolder* c = node->child; c != nullptr && below == nullptr; c = c->sibling) {
      auto* cf = static_cast<PFileFolder*>(c);
      if (cf->Valid() && Begins(rest, cf->GetName())) below = cf;
    }
    if (below == nullptr) break;
    rest.erase(0, strlen(below->GetName()));
    node = below;
  }
  if (open) node->Open(true);
  if (PHierListDrawer::Update() != 1) return 0;
  int row = -1;
  for (int i = 0; i < GetNItems(); ++i)
    if (GetFolder(i) == node) row = i;
  if (row < 0) return 0;
  ListBounds vis;
  GetListVisibleCells(listh, &vis);
  if (row >= vis.bottom)
    LScroll(0, row - vis.bottom + 1, listh);
  else if (row < vis.top)
    LScroll(0, row - vis.top, listh);
  return Select(row, true);
}
