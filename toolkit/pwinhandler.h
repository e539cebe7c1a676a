// The base of every window object: its root pane and a table of event handlers bound to
// (event class, event kind) pairs, through which the window's events are routed.
#pragma once

#include "platform/pevent.h"
#include "platform/pwindow.h"
#include "toolkit/pdrawkinds.h"

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

// What the application does around every event a window's handlers get (it installs the hooks;
// none by default): begin runs first and its result goes to end, with whether a handler took
// the event.
struct PWindowEventHooks {
  double (*begin)();
  void (*end)(double begun, bool handled);
};
extern PWindowEventHooks PwindowEventHooks;
