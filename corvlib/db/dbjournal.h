// The rollback journal of a database file, and the locks that say who may write the file and
// when a journal found beside it may be played back.
//
// A sync saves the original bytes of every part of the file it overwrites in the journal
// ("name-journal"), which is whole and durable before the file is touched; then the file is
// written and made durable; then the journal is removed. A journal whose sync no live process
// owns is hot: played back, it puts the saved bytes back and cuts the file to its old size, so
// the file is again exactly as the last complete sync left it. A sync that fails after it wrote
// into the file is played back at once by its own process, so that the file alone (a copy, a
// backup) holds the last complete sync at every moment but during a sync.
//
// Locks: record locks on single bytes far beyond the data of any database file, held by the
// open file (DBFileSystem::Lock), so they go when their holder's file is closed or its process
// dies.
//   owner   exclusive, by the process whose sync it is, from the start of the sync (before
//           its journal exists) to its end (after its journal is removed, or as long as the
//           journal guards bytes written); or by a process examining a journal it found. A
//           journal is hot only when no process holds owner, and only the holder of owner
//           may play it back.
//   intent  exclusive beside write, by whoever writes the file: it tells readers to read
//           around the journal instead of waiting for write, so a writer is never starved.
//   write   exclusive while the file is written: from a sync's first write into the file (its
//           journal in place) to the journal's removal, and while a journal is played back.
//           Shared by readers while they read.
// A writer takes owner, then (its journal in place) intent and write. A writer that may not
// wait (SetTurnAway) looks, holding owner, whether a reader holds write before it makes its
// journal, and gives owner up when one does. A process that finds a journal takes owner
// (failing that, a live sync owns the journal), then intent and write.
// Readers hold nothing between two reads.
//
// Reading a database another process may be writing (DBJournalView) gives the file as the last
// complete sync left it, without writing anything:
//   - when intent is free and write can be shared: the file's bytes, and while a journal that
//     belongs to the file lies beside it (its writer died, or has not written yet), its saved
//     bytes in their place;
//   - otherwise (a writer is at work): the file's bytes read between two looks at the journal
//     that find the same sync's journal, with the saved bytes of every piece the second look
//     finds in their place. A sync saves a piece before it changes it, so any byte it changed
//     before the second look is among them.
//
// A journal is written under a temporary name ("name-journal.new"), made durable, and only
// then given its name: no crash leaves a journal under its name that is cut short. A journal
// that is cut short, holds fewer pieces than its count, or does not belong to the file beside
// it (another file's device and inode, a size or header the sync did not start from, an older
// layout) is damage: it is not played back and is kept for the user, and the database opens
// read-only as it is. So is a journal that no writer of the file can have made: one that is
// not a regular file of one name, or whose owner is neither the file's owner nor the user of
// the program that finds it. A database others may write (a group's) is thus put back from the
// journal of a sync that did not complete only by its owner when the owner synced, and only by
// that other user when they did; anyone else opens it read-only until then.
//
//   journal (little-endian)
//   offset  size  what
//        0     8  "QRDBjnl2"
//        8     4  salt: a value of this journal alone, mixed into every checksum
//       12     4  block size of the database (65,548)
//       16     8  device of the database file
//       24     8  inode of the database file
//       32     8  size of the database file at the start of the sync
//       40     4  n: the database's first bytes checked (its HeaderSize, or its size if less)
//       44     4  checksum of the database's first n bytes at the start of the sync
//       48     4  checksum of bytes 0..47
//       52    20  count slot   } the slot of the higher generation whose checksum holds
//       72    20  count slot   } gives the count
//       92     4  zero
//   count slot:
//        0     4  generation (1, 2 ...; 0 in a slot never written)
//        4     4  pieces the journal holds
//        8     8  the size the database file may have grown to in this sync
//       16     4  checksum of the salt, the slot's offset and bytes 0..15
//   then, from offset 96, the pieces, each:
//        0     8  file offset
//        8     4  length n (at most 4,096: a piece never crosses a 4 KiB boundary of the file)
//       12     4  sequence number (0, 1, 2 ... in the journal)
//       16     n  the original bytes
//     16+n     4  checksum of the salt, bytes 0..15 and the original bytes
// Pieces saved later in the same sync (blocks written back to free memory before the sync
// completes) are appended and made durable; then the older slot takes the new count and is
// made durable; only then is the file touched. Playback needs every piece the count names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "db/dbfile.h"

