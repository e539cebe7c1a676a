// Saving edited images: the save command of the image window, its five ways of producing the
// pixels, the record's geometry made to match them, the catalogue brought up to date, and the
// close callback that offers temporary images for saving.
#include "app/core/pcmds.h"
#include "app/image/pforms.h"
#include "app/image/pimgsave.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pdialogs.h"
#include "app/core/pslice.h"
#include "app/image/psaveimg.h"
#include "app/image/pimagedrawer.h"
#include "app/image/pimagewin.h"
#include "catalog/pfieldset.h"
#include "catalog/pfileinfo.h"
#include "catalog/plocate.h"
#include "picture/view.h"
#include "platform/ptempfile.h"
#include "support/cnumber.h"
#include "support/pwork.h"

namespace {

struct ReaderCloser {
  void operator()(_ImgReader* ir) const {
    if (ir != nullptr && ir->ri != nullptr && ir->ri->Close != nullptr) ir->ri->Close(ir);
  }
};
using ReaderPtr = std::unique_ptr<_ImgReader, ReaderCloser>;

void ClearPhotoField(DBRecord* rec, PDBFieldID fid) {
  const int id = PDBid(*rec, fid);
  if (id >= 0) rec->ClearField(id);
}

// A colour space that an image block can take a private copy of.
_ImgColorSpace OwnCopy(const _ImgColorSpace& cs) {
  _ImgColorSpace c = cs;
  c.cstatic = 0;
  return c;
}

// Whether a temporary image's file and a saved file are one (a save over the temporary file).
bool SameFile(const char* a, const char* b) {
  struct stat sa, sb;
  return strcmp(a, b) == 0 || (stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
                               sa.st_ino == sb.st_ino);
}

// Removes a temporary image's file: the platform's own, else the file itself.
void DeleteTemp(const char* path) {
  if (path == nullptr || *path == '\0') return;
  if (!RemoveTempFile(path) && unlink(path) != 0)
    DMESSAGE(DMCwarning, "Cannot delete temp image '%s'", path);
}

bool IsTempCloser(bool (*cloz)(PDisplayImage*, bool)) {
  return cloz == PDeleteTempImage || cloz == PIsaveDelete;
}

// The read of a picture for a save: a large one is read a slice at a time, under progress
// with its Stop once it takes a while.
class SaveRead {
 public:
  explicit SaveRead(const DBRecord& rec) : slices_(Message(rec).c_str()) {}

 private:
  static std::string Message(const DBRecord& rec) {
    const char* file = PDBgetString(rec, PDBFfile);
    return std::string("Loading '") + (file != nullptr ? file : "image") + "'...";
  }
  PSliceRead slices_;
};

// The path of rec's file, for the words that refuse a picture too large to save.
std::string FileOf(const DBRecord& rec) {
  char path[1024];
  return PcurrentFile(path, sizeof path, rec) != nullptr ? path : "";
}

// The record of a written file for one that described its old contents: rec in old's schema,
// with the user's own fields as old has them; the edit settings go with the pixels (rec's).
DBRecord KeptUserFields(const DBRecord& rec, const DBRecord& old) {
  const DBFieldInfo* schema = old.GetFieldInfo();
  DBRecord copy;
  copy.Init(schema, true);
  copy = rec;
  static const PDBFieldID kEdits[] = {PDBFcrop, PDBForient, PDBFflip, PDBFredeye, PDBFspotexp};
  for (int id = 0; id < old.GetNAlloc(); ++id) {
    const DBFDetails* dd = old.GetFieldDetails(id);
    if (dd == nullptr || !(dd->flags & PDBFLuser)) continue;
    bool edit = false;
    for (PDBFieldID e : kEdits) edit = edit || PDBid(old, e) == id;
    if (edit) continue;
    if (old[id].IsSet())
      copy.SetField(id, old);
    else
      copy.ClearField(id);
  }
  return copy;
}

// Whether the record's file (its name in its first folder) is the one at loc/file.
bool NamesFile(const DBRecord& r, const char* loc, const char* file) {
  const char* f = PDBgetString(r, PDBFfile);
  const char* l = PDBgetString(r, PDBFlocation);
  return f != nullptr && l != nullptr && strcmp(f, file) == 0 && strcmp(l, loc) == 0;
}

}  // namespace

// ---- Record geometry.

