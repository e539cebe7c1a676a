// The work of idle time: the browser's visible cells made final one at a time, then the image
// window's next and previous images loaded ahead of need; and the catalogues synced a second
// after a change, once the program is at rest or waits on a question with no command part way,
// and tried again by themselves after a sync that failed.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>
#include <string>

#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pidle.h"
#include "app/core/pbusy.h"
#include "app/core/pdialogs.h"
#include "app/core/pseam.h"
#include "support/dmhold.h"
#include "display/pdispimg.h"
#include "image/pbandread.h"
#include "platform/pevent.h"

namespace {

enum ImproveStep { ImproveStart, ImproveThumbs, ImproveNextImage, ImprovePrevImage, ImproveDone };

int improveWhat = ImproveDone;

constexpr double kNextThumb = 0.1;
constexpr double kNextImage = 0.5;
constexpr double kBusyAgain = 0.5;
// Cells left waiting while another copy of the program held the thumbnail cache are asked
// again after this long.
constexpr double kCacheAgain = 1.0;
// Whether this round of improvement left cells waiting for the thumbnail cache.
bool cacheWaited = false;

PImageRing* ReadyRing() {
  PImageRing* ir = gImager ? gImager->GetCurrentIR() : nullptr;
  return ir != nullptr && ir->Ready() ? ir : nullptr;
}

// Loads a neighbour of the shown image ahead of need, for the view the shown one has. A large
// picture is left to its own opening, which reads it a slice at a time under progress. The
// shown image alone in its ring is its own neighbour: its view is its window's, not one made
// for a neighbour, and it is loaded already.
void LoadAhead(PImageRing* shown, PImageRing* ir) {
  if (ir == nullptr || ir == shown || !ir->Ready() ||
      PreadInSlices(ir->GetOWidth(), ir->GetOHeight()))
    return;
  if (shown->rWidth > 0 && shown->rHeight > 0)
    ir->PrepareView(shown->rWidth * 9 / 8, shown->rHeight * 9 / 8);
  ir->CheckLoad();
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
      const uint64_t away = PthumbManager().TurnedAway();
      if (b != nullptr && b->ImproveDisplay(false) > 0) return kNextThumb;
      cacheWaited = PthumbManager().TurnedAway() != away;
      improveWhat = ImproveNextImage;
    }
      [[fallthrough]];
    case ImproveNextImage:
      if (PImageRing* ir = ReadyRing()) LoadAhead(ir, ir->GetNext());
      improveWhat = ImprovePrevImage;
      return kNextImage;
    case ImprovePrevImage:
      if (PImageRing* ir = ReadyRing()) LoadAhead(ir, ir->GetPrev());
      if (cacheWaited) {
        // The cells another copy's hold of the cache turned away are asked for again.
        cacheWaited = false;
        improveWhat = ImproveStart;
        return kCacheAgain;
      }
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

// After a failed sync, while its changes wait: when they are tried again.
struct Retry {
  bool failed = false;
  double interval = 0;  // seconds from one try to the next
  double at = 0;        // the next try, on the platform clock
  long long room = -1;  // free bytes on the catalogue's file system after the failure; -1 unknown
  std::string lock;     // the lock path of the catalogue that failed
  std::string what;     // what the last failed try could not write (UnsavedWork)
};
Retry retry;

PContext* Context() {
  return gMain != nullptr && gInterfaceReady == 1 ? &gMain->bc : nullptr;
}

// Steps a part-way command may have filed beyond whole ones; more cannot be told apart.
constexpr int kMostTakenBack = 64;

bool Waiting(PContext* ctx) {
  return ctx->Unsynced() || ctx->ShadowUnsynced();
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

// The title tells whether the catalogue holds changes its last sync could not write.
void ShowSaved(PContext* ctx) {
  gMain->ShowUnsaved(ctx->IsOpen() && !ctx->LastError().empty());
}

// What waits to be written, as the log names it: "Catalog 'name'", "The shadow catalog 'path'"
// or both.
std::string WaitingNamed(PContext* ctx) {
  bool catalogue = ctx->IsOpen() && (ctx->Unsynced() || !ctx->LastError().empty());
  bool shadow = ctx->ShadowUnsynced();
  if (!catalogue && !shadow) (ctx->IsOpen() ? catalogue : shadow) = true;
  const std::string named = catalogue ? "Catalog '" + std::string(ctx->dbname) + "'" : "";
  if (!shadow) return named;
  return named + (catalogue ? " and the" : "The") + " shadow catalog '" + gShadowCatalog + "'";
}

// A sync failed: it is tried again after a growing interval, or once the disk has room.
void NoteFailed(PContext* ctx) {
  if (!retry.failed)
    DMESSAGE(DMCinfo, "%s will be saved by itself once it can be written",
             WaitingNamed(ctx).c_str());
  retry.interval = retry.failed ? std::min(2 * retry.interval, kRetryLongest) : kRetryFirst;
  retry.failed = true;
  retry.at = GetCurrentEventTime() + retry.interval;
  retry.room = ctx->Room();
  retry.lock = ctx->LockPath();
  retry.what = ctx->UnsavedWork();
}

// Nothing is left to write: after a failure, the changes it kept reached the disk (unless the
// catalogue closed without them).
void NoteSaved(PContext* ctx) {
  if (!retry.failed) return;
  // A sync under way (its progress pumps the loop once its records are out) has not yet cleared
  // the failure: the success is noted when it ends.
  if (ctx->IsOpen() && !ctx->LastError().empty() && retry.lock == ctx->LockPath()) return;
  const Retry was = retry;
  retry = Retry();
  if (!ctx->IsOpen() || !ctx->LastError().empty() || was.lock != ctx->LockPath()) return;
  char text[128];
  snprintf(text, sizeof text, "Saved catalog '%s'", ctx->dbname);
  // Named as the failure named them: a step taken back is on disk as taken back.
  if (was.what.empty())
    DMESSAGE(DMCinfo, "%s: the changes that could not be saved before are on disk", text);
  else
    DMESSAGE(DMCinfo, "%s: what could not be saved before is on disk (%s)", text, was.what.c_str());
  gMain->ShowMessage(text, false);
}

// The time for the next try has come, or the disk has gained room since the failure.
bool RetryDue(PContext* ctx) {
  if (GetCurrentEventTime() >= retry.at) return true;
  const long long room = ctx->Room();
  return room >= 0 && retry.room >= 0 && room >= retry.room + kRoomGained;
}

void SyncFired(EventLoopTimerRef, void*) {
  PidleSync();
}

// Arms the sync timer when something waits to be written and it is not armed yet: a second
// from now, or after a failure its next try, looking for room on the disk meanwhile.
void Arm(PContext* ctx) {
  if (syncStopped || PquitRequested() || PidleSyncDelay() >= 0 || !Waiting(ctx)) return;
  double delay = kIdleSyncDelay;
  if (retry.failed) {
    delay = std::max(0.0, retry.at - GetCurrentEventTime());
    if (retry.room >= 0) delay = std::min(delay, kRoomLook);
  }
  // A sync that came due meanwhile runs as soon as the loop is free.
  if (syncDue) delay = 0;
  if (syncTimer == nullptr || SetEventLoopTimerNextFireTime(syncTimer, delay) != noErr) {
    syncTimer = nullptr;
    InstallEventLoopTimer(delay, 0, SyncFired, nullptr, &syncTimer);
  }
}

// Writes what waits; with progress, a long sync keeps the windows painted (at rest only: in a
// question, nothing may run meanwhile that could answer it or change its answer). Without
// progress nothing keeps them painted, so a sync never waits for another process that holds
// its file (a copy of the program stopped in the middle of a read): it is turned away at once,
// having written nothing and failed in nothing, and tried again when the timer next fires. The
// idle sync's failure is told only once the edits are marked whole and the next try is armed,
// so that the tries can go on while its alert waits; a try that fails for the reason already
// told says nothing. True when nothing is left to write.
bool SyncNow(PContext* ctx, bool progress, bool idle, bool tell = true) {
  const bool again = idle && retry.failed;
  const std::string told = ctx->SyncFailure();
  // The failure's alert waits until the title says that the catalogue is not saved.
  AlertsHeld alerts;
  bool ok = true;
  bool away = false;
  {
    std::optional<DMessageHold> quiet;
    if (again) quiet.emplace(DMessageHold::quiet);
    std::optional<PWorkProgress> work;
    if (progress) work.emplace("Saving catalog...");
    ctx->SetTurnAway(!progress);
    const auto done = [ctx, &ok, &away](bool synced) {
      if (synced) return;
      if (ctx->TurnedAway())
        away = true;
      else
        ok = false;
    };
    done(!ctx->Unsynced() || ctx->SyncDB(tell));
    done(ctx->SyncShadow());
    ctx->SetTurnAway(false);
  }
  MarkWhole(ctx);
  if (away && ok) {
    DMESSAGE(DMCtrace, "%s is held by another process: tried again later",
             WaitingNamed(ctx).c_str());
    // After a failure too the next try waits its second: one due already would come again at
    // once, and again, for as long as the other process holds the file.
    if (retry.failed) retry.at = std::max(retry.at, GetCurrentEventTime() + kIdleSyncDelay);
  } else if (ok) {
    NoteSaved(ctx);
  } else {
    NoteFailed(ctx);
    const std::string why = ctx->SyncFailure();
    if (again && !why.empty() && why != told) ctx->TellSyncFailed();
  }
  ShowSaved(ctx);
  Arm(ctx);
  alerts.End();
  // A try while the alert waited may have written it all.
  return (ok && !away) || !Waiting(ctx);
}

}  // namespace

void PidleSyncCheck() {
  PContext* ctx = Context();
  if (ctx == nullptr) return;
  // Back at rest, nothing is part way: what the catalogues hold makes whole steps.
  if (!PisBusy()) MarkWhole(ctx);
  // A command's sync that failed (told by the command) is tried again as the idle sync's own;
  // what waits is named as it now stands (a step taken back since, say).
  if (!Waiting(ctx))
    NoteSaved(ctx);
  else if (!retry.failed && !ctx->LastError().empty())
    NoteFailed(ctx);
  else if (retry.failed)
    retry.what = ctx->UnsavedWork();
  ShowSaved(ctx);
  Arm(ctx);
}

bool PidleSync() {
  PContext* ctx = Context();
  if (ctx == nullptr || syncStopped || PquitRequested()) return false;
  // After a failure, the next try waits for its time or for room on the disk.
  if (retry.failed && !syncDue && !RetryDue(ctx)) {
    Arm(ctx);
    return false;
  }
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
    const bool ok = SyncNow(ctx, false, true);
    if (PaskingUser()) gConfirmResponse = answer;
    return ok;
  }
  return SyncNow(ctx, true, true);
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

bool PsyncWhole(bool tell) {
  PContext* ctx = Context();
  if (ctx == nullptr) return true;
  if (syncStopped) return false;
  return SyncNow(ctx, true, false, tell);
}

double PidleSyncDelay() {
  return syncTimer != nullptr ? GetEventLoopTimerDelay(syncTimer) : -1;
}

void PstopIdleSync(bool stop) {
  if (syncTimer != nullptr) RemoveEventLoopTimer(syncTimer);
  syncTimer = nullptr;
  retry = Retry();
  syncDue = false;
  wholeKnown = false;
  syncStopped = stop;
}

void PidleSyncFailed() {
  PContext* ctx = Context();
  if (ctx == nullptr) return;
  MarkWhole(ctx);
  NoteFailed(ctx);
  ShowSaved(ctx);
  Arm(ctx);
}

bool PtakeBackPartWay(PContext* ctx) {
  if (ctx == nullptr || !ctx->IsOpen()) return true;
  // Pumped from inside the library's work, the store may be part way through a change (and
  // reads as not ready while a sync writes its blocks).
  if (PinLibraryWork()) return false;
  if (ctx->ReadOnly()) return true;
  if (!wholeKnown || MarkOf(ctx) == wholeMark) return true;
  // The undo steps that were whole at the mark: its waiting change once filed (by the command's
  // checkpoint), and the steps below it. Undoing reverts the newest steps first, so the store is
  // whole again once the undo list has come down to one of them with nothing pending.
  std::set<const void*> whole = {nullptr};
  bool below = false;
  for (const DBChangeList* ch = ctx->pdb.UndoList(); ch != nullptr; ch = ch->prev) {
    below = below || ch == wholeMark.undo ||
            (wholeMark.queued > 0 && ch == wholeMark.pending && ch->prev == wholeMark.undo);
    if (below) whole.insert(ch);
  }
  if (!below && wholeMark.undo != nullptr) return false;
  for (int taken = 0;; taken++) {
    const EditMark at = MarkOf(ctx);
    if ((at.pending == wholeMark.pending && at.queued == wholeMark.queued &&
         at.undo == wholeMark.undo) ||
        (at.queued == 0 && whole.count(at.undo) != 0)) {
      if (taken > 0) DMESSAGE(DMCinfo, "Took back the changes of a command part way through them");
      return true;
    }
    if (taken == kMostTakenBack || ctx->pdb.Undo() == nullptr) return false;
  }
}

void PmarkWhole(PContext* ctx) {
  if (ctx != nullptr) MarkWhole(ctx);
}
