// Preferences: reading them at start-up with the log file and the caches, saving them at quit,
// and the setters the preferences dialog changes them through.
#include "app/core/pprefs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pprogfolders.h"
#include "display/pdispimg.h"
#include "platform/pfolders.h"
#include "support/cache.h"
#include "support/dmessage.h"
#include "support/futil.h"
#include "support/pfilestream.h"
#include "support/replacefile.h"
#include "thumbs/pthumb.h"

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
std::string unreadWhy;   // why what stands at its name was not read at all, told once logged
// Far beyond what the variables' budgets let the program write.
constexpr std::streamoff kMaxPrefFileBytes = 1 << 20;
// The log's place in the preferences while this run logs to the fallback folder instead: it is
// what the preferences keep.
std::string logKept;

DBHeaderLink* Var(const char* name) {
  return PprefLink()->FindVar(name);
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
  PFileStream in;
  if (!in.Open(path, O_RDONLY)) {
    // Only a regular file is read (a FIFO would hold the start until someone wrote to it).
    if (errno == EISDIR || errno == PEnotRegular) unreadWhy = "it is " + PopenFailure(errno);
    return false;
  }
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

// Opens the log file at path from empty (at its end while another run writes it); false with the
// reason in *why.
bool OpenLogAt(const char* path, std::string* why) {
  if (dmessage_logfp != nullptr) fclose(dmessage_logfp);
  bool shared = false;
  dmessage_logfp = PopenLog(path, true, why, &shared);
  if (dmessage_logfp == nullptr) return false;
  if (shared)
    DMESSAGE(DMCinfo, "Log file '%s' is open in another run: process %d appends to it", path,
             static_cast<int>(getpid()));
  return true;
}

// Opens the log file named by gErrLogFile, its folder made again when it is one of the program's
// own that went missing; "ErrorLog" is set exactly when it opened. A log that cannot be opened
// there goes to the fallback folder for this run, and the preference stays as it was, so that the
// next start looks for its place again (a fallback kept as the preference would stay for good).
void OpenLogFile() {
  const bool wasSet = Var("ErrorLog")->NSet() > 0;
  const std::string asked = gErrLogFile;
  PunsetPreference("ErrorLog");
  logKept.clear();
  if (asked.empty()) return;
  std::string why;
  if (OpenLogAt(asked.c_str(), &why)) {
    PsetPreference("ErrorLog", gErrLogFile, asked.c_str());
    return;
  }
  const std::string fallback = std::string(gLogFallbackFolder) + "/Lumerin.txt";
  std::string fallbackWhy;
  if (asked != fallback && CopyPath(gErrLogFile, sizeof gErrLogFile, fallback) &&
      OpenLogAt(gErrLogFile, &fallbackWhy)) {
    if (wasSet) logKept = asked;
    DMESSAGE(DMCwarning, "Cannot open log file '%s': %s; this run logs to '%s'", asked.c_str(),
             why.c_str(), gErrLogFile);
    return;
  }
  DMESSAGE(DMCwarning, "Cannot open log file '%s': %s", asked.c_str(), why.c_str());
  if (!fallbackWhy.empty())
    DMESSAGE(DMCwarning, "Cannot open log file '%s': %s", gErrLogFile, fallbackWhy.c_str());
  gErrLogFile[0] = '\0';  // no log: nothing may be appended to that name later
}

}  // namespace

void PsetPreference(const char* name, char* buf, const char* text) {
  // A log file chosen now is the preference, not the one this run could not open.
  if (strcmp(name, "ErrorLog") == 0) logKept.clear();
  const std::string t(text);
  DBHeaderLink* v = Var(name);
  while (v->NSet() > 0) v->DeleteSVal(0);
  v->SetNSet(0);
  PprefLink()->SetVal(buf, t.c_str());
}

void PunsetPreference(const char* name) {
  DBHeaderLink* v = Var(name);
  while (v->NSet() > 0) v->DeleteSVal(0);
  v->SetNSet(0);
}

