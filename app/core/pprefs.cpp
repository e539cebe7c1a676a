// Preferences: reading them at start-up with the log file and the caches, saving them at quit,
// and the preferences dialog.
#include "app/core/pprefs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pcmds.h"
#include "app/core/pdialogs.h"
#include "app/core/phandlers.h"
#include "catalog/plocate.h"
#include "display/pdispimg.h"
#include "platform/pcontrol.h"
#include "platform/pfolders.h"
#include "platform/pwindow.h"
#include "support/cache.h"
#include "support/dmessage.h"
#include "support/futil.h"
#include "thumbs/pthumb.h"
#include "toolkit/pctltext.h"

const char* gLogFallbackFolder = "/tmp";

namespace {

bool initialized = false;
// The file read at start-up was damaged and is not yet kept aside: the next save keeps it
// before replacing it, and replaces nothing when it cannot.
bool prefDamaged = false;
// The damage is yet to be told to the user (once, after start-up), and where the file was kept.
bool damageToTell = false;
std::string damagedKeptAs;
std::string damagedWhy;  // why it was not read whole
// Far beyond what the variables' budgets let the program write.
constexpr std::streamoff kMaxPrefFileBytes = 1 << 20;

DBHeaderLink* Var(const char* name) {
  return PprefLink()->FindVar(name);
}

// Makes text the only value of the string variable name over buf (text may lie in buf).
void SetOnly(const char* name, char* buf, const char* text) {
  const std::string t(text);
  DBHeaderLink* v = Var(name);
  while (v->NSet() > 0) v->DeleteSVal(0);
  v->SetNSet(0);
  PprefLink()->SetVal(buf, t.c_str());
}

// Leaves the variable without values (a string variable's text stays in its buffer).
void Unset(const char* name) {
  DBHeaderLink* v = Var(name);
  while (v->NSet() > 0) v->DeleteSVal(0);
  v->SetNSet(0);
}

// Whether the XDG base of a kind of folder is known: its variable, else $HOME.
bool BaseKnown(const char* variable) {
  const char* v = getenv(variable);
  if (v != nullptr && v[0] == '/') return true;
  const char* home = getenv("HOME");
  return home != nullptr && home[0] == '/';
}

// Copies text into a path buffer; false (buffer unchanged) when it does not fit.
bool CopyPath(char* buf, size_t len, const std::string& text) {
  if (text.size() >= len) return false;
  memcpy(buf, text.c_str(), text.size() + 1);
  return true;
}

// Opens a log file for appending; with fresh, emptied first unless another run of the program
// is writing it (a second instance appends, never erasing the first one's lines). Every run
// holds a shared lock on its log while it has it open: a run that cannot lock it alone knows
// another one writes there. *shared tells which. The file must be a regular file of this user
// reached without a symbolic link, so that a file planted in a shared folder cannot take the
// log elsewhere; NULL with the reason in *why.
FILE* OpenLog(const char* path, bool fresh, std::string* why, bool* shared = nullptr) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *why = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
    return nullptr;
  }
  struct stat st;
  const bool alone = flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (shared != nullptr) *shared = !alone;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "it is not a regular file";
  } else if (st.st_uid != geteuid()) {
    *why = "it belongs to another user";
  } else if (fresh && alone && ftruncate(fd, 0) != 0) {
    *why = std::strerror(errno);
  } else if (FILE* f = fdopen(fd, "a")) {
    flock(fd, alone ? LOCK_SH : LOCK_SH | LOCK_NB);
    return f;
  } else {
    *why = std::strerror(errno);
  }
  close(fd);
  return nullptr;
}

// The thumbnail cache limit in kilobytes for a size in megabytes: none (-1) for 0.
long ThumbLimit(int megs) {
  return megs == 0 ? -1 : static_cast<long>(megs) * 1024;
}

void SetMemoryBudget() {
  CacheObject::tab.memoryBudget = static_cast<uint64_t>(memoryCacheMegs) << 20;
}

