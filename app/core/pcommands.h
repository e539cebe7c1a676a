// The application's commands carried out by libraries the core cannot link, through the hooks
// the shell registers (phooks.h).
#pragma once

#include "platform/pevent.h"

class IBrowser;

// Asks for a tab-separated record file (or a catalogue) and imports it.
void importRecords();

// Imports the tab-separated record file (or catalogue) at path as the displayed records.
void PimportRecordFile(const char* path);
// Drags the selected displayed records of b out of the browser (the main window's drag).
void PDragRecords(EventRef event, IBrowser* b);

// Page setup for the lone selected record (the command 'page').
void PrunPageSetup();
// Ends the print session (at quit).
void PendPrintSession();
