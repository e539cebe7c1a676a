// Writing a file whole, in place of another: the new content goes to a temporary file beside
// its place (the same folder, so the rename stays on one file system), is synced to the disk,
// and is renamed over the old name only once complete; then the folder is synced so that the
// new name stays. A failure at any step leaves the old file as it was and removes the
// temporary file, so a crash leaves either the old file or the whole new one.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <string>

// The mode a file written in place of path takes: the permission bits (0777) of the regular
// file at path when it is the user's own (looked at without following a link), else 0666 less
// the umask.
mode_t PnewFileMode(const char* path);
// 0666 less the umask: the mode of a new file; 0600 while a PprivateFiles lives.
mode_t PusualFileMode();
// While one lives (on its thread), the files made new (PusualFileMode, PnewFileMode) are
// private, mode 0600: the files the program keeps for itself beside others' eyes.
class PprivateFiles {
 public:
  PprivateFiles();
  ~PprivateFiles();
  PprivateFiles(const PprivateFiles&) = delete;
  PprivateFiles& operator=(const PprivateFiles&) = delete;
};
// Gives the file open at fd the mode, where its file system keeps modes. One that keeps none
// (FAT) refuses the call (EPERM, ENOSYS, ENOTSUP) or takes it and changes nothing, and shows
// every file with the mode its mount gives: that is no failure. False, errno set, for another.
bool PsetFileMode(int fd, mode_t mode);

// Creates an empty temporary file beside path, named ".<name>.lumerin-<pid>-XXXXXX.tmp<suffix>"
// (suffix may be NULL; writers that choose their format by the name need it; a long name is
// cut to fit), with the given mode (negative: PnewFileMode(path)); returns its descriptor
// (closed on exec), or -1 with errno set, and its name in tmp. made, when given, gets the new
// file's status (fstat), by which PcommitTemp and PrenameTemp know it at its name.
int PtempBeside(const char* path, std::string* tmp, int mode = -1, const char* suffix = nullptr,
                struct stat* made = nullptr);
// Whether tmp still names the file whose status (fstat of its descriptor) is made: a regular
// file of its device and inode, looked at without following a link. In a folder others may
// write, another user can rename a temporary file away and leave anything at its name.
bool PtempHolds(const std::string& tmp, const struct stat& made);
// Removes from folder the temporary files PtempBeside made there for processes that no longer
// run (a save or export that was killed): only the user's own regular files whose names have
// exactly that form; a file of a live process, of another user, or of any other name stays.
// Returns how many were removed, each logged (class info).
int PremoveStaleTemps(const char* folder);
// A name beside path that no file had a moment ago (a temporary file made and removed), for a
// link made there and renamed over path (PrenameTemp); empty, errno set, when none can be made.
std::string PfreeNameBeside(const char* path);
// Syncs the finished temporary file (closed by the caller), renames it onto path and syncs the
// folder; 1 on success, else 0 with the temporary file removed and errno from the failed step.
// Given made (PtempBeside), the name is synced and renamed only while it holds that file
// (PtempHolds, looked at just before the rename); a file that took its place meanwhile is left
// at the name, the failure is told ("The temporary file ... was replaced while it was
// written") and errno is EEXIST.
int PcommitTemp(const std::string& tmp, const char* path, const struct stat* made = nullptr);
// PcommitTemp for a temporary file whose contents the caller has synced already.
int PrenameTemp(const std::string& tmp, const char* path, const struct stat* made = nullptr);
// Removes an unfinished temporary file.
void PdiscardTemp(const std::string& tmp);
// An unnamed scratch file in the temporary folder, open for reading and writing as
// std::tmpfile's is, but closed on exec: it goes when closed or when the program ends. Null,
// errno set, when none can be made.
FILE* PscratchFile();
// Writes all of n bytes to fd, again after a signal; false, errno set, on an error.
bool PwriteAll(int fd, const void* data, size_t n);

// One file written whole, step by step so that a caller can tell which step failed (each
// returns false with errno set): Write as often as needed, Sync, Close, then Commit. A file
// neither committed nor discarded is discarded when the object goes.
class PWholeFile {
 public:
  // Makes the temporary file beside path (see PtempBeside); IsOpen is false when it cannot.
  explicit PWholeFile(const char* path, int mode = -1, const char* suffix = nullptr);
  ~PWholeFile();
  PWholeFile(const PWholeFile&) = delete;
  PWholeFile& operator=(const PWholeFile&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // The temporary file's name; empty once committed or discarded.
  const std::string& TempName() const { return tmp_; }
  bool Write(const void* data, size_t n);
  bool Sync();
  bool Close();
  // Renames the temporary file onto the path and syncs the folder (syncing it first where the
  // caller has not), only while its name still holds the file made (PcommitTemp). False with
  // the path as it was, and the temporary file removed unless another took its name.
  bool Commit();
  // Closes and removes the temporary file (not what another put at its name).
  void Discard();

 private:
  std::string path_, tmp_;
  int fd_ = -1;
  bool synced_ = false;
  struct stat made_ = {};
};
