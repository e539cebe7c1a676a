// The typed number reader of the setting commands: any text is read whole or refused, and a
// value it gives is finite.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/mainwin/psettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  float v = 0;
  if (fracParse(text.c_str(), &v) && !std::isfinite(v)) abort();
  return 0;
}
