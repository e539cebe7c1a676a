// The index file beside a database: its byte layout, checks against the database, and atomic
// replacement.
#include "db/dbsidefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "db/dbblock.h"
#include "db/dbbytes.h"
#include "db/dbjournal.h"
#include "db/dbschema.h"

namespace {

using dbbytes::Get32;
using dbbytes::Get64;
using dbbytes::Put32;
using dbbytes::Put64;

const char kMagic[8] = {'Q', 'R', 'D', 'B', 'i', 'd', 'x', '1'};
constexpr uint32_t kVersion = 1;
// The checksum of the whole file starts from this value, so that a file of another kind
// with a checksum of its own at its end does not pass.
constexpr uint32_t kSeed = 0x51494458;

int32_t GetI32(const unsigned char* p) {
  return static_cast<int32_t>(Get32(p));
}

}  // namespace

bool DBSideFile::Parse(const unsigned char* data, size_t n, const char** why) {
  const char* dummy;
  if (why == nullptr) why = &dummy;
  if (n < kHeadSize + 4) {
    *why = "too short";
    return false;
  }
  if (memcmp(data, kMagic, 8) != 0) {
    *why = "not an index file";
    return false;
  }
  if (Get32(data + n - 4) != DBJournal::Checksum(kSeed, data, n - 4)) {
    *why = "checksum mismatch";
    return false;
  }
  if (Get32(data + 8) != kVersion) {
    *why = "unknown version";
    return false;
  }
  uint32_t npages = Get32(data + 12);
  stamp.size = static_cast<long long>(Get64(data + 16));
  stamp.mtimeNs = static_cast<long long>(Get64(data + 24));
  stamp.ctimeNs = static_cast<long long>(Get64(data + 32));
  stamp.ino = Get64(data + 40);
  stamp.dev = Get64(data + 48);
  headerSize = GetI32(data + 56);
  uint32_t block = Get32(data + 60);
  headerSum = Get32(data + 64);
  lastBlockSum = Get32(data + 68);
  uint64_t nhash = Get64(data + 72);
  if (stamp.size < 0 || headerSize <= 0 || block != static_cast<uint32_t>(DB_BLOCKSIZE)) {
    *why = "bad database geometry";
    return false;
  }
  // Sizes are checked before anything is allocated: the table and the hashes must fill the
  // file exactly.
  size_t body = n - kHeadSize - 4;
  if (npages > body / kPageSize || nhash > (body - npages * kPageSize) / 4 ||
      npages * kPageSize + nhash * 4 != body) {
    *why = "sizes do not add up";
    return false;
  }
  pages.assign(npages, Page());
  hashes.clear();
  const unsigned char* t = data + kHeadSize;
  uint64_t listed = 0;
  for (uint32_t i = 0; i < npages; i++, t += kPageSize) {
    Page& pg = pages[i];
    pg.count = GetI32(t);
    pg.width = GetI32(t + 4);
    uint32_t flags = Get32(t + 8);
    pg.hashesKnown = (flags & 1) != 0;
    bool sane = pg.count >= -1 && pg.count <= DB_BLOCKCELLS && pg.width >= -1 &&
                pg.width <= DB_MAXFIELDS && (flags & ~1u) == 0 &&
                (!pg.hashesKnown || pg.count >= 0) && (pg.count <= 0 || pg.width != 0);
    if (!sane) {
      *why = "bad page entry";
      return false;
    }
    pg.first = static_cast<size_t>(listed);
    if (pg.hashesKnown) listed += static_cast<uint64_t>(pg.count);
  }
  if (listed != nhash) {
    *why = "hash count mismatch";
    return false;
  }
  hashes.resize(static_cast<size_t>(nhash));
  for (size_t k = 0; k < hashes.size(); k++, t += 4) {
    hashes[k] = Get32(t);
    if (hashes[k] > 0x7FFFFFFFu) {
      *why = "bad hash index";
      return false;
    }
  }
  return true;
}

void DBSideFile::Compose(std::vector<unsigned char>* out) const {
  size_t listed = 0;
  for (const Page& pg : pages)
    if (pg.hashesKnown && pg.count > 0) listed += static_cast<size_t>(pg.count);
  out->assign(kHeadSize + pages.size() * kPageSize + listed * 4 + 4, 0);
  unsigned char* p = out->data();
  memcpy(p, kMagic, 8);
  Put32(p + 8, kVersion);
  Put32(p + 12, static_cast<uint32_t>(pages.size()));
  Put64(p + 16, static_cast<uint64_t>(stamp.size));
  Put64(p + 24, static_cast<uint64_t>(stamp.mtimeNs));
  Put64(p + 32, static_cast<uint64_t>(stamp.ctimeNs));
  Put64(p + 40, stamp.ino);
  Put64(p + 48, stamp.dev);
  Put32(p + 56, static_cast<uint32_t>(headerSize));
  Put32(p + 60, static_cast<uint32_t>(DB_BLOCKSIZE));
  Put32(p + 64, headerSum);
  Put32(p + 68, lastBlockSum);
  Put64(p + 72, listed);
  unsigned char* t = p + kHeadSize;
  for (const Page& pg : pages) {
    Put32(t, static_cast<uint32_t>(pg.count));
    Put32(t + 4, static_cast<uint32_t>(pg.width));
    Put32(t + 8, pg.hashesKnown ? 1u : 0u);
    t += kPageSize;
  }
  for (const Page& pg : pages) {
    if (!pg.hashesKnown || pg.count <= 0) continue;
    for (int32_t r = 0; r < pg.count; r++, t += 4) Put32(t, hashes[pg.first + r]);
  }
  size_t n = out->size() - 4;
  Put32(p + n, DBJournal::Checksum(kSeed, p, n));
}