// Every setting kept in the preferences at its initial value, none of them set.
void ResetSettings() {
  memset(gRecentCatalogs, 0, sizeof gRecentCatalogs);
  gShadowCatalog[0] = '\0';
  snprintf(gErrLogFile, sizeof gErrLogFile, "%s", "/var/tmp/Lumerin.log");
  gStartupOption = 1;
  PEMDefault = PEMauto;
  memoryCacheMegs = 32;
  thumbCacheMegs = 256;
  thumbCacheDir[0] = '\0';
  delete PFMigrations;
  PFMigrations = nullptr;
  gCamResponse.Resize(0);
  if (gPrefLink != nullptr) gPrefLink->Clear();
}

// Keeps the damaged file as "<file>.damaged" (a second name for it, so the new file written
// over its name leaves it whole); true when it is kept.
bool KeepDamaged() {
  const std::string kept = std::string(gPrefFile) + ".damaged";
  unlink(kept.c_str());
  if (link(gPrefFile, kept.c_str()) != 0 && errno != ENOENT) {
    DMESSAGE(DMCwarning, "Cannot keep the damaged preferences file as '%s'", kept.c_str());
    return false;
  }
  DMESSAGE(DMCwarning, "Kept the damaged preferences file as '%s'", kept.c_str());
  damagedKeptAs = kept;
  prefDamaged = false;
  return true;
}

// Reads the preferences file; false when it could not be opened. A file that cannot be read
// whole applies none of its values: the settings stay at their initial values; once the log is
// open the file is kept aside, and the user is told after start-up.
bool ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return false;
  std::string text, why;
  char buf[65536];
  while (text.size() <= static_cast<size_t>(kMaxPrefFileBytes) &&
         (in.read(buf, sizeof buf) || in.gcount() > 0))
    text.append(buf, static_cast<size_t>(in.gcount()));
  bool whole = false;
  if (in.bad())
    why = "it cannot be read";
  else if (text.size() > static_cast<size_t>(kMaxPrefFileBytes))
    why = "it is too large";
  else
    whole = PreadPreferencesText(text, &why);
  if (whole) return true;
  ResetSettings();
  prefDamaged = true;
  damageToTell = true;
  damagedKeptAs.clear();
  damagedWhy = why;
  return true;
}

// Brings what was read into the form the program uses: one value for the single paths, sizes
// of 0 or more.
void CheckValues() {
  for (const char* name : {"ShadowCatalog", "ErrorLog", "ThumbnailCacheDirectory"}) {
    DBHeaderLink* v = Var(name);
    while (v->NSet() > 1) v->DeleteSVal(v->NSet() - 1);
    if (v->NSet() < 0) v->SetNSet(0);
  }
  if (Var("RecentCatalog")->NSet() < 0) Var("RecentCatalog")->SetNSet(0);
  struct {
    int* value;
    int initial;
    const char* name;
  } sizes[] = {{&memoryCacheMegs, 32, "MemoryCacheMegs"},
               {&thumbCacheMegs, 256, "ThumbnailCacheMegs"}};
  for (auto& s : sizes)
    if (*s.value < 0) {
      DMESSAGE(DMCdata, "Bad %s %d in preferences file", s.name, *s.value);
      *s.value = s.initial;
    }
}

// Opens the log file named by gErrLogFile from empty (at its end while another run writes it);
// "ErrorLog" is set exactly when it opened.
void OpenLogFile() {
  Unset("ErrorLog");
  if (gErrLogFile[0] == '\0') return;
  if (dmessage_logfp != nullptr) fclose(dmessage_logfp);
  std::string why;
  bool shared = false;
  dmessage_logfp = OpenLog(gErrLogFile, true, &why, &shared);
  if (dmessage_logfp != nullptr) {
    SetOnly("ErrorLog", gErrLogFile, gErrLogFile);
    if (shared)
      DMESSAGE(DMCinfo, "Log file '%s' is open in another run: process %d appends to it",
               gErrLogFile, static_cast<int>(getpid()));
    return;
  }
  DMESSAGE(DMCwarning, "Cannot open log file '%s': %s", gErrLogFile, why.c_str());
  gErrLogFile[0] = '\0';  // no log: nothing may be appended to that name later
}

