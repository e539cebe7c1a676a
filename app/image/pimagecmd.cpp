// The image window's menu commands: what each code does to the current image (record commands
// act on the browser's selection, which first follows the image), and when its menu item may
// be chosen while the window is in front. Codes not listed go on to the application.
#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pcommands.h"
#include "app/image/pforms.h"
#include "app/records/precfile.h"
#include "app/records/pdates.h"
#include "app/core/pdialogs.h"
#include "app/records/pfindnearby.h"
#include "app/records/psetfield.h"
#include "app/core/phandlers.h"
#include "app/export/ptrader.h"
#include "app/hdrpano/makepano.h"
#include "app/image/pimagewin.h"
#include "app/print/pprint.h"
#include "platform/pmenu.h"
#include "platform/pwindow.h"
#include "support/dmessage.h"
#include "toolkit/pcommand.h"

namespace {

constexpr UInt32 C(const char (&s)[5]) {
  return FourCC(s);
}

// The recent-value items of a setting menu: the three letters of first followed by a digit
// from '1' up to last.
bool InRange(UInt32 cmd, const char (&first)[5], char last) {
  const UInt32 digit = cmd & 0xFFu;
  return (cmd & 0xFFFFFF00u) == (C(first) & 0xFFFFFF00u) && digit >= '1' &&
         digit <= static_cast<UInt32>(last);
}

// The codes setField takes: the setting menus and their recent values, and the comment.
bool FieldCode(UInt32 cmd) {
  switch (cmd) {
    case C("subj"):
    case C("ownr"):
    case C("albm"):
    case C("keyw"):
    case C("comm"):
      return true;
    default:
      return InRange(cmd, "sub1", '7') || InRange(cmd, "own1", '5') || InRange(cmd, "alb1", '7') ||
             InRange(cmd, "key1", '9');
  }
}

// The zoom items in the order of the zoom pop-up (SetZoom's item numbers from 1); 0 when cmd is
// not one.
short ZoomItem(UInt32 cmd) {
  static const UInt32 zooms[12] = {C("z013"), C("z017"), C("z025"), C("z033"),
                                   C("z050"), C("z067"), C("zfit"), C("z100"),
                                   C("z150"), C("z200"), C("z300"), C("z400")};
  for (short item = 1; item <= 12; ++item)
    if (cmd == zooms[item - 1]) return item;
  return 0;
}

}  // namespace

