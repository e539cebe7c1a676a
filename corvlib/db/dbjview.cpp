// Reading a database that another process may be writing: the file as the last complete sync
// left it, read under the shared write lock or around the writer's journal (db/dbjournal.h).
#include <fcntl.h>
#include <time.h>

#include <chrono>

#include "db/dbjournal.h"
#include "support/pwork.h"

namespace {

// How long a reader tries before a read fails: writers hold the file only while their
// journal is in place, so a reader waits only across a journal's coming and going.
constexpr double kReadWait = 5.0;

}  // namespace

DBJournalView::DBJournalView(const DBFile& f) : file(f), fs(f.FS()) {
  dbfd = fs->Open(file.Path(), O_RDONLY, 0);
}

DBJournalView::~DBJournalView() {
  if (dbfd >= 0) fs->Close(dbfd);
}

long long DBJournalView::Read(long long off, void* buf, size_t n, long long* size) {
  if (dbfd < 0 || off < 0) return -1;
  long long ignored;
  if (size == nullptr) size = &ignored;
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(kReadWait);
  long nap = 100000;  // ns
  PWorkWait wait;
  for (;;) {
    long long got = kRetry;
    if (!fs->Locked(dbfd, DBJournal::kIntentByte, DBFileSystem::kShared) &&
        fs->Lock(dbfd, DBJournal::kWriteByte, DBFileSystem::kShared)) {
      got = ReadSteady(off, buf, n, size);
      fs->Lock(dbfd, DBJournal::kWriteByte, DBFileSystem::kUnlock);
    } else {
      got = ReadAround(off, buf, n, size);
    }
    if (got != kRetry) return got;
    if (std::chrono::steady_clock::now() >= until) return -1;
    struct timespec ts = {0, nap};
    nanosleep(&ts, nullptr);
    if (nap < 5000000) nap *= 2;
    // A writer stopped between its journal and its locks holds the reader: the program's
    // windows stay painted meanwhile, or the read is turned away.
    if (!wait.Step()) return kTurnedAway;
  }
}

long long DBJournalView::Limit(long long off, long long got, long long* size) const {
  // Bytes past the size the sync started from were not in the file it completed last.
  *size = scan.origSize;
  if (off >= scan.origSize) return 0;
  return got < scan.origSize - off ? got : scan.origSize - off;
}

long long DBJournalView::ReadSteady(long long off, void* buf, size_t n, long long* size) {
  // Nobody writes the file now, and a journal beside it stays as it is.
  unsigned char* b = static_cast<unsigned char*>(buf);
  int jfd = fs->Open(file.JournalPath(), kDBReadBeside, 0);
  long long got = fs->Read(dbfd, b, n, off);
  if (got >= 0 && jfd >= 0 && scan.Scan(fs, jfd, dbfd) == DBJournalScan::kGood) {
    // Its writer died, or has not written yet: its saved bytes are the file's.
    got = scan.Overlay(fs, jfd, off, b, n) ? Limit(off, got, size) : -1;
  } else if (got >= 0) {
    // No journal, or one that does not belong to the file (kept for the user): the file as
    // it is.
    int mode = 0;
    if (!fs->Stat(dbfd, size, &mode)) got = -1;
  }
  if (jfd >= 0) fs->Close(jfd);
  return got;
}

long long DBJournalView::ReadAround(long long off, void* buf, size_t n, long long* size) {
  // The salt of the journal in place before the read; the whole journal after it.
  int jfd = fs->Open(file.JournalPath(), kDBReadBeside, 0);
  if (jfd < 0) return kRetry;  // its sync is starting or ending
  bool good = scan.Scan(fs, jfd, dbfd) == DBJournalScan::kGood;
  uint32_t salt = scan.salt;
  fs->Close(jfd);
  if (!good) return kRetry;
  unsigned char* b = static_cast<unsigned char*>(buf);
  long long got = fs->Read(dbfd, b, n, off);
  if (got < 0) return -1;
  jfd = fs->Open(file.JournalPath(), kDBReadBeside, 0);
  if (jfd < 0) return kRetry;
  good = scan.Scan(fs, jfd, dbfd) == DBJournalScan::kGood && scan.salt == salt;
  if (good) got = scan.Overlay(fs, jfd, off, b, n) ? Limit(off, got, size) : -1;
  fs->Close(jfd);
  return good ? got : kRetry;
}
