// The preferences dialog: what it shows, the entries checked before anything changes, and the
// settings changed through the core's setters.
#include "app/prefs/pprefdialog.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pcmds.h"
#include "app/core/pdialogs.h"
#include "app/core/phandlers.h"
#include "app/core/pprefs.h"
#include "app/core/pprogfolders.h"
#include "app/prefs/pforms.h"
#include "display/pdispimg.h"
#include "platform/pcontrol.h"
#include "platform/pfolders.h"
#include "platform/pwindow.h"
#include "support/dmessage.h"
#include "support/futil.h"
#include "thumbs/pthumb.h"
#include "toolkit/pctltext.h"

const EventTypeSpec prefEventSpec[2] = {{kEventClassCommand, kEventCommandProcess},
                                        {kEventClassControl, 13}};

namespace {

ControlRef Pref(WindowRef w, SInt32 id) {
  return PcontrolOf(w, kSigPreferences, id);
}

// Shows the thumbnail cache's use in 'pref' 134 and enables the clear button when it holds
// something.
void ShowCacheUse(WindowRef w) {
  PThumbnailerStats stats{};
  char text[64] = "";
  long used = 0;
  if (PthumbManager().GetCacheStats(&stats)) {
    used = stats.kUsed;
    snprintf(text, sizeof text, "(%ldM used)", used / 1024);
  }
  PutControlText(Pref(w, 134), text);
  if (used != 0)
    EnableControl(Pref(w, 135));
  else
    DisableControl(Pref(w, 135));
}

void ClearThumbnailCache(WindowRef w) {
  PutControlText(Pref(w, 134), "Clearing...");
  checkEvents(0);
  PThumbnailer& tn = PthumbManager();
  tn.SetCacheSize(0);
  // A cache without a limit is not purged by the new limit alone.
  tn.PurgeCache();
  tn.SyncCache();
  tn.SetCacheSize(PthumbLimit(thumbCacheMegs));
  ShowCacheUse(w);
}

// What the dialog shows, read and checked before anything changes.
struct Typed {
  char shadow[1024], thumbDir[1024], log[1024];
  int thumbMegs, memMegs;
};

bool ReadPath(WindowRef w, SInt32 id, char* buf, const char* what) {
  if (GetControlText(Pref(w, id), buf, 1024, false) != nullptr) return true;
  DMESSAGE(DMCinput, "The %s path is too long (at most 1023 bytes)", what);
  return false;
}

bool ReadMegs(WindowRef w, SInt32 id, int* megs, const char* what) {
  char text[256];
  if (GetControlText(Pref(w, id), text, sizeof text, false) == nullptr) text[0] = '\0';
  if (PparseMegabytes(text, megs)) return true;
  DMESSAGE(DMCinput, "The %s must be a whole number of megabytes, 0 or more, not '%s'", what, text);
  return false;
}

// Reads the dialog's entries; 0 when all are good, else the id of the first one refused
// (reported).
SInt32 ReadTyped(WindowRef w, Typed* t) {
  if (!ReadPath(w, 143, t->shadow, "shadow catalog")) return 143;
  if (!ReadPath(w, 132, t->thumbDir, "thumbnail cache directory")) return 132;
  if (!ReadPath(w, 137, t->log, "log file")) return 137;
  if (!ReadMegs(w, 133, &t->thumbMegs, "thumbnail cache size")) return 133;
  if (!ReadMegs(w, 136, &t->memMegs, "memory cache size")) return 136;
  return 0;
}

void ChangeShadow(const char* text) {
  if (strcmp(text, gShadowCatalog) == 0) return;
  if (gShadowCatalog[0] != '\0') DMESSAGE(DMCinfo, "Closing shadow catalog '%s'", gShadowCatalog);
  snprintf(gShadowCatalog, sizeof gShadowCatalog, "%s", text);
  if (text[0] != '\0')
    PsetPreference("ShadowCatalog", gShadowCatalog, text);
  else
    PunsetPreference("ShadowCatalog");
  // A folder of the program's own that went missing is made again, and the folder is checked as
  // every folder the program writes into; the open says what else fails.
  std::string why;
  if (!PholdShadowFolder(text, &why)) {
    if (gMain != nullptr) gMain->bc.ShadowDB(nullptr);
    DMESSAGE(DMCinput, "Cannot use shadow catalog '%s': %s", text, why.c_str());
    return;
  }
  if (gMain != nullptr && gMain->bc.ShadowDB(text[0] != '\0' ? text : nullptr))
    DMESSAGE(DMCinfo, "Opened shadow catalog '%s'", gShadowCatalog);
}

void ChangeThumbDir(const char* text) {
  if (strcmp(text, thumbCacheDir) == 0) return;
  std::string why;
  if (text[0] != '\0' && !MakeProgramFolder(text, &why, true)) {
    DMESSAGE(DMCinput, "Cannot use thumbnail cache directory '%s': %s", text, why.c_str());
    return;
  }
  PThumbnailer& tn = PthumbManager();
  if (tn.SetCacheDirectory(text)) {
    DMESSAGE(DMCinfo, "Changed thumbnail cache directory to '%s'", text);
    PsetPreference("ThumbnailCacheDirectory", thumbCacheDir, text);
    PholdThumbFolder(text, &why);
  } else if (text[0] == '\0') {
    DMESSAGE(DMCinfo, "Turned off thumbnail cache");
    PsetPreference("ThumbnailCacheDirectory", thumbCacheDir, "");
    PholdThumbFolder(text, &why);
  } else if (thumbCacheDir[0] != '\0') {
    tn.SetCacheDirectory(thumbCacheDir);
  }
}

void ChangeLog(const char* text) {
  if (strcmp(text, gErrLogFile) == 0) return;
  DMESSAGE(DMCinfo, "Changing log file to '%s'", text);
  if (dmessage_logfp != nullptr) fclose(dmessage_logfp);
  dmessage_logfp = nullptr;
  std::string why, back;
  if (text[0] != '\0' && (dmessage_logfp = PopenLog(text, true, &why)) != nullptr) {
    if (gErrLogFile[0] != '\0') DMESSAGE(DMCinfo, "Changed log file from '%s'", gErrLogFile);
    PsetPreference("ErrorLog", gErrLogFile, text);
    return;
  }
  if (gErrLogFile[0] != '\0') dmessage_logfp = PopenLog(gErrLogFile, false, &back);
  if (why.empty())
    DMESSAGE(DMCinput, "Cannot open log file '%s'", text);
  else
    DMESSAGE(DMCinput, "Cannot open log file '%s': %s", text, why.c_str());
}

}  // namespace

