// The application's commands carried out by other parts of the program. Until those parts are
// built each does the least: nothing, with a trace message.
#pragma once

#include "platform/pevent.h"

class IBrowser;

// Asks for a tab-separated record file (or a catalogue) and imports it.
void importRecords();

// Imports the tab-separated record file (or catalogue) at path as the displayed records.
void PimportRecordFile(const char* path);
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

// ---- What the info window's edits ask of the setting commands.
class PStringSet;
// The member of set that s looks like a mistyping of, else NULL. Does the least (NULL) until the
// setting commands are built.
const char* typoMatch(const char* s, const PStringSet& set);

// ---- Record exchange. The import is the export library's, which the shell registers; until
// then importRecords() and PimportRecordFile do the least.
void PsetImportRecords(void (*import)(const char* path));

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