bool formatIsGrayscale(const DBRecord& rec) {
  const char* f = PDBgetString(rec, PDBFformat);
  if (f == nullptr) return false;
  std::string lower(f);
  for (char& c : lower) c = Clower(c);
  if (lower.find(" grayscale") != std::string::npos ||
      lower.find(" luminance") != std::string::npos)
    return true;
  return strncmp(f, "EXR ", 4) == 0 && strstr(f, " Green") != nullptr;
}

bool formatReorients(const DBRecord& rec) {
  const char* f = PDBgetString(rec, PDBFformat);
  return f != nullptr && strncmp(f, "Vortelux ", 9) == 0;
}

int adjustExposure(DBRecord* rec, _ImgStruct* img, float mult) {
  if (img == nullptr || img->csp == nullptr || img->img == nullptr || img->csp->dtype != IDTfloat)
    return 0;
  const size_t n = static_cast<size_t>(img->xres) * ImgPixelLen[img->csp->format];
  for (int y = 0; y < img->yres; ++y) {
    float* p = reinterpret_cast<float*>(img->img + static_cast<ptrdiff_t>(y) * img->rowsize);
    for (size_t i = 0; i < n; ++i) p[i] *= mult;
  }
  float s;
  if (rec != nullptr && PDBgetFloat(*rec, PDBFstonits, &s)) PDBsetFloat(rec, PDBFstonits, s / mult);
  return 1;
}

void fixImageSettings(DBRecord* rec, const POrient* ior, const _ImgRect* crop) {
  if (rec == nullptr || (ior == nullptr && crop == nullptr)) return;
  long W = 0, H = 0;
  const bool sized =
      PDBgetInt(*rec, PDBFxsize, &W) && PDBgetInt(*rec, PDBFysize, &H) && W > 0 && H > 0;
  _ImgRect c =
      crop != nullptr ? *crop : _ImgRect{0, static_cast<int32_t>(W), 0, static_cast<int32_t>(H)};
  const int cw = c.xright - c.xleft, ch = c.ybottom - c.ytop;
  POrient o;
  if (ior != nullptr) {
    o = *ior;
    ClearPhotoField(rec, PDBForient);
    ClearPhotoField(rec, PDBFflip);
  } else {
    o.SetOrigSize(cw, ch);  // the pixels are the crop, as they are
  }
  bool resized = false;
  if (crop != nullptr) {
    ClearPhotoField(rec, PDBFcrop);
    resized = cw != W || ch != H;
  }
  ClearPhotoField(rec, PDBFredeye);
  ClearPhotoField(rec, PDBFspotexp);
  PDBsetInt(rec, PDBFxsize, o.GetWidth());
  PDBsetInt(rec, PDBFysize, o.GetHeight());

  float xd = 0, yd = 0;
  const bool hx = PDBgetFloat(*rec, PDBFxdensity, &xd), hy = PDBgetFloat(*rec, PDBFydensity, &yd);
  ClearPhotoField(rec, PDBFxdensity);
  ClearPhotoField(rec, PDBFydensity);
  if (hx && cw > 0) {
    xd = static_cast<float>(xd * (static_cast<double>(o.xres) / cw));
    if (xd > 1.0f) PDBsetFloat(rec, o.xyswap ? PDBFydensity : PDBFxdensity, xd);
  }
  if (hy && ch > 0) {
    yd = static_cast<float>(yd * (static_cast<double>(o.yres) / ch));
    if (yd > 1.0f) PDBsetFloat(rec, o.xyswap ? PDBFxdensity : PDBFydensity, yd);
  }
  // The view needs the image's size: without one the view and angles stay as they were.
  if (!sized || cw <= 0 || ch <= 0) return;

  VIEW v = stdview;
  bool parsed = false;
  if (const char* vs = PDBgetString(*rec, PDBFview)) {
    char text[129];
    snprintf(text, sizeof text, "%s", vs);
    parsed = sscanview(&v, text) > 0;
  }
  if (!parsed) {
    float xa, ya;
    if (!PDBgetFloat(*rec, PDBFxangle, &xa) || !PDBgetFloat(*rec, PDBFyangle, &ya)) return;
    v = stdview;
    v.type = VT_PER;
    v.horiz = xa;
    v.vert = ya;
  }
  v.voff = -v.voff;
  if (resized) {
    const double sx = static_cast<double>(cw) / W, sy = static_cast<double>(ch) / H;
    const double d2r = M_PI / 360.0, r2d = 360.0 / M_PI;  // half angles
    switch (v.type) {
      case VT_ANG:
      case VT_PAR:
        v.horiz *= sx;
        v.vert *= sy;
        break;
      case VT_CYL:
        v.horiz *= sx;
        v.vert = r2d * std::atan(std::tan(v.vert * d2r) * sy);
        break;
      case VT_HEM:
        v.horiz = r2d * std::asin(std::sin(v.horiz * d2r) * sx);
        v.vert = r2d * std::asin(std::sin(v.vert * d2r) * sy);
        break;
      case VT_PER:
        v.horiz = r2d * std::atan(std::tan(v.horiz * d2r) * sx);
        v.vert = r2d * std::atan(std::tan(v.vert * d2r) * sy);
        break;
      default:
        DMESSAGE(DMCwarning, "Unknown view type '-vt%c'", v.type);
        return;
    }
    v.hoff = ((c.xleft + c.xright - W) / (2.0 * W) + v.hoff) / sx;
    v.voff = ((c.ytop + c.ybottom - H) / (2.0 * H) + v.voff) / sy;
  }
  if (o.hflip) v.hoff = -v.hoff;
  if (o.vflip) v.voff = -v.voff;
  if (o.xyswap) {
    std::swap(v.horiz, v.vert);
    std::swap(v.hoff, v.voff);
  }
  v.voff = -v.voff;
  PDBsetFloat(rec, PDBFxangle, v.horiz);
  PDBsetFloat(rec, PDBFyangle, v.vert);
  if (PDBgetField(*rec, PDBFview).IsSet()) {
    const char* opts = viewopt(&v);
    while (*opts == ' ' || *opts == '\t') ++opts;
    const std::string text = strncmp(opts, "-vt", 3) == 0 ? opts : std::string("-vtv ") + opts;
    PDBsetString(rec, PDBFview, text.c_str());
  }
}

