// Catalogue write locks. A lock file exists only whole: its line is written to a private file
// beside it, which is then linked to the lock name (link fails when a lock exists, so linking
// is the exclusive creation). A stale lock is removed only while holding its breaker lock and
// only when it is still the file that was judged; a lock another process took in the meantime
// is respected. The holder keeps its lock file open while it holds it: that is how a live
// copy of this program is told from one that was only given the id of the lock's writer.
#include "catalog/plock.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "catalog/pcontext.h"
#include "image/pireader.h"
#include "support/dmessage.h"

namespace {

const char kLockText[] = "Catalog write lock held by process";
constexpr size_t kReadMax = 256;
// How much older than a process a lock must look to have been made before it started: the
// times of files may be kept in whole seconds (or two), and neither clock is read at once.
constexpr long long kAgeMarginNs = 5000000000LL;

// The lock files this process holds, each with a descriptor kept open on it (the program's
// one thread takes and releases them).
std::vector<std::pair<std::string, int>> held;

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

// Reads at most max bytes of the file at path, never through a symbolic link nor waiting for a
// writer; false (errno set) when it cannot be read.
bool ReadSome(const char* path, std::string* out, size_t max, struct stat* st) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
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

// The command name and start (clock ticks after boot) of process pid, from its line in the
// process table; false when it cannot be read.
bool ProcStat(long pid, std::string* command, unsigned long long* start) {
  std::string stat;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  if (!ReadSome(path.c_str(), &stat, 4096, nullptr)) return false;
  // The command name (field 2) stands in parentheses and may hold anything, spaces and
  // parentheses too: the fields after it begin at the last ')'.
  const size_t open = stat.find('(');
  const size_t paren = stat.rfind(')');
  if (open == std::string::npos || paren == std::string::npos || paren < open) return false;
  command->assign(stat, open + 1, paren - open - 1);
  const char* s = stat.c_str() + paren + 1;
  // Field 22 is the start.
  unsigned long long ticks = 0;
  for (int field = 3; field <= 22; field++) {
    while (*s == ' ') s++;
    if (*s == '\0' || *s == '\n') return false;
    if (field < 22) {
      while (*s != ' ' && *s != '\0') s++;
      continue;
    }
    if (*s < '0' || *s > '9') return false;
    for (; *s >= '0' && *s <= '9'; s++) {
      const unsigned d = static_cast<unsigned>(*s - '0');
      if (ticks > (ULLONG_MAX - d) / 10) return false;
      ticks = ticks * 10 + d;
    }
    if (*s != ' ' && *s != '\n' && *s != '\0') return false;
  }
  *start = ticks;
  return true;
}

// How long ago a process started start ticks after boot, in nanoseconds on the clock that
// counts from boot (never set); -1 when it cannot be told.
long long ProcessAge(unsigned long long start) {
  const long hz = sysconf(_SC_CLK_TCK);
  struct timespec now;
  if (hz <= 0 || clock_gettime(CLOCK_BOOTTIME, &now) != 0) return -1;
  const unsigned long long secs = start / static_cast<unsigned long long>(hz);
  if (secs > static_cast<unsigned long long>(now.tv_sec)) return -1;
  const long long frac =
      static_cast<long long>(start % static_cast<unsigned long long>(hz)) * 1000000000LL / hz;
  const long long age =
      (static_cast<long long>(now.tv_sec) - static_cast<long long>(secs)) * 1000000000LL +
      now.tv_nsec - frac;
  return age >= 0 ? age : -1;
}

// 1 when a and b are the same file, 0 when they are not, -1 when either cannot be looked at.
int SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return -1;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// 1 when process pid has the file lock open, 0 when it has not, -1 when that cannot be seen.
int HasOpen(long pid, const struct stat& lock) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  int found = 0;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    const std::string fd = dir + "/" + e->d_name;
    // Pipes, sockets and the like are no files: they are not looked at.
    char to[2];
    if (readlink(fd.c_str(), to, sizeof to) < 1 || to[0] != '/') continue;
    struct stat st;
    if (stat(fd.c_str(), &st) == 0 && st.st_dev == lock.st_dev && st.st_ino == lock.st_ino) {
      found = 1;
      break;
    }
  }
  closedir(d);
  return found;
}

// How long ago the inode of the lock file at path last changed, in nanoseconds on the clock of
// its file system: a file made beside it now tells that clock. False when no file can be made.
bool LockAge(const char* path, const struct stat& lock, long long* age) {
  const std::string probe = std::string(path) + "." + std::to_string(getpid()) + ".new";
  unlink(probe.c_str());
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
  if (fd < 0) return false;
  struct stat now;
  const bool seen = fstat(fd, &now) == 0;
  close(fd);
  unlink(probe.c_str());
  if (!seen) return false;
  const long long secs = static_cast<long long>(now.st_ctim.tv_sec) - lock.st_ctim.tv_sec;
  if (secs > LLONG_MAX / 1000000000LL - 1 || secs < LLONG_MIN / 1000000000LL + 1) return false;
  *age = secs * 1000000000LL + (now.st_ctim.tv_nsec - lock.st_ctim.tv_nsec);
  return true;
}

