// The image pane: rendering, oriented drawing, the exclusive-or selection outline, scrolling
// by shifting the rendering, and the mouse.
#include "app/image/pimagedrawer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/core/pdialogs.h"
#include "app/image/pimagewin.h"
#include "platform/pmouse.h"
#include "platform/pqt.h"
#include "app/core/pappstate.h"
#include "image/pconvert.h"

namespace {

bool fillFailed = false;

// The displayed pixels beside a strip that the resampling kernels reach at a zoom of n/d (two
// source pixels of the cubic kernel when enlarging, the Gaussian's reach when reducing), a
// multiple of n.
int KernelMargin(int zn) {
  return (4 + 3 * zn + zn - 1) / zn * zn;
}

constexpr SInt32 kWholeView = 10000;  // a view size beside which the bar's range is nothing  // a
                                      // strip of the last shift could not be rendered

// A float product truncated toward zero, kept within the range offsets can take.
int Trunc(float f) {
  if (!(f > -1e8f)) return f != f ? 0 : -100000000;
  if (!(f < 1e8f)) return 100000000;
  return static_cast<int>(f);
}

}  // namespace

PImageDrawer::PImageDrawer(WindowRef w, PImageWindow* ip)
    : horizScroll(nullptr),
      vertScroll(nullptr),
      pim(ip),
      curImg{},
      rectShown(false),
      windo(w),
      scratch{} {
  ResetColorSpace();
  // Made at a nominal place of the right shape; Redraw puts them along the pane's edges.
  const Rect h{0, 0, kBar, 100}, v{0, 0, 100, kBar};
  if (CreateScrollBarControl(w, &h, 50, 0, 101, 100, false, nullptr, &horizScroll) != noErr)
    horizScroll = nullptr;
  if (CreateScrollBarControl(w, &v, 50, 0, 101, 100, false, nullptr, &vertScroll) != noErr)
    vertScroll = nullptr;
}

PImageDrawer::~PImageDrawer() {
  if (horizScroll) DisposeControl(horizScroll);
  if (vertScroll) DisposeControl(vertScroll);
  PfreeImage(&curImg);
  PfreeImage(&scratch);
}

void PImageDrawer::BufferSize(int* bw, int* bh) const {
  int w = GetRWidth(), h = GetRHeight();
  const PImageRing* ir = pim != nullptr && pim->Ready() ? pim->iring : nullptr;
  if (ir != nullptr && !ir->IsZoomToFit() && w > 0 && h > 0) {
    const int step = ir->zoomNum >= 1 && ir->zoomNum <= 64 ? 2 * ir->zoomNum : 2;
    w = (w + step - 1) / step * step;
    h = (h + step - 1) / step * step;
  }
  *bw = w;
  *bh = h;
}

void PImageDrawer::ResetColorSpace() {
  cs = pim != nullptr ? pim->dispCS : ICS_sRGB;
  cs.cstatic = 0;
  curImg.csp = &cs;
}

void PImageDrawer::BarBounds(Rect* h, Rect* v) const {
  *h = Rect{static_cast<short>(extent.bottom - kBar), extent.left, extent.bottom,
            static_cast<short>(extent.right - kBar)};
  *v = Rect{extent.top, static_cast<short>(extent.right - kBar),
            static_cast<short>(extent.bottom - kBar), extent.right};
}

int PImageDrawer::Show(int how) {
  const int change = UpdateVis(how);
  if (change == 0) return 0;
  if (pim) pim->showGoing = 0;
  for (ControlRef c : {horizScroll, vertScroll})
    if (c) SetControlVisibility(c, change > 0, true);
  if (change > 0)
    Redraw();
  else
    Wipe();
  return change;
}

