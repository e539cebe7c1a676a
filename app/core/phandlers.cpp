// The application-level handler and the dialog windows' handlers.
#include "app/core/phandlers.h"

#include <climits>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pcmds.h"
#include "app/core/pcommands.h"
#include "app/core/pdialogs.h"
#include "app/core/pfiles.h"
#include "app/core/pfolder.h"
#include "app/core/phooks.h"
#include "app/core/pprefs.h"
#include "app/core/pseam.h"
#include "platform/pcontrol.h"
#include "platform/pdocuments.h"
#include "platform/pfolders.h"
#include "platform/plaunch.h"
#include "platform/pmounts.h"
#include "platform/pwindow.h"
#include "toolkit/pcommand.h"
#include "app/core/pappstate.h"

namespace {

#ifndef LUMERIN_UPDATES_URL
#define LUMERIN_UPDATES_URL ""
#endif

struct Installed {
  WindowRef* window;
  EventHandlerProcPtr handler;
  const EventTypeSpec* types;
  UInt32 n;
};

}  // namespace

const EventTypeSpec aboutEventSpec[3] = {{kEventClassWindow, kEventWindowClickContentRgn},
                                         {kEventClassWindow, kEventWindowClose},
                                         {kEventClassKeyboard, kEventRawKeyDown}};
const EventTypeSpec appEventSpec[4] = {{kEventClassCommand, kEventCommandProcess},
                                       {kEventClassCommand, kEventCommandUpdateStatus},
                                       {kEventClassVolume, kEventVolumeMounted},
                                       {kEventClassVolume, kEventVolumeUnmounted}};
const EventTypeSpec confirmEventSpec[1] = {{kEventClassCommand, kEventCommandProcess}};
const EventTypeSpec alertEventSpec[2] = {{kEventClassCommand, kEventCommandProcess},
                                         {kEventClassWindow, kEventWindowClose}};

UInt32 PeventCommand(EventRef event) {
  HICommand cmd{};
  if (GetEventParameter(event, kEventParamDirectObject, typeHICommand, nullptr, sizeof cmd, nullptr,
                        &cmd) != noErr)
    return 0;
  return cmd.commandID;
}

namespace {
EventHandlerRef appHandlers[2];
}

void PremoveEventHandlers() {
  for (EventHandlerRef& h : appHandlers) {
    if (h) RemoveEventHandler(h);
    h = nullptr;
  }
}

int PinstallEventHandlers() {
  PremoveEventHandlers();
  PinstallAppState();
  PinstallQuestionGate();
  int n = 0;
  static const EventTypeSpec odoc{kEventClassAppleEvent, kAEOpenDocuments};
  if (InstallEventHandler(GetApplicationEventTarget(), openDocuments, 1, &odoc, nullptr,
                          &appHandlers[0]) == noErr)
    ++n;
  if (InstallEventHandler(GetApplicationEventTarget(), AppEventHandler, 4, appEventSpec, nullptr,
                          &appHandlers[1]) == noErr)
    ++n;
  const Installed table[] = {{&gAboutWindow, AboutEventHandler, aboutEventSpec, 3},
                             {&gProgressWindow, ProgressEventHandler, confirmEventSpec, 1},
                             {&gConfirmWindow, ConfirmEventHandler, confirmEventSpec, 1},
                             {&gPositionWindow, ConfirmEventHandler, confirmEventSpec, 1},
                             {&gInputWindow, ConfirmEventHandler, confirmEventSpec, 1},
                             {&gAlertWindow, AlertEventHandler, alertEventSpec, 2}};
  for (const Installed& i : table) {
    if (*i.window != nullptr && InstallEventHandler(GetWindowEventTarget(*i.window), i.handler, i.n,
                                                    i.types, *i.window, nullptr) == noErr)
      ++n;
  }
  // The libraries' dialogs bring their own handlers.
  for (const PDialogSlot& d : PappHooks().dialogs) {
    if (*d.window != nullptr && d.handler != nullptr &&
        InstallEventHandler(GetWindowEventTarget(*d.window), d.handler, d.eventCount, d.events,
                            *d.window, nullptr) == noErr)
      ++n;
  }
  return n;
}

