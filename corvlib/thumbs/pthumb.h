// The thumbnail cache: one small rendering of every photo shown, kept in contact sheets (JPEG
// files of 3 x 2 cells of 320 pixels) in a cache folder, with a record database
// ("tncache.qdb") that finds a photo's cell by the photo's length and content hash.
// PThumbnailer is the program's one manager of it: it finds, makes, loads and deletes
// thumbnails, writes the sheet being filled, and keeps the cache under its size limit by
// deleting whole sheets, least recently used first.
//
// Any number of copies of the program may use one cache folder at once. They meet in the lock
// file beside the database ("tncache.qdb-lock"), whose advisory lock (of the open file, so it
// goes with its holder, on any file system that keeps such locks) is held exclusive while a
// copy changes the database or a sheet. Its one line tells the generation of the folder's
// contents (odd while a copy is changing them, so a copy that died in the middle leaves a
// mark), the next free sheet number and the KB of sheets. A copy reads the database again
// whenever the generation is not the one it read it at, so it never writes over what another
// added, and never takes a record for a sheet it no longer names. A look-up reads without the
// lock and keeps what it read when the generation is still the one the database was read at
// (no change was made before or during it), else reads again under the lock held shared. The
// sheet being filled is a copy's own: its records reach the database only with the sheet's
// file, in one step under the lock, under a number no other copy's records use. A cell is shown
// only for a record whose share of its sheet's bytes fits the sheet file's size: a file it does
// not fit (written over by another program, or left so by an older one) holds other pictures,
// and the record's thumbnail is made again rather than shown.
//
// The program's one thread runs its windows, so a copy never waits long for another's lock: a
// request that finds the cache held waits a few hundredths of a second at most (and not at all
// again for a while after), then gets no thumbnail; the caller shows its placeholder and asks
// again later. A cache found held when it is opened is opened at the first request after the
// holder lets go. Before a sheet is written, the thumbnails another copy wrote meanwhile are
// dropped from it, so that the cache holds one record per picture however many copies fill it;
// records of one picture left by earlier runs are merged when a load of it is written down.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "catalog/pdbase.h"
#include "db/dbaccess.h"
#include "db/dbheader.h"
#include "image/pireader.h"
#include "support/cache.h"
#include "support/pfilestream.h"

// The names in the cache folder: the database and the software name in its header.
extern const char CorvaneThumbnailDBFile[];  // "tncache.qdb"
extern const char CorvaneThumbnailerName[];  // "Corvane Thumbnailer"

// Sheet geometry: cell width and height, cells across and down.
constexpr int PBigThumbWidth = 320;
constexpr int PThumbNCols = 3;
constexpr int PThumbNRows = 2;
// The largest sheet number a name of nine digits can hold; records naming others are ignored.
constexpr int32_t PMaxThumbImageID = 999999999;

// The placeholder icon: 80 x 80 grey bytes.
constexpr int PThumbIconWidth = 80;
extern const unsigned char* const PThumbIconData;

// Fields of a thumbnail record.
enum PTDBFieldID {
  PTDBFnbytes = 0,  // the photo's NBytes
  PTDBFhashval,     // the photo's HashVal
  PTDBFimageid,     // the sheet number, 1 or more
  PTDBFimagebytes,  // this thumbnail's share of its sheet file's bytes
  PTDBFrectangle,   // left, top, right, bottom in the full-size sheet
  PTDBFlastuse,     // minutes since 1970 of the last use
  PTDBFend
};

// Field fid of a thumbnail record under the record's own schema (a database written with its
// fields in another order reads right); the empty field when the schema lacks it.
const DBField& PTDBgetField(const DBRecord& r, PTDBFieldID fid);

class PTDBFieldInfo : public DBFieldInfo {
 public:
  PTDBFieldInfo();
};
extern const PTDBFieldInfo PTDBFInfo;

