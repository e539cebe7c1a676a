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

// The pane's catalogue context: the main window's.

PContext* IBrowser::GetContext() const {
  return gMain != nullptr ? &gMain->bc : nullptr;
}
