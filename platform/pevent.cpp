// Events, event targets with their handler chains, and dispatch.
#include "platform/pevent.h"

#include <algorithm>
#include <cstring>

#include "platform/pmenu.h"
#include "platform/ppriv.h"
#include "platform/pwindow.h"

namespace plat {

uintptr_t NewId() {
  static uintptr_t next = 0x1000;
  return next += 8;
}

Table<EventRec>& Events() {
  static auto* t = new Table<EventRec>;
  return *t;
}
Table<TargetRec>& Targets() {
  static auto* t = new Table<TargetRec>;
  return *t;
}

namespace {

struct HandlerRec {
  uintptr_t target;
  EventHandlerUPP proc;
  std::vector<EventTypeSpec> types;
  void* userData;
};
Table<HandlerRec>& Handlers() {
  static auto* t = new Table<HandlerRec>;
  return *t;
}

bool Wants(const HandlerRec* h, UInt32 cls, UInt32 kind) {
  for (const EventTypeSpec& s : h->types)
    if (s.eventClass == cls && s.eventKind == kind) return true;
  return false;
}

// Where a dispatch stands on one target: the handlers it runs (a copy, so handlers may come
// and go meanwhile) and the next one to run.
struct CallState {
  uintptr_t target;
  uintptr_t ids[32];
  int n;
  int next;
};

// The dispatches in progress, innermost last: a call reference is good only while its
// dispatch runs.
std::vector<CallState*>& Active() {
  static auto* a = new std::vector<CallState*>;
  return *a;
}

OSStatus RunChain(CallState* cs, EventRef event) {
  EventRec* ev = Events().Find(event);
  if (ev == nullptr) return paramErr;
  const UInt32 cls = ev->cls, kind = ev->kind;
  while (cs->next < cs->n) {
    HandlerRec* h = Handlers().Find(cs->ids[cs->next++]);
    if (h == nullptr || !Wants(h, cls, kind)) continue;
    OSStatus r = h->proc(reinterpret_cast<EventHandlerCallRef>(cs), event, h->userData);
    if (r != eventNotHandledErr) return r;
  }
  if (cs->next == cs->n) {
    ++cs->next;  // the standard handler runs once
    TargetRec* t = Targets().Find(cs->target);
    if (t != nullptr && t->standard != nullptr) return t->standard(event, t->owner);
  }
  return eventNotHandledErr;
}

}  // namespace

uintptr_t NewTarget(uintptr_t parent, StandardHandler standard, uintptr_t owner) {
  TargetRec* t = new TargetRec;
  t->parent = parent;
  t->standard = standard;
  t->owner = owner;
  return Targets().Add(t);
}

void DeleteTarget(uintptr_t id) {
  TargetRec* t = Targets().Find(id);
  if (t == nullptr) return;
  for (uintptr_t h : t->handlers) {
    delete Handlers().Find(h);
    Handlers().Remove(h);
  }
  Targets().Remove(id);
  delete t;
}

OSStatus SendEvent(UInt32 cls, UInt32 kind, uintptr_t target) {
  EventRef ev = nullptr;
  if (CreateEvent(cls, kind, GetCurrentEventTime(), &ev) != noErr) return memFullErr;
  OSStatus r = SendEventToEventTarget(ev, ToHandle<EventTargetRef>(target));
  ReleaseEvent(ev);
  return r;
}

}  // namespace plat

using namespace plat;

OSStatus CreateEvent(UInt32 eventClass, UInt32 eventKind, EventTime when, EventRef* outEvent) {
  if (outEvent == nullptr) return paramErr;
  EventRec* e = new EventRec{eventClass, eventKind, when, 1, {}};
  *outEvent = ToHandle<EventRef>(Events().Add(e));
  return noErr;
}

EventRef RetainEvent(EventRef event) {
  EventRec* e = Events().Find(event);
  if (e == nullptr) return nullptr;
  ++e->refs;
  return event;
}

void ReleaseEvent(EventRef event) {
  EventRec* e = Events().Find(event);
  if (e == nullptr || --e->refs > 0) return;
  Events().Remove(FromHandle(event));
  delete e;
}

UInt32 GetEventClass(EventRef event) {
  EventRec* e = Events().Find(event);
  return e ? e->cls : 0;
}
UInt32 GetEventKind(EventRef event) {
  EventRec* e = Events().Find(event);
  return e ? e->kind : 0;
}
EventTime GetEventTime(EventRef event) {
  EventRec* e = Events().Find(event);
  return e ? e->when : 0;
}

OSStatus SetEventParameter(EventRef event, EventParamName name, EventParamType type, UInt32 size,
                           const void* data) {
  EventRec* e = Events().Find(event);
  if (e == nullptr || (data == nullptr && size > 0)) return paramErr;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (EventParam& q : e->params)
    if (q.name == name) {
      q.type = type;
      q.data.assign(p, p + size);
      return noErr;
    }
  e->params.push_back(EventParam{name, type, std::vector<unsigned char>(p, p + size)});
  return noErr;
}

OSStatus GetEventParameter(EventRef event, EventParamName name, EventParamType desiredType,
                           EventParamType* actualType, UInt32 bufferSize, UInt32* actualSize,
                           void* data) {
  EventRec* e = Events().Find(event);
  if (e == nullptr) return paramErr;
  for (const EventParam& q : e->params) {
    if (q.name != name) continue;
    if (desiredType != typeWildCard && desiredType != q.type) return eventParameterNotFoundErr;
    if (actualType) *actualType = q.type;
    UInt32 n = static_cast<UInt32>(q.data.size());
    if (actualSize) *actualSize = n;
    if (data != nullptr && n > 0) std::memcpy(data, q.data.data(), std::min(n, bufferSize));
    return noErr;
  }
  return eventParameterNotFoundErr;
}

