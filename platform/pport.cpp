// Ports: the current port and device, colours, pen, and drawing into a window's port image.
#include <QPainter>
#include <QString>
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/ppriv.h"
#include "platform/pqt.h"
#include "platform/pwindow.h"

using namespace plat;

namespace {

Table<uintptr_t>& Ports() {  // port -> window
  static auto* t = new Table<uintptr_t>;
  return *t;
}

struct PenState {
  uintptr_t port = 0;
  QColor fore = Qt::black;
  QColor back = Qt::white;
  QPoint pen{0, 0};
};
PenState& Pen() {
  static PenState p;
  return p;
}

GDHandle TheDevice() {
  return reinterpret_cast<GDHandle>(2);
}

WindowRec* CurrentWindow() {
  uintptr_t* win = Ports().Find(Pen().port);
  return win ? Windows().Find(*win) : nullptr;
}

QColor ToQColor(const RGBColor* c) {
  return QColor(c->red >> 8, c->green >> 8, c->blue >> 8);
}

// Runs a drawing on the current port's image, clipped to it, and repaints what it touched.
template <class F>
void Draw(const QRect& touched, F f) {
  WindowRec* w = CurrentWindow();
  if (w == nullptr || w->image.isNull()) return;
  UnrollPort(w);
  QPainter p(&w->image);
  p.setClipRect(QRect(QPoint(0, 0), w->content->size()));
  f(p);
  p.end();
  w->content->update(touched);
}

}  // namespace

namespace plat {

void UnrollPort(WindowRec* w) {
  if (w == nullptr || w->rolled.isEmpty()) return;
  const QRect r = w->rolled;
  const QPoint d = w->roll;
  w->rolled = QRect();
  w->roll = QPoint();
  if (w->image.depth() != 32 || !w->image.rect().contains(r)) return;
  const QImage kept = w->image.copy(r);
  const int wd = r.width(), h = r.height();
  // Each row of the picture in at most two runs, broken where the stored row wraps.
  for (int y = 0; y < h; ++y) {
    const QRgb* from = reinterpret_cast<const QRgb*>(kept.constScanLine((y + d.y()) % h));
    QRgb* to = reinterpret_cast<QRgb*>(w->image.scanLine(r.top() + y)) + r.left();
    const int first = wd - d.x();
    memcpy(to, from + d.x(), static_cast<size_t>(first) * 4);
    memcpy(to + first, from, static_cast<size_t>(d.x()) * 4);
  }
}

QPoint RolledStore(const WindowRec* w, int x, int y) {
  const QRect& r = w->rolled;
  return QPoint(r.left() + (x - r.left() + w->roll.x()) % r.width(),
                r.top() + (y - r.top() + w->roll.y()) % r.height());
}

void PaintPort(QPainter& p, const WindowRec* w, const QRect& area) {
  const QRect r = w->rolled & area;
  if (r.isEmpty()) {
    p.drawImage(area.topLeft(), w->image, area);
    return;
  }
  // Outside the rolled part as stored; inside it, in up to four pieces between its seams.
  for (const QRect& q : QRegion(area).subtracted(QRegion(w->rolled)))
    p.drawImage(q.topLeft(), w->image, q);
  const QRect& o = w->rolled;
  const int sx = o.left() + o.width() - w->roll.x(), sy = o.top() + o.height() - w->roll.y();
  const QRect xs[2] = {QRect(QPoint(o.left(), o.top()), QPoint(sx - 1, o.bottom())),
                       QRect(QPoint(sx, o.top()), o.bottomRight())};
  const QRect ys[2] = {QRect(QPoint(o.left(), o.top()), QPoint(o.right(), sy - 1)),
                       QRect(QPoint(o.left(), sy), o.bottomRight())};
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      const QRect piece = r & xs[i] & ys[j];
      if (piece.isEmpty()) continue;
      const QPoint at = RolledStore(w, piece.left(), piece.top());
      p.drawImage(piece.topLeft(), w->image, QRect(at, piece.size()));
    }
}

uintptr_t NewPort(uintptr_t window) {
  return Ports().Add(new uintptr_t(window));
}

void ForgetPort(uintptr_t port) {
  uintptr_t* p = Ports().Find(port);
  if (p == nullptr) return;
  Ports().Remove(port);
  delete p;
  if (Pen().port == port) Pen().port = 0;
}

}  // namespace plat

GrafPtr GetWindowPort(WindowRef win) {
  WindowRec* w = Windows().Find(win);
  return w ? ToHandle<GrafPtr>(w->port) : nullptr;
}

void GetGWorld(GrafPtr* port, GDHandle* device) {
  if (port) *port = ToHandle<GrafPtr>(Pen().port);
  if (device) *device = TheDevice();
}

void SetGWorld(GrafPtr port, GDHandle) {
  // A stale port is refused; no port at all is allowed (drawing then does nothing).
  if (port == nullptr || Ports().Find(port) != nullptr) Pen().port = FromHandle(port);
}

void SetPortWindowPort(WindowRef win) {
  if (WindowRec* w = Windows().Find(win)) Pen().port = w->port;
}

GrafPtr GetQDPort() {
  return ToHandle<GrafPtr>(Pen().port);
}

