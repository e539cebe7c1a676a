// Plays back a fuzzed journal over a small database held in memory, then opens and walks the
// result. The first byte chooses the journal: the bytes as given, or records built from the
// input with valid checksums (so that playback itself is reached), the journal's old size
// taken from the input too.
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

// A journal of valid records from the input: old size (4 bytes), then records of offset (4),
// length (2) and that many bytes.
std::string BuildJournal(const uint8_t* p, size_t n) {
  std::string j("QRDBjnl1", 8);
  uint32_t salt = 0x5EED;
  Put32(&j, salt);
  uint64_t size = 0;
  if (n >= 4) {
    size =
        static_cast<uint64_t>(p[0] | p[1] << 8 | p[2] << 16) | (static_cast<uint64_t>(p[3]) << 24);
    p += 4;
    n -= 4;
  }
  Put64(&j, size);
  Put32(&j, DBJournal::Checksum(0, j.data(), 20));
  for (uint32_t seq = 0; n >= 6; seq++) {
    uint32_t off = static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | (uint32_t{p[3]} << 24);
    size_t len = static_cast<size_t>(p[4] | p[5] << 8);
    p += 6;
    n -= 6;
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
  // Played back means the journal is gone; refused means the file was not read.
  if (r == DBJournal::kPlayedBack && fs.files.count(file.JournalPath()) != 0) __builtin_trap();
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