// ---- The save command.

void PImageWindow::ExposureRule(DBRecord* rec, _ImgStruct* img) const {
  double m = 1.0;
  const int mode = iring->GetExposure(&m);
  if ((mode & (PEMauto | PEMlocal)) == 0 && (m < 0.8 || m > 1.25))
    adjustExposure(rec, img, static_cast<float>(m));
}

int PImageWindow::SaveImage() {
  if (!Ready()) return 0;
  StopShow();
  // The window's own commands and clicks wait while the save runs, its events pumped: they
  // would change the image being written.
  struct Saving {
    bool* flag;
    bool was;
    explicit Saving(bool* f) : flag(f), was(*f) { *f = true; }
    ~Saving() { *flag = was; }
  } saving_(&saving);
  const DBRecord orec = iring->GetRec();
  DBRecord nrec = orec;
  const bool hdr = iring->IsHDR();
  // The file written states the factor the picture is shown with, so that it opens with the
  // luminance shown even in a format whose own default differs.
  if (hdr && PrecordStoNits(nrec) <= 0.0 && iring->StoNits() > 0.0)
    PDBsetFloat(&nrec, PDBFstonits, iring->StoNits());
  const bool turned = !iring->ior.IsNoop();
  const bool cropped = iring->CropRect(nullptr);
  const bool eyes = PDBgetField(orec, PDBFredeye).IsSet();
  const bool spots = PDBgetField(orec, PDBFspotexp).IsSet();
  const double z = iring->GetZoom(nullptr);
  const bool part = imd != nullptr && imd->rectShown && iring->SomeSelected() == 1;

  // Every option starts disabled; a bit in one mask only is enabled, checked or not.
  int setM = -1, clrM = -1;
  auto offer = [&](int bit, bool on, bool checked) {
    if (!on) return;
    if (checked)
      clrM &= ~bit;
    else
      setM &= ~bit;
  };
  offer(0x08, hdr, true);
  offer(0x10, turned || cropped || eyes || (spots && !hdr), true);
  offer(0x20, z < 0.95 || z > 1.05, false);
  offer(0x40, part, false);
  long oldQ = 90;
  PDBgetInt(orec, PDBFquality, &oldQ);
  ControlID qid{kCmdSaveImage, 129};
  ControlRef qc = nullptr;
  if (gSaveWindow == nullptr || GetControlByID(gSaveWindow, &qid, &qc) != noErr) qc = nullptr;
  int shown = static_cast<int>(oldQ);
  if (qc != nullptr) {
    SetControlValue(qc, shown);
    shown = GetControlValue(qc);  // as the control could take it
  }
  int opts = optionsDialog(gSaveWindow, setM, clrM, true);
  if (opts < 0) return 0;
  // From here the records stay as they are and one piece of work runs at a time; a quit
  // waits for the save (stopping it), and is carried out once it ended.
  PBusyGuard busy;
  long newQ = oldQ;
  if (qc != nullptr && GetControlValue(qc) != shown) {
    newQ = GetControlValue(qc);
    PDBsetInt(&nrec, PDBFquality, newQ);
  }
  const bool lowered = newQ < oldQ;

  char tempPath[1024] = "";
  if (IsTempCloser(iring->cloz)) PcurrentFile(tempPath, sizeof tempPath, orec);

  if (opts & 0x40) {
    _ImgRect r;
    if (!iring->GetOrigSelection(&r)) {
      DMESSAGE(DMCparameter, "Cannot get image selection!");
      return 0;
    }
    SelectNone();
    const long crop[4] = {r.xleft, r.ytop, r.xright, r.ybottom};
    PDBsetInts(&nrec, PDBFcrop, crop, 4);
    iring->UpdateRec(nrec);
    opts |= 0x10;
  }
  if (imd) imd->Invalid();
  const bool gray = formatIsGrayscale(nrec) && !hdr;
  double mult = 1.0;
  const int mode = iring->GetExposure(&mult);
  // The view as it is shown: a save that does not complete gives it back, rather than leave
  // the window at the 1:1 the save read the picture at (a large picture then read again whole).
  const bool wasFit = iring->IsZoomToFit();
  const int zoomWas[2] = {iring->zoomNum, iring->zoomDenom};
  const int centreWas[2] = {iring->xCent, iring->yCent};

  // The file's own data written again, without a rendering.
  auto ownData = [&]() {
    ClearPhotoField(&nrec, PDBFcrop);
    if (!saveImage(&nrec, nullptr)) return 0;
    UpdateSaved(nrec);
    return 1;
  };
  int done = 0;
  int how = opts & ~0x40;
  for (bool again = true; again;) {
    again = false;
    switch (how) {
      case 0:
        if (!lowered && (gray || (iring->IsLossy() && !hdr))) {
          done = ownData();
        } else {
          iring->SetZoomRatio(1, 1);
          how = 0x20;
          again = true;
        }
        break;
      case 0x08:
        if ((mode & (PEMauto | PEMlocal)) != 0 || (mult >= 0.8 && mult <= 1.25)) {
          done = ownData();
        } else {
          iring->SetZoomRatio(1, 1);
          how = 0x28;
          again = true;
        }
        break;
      case 0x10:
        if (gray && !PDBgetField(nrec, PDBFspotexp).IsSet()) {
          done = SaveCropOrientOriginal(&nrec);
        } else {
          iring->SetZoomRatio(1, 1);
          how = 0x30;
          again = true;
        }
        break;
      case 0x18:
        done = SaveCropOrientOriginal(&nrec);
        break;
      case 0x20:
        done = gray ? SaveZoomOriginal(&nrec) : SaveRenderImage(&nrec);
        break;
      case 0x28:
        done = SaveZoomOriginal(&nrec);
        break;
      case 0x30:
        done = gray ? SaveMapOriginal(&nrec) : SaveMapImage(&nrec);
        break;
      case 0x38:
        done = SaveMapOriginal(&nrec);
        break;
      default:
        DMESSAGE(DMCparameter, "Unhandled save option (0x%x)", opts);
        break;
    }
  }
  if (!done) {
    if (iring != nullptr) {
      if (wasFit) {
        iring->SetZoomToFit();
      } else {
        iring->SetZoomRatio(zoomWas[0], zoomWas[1]);
        iring->xCent = centreWas[0];
        iring->yCent = centreWas[1];
        iring->changed = true;
      }
      iring->UpdateRec(orec);
    }
    saving = saving_.was;
    Redraw();
    return 0;
  }
  if (tempPath[0] != '\0') {
    char saved[1024];
    if (PcurrentFile(saved, sizeof saved, iring->GetRec()) != nullptr && SameFile(saved, tempPath))
      KeepTempFile(tempPath);  // saved over itself: the file is the user's now
    else
      DeleteTemp(tempPath);
  }
  iring->cloz = nullptr;
  if ((opts & 0x08) && (mode & (PEMauto | PEMlocal)) == 0) iring->SetExposure(1.0);
  return 1;
}

