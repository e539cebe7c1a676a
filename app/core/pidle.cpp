// The improvement work of idle time: the browser's visible cells made final one at a time, then
// the image window's next and previous images loaded ahead of need.
#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pbusy.h"
#include "display/pdispimg.h"

namespace {

enum ImproveStep { ImproveStart, ImproveThumbs, ImproveNextImage, ImprovePrevImage, ImproveDone };

int improveWhat = ImproveDone;

constexpr double kNextThumb = 0.1;
constexpr double kNextImage = 0.5;
constexpr double kBusyAgain = 0.5;

PImageRing* ReadyRing() {
  PImageRing* ir = gImager ? gImager->GetCurrentIR() : nullptr;
  return ir != nullptr && ir->Ready() ? ir : nullptr;
}

}  // namespace

double improveCallback(int stage) {
  if (stage == 0) improveWhat = ImproveStart;
  // Records loading or a search walking the catalogue own the display: look again later.
  if (PisBusy()) return improveWhat == ImproveDone ? 0 : kBusyAgain;
  switch (improveWhat) {
    case ImproveStart:
      improveWhat = ImproveThumbs;
      [[fallthrough]];
    case ImproveThumbs: {
      IBrowser* b = gMain ? gMain->GetBrowser() : nullptr;
      if (b != nullptr && b->ImproveDisplay(false) > 0) return kNextThumb;
      improveWhat = ImproveNextImage;
    }
      [[fallthrough]];
    case ImproveNextImage:
      if (PImageRing* ir = ReadyRing())
        if (PImageRing* next = ir->GetNext()) next->CheckLoad();
      improveWhat = ImprovePrevImage;
      return kNextImage;
    case ImprovePrevImage:
      if (PImageRing* ir = ReadyRing())
        if (PImageRing* prev = ir->GetPrev()) prev->CheckLoad();
      improveWhat = ImproveDone;
      return 0;
    default:
      improveWhat = ImproveDone;
      return 0;
  }
}
