// The main window's menu commands: what each code does while the window is in front, when its
// menu item may be chosen, and the Edit menu's undo and redo items.
#include <cstdio>

#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pcmds.h"
#include "app/core/pcommands.h"
#include "app/records/precfile.h"
#include "app/records/pfindnearby.h"
#include "app/core/phandlers.h"
#include "app/export/ptrader.h"
#include "app/hdrpano/makehdr.h"
#include "app/hdrpano/makepano.h"
#include "app/mainwin/pmainw.h"
#include "app/mainwin/psettings.h"
#include "app/print/pprint.h"
#include "platform/pmenu.h"
#include "toolkit/pcommand.h"

namespace {

constexpr MenuID kEditMenu = 258;

bool IsSortCommand(UInt32 cmd) {
  switch (cmd) {
    case kCmdSortCurrent:
    case kCmdSortManual:
    case kCmdSortByDate:
    case kCmdSortByFile:
    case kCmdSortBySubject:
    case kCmdSortByTitle:
    case kCmdSortByOwner:
      return true;
    default:
      return false;
  }
}

}  // namespace

OSStatus PMainWindow::HandleCommand(EventRef event) {
  const double delay = idleImprovements(0);
  const UInt32 cmd = PeventCommand(event);
  dmessage_last_class = DMCnerr;
  alertLastClass = DMCnerr;
  // ---- Density, position and other fields (pmainset.cpp).
  if (SettingCommand(cmd)) return noErr;
  if (IsSortCommand(cmd)) {
    SortRecords(cmd, -1);
    return noErr;
  }
  switch (cmd) {
    case kCmdAddToCatalog:
      AddRecords();
      return noErr;
    case kCmdDuplicate:
      DuplicateRecords();
      return noErr;
    case kCmdSetCaption:
      SetCaption(nullptr);
      return noErr;
    case kCmdFlipHorizontally:
    case kCmdFlipVertically:
    case kCmdRotateRight:
    case kCmdRotateLeft:
    case kCmdRotate180:
      Reorient(cmd);
      return noErr;
    case kCmdPreviewThumbnails:
    case kCmdLargeThumbnails:
    case kCmdMediumThumbnails:
    case kCmdSmallThumbnails:
      SetThumbSize(cmd, true);
      return noErr;
    case kCmdZoomToFit:
    case kCmdActualSize:
      SetThumbSize(kCmdPreviewThumbnails, false);
      return noErr;
    case kCmdZoomIn:
      ThumbIncr(1);
      return noErr;
    case kCmdZoomOut:
      ThumbIncr(-1);
      return noErr;
    case kCmdListSettings:
    case kCmdListFile:
    case kCmdListCapture:
    case kCmdListOther:
    case kCmdListAll:
      SetDisplayFields(cmd, true);
      break;  // the application sees the code too
    case kCmdPrint:
      printImages();
      return noErr;
    case kCmdPrintIndex:
      printIndex();
      return noErr;
    case kCmdMakeHDR:
      makeHDR();
      return noErr;
    case kCmdPanorama:
      makePano();
      return noErr;
    case kCmdInfo: {
      int i = 0;
      if (!bc.NextSelected(&i)) {
        ShowMessage("No selection", false);
      } else if (gInfo) {
        gInfo->ShowInfo(browser, i, true);
      }
      return noErr;
    }
    case kCmdSelectAll:
      if (browser) browser->SelectAll();
      return noErr;
    case kCmdSelectNone:
      if (browser) browser->SelectNone();
      return noErr;
    case kCmdInvertSelection:
      if (browser) browser->SelectInverse();
      return noErr;
    case kCmdOpenImage:
      openImages(nullptr, nullptr);
      return noErr;
    case kCmdSlideShow:
      if (gImager == nullptr) return noErr;
      if (gImager->CloseImages(true) != 1) {
        DMESSAGE(DMCtrace, "User cancelled slide show");
        return userCanceledErr;
      }
      if (bc.TotalSelected() < 2) bc.SelectAll();
      openImages(nullptr, nullptr);
      gImager->SlideShow();
      return noErr;
    case kCmdReload:
      reloadRecords();
      return noErr;
    case kCmdRenameFiles:
      renameFiles();
      return noErr;
    case kCmdCut:
    case kCmdCopy:
    case kCmdDeleteFiles:
    case kCmdClear:
    case kCmdClearWithImages:
      clipRecords(cmd);
      return noErr;
    case kCmdFindNearby:
      findNearby();
      return noErr;
    case kCmdFind:
      // The Find button is not greyed with the menu item: a click with nothing to search
      // says so.
      if (bc.rdisp.GetSize() < 2 && !bc.Ready())
        ShowMessage("Nothing to search", false);
      else if (gFind)
        gFind->Find(this);
      return noErr;
    default:
      if (ExchangeCommand(cmd)) return noErr;
      if (FieldSettingCommand(cmd)) return noErr;
      break;
  }
  idleImprovements(delay);
  return eventNotHandledErr;
}

