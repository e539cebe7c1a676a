// Sharing the thumbnail cache folder between copies of the program: the lock file, its lock
// sections and its line, and reading the database again when another copy changed it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "db/dbfile.h"
#include "support/dmessage.h"
#include "support/futil.h"
#include "thumbs/pthumb.h"

const char PThumbnailer::kShareName[] = "tncache.qdb-lock";

namespace {

// The byte of the lock file its lock is taken on.
constexpr long long kLockByte = 0;
// How long a copy waits for another to finish its change (a sheet's write and a sync take a
// few hundredths of a second) before it does without the cache for this request: the wait holds
// the program's one thread, and so its windows. After a request was turned away, the next ones
// try once without waiting for a while: a holder stopped or on a slow disk costs the window one
// short wait now and then, however many thumbnails it asks for.
constexpr double kLockWait = 0.05;
constexpr double kLockQuiet = 0.25;
// The lock file's line: "gen <18 digits> next <10 digits> kb <18 digits>\n".
constexpr size_t kGenAt = 4, kNextAt = 28, kKbAt = 42, kLineLen = 61;

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

// n decimal digits at p; false for anything else.
bool Digits(const char* p, size_t n, long long* v) {
  long long x = 0;
  for (size_t i = 0; i < n; i++) {
    if (p[i] < '0' || p[i] > '9') return false;
    x = x * 10 + (p[i] - '0');
  }
  *v = x;
  return true;
}

}  // namespace

void PThumbnailer::OpenShare(const char* dir) {
  CloseShare();
  char path[1100];
  snprintf(path, sizeof(path), "%s%c%s", dir, '/', kShareName);
  // Never through a link: the lock must be the folder's own file.
  shareFd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  shareWritable = shareFd >= 0;
  // A folder this user cannot write is only read: a lock file there still orders the reads.
  if (shareFd < 0) shareFd = PopenRegular(path, O_RDONLY | O_NOFOLLOW);
  struct stat st;
  if (shareFd >= 0 && (fstat(shareFd, &st) != 0 || !S_ISREG(st.st_mode))) CloseShare();
  // Without a lock file the cache works as a copy's alone.
  if (shareFd < 0) DMESSAGE(DMCtrace, "Thumbnail cache lock file %s cannot be opened", path);
}

void PThumbnailer::CloseShare() {
  if (shareFd >= 0) close(shareFd);
  shareFd = -1;
  shareWritable = false;
  lockDepth = 0;
  lockExclusive = false;
  broken = false;
  busyNow = busyTold = false;
  share = ShareState();
}

bool PThumbnailer::TakeLock(bool exclusive) {
  if (shareFd < 0) return true;
  if (exclusive && !shareWritable) return false;
  DBFileSystem* fs = lockCalls != nullptr ? lockCalls : DBFileSystem::System();
  const DBFileSystem::LockKind kind = exclusive ? DBFileSystem::kExclusive : DBFileSystem::kShared;
  bool got = fs->Lock(shareFd, kLockByte, kind);
  if (!got && Now() >= quietUntil) {
    const double until = Now() + kLockWait;
    long wait = 100000;  // ns, doubling to 2 ms
    while (!got && Now() < until) {
      timespec t = {0, wait};
      nanosleep(&t, nullptr);
      if (wait < 2000000) wait *= 2;
      got = fs->Lock(shareFd, kLockByte, kind);
    }
  }
  if (got) {
    if (busyTold) DMESSAGE(DMCtrace, "Thumbnail cache %s is free again", ShareDir());
    busyTold = busyNow = false;
    return true;
  }
  quietUntil = Now() + kLockQuiet;
  busyNow = true;
  turnedAway++;
  // Told in the log once a run; later holds (two copies at work at once meet often) in its
  // trace.
  static bool toldOnce = false;
  if (!busyTold)
    DMESSAGE(toldOnce ? DMCtrace : DMCwarning,
             "Thumbnail cache %s is busy: another copy of the program holds it; thumbnails wait "
             "until it lets go",
             ShareDir());
  busyTold = toldOnce = true;
  return false;
}

void PThumbnailer::DropLock() {
  DBFileSystem* fs = lockCalls != nullptr ? lockCalls : DBFileSystem::System();
  if (shareFd >= 0) fs->Lock(shareFd, kLockByte, DBFileSystem::kUnlock);
}

PThumbnailer::ShareState PThumbnailer::ReadShare() const {
  ShareState st;
  if (shareFd < 0) {
    // Alone: the state is this copy's own.
    st.valid = true;
    st.gen = viewGen;
    st.next = share.next;
    st.kb = cacheSiz;
    return st;
  }
  char line[128];
  const ssize_t n = pread(shareFd, line, sizeof line, 0);
  long long gen, next, kb;
  if (n != static_cast<ssize_t>(kLineLen) || memcmp(line, "gen ", 4) != 0 ||
      memcmp(line + kGenAt + 18, " next ", 6) != 0 || memcmp(line + kNextAt + 10, " kb ", 4) != 0 ||
      line[kLineLen - 1] != '\n' || !Digits(line + kGenAt, 18, &gen) ||
      !Digits(line + kNextAt, 10, &next) || !Digits(line + kKbAt, 18, &kb) || next < 1 ||
      next > PMaxThumbImageID + 1LL)
    return st;
  st.valid = true;
  st.gen = static_cast<uint64_t>(gen);
  st.next = static_cast<int32_t>(next);
  st.kb = static_cast<long>(kb);
  return st;
}

