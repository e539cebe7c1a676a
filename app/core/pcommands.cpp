// The application commands whose work lies elsewhere in the program: each does the least until
// that work is built, leaving a trace in the log.
#include "app/core/pcommands.h"

#include "app/core/papp.h"
#include "platform/pdocuments.h"
#include "support/dmessage.h"

namespace {
void NotYet(const char* what) {
  DMESSAGE(DMCtrace, "%s is not available", what);
}
}  // namespace

void chooseCatalog() {
  NotYet("Opening a catalog");
}
void newCatalog() {
  NotYet("Making a catalog");
}
void chooseAndLoadFolder() {
  NotYet("Browsing a folder");
}
void importRecords() {
  NotYet("Importing records");
}
void chooseAndOpenImage() {
  NotYet("Opening an image");
}
void loadPicturesFolder() {
  NotYet("Browsing the Pictures folder");
}

OSStatus openDocuments(EventHandlerCallRef, EventRef event, void*) {
  DMESSAGE(DMCtrace, "Asked to open %zu documents", GetDocumentPaths(event).size());
  return noErr;
}

namespace {
PPrintHooks& PrintHooks() {
  static PPrintHooks hooks;
  return hooks;
}
}  // namespace

void PsetPrintHooks(const PPrintHooks& hooks) {
  PrintHooks() = hooks;
}

void PrunPageSetup() {
  if (PrintHooks().pageSetup != nullptr)
    PrintHooks().pageSetup(loneRecord(nullptr));
  else
    NotYet("Page setup");
}

void PendPrintSession() {
  if (PrintHooks().closePrintSession != nullptr) PrintHooks().closePrintSession();
}

bool checkRecords(bool, PContext*) {
  NotYet("Checking the records' files");
  return false;
}