// Control (sig, id) of w.
ControlRef Control(WindowRef w, const char* sig, SInt32 id) {
  ControlID cid{FourCC({sig[0], sig[1], sig[2], sig[3], 0}), id};
  ControlRef c = nullptr;
  return w != nullptr && GetControlByID(w, &cid, &c) == noErr ? c : nullptr;
}

ControlRef Pref(WindowRef w, SInt32 id) {
  return Control(w, "pref", id);
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
  tn.SetCacheSize(ThumbLimit(thumbCacheMegs));
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
  CopyPath(gShadowCatalog, sizeof gShadowCatalog, text);
  if (text[0] != '\0')
    SetOnly("ShadowCatalog", gShadowCatalog, text);
  else
    Unset("ShadowCatalog");
  if (gMain != nullptr && gMain->bc.ShadowDB(text[0] != '\0' ? text : nullptr))
    DMESSAGE(DMCinfo, "Opened shadow catalog '%s'", gShadowCatalog);
}

void ChangeThumbDir(const char* text) {
  if (strcmp(text, thumbCacheDir) == 0) return;
  if (text[0] != '\0' && isdirectory(text) != 1 && mkdir(text, 0700) != 0) {
    DMESSAGE(DMCinput, "Cannot create thumbnail cache directory '%s'", text);
    return;
  }
  PThumbnailer& tn = PthumbManager();
  if (tn.SetCacheDirectory(text)) {
    DMESSAGE(DMCinfo, "Changed thumbnail cache directory to '%s'", text);
    SetOnly("ThumbnailCacheDirectory", thumbCacheDir, text);
  } else if (text[0] == '\0') {
    DMESSAGE(DMCinfo, "Turned off thumbnail cache");
    SetOnly("ThumbnailCacheDirectory", thumbCacheDir, "");
  } else if (thumbCacheDir[0] != '\0') {
    tn.SetCacheDirectory(thumbCacheDir);
  }
}

void ChangeLog(const char* text) {
  if (strcmp(text, gErrLogFile) == 0) return;
  DMESSAGE(DMCinfo, "Changing log file to '%s'", text);
  if (dmessage_logfp != nullptr) fclose(dmessage_logfp);
  dmessage_logfp = nullptr;
  std::string why;
  if (text[0] != '\0' && (dmessage_logfp = OpenLog(text, true, &why)) != nullptr) {
    if (gErrLogFile[0] != '\0') DMESSAGE(DMCinfo, "Changed log file from '%s'", gErrLogFile);
    SetOnly("ErrorLog", gErrLogFile, text);
    return;
  }
  if (gErrLogFile[0] != '\0') dmessage_logfp = OpenLog(gErrLogFile, false, &why);
  DMESSAGE(DMCinput, "Cannot open log file '%s'", text);
}

}  // namespace

