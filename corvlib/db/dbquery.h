// Queries and searches. A search is a chain of selectors (DBQuery), OR-ed together; each
// selector bounds some fields from below (rlo) and above (rhi), AND-ed together. Every record
// has a hash index over its hash-key fields; a selector that pins every hash-key field to one
// value has an exact hash, which lets the paged store skip pages that cannot hold a match.
// DBSearch builds a chain against one database and pulls the matching records out of it.
#pragma once

#include <vector>

#include "db/dbrecord.h"
#include "db/dbrlist.h"
#include "db/dbschema.h"
#include "support/abitmap.h"

class DBAccess;

// Bit length of page and search hash sets: 32,749, the first prime of the table above 31,999.
extern const int DB_HASHSETLEN;

// The first entry of the prime table (largest primes below 2^5 .. 2^23) at or above n; the
// first entry for n <= 31, n itself beyond the table.
unsigned long primeAbove(unsigned long n);

class DBQuery {
 public:
  // Both bound records locked to schema; no next selector, no hash set.
  DBQuery(const DBFieldInfo* schema, bool matchEmpty);
  // A new selector in front of chain q, over q's schemas and with q's matchEmpty.
  explicit DBQuery(DBQuery* q);
  // Deletes the rest of the chain (one query at a time), then the bounds.
  ~DBQuery();
  DBQuery(const DBQuery&) = delete;
  DBQuery& operator=(const DBQuery&) = delete;

  // Attaches map as the chain's set of exact hashes; 1 when attached (every selector has an
  // exact hash and there are two or more), else 0 with map emptied and detached.
  int HashSet(ABitMap* map);
  // The first selector of the chain that a record of hash index h could satisfy, or null.
  const DBQuery* FirstPossible(long h) const;
  // The selector's exact hash, -1 when its bounds do not pin every hash-key field.
  long ExactHash() const;

  DBRecord rlo;      // lower bounds: every set field is a bound
  DBRecord rhi;      // upper bounds at the same ids; unset means "same as rlo"
  bool matchEmpty;   // a record lacking a bounded field still passes that bound
  DBQuery* next;     // the next alternative (owned)
  ABitMap* hashSet;  // the chain's exact-hash set when attached (not owned)
};

// A query chain compiled for the records of one schema: the bound fields of each selector
// mapped to that schema's ids once, so that testing a record touches only its bound fields.
// Match gives the same result as DBRecord::MatchQuery of the chain; the chain must not change
// while the plan is used.
class DBQueryPlan {
 public:
  DBQueryPlan(const DBQuery* q, const DBFieldInfo* schema);
  bool Match(const DBRecord& r) const;
  // The one hash index a record must have to match (a single exact selector), else -1.
  long OnlyHash() const { return onlyHash; }

  // The selectors, in the chain's order. When Separable (every selector has the same
  // matchEmpty), Match(r) is true exactly when MatchSelector(r, i) is for some i, so a caller
  // that knows which selectors cannot hold a record may test only the others.
  size_t Selectors() const { return sels.size(); }
  bool Separable() const { return separable; }
  // Selector i's bounds on the record schema's field k (hi is lo for an exact bound); false
  // when it does not bound k.
  bool Bounds(size_t i, int k, const DBField** lo, const DBField** hi) const;
  // Whether r, a record of the plan's schema, satisfies selector i on its own (hash and bounds).
  bool MatchSelector(const DBRecord& r, size_t i) const;

 private:
  struct Bound {
    int k;  // the record schema's id of the bounded field
    const DBField* lo;
    const DBField* hi;
  };
  struct Sel {
    long exact;
    bool matchEmpty;
    bool possible;  // has a bound and every bounded field exists in the schema
    int first;      // its bounds in bounds[first .. first + count)
    int count;
  };
  bool Passes(const Sel& sel, const DBRecord& r, int nalloc) const;
  const DBQuery* chain;
  const DBFieldInfo* schema;
  const ABitMap* hashSet;
  bool needHash;  // some selector depends on the record's hash index
  long onlyHash;
  bool separable;
  std::vector<Sel> sels;
  std::vector<Bound> bounds;
};

class DBSearch {
 public:
  explicit DBSearch(DBAccess* db = nullptr);
  ~DBSearch() { Clear(); }
  DBSearch(const DBSearch&) = delete;
  DBSearch& operator=(const DBSearch&) = delete;

  // Clears the chain and binds db; true when db has a header.
  bool SetDB(DBAccess* db);
  void Clear();
  const DBQuery* GetQuery() const { return qlist; }

  // Adds a selector over the fields set in lo (bounds [lo, hi], pairs swapped into order);
  // 1 when some field became a bound.
  int AddSelector(const DBRecord& lo, const DBRecord& hi, bool matchEmpty);
  // An exact-match selector.
  int AddSelector(const DBRecord& rec, bool matchEmpty) {
    return AddSelector(rec, rec, matchEmpty);
  }
  // Starts the search over.
  void Reset();
  // The next up to n matching records, continuing where the last call stopped.
  int FindRecords(DBRecord* out, int n);
  // Every matching record into list (from the start); the number found.
  int FindAll(DBRecordList* list);
  // Deletes every matching record; the number deleted.
  int DeleteMatching();

 private:
  DBAccess* dbacc;
  DBQuery* qlist;
  ABitMap ihSet;
  int crpos;
};
