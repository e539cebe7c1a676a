// The user's private folders for preferences, caches and the log.
#include "platform/pfolders.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QStandardPaths>
#include <cstdlib>
#include <cstring>

namespace {

void Say(std::string* message, const std::string& text) {
  if (message != nullptr) *message = text;
}

std::string Quoted(const std::string& path) {
  return "'" + path + "'";
}

// Makes the missing folders above path, mode 0700 as the XDG rules ask for new base folders.
bool MakeParents(const std::string& path, std::string* message) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    const std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      Say(message, "Cannot create folder " + Quoted(part) + ": " + std::strerror(errno));
      return false;
    }
  }
  return true;
}

// The XDG base folder named by a variable, else $HOME and the default below it.
std::string BaseFolder(const char* variable, const char* fallback, std::string* message) {
  const char* v = std::getenv(variable);
  if (v != nullptr && v[0] == '/') return v;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    Say(message, std::string("No folder for the program's files: neither $") + variable +
                     " nor $HOME is set");
    return std::string();
  }
  std::string base = home;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base + fallback;
}

}  // namespace

bool MakePrivateFolder(const std::string& path, std::string* message) {
  if (path.empty() || path[0] != '/') {
    Say(message, "Folder path " + Quoted(path) + " is not absolute");
    return false;
  }
  bool made = mkdir(path.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) {
    Say(message, "Cannot create folder " + Quoted(path) + ": " + std::strerror(errno));
    return false;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    Say(message, "Cannot read folder " + Quoted(path) + ": " + std::strerror(errno));
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    Say(message, "Folder " + Quoted(path) + " is a symbolic link; refusing to use it");
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    Say(message, Quoted(path) + " is not a folder");
    return false;
  }
  // The checks that count are made on the open folder, so nothing can be swapped in between.
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    Say(message, "Cannot open folder " + Quoted(path) + ": " + std::strerror(errno));
    return false;
  }
  bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  if (!ok)
    Say(message, "Cannot read folder " + Quoted(path));
  else if (st.st_uid != geteuid()) {
    Say(message, "Folder " + Quoted(path) + " belongs to another user; refusing to use it");
    ok = false;
  } else if (made && fchmod(fd, 0700) != 0) {
    // A file system that keeps no permissions (FAT) refuses the call, as ENOSYS, EPERM or
    // ENOTSUP, and shows every folder with the mode its mount gives. A folder made just now,
    // this user's, that it shows open to this user and closed to everyone else is as private
    // as the call would have made it; one it shows open to others is not used.
    const int err = errno;
    if ((st.st_mode & 077) != 0 || (st.st_mode & 0700) != 0700) {
      Say(message, "Cannot protect folder " + Quoted(path) + ": " + std::strerror(err));
      ok = false;
    }
  }
  close(fd);
  return ok;
}

namespace {

std::string FolderPath(UserFolderKind kind, std::string* message) {
  std::string base;
  switch (kind) {
    case kPreferencesFolder:
      base = BaseFolder("XDG_CONFIG_HOME", "/.config", message);
      break;
    case kCacheFolder:
      base = BaseFolder("XDG_CACHE_HOME", "/.cache", message);
      break;
    case kStateFolder:
      base = BaseFolder("XDG_STATE_HOME", "/.local/state", message);
      break;
  }
  if (base.empty()) return std::string();
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/lumerin";
}

// Whether a path names its folder the one way: absolute, no empty, "." or ".." part, no '/' at
// its end.
bool Plain(const std::string& path) {
  if (path.size() < 2 || path[0] != '/' || path.back() == '/') return false;
  for (size_t at = 0; at != std::string::npos;) {
    const size_t next = path.find('/', at + 1);
    const std::string part = path.substr(at + 1, next == std::string::npos ? next : next - at - 1);
    if (part.empty() || part == "." || part == "..") return false;
    at = next;
  }
  return true;
}

}  // namespace

std::string UserFolder(UserFolderKind kind, std::string* message) {
  const std::string folder = FolderPath(kind, message);
  if (folder.empty()) return std::string();
  if (!MakeParents(folder, message) || !MakePrivateFolder(folder, message)) return std::string();
  return folder;
}

std::string UserFolderPath(UserFolderKind kind) {
  return FolderPath(kind, nullptr);
}

bool MakeProgramFolder(const std::string& dir, std::string* message, bool alone) {
  struct stat st;
  for (UserFolderKind kind : {kPreferencesFolder, kCacheFolder, kStateFolder}) {
    const std::string own = UserFolderPath(kind);
    if (own.empty() || !Plain(dir) || dir.compare(0, own.size(), own) != 0 ||
        (dir.size() > own.size() && dir[own.size()] != '/'))
      continue;
    if (dir.size() > own.size() && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    // The user's folder is looked at as at every start; those below it are the program's too.
    if (UserFolder(kind, message).empty()) return false;
    for (size_t at = own.size(); at < dir.size();) {
      at = dir.find('/', at + 1);
      if (!MakePrivateFolder(dir.substr(0, at), message)) return false;
    }
    return true;
  }
  if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  if (!alone) {
    Say(message, "Folder " + Quoted(dir) + " is missing");
    return false;
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    Say(message, "Cannot create folder " + Quoted(dir) + ": " + std::strerror(errno));
    return false;
  }
  if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  Say(message, Quoted(dir) + " is not a folder");
  return false;
}

std::string UserPicturesFolder() {
  const QString p = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
  if (!p.isEmpty()) return p.toStdString();
  const char* home = getenv("HOME");
  return std::string(home && *home ? home : "") + "/Pictures";
}

std::string ProgramFolder() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf - 1) return "";
  std::string path(buf, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? "" : path.substr(0, slash);
}
