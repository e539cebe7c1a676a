// The rollback journal of a database file. Before a sync overwrites any part of the file that
// the last sync left, the original bytes go to the journal beside it, which is made durable
// first; then the file is written and made durable; then the journal is removed. A crash at any
// moment leaves either no journal (the file is as some sync left it) or a hot journal, which
// the next open plays back: the saved bytes go back and the file is cut to its old size, so
// the file is again exactly as the last complete sync left it.
//
//   journal (little-endian)
//   offset  size  what
//        0     8  "QRDBjnl1"
//        8     4  salt: a value of this journal alone, mixed into every checksum
//       12     8  size of the database file before the sync
//       20     4  checksum of bytes 0..19
//   then records, each:
//        0     8  file offset
//        8     4  length n
//       12     4  sequence number (0, 1, 2 ... in the journal)
//       16     n  the original bytes
//     16+n     4  checksum of the salt, bytes 0..15 and the original bytes
// Playback takes records up to the first that is cut or fails its checksum: a record is
// durable before the bytes it saves are overwritten, so any later one guards nothing yet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "db/dbfile.h"

class DBJournal {
 public:
  explicit DBJournal(const DBFile& file);
  // Closes the files; a journal of a sync that did not complete stays hot on disk.
  ~DBJournal();
  DBJournal(const DBJournal&) = delete;
  DBJournal& operator=(const DBJournal&) = delete;

  enum Recovery {
    kClean,       // no hot journal (a torn one is removed when the file may be written)
    kPlayedBack,  // a hot journal was played back and removed
    kRefused,     // a hot journal could not be played back: the file must not be read
  };
  // Plays back a hot journal of file before the file is read.
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
  // at its start, and the journal is made durable.
  bool Update(const std::vector<Piece>& pieces);
  // Makes the database durable and removes the journal; true also when no sync was open.
  bool Commit();
  // Whether a sync is open (its journal on disk), or one that completed left its journal.
  bool Active() const { return jfd >= 0 || leftover; }

  // Checksum of n bytes continuing from h.
  static uint32_t Checksum(uint32_t h, const void* data, size_t n);

 private:
  bool OpenDatabase();
  // Starts a sync: the file's size and mode, a new salt.
  bool Begin();
  void Head(std::vector<unsigned char>* out) const;
  // Closes and removes the journal of a sync that wrote nothing into the database yet.
  void Abandon();
  // Removes the journal of a completed sync and makes that durable.
  bool RemoveJournal();
  bool Fail(const char* what);

  DBFile file;
  DBFileSystem* fs;
  int dbfd = -1;
  int jfd = -1;
  bool leftover = false;  // a completed sync's journal could not be removed
  uint32_t salt = 0;
  uint32_t seq = 0;
  long long origSize = 0;
  int mode = 0644;
  long long jend = 0;         // bytes of the journal so far
  std::set<long long> saved;  // offsets of the chunks saved in this sync
};
