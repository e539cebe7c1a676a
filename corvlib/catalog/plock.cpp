// Catalogue write locks. A lock file exists only whole: its line is written to a private file
// beside it, which is then linked to the lock name (link fails when a lock exists, so linking
// is the exclusive creation). A file system without hard links (FAT) refuses the link; there
// the lock file is made under its own name by exclusive creation, locked by the kernel for
// writing before a byte is in it, then written whole and synced: a taker finds it locked, or
// empty and unlocked, and the empty file is removed only by a breaker that first locks it for
// reading, which its maker then can no longer lock (the maker gives way). The holder keeps its
// lock file open, with an advisory lock of the kernel on it, for as long as it holds it: the
// kernel tells a taker that the lock is held, whatever the holder's name, user or age, and a
// process table shows the file open, by whatever name the holder reached it (another mount of
// its folder shows it under another device and inode, but with the same file name, length and
// time). A stale lock is removed only while holding its breaker lock and only when it is still
// the file that was judged; a lock another process took in the meantime is respected. A holder
// removes its lock only while the lock name still stands for the file it made.
#include "catalog/plock.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "catalog/pcontext.h"
#include "catalog/plocksys.h"
#include "db/dbjournal.h"
#include "image/pireader.h"
#include "support/bytetext.h"
#include "support/dmessage.h"