bool PMainWindow::CommandState(UInt32 cmd, bool* enable) const {
  // ---- Density, position and other fields (pmainset.cpp).
  if (SettingCommandState(cmd, enable)) return true;
  if (IsSortCommand(cmd)) {
    *enable = SortChanges(cmd);
    return true;
  }
  const int nd = bc.rdisp.GetSize();
  switch (cmd) {
    case kCmdAddToCatalog:
      *enable = bc.Ready() && !bc.ReadOnly() && nd > 0;
      return true;
    case kCmdDuplicate:
      *enable = CanDuplicate();
      return true;
    case kCmdSetCaption:
      *enable = CanCaption(nullptr);
      return true;
    case kCmdFlipHorizontally:
    case kCmdFlipVertically:
    case kCmdRotateRight:
    case kCmdRotateLeft:
    case kCmdRotate180:
    case kCmdInfo:
    case kCmdRenameFiles:
    case kCmdCut:
    case kCmdCopy:
    case kCmdDeleteFiles:
    case kCmdClear:
    case kCmdClearWithImages:
      *enable = bc.TotalSelected() > 0;
      return true;
    case kCmdListSettings:
    case kCmdListFile:
    case kCmdListCapture:
    case kCmdListOther:
    case kCmdListAll:
    case kCmdOpenImage:  // the selected records, or a picture chosen
      *enable = true;
      return true;
    case kCmdSelectAll:
      *enable = nd > bc.TotalSelected();
      return true;
    case kCmdSelectNone:
      *enable = bc.TotalSelected() > 0;
      return true;
    case kCmdInvertSelection:
      *enable = nd > 0;
      return true;
    case kCmdReload:  // the records shown, or the folder they came from
      *enable = nd > 0 || (bc.rsrc[0] != '\0' && bc.rsrc[0] != '*');
      return true;
    case kCmdSlideShow:
    case kCmdPrintIndex:
      *enable = nd >= 2;
      return true;
    case kCmdPrint:
    case kCmdMakeHDR:
      *enable = bc.TotalSelected() > 0;
      return true;
    case kCmdPanorama:
      *enable = bc.TotalSelected() > 1 || gCurPano.irl.GetSize() > 1;
      return true;
    case kCmdFind:
      *enable = nd >= 2 || bc.Ready();
      return true;
    case kCmdSynchronizeViews:
    case kCmdSaveImage:
    case kCmdClose:
      *enable = false;
      return true;
    case kCmdFindNearby:
      *enable = checkGlobalPositions();
      return true;
    default:
      return false;
  }
}

OSStatus PMainWindow::HandleCommandUpdate(EventRef event) {
  const UInt32 cmd = PeventCommand(event);
  if (cmd == kCmdHistogram || cmd == kCmdFalseColor) {
    checkMenuCommand(cmd, false);
    enableMenuCommand(cmd, false);
    return noErr;
  }
  if (ExchangeCommandUpdate(cmd)) return noErr;
  if (FieldSettingCommandUpdate(cmd)) return noErr;
  bool enable = false, checked = false;
  if (ThumbState(cmd, &enable, &checked)) {
    checkMenuCommand(cmd, checked);
  } else if (cmd == kCmdListSettings || cmd == kCmdListFile || cmd == kCmdListCapture ||
             cmd == kCmdListOther || cmd == kCmdListAll) {
    const bool* flags[] = {&setSet, &fileSet, &capSet, &otherSet, &allSet};
    const UInt32 codes[] = {kCmdListSettings, kCmdListFile, kCmdListCapture, kCmdListOther,
                            kCmdListAll};
    for (int k = 0; k < 5; ++k)
      if (codes[k] == cmd) checkMenuCommand(cmd, *flags[k]);
    enable = true;
  } else if (!CommandState(cmd, &enable)) {
    return eventNotHandledErr;
  }
  enableMenuCommand(cmd, enable);
  return noErr;
}

bool PMainWindow::SetUndoable(bool undoable) {
  if (!undoable) bc.ClearUndo();
  undoSteps = undoable;
  UpdateUndoItems();
  return undoable && bc.Ready() && bc.pdb.UndoName() != nullptr;
}

void PMainWindow::UpdateUndoItems() const {
  MenuRef edit = GetMenuHandle(kEditMenu);
  if (edit == nullptr) return;
  if (!undoSteps) {
    SetMenuItemText(edit, 2, "Redo");
    DisableMenuItem(edit, 2);
    SetMenuItemText(edit, 1, "Can't Undo");
    DisableMenuItem(edit, 1);
    return;
  }
  // A read-only catalogue takes no step back or forth.
  const bool steps = bc.Ready() && !bc.ReadOnly();
  const char* redo = steps ? bc.pdb.RedoName() : nullptr;
  const char* undo = steps ? bc.pdb.UndoName() : nullptr;
  char text[64];
  snprintf(text, sizeof text, "Redo %s", redo ? redo : "");
  SetMenuItemText(edit, 2, redo ? text : "Redo");
  redo ? EnableMenuItem(edit, 2) : DisableMenuItem(edit, 2);
  snprintf(text, sizeof text, "Undo %s", undo ? undo : "");
  SetMenuItemText(edit, 1, undo ? text : "Undo");
  undo ? EnableMenuItem(edit, 1) : DisableMenuItem(edit, 1);
}
