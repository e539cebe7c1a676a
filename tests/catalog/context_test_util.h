// Helpers of the catalogue context tests: a scratch folder, photo records made by hand and
// reading a lock file.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "catalog/pixhaven.h"
#include "catalog/preconcile.h"
#include "testutil/message_log.h"
#include "testutil/temp_dir.h"

namespace ctxtest {

// A fresh folder under /tmp, removed with its files when the object goes.
struct TempDir : testutil::TempDir {
  TempDir() : testutil::TempDir("ctx") {}
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

// A child process that takes the write lock of a catalogue path and holds it until killed.
class LockHolder {
 public:
  explicit LockHolder(const std::string& dbpath) {
    int ready[2];
    if (pipe(ready) != 0) return;
    child = fork();
    if (child == 0) {
      char lock[PContext::kPathLen] = "";
      char ok = PContext::WriteLock(lock, dbpath.c_str()) ? 'y' : 'n';
      if (write(ready[1], &ok, 1) != 1) _exit(2);
      pause();
      _exit(0);
    }
    char ok = 0;
    holds = child > 0 && read(ready[0], &ok, 1) == 1 && ok == 'y';
    close(ready[0]);
    close(ready[1]);
  }
  ~LockHolder() { Kill(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  // Kills the child and reaps it: a zombie would still answer a probe of its id.
  void Kill() {
    if (child <= 0) return;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    child = -1;
  }
  pid_t child = -1;
  bool holds = false;
};

// A context over a fresh catalogue and shadow catalogue in a scratch folder, showing an empty
// folder display.
class ContextFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ctx.ShadowDB(dir.Path("shadow.qdb").c_str()));
    ASSERT_TRUE(ctx.OpenDB(dir.Path("cat.qdb").c_str()));
    ctx.Clear();
    strcpy(ctx.rsrc, "/photos");
  }
  TempDir dir;
  PContext ctx;
};

}  // namespace ctxtest
