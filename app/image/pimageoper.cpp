// The image window's operators: crop, red-eye regions, spot-metering regions, luminance
// calibration and the panorama anchors, each acting on the current image through its
// rubber-band selection and stored in the image's catalogue record. The operator button offers
// them through a pop-up menu built here.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/core/papp.h"
#include "app/core/pcmds.h"
#include "app/core/pdialogs.h"
#include "app/core/pprefs.h"
#include "app/hdrpano/makepano.h"
#include "app/image/pimagedrawer.h"
#include "app/image/pimagewin.h"
#include "app/image/pimgsave.h"
#include "catalog/pfieldset.h"
#include "db/dbquery.h"
#include "hdr/phdrimg.h"
#include "platform/pmenu.h"
#include "platform/pmouse.h"
#include "support/cnumber.h"
#include "toolkit/pctltext.h"

namespace {

constexpr MenuID kOperatorMenu = 311;

// Selection area times this above the picture's area: too large for red-eye removal,
// calibration or a panorama anchor (the display image refuses red-eye at the same limit).
constexpr int64_t kSmallRegion = 25;

struct RegionOp {
  PDBFieldID field;
  int keep;  // values kept before the appended rectangle (-1: the field is replaced)
  const char* label[2];
  const char* echo[2];
};

const RegionOp kCrop = {PDBFcrop, -1, {"Crop", "Uncrop"}, {"Cropped", "Uncropped"}};
const RegionOp kRedEye = {
    PDBFredeye, 96, {"Red-eye", "No Red-eye"}, {"Removed red-eye in", "Undid red-eye removal in"}};
const RegionOp kSpot = {
    PDBFspotexp, 28, {"Spot-meter", "No Spot-meter"}, {"Spot-metered", "Undid spot-metering in"}};

int FieldCount(const DBRecord& r, PDBFieldID f) {
  const DBField& d = PDBgetField(r, f);
  return d.IsSet() && d.GetDT() == DBDTint ? d.GetNV() : 0;
}

// While the operator menu is popped up, a redraw (its timer may fire in the menu's wait) leaves
// the menu alone: rebuilding it would take away the item being chosen.
bool opMenuOpen = false;

}  // namespace

// The selection in unrotated image pixels when the pane shows a partial one.
static bool PartialSelection(const PImageWindow* w, _ImgRect* r) {
  return w->HasSelection() && w->iring->SomeSelected() > 0 && w->iring->GetOrigSelection(r);
}

void PImageWindow::OperatorState(bool on[6], bool* undo) const {
  for (int k = 0; k < 6; ++k) on[k] = false;
  *undo = false;
  if (!Ready() || iring->GetNFrames() >= 2) return;
  _ImgRect r;
  if (PartialSelection(this, &r)) {
    on[0] = on[2] = true;
    const int64_t sel = int64_t(r.xright - r.xleft) * (r.ybottom - r.ytop);
    const int64_t pic = int64_t(iring->GetOWidth()) * iring->GetOHeight();
    if (sel * kSmallRegion <= pic) {
      on[1] = true;
      on[5] = iring->IsHDR() && iring->AvgLuminance(nullptr) > 0.0;
      on[3] = gCurPano.CheckOrig(iring->GetRec(), r);
      on[4] = gCurPano.CheckDest(iring->GetRec(), r);
    }
  } else {
    *undo = true;
    on[0] = iring->CropRect(nullptr);
    on[1] = FieldCount(iring->GetRec(), PDBFredeye) >= 4;
    on[2] = FieldCount(iring->GetRec(), PDBFspotexp) >= 4;
    on[3] = gCurPano.irl.GetSize() > 0;
  }
}

void PImageWindow::UpdateOperator() {
  if (opButton == nullptr) return;
  const int nf = Ready() ? iring->GetNFrames() : 1;
  bool on[6];
  bool undo = false;
  OperatorState(on, &undo);
  if (frameControlD != nullptr && frameControlD->GetControl() != nullptr) {
    ControlRef fc = frameControlD->GetControl();
    SetControlVisibility(fc, nf > 1, true);
    if (nf > 1)
      EnableControl(fc);
    else
      DisableControl(fc);
  }
  bool any = false;
  for (bool b : on) any = any || b;
  if (opMenuOpen) {
    // The menu stays as it is; the redraw after the chosen command brings it up to date.
  } else if (any) {
    static const char* const kOn[6] = {"Crop",      "RedEye",    "SpotMeter",
                                       "Pano Orig", "Pano Dest", "Calibration"};
    static const char* const kUndo[4] = {"Undo Crop", "Undo RedEye", "Undo SpotMeter",
                                         "Clear Pano"};
    static const MenuCommand kCode[6] = {
        kCmdCrop,     kCmdRedEye, kCmdSpotMeter, kCmdPanoramaOrigin, kCmdPanoramaDestination,
        kCmdCalibrate};
    if (opMenu == nullptr || !IsValidMenu(opMenu))
      opMenu = NewMenu(kOperatorMenu, "Operator");
    else
      DeleteMenuItems(opMenu, 1, CountMenuItems(opMenu));
    for (int k = 0; k < 6 && opMenu != nullptr; ++k)
      if (on[k]) AppendMenuItemText(opMenu, undo ? kUndo[k] : kOn[k], kCode[k], nullptr);
    PutControlText(opButton, "Apply");
    EnableControl(opButton);
  } else {
    if (opMenu != nullptr) ReleaseMenu(opMenu);
    opMenu = nullptr;
    PutControlText(opButton, "Play");
    if (Playable())
      EnableControl(opButton);
    else
      DisableControl(opButton);
  }
  Draw1Control(opButton);
}

