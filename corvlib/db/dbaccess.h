// The paged record store. A database file is a text header followed by 65,548-byte record
// blocks; one DBAccess object stands for one block (a page) and the pages form a chain through
// next, the first page being the handle of the whole database. Each page is a cache object:
// its resident memory is its block, loaded on demand and written back before the memory cache
// frees it. While resident, a page keeps one read-only pseudo-record per stored record (views
// of the block's cells); at all times it keeps a bit set of its records' hash indexes, so that
// exact-match searches skip pages without loading them.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "db/dbblock.h"
#include "db/dbfile.h"
#include "db/dbhashbits.h"
#include "db/dbheader.h"
#include "db/dbquery.h"
#include "db/dbrecord.h"
#include "db/dbrlist.h"
#include "db/dbschema.h"
#include "support/abitmap.h"
#include "support/cache.h"

class DBJournal;
class DBJournalView;
struct DBDeleteKeys;
class DBPageDir;
class DBSideFile;
struct DBSideState;

// The state of one page's block, and what moves it:
//   clean -> sync      PutRecord stores a record; PageDelete empties the block; AddFrom marks
//                      an empty page before a new one (so the file keeps no hole)
//   clean/sync -> compact
//                      PageDelete removes records and leaves some
//   sync/compact -> clean
//                      SyncPage writes the block (PrepareWrite compacts first, FinishWrite
//                      marks it clean); a failed write puts the state back (FinishWrite)
//   clean -> sync      JournaledSync, when the sync as a whole failed: nothing of it is durable,
//                      so its blocks are written again by the next (PutBack reads those it
//                      wrote back to free memory again)
//   any -> clean       RestoreMemory reads the block; MakeEmpty for a page past the file's
//                      end; MakeUnknown for a block yet to be read; Close, Init without a
//                      header and the destructor, for a block they drop
//   any -> error       RestoreMemory cannot read or check the block; PrepareWrite finds it
//                      inconsistent (it stays error); FlushPage gives up on a failed write
//                      that left it so
enum DBPageState {
  DBPSclean = 0,    // file and memory agree
  DBPSsync = 1,     // the block changed and must be written
  DBPScompact = 2,  // records were deleted: compact the string area before writing
  DBPSerror = 3,    // the block could not be loaded (or is corrupt in memory)
};

class DBAccess : public CacheObject {
 public:
  // Opens a database over header and stream (neither owned): Init(header, stream, readonly).
  DBAccess(DBHeader* header, std::iostream* stream, bool readonly);
  // The same for a stream opened on file: Init(header, stream, file, readonly).
  DBAccess(DBHeader* header, std::iostream* stream, const DBFile* file, bool readonly);
  // The page after prev, classified against the file length (pages for every further whole
  // block of the file follow it).
  DBAccess(const DBAccess* prev, long long filelen);
  // Deletes the following pages and writes this page's changed block. The header is not
  // synced: callers Close explicitly. A subclass commits its own state in its destructor.
  // A database with a file completes its sync here (changed blocks and header), since blocks
  // written without one would be undone by the next open; when that sync fails (or records
  // are still handed out) the changes are dropped, told, and the file is left as the last
  // complete sync left it (Discard).
  ~DBAccess() override;
  DBAccess(const DBAccess&) = delete;
  DBAccess& operator=(const DBAccess&) = delete;

  const char* ClassName() const override { return "DBAccess"; }
  bool RestoreMemory() override;
  void FreeMemory() override;

