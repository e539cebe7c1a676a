// Typed date texts and offsets: the date reader, the date arithmetic and the date writer must
// agree (a legal date reads back as written) for any bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/records/pdates.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first 24 bytes, when there are so many, are six offsets; the rest is the date text.
  int delta[6] = {0, 0, 0, 0, 0, 0};
  if (size >= sizeof delta) {
    memcpy(delta, data, sizeof delta);
    data += sizeof delta;
    size -= sizeof delta;
  }
  const std::string text(reinterpret_cast<const char*>(data), size);
  int d[6];
  if (!sscanDate(d, text.c_str())) return 0;
  char out[kDateTextLen];
  int again[6];
  if (!sscanDate(again, sprintDate(out, d)) || memcmp(d, again, sizeof d) != 0) abort();
  const int before[6] = {d[0], d[1], d[2], d[3], d[4], d[5]};
  if (!adjDate(d, delta)) {
    if (memcmp(d, before, sizeof d) != 0) abort();  // refused: left alone
    return 0;
  }
  if (d[1] < 1 || d[1] > 12 || d[2] < 1 || d[2] > monthDays(d[0], d[1]) || d[3] < 0 || d[3] > 23 ||
      d[4] < 0 || d[4] > 59 || d[5] < 0 || d[5] > 59)
    abort();
  sprintDate(out, d);
  if (legalDate(d) && (!sscanDate(again, out) || memcmp(d, again, sizeof d) != 0)) abort();
  return 0;
}
