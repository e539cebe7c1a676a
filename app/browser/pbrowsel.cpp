// The browser's clicks and selection: hit testing, selecting with Shift and Ctrl, double
// clicks, the scroll bar, the information panel of one record, the selection shown in the
// grid, the table and the status line, and the insertion point of a drop.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/browser/pbrowser.h"
#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pcommands.h"
#include "app/records/precfile.h"
#include "app/core/pimgdraw.h"
#include "catalog/pdbase.h"
#include "catalog/pdbformat.h"
#include "image/picolor.h"
#include "platform/pmouse.h"
#include "platform/pqt.h"
#include "support/bytetext.h"
#include "support/cnumber.h"

namespace {

// The longest wait for a button's release.
constexpr double kReleaseWait = 30.0;

// The first value of a photo field of r as text, NULL when unset.
const char* Text(const DBRecord& r, PDBFieldID f) {
  const DBField& v = PDBgetField(r, f);
  if (v.GetNV() < 1) return nullptr;
  const char* s = v.GetString(0);
  return s && *s ? s : nullptr;
}

// A line of the panel: the value shown as names are, one line whatever its bytes.
void Append(std::string* s, int* lines, const char* fmt, const char* value) {
  char buf[1200];
  Csnprintf(buf, sizeof buf, fmt, ShownName(value).c_str());
  *s += buf;
  ++*lines;
}

}  // namespace

bool PBrowser::Click(Point pt, unsigned short mods, EventRef event) {
  if (!IsVisible() || !Inside(pt)) return false;
  // While a load fills the records, clicks would act on a list that is still growing.
  if (PisBusy()) return true;
  SetThemeCursor(kThemeArrowCursor);
  if (tnDenom > 0) return ThumbClick(pt, mods, event);
  return ListClick(pt, mods);
}

int PBrowser::HitRecord(Point pt) const {
  if (tnDenom < 1 || ntcols < 1) return -1;
  const int ts = ThumbSize(), px = ts + 24, py = csiz.v + px;
  const int dx = pt.h - extent.left, dy = pt.v - extent.top;
  if (dx <= 15 || dy <= 15) return -1;
  const int col = (dx - 16) / px, row = (dy - 16) / py;
  const int cell = row * ntcols + col;
  if (col >= ntcols || cell >= ThumbCount() || dx >= (col + 1) * px + 8 || dy >= (row + 1) * py + 8)
    return -1;
  return topleftIndex + cell;
}

bool PBrowser::ThumbClick(Point pt, unsigned short mods, EventRef event) {
  if (tnDenom < 1) return false;
  PContext* ctx = GetContext();
  if (ctx == nullptr) return false;
  if (pt.h >= extent.right - 15) {
    if (thumbScroll == nullptr) return true;
    switch (HandleControlClick(thumbScroll, pt, mods, nullptr)) {
      case kControlUpButtonPart:
        ScrollDown(-1);
        return true;
      case kControlDownButtonPart:
        ScrollDown(1);
        return true;
      case kControlPageUpPart:
        ScrollDown(-ntrows);
        return true;
      case kControlPageDownPart:
        ScrollDown(ntrows);
        return true;
      case kControlIndicatorPart:
        ScrollDown(GetControlValue(thumbScroll) - (ntcols > 0 ? topleftIndex / ntcols : 0));
        return true;
      default:
        return false;
    }
  }
  const int rec = HitRecord(pt);
  EventMouseButton button = kEventMouseButtonPrimary;
  if (event)
    GetEventParameter(event, kEventParamMouseButton, typeMouseButton, nullptr, sizeof button,
                      nullptr, &button);
  if ((mods & (optionKey | controlKey)) || button == kEventMouseButtonSecondary) {
    if (rec < 0) return false;
    FocusThumb(rec);
    return true;
  }
  // A double click is two clicks at one place within the desktop's time; a quick click
  // elsewhere is a click of its own.
  const double now = event ? GetEventTime(event) : GetCurrentEventTime();
  if (lastUpTime > 0.0 && IsDoubleClick(lastUpTime, lastUpPoint, now, pt)) {
    waitMouseRelease(kReleaseWait);
    if (rec >= 0 && ctx->IsSelected(rec)) openImages(this, nullptr);
    return true;
  }
  lastUpTime = now;
  lastUpPoint = pt;
  bool deselected = false;
  if (mods & shiftKey) {
    if (rec >= 0) {
      ctx->Select(rec, true);
      int from = -1;
      for (int i = rec - 1; i >= 0; --i)
        if (ctx->IsSelected(i)) {
          from = i;
          break;
        }
      if (from >= 0) {
        for (int i = from + 1; i < rec; ++i) ctx->Select(i, true);
      } else {
        int to = -1;
        for (int i = rec + 1; i < ctx->rdisp.GetSize(); ++i)
          if (ctx->IsSelected(i)) {
            to = i;
            break;
          }
        for (int i = rec + 1; i < to; ++i) ctx->Select(i, true);
      }
    }
  } else if (mods & cmdKey) {
    if (rec >= 0) {
      deselected = ctx->IsSelected(rec);
      ctx->Select(rec, !deselected);
    }
  } else {
    if (rec >= 0 && hasSound.Check(static_cast<uint32_t>(rec))) {
      const int ts = ThumbSize(), px = ts + 24, py = csiz.v + px;
      const int cell = rec - topleftIndex;
      const int sx = pt.h - extent.left - (cell % ntcols) * px;
      const int sy = pt.v - extent.top - (cell / ntcols) * py;
      if (sx >= 24 && sx <= 31 && sy >= 24 && sy <= 31) {
        PlaySound(rec);
        return true;
      }
    }
    if (rec < 0 || !ctx->IsSelected(rec)) ctx->SelectNone();
    if (rec >= 0) ctx->Select(rec, true);
  }
  ShowSelection(false);
  if (mainw) mainw->HiliteSelectors();
  if (rec >= 0 && !deselected && event) {
    Point where;
    if (GetEventParameter(event, kEventParamMouseLocation, typeQDPoint, nullptr, sizeof where,
                          nullptr, &where) == noErr &&
        WaitMouseMoved(where))
      PDragRecords(event, this);
  }
  return true;
}