namespace {

// The quit command is saving the catalogues (its progress and question pump events).
bool quitSaving = false;

OSStatus Process(UInt32 cmd) {
  if (cmd >= kCmdRecentCatalog1 && cmd <= kCmdRecentCatalog5) {
    openCatalog(cmd);
    return noErr;
  }
  switch (cmd) {
    case kCmdAbout:
      AboutCommandHandler(gAboutWindow);
      return noErr;
    case kCmdOpenCatalog:
      chooseCatalog();
      return noErr;
    case kCmdNewCatalog:
      newCatalog();
      return noErr;
    case kCmdCheckUpdates:
      checkUpdates();
      return noErr;
    case kCmdBrowseFolder:
      chooseAndLoadFolder();
      return noErr;
    case kCmdShowLog:
      openLogWindow();
      return noErr;
    case kCmdImportRecords:
      importRecords();
      return noErr;
    case kCmdOpenImage:
      chooseAndOpenImage();
      return noErr;
    case kCmdPageSetup:
      PrunPageSetup();
      return noErr;
    case kCmdHelp:
      openHelp();
      return noErr;
    case kCmdPreferences:
      PappHooks().changePreferences();
      return noErr;
    case kCmdQuit: {
      // A quit chosen again (or the main window's close box) while this one saves: this one
      // goes on.
      if (quitSaving) return noErr;
      if (PisBusy()) {
        PdeferQuit();  // the operation in progress ends first
        return noErr;
      }
      // The catalogues first: going back from their question keeps the images open too. Their
      // changes are dropped only once the images closed too (the quit is decided then). They
      // are saved here, under progress with the windows up and answering, however long another
      // copy of the program holds them: the shut-down after the event loop, which pumps
      // nothing, finds nothing left to write.
      PContext* const bc = gMain != nullptr ? &gMain->bc : nullptr;
      quitSaving = true;
      PsaveChoice choice = PsaveCatalogFirst(bc, "Quit Without Saving", "quit", true);
      if (choice != PsaveChoice::back && (gImager == nullptr || gImager->CloseImages(true) == 1)) {
        // A picture saved as its image closed may have changed the catalogues.
        if (choice == PsaveChoice::saved && bc != nullptr &&
            (bc->Unsynced() || bc->ShadowUnsynced()))
          choice = PsaveCatalogFirst(bc, "Quit Without Saving", "quit", true);
        if (choice == PsaveChoice::without) {
          PcloseCatalog(bc, choice);
          PdropShadowChanges(bc);
        }
        quitSaving = false;
        if (choice != PsaveChoice::back) {
          PquitEventLoop();
          return noErr;
        }
      }
      quitSaving = false;
      DMESSAGE(DMCtrace, "User cancelled application quit");
      return -128;  // userCanceledErr
    }
    case kCmdRedo:
      if (gMain) gMain->Redo();
      return noErr;
    case kCmdUndo:
      if (gMain) gMain->Undo();
      return noErr;
    default:
      return eventNotHandledErr;
  }
}

OSStatus Update(UInt32 cmd) {
  if (cmd >= kCmdRecentCatalog1 && cmd <= kCmdRecentCatalog5) {
    checkCatalogs();  // names, enables or hides every recent catalogue
    return noErr;
  }
  switch (cmd) {
    case kCmdOpenCatalog:
      checkCatalogs();
      enableMenuCommand(cmd, true);
      return noErr;
    case kCmdAbout:
    case kCmdNewCatalog:
    case kCmdBrowseFolder:
    case kCmdShowLog:  // says why when no log is written
    case kCmdImportRecords:
    case kCmdOpenImage:
    case kCmdPageSetup:
    case kCmdHelp:  // says why when the documentation is missing
    case kCmdPreferences:
    case kCmdQuit:
      enableMenuCommand(cmd, true);
      return noErr;
    case kCmdUndo:
    case kCmdRedo:
      if (gMain != nullptr)
        gMain->UpdateUndoItems();
      else
        enableMenuCommand(cmd, false);
      return noErr;
    case kCmdCheckUpdates:  // greyed when the program was built without an address
      enableMenuCommand(cmd, gUpdatesAddress != nullptr && gUpdatesAddress[0] != '\0');
      return noErr;
    case kCmdSetAlbum:
    case kCmdSetKeyword:
    case kCmdSetField:
    case kCmdSetOwner:
    case kCmdSetSubject:
      enableCommandSiblings(cmd, false);
      return noErr;
    case kCmdHistogram:
    case kCmdFalseColor:
      checkMenuCommand(cmd, false);
      enableMenuCommand(cmd, false);
      return noErr;
    default:
      break;
  }
  // A window's command that no window in front took.
  if (PcommandHas(cmd, kNeedsWindow)) {
    enableMenuCommand(cmd, false);
    return noErr;
  }
  return eventNotHandledErr;
}

}  // namespace

