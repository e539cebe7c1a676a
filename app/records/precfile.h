// The commands that act on the image files behind the main window's selected records: opening
// them here or in another program, reloading, cutting, copying, clearing and deleting, renaming
// one file or a numbered series, turning or flipping a record, and a record's companion sound.
// Each keeps the catalogue, the displayed records and the image and info windows in step with
// the files. Renames never replace a file: a name taken meanwhile refuses the rename.
#pragma once

#include "app/core/phooks.h"
#include "platform/ptypes.h"

class DBRecord;
class IBrowser;
class PContext;

// Opens the selected displayed records of bp (NULL: the main window's browser) in the image
// window, or, with appName, in that program (one run, every file an argument). Without a
// selection the image window asks for a file; another program is not started.
void openImages(IBrowser* bp, const char* appName);
// Reads the folder tree, the catalogue's sets and the open images again, then the displayed
// folder (or, for a display that is not a folder, checks every record's file).
void reloadRecords();
// 'copy' and 'cut ' put the selected records on the clipboard as a record table; 'cut ',
// 'clea', 'clei' (the unselected ones) and 'dele' (after asking, deleting the files too)
// remove them from the display and, as each command says, the catalogue and the shadow
// catalogue. A delete keeps every record whose file is still there afterwards, selected.
void clipRecords(OSType cmd);
// Renames a file and its companion sound (a suffix "WAV" in any letter case) within their
// folder; false, with the reason reported, when npath exists or the rename fails.
bool imgRename(const char* opath, const char* npath);
// Asks for a new name of the record's file and renames it, in every folder where the
// catalogue has the file, updating the record and the catalogue.
void renameFile(DBRecord* crp);
// Renames the selected records' files (one folder, one suffix) to a typed base followed by
// 001, 002, ... in display order, skipping names that exist.
void renameFiles();
// Carries out a record command every window that shows records takes alike (Repeat Setting,
// Adjust Date, Rename Files, Find Nearby) on the main window's selection; false for any other.
bool PsharedRecordCommand(OSType cmd);
// Turns or flips a photo record: 'cw90', 'cc90', 'c180', 'flhz', 'flvt' change its rotation
// (Orient) and flip (Flip) fields. False, with a message, for another command or a record that
// cannot take the fields.
bool reorientRecord(DBRecord* rp, OSType cmd);
// The readable companion sound of the record's image (the suffix replaced by "WAV" in any
// letter case), its path into buf (len bytes; NULL buf: a buffer of the function's own).
bool relatedSoundFile(const DBRecord& dr, char* buf, int len);

// Finds the selected records' files where they moved (with force, reads every file's facts
// again), so that the commands above act on files that are there: whether a record changed and
// whether the user gave up. NULL ctx: the main window's. The check is the export library's (the
// checkRecords hook).
PCheckResult PcheckRecords(bool force, PContext* ctx);
