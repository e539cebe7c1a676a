// Private temporary files in the cache and run-time folders.
#include "platform/ptempfile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/pfolders.h"

namespace {

// The files made and not yet removed, and the name generator.
struct TempState {
  std::mutex lock;
  std::set<std::string> files;
  bool exitHook = false;
  uint64_t state = 0;
  bool seeded = false;
};
TempState& State() {
  static auto* s = new TempState;
  return *s;
}

// splitmix64: a well-mixed sequence from any start.
uint64_t NextRandom(uint64_t* s) {
  uint64_t z = (*s += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Twelve characters of [a-z0-9] (about 62 bits); the caller holds the lock.
std::string NextName(TempState& st) {
  if (!st.seeded) {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed))
      seed = static_cast<uint64_t>(getpid()) * 0x2545f4914f6cdd1dULL ^
             static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&seed));
    st.state = seed;
    st.seeded = true;
  }
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  uint64_t r = NextRandom(&st.state);
  std::string name = "lumerin-";
  for (int i = 0; i < 12; ++i) {
    name.push_back(kChars[r % 36]);
    r /= 36;
  }
  return name;
}

bool UsableRuntimeBase(const char* dir) {
  if (dir == nullptr || dir[0] != '/') return false;
  struct stat st;
  return stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         access(dir, W_OK | X_OK) == 0;
}

}  // namespace

std::string TempFolder(TempFileKind kind, std::string* message) {
  if (kind == kTempSmall) {
    const char* run = std::getenv("XDG_RUNTIME_DIR");
    if (UsableRuntimeBase(run)) {
      std::string base = run;
      while (base.size() > 1 && base.back() == '/') base.pop_back();
      const std::string folder = base + "/lumerin";
      if (MakePrivateFolder(folder, message)) return folder;
      return std::string();
    }
  }
  const std::string cache = UserFolder(kCacheFolder, message);
  if (cache.empty()) return std::string();
  const std::string folder = cache + "/tmp";
  return MakePrivateFolder(folder, message) ? folder : std::string();
}

std::string MakeTempFile(TempFileKind kind, const std::string& suffix, std::string* message) {
  if (suffix.find('/') != std::string::npos || suffix.find('\0') != std::string::npos ||
      suffix.size() > 64) {
    if (message) *message = "Bad suffix for a temporary file";
    return std::string();
  }
  const std::string folder = TempFolder(kind, message);
  if (folder.empty()) return std::string();
  TempState& st = State();
  std::lock_guard<std::mutex> hold(st.lock);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = folder + '/' + NextName(st) + suffix;
    // O_EXCL refuses any name that exists, a symbolic link (dangling or not) included.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      if (message)
        *message = "Cannot create temporary file '" + path + "': " + std::strerror(errno);
      return std::string();
    }
    close(fd);
    st.files.insert(path);
    if (!st.exitHook) {
      st.exitHook = true;
      std::atexit(RemoveTempFiles);
    }
    return path;
  }
  if (message) *message = "Cannot find a free name for a temporary file in '" + folder + "'";
  return std::string();
}

bool RemoveTempFile(const std::string& path) {
  TempState& st = State();
  std::lock_guard<std::mutex> hold(st.lock);
  auto it = st.files.find(path);
  if (it == st.files.end()) return false;
  st.files.erase(it);
  return unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool KeepTempFile(const std::string& path) {
  TempState& st = State();
  std::lock_guard<std::mutex> hold(st.lock);
  return st.files.erase(path) != 0;
}

void RemoveTempFiles() {
  TempState& st = State();
  std::lock_guard<std::mutex> hold(st.lock);
  for (const std::string& f : st.files) unlink(f.c_str());
  st.files.clear();
}

void SeedTempFileNames(uint64_t seed) {
  TempState& st = State();
  std::lock_guard<std::mutex> hold(st.lock);
  st.state = seed;
  st.seeded = true;
}
