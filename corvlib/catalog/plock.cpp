// Catalogue write locks. A lock file exists only whole: its line is written to a private file
// beside it, which is then linked to the lock name (link fails when a lock exists, so linking
// is the exclusive creation). A stale lock is removed only while holding its breaker lock and
// only when it is still the file that was judged; a lock another process took in the meantime
// is respected.
#include "catalog/plock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "catalog/pcontext.h"
#include "image/pireader.h"
#include "support/dmessage.h"

namespace {

const char kLockText[] = "Catalog write lock held by process";
constexpr size_t kReadMax = 256;

// Parses the decimal number that follows the lock text as %d would; false when there is none.
// *overflow is set for a number beyond int.
bool ParsePid(const char* s, long* pid, bool* overflow) {
  *overflow = false;
  const size_t n = sizeof(kLockText) - 1;
  if (strncmp(s, kLockText, n) != 0) return false;
  s += n;
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) s++;
  bool neg = false;
  if (*s == '+' || *s == '-') neg = *s++ == '-';
  if (*s < '0' || *s > '9') return false;
  long long v = 0;
  for (; *s >= '0' && *s <= '9'; s++) {
    if (v <= INT_MAX) v = v * 10 + (*s - '0');
  }
  if (v > INT_MAX) *overflow = true;
  *pid = neg ? -static_cast<long>(v > INT_MAX ? INT_MAX : v) : static_cast<long>(v);
  return true;
}

void HostName(char* host, size_t len) {
  if (gethostname(host, len) != 0) host[0] = '\0';
  host[len - 1] = '\0';
}

// Reads the lock file; its inode goes to *ino. False when it cannot be read.
bool ReadLock(const char* path, char* buf, size_t* n, ino_t* ino) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (ok) *ino = st.st_ino;
  ssize_t got = ok ? read(fd, buf, kReadMax) : -1;
  close(fd);
  if (got < 0) return false;
  *n = static_cast<size_t>(got);
  return true;
}

int lockErr = 0;  // see PlockError

// Writes the lock line into a new private file beside the lock and links it to the lock name.
// 1 taken, 0 a lock exists, -1 the lock cannot be made here (the reason in lockErr).
int LinkLock(const char* lockpath, const std::string& line) {
  std::string tmp = std::string(lockpath) + "." + std::to_string(getpid()) + ".new";
  unlink(tmp.c_str());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0444);
  if (fd < 0) {
    lockErr = errno;
    return -1;
  }
  const ssize_t n = write(fd, line.data(), line.size());
  int err = n < 0 ? errno : ENOSPC;
  const bool written = n == static_cast<ssize_t>(line.size());
  const bool closed = close(fd) == 0;
  if (written && !closed) err = errno;
  if (!written || !closed) {
    unlink(tmp.c_str());
    lockErr = err;
    return -1;
  }
  int r = link(tmp.c_str(), lockpath) == 0 ? 1 : (errno == EEXIST ? 0 : -1);
  if (r < 0) lockErr = errno;
  unlink(tmp.c_str());
  return r;
}

// Removes the lock file judged stale (known by its inode). Breaking a lock is serialised by a
// second lock beside it, "<lock>.break", taken the same way: under it, the file at the lock
// name is removed only when it is still the one judged and still stale, so a lock that another
// process took in the meantime is never touched and the lock name is never empty while a live lock
// exists. False when the lock cannot be broken now (another process is breaking it, or it changed).
bool RemoveStale(const char* lockpath, ino_t judged, const std::string& line, const char* host) {
  const std::string brk = std::string(lockpath) + ".break";
  int got = LinkLock(brk.c_str(), line);
  if (got == 0) {
    // A breaker left by a process that died while breaking is itself stale.
    char text[kReadMax];
    size_t n = 0;
    ino_t ino = 0;
    if (!ReadLock(brk.c_str(), text, &n, &ino) ||
        PjudgeLock(text, n, host, PprocessAlive) != PLVstale)
      return false;
    struct stat st;
    if (stat(brk.c_str(), &st) != 0 || st.st_ino != ino || unlink(brk.c_str()) != 0) return false;
    got = LinkLock(brk.c_str(), line);
  }
  if (got != 1) return false;
  // Judged again under the breaker: inode numbers are reused, so a new lock may bear the
  // number of the stale one just removed by another breaker.
  char text[kReadMax];
  size_t n = 0;
  ino_t ino = 0;
  bool removed = false;
  if (!ReadLock(lockpath, text, &n, &ino))
    removed = errno == ENOENT;
  else if (ino == judged && PjudgeLock(text, n, host, PprocessAlive) == PLVstale &&
           !(removed = unlink(lockpath) == 0))
    lockErr = errno;
  unlink(brk.c_str());
  return removed;
}

}  // namespace

