// The application object: the globals that live for the whole run, the interface made from the
// nib at start-up, the start-up and shut-down sequence, the recent-catalogue menu and the lone
// selected record.
//
// Start-up (Prun): the standard image readers; the interface (menu bar, the main, info, find and
// image windows, then the dialogs); the application's event handlers; message routing (alerts
// through postAlert, no exit hook, standard error only for the four most severe classes); the
// main window's fields and medium thumbnails; preferences and the log; gInterfaceReady; the
// shadow catalogue; the start-up option; the event loop. Shut-down after the loop: images
// closed, print session ended, preferences saved, catalogue synced with its statistics in the
// log, main window closed, shadow catalogue and thumbnail cache closed, interface destroyed.
#pragma once

#include <vector>

#include "app/core/pprefs.h"
#include "app/core/pwindows.h"
#include "thumbs/pthumb.h"
#include "db/dbase.h"

// The four window objects (made once by PcreateInterface, in this order).
extern IMainWindow* gMain;
extern IInfoWindow* gInfo;
extern IFindWindow* gFind;
extern IImageWindow* gImager;

// The core's own dialog windows, in the order they are made from the nib. The other dialogs
// belong to the window libraries that use them; the shell registers them (PAppHooks::dialogs).
extern WindowRef gInputWindow, gAboutWindow, gConfirmWindow, gPositionWindow, gProgressWindow,
    gAlertWindow;

// A dialog window made from the nib into *window. A library's dialog names the handler
// installed on it (the window its user data) and the events the handler takes.
struct PDialogSlot {
  WindowRef* window;
  const char* nibName;
  EventHandlerProcPtr handler = nullptr;
  const EventTypeSpec* events = nullptr;
  UInt32 eventCount = 0;
};
constexpr int kDialogCount = 6;
extern const PDialogSlot kDialogs[kDialogCount];
// Every dialog, in the order they are made: the core's, then those the shell registered.
std::vector<PDialogSlot> PdialogSlots();

// 1 from the end of preference reading until just before the interface is destroyed; events are
// pumped (checkEvents) only while it is 1.
extern int gInterfaceReady;
// The settings kept in the preferences (gStartupOption, gRecentCatalogs, gShadowCatalog,
// gErrLogFile, gMaxMigrations, gCamResponse ...) are declared with them, in pprefs.h.
extern OSType gConfirmResponse;  // 'ok  ', 'not!' or 'cstm'
extern int gVolumeInserted;
extern char gName[];
extern const char* progname;
// The nib the interface is made from: "main" (tests may name another).
extern const char* gNibName;

// The program's one thumbnail manager (the browser's tnMgr).
PThumbnailer& PthumbManager();

// 0 on success, else the platform's status or 1 (a hook the shell did not register, named in a
// message, or a window object that has no window). The window objects come from the makers
// the shell registers (phooks.h).
int PcreateInterface();
void PdestroyInterface();

// The run's exit status when it ended closing a catalogue (or the shadow catalogue) without
// changes it could not write, which no one chose to drop: a quit signal or a lost display that
// could not save them, a write that failed at the end.
constexpr int kExitChangesDropped = 3;

// The whole run after the platform is up: start-up, the event loop, shut-down. 0 after a normal
// quit (also one whose question the user answered by quitting without the changes), 1 when the
// interface cannot be made (nothing else is done then), kExitChangesDropped when the shut-down
// closed a catalogue without changes it could not write.
int Prun();
// A quit signal (SIGTERM, SIGHUP, SIGINT), called from the event loop: the program quits
// without asking anything (waits end, an operation under way stops as if stopped by the user,
// unsaved temporary images are kept and named in the log) and shuts down as after the quit
// command. Ignored once shut-down has begun.
void PquitOnSignal(int signo);

// The display connection broke: the program takes its quit path without the display and without
// asking anything (no alert, no drawing): a rename or delete batch under way ends with its files
// as the catalogue on disk says (pfilebatch.h), a command part way through its edits ends
// without them, the catalogue is synced and closed (what cannot be written is named in the log,
// the file keeps its last saved state), the shadow catalogue and the thumbnail cache closed, the
// preferences written, the locks removed. The exit status for the process, which the caller
// ends at once: 0, or kExitChangesDropped when changes were dropped.
int PquitOnDisplayLoss();

// What PsaveCatalogFirst found or was answered.
enum class PsaveChoice {
  saved,    // all is saved, or there is nothing to save
  back,     // the user went back: nothing is to be closed, the changes stay
  without,  // the user chose to go on without the changes that cannot be saved
};

// Before the catalogue open in bc (null: none) is closed with the user there to answer (quit,
// close, opening another): syncs it under progress, the windows painted and answering while it
// waits for another copy of the program. When that fails, tells why (the catalogue, the
// system's reason) and which changes are not saved, and offers to go back (nothing is closed and
// the changes stay, to be saved once there is room) or to go on without them. without is that
// button's label, ending the words for what goes on ("quit", "close it"). With shadow (a quit),
// the shadow catalogue's changes are synced too, and their failure told and asked about alike.
PsaveChoice PsaveCatalogFirst(PContext* bc, const char* without, const char* ending,
                              bool shadow = false);

// The quit answered "Quit Without Saving": the changes of the shadow catalogue of bc (null:
// none) that could not be written are dropped and it closes, its file as its last complete sync
// left it. Nothing when it holds no such changes.
void PdropShadowChanges(PContext* bc);

// Closes the catalogue open in bc (null: none) as PsaveCatalogFirst decided: for
// PsaveChoice::without, dropping the changes not saved (the file as the last save left it); else
// writing them first. When that write fails (the disk filled since) the failure is told, the
// catalogue stays open with its changes and undo steps, and the result is false.
bool PcloseCatalog(PContext* bc, PsaveChoice choice);

// Refreshes the five recent-catalogue items above 'cata'.
void checkCatalogs();
// Opens recent catalogue 'cat1' .. 'cat5'.
void openCatalog(OSType cmd);
// The single selected displayed record of st (NULL: the main window's context), or NULL.
DBRecord* loneRecord(PContextState* st);
