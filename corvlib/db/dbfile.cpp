// The system's file calls for databases and their journals.
#include "db/dbfile.h"
#include "support/futil.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

class SystemFS : public DBFileSystem {
 public:
  // Never waits: a FIFO or a device put at a database's name, or beside it, opens at once and
  // is read without waiting, for the layers above to find what it is.
  int Open(const std::string& path, int flags, int mode) override {
    return PopenNoWait(path.c_str(), flags, static_cast<mode_t>(mode));
  }
  void Close(int fd) override {
    if (fd >= 0) ::close(fd);
  }
  long long Read(int fd, void* buf, size_t n, long long off) override {
    size_t done = 0;
    while (done < n) {
      ssize_t r = ::pread(fd, static_cast<char*>(buf) + done, n - done, off + done);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return -1;
      if (r == 0) break;
      done += static_cast<size_t>(r);
    }
    return static_cast<long long>(done);
  }
  long long Write(int fd, const void* buf, size_t n, long long off) override {
    size_t done = 0;
    while (done < n) {
      ssize_t r = ::pwrite(fd, static_cast<const char*>(buf) + done, n - done, off + done);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return -1;
      done += static_cast<size_t>(r);
    }
    return static_cast<long long>(done);
  }
  // The data and the size (what reading the file back needs), not the times.
  bool Sync(int fd) override { return ::fdatasync(fd) == 0; }
  bool Truncate(int fd, long long len) override { return ::ftruncate(fd, len) == 0; }
  bool Stat(int fd, long long* size, int* mode) override {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    *size = static_cast<long long>(st.st_size);
    *mode = static_cast<int>(st.st_mode & 07777);
    return true;
  }
  bool Remove(const std::string& path) override { return ::unlink(path.c_str()) == 0; }
  bool Stamp(int fd, DBFileStamp* out) override {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    out->size = static_cast<long long>(st.st_size);
    out->mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    out->ctimeNs = static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
    out->ino = static_cast<unsigned long long>(st.st_ino);
    out->dev = static_cast<unsigned long long>(st.st_dev);
    out->owner = static_cast<long long>(st.st_uid);
    out->regular = S_ISREG(st.st_mode);
    out->names = static_cast<long long>(st.st_nlink);
    return true;
  }
  bool Rename(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str()) == 0;
  }
  long long FreeSpace(const std::string& dir) override {
    struct statvfs st;
    if (::statvfs(dir.c_str(), &st) != 0) return -1;
    return static_cast<long long>(st.f_bavail) * static_cast<long long>(st.f_frsize);
  }
  // Open-file-description locks (F_OFD_*), not the process's (F_SETLK): a process's locks on
  // a file all go when it closes any descriptor of the file, which the index file's probe and
  // every second open of a database do. A file system without record locks grants them all.
  bool Lock(int fd, long long off, LockKind kind) override {
    struct flock fl = Range(off, kind == kUnlock ? F_UNLCK : kind == kShared ? F_RDLCK : F_WRLCK);
    int r;
    do {
      r = ::fcntl(fd, F_OFD_SETLK, &fl);
    } while (r != 0 && errno == EINTR);
    if (r == 0) return true;
    return errno == EINVAL || errno == ENOLCK || errno == ENOSYS || errno == EOPNOTSUPP;
  }
  bool Locked(int fd, long long off, LockKind kind) override {
    struct flock fl = Range(off, kind == kShared ? F_RDLCK : F_WRLCK);
    int r;
    do {
      r = ::fcntl(fd, F_OFD_GETLK, &fl);
    } while (r != 0 && errno == EINTR);
    return r == 0 && fl.l_type != F_UNLCK;
  }
  bool SyncDir(const std::string& dir) override {
    int fd = Open(dir, O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
  }

 private:
  static struct flock Range(long long off, short type) {
    struct flock fl;
    memset(&fl, 0, sizeof(fl));
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(off);
    fl.l_len = 1;
    fl.l_pid = 0;  // must be 0 for open-file-description locks
    return fl;
  }
};

}  // namespace