namespace {

const char kLockText[] = "Catalog write lock held by process";
constexpr size_t kReadMax = 256;

// A lock file this process holds: the descriptor kept open on it (with the advisory lock),
// the file it made and the process that made it (a child made by fork inherits the list but
// holds none of them). The program's one thread takes and releases them.
struct Held {
  std::string path;
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  pid_t pid = 0;
};
std::vector<Held> held;

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

// The whole file as one range: the advisory lock of a holder and the question of a taker.
struct flock WholeFile(short type) {
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  return fl;
}

// Takes the holder's advisory lock on the file open (for reading) as fd. It belongs to the
// open file, not to the process: it lasts until the last descriptor of that open file closes.
bool HoldLock(int fd) {
  struct flock fl = WholeFile(F_RDLCK);
  return fd >= 0 && fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// Asks the kernel whether a lock is held on the file open as fd. Only asked, never taken: a
// taker that looks leaves nothing behind. A write lock is asked for (which any holder's read
// lock refuses); asking needs no right to write.
int KernelLocked(int fd) {
  struct flock fl = WholeFile(F_WRLCK);
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return -1;
  return fl.l_type != F_UNLCK ? 1 : 0;
}

// Reads at most max bytes of the file at path, never through a symbolic link nor waiting for a
// writer; false (errno set) when it cannot be read. With st, the file's status goes there and
// with locked, what the kernel says of its advisory lock.
bool ReadSome(const char* path, std::string* out, size_t max, struct stat* st,
              int* locked = nullptr) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  out->assign(max, '\0');
  ssize_t got = st == nullptr || fstat(fd, st) == 0 ? read(fd, &(*out)[0], max) : -1;
  const int err = errno;
  if (got >= 0 && locked != nullptr) *locked = plockSystem.locked(fd);
  close(fd);
  if (got < 0) {
    errno = err;
    return false;
  }
  out->resize(static_cast<size_t>(got));
  return true;
}

// The command name of process pid, from its line in the process table, and (with state) its
// state letter; false when they cannot be read.
bool ProcCommand(long pid, std::string* command, char* state = nullptr) {
  std::string stat;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  if (!ReadSome(path.c_str(), &stat, 4096, nullptr)) return false;
  // The command name (field 2) stands in parentheses and may hold anything, spaces and
  // parentheses too: it ends at the last ')'. The state (field 3) follows it.
  const size_t open = stat.find('(');
  const size_t paren = stat.rfind(')');
  if (open == std::string::npos || paren == std::string::npos || paren < open) return false;
  if (state != nullptr && (paren + 2 >= stat.size() || stat[paren + 1] != ' ')) return false;
  command->assign(stat, open + 1, paren - open - 1);
  if (state != nullptr) *state = stat[paren + 2];
  return true;
}

// Whether process pid has ended and only waits to be reaped: a zombie holds no file and no
// lock, though a probe of its number succeeds. A first thread that ended while other threads
// of its process run is no ended process: those threads keep its files.
bool Ended(long pid) {
  std::string command;
  char state = 0;
  if (!ProcCommand(pid, &command, &state) || (state != 'Z' && state != 'X')) return false;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(tasks.c_str());
  if (d == nullptr) return errno == ENOENT;  // reaped meanwhile
  const std::string own = std::to_string(pid);
  bool others = false;
  while (const dirent* e = readdir(d))
    if (e->d_name[0] >= '0' && e->d_name[0] <= '9' && own != e->d_name) others = true;
  closedir(d);
  return !others;
}

// A file looked for among the files a process has open: a lock file or the catalogue it
// guards.
struct Sought {
  bool exists = false;
  struct stat st = {};
  std::string name;  // its file name, without folder ("" when not known)
  std::string real;  // its whole name through no symbolic link ("" when not known)
};

// The file at path, with its status st when given (that of the file opened), else looked up.
Sought Seek(const char* path, const struct stat* st = nullptr) {
  Sought s;
  if (st != nullptr) {
    s.st = *st;
    s.exists = true;
  } else {
    s.exists = stat(path, &s.st) == 0;
  }
  const char* slash = strrchr(path, '/');
  s.name = slash != nullptr ? slash + 1 : path;
  if (char* real = realpath(path, nullptr)) {
    s.real = real;
    free(real);
  }
  return s;
}

// 1 when the open file f is the file sought, 0 when it is not, -1 when that cannot be told.
// One file reached through two mounts of its folder where one is a user-space file system
// (FUSE) shows two devices and inode numbers, and each process names it by its own mount:
// the same file is also known by the name it was opened by being the sought one's whole name,
// or by its file name, length and modification time being the same. An open file whose name
// ends in " (deleted)" has been removed: it is none of the files a name reaches now.
int IsSought(const POpenFile& f, const Sought& s) {
  if (!s.exists) return 0;
  if (f.seen && f.st.st_dev == s.st.st_dev && f.st.st_ino == s.st.st_ino) return 1;
  if (!s.real.empty() && f.name == s.real) return 1;
  if (s.name.empty() || f.name.compare(f.name.rfind('/') + 1, std::string::npos, s.name) != 0)
    return 0;
  if (!f.seen) return -1;
  return S_ISREG(f.st.st_mode) && S_ISREG(s.st.st_mode) && f.st.st_size == s.st.st_size &&
         f.st.st_mtim.tv_sec == s.st.st_mtim.tv_sec && f.st.st_mtim.tv_nsec == s.st.st_mtim.tv_nsec;
}

// Whether this process holds the lock file sought.
bool HeldHere(const Sought& lock) {
  for (const Held& h : held) {
    if (h.pid != getpid()) continue;
    if (h.dev == lock.st.st_dev && h.ino == lock.st.st_ino) return true;
    POpenFile f;
    if (h.fd < 0 || fstat(h.fd, &f.st) != 0) continue;
    f.seen = true;
    char to[4096];
    const ssize_t n =
        readlink(("/proc/self/fd/" + std::to_string(h.fd)).c_str(), to, sizeof to - 1);
    f.name = n > 0 ? std::string(to, static_cast<size_t>(n)) : h.path;
    if (IsSought(f, lock) == 1) return true;
  }
  return false;
}

// 1 when a and b are the same file, 0 when they are not, -1 when either cannot be looked at.
int SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return -1;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool OpenFiles(long pid, std::vector<POpenFile>* files) {
  files->clear();
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return false;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    const std::string fd = dir + "/" + e->d_name;
    char to[4096];
    const ssize_t n = readlink(fd.c_str(), to, sizeof to - 1);
    // Pipes, sockets and the like are no files: they are not looked at.
    if (n < 1 || to[0] != '/') continue;
    POpenFile f;
    f.name.assign(to, static_cast<size_t>(n));
    f.seen = stat(fd.c_str(), &f.st) == 0;
    files->push_back(f);
  }
  closedir(d);
  return true;
}

// 1 when process pid has the lock file or (when given) the catalogue open, by whatever name,
// 0 when it has neither, -1 when that cannot be told (its open files cannot be seen).
int HasOpen(long pid, const Sought& lock, const Sought* db) {
  std::vector<POpenFile> files;
  if (!plockSystem.openFiles(pid, &files)) return -1;
  bool unsure = false;
  for (const POpenFile& f : files) {
    for (const Sought* s : {&lock, db}) {
      if (s == nullptr) continue;
      const int is = IsSought(f, *s);
      if (is == 1) return 1;
      unsure |= is < 0;
    }
  }
  return unsure ? -1 : 0;
}

bool ProcOwner(long pid, uid_t* uid) {
  struct stat st;
  if (stat(("/proc/" + std::to_string(pid)).c_str(), &st) != 0) return false;
  *uid = st.st_uid;
  return true;
}

// A user as the alert names it: the login name, or the number when it has none.
std::string UserName(uid_t uid) {
  struct passwd pw, *found = nullptr;
  char buf[1024];
  if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr &&
      found->pw_name != nullptr && found->pw_name[0] != '\0')
    return found->pw_name;
  return std::to_string(uid);
}

