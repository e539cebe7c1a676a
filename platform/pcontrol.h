// Controls of the platform layer: the widgets of a window's form named "ssss:N" (or
// "ssss_N", as a compiled form spells it), and scroll bars made in code.
//
// Kinds by widget: a push button, a check box, static text (a label), edit text (a line edit,
// or a plain or rich text edit for several lines), little arrows (a spin box: the layer steps it
// only through SetControlValue; its own clicks, wheel turns and keys are the window's events), a
// tab control (a tab widget, whose pages are its user panes, sub-controls 1..n), a pop-up button
// (a combo box), a progress bar, a slider, a scroll bar, and a user pane (any other widget).
// Bounds are window-local. Visibility is latent: a control keeps its own visible state while an
// embedder hides it, and shows when all its embedders are shown.
//
// A widget's dynamic property "command" (four characters, blanks kept: "dir ") is the command
// the control sends. A combo box's dynamic property "commands" lists a command per item,
// separated by commas ("z013,z017,zfit"). A label whose dynamic property "elide" is set shows
// its text on one line cut to its width (between characters, ending with an ellipsis) and
// keeps the whole text for GetControlText.
//
// What the user does to a control arrives as a control hit (kEventClassControl,
// kEventControlHit, with kEventParamControlPart and the control as direct object) at the
// control's target, then its window, then the application; when no handler takes the hit, the
// control's command (a pop-up item's own command first) follows as a command event along the same
// path. Parts: a push button kControlButtonPart, a check box kControlCheckBoxPart, a tab control
// kControlTabPart, a pop-up button kControlMenuPart (its value is the item chosen), little arrows
// kControlUpButtonPart and kControlDownButtonPart (without stepping), a scroll bar or slider
// kControlUpButtonPart / kControlDownButtonPart (arrows), kControlPageUpPart /
// kControlPageDownPart (beside the thumb) and kControlIndicatorPart (the thumb, once released; its
// value is then the new one). A value set through the layer sends no hit.
//
// Before a click on a control reaches it, kEventControlClick goes to the control's target (then
// window, application) with the mouse location, the modifiers and the control; a handler that
// takes it keeps the click from the control.
#pragma once

#include "platform/pmouse.h"
#include "platform/ptypes.h"

enum ControlKind {
  kControlKindUnknown = 0,
  kControlKindPushButton,
  kControlKindCheckBox,
  kControlKindStaticText,
  kControlKindEditText,
  kControlKindLittleArrows,
  kControlKindTabs,
  kControlKindUserPane,
  kControlKindPopupButton,
  kControlKindProgressBar,
  kControlKindSlider,
  kControlKindScrollBar
};

OSStatus GetControlByID(WindowRef w, const ControlID* id, ControlRef* outControl);
bool IsValidControlHandle(ControlRef c);
ControlKind GetControlKind(ControlRef c);
WindowRef GetControlOwner(ControlRef c);
EventTargetRef GetControlEventTarget(ControlRef c);
// The window's root control: its whole content, a user pane.
OSStatus CreateRootControl(WindowRef w, ControlRef* outControl);

Rect* GetControlBounds(ControlRef c, Rect* bounds);
void SetControlBounds(ControlRef c, const Rect* bounds);
// Sets the control's own visibility; with draw the change shows at once.
OSStatus SetControlVisibility(ControlRef c, bool visible, bool draw);
bool IsControlVisible(ControlRef c);          // shown on screen: it and all embedders
bool IsControlLatentlyVisible(ControlRef c);  // its own visible state
// A control whose command the command gate refuses (pevent.h) is greyed while it does, whatever
// EnableControl says meanwhile, and is as EnableControl and DisableControl last left it again
// once the gate lets its command through. IsControlEnabled tells what the user sees.
OSStatus EnableControl(ControlRef c);
OSStatus DisableControl(ControlRef c);
bool IsControlEnabled(ControlRef c);
// Asks the command gate again for every control's command. The layer does so when the gate is
// set and as each modal wait or dialog of Qt's ends; the application, whenever what its gate
// answers changes otherwise.
void UpdateGatedControls();
// Draws the control now, through its kEventControlDraw event.
void Draw1Control(ControlRef c);

