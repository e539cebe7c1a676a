// The user's private folders for preferences, caches and the log.
#include "platform/pfolders.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QStandardPaths>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/futil.h"

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

namespace {

// Whether a folder's mode lets anyone but its owner in (its group or everyone).
bool OpenToOthers(mode_t mode) {
  return (mode & 077) != 0;
}

// What becomes of an existing folder found open to others.
enum class WhenOpen {
  kMadePrivate,  // one of the program's own: made 0700 again
  kRefused,      // one the user chose: the user's to close
};

// Checks the open folder fd at path as a private folder of this user: the user's own, closed to
// others. One made just now (made) gets mode 0700 exactly, whatever the umask. False with the
// reason in *message.
bool CheckPrivate(int fd, const std::string& path, bool made, WhenOpen open, std::string* message) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
    Say(message, "Cannot read folder " + Quoted(path));
    return false;
  }
  if (st.st_uid != geteuid()) {
    Say(message, "Folder " + Quoted(path) + " belongs to another user; refusing to use it");
    return false;
  }
  if (!made && OpenToOthers(st.st_mode) && open == WhenOpen::kRefused) {
    Say(message, "Folder " + Quoted(path) + " is open to others; refusing to use it");
    return false;
  }
  if ((made || OpenToOthers(st.st_mode)) && fchmod(fd, 0700) != 0) {
    // A file system that keeps no permissions (FAT) refuses the call, as ENOSYS, EPERM or
    // ENOTSUP, and shows every folder with the mode its mount gives. A folder it shows open to
    // this user and closed to everyone else is as private as the call would have made it; one
    // it shows open to others is not used.
    const int err = errno;
    if (OpenToOthers(st.st_mode) || (st.st_mode & 0700) != 0700) {
      Say(message, "Cannot protect folder " + Quoted(path) + ": " + std::strerror(err));
      return false;
    }
  }
  return true;
}

// Opens the folder name in the open folder at (path is its whole path, for messages), made
// first (mode 0700) when make is set and it is missing, never through a symbolic link, and checks
// it on its descriptor as CheckPrivate does. The open folder, or -1 with the reason in *message.
int OpenPrivateIn(int at, const std::string& name, const std::string& path, bool make,
                  WhenOpen open, std::string* message) {
  bool made = false;
  if (make) {
    made = mkdirat(at, name.c_str(), 0700) == 0;
    if (!made && errno != EEXIST) {
      Say(message, "Cannot create folder " + Quoted(path) + ": " + std::strerror(errno));
      return -1;
    }
  }
  const int fd = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    struct stat st;
    const bool seen = fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (seen && S_ISLNK(st.st_mode))
      Say(message, "Folder " + Quoted(path) + " is a symbolic link; refusing to use it");
    else if (seen && !S_ISDIR(st.st_mode))
      Say(message, Quoted(path) + " is not a folder");
    else if (err == ENOENT)
      Say(message, "Folder " + Quoted(path) + " is missing");
    else
      Say(message, "Cannot open folder " + Quoted(path) + ": " + std::strerror(err));
    return -1;
  }
  if (CheckPrivate(fd, path, made, open, message)) return fd;
  close(fd);
  return -1;
}

// Opens a folder taken as it is (the parent the caller gives, the user's base folder): a link
// to it is followed. -1 with the reason in *message.
int OpenTrusted(const std::string& path, std::string* message) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    Say(message,
        (errno == ENOTDIR ? Quoted(path) + " is not a folder"
                          : "Cannot open folder " + Quoted(path) + ": " + std::strerror(errno)));
  return fd;
}

// The parts of a path between its '/'s, empty ones left out.
std::vector<std::string> Parts(const std::string& path) {
  std::vector<std::string> parts;
  for (size_t at = 0; at < path.size();) {
    size_t next = path.find('/', at);
    if (next == std::string::npos) next = path.size();
    if (next > at) parts.push_back(path.substr(at, next - at));
    at = next + 1;
  }
  return parts;
}