// Why a lock file that was replaced held no lock, as the log tells it.
enum class Stale {
  none,
  link,      // a symbolic link, dangling, looping or not
  notFile,   // something that is not a regular file (a pipe)
  empty,     // no text
  garbled,   // text that names no process
  dead,      // no process has the id it names
  stranger,  // a live process of another program has the id
  self,      // the id is the taker's own (a lock left by an earlier run given the same id)
  ended,     // the process has ended and waits to be reaped
};

// What process pid of this host has to do with the lock file sought and (when given) the
// catalogue it guards: PprocessHolds, which the files sought widen beyond their device and
// inode. *unseen (when given) is set when the process is taken to hold the lock only because its
// open files cannot be seen.
PLockHolder Holds(long pid, const Sought& lock, const Sought* db, int locked, std::string* command,
                  std::string* user, bool* unseen) {
  if (pid <= 0 || pid > INT_MAX) return PLHgone;
  const bool alive = kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
  std::string name;
  const bool known = alive && ProcCommand(pid, &name);
  if (known && command != nullptr) *command = name;
  uid_t uid = 0;
  if (alive && user != nullptr && plockSystem.owner(pid, &uid) && uid != geteuid())
    *user = UserName(uid);
  // The kernel is asked first: an advisory lock held on the file is its holder's, whatever
  // that process's name, user or age.
  if (locked == 1) return PLHholds;
  // This process knows the locks it holds: any other naming it was left by an earlier process
  // given the same number (as every start in a new process table is).
  if (pid == getpid()) return HeldHere(lock) ? PLHholds : PLHself;
  if (!alive) return PLHgone;
  if (Ended(pid)) return PLHended;
  // A holder keeps its lock open, and a writer its catalogue, by whatever name it reached them:
  // the kernel's lock is not seen through every other mount of their folder.
  const int open = HasOpen(pid, lock, db);
  if (open == 1) return PLHholds;
  // Where it cannot be seen whether the process holds the lock, or has it open, it is
  // respected.
  if (open < 0 && unseen != nullptr) *unseen = true;
  if (open < 0 || locked < 0) return PLHholds;
  // A live process that neither holds the lock nor has it or the catalogue open is no holder of
  // this program's making: one of another program (neither its executable nor its command name
  // is this process's) was only given the id of the lock's writer. A copy of this program that
  // does neither (an older one between two uses of its catalogue) cannot be told from one given
  // the id: it is respected.
  std::string own;
  const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  if (SameFile(exe, "/proc/self/exe") != 1 && known && ProcCommand(getpid(), &own) && name != own)
    return PLHstranger;
  return PLHholds;
}

// A lock file being judged, the catalogue it guards, and what was found of the process it
// names.
struct Judging {
  struct stat st = {};
  int locked = -1;
  Sought lock;
  const Sought* db = nullptr;
  long pid = 0;
  PLockHolder holder = PLHgone;
  std::string command;
  std::string user;
  bool unseen = false;
};

PLockHolder HoldsJudged(long pid, void* arg) {
  Judging* j = static_cast<Judging*>(arg);
  j->pid = pid;
  j->holder = Holds(pid, j->lock, j->db, j->locked, &j->command, &j->user, &j->unseen);
  return j->holder;
}

