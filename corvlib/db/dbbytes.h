// Little-endian fixed-width numbers in the database's own side files (the journal and the
// index file), whatever the host's byte order.
#pragma once

#include <cstdint>

namespace dbbytes {

inline void Put32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void Put64(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline uint32_t Get32(const unsigned char* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}
inline uint64_t Get64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

}  // namespace dbbytes
