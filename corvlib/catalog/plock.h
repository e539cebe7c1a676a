// Judging a catalogue lock file: the one-line text "Catalog write lock held by process <pid>"
// followed by " on <host>" and a line feed. PContext::WriteLock takes and releases the locks.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

enum PLockVerdict {
  PLVstale = 0,    // no holder: empty or unparsable text, or a process of this host that is
                   // gone or started after the lock was written (its id was reused)
  PLVheld = 1,     // a live process of this host
  PLVunknown = 2,  // the holder cannot be judged (a negative or impossible process id)
  PLVforeign = 3,  // a process of another host, which cannot be checked from here
};

// Judges the bytes read from a lock file (at most 256 are looked at; a final line feed is
// dropped) written at the time written (seconds since 1970), for a taker on host.
// holds(pid, written) tells whether a process of this host could hold such a lock.
PLockVerdict PjudgeLock(const char* text, size_t len, const char* host, time_t written,
                        bool (*holds)(long pid, time_t written));

// Whether process pid of this host exists (a probe that is refused still proves it) and did
// not start after written, give or take a few seconds: a later one cannot have written it.
bool PprocessHolds(long pid, time_t written);

// When process pid started, in seconds since 1970, from the process table; -1 when it cannot
// be told.
long long PprocessStart(long pid);

// The lock file name of a catalogue path: the path without its suffix, then ".lock". False
// when it does not fit len bytes with its terminator.
bool PlockName(char* out, size_t len, const char* dbpath);

// Why a lock was not taken.
struct PLockRefusal {
  PLockVerdict verdict = PLVstale;  // the holder of the lock file found
  int err = 0;       // the system's error when the lock file could not be made or read
  std::string lock;  // the lock file
  std::string line;  // its text, up to its line feed
  std::string host;  // the holder's host (PLVforeign)
  // Why the catalogue is not opened for writing, in the user's words.
  std::string Why() const;
};
