// The main window's menu commands: what each code does while the window is in front, when its
// menu item may be chosen, and the Edit menu's undo and redo items.
#include <cstdio>

#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pbusy.h"
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

constexpr UInt32 C(const char (&s)[5]) {
  return FourCC(s);
}

constexpr MenuID kEditMenu = 258;

// Codes whose work changes or replaces the displayed records: held back while a load, a
// search or an edit's question pumps events.
bool HeldWhileBusy(UInt32 cmd) {
  if (PrefusedWhileBusy(cmd)) return true;
  switch (cmd) {
    case C("add "):
    case C("cptn"):
    case C("flhz"):
    case C("flvt"):
    case C("cw90"):
    case C("cc90"):
    case C("c180"):
    case C("renm"):
    case C("show"):
    case C("open"):
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
  if (PisBusy() && HeldWhileBusy(cmd)) return noErr;  // greyed meanwhile; a late click waits
  // ---- Density, position and other fields (pmainset.cpp).
  if (SettingCommand(cmd)) return noErr;
  switch (cmd) {
    case C("add "):
      AddRecords();
      return noErr;
    case C("dupl"):
      DuplicateRecords();
      return noErr;
    case C("cptn"):
      SetCaption(nullptr);
      return noErr;
    case C("flhz"):
    case C("flvt"):
    case C("cw90"):
    case C("cc90"):
    case C("c180"):
      Reorient(cmd);
      return noErr;
    case C("sort"):
    case C("sman"):
    case C("sdat"):
    case C("sfil"):
    case C("ssub"):
    case C("stit"):
    case C("sown"):
      SortRecords(cmd, -1);
      return noErr;
    case C("tpvw"):
    case C("tlrg"):
    case C("tmed"):
    case C("tsml"):
      SetThumbSize(cmd, true);
      return noErr;
    case C("zfit"):
    case C("z100"):
      SetThumbSize(C("tpvw"), false);
      return noErr;
    case C("zin "):
      ThumbIncr(1);
      return noErr;
    case C("zout"):
      ThumbIncr(-1);
      return noErr;
    case C("vset"):
    case C("vfil"):
    case C("vcap"):
    case C("voth"):
    case C("vall"):
      SetDisplayFields(cmd, true);
      break;  // the application sees the code too
    case C("prnt"):
      printImages();
      return noErr;
    case C("prni"):
      printIndex();
      return noErr;
    case C("mhdr"):
      makeHDR();
      return noErr;
    case C("pano"):
      makePano();
      return noErr;
    case C("info"): {
      int i = 0;
      if (!bc.NextSelected(&i)) {
        ShowMessage("No selection", false);
      } else if (gInfo) {
        gInfo->ShowInfo(browser, i, true);
      }
      return noErr;
    }
    case C("sall"):
      if (browser) browser->SelectAll();
      return noErr;
    case C("snon"):
      if (browser) browser->SelectNone();
      return noErr;
    case C("invs"):
      if (browser) browser->SelectInverse();
      return noErr;
    case C("open"):
      openImages(nullptr, nullptr);
      return noErr;
    case C("show"):
      if (gImager == nullptr) return noErr;
      if (gImager->CloseImages(true) != 1) {
        DMESSAGE(DMCtrace, "User cancelled slide show");
        return userCanceledErr;
      }
      if (bc.TotalSelected() < 2) bc.SelectAll();
      openImages(nullptr, nullptr);
      gImager->SlideShow();
      return noErr;
    case C("relo"):
      reloadRecords();
      return noErr;
    case C("renm"):
      renameFiles();
      return noErr;
    case C("cut "):
    case C("copy"):
    case C("dele"):
    case C("clea"):
    case C("clei"):
      clipRecords(cmd);
      return noErr;
    case C("fnby"):
      findNearby();
      return noErr;
    case C("find"):
      if (gFind) gFind->Find(this);
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
  const int nd = bc.rdisp.GetSize();
  switch (cmd) {
    case C("add "):
      *enable = bc.Ready() && !bc.ReadOnly() && nd > 0;
      return true;
    case C("sort"):
    case C("sman"):
    case C("sdat"):
    case C("sfil"):
    case C("ssub"):
    case C("stit"):
    case C("sown"):
      *enable = SortChanges(cmd);
      return true;
    case C("dupl"):
      *enable = CanDuplicate();
      return true;
    case C("cptn"):
      *enable = CanCaption(nullptr);
      return true;
    case C("flhz"):
    case C("flvt"):
    case C("cw90"):
    case C("cc90"):
    case C("c180"):
    case C("info"):
    case C("renm"):
    case C("cut "):
    case C("copy"):
    case C("dele"):
    case C("clea"):
    case C("clei"):
      *enable = bc.TotalSelected() > 0;
      return true;
    case C("vset"):
    case C("vfil"):
    case C("vcap"):
    case C("voth"):
    case C("vall"):
    case C("open"):  // the selected records, or a picture chosen
      *enable = true;
      return true;
    case C("sall"):
      *enable = nd > bc.TotalSelected();
      return true;
    case C("snon"):
      *enable = bc.TotalSelected() > 0;
      return true;
    case C("invs"):
      *enable = nd > 0;
      return true;
    case C("relo"):  // the records shown, or the folder they came from
      *enable = nd > 0 || (bc.rsrc[0] != '\0' && bc.rsrc[0] != '*');
      return true;
    case C("show"):
    case C("prni"):
      *enable = nd >= 2;
      return true;
    case C("prnt"):
    case C("mhdr"):
      *enable = bc.TotalSelected() > 0;
      return true;
    case C("pano"):
      *enable = bc.TotalSelected() > 1 || gCurPano.irl.GetSize() > 1;
      return true;
    case C("find"):
      *enable = nd >= 2 || bc.Ready();
      return true;
    case C("synv"):
    case C("save"):
    case C("clos"):
      *enable = false;
      return true;
    case C("fnby"):
      *enable = checkGlobalPositions();
      return true;
    default:
      return false;
  }
}

OSStatus PMainWindow::HandleCommandUpdate(EventRef event) {
  const UInt32 cmd = PeventCommand(event);
  if (cmd == C("hist") || cmd == C("dofc")) {
    checkMenuCommand(cmd, false);
    enableMenuCommand(cmd, false);
    return noErr;
  }
  if (ExchangeCommandUpdate(cmd)) return noErr;
  if (FieldSettingCommandUpdate(cmd)) return noErr;
  bool enable = false, checked = false;
  if (ThumbState(cmd, &enable, &checked)) {
    checkMenuCommand(cmd, checked);
  } else if (cmd == C("vset") || cmd == C("vfil") || cmd == C("vcap") || cmd == C("voth") ||
             cmd == C("vall")) {
    const bool* flags[] = {&setSet, &fileSet, &capSet, &otherSet, &allSet};
    const UInt32 codes[] = {C("vset"), C("vfil"), C("vcap"), C("voth"), C("vall")};
    for (int k = 0; k < 5; ++k)
      if (codes[k] == cmd) checkMenuCommand(cmd, *flags[k]);
    enable = true;
  } else if (!CommandState(cmd, &enable)) {
    return eventNotHandledErr;
  }
  if (enable && PisBusy() && HeldWhileBusy(cmd)) enable = false;
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
