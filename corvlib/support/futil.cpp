#include "support/futil.h"
#include "support/dmessage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

int isdirectory(const char* path) {
  struct stat st;
  if (path == nullptr || stat(path, &st) != 0) return -1;
  return S_ISDIR(st.st_mode) ? 1 : 0;
}

std::string PfolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int PrenameNoReplace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
  if (link(from, to) != 0) return -1;
  if (unlink(from) != 0) {
    // The file keeps the name it had: the new one goes again while it is a second name of the
    // file (either name may have changed hands meanwhile).
    const int e = errno;
    struct stat a, b;
    if (lstat(from, &a) != 0 || lstat(to, &b) != 0 || a.st_dev != b.st_dev ||
        a.st_ino != b.st_ino || a.st_nlink < 2)
      DMESSAGE(DMCwarning, "Cannot remove the new name '%s': it is no longer a second name of '%s'",
               to, from);
    else if (unlink(to) != 0 && errno != ENOENT)
      DMESSAGE(DMCwarning, "Cannot remove the new name '%s': %s", to, strerror(errno));
    errno = e;
    return -1;
  }
  return 0;
}

int PopenNoWait(const char* path, int flags, mode_t mode, struct stat* st) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int fd;
  do {
    fd = open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat own;
  if (st == nullptr) st = &own;
  if (fstat(fd, st) != 0) {
    st->st_mode = 0;  // nothing known: it stays without waiting
    return fd;
  }
  // A regular file is read and written as any other.
  if (S_ISREG(st->st_mode) && (flags & O_NONBLOCK) == 0) {
    const int fl = fcntl(fd, F_GETFL);
    if (fl != -1) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  }
  return fd;
}

int PopenRegular(const char* path, int flags, mode_t mode, struct stat* st) {
  struct stat own;
  if (st == nullptr) st = &own;
  const int fd = PopenNoWait(path, flags, mode, st);
  if (fd < 0 || S_ISREG(st->st_mode)) return fd;
  close(fd);
  errno = S_ISDIR(st->st_mode) ? EISDIR : PEnotRegular;
  return -1;
}

int PopenRead(const char* path, struct stat* st) {
  return PopenRegular(path, O_RDONLY, 0, st);
}

FILE* PfopenRead(const char* path) {
  const int fd = PopenRead(path);
  if (fd < 0) return nullptr;
  FILE* fp = fdopen(fd, "rb");
  if (fp == nullptr) {
    const int err = errno;
    close(fd);
    errno = err;
  }
  return fp;
}

namespace {

// A stream's own position in a file read with pread.
struct ReadAt {
  int fd;
  off64_t pos;
};

ssize_t readAt(void* cookie, char* buf, size_t n) {
  ReadAt* r = static_cast<ReadAt*>(cookie);
  ssize_t got;
  do {
    got = pread(r->fd, buf, n, r->pos);
  } while (got < 0 && errno == EINTR);
  if (got > 0) r->pos += got;
  return got;
}

int seekAt(void* cookie, off64_t* off, int whence) {
  ReadAt* r = static_cast<ReadAt*>(cookie);
  off64_t base = 0;
  if (whence == SEEK_CUR) {
    base = r->pos;
  } else if (whence == SEEK_END) {
    struct stat st;
    if (fstat(r->fd, &st) != 0) return -1;
    base = st.st_size;
  } else if (whence != SEEK_SET) {
    errno = EINVAL;
    return -1;
  }
  off64_t to;
  if (__builtin_add_overflow(base, *off, &to) || to < 0) {
    errno = EINVAL;
    return -1;
  }
  r->pos = *off = to;
  return 0;
}

int closeAt(void* cookie) {
  ReadAt* r = static_cast<ReadAt*>(cookie);
  const int rc = close(r->fd);
  delete r;
  return rc;
}

}  // namespace

FILE* PfdopenAt(int fd) {
  if (fd < 0) {
    errno = EBADF;
    return nullptr;
  }
  ReadAt* r = new (std::nothrow) ReadAt{fd, 0};
  FILE* fp = nullptr;
  if (r != nullptr) {
    const cookie_io_functions_t io = {readAt, nullptr, seekAt, closeAt};
    fp = fopencookie(r, "rb", io);
  }
  if (fp == nullptr) {
    const int err = r == nullptr ? ENOMEM : errno;
    delete r;
    close(fd);
    errno = err;
  }
  return fp;
}

