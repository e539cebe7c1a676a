// Memory available to this process, from the system, its limits and its control group.
#include "support/membudget.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstring>

#include "support/cnumber.h"

namespace {

// The first unsigned number in the file at path after the text key (or at its start when key is
// empty); false when the file or the number is missing ("max" in a cgroup file is no number).
bool ReadNumber(const char* path, const char* key, uint64_t* v) {
  FILE* f = std::fopen(path, "re");
  if (f == nullptr) return false;
  char line[256];
  bool ok = false;
  while (!ok && std::fgets(line, sizeof line, f) != nullptr) {
    const size_t kl = std::strlen(key);
    if (kl > 0 && std::strncmp(line, key, kl) != 0) continue;
    const char* s = line + kl;
    while (Cspace(*s)) ++s;
    if (!Cdigit(*s)) break;
    uint64_t n = 0;
    while (Cdigit(*s) && n < UINT64_MAX / 10) n = n * 10 + static_cast<uint64_t>(*s++ - '0');
    *v = n;
    ok = true;
  }
  std::fclose(f);
  return ok;
}

// The room left under a resource limit, given what the process uses of it now.
uint64_t RoomUnder(int resource, uint64_t used) {
  struct rlimit rl;
  if (getrlimit(resource, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  const uint64_t lim = static_cast<uint64_t>(rl.rlim_cur);
  return lim > used ? lim - used : 0;
}

// This process's control group folder under /sys/fs/cgroup (cgroup v2), or false.
bool CgroupFolder(char* dir, size_t n) {
  FILE* f = std::fopen("/proc/self/cgroup", "re");
  if (f == nullptr) return false;
  char line[1024];
  bool ok = false;
  while (!ok && std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "0::", 3) != 0) continue;
    line[std::strcspn(line, "\n")] = '\0';
    ok = std::snprintf(dir, n, "/sys/fs/cgroup%s", line + 3) < static_cast<int>(n);
  }
  std::fclose(f);
  return ok;
}

uint64_t gAvailableOverride = 0;

}  // namespace

void PsetMemoryAvailable(uint64_t bytes) {
  gAvailableOverride = bytes;
}

uint64_t PmemoryAvailable() {
  if (gAvailableOverride > 0) return gAvailableOverride;
  uint64_t room = UINT64_MAX;
  uint64_t kb = 0;
  if (ReadNumber("/proc/meminfo", "MemAvailable:", &kb)) room = kb << 10;
  uint64_t vmKb = 0, dataKb = 0;
  ReadNumber("/proc/self/status", "VmSize:", &vmKb);
  ReadNumber("/proc/self/status", "VmData:", &dataKb);
  uint64_t r = RoomUnder(RLIMIT_AS, vmKb << 10);
  if (r < room) room = r;
  r = RoomUnder(RLIMIT_DATA, dataKb << 10);
  if (r < room) room = r;
  char dir[1100];
  uint64_t max = 0, cur = 0;
  char path[1200];
  if (CgroupFolder(dir, sizeof dir)) {
    std::snprintf(path, sizeof path, "%s/memory.max", dir);
    if (ReadNumber(path, "", &max)) {
      std::snprintf(path, sizeof path, "%s/memory.current", dir);
      if (!ReadNumber(path, "", &cur)) cur = 0;
      r = max > cur ? max - cur : 0;
      if (r < room) room = r;
    }
  }
  return room;
}

uint64_t PpictureMemoryLimit() {
  const uint64_t a = PmemoryAvailable();
  return a == UINT64_MAX ? a : a / 4 * 3;
}

bool PpictureFits(const char* path, int64_t w, int64_t h, size_t bytesPerPixel, char* msg,
                  size_t n) {
  const uint64_t limit = PpictureMemoryLimit();
  const bool sane = w > 0 && h > 0 && bytesPerPixel > 0;
  const long double bytes = sane ? static_cast<long double>(w) * h * bytesPerPixel : 0;
  if (sane && bytes <= static_cast<long double>(limit)) return true;
  PpictureTooLarge(path, w, h, bytesPerPixel, msg, n);
  return false;
}

void PpictureTooLarge(const char* path, int64_t w, int64_t h, size_t bytesPerPixel, char* msg,
                      size_t n) {
  if (msg == nullptr || n == 0) return;
  const long double bytes = w > 0 && h > 0 ? static_cast<long double>(w) * h * bytesPerPixel : 0;
  const char* name = path != nullptr ? std::strrchr(path, '/') : nullptr;
  name = name != nullptr ? name + 1 : (path != nullptr ? path : "");
  char size[32];
  PbytesInWords(
      bytes < static_cast<long double>(UINT64_MAX) ? static_cast<uint64_t>(bytes) : UINT64_MAX,
      size, sizeof size);
  Csnprintf(msg, n, "'%s' is %lld \xC3\x97 %lld pixels (%s): too large for this computer's memory",
            name, static_cast<long long>(w), static_cast<long long>(h), size);
}

void PbytesInWords(uint64_t bytes, char* text, size_t n) {
  if (text == nullptr || n == 0) return;
  const double gb = static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0);
  if (gb >= 0.1)
    Csnprintf(text, n, "%.1f GB", gb);
  else
    Csnprintf(text, n, "%.0f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
}
