// What the catalogue write lock asks the system about the holder of a lock file. The program
// uses the system's own answers; a test puts others in their place to stand for what it cannot
// make (another user's process, a file system without advisory locks). Not for use outside
// corvlib/catalog and its tests.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

struct PLockSystem {
  // 1 when an advisory lock is held on the file open as fd (by any open file but fd's own),
  // 0 when none is, -1 when its file system cannot tell.
  int (*locked)(int fd);
  // 1 when process pid has the file open, 0 when it has not, -1 when its open files cannot
  // be seen (another user's process).
  int (*hasOpen)(long pid, const struct stat& file);
  // The user that process pid runs as; false when that cannot be told.
  bool (*owner)(long pid, uid_t* uid);
};

// The answers in use.
extern PLockSystem plockSystem;
// The system's own answers.
const PLockSystem& PlockSystemDefault();
