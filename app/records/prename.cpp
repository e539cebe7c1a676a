// Renaming the image files behind records: one file, in every folder where the catalogue knows
// it, or a numbered series in one folder. A new name comes as a second link of the file and the
// old one goes only once the records naming the new one are on disk, so that a crash at any
// point leaves every record on disk naming a file that is there; a rename whose records cannot
// be saved is taken back, records and names.
#include "app/records/precfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pdialogs.h"
#include "app/core/pfilebatch.h"
#include "app/core/pfiles.h"
#include "app/core/pidle.h"
#include "app/core/pseam.h"
#include "app/records/precfilepriv.h"
#include "catalog/pfieldset.h"
#include "catalog/pfileinfo.h"
#include "catalog/plocate.h"
#include "support/cnumber.h"
#include "support/futil.h"

using namespace recfile;

namespace {

// ---- Second names

// Whether the folder lists an entry of exactly this name.
bool Listed(const std::string& folder, const std::string& name) {
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return false;
  bool found = false;
  while (struct dirent* e = readdir(d))
    if (name == e->d_name) {
      found = true;
      break;
    }
  closedir(d);
  return found;
}

// Whether drop is a second name of the file keep names, so that removing it loses nothing:
// both name one file (device and inode, looked at now: either name may have changed hands
// since the link was made) that has two links. Where names ignore letter case, a name that
// differs in case only finds the very entry of the other: then both must be listed.
bool SecondName(const std::string& keep, const std::string& drop) {
  struct stat k, d;
  if (lstat(keep.c_str(), &k) != 0 || lstat(drop.c_str(), &d) != 0) return false;
  if (k.st_dev != d.st_dev || k.st_ino != d.st_ino || k.st_nlink < 2) return false;
  const std::string kn = NameOf(keep), dn = NameOf(drop);
  if (Cstrcasecmp(kn.c_str(), dn.c_str()) != 0) return true;
  return kn != dn && Listed(PfolderOf(keep), kn) && Listed(PfolderOf(drop), dn);
}

// Removes drop, the old or the new name of the file keep names; says so when it cannot.
void DropName(const std::string& keep, const std::string& drop, const char* which) {
  if (!Exists(drop)) return;
  if (!SecondName(keep, drop)) {
    DMESSAGE(DMCwarning, "Cannot remove the %s name '%s': it is no longer a second name of '%s'",
             which, drop.c_str(), keep.c_str());
    return;
  }
  if (unlink(drop.c_str()) != 0 && errno != ENOENT)
    DMESSAGE(DMCwarning, "Cannot remove the %s name '%s': %s", which, drop.c_str(),
             PsystemReason(errno).c_str());
}

// Whether the folders at a and b are one (by name, or as the file system finds them).
bool SameFolder(const std::string& a, const std::string& b) {
  struct stat x, y;
  return a == b || (stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
                    x.st_ino == y.st_ino);
}

// Whether to is from's own name in other letter case, on a file system whose names ignore it.
bool CaseOnly(const char* from, const char* to) {
  const int e = errno;
  struct stat a, b;
  const bool same = Cstrcasecmp(from, to) == 0 && stat(from, &a) == 0 && stat(to, &b) == 0 &&
                    a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  errno = e;
  return same;
}

// The new names a rename gave files as second links, each beside the name it replaces: a file
// keeps both until the records on disk name one of them only.
class SecondNames {
 public:
  // Gives the file at from the name to as a second link. Where the file system makes no hard
  // links (EPERM, EXDEV, ENOTSUP, EMLINK) the file is renamed at once instead, and is not
  // listed here: a crash before its records are synced leaves them naming the old name.
  int Link(const char* from, const char* to) {
    if (link(from, to) == 0) {
      pairs.push_back({from, to});
      return 0;
    }
    if (errno == EPERM || errno == EXDEV || errno == ENOTSUP || errno == EMLINK)
      return PrenameNoReplace(from, to);
    return -1;
  }
  // Whether a file listed here is leaving the name path.
  bool Leaving(const std::string& path) const {
    for (const Pair& p : pairs)
      if (p.from == path) return true;
    return false;
  }
  int Count() const { return static_cast<int>(pairs.size()); }
  // The records on disk name the new names: the old ones go. The number of files that have
  // their new names.
  int DropOld() { return Drop(false); }
  // The records on disk name the old names: the new ones go. The number of files that keep
  // their old names.
  int DropNew() { return Drop(true); }
  // Records on disk may name either: both stay.
  void Keep() {
    if (!pairs.empty())
      DMESSAGE(DMCwarning, "%d renamed files keep their old names beside the new ones", Count());
    pairs.clear();
  }

