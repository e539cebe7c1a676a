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

// Syncs in idle time (pidle.cpp). Each time the event loop comes back to rest with changes of
// the open catalogue or the shadow catalogue not yet on disk, the sync timer is armed (unless
// it already is) to sync them kIdleSyncDelay seconds later. When it fires, the sync runs if the
// loop is at rest, or if a question waits for the user (a dialog or alert, ours or Qt's) while
// no command is part way through its edits: nothing was edited since the loop was last at rest
// or since a command said its edits make whole steps (PeditsWhole), and no operation holds the
// records (an edit left open, a load). Otherwise it is due, and the next return to rest runs it
// at once (from the timer, armed to fire without delay). So work waits about a second after the
// command that made it, also while a dialog then stays open, never syncs half a command, and
// a sync that failed is tried again after the next change.
constexpr double kIdleSyncDelay = 1.0;
// The rest hook: arms the sync timer when something waits to be synced.
void PidleSyncCheck();
// The timer's work: syncs what waits when the loop is at rest; true when it synced whole.
bool PidleSync();
// A question begins (a dialog of ours is waited on): a sync that came due while the loop was
// not at rest is tried in it at once.
void PidleSyncAsking();
// The edits made so far make whole steps (a command calls it when its change is filed and it
// goes on to ask or report something): a sync may write them while it waits on the user.
void PeditsWhole();
// Syncs the catalogues now, with progress, for a command whose edits must reach the disk
// together with the files it changed; the edits so far are whole from here on. True when
// everything is on disk.
bool PsyncWhole();
// Seconds until the sync timer fires; below 0 when it is not armed.
double PidleSyncDelay();
// Removes the sync timer; with stop, idle syncs stay off until called again without (shut-down
// syncs and closes the catalogues itself; the next start turns them on).
void PstopIdleSync(bool stop = true);
// A sync of the catalogue failed and the user was told: the idle sync tries again only after the
// next change.
void PidleSyncFailed();

// Installs the toolkit hooks: every window event suspends the idle-improvement timer while its
// handlers run and re-arms it when none took the event; a click in a window's content resets
// the last alert class; the improvement work; the idle syncs. Call once at start, before the
// first window.
void PinstallAppState();
