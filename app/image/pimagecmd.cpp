// The image window's menu commands: what each code does to the current image (record commands
// act on the browser's selection, which first follows the image), and when its menu item may
// be chosen while the window is in front. Codes not listed go on to the application.
#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pcmds.h"
#include "app/core/pcommands.h"
#include "app/image/pforms.h"
#include "app/records/precfile.h"
#include "app/core/pdialogs.h"
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

// The recent-value items of a setting menu: the three letters of first followed by a digit
// from '1' up to last.
bool InRange(UInt32 cmd, OSType first, char last) {
  const UInt32 digit = cmd & 0xFFu;
  return (cmd & 0xFFFFFF00u) == (first & 0xFFFFFF00u) && digit >= '1' &&
         digit <= static_cast<UInt32>(last);
}

// The codes setField takes: the setting menus and their recent values, and the comment.
bool FieldCode(UInt32 cmd) {
  switch (cmd) {
    case kCmdSetSubject:
    case kCmdSetOwner:
    case kCmdSetAlbum:
    case kCmdSetKeyword:
    case kCmdAddComment:
      return true;
    default:
      return InRange(cmd, kCmdRecentSubject1, '7') || InRange(cmd, kCmdRecentOwner1, '5') ||
             InRange(cmd, kCmdRecentAlbum1, '7') || InRange(cmd, kCmdRecentKeyword1, '9');
  }
}

// The zoom items in the order of the zoom pop-up (SetZoom's item numbers from 1); 0 when cmd is
// not one.
short ZoomItem(UInt32 cmd) {
  static const UInt32 zooms[12] = {kCmdZoom1_8, kCmdZoom1_6, kCmdZoom1_4,   kCmdZoom1_3,
                                   kCmdZoom1_2, kCmdZoom2_3, kCmdZoomToFit, kCmdActualSize,
                                   kCmdZoom3_2, kCmdZoom2_1, kCmdZoom3_1,   kCmdZoom4_1};
  for (short item = 1; item <= 12; ++item)
    if (cmd == zooms[item - 1]) return item;
  return 0;
}

// Whether a command event came from a control (the zoom pop-up sends its items' codes).
bool FromControl(EventRef event) {
  HICommand hc{};
  return GetEventParameter(event, kEventParamDirectObject, typeHICommand, nullptr, sizeof hc,
                           nullptr, &hc) == noErr &&
         (hc.attributes & kHICommandFromControl) != 0;
}

