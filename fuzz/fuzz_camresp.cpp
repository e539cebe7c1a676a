// Fuzz target of camera-response records as the preferences keep them: a '|'-separated record
// table read with the camera-response schema, each record installed into a maker and turned
// into response tables, which must hold finite, non-negative values.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "db/dbrlist.h"
#include "hdr/phdrimg.h"
#include "support/dmessage.h"

namespace {

uint32_t Quiet(unsigned, const char*, const char*, int) {
  return DMAlog | DMAstderr | DMAalert | DMAexit | DMAabort;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dmessage_call = Quiet;
  const std::string text(reinterpret_cast<const char*>(data), size);
  DBRecordList list(&CDBFInfo);
  {
    std::istringstream is(text);
    char sep = '|';
    list.Read(&is, &sep);
  }
  static PHDImageMaker* mk = new PHDImageMaker();
  float resp[256], slope[256];
  for (int i = 0; i < list.GetSize() && i < 32; i++) {
    const bool ok = mk->SetResponse(list.Get(i));
    // Installed or not, the maker never holds a channel without a polynomial.
    for (int c = 0; c < 3; c++)
      if (mk->Soln().ply[c].degree < 0 || mk->Soln().ply[c].degree > 5) __builtin_trap();
    if (!ok) continue;
    for (int c = 0; c < 3; c++) {
      if (!mk->GetResponse(resp, c, slope)) continue;
      for (int b = 0; b < 256; b++)
        if (!std::isfinite(resp[b]) || resp[b] < 0 || !std::isfinite(slope[b])) __builtin_trap();
    }
  }
  return 0;
}
