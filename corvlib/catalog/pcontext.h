// The catalogue context through which the application opens, edits, undoes and closes a
// catalogue and its shadow catalogue: write locks, opening, syncing and checkpointing, the
// shadow catalogue, reconciling the display with both, adding and deleting records.
#pragma once

#include <string>
#include <vector>

#include "catalog/pcstate.h"
#include "catalog/pdbaccess.h"
#include "catalog/pdbheader.h"
#include "db/dbaccess.h"
#include "db/dbquery.h"
#include "db/dbrecord.h"
#include "db/dbrlist.h"
#include "support/abitmap.h"
#include "support/pfilestream.h"

// The system's reason for an error number in words a user reads: "the disk is full (No space
// left on device)", "permission denied", ...
std::string PsystemReason(int err);

struct PLockRefusal;

// What closing a catalogue does with its changes not yet written.
enum class PCloseChanges {
  // Written first. When that fails (the disk full, say) nothing is closed: the changes stay in
  // memory with the display and the undo steps, the file as the last complete sync left it,
  // and LastError tells why (told as SyncDB tells it). The caller may try again, or drop them.
  save,
  // Written first; what cannot be written is dropped as by drop.
  saveOrDrop,
  // Not written: they are lost, and the file is left as the last complete sync left it (a sync
  // cut short is played back; when that cannot be done, the next open does it).
  drop,
};

class PContext : public PContextState {
 public:
  static constexpr int kPathLen = 1024;
  // Undo snapshots keep at most this many displayed and catalogue records in total.
  static constexpr int kSnapshotBudget = 0x2800;

  PContext();
  // Closes the catalogue and the shadow catalogue (writing them while their locks are still
  // held), then releases the locks.
  ~PContext();
  PContext(const PContext&) = delete;
  PContext& operator=(const PContext&) = delete;

  // Takes the write lock of dbpath into lockpath (1,024 bytes), releasing the lock it held
  // first; with a null or empty dbpath only releases (false). When the lock is not taken,
  // *refusal (if given) tells why.
  static bool WriteLock(char* lockpath, const char* dbpath, PLockRefusal* refusal = nullptr);

