// The record file commands: opening, reloading, the clipboard and deleting, turning records and
// finding their sounds (renaming has a file of its own, prename.cpp).
#include "app/records/precfile.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pidle.h"
#include "app/core/pcmds.h"
#include "app/core/pdialogs.h"
#include "app/core/pfilebatch.h"
#include "app/core/pfiles.h"
#include "app/core/pfolder.h"
#include "app/core/phooks.h"
#include "app/core/pseam.h"
#include "app/records/pdates.h"
#include "app/records/pfindnearby.h"
#include "app/records/precfilepriv.h"
#include "app/records/psetfield.h"
#include "catalog/pcontext.h"
#include "catalog/pfieldset.h"
#include "catalog/pfileinfo.h"
#include "catalog/plocate.h"
#include "platform/pclipboard.h"
#include "platform/plaunch.h"
#include "support/cnumber.h"
#include "support/futil.h"

namespace recfile {

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Companion(const std::string& path) {
  const char* suffix = PgetSuffix(path.c_str());
  if (suffix == nullptr || strcmp(suffix, "NO FILE") == 0) return "";
  const std::string stem = path.substr(0, path.size() - strlen(suffix));  // ends in '.'
  for (const char* s : {"WAV", "wav"})
    if (Exists(stem + s)) return stem + s;
  DIR* d = opendir(PfolderOf(stem).c_str());
  if (d == nullptr) return "";
  const std::string base = NameOf(stem);
  std::string found;
  while (struct dirent* e = readdir(d)) {
    const size_t n = strlen(e->d_name);
    if (n == base.size() + 3 && strncmp(e->d_name, base.c_str(), base.size()) == 0 &&
        Cstrcasecmp(e->d_name + base.size(), "wav") == 0) {
      found = PfolderOf(stem) + "/" + e->d_name;
      break;
    }
  }
  closedir(d);
  return found;
}

IBrowser* MainBrowser() {
  return gMain != nullptr ? gMain->GetBrowser() : nullptr;
}

void Refresh(IBrowser* b) {
  if (b != nullptr) b->Redisplay();
}

void CloseImageOf(const DBRecord& rec, PImageRing** cur) {
  if (gImager == nullptr) return;
  PImageRing* ir = gImager->MatchImage(rec);
  if (ir == nullptr) return;
  if (cur != nullptr && *cur == ir) *cur = nullptr;
  gImager->Advance(ir);
  gImager->CloseImage(false);
}

bool UndoBatch(PContext& bc, const DBChangeList* step) {
  if (step == nullptr || (bc.pdb.Pending() != step && bc.pdb.UndoList() != step)) return false;
  // The records the step stored: its additions (a rename, each with its old version's
  // deletion) or its deletions (a delete, with the additions of records kept for copies).
  const int n = std::max(step->radd.GetSize(), step->rdel.GetSize());
  const std::string told = std::string(step->name) + " on " + std::to_string(n) +
                           (n == 1 ? " record" : " records") + " taken back";
  return bc.Undo(told.c_str());
}

std::string TakenBack(const char* label, int n, const std::string& files) {
  return std::string(label) + " on " + std::to_string(n) + (n == 1 ? " record" : " records") +
         " was taken back: " + files;
}

void TellBatchNotSaved(const std::string& failed, const std::string& batch, int earlier,
                       const char* done, int later) {
  std::string told = batch;
  auto add = [&told](const std::string& part) { told += (told.empty() ? "" : "; ") + part; };
  if (earlier > 0)
    add((earlier == 1 ? std::string("1 file was ") : std::to_string(earlier) + " files were ") +
        done + " in the batches saved before it");
  if (later > 0)
    add(later == 1 ? std::string("the file after it was not reached")
                   : "the " + std::to_string(later) + " files after it were not reached");
  if (!told.empty()) told[0] = static_cast<char>(Cupper(told[0]));
  std::string text = failed;
  if (!told.empty()) text += " " + told + ".";
  // The reason is in the text: no system error is appended to it.
  DMESSAGE_ERRNO(DMCsystem, DMnoSystemError, "%s", text.c_str());
}

}  // namespace recfile

using namespace recfile;

