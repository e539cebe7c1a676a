// The window toolkit's panes: every window lays out its content as a tree of rectangular panes
// (drawers) over the platform's controls and lists (the kinds are in toolkit/pdrawkinds.h; a
// window's table of event handlers is in toolkit/pwinhandler.h).
//
// A drawer knows its extent in window-local coordinates, the window edges it follows when its
// container changes size (gravity bits: 1 left, 2 top, 4 right, 8 bottom), its minimum and
// maximum size (a maximum component below 1 is unlimited), whether it is shown (two bits:
// 1 by its own request, 2 its container is visible; visible when both are set) and the extent
// it was last drawn at. A container owns its children; a drawer owns its next sibling.
#pragma once

#include "platform/pevent.h"
#include "platform/pwindow.h"

class PDrawer {
 protected:
  Rect drawn_xt;  // the extent at the last Drawn()
  int visible;    // 1: shown by its own request, 2: its container is visible
  GrafPtr gporig;
  GDHandle ghorig;
  int myPortSet;  // SetPort nesting depth; -1 when the container has set the port

 public:
  const PDrawer* parent;
  PDrawer* next;
  int grav;
  Point minsize;  // v: height, h: width
  Point maxsize;  // a component below 1 is unlimited
  Rect extent;

  PDrawer();
  PDrawer(const PDrawer&) = delete;
  PDrawer& operator=(const PDrawer&) = delete;
  virtual ~PDrawer();  // deletes the rest of the sibling chain

  virtual WindowPtr GetWindow() const;
  virtual PDrawer* GetChild(int i) const;
  virtual int Show(int vis);
  virtual void Redraw() = 0;
  virtual bool Click(Point pt, unsigned short mods, EventRef event);
  virtual bool Wheel(Point pt, int xdel, int ydel, EventRef event);

  // vis 1/0 sets/clears the own bit, 3/2 the container bit; +1 when the drawer became
  // visible, -1 when it stopped being visible, else 0.
  int UpdateVis(int vis);
  bool IsVisible() const { return visible == 3; }
  const PDrawer* GetParent() const { return parent; }
  void SetPort(WindowPtr w = nullptr);
  void ResetPort();
  void PortPreset(bool affirm) { myPortSet = affirm ? -1 : 0; }
  void Wipe();
  bool Point2Local(Point* ptp) const;
  bool Inside(int h, int v) const {
    return extent.left <= h && h < extent.right && extent.top <= v && v < extent.bottom;
  }
  bool Inside(Point pt) const { return Inside(pt.h, pt.v); }
  int GetWidth() const { return extent.right - extent.left; }
  int GetHeight() const { return extent.bottom - extent.top; }
  int OldWidth() const { return drawn_xt.right - drawn_xt.left; }
  int OldHeight() const { return drawn_xt.bottom - drawn_xt.top; }
  bool SizeChanged() const { return GetWidth() != OldWidth() || GetHeight() != OldHeight(); }
  bool Changed() const;
  Point GetGrowth() const;
  Point GetShift(int g) const;
  void Drawn() { drawn_xt = extent; }
  void Shift(int sh, int sv);
  void Shift(Point sd) { Shift(sd.h, sd.v); }
  void Grow(int ih, int iv);
  void Grow(Point inc) { Grow(inc.h, inc.v); }
  void AdjustChild(PDrawer* d) const;
  bool HandleClick(EventRef event);
  bool HandleWheel(EventRef event);

 protected:
  // Makes this drawer d's container.
  bool Adopt(PDrawer* d) {
    d->parent = this;
    return true;
  }
};

// Called when a click reaches a window's content, before the drawers get it; the application
// installs it (none by default).
extern void (*PcontentClickHook)();
