// The browser pane: construction, the table's field list, clearing and drawing.
#include "app/browser/pbrowser.h"

#include "app/core/papp.h"
#include "catalog/pdbase.h"

PThumbnailer& PBrowser::tnMgr = PthumbManager();

PBrowser::PBrowser(IMainWindow* mw)
    : mainw(mw),
      tnDenom(0),
      topleftIndex(0),
      insertIndex(-1),
      csiz{16, 160},
      cwidth(22),
      dfOrder{},
      dfCount(0),
      dfSel(0),
      highlighted(false) {
  grav = 15;
  minsize = Point{200, 200};
  Drawn();
}

PBrowser::~PBrowser() {
  Clear();
}

int PBrowser::Show(int vis) {
  int change = UpdateVis(vis);
  if (change > 0) Redraw();
  if (change < 0) Clear();
  return change;
}

void PBrowser::Clear() {
  if (IsVisible()) Wipe();
  highlighted = false;
  insertIndex = -1;
}

void PBrowser::Redraw() {
  if (IsVisible()) {
    SetPort(nullptr);
    const RGBColor pane{0xFFFF, 0xFFFF, 0xFFFF};
    RGBBackColor(&pane);
    EraseRect(&extent);
    ResetPort();
  }
  Drawn();
}

void PBrowser::Redisplay() {
  const int top = topleftIndex;
  Clear();
  topleftIndex = mainw && top < mainw->bc.rdisp.GetSize() ? top : 0;
  Redraw();
}

void PBrowser::SetDisplayFields(int whichf) {
  dfCount = 0;
  dfBMap.NewBitMap(0, false);
  dfSel = whichf;
}

bool PBrowser::AddDisplayFieldID(int fid) {
  if (dfCount >= 128 || fid < 0) return false;
  if (mainw && mainw->bc.Ready() && fid >= mainw->bc.phd.GetNFields()) return false;
  dfOrder[dfCount++] = static_cast<int16_t>(fid);
  return true;
}

bool PBrowser::AddDisplayField(int photoField) {
  int fid = photoField;
  if (mainw && mainw->bc.Ready()) fid = mainw->bc.phd.XlateID(&PDBFInfo, photoField);
  return AddDisplayFieldID(fid);
}
