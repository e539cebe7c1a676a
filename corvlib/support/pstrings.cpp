#include "support/pstrings.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "support/dmessage.h"

// ---------------------------------------------------------------------------------------------
// memhash: each byte, permuted through shuffle[], is rotated into an n-bit ring at a position
// that advances by an increment coprime to n. The values are stored in catalogues and caches.

namespace {

constexpr int kMaxBits = 32;

struct HashTables {
  uint8_t shuffle[256];
  int16_t shiftinc[kMaxBits + 1];
  constexpr HashTables() : shuffle(), shiftinc() {
    for (int i = 0; i < 256; ++i) shuffle[i] = static_cast<uint8_t>((157 * i) & 0xFF);
    for (int n = 1; n <= kMaxBits; ++n) {
      int inc = 11;
      if (n <= 9)
        inc = 1;
      else if (n <= 11)
        inc = 3;
      else if (n <= 14)
        inc = 5;
      else if (n <= 20)
        inc = 7;
      else if (n == 22)
        inc = 13;
      shiftinc[n] = static_cast<int16_t>(inc);
    }
  }
};
constexpr HashTables kHash;

inline int HashWidth(int nbits) {
  return (nbits >= 1 && nbits <= kMaxBits) ? nbits : kMaxBits;
}

// What one byte of value v contributes at ring position s (s < n). No shift reaches 32: the
// right shift n - s is below 8 whenever it runs, and s < n <= 32.
inline uint32_t Contribution(uint32_t v, unsigned s, unsigned n) {
  uint32_t c = v << s;
  if (n < s + 8) c ^= v >> (n - s);
  return c;
}

inline uint32_t MaskTo(uint32_t h, int n) {
  return n == kMaxBits ? h : (h & ((uint32_t{1} << n) - 1));
}

// Per width n: for each ring position s, the contribution of every byte value. The ring
// position of byte k is (k * inc) mod n, which repeats every n bytes (inc is coprime to n), so
// a table row per position within that period turns the loop into independent look-ups.
struct WidthTable {
  uint32_t row[kMaxBits][256];  // row[j]: position j of the period
};
WidthTable* g_width_tables[kMaxBits + 1];
std::once_flag g_width_once[kMaxBits + 1];

const WidthTable* GetWidthTable(int n) {
  std::call_once(g_width_once[n], [n] {
    auto* t = new WidthTable;
    unsigned s = 0;
    const unsigned inc = static_cast<unsigned>(kHash.shiftinc[n]);
    for (int j = 0; j < n; ++j) {
      for (int b = 0; b < 256; ++b)
        t->row[j][b] = Contribution(kHash.shuffle[b], s, static_cast<unsigned>(n));
      s += inc;
      if (s >= static_cast<unsigned>(n)) s -= static_cast<unsigned>(n);
    }
    g_width_tables[n] = t;
  });
  return g_width_tables[n];
}

// Below this length the table set-up is not worth it.
constexpr ptrdiff_t kTableMinLen = 128;

}  // namespace

uint32_t memhash_plain(const void* buf, ptrdiff_t len, int nbits) {
  const int n = HashWidth(nbits);
  if (buf == nullptr || len <= 0) return 0;
  const unsigned un = static_cast<unsigned>(n);
  const unsigned inc = static_cast<unsigned>(kHash.shiftinc[n]);
  const auto* p = static_cast<const uint8_t*>(buf);
  uint32_t h = 0;
  unsigned s = 0;
  for (ptrdiff_t i = 0; i < len; ++i) {
    h ^= Contribution(kHash.shuffle[p[i]], s, un);
    s += inc;
    if (s >= un) s -= un;
  }
  return MaskTo(h, n);
}