  // Opens (or creates) a catalogue; re-syncs the one already open for writing. The catalogue
  // open before is closed first; when it cannot be (CloseDB), it stays open and this fails.
  bool OpenDB(const char* path, bool readonly = false);
  // Why the open catalogue, asked for writing, is read-only (its lock held by another program,
  // its file not writable, damage found in it ...); empty when it is writable, not open, or
  // read-only was asked for. *damage (if given) tells a fault of the file from a refusal of
  // access.
  std::string ReadOnlyWhy(bool* damage = nullptr) const;
  // Whether the file at path is a catalogue whose creation was cut short before its first sync
  // completed: it begins as a catalogue's header does, holds less than its header (so no
  // record), and no journal lies beside it.
  static bool CutShortAtCreation(const char* path, DBFileSystem* fs = nullptr);
  // Makes such a file a new, empty catalogue file again (through a new file renamed over it,
  // under the catalogue's lock); false, the file untouched, when it is not such a file or
  // cannot be replaced. Nothing may be open.
  bool RecreateDB(const char* path);
  // Closes the catalogue, its changes written first or dropped as changes says (see there),
  // and keeps the display (KeepDisplay); true also when none was open. False when it stays
  // open (save whose write failed), or closed with a change the store refused or a journal not
  // played back (told). A close that drops changes is told with the warning "Closed catalog
  // 'name' <dropped>" when dropped is given. IsOpen tells whether it closed.
  bool CloseDB(PCloseChanges changes = PCloseChanges::save, const char* dropped = nullptr);
  // Whether a catalogue is open (Ready may be false for one that is open: a part of it could
  // not be read).
  bool IsOpen() const { return dbname[0] != '\0'; }
  bool Ready() const;
  bool ReadOnly() const;
  // Writes the changes of the catalogue (one atomic, durable step through its journal). On
  // false nothing is lost and everything stays open: the changes stay in memory (Unsynced
  // stays true), the file holds the last complete sync, LastError tells why, and the next
  // SyncDB or CloseDB tries again. The failure is told once, naming the catalogue, the reason
  // and the changes not saved (SyncFailedText), unless tell is false (the caller tells it in
  // its own words); the store's own report is logged without an alert.
  bool SyncDB(bool tell = true);
  // Why the last sync of the catalogue failed, naming the file and the system's reason
  // ("Cannot write the journal of "/p/Cat.qdb": No space left on device"); empty after one
  // that completed. *err (if given) gets the errno (ENOSPC, EACCES, EROFS, EIO ...; 0 when
  // the system gave none).
  std::string LastError(int* err = nullptr) const {
    if (err != nullptr) *err = pdb.LastErrno();
    return pdb.LastError();
  }
  // Whether the open, writable catalogue holds changes not yet on disk: records the store took
  // since its last sync, records waiting in the pending change, a changed header, changed
  // blocks, or a sync that failed since the last one that succeeded. Asked from inside a sync
  // (events pumped by its progress), true until the sync has committed: until its journal is
  // gone, the file counts as the last complete sync left it.
  bool Unsynced();
  // "Cannot save the catalog 'name': the disk is full (...)": LastError in the user's words,
  // empty after a sync that completed.
  std::string SyncFailure() const;
  // What the catalogue holds that its file does not, from the undo steps since the last sync
  // that succeeded: "Set Keyword on 500 records, Add on 20 records", or a count of records.
  std::string UnsavedWork() const;
  // The same for the shadow catalogue (true while its sync is under way), and its sync (true
  // when nothing is left to write).
  bool ShadowUnsynced() const { return shadowChanged || shadowSyncing; }
  bool SyncShadow();
  // While set, SyncDB and SyncShadow wait for a lock another process holds (a copy of the
  // program reading the catalogue, stopped in the middle of its read) a few hundredths of a
  // second at most: a sync that finds its file held is turned away (DBAccess::SetTurnAway).
  // It returns false with TurnedAway true, having written nothing, its changes kept for the
  // next sync; no failure is noted or told.
  void SetTurnAway(bool on) {
    pdb.SetTurnAway(on);
    sdb.SetTurnAway(on);
  }
  // Whether the last SyncDB or SyncShadow was turned away.
  bool TurnedAway() const { return turnedAway; }
  // Tells a failed sync or close: the catalogue, the reason and what is not saved.
  void TellSyncFailed();
  // Its text: "Cannot save the catalog 'name': <reason>. The changes since the last save
  // (<UnsavedWork>) are not saved."
  std::string SyncFailedText() const;
  // The bytes that may still be written on the file system of the open catalogue's file; -1
  // when that cannot be told.
  long long Room() const;
  // Files the pending change as an undo step and opens one named label carrying snap (owned
  // from here on). A sync that is due (by operation count or by records waiting) runs first,
  // so it writes the steps before this one, and the new step starts after it. The edits
  // queued after this call reach the store's pages at the next checkpoint, or earlier when
  // something reads the store (reads apply the pending change first).
  bool Checkpoint(const char* label, PSnapshot* snap);
  // Rebuilds the string sets and the timeline from the whole catalogue.
  void Recatalog();
  // With told, the undo is named so among the changes not saved (UnsavedWork) rather than
  // "Undo <label>": a step the program took back, say.
  bool Undo(const char* told = nullptr);
  bool Redo();
  bool ClearUndo();
  bool Unique() const;
  void SetUnique(bool on);
  void Clear(const DBFieldInfo* fi = nullptr);
  DBFieldInfo* EditableFieldInfo();

  // The shadow catalogue. Its file, made new, and one of the user's found open to others are
  // private (mode 0600): it holds the user's records of pictures anywhere.
  bool ShadowDB(const char* path);
  bool ShadowReady() const;
  // Whether the shadow catalogue's open file has lost its name (removed while open), looked at
  // on the file itself.
  bool ShadowFileRemoved() const;
  int AddShadows(const DBRecord* recs, int n);
  int AddShadowList(const DBRecordList& list) {
    return AddShadows(list.GetArray(), list.GetSize());
  }
  bool AddShadow(const DBRecord& rec) { return AddShadows(&rec, 1) != 0; }
  int DeleteShadows(const DBRecord* recs, int n);

