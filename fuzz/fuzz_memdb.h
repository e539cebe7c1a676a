// What the database fuzz targets share: a quiet message hook, files held in memory, and a
// small database of two blocks made once.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "db/dbase.h"
#include "support/dmessage.h"

namespace fuzzdb {

inline uint32_t Quiet(unsigned, const char*, const char*, int) {
  return DMAlog | DMAstderr | DMAalert | DMAexit | DMAabort;
}

// Files in memory.
class MemFS : public DBFileSystem {
 public:
  std::map<std::string, std::string> files;

  int Open(const std::string& path, int flags, int) override {
    auto f = files.find(path);
    if (f == files.end()) {
      if (!(flags & O_CREAT)) return -1;
      files[path];
    } else if (flags & O_EXCL) {
      return -1;
    }
    fds_[next_] = path;
    return next_++;
  }
  void Close(int fd) override { fds_.erase(fd); }
  long long Read(int fd, void* buf, size_t n, long long off) override {
    std::string* f = File(fd);
    if (f == nullptr || off < 0) return -1;
    if (static_cast<size_t>(off) >= f->size()) return 0;
    size_t k = std::min(n, f->size() - static_cast<size_t>(off));
    memcpy(buf, f->data() + off, k);
    return static_cast<long long>(k);
  }
  long long Write(int fd, const void* buf, size_t n, long long off) override {
    std::string* f = File(fd);
    if (f == nullptr || off < 0 || off > (1LL << 21)) return -1;
    if (f->size() < static_cast<size_t>(off) + n) f->resize(static_cast<size_t>(off) + n);
    memcpy(&(*f)[static_cast<size_t>(off)], buf, n);
    return static_cast<long long>(n);
  }
  bool Sync(int fd) override { return File(fd) != nullptr; }
  bool Truncate(int fd, long long len) override {
    std::string* f = File(fd);
    if (f == nullptr || len < 0 || len > (1LL << 21)) return false;
    f->resize(static_cast<size_t>(len));
    return true;
  }
  bool Stat(int fd, long long* size, int* mode) override {
    std::string* f = File(fd);
    if (f == nullptr) return false;
    *size = static_cast<long long>(f->size());
    *mode = 0644;
    return true;
  }
  bool Remove(const std::string& path) override { return files.erase(path) > 0; }
  bool SyncDir(const std::string&) override { return true; }
  // Every file has the same times and identity (the user's own, one regular file of one name):
  // only its size tells states apart.
  bool Stamp(int fd, DBFileStamp* st) override {
    std::string* f = File(fd);
    if (f == nullptr) return false;
    st->size = static_cast<long long>(f->size());
    st->mtimeNs = st->ctimeNs = 1000;
    st->ino = st->dev = 1;
    st->owner = static_cast<long long>(geteuid());
    st->regular = true;
    st->names = 1;
    return true;
  }
  bool Rename(const std::string& from, const std::string& to) override {
    auto f = files.find(from);
    if (f == files.end()) return false;
    files[to] = f->second;
    files.erase(from);
    return true;
  }

 private:
  std::string* File(int fd) {
    auto p = fds_.find(fd);
    if (p == fds_.end()) return nullptr;
    auto f = files.find(p->second);
    return f == files.end() ? nullptr : &f->second;
  }
  std::map<int, std::string> fds_;
  int next_ = 3;
};

// A database of two blocks of small records, made once.
inline const std::string& BaseFile() {
  static std::string bytes = [] {
    std::stringstream ss(std::ios::in | std::ios::out | std::ios::binary);
    DBHeader h;
    {
      DBAccess db(&h, &ss, false);
      h.Field("Name", DBDTstring, "Name", DBFDhashkey);
      h.Field("Size", DBDTint, "Size", DBFDhashkey);
      h.Field("Tags", DBDTstring, "Tags", DBFDmulti);
      std::vector<DBRecord> recs(3000);
      for (int i = 0; i < 3000; i++) {
        recs[i].Init(&h);
        recs[i].SetField(0, ("photo " + std::to_string(i)).c_str());
        recs[i].SetField(1, static_cast<long>(i * 7));
        const char* tags[2] = {"a", i % 2 ? "b" : "c"};
        recs[i].SetField(2, tags, 2);
      }
      db.AddRecords(recs.data(), 3000);
      db.Close();
    }
    h.Attach(nullptr, true);
    return ss.str();
  }();
  return bytes;
}

}  // namespace fuzzdb
