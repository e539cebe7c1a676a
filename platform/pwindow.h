// Windows of the platform layer and their ports.
//
// A window is made from an interface description: a Qt Designer form compiled into the
// program and registered under a nib name and a window name. Every widget of the form whose
// objectName reads "ssss:N" or "ssss_N" (a four-character signature and an id) becomes a control of
// the window. A window's port is an image of its content size; drawers paint into it and the window
// shows it behind its controls. Coordinates of a port are window-local, with (0, 0) at the top left
// of the content.
#pragma once

#include <functional>

#include "platform/ptypes.h"

class QWidget;

// Interface descriptions. setup builds the form's widgets into the given content widget (the
// setupUi of a compiled form).
void RegisterNibWindow(const char* nibName, const char* windowName,
                       std::function<void(QWidget*)> setup);
OSStatus CreateNibReference(const char* nibName, IBNibRef* outNib);
void DisposeNibReference(IBNibRef nib);
// Creates the named window, hidden, at the form's size.
OSStatus CreateWindowFromNib(IBNibRef nib, const char* windowName, WindowRef* outWindow);

// Windows.
bool IsValidWindowPtr(WindowRef w);
void DisposeWindow(WindowRef w);
void ShowWindow(WindowRef w);
void HideWindow(WindowRef w);
bool IsWindowVisible(WindowRef w);
void SelectWindow(WindowRef w);  // makes it the active window
// The window in front (the last one shown, selected or activated); NULL when none is shown.
WindowRef ActiveNonFloatingWindow();
EventTargetRef GetWindowEventTarget(WindowRef w);
// Content size in pixels; update asks for a redraw of the whole content.
void SizeWindow(WindowRef w, short width, short height, bool update);
// kWindowContentRgn: the content in global coordinates; kWindowStructureRgn: the frame.
OSStatus GetWindowBounds(WindowRef w, WindowRegionCode region, Rect* bounds);
// The port's bounds: (0, 0, content height, content width).
Rect* GetWindowPortBounds(WindowRef w, Rect* bounds);

// Ports and drawing. Drawing goes to the current port, clipped to it; with no current port
// (or a port whose window is gone) it does nothing.
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
