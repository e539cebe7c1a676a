// Private state of the platform layer shared by its files: the handle tables and the records
// behind each kind of handle.
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/pevent.h"
#include "platform/pcontrol.h"

class QMenuBar;
class QAction;

namespace plat {

// Every handle is a number drawn from one counter and never reused, so a handle of a gone
// object (or of another kind) is simply not found. The tables and the other state of the layer
// are made once and never destroyed, so they outlive every caller.
uintptr_t NewId();

template <class T>
class Table {
 public:
  uintptr_t Add(T* p) {
    uintptr_t id = NewId();
    map_[id] = p;
    return id;
  }
  T* Find(uintptr_t id) const {
    auto it = map_.find(id);
    return it == map_.end() ? nullptr : it->second;
  }
  T* Find(const void* h) const { return Find(reinterpret_cast<uintptr_t>(h)); }
  void Remove(uintptr_t id) { map_.erase(id); }
  const std::unordered_map<uintptr_t, T*>& All() const { return map_; }

 private:
  std::unordered_map<uintptr_t, T*> map_;
};

template <class H>
H ToHandle(uintptr_t id) {
  return reinterpret_cast<H>(id);
}
inline uintptr_t FromHandle(const void* h) {
  return reinterpret_cast<uintptr_t>(h);
}

// Events and targets.
struct EventParam {
  UInt32 name, type;
  std::vector<unsigned char> data;
};
struct EventRec {
  UInt32 cls, kind;
  EventTime when;
  int refs;
  std::vector<EventParam> params;
};
typedef OSStatus (*StandardHandler)(EventRef event, uintptr_t owner);
struct TargetRec {
  uintptr_t parent = 0;             // where unhandled events go next
  std::vector<uintptr_t> handlers;  // most recently installed first
  StandardHandler standard = nullptr;
  uintptr_t owner = 0;  // the window or control
};
Table<EventRec>& Events();
Table<TargetRec>& Targets();
uintptr_t NewTarget(uintptr_t parent, StandardHandler standard, uintptr_t owner);
void DeleteTarget(uintptr_t id);  // removes its handlers too
OSStatus SendEvent(UInt32 cls, UInt32 kind, uintptr_t target);

// Windows, ports and controls.
class FrameWidget;

struct WindowRec {
  uintptr_t id = 0, target = 0, port = 0;
  FrameWidget* frame = nullptr;
  QWidget* content = nullptr;  // shows the port
  QMenuBar* menubar = nullptr;
  QImage image;  // the port
  std::vector<uintptr_t> controls;
  std::vector<uintptr_t> lists;
  int programmaticResize = 0;  // SizeWindow in progress: no resize events go out
  // (menu id, item index) -> the action that shows the item in this window's menu bar
  std::vector<std::pair<std::pair<uintptr_t, int>, QPointer<QAction>>> actions;
};
struct ControlRec {
  uintptr_t id = 0, target = 0, window = 0;
  QPointer<QWidget> widget;
  ControlKind kind = kControlKindUnknown;
  ControlID cid{0, 0};
  UInt32 command = 0;
  std::vector<uintptr_t> subs;  // tab control: the user pane of each tab
  bool settingValue = false;    // a value set through the layer sends no hit event
};
Table<WindowRec>& Windows();
Table<ControlRec>& Controls();
WindowRec* WindowOfWidget(const QWidget* w);
void DisposeControl(uintptr_t id);
// Sends a control hit; when no one takes it, the control's command.
void SendControlHit(ControlRec* c, ControlPartCode part);
void DisposeListsOf(WindowRec* w);
void RebuildMenuBar(WindowRec* w);
// Fits the frame around the content and the menu bar after the menu bar changed.
void ArrangeFrame(WindowRec* w);
uintptr_t NewPort(uintptr_t window);
void ForgetPort(uintptr_t port);
// Asks the window for its minimum content size and makes the frame keep to it.
void UpdateMinimumSize(WindowRec* w);
// The window-local rectangle of a widget inside a window's content.
Rect LocalRect(WindowRec* w, const QWidget* widget);

// Turns Qt input on window contents into window events; installed with the first window.
void InstallInputFilter();
// The click being dispatched from Qt input, if any: the standard content-click handling
// tells through it whether Qt should then deliver the click to the widget.
struct NativeClick {
  bool active = false;
  bool deliver = false;
  QWidget* widget = nullptr;
};
extern NativeClick g_nativeClick;

bool ValidUTF8(const char* s, size_t n);

}  // namespace plat
