// What a dialog shows lies whole within its window: its message label (as tall as its lines need
// at its width, and no piece of it wider) and every button shown; and the window is no wider
// than its screen has room for. Geometry only, so that it holds in any font.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QScreen>
#include <QWidget>
#include <vector>

#include "platform/pcontrol.h"
#include "platform/pqt.h"
#include "platform/pwindow.h"
#include "testutil/control_text.h"

namespace testutil {

// The dialog w with its message in the label (sig, 128).
inline void ExpectShownWhole(WindowRef w, const char* sig) {
  ControlID cid{FourCC({sig[0], sig[1], sig[2], sig[3], 0}), 128};
  ControlRef c = nullptr;
  ASSERT_EQ(GetControlByID(w, &cid, &c), noErr);
  SCOPED_TRACE(WholeControlText(c));
  QWidget* frame = PlatformFrameWidget(w);
  EXPECT_LE(frame->width(), frame->screen()->availableGeometry().width());
  auto* label = qobject_cast<QLabel*>(PlatformControlWidget(c));
  ASSERT_NE(label, nullptr);
  EXPECT_LE(label->heightForWidth(label->width()), label->height());
  EXPECT_LE(label->minimumSizeHint().width(), label->width());
  std::vector<QWidget*> parts{label};
  for (QAbstractButton* b : frame->findChildren<QAbstractButton*>())
    if (b->isVisibleTo(frame)) parts.push_back(b);
  for (QWidget* p : parts) {
    const QRect r(p->mapTo(frame, QPoint(0, 0)), p->size());
    EXPECT_TRUE(frame->rect().contains(r))
        << p->objectName().toStdString() << " at " << r.x() << "," << r.y() << " " << r.width()
        << "x" << r.height() << " in " << frame->width() << "x" << frame->height();
  }
}

}  // namespace testutil
