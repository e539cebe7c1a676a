// The drawer base: visibility, ports, geometry and layout by gravity, click and wheel routing.
#include "toolkit/pdrawer.h"

#include "support/dmessage.h"
#include "support/chain.h"

void (*PcontentClickHook)() = nullptr;

PDrawer::PDrawer()
    : drawn_xt{0, 0, 0, 0},
      visible(3),
      gporig(nullptr),
      ghorig(nullptr),
      myPortSet(0),
      parent(nullptr),
      next(nullptr),
      grav(0),
      minsize{0, 0},
      maxsize{0, 0},
      extent{0, 0, 0, 0} {}

PDrawer::~PDrawer() {
  DeleteChain(next, &PDrawer::next);
}

WindowPtr PDrawer::GetWindow() const {
  return parent ? parent->GetWindow() : nullptr;
}

PDrawer* PDrawer::GetChild(int) const {
  return nullptr;
}

int PDrawer::Show(int vis) {
  int change = UpdateVis(vis);
  if (change > 0)
    Redraw();
  else if (change < 0)
    Wipe();
  return change;
}

bool PDrawer::Click(Point, unsigned short, EventRef) {
  return false;
}

bool PDrawer::Wheel(Point, int, int, EventRef) {
  return false;
}

int PDrawer::UpdateVis(int vis) {
  if (vis < 0 || vis > 3) return 0;
  const int bit = vis < 2 ? 1 : 2;  // 1 and 0 the own bit, 3 and 2 the container bit
  const bool set = (vis & 1) != 0;
  if (((visible & bit) != 0) == set) return 0;
  bool was = IsVisible();
  visible = set ? (visible | bit) : (visible & ~bit);
  if (IsVisible() && !was) return 1;
  if (!IsVisible() && was) return -1;
  return 0;
}

void PDrawer::SetPort(WindowPtr w) {
  if (myPortSet < 0 || ++myPortSet != 1) return;
  GetGWorld(&gporig, &ghorig);
  WindowPtr win = w ? w : GetWindow();
  if (win) SetPortWindowPort(win);
}

void PDrawer::ResetPort() {
  if (myPortSet <= 0 || --myPortSet != 0) return;
  SetGWorld(gporig, ghorig);
}

void PDrawer::Wipe() {
  SetPort(nullptr);
  EraseRect(&extent);
  ResetPort();
}

bool PDrawer::Point2Local(Point* ptp) const {
  WindowPtr w = GetWindow();
  Rect b;
  if (w == nullptr || ptp == nullptr || GetWindowBounds(w, kWindowContentRgn, &b) != noErr)
    return false;
  ptp->h = static_cast<short>(ptp->h - b.left);
  ptp->v = static_cast<short>(ptp->v - b.top);
  return true;
}

bool PDrawer::Changed() const {
  return extent.top != drawn_xt.top || extent.left != drawn_xt.left ||
         extent.bottom != drawn_xt.bottom || extent.right != drawn_xt.right;
}

Point PDrawer::GetGrowth() const {
  return Point{static_cast<short>(GetHeight() - OldHeight()),
               static_cast<short>(GetWidth() - OldWidth())};
}

Point PDrawer::GetShift(int g) const {
  // A child that follows one edge moves with it; one that follows both or neither moves with
  // the centre.
  int v = 0, h = 0, nv = 0, nh = 0;
  if ((g & 10) != 8) v += extent.top - drawn_xt.top, ++nv;
  if ((g & 10) != 2) v += extent.bottom - drawn_xt.bottom, ++nv;
  if (nv == 2) v /= 2;
  if ((g & 5) != 4) h += extent.left - drawn_xt.left, ++nh;
  if ((g & 5) != 1) h += extent.right - drawn_xt.right, ++nh;
  if (nh == 2) h /= 2;
  return Point{static_cast<short>(v), static_cast<short>(h)};
}

void PDrawer::Shift(int sh, int sv) {
  extent.left = static_cast<short>(extent.left + sh);
  extent.right = static_cast<short>(extent.right + sh);
  extent.top = static_cast<short>(extent.top + sv);
  extent.bottom = static_cast<short>(extent.bottom + sv);
}