// The program's commands that go on while the image window saves (the window's own wait).
bool RunsWhileSaving(UInt32 cmd) {
  return cmd == kCmdQuit || cmd == kCmdHelp || cmd == kCmdAbout || cmd == kCmdShowLog ||
         cmd == kCmdCheckUpdates;
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
    const HICommand cmd{kHICommandFromControl, kCmdExposureMultiplier, nullptr, 0};
    ProcessHICommand(&cmd);
    return noErr;
  }
  const UInt32 cmd = PeventCommand(event);
  if (saving) return RunsWhileSaving(cmd) ? eventNotHandledErr : noErr;
  const bool selected = SelectImage(false);
  // The command's first warning is alerted again.
  dmessage_last_class = DMCnerr;
  alertLastClass = DMCnerr;
  if (const short item = ZoomItem(cmd)) {
    // A pick from the pop-up has moved it to the item already: reading the panel applies it.
    if (FromControl(event) && sizeControl != nullptr && GetControlValue(sizeControl) == item)
      Update();
    else
      SetZoom(item);
    return noErr;
  }
  if (FieldCode(cmd)) {
    setField(cmd);
    return noErr;
  }
  if (cmd == kCmdSetField || InRange(cmd, kCmdSetField1, '9')) {
    if (gMain) gMain->SetOther(cmd);
    return noErr;
  }
  if (PsharedRecordCommand(cmd) || PcopyCommand(cmd)) return noErr;
  switch (cmd) {
    case kCmdSetDensity:
      if (gMain) gMain->SetDensity(-1.0f);
      return noErr;
    case kCmdDeleteFiles:
      clipRecords(cmd);
      return noErr;
    case kCmdAddToCatalog:
      if (SelectImage(true) && browser != nullptr && browser->GetMainWindow() != nullptr)
        browser->GetMainWindow()->AddRecords();
      return noErr;
    case kCmdCopy:
      DMESSAGE(DMCparameter, "Image region copy not implemented");
      return noErr;
    case kCmdSetTitle:
      DoTitle(nullptr);
      return noErr;
    case kCmdSetCaption:
      DoCaption(nullptr);
      return noErr;
    case kCmdInfo: {
      if (gInfo == nullptr) return noErr;
      const int i = BrowserRecI();
      if (i >= 0)
        gInfo->ShowInfo(browser, i, true);
      else if (iring != nullptr)
        gInfo->ShowInfo(iring->GetRec(), true);
      return noErr;
    }
    case kCmdHistogram:
      if (gHistoWindow == nullptr) return noErr;
      if (IsWindowVisible(gHistoWindow)) {
        HideWindow(gHistoWindow);
      } else {
        ShowWindow(gHistoWindow);
        UpdateHistogram(-1);
      }
      return noErr;
    case kCmdSynchronizeViews:
      syncView = !syncView;
      checkMenuCommand(cmd, syncView);
      return noErr;
    case kCmdSaveImage:
      if (SaveImage()) Redraw();
      return noErr;
    case kCmdPrint:
      if (iring != nullptr) printDisplayImage(iring);
      return noErr;
    case kCmdPanorama:
      makePano();
      return noErr;
    case kCmdPanoramaOrigin:
    case kCmdPanoramaDestination:
      LinkPano(cmd);
      return noErr;
    case kCmdCrop:
      Crop();
      return noErr;
    case kCmdRedEye:
      RedEye();
      return noErr;
    case kCmdSpotMeter:
      SpotMeter();
      return noErr;
    case kCmdCalibrate:
      Calibrate();
      return noErr;
    case kCmdApplyOperator:
      if (opMenu != nullptr)
        SelectOperator();
      else if (Playable())
        RunAnimation();
      return noErr;
    case kCmdRotateRight:
    case kCmdRotateLeft:
    case kCmdRotate180:
    case kCmdFlipHorizontally:
    case kCmdFlipVertically:
      Reorient(cmd);
      return noErr;
    case kCmdMoveToPosition: {
      const int cur = ImageIndex(nullptr);
      const int pos = positionDialog(ImageCount() - 1, cur);
      if (pos >= 0 && cur >= 0 && pos != cur) Reposition(pos - cur);
      return noErr;
    }
    case kCmdClose:
      if (!CloseImage(true)) return userCanceledErr;
      if (iring != nullptr)
        Redraw();
      else
        Show(0);
      return noErr;
    case kCmdReload:
      ReloadAll();
      if (selected && checkRecords(true, nullptr).changed && browser != nullptr) {
        browser->Redisplay();
        browser->ImproveDisplay(false);
      }
      return noErr;
    case kCmdSlideShow:
      SlideShow();
      return noErr;
    case kCmdSelectAll:
      SelectAll();
      return noErr;
    case kCmdSelectNone:
      SelectNone();
      return noErr;
    case kCmdFalseColor:
      if (Ready()) FalseColor(iring->fcs == nullptr);
      return noErr;
    case kCmdExposureAuto:
    case kCmdExposureHuman:
    case kCmdExposureLocal:
    case kCmdAdvance:
    case kCmdFrame:
      Update();
      return noErr;
    case kCmdExposureMultiplier:
      ManualExposure(0.0);
      return noErr;
    case kCmdZoomIn:
      ZoomIncr(1);
      return noErr;
    case kCmdZoomOut:
      ZoomIncr(-1);
      return noErr;
    default:
      return eventNotHandledErr;
  }
}

