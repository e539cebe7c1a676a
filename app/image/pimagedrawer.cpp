// The image pane: rendering, oriented drawing, the exclusive-or selection outline, scrolling
// by moving the rendering's origin, and the mouse.
#include "app/image/pimagedrawer.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/core/pdialogs.h"
#include "app/image/pimagewin.h"
#include "platform/pmouse.h"
#include "platform/pqt.h"
#include "support/cnumber.h"
#include "support/cpufeat.h"
#include "app/core/pappstate.h"

namespace {

bool fillFailed = false;  // a strip of the last shift could not be rendered

// a modulo n, in 0 .. n-1.
int Wrap(long long a, int n) {
  const long long m = a % n;
  return static_cast<int>(m < 0 ? m + n : m);
}

// The opaque 32-bit pixel of the RGB bytes at s, read as one word with the byte after them.
inline QRgb WordPixel(const uint8_t* s) {
  uint32_t v;
  memcpy(&v, s, 4);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  return 0xFF000000u | (v >> 8);
}

#if defined(__x86_64__) || defined(__i386__)
// The first pixels of a run along a row, eight at a time: two overlapping 16-byte loads, each
// lane shuffled into four opaque pixels. Reads stay within the run's 3n bytes; returns how many
// pixels it wrote.
__attribute__((target("avx2"))) int ConvertRowAVX2(QRgb* d, const uint8_t* s, int n) {
  const __m256i order = _mm256_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1,  //
                                         2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
  const __m256i opaque = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  int x = 0;
  for (; x + 10 <= n; x += 8) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 3 * x));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 3 * x + 12));
    const __m256i v = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + x),
                        _mm256_or_si256(_mm256_shuffle_epi8(v, order), opaque));
  }
  return x;
}
#else
int ConvertRowAVX2(QRgb*, const uint8_t*, int) {
  return 0;
}
#endif

// Writes n pixels of RGB bytes, each step bytes after the last, as opaque 32-bit pixels. Along
// a row each pixel but the one last in memory is read as a word.
void ConvertRun(QRgb* d, const uint8_t* s, ptrdiff_t step, int n) {
  if (n <= 0) return;
  if (step == 3) {
    static const bool avx2 = cpuHasAVX2();
    int x = avx2 ? ConvertRowAVX2(d, s, n) : 0;
    for (s += 3 * x; x < n - 1; ++x, s += 3) d[x] = WordPixel(s);
    d[n - 1] = qRgb(s[0], s[1], s[2]);
  } else if (step == -3) {
    d[0] = qRgb(s[0], s[1], s[2]);
    s -= 3;
    for (int x = 1; x < n; ++x, s -= 3) d[x] = WordPixel(s);
  } else {
    for (int x = 0; x < n; ++x, s += step) d[x] = qRgb(s[0], s[1], s[2]);
  }
}

constexpr SInt32 kWholeView = 10000;  // a view size beside which the bar's range is nothing

// A float product truncated toward zero, kept within the range offsets can take.
int Trunc(float f) {
  if (!(f > -1e8f)) return f != f ? 0 : -100000000;
  if (!(f < 1e8f)) return 100000000;
  return static_cast<int>(f);
}

}  // namespace

PImageDrawer::PImageDrawer(WindowRef w, PImageWindow* ip)
    : horizScroll(nullptr), vertScroll(nullptr), pim(ip), curImg{}, rectShown(false), windo(w) {
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
  const char* known = pim != nullptr && pim->iring != nullptr ? pim->iring->LoadFailure() : "";
  if (c <= DMCdata && dmessage_record[c] != nullptr && dmessage_record[c][0] != '\0')
    Readout(dmessage_record[c]);
  else if (known[0] != '\0')
    Readout(known);  // told when it first failed: not read (nor reported) again
  else
    Readout("Image loading failure.");
  // The window's own redraw takes the picture that cannot be loaded away (not this drawing).
  if (pim != nullptr && pim->Unloadable()) pim->RedrawTimer(0.001);
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
  // While a save renders the picture, the pane shows what it showed; the window redraws after.
  if (pim == nullptr || !pim->Ready() || pim->saving) return;
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
    ringX = ringY = 0;
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
    Csnprintf(text, sizeof text, "%+.1f", (s - 50) / 3.0);
    // Rewritten (and drawn again) only when they change: a scroll step leaves them alone.
    char shown[32];
    if (GetControlText(pim->exposEditField, shown, sizeof shown, true) == nullptr ||
        strcmp(shown, text) != 0)
      PutControlText(pim->exposEditField, text);
    if (pim->exposControl != nullptr && GetControlValue(pim->exposControl) != s)
      SetControlValue(pim->exposControl, s);
  }
  o.SetOrigSize(curImg.xres, curImg.yres);
  if (shiftPending && !rectShown && pim->irDrawn == ir && !paneMoved)
    DrawShift(o);  // the screen holds the rendering before its shift
  else
    DrawCurImg(o, QRect(0, 0, GetRWidth(), GetRHeight()));
  shiftPending = false;
  shiftDX = shiftDY = 0;
  nBands = 0;
  rectShown = false;
  ShowRect(true);
  pim->irDrawn = ir;
  if (!(pim->showOpts & 16)) pim->UpdateFCLegend(0);
}

