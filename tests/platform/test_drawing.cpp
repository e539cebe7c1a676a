// The drawing and window calls the browser and the image window draw through, checked on the
// port and on the grabbed window: images, text at the pen, the back colour, window selection
// and the little arrows' range.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QImage>
#include <QSpinBox>
#include <QWidget>

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