namespace {

// Asks until the dialog answers (a mount breaks a wait off; a dialog that cannot be shown
// answers Cancel).
OSType Ask(const char* text, const char* custom, OSType dfb) {
  OSType r = 0;
  for (int tries = 0; r == 0 && tries < 100; ++tries) r = confirmDialog(text, custom, dfb);
  return r == 0 ? kResponseCancel : r;
}

}  // namespace

PCheckResult PcheckRecords(bool force, PContext* ctx) {
  return PappHooks().checkRecords != nullptr ? PappHooks().checkRecords(force, ctx)
                                             : PCheckResult{};
}

// ---- Opening and reloading

void openImages(IBrowser* bp, const char* appName) {
  IBrowser* b = bp != nullptr ? bp : MainBrowser();
  PContext* ctx = b != nullptr ? b->GetContext() : nullptr;
  if (ctx == nullptr) return;
  const bool selection = ctx->TotalSelected() > 0;
  bool changed = false;
  if (selection) {
    const PCheckResult checked = PcheckRecords(false, nullptr);
    changed = checked.changed;
    if (checked.cancelled) {
      if (changed) Refresh(b);
      return;
    }
  }
  if (appName == nullptr) {
    if (gImager == nullptr) return;
    if (selection) {
      if (gImager->OpenImages() == 0) {
        if (changed) Refresh(b);
        return;
      }
    } else {
      char path[kPathLen];
      if (!chooseImage(path, sizeof path, nullptr) || !gImager->AddImage(path)) return;
    }
    gImager->Present();
    if (changed) Refresh(b);
    return;
  }
  if (!selection) {
    if (gMain) gMain->ShowMessage("No selection", false);
    return;
  }
  // One run of the program with every file an argument (never a command line).
  std::vector<std::string> paths;
  char path[kPathLen];
  PLeftRecords left("Open With");
  for (int i = 0; ctx->NextSelected(&i); ++i)
    if (left.Named(ctx->rdisp.Get(i)) && PcurrentFile(path, sizeof path, ctx->rdisp.Get(i)))
      paths.push_back(path);
  if (!paths.empty() && !OpenWithProgram(appName, paths))
    DMESSAGE(DMCsystem, "Cannot start '%s'", appName);
  left.Tell();
  if (changed) Refresh(b);
}

void reloadRecords() {
  if (gMain == nullptr) return;
  PContext& bc = gMain->bc;
  IBrowser* b = MainBrowser();
  if (b != nullptr && b->ChangeOpen()) {
    DMESSAGE(DMCwarning, "Cannot reload while records are being changed");
    return;
  }
  const ABitMap sel(bc.rsel);
  gMain->UpdateSelectorList(1);
  bc.Recatalog();
  gMain->UpdateSelectors();
  if (gImager) gImager->ReloadAll();
  if (bc.rsrc[0] == '*') {
    if (sel.Length() == static_cast<uint32_t>(bc.rdisp.GetSize())) bc.rsel = sel;
    if (PcheckRecords(true, nullptr).changed) Refresh(b);
    return;
  }
  const std::string folder = bc.rsrc;  // the load replaces what rsrc says
  loadFolder(folder.c_str(), false, nullptr);
}

// ---- The clipboard and deleting

namespace {

// Why this user may not remove the file at path, as the system decides it (an errno value),
// 0 when it may: not a folder, in a folder it may write (on a file system mounted for
// writing), past the sticky bit's rule. A file already gone counts as removable.
int RemovalRefused(const std::string& path) {
  struct stat st, dir;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  const std::string folder = PfolderOf(path);
  if (access(folder.c_str(), W_OK | X_OK) != 0 || stat(folder.c_str(), &dir) != 0)
    return errno != 0 ? errno : EACCES;
  const uid_t me = geteuid();
  const bool may = (dir.st_mode & S_ISVTX) == 0 || me == 0 || st.st_uid == me || dir.st_uid == me;
  return may ? 0 : EPERM;
}

// The files Delete Files could not delete, told once in an alert: the count, the first and the
// system's reason for it (a read-only file system, say). Each is in the log as well.
class Refusals {
 public:
  // Notes path, refused for err; logged unless quiet.
  void Note(const std::string& path, int err, bool quiet = false) {
    if (!quiet) DMESSAGE(DMCwarning, "Cannot delete '%s'", path.c_str());
    if (n++ == 0) {
      first = path;
      why = err;
    }
  }
  int Count() const { return n; }
  void Tell() const {
    if (n == 0) return;
    const std::string reason = PsystemReason(why);
    // The reason is in the text: no system error is appended to it.
    if (n == 1)
      DMESSAGE_ERRNO(DMCsystem, DMnoSystemError, "Cannot delete '%s': %s", first.c_str(),
                     reason.c_str());
    else
      DMESSAGE_ERRNO(DMCsystem, DMnoSystemError, "Cannot delete %d files, the first '%s': %s", n,
                     first.c_str(), reason.c_str());
  }

