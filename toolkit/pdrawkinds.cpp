// The drawer kinds: empty pane, window root, control, stepper, tab control, list, split pane
// and chest.
#include <algorithm>
#include <cstring>

#include "toolkit/pdrawkinds.h"
#include "support/dmessage.h"

// Takes d as a child unless it is already chained to a sibling: such a drawer has an owner,
// and taking it too would delete it twice. The condition is reported as an assertion.
#define PDRAWER_ADOPT(d, cond)                                                              \
  ((d) != nullptr &&                                                                        \
   ((cond) ||                                                                               \
    (dmessagef(DMCassert, __FILE__, __LINE__, "assertion failed ! (%s)", #cond), false)) && \
   Adopt(d))

namespace {

constexpr RGBColor kBlack = {0, 0, 0};

// One axis of the geometry: the near and far edges of a rectangle and the component of a size.
struct Axis {
  short Rect::*lo;
  short Rect::*hi;
  short Point::*size;
};
constexpr Axis kHorizontal = {&Rect::left, &Rect::right, &Point::h};
constexpr Axis kVertical = {&Rect::top, &Rect::bottom, &Point::v};

// A size fixed along an axis: a set maximum equal to the minimum.
bool Fixed(const PDrawer* d, Axis a) {
  return d->maxsize.*a.size >= 1 && d->maxsize.*a.size == d->minsize.*a.size;
}

}  // namespace

// ---- PEmptyDrawer

void PEmptyDrawer::Redraw() {
  if (IsVisible()) Wipe();
  Drawn();
}

// ---- PWindowDrawer

PWindowDrawer::PWindowDrawer(WindowPtr w, PDrawer* d) : windo(w), contents(nullptr) {
  if (PDRAWER_ADOPT(d, d->next == NULL)) contents = d;
  grav = 3;
  if (contents) {
    minsize = contents->minsize;
    maxsize = contents->maxsize;
  }
  SyncExtent();
  // The first redraw sees the difference between the contents' design size and the window's.
  drawn_xt = contents ? contents->extent : extent;
}

PWindowDrawer::~PWindowDrawer() {
  delete contents;
}

void PWindowDrawer::SyncExtent() {
  Rect b;
  GetWindowPortBounds(windo, &b);
  extent = Rect{0, 0, static_cast<short>(b.bottom - b.top), static_cast<short>(b.right - b.left)};
}

int PWindowDrawer::Show(int vis) {
  int change = UpdateVis(vis);
  if (change > 0) {
    if (contents) contents->Show(3);
    ShowWindow(windo);
  } else if (change < 0) {
    HideWindow(windo);
    if (contents) contents->Show(2);
  }
  return change;
}

void PWindowDrawer::Redraw() {
  SetPort(nullptr);
  if (contents) contents->PortPreset(true);
  SyncExtent();
  if (SizeChanged()) {
    int w = GetWidth(), h = GetHeight();
    w = std::max<int>(w, minsize.h);
    h = std::max<int>(h, minsize.v);
    if (maxsize.h > 0) w = std::min<int>(w, maxsize.h);
    if (maxsize.v > 0) h = std::min<int>(h, maxsize.v);
    if (w != GetWidth() || h != GetHeight()) {
      SizeWindow(windo, static_cast<short>(w), static_cast<short>(h), true);
      extent.right = static_cast<short>(extent.left + w);
      extent.bottom = static_cast<short>(extent.top + h);
    }
    AdjustChild(contents);
    EraseRect(&extent);
  }
  if (contents) contents->Redraw();
  Drawn();
  if (contents) contents->PortPreset(false);
  ResetPort();
}

bool PWindowDrawer::Click(Point pt, unsigned short mods, EventRef event) {
  return contents != nullptr && contents->Click(pt, mods, event);
}

bool PWindowDrawer::Wheel(Point pt, int xdel, int ydel, EventRef event) {
  return contents != nullptr && contents->Wheel(pt, xdel, ydel, event);
}

// ---- PControlDrawer

PControlDrawer::PControlDrawer(WindowPtr w, unsigned long sig, long cid) : windo(w), cntl(nullptr) {
  ControlID id{static_cast<OSType>(sig), static_cast<SInt32>(cid)};
  if (GetControlByID(w, &id, &cntl) != noErr) {
    cntl = nullptr;
    return;
  }
  GetControlBounds(cntl, &extent);
  minsize = maxsize = Point{static_cast<short>(GetHeight()), static_cast<short>(GetWidth())};
  Drawn();
}

int PControlDrawer::Show(int vis) {
  int change = UpdateVis(vis);
  if (change != 0) SetControlVisibility(cntl, change > 0, true);
  return change;
}

void PControlDrawer::Redraw() {
  if (Changed()) SetControlBounds(cntl, &extent);
  if (IsVisible()) Draw1Control(cntl);
  Drawn();
}

// ---- PLittleArrowsDrawer

PLittleArrowsDrawer::PLittleArrowsDrawer(WindowPtr w, unsigned long sig, long cid, int inc)
    : PControlDrawer(w, sig, cid), increment(inc) {}

bool PLittleArrowsDrawer::Step(int step) {
  SInt32 v = GetControlValue(cntl);
  if ((step < 0 && v <= GetControlMinimum(cntl)) || (step > 0 && v >= GetControlMaximum(cntl)))
    return false;
  SetControlValue(cntl, v + step);
  return true;
}

bool PLittleArrowsDrawer::Click(Point pt, unsigned short, EventRef) {
  if (!IsVisible() || !Inside(pt)) return false;
  SetThemeCursor(kThemeArrowCursor);
  ControlPartCode part = TestControl(cntl, pt);
  if (part == kControlUpButtonPart)
    Step(increment);
  else if (part == kControlDownButtonPart)
    Step(-increment);
  return false;  // the standard control handling still runs
}

bool PLittleArrowsDrawer::Wheel(Point pt, int xdel, int ydel, EventRef) {
  if (!IsVisible() || !Inside(pt)) return false;
  int step = increment * (ydel != 0 ? ydel : xdel);
  if (step == 0) return false;
  UInt32 cmd = 0;
  if (Step(step) && GetControlCommandID(cntl, &cmd) == noErr && cmd != 0) {
    HICommand hc{kHICommandFromControl, cmd, nullptr, 0};
    ProcessHICommand(&hc);
  }
  return true;
}

// ---- PTabControlDrawer

PTabControlDrawer::PTabControlDrawer(WindowPtr w, unsigned long sig, long cid)
    : PControlDrawer(w, sig, cid), ehref(nullptr), dlist(nullptr), nTabs(0), selected(0) {
  static const EventTypeSpec kinds[] = {{kEventClassControl, kEventControlHit},
                                        {kEventClassControl, kEventControlDraw}};
  if (cntl == nullptr) return;
  InstallEventHandler(GetControlEventTarget(cntl), PTabControlHandler, 2, kinds, this, &ehref);
  selected = GetControlValue(cntl);
}

PTabControlDrawer::~PTabControlDrawer() {
  if (ehref) RemoveEventHandler(ehref);
  delete dlist;
}

void PTabControlDrawer::SwitchUserPane(int tab, bool on, bool draw) {
  ControlRef pane = nullptr;
  if (GetIndexedSubControl(cntl, static_cast<UInt32>(tab), &pane) != noErr) return;
  if (on) {
    EnableControl(pane);
    SetControlVisibility(pane, true, draw);
  } else {
    SetControlVisibility(pane, false, false);
    DisableControl(pane);
  }
}

// Gives the selected tab's pane the tab control's own visibility bits (Show passes them on to
// it): a switch made while the tab control is hidden draws nothing, and the pane shows when
// the tab control shows again.
void PTabControlDrawer::ShowSelectedPane(PDrawer* d) {
  if (d == nullptr) return;
  d->UpdateVis((visible & 2) ? 3 : 2);
  d->Show((visible & 1) ? 1 : 0);
}

int PTabControlDrawer::AddTab(PDrawer* td) {
  if (cntl == nullptr || nTabs >= GetControlMaximum(cntl)) return 0;
  if (td == nullptr) td = new PEmptyDrawer;
  if (!PDRAWER_ADOPT(td, td->next == NULL)) return 0;
  // Placed where the tab shows its pane, as drawn there: a pane built over controls of the
  // form must not move them on its first redraw.
  GetTabContentRect(cntl, &td->extent);
  td->Drawn();
  td->grav = 15;
  PDrawer** end = &dlist;
  while (*end) end = &(*end)->next;
  *end = td;
  ++nTabs;
  if (nTabs != selected) {
    td->Show(0);
    SwitchUserPane(nTabs, false, false);
  }
  if (nTabs == GetControlMaximum(cntl)) {
    SwitchUserPane(selected, true, false);
    ShowSelectedPane(GetTabDrawer(selected));
    Draw1Control(cntl);
  }
  return nTabs;
}

PDrawer* PTabControlDrawer::GetTabDrawer(int tabID) const {
  if (tabID == 0) tabID = selected;
  if (tabID < 1 || tabID > nTabs) return nullptr;
  PDrawer* d = dlist;
  for (int i = 1; i < tabID && d != nullptr; ++i) d = d->next;
  if (d == nullptr) dmessage(DMCassert, "Short list in GetTabDrawer", __FILE__, __LINE__);
  return d;
}

int PTabControlDrawer::Select(int tabID) {
  if (tabID == 0 || tabID == selected) return selected;
  if (tabID < 1 || tabID > nTabs) return 0;
  // Hidden, the switch is recorded all the same (control value, user panes, pane bits);
  // nothing draws until the tab control shows again.
  const bool draw = IsVisible();
  SetControlValue(cntl, tabID);
  if (PDrawer* old = GetTabDrawer(selected)) old->Show(0);
  SwitchUserPane(selected, false, false);
  selected = tabID;
  SwitchUserPane(selected, true, draw);
  ShowSelectedPane(GetTabDrawer(selected));
  return selected;
}

OSStatus PTabControlHandler(EventHandlerCallRef handlerRef, EventRef event, void* userData) {
  PTabControlDrawer* d = static_cast<PTabControlDrawer*>(userData);
  if (d == nullptr) return eventNotHandledErr;
  switch (GetEventKind(event)) {
    case kEventControlHit: {
      int v = GetControlValue(d->GetControl());
      return v != d->GetSelected() && d->Select(v) != 0 ? noErr : eventNotHandledErr;
    }
    case kEventControlDraw:
      CallNextEventHandler(handlerRef, event);
      d->Redraw();
      return noErr;
    default:
      return eventNotHandledErr;
  }
}

int PTabControlDrawer::Show(int vis) {
  if (PDrawer* d = GetTabDrawer(selected)) d->Show(vis);
  return PControlDrawer::Show(vis);
}

void PTabControlDrawer::Redraw() {
  const bool changed = Changed();
  if (changed) {
    SetControlBounds(cntl, &extent);
    for (PDrawer* d = dlist; d != nullptr; d = d->next) AdjustChild(d);
  } else {
    for (PDrawer* d = dlist; d != nullptr; d = d->next) d->Redraw();
  }
  Drawn();
  // The control's draw event redraws the adjusted panes through the handler.
  if (IsVisible() && changed) Draw1Control(cntl);
}

bool PTabControlDrawer::Click(Point pt, unsigned short mods, EventRef event) {
  PDrawer* d = IsVisible() && Inside(pt) ? GetTabDrawer(selected) : nullptr;
  return d != nullptr && d->Click(pt, mods, event);
}

bool PTabControlDrawer::Wheel(Point pt, int xdel, int ydel, EventRef event) {
  PDrawer* d = IsVisible() && Inside(pt) ? GetTabDrawer(selected) : nullptr;
  return d != nullptr && d->Wheel(pt, xdel, ydel, event);
}

// ---- PListDrawer

PListDrawer::PListDrawer(ListHandle lh) : listh(nullptr), dblClick(false) {
  SetList(lh);
}

bool PListDrawer::SetList(ListHandle lh) {
  dblClick = false;
  if (listh != nullptr && IsVisible()) {
    LSetDrawingMode(false, listh);
    LActivate(false, listh);
    Wipe();
  }
  if (lh == nullptr || !IsValidList(lh)) {
    listh = nullptr;
    return false;
  }
  listh = lh;
  Rect v;
  GetListViewBounds(lh, &v);
  extent = Rect{v.top, v.left, static_cast<short>(v.bottom + 15), static_cast<short>(v.right + 15)};
  grav = 15;
  Drawn();
  if (IsVisible()) {
    LActivate(true, listh);
    LSetDrawingMode(true, listh);
    Redraw();
  }
  return true;
}

int PListDrawer::Show(int vis) {
  int change = UpdateVis(vis);
  if (change != 0 && listh != nullptr) {
    if (change > 0) {
      LActivate(true, listh);
      LSetDrawingMode(true, listh);
      Redraw();
    } else {
      LSetDrawingMode(false, listh);
      LActivate(false, listh);
      Wipe();
    }
  }
  return change;
}

void PListDrawer::Redraw() {
  if (!IsVisible()) return;
  if (listh == nullptr) {
    Wipe();
    return;
  }
  if (Changed()) {
    Rect v{extent.top, extent.left, static_cast<short>(extent.bottom - 15),
           static_cast<short>(extent.right - 15)};
    SetListViewBounds(listh, &v);
    if (SizeChanged())
      LSize(static_cast<short>(v.right - v.left), static_cast<short>(v.bottom - v.top), listh);
  }
  SetPort(nullptr);
  RGBForeColor(&kBlack);
  LUpdate(&extent, listh);
  ResetPort();
  Drawn();
}

bool PListDrawer::Click(Point pt, unsigned short mods, EventRef) {
  if (!IsVisible() || listh == nullptr || !Inside(pt)) return false;
  dblClick = LClick(pt, mods, listh);
  return true;
}

bool PListDrawer::Wheel(Point pt, int xdel, int ydel, EventRef) {
  if (!IsVisible() || listh == nullptr || !Inside(pt)) return false;
  LScroll(static_cast<short>(-xdel), static_cast<short>(-ydel), listh);
  return true;
}

void PListDrawer::SetCell(const char* s, int row, int col) {
  if (s == nullptr || listh == nullptr) return;
  size_t n = std::strlen(s);
  LSetCell(s, static_cast<short>(std::min<size_t>(n, 32767)), Cell(row, col), listh);
}

// ---- PDualDrawer

PDualDrawer::PDualDrawer(PDrawer* topleft, PDrawer* botright, bool stack)
    : stacked(stack), tl(topleft), br(botright), resize_pref(0) {
  if (!PDRAWER_ADOPT(tl, tl->next == NULL)) tl = nullptr;
  if (!PDRAWER_ADOPT(br, br->next == NULL)) br = nullptr;
  if (tl == nullptr || br == nullptr) {
    // Half a split cannot be laid out: the pane keeps the child it has and stays empty else.
    if (tl) extent = tl->extent;
    if (br) extent = br->extent;
    Drawn();
    return;
  }
  // Along the split the children lie end to end; across it both span the whole pane.
  const Axis along = stacked ? kVertical : kHorizontal, across = stacked ? kHorizontal : kVertical;
  extent.*along.lo = tl->extent.*along.lo;
  extent.*along.hi = br->extent.*along.hi;
  extent.*across.lo = std::min(tl->extent.*across.lo, br->extent.*across.lo);
  extent.*across.hi = std::max(tl->extent.*across.hi, br->extent.*across.hi);
  const short span = static_cast<short>(extent.*across.hi - extent.*across.lo);
  for (PDrawer* d : {tl, br}) {
    d->extent.*across.lo = extent.*across.lo;
    d->extent.*across.hi = extent.*across.hi;
    if (d->maxsize.*across.size >= 1 && d->maxsize.*across.size < span)
      d->maxsize.*across.size = span;
  }
  tl->grav = stacked ? 7 : 11;   // stacked: left, top, right; else left, top, bottom
  br->grav = stacked ? 13 : 14;  // stacked: left, right, bottom; else top, right, bottom
  minsize.*along.size = static_cast<short>(tl->minsize.*along.size + br->minsize.*along.size);
  minsize.*across.size = std::max(tl->minsize.*across.size, br->minsize.*across.size);
  maxsize.*along.size = tl->maxsize.*along.size < 1 || br->maxsize.*along.size < 1
                            ? 0
                            : static_cast<short>(tl->maxsize.*along.size + br->maxsize.*along.size);
  maxsize.*across.size = std::min(tl->maxsize.*across.size, br->maxsize.*across.size);
  const bool tlFixed = Fixed(tl, along), brFixed = Fixed(br, along);
  resize_pref = tlFixed == brFixed ? 0 : tlFixed ? 1 : -1;
  Drawn();
  tl->Drawn();
  br->Drawn();
}

PDualDrawer::~PDualDrawer() {
  delete tl;
  delete br;
}

void PDualDrawer::Repartition(int s_topleft) {
  if (tl == nullptr || br == nullptr) return;
  if (stacked) {
    tl->Grow(0, s_topleft - tl->GetHeight());
    br->Grow(0, GetHeight() - tl->GetHeight() - br->GetHeight());
  } else {
    tl->Grow(s_topleft - tl->GetWidth(), 0);
    br->Grow(GetWidth() - tl->GetWidth() - br->GetWidth(), 0);
  }
}

int PDualDrawer::Show(int vis) {
  int change = UpdateVis(vis);
  if (change != 0)
    for (PDrawer* d : {tl, br})
      if (d) d->Show(change > 0 ? 3 : 2);
  return change;
}

void PDualDrawer::Redraw() {
  SetPort(nullptr);
  if (tl && br) {
    tl->PortPreset(true);
    br->PortPreset(true);
    if (Changed()) {
      AdjustChild(tl);
      AdjustChild(br);
    }
    if (resize_pref != 0 && SizeChanged()) {
      if (stacked)
        Repartition(resize_pref < 0 ? GetHeight() - br->GetHeight() : tl->GetHeight());
      else
        Repartition(resize_pref < 0 ? GetWidth() - br->GetWidth() : tl->GetWidth());
    }
    tl->Redraw();
    br->Redraw();
    tl->PortPreset(false);
    br->PortPreset(false);
  } else if (PDrawer* d = tl ? tl : br) {
    d->PortPreset(true);
    AdjustChild(d);
    d->Redraw();
    d->PortPreset(false);
  }
  Drawn();
  ResetPort();
}

PDrawer* PDualDrawer::Under(Point pt) const {
  if (!IsVisible() || tl == nullptr || br == nullptr) return tl ? tl : br;
  bool second = stacked ? pt.v >= tl->extent.bottom : pt.h >= tl->extent.right;
  return second ? br : tl;
}

bool PDualDrawer::Click(Point pt, unsigned short mods, EventRef event) {
  PDrawer* d = IsVisible() ? Under(pt) : nullptr;
  return d != nullptr && d->Click(pt, mods, event);
}

bool PDualDrawer::Wheel(Point pt, int xdel, int ydel, EventRef event) {
  PDrawer* d = IsVisible() ? Under(pt) : nullptr;
  return d != nullptr && d->Wheel(pt, xdel, ydel, event);
}

// ---- PChestDrawer

PChestDrawer::PChestDrawer(PDrawer* d0) : dlist(nullptr) {
  grav = 15;
  if (d0) AddDrawer(d0);
}

PChestDrawer::~PChestDrawer() {
  delete dlist;
}

PDrawer* PChestDrawer::GetChild(int i) const {
  if (i < 0) return nullptr;
  PDrawer* d = dlist;
  while (d != nullptr && i-- > 0) d = d->next;
  return d;
}

void PChestDrawer::AddDrawer(PDrawer* d) {
  if (!PDRAWER_ADOPT(d, d->next == NULL)) return;
  PDrawer** end = &dlist;
  while (*end) end = &(*end)->next;
  *end = d;
  if (dlist == d) {
    extent = d->extent;
  } else {
    extent.top = std::min(extent.top, d->extent.top);
    extent.left = std::min(extent.left, d->extent.left);
    extent.bottom = std::max(extent.bottom, d->extent.bottom);
    extent.right = std::max(extent.right, d->extent.right);
  }
  minsize = Point{static_cast<short>(GetHeight()), static_cast<short>(GetWidth())};
  Drawn();
}

short PChestDrawer::LeastWidth() const {
  int give = -1;
  for (const PDrawer* d = dlist; d != nullptr; d = d->next)
    if ((d->grav & 5) == 5) {
      const int g = std::max(0, d->GetWidth() - std::max<int>(0, d->minsize.h));
      give = give < 0 ? g : std::min(give, g);
    }
  return static_cast<short>(GetWidth() - std::max(0, give));
}

int PChestDrawer::Show(int vis) {
  int change = UpdateVis(vis);
  if (change != 0)
    for (PDrawer* d = dlist; d != nullptr; d = d->next) d->Show(change > 0 ? 3 : 2);
  return change;
}

void PChestDrawer::Redraw() {
  const bool changed = Changed();
  SetPort(nullptr);
  for (PDrawer* d = dlist; d != nullptr; d = d->next) {
    d->PortPreset(true);
    if (changed) AdjustChild(d);
    d->Redraw();
    d->PortPreset(false);
  }
  Drawn();
  ResetPort();
}

PDrawer* PChestDrawer::Under(Point pt) const {
  for (PDrawer* d = dlist; d != nullptr; d = d->next)
    if (d->Inside(pt)) return d;
  return nullptr;
}

bool PChestDrawer::Click(Point pt, unsigned short mods, EventRef event) {
  PDrawer* d = IsVisible() ? Under(pt) : nullptr;
  return d != nullptr && d->Click(pt, mods, event);
}

bool PChestDrawer::Wheel(Point pt, int xdel, int ydel, EventRef event) {
  PDrawer* d = IsVisible() ? Under(pt) : nullptr;
  return d != nullptr && d->Wheel(pt, xdel, ydel, event);
}
