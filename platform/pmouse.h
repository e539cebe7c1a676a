// The mouse and the cursor: tracking a drag inside a click handler, the mouse position, the
// theme cursors, hiding the cursor until the mouse moves, and the alert sound.
//
// Tracking runs the event loop (windows keep repainting) until the mouse does something;
// the click handler that called it stays on the stack meanwhile, as a drag handler should.
#pragma once

#include "platform/ptypes.h"

typedef UInt16 MouseTrackingResult;
enum : MouseTrackingResult {
  kMouseTrackingMouseDown = 1,
  kMouseTrackingMouseUp = 2,
  kMouseTrackingMouseExited = 3,
  kMouseTrackingMouseEntered = 4,
  kMouseTrackingMouseDragged = 5,
  kMouseTrackingKeyModifiersChanged = 6,
  kMouseTrackingUserCancelled = 7,  // Escape pressed, or the application quitting
  kMouseTrackingTimedOut = 8,
  kMouseTrackingMouseMoved = 9
};

// Waits until the mouse moves with its button held (kMouseTrackingMouseDragged) or the button
// is released (kMouseTrackingMouseUp, at the release point), and gives the point in the port's
// coordinates (NULL: the current port; global coordinates when there is none). With no button
// held it answers kMouseTrackingMouseUp at once; moves made while the caller was busy are not
// lost: the next call reports the latest.
OSStatus TrackMouseLocation(GrafPtr port, Point* outPt, MouseTrackingResult* outResult);
// The same with a timeout in seconds (kEventDurationForever: none), after which it answers
// kMouseTrackingTimedOut; outModifiers (may be NULL) gets the keyboard modifiers.
OSStatus TrackMouseLocationWithOptions(GrafPtr port, UInt32 options, EventTimeout timeout,
                                       Point* outPt, UInt32* outModifiers,
                                       MouseTrackingResult* outResult);
// Waits, with the button held, until the mouse has moved far enough from startPt (global) to
// start a drag (true), or the button is released (false).
bool WaitMouseMoved(Point startPt);
// The mouse position in global coordinates.
void GetGlobalMouse(Point* globalMouse);
// The desktop's double click: a second click counts only when it comes within GetDblTime ticks
// (1/60 s) of the first and lies within GetDblDistance pixels of it, across and down.
UInt32 GetDblTime();
int GetDblDistance();
// Whether a click at (now, pt) makes a double click with one at (then, first): times in seconds
// on the platform clock, points in one coordinate system. A negative then is no click.
bool IsDoubleClick(double then, Point first, double now, Point pt);
// True while a mouse button is held.
bool Button();

// The cursor shown over every window.
enum ThemeCursor {
  kThemeArrowCursor = 0,
  kThemeIBeamCursor = 4,
  kThemeCrossCursor = 5,
  kThemePlusCursor = 6,
  kThemeWatchCursor = 7,
  kThemeClosedHandCursor = 8,
  kThemeOpenHandCursor = 9,
  kThemePointingHandCursor = 10
};
OSStatus SetThemeCursor(ThemeCursor cursor);
// Hides the cursor until the mouse next moves.
void ObscureCursor();
// The alert sound.
void SysBeep(short duration);