int PlockError() {
  return lockErr;
}

bool PprocessAlive(long pid) {
  if (pid <= 0 || pid > INT_MAX) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

PLockVerdict PjudgeLock(const char* text, size_t len, const char* host, bool (*alive)(long pid)) {
  char buf[kReadMax + 1];
  if (len > kReadMax) len = kReadMax;
  if (len > 0) memcpy(buf, text, len);
  if (len > 0 && buf[len - 1] == '\n') len--;
  buf[len] = '\0';
  long pid = 0;
  bool overflow = false;
  if (!ParsePid(buf, &pid, &overflow)) pid = 0;
  if (pid == 0) return PLVstale;
  if (pid < 0 || overflow) return PLVunknown;
  const char* on = strstr(buf, " on ");
  const char* holder = on != nullptr ? on + 4 : "";
  if (strcmp(holder, host != nullptr ? host : "") != 0) return PLVheld;
  return alive != nullptr && alive(pid) ? PLVheld : PLVstale;
}

bool PlockName(char* out, size_t len, const char* dbpath) {
  if (out == nullptr || len == 0 || dbpath == nullptr) return false;
  const char* suf = PgetSuffix(dbpath);
  size_t stem = strlen(dbpath);
  if (suf != nullptr && suf > dbpath) stem = static_cast<size_t>(suf - dbpath) - 1;
  if (stem + sizeof(".lock") > len) return false;
  memcpy(out, dbpath, stem);
  memcpy(out + stem, ".lock", sizeof(".lock"));
  return true;
}

bool PContext::WriteLock(char* lockpath, const char* dbpath) {
  if (lockpath == nullptr) return false;
  lockErr = 0;
  if (lockpath[0] != '\0') {
    if (unlink(lockpath) != 0 && errno != ENOENT)
      DMESSAGE(DMCwarning, "Cannot remove the lock file '%s': %s", lockpath, strerror(errno));
    lockpath[0] = '\0';
  }
  if (dbpath == nullptr || dbpath[0] == '\0') return false;
  char name[kPathLen];
  if (!PlockName(name, sizeof(name), dbpath)) {
    DMESSAGE(DMCwarning, "Cannot capture lock file for '%.900s': path too long", dbpath);
    return false;
  }
  char host[128];
  HostName(host, sizeof(host));
  std::string line = std::string(kLockText) + " " + std::to_string(getpid());
  if (host[0] != '\0') line += std::string(" on ") + host;
  line += '\n';

  int r = LinkLock(name, line);
  if (r == 0) {
    char text[kReadMax];
    size_t n = 0;
    ino_t ino = 0;
    if (!ReadLock(name, text, &n, &ino)) {
      if (errno != ENOENT) lockErr = errno;  // gone meanwhile: it was another program's
    } else if (PjudgeLock(text, n, host, PprocessAlive) == PLVstale &&
               RemoveStale(name, ino, line, host)) {
      lockErr = 0;
      r = LinkLock(name, line);
      if (r == 1) DMESSAGE(DMCinfo, "Ignoring previous DB lock (dead process)");
    }
  }
  if (r != 1) {
    if (lockErr != 0)
      DMESSAGE(DMCwarning, "Cannot create the lock file '%s': %s", name, strerror(lockErr));
    else
      DMESSAGE(DMCwarning, "Cannot capture lock file '%s'", name);
    return false;
  }
  memcpy(lockpath, name, strlen(name) + 1);
  return true;
}
