// The headers of a catalogue and of the shadow catalogue. Both stamp the software name and
// carry the photo schema; a catalogue header adds the flag "UniqueFiles" (one entry per image
// file) and four lists of recently used values (subjects, albums, owners, keywords).
#pragma once

#include <cstdint>
#include <iosfwd>

#include "db/dbheader.h"
#include "db/dbhlink.h"

// The software name written into every catalogue and shadow catalogue.
extern const char CorvaneSoftwareName[];
// Names of the recent-value lists, as the header variables are called.
extern const char PDBLastSubjName[];
extern const char PDBLastAlbmName[];
extern const char PDBLastOwnrName[];
extern const char PDBLastKeywName[];

class PDBHeader : public DBHeader {
 public:
  // Buffer sizes of the recent lists: 64 bytes for each value the application keeps.
  static constexpr int kSubjBytes = 448;
  static constexpr int kAlbmBytes = 448;
  static constexpr int kOwnrBytes = 320;
  static constexpr int kKeywBytes = 576;
  static constexpr int kRecentBytes = kSubjBytes + kAlbmBytes + kOwnrBytes + kKeywBytes;

  PDBHeader();
  // Writes the header when it changed (the variables' storage goes with this object).
  ~PDBHeader() override;

  // Forgets the previous file's flag and lists before reading a header.
  int ReadInfo(std::istream* is) override;
  // The base hash mixed with the recent lists and the flag.
  int Hash() const override;
  // 0 unless the software name is CorvaneSoftwareName; then the base checks.
  int CheckValues() const override;
  // A new catalogue: the photo schema, empty lists, one entry per file.
  void SetDefaults() override;

  bool Unique() const { return uniq != 0; }
  void SetUnique(bool val);
  // The recent lists, named (ignoring case) by the PDBLast*Name texts. Values are kept in
  // list order; positions count from 0.
  // Value n, or null (no such list, n out of range).
  const char* GetRecent(const char* nm, int n) const;
  // The number of values; -1 when there is no such list.
  int GetNRecent(const char* nm) const;
  // Position of the first value equal to val (case-sensitive); -1 when absent.
  int FindRecent(const char* nm, const char* val) const;
  // Inserts val before position n (n equal to the count, or negative, appends); false, with
  // nothing changed, for a null value, no such list, n above the count or no room.
  bool InsertRecent(const char* nm, const char* val, int n);
  // Removes value n (negative: the last); nothing when n is not below the count.
  void DeleteRecent(const char* nm, int n);

 private:
  DBHeaderLink* RecentList(const char* nm) const;

  // The four list buffers back to back (subjects, albums, owners, keywords): the hash reads
  // them as one.
  char recent[kRecentBytes];
  int uniq;
};

// The header of the shadow catalogue: the photo schema without the required bit of Subject,
// no further variables.
class SDBHeader : public DBHeader {
 public:
  SDBHeader() = default;
  void SetDefaults() override;
};
