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
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "catalog/pcontext.h"
#include "image/pireader.h"
#include "support/dmessage.h"

namespace {

const char kLockText[] = "Catalog write lock held by process";
constexpr size_t kReadMax = 256;
// How much earlier than its true start the process table may date a process: the boot time
// it counts from is kept in whole seconds and follows adjustments of the clock.
constexpr long long kStartMargin = 5;

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

// The holder's host in a lock's text: what follows the first " on ", or nothing.
const char* HolderHost(const char* text) {
  const char* on = strstr(text, " on ");
  return on != nullptr ? on + 4 : "";
}

void HostName(char* host, size_t len) {
  if (gethostname(host, len) != 0) host[0] = '\0';
  host[len - 1] = '\0';
}

// Reads at most max bytes of the file at path; false (errno set) when it cannot be read.
bool ReadSome(const char* path, std::string* out, size_t max, struct stat* st) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->assign(max, '\0');
  ssize_t got = st == nullptr || fstat(fd, st) == 0 ? read(fd, &(*out)[0], max) : -1;
  const int err = errno;
  close(fd);
  if (got < 0) {
    errno = err;
    return false;
  }
  out->resize(static_cast<size_t>(got));
  return true;
}

// The boot time in seconds since 1970, from the "btime" line of /proc/stat; -1 when unknown.
long long BootTime() {
  std::ifstream in("/proc/stat");
  std::string l;
  while (std::getline(in, l)) {
    if (l.compare(0, 6, "btime ") != 0) continue;
    char* end = nullptr;
    errno = 0;
    const long long t = strtoll(l.c_str() + 6, &end, 10);
    return errno == 0 && end != l.c_str() + 6 && *end == '\0' && t > 0 ? t : -1;
  }
  return -1;
}

// Reads the lock file and judges it for a taker on host; false when there is none to judge
// (r->err then tells why it could not be read, 0 when it does not exist). Its inode goes to
// *ino.
bool JudgeFile(const char* path, const char* host, PLockRefusal* r, ino_t* ino) {
  std::string text;
  struct stat st;
  r->line.clear();
  r->host.clear();
  if (!ReadSome(path, &text, kReadMax, &st)) {
    r->err = errno == ENOENT ? 0 : errno;
    r->verdict = r->err != 0 ? PLVunknown : PLVstale;
    return false;
  }
  r->err = 0;
  r->verdict = PjudgeLock(text.data(), text.size(), host, st.st_mtime, PprocessHolds);
  r->line = text.substr(0, text.find('\n'));
  if (r->verdict == PLVforeign) r->host = HolderHost(r->line.c_str());
  *ino = st.st_ino;
  return true;
}

// Writes the lock line into a new private file beside the lock and links it to the lock name.
// 1 taken, 0 a lock exists, -1 the lock cannot be made here (the reason in *err).
int LinkLock(const char* lockpath, const std::string& line, int* err) {
  std::string tmp = std::string(lockpath) + "." + std::to_string(getpid()) + ".new";
  unlink(tmp.c_str());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0444);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  const ssize_t n = write(fd, line.data(), line.size());
  int why = n < 0 ? errno : ENOSPC;
  const bool written = n == static_cast<ssize_t>(line.size());
  const bool closed = close(fd) == 0;
  if (written && !closed) why = errno;
  if (!written || !closed) {
    unlink(tmp.c_str());
    *err = why;
    return -1;
  }
  int r = link(tmp.c_str(), lockpath) == 0 ? 1 : (errno == EEXIST ? 0 : -1);
  if (r < 0) *err = errno;
  unlink(tmp.c_str());
  return r;
}

// Removes the lock file judged stale (known by its inode). Breaking a lock is serialised by a
// second lock beside it, "<lock>.break", taken the same way: under it, the file at the lock
// name is removed only when it is still the one judged and still stale, so a lock that another
// process took in the meantime is never touched and the lock name is never empty while a live lock
// exists. False when the lock cannot be broken now (another process is breaking it, or it
// changed; *err tells a failure of the system).
bool RemoveStale(const char* lockpath, ino_t judged, const std::string& line, const char* host,
                 int* err) {
  const std::string brk = std::string(lockpath) + ".break";
  int got = LinkLock(brk.c_str(), line, err);
  if (got == 0) {
    // A breaker left by a process that died while breaking is itself stale.
    PLockRefusal breaker;
    ino_t ino = 0;
    if (!JudgeFile(brk.c_str(), host, &breaker, &ino) || breaker.verdict != PLVstale) return false;
    struct stat st;
    if (stat(brk.c_str(), &st) != 0 || st.st_ino != ino || unlink(brk.c_str()) != 0) return false;
    got = LinkLock(brk.c_str(), line, err);
  }
  if (got != 1) return false;
  // Judged again under the breaker: inode numbers are reused, so a new lock may bear the
  // number of the stale one just removed by another breaker.
  PLockRefusal now;
  ino_t ino = 0;
  bool removed = false;
  if (!JudgeFile(lockpath, host, &now, &ino))
    removed = now.err == 0;
  else if (ino == judged && now.verdict == PLVstale && !(removed = unlink(lockpath) == 0))
    *err = errno;
  unlink(brk.c_str());
  return removed;
}

}  // namespace

