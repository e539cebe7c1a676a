// A file layer for database tests that passes calls through to the system while keeping, for
// every file it watches, what a power loss would leave: the content as of the file's last
// fsync and its name as of the folder's last fsync (a rename counts as a change of both
// names; the content made durable under the old name goes with the file). It can fail one
// call, run a hook before a given write, or stop the machine
// at a call: that call and every later one fail, and the files are then laid out as the disk
// might hold them afterwards (of each 4 KiB page written since the last fsync, a random subset
// lands, one torn at a random byte).
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>

#include "db/dbfile.h"
#include "db/dbjournal.h"

namespace dbtest {

class FaultFS : public DBFileSystem {
 public:
  explicit FaultFS(uint32_t seed) : rng_(seed) {}
  // Watching a database, its journal and its index file.
  FaultFS(uint32_t seed, const std::string& db) : rng_(seed) {
    for (const char* suffix : {"", "-journal", "-journal.new", "-index", "-index.tmp"})
      Watch(db + suffix);
  }

  // Takes path's present state as durable (it was synced before).
  void Watch(const std::string& path) {
    State& s = files_[path];
    s.durableExists = ReadFile(path, &s.durable);
  }
  // The call (counted over writes, fsyncs, truncations, removals and renames) at which the
  // machine stops, or that fails once; 0 for none.
  long long stopAt = 0;
  long long failAt = 0;
  // From this call on (0: never), every call fails (a disk gone bad).
  long long failFrom = 0;
  // From this call on (0: never), the disk is full: a pwrite that would grow its file fails
  // (writing over bytes the file has needs no room).
  long long fullFrom = 0;
  // The errno of a call failed on purpose (a stop leaves EIO).
  int failErrno = ENOSPC;
  // Opens of watched files for writing fail.
  bool refuseWrite = false;
  // Runs before the hookAt-th pwrite into the file at hookPath, for a test that pauses the
  // writer there.
  std::string hookPath;
  long long hookAt = 0;
  std::function<void()> hook;
  long long Calls() const { return calls_; }
  bool Stopped() const { return stopped_; }

  // Lays the watched files out as the stop left them (call after the database is gone). A
  // file that the stop leaves as it is keeps its times.
  void ApplyStop() {
    for (auto& f : images_) {
      if (!f.second.exists) {
        unlink(f.first.c_str());
        continue;
      }
      std::string now;
      if (ReadFile(f.first, &now) && now == f.second.bytes) continue;
      std::ofstream out(f.first, std::ios::binary | std::ios::trunc);
      out.write(f.second.bytes.data(), static_cast<std::streamsize>(f.second.bytes.size()));
    }
  }

  int Open(const std::string& path, int flags, int mode) override {
    if (stopped_) return -1;
    if (refuseWrite && (flags & O_ACCMODE) != O_RDONLY && files_.count(path) != 0) return -1;
    int fd = System()->Open(path, flags, mode);
    if (fd >= 0) paths_[fd] = path;
    return fd;
  }
  void Close(int fd) override {
    paths_.erase(fd);
    System()->Close(fd);
  }
  long long Read(int fd, void* buf, size_t n, long long off) override {
    return stopped_ ? -1 : System()->Read(fd, buf, n, off);
  }
  long long Write(int fd, const void* buf, size_t n, long long off) override {
    auto p = paths_.find(fd);
    if (p != paths_.end() && ++writesTo_[p->second] == hookAt && p->second == hookPath && hook)
      hook();
    if (!Call()) return -1;
    struct stat st;
    if (fullFrom > 0 && calls_ >= fullFrom &&
        (fstat(fd, &st) != 0 || off + static_cast<long long>(n) > st.st_size)) {
      errno = ENOSPC;
      return -1;
    }
    return System()->Write(fd, buf, n, off);
  }
  bool Sync(int fd) override {
    if (!Call() || !System()->Sync(fd)) return false;
    auto p = paths_.find(fd);
    if (p != paths_.end() && files_.count(p->second) != 0) {
      State& s = files_[p->second];
      std::string now;
      ReadFile(p->second, &now);
      s.durable = now;
    }
    return true;
  }
  bool Truncate(int fd, long long len) override { return Call() && System()->Truncate(fd, len); }
  bool Stat(int fd, long long* size, int* mode) override {
    return !stopped_ && System()->Stat(fd, size, mode);
  }
  bool Remove(const std::string& path) override { return Call() && System()->Remove(path); }
  bool Stamp(int fd, DBFileStamp* st) override { return !stopped_ && System()->Stamp(fd, st); }
  // The new name, like a removal, is durable only after the folder's fsync.
  bool Rename(const std::string& from, const std::string& to) override {
    if (!Call() || !System()->Rename(from, to)) return false;
    auto f = files_.find(from);
    if (f != files_.end()) {
      files_[to].durable = f->second.durable;
      f->second.durable.clear();
    }
    for (auto& p : paths_)
      if (p.second == from) p.second = to;
    return true;
  }
  bool Lock(int fd, long long off, LockKind kind) override { return System()->Lock(fd, off, kind); }
  bool Locked(int fd, long long off, LockKind kind) override {
    return System()->Locked(fd, off, kind);
  }
  // The pwrites into the file at path so far.
  long long WritesTo(const std::string& path) const {
    auto w = writesTo_.find(path);
    return w != writesTo_.end() ? w->second : 0;
  }
  bool SyncDir(const std::string& dir) override {
    if (!Call() || !System()->SyncDir(dir)) return false;
    for (auto& f : files_) {
      std::string now;
      f.second.durableExists = ReadFile(f.first, &now);
      if (!f.second.durableExists) f.second.durable.clear();
    }
    return true;
  }

