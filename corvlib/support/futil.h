// Small platform wrappers: directory test, file modification times, the image-metadata date
// text, and a block allocator for many small, long-lived pieces of memory.
// wallTime() and cpuTime() live with the cache (support/cache.h).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
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
// Every file this program reads by name is opened once, without waiting (a FIFO or a device
// at the name opens at once instead of holding the program until a writer comes), closed on
// exec, and kept only when that descriptor holds a regular file; it is then read through that
// descriptor and never opened by name again.

// The errno left for a name that holds neither a regular file nor a folder (a FIFO, a device,
// a socket); a folder leaves EISDIR.
constexpr int PEnotRegular = ENXIO;
// Opens path with open(2)'s flags (O_RDONLY, O_RDWR, O_CREAT, O_NOFOLLOW ...) and mode, closed
// on exec and without waiting at the open; its status in *st when given. Through the
// descriptor of a regular file reads and writes then wait as usual; any other descriptor
// keeps O_NONBLOCK, so that nothing done with it waits either. -1, errno set.
int PopenNoWait(const char* path, int flags, mode_t mode = 0, struct stat* st = nullptr);
// PopenNoWait that keeps the descriptor only when it holds a regular file: -1 otherwise,
// errno set (EISDIR, PEnotRegular, or the open's own).
int PopenRegular(const char* path, int flags, mode_t mode = 0, struct stat* st = nullptr);
// PopenRegular(path, O_RDONLY, 0, st): the file opened to be read.
int PopenRead(const char* path, struct stat* st = nullptr);
// The file at path opened as PopenRead opens it, as a binary stdio stream; null, errno set.
FILE* PfopenRead(const char* path);
// A binary stdio stream reading the file open at fd (taken: closed with the stream, or at
// once when no stream can be made) at a position of its own: other readers of the same open
// file (descriptors dup'ed from it) neither move it nor are moved by it. Null, errno set.
FILE* PfdopenAt(int fd);
// A second descriptor of the file open at fd (closed on exec), its shared position set to the
// start; -1, errno set.
int PdupRewound(int fd);
// Words for why a file could not be opened to be read, from the errno PopenRegular left: "a
// folder", "not a regular file", or the system's own text.
std::string PopenFailure(int err);

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
