// The two small windows beside the image window: the histogram of the current image (over the
// selection when one is shown) with its statistics, and the false-colour legend with its colour
// bar, value labels and typed limits.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "app/core/papp.h"
#include "app/core/pcmds.h"
#include "app/core/pdialogs.h"
#include "app/core/phandlers.h"
#include "app/core/pseam.h"
#include "app/image/pforms.h"
#include "app/image/pimagewin.h"
#include "app/image/phistogram.h"
#include "platform/pqt.h"
#include "support/cnumber.h"
#include "toolkit/pctltext.h"

namespace {

ControlRef Control(WindowRef w, OSType sig, SInt32 id) {
  return PcontrolOf(w, sig, id);
}

void PutText(ControlRef c, const char* fmt, double v) {
  char text[64];
  Csnprintf(text, sizeof text, fmt, v);
  PutControlText(c, text);
}

// A typed limit: the whole text (blanks around it allowed) must be a finite number.
bool ReadLimit(ControlRef c, double* v) {
  char text[65];
  if (c == nullptr || GetControlText(c, text, sizeof text, false) == nullptr) return false;
  errno = 0;
  char* end = nullptr;
  const double d = Cstrtod(text, &end);
  if (end == text || errno == ERANGE || !std::isfinite(d)) return false;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') return false;
  *v = d;
  return true;
}

// The plot area of the histogram window and the colour bar of the legend.
constexpr int kPlotTop = 19, kPlotLeft = 22, kPlotBottom = 110, kPlotRight = 280;
constexpr int kBarLeft = 20, kBarWidth = 81, kBarBottom = 287;

}  // namespace

PHistoStats PhistoStats(const unsigned int* h, int nbins) {
  PHistoStats s;
  s.first = nbins;
  double s1 = 0, s2 = 0;
  for (int b = 0; b < nbins; ++b) {
    if (h[b] == 0) continue;
    s.n += h[b];
    s1 += static_cast<double>(b) * h[b];
    s2 += static_cast<double>(b) * b * h[b];
    if (h[b] > s.hmax) s.hmax = h[b];
    if (s.first == nbins) s.first = b;
    s.last = b + 1;
  }
  if (s.n == 0) return s;
  const double n = static_cast<double>(s.n);
  s.mean = s1 / n;
  // One sample has no spread; rounding must not make a variance below zero.
  const double var = s.n > 1 ? (s2 - s1 * s1 / n) / (n - 1) : 0.0;
  s.sd = var > 0 ? std::sqrt(var) : 0.0;
  long long c = static_cast<long long>(s.n / 2);
  int b = 0;
  while (b < nbins && c >= 0) c -= h[b++];
  s.median = b - 0.5;
  return s;
}

bool PhistoLogScale(int chan, bool hdr, double lo, double hi) {
  // The logarithmic scale needs finite limits with 0 < lo < hi.
  return chan == PHCluminance && hdr && lo > 0 && hi > lo && std::isfinite(hi);
}