bool PImageWindow::FrameFits(int w, int h) {
  iring->PrepareView(w, h);
  if (iring->Reduction() > 1) return true;  // a reduced frame is read at about the size used
  const PDisplayList* d = iring->dlp;
  if (d != nullptr && d->IsResident() && d->shrink == 1 && !iring->NeedsReload(d->frame))
    return true;
  // Brightness and chroma for a high dynamic range frame, display pixels for another.
  size_t bpp = static_cast<size_t>(PpixelSize(&dispCS));
  if (d != nullptr && d->tms != nullptr) bpp = (d->tms->flags & TMF_GREY) != 0 ? 2 : 5;
  return PsaveFits(FileOf(iring->GetRec()).c_str(), iring->oxres, iring->oyres, bpp);
}

int PImageWindow::SaveRenderImage(DBRecord* rec) {
  if (!Ready() || rec == nullptr) return 0;
  ClearPhotoField(rec, PDBFcrop);
  ClearPhotoField(rec, PDBFspotexp);
  iring->UpdateRec(*rec);
  iring->SetOffset(0, 0);
  POrient o;
  iring->GetOrient(&o);
  _ImgStruct img = {o.xres, o.yres, &dispCS, 0, nullptr, nullptr};
  if (!FrameFits(img.xres, img.yres)) return 0;
  {
    SaveRead read(*rec);
    if (!iring->RenderImage(&img, nullptr, nullptr)) return 0;
  }
  long xs, ys;
  float d;
  if (PDBgetFloat(*rec, PDBFxdensity, &d) && PDBgetInt(*rec, PDBFxsize, &xs) && xs > 0)
    PDBsetFloat(rec, PDBFxdensity, static_cast<double>(img.xres) * d / xs);
  if (PDBgetFloat(*rec, PDBFydensity, &d) && PDBgetInt(*rec, PDBFysize, &ys) && ys > 0)
    PDBsetFloat(rec, PDBFydensity, static_cast<double>(img.yres) * d / ys);
  PDBsetInt(rec, PDBFxsize, img.xres);
  PDBsetInt(rec, PDBFysize, img.yres);
  ClearPhotoField(rec, PDBFredeye);
  ClearPhotoField(rec, PDBFspotexp);
  float s;
  if (iring->IsHDR() && PDBgetFloat(*rec, PDBFstonits, &s)) {
    double m = 1.0;
    if (iring->GetExposure(&m) & PEMauto)
      ClearPhotoField(rec, PDBFstonits);
    else if (m > 0)
      PDBsetFloat(rec, PDBFstonits, s / m);
  }
  const bool ok = saveImage(rec, &img);
  PfreeImage(&img);
  if (ok) UpdateSaved(*rec);
  return ok ? 1 : 0;
}

