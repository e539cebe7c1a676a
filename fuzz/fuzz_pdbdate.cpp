// Capture-date texts and photo field values from fuzzed bytes through the date conversion and
// every photo field formatter, at every buffer length.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "catalog/pixhaven.h"
#include "support/dmessage.h"

namespace {

uint32_t Quiet(unsigned, const char*, const char*, int) {
  return DMAlog | DMAstderr | DMAalert | DMAexit | DMAabort;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dmessage_call = Quiet;
  std::string text(reinterpret_cast<const char*>(data), size);
  PsecsFromDate(text.c_str());
  DBField fields[4];
  fields[0].Set(text.c_str());
  const char* two[2] = {text.c_str(), ""};
  fields[1].Set(two, 2);
  if (size >= 4) {
    int32_t i;
    float f;
    memcpy(&i, data, 4);
    memcpy(&f, data, 4);
    fields[2].Set(static_cast<long>(i));
    fields[3].SetView(DBDTfloat, 1, &f, false);  // any bits, NaN and infinities included
  }
  static const DBFormatFunc kFormats[] = {PDBformatFolder,   PDBformatDate,     PDBformatSource,
                                          PDBformatAperture, PDBformatExposure, PDBformatFlash,
                                          PDBformatWhiteBal};
  char buf[64];
  for (DBFormatFunc fmt : kFormats)
    for (const DBField& f : fields)
      for (int len = 0; len <= static_cast<int>(sizeof(buf)); len++) {
        char* r = fmt(buf, len, f);
        if (r != nullptr && strnlen(buf, sizeof(buf)) >= static_cast<size_t>(len)) __builtin_trap();
      }
  dmessage_call = nullptr;
  return 0;
}