bool DBSideFile::ProbeDatabase(const DBFile& file, int hsize, Probe* out) {
  DBFileSystem* fs = file.FS();
  int fd = fs->Open(file.Path(), O_RDONLY, 0);
  if (fd < 0) return false;
  long long size = 0;
  bool ok = hsize > 0 && fs->Stamp(fd, &out->stamp) && fs->Stat(fd, &size, &out->mode);
  std::vector<unsigned char> buf;
  if (ok) {
    // The header (what there is of it in a new file), and the last whole block: the one
    // that adding records changes.
    buf.resize(static_cast<size_t>(hsize));
    long long got = fs->Read(fd, buf.data(), buf.size(), 0);
    ok = got >= 0;
    out->headerSum = ok ? DBJournal::Checksum(0, buf.data(), static_cast<size_t>(got)) : 0;
    long long blocks = out->stamp.size > hsize ? (out->stamp.size - hsize) / DB_BLOCKSIZE : 0;
    out->lastBlockSum = 0;
    if (ok && blocks > 0) {
      buf.resize(DB_BLOCKSIZE);
      long long at = hsize + (blocks - 1) * DB_BLOCKSIZE;
      ok = fs->Read(fd, buf.data(), buf.size(), at) == DB_BLOCKSIZE;
      out->lastBlockSum = ok ? DBJournal::Checksum(0, buf.data(), buf.size()) : 0;
    }
  }
  fs->Close(fd);
  return ok;
}

DBSideFile::Status DBSideFile::Load(const DBFile& file, const Probe& probe, const char** why) {
  const char* dummy;
  if (why == nullptr) why = &dummy;
  DBFileSystem* fs = file.FS();
  int fd = fs->Open(file.IndexPath(), kDBReadBeside, 0);
  if (fd < 0) {
    *why = "missing";
    return kMissing;
  }
  // The longest index file of a database of this size: every page full of records of one
  // cell each. A longer file is refused before it is read.
  uint64_t dbsize = probe.stamp.size > 0 ? static_cast<uint64_t>(probe.stamp.size) : 0;
  uint64_t blocks = dbsize / DB_BLOCKSIZE + 1;
  uint64_t longest = kHeadSize + 4 + blocks * (kPageSize + 4ull * DB_BLOCKCELLS);
  DBFileStamp st;
  std::vector<unsigned char> bytes;
  bool read = fs->Stamp(fd, &st) && st.size >= 0;
  if (read && static_cast<uint64_t>(st.size) > longest) {
    fs->Close(fd);
    *why = "too long for the database";
    return kDamaged;
  }
  // Only a writer of the database makes its index file: its owner, or the user opening it.
  // Another user of the folder could put there one made to match what stat tells.
  if (read && st.owner >= 0 && st.owner != probe.stamp.owner &&
      st.owner != static_cast<long long>(geteuid())) {
    fs->Close(fd);
    *why = "made by another user";
    return kDamaged;
  }
  if (read) {
    bytes.resize(static_cast<size_t>(st.size));
    read = fs->Read(fd, bytes.data(), bytes.size(), 0) == st.size;
  }
  fs->Close(fd);
  if (!read) {
    *why = "unreadable";
    return kDamaged;
  }
  if (!Parse(bytes.data(), bytes.size(), why)) return kDamaged;
  if (stamp.size != probe.stamp.size) {
    *why = "database size differs";
    return kStale;
  }
  if (stamp.mtimeNs != probe.stamp.mtimeNs || stamp.ctimeNs != probe.stamp.ctimeNs) {
    *why = "database modification time differs";
    return kStale;
  }
  if (stamp.ino != probe.stamp.ino || stamp.dev != probe.stamp.dev) {
    *why = "another database file";
    return kStale;
  }
  if (headerSum != probe.headerSum || lastBlockSum != probe.lastBlockSum) {
    *why = "database content differs";
    return kStale;
  }
  return kValid;
}

bool DBSideFile::Save(const DBFile& file, int mode) const {
  std::vector<unsigned char> bytes;
  Compose(&bytes);
  DBFileSystem* fs = file.FS();
  // A new file of this process's own, as private as the database, written and synced before
  // it takes the index file's name.
  std::string tmp;
  int fd = file.CreateNew(file.IndexTempPath(), O_WRONLY, mode & 0666, &tmp);
  if (fd < 0) return false;
  bool ok = fs->Write(fd, bytes.data(), bytes.size(), 0) == static_cast<long long>(bytes.size()) &&
            fs->Sync(fd);
  fs->Close(fd);
  if (ok) ok = fs->Rename(tmp, file.IndexPath());
  if (!ok) fs->Remove(tmp);
  return ok;
}

bool DBSideFile::Remove(const DBFile& file) {
  DBFileSystem* fs = file.FS();
  // Whatever stands at the name goes: a link or another file put there is no index file.
  int fd = fs->Open(file.IndexPath(), kDBReadBeside, 0);
  if (fd < 0 && errno == ENOENT) return true;
  if (fd >= 0) fs->Close(fd);
  if (fs->Remove(file.IndexPath()) || errno == ENOENT) return true;
  // What another user put there, in a folder where only its owner may remove it (sticky, as
  // /tmp is), is no writer's index file: never trusted (Load), it tells nothing of the database.
  const int err = errno;
  struct stat st, db;
  if (::lstat(file.IndexPath().c_str(), &st) == 0 && st.st_uid != geteuid() &&
      ::stat(file.Path().c_str(), &db) == 0 && st.st_uid != db.st_uid)
    return true;
  errno = err;
  return false;
}
