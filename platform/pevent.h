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
// Sends a command event (kEventCommandProcess with the command) to the user focus: the
// active window, then the application.
OSStatus ProcessHICommand(const HICommand* command);

// The queue. A posted event is dispatched to its target from the event loop, unless a wait
// takes it first.
EventQueueRef GetMainEventQueue();
OSStatus PostEventToQueue(EventQueueRef queue, EventRef event, EventTargetRef target);
// Waits up to timeout seconds on the platform clock for an event of one of the listed types,
// running the event loop meanwhile. With pullEvent the event leaves the queue and the caller
// owns it (release it); eventLoopTimedOutErr when none came.
OSStatus ReceiveNextEvent(UInt32 numTypes, const EventTypeSpec* list, EventTime timeout,
                          bool pullEvent, EventRef* outEvent);
// Runs the event loop once for whatever is pending (the nested loop of long work).
void RunPendingEvents();

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
// Seconds until the timer fires; a negative value when it is not armed or not known.
EventTime GetEventLoopTimerDelay(EventLoopTimerRef timer);
