// What the record file commands share: paths, the companion sound, the batches in which files
// are renamed or deleted, the image window's closing of a record's image.
#pragma once

#include <string>

class DBChangeList;
class DBRecord;
class IBrowser;
class PContext;
class PImageRing;

namespace recfile {

constexpr int kPathLen = 1024;
// Files renamed or deleted before their records are stored and synced.
constexpr int kFileBatch = 100;

bool Exists(const std::string& path);
std::string NameOf(const std::string& path);
// The path of the companion sound of the image at path that exists, in any letter case of
// "WAV"; empty when there is none (or the image has no suffix).
std::string Companion(const std::string& path);

IBrowser* MainBrowser();
void Refresh(IBrowser* b);
// Closes the open image of rec in the image window; cur (the image to return to) is forgotten
// when it is that one.
void CloseImageOf(const DBRecord& rec, PImageRing** cur);

// Undoes step, a batch's step whose records could not be saved, when it is still the
// catalogue's newest; false (nothing undone) otherwise. The redo that leaves is the caller's
// to drop. Among the changes not saved the undo is named "<label> on <n> records taken back"
// (the user's step, not an undo the user never chose).
bool UndoBatch(PContext& bc, const DBChangeList* step);

// How a batch that could not be saved was taken back: "<label> on <n> records was taken back:
// <files>".
std::string TakenBack(const char* label, int n, const std::string& files);

// Tells the user that a batch's records could not be saved, in one alert of the batch's own:
// failed (the sync's failure, SyncFailedText, with the system's reason), what became of the
// batch (TakenBack; empty when nothing is to be said of it) and, after batches saved before
// it, how many files those changed: "...; 200 files were renamed in the batches saved before
// it", and how many of the files chosen after it the command never reached: "; the 50 files
// after it were not reached." The sync's own reports went to the log only.
void TellBatchNotSaved(const std::string& failed, const std::string& batch, int earlier,
                       const char* done, int later = 0);

}  // namespace recfile
