// The user's folders for the program's own files, after the XDG base-directory rules:
//   preferences           $XDG_CONFIG_HOME/lumerin   (default ~/.config/lumerin)
//   caches, the shadow
//   catalogue, temporary
//   images                $XDG_CACHE_HOME/lumerin    (default ~/.cache/lumerin)
//   the log               $XDG_STATE_HOME/lumerin    (default ~/.local/state/lumerin)
// A variable that is unset, empty or not an absolute path gives the default under $HOME.
//
// Each folder is private: made with mode 0700 when missing (its missing parents too), made 0700
// again when it is found open to others, and refused, with a message saying why, when it is a
// symbolic link, not a folder, or owned by another user, so that nothing the program writes there
// can be read or redirected by others. The checks are made on the folder opened without following
// a link, reached from the folder above it, so that nothing can be swapped in between; a folder
// inside one refused is refused with it. Where the file system keeps no permissions (FAT) a
// folder is used when it shows closed to everyone but this user, and refused when it shows open
// to others.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

enum UserFolderKind { kPreferencesFolder, kCacheFolder, kStateFolder };

// The folder's path, made when missing; empty when it cannot be had, with the reason in
// *message (when given).
std::string UserFolder(UserFolderKind kind, std::string* message = nullptr);
// The same path, looked at and made nothing; empty when neither its variable nor $HOME is set.
std::string UserFolderPath(UserFolderKind kind);

// ---- The places the program writes in -------------------------------------------------------
//
// A place is a folder the program keeps files in: one of its own (below the user's XDG folders)
// or one the user chose in the preferences (the thumbnail cache's, the shadow catalogue's, the
// log's). It is used unless someone other than the user (or root) could change what the program
// finds there, and refused, saying which folder or link and why, when:
//   - the place itself is a symbolic link, is not the user's, or someone else may write in it:
//     everyone (sticky or not: others could put files at the names the program makes there), or
//     a group that is not the user's alone;
//   - a folder on the way to it belongs to neither the user nor root, or someone else may rename
//     or remove what lies in it: it is writable by everyone or by a group not the user's alone,
//     without the sticky bit (with it, as in /tmp, no one renames or removes what is not theirs);
//   - a symbolic link on the way belongs to neither the user nor root: the program follows
//     links itself, where the system's guard of sticky folders does not apply, so it follows a
//     link only when it is the user's or root's, much as the system does in a sticky folder.
// A group is the user's alone when no one else is a member: no other user is listed for it and
// none has it as primary group (root aside), and the user is one of them; a group without
// members is the group setgid programs run as. A folder others may read but not write is the
// user's choice: what the program writes there is made private (mode 0600).

// The system's users and groups as the rule sees them; a test gives its own.
class FolderUsers {
 public:
  virtual ~FolderUsers() = default;
  // The program's user.
  virtual uid_t User() const = 0;
  enum Members {
    kUserAlone,    // the user, perhaps with root
    kOthers,       // someone besides the user and root
    kNotTheUsers,  // no member, or root alone
  };
  // Who belongs to group gid: those listed for it and those whose primary group it is.
  virtual Members GroupMembers(gid_t gid) const = 0;
  // The group's name, its number when it has none.
  virtual std::string GroupName(gid_t gid) const = 0;
  // The system's, for the effective user.
  static const FolderUsers& System();
};

// The rule for one entry: st is what lstat tells of the place itself (place true) or of a folder
// or a symbolic link met on the way to it. Why someone else could change what lies there, in
// words that follow the entry's name ("is a symbolic link", "belongs to another user", "can be
// written by everyone", "can be written by the group 'staff', which has other members", "is a
// link of another user"); empty when no one can.
std::string PlaceFault(const struct stat& st, bool place, const FolderUsers& users);

// Why st is not an entry of owner's own of the kind asked (a folder, else a regular file), in
// words that follow its name ("is a symbolic link", "is not a folder", "is not a regular file",
// "belongs to another user", "has other names" when oneName asks for a file of one name); empty
// when it is. The one check of what the program takes as its own: its folders, an export's
// folder, a file it wrote taken back by its name.
std::string NotOwnEntry(const struct stat& st, bool folder, uid_t owner, bool oneName = false);

// A place checked (MakeProgramFolder) and held open from the check: files made through Fd() are
// made in that very folder whatever comes to stand at its path later, and Still() looks again.
class CheckedFolder {
 public:
  CheckedFolder() = default;
  ~CheckedFolder() { Drop(); }
  CheckedFolder(const CheckedFolder&) = delete;
  CheckedFolder& operator=(const CheckedFolder&) = delete;

  // Makes and checks the folder dir as MakeProgramFolder does, and holds it; false with the
  // reason in *message (nothing held).
  bool Check(const std::string& dir, std::string* message = nullptr, bool alone = false);
  // Holds the folder dir as it is, without the rule (a folder shared by everyone, /tmp, where
  // the checks of each file keep it); false with the reason in *message.
  bool Take(const std::string& dir, std::string* message = nullptr);
  bool Held() const { return fd_ >= 0; }
  // The folder, open for reading (O_DIRECTORY); -1 when none is held.
  int Fd() const { return fd_; }
  const std::string& Path() const { return path_; }
  // Whether the folder held is there yet and its path, checked again (nothing made), still
  // leads to it: false, with why in *message, once it was removed, its path leads elsewhere or
  // the rule refuses it now.
  bool Still(std::string* message = nullptr) const;
  void Drop();

 private:
  int fd_ = -1;
  std::string path_;
  bool alone_ = false;
  bool checked_ = false;  // by the rule, not taken as it is
};

// Makes a folder the program keeps its files in (the folder of its preferences, log or shadow
// catalogue, its thumbnail cache folder) again when it is missing, as at the first start, and
// checks it by the rule above. One that lies in one of the user's folders above (removed with
// the user's cache, say) is the program's own: the way to the user's base folder
// ($XDG_CACHE_HOME, say) is checked, its missing folders made (mode 0700), and from there it is
// made with every folder between them, each reached from the one above it without following a
// link and made private (0700) when found open to others, refused when it is a link, not a
// folder or another user's. A folder elsewhere is the user's own choice, named in the
// preferences: with alone, it is made by itself (mode 0700) when its parent is there; without,
// nothing is made. True when dir is a folder to use; false with the reason, naming the folder
// or link, in *message.
bool MakeProgramFolder(const std::string& dir, std::string* message = nullptr, bool alone = false);

// Makes one private folder at path unless it is there (its parent must exist, and is checked as
// a folder on the way to a place), and checks it on the folder opened without following a link:
// a folder of this user. A folder made here gets mode 0700 exactly, whatever the umask, and so
// does one found open to others; where the mode cannot be set, it must show no access for group
// and others as it is. False with the reason in *message.
bool MakePrivateFolder(const std::string& path, std::string* message = nullptr);

// The user's pictures folder as the desktop names it (XDG_PICTURES_DIR), by default
// ~/Pictures; it is not made when missing.
std::string UserPicturesFolder();

// The folder holding the running program (its executable), without a trailing '/'; empty when
// it cannot be found. Files installed with the program lie at fixed places from there.
std::string ProgramFolder();