void PBrowser::FocusThumb(int i) {
  PContext* ctx = GetContext();
  if (!IsVisible() || ctx == nullptr || i < 0 || i >= ctx->rdisp.GetSize()) return;
  const DBRecord& rec = ctx->rdisp.Get(i);
  std::string text;
  int lines = 0;
  if (const char* s = Text(rec, PDBFfile)) Append(&text, &lines, "File '%s'\n", s);
  if (const char* s = Text(rec, PDBFlocation)) Append(&text, &lines, "Folder '%s'\n", s);
  if (const char* s = Text(rec, PDBFsubject)) Append(&text, &lines, "Subject: %s\n", s);
  if (const char* s = Text(rec, PDBFtitle)) Append(&text, &lines, "Title: %s\n", s);
  char f[33];
  if (PDBgetField(rec, PDBFcapdate).GetNV() > 0 &&
      PDBformatDate(f, sizeof f, PDBgetField(rec, PDBFcapdate)))
    Append(&text, &lines, "Captured %s\n", f);
  if (const char* s = Text(rec, PDBFowner)) Append(&text, &lines, "Owner: %s\n", s);
  const DBField& kw = PDBgetField(rec, PDBFkeyword);
  if (kw.GetNV() > 0) {
    text += "Keywords: ";
    for (int k = 0; k < kw.GetNV() && k < 16; ++k) {
      if (k) text += ", ";
      text += ShownName(kw.GetString(k));
    }
    text += "\n";
    ++lines;
  }
  const DBField& cm = PDBgetField(rec, PDBFcomment);
  for (int k = 0; k < cm.GetNV() && k < 16; ++k)
    Append(&text, &lines, "Comment: %s\n", cm.GetString(k));
  const DBField& xs = PDBgetField(rec, PDBFxsize);
  const DBField& ys = PDBgetField(rec, PDBFysize);
  if (xs.GetNV() > 0 && ys.GetNV() > 0) {
    char buf[200];
    const char* fmt = Text(rec, PDBFformat);
    snprintf(buf, sizeof buf, "%ldx%ld %s", xs.GetInt(0), ys.GetInt(0), fmt ? fmt : "image");
    text += buf;
    const DBField& nb = PDBgetField(rec, PDBFnbytes);
    if (nb.GetNV() > 0) {
      const long long kb =
          (static_cast<long long>(static_cast<uint32_t>(nb.GetInt(0))) + 1023) / 1024;
      snprintf(buf, sizeof buf, " (%lld Kbytes)", kb);
      text += buf;
    }
    text += "\n";
    ++lines;
  }
  const DBField& et = PDBgetField(rec, PDBFexptime);
  const DBField& ap = PDBgetField(rec, PDBFaperture);
  if (et.GetNV() > 0 && ap.GetNV() > 0) {
    char e[33], a[33];
    text += "Exposure: ";
    text += PDBformatExposure(e, sizeof e, et) ? e : "";
    text += " @ ";
    text += PDBformatAperture(a, sizeof a, ap) ? a : "";
    const DBField& asa = PDBgetField(rec, PDBFasa);
    if (asa.GetNV() > 0) {
      char buf[40];
      Csnprintf(buf, sizeof buf, ", ASA %.0f", static_cast<double>(asa.GetFloat(0)));
      text += buf;
    }
    text += "\n";
    ++lines;
  }
  const DBField& fl = PDBgetField(rec, PDBFflash);
  const DBField& wb = PDBgetField(rec, PDBFwhitebal);
  if (fl.GetNV() > 0 && fl.GetInt(0) != 0) {
    if (PDBformatFlash(f, sizeof f, fl)) Append(&text, &lines, "Flash %s\n", f);
  } else if (wb.GetNV() > 0) {
    if (PDBformatWhiteBal(f, sizeof f, wb)) Append(&text, &lines, "White balance %s\n", f);
  }
  const int textHeight = (lines + 3) * csiz.v;

  // The picture, except at the largest size, where the grid already shows it.
  _ImgStruct pic{};
  POrient o(&rec);
  o.SetOrigSize(1, 1);
  if (tnDenom != 1) {
    pic.xres = pic.yres = PBigThumbWidth;
    pic.csp = &ICS_sRGB;
    const bool crop = tnMgr.doCrop, orient = tnMgr.doOrient;
    tnMgr.doCrop = true;
    tnMgr.doOrient = false;
    tnMgr.GetThumbnail(&pic, rec);
    tnMgr.doCrop = crop;
    tnMgr.doOrient = orient;
    if (pic.img != nullptr) o.SetOrigSize(pic.xres, pic.yres);
  }
  const int ow = pic.img ? o.GetWidth() : 0, oh = pic.img ? o.GetHeight() : 0;

  Point mouse;
  GetGlobalMouse(&mouse);
  Point2Local(&mouse);
  int left = std::max<int>(mouse.h - PBigThumbWidth / 2 - 8, extent.left);
  int right = left + PBigThumbWidth + 16;
  if (right > extent.right - 15) {
    left = std::max<int>(left - (right - (extent.right - 15)), extent.left);
    right = extent.right - 15;
  }
  int top = std::max<int>(mouse.v - (oh + textHeight) / 2 - 8, extent.top);
  int bottom = top + oh + textHeight + 24;
  if (bottom > extent.bottom) {
    top = std::max<int>(top - (bottom - extent.bottom), extent.top);
    bottom = extent.bottom;
  }
  SetPort(nullptr);
  {
    PortPainter p;
    const QRect panel(QPoint(left, top), QPoint(right - 1, bottom - 1));
    p.setClipRect(panel);
    p.fillRect(panel, QColor(255, 255, 255));
    p.setPen(QColor(0, 0, 0));
    p.setBrush(Qt::NoBrush);
    p.drawRect(panel.adjusted(0, 0, -1, -1));
    if (pic.img != nullptr) QDrawImage(&p, &pic, left + (PBigThumbWidth - ow) / 2 + 8, top + 8, &o);
    const QRect box(QPoint(left + 8, top + 8 + oh + 8), QPoint(right - 9, bottom - 9));
    p.drawText(box, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
               QString::fromUtf8(text.c_str()));
  }
  ResetPort();
  if (pic.img != nullptr || pic.mbase != nullptr) PfreeImage(&pic);
  waitMouseRelease(kReleaseWait);
  Redraw();
}

