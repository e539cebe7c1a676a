// The image window's ring of open images: adding images from files, records and the browser's
// selection, reconciling their records with the catalogue, moving through and reordering the
// ring, closing, and keeping the browser's selection, the panel and the title in step.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pcommands.h"
#include "app/core/pfiles.h"
#include "app/core/pslice.h"
#include "app/records/precfile.h"
#include "app/image/pimagedrawer.h"
#include "app/image/pimagewin.h"
#include "catalog/pfieldset.h"
#include "image/pbandread.h"
#include "support/cnumber.h"

namespace {

// The exposure stepper's value for a multiplier: 50 + 3 log2(m), rounded; a multiplier that is
// not a finite positive number, or one beyond the stepper's reach, shows as 50 (no change).
int StopsOf(double m) {
  if (!(m > 0) || !std::isfinite(m)) return 50;
  const double e = std::log(m) * 3.0 / std::log(2.0) + 50.5;
  if (!(e > -32768.0 && e < 32768.0)) return 50;
  return static_cast<short>(static_cast<int>(e));
}

}  // namespace

int PimageStopsOf(double m) {
  return StopsOf(m);
}

bool PImageWindow::AddImage(PImageRing* ir) {
  if (ir == nullptr) return false;
  StopShow();
  ir->SetDisplaySpace(&dispCS, ldDyn, ldMax);
  if (iring != nullptr) ir->JoinRing(iring);
  iring = ir;
  ++ringSerial;
  if (irFirst == nullptr) irFirst = ir;
  return true;
}

bool PImageWindow::AddImage(const char* path) {
  if (path == nullptr) return false;
  PImageRing* ir = new PImageRing(path, nullptr);
  if (!ir->Ready()) {
    delete ir;
    return false;
  }
  DBRecord copy = ir->GetRec();
  PContext* ctx = Context();
  const bool changed = ctx != nullptr && ctx->Reconcile(&copy);
  if (PImageRing* match = MatchImage(copy)) {
    delete ir;
    Advance(match);
    return true;
  }
  if (changed) ir->UpdateRec(copy);
  return AddImage(ir);
}

bool PImageWindow::AddImage(const DBRecord& rec, bool reconcile) {
  DBRecord copy = rec;
  PContext* ctx = Context();
  const bool changed = reconcile && ctx != nullptr && ctx->Reconcile(&copy);
  if (PImageRing* match = MatchImage(copy)) {
    Advance(match);
    return true;
  }
  PImageRing* ir = new PImageRing(copy, nullptr);
  if (!ir->Ready()) {
    delete ir;
    return false;
  }
  if (changed) ir->UpdateRec(copy);
  return AddImage(ir);
}

int PImageWindow::OpenImages() {
  PContext* ctx = Context();
  if (ctx == nullptr || ctx->TotalSelected() < 1) return 0;
  PImageRing* first = nullptr;
  int n = 0;
  PLeftRecords left("Open");
  for (int i = 0; ctx->NextSelected(&i); ++i) {
    if (i >= ctx->rdisp.GetSize()) break;
    if (!left.Named(ctx->rdisp[i]) || !AddImage(ctx->rdisp[i], false)) continue;
    if (first == nullptr) first = iring;
    ++n;
  }
  Advance(first);
  left.Tell();
  return n;
}

PImageRing* PImageWindow::MatchImage(const DBRecord& rec) const {
  if (iring == nullptr) return nullptr;
  PImageRing* ir = iring;
  do {
    if (ir->GetRec() == rec) return ir;
    ir = ir->GetNext();
  } while (ir != iring);
  return nullptr;
}

void PImageWindow::Advance(const PImageRing* ir) {
  if (ir == nullptr || iring == nullptr || ir == iring) return;
  for (PImageRing* p = iring->GetNext(); p != iring; p = p->GetNext())
    if (p == ir) {
      iring = p;
      ++ringSerial;
      return;
    }
}

void PImageWindow::Advance(int n) {
  if (fileControl == nullptr) return;
  SetControlValue(fileControl, 50 + n);
  Update();
}

