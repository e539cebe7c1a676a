// Opens a database from fuzzed bytes and walks it: counts, reads, searches, writes as text,
// prints statistics, and changes it (add, delete, sync) inside the in-memory stream.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "db/dbase.h"
#include "support/dmessage.h"

namespace {

uint32_t Quiet(unsigned, const char*, const char*, int) {
  return DMAlog | DMAstderr | DMAalert | DMAexit | DMAabort;
}

int CountRecord(const DBRecord& r, void*) {
  return r.GetNAssigned() > 0 ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dmessage_call = Quiet;
  std::stringstream ss(std::string(reinterpret_cast<const char*>(data), size),
                       std::ios::in | std::ios::out | std::ios::binary);
  DBHeader header;
  {
    DBAccess db(&header, &ss, false);
    if (db.GetHeader() != nullptr) {
      int total = db.TotalRecords();
      std::vector<DBRecord> recs(total > 0 && total < 4096 ? total : 16);
      int got = db.GetRecords(recs.data(), static_cast<int>(recs.size()), 0);
      db.ForEachRecord(CountRecord, nullptr, nullptr);
      db.ForEachRecord(CountRecord, nullptr, &header.sord);
      std::ostringstream text;
      db.Write(&text, '\t');
      db.PrintStats(&text);
      if (got > 0) {
        // An exact search for the first record, and a range over its first set field.
        DBSearch s(&db);
        s.AddSelector(recs[0], false);
        DBRecordList found(&header);
        s.FindAll(&found);
        DBSearch r(&db);
        r.AddSelector(recs[0], recs[got - 1], true);
        r.FindAll(&found);
        // Change the database: add a copy, delete what equals the last record, write back.
        db.AddRecords(recs.data(), got < 4 ? got : 4);
        db.DeleteRecords(&recs[got - 1], 1);
        r.DeleteMatching();
      }
      db.Sync();
      db.Close();
    }
  }
  header.Attach(nullptr, true);
  dmessage_call = nullptr;
  return 0;
}
