// A name another user races the program for, and wins every time: whenever the program looks
// at the name (stat, lstat, access ...) a regular file stands there, and whenever it opens the
// name (open, fopen ...) a FIFO that no writer will ever open has just been renamed over it.
// Whatever the program checks first, it opens the FIFO. Without the swap, the opens of the name
// are only counted.
//
// Included by one source file of a test program, which thereby stands in for those calls of
// the C library (for every other name they pass straight through to the library's own): the
// program's own code, and the libraries it uses, reach the name only through them.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace testutil {

namespace swapat {

struct State {
  std::atomic<bool> armed{false};
  bool swap = false;
  std::string path, file, fifo;
  std::atomic<int> opens{0};
};
inline State& S() {
  static State s;
  return s;
}

inline bool Is(const char* p) {
  return S().armed.load() && p != nullptr && S().path == p;
}
inline bool IsAt(int dirfd, const char* p) {
  return (dirfd == AT_FDCWD || (p != nullptr && p[0] == '/')) && Is(p);
}
// Puts the file kept at keep at the name, in one step.
inline void Put(const std::string& keep) {
  const std::string tmp = S().path + ".swap";
  unlink(tmp.c_str());
  if (link(keep.c_str(), tmp.c_str()) == 0) rename(tmp.c_str(), S().path.c_str());
}
inline void Looking(bool at) {
  if (at && S().swap) Put(S().file);
}
inline void Opening(bool at) {
  if (!at) return;
  S().opens++;
  if (S().swap) Put(S().fifo);
}
template <typename F>
F Real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
inline mode_t ModeArg(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

}  // namespace swapat

// While it lives, the regular file at path is kept under a second name beside it, and the
// name is raced for (swap) or its opens counted. path must hold a regular file.
class NameRace {
 public:
  NameRace(const std::string& path, bool swap) {
    swapat::State& s = swapat::S();
    s.path = path;
    s.file = path + ".file";
    s.fifo = path + ".fifo";
    s.swap = swap;
    s.opens = 0;
    unlink(s.file.c_str());
    unlink(s.fifo.c_str());
    ready_ = link(path.c_str(), s.file.c_str()) == 0 && mkfifo(s.fifo.c_str(), 0600) == 0;
    s.armed = ready_;
  }
  ~NameRace() {
    swapat::State& s = swapat::S();
    s.armed = false;
    if (ready_) {
      const std::string file = s.file;
      swapat::Put(file);
    }
    unlink(s.file.c_str());
    unlink(s.fifo.c_str());
  }
  NameRace(const NameRace&) = delete;
  NameRace& operator=(const NameRace&) = delete;

  bool Ready() const { return ready_; }
  // How many times the name was opened (or an open of it was tried) so far.
  int Opens() const { return swapat::S().opens; }
  // Renames the FIFO over the name for good, as a user would once the file is open.
  void FifoNow() const { swapat::Put(swapat::S().fifo); }

 private:
  bool ready_ = false;
};

}  // namespace testutil

// The C library's calls that reach a file by its name, as the program sees them.
extern "C" {

#define LUMERIN_SWAP_OPEN(name)                                                             \
  int name(const char* p, int flags, ...) {                                                 \
    va_list ap;                                                                             \
    va_start(ap, flags);                                                                    \
    const mode_t mode = testutil::swapat::ModeArg(flags, ap);                               \
    va_end(ap);                                                                             \
    testutil::swapat::Opening(testutil::swapat::Is(p));                                     \
    static const auto real = testutil::swapat::Real<int (*)(const char*, int, ...)>(#name); \
    return real(p, flags, mode);                                                            \
  }
LUMERIN_SWAP_OPEN(open)
LUMERIN_SWAP_OPEN(open64)
#undef LUMERIN_SWAP_OPEN

#define LUMERIN_SWAP_OPENAT(name)                                                                \
  int name(int dirfd, const char* p, int flags, ...) {                                           \
    va_list ap;                                                                                  \
    va_start(ap, flags);                                                                         \
    const mode_t mode = testutil::swapat::ModeArg(flags, ap);                                    \
    va_end(ap);                                                                                  \
    testutil::swapat::Opening(testutil::swapat::IsAt(dirfd, p));                                 \
    static const auto real = testutil::swapat::Real<int (*)(int, const char*, int, ...)>(#name); \
    return real(dirfd, p, flags, mode);                                                          \
  }
LUMERIN_SWAP_OPENAT(openat)
#undef LUMERIN_SWAP_OPENAT

#define LUMERIN_SWAP_FOPEN(name)                                                                 \
  FILE* name(const char* p, const char* mode) {                                                  \
    testutil::swapat::Opening(testutil::swapat::Is(p));                                          \
    static const auto real = testutil::swapat::Real<FILE* (*)(const char*, const char*)>(#name); \
    return real(p, mode);                                                                        \
  }
LUMERIN_SWAP_FOPEN(fopen)
LUMERIN_SWAP_FOPEN(fopen64)
#undef LUMERIN_SWAP_FOPEN

#define LUMERIN_SWAP_STAT(name, type)                                                    \
  int name(const char* p, type* st) {                                                    \
    testutil::swapat::Looking(testutil::swapat::Is(p));                                  \
    static const auto real = testutil::swapat::Real<int (*)(const char*, type*)>(#name); \
    return real(p, st);                                                                  \
  }
LUMERIN_SWAP_STAT(stat, struct stat)
LUMERIN_SWAP_STAT(lstat, struct stat)
#undef LUMERIN_SWAP_STAT

int fstatat(int dirfd, const char* p, struct stat* st, int flags) {
  testutil::swapat::Looking(testutil::swapat::IsAt(dirfd, p));
  static const auto real =
      testutil::swapat::Real<int (*)(int, const char*, struct stat*, int)>("fstatat");
  return real(dirfd, p, st, flags);
}

int access(const char* p, int how) {
  testutil::swapat::Looking(testutil::swapat::Is(p));
  static const auto real = testutil::swapat::Real<int (*)(const char*, int)>("access");
  return real(p, how);
}

}  // extern "C"