bool PImageWindow::Reconcile(PImageRing* ir) {
  PContext* ctx = Context();
  if (ctx == nullptr || ir == nullptr) return false;
  DBRecord copy = ir->GetRec();
  if (!ctx->Reconcile(&copy)) return false;
  return ir->UpdateRec(copy);
}

void PImageWindow::Reconcile() {
  if (iring == nullptr) return;
  for (PImageRing* p = iring->GetNext(); p != iring; p = p->GetNext()) Reconcile(p);
  Reconcile(iring);
  if (imd) imd->Invalid();
  Redraw();
}

void PImageWindow::Forget(PImageRing* ir) {
  if (irDrawn == ir) irDrawn = nullptr;
  irShown = nullptr;
  ++ringSerial;
}

bool PImageWindow::CloseImage(bool cancancel) {
  if (iring == nullptr) return true;
  StopShow();
  PImageRing* victim = iring;
  if (!victim->CloseImage(cancancel)) return false;
  PImageRing* next = victim->GetNext();
  PImageRing* prev = victim->Unlink();
  if (prev == nullptr) {
    // The last image: the ring is empty.
    iring = irFirst = nullptr;
  } else if (victim == irFirst) {
    iring = irFirst = next;
  } else {
    iring = prev;
  }
  Forget(victim);
  delete victim;
  return true;
}

bool PImageWindow::LoadInSlices(bool opening) {
  PImageRing* ir = iring;
  if (imd == nullptr || ir == nullptr || !ir->Ready()) return true;
  // Sized a little over the pane, so that the drawing never asks for more than is read.
  int w = imd->GetRWidth() * 9 / 8, h = imd->GetRHeight() * 9 / 8;
  if (ir->XYswapped()) std::swap(w, h);
  const int before = ir->Reduction();
  ir->PrepareView(w, h);
  // Pictures read in a moment are read by the drawing itself.
  if (!PreadInSlices(ir->GetOWidth(), ir->GetOHeight())) return true;
  struct Watch {
    PImageWindow* win;
    PImageRing* ring;
    unsigned long serial;
    bool Same() const { return win->ringSerial == serial && win->iring == ring; }
  } watch{this, ir, ringSerial};
  const char* file = PDBgetField(ir->GetRec(), PDBFfile).GetString(0);
  char msg[300];
  std::snprintf(msg, sizeof msg, "Loading '%s'...", file != nullptr ? file : "image");
  // One read under its own progress; true when it was stopped.
  auto read = [&]() {
    PBusyGuard busy;
    PSliceRead slices(
        msg, [](void* d) { return static_cast<const Watch*>(d)->Same(); }, &watch);
    ir->CheckLoad();
    return slices.Stopped();
  };
  bool stopped = read();
  const bool refused = !stopped && ir->FirstFrameFailed();
  if (watch.Same() && !opening && ir->Reduction() < before && (stopped || refused)) {
    // A zoom in that needed more than this computer's memory holds (told as the load failed),
    // or that was stopped: the view goes back to fitting the window, read as before.
    ir->SetZoomToFit();
    if (sizeControl != nullptr) SetControlValue(sizeControl, 7);
    ir->PrepareView(w, h);
    if (refused) ir->Reload();
    stopped = read();
  }
  if (!stopped) return true;
  // An opening stopped by its Stop (not by a move to another image): the picture closes.
  if (watch.Same()) {
    CloseImage(false);
    if (iring == nullptr) {
      Show(0);
      HideWindow(GetWindow());
    }
  }
  return false;
}

bool PImageWindow::Unloadable() const {
  return iring != nullptr && iring->FirstFrameFailed() && iring->cloz == nullptr && showGoing == 0;
}

bool PImageWindow::DropUnloadable() {
  if (!Unloadable() || !CloseImage(false)) return false;
  if (iring == nullptr) {
    Show(0);
    HideWindow(GetWindow());  // also when it was shown without its drawer (Present)
  }
  return true;
}

int PImageWindow::CloseImages(bool cancancel) {
  while (iring != nullptr)
    if (!CloseImage(cancancel)) return 0;
  return 1;
}

