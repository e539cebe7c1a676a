// Watching the mount table. The kernel flags an open /proc/self/mountinfo with an exceptional
// condition (POLLPRI) after every mount and unmount, so one socket notifier on that file wakes
// the loop exactly when something changed: no timer, and no file watcher (procfs sends none).
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>

#include "platform/pmounts.h"

namespace {

const char kMountInfo[] = "/proc/self/mountinfo";
// A table beyond this is refused rather than held: thousands of mounts take a few megabytes.
const size_t kMaxTable = size_t(64) << 20;

struct WatchState {
  int fd = -1;
  QSocketNotifier* notifier = nullptr;
  bool known = false;  // volumes holds a reading
  std::vector<std::string> volumes;
};
WatchState& Watch() {
  static auto* w = new WatchState;
  return *w;
}

// Reads the whole table from the start of the open file.
bool ReadTable(int fd, std::string* out) {
  out->clear();
  if (lseek(fd, 0, SEEK_SET) < 0) return false;
  static char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (out->size() + static_cast<size_t>(n) > kMaxTable) return false;
    out->append(buf, static_cast<size_t>(n));
  }
}

bool ReadTableFile(std::string* out) {
  int fd = open(kMountInfo, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ReadTable(fd, out);
  close(fd);
  return ok;
}

std::vector<std::string> VolumesOfTable(const std::string& table) {
  std::vector<std::string> mounts;
  ReadMountInfo(table.data(), table.size(), &mounts);
  return VolumesOfMounts(mounts, MountRoots());
}

void PostVolumeEvent(UInt32 kind, const std::string& volume) {
  EventRef ev = nullptr;
  if (CreateEvent(kEventClassVolume, kind, GetCurrentEventTime(), &ev) != noErr) return;
  SetEventParameter(ev, kEventParamDirectObject, typeFilePath, static_cast<UInt32>(volume.size()),
                    volume.data());
  PostEventToQueue(GetMainEventQueue(), ev, GetApplicationEventTarget());
  ReleaseEvent(ev);
}

bool Holds(const std::vector<std::string>& list, const std::string& s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

void TableChanged() {
  std::string table;
  if (Watch().fd >= 0 && ReadTable(Watch().fd, &table)) TakeMountTable(table);
}

}  // namespace

bool StartVolumeWatch() {
  WatchState& w = Watch();
  if (w.fd >= 0) return true;
  int fd = open(kMountInfo, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string table;
  if (!ReadTable(fd, &table)) {
    close(fd);
    return false;
  }
  w.fd = fd;
  w.volumes = VolumesOfTable(table);
  w.known = true;
  if (QCoreApplication::instance() != nullptr) {
    w.notifier = new QSocketNotifier(fd, QSocketNotifier::Exception, QCoreApplication::instance());
    QObject::connect(w.notifier, &QSocketNotifier::activated, [] { TableChanged(); });
  }
  return true;
}

void StopVolumeWatch() {
  WatchState& w = Watch();
  delete w.notifier;
  w.notifier = nullptr;
  if (w.fd >= 0) close(w.fd);
  w.fd = -1;
}

std::vector<std::string> MountedVolumes() {
  WatchState& w = Watch();
  std::string table;
  if (!w.known && ReadTableFile(&table)) {
    w.volumes = VolumesOfTable(table);
    w.known = true;
  }
  return w.volumes;
}

int TakeMountTable(const std::string& mountinfo) {
  WatchState& w = Watch();
  std::vector<std::string> now = VolumesOfTable(mountinfo);
  int posted = 0;
  for (const std::string& v : now)
    if (!Holds(w.volumes, v)) {
      PostVolumeEvent(kEventVolumeMounted, v);
      ++posted;
    }
  for (const std::string& v : w.volumes)
    if (!Holds(now, v)) {
      PostVolumeEvent(kEventVolumeUnmounted, v);
      ++posted;
    }
  w.volumes = std::move(now);
  w.known = true;
  return posted;
}

std::string GetVolumeEventPath(EventRef event) {
  UInt32 size = 0;
  if (GetEventParameter(event, kEventParamDirectObject, typeFilePath, nullptr, 0, &size, nullptr) !=
      noErr)
    return std::string();
  std::string path(size, '\0');
  if (size > 0)
    GetEventParameter(event, kEventParamDirectObject, typeFilePath, nullptr, size, nullptr,
                      &path[0]);
  return path;
}
