// The idle-improvement timer and the last alert class.
#include "app/core/pappstate.h"
#include "app/core/pdialogs.h"
#include "app/core/pidle.h"

#include "platform/pevent.h"
#include "toolkit/pctltext.h"
#include "toolkit/pdrawer.h"
#include "toolkit/pdrawkinds.h"
#include "toolkit/pwinhandler.h"
#include "toolkit/pwinhandler.h"

unsigned alertLastClass = DMCnerr;
double (*idleImprovementStep)(int stage) = nullptr;

namespace {

EventLoopTimerRef idleTimer = nullptr;
double lastDelay = 0;
int stage = 0;

void IdleFired(EventLoopTimerRef timer, void*) {
  double again = idleImprovementStep ? idleImprovementStep(stage++) : 0;
  if (again > 0) SetEventLoopTimerNextFireTime(timer, again);
}

}  // namespace

double idleImprovements(double delay) {
  double prev = lastDelay;
  lastDelay = delay > 0 ? delay : 0;
  if (!(delay > 0)) {
    if (idleTimer != nullptr) RemoveEventLoopTimer(idleTimer);
    idleTimer = nullptr;
    return prev;
  }
  stage = 0;
  if (idleTimer == nullptr || SetEventLoopTimerNextFireTime(idleTimer, delay) != noErr) {
    idleTimer = nullptr;
    InstallEventLoopTimer(delay, 0, IdleFired, nullptr, &idleTimer);
  }
  return prev;
}

void PinstallAppState() {
  PwindowEventHooks.begin = [] { return idleImprovements(0); };
  PwindowEventHooks.end = [](double begun, bool handled) {
    // A handler that armed the timer itself (a redraw after a resize) keeps its arming.
    if (!handled && !(lastDelay > 0)) idleImprovements(begun);
  };
  PcontentClickHook = [] { alertLastClass = DMCnerr; };
  idleImprovementStep = improveCallback;
  PstopIdleSync(false);
  SetEventLoopRestHook(PidleSyncCheck);
  PsetWaitHook(PwaitForAnotherProcess);
}
