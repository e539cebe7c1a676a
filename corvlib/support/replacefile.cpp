// Temporary files beside their target, renamed into place when complete.
#include "support/replacefile.h"

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

#include "support/dmessage.h"
#include "support/futil.h"

namespace {

// Forces what was written to path (a file or a folder) to the disk.
bool SyncPath(const char* path, int flags) {
  const int fd = open(path, flags | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  const int err = errno;
  if (close(fd) != 0) return false;
  errno = err;
  return ok;
}

// Removes tmp, keeping errno as the step that failed left it.
void Remove(const std::string& tmp) {
  const int err = errno;
  unlink(tmp.c_str());
  errno = err;
}

// Tells that the temporary file tmp was replaced before it took path's name; 0, errno EEXIST.
// What stands at tmp now is another's, to remove or keep.
int Replaced(const std::string& tmp, const char* path) {
  DMESSAGE_ERRNO(DMCsystem, DMnoSystemError,
                 "The temporary file '%s' was replaced while it was written: '%s' is left as it "
                 "was",
                 tmp.c_str(), path);
  errno = EEXIST;
  return 0;
}

// What every temporary name carries after its target's name: the owner's process id and the
// random part follow it.
const char kTempMark[] = ".lumerin-";
// What ends the temporary part of the name, before any suffix a writer asked for.
const char kTempEnd[] = ".tmp";
// Longest file name the folders here take.
constexpr size_t kNameMax = 255;

bool IsAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The process id in a name PtempBeside made: ".<name>.lumerin-<pid>-<6 random>.tmp", perhaps
// followed by a suffix of a '.' and at most 8 letters or digits; 0 for any other name.
pid_t TempOwner(const char* name) {
  const size_t len = strlen(name);
  if (len < 2 || name[0] != '.') return 0;
  // The last mark: a temporary file made beside another temporary file names that one first.
  const char* mark = nullptr;
  for (const char* p = strstr(name + 2, kTempMark); p != nullptr; p = strstr(p + 1, kTempMark))
    mark = p;
  if (mark == nullptr) return 0;
  const char* p = mark + sizeof kTempMark - 1;
  long long pid = 0;
  int digits = 0;
  for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
    if (digits == 0 && *p == '0') return 0;
    pid = pid * 10 + (*p - '0');
    if (pid > INT_MAX) return 0;
  }
  if (digits == 0 || *p++ != '-') return 0;
  for (int i = 0; i < 6; ++i, ++p)
    if (!IsAlnum(*p)) return 0;
  if (strncmp(p, kTempEnd, sizeof kTempEnd - 1) != 0) return 0;
  p += sizeof kTempEnd - 1;
  if (*p == '\0') return static_cast<pid_t>(pid);
  if (*p++ != '.') return 0;
  int n = 0;
  for (; IsAlnum(*p); ++p) ++n;
  if (*p != '\0' || n < 1 || n > 8) return 0;
  return static_cast<pid_t>(pid);
}

}  // namespace

namespace {

// The PprivateFiles living on this thread.
thread_local int privateFiles = 0;

}  // namespace

PprivateFiles::PprivateFiles() {
  ++privateFiles;
}

PprivateFiles::~PprivateFiles() {
  --privateFiles;
}

mode_t PusualFileMode() {
  if (privateFiles > 0) return 0600;
  const mode_t mask = umask(022);
  umask(mask);
  return 0666 & ~mask;
}

mode_t PnewFileMode(const char* path) {
  if (privateFiles > 0) return 0600;
  // Looked at where it stands, not through a link; a file of another user (one put in a folder
  // both may write) lends the new file nothing, and no file lends it set-user-ID, set-group-ID
  // or sticky.
  struct stat st;
  if (path != nullptr && lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid())
    return st.st_mode & 0777;
  return PusualFileMode();
}

bool PsetFileMode(int fd, mode_t mode) {
  if (fchmod(fd, mode) == 0) return true;
  switch (errno) {
    case EPERM:
    case ENOSYS:
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
      return true;
    default:
      return false;
  }
}