// A lock file being judged, and what was found of the process it names.
struct Judging {
  const char* path = nullptr;
  struct stat st = {};
  long pid = 0;
  PLockHolder holder = PLHgone;
  std::string command;
};

PLockHolder HoldsJudged(long pid, void* arg) {
  Judging* j = static_cast<Judging*>(arg);
  j->pid = pid;
  j->holder = PprocessHolds(pid, j->path, j->st, &j->command);
  return j->holder;
}

// Reads the lock file and judges it for a taker on host; false when there is none to judge
// (r->err then tells why it could not be read, 0 when it does not exist). Its inode goes to
// *ino, and what was found of the process it names to *holder. A symbolic link in its place
// is judged as a link, never followed: this program makes none, so it holds no lock.
bool JudgeFile(const char* path, const char* host, PLockRefusal* r, ino_t* ino,
               PLockHolder* holder) {
  std::string text;
  Judging j;
  j.path = path;
  r->line.clear();
  r->host.clear();
  r->pid = 0;
  r->command.clear();
  *holder = PLHgone;
  if (!ReadSome(path, &text, kReadMax, &j.st)) {
    r->err = errno;
    if (r->err == ELOOP && lstat(path, &j.st) == 0 && S_ISLNK(j.st.st_mode)) {
      r->err = 0;
      r->verdict = PLVstale;
      *ino = j.st.st_ino;
      return true;
    }
    if (r->err == ENOENT) r->err = 0;
    r->verdict = r->err != 0 ? PLVunknown : PLVstale;
    return false;
  }
  r->err = 0;
  r->verdict = PjudgeLock(text.data(), text.size(), host, HoldsJudged, &j);
  r->line = text.substr(0, text.find('\n'));
  if (!r->line.empty() && r->line.back() == '\r') r->line.pop_back();
  if (r->verdict == PLVforeign) r->host = HolderHost(r->line.c_str());
  r->pid = j.pid;
  r->command = j.command;
  *holder = j.holder;
  *ino = j.st.st_ino;
  return true;
}

// Writes the lock line into a new private file beside the lock and links it to the lock name.
// 1 taken, 0 a lock exists, -1 the lock cannot be made here (the reason in *err). With keep, a
// lock taken stays open there (-1 when it could not be).
int LinkLock(const char* lockpath, const std::string& line, int* err, int* keep = nullptr) {
  std::string tmp = std::string(lockpath) + "." + std::to_string(getpid()) + ".new";
  unlink(tmp.c_str());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
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
  // Opened before it is a lock, it is open for as long as it is one.
  const int open_fd = keep != nullptr ? open(tmp.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  int r = link(tmp.c_str(), lockpath) == 0 ? 1 : (errno == EEXIST ? 0 : -1);
  if (r < 0) *err = errno;
  unlink(tmp.c_str());
  if (r == 1 && keep != nullptr) {
    // Kept open under the lock's own name when that is still the same file, so that the
    // process table shows which file it holds.
    *keep = open_fd;
    struct stat was, now;
    const int named = open(lockpath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (named >= 0 && open_fd >= 0 && fstat(open_fd, &was) == 0 && fstat(named, &now) == 0 &&
        was.st_dev == now.st_dev && was.st_ino == now.st_ino) {
      close(open_fd);
      *keep = named;
    } else if (named >= 0) {
      close(named);
    }
  } else if (open_fd >= 0) {
    close(open_fd);
  }
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
    PLockHolder holder;
    if (!JudgeFile(brk.c_str(), host, &breaker, &ino, &holder) || breaker.verdict != PLVstale)
      return false;
    struct stat st;
    if (lstat(brk.c_str(), &st) != 0 || st.st_ino != ino || unlink(brk.c_str()) != 0) return false;
    got = LinkLock(brk.c_str(), line, err);
  }
  if (got != 1) return false;
  // Judged again under the breaker: inode numbers are reused, so a new lock may bear the
  // number of the stale one just removed by another breaker.
  PLockRefusal now;
  ino_t ino = 0;
  PLockHolder holder;
  bool removed = false;
  if (!JudgeFile(lockpath, host, &now, &ino, &holder))
    removed = now.err == 0;
  else if (ino == judged && now.verdict == PLVstale && !(removed = unlink(lockpath) == 0))
    *err = errno;
  unlink(brk.c_str());
  return removed;
}

}  // namespace

PLockHolder PprocessHolds(long pid, const char* path, const struct stat& lock,
                          std::string* command) {
  if (pid <= 0 || pid > INT_MAX) return PLHgone;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return PLHgone;
  std::string name, own;
  unsigned long long start = 0, ownStart = 0;
  const bool known = ProcStat(pid, &name, &start);
  if (known && command != nullptr) *command = name;
  // A process of another program was only given the id of the lock's writer. One whose
  // executable cannot be looked at (another user's) is known by its command name.
  const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  if (SameFile(exe, "/proc/self/exe") != 1 && known && ProcStat(getpid(), &own, &ownStart) &&
      name != own)
    return PLHstranger;
  // A copy of this program keeps open the lock it holds.
  if (HasOpen(pid, lock) == 1) return PLHholds;
  // One that does not (a build that did not keep it open, or one given the id again) holds
  // it unless it started after the lock was made. The time the lock's inode last changed is
  // never earlier than its making and, unlike its modification time, no program can set it.
  long long lockAge = 0;
  const long long age = known ? ProcessAge(start) : -1;
  if (age >= 0 && LockAge(path, lock, &lockAge) && lockAge - age > kAgeMarginNs) return PLHlater;
  return PLHholds;
}