// The header of the thumbnail database: refuses any database but a thumbnail database.
class PTDBHeader : public DBHeader {
 public:
  int CheckValues() const override;
  void SetDefaults() override;
};

// The contact sheet being filled.
class PThumbImage {
 public:
  PThumbImage();
  ~PThumbImage();
  PThumbImage(const PThumbImage&) = delete;
  PThumbImage& operator=(const PThumbImage&) = delete;

  // The 3 x 2 geometry of 320-pixel cells, every pixel grey 127, no cell filled.
  void ClearImage();
  // Renders the reader's image into the next free cell (fitted, at its top-left corner),
  // stores the cell's rectangle (left, top, right, bottom) in rect and renders the new
  // thumbnail into thumb (whose size and colour space the caller set).
  bool AddThumb(_ImgStruct* thumb, long* rect, _ImgReader* ir);
  // Renders the part rect of the sheet into thumb.
  bool GetThumb(_ImgStruct* thumb, const long* rect) const;
  // Keeps the filled cells named, in that order (each at or after its new place), as cells 0,
  // 1 ...; the cells after them become empty.
  void KeepCells(const std::vector<int>& cells);
  // The cell whose corner rect (left, top ...) names; -1 for none of the filled ones.
  int CellOf(const long* rect) const;
  // Writes the sheet as a JPEG file; its size in bytes, 0 on failure or without pixels.
  long WriteImage(const char* path) const;

  bool IsFull() const { return nextSlot >= ncols * nrows; }
  int NumFilled() const { return nextSlot; }

  _ImgColorSpace tnCS;
  int ncols, nrows;
  int colwidth, rowheight;
  unsigned char* img;
  int nextSlot;
};

// A written sheet read back at a reduction and held in the memory cache.
class PThumbList : public CacheObject {
 public:
  PThumbList(int32_t sheet, const char* dir, int reduction);
  ~PThumbList() override;

  const char* ClassName() const override { return "PThumbList"; }
  bool RestoreMemory() override;
  void FreeMemory() override;
  // Renders the part rect (in full-size sheet pixels) into thumb, reading the sheet first
  // when its pixels are not resident.
  bool GetThumb(_ImgStruct* thumb, const long* rect);
  // GetThumb for a cell whose edges fall between the reduced sheet's pixels; sheet holds them.
  bool GetPartialThumb(_ImgStruct* thumb, const long* rect, const uint8_t* sheet) const;

  int32_t imgID;
  const char* cdir;  // the manager's folder text
  int denom;
  int oWidth, oHeight;
  PThumbList* next;  // owned
  // The size of the file read (-1 before). GetThumb renders a cell only for a record whose
  // share of its sheet's bytes (share, -1: no record) is one this file's size gives; else it
  // sets misfit: the file is not the sheet the record was written with.
  int64_t fileBytes = -1;
  int64_t share = -1;
  bool misfit = false;
  // Sheet files read so far by every list of the process.
  static uint64_t reads;
};

// Whether share is a record's share of a sheet file of n bytes as the sheet's writing gives
// them: n / k, or n / k + n % k for the first record, with k the sheet's records (1 to 6).
bool PThumbShareFits(int64_t share, int64_t n);

// Kinds of placeholder.
enum PTStatus {
  PTSpending = 0,  // readable, no thumbnail yet (grey icon)
  PTSnofile = 1,   // the image file cannot be opened (tinted icon)
  PTSfailed = 2,   // the thumbnail could not be made (tinted icon with white specks)
};

struct PThumbnailerStats {
  const char* dName;
  long kAlloc;  // the limit in KB, -1 unlimited
  long kUsed;   // KB of sheets counted
  int nThumbs;  // thumbnail records counted
};

class PThumbnailer {
 public:
  explicit PThumbnailer(const char* dir = nullptr);
  ~PThumbnailer();
  PThumbnailer(const PThumbnailer&) = delete;
  PThumbnailer& operator=(const PThumbnailer&) = delete;

