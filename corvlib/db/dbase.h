// The record database: typed multi-valued field values (DBField), schemas (DBFieldID,
// DBFDetails, DBFieldSort, DBFieldInfo) with their display formatters, records sharing
// reference-counted field arrays (DBRecord) and growable record lists (DBRecordList), and the
// tab-separated text form of records. Queries, header variables, the database header and the
// paged record store build on these types; their headers are included at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>

class ABitMap;
class DBField;
class DBFieldInfo;
class DBQuery;
struct DBFieldS;  // the stored 8-byte cell of a record block (db/dbblock.h)

// Type of every value of a field (stored in one byte inside a DBField).
enum DBDataType : int {
  DBDTunknown = 0,
  DBDTint = 1,     // 32-bit signed
  DBDTfloat = 2,   // 32-bit IEEE single
  DBDTstring = 3,  // NUL-terminated text
};

// Type names by DBDataType: "unknown", "int", "float", "string".
extern const char DBdtypeName[4][8];

// Flag bits of DBField::fl.
enum : uint8_t {
  DBFLarray = 0x1,   // values are held through v as an array
  DBFLowns = 0x2,    // the field owns what v points to (array, block or one string reference)
  DBFLpacked = 0x4,  // strings lie back to back as one block of NUL-terminated texts
  DBFLoffset = 0x8,  // v holds a byte offset from the field's own address (never owned)
};

// Most values one field holds (the count is 16 bits).
constexpr int DB_MAXVALUES = 65535;
// Most values the set operations, comparisons and the text form work on.
constexpr int DB_MAXARRAY = 512;

// A display formatter: writes field as text into buf (len bytes with the NUL); returns buf, or
// null when no text was produced.
typedef char* (*DBFormatFunc)(char* buf, int len, const DBField& field);

// The value of one field of one record: a list of values of one type. One integer or float is
// held inline; one string is a shared string (strlink) or a borrowed pointer; several values are
// an array (owned, or a view of someone else's memory). The in-memory form is 16 bytes; the
// 8-byte stored cell of a record block is DBFieldS.
class DBField {
 public:
  DBField() : dt(0), fl(0), nv(0), rsv(0) { v.bits = 0; }
  ~DBField() { Clear(); }
  DBField(const DBField& src) : DBField() { *this = src; }
  DBField(DBField&& src) noexcept;
  explicit DBField(long i) : DBField() { Set(i); }
  explicit DBField(int i) : DBField() { Set(static_cast<long>(i)); }
  explicit DBField(float f) : DBField() { Set(f); }
  explicit DBField(double f) : DBField() { Set(f); }
  // One borrowed string, as operator=(const char*).
  explicit DBField(const char* s) : DBField() { *this = s; }

  // Releases what the field owns and makes it unset.
  void Clear();

  int GetNV() const { return nv; }
  DBDataType GetDT() const { return static_cast<DBDataType>(dt); }
  int GetFlags() const { return fl; }
  bool IsSet() const { return nv > 0; }
  // Whether the values are held through a pointer (not one inline integer or float).
  bool HasPointer() const;
  // Address of the data (array, block or the one string), null when there is none.
  const void* GetPointer() const;
  // Address of value i (for strings the text itself), null when i is outside 0..nv-1.
  const void* GetPointer(int i) const;

  // Setting; each first clears the field.
  void Set(long i);
  void Set(int i) { Set(static_cast<long>(i)); }
  // A NaN or infinite value is stored as 0.0 and reported.
  void Set(float f);
  // A double beyond the float range is refused like an infinite float.
  void Set(double f);
  // One shared string (strlink); null leaves the field unset.
  void Set(const char* s);
  // n values; a null p leaves the field as it was, n <= 0 unset, n above DB_MAXVALUES is
  // refused (unset, reported). Integers outside the 32-bit range are saturated.
  void Set(const long* p, int n);
  void Set(const float* p, int n);
  // Shared strings; a null first pointer with n = 1 leaves the field unset.
  void Set(const char* const* p, int n);
  // Splits text at every sep (at most DB_MAXARRAY pieces) into shared strings; returns the
  // number of values stored (0 for a null or empty text, which clears the field).
  int SetText(const char* text, char sep);
  // Makes the field a view of n values of type t at data, owning nothing: one integer or
  // float is copied inline, one string is borrowed, several values are a borrowed array
  // (packed: n NUL-terminated texts one after another). The data must outlive the view.
  void SetView(DBDataType t, int n, const void* data, bool packed);

  DBField& operator=(long i) {
    Set(i);
    return *this;
  }
  DBField& operator=(int i) {
    Set(static_cast<long>(i));
    return *this;
  }
  DBField& operator=(float f) {
    Set(f);
    return *this;
  }
  DBField& operator=(double f) {
    Set(f);
    return *this;
  }
  // One borrowed string (not copied, not linked); null leaves the field unset.
  DBField& operator=(const char* s);
  // Deep copy: the result owns its own array and string references.
  DBField& operator=(const DBField& src);
  DBField& operator=(DBField&& src) noexcept;
  // Shallow view of src's values (owning nothing), valid while src lives.
  DBField& operator=(const DBField* src);
  // Decoding of a stored cell (defined with the record blocks, db/dbblock.cpp): deep copy
  // and shallow view.
  DBField& operator=(const DBFieldS& cell);
  DBField& operator=(const DBFieldS* cell);

