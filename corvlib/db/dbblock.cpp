// Record blocks: cell encoding, string area allocation with sharing, checks, deletion,
// compaction and byte-order conversion.
#include "db/dbblock.h"

#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "db/dbdigest.h"
#include "support/abitmap.h"
#include "support/dmessage.h"

namespace {

inline uint32_t Round4(uint32_t n) {
  return (n + 3u) & ~3u;
}

// Bytes from p up to and including the NUL that ends the n-th text, when all n texts end
// before end; 0 otherwise.
uint32_t RunLength(const unsigned char* p, int n, const unsigned char* end) {
  const unsigned char* q = p;
  for (int i = 0; i < n; i++) {
    const void* z = q < end ? memchr(q, 0, static_cast<size_t>(end - q)) : nullptr;
    if (z == nullptr) return 0;
    q = static_cast<const unsigned char*>(z) + 1;
  }
  return static_cast<uint32_t>(q - p);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Cells

int DBFieldS::SetOffsetArray(DBDataType t, int n, const void* data) {
  if (n < 1 || n > DB_MAXVALUES || data == nullptr || (n == 1 && t != DBDTstring)) return 0;
  dt = static_cast<uint8_t>(t);
  nv = static_cast<uint16_t>(n);
  if (t == DBDTstring)
    fl = n == 1 ? DBFLoffset : (DBFLarray | DBFLpacked | DBFLoffset);
  else
    fl = DBFLarray | DBFLoffset;
  v.off = static_cast<int32_t>(static_cast<const unsigned char*>(data) -
                               reinterpret_cast<const unsigned char*>(this));
  return 1;
}

const void* DBFieldS::GetPointer(int i) const {
  if (i < 0 || i >= nv) return nullptr;
  switch (dt) {
    case DBDTint:
    case DBDTfloat:
      if (nv == 1) return &v;
      return DataAddr() + 4 * i;
    case DBDTstring: {
      const char* s = reinterpret_cast<const char*>(DataAddr());
      while (i-- > 0) s += strlen(s) + 1;
      return s;
    }
    default:
      DMESSAGE(DMCparameter, "Botched type in DBFieldS::Get");
      return nullptr;
  }
}

// Shallow decode: the field views the cell's values in place and owns nothing.
DBField& DBField::operator=(const DBFieldS* cell) {
  Clear();
  if (cell == nullptr || cell->nv == 0) return *this;
  if (cell->dt < DBDTint || cell->dt > DBDTstring) {
    DMESSAGE(DMCparameter, "Botched type in DBFieldS assignment");
    return *this;
  }
  if (!cell->HasOffset()) {
    SetView(static_cast<DBDataType>(cell->dt), 1, &cell->v, false);
    return *this;
  }
  const void* data = cell->DataAddr();
  if (!DMASSERT_AS(data != nullptr, "v.ptr != NULL")) return *this;
  SetView(static_cast<DBDataType>(cell->dt), cell->nv, data,
          cell->dt == DBDTstring && cell->nv > 1);
  return *this;
}

// Deep decode: an owning copy (shared strings, copied arrays).
DBField& DBField::operator=(const DBFieldS& cell) {
  if (cell.nv != 0 && cell.dt >= DBDTint && cell.dt <= DBDTstring && cell.HasOffset() &&
      !DMASSERT_AS(cell.DataAddr() != nullptr, "ptr != NULL")) {
    Clear();
    return *this;
  }
  DBField view;
  view = &cell;
  *this = view;
  return *this;
}

// ---------------------------------------------------------------------------------------
// The string run index

uint32_t DBStrIndex::RunHash(const char** strings, int n, uint32_t* t, uint32_t* lens) {
  // Eight bytes at a time, each text with its NUL; the tail word carries its length.
  uint64_t h = 0x9E3779B97F4A7C15ull;
  uint32_t total = 0;
  for (int i = 0; i < n; i++) {
    const char* s = strings[i];
    size_t l = strlen(s) + 1;
    total += static_cast<uint32_t>(l);
    if (lens != nullptr) lens[i] = static_cast<uint32_t>(l);
    size_t k = 0;
    for (; k + 8 <= l; k += 8) {
      uint64_t w;
      memcpy(&w, s + k, 8);
      h = (h ^ w) * 0xFF51AFD7ED558CCDull;
      h ^= h >> 32;
    }
    uint64_t w = 0;
    memcpy(&w, s + k, l - k);
    h = (h ^ w ^ (static_cast<uint64_t>(l - k) << 59)) * 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 29;
  }
  *t = total;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

void DBStrIndex::Grow() {
  std::vector<Entry> old;
  old.swap(slots);
  slots.assign(old.empty() ? 256 : old.size() * 2, Entry{0, 0, 0});
  count = 0;
  for (const Entry& e : old)
    if (e.pos != 0) Insert(e.pos, e.len, e.hash);
}

bool DBStrIndex::WrapsAround() const {
  // Such an entry found every slot from its hash's to the last one taken, and the slots
  // before its own: it lies in the run of taken slots that begins the table.
  const size_t mask = slots.size() - 1;
  for (size_t i = 0; i <= mask && slots[i].pos != 0; i++)
    if ((slots[i].hash & mask) > i) return true;
  return false;
}

void DBStrIndex::Insert(uint32_t pos, uint32_t t, uint32_t h) {
  if ((count + 1) * 2 > slots.size()) Grow();
  size_t mask = slots.size() - 1;
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    Entry& e = slots[i];
    if (e.pos == 0) {
      e = Entry{h, pos, t};
      count++;
      return;
    }
    if (e.pos == pos) return;  // already known
  }
}

uint32_t DBStrIndex::Find(const DBRecordBlock* rb, const char** strings, int n, uint32_t t,
                          uint32_t h, const uint32_t* lens) const {
  if (slots.empty()) return 0;
  size_t mask = slots.size() - 1;
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    const Entry& e = slots[i];
    if (e.pos == 0) return 0;
    if (e.hash != h || e.len != t || e.pos + t > static_cast<uint32_t>(DB_BLOCKSIZE)) continue;
    const char* p = reinterpret_cast<const char*>(rb->b + e.pos);
    bool same = true;
    for (int k = 0; k < n && same; k++) {
      size_t l = lens != nullptr ? lens[k] : strlen(strings[k]) + 1;
      same = memcmp(p, strings[k], l) == 0;
      p += l;
    }
    if (same) return e.pos;
  }
}

void DBStrIndex::Build(const DBRecordBlock* rb) {
  slots.assign(256, Entry{0, 0, 0});
  count = 0;
  valid = true;
  if (rb == nullptr || rb->BasicCheck() == 0) return;
  long ncells = static_cast<long>(rb->NFields()) * rb->NRecords();
  const DBFieldS* c = rb->Cells();
  // Room for every string cell at once, rather than growing as they come.
  size_t nstr = 0;
  for (long i = 0; i < ncells; i++) nstr += c[i].dt == DBDTstring && c[i].nv > 0;
  size_t want = slots.size();
  while (want < 2 * (nstr + 1)) want *= 2;
  if (want > slots.size()) slots.assign(want, Entry{0, 0, 0});
  const unsigned char* lo = rb->End() - rb->StrBytes();
  std::vector<const char*> strs;
  for (long i = 0; i < ncells; i++) {
    if (c[i].dt != DBDTstring || c[i].nv < 1 || (c[i].v.off & 3) != 0) continue;
    const unsigned char* p = c[i].DataAddr();
    if (p < lo || p >= rb->End()) continue;
    uint32_t t = RunLength(p, c[i].nv, rb->End());
    if (t == 0) continue;
    strs.clear();
    const char* s = reinterpret_cast<const char*>(p);
    for (int k = 0; k < c[i].nv; k++) {
      strs.push_back(s);
      s += strlen(s) + 1;
    }
    uint32_t tt;
    uint32_t h = RunHash(strs.data(), c[i].nv, &tt);
    Insert(static_cast<uint32_t>(p - rb->b), tt, h);
  }
}

// ---------------------------------------------------------------------------------------
// Blocks

void DBRecordBlock::Reset() {
  SetMagic(DB_BLOCKMAGIC);
  SetNFields(0);
  SetNRecords(0);
  SetStrBytes(0);
  memset(Data(), 0, DB_DATASIZE);
}

int DBRecordBlock::Estimate(int nfields, int nrecords, uint32_t strbytes) {
  if (nfields < 1) return 0;
  if (nrecords <= 0) return DB_BLOCKCELLS / nfields;
  long long avail = static_cast<long long>(DB_DATASIZE) - strbytes -
                    static_cast<long long>(DB_CELLSIZE) * nrecords * nfields;
  long long per = static_cast<long long>(DB_CELLSIZE) * nfields + strbytes / nrecords;
  if (avail <= 0 || per <= 0) return 0;
  return static_cast<int>(avail / per);
}

const char* DBRecordBlock::StrAlloc(const char** strings, int n, DBStrIndex* index) {
  if (n < 1 || strings == nullptr) return nullptr;
  for (int i = 0; i < n; i++) {
    if (strings[i] == nullptr) {
      DMESSAGE(DMCwarning, "NULL string in StrAlloc");
      strings[i] = "";
    }
  }
  uint32_t t;
  // The lengths are taken once, for the hash, the comparison and the copy.
  uint32_t lensBuf[DB_MAXARRAY];
  uint32_t* lens = n <= DB_MAXARRAY ? lensBuf : nullptr;
  uint32_t h = DBStrIndex::RunHash(strings, n, &t, lens);
  if (index != nullptr) {
    if (!index->Valid()) index->Build(this);
    uint32_t pos = index->Find(this, strings, n, t, h, lens);
    if (pos != 0) return reinterpret_cast<const char*>(b + pos);
  }
  uint32_t r = Round4(t);
  if (static_cast<long>(r) > FreeBytes()) return nullptr;
  SetStrBytes(StrBytes() + r);
  unsigned char* dest = End() - StrBytes();
  unsigned char* p = dest;
  for (int i = 0; i < n; i++) {
    size_t l = lens != nullptr ? lens[i] : strlen(strings[i]) + 1;
    memcpy(p, strings[i], l);
    p += l;
  }
  memset(p, 0, r - t);
  if (index != nullptr) index->Insert(static_cast<uint32_t>(dest - b), t, h);
  return reinterpret_cast<const char*>(dest);
}

namespace {

// Returns 0 after naming the broken rule in *rule (when given).
int Broken(const char** rule, const char* what) {
  if (rule != nullptr) *rule = what;
  return 0;
}

}  // namespace

int DBRecordBlock::BasicCheck(const char** rule) const {
  if (Magic() != DB_BLOCKMAGIC) return Broken(rule, "bad block magic");
  uint16_t nf = Get16(DB_OFF_NFIELDS);
  int nr = NRecords();
  uint32_t sb = StrBytes();
  if (nf > DB_MAXFIELDS) return Broken(rule, "more than 128 fields per row");
  if (nr < 0) return Broken(rule, "negative record count");
  // The string area is a whole number of 4-byte words: everything in it stays aligned.
  if (sb >= 0x80000000u || (sb & 3) != 0) return Broken(rule, "string bytes not a multiple of 4");
  if (nr > 0 && nf == 0) return Broken(rule, "records without fields");
  if (static_cast<long long>(DB_CELLSIZE) * nf * nr + sb > DB_DATASIZE)
    return Broken(rule, "cells and string area overflow the data area");
  return 1;
}

namespace {

// The NUL bytes of a string area, counted back from the block end: a run of n texts that starts
// at p ends inside the block exactly when the n-th NUL from the end lies at or after p. The
// positions are found once per block, as far back as the longest run asks, so checking a cell
// costs one comparison instead of a scan of its texts.
class NulsFromEnd {
 public:
  NulsFromEnd(const unsigned char* lo, const unsigned char* end) : lo_(lo), scan_(end) {}
  // Whether n texts from p all end before the block end.
  bool RunFits(const unsigned char* p, int n, const unsigned char* end) {
    if (n > kKept) return RunLength(p, n, end) != 0;
    while (found_ < n && scan_ > lo_) {
      const void* z = memrchr(lo_, 0, static_cast<size_t>(scan_ - lo_));
      if (z == nullptr) {
        scan_ = lo_;
        break;
      }
      scan_ = static_cast<const unsigned char*>(z);
      pos_[found_++] = scan_;
    }
    return found_ >= n && pos_[n - 1] >= p;
  }