bool PThumbnailer::Settled() const {
  if (shareFd < 0) return true;
  char head[kGenAt + 18];
  long long g;
  return pread(shareFd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
         memcmp(head, "gen ", 4) == 0 && Digits(head + kGenAt, 18, &g) &&
         static_cast<uint64_t>(g) == viewGen;
}

bool PThumbnailer::WriteShare(const ShareState& st) {
  if (shareFd < 0) {
    share = st;
    return true;
  }
  if (!shareWritable) return false;
  char line[128];
  const unsigned long long gen = st.gen % 1000000000000000000ULL;
  const long kb = st.kb < 0 ? 0 : st.kb % 1000000000000000000L;
  const int len = snprintf(line, sizeof line, "gen %018llu next %010d kb %018ld\n", gen,
                           static_cast<int>(st.next), kb);
  struct stat fst;
  const bool ok =
      len == static_cast<int>(kLineLen) &&
      pwrite(shareFd, line, kLineLen, 0) == static_cast<ssize_t>(kLineLen) &&
      fstat(shareFd, &fst) == 0 &&
      (fst.st_size == static_cast<off_t>(kLineLen) || ftruncate(shareFd, kLineLen) == 0);
  if (!ok && !broken)
    DMESSAGE(DMCdata, "Cannot write thumbnail cache lock file in %s: %s", cacheDir,
             strerror(errno));
  broken = !ok;
  return ok;
}

uint64_t PThumbnailer::FreshGen() {
  // A lock file made anew (or found garbled) starts at a generation no copy read before.
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  const uint64_t ns = static_cast<uint64_t>(t.tv_sec) * 1000000000ULL + t.tv_nsec;
  return (ns % 100000000000000000ULL) & ~1ULL;
}

bool PThumbnailer::Enter(bool write) {
  if (!IsOpen()) return false;
  if (lockDepth > 0) {
    if (write && !lockExclusive) {
      DMESSAGE(DMCassert, "Thumbnail cache changed within a read");
      return false;
    }
    lockDepth++;
    return true;
  }
  // Between the slices of a picture read nothing is changed (see reading).
  if (write && reading > 0) return false;
  if (!TakeLock(write)) return false;
  lockDepth = 1;
  lockExclusive = write;
  touched = shareChanged = false;
  share = ReadShare();
  const auto current = [this] {
    return share.valid && (share.gen & 1) == 0 && share.gen == viewGen;
  };
  if (current()) return true;
  // Another copy changed the folder (or died changing it): the database is read again, which
  // takes the exclusive lock; not between the slices of a picture read, though.
  if (reading > 0) {
    DropLock();
    lockDepth = 0;
    return false;
  }
  if (!lockExclusive) {
    DropLock();
    if (!TakeLock(true)) {
      lockDepth = 0;
      return false;
    }
    lockExclusive = true;
    share = ReadShare();
  }
  if (!current() && !Refresh()) {
    DropLock();
    lockDepth = 0;
    return false;
  }
  return true;
}

void PThumbnailer::Leave() {
  if (lockDepth <= 0 || --lockDepth > 0) return;
  if (lockExclusive && IsOpen() && (touched || shareChanged)) {
    if (touched && tdb.Unsynced()) CommitView();
    if (touched) {
      share.gen = (share.gen | 1) + 1;
      share.kb = cacheSiz;
    }
    if (WriteShare(share)) viewGen = share.gen;
  }
  touched = shareChanged = false;
  DropLock();
}

bool PThumbnailer::Touch() {
  if (broken) return false;
  if (touched) return true;
  ShareState st = share;
  st.gen |= 1;
  if (!WriteShare(st)) return false;
  share = st;
  touched = true;
  return true;
}

bool PThumbnailer::CommitView() {
  if (tdb.Sync()) return true;
  // What could not be written is dropped (the file is put back as the last sync left it), and
  // the database read again as the file holds it.
  tdb.Discard();
  share.valid = false;
  Refresh();
  return false;
}

bool PThumbnailer::Refresh() {
  // A lock file not to be trusted (garbled, or left odd by a copy that died changing the
  // folder): its count is made again from the records.
  const bool settle = !share.valid || (share.gen & 1) != 0;
  tdb.Discard();
  tnHead.Attach(nullptr, false);
  dbfs.reset();
  char path[1100];
  snprintf(path, sizeof(path), "%s%c%s", cacheDir, '/', CorvaneThumbnailDBFile);
  std::string why;
  Counted counted;
  if (OpenDatabase(path, &why, settle ? &counted : nullptr) <= 0) {
    DMESSAGE(DMCwarning,
             "Thumbnail database %s cannot be read again%s%s: thumbnails are not cached", path,
             why.empty() ? "" : ": ", why.c_str());
    Shut();
    return false;
  }
  // Sheets read before may have been written over since.
  EmptyLists();
  if (settle) {
    share.next = share.valid && share.next > counted.maxID ? share.next : counted.maxID + 1;
    share.kb = counted.kb;
    share.gen = share.valid ? (share.gen | 1) + 1 : FreshGen();
    share.valid = true;
    cacheSiz = counted.kb;
    if (!WriteShare(share)) {
      Shut();
      return false;
    }
  } else {
    cacheSiz = share.kb;
  }
  const int total = tdb.TotalRecords();
  if (total > nThumbs) nThumbs = total;
  viewGen = share.gen;
  return true;
}

void PThumbnailer::Shut() {
  tdb.Discard();
  tnHead.Attach(nullptr, false);
  dbfs.reset();
  nextImage.ClearImage();
  filling.clear();
  uses.clear();
  EmptyLists();
  cacheDir[0] = '\0';
  nThumbs = 0;
  cacheSiz = 0;
}

int32_t PThumbnailer::Claim() {
  const int32_t id = share.next;
  share.next = id < PMaxThumbImageID ? id + 1 : PMaxThumbImageID + 1;
  shareChanged = true;
  return id;
}