  // Database operations over the whole chain (called on the first page).
  virtual int ForEachBlock(int (*fn)(const DBRecordList&, void*), void* data,
                           const DBFieldSort* order);
  virtual int GetRecords(DBRecord* out, int n, int start);
  virtual int FindRecords(const DBQuery* query, DBRecord* out, int n, int* pos);
  virtual int AddRecords(const DBRecord* recs, int n);
  virtual int DeleteRecords(const DBRecord* recs, int n);
  virtual int TotalRecords();
  virtual void Write(std::ostream* os, char sep);
  virtual int Read(std::istream* is, char* sep, DBFieldInfo* schema);
  // Writes every changed block and the header. With a file it is one atomic, durable step
  // through the journal: true once the file holds all of it. On false nothing of the changes
  // is lost: they stay in memory (the pages changed still), the file is put back from the
  // journal as the last complete sync left it (when that cannot be written, the journal stays
  // beside it: the next Sync completes it, an open before that plays it back), and the next
  // Sync, Close or destructor tries again. A file found damaged since it opened is written no
  // more: Sync is false while changes wait, and no sync completes the one left open in its
  // journal (the file is put back, or the journal stays for the next open).
  virtual bool Sync();
  // Writes the changes as Sync does, then closes (CloseJournaled, CloseStream); false when
  // something could not be. With records still handed out it writes, frees nothing and stays
  // open. Whether the store is still open tells GetHeader() != nullptr.
  virtual bool Close();
  // Closes without writing anything: the changes not synced are dropped, and the file is left
  // as the last complete sync left it (a journal of a sync that did not complete is played
  // back at once). False when that playback could not be done: the journal stays beside the
  // file and the next open plays it back.
  virtual bool Discard();
  // Close, and when the store stays open (its sync failed, told) Discard: it always closes.
  // The result is Close's.
  bool CloseOrDiscard();
  // Whether the store holds changes that are not in the file yet (a changed block or header).
  bool Unsynced() const;
  // The failure of the last sync of a file (Sync, Close, the destructor, a Discard that could
  // not play its journal back): what could not be done to which file and the system's reason
  // ("Cannot write the journal of "/p/Cat.qdb": No space left on device"), and its errno
  // (ENOSPC, EACCES, EROFS, EIO ...; 0 when the system gave none, as when another process
  // holds the file). Empty and 0 after a sync that completed.
  const std::string& LastError() const { return syncError; }
  int LastErrno() const { return syncErrno; }
  // While set, a sync of a file waits for a lock another process holds (a reader in the
  // middle of its read, say) a few hundredths of a second at most (DBJournal::SetTurnAway), as
  // a program must that cannot keep its windows painted meanwhile. A sync that finds the file
  // held is turned away: Sync is false and TurnedAway true, nothing of it reached the file, its
  // changes stay in memory for the next sync, and no failure is noted (LastError stays as it
  // was).
  void SetTurnAway(bool on);
  // Whether the last Sync was turned away.
  bool TurnedAway() const { return turnedAway; }

  // What a long sync tells while it writes: called on the first page's thread after each part
  // of up to 128 blocks (8 MB) reaches the file, with the blocks written so far and the
  // blocks the sync writes in all (done == total at the last call); a sync of 128 blocks or
  // fewer does not call it. The sync cannot be stopped and runs to its end. The function is
  // called from inside the sync: it may repaint a progress display, but nothing it runs may
  // use the database (no reads, changes, syncs or closes) until Sync has returned.
  using SyncProgress = void (*)(long long done, long long total, void* data);
  // Syncs from now on call fn with data (null: no reports).
  void SetSyncProgress(SyncProgress fn, void* data) {
    progressFn = fn;
    progressData = data;
  }

  // Opens the database in stream (a new one when the stream is empty and not readonly).
  // A file whose length is not HeaderSize plus whole blocks opens read-only.
  bool Init(DBHeader* header, std::iostream* stream, bool readonly);
  // With the file the stream was opened on, syncs are atomic and durable: they go through a
  // rollback journal beside the file (db/dbjournal.h), and a journal left by a sync that did
  // not complete is played back before anything is read (or, when that cannot be done,
  // nothing is opened). A journal that is damaged or not the file's is kept and the file
  // opens read-only, and so does a file whose sync another process owns. A file opened
  // read-only is read as the last complete sync left it, while other processes may write it.
  // The pages' record counts and hashes come from the index file beside it when that
  // describes the file as it is (db/dbsidefile.h); a sync that writes the file writes a new
  // one, and so does Close when the pages know more than the one on disk.
  bool Init(DBHeader* header, std::iostream* stream, const DBFile* file, bool readonly);
  // Writes the index file at once when the pages know every block of a file unchanged since
  // they learnt it (after a walk of all records, say), so that an index rebuilt at an open is
  // kept whether a sync or Close follows or not.
  void KeepIndex();
  bool ReadOnly() const;
  // True when the last page has a header with a stream, and no page is in error but those of
  // damaged blocks left out of a file that is only read.
  bool Ready() const;
  // Pages whose blocks were found damaged (read or left out).
  int DamagedBlocks() const;
  // Whether the file opened for writing was found damaged, and so is only read: a block
  // failed its checks, its header's padding is damaged, its journal was kept, or its length is
  // not HeaderSize plus whole blocks. (Another process writing it is no damage.)
  bool Damaged() const { return damagedAtOpen || DamagedBlocks() > 0; }
  DBHeader* GetHeader() const { return header; }