void PImageDrawer::DrawCurImg(const POrient& o, const QRect& area) {
  if (curImg.img == nullptr || PpixelSize(curImg.csp) != 3) return;
  const GrafPtr gp = GetWindowPort(windo);
  const int x0 = std::max<int>(extent.left, 0), y0 = std::max<int>(extent.top, 0);
  // The pane as the last moves left it on the port, turned: its pixels are painted where the
  // port keeps them. Anything else turned is turned back by the painter first.
  const QRect pane(x0, y0, GetRWidth(), GetRHeight());
  QRect rolled;
  QPoint roll;
  bool turned = PortRolled(gp, &rolled, &roll) && rolled == pane;
  // Drawn whole, the pane need not stay turned.
  const bool whole = turned && area.contains(QRect(0, 0, pane.width(), pane.height())) &&
                     (o.xyswap ? curImg.yres : curImg.xres) >= pane.width() &&
                     (o.xyswap ? curImg.xres : curImg.yres) >= pane.height();
  PortPainter p(gp, whole ? PortPainter::drop : turned ? PortPainter::keep : PortPainter::undo);
  if (whole) turned = false;
  QImage* port = p.isActive() ? dynamic_cast<QImage*>(p.device()) : nullptr;
  if (port == nullptr || port->depth() != 32) return;
  const int w = curImg.xres, h = curImg.yres;
  const int ow = o.xyswap ? h : w, oh = o.xyswap ? w : h;
  const QRect all(0, 0, std::min({ow, GetRWidth(), port->width() - x0}),
                  std::min({oh, GetRHeight(), port->height() - y0}));
  const QRect r = area & all;
  if (r.isEmpty()) return;
  p.setClipRect(r.translated(x0, y0));  // only this part is shown again
  const ptrdiff_t row = curImg.rowsize;
  const int pw = std::max(rolled.width(), 1), ph = std::max(rolled.height(), 1);
  for (int y = r.top(); y <= r.bottom(); ++y) {
    // Each displayed pixel (x, y) takes the source pixel that the orientation puts there: the
    // swap undone first, then the flips. Along the row the source moves along one axis of n
    // pixels (from a, by dir, stride bytes apart) and stays at `fixed` bytes on the other.
    int a, dir, n, ring;
    ptrdiff_t stride, fixed;
    if (!o.xyswap) {
      fixed = Wrap((o.vflip ? h - 1 - y : y) + ringY, h) * row;
      a = o.hflip ? w - 1 - r.left() : r.left();
      dir = o.hflip ? -1 : 1;
      n = w;
      ring = ringX;
      stride = 3;
    } else {
      fixed = 3 * static_cast<ptrdiff_t>(Wrap((o.hflip ? w - 1 - y : y) + ringX, w));
      a = o.vflip ? h - 1 - r.left() : r.left();
      dir = o.vflip ? -1 : 1;
      n = h;
      ring = ringY;
      stride = row;
    }
    // The run breaks where the rendering's ring wraps and where the port's turned row does.
    int at = Wrap(static_cast<long long>(a) + ring, n), left = r.width(), x = r.left();
    QRgb* line =
        reinterpret_cast<QRgb*>(port->scanLine(y0 + (turned ? (y + roll.y()) % ph : y))) + x0;
    while (left > 0) {
      int run = std::min(left, dir > 0 ? n - at : at + 1);
      const int px = turned ? (x + roll.x()) % pw : x;
      if (turned) run = std::min(run, pw - px);
      const ptrdiff_t from = fixed + at * stride;
      if (stride == 3 && y < r.bottom()) {
        // The same run of the next row is seldom in the cache: it is fetched meanwhile.
        const ptrdiff_t below = from + (o.vflip ? -row : row) - (dir > 0 ? 0 : 3 * (run - 1));
        if (below >= 0 && below + 3 * run <= h * row)
          for (ptrdiff_t b = 0; b < 3 * static_cast<ptrdiff_t>(run); b += 64)
            __builtin_prefetch(curImg.img + below + b);
      }
      ConvertRun(line + px, curImg.img + from, dir * stride, run);
      x += run;
      left -= run;
      at = Wrap(static_cast<long long>(at) + dir * run, n);
    }
  }
}

