// Helpers of the catalogue context tests: a scratch folder, photo records made by hand and
// reading a lock file.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "catalog/pixhaven.h"
#include "catalog/preconcile.h"
#include "testutil/message_log.h"

namespace ctxtest {

// A fresh folder under /tmp, removed with its files when the object goes.
class TempDir {
 public:
  TempDir() {
    char buf[] = "/tmp/lumerin_ctx_XXXXXX";
    const char* p = mkdtemp(buf);
    path = p != nullptr ? p : "/tmp";
  }
  ~TempDir() {
    if (path != "/tmp") {
      std::string cmd = "rm -rf '" + path + "'";
      if (system(cmd.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", path.c_str());
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  unlink(path.c_str());
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

inline bool Exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// A complete photo record of the photo schema: every required field set.
inline DBRecord Photo(const char* file, long nbytes, long hash, const char* subject = "Subj",
                      const char* folder = "/photos") {
  DBRecord r(&PDBFInfo);
  r.SetField(PDBFfile, file);
  r.SetField(PDBFlocation, folder);
  r.SetField(PDBFnbytes, nbytes);
  r.SetField(PDBFhashval, hash);
  if (subject != nullptr) r.SetField(PDBFsubject, subject);
  r.SetField(PDBFxsize, 640L);
  r.SetField(PDBFysize, 480L);
  return r;
}

// Appends a copy of r to the display.
inline void Show(PContextState* ctx, const DBRecord& r) {
  const int k = ctx->rdisp.GetSize();
  ctx->rdisp.Resize(k + 1);
  ctx->rdisp[k] = r;
}

}  // namespace ctxtest