SInt32 PImageWindow::SelectOperator() {
  if (!Ready() || opMenu == nullptr) return 0;
  Point at{0, 0};
  GetGlobalMouse(&at);
  opMenuOpen = true;
  const SInt32 chosen = PopUpMenuSelect(opMenu, at.v, at.h, 0);
  opMenuOpen = false;
  return chosen;
}

// The shared transaction of the region operators: applies the selection to the field, or
// clears the field when there is no selection.
static bool RegionEdit(PImageWindow* w, const RegionOp& op) {
  if (!w->Ready()) return false;
  PImageRing* ir = w->iring;
  _ImgRect r;
  const bool apply = w->HasSelection() && ir->SomeSelected() > 0;
  if (!apply) {
    const bool has =
        op.field == PDBFcrop ? ir->CropRect(nullptr) : FieldCount(ir->GetRec(), op.field) >= 4;
    if (!has) return false;
  }
  w->StopShow();
  IBrowser* br = w->browser;
  const int i = w->BrowserRecI();
  DBRecord copy;
  DBRecord* rec = nullptr;
  if (i >= 0 && br != nullptr && br->NewChange(op.label[apply ? 0 : 1])) {
    rec = br->ChangeRecord(i);
    if (rec == nullptr) br->NoChange();
  }
  const bool displayed = rec != nullptr;
  if (!displayed) {
    copy = ir->GetRec();
    rec = &copy;
  }
  if (op.field != PDBFcrop && w->imd != nullptr) w->imd->Invalid();
  bool ok = false;
  if (apply) {
    ok = ir->GetOrigSelection(&r) && r.xleft < r.xright && r.ytop < r.ybottom && r.xleft >= 0 &&
         r.xright <= ir->GetOWidth() && r.ytop >= 0 && r.ybottom <= ir->GetOHeight();
    if (ok) {
      long v[100];
      int n = 0;
      if (op.keep > 0) {
        const DBField& f = PDBgetField(*rec, op.field);
        const int have = FieldCount(*rec, op.field);
        for (; n < have && n < op.keep; ++n) v[n] = f.GetInt(n);
        n -= n % 4;  // whole rectangles only
      }
      v[n++] = r.xleft;
      v[n++] = r.ytop;
      v[n++] = r.xright;
      v[n++] = r.ybottom;
      ok = PDBsetInts(rec, op.field, v, n);
    }
  } else {
    const int id = PDBid(*rec, op.field);
    ok = id >= 0;
    if (ok) rec->ClearField(id);
  }
  if (!ok) {
    if (displayed) br->NoChange();
    return false;
  }
  const DBRecord edited = *rec;
  if (!displayed) {
    if (gMain) gMain->SetUndoable(false);
  } else if (br->CompleteChange() > 0 && gMain) {
    gMain->EchoAction(op.echo[apply ? 0 : 1], 1);
  }
  ir->UpdateRec(edited);
  ir->ClearSelection();
  w->Redraw();
  if (op.field == PDBFcrop && gInfo) gInfo->UpdateFields();
  return true;
}

bool PImageWindow::Crop() {
  return RegionEdit(this, kCrop);
}

bool PImageWindow::RedEye() {
  return RegionEdit(this, kRedEye);
}

bool PImageWindow::SpotMeter() {
  return RegionEdit(this, kSpot);
}

// The saved response of the record's camera: its index in gCamResponse, or -1.
static int CameraResponse(const DBRecord& rec) {
  const char* make = PDBgetString(rec, PDBFmake);
  const char* model = PDBgetString(rec, PDBFmodel);
  const char* version = PDBgetString(rec, PDBFversion);
  if (make == nullptr || model == nullptr || version == nullptr) return -1;
  DBQuery q(&CDBFInfo, false);
  if (q.rlo.SetField(CDBFmake, make) < 0 || q.rlo.SetField(CDBFmodel, model) < 0 ||
      q.rlo.SetField(CDBFversion, version) < 0)
    return -1;
  return gCamResponse.FindFirst(&q);
}

