// Field values: ordering, equality, range matching, hashing, sorting and the set operations.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "db/dbfield.h"
#include "db/dbfieldpriv.h"
#include "support/abitmap.h"
#include "support/dmessage.h"
#include "support/pstrings.h"

bool DBfloatEqual(float a, float b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  if (std::fabs(a) > dbpriv::kFloatMax) return std::fabs(b) > dbpriv::kFloatMax;
  const double d = (b != 0.0f) ? static_cast<double>(a) / b - 1.0 : static_cast<double>(a);
  return d >= -1e-6 && d <= 1e-6;
}

// ---- ordering and equality ------------------------------------------------------------------

int DBField::Compare(const DBField& b) const {
  if (this == &b) return 0;
  if (b.nv == 0) return nv;
  if (nv == 0) return -1;
  if (dt != b.dt) return static_cast<int>(dt) - static_cast<int>(b.dt);
  int m = nv < b.nv ? nv : b.nv;
  switch (dt) {
    case DBDTstring: {
      if (m > DB_MAXARRAY) {
        DMESSAGE(DMCparameter, "Too many strings in field compare");
        m = DB_MAXARRAY;
      }
      if (m == 1) {
        const int r = strcmp_nc(static_cast<const char*>(GetPointer(0)),
                                static_cast<const char*>(b.GetPointer(0)));
        if (r != 0) return r;
        break;
      }
      const char* sa[DB_MAXARRAY];
      const char* sb[DB_MAXARRAY];
      Get(sa, m);
      b.Get(sb, m);
      for (int i = 0; i < m; i++) {
        const int r = strcmp_nc(sa[i], sb[i]);
        if (r != 0) return r;
      }
      break;
    }
    case DBDTint: {
      const int32_t* pa = static_cast<const int32_t*>(GetPointer(0));
      const int32_t* pb = static_cast<const int32_t*>(b.GetPointer(0));
      if (pa == pb) return 0;
      if (pa == nullptr || pb == nullptr) return (pa != nullptr) - (pb != nullptr);
      for (int i = 0; i < m; i++)
        if (pa[i] != pb[i]) return pa[i] > pb[i] ? 1 : -1;
      break;
    }
    case DBDTfloat: {
      // Exact order (NaN first) so that sorting sees a strict weak order; equality keeps
      // its tolerance.
      const float* pa = static_cast<const float*>(GetPointer(0));
      const float* pb = static_cast<const float*>(b.GetPointer(0));
      if (pa == pb) return 0;
      if (pa == nullptr || pb == nullptr) return (pa != nullptr) - (pb != nullptr);
      for (int i = 0; i < m; i++) {
        const int r = dbpriv::floatOrder(pa[i], pb[i]);
        if (r != 0) return r;
      }
      break;
    }
    default:
      DMESSAGE(DMCparameter, "Unknown data type in field compare");
      return 0;
  }
  return static_cast<int>(nv) - static_cast<int>(b.nv);
}

static bool sameString(const char* a, const char* b) {
  if (a == b) return true;
  if (a == nullptr || b == nullptr) return false;
  return std::strcmp(a, b) == 0;
}

bool DBField::operator==(const DBField& b) const {
  if (this == &b) return true;
  if (nv != b.nv) return false;
  if (nv == 0) return true;
  if (dt != b.dt) return false;
  switch (dt) {
    case DBDTint: {
      const int32_t* pa = static_cast<const int32_t*>(GetPointer(0));
      const int32_t* pb = static_cast<const int32_t*>(b.GetPointer(0));
      if (pa == pb) return true;
      if (pa == nullptr || pb == nullptr) return false;
      return std::memcmp(pa, pb, sizeof(int32_t) * nv) == 0;
    }
    case DBDTfloat: {
      const float* pa = static_cast<const float*>(GetPointer(0));
      const float* pb = static_cast<const float*>(b.GetPointer(0));
      if (pa == pb) return true;
      if (pa == nullptr || pb == nullptr) return false;
      for (int i = 0; i < nv; i++)
        if (!DBfloatEqual(pa[i], pb[i])) return false;
      return true;
    }
    case DBDTstring: {
      int n = nv;
      if (n > DB_MAXARRAY) {
        DMESSAGE(DMCparameter, "Too many strings in field compare");
        n = DB_MAXARRAY;
      }
      if (n == 1)
        return sameString(static_cast<const char*>(GetPointer(0)),
                          static_cast<const char*>(b.GetPointer(0)));
      const char* sa[DB_MAXARRAY];
      const char* sb[DB_MAXARRAY];
      if (Get(sa, n) != n || b.Get(sb, n) != n) return false;
      for (int i = 0; i < n; i++)
        if (!sameString(sa[i], sb[i])) return false;
      return true;
    }
    default:
      DMESSAGE(DMCparameter, "Unknown data type in field compare");
      return false;
  }
}