void PImageDrawer::DrawShift(const POrient& o) {
  const int rw = GetRWidth(), rh = GetRHeight();
  const Rect pane{extent.top, extent.left, static_cast<short>(extent.top + rh),
                  static_cast<short>(extent.left + rw)};
  ScrollWindowRect(windo, &pane, static_cast<short>(shiftDX), static_cast<short>(shiftDY));
  // What the move uncovered, and the parts rendered anew in the displayed layout; bands along
  // the same axis that touch are drawn as one.
  QRect draw[8];
  int n = 0;
  auto add = [&](QRect q) {
    q &= QRect(0, 0, rw, rh);
    if (q.isEmpty()) return;
    for (int i = 0; i < n; ++i) {
      QRect& e = draw[i];
      if ((e.top() == q.top() && e.bottom() == q.bottom() && e.left() <= q.right() + 1 &&
           q.left() <= e.right() + 1) ||
          (e.left() == q.left() && e.right() == q.right() && e.top() <= q.bottom() + 1 &&
           q.top() <= e.bottom() + 1)) {
        e = e.united(q);
        return;
      }
    }
    draw[n++] = q;
  };
  if (shiftDX != 0)
    add(shiftDX > 0 ? QRect(0, 0, shiftDX, rh) : QRect(rw + shiftDX, 0, -shiftDX, rh));
  if (shiftDY != 0)
    add(shiftDY > 0 ? QRect(0, 0, rw, shiftDY) : QRect(0, rh + shiftDY, rw, -shiftDY));
  const int w = curImg.xres, h = curImg.yres;
  for (int i = 0; i < nBands; ++i) {
    const _ImgRect& b = bands[i];
    int x0 = o.hflip ? w - b.xright : b.xleft, x1 = o.hflip ? w - b.xleft : b.xright;
    int y0 = o.vflip ? h - b.ybottom : b.ytop, y1 = o.vflip ? h - b.ytop : b.ybottom;
    if (o.xyswap) {
      std::swap(x0, y0);
      std::swap(x1, y1);
    }
    add(QRect(x0, y0, x1 - x0, y1 - y0));
  }
  for (int i = 0; i < n; ++i) DrawCurImg(o, draw[i]);
}