// Reads the lock file and judges it for a taker on host; false when there is none to judge
// (r->err then tells why it could not be read, 0 when it does not exist). Its status goes to
// *st, and why it holds no lock (when it holds none) to *why. A symbolic link in its place is
// judged as a link, never followed: this program makes none, so it holds no lock. db (when
// given) is the catalogue the lock guards: a process that has it open holds the lock.
bool JudgeFile(const char* path, const char* db, const char* host, PLockRefusal* r, struct stat* st,
               Stale* why) {
  std::string text;
  Judging j;
  r->line.clear();
  r->host.clear();
  r->pid = 0;
  r->command.clear();
  r->user.clear();
  r->unseen = false;
  *why = Stale::none;
  if (!ReadSome(path, &text, kReadMax, &j.st, &j.locked)) {
    r->err = errno;
    if (r->err == ELOOP && lstat(path, &j.st) == 0 && S_ISLNK(j.st.st_mode)) {
      r->err = 0;
      r->verdict = PLVstale;
      *why = Stale::link;
      *st = j.st;
      return true;
    }
    if (r->err == ENOENT) r->err = 0;
    r->verdict = r->err != 0 ? PLVunknown : PLVstale;
    return false;
  }
  r->err = 0;
  *st = j.st;
  r->line = text.substr(0, text.find('\n'));
  if (!r->line.empty() && r->line.back() == '\r' && r->line.size() < text.size())
    r->line.pop_back();
  if (!S_ISREG(j.st.st_mode)) {
    // This program makes only files; whatever else stands there holds no lock.
    r->verdict = PLVstale;
    *why = Stale::notFile;
    return true;
  }
  j.lock = Seek(path, &j.st);
  Sought catalog;
  if (db != nullptr) {
    catalog = Seek(db);
    j.db = &catalog;
  }
  r->verdict = PjudgeLock(text.data(), text.size(), host, HoldsJudged, &j);
  if (r->verdict == PLVforeign) r->host = HolderHost(r->line.c_str());
  r->pid = j.pid;
  r->command = j.command;
  r->user = j.user;
  r->unseen = r->verdict == PLVheld && j.unseen;
  if (r->verdict == PLVstale && j.locked == 1) {
    // Whatever the file says, a lock the kernel holds on it is respected.
    r->verdict = PLVheld;
  } else if (r->verdict == PLVstale) {
    if (j.pid == 0)
      *why = r->line.empty() && text.find_first_not_of("\r\n") == std::string::npos
                 ? Stale::empty
                 : Stale::garbled;
    else
      *why = j.holder == PLHstranger ? Stale::stranger
             : j.holder == PLHself   ? Stale::self
             : j.holder == PLHended  ? Stale::ended
                                     : Stale::dead;
  }
  if (r->verdict == PLVheld && j.pid > 0 &&
      (j.pid == getpid() ? !HeldHere(j.lock)
                         : kill(static_cast<pid_t>(j.pid), 0) != 0 && errno == ESRCH)) {
    // Held, but not by the process it names (one that inherited the open file, or one of
    // another process table that was given this process's number): who holds it is not known.
    r->pid = 0;
    r->command.clear();
    r->user.clear();
    r->unseen = false;
  }
  return true;
}

// Whether link() refused for want of hard links rather than for a reason to tell: FAT and many
// user-space file systems answer EPERM, others EOPNOTSUPP or ENOSYS, and one that gives a file
// a single name EMLINK (the file linked is new, with one name). EPERM may also be a rule of the
// system against this link; exclusive creation is as sound a lock there, and refuses for a
// reason of its own when it must.
bool NoHardLinks(int err) {
  switch (err) {
    case EPERM:
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
    case ENOSYS:
    case EMLINK:
      return true;
    default:
      return false;
  }
}

