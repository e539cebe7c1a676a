// Record blocks: the fixed 65,548-byte blocks that follow a database file's text header.
// All numbers are in the byte order the header names; while a block is resident it is held in
// host order and swapped explicitly on the way in and out.
//
//   block (65,548 bytes)
//   offset  size    what
//        0       2  magic 0x1A72                                     DB_OFF_MAGIC
//        2       2  fields per record row F, 0..128 (0: no records)  DB_OFF_NFIELDS
//        4       4  records N                                        DB_OFF_NRECORDS
//        8       4  string bytes S, a multiple of 4                  DB_OFF_STRBYTES
//       12  65,536  data area                                        DB_BLOCKHEAD
//                   N rows of F cells from its front (8 x F x N bytes), the string area
//                   (S bytes) at its back, zeros between; 8FN + S <= 65,536
//
//   cell (8 bytes)
//        0       1  type (DBDataType); 0 with all bytes 0 in an unset cell
//        1       1  flags: DBFLarray, DBFLpacked, DBFLoffset; never DBFLowns
//        2       2  value count; 0 = unset
//        4       4  one int or float, or for several values and for any string the byte
//                   offset from the cell's first byte to its data: a multiple of 4 that
//                   lands in the string area; strings are NUL-terminated texts back to back
//                   (DBFLpacked when several), arrays 4 bytes a value
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "db/dbfield.h"
#include "db/dbschema.h"

class ABitMap;

constexpr int DB_BLOCKSIZE = 65548;  // bytes of one block in the file and in memory
constexpr int DB_BLOCKHEAD = 12;     // magic, field count, record count, string bytes
constexpr int DB_DATASIZE = 65536;   // the data area
constexpr int DB_CELLSIZE = 8;       // one stored field cell
constexpr int DB_BLOCKCELLS = DB_DATASIZE / DB_CELLSIZE;  // 8,192 cells at most
constexpr uint16_t DB_BLOCKMAGIC = 0x1A72;
constexpr uint16_t DB_BLOCKMAGICSWAP = 0x721A;  // the magic read in the other byte order

// Offsets of the numbers of the block head.
constexpr int DB_OFF_MAGIC = 0;
constexpr int DB_OFF_NFIELDS = 2;
constexpr int DB_OFF_NRECORDS = 4;
constexpr int DB_OFF_STRBYTES = 8;

// One stored field cell (8 bytes, fixed layout): type, flags, value count, and the value of a
// single int or float or the byte offset from the cell's first byte to its data in the string
// area.
struct DBFieldS {
  uint8_t dt;   // DBDataType; 0 only in unset cells
  uint8_t fl;   // DBFLarray, DBFLpacked, DBFLoffset (never DBFLowns)
  uint16_t nv;  // value count; 0 = unset (the whole cell zero)
  union {
    int32_t mint;
    float mfloat;
    int32_t off;
    uint32_t bits;
  } v;

  // Whether the cell refers to data in the string area (several values, or one string).
  bool HasOffset() const { return nv >= 2 || (nv == 1 && dt == DBDTstring); }
  const unsigned char* DataAddr() const {
    return reinterpret_cast<const unsigned char*>(this) + v.off;
  }
  // Makes the cell refer to n values at data inside the same block; 0 (unchanged) for n < 1,
  // a single int or float, or a null address.
  int SetOffsetArray(DBDataType t, int n, const void* data);
  // Address of value i, null when i is outside 0..nv-1.
  const void* GetPointer(int i) const;
};

static_assert(sizeof(DBFieldS) == DB_CELLSIZE, "a stored cell is 8 bytes");
static_assert(offsetof(DBFieldS, nv) == 2 && offsetof(DBFieldS, v) == 4, "cell layout");

class DBStrIndex;

// A block in memory: exactly the stored bytes, numbers in host order while resident.
struct DBRecordBlock {
  uint16_t Magic() const { return Get16(DB_OFF_MAGIC); }
  int NFields() const { return static_cast<int16_t>(Get16(DB_OFF_NFIELDS)); }
  int NRecords() const { return static_cast<int32_t>(Get32(DB_OFF_NRECORDS)); }
  uint32_t StrBytes() const { return Get32(DB_OFF_STRBYTES); }
  void SetMagic(uint16_t m) { Put16(DB_OFF_MAGIC, m); }
  void SetNFields(int n) { Put16(DB_OFF_NFIELDS, static_cast<uint16_t>(n)); }
  void SetNRecords(int n) { Put32(DB_OFF_NRECORDS, static_cast<uint32_t>(n)); }
  void SetStrBytes(uint32_t n) { Put32(DB_OFF_STRBYTES, n); }