EventTargetRef GetApplicationEventTarget() {
  static uintptr_t app = NewTarget(0, nullptr, 0);
  return ToHandle<EventTargetRef>(app);
}

OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, UInt32 numTypes,
                             const EventTypeSpec* list, void* userData, EventHandlerRef* outRef) {
  TargetRec* t = Targets().Find(target);
  if (t == nullptr || handler == nullptr || (numTypes > 0 && list == nullptr)) return paramErr;
  HandlerRec* h = new HandlerRec{FromHandle(target), handler, {list, list + numTypes}, userData};
  uintptr_t id = Handlers().Add(h);
  t->handlers.insert(t->handlers.begin(), id);
  if (outRef) *outRef = ToHandle<EventHandlerRef>(id);
  if (WindowRec* w = Windows().Find(t->owner)) UpdateMinimumSize(w);
  return noErr;
}

OSStatus RemoveEventHandler(EventHandlerRef handler) {
  HandlerRec* h = Handlers().Find(handler);
  if (h == nullptr) return paramErr;
  if (TargetRec* t = Targets().Find(h->target)) {
    auto& v = t->handlers;
    v.erase(std::remove(v.begin(), v.end(), FromHandle(handler)), v.end());
  }
  Handlers().Remove(FromHandle(handler));
  delete h;
  return noErr;
}

OSStatus AddEventTypesToHandler(EventHandlerRef handler, UInt32 numTypes,
                                const EventTypeSpec* list) {
  HandlerRec* h = Handlers().Find(handler);
  if (h == nullptr || (numTypes > 0 && list == nullptr)) return paramErr;
  h->types.insert(h->types.end(), list, list + numTypes);
  if (TargetRec* t = Targets().Find(h->target))
    if (WindowRec* w = Windows().Find(t->owner)) UpdateMinimumSize(w);
  return noErr;
}

OSStatus CallNextEventHandler(EventHandlerCallRef callRef, EventRef event) {
  CallState* cs = reinterpret_cast<CallState*>(callRef);
  if (std::find(Active().begin(), Active().end(), cs) == Active().end()) return paramErr;
  return RunChain(cs, event);
}

namespace {
bool (*commandGate)(UInt32 command) = nullptr;

// The command an event of the command class carries; false for any other event.
bool HICommandOf(EventRef event, HICommand* cmd) {
  return GetEventClass(event) == kEventClassCommand &&
         GetEventParameter(event, kEventParamDirectObject, typeHICommand, nullptr, sizeof *cmd,
                           nullptr, cmd) == noErr;
}
}  // namespace

void SetCommandGate(bool (*refuses)(UInt32 command)) {
  commandGate = refuses;
  UpdateGatedControls();
}

bool CommandRefused(UInt32 command) {
  return commandGate != nullptr && command != 0 && commandGate(command);
}

void plat::GreyIfRefused(const HICommand& cmd) {
  if (!CommandRefused(cmd.commandID)) return;
  MenuRef m = cmd.menuRef;
  MenuItemIndex i = cmd.menuItemIndex;
  if ((m == nullptr || i == 0) &&
      GetIndMenuItemWithCommandID(nullptr, cmd.commandID, 1, &m, &i) != noErr)
    return;
  DisableMenuItem(m, i);
}

OSStatus SendEventToEventTarget(EventRef event, EventTargetRef target) {
  if (Events().Find(event) == nullptr) return paramErr;
  if (IsDispatchedToken(event)) return noErr;  // it was dispatched as it arrived
  HICommand cmd{};
  if (GetEventKind(event) == kEventCommandProcess && HICommandOf(event, &cmd) &&
      CommandRefused(cmd.commandID))
    return noErr;  // held back: taken, and nothing done
  BeginDispatch();
  RetainEvent(event);  // handlers may release their reference meanwhile
  OSStatus r = eventNotHandledErr;
  uintptr_t id = FromHandle(target);
  if (Targets().Find(id) == nullptr) r = paramErr;
  for (int hops = 0; hops < 64 && r == eventNotHandledErr; ++hops) {
    TargetRec* t = Targets().Find(id);
    if (t == nullptr) break;
    CallState cs;
    cs.target = id;
    cs.n = static_cast<int>(std::min<size_t>(t->handlers.size(), 32));
    std::copy(t->handlers.begin(), t->handlers.begin() + cs.n, cs.ids);
    cs.next = 0;
    uintptr_t parent = t->parent;
    Active().push_back(&cs);
    r = RunChain(&cs, event);
    Active().pop_back();
    id = parent;
  }
  // A command the gate refuses stays greyed, whatever its update said.
  if (GetEventKind(event) == kEventCommandUpdateStatus && HICommandOf(event, &cmd))
    GreyIfRefused(cmd);
  ReleaseEvent(event);
  EndDispatch();
  return r;
}

OSStatus ProcessHICommand(const HICommand* command) {
  if (command == nullptr) return paramErr;
  EventRef ev = nullptr;
  CreateEvent(kEventClassCommand, kEventCommandProcess, GetCurrentEventTime(), &ev);
  SetEventParameter(ev, kEventParamDirectObject, typeHICommand, sizeof(HICommand), command);
  WindowRec* w = Windows().Find(FocusWindow());
  OSStatus r = SendEventToEventTarget(
      ev, w ? ToHandle<EventTargetRef>(w->target) : GetApplicationEventTarget());
  ReleaseEvent(ev);
  return r;
}
