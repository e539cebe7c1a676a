// Clipboard exchange: record tables pasted as displayed records, file names and positions
// copied as text.
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pcmds.h"
#include "app/core/pdialogs.h"
#include "app/core/pfiles.h"
#include "app/export/pexpriv.h"
#include "app/export/ptrader.h"
#include "catalog/pcontext.h"
#include "catalog/pfileinfo.h"
#include "platform/pclipboard.h"
#include "support/bytetext.h"
#include "support/cnumber.h"
#include "support/dmessage.h"
#include "support/dmhold.h"

namespace {

// The clipboard generation last examined or written, and whether it holds records.
ScrapRef prevScrap = kCurrentScrap;
bool scrapOK = false;

// Only the head of the clipboard decides whether it holds records: its whole lines within the
// first kPasteProbe bytes.
constexpr size_t kPasteProbe = 4096;

// Puts text without its last character (the final newline) on the clipboard, and remembers
// the new content as the program's own, which holds no records.
void PutLines(const std::string& text) {
  ClipboardPutText(text.empty() ? text : text.substr(0, text.size() - 1));
  prevScrap = ClipboardGeneration();
  scrapOK = false;
}

bool HasPosition(const DBRecord& r) {
  return PDBgetField(r, PDBFlatitude).GetNV() != 0 && PDBgetField(r, PDBFlongitude).GetNV() != 0;
}

}  // namespace

bool checkPasteBuffer(ScrapRef scrap) {
  if (scrap == kCurrentScrap) scrap = ClipboardGeneration();
  if (scrap == prevScrap) return scrapOK;
  prevScrap = scrap;
  scrapOK = false;
  std::string text;
  if (!ClipboardGetText(&text) || text.empty()) return false;
  if (text.size() > kPasteProbe) {
    // A line cut by the probe would read as a bad record. A first line longer than the probe
    // is no names line (those are far shorter), so such text holds no records.
    const size_t end = text.find_last_of("\r\n", kPasteProbe - 1);
    if (end == std::string::npos) return false;
    text.resize(end + 1);
  }
  std::istringstream is(text);
  DBRecordList probe(&PDBFInfo);
  // The head of a clipboard that is no table is no error: the check runs while a menu is
  // updated.
  const DMessageHold quiet(DMessageHold::quiet);
  scrapOK = probe.Read(&is, nullptr, nullptr) > 0;
  return scrapOK;
}

void pasteRecords() {
  if (!checkPasteBuffer()) return;
  std::string text;
  if (!ClipboardGetText(&text) || text.empty()) return;
  PContext* pc = PexchangeContext(nullptr);
  if (pc == nullptr) return;
  PBusyGuard busy;
  if (gMain && !gMain->LoadingRecords(nullptr)) return;
  checkEvents(0);
  int n = 0;
  {
    std::istringstream is(std::move(text));
    n = PreadRecordTable(&is, pc);
  }
  selectRecordsForUpdate(pc);
  snprintf(pc->rsrc, sizeof pc->rsrc, "*EX");
  checkRecords(true, nullptr);
  pc->album[0] = '\0';
  if (gMain) gMain->LoadedRecords(0);
  if (n > 0 && pc->rdisp.GetSize() > 0)
    DMESSAGE(DMCinfo, "Pasted %d records", n);
  else
    DMESSAGE(DMCdata, "No records pasted");
}

void copyFilenames() {
  PContext* pc = PexchangeContext(nullptr);
  if (pc == nullptr || pc->TotalSelected() == 0) return;
  if (pc->rsrc[0] == '*') checkRecords(false, nullptr);
  std::string text;
  char path[1024];
  int copied = 0;
  PLeftRecords left("Copy File Names");
  for (int i = 0; pc->NextSelected(&i); i++) {
    // One line per file whatever bytes its name holds (support/bytetext.h): a path that is no
    // clean UTF-8 line is written as its file URI.
    if (left.Named(pc->rdisp.Get(i)) && PcurrentFile(path, sizeof path, pc->rdisp.Get(i))) {
      text += PathText(path);
      text += '\n';
      copied++;
    }
  }
  PutLines(text);
  left.Tell();
  if (gMain) {
    char msg[64];
    snprintf(msg, sizeof msg, "Copied %d file names", copied);
    gMain->ShowMessage(msg, false);
  }
}

