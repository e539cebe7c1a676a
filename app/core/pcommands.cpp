// The application commands whose work lies in libraries the core cannot link, through the
// hooks the shell registers (a test that takes one away gets the least: nothing).
#include "app/core/pcommands.h"

#include "app/core/papp.h"
#include "app/core/phooks.h"

void importRecords() {
  if (PappHooks().importRecords != nullptr) PappHooks().importRecords(nullptr);
}

void PimportRecordFile(const char* path) {
  if (PappHooks().importRecords != nullptr && path != nullptr) PappHooks().importRecords(path);
}

void PDragRecords(EventRef event, IBrowser* b) {
  if (PappHooks().dragRecords != nullptr) PappHooks().dragRecords(event, b);
}

void PrunPageSetup() {
  if (PappHooks().pageSetup != nullptr) PappHooks().pageSetup(loneRecord(nullptr));
}

void PendPrintSession() {
  if (PappHooks().closePrintSession != nullptr) PappHooks().closePrintSession();
}
