// The application object: globals, the interface, start-up and shut-down.
#include "app/core/papp.h"

#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>

#include "app/core/pcmds.h"
#include "app/core/pcommands.h"
#include "app/core/pdialogs.h"
#include "app/core/pfilebatch.h"
#include "app/core/pfiles.h"
#include "app/core/pfolder.h"
#include "app/core/phandlers.h"
#include "app/core/phooks.h"
#include "app/core/pidle.h"
#include "app/core/pprefs.h"
#include "app/core/pprogfolders.h"
#include "app/core/pseam.h"
#include "thumbs/pthumb.h"
#include "formats/stdformats.h"
#include "platform/pdocuments.h"
#include "platform/pmenu.h"
#include "platform/psignals.h"
#include "support/bytetext.h"
#include "support/cnumber.h"
#include "support/dmhold.h"

IMainWindow* gMain = nullptr;
IInfoWindow* gInfo = nullptr;
IFindWindow* gFind = nullptr;
IImageWindow* gImager = nullptr;

WindowRef gInputWindow, gAboutWindow, gConfirmWindow, gPositionWindow, gProgressWindow,
    gAlertWindow;

const PDialogSlot kDialogs[kDialogCount] = {
    {&gInputWindow, "InputWindow"},       {&gAboutWindow, "AboutWindow"},
    {&gConfirmWindow, "ConfirmWindow"},   {&gPositionWindow, "PositionWindow"},
    {&gProgressWindow, "ProgressWindow"}, {&gAlertWindow, "AlertWindow"}};

std::vector<PDialogSlot> PdialogSlots() {
  std::vector<PDialogSlot> all(kDialogs, kDialogs + kDialogCount);
  all.insert(all.end(), PappHooks().dialogs.begin(), PappHooks().dialogs.end());
  return all;
}

int gInterfaceReady = 0;
namespace {
bool shuttingDown = false;
}  // namespace
OSType gConfirmResponse = kResponseOK;
int gVolumeInserted = 0;
char gName[] = "Lumerin";
const char* progname = gName;
const char* gNibName = "main";

namespace {

// Reports a window object without a window, deletes it and clears its global.
template <class T>
bool Made(T*& global, T* made, const char* what) {
  global = made;
  if (made != nullptr && made->GetWindow() != nullptr) return true;
  DMESSAGE(DMCresource, "Cannot create %s window", what);
  return false;
}

// The "RecentCatalog" preference; NULL before the preferences exist.
const DBHeaderLink* RecentCatalogs() {
  return gPrefLink != nullptr ? gPrefLink->GetVar("RecentCatalog") : nullptr;
}

// The recent-catalogue value i, or NULL past the stored values.
const char* RecentCatalog(int i) {
  const DBHeaderLink* v = RecentCatalogs();
  const char* p = v != nullptr ? v->GetSVal(i) : nullptr;
  return p != nullptr && *p != '\0' ? p : nullptr;
}

}  // namespace

PThumbnailer& PthumbManager() {
  static PThumbnailer* t = new PThumbnailer;
  return *t;
}

int PcreateInterface() {
  if (const char* missing = PmissingAppHook()) {
    DMESSAGE(DMCparameter, "Start-up stopped: the hook %s is not registered", missing);
    return 1;
  }
  const PAppHooks& hooks = PappHooks();
  IBNibRef nib = nullptr;
  OSStatus err = CreateNibReference(gNibName, &nib);
  if (err != noErr) return err;
  struct NibGuard {
    IBNibRef nib;
    ~NibGuard() { DisposeNibReference(nib); }
  } guard{nib};
  if ((err = PinstallMenuBar(nib, "MainMenu")) != noErr) return err;
  if (!Made(gMain, hooks.makeMainWindow(nib), "Browser") ||
      !Made(gInfo, hooks.makeInfoWindow(nib), "Info") ||
      !Made(gFind, hooks.makeFindWindow(nib), "Find") ||
      !Made(gImager, hooks.makeImageWindow(nib, gMain->GetBrowser()), "Image"))
    return 1;
  for (const PDialogSlot& d : PdialogSlots())
    if ((err = CreateWindowFromNib(nib, d.nibName, d.window)) != noErr) return err;
  return 0;
}

void PdestroyInterface() {
  delete gImager;
  gImager = nullptr;
  delete gFind;
  gFind = nullptr;
  delete gInfo;
  gInfo = nullptr;
  delete gMain;
  gMain = nullptr;
  for (const PDialogSlot& d : PdialogSlots()) {
    if (*d.window) DisposeWindow(*d.window);
    *d.window = nullptr;
  }
  PremoveEventHandlers();
}