void ChangePreferences() {
  WindowRef w = gPrefWindow;
  if (w == nullptr) return;
  PutControlText(Pref(w, 143), gShadowCatalog);
  PutControlText(Pref(w, 132), thumbCacheDir);
  char num[32];
  snprintf(num, sizeof num, "%d", thumbCacheMegs);
  PutControlText(Pref(w, 133), num);
  snprintf(num, sizeof num, "%d", memoryCacheMegs);
  PutControlText(Pref(w, 136), num);
  PutControlText(Pref(w, 137), gErrLogFile);
  ShowCacheUse(w);
  SetControl32BitValue(Pref(w, 138), (PEMDefault & PEMauto) != 0);
  SetControl32BitValue(Pref(w, 139), (PEMDefault & PEMlocal) != 0);
  SetControl32BitValue(Pref(w, 140), (PEMDefault & PEMhuman) != 0);
  SetControl32BitValue(Pref(w, 144), gStartupOption);
  const SInt32 shownOption = GetControl32BitValue(Pref(w, 144));

  gConfirmResponse = kResponseCancel;
  if (!runDialog(w) || gConfirmResponse != kResponseOK) return;

  Typed t;
  if (ReadTyped(w, &t) != 0) return;  // refused: nothing changes
  ChangeShadow(t.shadow);
  ChangeThumbDir(t.thumbDir);
  if (t.thumbMegs != thumbCacheMegs) {
    thumbCacheMegs = t.thumbMegs;
    PthumbManager().SetCacheSize(PthumbLimit(thumbCacheMegs));
    if (thumbCacheMegs == 0)
      DMESSAGE(DMCinfo, "Changed thumbnail cache size to unlimited");
    else
      DMESSAGE(DMCinfo, "Changed thumbnail cache size to %d Megabytes", thumbCacheMegs);
  }
  if (t.memMegs != memoryCacheMegs) {
    memoryCacheMegs = t.memMegs;
    PsetMemoryBudget();
    DMESSAGE(DMCinfo, "Changed memory cache size to %d Megabytes", memoryCacheMegs);
  }
  ChangeLog(t.log);
  PEMDefault = (GetControl32BitValue(Pref(w, 138)) ? PEMauto : 0) |
               (GetControl32BitValue(Pref(w, 139)) ? PEMlocal : 0) |
               (GetControl32BitValue(Pref(w, 140)) ? PEMhuman : 0);
  // An option the pop-up cannot show stays unless the user chose another.
  const SInt32 option = GetControl32BitValue(Pref(w, 144));
  if (option != shownOption) gStartupOption = option;
}

OSStatus PrefEventHandler(EventHandlerCallRef, EventRef event, void* userData) {
  WindowRef w = static_cast<WindowRef>(userData);
  const UInt32 cls = GetEventClass(event), kind = GetEventKind(event);
  if (cls == kEventClassControl && kind == kEventControlClick) {
    // The exposure check boxes toggle here, not in the control.
    ControlRef c = nullptr;
    GetEventParameter(event, kEventParamDirectObject, typeControlRef, nullptr, sizeof c, nullptr,
                      &c);
    for (SInt32 id = 138; id <= 140; id++)
      if (c != nullptr && c == Pref(w, id)) {
        SetControl32BitValue(c, GetControl32BitValue(c) ? 0 : 1);
        return noErr;
      }
    return eventNotHandledErr;
  }
  if (cls != kEventClassCommand || kind != kEventCommandProcess) return eventNotHandledErr;
  const UInt32 cmd = PeventCommand(event);
  if (cmd == kCmdClearThumbnails) {
    ClearThumbnailCache(w);
    return noErr;
  }
  if (cmd != kResponseOK && cmd != kResponseCancel && cmd != kResponseCustom)
    return eventNotHandledErr;
  if (cmd == kResponseOK) {
    // An entry that cannot be taken keeps the dialog, and the user's other edits, open: its
    // message shows and the entry is selected for mending.
    dmessage_last_class = DMCnerr;
    alertLastClass = DMCnerr;
    Typed t;
    if (const SInt32 bad = ReadTyped(w, &t)) {
      if (IsWindowVisible(w)) EditControlText(w, Pref(w, bad));
      return noErr;
    }
  }
  gConfirmResponse = cmd;
  HideWindow(w);
  return noErr;
}
