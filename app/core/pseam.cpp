// The core's platform seam over the platform layer's application loop and waits.
#include "app/core/pseam.h"

#include <algorithm>

#include "platform/pevent.h"
#include "platform/pmouse.h"

namespace {
bool quitting = false;
bool unattended = false;
}  // namespace

int PwaitEvents(double maxwait) {
  if (quitting) return 0;
  int n = 0;
  // A timed wait ends when its time is up, however busy the queue: a timer firing more often
  // than the wait's time must not hold the caller for ever.
  const double deadline = GetCurrentEventTime() + (maxwait > 0 ? maxwait : 0);
  for (;;) {
    const double left =
        maxwait < 0 ? kEventDurationForever : std::max(0.0, deadline - GetCurrentEventTime());
    EventRef ev = nullptr;
    if (ReceiveNextEvent(0, nullptr, left, true, &ev) != noErr) break;  // time out, or a quit
    SendEventToEventTarget(ev, GetEventDispatcherTarget());
    ReleaseEvent(ev);
    ++n;
    if (maxwait < 0 || (maxwait > 0 && GetCurrentEventTime() >= deadline)) break;
  }
  return quitting ? 0 : n;
}

void PrunEventLoop() {
  quitting = unattended;
  RunApplicationEventLoop();
  quitting = unattended;  // an unattended quit asks nothing on its way out
}

void PquitEventLoop() {
  if (quitting) return;
  quitting = true;
  QuitApplicationEventLoop();
}

bool PquitRequested() {
  return quitting;
}

void PquitUnattended() {
  unattended = true;
  quitting = false;  // an attended quit under way becomes unattended
  PquitEventLoop();
}

bool PquitIsUnattended() {
  return unattended;
}

void PquitDone() {
  quitting = false;
  unattended = false;
}

void PclearQuit() {
  // A quit with no loop running makes the next loop return at once: that loop ends it.
  if (quitting) RunApplicationEventLoop();
  quitting = false;
  unattended = false;
}

void Pbeep() {
  SysBeep(1);
}