// ---- range matching -------------------------------------------------------------------------

bool DBField::MatchRange(long lo, long hi) const {
  if (nv == 0 || dt != DBDTint) return false;
  const int32_t* ip = static_cast<const int32_t*>(GetPointer(0));
  if (!DMASSERT(ip != NULL)) return false;
  for (int i = 0; i < nv; i++)
    if (ip[i] >= lo && ip[i] <= hi) return true;
  return false;
}

bool DBField::MatchRange(float lo, float hi) const {
  if (nv == 0 || dt != DBDTfloat) return false;
  const float* fp = static_cast<const float*>(GetPointer(0));
  if (!DMASSERT(fp != NULL)) return false;
  if (DBfloatEqual(lo, hi)) {
    float e = std::fabs(lo + hi) * 1e-6f;
    if (e == 0.0f) e = 1e-16f;
    lo -= e;
    hi += e;
  }
  for (int i = 0; i < nv; i++)
    if (lo <= fp[i] && fp[i] <= hi) return true;
  return false;
}

bool DBField::MatchRange(const char* lo, const char* hi) const {
  if (nv == 0 || dt != DBDTstring || lo == nullptr || hi == nullptr) return false;
  const char* cp = static_cast<const char*>(GetPointer());
  if (!DMASSERT(cp != NULL)) return false;
  const char* one[1];
  const char* const* s = one;
  int n = nv;
  const char* sa[DB_MAXARRAY];
  if (n == 1) {
    one[0] = static_cast<const char*>(GetPointer(0));
  } else {
    if (n > DB_MAXARRAY) n = DB_MAXARRAY;
    n = Get(sa, n);
    s = sa;
  }
  for (int i = 0; i < n; i++) {
    if (s[i] == nullptr) continue;
    if (lo == hi) {
      if (strcmp_nc(s[i], lo) == 0) return true;
    } else if (strcmp_nc(lo, s[i]) <= 0 && strcmp_nc(s[i], hi) <= 0) {
      return true;
    }
  }
  return false;
}

bool DBField::MatchRange(const DBField& lo, const DBField& hi) const {
  if (nv == 0 || lo.nv == 0 || hi.nv == 0 || lo.nv != hi.nv) return false;
  if (dt != lo.dt || dt != hi.dt) return false;
  int n = lo.nv;
  switch (dt) {
    case DBDTint:
      for (int i = 0; i < n; i++)
        if (!MatchRange(lo.GetInt(i), hi.GetInt(i))) return false;
      return true;
    case DBDTfloat:
      for (int i = 0; i < n; i++)
        if (!MatchRange(lo.GetFloat(i), hi.GetFloat(i))) return false;
      return true;
    case DBDTstring: {
      if (n > DB_MAXARRAY) n = DB_MAXARRAY;
      const char* sl[DB_MAXARRAY];
      const char* sh[DB_MAXARRAY];
      if (lo.Get(sl, n) != n || hi.Get(sh, n) != n) return false;
      for (int i = 0; i < n; i++)
        if (!MatchRange(sl[i], sh[i])) return false;
      return true;
    }
    default:
      DMESSAGE(DMCparameter, "Unknown data type in range match");
      return false;
  }
}

// ---- hashing and sorting --------------------------------------------------------------------

uint32_t DBField::Hash(int nbits) const {
  if (nv == 0) return 0;
  switch (dt) {
    case DBDTint:
    case DBDTfloat: {
      const void* p = GetPointer(0);
      return p ? memhash(p, static_cast<ptrdiff_t>(sizeof(int32_t)) * nv, nbits) : 0;
    }
    case DBDTstring: {
      if (nv == 1) {
        const char* s = static_cast<const char*>(GetPointer(0));
        return s ? memhash(s, static_cast<ptrdiff_t>(std::strlen(s)), nbits) : 0;
      }
      uint32_t h = 0;
      if (fl & DBFLpacked) {
        const char* s = static_cast<const char*>(GetPointer());
        for (int i = 0; s != nullptr && i < nv; i++, s = dbpriv::nextPacked(s))
          h ^= memhash(s, static_cast<ptrdiff_t>(std::strlen(s)), nbits);
      } else {
        const char* const* a = static_cast<const char* const*>(GetPointer());
        for (int i = 0; a != nullptr && i < nv; i++)
          if (a[i] != nullptr) h ^= memhash(a[i], static_cast<ptrdiff_t>(std::strlen(a[i])), nbits);
      }
      return h;
    }
    default:
      DMESSAGE(DMCparameter, "Botched type in DBField::GetHash");
      return 0;
  }
}

