// The platform clock, one-shot timers, posted events, waits and the application loop.
//
// Every wait is a nested QEventLoop: Qt's own queue holds what is pending, and a wait ends
// when the thing it waits for happens (an event dispatched, an awaited event delivered, the
// mouse moving), when its time is up, or when the application quits. Nothing polls.
#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QMenu>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "platform/pdocuments.h"
#include "platform/pevent.h"
#include "platform/ppriv.h"

using namespace plat;

namespace {

// The clock: real seconds since the first reading, or a value tests move by hand.
struct Clock {
  bool manual = false;
  double manualNow = 0;
  double offset = 0;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  double Real() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  double Now() const { return manual ? manualNow : Real() + offset; }
};
Clock& TheClock() {
  static Clock c;
  return c;
}

int dispatchDepth = 0;
// The dispatch depth at which the timer firing now began; -1 when none fires.
int firingAt = -1;

struct TimerRec {
  EventLoopTimerUPP proc;
  void* userData;
  double due;      // on the clock; < 0 when not armed
  uint64_t armed;  // when it was armed, counted in armings
};
uint64_t armings = 0;
Table<TimerRec>& Timers() {
  static auto* t = new Table<TimerRec>;
  return *t;
}

// One Qt timer wakes the loop for the earliest armed timer when the clock is real.
QTimer* Waker();

// The earliest armed timer; with armedBy, among those armed by that arming.
uintptr_t EarliestTimer(double* due, uint64_t armedBy = UINT64_MAX) {
  uintptr_t best = 0;
  double b = 0;
  for (const auto& kv : Timers().All())
    if (kv.second->due >= 0 && kv.second->armed <= armedBy &&
        (best == 0 || kv.second->due < b || (kv.second->due == b && kv.first < best))) {
      best = kv.first;
      b = kv.second->due;
    }
  if (due) *due = b;
  return best;
}

void Reschedule() {
  if (QCoreApplication::instance() == nullptr) return;
  QTimer* w = Waker();
  double due = 0;
  if (TheClock().manual || EarliestTimer(&due) == 0) {
    w->stop();
    return;
  }
  double ms = std::max(0.0, (due - TheClock().Now()) * 1000.0);
  w->start(static_cast<int>(std::ceil(std::min(ms, 2.0e9))));
}

// Fires, in order, every timer due by the clock's present reading. Each firing is a dispatch.
// A timer armed meanwhile waits for the next pass, so that one re-arming itself without delay
// cannot hold the loop here.
void FireDue() {
  const uint64_t pass = armings;
  for (;;) {
    double due = 0;
    uintptr_t id = EarliestTimer(&due, pass);
    if (id == 0 || due > TheClock().Now()) break;
    TimerRec* t = Timers().Find(id);
    t->due = -1;  // one shot; the callback may arm it again
    const int outer = firingAt;
    firingAt = dispatchDepth;
    BeginDispatch();
    t->proc(ToHandle<EventLoopTimerRef>(id), t->userData);
    firingAt = outer;
    EndDispatch();
  }
  Reschedule();
}

QTimer* Waker() {
  static QTimer* w = nullptr;
  if (w == nullptr) {
    w = new QTimer(QCoreApplication::instance());
    w->setSingleShot(true);
    w->setTimerType(Qt::PreciseTimer);
    QObject::connect(w, &QTimer::timeout, [] { FireDue(); });
  }
  return w;
}

// Posted events travel in Qt's queue to one receiver that delivers them.
class PostedEvent : public QEvent {
 public:
  static QEvent::Type Kind() {
    static const int k = QEvent::registerEventType();
    return static_cast<QEvent::Type>(k);
  }
  PostedEvent(EventRef e, uintptr_t to) : QEvent(Kind()), event(e), target(to) {}
  ~PostedEvent() override { ReleaseEvent(event); }
  EventRef event;
  uintptr_t target;
};

class Poster : public QObject {
 public:
  using QObject::QObject;
  void customEvent(QEvent* e) override {
    if (e->type() != PostedEvent::Kind()) return;
    auto* p = static_cast<PostedEvent*>(e);
    DeliverEvent(p->event, p->target);
  }
};
Poster* ThePoster() {
  static Poster* p = nullptr;
  if (p == nullptr && QCoreApplication::instance() != nullptr)
    p = new Poster(QCoreApplication::instance());
  return p;
}

std::vector<LoopWait*>& Waits() {
  static auto* w = new std::vector<LoopWait*>;
  return *w;
}

bool quitting = false;
QEventLoop* mainLoop = nullptr;
void (*restHook)() = nullptr;

bool Matches(EventRef ev, const EventTypeSpec* list, UInt32 n) {
  UInt32 c = GetEventClass(ev), k = GetEventKind(ev);
  for (UInt32 i = 0; i < n; ++i)
    if (list[i].eventClass == c && list[i].eventKind == k) return true;
  return false;
}

// What ReceiveNextEvent hands out when it waited for any event: the event was dispatched as it
// arrived; this one only says so. It is never disposed of.
EventRef DispatchedToken() {
  static EventRef token = nullptr;
  if (token == nullptr) CreateEvent(kEventClassPlatform, kEventPlatformDispatched, 0, &token);
  return token;
}

}  // namespace

