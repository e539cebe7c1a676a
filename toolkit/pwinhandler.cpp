// The window object base: the table of (event class, event kind) handlers, the default
// bindings and the platform entry that dispatches through the table.
#include "toolkit/pwinhandler.h"

PWindowHandlerBase::PWindowHandlerBase()
    : specList{}, specListLen(0), handList{}, ehref(nullptr), wdrawer(nullptr) {}

PWindowHandlerBase::~PWindowHandlerBase() {
  PWindowHandlerBase::DestroyWindow();
}

int PWindowHandlerBase::EventIndex(UInt32 eClass, UInt32 eKind) const {
  for (int i = specListLen; i-- > 0;)
    if (specList[i].eventClass == eClass && specList[i].eventKind == eKind) return i;
  return -1;
}

bool PWindowHandlerBase::AddHandler(UInt32 eClass, UInt32 eKind, PWindowHandlerF h) {
  int i = EventIndex(eClass, eKind);
  if (i >= 0) {
    handList[i] = h;  // a later binding of a pair wins
    return true;
  }
  if (specListLen >= kMaxHandlers) return false;
  specList[specListLen] = EventTypeSpec{eClass, eKind};
  handList[specListLen++] = h;
  if (ehref) AddEventTypesToHandler(ehref, 1, &specList[specListLen - 1]);
  return true;
}

void PWindowHandlerBase::DelHandler(UInt32 eClass, UInt32 eKind) {
  int i = EventIndex(eClass, eKind);
  if (i >= 0) handList[i] = nullptr;
}

PWindowHandlerF PWindowHandlerBase::GetHandler(UInt32 eClass, UInt32 eKind) const {
  int i = EventIndex(eClass, eKind);
  return i >= 0 ? handList[i] : nullptr;
}

OSStatus PWindowHandlerBase::HandleEvent(EventRef event) {
  int i = EventIndex(GetEventClass(event), GetEventKind(event));
  if (i < 0 || handList[i] == nullptr) return eventNotHandledErr;
  return (this->*handList[i])(event);
}

bool PWindowHandlerBase::FinishInstall() {
  if (wdrawer == nullptr || ehref != nullptr) return false;
  static const EventHandlerUPP entry = NewEventHandlerUPP(PWindowHandlerEvent);
  static const struct {
    UInt32 eClass, eKind;
    PWindowHandlerF h;
  } defaults[] = {
      {kEventClassWindow, kEventWindowResizeCompleted, &PWindowHandlerBase::HandleRedraw},
      {kEventClassWindow, kEventWindowZoomed, &PWindowHandlerBase::HandleRedraw},
      {kEventClassWindow, kEventWindowShown, &PWindowHandlerBase::HandleRedraw},
      {kEventClassWindow, kEventWindowGetMinimumSize, &PWindowHandlerBase::HandleGetMinSize},
      {kEventClassWindow, kEventWindowClose, &PWindowHandlerBase::HandleClose},
      {kEventClassWindow, kEventWindowClickContentRgn, &PWindowHandlerBase::HandleClick},
      {kEventClassMouse, kEventMouseWheelMoved, &PWindowHandlerBase::HandleWheel},
  };
  // A default that does not fit the table fails the installation: the window would lack it.
  for (const auto& d : defaults)
    if (GetHandler(d.eClass, d.eKind) == nullptr && !AddHandler(d.eClass, d.eKind, d.h))
      return false;
  return InstallEventHandler(GetWindowEventTarget(GetWindow()), entry,
                             static_cast<UInt32>(specListLen), specList, this, &ehref) == noErr;
}

OSStatus PWindowHandlerBase::HandleRedraw(EventRef) {
  if (wdrawer == nullptr) return eventNotHandledErr;
  Redraw();
  return eventNotHandledErr;  // the platform's standard handling runs as well
}

OSStatus PWindowHandlerBase::HandleGetMinSize(EventRef event) {
  if (wdrawer == nullptr) return eventNotHandledErr;
  SetEventParameter(event, kEventParamDimensions, typeQDPoint, sizeof(Point), &wdrawer->minsize);
  return noErr;
}

OSStatus PWindowHandlerBase::HandleClose(EventRef) {
  if (wdrawer == nullptr) return eventNotHandledErr;
  wdrawer->Show(0);  // hidden, not closed: the window object and its tree live on
  return noErr;
}

OSStatus PWindowHandlerBase::HandleClick(EventRef event) {
  if (wdrawer == nullptr) return eventNotHandledErr;
  return wdrawer->HandleClick(event) ? noErr : eventNotHandledErr;
}

OSStatus PWindowHandlerBase::HandleWheel(EventRef event) {
  if (wdrawer == nullptr) return eventNotHandledErr;
  return wdrawer->HandleWheel(event) ? noErr : eventNotHandledErr;
}

PWindowEventHooks PwindowEventHooks = {nullptr, nullptr};

OSStatus PWindowHandlerEvent(EventHandlerCallRef, EventRef event, void* userData) {
  PWindowHandlerBase* w = static_cast<PWindowHandlerBase*>(userData);
  if (w == nullptr) return eventNotHandledErr;
  const PWindowEventHooks hooks = PwindowEventHooks;
  const double begun = hooks.begin != nullptr ? hooks.begin() : 0;
  OSStatus r = w->HandleEvent(event);
  if (hooks.end != nullptr) hooks.end(begun, r != eventNotHandledErr);
  return r;
}

WindowPtr PWindowHandlerBase::CreateWindow(const char* nibname) {
  IBNibRef nib = nullptr;
  if (nibname == nullptr || CreateNibReference(nibname, &nib) != noErr) return nullptr;
  WindowPtr w = CreateWindow(nib);
  DisposeNibReference(nib);
  return w;
}

void PWindowHandlerBase::DestroyWindow() {
  if (ehref) RemoveEventHandler(ehref);
  ehref = nullptr;
  WindowPtr w = GetWindow();
  delete wdrawer;
  wdrawer = nullptr;
  if (w) DisposeWindow(w);
}