  int ForEachRecord(int (*fn)(const DBRecord&, void*), void* data, const DBFieldSort* order);
  bool AddRecord(const DBRecord& rec) { return AddRecords(&rec, 1) == 1; }
  int AddRecordList(const DBRecordList& list) {
    return AddRecords(list.GetArray(), list.GetSize());
  }
  bool DeleteRecord(const DBRecord& rec) { return DeleteRecords(&rec, 1) > 0; }
  int DeleteRecordList(const DBRecordList& list) {
    return DeleteRecords(list.GetArray(), list.GetSize());
  }
  // The stored records a delete took, so that they can be put back: for each, the key it
  // matched when the two hold exactly the same values (floats alike to the bit), else a deep
  // copy of the stored record. Keys are pointers into the records given to the delete.
  struct Taken {
    explicit Taken(const DBFieldInfo* schema) : copies(schema) {}
    std::vector<const DBRecord*> keys;
    DBRecordList copies;
  };
  // DeleteRecords that also notes every stored record it deletes in taken (when given).
  int DeleteCapture(const DBRecord* recs, int n, Taken* taken);
  void WriteSorted(std::ostream* os, char sep);
  void PrintStats(std::ostream* os);

  // Page operations.
  // Writes the block when it changed; true when the file holds it. With keep the block stays
  // resident and usable.
  bool SyncPage(bool keep);
  // Rebuilds the pseudo-records from the resident block.
  void ListRecords();
  // Rebuilds the hash set from the pseudo-records.
  void IndexRecords();
  // The same from views of the rows of the resident block rb, without making the
  // pseudo-records (from the pseudo-records when rb is null).
  void IndexRows(DBRecordBlock* rb);
  // Appends one record to this page: 1 stored (or ignored as empty), 0 does not fit here,
  // -1 fits in no block at all.
  int PutRecord(const DBRecord& rec);
  // Records in this page (the block loaded once when unknown); -1 when it cannot be read.
  int NRecords();
  void FreeLoad();

  DBPageState State() const { return state; }
  // Blocks read from a file so far, by every database of the process: a caller that read a
  // database without its writers' lock can tell whether what it read came from the file or
  // from memory alone.
  static uint64_t BlockReads() { return blockReads; }
  // Whether the block holds changes that are yet to be written.
  bool BlockChanged() const { return state == DBPSsync || state == DBPScompact; }
  DBAccess* NextPage() const { return next; }
  long long BlockPos() const { return strpos; }
  int FreeEstimate() const { return nravail; }
  const DBHashBits& HashBits() const { return bihset; }

 protected:
  // The resident block, retained for the caller (null when it cannot be loaded).
  // The block with its pseudo-records made (when a load or a compaction left them unmade).
  DBRecordBlock* LoadBlock() {
    DBRecordBlock* rb = LoadRaw();
    if (rb != nullptr && !listed) {
      ListRecords();
      NoteSide();
    }
    return rb;
  }
  // The block alone: its pseudo-records may be unmade (listed false).
  DBRecordBlock* LoadRaw() { return static_cast<DBRecordBlock*>(GetCacheObject()); }
  void ReleaseBlock(DBRecordBlock* rb) { ReleaseObject(rb); }

