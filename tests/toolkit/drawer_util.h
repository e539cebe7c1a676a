// Helpers of the toolkit tests: a drawer that counts what reaches it, a window object over a
// test form, and resizing a window's content through Qt.
#pragma once

#include <QApplication>
#include <QWidget>
#include <functional>

#include "toolkit/pctltext.h"
#include "toolkit/pdrawer.h"
#include "toolkit/pdrawkinds.h"
#include "toolkit/pwinhandler.h"
#include "platform/pqt.h"

class Probe : public PDrawer {
 public:
  Probe(short top, short left, short bottom, short right, int g = 0) {
    extent = Rect{top, left, bottom, right};
    grav = g;
    Drawn();
  }
  int redraws = 0, clicks = 0, wheels = 0;
  void Redraw() override {
    ++redraws;
    Drawn();
  }
  bool Click(Point, unsigned short, EventRef) override {
    ++clicks;
    return true;
  }
  bool Wheel(Point, int, int, EventRef) override {
    ++wheels;
    return true;
  }
  int Visibility() const { return visible; }
  Rect DrawnAt() const { return drawn_xt; }
};

// A window object over a form of the test nib; build makes its drawer tree.
class TestWindowObject : public PWindowHandlerBase {
 public:
  const char* form = "PlainWindow";
  std::function<PDrawer*(WindowPtr)> build;
  std::function<void(TestWindowObject*)> bindOwn;
  bool installed = false;

  WindowPtr CreateWindow(IBNibRef nib) override {
    WindowRef w = nullptr;
    if (CreateWindowFromNib(nib, form, &w) != noErr) return nullptr;
    ShowWindow(w);  // made hidden; the drawers start out shown
    wdrawer = new PWindowDrawer(w, build(w));
    if (bindOwn) bindOwn(this);
    installed = FinishInstall();
    return w;
  }
  using PWindowHandlerBase::AddHandler;
  using PWindowHandlerBase::CreateWindow;
  using PWindowHandlerBase::DelHandler;
  using PWindowHandlerBase::FinishInstall;
  using PWindowHandlerBase::GetHandler;
  PWindowDrawer* Root() const { return wdrawer; }
  EventHandlerRef Installed() const { return ehref; }
};

inline Rect R(int top, int left, int bottom, int right) {
  return Rect{short(top), short(left), short(bottom), short(right)};
}
inline bool operator==(const Rect& a, const Rect& b) {
  return a.top == b.top && a.left == b.left && a.bottom == b.bottom && a.right == b.right;
}
inline std::ostream& operator<<(std::ostream& o, const Rect& r) {
  return o << "(" << r.top << ", " << r.left << ", " << r.bottom << ", " << r.right << ")";
}

// Resizes a window through Qt so that its content gets width x height, as a user would.
inline void ResizeContent(WindowRef w, int width, int height) {
  QWidget* frame = PlatformFrameWidget(w);
  QWidget* content = PlatformContentWidget(w);
  frame->resize(frame->width() + width - content->width(),
                frame->height() + height - content->height());
  QApplication::processEvents();
}
