// The image pane's scrolling against a model: random bar, drag and wheel steps at zooms from 1/3
// to 4/1; after each, the rendering the pane holds equals a full rendering at the same offset
// and the offset stays within its limits.
#include <QCoreApplication>
#include <QDir>
#include <QScreen>
#include <QWindow>
#include <random>

#include "imagetest.h"

namespace {

// What the screen shows of the pane once the window's pending repaint is delivered: the
// picture the window system moved along, painted anew where a move uncovered it.
QImage ScreenImage(PImageWindow* w) {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
  QWidget* content = PlatformContentWidget(w->GetWindow());
  const Rect& e = w->imd->extent;
  const QPoint o = content->mapTo(content->window(), QPoint(e.left, e.top));
  return content->screen()
      ->grabWindow(content->window()->winId(), o.x(), o.y(), w->imd->GetRWidth(),
                   w->imd->GetRHeight())
      .toImage()
      .convertToFormat(QImage::Format_RGB32);
}

// A fresh full rendering of the current view at the pane's size.
bool FullRender(PImageWindow* w, _ImgStruct* out) {
  PImageDrawer* d = w->imd;
  *out = {};
  out->xres = d->curImg.xres;
  out->yres = d->curImg.yres;
  out->csp = d->curImg.csp;
  const bool changed = w->iring->changed;
  const bool ok = w->iring->RenderImage(out, w->bgRGB, nullptr);
  w->iring->changed = changed;
  return ok;
}

// The pane's picture area on the window's port.
QImage PortImage(PImageWindow* w) {
  PortPainter p(GetWindowPort(w->GetWindow()));
  const QImage* port = dynamic_cast<QImage*>(p.device());
  const Rect& e = w->imd->extent;
  return port ? port->copy(e.left, e.top, w->imd->GetRWidth(), w->imd->GetRHeight()) : QImage();
}

// The largest difference of a byte between the pane's rendering (a ring whose origin is at
// (ringX, ringY)) and a full rendering.
int MaxDiff(const PImageDrawer& d, const _ImgStruct& b) {
  const _ImgStruct& a = d.curImg;
  if (a.xres != b.xres || a.yres != b.yres || d.ringX < 0 || d.ringX >= a.xres || d.ringY < 0 ||
      d.ringY >= a.yres)
    return 256;
  int m = 0;
  for (int y = 0; y < a.yres; ++y) {
    const uint8_t* p = a.img + static_cast<ptrdiff_t>((y + d.ringY) % a.yres) * a.rowsize;
    const uint8_t* q = b.img + static_cast<ptrdiff_t>(y) * b.rowsize;
    for (int x = 0; x < a.xres; ++x) {
      const uint8_t* s = p + 3 * ((x + d.ringX) % a.xres);
      for (int c = 0; c < 3; ++c) m = std::max(m, std::abs(s[c] - q[3 * x + c]));
    }
  }
  return m;
}

TEST_F(ImageWindowTest, ScrollingKeepsThePaneEqualToAFullRendering) {
  NEED_TESTDATA();
  std::vector<std::string> files;
  for (int i = 1; i <= 8; ++i)
    files.push_back(TestData("jpeg/landscape_" + std::to_string(i) + ".jpg"));
  files.push_back(TestData("hdr/desk_oiiotool_rle.hdr"));
  files.push_back(Temp("big.tif"));  // scrolls at the zooms below 1 too
  ASSERT_TRUE(WriteTestTiff(files.back(), 2400, 1700));
  for (const std::string& f : files) ASSERT_TRUE(w->AddImage(f.c_str())) << f;
  SizePane(401, 297);
  ASSERT_TRUE(w->Present());
  QWindow* screenWindow = PlatformContentWidget(w->GetWindow())->window()->windowHandle();
  for (int i = 0; i < 100 && !screenWindow->isExposed(); ++i) QCoreApplication::processEvents();
  ASSERT_TRUE(screenWindow->isExposed());
  // Its steps include a view left beyond its limits by a change of picture and zoom.
  std::mt19937 rng(1);
  const int zoomItems[] = {4, 5, 6, 8, 9, 10, 11, 12};  // 1/3 .. 4/1
  int steps = 0, shifted = 0, outlined = 0;
  while (steps < 1000) {
    if (steps % 40 == 0) {
      w->Advance(static_cast<int>(rng() % 10));
      w->SetZoom(static_cast<short>(zoomItems[rng() % 8]));
      w->Redraw();
      // Now and then the steps scroll a selection's outline along.
      w->imd->ShowRect(false);
      if (rng() % 3 == 0) {
        const int x0 = static_cast<int>(rng() % 300), y0 = static_cast<int>(rng() % 200);
        w->iring->SelectRect(x0, y0, x0 + 20 + static_cast<int>(rng() % 300),
                             y0 + 20 + static_cast<int>(rng() % 200));
      } else {
        w->iring->ClearSelection();
      }
      w->imd->ShowRect(true);
    }
    PImageDrawer* d = w->imd;
    const long before = w->renderCount;
    switch (rng() % 4) {
      case 0: {  // a bar's arrows or pages
        static const float parts[] = {-0.15f, 0.15f, -0.85f, 0.85f};
        const float f = parts[rng() % 4];
        if (rng() % 2)
          d->Scroll(f, 0);
        else
          d->Scroll(0, f);
        break;
      }
      case 1:  // a drag step
        d->Scroll(static_cast<float>(static_cast<int>(rng() % 61) - 30) / d->GetRWidth(),
                  static_cast<float>(static_cast<int>(rng() % 61) - 30) / d->GetRHeight());
        break;
      default: {  // a wheel turn
        const int n = static_cast<int>(rng() % 5) - 2;
        const Point at{static_cast<short>(d->extent.top + 10),
                       static_cast<short>(d->extent.left + 10)};
        if (rng() % 2)
          d->Wheel(at, 0, n, nullptr);
        else
          d->Wheel(at, n, 0, nullptr);
        break;
      }
    }
    ++steps;
    if (w->renderCount == before) ++shifted;
    outlined += d->rectShown;
    POrient o;
    ASSERT_TRUE(w->iring->GetOrient(&o));
    int off[2];
    w->iring->GetOffset(off);
    const int hlim = std::max(0, (o.GetWidth() - d->GetRWidth()) / 2);
    const int vlim = std::max(0, (o.GetHeight() - d->GetRHeight()) / 2);
    ASSERT_LE(std::abs(off[0]), hlim) << steps;
    ASSERT_LE(std::abs(off[1]), vlim) << steps;
    ASSERT_NE(d->curImg.img, nullptr);
    _ImgStruct full;
    ASSERT_TRUE(FullRender(w, &full));
    const int diff = MaxDiff(*d, full);
    const QImage shown = steps % 5 == 0 ? PortImage(w) : QImage();
    // Upright, the pane shows the rendering's bytes as they are.
    int wrong = 0;
    if (!shown.isNull() && !d->rectShown && !o.xyswap && !o.hflip && !o.vflip)
      for (int y = 0; y < std::min(shown.height(), full.yres); ++y)
        for (int x = 0; x < std::min(shown.width(), full.xres); ++x) {
          const uint8_t* p = full.img + static_cast<ptrdiff_t>(y) * full.rowsize + 3 * x;
          wrong += (shown.pixel(x, y) & 0xFFFFFFu) != (qRgb(p[0], p[1], p[2]) & 0xFFFFFFu);
        }
    PfreeImage(&full);
    ASSERT_EQ(diff, 0) << "step " << steps << " zoom " << w->iring->GetZoom(nullptr);
    ASSERT_EQ(wrong, 0) << "step " << steps;
    if (steps % 5 == 0) {
      // The screen shows what a whole drawing of the rendering shows.
      const QImage screen = ScreenImage(w);
      ASSERT_EQ(screen, shown) << "step " << steps;
      if (steps == 500) {
        QDir().mkpath(LUMERIN_SHOTS);
        screen.save(LUMERIN_SHOTS "/image_scrolled.png");
      }
      w->irDrawn = nullptr;
      d->Redraw();
      ASSERT_EQ(shown, PortImage(w)) << "step " << steps;
    }
  }
  EXPECT_GT(shifted, 300);  // most steps shifted the rendering instead of rendering it again
  EXPECT_GT(outlined, 100);
}

}  // namespace
