// Controls of the platform layer: the widgets of a window's form named "ssss:N" (or
// "ssss_N", as a compiled form spells it).
//
// Kinds by widget: a push button, a check box, static text (a label), edit text (a line
// edit), little arrows (a spin box: the layer steps it only through SetControlValue; its own
// clicks, wheel turns and keys are the window's events), a tab control (a tab widget, whose
// pages are its user panes, sub-controls 1..n) and a user pane (any other widget). Bounds are
// window-local. Visibility is latent: a control keeps its own visible state while an embedder
// hides it, and shows when all its embedders are shown.
#pragma once

#include "platform/ptypes.h"

enum ControlKind {
  kControlKindUnknown = 0,
  kControlKindPushButton,
  kControlKindCheckBox,
  kControlKindStaticText,
  kControlKindEditText,
  kControlKindLittleArrows,
  kControlKindTabs,
  kControlKindUserPane
};

OSStatus GetControlByID(WindowRef w, const ControlID* id, ControlRef* outControl);
bool IsValidControlHandle(ControlRef c);
ControlKind GetControlKind(ControlRef c);
WindowRef GetControlOwner(ControlRef c);
EventTargetRef GetControlEventTarget(ControlRef c);

Rect* GetControlBounds(ControlRef c, Rect* bounds);
void SetControlBounds(ControlRef c, const Rect* bounds);
// Sets the control's own visibility; with draw the change shows at once.
OSStatus SetControlVisibility(ControlRef c, bool visible, bool draw);
bool IsControlVisible(ControlRef c);          // shown on screen: it and all embedders
bool IsControlLatentlyVisible(ControlRef c);  // its own visible state
OSStatus EnableControl(ControlRef c);
OSStatus DisableControl(ControlRef c);
bool IsControlEnabled(ControlRef c);
// Draws the control now, through its kEventControlDraw event.
void Draw1Control(ControlRef c);

// Values: a check box 0..1, little arrows their range, a tab control the selected tab 1..n
// with the number of tabs as maximum.
SInt32 GetControlValue(ControlRef c);
void SetControlValue(ControlRef c, SInt32 value);  // clamped into the range
SInt32 GetControlMinimum(ControlRef c);
SInt32 GetControlMaximum(ControlRef c);
void SetControlMinimum(ControlRef c, SInt32 value);
void SetControlMaximum(ControlRef c, SInt32 value);

OSStatus GetControlCommandID(ControlRef c, UInt32* command);
OSStatus SetControlCommandID(ControlRef c, UInt32 command);

// The part of the control under a window-local point; kControlNoPart when outside.
ControlPartCode TestControl(ControlRef c, Point pt);
// The index-th (from 1) embedded control: for a tab control the user pane of that tab.
OSStatus GetIndexedSubControl(ControlRef c, UInt32 index, ControlRef* outSub);
// The window-local rectangle where a tab control shows its panes.
OSStatus GetTabContentRect(ControlRef c, Rect* outRect);

// Text of static and edit text controls as UTF-8 under kControlEditTextCFStringTag, and the
// selection of an edit text (ControlEditTextSelectionRec) under kControlEditTextSelectionTag.
// GetControlDataSize gives the text's byte length.
OSStatus SetControlData(ControlRef c, ControlPartCode part, UInt32 tag, UInt32 size,
                        const void* data);
OSStatus GetControlData(ControlRef c, ControlPartCode part, UInt32 tag, UInt32 bufferSize,
                        void* data, UInt32* actualSize);
OSStatus GetControlDataSize(ControlRef c, ControlPartCode part, UInt32 tag, UInt32* size);

// Gives the control the keyboard focus (part kControlEditTextPart for edit text).
OSStatus SetKeyboardFocus(WindowRef w, ControlRef c, ControlPartCode part);

// The cursor shown over windows; only the arrow is used.
enum ThemeCursor { kThemeArrowCursor = 0 };
void SetThemeCursor(ThemeCursor cursor);