 private:
  int n = 0;
  std::string first;
  int why = 0;
};

// A record whose file is to go, as it was shown (at its place then) and catalogued.
struct Doomed {
  int at;
  std::string path;
  DBRecord shown;
  DBRecord cat;
  bool catalogued;
  bool stays = false;  // the file could not be deleted
  int err = 0;         // why the system refused to delete it
  // The picture stays in another of the record's folders: the record is kept, pointing to that
  // copy (at copy); with queued, kept took cat's place in the catalogue.
  std::string copy{};
  DBRecord kept{};
  bool queued = false;
};

// A record that comes back into the display at a place: one whose file stayed, or (again) the
// kept record of a copy in a display of catalogue records.
struct Back {
  int at;
  const Doomed* d;
  bool again;
};
using Stayed = std::vector<Back>;

// A batch whose records left the store on their way to disk: registered with the core from
// then until its files are gone (or its records taken back), so that an end without the
// display deletes the files whose records left the disk and keeps the others with their
// records.
class DeleteBatch : public PFileBatch {
 public:
  // step: the catalogue's step that took the records out (null when it holds none of them).
  DeleteBatch(PContext& c, std::vector<Doomed>* b, const DBChangeList* s)
      : bc(c), batch(*b), step(s) {
    PsetFileBatch(this);
  }
  ~DeleteBatch() override { Done(); }
  DeleteBatch(const DeleteBatch&) = delete;
  DeleteBatch& operator=(const DeleteBatch&) = delete;
  // The records are on disk: the files go.
  void DeleteFiles() {
    saved = true;
    while (next < batch.size()) Delete(&batch[next++], true);
    Done();
  }
  // The batch is through: its registration ends.
  void Done() {
    if (PfileBatch() == this) PsetFileBatch(nullptr);
  }
  void EndAtQuit(bool onDisk, bool mayEdit) override;

 private:
  // A file already gone counts as deleted; one that cannot be deleted stays, with its record.
  // The thumbnail of a picture that stays elsewhere is that copy's too.
  static void Delete(Doomed* d, bool thumbnail) {
    if (unlink(d->path.c_str()) == 0 || errno == ENOENT) {
      DMESSAGE(DMCinfo, "Deleted file '%s'", d->path.c_str());
      if (!d->copy.empty())
        DMESSAGE(DMCinfo, "Kept the record of '%s': the picture is still at '%s'", d->path.c_str(),
                 d->copy.c_str());
      else if (thumbnail)
        PthumbManager().DeleteThumbnail(d->shown);
    } else {
      d->err = errno;
      d->stays = true;
    }
  }