// Makes the lock file under its own name by exclusive creation, where no hard link can be
// made: locked by the kernel for writing before a byte is in it, then written whole and synced.
// A taker finds it locked, or empty and unlocked; a breaker that judged the empty file stale
// locks it for reading before removing it, so that this maker, locking it after, either is
// refused the lock or finds its name gone, and gives way (0: a lock exists). A file system
// without advisory locks leaves the file alone as the lock. Returns and keeps as LinkLock.
int CreateLock(const char* lockpath, const std::string& line, int* err, int* keep,
               struct stat* made) {
  const int fd = open(lockpath, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0444);
  if (fd < 0) {
    if (errno == EEXIST) return 0;
    *err = errno;
    return -1;
  }
  struct stat st, now;
  const bool known = fstat(fd, &st) == 0;
  struct flock fl = WholeFile(F_WRLCK);
  // Locked, it is still to be the file its name stands for: a breaker may have removed it
  // before the lock was taken (and let go of its own lock on it since).
  if ((plockSystem.setLock(fd, &fl) != 0 && (errno == EAGAIN || errno == EACCES)) || !known ||
      lstat(lockpath, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
    close(fd);
    return 0;
  }
  int why = 0;
  for (size_t done = 0; done < line.size() && why == 0;) {
    const ssize_t n = write(fd, line.data() + done, line.size() - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n == 0 || errno != EINTR)
      why = n < 0 ? errno : ENOSPC;
  }
  // A file system that keeps no sync (EINVAL) has the line all the same.
  if (why == 0 && fsync(fd) != 0 && errno != EINVAL) why = errno;
  if (why == 0) {
    if (made != nullptr && fstat(fd, made) != 0) *made = st;
    if (keep != nullptr)
      *keep = fd;
    else
      close(fd);
    return 1;
  }
  // Removed while its name still stands for the file made here, and locked.
  if (lstat(lockpath, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino)
    unlink(lockpath);
  close(fd);
  *err = why;
  return -1;
}

// Writes the lock line into a new private file beside the lock and links it to the lock name,
// or where the file system has no hard links, makes it by exclusive creation (CreateLock).
// 1 taken, 0 a lock exists, -1 the lock cannot be made here (the reason in *err). With keep, a
// lock taken stays open there with its advisory lock (-1 when it could not be opened), and
// the file made goes to *made.
int LinkLock(const char* lockpath, const std::string& line, int* err, int* keep = nullptr,
             struct stat* made = nullptr) {
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
  if (made != nullptr && fstat(fd, made) != 0) memset(made, 0, sizeof *made);
  const bool closed = close(fd) == 0;
  if (written && !closed) why = errno;
  if (!written || !closed) {
    unlink(tmp.c_str());
    *err = why;
    return -1;
  }
  // Opened and locked before it is a lock, it is open and locked for as long as it is one. A
  // file system without advisory locks leaves it only open. Another may have put something in
  // its place meanwhile: it is never followed nor waited on.
  const int open_fd =
      keep != nullptr ? open(tmp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK) : -1;
  const bool locked = HoldLock(open_fd);
  int r = plockSystem.link(tmp.c_str(), lockpath) == 0 ? 1 : (errno == EEXIST ? 0 : -1);
  const int linkErr = errno;
  unlink(tmp.c_str());
  if (r == 1 && keep != nullptr) {
    // Kept open under the lock's own name when that is still the same file, so that the
    // process table shows which file it holds; locked before the first descriptor closes.
    *keep = open_fd;
    struct stat was, now;
    const int named = open(lockpath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (named >= 0 && open_fd >= 0 && fstat(open_fd, &was) == 0 && fstat(named, &now) == 0 &&
        was.st_dev == now.st_dev && was.st_ino == now.st_ino && (HoldLock(named) || !locked)) {
      close(open_fd);
      *keep = named;
    } else if (named >= 0) {
      close(named);
    }
  } else if (open_fd >= 0) {
    close(open_fd);
  }
  if (r < 0 && NoHardLinks(linkErr)) return CreateLock(lockpath, line, err, keep, made);
  if (r < 0) *err = linkErr;
  return r;
}

// Removes the file at path judged stale (whose status was judged) when it is still that file.
// A maker that is still to lock the file it made by exclusive creation is kept from it first
// by a lock for reading (CreateLock gives way then), and one that has locked it refuses that
// lock: such a file is left. False when it is not removed (*err tells a failure of the system).
bool RemoveJudged(const char* path, const struct stat& judged, int* err) {
  // A symbolic link is not opened, nor anything but a file read that would wait.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  struct stat st;
  if (fd >= 0) {
    struct flock fl = WholeFile(F_RDLCK);
    if (fstat(fd, &st) != 0 || st.st_dev != judged.st_dev || st.st_ino != judged.st_ino ||
        (fcntl(fd, F_OFD_SETLK, &fl) != 0 && (errno == EAGAIN || errno == EACCES))) {
      close(fd);
      return false;
    }
  }
  bool removed = false;
  if (lstat(path, &st) == 0 && st.st_dev == judged.st_dev && st.st_ino == judged.st_ino &&
      !(removed = unlink(path) == 0))
    *err = errno;
  if (fd >= 0) close(fd);
  return removed;
}

// Removes the lock file judged stale (whose status was judged) of the catalogue db. Breaking a
// lock is serialised by a second lock beside it, "<lock>.break", taken the same way: under it,
// the file at the lock name is removed only when it is still the one judged and still stale,
// so a lock that another process took in the meantime is never touched and the lock name is
// never empty while a live lock exists. False when the lock cannot be broken now (another
// process is breaking it, or it changed; *err tells a failure of the system).
bool RemoveStale(const char* lockpath, const char* db, const struct stat& judged,
                 const std::string& line, const char* host, int* err) {
  const std::string brk = std::string(lockpath) + ".break";
  int kept = -1;
  int got = LinkLock(brk.c_str(), line, err, &kept);
  if (got == 0) {
    // A breaker left by a process that died while breaking is itself stale.
    PLockRefusal breaker;
    struct stat judgedBreaker;
    Stale why;
    if (!JudgeFile(brk.c_str(), nullptr, host, &breaker, &judgedBreaker, &why) ||
        breaker.verdict != PLVstale || !RemoveJudged(brk.c_str(), judgedBreaker, err))
      return false;
    got = LinkLock(brk.c_str(), line, err, &kept);
  }
  if (got != 1) return false;
  // Judged again under the breaker: inode numbers are reused, so a new lock may bear the
  // number of the stale one just removed by another breaker.
  PLockRefusal now;
  struct stat st;
  Stale why;
  bool removed = false;
  if (!JudgeFile(lockpath, db, host, &now, &st, &why))
    removed = now.err == 0;
  else if (st.st_dev == judged.st_dev && st.st_ino == judged.st_ino && now.verdict == PLVstale)
    removed = RemoveJudged(lockpath, st, err);
  unlink(brk.c_str());
  if (kept >= 0) close(kept);
  return removed;
}

int SetLock(int fd, struct flock* fl) {
  return fcntl(fd, F_OFD_SETLK, fl);
}

}  // namespace

PLockSystem plockSystem = {KernelLocked, OpenFiles, ProcOwner, link, SetLock};

const PLockSystem& PlockSystemDefault() {
  static const PLockSystem system = {KernelLocked, OpenFiles, ProcOwner, link, SetLock};
  return system;
}

PLockHolder PprocessHolds(long pid, const struct stat& lock, int locked, std::string* command,
                          std::string* user) {
  Sought file;
  file.exists = true;
  file.st = lock;
  return Holds(pid, file, nullptr, locked, command, user, nullptr);
}

namespace {

// Text from a lock file or another process as it may be shown in an alert or the log:
// printable ASCII and whole UTF-8 characters stay; control bytes and characters (line and
// direction marks too), and bytes of no whole character, become '?'.
std::string Shown(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t n = c < 0x80 ? (c >= 0x20 && c < 0x7f ? 1 : 0)
                              : Utf8CharLength(text.data() + i, text.size() - i);
    uint32_t cp = n > 1 ? c & (0x7fu >> n) : c;
    for (size_t k = 1; k < n; k++) cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3fu);
    const bool control = (cp >= 0x80 && cp <= 0x9f) || (cp >= 0x200e && cp <= 0x200f) ||
                         (cp >= 0x2028 && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069);
    if (n > 0 && !control)
      out.append(text, i, n);
    else
      out += '?';
    // A whole character is one '?'; a byte of none is one each.
    i += n > 0 ? n : 1;
  }
  return out;
}

// A system error in a few words, once: "permission denied", not also the system's own words.
std::string Briefly(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
      return "permission denied";
    case EROFS:
      return "the file system is read-only";
    default:
      return strerror(err);
  }
}

