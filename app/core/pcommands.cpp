// The application commands whose work lies elsewhere in the program: each does the least until
// that work is built, leaving a trace in the log.
#include "app/core/pcommands.h"

#include "app/core/papp.h"
#include "catalog/pfieldset.h"
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
void openImages(IBrowser*, const char*) {
  NotYet("Opening records");
}
void PDragRecords(EventRef, IBrowser*) {
  NotYet("Dragging records");
}

// ---- Record commands the image window calls.

bool reorientRecord(DBRecord* rp, OSType cmd) {
  if (rp == nullptr) return false;
  long rot = 0, flip = 0;
  PDBgetInt(*rp, PDBForient, &rot);
  PDBgetInt(*rp, PDBFflip, &flip);
  rot %= 360;  // the stored value is the record's own: keep the arithmetic in range
  while (rot >= 180) rot -= 360;
  while (rot < -180) rot += 360;
  auto swapFlips = [&] {
    if ((flip & 3) == 1 || (flip & 3) == 2) flip ^= 3;
  };
  switch (cmd) {
    case FourCC("cw90"):
      rot += 90;
      swapFlips();
      break;
    case FourCC("cc90"):
      rot -= 90;
      swapFlips();
      break;
    case FourCC("c180"):
      rot += 180;
      break;
    case FourCC("flhz"):
      flip ^= 1;
      break;
    case FourCC("flvt"):
      flip ^= 2;
      break;
    default:
      DMESSAGE(DMCparameter, "Unrecognized command in reorientRecord");
      return false;
  }
  if ((flip & 3) == 3) {
    rot += 180;
    flip &= ~3L;
  }
  if (!PDBsetInt(rp, PDBForient, rot)) {
    DMESSAGE(DMCdata, "Cannot set rotation field in reorientRecord");
    return false;
  }
  if (!PDBsetInt(rp, PDBFflip, flip)) {
    DMESSAGE(DMCdata, "Cannot set flip field in reorientRecord");
    return false;
  }
  return true;
}

void repeatSetting(int, const char*) {}

const char* typoMatch(const char*, const PStringSet&) {
  return nullptr;
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