int PImageWindow::SaveMapImage(DBRecord* rec) {
  if (!Ready() || rec == nullptr) return 0;
  iring->SetOffset(0, 0);
  POrient o;
  iring->GetOrient(&o);
  // The view is rendered as it lies; the orientation is applied as its rows are written, so
  // that no turned copy of it is made (at 1:1 the rendering is the frame's own pixels).
  _ImgStruct img = {o.xres, o.yres, &dispCS, 0, nullptr, nullptr};
  if (!FrameFits(img.xres, img.yres)) return 0;
  {
    SaveRead read(*rec);
    if (!iring->RenderImage(&img, nullptr, nullptr)) return 0;
  }
  POrient turn = iring->ior;
  turn.SetOrigSize(img.xres, img.yres);
  _ImgRect crop;
  iring->CropRect(&crop);
  fixImageSettings(rec, &o, &crop);
  const bool ok = saveImage(rec, &img, &turn);
  PfreeImage(&img);
  if (ok) UpdateSaved(*rec);
  return ok ? 1 : 0;
}

int PImageWindow::SaveZoomOriginal(DBRecord* rec) {
  if (!Ready() || rec == nullptr) return 0;
  ReaderPtr ir(PopenImageD(*rec, false));
  if (ir == nullptr) return 0;
  ClearPhotoField(rec, PDBFcrop);
  ClearPhotoField(rec, PDBFspotexp);
  const double zm = iring->GetZoom(nullptr);
  const double a = ir->pixAspect > 0 && std::isfinite(ir->pixAspect) ? ir->pixAspect : 1.0;
  double xz, yz;
  if (a > 1) {
    xz = zm;
    yz = zm / a;
  } else {
    xz = zm * a;
    yz = zm;
  }
  _ImgColorSpace cs = OwnCopy(ir->cs);
  _ImgStruct img = {};
  img.xres = std::max(1, static_cast<int>(ir->xres * xz + 0.5));
  img.yres = std::max(1, static_cast<int>(ir->yres * yz + 0.5));
  img.csp = &cs;
  if (!PsaveFits(ir->file, img.xres, img.yres, static_cast<size_t>(PpixelSize(&cs)))) return 0;
  {
    SaveRead read(*rec);
    if (!PrenderImageR(&img, ir.get(), 0)) return 0;
  }
  float d;
  if (PDBgetFloat(*rec, PDBFxdensity, &d)) PDBsetFloat(rec, PDBFxdensity, d * xz);
  if (PDBgetFloat(*rec, PDBFydensity, &d)) PDBsetFloat(rec, PDBFydensity, d * yz);
  PDBsetInt(rec, PDBFxsize, img.xres);
  PDBsetInt(rec, PDBFysize, img.yres);
  ExposureRule(rec, &img);
  const bool ok = saveImage(rec, &img);
  PfreeImage(&img);
  ir.reset();
  if (!ok) return 0;
  if (formatReorients(*rec)) {
    ClearPhotoField(rec, PDBForient);
    ClearPhotoField(rec, PDBFflip);
  }
  UpdateSaved(*rec);
  return 1;
}

