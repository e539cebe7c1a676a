// Mouse tracking, the mouse position, cursors and the alert sound.
#include "platform/pmouse.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QStyleHints>
#include <algorithm>
#include <cstdlib>

#include "platform/ppriv.h"
#include "platform/pqt.h"

using namespace plat;

namespace {

struct Tracker {
  LoopWait wait;
  MouseTrackingResult result = 0;
};
std::vector<Tracker*>& Trackers() {
  static auto* t = new std::vector<Tracker*>;
  return *t;
}

struct CursorState {
  ThemeCursor shape = kThemeArrowCursor;
  bool obscured = false;
  bool overriding = false;  // our cursor is on Qt's override stack
};
CursorState& Cursor() {
  static CursorState c;
  return c;
}

Qt::CursorShape ShapeOf(ThemeCursor c) {
  switch (c) {
    case kThemeIBeamCursor:
      return Qt::IBeamCursor;
    case kThemeCrossCursor:
    case kThemePlusCursor:
      return Qt::CrossCursor;
    case kThemeWatchCursor:
      return Qt::WaitCursor;
    case kThemeClosedHandCursor:
      return Qt::ClosedHandCursor;
    case kThemeOpenHandCursor:
      return Qt::OpenHandCursor;
    case kThemePointingHandCursor:
      return Qt::PointingHandCursor;
    default:
      return Qt::ArrowCursor;
  }
}

// Puts the wanted cursor on Qt's override stack, or takes ours off for the arrow.
void ApplyCursor() {
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return;
  CursorState& c = Cursor();
  const bool want = c.obscured || c.shape != kThemeArrowCursor;
  if (!want) {
    if (c.overriding) QGuiApplication::restoreOverrideCursor();
    c.overriding = false;
    return;
  }
  QCursor cur(c.obscured ? Qt::BlankCursor : ShapeOf(c.shape));
  if (c.overriding)
    QGuiApplication::changeOverrideCursor(cur);
  else
    QGuiApplication::setOverrideCursor(cur);
  c.overriding = true;
}

QPointF LastGlobal() {
  return Mouse().known ? Mouse().global : QPointF(QCursor::pos());
}

Point ToPoint(QPointF p) {
  return Point{static_cast<short>(std::clamp(p.y(), -32768.0, 32767.0)),
               static_cast<short>(std::clamp(p.x(), -32768.0, 32767.0))};
}

}  // namespace

namespace plat {

MouseState& Mouse() {
  static MouseState m;
  return m;
}

bool MouseTracking() {
  return !Trackers().empty() && !Trackers().back()->wait.done;
}

bool FeedMouseTracker(MouseTrackingResult what) {
  if (!MouseTracking()) return false;
  Tracker* t = Trackers().back();
  t->result = what;
  t->wait.Stop();
  return true;
}

void CursorMoved() {
  if (!Cursor().obscured) return;
  Cursor().obscured = false;
  ApplyCursor();
}

}  // namespace plat

OSStatus TrackMouseLocationWithOptions(GrafPtr port, UInt32, EventTimeout timeout, Point* outPt,
                                       UInt32* outModifiers, MouseTrackingResult* outResult) {
  if (outResult == nullptr) return paramErr;
  MouseState& m = Mouse();
  MouseTrackingResult result;
  if (Quitting()) {
    result = kMouseTrackingUserCancelled;
  } else if (m.pendingMove) {
    result = kMouseTrackingMouseDragged;
  } else if (m.buttons == Qt::NoButton) {
    result = kMouseTrackingMouseUp;
  } else {
    Tracker t;
    Trackers().push_back(&t);
    OSStatus r = RunLoopWait(&t.wait, timeout);
    Trackers().pop_back();
    if (r == noErr)
      result = t.result;
    else if (r == eventLoopTimedOutErr)
      result = kMouseTrackingTimedOut;
    else
      result = kMouseTrackingUserCancelled;
  }
  m.pendingMove = false;
  *outResult = result;
  if (outModifiers) *outModifiers = m.modifiers;
  if (outPt) {
    QPointF p = LastGlobal();
    if (port == nullptr) port = GetQDPort();
    if (QWidget* content = PlatformPortWidget(port)) p = content->mapFromGlobal(p);
    *outPt = ToPoint(p);
  }
  return noErr;
}

OSStatus TrackMouseLocation(GrafPtr port, Point* outPt, MouseTrackingResult* outResult) {
  return TrackMouseLocationWithOptions(port, 0, kEventDurationForever, outPt, nullptr, outResult);
}

bool WaitMouseMoved(Point startPt) {
  const int slop = QApplication::startDragDistance();
  for (;;) {
    if (Mouse().buttons == Qt::NoButton || Quitting()) return false;
    QPointF d = LastGlobal() - QPointF(startPt.h, startPt.v);
    if (qAbs(d.x()) >= slop || qAbs(d.y()) >= slop) return true;
    MouseTrackingResult r = 0;
    TrackMouseLocation(nullptr, nullptr, &r);
    if (r != kMouseTrackingMouseDragged) return false;
  }
}

void GetGlobalMouse(Point* globalMouse) {
  if (globalMouse) *globalMouse = ToPoint(LastGlobal());
}

UInt32 GetDblTime() {
  const int ms = QGuiApplication::styleHints()->mouseDoubleClickInterval();
  return ms > 0 ? static_cast<UInt32>((static_cast<long long>(ms) * 60 + 999) / 1000) : 0;
}

int GetDblDistance() {
  return std::max(0, QGuiApplication::styleHints()->mouseDoubleClickDistance());
}

bool IsDoubleClick(double then, Point first, double now, Point pt) {
  if (then < 0 || now < then || now - then > GetDblTime() / 60.0) return false;
  const int d = GetDblDistance();
  return std::abs(pt.h - first.h) <= d && std::abs(pt.v - first.v) <= d;
}

bool Button() {
  return Mouse().buttons != Qt::NoButton;
}

OSStatus SetThemeCursor(ThemeCursor cursor) {
  Cursor().shape = cursor;
  ApplyCursor();
  return noErr;
}

void ObscureCursor() {
  Cursor().obscured = true;
  ApplyCursor();
}

void SysBeep(short) {
  QApplication::beep();
}
