// The image pane through QTest: scroll bars, the corner square, the wheel, dragging, the rubber
// band with its grabbed edges and readout, the outline's smallest size and a cancelled drag.
#include <QProcess>
#include <QRegularExpression>
#include <QWheelEvent>
#include <functional>
#include <random>

#include "app/image/pforms.h"
#include "imagetest.h"
#include "support/cnumber.h"

namespace {

class ImagePane : public ImageWindowTest {
 protected:
  QWidget* Content() const { return PlatformContentWidget(w->GetWindow()); }
  // A pane point (view coordinates) in the window.
  QPoint At(int x, int y) const { return QPoint(w->imd->extent.left + x, w->imd->extent.top + y); }
  // Presses at from, moves through the points one event loop turn apart, then releases at the
  // last one (or presses Escape instead).
  void Drag(QPoint from, std::vector<QPoint> path, bool cancel = false,
            Qt::KeyboardModifiers mods = {}) {
    const Qt::MouseButton b = Qt::LeftButton;
    QWidget* c = Content();
    std::function<void(size_t)> step = [=, &step](size_t i) {
      if (i < path.size()) {
        QTest::mouseMove(c, path[i]);
        QTimer::singleShot(0, [&step, i] { step(i + 1); });
      } else if (cancel) {
        QTest::keyClick(c, Qt::Key_Escape);
      } else {
        QTest::mouseRelease(c, b, {}, path.empty() ? from : path.back());
      }
    };
    QTimer::singleShot(0, [&step] { step(0); });
    QTest::mousePress(c, b, mods, from);
    if (cancel) QTest::mouseRelease(c, b, {}, path.empty() ? from : path.back());
  }
  void Wheel(QPoint at, int notches) {
    static quint64 stamp = 1000;
    QWheelEvent ev(at, Content()->mapToGlobal(at), QPoint(), QPoint(0, 120 * notches), Qt::NoButton,
                   Qt::NoModifier, Qt::NoScrollPhase, false);
    ev.setTimestamp(++stamp);
    QApplication::sendEvent(Content(), &ev);
  }
  int OffV() const {
    int off[2];
    w->iring->GetOffset(off);
    return off[1];
  }
  // The four numbers of "(a,b)/(c,d)" at the end of the readout.
  std::vector<int> Coords() const {
    QRegularExpression re("\\((-?\\d+),(-?\\d+)\\)/\\((-?\\d+),(-?\\d+)\\)");
    auto m = re.match(QString::fromStdString(Readout()));
    if (!m.hasMatch()) return {};
    return {m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(),
            m.captured(4).toInt()};
  }
};

TEST_F(ImagePane, BarsWheelCornerAndDrag) {
  NEED_TESTDATA();
  ASSERT_TRUE(w->AddImage(TestData("hdr/desk_oiiotool_rle.hdr").c_str()));  // 644 x 874
  ASSERT_TRUE(w->Present());
  // At fit both bars are off and scrolling does nothing.
  EXPECT_FALSE(IsControlEnabled(w->imd->horizScroll));
  EXPECT_FALSE(IsControlEnabled(w->imd->vertScroll));
  EXPECT_FALSE(w->imd->MoveScroll(0.5f, 0.5f));
  w->SetZoom(8);  // 1/1: narrower than the pane, taller
  w->Redraw();
  EXPECT_FALSE(IsControlEnabled(w->imd->horizScroll));
  EXPECT_EQ(GetControlValue(w->imd->horizScroll), 50);
  ASSERT_TRUE(IsControlEnabled(w->imd->vertScroll));
  w->iring->SetOffset(40, 0);
  w->Redraw();
  int off[2];
  w->iring->GetOffset(off);
  EXPECT_EQ(off[0], 0);  // clamped on the axis without room
  const int step = static_cast<int>(w->imd->GetRHeight() * 0.15f);
  // One wheel notch down scrolls by 0.15 of the view, up scrolls back.
  Wheel(At(100, 100), -1);
  EXPECT_EQ(OffV(), step);
  Wheel(At(100, 100), 1);
  EXPECT_EQ(OffV(), 0);
  // The vertical bar's thumb dragged down.
  QWidget* vbar = PlatformControlWidget(w->imd->vertScroll);
  const QPoint thumb(vbar->width() / 2, vbar->height() / 2);
  QTimer::singleShot(0, [vbar, thumb] {
    QTest::mouseMove(vbar, thumb + QPoint(0, 120));
    QTest::mouseRelease(vbar, Qt::LeftButton, {}, thumb + QPoint(0, 120));
  });
  QTest::mousePress(vbar, Qt::LeftButton, {}, thumb);
  const int v = GetControlValue(w->imd->vertScroll);
  EXPECT_GT(v, 50);
  const int vlim = (874 - w->imd->curImg.yres) / 2;
  // (The bar shows the offset again after the redraw, rounded.)
  EXPECT_NEAR(OffV(), std::min(vlim, (874 - w->imd->GetRHeight()) * (v - 50) / 100), 4);
  Wheel(At(100, 100), 20);
  EXPECT_EQ(OffV(), -vlim);
  // The corner square: the horizontal bar is off, so nothing moves.
  const Rect& e = w->imd->extent;
  QTest::mouseClick(Content(), Qt::LeftButton, {}, QPoint(e.right - 4, e.bottom - 4));
  EXPECT_EQ(OffV(), -vlim);
  // A drag with Ctrl held moves the image with the hand.
  Drag(At(200, 300), {At(200, 280), At(200, 250)}, false, Qt::ControlModifier);
  EXPECT_NEAR(OffV(), -vlim + 50, 1);
  EXPECT_FALSE(w->HasSelection());
}

TEST_F(ImagePane, RubberBandGrabbedEdgesAndCancel) {
  NEED_TESTDATA();
  const std::string big = Temp("big.tif");
  ASSERT_TRUE(WriteTestTiff(big, 1600, 1200));  // covers the pane at 1/1
  ASSERT_TRUE(w->AddImage(big.c_str()));
  ASSERT_TRUE(w->Present());
  w->SetZoom(8);
  w->Redraw();
  // The smallest outline: more than 99 square pixels.
  w->iring->SelectRect(100, 100, 109, 111);
  EXPECT_FALSE(w->imd->ShowRect(true));
  // Drawn twice, the outline leaves every pixel as it was.
  const UInt32 under = GetPortPixel(w->GetWindow(), At(105, 100).x(), At(105, 100).y());
  w->iring->SelectRect(100, 100, 110, 110);
  EXPECT_TRUE(w->imd->ShowRect(true));
  EXPECT_EQ(GetPortPixel(w->GetWindow(), At(105, 100).x(), At(105, 100).y()), under ^ 0xFFFFFFu);
  EXPECT_FALSE(w->imd->ShowRect(false));
  EXPECT_EQ(GetPortPixel(w->GetWindow(), At(105, 100).x(), At(105, 100).y()), under);
  w->SelectNone();
  // A new selection by the rubber band.
  _ImgRect r;
  Drag(At(100, 100), {At(150, 150), At(250, 200)});
  ASSERT_TRUE(w->iring->GetSelection(&r));
  EXPECT_EQ(r.xleft, 100);
  EXPECT_EQ(r.ytop, 100);
  EXPECT_EQ(r.xright, 250);
  EXPECT_EQ(r.ybottom, 200);
  EXPECT_TRUE(w->HasSelection());
  EXPECT_NE(Readout().find("cd/m2"), std::string::npos) << Readout();
  // Near the left edge only that edge moves.
  Drag(At(103, 150), {At(123, 160)});
  ASSERT_TRUE(w->iring->GetSelection(&r));
  EXPECT_EQ(r.xleft, 120);
  EXPECT_EQ(r.ytop, 100);
  EXPECT_EQ(r.xright, 250);
  // Inside, the whole outline moves.
  Drag(At(180, 150), {At(190, 170)});
  ASSERT_TRUE(w->iring->GetSelection(&r));
  EXPECT_EQ(r.xleft, 130);
  EXPECT_EQ(r.ytop, 120);
  EXPECT_EQ(r.xright, 260);
  EXPECT_EQ(r.ybottom, 220);
  // Farther than 6 pixels outside starts a new one.
  Drag(At(300, 300), {At(350, 340)});
  ASSERT_TRUE(w->iring->GetSelection(&r));
  EXPECT_EQ(r.xleft, 300);
  EXPECT_EQ(r.ybottom, 340);
  // A drag cancelled by Escape keeps the last rectangle applied.
  Drag(At(50, 50), {At(90, 95)}, true);
  ASSERT_TRUE(w->iring->GetSelection(&r));
  EXPECT_EQ(r.xleft, 50);
  EXPECT_EQ(r.xright, 90);
  EXPECT_EQ(r.ybottom, 95);
}

TEST_F(ImagePane, ReadoutInUnrotatedPixels) {
  NEED_TESTDATA();
  // Stored 450 x 600 and turned a quarter clockwise for display: 600 x 450 on screen.
  ASSERT_TRUE(w->AddImage(TestData("jpeg/landscape_6.jpg").c_str()));
  ASSERT_TRUE(w->Present());
  w->SetZoom(8);
  w->Redraw();
  ASSERT_TRUE(w->iring->XYswapped());
  const int left = (w->imd->GetRWidth() - 600) / 2, top = (w->imd->GetRHeight() - 450) / 2;
  // The displayed top-left quarter is the stored picture's bottom-left quarter.
  Drag(At(left, top), {At(left + 300, top + 225)});
  const std::vector<int> c = Coords();
  ASSERT_EQ(c.size(), 4u) << Readout();
  EXPECT_NEAR(c[0], 0, 2);
  EXPECT_NEAR(c[1], 300, 2);
  EXPECT_NEAR(c[2], 225, 2);
  EXPECT_NEAR(c[3], 600, 2);
}

// The mean luminance (cd/m2) of a rectangle of a run-length RGBE picture, computed here from the
// file alone: standard primaries give Y = 0.2126 R + 0.7152 G + 0.0722 B, times 179 lm/W.
const char* const kMeanScript = R"PY(
import sys
path, x0, y0, x1, y1 = sys.argv[1], *map(int, sys.argv[2:6])
data = open(path, 'rb').read()
pos = data.index(b'\n\n') + 2
end = data.index(b'\n', pos)
dims = data[pos:end].split()
h, w = int(dims[1]), int(dims[3])
pos = end + 1
total, n = 0.0, 0
for y in range(h):
    if data[pos] != 2 or data[pos + 1] != 2:
        raise SystemExit('flat scanlines not read here')
    pos += 4
    chans = []
    for c in range(4):
        out = bytearray()
        while len(out) < w:
            k = data[pos]; pos += 1
            if k > 128:
                out += bytes([data[pos]]) * (k - 128); pos += 1
            else:
                out += data[pos:pos + k]; pos += k
        chans.append(out)
    if y0 <= y < y1:
        for x in range(x0, x1):
            e = chans[3][x]
            if e == 0:
                lum = 0.0
            else:
                f = 2.0 ** (e - 136)
                lum = 0.2126 * (chans[0][x] + 0.5) * f + 0.7152 * (chans[1][x] + 0.5) * f + 0.0722 * (chans[2][x] + 0.5) * f
            total += lum; n += 1
print(179.0 * total / n)
)PY";