OSStatus AppEventHandler(EventHandlerCallRef, EventRef event, void*) {
  const double delay = idleImprovements(0);
  const UInt32 cls = GetEventClass(event), kind = GetEventKind(event);
  if (cls == kEventClassVolume) {
    if (gMain) gMain->UpdateSelectorList(1);
    if (kind == kEventVolumeMounted) {
      gVolumeInserted = 1;
      if (gMain && gMain->GetBrowser()) gMain->GetBrowser()->Redisplay();
    }
    return noErr;
  }
  OSStatus r = eventNotHandledErr;
  if (cls == kEventClassCommand) {
    const UInt32 cmd = PeventCommand(event);
    if (kind == kEventCommandUpdateStatus) {
      r = Update(cmd);
    } else if (kind == kEventCommandProcess) {
      dmessage_last_class = DMCnerr;
      alertLastClass = DMCnerr;
      r = Process(cmd);
    }
  }
  if (r == eventNotHandledErr) idleImprovements(delay);
  return r;
}

void AboutCommandHandler(WindowRef window) {
  if (window == nullptr) return;
  SelectWindow(window);
  ShowWindow(window);
  GrafPtr savePort = nullptr;
  GDHandle saveDevice = nullptr;
  GetGWorld(&savePort, &saveDevice);
  SetPortWindowPort(window);
  Rect bounds;
  GetWindowPortBounds(window, &bounds);
  Rect box{static_cast<short>(bounds.top + 109), bounds.left, bounds.bottom, bounds.right};
  const RGBColor white{0xFFFF, 0xFFFF, 0xFFFF}, black{0, 0, 0};
  RGBBackColor(&white);
  EraseRect(&box);
  RGBForeColor(&black);
  static const char info[] =
      "Version 1.0\n\nA photo browser and cataloguer\nwith high-dynamic-range imaging.";
  PdrawCentredText(&box, info);
  SetGWorld(savePort, saveDevice);
}

const char* gUpdatesAddress = LUMERIN_UPDATES_URL;
// The guide's first page under the prefix: the program is installed as <prefix>/bin/lumerin with
// <prefix>/share/doc/lumerin/guide, and the build tree keeps the same places.
const char* gHelpGuide = "share/doc/lumerin/guide/index.html";

std::string PlaunchFailure(int result) {
  switch (result) {
    case kLaunchFailed:
      return "xdg-open could not be started";
    case kLaunchCrashed:
      return "xdg-open crashed";
    case 1:
      return "xdg-open did not take it";
    case 2:
      return "it does not exist";
    case 3:
      return "no program to open it with was found";
    default:
      return "xdg-open failed (status " + std::to_string(result) + ")";
  }
}

namespace {
void ReportOpenFailure(const std::string& what, int result) {
  // The failure may come after the command that asked for it ended: it is a problem of its own.
  dmessage_last_class = DMCnerr;
  alertLastClass = DMCnerr;
  DMESSAGE_ERRNO(DMCresource, DMnoSystemError, "Cannot open %s: %s", what.c_str(),
                 PlaunchFailure(result).c_str());
}
}  // namespace

void PopenReported(const std::string& item, const std::string& what) {
  if (!OpenWithDesktopWatched(item, [what](int result) { ReportOpenFailure(what, result); }))
    ReportOpenFailure(what, kLaunchFailed);
}

std::string PhelpPlace() {
  // The prefix is the folder holding the program's folder (the build tree for a build).
  const std::string dir = ProgramFolder();
  const size_t slash = dir.rfind('/');
  if (slash == std::string::npos) return gHelpGuide;
  return dir.substr(0, slash + 1) + gHelpGuide;
}

std::string PhelpDocument() {
  char real[PATH_MAX];
  const std::string path = PhelpPlace();
  return realpath(path.c_str(), real) != nullptr && access(real, R_OK) == 0 ? real : "";
}

void openLogWindow() {
  if (gErrLogFile[0] == '\0') {
    DMESSAGE(DMCresource, "Cannot open the log: no log file is being written");
    return;
  }
  PopenReported(gErrLogFile, std::string("the log '") + gErrLogFile + "'");
}

void checkUpdates() {
  if (gUpdatesAddress != nullptr && gUpdatesAddress[0] != '\0')
    PopenReported(gUpdatesAddress, std::string("the address '") + gUpdatesAddress + "'");
}