int PtempBeside(const char* path, std::string* tmp, int mode, const char* suffix,
                struct stat* made) {
  if (path == nullptr || *path == '\0' || tmp == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const std::string p(path);
  const size_t slash = p.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
  const std::string end = std::string(kTempEnd) + (suffix != nullptr ? suffix : "");
  // Hidden, named for its target and for the process that makes it, so that one left by a
  // process that was killed is easy to place and to remove (PremoveStaleTemps).
  const std::string tail = kTempMark + std::to_string(getpid()) + "-XXXXXX" + end;
  std::string stem = base;
  if (1 + stem.size() + tail.size() > kNameMax && tail.size() + 2 <= kNameMax) {
    // A long name is cut (not inside a character) so that the temporary name fits.
    size_t keep = kNameMax - tail.size() - 1;
    while (keep > 0 && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80) --keep;
    stem.resize(keep);
  }
  std::string name = dir + "." + stem + tail;
  const int fd = mkostemps(&name[0], static_cast<int>(end.size()), O_CLOEXEC);
  if (fd < 0) return -1;
  if (made != nullptr && fstat(fd, made) != 0) {
    const int err = errno;
    close(fd);
    unlink(name.c_str());
    errno = err;
    return -1;
  }
  // The file is new and this process's own: where its mode cannot be set it keeps the one it
  // was made with, no wider than 0600 (or its file system's own).
  PsetFileMode(fd, mode < 0 ? PnewFileMode(path) : static_cast<mode_t>(mode));
  *tmp = name;
  return fd;
}

bool PtempHolds(const std::string& tmp, const struct stat& made) {
  struct stat st;
  return !tmp.empty() && lstat(tmp.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         st.st_dev == made.st_dev && st.st_ino == made.st_ino;
}

FILE* PscratchFile() {
  // The folder std::tmpfile uses.
  static const char kDir[] = P_tmpdir;
  int fd = open(kDir, O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    // A file system without unnamed files: a named one, removed at once.
    std::string name = std::string(kDir) + "/lumerin-scratch-XXXXXX";
    fd = mkostemp(&name[0], O_CLOEXEC);
    if (fd < 0) return nullptr;
    unlink(name.c_str());
  }
  FILE* f = fdopen(fd, "w+b");
  if (f == nullptr) {
    const int err = errno;
    close(fd);
    errno = err;
  }
  return f;
}

int PremoveStaleTemps(const char* folder) {
  if (folder == nullptr || *folder == '\0') return 0;
  const int dfd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return 0;
  DIR* d = fdopendir(dfd);
  if (d == nullptr) {
    close(dfd);
    return 0;
  }
  const pid_t self = getpid();
  const uid_t me = geteuid();
  int removed = 0;
  while (struct dirent* e = readdir(d)) {
    const pid_t owner = TempOwner(e->d_name);
    if (owner <= 0 || owner == self) continue;
    // Only the user's own plain files, and only when their process is gone from this machine.
    struct stat st;
    if (fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != me)
      continue;
    if (kill(owner, 0) == 0 || errno != ESRCH) continue;
    if (unlinkat(dfd, e->d_name, 0) == 0) {
      ++removed;
      DMESSAGE(DMCinfo, "Removed '%s' in '%s', left by a write that did not finish", e->d_name,
               folder);
    }
  }
  closedir(d);
  return removed;
}

std::string PfreeNameBeside(const char* path) {
  std::string tmp;
  const int fd = PtempBeside(path, &tmp);
  if (fd < 0) return std::string();
  close(fd);
  unlink(tmp.c_str());
  return tmp;
}

int PrenameTemp(const std::string& tmp, const char* path, const struct stat* made) {
  if (path == nullptr || tmp.empty()) {
    errno = EINVAL;
    return 0;
  }
  // Between the writer's close and here another user of the folder may have put anything at
  // the name: it never takes the user's file's name.
  if (made != nullptr && !PtempHolds(tmp, *made)) return Replaced(tmp, path);
  if (rename(tmp.c_str(), path) != 0) {
    Remove(tmp);
    return 0;
  }
  // The folder too, so that the new name stays.
  SyncPath(PfolderOf(path).c_str(), O_RDONLY | O_DIRECTORY);
  return 1;
}

int PcommitTemp(const std::string& tmp, const char* path, const struct stat* made) {
  if (path == nullptr || tmp.empty()) {
    errno = EINVAL;
    return 0;
  }
  // The contents reach the disk before the name does. The name is the file this process made,
  // unless another took it meanwhile: nothing is followed, and nothing waited for. Held open,
  // the file keeps its identity until the rename has been made.
  const int fd = open(tmp.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (made != nullptr) {
    struct stat st;
    const int err = errno;
    const bool ours = fd >= 0 ? fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                                    st.st_dev == made->st_dev && st.st_ino == made->st_ino
                              : PtempHolds(tmp, *made);
    if (!ours) {
      if (fd >= 0) close(fd);
      return Replaced(tmp, path);
    }
    errno = err;
  }
  if (fd < 0 || fsync(fd) != 0) {
    if (fd >= 0) close(fd);
    Remove(tmp);
    return 0;
  }
  const int renamed = PrenameTemp(tmp, path, made);
  const int err = errno;
  close(fd);
  errno = err;
  return renamed;
}

void PdiscardTemp(const std::string& tmp) {
  if (!tmp.empty()) unlink(tmp.c_str());
}

bool PwriteAll(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

PWholeFile::PWholeFile(const char* path, int mode, const char* suffix) {
  fd_ = PtempBeside(path, &tmp_, mode, suffix, &made_);
  if (fd_ >= 0) path_ = path;
}

PWholeFile::~PWholeFile() {
  Discard();
}

bool PWholeFile::Write(const void* data, size_t n) {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  synced_ = false;
  return PwriteAll(fd_, data, n);
}

bool PWholeFile::Sync() {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  synced_ = fsync(fd_) == 0;
  return synced_;
}

bool PWholeFile::Close() {
  if (fd_ < 0) return !tmp_.empty();
  const int fd = fd_;
  fd_ = -1;
  return close(fd) == 0;
}

bool PWholeFile::Commit() {
  if (tmp_.empty()) {
    errno = EBADF;
    return false;
  }
  if (fd_ < 0) {
    // Closed by the caller: PcommitTemp opens the name again to sync it, and takes it only as
    // the file made here. Synced before its close, only its name is checked and renamed.
    const std::string tmp = tmp_;
    tmp_.clear();
    if (synced_) return PrenameTemp(tmp, path_.c_str(), &made_) != 0;
    return PcommitTemp(tmp, path_.c_str(), &made_) != 0;
  }
  if (!synced_ && !Sync()) {
    Discard();
    return false;
  }
  // The descriptor stays open while the name is checked and renamed, so that the file keeps
  // its identity meanwhile; synced, its close can lose nothing.
  const std::string tmp = tmp_;
  tmp_.clear();
  const int renamed = PrenameTemp(tmp, path_.c_str(), &made_);
  const int err = errno;
  close(fd_);
  fd_ = -1;
  errno = err;
  return renamed != 0;
}

void PWholeFile::Discard() {
  const int err = errno;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (PtempHolds(tmp_, made_)) PdiscardTemp(tmp_);
  tmp_.clear();
  errno = err;
}
