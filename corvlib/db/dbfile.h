// The file behind a database: its path and the calls through which the database writes it, its
// rollback journal ("name-journal" beside it, made as "name-journal.new") and its index file
// ("name-index"). All file I/O of syncs, journal playback and reads of a database another
// process may be writing goes through DBFileSystem, so that a test can stand in for the system
// and inject faults.
#pragma once

#include <fcntl.h>

#include <cstddef>
#include <string>

// What tells one state of a file from another without reading it: size, modification and
// status-change times in nanoseconds, inode and device. Beside them, and no part of the state
// compared: whose the file is, whether it is a regular file and how many names it has.
struct DBFileStamp {
  long long size = -1;
  long long mtimeNs = 0;
  long long ctimeNs = 0;
  unsigned long long ino = 0;
  unsigned long long dev = 0;
  long long owner = -1;  // the owner's user id; -1 when the layer cannot tell
  bool regular = false;
  long long names = 0;  // hard links
  bool operator==(const DBFileStamp& o) const {
    return size == o.size && mtimeNs == o.mtimeNs && ctimeNs == o.ctimeNs && ino == o.ino &&
           dev == o.dev;
  }
  bool operator!=(const DBFileStamp& o) const { return !(*this == o); }
};

// The file calls a database needs, POSIX-like: handles are small integers, -1 on failure.
class DBFileSystem {
 public:
  virtual ~DBFileSystem() = default;
  // open(2) with flags (O_RDWR, O_CREAT, O_EXCL ...) and mode.
  virtual int Open(const std::string& path, int flags, int mode) = 0;
  virtual void Close(int fd) = 0;
  // pread/pwrite of n bytes at off; the bytes moved, -1 on failure.
  virtual long long Read(int fd, void* buf, size_t n, long long off) = 0;
  virtual long long Write(int fd, const void* buf, size_t n, long long off) = 0;
  // fsync of the file's data.
  virtual bool Sync(int fd) = 0;
  virtual bool Truncate(int fd, long long len) = 0;
  // The file's size and permission bits; false on failure.
  virtual bool Stat(int fd, long long* size, int* mode) = 0;
  virtual bool Remove(const std::string& path) = 0;
  // fsync of a folder, so that files created or removed in it stay so.
  virtual bool SyncDir(const std::string& dir) = 0;
  // The file's stamp (fstat); false when the layer cannot tell, and then no index file is
  // used beside the database, and no journal found beside it is played back or read.
  virtual bool Stamp(int fd, DBFileStamp* st) {
    (void)fd;
    (void)st;
    return false;
  }
  // rename(2): from replaces to in one step.
  virtual bool Rename(const std::string& from, const std::string& to) {
    (void)from;
    (void)to;
    return false;
  }
  // The bytes a writer may still put on the file system holding dir (statvfs); -1 when the
  // layer cannot tell.
  virtual long long FreeSpace(const std::string& dir) {
    (void)dir;
    return -1;
  }

  // Record locks on one byte at off of an open file (beyond its data: a lock changes no byte).
  // They belong to the open file, not to the process: two opens of one file in one process
  // exclude each other, and closing one open never drops the locks of another. A layer
  // without locks grants every lock and reports none held (one process at a time).
  enum LockKind { kUnlock, kShared, kExclusive };
  // Takes, changes or drops the lock without waiting; false when another open holds a
  // conflicting one (an exclusive lock needs a file opened for writing).
  virtual bool Lock(int fd, long long off, LockKind kind) {
    (void)fd;
    (void)off;
    (void)kind;
    return true;
  }
  // Whether another open holds a lock on the byte that kind would conflict with; works on a
  // file opened for reading only.
  virtual bool Locked(int fd, long long off, LockKind kind) {
    (void)fd;
    (void)off;
    (void)kind;
    return false;
  }

  // The system's own calls.
  static DBFileSystem* System();
};

// A user as a message names them: "user 'nobody'", or "user 65534" where the user has no name.
std::string DBUserNamed(long long uid);

// How a file beside a database (its journal, its index file) is opened to be read. Whoever may
// write the folder may have put anything at those names: it is never reached through a link,
// and a FIFO opens at once instead of waiting for a writer that never comes.
constexpr int kDBReadBeside = O_RDONLY | O_NOFOLLOW | O_NONBLOCK;

// A database file: the path the database was opened from and the calls to reach it.
class DBFile {
 public:
  explicit DBFile(std::string path, DBFileSystem* fs = nullptr)
      : path_(std::move(path)), fs_(fs != nullptr ? fs : DBFileSystem::System()) {}

  const std::string& Path() const { return path_; }
  std::string JournalPath() const { return path_ + "-journal"; }
  // The name a new journal is written under before it takes its own name whole.
  std::string JournalTempPath() const { return path_ + "-journal.new"; }
  // The index file derived from the database ("name-index"), and the name a new one is
  // written under before it replaces the old.
  std::string IndexPath() const { return path_ + "-index"; }
  std::string IndexTempPath() const { return path_ + "-index.tmp"; }
  // The folder holding the file ("." for a bare name).
  std::string Dir() const;
  DBFileSystem* FS() const { return fs_; }
  // Makes a new file under the temporary name path beside the database and opens it with flags
  // (O_RDWR or O_WRONLY) and mode: created exclusively and never through a link, so that it is
  // this process's own and no other file is written through it. What the user left at the name
  // (a crash's file) is removed first, never written. What another user left there is theirs,
  // and in a folder where only its owner may remove it (sticky, as /tmp is) it would block every
  // writer: it stays, and the file takes a name of this writer's own beside it, path, '.', the
  // process id, '-' and six random letters or digits. The name taken goes to *made; -1, errno
  // set, when none can be had.
  int CreateNew(const std::string& path, int flags, int mode, std::string* made) const;
  // Removes the files of the writer's own names (CreateNew) beside the database that writers
  // which no longer run left: the user's own regular files, whose process is gone from this
  // machine. Another user's, and a live process's, stay. How many were removed.
  int RemoveLeftovers() const;
  void SetFS(DBFileSystem* fs) { fs_ = fs != nullptr ? fs : DBFileSystem::System(); }

 private:
  std::string path_;
  DBFileSystem* fs_;
};