 private:
  struct Pair {
    std::string from, to;
  };
  int Drop(bool newOnes) {
    int n = 0;
    for (const Pair& p : pairs) {
      const std::string& keep = newOnes ? p.from : p.to;
      DropName(keep, newOnes ? p.to : p.from, newOnes ? "new" : "old");
      n += Exists(keep);
    }
    pairs.clear();
    return n;
  }
  std::vector<Pair> pairs;
};

// Gives the file at from the name to, never replacing a file: with names, as a second link
// (see SecondNames::Link). A change of letter case only, where names ignore it, renames at
// once: a link would find the file itself.
int GiveName(const char* from, const char* to, SecondNames* names) {
  const int r = names != nullptr ? names->Link(from, to) : PrenameNoReplace(from, to);
  if (r != 0 && errno == EEXIST && CaseOnly(from, to)) return rename(from, to);
  return r;
}

// The longest file name the folder's file system takes.
long NameMax(const std::string& folder) {
  const long max = pathconf(folder.c_str(), _PC_NAME_MAX);
  return max > 0 ? max : NAME_MAX;
}

// Whether npath is a name the file system takes and a path the program can name again; told in
// words when not. A name is never cut to fit: a shorter one is another name.
bool NameFits(const std::string& npath) {
  const std::string folder = PfolderOf(npath), name = NameOf(npath);
  const long max = NameMax(folder);
  if (name.size() > static_cast<size_t>(max)) {
    DMESSAGE(DMCinput,
             "Cannot rename to a name of %zu bytes: the folder '%s' takes names of at most %ld "
             "bytes (not renamed)",
             name.size(), folder.c_str(), max);
    return false;
  }
  if (npath.size() >= static_cast<size_t>(kPathLen)) {
    DMESSAGE(DMCinput,
             "Cannot rename to '%s': a path of %zu bytes, and paths may be at most %d bytes (not "
             "renamed)",
             name.c_str(), npath.size(), kPathLen - 1);
    return false;
  }
  return true;
}

// imgRename's work; with names, the file and its sound get their new names as second links.
bool RenameImage(const char* opath, const char* npath, SecondNames* names) {
  if (opath == nullptr || npath == nullptr || !NameFits(npath)) return false;
  if (Exists(npath) && !CaseOnly(opath, npath)) {
    DMESSAGE(DMCinput, "File '%s' already exists (not renamed)", PgetFilename(npath));
    return false;
  }
  if (GiveName(opath, npath, names) != 0) {
    const int e = errno;
    if (e == EEXIST)
      DMESSAGE(DMCinput, "File '%s' already exists (not renamed)", PgetFilename(npath));
    else if (e == EBUSY || e == ETXTBSY || e == 0)
      DMESSAGE(DMCsystem, "Cannot rename '%s' (locked?)", opath);
    else
      DMESSAGE_ERRNO(DMCsystem, DMnoSystemError, "Cannot rename '%s': %s", opath,
                     PsystemReason(e).c_str());
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
  if (GiveName(sound.c_str(), nsound.c_str(), names) != 0)
    DMESSAGE(DMCwarning, "Cannot rename '%s'", sound.c_str());
  return true;
}

// ---- Saving a rename

// A rename whose records are on their way to disk while its files have both names: registered
// with the core from its first new name to the end of its save, so that an end without the
// display leaves the files with the names the records on disk give.
class Rename : public PFileBatch {
 public:
  explicit Rename(PContext& c) : bc(c) {}
  ~Rename() override { End(); }
  void EndAtQuit(bool onDisk, bool mayEdit) override;

 protected:
  // The files begin to get their new names.
  void Begin();
  // Syncs the records stored (stored: they were); true when they are on disk, the old names
  // gone. Otherwise the rename is taken back and the new names go once no record on disk names
  // them; a failed sync is told with what was taken back.
  bool Save(bool stored);
  // The records take their old names again, as far as their files have them; the number of
  // records taken back, -1 when none could be (the new names stay named then).
  virtual int TakeBack() = 0;

  // The batch is through (or never began): its registration ends.
  void End();

  PContext& bc;
  SecondNames names;
  // The files renamed in the batches saved before this one, and those chosen after it.
  int earlier = 0, later = 0;

 private:
  // Where the batch is: giving files their new names, its records stored (and being saved),
  // or taken back after their save failed.
  enum class Phase { none, naming, stored, takenBack } phase = Phase::none;
  // Taken back, the catalogue or the shadow catalogue whose sync went through holds the new
  // names on disk until it is written again.
  bool catalogueNew = false, shadowNew = false;
};

void Rename::Begin() {
  if (phase != Phase::none) return;
  phase = Phase::naming;
  PsetFileBatch(this);
}

void Rename::End() {
  phase = Phase::none;
  if (PfileBatch() == this) PsetFileBatch(nullptr);
}

bool Rename::Save(bool stored) {
  const bool catalogue = bc.Unsynced(), shadow = bc.ShadowUnsynced();
  phase = Phase::stored;
  if (stored && PsyncWhole(false)) {
    names.DropOld();
    End();
    return true;
  }
  // Told once taken back, in the words the failure had.
  const std::string failed = stored ? bc.SyncFailedText() : std::string();
  // The catalogue and the shadow catalogue sync apart: one whose sync went through holds the
  // new names on disk until it is written again.
  catalogueNew = stored && catalogue && !bc.Unsynced();
  shadowNew = stored && shadow && !bc.ShadowUnsynced();
  phase = Phase::takenBack;
  const int back = TakeBack();
  if (back >= 0 && (catalogueNew || shadowNew)) PsyncWhole(false);
  const bool both =
      back < 0 || (catalogueNew && bc.Unsynced()) || (shadowNew && bc.ShadowUnsynced());
  int files = 0;
  if (both)
    names.Keep();
  else
    files = names.DropNew();
  End();
  if (failed.empty()) return false;
  const std::string now = both ? "the files keep their old names beside the new ones"
                          : files == 1
                              ? "the file keeps its old name"
                              : "the " + std::to_string(files) + " files keep their old names";
  TellBatchNotSaved(failed, back > 0 ? TakenBack("Rename", back, now) : std::string(), earlier,
                    "renamed", later);
  return false;
}

void Rename::EndAtQuit(bool onDisk, bool mayEdit) {
  const Phase at = phase;
  phase = Phase::none;
  if (at == Phase::stored && onDisk) {
    const int n = names.DropOld();
    DMESSAGE(DMCwarning,
             "Rename Files ended by the quit: the files of its last batch keep only their new "
             "names (%d old names dropped by the quit), as the catalog on disk says",
             n);
    return;
  }
  if (at == Phase::takenBack && ((catalogueNew && !onDisk) || (shadowNew && bc.ShadowUnsynced()))) {
    names.Keep();
    return;
  }
  if (at == Phase::stored && mayEdit) TakeBack();
  const int n = names.DropNew();
  if (n > 0)
    DMESSAGE(DMCwarning,
             "Rename Files ended by the quit before its last batch was saved: its renames were "
             "taken back, and its %d files keep their old names",
             n);
}

// ---- One file

// One record's file renamed to a typed name, in its folder and in every other folder where the
// catalogue's entries of the file know it.
class OneRename : public Rename {
 public:
  OneRename(PContext& c, DBRecord* rec) : Rename(c), crp(rec), before(*rec) {}
  // Asks for the new name; false when there is nothing to do.
  bool AskName();
  // Renames the file in its folder; false (told) when it cannot be.
  bool RenameHere();
  // Finds the catalogue's entries of the file and renames it in the other folders they know
  // it in; a folder where that fails leaves the records.
  void RenameElsewhere();
  // Stores the record and the entries under the new name; false when the catalogue cannot
  // take the step (the new names gone then).
  bool Store();
  // Saves the records (see Rename::Save).
  bool Save() { return Rename::Save(true); }
  // Catalogue entries were renamed: an undo would take back the records' names only.
  bool Stepped() const { return !dups.empty(); }
  // The renamed record sorted, selected and shown in the windows; the command's message.
  void Show();

 private:
  void FindEntries();
  // The folder leaves the working record's list.
  void Done(const std::string& where);
  void CloseOtherEntries();
  // r takes the new name and leaves the folders where the file could not get it.
  void Renamed(DBRecord* r) const;
  int TakeBack() override;

  DBRecord* crp;
  const DBRecord before;
  std::string opath, folder, oldName;
  // Longer than any name a folder takes: a typed name too long is refused, never cut.
  char name[kPathLen] = "";
  DBRecord work;  // the record with every folder of its entries, each left once done with
  std::vector<DBRecord> dups, olddups;  // the catalogue's entries, renamed and as they were
  std::vector<int> shown;               // where the catalogue display shows each entry
  std::vector<std::string> failed;      // folders where the file could not be renamed
  const DBChangeList* step = nullptr;
  bool shadowed = false;  // the record's entry in the shadow catalogue was renamed
  bool outright = false;  // a file was renamed at once, having no second name
  PImageRing* cur = nullptr;
  PImageRing* own = nullptr;
};

bool OneRename::AskName() {
  char path[kPathLen];
  const char* oname = PcurrentFile(path, sizeof path, *crp);
  if (oname == nullptr) return false;
  oldName = oname;
  opath = path;
  folder = PfolderOf(opath);
  char prompt[kPathLen + 32];
  snprintf(prompt, sizeof prompt, "Rename image '%s'", path);
  snprintf(name, sizeof name, "%s", oldName.c_str());
  if (getInput(name, sizeof name, prompt) != kResponseOK || name[0] == '\0' || oldName == name)
    return false;
  if (strchr(name, '/') != nullptr) {
    DMESSAGE(DMCinput, "Cannot move image file (use the file manager)");
    return false;
  }
  return true;
}

bool OneRename::RenameHere() {
  Begin();
  if (!RenameImage(opath.c_str(), (folder + "/" + name).c_str(), &names)) return false;
  outright = !names.Leaving(opath);
  return true;
}

void OneRename::FindEntries() {
  work = *crp;
  if (!bc.Ready() || bc.ReadOnly()) return;
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

void OneRename::RenameElsewhere() {
  FindEntries();
  // The old names stay in every folder until the end, so each folder leaves the list once done
  // with.
  Done(folder);
  char lpath[kPathLen];
  for (int tries = 0; PDBid(work, PDBFlocation) >= 0 && tries < 64; ++tries) {
    const PLocateFileRes res = PlocateFile(lpath, sizeof lpath, &work, nullptr);
    if (res != PLFRok && res != PLFRputback) break;
    const std::string where = PfolderOf(lpath);
    if (!SameFolder(where, folder)) {
      if (!RenameImage(lpath, (where + "/" + name).c_str(), &names))
        failed.push_back(where);
      else if (!names.Leaving(lpath))
        outright = true;
    }
    Done(where);
  }
  CloseOtherEntries();
}

void OneRename::Done(const std::string& where) {
  const int lid = PDBid(work, PDBFlocation);
  if (lid < 0) return;
  // Every name the list gives the folder goes with it: the folder reached again by another
  // (through a link, "..", a trailing '/') holds the file under its new name already.
  const DBField& loc = work[lid];
  DBField rest(loc);
  for (int k = 0; k < loc.GetNV(); ++k) {
    const char* f = loc.GetString(k);
    if (where != f && !SameFolder(where, f)) continue;
    DBField drop(f);
    rest -= drop;
  }
  work.SetField(lid, rest);
}

void OneRename::CloseOtherEntries() {
  cur = gImager ? gImager->GetCurrentIR() : nullptr;
  own = gImager ? gImager->MatchImage(*crp) : nullptr;
  for (const DBRecord& d : dups)
    if (!(d == *crp) && gImager != nullptr && gImager->MatchImage(d) != own) CloseImageOf(d, &cur);
}

void OneRename::Renamed(DBRecord* r) const {
  PDBsetString(r, PDBFfile, name);
  const int lid = PDBid(*r, PDBFlocation);
  if (lid < 0 || failed.empty()) return;
  DBField rest((*r)[lid]);
  for (const std::string& f : failed) {
    DBField drop(f.c_str());
    rest -= drop;
  }
  r->SetField(lid, rest);
}

bool OneRename::Store() {
  // A record kept only in the shadow catalogue keeps its entry under its name.
  if (dups.empty()) {
    Renamed(crp);
    shadowed = bc.DeleteShadows(&before, 1) > 0;
    if (shadowed) bc.AddShadow(*crp);
    return true;
  }
  // In the catalogue display, the displayed copies of the entries become the renamed entries.
  shown.assign(dups.size(), -1);
  if (strcmp(bc.rsrc, "*DB") == 0)
    for (size_t k = 0; k < dups.size(); ++k)
      for (int i = 0; i < bc.rdisp.GetSize() && shown[k] < 0; ++i)
        if (bc.rdisp.Get(i) == dups[k]) shown[k] = i;
  if (!bc.Checkpoint("Rename", nullptr)) {
    names.DropNew();  // nothing reached the catalogue, on disk or here
    return false;
  }
  step = bc.pdb.Pending();
  olddups = dups;
  for (DBRecord& d : dups) Renamed(&d);
  Renamed(crp);
  bc.pdb.DeleteRecords(olddups.data(), static_cast<int>(olddups.size()));
  bc.pdb.AddRecords(dups.data(), static_cast<int>(dups.size()));
  for (size_t k = 0; k < dups.size(); ++k)
    if (shown[k] >= 0) bc.rdisp[shown[k]] = dups[k];
  return true;
}

int OneRename::TakeBack() {
  // A file renamed at once has the new name only: the records keep it.
  if (outright) return -1;
  UndoBatch(bc, step);
  const DBRecord renamed(*crp);
  PDBsetString(crp, PDBFfile, oldName.c_str());
  const int lid = PDBid(*crp, PDBFlocation);
  if (lid >= 0) crp->SetField(lid, PDBgetField(before, PDBFlocation));
  for (size_t k = 0; k < shown.size(); ++k)
    if (shown[k] >= 0) bc.rdisp[shown[k]] = olddups[k];
  if (shadowed && bc.DeleteShadows(&renamed, 1) > 0) bc.AddShadow(*crp);
  return std::max(1, static_cast<int>(dups.size()));
}

void OneRename::Show() {
  IBrowser* b = MainBrowser();
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

// ---- A series

// The selected records' files renamed to a typed base followed by 001, 002, ... in display
// order, skipping names that exist, a batch at a time: the batch's files get their new names
// as second links, its records naming them are stored and synced, then the old names go.
class SeriesRename : public Rename {
 public:
  explicit SeriesRename(PContext& c)
      : Rename(c), nd(c.rdisp.GetSize()), before(c.rdisp.GetFieldInfo()) {}
  // Checks that the records lie in one folder and have one suffix, then asks for the base;
  // false when there is nothing to do.
  bool AskBase();
  // Renames the files; false when a batch's records could not be saved (that batch taken
  // back, those before it renamed).
  bool Run();
  int Renamed() const { return renamed; }
  int Stored() const { return stored; }
  // Whether a step was taken back (it must not be redone).
  bool TookBack() const { return tookBack; }

 private:
  // The next free name of the series in the folder, for a file with the suffix.
  std::string NextName(const char* suffix);
  // The path of the series' name with this number and suffix (null: none).
  std::string SeriesPath(const std::string& number, const char* suffix) const;
  // The file of the record at i takes npath's name, beside its old one.
  void RenameOne(int i, const char* opath, const std::string& npath);
  // Stores and saves the batch; false when it could not be saved.
  bool StoreBatch();
  // The batch's records in the catalogue, those it does not hold in the shadow catalogue
  // (whose entries under the names left go): the records of files renamed at once in a step of
  // their own before the others', so that taking the batch back undoes the step of files that
  // have both names alone. The catalogue records stored, -1 when the catalogue cannot take a
  // step.
  int File();
  int TakeBack() override;

  const int nd;
  std::string folder, base;
  int counter = 0, renamed = 0, stored = 0;
  bool tookBack = false;
  // The batch: its records as they were, where they are shown, whether each file kept its
  // old name beside the new one; the step that stores those that did, and which of them the
  // catalogue holds.
  DBRecordList before;
  std::vector<int> at;
  std::vector<bool> linked;
  const DBChangeList* step = nullptr;
  ABitMap catalogued;
};

bool SeriesRename::AskBase() {
  // One folder (the same exactly: names are case-sensitive here) and one suffix (in any case).
  std::string suffix, subject;
  bool sameSubject = true, first = true;
  for (int i = 0; bc.NextSelected(&i); ++i) {
    const DBRecord& r = bc.rdisp.Get(i);
    if (!PnamesFile(r)) continue;  // left out of the series
    const DBField& loc = PDBgetField(r, PDBFlocation);
    const char* f = loc.GetNV() == 1 ? loc.GetString(0) : nullptr;
    if (f == nullptr || (!first && folder != f)) {
      DMESSAGE(DMCinput, "Images must be together in one folder");
      return false;
    }
    folder = f;
    const char* file = PDBgetString(r, PDBFfile);
    const char* s = file ? PgetSuffix(file) : nullptr;
    const std::string sfx = s ? s : "";
    if (!first && Cstrcasecmp(suffix.c_str(), sfx.c_str()) != 0) {
      DMESSAGE(DMCinput, "Images must have the same suffix");
      return false;
    }
    suffix = sfx;
    const char* subj = PDBgetString(r, PDBFsubject);
    if (subj == nullptr || (!first && subject != subj)) sameSubject = false;
    if (first && subj != nullptr) subject = subj;
    first = false;
  }
  char typed[kPathLen] = "";
  if (sameSubject && !subject.empty() && subject.find('/') == std::string::npos &&
      subject.size() < sizeof typed)
    memcpy(typed, subject.c_str(), subject.size() + 1);
  if (getInput(typed, sizeof typed, "Base for sequential image renaming") != kResponseOK ||
      typed[0] == '\0')
    return false;
  if (strchr(typed, '/') != nullptr) {
    DMESSAGE(DMCinput, "Cannot move files (use the file manager)");
    return false;
  }
  base = typed;
  // The series' longest name must fit before its first file is renamed.
  const int digits = std::max(3, static_cast<int>(std::to_string(bc.TotalSelected()).size()));
  return NameFits(SeriesPath(std::string(static_cast<size_t>(digits), '9'),
                             suffix.empty() ? nullptr : suffix.c_str()));
}

std::string SeriesRename::SeriesPath(const std::string& number, const char* suffix) const {
  std::string name = base + number;
  if (suffix != nullptr) name += std::string(".") + suffix;
  return folder + "/" + name;
}

bool SeriesRename::Run() {
  char opath[kPathLen];
  int left = bc.TotalSelected();
  for (int i = 0; bc.NextSelected(&i); ++i, --left) {
    // A quit signal stops the series between batches: each batch is renamed whole.
    if (before.GetSize() == 0 && PquitRequested()) {
      DMESSAGE(DMCwarning,
               "Rename Files stopped by the quit: %d files renamed, the other %d keep "
               "their names",
               renamed, left);
      break;
    }
    if (PcurrentFile(opath, sizeof opath, bc.rdisp.Get(i)) == nullptr) continue;
    const std::string npath = NextName(PgetSuffix(opath));
    // A name a file of the batch is leaving is free once the batch is through.
    later = left;
    if (names.Leaving(npath) && !StoreBatch()) return false;
    RenameOne(i, opath, npath);
    later = left - 1;
    if (before.GetSize() >= kFileBatch && !StoreBatch()) return false;
  }
  later = 0;
  return StoreBatch();
}

std::string SeriesRename::NextName(const char* suffix) {
  std::string npath;
  do {
    ++counter;
    char number[16];
    snprintf(number, sizeof number, "%03d", counter);
    npath = SeriesPath(number, suffix);
  } while (Exists(npath) && !names.Leaving(npath) && counter < 1000000);
  return npath;
}

void SeriesRename::RenameOne(int i, const char* opath, const std::string& npath) {
  DBRecord& r = bc.rdisp[i];
  CloseImageOf(r, nullptr);
  Begin();
  if (!RenameImage(opath, npath.c_str(), &names)) return;
  before.NewRecord() = r;
  at.push_back(i);
  linked.push_back(names.Leaving(opath));
  PDBsetString(&r, PDBFfile, PgetFilename(npath.c_str()));
  ++renamed;
}

int SeriesRename::File() {
  bc.DeleteShadows(before.GetArray(), before.GetSize());
  int k = 0;
  for (const bool links : {false, true}) {
    ABitMap which(static_cast<uint32_t>(nd), false);
    for (size_t j = 0; j < at.size(); ++j)
      if (linked[j] == links) which.Set(static_cast<uint32_t>(at[j]));
    if (which.SumTotal() == 0) continue;
    // The change clears the bits of the records it does not store in the catalogue.
    const int n = bc.RecordChange("Rename", &which, nullptr);
    if (links) {
      catalogued = which;
      step = n > 0 ? bc.pdb.Pending() : nullptr;
    }
    if (n < 0) return -1;
    k += n;
  }
  return k;
}

bool SeriesRename::StoreBatch() {
  if (before.GetSize() == 0) {
    End();
    return true;
  }
  step = nullptr;
  catalogued.NewBitMap(static_cast<uint32_t>(nd), false);
  const int k = File();
  const bool ok = Save(k >= 0);
  if (ok) {
    stored += k;
    earlier += before.GetSize();
  }
  before.Resize(0);
  at.clear();
  linked.clear();
  return ok;
}

int SeriesRename::TakeBack() {
  // The records of the files that have both names take the old ones again, in the catalogue
  // (their step undone, the display matched with it again) and in the shadow catalogue. A
  // file renamed at once has no other name: its record keeps the new one.
  DBRecordList renamedOnes(bc.rdisp.GetFieldInfo()), shadows(bc.rdisp.GetFieldInfo());
  for (size_t j = 0; j < at.size(); ++j) {
    if (!linked[j]) continue;
    DBRecord& r = bc.rdisp[at[j]];
    renamedOnes.NewRecord() = r;
    PDBsetString(&r, PDBFfile, PDBgetString(before.Get(static_cast<int>(j)), PDBFfile));
    if (!catalogued.Check(static_cast<uint32_t>(at[j]))) shadows.NewRecord() = r;
    --renamed;
  }
  tookBack = UndoBatch(bc, step) || tookBack;
  if (bc.ShadowReady()) {
    bc.DeleteShadows(renamedOnes.GetArray(), renamedOnes.GetSize());
    bc.AddShadowList(shadows);
  }
  bc.Reconcile();
  return renamedOnes.GetSize();
}

}  // namespace

bool imgRename(const char* opath, const char* npath) {
  return RenameImage(opath, npath, nullptr);
}

void renameFile(DBRecord* crp) {
  if (crp == nullptr || gMain == nullptr) return;
  PLeftRecords left("Rename Files");
  if (!left.Named(*crp)) {
    left.Tell();
    return;
  }
  OneRename one(gMain->bc, crp);
  if (!one.AskName() || !one.RenameHere()) return;
  one.RenameElsewhere();
  if (!one.Store()) {
    DMESSAGE(DMCdata, "Database update error in renameFile");
    return;
  }
  const bool saved = one.Save();
  if (one.Stepped()) gMain->SetUndoable(false);
  if (!saved) {
    DMESSAGE(DMCdata, "Database update error in renameFile");
    gMain->bc.Reconcile();
    Refresh(MainBrowser());
    return;
  }
  one.Show();
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
  const PCheckResult checked = PcheckRecords(false, nullptr);
  if (checked.cancelled) {
    if (checked.changed) Refresh(b);
    return;
  }
  if (bc.TotalSelected() == 1) {
    renameFile(loneRecord(&bc));
    return;
  }
  // A record whose File names no file is left out of the series, and told of.
  PLeftRecords left("Rename Files");
  for (int i = 0; bc.NextSelected(&i); ++i) left.Named(bc.rdisp.Get(i));
  if (left.Count() == bc.TotalSelected()) {
    left.Tell();
    return;
  }
  SeriesRename series(bc);
  if (!series.AskBase()) return;
  const bool saved = series.Run();
  left.Tell();
  // An undo would take back the records' names only; a step taken back is not to be redone.
  if (series.Renamed() > 0 || series.TookBack()) gMain->SetUndoable(false);
  if (!saved) {
    // The batches before keep their new names, which the records show.
    DMESSAGE(DMCdata, "Database update error in renameFiles");
    return;
  }
  if (series.Renamed() == 0) return;
  gMain->SortRecords(0, -1);
  if (gImager) gImager->Redraw();
  if (gInfo) gInfo->UpdateFields();
  if (series.Stored() > 0)
    gMain->EchoAction("Renamed", series.Stored());
  else
    gMain->NoChange();
}