  // A final thumbnail: from the cache, or made now; false for a placeholder or no cache.
  bool GetThumbnail(_ImgStruct* thumb, const DBRecord& photo, _ImgReader* ir = nullptr);
  // A fast thumbnail; true only when it came from the cache.
  bool QuickThumb(_ImgStruct* thumb, const DBRecord& photo, _ImgReader* ir = nullptr);
  bool LoadThumbnail(_ImgStruct* thumb, const DBRecord& photo);
  bool NewThumbnail(_ImgStruct* thumb, const DBRecord& photo, _ImgReader* ir);
  // The photo's thumbnail record (into found when given). A photo without length or hash
  // has none.
  bool FindThumbnail(DBRecord* found, const DBRecord& photo);
  // Removes the sheet holding the photo's thumbnail.
  void DeleteThumbnail(const DBRecord& photo);
  void ApplyCrop(_ImgStruct* thumb, const DBRecord& photo) const;
  static void ApplyOrient(_ImgStruct* thumb, const DBRecord& photo);
  // The reduction shift (0 to 3) whose cells are the smallest that serve thumb.
  static int DenomShift(const _ImgStruct* thumb);
  static long Kbytes(int64_t n) { return static_cast<long>((n + 1023) / 1024); }

  bool SetCacheDirectory(const char* dir);
  // Why the cache is no longer where it was opened, looked at on what was opened and not by the
  // database's name: its database was removed ("was removed"), or its folder's name leads to
  // another folder now ("is no longer the folder at its name"); nullptr while it is. Nothing
  // more is to be written there.
  const char* FolderChanged() const;
  // Closes the cache without writing anything: the thumbnails made since its last write go.
  void CloseUnwritten();
  bool SyncCache();
  long PurgeCache();
  void SetCacheSize(long kb);
  bool GetCacheStats(PThumbnailerStats* stats) const;
  bool IsOpen() const { return cacheDir[0] != '\0'; }
  int32_t NextImageID() const { return nextImgID; }
  // Whether the cache waits for another copy that holds it: its opening (the folder is opened
  // at the first request after the holder lets go), or the last request turned away.
  bool Busy() const { return pendingDir[0] != '\0' || busyNow; }
  // The requests turned away so far because another copy held the cache: a caller that saw
  // this grow asks again later.
  uint64_t TurnedAway() const { return turnedAway; }

  bool doCrop;
  bool doOrient;
  unsigned char bRGB[3];
  // The calls the lock file's lock is taken and dropped through (the system's when null).
  DBFileSystem* lockCalls = nullptr;

  // The lock file's name in the cache folder.
  static const char kShareName[];

 private:
  // What the lock file tells (see the head of this file).
  struct ShareState {
    bool valid = false;
    uint64_t gen = 0;
    int32_t next = 1;
    long kb = 0;
  };
  // What counting the records of a database found.
  struct Counted {
    int32_t maxID = 0;
    long kb = 0;
    int n = 0;
  };
  // A lock section: shared for reading, exclusive for changing the folder. Entered, the
  // database is the folder's as it is (read again when another copy changed it); left, what
  // an exclusive section changed is committed and the lock file tells it. Sections nest.
  class Section {
   public:
    Section(PThumbnailer* t, bool write) : t_(t), ok_(t->Enter(write)) {}
    ~Section() {
      if (ok_) t_->Leave();
    }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
    bool ok() const { return ok_; }

   private:
    PThumbnailer* t_;
    bool ok_;
  };
  // A last use noted by a load, written at the next change of the folder.
  struct Use {
    long nbytes, hashval;
    int32_t sheet;
    long minutes;
  };

