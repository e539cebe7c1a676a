// The work of idle time: the browser's visible cells made final one at a time, then the image
// window's next and previous images loaded ahead of need; and the catalogues synced once the
// program has been at rest for a second after a change.
#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pbusy.h"
#include "app/core/pdialogs.h"
#include "app/core/pseam.h"
#include "display/pdispimg.h"
#include "platform/pevent.h"
#include "support/pchange.h"

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

namespace {

EventLoopTimerRef syncTimer = nullptr;
bool syncStopped = false;  // from shut-down to the next start
// The timer fired while the loop was not at rest: the sync is due at the next return to rest.
bool syncDue = false;
// After a failed sync: the change count then; nothing is tried again until it moves.
bool syncFailed = false;
uint64_t failedAtChange = 0;

PContext* Context() {
  return gMain != nullptr && gInterfaceReady == 1 ? &gMain->bc : nullptr;
}

void SyncFired(EventLoopTimerRef, void*) {
  PidleSync();
}

}  // namespace

void PidleSyncCheck() {
  PContext* ctx = Context();
  if (ctx == nullptr || syncStopped || PquitRequested() || PidleSyncDelay() >= 0) return;
  if (syncFailed && PchangeCount() == failedAtChange) return;
  if (!ctx->Unsynced() && !ctx->ShadowUnsynced()) return;
  // A sync that came due meanwhile runs as soon as the loop is free; else a second from now.
  const double delay = syncDue ? 0 : kIdleSyncDelay;
  if (syncTimer == nullptr || SetEventLoopTimerNextFireTime(syncTimer, delay) != noErr) {
    syncTimer = nullptr;
    InstallEventLoopTimer(delay, 0, SyncFired, nullptr, &syncTimer);
  }
}

bool PidleSync() {
  PContext* ctx = Context();
  if (ctx == nullptr || syncStopped || PquitRequested()) return false;
  // Not at rest: the command, wait or pump under way comes back to rest when it ends, and the
  // sync runs then.
  if (!EventLoopAtRest()) {
    syncDue = true;
    return false;
  }
  // At rest while an operation holds the records (an edit left open): looked at again later.
  if (PisBusy()) {
    if (syncTimer != nullptr) SetEventLoopTimerNextFireTime(syncTimer, kIdleSyncDelay);
    return false;
  }
  syncDue = false;
  bool ok = true;
  // A long sync keeps the windows painted and shows its progress.
  PWorkProgress work("Saving catalog...");
  if (ctx->Unsynced() && !ctx->SyncDB()) ok = false;
  if (!ctx->SyncShadow()) ok = false;
  syncFailed = !ok;
  failedAtChange = PchangeCount();
  return ok;
}

double PidleSyncDelay() {
  return syncTimer != nullptr ? GetEventLoopTimerDelay(syncTimer) : -1;
}

void PstopIdleSync(bool stop) {
  if (syncTimer != nullptr) RemoveEventLoopTimer(syncTimer);
  syncTimer = nullptr;
  syncFailed = false;
  syncDue = false;
  syncStopped = stop;
}

void PidleSyncFailed() {
  if (syncTimer != nullptr) RemoveEventLoopTimer(syncTimer);
  syncTimer = nullptr;
  syncDue = false;
  syncFailed = true;
  failedAtChange = PchangeCount();
}