int PImageWindow::UpdateHistogram(int chan) {
  WindowRef hw = gHistoWindow;
  if (hw == nullptr || !IsWindowVisible(hw) || saving) return 0;
  const OSType sig = kCmdHistogram;
  ControlRef popup = Control(hw, sig, 130);
  ControlRef avg = Control(hw, sig, 132), spread = Control(hw, sig, 133);
  ControlRef tmin = Control(hw, sig, 134), tmed = Control(hw, sig, 136);
  ControlRef tmax = Control(hw, sig, 138), tlo = Control(hw, sig, 140);
  ControlRef thi = Control(hw, sig, 142);
  const QRect plot(kPlotLeft, kPlotTop, kPlotRight - kPlotLeft, kPlotBottom - kPlotTop);
  {
    PortPainter p(GetWindowPort(hw));
    if (p.isActive()) p.fillRect(plot, Qt::white);
  }
  for (ControlRef c : {avg, spread, tmin, tmed, tmax, tlo, thi})
    if (c != nullptr) ClearControlText(c);
  if (chan >= PHCluminance && chan <= PHCblue) {
    if (popup != nullptr) SetControlValue(popup, chan + 1);
  } else {
    chan = popup != nullptr ? GetControlValue(popup) - 1 : PHCluminance;
    if (chan < PHCluminance || chan > PHCblue) chan = PHCluminance;
  }
  if (!Ready()) return 0;
  PImageRing* ir = iring;
  PutControlText(avg, "Calculating...");
  checkEvents(0.0);
  // The events pumped may have closed or changed the image.
  if (!Ready() || iring != ir || !IsWindowVisible(hw)) return 0;
  double lim[2] = {0, 0};
  unsigned int hist[256];
  // Over the selection the readout names: the outlined one, or one too small to outline.
  const bool sel = HasSelection() || ir->SomeSelected() > 0;
  if (!ir->GetHistogram(lim, hist, 256, static_cast<PHistoChan>(chan), sel)) {
    PutControlText(avg, "Error");
    return 0;
  }
  const double lo = lim[0], hi = lim[1];
  const bool logScale = PhistoLogScale(chan, ir->IsHDR(), lo, hi);
  auto value = [&](double pos) {
    return logScale ? lo * std::pow(hi / lo, pos / 256) : lo + pos / 256 * (hi - lo);
  };
  const PHistoStats s = PhistoStats(hist, 256);
  ClearControlText(avg);
  if (s.n > 0) {
    // The average luminance is the spot meter's: the mean over the same pixels, not the value
    // at the mean bin (a mean of logarithms on the logarithmic scale).
    double mean = value(s.mean);
    if (chan == PHCluminance) {
      const _ImgRect all = {0, ir->ior.xres, 0, ir->ior.yres};
      const double m = ir->AvgLuminance(sel && ir->SomeSelected() > 0 ? nullptr : &all);
      if (m > 0 && std::isfinite(m)) mean = m;
    }
    PutText(avg, "%.3g", mean);
    if (logScale)
      PutText(spread, "%.2gx", (hi / lo - 1) * s.sd / 256);
    else
      PutText(spread, "%.3g", (hi - lo) * s.sd / 256);
    PutText(tmed, "%.3g", value(s.median));
    PutText(tmin, "%.3g", value(s.first));
    PutText(tmax, "%.3g", value(s.last));
  }
  PutText(tlo, "%.3g", lo);
  PutText(thi, "%.3g", hi);
  PortPainter p(GetWindowPort(hw));
  if (!p.isActive()) return 1;
  p.setPen(Qt::black);
  if (s.hmax > 0)
    for (int b = 0; b < 256; ++b) {
      if (hist[b] == 0) continue;
      // The fullest bin is 86 pixels tall, standing on row 106.
      const int len = static_cast<int>(static_cast<unsigned long long>(hist[b]) * 86 / s.hmax);
      if (len > 0) p.fillRect(b + 23, 107 - len, 1, len, Qt::black);
    }
  if (logScale) {
    const double step = 256 / std::log10(hi / lo);
    if (std::isfinite(step) && step > 0) {
      const double l = std::log10(lo);
      for (double x = (std::ceil(l) - l) * step + 23; x <= 279; x += step)
        p.fillRect(static_cast<int>(x + 0.5), 108, 1, 2, Qt::black);
    }
  }
  return 1;
}

int PImageWindow::UpdateFCLegend(int how) {
  static unsigned char(*displayFCS)[3] = nullptr;
  WindowRef fw = gFCWindow;
  if (saving) return 0;  // redrawn after the save
  if (!Ready() || iring->fcs == nullptr) {
    if (fw != nullptr) HideWindow(fw);
    return 0;
  }
  if (fw == nullptr) return 0;
  const OSType sig = kSigFalseColor;
  if (how >= 1) {
    double lower = 0, upper = 0;
    if (how == 2) {
      if (!ReadLimit(Control(fw, sig, 132), &lower) || !ReadLimit(Control(fw, sig, 139), &upper)) {
        DMESSAGE(DMCinput, "Legend limits must be numbers");
        return 0;
      }
      if (!(lower < upper)) {
        DMESSAGE(DMCinput, "The lower limit must be below the upper one");
        return 0;
      }
    }
    iring->FalseColorOn(upper, lower);
    Redraw();
    return 1;
  }
  if (how == -1) displayFCS = nullptr;
  if (!IsWindowVisible(fw)) {
    ShowWindow(fw);  // its drawing event fills it
    return 1;
  }
  if (ControlRef c = Control(fw, sig, 141)) SetControlValue(c, iring->fcManual == 0 ? 1 : 0);
  double lim[2] = {0, 0};
  iring->GetFCLimits(lim);
  const double mn = lim[0], mx = lim[1];
  const bool linear = mn <= 1e-9;
  const char* fmt = mx < 50 ? "%.1f" : mx < 500 ? "%.0f" : "%.1e";
  for (int i = 7; i >= 0; --i) {
    ControlRef c = Control(fw, sig, 132 + i);
    if (c == nullptr) continue;
    if (!linear)
      PutText(c, "%.2g", mn * std::pow(mx / mn, i / 7.0));
    else if (i == 0)
      PutControlText(c, "0");
    else
      PutText(c, fmt, mx * i / 7);
  }
  unsigned char(*scale)[3] = iring->fcs->scale;
  if (scale == displayFCS) return 1;
  displayFCS = scale;
  if (scale == nullptr) return 1;
  PortPainter p(GetWindowPort(fw));
  if (!p.isActive()) return 1;
  for (int c = 255; c >= 0; --c)
    p.fillRect(kBarLeft, kBarBottom - c, kBarWidth, 1,
               QColor(scale[c][0], scale[c][1], scale[c][2]));
  return 1;
}