int PImageWindow::SaveCropOrientOriginal(DBRecord* rec) {
  if (!Ready() || rec == nullptr) return 0;
  ReaderPtr ir(PopenImageD(*rec, false));
  if (ir == nullptr) return 0;
  const int psize = PpixelSize(&ir->cs);
  if (psize <= 0 || ir->ri->ReadRec == nullptr) return 0;
  POrient o = iring->ior;
  _ImgRect crop;
  iring->CropRect(&crop);
  const _ImgRect all = {0, ir->xres, 0, ir->yres};
  if (!PclipRect(&crop, &all)) return 0;
  const int cw = crop.xright - crop.xleft, ch = crop.ybottom - crop.ytop;
  o.SetOrigSize(cw, ch);
  _ImgColorSpace cs = OwnCopy(ir->cs);
  _ImgStruct out = {o.GetWidth(), o.GetHeight(), &cs, 0, nullptr, nullptr};
  if (!PsaveFits(ir->file, out.xres, out.yres, static_cast<size_t>(psize))) return 0;
  if (!PnewImage(&out, 0)) return 0;

  // The reader delivers its rectangles in its own order; each pixel inside the crop goes to
  // its oriented place. Along a row the place moves by a fixed step. Between rectangles the
  // work gives way; a Stop there ends it.
  int dx0, dy0, dx1, dy1;
  o.MapToCorrect(&dx0, &dy0, 0, 0);
  o.MapToCorrect(&dx1, &dy1, 1, 0);
  const ptrdiff_t step =
      static_cast<ptrdiff_t>(dx1 - dx0) * psize + static_cast<ptrdiff_t>(dy1 - dy0) * out.rowsize;
  std::vector<uint8_t> buf;
  _ImgRect r = ir->nr, last = {0, 0, 0, 0};
  bool failed = false, stopped = false;
  std::unique_ptr<SaveRead> read(new SaveRead(*rec));
  while (r.xleft < r.xright && r.ytop < r.ybottom && r.xleft >= 0 && r.ytop >= 0 &&
         r.xright <= ir->xres && r.ybottom <= ir->yres && r.ytop < crop.ybottom) {
    if (memcmp(&r, &last, sizeof r) == 0) break;  // a reader that does not move on
    _ImgReadBuf rb;
    memset(&rb, 0, sizeof rb);
    rb.cs = ir->cs;
    rb.r = r;
    rb.subsample = 1;
    const size_t need = PreadBufBytes(&rb);
    if (need == 0) {
      failed = true;
      break;
    }
    if (buf.size() < need) buf.resize(need);
    rb.buf = buf.data();
    rb.bufsize = buf.size();
    if (ir->ri->ReadRec(ir.get(), &rb) != IREnone || ir->errCode != IREnone ||
        rb.r.xright <= rb.r.xleft || rb.r.ybottom <= rb.r.ytop) {
      if (ir->errCode == IREnone) ir->errCode = IREread;
      failed = true;
      break;
    }
    const _ImgRect got = rb.r;
    const int gw = got.xright - got.xleft;
    const int x0 = std::max(got.xleft, crop.xleft), x1 = std::min(got.xright, crop.xright);
    const int y0 = std::max(got.ytop, crop.ytop), y1 = std::min(got.ybottom, crop.ybottom);
    for (int y = y0; y < y1 && x0 < x1; ++y) {
      const uint8_t* s = buf.data() + (static_cast<size_t>(y - got.ytop) * gw + (x0 - got.xleft)) *
                                          static_cast<size_t>(psize);
      int ox, oy;
      o.MapToCorrect(&ox, &oy, x0 - crop.xleft, y - crop.ytop);
      uint8_t* d =
          out.img + static_cast<ptrdiff_t>(oy) * out.rowsize + static_cast<ptrdiff_t>(ox) * psize;
      for (int x = x0; x < x1; ++x, s += psize, d += step) memcpy(d, s, static_cast<size_t>(psize));
    }
    last = r;
    r = ir->nr;
    if (!PworkSlice(std::min(1.0, static_cast<double>(got.ybottom) / crop.ybottom))) {
      stopped = true;
      break;
    }
  }
  read.reset();
  if (failed || stopped) {
    if (failed) PreportReaderErr(ir.get());
    PfreeImage(&out);
    return 0;
  }
  ir.reset();
  fixImageSettings(rec, &o, &crop);
  ExposureRule(rec, &out);
  const bool ok = saveImage(rec, &out);
  PfreeImage(&out);
  if (ok) UpdateSaved(*rec);
  return ok ? 1 : 0;
}

