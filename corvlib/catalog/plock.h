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
  PLHself = 3,      // the taker itself, which does not hold it (a lock left under its number)
  PLHended = 4,     // a process that has ended and waits to be reaped: it holds nothing
};

// Judges the bytes read from a lock file (at most 256 are looked at, and of them the first line
// only, without its line feed, or carriage return and line feed) for a taker on host. holds(pid,
// arg) tells what process pid of this host has to do with the lock.
PLockVerdict PjudgeLock(const char* text, size_t len, const char* host,
                        PLockHolder (*holds)(long pid, void* arg), void* arg);

// What process pid of this host has to do with the lock file whose status (of the file itself,
// never of a link's target) is lock; locked is what the kernel says of the file's advisory
// lock (1 held, 0 not, -1 the file system cannot tell). A lock the kernel holds, or a process
// that has the file open (known here by its device and inode; a taker also knows it, and the
// catalogue it guards, by the names they were opened by), is the holder's, whatever its name,
// user or age. The taker itself holds only the locks it took; a process that has ended (a
// zombie) holds none. A live process that does neither is a stranger when it is another
// program (neither its executable nor its command name is this process's); otherwise, or where
// holding or having the file open cannot be seen (another user's process, a file system without
// advisory locks), it holds the lock. No clocks are looked at. *command receives the process's
// command name when it can be read, *user the name of its user when that is not this process's.
PLockHolder PprocessHolds(long pid, const struct stat& lock, int locked, std::string* command,
                          std::string* user = nullptr);

// The lock file name of a catalogue path: the path without its suffix, then ".lock". False
// when it does not fit len bytes with its terminator.
bool PlockName(char* out, size_t len, const char* dbpath);

// Why a lock was not taken.
struct PLockRefusal {
  PLockVerdict verdict = PLVstale;  // the holder of the lock file found
  int err = 0;              // the system's error when the lock file could not be made, read or
                            // (a stale one) removed
  std::string lock;         // the lock file
  std::string line;         // its text, up to its line end
  std::string host;         // the holder's host (PLVforeign)
  long pid = 0;             // the process of this host the lock names (0 when none)
  std::string command;      // its command name, when it could be read
  std::string user;         // its user, when not this process's
  bool unseen = false;      // it is taken to hold the lock because its open files cannot be seen
  std::string stale;        // why the lock standing there holds none, when it could not be removed
  bool unreadable = false;  // the lock file standing there cannot be read by this user
  std::string owner;        // then, or when stale, the user the lock file belongs to, when not this
                            // process's
  bool fileHeld = false;    // the catalogue file itself is held for writing (PclaimFile)
  std::string through;      // then the name the holder opened it by, when that could be seen
  // Why the catalogue is not opened for writing, in the user's words; text from the lock file
  // or another process is shown with its control bytes replaced.
  std::string Why() const;
};

// The byte of a catalogue file that its writer holds an advisory lock on, beside the lock file:
// the lock goes with the file whatever name reaches it (a hard link, another mount). It lies
// beyond any data and apart from the bytes the database's journal locks (db/dbjournal.h).
constexpr long long PwriterByte = (1LL << 62) + 16;
// Claims the catalogue file open for reading and writing as fd for its one writer: an advisory
// lock of the kernel on PwriterByte, held by that open file until it is closed. True when
// claimed, or when the file system keeps no advisory locks (the lock file alone guards it
// then); false when another open holds it, and *refusal (if given) tells who, where that can
// be seen. path names the file in the log.
bool PclaimFile(int fd, const char* path, PLockRefusal* refusal = nullptr);