namespace {
// Moves the edges of one axis for a size change of d: the far edge alone when only the near
// edge is followed, the near edge alone when only the far one is, else half each.
void MoveEdges(short* lo, short* hi, int d, bool followLo, bool followHi) {
  if (followLo && !followHi) {
    *hi = static_cast<short>(*hi + d);
  } else if (followHi && !followLo) {
    *lo = static_cast<short>(*lo - d);
  } else {
    *hi = static_cast<short>(*hi + d / 2);
    *lo = static_cast<short>(*lo - d / 2);
  }
}
int Clamp(int size, int lo, int hi) {
  if (size < lo) return lo;
  if (hi >= 1 && size > hi) return hi;
  return size;
}
}  // namespace

void PDrawer::Grow(int ih, int iv) {
  int w = GetWidth(), h = GetHeight();
  int dw = Clamp(w + ih, minsize.h, maxsize.h) - w;
  int dh = Clamp(h + iv, minsize.v, maxsize.v) - h;
  if (dw != 0) MoveEdges(&extent.left, &extent.right, dw, grav & 1, grav & 4);
  if (dh != 0) MoveEdges(&extent.top, &extent.bottom, dh, grav & 2, grav & 8);
}

void PDrawer::AdjustChild(PDrawer* d) const {
  if (d == nullptr) return;
  d->Shift(GetShift(d->grav));
  Point g = GetGrowth();
  if (g.h == 0 && g.v == 0) return;
  // A child that follows both edges of an axis takes the whole growth, any other a share in
  // proportion to its size; a container that was empty along an axis gives no share.
  int gw = 0, gh = 0;
  if ((d->grav & 5) == 5)
    gw = g.h;
  else if (OldWidth() != 0)
    gw = g.h * d->GetWidth() / OldWidth();
  if ((d->grav & 10) == 10)
    gh = g.v;
  else if (OldHeight() != 0)
    gh = g.v * d->GetHeight() / OldHeight();
  d->Grow(gw, gh);
}

namespace {
// The window-local mouse location of an event of the given class and kind; false for another
// event, one without a location, or a drawer without a window.
bool LocalMouse(const PDrawer* d, EventRef event, UInt32 cls, UInt32 kind, Point* pt) {
  return GetEventClass(event) == cls && GetEventKind(event) == kind &&
         GetEventParameter(event, kEventParamMouseLocation, typeQDPoint, nullptr, sizeof *pt,
                           nullptr, pt) == noErr &&
         d->Point2Local(pt);
}
}  // namespace

bool PDrawer::HandleClick(EventRef event) {
  Point pt;
  if (!LocalMouse(this, event, kEventClassWindow, kEventWindowClickContentRgn, &pt)) return false;
  UInt32 mods = 0;
  GetEventParameter(event, kEventParamKeyModifiers, typeUInt32, nullptr, sizeof mods, nullptr,
                    &mods);
  dmessage_last_class = DMCnerr;
  if (PcontentClickHook != nullptr) PcontentClickHook();
  return Click(pt, static_cast<unsigned short>(mods & 0xFFFF), event);
}

bool PDrawer::HandleWheel(EventRef event) {
  Point pt;
  if (!LocalMouse(this, event, kEventClassMouse, kEventMouseWheelMoved, &pt)) return false;
  EventMouseWheelAxis axis = kEventMouseWheelAxisY;
  SInt32 delta = 0;
  GetEventParameter(event, kEventParamMouseWheelAxis, typeMouseWheelAxis, nullptr, sizeof axis,
                    nullptr, &axis);
  GetEventParameter(event, kEventParamMouseWheelDelta, typeLongInteger, nullptr, sizeof delta,
                    nullptr, &delta);
  if (axis == kEventMouseWheelAxisX) return Wheel(pt, delta, 0, event);
  if (axis == kEventMouseWheelAxisY) return Wheel(pt, 0, delta, event);
  return false;
}
