// The image window's zoom steps, its one deferred-redraw timer, the full redraw, presenting the
// window, fixed exposure, false colour and the question before a temporary image leaves.
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/core/papp.h"
#include "app/core/pdialogs.h"
#include "app/image/pimagedrawer.h"
#include "app/image/pimagewin.h"
#include "catalog/pfieldset.h"
#include "support/cnumber.h"
#include "app/core/pappstate.h"

namespace {

EventLoopTimerRef redrawTimer = nullptr;

constexpr int kItems[11] = {1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12};

// Reads a number of stops: the whole text (blanks around it allowed) must be a finite number.
bool ParseStops(const char* text, double* stops) {
  errno = 0;
  char* end = nullptr;
  const double v = Cstrtod(text, &end);
  if (end == text || errno == ERANGE || !std::isfinite(v)) return false;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') return false;
  *stops = v;
  return true;
}

}  // namespace

int PImageWindow::ClosestZoomIndex(double z, int lean) {
  static const double down[10] = {0.16666666666666666,
                                  0.25,
                                  0.3333333333333333,
                                  0.5,
                                  0.6666666666666666,
                                  1.0,
                                  1.5,
                                  2.0,
                                  3.0,
                                  4.0};
  static const double up[10] = {
      0.125, 0.16666666666666666, 0.25, 0.3333333333333333, 0.5, 0.6666666666666666, 1.0, 1.5, 2.0,
      3.0};
  static const double nearest[10] = {0.145, 0.204, 0.287, 0.406, 0.579,
                                     0.819, 1.22,  1.73,  2.45,  3.46};
  for (int k = 0; k < 10; ++k) {
    const bool below = lean < 0 ? z < down[k] : lean > 0 ? z <= up[k] : z < nearest[k];
    if (below) return kItems[k];
  }
  return 12;
}

void PImageWindow::SetZoomItem(int item) {
  if (sizeControl == nullptr) return;
  SetControlValue(sizeControl, item);
  Draw1Control(sizeControl);
}

bool PImageWindow::SetZoom(short item) {
  if (sizeControl == nullptr) return false;
  if (GetControlValue(sizeControl) == item) return true;
  SetZoomItem(item);
  return Update();
}

int PImageWindow::ZoomStep(int amt) const {
  if (!Ready() || sizeControl == nullptr) return 0;
  int c = GetControlValue(sizeControl);
  if (amt == 0) return c;
  if (c == 7) c = ClosestZoomIndex(iring->GetZoom(nullptr), -amt);
  if (c < 1) c = 1;
  if (c > 12) c = 12;
  // Twelve steps reach either end: more change nothing.
  for (int k = amt > 12 ? 12 : amt; k > 0; --k) c = c == 6 ? 8 : c < 12 ? c + 1 : 12;
  for (int k = amt < -12 ? -12 : amt; k < 0; ++k) c = c == 8 ? 6 : c > 1 ? c - 1 : 1;
  return c;
}

bool PImageWindow::ZoomIncr(int amt) {
  if (!Ready()) return false;
  if (amt == 0) return true;
  if (sizeControl == nullptr) return false;
  SetZoomItem(ZoomStep(amt));
  return Update();
}

void PImageWindow::RedrawTimer(double nsec) {
  if (nsec <= 0) {
    if (redrawTimer != nullptr) RemoveEventLoopTimer(redrawTimer);
    redrawTimer = nullptr;
    return;
  }
  idleImprovements(0.0);
  if (redrawTimer == nullptr || SetEventLoopTimerNextFireTime(redrawTimer, nsec) != noErr) {
    redrawTimer = nullptr;
    InstallEventLoopTimer(nsec, 0, redrawCallback, this, &redrawTimer);
  }
}

void PImageWindow::redrawCallback(EventLoopTimerRef, void* userData) {
  if (userData != nullptr) static_cast<PImageWindow*>(userData)->Redraw();
}

