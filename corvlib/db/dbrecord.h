// Records of the record database: a field array shared by reference count (DBRLink) and the
// record bound to a schema (DBRecord).
#pragma once

#include <cstdint>
#include <iosfwd>

#include "db/dbfield.h"
#include "db/dbschema.h"
#include "support/pchange.h"

class DBQuery;

// The field array that records share.
struct DBRLink {
  explicit DBRLink(int n);
  ~DBRLink() { Init(0); }
  DBRLink(const DBRLink&) = delete;
  DBRLink& operator=(const DBRLink&) = delete;

  // Releases the fields (unless readonly < 0) and makes n unset ones.
  void Init(int n);
  // Unsets the fields of a writable array and makes it empty, keeping the allocation for the
  // next record built in it.
  void Reset();
  // Grows a writable array to n fields, keeping the values at their ids.
  void GrowTo(int n);

  DBField* field;  // nfields fields, null when none
  int16_t nfields;
  int16_t ncap;      // fields allocated (writable arrays); those from nfields on are unset
  int16_t readonly;  // 0 writable; -1 fields belong to a record block and are never freed here
  int nlinks;        // records sharing this array
  long ihash;        // cached hash index: -2 not computed, -1 none
};

// One record: a shared field array bound to a schema. Link shares the array; assignment makes
// a deep copy, across schemas by field name.
// A record may be moved with memcpy or realloc: record lists keep their records in one heap
// block that realloc grows and sorting permutes bytewise. So its members stay plain pointers
// and flags, nothing points at a record's own address, and the field array it refers to never
// moves with it. Keep it so when adding members.
class DBRecord {
 public:
  DBRecord() : l(nullptr), finfo(nullptr), fieldlock(false), sortord(nullptr) {}
  explicit DBRecord(const DBFieldInfo* schema) : DBRecord() { Init(schema, false); }
  DBRecord(const DBRecord& src) : DBRecord() { *this = src; }
  ~DBRecord() { Free(); }
  DBRecord& operator=(const DBRecord& src);

  // Drops this record's share of its field array.
  void Free();
  // Forgets the members without releasing (after the array was handed on).
  void Empty() {
    PnoteChange();
    l = nullptr;
    finfo = nullptr;
    fieldlock = false;
    sortord = nullptr;
  }
  // A new empty field array over schema (a locked record keeps its schema unless lock is
  // given); returns the record's schema, null (record empty) for a null schema.
  const DBFieldInfo* Init(const DBFieldInfo* schema, bool lock = false);
  void Init() {
    Free();
    Empty();
  }
  bool ReadOnly() const { return l == nullptr || l->readonly != 0; }
  int IsLinked(const DBRecord* other = nullptr) const;
  // Shares other's field array (and schema); 1 when other had one.
  int Link(DBRecord* other);
  // Moves other's array, schema, lock and order here; 1 when an array came along.
  int Take(DBRecord* other);

  void Clear();
  void ClearField(int id);
  // Readies field id for n values of type; 1 when the caller may store them.
  int PrepField(int id, DBDataType type, int n);
  int SetField(int id, const DBField& val);
  int SetField(int id, long i);
  int SetField(int id, float f);
  int SetField(int id, int i) { return SetField(id, static_cast<long>(i)); }
  int SetField(int id, double f);
  int SetField(int id, const char* s);
  int SetField(int id, const long* p, int n);
  int SetField(int id, const float* p, int n);
  int SetField(int id, const char* const* p, int n);
  // Field id from src's field of the same name.
  int SetField(int id, const DBRecord& src);
  int SetText(int id, const char* text, char sep);
  // Fills this record's unset fields from src's same-named ones; returns the count, -1 when
  // the record cannot be written.
  int FillFrom(const DBRecord& src);

  const DBFieldInfo* GetFieldInfo() const { return finfo; }
  int GetNFields() const;
  int GetNAlloc() const;
  int GetNAssigned() const;
  const char* GetFieldName(int id) const;
  const DBFDetails* GetFieldDetails(int id) const;
  // The field when allocated and set, else null.
  const DBField* GetField(int id) const;
  // The field, set or not (an empty field outside the allocated ones).
  const DBField& operator[](int id) const;
  char* FormatField(int id, char* buf, int len) const;

  // Record hash index: -1 without array or with an unset hash-key field; cached.
  long HashIndex() const;
  // Computes and caches the hash index (defined with the queries, db/dbquery.cpp).
  long ComputeHashIndex() const;
  // Whether some selector of the chain q matches (defined with the queries, db/dbquery.cpp).
  bool MatchQuery(const DBQuery* q) const;

  // Three-way order by sortord.
  int Compare(const DBRecord& other) const;
  bool operator==(const DBRecord& other) const;
  bool operator!=(const DBRecord& other) const { return !(*this == other); }
  // Field-wise intersection and union with other.
  DBRecord& operator&=(const DBRecord& other);
  DBRecord& operator|=(const DBRecord& other);

  // One line of a text table: the allocated fields separated by sep, then a line feed.
  void Write(std::ostream* os, char sep) const;
  // Reads one line; the number of fields read, 0 for an empty line, -1 at the end of input or
  // for a bad line (the record then has no field array).
  int Read(std::istream* is, char sep);

  DBRLink* l;                  // field array, null for an empty record
  const DBFieldInfo* finfo;    // schema, never owned
  bool fieldlock;              // keep the schema on Init without lock and on assignment
  const DBFieldSort* sortord;  // order used by Compare
};

// Compare of two records, for sorting.
int DBrecordCmp(const void* a, const void* b);