  unsigned char* Data() { return b + DB_BLOCKHEAD; }
  const unsigned char* Data() const { return b + DB_BLOCKHEAD; }
  unsigned char* End() { return b + DB_BLOCKSIZE; }
  const unsigned char* End() const { return b + DB_BLOCKSIZE; }
  DBFieldS* Cells() { return reinterpret_cast<DBFieldS*>(b + DB_BLOCKHEAD); }
  const DBFieldS* Cells() const { return reinterpret_cast<const DBFieldS*>(b + DB_BLOCKHEAD); }
  DBFieldS* Row(int r) { return Cells() + static_cast<long>(r) * NFields(); }
  // Bytes between the cells and the string area.
  long FreeBytes() const {
    return static_cast<long>(DB_DATASIZE) -
           static_cast<long>(DB_CELLSIZE) * NFields() * NRecords() - static_cast<long>(StrBytes());
  }

  // Makes the block empty: magic, zero counts, zero data area.
  void Reset();
  // Places n strings as one run in the string area (or reuses an equal run that the index
  // knows of); returns its address, null when it does not fit.
  const char* StrAlloc(const char** strings, int n, DBStrIndex* index = nullptr);
  // The numbers of the block head are sane and cells plus string area fit; 1 when they are.
  // When not, *rule (if given) names the rule of the table above that the block broke.
  int BasicCheck(const char** rule = nullptr) const;
  // Every check of the block, against a schema when one is given; 1 when it passes, else 0
  // with the broken rule in *rule (if given).
  int Consistent(const DBFieldInfo* schema, const char** rule = nullptr) const;
  // Whether a block that passed Consistent holds exactly what its counts say, as the database
  // writes its blocks: an empty block is all zero, every row has a set cell, a set cell has
  // the flags of its stored form and an unset one is all zero, the bytes between
  // the rows and the string area are zero, and the data the cells refer to tiles the string
  // area (cells that share data share all of it; the bytes after a run's end up to the next
  // 4-byte word are zero). A count changed by damage breaks one of these. 1 when they hold,
  // else 0 with the first broken rule in *rule (if given). *readable (if given) tells whether
  // the records the counts name can still be read as they stand: false when the counts
  // themselves look damaged (rows of zeros, cells of further rows after the last), true when
  // only bytes beside the records or flag bits that reading ignores broke a rule (a value may
  // be changed, as by any flipped byte that breaks no rule).
  int ExactLayout(const char** rule = nullptr, bool* readable = nullptr) const;
  // Removes the marked records from the cell area (the string area stays until Compact).
  void DeleteRecords(const ABitMap& marked);
  // Rebuilds the string area with only the data still referenced. A valid index of the
  // block's string runs follows the runs that stay and forgets the others.
  void Compact(DBStrIndex* index = nullptr);
  // Converts between host and the other byte order, in either direction; 1 on success.
  int SwapBlock();
  // A keyed 64-bit digest of the whole block (db/dbdigest.h): with a key secret to the
  // process, equal digests mean equal bytes for any block not made knowing the key.
  uint64_t Digest(uint64_t key) const;
  // Free-record estimate of a block with F fields, N records and S string bytes.
  static int Estimate(int nfields, int nrecords, uint32_t strbytes);

  unsigned char b[DB_BLOCKSIZE];

 private:
  // Swaps the four numbers of the block head alone.
  void SwapHead();
  uint16_t Get16(int o) const {
    uint16_t x;
    __builtin_memcpy(&x, b + o, 2);
    return x;
  }
  uint32_t Get32(int o) const {
    uint32_t x;
    __builtin_memcpy(&x, b + o, 4);
    return x;
  }
  void Put16(int o, uint16_t x) { __builtin_memcpy(b + o, &x, 2); }
  void Put32(int o, uint32_t x) { __builtin_memcpy(b + o, &x, 4); }
};

static_assert(sizeof(DBRecordBlock) == DB_BLOCKSIZE, "a block is 65,548 bytes");

