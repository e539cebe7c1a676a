// What the print library's files share: the steps of a print job around its pages.
#pragma once

#include "app/print/pprint.h"

// Runs the print dialog over the settings' pages; false when there is nothing to print (the
// dialog failed, reported, or was cancelled).
bool PaskPages(PPrintSettings* st);
// Clamps the pages chosen to the n there are.
void PclampPages(PPrintSettings* st, int n);
// Opens the document with alerts held back; false after a reported failure.
bool PbeginDocument(const PPrintSettings& st);
// Ends the document, cancelled when the job was (its Stop, a quit, or a page's cancel), else
// showing spooling on the main window meanwhile; 0 when it ended whole, else the error,
// reported. A cancelled document is dropped whole: nothing of it prints, and the log says so
// ("Print job cancelled by user", or "Print job stopped by the quit: nothing printed").
int PendDocument(const char* spooling, bool cancelled);
// What the status line says of a cancelled job: byUser, or that the quit stopped it.
const char* PcancelledText(const char* byUser);
