// The window toolkit: every window lays out its content as a tree of rectangular panes
// (drawers) over the platform's controls and lists, and routes its events through a table of
// handlers bound to (event class, event kind) pairs.
//
// A drawer knows its extent in window-local coordinates, the window edges it follows when its
// container changes size (gravity bits: 1 left, 2 top, 4 right, 8 bottom), its minimum and
// maximum size (a maximum component below 1 is unlimited), whether it is shown (two bits:
// 1 by its own request, 2 its container is visible; visible when both are set) and the extent
// it was last drawn at. A container owns its children; a drawer owns its next sibling.
#pragma once

#include "platform/pcontrol.h"
#include "platform/pevent.h"
#include "platform/plist.h"
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

// A filler pane: erases its extent.
class PEmptyDrawer : public PDrawer {
 public:
  void Redraw() override;
};

// The root of a window's tree: the window's content, with one child.
class PWindowDrawer : public PDrawer {
 protected:
  WindowPtr windo;
  PDrawer* contents;

 public:
  PWindowDrawer(WindowPtr w, PDrawer* d);
  ~PWindowDrawer() override;
  WindowPtr GetWindow() const override { return windo; }
  PDrawer* GetChild(int i) const override { return i == 0 ? contents : nullptr; }
  int Show(int vis) override;
  void Redraw() override;
  bool Click(Point pt, unsigned short mods, EventRef event) override;
  bool Wheel(Point pt, int xdel, int ydel, EventRef event) override;
  void SyncExtent();
};

// A leaf over one control of the window, named by signature and id.
class PControlDrawer : public PDrawer {
 protected:
  WindowPtr windo;
  ControlRef cntl;

 public:
  PControlDrawer(WindowPtr w, unsigned long sig, long cid);
  WindowPtr GetWindow() const override { return windo; }
  int Show(int vis) override;
  void Redraw() override;
  ControlRef GetControl() const { return cntl; }
};

// A stepper: arrow clicks and wheel turns step its value by increment.
class PLittleArrowsDrawer : public PControlDrawer {
 public:
  int increment;
  PLittleArrowsDrawer(WindowPtr w, unsigned long sig, long cid, int inc);
  bool Click(Point pt, unsigned short mods, EventRef event) override;
  bool Wheel(Point pt, int xdel, int ydel, EventRef event) override;

 private:
  bool Step(int step);
};

OSStatus PTabControlHandler(EventHandlerCallRef handlerRef, EventRef event, void* userData);

// A tab control with one pane per tab; tabs are numbered from 1.
class PTabControlDrawer : public PControlDrawer {
  EventHandlerRef ehref;
  PDrawer* dlist;
  int nTabs;
  int selected;

 public:
  PTabControlDrawer(WindowPtr w, unsigned long sig, long cid);
  ~PTabControlDrawer() override;
  PDrawer* GetChild(int i) const override { return i < 0 ? nullptr : GetTabDrawer(i + 1); }
  int Show(int vis) override;
  void Redraw() override;
  bool Click(Point pt, unsigned short mods, EventRef event) override;
  bool Wheel(Point pt, int xdel, int ydel, EventRef event) override;
  int AddTab(PDrawer* td = nullptr);
  int Select(int tabID);
  PDrawer* GetTabDrawer(int tabID) const;
  int GetSelected() const { return selected; }
  int CountTabs() const { return nTabs; }

 private:
  void SwitchUserPane(int tab, bool on, bool draw);
  void ShowSelectedPane(PDrawer* d);
};

// A leaf over a list; the list's scroll bars lie in the 15 pixels at its right and bottom.
class PListDrawer : public PDrawer {
 protected:
  ListHandle listh;

 public:
  bool dblClick;
  explicit PListDrawer(ListHandle lh);
  int Show(int vis) override;
  void Redraw() override;
  bool Click(Point pt, unsigned short mods, EventRef event) override;
  bool Wheel(Point pt, int xdel, int ydel, EventRef event) override;
  bool SetList(ListHandle lh);
  ListHandle GetList() const { return listh; }
  void SetCell(const char* s, int row, int col);
};