uint32_t memhash(const void* buf, ptrdiff_t len, int nbits) {
  const int n = HashWidth(nbits);
  if (buf == nullptr || len <= 0) return 0;
  if (len < kTableMinLen) return memhash_plain(buf, len, n);
  const WidthTable* t = GetWidthTable(n);
  const auto* p = static_cast<const uint8_t*>(buf);
  const ptrdiff_t period = n;
  uint32_t h0 = 0, h1 = 0, h2 = 0, h3 = 0;
  ptrdiff_t i = 0;
  // Whole periods: every period starts again at ring position 0.
  for (; i + period <= len; i += period) {
    const uint8_t* q = p + i;
    int j = 0;
    // Eight bytes per load; the byte order of the load does not matter as each byte is
    // extracted by its own position.
    for (; j + 8 <= n; j += 8) {
      uint64_t w;
      std::memcpy(&w, q + j, 8);
      uint8_t b[8];
      std::memcpy(b, &w, 8);
      h0 ^= t->row[j][b[0]] ^ t->row[j + 4][b[4]];
      h1 ^= t->row[j + 1][b[1]] ^ t->row[j + 5][b[5]];
      h2 ^= t->row[j + 2][b[2]] ^ t->row[j + 6][b[6]];
      h3 ^= t->row[j + 3][b[3]] ^ t->row[j + 7][b[7]];
    }
    for (; j < n; ++j) h0 ^= t->row[j][q[j]];
  }
  for (int j = 0; i < len; ++i, ++j) h0 ^= t->row[j][p[i]];
  return MaskTo(h0 ^ h1 ^ h2 ^ h3, n);
}

// ---------------------------------------------------------------------------------------------
// The string pool.

namespace {

struct PoolNode {
  PoolNode* next;
  uint64_t hash;
  int64_t nref;
  char text[1];  // the text and its NUL, allocated to length
};

// The pool is a chained hash table that doubles when it holds more texts than buckets, so
// look-ups stay short in catalogues of hundreds of thousands of texts. Bucket choice is internal
// (nothing stored depends on it); a multiplicative mix spreads look-alike texts such as dates.
PoolNode** g_stab = nullptr;
size_t g_nbuckets = 0;
size_t g_ntexts = 0;
const char kEmptyText[] = "";
const char kOutOfMemory[] = "OutOfMemory";

uint64_t TextHash(const char* s, size_t n) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, s + i, 8);
    h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
  }
  uint64_t w = 0;
  std::memcpy(&w, s + i, n - i);
  h = (h ^ w) * 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 29;
  return h;
}

inline size_t BucketOf(uint64_t hash) {
  return static_cast<size_t>(hash) & (g_nbuckets - 1);
}

// Makes sure the table exists and has room for one more text; false when out of memory.
bool PoolReserve() {
  if (g_stab != nullptr && g_ntexts < g_nbuckets) return true;
  const size_t nb = g_stab == nullptr ? size_t{1} << 15 : g_nbuckets * 2;
  auto* tab = static_cast<PoolNode**>(std::calloc(nb, sizeof(PoolNode*)));
  if (tab == nullptr) return g_stab != nullptr;  // a full table still works, only slower
  for (size_t b = 0; b < g_nbuckets; ++b) {
    for (PoolNode* nd = g_stab[b]; nd != nullptr;) {
      PoolNode* next = nd->next;
      PoolNode*& head = tab[static_cast<size_t>(nd->hash) & (nb - 1)];
      nd->next = head;
      head = nd;
      nd = next;
    }
  }
  std::free(g_stab);
  g_stab = tab;
  g_nbuckets = nb;
  return true;
}

}  // namespace

const char* strlink(const char* s) {
  if (s == nullptr) return nullptr;
  if (*s == '\0') return kEmptyText;
  if (s == kOutOfMemory) return kOutOfMemory;
  const size_t n = std::strlen(s);
  const uint64_t hash = TextHash(s, n);
  if (!PoolReserve()) {
    DMESSAGE(DMCmemory, "Out of memory in strlink");
    return kOutOfMemory;
  }
  PoolNode*& head = g_stab[BucketOf(hash)];
  for (PoolNode* nd = head; nd != nullptr; nd = nd->next) {
    if (nd->text == s || (nd->hash == hash && std::strcmp(nd->text, s) == 0)) {
      ++nd->nref;
      return nd->text;
    }
  }
  if (n > SIZE_MAX - offsetof(PoolNode, text) - 1) {
    DMESSAGE(DMCmemory, "Out of memory in strlink");
    return kOutOfMemory;
  }
  auto* nd = static_cast<PoolNode*>(std::malloc(offsetof(PoolNode, text) + n + 1));
  if (nd == nullptr) {
    DMESSAGE(DMCmemory, "Out of memory in strlink");
    return kOutOfMemory;
  }
  nd->hash = hash;
  nd->nref = 1;
  std::memcpy(nd->text, s, n + 1);
  nd->next = head;
  head = nd;
  ++g_ntexts;
  return nd->text;
}