bool PImageDrawer::ShowRect(bool doit) {
  if (!IsVisible()) return false;
  if (rectShown == doit) return rectShown;
  _ImgRect r;
  if (pim == nullptr || !pim->Ready() || !pim->iring->GetSelection(&r)) return false;
  if (static_cast<long long>(r.xright - r.xleft) * (r.ybottom - r.ytop) <= 99) return false;
  {
    // On a pane the last moves left turned, each side goes where the port keeps its pixels:
    // a side crossing the turn's seam in two pieces.
    const GrafPtr gp = GetWindowPort(windo);
    const QRect pane(extent.left, extent.top, GetRWidth(), GetRHeight());
    QRect rolled;
    QPoint roll;
    const bool turned = PortRolled(gp, &rolled, &roll) && rolled == pane;
    PortPainter p(gp, turned ? PortPainter::keep : PortPainter::undo);
    if (p.isActive()) {
      p.setClipRect(pane);
      p.setRenderHint(QPainter::Antialiasing, false);
      p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
      p.setPen(QPen(QColor(255, 255, 255), 0));
      const int pw = std::max(pane.width(), 1), ph = std::max(pane.height(), 1);
      // The pixels from a to b (either order) of row or column c, within the pane.
      const auto side = [&](int a, int b, int c, bool across) {
        if (a > b) std::swap(a, b);
        const int lo = across ? pane.left() : pane.top(),
                  hi = across ? pane.right() : pane.bottom();
        const int clo = across ? pane.top() : pane.left(),
                  chi = across ? pane.bottom() : pane.right();
        a = std::max(a, lo);
        b = std::min(b, hi);
        if (a > b || c < clo || c > chi) return;
        const auto line = [&](int u0, int u1, int v) {
          if (across)
            p.drawLine(u0, v, u1, v);
          else
            p.drawLine(v, u0, v, u1);
        };
        if (!turned) {
          line(a, b, c);
          return;
        }
        const int n = across ? pw : ph, turn = across ? roll.x() : roll.y();
        const int at = lo + (a - lo + turn) % n,
                  v = clo + (c - clo + (across ? roll.y() : roll.x())) % (across ? ph : pw);
        const int seam = lo + n - turn;  // the first pixel kept at the start again
        if (a < seam && seam <= b) {
          line(at, hi, v);
          line(lo, lo + (b - seam), v);
        } else {
          line(at, at + (b - a), v);
        }
      };
      const int x0 = r.xleft + extent.left, x1 = r.xright + extent.left;
      const int y0 = r.ytop + extent.top, y1 = r.ybottom + extent.top;
      // Each side once, without its last pixel, so that no pixel is inverted twice.
      side(x0, x1 - 1, y0, true);
      side(y0, y1 - 1, x1, false);
      side(x0 + 1, x1, y1, true);
      side(y0 + 1, y1, x0, false);
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
  // A view beyond its limits (left there by a change of zoom or image) was rendered against
  // the picture's border: its pixels are not those of a view within them.
  const bool wasWithin = std::abs(off[0]) <= hlim && std::abs(off[1]) <= vlim;
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
  if (whole && wasWithin && !prevChange && !local && curImg.img != nullptr &&
      curImg.mbase != nullptr && ir->GetZoom(nullptr) != 1.0 && std::abs(hdelta) < 0.7f &&
      std::abs(vdelta) < 0.7f) {
    // The rendering is kept unoriented: it moves against the centre's move in source pixels.
    const long long xs = -static_cast<long long>(ir->xCent - xc0) * zn / zd;
    const long long ys = -static_cast<long long>(ir->yCent - yc0) * zn / zd;
    // One pending move at a time: a second before the drawing draws everything.
    const bool pending = shiftPending;
    shiftPending = false;
    if (xs > -curImg.xres && xs < curImg.xres && ys > -curImg.yres && ys < curImg.yres &&
        ShiftRendering(static_cast<int>(xs), static_cast<int>(ys))) {
      ir->changed = false;
      // The same move on the screen, through the orientation: flips first, then the swap.
      const int fx = static_cast<int>(o.hflip ? -xs : xs),
                fy = static_cast<int>(o.vflip ? -ys : ys);
      shiftDX = o.xyswap ? fy : fx;
      shiftDY = o.xyswap ? fx : fy;
      shiftPending = !pending && pim->irDrawn == ir;
    } else {
      Invalid();
    }
  }
  return true;
}

bool PImageDrawer::ShiftRendering(int xs, int ys) {
  const int w = curImg.xres, h = curImg.yres;
  // Pixel (x, y) of the moved rendering is the old (x - xs, y - ys). Every rendered pixel is a
  // function of the picture alone, so the pixels kept are those a new rendering would make:
  // only what the move uncovers is rendered.
  ringX = Wrap(static_cast<long long>(ringX) - xs, w);
  ringY = Wrap(static_cast<long long>(ringY) - ys, h);
  fillFailed = false;
  nBands = 0;
  // A strip is rendered out to whole source steps (see piFill); the moves are whole steps, so
  // this seldom widens it.
  const int zn = std::clamp(pim->iring->zoomNum, 1, 64);
  auto fill = [&](int x0, int x1, int y0, int y1) {
    const _ImgRect r{std::max(x0 / zn * zn, 0), std::min((x1 + zn - 1) / zn * zn, w),
                     std::max(y0 / zn * zn, 0), std::min((y1 + zn - 1) / zn * zn, h)};
    if (r.xleft >= r.xright || r.ytop >= r.ybottom || fillFailed) return;
    piFill(&curImg, &r, pim);
    bands[nBands++] = r;
  };
  // The strip uncovered across, then the one uncovered down beside it.
  if (xs > 0)
    fill(0, xs, 0, h);
  else if (xs < 0)
    fill(w + xs, w, 0, h);
  if (ys > 0)
    fill(std::max(xs, 0), w + std::min(xs, 0), 0, ys);
  else if (ys < 0)
    fill(std::max(xs, 0), w + std::min(xs, 0), h + ys, h);
  return !fillFailed;
}

void PImageDrawer::piFill(_ImgStruct* dst, const _ImgRect* r, void* ip) {
  PImageWindow* w = static_cast<PImageWindow*>(ip);
  PImageDrawer* d = w != nullptr ? w->imd : nullptr;
  if (d == nullptr || !w->Ready() || r == nullptr || dst != &d->curImg || dst->img == nullptr ||
      r->xleft < 0 || r->ytop < 0 || r->xright > dst->xres || r->ybottom > dst->yres ||
      r->xleft >= r->xright || r->ytop >= r->ybottom) {
    fillFailed = true;
    return;
  }
  PImageRing* ir = w->iring;
  // The rectangle starts and ends on whole source steps (ShiftRendering rounds it), so that each
  // of its pixels samples the picture where the whole rendering does. The ring's wraps fall on
  // whole steps too (the rendering is a multiple of two steps and moves by whole steps): it is
  // rendered straight into the ring, a piece for each side of a wrap it crosses.
  const int xres = dst->xres, yres = dst->yres;
  const int left = r->xleft, right = r->xright, top = r->ytop, bottom = r->ybottom;
  const int cutX = std::clamp(xres - d->ringX, left, right);
  const int cutY = std::clamp(yres - d->ringY, top, bottom);
  for (int j = 0; j < 2; ++j) {
    const int y0 = j == 0 ? top : cutY, y1 = j == 0 ? cutY : bottom;
    for (int i = 0; i < 2; ++i) {
      const int x0 = i == 0 ? left : cutX, x1 = i == 0 ? cutX : right;
      if (x0 >= x1 || y0 >= y1) continue;
      const _ImgRect part{x0, x1, y0, y1};
      const int ax = Wrap(static_cast<long long>(x0) + d->ringX, xres);
      const int ay = Wrap(static_cast<long long>(y0) + d->ringY, yres);
      const _ImgRect at{ax, ax + (x1 - x0), ay, ay + (y1 - y0)};
      if (!ir->RenderSubimage(dst, &part, w->bgRGB, &at)) {
        fillFailed = true;
        return;
      }
    }
  }
}

void PImageDrawer::Scroll(float hdelta, float vdelta) {
  if (MoveScroll(hdelta, vdelta)) Redraw();
}

bool PImageDrawer::Click(Point pt, unsigned short mods, EventRef event) {
  if (!IsVisible() || !Inside(pt)) return false;
  if (pim == nullptr || !pim->Ready() || pim->saving) return true;
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
  // The readout names picture pixels only: a band wholly in the margin around the picture
  // selects nothing and reads nothing, one reaching into it reads the part on the picture.
  if (pim->Ready() && pim->iring == ir) {
    char text[128] = "";
    _ImgRect sel;
    if (ir->GetOrigSelection(&sel) && sel.xleft < sel.xright && sel.ytop < sel.ybottom)
      Csnprintf(text, sizeof text, "%.3g cd/m2 (%d,%d)/(%d,%d)", ir->AvgLuminance(nullptr),
                sel.xleft, sel.ytop, sel.xright, sel.ybottom);
    Readout(text);
  }
  pim->UpdateOperator();
  pim->StopShow();
  if (rectShown || wasShowing || (pim->Ready() && pim->iring == ir && ir->SomeSelected() > 0))
    pim->UpdateHistogram(-1);
  SetThemeCursor(kThemeArrowCursor);
  return true;
}

bool PImageDrawer::Wheel(Point pt, int xdel, int ydel, EventRef) {
  if (!IsVisible() || !Inside(pt)) return false;
  if (pim != nullptr && pim->saving) return true;  // the view waits for the save
  Scroll(-xdel * 0.15f, -ydel * 0.15f);
  return true;
}