  // Matches the display with the catalogue and the shadow catalogue; the number of displayed
  // records found catalogued.
  int Reconcile();
  // Fills one record from its catalogue entry or, failing that, its shadow; true when a field
  // changed.
  bool Reconcile(DBRecord* record);

  // Enters the selected displayed records (all when none is selected) into the catalogue as one
  // step: the number added or replaced, 0 when none, -1 when the checkpoint failed. *merged (when
  // given) gets how many of them replaced a catalogued version (a record of a file already
  // catalogued, brought into the catalogued record) rather than being added anew.
  int AddRecords(int* merged = nullptr);
  // Stores the edits of the displayed records marked in which (all when null) as one step
  // named label: an edit is a deletion of the catalogued version plus an addition of the new
  // one, queued in the change Checkpoint opens (see there for when they reach the pages).
  // Uncatalogued records go to the shadow catalogue. The number of records stored, -1 when
  // the checkpoint failed.
  int RecordChange(const char* label, ABitMap* which, PCSnapshot* snapshot);
  int DeleteRecords(bool fromCatalogue, bool fromShadow);

  const char* LockPath() const { return lock_path; }
  const char* ShadowLockPath() const { return slock_path; }
  SDBHeader& ShadowHeader() { return shd; }
  DBAccess& ShadowStore() { return sdb; }

 protected:
  bool Writable();
  bool HoldsRecords();
  bool ShadowHoldsRecords();
  bool IsOpenPath(const char* path) const;
  bool FailOpen();
  // Writes the changes of the catalogue before it closes, while everything is still open;
  // false (told) when that failed and they are still unwritten.
  bool WriteBeforeClose();
  // The displayed records outlive the catalogue under a private copy of its schema; their ties
  // to catalogue records, the string sets and the search go.
  void KeepDisplay();
  // Closes the store (with drop, writing nothing more), the header, the file and the lock;
  // false (told) when the store could not close whole, which a read-only (ro) one always can.
  bool ReleaseStore(bool drop, bool ro);
  // Opens path for reading and writing; with create, makes the file when it does not exist
  // (an existing file is never truncated). False, errno set, when it cannot.
  static bool OpenFile(PFileStream* fs, const char* path, bool create, int mode = 0666);
  // Hashes the file of a record lacking its length or content hash; false when it cannot.
  static bool HashRecord(DBRecord* r);

  char lock_path[kPathLen];
  char slock_path[kPathLen];
  PFileStream dbfs;
  PFileStream sdbfs;
  SDBHeader shd;
  DBAccess sdb;
  char dbpath[kPathLen];       // the open catalogue's path as given
  bool shadowChanged = false;  // the shadow store took records since it was last written
  bool shadowSyncing = false;  // the shadow store's sync is under way
  bool syncing = false;        // the catalogue store's sync is under way
  bool turnedAway = false;     // the last SyncDB or SyncShadow
  // Whether the sync under way has yet to commit: the change is still being applied or its
  // blocks readied, or its journal is still beside the file.
  bool SyncUncommitted();
  std::string roWhy;        // why an open asked for writing was refused the file's writing
  bool writeAsked = false;  // the open catalogue was asked for writing
  int unsavedRecords = 0;   // records the failed syncs since the last good one left unwritten
  const DBChangeList* syncedStep = nullptr;  // the newest undo step at the last good sync
  std::vector<std::string> undoneUnsaved;    // undo and redo since the last good sync
  void NoteSync(bool ok, int waiting);
  int Waiting() const;
  // The steps UnsavedWork names, oldest first; *loose gets the records of unnamed changes.
  std::vector<std::string> UnsavedSteps(long* loose) const;

 public:
  char dbname[64];
  PDBHeader phd;
  PDBAccess pdb;
  DBSearch dbs;
  int sync_intvl;
  int sync_nops;
  int sync_opcnt;
  // The file calls of the catalogue and the shadow catalogue (the system's when null).
  DBFileSystem* fileSystem = nullptr;
};
