// The test window with every control kind, laid out as a pane tree:
// a chest of the push button, check box, static text, edit text, stepper, a tab control whose
// three panes are empty, a chest holding the inner check box, and a painted pane; the user pane
// control; a list; and a painted pane of its own.
#pragma once

#include <QLineEdit>

#include "drawer_util.h"

// Paints its extent red with a black frame.
class Painter : public PDrawer {
 public:
  int redraws = 0, clicks = 0;
  void Redraw() override {
    ++redraws;
    if (IsVisible()) {
      SetPort(nullptr);
      const RGBColor red{0xFFFF, 0, 0}, black{0, 0, 0};
      RGBForeColor(&red);
      PaintRect(&extent);
      RGBForeColor(&black);
      FrameRect(&extent);
      ResetPort();
    }
    Drawn();
  }
  bool Click(Point, unsigned short, EventRef) override {
    ++clicks;
    return true;
  }
};

// Fills the rest of the window so that the tree's design size is the window's.
class Spacer : public PDrawer {
 public:
  explicit Spacer(Rect r) {
    extent = r;
    Drawn();
  }
  void Redraw() override { Drawn(); }
};

class FullWindow : public PWindowHandlerBase {
 public:
  PChestDrawer* chest = nullptr;
  PControlDrawer *push = nullptr, *check = nullptr, *text = nullptr, *edit = nullptr,
                 *user = nullptr, *inner = nullptr;
  PLittleArrowsDrawer* arrows = nullptr;
  PTabControlDrawer* tabs = nullptr;
  PChestDrawer* pane2 = nullptr;
  Painter *pane3 = nullptr, *painter = nullptr;
  PListDrawer* list = nullptr;
  std::vector<UInt32> commands;

  using PWindowHandlerBase::CreateWindow;

  WindowPtr CreateWindow(IBNibRef nib) override {
    WindowRef w = nullptr;
    if (CreateWindowFromNib(nib, "TestWindow", &w) != noErr) return nullptr;
    ShowWindow(w);  // made hidden; the drawers start out shown
    chest = new PChestDrawer;
    chest->AddDrawer(push = new PControlDrawer(w, FourCC("push"), 1));
    chest->AddDrawer(check = new PControlDrawer(w, FourCC("chek"), 1));
    chest->AddDrawer(text = new PControlDrawer(w, FourCC("stat"), 1));
    chest->AddDrawer(edit = new PControlDrawer(w, FourCC("edit"), 1));
    chest->AddDrawer(arrows = new PLittleArrowsDrawer(w, FourCC("arro"), 1, 1));
    tabs = new PTabControlDrawer(w, FourCC("tabs"), 1);
    tabs->AddTab(nullptr);
    inner = new PControlDrawer(w, FourCC("chek"), 2);
    tabs->AddTab(pane2 = new PChestDrawer(inner));
    tabs->AddTab(pane3 = new Painter);
    chest->AddDrawer(tabs);
    chest->AddDrawer(user = new PControlDrawer(w, FourCC("user"), 1));
    Rect view = R(240, 10, 285, 200);
    chest->AddDrawer(list = new PListDrawer(LNew(&view, 30, 1, Point{15, 190}, w)));
    for (int i = 0; i < 30; ++i) list->SetCell(("row " + std::to_string(i)).c_str(), i, 0);
    painter = new Painter;
    painter->extent = R(45, 300, 75, 390);
    painter->Drawn();
    chest->AddDrawer(painter);
    chest->AddDrawer(new Spacer(R(0, 0, 300, 400)));
    wdrawer = new PWindowDrawer(w, chest);
    AddHandler(kEventClassCommand, kEventCommandProcess,
               static_cast<PWindowHandlerF>(&FullWindow::Command));
    if (!FinishInstall()) return nullptr;
    return w;
  }
  OSStatus Command(EventRef ev) {
    HICommand cmd;
    if (GetEventParameter(ev, kEventParamDirectObject, typeHICommand, nullptr, sizeof cmd, nullptr,
                          &cmd) != noErr)
      return eventNotHandledErr;
    commands.push_back(cmd.commandID);
    return cmd.commandID == FourCC("pass") ? eventNotHandledErr : noErr;
  }
  PWindowDrawer* Root() const { return wdrawer; }
};

// The widget of a drawer's control.
inline QWidget* WidgetOf(const PControlDrawer* d) {
  return PlatformControlWidget(d->GetControl());
}
