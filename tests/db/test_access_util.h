// Helpers of the database tests: message capture, temporary files, test databases over a file
// or in memory, the outside file checker and a photo-like schema.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "db/dbase.h"
#include "support/dmessage.h"
#include "testutil/message_log.h"
#include "testutil/checker.h"

namespace dbtest {

using Messages = ::MessageLog;

inline bool Exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// A temporary file name, removed when the object goes.
class TempFile {
 public:
  explicit TempFile(const char* tag) {
    char buf[256];
    snprintf(buf, sizeof(buf), "/tmp/lumerin_db_%s_%d_XXXXXX", tag, static_cast<int>(getpid()));
    int fd = mkstemp(buf);
    if (fd >= 0) close(fd);
    path = buf;
  }
  // The file goes with a journal and an index file a test may have left beside it.
  ~TempFile() {
    for (const char* suffix : {"", "-journal", "-journal.new", "-index", "-index.tmp"})
      unlink((path + suffix).c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  long long Size() const {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
  }
  std::string Bytes() const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  void Write(const std::string& bytes) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  std::string path;
};

// Opens path for reading and writing (the file must exist).
inline std::fstream* OpenStream(const std::string& path) {
  return new std::fstream(path, std::ios::in | std::ios::out | std::ios::binary);
}

// A database over a file of its own: header, stream, the file (its syncs through a journal)
// and first page. Shut closes it (the stream goes before the header); Open opens the file
// again.
class FileDB {
 public:
  explicit FileDB(const std::string& path, bool readonly = false, DBFileSystem* sys = nullptr)
      : file(path, sys), path_(path) {
    Open(readonly);
  }
  ~FileDB() { Shut(); }
  FileDB(const FileDB&) = delete;
  FileDB& operator=(const FileDB&) = delete;

  void Open(bool readonly = false) {
    fs.reset(OpenStream(path_));
    db.reset(new DBAccess(&header, fs.get(), &file, readonly));
  }
  void Shut() {
    if (db) db->Close();
    db.reset();
    header.Attach(nullptr, true);
    fs.reset();
  }
  int Pages() const {
    int n = 0;
    for (const DBAccess* p = db.get(); p != nullptr; p = p->NextPage()) n++;
    return n;
  }
  long long Restores() const {
    long long n = 0;
    for (const DBAccess* p = db.get(); p != nullptr; p = p->NextPage()) n += p->NumRestores();
    return n;
  }
  // Every record in storage order, as a walk sees them.
  std::vector<DBRecord> Walk() {
    std::vector<DBRecord> all;
    db->ForEachRecord(
        [](const DBRecord& r, void* data) {
          static_cast<std::vector<DBRecord>*>(data)->push_back(r);
          return 1;
        },
        &all, nullptr);
    return all;
  }

  DBFile file;
  DBHeader header;
  std::unique_ptr<std::fstream> fs;
  std::unique_ptr<DBAccess> db;

 private:
  std::string path_;
};

// A database over a stream in memory.
struct MemDB {
  MemDB() : ss(std::ios::in | std::ios::out | std::ios::binary), db(&header, &ss, false) {}
  // Block 0 as the stream holds it after a sync.
  std::string Block0() {
    db.Sync();
    return ss.str().substr(static_cast<size_t>(header.GetSize()), DB_BLOCKSIZE);
  }

  std::stringstream ss;
  DBHeader header;
  DBAccess db;
};

// Runs the outside database checker on path; empty when it passes, else its report.
// Sets *skipped, and marks the test skipped, when the checker or python3 is not available.
inline std::string RunChecker(const std::string& path, bool* skipped) {
  *skipped = !CheckerRuns(path);
  if (*skipped) return "";
  std::string out;
  const int rc = RunCheckerProgram({path}, &out);
  if (rc < 0) {
    CheckerSkipped(path);
    *skipped = true;
    return "";
  }
  return rc == 0 ? std::string() : (out.empty() ? std::string("checker failed") : out);
}

// Every file a test writes goes through the checker (where it cannot run, the test is marked
// skipped and goes on).
#define EXPECT_QDB_SOUND(path)                                           \
  do {                                                                   \
    bool skipped_ = false;                                               \
    std::string report_ = dbtest::RunChecker(path, &skipped_);           \
    if (!skipped_) {                                                     \
      EXPECT_EQ(report_, "") << "qdbcheck found problems in " << (path); \
    }                                                                    \
  } while (0)

// A schema of the photo kind: ints, floats, strings, multi-valued strings and arrays, with
// name, size and hash as hash keys.
inline void PhotoSchema(DBFieldInfo* s) {
  s->Field("File", DBDTstring, "File Name", DBFDhashkey);
  s->Field("Location", DBDTstring, "File Location", 0x1);
  s->Field("NBytes", DBDTint, "File Length (bytes)", DBFDhashkey);
  s->Field("HashVal", DBDTint, "File Hash Value", DBFDhashkey);
  s->Field("Latitude", DBDTfloat, "Degrees North Latitude", 0);
  s->Field("Keyword", DBDTstring, "Keyword for Search", 0x1);
  s->Field("Crop", DBDTint, "Cropping Rectangle", 0x1);
  s->Field("Levels", DBDTfloat, "Tone levels", 0x1);
  s->Field("Title", DBDTstring, "Title", 0);
  s->sord.AddSort(0);
}

// Record i of the photo kind.
inline void PhotoRecord(DBRecord* r, const DBFieldInfo* s, int i) {
  r->Init(s);
  char name[64];
  snprintf(name, sizeof(name), "IMG_%05d.JPG", i);
  r->SetField(0, name);
  const char* loc[2] = {"/Volumes/Photos", i % 3 ? "2007/summer" : "2008/winter"};
  r->SetField(1, loc, 2);
  r->SetField(2, static_cast<long>(100000 + 37 * i));
  r->SetField(3, static_cast<long>((i * 2654435761u) & 0x7FFFFFFF));
  r->SetField(4, static_cast<float>(37.5 + i * 0.001));
  const char* kw[3] = {"beach", i % 2 ? "sunset" : "family", "holiday"};
  r->SetField(5, kw, 1 + i % 3);
  long crop[4] = {i % 50, 10, 640 + i % 7, 480};
  r->SetField(6, crop, 4);
  float lv[3] = {0.1f * (i % 10), 0.5f, 1.0f + i};
  r->SetField(7, lv, 3);
  if (i % 4 == 0) r->SetField(8, "Sunset over the bay");
}

}  // namespace dbtest
