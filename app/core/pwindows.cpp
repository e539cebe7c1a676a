// Panes shared by the windows.
#include "app/core/pwindows.h"

PDrawer* PformPane(WindowRef w) {
  PDrawer* pane = new PEmptyDrawer;
  GetWindowPortBounds(w, &pane->extent);
  pane->minsize = Point{pane->extent.bottom, pane->extent.right};
  pane->Drawn();
  return pane;
}