DBFileSystem* DBFileSystem::System() {
  static SystemFS fs;
  return &fs;
}

std::string DBFile::Dir() const {
  return PfolderOf(path_);
}

namespace {

bool Alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The process id of a writer's own name made from the temporary name base (CreateNew): base,
// '.', the id, '-' and six letters or digits; 0 for any other name.
pid_t OwnNameOwner(const std::string& name, const std::string& base) {
  if (name.size() < base.size() + 9 || name.compare(0, base.size(), base) != 0 ||
      name[base.size()] != '.')
    return 0;
  const std::string rest = name.substr(base.size() + 1);
  const size_t dash = rest.find('-');
  if (dash == 0 || dash == std::string::npos || dash > 10 || rest.size() != dash + 7) return 0;
  long long pid = 0;
  for (size_t i = 0; i < dash; i++) {
    if (rest[i] < '0' || rest[i] > '9' || (i == 0 && rest[i] == '0')) return 0;
    pid = pid * 10 + (rest[i] - '0');
  }
  for (size_t i = dash + 1; i < rest.size(); i++)
    if (!Alnum(rest[i])) return 0;
  return pid > 0 && pid <= 0x7FFFFFFF ? static_cast<pid_t>(pid) : 0;
}

// Six letters or digits no other name made in this process shares at the same moment.
std::string RandomPart() {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  static uint64_t counter = 0;
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  uint64_t x = (static_cast<uint64_t>(ts.tv_nsec) << 20) ^ static_cast<uint64_t>(ts.tv_sec) ^
               (static_cast<uint64_t>(getpid()) << 40) ^ (++counter * 0x9E3779B97F4A7C15ull);
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  std::string out(6, '0');
  for (char& c : out) {
    c = kDigits[x % 62];
    x /= 62;
  }
  return out;
}

}  // namespace

std::string DBUserNamed(long long uid) {
  std::vector<char> buf(16384);
  struct passwd pw, *p = nullptr;
  getpwuid_r(static_cast<uid_t>(uid), &pw, buf.data(), buf.size(), &p);
  return p != nullptr ? "user '" + std::string(p->pw_name) + "'" : "user " + std::to_string(uid);
}

int DBFile::CreateNew(const std::string& path, int flags, int mode, std::string* made) const {
  const int make = flags | O_CREAT | O_EXCL | O_NOFOLLOW;
  *made = path;
  int fd = fs_->Open(path, make, mode);
  if (fd >= 0 || errno != EEXIST) return fd;
  // The user's own (a crash left it) goes. Another user's is theirs to remove.
  struct stat st;
  const bool theirs = ::lstat(path.c_str(), &st) == 0 && st.st_uid != geteuid();
  if (!theirs && (fs_->Remove(path) || errno == ENOENT)) {
    fd = fs_->Open(path, make, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  // A name of this writer's own, where no one else's leftover can stand in the way; those of
  // the user's writers that died are cleared first.
  RemoveLeftovers();
  for (int tries = 0; tries < 100; tries++) {
    *made = path + "." + std::to_string(getpid()) + "-" + RandomPart();
    fd = fs_->Open(*made, make, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

int DBFile::RemoveLeftovers() const {
  const std::string dir = Dir();
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return 0;
  DIR* d = fdopendir(dfd);
  if (d == nullptr) {
    ::close(dfd);
    return 0;
  }
  const size_t slash = path_.rfind('/');
  const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  const std::string temps[] = {base + "-journal.new", base + "-index.tmp"};
  int removed = 0;
  while (const struct dirent* e = readdir(d)) {
    pid_t owner = 0;
    for (const std::string& t : temps)
      if (owner == 0) owner = OwnNameOwner(e->d_name, t);
    if (owner == 0 || owner == getpid()) continue;
    struct stat st;
    if (fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != geteuid())
      continue;
    if (kill(owner, 0) == 0 || errno != ESRCH) continue;
    if (unlinkat(dfd, e->d_name, 0) == 0) removed++;
  }
  closedir(d);
  return removed;
}
