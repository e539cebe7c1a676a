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

#include "platform/pcontrol.h"
#include "platform/pevent.h"
#include "platform/pmouse.h"
#include "platform/pwindow.h"

class QFontMetricsF;
class QLabel;
class QMenuBar;
class QAction;
class QDialog;
class QEventLoop;
class QMouseEvent;
class QPainter;

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

// Dispatch accounting: every event sent to a target, and every timer firing, is a dispatch;
// one that completes at the depth where the innermost wait began ends a wait for any event.
void BeginDispatch();
void EndDispatch();
bool IsDispatchedToken(EventRef e);
// A wait in progress: a nested event loop that ends when Stop is called.
struct LoopWait {
  bool any = false;                     // ends on any dispatch
  const EventTypeSpec* list = nullptr;  // takes a delivered event of these types
  UInt32 n = 0;
  EventRef taken = nullptr;
  uintptr_t takenTarget = 0;
  int base = 0, dispatched = 0;
  bool done = false;
  QEventLoop* loop = nullptr;
  void Stop();
};
// Runs the event loop until the wait is stopped (noErr), the timeout passes
// (eventLoopTimedOutErr; below 0: none) or the application quits (eventLoopQuitErr).
OSStatus RunLoopWait(LoopWait* w, EventTime timeout);
// Shows a dialog of Qt's application-modal, above every window of the program and fitted to its
// screen, and waits in the platform's loop until it is done;
// *current names it meanwhile, for whoever answers it. A quit meanwhile rejects it. True when it
// was accepted; it is hidden on return.
bool RunModalDialog(QDialog* d, QPointer<QDialog>* current);
// Hands an event to the innermost wait that asks for it, else sends it to its target.
void DeliverEvent(EventRef event, uintptr_t target);
bool Quitting();
// The command gate's one rule for menus: when the gate refuses the command, its item (the one
// named, else the first in the menu bar carrying it) is greyed. It runs after every update,
// and after each menu's walk of updates, so that no update leaves a refused item live.
void GreyIfRefused(const HICommand& cmd);

// Windows, ports and controls.
class FrameWidget;

