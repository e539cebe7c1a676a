// Windows of the platform layer and their ports.
//
// A window is made from an interface description: a Qt Designer form compiled into the
// program and registered under a nib name and a window name. Every widget of the form whose
// objectName reads "ssss:N" or "ssss_N" (a four-character signature and an id) becomes a control
// of the window (pcontrol.h); other widgets of the form work as Qt makes them, unaddressed.
//
// The form's top widget says what kind of window it is in its dynamic property "windowKind":
// "document" (the default) shows the menu bar above its content; "dialog" (a movable modal
// window: modal by convention only, every window keeps working) and "floating" (a small tool
// window) have none. A push button of the form whose "default" property is set is the window's
// default button (Return and Enter press it); one with the dynamic property "cancel" set is its
// cancel button (Escape presses it).
//
// A window's port is an image of its content size; drawers paint into it and the window shows it
// behind its controls. Coordinates of a port are window-local, with (0, 0) at the top left of the
// content; global coordinates are the screen's.
//
// Window events (class kEventClassWindow) go to the window's target, then the application:
// shown, hidden, activated and deactivated, focus acquired and relinquished (with activation),
// content clicks, close (the standard handling disposes of the window), resize completed, zoom,
// and the minimum-size query.
#pragma once

#include <functional>

#include "platform/ptypes.h"

class QWidget;

typedef UInt32 WindowClass;
enum : WindowClass {
  kMovableModalWindowClass = 4,  // a dialog
  kFloatingWindowClass = 5,
  kDocumentWindowClass = 6
};

// Interface descriptions. setup builds the form's widgets into the given content widget (the
// setupUi of a compiled form).
void RegisterNibWindow(const char* nibName, const char* windowName,
                       std::function<void(QWidget*)> setup);
OSStatus CreateNibReference(const char* nibName, IBNibRef* outNib);
void DisposeNibReference(IBNibRef nib);
// Creates the named window, hidden, at the form's size. resNotFound for a name the nib lacks.
OSStatus CreateWindowFromNib(IBNibRef nib, const char* windowName, WindowRef* outWindow);

// Windows.
bool IsValidWindowPtr(WindowRef w);
OSStatus GetWindowClass(WindowRef w, WindowClass* outClass);
void DisposeWindow(WindowRef w);
void ShowWindow(WindowRef w);
void HideWindow(WindowRef w);
bool IsWindowVisible(WindowRef w);
void SelectWindow(WindowRef w);  // brings it to the front and activates it
// The front document or dialog window (the last one shown, selected or activated; floating
// windows do not count); NULL when none is shown.
WindowRef ActiveNonFloatingWindow();
EventTargetRef GetWindowEventTarget(WindowRef w);
// Modal waits. A dialog the program waits on, from BeginModalWait to EndModalWait (nested
// waits allowed), is kept above the dialog waited on before it, else above every window of the
// program (transient for none of them, which the desktop takes as transient for them all), so
// that no click on another of its windows buries it. Qt's modal dialogs that the layer runs
// (the file dialog, print and page setup) are kept so too. While such a dialog is shown, or one
// of Qt's modal dialogs is up, the menus' keyboard shortcuts do nothing: the keys go to the
// widget that has the keyboard.
void BeginModalWait(WindowRef dialog);
void EndModalWait(WindowRef dialog);
bool InModalWait();
// Keeps w above owner as the desktop keeps a dialog above the window it belongs to (transient
// for it), also when owner is clicked or activated meanwhile; a NULL owner: above every window
// of the program. A shown window takes the change at once.
void SetWindowOwner(WindowRef w, WindowRef owner);
// Paints the window's content and controls at once, without waiting for the event loop, and
// true when it showed on screen. A window that was just shown and is not on screen yet (the
// desktop places it first) is waited for meanwhile, the event loop running, at most maxwait
// seconds.
bool DrawWindowNow(WindowRef w, double maxwait);
// The window's title as UTF-8; SetWindowTitle refuses text that is not UTF-8 (paramErr).
OSStatus SetWindowTitle(WindowRef w, const char* utf8);
// Copies the title (not terminated) into buf, at most size bytes; actualSize: its whole length.
OSStatus GetWindowTitle(WindowRef w, char* buf, UInt32 size, UInt32* actualSize);