namespace plat {

void LoopWait::Stop() {
  done = true;
  if (loop) loop->quit();
}

void BeginDispatch() {
  ++dispatchDepth;
}

void EndDispatch() {
  --dispatchDepth;
  if (Waits().empty()) {
    if (dispatchDepth == 0 && restHook != nullptr) restHook();
    return;
  }
  LoopWait* w = Waits().back();
  if (w->any && dispatchDepth == w->base) {
    ++w->dispatched;
    w->Stop();
  }
}

bool IsDispatchedToken(EventRef e) {
  return e != nullptr && e == DispatchedToken();
}

void DeliverEvent(EventRef event, uintptr_t target) {
  if (!Waits().empty()) {
    LoopWait* w = Waits().back();
    if (w->n > 0 && w->taken == nullptr && Matches(event, w->list, w->n)) {
      w->taken = RetainEvent(event);
      w->takenTarget = target;
      w->Stop();
      return;
    }
  }
  SendEventToEventTarget(event,
                         target ? ToHandle<EventTargetRef>(target) : GetApplicationEventTarget());
}

bool Quitting() {
  return quitting;
}

OSStatus RunLoopWait(LoopWait* w, EventTime timeout) {
  if (quitting) return eventLoopQuitErr;
  if (QCoreApplication::instance() == nullptr) return eventLoopTimedOutErr;
  const bool endless = timeout < 0;
  const double deadline = endless ? std::numeric_limits<double>::infinity()
                                  : TheClock().Now() + (std::isfinite(timeout) ? timeout : 0.0);
  QEventLoop loop;
  w->loop = &loop;
  w->base = dispatchDepth;
  w->done = false;
  Waits().push_back(w);
  // What is pending runs first, and is all that a wait without time runs.
  loop.processEvents(QEventLoop::AllEvents);
  if (TheClock().manual) FireDue();
  while (!w->done && !quitting) {
    const double left = deadline - TheClock().Now();
    if (!endless && left <= 0) break;
    if (TheClock().manual) {
      // Nothing moves a manual clock but the tests: when the loop has nothing left to do,
      // time jumps to the next timer or to the deadline.
      if (loop.processEvents(QEventLoop::AllEvents)) continue;
      double due = 0;
      bool timer = EarliestTimer(&due) != 0 && due < deadline;
      if (timer || !endless) {
        AdvancePlatformClock(std::max(0.0, (timer ? due : deadline) - TheClock().Now()));
        continue;
      }
      if (loop.exec() < 0) quitting = true;
    } else {
      QTimer t;
      if (!endless) {
        t.setSingleShot(true);
        t.setTimerType(Qt::PreciseTimer);
        QObject::connect(&t, &QTimer::timeout, &loop, &QEventLoop::quit);
        t.start(static_cast<int>(std::ceil(std::min(left, 1.0e6) * 1000.0)));
      }
      // A loop that will not run at all means Qt itself was told to quit: so do we.
      if (loop.exec() < 0) quitting = true;
    }
  }
  Waits().erase(std::find(Waits().begin(), Waits().end(), w));
  w->loop = nullptr;
  if (w->done) return noErr;
  return quitting ? eventLoopQuitErr : eventLoopTimedOutErr;
}

bool RunModalDialog(QDialog* d, QPointer<QDialog>* current) {
  LoopWait wait;
  bool accepted = false, finished = false;
  QObject::connect(d, &QDialog::finished, d, [&](int r) {
    accepted = r == QDialog::Accepted;
    finished = true;
    wait.Stop();
  });
  d->setWindowModality(Qt::ApplicationModal);
  KeepAboveProgram(d);
  const QPointer<QDialog> saved = *current;
  *current = d;
  d->show();
  d->raise();
  d->activateWindow();
  if (!finished && RunLoopWait(&wait, kEventDurationForever) != noErr && !finished) {
    d->reject();  // the application quits: a cancel
    accepted = false;
  }
  *current = saved;
  QObject::disconnect(d, &QDialog::finished, nullptr, nullptr);
  d->hide();
  UpdateGatedControls();  // no longer asking
  return accepted;
}

}  // namespace plat

EventTime GetCurrentEventTime() {
  return TheClock().Now();
}

void SetManualPlatformClock(bool manual) {
  Clock& c = TheClock();
  if (manual == c.manual) return;
  if (manual)
    c.manualNow = c.Now();
  else
    c.offset = c.manualNow - c.Real();
  c.manual = manual;
  Reschedule();
}

constexpr double kClockSlack = 1e-9;  // seconds

void AdvancePlatformClock(EventTime seconds) {
  Clock& c = TheClock();
  if (!c.manual || !(seconds >= 0)) return;
  const double end = c.manualNow + seconds;
  for (;;) {
    double due = 0;
    // A timer due at the end fires even when the sums that led to the two times rounded apart.
    if (EarliestTimer(&due) == 0 || due > end + kClockSlack) break;
    c.manualNow = std::max(c.manualNow, due);
    FireDue();
  }
  c.manualNow = std::max(c.manualNow, end);
}

