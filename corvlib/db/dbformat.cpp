// The standard display formatters of field values.
#include <cstdio>
#include <cstring>

#include "db/dbfield.h"
#include "support/cnumber.h"

namespace {

// Copies text into buf when it fits with its NUL; true when copied.
bool putText(char* buf, int len, const char* text) {
  const size_t n = std::strlen(text);
  if (n >= static_cast<size_t>(len)) return false;
  std::memcpy(buf, text, n + 1);
  return true;
}

}  // namespace

char* DBformatInteger(char* buf, int len, const DBField& field) {
  if (buf == nullptr || len < 2) return nullptr;
  if (field.GetNV() == 0 || field.GetDT() != DBDTint) {
    buf[0] = '\0';
    return nullptr;
  }
  const long val = field.GetInt(0);
  char text[32];
  std::snprintf(text, sizeof(text), "%ld", val);
  if (!putText(buf, len, text)) {
    buf[0] = val < 0 ? '-' : '+';
    buf[1] = '\0';
  }
  return buf;
}

char* DBformatFloat(char* buf, int len, const DBField& field) {
  if (buf == nullptr || len < 2) return nullptr;
  if (field.GetNV() == 0 || field.GetDT() != DBDTfloat) {
    buf[0] = '\0';
    return nullptr;
  }
  const double val = field.GetFloat(0);
  char text[64];
  for (int prec = 8; prec >= 0; prec--) {
    Csnprintf(text, sizeof(text), "%.*g", prec, val);
    if (putText(buf, len, text)) return buf;
  }
  buf[0] = val > 0 ? '+' : '-';
  buf[1] = '\0';
  return buf;
}

char* DBformatString(char* buf, int len, const DBField& field) {
  if (buf == nullptr || len < 2) return nullptr;
  const char* s = nullptr;
  if (field.GetNV() == 0 || field.GetDT() != DBDTstring || field.Get(&s, 1) != 1) {
    buf[0] = '\0';
    return nullptr;
  }
  if (s == nullptr) s = "";
  size_t n = std::strlen(s);
  if (n > static_cast<size_t>(len - 1)) n = static_cast<size_t>(len - 1);
  std::memcpy(buf, s, n);
  buf[n] = '\0';
  return buf;
}

char* DBformatUnknown(char* buf, int len, const DBField& field) {
  if (buf == nullptr || len < 2 || field.GetNV() == 0) return nullptr;
  switch (field.GetDT()) {
    case DBDTint:
      return DBformatInteger(buf, len, field);
    case DBDTfloat:
      return DBformatFloat(buf, len, field);
    case DBDTstring:
      return DBformatString(buf, len, field);
    default: {
      static const char kBad[] = "BADTYPE";
      size_t n = sizeof(kBad) - 1;
      if (n > static_cast<size_t>(len - 1)) n = static_cast<size_t>(len - 1);
      std::memcpy(buf, kBad, n);
      buf[n] = '\0';
      return nullptr;
    }
  }
}

char* DBformatArray(char* buf, int len, const DBField& field) {
  if (buf == nullptr || len < 2) return nullptr;
  const int nv = field.GetNV();
  if (nv < 2 && field.GetDT() != DBDTstring) return DBformatUnknown(buf, len, field);
  buf[0] = '\0';
  int used = 0;  // characters written so far
  for (int i = 0; i < nv; i++) {
    const bool more = i + 1 < nv;
    DBField one;
    if (!field.Get(&one, i)) return nullptr;
    if (one.GetDT() == DBDTstring) {
      const char* s = static_cast<const char*>(one.GetPointer(0));
      const char quote = (s != nullptr && std::strchr(s, '"') != nullptr) ? '\'' : '"';
      if (len - used < 2) return buf;
      buf[used++] = quote;
      buf[used] = '\0';
      if (DBformatString(buf + used, len - used, one) == nullptr) return nullptr;
      used += static_cast<int>(std::strlen(buf + used));
      const int room = len - used;
      if ((more && room < 7) || room < 2) return buf;
      buf[used++] = quote;
      buf[used] = '\0';
    } else {
      if (DBformatUnknown(buf + used, len - used, one) == nullptr) return nullptr;
      used += static_cast<int>(std::strlen(buf + used));
      if (more && len - used < 4) return buf;
    }
    if (more) {
      buf[used++] = ',';
      buf[used++] = ' ';
      buf[used] = '\0';
    }
  }
  return buf;
}