namespace {

// Whether some record is selected and every selected record has a latitude and a longitude.
// The fields are found once for the display's schema and records of that schema are read
// straight from their field arrays; the records lie far apart in memory, so each one's field
// array, and then its two fields, are fetched some records ahead of reading.
bool SelectionHasPositions(const PContext* pc) {
  const DBFieldInfo* fi = pc->rdisp.GetFieldInfo();
  const int lat = fi ? fi->XlateID(&PDBFInfo, PDBFlatitude) : -1;
  const int lon = fi ? fi->XlateID(&PDBFInfo, PDBFlongitude) : -1;
  const DBRecord* recs = pc->rdisp.GetArray();
  const uint32_t nrec = static_cast<uint32_t>(pc->rdisp.GetSize());
  const auto placed = [&](const DBRecord& r) {
    const DBField* a = PschemaField(r, fi, lat);
    const DBField* b = PschemaField(r, fi, lon);
    if (a != nullptr && b != nullptr) return a->GetNV() != 0 && b->GetNV() != 0;
    return HasPosition(r);
  };
  constexpr uint32_t kArrays = 16, kFields = 8;
  bool any = false;
  bool all = true;
  PforSelectedBatches(*pc, [&](const uint32_t* batch, uint32_t n) {
    any = true;
    // A selected index past the display has no position.
    if (batch[n - 1] >= nrec) return all = false;
    for (uint32_t k = 0; k < n && k < kArrays; k++) __builtin_prefetch(recs[batch[k]].l);
    for (uint32_t k = 0; k < n; k++) {
      if (k + kArrays < n) __builtin_prefetch(recs[batch[k + kArrays]].l);
      if (k + kFields < n) {
        const DBRecord& r = recs[batch[k + kFields]];
        if (const DBField* a = PschemaField(r, fi, lat)) __builtin_prefetch(a);
        if (const DBField* b = PschemaField(r, fi, lon)) __builtin_prefetch(b);
      }
      if (!placed(recs[batch[k]])) return all = false;
    }
    return true;
  });
  return any && all;
}

}  // namespace

bool checkGlobalPositions() {
  PContext* pc = PexchangeContext(nullptr);
  if (pc == nullptr) return false;
  // The answer is kept while the records and the selection stay as they were.
  static PSelectionStamp keptStamp;
  static bool keptAnswer = false;
  const PSelectionStamp stamp = PstampSelection(*pc);
  if (stamp == keptStamp) return keptAnswer;
  keptAnswer = SelectionHasPositions(pc);
  keptStamp = stamp;
  return keptAnswer;
}

void copyGlobalPositions() {
  // Never a line of zeros for a record without a position.
  if (!checkGlobalPositions()) return;
  PContext* pc = PexchangeContext(nullptr);
  std::string text;
  char line[96];
  int nsel = 0;
  for (int i = 0; pc->NextSelected(&i); i++) {
    const DBRecord& r = pc->rdisp.Get(i);
    Csnprintf(line, sizeof line, "%f %f\n", PDBgetField(r, PDBFlatitude).GetFloat(0),
              PDBgetField(r, PDBFlongitude).GetFloat(0));
    text += line;
    nsel++;
  }
  PutLines(text);
  if (gMain) {
    char msg[64];
    snprintf(msg, sizeof msg, "Copied %d global positions", nsel);
    gMain->ShowMessage(msg, false);
  }
}

bool PcopyCommand(OSType cmd) {
  if (cmd == kCmdCopyFileNames)
    copyFilenames();
  else if (cmd == kCmdCopyPositions)
    copyGlobalPositions();
  else
    return false;
  return true;
}
