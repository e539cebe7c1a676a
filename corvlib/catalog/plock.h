// Judging a catalogue lock file: the one-line text "Catalog write lock held by process <pid>"
// followed by " on <host>" and a line feed. PContext::WriteLock takes and releases the locks.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

enum PLockVerdict {
  PLVstale = 0,    // no holder: empty or unparsable text, a symbolic link, or a process of
                   // this host that is gone, or of another program that neither holds the
                   // lock nor has it open
  PLVheld = 1,     // a live process of this host, or a lock the kernel says is held
  PLVunknown = 2,  // the holder cannot be judged (a negative or impossible process id)
  PLVforeign = 3,  // a process of another host, which cannot be checked from here
};

// What a process of this host has to do with a lock file that names it.
enum PLockHolder {
  PLHholds = 0,     // it holds the lock, or that cannot be ruled out
  PLHgone = 1,      // there is no such process
  PLHstranger = 2,  // a live process of another program that neither holds nor has the lock open
};

// Judges the bytes read from a lock file (at most 256 are looked at; a final line feed, or
// carriage return and line feed, is dropped) for a taker on host. holds(pid, arg) tells what
// process pid of this host has to do with the lock.
PLockVerdict PjudgeLock(const char* text, size_t len, const char* host,
                        PLockHolder (*holds)(long pid, void* arg), void* arg);

// What process pid of this host has to do with the lock file whose status (of the file itself,
// never of a link's target) is lock; locked is what the kernel says of the file's advisory
// lock (1 held, 0 not, -1 the file system cannot tell). A lock the kernel holds, or a process
// that has the file open, is the holder's, whatever its name, user or age. A live process that
// does neither is a stranger when it is another program (neither its executable nor its
// command name is this process's); otherwise, or where holding or having the file open cannot
// be seen (another user's process, a file system without advisory locks), it holds the lock.
// No clocks are looked at. *command receives the process's command name when it can be read,
// *user the name of its user when that is not this process's.
PLockHolder PprocessHolds(long pid, const struct stat& lock, int locked, std::string* command,
                          std::string* user = nullptr);

// The lock file name of a catalogue path: the path without its suffix, then ".lock". False
// when it does not fit len bytes with its terminator.
bool PlockName(char* out, size_t len, const char* dbpath);

// Why a lock was not taken.
struct PLockRefusal {
  PLockVerdict verdict = PLVstale;  // the holder of the lock file found
  int err = 0;          // the system's error when the lock file could not be made or read
  std::string lock;     // the lock file
  std::string line;     // its text, up to its line end
  std::string host;     // the holder's host (PLVforeign)
  long pid = 0;         // the process of this host the lock names (0 when none)
  std::string command;  // its command name, when it could be read
  std::string user;     // its user, when not this process's
  // Why the catalogue is not opened for writing, in the user's words.
  std::string Why() const;
};
