// The drawing and window calls the browser and the image window draw through, checked on the
// port and on the grabbed window: images, text at the pen, the back colour, window selection
// and the little arrows' range.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFontMetrics>
#include <QImage>
#include <QScreen>
#include <QWindow>
#include <QSpinBox>
#include <QWidget>
#include <algorithm>
#include <random>

#include "platform/pcontrol.h"
#include "platform/pqt.h"
#include "platform/pwindow.h"

namespace {

WindowRef MakeWindow(const char* name) {
  IBNibRef nib = nullptr;
  EXPECT_EQ(CreateNibReference("test", &nib), noErr);
  WindowRef w = nullptr;
  EXPECT_EQ(CreateWindowFromNib(nib, name, &w), noErr);
  DisposeNibReference(nib);
  return w;
}

// Draws through the window's port, then puts back the port that was current.
template <typename F>
void OnPort(WindowRef w, F draw) {
  GrafPtr before = nullptr;
  GDHandle dev = nullptr;
  GetGWorld(&before, &dev);
  SetPortWindowPort(w);
  draw();
  SetGWorld(before, dev);
}

QImage Grab(WindowRef w) {
  return PlatformContentWidget(w)->grab().toImage();
}

UInt32 At(const QImage& img, int h, int v) {
  return img.pixel(h, v) & 0xFFFFFFu;
}

// Whether any pixel of the rectangle [h0, h1) x [v0, v1) is darker than mid grey.
bool AnyInk(const QImage& img, int h0, int v0, int h1, int v1) {
  for (int v = v0; v < v1; ++v)
    for (int h = h0; h < h1; ++h)
      if (qGray(img.pixel(h, v)) < 128) return true;
  return false;
}

}  // namespace

TEST(PlatformDrawing, RGBImagesScaleIntoTheirRectangleAndTheBackColourErases) {
  WindowRef w = MakeWindow("PlainWindow");
  ASSERT_NE(w, nullptr);
  // A 2 x 2 image (red, green / blue, white) in rows padded to 8 bytes, scaled into 40 x 40.
  const unsigned char rgb[16] = {255, 0, 0,   0,   255, 0,   9, 9,  //
                                 0,   0, 255, 255, 255, 255, 9, 9};
  OnPort(w, [&] {
    const RGBColor grey{0x8080, 0x8080, 0x8080};
    RGBBackColor(&grey);
    const Rect all{0, 0, 300, 400};
    EraseRect(&all);
    const Rect r{10, 20, 50, 60};
    DrawRGBImage(&r, rgb, 2, 2, 8);
    // Rows shorter than their pixels are refused: nothing is drawn.
    const Rect bad{100, 100, 140, 140};
    DrawRGBImage(&bad, rgb, 2, 2, 5);
  });
  const QImage img = Grab(w);
  EXPECT_EQ(At(img, 25, 15), 0xFF0000u);
  EXPECT_EQ(At(img, 55, 15), 0x00FF00u);
  EXPECT_EQ(At(img, 25, 45), 0x0000FFu);
  EXPECT_EQ(At(img, 55, 45), 0xFFFFFFu);
  EXPECT_EQ(At(img, 19, 15), 0x808080u);  // just outside, the erased back colour
  EXPECT_EQ(At(img, 60, 45), 0x808080u);
  EXPECT_EQ(At(img, 120, 120), 0x808080u);
  EXPECT_EQ(GetPortPixel(w, 25, 15), 0xFF0000u);
  EXPECT_EQ(GetPortPixel(w, 55, 45), 0xFFFFFFu);
  DisposeWindow(w);
}

TEST(PlatformDrawing, TextStartsAtThePenOnItsBaseLineAndMovesThePen) {
  WindowRef w = MakeWindow("PlainWindow");
  ASSERT_NE(w, nullptr);
  const QFontMetrics fm(PlatformContentWidget(w)->font());
  const int base = 100, left = 40, advance = fm.horizontalAdvance("HH");
  ASSERT_GT(advance, 4);
  OnPort(w, [&] {
    const RGBColor white{0xFFFF, 0xFFFF, 0xFFFF}, black{0, 0, 0};
    RGBBackColor(&white);
    const Rect all{0, 0, 300, 400};
    EraseRect(&all);
    RGBForeColor(&black);
    MoveTo(left, base);
    DrawUTF8Text("HH");
    DrawUTF8Text("H\xC3\x89");  // continues at the pen; UTF-8 text
    DrawUTF8Text("\xFF");       // broken bytes draw a replacement, no crash
  });
  const QImage img = Grab(w);
  // The first text's ink lies right of the pen, above the base line and within its advance.
  EXPECT_TRUE(AnyInk(img, left, base - fm.ascent(), left + advance, base));
  EXPECT_FALSE(AnyInk(img, 0, 0, left, 300));
  EXPECT_FALSE(AnyInk(img, 0, 0, 400, base - fm.ascent() - 1));
  EXPECT_FALSE(AnyInk(img, 0, base + fm.descent() + 1, 400, 300));
  // The second text follows the first.
  EXPECT_TRUE(AnyInk(img, left + advance, base - fm.ascent(), left + 2 * advance + 4, base));
  DisposeWindow(w);
}

