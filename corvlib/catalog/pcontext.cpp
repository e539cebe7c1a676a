// The catalogue context: opening, closing, syncing and checkpointing the catalogue.
#include "catalog/pcontext.h"
#include "catalog/pdbase.h"
#include "support/pchange.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "image/pireader.h"
#include "support/dmessage.h"

namespace {

// The path without the suffix of its last component.
std::string Stem(const char* path) {
  const char* suf = PgetSuffix(path);
  if (suf == nullptr || suf <= path) return path;
  return std::string(path, static_cast<size_t>(suf - path) - 1);
}

}  // namespace

bool PContext::OpenFile(std::fstream* fs, const char* path, bool create) {
  fs->open(path, std::ios::in | std::ios::out | std::ios::binary);
  if (fs->is_open()) return true;
  fs->clear();
  if (!create) return false;
  // Only a file that does not exist is made: an existing one is never truncated.
  int fd = open(path, O_RDWR | O_CREAT | O_EXCL, 0666);
  if (fd < 0) return false;
  close(fd);
  fs->open(path, std::ios::in | std::ios::out | std::ios::binary);
  if (fs->is_open()) return true;
  fs->clear();
  return false;
}

PContext::PContext()
    : sdb(nullptr, nullptr, false),
      pdb(nullptr, nullptr, false),
      sync_intvl(32),
      sync_nops(8),
      sync_opcnt(8) {
  lock_path[0] = '\0';
  slock_path[0] = '\0';
  dbname[0] = '\0';
  dbpath[0] = '\0';
}

PContext::~PContext() {
  CloseDB();
  ShadowDB(nullptr);
  // The display lets go of catalogue records before the header goes.
  ClearState();
  WriteLock(slock_path, nullptr);
  WriteLock(lock_path, nullptr);
}

bool PContext::Ready() const {
  return dbname[0] != '\0' && pdb.Ready();
}

bool PContext::ReadOnly() const {
  return !Ready() || pdb.ReadOnly();
}

bool PContext::Writable() {
  return Ready() && pdb.GetHeader() != nullptr && !pdb.GetHeader()->ReadOnly();
}

bool PContext::HoldsRecords() {
  return Ready() && pdb.TotalRecords() >= 1;
}

bool PContext::IsOpenPath(const char* path) const {
  if (lock_path[0] == '\0' || dbpath[0] == '\0') return false;
  if (strcmp(path, dbpath) == 0) return true;
  // The path without a suffix names the open file too; another suffix is another file.
  return PgetSuffix(path) == nullptr && Stem(dbpath) == path;
}

bool PContext::OpenDB(const char* path, bool readonly) {
  if (path != nullptr && path[0] != '\0' && !readonly && IsOpenPath(path)) {
    if (Writable()) pdb.ClearChanges();
    Recatalog();
    return SyncDB();
  }
  CloseDB();
  if (path == nullptr || path[0] == '\0') return false;
  if (strlen(path) >= sizeof(dbpath)) {
    DMESSAGE(DMCparameter, "Database path too long: '%.900s'", path);
    return false;
  }
  bool created = false;
  if (!readonly && WriteLock(lock_path, path)) {
    const bool existed = access(path, F_OK) == 0;
    if (OpenFile(&dbfs, path, true))
      created = !existed;
    else
      WriteLock(lock_path, nullptr);
  }
  if (!dbfs.is_open()) {
    dbfs.open(path, std::ios::in | std::ios::binary);
    if (!dbfs.is_open()) {
      dbfs.clear();
      DMESSAGE(DMCresource, "Cannot open database file '%s'", path);
      return false;
    }
    if (!readonly) DMESSAGE(DMCwarning, "Database file '%s' opened read-only", path);
    readonly = true;
  }
  // The store reads the header and plays back the journal of a sync that did not complete;
  // a file that is not whole blocks opens read-only.
  const DBFile file(path, fileSystem);
  if (!pdb.Init(&phd, &dbfs, &file, readonly)) {
    if (phd.GetSize() <= 0)
      DMESSAGE(DMCdata, "Bad header in database file '%s'", path);
    else
      DMESSAGE(DMCdata, "Cannot initialize database '%s'", path);
    pdb.Init(nullptr, nullptr, false);
    return FailOpen();
  }
  const int before = phd.Hash();
  // Photo fields the catalogue lacks are added with the program's details.
  for (int id = 0; id < PDBFInfo.GetNFields(); id++) {
    const char* nm = PDBFInfo.GetName(id);
    if (phd.GetID(nm) >= 0) continue;
    const DBFDetails* d = PDBFInfo.GetDetails(id);
    phd.Field(nm, d->dtype, d->descrip, d->flags, d->DisplayFormat);
  }
  const bool changed = !phd.ReadOnly() && (created || phd.Hash() != before);
  phd.CopyFormat(&PDBFInfo);
  if (!phd.ReadOnly()) phd.SetChangedFlag(changed);
  uniq = phd.Unique();
  dbs.SetDB(&pdb);
  std::string name = Stem(PgetFilename(path));
  if (name.size() >= sizeof(dbname)) name.resize(sizeof(dbname) - 1);
  memcpy(dbname, name.c_str(), name.size() + 1);
  memcpy(dbpath, path, strlen(path) + 1);
  sync_opcnt = sync_nops;
  Recatalog();
  Reconcile();
  return true;
}

bool PContext::FailOpen() {
  phd.Attach(nullptr, false);
  dbfs.close();
  dbfs.clear();
  WriteLock(lock_path, nullptr);
  dbname[0] = '\0';
  dbpath[0] = '\0';
  return false;
}

