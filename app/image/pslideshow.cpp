// Slide shows of the image window's open images: in ring order, shuffled or at random, once or
// endlessly, in the window or full screen. Each next slide is rendered into the pane's buffer
// while the current one is on view and shown when the redraw timer fires at the end of the
// interval; any use of the window holds the show back or stops it.
#include <cstdlib>
#include <utility>

#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pcmds.h"
#include "app/core/pdialogs.h"
#include "app/image/pforms.h"
#include "app/image/pimagedrawer.h"
#include "app/image/pimagewin.h"
#include "platform/pmenu.h"
#include "platform/pmouse.h"
#include "platform/pwindow.h"

namespace {

enum : int {
  kShowRandom = 4,
  kShowRepeat = 8,
  kShowFull = 16,
  kShowOrder = kShowRandom | kShowRepeat
};

}  // namespace

void PImageWindow::SlideShow() {
  if (!Ready()) return;
  if (showGoing != 0) {
    StopShow();
    return;
  }
  if (ImageCount() < 2 || gShowWindow == nullptr) return;
  const int opts = optionsDialog(gShowWindow, 0, 0, false);
  if (opts < 0) return;
  ControlID cid{kCmdSlideShow, 129};
  ControlRef c = nullptr;
  const double intvl =
      GetControlByID(gShowWindow, &cid, &c) == noErr && c != nullptr ? GetControlValue(c) : 4;
  BeginShow(opts, intvl);
}

void PImageWindow::BeginShow(int opts, double intvl) {
  const int n = ImageCount();
  if (!Ready() || showGoing != 0 || n < 2) return;
  showOpts = opts & (kShowOrder | kShowFull);
  showIntvl = intvl > 0 ? intvl : 0;
  delete[] showShuffle;
  showShuffle = nullptr;
  if ((showOpts & kShowOrder) == kShowRandom) {
    // The current image first; entry 0 never moves.
    showShuffle = new int[n];
    showShuffleLen = n;
    int cur = ImageIndex(nullptr);
    if (cur < 0 || cur >= n) cur = 0;
    for (int i = 0; i < n; ++i) showShuffle[i] = (cur + i) % n;
    for (int i = n - 1; i >= 1; --i) std::swap(showShuffle[random() % i + 1], showShuffle[i]);
  }
  if ((showOpts & kShowOrder) == 0 && irFirst != nullptr && irFirst != iring) {
    Advance(irFirst);
    Redraw();
  }
  WindowRef w = GetWindow();
  if ((showOpts & kShowFull) && w != nullptr && imd != nullptr) {
    GetWindowBounds(w, kWindowContentRgn, &origWindowBounds);
    GDHandle dev = nullptr;
    Rect screen{0, 0, 0, 0}, avail{0, 0, 0, 0};
    GetWindowGreatestAreaDevice(w, kWindowContentRgn, &dev, &screen);
    // The window carries its own menu bar, which has no place on a full screen.
    HideMenuBar();
    if (GetAvailableWindowPositioningBounds(dev, &avail) == noErr && avail.top <= screen.top &&
        avail.bottom > avail.top)
      screen = avail;
    if (gFCWindow) HideWindow(gFCWindow);
    if (gHistoWindow) HideWindow(gHistoWindow);
    // The pane covers the screen with a 2-pixel margin; the panel and the scroll bars lie
    // beyond the screen's edges.
    const Rect& p = imd->extent;
    const Rect& o = origWindowBounds;
    const Rect full{static_cast<short>(screen.top - p.top - 2),
                    static_cast<short>(screen.left - p.left - 2),
                    static_cast<short>(screen.bottom + ((o.bottom - o.top) - p.bottom) + 17),
                    static_cast<short>(screen.right + ((o.right - o.left) - p.right) + 17)};
    SetWindowBounds(w, kWindowContentRgn, &full);
    for (int i = 0; i < 3; ++i) {
      origBackRGB[i] = bgRGB[i];
      bgRGB[i] = 0;
    }
    imd->Invalid();
    PWindowHandlerBase::Redraw();
  }
  showGoing = (showOpts & kShowRepeat) ? -1 : n;
  showPreempt = false;
  showDue = 0;
  NextSlide();
}

