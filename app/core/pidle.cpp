// The work of idle time: the browser's visible cells made final one at a time, then the image
// window's next and previous images loaded ahead of need; and the catalogues synced a second
// after a change, once the program is at rest or waits on a question with no command part way.
#include <optional>

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

// Where the catalogues' edits stand: every edit moves it (a record queued for addition or
// deletion, a step filed, opened, undone or redone, the header or the shadow catalogue
// changed). The mark taken when the edits last made whole steps (at rest, or when a command
// said so); a command that has edited since is part way through.
struct EditMark {
  const void* pending = nullptr;
  const void* undo = nullptr;
  const void* redo = nullptr;
  long queued = 0;
  int unsynced = 0;
  bool header = false;
  bool shadow = false;
  bool open = false;
  bool operator==(const EditMark& o) const {
    return pending == o.pending && undo == o.undo && redo == o.redo && queued == o.queued &&
           unsynced == o.unsynced && header == o.header && shadow == o.shadow && open == o.open;
  }
};
EditMark wholeMark;
bool wholeKnown = false;

EditMark MarkOf(PContext* ctx) {
  EditMark m;
  m.open = ctx->Ready();
  const DBChangeList* p = ctx->pdb.Pending();
  m.pending = p;
  for (const DBChangeList* ch = p; ch != nullptr; ch = ch->prev)
    m.queued += ch->rdel.GetSize() + ch->radd.GetSize();
  m.undo = ctx->pdb.UndoList();
  m.redo = ctx->pdb.RedoList();
  m.unsynced = ctx->pdb.GetNUnsynced();
  m.header = ctx->Ready() && ctx->phd.Unwritten();
  m.shadow = ctx->ShadowUnsynced();
  return m;
}

void MarkWhole(PContext* ctx) {
  wholeMark = MarkOf(ctx);
  wholeKnown = true;
}

// The loop waits on a question with no command part way through its edits: no operation
// holds the records, and nothing was edited since the edits last made whole steps.
bool RestInQuestion(PContext* ctx) {
  return wholeKnown && PaskingUser() && !PisBusy() && MarkOf(ctx) == wholeMark;
}

// Writes what waits; with progress, a long sync keeps the windows painted (at rest only: in a
// question, nothing may run meanwhile that could answer it or change its answer).
bool SyncNow(PContext* ctx, bool progress) {
  bool ok = true;
  {
    std::optional<PWorkProgress> work;
    if (progress) work.emplace("Saving catalog...");
    if (ctx->Unsynced() && !ctx->SyncDB()) ok = false;
    if (!ctx->SyncShadow()) ok = false;
  }
  syncFailed = !ok;
  failedAtChange = PchangeCount();
  MarkWhole(ctx);
  return ok;
}

void SyncFired(EventLoopTimerRef, void*) {
  PidleSync();
}

// Arms the sync timer when something waits to be written and it is not armed yet.
void Arm(PContext* ctx) {
  if (syncStopped || PquitRequested() || PidleSyncDelay() >= 0) return;
  if (syncFailed && PchangeCount() == failedAtChange) return;
  if (!ctx->Unsynced() && !ctx->ShadowUnsynced()) return;
  // A sync that came due meanwhile runs as soon as the loop is free; else a second from now.
  const double delay = syncDue ? 0 : kIdleSyncDelay;
  if (syncTimer == nullptr || SetEventLoopTimerNextFireTime(syncTimer, delay) != noErr) {
    syncTimer = nullptr;
    InstallEventLoopTimer(delay, 0, SyncFired, nullptr, &syncTimer);
  }
}

}  // namespace

void PidleSyncCheck() {
  PContext* ctx = Context();
  if (ctx == nullptr) return;
  // Back at rest, nothing is part way: what the catalogues hold makes whole steps.
  if (!PisBusy()) MarkWhole(ctx);
  Arm(ctx);
}

bool PidleSync() {
  PContext* ctx = Context();
  if (ctx == nullptr || syncStopped || PquitRequested()) return false;
  // Not at rest: unless a question waits with every edit so far whole, the command, wait or
  // pump under way comes back to rest when it ends, and the sync runs then.
  const bool atRest = EventLoopAtRest();
  if (!atRest && !RestInQuestion(ctx)) {
    syncDue = true;
    return false;
  }
  // At rest while an operation holds the records (an edit left open): looked at again later.
  if (PisBusy()) {
    if (syncTimer != nullptr) SetEventLoopTimerNextFireTime(syncTimer, kIdleSyncDelay);
    return false;
  }
  syncDue = false;
  if (!atRest) {
    // The question's answer stays what the user gave, whatever an alert of the sync asked
    // meanwhile (unless the question itself was answered then).
    const OSType answer = gConfirmResponse;
    const bool ok = SyncNow(ctx, false);
    if (PaskingUser()) gConfirmResponse = answer;
    return ok;
  }
  return SyncNow(ctx, true);
}

void PidleSyncAsking() {
  PContext* ctx = Context();
  if (ctx != nullptr && syncDue) Arm(ctx);
}

void PeditsWhole() {
  PContext* ctx = Context();
  if (ctx == nullptr) return;
  MarkWhole(ctx);
  Arm(ctx);
}

bool PsyncWhole() {
  PContext* ctx = Context();
  if (ctx == nullptr) return true;
  if (syncStopped) return false;
  return SyncNow(ctx, true);
}

double PidleSyncDelay() {
  return syncTimer != nullptr ? GetEventLoopTimerDelay(syncTimer) : -1;
}

void PstopIdleSync(bool stop) {
  if (syncTimer != nullptr) RemoveEventLoopTimer(syncTimer);
  syncTimer = nullptr;
  syncFailed = false;
  syncDue = false;
  wholeKnown = false;
  syncStopped = stop;
}

void PidleSyncFailed() {
  if (syncTimer != nullptr) RemoveEventLoopTimer(syncTimer);
  syncTimer = nullptr;
  syncDue = false;
  syncFailed = true;
  failedAtChange = PchangeCount();
}
