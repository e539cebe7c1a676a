// The application's commands carried out by other parts of the program. Until those parts are
// built each does the least: nothing, with a trace message.
#pragma once

#include "platform/pevent.h"

// Asks for a catalogue and opens it.
void chooseCatalog();
// Asks for the path of a new catalogue and makes it.
void newCatalog();
// Asks for a folder and shows its images.
void chooseAndLoadFolder();
// Asks for a tab-separated record file and imports it.
void importRecords();
// Asks for an image file and opens it in the image window.
void chooseAndOpenImage();
// Shows the images of the user's Pictures folder.
void loadPicturesFolder();
// The open-documents event: the files and folders named on the command line.
OSStatus openDocuments(EventHandlerCallRef call, EventRef event, void* userData);

// ---- Record commands the image window calls.
class DBRecord;
// Turns or flips a photo record: 'cw90', 'cc90', 'c180', 'flhz', 'flvt' change its rotation
// (Orient) and flip (Flip) fields. False, with a message, for another command or a record that
// cannot take the fields.
bool reorientRecord(DBRecord* rp, OSType cmd);
// Remembers the last field set and its value for the Repeat command (does the least until the
// setting commands are built).
void repeatSetting(int photoField, const char* value);

// Printing lives in the print library, which the shell installs here; until then page setup
// does nothing.
struct PPrintHooks {
  bool (*pageSetup)(const DBRecord* rec) = nullptr;
  void (*closePrintSession)() = nullptr;
};
void PsetPrintHooks(const PPrintHooks& hooks);
// Page setup for the lone selected record (the command 'page').
void PrunPageSetup();
// Ends the print session (at quit).
void PendPrintSession();

// Verifies the image files of the selected records of ctx (NULL: the main window's context;
// every record with force), locating moved files; true when records changed, gConfirmResponse
// 'not!' when the user cancelled. Does the least (nothing, false) until record exchange is
// built.
class PContext;
bool checkRecords(bool force, PContext* ctx);
