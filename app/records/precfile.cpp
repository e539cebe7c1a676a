// The record file commands: opening, reloading, the clipboard and deleting, renaming, turning
// records and finding their sounds.
#include "app/records/precfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pcmds.h"
#include "app/core/pdialogs.h"
#include "app/core/pfiles.h"
#include "app/core/pfolder.h"
#include "app/core/phooks.h"
#include "app/records/pdates.h"
#include "app/records/pfindnearby.h"
#include "app/records/psetfield.h"
#include "catalog/pfieldset.h"
#include "catalog/pfileinfo.h"
#include "catalog/plocate.h"
#include "platform/pclipboard.h"
#include "platform/plaunch.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace {

constexpr int kPathLen = 1024;
// Files renamed or deleted before their records are stored and synced.
constexpr int kFileBatch = 100;

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Renames without ever replacing: a name that exists (or comes to exist meanwhile) refuses.
// The file system's own no-replace rename, else a new link and the old one's removal.
int RenameNoReplace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
  if (link(from, to) != 0) return -1;
  if (unlink(from) != 0) {
    const int e = errno;
    unlink(to);  // the new name goes again: the file keeps the one it had
    errno = e;
    return -1;
  }
  return 0;
}

// The path of the companion sound of the image at path that exists, in any letter case of
// "WAV"; empty when there is none (or the image has no suffix).
std::string Companion(const std::string& path) {
  const char* suffix = PgetSuffix(path.c_str());
  if (suffix == nullptr || strcmp(suffix, "NO FILE") == 0) return "";
  const std::string stem = path.substr(0, path.size() - strlen(suffix));  // ends in '.'
  for (const char* s : {"WAV", "wav"})
    if (Exists(stem + s)) return stem + s;
  DIR* d = opendir(FolderOf(stem).c_str());
  if (d == nullptr) return "";
  const std::string base = NameOf(stem);
  std::string found;
  while (struct dirent* e = readdir(d)) {
    const size_t n = strlen(e->d_name);
    if (n == base.size() + 3 && strncmp(e->d_name, base.c_str(), base.size()) == 0 &&
        strcasecmp(e->d_name + base.size(), "wav") == 0) {
      found = FolderOf(stem) + "/" + e->d_name;
      break;
    }
  }
  closedir(d);
  return found;
}

// Asks until the dialog answers (a mount breaks a wait off; a dialog that cannot be shown
// answers Cancel).
OSType Ask(const char* text, const char* custom, OSType dfb) {
  OSType r = 0;
  for (int tries = 0; r == 0 && tries < 100; ++tries) r = confirmDialog(text, custom, dfb);
  return r == 0 ? kResponseCancel : r;
}

IBrowser* MainBrowser() {
  return gMain != nullptr ? gMain->GetBrowser() : nullptr;
}

// Closes the open image of rec in the image window; cur (the image to return to) is forgotten
// when it is that one.
void CloseImageOf(const DBRecord& rec, PImageRing** cur) {
  if (gImager == nullptr) return;
  PImageRing* ir = gImager->MatchImage(rec);
  if (ir == nullptr) return;
  if (cur != nullptr && *cur == ir) *cur = nullptr;
  gImager->Advance(ir);
  gImager->CloseImage(false);
}

void Refresh(IBrowser* b) {
  if (b != nullptr) b->Redisplay();
}

}  // namespace

bool PcheckRecords(bool force, PContext* ctx) {
  return PappHooks().checkRecords != nullptr && PappHooks().checkRecords(force, ctx);
}

// ---- Opening and reloading