// Geometry. Every window is fitted to its screen as it shows, again once the desktop has framed
// it, and when its bounds are set (a place given back): no larger than the screen's room for
// windows (its available bounds) less the desktop's frame, and that frame wholly on the screen.
// A window whose minimum content size is more than that room keeps it for its content, which
// then scrolls within the window.
// Content size in pixels; update asks for a redraw of the whole content.
void SizeWindow(WindowRef w, short width, short height, bool update);
// kWindowContentRgn: the content in global coordinates; kWindowStructureRgn: the frame (the
// menu bar and the content; the window manager's decorations are not counted).
OSStatus GetWindowBounds(WindowRef w, WindowRegionCode region, Rect* bounds);
// Moves and sizes the window so that the region has the given global bounds, without resize
// events. Content bounds that cover a whole screen make the window frameless, so that the
// content can reach past the screen's edges; other bounds give it its frame back.
OSStatus SetWindowBounds(WindowRef w, WindowRegionCode region, const Rect* bounds);
// The port's bounds: (0, 0, content height, content width).
Rect* GetWindowPortBounds(WindowRef w, Rect* bounds);

// Screens. The screen holding the greatest area of the window's region, and that screen's
// whole rectangle; its available bounds leave out the desktop's panels. Screen handles are
// good until the screens change.
OSStatus GetWindowGreatestAreaDevice(WindowRef w, WindowRegionCode region, GDHandle* outDevice,
                                     Rect* outDeviceRect);
OSStatus GetAvailableWindowPositioningBounds(GDHandle device, Rect* outBounds);
// How far the window's frame reaches past its content on each side: the menu bar and the
// desktop's frame (known once a window of its kind was shown, else 0 for the latter).
OSStatus GetWindowStructureWidths(WindowRef w, Rect* outWidths);

// Default and cancel buttons (push buttons of the window); NULL removes the role. A default
// button that is hidden or disabled is not pressed.
OSStatus SetWindowDefaultButton(WindowRef w, ControlRef button);
OSStatus GetWindowDefaultButton(WindowRef w, ControlRef* outButton);  // NULL when none
OSStatus SetWindowCancelButton(WindowRef w, ControlRef button);
OSStatus GetWindowCancelButton(WindowRef w, ControlRef* outButton);

// Ports and drawing. Drawing goes to the current port, clipped to it; with no current port
// (or a port whose window is gone) it does nothing. Richer drawing goes through a PortPainter
// (pqt.h).
GrafPtr GetWindowPort(WindowRef w);
void GetGWorld(GrafPtr* port, GDHandle* device);
void SetGWorld(GrafPtr port, GDHandle device);
void SetPortWindowPort(WindowRef w);
GrafPtr GetQDPort();  // the current port
void RGBForeColor(const RGBColor* c);
void RGBBackColor(const RGBColor* c);
void EraseRect(const Rect* r);        // fills with the back colour (white at first)
void PaintRect(const Rect* r);        // fills with the fore colour (black at first)
void FrameRect(const Rect* r);        // a one-pixel outline inside r in the fore colour
void MoveTo(short h, short v);        // pen position: the left end of the text's base line
void DrawUTF8Text(const char* text);  // draws at the pen and moves it past the text
// Draws a w x h image of RGB bytes scaled into r.
void DrawRGBImage(const Rect* r, const unsigned char* rgb, int w, int h, int rowBytes);
// The port's pixel at window-local (h, v) as 0xRRGGBB; 0 outside or without a port.
UInt32 GetPortPixel(WindowRef w, short h, short v);
// Moves the window's picture within r by (dh, dv) pixels, in the port and on the screen; what
// leaves r is lost and what the move uncovers holds what left on the other side until the
// caller draws it. Only r is shown again, by moving what the screen already shows; the port's
// pixels are not moved (see PortRolled in pqt.h).
void ScrollWindowRect(WindowRef w, const Rect* r, short dh, short dv);
