// The index file beside a database ("name-index"): what the pages of the database know of
// their records, saved so that opening and the first look-up need not read every block. It is
// derived from the database alone, never needed for correctness, and trusted only while the
// database is exactly the file it describes: its stamp (size, modification and status-change
// times, inode, device) and two content checks (the header bytes and the last block) must
// match, and the whole file must pass its checksum.
//
//   index file (little-endian, fixed-width)
//   offset  size  what
//        0     8  "QRDBidx1"
//        8     4  version (1)
//       12     4  page count P
//       16     8  database size in bytes
//       24     8  database modification time, ns since the epoch
//       32     8  database status-change time, ns since the epoch
//       40     8  database inode
//       48     8  database device
//       56     4  database HeaderSize
//       60     4  block size (65,548)
//       64     4  checksum of the database's first HeaderSize bytes
//       68     4  checksum of the database's last whole block (0 without blocks)
//       72     8  hash count H
//       80  12 P  per page: record count (i32, -1 unknown), cells per record (i32, -1 unknown),
//                 flags (u32: 1 = hashes listed)
//     ...    4 H  the records' 31-bit hash indexes, page after page, row after row, for every
//                 page whose flags list them (exactly its record count of them)
//     ...      4  checksum of every byte before it
//
// A sync removes the index file (durably, with the journal's own folder sync) before it writes
// any byte of the database, and writes a new one only after the database is durable: so no
// crash leaves an index file that describes another state of the database than its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "db/dbfile.h"

class DBHeader;

class DBSideFile {
 public:
  // One page as the index file tells it.
  struct Page {
    int32_t count = -1;  // records (-1 unknown)
    int32_t width = -1;  // cells per record (-1 unknown)
    bool hashesKnown = false;
    size_t first = 0;  // its hashes: hashes[first .. first + count)
  };

  // The state of the database described.
  DBFileStamp stamp;
  int32_t headerSize = 0;
  uint32_t headerSum = 0;
  uint32_t lastBlockSum = 0;
  std::vector<Page> pages;
  std::vector<uint32_t> hashes;

  static constexpr size_t kHeadSize = 80;
  static constexpr size_t kPageSize = 12;

  // Reads the bytes of an index file; false (the object then undefined) with *why set when
  // they are not a sound one.
  bool Parse(const unsigned char* data, size_t n, const char** why);
  // The bytes of the index file.
  void Compose(std::vector<unsigned char>* out) const;

  // What the database at file holds now: its stamp and content checks; false when it cannot
  // be read or the layer gives no stamps.
  struct Probe {
    DBFileStamp stamp;
    uint32_t headerSum = 0;
    uint32_t lastBlockSum = 0;
    int mode = 0644;  // the database's permission bits, which a new index file takes
    bool SameState(const Probe& o) const {
      return stamp == o.stamp && headerSum == o.headerSum && lastBlockSum == o.lastBlockSum;
    }
  };
  static bool ProbeDatabase(const DBFile& file, int headerSize, Probe* out);

  enum Status {
    kMissing,  // no index file
    kValid,    // sound, and describes the database as it is now
    kStale,    // sound, but of another state of the database
    kDamaged,  // cut short, bytes changed, or not an index file
  };
  // Reads the index file of file and checks it against probe (the database as it is now).
  Status Load(const DBFile& file, const Probe& probe, const char** why);
  // Writes the index file atomically: a new temporary file, synced, renamed over the old one.
  bool Save(const DBFile& file, int mode) const;
  // Removes the index file; true when none is left.
  static bool Remove(const DBFile& file);
};

// What the first page of a database opened from a file knows of its index file.
struct DBSideState {
  DBSideState(const DBFile& f, const DBHeader* h) : file(f), header(h) {}
  DBFile file;
  const DBHeader* header;   // the header the database was opened with
  DBSideFile::Probe known;  // the state of the database that the pages' knowledge is of
  bool onDisk = false;      // a valid index file of that state is on disk
  size_t pagesOnDisk = 0;   // pages whose records it knows
};
