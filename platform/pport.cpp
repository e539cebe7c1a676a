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
  QPainter p(&w->image);
  p.setClipRect(QRect(QPoint(0, 0), w->content->size()));
  f(p);
  p.end();
  w->content->update(touched);
}

}  // namespace

namespace plat {

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
  return w->image.pixel(h, v) & 0xFFFFFFu;
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
  // Rows are moved away from the side they move toward first, so that each is read before it
  // is written.
  const int n = q.width() - std::abs(dh);
  const int dstX = q.left() + std::max<int>(dh, 0), srcX = q.left() + std::max<int>(-dh, 0);
  uchar* bits = w->image.bits();
  const qsizetype row = w->image.bytesPerLine();
  auto move = [&](int y) {
    memmove(bits + y * row + 4 * dstX, bits + (y - dv) * row + 4 * srcX,
            static_cast<size_t>(n) * 4);
  };
  if (dv > 0)
    for (int y = q.bottom(); y >= q.top() + dv; --y) move(y);
  else
    for (int y = q.top(); y <= q.bottom() + dv; ++y) move(y);
  // The screen moves its own picture along; Qt repaints from the port only what it uncovers.
  w->content->scroll(dh, dv, q);
}

QWidget* PlatformPortWidget(GrafPtr port) {
  uintptr_t* win = Ports().Find(port);
  WindowRec* w = win ? Windows().Find(*win) : nullptr;
  return w ? w->content : nullptr;
}

PortPainter::PortPainter(GrafPtr port) : window_(0) {
  if (port == nullptr) port = GetQDPort();
  uintptr_t* win = Ports().Find(port);
  WindowRec* w = win ? Windows().Find(*win) : nullptr;
  if (w == nullptr || w->image.isNull()) return;
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
