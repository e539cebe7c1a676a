// The application's commands carried out by libraries the core cannot link: they register
// themselves here at start-up. Unregistered (as in tests without them) each does the least:
// nothing, with a trace message.
#pragma once

#include "platform/pevent.h"

// The record file commands and the setting commands' shared state, which callers of the
// commands here reach through this header too.
#include "app/core/precfile.h"
#include "app/core/psetfield.h"

class IBrowser;

// Asks for a tab-separated record file (or a catalogue) and imports it.
void importRecords();

// Imports the tab-separated record file (or catalogue) at path as the displayed records.
void PimportRecordFile(const char* path);
// Drags the selected displayed records of b out of the browser, through the drag the main
// window registers (nothing until then).
void PDragRecords(EventRef event, IBrowser* b);
void PsetDragRecords(void (*drag)(EventRef event, IBrowser* b));

// ---- Record exchange. The import is the export library's, which the shell registers; without
// it importRecords() and PimportRecordFile do the least.
void PsetImportRecords(void (*import)(const char* path));

// Printing lives in the print library, which the shell installs here; without it page setup
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
