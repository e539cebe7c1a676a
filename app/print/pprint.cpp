// The print session, its page setup and resolution, and images printed one a page: the main
// window's selection and the image window's image.
#include "app/print/pprint.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "app/core/papp.h"
#include "app/core/pcommands.h"
#include "app/core/pdialogs.h"
#include "app/core/pfiles.h"
#include "app/core/pslice.h"
#include "app/core/pimgdraw.h"
#include "app/core/pseam.h"
#include "app/export/ptrader.h"
#include "app/print/ppriv.h"
#include "catalog/porient.h"
#include "image/picolor.h"
#include "image/pimage.h"
#include "support/membudget.h"
#include "support/pwork.h"

namespace {

PPrintSession* myPrintSession = nullptr;
// The record the page orientation was last chosen for; -1: chosen without a record.
long pfRecordHash = -1;
// The print session cancelled the last page imagePage began or ended.
bool pageCancelled = false;

// Pictures are rendered for print in sRGB with this range and luminance.
constexpr double kPrintRange = 32;
constexpr double kPrintLuminance = 100;

bool ReadNumber(const DBField& f, double* v) {
  long l;
  float x;
  if (f.GetDT() == DBDTint && f.Get(&l, 1) == 1) {
    *v = static_cast<double>(l);
    return true;
  }
  if (f.GetDT() == DBDTfloat && f.Get(&x, 1) == 1 && std::isfinite(x)) {
    *v = x;
    return true;
  }
  return false;
}

// A positive density of the record's field; a density of 0 or less counts as none.
bool ReadDensity(const DBRecord& r, PDBFieldID id, double* d) {
  return ReadNumber(PDBgetField(r, id), d) && *d > 0;
}

// The display image's display space and tone-mapping flags, put back when the page is done.
class PrintSpace {
 public:
  PrintSpace(PDisplayImage* d, int tmFlags) : d_(d), tm_(d->GetTMFlags()) {
    d_->GetDisplaySpace(&cs_, &range_, &lum_);
    d_->SetDisplaySpace(&ICS_sRGB, kPrintRange, kPrintLuminance);
    d_->SetTMFlags(tmFlags);
  }
  ~PrintSpace() {
    d_->SetTMFlags(tm_);
    d_->SetDisplaySpace(&cs_, range_, lum_);
  }
  PrintSpace(const PrintSpace&) = delete;
  PrintSpace& operator=(const PrintSpace&) = delete;

 private:
  PDisplayImage* d_;
  int tm_;
  _ImgColorSpace cs_;
  double range_, lum_;
};

// The printable width and height in inches.
void PageInches(double* w, double* h) {
  PPrintRect r;
  getAdjustedPageRect(&r);
  const double res = myPrintSession->Resolution();
  *w = (r.right - r.left) / res;
  *h = (r.bottom - r.top) / res;
}

// Pixels of image per inch of page for an image of oriented size w x h on W x H inches:
// turned when that suits the page better, the larger ratio (the whole image shows) or with
// auto-crop the smaller (the page is filled).
double FitRatio(double w, double h, double W, double H, const PrintOptions& o) {
  if (o.bestOrientation && ((H < W) != (h < w))) std::swap(w, h);
  const double rw = w / W, rh = h / H;
  return (rh < rw) == o.autoCrop ? rh : rw;
}

void ShowMessage(const char* text) {
  if (gMain != nullptr) gMain->ShowMessage(text, false);
}

// Output pixels a band of the page's picture: a few hundredths of a second of rendering.
constexpr int64_t kPageBandPixels = int64_t{1} << 20;

// Renders view rectangle src of the picture at iw x ih pixels into page, in the 32-bit RGB
// that the PDF engine takes as it is, a band at a time with a slice between bands. False when
// the pixels could not be had (told) or a Stop ended the rendering.
bool RenderPage(PDisplayImage* dimg, const _ImgRect& src, int iw, int ih, QImage* page) {
  const char* name = nullptr;
  PDBgetField(dimg->GetRec(), PDBFfile).Get(&name, 1);
  char msg[300];
  if (!PpictureFits(name != nullptr ? name : "", iw, ih, 4, msg, sizeof msg)) {
    DMESSAGE(DMCresource, "Cannot print: %s", msg);
    return false;
  }
  *page = QImage(iw, ih, QImage::Format_RGB32);
  if (page->isNull()) {
    PpictureTooLarge(name != nullptr ? name : "", iw, ih, 4, msg, sizeof msg);
    DMESSAGE(DMCresource, "Cannot print: %s", msg);
    return false;
  }
  const int rows =
      static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(ih, kPageBandPixels / iw)));
  _ImgStruct band = {};
  band.xres = iw;
  band.yres = rows;
  band.csp = &ICS_sRGB;
  bool ok = PnewImage(&band, 0) != 0;
  for (int y0 = 0; ok && y0 < ih; y0 += rows) {
    band.yres = std::min(rows, ih - y0);
    ok = dimg->GetSubimageRows(&band, &src, ih, y0) && band.img != nullptr;
    for (int y = 0; ok && y < band.yres; ++y) {
      const uint8_t* in = band.img + static_cast<ptrdiff_t>(y) * band.rowsize;
      QRgb* out = reinterpret_cast<QRgb*>(page->scanLine(y0 + y));
      for (int x = 0; x < iw; ++x, in += 3) out[x] = qRgb(in[0], in[1], in[2]);
    }
    ok = ok && PworkSlice(static_cast<double>(y0 + band.yres) / ih);
  }
  PfreeImage(&band);
  if (!ok) *page = QImage();
  return ok;
}

}  // namespace