namespace {

// A command name as it may be shown: anything but printable ASCII becomes '?'.
std::string Shown(const std::string& name) {
  std::string out = name;
  for (char& c : out)
    if (c < 0x20 || c > 0x7e) c = '?';
  return out;
}

}  // namespace

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
    default: {
      if (pid <= 0) return file + " is held" + quoted + ": another program has it open for writing";
      const std::string who = "process " + std::to_string(pid) +
                              (command.empty() ? std::string() : " (\"" + Shown(command) + "\")");
      return file + " is held" + quoted + " by " + who +
             " on this computer, which may have the catalog open for writing. Quit that program "
             "and open the catalog again; if that process is not a copy of this program, the "
             "lock file may be deleted";
    }
  }
}

PLockVerdict PjudgeLock(const char* text, size_t len, const char* host,
                        PLockHolder (*holds)(long pid, void* arg), void* arg) {
  char buf[kReadMax + 1];
  if (len > kReadMax) len = kReadMax;
  if (len > 0) memcpy(buf, text, len);
  if (len > 0 && buf[len - 1] == '\n') {
    len--;
    if (len > 0 && buf[len - 1] == '\r') len--;
  }
  buf[len] = '\0';
  long pid = 0;
  bool overflow = false;
  if (!ParsePid(buf, &pid, &overflow)) pid = 0;
  if (pid == 0) return PLVstale;
  if (pid < 0 || overflow) return PLVunknown;
  if (strcmp(HolderHost(buf), host != nullptr ? host : "") != 0) return PLVforeign;
  return holds != nullptr && holds(pid, arg) == PLHholds ? PLVheld : PLVstale;
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

namespace {

// Lets go of the lock file at path that this process holds: its descriptor is closed before
// the file is removed (a file removed while open lingers under another name on some network
// file systems).
void Release(const char* path) {
  for (size_t i = 0; i < held.size(); i++) {
    if (held[i].first != path) continue;
    if (held[i].second >= 0) close(held[i].second);
    held.erase(held.begin() + static_cast<long>(i));
    break;
  }
  if (unlink(path) != 0 && errno != ENOENT)
    DMESSAGE(DMCwarning, "Cannot remove the lock file '%s': %s", path, strerror(errno));
}

}  // namespace

bool PContext::WriteLock(char* lockpath, const char* dbpath, PLockRefusal* refusal) {
  PLockRefusal own;
  PLockRefusal& r = refusal != nullptr ? *refusal : own;
  r = PLockRefusal();
  if (lockpath == nullptr) return false;
  if (lockpath[0] != '\0') {
    Release(lockpath);
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
  int got = 0, kept = -1;
  bool replaced = false;
  PLockHolder was = PLHgone;  // what was found of the process named by the lock replaced
  long waspid = 0;
  for (int pass = 0; pass < 2 && got == 0; pass++) {
    ino_t ino = 0;
    PLockHolder holder;
    if (JudgeFile(name, host, &r, &ino, &holder)) {
      if (r.verdict != PLVstale || !RemoveStale(name, ino, line, host, &r.err)) break;
      replaced = true;
      was = holder;
      waspid = r.pid;
    } else if (r.err != 0) {
      break;
    }
    got = LinkLock(name, line, &r.err, &kept);
  }
  if (got == 1) {
    // The lock replaced is told with why its process, when alive, did not hold it.
    if (replaced && was == PLHstranger)
      DMESSAGE(DMCinfo, "Ignoring previous DB lock (process %ld is not this program)", waspid);
    else if (replaced && was == PLHlater)
      DMESSAGE(DMCinfo, "Ignoring previous DB lock (process %ld started after the lock)", waspid);
    else if (replaced)
      DMESSAGE(DMCinfo, "Ignoring previous DB lock (dead process)");
    held.emplace_back(name, kept);
    r = PLockRefusal();
    memcpy(lockpath, name, strlen(name) + 1);
    return true;
  }
  if (r.err == 0 && r.verdict == PLVstale) {
    // Another program took the lock, or is replacing it, while this one looked.
    ino_t ino = 0;
    PLockHolder holder;
    JudgeFile(name, host, &r, &ino, &holder);
    if (r.err == 0 && r.verdict == PLVstale) {
      r.verdict = PLVheld;
      r.pid = 0;  // whoever holds it now is not known
      r.command.clear();
    }
  }
  if (r.err != 0)
    DMESSAGE(DMCwarning, "Cannot create the lock file '%s': %s", name, strerror(r.err));
  else
    DMESSAGE(DMCwarning, "Cannot capture lock file '%s'", name);
  return false;
}