void RGBForeColor(const RGBColor* c) {
  if (c) Pen().fore = ToQColor(c);
}
void RGBBackColor(const RGBColor* c) {
  if (c) Pen().back = ToQColor(c);
}

void EraseRect(const Rect* r) {
  if (r == nullptr) return;
  QRect q = ToQRect(*r);
  Draw(q, [&](QPainter& p) { p.fillRect(q, Pen().back); });
}

void PaintRect(const Rect* r) {
  if (r == nullptr) return;
  QRect q = ToQRect(*r);
  Draw(q, [&](QPainter& p) { p.fillRect(q, Pen().fore); });
}

void FrameRect(const Rect* r) {
  if (r == nullptr || r->right <= r->left || r->bottom <= r->top) return;
  QRect q = ToQRect(*r);
  Draw(q, [&](QPainter& p) {
    p.setPen(QPen(Pen().fore, 1));
    p.drawRect(q.adjusted(0, 0, -1, -1));
  });
}

void MoveTo(short h, short v) {
  Pen().pen = QPoint(h, v);
}

void DrawUTF8Text(const char* text) {
  WindowRec* w = CurrentWindow();
  if (w == nullptr || text == nullptr) return;
  QString s = QString::fromUtf8(text);
  QFontMetrics fm(w->content->font());
  QRect touched(Pen().pen.x(), Pen().pen.y() - fm.ascent(), fm.horizontalAdvance(s) + 1,
                fm.height());
  Draw(touched, [&](QPainter& p) {
    p.setFont(w->content->font());
    p.setPen(Pen().fore);
    p.drawText(Pen().pen, s);
  });
  Pen().pen.rx() += fm.horizontalAdvance(s);
}

void DrawRGBImage(const Rect* r, const unsigned char* rgb, int w, int h, int rowBytes) {
  if (r == nullptr || rgb == nullptr || w <= 0 || h <= 0 || rowBytes < 3 * w) return;
  QImage src(rgb, w, h, rowBytes, QImage::Format_RGB888);
  QRect q = ToQRect(*r);
  Draw(q, [&](QPainter& p) { p.drawImage(q, src); });
}

UInt32 GetPortPixel(WindowRef win, short h, short v) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || !w->image.valid(h, v) || h >= w->content->width() ||
      v >= w->content->height())
    return 0;
  const QPoint at = w->rolled.contains(h, v) ? RolledStore(w, h, v) : QPoint(h, v);
  return w->image.pixel(at) & 0xFFFFFFu;
}

void ScrollWindowRect(WindowRef win, const Rect* r, short dh, short dv) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || r == nullptr || w->image.isNull() || w->image.depth() != 32) return;
  const QRect q = ToQRect(*r) & QRect(QPoint(0, 0), w->content->size()) & w->image.rect();
  if (q.isEmpty() || (dh == 0 && dv == 0)) return;
  if (std::abs(dh) >= q.width() || std::abs(dv) >= q.height()) {
    w->content->update(q);  // nothing stays in view: the caller draws it all
    return;
  }
  // The port's pixels stay where they are: the part turns by the move, so that the picture's
  // pixel (x, y) is the one stored for (x - dh, y - dv) before.
  if (w->rolled != q) UnrollPort(w);
  const auto wrap = [](int a, int n) { return ((a % n) + n) % n; };
  w->rolled = q;
  w->roll = QPoint(wrap(w->roll.x() - dh, q.width()), wrap(w->roll.y() - dv, q.height()));
  if (w->roll.isNull()) w->rolled = QRect();
  // The screen moves its own picture along; Qt repaints from the port only what it uncovers.
  w->content->scroll(dh, dv, q);
}

bool PortRolled(GrafPtr port, QRect* r, QPoint* d) {
  uintptr_t* win = Ports().Find(port);
  const WindowRec* w = win ? Windows().Find(*win) : nullptr;
  if (w == nullptr || w->rolled.isEmpty()) return false;
  if (r) *r = w->rolled;
  if (d) *d = w->roll;
  return true;
}

QWidget* PlatformPortWidget(GrafPtr port) {
  uintptr_t* win = Ports().Find(port);
  WindowRec* w = win ? Windows().Find(*win) : nullptr;
  return w ? w->content : nullptr;
}

PortPainter::PortPainter(GrafPtr port, Rolled rolled) : window_(0) {
  if (port == nullptr) port = GetQDPort();
  uintptr_t* win = Ports().Find(port);
  WindowRec* w = win ? Windows().Find(*win) : nullptr;
  if (w == nullptr || w->image.isNull()) return;
  if (rolled == undo) {
    UnrollPort(w);
  } else if (rolled == drop) {
    w->rolled = QRect();
    w->roll = QPoint();
  }
  window_ = w->id;
  begin(&w->image);
  setClipRect(QRect(QPoint(0, 0), w->content->size()));
  setFont(w->content->font());
  setPen(Pen().fore);
}

void PortPainter::finish() {
  if (!isActive()) return;
  // Only what the painter could touch is shown again: its clip, when the caller narrowed it.
  const QRect touched =
      hasClipping() ? transform().mapRect(clipBoundingRect()).toAlignedRect() : QRect();
  end();
  if (WindowRec* w = Windows().Find(window_)) {
    if (touched.isValid())
      w->content->update(touched);
    else
      w->content->update();
  }
}

PortPainter::~PortPainter() {
  finish();
}
