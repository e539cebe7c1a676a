// Reading record tables and catalogues into a display, and choosing the records whose file
// facts must be read again. Nothing here pumps events or needs the window system, so the fuzz
// target compiles this file alone.
#include <cstddef>
#include <istream>

#include "app/export/ptrader.h"
#include "catalog/pcstate.h"
#include "catalog/pdbase.h"
#include "db/dbaccess.h"

int PreadRecordTable(std::istream* is, PContextState* st) {
  if (is == nullptr || st == nullptr) return 0;
  // No separator and no schema: the header line names the columns and gives the separator,
  // and each column lands in the display's field of its name.
  const int n = st->rdisp.Read(is, nullptr, nullptr);
  return n > 0 ? n : 0;
}

bool PisUTF16Text(const char* head, size_t n) {
  if (head == nullptr || n < 2) return false;
  const auto* b = reinterpret_cast<const unsigned char*>(head);
  if ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF)) return true;
  // Without a mark: the names line is ASCII, each character a zero byte beside it, always on
  // the same side. UTF-8 text holds no zero byte.
  size_t zeroEven = 0, zeroOdd = 0;
  const size_t pairs = n / 2;
  for (size_t i = 0; i < pairs * 2; i += 2) {
    zeroEven += b[i] == 0;
    zeroOdd += b[i + 1] == 0;
  }
  return pairs >= 2 &&
         ((zeroOdd * 2 >= pairs && zeroEven == 0) || (zeroEven * 2 >= pairs && zeroOdd == 0));
}

int PreadCatalogRecords(DBAccess* db, PContextState* st) {
  if (db == nullptr || st == nullptr || !db->Ready()) return 0;
  DBRecordList& list = st->rdisp;
  // In batches, so that the list grows with the records found, not with the count a damaged
  // file may claim.
  constexpr int kBatch = 4096;
  const int first = list.GetSize();
  int got = 0;
  for (;;) {
    const int have = list.GetSize();
    if (list.Resize(have + kBatch) != have + kBatch) {
      list.Resize(have);
      break;
    }
    const int n = db->GetRecords(list.Array() + have, kBatch, got);
    list.Resize(have + (n > 0 ? n : 0));
    if (n <= 0) break;
    got += n;
    if (n < kBatch) break;
  }
  return list.GetSize() - first;
}

void selectRecordsForUpdate(PContextState* state) {
  if (state == nullptr) return;
  const DBFieldInfo* fi = state->rdisp.GetFieldInfo();
  if (fi == nullptr) return;
  int facts[DB_MAXFIELDS];
  int nfacts = 0;
  for (int i = 0; i < fi->GetNFields() && nfacts < DB_MAXFIELDS; i++) {
    const DBFDetails* d = fi->GetDetails(i);
    if (d != nullptr && (d->flags & 0x0C00) == 0x0800) facts[nfacts++] = i;
  }
  if (nfacts == 0) return;
  const int file = fi->XlateID(&PDBFInfo, PDBFfile);
  for (int i = state->rdisp.GetSize(); i-- > 0;) {
    const DBRecord& r = state->rdisp.Get(i);
    if (file < 0 || !r[file].IsSet()) continue;  // no file to read: the display drops the row
    for (int k = 0; k < nfacts; k++)
      if (r[facts[k]].GetNV() == 0) {
        state->Select(i, true);
        break;
      }
  }
}
