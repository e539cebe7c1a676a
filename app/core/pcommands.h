// The application's commands carried out by other parts of the program. Until those parts are
// built each does the least: nothing, with a trace message.
#pragma once

#include "platform/pevent.h"

class IBrowser;

// Asks for a tab-separated record file and imports it.
void importRecords();
// Page setup for the lone selected record.
void pageSetup();
// Ends the print session.
void closePrintSession();

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

// ---- What the info window's edits ask of the setting commands.
class PStringSet;
// The member of set that s looks like a mistyping of, else NULL. Does the least (NULL) until the
// setting commands are built.
const char* typoMatch(const char* s, const PStringSet& set);
