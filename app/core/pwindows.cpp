// Panes shared by the windows.
#include "app/core/pwindows.h"

#include "app/core/papp.h"

PDrawer* PformPane(WindowRef w) {
  PDrawer* pane = new PEmptyDrawer;
  GetWindowPortBounds(w, &pane->extent);
  pane->minsize = Point{pane->extent.bottom, pane->extent.right};
  pane->Drawn();
  return pane;
}

// The browser's do-least services until the browser has its own.

PContext* IBrowser::GetContext() const {
  return gMain != nullptr ? &gMain->bc : nullptr;
}

bool IBrowser::NewChange(const char* label) {
  if (changeLabel != nullptr) return false;
  changeLabel = label != nullptr ? label : "";
  return true;
}

DBRecord* IBrowser::ChangeRecord(int i) {
  PContext* c = GetContext();
  if (changeLabel == nullptr || c == nullptr || i < 0 || i >= c->rdisp.GetSize()) return nullptr;
  return &c->rdisp[i];
}

int IBrowser::CompleteChange() {
  changeLabel = nullptr;
  return 0;
}

void IBrowser::NoChange() {
  changeLabel = nullptr;
}
