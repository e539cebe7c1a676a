// Helpers of the platform tests: windows of the test nib, controls by id, and a handler that
// records what reaches a target.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <string>
#include <vector>

#include "platform/pcontrol.h"
#include "platform/pevent.h"
#include "platform/pwindow.h"

// A window of the test nib, shown and in front unless asked otherwise.
inline WindowRef MakeWindow(const char* name, bool show = true) {
  IBNibRef nib = nullptr;
  EXPECT_EQ(CreateNibReference("test", &nib), noErr);
  WindowRef w = nullptr;
  EXPECT_EQ(CreateWindowFromNib(nib, name, &w), noErr);
  DisposeNibReference(nib);
  if (show) {
    ShowWindow(w);
    SelectWindow(w);
    QApplication::processEvents();  // activation comes through the event loop
  }
  return w;
}

inline ControlRef Control(WindowRef w, const char (&sig)[5], int id) {
  ControlID cid{FourCC(sig), id};
  ControlRef c = nullptr;
  GetControlByID(w, &cid, &c);
  return c;
}

// Records the (class, kind) of every event that reaches a target, the commands processed and
// updated, and the part and control value of each hit; order, when given, gets the name of
// the target in the order the events arrive.
struct Log {
  std::vector<std::pair<UInt32, UInt32>> events;
  std::vector<UInt32> commands, updates;
  std::vector<ControlPartCode> parts;
  std::vector<SInt32> values;
  std::vector<std::string>* order = nullptr;
  std::string name;
  OSStatus result = eventNotHandledErr;
};
inline OSStatus LogEvent(EventHandlerCallRef, EventRef ev, void* ud) {
  Log* l = static_cast<Log*>(ud);
  l->events.push_back({GetEventClass(ev), GetEventKind(ev)});
  if (l->order) l->order->push_back(l->name);
  HICommand cmd;
  if (GetEventClass(ev) == kEventClassCommand &&
      GetEventParameter(ev, kEventParamDirectObject, typeHICommand, nullptr, sizeof cmd, nullptr,
                        &cmd) == noErr)
    (GetEventKind(ev) == kEventCommandProcess ? l->commands : l->updates).push_back(cmd.commandID);
  ControlPartCode part = 0;
  ControlRef c = nullptr;
  if (GetEventClass(ev) == kEventClassControl && GetEventKind(ev) == kEventControlHit &&
      GetEventParameter(ev, kEventParamControlPart, typeControlPartCode, nullptr, sizeof part,
                        nullptr, &part) == noErr &&
      GetEventParameter(ev, kEventParamDirectObject, typeControlRef, nullptr, sizeof c, nullptr,
                        &c) == noErr) {
    l->parts.push_back(part);
    l->values.push_back(GetControlValue(c));
  }
  return l->result;
}

// Installs LogEvent for the given event kinds on a target; removed with the object.
class LogHandler {
 public:
  LogHandler(EventTargetRef t, std::vector<EventTypeSpec> kinds, Log* log) {
    InstallEventHandler(t, LogEvent, UInt32(kinds.size()), kinds.data(), log, &ref_);
  }
  ~LogHandler() { RemoveEventHandler(ref_); }
  LogHandler(const LogHandler&) = delete;
  LogHandler& operator=(const LogHandler&) = delete;

 private:
  EventHandlerRef ref_ = nullptr;
};