void strunlink(const char* s) {
  if (s == nullptr || *s == '\0' || s == kOutOfMemory) return;
  if (g_stab != nullptr) {
    PoolNode** link = &g_stab[BucketOf(TextHash(s, std::strlen(s)))];
    for (; *link != nullptr; link = &(*link)->next) {
      PoolNode* nd = *link;
      if (nd->text != s) continue;
      if (--nd->nref <= 0) {
        *link = nd->next;
        std::free(nd);
        --g_ntexts;
      }
      return;
    }
  }
  DMESSAGE(DMCwarning, "Bogus call to strunlink()");
}

namespace {

PoolNode* NodeOf(const char* pooled) {
  return reinterpret_cast<PoolNode*>(const_cast<char*>(pooled) - offsetof(PoolNode, text));
}

}  // namespace

const char* strrelink(const char* pooled) {
  if (pooled == nullptr || *pooled == '\0' || pooled == kOutOfMemory) return pooled;
  ++NodeOf(pooled)->nref;
  return pooled;
}

void strunlinkpooled(const char* pooled) {
  if (pooled == nullptr || *pooled == '\0' || pooled == kOutOfMemory) return;
  PoolNode* nd = NodeOf(pooled);
  if (--nd->nref > 0) return;
  for (PoolNode** link = &g_stab[BucketOf(nd->hash)]; *link != nullptr; link = &(*link)->next) {
    if (*link != nd) continue;
    *link = nd->next;
    std::free(nd);
    --g_ntexts;
    return;
  }
  DMESSAGE(DMCwarning, "Bogus call to strunlink()");
}

void strprinttab(FILE* fp) {
  if (fp == nullptr) return;
  for (size_t i = 0; i < g_nbuckets; ++i) {
    if (g_stab[i] == nullptr) continue;
    std::fprintf(fp, "%zu:", i);
    for (const PoolNode* nd = g_stab[i]; nd != nullptr; nd = nd->next)
      std::fprintf(fp, " %lld(%s)", static_cast<long long>(nd->nref), nd->text);
    std::fputc('\n', fp);
  }
}

// ---------------------------------------------------------------------------------------------
// Comparisons. Case folding is ASCII only, so multi-byte texts compare byte for byte.

