// The system's file calls for databases and their journals.
#include "db/dbfile.h"
#include "support/futil.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

class SystemFS : public DBFileSystem {
 public:
  int Open(const std::string& path, int flags, int mode) override {
    int fd;
    do {
      fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
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

int DBFile::CreateNew(const std::string& path, int flags, int mode) const {
  const int make = flags | O_CREAT | O_EXCL | O_NOFOLLOW;
  int fd = fs_->Open(path, make, mode);
  if (fd < 0 && errno == EEXIST && (fs_->Remove(path) || errno == ENOENT))
    fd = fs_->Open(path, make, mode);
  return fd;
}
