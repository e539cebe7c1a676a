// The browser's edit transaction: every command that edits displayed records marks them here,
// and the transaction files them with the catalogue context as one labelled undo step.
#include <cstdio>

#include "app/browser/pbrowser.h"
#include "app/core/pidle.h"
#include "app/core/pdialogs.h"
#include "support/dmessage.h"

bool PBrowser::NewChange(const char* label) {
  if (label == nullptr) label = "";
  if (changeName != nullptr) {
    // A question of the open transaction waits with the windows live; another edit must wait.
    DMESSAGE(DMCwarning, "'%s' is still being changed: '%s' not started", changeName, label);
    return false;
  }
  PContext* ctx = GetContext();
  if (ctx == nullptr) return false;
  snprintf(changeText, sizeof changeText, "%s", label);
  // A display beyond the snapshot budget would lose its saved state at the checkpoint anyway:
  // its step then undoes by reflecting the change alone.
  const bool save = ctx->rdisp.GetSize() + ctx->TotalCommon() <= PContext::kSnapshotBudget;
  changeSS = new PCSnapshot(ctx, save);
  changeMap.NewBitMap(static_cast<uint32_t>(ctx->rdisp.GetSize()), false);
  changeBusy = new PBusyGuard;
  changeName = changeText;
  return true;
}

DBRecord* PBrowser::ChangeRecord(int i) {
  PContext* ctx = GetContext();
  if (changeName == nullptr) {
    DMESSAGE(DMCwarning, "Record change outside an edit");
    return nullptr;
  }
  if (ctx == nullptr || i < 0 || i >= ctx->rdisp.GetSize() ||
      static_cast<uint32_t>(i) >= changeMap.Length()) {
    DMESSAGE(DMCwarning, "No displayed record %d to change in '%s'", i, changeName);
    return nullptr;
  }
  changeMap.Set(static_cast<uint32_t>(i));
  return &ctx->rdisp[i];
}

int PBrowser::CompleteChange() {
  if (changeName == nullptr) return 0;
  PContext* ctx = GetContext();
  if (ctx == nullptr || changeMap.SumTotal() == 0) {
    NoChange();
    return 0;
  }
  // Whether an edited record lies outside the catalogue: such edits make no undo step.
  bool outside = ctx->TotalCommon() == 0;
  if (ctx->TotalCommon() > 0 && mainw != nullptr) {
    // The changed records that are catalogued may hold fields the catalogue lacks.
    ABitMap common, changed(changeMap);
    ctx->GetCommon(&common);
    for (uint32_t i = 0; changed.Find(&i, true); i++)
      if (!common.Check(i)) {
        changed.Reset(i);
        outside = true;
      }
    if (!mainw->CheckNewFields(&changed)) {
      NoChange();
      return 0;
    }
  }
  PCSnapshot* snap = changeSS;
  changeSS = nullptr;  // the context owns it from here on
  int n = 0;
  {
    PWorkProgress work("Changing records...");
    n = ctx->RecordChange(changeName, &changeMap, snap);
    NoChange();
    Redisplay();
    // An edit of catalogued records that wrote nothing (every value was already there) keeps
    // the undo steps before it; edits outside the catalogue or a failed write end them.
    if (mainw != nullptr) mainw->SetUndoable(n >= 1 || (n == 0 && !outside));
  }
  PeditsWhole();  // filed as one step: what the command asks next may wait while a sync runs
  return n;
}

void PBrowser::NoChange() {
  delete changeSS;
  changeSS = nullptr;
  changeName = nullptr;
  changeMap.NewBitMap(0);
  PBusyGuard* busy = changeBusy;
  changeBusy = nullptr;
  delete busy;  // last: a quit chosen meanwhile goes through now
}