bool PImageWindow::NextSlide() {
  if (showGoing == 0) return false;
  if (iring != irShown) {
    // A prepared slide is pending: it comes on screen now, and that redraw goes on with the show.
    RedrawTimer(0);
    Redraw();
    return showGoing != 0 && !showPreempt;
  }
  checkEvents(0.0);
  if (showPreempt) {
    showPreempt = false;
    return false;
  }
  if (showGoing == 0) return false;
  const int n = ImageCount();
  // An image closed meanwhile leaves the order it was made for.
  if (!Ready() || imd == nullptr || n < 2 || (showShuffle != nullptr && showShuffleLen != n)) {
    DoneShow();
    return false;
  }
  if (showOpts & kShowFull) ObscureCursor();
  if (showGoing > 0 && --showGoing == 0) {
    if (showOpts & kShowFull) checkEvents(showIntvl);
    DoneShow();
    return false;
  }
  // The interval counts from when the slide on view came on screen: its timer's due time.
  EventTime t0 = GetCurrentEventTime();
  if (showDue > 0 && showDue <= t0 && t0 - showDue < showIntvl) t0 = showDue;
  showDue = 0;
  PImageRing* next = iring->GetNext();
  switch (showOpts & kShowOrder) {
    case kShowRandom: {
      next = irFirst != nullptr ? irFirst : iring;
      const int k = showGoing > 0 && showGoing < n ? showShuffle[showGoing] : 0;
      for (int i = 0; i < k; ++i) next = next->GetNext();
      break;
    }
    case kShowOrder:
      for (long i = random() % (n - 1); i > 0; --i) next = next->GetNext();
      break;
    default:
      break;
  }
  // Rendered into the pane's buffer for the next image, at the pane's size.
  int rw = imd->GetRWidth(), rh = imd->GetRHeight();
  if (next->XYswapped()) std::swap(rw, rh);
  imd->Invalid();
  bool ok = rw > 0 && rh > 0;
  if (ok) {
    imd->curImg.xres = rw;
    imd->curImg.yres = rh;
    ok = next->RenderImage(&imd->curImg, bgRGB, nullptr) && imd->curImg.img != nullptr;
    imd->ringX = imd->ringY = 0;
    ++renderCount;
  }
  if (!ok) {
    imd->Invalid();
    irDrawn = nullptr;
    StopShow();
    return false;
  }
  Advance(next);
  irDrawn = next;
  double wait = showIntvl - (GetCurrentEventTime() - t0);
  if (!(wait >= 0.01)) wait = 0.01;
  checkEvents(0.0);
  if (showPreempt) {
    showPreempt = false;
    return false;
  }
  if (showGoing == 0) return false;
  RedrawTimer(wait);
  showDue = GetCurrentEventTime() + wait;
  return true;
}

bool PImageWindow::PreemptSlide() {
  if (showGoing == 0) return false;
  if (showPreempt) return true;
  if (irDrawn != irShown && irShown != nullptr) {
    // The prepared slide is given back: the image on view is current again and still counts.
    RedrawTimer(0);
    Advance(irShown);
    if (showGoing > 0) ++showGoing;
  }
  showPreempt = true;
  showDue = 0;
  return true;
}

void PImageWindow::DoneShow() {
  showGoing = 0;
  showDue = 0;
  delete[] showShuffle;
  showShuffle = nullptr;
  showShuffleLen = 0;
  if (showOpts & kShowFull) {
    showOpts = 0;
    ShowMenuBar();
    if (WindowRef w = GetWindow()) SetWindowBounds(w, kWindowContentRgn, &origWindowBounds);
    for (int i = 0; i < 3; ++i) bgRGB[i] = origBackRGB[i];
    if (imd) imd->Invalid();
    PWindowHandlerBase::Redraw();
  }
  showOpts = 0;
  SelectImage(false);
  idleImprovements(1.0);
}

void PImageWindow::StopShow() {
  if (PreemptSlide()) DoneShow();
}

bool PImageWindow::Playable() const {
  if (!Ready() || iring->nframes <= 1) return false;
  double rate = 0;
  const ImgFrameType t = iring->GetFrameType(&rate);
  return (t == IRFanim || t == IRFloop || t == IRFbackforth) && rate != 0;
}

void PImageWindow::RunAnimation() {
  DMESSAGE(DMCparameter, "Animation playback not supported (yet)");
}
