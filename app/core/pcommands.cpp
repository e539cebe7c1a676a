// The application commands whose work lies in libraries the core cannot link: each does the
// least until its library registers it, leaving a trace in the log.
#include "app/core/pcommands.h"

#include "app/core/papp.h"
#include "support/dmessage.h"

namespace {
void NotYet(const char* what) {
  DMESSAGE(DMCtrace, "%s is not available", what);
}
void (*importHook)(const char*) = nullptr;
}  // namespace

void importRecords() {
  if (importHook != nullptr)
    importHook(nullptr);
  else
    NotYet("Importing records");
}

void PimportRecordFile(const char* path) {
  if (importHook != nullptr && path != nullptr)
    importHook(path);
  else
    NotYet("Importing records");
}
namespace {
void (*dragHook)(EventRef, IBrowser*) = nullptr;
}  // namespace

void PDragRecords(EventRef event, IBrowser* b) {
  if (dragHook != nullptr)
    dragHook(event, b);
  else
    NotYet("Dragging records");
}

void PsetDragRecords(void (*drag)(EventRef, IBrowser*)) {
  dragHook = drag;
}

void PsetImportRecords(void (*import)(const char* path)) {
  importHook = import;
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
