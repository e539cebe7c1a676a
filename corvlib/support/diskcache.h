// A cache object whose memory, when purged, is either rebuilt from an original (a subclass
// recomputes it with NewOriginal) or saved to a private swap file and read back later,
// whichever is expected to be cheaper. It can also adopt memory or a whole file as its content.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/cache.h"

constexpr size_t DISKCACHE_PATHLEN = 1024;

class DiskCacheObject : public CacheObject {
 public:
  DiskCacheObject();
  // Calls Free(). A subclass that made original memory must call Free() in its own destructor,
  // since its FreeOriginal can no longer be reached from here.
  ~DiskCacheObject() override;

  const char* ClassName() const override { return "DiskCacheObject"; }
  bool RestoreMemory() override;
  void FreeMemory() override;
  // Rebuild objCache and objSize from the original; the default reports and fails.
  virtual bool NewOriginal();
  // Release memory made by NewOriginal or adopted by SetMemory; the default reports.
  virtual void FreeOriginal();

  // Adopts mem (size bytes) as original memory, given back later through FreeOriginal.
  bool SetMemory(void* mem, size_t size);
  // Makes the readable file at path the object's original; its bytes are read on demand and
  // the file is never deleted.
  bool SetFile(const char* path);
  // Deletes the swap file, if any (never an original file).
  void FreeFile();
  // Gives back everything the object holds.
  void Free();
  // True when the object holds neither memory nor a file.
  bool Empty() const;

  const char* FileName() const { return objFile; }
  bool IsReproducible() const { return reproducible; }
  bool HasOriginalFile() const { return origFile; }

  // The last attempt to write a swap file failed: reproducible objects then skip swapping.
  static bool outOfTemp;
  // Running totals of swap-file reads, giving the disk read rate readBytes / readTime.
  static uint64_t readBytes;
  static double readTime;

 protected:
  bool origMemory = false;  // resident memory came from NewOriginal or SetMemory
  bool origFile = false;    // objFile is the object's own original file
  double origTime = 0;      // seconds rebuilding the original costs
  char objFile[DISKCACHE_PATHLEN] = {};
  bool reproducible = true;  // the memory can be rebuilt with NewOriginal

 private:
  bool WriteSwapFile();
  bool ReadFile();
  uint64_t ContentHash() const;

  // Hash of the bytes that objFile holds, taken when it was written or read; memory whose
  // content no longer matches is written to a fresh swap file instead of being dropped.
  uint64_t fileHash = 0;
  bool fileHashValid = false;
  // The swap file as it was made: a file found at its name later is read back only when it is
  // that file (in a temporary folder others write, another may have put anything there).
  uint64_t swapDev = 0, swapIno = 0;
};
