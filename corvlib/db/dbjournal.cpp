// The rollback journal: saving original bytes, committing, checking a journal found beside a
// database, and playing back a hot one.
#include "db/dbjournal.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "db/dbbytes.h"
#include "db/dbsidefile.h"
#include "db/dbblock.h"
#include "support/dmessage.h"
#include "support/pwork.h"

namespace {

using dbbytes::Get32;
using dbbytes::Get64;
using dbbytes::Put32;
using dbbytes::Put64;

const char kMagic[8] = {'Q', 'R', 'D', 'B', 'j', 'n', 'l', '2'};
const char kOldMagic[8] = {'Q', 'R', 'D', 'B', 'j', 'n', 'l', '1'};
constexpr size_t kSlotSize = 20;
constexpr size_t kSlotAt[2] = {52, 72};
constexpr size_t kHeadSize = 96;
constexpr size_t kRecordHead = 16;
// Unit of comparing, saving and writing.
constexpr size_t kChunk = 4096;
// How long a writer waits for the locks before the sync fails (another process plays back a
// journal, or readers are reading), and how long an opener takes owner to be held by a sync.
constexpr double kWriterWait = 10.0;
constexpr double kOwnerProbe = 0.1;
// The most header bytes a journal may name (the longest HeaderSize).
constexpr uint32_t kMaxChecked = 1u << 24;

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

uint32_t SlotSum(uint32_t salt, size_t at, const unsigned char* slot) {
  return DBJournal::Checksum(salt ^ static_cast<uint32_t>(at * 0x9E3779B1u), slot, 16);
}

// Takes a lock, trying again for up to seconds. The wait is for another process (a reader
// stopped in the middle of its read, say): the program's windows stay painted meanwhile
// (PWorkWait), or, where they cannot be, the wait is turned away early and *away (when given)
// set.
bool Acquire(DBFileSystem* fs, int fd, long long byte, DBFileSystem::LockKind kind, double seconds,
             bool* away = nullptr) {
  if (fs->Lock(fd, byte, kind)) return true;
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  long nap = 200000;  // ns
  PWorkWait wait;
  while (std::chrono::steady_clock::now() < until) {
    struct timespec ts = {0, nap};
    nanosleep(&ts, nullptr);
    if (nap < 10000000) nap *= 2;
    if (fs->Lock(fd, byte, kind)) return true;
    if (!wait.Step()) break;
  }
  if (away != nullptr) *away = wait.TurnedAway();
  return false;
}

// Whether another open holds owner, looking again for up to seconds (an opener examining a
// journal holds it only briefly).
bool OwnerHeld(DBFileSystem* fs, int fd, double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  long nap = 200000;  // ns
  PWorkWait wait;
  while (fs->Locked(fd, DBJournal::kOwnerByte, DBFileSystem::kShared)) {
    if (std::chrono::steady_clock::now() >= until) return true;
    struct timespec ts = {0, nap};
    nanosleep(&ts, nullptr);
    if (nap < 10000000) nap *= 2;
    // Turned away, it is taken as held.
    if (!wait.Step()) return true;
  }
  return false;
}

// The identity of the file open at fd: device and inode (0 and 0 when the layer has none).
void Identity(DBFileSystem* fs, int fd, uint64_t* dev, uint64_t* ino) {
  DBFileStamp st;
  *dev = *ino = 0;
  if (fs->Stamp(fd, &st)) {
    *dev = st.dev;
    *ino = st.ino;
  }
}

// Why the journal open at jfd cannot have been made by a writer of the database open at
// dbfd (the reason, in words), or empty when it can.
std::string NoWritersJournal(DBFileSystem* fs, int jfd, int dbfd) {
  DBFileStamp j, db;
  if (!fs->Stamp(jfd, &j) || !fs->Stamp(dbfd, &db) || j.owner < 0)
    return "its owner cannot be told";
  if (!j.regular) return "not a regular file";
  // A file system that counts no links shows none.
  if (j.names > 1) return "a file with other names";
  if (j.owner != db.owner && j.owner != static_cast<long long>(geteuid()))
    return "made by " + DBUserNamed(j.owner);
  return std::string();
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

// ---------------------------------------------------------------------------------------
// Writing

DBJournal::DBJournal(const DBFile& f, long long hsize) : file(f), fs(f.FS()), headerSize(hsize) {}

DBJournal::~DBJournal() {
  if (jfd >= 0) fs->Close(jfd);
  if (dbfd >= 0) fs->Close(dbfd);
}

bool DBJournal::Fail(const char* what, int err) {
  // what names the file with "%s"; the system's reason follows.
  std::string msg(what);
  size_t at = msg.find("%s");
  if (at != std::string::npos) msg.replace(at, 2, "\"" + file.Path() + "\"");
  if (err != 0) msg += std::string(": ") + strerror(err);
  lastErrno = err;
  lastError = std::move(msg);
  failed = true;
  return false;
}

double DBJournal::LockWait() const {
  return !turnAway ? kWriterWait : waitedOut ? 0 : kTurnAwayWait;
}

bool DBJournal::Held(const char* what, bool away) {
  if (turnAway) turnedAway = waitedOut = true;
  if (away) turnedAway = true;
  return Fail(what, 0);
}

bool DBJournal::OpenDatabase() {
  if (dbfd < 0) dbfd = fs->Open(file.Path(), O_RDWR, 0);
  return dbfd >= 0 || Fail("Cannot open %s for writing", errno);
}

void DBJournal::Unlock() {
  if (writing) {
    fs->Lock(dbfd, kWriteByte, DBFileSystem::kUnlock);
    fs->Lock(dbfd, kIntentByte, DBFileSystem::kUnlock);
  }
  if (owner) fs->Lock(dbfd, kOwnerByte, DBFileSystem::kUnlock);
  writing = owner = false;
}

bool DBJournal::Begin() {
  if (leftover && !RemoveJournal()) return false;
  if (!fs->Stat(dbfd, &origSize, &mode)) return Fail("Cannot read the size of %s", errno);
  salt = NewSalt();
  seq = 0;
  gen = 0;
  jend = 0;
  grownTo = origSize;
  saved.clear();
  return true;
}

void DBJournal::Slot(unsigned char* out, uint32_t g, uint32_t count, long long grown,
                     int which) const {
  Put32(out, g);
  Put32(out + 4, count);
  Put64(out + 8, static_cast<uint64_t>(grown));
  Put32(out + 16, SlotSum(salt, kSlotAt[which], out));
}

bool DBJournal::Create(const std::vector<unsigned char>& records) {
  // Who the journal belongs to: the file, its size and its first bytes as the sync starts.
  uint64_t dev, ino;
  Identity(fs, dbfd, &dev, &ino);
  long long n = headerSize < origSize ? headerSize : origSize;
  if (n < 0) n = 0;
  std::vector<unsigned char> first(static_cast<size_t>(n));
  if (n > 0 && fs->Read(dbfd, first.data(), first.size(), 0) != n)
    return Fail("Cannot read %s", errno);
  std::vector<unsigned char> out(kHeadSize, 0);
  unsigned char* head = out.data();
  memcpy(head, kMagic, 8);
  Put32(head + 8, salt);
  Put32(head + 12, static_cast<uint32_t>(DB_BLOCKSIZE));
  Put64(head + 16, dev);
  Put64(head + 24, ino);
  Put64(head + 32, static_cast<uint64_t>(origSize));
  Put32(head + 40, static_cast<uint32_t>(n));
  Put32(head + 44, Checksum(0, first.data(), first.size()));
  Put32(head + 48, Checksum(0, head, 48));
  Slot(head + kSlotAt[0], 1, seq, grownTo, 0);
  out.insert(out.end(), records.begin(), records.end());

  // Whole and durable under the temporary name, then under its own. The file is new and this
  // process's own, as private as the database: what stood at the temporary name (left by a
  // crash, or put there by another user of the folder) is never written through.
  std::string temp;
  const char* error = nullptr;
  std::string taken;  // what holds the journal's name, when it is another user's
  int err = 0;
  jfd = file.CreateNew(file.JournalTempPath(), O_RDWR, mode & 0666, &temp);
  if (jfd < 0) return Fail("Cannot create the journal of %s", errno);
  if (fs->Write(jfd, out.data(), out.size(), 0) != static_cast<long long>(out.size()))
    error = "Cannot write the journal of %s";
  else if (!fs->Sync(jfd))
    error = "Cannot write the journal of %s";
  if (error != nullptr) err = errno;
  if (error == nullptr) {
    // Nobody else makes a journal without owner: one there is left from a crash.
    int other = fs->Open(file.JournalPath(), kDBReadBeside, 0);
    if (other >= 0) {
      DBFileStamp st;
      if (fs->Stamp(other, &st) && st.owner >= 0 && st.owner != static_cast<long long>(geteuid()))
        taken = "The name of the journal of %s is taken by '" + file.JournalPath() +
                "', a file of " + DBUserNamed(st.owner);
      fs->Close(other);
      error = taken.empty() ? "A journal of an earlier sync lies beside %s" : taken.c_str();
    }
  }
  bool named = false;
  if (error == nullptr) {
    named = fs->Rename(temp, file.JournalPath());
    if (!named) {
      error = "Cannot name the journal of %s";
      err = errno;
    }
  }
  // The index file describes the database as it is before this sync: it goes, and its
  // removal is made durable with the journal's name, before the database is touched (an
  // index file left would be trusted while the file's stamp did not change).
  if (error == nullptr && !DBSideFile::Remove(file)) {
    error = "Cannot remove the index file of %s";
    err = errno;
  }
  if (error == nullptr && !fs->SyncDir(file.Dir())) {
    error = "Cannot sync the folder of %s";
    err = errno;
  }
  if (error != nullptr) {
    fs->Close(jfd);
    jfd = -1;
    fs->Remove(named ? file.JournalPath() : temp);
    if (named) fs->SyncDir(file.Dir());
    return Fail(error, err);
  }
  gen = 1;
  last = 0;
  jend = static_cast<long long>(out.size());
  return true;
}

bool DBJournal::Append(const std::vector<unsigned char>& records, uint32_t count, long long grown) {
  if (!records.empty()) {
    if (fs->Write(jfd, records.data(), records.size(), jend) !=
        static_cast<long long>(records.size()))
      return Fail("Cannot write the journal of %s", errno);  // the next pieces go over these
    // Written, they stay where they are (a count may name them): a piece saved twice holds
    // the same original bytes.
    jend += static_cast<long long>(records.size());
    seq = count;
    if (!fs->Sync(jfd)) return Fail("Cannot write the journal of %s", errno);
  }
  // The pieces are durable before the count that names them. The slot written is not the one
  // that holds the count, so a torn write leaves that count; its generation is used up even
  // when the write fails, since it may have landed, and a slot whose write failed is the one
  // written again (the other still holds the last count that was made durable).
  unsigned char slot[kSlotSize];
  int which = 1 - last;
  Slot(slot, ++gen, count, grown, which);
  if (fs->Write(jfd, slot, sizeof(slot), static_cast<long long>(kSlotAt[which])) !=
          static_cast<long long>(sizeof(slot)) ||
      !fs->Sync(jfd))
    return Fail("Cannot write the journal of %s", errno);
  // This slot holds the count now; the next goes to the other one.
  last = which;
  return true;
}

void DBJournal::Abandon() {
  fs->Close(jfd);
  jfd = -1;
  saved.clear();
  if (fs->Remove(file.JournalPath())) fs->SyncDir(file.Dir());
  Unlock();
}

bool DBJournal::Update(const std::vector<Piece>& pieces) {
  failed = false;
  turnedAway = false;
  // Nothing to write touches nothing: a file that cannot be reached now (its disk taken away)
  // still holds every sync that completed.
  if (pieces.empty()) return true;
  if (!OpenDatabase()) return false;
  bool fresh = jfd < 0;
  if (fresh && !Begin()) return false;
  uint32_t next = seq;
  long long grown = grownTo;
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
    if (got < 0) return Fail("Cannot read %s", errno);
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
      if (off + static_cast<long long>(n) > grown) grown = off + static_cast<long long>(n);
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
  // A wait for a lock that the program could not keep its windows painted through was turned
  // away (PWorkWait).
  bool away = false;
  if (fresh) {
    if (!Acquire(fs, dbfd, kOwnerByte, DBFileSystem::kExclusive, LockWait(), &away))
      return Held("Another process is writing %s", away);
    owner = true;
    // Turned away, a sync writes nothing: a reader in the middle of its read is found before
    // the journal is made.
    if (turnAway && fs->Locked(dbfd, kWriteByte, DBFileSystem::kExclusive)) {
      Unlock();
      return Held("Other processes are reading %s");
    }
    seq = next;
    grownTo = grown;
    if (!Create(out)) {
      Unlock();
      return false;
    }
  } else if (next != seq || grown > grownTo) {
    if (!Append(out, next, grown)) return false;
  }
  seq = next;
  grownTo = grown;
  saved.insert(done.begin(), done.end());
  if (!writing) {
    // Readers see intent and read around the journal; the ones reading now finish first.
    if (!fs->Lock(dbfd, kIntentByte, DBFileSystem::kExclusive) ||
        !Acquire(fs, dbfd, kWriteByte, DBFileSystem::kExclusive, LockWait(), &away)) {
      fs->Lock(dbfd, kIntentByte, DBFileSystem::kUnlock);
      // The journal guards no write yet.
      Abandon();
      return Held("Other processes are reading %s", away);
    }
    writing = true;
  }
  for (const Chunk& c : chunks)
    if (fs->Write(dbfd, c.data, c.n, c.off) != static_cast<long long>(c.n))
      return Fail("Cannot write %s", errno);
  return true;
}

bool DBJournal::Commit() {
  failed = false;
  if (jfd < 0) return !leftover || RemoveJournal();
  if (!fs->Sync(dbfd)) return Fail("Cannot write %s", errno);
  // The sync is complete once its journal is gone; a journal that cannot be removed leaves
  // the sync open, to be put back (the next open would undo it).
  const bool removed = RemoveJournal();
  if (!removed && Wrote()) return false;
  fs->Close(jfd);
  jfd = -1;
  saved.clear();
  return removed;
}

bool DBJournal::Rollback() {
  if (!Wrote()) return true;
  // The locks stay held throughout: no reader sees the file between the two states.
  DBJournalScan scan;
  if (scan.Scan(fs, jfd, dbfd, false) != DBJournalScan::kGood)
    return Fail(("Cannot put %s back from its journal (" + scan.why + ")").c_str(), 0);
  if (!scan.PlayBack(fs, jfd, dbfd)) return Fail("Cannot put %s back from its journal", errno);
  fs->Close(jfd);
  jfd = -1;
  saved.clear();
  // The file is whole again, and stays so if the journal is played back once more: one that
  // cannot be removed now is removed before the next sync.
  leftover = true;
  RemoveJournal();
  return true;
}

bool DBJournal::Discard() {
  if (jfd >= 0 && !writing) {  // the file was not touched: the journal goes
    Abandon();
    return true;
  }
  const bool whole = Rollback();
  if (jfd >= 0) {  // not put back: the journal stays hot for the next open
    fs->Close(jfd);
    jfd = -1;
    saved.clear();
  } else if (leftover) {
    // A sync completed or put back whose journal could not be removed: the file holds a sync
    // whole, and so it does when the journal goes now or when the next open plays it back.
    RemoveJournal();
  }
  Unlock();
  return whole;
}

bool DBJournal::RemoveJournal() {
  if (!fs->Remove(file.JournalPath())) {
    const int err = errno;
    // A journal someone else removed is gone all the same.
    int fd = fs->Open(file.JournalPath(), kDBReadBeside, 0);
    if (fd >= 0) {
      fs->Close(fd);
      return Fail("Cannot remove the journal of %s", err);
    }
  }
  leftover = false;
  bool synced = fs->SyncDir(file.Dir());
  int err = errno;
  Unlock();
  return synced || Fail("Cannot sync the folder of %s", err);
}

// ---------------------------------------------------------------------------------------
// Checking a journal

DBJournalScan::Verdict DBJournalScan::Set(Verdict v, std::string w) {
  verdict = v;
  why = std::move(w);
  return v;
}

bool DBJournalScan::ReadPieces(DBFileSystem* fs, int jfd, long long jsize) {
  // Whole pieces from where the last scan stopped; a piece cut short or failing its checksum
  // ends the scan (the next one reads it again: a live journal may be being appended to).
  std::vector<unsigned char> buf;
  while (scanned < jsize) {
    size_t want = static_cast<size_t>(jsize - scanned < (4 << 20) ? jsize - scanned : (4 << 20));
    buf.resize(want);
    long long got = fs->Read(jfd, buf.data(), want, scanned);
    if (got < 0) return false;
    size_t pos = 0;
    while (static_cast<size_t>(got) - pos >= kRecordHead + 4) {
      const unsigned char* r = buf.data() + pos;
      uint64_t off = Get64(r);
      uint32_t n = Get32(r + 8);
      if (n > kChunk || Get32(r + 12) != static_cast<uint32_t>(pieces.size())) return true;
      if (static_cast<size_t>(got) - pos - kRecordHead - 4 < n) break;
      if (Get32(r + kRecordHead + n) != DBJournal::Checksum(salt, r, kRecordHead + n)) return true;
      if (off > static_cast<uint64_t>(origSize) || origSize - static_cast<long long>(off) < n)
        return true;
      long long at = scanned + static_cast<long long>(pos + kRecordHead);
      byOffset[static_cast<long long>(off)] = pieces.size();
      pieces.push_back({static_cast<long long>(off), n, at});
      pos += kRecordHead + n + 4;
    }
    if (pos == 0) return true;  // what is left is not a whole piece
    scanned += static_cast<long long>(pos);
  }
  return true;
}

DBJournalScan::Verdict DBJournalScan::Scan(DBFileSystem* fs, int jfd, int dbfd, bool found) {
  if (found) {
    const std::string reason = NoWritersJournal(fs, jfd, dbfd);
    if (!reason.empty()) return Set(kForeign, reason);
  }
  long long jsize = 0;
  int mode = 0;
  if (!fs->Stat(jfd, &jsize, &mode)) return Set(kDamaged, "it cannot be read");
  unsigned char head[kHeadSize];
  size_t want = jsize < static_cast<long long>(kHeadSize) ? static_cast<size_t>(jsize) : kHeadSize;
  if (fs->Read(jfd, head, want, 0) != static_cast<long long>(want))
    return Set(kDamaged, "it cannot be read");
  if (want >= 8 && memcmp(head, kOldMagic, 8) == 0) return Set(kForeign, "of an older layout");
  if (want >= 8 && memcmp(head, kMagic, 8) != 0) return Set(kForeign, "not a database journal");
  if (want < kHeadSize) return Set(kDamaged, "cut short in its header");
  if (Get32(head + 48) != DBJournal::Checksum(0, head, 48))
    return Set(kDamaged, "its header fails its checksum");
  uint32_t s = Get32(head + 8);
  if (!known || s != salt) {
    // Another journal than the one scanned before: everything is learnt again.
    known = true;
    salt = s;
    pieces.clear();
    byOffset.clear();
    scanned = static_cast<long long>(kHeadSize);
    headerCheck = 0;
    origSize = static_cast<long long>(Get64(head + 32));
    checkedBytes = Get32(head + 40);
    headerSum = Get32(head + 44);
  }
  if (Get32(head + 12) != static_cast<uint32_t>(DB_BLOCKSIZE))
    return Set(kForeign, "of another block size");
  uint64_t dev, ino;
  Identity(fs, dbfd, &dev, &ino);
  if (Get64(head + 16) != dev || Get64(head + 24) != ino)
    return Set(kForeign, "of another database file");
  if (origSize < 0 || checkedBytes > static_cast<uint64_t>(origSize) || checkedBytes > kMaxChecked)
    return Set(kDamaged, "its header is inconsistent");
  // The count: the slot of the higher generation that holds.
  uint32_t bestGen = 0;
  long long grown = 0;
  for (int k = 0; k < 2; k++) {
    const unsigned char* sl = head + kSlotAt[k];
    uint32_t g = Get32(sl);
    if (g == 0 || g <= bestGen || Get32(sl + 16) != SlotSum(salt, kSlotAt[k], sl)) continue;
    bestGen = g;
    count = Get32(sl + 4);
    grown = static_cast<long long>(Get64(sl + 8));
  }
  if (bestGen == 0) return Set(kDamaged, "no count of its pieces holds");
  // The file's first bytes are read before the pieces that may have saved them: a writer
  // changes a byte only after its piece is in the journal.
  std::vector<unsigned char> first;
  if (headerCheck == 0 && checkedBytes > 0) {
    first.resize(checkedBytes);
    if (fs->Read(dbfd, first.data(), first.size(), 0) != static_cast<long long>(first.size()))
      first.clear();
  }
  if (!ReadPieces(fs, jfd, jsize)) return Set(kDamaged, "it cannot be read");
  if (pieces.size() < count)
    return Set(kDamaged, "it holds " + std::to_string(pieces.size()) + " of the " +
                             std::to_string(count) + " pieces it counts");
  long long size = 0;
  if (!fs->Stat(dbfd, &size, &mode)) return Set(kDamaged, "the database cannot be read");
  if (size < origSize || size > (grown > origSize ? grown : origSize))
    return Set(kForeign, "the database's size is not one its sync made");
  if (headerCheck == 0) {
    bool same = first.size() == checkedBytes && Overlay(fs, jfd, 0, first.data(), first.size()) &&
                DBJournal::Checksum(0, first.data(), first.size()) == headerSum;
    headerCheck = same ? 1 : -1;
  }
  if (headerCheck < 0)
    return Set(kForeign, "the database's header is not the one its sync began with");
  return Set(kGood, "");
}

bool DBJournalScan::Overlay(DBFileSystem* fs, int jfd, long long off, unsigned char* buf,
                            size_t n) const {
  long long endAt = off + static_cast<long long>(n);
  for (auto it = byOffset.lower_bound(off - static_cast<long long>(kChunk) + 1);
       it != byOffset.end() && it->first < endAt; ++it) {
    const Piece& p = pieces[it->second];
    long long from = p.off > off ? p.off : off;
    long long to = p.off + p.n < endAt ? p.off + p.n : endAt;
    if (to <= from) continue;
    size_t k = static_cast<size_t>(to - from);
    if (fs->Read(jfd, buf + (from - off), k, p.at + (from - p.off)) != static_cast<long long>(k))
      return false;
  }
  return true;
}

bool DBJournalScan::PlayBack(DBFileSystem* fs, int jfd, int dbfd) const {
  std::vector<unsigned char> bytes;
  for (uint32_t i = 0; i < count; i++) {
    const Piece& p = pieces[i];
    if (p.n == 0) continue;  // a piece of a chunk past the file's old end saves nothing
    bytes.resize(p.n);
    if (fs->Read(jfd, bytes.data(), p.n, p.at) != static_cast<long long>(p.n) ||
        fs->Write(dbfd, bytes.data(), p.n, p.off) != static_cast<long long>(p.n))
      return false;
  }
  return fs->Truncate(dbfd, origSize) && fs->Sync(dbfd);
}

// ---------------------------------------------------------------------------------------
// Opening

DBJournal::Recovery DBJournal::Recover(const DBFile& file, bool readonly) {
  DBFileSystem* fs = file.FS();
  const std::string jpath = file.JournalPath();
  int jfd = fs->Open(jpath, kDBReadBeside, 0);
  if (jfd < 0) {
    // No journal. A writable open of a file whose sync another process owns opens read-only.
    if (readonly) return kClean;
    int fd = fs->Open(file.Path(), O_RDONLY, 0);
    bool live = fd >= 0 && OwnerHeld(fs, fd, kOwnerProbe);
    if (fd >= 0) fs->Close(fd);
    if (!live) return kClean;
    DMESSAGE(DMCwarning, "Database '%s' is being written by another process: opened read-only",
             file.Path().c_str());
    return kLive;
  }
  fs->Close(jfd);
  // The database is opened for writing when it can be: playing back needs it, and so does
  // taking owner.
  bool canWrite = true;
  int dbfd = fs->Open(file.Path(), O_RDWR, 0);
  if (dbfd < 0) {
    canWrite = false;
    dbfd = fs->Open(file.Path(), O_RDONLY, 0);
  }
  if (dbfd < 0) return kClean;  // the open fails on its own
  // A journal whose sync a live process owns is left alone.
  bool mine = canWrite ? Acquire(fs, dbfd, kOwnerByte, DBFileSystem::kExclusive, kOwnerProbe)
                       : !OwnerHeld(fs, dbfd, kOwnerProbe);
  if (!mine) {
    fs->Close(dbfd);
    if (!readonly)
      DMESSAGE(DMCwarning, "Database '%s' is being written by another process: opened read-only",
               file.Path().c_str());
    return kLive;
  }
  // The journal is examined, and played back, while nobody reads or writes the file.
  bool locked = canWrite && fs->Lock(dbfd, kIntentByte, DBFileSystem::kExclusive) &&
                Acquire(fs, dbfd, kWriteByte, DBFileSystem::kExclusive, kWriterWait);
  auto done = [&](Recovery r) {
    if (canWrite) {
      fs->Lock(dbfd, kWriteByte, DBFileSystem::kUnlock);
      fs->Lock(dbfd, kIntentByte, DBFileSystem::kUnlock);
      fs->Lock(dbfd, kOwnerByte, DBFileSystem::kUnlock);
    }
    fs->Close(dbfd);
    return r;
  };
  const char* cannot = "Database has a journal of an incomplete sync that cannot be played back";
  if (canWrite && !locked) {
    DMESSAGE(DMCdata, "%s", cannot);
    return done(kRefused);
  }
  jfd = fs->Open(jpath, kDBReadBeside, 0);
  if (jfd < 0) return done(kClean);  // its sync ended while the locks were taken
  DBJournalScan scan;
  DBJournalScan::Verdict v = scan.Scan(fs, jfd, dbfd);
  if (v != DBJournalScan::kGood) {
    fs->Close(jfd);
    DMESSAGE(DMCdata,
             v == DBJournalScan::kForeign
                 ? "Database journal '%s' does not belong to the database (%s): not played back "
                   "and kept; the database is opened read-only"
                 : "Database journal '%s' is damaged (%s): not played back and kept; the "
                   "database is opened read-only",
             jpath.c_str(), scan.why.c_str());
    return done(kKept);
  }
  if (!canWrite) {
    fs->Close(jfd);
    DMESSAGE(DMCdata, "%s", cannot);
    return done(kRefused);
  }
  bool ok = scan.PlayBack(fs, jfd, dbfd);
  fs->Close(jfd);
  ok = ok && fs->Remove(jpath);
  if (!ok) {
    DMESSAGE(DMCdata, "%s", cannot);
    return done(kRefused);
  }
  // An index file cannot be of the restored state (syncs remove it first); one left by some
  // other writer goes too.
  DBSideFile::Remove(file);
  fs->SyncDir(file.Dir());
  DMESSAGE(DMCwarning, "Database restored from its journal to the last complete sync");
  return done(kPlayedBack);
}
