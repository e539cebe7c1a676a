// Temporary files beside their target, renamed into place when complete.
#include "formats/replacefile.h"

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

int PtempBeside(const char* path, std::string* tmp) {
  if (path == nullptr || *path == '\0' || tmp == nullptr) return -1;
  const std::string p(path);
  const size_t slash = p.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
  // Hidden, and named for its target, so that a left-over one is easy to place.
  std::string name = dir + "." + base + ".XXXXXX";
  const int fd = mkstemp(&name[0]);
  if (fd < 0) return -1;
  mode_t mode;
  struct stat st;
  if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = umask(022);
    umask(mask);
    mode = 0666 & ~mask;
  }
  fchmod(fd, mode);
  *tmp = name;
  return fd;
}

namespace {

// Forces what was written to path (a file or a folder) to the disk.
bool syncPath(const char* path, int flags) {
  const int fd = open(path, flags | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  return close(fd) == 0 && ok;
}

}  // namespace

int PcommitTemp(const std::string& tmp, const char* path) {
  if (path == nullptr || tmp.empty()) return 0;
  // The contents reach the disk before the name does, so that a crash leaves either the old
  // file or the whole new one; then the folder, so that the new name stays.
  if (syncPath(tmp.c_str(), O_RDONLY) && rename(tmp.c_str(), path) == 0) {
    const std::string p(path);
    const size_t slash = p.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string(".") : slash == 0 ? "/" : p.substr(0, slash);
    syncPath(dir.c_str(), O_RDONLY | O_DIRECTORY);
    return 1;
  }
  unlink(tmp.c_str());
  return 0;
}

void PdiscardTemp(const std::string& tmp) {
  if (!tmp.empty()) unlink(tmp.c_str());
}
