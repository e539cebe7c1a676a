// Opens a catalogue from fuzzed bytes and works on it through the undoable store: reads the
// header's lists, reads and searches records, commits a change, undoes and redoes it, syncs.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "catalog/pixhaven.h"
#include "support/dmessage.h"

namespace {

uint32_t Quiet(unsigned, const char*, const char*, int) {
  return DMAlog | DMAstderr | DMAalert | DMAexit | DMAabort;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dmessage_call = Quiet;
  std::stringstream ss(std::string(reinterpret_cast<const char*>(data), size),
                       std::ios::in | std::ios::out | std::ios::binary);
  PDBHeader header;
  {
    PDBAccess db(&header, &ss, false);
    if (db.GetHeader() != nullptr) {
      for (const char* list : {PDBLastSubjName, PDBLastAlbmName, PDBLastOwnrName, PDBLastKeywName})
        for (int i = 0; i < header.GetNRecent(list); i++)
          header.FindRecent(list, header.GetRecent(list, i));
      header.Unique();
      int total = db.TotalRecords();
      std::vector<DBRecord> recs(total > 0 && total < 4096 ? total : 16);
      int got = db.GetRecords(recs.data(), static_cast<int>(recs.size()), 0);
      if (got > 0) {
        DBQuery q(static_cast<DBQuery*>(nullptr));
        if (PCsetQuery(&q, recs[0], header.Unique())) {
          DBRecord found[4];
          int pos = 0;
          db.FindRecords(&q, found, 4, &pos);
        }
        PTimeline tl;
        for (int i = 0; i < got; i++) {
          PTimeLink* e = tl.timel->InsertEvent(PDBgetField(recs[i], PDBFsubject).GetString(),
                                               PDBgetField(recs[i], PDBFcapdate).GetString());
          if (e != nullptr) tl.timel = e;
        }
        db.Checkpoint("Change", nullptr);
        db.DeleteRecords(&recs[got - 1], 1);
        db.AddRecords(recs.data(), got < 4 ? got : 4);
        db.Checkpoint(nullptr, nullptr);
        db.Undo();
        db.Redo();
      }
      header.InsertRecent(PDBLastSubjName, "Subject", 0);
      header.DeleteRecent(PDBLastKeywName, -1);
      db.Sync();
      db.Close();
    }
  }
  header.Attach(nullptr, true);
  dmessage_call = nullptr;
  return 0;
}
