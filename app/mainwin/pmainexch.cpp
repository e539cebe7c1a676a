// The main window's record exchange commands: clipboard, record tables, image export and the
// web album.
#include "app/core/pbusy.h"
#include "app/core/pcommands.h"
#include "app/core/pfiles.h"
#include "app/export/ptrader.h"
#include "app/mainwin/pmainw.h"
#include "toolkit/pcommand.h"

namespace {

constexpr UInt32 C(const char (&s)[5]) {
  return FourCC(s);
}

constexpr OSType kAnyType = FourCC("????");

}  // namespace

bool PMainWindow::ExchangeCommand(UInt32 cmd) {
  switch (cmd) {
    case C("cpfn"):
    case C("cpgp"):
    case C("past"):
    case C("eweb"):
    case C("eimg"):
    case C("erec"):
    case C("ecat"):
      break;
    default:
      return false;
  }
  if (PisBusy() && PrefusedWhileBusy(cmd)) return true;
  switch (cmd) {
    case C("cpfn"):
      copyFilenames();
      break;
    case C("cpgp"):
      copyGlobalPositions();
      break;
    case C("past"):
      pasteRecords();
      break;
    case C("eweb"):
      saveDialog(saveWebPage, &bc, "Web Page", FourCC("HTML"), kAnyType);
      break;
    case C("eimg"):
      exportImages();
      break;
    case C("erec"):
      saveDialog(saveRecords, &bc, "Tab-separated Fields", FourCC("TEXT"), kAnyType);
      break;
    case C("ecat"):
      saveDialog(saveCatalog, &bc, "Tab-separated Fields", FourCC("TEXT"), kAnyType);
      break;
  }
  return true;
}

bool PMainWindow::ExchangeCommandUpdate(UInt32 cmd) {
  bool on;
  switch (cmd) {
    case C("cpfn"):
      on = bc.TotalSelected() > 0;
      break;
    case C("cpgp"):
      on = checkGlobalPositions();
      break;
    case C("past"):
      on = checkPasteBuffer();
      break;
    case C("eweb"):
    case C("eimg"):
    case C("erec"):
      on = bc.rdisp.GetSize() > 0;
      break;
    case C("ecat"):
      on = bc.Ready();
      break;
    default:
      return false;
  }
  enableMenuCommand(cmd, on && !(PisBusy() && PrefusedWhileBusy(cmd)));
  return true;
}
