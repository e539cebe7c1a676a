// Cached images: an image file held open with its full pixels as a swappable object of the
// memory cache. The pixels are read on first use, given up when the cache needs memory and
// nobody uses them, and read again on the next use. Requests at the cached size and colour
// space are served as sub-images sharing the pixels (which keeps them resident while held),
// others as rendered copies.
#pragma once

#include "catalog/pdbase.h"
#include "image/pireader.h"
#include "support/cache.h"

class PCacheImage : public CacheObject {
 public:
  PCacheImage();
  ~PCacheImage() override;

  const char* ClassName() const override { return "PCacheImage"; }
  void HolderRelease() override;
  bool RestoreMemory() override;
  void FreeMemory() override;

  // Keeps an open reader (not owned) and fills the record from it.
  bool SetImage(_ImgReader* ir);
  // Opens a file with the registered readers (owned).
  bool SetImage(const char* path, bool quiet);
  // Opens a record's file (PopenImageD); keeps a copy of the record, filled from the file
  // when it lacks XSize.
  bool SetImage(const DBRecord& r, bool quiet);
  _ImgReader* GetReader() const { return irdr; }
  const DBRecord& GetRecord() const { return ircd; }
  // Serves rectangle rect (null: the whole image) into dst, whose colour space (and size,
  // or pixels) the caller set. The first request fixes the cached colour space.
  bool GetSubimage(_ImgStruct* dst, const _ImgRect* rect);
  // Back to the empty state; no sub-image may still share the pixels.
  void CloseImage();

 private:
  _ImgReader* irdr;
  bool rdrMine;
  _ImgStruct isrc;
  _ImgColorSpace myCS;
  DBRecord ircd;
};