int PImageWindow::SaveMapOriginal(DBRecord* rec) {
  if (!Ready() || rec == nullptr) return 0;
  ReaderPtr ir(PopenImageD(*rec, false));
  if (ir == nullptr) return 0;
  int zr[2];
  iring->GetZoom(zr);
  int w = iring->GetOWidth(), h = iring->GetOHeight();
  iring->CorrectAspect(&w, &h);
  _ImgColorSpace cs = OwnCopy(ir->cs);
  _ImgStruct img = {};
  img.xres = std::max(1, static_cast<int>(static_cast<long long>(w) * zr[0] / zr[1]));
  img.yres = std::max(1, static_cast<int>(static_cast<long long>(h) * zr[0] / zr[1]));
  img.csp = &cs;
  if (!PsaveFits(ir->file, img.xres, img.yres, static_cast<size_t>(PpixelSize(&cs)))) return 0;
  {
    SaveRead read(*rec);
    if (!PrenderImageR(&img, ir.get(), 0)) return 0;
  }
  _ImgRect crop;
  if (iring->CropRect(&crop)) {
    const _ImgRect scaled = {
        static_cast<int32_t>(static_cast<long long>(crop.xleft) * img.xres / ir->xres),
        static_cast<int32_t>(static_cast<long long>(crop.xright) * img.xres / ir->xres),
        static_cast<int32_t>(static_cast<long long>(crop.ytop) * img.yres / ir->yres),
        static_cast<int32_t>(static_cast<long long>(crop.ybottom) * img.yres / ir->yres)};
    if (!PlinkSubimage(&img, &img, &scaled)) {
      PfreeImage(&img);
      return 0;
    }
  }
  // The orientation is applied as the rows are written: no turned copy is made.
  POrient o = iring->ior;
  o.SetOrigSize(img.xres, img.yres);
  ir.reset();
  fixImageSettings(rec, &o, &crop);
  ExposureRule(rec, &img);
  const bool ok = saveImage(rec, &img, &o);
  PfreeImage(&img);
  if (ok) UpdateSaved(*rec);
  return ok ? 1 : 0;
}

