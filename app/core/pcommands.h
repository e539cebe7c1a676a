// The application's commands carried out by other parts of the program. Until those parts are
// built each does the least: nothing, with a trace message.
#pragma once

#include "platform/pevent.h"

class IBrowser;

// Asks for a tab-separated record file and imports it.
void importRecords();

// Imports the tab-separated record file at path into the display; the number of records
// imported. Does the least (nothing, 0) until importing is built.
int importRecords(const char* path);
// Opens the selected displayed records of b (NULL: the main window's browser) in the image
// window, or in the program appName. Does the least (nothing) until opening records is built.
void openImages(IBrowser* b, const char* appName);
// Drags the selected displayed records of b out of the browser. Does the least (nothing) until
// dragging is built.
void PDragRecords(EventRef event, IBrowser* b);

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
