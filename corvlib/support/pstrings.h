// Shared strings, string hashing and string sets. strlink pools equal texts so that they are
// stored once and compare by pointer; memhash hashes bytes to 1..32 bits (its values are stored
// in database and cache files and must never change); PStringSet is a sorted set of pooled
// strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Hash of len bytes (a negative length hashes nothing) to nbits bits (values outside 1 .. 32
// mean 32).
uint32_t memhash(const void* buf, ptrdiff_t len, int nbits);
// The byte-at-a-time form of memhash, kept beside the table-driven one.
uint32_t memhash_plain(const void* buf, ptrdiff_t len, int nbits);

// Pooled copy of s with one more reference: null for null; "" gives one shared, uncounted empty
// text; out of memory gives the constant "OutOfMemory". Never null for a non-null s.
const char* strlink(const char* s);
// Drops one reference of a pooled string (null, "" and "OutOfMemory" are ignored).
void strunlink(const char* s);
// The same for a text known to be pooled (a result of strlink or strrelink still referenced):
// no look-up by value, so nothing else may be passed.
const char* strrelink(const char* pooled);
void strunlinkpooled(const char* pooled);
// Lists the pool: per non-empty bucket "%d:" then " %d(%s)" per text and a line feed.
void strprinttab(FILE* fp);

// Natural order ignoring (ASCII) case: runs of digits compare by value, so "img9" < "img10".
int strcmp_nc(const char* a, const char* b);
// First occurrence of sub in s ignoring case; null when either is null or there is none.
const char* strstr_nc(const char* s, const char* sub);
// Byte-wise comparison by signed bytes with nulls ordered first.
int istrcmp(const char* a, const char* b);

// A sorted set of pooled strings (ascending by signed bytes). The set holds one reference to
// each of its strings.
class PStringSet {
 public:
  PStringSet() = default;
  PStringSet(const PStringSet& other);
  PStringSet& operator=(const PStringSet& other);
  ~PStringSet();

  void Clear();
  // Index of s, or -1.
  int Find(const char* s) const;
  bool InSet(const char* s) const { return Find(s) >= 0; }
  // Adds s; false for null, a string already present or no memory.
  bool Insert(const char* s);
  // Inserts list[n-1] down to list[0]; returns the number inserted.
  int Add(const char* const* list, int n);
  bool Delete(const char* s);
  int GetSize() const { return ns; }
  // The i-th string, null outside 0 .. GetSize()-1.
  const char* operator[](int i) const { return (i >= 0 && i < ns) ? sl[i] : nullptr; }

 private:
  const char** sl = nullptr;  // ascending, followed by a null entry
  int32_t maxs = 0;           // allocated entries
  int32_t ns = 0;             // number of strings
};
