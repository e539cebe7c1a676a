// Temporary files beside their target, renamed into place when complete.
#include "support/replacefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

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

}  // namespace

mode_t PusualFileMode() {
  const mode_t mask = umask(022);
  umask(mask);
  return 0666 & ~mask;
}

mode_t PnewFileMode(const char* path) {
  struct stat st;
  if (path != nullptr && stat(path, &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  return PusualFileMode();
}

int PtempBeside(const char* path, std::string* tmp, int mode, const char* suffix) {
  if (path == nullptr || *path == '\0' || tmp == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const std::string p(path);
  const size_t slash = p.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
  const std::string end = suffix != nullptr ? suffix : "";
  // Hidden, and named for its target, so that a left-over one is easy to place.
  std::string name = dir + "." + base + ".XXXXXX" + end;
  const int fd = mkostemps(&name[0], static_cast<int>(end.size()), O_CLOEXEC);
  if (fd < 0) return -1;
  fchmod(fd, mode < 0 ? PnewFileMode(path) : static_cast<mode_t>(mode));
  *tmp = name;
  return fd;
}

std::string PfreeNameBeside(const char* path) {
  std::string tmp;
  const int fd = PtempBeside(path, &tmp);
  if (fd < 0) return std::string();
  close(fd);
  unlink(tmp.c_str());
  return tmp;
}

int PrenameTemp(const std::string& tmp, const char* path) {
  if (path == nullptr || tmp.empty()) {
    errno = EINVAL;
    return 0;
  }
  if (rename(tmp.c_str(), path) != 0) {
    Remove(tmp);
    return 0;
  }
  // The folder too, so that the new name stays.
  const std::string p(path);
  const size_t slash = p.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".")
                          : slash == 0               ? "/"
                                                     : p.substr(0, slash);
  SyncPath(dir.c_str(), O_RDONLY | O_DIRECTORY);
  return 1;
}

int PcommitTemp(const std::string& tmp, const char* path) {
  if (path == nullptr || tmp.empty()) {
    errno = EINVAL;
    return 0;
  }
  // The contents reach the disk before the name does.
  if (!SyncPath(tmp.c_str(), O_RDONLY)) {
    Remove(tmp);
    return 0;
  }
  return PrenameTemp(tmp, path);
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
  fd_ = PtempBeside(path, &tmp_, mode, suffix);
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
  if (fd_ >= 0 && ((!synced_ && !Sync()) || !Close())) {
    Discard();
    return false;
  }
  const std::string tmp = tmp_;
  tmp_.clear();
  return (synced_ ? PrenameTemp(tmp, path_.c_str()) : PcommitTemp(tmp, path_.c_str())) != 0;
}

void PWholeFile::Discard() {
  const int err = errno;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  PdiscardTemp(tmp_);
  tmp_.clear();
  errno = err;
}
