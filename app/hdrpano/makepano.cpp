// The Panorama command: its dialog, the rendering and the new record.
#include "app/hdrpano/makepano.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pcmds.h"
#include "app/core/pcommands.h"
#include "app/hdrpano/pforms.h"
#include "app/records/precfile.h"
#include "app/core/pdialogs.h"
#include "app/hdrpano/ptempimg.h"
#include "catalog/pfieldset.h"
#include "formats/tiffimg.h"
#include "support/dmessage.h"
#include "toolkit/pctltext.h"

PPanorama gCurPano;

namespace {

constexpr size_t kNamesMax = 4094;

ControlRef PanoControl(SInt32 id) {
  ControlID cid{kCmdPanorama, id};
  ControlRef c = nullptr;
  if (gPanoWindow == nullptr || GetControlByID(gPanoWindow, &cid, &c) != noErr) return nullptr;
  return c;
}

bool Checked(SInt32 id) {
  ControlRef c = PanoControl(id);
  return c != nullptr && GetControlValue(c) != 0;
}

// The panorama engine's progress through the progress window; 0 stops it.
int PanoProgress(const char* msg, int pct) {
  return reportProgress(msg, pct) ? 1 : 0;
}

// The finishing steps of a large canvas go on while its Progress window does: asked every few
// thousand pixels, it is shown (and events handled) once a twentieth of a second went by.
bool FinishGoOn() {
  static auto last = std::chrono::steady_clock::now();
  const auto now = std::chrono::steady_clock::now();
  if (now - last < std::chrono::milliseconds(50)) return !PprogressStopped();
  const bool go = reportProgress(nullptr, 5);
  last = std::chrono::steady_clock::now();
  return go;
}

// Sets PpanoGoOn for a scope.
struct FinishPoll {
  explicit FinishPoll(bool on) { PpanoGoOn = on ? FinishGoOn : nullptr; }
  ~FinishPoll() { PpanoGoOn = nullptr; }
  FinishPoll(const FinishPoll&) = delete;
  FinishPoll& operator=(const FinishPoll&) = delete;
};

// A build ended by its Stop or a quit says so, on the status line and in the log.
int TellStopped() {
  char text[96];
  snprintf(text, sizeof text, "Stopped: no panorama made of %d images", gCurPano.irl.GetSize());
  // What the stopped work warned of on its way (left in the log) is moot now: the status line
  // tells the stop at once, without first blinking those warnings.
  dmessage_last_class = DMCnerr;
  if (gMain != nullptr) gMain->ShowMessage(text, false);
  DMESSAGE(DMCinfo, "%s", text);
  return 0;
}

void ClearPhotoField(DBRecord* rec, PDBFieldID fid) {
  const int id = PDBid(*rec, fid);
  if (id >= 0) rec->ClearField(id);
}

void CopyPhotoField(DBRecord* to, const DBRecord& from, PDBFieldID fid) {
  const int id = PDBid(*to, fid);
  if (id < 0) return;
  const DBField& f = PDBgetField(from, fid);
  if (f.IsSet())
    to->SetField(id, f);
  else
    to->ClearField(id);
}

// Describes the panorama in rec: what its members share, the first member's time and place,
// the canvas size and where it came from.
void FillPanoRecord(DBRecord* rec, int width, int height, int pct) {
  const DBRecordList& irl = gCurPano.irl;
  rec->Init(&PDBFInfo, true);
  irl.Intersection(rec, true);
  static const PDBFieldID kCleared[] = {PDBFtitle,  PDBFalbum,  PDBFposition, PDBFcaption,
                                        PDBFxangle, PDBFyangle, PDBFview,     PDBFquality,
                                        PDBFcrop,   PDBFredeye, PDBFspotexp};
  for (PDBFieldID fid : kCleared) ClearPhotoField(rec, fid);
  if (irl.GetSize() > 0) {
    static const PDBFieldID kFirst[] = {PDBFcapdate, PDBFgmtdate, PDBFlatitude, PDBFlongitude,
                                        PDBFaltitude};
    for (PDBFieldID fid : kFirst) CopyPhotoField(rec, irl.Get(0), fid);
  }
  PDBsetInt(rec, PDBFxsize, width);
  PDBsetInt(rec, PDBFysize, height);
  const float sto = gCurPano.GetStoNits();
  if (sto > 0) PDBsetFloat(rec, PDBFstonits, sto);
  if (pct != 100) {
    float d;
    for (PDBFieldID fid : {PDBFxdensity, PDBFydensity})
      if (PDBgetFloat(*rec, fid, &d)) PDBsetFloat(rec, fid, d / (pct / 100.0));
  }
  std::string history = std::string(gName) + " created panorama from";
  for (int i = 0; i < irl.GetSize(); ++i)
    if (const char* file = PDBgetString(irl.Get(i), PDBFfile))
      history += std::string(" '") + file + "'";
  PDBsetString(rec, PDBFhistory, history.c_str());
}

}  // namespace

void putFileNames(ControlRef cntl, const DBRecordList& irl) {
  if (cntl == nullptr) return;
  std::string names;
  for (int i = 0; i < irl.GetSize() && names.size() <= kNamesMax; ++i) {
    const char* file = PDBgetString(irl.Get(i), PDBFfile);
    if (file == nullptr) continue;
    if (!names.empty()) names += ' ';
    names += file;
  }
  if (names.size() > kNamesMax) {
    size_t cut = kNamesMax;  // not inside a character
    while (cut > 0 && (static_cast<unsigned char>(names[cut]) & 0xC0) == 0x80) --cut;
    names.resize(cut);
  }
  PutControlText(cntl, names.c_str());
}