void InitPreferences() {
  if (initialized) return;
  initialized = true;
  PprefLink()->Clear();  // only what the file holds counts as set
  std::string message;
  if (gPrefFile[0] == '\0') {
    const std::string dir = UserFolder(kPreferencesFolder, &message);
    if (!dir.empty()) CopyPath(gPrefFile, sizeof gPrefFile, dir + "/Lumerin");
  }
  const bool read = gPrefFile[0] != '\0' && ReadFile(gPrefFile);
  CheckValues();

  std::string logMessage;
  if (Var("ErrorLog")->NSet() <= 0 && BaseKnown("XDG_STATE_HOME")) {
    std::string dir = UserFolder(kStateFolder, &logMessage);
    if (dir.empty()) dir = gLogFallbackFolder;
    CopyPath(gErrLogFile, sizeof gErrLogFile, dir + "/Lumerin.txt");
  }
  OpenLogFile();
  if (!logMessage.empty()) DMESSAGE(DMCwarning, "%s", logMessage.c_str());

  if (read && prefDamaged) {
    DMESSAGE(DMCwarning, "Preferences file '%s' not read: %s", gPrefFile, damagedWhy.c_str());
    KeepDamaged();
  } else if (read) {
    DMESSAGE(DMCinfo, "Read preferences from '%s'", gPrefFile);
  } else if (gPrefFile[0] == '\0') {
    DMESSAGE(DMCwarning, "No preferences file ($HOME set?)");
  } else {
    DMESSAGE(DMCinfo, "Initializing preferences");
  }
  if (!message.empty()) DMESSAGE(DMCwarning, "%s", message.c_str());

  for (const char* name :
       {"DisplayExposureFlags", "MemoryCacheMegs", "ThumbnailCacheMegs", "StartupOption"})
    Var(name)->SetNSet(1);

  const bool shadowUnset = Var("ShadowCatalog")->NSet() <= 0;
  const bool thumbUnset = Var("ThumbnailCacheDirectory")->NSet() <= 0;
  if ((shadowUnset || thumbUnset) && BaseKnown("XDG_CACHE_HOME")) {
    const std::string cache = UserFolder(kCacheFolder, &message);
    if (cache.empty())
      DMESSAGE(DMCwarning, "%s", message.c_str());
    else {
      if (shadowUnset) SetOnly("ShadowCatalog", gShadowCatalog, (cache + "/Lumerin.qdb").c_str());
      if (thumbUnset)
        SetOnly("ThumbnailCacheDirectory", thumbCacheDir, (cache + "/LumerinCache").c_str());
    }
  }

  PThumbnailer& tn = PthumbManager();
  if (thumbCacheDir[0] != '\0') {
    if (isdirectory(thumbCacheDir) != 1 && mkdir(thumbCacheDir, 0700) != 0) {
      DMESSAGE(DMCwarning, "Cannot create thumbnail cache directory '%s'", thumbCacheDir);
      tn.SetCacheDirectory(nullptr);
    } else {
      tn.SetCacheDirectory(thumbCacheDir);
    }
  }
  tn.SetCacheSize(ThumbLimit(thumbCacheMegs));
  tn.doCrop = true;
  tn.doOrient = false;
  SetMemoryBudget();
}

void SavePreferences() {
  if (gPrefLink == nullptr || gPrefFile[0] == '\0') return;
  // The damaged file is kept beside the new one, for the user to look at.
  if (prefDamaged && !KeepDamaged()) {
    DMESSAGE(DMCresource, "Cannot write preferences to file '%s'", gPrefFile);
    return;
  }
  std::string why;
  if (!PwritePreferencesFile(gPrefFile, &why)) {
    DMESSAGE(DMCwarning, "Preferences file '%s': %s", gPrefFile, why.c_str());
    DMESSAGE(DMCresource, "Cannot write preferences to file '%s'", gPrefFile);
    return;
  }
  DMESSAGE(DMCinfo, "Wrote preferences to '%s'", gPrefFile);
}

void PreportDamagedPreferences() {
  if (!damageToTell) return;
  damageToTell = false;
  // A report of its own, like a command's: shown even when start-up has alerted already.
  dmessage_last_class = DMCnerr;
  alertLastClass = DMCnerr;
  if (!damagedKeptAs.empty())
    DMESSAGE(DMCdata,
             "The preferences file '%s' is damaged. The default settings are used, and the "
             "damaged file is kept as '%s'.",
             gPrefFile, damagedKeptAs.c_str());
  else
    DMESSAGE(DMCdata,
             "The preferences file '%s' is damaged. The default settings are used; the file "
             "could not be kept aside, so it is not replaced at quit.",
             gPrefFile);
}

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
    PthumbManager().SetCacheSize(ThumbLimit(thumbCacheMegs));
    if (thumbCacheMegs == 0)
      DMESSAGE(DMCinfo, "Changed thumbnail cache size to unlimited");
    else
      DMESSAGE(DMCinfo, "Changed thumbnail cache size to %d Megabytes", thumbCacheMegs);
  }
  if (t.memMegs != memoryCacheMegs) {
    memoryCacheMegs = t.memMegs;
    SetMemoryBudget();
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

void PresetPreferences() {
  delete gPrefLink;
  gPrefLink = nullptr;
  initialized = false;
  prefDamaged = false;
  damageToTell = false;
  damagedKeptAs.clear();
  damagedWhy.clear();
  ResetSettings();
  gPrefFile[0] = '\0';
  if (dmessage_logfp != nullptr) fclose(dmessage_logfp);
  dmessage_logfp = nullptr;
}
