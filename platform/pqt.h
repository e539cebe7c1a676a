// The Qt side of the platform layer, for the program's start-up, the application's own view
// code and tests: the widgets behind a window and its controls.
#pragma once

#include "platform/ptypes.h"

class QWidget;

// The top-level widget of a window (frame with menu bar and content) and its content widget,
// which shows the port; NULL for a stale window.
QWidget* PlatformFrameWidget(WindowRef w);
QWidget* PlatformContentWidget(WindowRef w);
QWidget* PlatformControlWidget(ControlRef c);
// The window a widget belongs to; NULL when none.
WindowRef PlatformWindowOfWidget(const QWidget* widget);