OSStatus PImageWindow::HandleCommand(EventRef event) {
  if (GetEventClass(event) == kEventClassKeyboard) {
    UInt32 key = 0, mods = 0;
    GetEventParameter(event, kEventParamKeyCode, typeUInt32, nullptr, sizeof key, nullptr, &key);
    GetEventParameter(event, kEventParamKeyModifiers, typeUInt32, nullptr, sizeof mods, nullptr,
                      &mods);
    if (key == 0x01000000 && showGoing != 0 && (mods & (cmdKey | optionKey | controlKey)) == 0) {
      StopShow();  // Escape (0x01000000) ends a slide show as a click in the picture does
      return noErr;
    }
    ControlRef focus = nullptr;
    if ((key != 0x01000004 && key != 0x01000005) || (mods & (cmdKey | optionKey | controlKey)) ||
        exposEditField == nullptr || GetKeyboardFocus(GetWindow(), &focus) != noErr ||
        focus != exposEditField)
      return eventNotHandledErr;  // 0x01000004/5: Return and Enter
    const HICommand cmd{kHICommandFromControl, C("expm"), nullptr, 0};
    ProcessHICommand(&cmd);
    return noErr;
  }
  const UInt32 cmd = PeventCommand(event);
  const bool selected = SelectImage(false);
  // The command's first warning is alerted again.
  dmessage_last_class = DMCnerr;
  alertLastClass = DMCnerr;
  if (const short item = ZoomItem(cmd)) {
    SetZoom(item);
    return noErr;
  }
  if (FieldCode(cmd)) {
    setField(cmd);
    return noErr;
  }
  if (cmd == C("othr") || InRange(cmd, "oth1", '9')) {
    if (gMain) gMain->SetOther(cmd);
    return noErr;
  }
  switch (cmd) {
    case C("rept"):
      repeatSetField();
      return noErr;
    case C("dens"):
      if (gMain) gMain->SetDensity(-1.0f);
      return noErr;
    case C("date"):
      adjustDate();
      return noErr;
    case C("fnby"):
      findNearby();
      return noErr;
    case C("cpfn"):
      copyFilenames();
      return noErr;
    case C("cpgp"):
      copyGlobalPositions();
      return noErr;
    case C("dele"):
      clipRecords(cmd);
      return noErr;
    case C("renm"):
      renameFiles();
      return noErr;
    case C("add "):
      if (SelectImage(true) && browser != nullptr && browser->GetMainWindow() != nullptr)
        browser->GetMainWindow()->AddRecords();
      return noErr;
    case C("copy"):
      DMESSAGE(DMCparameter, "Image region copy not implemented");
      return noErr;
    case C("titl"):
      DoTitle(nullptr);
      return noErr;
    case C("cptn"):
      DoCaption(nullptr);
      return noErr;
    case C("info"): {
      if (gInfo == nullptr) return noErr;
      const int i = BrowserRecI();
      if (i >= 0)
        gInfo->ShowInfo(browser, i, true);
      else if (iring != nullptr)
        gInfo->ShowInfo(iring->GetRec(), true);
      return noErr;
    }
    case C("hist"):
      if (gHistoWindow == nullptr) return noErr;
      if (IsWindowVisible(gHistoWindow)) {
        HideWindow(gHistoWindow);
      } else {
        ShowWindow(gHistoWindow);
        UpdateHistogram(-1);
      }
      return noErr;
    case C("synv"):
      syncView = !syncView;
      checkMenuCommand(cmd, syncView);
      return noErr;
    case C("save"):
      if (SaveImage()) Redraw();
      return noErr;
    case C("prnt"):
      if (iring != nullptr) printDisplayImage(iring);
      return noErr;
    case C("pano"):
      makePano();
      return noErr;
    case C("porg"):
    case C("pdst"):
      LinkPano(cmd);
      return noErr;
    case C("crop"):
      Crop();
      return noErr;
    case C("reye"):
      RedEye();
      return noErr;
    case C("spot"):
      SpotMeter();
      return noErr;
    case C("calb"):
      Calibrate();
      return noErr;
    case C("oper"):
      if (opMenu != nullptr)
        SelectOperator();
      else if (Playable())
        RunAnimation();
      return noErr;
    case C("cw90"):
    case C("cc90"):
    case C("c180"):
    case C("flhz"):
    case C("flvt"):
      Reorient(cmd);
      return noErr;
    case C("posn"): {
      const int cur = ImageIndex(nullptr);
      const int pos = positionDialog(ImageCount() - 1, cur);
      if (pos >= 0 && cur >= 0 && pos != cur) Reposition(pos - cur);
      return noErr;
    }
    case C("clos"):
      if (!CloseImage(true)) return userCanceledErr;
      if (iring != nullptr)
        Redraw();
      else
        Show(0);
      return noErr;
    case C("relo"):
      ReloadAll();
      if (selected && checkRecords(true, nullptr) && browser != nullptr) {
        browser->Redisplay();
        browser->ImproveDisplay(false);
      }
      return noErr;
    case C("show"):
      SlideShow();
      return noErr;
    case C("sall"):
      SelectAll();
      return noErr;
    case C("snon"):
      SelectNone();
      return noErr;
    case C("dofc"):
      if (Ready()) FalseColor(iring->fcs == nullptr);
      return noErr;
    case C("expa"):
    case C("exph"):
    case C("expw"):
    case C("fadv"):
    case C("fram"):
      Update();
      return noErr;
    case C("expm"):
      ManualExposure(0.0);
      return noErr;
    case C("zin "):
      ZoomIncr(1);
      return noErr;
    case C("zout"):
      ZoomIncr(-1);
      return noErr;
    default:
      return eventNotHandledErr;
  }
}