 private:
  struct State {
    std::string durable;  // content as of the last fsync
    bool durableExists = false;
  };
  struct Image {
    bool exists;
    std::string bytes;
  };

  static bool ReadFile(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
  }
  bool Coin() { return (rng_() & 1) != 0; }

  bool Call() {
    if (stopped_) return false;
    ++calls_;
    if (calls_ == stopAt) {
      Stop();
      errno = EIO;
      return false;
    }
    if (calls_ != failAt && (failFrom == 0 || calls_ < failFrom)) return true;
    errno = failErrno;
    return false;
  }

  void Stop() {
    stopped_ = true;
    for (auto& f : files_) {
      const State& s = f.second;
      std::string now;
      bool existsNow = ReadFile(f.first, &now);
      Image img;
      // A name created or removed since the folder's last fsync may or may not be there.
      img.exists = existsNow == s.durableExists ? existsNow : Coin();
      if (img.exists && !existsNow) {
        img.bytes = s.durable;
      } else if (img.exists) {
        // The length is the old or the new one; each page written since the last fsync lands
        // or not, and one landed page may be torn.
        const std::string& old = s.durable;
        size_t len = Coin() ? now.size() : old.size();
        img.bytes.assign(len, '\0');
        for (size_t i = 0; i < len && i < old.size(); i++) img.bytes[i] = old[i];
        bool torn = false;
        for (size_t page = 0; page < len; page += 4096) {
          size_t end = page + 4096 < len ? page + 4096 : len;
          bool differs = false;
          for (size_t i = page; i < end && !differs; i++)
            differs = (i < now.size() ? now[i] : '\0') != (i < old.size() ? old[i] : '\0');
          if (!differs || !Coin()) continue;
          size_t cut = end;
          if (!torn && (rng_() % 4) == 0) {
            torn = true;
            cut = page + rng_() % (end - page);
          }
          for (size_t i = page; i < cut; i++) img.bytes[i] = i < now.size() ? now[i] : '\0';
        }
      }
      images_[f.first] = img;
    }
  }

  std::mt19937 rng_;
  std::map<std::string, State> files_;
  std::map<int, std::string> paths_;
  std::map<std::string, Image> images_;
  long long calls_ = 0;
  std::map<std::string, long long> writesTo_;
  bool stopped_ = false;
};

// The system's file calls for a disk that can be taken away, as a card is pulled or a user-space
// file system's server ends: once gone, every call fails with ENOTCONN ("Transport endpoint is
// not connected"), reads and looks at a file's size as much as writes; closing still works.
class GoneDisk : public DBFileSystem {
 public:
  bool gone = false;
  int Open(const std::string& path, int flags, int mode) override {
    return gone ? Refuse() : System()->Open(path, flags, mode);
  }
  void Close(int fd) override { System()->Close(fd); }
  long long Read(int fd, void* buf, size_t n, long long off) override {
    return gone ? Refuse() : System()->Read(fd, buf, n, off);
  }
  long long Write(int fd, const void* buf, size_t n, long long off) override {
    return gone ? Refuse() : System()->Write(fd, buf, n, off);
  }
  bool Sync(int fd) override { return gone ? Refuse() >= 0 : System()->Sync(fd); }
  bool Truncate(int fd, long long len) override {
    return gone ? Refuse() >= 0 : System()->Truncate(fd, len);
  }
  bool Stat(int fd, long long* size, int* mode) override {
    return gone ? Refuse() >= 0 : System()->Stat(fd, size, mode);
  }
  bool Remove(const std::string& path) override {
    return gone ? Refuse() >= 0 : System()->Remove(path);
  }
  bool SyncDir(const std::string& dir) override {
    return gone ? Refuse() >= 0 : System()->SyncDir(dir);
  }
  bool Stamp(int fd, DBFileStamp* st) override {
    return gone ? Refuse() >= 0 : System()->Stamp(fd, st);
  }
  bool Rename(const std::string& from, const std::string& to) override {
    return gone ? Refuse() >= 0 : System()->Rename(from, to);
  }
  long long FreeSpace(const std::string& dir) override {
    return gone ? Refuse() : System()->FreeSpace(dir);
  }
  bool Lock(int fd, long long off, LockKind kind) override {
    return gone ? Refuse() >= 0 : System()->Lock(fd, off, kind);
  }
  bool Locked(int fd, long long off, LockKind kind) override {
    return gone ? Refuse() >= 0 : System()->Locked(fd, off, kind);
  }

