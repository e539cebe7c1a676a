// Temporary files that replace their target by rename once complete.
#include "formats/tmpwrite.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int PcreateTempFor(char* tmp, size_t size, const char* path) {
  if (tmp == nullptr || path == nullptr || *path == '\0') {
    errno = EINVAL;
    return -1;
  }
  const int n = snprintf(tmp, size, "%s.XXXXXX", path);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int fd = mkstemp(tmp);
  if (fd < 0) return -1;
  // mkstemp makes the file private; give it what creating the path would have given.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  return fd;
}

int PfinishTemp(const char* tmp, const char* path, int ok) {
  if (tmp == nullptr) return 0;
  if (ok && path != nullptr && rename(tmp, path) == 0) return 1;
  unlink(tmp);
  return 0;
}
