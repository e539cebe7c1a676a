// Temporary places for the tests, benchmarks and fuzz targets: a private folder under /tmp that
// goes with everything in it, and a file name that goes with its file.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace testutil {

// A fresh folder under /tmp, removed with its contents when the object goes.
class TempDir {
 public:
  explicit TempDir(const char* tag = "test") {
    std::string t = std::string("/tmp/lumerin_") + tag + "_XXXXXX";
    made_ = mkdtemp(&t[0]) != nullptr;
    dir_ = made_ ? t : "/tmp";
  }
  ~TempDir() {
    if (!made_) return;
    const std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", dir_.c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder ("/tmp" when none could be made, so that paths stay usable).
  const std::string& Dir() const { return dir_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  bool made_ = false;
  std::string dir_;
};

// A fresh file name under /tmp ending in suffix; the file, if any, is removed with the object.
struct TempFile {
  std::string path;
  explicit TempFile(const char* suffix) {
    char tmpl[] = "/tmp/lumerinXXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd >= 0) close(fd);
    remove(tmpl);
    path = std::string(tmpl) + suffix;
  }
  ~TempFile() { remove(path.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const char* c_str() const { return path.c_str(); }
};

}  // namespace testutil