int cmp_int32(const void* a, const void* b) {
  const int32_t x = *static_cast<const int32_t*>(a), y = *static_cast<const int32_t*>(b);
  return (x > y) - (x < y);
}

int cmp_float(const void* a, const void* b) {
  return dbpriv::floatOrder(*static_cast<const float*>(a), *static_cast<const float*>(b));
}

int cmp_string(const void* a, const void* b) {
  const signed char* x = *static_cast<const signed char* const*>(a);
  const signed char* y = *static_cast<const signed char* const*>(b);
  if (x == y) return 0;
  if (x == nullptr) return -1;
  if (y == nullptr) return 1;
  while (*x != 0 && *x == *y) {
    x++;
    y++;
  }
  return (*x > *y) - (*x < *y);
}

int DBField::SortArray() {
  if (nv == 0) return 0;
  if (dt != DBDTint && dt != DBDTfloat && dt != DBDTstring) {
    DMESSAGE(DMCparameter, "Botched type in DBField::SortArray");
    return 0;
  }
  if (nv == 1) return 1;
  if ((fl & (DBFLarray | DBFLowns | DBFLpacked | DBFLoffset)) != (DBFLarray | DBFLowns)) {
    DBField own(*this);
    *this = std::move(own);
    if (nv < 2 || !(fl & DBFLowns)) return nv > 0;
  }
  switch (dt) {
    case DBDTint:
      std::qsort(v.aint, nv, sizeof(int32_t), cmp_int32);
      break;
    case DBDTfloat:
      std::qsort(v.afloat, nv, sizeof(float), cmp_float);
      break;
    default:
      std::qsort(v.astr, nv, sizeof(const char*), cmp_string);
      break;
  }
  return 1;
}

// ---- set operations -------------------------------------------------------------------------

namespace {

template <class T, class Eq>
int matchArrays(const T* a, int na, ABitMap& map, const T* b, int nb, Eq eq) {
  if (na < 1 || nb < 1) return 0;
  map.NewBitMap(static_cast<uint32_t>(na), false);
  int count = 0;
  for (int i = 0; i < na; i++) {
    for (int j = 0; j < nb; j++) {
      if (eq(a[i], b[j])) {
        map.Set(static_cast<uint32_t>(i));
        count++;
        break;
      }
    }
  }
  return count;
}

}  // namespace

int arrayMatches(const int32_t* a, int na, ABitMap& map, const int32_t* b, int nb) {
  return matchArrays(a, na, map, b, nb, [](int32_t x, int32_t y) { return x == y; });
}

int arrayMatches(const float* a, int na, ABitMap& map, const float* b, int nb) {
  return matchArrays(a, na, map, b, nb, DBfloatEqual);
}

int arrayMatches(const char* const* a, int na, ABitMap& map, const char* const* b, int nb) {
  return matchArrays(a, na, map, b, nb, [](const char* x, const char* y) {
    if (x == y) return true;
    return x != nullptr && y != nullptr && std::strcmp(x, y) == 0;
  });
}

namespace {

// Up to DB_MAXARRAY values of one side of a set operation. Strings point into the field they
// were taken from, which the caller keeps alive.
struct Side {
  int n = 0;
  int32_t i[DB_MAXARRAY];
  float f[DB_MAXARRAY];
  const char* s[DB_MAXARRAY];

  void Load(const DBField& fd) {
    n = fd.GetNV() < DB_MAXARRAY ? fd.GetNV() : DB_MAXARRAY;
    switch (fd.GetDT()) {
      case DBDTint: {
        const int32_t* p = static_cast<const int32_t*>(fd.GetPointer(0));
        if (p == nullptr) n = 0;
        for (int k = 0; k < n; k++) i[k] = p[k];
        break;
      }
      case DBDTfloat: {
        const float* p = static_cast<const float*>(fd.GetPointer(0));
        if (p == nullptr) n = 0;
        for (int k = 0; k < n; k++) f[k] = p[k];
        break;
      }
      case DBDTstring:
        n = fd.Get(s, n);
        break;
      default:
        n = 0;
        break;
    }
  }
  int Match(int dt, ABitMap& map, const Side& other) const {
    switch (dt) {
      case DBDTint:
        return arrayMatches(i, n, map, other.i, other.n);
      case DBDTfloat:
        return arrayMatches(f, n, map, other.f, other.n);
      default:
        return arrayMatches(s, n, map, other.s, other.n);
    }
  }
};

// The result being built: values appended from sides, then stored into a field.
struct Result {
  int n = 0;
  long i[DB_MAXARRAY];
  float f[DB_MAXARRAY];
  const char* s[DB_MAXARRAY];