OSStatus InstallEventLoopTimer(EventTime fireDelay, EventTime interval, EventLoopTimerUPP proc,
                               void* userData, EventLoopTimerRef* outTimer) {
  if (proc == nullptr || outTimer == nullptr || interval != 0 || !std::isfinite(fireDelay))
    return paramErr;
  TimerRec* t =
      new TimerRec{proc, userData, TheClock().Now() + std::max(0.0, fireDelay), ++armings};
  *outTimer = ToHandle<EventLoopTimerRef>(Timers().Add(t));
  Reschedule();
  return noErr;
}

OSStatus SetEventLoopTimerNextFireTime(EventLoopTimerRef timer, EventTime nextFire) {
  TimerRec* t = Timers().Find(timer);
  if (t == nullptr || !std::isfinite(nextFire)) return paramErr;
  t->due = TheClock().Now() + std::max(0.0, nextFire);
  t->armed = ++armings;
  Reschedule();
  return noErr;
}

OSStatus RemoveEventLoopTimer(EventLoopTimerRef timer) {
  TimerRec* t = Timers().Find(timer);
  if (t == nullptr) return paramErr;
  Timers().Remove(FromHandle(timer));
  delete t;
  Reschedule();
  return noErr;
}

EventTime GetEventLoopTimerDelay(EventLoopTimerRef timer) {
  TimerRec* t = Timers().Find(timer);
  if (t == nullptr || t->due < 0) return -1;
  // Past its time but not fired yet (the loop was busy): it fires as soon as the loop is free.
  return std::max(0.0, t->due - TheClock().Now());
}

EventQueueRef GetMainEventQueue() {
  return reinterpret_cast<EventQueueRef>(1);
}

OSStatus PostEventToQueue(EventQueueRef queue, EventRef event, EventTargetRef target) {
  if (queue != GetMainEventQueue() || ThePoster() == nullptr || RetainEvent(event) == nullptr)
    return paramErr;
  QCoreApplication::postEvent(ThePoster(), new PostedEvent(event, FromHandle(target)));
  return noErr;
}

EventTargetRef GetEventDispatcherTarget() {
  static uintptr_t t = NewTarget(0, nullptr, 0);
  return ToHandle<EventTargetRef>(t);
}

OSStatus ReceiveNextEvent(UInt32 numTypes, const EventTypeSpec* list, EventTime timeout,
                          bool pullEvent, EventRef* outEvent) {
  if (outEvent) *outEvent = nullptr;
  if (numTypes > 0 && list == nullptr) return paramErr;
  LoopWait w;
  w.any = numTypes == 0;
  w.list = list;
  w.n = numTypes;
  OSStatus r = RunLoopWait(&w, timeout);
  if (w.taken != nullptr && r != noErr) {
    // Taken as the wait ended for another reason: it goes on to its target after all.
    PostEventToQueue(GetMainEventQueue(), w.taken, ToHandle<EventTargetRef>(w.takenTarget));
    ReleaseEvent(w.taken);
    w.taken = nullptr;
  }
  if (r != noErr) return r;
  if (w.any) {
    if (outEvent) *outEvent = pullEvent ? RetainEvent(DispatchedToken()) : DispatchedToken();
    return noErr;
  }
  if (!pullEvent) {
    // Looked at, not taken: it stays pending for its target.
    PostEventToQueue(GetMainEventQueue(), w.taken, ToHandle<EventTargetRef>(w.takenTarget));
    if (outEvent) *outEvent = w.taken;
    ReleaseEvent(w.taken);
  } else if (outEvent) {
    *outEvent = w.taken;
  } else {
    ReleaseEvent(w.taken);
  }
  return noErr;
}

void RunPendingEvents() {
  if (QCoreApplication::instance() == nullptr) return;
  QCoreApplication::processEvents();
  if (TheClock().manual) FireDue();
}

void RunApplicationEventLoop() {
  if (QCoreApplication::instance() == nullptr || mainLoop != nullptr) return;
  if (quitting) {  // told to quit before it ran
    quitting = false;
    return;
  }
  QEventLoop loop;
  mainLoop = &loop;
  PostOpenDocuments();  // the documents of the command line come first
  loop.exec();
  mainLoop = nullptr;
  quitting = false;
}

bool EventLoopAtRest() {
  if (!Waits().empty()) return false;
  // The timer asking counts as rest only when it fired from the loop itself.
  if (dispatchDepth != (firingAt == 0 ? 1 : 0)) return false;
  if (QCoreApplication::instance() == nullptr) return true;
  return QThread::currentThread()->loopLevel() <= (mainLoop != nullptr ? 1 : 0);
}

void SetEventLoopRestHook(void (*hook)()) {
  restHook = hook;
}

void QuitApplicationEventLoop() {
  quitting = true;
  for (LoopWait* w : Waits())
    if (w->loop) w->loop->quit();
  if (mainLoop) mainLoop->quit();
  // A menu popped up runs Qt's own loop: it closes too.
  if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
}