namespace {

inline unsigned char Lower(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}
inline bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

int strcmp_nc(const char* a, const char* b) {
  if (a == b) return 0;
  if (a == nullptr) return -1;
  if (b == nullptr) return 1;
  const char* const a0 = a;
  const char* const b0 = b;
  for (;;) {
    const unsigned char ca = Lower(*a), cb = Lower(*b);
    if (ca == cb) {
      if (ca == 0) return 0;
      ++a, ++b;
      continue;
    }
    if (!IsDigit(*a) && !IsDigit(*b)) return static_cast<int>(ca) - static_cast<int>(cb);
    // Back to the start of each side's run of digits; a side without digits reads 0.
    while (a > a0 && IsDigit(a[-1])) --a;
    while (b > b0 && IsDigit(b[-1])) --b;
    // Compare by value without converting: drop leading zeros, then the longer run is larger,
    // and runs of one length compare digit by digit.
    const char* da = a;
    while (*da == '0') ++da;
    const char* ea = da;
    while (IsDigit(*ea)) ++ea;
    const char* db = b;
    while (*db == '0') ++db;
    const char* eb = db;
    while (IsDigit(*eb)) ++eb;
    const ptrdiff_t la = ea - da, lb = eb - db;
    if (la != lb) return la < lb ? -1 : 1;
    const int c = std::memcmp(da, db, static_cast<size_t>(la));
    if (c != 0) return c < 0 ? -1 : 1;
    // Equal numbers: step past each run (at least one character, never past the end).
    a = ea > a ? ea : (*a != '\0' ? a + 1 : a);
    b = eb > b ? eb : (*b != '\0' ? b + 1 : b);
  }
}

const char* strstr_nc(const char* s, const char* sub) {
  if (s == nullptr || sub == nullptr) return nullptr;
  if (*sub == '\0' || sub == s) return s;
  const unsigned char first = Lower(*sub);
  for (; *s != '\0'; ++s) {
    if (Lower(*s) != first) continue;
    const char* p = s + 1;
    const char* q = sub + 1;
    while (*q != '\0' && Lower(*p) == Lower(*q)) ++p, ++q;
    if (*q == '\0') return s;
    if (*p == '\0') return nullptr;  // the rest of s is shorter than sub
  }
  return nullptr;
}

int istrcmp(const char* a, const char* b) {
  if (a == b) return 0;
  if (a == nullptr) return -1;
  if (b == nullptr) return 1;
  while (*a != '\0' && *a == *b) ++a, ++b;
  return static_cast<int>(static_cast<signed char>(*a)) -
         static_cast<int>(static_cast<signed char>(*b));
}

// ---------------------------------------------------------------------------------------------
// PStringSet

PStringSet::PStringSet(const PStringSet& other) {
  *this = other;
}

PStringSet& PStringSet::operator=(const PStringSet& other) {
  if (this == &other) return *this;
  Clear();
  if (other.ns <= 0) return *this;
  // One entry more than the strings, for the null entry that ends the array.
  auto* arr = static_cast<const char**>(
      std::malloc((static_cast<size_t>(other.ns) + 1) * sizeof(const char*)));
  if (arr == nullptr) {
    DMESSAGE(DMCmemory, "Out of memory in PStringSet::operator=()");
    return *this;
  }
  for (int i = 0; i < other.ns; ++i) arr[i] = strlink(other.sl[i]);
  arr[other.ns] = nullptr;
  sl = arr;
  ns = other.ns;
  maxs = other.ns + 1;
  return *this;
}

PStringSet::~PStringSet() {
  Clear();
}

void PStringSet::Clear() {
  for (int i = 0; i < ns; ++i) strunlink(sl[i]);
  std::free(sl);
  sl = nullptr;
  ns = maxs = 0;
}

int PStringSet::Find(const char* s) const {
  if (s == nullptr || ns <= 0) return -1;
  if (ns < 12) {
    for (int i = ns; i-- > 0;)
      if (sl[i] == s || std::strcmp(sl[i], s) == 0) return i;
    return -1;
  }
  int lo = 0, hi = ns;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (sl[mid] == s) return mid;
    const int c = istrcmp(sl[mid], s);
    if (c == 0) return mid;
    if (c < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return -1;
}

bool PStringSet::Insert(const char* s) {
  if (s == nullptr || Find(s) >= 0) return false;
  if (ns >= maxs - 1) {
    if (maxs > INT32_MAX - 16) {
      DMESSAGE(DMCmemory, "Out of memory in PStringSet::Insert");
      return false;
    }
    // Grown by half again: a set filled one string at a time is not copied over and over.
    const int32_t nmax = maxs > (INT32_MAX - 16) / 3 * 2 ? INT32_MAX : maxs + maxs / 2 + 16;
    auto* arr = static_cast<const char**>(
        std::realloc(sl, static_cast<size_t>(nmax) * sizeof(const char*)));
    if (arr == nullptr) {
      DMESSAGE(DMCmemory, "Out of memory in PStringSet::Insert");
      return false;
    }
    sl = arr;
    maxs = nmax;
  }
  const char* p = strlink(s);
  // After every member that does not sort after it.
  int lo = 0, hi = ns;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (istrcmp(sl[mid], p) > 0)
      hi = mid;
    else
      lo = mid + 1;
  }
  std::memmove(sl + lo + 1, sl + lo, static_cast<size_t>(ns - lo) * sizeof(const char*));
  sl[lo] = p;
  sl[++ns] = nullptr;
  return true;
}

int PStringSet::Add(const char* const* list, int n) {
  if (list == nullptr) return 0;
  int added = 0;
  for (int i = n; i-- > 0;) added += Insert(list[i]) ? 1 : 0;
  return added;
}

bool PStringSet::Delete(const char* s) {
  const int i = Find(s);
  if (i < 0) return false;
  strunlink(sl[i]);
  std::memmove(sl + i, sl + i + 1, static_cast<size_t>(ns - i) * sizeof(const char*));
  --ns;
  sl[ns] = nullptr;
  return true;
}
