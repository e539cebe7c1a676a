// The import of records: the first byte chooses a catalogue file (odd) or a text table (even)
// made of the rest, read into a display as the import reads it, then the records lacking file
// facts are selected for reading again.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "app/export/ptrader.h"
#include "catalog/pcstate.h"
#include "catalog/pdbase.h"
#include "catalog/pdbheader.h"
#include "db/dbaccess.h"
#include "support/dmessage.h"

namespace {

uint32_t Quiet(unsigned, const char*, const char*, int) {
  return DMAlog | DMAstderr | DMAalert | DMAexit | DMAabort;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dmessage_call = Quiet;
  if (size < 1) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  PContextState st;
  if (data[0] & 1) {
    std::stringstream ss(bytes, std::ios::in | std::ios::out | std::ios::binary);
    PDBHeader header;
    DBAccess db(&header, &ss, true);
    if (db.Ready()) {
      header.CopyFormat(&PDBFInfo);
      st.ClearRecords(&header, true);
      PreadCatalogRecords(&db, &st);
    }
  } else {
    if (PisUTF16Text(bytes.data(), bytes.size())) return 0;
    std::istringstream is(bytes);
    PreadRecordTable(&is, &st);
  }
  selectRecordsForUpdate(&st);
  for (int i = 0; st.NextSelected(&i); i++) st.rdisp.Get(i).GetNFields();
  return 0;
}
