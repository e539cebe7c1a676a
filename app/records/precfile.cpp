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
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pidle.h"
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

// Whether to is from's own name in other letter case, on a file system whose names ignore it.
bool CaseOnly(const char* from, const char* to) {
  struct stat a, b;
  return strcasecmp(from, to) == 0 && stat(from, &a) == 0 && stat(to, &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A file that has its new name as a second link while the records still name the old one.
struct Linked {
  std::string from, to;
};
using Links = std::vector<Linked>;

// Gives the file at from the name to, never replacing a file. With links, the new name comes
// as a second link and the old one stays (listed in *links) until the records that name the
// new one are on disk: a crash on the way leaves both names, so that every record names a file
// that is there. Where the file system makes no hard links (EPERM, EXDEV, ENOTSUP, EMLINK), and
// for a change of letter case only where names ignore it (a link finds the file itself there),
// the file is renamed at once, and a crash before its records are synced leaves them naming the
// old name.
int NewName(const char* from, const char* to, Links* links) {
  if (links == nullptr) return RenameNoReplace(from, to);
  if (link(from, to) == 0) {
    links->push_back({from, to});
    return 0;
  }
  const int e = errno;
  if (e == EEXIST && CaseOnly(from, to)) return rename(from, to);
  if (e == EPERM || e == EXDEV || e == ENOTSUP || e == EMLINK) return RenameNoReplace(from, to);
  errno = e;
  return -1;
}

// The records naming the new names are on disk: the old names go.
void DropOldNames(Links* links) {
  for (const Linked& l : *links)
    if (unlink(l.from.c_str()) != 0 && errno != ENOENT)
      DMESSAGE(DMCwarning, "Cannot remove the old name '%s'", l.from.c_str());
  links->clear();
}

// The records name the old names again, on disk too: the new names go.
void DropNewNames(Links* links) {
  for (const Linked& l : *links) unlink(l.to.c_str());
  links->clear();
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

// Whether this user may remove the file at path, as the system decides it: not a folder, in a
// folder it may write (on a file system mounted for writing), past the sticky bit's rule. A
// file already gone counts as removable.
bool Removable(const std::string& path) {
  struct stat st, dir;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) return false;
  const std::string folder = FolderOf(path);
  if (access(folder.c_str(), W_OK | X_OK) != 0 || stat(folder.c_str(), &dir) != 0) return false;
  const uid_t me = geteuid();
  return (dir.st_mode & S_ISVTX) == 0 || me == 0 || st.st_uid == me || dir.st_uid == me;
}

// A record whose file is to go, as it was shown (at its place then) and catalogued.
struct Doomed {
  int at;
  std::string path;
  DBRecord shown;
  DBRecord cat;
  bool catalogued;
  bool stays = false;  // the file could not be deleted
};

// Puts the records of files that stayed back into the catalogue (or the shadow catalogue) and
// into the display at the given places (ascending), and syncs them.
void PutBack(const std::vector<std::pair<int, const Doomed*>>& back) {
  if (back.empty()) return;
  PContext& bc = gMain->bc;
  std::vector<DBRecord> cats;
  for (const auto& b : back)
    if (b.second->catalogued)
      cats.push_back(b.second->cat);
    else if (bc.ShadowReady())
      bc.AddShadow(b.second->shown);
  if (!cats.empty() && bc.Ready() && !bc.ReadOnly()) {
    if (bc.Checkpoint("Delete", nullptr))
      bc.pdb.AddRecords(cats.data(), static_cast<int>(cats.size()));
    else
      DMESSAGE(DMCdata, "Database error");
  }
  for (const auto& b : back) {
    const int n = bc.rdisp.GetSize();
    if (bc.rdisp.Resize(n + 1) != n + 1) break;
    for (int j = n; j > b.first; --j) bc.rdisp[j].Take(&bc.rdisp[j - 1]);  // links kept
    bc.rdisp[b.first] = b.second->shown;
  }
  bc.Reconcile();
  PsyncWhole();
}

// Deletes the selected records' files, those marked in prot only when the user agrees, then
// the records of the files gone (from the display, the catalogue and the shadow catalogue). The
// files go a batch at a time, each batch's records leaving the catalogues on disk before its
// files go: a crash leaves files whose records are gone, never records naming files gone. A
// file that cannot be deleted keeps its record: most are seen before (the system would refuse
// them), and the rest have their records put back. The records whose files stay remain
// selected.
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
    // batch's stretch is now removed places before where it was.
    std::vector<Doomed> batch;
    std::vector<int> stay;  // the stretch's records that stay, where they are now
    for (; at < chosen.size() && static_cast<int>(batch.size()) < kFileBatch; ++at) {
      const int i = chosen[at] - removed;
      const DBRecord& rec = bc.rdisp.Get(i);
      bool keep = PcurrentFile(path, sizeof path, rec) == nullptr;
      if (!keep && !Removable(path)) {
        DMESSAGE(DMCwarning, "Cannot delete '%s'", path);
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
    }
    if (!batch.empty()) {
      bc.SelectNone();
      for (const Doomed& d : batch) bc.Select(d.at, true);
      const int n = bc.DeleteRecords(true, true);
      if (n < 0) {
        DMESSAGE(DMCdata, "Database error");
        gMain->CloseCatalog();
      }
      failed = n < 0 || !PsyncWhole();
      for (Doomed& d : batch) {
        if (failed) {
          d.stays = true;  // its record may still be on disk
        } else if (unlink(d.path.c_str()) == 0 || errno == ENOENT) {
          // a file already gone counts as deleted
          DMESSAGE(DMCinfo, "Deleted file '%s'", d.path.c_str());
          PthumbManager().DeleteThumbnail(d.shown);
        } else {
          DMESSAGE(DMCwarning, "Cannot delete '%s'", d.path.c_str());
          d.stays = true;
        }
      }
    }
    // Where the records that stay are now: before each, the records of files gone left.
    std::vector<std::pair<int, const Doomed*>> back;
    size_t b = 0, s = 0;
    int gone = 0;
    while (b < batch.size() || s < stay.size()) {
      if (s == stay.size() || (b < batch.size() && batch[b].at < stay[s])) {
        const Doomed& d = batch[b++];
        if (!d.stays) {
          ++gone;
          continue;
        }
        back.emplace_back(d.at - gone, &d);
        kept.push_back(d.at - gone);
      } else {
        kept.push_back(stay[s++] - gone);
      }
    }
    removed += gone;
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

namespace {

// imgRename's work; with links, the file and its sound get their new names as second links
// (see NewName).
bool RenameImage(const char* opath, const char* npath, Links* links) {
  if (opath == nullptr || npath == nullptr) return false;
  if (Exists(npath) && !CaseOnly(opath, npath)) {
    DMESSAGE(DMCinput, "File '%s' already exists (not renamed)", PgetFilename(npath));
    return false;
  }
  if (NewName(opath, npath, links) != 0) {
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
  if (NewName(sound.c_str(), nsound.c_str(), links) != 0)
    DMESSAGE(DMCwarning, "Cannot rename '%s'", sound.c_str());
  return true;
}

}  // namespace

bool imgRename(const char* opath, const char* npath) {
  return RenameImage(opath, npath, nullptr);
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
  // The files get their new names beside the old ones, which go once the records are on disk.
  Links links;
  if (!RenameImage(opath, (folder + "/" + name).c_str(), &links)) return;

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
  // Each folder leaves the working list once done with (the old names stay there till the end).
  std::vector<std::string> failed;
  char lpath[kPathLen];
  const int wlid = PDBid(work, PDBFlocation);
  auto done = [&](const std::string& where) {
    DBField drop(where.c_str());
    DBField rest(work[wlid]);
    rest -= drop;
    work.SetField(wlid, rest);
  };
  if (wlid >= 0) done(folder);
  for (int tries = 0; wlid >= 0 && tries < 64; ++tries) {
    const PLocateFileRes res = PlocateFile(lpath, sizeof lpath, &work, nullptr);
    if (res != PLFRok && res != PLFRputback) break;
    const std::string where = FolderOf(lpath);
    if (where != folder && !RenameImage(lpath, (where + "/" + name).c_str(), &links))
      failed.push_back(where);
    done(where);
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
  auto unrename = [&](DBRecord* r) {
    PDBsetString(r, PDBFfile, oldName.c_str());
    const int lid = PDBid(*r, PDBFlocation);
    if (lid >= 0) r->SetField(lid, PDBgetField(before, PDBFlocation));
  };
  const std::vector<DBRecord> olddups(dups);
  for (DBRecord& d : dups) rename(&d);
  // The record takes its new name (or its old one again, by set) and the catalogue's entries
  // from become to; false when the catalogue cannot take the step.
  auto store = [&](const std::function<void(DBRecord*)>& set, const std::vector<DBRecord>& from,
                   const std::vector<DBRecord>& to) {
    const DBRecord was(*crp);
    set(crp);
    // A record kept only in the shadow catalogue keeps its entry under its name.
    if (from.empty()) {
      if (bc.DeleteShadows(&was, 1) > 0) bc.AddShadow(*crp);
      return true;
    }
    if (!bc.Checkpoint("Rename", nullptr)) return false;
    bc.pdb.DeleteRecords(from.data(), static_cast<int>(from.size()));
    bc.pdb.AddRecords(to.data(), static_cast<int>(to.size()));
    for (size_t k = 0; k < to.size(); ++k)
      if (shown[k] >= 0) bc.rdisp[shown[k]] = to[k];
    return true;
  };
  if (!store(rename, olddups, dups)) {
    unrename(crp);
    DropNewNames(&links);
    DMESSAGE(DMCdata, "Database update error in renameFile");
    return;
  }
  if (!dups.empty()) gMain->SetUndoable(false);
  // The records follow the renamed file to the disk at once; the old names go once they are
  // there. When they cannot get there, the records take the old names back, and the new names
  // go once those are on disk (else the files keep both names, each of which a record may be
  // naming).
  if (PsyncWhole()) {
    DropOldNames(&links);
  } else {
    if (store(unrename, dups, olddups) && PsyncWhole()) DropNewNames(&links);
    DMESSAGE(DMCdata, "Database update error in renameFile");
    bc.Reconcile();
    Refresh(b);
    return;
  }
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
  std::vector<int> linkedAt;  // the records of the batch whose files have both names
  Links links;
  // The catalogue follows the files a batch at a time. The batch's files get their new names
  // as second links, its records naming them are stored and synced, then the old names go: a
  // crash at any point leaves every record on disk naming a file that is there.
  auto change = [&](const DBRecordList& from) {
    // Shadow entries under the names left go; the change stores those of the names taken.
    bc.DeleteShadows(from.GetArray(), from.GetSize());
    ABitMap which(marked);  // the change clears the bits of records it need not store
    return bc.RecordChange("Rename", &which, nullptr);
  };
  auto store = [&] {
    if (oldNames.GetSize() == 0) return true;
    const int k = change(oldNames);
    const bool ok = k >= 0 && PsyncWhole();
    if (ok) {
      n += k;
      DropOldNames(&links);
    } else {
      // The records of linked files take their old names back (the files renamed outright keep
      // the new ones), and the new names go once that is on disk; else both names stay.
      DBRecordList newNames(bc.rdisp.GetFieldInfo());
      marked.NewBitMap(static_cast<uint32_t>(nd), false);
      for (int j = 0; j < oldNames.GetSize(); ++j) {
        const int i = linkedAt[static_cast<size_t>(j)];
        if (i < 0) continue;
        newNames.NewRecord() = bc.rdisp.Get(i);
        PDBsetString(&bc.rdisp[i], PDBFfile, PDBgetString(oldNames.Get(j), PDBFfile));
        marked.Set(static_cast<uint32_t>(i));
        --renamed;
      }
      if (change(newNames) >= 0 && PsyncWhole()) DropNewNames(&links);
    }
    oldNames.Resize(0);
    linkedAt.clear();
    links.clear();
    marked.NewBitMap(static_cast<uint32_t>(nd), false);
    return ok;
  };
  // A name a file of the batch is leaving is free once the batch is through.
  auto leaving = [&](const std::string& path) {
    for (const Linked& l : links)
      if (l.from == path) return true;
    return false;
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
    } while (Exists(npath) && !leaving(npath) && counter < 1000000);
    if (leaving(npath) && !(stored = store())) break;
    CloseImageOf(r, nullptr);
    const size_t had = links.size();
    if (!RenameImage(opath, npath.c_str(), &links)) continue;
    oldNames.NewRecord() = r;
    linkedAt.push_back(links.size() > had && links[had].from == opath ? i : -1);
    marked.Set(static_cast<uint32_t>(i));
    PDBsetString(&r, PDBFfile, PgetFilename(npath.c_str()));
    ++renamed;
    if (oldNames.GetSize() >= kFileBatch) stored = store();
  }
  if (stored) stored = store();
  if (renamed > 0) gMain->SetUndoable(false);  // an undo would take back the records' names only
  if (!stored) {
    // The batches before keep their new names, which the records show.
    DMESSAGE(DMCdata, "Database update error in renameFiles");
    return;
  }
  if (renamed == 0) return;
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
