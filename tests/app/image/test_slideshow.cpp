// Slide shows on the platform clock: the order of slides over many seeds, the pacing, the
// show dialog, full screen and giving back a pending slide.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "app/core/papp.h"
#include "app/image/pforms.h"
#include "imagetest.h"
#include "platform/pmenu.h"

namespace {

class SlideShowTest : public ImageWindowTest {
 protected:
  void Open(int n) {
    for (int i = 0; i < n; ++i) {
      const std::string f = Temp("slide" + std::to_string(i) + ".tif");
      ASSERT_TRUE(WriteTestTiff(f, 40 + 8 * i, 30 + 4 * i));
      ASSERT_TRUE(w->AddImage(f.c_str()));
    }
    SizePane(64, 48);
    ASSERT_TRUE(w->Present());
    ManualClock();
  }
  // The images on view, one entry per change, until the show ends or max steps of step seconds.
  std::vector<int> Run(double step, int max) {
    std::vector<int> seen{w->ImageIndex(w->irShown)};
    for (int i = 0; i < max && w->showGoing != 0; ++i) {
      AdvancePlatformClock(step);
      const int k = w->ImageIndex(w->irShown);
      if (k != seen.back()) seen.push_back(k);
    }
    return seen;
  }
};

TEST_F(SlideShowTest, RandomOnceShowsEachImageOnceCurrentFirst) {
  Open(5);
  for (int seed = 1; seed <= 200; ++seed) {
    srandom(seed);
    w->Reposition(0);
    for (int k = seed % 5; k > 0; --k) w->Advance(w->iring->GetNext());
    w->Redraw();
    const int cur = w->ImageIndex(nullptr);
    w->BeginShow(4, 1.0);
    ASSERT_NE(w->showGoing, 0);
    std::vector<int> seen = Run(1.0, 20);
    ASSERT_EQ(w->showGoing, 0) << seed;
    ASSERT_EQ(seen.size(), 5u) << seed;
    EXPECT_EQ(seen[0], cur);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4})) << seed;
    EXPECT_EQ(w->showShuffle, nullptr);
  }
}

TEST_F(SlideShowTest, OrderAndPacing) {
  Open(2);
  // Sequential once: the first image, then the second, then the end.
  w->Advance(w->iring->GetNext());
  w->BeginShow(0, 0.0);
  EXPECT_EQ(w->ImageIndex(w->irShown), 0);
  // A 0-second interval still waits 0.01 s.
  AdvancePlatformClock(0.005);
  EXPECT_EQ(w->ImageIndex(w->irShown), 0);
  AdvancePlatformClock(0.006);
  EXPECT_EQ(w->ImageIndex(w->irShown), 1);
  EXPECT_EQ(w->showGoing, 0);
  // Random and repeat never shows the current image again; fewer than two images end it.
  w->AddImage(Temp("slide0.tif").c_str());
  const std::string third = Temp("third.tif");
  ASSERT_TRUE(WriteTestTiff(third, 50, 20));
  ASSERT_TRUE(w->AddImage(third.c_str()));
  srandom(3);
  w->BeginShow(12, 1.0);
  std::vector<int> shown(3, 0);
  for (int i = 0; i < 60; ++i) {
    ASSERT_NE(w->iring, w->irShown) << i;  // the prepared slide
    AdvancePlatformClock(1.0);
    ++shown[w->ImageIndex(w->irShown)];
  }
  EXPECT_GT(*std::min_element(shown.begin(), shown.end()), 5);
  EXPECT_EQ(w->showGoing, -1);
  w->StopShow();
  EXPECT_EQ(w->showGoing, 0);
  srandom(4);
  w->BeginShow(12, 1.0);
  ASSERT_TRUE(w->CloseImage(false));
  ASSERT_TRUE(w->CloseImage(false));
  EXPECT_EQ(w->showGoing, 0);
  EXPECT_FALSE(w->NextSlide());
  // A still picture does not play.
  EXPECT_FALSE(w->Playable());
  dmessage_last_class = DMCnerr;
  w->RunAnimation();
  EXPECT_EQ(dmessage_last_class, static_cast<unsigned>(DMCparameter));
}

TEST_F(SlideShowTest, DialogStartsAndTheCommandStops) {
  Open(3);
  WhenShown(
      gShowWindow,
      [] { qobject_cast<QAbstractButton*>(WidgetOf(gShowWindow, "optn", 131))->setChecked(true); },
      "bttn", 1);
  w->SlideShow();
  EXPECT_EQ(w->showGoing, -1);
  EXPECT_EQ(w->showIntvl, 4.0);
  w->SlideShow();
  EXPECT_EQ(w->showGoing, 0);
  WhenShown(gShowWindow, nullptr, "bttn", 2);
  w->SlideShow();
  EXPECT_EQ(w->showGoing, 0);
}