void PImageDrawer::Wipe() {
  SetPort(windo);
  const uint8_t* bg = pim != nullptr ? pim->bgRGB : nullptr;
  const RGBColor back{static_cast<unsigned short>(bg ? bg[0] * 257 : 0xFFFF),
                      static_cast<unsigned short>(bg ? bg[1] * 257 : 0xFFFF),
                      static_cast<unsigned short>(bg ? bg[2] * 257 : 0xFFFF)};
  RGBBackColor(&back);
  const Rect area{extent.top, extent.left, static_cast<short>(extent.bottom - kBar),
                  static_cast<short>(extent.right - kBar)};
  EraseRect(&area);
  const RGBColor white{0xFFFF, 0xFFFF, 0xFFFF};
  RGBBackColor(&white);
  ResetPort();
  rectShown = false;
}

void PImageDrawer::Invalid() {
  PfreeImage(&curImg);
  curImg.img = nullptr;
  curImg.mbase = nullptr;
  ResetColorSpace();
}

void PImageDrawer::Readout(const char* text) const {
  if (pim != nullptr && pim->dataTextField != nullptr) PutControlText(pim->dataTextField, text);
}

void PImageDrawer::Failed() {
  failed = true;
  Wipe();
  const unsigned c = dmessage_last_class;
  if (c <= DMCdata && dmessage_record[c] != nullptr && dmessage_record[c][0] != '\0')
    Readout(dmessage_record[c]);
  else
    Readout("Image loading failure.");
}

void PImageDrawer::Redraw() {
  if (!IsVisible()) return;
  const bool paneMoved = Changed();
  if (paneMoved || barsAt.top != extent.top || barsAt.left != extent.left ||
      barsAt.bottom != extent.bottom || barsAt.right != extent.right) {
    Rect h, v;
    BarBounds(&h, &v);
    if (horizScroll) SetControlBounds(horizScroll, &h);
    if (vertScroll) SetControlBounds(vertScroll, &v);
    barsAt = extent;
  }
  Drawn();
  if (pim == nullptr || !pim->Ready()) return;
  PImageRing* ir = pim->iring;
  MoveScroll(0, 0);
  int ww = 0, wh = 0;
  BufferSize(&ww, &wh);
  if (ww < 1 || wh < 1) return;
  if (ir->XYswapped()) std::swap(ww, wh);
  if (pim->irDrawn != ir || ir->IsChanged() || curImg.xres != ww || curImg.yres != wh ||
      curImg.img == nullptr) {
    Invalid();
    curImg.xres = ww;
    curImg.yres = wh;
  }
  dmessage_last_class = DMCnerr;
  alertLastClass = DMCnerr;
  failed = false;
  bool ok = true;
  if (curImg.img == nullptr) {
    ok = ir->RenderImage(&curImg, pim->bgRGB, nullptr);
    ++pim->renderCount;
    shiftDX = shiftDY = 0;
    shiftPending = false;
  }
  POrient o;
  if (ok) ok = ir->GetOrient(&o) && curImg.img != nullptr;
  if (!ok) {
    Invalid();
    pim->irDrawn = nullptr;
    Failed();
    return;
  }
  if (pim->exposEditField != nullptr) {
    double m = 1.0;
    ir->GetExposure(&m);
    const int s = PimageStopsOf(m);
    char text[32];
    snprintf(text, sizeof text, "%+.1f", (s - 50) / 3.0);
    PutControlText(pim->exposEditField, text);
    if (pim->exposControl != nullptr) SetControlValue(pim->exposControl, s);
  }
  o.SetOrigSize(curImg.xres, curImg.yres);
  if (shiftPending && !rectShown && pim->irDrawn == ir && !paneMoved) {
    // The screen holds the rendering before its shift: move it along and draw what is new.
    ShiftPort();
    const int bw = o.GetWidth(), bh = o.GetHeight();
    const int band = shiftBand + (bw - GetRWidth()), vband = shiftBand + (bh - GetRHeight());
    const int ax = std::abs(shiftDX), ay = std::abs(shiftDY);
    const int rw = GetRWidth(), rh = GetRHeight();
    // The side the picture moved away from shows the new strip; the other side the edge
    // rendered again.
    if (shiftDX != 0) {
      const int left = shiftDX > 0 ? ax + band : band, right = shiftDX > 0 ? band : ax + band;
      DrawCurImg(o, QRect(0, 0, left, rh));
      DrawCurImg(o, QRect(rw - right, 0, right, rh));
    }
    if (shiftDY != 0) {
      const int top = shiftDY > 0 ? ay + vband : vband, bottom = shiftDY > 0 ? vband : ay + vband;
      DrawCurImg(o, QRect(0, 0, rw, top));
      DrawCurImg(o, QRect(0, rh - bottom, rw, bottom));
    }
  } else {
    DrawCurImg(o, QRect(0, 0, GetRWidth(), GetRHeight()));
  }
  shiftPending = false;
  shiftDX = shiftDY = 0;
  rectShown = false;
  ShowRect(true);
  pim->irDrawn = ir;
  if (!(pim->showOpts & 16)) pim->UpdateFCLegend(0);
}

