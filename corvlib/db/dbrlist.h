// Record lists of the record database: a growable list of records of one schema with a sort
// order and a query cursor, and its text table form.
#pragma once

#include <iosfwd>

#include "db/dbrecord.h"
#include "db/dbschema.h"

class DBQuery;

// A growable list of records of one schema with a sort order and a query cursor. Records live
// in one heap block that moves when it grows; their field arrays do not.
class DBRecordList {
 public:
  explicit DBRecordList(const DBFieldInfo* schema = nullptr, int n = 0);
  ~DBRecordList() { Resize(0); }
  DBRecordList(const DBRecordList&) = delete;
  DBRecordList& operator=(const DBRecordList& other);

  // Empties the list, binds schema and makes n records; returns Resize's result.
  int Init(const DBFieldInfo* schema, int n = 0);
  // Forgets the records and schema without releasing them (after a hand-over).
  void Empty();
  // Sets the record count; returns n, 0 on failure (the list is then empty). New records are
  // bound to the schema with an empty field array of their own, or, bare, with none yet (for
  // a caller that assigns or links each of them at once).
  int Resize(int n, bool bare = false);
  DBRecord& NewRecord();
  int GetSize() const { return nr; }
  const DBFieldInfo* GetFieldInfo() const { return finfo; }
  const DBRecord* GetArray() const { return rl; }
  // Writable records: their changes are counted by the records themselves (see pchange.h).
  DBRecord* Array() {
    PnoteChange();
    return rl;
  }
  const DBRecord& Get(int i) const { return (i >= 0 && i < nr) ? rl[i] : dummy; }
  DBRecord& operator[](int i) { return (i >= 0 && i < nr) ? rl[i] : dummy; }

  int FindRecord(const DBRecord& r) const;
  // Query cursor over the list (defined in db/dbrlfind.cpp, which needs the queries).
  int FindFirst(const DBQuery* q) const;
  int FindNext() const;
  // Sorts by the list's order (stable).
  void Sort();
  // Removes records without fields (and, with dropEmpty, without set fields), keeping order.
  void Compact(bool dropEmpty = false);
  // Whether Compact drops r (for lists kept in step with this one).
  static bool Drops(const DBRecord& r, bool dropEmpty = false) {
    return r.finfo == nullptr || r.finfo->nfields == 0 || (dropEmpty && r.GetNAssigned() == 0);
  }
  // Makes each record share other's record's field array; returns the count.
  int LinkAll(DBRecordList* other);
  // Values common to all records into out.
  void Intersection(DBRecord* out, bool keep = false) const;

  // Text table: names line and one line per record.
  void Write(std::ostream* os, char sep) const;
  // Appends the records of a text table; returns the number appended, -1 without a schema.
  int Read(std::istream* is, char* sep, DBFieldInfo* schema = nullptr);

  // A record returned in place of one that does not exist.
  static DBRecord dummy;

  const DBFieldInfo* finfo;
  DBRecord* rl;
  int nr;
  int maxr;
  mutable const DBQuery* mq;
  mutable int spos;
  DBFieldSort sord;
};