bool PContext::CloseDB() {
  if (dbname[0] == '\0') return true;
  const int n = rdisp.GetSize();
  if (n > 0) {
    if (rdisp.GetFieldInfo() == &phd && rdisp_info == nullptr) {
      // The records outlive the catalogue under a private copy of its schema.
      rdisp_info = new DBFieldInfo(phd);
      PnoteChange();
      rdisp.finfo = rdisp_info;
      rdisp.sord = rdisp_info->sord;
      for (int i = 0; i < n; i++) {
        DBRecord& r = rdisp[i];
        if (r.finfo == &phd) r.finfo = rdisp_info;
        if (r.sortord == &phd.sord) r.sortord = &rdisp_info->sord;
      }
    }
    if (rsrc[0] == '*') strcpy(rsrc, "*EX");
  }
  rcommon.Init(nullptr);
  rdisp_link.Init(nullptr);
  ClearSets();
  dbs.SetDB(nullptr);
  bool ok = pdb.Checkpoint(nullptr, nullptr);
  pdb.ClearChanges();
  if (!pdb.Close()) ok = false;
  pdb.Init(nullptr, nullptr, false);
  phd.Attach(nullptr, false);
  dbfs.close();
  dbfs.clear();
  WriteLock(lock_path, nullptr);
  if (!ok) DMESSAGE(DMCdata, "Error closing database '%s'", dbname);
  dbname[0] = '\0';
  dbpath[0] = '\0';
  return ok;
}

bool PContext::SyncDB() {
  sync_opcnt = sync_nops;
  if (ReadOnly()) return true;
  bool ok = pdb.Sync();
  dbfs.flush();
  return ok && !dbfs.fail();
}

bool PContext::Unsynced() {
  if (!Writable()) return false;
  const DBChangeList* pending = pdb.Pending();
  return pdb.GetNUnsynced() > 0 || (pending != nullptr && !pending->Empty()) || phd.Unwritten();
}

bool PContext::SyncShadow() {
  if (!shadowChanged) return true;
  shadowChanged = false;
  if (!sdb.Ready()) return true;
  const bool ok = sdb.Sync();
  sdbfs.flush();
  // Blocks a failed sync could not write are written again by the next one.
  if (!ok || sdbfs.fail()) shadowChanged = true;
  return !shadowChanged;
}

namespace {

// Displayed plus catalogue records a snapshot holds; 0 when it holds no saved state.
int SnapshotCount(const PSnapshot* s) {
  const PCSnapshot* cs = dynamic_cast<const PCSnapshot*>(s);
  if (cs == nullptr || !cs->stateSaved) return 0;
  return cs->s.rdisp.GetSize() + cs->s.TotalCommon();
}

void EmptySnapshot(PSnapshot* s) {
  PCSnapshot* cs = dynamic_cast<PCSnapshot*>(s);
  if (cs == nullptr || !cs->stateSaved) return;
  cs->s.ClearState();
  cs->stateSaved = false;
}

}  // namespace

bool PContext::Checkpoint(const char* label, PSnapshot* snap) {
  if (!Writable()) {
    delete snap;
    return false;
  }
  --sync_opcnt;
  bool due = sync_opcnt <= 0;
  if (!due && sync_intvl > 0) {
    long waiting = pdb.GetNUnsynced();
    for (const DBChangeList* ch = pdb.Pending(); ch != nullptr; ch = ch->prev) {
      waiting += ch->rdel.GetSize() + ch->radd.GetSize();
      if (ch->prev != nullptr && ch->prev->Named()) break;
    }
    due = waiting >= sync_intvl;
  }
  // A due sync runs before the new step: it commits and writes everything up to now.
  if (due && !SyncDB()) {
    delete snap;
    return false;
  }
  // The newest snapshots are kept up to the budget; older ones lose their saved state (their
  // steps still undo the catalogue).
  long total = SnapshotCount(snap);
  if (total > 0) {
    // The pending change becomes the newest undo step now.
    std::vector<PSnapshot*> older;
    if (pdb.Pending() != nullptr) older.push_back(pdb.Pending()->snap);
    for (const DBChangeList* ch = pdb.UndoList(); ch != nullptr; ch = ch->prev)
      older.push_back(ch->snap);
    bool over = total > kSnapshotBudget;
    for (PSnapshot* s : older) {
      if (!over) {
        total += SnapshotCount(s);
        over = total > kSnapshotBudget;
      }
      if (over) EmptySnapshot(s);
    }
  }
  // The pending change is applied to the store and filed; the new step stays pending until the
  // next checkpoint or read.
  return pdb.Checkpoint(label, snap);
}

void PContext::Recatalog() {
  ClearSets();
  if (pdb.Ready() && pdb.Checkpoint(nullptr, nullptr)) pdb.ForEachBlock(cat_call, this, nullptr);
}

bool PContext::Undo() {
  return !ReadOnly() && pdb.Undo() != nullptr;
}

bool PContext::Redo() {
  return !ReadOnly() && pdb.Redo() != nullptr;
}

bool PContext::ClearUndo() {
  return !ReadOnly() && pdb.ClearChanges();
}

bool PContext::Unique() const {
  if (Ready()) const_cast<PContext*>(this)->uniq = phd.Unique();
  return uniq;
}

void PContext::SetUnique(bool on) {
  uniq = on;
  if (ReadOnly()) return;
  pdb.ClearChanges();
  phd.SetUnique(on);
}

void PContext::Clear(const DBFieldInfo* fi) {
  if (fi != nullptr)
    ClearRecords(fi, true);
  else if (Ready())
    ClearRecords(&phd, false);
  else
    ClearRecords(&PDBFInfo, false);
}

DBFieldInfo* PContext::EditableFieldInfo() {
  if (rdisp_info != nullptr) return rdisp_info;
  if (Ready() && rdisp.GetFieldInfo() == &phd) return &phd;
  return nullptr;
}
