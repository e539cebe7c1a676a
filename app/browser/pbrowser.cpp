// The browser pane: construction, the grid's layout, drawing and scrolling, clearing, and the
// drop highlight.
#include "app/browser/pbrowser.h"

#include <algorithm>
#include <cstring>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pdialogs.h"
#include "app/core/pimgdraw.h"
#include "catalog/pdbase.h"
#include "image/picolor.h"
#include "platform/pqt.h"
#include "app/core/pappstate.h"

PThumbnailer& PBrowser::tnMgr = PthumbManager();

namespace {

// ceil(a / b) for a >= 0, b > 0.
int CeilDiv(int a, int b) {
  return (a + b - 1) / b;
}

QColor Q(unsigned short r, unsigned short g, unsigned short b) {
  return QColor(r >> 8, g >> 8, b >> 8);
}

// The 8 x 8 mark of a record with a sound: a small loudspeaker.
void DrawSoundMark(QPainter* p, int left, int top) {
  p->save();
  p->setPen(Qt::NoPen);
  p->setBrush(QColor(255, 255, 255));
  p->drawRect(left, top, 8, 8);
  p->setBrush(QColor(40, 40, 40));
  p->drawRect(left + 1, top + 3, 2, 2);
  const QPoint cone[4] = {QPoint(left + 3, top + 3), QPoint(left + 6, top),
                          QPoint(left + 6, top + 8), QPoint(left + 3, top + 5)};
  p->drawPolygon(cone, 4);
  p->restore();
}

}  // namespace

PBrowser::PBrowser(IMainWindow* mw)
    : mainw(mw),
      thumb{},
      thumbFinal(kMaxCells, false),
      ntrows(0),
      ntcols(0),
      topleftIndex(0),
      insertIndex(-1),
      lastUpTime(0.0),
      lastUpPoint{0, 0},
      thumbScroll(nullptr),
      listh(nullptr),
      csiz{16, 160},
      cwidth(22),
      dfOrder{},
      dfCount(0),
      dfSel(0),
      highlighted(false),
      changeName(nullptr),
      changeSS(nullptr),
      tnDenom(0),
      clearCount(0),
      changeText{},
      changeBusy(nullptr) {
  grav = 15;
  minsize = Point{200, 200};
  Drawn();
}

PBrowser::~PBrowser() {
  NoChange();
  Clear();
}

PContext* PBrowser::GetContext() const {
  return mainw ? &mainw->bc : nullptr;
}

int PBrowser::Records() const {
  const PContext* ctx = GetContext();
  return ctx ? ctx->rdisp.GetSize() : 0;
}

int PBrowser::FindRecord(const DBRecord& r) const {
  PContext* ctx = GetContext();
  return ctx ? ctx->FindI(r) : -1;
}

int PBrowser::Show(int vis) {
  const int change = UpdateVis(vis);
  if (change > 0) Redraw();
  if (change < 0) Clear();
  return change;
}

void PBrowser::Redraw() {
  if (!IsVisible()) return;
  if (tnDenom < 1) {
    const bool moved = Changed(), resized = SizeChanged();
    if (GetList() == nullptr) {
      Wipe();  // nothing to tabulate: the pane stays blank
      Drawn();
      return;
    }
    const Rect view{static_cast<short>(extent.top + csiz.v), extent.left,
                    static_cast<short>(extent.bottom - 15), static_cast<short>(extent.right - 15)};
    if (moved) {
      SetListViewBounds(listh, &view);
      if (resized)
        LSize(static_cast<short>(view.right - view.left),
              static_cast<short>(view.bottom - view.top), listh);
    }
    Wipe();
    SetPort(nullptr);
    LUpdate(&extent, listh);
    ResetPort();
    DrawListHeader();
  } else {
    UpdateThumbs();
  }
  Drawn();
}

void PBrowser::Redisplay() {
  const int top = topleftIndex;
  Clear();
  topleftIndex = top < Records() ? top : 0;
  Redraw();
}