  PContext& bc;
  std::vector<Doomed>& batch;
  const DBChangeList* step;
  bool saved = false;
  size_t next = 0;  // the first file not yet dealt with
};

void DeleteBatch::EndAtQuit(bool onDisk, bool mayEdit) {
  if (saved || step == nullptr || onDisk) {
    const size_t from = next;
    while (next < batch.size()) Delete(&batch[next++], false);
    DMESSAGE(DMCwarning,
             "Delete Files ended by the quit: the files of its last batch were deleted (%zu of "
             "them by the quit), as the catalog on disk says",
             batch.size() - from);
    return;
  }
  if (mayEdit) UndoBatch(bc, step);
  DMESSAGE(DMCwarning,
           "Delete Files ended by the quit before its last batch was saved: its %zu records were "
           "put back, the files kept",
           batch.size());
}

// The records of files that stayed go back into the shadow catalogue, those it kept (a copy's
// shadow record was never taken out).
void ShadowsBack(const Stayed& back) {
  PContext& bc = gMain->bc;
  for (const Back& b : back)
    if (!b.again && !b.d->catalogued && b.d->copy.empty() && bc.ShadowReady())
      bc.AddShadow(b.d->shown);
}

// Puts the records of files that stayed back into the catalogue (or the shadow catalogue), in
// place of the records kept for their copies, and into the display at the given places
// (ascending) with the kept records of copies shown again; syncs them.
void PutBack(const Stayed& back) {
  if (back.empty()) return;
  PContext& bc = gMain->bc;
  ShadowsBack(back);
  std::vector<DBRecord> cats, kept;
  for (const Back& b : back) {
    if (b.again) continue;
    if (b.d->catalogued) cats.push_back(b.d->cat);
    if (b.d->queued) kept.push_back(b.d->kept);
  }
  if (!cats.empty() && bc.Ready() && !bc.ReadOnly()) {
    if (bc.Checkpoint("Delete", nullptr)) {
      if (!kept.empty()) bc.pdb.DeleteRecords(kept.data(), static_cast<int>(kept.size()));
      bc.pdb.AddRecords(cats.data(), static_cast<int>(cats.size()));
    } else {
      DMESSAGE(DMCdata, "Database error");
    }
  }
  for (const Back& b : back) {
    const int n = bc.rdisp.GetSize();
    if (bc.rdisp.Resize(n + 1) != n + 1) break;
    for (int j = n; j > b.at; --j) bc.rdisp[j].Take(&bc.rdisp[j - 1]);  // links kept
    bc.rdisp[b.at] = b.again ? b.d->kept : b.d->shown;
  }
  bc.Reconcile();
  PsyncWhole();
}

// Takes the batch's records out of the display, the catalogue and the shadow catalogue, as
// PContext::DeleteRecords(true, true) does, but a record whose picture stays in another of its
// folders stays in the catalogue (pointing to that copy) or the shadow catalogue; the result of
// DeleteRecords.
int TakeOut(PContext& bc, std::vector<Doomed>* batch) {
  bc.SelectNone();
  for (const Doomed& d : *batch) bc.Select(d.at, true);
  const int n = bc.DeleteRecords(true, false);
  std::vector<DBRecord> shadows, kept;
  for (Doomed& d : *batch) {
    if (d.copy.empty()) {
      shadows.push_back(d.shown);
    } else if (n > 0 && d.catalogued) {
      kept.push_back(d.kept);
      d.queued = true;
    }
  }
  if (bc.ShadowReady() && !shadows.empty())
    bc.DeleteShadows(shadows.data(), static_cast<int>(shadows.size()));
  // In the step that took the old versions out.
  if (!kept.empty()) bc.pdb.AddRecords(kept.data(), static_cast<int>(kept.size()));
  return n;
}

// The status after Delete Files: "Deleted <n> records", or, when records were kept for copies
// of their pictures in other folders, "Deleted <n> files, kept <m> records" (short enough for
// the status line; the log names each copy).
void TellDeleted(int files, int kept) {
  if (kept == 0) {
    gMain->EchoAction("Deleted", files);
    return;
  }
  const std::string text =
      "Deleted " + std::to_string(files) + (files == 1 ? " file" : " files") + ", kept " +
      (files == 1 ? std::string("its record")
                  : std::to_string(kept) + (kept == 1 ? " record" : " records"));
  gMain->ShowMessage(text.c_str(), false);
  DMESSAGE(DMCinfo, "%s", text.c_str());
}

// Deletes the selected records' files, those marked in prot only when the user agrees, then
// the records of the files gone (from the display, the catalogue and the shadow catalogue). The
// files go a batch at a time, each batch's records leaving the catalogues on disk before its
// files go: a crash leaves files whose records are gone, never records naming files gone. A
// file that cannot be deleted keeps its record: most are seen before (the system would refuse
// them), and the rest have their records put back. The records whose files stay remain
// selected. A record whose picture stays in another of its folders (a copy that was merged into
// it) is kept, pointing to that copy, and a display of catalogue records shows it so. A record
// whose File names no file keeps its record, and left tells of it.
void DeleteFiles(const ABitMap& prot, const PLeftRecords& left) {
  PContext& bc = gMain->bc;
  std::vector<int> chosen;  // in display order, as the display was
  for (int i = 0; bc.NextSelected(&i); ++i) chosen.push_back(i);
  std::vector<int> kept;  // where the records whose files stay are afterwards
  PImageRing* cur = gImager ? gImager->GetCurrentIR() : nullptr;
  bool yesToAll = false;
  Refusals refused;
  int removed = 0;    // records that left the display
  int files = 0;      // files deleted
  int forCopies = 0;  // of them, files whose records were kept for copies
  const bool catDisplay = strcmp(bc.rsrc, "*DB") == 0;
  bool failed = false, undone = false;
  char path[kPathLen];
  size_t at = 0;
  while (at < chosen.size() && !failed) {
    // A quit signal stops the deletions between batches: each batch is deleted whole.
    if (PquitRequested()) {
      DMESSAGE(DMCwarning,
               "Delete Files stopped by the quit: %d files deleted, the other %zu kept with their "
               "records",
               files, chosen.size() - at);
      break;
    }
    // The records before a batch's are those kept so far, at their places: each record of the
    // batch's stretch is now removed places before where it was.
    std::vector<Doomed> batch;
    std::vector<int> stay;  // the stretch's records that stay, where they are now
    for (; at < chosen.size() && static_cast<int>(batch.size()) < kFileBatch; ++at) {
      const int i = chosen[at] - removed;
      const DBRecord& rec = bc.rdisp.Get(i);
      bool keep = !PnamesFile(rec) || PcurrentFile(path, sizeof path, rec) == nullptr;
      if (const int err = keep ? 0 : RemovalRefused(path)) {
        refused.Note(path, err);
        keep = true;
      }
      if (!keep && prot.Check(static_cast<uint32_t>(chosen[at])) && !yesToAll) {
        char text[kPathLen + 64];
        snprintf(text, sizeof text, "Delete read-only file '%s'?", path);
        const OSType r = Ask(text, "Yes to All", kResponseCancel);
        keep = r == kResponseCancel;
        if (r == kResponseCustom) yesToAll = true;
      }
      if (keep) {
        stay.push_back(i);
        continue;
      }
      CloseImageOf(rec, &cur);
      const DBRecord* orig = bc.GetDBOrig(i);
      batch.push_back({i, path, rec, orig != nullptr ? *orig : DBRecord(), orig != nullptr});
      // A copy elsewhere is looked for in the folders of the record as shown and as catalogued
      // (a copy added to the catalogue shows its own folder first).
      Doomed& d = batch.back();
      char other[kPathLen];
      if (PkeepForCopy(&d.kept, d.catalogued ? d.cat : d.shown, path,
                       d.catalogued ? &d.shown : nullptr, other, sizeof other))
        d.copy = other;
    }
    if (!batch.empty()) {
      const int n = TakeOut(bc, &batch);
      const DBChangeList* step = n > 0 ? bc.pdb.Pending() : nullptr;
      if (n < 0) {
        DMESSAGE(DMCdata, "Database error");
        gMain->CloseCatalog();
        failed = true;
      } else {
        DeleteBatch under(bc, &batch, step);
        failed = !PsyncWhole(false);
        if (!failed) {
          under.DeleteFiles();
        } else {
          // The step whose records could not leave the disk is taken back, and the display with
          // it; the failure is told with what the files are now.
          const std::string why = bc.SyncFailedText();
          undone = UndoBatch(bc, step);
          under.Done();
          const std::string now =
              batch.size() == 1 ? std::string("the file was not deleted")
                                : "the " + std::to_string(batch.size()) + " files were not deleted";
          TellBatchNotSaved(why, undone ? TakenBack("Delete", n, now) : "Of this batch " + now,
                            files, "deleted", static_cast<int>(chosen.size() - at));
        }
      }
      if (failed)
        for (Doomed& d : batch) d.stays = true;  // its record may still be on disk
      for (const Doomed& d : batch)
        if (d.err != 0) refused.Note(d.path, d.err);
    }
    // Where the records that stay are now: before each, the records of files gone left. A
    // record kept for a copy comes back into a display of catalogue records, unselected.
    Stayed back;
    size_t b = 0, s = 0;
    int gone = 0;
    while (b < batch.size() || s < stay.size()) {
      if (s == stay.size() || (b < batch.size() && batch[b].at < stay[s])) {
        const Doomed& d = batch[b++];
        if (!d.stays) {
          ++files;
          if (!d.copy.empty()) ++forCopies;
          if (catDisplay && d.queued) {
            back.push_back({d.at - gone, &d, true});
            continue;
          }
          ++gone;
          continue;
        }
        back.push_back({d.at - gone, &d, false});
        kept.push_back(d.at - gone);
      } else {
        kept.push_back(stay[s++] - gone);
      }
    }
    removed += gone;
    if (undone)
      ShadowsBack(back);
    else
      PutBack(back);
  }
  // After a failure, the records not reached stay too.
  for (; at < chosen.size(); ++at) kept.push_back(chosen[at] - removed);
  if (gImager != nullptr) {
    if (gImager->ImageCount() == 0)
      gImager->Show(0);
    else if (cur != nullptr)
      gImager->Advance(cur);
  }
  bc.SelectNone();
  for (int i : kept) bc.Select(i, true);
  // The records left first: a refusal, more severe, still shows after them.
  left.Tell();
  refused.Tell();
  if (files == 0)
    gMain->ShowMessage("No records changed", false);
  else
    TellDeleted(files, forCopies);
  // The files gone cannot come back with an undo, nor a step taken back with a redo.
  if (files > 0 || undone) gMain->SetUndoable(false);
  if (gImager != nullptr && gImager->ImageCount() > 0) gImager->Redraw();
}

}  // namespace