// Why a lock file standing in the way holds no lock, as the alert tells it.
const char* StaleWhy(Stale why) {
  switch (why) {
    case Stale::link:
      return "it is a symbolic link";
    case Stale::notFile:
      return "it is not a file";
    case Stale::empty:
      return "the file is empty";
    case Stale::garbled:
      return "its text names no process";
    case Stale::stranger:
      return "that number is another program's now";
    case Stale::self:
      return "that number is this process's now";
    case Stale::dead:
    case Stale::ended:
    case Stale::none:
      break;
  }
  return "that process has ended";
}

}  // namespace

std::string PLockRefusal::Why() const {
  const std::string who = "process " + std::to_string(pid) +
                          (command.empty() ? std::string() : " (\"" + Shown(command) + "\")") +
                          (user.empty() ? std::string() : " of user '" + Shown(user) + "'") +
                          " on this computer";
  if (fileHeld) {
    return "the file is held for writing by " + (pid > 0 ? who : std::string("another program")) +
           (through.empty() ? std::string(", which may have opened it by another name (a link, "
                                          "or another mount of its folder)")
                            : ", which opened it as '" + Shown(through) + "'") +
           ". Quit that program and open the catalog again";
  }
  if (lock.empty()) return "its lock file cannot be taken";
  const std::string file = "its lock file '" + lock + "'";
  const std::string quoted = line.empty() ? std::string() : " (\"" + Shown(line) + "\")";
  const size_t slash = lock.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".")
                          : slash == 0               ? std::string("/")
                                                     : lock.substr(0, slash);
  const std::string byUser = owner.empty() ? std::string() : "user '" + Shown(owner) + "'";
  // Who may remove a lock file: its user, or whoever may change its folder.
  const std::string remover = (owner.empty() ? std::string() : byUser + " or as ") +
                              "a user who may change the folder '" + dir +
                              "', then open the catalog again";
  if (!stale.empty() && err != 0) {
    return file + quoted + " is a stale lock" +
           (pid > 0 ? " of process " + std::to_string(pid) : std::string()) +
           (owner.empty() ? std::string() : " of " + byUser) + " (" + stale +
           ") and cannot be removed (" + Briefly(err) + "). Delete it as " + remover;
  }
  if (unreadable && err != 0) {
    return file + (owner.empty() ? std::string() : " of " + byUser) + " cannot be read (" +
           Briefly(err) +
           "), so whether a program holds it cannot be told. If none uses the catalog, delete it "
           "as " +
           remover;
  }
  if (err != 0) return file + " cannot be made (" + PsystemReason(err) + ")";
  switch (verdict) {
    case PLVunknown:
      return file + quoted + " names no process that can be checked";
    case PLVforeign:
      return file + " was made by a program on " +
             (host.empty() ? std::string("another computer")
                           : "the computer '" + Shown(host) + "'") +
             quoted +
             ", which may have it open for writing. Once no program on that computer uses the "
             "catalog, the lock file may be deleted";
    default: {
      if (pid <= 0) return file + " is held" + quoted + ": another program has it open for writing";
      return file + " is held" + quoted + " by " + who +
             (unseen ? ", whose open files cannot be seen from here, so whether it has the "
                       "catalog open for writing cannot be told"
                     : ", which may have the catalog open for writing") +
             ". Quit that program and open the catalog again; if that process is not a copy of "
             "this program, the lock file may be deleted";
    }
  }
}