void PBrowser::Clear() {
  if (IsVisible()) Wipe();
  FreeList();
  FreeThumbs();
  hasSound.NewBitMap(0);
  soundChecked.NewBitMap(0);
  highlighted = false;
  insertIndex = -1;
  ++clearCount;
}

void PBrowser::FreeThumb(int i) {
  if (i < 0 || i >= kMaxCells) return;
  if (thumb[i].img != nullptr || thumb[i].mbase != nullptr) PfreeImage(&thumb[i]);
  thumb[i] = _ImgStruct{};
  thumbFinal.Reset(static_cast<uint32_t>(i));
}

void PBrowser::FreeCells(int from, int to) {
  for (int i = std::max(from, 0); i < std::min(to, int{kMaxCells}); ++i) FreeThumb(i);
}

void PBrowser::FreeThumbs() {
  FreeCells(0, kMaxCells);
  ntrows = ntcols = topleftIndex = 0;
  if (thumbScroll) DisposeControl(thumbScroll);
  thumbScroll = nullptr;
}

int PBrowser::SlotsInUse() const {
  if (ntcols < 1 || ntrows < 1) return 0;
  int rows = ntrows;
  while (rows > 0 && rows * ntcols > kMaxCells) --rows;
  return rows * ntcols;
}

int PBrowser::ThumbSlots() const {
  return tnDenom > 0 ? SlotsInUse() : 0;
}

int PBrowser::ThumbCount() const {
  if (tnDenom < 1) return 0;
  const int n = std::min(SlotsInUse(), Records() - topleftIndex);
  return n > 0 ? n : 0;
}

int PBrowser::UpdateThumbs() {
  if (tnDenom < 1) return 0;
  const int oldTop = topleftIndex;
  const int oldCount = ThumbCount();
  const int ts = ThumbSize();
  ntrows = std::max(0, (GetHeight() - 24) / (csiz.v + ts + 24));
  ntcols = std::max(0, (GetWidth() - 39) / (ts + 24));
  const int records = Records();
  // A pane too small for one cell has no cells, no scroll bar and nothing to scroll.
  const int sbRows = ntcols > 0 ? CeilDiv(records, ntcols) - ntrows : 0;
  if (sbRows > 0)
    topleftIndex -= topleftIndex % ntcols;
  else
    topleftIndex = 0;
  const int newCount = ThumbCount();
  if (topleftIndex != oldTop) {
    FreeCells(0, kMaxCells);
  } else {
    FreeCells(newCount, kMaxCells);
    FreeCells(oldCount, newCount);
  }
  if (ntcols < 1 || ntrows < 1) {
    if (thumbScroll) DisposeControl(thumbScroll);
    thumbScroll = nullptr;
  } else {
    const Rect sb{extent.top, static_cast<short>(extent.right - 15),
                  static_cast<short>(extent.bottom - 15), extent.right};
    const int value = CeilDiv(topleftIndex, ntcols);
    if (thumbScroll) {
      SetControlBounds(thumbScroll, &sb);
      SetControlMaximum(thumbScroll, std::max(sbRows, 0));
      SetControlViewSize(thumbScroll, ntrows);
      SetControlValue(thumbScroll, value);
    } else if (newCount >= 1 && GetWindow() != nullptr) {
      CreateScrollBarControl(GetWindow(), &sb, value, 0, std::max(sbRows, 0), ntrows, false,
                             nullptr, &thumbScroll);
    }
  }
  SetPort(nullptr);
  Wipe();
  highlighted = false;
  insertIndex = -1;
  DrawThumbs();

  // The empty cells get quick thumbnails, events pumped every few cells; a scroll, a size or
  // mode change, or new records meanwhile end the loop.
  PContext* ctx = GetContext();
  const int top = topleftIndex, denom = tnDenom, generation = clearCount;
  const int every = std::max(1, tnDenom * (tnDenom + 1) / 2);
  const bool crop = tnMgr.doCrop, orient = tnMgr.doOrient;
  int i = 0;
  for (; ctx != nullptr && i < ThumbCount(); ++i) {
    if (thumb[i].img != nullptr) continue;
    if (i % every == 0) {
      checkEvents(0.0);
      if (topleftIndex != top || tnDenom != denom || clearCount != generation || !IsVisible())
        break;
      if (i >= ThumbCount()) break;
      if (thumb[i].img != nullptr) continue;
    }
    const int r = topleftIndex + i;
    if (r >= ctx->rdisp.GetSize()) break;
    FreeThumb(i);
    thumb[i].xres = ts;
    thumb[i].yres = ts;
    thumb[i].csp = &ICS_sRGB;
    tnMgr.doCrop = true;
    tnMgr.doOrient = false;  // the cell orients the picture as it draws it
    thumbFinal.Set(static_cast<uint32_t>(i), tnMgr.QuickThumb(&thumb[i], ctx->rdisp[r]));
    tnMgr.doCrop = crop;
    tnMgr.doOrient = orient;
    DrawThumb(i);
  }
  ResetPort();
  idleImprovements(1.0);
  return i;
}