TEST_F(ImagePane, RgbeReadoutMatchesAnIndependentMean) {
  NEED_TESTDATA();
  const std::string file = TestData("hdr/desk_oiiotool_rle.hdr");
  ASSERT_TRUE(w->AddImage(file.c_str()));
  ASSERT_TRUE(w->Present());
  w->SetZoom(8);
  w->Redraw();
  const int left = (w->imd->GetRWidth() - 644) / 2;
  Drag(At(left + 200, 100), {At(left + 420, 300)});
  const std::string text = Readout();
  const std::vector<int> c = Coords();
  ASSERT_EQ(c.size(), 4u) << text;
  const double shown = Catof(text.c_str());
  QProcess py;
  py.start("python3", {"-c", kMeanScript, QString::fromStdString(file), QString::number(c[0]),
                       QString::number(c[1]), QString::number(c[2]), QString::number(c[3])});
  if (!py.waitForStarted(-1)) GTEST_SKIP() << "python3 is not installed";
  ASSERT_TRUE(py.waitForFinished(60000));
  const double mean = py.readAllStandardOutput().trimmed().toDouble();
  ASSERT_GT(mean, 0) << py.readAllStandardError().toStdString();
  EXPECT_NEAR(shown, mean, 0.02 * mean) << text;
}

// Random rubber bands at three zooms over a picture of scattered luminance: the spot readout
// and the histogram window's average both give the plain mean over the pixels the readout names
// (right and bottom edges excluded). A band wholly in the margin reads nothing, one reaching
// into the picture names only picture pixels, and Select None clears the readout.
TEST_F(ImagePane, SpotAndHistogramAverageReadTheSameRectangle) {
  const int W = 300, H = 200;
  const std::string path = Temp("lum.exr");
  std::vector<float> px(static_cast<size_t>(W) * H * 3);
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  for (float& v : px) v = std::pow(10.0f, -3.0f + 4.0f * u(rng));
  _ImgStruct im = {W, H, &ICS_RGB709, W * 12, nullptr, reinterpret_cast<uint8_t*>(px.data())};
  _ImgWriteBuf wb;
  PsetWriteBuf(&wb, &im);
  ASSERT_GT(IWInterfaceEXR.WriteImage(path.c_str(), &wb), 0);
  // The plain mean of the file's own pixels (the writer keeps half floats).
  _ImgReader* ir = PopenImageF(path.c_str(), 1, nullptr);
  ASSERT_NE(ir, nullptr);
  _ImgReadBuf rb{};
  rb.cs = ICS_RGB709;
  rb.cs.cstatic = 0;
  rb.r = {0, W, 0, H};
  rb.subsample = 1;
  rb.buf = px.data();
  rb.bufsize = px.size() * sizeof(float);
  ASSERT_EQ(ir->ri->ReadRec(ir, &rb), IREnone);
  ir->ri->Close(ir);
  auto mean = [&](int x0, int y0, int x1, int y1) {
    double s = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) {
        const float* p = &px[(static_cast<size_t>(y) * W + x) * 3];
        s += 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2];
      }
    return s / (static_cast<double>(x1 - x0) * (y1 - y0));
  };
  auto average = [] { return Catof(TextOf(gHistoWindow, "hist", 132).c_str()); };
  SizePane(500, 400);
  ASSERT_TRUE(w->AddImage(path.c_str()));
  ASSERT_TRUE(w->Present());
  ShowWindow(gHistoWindow);
  for (short zoom : {8, 10, 5}) {  // 1:1, 2:1, 1:2
    w->SetZoom(zoom);
    w->Redraw();
    const double z = w->iring->GetZoom(nullptr);
    const int left = std::max(0, (w->imd->GetRWidth() - static_cast<int>(W * z)) / 2);
    const int top = std::max(0, (w->imd->GetRHeight() - static_cast<int>(H * z)) / 2);
    for (int k = 0; k < 6; ++k) {
      const int x0 = left + 2 + static_cast<int>(rng() % 60);
      const int y0 = top + 2 + static_cast<int>(rng() % 40);
      Drag(At(x0, y0),
           {At(x0 + 11 + static_cast<int>(rng() % 60), y0 + 9 + static_cast<int>(rng() % 50))});
      const std::string text = Readout();
      const std::vector<int> c = Coords();
      ASSERT_EQ(c.size(), 4u) << text;
      const double want = mean(c[0], c[1], c[2], c[3]);
      EXPECT_NEAR(Catof(text.c_str()) / want, 1.0, 0.008) << text << " at zoom " << z;
      EXPECT_NEAR(average() / want, 1.0, 0.008) << text << " at zoom " << z;
      EXPECT_EQ(text.substr(0, text.find(' ')), TextOf(gHistoWindow, "hist", 132));
    }
  }
  // At 1:1 the picture sits in a margin of the pane. A band of 11 x 9 pixels is too small to
  // outline, yet the histogram follows it as the readout does.
  w->SetZoom(8);
  w->Redraw();
  const int left = (w->imd->GetRWidth() - W) / 2, top = (w->imd->GetRHeight() - H) / 2;
  ASSERT_GT(left, 40);
  w->SelectNone();
  Drag(At(left + 100, top + 50), {At(left + 111, top + 59)});
  EXPECT_FALSE(w->imd->rectShown);
  const std::vector<int> small = Coords();
  ASSERT_EQ(small.size(), 4u) << Readout();
  EXPECT_EQ(small[2] - small[0], 11);
  EXPECT_EQ(small[3] - small[1], 9);
  EXPECT_EQ(Readout().substr(0, Readout().find(' ')), TextOf(gHistoWindow, "hist", 132));
  Drag(At(left - 40, top + 20), {At(left - 5, top + 60)});
  EXPECT_EQ(Readout(), "");
  EXPECT_EQ(w->iring->SomeSelected(), 0);
  Drag(At(left - 30, top + 20), {At(left + 50, top + 60)});
  const std::vector<int> c = Coords();
  ASSERT_EQ(c.size(), 4u) << Readout();
  EXPECT_EQ(c[0], 0) << Readout();  // clipped to the picture; the rest in its pixels
  EXPECT_NEAR(c[1], 20, 1);
  EXPECT_NEAR(c[2], 50, 1);
  EXPECT_NEAR(c[3], 60, 1);
  ASSERT_NE(w->opMenu, nullptr);
  SendCommand("snon", kEventCommandProcess, GetWindowEventTarget(w->GetWindow()));
  EXPECT_EQ(Readout(), "");
  EXPECT_EQ(w->opMenu, nullptr);  // nothing to apply, nothing to undo
  EXPECT_NEAR(average() / mean(0, 0, W, H), 1.0, 0.008);
  HideWindow(gHistoWindow);
}

}  // namespace
