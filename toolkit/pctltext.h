// Control text as UTF-8, and waiting for the mouse button to come up.
#pragma once

#include "platform/pcontrol.h"
#include "platform/pwindow.h"

// Control text as UTF-8. PutControlText sets and draws; false for a missing argument, a
// control that takes no text, or text that is not UTF-8 for an edit text. A label or a button
// shows its text as ShownText (support/bytetext.h): a name in it as no other name shows.
bool PutControlText(ControlRef cntl, const char* txt);
void ClearControlText(ControlRef cntl);
// Copies the text into txt (at most len - 1 bytes and a terminator); unless anyChar, leading
// and trailing white space goes and control characters and broken bytes become '?' (whole
// characters are kept). NULL when an argument is missing, len < 2, or the text cannot be read
// or does not fit.
char* GetControlText(ControlRef cntl, char* txt, int len, bool anyChar);
// Selects the whole text of an edit control and gives it the keyboard focus.
void EditControlText(WindowRef w, ControlRef cntl);
// Waits at most maxwait seconds (platform clock) for the next mouse-up and takes it.
void waitMouseRelease(double maxwait);
