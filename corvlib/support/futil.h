// Small platform wrappers: directory test, file modification times, the image-metadata date
// text, and a block allocator for many small, long-lived pieces of memory.
// wallTime() and cpuTime() live with the cache (support/cache.h).
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

// 1 for a directory, 0 for anything else that exists, -1 for a null path or an unreadable status.
int isdirectory(const char* path);
// The folder part of a path: all before its last '/', "/" for a name at the root and "." for a
// name without a folder.
std::string PfolderOf(const std::string& path);
// Gives the file or folder at from the name to, never replacing what is at to: -1 with errno
// EEXIST (or ENOTEMPTY) when a name exists there, or comes to exist meanwhile; 0 when renamed.
// The file system's own rename that never replaces; where it has none, a new link and the old
// name's removal (a folder, which takes no second link, then fails with EPERM).
int PrenameNoReplace(const char* from, const char* to);
// Modification time in seconds since the epoch; 0 for a null path or an unreadable status.
time_t getfiletime(const char* path);
// Sets the modification time to t (0 means now) and the access time to now. A t later than
// now is refused with -1; otherwise 0 on success, -1 on failure.
int setfiletime(const char* path, time_t t);

// Length of the date text "YYYY:MM:DD hh:mm:ss" with its NUL.
constexpr size_t CVTDATE_LEN = 20;
// Writes the local time of t into buf (CVTDATE_LEN bytes); null for t = 0 or when the local
// time cannot be formed.
char* cvtdate(char* buf, time_t t);

// Carves n bytes (8-byte aligned) from a shared block; large requests go to the heap.
// Pieces are never returned to the heap.
void* bmalloc(size_t n);
// Gives n bytes at p back to the carving block where possible (the last piece cut is reused
// by the next bmalloc of the same size).
void bfree(void* p, size_t n);