void PImageDrawer::DrawCurImg(const POrient& o, const QRect& area) {
  if (curImg.img == nullptr || PpixelSize(curImg.csp) != 3) return;
  PortPainter p(GetWindowPort(windo));
  QImage* port = p.isActive() ? dynamic_cast<QImage*>(p.device()) : nullptr;
  if (port == nullptr || port->depth() != 32) return;
  // Each displayed pixel (x, y) of the rendering area takes the source pixel that the
  // orientation puts there: the swap undone first, then the flips.
  const int w = curImg.xres, h = curImg.yres;
  const int ow = o.xyswap ? h : w, oh = o.xyswap ? w : h;
  const int x0 = std::max<int>(extent.left, 0), y0 = std::max<int>(extent.top, 0);
  const QRect all(0, 0, std::min({ow, GetRWidth(), port->width() - x0}),
                  std::min({oh, GetRHeight(), port->height() - y0}));
  const QRect r = area & all;
  if (r.isEmpty()) return;
  const ptrdiff_t row = curImg.rowsize;
  for (int y = r.top(); y <= r.bottom(); ++y) {
    // Source of (0, y) and the step to (1, y).
    int sx, sy;
    ptrdiff_t step;
    if (!o.xyswap) {
      sx = o.hflip ? w - 1 : 0;
      sy = o.vflip ? h - 1 - y : y;
      step = o.hflip ? -3 : 3;
    } else {
      sx = o.hflip ? w - 1 - y : y;
      sy = o.vflip ? h - 1 : 0;
      step = o.vflip ? -row : row;
    }
    const uint8_t* s = curImg.img + sy * row + 3 * static_cast<ptrdiff_t>(sx) + r.left() * step;
    QRgb* d = reinterpret_cast<QRgb*>(port->scanLine(y0 + y)) + x0;
    if (step == 3) {
      for (int x = r.left(); x <= r.right(); ++x, s += 3)
        d[x] = 0xFF000000u | (uint32_t(s[0]) << 16) | (uint32_t(s[1]) << 8) | s[2];
    } else {
      for (int x = r.left(); x <= r.right(); ++x, s += step) d[x] = qRgb(s[0], s[1], s[2]);
    }
  }
}

void PImageDrawer::ShiftPort() {
  if (shiftDX == 0 && shiftDY == 0) return;
  PortPainter p(GetWindowPort(windo));
  QImage* port = p.isActive() ? dynamic_cast<QImage*>(p.device()) : nullptr;
  if (port == nullptr || port->depth() != 32) return;
  const int x0 = std::max<int>(extent.left, 0), y0 = std::max<int>(extent.top, 0);
  const int cols = std::min(GetRWidth(), port->width() - x0);
  const int rows = std::min(GetRHeight(), port->height() - y0);
  const int dx = shiftDX, dy = shiftDY;
  const int n = cols - std::abs(dx);
  if (n <= 0 || std::abs(dy) >= rows) return;
  const int dstX = x0 + std::max(dx, 0), srcX = x0 + std::max(-dx, 0);
  auto move = [&](int y) {
    memmove(port->scanLine(y0 + y) + 4 * dstX, port->scanLine(y0 + y - dy) + 4 * srcX,
            static_cast<size_t>(n) * 4);
  };
  if (dy > 0)
    for (int y = rows - 1; y >= dy; --y) move(y);
  else
    for (int y = 0; y < rows + dy; ++y) move(y);
}