OSStatus PImageWindow::HandleCommandUpdate(EventRef event) {
  const UInt32 cmd = PeventCommand(event);
  const bool selected = SelectImage(false);
  // Zoom items that would show the zoom shown are greyed.
  if (const short item = ZoomItem(cmd)) {
    enableMenuCommand(cmd,
                      Ready() && sizeControl != nullptr && GetControlValue(sizeControl) != item);
    return noErr;
  }
  static const UInt32 operators[6] = {C("crop"), C("reye"), C("spot"),
                                      C("porg"), C("pdst"), C("calb")};
  for (int k = 0; k < 6; ++k)
    if (cmd == operators[k]) {
      bool on[6], undo = false;
      OperatorState(on, &undo);
      enableMenuCommand(cmd, on[k]);
      return noErr;
    }
  switch (cmd) {
    case C("zin "):
    case C("zout"): {
      const int now = Ready() && sizeControl != nullptr ? GetControlValue(sizeControl) : 0;
      enableMenuCommand(cmd, Ready() && ZoomStep(cmd == C("zin ") ? 1 : -1) != now);
      return noErr;
    }
    case C("oper"):
      enableMenuCommand(cmd, Ready() && (opMenu != nullptr || Playable()));
      return noErr;
    case C("snon"):
      enableMenuCommand(cmd, Ready() && (HasSelection() || iring->SomeSelected() != 0));
      return noErr;
    case C("add "): {
      IMainWindow* mw = browser != nullptr ? browser->GetMainWindow() : nullptr;
      enableMenuCommand(cmd, Ready() && mw != nullptr && mw->bc.Ready() && !mw->bc.ReadOnly());
      return noErr;
    }
    // The main window's catalogue and view commands wait while the image window is in front.
    case C("clea"):
    case C("clei"):
    case C("cut "):
    case C("dupl"):
    case C("ecat"):
    case C("erec"):
    case C("eweb"):
    case C("find"):
    case C("invs"):
    case C("mhdr"):
    case C("past"):
    case C("prni"):
    case C("tlrg"):
    case C("tmed"):
    case C("tpvw"):
    case C("tsml"):
    case C("vall"):
    case C("vcap"):
    case C("vfil"):
    case C("voth"):
    case C("vset"):
      enableMenuCommand(cmd, false);
      return noErr;
    case C("cw90"):
    case C("cc90"):
    case C("c180"):
    case C("flhz"):
    case C("flvt"):
    case C("clos"):
    case C("info"):
    case C("prnt"):
    case C("relo"):
    case C("sall"):
    case C("save"):
      enableMenuCommand(cmd, Ready());
      return noErr;
    case C("synv"):
      enableMenuCommand(cmd, Ready());
      checkMenuCommand(cmd, syncView);
      return noErr;
    case C("hist"):
      enableMenuCommand(cmd, Ready());
      checkMenuCommand(cmd, gHistoWindow != nullptr && IsWindowVisible(gHistoWindow));
      return noErr;
    case C("comm"):
    case C("cpfn"):
    case C("date"):
    case C("dele"):
    case C("dens"):
    case C("renm"):
      enableMenuCommand(cmd, selected);
      return noErr;
    case C("titl"):  // switches the field to the title, or stores what was typed there
      enableMenuCommand(cmd, selected && TitleChanges());
      return noErr;
    case C("cpgp"):
    case C("fnby"):
      enableMenuCommand(cmd, selected && checkGlobalPositions());
      return noErr;
    case C("albm"):
    case C("keyw"):
    case C("ownr"):
    case C("subj"):
      if (selected)
        checkSettings(cmd);
      else
        enableCommandSiblings(cmd, false);
      return noErr;
    case C("othr"):
      if (selected && gMain != nullptr)
        gMain->CheckOtherSettings();
      else
        enableCommandSiblings(cmd, false);
      return noErr;
    case C("rept"):
      checkRepeatSetting();
      return noErr;
    case C("cptn"): {
      IMainWindow* mw = browser != nullptr ? browser->GetMainWindow() : nullptr;
      enableMenuCommand(cmd, mw != nullptr && mw->CanCaption(nullptr));
      return noErr;
    }
    case C("posn"):
    case C("show"):
      enableMenuCommand(cmd, ImageCount() > 1);
      return noErr;
    case C("copy"):
      enableMenuCommand(cmd, HasSelection());
      return noErr;
    case C("dofc"):
      // Menus ask what is known: they never load the picture.
      enableMenuCommand(cmd, Ready() && iring->LoadedHDR());
      checkMenuCommand(cmd, Ready() && iring->fcs != nullptr);
      return noErr;
    case C("pano"):
      enableMenuCommand(cmd, gCurPano.irl.GetSize() >= 2);
      return noErr;
    default:
      return eventNotHandledErr;
  }
}
