// Files written so that no failure loses what they replace: the new content goes to a temporary
// file beside its place, is synced to the disk and renamed there only when complete.
#pragma once

#include <memory>
#include <ostream>
#include <string>

class PWholeFile;

// A file written whole through a stream.
class PSafeFile {
 public:
  // Makes the temporary file beside path (IsOpen false when that cannot be done), first
  // removing those that killed saves left in its folder (PremoveStaleTemps).
  explicit PSafeFile(const char* path);
  // Removes the temporary file unless it was committed.
  ~PSafeFile();
  PSafeFile(const PSafeFile&) = delete;
  PSafeFile& operator=(const PSafeFile&) = delete;

  bool IsOpen() const;
  std::ostream& Stream() { return os_; }
  // Flushes, syncs and closes the temporary file and renames it to the path; false, with the
  // temporary file removed and the path as it was, on any failure.
  bool Commit();
  // Drops the temporary file.
  void Discard();

 private:
  class Buf;
  std::unique_ptr<PWholeFile> file_;
  std::unique_ptr<Buf> buf_;
  std::ostream os_;
};

// Copies the regular file src to dst through a temporary file renamed to dst when complete.
bool PcopyReplace(const char* dst, const char* src);
// Makes dst name the same file as src: a hard link or, where none can be made, a copy; made
// under a temporary name and renamed, so an existing dst is replaced only by a whole new one.
// Nothing is done when dst already is src's file.
bool PlinkOrCopy(const char* dst, const char* src);
// Whether path names a regular file (following links).
bool PisRegularFile(const char* path);
// Whether the two paths name the same existing file (device and inode).
bool PsameFile(const char* a, const char* b);

// Makes the folder an export writes its files in unless it is there (mode 0777 less the umask:
// an album's pictures are there to be shared), and opens it to write in through
// PfolderThrough. A symbolic link, a name that is no folder and another user's folder are
// refused, as the program's own folders are: -1, with why in words ("is a symbolic link") in
// *why. *made tells whether the folder was made here.
int PopenExportFolder(const std::string& path, bool* made, std::string* why);
// The path that reaches the folder open at fd whatever comes to stand at its name later:
// "/proc/self/fd/N". Files made through it are made in that very folder.
std::string PfolderThrough(int fd);
