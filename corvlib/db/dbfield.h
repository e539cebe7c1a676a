// Field values of the record database: typed multi-valued values (DBField), their set
// operations, comparators and display formatters, and the text form of one value column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>

class ABitMap;
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

class DBField;

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
  void Clear() {
    // Inline: views and single values, by far the most cleared, own nothing.
    if (nv != 0 && (fl & DBFLowns)) ReleaseOwned();
    dt = 0;
    fl = 0;
    nv = 0;
    rsv = 0;
    v.bits = 0;
  }

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
  // Frees what an owning field points to (Clear's slow part).
  void ReleaseOwned();
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

// Writes s in double quotes with CR, tab, LF, double quote and backslash escaped.
void quoteString(std::ostream* os, const char* s);
// One value column of a text table; floats with 9 significant digits.
std::ostream& operator<<(std::ostream& os, const DBField& f);
// Reads one value column (a value, or a {a,b,...} list of up to DB_MAXVALUES values).
std::istream& operator>>(std::istream& is, DBField& f);