void PImageWindow::Redraw() {
  if (saving) {
    RedrawTimer(0.35);  // after the save, which takes the frame it renders as it is
    return;
  }
  if (redrawing) {
    // Called while a redraw pumps events: the one running finishes first.
    RedrawTimer(0.01);
    return;
  }
  redrawing = true;
  // A redraw that pumped events and found another current image (or none) starts over; the
  // bound keeps a stream of changes from holding it forever.
  for (int pass = 0; pass < 16; ++pass) {
    if (!Ready()) {
      if (imd) imd->Wipe();
      break;
    }
    const unsigned long serial = ringSerial;
    PContext* ctx = Context();
    const int i = BrowserRecI();
    if (i >= 0 && ctx != nullptr) iring->UpdateRec(ctx->rdisp[i]);
    showPreempt = false;
    ResyncToImage();
    irShown = iring;
    UpdateImageButtons();
    if (irDrawn != iring) {
      checkEvents(0.0);
      if (serial != ringSerial) continue;
      if (!LoadInSlices(true)) {
        if (!Ready()) break;
        continue;
      }
    }
    if (imd) imd->Redraw();
    if (serial != ringSerial) continue;
    if (DropUnloadable()) {
      if (!Ready()) break;
      --pass;  // each drop shortens the ring: the passes stay bounded
      continue;
    }
    WindowRef w = GetWindow();
    if (w != nullptr && ActiveNonFloatingWindow() == w) {
      if (showGoing == 0)
        SelectImage(false);
      else if (gInfo)
        gInfo->ShowInfo(iring->GetRec(), false);
    }
    if (serial != ringSerial || !Ready()) continue;
    UpdateOperator();
    const bool hdr = iring->IsHDR();
    for (ControlRef c : {exposControl, exposAuto, exposLocal, exposHuman})
      if (c != nullptr) hdr ? EnableControl(c) : DisableControl(c);
    if (dataTextField != nullptr && (imd == nullptr || !imd->failed)) {
      char text[128] = "";
      _ImgRect r;
      if (imd != nullptr && imd->rectShown && iring->GetOrigSelection(&r)) {
        Csnprintf(text, sizeof text, "%.3g cd/m2 (%d,%d)/(%d,%d)", iring->AvgLuminance(nullptr),
                  r.xleft, r.ytop, r.xright, r.ybottom);
      } else {
        const DBRecord& rec = iring->GetRec();
        const int id = PDBid(rec, PDBFcapdate);
        if (id < 0 || !rec[id].IsSet() || rec.FormatField(id, text, 64) == nullptr) text[0] = 0;
      }
      PutControlText(dataTextField, text);
    }
    UpdateHistogram(-1);
    if (showGoing == 0)
      idleImprovements(1.0);
    else
      NextSlide();
    break;
  }
  redrawing = false;
}

bool PImageWindow::Present() {
  if (!Ready()) return false;
  if (controlPanel) controlPanel->Show(3);
  WindowRef w = GetWindow();
  SelectWindow(w);
  ShowWindow(w);
  Redraw();
  if (!Ready()) return false;  // its only pictures could not be loaded
  Show(1);
  return true;
}

bool PImageWindow::ManualExposure(double emult) {
  if (!Ready()) return false;
  PreemptSlide();
  if (emult <= 1e-7) {
    double x = 1.0;
    iring->GetExposure(&x);
    const int e = PimageStopsOf(x);
    const int v = exposControl != nullptr ? GetControlValue(exposControl) : e;
    if (v != e) {
      const double stops = (v - 50) * 0.3333333333333333;
      char text[32];
      Csnprintf(text, sizeof text, "%+.1f", stops);
      PutControlText(exposEditField, text);
      emult = std::pow(2.0, stops);
    } else {
      char text[17];
      if (exposEditField != nullptr && GetControlText(exposEditField, text, sizeof text, false) &&
          text[0] != '\0') {
        double stops = 0;
        if (!ParseStops(text, &stops)) {
          DMESSAGE(DMCinput, "Exposure must be given in stops");
          return false;
        }
        emult = std::pow(2.0, stops);
      } else {
        emult = x;
      }
    }
  }
  if (!(emult > 0) || !(emult <= FLT_MAX)) {
    DMESSAGE(DMCinput, "Exposure out of range");
    return false;
  }
  iring->SetExposure(emult);
  if (exposAuto) SetControlValue(exposAuto, 0);
  if (exposLocal) SetControlValue(exposLocal, 0);
  RedrawTimer(0.35);
  return true;
}

bool PImageWindow::FalseColor(bool switchon) {
  if (!Ready()) return false;
  if ((iring->fcs != nullptr) == switchon) return true;
  StopShow();
  if (switchon)
    iring->FalseColorOn(0.0, 0.0);
  else
    iring->FalseColorOff();
  Redraw();
  return true;
}

bool PImageWindow::CheckSave() {
  if (!Ready()) return false;
  if (iring->cloz == nullptr) {
    gConfirmResponse = kResponseOK;
    return true;
  }
  if (iring != irShown) Redraw();
  gConfirmResponse = kResponseCancel;
  OSType r = 0;
  // Asked again when a mount broke the wait; a question that cannot be shown answers Cancel.
  for (int tries = 0; r == 0 && tries < 100; ++tries)
    r = confirmDialog("Do you wish to save this image?", "Don't Save", kResponseOK);
  if (r == 0) r = kResponseCancel;
  gConfirmResponse = r;
  if (r == kResponseOK) return SaveImage() != 0;
  return false;
}
