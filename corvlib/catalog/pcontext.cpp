// The catalogue context: opening, closing, syncing and checkpointing the catalogue.
#include "catalog/pcontext.h"
#include "catalog/pdbase.h"
#include "support/pchange.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "catalog/plock.h"
#include "db/dbfile.h"
#include "image/pireader.h"
#include "support/dmessage.h"
#include "support/dmhold.h"
#include "support/futil.h"
#include "support/pwork.h"
#include "support/cnumber.h"

namespace {

// The path without the suffix of its last component.
std::string Stem(const char* path) {
  const char* suf = PgetSuffix(path);
  if (suf == nullptr || suf <= path) return path;
  return std::string(path, static_cast<size_t>(suf - path) - 1);
}

}  // namespace

std::string PsystemReason(int err) {
  const char* what = nullptr;
  switch (err) {
    case ENOSPC:
      what = "the disk is full";
      break;
#ifdef EDQUOT
    case EDQUOT:
      what = "the disk quota is used up";
      break;
#endif
    case EACCES:
    case EPERM:
      what = "permission denied";
      break;
    case EROFS:
      what = "the file system is read-only";
      break;
    case EIO:
      what = "an input/output error";
      break;
    default:
      break;
  }
  const std::string sys = err != 0 ? strerror(err) : "unknown error";
  if (what == nullptr) return sys;
  return Cstrcasecmp(what, sys.c_str()) == 0 ? std::string(what)
                                             : std::string(what) + " (" + sys + ")";
}

bool PContext::OpenFile(PFileStream* fs, const char* path, bool create, int mode) {
  if (fs->Open(path, O_RDWR)) return true;
  // Only a file that does not exist is made: an existing one is never truncated.
  return create && fs->Open(path, O_RDWR | O_CREAT | O_EXCL, mode);
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
  // A long sync of either catalogue is a step of the work under way.
  const DBAccess::SyncProgress step = [](long long done, long long total, void*) {
    PworkStep(total > 0 ? static_cast<double>(done) / static_cast<double>(total) : -1);
  };
  pdb.SetSyncProgress(step, nullptr);
  sdb.SetSyncProgress(step, nullptr);
}