OSStatus PImageWindow::HandleCommandUpdate(EventRef event) {
  const UInt32 cmd = PeventCommand(event);
  if (saving) {
    if (RunsWhileSaving(cmd)) return eventNotHandledErr;
    enableMenuCommand(cmd, false);
    return noErr;
  }
  const bool selected = SelectImage(false);
  // Zoom items that would show the zoom shown are greyed.
  if (const short item = ZoomItem(cmd)) {
    enableMenuCommand(cmd,
                      Ready() && sizeControl != nullptr && GetControlValue(sizeControl) != item);
    return noErr;
  }
  static const UInt32 operators[6] = {
      kCmdCrop,     kCmdRedEye, kCmdSpotMeter, kCmdPanoramaOrigin, kCmdPanoramaDestination,
      kCmdCalibrate};
  for (int k = 0; k < 6; ++k)
    if (cmd == operators[k]) {
      bool on[6], undo = false;
      OperatorState(on, &undo);
      enableMenuCommand(cmd, on[k]);
      return noErr;
    }
  switch (cmd) {
    case kCmdZoomIn:
    case kCmdZoomOut: {
      const int now = Ready() && sizeControl != nullptr ? GetControlValue(sizeControl) : 0;
      enableMenuCommand(cmd, Ready() && ZoomStep(cmd == kCmdZoomIn ? 1 : -1) != now);
      return noErr;
    }
    case kCmdApplyOperator:
      enableMenuCommand(cmd, Ready() && (opMenu != nullptr || Playable()));
      return noErr;
    case kCmdSelectNone:
      enableMenuCommand(cmd, Ready() && (HasSelection() || iring->SomeSelected() != 0));
      return noErr;
    case kCmdAddToCatalog: {
      IMainWindow* mw = browser != nullptr ? browser->GetMainWindow() : nullptr;
      enableMenuCommand(cmd, Ready() && mw != nullptr && mw->bc.Ready() && !mw->bc.ReadOnly());
      return noErr;
    }
    // The main window's catalogue and view commands wait while the image window is in front.
    case kCmdClear:
    case kCmdClearWithImages:
    case kCmdCut:
    case kCmdDuplicate:
    case kCmdExportCatalog:
    case kCmdExportRecords:
    case kCmdExportWebAlbum:
    case kCmdFind:
    case kCmdInvertSelection:
    case kCmdMakeHDR:
    case kCmdPaste:
    case kCmdPrintIndex:
    case kCmdLargeThumbnails:
    case kCmdMediumThumbnails:
    case kCmdPreviewThumbnails:
    case kCmdSmallThumbnails:
    case kCmdListAll:
    case kCmdListCapture:
    case kCmdListFile:
    case kCmdListOther:
    case kCmdListSettings:
      enableMenuCommand(cmd, false);
      return noErr;
    case kCmdRotateRight:
    case kCmdRotateLeft:
    case kCmdRotate180:
    case kCmdFlipHorizontally:
    case kCmdFlipVertically:
    case kCmdClose:
    case kCmdInfo:
    case kCmdPrint:
    case kCmdReload:
    case kCmdSelectAll:
    case kCmdSaveImage:
      enableMenuCommand(cmd, Ready());
      return noErr;
    case kCmdSynchronizeViews:
      enableMenuCommand(cmd, Ready());
      checkMenuCommand(cmd, syncView);
      return noErr;
    case kCmdHistogram:
      enableMenuCommand(cmd, Ready());
      checkMenuCommand(cmd, gHistoWindow != nullptr && IsWindowVisible(gHistoWindow));
      return noErr;
    case kCmdAddComment:
    case kCmdCopyFileNames:
    case kCmdAdjustDate:
    case kCmdDeleteFiles:
    case kCmdSetDensity:
    case kCmdRenameFiles:
      enableMenuCommand(cmd, selected);
      return noErr;
    case kCmdSetTitle:  // switches the field to the title, or stores what was typed there
      enableMenuCommand(cmd, selected && TitleChanges());
      return noErr;
    case kCmdCopyPositions:
    case kCmdFindNearby:
      enableMenuCommand(cmd, selected && checkGlobalPositions());
      return noErr;
    case kCmdSetAlbum:
    case kCmdSetKeyword:
    case kCmdSetOwner:
    case kCmdSetSubject:
      if (selected)
        checkSettings(cmd);
      else
        enableCommandSiblings(cmd, false);
      return noErr;
    case kCmdSetField:
      if (selected && gMain != nullptr)
        gMain->CheckOtherSettings();
      else
        enableCommandSiblings(cmd, false);
      return noErr;
    case kCmdRepeatSetting:
      checkRepeatSetting();
      return noErr;
    case kCmdSetCaption: {
      IMainWindow* mw = browser != nullptr ? browser->GetMainWindow() : nullptr;
      enableMenuCommand(cmd, mw != nullptr && mw->CanCaption(nullptr));
      return noErr;
    }
    case kCmdMoveToPosition:
    case kCmdSlideShow:
      enableMenuCommand(cmd, ImageCount() > 1);
      return noErr;
    case kCmdCopy:
      enableMenuCommand(cmd, HasSelection());
      return noErr;
    case kCmdFalseColor:
      // Menus ask what is known: they never load the picture.
      enableMenuCommand(cmd, Ready() && iring->LoadedHDR());
      checkMenuCommand(cmd, Ready() && iring->fcs != nullptr);
      return noErr;
    case kCmdPanorama:
      enableMenuCommand(cmd, gCurPano.irl.GetSize() >= 2);
      return noErr;
    default:
      return eventNotHandledErr;
  }
}