PPrintSession* PprintSession() {
  return myPrintSession;
}

void PclampPages(PPrintSettings* st, int n) {
  if (st->lastPage > n) st->lastPage = n;
  if (st->firstPage > st->lastPage) st->firstPage = st->lastPage;
  if (st->firstPage < 1) st->firstPage = 1;
}

bool PaskPages(PPrintSettings* st) {
  const int r = myPrintSession != nullptr ? myPrintSession->PrintDialog(st) : -1;
  if (r < 0) {
    DMESSAGE(DMCresource, "Cannot execute print dialog");
    return false;
  }
  return r != 0;
}

bool PbeginDocument(const PPrintSettings& st) {
  suspendAlert(true);
  if (myPrintSession == nullptr || myPrintSession->BeginDocument(st) != 0) {
    suspendAlert(false);
    DMESSAGE(DMCresource, "Print session begin document error");
    return false;
  }
  return true;
}

int PendDocument(const char* spooling, bool cancelled) {
  if (cancelled)
    myPrintSession->Abort();
  else if (gMain != nullptr)
    gMain->ShowMessage(spooling, true);
  int err = myPrintSession->EndDocument();
  suspendAlert(false);
  checkEvents(0);
  if (err == kPrintCancel) cancelled = true;
  if (err == 0 && cancelled) err = kPrintCancel;
  if (err != 0) {
    // The document was dropped whole: nothing of it printed.
    const std::string why = myPrintSession->FileFailure();
    if (!cancelled && !why.empty())
      DMESSAGE_ERRNO(DMCsystem, DMnoSystemError, "%s", why.c_str());  // it tells its reason
    else if (!cancelled)
      DMESSAGE(DMCsystem, "Unknown printing error (%d)", err);
    else if (PquitDeferred() || PquitRequested())
      DMESSAGE(DMCinfo, "Print job stopped by the quit: nothing printed");
    else
      DMESSAGE(DMCinfo, "Print job cancelled by user");
  }
  return err;
}

const char* PcancelledText(const char* byUser) {
  return PquitDeferred() || PquitRequested() ? "Printing stopped by the quit" : byUser;
}

bool checkPrintSession(const DBRecord* rec) {
  if (myPrintSession == nullptr) myPrintSession = new PPrintSession;
  if (rec == nullptr) {
    pfRecordHash = -1;
    return true;
  }
  if (rec->HashIndex() != pfRecordHash) {
    POrient o(rec);
    long c[4];
    const DBField& crop = PDBgetField(*rec, PDBFcrop);
    if (crop.GetDT() == DBDTint && crop.GetNV() == 4 && crop.Get(c, 4) == 4)
      o.SetOrigSize(static_cast<int32_t>(c[2] - c[0]), static_cast<int32_t>(c[3] - c[1]));
    if (o.GetWidth() > o.GetHeight())
      myPrintSession->SetLandscape(true);
    else if (o.GetWidth() < o.GetHeight())
      myPrintSession->SetLandscape(false);
    pfRecordHash = rec->HashIndex();
  }
  return true;
}