 private:
  static constexpr int kKept = DB_MAXARRAY;
  const unsigned char* lo_;
  const unsigned char* scan_;  // the NULs from scan_ to the end are in pos_
  int found_ = 0;
  const unsigned char* pos_[kKept];
};

}  // namespace

int DBRecordBlock::Consistent(const DBFieldInfo* schema, const char** rule) const {
  if (!BasicCheck(rule)) return 0;
  int nr = NRecords();
  if (nr == 0) return 1;
  int nf = NFields();
  if (schema != nullptr && nf > schema->GetNFields())
    return Broken(rule, "more fields per row than the schema");
  // Each field's rule, looked up once: its schema type (0: any) and whether it takes several
  // values.
  uint8_t ftype[DB_MAXFIELDS];
  bool fmulti[DB_MAXFIELDS];
  for (int f = 0; f < nf; f++) {
    const DBFDetails* d = schema != nullptr ? schema->GetDetails(f) : nullptr;
    ftype[f] = d != nullptr ? static_cast<uint8_t>(d->dtype) : 0;
    fmulti[f] = d != nullptr && (d->flags & DBFDmulti);
  }
  const unsigned char* lo = End() - StrBytes();
  const unsigned char* end = End();
  NulsFromEnd nuls(lo, end);
  const DBFieldS* c = Cells();
  for (int r = 0; r < nr; r++) {
    for (int f = 0; f < nf; f++, c++) {
      if (c->nv == 0) continue;
      if (c->dt < DBDTint || c->dt > DBDTstring) return Broken(rule, "cell of unknown type");
      if (ftype[f] != DBDTunknown) {
        if (c->dt != ftype[f]) return Broken(rule, "cell type differs from the schema");
        if (c->nv > 1 && !fmulti[f]) return Broken(rule, "several values in a single-valued field");
      } else if (c->nv > 1 && !(c->fl & DBFLarray)) {
        return Broken(rule, "several values without the array flag");
      }
      if (!c->HasOffset()) continue;
      if (!(c->fl & DBFLoffset) || (c->fl & DBFLowns))
        return Broken(rule, "data cell without the offset flag or marked owned");
      if ((c->v.off & 3) != 0) return Broken(rule, "data offset not a multiple of 4");
      const unsigned char* p = c->DataAddr();
      if (p < lo || p >= end) return Broken(rule, "data offset outside the string area");
      if (c->dt == DBDTstring) {
        if (c->nv > 1 && !(c->fl & DBFLpacked)) return Broken(rule, "strings not packed");
        if (end - p < c->nv || !nuls.RunFits(p, c->nv, end))
          return Broken(rule, "strings run past the block end");
      } else if (end - p < 4L * c->nv) {
        return Broken(rule, "array runs past the block end");
      }
    }
  }
  return 1;
}

namespace {

// Stores whether the records are readable (when asked) and returns it.
bool Reported(bool* readable, bool whole) {
  if (readable != nullptr) *readable = whole;
  return whole;
}

bool AllZero(const unsigned char* p, const unsigned char* end) {
  for (; p < end && (reinterpret_cast<uintptr_t>(p) & 7) != 0; p++)
    if (*p != 0) return false;
  for (; end - p >= 8; p += 8) {
    uint64_t w;
    memcpy(&w, p, 8);
    if (w != 0) return false;
  }
  for (; p < end; p++)
    if (*p != 0) return false;
  return true;
}

}  // namespace

int DBRecordBlock::ExactLayout(const char** rule, bool* readable) const {
  // The first rule broken is the one told; the checks go on while the records stay readable,
  // so that a later rule that says otherwise is still met.
  bool ok = true;
  bool whole = true;
  auto broke = [&](const char* what, bool recordsReadable) {
    if (ok) Broken(rule, what);
    ok = false;
    if (!recordsReadable) whole = false;
  };
  const int nr = NRecords();
  const int nf = NFields();
  const uint32_t sb = StrBytes();
  const long ncells = static_cast<long>(nf) * nr;
  const unsigned char* lo = End() - sb;
  const unsigned char* cellEnd = Data() + DB_CELLSIZE * ncells;
  if (nr == 0 && (nf != 0 || sb != 0))  // readable when nothing lies behind the numbers
    broke("an empty block with fields or strings", AllZero(Data(), End()));
  if (!AllZero(cellEnd, lo)) {
    // A cell that looks set (a type and a value count) right after the last row belongs to a
    // row the record count no longer names (or to a field count that changed): the counts are
    // damaged. A stray byte is not.
    const long row = DB_CELLSIZE * static_cast<long>(nf > 0 ? nf : 1);
    const long room = (lo - cellEnd) / DB_CELLSIZE;
    const long ncheck = row / DB_CELLSIZE < room ? row / DB_CELLSIZE : room;
    bool lostRow = false;
    for (long i = 0; i < ncheck && !lostRow; i++) {
      DBFieldS cell;
      memcpy(&cell, cellEnd + i * DB_CELLSIZE, sizeof cell);
      lostRow = cell.dt != 0 && cell.nv != 0;
    }
    broke("bytes in the free space after the records", !lostRow);
  }
  if (!whole) return Reported(readable, false);
  // Per 4-byte word of the string area: 1 + the index of the first cell whose data covers it
  // (0: none yet). Data met again through another cell is recognised at its first word and not
  // walked again.
  const uint32_t base = static_cast<uint32_t>(lo - b);
  const uint32_t nwords = sb / 4;
  thread_local std::vector<uint16_t> owner;
  owner.assign(nwords, 0);
  const DBFieldS* cells = Cells();
  const DBFieldS* c = cells;
  for (int r = 0; r < nr; r++) {
    bool any = false;
    for (int f = 0; f < nf; f++, c++) {
      if (c->nv == 0) {
        uint64_t w;
        memcpy(&w, c, sizeof w);
        if (w != 0) broke("an unset cell that is not all zero", true);
        continue;
      }
      any = true;
      // The flags of the cell's stored form, and no others (the records are read by type and
      // count alone).
      const bool data = c->HasOffset();
      const uint8_t stored = !data                 ? 0
                             : c->nv == 1          ? DBFLoffset
                             : c->dt == DBDTstring ? DBFLarray | DBFLpacked | DBFLoffset
                                                   : DBFLarray | DBFLoffset;
      if (c->fl != stored) broke("cell flags other than those of its stored form", true);
      if (!data) continue;
      const uint32_t start = static_cast<uint32_t>(c->DataAddr() - b);
      const uint32_t w0 = (start - base) / 4;
      if (owner[w0] != 0) {
        const DBFieldS& o = cells[owner[w0] - 1];
        if (o.DataAddr() != c->DataAddr() || o.dt != c->dt || o.nv != c->nv)
          broke("cells sharing part of their data", true);
        continue;
      }
      const uint32_t len =
          c->dt == DBDTstring ? RunLength(c->DataAddr(), c->nv, End()) : 4u * c->nv;
      if (len == 0) {
        broke("strings run past the block end", false);
        return Reported(readable, false);
      }
      const uint32_t exact = start + len;
      const uint32_t end = Round4(exact);
      if (!AllZero(b + exact, b + end)) broke("bytes after the end of a run", true);
      const uint16_t me = static_cast<uint16_t>(c - cells + 1);
      bool shared = false;
      for (uint32_t w = w0; w < (end - base) / 4; w++) {
        if (owner[w] != 0) shared = true;
        owner[w] = me;
      }
      if (shared) broke("cells sharing part of their data", true);
    }
    // A row without a value is one the record count names past the records written.
    if (!any) {
      broke("a record without a set field", false);
      return Reported(readable, false);
    }
  }
  // A string area of one word that nothing refers to is left so by compaction.
  if (!(nwords == 1 && owner[0] == 0)) {
    for (uint32_t w = 0; w < nwords; w++)
      if (owner[w] == 0) {
        broke("string area bytes no cell refers to", true);
        break;
      }
  }
  return Reported(readable, whole) && ok ? 1 : 0;
}

uint64_t DBRecordBlock::Digest(uint64_t key) const {
  return DBDigest(b, DB_BLOCKSIZE, key);
}

void DBRecordBlock::DeleteRecords(const ABitMap& marked) {
  int nr = NRecords();
  if (static_cast<long>(marked.Length()) != nr || nr < 0) {
    DMESSAGE(DMCparameter, "Bad call to DBRecordBlock::DeleteRecords");
    return;
  }
  int nf = NFields();
  int kept = 0;
  for (int r = 0; r < nr; r++) {
    if (marked.Check(static_cast<uint32_t>(r))) continue;
    if (kept != r) {
      DBFieldS* src = Row(r);
      DBFieldS* dst = Row(kept);
      for (int f = 0; f < nf; f++) {
        if (src[f].nv > 0 && src[f].HasOffset()) {
          dst[f].SetOffsetArray(static_cast<DBDataType>(src[f].dt), src[f].nv, src[f].DataAddr());
        } else {
          dst[f] = src[f];
        }
      }
    }
    kept++;
  }
  if (kept == 0) {
    Reset();
    return;
  }
  // The rows past the last one kept are no longer cells: clear them.
  memset(Row(kept), 0, static_cast<size_t>(nr - kept) * nf * DB_CELLSIZE);
  SetNRecords(kept);
}

namespace {

// Words of a string area (16,384 at most), one bit each, in 64-bit groups.
constexpr int kAreaWords = DB_DATASIZE / 4;
constexpr int kWordGroups = kAreaWords / 64;

// Set bits of x (without a call where the processor's own count cannot be assumed).
inline uint32_t Pop(uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555ull;
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<uint32_t>((x * 0x0101010101010101ull) >> 56);
}

// Sets bits first..last (inclusive) of bits.
void SetBits(uint64_t* bits, uint32_t first, uint32_t last) {
  uint32_t g = first / 64;
  const uint32_t gl = last / 64;
  uint64_t lowMask = ~0ull << (first % 64);
  const uint64_t highMask = ~0ull >> (63 - last % 64);
  if (g == gl) {
    bits[g] |= lowMask & highMask;
    return;
  }
  bits[g++] |= lowMask;
  for (; g < gl; g++) bits[g] = ~0ull;
  bits[gl] |= highMask;
}

// Whether bits first..last (inclusive) are all set.
bool AllBits(const uint64_t* bits, uint32_t first, uint32_t last) {
  uint32_t g = first / 64;
  const uint32_t gl = last / 64;
  const uint64_t lowMask = ~0ull << (first % 64);
  const uint64_t highMask = ~0ull >> (63 - last % 64);
  if (g == gl) return (bits[g] & lowMask & highMask) == (lowMask & highMask);
  if ((bits[g] & lowMask) != lowMask) return false;
  for (g++; g < gl; g++)
    if (bits[g] != ~0ull) return false;
  return (bits[gl] & highMask) == highMask;
}

// The zero bytes of n bytes from p (n a multiple of 4), one bit each: bit i of nul[i / 64] for
// byte p[i]; the bits past n are clear.
void ZeroBytes(const unsigned char* p, uint32_t n, uint64_t* nul) {
  uint32_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; i + 64 <= n; i += 64) {
    uint64_t m = 0;
    for (int k = 0; k < 4; k++) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16 * k));
      m |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))))
           << (16 * k);
    }
    nul[i / 64] = m;
  }