// The string runs of one block, found by content, so that a run repeated in several records
// is stored once. Only string cells are indexed: the bytes of numeric arrays are never reused
// as text, so every run keeps its meaning when the block changes byte order.
class DBStrIndex {
 public:
  bool Valid() const { return valid; }
  void Invalidate() {
    valid = false;
    count = 0;
  }
  // Indexes every string run the block's cells refer to.
  void Build(const DBRecordBlock* rb);
  // Block offset of a run equal to the n strings (total bytes with NULs t, hash h), 0 if none;
  // lens, when given, holds each string's bytes with its NUL.
  uint32_t Find(const DBRecordBlock* rb, const char** strings, int n, uint32_t t, uint32_t h,
                const uint32_t* lens = nullptr) const;
  void Insert(uint32_t pos, uint32_t t, uint32_t h);
  // Hash of n strings with their NULs; *t receives their byte total and lens (when given) each
  // string's bytes with its NUL.
  static uint32_t RunHash(const char** strings, int n, uint32_t* t, uint32_t* lens = nullptr);
  // Runs moved by a compaction: each run's new offset is moved(its offset, its bytes), 0 for
  // a run that went. The table ends as if the runs that stay were inserted afresh in the
  // order of their slots, but in place: a run's slot depends on its hash alone, so while no
  // run has gone every run keeps its slot, and after that each run that stays probes again
  // from its hash's slot among the slots already done (it lands at or before its own; no two
  // runs of one chain share an offset, offsets only move, so none is met as already known). A
  // chain that wraps past the last slot would meet slots not yet done: then the table is
  // made anew.
  template <class Moved>
  void Remap(Moved moved) {
    const size_t n = slots.size();
    if (n % 64 != 0 || (n != 0 && slots[n - 1].pos != 0 && WrapsAround())) {
      RemapAfresh(moved);
      return;
    }
    const size_t mask = n - 1;
    uint32_t kept = 0;
    bool gone = false;
    // The table is a whole number of 64-slot groups; the taken slots of a group are found
    // before any of them is done (a run probed again lands at or before its own slot, in a slot
    // already done).
    for (size_t base = 0; base < n; base += 64) {
      uint64_t taken = 0;
      for (size_t k = 0; k < 64; k++) taken |= static_cast<uint64_t>(slots[base + k].pos != 0) << k;
      for (; taken != 0; taken &= taken - 1) {
        const size_t s = base + static_cast<size_t>(__builtin_ctzll(taken));
        const Entry e = slots[s];
        const uint32_t pos = moved(e.pos, e.len);
        // A run at its hash's own slot lands there again.
        if (pos != 0 && (!gone || (e.hash & mask) == s)) {
          slots[s].pos = pos;
          kept++;
          continue;
        }
        gone = true;
        slots[s] = Entry{0, 0, 0};
        if (pos == 0) continue;
        for (size_t i = e.hash & mask;; i = (i + 1) & mask) {
          Entry& to = slots[i];
          if (to.pos == 0) {
            to = Entry{e.hash, pos, e.len};
            kept++;
            break;
          }
          if (to.pos == pos) break;  // already known
        }
      }
    }
    count = kept;
  }
  // Heap bytes the index holds.
  size_t Bytes() const { return slots.capacity() * sizeof(Entry); }

 private:
  struct Entry {
    uint32_t hash;
    uint32_t pos;  // block offset of the run; 0 = empty slot
    uint32_t len;
  };
  void Grow();
  // Whether an entry sits before the slot of its hash, its chain wrapped past the last slot.
  bool WrapsAround() const;
  template <class Moved>
  void RemapAfresh(Moved moved) {
    std::vector<Entry> old;
    old.swap(slots);
    slots.assign(old.size(), Entry{0, 0, 0});
    count = 0;
    for (const Entry& e : old) {
      if (e.pos == 0) continue;
      const uint32_t pos = moved(e.pos, e.len);
      if (pos != 0) Insert(pos, e.len, e.hash);
    }
  }

  std::vector<Entry> slots;
  uint32_t count = 0;
  bool valid = false;
};

// Byte order helpers.
inline uint16_t DBswap16(uint16_t x) {
  return static_cast<uint16_t>((x >> 8) | (x << 8));
}
inline uint32_t DBswap32(uint32_t x) {
  return __builtin_bswap32(x);
}