PPrintSettings* printSetup(const DBRecord* rec) {
  if (!checkPrintSession(rec)) {
    DMESSAGE(DMCresource, "Cannot initiate print session");
    return nullptr;
  }
  return new PPrintSettings;
}

bool pageSetup(const DBRecord* rec) {
  if (!checkPrintSession(rec)) {
    DMESSAGE(DMCresource, "Cannot initiate print session");
    return false;
  }
  const int r = myPrintSession->PageSetupDialog();
  if (r < 0) {
    DMESSAGE(DMCresource, "Cannot execute page setup dialog");
    return false;
  }
  gConfirmResponse = r == 1 ? kResponseOK : kResponseCancel;
  return r == 1;
}

void closePrintSession() {
  delete myPrintSession;
  myPrintSession = nullptr;
  pfRecordHash = -1;
}

float setPrintResolution(float want) {
  if (myPrintSession == nullptr) return 0;
  // Climbs towards want and, once above it, comes down to the smallest resolution still above.
  int best = -1;
  for (int r : myPrintSession->Resolutions())
    if ((best < want && r > best) || (best > want && want < r && r < best)) best = r;
  if (best > 0 && myPrintSession->SetResolution(best)) return static_cast<float>(best);
  return 0;
}

float setPrintResolution(const PDisplayImage* dimg, const PrintOptions* opts) {
  if (myPrintSession == nullptr || dimg == nullptr || opts == nullptr) return 0;
  const DBRecord& rec = dimg->GetRec();
  double d;
  if (!opts->fitToPage && ReadDensity(rec, PDBFxdensity, &d))
    return setPrintResolution(static_cast<float>(d));
  double W, H;
  PageInches(&W, &H);
  H -= opts->CaptionHeight(rec);
  return setPrintResolution(
      static_cast<float>(FitRatio(dimg->ior.GetWidth(), dimg->ior.GetHeight(), W, H, *opts)));
}

float setPrintResolution(int first, int last, const PrintOptions* opts) {
  if (myPrintSession == nullptr || opts == nullptr || gMain == nullptr) return 0;
  const PContext& bc = gMain->bc;
  double W, H;
  PageInches(&W, &H);
  H -= opts->CaptionHeight();
  double best = 0;
  int i = 0, page = 1;
  for (; bc.NextSelected(&i); i++, page++) {
    if (page < first) continue;
    if (page > last) break;
    const DBRecord& rec = bc.rdisp.Get(i);
    double c = 0, d;
    if (!opts->fitToPage && ReadDensity(rec, PDBFxdensity, &d)) {
      c = d;
    } else {
      PDisplayImage di(rec);
      if (!di.Ready()) continue;
      c = FitRatio(di.ior.GetWidth(), di.ior.GetHeight(), W, H, *opts);
    }
    if (std::isfinite(c) && c > best) best = c;
  }
  return best > 0 ? setPrintResolution(static_cast<float>(best)) : 0;
}

double getAdjustedPageRect(PPrintRect* r) {
  if (myPrintSession == nullptr) {
    if (r != nullptr) *r = PPrintRect{0, 0, 0, 0};
    return 0;
  }
  if (r != nullptr) *r = myPrintSession->PageRect();
  return myPrintSession->PaperRect().bottom;
}