  // Reading with conversion; a missing value gives 0, 0.0 or "".
  long GetInt(int i = 0) const;
  float GetFloat(int i = 0) const;
  // Integers and floats are formatted into one of 32 static buffers used in rotation.
  const char* GetString(int i = 0) const;
  // Copies up to n values of the field's own type; returns the count.
  int Get(long* out, int n) const;
  int Get(float* out, int n) const;
  int Get(const char** out, int n) const;
  // String value i into buf (at most len-1 characters); 1 on success.
  int Get(char* buf, int len, int i) const;
  // Value i alone into out; 1 on success.
  int Get(DBField* out, int i) const;

  // Three-way order: unset first, then by type, then value by value (strings in natural order
  // without case, floats numerically with NaN first), then by count. A strict weak order.
  int Compare(const DBField& b) const;
  // Equality: strings exactly, floats within a relative tolerance of 1e-6 (tested with this
  // field's value as the left side).
  bool operator==(const DBField& b) const;
  bool operator!=(const DBField& b) const { return !(*this == b); }
  // Whether some value lies in [lo, hi].
  bool MatchRange(long lo, long hi) const;
  bool MatchRange(float lo, float hi) const;
  bool MatchRange(const char* lo, const char* hi) const;
  // Every bound pair (value i of lo and hi) must be matched by some value of the field.
  bool MatchRange(const DBField& lo, const DBField& hi) const;
  bool Match(const char* s) const { return MatchRange(s, s); }
  // memhash of the values to nbits bits; several strings combine by exclusive or.
  uint32_t Hash(int nbits) const;
  // Sorts the values in place (taking an owned copy first when needed); 1 when sorted.
  int SortArray();

  // Layout (16 bytes): type, flags, count, reserved zero, then the value or pointer.
  uint8_t dt;   // DBDataType of the values, 0 when unset
  uint8_t fl;   // DBFL* bits
  uint16_t nv;  // number of values, 0 = unset
  uint32_t rsv;
  union {
    int32_t mint;       // one integer
    float mfloat;       // one float
    const char* str;    // one string
    int32_t* aint;      // integer array
    float* afloat;      // float array
    const char** astr;  // string pointer array
    const char* pstr;   // packed string block
    int64_t off;        // offset from the field (DBFLoffset)
    uint64_t bits;
  } v;

 private:
  // Data address with an offset resolved.
  const void* Data() const;
  void MoveFrom(DBField& src);
};

static_assert(sizeof(DBField) == 16, "DBField is 16 bytes");

// Float equality of the database: relative tolerance 1e-6 of a against b (both NaN equal;
// infinities equal). Not symmetric: a is the left side.
bool DBfloatEqual(float a, float b);

// Set operations on multi-valued fields (at most DB_MAXARRAY values each side).
DBField& operator+=(DBField& a, const DBField& b);  // concatenation
DBField& operator|=(DBField& a, const DBField& b);  // union (b's values not in a appended)
DBField& operator&=(DBField& a, const DBField& b);  // intersection (a's values found in b)
DBField& operator-=(DBField& a, const DBField& b);  // difference (a's values not in b)

// Comparators of value arrays for sorting (strict weak orders).
int cmp_int32(const void* a, const void* b);
int cmp_float(const void* a, const void* b);  // NaN first
int cmp_string(const void* a, const void* b);
// Sizes map to na bits and sets bit i for every a[i] equal to some b[j]; returns the count of
// set bits (0, map untouched, when na < 1 or nb < 1).
int arrayMatches(const int32_t* a, int na, ABitMap& map, const int32_t* b, int nb);
int arrayMatches(const float* a, int na, ABitMap& map, const float* b, int nb);
int arrayMatches(const char* const* a, int na, ABitMap& map, const char* const* b, int nb);

// The standard display formatters.
char* DBformatInteger(char* buf, int len, const DBField& field);
char* DBformatFloat(char* buf, int len, const DBField& field);
char* DBformatString(char* buf, int len, const DBField& field);
char* DBformatUnknown(char* buf, int len, const DBField& field);
char* DBformatArray(char* buf, int len, const DBField& field);

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

  int nfields;
  const char* mname[DB_MAXFIELDS];
  int16_t mlexo[DB_MAXFIELDS];
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

// The field array that records share.
struct DBRLink {
  explicit DBRLink(int n);
  ~DBRLink() { Init(0); }
  DBRLink(const DBRLink&) = delete;
  DBRLink& operator=(const DBRLink&) = delete;

  // Releases the fields (unless readonly < 0) and makes n unset ones.
  void Init(int n);
  // Grows a writable array to n fields, keeping the values at their ids.
  void GrowTo(int n);

  DBField* field;  // nfields fields, null when none
  int16_t nfields;
  int16_t readonly;  // 0 writable; -1 fields belong to a record block and are never freed here
  int nlinks;        // records sharing this array
  long ihash;        // cached hash index: -2 not computed, -1 none
};

// One record: a shared field array bound to a schema. Link shares the array; assignment makes
// a deep copy, across schemas by field name.
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
  // Sets the record count; returns n, 0 on failure (the list is then empty).
  int Resize(int n);
  DBRecord& NewRecord();
  int GetSize() const { return nr; }
  const DBFieldInfo* GetFieldInfo() const { return finfo; }
  const DBRecord* GetArray() const { return rl; }
  DBRecord* Array() { return rl; }
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

// Writes s in double quotes with CR, tab, LF, double quote and backslash escaped.
void quoteString(std::ostream* os, const char* s);
// One value column of a text table; floats with 9 significant digits.
std::ostream& operator<<(std::ostream& os, const DBField& f);
// Reads one value column (a value, or a {a,b,...} list of up to DB_MAXARRAY values).
std::istream& operator>>(std::istream& is, DBField& f);

// Queries, header variables, the database header and the paged store.
#include "db/dbquery.h"
#include "db/dbhlink.h"
#include "db/dbheader.h"
#include "db/dbblock.h"
#include "db/dbaccess.h"
