// The platform clock, one-shot timers, the event queue and nested waits.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>

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

struct TimerRec {
  EventLoopTimerUPP proc;
  void* userData;
  double due;  // on the clock; < 0 when not armed
};
Table<TimerRec>& Timers() {
  static auto* t = new Table<TimerRec>;
  return *t;
}

// One Qt timer wakes the loop for the earliest armed timer when the clock is real.
QTimer* Waker();

uintptr_t EarliestTimer(double* due) {
  uintptr_t best = 0;
  double b = 0;
  for (const auto& kv : Timers().All())
    if (kv.second->due >= 0 &&
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
  w->start(static_cast<int>(std::min(ms, 2.0e9)));
}

// Fires, in order, every timer due by the clock's present reading.
void FireDue() {
  for (int guard = 0; guard < 100000; ++guard) {
    double due = 0;
    uintptr_t id = EarliestTimer(&due);
    if (id == 0 || due > TheClock().Now()) break;
    TimerRec* t = Timers().Find(id);
    t->due = -1;  // one shot; the callback may arm it again
    t->proc(ToHandle<EventLoopTimerRef>(id), t->userData);
  }
  Reschedule();
}

QTimer* Waker() {
  static QTimer* w = nullptr;
  if (w == nullptr) {
    w = new QTimer(QCoreApplication::instance());
    w->setSingleShot(true);
    QObject::connect(w, &QTimer::timeout, [] { FireDue(); });
  }
  return w;
}

// The queue and the waits in progress.
struct Queued {
  EventRef event;
  uintptr_t target;
};
std::deque<Queued>& Queue() {
  static auto* q = new std::deque<Queued>;
  return *q;
}
struct Wait {
  const EventTypeSpec* list;
  UInt32 n;
  QEventLoop* loop;
};
std::vector<Wait>& Waits() {
  static auto* w = new std::vector<Wait>;
  return *w;
}
bool Matches(EventRef ev, const EventTypeSpec* list, UInt32 n) {
  UInt32 c = GetEventClass(ev), k = GetEventKind(ev);
  for (UInt32 i = 0; i < n; ++i)
    if (list[i].eventClass == c && list[i].eventKind == k) return true;
  return false;
}
bool Awaited(EventRef ev) {
  for (const Wait& w : Waits())
    if (Matches(ev, w.list, w.n)) return true;
  return false;
}

bool dispatchScheduled = false;

// Sends the queued events no wait is looking for to their targets.
void DispatchQueue() {
  dispatchScheduled = false;
  for (size_t i = 0; i < Queue().size();) {
    Queued q = Queue()[i];
    if (Awaited(q.event)) {
      ++i;
      continue;
    }
    Queue().erase(Queue().begin() + static_cast<std::ptrdiff_t>(i));
    SendEventToEventTarget(
        q.event, q.target ? ToHandle<EventTargetRef>(q.target) : GetApplicationEventTarget());
    ReleaseEvent(q.event);
  }
}

void ScheduleDispatch() {
  if (dispatchScheduled || QCoreApplication::instance() == nullptr) return;
  dispatchScheduled = true;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [] { DispatchQueue(); }, Qt::QueuedConnection);
}

}  // namespace

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

void AdvancePlatformClock(EventTime seconds) {
  Clock& c = TheClock();
  if (!c.manual || !(seconds > 0)) return;
  const double end = c.manualNow + seconds;
  for (;;) {
    double due = 0;
    if (EarliestTimer(&due) == 0 || due > end) break;
    c.manualNow = std::max(c.manualNow, due);
    FireDue();
  }
  c.manualNow = end;
}

OSStatus InstallEventLoopTimer(EventTime fireDelay, EventTime interval, EventLoopTimerUPP proc,
                               void* userData, EventLoopTimerRef* outTimer) {
  if (proc == nullptr || outTimer == nullptr || interval != 0 || !std::isfinite(fireDelay))
    return paramErr;
  TimerRec* t = new TimerRec{proc, userData, TheClock().Now() + std::max(0.0, fireDelay)};
  *outTimer = ToHandle<EventLoopTimerRef>(Timers().Add(t));
  Reschedule();
  return noErr;
}

OSStatus SetEventLoopTimerNextFireTime(EventLoopTimerRef timer, EventTime nextFire) {
  TimerRec* t = Timers().Find(timer);
  if (t == nullptr || !std::isfinite(nextFire)) return paramErr;
  t->due = TheClock().Now() + std::max(0.0, nextFire);
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
  return t->due - TheClock().Now();
}

EventQueueRef GetMainEventQueue() {
  return reinterpret_cast<EventQueueRef>(1);
}

OSStatus PostEventToQueue(EventQueueRef queue, EventRef event, EventTargetRef target) {
  if (queue != GetMainEventQueue() || RetainEvent(event) == nullptr) return paramErr;
  Queue().push_back(Queued{event, FromHandle(target)});
  for (const Wait& w : Waits())
    if (Matches(event, w.list, w.n) && w.loop) w.loop->quit();
  ScheduleDispatch();
  return noErr;
}

OSStatus ReceiveNextEvent(UInt32 numTypes, const EventTypeSpec* list, EventTime timeout,
                          bool pullEvent, EventRef* outEvent) {
  if (outEvent) *outEvent = nullptr;
  if (numTypes > 0 && list == nullptr) return paramErr;
  const double deadline = GetCurrentEventTime() + std::max(0.0, timeout);
  for (;;) {
    for (size_t i = 0; i < Queue().size(); ++i) {
      if (!Matches(Queue()[i].event, list, numTypes)) continue;
      EventRef ev = Queue()[i].event;
      if (pullEvent) {
        Queue().erase(Queue().begin() + static_cast<std::ptrdiff_t>(i));
        if (outEvent)
          *outEvent = ev;
        else
          ReleaseEvent(ev);
      } else if (outEvent) {
        *outEvent = ev;
      }
      return noErr;
    }
    const double left = deadline - GetCurrentEventTime();
    if (left <= 0 || QCoreApplication::instance() == nullptr) return eventLoopTimedOutErr;
    QEventLoop loop;
    Waits().push_back(Wait{list, numTypes, &loop});
    if (TheClock().manual) {
      // Nothing moves a manual clock but the tests: when the loop has nothing left to do,
      // time jumps to the next timer or to the deadline.
      if (!loop.processEvents(QEventLoop::AllEvents)) {
        double due = 0;
        bool timer = EarliestTimer(&due) != 0 && due < deadline;
        AdvancePlatformClock(std::max(0.0, (timer ? due : deadline) - GetCurrentEventTime()));
      }
    } else {
      QTimer t;
      t.setSingleShot(true);
      QObject::connect(&t, &QTimer::timeout, &loop, &QEventLoop::quit);
      t.start(static_cast<int>(std::ceil(std::min(left, 1.0e6) * 1000.0)));
      loop.exec();
    }
    Waits().pop_back();
  }
}

void RunPendingEvents() {
  if (QCoreApplication::instance() != nullptr) QCoreApplication::processEvents();
  DispatchQueue();
  if (TheClock().manual) FireDue();
}
