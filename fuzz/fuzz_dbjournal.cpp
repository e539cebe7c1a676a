// Checks and plays back a fuzzed journal over a small database held in memory, then opens and
// walks the result. The first byte chooses the journal: the bytes as given, or one built from
// the input with valid checksums (so that playback itself is reached).
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "db/dbase.h"
#include "db/dbjournal.h"
#include "fuzz_memdb.h"
#include "support/dmessage.h"

namespace {

using fuzzdb::BaseFile;
using fuzzdb::MemFS;
using fuzzdb::Quiet;

void Put32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; i++) s->push_back(static_cast<char>(v >> (8 * i)));
}
void Put64(std::string* s, uint64_t v) {
  for (int i = 0; i < 8; i++) s->push_back(static_cast<char>(v >> (8 * i)));
}

// A journal of the database's own file with valid checksums from the input: the old size
// (4 bytes), the header bytes checked (2 bytes), the count slot's count and grown size (2 and
// 4 bytes), then pieces of offset (4), length (2) and that many bytes. The header's checksum
// is of the base file's first bytes, so that playback itself is reached.
std::string BuildJournal(const uint8_t* p, size_t n) {
  auto take = [&](int k) {
    uint64_t v = 0;
    for (int i = 0; i < k && n > 0; i++, p++, n--) v |= static_cast<uint64_t>(*p) << (8 * i);
    return v;
  };
  const uint32_t salt = 0x5EED;
  uint64_t size = take(4);
  uint32_t checked = static_cast<uint32_t>(take(2));
  uint32_t count = static_cast<uint32_t>(take(2));
  uint64_t grown = take(4);
  const std::string& base = BaseFile();
  std::string j("QRDBjnl2", 8);
  Put32(&j, salt);
  Put32(&j, DB_BLOCKSIZE);
  Put64(&j, 1);  // MemFS gives every file device 1 and inode 1
  Put64(&j, 1);
  Put64(&j, size);
  Put32(&j, checked);
  Put32(&j, DBJournal::Checksum(0, base.data(), checked < base.size() ? checked : base.size()));
  Put32(&j, DBJournal::Checksum(0, j.data(), 48));
  std::string slot;
  Put32(&slot, 1);
  Put32(&slot, count);
  Put64(&slot, grown);
  Put32(&slot,
        DBJournal::Checksum(salt ^ static_cast<uint32_t>(52 * 0x9E3779B1u), slot.data(), 16));
  j += slot + std::string(24, '\0');
  for (uint32_t seq = 0; n >= 6; seq++) {
    uint32_t off = static_cast<uint32_t>(take(4));
    size_t len = static_cast<size_t>(take(2));
    if (len > n) len = n;
    std::string r;
    Put64(&r, off);
    Put32(&r, static_cast<uint32_t>(len));
    Put32(&r, seq);
    r.append(reinterpret_cast<const char*>(p), len);
    p += len;
    n -= len;
    Put32(&r, DBJournal::Checksum(salt, r.data(), r.size()));
    j += r;
  }
  return j;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  dmessage_call = Quiet;
  MemFS fs;
  DBFile file("/mem/photos.qdb", &fs);
  fs.files[file.Path()] = BaseFile();
  fs.files[file.JournalPath()] =
      (data[0] & 1) ? BuildJournal(data + 1, size - 1)
                    : std::string(reinterpret_cast<const char*>(data + 1), size - 1);
  DBJournal::Recovery r = DBJournal::Recover(file, (data[0] & 2) != 0);
  // Played back means the journal is gone; refused means the file was not read; a journal
  // kept is kept.
  if (r == DBJournal::kPlayedBack && fs.files.count(file.JournalPath()) != 0) __builtin_trap();
  if (r == DBJournal::kKept && fs.files.count(file.JournalPath()) == 0) __builtin_trap();
  if (r != DBJournal::kRefused) {
    std::stringstream ss(fs.files[file.Path()], std::ios::in | std::ios::out | std::ios::binary);
    DBHeader header;
    {
      DBAccess db(&header, &ss, true);
      db.TotalRecords();
      std::vector<DBRecord> recs(8);
      db.GetRecords(recs.data(), 8, 0);
    }
    header.Attach(nullptr, true);
  }
  dmessage_call = nullptr;
  return 0;
}