  // Sharing (pthumbshare.cpp).
  void OpenShare(const char* dir);
  void CloseShare();
  // Takes the lock, waiting kLockWait seconds at most while another copy holds it (none when
  // one was turned away less than kLockQuiet seconds ago); false when it could not be taken.
  bool TakeLock(bool exclusive);
  void DropLock();
  ShareState ReadShare() const;
  bool WriteShare(const ShareState& st);
  static uint64_t FreshGen();
  bool Enter(bool write);
  void Leave();
  // Marks the folder as being changed, before the first change of an exclusive section; false
  // when the lock file cannot tell it (the change must not be made).
  bool Touch();
  // Syncs the database after the section's changes; on failure they are dropped and the
  // database read again as the file holds it.
  bool CommitView();
  // Reads without the lock: after one, Settled tells that the lock file's generation is still
  // the one the database was read at, so that no change was made since, during the read or
  // before it (a change moves the generation on before it touches anything, and never back).
  // Otherwise what was read may be stale or torn: Unsettle drops it, and the database is read
  // again at the next section.
  bool Settled() const;
  // Database blocks and sheet files read from their files so far: a look-up that read neither
  // answered from what was read at the generation the database was read at.
  static uint64_t FileReads() { return DBAccess::BlockReads() + PThumbList::reads; }
  // Whether a look-up without the lock keeps what it found: a hit from memory alone (unless
  // what is in memory was dropped), else while the generation stands.
  bool Kept(bool hit, uint64_t readsBefore) const {
    return viewGen != kUnsettled && ((hit && FileReads() == readsBefore) || Settled());
  }
  static constexpr uint64_t kUnsettled = ~0ULL;
  void Unsettle() { viewGen = kUnsettled; }
  // Reads the database again (counting its records when the lock file cannot be trusted);
  // false, the cache closed, when it cannot be read.
  bool Refresh();
  // Drops the database and closes the cache without writing anything.
  void Shut();
  // A new sheet number from the lock file.
  int32_t Claim();
  // Opens the folder dir as the cache (SetCacheDirectory once the cache it had is closed): 1
  // open, 0 not (the cache stays closed), -1 another copy holds it (opened later, by Resume).
  int OpenFolder(const char* dir);
  // Opens the folder whose opening waits for another copy, when it is free now; whether the
  // cache is open.
  bool Resume();
  // The folder the lock file is in, for messages.
  const char* ShareDir() const {
    return cacheDir[0] != '\0' ? cacheDir : pendingDir[0] != '\0' ? pendingDir : "folder";
  }

  // The photo's record: in the sheet being filled (*fill its index) or in the database (*fill
  // -1). Within a section.
  bool FindRecord(DBRecord* found, const DBRecord& photo, int* fill);
  // LoadThumbnail's look-ups: without the lock while the database read stands, else under it.
  bool LoadRounds(_ImgStruct* thumb, const DBRecord& photo);
  // LoadThumbnail within a read section: 1 loaded, 0 none, -1 the sheet *bad could not be read
  // (*foreign: its file is not the one the record was written with).
  int LoadLocked(_ImgStruct* thumb, const DBRecord& photo, int32_t* bad, bool* foreign);
  // Drops a sheet that cannot be read with its records, or, when its file holds other pictures,
  // the records it does not fit and the file when it fits none (within a write section).
  void DropSheet(int32_t id, bool foreign);
  // Whether a record of the database is one of the sheet being filled.
  bool IsFilling(const DBRecord& r) const;
  void NoteUse(const DBRecord& rec);
  void FlushUses();
  // SyncCache within a write section.
  bool SyncLocked();
  // Drops from the sheet being filled the thumbnails whose pictures the database holds already
  // (another copy made and wrote them meanwhile); the cells after them move up. Within a write
  // section.
  void DropWritten();
  // Writes the sheet being filled and puts its records in the database.
  bool WriteFilling();
  // Unlinks sheet id when no record names it any more, and drops its loaded copies.
  void DropUnnamedSheet(int32_t id);
  // Drops the loaded copies of sheet id not in use, so that none answers for a sheet of the
  // same number later.
  void ForgetLoaded(int32_t id);
  long PurgeLocked();

