// Syncs in idle time (pidle.cpp). Each time the event loop comes back to rest with changes of
// the open catalogue or the shadow catalogue not yet on disk, the sync timer is armed (unless
// it already is) to sync them kIdleSyncDelay seconds later. When it fires, the sync runs if the
// loop is at rest, or if a question waits for the user (a dialog or alert, ours or Qt's) while
// no command is part way through its edits: nothing was edited since the loop was last at rest
// or since a command said its edits make whole steps (PeditsWhole), and no operation holds the
// records (an edit left open, a load). Otherwise it is due, and the next return to rest runs it
// at once (from the timer, armed to fire without delay). So work waits about a second after the
// command that made it, also while a dialog then stays open, and never syncs half a command. In a
// question nothing keeps the windows painted during the sync: one that finds its file held by
// another process (a copy of the program stopped in the middle of a read) is turned away at
// once, writing nothing and failing in nothing, and tried again kIdleSyncDelay seconds later.
//
// After a sync that failed (any sync: the idle sync's, a command's, a close's) the changes are
// tried again by themselves under the same rules: kRetryFirst seconds later, then at an interval
// doubling up to kRetryLongest, and at once when the catalogue's file system has gained
// kRoomGained bytes (looked at every kRoomLook seconds). A try that fails for the reason already
// told says nothing; the main window's title says that the catalogue is not saved until a sync
// succeeds, and that success is logged and shown in the status line.
#pragma once

class PContext;

constexpr double kIdleSyncDelay = 1.0;
constexpr double kRetryFirst = 2.0;
constexpr double kRetryLongest = 30.0;
constexpr double kRoomLook = 0.5;
constexpr long long kRoomGained = 64 * 1024;

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
// everything is on disk. With tell false a failure is logged but not told (the command tells it
// in its own words, SyncFailedText); the title says "(Not Saved)" either way.
bool PsyncWhole(bool tell = true);
// Seconds until the sync timer fires; below 0 when it is not armed.
double PidleSyncDelay();
// Removes the sync timer and forgets a failed sync; with stop, idle syncs stay off until called
// again without (shut-down syncs and closes the catalogues itself; the next start turns them
// on).
void PstopIdleSync(bool stop = true);
// A sync of the catalogue failed outside the idle sync and the user was told (a close, the quit's
// question): the edits so far are whole, and the sync is tried again by itself.
void PidleSyncFailed();
// For an end that cannot wait (the display gone): takes back from ctx's store the edits of a
// command part way through them, the steps filed or opened since the edits last made whole
// steps. True when what the store holds makes whole steps (nothing was part way, or it was taken
// back), and may be synced; false when the part-way edits cannot be told apart: nothing more may
// be written then.
bool PtakeBackPartWay(PContext* ctx);
// For the same end: what ctx's store holds now makes whole steps (a batch that changes files
// with its records has just ended consistently, and none of it may be taken back).
void PmarkWhole(PContext* ctx);
