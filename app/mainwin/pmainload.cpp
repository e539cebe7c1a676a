// The main window's loading bracket around every load of displayed records. Until the
// catalogue operations are built, it empties the display, shows it, and counts what came.
#include <cstdio>
#include <cstring>

#include "app/mainwin/pmainw.h"
#include "app/core/pappstate.h"

void PMainWindow::LoadingRecords(const DBFieldInfo* schema) {
  if (!DMASSERT_AS(wdrawer != nullptr, "wdrawer != NULL")) return;
  bc.Clear(schema);
  if (browser) browser->Redisplay();
  idleImprovements(0);
  Show(1);
  ShowMessage("Scanning...", true);
}

void PMainWindow::LoadedRecords(int nfound) {
  if (GetWindow() == nullptr) return;
  bc.Reconcile();
  const int n = bc.rdisp.GetSize();
  char msg[96];
  if (nfound > 0)
    snprintf(msg, sizeof msg, "%d/%d files", n, nfound);
  else
    snprintf(msg, sizeof msg, "%d records", n);
  if (strcmp(bc.rsrc, "*DB") != 0 && bc.TotalCommon() > 0) {
    const size_t used = strlen(msg);
    snprintf(msg + used, sizeof msg - used, " (%d in DB)", bc.TotalCommon());
  }
  if (browser) browser->Redisplay();
  Show(1);
  ShowMessage(msg, false);
}
