#include "support/diskcache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/dmessage.h"
#include "support/futil.h"

bool DiskCacheObject::outOfTemp = false;
uint64_t DiskCacheObject::readBytes = 41943040;  // 40 MiB per second to start with
double DiskCacheObject::readTime = 1.0;

namespace {

// Writes all of buf, retrying short writes; false on error.
bool WriteAll(int fd, const char* buf, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, buf, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) return false;
    buf += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Reads n bytes into buf, retrying short reads; false on error or early end of file.
bool ReadAll(int fd, char* buf, size_t n) {
  while (n > 0) {
    const ssize_t r = read(fd, buf, n);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) return false;
    buf += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

DiskCacheObject::DiskCacheObject() = default;

DiskCacheObject::~DiskCacheObject() {
  Free();
}

bool DiskCacheObject::NewOriginal() {
  DMESSAGE(DMCassert, "Missing NewOriginal call");
  return false;
}

void DiskCacheObject::FreeOriginal() {
  DMESSAGE(DMCassert, "Missing FreeOriginal call");
}

// A 64-bit hash of the resident bytes, a word at a time; it tells whether memory still matches
// the file it was written to or read from.
uint64_t DiskCacheObject::ContentHash() const {
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  const auto* p = static_cast<const unsigned char*>(objCache);
  size_t n = objSize;
  uint64_t h = n * kMul, g = ~h;
  for (; n >= 16; n -= 16, p += 16) {
    uint64_t a, b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    h = (h ^ a) * kMul;
    h ^= h >> 29;
    g = (g ^ b) * kMul;
    g ^= g >> 31;
  }
  for (; n > 0; --n, ++p) h = (h ^ *p) * kMul;
  h ^= g * 0xC2B2AE3D27D4EB4Full;
  h ^= h >> 32;
  return h;
}

bool DiskCacheObject::SetMemory(void* mem, size_t size) {
  Free();
  if (mem == nullptr || size == 0 || IsResident()) return false;
  objCache = mem;
  objSize = size;
  origMemory = true;
  origFile = false;
  reproducible = false;
  objFile[0] = '\0';
  fileHashValid = false;
  origTime =
      static_cast<double>(size) * readTime / static_cast<double>(readBytes > 0 ? readBytes : 1);
  return true;
}

bool DiskCacheObject::SetFile(const char* path) {
  Free();
  if (path == nullptr || IsResident()) return false;
  const size_t n = std::strlen(path);
  struct stat st;
  if (n == 0 || n >= sizeof objFile || access(path, R_OK) != 0 || stat(path, &st) != 0 ||
      !S_ISREG(st.st_mode))
    return false;
  std::memcpy(objFile, path, n + 1);
  origFile = true;
  origMemory = false;
  reproducible = false;
  fileHashValid = false;
  objSize = 0;  // taken from the file when it is read
  return true;
}

void DiskCacheObject::FreeFile() {
  if (objFile[0] == '\0' || origFile) return;
  unlink(objFile);
  objFile[0] = '\0';
  fileHashValid = false;
  outOfTemp = false;
}

void DiskCacheObject::Free() {
  FreeFile();
  // Memory in use must not be taken from its users; keep it rather than leave them dangling.
  if (!DMASSERT(!InUse())) return;
  if (objCache != nullptr) {
    DMASSERT(objSize != 0);
    if (origMemory)
      FreeOriginal();
    else
      std::free(objCache);
    objFile[0] = '\0';
    reproducible = true;
    objSize = 0;
    objCache = nullptr;
    origMemory = false;
    origFile = false;
    origTime = 0;
    fileHashValid = false;
  } else {
    objSize = 0;
  }
}

bool DiskCacheObject::Empty() const {
  return objCache == nullptr && objFile[0] == '\0';
}

bool DiskCacheObject::WriteSwapFile() {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  const int n = std::snprintf(objFile, sizeof objFile, "%s/lumerinXXXXXX", dir);
  // mkostemp creates the file exclusively with mode 0600 under a name nobody else holds.
  const int fd =
      (n > 0 && static_cast<size_t>(n) < sizeof objFile) ? mkostemp(objFile, O_CLOEXEC) : -1;
  if (fd < 0) {
    objFile[0] = '\0';
    outOfTemp = true;
    return false;
  }
  struct stat st;
  const bool ok = fstat(fd, &st) == 0 && WriteAll(fd, static_cast<const char*>(objCache), objSize);
  const bool closed = close(fd) == 0;
  if (!ok || !closed) {
    FreeFile();
    outOfTemp = true;
    return false;
  }
  DMESSAGE(DMCtrace, "Wrote %zu byte %s to %s", objSize, ClassName(), objFile);
  swapDev = static_cast<uint64_t>(st.st_dev);
  swapIno = static_cast<uint64_t>(st.st_ino);
  fileHash = ContentHash();
  fileHashValid = true;
  outOfTemp = false;
  return true;
}

void DiskCacheObject::FreeMemory() {
  if (objCache == nullptr || InUse()) return;
  if (!DMASSERT(objSize != 0)) return;
  // Memory handed out through GetCacheObject may have been changed since it was written to or
  // read from objFile; then the file no longer holds it and must not be restored from.
  if (objFile[0] != '\0' && (!fileHashValid || ContentHash() != fileHash)) {
    if (origFile) {
      objFile[0] = '\0';  // the original stays untouched; the changed memory gets a swap file
      origFile = false;
      fileHashValid = false;
    } else {
      FreeFile();
    }
  }
  if (objFile[0] == '\0') {
    // factor < 0 for a never-restored object (it always swaps); towards 1 for many restores.
    const double n = static_cast<double>(numRestores);
    const double factor = (n + 0.95) / (n - 0.25);
    const double read_cost = factor * static_cast<double>(objSize) * readTime /
                             static_cast<double>(readBytes > 0 ? readBytes : 1);
    if (!(reproducible && (outOfTemp || origTime <= read_cost))) WriteSwapFile();
  }
  if (objFile[0] == '\0' && !reproducible) {
    DMESSAGE(DMCwarning, "FreeMemory: Out of temp disk");
    return;
  }
  if (origMemory)
    FreeOriginal();
  else
    std::free(objCache);
  origMemory = false;
  objCache = nullptr;
}

bool DiskCacheObject::ReadFile() {
  // Opened without waiting, so that a name that now refers to a pipe cannot stall the caller;
  // only a plain file has a length to read (a directory reports a meaningless one).
  struct stat st;
  const int fd = PopenRead(objFile, &st);
  if (fd < 0) {
    if (errno == EISDIR || errno == PEnotRegular)
      DMESSAGE(DMCsystem, "Disk cache read error on '%s'", objFile);
    else
      DMESSAGE(DMCresource, "Could not reopen disk cache file");
    return false;
  }
  // A swap file is read back only when it is the very file written.
  if (!origFile && (static_cast<uint64_t>(st.st_dev) != swapDev ||
                    static_cast<uint64_t>(st.st_ino) != swapIno)) {
    DMESSAGE_ERRNO(DMCsystem, DMnoSystemError,
                   "Disk cache file '%s' is not the one written: another file took its name",
                   objFile);
    close(fd);
    return false;
  }
  if (objSize == 0) {
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0 || lseek(fd, 0, SEEK_SET) < 0) {
      DMESSAGE(DMCsystem, "Cannot seek on file '%s'", objFile);
      close(fd);
      return false;
    }
    if (end == 0) {
      // Nothing to hold: a resident object of 0 bytes could never be purged or freed.
      DMESSAGE(DMCwarning, "Empty cache file '%s'", objFile);
      close(fd);
      return false;
    }
    if (static_cast<uint64_t>(end) > SIZE_MAX) {
      DMESSAGE(DMCsystem, "Disk cache read error on '%s'", objFile);
      close(fd);
      return false;
    }
    objSize = static_cast<size_t>(end);
  }
  void* mem = CacheMalloc(objSize, __FILE__, __LINE__);
  if (mem == nullptr) {
    close(fd);
    return false;
  }
  const double start = wallTime();
  if (!ReadAll(fd, static_cast<char*>(mem), objSize)) {
    std::free(mem);
    DMESSAGE(DMCsystem, "Disk cache read error on '%s'", objFile);
    close(fd);
    return false;
  }
  close(fd);
  const double elapsed = wallTime() - start;
  if (readBytes <= UINT64_MAX - objSize) {
    readBytes += objSize;
    readTime += elapsed;
  }
  objCache = mem;
  origMemory = false;
  fileHash = ContentHash();
  fileHashValid = true;
  return true;
}

bool DiskCacheObject::RestoreMemory() {
  if (objCache != nullptr) return true;
  if (objFile[0] != '\0') return ReadFile();
  const double start = wallTime();
  if (!NewOriginal()) return false;
  origMemory = true;
  origTime = wallTime() - start;
  fileHashValid = false;
  return true;
}
