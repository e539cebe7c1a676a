// Header variables: a list of named values read from and written to a small line-oriented
// text of assignments ("Name = value"), with brace sub-blocks ("Name = {" ... "} // Name").
// It is the text header of every database file and the preferences file's syntax. The list
// never owns the values' storage: each variable points at memory of the object declaring it.
#pragma once

#include <iosfwd>

#include "db/dbfield.h"

// Callbacks of an opaque (sub-block) variable. The writer returns the number of items
// written, the reader the number read; a negative result means failure.
typedef int (*DBHWriteFunc)(void* o, std::ostream* os, int level);
typedef int (*DBHReadFunc)(void* o, std::istream* is);

class DBHeaderLink {
 public:
  // An int variable over n slots.
  DBHeaderLink(const char* name, int* values, int n, DBHeaderLink* next);
  // A float variable over n slots.
  DBHeaderLink(const char* name, float* values, int n, DBHeaderLink* next);
  // A string variable over a buffer of maxlen bytes (values back to back, NUL-terminated).
  DBHeaderLink(const char* name, char* buffer, int maxlen, DBHeaderLink* next);
  // An opaque sub-block read and written by callbacks; budget is its text budget in bytes.
  DBHeaderLink(const char* name, void* o, DBHWriteFunc wrt, DBHReadFunc rdr, int budget,
               DBHeaderLink* next);
  // Destroys the rest of the list too.
  ~DBHeaderLink();
  DBHeaderLink(const DBHeaderLink&) = delete;
  DBHeaderLink& operator=(const DBHeaderLink&) = delete;

  // Marks every variable of the list unset (the stored values stay).
  void Clear();
  DBHeaderLink* FindVar(const char* name);
  const DBHeaderLink* GetVar(const char* name) const;
  // Total values set over the list; -1 when any variable is in the error state.
  int GetNSet() const;
  // Text budget of the list in bytes.
  int GetMaxLength() const;

  // Append a value to the variable whose storage begins at the given address.
  int SetVal(int* storage, int value);
  int SetVal(float* storage, float value);
  int SetVal(char* buffer, const char* value);

  // Recent-value lists in string variables (this variable).
  int InsertSVal(const char* value, int i);
  int DeleteSVal(int i);
  const char* GetSVal(int i) const;
  static const char* GetSVal(const char* buffer, int i);
  int FindSVal(const char* value) const;

  // Reading text.
  int ScanVars(std::istream* is);
  DBHeaderLink* ScanVar(std::istream* is);
  static char* ScanVarName(char* buf, int len, std::istream* is);
  int ReadVal(std::istream* is);
  static void SkipVal(std::istream* is);

  // Writing text; results count the values written, negative on failure.
  int WriteVar(std::ostream* os, int level) const;
  int WriteVars(std::ostream* os, int level) const;

  const char* Name() const { return vname; }
  DBDataType Type() const { return vtype; }
  int MaxLen() const { return maxlen; }
  int NSet() const { return nset; }
  // Sets the count of values set, so that an owner can mark a variable (an int, or a
  // sub-block whose values live in its object) to be written or not; string variables
  // keep theirs through SetVal, InsertSVal and DeleteSVal.
  void SetNSet(int n) { nset = n; }
  DBHeaderLink* Next() const { return next; }

 private:
  friend class DBHeader;  // marks its own variables set or unset
  // The parts every kind of variable shares; the storage link is set by the caller.
  DBHeaderLink(const char* name, DBDataType type, int max, DBHeaderLink* next);
  DBHeaderLink* FindKind(DBDataType t, const void* storage);
  int StringBytes() const;  // bytes taken by the nset values with their NULs
  int ReadNumbers(const char* line);
  int ReadStrings(const char* line, std::istream* is);

  const char* vname;
  DBDataType vtype;
  int maxlen;
  int nset;
  union {
    int* ival;
    float* fval;
    char* sval;
  } link;
  void* op_o;
  DBHWriteFunc op_wrt;
  DBHReadFunc op_rdr;
  DBHeaderLink* next;
};

// Consumes characters while they equal the literal's; true when the whole literal matched.
bool MatchInput(std::istream* is, const char* literal);