void PBrowser::DrawCell(QPainter* p, int tn) {
  PContext* ctx = GetContext();
  const int ti = topleftIndex + tn;
  if (ctx == nullptr || ntcols < 1 || tn < 0 || tn >= kMaxCells || ti >= ctx->rdisp.GetSize())
    return;
  const int ts = ThumbSize();
  const int left = extent.left + (tn % ntcols) * (ts + 24) + 24;
  const int top = extent.top + (tn / ntcols) * (csiz.v + ts + 24) + 24;
  const DBRecord& rec = ctx->rdisp.Get(ti);

  // The caption: the title, else the file name, of at most ts / 5 characters (cut below).
  char caption[1024];
  const int chars = std::min(ts / 5, 80);
  const char* text = nullptr;
  if (const DBFieldInfo* fi = rec.GetFieldInfo()) {
    text = rec.FormatField(fi->XlateID(&PDBFInfo, PDBFtitle), caption, sizeof caption);
    if (text == nullptr || *text == '\0')
      text = rec.FormatField(fi->XlateID(&PDBFInfo, PDBFfile), caption, sizeof caption);
  }

  // The catalogue band shows 4 pixels right and below the light cell.
  const bool catalogued = strcmp(ctx->rsrc, "*DB") == 0 || ctx->GetDBOrig(ti) != nullptr;
  QColor band = !catalogued ? Q(0, 0, 0x8000) : ctx->ReadOnly() ? Q(0xA000, 0, 0) : Q(0, 0x8000, 0);
  p->setPen(Qt::NoPen);
  p->setBrush(band);
  p->drawRoundedRect(QRect(left - 4, top - 4, ts + 16, ts + csiz.v + 16), 4, 4);
  p->setBrush(ctx->IsSelected(ti) ? Q(0xB000, 0xD800, 0xFFFF) : Q(0xF000, 0xF000, 0xF000));
  p->drawRoundedRect(QRect(left - 8, top - 8, ts + 16, ts + csiz.v + 16), 4, 4);
  p->setBrush(Qt::NoBrush);
  if (text != nullptr && *text != '\0') {
    p->setPen(QColor(0, 0, 0));
    // A caption longer or wider than the cell is cut between characters and ends in an
    // ellipsis.
    size_t n = 0;
    std::string shown;
    text = PshownField(text, sizeof caption, &n, &shown);
    PdrawFittedText(p, QRectF(left, top + ts + 4, ts, csiz.v), text, chars);
  }
  const _ImgStruct& img = thumb[tn];
  if (img.img != nullptr) {
    POrient o(&rec);
    o.SetOrigSize(img.xres, img.yres);
    QDrawImage(p, &img, left + (ts - o.GetWidth()) / 2, top + (ts - o.GetHeight()) / 2, &o);
  }
  if (hasSound.Check(static_cast<uint32_t>(ti))) DrawSoundMark(p, left, top);
}

