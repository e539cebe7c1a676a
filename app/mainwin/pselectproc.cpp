// The selector lists turned into displays: clicks in the set lists select or search records,
// and the selected records' values are highlighted in the set lists.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/core/pdialogs.h"
#include "app/core/pfolder.h"
#include "app/mainwin/pmainw.h"
#include "app/mainwin/prangefilter.h"
#include "catalog/pfieldset.h"
#include "catalog/ptimeline.h"

namespace {

// The set tabs and their fields.
constexpr int kSetTabs[] = {3, 4, 5, 6};
constexpr PDBFieldID kSetFields[] = {PDBFsubject, PDBFalbum, PDBFkeyword, PDBFowner};
constexpr int kMostHilited = 512;

}  // namespace

void PMainWindow::AddSelectorTabs() {
  const PStringSet* sets[] = {&bc.subjSet, &bc.albmSet, &bc.keywSet, &bc.ownrSet};
  // The clicks wait for work as the commands they stand for do: a double click loads a folder or
  // searches the catalogue (a click in the timeline or a set list searches the display, held
  // back alike).
  PFileListDrawer* files = new PFileListDrawer;
  files->act = RecordFileSel;
  files->userData = this;
  files->gateCommand = kCmdBrowseFolder;
  selector->AddTab(files);
  PTimelineListDrawer* tl = new PTimelineListDrawer(&bc.timeline);
  tl->act = RecordTimelineSel;
  tl->userData = this;
  tl->gateCommand = kCmdSearchCatalog;
  selector->AddTab(tl);
  for (const PStringSet* set : sets) {
    PSetListDrawer* list = new PSetListDrawer(set);
    list->act = RecordSetSel;
    list->userData = this;
    list->gateCommand = kCmdSearchCatalog;
    selector->AddTab(list);
  }
}

void PMainWindow::UpdateSelectorList(int tab) {
  if (tab == 1)
    if (auto* files = static_cast<PFileListDrawer*>(GetSelectDrawer(1))) files->Update();
  if (tab == 2)
    if (auto* tl = static_cast<PTimelineListDrawer*>(GetSelectDrawer(2))) tl->Update();
  if (tab >= 3 && tab <= 6)
    if (auto* list = static_cast<PSetListDrawer*>(GetSetListDrawer(tab))) list->Update();
}

void PMainWindow::UpdateSelectors() {
  if (GetSelector() == nullptr) return;
  UpdateSelectorList(2);
  for (int tab : kSetTabs) UpdateSelectorList(tab);
  HiliteSelectors();
}

void PMainWindow::HiliteSelectors() const {
  if (GetSelector() == nullptr) return;
  for (size_t k = 0; k < sizeof kSetTabs / sizeof kSetTabs[0]; ++k) {
    auto* list = static_cast<PSetListDrawer*>(GetSetListDrawer(kSetTabs[k]));
    const PStringSet* set = list ? list->GetSet() : nullptr;
    if (set == nullptr) continue;
    list->SelectAll(false);
    // The rows of the selected records' values (a value the set lacks marks nothing), at
    // most 512 of them.
    ABitMap rows;
    rows.NewBitMap(static_cast<uint32_t>(set->GetSize()), false);
    int marked = 0;
    for (int i = 0; marked < kMostHilited && bc.NextSelected(&i); ++i) {
      const DBField& f = PDBgetField(bc.rdisp.Get(i), kSetFields[k]);
      if (f.GetDT() != DBDTstring) continue;
      for (int v = 0; v < f.GetNV() && marked < kMostHilited; ++v) {
        const char* s = static_cast<const char*>(f.GetPointer(v));
        const int row = s ? set->Find(s) : -1;
        if (row < 0 || rows.Check(static_cast<uint32_t>(row))) continue;
        rows.Set(static_cast<uint32_t>(row));
        ++marked;
      }
    }
    for (uint32_t row = 0; rows.Find(&row, true); ++row) list->Select(static_cast<int>(row), true);
  }
}

void PMainWindow::RecordSetSel(PSelectListDrawer* list, bool final) {
  auto* mw = list ? static_cast<PMainWindow*>(list->userData) : nullptr;
  if (mw != nullptr) mw->ProcessSetSel(static_cast<PSetListDrawer*>(list), final);
}

void PMainWindow::ProcessSetSel(PSetListDrawer* list, bool final) {
  if (list == nullptr || !bc.Ready() || list->GetSet() == nullptr) return;
  const ABitMap* rows = list->GetSelection();
  if (rows == nullptr) return;
  const PStringSet* set = list->GetSet();
  PDBFieldID field = PDBFend;
  const PStringSet* sets[] = {&bc.subjSet, &bc.albmSet, &bc.keywSet, &bc.ownrSet};
  for (size_t k = 0; k < 4; ++k)
    if (set == sets[k]) field = kSetFields[k];
  if (field == PDBFend) return;
  bc.dbs.Clear();
  bc.dbs.SetDB(&bc.pdb);
  int chosen = 0;
  const char* only = nullptr;
  for (uint32_t i = 0; rows->Find(&i, true); ++i) {
    DBRecord rec(&PDBFInfo);
    const char* value = (*set)[static_cast<int>(i)];
    if (value == nullptr) continue;
    rec.SetField(field, value);
    if (bc.dbs.AddSelector(rec, false) != 1) {
      // Reported, and the search goes on with what it has.
      DMESSAGE(DMCwarning, "AddSelector failed in ProcessSetSel");
      break;
    }
    ++chosen;
    only = value;
  }
  if (chosen == 0) return;
  if (!final) {
    SelectMatching();
    return;
  }
  PWorkProgress work("Searching catalog...");
  if (!ClearForSelectorSearch()) return;
  bc.dbs.Reset();
  bc.dbs.FindAll(&bc.rdisp);
  snprintf(bc.rsrc, sizeof bc.rsrc, "*DB");
  if (field == PDBFalbum && chosen == 1)
    snprintf(bc.album, sizeof bc.album, "%s", only);
  else
    bc.album[0] = '\0';
  LoadedRecords(0);
}