TEST(PlatformDrawing, SelectWindowBringsAWindowToTheFront) {
  WindowRef a = MakeWindow("PlainWindow"), b = MakeWindow("PlainWindow");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ShowWindow(a);
  ShowWindow(b);
  SelectWindow(a);
  EXPECT_EQ(ActiveNonFloatingWindow(), a);
  SelectWindow(b);
  EXPECT_EQ(ActiveNonFloatingWindow(), b);
  SelectWindow(nullptr);  // ignored
  EXPECT_EQ(ActiveNonFloatingWindow(), b);
  DisposeWindow(b);
  EXPECT_EQ(ActiveNonFloatingWindow(), a);
  DisposeWindow(a);
}

TEST(PlatformDrawing, LittleArrowsRangeSettersClampTheShownValue) {
  WindowRef w = MakeWindow("TestWindow");
  ASSERT_NE(w, nullptr);
  ControlID arrowsId{FourCC("arro"), 1}, checkId{FourCC("chek"), 1};
  ControlRef arrows = nullptr, check = nullptr;
  ASSERT_EQ(GetControlByID(w, &arrowsId, &arrows), noErr);
  ASSERT_EQ(GetControlByID(w, &checkId, &check), noErr);
  QSpinBox* spin = qobject_cast<QSpinBox*>(PlatformControlWidget(arrows));
  ASSERT_NE(spin, nullptr);
  SetControlMinimum(arrows, 10);
  SetControlMaximum(arrows, 20);
  EXPECT_EQ(GetControlMinimum(arrows), 10);
  EXPECT_EQ(GetControlMaximum(arrows), 20);
  EXPECT_EQ(GetControlValue(arrows), 10);  // the value moved into the new range
  SetControlValue(arrows, 99);
  EXPECT_EQ(GetControlValue(arrows), 20);
  EXPECT_EQ(spin->text(), "20");
  SetControlMaximum(arrows, 15);
  EXPECT_EQ(GetControlValue(arrows), 15);
  EXPECT_EQ(spin->text(), "15");
  // A check box keeps its 0..1 range; a stale control is ignored.
  SetControlMaximum(check, 7);
  SetControlMinimum(check, 3);
  EXPECT_EQ(GetControlMinimum(check), 0);
  EXPECT_EQ(GetControlMaximum(check), 1);
  SetControlMaximum(nullptr, 3);
  DisposeWindow(w);
}

