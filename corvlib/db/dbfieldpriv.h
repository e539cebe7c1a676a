// Helpers shared by the field, formatter and text-table sources of the record database.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace dbpriv {

// Largest magnitude a stored float may have.
constexpr float kFloatMax = 3.4028235e38f;

inline bool isBadFloat(float f) {
  return std::isnan(f) || std::fabs(f) > kFloatMax;
}
// A double as a float; values beyond the float range become infinite (never undefined).
float toFloat(double d);
// A long clamped to the 32-bit range of integer values.
int32_t saturate(long x);
// The text after s in a packed block of NUL-terminated strings.
const char* nextPacked(const char* s);
// Total order of floats with NaN first (all NaNs equal); -1, 0 or 1.
inline int floatOrder(float a, float b) {
  const bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return static_cast<int>(nb) - static_cast<int>(na);
  return (a > b) - (a < b);
}

}  // namespace dbpriv