// Values, clamped into the range: a check box 0..1, little arrows, a slider, a scroll bar or a
// progress bar their range, a tab control the selected tab 1..n and a pop-up button the chosen
// item 1..n (the number of tabs or items is the maximum).
SInt32 GetControlValue(ControlRef c);
void SetControlValue(ControlRef c, SInt32 value);
SInt32 GetControlMinimum(ControlRef c);
SInt32 GetControlMaximum(ControlRef c);
void SetControlMinimum(ControlRef c, SInt32 value);
void SetControlMaximum(ControlRef c, SInt32 value);
inline SInt32 GetControl32BitValue(ControlRef c) {
  return GetControlValue(c);
}
inline void SetControl32BitValue(ControlRef c, SInt32 v) {
  SetControlValue(c, v);
}
inline SInt32 GetControl32BitMinimum(ControlRef c) {
  return GetControlMinimum(c);
}
inline SInt32 GetControl32BitMaximum(ControlRef c) {
  return GetControlMaximum(c);
}
inline void SetControl32BitMinimum(ControlRef c, SInt32 v) {
  SetControlMinimum(c, v);
}
inline void SetControl32BitMaximum(ControlRef c, SInt32 v) {
  SetControlMaximum(c, v);
}
// A scroll bar's view size: how much of the range one page shows (the thumb's length).
SInt32 GetControlViewSize(ControlRef c);
void SetControlViewSize(ControlRef c, SInt32 viewSize);

// A pop-up button's menu: its items are the button's items, kept in step both ways (pmenu.h).
MenuRef GetControlPopupMenuHandle(ControlRef c);

OSStatus GetControlCommandID(ControlRef c, UInt32* command);
OSStatus SetControlCommandID(ControlRef c, UInt32 command);

// The part of the control under a window-local point; kControlNoPart when outside.
ControlPartCode TestControl(ControlRef c, Point pt);
// Lets the control track the click being handled (in a content-click handler, at the
// window-local point pt): the control takes the press and follows the mouse until the button is
// released; returns the part pressed, or kControlNoPart when the press missed the control or
// the release left the part (a thumb counts wherever it is released). Its changes send no hits
// meanwhile: the caller acts on the part. Outside a click, it only tells the part.
// actionProc must be NULL (no live tracking).
typedef void (*ControlActionProcPtr)(ControlRef, ControlPartCode);
typedef ControlActionProcPtr ControlActionUPP;
ControlPartCode HandleControlClick(ControlRef c, Point pt, UInt32 modifiers,
                                   ControlActionUPP actionProc);

// The index-th (from 1) embedded control: for a tab control the user pane of that tab.
OSStatus GetIndexedSubControl(ControlRef c, UInt32 index, ControlRef* outSub);
// The window-local rectangle where a tab control shows its panes.
OSStatus GetTabContentRect(ControlRef c, Rect* outRect);

// Text of static and edit text controls (and the titles of buttons) as UTF-8 under
// kControlEditTextCFStringTag, the selection of a one-line edit text
// (ControlEditTextSelectionRec) under kControlEditTextSelectionTag, and whether an edit text is
// locked (a Boolean under kControlEditTextLockedTag: its text can be selected and copied but
// not typed into). GetControlDataSize gives the text's byte length.
OSStatus SetControlData(ControlRef c, ControlPartCode part, UInt32 tag, UInt32 size,
                        const void* data);
OSStatus GetControlData(ControlRef c, ControlPartCode part, UInt32 tag, UInt32 bufferSize,
                        void* data, UInt32* actualSize);
OSStatus GetControlDataSize(ControlRef c, ControlPartCode part, UInt32 tag, UInt32* size);

// The keyboard focus: gives it to the control (part kControlEditTextPart for edit text), tells
// which control of the window has it (NULL when none), or takes it from every control.
OSStatus SetKeyboardFocus(WindowRef w, ControlRef c, ControlPartCode part);
OSStatus GetKeyboardFocus(WindowRef w, ControlRef* outControl);
OSStatus ClearKeyboardFocus(WindowRef w);
// The standard editing commands on the window's focused edit text (the one the menu bar took
// the focus from, while it holds it): 'cut ', 'copy', 'past' and 'sall'. With update only
// *enabled is set: whether the command would change the text, the selection or the clipboard.
// False when the command is not one of them or no edit text has the focus.
bool EditTextCommand(WindowRef w, UInt32 command, bool update, bool* enabled);

// Scroll bars made in code, in the window's content at window-local bounds (horizontal when
// wider than high), with the range, view size and value given. Without live tracking the thumb
// reports its new value when released (the only way so far); actionProc must be NULL.
OSStatus CreateScrollBarControl(WindowRef w, const Rect* bounds, SInt32 value, SInt32 minimum,
                                SInt32 maximum, SInt32 viewSize, bool liveTracking,
                                ControlActionUPP actionProc, ControlRef* outControl);
// Disposes of a control made in code; a control of the form is only hidden.
void DisposeControl(ControlRef c);
