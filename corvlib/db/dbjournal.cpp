// The rollback journal: saving original bytes, committing, and playing back a hot journal.
#include "db/dbjournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "db/dbbytes.h"
#include "db/dbsidefile.h"
#include "support/dmessage.h"

namespace {

using dbbytes::Get32;
using dbbytes::Get64;
using dbbytes::Put32;
using dbbytes::Put64;

const char kMagic[8] = {'Q', 'R', 'D', 'B', 'j', 'n', 'l', '1'};
constexpr size_t kHeadSize = 24;
constexpr size_t kRecordHead = 16;
// Unit of comparing, saving and writing.
constexpr size_t kChunk = 4096;
// Longest record playback accepts: a database block or a header is far smaller.
constexpr uint32_t kMaxRecord = 1u << 26;

uint32_t NewSalt() {
  static uint32_t counter = 0;
  uint64_t t = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  uint64_t x = t ^ (static_cast<uint64_t>(getpid()) << 32) ^ (++counter * 0x9E3779B97F4A7C15ull);
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  return static_cast<uint32_t>(x) | 1u;
}

// Appends one record (head, bytes, checksum) to out.
void AppendRecord(std::vector<unsigned char>* out, uint32_t salt, uint64_t off, uint32_t seq,
                  const unsigned char* data, uint32_t n) {
  size_t at = out->size();
  out->resize(at + kRecordHead + n + 4);
  unsigned char* p = out->data() + at;
  Put64(p, off);
  Put32(p + 8, n);
  Put32(p + 12, seq);
  memcpy(p + kRecordHead, data, n);
  uint32_t h = DBJournal::Checksum(salt, p, kRecordHead + n);
  Put32(p + kRecordHead + n, h);
}

}  // namespace

uint32_t DBJournal::Checksum(uint32_t h, const void* data, size_t n) {
  // Eight bytes at a time through a 64-bit multiply-xor mix; the tail byte by byte.
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint64_t x = 0x9E3779B97F4A7C15ull ^ h ^ (static_cast<uint64_t>(n) << 32);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    memcpy(&w, p + i, 8);
    x = (x ^ w) * 0x100000001B3ull;
    x ^= x >> 29;
  }
  for (; i < n; i++) x = (x ^ p[i]) * 0x100000001B3ull;
  x ^= x >> 32;
  x *= 0xD6E8FEB86659FD93ull;
  x ^= x >> 32;
  return static_cast<uint32_t>(x);
}

DBJournal::DBJournal(const DBFile& f) : file(f), fs(f.FS()) {}

DBJournal::~DBJournal() {
  if (jfd >= 0) fs->Close(jfd);
  if (dbfd >= 0) fs->Close(dbfd);
}

bool DBJournal::Fail(const char* what) {
  DMESSAGE(DMCsystem, "Database journal: %s", what);
  return false;
}

bool DBJournal::OpenDatabase() {
  if (dbfd < 0) dbfd = fs->Open(file.Path(), O_RDWR, 0);
  return dbfd >= 0 || Fail("cannot open the database for writing");
}

bool DBJournal::Begin() {
  if (leftover && !RemoveJournal()) return false;
  if (!fs->Stat(dbfd, &origSize, &mode)) return Fail("cannot read the database size");
  salt = NewSalt();
  seq = 0;
  jend = 0;
  saved.clear();
  return true;
}

// The header of a new journal, in front of its first records.
void DBJournal::Head(std::vector<unsigned char>* out) const {
  unsigned char head[kHeadSize];
  memcpy(head, kMagic, 8);
  Put32(head + 8, salt);
  Put64(head + 12, static_cast<uint64_t>(origSize));
  Put32(head + 20, Checksum(0, head, 20));
  out->insert(out->begin(), head, head + kHeadSize);
}

void DBJournal::Abandon() {
  fs->Close(jfd);
  jfd = -1;
  saved.clear();
  if (fs->Remove(file.JournalPath())) fs->SyncDir(file.Dir());
}

