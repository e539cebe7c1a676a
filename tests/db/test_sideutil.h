// Helpers of the index-file tests: whether a database's index file is valid, and the ways of
// spoiling one (missing, cut short, a byte flipped, or of another size, time, inode or content
// of the database than the one beside it).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "db/dbsidefile.h"
#include "testutil/file_bytes.h"

namespace dbtest {

inline DBSideFile::Status IndexStatus(const std::string& db, int headerSize) {
  DBFile file(db);
  DBSideFile::Probe probe;
  if (!DBSideFile::ProbeDatabase(file, headerSize, &probe)) return DBSideFile::kDamaged;
  DBSideFile sf;
  return sf.Load(file, probe, nullptr);
}

using ::ReadAll;
using ::WriteAll;

enum IndexDamage {
  kIndexMissing,
  kIndexTruncated,
  kIndexFlipped,
  kIndexWrongSize,
  kIndexWrongTime,
  kIndexWrongInode,
  kIndexWrongContent,
  kIndexDamageKinds
};

inline const char* DamageName(int kind) {
  static const char* names[] = {"missing",     "truncated",   "byte flipped", "wrong size",
                                "wrong mtime", "wrong inode", "wrong content"};
  return names[kind];
}

// Spoils the index file beside db; r picks the cut or the flipped byte. The stamp and content
// changes are written with a correct checksum, so that only the check against the database
// can find them. False when there was no sound index file to spoil.
inline bool DamageIndex(const std::string& db, int kind, uint32_t r) {
  std::string path = db + "-index";
  std::string bytes = ReadAll(path);
  if (kind == kIndexMissing) return unlink(path.c_str()) == 0;
  if (bytes.size() < DBSideFile::kHeadSize + 4) return false;
  if (kind == kIndexTruncated) {
    bytes.resize(r % bytes.size());
  } else if (kind == kIndexFlipped) {
    bytes[r % bytes.size()] ^= static_cast<char>(1u << (r % 8));
  } else {
    DBSideFile sf;
    if (!sf.Parse(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), nullptr))
      return false;
    if (kind == kIndexWrongSize) sf.stamp.size += 65548;
    if (kind == kIndexWrongTime) sf.stamp.mtimeNs += 1 + r % 1000;
    if (kind == kIndexWrongInode) sf.stamp.ino ^= 1;
    if (kind == kIndexWrongContent) sf.lastBlockSum ^= 1u << (r % 32);
    std::vector<unsigned char> out;
    sf.Compose(&out);
    bytes.assign(out.begin(), out.end());
  }
  WriteAll(path, bytes);
  return true;
}

}  // namespace dbtest