void PImageWindow::Reload() {
  StopShow();
  if (iring == nullptr) return;
  if (imd) imd->Invalid();
  Reconcile(iring);
  if (iring->Reload()) Redraw();
}

void PImageWindow::ReloadAll() {
  if (iring == nullptr) return;
  for (PImageRing* p = iring->GetNext(); p != iring; p = p->GetNext()) {
    Reconcile(p);
    p->Reload();
  }
  Reload();
}

int PImageWindow::BrowserRecI() const {
  PContext* ctx = Context();
  if (ctx == nullptr || iring == nullptr) return -1;
  return ctx->FindI(iring->GetRec());
}

bool PImageWindow::SelectImage(bool force) {
  PContext* ctx = Context();
  if (ctx == nullptr || !Ready() || (!force && iring != irShown)) return false;
  const int i = BrowserRecI();
  if (i >= 0) {
    if (loneRecord(ctx) != &ctx->rdisp[i]) {
      ctx->SelectNone();
      ctx->Select(i, true);
      browser->ShowSelection(true);
    }
    return true;
  }
  if (!force) {
    if (ctx->TotalSelected() > 0) {
      ctx->SelectNone();
      browser->ShowSelection(false);
    }
    if (gInfo) gInfo->ShowInfo(iring->GetRec(), false);
    return false;
  }
  if (!CheckSave()) return false;
  ctx->SelectNone();
  snprintf(ctx->rsrc, sizeof ctx->rsrc, "%s", "*EX");
  ctx->Clear(ctx->Ready() ? nullptr : iring->GetRec().GetFieldInfo());
  ctx->rdisp.NewRecord() = iring->GetRec();
  ctx->Reconcile();
  if (gInfo) gInfo->ShowInfo(browser, 0, false);
  ctx->Select(0, true);
  browser->Redisplay();
  browser->ImproveDisplay(false);
  Redraw();
  return true;
}

void PImageWindow::Reposition(int n) {
  if (n == 0 || iring == nullptr || iring->GetNext() == iring) return;
  StopShow();
  if (iring == irFirst) irFirst = iring->GetNext();
  PImageRing* moved = iring;
  PImageRing* at = moved->Unlink();
  for (int k = n; k > 0; --k) at = at->GetNext();
  for (int k = n; k < 0; ++k) at = at->GetPrev();
  if (n < 0 && irFirst == at->GetNext()) irFirst = moved;
  moved->JoinRing(at);
  iring = moved;
  ++ringSerial;
  Redraw();
}

bool PImageWindow::Reorient(OSType cmd) {
  if (cmd == 0) return true;
  if (!Ready()) return false;
  StopShow();
  const int i = BrowserRecI();
  PContext* ctx = Context();
  DBRecord copy;
  DBRecord* rec = nullptr;
  if (i >= 0 && ctx != nullptr && browser->NewChange("Reorient")) {
    rec = browser->ChangeRecord(i);
    if (rec == nullptr) browser->NoChange();
  }
  const bool displayed = rec != nullptr;
  if (!displayed) {
    copy = iring->GetRec();
    rec = &copy;
  }
  if (!reorientRecord(rec, cmd)) {
    if (displayed) browser->NoChange();
    return false;
  }
  const DBRecord edited = *rec;
  if (!displayed) {
    if (gMain) gMain->SetUndoable(false);
  } else if (browser->CompleteChange() > 0 && gMain) {
    gMain->EchoAction("Reoriented", 1);
  }
  iring->UpdateRec(edited);
  Redraw();
  if (gInfo) gInfo->UpdateFields();
  return true;
}

int PImageWindow::ImageIndex(const PImageRing* ir) const {
  if (ir == nullptr) ir = iring;
  if (ir == nullptr || irFirst == nullptr) return -1;
  int n = 0;
  const PImageRing* p = irFirst;
  do {
    if (p == ir) return n;
    ++n;
    p = p->GetNext();
  } while (p != irFirst);
  return -1;
}

int PImageWindow::ImageCount() const {
  if (iring == nullptr) return 0;
  int n = 1;
  for (const PImageRing* p = iring->GetNext(); p != iring; p = p->GetNext()) ++n;
  return n;
}

