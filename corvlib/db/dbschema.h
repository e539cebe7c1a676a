// Schemas of the record database: field names and ids (DBFieldID), per-field details
// (DBFDetails), sort orders (DBFieldSort) and the schema itself (DBFieldInfo).
#pragma once

#include <cstdint>
#include <iosfwd>

#include "db/dbfield.h"

// Most fields of a schema.
constexpr int DB_MAXFIELDS = 128;

// The field names of a schema: ids are positions in mname; mlexo lists the ids in name order
// (bytes compared as signed, case-sensitive). Names are pooled (strlink), so equal names in two
// tables are the same pointer.
class DBFieldID {
 public:
  DBFieldID() : nfields(0) {}
  DBFieldID(const DBFieldID& src) : DBFieldID() { *this = src; }
  ~DBFieldID() { Clear(); }
  DBFieldID& operator=(const DBFieldID& src);

  void Clear();
  // Id of name, adding the field when absent.
  int Field(const char* name);
  // Adds a field; its id, or -1 (null or empty name, present name, 128 names, no memory).
  int NewField(const char* name);
  int GetID(const char* name) const;
  const char* GetName(int id) const { return (id >= 0 && id < nfields) ? mname[id] : nullptr; }
  int GetNFields() const { return nfields; }
  // True when field id bears name afterwards.
  bool Rename(int id, const char* name);
  // This table's id of other's field id (-1 when absent or out of range).
  int XlateID(const DBFieldID* other, int id) const;
  // map[j] = this table's id of other's field j, or -1. False when other's names are this
  // table's first names in name order (the same names being the common case).
  bool MapIDs(int* map, const DBFieldID* other) const;
  // The same for a table that may be absent: a null table maps every field to -1 (true).
  static bool MapIDs(const DBFieldID* table, int* map, const DBFieldID* other);
  // Writes the names separated by sep and a line feed (the names line of a text table).
  void Write(std::ostream* os, char sep) const;
  // Replaces the names by one names line; *sep 0 means detect (stored back). Returns the
  // number of names, or -1.
  int Read(std::istream* is, char* sep);

  // The turn of field id's values in the record hash index: a function of its name alone,
  // kept beside the name so that hashing a record does not hash the names again.
  int HashTurn(int id) const { return mturn[id]; }

  int nfields;
  const char* mname[DB_MAXFIELDS];
  int16_t mlexo[DB_MAXFIELDS];

 private:
  // Sets field id's name (pooled) and its hash turn.
  void SetName(int id, const char* pooled);
  uint8_t mturn[DB_MAXFIELDS];
};

// Field detail flags.
enum : int {
  DBFDmulti = 0x1,       // the field may hold several values
  DBFDhashkey = 0x1000,  // the field takes part in the record hash index
  DBFDkeep = 0x3F01,     // the bits DBFieldInfo::Field stores
};

struct DBFDetails {
  DBDataType dtype;  // type of every value; DBDTunknown accepts any
  int flags;         // DBFD* bits (0x100..0x800 and 0x2000 carried for the application)
  char descrip[64];  // description, at most 63 characters
  DBFormatFunc DisplayFormat;
};

// A sort order: entry k is field id + 1 (ascending) or -(id + 1) (descending); the first 0 ends
// the list; at most 15 keys.
struct DBFieldSort {
  DBFieldSort() { Clear(); }
  void Clear();
  // Field id of key k (and its direction), -1 when k > 14 or there is no such key.
  int GetSort(int k, bool* descending = nullptr) const;
  // Appends a key; false for a negative id, a field already keyed or 15 keys.
  bool AddSort(int id, bool descending = false);
  // Makes field id the first key; false only for a negative id.
  bool PushSort(int id, bool descending = false);

  int order[16];
};

// A schema: names, per-field details and the default sort order of its records.
class DBFieldInfo : public DBFieldID {
 public:
  DBFieldInfo();
  DBFieldInfo(const DBFieldInfo& src);
  virtual ~DBFieldInfo();
  DBFieldInfo& operator=(const DBFieldInfo& src);

  // The schema as the FieldInfo block of a database header (defined with the header,
  // db/dbheader.cpp): the sort-order line and one line per field. WriteInfo returns the number
  // of fields or -1; ReadInfo the number of fields read or -1.
  virtual int WriteInfo(std::ostream* os, int level) const;
  // Text budget of that block: 18,532 bytes.
  virtual int InfoSize() const;
  virtual int ReadInfo(std::istream* is);

  void Clear();
  const DBFDetails* GetDetails(int id) const {
    return (id >= 0 && id < nfields) ? &details[id] : nullptr;
  }
  using DBFieldID::Field;
  // Defines or redefines a field; without a formatter the field keeps its own when the type
  // and the multi-valued bit are unchanged, else gets the standard one. Returns the id or -1.
  int Field(const char* name, DBDataType type, const char* description = nullptr, int flags = 0,
            DBFormatFunc formatter = nullptr);
  // Defines a field with the details copied whole.
  int Field(const char* name, const DBFDetails* det);
  // Takes over the formatters of other's same-named fields of the same type.
  void CopyFormat(const DBFieldInfo* other);

  DBFDetails details[DB_MAXFIELDS];
  DBFieldSort sord;
};