void PImageWindow::UpdateSaved(const DBRecord& rec) {
  PContext* ctx = Context();
  bool replaced = false;
  const char* file = PDBgetString(rec, PDBFfile);
  const char* loc = PDBgetString(rec, PDBFlocation);
  if (ctx != nullptr && !ctx->ReadOnly()) {
    DBRecord found[64];
    int n = 0;
    if (file != nullptr && loc != nullptr) {
      DBQuery q(rec.GetFieldInfo(), false);
      q.rlo.Init(rec.GetFieldInfo());
      q.rhi.Link(&q.rlo);
      if (PDBsetString(&q.rlo, PDBFfile, file)) {
        ctx->pdb.Checkpoint(nullptr, nullptr);
        int pos = 0;
        n = ctx->pdb.FindRecords(&q, found, 64, &pos);
      }
    }
    if (n > 0) {
      ctx->Checkpoint(nullptr, nullptr);
      ABitMap changed(static_cast<unsigned long>(ctx->rdisp.GetSize()), false);
      bool displayed = false;
      for (int k = 0; k < n; ++k) {
        // Names are case-sensitive here: another spelling of the folder is another file.
        const char* floc = PDBgetString(found[k], PDBFlocation);
        if (floc == nullptr || strcmp(floc, loc) != 0) continue;
        // The user's own fields stay as the catalogue has them; edit settings go with the pixels.
        DBRecord copy = KeptUserFields(rec, found[k]);
        if (copy == found[k]) continue;
        const int i = ctx->FindI(found[k]);
        if (i >= 0) {
          ctx->rdisp[i].Clear();
          ctx->rdisp[i].FillFrom(copy);
          changed.Set(static_cast<unsigned long>(i));
          displayed = true;
        } else {
          ctx->pdb.DeleteRecords(&found[k], 1);
          ctx->pdb.AddRecords(&copy, 1);
        }
        replaced = true;
      }
      if (replaced) {
        const int nc = displayed ? ctx->RecordChange(nullptr, &changed, nullptr) : 0;
        if (nc > 0 && browser != nullptr) browser->Redisplay();
        if (gMain) gMain->SetUndoable(false);
        DMESSAGE(DMCwarning, "Overwrote catalog image '%s/%s'", loc, file);
      }
    }
  }
  if (ctx != nullptr && !replaced) ctx->AddShadow(rec);
  // A displayed record of the written file that no catalogue record stood for (a picture of a
  // folder shown, not catalogued) still tells the old file's length, hash and edit settings:
  // a later check of the file would take the new length and hash under the old orientation
  // and crop, turning the written pixels again. It takes the written file's record, keeping
  // what the user entered; as a record not catalogued, the shadow catalogue keeps it.
  if (ctx != nullptr && file != nullptr && loc != nullptr) {
    const int nd = ctx->rdisp.GetSize();
    ABitMap shown(static_cast<unsigned long>(nd), false);
    int n = 0;
    for (int i = 0; i < nd; ++i) {
      if (!NamesFile(ctx->rdisp[i], loc, file)) continue;
      const DBRecord copy = KeptUserFields(rec, ctx->rdisp[i]);
      if (copy == ctx->rdisp[i]) continue;
      ctx->rdisp[i].Clear();
      ctx->rdisp[i].FillFrom(copy);
      shown.Set(static_cast<unsigned long>(i));
      ++n;
    }
    if (n > 0) {
      ctx->RecordChange(nullptr, &shown, nullptr);
      // An undo of an edit before the save would give the display the old file's record.
      if (gMain) gMain->SetUndoable(false);
      if (browser != nullptr) browser->Redisplay();
    }
  }
  if (iring == nullptr) return;
  SelectNone();
  iring->ClearSelection();
  iring->SetZoomToFit();
  iring->UpdateRec(rec);
  // The written file is read as a picture just opened: a large one a slice at a time.
  if (irDrawn == iring) irDrawn = nullptr;
}

// ---- Temporary images.

bool PImageWindow::AddTempImage(const DBRecord& rec) {
  if (!AddImage(rec, false) || iring == nullptr) return false;
  iring->cloz = PIsaveDelete;
  Present();
  return true;
}

bool PIsaveDelete(PDisplayImage* di, bool ask) {
  if (di == nullptr) return true;
  auto* w = dynamic_cast<PImageWindow*>(gImager);
  auto* ir = dynamic_cast<PImageRing*>(di);
  char path[1024] = "";
  PcurrentFile(path, sizeof path, di->GetRec());
  gConfirmResponse = kResponseCancel;
  if (w != nullptr && ir != nullptr && gInterfaceReady == 1) {
    w->Advance(ir);
    w->Present();
    if (w->CheckSave()) return true;  // saved: the save removed the temporary file
  }
  if (gConfirmResponse == kResponseCustom) {  // "Don't Save"
    DeleteTemp(path);
    return true;
  }
  if (ask) return false;  // the user cancelled, or the save did not complete
  if (path[0] != '\0') {
    KeepTempFile(path);
    DMESSAGE(DMCwarning, "Unsaved image kept in '%s'", path);
  }
  return true;
}
