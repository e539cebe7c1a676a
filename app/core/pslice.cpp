// Picture reads a slice at a time (pslice.h).
#include "app/core/pslice.h"

#include <cstdio>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pdialogs.h"
#include "app/core/pseam.h"
#include "platform/pevent.h"
#include "platform/pwindow.h"
#include "support/pwork.h"

namespace {

PSliceRead* current = nullptr;
int spanFrom = -1, spanTo = -1;  // the bar's part for the reads of a step, -1: none

bool QuitAsked() {
  return PquitDeferred() || PquitRequested();
}

}  // namespace

PSliceRead::PSliceRead(const char* msg, bool (*goOn)(void*), void* data)
    : own_(msg != nullptr && *msg != '\0'), goOn_(goOn), data_(data) {
  // Within work whose Progress window shows already, that window goes on telling the work.
  if (own_ && gProgressWindow != nullptr && IsWindowVisible(gProgressWindow)) own_ = false;
  std::snprintf(msg_, sizeof msg_, "%.150s", own_ ? msg : "");
  start_ = GetCurrentEventTime();
  outer_ = current;
  current = this;
  prevHook_ = PsetSliceHook(&PSliceRead::Hook);
}

PSliceRead::~PSliceRead() {
  PsetSliceHook(prevHook_);
  current = outer_;
  if (own_ && shown_ && gProgressWindow != nullptr) HideWindow(gProgressWindow);
}

bool PSliceRead::Hook(double done) {
  return current == nullptr || current->Slice(done, true);
}

bool PSliceRead::Slice(double done, bool pump) {
  if (stopped_) return false;
  const double now = GetCurrentEventTime();
  double pumpEvery = kSliceSeconds, progressAfter = kWorkProgressAfter;
  PgetWorkPace(&pumpEvery, &progressAfter);
  if (pump && gInterfaceReady == 1 &&
      (lastPump_ < 0 || now - lastPump_ >= pumpEvery || now < lastPump_)) {
    lastPump_ = now;
    const int pct = done < 0.01 ? 1 : done > 0.99 ? 99 : static_cast<int>(done * 100);
    if (own_ && (shown_ || now - start_ >= progressAfter)) {
      // Shows (or moves on) the Progress window, with its Stop, and pumps the events.
      reportProgress(shown_ ? nullptr : msg_, pct);
      shown_ = true;
    } else if (!own_ && spanFrom >= 0 && gProgressWindow != nullptr &&
               IsWindowVisible(gProgressWindow)) {
      const double d = done < 0 ? 0 : done > 1 ? 1 : done;
      reportProgress(nullptr, spanFrom + static_cast<int>(d * (spanTo - spanFrom)));
    } else {
      checkEvents(0);
    }
  }
  // An outer read's conditions hold too (its events were just pumped); the hook found before
  // the outermost (a measuring one) hears every slice.
  const bool outerGoes =
      outer_ != nullptr ? outer_->Slice(done, false) : prevHook_ == nullptr || prevHook_(done);
  const bool stop = !outerGoes || (own_ || PisBusy() ? PprogressStopped() : QuitAsked());
  if (stop || (goOn_ != nullptr && !goOn_(data_))) stopped_ = true;
  return !stopped_;
}

PSliceSpan::PSliceSpan(int from, int to) : from_(spanFrom), to_(spanTo) {
  spanFrom = from < 0 ? 0 : from > 99 ? 99 : from;
  spanTo = to < spanFrom ? spanFrom : to > 99 ? 99 : to;
}

PSliceSpan::~PSliceSpan() {
  spanFrom = from_;
  spanTo = to_;
}