// Opens the folders below base (below: their names, '/' between them) one by one, each made when
// missing, reached from the one above it without a symbolic link and checked as one of the
// program's own (made private again when open to others), so that nothing can be swapped in
// between; base itself is taken as it is. False with the reason in *message: a folder inside one
// refused is refused with it.
bool MakeOwnBelow(const std::string& base, const std::string& below, std::string* message) {
  int fd = OpenTrusted(base, message);
  std::string path = base == "/" ? std::string() : base;
  for (const std::string& part : Parts(below)) {
    if (fd < 0) return false;
    path += "/" + part;
    const int next = OpenPrivateIn(fd, part, path, true, WhenOpen::kMadePrivate, message);
    close(fd);
    fd = next;
  }
  if (fd < 0) return false;
  close(fd);
  return true;
}

// The folders walked on the way to a folder the user chose, the root first, and their names.
class Walk {
 public:
  Walk() = default;
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;
  ~Walk() { Back(0); }
  bool Start() {
    Back(0);
    const int fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    held_.push_back(fd);
    return true;
  }
  void Push(int fd, const std::string& name) {
    held_.push_back(fd);
    names_.push_back(name);
  }
  // Back to the first n folders walked.
  void Back(size_t n) {
    while (held_.size() > n) {
      close(held_.back());
      held_.pop_back();
      if (!names_.empty() && names_.size() >= held_.size()) names_.pop_back();
    }
  }
  void Up() {
    if (held_.size() > 1) Back(held_.size() - 1);
  }
  int Top() const { return held_.back(); }
  // The path of the folder reached, or of name in it.
  std::string Path(const std::string& name = std::string()) const {
    std::string p;
    for (const std::string& n : names_) p += "/" + n;
    if (!name.empty()) p += "/" + name;
    return p.empty() ? "/" : p;
  }

 private:
  std::vector<int> held_;
  std::vector<std::string> names_;
};