// Two panes split top/bottom (stacked) or left/right.
class PDualDrawer : public PDrawer {
 protected:
  bool stacked;
  PDrawer* tl;
  PDrawer* br;
  int resize_pref;  // +1: only tl has a fixed size along the split; -1: only br; else 0

 public:
  PDualDrawer(PDrawer* topleft, PDrawer* botright, bool stack);
  ~PDualDrawer() override;
  PDrawer* GetChild(int i) const override { return i == 0 ? tl : i == 1 ? br : nullptr; }
  int Show(int vis) override;
  void Redraw() override;
  bool Click(Point pt, unsigned short mods, EventRef event) override;
  bool Wheel(Point pt, int xdel, int ydel, EventRef event) override;
  void Repartition(int s_topleft);

 private:
  PDrawer* Under(Point pt) const;
};

// A free-form container: children anywhere, hit-tested in the order they were added.
class PChestDrawer : public PDrawer {
  PDrawer* dlist;

 public:
  explicit PChestDrawer(PDrawer* d0 = nullptr);
  ~PChestDrawer() override;
  PDrawer* GetChild(int i) const override;
  int Show(int vis) override;
  void Redraw() override;
  bool Click(Point pt, unsigned short mods, EventRef event) override;
  bool Wheel(Point pt, int xdel, int ydel, EventRef event) override;
  void AddDrawer(PDrawer* d);

 private:
  PDrawer* Under(Point pt) const;
};

class PWindowHandlerBase;
typedef OSStatus (PWindowHandlerBase::*PWindowHandlerF)(EventRef event);

OSStatus PWindowHandlerEvent(EventHandlerCallRef handlerRef, EventRef event, void* userData);

// The base of every window object: its root drawer and its table of event handlers.
class PWindowHandlerBase {
  static constexpr int kMaxHandlers = 64;
  EventTypeSpec specList[kMaxHandlers];
  int specListLen;
  PWindowHandlerF handList[kMaxHandlers];

  int EventIndex(UInt32 eClass, UInt32 eKind) const;

 protected:
  EventHandlerRef ehref;
  PWindowDrawer* wdrawer;

  bool AddHandler(UInt32 eClass, UInt32 eKind, PWindowHandlerF h);
  void DelHandler(UInt32 eClass, UInt32 eKind);
  PWindowHandlerF GetHandler(UInt32 eClass, UInt32 eKind) const;
  bool FinishInstall();
  OSStatus HandleGetMinSize(EventRef event);
  OSStatus HandleClose(EventRef event);
  OSStatus HandleClick(EventRef event);
  OSStatus HandleWheel(EventRef event);
  OSStatus HandleRedraw(EventRef event);

 public:
  PWindowHandlerBase();
  PWindowHandlerBase(const PWindowHandlerBase&) = delete;
  PWindowHandlerBase& operator=(const PWindowHandlerBase&) = delete;
  virtual ~PWindowHandlerBase();
  virtual WindowPtr CreateWindow(IBNibRef nib) = 0;
  virtual void DestroyWindow();
  WindowPtr CreateWindow(const char* nibname);
  WindowPtr GetWindow() const { return wdrawer ? wdrawer->GetWindow() : nullptr; }
  int Show(int vis) { return wdrawer ? wdrawer->Show(vis) : 0; }
  void Redraw() {
    if (wdrawer) wdrawer->Redraw();
  }
  OSStatus HandleEvent(EventRef event);
};

// Control text as UTF-8. PutControlText sets and draws; false for a missing argument, text
// that is not UTF-8 or a control that takes no text.
bool PutControlText(ControlRef cntl, const char* txt);
void ClearControlText(ControlRef cntl);
// Copies the text into txt (at most len - 1 bytes and a terminator); unless anyChar, leading
// and trailing white space goes and control characters and broken bytes become '?' (whole
// characters are kept). NULL when an argument is missing, len < 2, or the text cannot be read
// or does not fit.
char* GetControlText(ControlRef cntl, char* txt, int len, bool anyChar);
// Selects the whole text of an edit control and gives it the keyboard focus.
void EditControlText(WindowRef w, ControlRef cntl);
// Waits at most maxwait seconds (platform clock) for the next mouse-up and takes it.
void waitMouseRelease(double maxwait);
