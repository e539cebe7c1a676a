// Index sheets: the main window's displayed records as a grid of thumbnails with their titles,
// under a header naming the source, the page and the sort order.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "app/core/papp.h"
#include "app/core/pdialogs.h"
#include "app/core/pimgdraw.h"
#include "app/print/ppriv.h"
#include "catalog/pdbformat.h"
#include "image/picolor.h"
#include "support/abitmap.h"
#include "support/bytetext.h"
#include "support/futil.h"

namespace {

// Sizes by thumbnail size class, in inches: thumbnail, label text and the gaps between cells.
constexpr double kThumbInches[] = {3.0, 1.5, 0.75, 0.375};
constexpr double kTextInches[] = {0.18, 0.13, 0.10, 0.05};
constexpr double kGapInches[] = {0.09, 0.06, 0.04, 0.02};

// The page header: the source at the left, the page in the middle, the order at the right.
void Header(QTextForm* tf, const PPrintRect& pr, int page, int npages, const char* date) {
  const PContext& bc = gMain->bc;
  const float pw = static_cast<float>(pr.right - pr.left);
  const float top = static_cast<float>(pr.top), bottom = top + tf->GetLineHeight();
  const float left = static_cast<float>(pr.left), right = static_cast<float>(pr.right);
  std::string text;
  if (strcmp(bc.rsrc, "*DB") == 0)
    text = "Index from catalog '" + ShownName(bc.dbname) + "'";
  else if (bc.rsrc[0] != '*')
    text = "Index of folder '" + ShownName(bc.rsrc) + "'";
  tf->SetRect(TFRect{left, left + 0.38f * pw, top, bottom});
  tf->SetJustify(TJFleft);
  *tf << text.c_str();
  tf->EndLine(false);
  char buf[64];
  snprintf(buf, sizeof buf, "Page %d of %d", page, npages);
  tf->SetRect(TFRect{left + 0.4f * pw, left + 0.6f * pw, top, bottom});
  tf->SetJustify(TJFcenter);
  *tf << buf;
  tf->EndLine(false);
  bool rev = false;
  IBrowser* b = gMain->GetBrowser();
  const int sf = b != nullptr ? b->GetSort(&rev) : -1;
  text = "Sorted by ";
  if (sf >= 0 && PDBFInfo.GetName(sf) != nullptr) {
    text += PDBFInfo.GetName(sf);
    if (rev) text += " (reverse)";
  } else {
    text += "hand";
  }
  if (date[0] != 0) text += std::string(" ") + date;
  tf->SetRect(TFRect{right - 0.38f * pw, right, top, bottom});
  tf->SetJustify(TJFright);
  *tf << text.c_str();
  tf->EndLine(false);
}

}  // namespace

bool printThumb(QPainter* page, const DBRecord& dr, int ndx, int ncols, int nrows, float fontPoints,
                float sepPoints) {
  if (page == nullptr || ncols < 1 || nrows < 1 || ndx < 0) return false;
  const double F = fontPoints, S = sepPoints;
  PPrintRect pr;
  getAdjustedPageRect(&pr);
  const double pw = pr.right - pr.left, ph = pr.bottom - pr.top;
  // The largest square the grid holds; the rest of the page centres the grid.
  const double tw = (pw - S) / ncols - S, th = (ph - F - S) / nrows - F - S;
  const double T = std::min(tw, th);
  const double padW = th < tw ? ncols * (tw - th) : 0, padH = th < tw ? 0 : nrows * (th - tw);
  if (!(T > 0)) return false;
  const int col = ndx % ncols, row = ndx / ncols;
  const double left = col * (T + S) + pr.left + S + padW * 0.5;
  const double top = row * (T + F + S) + pr.top + F + S + padH * 0.5;
  page->save();
  page->setPen(Qt::black);
  {
    // The label under the square, as one word: a long title is cut to the cell's width.
    QTextForm tf(page);
    tf.SetFontSize(static_cast<float>(F - 0.15 * S));
    const float lt = static_cast<float>(top + T + 0.05 * S);
    tf.SetRect(TFRect{static_cast<float>(left), static_cast<float>(left + T), lt,
                      lt + tf.GetLineHeight()});
    tf.SetJustify(TJFcenter);
    const char* label = nullptr;
    if (PDBgetField(dr, PDBFtitle).Get(&label, 1) != 1 || label == nullptr || label[0] == 0)
      PDBgetField(dr, PDBFfile).Get(&label, 1);
    // The label shows as names show (support/bytetext.h).
    if (label != nullptr)
      tf.PutWord(tf.FitWord(ShownName(label).c_str(), static_cast<float>(T)).c_str(), 0, false);
    tf.EndLine(false);
  }
  // The largest thumbnail size no larger than the square.
  int size = PBigThumbWidth;
  while (size > T && size > 1) size /= 2;
  bool drawn = false;
  _ImgStruct thumb = {};
  thumb.xres = thumb.yres = size;
  thumb.csp = &ICS_sRGB;
  if (size <= T && PthumbManager().GetThumbnail(&thumb, dr, nullptr)) {
    POrient o(&dr);
    o.SetOrigSize(thumb.xres, thumb.yres);
    const double ow = o.GetWidth(), oh = o.GetHeight();
    const double scale = std::max(ow, oh) / T;
    // A portrait thumbnail is centred across the square; a landscape one sits on its bottom.
    page->translate(left, top + T);
    page->scale(1 / scale, 1 / scale);
    page->translate(ow < oh ? (oh - ow) * 0.5 : 0, -oh);
    if (!o.IsNoop()) {
      QTransform t;
      PBgetAffine(&t, &o);
      page->setTransform(t, true);
    }
    page->setRenderHint(QPainter::SmoothPixmapTransform, true);
    Q2DImage(page, &thumb);
    QPen frame(Qt::black);
    frame.setWidthF(1);
    page->setPen(frame);
    page->drawRect(QRectF(-0.5, -0.5, thumb.xres + 1, thumb.yres + 1));
    drawn = true;
  }
  PfreeImage(&thumb);
  page->restore();
  return drawn;
}