// Why a folder on the way to one the program writes into would let someone else swap what lies
// below it (empty when nothing): it belongs to neither this user nor the system, or others may
// write in it; a sticky folder such as /tmp is safe to pass, as no one there renames or removes
// what is not theirs.
std::string Unsafe(const struct stat& st) {
  if (st.st_uid != 0 && st.st_uid != geteuid()) return "which belongs to another user";
  if ((st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0) return "which others can write to";
  return std::string();
}

// Opens a folder the user chose (named in the preferences: anywhere), made (mode 0700) when make
// is set and it is missing while its parent is there. It is walked to from the root one folder at
// a time, each reached without following a link unawares: a symbolic link on the way is followed
// as the system would follow it, and every folder passed must be safe (Unsafe) so that no one
// else can swap a part of the path; the folder itself must be no link, the user's and closed to
// others. False with the reason in *message.
bool OpenChosen(const std::string& dir, bool make, std::string* message) {
  std::string full = dir;
  if (full.empty() || full[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      Say(message, "Cannot find folder " + Quoted(dir) + ": " + std::strerror(errno));
      return false;
    }
    full = std::string(cwd) + "/" + full;
  }
  const auto refuse = [&](const std::string& text) {
    Say(message, text);
    return false;
  };
  Walk walk;
  if (!walk.Start()) return refuse("Cannot open folder '/': " + std::string(std::strerror(errno)));
  std::vector<std::string> todo = Parts(full);  // the parts yet to walk, the next one last
  std::reverse(todo.begin(), todo.end());
  bool made = false;
  int links = 0;
  struct stat st;
  if (fstat(walk.Top(), &st) != 0)
    return refuse("Cannot read folder '/': " + std::string(std::strerror(errno)));
  if (!Unsafe(st).empty())
    return refuse("Folder " + Quoted(dir) + " lies in '/', " + Unsafe(st) + "; refusing to use it");
  while (!todo.empty()) {
    const std::string part = todo.back();
    todo.pop_back();
    // The last part is the user's folder (a link's parts go before it).
    const bool last = todo.empty();
    if (part == ".") continue;
    if (part == "..") {
      walk.Up();
      continue;
    }
    if (last && make) {
      made = mkdirat(walk.Top(), part.c_str(), 0700) == 0;
      if (!made && errno != EEXIST)
        return refuse("Cannot create folder " + Quoted(dir) + ": " + std::strerror(errno));
    }
    const int fd = openat(walk.Top(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
      return refuse(make ? "Cannot create folder " + Quoted(dir) + ": " + std::strerror(ENOENT)
                         : "Folder " + Quoted(dir) + " is missing");
    if (fd < 0 || fstat(fd, &st) != 0) {
      const int err = errno;
      if (fd >= 0) close(fd);
      return refuse("Cannot open folder " + Quoted(walk.Path(part)) + ": " + std::strerror(err));
    }
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = last || ++links > 40 ? -1 : readlinkat(fd, "", target, sizeof target);
      close(fd);
      if (last) return refuse("Folder " + Quoted(dir) + " is a symbolic link; refusing to use it");
      if (n <= 0 || static_cast<size_t>(n) >= sizeof target)
        return refuse("Cannot follow " + Quoted(walk.Path(part)) + " on the way to folder " +
                      Quoted(dir));
      const std::string to(target, static_cast<size_t>(n));
      if (to[0] == '/') walk.Back(1);  // from the root again
      std::vector<std::string> more = Parts(to);
      todo.insert(todo.end(), more.rbegin(), more.rend());
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      close(fd);
      return refuse(Quoted(walk.Path(part)) + " is not a folder");
    }
    walk.Push(fd, part);
    const std::string why = last ? std::string() : Unsafe(st);
    if (!why.empty())
      return refuse("Folder " + Quoted(dir) + " lies in " + Quoted(walk.Path()) + ", " + why +
                    "; refusing to use it");
  }
  // The folder reached, opened to be checked and, when made just now, made private.
  const int fd = openat(walk.Top(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return refuse("Cannot open folder " + Quoted(dir) + ": " + std::strerror(errno));
  const bool ok = CheckPrivate(fd, dir, made, WhenOpen::kRefused, message);
  close(fd);
  return ok;
}

}  // namespace

bool MakePrivateFolder(const std::string& path, std::string* message) {
  if (path.empty() || path[0] != '/') {
    Say(message, "Folder path " + Quoted(path) + " is not absolute");
    return false;
  }
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const std::string parent = PfolderOf(p), name = p.substr(p.rfind('/') + 1);
  if (name.empty()) {
    Say(message, Quoted(path) + " is not a folder the program can keep files in");
    return false;
  }
  const int at = OpenTrusted(parent, message);
  if (at < 0) return false;
  const int fd = OpenPrivateIn(at, name, p, true, WhenOpen::kMadePrivate, message);
  close(at);
  if (fd < 0) return false;
  close(fd);
  return true;
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
  if (!MakeParents(folder, message) || !MakeOwnBelow(PfolderOf(folder), "lumerin", message))
    return std::string();
  return folder;
}

std::string UserFolderPath(UserFolderKind kind) {
  return FolderPath(kind, nullptr);
}

bool MakeProgramFolder(const std::string& dir, std::string* message, bool alone) {
  for (UserFolderKind kind : {kPreferencesFolder, kCacheFolder, kStateFolder}) {
    const std::string own = UserFolderPath(kind);
    if (own.empty() || !Plain(dir) || dir.compare(0, own.size(), own) != 0 ||
        (dir.size() > own.size() && dir[own.size()] != '/'))
      continue;
    // The user's base folder is taken as it is; from there every folder down to dir is the
    // program's own, made when missing and checked, each reached through the one above it.
    const std::string base = PfolderOf(own);
    if (!MakeParents(own, message)) return false;
    return MakeOwnBelow(base, dir.substr(base == "/" ? 1 : base.size() + 1), message);
  }
  return OpenChosen(dir, alone, message);
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