bool imagePage(PDisplayImage* dimg, const PrintOptions* opts) {
  pageCancelled = false;
  if (myPrintSession == nullptr || dimg == nullptr || opts == nullptr) return false;
  PrintSpace space(dimg, opts->tmFlags);
  const DBRecord& rec = dimg->GetRec();
  const double c = opts->CaptionHeight(rec);
  POrient o = dimg->ior;
  double w = o.GetWidth(), h = o.GetHeight();
  PPrintRect pr;
  getAdjustedPageRect(&pr);
  const double hres = myPrintSession->Resolution(), vres = hres;
  const double W = (pr.right - pr.left) / hres, H = (pr.bottom - pr.top) / vres - c;
  bool turn = opts->bestOrientation;
  double s = 0;  // image pixels per page unit; 0 until chosen
  double xd, yd;
  if (!opts->fitToPage && ReadDensity(rec, PDBFxdensity, &xd) &&
      ReadDensity(rec, PDBFydensity, &yd)) {
    const double d = (xd + yd) * 0.5;
    const bool tooBig = W < w / d || H < h / d;
    turn = turn && tooBig;
    s = (xd + yd) / (hres + vres);
    if (tooBig && !opts->autoCrop && (!turn || h / d > W || w / d > H)) {
      DMESSAGE(DMCwarning, "Reduced image to fit page");
      s = 0;
    }
  }
  if (turn && ((H < W) != (h < w))) {
    o.RotateCW(-90);  // a quarter turn anticlockwise
    std::swap(w, h);
  }
  if (s == 0) {
    const double sh = h / (H * vres), sw = w / (W * hres);
    s = (sw < sh) != opts->autoCrop ? sh : sw;
  }
  if (!(s > 0) || !std::isfinite(s)) {
    DMESSAGE(DMCinput, "Page too small for this image");
    return false;
  }
  _ImgRect src = {0, o.xres, 0, o.yres};
  if (opts->autoCrop) {
    long cw = static_cast<long>(W * hres * s + 0.5), ch = static_cast<long>(H * vres * s + 0.5);
    if (o.xyswap) std::swap(cw, ch);
    if (cw > 0 && cw < o.xres) {
      src.xleft = static_cast<int32_t>((o.xres - cw) / 2);
      src.xright = static_cast<int32_t>((o.xres + cw) / 2);
      o.xres = src.xright - src.xleft;
    }
    if (ch > 0 && ch < o.yres) {
      src.ytop = static_cast<int32_t>((o.yres - ch) / 2);
      src.ybottom = static_cast<int32_t>((o.yres + ch) / 2);
      o.yres = src.ybottom - src.ytop;
    }
    w = o.GetWidth();
    h = o.GetHeight();
  }
  // The pixels come first, so that a picture that cannot be had costs no sheet. A picture with
  // more pixels than the page has dots is rendered at the page's dots.
  const int sw = src.xright - src.xleft, sh = src.ybottom - src.ytop;
  const int iw = s > 1 ? std::max(1, static_cast<int>(sw / s + 0.5)) : sw;
  const int ih = s > 1 ? std::max(1, static_cast<int>(sh / s + 0.5)) : sh;
  QImage page;
  {
    // Read at the page's dots (no fewer) and rendered, a slice at a time; a Stop there cancels
    // the job.
    dimg->SetReduction(s >= 2 ? static_cast<int>(std::min(s, 65536.0)) : 1);
    PSliceRead slices("Printing...");
    bool got = RenderPage(dimg, src, iw, ih, &page);
    // The page's picture goes to the document in one step that cannot be cut: the Progress
    // window is drawn as it stands before it, and a Stop pressed so far is heard.
    got = got && PworkSlice(1.0);
    if (slices.Stopped()) pageCancelled = true;
    if (!got) return false;
  }
  int err = 0;
  QPainter* p = myPrintSession->BeginPage(&err);
  if (p == nullptr) {
    if (err == kPrintCancel)
      pageCancelled = true;
    else
      DMESSAGE(DMCresource, "Cannot begin output page");
    return false;
  }
  p->setPen(Qt::black);
  const double pw = pr.right - pr.left, ph = pr.bottom - pr.top;
  if (c > 0.00001) {
    // The caption starts m below the picture; the two are centred together.
    const double m = 0.3 * opts->LineHeight() * hres;
    QTextForm tf(p);
    tf.SetRect(TFRect{static_cast<float>(pr.left + m), static_cast<float>(pr.right - m),
                      static_cast<float>((ph + h / s - c * vres) * 0.5 + pr.top + m),
                      static_cast<float>(pr.bottom - m)});
    opts->RenderCaption(rec, &tf);
  }
  const double left = (pw * s - w) * 0.5 + pr.left * s;
  const double top = (ph * s - h - c * vres * s) * 0.5 + pr.top * s;
  p->save();
  p->setRenderHint(QPainter::SmoothPixmapTransform, true);
  p->scale(1 / s, 1 / s);
  p->translate(left, top);
  if (!o.IsNoop()) {
    QTransform t;
    PBgetAffine(&t, &o);
    p->setTransform(t, true);
  }
  p->scale(static_cast<double>(sw) / iw, static_cast<double>(sh) / ih);
  p->drawImage(QPointF(0, 0), page);
  p->restore();
  page = QImage();
  err = myPrintSession->EndPage();
  if (err == kPrintCancel) pageCancelled = true;
  if (err != 0) return false;
  const char* name = nullptr;
  PDBgetField(rec, PDBFfile).Get(&name, 1);
  DMESSAGE(DMCinfo, "Printed image '%s'", name != nullptr ? name : "");
  return true;
}