  void FixThumb(_ImgStruct* thumb, const DBRecord& photo) const {
    if (doCrop) ApplyCrop(thumb, photo);
    if (doOrient) ApplyOrient(thumb, photo);
  }
  // The thumbnail record of a photo: NBytes and HashVal; false when the photo lacks either.
  static bool IdentityRecord(DBRecord* q, const DBRecord& photo);
  // Deletes the records of sheet id (at most max); the sum of their ImageBytes, -1 when
  // none could be searched.
  int64_t DeleteSheetRecords(int32_t id, int max, const char* what);
  void EmptyLists();
  void SheetPath(char* buf, size_t len, int32_t id) const;
  // Opens the database at path and counts it into *counted when given: 1 open, 0 refused (not
  // a thumbnail database, or it cannot be opened), -1 found damaged, or not a file, and closed
  // again (*why tells how).
  int OpenDatabase(const char* path, std::string* why, Counted* counted);
  // Whether the file at path starts as a thumbnail database's header does, or is cut short within
  // its first lines.
  static bool ThumbnailHeaderStart(const char* path);
  // Moves the damaged database at path aside (keeping one such), with its journal, and drops
  // its index file and the sheets of the folder dir; false when it could not be moved
  // (*failure tells why).
  static bool SetAside(const char* dir, const char* path, const std::string& why,
                       std::string* failure);

  char cacheDir[512];
  // The folder the cache was opened in, as its name led then.
  dev_t dirDev = 0;
  ino_t dirIno = 0;
  long cacheMax;
  // A thumbnail is being put into the sheet: a large picture is read a slice at a time, and
  // what runs between slices adds none of its own (its cell would be the same).
  bool making = false;
  // Pictures being read (a photo into the sheet, a sheet into a list), which may run events
  // between their slices, and so calls of this manager: those only read what is read already
  // (no change, no reading of the database again, no closing), so that nothing the outer read
  // holds goes away under it.
  int reading = 0;
  struct Reading {
    explicit Reading(int* n) : n_(n) { ++*n_; }
    ~Reading() { --*n_; }
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;
    int* n_;
  };
  std::unique_ptr<PFileStream> dbfs;
  PTDBHeader tnHead;
  DBAccess tdb;
  long cacheSiz;
  int nThumbs;
  int32_t nextImgID;
  PThumbList* images[4];
  PThumbImage nextImage;
  // The records of the sheet being filled, one per filled cell (written with the sheet).
  std::vector<DBRecord> filling;
  std::vector<Use> uses;
  DBRecord query;  // FindRecord's query
  // The lock file (-1: the folder has none, and nothing guards it), whether it was opened for
  // writing, and the section held.
  int shareFd = -1;
  bool shareWritable = false;
  int lockDepth = 0;
  bool lockExclusive = false;
  bool touched = false;       // the exclusive section changed the folder
  bool shareChanged = false;  // or took a sheet number
  bool busyTold = false;
  bool busyNow = false;       // the last try for the lock found it held
  double quietUntil = 0;      // before then, a held lock is tried once, not waited for
  uint64_t turnedAway = 0;    // requests the lock turned away
  char pendingDir[512] = {};  // a folder whose opening waits for another copy
  bool broken = false;        // the lock file could not be written: no change is made
  ShareState share;           // as read when the section was entered (and changed by it)
  uint64_t viewGen = 0;       // the generation the database was read at
};

// Draws a placeholder of the given kind into thumb (80 x 80 when thumb is at least that).
bool PgenericThumbnail(_ImgStruct* thumb, const DBRecord& photo, PTStatus status);

// Minutes since 1970 of the current time, as LastUse keeps it.
long PTnowMinutes();

// A purge entry and the order in which entries are purged (for qsort).
struct PTNpurgeEntry {
  int32_t sheet;
  long lastUse;
  int64_t bytes;
};
int PTNpurgeCmp(const void* a, const void* b);
