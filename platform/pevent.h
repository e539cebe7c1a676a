// Events of the platform layer: typed events with named parameters, event targets
// (the application, each window, each control) with handler chains, the event queue, nested
// waits and one-shot timers on the platform clock.
//
// Dispatch: an event sent to a target runs that target's handlers registered for its (class,
// kind), the most recently installed first, then the target's standard handler; a handler
// that returns eventNotHandledErr passes the event on. An event no one at a control handled
// goes on to its window, and from a window to the application.
#pragma once

#include "platform/ptypes.h"

typedef OSStatus (*EventHandlerProcPtr)(EventHandlerCallRef, EventRef, void* userData);
typedef EventHandlerProcPtr EventHandlerUPP;
typedef void (*EventLoopTimerProcPtr)(EventLoopTimerRef, void* userData);
typedef EventLoopTimerProcPtr EventLoopTimerUPP;

inline EventHandlerUPP NewEventHandlerUPP(EventHandlerProcPtr p) {
  return p;
}
inline EventLoopTimerUPP NewEventLoopTimerUPP(EventLoopTimerProcPtr p) {
  return p;
}

// Events. A new event has a reference count of 1; ReleaseEvent drops one.
OSStatus CreateEvent(UInt32 eventClass, UInt32 eventKind, EventTime when, EventRef* outEvent);
EventRef RetainEvent(EventRef event);
void ReleaseEvent(EventRef event);
UInt32 GetEventClass(EventRef event);  // 0 for a stale event
UInt32 GetEventKind(EventRef event);
EventTime GetEventTime(EventRef event);
OSStatus SetEventParameter(EventRef event, EventParamName name, EventParamType type, UInt32 size,
                           const void* data);
// Copies a parameter of the desired type (typeWildCard: any) into data, at most bufferSize
// bytes; eventParameterNotFoundErr when absent or of another type.
OSStatus GetEventParameter(EventRef event, EventParamName name, EventParamType desiredType,
                           EventParamType* actualType, UInt32 bufferSize, UInt32* actualSize,
                           void* data);

// Targets and handlers.
EventTargetRef GetApplicationEventTarget();
OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, UInt32 numTypes,
                             const EventTypeSpec* list, void* userData, EventHandlerRef* outRef);
OSStatus RemoveEventHandler(EventHandlerRef handler);
OSStatus AddEventTypesToHandler(EventHandlerRef handler, UInt32 numTypes,
                                const EventTypeSpec* list);
// Runs the rest of the chain (later handlers, then the standard handler) of the target being
// dispatched to.
OSStatus CallNextEventHandler(EventHandlerCallRef callRef, EventRef event);
OSStatus SendEventToEventTarget(EventRef event, EventTargetRef target);
// The command gate: while it refuses a command, every command-process event of that command
// (from a menu, a shortcut, a control or ProcessHICommand) is taken without reaching a handler,
// the command's menu items are disabled after their update and the controls sending it are
// greyed (UpdateGatedControls in pcontrol.h). NULL: none refused.
void SetCommandGate(bool (*refuses)(UInt32 command));
bool CommandRefused(UInt32 command);
// Sends a command event (kEventCommandProcess with the command) to the focused window (the
// active one, else the one in front), then the application.
OSStatus ProcessHICommand(const HICommand* command);

// Events the layer makes and what ReceiveNextEvent hands out after waiting for any event.
enum : UInt32 { kEventClassPlatform = FourCC("plat"), kEventPlatformDispatched = 1 };

// The queue and waits. The events of the layer come from Qt (input on windows, controls and
// menus) and from timers; they are dispatched as Qt delivers them, from whatever loop runs:
// the application loop or a nested wait. Every wait runs Qt's own event loop, so windows keep
// repainting and their controls keep working while it waits.
//
// A wait ends early with eventLoopQuitErr once the application quits (QuitApplicationEventLoop),
// and every later wait does the same until the application loop has returned.
EventQueueRef GetMainEventQueue();
// Posts an event to be dispatched to its target (NULL: the application) from the event loop,
// unless a wait takes it first.
OSStatus PostEventToQueue(EventQueueRef queue, EventRef event, EventTargetRef target);
// Waits up to timeout seconds on the platform clock (kEventDurationNoWait: runs only what is
// pending; kEventDurationForever: no limit) while running the event loop.
// - With a list of types, for a posted event or a mouse-up of one of the listed types: with
//   pullEvent the event is taken and the caller owns it (release it); without, it stays
//   pending for its target. Other events are dispatched meanwhile.
// - With no types (numTypes 0), for any event to be dispatched: the wait ends once one was
//   (or, with no time to wait, once what was pending has run and at least one event was among
//   it), and hands out an event of class kEventClassPlatform, kind kEventPlatformDispatched,
//   that only says so; sending it to GetEventDispatcherTarget does nothing more. Release it
//   when pulled.
// eventLoopTimedOutErr when nothing came in time; eventLoopQuitErr when the application quits.
OSStatus ReceiveNextEvent(UInt32 numTypes, const EventTypeSpec* list, EventTime timeout,
                          bool pullEvent, EventRef* outEvent);
EventTargetRef GetEventDispatcherTarget();
// Runs the event loop once for whatever is pending.
void RunPendingEvents();

// The application loop: posts the open-documents event of the command line (pdocuments.h), then
// runs until QuitApplicationEventLoop. Quitting ends every wait in progress at once (nested
// waits return eventLoopQuitErr, popped-up menus close), then the application loop returns; a
// quit before the loop runs makes it return at once.
void RunApplicationEventLoop();
void QuitApplicationEventLoop();

// Rest: the loop waits for events with nothing else in progress: no event being dispatched (but
// the timer that asks, when it fired from the loop itself), no wait, and no loop of Qt's own (a
// menu popped up, a drag, a dialog of Qt's). Work that must never interleave with an operation
// halfway through (a catalogue sync, say) runs only then.
bool EventLoopAtRest();
// The hook runs each time a dispatch ends with the loop back at rest (no outer dispatch and no
// wait), after every event and timer firing handled straight from the loop; null: none.
void SetEventLoopRestHook(void (*hook)());

// The platform clock and one-shot timers. The clock follows real time; tests may put it under
// manual control, then it moves only through AdvancePlatformClock (and jumps to the deadline
// of a wait that nothing else can end).
EventTime GetCurrentEventTime();
void SetManualPlatformClock(bool manual);
void AdvancePlatformClock(EventTime seconds);  // fires the timers that fall due, in order

// A timer fires once, fireDelay seconds from now (the interval must be 0: no repeating
// timers); SetEventLoopTimerNextFireTime arms it again.
OSStatus InstallEventLoopTimer(EventTime fireDelay, EventTime interval, EventLoopTimerUPP proc,
                               void* userData, EventLoopTimerRef* outTimer);
OSStatus SetEventLoopTimerNextFireTime(EventLoopTimerRef timer, EventTime nextFire);
OSStatus RemoveEventLoopTimer(EventLoopTimerRef timer);
// Seconds until the timer fires (0 when its time has passed and it waits for the loop); a
// negative value when it is not armed or not known.
EventTime GetEventLoopTimerDelay(EventLoopTimerRef timer);
