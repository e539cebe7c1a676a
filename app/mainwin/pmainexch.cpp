// The main window's record exchange commands: clipboard, record tables, image export and the
// web album.
#include "app/core/pcmds.h"
#include "app/core/pcommands.h"
#include "app/core/pfiles.h"
#include "app/export/ptrader.h"
#include "app/mainwin/pmainw.h"
#include "toolkit/pcommand.h"

bool PMainWindow::ExchangeCommand(UInt32 cmd) {
  switch (cmd) {
    case kCmdCopyFileNames:
    case kCmdCopyPositions:
    case kCmdPaste:
    case kCmdExportWebAlbum:
    case kCmdExportImages:
    case kCmdExportRecords:
    case kCmdExportCatalog:
      break;
    default:
      return false;
  }
  switch (cmd) {
    case kCmdCopyFileNames:
      copyFilenames();
      break;
    case kCmdCopyPositions:
      copyGlobalPositions();
      break;
    case kCmdPaste:
      pasteRecords();
      break;
    case kCmdExportWebAlbum:
      saveDialog(saveWebPage, &bc, "Web Page", kDocHTML, kDocAny);
      break;
    case kCmdExportImages:
      exportImages();
      break;
    case kCmdExportRecords:
      saveDialog(saveRecords, &bc, "Tab-separated Fields", kDocText, kDocAny);
      break;
    case kCmdExportCatalog:
      saveDialog(saveCatalog, &bc, "Tab-separated Fields", kDocText, kDocAny);
      break;
  }
  return true;
}

bool PMainWindow::ExchangeCommandUpdate(UInt32 cmd) {
  bool on;
  switch (cmd) {
    case kCmdCopyFileNames:
      on = bc.TotalSelected() > 0;
      break;
    case kCmdCopyPositions:
      on = checkGlobalPositions();
      break;
    case kCmdPaste:
      on = checkPasteBuffer();
      break;
    case kCmdExportWebAlbum:
    case kCmdExportImages:
    case kCmdExportRecords:
      on = bc.rdisp.GetSize() > 0;
      break;
    case kCmdExportCatalog:
      on = bc.Ready();
      break;
    default:
      return false;
  }
  enableMenuCommand(cmd, on);
  return true;
}
