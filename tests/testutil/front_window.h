// Bringing a window in front in the window tests. On the offscreen platform no window manager
// moves the focus on when the window holding it is hidden (a Progress window closed after a slow
// save, say), and a window whose transient child holds the focus counts as active already, so
// that activating it does nothing and the platform moves nothing either: the application is
// told which window is active then, as a window manager would have it.
#pragma once

#include <QApplication>
#include <QGuiApplication>
#include <QTest>
#include <QWidget>
#include <QWindow>

namespace testutil {

// How long a window test waits for the platform to do what it asked (a window activated): a
// bound that only a hang reaches, whatever the disk or the load.
constexpr int kWindowWaitMs = 30000;

// Activates the top-level frame (already raised and noted in front by the caller); false when
// it did not become the active window.
inline bool Activate(QWidget* frame) {
  if (QApplication::activeWindow() == frame) return true;
  frame->activateWindow();
  if (QWindow* focus = QGuiApplication::focusWindow(); focus != nullptr && !focus->isVisible())
    QApplication::setActiveWindow(frame);
  return QTest::qWaitFor([frame] { return QApplication::activeWindow() == frame; }, kWindowWaitMs);
}

}  // namespace testutil