PContext::~PContext() {
  // Changes that cannot be written are dropped, the file left as its last complete sync.
  CloseDB(PCloseChanges::saveOrDrop);
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
  if (!CloseDB()) return false;  // the open catalogue could not be written: it stays open
  if (path == nullptr || path[0] == '\0') return false;
  if (strlen(path) >= sizeof(dbpath)) {
    DMESSAGE(DMCparameter, "Database path too long: '%.900s'", path);
    return false;
  }
  bool created = false;
  roWhy.clear();
  writeAsked = !readonly;
  int createErr = 0;  // why the file could not be made or opened for writing
  PLockRefusal refusal;
  if (!readonly && WriteLock(lock_path, path, &refusal)) {
    const bool existed = access(path, F_OK) == 0;
    if (OpenFile(&dbfs, path, true)) {
      created = !existed;
      // The file itself is claimed too: another name of it (a hard link, another mount) has
      // a lock file of its own.
      if (!PclaimFile(dbfs.fd(), path, &refusal)) {
        dbfs.close();
        dbfs.clear();
        WriteLock(lock_path, nullptr);
        created = false;
        roWhy = refusal.Why();
      }
    } else {
      createErr = errno;
      WriteLock(lock_path, nullptr);
      roWhy = access(path, W_OK) != 0 && errno != ENOENT
                  ? std::string("it cannot be written (") + strerror(errno) + ")"
                  : std::string("it cannot be opened for writing");
    }
  } else if (!readonly) {
    createErr = refusal.err;
    roWhy = refusal.Why();
  }
  if (!dbfs.is_open()) {
    errno = 0;
    // Opened once, without waiting: only a regular file is read (PFileStream::Open).
    dbfs.Open(path, O_RDONLY);
    if (!dbfs.is_open()) {
      const int openErr = errno != 0 ? errno : ENOENT;
      dbfs.clear();
      // A file that does not exist and could not be made fails for the reason it was not made.
      if (!readonly && openErr == ENOENT && createErr != 0 && createErr != ENOENT)
        DMESSAGE_ERRNO(DMCresource, DMnoSystemError, "Cannot create database file '%s': %s", path,
                       PsystemReason(createErr).c_str());
      else
        DMESSAGE_ERRNO(DMCresource, DMnoSystemError, "Cannot open database file '%s': %s", path,
                       openErr == EISDIR || openErr == PEnotRegular
                           ? PopenFailure(openErr).c_str()
                           : PsystemReason(openErr).c_str());
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
  // An empty file (made here, or left empty by a creation cut short, or by the playback of
  // its first sync) holds no header yet: the next sync writes it.
  dbfs.clear();
  dbfs.seekg(0, std::ios::end);
  const bool empty = dbfs.tellg() == std::streampos(0);
  dbfs.clear();
  // Photo fields the catalogue lacks are added with the program's details.
  for (int id = 0; id < PDBFInfo.GetNFields(); id++) {
    const char* nm = PDBFInfo.GetName(id);
    if (phd.GetID(nm) >= 0) continue;
    const DBFDetails* d = PDBFInfo.GetDetails(id);
    phd.Field(nm, d->dtype, d->descrip, d->flags, d->DisplayFormat);
  }
  const bool changed = !phd.ReadOnly() && (created || empty || phd.Hash() != before);
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
  // The walk learnt every block: an index file rebuilt here is written now.
  pdb.KeepIndex();
  Reconcile();
  unsavedRecords = 0;
  undoneUnsaved.clear();
  syncedStep = pdb.UndoList();
  return true;
}

std::string PContext::ReadOnlyWhy(bool* damage) const {
  if (damage != nullptr) *damage = false;
  if (dbname[0] == '\0' || !writeAsked || !ReadOnly()) return std::string();
  if (!roWhy.empty()) return roWhy;
  if (damage != nullptr) *damage = true;
  if (!phd.WhyReadOnly().empty()) {
    // The first damaged block found is named; the others are counted.
    const int more = pdb.DamagedBlocks() - 1;
    if (more < 1) return phd.WhyReadOnly();
    return phd.WhyReadOnly() + " (and " + std::to_string(more) + " more damaged block" +
           (more > 1 ? "s" : "") + ")";
  }
  // A block that could not be read at all (an input error) leaves the store unready.
  return pdb.Ready() ? std::string() : std::string("a part of it cannot be read");
}

bool PContext::CutShortAtCreation(const char* path, DBFileSystem* fs) {
  if (path == nullptr || *path == '\0') return false;
  if (fs == nullptr) fs = DBFileSystem::System();
  const DBFile file(path, fs);
  int jfd = fs->Open(file.JournalPath(), kDBReadBeside, 0);
  if (jfd >= 0) {  // a sync was under way: the journal decides
    fs->Close(jfd);
    return false;
  }
  int fd = fs->Open(path, O_RDONLY, 0);
  if (fd < 0) return false;
  long long size = -1;
  int mode = 0;
  std::string head;
  // A file that could hold a whole block is not looked at.
  if (fs->Stat(fd, &size, &mode) && size > 0 && size < DB_BLOCKSIZE) {
    head.resize(static_cast<size_t>(size));
    if (fs->Read(fd, &head[0], head.size(), 0) != size) head.clear();
  }
  fs->Close(fd);
  if (head.empty()) return false;
  static const char kMagic[] = "QRDB = {\n";
  const size_t nm = sizeof(kMagic) - 1;
  if (head.compare(0, std::min(head.size(), nm), kMagic, std::min(head.size(), nm)) != 0)
    return false;
  // Its header text whole, the file must be shorter than the header size it names; the text
  // cut, nothing after it was written.
  const size_t hs = head.find("\nHeaderSize = ");
  const size_t eol = hs == std::string::npos ? hs : head.find('\n', hs + 1);
  if (eol != std::string::npos) {
    const long long named = strtoll(head.c_str() + hs + 14, nullptr, 10);
    return named > 0 && size < named;
  }
  return head.find("\n}\t// QRDB\n") == std::string::npos;
}

bool PContext::RecreateDB(const char* path) {
  if (dbname[0] != '\0' || path == nullptr || !WriteLock(lock_path, path)) return false;
  DBFileSystem* fs = fileSystem != nullptr ? fileSystem : DBFileSystem::System();
  const bool cut = CutShortAtCreation(path, fs);
  bool ok = cut;
  if (cut) {
    // An empty file is a new catalogue: it takes the place of the cut one whole, and stays.
    const DBFile file(path, fs);
    const std::string tmp = std::string(path) + "." + std::to_string(getpid()) + ".new";
    int mode = 0644;
    long long size = 0;
    int old = fs->Open(path, O_RDONLY, 0);
    if (old >= 0) {
      fs->Stat(old, &size, &mode);
      fs->Close(old);
    }
    // A new file of this process's own; its mode no wider than the old file's nor than a new
    // file's (the umask), whoever the old file belonged to.
    std::string made;
    int fd = file.CreateNew(tmp, O_RDWR, mode & 0666, &made);
    ok = fd >= 0 && fs->Sync(fd);
    if (fd >= 0) fs->Close(fd);
    ok = ok && fs->Rename(made, path) && fs->SyncDir(file.Dir());
    if (!ok && fd >= 0) fs->Remove(made);
  }
  WriteLock(lock_path, nullptr);
  if (ok)
    DMESSAGE(DMCinfo, "Catalog '%s' made again after its creation was cut short", path);
  else if (cut)
    DMESSAGE(DMCsystem, "Cannot make catalog '%s' again", path);
  return ok;
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

bool PContext::CloseDB(PCloseChanges changes, const char* dropped) {
  if (dbname[0] == '\0') return true;
  // A read-only catalogue has nothing to write: a part of it that could not be read (damage,
  // already told) does not make its close fail.
  const bool ro = ReadOnly();
  bool drop = changes == PCloseChanges::drop;
  if (!drop && !WriteBeforeClose()) {
    if (changes == PCloseChanges::save) return false;
    drop = true;
  }
  const std::string name = dbname;
  KeepDisplay();
  const bool ok = ReleaseStore(drop, ro);
  if (drop && dropped != nullptr)
    DMESSAGE(DMCwarning, "Closed catalog '%s' %s", name.c_str(), dropped);
  return ok;
}

namespace {

// A flag raised for a scope (a sync under way).
class Raised {
 public:
  explicit Raised(bool* flag) : flag_(flag) { *flag_ = true; }
  ~Raised() { *flag_ = false; }
  Raised(const Raised&) = delete;
  Raised& operator=(const Raised&) = delete;

 private:
  bool* flag_;
};

}  // namespace

bool PContext::WriteBeforeClose() {
  if (pdb.GetHeader() == nullptr || pdb.GetHeader()->ReadOnly()) return true;
  const int waiting = Waiting();
  bool synced;
  {
    const DMessageHold noAlert(DMessageHold::noAlert);  // the catalogue tells the failure once
    PworkStep(-1);
    const Raised under(&syncing);
    synced = pdb.Sync();
    dbfs.flush();
    dbfs.clear();
  }
  sync_opcnt = sync_nops;
  if (synced || !pdb.Unsynced()) return true;
  NoteSync(false, waiting);
  TellSyncFailed();
  return false;
}

void PContext::KeepDisplay() {
  const int n = rdisp.GetSize();
  if (n > 0) {
    if (rdisp.GetFieldInfo() == &phd && rdisp_info == nullptr) {
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
  PworkStep(-1);
  rdisp_link.Init(nullptr);
  ClearSets();
  dbs.SetDB(nullptr);
}

bool PContext::ReleaseStore(bool drop, bool ro) {
  bool ok = true;
  {
    const DMessageHold noAlert(DMessageHold::noAlert);
    PworkStep(-1);
    if (drop) {
      ok = pdb.Discard();
    } else {
      ok = pdb.Checkpoint(nullptr, nullptr);
      PworkStep(-1);
      // Everything was written before: a close that fails now (records still held, say) loses
      // nothing, and the store is dropped.
      if (!pdb.CloseOrDiscard() && !ro) ok = false;
    }
  }
  // What the store could not do (a journal not played back, say), for the message below.
  const std::string why = pdb.LastError();
  pdb.Init(nullptr, nullptr, false);
  // The header goes without being written in place: its store wrote it through the journal.
  phd.Attach(nullptr, false);
  dbfs.close();
  dbfs.clear();
  WriteLock(lock_path, nullptr);
  if (!ok)
    DMESSAGE(DMCdata, "Error closing database '%s'%s%s", dbname, why.empty() ? "" : ": ",
             why.c_str());
  syncedStep = nullptr;
  undoneUnsaved.clear();
  unsavedRecords = 0;
  dbname[0] = '\0';
  dbpath[0] = '\0';
  return ok;
}

bool PContext::SyncDB(bool tell) {
  sync_opcnt = sync_nops;
  turnedAway = false;
  if (ReadOnly()) return true;
  const int waiting = Waiting();
  bool ok;
  {
    const DMessageHold noAlert(DMessageHold::noAlert);  // the catalogue tells the failure once
    const Raised under(&syncing);
    ok = pdb.Sync();
    dbfs.flush();
    dbfs.clear();
  }
  // Turned away, nothing failed: the changes wait as they were.
  if (!ok && pdb.TurnedAway()) {
    turnedAway = true;
    return false;
  }
  NoteSync(ok, waiting);
  if (!ok && tell) TellSyncFailed();
  return ok;
}

std::string PContext::SyncFailedText() const {
  const std::string what = UnsavedWork();
  return SyncFailure() + ". The changes since the last save" +
         (what.empty() ? "" : " (" + what + ")") + " are not saved.";
}

void PContext::TellSyncFailed() {
  // The reason is in the text: no system error is appended to it.
  DMESSAGE_ERRNO(DMCsystem, DMnoSystemError, "%s", SyncFailedText().c_str());
}

bool PContext::SyncUncommitted() {
  const DBChangeList* pending = pdb.Pending();
  if (pending != nullptr && !pending->Empty()) return true;
  // A block changed, or taken out of use while it is written (its state an error meanwhile).
  for (const DBAccess* p = &pdb; p != nullptr; p = p->NextPage())
    if (p->BlockChanged() || p->State() == DBPSerror) return true;
  const DBFile file(dbpath, fileSystem);
  const int fd = file.FS()->Open(file.JournalPath(), kDBReadBeside, 0);
  if (fd < 0) return false;
  file.FS()->Close(fd);
  return true;
}

long long PContext::Room() const {
  if (!IsOpen()) return -1;
  const DBFile file(dbpath, fileSystem);
  return file.FS()->FreeSpace(file.Dir());
}

int PContext::Waiting() const {
  long n = pdb.GetNUnsynced();
  for (const DBChangeList* ch = pdb.Pending(); ch != nullptr; ch = ch->prev)
    n += std::max(ch->rdel.GetSize(), ch->radd.GetSize());
  return static_cast<int>(std::min(n, 0x7FFFFFFFL));
}

void PContext::NoteSync(bool ok, int waiting) {
  if (ok) {
    unsavedRecords = 0;
    undoneUnsaved.clear();
    syncedStep = pdb.UndoList();
    return;
  }
  unsavedRecords += waiting;
}

std::string PContext::SyncFailure() const {
  int err = 0;
  const std::string why = LastError(&err);
  if (why.empty()) return std::string();
  // The system's reason in the user's words; the store's own words when the system gave none
  // (another process holds the file, say).
  return "Cannot save the catalog '" + std::string(dbname) +
         "': " + (err != 0 ? PsystemReason(err) : why);
}

namespace {

std::string OnRecords(const char* label, long n) {
  return std::string(label) + " on " + std::to_string(n) + (n == 1 ? " record" : " records");
}

}  // namespace

std::vector<std::string> PContext::UnsavedSteps(long* loosep) const {
  std::vector<std::string> steps;  // newest first
  long& loose = *loosep;           // records of unnamed changes
  loose = 0;
  // An unnamed change goes with the next older named one (Undo reverts them together).
  const auto walk = [&steps, &loose](const DBChangeList* ch, const DBChangeList* stop) {
    for (; ch != nullptr && ch != stop; ch = ch->prev) {
      loose += std::max(ch->rdel.GetSize(), ch->radd.GetSize());
      if (ch->Named() && loose > 0) {
        steps.push_back(OnRecords(ch->name, loose));
        loose = 0;
      }
    }
  };
  walk(pdb.Pending(), nullptr);
  bool marked = syncedStep == nullptr;
  for (const DBChangeList* ch = pdb.UndoList(); ch != nullptr && !marked; ch = ch->prev)
    marked = ch == syncedStep;
  // When the step of the last sync was undone, the steps older than it are on disk.
  if (marked) walk(pdb.UndoList(), syncedStep);
  // Oldest first, the undos and redos after the steps.
  std::reverse(steps.begin(), steps.end());
  steps.insert(steps.end(), undoneUnsaved.begin(), undoneUnsaved.end());
  return steps;
}

std::string PContext::UnsavedWork() const {
  long loose = 0;
  const std::vector<std::string> steps = UnsavedSteps(&loose);
  // The newest few when there are many.
  constexpr size_t kShown = 4;
  std::string out;
  if (steps.size() > kShown) out = std::to_string(steps.size() - kShown) + " earlier steps";
  for (size_t i = steps.size() > kShown ? steps.size() - kShown : 0; i < steps.size(); i++)
    out += (out.empty() ? "" : ", ") + steps[i];
  if (loose > 0 || (out.empty() && unsavedRecords > 0)) {
    const long n = loose > 0 ? loose : unsavedRecords;
    out += (out.empty() ? "" : ", ") + std::to_string(n) + (n == 1 ? " record" : " records") +
           " changed";
  }
  return out;
}

bool PContext::Unsynced() {
  // Pumped from inside the sync, the store is not ready (its blocks are being written).
  if (syncing) return IsOpen() && SyncUncommitted();
  if (!Writable()) return false;
  const DBChangeList* pending = pdb.Pending();
  return pdb.GetNUnsynced() > 0 || (pending != nullptr && !pending->Empty()) || phd.Unwritten() ||
         pdb.DBAccess::Unsynced() || !pdb.LastError().empty();
}

bool PContext::SyncShadow() {
  turnedAway = false;
  if (!shadowChanged) return true;
  shadowChanged = false;
  if (!sdb.Ready()) return true;
  const Raised under(&shadowSyncing);
  const bool ok = sdb.Sync();
  turnedAway = !ok && sdb.TurnedAway();
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

bool PContext::Undo(const char* told) {
  const DBChangeList* step = ReadOnly() ? nullptr : pdb.Undo();
  if (step != nullptr && told != nullptr)
    undoneUnsaved.push_back(told);
  else if (step != nullptr && step->Named())
    undoneUnsaved.push_back(std::string("Undo ") + step->name);
  return step != nullptr;
}

bool PContext::Redo() {
  const DBChangeList* step = ReadOnly() ? nullptr : pdb.Redo();
  if (step != nullptr && step->Named()) undoneUnsaved.push_back(std::string("Redo ") + step->name);
  return step != nullptr;
}

bool PContext::ClearUndo() {
  // The undo steps go: what they did stays unsaved until the next sync, named as before.
  const int waiting = Waiting();
  long loose = 0;
  std::vector<std::string> steps = UnsavedSteps(&loose);
  const bool ok = !ReadOnly() && pdb.ClearChanges();
  if (ok) undoneUnsaved.swap(steps);
  if (ok && !pdb.LastError().empty()) unsavedRecords += waiting;
  syncedStep = pdb.UndoList();
  return ok;
}

bool PContext::Unique() const {
  if (Ready()) const_cast<PContext*>(this)->uniq = phd.Unique();
  return uniq;
}

void PContext::SetUnique(bool on) {
  uniq = on;
  if (ReadOnly()) return;
  pdb.ClearChanges();
  syncedStep = pdb.UndoList();
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
