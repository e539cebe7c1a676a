// Typed numbers from fuzzed bytes: the lenient reading never gives a value that is not a finite
// float, and whenever the whole-text check accepts a text both readings agree; the integer
// check accepts only 32-bit values that the text spells.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/records/psetother.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const char* s = text.c_str();  // stops at the first NUL, as a typed text would
  const float lenient = fracEval(s);
  if (!std::isfinite(lenient)) __builtin_trap();
  float checked = 12345.0f;
  if (fracCheck(s, &checked)) {
    if (!std::isfinite(checked) || checked != lenient) __builtin_trap();
  } else if (checked != 12345.0f) {
    __builtin_trap();  // a refused text leaves the value alone
  }
  long i = 777;
  if (intCheck(s, &i)) {
    if (i < INT32_MIN || i > INT32_MAX || i != strtol(s, nullptr, 10)) __builtin_trap();
  } else if (i != 777) {
    __builtin_trap();
  }
  return 0;
}
