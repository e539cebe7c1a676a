// The Make HDR command.
#include "app/hdrpano/makehdr.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pcmds.h"
#include "app/core/pdialogs.h"
#include "app/core/pfiles.h"
#include "app/core/pslice.h"
#include "app/export/ptrader.h"
#include "app/hdrpano/pforms.h"
#include "app/hdrpano/ptempimg.h"
#include "catalog/picache.h"
#include "catalog/pdbformat.h"
#include "catalog/pfieldset.h"
#include "hdr/phdflare.h"
#include "hdr/phdrimg.h"
#include "platform/pwindow.h"

namespace {

constexpr int kAllOptions = -1;
constexpr const char* kUserCancelled = "User cancelled";

// The engine's progress through the progress window; 0 stops it.
int Progress(const char* msg, int pct) {
  return reportProgress(msg, pct) ? 1 : 0;
}

// A merge ended by its Stop or a quit says so, on the status line and in the log.
int TellStopped(int exposures) {
  char text[96];
  snprintf(text, sizeof text, "Stopped: no HDR image made of %d exposures", exposures);
  // What the stopped work warned of on its way (left in the log) is moot now: the status line
  // tells the stop at once, without first blinking those warnings.
  dmessage_last_class = DMCnerr;
  if (gMain != nullptr) gMain->ShowMessage(text, false);
  DMESSAGE(DMCinfo, "%s", text);
  return 0;
}

// The Progress window the merge showed is gone when the command ends, however it ends, and
// while it asks a question.
void HideProgress() {
  if (gProgressWindow != nullptr && IsWindowVisible(gProgressWindow)) HideWindow(gProgressWindow);
}

struct ProgressHidden {
  ProgressHidden() = default;
  ProgressHidden(const ProgressHidden&) = delete;
  ProgressHidden& operator=(const ProgressHidden&) = delete;
  ~ProgressHidden() { HideProgress(); }
};

PContext* MainContext() {
  return gMain != nullptr ? &gMain->bc : nullptr;
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

void ClearPhotoField(DBRecord* rec, PDBFieldID fid) {
  const int id = PDBid(*rec, fid);
  if (id >= 0) rec->ClearField(id);
}

// Capture time in seconds of a record's capture date, 0 when it has none.
int64_t CaptureSecs(const DBRecord& r) {
  const char* d = PDBgetString(r, PDBFcapdate);
  if (d == nullptr) return 0;
  char text[20];
  snprintf(text, sizeof text, "%.19s", d);
  return PsecsFromDate(text);
}

}  // namespace

int getStoNits(DBRecord* rec) {
  if (rec == nullptr) return 0;
  float v;
  if (PDBgetFloat(*rec, PDBFstonits, &v)) return 1;
  float t, n, s = 100.0f;
  // An exposure time or aperture that is no positive number is as good as missing.
  if (!PDBgetFloat(*rec, PDBFexptime, &t) || !PDBgetFloat(*rec, PDBFaperture, &n) || !(t > 0) ||
      !(n > 0))
    return 0;
  if (!PDBgetFloat(*rec, PDBFasa, &s) || !(s > 0)) s = 100.0f;
  const float sto = (87.0f * n * n) / (t * s);
  if (!std::isfinite(sto) || !(sto > 0)) return 0;
  return PDBsetFloat(rec, PDBFstonits, sto) ? 1 : 0;
}

int matchOrient(const DBRecord& a, const DBRecord& b) {
  long fa = 0, fb = 0, ra = 0, rb = 0;
  PDBgetInt(a, PDBFflip, &fa);
  PDBgetInt(b, PDBFflip, &fb);
  if (fa != fb) return 0;
  PDBgetInt(a, PDBForient, &ra);
  PDBgetInt(b, PDBForient, &rb);
  ra = ((ra % 360) + 360) % 360;
  rb = ((rb % 360) + 360) % 360;
  return ra == rb ? 1 : 0;
}

const char* checkHDR(DBQuery* dq) {
  PContext* ctx = MainContext();
  if (checkRecords(false, nullptr).cancelled) return kUserCancelled;
  if (ctx == nullptr) return "No images selected";
  // An exposure whose File names no file makes no image: none is read.
  PLeftRecords left("Make HDR");
  for (int i = 0; ctx->NextSelected(&i) && i < ctx->rdisp.GetSize(); ++i) left.Named(ctx->rdisp[i]);
  if (left.Count() > 0) {
    static std::string why;
    why = left.Text();
    return why.c_str();
  }
  const DBRecord* ref = nullptr;
  ABitMap computed(static_cast<unsigned long>(ctx->rdisp.GetSize()), false);
  bool any = false;
  for (int i = 0; ctx->NextSelected(&i) && i < ctx->rdisp.GetSize(); ++i) {
    DBRecord& r = ctx->rdisp[i];
    if (!PDBgetField(r, PDBFstonits).IsSet()) {
      if (!getStoNits(&r)) return "Unknown image exposure(s)";
      computed.Set(static_cast<unsigned long>(i));
      any = true;
    }
    if (formatIsHDR(PDBgetString(r, PDBFformat))) return "Image(s) already in HDR format";
    if (ref == nullptr) ref = &r;
  }
  if (ref == nullptr) return "No images selected";
  // The factors computed here are kept with the records.
  if (any) ctx->RecordChange(nullptr, &computed, nullptr);
  ref = nullptr;
  int first = 0;
  if (ctx->NextSelected(&first) && first < ctx->rdisp.GetSize()) ref = &ctx->rdisp[first];
  if (ref == nullptr) return "No images selected";

  DBQuery q(ref->GetFieldInfo(), false);
  q.rlo.Init(ref->GetFieldInfo());
  q.rhi.Link(&q.rlo);
  static const PDBFieldID kSame[] = {PDBFsource,  PDBFmake,  PDBFmodel,
                                     PDBFversion, PDBFxsize, PDBFysize};
  for (PDBFieldID fid : kSame) CopyPhotoField(&q.rlo, *ref, fid);
  const int64_t t0 = CaptureSecs(*ref);
  for (int i = first + 1; ctx->NextSelected(&i) && i < ctx->rdisp.GetSize(); ++i) {
    const DBRecord& r = ctx->rdisp[i];
    const int64_t t = CaptureSecs(r);
    // Capture times are compared only when both records have one.
    if (t != 0 && t0 != 0 && (t - t0 > 1800 || t0 - t > 1800))
      return "Exposures taken more than 30 minutes apart";
    if (!r.MatchQuery(&q)) return "Images do not match source or size";
    if (!matchOrient(*ref, r)) return "Images do not match orientation";
  }
  if (dq != nullptr) {
    if (!DMASSERT_AS(dq->rlo.GetFieldInfo() == &CDBFInfo, "dq->rlo.GetFieldInfo() == &CDBFInfo"))
      return nullptr;
    dq->rlo.Init(&CDBFInfo);
    static const PDBFieldID kCamera[] = {PDBFmake, PDBFmodel, PDBFversion};
    for (int k = 0; k < 3; ++k) {
      const DBField& f = PDBgetField(*ref, kCamera[k]);
      if (f.IsSet()) dq->rlo.SetField(k, f);
    }
    dq->rhi.Link(&dq->rlo);
  }
  return nullptr;
}

int getHDROptions(int* respIndex) {
  int ri = -1;
  DBQuery q(&CDBFInfo, false);
  if (const char* why = checkHDR(&q)) {
    if (why != kUserCancelled) DMESSAGE(DMCinput, "%s", why);
    if (respIndex) *respIndex = -1;
    return -1;
  }
  // A camera the records do not name has no saved response: any one would be a guess.
  const bool known = q.rlo.GetNAssigned() > 0;
  if (known) ri = gCamResponse.FindFirst(&q);
  if (respIndex) *respIndex = ri;
  std::string camera;
  const char* make = q.rlo[CDBFmake].GetNV() > 0 ? q.rlo[CDBFmake].GetString(0) : nullptr;
  const char* model = q.rlo[CDBFmodel].GetNV() > 0 ? q.rlo[CDBFmodel].GetString(0) : nullptr;
  if (make != nullptr) camera.assign(make, strnlen(make, 256));
  if (model != nullptr) {
    if (!camera.empty()) camera += ' ';
    camera.append(model, strnlen(model, 256));
  }
  ControlID cid{kCmdMakeHDR, 128};
  ControlRef name = nullptr;
  if (gHDRWindow != nullptr && GetControlByID(gHDRWindow, &cid, &name) == noErr)
    PutControlText(name, camera.c_str());

  PContext* ctx = MainContext();
  const bool several = ctx != nullptr && ctx->TotalSelected() > 1;
  int setM = kAllOptions, clrM = kAllOptions;  // every option disabled
  if (several) {
    const int free = kHDRalign | kHDRexposure | kHDRflare | kHDRghosts | kHDRskip;
    setM &= ~free;
    clrM &= ~free;
  }
  if (ri >= 0 && ri < gCamResponse.GetSize() && gCamResponse[ri][CDBFgreen].IsSet()) {
    clrM &= ~kHDRuseResponse;                // enabled and checked
    if (several) setM &= ~kHDRsaveResponse;  // enabled, unchecked
  } else if (known && several) {
    clrM &= ~kHDRsaveResponse;
    setM &= ~kHDRskip;
    clrM |= kHDRskip;
  }
  return optionsDialog(gHDRWindow, setM, clrM, false);
}

void PgenericResponse(DBRecord* rec) {
  if (rec == nullptr) return;
  rec->Init(&CDBFInfo);
  rec->SetField(CDBFmake, "Generic");
  rec->SetField(CDBFmodel, "Camera");
  rec->SetField(CDBFversion, "0.0");
  const float square[3] = {0.0f, 0.0f, 1.0f};
  for (int c = CDBFred; c <= CDBFblue; ++c) rec->SetField(c, square, 3);
}

int saveTempHDR(DBRecord* rec, const _ImgStruct* img) {
  return PsaveTempImage(rec, img) ? 1 : 0;
}

int PmergeTempHDR(DBRecord* rec, int opts, int respIndex) {
  PContext* ctx = MainContext();
  if (rec == nullptr || ctx == nullptr) return 0;
  ProgressHidden hidden;
  std::unique_ptr<PHDImageMaker> mk(new PHDImageMaker());
  std::string history = std::string(gName) + " created HDR image from";
  for (int i = 0; ctx->NextSelected(&i) && i < ctx->rdisp.GetSize(); ++i) {
    PCacheImage* pci = mk->NewCacheImage();
    if (pci == nullptr) {
      DMESSAGE(DMCparameter, "Too many input images");
      return 0;
    }
    if (!pci->SetImage(ctx->rdisp[i], false)) return 0;
    const char* file = PDBgetString(ctx->rdisp[i], PDBFfile);
    history += std::string(" '") + (file != nullptr ? file : "") + "'";
  }
  if (mk->GetNI() < 1) return 0;
  const DBRecord* saved =
      respIndex >= 0 && respIndex < gCamResponse.GetSize() ? &gCamResponse[respIndex] : nullptr;
  if (opts & kHDRuseResponse) {
    if (saved != nullptr && mk->SetResponse(*saved))
      opts &= ~kHDRsaveResponse;
    else
      opts &= ~kHDRuseResponse;
  }
  auto flag = [&](int bit, int option) {
    if (opts & option)
      mk->solveFlags |= bit;
    else
      mk->solveFlags &= ~bit;
  };
  flag(PHDSalign, kHDRalign);
  flag(PHDSexposure, kHDRexposure);
  flag(PHDSskip, kHDRskip);
  flag(PHDSmovement, kHDRghosts);
  mk->reportProgress = Progress;
  const _ImgReader* last = mk->GetCacheImage(mk->GetNI() - 1)->GetReader();
  if (last == nullptr) return 0;
  _ImgStruct out = {last->xres, last->yres, &ICS_RGB709, 0, nullptr, nullptr};
  bool generic = false;
  if (!mk->GetHDImage(&out, nullptr)) {
    if (PprogressStopped()) return TellStopped(mk->GetNI());
    // An exposure that cannot be read, or a merge too large for memory, was told in words; no
    // other response would make the image.
    if (mk->UnreadableExposure() >= 0 || mk->TooLarge()) return 0;
    mk->solveFlags &= ~PHDSexposure;
    if (mk->GetNI() < 2 || mk->Unsolved() != PHDSresponse) return 0;
    opts &= ~kHDRsaveResponse;
    generic = saved == nullptr || !mk->SetResponse(*saved);
    HideProgress();
    OSType answer = 0;
    for (int tries = 0; answer == 0 && tries < 100; ++tries)
      answer = confirmDialog(
          generic ? "Use generic camera response instead?" : "Use saved response instead?", nullptr,
          kResponseOK);
    if (answer != kResponseOK) return 0;
    if (generic) {
      DBRecord g;
      PgenericResponse(&g);
      if (!mk->SetResponse(g)) {
        DMESSAGE(DMCparameter, "SetResponse failed!");
        return 0;
      }
    }
    out = _ImgStruct{last->xres, last->yres, &ICS_RGB709, 0, nullptr, nullptr};
    if (!mk->GetHDImage(&out, nullptr)) return PprogressStopped() ? TellStopped(mk->GetNI()) : 0;
  }
  // An exposure too extreme to be searched was merged where its neighbour lies: the user is
  // told which, once, since a hand-held series may then show a double image.
  std::string stood;
  for (int k = 0; k < mk->GetNI(); ++k) {
    if (!mk->Exposure(k).placedAsNeighbour) continue;
    const char* file = PDBgetString(mk->GetCacheImage(k)->GetRecord(), PDBFfile);
    if (!stood.empty()) stood += ", ";
    stood += file != nullptr ? file : "?";
  }
  if (!stood.empty())
    DMESSAGE(DMCinput, "Exposure too extreme for alignment: %s placed as its neighbour",
             stood.c_str());
  if (opts & kHDRsaveResponse) {
    DBRecord solved;
    if (mk->GetResponse(&solved)) {
      if (respIndex >= 0 && respIndex < gCamResponse.GetSize())
        gCamResponse[respIndex] = solved;
      else
        gCamResponse.NewRecord() = solved;
    }
  }
  rec->Init(&PDBFInfo);
  for (int k = 0; k < mk->GetNI(); ++k) *rec &= mk->GetCacheImage(k)->GetRecord();
  static const PDBFieldID kDropped[] = {PDBFalbum, PDBFposition, PDBFcaption, PDBFquality,
                                        PDBFcrop,  PDBFredeye,   PDBFspotexp};
  for (PDBFieldID fid : kDropped) ClearPhotoField(rec, fid);
  const DBRecord& lastRec = mk->GetCacheImage(mk->GetNI() - 1)->GetRecord();
  static const PDBFieldID kFromLast[] = {PDBFcapdate,  PDBFgmtdate, PDBFlatitude, PDBFlongitude,
                                         PDBFaltitude, PDBFbearing, PDBFflip,     PDBForient};
  for (PDBFieldID fid : kFromLast) CopyPhotoField(rec, lastRec, fid);
  PDBsetFloat(rec, PDBFstonits, mk->GetStoNits(-1));
  const int exposures = mk->GetNI();
  mk->Done();
  if (generic) history += "\nUsed generic camera response";
  if (opts & kHDRghosts) history += "\nRemoved ghosts";
  if ((opts & kHDRflare) && PHDremoveFlare(&out, Progress)) history += "\nRemoved lens flare";
  if (PprogressStopped()) {
    PfreeImage(&out);
    return TellStopped(exposures);
  }
  PDBsetText(rec, PDBFhistory, history.c_str(), '\n');
  int ok;
  {
    // Written a slice at a time: the windows keep answering, and a Stop ends the write.
    PSliceRead slices("Writing HDR image");
    ok = saveTempHDR(rec, &out);
  }
  checkEvents(0);  // before the result's memory is given back, itself a moment's work
  PfreeImage(&out);
  if (!ok && PprogressStopped()) return TellStopped(exposures);
  return ok;
}

int recordTempHDR(DBRecord* rec) {
  int respIndex = -1;
  const int opts = getHDROptions(&respIndex);
  if (opts < 0) return 0;
  return PmergeTempHDR(rec, opts, respIndex);
}

int makeHDR() {
  PBusyGuard busy;
  DBRecord rec;
  if (!recordTempHDR(&rec)) return 0;
  return PshowTempImage(rec, "makeHDR") ? 1 : 0;
}