#endif
  for (; i < n; i += 64) {
    uint64_t m = 0;
    for (uint32_t k = 0; k < 64 && i + k < n; k++) m |= static_cast<uint64_t>(p[i + k] == 0) << k;
    nul[i / 64] = m;
  }
}

// RunLength over the zero-byte bits of an area of nbytes bytes: the bytes from byte i up to and
// including the n-th NUL at or after it, 0 when the area ends first.
uint32_t RunLengthBits(const uint64_t* nul, uint32_t nbytes, uint32_t i, int n) {
  const uint32_t groups = (nbytes + 63) / 64;
  uint32_t g = i / 64;
  uint64_t bits = nul[g] & (~0ull << (i % 64));
  for (;;) {
    for (; bits != 0; bits &= bits - 1)
      if (--n == 0) return g * 64 + static_cast<uint32_t>(__builtin_ctzll(bits)) + 1 - i;
    if (++g >= groups) return 0;
    bits = nul[g];
  }
}

}  // namespace

void DBRecordBlock::Compact(DBStrIndex* index) {
  if (index != nullptr && !index->Valid()) index = nullptr;
  if (!BasicCheck()) {
    if (index != nullptr) index->Invalidate();
    return;
  }
  int nr = NRecords();
  int nf = NFields();
  if (nr == 0) {
    if (nf != 0) Reset();
    if (index != nullptr) index->Invalidate();
    return;
  }
  uint32_t sb = StrBytes();
  if (sb < 5) return;
  const uint32_t nwords = sb / 4;
  const uint32_t ngroups = (nwords + 63) / 64;
  unsigned char* lo = End() - sb;
  // Words of the string area numbered from the data end backward: word w covers the four
  // bytes at End() - 4 (w + 1). A bit for each word that some cell's data covers.
  uint64_t used[kWordGroups];
  memset(used, 0, ngroups * sizeof(uint64_t));
  // The zero bytes of the string area, found once when the first string cell asks: a cell's
  // run length is then a count of bits rather than a scan of its texts.
  uint64_t nul[DB_DATASIZE / 64];
  bool nulKnown = false;
  // The cells with data in the string area, each with the word of its first byte: the only
  // ones to re-point.
  thread_local uint16_t listCell[DB_BLOCKCELLS];
  thread_local uint16_t listWord[DB_BLOCKCELLS];
  uint32_t nlist = 0;
  long ncells = static_cast<long>(nf) * nr;
  DBFieldS* c = Cells();
  for (long i = 0; i < ncells; i++) {
    if (c[i].nv == 0 || !c[i].HasOffset()) continue;
    const unsigned char* p = c[i].DataAddr();
    if (p < lo || p >= End()) {
      DMESSAGE(DMCwarning, "Bad offset pointer in Compact");
      continue;
    }
    const uint32_t last = static_cast<uint32_t>((End() - p - 1) / 4);  // word of the first byte
    listCell[nlist] = static_cast<uint16_t>(i);
    listWord[nlist++] = static_cast<uint16_t>(last);
    uint32_t len;
    if (c[i].dt == DBDTstring) {
      if (!nulKnown) {
        ZeroBytes(lo, sb, nul);
        nulKnown = true;
      }
      len = RunLengthBits(nul, sb, static_cast<uint32_t>(p - lo), c[i].nv);
    } else if (c[i].dt == DBDTint || c[i].dt == DBDTfloat) {
      len = 4u * c[i].nv;
      if (p + len > End()) len = 0;
    } else {
      DMESSAGE(DMCparameter, "Missing type in Compact");
      return;
    }
    if (len == 0) {
      DMESSAGE(DMCwarning, "Illegal size in Compact");
      continue;
    }
    const uint32_t first = static_cast<uint32_t>((End() - (p + len)) / 4);  // word of the last byte
    SetBits(used, first, last);
  }
  // usedBefore[g]: used words in the groups before group g. Used data moves toward the end by
  // the free words between it and the data end.
  uint32_t usedBefore[kWordGroups + 1];
  usedBefore[0] = 0;
  for (uint32_t g = 0; g < ngroups; g++) usedBefore[g + 1] = usedBefore[g] + Pop(used[g]);
  const uint32_t nfree = nwords - usedBefore[ngroups];
  if (nfree == 0) return;
  auto isUsed = [&](uint32_t w) { return (used[w / 64] >> (w % 64)) & 1; };
  auto shift = [&](uint32_t w) {
    return w - usedBefore[w / 64] - Pop(used[w / 64] & ((1ull << (w % 64)) - 1));
  };
  // Move the used words toward the end, the highest addresses first, a run of used words at
  // once: no free word lies within a run, so its words share one shift (and a run never lands
  // on data not moved yet).
  for (uint32_t w = 0; w < nwords;) {
    // The next used word, then the end of its run.
    uint32_t g = w / 64;
    uint64_t bits = used[g] & (~0ull << (w % 64));
    while (bits == 0 && ++g < ngroups) bits = used[g];
    if (bits == 0) break;
    w = g * 64 + static_cast<uint32_t>(__builtin_ctzll(bits));
    uint64_t gaps = ~used[g] & (~0ull << (w % 64));
    while (gaps == 0 && ++g < ngroups) gaps = ~used[g];
    const uint32_t end = gaps == 0 ? nwords : g * 64 + static_cast<uint32_t>(__builtin_ctzll(gaps));
    const uint32_t s = shift(w);
    if (s != 0) {
      unsigned char* from = End() - 4 * end;
      memmove(from + 4 * s, from, 4 * (end - w));
    }
    w = end;
  }
  // Re-point every cell whose data moved.
  for (uint32_t k = 0; k < nlist; k++) {
    const uint32_t w = listWord[k];
    if (!isUsed(w)) continue;
    const uint32_t s = shift(w);
    if (s == 0) continue;
    DBFieldS& cell = c[listCell[k]];
    if (!cell.SetOffsetArray(static_cast<DBDataType>(cell.dt), cell.nv, cell.DataAddr() + 4 * s))
      DMESSAGE(DMCassert, "SetOffsetArray failed in Compact");
  }
  uint32_t nsb = sb - 4 * nfree;
  memset(lo, 0, 4 * nfree);  // the freed bytes hold nothing stale
  SetStrBytes(nsb);
  if (index != nullptr) {
    // A run stays when every word of it is still referenced; it moved with them (no free word
    // lies between them, so they share one shift).
    const long endOff = End() - b;
    index->Remap([&](uint32_t pos, uint32_t len) -> uint32_t {
      if (len == 0 || pos + len > static_cast<uint32_t>(endOff)) return 0;
      long first = (endOff - (pos + len)) / 4;
      long last = (endOff - pos - 1) / 4;
      if (first < 0 || last >= static_cast<long>(nwords)) return 0;
      if (!AllBits(used, static_cast<uint32_t>(first), static_cast<uint32_t>(last))) return 0;
      return pos + 4 * shift(static_cast<uint32_t>(last));
    });
  }
}