bool printIndex() {
  if (gMain == nullptr) return false;
  PBusyGuard busy;  // the records printed stay displayed until the job has ended
  PContext& bc = gMain->bc;
  const int n = bc.rdisp.GetSize();
  if (n < 1) {
    DMESSAGE(DMCinput, "No display records");
    return false;
  }
  IBrowser* b = gMain->GetBrowser();
  const int denom = b != nullptr ? b->ThumbDenom() : 0;
  if (denom < 1) {
    DMESSAGE(DMCinput, "Cannot print list index (yet)");
    return false;
  }
  ABitMap set(bc.rsel);
  if (set.Length() != static_cast<uint32_t>(n) || set.SumTotal() == 0)
    set.NewBitMap(static_cast<uint32_t>(n), true);
  if (set.SumTotal() == 1 &&
      confirmDialog("Print index with 1 thumbnail?", nullptr, kResponseOK) != kResponseOK)
    return false;
  std::unique_ptr<PPrintSettings> st(printSetup(nullptr));
  if (!st) return false;
  if (!DMASSERT_AS(denom <= 8, "gBrowser->tnDenom <= 8")) return false;
  int k = 0;
  while ((1 << k) < denom) k++;
  const double t = kThumbInches[k], f = kTextInches[k], s = kGapInches[k];
  double res = setPrintResolution(static_cast<float>(PBigThumbWidth / t));
  if (res <= 0) res = PprintSession()->Resolution();
  PPrintRect pr;
  getAdjustedPageRect(&pr);
  const int ncols = static_cast<int>(((pr.right - pr.left) / res - s) / (t + s));
  const int nrows = static_cast<int>(((pr.bottom - pr.top) / res - f - s) / (t + f + s));
  if (ncols < 1 || nrows < 1) {
    DMESSAGE(DMCinput, "Page too small for this size thumbnail");
    return false;
  }
  const int per = ncols * nrows;
  const int total = static_cast<int>(set.SumTotal());
  const int npages = (total + per - 1) / per;
  st->minPage = 1;
  st->maxPage = npages;
  if (!PaskPages(st.get())) return false;
  PclampPages(st.get(), npages);
  if (!PbeginDocument(*st)) return false;

  // The set keeps only what this job prints.
  uint32_t cur = set.Find(0u, true);
  for (int skip = per * (st->firstPage - 1); skip > 0 && cur < set.Length(); skip--)
    cur = set.Find(cur + 1, true);
  set.ClearBits(0, cur, false);

  char date[32] = "", now[32];
  if (cvtdate(now, time(nullptr)) != nullptr) {
    DBField when(now);
    if (PDBformatDate(date, sizeof date, when) == nullptr) date[0] = 0;
  }

  const int pages = st->lastPage - st->firstPage + 1;
  bool cancelled = false;
  reportProgress("Printing index...", 0);
  for (int pg = st->firstPage; pg <= st->lastPage; pg++) {
    char msg[64];
    snprintf(msg, sizeof msg, "Printing page %d of %d", pg - st->firstPage + 1, pages);
    if (!reportProgress(msg, 1 + (pg - st->firstPage) * 98 / pages)) {
      cancelled = true;
      break;
    }
    int err = 0;
    QPainter* p = PprintSession()->BeginPage(&err);
    if (p == nullptr) {
      if (err == kPrintCancel)
        cancelled = true;
      else
        DMESSAGE(DMCresource, "Cannot begin output page");
      break;
    }
    p->setPen(Qt::black);
    {
      QTextForm tf(p);
      tf.SetFontSize(static_cast<float>((f - 0.15 * s) * res));
      Header(&tf, pr, pg, npages, date);
    }
    for (int c = 0; c < per && cur < set.Length(); c++) {
      printThumb(p, bc.rdisp.Get(static_cast<int>(cur)), c, ncols, nrows,
                 static_cast<float>(f * res), static_cast<float>(s * res));
      cur = set.Find(cur + 1, true);
    }
    err = PprintSession()->EndPage();
    if (err != 0) {
      cancelled = err == kPrintCancel;
      break;
    }
  }
  if (cur < set.Length()) set.ClearBits(cur, set.Length() - cur, false);
  // A Stop clicked while the last page was made, or in this closing step, still counts.
  if (!reportProgress(nullptr, 100)) cancelled = true;
  const int err = PendDocument("Spooling index...", cancelled);
  if (err != 0) {
    if (gMain != nullptr) gMain->ShowMessage(PcancelledText("Printing cancelled"), false);
    return false;
  }
  if (set.SumTotal() == 0) {
    gMain->ShowMessage("Nothing printed", false);
    return true;
  }
  gMain->EchoAction("Spooled", static_cast<int>(set.SumTotal()));
  return true;
}
