// Preferences: one text file per user ("$XDG_CONFIG_HOME/lumerin/Lumerin"), read at start-up
// and rewritten at quit; what the preferences dialog changes while the program runs goes through
// the setters below. The file is one header block of named variables ("LumerinPreferences = {"
// ... "}\t// LumerinPreferences"), each bound to a global below, so reading fills the globals and
// writing dumps them. Reading also opens the log file ("$XDG_STATE_HOME/lumerin/Lumerin.txt",
// rewritten at every start unless another run is writing it: then appended to) and sets up the
// thumbnail cache and the memory budget.
//
// The variables, in the order they are written: "RecentCatalog", "ShadowCatalog", "ErrorLog",
// "StartupOption", "DisplayExposureFlags", "MemoryCacheMegs", "ThumbnailCacheMegs",
// "ThumbnailCacheDirectory", and the sub-blocks "MigrationPaths" and "CameraResponses". Only
// variables with a value are written.
//
// A save goes to a new file beside the old one, is read back, flushed to disk and renamed over
// the old one, so a failed or interrupted save leaves the old file. A file that could not be
// read whole (cut short, a byte changed so that a line no longer reads, a NUL byte, far too
// long) applies none of its values: the settings keep their initial values, the file is kept
// as "<file>.damaged" at once (or, failing that, before the next save replaces it; no save
// replaces it until it is kept) and the user is told once after start-up.
//
// Reading and writing the file's text (this header's second half) need no windows; the fuzz
// target compiles them alone.
#pragma once

#include <cstdio>
#include <iosfwd>
#include <string>

#include "db/dbhlink.h"
#include "db/dbrlist.h"

// 1 reopen the most recent catalogue, 2 browse the Pictures folder, 3 "Select catalog".
extern int gStartupOption;
// Six paths of 1,024 bytes: the open catalogue and the five the File menu offers.
constexpr int kRecentCatalogsSize = 6 * 1024;
extern char gRecentCatalogs[kRecentCatalogsSize];  // NUL-separated paths, most recent first
extern char gShadowCatalog[1024];
extern char gErrLogFile[1024];
extern int gMaxMigrations;         // most folder-migration rules kept and written (64)
extern DBRecordList gCamResponse;  // saved camera responses, for Make HDR
extern int memoryCacheMegs;        // memory budget of the object cache (32)
extern int thumbCacheMegs;         // thumbnail cache limit, 0 for none (256)
extern char thumbCacheDir[1024];
extern char gPrefFile[1024];
// The variables bound to the globals above; NULL until PprefLink or InitPreferences makes it.
extern DBHeaderLink* gPrefLink;

// Reads the preferences and opens the log file and the caches; later calls do nothing.
void InitPreferences();
// Writes the preferences file (at quit).
void SavePreferences();
// Tells the user, once, that the preferences file read at start-up was damaged (its values
// were not used): an alert naming the file and where it was kept. Nothing when it was whole.
void PreportDamagedPreferences();
// Forgets what InitPreferences read: the variables go, every setting takes its initial value
// and the next InitPreferences reads the file again (a second start-up in one process).
void PresetPreferences();

// Where the log goes when its folder cannot be had ("/tmp").
extern const char* gLogFallbackFolder;

// Makes text the only value of the string variable name, whose text is kept in buf (text may lie
// in buf); PunsetPreference leaves the variable without values (a string's text stays in buf).
void PsetPreference(const char* name, char* buf, const char* text);
void PunsetPreference(const char* name);
// Opens a log file for appending; with fresh, emptied first unless another run of the program
// is writing it (a second instance appends, never erasing the first one's lines). Every run
// holds a shared lock on its log while it has it open: a run that cannot lock it alone knows
// another one writes there. *shared tells which. The log's folder is made again when it is one
// of the program's own that went missing, and checked as every folder the program writes in is
// checked (MakeProgramFolder), except the fallback folder, shared by everyone; the file is opened
// in the folder checked. It must be a regular file of this user reached without a symbolic link,
// so that a file planted in a shared folder cannot take the log elsewhere; a FIFO or a device
// there is refused without waiting on it. A log open to others is made private (0600). NULL with
// the reason in *why.
FILE* PopenLog(const char* path, bool fresh, std::string* why, bool* shared = nullptr);
// The thumbnail cache limit in kilobytes for a size in megabytes: none (-1) for 0.
long PthumbLimit(int megs);
// Gives the object cache the memory budget memoryCacheMegs.
void PsetMemoryBudget();

// ---- the file's text -------------------------------------------------------------------------

// The variable list over the globals, made on the first call.
DBHeaderLink* PprefLink();

// Sub-block callbacks: o is the bound object (unused: the globals), level the nesting. Writers
// return the number of entries written, readers the number read or -1 ("data" message).
int writeMigrations(void* o, std::ostream* os, int level);
int readMigrations(void* o, std::istream* is);
int writeResponses(void* o, std::ostream* os, int level);
int readResponses(void* o, std::istream* is);

// Reads a whole file's text into the variables, as strictly as the program writes it: the block's
// first line, assignments of known variables whose values read whole, the closing line and
// nothing after it; no NUL byte; the paths full, the single settings single, the numbers in
// their range. False, with the reason in *why, for anything else (the variables then hold what
// was read before the fault: the caller puts the settings back to their initial values).
bool PreadPreferencesText(const std::string& text, std::string* why);
// Writes the file's text from the variables; false when the stream failed.
bool PwritePreferences(std::ostream* os);
// Writes the text to path through a new file that is read back, synced and renamed over the
// old one; false (the old file left as it was) with the reason in *why.
bool PwritePreferencesFile(const char* path, std::string* why);

// Reads a size typed as a whole number of megabytes, 0 or more, with blanks around it; false
// for anything else.
bool PparseMegabytes(const char* text, int* megs);
