// The typed aspect of image export from fuzzed bytes: an accepted text gives a finite shorter
// over longer side (0 only for a blank text) and never holds a comma; a refused text leaves the
// value alone.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "app/export/paspect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const char* s = text.c_str();  // stops at the first NUL, as a typed text would
  float a = -1.0f;
  if (!PaspectOf(s, &a)) {
    if (a != -1.0f) __builtin_trap();
    return 0;
  }
  const bool blank = s[strspn(s, " \t\n\v\f\r")] == '\0';
  if (!std::isfinite(a) || a < 0.0f || a > 1.0f || (a == 0.0f) != blank) __builtin_trap();
  if (strchr(s, ',') != nullptr) __builtin_trap();
  return 0;
}