FILE* PopenLog(const char* path, bool fresh, std::string* why, bool* shared) {
  // The folder is checked as every folder the program writes in (made again when it is one of
  // the program's own that went missing) and held: the file is looked at and opened in that
  // very folder, not through a path that could lead elsewhere by then. The fallback folder,
  // shared by everyone, is taken as it is: there the file's own checks below keep it.
  const std::string folder = PfolderOf(path), p = path;
  const std::string name = p.substr(p.rfind('/') == std::string::npos ? 0 : p.rfind('/') + 1);
  CheckedFolder dir;
  if (!(folder == gLogFallbackFolder ? dir.Take(folder, why) : dir.Check(folder, why)))
    return nullptr;
  // Nothing but a regular file is opened: a FIFO or a device planted at the name would hold the
  // open (a FIFO until someone reads it) or do what opening it does. What is there is looked at
  // first, and the open never waits: a FIFO without a reader refuses it at once (ENXIO).
  struct stat st;
  if (fstatat(dir.Fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
    *why = S_ISLNK(st.st_mode) ? "it is a symbolic link" : "it is not a regular file";
    return nullptr;
  }
  const int fd =
      openat(dir.Fd(), name.c_str(),
             O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
  if (fd < 0) {
    *why = errno == ELOOP   ? "it is a symbolic link"
           : errno == ENXIO ? "it is not a regular file"
                            : std::strerror(errno);
    return nullptr;
  }
  // The checks that count, on what was opened.
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const bool alone = regular && flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (shared != nullptr) *shared = !alone;
  if (!regular) {
    *why = "it is not a regular file";
  } else if (st.st_uid != geteuid()) {
    *why = "it belongs to another user";
  } else if ((st.st_mode & 077) != 0 && !PsetFileMode(fd, st.st_mode & 0700)) {
    // What the program logs is the user's alone, in whatever folder the log lies.
    *why = std::strerror(errno);
  } else if (fresh && alone && ftruncate(fd, 0) != 0) {
    *why = std::strerror(errno);
  } else if (fcntl(fd, F_SETFL, O_APPEND) != 0) {  // written as any file is from here on
    *why = std::strerror(errno);
  } else if (FILE* f = fdopen(fd, "a")) {
    // Shared from here on, so that a copy started later leaves the log as it is. Another copy
    // starting at this moment holds it alone for an instant: it is looked at again for a few
    // hundredths of a second, never waited on (the program's one thread runs its windows).
    for (int i = 0; flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK && i < 20; i++) {
      const timespec nap = {0, 2000000};
      nanosleep(&nap, nullptr);
    }
    return f;
  } else {
    *why = std::strerror(errno);
  }
  close(fd);
  return nullptr;
}

long PthumbLimit(int megs) {
  return megs == 0 ? -1 : static_cast<long>(megs) * 1024;
}

void PsetMemoryBudget() {
  CacheObject::tab.memoryBudget = static_cast<uint64_t>(memoryCacheMegs) << 20;
}

void InitPreferences() {
  if (initialized) return;
  initialized = true;
  PprefLink()->Clear();  // only what the file holds counts as set
  std::string message;
  if (gPrefFile[0] == '\0') {
    const std::string dir = UserFolder(kPreferencesFolder, &message);
    if (!dir.empty()) CopyPath(gPrefFile, sizeof gPrefFile, dir + "/Lumerin");
  }
  unreadWhy.clear();
  const bool read = gPrefFile[0] != '\0' && ReadFile(gPrefFile);
  CheckValues();

  if (Var("ErrorLog")->NSet() <= 0 && BaseKnown("XDG_STATE_HOME")) {
    // A state folder that cannot be made leaves the log to the fallback folder for this run
    // only: the preference stays unset, so the next start looks for the folder again.
    std::string dir = UserFolderPath(kStateFolder);
    if (dir.empty()) dir = gLogFallbackFolder;
    CopyPath(gErrLogFile, sizeof gErrLogFile, dir + "/Lumerin.txt");
  }
  OpenLogFile();

  if (read && prefDamaged) {
    DMESSAGE(DMCwarning, "Preferences file '%s' not read: %s", gPrefFile, damagedWhy.c_str());
    KeepDamaged();
  } else if (read) {
    DMESSAGE(DMCinfo, "Read preferences from '%s'", gPrefFile);
  } else if (!unreadWhy.empty()) {
    DMESSAGE(DMCwarning, "Preferences file '%s' not read: %s", gPrefFile, unreadWhy.c_str());
  } else if (gPrefFile[0] == '\0') {
    DMESSAGE(DMCwarning, "No preferences file ($HOME set?)");
  } else {
    DMESSAGE(DMCinfo, "Initializing preferences");
  }
  if (!message.empty()) DMESSAGE(DMCwarning, "%s", message.c_str());

  for (const char* name :
       {"DisplayExposureFlags", "MemoryCacheMegs", "ThumbnailCacheMegs", "StartupOption"})
    Var(name)->SetNSet(1);

  PmakeCacheFolders();
  PThumbnailer& tn = PthumbManager();
  tn.SetCacheSize(PthumbLimit(thumbCacheMegs));
  tn.doCrop = true;
  tn.doOrient = false;
  PsetMemoryBudget();
}

void SavePreferences() {
  if (gPrefLink == nullptr || gPrefFile[0] == '\0') return;
  // The damaged file is kept beside the new one, for the user to look at.
  if (prefDamaged && !KeepDamaged()) {
    DMESSAGE(DMCresource, "Cannot write preferences to file '%s'", gPrefFile);
    return;
  }
  std::string why;
  // Made again when the user cleared the configuration folder while the program ran; nothing is
  // written into one that is no longer safe (a link put in its place, say).
  if (!MakeProgramFolder(PfolderOf(gPrefFile), &why)) {
    DMESSAGE(DMCwarning, "Preferences file '%s': %s", gPrefFile, why.c_str());
    DMESSAGE(DMCresource, "Cannot write preferences to file '%s'", gPrefFile);
    return;
  }
  // The log's own place is kept, not the fallback this run logs to.
  const std::string kept = logKept, inUse = gErrLogFile;
  if (!kept.empty()) PsetPreference("ErrorLog", gErrLogFile, kept.c_str());
  const bool written = PwritePreferencesFile(gPrefFile, &why);
  if (!kept.empty()) {
    PsetPreference("ErrorLog", gErrLogFile, inUse.c_str());
    logKept = kept;
  }
  if (!written) {
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

void PresetPreferences() {
  delete gPrefLink;
  gPrefLink = nullptr;
  initialized = false;
  prefDamaged = false;
  damageToTell = false;
  damagedKeptAs.clear();
  damagedWhy.clear();
  logKept.clear();
  PresetProgramFolders();
  ResetSettings();
  gPrefFile[0] = '\0';
  if (dmessage_logfp != nullptr) fclose(dmessage_logfp);
  dmessage_logfp = nullptr;
}