void PBrowser::ShowSelection(bool scroll) {
  PContext* ctx = GetContext();
  if (ctx == nullptr) return;
  if (loneRecord(ctx) != nullptr && gInfo != nullptr) {
    int i = 0;
    ctx->NextSelected(&i);
    gInfo->ShowInfo(this, i, false);
  }
  if (mainw) {
    const int n = ctx->rdisp.GetSize();
    if (n > 0) {
      char msg[80];
      snprintf(msg, sizeof msg, "%d of %d records selected", ctx->TotalSelected(), n);
      mainw->ShowMessage(msg, false);
    } else {
      mainw->ShowMessage("", false);
    }
  }
  if (tnDenom > 0) {
    if (ntcols < 1) return;
    const int f = static_cast<int>(ctx->rsel.Find(uint32_t{0}, true));
    const int offset = f >= topleftIndex ? (f - topleftIndex) / ntcols
                                         : -((topleftIndex - f + ntcols - 1) / ntcols);
    if (scroll && (offset < 0 || offset >= ntrows) && ScrollDown(offset) != 0) return;
    DrawThumbs();
    return;
  }
  if (listh == nullptr) return;
  const int n = ctx->rdisp.GetSize();
  for (int r = 0; r < n; ++r) {
    const bool on = ctx->IsSelected(r);
    for (int c = 0; c < dfCount; ++c) {
      Cell cell(r, c);
      if (LGetSelect(false, &cell, listh) != on) LSetSelect(on, cell, listh);
    }
  }
  if (scroll) LAutoScroll(listh);
  if (IsVisible()) {
    SetPort(nullptr);
    LUpdate(&extent, listh);
    ResetPort();
  }
}

