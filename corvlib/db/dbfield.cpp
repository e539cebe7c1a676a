// Field values: storage forms, setting, reading with conversion, copying and views.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/dbfield.h"
#include "db/dbfieldpriv.h"
#include "support/cnumber.h"
#include "support/dmessage.h"
#include "support/pstrings.h"

const char DBdtypeName[4][8] = {"unknown", "int", "float", "string"};

namespace dbpriv {

float toFloat(double d) {
  if (std::isnan(d)) return std::numeric_limits<float>::quiet_NaN();
  // Halfway between the largest float and the next power of two: below it, a value rounds
  // to the largest float (so that a written maximum reads back as itself).
  constexpr double kRoundLimit = 0x1.ffffffp+127;
  if (d > kFloatMax) return d < kRoundLimit ? kFloatMax : std::numeric_limits<float>::infinity();
  if (d < -kFloatMax)
    return d > -kRoundLimit ? -kFloatMax : -std::numeric_limits<float>::infinity();
  return static_cast<float>(d);
}

int32_t saturate(long x) {
  if (x > INT32_MAX) return INT32_MAX;
  if (x < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(x);
}

const char* nextPacked(const char* s) {
  return s + std::strlen(s) + 1;
}

}  // namespace dbpriv

using dbpriv::isBadFloat;

// ---- storage --------------------------------------------------------------------------------

const void* DBField::Data() const {
  if (fl & DBFLoffset) return reinterpret_cast<const char*>(this) + v.off;
  return v.pstr;
}

bool DBField::HasPointer() const {
  if (nv == 0 || v.bits == 0) return false;
  return !(nv == 1 && dt != DBDTstring && !(fl & DBFLarray));
}

const void* DBField::GetPointer() const {
  return HasPointer() ? Data() : nullptr;
}

void DBField::ReleaseOwned() {
  if (!(fl & DBFLoffset) && HasPointer()) {
    switch (dt) {
      case DBDTstring:
        if (fl & DBFLpacked) {
          std::free(const_cast<char*>(v.pstr));
        } else if (fl & DBFLarray) {
          for (int i = nv; i-- > 0;) strunlinkpooled(v.astr[i]);
          std::free(v.astr);
        } else {
          strunlinkpooled(v.str);
        }
        break;
      case DBDTint:
      case DBDTfloat:
        std::free(v.aint);
        break;
      default:
        DMESSAGE(DMCparameter, "Botched type in DBField::Clear");
        break;
    }
  }
}

void DBField::MoveFrom(DBField& src) {
  if (src.fl & DBFLoffset) {  // an offset is relative to the field itself: copy the values
    *this = src;
    src.Clear();
    return;
  }
  dt = src.dt;
  fl = src.fl;
  nv = src.nv;
  rsv = 0;
  v.bits = src.v.bits;
  src.dt = 0;
  src.fl = 0;
  src.nv = 0;
  src.v.bits = 0;
}

DBField::DBField(DBField&& src) noexcept : DBField() {
  MoveFrom(src);
}

DBField& DBField::operator=(DBField&& src) noexcept {
  if (this != &src) {
    DBField tmp;
    tmp.MoveFrom(src);
    Clear();
    MoveFrom(tmp);
  }
  return *this;
}

// ---- setting --------------------------------------------------------------------------------

void DBField::Set(long i) {
  Clear();
  dt = DBDTint;
  nv = 1;
  v.mint = dbpriv::saturate(i);
}

void DBField::Set(float f) {
  Clear();
  if (isBadFloat(f)) {
    DMESSAGE(DMCwarning, "Bad float zeroed in DBField::Set()");
    f = 0.0f;
  }
  dt = DBDTfloat;
  nv = 1;
  v.mfloat = f;
}

void DBField::Set(double f) {
  Set(dbpriv::toFloat(f));
}

void DBField::Set(const char* s) {
  // Linked before the field lets go of its value: s may be that very value.
  const char* pooled = strlink(s);
  Clear();
  if (pooled == nullptr) return;
  dt = DBDTstring;
  fl = DBFLowns;
  nv = 1;
  v.str = pooled;
}

DBField& DBField::operator=(const char* s) {
  Clear();
  if (s == nullptr) return *this;
  dt = DBDTstring;
  nv = 1;
  v.str = s;
  return *this;
}

static bool countRefused(int n) {
  if (n <= DB_MAXVALUES) return false;
  DMESSAGE(DMCparameter, "Too many values (%d) in DBField::Set()", n);
  return true;
}

// The array setters build the new values before the field lets go of its old ones, so that
// p may point into the field's own values.

namespace {

// A new array of the n values at p, each made by conv; null (reported) when n is refused or
// memory runs out, and null without a message when n is 0 or less.
template <class T, class S, class Conv>
T* newValues(const S* p, int n, Conv conv) {
  if (n <= 0 || countRefused(n)) return nullptr;
  T* a = static_cast<T*>(std::malloc(sizeof(T) * static_cast<size_t>(n)));
  if (a == nullptr) {
    DMESSAGE(DMCmemory, "Out of memory in DBField::Set()");
    return nullptr;
  }
  for (int i = 0; i < n; i++) a[i] = conv(p[i]);
  return a;
}

}  // namespace

void DBField::Set(const long* p, int n) {
  if (p == nullptr) return;
  if (n == 1) {
    Set(p[0]);
    return;
  }
  int32_t* a = newValues<int32_t>(p, n, [](long x) { return dbpriv::saturate(x); });
  Clear();
  if (a == nullptr) return;
  dt = DBDTint;
  fl = DBFLarray | DBFLowns;
  nv = static_cast<uint16_t>(n);
  v.aint = a;
}

void DBField::Set(const float* p, int n) {
  if (p == nullptr) return;
  if (n == 1) {
    Set(p[0]);
    return;
  }
  int nbad = 0;
  float* a = newValues<float>(p, n, [&nbad](float x) {
    if (!isBadFloat(x)) return x;
    nbad++;
    return 0.0f;
  });
  if (nbad > 0) DMESSAGE(DMCwarning, "%d bad float(s) zeroed in DBField::Set()", nbad);
  Clear();
  if (a == nullptr) return;
  dt = DBDTfloat;
  fl = DBFLarray | DBFLowns;
  nv = static_cast<uint16_t>(n);
  v.afloat = a;
}

void DBField::Set(const char* const* p, int n) {
  if (p == nullptr) return;
  if (n == 1) {
    Set(p[0]);
    return;
  }
  if (n <= 0 || countRefused(n)) {
    Clear();
    return;
  }
  const char** a =
      static_cast<const char**>(std::malloc(sizeof(const char*) * static_cast<size_t>(n)));
  if (a == nullptr) {
    DMESSAGE(DMCmemory, "Out of memory in DBField::Set()");
    Clear();
    return;
  }
  for (int i = n; i-- > 0;) a[i] = strlink(p[i]);
  Clear();
  dt = DBDTstring;
  fl = DBFLarray | DBFLowns;
  nv = static_cast<uint16_t>(n);
  v.astr = a;
}

int DBField::SetText(const char* text, char sep) {
  if (text == nullptr || *text == '\0') {
    Clear();
    return 0;
  }
  const size_t len = std::strlen(text);
  char* buf = static_cast<char*>(std::malloc(len + 1));
  if (buf == nullptr) {
    DMESSAGE(DMCmemory, "Out of memory in DBField::SetText()");
    Clear();
    return 0;
  }
  std::memcpy(buf, text, len + 1);
  const char* piece[DB_MAXARRAY];
  int n = 0;
  piece[n++] = buf;
  for (size_t i = 0; i < len && n < DB_MAXARRAY; i++) {
    if (buf[i] != sep) continue;
    buf[i] = '\0';
    if (i + 1 < len) piece[n++] = buf + i + 1;
  }
  Set(piece, n);
  std::free(buf);
  return GetNV();
}

void DBField::SetView(DBDataType t, int n, const void* data, bool packed) {
  Clear();
  if (n <= 0 || data == nullptr || countRefused(n)) return;
  switch (t) {
    case DBDTint:
    case DBDTfloat:
      dt = static_cast<uint8_t>(t);
      nv = static_cast<uint16_t>(n);
      if (n == 1) {
        std::memcpy(&v.mint, data, sizeof(int32_t));
      } else {
        fl = DBFLarray;
        v.pstr = static_cast<const char*>(data);
      }
      break;
    case DBDTstring:
      dt = DBDTstring;
      nv = static_cast<uint16_t>(n);
      if (packed) {
        fl = DBFLarray | DBFLpacked;
        v.pstr = static_cast<const char*>(data);
      } else if (n == 1) {
        v.str = static_cast<const char*>(data);
      } else {
        fl = DBFLarray;
        v.astr = static_cast<const char**>(const_cast<void*>(data));
      }
      break;
    default:
      DMESSAGE(DMCparameter, "Botched type in DBField::SetView");
      break;
  }
}

// Whether src's string values are its own references into the pool.
static bool Pooled(const DBField& src) {
  return (src.fl & (DBFLowns | DBFLpacked | DBFLoffset)) == DBFLowns;
}

// Builds in dst (unset) an owning copy of src.
static void deepCopy(DBField& dst, const DBField& src) {
  if (src.nv == 0) return;
  const int n = src.nv;
  switch (src.dt) {
    case DBDTint:
    case DBDTfloat: {
      if (n == 1 && !(src.fl & DBFLarray)) {
        dst.dt = src.dt;
        dst.nv = 1;
        dst.v.bits = 0;
        dst.v.mint = src.v.mint;
        return;
      }
      const void* data = src.GetPointer();
      if (data == nullptr) return;
      if (n == 1) {  // a one-value array view becomes an inline value
        dst.dt = src.dt;
        dst.nv = 1;
        std::memcpy(&dst.v.mint, data, sizeof(int32_t));
        return;
      }
      void* a = std::malloc(sizeof(int32_t) * static_cast<size_t>(n));
      if (a == nullptr) {
        DMESSAGE(DMCmemory, "Out of memory in DBField copy");
        return;
      }
      std::memcpy(a, data, sizeof(int32_t) * static_cast<size_t>(n));
      dst.dt = src.dt;
      dst.fl = DBFLarray | DBFLowns;
      dst.nv = static_cast<uint16_t>(n);
      dst.v.aint = static_cast<int32_t*>(a);
      return;
    }
    case DBDTstring: {
      if (src.GetPointer() == nullptr) return;
      if (n == 1) {
        dst.dt = DBDTstring;
        dst.fl = DBFLowns;
        dst.nv = 1;
        const char* s = static_cast<const char*>(src.GetPointer(0));
        dst.v.str = Pooled(src) ? strrelink(s) : strlink(s);
        return;
      }
      const char** a =
          static_cast<const char**>(std::malloc(sizeof(const char*) * static_cast<size_t>(n)));
      if (a == nullptr) {
        DMESSAGE(DMCmemory, "Out of memory in DBField copy");
        return;
      }
      if (src.fl & DBFLpacked) {
        const char* s = static_cast<const char*>(src.GetPointer());
        for (int i = 0; i < n; i++, s = dbpriv::nextPacked(s)) a[i] = strlink(s);
      } else {
        const char* const* sp = static_cast<const char* const*>(src.GetPointer());
        if (Pooled(src))
          for (int i = n; i-- > 0;) a[i] = strrelink(sp[i]);
        else
          for (int i = n; i-- > 0;) a[i] = strlink(sp[i]);
      }
      dst.dt = DBDTstring;
      dst.fl = DBFLarray | DBFLowns;
      dst.nv = static_cast<uint16_t>(n);
      dst.v.astr = a;
      return;
    }
    default:
      DMESSAGE(DMCparameter, "Botched type in DBField copy");
      return;
  }
}

DBField& DBField::operator=(const DBField& src) {
  if (this == &src) return *this;
  DBField tmp;  // built aside: src may be a view of this field's own values
  deepCopy(tmp, src);
  Clear();
  MoveFrom(tmp);
  return *this;
}

DBField& DBField::operator=(const DBField* src) {
  if (src == this) return *this;
  if (src == nullptr || src->nv == 0) {
    Clear();
    return *this;
  }
  const uint8_t sdt = src->dt;
  const uint8_t sfl = src->fl & ~(DBFLowns | DBFLoffset);
  const uint16_t snv = src->nv;
  uint64_t bits = src->v.bits;
  if (src->HasPointer()) {
    const void* data = src->GetPointer();
    bits = 0;
    std::memcpy(&bits, &data, sizeof(data));
  }
  Clear();
  dt = sdt;
  fl = sfl;
  nv = snv;
  v.bits = bits;
  return *this;
}

// ---- reading --------------------------------------------------------------------------------

const void* DBField::GetPointer(int i) const {
  if (i < 0 || i >= nv) return nullptr;
  switch (dt) {
    case DBDTint:
    case DBDTfloat:
      if (nv == 1 && !(fl & DBFLarray)) return &v.mint;
      if (v.bits == 0) return nullptr;
      return static_cast<const int32_t*>(Data()) + i;
    case DBDTstring: {
      if (v.bits == 0) return nullptr;
      if (fl & DBFLpacked) {
        const char* s = static_cast<const char*>(Data());
        while (i-- > 0) s = dbpriv::nextPacked(s);
        return s;
      }
      if (!(fl & DBFLarray)) return Data();
      return static_cast<const char* const*>(Data())[i];
    }
    default:
      DMESSAGE(DMCparameter, "Botched type in DBField::Get");
      return nullptr;
  }
}

long DBField::GetInt(int i) const {
  if (i < 0 || i >= nv) return 0;
  const void* p = GetPointer(i);
  switch (dt) {
    case DBDTint:
      return p ? *static_cast<const int32_t*>(p) : 0;
    case DBDTfloat: {
      if (p == nullptr) return 0;
      const float f = *static_cast<const float*>(p);
      if (std::isnan(f)) return INT32_MIN;
      if (f >= 2147483647.0f) return INT32_MAX;
      if (f <= -2147483648.0f) return INT32_MIN;
      return static_cast<long>(f);
    }
    case DBDTstring:
      return p ? std::atol(static_cast<const char*>(p)) : 0;
    default:
      DMESSAGE(DMCparameter, "Botched type in DBField::GetInt");
      return 0;
  }
}

float DBField::GetFloat(int i) const {
  if (i < 0 || i >= nv) return 0.0f;
  const void* p = GetPointer(i);
  switch (dt) {
    case DBDTint:
      return p ? static_cast<float>(*static_cast<const int32_t*>(p)) : 0.0f;
    case DBDTfloat:
      return p ? *static_cast<const float*>(p) : 0.0f;
    case DBDTstring:
      return p ? dbpriv::toFloat(Catof(static_cast<const char*>(p))) : 0.0f;
    default:
      DMESSAGE(DMCparameter, "Botched type in DBField::GetFloat");
      return 0.0f;
  }
}

const char* DBField::GetString(int i) const {
  static char sbuf[32][20];
  static int snext = 0;
  if (i < 0 || i >= nv) return "";
  const void* p = GetPointer(i);
  switch (dt) {
    case DBDTstring:
      return p ? static_cast<const char*>(p) : "";
    case DBDTint:
    case DBDTfloat: {
      if (p == nullptr) return "";
      char* b = sbuf[snext];
      snext = (snext + 1) & 31;
      if (dt == DBDTint)
        std::snprintf(b, sizeof(sbuf[0]), "%ld",
                      static_cast<long>(*static_cast<const int32_t*>(p)));
      else
        Csnprintf(b, sizeof(sbuf[0]), "%.7e", static_cast<double>(*static_cast<const float*>(p)));
      return b;
    }
    default:
      DMESSAGE(DMCparameter, "Botched type in DBField::GetString");
      return "";
  }
}

int DBField::Get(long* out, int n) const {
  if (out == nullptr || nv == 0 || n < 1 || dt != DBDTint) return 0;
  const int32_t* p = static_cast<const int32_t*>(GetPointer(0));
  if (p == nullptr) return 0;
  const int m = n < nv ? n : nv;
  for (int i = 0; i < m; i++) out[i] = p[i];
  return m;
}

int DBField::Get(float* out, int n) const {
  if (out == nullptr || nv == 0 || n < 1 || dt != DBDTfloat) return 0;
  const float* p = static_cast<const float*>(GetPointer(0));
  if (p == nullptr) return 0;
  const int m = n < nv ? n : nv;
  for (int i = 0; i < m; i++) out[i] = p[i];
  return m;
}

int DBField::Get(const char** out, int n) const {
  if (out == nullptr || nv == 0 || n < 1 || dt != DBDTstring || v.bits == 0) return 0;
  const int m = n < nv ? n : nv;
  if (fl & DBFLpacked) {
    const char* s = static_cast<const char*>(Data());
    for (int i = 0; i < m; i++, s = dbpriv::nextPacked(s)) out[i] = s;
  } else if (!(fl & DBFLarray)) {
    out[0] = static_cast<const char*>(Data());
  } else {
    const char* const* a = static_cast<const char* const*>(Data());
    for (int i = 0; i < m; i++) out[i] = a[i];
  }
  return m;
}

int DBField::Get(char* buf, int len, int i) const {
  if (buf == nullptr || len < 2 || dt != DBDTstring || i < 0 || i >= nv) return 0;
  const char* s = static_cast<const char*>(GetPointer(i));
  if (s == nullptr) return 0;
  size_t n = std::strlen(s);
  if (n > static_cast<size_t>(len - 1)) n = static_cast<size_t>(len - 1);
  std::memcpy(buf, s, n);
  buf[n] = '\0';
  return 1;
}

int DBField::Get(DBField* out, int i) const {
  if (out == nullptr || i < 0 || i >= nv) return 0;
  const void* p = GetPointer(i);
  switch (dt) {
    case DBDTint:
      if (p == nullptr) return 0;
      out->Set(static_cast<long>(*static_cast<const int32_t*>(p)));
      return 1;
    case DBDTfloat:
      if (p == nullptr) return 0;
      out->Set(*static_cast<const float*>(p));
      return 1;
    case DBDTstring: {
      if (p == nullptr) return 0;
      const char* s = strlink(static_cast<const char*>(p));  // before out lets go of it
      out->Clear();
      out->dt = DBDTstring;
      out->fl = DBFLowns;
      out->nv = 1;
      out->v.str = s;
      return 1;
    }
    default:
      DMESSAGE(DMCparameter, "Botched type in DBField::Get");
      return 0;
  }
}
