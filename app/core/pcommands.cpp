// The application commands whose work lies elsewhere in the program: each does the least until
// that work is built, leaving a trace in the log.
#include "app/core/pcommands.h"

#include "app/core/papp.h"
#include "app/core/pdialogs.h"
#include "platform/pdocuments.h"
#include "support/dmessage.h"

namespace {
void NotYet(const char* what) {
  DMESSAGE(DMCtrace, "%s is not available", what);
}
void (*importHook)(const char*) = nullptr;
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
  if (importHook != nullptr)
    importHook(nullptr);
  else
    NotYet("Importing records");
}
void chooseAndOpenImage() {
  NotYet("Opening an image");
}
void pageSetup() {
  NotYet("Page setup");
}
void loadPicturesFolder() {
  NotYet("Browsing the Pictures folder");
}
void closePrintSession() {}

OSStatus openDocuments(EventHandlerCallRef, EventRef event, void*) {
  DMESSAGE(DMCtrace, "Asked to open %zu documents", GetDocumentPaths(event).size());
  return noErr;
}

void PsetImportRecords(void (*import)(const char* path)) {
  importHook = import;
}

int saveDialog(int (*)(const char*, void*), void*, const char*, OSType, OSType) {
  NotYet("The save dialog");
  gConfirmResponse = kResponseCancel;
  return 0;
}
char* openDialog(char*, int, const char*, OSType, OSType) {
  NotYet("The open dialog");
  gConfirmResponse = kResponseCancel;
  return nullptr;
}
char* chooseFolder(char*, int, FSRef*) {
  NotYet("The folder dialog");
  gConfirmResponse = kResponseCancel;
  return nullptr;
}
bool chooseImage(char*, int, const DBRecord*) {
  NotYet("The image dialog");
  gConfirmResponse = kResponseCancel;
  return false;
}
