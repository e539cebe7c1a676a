// The test program's own link(2), in place of the system's for all its code (include this in
// one source file of the program): a test refuses the links of the files it picks with an
// errno, as a file system without hard links does (EPERM) or a link across devices (EXDEV).
// With LUMERIN_TEST_NO_LINKS set, every link but a lock file's is refused (EPERM): a run that
// shows what a test proves with hard links off.
#pragma once

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>

// The errno a link of the file at path gets; 0, or no function, lets the system make it.
inline std::function<int(const std::string& path)>& RefusedLinks() {
  static std::function<int(const std::string&)> refuse;
  return refuse;
}

extern "C" int link(const char* from, const char* to) noexcept {
  const std::string target = to;
  const bool lock = target.size() > 5 && target.compare(target.size() - 5, 5, ".lock") == 0;
  int refused = RefusedLinks() ? RefusedLinks()(from) : 0;
  if (refused == 0 && !lock && getenv("LUMERIN_TEST_NO_LINKS") != nullptr) refused = EPERM;
  if (refused != 0) {
    errno = refused;
    return -1;
  }
  return static_cast<int>(syscall(SYS_linkat, AT_FDCWD, from, AT_FDCWD, to, 0));
}