int PdupRewound(int fd) {
  const int d = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (d < 0) return -1;
  if (lseek(d, 0, SEEK_SET) != 0) {
    const int err = errno;
    close(d);
    errno = err;
    return -1;
  }
  return d;
}

std::string PopenFailure(int err) {
  if (err == EISDIR) return "a folder";
  if (err == PEnotRegular) return "not a regular file";
  return strerror(err);
}

time_t getfiletime(const char* path) {
  struct stat st;
  if (path == nullptr || stat(path, &st) != 0) return 0;
  return st.st_mtime;
}

int setfiletime(const char* path, time_t t) {
  if (path == nullptr) return -1;
  const time_t now = time(nullptr);
  if (t == 0) t = now;
  if (t > now) return -1;
  struct timeval tv[2];
  tv[0].tv_sec = now;  // access time
  tv[0].tv_usec = 0;
  tv[1].tv_sec = t;  // modification time
  tv[1].tv_usec = 0;
  return utimes(path, tv);
}

char* cvtdate(char* buf, time_t t) {
  if (buf == nullptr || t == 0) return nullptr;
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr) return nullptr;
  // Years outside 0 .. 9999 do not fit the fixed 19-character form.
  char text[80];
  const int n = std::snprintf(text, sizeof text, "%04d:%02d:%02d %02d:%02d:%02d", tm.tm_year + 1900,
                              tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  if (n != static_cast<int>(CVTDATE_LEN) - 1) return nullptr;
  std::memcpy(buf, text, CVTDATE_LEN);
  return buf;
}

// ---------------------------------------------------------------------------------------------
// Block allocator. Small pieces are carved in multiples of 8 bytes from 16,376-byte blocks.
// Each block is chained to the one before it (a header in front of its usable bytes), so every
// block stays reachable although pieces are never returned to the heap.

namespace {

constexpr size_t kBlockSize = 16376;
constexpr size_t kMaxSmallRemain = 1364;  // above this a block is kept for smaller requests
constexpr size_t kBlockHeader = 16;       // the chain link, keeping pieces 16-byte aligned

size_t g_nremain = 0;
char* g_bposition = nullptr;
void* g_blocks = nullptr;  // most recent block; each block's first word links the previous

inline size_t RoundUp8(size_t n) {
  return (n + 7) & ~size_t{7};
}

}  // namespace

void* bmalloc(size_t n) {
  if (n > g_nremain && (n > kBlockSize || g_nremain > kMaxSmallRemain)) return std::malloc(n);
  n = RoundUp8(n);  // n <= kBlockSize here, so no overflow
  if (n > g_nremain) {
    auto* block = static_cast<char*>(std::malloc(kBlockHeader + kBlockSize));
    if (block == nullptr) {
      g_nremain = 0;
      return nullptr;
    }
    *reinterpret_cast<void**>(block) = g_blocks;
    g_blocks = block;
    g_bposition = block + kBlockHeader;
    g_nremain = kBlockSize;
  }
  void* p = g_bposition;
  g_bposition += n;
  g_nremain -= n;
  return p;
}

void bfree(void* p, size_t n) {
  if (p == nullptr || n == 0) return;
  auto addr = reinterpret_cast<uintptr_t>(p);
  if ((addr & 7) != 0) {
    const size_t adjust = 8 - (addr & 7);
    if (n <= adjust) return;
    addr += adjust;
    n -= adjust;
  }
  // The last piece cut: bmalloc rounded its size up, so round the same way before comparing.
  if (n <= SIZE_MAX - 7 && addr + RoundUp8(n) == reinterpret_cast<uintptr_t>(g_bposition)) {
    g_bposition = reinterpret_cast<char*>(addr);
    g_nremain += RoundUp8(n);
    return;
  }
  // Otherwise a piece larger than what is left becomes the carving block; only whole 8-byte
  // units are used, never bytes beyond the piece.
  n &= ~size_t{7};
  if (n > g_nremain) {
    g_bposition = reinterpret_cast<char*>(addr);
    g_nremain = n;
  }
}