 private:
  friend class DBPageDir;
  explicit DBAccess(const DBAccess* prev);  // the page after prev, not yet classified
  void Classify(long long filelen);
  // Nothing is known of the page: width, count and room unknown, any hash possible; state
  // DBPSclean for a block yet to be read, DBPSerror for one that cannot be.
  void MakeUnknown(DBPageState st = DBPSclean);
  void DeleteFollowingPages();
  void MakeEmpty();
  // Any hash index possible (the bit set all ones).
  void AnyHash();
  // Forgets the pseudo-records and their hash indexes (the block's rows moved or went).
  void DropViews();
  // Cells per record of a new block: the header's field count.
  static int HeaderWidth(const DBHeader* h);
  // Writing a changed block: PrepareWrite compacts and checks it and turns it into the file's
  // byte order (null when it cannot be written); WriteBlock writes it at the page's place;
  // FinishWrite turns it back and marks the page clean when it was written (else changed
  // still), false when it was not.
  DBRecordBlock* PrepareWrite(DBPageState* was);
  bool WriteBlock(const DBRecordBlock* rb);
  bool FinishWrite(DBRecordBlock* rb, bool written, DBPageState was);
  // A block read again that is byte for byte one that passed the checks before (by its
  // digest) is not checked again; NoteChecked remembers a block that passed them.
  void NoteChecked(const DBRecordBlock* rb);
  uint64_t CheckKey() const;
  // A block read from the file failed its checks (rule tells which) or could not be read: the
  // file is damaged, and nothing more is written to it. readable tells whether the block's
  // records are read all the same.
  void DamageFound(const char* rule, bool readable = false);
  // A page left out of reading: its block could not be read or failed a check of its safety,
  // in a file that is only read. The other pages are read as usual.
  bool Skipped() const {
    return state == DBPSerror && damaged && header != nullptr && header->ReadOnly();
  }
  // Once a block was found damaged, the record counts an index file gave for blocks not yet
  // read are taken on trust no more: those blocks are read (and checked) when counted.
  void DistrustSide();
  // Reads the header of a file opened read-only through the view; HeaderSize (0 on failure),
  // the file's size in the state read into *len.
  long long AttachViewed(DBHeader* h, std::iostream* stream, long long* len);
  // Whether the file's blocks are in the other byte order than this host's.
  bool OtherOrder() const;
  // Sync through the journal: saves what changed blocks and the header overwrite, writes
  // them, commits; then the index file is written (when closing, also for a file unchanged).
  // A failure is told once, and noted for LastError.
  bool JournaledSync(bool closing = false);
  // After a sync failed: the blocks it wrote back to free memory are read again, as changed,
  // and the file is put back from the journal. False, with what could not be done and why in
  // *why, when that could not be done.
  bool PutBack(std::string* why);
  // JournaledSync of a file found damaged since it opened: true when there is nothing to
  // write; else false, told once and noted for LastError, the file put back from the journal
  // of the sync left open (PutBack), or that journal kept for the next open.
  bool RefuseSync();
  // Drops the pages after this one, the journal and the view, and this page's memory: the
  // store is closed.
  void Release();
  // Close with a file: one sync through the journal, then closed; false, closed, for a block
  // that could not be readied for writing. A sync that fails closes nothing (for another Sync
  // or Close once there is room, say, or Discard): the file is put back from its journal, or
  // the journal stays for the next sync to complete. When the file was found damaged since it
  // opened the store is discarded instead (Discard puts the file back from the journal, or
  // keeps the journal for the next open), closed, false.
  bool CloseJournaled();
  // Close of a stream alone: always closes; false when some of it could not be written.
  bool CloseStream();
  // The index file (db/dbpageside.cpp): read and adopted at open, written after syncs.
  void OpenSide(const DBFile& file, long long len);
  bool AdoptSide(const DBSideFile& sf);
  // Describes the pages into sf; returns the number of pages whose records are known.
  size_t DescribeSide(DBSideFile* sf) const;
  void SaveSide(bool wrote, bool closing);
  // Writes a changed block and drops the memory (the work of FreeMemory, used by the
  // destructor without virtual dispatch). False when a changed block could not be written
  // and stays resident.
  bool FlushPage();
  // Writes this page's changed block through the journal together with the changed resident
  // blocks of the pages after it, up to a batch, so that the journal is made durable once
  // for all of them; the others stay resident, clean.
  void WriteBack();
  void DropMemory();
  // Counts what the page holds beside its block (views, pseudo-records, hash indexes, string
  // index) as part of its resident memory.
  void NoteSide();
  bool EnsureViews(int rows);
  void PointViews(int fromRow);
  int PageFind(const DBQueryPlan& plan, DBRecord* out, int n, int* rel, bool mayMatch);
  // Deletes the stored records equal to a key, noting them in taken when given.
  int PageDelete(const DBDeleteKeys& keys, Taken* taken);
  int AddFrom(DBAccess** page, const DBRecord* recs, int n);
  bool AnyInUse() const;
  // Counts the memory of the hash set and the kept hashes against the cache's budget.
  void ChargeHashes();
  // Changes of the count and the hash set, told to the directory the page is in (if any).
  void SetCount(int n);
  void HashAdded(uint32_t hash);
  // Notes the hash index h of the record appended as row.
  void NewRowHash(long h, int row);
  void KeepListed(int nr0);
  void HashChanged();