void PMainWindow::RecordTimelineSel(PSelectListDrawer* list, bool final) {
  auto* mw = list ? static_cast<PMainWindow*>(list->userData) : nullptr;
  if (mw != nullptr) mw->ProcessTimelineSel(static_cast<PTimelineListDrawer*>(list), final);
}

bool PMainWindow::ClearForSelectorSearch() {
  if (!LoadingRecords(nullptr)) return false;
  checkEvents(0);
  return true;
}

// Selects the displayed records that the context's search matches and shows the selection.
void PMainWindow::SelectMatching() {
  bc.SelectNone();
  const DBQuery* q = bc.dbs.GetQuery();
  for (int i = 0; i < bc.rdisp.GetSize(); ++i)
    if (bc.rdisp.Get(i).MatchQuery(q)) bc.Select(i, true);
  if (browser) browser->ShowSelection(false);
}

void PMainWindow::ProcessTimelineSel(PTimelineListDrawer* list, bool final) {
  if (list == nullptr || !bc.Ready()) return;
  const ABitMap* rows = list->GetSelection();
  if (rows == nullptr) return;
  DBRecord lo(&PDBFInfo), hi(&PDBFInfo);
  std::string earliest = "9999:99:99 99:99:99", latest = "0000:00:00 00:00:00";
  int firstRow = -1, lastRow = -1, nrows = 0, events = 0;
  bc.dbs.Clear();
  bc.dbs.SetDB(&bc.pdb);
  for (uint32_t r = 0; rows->Find(&r, true); ++r) {
    auto* node = static_cast<PTimelineFolder*>(list->GetFolder(static_cast<int>(r)));
    if (node == nullptr || !node->Valid()) continue;
    const PTimeLink* finish = node->GetFinish();
    for (const PTimeLink* e = node->GetStart(nullptr); e != nullptr && e != finish;
         e = e->NextEvent()) {
      const char* subject = e->GetSubject();
      const char* begin = e->GetBeginDate();
      const char* end = e->GetEndDate();
      if (subject == nullptr || begin == nullptr || end == nullptr) continue;  // nothing to find
      lo.SetField(PDBFsubject, subject);
      hi.SetField(PDBFsubject, subject);
      lo.SetField(PDBFcapdate, begin);
      hi.SetField(PDBFcapdate, end);
      if (bc.dbs.AddSelector(lo, hi, false) != 1) {
        DMESSAGE(DMCwarning, "AddSelector failed in ProcessTimelineSel");
        continue;
      }
      if (earliest > begin) earliest = begin;
      if (latest < end) latest = end;
      ++events;
    }
    if (firstRow < 0) firstRow = static_cast<int>(r);
    lastRow = static_cast<int>(r);
    ++nrows;
  }
  if (events == 0) return;
  bc.dbs.Reset();
  if (!final) {
    SelectMatching();
    return;
  }
  PWorkProgress work("Searching catalog...");
  if (!ClearForSelectorSearch()) return;
  if (events > 2 && nrows == lastRow - firstRow + 1) {
    // One search over the dates of the whole run, then only the records of its events kept.
    DBRecord from(&PDBFInfo), to(&PDBFInfo);
    from.SetField(PDBFcapdate, earliest.c_str());
    to.SetField(PDBFcapdate, latest.c_str());
    DBSearch range(&bc.pdb);
    if (range.AddSelector(from, to, false) != 1) DMESSAGE(DMCwarning, "Addselector failed");
    range.FindAll(&bc.rdisp);
    const DBFieldInfo* schema = bc.rdisp.GetFieldInfo();
    const int k = schema == &PDBFInfo ? PDBFcapdate
                  : schema != nullptr ? schema->GetID(PDBFInfo.GetName(PDBFcapdate))
                                      : -1;
    KeepMatching(&bc.rdisp, bc.dbs.GetQuery(), k);
  } else {
    bc.dbs.FindAll(&bc.rdisp);
  }
  snprintf(bc.rsrc, sizeof bc.rsrc, "*DB");
  bc.album[0] = '\0';
  LoadedRecords(0);
}

void PMainWindow::SelectFolder(const char* path, bool open) {
  if (auto* files = static_cast<PFileListDrawer*>(GetSelectDrawer(1)))
    files->SelectFolder(path, open);
}

void PMainWindow::RecordFileSel(PSelectListDrawer* list, bool final) {
  if (!final || list == nullptr) return;
  auto* files = static_cast<PFileListDrawer*>(list);
  const ABitMap* rows = files->GetSelection();
  uint32_t row = 0;
  if (rows == nullptr || !rows->Find(&row, true)) return;
  PFileFolder* node = files->GetFolder(static_cast<int>(row));
  if (node == nullptr || !node->Valid()) return;
  FSRef ref;
  const std::string path = node->GetPath(&ref);  // the tree is rebuilt under the load
  loadFolder(path.c_str(), false, &ref);
}
