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

#include <string>

enum UserFolderKind { kPreferencesFolder, kCacheFolder, kStateFolder };

// The folder's path, made when missing; empty when it cannot be had, with the reason in
// *message (when given).
std::string UserFolder(UserFolderKind kind, std::string* message = nullptr);
// The same path, looked at and made nothing; empty when neither its variable nor $HOME is set.
std::string UserFolderPath(UserFolderKind kind);

// Makes a folder the program keeps its files in (the folder of its preferences, log or shadow
// catalogue, its thumbnail cache folder) again when it is missing, as at the first start, and
// checks it. One that lies in one of the user's folders above (removed with the user's cache, say)
// is the program's own: it is made with the user's folder and every folder between them, each
// reached from the one above it and made private or refused as MakePrivateFolder does; the user's
// base folder ($XDG_CACHE_HOME, say) is taken as it is. A folder elsewhere is the user's own
// choice, named in the preferences: with alone, it is made by itself (mode 0700) when its parent
// is there; without, nothing is made. It is used only when it is no symbolic link, is the user's
// and closed to others (one open to others is the user's to close, and is refused), and every
// folder on the way to it belongs to the user or the system and lets no one else write in it
// (unless it is sticky, as /tmp is), so that no one else can swap it. True when dir is a folder
// to use; false with the reason, naming the folder, in *message.
bool MakeProgramFolder(const std::string& dir, std::string* message = nullptr, bool alone = false);

// Makes one private folder at path (its parent must exist, and is taken as it is) unless it is
// there, and checks it on the folder opened without following a link: a folder of this user. A
// folder made here gets mode 0700 exactly, whatever the umask, and so does one found open to
// others; where the mode cannot be set, it must show no access for group and others as it is.
// False with the reason in *message.
bool MakePrivateFolder(const std::string& path, std::string* message = nullptr);

// The user's pictures folder as the desktop names it (XDG_PICTURES_DIR), by default
// ~/Pictures; it is not made when missing.
std::string UserPicturesFolder();

// The folder holding the running program (its executable), without a trailing '/'; empty when
// it cannot be found. Files installed with the program lie at fixed places from there.
std::string ProgramFolder();