bool PImageDrawer::ShowRect(bool doit) {
  if (!IsVisible()) return false;
  if (rectShown == doit) return rectShown;
  _ImgRect r;
  if (pim == nullptr || !pim->Ready() || !pim->iring->GetSelection(&r)) return false;
  if (static_cast<long long>(r.xright - r.xleft) * (r.ybottom - r.ytop) <= 99) return false;
  {
    PortPainter p(GetWindowPort(windo));
    if (p.isActive()) {
      p.setClipRect(QRect(extent.left, extent.top, GetRWidth(), GetRHeight()));
      p.setRenderHint(QPainter::Antialiasing, false);
      p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
      p.setPen(QPen(QColor(255, 255, 255), 0));
      const int x0 = r.xleft + extent.left, x1 = r.xright + extent.left;
      const int y0 = r.ytop + extent.top, y1 = r.ybottom + extent.top;
      // Each side once, without its last pixel, so that no pixel is inverted twice.
      p.drawLine(x0, y0, x1 - 1, y0);
      p.drawLine(x1, y0, x1, y1 - 1);
      p.drawLine(x1, y1, x0 + 1, y1);
      p.drawLine(x0, y1, x0, y0 + 1);
    }
  }
  rectShown = doit;
  return doit;
}

bool PImageDrawer::MoveScroll(float hdelta, float vdelta) {
  if (horizScroll == nullptr || vertScroll == nullptr || pim == nullptr || !pim->Ready())
    return false;
  PImageRing* ir = pim->iring;
  POrient o;
  if (!ir->GetOrient(&o) || ir->IsZoomToFit()) {
    for (ControlRef c : {horizScroll, vertScroll}) {
      SetControlValue(c, 50);
      SetControlViewSize(c, kWholeView);
      DisableControl(c);
    }
    return false;
  }
  const int rw = GetRWidth(), rh = GetRHeight();
  int bw = 0, bh = 0;
  BufferSize(&bw, &bh);
  const int ow = o.GetWidth(), oh2 = o.GetHeight();
  int hlim = (ow - bw) / 2, vlim = (oh2 - bh) / 2;
  // A bar without room shows a thumb along its whole length.
  if (hlim < 1) {
    hlim = 0;
    SetControlViewSize(horizScroll, kWholeView);
    DisableControl(horizScroll);
  } else {
    SetControlViewSize(horizScroll, static_cast<SInt32>(static_cast<long long>(rw) * 100 / ow));
    EnableControl(horizScroll);
  }
  if (vlim < 1) {
    vlim = 0;
    SetControlViewSize(vertScroll, kWholeView);
    DisableControl(vertScroll);
  } else {
    SetControlViewSize(vertScroll, static_cast<SInt32>(static_cast<long long>(rh) * 100 / oh2));
    EnableControl(vertScroll);
  }
  const bool prevChange = ir->IsChanged();
  // The outline goes while the view is where it was drawn.
  const bool hadRect = rectShown;
  ShowRect(false);
  int off[2];
  ir->GetOffset(off);
  long long hoff = static_cast<long long>(off[0]) + Trunc(static_cast<float>(rw) * hdelta);
  long long voff = static_cast<long long>(off[1]) + Trunc(static_cast<float>(rh) * vdelta);
  hoff = hoff < -hlim ? -hlim : hoff > hlim ? hlim : hoff;
  voff = voff < -vlim ? -vlim : voff > vlim ? vlim : voff;
  const int xc0 = ir->xCent, yc0 = ir->yCent;
  ir->SetOffset(static_cast<int>(hoff), static_cast<int>(voff));
  // The centre moves in whole steps of the zoom's denominator (source pixels), so that the
  // view moves by whole displayed pixels.
  // A view held at a limit keeps its exact place (it is rendered whole).
  const int zn = ir->zoomNum, zd = ir->zoomDenom;
  if (zd > 1) {
    if (hoff != -hlim && hoff != hlim) ir->xCent = xc0 + (ir->xCent - xc0) / zd * zd;
    if (voff != -vlim && voff != vlim) ir->yCent = yc0 + (ir->yCent - yc0) / zd * zd;
  }
  const bool whole = (ir->xCent - xc0) % zd == 0 && (ir->yCent - yc0) % zd == 0;
  if (ir->xCent == xc0 && ir->yCent == yc0) ir->changed = prevChange;
  ir->GetOffset(off);
  SetControlValue(horizScroll, hlim < 1 ? 50 : static_cast<short>(off[0] * 50 / hlim + 50));
  SetControlValue(vertScroll, vlim < 1 ? 50 : static_cast<short>(off[1] * 50 / vlim + 50));
  if (!ir->IsChanged()) {
    if (hadRect) ShowRect(true);
    return false;
  }
  const bool local = (ir->GetExposure(nullptr) & PEMlocal) != 0;
  if (whole && !prevChange && !local && curImg.img != nullptr && curImg.mbase != nullptr &&
      ir->GetZoom(nullptr) != 1.0 && std::abs(hdelta) < 0.7f && std::abs(vdelta) < 0.7f) {
    // The rendering is kept unoriented: it moves against the centre's move in source pixels.
    const long long xs = -static_cast<long long>(ir->xCent - xc0) * zn / zd;
    const long long ys = -static_cast<long long>(ir->yCent - yc0) * zn / zd;
    fillFailed = false;
    const bool shifted =
        xs > -curImg.xres && xs < curImg.xres && ys > -curImg.yres && ys < curImg.yres &&
        PshiftImageCB(&curImg, static_cast<int>(xs), static_cast<int>(ys), piFill, pim) != 0;
    if (shifted) {
      // The edge the old rendering moved to was made against source beyond it: render it too.
      const _ImgRect xedge = {xs > 0 ? curImg.xres - 1 : 0, xs > 0 ? curImg.xres : 1, 0,
                              curImg.yres};
      const _ImgRect yedge = {0, curImg.xres, ys > 0 ? curImg.yres - 1 : 0,
                              ys > 0 ? curImg.yres : 1};
      if (xs != 0) piFill(&curImg, &xedge, pim);
      if (ys != 0) piFill(&curImg, &yedge, pim);
    }
    if (shifted && !fillFailed) {
      ir->changed = false;
      // The same move on the screen, through the orientation: flips first, then the swap.
      const int fx = static_cast<int>(o.hflip ? -xs : xs),
                fy = static_cast<int>(o.vflip ? -ys : ys);
      const int dx = o.xyswap ? fy : fx, dy = o.xyswap ? fx : fy;
      // One pending move at a time: a second before the drawing draws everything.
      shiftPending = !shiftPending && pim->irDrawn == ir;
      shiftDX = dx;
      shiftDY = dy;
      shiftBand = 2 * KernelMargin(zn) + 2 * zn;
    } else {
      Invalid();
    }
  }
  return true;
}