class DBJournal {
 public:
  // headerSize: the database's HeaderSize (the bytes whose checksum identifies it).
  DBJournal(const DBFile& file, long long headerSize);
  // Closes the files, which drops the locks; a journal of a sync that did not complete stays
  // hot on disk.
  ~DBJournal();
  DBJournal(const DBJournal&) = delete;
  DBJournal& operator=(const DBJournal&) = delete;

  enum Recovery {
    kClean,       // no journal
    kPlayedBack,  // a hot journal was played back and removed
    kRefused,     // a hot journal this process cannot play back: the file must not be read
    kKept,        // a damaged journal, or another file's: kept; the file opens read-only
    kLive,        // the journal or sync of another live process: the file opens read-only
  };
  // Looks for a journal beside file before the file is read, and plays back a hot one.
  static Recovery Recover(const DBFile& file, bool readonly);

  // New bytes for the database file at off.
  struct Piece {
    long long off;
    const void* data;
    size_t n;
  };
  // Writes the pieces into the database file, 4 KiB chunk by chunk, only the chunks whose
  // bytes differ from the file's. First the present bytes of those chunks go to the journal
  // (the sync starting with it), unless saved already in this sync or beyond the file's size
  // at its start, and the journal is made durable. No pieces: nothing is looked at, and true.
  bool Update(const std::vector<Piece>& pieces);
  // Makes the database durable and removes the journal; true also when no sync was open.
  bool Commit();
  // When the open sync wrote into the file: puts the file back from its journal as the last
  // complete sync left it (its bytes, its size, durably), and only then removes the journal;
  // the next Update starts a new sync. False when the file could not be put back: the sync
  // stays open (the next Update and Commit complete it, an open before that plays it back).
  bool Rollback();
  // Ends the open sync without completing it: Rollback, or the journal removed when it guards
  // nothing. False when the file could not be put back: the journal stays, and the next open
  // plays it back.
  bool Discard();
  // The failure of the last call that failed: what could not be done to which file, with the
  // system's reason ("Cannot write the journal of "/p/Cat.qdb": No space left on device"),
  // and its errno (0 when the system gave none, as for a lock another process holds). Kept
  // until the next failure.
  const std::string& LastError() const { return lastError; }
  int LastErrno() const { return lastErrno; }
  // The database file's path.
  const std::string& Path() const { return file.Path(); }
  // Whether the last Update or Commit failed.
  bool Failed() const { return failed; }
  // While set, Update takes its locks as a program must that cannot keep its windows painted
  // meanwhile: a lock another process holds (its sync, a reader in the middle of its read) is
  // waited for kTurnAwayWait seconds at most, and not at all once such a wait was in vain since
  // this was set. A sync that finds the file held is turned away: Update fails with TurnedAway
  // true, having written nothing into the file and left no journal, and the pieces wait for the
  // next Update.
  void SetTurnAway(bool on) {
    turnAway = on;
    waitedOut = false;
  }
  // Whether the last Update was turned away: by SetTurnAway, or because a wait for a lock was
  // one the program could not keep its windows painted through (PWorkWait), which turns it away
  // the same.
  bool TurnedAway() const { return turnedAway; }
  static constexpr double kTurnAwayWait = 0.05;
  // Whether a sync is open (its journal on disk), or one that completed left its journal.
  bool Active() const { return jfd >= 0 || leftover; }
  // Whether the open sync wrote into the file.
  bool Wrote() const { return jfd >= 0 && writing; }

  // Checksum of n bytes continuing from h.
  static uint32_t Checksum(uint32_t h, const void* data, size_t n);

  // The lock bytes.
  static constexpr long long kOwnerByte = 1LL << 62;
  static constexpr long long kIntentByte = kOwnerByte + 1;
  static constexpr long long kWriteByte = kOwnerByte + 2;

 private:
  bool OpenDatabase();
  // Starts a sync: the file's size and mode, a new salt.
  bool Begin();
  // Makes the first pieces of a sync into the journal under its name.
  bool Create(const std::vector<unsigned char>& pieces);
  // Appends later pieces, then counts them in a slot.
  bool Append(const std::vector<unsigned char>& pieces, uint32_t count, long long grown);
  void Slot(unsigned char* out, uint32_t gen, uint32_t count, long long grown, int which) const;
  // Closes and removes the journal of a sync that wrote nothing into the database yet.
  void Abandon();
  // Removes the journal of a completed sync and makes that durable.
  bool RemoveJournal();
  void Unlock();
  // Notes a failure: what names the file with "%s", err is the errno (0: none).
  bool Fail(const char* what, int err);
  // How long a lock another process holds is waited for.
  double LockWait() const;
  // Notes a failure because another process holds a lock (what as in Fail); with away, a wait
  // for it that the program could not paint was turned away (PWorkWait).
  bool Held(const char* what, bool away = false);