void PBrowser::DrawThumb(int tn) {
  if (!IsVisible() || tnDenom < 1) return;
  SetPort(nullptr);
  {
    PortPainter p;
    if (ntcols > 0) {
      const int ts = ThumbSize();
      p.setClipRect(QRect(extent.left + (tn % ntcols) * (ts + 24) + 16,
                          extent.top + (tn / ntcols) * (csiz.v + ts + 24) + 16, ts + 20,
                          ts + csiz.v + 20));
    }
    DrawCell(&p, tn);
  }
  ResetPort();
}

void PBrowser::DrawThumbs() {
  if (!IsVisible() || tnDenom < 1) return;
  SetPort(nullptr);
  {
    PortPainter p;
    p.setClipRect(QRect(extent.left, extent.top, GetWidth(), GetHeight()));
    for (int tn = ThumbCount(); tn-- > 0;) DrawCell(&p, tn);
  }
  if (thumbScroll) Draw1Control(thumbScroll);
  ResetPort();
}

int PBrowser::ScrollDown(int nrdown) {
  if (tnDenom < 1) {
    if (listh == nullptr) return 0;
    LScroll(0, nrdown, listh);
    return nrdown;
  }
  if (ntcols < 1 || ntrows < 1) return 0;
  const int above = CeilDiv(topleftIndex, ntcols);
  const int below = std::max(0, CeilDiv(std::max(0, Records() - topleftIndex), ntcols) - ntrows);
  nrdown = std::clamp(nrdown, -above, below);
  if (nrdown == 0) return 0;
  const int iend = SlotsInUse();
  if (nrdown > 0) {
    const int k = nrdown * ntcols;
    if (k < iend) {
      FreeCells(0, k);
      for (int j = k; j < iend; ++j) {
        thumb[j - k] = thumb[j];  // handed over, not copied
        thumb[j] = _ImgStruct{};
      }
    } else {
      FreeCells(0, iend);
    }
    thumbFinal >>= static_cast<uint32_t>(k);
  } else {
    const int k = -nrdown * ntcols;
    const int keep = std::max(0, iend - k);
    FreeCells(keep, iend);
    for (int j = keep; j-- > 0;) {
      thumb[j + k] = thumb[j];
      thumb[j] = _ImgStruct{};
    }
    thumbFinal <<= static_cast<uint32_t>(k);
  }
  topleftIndex = std::max(0, topleftIndex + ntcols * nrdown);
  Redraw();
  return nrdown;
}

bool PBrowser::Wheel(Point pt, int xdelta, int ydelta, EventRef) {
  if (!IsVisible() || !Inside(pt)) return false;
  if (tnDenom < 1) {
    if (listh == nullptr) return false;
    LScroll(-xdelta, -ydelta, listh);
    return true;
  }
  if (ydelta == 0) return false;
  ScrollDown(-ydelta);
  return true;
}

void PBrowser::Highlight(bool on) {
  if (highlighted == on) return;
  if (IsVisible()) {
    SetPort(nullptr);
    // The drag highlight: the desktop's selection blue.
    const QColor colour = on ? QColor(0x30, 0x8C, 0xC6) : QColor(255, 255, 255);
    {
      PortPainter p;
      p.setClipRect(QRect(extent.left, extent.top, GetWidth(), GetHeight()));
      const int l = extent.left, t = extent.top, r = extent.right, b = extent.bottom;
      p.fillRect(QRect(QPoint(l, t), QPoint(l + 1, b - 2)), colour);
      p.fillRect(QRect(QPoint(l, t), QPoint(r - 16, t + 1)), colour);
      p.fillRect(QRect(QPoint(l, b - 3), QPoint(r - 16, b - 2)), colour);
      p.fillRect(QRect(QPoint(r - 17, t), QPoint(r - 16, b - 2)), colour);
    }
    ResetPort();
  }
  highlighted = on;
}
