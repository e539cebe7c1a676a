// Helpers of the record exchange tests: the interface with the standard readers, a folder of
// its own, pictures of a known size, photo records of files, and outside programs.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/export/ptrader.h"
#include "apptest.h"
#include "catalog/pcontext.h"
#include "catalog/pfileinfo.h"
#include "formats/stdformats.h"
#include "testutil/message_log.h"
#include "testutil/rgb_jpeg.h"

// A fresh folder in memory (/dev/shm) where there is one, else under /tmp, removed with its
// contents: the commands sync every file they write, which a busy disk makes slow.
class MemDir {
 public:
  MemDir() {
    std::string t =
        std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/lumerin_export_XXXXXX";
    dir_ = mkdtemp(&t[0]) != nullptr ? t : "";
  }
  ~MemDir() {
    if (!dir_.empty()) QDir(QString::fromStdString(dir_)).removeRecursively();
  }
  const std::string& Dir() const { return dir_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

class ExportTest : public ::testing::Test {
 protected:
  TempHome home;
  AppInterface app;
  MemDir dir;
  MessageLog log;
  PContext& bc = gMain->bc;

  void SetUp() override {
    ASSERT_EQ(app.status, 0);
    PloadStandardReaders();
    bc.ClearRecords();
    bc.rsrc[0] = '\0';
    bc.album[0] = '\0';
  }
  std::string Path(const std::string& name) const { return dir.Path(name); }
  // As a command starts: earlier problems are no longer news (the status line would blink
  // them).
  static void NewCommand() { dmessage_last_class = DMCnerr; }
};

// A w x h JPEG of a smooth colour ramp at quality q.
inline std::string MakeJpeg(const std::string& path, int w, int h, int q = 90) {
  std::vector<unsigned char> px(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      unsigned char* p = &px[(static_cast<size_t>(y) * w + x) * 3];
      p[0] = static_cast<unsigned char>(255 * x / std::max(1, w - 1));
      p[1] = static_cast<unsigned char>(255 * y / std::max(1, h - 1));
      p[2] = static_cast<unsigned char>((x + y) & 255);
    }
  WriteRgbJpeg(path, w, h, px.data(), q);
  return path;
}

// A photo record of an image file, as folder loading makes it.
inline DBRecord RecordOf(const std::string& path) {
  DBRecord r;
  PgrokFile(&r, path.c_str());
  return r;
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Runs a program with its arguments; its standard output, and its exit status in *status (-1
// when it could not run).
inline std::string RunTool(const QString& program, const QStringList& args, int* status = nullptr) {
  QProcess p;
  p.start(program, args);
  const bool ok = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit;
  if (status) *status = ok ? p.exitCode() : -1;
  if (!ok || p.exitCode() != 0) std::cerr << p.readAllStandardError().toStdString();
  return p.readAllStandardOutput().toStdString();
}

inline bool HaveProgram(const char* name) {
  return !QStandardPaths::findExecutable(name).isEmpty();
}

// The text of a photo field of a record, "" when unset.
inline std::string Text(const DBRecord& r, PDBFieldID f, int i = 0) {
  const DBField& fd = PDBgetField(r, f);
  return fd.GetNV() > i ? fd.GetString(i) : "";
}