  DBFile file;
  DBFileSystem* fs;
  long long headerSize;
  int dbfd = -1;
  int jfd = -1;
  bool leftover = false;  // a completed sync's journal could not be removed
  bool owner = false;     // the locks held
  bool writing = false;
  uint32_t salt = 0;
  uint32_t seq = 0;
  uint32_t gen = 0;  // generation of the slot written last
  int last = 0;      // the slot holding the durable count
  long long origSize = 0;
  long long grownTo = 0;  // the size the database file may have now
  int mode = 0644;
  long long jend = 0;         // bytes of the journal so far
  std::set<long long> saved;  // offsets of the chunks saved in this sync
  std::string lastError;
  int lastErrno = 0;
  bool failed = false;
  bool turnAway = false;    // SetTurnAway
  bool waitedOut = false;   // a wait was in vain since SetTurnAway
  bool turnedAway = false;  // the last Update
};

// What a journal says, checked against the database file beside it. A scan of the same
// journal again reads only the pieces appended since.
class DBJournalScan {
 public:
  enum Verdict {
    kGood,     // the database's own, whole: its pieces give the last complete sync
    kDamaged,  // cut short, or bytes changed
    kForeign,  // not a journal of this database file as it is (or of an older layout)
  };
  struct Piece {
    long long off;  // in the database
    uint32_t n;
    long long at;  // of its bytes in the journal
  };

  // Reads the journal open at jfd and checks it against the database open at dbfd. A journal
  // found at its name (found; not one this process made and holds open) counts only as one a
  // writer of the database made: a regular file with one name, whose owner is the database
  // file's or this program's user. Whoever else may write the folder may have put anything
  // there, built from what stat tells of the database alone: it is kForeign.
  Verdict Scan(DBFileSystem* fs, int jfd, int dbfd, bool found = true);
  // Puts the saved bytes of every piece over buf, which holds the database's n bytes at off.
  bool Overlay(DBFileSystem* fs, int jfd, long long off, unsigned char* buf, size_t n) const;
  // Writes the saved bytes of a good journal back into the database and cuts it to its size at
  // the start of the sync, durably.
  bool PlayBack(DBFileSystem* fs, int jfd, int dbfd) const;

  Verdict verdict = kDamaged;
  std::string why;  // what is wrong (a scan that is not good)
  uint32_t salt = 0;
  long long origSize = 0;     // the database's size when the sync started
  uint32_t count = 0;         // the pieces the count slot names
  std::vector<Piece> pieces;  // the whole pieces, in order (at least count when good)

 private:
  Verdict Set(Verdict v, std::string w);
  bool ReadPieces(DBFileSystem* fs, int jfd, long long jsize);

  bool known = false;   // salt's header read
  int headerCheck = 0;  // 1 the database's first bytes were those of the start, -1 not
  uint32_t checkedBytes = 0;
  uint32_t headerSum = 0;
  long long scanned = 0;                 // the journal read through the last whole piece
  std::map<long long, size_t> byOffset;  // piece index by file offset
};

// Reads a database that another process may be writing, as the last complete sync left it.
class DBJournalView {
 public:
  explicit DBJournalView(const DBFile& file);
  ~DBJournalView();
  DBJournalView(const DBJournalView&) = delete;
  DBJournalView& operator=(const DBJournalView&) = delete;

  // Reads n bytes at off: the bytes read (fewer at the end of the file), -1 when the file
  // cannot be read (or a writer held it past a bounded wait), kTurnedAway when the wait for a
  // writer was one the program could not keep its windows painted through (PWorkWait): nothing
  // is wrong with the file then, and the read may be made again later. *size (when given) gets
  // the file's size in the state read.
  long long Read(long long off, void* buf, size_t n, long long* size);
  static constexpr long long kTurnedAway = -3;

 private:
  static constexpr long long kRetry = -2;
  long long ReadSteady(long long off, void* buf, size_t n, long long* size);
  long long ReadAround(long long off, void* buf, size_t n, long long* size);
  long long Limit(long long off, long long got, long long* size) const;

  DBFile file;
  DBFileSystem* fs;
  int dbfd = -1;
  DBJournalScan scan;
};
