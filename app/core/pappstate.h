// Application state the windows share: the idle-improvement timer and the class of the last
// alert shown. PinstallAppState ties both to the toolkit's event dispatch.
#pragma once

#include "support/dmessage.h"

// The class of the last message the application's alert hook showed; DMCnerr for none.
// Alerts of a class at or above it are held back until it is reset.
extern unsigned alertLastClass;

// With a delay above 0 seconds, resets the improvement work to its first stage and arms the
// idle-improvement timer (or moves its next firing) to delay from now; with 0 or less removes
// the timer. Returns the delay given by the previous call.
double idleImprovements(double delay);

// The improvement work the timer runs, stage by stage; it returns the delay before the next
// stage, or 0 or less when no work is left. None until the application installs it.
extern double (*idleImprovementStep)(int stage);
// The application's improvement work (pidle.cpp), which PinstallAppState installs: the browser's
// cells made final one per firing 0.1 s apart, then the image window's next image and, 0.5 s
// later, its previous one. Waits while records load or a search runs.
double improveCallback(int stage);

// Installs the toolkit hooks: every window event suspends the idle-improvement timer while its
// handlers run and re-arms it when none took the event; a click in a window's content resets
// the last alert class; the improvement work; the idle syncs. Call once at start, before the
// first window.
void PinstallAppState();