long long PprocessStart(long pid) {
  if (pid <= 0 || pid > INT_MAX) return -1;
  std::string stat;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  if (!ReadSome(path.c_str(), &stat, 4096, nullptr)) return -1;
  // The command name (field 2) stands in parentheses and may hold anything, spaces and
  // parentheses too: the fields after it begin at the last ')'.
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return -1;
  const char* s = stat.c_str() + paren + 1;
  // Field 22 is the start in clock ticks after boot.
  unsigned long long ticks = 0;
  for (int field = 3; field <= 22; field++) {
    while (*s == ' ') s++;
    if (*s == '\0' || *s == '\n') return -1;
    if (field < 22) {
      while (*s != ' ' && *s != '\0') s++;
      continue;
    }
    if (*s < '0' || *s > '9') return -1;
    for (; *s >= '0' && *s <= '9'; s++) {
      const unsigned d = static_cast<unsigned>(*s - '0');
      if (ticks > (ULLONG_MAX - d) / 10) return -1;
      ticks = ticks * 10 + d;
    }
    if (*s != ' ' && *s != '\n' && *s != '\0') return -1;
  }
  const long hz = sysconf(_SC_CLK_TCK);
  const long long boot = BootTime();
  if (hz <= 0 || boot < 0) return -1;
  const unsigned long long up = ticks / static_cast<unsigned long long>(hz);
  if (up > static_cast<unsigned long long>(LLONG_MAX - boot)) return -1;
  return boot + static_cast<long long>(up);
}

bool PprocessHolds(long pid, time_t written) {
  if (pid <= 0 || pid > INT_MAX) return false;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  // A process that started after the lock was written has only been given the id of the one
  // that wrote it (after a restart, say).
  const long long start = PprocessStart(pid);
  return start < 0 || start <= static_cast<long long>(written) + kStartMargin;
}

std::string PLockRefusal::Why() const {
  if (lock.empty()) return "its lock file cannot be taken";
  const std::string file = "its lock file '" + lock + "'";
  const std::string quoted = line.empty() ? std::string() : " (\"" + line + "\")";
  if (err != 0) return file + " cannot be made (" + PsystemReason(err) + ")";
  switch (verdict) {
    case PLVunknown:
      return file + quoted + " names no process that can be checked";
    case PLVforeign:
      return file + " was made by a program on " +
             (host.empty() ? std::string("another computer") : "the computer '" + host + "'") +
             quoted +
             ", which may have it open for writing. Once no program on that computer uses the "
             "catalog, the lock file may be deleted";
    default:
      return file + " is held" + quoted + ": another program has it open for writing";
  }
}

PLockVerdict PjudgeLock(const char* text, size_t len, const char* host, time_t written,
                        bool (*holds)(long pid, time_t written)) {
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
  if (strcmp(HolderHost(buf), host != nullptr ? host : "") != 0) return PLVforeign;
  return holds != nullptr && holds(pid, written) ? PLVheld : PLVstale;
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

bool PContext::WriteLock(char* lockpath, const char* dbpath, PLockRefusal* refusal) {
  PLockRefusal own;
  PLockRefusal& r = refusal != nullptr ? *refusal : own;
  r = PLockRefusal();
  if (lockpath == nullptr) return false;
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
  r.lock = name;
  char host[128];
  HostName(host, sizeof(host));
  std::string line = std::string(kLockText) + " " + std::to_string(getpid());
  if (host[0] != '\0') line += std::string(" on ") + host;
  line += '\n';

  // The lock there is judged before one is made: a live holder is told as such even where
  // nothing can be written (a full disk).
  int got = 0;
  bool replaced = false;
  for (int pass = 0; pass < 2 && got == 0; pass++) {
    ino_t ino = 0;
    if (JudgeFile(name, host, &r, &ino)) {
      if (r.verdict != PLVstale || !RemoveStale(name, ino, line, host, &r.err)) break;
      replaced = true;
    } else if (r.err != 0) {
      break;
    }
    got = LinkLock(name, line, &r.err);
  }
  if (got == 1) {
    if (replaced) DMESSAGE(DMCinfo, "Ignoring previous DB lock (dead process)");
    r = PLockRefusal();
    memcpy(lockpath, name, strlen(name) + 1);
    return true;
  }
  if (r.err == 0 && r.verdict == PLVstale) {
    // Another program took the lock, or is replacing it, while this one looked.
    ino_t ino = 0;
    JudgeFile(name, host, &r, &ino);
    if (r.err == 0 && r.verdict == PLVstale) r.verdict = PLVheld;
  }
  if (r.err != 0)
    DMESSAGE(DMCwarning, "Cannot create the lock file '%s': %s", name, strerror(r.err));
  else
    DMESSAGE(DMCwarning, "Cannot capture lock file '%s'", name);
  return false;
}