namespace {

void ActOnStartupOption() {
  switch (gStartupOption) {
    case 1:
      openCatalog(kCmdRecentCatalog1);
      break;
    case 2:
      loadPicturesFolder();
      break;
    case 3:
      gMain->Show(1);
      gMain->ShowMessage("Select catalog", false);
      break;
    default:
      break;
  }
}

int StartUp() {
  PloadStandardReaders();
  if (PcreateInterface() != 0) return 1;
  PinstallEventHandlers();
  dmessage_alert = PalertHook;
  dmessage_exit = nullptr;
  for (unsigned c = DMCresource; c <= DMCtrace; ++c) dmessage_class_flags[c] &= ~DMAstderr;
  gMain->SetDisplayFields(0, false);
  gMain->SetThumbSize(kCmdMediumThumbnails, false);
  InitPreferences();
  gInterfaceReady = 1;
  if (gShadowCatalog[0] != '\0' && PshadowFolderReady() && gMain->bc.ShadowDB(gShadowCatalog))
    DMESSAGE(DMCinfo, "Opened shadow catalog '%s'", gShadowCatalog);
  // The documents named on the command line are opened as the event loop starts. When they open
  // a catalogue, the start-up option gives way to it: the catalogue it would open is replaced at
  // once, and its messages (a start-up problem blinked in the status line first, "No catalog",
  // an alert about the recent catalogue) would only hold back that catalogue and stand in for
  // its own. A folder or a record file is shown over what the option opened, its catalogue too.
  if (!PdocumentsOpenACatalogue(CommandLineDocuments())) ActOnStartupOption();
  PreportDamagedPreferences();
  return 0;
}

// The catalogue's last sync on the way out, with no one to ask: what it cannot write is named
// in the log (the file keeps its last saved state).
void SyncCatalogAtEnd(PContext& bc) {
  if (bc.Ready()) bc.SyncDB();  // a failure names the catalogue and what is not saved
}

// The catalogue's close on the way out, with no one to ask: what cannot be written is dropped,
// the file left as its last save and the locks removed. A sync that has just failed (logged
// with what it could not save) is not tried again. True when changes were dropped.
bool CloseCatalogAtEnd(PContext& bc) {
  if (bc.LastError().empty() && (bc.CloseDB(PCloseChanges::save) || !bc.IsOpen())) return false;
  const bool unsaved = bc.Unsynced();
  bc.CloseDB(PCloseChanges::drop,
             "without the changes that could not be saved: its file keeps the last save");
  return unsaved;
}

// The shadow catalogue's close on the way out; true when changes were dropped.
bool CloseShadowAtEnd(PContext& bc) {
  const bool dropped = !bc.SyncShadow();
  bc.ShadowDB(nullptr);
  return dropped;
}

// The shut-down after the event loop; true when a catalogue was closed without changes it could
// not write.
bool ShutDown() {
  shuttingDown = true;
  // The event loop has ended: nothing is pumped from here on, also while a sync or close waits
  // for another copy of the program.
  PsetWaitHook(nullptr);
  PstopIdleSync();
  gImager->CloseImages(false);
  PendPrintSession();
  SavePreferences();
  // The quit was decided: from here on failures are logged, never asked about.
  dmessage_alert = nullptr;
  SyncCatalogAtEnd(gMain->bc);
  if ((dmessage_class_flags[DMCinfo] & DMAlog) && gMain->bc.Ready() && dmessage_logfp != nullptr) {
    // Through the log open since it was checked, never by its name again.
    std::ostringstream os;
    gMain->bc.pdb.PrintStats(&os);
    fputs(os.str().c_str(), dmessage_logfp);
    fflush(dmessage_logfp);
  }
  bool dropped = CloseCatalogAtEnd(gMain->bc);
  gMain->Close();
  dropped = CloseShadowAtEnd(gMain->bc) || dropped;
  PthumbManager().SetCacheDirectory(nullptr);
  gInterfaceReady = 0;
  dmessage_alert = nullptr;
  PdestroyInterface();
  PquitDone();
  shuttingDown = false;
  return dropped;
}

}  // namespace

int Prun() {
  if (StartUp() != 0) return 1;
  PrunEventLoop();
  return ShutDown() ? kExitChangesDropped : 0;
}

void PquitOnSignal(int signo) {
  if (shuttingDown || PquitIsUnattended()) return;
  DMESSAGE(DMCinfo, "Quitting on %s", QuitSignalName(signo));
  PquitUnattended();
}

