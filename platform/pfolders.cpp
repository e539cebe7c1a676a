// The user's private folders for preferences, caches and the log, and the rule for every place
// the program writes in.
#include "platform/pfolders.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QStandardPaths>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "support/futil.h"

namespace {

void Say(std::string* message, const std::string& text) {
  if (message != nullptr) *message = text;
}

std::string Quoted(const std::string& path) {
  return "'" + path + "'";
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

// The system's users and groups. The look-ups share the system's state of its user list, and
// only folders others may write through their group ask for them.
class SystemUsers : public FolderUsers {
 public:
  uid_t User() const override { return geteuid(); }

  Members GroupMembers(gid_t gid) const override {
    static std::mutex lock;
    const std::lock_guard<std::mutex> hold(lock);
    const uid_t user = User();
    bool mine = false, others = false;
    // The process's own groups are the user's, whatever the lists say.
    mine = getegid() == gid;
    std::vector<gid_t> groups(static_cast<size_t>(std::max(0, getgroups(0, nullptr))));
    const int n = getgroups(static_cast<int>(groups.size()), groups.data());
    for (int i = 0; i < n; i++) mine = mine || groups[static_cast<size_t>(i)] == gid;
    const auto member = [&](uid_t uid) {
      if (uid == user)
        mine = true;
      else if (uid != 0)
        others = true;
    };
    std::vector<char> buf(16384);
    struct group gr, *g = nullptr;
    while (getgrgid_r(gid, &gr, buf.data(), buf.size(), &g) == ERANGE && buf.size() < (1u << 24))
      buf.resize(buf.size() * 2);
    std::vector<char> pbuf(16384);
    for (char** m = g != nullptr ? g->gr_mem : nullptr; m != nullptr && *m != nullptr; ++m) {
      struct passwd pw, *p = nullptr;
      getpwnam_r(*m, &pw, pbuf.data(), pbuf.size(), &p);
      // A name listed that is no user's cannot be told from another user.
      if (p == nullptr)
        others = true;
      else
        member(p->pw_uid);
    }
    setpwent();
    while (const struct passwd* p = getpwent())
      if (p->pw_gid == gid) member(p->pw_uid);
    endpwent();
    return others ? kOthers : mine ? kUserAlone : kNotTheUsers;
  }

  std::string GroupName(gid_t gid) const override {
    std::vector<char> buf(16384);
    struct group gr, *g = nullptr;
    while (getgrgid_r(gid, &gr, buf.data(), buf.size(), &g) == ERANGE && buf.size() < (1u << 24))
      buf.resize(buf.size() * 2);
    return g != nullptr ? std::string(g->gr_name) : std::to_string(gid);
  }
};

}  // namespace

const FolderUsers& FolderUsers::System() {
  static const SystemUsers users;
  return users;
}

std::string PlaceFault(const struct stat& st, bool place, const FolderUsers& users) {
  const uid_t user = users.User();
  const bool owned = st.st_uid == user || (!place && st.st_uid == 0);
  if (S_ISLNK(st.st_mode)) {
    if (place) return "is a symbolic link";
    return owned ? std::string() : "is a link of another user";
  }
  if (!owned) return "belongs to another user";
  // The sticky bit keeps what lies in a folder its owners' to rename or remove. In the place
  // itself others may still put files at names the program makes there: it takes only its own
  // regular files, so such a file costs a cache or a log, never what is in it.
  if ((st.st_mode & S_ISVTX) != 0) return std::string();
  if ((st.st_mode & S_IWOTH) != 0) return "can be written by everyone";
  if ((st.st_mode & S_IWGRP) == 0) return std::string();
  switch (users.GroupMembers(st.st_gid)) {
    case FolderUsers::kUserAlone:
      return std::string();
    case FolderUsers::kOthers:
      return "can be written by the group '" + users.GroupName(st.st_gid) +
             "', which has other members";
    case FolderUsers::kNotTheUsers:
      break;
  }
  return "can be written by the group '" + users.GroupName(st.st_gid) +
         "', which the user is not a member of";
}

std::string NotOwnEntry(const struct stat& st, bool folder, uid_t owner, bool oneName) {
  if (S_ISLNK(st.st_mode)) return "is a symbolic link";
  if (folder && !S_ISDIR(st.st_mode)) return "is not a folder";
  if (!folder && !S_ISREG(st.st_mode)) return "is not a regular file";
  if (st.st_uid != owner) return "belongs to another user";
  if (oneName && st.st_nlink != 1) return "has other names";
  return std::string();
}

namespace {

// Whether a folder's mode lets anyone but its owner in (its group or everyone).
bool OpenToOthers(mode_t mode) {
  return (mode & 077) != 0;
}

// Checks the open folder fd at path as one of the program's own: the user's, closed to others.
// One made just now (made), or found open to others, gets mode 0700 exactly, whatever the umask.
// False with the reason in *message.
bool CheckPrivate(int fd, const std::string& path, bool made, std::string* message) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    Say(message, "Cannot read folder " + Quoted(path));
    return false;
  }
  const std::string why = NotOwnEntry(st, true, geteuid());
  if (!why.empty()) {
    Say(message, "Folder " + Quoted(path) + " " + why + "; refusing to use it");
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
// it on its descriptor as one of the program's own. The open folder, or -1 with the reason in
// *message.
int OpenPrivateIn(int at, const std::string& name, const std::string& path, bool make,
                  std::string* message) {
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
    const std::string why = fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
                                ? NotOwnEntry(st, true, st.st_uid)
                                : std::string();
    if (why == "is not a folder")
      Say(message, Quoted(path) + " " + why);
    else if (!why.empty())
      Say(message, "Folder " + Quoted(path) + " " + why + "; refusing to use it");
    else if (err == ENOENT)
      Say(message, "Folder " + Quoted(path) + " is missing");
    else
      Say(message, "Cannot open folder " + Quoted(path) + ": " + std::strerror(err));
    return -1;
  }
  if (CheckPrivate(fd, path, made, message)) return fd;
  close(fd);
  return -1;
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

// The folders walked on the way to a place, the root first, and their names.
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

// Walks to the folder dir from the root one folder at a time, each reached from the one above it
// without following a link unawares: a symbolic link on the way is followed as the system would
// follow it when the rule lets it be followed (PlaceFault), and every folder passed is checked as
// a folder on the way. With place, dir's last part is the place: made (mode 0700) when make is
// set and it is missing while its parent is there, refused as a link, and checked as the place.
// Without, dir is a folder on the way too, and with make the missing folders of its path are made
// (mode 0700). The folder reached, open for reading, or -1 with the reason, naming the folder
// the walk is for (shown, else dir) and the folder or link at fault, in *message.
int WalkTo(const std::string& dir, bool place, bool make, std::string* message,
           const std::string& shown = std::string()) {
  const FolderUsers& users = FolderUsers::System();
  std::string full = dir;
  if (full.empty() || full[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      Say(message, "Cannot find folder " + Quoted(dir) + ": " + std::strerror(errno));
      return -1;
    }
    full = std::string(cwd) + "/" + full;
  }
  const auto refuse = [&](const std::string& text) {
    Say(message, text);
    return -1;
  };
  const std::string target = shown.empty() ? dir : shown;
  const auto at = [&](const std::string& folder, const std::string& why) {
    return refuse("Folder " + Quoted(target) + " lies in " + Quoted(folder) + ", which " + why +
                  "; refusing to use it");
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
  std::string why = todo.empty() && place ? std::string() : PlaceFault(st, false, users);
  if (!why.empty()) return at("/", why);
  while (!todo.empty()) {
    const std::string part = todo.back();
    todo.pop_back();
    // The last part is the place (a link's parts go before it).
    const bool last = todo.empty() && place;
    if (part == ".") continue;
    if (part == "..") {
      walk.Up();
      continue;
    }
    if (make && (last || !place)) {
      const bool new_folder = mkdirat(walk.Top(), part.c_str(), 0700) == 0;
      if (!new_folder && errno != EEXIST)
        return refuse("Cannot create folder " + Quoted(last ? dir : walk.Path(part)) + ": " +
                      std::strerror(errno));
      made = made || (last && new_folder);
    }
    const int fd = openat(walk.Top(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
      return refuse(make && last
                        ? "Cannot create folder " + Quoted(dir) + ": " + std::strerror(ENOENT)
                        : "Folder " + Quoted(target) + " is missing");
    if (fd < 0 || fstat(fd, &st) != 0) {
      const int err = errno;
      if (fd >= 0) close(fd);
      return refuse("Cannot open folder " + Quoted(walk.Path(part)) + ": " + std::strerror(err));
    }
    if (S_ISLNK(st.st_mode)) {
      const std::string link = walk.Path(part);
      why = PlaceFault(st, last, users);
      char to[4096];
      const ssize_t n = !why.empty() || ++links > 40 ? -1 : readlinkat(fd, "", to, sizeof to);
      close(fd);
      if (last) return refuse("Folder " + Quoted(dir) + " " + why + "; refusing to use it");
      if (!why.empty())
        return refuse("Folder " + Quoted(target) + " is reached through " + Quoted(link) +
                      ", which " + why + "; refusing to use it");
      if (n <= 0 || static_cast<size_t>(n) >= sizeof to)
        return refuse("Cannot follow " + Quoted(link) + " on the way to folder " + Quoted(target));
      const std::string points(to, static_cast<size_t>(n));
      if (points[0] == '/') walk.Back(1);  // from the root again
      std::vector<std::string> more = Parts(points);
      todo.insert(todo.end(), more.rbegin(), more.rend());
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      close(fd);
      return refuse(Quoted(walk.Path(part)) + " is not a folder");
    }
    walk.Push(fd, part);
    why = last ? std::string() : PlaceFault(st, false, users);
    if (!why.empty()) return at(walk.Path(), why);
  }
  // The folder reached, opened to be checked and, when made just now, made private.
  const int fd = openat(walk.Top(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return refuse("Cannot open folder " + Quoted(dir) + ": " + std::strerror(errno));
  if (place) {
    why = fstat(fd, &st) == 0 ? PlaceFault(st, true, users) : std::strerror(errno);
    // Made here, it is the user's alone whatever the umask (where modes can be set at all).
    if (why.empty() && made) fchmod(fd, 0700);
    if (!why.empty()) {
      close(fd);
      return refuse("Folder " + Quoted(dir) + " " + why + "; refusing to use it");
    }
  }
  return fd;
}

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

// Opens a place as MakeProgramFolder checks it, made (make) as it makes it: the folder, open for
// reading, or -1 with the reason in *message.
int OpenPlace(const std::string& dir, bool alone, bool make, std::string* message) {
  for (UserFolderKind kind : {kPreferencesFolder, kCacheFolder, kStateFolder}) {
    const std::string own = UserFolderPath(kind);
    if (own.empty() || !Plain(dir) || dir.compare(0, own.size(), own) != 0 ||
        (dir.size() > own.size() && dir[own.size()] != '/'))
      continue;
    // The way to the user's base folder is checked (its missing folders made); from there every
    // folder down to dir is the program's own, made when missing and checked, each reached
    // through the one above it.
    const std::string base = PfolderOf(own);
    int fd = WalkTo(base, false, make, message, dir);
    std::string path = base == "/" ? std::string() : base;
    for (const std::string& part : Parts(dir.substr(base.size()))) {
      if (fd < 0) return -1;
      path += "/" + part;
      const int next = OpenPrivateIn(fd, part, path, make, message);
      close(fd);
      fd = next;
    }
    return fd;
  }
  return WalkTo(dir, true, make && alone, message);
}

}  // namespace

bool CheckedFolder::Check(const std::string& dir, std::string* message, bool alone) {
  Drop();
  const int fd = OpenPlace(dir, alone, true, message);
  if (fd < 0) return false;
  fd_ = fd;
  path_ = dir;
  alone_ = alone;
  checked_ = true;
  return true;
}

bool CheckedFolder::Take(const std::string& dir, std::string* message) {
  Drop();
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    Say(message, errno == ENOTDIR
                     ? Quoted(dir) + " is not a folder"
                     : "Cannot open folder " + Quoted(dir) + ": " + std::strerror(errno));
    return false;
  }
  fd_ = fd;
  path_ = dir;
  return true;
}

bool CheckedFolder::Still(std::string* message) const {
  struct stat held, now;
  if (fd_ < 0) return false;
  if (fstat(fd_, &held) != 0 || held.st_nlink == 0) {
    Say(message, "Folder " + Quoted(path_) + " was removed");
    return false;
  }
  const int fd = checked_ ? OpenPlace(path_, alone_, false, message)
                          : open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    if (!checked_) Say(message, "Folder " + Quoted(path_) + " is missing");
    return false;
  }
  const bool same = fstat(fd, &now) == 0 && now.st_dev == held.st_dev && now.st_ino == held.st_ino;
  close(fd);
  if (!same) Say(message, "Folder " + Quoted(path_) + " is no longer the folder in use");
  return same;
}

void CheckedFolder::Drop() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  path_.clear();
  alone_ = checked_ = false;
}

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
  const int at = WalkTo(parent, false, false, message, p);
  if (at < 0) return false;
  const int fd = OpenPrivateIn(at, name, p, true, message);
  close(at);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::string UserFolder(UserFolderKind kind, std::string* message) {
  const std::string folder = FolderPath(kind, message);
  if (folder.empty() || !MakeProgramFolder(folder, message)) return std::string();
  return folder;
}

std::string UserFolderPath(UserFolderKind kind) {
  return FolderPath(kind, nullptr);
}

bool MakeProgramFolder(const std::string& dir, std::string* message, bool alone) {
  CheckedFolder folder;
  return folder.Check(dir, message, alone);
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
