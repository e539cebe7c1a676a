// The deliberate Qt seam of the platform layer. The application draws with Qt through the hooks
// declared here and reaches no other Qt: a PortPainter paints into a window's port with
// everything QPainter offers (rounded rectangles, UTF-8 text wrapped or centred in a box, fonts
// and text widths through QFontMetrics, exclusive-or outlines through
// QPainter::RasterOp_SourceXorDestination, images under an affine transform). The program's
// start-up and the tests also find the widgets behind windows, controls and menus here.
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QTransform>

#include "platform/ptypes.h"

class QAction;
class QMenu;
class QWidget;

// Paints into a port (NULL: the current port), clipped to it; what was painted shows on screen
// when the painter ends (or is destroyed). It starts with the window's font, the port's fore
// colour as pen, no brush and the window-local coordinates of the port. On a stale port it is
// not active (isActive() is false) and paints nothing.
class PortPainter : public QPainter {
 public:
  explicit PortPainter(GrafPtr port = nullptr);
  ~PortPainter();
  PortPainter(const PortPainter&) = delete;
  PortPainter& operator=(const PortPainter&) = delete;
  // Shows what was painted and ends the painter.
  void finish();

 private:
  uintptr_t window_;
};

// The content widget a port shows; NULL for a stale port.
QWidget* PlatformPortWidget(GrafPtr port);
// The top-level widget of a window (frame with menu bar and content) and its content widget,
// which shows the port; NULL for a stale window.
QWidget* PlatformFrameWidget(WindowRef w);
QWidget* PlatformContentWidget(WindowRef w);
QWidget* PlatformControlWidget(ControlRef c);
// The window a widget belongs to; NULL when none.
WindowRef PlatformWindowOfWidget(const QWidget* widget);
// The Qt menu of a menu and the action of one of its items; NULL when stale.
QMenu* PlatformMenu(MenuRef menu);
QAction* PlatformMenuItemAction(MenuRef menu, MenuItemIndex item);