void clipRecords(OSType cmd) {
  if (gMain == nullptr) return;
  PContext& bc = gMain->bc;
  IBrowser* b = MainBrowser();
  if (b == nullptr || bc.rdisp.GetSize() == 0) return;
  const bool removes = cmd != kCmdCopy;
  if (removes && b->ChangeOpen()) {
    DMESSAGE(DMCwarning, "Cannot remove records while records are being changed");
    return;
  }
  if (cmd == kCmdClearWithImages) bc.SelectInverse();
  const int nd = bc.rdisp.GetSize();
  const int nsel = bc.TotalSelected();
  if (nsel == 0) return;
  char path[kPathLen];
  ABitMap prot(static_cast<uint32_t>(nd), false);
  // The records whose File names no file: no file of theirs is deleted, and they stay.
  PLeftRecords left("Delete Files");
  if (cmd == kCmdDeleteFiles) {
    const bool catRO = bc.Ready() && bc.ReadOnly();
    Refusals refused;  // files the system will not let go
    int first = -1;    // the first record whose file may go
    for (int i = 0; bc.NextSelected(&i); ++i) {
      if (!left.Named(bc.rdisp.Get(i))) continue;
      if (first < 0) first = i;
      if (catRO && bc.GetDBOrig(i) != nullptr) {
        prot.Set(static_cast<uint32_t>(i));
        continue;
      }
      if (PcurrentFile(path, sizeof path, bc.rdisp.Get(i)) == nullptr) {
        DMESSAGE(DMCinput, "Cannot find the file of a selected record (nothing deleted)");
        return;
      }
      if (const int err = RemovalRefused(path)) refused.Note(path, err, true);
      // A file marked read-only asks even of a user whom the system would let write it.
      struct stat st;
      if (stat(path, &st) == 0 && (access(path, W_OK) != 0 || (st.st_mode & 0222) == 0))
        prot.Set(static_cast<uint32_t>(i));
    }
    const int files = nsel - left.Count();
    if (refused.Count() == files) {
      // Not one of them can go: the user is told why instead of being asked.
      left.Tell();
      refused.Tell();
      gMain->ShowMessage("No records changed", false);
      return;
    }
    char text[300];
    if (files == 1)
      snprintf(text, sizeof text, "Permanently delete the %s image file?",
               prot.Check(static_cast<uint32_t>(first)) ? "read-only" : "associated");
    else
      snprintf(text, sizeof text, "Permanently delete these %d image files?", files);
    const OSType r = Ask(text, "Just Cut", 0);
    if (r == kResponseCancel) return;
    if (r == kResponseCustom)
      cmd = kCmdCut;
    else if (files == 1)
      prot.Reset(static_cast<uint32_t>(first));
  }
  const bool fromDB = strcmp(bc.rsrc, "*DB") == 0;
  if (cmd == kCmdCopy || cmd == kCmdCut) {
    // The records as a table: the field names, then one line per record, without the last
    // line's end. Its bytes reach a paste as they are, names of any bytes included
    // (platform/pclipboard.h); the table escapes tabs and line ends within a value.
    DBRecordList list(bc.rdisp.GetFieldInfo());
    for (int i = 0; bc.NextSelected(&i); ++i) list.NewRecord().Link(&bc.rdisp[i]);
    std::ostringstream os;
    list.Write(&os, '\t');
    std::string text = os.str();
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!ClipboardPutText(text)) DMESSAGE(DMCsystem, "Cannot put the records on the clipboard");
    if (cmd == kCmdCopy) {
      gMain->EchoAction("Copied", nsel);
      return;
    }
  }
  if (cmd == kCmdDeleteFiles) {
    DeleteFiles(prot, left);
    b->Redisplay();
    return;
  }
  if (cmd == kCmdCut && fromDB) {
    DBRecordList list(bc.rdisp.GetFieldInfo());
    for (int i = 0; bc.NextSelected(&i); ++i) list.NewRecord() = bc.rdisp.Get(i);
    bc.AddShadowList(list);
  }
  const bool cut = cmd == kCmdCut;
  const int removed = bc.TotalSelected();
  const int n = bc.DeleteRecords(cut && fromDB, cut && bc.rsrc[0] != '*');
  if (n < 0) {
    DMESSAGE(DMCdata, "Database error");
    gMain->CloseCatalog();
  } else {
    gMain->EchoAction("Cut", removed);
    gMain->SetUndoable(true);
  }
  if (cmd == kCmdClearWithImages) bc.SelectAll();
  b->Redisplay();
}