namespace {
// Tells why the guide is not shown. Like an opener's failure, it may come after the command
// ended: it is alerted whatever came before.
void ReportHelpFailure(const std::string& text) {
  dmessage_last_class = DMCnerr;
  alertLastClass = DMCnerr;
  DMESSAGE_ERRNO(DMCresource, DMnoSystemError, "%s", text.c_str());
}
}  // namespace

void openHelp() {
  // Every failure names the guide's file, so that the user can open it by hand.
  const std::string doc = PhelpDocument();
  if (doc.empty()) {
    ReportHelpFailure("Cannot open the user's guide: '" + PhelpPlace() + "' is missing");
    return;
  }
  const auto failed = [doc](int result) {
    ReportHelpFailure("Cannot open the user's guide '" + doc + "': " + PlaunchFailure(result) +
                      "; open that file in a web browser");
  };
  if (!OpenWithDesktopWatched(doc, failed)) failed(kLaunchFailed);
}

namespace {
// Return, Enter or Escape without a command modifier: the keys that end a dialog.
bool DialogEndingKey(EventRef event) {
  constexpr UInt32 kKeyEscape = 0x01000000, kKeyReturn = 0x01000004, kKeyEnter = 0x01000005;
  UInt32 key = 0, mods = 0;
  GetEventParameter(event, kEventParamKeyCode, typeUInt32, nullptr, sizeof key, nullptr, &key);
  GetEventParameter(event, kEventParamKeyModifiers, typeUInt32, nullptr, sizeof mods, nullptr,
                    &mods);
  return (key == kKeyEscape || key == kKeyReturn || key == kKeyEnter) &&
         (mods & (cmdKey | optionKey | controlKey)) == 0;
}
}  // namespace

OSStatus AboutEventHandler(EventHandlerCallRef, EventRef event, void* userData) {
  if (GetEventClass(event) == kEventClassKeyboard) {
    if (!DialogEndingKey(event)) return eventNotHandledErr;
    HideWindow(static_cast<WindowRef>(userData));
    return noErr;
  }
  if (GetEventClass(event) != kEventClassWindow) return eventNotHandledErr;
  switch (GetEventKind(event)) {
    case kEventWindowClickContentRgn:
    case kEventWindowClose:
      HideWindow(static_cast<WindowRef>(userData));
      return noErr;
    default:
      return eventNotHandledErr;
  }
}

namespace {
bool DialogAnswer(UInt32 cmd) {
  return cmd == kResponseOK || cmd == kResponseCancel || cmd == kResponseCustom;
}
}  // namespace

OSStatus ConfirmEventHandler(EventHandlerCallRef, EventRef event, void* userData) {
  if (GetEventClass(event) != kEventClassCommand || GetEventKind(event) != kEventCommandProcess)
    return eventNotHandledErr;
  const UInt32 cmd = PeventCommand(event);
  if (!DialogAnswer(cmd)) return eventNotHandledErr;
  gConfirmResponse = cmd;
  HideWindow(static_cast<WindowRef>(userData));
  return noErr;
}

OSStatus ProgressEventHandler(EventHandlerCallRef, EventRef event, void* userData) {
  if (GetEventClass(event) != kEventClassCommand || GetEventKind(event) != kEventCommandProcess ||
      PeventCommand(event) != kResponseCancel)
    return eventNotHandledErr;
  PsetWorkStopped(true);
  HideWindow(static_cast<WindowRef>(userData));
  return noErr;
}

OSStatus AlertEventHandler(EventHandlerCallRef, EventRef event, void* userData) {
  WindowRef w = static_cast<WindowRef>(userData);
  if (GetEventClass(event) == kEventClassWindow && GetEventKind(event) == kEventWindowClose) {
    HideWindow(w);
    return noErr;
  }
  if (GetEventClass(event) != kEventClassCommand || GetEventKind(event) != kEventCommandProcess)
    return eventNotHandledErr;
  switch (PeventCommand(event)) {
    case kCmdShowLog:
      openLogWindow();
      return noErr;
    case kResponseOK:
      HideWindow(w);
      return noErr;
    default:
      return eventNotHandledErr;
  }
}

EventRef MatchEvent(int specLen, const EventTypeSpec* eSpec) {
  if (specLen <= 0 || eSpec == nullptr) return nullptr;
  EventRef ev = nullptr;
  if (ReceiveNextEvent(static_cast<UInt32>(specLen), eSpec, 0, false, &ev) != noErr) return nullptr;
  return ev;
}

EventRef MatchEvent(UInt32 eClass, UInt32 eKind) {
  const EventTypeSpec types{eClass, eKind};
  return MatchEvent(1, &types);
}