TEST_F(SlideShowTest, FullScreenComesBack) {
  Open(2);
  WindowRef win = w->GetWindow();
  Rect before, during, screen;
  ASSERT_EQ(GetWindowBounds(win, kWindowContentRgn, &before), noErr);
  GDHandle dev = nullptr;
  ASSERT_EQ(GetWindowGreatestAreaDevice(win, kWindowContentRgn, &dev, &screen), noErr);
  ShowWindow(gHistoWindow);
  w->BeginShow(16, 1.0);
  ASSERT_EQ(GetWindowBounds(win, kWindowContentRgn, &during), noErr);
  // The pane covers the screen with a 2-pixel margin (the test screen is wider than the
  // window's minimum width); the layout splits an odd growth of the window into truncated
  // halves, so the far edges may lose one pixel of it.
  ASSERT_GE(screen.right - screen.left, 1000);
  const Rect& p = w->imd->extent;
  EXPECT_EQ(during.top + p.top, screen.top - 2);
  EXPECT_EQ(during.left + p.left, screen.left - 2);
  const int bottom = during.top + p.bottom - PImageDrawer::kBar;
  const int right = during.left + p.right - PImageDrawer::kBar;
  EXPECT_TRUE(bottom == screen.bottom + 2 || bottom == screen.bottom + 1) << bottom;
  EXPECT_TRUE(right == screen.right + 2 || right == screen.right + 1) << right;
  EXPECT_FALSE(IsMenuBarVisible());
  EXPECT_FALSE(IsWindowVisible(gHistoWindow));
  EXPECT_EQ(w->bgRGB[0] + w->bgRGB[1] + w->bgRGB[2], 0);
  Run(1.0, 10);
  EXPECT_EQ(w->showGoing, 0);
  Rect after;
  ASSERT_EQ(GetWindowBounds(win, kWindowContentRgn, &after), noErr);
  EXPECT_EQ(after.top, before.top);
  EXPECT_EQ(after.left, before.left);
  EXPECT_EQ(after.bottom, before.bottom);
  EXPECT_EQ(after.right, before.right);
  EXPECT_TRUE(IsMenuBarVisible());
  EXPECT_EQ(w->bgRGB[0] + w->bgRGB[1] + w->bgRGB[2], 3 * 255);
}

// Escape typed into the window ends an endless full-screen show with the menu bar hidden, as a
// click in the picture does: the window, the menu bar and the background come back.
TEST_F(SlideShowTest, EscapeEndsAFullScreenShow) {
  Open(3);
  WindowRef win = w->GetWindow();
  Rect before, after;
  ASSERT_EQ(GetWindowBounds(win, kWindowContentRgn, &before), noErr);
  w->BeginShow(16 | 8, 1.0);
  ASSERT_EQ(w->showGoing, -1);
  ASSERT_FALSE(IsMenuBarVisible());
  AdvancePlatformClock(2.5);
  QWidget* content = PlatformContentWidget(win);
  QTest::keyClick(content, Qt::Key_Escape);
  EXPECT_EQ(w->showGoing, 0);
  EXPECT_TRUE(IsMenuBarVisible());
  ASSERT_EQ(GetWindowBounds(win, kWindowContentRgn, &after), noErr);
  EXPECT_EQ(after.top, before.top);
  EXPECT_EQ(after.right, before.right);
  EXPECT_EQ(w->bgRGB[0] + w->bgRGB[1] + w->bgRGB[2], 3 * 255);
  // Without a show, Escape does nothing to the window.
  const int index = w->ImageIndex(nullptr);
  QTest::keyClick(content, Qt::Key_Escape);
  EXPECT_EQ(w->ImageIndex(nullptr), index);
  EXPECT_TRUE(IsWindowVisible(win));
}

TEST_F(SlideShowTest, ExposureChangeGivesThePendingSlideBack) {
  Open(4);
  w->BeginShow(0, 1.0);
  ASSERT_EQ(w->ImageIndex(w->irShown), 0);
  ASSERT_EQ(w->ImageIndex(nullptr), 1);  // prepared, not yet on view
  EXPECT_TRUE(w->ManualExposure(2.0));
  EXPECT_EQ(w->iring, w->irShown);
  EXPECT_TRUE(w->showPreempt);
  // The show resumes from the image on view and skips none.
  EXPECT_EQ(Run(0.5, 40), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(w->showGoing, 0);
}

// The pane's picture area on the window's port.
QImage PanePicture(PImageWindow* w) {
  PortPainter p(GetWindowPort(w->GetWindow()));
  const QImage* port = dynamic_cast<QImage*>(p.device());
  const Rect& e = w->imd->extent;
  return port ? port->copy(e.left, e.top, w->imd->GetRWidth(), w->imd->GetRHeight()) : QImage();
}

TEST_F(SlideShowTest, PreparedSlidesLookLikeFreshRenderings) {
  Open(3);
  SizePane(300, 200);
  // A large image on view scrolled at 2:1, so that the pane's rendering has moved.
  const std::string big = Temp("big.tif");
  ASSERT_TRUE(WriteTestTiff(big, 800, 600));
  ASSERT_TRUE(w->AddImage(big.c_str()));
  w->Redraw();
  ASSERT_TRUE(w->SetZoom(10));
  w->Redraw();
  w->imd->Scroll(0.3f, 0.2f);
  ASSERT_TRUE(w->imd->ringX != 0 || w->imd->ringY != 0);
  w->BeginShow(8, 1.0);
  for (int i = 0; i < 4; ++i) {
    AdvancePlatformClock(1.0);
    const QImage shown = PanePicture(w);
    // The pending slide given back, the image on view rendered afresh.
    ASSERT_TRUE(w->PreemptSlide());
    ASSERT_EQ(w->iring, w->irShown);
    w->imd->Invalid();
    w->imd->Redraw();
    ASSERT_EQ(shown, PanePicture(w)) << i;
    w->Redraw();  // goes on with the show
    ASSERT_NE(w->iring, w->irShown);
  }
  w->StopShow();
}

}  // namespace
