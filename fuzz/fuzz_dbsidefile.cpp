// Reads a fuzzed index file, and opens a small database held in memory beside it, then counts,
// looks up and walks its records. The first byte chooses the index file: the bytes as given
// (whatever parses must compose to the same bytes), or a page table and hashes built from the
// input under a head that matches the database, with a valid checksum, so that the pages take
// what it says.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "db/dbase.h"
#include "db/dbsidefile.h"
#include "fuzz_memdb.h"
#include "support/dmessage.h"

namespace {

using fuzzdb::BaseFile;
using fuzzdb::MemFS;
using fuzzdb::Quiet;

// The header size and block count of the base database.
void Geometry(int* headerSize, int* pages) {
  static int hsize = 0, npages = 0;
  if (hsize == 0) {
    std::stringstream ss(BaseFile(), std::ios::in | std::ios::out | std::ios::binary);
    DBHeader h;
    hsize = h.Attach(&ss, true);
    h.Attach(nullptr, true);
    npages = static_cast<int>((BaseFile().size() - static_cast<size_t>(hsize)) / DB_BLOCKSIZE);
  }
  *headerSize = hsize;
  *pages = npages;
}

// An index file of the database from the input: one byte that may change the page count,
// then per page a count (2 bytes, -1 .. 8192) and a byte whose low bit lists its hashes, then
// 4 bytes per listed hash.
std::string BuildIndex(const DBFile& file, int hsize, int npages, const uint8_t* p, size_t n) {
  DBSideFile sf;
  DBSideFile::Probe probe;
  DBSideFile::ProbeDatabase(file, hsize, &probe);
  sf.stamp = probe.stamp;
  sf.headerSize = hsize;
  sf.headerSum = probe.headerSum;
  sf.lastBlockSum = probe.lastBlockSum;
  int count = npages;
  if (n > 0) {
    if (p[0] < 8) count += p[0] - 4;
    p++;
    n--;
  }
  for (int i = 0; i < count; i++) {
    DBSideFile::Page pg;
    if (n >= 3) {
      pg.count = static_cast<int32_t>((p[0] | p[1] << 8) % 8194) - 1;
      pg.width = 3;
      pg.hashesKnown = (p[2] & 1) != 0 && pg.count >= 0;
      p += 3;
      n -= 3;
    }
    pg.first = sf.hashes.size();
    if (pg.hashesKnown) {
      for (int32_t r = 0; r < pg.count; r++) {
        uint32_t h = 0;
        if (n >= 4) {
          memcpy(&h, p, 4);
          p += 4;
          n -= 4;
        } else {
          h = static_cast<uint32_t>(r) * 2654435761u;
        }
        sf.hashes.push_back(h & 0x7FFFFFFF);
      }
    }
    sf.pages.push_back(pg);
  }
  std::vector<unsigned char> out;
  sf.Compose(&out);
  return std::string(out.begin(), out.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  dmessage_call = Quiet;
  int hsize = 0, npages = 0;
  Geometry(&hsize, &npages);
  const std::string& base = BaseFile();
  MemFS fs;
  DBFile file("/mem/photos.qdb", &fs);
  fs.files[file.Path()] = base;
  std::string index = (data[0] & 1)
                          ? BuildIndex(file, hsize, npages, data + 1, size - 1)
                          : std::string(reinterpret_cast<const char*>(data + 1), size - 1);
  DBSideFile sf;
  const unsigned char* ib = reinterpret_cast<const unsigned char*>(index.data());
  if (sf.Parse(ib, index.size(), nullptr)) {
    std::vector<unsigned char> again;
    sf.Compose(&again);
    if (again.size() != index.size() || memcmp(again.data(), ib, again.size()) != 0)
      __builtin_trap();
  }
  fs.files[file.IndexPath()] = index;
  std::stringstream ss(base, std::ios::in | std::ios::out | std::ios::binary);
  DBHeader header;
  {
    DBAccess db(&header, &ss, &file, true);
    db.TotalRecords();
    for (int i = 0; i < 3200; i += 397) {
      DBRecord key(&header);
      key.SetField(0, ("photo " + std::to_string(i)).c_str());
      key.SetField(1, static_cast<long>(i * 7));
      DBSearch s(&db);
      s.AddSelector(key, false);
      DBRecord out[2];
      s.FindRecords(out, 2);
    }
    std::vector<DBRecord> recs(8);
    db.GetRecords(recs.data(), 8, 2990);
  }
  header.Attach(nullptr, true);
  dmessage_call = nullptr;
  return 0;
}