void PImageDrawer::piFill(_ImgStruct* dst, const _ImgRect* r, void* ip) {
  PImageWindow* w = static_cast<PImageWindow*>(ip);
  PImageDrawer* d = w != nullptr ? w->imd : nullptr;
  if (d == nullptr || !w->Ready() || r == nullptr || dst != &d->curImg) {
    fillFailed = true;
    return;
  }
  PImageRing* ir = w->iring;
  // The strip is rendered with a margin of the resampling kernel's reach: the pixels beside the
  // strip were made against the old edge of the rendering, and the strip's own edge pixels need
  // the source beyond it. Rendering a rectangle of a whole-size image keeps every pixel where
  // the whole rendering puts it.
  const int zn = ir->zoomNum >= 1 && ir->zoomNum <= 64 ? ir->zoomNum : 1;
  const int margin = KernelMargin(zn);
  auto grow = [&](_ImgRect a) {
    a.xleft = std::max(0, (a.xleft - margin) / zn * zn);
    a.ytop = std::max(0, (a.ytop - margin) / zn * zn);
    a.xright = std::min(dst->xres, (a.xright + margin + zn - 1) / zn * zn);
    a.ybottom = std::min(dst->yres, (a.ybottom + margin + zn - 1) / zn * zn);
    return a;
  };
  const _ImgRect fill = grow(*r), render = grow(fill);
  _ImgStruct& s = d->scratch;
  if (s.img != nullptr && (s.xres != dst->xres || s.yres != dst->yres)) PfreeImage(&s);
  if (s.img == nullptr) {
    s = _ImgStruct{};
    s.xres = dst->xres;
    s.yres = dst->yres;
    s.csp = dst->csp;
  }
  if (!ir->RenderSubimage(&s, &render, w->bgRGB) || s.img == nullptr) {
    fillFailed = true;
    return;
  }
  const size_t bytes = static_cast<size_t>(fill.xright - fill.xleft) * 3;
  for (int y = fill.ytop; y < fill.ybottom; ++y)
    memcpy(dst->img + static_cast<ptrdiff_t>(y) * dst->rowsize + 3 * fill.xleft,
           s.img + static_cast<ptrdiff_t>(y) * s.rowsize + 3 * fill.xleft, bytes);
}

