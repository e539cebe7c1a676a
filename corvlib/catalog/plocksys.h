// What the catalogue write lock asks the system about the holder of a lock file. The program
// uses the system's own answers; a test puts others in their place to stand for what it cannot
// make (another user's process, a file system without advisory locks or hard links, another
// mount of a folder that shares no advisory lock). Not for use outside corvlib/catalog and its
// tests.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

// A file a process has open, as its process table shows it.
struct POpenFile {
  std::string name;     // the name the process opened it by (in its own view of the folders)
  bool seen = false;    // whether the file's status could be read
  struct stat st = {};  // then its status
};

struct PLockSystem {
  // 1 when an advisory lock is held on the file open as fd (by any open file but fd's own),
  // 0 when none is, -1 when its file system cannot tell.
  int (*locked)(int fd);
  // The files process pid has open (files only: no pipes, sockets and the like); false when
  // they cannot be seen (another user's process).
  bool (*openFiles)(long pid, std::vector<POpenFile>* files);
  // The user that process pid runs as; false when that cannot be told.
  bool (*owner)(long pid, uid_t* uid);
  // Gives the file from a second name, as link(2) does (-1 and errno when refused).
  int (*link)(const char* from, const char* to);
  // Takes the advisory lock fl on the file open as fd, as fcntl(fd, F_OFD_SETLK, fl) does: the
  // writer's lock on a catalogue file, and a lock file's maker's where it has no hard links.
  int (*setLock)(int fd, struct flock* fl);
};

// The answers in use.
extern PLockSystem plockSystem;
// The system's own answers.
const PLockSystem& PlockSystemDefault();
