// The histogram and false-colour legend windows beside the image window: statistics against a
// model over random histograms, and both windows' pixels and texts through their real widgets.
#include <QDir>
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "app/core/papp.h"
#include "app/image/pforms.h"
#include "app/image/phistogram.h"
#include "imagetest.h"
#include "support/cnumber.h"
#include "tonemap/falsecolor.h"

namespace {

TEST(HistoStats, MatchSortedSamples) {
  std::mt19937 rng(7);
  for (int round = 0; round < 400; ++round) {
    unsigned int h[256] = {};
    std::vector<int> samples;
    const int kinds = round % 4 == 0 ? 1 : 1 + static_cast<int>(rng() % 12);
    const int n = round % 50 == 0 ? 0 : round % 7 == 0 ? 1 : static_cast<int>(rng() % 3000);
    std::vector<int> bins(kinds);
    for (int& b : bins) b = static_cast<int>(rng() % 256);
    for (int i = 0; i < n; ++i) {
      const int b = bins[rng() % kinds];
      ++h[b];
      samples.push_back(b);
    }
    std::sort(samples.begin(), samples.end());
    const PHistoStats s = PhistoStats(h, 256);
    ASSERT_EQ(s.n, samples.size());
    if (n == 0) {
      EXPECT_EQ(s.first, 256);
      EXPECT_EQ(s.last, 0);
      EXPECT_EQ(s.hmax, 0u);
      continue;
    }
    double mean = 0, ss = 0;
    for (int v : samples) mean += v;
    mean /= n;
    for (int v : samples) ss += (v - mean) * (v - mean);
    EXPECT_NEAR(s.mean, mean, 1e-9);
    EXPECT_NEAR(s.sd, n > 1 ? std::sqrt(ss / (n - 1)) : 0.0, 1e-6);
    EXPECT_TRUE(std::isfinite(s.sd));
    EXPECT_EQ(s.median, samples[n / 2] + 0.5);
    EXPECT_EQ(s.first, samples.front());
    EXPECT_EQ(s.last, samples.back() + 1);
  }
  // The logarithmic scale only over finite limits with 0 < lo < hi, for HDR luminance.
  EXPECT_TRUE(PhistoLogScale(PHCluminance, true, 0.01, 100));
  EXPECT_FALSE(PhistoLogScale(PHCluminance, true, 0, 100));
  EXPECT_FALSE(PhistoLogScale(PHCluminance, true, 5, 5));
  EXPECT_FALSE(PhistoLogScale(PHCluminance, true, 1, INFINITY));
  EXPECT_FALSE(PhistoLogScale(PHCluminance, false, 0.01, 100));
  EXPECT_FALSE(PhistoLogScale(PHCred, true, 0.01, 100));
}

QImage Grab(WindowRef win, const char* shot) {
  QWidget* content = PlatformContentWidget(win);
  QImage im = content->grab().toImage().convertToFormat(QImage::Format_RGB32);
  QDir().mkpath(LUMERIN_SHOTS);
  im.save(QString(LUMERIN_SHOTS "/") + shot);
  return im;
}

bool Black(const QImage& im, int x, int y) {
  return (im.pixel(x, y) & 0xffffff) == 0;
}

TEST_F(ImageWindowTest, HistogramWindowPlotsTheCurrentImage) {
  NEED_TESTDATA();
  ASSERT_TRUE(w->AddImage(TestData("hdr/desk_oiiotool_rle.hdr").c_str()));
  ASSERT_TRUE(w->Present());
  EXPECT_EQ(w->UpdateHistogram(0), 0);  // hidden
  ShowWindow(gHistoWindow);
  ASSERT_EQ(SendCommand("hlum", kEventCommandProcess, GetWindowEventTarget(gHistoWindow)), noErr);
  EXPECT_EQ(GetControlValue(ControlOf(gHistoWindow, "hist", 130)), 1);
  double lim[2];
  unsigned int h[256];
  ASSERT_TRUE(w->iring->GetHistogram(lim, h, 256, PHCluminance, false));
  ASSERT_GT(lim[0], 0);
  const QImage im = Grab(gHistoWindow, "histogram_luminance.png");
  const unsigned int hmax = *std::max_element(h, h + 256);
  int fullest = -1;
  for (int b = 0; b < 256; ++b) {
    const int len = static_cast<int>(static_cast<unsigned long long>(h[b]) * 86 / hmax);
    if (h[b] == hmax) fullest = b;
    for (int y = 20; y <= 106; ++y) ASSERT_EQ(Black(im, b + 23, y), y > 106 - len) << b << " " << y;
  }
  ASSERT_GE(fullest, 0);
  EXPECT_TRUE(Black(im, fullest + 23, 21));  // 86 pixels tall
  EXPECT_FALSE(Black(im, fullest + 23, 20));
  // Decade ticks at the computed positions, nothing else on their rows.
  const double step = 256 / std::log10(lim[1] / lim[0]);
  std::vector<bool> tick(300, false);
  for (double x = (std::ceil(std::log10(lim[0])) - std::log10(lim[0])) * step + 23; x <= 279;
       x += step)
    tick[static_cast<int>(x + 0.5)] = true;
  EXPECT_GE(std::count(tick.begin(), tick.end(), true), 2);
  for (int x = 22; x < 280; ++x) {
    EXPECT_EQ(Black(im, x, 109), tick[x]) << x;
    EXPECT_EQ(Black(im, x, 108), tick[x]) << x;
    EXPECT_FALSE(Black(im, x, 107));
  }
  char text[32];
  Csnprintf(text, sizeof text, "%.3g", lim[1]);
  EXPECT_EQ(TextOf(gHistoWindow, "hist", 142), text);
  EXPECT_EQ(TextOf(gHistoWindow, "hist", 133).back(), 'x');
  const double avg = Catof(TextOf(gHistoWindow, "hist", 132).c_str());
  EXPECT_GT(avg, lim[0]);
  EXPECT_LT(avg, lim[1]);
  // A colour channel: linear, no ticks; -1 keeps the channel the window shows.
  ASSERT_EQ(SendCommand("hred", kEventCommandProcess, GetWindowEventTarget(gHistoWindow)), noErr);
  EXPECT_EQ(w->UpdateHistogram(-1), 1);
  EXPECT_EQ(w->UpdateHistogram(9), 1);
  EXPECT_EQ(GetControlValue(ControlOf(gHistoWindow, "hist", 130)), 3);
  const QImage red = Grab(gHistoWindow, "histogram_red.png");
  for (int x = 22; x < 280; ++x) EXPECT_FALSE(Black(red, x, 109));
  EXPECT_EQ(TextOf(gHistoWindow, "hist", 133).find('x'), std::string::npos);
  // Without an image: an empty window.
  ASSERT_TRUE(w->CloseImage(false));
  EXPECT_EQ(w->UpdateHistogram(-1), 0);
  EXPECT_EQ(TextOf(gHistoWindow, "hist", 132), "");
  HideWindow(gHistoWindow);
}

TEST_F(ImageWindowTest, LegendFollowsFalseColourAndTypedLimits) {
  NEED_TESTDATA();
  ASSERT_TRUE(w->AddImage(TestData("hdr/desk_oiiotool_rle.hdr").c_str()));
  ASSERT_TRUE(w->Present());
  EXPECT_EQ(w->UpdateFCLegend(0), 0);
  EXPECT_FALSE(IsWindowVisible(gFCWindow));
  ASSERT_TRUE(w->FalseColor(true));
  ASSERT_TRUE(IsWindowVisible(gFCWindow));
  EXPECT_EQ(w->UpdateFCLegend(-1), 1);
  EXPECT_EQ(GetControlValue(ControlOf(gFCWindow, "fclr", 141)), 1);
  // Eight labels from the bottom of the scale up, in the format the upper limit asks for.
  auto labels = [&](const char* want7) {
    double lim[2];
    w->iring->GetFCLimits(lim);
    ASSERT_GT(lim[1], 0);
    const char* fmt = lim[1] < 50 ? "%.1f" : lim[1] < 500 ? "%.0f" : "%.1e";
    for (int i = 0; i < 8; ++i) {
      char text[32] = "0";
      if (lim[0] > 1e-9)
        Csnprintf(text, sizeof text, "%.2g", lim[0] * std::pow(lim[1] / lim[0], i / 7.0));
      else if (i > 0)
        Csnprintf(text, sizeof text, fmt, lim[1] * i / 7);
      EXPECT_EQ(TextOf(gFCWindow, "fclr", 132 + i), text) << i;
    }
    // The format shows: one decimal, none, or an exponent.
    if (want7) {
      const std::string top = TextOf(gFCWindow, "fclr", 139);
      if (*want7)
        EXPECT_NE(top.find(want7), std::string::npos) << top;
      else
        EXPECT_EQ(top.find_first_of(".e"), std::string::npos) << top;
    }
  };
  labels(nullptr);
  const QImage im = Grab(gFCWindow, "legend.png");
  unsigned char(*scale)[3] = w->iring->fcs->scale;
  for (int c = 0; c < 256; ++c)
    for (int x : {20, 60, 100})
      ASSERT_EQ(im.pixel(x, 287 - c) & 0xffffff,
                qRgb(scale[c][0], scale[c][1], scale[c][2]) & 0xffffffu)
          << c;
  // Typed limits: whole finite numbers with lower < upper, else refused.
  auto typed = [&](const char* lo, const char* hi) {
    PutControlText(ControlOf(gFCWindow, "fclr", 132), lo);
    PutControlText(ControlOf(gFCWindow, "fclr", 139), hi);
    return w->UpdateFCLegend(2);
  };
  for (auto bad : {std::make_pair("abc", "10"), std::make_pair("1", "1e999"),
                   std::make_pair("5", "5"), std::make_pair("1", "10x")}) {
    EXPECT_EQ(typed(bad.first, bad.second), 0) << bad.first << " " << bad.second;
    EXPECT_EQ(w->iring->fcManual, 0);
  }
  EXPECT_EQ(typed("0", "40"), 1);
  labels(".");
  EXPECT_EQ(typed("0", "100"), 1);
  labels("");
  EXPECT_EQ(typed("0", "1000"), 1);
  labels("e+0");
  EXPECT_EQ(typed("1", "1000"), 1);
  EXPECT_EQ(w->iring->fcManual, 1);
  EXPECT_EQ(GetControlValue(ControlOf(gFCWindow, "fclr", 141)), 0);
  EXPECT_EQ(TextOf(gFCWindow, "fclr", 139), "1e+03");
  EXPECT_EQ(TextOf(gFCWindow, "fclr", 135), "19");  // 1000^(3/7)
  ASSERT_EQ(SendCommand("fcas", kEventCommandProcess, GetWindowEventTarget(gFCWindow)), noErr);
  EXPECT_EQ(w->iring->fcManual, 0);
  // Closing the legend ends false colour; then the legend stays hidden.
  PlatformFrameWidget(gFCWindow)->close();
  EXPECT_EQ(w->iring->fcs, nullptr);
  EXPECT_EQ(w->UpdateFCLegend(0), 0);
  EXPECT_FALSE(IsWindowVisible(gFCWindow));
}

}  // namespace
