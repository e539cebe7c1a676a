// The kinds of pane a window's tree is made of: fillers, the window's root, leaves over
// controls (steppers and tab controls among them) and lists, and containers split in two or
// holding panes anywhere.
#pragma once

#include "platform/pcontrol.h"
#include "platform/pevent.h"
#include "platform/plist.h"
#include "platform/pwindow.h"
#include "toolkit/pdrawer.h"

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
  // The least width the chest can be laid out at: narrower than it is by as much as the
  // narrowest give of its children that follow both its left and right edges (each of them
  // takes the whole change, down to its minimum); its width when it has none.
  short LeastWidth() const;

 private:
  PDrawer* Under(Point pt) const;
};