bool DBJournal::Update(const std::vector<Piece>& pieces) {
  if (!OpenDatabase()) return false;
  bool fresh = jfd < 0;
  if (fresh && !Begin()) return false;
  uint32_t next = seq;
  // The chunks to write, and the records saving those that need it.
  struct Chunk {
    long long off;
    const unsigned char* data;
    size_t n;
  };
  std::vector<Chunk> chunks;
  std::vector<unsigned char> out;
  std::vector<unsigned char> now;
  std::vector<long long> done;
  for (const Piece& p : pieces) {
    now.resize(p.n);
    long long got = fs->Read(dbfd, now.data(), p.n, p.off);
    if (got < 0) return Fail("database read error while saving to the journal");
    const unsigned char* data = static_cast<const unsigned char*>(p.data);
    // Chunks end at the file's 4 KiB boundaries, so that a changed chunk dirties one page.
    for (size_t c = 0, n = 0; c < p.n; c += n) {
      long long off = p.off + static_cast<long long>(c);
      n = kChunk - static_cast<size_t>(off % static_cast<long long>(kChunk));
      if (n > p.n - c) n = p.n - c;
      size_t have = got > static_cast<long long>(c) ? static_cast<size_t>(got) - c : 0;
      if (have >= n && memcmp(now.data() + c, data + c, n) == 0) continue;
      if (!chunks.empty() && chunks.back().off + static_cast<long long>(chunks.back().n) == off &&
          chunks.back().data + chunks.back().n == data + c)
        chunks.back().n += n;
      else
        chunks.push_back({off, data + c, n});
      // A chunk not saved yet was not written in this sync: its present bytes are the
      // original ones. Bytes beyond the old end need no saving: playback cuts them away.
      if (off >= origSize || saved.count(off) != 0) continue;
      size_t keep = have < n ? have : n;
      if (off + static_cast<long long>(keep) > origSize) keep = static_cast<size_t>(origSize - off);
      done.push_back(off);
      AppendRecord(&out, salt, static_cast<uint64_t>(off), next++, now.data() + c,
                   static_cast<uint32_t>(keep));
    }
  }
  if (chunks.empty()) return true;  // the file holds every piece already
  if (fresh) {
    jfd = fs->Open(file.JournalPath(), O_RDWR | O_CREAT | O_EXCL, mode & 0666);
    if (jfd < 0) return Fail("cannot create the journal (a journal may be left from a crash)");
    Head(&out);
  }
  const char* error = nullptr;
  if (!out.empty() &&
      fs->Write(jfd, out.data(), out.size(), jend) != static_cast<long long>(out.size()))
    error = "journal write error";
  if (error == nullptr && (!out.empty() || fresh) && !fs->Sync(jfd)) error = "journal sync error";
  // The index file describes the database as it is before this sync: it goes, and its
  // removal is made durable with the new journal's name, before the database is touched (an
  // index file left would be trusted while the file's stamp did not change).
  if (error == nullptr && fresh && !DBSideFile::Remove(file))
    error = "cannot remove the index file";
  // A new journal's name must be durable too before the database is touched.
  if (error == nullptr && fresh && !fs->SyncDir(file.Dir())) error = "folder sync error";
  if (error != nullptr) {
    // Nothing saved here counts; a journal that guards no write yet goes.
    if (fresh) Abandon();
    return Fail(error);
  }
  jend += static_cast<long long>(out.size());
  seq = next;
  saved.insert(done.begin(), done.end());
  for (const Chunk& c : chunks)
    if (fs->Write(dbfd, c.data, c.n, c.off) != static_cast<long long>(c.n))
      return Fail("database write error");
  return true;
}

bool DBJournal::Commit() {
  if (jfd < 0) return !leftover || RemoveJournal();
  if (!fs->Sync(dbfd)) return Fail("database sync error");
  fs->Close(jfd);
  jfd = -1;
  saved.clear();
  // Until the journal is gone the next open would undo this sync: the next sync tries again.
  leftover = true;
  return RemoveJournal();
}

bool DBJournal::RemoveJournal() {
  if (!fs->Remove(file.JournalPath())) return Fail("cannot remove the journal");
  leftover = false;
  if (!fs->SyncDir(file.Dir())) return Fail("folder sync error");
  return true;
}

DBJournal::Recovery DBJournal::Recover(const DBFile& file, bool readonly) {
  DBFileSystem* fs = file.FS();
  int jfd = fs->Open(file.JournalPath(), O_RDONLY, 0);
  if (jfd < 0) return kClean;
  long long jsize = 0;
  int mode = 0;
  std::vector<unsigned char> j;
  if (fs->Stat(jfd, &jsize, &mode) && jsize > 0) {
    j.resize(static_cast<size_t>(jsize));
    if (fs->Read(jfd, j.data(), j.size(), 0) != jsize) j.clear();
  }
  fs->Close(jfd);
  bool hot = j.size() >= kHeadSize && memcmp(j.data(), kMagic, 8) == 0 &&
             Get32(j.data() + 20) == Checksum(0, j.data(), 20);
  if (!hot) {
    // Cut before its header was durable: the database was not touched yet.
    if (!readonly) {
      DMESSAGE(DMCwarning, "Incomplete database journal removed");
      if (fs->Remove(file.JournalPath())) fs->SyncDir(file.Dir());
    }
    return kClean;
  }
  uint32_t salt = Get32(j.data() + 8);
  long long size = static_cast<long long>(Get64(j.data() + 12));
  int dbfd = fs->Open(file.Path(), O_RDWR, 0);
  if (dbfd < 0 || size < 0) {
    if (dbfd >= 0) fs->Close(dbfd);
    DMESSAGE(DMCdata, "Database has a journal of an incomplete sync that cannot be played back");
    return kRefused;
  }
  bool ok = true;
  size_t pos = kHeadSize;
  for (uint32_t seq = 0; ok && j.size() - pos >= kRecordHead + 4; seq++) {
    const unsigned char* r = j.data() + pos;
    uint64_t off = Get64(r);
    uint32_t n = Get32(r + 8);
    if (n > kMaxRecord || Get32(r + 12) != seq || j.size() - pos - kRecordHead - 4 < n) break;
    if (Get32(r + kRecordHead + n) != Checksum(salt, r, kRecordHead + n)) break;
    if (off > static_cast<uint64_t>(size)) break;
    if (fs->Write(dbfd, r + kRecordHead, n, static_cast<long long>(off)) != n) ok = false;
    pos += kRecordHead + n + 4;
  }
  ok = ok && fs->Truncate(dbfd, size) && fs->Sync(dbfd);
  fs->Close(dbfd);
  if (!ok || !fs->Remove(file.JournalPath())) {
    DMESSAGE(DMCdata, "Database has a journal of an incomplete sync that cannot be played back");
    return kRefused;
  }
  // An index file cannot be of the restored state (syncs remove it first); one left by some
  // other writer goes too.
  DBSideFile::Remove(file);
  fs->SyncDir(file.Dir());
  DMESSAGE(DMCwarning, "Database restored from its journal to the last complete sync");
  return kPlayedBack;
}