namespace {

// imagePage, telling whether the print session was cancelled there.
bool PrintPage(PDisplayImage* dimg, const PrintOptions* opts, bool* cancelled) {
  const bool printed = imagePage(dimg, opts);
  *cancelled = pageCancelled;
  return printed;
}

}  // namespace

bool printImages() {
  if (gMain == nullptr) return false;
  PBusyGuard busy;  // the records printed stay displayed until the job has ended
  PContext& bc = gMain->bc;
  const int n = bc.TotalSelected();
  if (n == 0) {
    ShowMessage("No selection");
    return false;
  }
  if (checkRecords(false, nullptr).cancelled) return false;
  std::unique_ptr<PPrintSettings> st(printSetup(loneRecord(nullptr)));
  if (!st) return false;
  st->minPage = 1;
  st->maxPage = n;
  PrintOptions opts;
  if (!opts.Dialog(bc.album[0] == 0 ? 512 : 0, 48)) return false;
  if (!PaskPages(st.get())) return false;
  PclampPages(st.get(), n);
  setPrintResolution(st->firstPage, st->lastPage, &opts);
  if (!PbeginDocument(*st)) return false;
  const int pages = st->lastPage - st->firstPage + 1;
  int printed = 0, tried = 0;
  bool cancelled = false;
  PLeftRecords left("Print");
  reportProgress("Printing...", 0);
  int i = 0, page = 1;
  for (; bc.NextSelected(&i) && page <= st->lastPage && !cancelled; i++, page++) {
    if (page < st->firstPage) continue;
    char msg[64];
    snprintf(msg, sizeof msg, "Printing page %d of %d", tried + 1, pages);
    if (!reportProgress(msg, 1 + tried * 98 / pages)) {
      cancelled = true;
      break;
    }
    const PSliceSpan span(1 + tried * 98 / pages, 1 + (tried + 1) * 98 / pages);
    tried++;
    if (!left.Named(bc.rdisp.Get(i))) continue;
    PDisplayImage di(bc.rdisp.Get(i));
    if (di.Ready() && PrintPage(&di, &opts, &cancelled)) printed++;
  }
  // A Stop clicked while the last page was made, or in this closing step, still counts: the
  // document is not finished yet.
  if (!reportProgress(nullptr, 100)) cancelled = true;
  const int err = PendDocument("Spooling prints...", cancelled);
  if (err != 0) {
    ShowMessage(PcancelledText("Printing cancelled"));
    return false;
  }
  left.Tell();
  if (printed < tried)
    DMESSAGE(DMCwarning, "Could not print %d of %d images", tried - printed, tried);
  if (printed == 0) {
    // The selection emptied meanwhile, or no picture could be had: no page went out.
    if (tried == 0) DMESSAGE(DMCwarning, "Nothing printed: no record is selected");
    ShowMessage("Nothing printed");
    return true;
  }
  gMain->EchoAction("Spooled", printed);
  return true;
}

bool printDisplayImage(PDisplayImage* dimg) {
  if (dimg == nullptr || !dimg->Ready()) return false;
  PBusyGuard busy;  // one print at a time
  std::unique_ptr<PPrintSettings> st(printSetup(&dimg->GetRec()));
  if (!st) return false;
  const char* name = nullptr;
  if (PDBgetField(dimg->GetRec(), PDBFfile).Get(&name, 1) == 1 && name != nullptr)
    st->jobName = name;
  PrintOptions opts;
  opts.tmFlags = dimg->GetTMFlags();
  opts.bestOrientation = false;
  if (!opts.Dialog(2, 48)) return false;
  if (!PaskPages(st.get())) return false;
  setPrintResolution(dimg, &opts);
  if (!PbeginDocument(*st)) return false;
  bool cancelled = !reportProgress("Printing...", 0);
  bool printed = false;
  if (!cancelled) {
    const PSliceSpan span(1, 99);
    printed = PrintPage(dimg, &opts, &cancelled);
  }
  if (!reportProgress(nullptr, 100)) cancelled = true;
  const int err = PendDocument("Spooling prints...", cancelled);
  if (err != 0) {
    ShowMessage(PcancelledText("Print cancelled"));
  } else if (printed) {
    ShowMessage("Spooled 1 image");
  } else {
    DMESSAGE(DMCwarning, "Could not print %d of %d images", 1, 1);
    ShowMessage("Nothing printed");
  }
  return true;
}