int panoDialogOK(_ImgColorSpace* cs, int* xyres, int* szPct) {
  if (gPanoWindow == nullptr) return 0;
  const char* why = gCurPano.CheckPano(cs, xyres, nullptr);
  putFileNames(PanoControl(133), gCurPano.irl);
  ControlRef build = PanoControl(137);
  PutControlText(PanoControl(132), why != nullptr ? why : "Ready to build Panorama using:");
  if (build != nullptr) {
    if (why != nullptr)
      DisableControl(build);
    else
      EnableControl(build);
  }
  runDialog(gPanoWindow);
  if (gConfirmResponse == kResponseCustom) {
    gCurPano.ClearPano();
    return 0;
  }
  if (why != nullptr || gConfirmResponse != kResponseOK) return 0;
  if (szPct != nullptr) {
    ControlRef slider = PanoControl(134);
    *szPct = slider != nullptr ? GetControlValue(slider) : 100;
  }
  ControlRef matte = PanoControl(135);
  int bits = matte != nullptr ? GetControlValue(matte) & kPanoMatteMask : 1;
  if (Checked(138)) bits |= kPanoExpand;
  if (Checked(139)) bits |= kPanoTrim;
  if (Checked(140)) bits |= kPanoRandom;
  return bits;
}

int saveTempPano(DBRecord* rec, const _ImgStruct* img) {
  if (rec == nullptr || img == nullptr || img->csp == nullptr) return 0;
  if (IWInterfaceTIFF.SupportedCS(img->csp, 100) == nullptr) {
    DMESSAGE(DMCparameter, "Unsupported TIFF color space");
    return 0;
  }
  return PsaveTempImage(rec, img) ? 1 : 0;
}

int recordTempPano(DBRecord* rec) {
  if (rec == nullptr) return 0;
  _ImgColorSpace cs = ICS_sRGB;
  int xyres[2] = {0, 0}, pct = 100;
  const int bits = panoDialogOK(&cs, xyres, &pct);
  if (bits == 0) return 0;
  pct = std::clamp(pct, 1, 100);
  const int64_t w = (int64_t{xyres[0]} * pct + 50) / 100;
  const int64_t h = (int64_t{xyres[1]} * pct + 50) / 100;
  const int64_t b = (bits & kPanoExpand) ? std::min(w, h) / 20 : 0;
  if (w < 1 || h < 1 || w + 2 * b > INT32_MAX / 4 || h + 2 * b > INT32_MAX / 4) {
    DMESSAGE(DMCparameter, "Bad panorama size (%lld x %lld)", static_cast<long long>(w),
             static_cast<long long>(h));
    return 0;
  }
  _ImgRect rect = {int32_t(b), int32_t(b + w), int32_t(b), int32_t(b + h)};
  _ImgStruct canvas = {int32_t(w + 2 * b), int32_t(h + 2 * b), &cs, 0, nullptr, nullptr};
  if (!PnewImage(&canvas, 0)) return 0;
  _ImgStruct pano = {};
  if (!PlinkSubimage(&pano, &canvas, &rect)) {
    DMESSAGE(DMCparameter, "PlinkSubimage failed!");
    PfreeImage(&canvas);
    return 0;
  }
  ABitMap2 mask;
  if (!gCurPano.RenderPano(&pano, &mask)) {
    PfreeImage(&pano);
    PfreeImage(&canvas);
    return PprogressStopped() ? TellStopped() : 0;
  }
  if (mask.Width() != pano.xres || mask.Height() != pano.yres) {
    DMESSAGE(DMCmemory, "No memory for the panorama's coverage");
    PfreeImage(&pano);
    PfreeImage(&canvas);
    return 0;
  }
  rect.xright = rect.xleft + pano.xres;
  rect.ybottom = rect.ytop + pano.yres;
  TrimCornerRad = std::max(1, std::min(pano.xres, pano.yres) / 20);
  const bool large = int64_t{canvas.xres} * canvas.yres > kPanoLargeCanvas;
  FinishPoll poll(large);
  if (bits & kPanoTrim) trimPano(&mask);
  if (large && !PanoProgress("Filling Matte", 5)) {
    PfreeImage(&pano);
    PfreeImage(&canvas);
    return TellStopped();
  }
  // Without a matte colour there is nothing to fill the matte with: no panorama then.
  unsigned char* color = getMatteColor(&pano, mask, bits & kPanoMatteMask);
  if (color == nullptr) {
    PfreeImage(&pano);
    PfreeImage(&canvas);
    if (large && PprogressStopped()) return TellStopped();
    if (large) reportProgress(nullptr, 100);
    return 0;
  }
  fillMatte(&pano, mask, color, !(bits & kPanoRandom));
  PfreeImage(&pano);
  addMatteBorder(&canvas, rect, color);
  FillPanoRecord(rec, canvas.xres, canvas.yres, pct);
  if (large && !PanoProgress("Writing Temporary Image", 70)) {
    PfreeImage(&canvas);
    return TellStopped();
  }
  const int ok = saveTempPano(rec, &canvas);
  PfreeImage(&canvas);
  if (large) reportProgress("Done", 100);
  return ok;
}

int makePano() {
  gCurPano.reportProgress = PanoProgress;
  if (gCurPano.irl.GetSize() > 1) {
    PBusyGuard busy;
    DBRecord rec;
    if (!recordTempPano(&rec)) return 0;
    return PshowTempImage(rec, "makePano") ? 1 : 0;
  }
  if (gMain != nullptr && gMain->bc.TotalSelected() > 1) {
    OSType answer = 0;
    for (int tries = 0; answer == 0 && tries < 100; ++tries)
      answer =
          confirmDialog("Link images by corresponding features using 'Pano Orig' and 'Pano Dest'",
                        nullptr, kResponseOK);
    if (answer == kResponseOK) openImages(nullptr, nullptr);
  }
  return 0;
}