int PquitOnDisplayLoss() {
  // Nothing may reach the display from here: no events are pumped, nothing is shown, every
  // wait ends.
  gInterfaceReady = 0;
  dmessage_alert = nullptr;
  DMESSAGE(DMCwarning, "The display connection broke: quitting without it");
  bool dropped = false;
  // A rename or delete batch under way ends first, its files as the catalogue on disk says
  // (its records taken back unless the library's work is part way). Then a command part way
  // through its edits ends: only what made whole steps is written.
  if (gMain != nullptr) PendFileBatch(&gMain->bc, !PinLibraryWork());
  const bool whole = gMain == nullptr || PtakeBackPartWay(&gMain->bc);
  PquitUnattended();
  PstopIdleSync();
  if (gMain != nullptr) {
    PContext& bc = gMain->bc;
    if (!whole) {
      // Pumped after a sync's commit, the catalogue loses nothing. The shadow catalogue's
      // changes go too: its own sync may be the work part way.
      const bool unsaved = bc.Unsynced();
      dropped = unsaved || bc.ShadowUnsynced();
      if (bc.ShadowUnsynced()) bc.ShadowStore().Discard();
      bc.CloseDB(PCloseChanges::drop,
                 unsaved ? "without the changes not yet saved: a command was part way through "
                           "them, and its file keeps the last save"
                         : nullptr);
    }
    SyncCatalogAtEnd(bc);
    if (bc.Ready()) DMESSAGE(DMCinfo, "Closing catalog '%s'", bc.dbname);
    dropped = CloseCatalogAtEnd(bc) || dropped;
    dropped = CloseShadowAtEnd(bc) || dropped;
  }
  SavePreferences();
  PthumbManager().SetCacheDirectory(nullptr);
  if (dmessage_logfp) fflush(dmessage_logfp);
  return dropped ? kExitChangesDropped : 0;
}

namespace {

// The shadow catalogue's failed sync in the words of the catalogue's (SyncFailedText).
std::string ShadowFailedText(PContext& bc) {
  const DBAccess& sdb = bc.ShadowStore();
  const int err = sdb.LastErrno();
  const std::string why = err != 0 ? PsystemReason(err) : sdb.LastError();
  return "Cannot save the shadow catalog '" + ShownName(gShadowCatalog) + "'" +
         (why.empty() ? "" : ": " + why) +
         ". The changes since its last save to pictures not in the catalog are not saved.";
}

}  // namespace

PsaveChoice PsaveCatalogFirst(PContext* ctx, const char* without, const char* ending, bool shadow) {
  if (ctx == nullptr) return PsaveChoice::saved;
  PContext& bc = *ctx;
  const bool catalogue = bc.Ready() && !bc.ReadOnly();
  shadow = shadow && bc.ShadowUnsynced();
  if (!catalogue && !shadow) return PsaveChoice::saved;
  bool ok = true, shadowOk = true;
  {
    // The failure is told once, in the question below (the sync logs it).
    const DMessageHold noAlert(DMessageHold::noAlert);
    PWorkProgress work("Saving catalog...");
    if (catalogue) ok = bc.SyncDB();
    if (shadow) shadowOk = bc.SyncShadow();
  }
  if (ok && shadowOk) return PsaveChoice::saved;
  std::string msg = ok ? std::string() : bc.SyncFailedText();
  if (!shadowOk) msg += (msg.empty() ? "" : " ") + ShadowFailedText(bc);
  msg += std::string(" Go back to keep them and try again once the catalog can be written, or ") +
         ending + " without them.";
  // What failed, for the log.
  std::string named = ok ? std::string() : "catalog '" + std::string(bc.dbname) + "'";
  if (!shadowOk)
    named +=
        (named.empty() ? "" : " and ") + std::string("the shadow catalog '") + gShadowCatalog + "'";
  // Tried again while the question waits, as after any failed sync.
  PidleSyncFailed();
  const OSType answer = choiceDialog(msg.c_str(), "Go Back", without);
  if (PquitIsUnattended()) {
    // A quit signal ended the question: the quit goes on as the signal's, which cannot ask.
    DMESSAGE(DMCwarning,
             "The quit signal ended the question about %s unanswered: the quit saves its changes "
             "if it can, else closes it without them",
             named.c_str());
    return PsaveChoice::back;
  }
  if (answer != kResponseCustom) {
    DMESSAGE(DMCinfo, "Went back to keep the changes of %s", named.c_str());
    return PsaveChoice::back;
  }
  if (!(catalogue && bc.Unsynced()) && !(shadow && bc.ShadowUnsynced())) {
    named[0] = static_cast<char>(Cupper(named[0]));
    DMESSAGE(DMCinfo, "%s %s saved while the question waited", named.c_str(),
             ok || shadowOk ? "was" : "were");
    return PsaveChoice::saved;
  }
  DMESSAGE(DMCwarning, "Chose to %s without the changes of %s", ending, named.c_str());
  return PsaveChoice::without;
}