void PBrowser::GetListSelection() {
  PContext* ctx = GetContext();
  if (ctx == nullptr || listh == nullptr) return;
  const Cell last = LLastClick(listh);
  const int n = ctx->rdisp.GetSize();
  if (last.v >= 0 && last.v < n && last.h >= 0 && last.h < dfCount) {
    Cell cell = last;
    const bool inList = LGetSelect(false, &cell, listh);
    if (inList != ctx->IsSelected(last.v)) {
      if (inList) {
        // Every row with a selected cell is selected.
        ctx->SelectNone();
        Cell c(0, 0);
        while (LGetSelect(true, &c, listh)) {
          ctx->Select(c.v, true);
          c = Cell(c.v + 1, 0);
          if (c.v >= n) break;
        }
      } else {
        ctx->Select(last.v, false);
        // A row keeps its selection only when all its cells are selected.
        for (int sel = 0; ctx->NextSelected(&sel) && sel < n; ++sel) {
          int on = 0;
          for (int col = 0; col < dfCount; ++col) {
            Cell c(sel, col);
            if (LGetSelect(false, &c, listh)) ++on;
          }
          if (on > 0 && on < dfCount) ctx->Select(sel, false);
        }
      }
    }
  }
  ShowSelection(false);
}

bool PBrowser::ListClick(Point pt, unsigned short mods) {
  if (listh == nullptr) return false;
  if (mods & (optionKey | controlKey)) {
    ListBounds vis;
    GetListVisibleCells(listh, &vis);
    Rect view;
    GetListViewBounds(listh, &view);
    Point size;
    GetListCellSize(listh, &size);
    int row = vis.top;
    while (row < vis.bottom && view.top + (row - vis.top + 1) * size.v <= pt.v) ++row;
    FocusThumb(row);
    return true;
  }
  if (LClick(pt, mods, listh)) {
    openImages(this, nullptr);
  } else {
    GetListSelection();
    DrawListHeader();
    if (mainw) mainw->HiliteSelectors();
  }
  return true;
}

void PBrowser::SelectAll() {
  if (PContext* ctx = GetContext()) ctx->SelectAll();
  ShowSelection(false);
}

void PBrowser::SelectNone() {
  if (PContext* ctx = GetContext()) ctx->SelectNone();
  ShowSelection(false);
}

void PBrowser::SelectInverse() {
  if (PContext* ctx = GetContext()) ctx->SelectInverse();
  ShowSelection(false);
}

int PBrowser::InsertionPoint(Point pt) {
  if (!IsVisible() || tnDenom < 1) return -1;
  ClearInsertion();
  const int records = Records();
  if (ntcols < 1 || ntrows < 1) {
    // No cells to point between: a drop goes after the last record.
    insertIndex = records;
    return insertIndex;
  }
  const int ts = ThumbSize();
  const int row = std::clamp((pt.v - extent.top - 24) / (csiz.v + ts + 24), 0, ntrows - 1);
  int col = (pt.h - extent.left - 24 + (ts + 24) / 2) / (ts + 24);
  if (pt.h - extent.left - 24 + (ts + 24) / 2 < 0) col = 0;
  if (col >= ntcols) col = row == ntrows - 1 ? ntcols : ntcols - 1;
  insertIndex = std::min(topleftIndex + row * ntcols + col, records);
  DrawInsertion(true);
  return insertIndex;
}

void PBrowser::DrawInsertion(bool on) {
  if (insertIndex < 0 || tnDenom < 1 || !IsVisible() || ntcols < 1 || insertIndex < topleftIndex)
    return;
  int r = (insertIndex - topleftIndex) / ntcols, c = (insertIndex - topleftIndex) % ntcols;
  if (r == ntrows && c == 0) {
    r -= 1;
    c = ntcols;
  } else if (r >= ntrows) {
    return;
  }
  const int ts = ThumbSize();
  const int x = extent.left + c * (ts + 24) + 13;
  const int y = extent.top + r * (csiz.v + ts + 24) + 24;
  SetPort(nullptr);
  {
    PortPainter p;
    const QRect bar(x, y, 2, ts + csiz.v);
    p.setClipRect(bar);
    p.fillRect(bar, on ? QColor(0x40, 0x40, 0xFF) : QColor(255, 255, 255));
  }
  ResetPort();
}

void PBrowser::ClearInsertion() {
  if (insertIndex < 0) return;
  if (tnDenom > 0) DrawInsertion(false);
  insertIndex = -1;
}