bool PImageWindow::Calibrate() {
  if (!Ready() || !HasSelection() || iring->SomeSelected() <= 0 || !iring->IsHDR()) return false;
  const float v = static_cast<float>(iring->AvgLuminance(nullptr));
  if (!(v > 0.0f)) return false;
  StopShow();
  const int i = BrowserRecI();
  DBRecord copy;
  DBRecord* rec = nullptr;
  if (i >= 0 && browser != nullptr && browser->NewChange("Calibrate")) {
    rec = browser->ChangeRecord(i);
    if (rec == nullptr) browser->NoChange();
  }
  const bool displayed = rec != nullptr;
  if (!displayed) {
    copy = iring->GetRec();
    rec = &copy;
  }
  char buf[256];
  Csnprintf(buf, sizeof buf, "%4g", static_cast<double>(v));
  // The typed luminance is read whole as a finite positive number whose ratio to the measured
  // one stays within float range; anything else is refused.
  double sf = 0.0;
  if (getInput(buf, sizeof buf, "Enter correct luminance (cd/m2)") == kResponseOK && buf[0]) {
    char* end = nullptr;
    const double L = Cstrtod(buf, &end);
    while (end != nullptr && *end == ' ') ++end;
    if (end == nullptr || *end != '\0' || !std::isfinite(L) || L <= 0.0 || !(L / v <= 3.0e38) ||
        !(L / v >= 1.0e-37)) {
      DMESSAGE(DMCinput, "Bad luminance value");
    } else {
      sf = L / v;
    }
  }
  if (sf <= 0.0 || (sf >= 0.995f && sf <= 1.005f)) {
    if (displayed) browser->NoChange();
    return false;
  }
  // The factor scaled is the one the luminance was measured with: the record's, else the one
  // the display read the file with.
  double old = PrecordStoNits(*rec);
  if (old <= 0.0) old = iring->StoNits();
  if (old <= 0.0) old = 1.0;
  const double stonits = old * sf;
  if (!(stonits <= 3.0e38 && stonits >= 1.0e-37) || !PDBsetFloat(rec, PDBFstonits, stonits)) {
    if (displayed) browser->NoChange();
    return false;
  }
  const int cr = CameraResponse(*rec);
  if (cr >= 0) {
    DBRecord& resp = gCamResponse[cr];
    const char* make = PDBgetString(*rec, PDBFmake);
    const char* model = PDBgetString(*rec, PDBFmodel);
    std::string word(make, strcspn(make, " "));
    if (word.size() > 31) word.resize(31);
    double cam = 0.0;
    if (const DBField* g = resp.GetField(CDBFgreen))
      for (int k = 0; k < g->GetNV() && k < 6; ++k) cam += g->GetFloat(k);
    const bool temp = iring->cloz == PDeleteTempImage || iring->cloz == PIsaveDelete;
    // Replacing divides by the response's full-scale value: offered only when it is positive.
    const bool replace = !temp && cam > 0.0 && !(cam >= 0.995f && cam <= 1.005f);
    char msg[512];
    Csnprintf(msg, sizeof msg, "Done.  %s %4g factor to the %s %s response?",
              replace ? "Add" : "Apply", sf, word.c_str(), model);
    OSType ans = 0;
    while (ans == 0) ans = confirmDialog(msg, replace ? "Replace" : nullptr, kResponseOK);
    double factor = 0.0;
    if (ans == kResponseCustom && replace)
      factor = sf / cam;
    else if (ans == kResponseOK)
      factor = sf;
    if (factor > 0.0) {
      for (int f = CDBFred; f <= CDBFblue; ++f) {
        const DBField* c = resp.GetField(f);
        float co[6];
        const int n = c != nullptr ? std::min(c->GetNV(), 6) : 0;
        for (int k = 0; k < n; ++k) co[k] = static_cast<float>(c->GetFloat(k) * factor);
        if (n > 0) resp.SetField(f, co, n);
      }
      DMESSAGE(DMCinfo, "Applied correction of %4g to %s %s", factor, make, model);
    }
  }
  const DBRecord edited = *rec;
  if (!displayed) {
    if (gMain) gMain->SetUndoable(false);
  } else if (browser->CompleteChange() > 0 && gMain) {
    gMain->EchoAction("Calibrated", 1);
  }
  iring->UpdateRec(edited);
  Redraw();
  return true;
}

bool PImageWindow::LinkPano(OSType cmd) {
  if (!Ready() || iring->SomeSelected() < 0) return false;
  if (!HasSelection()) {
    gCurPano.ClearPano();
    Redraw();
    return true;
  }
  _ImgRect r;
  if (!iring->GetOrigSelection(&r)) return false;
  if (cmd == kCmdPanoramaOrigin) return gCurPano.LinkOrig(iring->GetRec(), r);
  if (cmd != kCmdPanoramaDestination || !gCurPano.LinkDest(iring->GetRec(), r)) return false;
  iring->ClearSelection();
  Redraw();
  return true;
}