// Random moves of parts of the port against a model picture. After each move the caller paints
// what it uncovered where a painter that keeps the part turned finds it, and now and then
// erases a rectangle across the part or paints a few pixels; the port, the window drawn afresh
// and the screen's own moved picture must all show the model.
TEST(PlatformDrawing, ScrolledPartsShowTheMovedPictureOnThePortAndTheScreen) {
  WindowRef w = MakeWindow("PlainWindow");
  ASSERT_NE(w, nullptr);
  ShowWindow(w);
  QWidget* content = PlatformContentWidget(w);
  for (int i = 0; i < 100 && !content->window()->windowHandle()->isExposed(); ++i)
    QCoreApplication::processEvents();
  ASSERT_TRUE(content->window()->windowHandle()->isExposed());
  const int cw = std::min(content->width(), 220), ch = std::min(content->height(), 160);
  ASSERT_GT(cw, 100);
  ASSERT_GT(ch, 80);
  QImage model(content->size(), QImage::Format_RGB32);
  model.fill(Qt::white);
  std::mt19937 rng(5);
  auto colour = [&] { return static_cast<unsigned short>(rng() % 4 * 0x5555); };
  auto erase = [&](const QRect& q) {
    if (q.isEmpty()) return;
    const RGBColor c{colour(), colour(), colour()};
    OnPort(w, [&] {
      RGBBackColor(&c);
      const Rect r = {static_cast<short>(q.top()), static_cast<short>(q.left()),
                      static_cast<short>(q.bottom() + 1), static_cast<short>(q.right() + 1)};
      EraseRect(&r);
    });
    QPainter(&model).fillRect(q, QColor(c.red >> 8, c.green >> 8, c.blue >> 8));
  };
  // Paints q with a painter that keeps a turned part as it is, each pixel where it is kept.
  auto paintKept = [&](const QRect& q) {
    if (q.isEmpty()) return;
    const QRgb c = qRgb(static_cast<int>(rng() % 256), static_cast<int>(rng() % 256), 9);
    PortPainter p(GetWindowPort(w), PortPainter::keep);
    QImage* port = dynamic_cast<QImage*>(p.device());
    ASSERT_NE(port, nullptr);
    QRect r;
    QPoint d;
    const bool rolled = PortRolled(GetWindowPort(w), &r, &d);
    for (int y = q.top(); y <= q.bottom(); ++y)
      for (int x = q.left(); x <= q.right(); ++x) {
        QPoint at(x, y);
        if (rolled && r.contains(at))
          at = QPoint(r.left() + (x - r.left() + d.x()) % r.width(),
                      r.top() + (y - r.top() + d.y()) % r.height());
        port->setPixel(at, c);
        model.setPixel(x, y, c);
      }
    p.setClipRect(q);
  };
  for (int y = 0; y < ch; y += 10)
    for (int x = 0; x < cw; x += 10) erase(QRect(x, y, 10, 10));
  const QRect parts[2] = {QRect(7, 5, 150, 110), QRect(30, 20, 100, 90)};
  QScreen* screen = content->screen();
  for (int step = 1; step <= 300; ++step) {
    const unsigned op = rng() % 10;
    if (op < 7) {
      const QRect q = parts[rng() % 8 == 0 ? 1 : 0];
      const int dh = static_cast<int>(rng() % 61) - 30, dv = static_cast<int>(rng() % 41) - 20;
      const Rect r = {static_cast<short>(q.top()), static_cast<short>(q.left()),
                      static_cast<short>(q.bottom() + 1), static_cast<short>(q.right() + 1)};
      ScrollWindowRect(w, &r, static_cast<short>(dh), static_cast<short>(dv));
      const QImage before = model.copy();
      for (int y = q.top(); y <= q.bottom(); ++y)
        for (int x = q.left(); x <= q.right(); ++x)
          if (q.contains(x - dh, y - dv)) model.setPixel(x, y, before.pixel(x - dh, y - dv));
      // What the move uncovered, as a caller paints it: where the port keeps its pixels.
      paintKept(q & (dh > 0 ? QRect(q.left(), q.top(), dh, q.height())
                            : QRect(q.right() + 1 + dh, q.top(), -dh, q.height())));
      paintKept(q & (dv > 0 ? QRect(q.left(), q.top(), q.width(), dv)
                            : QRect(q.left(), q.bottom() + 1 + dv, q.width(), -dv)));
    } else if (op < 8) {
      erase(QRect(static_cast<int>(rng() % 150), static_cast<int>(rng() % 100), 30, 20));
    } else {
      paintKept(QRect(static_cast<int>(rng() % cw), static_cast<int>(rng() % ch), 3, 2) &
                QRect(0, 0, cw, ch));
    }
    for (int y = 0; y < ch; y += step % 10 == 0 ? 1 : 7)
      for (int x = 0; x < cw; ++x)
        ASSERT_EQ(GetPortPixel(w, static_cast<short>(x), static_cast<short>(y)),
                  model.pixel(x, y) & 0xFFFFFFu)
            << "step " << step << " at " << x << "," << y;
    if (step % 10 == 0) {
      // The screen's picture, moved along by the window system and painted where uncovered.
      QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
      const QPoint o = content->mapTo(content->window(), QPoint(0, 0));
      const QImage shown =
          screen->grabWindow(content->window()->winId(), o.x(), o.y(), cw, ch).toImage();
      ASSERT_EQ(shown.size(), QSize(cw, ch));
      for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x)
          ASSERT_EQ(shown.pixel(x, y) & 0xFFFFFFu, model.pixel(x, y) & 0xFFFFFFu)
              << "step " << step << " at " << x << "," << y;
      ASSERT_EQ(Grab(w).copy(0, 0, cw, ch).convertToFormat(QImage::Format_RGB32),
                model.copy(0, 0, cw, ch))
          << "step " << step;
    }
  }
  DisposeWindow(w);
}
