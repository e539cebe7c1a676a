// Judging a catalogue lock file: the one-line text "Catalog write lock held by process <pid>"
// followed by " on <host>" and a line feed. PContext::WriteLock takes and releases the locks.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

enum PLockVerdict {
  PLVstale = 0,    // no holder: empty or unparsable text, a symbolic link, or a process of
                   // this host that is gone, of another program, or a copy of this one that
                   // started after the lock was made (its id was given again)
  PLVheld = 1,     // a live process of this host
  PLVunknown = 2,  // the holder cannot be judged (a negative or impossible process id)
  PLVforeign = 3,  // a process of another host, which cannot be checked from here
};

// What a process of this host has to do with a lock file that names it.
enum PLockHolder {
  PLHholds = 0,     // it holds the lock, or that cannot be ruled out
  PLHgone = 1,      // there is no such process
  PLHstranger = 2,  // a live process of another program
  PLHlater = 3,     // a live copy of this program that does not have the lock open and started
                    // after the lock was made
};

// Judges the bytes read from a lock file (at most 256 are looked at; a final line feed, or
// carriage return and line feed, is dropped) for a taker on host. holds(pid, arg) tells what
// process pid of this host has to do with the lock.
PLockVerdict PjudgeLock(const char* text, size_t len, const char* host,
                        PLockHolder (*holds)(long pid, void* arg), void* arg);

// What process pid of this host has to do with the lock file at path, whose status (of the
// file itself, never of a link's target) is lock. No clocks are compared: a process that is
// not this program (neither its executable nor its command name is this process's) holds
// nothing; a copy of this program holds the lock when it has the lock file open (a holder keeps
// it open), or else unless it started after the lock's inode last changed, the lock's age
// taken on the file system's clock (against a file made beside it now) and the process's on
// the system's. What cannot be told counts as holding. *command receives the process's
// command name when it can be read.
PLockHolder PprocessHolds(long pid, const char* path, const struct stat& lock,
                          std::string* command);

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
  // Why the catalogue is not opened for writing, in the user's words.
  std::string Why() const;
};