  long long strpos;   // file offset of the block
  int rwidth;         // cells per record (-1 unknown)
  int nrused;         // records stored (-1 unknown)
  int nravail;        // estimate of records that still fit (-1 unknown)
  DBAccess* next;     // the following page (owned)
  DBHashBits bihset;  // hash indexes of the records, mod DB_HASHSETLEN
  DBPageState state;
  DBRecordList brl;  // pseudo-records while resident
  // Whether brl stands for the resident block's rows. A load of a page whose hashes are known
  // and the compaction of a sync leave it false: the records are made when first asked for.
  bool listed = false;
  // The pseudo-records' hash indexes for exact searches, built on demand: in step with brl
  // whenever of its size (cleared whenever brl changes).
  std::vector<long> rhash;
  // The hash of every record, row by row, when hashesKnown (kept while the block is purged):
  // known once the page was read, emptied or indexed, and while every record has a hash.
  std::vector<uint32_t> hashes;
  bool hashesKnown = false;
  // The hashes came from the index file and were not yet checked against the records.
  bool vouched = false;
  DBHeader* header;  // shared by all pages, not owned

  DBField* views;      // decoded cells backing the pseudo-records (resident only)
  int viewcap;         // cells in views
  DBStrIndex* sindex;  // string runs of the block, for sharing (built on demand)
  // Where the next add starts: the page that took the last record added (by AddRecords or
  // Read), or an earlier page where deletes made room.
  DBAccess* lastAdd;
  SyncProgress progressFn = nullptr;  // first page only
  void* progressData = nullptr;
  uint64_t checkedDigest = 0;  // digest of the block as last checked (read or written)
  bool hasChecked = false;
  // The block failed a check when it was last read (read all the same when the page is not in
  // error).
  bool damaged = false;
  // The block was written into the file by the sync still open: should that sync fail, the
  // file's copy may be all there is of its changes.
  bool uncommitted = false;
  bool damagedAtOpen = false;  // first page: see Damaged()
  size_t hashCharge = 0;       // bytes of bihset and hashes charged to the cache's budget
  // The page list of searches from this page (owned): the first page (made by the public
  // constructor) keeps one with the directory of exact look-ups; another page makes a plain
  // list when searched.
  DBPageDir* pdir = nullptr;
  // The journal of the file's syncs (shared by the pages, owned by the first page).
  DBJournal* journal = nullptr;
  DBJournal* ownJournal = nullptr;
  // How a file opened read-only is read (shared by the pages, owned by the first page).
  DBJournalView* view = nullptr;
  DBJournalView* ownView = nullptr;
  // The index file of the database (first page only, owned).
  DBSideState* sideState = nullptr;
  // The failure of the last sync (first page only).
  std::string syncError;
  int syncErrno = 0;
  bool turnAway = false;    // first page: SetTurnAway
  bool turnedAway = false;  // first page: the last Sync
  // The directory this page is in, and its place there (see db/dbpagedir.h).
  DBPageDir* indir = nullptr;
  size_t dirIndex = 0;
  static uint64_t blockReads;
};

// The records a delete looks for, by hash index (equal records have equal hash indexes), with
// the set of their hash bits, so that a page is loaded only when it may hold one of them.
struct DBDeleteKeys {
  DBDeleteKeys(const DBRecord* recs, int n);
  // The keys of hash index h (-1 for records without one).
  std::pair<const std::pair<long, const DBRecord*>*, const std::pair<long, const DBRecord*>*> Of(
      long h) const;
  bool MayHold(const DBHashBits& bits) const { return unhashed || bits.Intersects(set); }

  std::vector<std::pair<long, const DBRecord*>> byHash;  // sorted by hash index
  ABitMap set;
  bool unhashed = false;  // some key has no hash index

 private:
  // Where each hash index's keys lie in byHash: an open-addressed table of the distinct
  // hash indexes (a power of two long), so that a stored record finds its keys in one probe.
  struct Run {
    long hash;
    uint32_t lo, hi;  // hi == 0: empty slot
  };
  static size_t Mix(long h) {
    return static_cast<size_t>((static_cast<uint64_t>(h) * 0x9E3779B97F4A7C15ull) >> 20);
  }
  std::vector<Run> runs;
};