  void Add(int dt, const Side& from, int k) {
    if (n >= DB_MAXARRAY) return;
    if (dt == DBDTint)
      i[n] = from.i[k];
    else if (dt == DBDTfloat)
      f[n] = from.f[k];
    else
      s[n] = from.s[k];
    n++;
  }
  void Store(int dt, DBField& out) const {
    if (n == 0) {
      out.Clear();
    } else if (dt == DBDTint) {
      out.Set(i, n);
    } else if (dt == DBDTfloat) {
      out.Set(f, n);
    } else {
      out.Set(s, n);
    }
  }
};

bool knownType(int dt) {
  return dt == DBDTint || dt == DBDTfloat || dt == DBDTstring;
}

// Loads both sides, keeping deep copies so that a's strings stay linked while a is rebuilt
// (and b stays valid when it is a itself).
struct Operands {
  DBField ta, tb;
  Side sa, sb;
  Side* A = &sa;
  Side* B = &sb;
  Operands(const DBField& a, const DBField& b) : ta(a) {
    A->Load(ta);
    if (&a == &b) {
      B->Load(ta);
    } else {
      tb = &b;  // a view is enough: b is not changed
      B->Load(tb);
    }
  }
  Operands(const Operands&) = delete;
  Operands& operator=(const Operands&) = delete;
};

}  // namespace

DBField& operator+=(DBField& a, const DBField& b) {
  if (b.GetNV() == 0) return a;
  if (a.GetNV() == 0) return a = b;
  if (a.dt != b.dt) {
    if (knownType(a.dt) || knownType(b.dt))
      DMESSAGE(DMCparameter, "Mismatched types in DBField::operator+=()");
    return a;
  }
  if (!knownType(a.dt)) return a;
  Operands op(a, b);
  Result r;
  for (int k = 0; k < op.A->n; k++) r.Add(a.dt, *op.A, k);
  for (int k = 0; k < op.B->n; k++) r.Add(a.dt, *op.B, k);
  r.Store(a.dt, a);
  return a;
}

DBField& operator|=(DBField& a, const DBField& b) {
  if (b.GetNV() == 0) return a;
  if (a.GetNV() == 0) return a = b;
  if (a.dt != b.dt) {
    if (knownType(a.dt) || knownType(b.dt))
      DMESSAGE(DMCparameter, "Mismatched types in DBField::operator|=()");
    return a;
  }
  if (!knownType(a.dt)) return a;
  const int dt = a.dt;
  Operands op(a, b);
  ABitMap map;
  op.B->Match(dt, map, *op.A);
  Result r;
  for (int k = 0; k < op.A->n; k++) r.Add(dt, *op.A, k);
  for (int k = 0; k < op.B->n; k++)
    if (!map.Check(static_cast<uint32_t>(k))) r.Add(dt, *op.B, k);
  r.Store(dt, a);
  return a;
}

DBField& operator&=(DBField& a, const DBField& b) {
  if (b.GetNV() == 0) {
    a.Clear();
    return a;
  }
  if (a.GetNV() == 0) return a;
  if (a.dt != b.dt) {
    if (knownType(a.dt) || knownType(b.dt))
      DMESSAGE(DMCparameter, "Mismatched types in DBField::operator&=()");
    return a;
  }
  if (!knownType(a.dt)) return a;
  const int dt = a.dt;
  Operands op(a, b);
  ABitMap map;
  if (op.A->Match(dt, map, *op.B) == 0) {
    a.Clear();
    return a;
  }
  Result r;
  for (int k = 0; k < op.A->n; k++)
    if (map.Check(static_cast<uint32_t>(k))) r.Add(dt, *op.A, k);
  r.Store(dt, a);
  return a;
}

DBField& operator-=(DBField& a, const DBField& b) {
  if (a.GetNV() == 0 || b.GetNV() == 0) return a;
  if (a.dt != b.dt) {
    if (knownType(a.dt) || knownType(b.dt))
      DMESSAGE(DMCparameter, "Mismatched types in DBField::operator-=()");
    return a;
  }
  if (!knownType(a.dt)) return a;
  const int dt = a.dt;
  Operands op(a, b);
  ABitMap map;
  if (op.A->Match(dt, map, *op.B) == 0) return a;
  Result r;
  for (int k = 0; k < op.A->n; k++)
    if (!map.Check(static_cast<uint32_t>(k))) r.Add(dt, *op.A, k);
  r.Store(dt, a);
  return a;
}
