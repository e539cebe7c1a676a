// Helpers of the image window's tests: the interface made as start-up makes it, the window
// object, real pictures from the shared test data and synthetic ones written at test time.
#pragma once

#include <QScrollBar>
#include <cstring>
#include <string>

#include "app/image/pimagedrawer.h"
#include "app/image/pimagewin.h"
#include "apptest.h"
#include "formats/exrformat.h"
#include "formats/stdformats.h"
#include "formats/tiffimg.h"
#include "platform/pevent.h"
#include "testutil/file_bytes.h"

inline std::string TestData(const std::string& rel) {
  return std::string(LUMERIN_TESTDATA) + "/" + rel;
}

inline bool HaveTestData() {
  return access(TestData("jpeg/landscape_1.jpg").c_str(), R_OK) == 0;
}

#define NEED_TESTDATA() \
  if (!HaveTestData()) GTEST_SKIP() << "no test pictures at " LUMERIN_TESTDATA

// An 8-bit RGB TIFF of w x h: red rises along x, green along y, blue is a checker.
inline bool WriteTestTiff(const std::string& path, int w, int h) {
  _ImgStruct im = {};
  im.xres = w;
  im.yres = h;
  im.csp = &ICS_sRGB;
  if (!PnewImage(&im, 0)) return false;
  for (int y = 0; y < h; ++y) {
    uint8_t* p = im.img + static_cast<size_t>(y) * im.rowsize;
    for (int x = 0; x < w; ++x, p += 3) {
      p[0] = static_cast<uint8_t>(x * 255 / w);
      p[1] = static_cast<uint8_t>(y * 255 / h);
      p[2] = static_cast<uint8_t>(((x / 8) ^ (y / 8)) & 1 ? 200 : 40);
    }
  }
  _ImgWriteBuf wb;
  PsetWriteBuf(&wb, &im);
  const bool ok = IWInterfaceTIFF.WriteImage(path.c_str(), &wb) > 0;
  PfreeImage(&im);
  return ok;
}

// The first half of a float RGB picture of w x h as writer writes it at path (where the whole
// stays): its header whole, its pixels cut. Empty when it cannot be written.
inline std::string CutPicture(const _ImgWriterInterface& writer, const std::string& path, int w,
                              int h) {
  std::vector<float> px(static_cast<size_t>(w) * h * 3);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<float>(i % 89) / 8.0f;
  _ImgStruct im = {};
  im.xres = w;
  im.yres = h;
  im.csp = &ICS_RGB709;
  im.rowsize = static_cast<int32_t>(w * 3 * sizeof(float));
  im.img = reinterpret_cast<uint8_t*>(px.data());
  _ImgWriteBuf wb;
  PsetWriteBuf(&wb, &im);
  if (writer.WriteImage(path.c_str(), &wb) <= 0) return "";
  const std::string whole = ReadAll(path);
  return whole.substr(0, whole.size() / 2);
}

class ImageWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (unsigned c = DMCmemory; c < DMCnerr; ++c) dmessage_class_flags[c] &= ~DMAstderr;
    PloadStandardReaders();
    ASSERT_EQ(app.status, 0);
    w = static_cast<PImageWindow*>(gImager);
    ASSERT_NE(w->GetWindow(), nullptr);
    dmessage_alert = nullptr;  // no alert dialog waits in these tests
  }
  void TearDown() override {
    if (manual) SetManualPlatformClock(false);
  }
  // The window's content size for a rendering area of rw x rh.
  void SizePane(int rw, int rh) {
    const int panel = w->controlPanel->GetHeight();
    SizeWindow(w->GetWindow(), static_cast<short>(rw + PImageDrawer::kBar),
               static_cast<short>(panel + rh + PImageDrawer::kBar), true);
    w->PWindowHandlerBase::Redraw();
  }
  void ManualClock() {
    SetManualPlatformClock(true);
    manual = true;
  }
  std::string Temp(const std::string& name) const { return home.path() + "/" + name; }
  std::string Title() const {
    char buf[256];
    UInt32 n = 0;
    GetWindowTitle(w->GetWindow(), buf, sizeof buf - 1, &n);
    buf[n < sizeof buf ? n : sizeof buf - 1] = 0;
    return buf;
  }
  std::string Readout() const { return TextOf(w->GetWindow(), "imag", 137); }

  TempHome home;
  AppInterface app;
  PImageWindow* w = nullptr;
  bool manual = false;
};
