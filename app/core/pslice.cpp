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
  PSliceRead* s = current;
  if (s == nullptr) return true;
  if (s->stopped_) return false;
  if (gInterfaceReady == 1) {
    const int pct = done < 0.01 ? 1 : done > 0.99 ? 99 : static_cast<int>(done * 100);
    if (s->own_ && (s->shown_ || GetCurrentEventTime() - s->start_ >= kWorkProgressAfter)) {
      // Shows (or moves on) the Progress window, with its Stop, and pumps the events.
      reportProgress(s->shown_ ? nullptr : s->msg_, pct);
      s->shown_ = true;
    } else {
      checkEvents(0);
    }
  }
  const bool stop = s->own_ || PisBusy() ? PprogressStopped() : QuitAsked();
  if (stop || (s->goOn_ != nullptr && !s->goOn_(s->data_))) s->stopped_ = true;
  return !s->stopped_;
}
