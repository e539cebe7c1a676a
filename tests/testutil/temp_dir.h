// Temporary places for the tests, benchmarks and fuzz targets: a private folder under /tmp that
// goes with everything in it, and a file name in a private folder of its own, so that no other
// run can take the name meanwhile.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

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
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    if (ec) fprintf(stderr, "cannot remove %s: %s\n", dir_.c_str(), ec.message().c_str());
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

// A fresh file name ending in suffix, alone in a private folder under /tmp; the folder goes with
// the object, with the file and whatever was made beside it.
struct TempFile {
  std::string path;
  explicit TempFile(const char* suffix) : dir_("file") { path = dir_.Path("f") + suffix; }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const char* c_str() const { return path.c_str(); }

 private:
  TempDir dir_;
};

}  // namespace testutil
