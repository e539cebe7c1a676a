// The image pane of the image window: the visible part of the current image at its zoom, with
// a scroll bar along the bottom and one along the right. It keeps the last rendering of the
// visible part in the image's own (unoriented) layout, draws it through the orientation,
// scrolls by moving that rendering's origin and rendering only the uncovered strips, and turns
// the mouse into scrolling (bars, drag, wheel) and a rubber-band selection with a live readout.
#pragma once

#include "display/pdispimg.h"
#include "toolkit/pdrawer.h"

class QRect;

class PImageWindow;

class PImageDrawer : public PDrawer {
 public:
  static constexpr int kBar = 15;  // scroll bar thickness

  PImageDrawer(WindowRef w, PImageWindow* ip);
  ~PImageDrawer() override;

  WindowPtr GetWindow() const override { return windo; }
  int Show(int how) override;
  void Redraw() override;
  bool Click(Point pt, unsigned short mods, EventRef event) override;
  bool Wheel(Point pt, int xdel, int ydel, EventRef event) override;

  // Erases the pane (the outline goes with it).
  void Wipe();
  // Drops the rendering: the next Redraw renders afresh.
  void Invalid();
  int GetRWidth() const { return GetWidth() - kBar; }
  int GetRHeight() const { return GetHeight() - kBar; }
  // Draws (true) or erases the selection outline; the outline's state afterwards.
  bool ShowRect(bool doit);
  // Moves the view by fractions of the rendering area, updating the bars and shifting the
  // rendering where it can; true when the view moved and the pane needs drawing.
  bool MoveScroll(float hdelta, float vdelta);
  void Scroll(float hdelta, float vdelta);
  // Renders rectangle r (in the rendering's own coordinates) of the current image into dst, the
  // pane's rendering (the shift's fill).
  static void piFill(_ImgStruct* dst, const _ImgRect* r, void* ip);

  ControlRef horizScroll;
  ControlRef vertScroll;
  PImageWindow* pim;
  // The rendering, kept as a ring: its pixel (x, y) is curImg's pixel ((x + ringX) mod xres,
  // (y + ringY) mod yres), so that a shift moves the origin and not the pixels.
  _ImgStruct curImg;
  int ringX = 0, ringY = 0;
  bool rectShown;
  bool failed = false;  // the last redraw could not render the image

 private:
  void BarBounds(Rect* h, Rect* v) const;
  // The rendering's size in displayed (oriented) pixels: the rendering area, widened at a fixed
  // zoom of n/d to a multiple of 2n, so that whole source steps are whole pixels and every strip
  // renders as the same part of the whole.
  void BufferSize(int* bw, int* bh) const;
  void ResetColorSpace();
  // Draws the area (displayed pixels of the rendering area) of the rendering.
  void DrawCurImg(const POrient& o, const QRect& area);
  // Moves the screen's picture by the pending shift and draws what changed.
  void DrawShift(const POrient& o);
  // Moves the rendering by (xs, ys) of its pixels, rendering what the move uncovers; false
  // when a part could not be rendered.
  bool ShiftRendering(int xs, int ys);
  void Readout(const char* text) const;
  void Failed();

  WindowRef windo;
  // A shift of the rendering not yet on the screen: its move in displayed pixels and the parts
  // of the rendering (in its own coordinates) rendered anew.
  bool shiftPending = false;
  int shiftDX = 0, shiftDY = 0;
  int nBands = 0;
  _ImgRect bands[4];
  Rect barsAt{0, 0, 0, 0};  // the pane's extent when the bars were put along its edges
  _ImgColorSpace cs;        // the rendering's colour space (the window's display space)
};
