// The platform services the core reaches through one seam: waiting for events, running and
// ending the application loop, the menu bar of the nib, menu item text, default buttons, the
// alert sound and centred text in a port.
#pragma once

#include "platform/ptypes.h"

// Dispatches the events that come within maxwait seconds, ending when that time is up (-1:
// waits for one event and dispatches it; 0: what is pending). The number dispatched; 0 once the
// application quits.
int PwaitEvents(double maxwait);
// Runs the application loop until PquitEventLoop.
void PrunEventLoop();
// Ends the application loop and every wait in progress.
void PquitEventLoop();
// True from PquitEventLoop until the loop it ended has returned (after an unattended quit, to
// the end of the run).
bool PquitRequested();
// Ends the loop as PquitEventLoop does, for a quit no one is there to answer (a signal): waits
// end at once, and every question and alert from here to the end of shut-down answers Cancel
// without being shown.
void PquitUnattended();
bool PquitIsUnattended();
// Shut-down has ended: the quit is forgotten, so that another run in this process starts afresh.
void PquitDone();
// Forgets a quit that ended no loop (tests that quit without one).
void PclearQuit();
// Installs the menu bar of the nib (replacing any earlier one); its status.
OSStatus PinstallMenuBar(IBNibRef nib, const char* name);
// Sets a menu item's text (UTF-8).
void PsetMenuItemText(MenuRef menu, MenuItemIndex item, const char* text);
// The default button of a window: the control (sig, id); id 0 removes it.
void PsetDefaultButton(WindowRef w, OSType sig, SInt32 id);
// The alert sound.
void Pbeep();
// Draws UTF-8 text (lines split at newlines) centred in box, in the current port.
void PdrawCentredText(const Rect* box, const char* text);