struct WindowRec {
  uintptr_t id = 0, target = 0, port = 0;
  WindowClass wclass = kDocumentWindowClass;
  FrameWidget* frame = nullptr;
  QWidget* content = nullptr;   // shows the port
  QMenuBar* menubar = nullptr;  // document windows only
  QImage image;                 // the port
  // A part of the port that ScrollWindowRect moved by turning it instead of moving its pixels:
  // the picture's pixel (x, y) within `rolled` is stored at
  // (left + (x - left + roll.x) mod width, top + (y - top + roll.y) mod height) of `image`.
  // Empty when nothing is rolled.
  QRect rolled;
  QPoint roll;
  std::vector<uintptr_t> controls;
  std::vector<uintptr_t> lists;
  uintptr_t root = 0;  // the root control: the content itself
  uintptr_t defaultButton = 0, cancelButton = 0;
  int programmaticResize = 0;  // SizeWindow in progress: no resize events go out
  bool constructing = false;   // being laid out or reframed: no window events go out
  bool frameless = false;      // its content covers a whole screen
  QSize formSize;              // the content's size as its form made it
  // The least content size the window asks (its minimum-size query); a frame that its screen
  // keeps smaller scrolls the content instead.
  QSize contentMin;
  // Shown and not yet framed by the desktop: fitted to its screen again once it is, when the
  // room its frame takes is known.
  bool fitWhenFramed = false;
  // The control the menu bar took the keyboard from (Alt pressed), while the bar holds it.
  QPointer<QWidget> menuBarTookFocusFrom;
};
struct ControlRec {
  uintptr_t id = 0, target = 0, window = 0;
  QPointer<QWidget> widget;
  ControlKind kind = kControlKindUnknown;
  ControlID cid{0, 0};
  UInt32 command = 0;
  std::vector<uintptr_t> subs;  // tab control: the user pane of each tab
  uintptr_t menu = 0;           // pop-up button: the menu of its items
  uintptr_t list = 0;           // a list's scroll bar: the list it scrolls
  bool settingValue = false;    // a value set through the layer sends no hit event
  bool wanted = true;           // enabled, as EnableControl and DisableControl last left it
  bool gated = false;           // greyed while the command gate refuses its command
  bool madeInCode = false;      // its widget goes with it
  // While HandleControlClick tracks it: the part its changes report instead of hits.
  bool tracking = false;
  ControlPartCode trackedPart = kControlNoPart;
};
Table<WindowRec>& Windows();
Table<ControlRec>& Controls();
WindowRec* WindowOfWidget(const QWidget* w);
QWidget* FrameOf(const WindowRec* w);  // the top-level widget
// The window that takes commands and keys: the active one, else the one in front; 0 when no
// window is shown.
uintptr_t FocusWindow();
// Forgets a control; a control made in code loses its widget too.
void ForgetControl(uintptr_t id);
// Makes a control of a widget of a window's content.
ControlRec* AddControl(WindowRec* w, QWidget* widget, const ControlID& cid);
// Sends a control hit; when no one takes it, the command (0: the control's own).
void SendControlHit(ControlRec* c, ControlPartCode part, UInt32 command = 0);
// Sends a control click; true when a handler took it.
bool SendControlClick(ControlRec* c, Point global, UInt32 modifiers);
// The control under a window-local point: the deepest one shown.
ControlRec* ControlAt(WindowRec* w, QPoint local);
void DisposeListsOf(WindowRec* w);
// The nib name of a nib reference; NULL for a stale one.
const std::string* NibName(IBNibRef nib);
// Gives a new document window the menu bar.
void AttachMenuBar(WindowRec* w);
bool MenuBarHidden();
// Fits the frame around the content and the menu bar after the menu bar changed.
void ArrangeFrame(WindowRec* w);
uintptr_t NewPort(uintptr_t window);
void ForgetPort(uintptr_t port);
// Asks the window for its minimum content size and makes the frame keep to it, as far as its
// screen has room; the content scrolls within a frame kept smaller.
void UpdateMinimumSize(WindowRec* w);
// Fits a top-level widget into its screen's room for windows: no larger than that room less
// the desktop's frame around it, and the frame wholly on the screen. A window the desktop places
// itself (never moved) is left where it is until it is framed.
void FitToScreen(QWidget* top);
// Makes a window stay above every window of the program (transient for none of them, which
// the desktop takes as transient for them all) and fitted to its screen once shown: the dialogs
// of Qt's the layer runs.
void KeepAboveProgram(QWidget* top);
// Lays a dialog that has a word-wrapped label out afresh for what its labels say now: as wide
// as its form, or as its other controls need, but no wider than the room its screen has; each
// such label's text broken for the label's width (BreakLabelText); and as tall as the form, or
// as the labels' lines need. Other windows are left as they are.
void FitDialog(WindowRec* w);
// Rectangles between the layer and Qt; a Rect keeps to 16 bits.
Rect ToRect(const QRect& r);
QRect ToQRect(const Rect& r);
// Moves a rolled part of the port's image back to where its picture is (see WindowRec::rolled).
void UnrollPort(WindowRec* w);
// Where the port's image keeps the picture's pixel (x, y) of a rolled part (it must lie within
// w->rolled).
QPoint RolledStore(const WindowRec* w, int x, int y);
// Paints area (window-local) of the port's picture at the same place on p, through any roll.
void PaintPort(QPainter& p, const WindowRec* w, const QRect& area);
// The window-local rectangle of a widget inside a window's content.
Rect LocalRect(WindowRec* w, const QWidget* widget);

// Turns Qt input on window contents into window events; installed with the first window.
void InstallInputFilter();
// The click being dispatched from Qt input, if any: the standard content-click handling
// tells through it whether Qt should then deliver the click to the widget; HandleControlClick
// delivers it at once and tracks it.
struct NativeClick {
  bool active = false;
  bool deliver = false;    // Qt gets the press after the dispatch
  bool delivered = false;  // Qt got the press during the dispatch
  QWidget* widget = nullptr;
  const QMouseEvent* event = nullptr;
};
extern NativeClick g_nativeClick;

// The mouse as Qt input last showed it, and the trackers waiting for it.
struct MouseState {
  QPointF global;
  bool known = false;
  Qt::MouseButtons buttons;
  UInt32 modifiers = 0;
  bool pendingMove = false;  // moved with the button held while no tracker waited
};
MouseState& Mouse();
// Gives what the mouse did to the innermost tracker; false when none waits.
bool FeedMouseTracker(MouseTrackingResult what);
bool MouseTracking();
// The mouse moved: a cursor hidden until then shows again.
void CursorMoved();

bool ValidUTF8(const char* s, size_t n);

// The text with a zero-width space at each further place where a line of the given width, in
// the metrics' font, must break it: a piece between two places where the text may break (after
// a space, a path's separator, a hyphen) that no line holds whole breaks after its path
// separators, and a part of it that is still too wide starts a new line and breaks between any
// two of its characters.
QString BreakableText(const QFontMetricsF& fm, const QString& text, qreal width);
// Shows a word-wrapped label's text broken for width (BreakableText); readers of the control's
// text still get it as it was set.
void BreakLabelText(QLabel* l, qreal width);

}  // namespace plat
