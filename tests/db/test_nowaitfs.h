// A file layer for tests whose subject is not durability: every call goes to the system but
// the syncs, which return at once, so a slow disk slows such a test no more than a fast one.
#pragma once

#include <string>

#include "db/dbfile.h"

namespace dbtest {

class NoWaitFS : public DBFileSystem {
 public:
  int Open(const std::string& path, int flags, int mode) override {
    return System()->Open(path, flags, mode);
  }
  void Close(int fd) override { System()->Close(fd); }
  long long Read(int fd, void* buf, size_t n, long long off) override {
    return System()->Read(fd, buf, n, off);
  }
  long long Write(int fd, const void* buf, size_t n, long long off) override {
    return System()->Write(fd, buf, n, off);
  }
  bool Sync(int) override { return true; }
  bool SyncDir(const std::string&) override { return true; }
  bool Truncate(int fd, long long len) override { return System()->Truncate(fd, len); }
  bool Stat(int fd, long long* size, int* mode) override { return System()->Stat(fd, size, mode); }
  bool Remove(const std::string& path) override { return System()->Remove(path); }
  bool Stamp(int fd, DBFileStamp* st) override { return System()->Stamp(fd, st); }
  bool Rename(const std::string& from, const std::string& to) override {
    return System()->Rename(from, to);
  }
  long long FreeSpace(const std::string& dir) override { return System()->FreeSpace(dir); }
  bool Lock(int fd, long long off, LockKind kind) override { return System()->Lock(fd, off, kind); }
  bool Locked(int fd, long long off, LockKind kind) override {
    return System()->Locked(fd, off, kind);
  }
};

}  // namespace dbtest