void PImageDrawer::Scroll(float hdelta, float vdelta) {
  if (MoveScroll(hdelta, vdelta)) Redraw();
}

bool PImageDrawer::Click(Point pt, unsigned short mods, EventRef event) {
  if (!IsVisible() || !Inside(pt)) return false;
  if (pim == nullptr || !pim->Ready()) return true;
  PImageRing* ir = pim->iring;
  pim->PreemptSlide();

  if (pt.h >= extent.right - kBar || pt.v >= extent.bottom - kBar) {
    POrient o;
    if (!ir->GetOrient(&o)) return false;
    const bool hOn = horizScroll != nullptr && IsControlEnabled(horizScroll);
    const bool vOn = vertScroll != nullptr && IsControlEnabled(vertScroll);
    if (!hOn && !vOn) return false;
    SetThemeCursor(kThemeArrowCursor);
    int off[2];
    ir->GetOffset(off);
    ControlRef bar = nullptr;
    bool horiz = false;
    if (hOn && pt.v >= extent.bottom - kBar) {
      bar = horizScroll;
      horiz = true;
    } else if (vOn && pt.h >= extent.right - kBar) {
      bar = vertScroll;
    }
    if (bar == nullptr) return false;
    const ControlPartCode part = HandleControlClick(bar, pt, mods, nullptr);
    float d = 0;
    switch (part) {
      case kControlUpButtonPart:
        d = -0.15f;
        break;
      case kControlDownButtonPart:
        d = 0.15f;
        break;
      case kControlPageUpPart:
        d = -0.85f;
        break;
      case kControlPageDownPart:
        d = 0.85f;
        break;
      case kControlIndicatorPart: {
        const int v = GetControlValue(bar) - 50;
        if (horiz)
          off[0] = static_cast<int>(static_cast<long long>(o.GetWidth() - GetRWidth()) * v / 100);
        else
          off[1] = static_cast<int>(static_cast<long long>(o.GetHeight() - GetRHeight()) * v / 100);
        ir->SetOffset(off[0], off[1]);
        Redraw();
        break;
      }
      default:
        return false;
    }
    if (part != kControlIndicatorPart) Scroll(horiz ? d : 0, horiz ? 0 : d);
    if (pim->showGoing == 0)
      idleImprovements(1.0);
    else
      pim->NextSlide();
    return true;
  }

  EventMouseButton button = kEventMouseButtonPrimary;
  GetEventParameter(event, kEventParamMouseButton, typeMouseButton, nullptr, sizeof button, nullptr,
                    &button);
  const GrafPtr port = GetWindowPort(windo);
  if ((mods & (cmdKey | optionKey | controlKey)) != 0 || button != kEventMouseButtonPrimary) {
    // Drag: the image follows the hand.
    SetThemeCursor(kThemeClosedHandCursor);
    Point last = pt;
    for (;;) {
      Point p{0, 0};
      MouseTrackingResult res = 0;
      if (TrackMouseLocation(port, &p, &res) != noErr || res == kMouseTrackingMouseUp ||
          res == kMouseTrackingUserCancelled || res == kMouseTrackingTimedOut)
        break;
      if (!pim->Ready()) break;
      Scroll(static_cast<float>(last.h - p.h) / GetRWidth(),
             static_cast<float>(last.v - p.v) / GetRHeight());
      last = p;
    }
    Invalid();
    pim->Redraw();
    SetThemeCursor(kThemeArrowCursor);
    return true;
  }

  // Rubber band: a new selection, or a grabbed edge, corner or the whole outline.
  const int x0 = pt.h - extent.left, y0 = pt.v - extent.top;
  int snag = 0;
  const bool wasShowing = rectShown;
  ClearKeyboardFocus(windo);
  _ImgRect orect{0, 0, 0, 0};
  if (rectShown && ir->GetSelection(&orect) && orect.xleft - 6 <= x0 && x0 < orect.xright + 6 &&
      orect.ytop - 6 <= y0 && y0 < orect.ybottom + 6) {
    if (std::abs(x0 - orect.xleft) <= 6)
      snag |= 1;
    else if (std::abs(x0 - orect.xright) <= 6)
      snag |= 2;
    if (std::abs(y0 - orect.ytop) <= 6)
      snag |= 4;
    else if (std::abs(y0 - orect.ybottom) <= 6)
      snag |= 8;
    if (snag == 0 && orect.xleft <= x0 && x0 < orect.xright && orect.ytop <= y0 &&
        y0 < orect.ybottom)
      snag = 15;
  }
  SetThemeCursor(kThemePlusCursor);
  _ImgRect rrect{x0, x0, y0, y0};
  for (;;) {
    Point p{0, 0};
    MouseTrackingResult res = 0;
    if (TrackMouseLocation(port, &p, &res) != noErr || res == kMouseTrackingUserCancelled ||
        res == kMouseTrackingTimedOut)
      break;
    if (!pim->Ready() || pim->iring != ir) break;
    ShowRect(false);
    if (snag == 0) {
      rrect = _ImgRect{x0, p.h - extent.left, y0, p.v - extent.top};
    } else {
      rrect = orect;
      if (snag & 1) rrect.xleft += p.h - pt.h;
      if (snag & 2) rrect.xright += p.h - pt.h;
      if (snag & 4) rrect.ytop += p.v - pt.v;
      if (snag & 8) rrect.ybottom += p.v - pt.v;
    }
    ir->SelectRect(rrect.xleft, rrect.ytop, rrect.xright, rrect.ybottom);
    ShowRect(true);
    char text[96] = "";
    if (ir->GetOrigSelection(&rrect))
      snprintf(text, sizeof text, "(%d,%d)/(%d,%d)", rrect.xleft, rrect.ytop, rrect.xright,
               rrect.ybottom);
    Readout(text);
    if (res == kMouseTrackingMouseUp) break;
  }
  if (pim->Ready() && pim->iring == ir && rrect.xleft < rrect.xright &&
      rrect.ytop < rrect.ybottom) {
    char text[128];
    snprintf(text, sizeof text, "%.3g cd/m2 (%d,%d)/(%d,%d)", ir->AvgLuminance(nullptr),
             rrect.xleft, rrect.ytop, rrect.xright, rrect.ybottom);
    Readout(text);
  }
  pim->UpdateOperator();
  pim->StopShow();
  if (rectShown || wasShowing) pim->UpdateHistogram(-1);
  SetThemeCursor(kThemeArrowCursor);
  return true;
}

bool PImageDrawer::Wheel(Point pt, int xdel, int ydel, EventRef) {
  if (!IsVisible() || !Inside(pt)) return false;
  Scroll(-xdel * 0.15f, -ydel * 0.15f);
  return true;
}
