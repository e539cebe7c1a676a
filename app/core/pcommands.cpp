// The application commands whose work lies elsewhere in the program: each does the least until
// that work is built, leaving a trace in the log.
#include "app/core/pcommands.h"

#include "support/dmessage.h"

namespace {
void NotYet(const char* what) {
  DMESSAGE(DMCtrace, "%s is not available", what);
}
}  // namespace

void importRecords() {
  NotYet("Importing records");
}
void pageSetup() {
  NotYet("Page setup");
}
void closePrintSession() {}

int importRecords(const char*) {
  NotYet("Importing records");
  return 0;
}
void PDragRecords(EventRef, IBrowser*) {
  NotYet("Dragging records");
}