PLockVerdict PjudgeLock(const char* text, size_t len, const char* host,
                        PLockHolder (*holds)(long pid, void* arg), void* arg) {
  char buf[kReadMax + 1];
  if (len > kReadMax) len = kReadMax;
  if (len > 0) memcpy(buf, text, len);
  // The first line alone is the lock's: whatever follows it (a blank line, say) is no part of
  // the holder's host.
  if (const void* eol = len > 0 ? memchr(buf, '\n', len) : nullptr) {
    len = static_cast<size_t>(static_cast<const char*>(eol) - buf);
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

// Lets go of the lock file at path. It is removed only by the process that made it and only
// while the name still stands for the file made: a lock deleted by hand and since taken by
// another program is that program's. The file is removed while still open and locked, so that
// no taker finds it unheld before it is gone; closing then lets go of the advisory lock.
void Release(const char* path) {
  Held h;
  bool found = false;
  for (size_t i = 0; i < held.size() && !found; i++) {
    if (held[i].path != path) continue;
    h = held[i];
    held.erase(held.begin() + static_cast<long>(i));
    found = true;
  }
  struct stat st;
  if (!found || h.pid != getpid()) {
    DMESSAGE(DMCwarning, "Lock file '%s' was not made by this process: left alone", path);
  } else if (lstat(path, &st) != 0) {
    if (errno == ENOENT)
      DMESSAGE(DMCinfo, "Lock file '%s' was removed by another hand", path);
    else
      DMESSAGE(DMCwarning, "Cannot look at the lock file '%s': %s", path, strerror(errno));
  } else if (st.st_dev != h.dev || st.st_ino != h.ino) {
    DMESSAGE(DMCwarning, "Lock file '%s' is no longer the one this process made: left alone", path);
  } else if (unlink(path) != 0 && errno != ENOENT) {
    DMESSAGE(DMCwarning, "Cannot remove the lock file '%s': %s", path, strerror(errno));
  }
  if (found && h.fd >= 0) close(h.fd);
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
  struct stat made;
  memset(&made, 0, sizeof made);
  Stale was = Stale::none;  // why the lock replaced held none
  long waspid = 0;
  for (int pass = 0; pass < 2 && got == 0; pass++) {
    struct stat st;
    Stale why;
    if (JudgeFile(name, dbpath, host, &r, &st, &why)) {
      if (r.verdict != PLVstale) break;
      if (!RemoveStale(name, dbpath, st, line, host, &r.err)) {
        if (r.err != 0) {
          // A stale lock this user may not remove: told as such, with whose file it is.
          r.stale = StaleWhy(why);
          if (st.st_uid != geteuid()) r.owner = UserName(st.st_uid);
        }
        break;
      }
      was = why;
      waspid = r.pid;
    } else if (r.err != 0) {
      // A lock file this user may not read (another user's, made unreadable): whose it is.
      r.unreadable = (r.err == EACCES || r.err == EPERM) && lstat(name, &st) == 0;
      if (r.unreadable && st.st_uid != geteuid()) r.owner = UserName(st.st_uid);
      break;
    }
    got = LinkLock(name, line, &r.err, &kept, &made);
  }
  if (got == 1) {
    switch (was) {
      case Stale::none:
        break;
      case Stale::link:
        DMESSAGE(DMCinfo, "Ignoring previous DB lock (symbolic link)");
        break;
      case Stale::notFile:
        DMESSAGE(DMCinfo, "Ignoring previous DB lock (not a file)");
        break;
      case Stale::empty:
        DMESSAGE(DMCinfo, "Ignoring previous DB lock (empty lock file)");
        break;
      case Stale::garbled:
        DMESSAGE(DMCinfo, "Ignoring previous DB lock (unreadable contents)");
        break;
      case Stale::dead:
        DMESSAGE(DMCinfo, "Ignoring previous DB lock (dead process)");
        break;
      case Stale::stranger:
        DMESSAGE(DMCinfo, "Ignoring previous DB lock (process %ld is not this program)", waspid);
        break;
      case Stale::self:
        DMESSAGE(DMCinfo,
                 "Ignoring previous DB lock (process %ld is this process: left by an "
                 "earlier run given its number)",
                 waspid);
        break;
      case Stale::ended:
        DMESSAGE(DMCinfo, "Ignoring previous DB lock (process %ld has ended)", waspid);
        break;
    }
    Held h;
    h.path = name;
    h.fd = kept;
    h.dev = made.st_dev;
    h.ino = made.st_ino;
    h.pid = getpid();
    held.push_back(h);
    r = PLockRefusal();
    memcpy(lockpath, name, strlen(name) + 1);
    return true;
  }
  if (r.err == 0 && r.verdict == PLVstale) {
    // Another program took the lock, or is replacing it, while this one looked.
    struct stat st;
    Stale why;
    JudgeFile(name, dbpath, host, &r, &st, &why);
    if (r.err == 0 && r.verdict == PLVstale) {
      r.verdict = PLVheld;
      r.pid = 0;  // whoever holds it now is not known
      r.command.clear();
      r.user.clear();
    }
  }
  if (!r.stale.empty() && r.err != 0)
    DMESSAGE(DMCwarning, "Cannot remove the stale lock file '%s' (%s): %s", name, r.stale.c_str(),
             Briefly(r.err).c_str());
  else if (r.err != 0)
    DMESSAGE(DMCwarning, "Cannot create the lock file '%s': %s", name, strerror(r.err));
  else
    DMESSAGE(DMCwarning, "Cannot capture lock file '%s'", name);
  return false;
}

namespace {

// The process that holds the writer's lock of the file whose status is file, by an open file
// other than skip of this process, and the name it opened the file by: looked up in the
// process table's lists of open files and of their locks. False when it cannot be seen (the
// process of another user, no process table).
bool FindWriter(const struct stat& file, int skip, long* pid, std::string* name) {
  // The lock's line in the list names the file by device and inode, the device as the file
  // system knows it (which may differ from what stat gives): the file is known by stat, and
  // the line by its inode and first byte.
  char id[96];
  snprintf(id, sizeof id, ":%lu %lld ", static_cast<unsigned long>(file.st_ino), PwriterByte);
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  bool found = false;
  while (const dirent* p = readdir(proc)) {
    if (p->d_name[0] < '1' || p->d_name[0] > '9') continue;
    const std::string base = std::string("/proc/") + p->d_name;
    DIR* fds = opendir((base + "/fd").c_str());
    if (fds == nullptr) continue;
    const long n = strtol(p->d_name, nullptr, 10);
    while (const dirent* e = readdir(fds)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      if (n == getpid() && atoi(e->d_name) == skip) continue;
      const std::string fd = base + "/fd/" + e->d_name;
      char to[4096];
      const ssize_t len = readlink(fd.c_str(), to, sizeof to - 1);
      struct stat st;
      if (len < 1 || to[0] != '/' || stat(fd.c_str(), &st) != 0 || st.st_dev != file.st_dev ||
          st.st_ino != file.st_ino)
        continue;
      std::string info;
      if (!ReadSome((base + "/fdinfo/" + e->d_name).c_str(), &info, 16384, nullptr)) continue;
      for (size_t at = info.find("lock:"); at != std::string::npos && !found;
           at = info.find("lock:", at + 1)) {
        const std::string one = info.substr(at, info.find('\n', at) - at) + " ";
        found = one.find("OFDLCK") != std::string::npos &&
                one.find(" WRITE ") != std::string::npos && one.find(id) != std::string::npos;
      }
      if (found) {
        *pid = n;
        name->assign(to, static_cast<size_t>(len));
        // A name whose file has since been removed ends in " (deleted)": it is told as it is.
        break;
      }
    }
    closedir(fds);
    if (found) break;
  }
  closedir(proc);
  return found;
}

}  // namespace

bool PclaimFile(int fd, const char* path, PLockRefusal* refusal) {
  static_assert(PwriterByte > DBJournal::kWriteByte || PwriterByte < DBJournal::kOwnerByte,
                "the writer's byte is none of the journal's");
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(PwriterByte);
  fl.l_len = 1;
  int got;
  do {
    got = plockSystem.setLock(fd, &fl);
  } while (got != 0 && errno == EINTR);
  // A file system without advisory locks: the lock file alone keeps a second writer out.
  if (got == 0 || (errno != EAGAIN && errno != EACCES)) return true;
  PLockRefusal own;
  PLockRefusal& r = refusal != nullptr ? *refusal : own;
  r = PLockRefusal();
  r.verdict = PLVheld;
  r.fileHeld = true;
  struct stat st;
  long pid = 0;
  if (fstat(fd, &st) == 0 && FindWriter(st, fd, &pid, &r.through)) {
    r.pid = pid;
    ProcCommand(pid, &r.command);
    uid_t uid = 0;
    if (plockSystem.owner(pid, &uid) && uid != geteuid()) r.user = UserName(uid);
  }
  DMESSAGE(DMCwarning, "Cannot capture the catalog file '%s': it is held for writing",
           path != nullptr ? path : "");
  return false;
}
