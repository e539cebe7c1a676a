// The selector lists turned into displays: clicks in the set lists select or search records,
// and the selected records' values are highlighted in the set lists.
#include <cstdio>
#include <cstring>

#include "app/core/pdialogs.h"
#include "app/mainwin/pmainw.h"
#include "catalog/pfieldset.h"

namespace {

// The set tabs and their fields.
constexpr int kSetTabs[] = {3, 4, 5, 6};
constexpr PDBFieldID kSetFields[] = {PDBFsubject, PDBFalbum, PDBFkeyword, PDBFowner};
constexpr int kMostHilited = 512;

}  // namespace

void PMainWindow::AddSelectorTabs() {
  const PStringSet* sets[] = {&bc.subjSet, &bc.albmSet, &bc.keywSet, &bc.ownrSet};
  selector->AddTab(nullptr);
  selector->AddTab(nullptr);
  for (const PStringSet* set : sets) {
    PSetListDrawer* list = new PSetListDrawer(set);
    list->act = RecordSetSel;
    list->userData = this;
    selector->AddTab(list);
  }
}

void PMainWindow::UpdateSelectorList(int tab) {
  if (tab >= 3 && tab <= 6)
    if (auto* list = static_cast<PSetListDrawer*>(GetSetListDrawer(tab))) list->Update();
}

void PMainWindow::UpdateSelectors() {
  if (GetSelector() == nullptr) return;
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
    DBField all;
    for (int i = 0; bc.NextSelected(&i); ++i) all |= PDBgetField(bc.rdisp.Get(i), kSetFields[k]);
    if (all.GetDT() != DBDTstring) continue;
    const int n = all.GetNV() < kMostHilited ? all.GetNV() : kMostHilited;
    for (int v = n; v-- > 0;) {
      const char* s = static_cast<const char*>(all.GetPointer(v));
      const int row = s ? set->Find(s) : -1;
      if (row >= 0) list->Select(row, true);
    }
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
    bc.SelectNone();
    const DBQuery* q = bc.dbs.GetQuery();
    for (int i = 0; i < bc.rdisp.GetSize(); ++i)
      if (bc.rdisp.Get(i).MatchQuery(q)) bc.Select(i, true);
    if (browser) browser->ShowSelection(false);
    return;
  }
  if (!LoadingRecords(nullptr)) return;
  checkEvents(0);
  bc.dbs.Reset();
  bc.dbs.FindAll(&bc.rdisp);
  snprintf(bc.rsrc, sizeof bc.rsrc, "*DB");
  if (field == PDBFalbum && chosen == 1)
    snprintf(bc.album, sizeof bc.album, "%s", only);
  else
    bc.album[0] = '\0';
  LoadedRecords(0);
}