const EventTypeSpec histoEventSpec[4] = {{kEventClassCommand, kEventCommandProcess},
                                         {kEventClassCommand, kEventCommandUpdateStatus},
                                         {kEventClassWindow, kEventWindowClose},
                                         {kEventClassWindow, kEventWindowShown}};
const EventTypeSpec fcEventSpec[6] = {{kEventClassCommand, kEventCommandProcess},
                                      {kEventClassCommand, kEventCommandUpdateStatus},
                                      {kEventClassWindow, kEventWindowClose},
                                      {kEventClassWindow, 200},
                                      {kEventClassWindow, 201},
                                      {kEventClassWindow, kEventWindowShown}};

namespace {

// A menu command (or its menu update) that the histogram or false-colour window does not take
// goes to the image window they belong to, and from there to the application, as if the image
// window were in front: the image window's items stay live while one of them is.
OSStatus ToImageWindow(EventRef event) {
  WindowRef w = gImager != nullptr ? gImager->GetWindow() : nullptr;
  if (w == nullptr || GetEventClass(event) != kEventClassCommand) return eventNotHandledErr;
  return SendEventToEventTarget(event, GetWindowEventTarget(w));
}

}  // namespace

OSStatus HistoEventHandler(EventHandlerCallRef, EventRef event, void* userData) {
  if (GetEventClass(event) == kEventClassWindow) {
    if (GetEventKind(event) == kEventWindowClose) {
      HideWindow(static_cast<WindowRef>(userData));
      return noErr;
    }
    if (GetEventKind(event) == kEventWindowShown && gImager) gImager->UpdateHistogram(-1);
    return eventNotHandledErr;
  }
  if (GetEventKind(event) != kEventCommandProcess) return ToImageWindow(event);
  static const UInt32 chans[5] = {kCmdHistoLuminance, kCmdHistoRGB, kCmdHistoRed, kCmdHistoGreen,
                                  kCmdHistoBlue};
  const UInt32 cmd = PeventCommand(event);
  for (int i = 0; i < 5; ++i)
    if (cmd == chans[i]) {
      if (gImager) gImager->UpdateHistogram(i);
      return noErr;
    }
  return ToImageWindow(event);
}

OSStatus FCEventHandler(EventHandlerCallRef, EventRef event, void* userData) {
  WindowRef w = static_cast<WindowRef>(userData);
  if (GetEventClass(event) == kEventClassCommand) {
    if (GetEventKind(event) != kEventCommandProcess) return ToImageWindow(event);
    const UInt32 cmd = PeventCommand(event);
    if (cmd != kCmdFalseColorAuto && cmd != kCmdFalseColorSet) return ToImageWindow(event);
    if (gImager) gImager->UpdateFCLegend(cmd == kCmdFalseColorAuto ? 1 : 2);
    return noErr;
  }
  if (GetEventClass(event) != kEventClassWindow) return eventNotHandledErr;
  switch (GetEventKind(event)) {
    case kEventWindowClose:
      HideWindow(w);
      if (gImager) gImager->FalseColor(false);
      return noErr;
    case kEventWindowShown:
      if (gImager) gImager->UpdateFCLegend(-1);
      return eventNotHandledErr;
    case 200:
      PsetDefaultButton(w, kSigFalseColor, 140);
      return noErr;
    case 201:
      PsetDefaultButton(w, kSigFalseColor, 0);
      return noErr;
    default:
      return eventNotHandledErr;
  }
}
