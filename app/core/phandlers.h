// The application's event handlers: the application-level handler that carries out and enables
// the commands no window took, volume mounts, and the small handlers of the dialog windows.
// Each returns eventNotHandledErr for what it does not take, so the event travels on.
#pragma once

#include <string>

#include "platform/pevent.h"

extern const EventTypeSpec appEventSpec[4];
extern const EventTypeSpec aboutEventSpec[3];
extern const EventTypeSpec confirmEventSpec[1];
extern const EventTypeSpec alertEventSpec[2];

// Installs the handlers on the application and the dialog windows (the core's, and those of the
// libraries' dialogs the shell registered); the number installed.
int PinstallEventHandlers();
// Removes the application-level handlers (the dialogs' go with their windows).
void PremoveEventHandlers();

OSStatus AppEventHandler(EventHandlerCallRef call, EventRef event, void* userData);
// The About window's: a click in it, its close box, Return or Escape hides it.
OSStatus AboutEventHandler(EventHandlerCallRef call, EventRef event, void* userData);
// The handler of a dialog answered by its buttons: 'ok  ', 'not!' or 'cstm' is left in
// gConfirmResponse and the window (the user data) hidden.
OSStatus ConfirmEventHandler(EventHandlerCallRef call, EventRef event, void* userData);
// The Progress window's: its Stop ('not!') stops the work showing it (PworkStopped) and hides
// the window; the dialogs' answer stays as it was.
OSStatus ProgressEventHandler(EventHandlerCallRef call, EventRef event, void* userData);
OSStatus AlertEventHandler(EventHandlerCallRef call, EventRef event, void* userData);

// Shows the About window with the program's description below its name.
void AboutCommandHandler(WindowRef window);
// Opens the log file in the desktop's viewer.
void openLogWindow();
// Opens the address the program was built with (the CMake option LUMERIN_UPDATES_URL); the
// command is greyed when there is none.
void checkUpdates();
extern const char* gUpdatesAddress;
// Opens the user's guide, installed beside the program, at its first page with the desktop's
// opener. When the page is missing or the opener cannot show it, an alert names the page's file.
// PhelpPlace: where the first page belongs (gHelpGuide below the folder holding the program's
// folder); PhelpDocument: its real path, empty when it cannot be read.
void openHelp();
std::string PhelpPlace();
std::string PhelpDocument();
extern const char* gHelpGuide;
// Opens an item with the desktop's opener; when the opener cannot be started or fails, an alert
// says what (a description such as "the log '<path>'") could not be opened.
void PopenReported(const std::string& item, const std::string& what);
// Why a launch failed, from its result (plaunch.h) or the opener's exit status.
std::string PlaunchFailure(int result);

// The first pending event of one of the types (left in the queue), or NULL; never waits.
EventRef MatchEvent(int specLen, const EventTypeSpec* eSpec);
EventRef MatchEvent(UInt32 eClass, UInt32 eKind);

// The command of a command event; 0 when it carries none.
UInt32 PeventCommand(EventRef event);