void PdropShadowChanges(PContext* ctx) {
  if (ctx == nullptr || !ctx->ShadowUnsynced()) return;
  // The user was told what is lost: nothing more of it is written, and the file keeps its last
  // complete sync.
  const DMessageHold noAlert(DMessageHold::noAlert);
  ctx->ShadowStore().Discard();
  ctx->ShadowDB(nullptr);
}

bool PcloseCatalog(PContext* ctx, PsaveChoice choice) {
  if (ctx == nullptr) return true;
  PContext& bc = *ctx;
  if (choice == PsaveChoice::without) {
    {
      // The user was told what is lost: a journal that cannot be played back now (the next
      // open does it) is only logged.
      const DMessageHold noAlert(DMessageHold::noAlert);
      bc.CloseDB(PCloseChanges::drop);
    }
    PstopIdleSync(false);  // its failure is over, not saved
    return true;
  }
  // False with the catalogue closed only tells of a change the store refused (told then).
  if (bc.CloseDB(PCloseChanges::save) || !bc.IsOpen()) return true;
  PidleSyncFailed();
  return false;
}

void checkCatalogs() {
  if (RecentCatalogs() == nullptr) return;
  MenuRef menu = nullptr;
  MenuItemIndex cata = 0;
  if (GetIndMenuItemWithCommandID(nullptr, kCmdOpenCatalog, 1, &menu, &cata) != noErr) return;
  int count = cata - 1;
  if (count != 6) DMESSAGE(DMCparameter, "Catalog menu count mismatch");
  const int skip = gMain != nullptr && gMain->bc.Ready() ? 1 : 0;
  int item = 1;
  for (; item <= 5 && item < count; ++item) {
    const char* path = RecentCatalog(item - 1 + skip);
    if (path == nullptr) break;
    const char* slash = strrchr(path, '/');
    PsetMenuItemText(menu, static_cast<MenuItemIndex>(item), slash ? slash + 1 : path);
    ShowMenuItem(menu, static_cast<MenuItemIndex>(item));
    if (access(path, R_OK) == 0)
      EnableMenuItem(menu, static_cast<MenuItemIndex>(item));
    else
      DisableMenuItem(menu, static_cast<MenuItemIndex>(item));
  }
  for (; item <= 5 && item < count; ++item) {  // unused slots are hidden
    DisableMenuItem(menu, static_cast<MenuItemIndex>(item));
    HideMenuItem(menu, static_cast<MenuItemIndex>(item));
  }
}

void openCatalog(OSType cmd) {
  if (RecentCatalogs() == nullptr || gMain == nullptr) return;
  if (cmd < kCmdRecentCatalog1 || cmd > kCmdRecentCatalog5) {
    DMESSAGE(DMCparameter, "Unknown command in openCatalog");
    return;
  }
  int index = static_cast<int>(cmd - kCmdRecentCatalog1) + (gMain->bc.Ready() ? 1 : 0);
  const char* path = RecentCatalog(index);
  bool opened = false;
  if (path != nullptr) {
    const std::string copy = path;  // opening may reorder the list
    if (access(copy.c_str(), R_OK) == 0) opened = gMain->OpenCatalog(copy.c_str());
    if (!opened) DMESSAGE(DMCresource, "Missing catalog '%s'", copy.c_str());
  }
  if (!opened) {
    gMain->Show(1);
    gMain->ShowMessage("No catalog", false);
  }
}

DBRecord* loneRecord(PContextState* st) {
  if (st == nullptr) st = gMain ? &gMain->bc : nullptr;
  if (st == nullptr || st->rsel.Length() == 0) return nullptr;
  const uint32_t first = st->rsel.Find(uint32_t{0}, true);
  if (first >= st->rsel.Length()) return nullptr;
  if (st->rsel.Find(first + 1, true) < st->rsel.Length()) return nullptr;
  if (first >= static_cast<uint32_t>(st->rdisp.GetSize())) return nullptr;
  return &st->rdisp[static_cast<int>(first)];
}