// ---- Records

bool reorientRecord(DBRecord* rp, OSType cmd) {
  if (rp == nullptr) return false;
  long rot = 0, flip = 0;
  PDBgetInt(*rp, PDBForient, &rot);
  PDBgetInt(*rp, PDBFflip, &flip);
  rot %= 360;  // the stored value is the record's own: keep the arithmetic in range
  while (rot >= 180) rot -= 360;
  while (rot < -180) rot += 360;
  auto swapFlips = [&] {
    if ((flip & 3) == 1 || (flip & 3) == 2) flip ^= 3;
  };
  switch (cmd) {
    case kCmdRotateRight:
      rot += 90;
      swapFlips();
      break;
    case kCmdRotateLeft:
      rot -= 90;
      swapFlips();
      break;
    case kCmdRotate180:
      rot += 180;
      break;
    case kCmdFlipHorizontally:
      flip ^= 1;
      break;
    case kCmdFlipVertically:
      flip ^= 2;
      break;
    default:
      DMESSAGE(DMCparameter, "Unrecognized command in reorientRecord");
      return false;
  }
  if ((flip & 3) == 3) {
    rot += 180;
    flip &= ~3L;
  }
  if (!PDBsetInt(rp, PDBForient, rot)) {
    DMESSAGE(DMCdata, "Cannot set rotation field in reorientRecord");
    return false;
  }
  if (!PDBsetInt(rp, PDBFflip, flip)) {
    DMESSAGE(DMCdata, "Cannot set flip field in reorientRecord");
    return false;
  }
  return true;
}

bool relatedSoundFile(const DBRecord& dr, char* buf, int len) {
  static char own[kPathLen];
  if (buf == nullptr) {
    buf = own;
    len = sizeof own;
  }
  if (len < 1) return false;
  buf[0] = '\0';
  char path[kPathLen];
  if (PlocateFile(path, sizeof path, dr) == PLFRfail) return false;
  const std::string sound = Companion(path);
  if (sound.empty() || sound.size() >= static_cast<size_t>(len)) return false;
  memcpy(buf, sound.c_str(), sound.size() + 1);
  return access(buf, R_OK) == 0;
}

bool PsharedRecordCommand(OSType cmd) {
  switch (cmd) {
    case kCmdRepeatSetting:
      repeatSetField();
      return true;
    case kCmdAdjustDate:
      adjustDate();
      return true;
    case kCmdRenameFiles:
      renameFiles();
      return true;
    case kCmdFindNearby:
      findNearby();
      return true;
    default:
      return false;
  }
}