void openImages(IBrowser* bp, const char* appName) {
  IBrowser* b = bp != nullptr ? bp : MainBrowser();
  PContext* ctx = b != nullptr ? b->GetContext() : nullptr;
  if (ctx == nullptr) return;
  const bool selection = ctx->TotalSelected() > 0;
  bool changed = false;
  if (selection) {
    gConfirmResponse = kResponseOK;
    changed = PcheckRecords(false, nullptr);
    if (gConfirmResponse == kResponseCancel) {
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
  for (int i = 0; ctx->NextSelected(&i); ++i)
    if (PcurrentFile(path, sizeof path, ctx->rdisp.Get(i)) != nullptr) paths.push_back(path);
  if (!paths.empty() && !OpenWithProgram(appName, paths))
    DMESSAGE(DMCsystem, "Cannot start '%s'", appName);
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
    if (PcheckRecords(true, nullptr)) Refresh(b);
    return;
  }
  const std::string folder = bc.rsrc;  // the load replaces what rsrc says
  loadFolder(folder.c_str(), false, nullptr);
}

// ---- The clipboard and deleting

namespace {

// Deletes the selected records' files, those marked in prot only when the user agrees, then
// the records of the files gone (from the display, the catalogue and the shadow catalogue). The
// files go a batch at a time, and each batch's records leave the catalogue on disk before the
// next file is touched: a crash leaves at most one batch of records naming files already gone.
// The records whose files stay remain selected.
void DeleteFiles(const ABitMap& prot) {
  PContext& bc = gMain->bc;
  std::vector<int> chosen;  // in display order, as the display was
  for (int i = 0; bc.NextSelected(&i); ++i) chosen.push_back(i);
  std::vector<int> kept;  // where the records whose files stay are afterwards
  PImageRing* cur = gImager ? gImager->GetCurrentIR() : nullptr;
  bool yesToAll = false;
  int removed = 0;
  bool failed = false;
  char path[kPathLen];
  size_t at = 0;
  while (at < chosen.size() && !failed) {
    // The records before a batch's are those kept so far, at their places: each record of the
    // batch is now removed places before where it was.
    std::vector<int> batch;
    for (; at < chosen.size() && static_cast<int>(batch.size()) < kFileBatch; ++at) {
      const int i = chosen[at] - removed;
      const DBRecord& rec = bc.rdisp.Get(i);
      bool keep = PcurrentFile(path, sizeof path, rec) == nullptr;
      if (!keep && prot.Check(static_cast<uint32_t>(chosen[at])) && !yesToAll) {
        char text[kPathLen + 64];
        snprintf(text, sizeof text, "Delete read-only file '%s'?", path);
        const OSType r = Ask(text, "Yes to All", kResponseCancel);
        keep = r == kResponseCancel;
        if (r == kResponseCustom) yesToAll = true;
      }
      if (!keep) {
        CloseImageOf(rec, &cur);
        if (unlink(path) == 0) {
          DMESSAGE(DMCinfo, "Deleted file '%s'", path);
        } else if (errno != ENOENT) {  // a file already gone counts as deleted
          DMESSAGE(DMCwarning, "Cannot delete '%s'", path);
          keep = true;
        }
      }
      if (keep) {
        kept.push_back(i - static_cast<int>(batch.size()));
        continue;
      }
      PthumbManager().DeleteThumbnail(rec);
      batch.push_back(i);
    }
    if (batch.empty()) continue;
    bc.SelectNone();
    for (int i : batch) bc.Select(i, true);
    if (bc.DeleteRecords(true, true) < 0) {
      DMESSAGE(DMCdata, "Database error");
      gMain->CloseCatalog();
      failed = true;
    } else {
      removed += static_cast<int>(batch.size());
      failed = !PsyncWhole();  // no file more goes while its record stays on disk
    }
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
  if (removed == 0) {
    gMain->ShowMessage("No records changed", false);
  } else {
    gMain->EchoAction("Deleted", removed);
    gMain->SetUndoable(false);
  }
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
  if (cmd == kCmdDeleteFiles) {
    const bool catRO = bc.Ready() && bc.ReadOnly();
    for (int i = 0; bc.NextSelected(&i); ++i) {
      if (catRO && bc.GetDBOrig(i) != nullptr) {
        prot.Set(static_cast<uint32_t>(i));
        continue;
      }
      if (PcurrentFile(path, sizeof path, bc.rdisp.Get(i)) == nullptr) {
        DMESSAGE(DMCinput, "Cannot find the file of a selected record (nothing deleted)");
        return;
      }
      // A file marked read-only asks even of a user whom the system would let write it.
      struct stat st;
      if (stat(path, &st) == 0 && (access(path, W_OK) != 0 || (st.st_mode & 0222) == 0))
        prot.Set(static_cast<uint32_t>(i));
    }
    char text[300];
    int first = 0;
    bc.NextSelected(&first);
    if (nsel == 1)
      snprintf(text, sizeof text, "Permanently delete the %s image file?",
               prot.Check(static_cast<uint32_t>(first)) ? "read-only" : "associated");
    else
      snprintf(text, sizeof text, "Permanently delete these %d image files?", nsel);
    const OSType r = Ask(text, "Just Cut", 0);
    if (r == kResponseCancel) return;
    if (r == kResponseCustom)
      cmd = kCmdCut;
    else if (nsel == 1)
      prot.Reset(static_cast<uint32_t>(first));
  }
  const bool fromDB = strcmp(bc.rsrc, "*DB") == 0;
  if (cmd == kCmdCopy || cmd == kCmdCut) {
    // The records as a table: the field names, then one line per record, without the last
    // line's end.
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
    DeleteFiles(prot);
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

// ---- Renaming

bool imgRename(const char* opath, const char* npath) {
  if (opath == nullptr || npath == nullptr) return false;
  if (Exists(npath)) {
    DMESSAGE(DMCinput, "File '%s' already exists (not renamed)", PgetFilename(npath));
    return false;
  }
  if (RenameNoReplace(opath, npath) != 0) {
    if (errno == EEXIST)
      DMESSAGE(DMCinput, "File '%s' already exists (not renamed)", PgetFilename(npath));
    else
      DMESSAGE(DMCsystem, "Cannot rename '%s' (locked?)", opath);
    return false;
  }
  DMESSAGE(DMCinfo, "Renamed file to '%s'", npath);
  // The companion sound follows when the new name has none yet.
  const std::string sound = Companion(opath);
  const char* nsuffix = PgetSuffix(npath);
  if (sound.empty() || access(sound.c_str(), R_OK) != 0 || nsuffix == nullptr) return true;
  const std::string np = npath;
  if (!Companion(np).empty()) return true;
  const std::string nsound =
      np.substr(0, np.size() - strlen(nsuffix)) + sound.substr(sound.size() - 3);
  if (RenameNoReplace(sound.c_str(), nsound.c_str()) != 0)
    DMESSAGE(DMCwarning, "Cannot rename '%s'", sound.c_str());
  return true;
}

void renameFile(DBRecord* crp) {
  if (crp == nullptr || gMain == nullptr) return;
  PContext& bc = gMain->bc;
  IBrowser* b = MainBrowser();
  char opath[kPathLen];
  const char* oname = PcurrentFile(opath, sizeof opath, *crp);
  if (oname == nullptr) return;
  const std::string oldName = oname;
  char prompt[kPathLen + 32];
  snprintf(prompt, sizeof prompt, "Rename image '%s'", opath);
  char name[256];
  snprintf(name, sizeof name, "%s", oldName.c_str());
  if (getInput(name, sizeof name, prompt) != kResponseOK || name[0] == '\0' || oldName == name)
    return;
  if (strchr(name, '/') != nullptr) {
    DMESSAGE(DMCinput, "Cannot move image file (use the file manager)");
    return;
  }
  const std::string folder = FolderOf(opath);
  if (!imgRename(opath, (folder + "/" + name).c_str())) return;

  // The catalogue's entries of the same file, and the folders they know it in.
  DBRecord work(*crp);
  std::vector<DBRecord> dups;
  const bool writable = bc.Ready() && !bc.ReadOnly();
  if (writable) {
    DBQuery q(&bc.phd, false);
    if (PCsetQuery(&q, *crp, true)) {
      std::vector<DBRecord> found(256);
      int pos = 0;
      const int nf = bc.pdb.FindRecords(&q, found.data(), 256, &pos);
      for (int k = 0; k < nf && k < 256; ++k) dups.push_back(found[static_cast<size_t>(k)]);
    }
    for (const DBRecord& d : dups) {
      const int lid = PDBid(work, PDBFlocation);
      const DBField& dl = PDBgetField(d, PDBFlocation);
      if (lid < 0 || !dl.IsSet()) continue;
      DBField u(work[lid]);
      u |= dl;
      work.SetField(lid, u);
    }
  }
  // The file under its old name in the other folders the record knows is renamed there too.
  std::vector<std::string> failed;
  char lpath[kPathLen];
  for (int tries = 0; tries < 64; ++tries) {
    if (PlocateFile(lpath, sizeof lpath, &work, nullptr) != PLFRputback) break;
    const std::string where = FolderOf(lpath);
    if (where == folder || !imgRename(lpath, (where + "/" + name).c_str())) {
      failed.push_back(where);
      const int lid = PDBid(work, PDBFlocation);
      DBField drop(where.c_str());
      DBField rest(work[lid]);
      rest -= drop;
      work.SetField(lid, rest);
    }
  }
  // Catalogue entries of the file other than this record are closed in the image window.
  PImageRing* cur = gImager ? gImager->GetCurrentIR() : nullptr;
  PImageRing* own = gImager ? gImager->MatchImage(*crp) : nullptr;
  for (const DBRecord& d : dups)
    if (!(d == *crp) && gImager != nullptr && gImager->MatchImage(d) != own) CloseImageOf(d, &cur);

  auto rename = [&](DBRecord* r) {
    PDBsetString(r, PDBFfile, name);
    const int lid = PDBid(*r, PDBFlocation);
    if (lid < 0 || failed.empty()) return;
    DBField rest((*r)[lid]);
    for (const std::string& f : failed) {
      DBField drop(f.c_str());
      rest -= drop;
    }
    r->SetField(lid, rest);
  };
  // In the catalogue display, the displayed copies of the entries become the renamed entries.
  std::vector<int> shown(dups.size(), -1);
  if (strcmp(bc.rsrc, "*DB") == 0)
    for (size_t k = 0; k < dups.size(); ++k)
      for (int i = 0; i < bc.rdisp.GetSize(); ++i)
        if (bc.rdisp.Get(i) == dups[k]) {
          shown[k] = i;
          break;
        }
  const DBRecord before(*crp);
  rename(crp);
  // A record kept only in the shadow catalogue keeps its entry under the new name.
  if (dups.empty() && bc.DeleteShadows(&before, 1) > 0) bc.AddShadow(*crp);
  if (!dups.empty()) {
    if (!bc.Checkpoint("Rename", nullptr)) {
      DMESSAGE(DMCdata, "Database update error in renameFile");
      return;
    }
    bc.pdb.DeleteRecords(dups.data(), static_cast<int>(dups.size()));
    for (DBRecord& d : dups) rename(&d);
    bc.pdb.AddRecords(dups.data(), static_cast<int>(dups.size()));
    for (size_t k = 0; k < dups.size(); ++k)
      if (shown[k] >= 0) bc.rdisp[shown[k]] = dups[k];
    gMain->SetUndoable(false);
  }
  // The records follow the renamed file to the disk at once.
  PsyncWhole();
  const DBRecord renamed(*crp);
  bc.Reconcile();
  gMain->SortRecords(0, -1);
  bc.SelectNone();
  const int at = bc.FindI(renamed);
  if (at >= 0) bc.Select(at, true);
  if (b) b->ShowSelection(true);
  if (gInfo) gInfo->UpdateFields();
  if (own != nullptr && gImager != nullptr) {
    gImager->Advance(own);
    gImager->CloseImage(false);
    gImager->AddImage(renamed, false);
    if (cur != nullptr && cur != own) gImager->Advance(cur);
  }
  if (!dups.empty())
    gMain->EchoAction("Renamed", static_cast<int>(dups.size()));
  else
    gMain->NoChange();
}

void renameFiles() {
  if (gMain == nullptr) return;
  PContext& bc = gMain->bc;
  IBrowser* b = MainBrowser();
  if (strcmp(bc.rsrc, "*DB") == 0 && bc.ReadOnly()) {
    DMESSAGE(DMCinput, "Cannot rename image(s) in read-only catalog");
    return;
  }
  if (bc.TotalSelected() == 0) return;
  if (b != nullptr && b->ChangeOpen()) {
    DMESSAGE(DMCwarning, "Cannot rename while records are being changed");
    return;
  }
  gConfirmResponse = kResponseOK;
  const bool checked = PcheckRecords(false, nullptr);
  if (gConfirmResponse == kResponseCancel) {
    if (checked) Refresh(b);
    return;
  }
  if (bc.TotalSelected() == 1) {
    renameFile(loneRecord(&bc));
    return;
  }
  // One folder (the same exactly: names are case-sensitive here) and one suffix (in any case).
  std::string folder, suffix, subject;
  bool sameSubject = true, first = true;
  for (int i = 0; bc.NextSelected(&i); ++i, first = false) {
    const DBRecord& r = bc.rdisp.Get(i);
    const DBField& loc = PDBgetField(r, PDBFlocation);
    const char* f = loc.GetNV() == 1 ? loc.GetString(0) : nullptr;
    if (f == nullptr || (!first && folder != f)) {
      DMESSAGE(DMCinput, "Images must be together in one folder");
      return;
    }
    folder = f;
    const char* file = PDBgetString(r, PDBFfile);
    const char* s = file ? PgetSuffix(file) : nullptr;
    const std::string sfx = s ? s : "";
    if (!first && strcasecmp(suffix.c_str(), sfx.c_str()) != 0) {
      DMESSAGE(DMCinput, "Images must have the same suffix");
      return;
    }
    suffix = sfx;
    const char* subj = PDBgetString(r, PDBFsubject);
    if (subj == nullptr || (!first && subject != subj)) sameSubject = false;
    if (first && subj != nullptr) subject = subj;
  }
  char base[256] = "";
  if (sameSubject && !subject.empty() && subject.find('/') == std::string::npos)
    snprintf(base, sizeof base, "%s", subject.c_str());
  if (getInput(base, sizeof base, "Base for sequential image renaming") != kResponseOK ||
      base[0] == '\0')
    return;
  if (strchr(base, '/') != nullptr) {
    DMESSAGE(DMCinput, "Cannot move files (use the file manager)");
    return;
  }
  const int nd = bc.rdisp.GetSize();
  ABitMap marked(static_cast<uint32_t>(nd), false);
  int counter = 0, renamed = 0, n = 0;
  bool stored = true;
  DBRecordList oldNames(bc.rdisp.GetFieldInfo());
  // The catalogue follows the files a batch at a time: each batch's records are stored and
  // synced before the next file is touched, so that a crash leaves at most the files of one
  // batch renamed under records that name them as they were.
  auto store = [&] {
    if (oldNames.GetSize() == 0) return true;
    // Shadow entries under the old names go; the change stores those of the new names.
    bc.DeleteShadows(oldNames.GetArray(), oldNames.GetSize());
    const int k = bc.RecordChange("Rename", &marked, nullptr);
    oldNames.Resize(0);
    marked.NewBitMap(static_cast<uint32_t>(nd), false);
    if (k < 0) return false;
    n += k;
    return PsyncWhole();
  };
  char opath[kPathLen];
  for (int i = 0; stored && bc.NextSelected(&i); ++i) {
    DBRecord& r = bc.rdisp[i];
    if (PcurrentFile(opath, sizeof opath, r) == nullptr) continue;
    const char* s = PgetSuffix(opath);
    std::string npath;
    do {
      ++counter;
      char nm[300];
      if (s != nullptr)
        snprintf(nm, sizeof nm, "%s%03d.%s", base, counter, s);
      else
        snprintf(nm, sizeof nm, "%s%03d", base, counter);
      npath = folder + "/" + nm;
    } while (Exists(npath) && counter < 1000000);
    CloseImageOf(r, nullptr);
    if (!imgRename(opath, npath.c_str())) continue;
    oldNames.NewRecord() = r;
    marked.Set(static_cast<uint32_t>(i));
    PDBsetString(&r, PDBFfile, PgetFilename(npath.c_str()));
    ++renamed;
    if (oldNames.GetSize() >= kFileBatch) stored = store();
  }
  if (stored) stored = store();
  if (renamed == 0) return;
  gMain->SetUndoable(false);  // an undo would take the names back from the records only
  if (!stored) {
    // The files renamed so far keep their new names, which the records show.
    DMESSAGE(DMCdata, "Database update error in renameFiles");
    return;
  }
  gMain->SortRecords(0, -1);
  if (gImager) gImager->Redraw();
  if (gInfo) gInfo->UpdateFields();
  if (n > 0)
    gMain->EchoAction("Renamed", n);
  else
    gMain->NoChange();
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