void PImageWindow::SelectAll() {
  if (!Ready()) return;
  iring->SelectAll();
  Redraw();
}

void PImageWindow::SelectNone() {
  if (!Ready()) return;
  const bool had = imd != nullptr && imd->rectShown;
  const bool some = iring->SomeSelected() != 0;
  if (imd) imd->ShowRect(false);
  iring->ClearSelection();
  if (had || some) {
    PutControlText(dataTextField, "");  // the readout of the selection
    UpdateOperator();                   // no longer the selection's operators
  }
  if (had) UpdateHistogram(-1);
}

void PImageWindow::ResyncToImage() {
  if (iring == nullptr) return;
  const char* file = PDBgetString(iring->GetRec(), PDBFfile);
  if (file != nullptr)
    PutControlText(fileTextField, file);
  else
    ClearControlText(fileTextField);
  if (iring != irShown) {
    // A failure the pane told was the picture shown before: this one's readout is its own.
    if (imd != nullptr) imd->failed = false;
    if (dataTextField != nullptr) PutControlText(dataTextField, "Loading...");
  }
  if (syncView && iring != irShown && irShown != nullptr) {
    PImageRing* shown = irShown;
    double mult = 1.0;
    const int mode = shown->GetExposure(&mult);
    if (shown->IsHDR()) {
      iring->SetExposureMode(mode);
      if (shown->fcs != nullptr && iring->IsHDR()) {
        double lim[2];
        if (shown->GetFCLimits(lim))
          iring->FalseColorOn(lim[1], lim[0]);
        else
          iring->FalseColorOn(0.0, 0.0);
      } else {
        iring->FalseColorOff();
        if ((mode & (PEMauto | PEMlocal)) == 0) iring->SetExposure(mult);
      }
    }
    int z[2];
    shown->GetZoom(z);
    iring->SetZoomRatio(z[0], z[1]);
    POrient on, oo;
    if (iring->GetOrient(&on) && shown->GetOrient(&oo)) {
      const int wn = on.GetWidth(), hn = on.GetHeight(), wo = oo.GetWidth(), ho = oo.GetHeight();
      if (wo > 0 && ho > 0 && std::abs(wn - wo) < wo / 10 && std::abs(hn - ho) < ho / 10) {
        iring->rWidth = shown->rWidth;
        iring->rHeight = shown->rHeight;
        int off[2];
        shown->GetOffset(off);
        iring->SetOffset(static_cast<int>(static_cast<long long>(off[0]) * wn / wo),
                         static_cast<int>(static_cast<long long>(off[1]) * hn / ho));
        _ImgRect r;
        if (shown->GetSelection(&r))
          iring->SelectRect(r.xleft, r.ytop, r.xright, r.ybottom);
        else
          iring->ClearSelection();
      }
    }
    if (shown->IsZoomToFit()) iring->SetZoomToFit();
  }
  if (fileControl) SetControlValue(fileControl, 50);
  if (frameControlD && frameControlD->GetControl())
    SetControlValue(frameControlD->GetControl(), 50);
  if (sizeControl != nullptr) {
    const int item = iring->IsZoomToFit() ? 7 : ClosestZoomIndex(iring->GetZoom(nullptr), 0);
    SetZoomItem(item);
  }
  double x = 1.0;
  const int m = iring->GetExposure(&x);
  const int e = StopsOf(x);
  char text[64];
  Csnprintf(text, sizeof text, "%+.1f", (e - 50) * 0.3333333333333333);
  if (exposEditField) PutControlText(exposEditField, text);
  if (exposControl) SetControlValue(exposControl, e);
  if (exposAuto) SetControlValue(exposAuto, m & 1);
  if (exposLocal) SetControlValue(exposLocal, (m >> 1) & 1);
  if (exposHuman) SetControlValue(exposHuman, (m >> 2) & 1);
  if (GetWindow() != nullptr) {
    const int count = ImageCount();
    if (count <= 1) {
      SetWindowTitle(GetWindow(), "Image");
    } else {
      snprintf(text, sizeof text, "Image %d (of %d)", ImageIndex(nullptr) + 1, count);
      SetWindowTitle(GetWindow(), text);
    }
  }
}
