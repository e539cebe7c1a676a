#include "support/cpufeat.h"

bool cpuHasAVX2() {
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
#else
  return false;
#endif
}
