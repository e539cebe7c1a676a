// The typed aspect of image export from fuzzed bytes: an accepted text gives a finite shorter
// over longer side, and above 0 only where it holds two numbers; a refused text holds a decimal
// comma (a digit, a comma, a digit) and leaves the value alone.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "app/export/paspect.h"

namespace {

bool HasDecimalComma(const char* s) {
  for (const char* p = strchr(s, ','); p != nullptr; p = strchr(p + 1, ','))
    if (p > s && p[-1] >= '0' && p[-1] <= '9' && p[1] >= '0' && p[1] <= '9') return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const char* s = text.c_str();  // stops at the first NUL, as a typed text would
  float a = -1.0f;
  if (!PaspectOf(s, &a)) {
    if (a != -1.0f || !HasDecimalComma(s)) __builtin_trap();
    return 0;
  }
  if (!std::isfinite(a) || a < 0.0f || a > 1.0f) __builtin_trap();
  if (a > 0.0f && strpbrk(s, "0123456789") == nullptr) __builtin_trap();
  return 0;
}
