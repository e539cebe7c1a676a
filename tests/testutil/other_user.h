// What a second user of a shared folder owns and plants there: a child process that takes another
// user's ids (65534, or 65533 when the test runs as 65534) and makes its names, and that user's
// files and folders given by root. Only root can become another user or give them a file; without
// it the child plants as the test's own user, which is the same for a link (the program must not
// follow one whoever made it), and a test that needs a file of another user skips when
// CanBeOtherUser() is false.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

namespace testutil {

inline uid_t OtherUid() {
  return geteuid() == 65534 ? 65533 : 65534;
}

// A user neither the test's nor the other: an ordinary user a child can become where the test
// runs as root, whose powers would hide what a folder forbids to others.
inline uid_t ThirdUid() {
  return OtherUid() == 65534 ? 65533 : 65532;
}

inline bool CanBeOtherUser() {
  return geteuid() == 0;
}

// The other user's primary group (their own number when the system does not know them).
inline gid_t OtherGid() {
  const struct passwd* pw = getpwuid(OtherUid());
  return pw != nullptr ? pw->pw_gid : static_cast<gid_t>(OtherUid());
}

// The other user's name as the program's messages give it: "user 'nobody'", or "user 65534"
// where the system does not know them.
inline std::string OtherUserNamed() {
  const struct passwd* pw = getpwuid(OtherUid());
  return pw != nullptr ? "user '" + std::string(pw->pw_name) + "'"
                       : "user " + std::to_string(OtherUid());
}

// Gives the file or folder at path to the other user and their group (root only).
inline bool GiveToOtherUser(const std::string& path) {
  return lchown(path.c_str(), OtherUid(), OtherGid()) == 0;
}

// Makes the calling process the other user, for good: in a child only. System calls only.
inline bool BecomeOtherUser() {
  const uid_t u = OtherUid();
  return setgroups(0, nullptr) == 0 && setresgid(u, u, u) == 0 && setresuid(u, u, u) == 0;
}

// Runs plant in a child process, as the other user when the test can become one; true when
// plant returned true there. plant makes system calls only: the child of a program with threads
// must not allocate.
inline bool Plant(const std::function<bool()>& plant) {
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (CanBeOtherUser() && !BecomeOtherUser()) _exit(2);
    _exit(plant() ? 0 : 1);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A folder both users may write in, as a group's photo folder is: mode 0777, not sticky, made
// in parent (itself opened to others for the path's sake).
inline std::string SharedFolder(const std::string& parent, const std::string& name = "shared") {
  const std::string path = parent + "/" + name;
  chmod(parent.c_str(), 0755);
  mkdir(path.c_str(), 0777);
  chmod(path.c_str(), 0777);
  return path;
}

}  // namespace testutil
