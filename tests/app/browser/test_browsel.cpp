// Clicks and selection: real mouse presses with modifiers on the platform clock (selection,
// double clicks, the information panel, the scroll bar, a load in progress), the insertion
// point of a drop, and random clicks, wheels, scrolls, resizes and size switches over 10,000
// records against a model of the selection and of what each cell shows.
#include <sys/stat.h>

#include <QThreadPool>
#include <random>
#include <set>

#include "app/core/pbusy.h"
#include "browsertest.h"
#include "standins.h"

namespace {

// Stands in for the image window: counts the times the browser asks it to open the selection.
class CountingImager : public StandInImager {
 public:
  int CloseImages(bool) override { return 1; }
  int OpenImages() override { return ++opened, 0; }
  int opened = 0;
};

class Clicks : public BrowserTest {
 protected:
  void SetUp() override {
    BrowserTest::SetUp();
    SetManualPlatformClock(true);
    saved = gImager;
    gImager = &imager;
  }
  void TearDown() override {
    gImager = saved;
    SetManualPlatformClock(false);
  }
  CountingImager imager;
  IImageWindow* saved = nullptr;

  // Pane point of cell (row, col)'s thumbnail square, dx and dy into it.
  QPoint At(int row, int col, int dx = 10, int dy = 10) const {
    const int ts = b->ThumbSize();
    return QPoint(b->extent.left + col * (ts + 24) + 24 + dx,
                  b->extent.top + row * (16 + ts + 24) + 24 + dy);
  }
  // A press and its release at p, the release coming from the event loop as a person's would;
  // the clock then moves on by after seconds.
  void Press(QPoint p, Qt::KeyboardModifiers m = {}, Qt::MouseButton button = Qt::LeftButton,
             double after = 1.0, std::function<void()> beforeRelease = nullptr) {
    QWidget* w = PlatformContentWidget(mw->GetWindow());
    QTimer::singleShot(0, [=] {
      if (beforeRelease) beforeRelease();
      QTest::mouseRelease(w, button, m, p);
    });
    QTest::mousePress(w, button, m, p);
    checkEvents(0);
    AdvancePlatformClock(after);
  }
  std::set<int> Selected() const {
    std::set<int> s;
    for (int i = 0; ctx->NextSelected(&i); ++i) s.insert(i);
    return s;
  }
};

TEST_F(Clicks, PlainShiftAndCtrlClicksSelectAsARangeOrOneByOne) {
  MakeRecords(30);
  Press(At(0, 3));
  EXPECT_EQ(Selected(), (std::set<int>{3}));
  EXPECT_EQ(TextOf(mw->GetWindow(), "pict", 132), "1 of 30 records selected");
  Press(At(0, 7), Qt::ShiftModifier);
  EXPECT_EQ(Selected(), (std::set<int>{3, 4, 5, 6, 7}));
  Press(At(0, 5), Qt::ControlModifier);  // off, and no drag follows
  EXPECT_EQ(Selected(), (std::set<int>{3, 4, 6, 7}));
  Press(At(0, 1), Qt::ShiftModifier);  // nothing selected before it: up to the next after it
  EXPECT_EQ(Selected(), (std::set<int>{1, 2, 3, 4, 6, 7}));
  Press(At(1, 2), Qt::ShiftModifier);  // back to the last selected before it: 7
  EXPECT_EQ(Selected(), (std::set<int>{1, 2, 3, 4, 6, 7, 8, 9, 10, 11}));
  Press(At(0, 4));  // a plain click on a selected record keeps the selection
  EXPECT_EQ(Selected().size(), 10u);
  EXPECT_EQ(TextOf(mw->GetWindow(), "pict", 132), "10 of 30 records selected");
  Press(At(0, 4, 80 + 12, 20));  // in the 8-pixel margin between two cells
  EXPECT_TRUE(Selected().empty());
  Press(At(2, 2), Qt::ShiftModifier);  // nothing else selected: only the record clicked
  EXPECT_EQ(Selected(), (std::set<int>{20}));
  Press(At(2, 2), Qt::ControlModifier);
  EXPECT_TRUE(Selected().empty());
  // While a load fills the display, clicks are refused.
  {
    PBusyGuard busy;
    Press(At(0, 0));
  }
  EXPECT_TRUE(Selected().empty());
}

TEST_F(Clicks, TwoClicksWithinFourTenthsOfASecondOpenTheSelection) {
  MakeRecords(30);
  auto opened = [this] {
    const bool was = imager.opened > 0;
    imager.opened = 0;
    return was;
  };
  Press(At(0, 2), {}, Qt::LeftButton, 0.35);
  EXPECT_FALSE(opened());
  Press(At(0, 2), {}, Qt::LeftButton, 1.0);  // the record the first click selected
  EXPECT_TRUE(opened());
  EXPECT_EQ(Selected(), (std::set<int>{2}));
  Press(At(0, 5), {}, Qt::LeftButton, 0.41);
  Press(At(0, 5), {}, Qt::LeftButton, 1.0);  // too late: a click of its own
  EXPECT_FALSE(opened());
  // The second lands between cells, a few pixels from the first: a double click on nothing.
  Press(At(0, 6, 85, 5), {}, Qt::LeftButton, 0.2);
  Press(At(0, 6, 89, 5), {}, Qt::LeftButton, 1.0);
  EXPECT_FALSE(opened());
  EXPECT_EQ(Selected(), (std::set<int>{6}));
}

// Two quick clicks on two thumbnails are two clicks, however quick: with all selected, the
// second keeps the selection and opens nothing. A double click is two clicks at one place.
TEST_F(Clicks, QuickClicksOnTwoThumbnailsAreTwoClicks) {
  MakeRecords(8);
  b->SelectAll();
  const int d = GetDblDistance();
  ASSERT_LT(d, 40);
  Press(At(0, 1), {}, Qt::LeftButton, 0.1);
  Press(At(0, 3), {}, Qt::LeftButton, 1.0);
  EXPECT_EQ(imager.opened, 0);
  EXPECT_EQ(Selected().size(), 8u);
  Press(At(0, 3), {}, Qt::LeftButton, GetDblTime() / 60.0 - 0.05);
  Press(At(0, 3, 10 + d, 10 - d), {}, Qt::LeftButton, 1.0);
  EXPECT_EQ(imager.opened, 1);
  Press(At(0, 3), {}, Qt::LeftButton, 0.1);
  Press(At(0, 3, 11 + d, 10), {}, Qt::LeftButton, 1.0);  // a pixel too far
  EXPECT_EQ(imager.opened, 1);
}

TEST_F(Clicks, TheInformationPanelStaysInsideThePaneUntilTheRelease) {
  const std::string tn = home.path() + "/tn";
  ASSERT_EQ(mkdir(tn.c_str(), 0700), 0);
  ASSERT_TRUE(PBrowser::tnMgr.SetCacheDirectory(tn.c_str()));  // pictures (placeholders here)
  MakeRecords(45);
  for (const char* size : {"tmed", "tpvw"}) {
    mw->SetThumbSize(FourCC({size[0], size[1], size[2], size[3], 0}), false);
    const int ts = b->ThumbSize();
    const QPoint p = ts == 80 ? At(4, 8) : At(0, 1, 300, 300);  // bottom right, right edge
    ASSERT_GE(b->HitRecord(Point{static_cast<short>(p.y()), static_cast<short>(p.x())}), 0);
    QImage during;
    Press(p, Qt::AltModifier, Qt::LeftButton, 1.0, [&] { during = Grab(); });
    const QImage after = Grab();
    ASSERT_FALSE(during.isNull());
    // The panel's frame: the outermost black pixels the grid does not have.
    int minx = 1 << 20, maxx = -1, miny = 1 << 20, maxy = -1;
    for (int y = b->extent.top; y < b->extent.bottom; ++y)
      for (int x = b->extent.left; x < b->extent.right; ++x)
        if ((during.pixel(x, y) & 0xFFFFFF) == 0 && during.pixel(x, y) != after.pixel(x, y)) {
          minx = std::min(minx, x), maxx = std::max(maxx, x);
          miny = std::min(miny, y), maxy = std::max(maxy, y);
        }
    ASSERT_GE(maxx, 0) << size;
    EXPECT_EQ(maxx - minx + 1, 320 + 16) << size;
    EXPECT_GE(miny, b->extent.top);
    EXPECT_LT(maxy, b->extent.bottom);
    if (ts == 320) {
      // The grid shows the largest size already: only text, "File" and "Title" and 3 lines.
      EXPECT_EQ(maxy - miny + 1, (2 + 3) * 16 + 24) << size;
    } else {
      // The picture (an 80-pixel placeholder) above the text of a record without title; the
      // panel is pushed left of the scroll bar.
      EXPECT_EQ(maxy - miny + 1, 80 + (1 + 3) * 16 + 24) << size;
      EXPECT_EQ(maxx, b->extent.right - 16) << size;
    }
    for (int y = b->extent.top; y < b->extent.bottom; y += 7)  // the scroll bar untouched
      EXPECT_EQ(during.pixel(b->extent.right - 7, y), after.pixel(b->extent.right - 7, y));
    EXPECT_TRUE(Selected().empty());  // the panel selects nothing
  }
  // The secondary button shows it too.
  mw->SetThumbSize(FourCC("tmed"), false);
  QImage during;
  Press(At(0, 0), {}, Qt::RightButton, 1.0, [&] { during = Grab(); });
  EXPECT_NE(during, Grab());
  PBrowser::tnMgr.SetCacheDirectory(nullptr);
}

TEST_F(Clicks, TheScrollBarAndTheWheelScrollByRowsAndPages) {
  MakeRecords(200);
  ASSERT_NE(b->thumbScroll, nullptr);
  Rect sb;
  GetControlBounds(b->thumbScroll, &sb);
  EXPECT_EQ(sb.right, b->extent.right);
  EXPECT_EQ(sb.left, b->extent.right - 15);
  EXPECT_EQ(sb.bottom, b->extent.bottom - 15);
  EXPECT_EQ(GetControlMaximum(b->thumbScroll), 23 - 5);
  Press(QPoint(b->extent.right - 7, sb.bottom - 5));  // the down arrow
  EXPECT_EQ(b->topleftIndex, 9);
  Press(QPoint(b->extent.right - 7, sb.bottom - 60));  // below the thumb: a page
  EXPECT_EQ(b->topleftIndex, 9 + 5 * 9);
  EXPECT_EQ(GetControlValue(b->thumbScroll), 6);
  Press(QPoint(b->extent.right - 7, sb.top + 5));  // the up arrow
  EXPECT_EQ(b->topleftIndex, 5 * 9);
  const Point inside{static_cast<short>(b->extent.top + 100),
                     static_cast<short>(b->extent.left + 100)};
  EXPECT_TRUE(b->Wheel(inside, 0, -2, nullptr));  // two notches down
  EXPECT_EQ(b->topleftIndex, 7 * 9);
  EXPECT_FALSE(b->Wheel(Point{0, 0}, 0, -2, nullptr));  // outside the pane
  EXPECT_FALSE(b->Wheel(inside, 1, 0, nullptr));
}

TEST_F(Clicks, TheInsertionPointOfADrop) {
  MakeRecords(100);
  auto pt = [&](QPoint p) { return Point{static_cast<short>(p.y()), static_cast<short>(p.x())}; };
  // Right of the last column on the last visible row: after that row's last cell.
  EXPECT_EQ(b->InsertionPoint(pt(At(4, 8, 100, 10))), 45);
  EXPECT_EQ(b->InsertionPoint(), 45);
  // The nearest gap: the left half of a cell goes before it, the right half after it.
  EXPECT_EQ(b->InsertionPoint(pt(At(1, 3, 20, 10))), 12);
  EXPECT_EQ(Pixel(3 * 104 + 13, 144 + 30), 0x4040FFu);  // the bar left of cell (1, 3)
  EXPECT_EQ(b->InsertionPoint(pt(At(1, 3, 60, 10))), 13);
  EXPECT_EQ(Pixel(3 * 104 + 13, 144 + 30), 0xFFFFFFu);      // moved on
  EXPECT_EQ(b->InsertionPoint(pt(At(1, 8, 100, 10))), 17);  // right of a row not the last
  b->ClearInsertion();
  EXPECT_EQ(b->InsertionPoint(), -1);
  EXPECT_EQ(Pixel(8 * 104 + 13, 144 + 30), 0xFFFFFFu);
  // Below the records' end: append.
  MakeRecords(12);
  EXPECT_EQ(b->InsertionPoint(pt(At(4, 4))), 12);
  mw->SetThumbSize(FourCC("tmed"), true);  // the table has no insertion point
  EXPECT_EQ(b->InsertionPoint(pt(At(0, 0))), -1);
}

// 10,000 operations; under the sanitizers, which run them ten times slower, 2,000.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kSteps = 2000;
#else
constexpr int kSteps = 10000;
#endif

// Random clicks, wheels, scrolls, resizes and size switches against a model: the selection
// follows the rules, the top-left record starts a row, at most 512 cells are held, and each
// cell shows its own record's thumbnail (each thumbnail is stamped with its record when it
// first appears, and must keep showing in that record's cell as the grid scrolls).
TEST_F(Clicks, RandomOperationsOverTenThousandRecordsAgreeWithAModel) {
  QThreadPool::globalInstance()->setMaxThreadCount(1);  // Qt's image helpers on this thread
  constexpr int kRecords = 10000;
  SizeWindow(mw->GetWindow(), 900, 600, true);
  MakeRecords(kRecords);
  std::mt19937 rng(20240);
  std::vector<bool> model(kRecords, false);
  double now = 100.0, lastUp = 0.0;
  int lastX = 0, lastY = 0;
  constexpr uint8_t kMagic[3] = {0xA5, 0x5A, 0xC3};
  auto stampAndCheck = [&](int step) {
    ASSERT_LE(b->ThumbCount(), 512) << step;
    if (b->ntcols > 0) {
      ASSERT_EQ(b->topleftIndex % b->ntcols, 0) << step;
    }
    for (int i = 0; i < b->ThumbCount(); ++i) {
      _ImgStruct& t = b->thumb[i];
      if (t.img == nullptr || t.xres < 2) continue;
      const int rec = b->topleftIndex + i;
      uint8_t* p = t.img;
      if (memcmp(p, kMagic, 3) == 0) {
        const int stamp = p[3] | (p[4] << 8) | (p[5] << 16);
        ASSERT_EQ(stamp, rec) << "cell " << i << " at step " << step;
      } else {
        memcpy(p, kMagic, 3);
        p[3] = rec & 0xFF, p[4] = (rec >> 8) & 0xFF, p[5] = (rec >> 16) & 0xFF;
      }
    }
  };
  const char* sizes[] = {"tpvw", "tlrg", "tmed", "tsml"};
  for (int step = 0; step < kSteps; ++step) {
    const int op = static_cast<int>(rng() % 100);
    if (op < 55) {
      // A click: on a cell or its margin, with a modifier now and then.
      const int ts = b->ThumbSize();
      if (b->ntcols < 1) continue;
      const int row = static_cast<int>(rng() % std::max(1, b->ntrows + 1));
      const int col = static_cast<int>(rng() % (b->ntcols + 1));
      const int dx = static_cast<int>(rng() % (ts + 24)) - 4,
                dy = static_cast<int>(rng() % (ts + 40)) - 4;
      const int x = col * (ts + 24) + 24 + dx, y = row * (16 + ts + 24) + 24 + dy;
      if (x >= b->GetWidth() - 15 || y >= b->GetHeight()) continue;
      // The light cell holding the point: (left - 8, top - 8) to (left + ts + 8,
      // top + ts + 16 + 8) of a cell in use.
      int rec = -1;
      for (int r = std::max(0, row - 1); r <= row + 1 && r < b->ntrows; ++r)
        for (int c = std::max(0, col - 1); c <= col + 1 && c < b->ntcols; ++c) {
          const int left = c * (ts + 24) + 24, top = r * (16 + ts + 24) + 24;
          if (x >= left - 8 && x < left + ts + 8 && y >= top - 8 && y < top + ts + 24 &&
              r * b->ntcols + c < b->ThumbCount())
            rec = b->topleftIndex + r * b->ntcols + c;
        }
      const int m = static_cast<int>(rng() % 6);
      const UInt32 mods = m == 4 ? UInt32{shiftKey} : m == 5 ? UInt32{cmdKey} : 0u;
      now += (rng() % 10) * 0.1;
      EventRef ev = nullptr;
      CreateEvent(kEventClassWindow, kEventWindowClickContentRgn, now, &ev);
      ASSERT_TRUE(b->Click(
          Point{static_cast<short>(b->extent.top + y), static_cast<short>(b->extent.left + x)},
          static_cast<unsigned short>(mods), ev));
      ReleaseEvent(ev);
      if (lastUp > 0 && now - lastUp <= 0.4 && std::abs(x - lastX) <= GetDblDistance() &&
          std::abs(y - lastY) <= GetDblDistance()) {
        // A double click: the selection stays.
      } else {
        lastUp = now;
        lastX = x;
        lastY = y;
        if (mods == shiftKey) {
          if (rec >= 0) {
            model[rec] = true;
            int from = rec - 1;
            while (from >= 0 && !model[from]) --from;
            if (from >= 0) {
              for (int i = from; i < rec; ++i) model[i] = true;
            } else {
              int to = rec + 1;
              while (to < kRecords && !model[to]) ++to;
              if (to < kRecords)
                for (int i = rec; i < to; ++i) model[i] = true;
            }
          }
        } else if (mods == cmdKey) {
          if (rec >= 0) model[rec] = !model[rec];
        } else {
          if (rec < 0 || !model[rec]) std::fill(model.begin(), model.end(), false);
          if (rec >= 0) model[rec] = true;
        }
      }
    } else if (op < 70) {
      b->ScrollDown(static_cast<int>(rng() % 21) - 10);
    } else if (op < 85) {
      b->Wheel(
          Point{static_cast<short>(b->extent.top + 50), static_cast<short>(b->extent.left + 50)}, 0,
          static_cast<int>(rng() % 7) - 3, nullptr);
    } else if (op < 93) {
      SizeWindow(mw->GetWindow(), static_cast<short>(700 + rng() % 500),
                 static_cast<short>(450 + rng() % 350), true);
      mw->Redraw();
    } else {
      const char* s = sizes[rng() % 4];
      mw->SetThumbSize(FourCC({s[0], s[1], s[2], s[3], 0}), false);
    }
    stampAndCheck(step);
    if (step % 97 == 0 || step == kSteps - 1) {
      for (int i = 0; i < kRecords; ++i)
        ASSERT_EQ(ctx->IsSelected(i), model[i]) << i << " at " << step;
    }
  }
}

}  // namespace
