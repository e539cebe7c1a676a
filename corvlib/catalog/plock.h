// Judging a catalogue lock file: the one-line text "Catalog write lock held by process <pid>"
// followed by " on <host>" and a line feed. PContext::WriteLock takes and releases the locks.
#pragma once

#include <cstddef>

enum PLockVerdict {
  PLVstale = 0,    // no holder (empty or unparsable text) or a dead process on this host
  PLVheld = 1,     // a live process on this host, or any process on another host
  PLVunknown = 2,  // the holder cannot be judged (a negative or impossible process id)
};

// Judges the bytes read from a lock file (at most 256 are looked at; a final line feed is
// dropped) for a taker on host. alive(pid) tells whether a process of this host exists.
PLockVerdict PjudgeLock(const char* text, size_t len, const char* host, bool (*alive)(long pid));

// Whether process pid exists on this host (a probe that is refused still proves it exists).
bool PprocessAlive(long pid);

// The lock file name of a catalogue path: the path without its suffix, then ".lock". False
// when it does not fit len bytes with its terminator.
bool PlockName(char* out, size_t len, const char* dbpath);

// The system's error number that made the last PContext::WriteLock fail without a holder: the
// lock file could not be made (a folder that cannot be written, a full disk), a stale one could
// not be removed, or an existing one could not be read. 0 after a success, and when the lock is
// held by a live program.
int PlockError();