 private:
  static int Refuse() {
    errno = ENOTCONN;
    return -1;
  }
};

// A writer in a child process: work runs there over a FaultFS watching db, and is held before
// its at-th pwrite into the file at path until Resume, which lets it go on and reaps it.
class HeldWriter {
 public:
  HeldWriter(const std::string& db, const std::string& path, long long at,
             const std::function<bool(FaultFS*)>& work) {
    int up[2], down[2];
    if (pipe(up) != 0) return;
    if (pipe(down) != 0) {
      close(up[0]);
      close(up[1]);
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      close(up[0]);
      close(down[1]);
      FaultFS fault(1, db);
      fault.hookPath = path;
      fault.hookAt = at;
      fault.hook = [&] {
        char c = 'h';
        if (write(up[1], &c, 1) != 1 || read(down[0], &c, 1) != 1) _exit(3);
      };
      _exit(work(&fault) ? 0 : 1);
    }
    close(up[1]);
    close(down[0]);
    resume_ = down[1];
    char c;
    held_ = pid_ > 0 && read(up[0], &c, 1) == 1;
    close(up[0]);
  }
  ~HeldWriter() { Resume(); }
  HeldWriter(const HeldWriter&) = delete;
  HeldWriter& operator=(const HeldWriter&) = delete;

  bool Held() const { return held_; }
  // The child's exit status: 0 when work returned true.
  int Resume() {
    if (resume_ >= 0) {
      if (write(resume_, "g", 1) != 1) {
      }
      close(resume_);
      resume_ = -1;
    }
    if (pid_ > 0) {
      int status = 0;
      waitpid(pid_, &status, 0);
      pid_ = -1;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    }
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int resume_ = -1;
  bool held_ = false;
  int status_ = -1;
};

// Another copy of the program, in a process of its own, stopped while it holds a lock of a
// database file until let go: a reader in the middle of its read (its share of the write lock),
// or a writer between its locks and its journal (the intent lock, which sends readers around a
// journal that is not there yet). Should nobody let it go, it goes on by itself after atMost
// seconds (a minute unless given), so that a test that never does fails instead of hanging.
class StoppedCopy {
 public:
  enum Kind { reader, writer };
  explicit StoppedCopy(const std::string& path, Kind kind = reader, double atMost = 60) {
    int held[2], go[2];
    if (pipe2(held, O_CLOEXEC) != 0) return;
    if (pipe2(go, O_CLOEXEC) != 0) {
      close(held[0]);
      close(held[1]);
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      // Only calls a child of a process with threads may make.
      for (int fd = 3; fd < 1024; fd++)
        if (fd != held[1] && fd != go[0]) close(fd);
      struct flock fl;
      memset(&fl, 0, sizeof fl);
      fl.l_type = kind == reader ? F_RDLCK : F_WRLCK;
      fl.l_whence = SEEK_SET;
      fl.l_start = kind == reader ? DBJournal::kWriteByte : DBJournal::kIntentByte;
      fl.l_len = 1;
      const int fd = open(path.c_str(), (kind == reader ? O_RDONLY : O_RDWR) | O_CLOEXEC);
      const char said = fd >= 0 && fcntl(fd, F_OFD_SETLK, &fl) == 0 ? 'h' : 'n';
      if (write(held[1], &said, 1) != 1) _exit(2);
      struct pollfd letGo = {go[0], POLLIN, 0};
      while (poll(&letGo, 1, static_cast<int>(atMost * 1000)) < 0 && errno == EINTR) {
      }
      _exit(0);
    }
    close(held[1]);
    close(go[0]);
    letGo_ = go[1];
    char c = 0;
    holding = pid_ > 0 && read(held[0], &c, 1) == 1 && c == 'h';
    close(held[0]);
  }
  ~StoppedCopy() { LetGo(); }
  StoppedCopy(const StoppedCopy&) = delete;
  StoppedCopy& operator=(const StoppedCopy&) = delete;
  // The copy goes on and ends, its lock with it.
  void LetGo() {
    if (letGo_ >= 0) close(letGo_);
    letGo_ = -1;
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
    holding = false;
  }
  bool holding = false;

 private:
  pid_t pid_ = -1;
  int letGo_ = -1;
};

}  // namespace dbtest
