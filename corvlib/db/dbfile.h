// The file behind a database: its path and the calls through which the database writes it and
// its rollback journal ("name-journal" beside it). All file I/O of syncs and journal playback
// goes through DBFileSystem, so that a test can stand in for the system and inject faults.
#pragma once

#include <cstddef>
#include <string>

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

  // The system's own calls.
  static DBFileSystem* System();
};

// A database file: the path the database was opened from and the calls to reach it.
class DBFile {
 public:
  explicit DBFile(std::string path, DBFileSystem* fs = nullptr)
      : path_(std::move(path)), fs_(fs != nullptr ? fs : DBFileSystem::System()) {}

  const std::string& Path() const { return path_; }
  std::string JournalPath() const { return path_ + "-journal"; }
  // The folder holding the file ("." for a bare name).
  std::string Dir() const;
  DBFileSystem* FS() const { return fs_; }
  void SetFS(DBFileSystem* fs) { fs_ = fs != nullptr ? fs : DBFileSystem::System(); }

 private:
  std::string path_;
  DBFileSystem* fs_;
};