void DBRecordBlock::SwapHead() {
  Put16(DB_OFF_MAGIC, DBswap16(Get16(DB_OFF_MAGIC)));
  Put16(DB_OFF_NFIELDS, DBswap16(Get16(DB_OFF_NFIELDS)));
  Put32(DB_OFF_NRECORDS, DBswap32(Get32(DB_OFF_NRECORDS)));
  Put32(DB_OFF_STRBYTES, DBswap32(Get32(DB_OFF_STRBYTES)));
}

int DBRecordBlock::SwapBlock() {
  bool foreign = Magic() == DB_BLOCKMAGICSWAP;
  if (foreign) SwapHead();
  if (!BasicCheck()) {
    DMESSAGE(DMCparameter, "Basic block check failed in SwapBlock");
    return 0;
  }
  long ncells = static_cast<long>(NFields()) * NRecords();
  DBFieldS* c = Cells();
  const unsigned char* lo = End() - StrBytes();
  if (foreign)
    for (long i = 0; i < ncells; i++) c[i].nv = DBswap16(c[i].nv);
  for (long i = 0; i < ncells; i++) {
    DBFieldS& cell = c[i];
    if (cell.nv == 0) continue;
    if (cell.nv > 1 && (cell.dt == DBDTint || cell.dt == DBDTfloat)) {
      if (foreign) cell.v.bits = DBswap32(cell.v.bits);
      const unsigned char* p = cell.DataAddr();
      if ((cell.v.off & 3) != 0 || p < lo || p >= End() || End() - p < 4L * cell.nv) {
        DMESSAGE(DMCparameter, "Bad offset in SwapBlock");
        return 0;
      }
      unsigned char* q = const_cast<unsigned char*>(p);
      for (int k = 0; k < cell.nv; k++, q += 4) {
        uint32_t x;
        memcpy(&x, q, 4);
        x = DBswap32(x);
        memcpy(q, &x, 4);
      }
      if (!foreign) cell.v.bits = DBswap32(cell.v.bits);
    } else if (cell.nv > 1 && cell.dt != DBDTstring) {
      DMESSAGE(DMCparameter, "Unknown array type in SwapBlock");
      return 0;
    } else if (cell.dt < DBDTint || cell.dt > DBDTstring) {
      DMESSAGE(DMCparameter, "Unknown data type in SwapBlock");
      return 0;
    } else {
      cell.v.bits = DBswap32(cell.v.bits);
    }
  }
  if (!foreign) {
    for (long i = 0; i < ncells; i++) c[i].nv = DBswap16(c[i].nv);
    SwapHead();
  }
  return 1;
}
