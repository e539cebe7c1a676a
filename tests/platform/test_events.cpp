#include <gtest/gtest.h>

#include <vector>

#include "platform/pevent.h"

namespace {

struct Trace {
  std::vector<int> calls;
  OSStatus result = eventNotHandledErr;
  bool callNext = false;
};

template <int N>
OSStatus Record(EventHandlerCallRef ref, EventRef ev, void* ud) {
  Trace* t = static_cast<Trace*>(ud);
  t->calls.push_back(N);
  if (t->callNext) {
    t->callNext = false;
    OSStatus r = CallNextEventHandler(ref, ev);
    t->calls.push_back(100 + N);
    return r;
  }
  return N == 1 ? t->result : eventNotHandledErr;
}

const EventTypeSpec kTest = {FourCC("test"), 1};

}  // namespace

TEST(PlatformEvents, ParametersAreTypedAndCopied) {
  EventRef ev = nullptr;
  ASSERT_EQ(CreateEvent(kEventClassMouse, kEventMouseWheelMoved, 1.5, &ev), noErr);
  EXPECT_EQ(GetEventClass(ev), kEventClassMouse);
  EXPECT_EQ(GetEventKind(ev), kEventMouseWheelMoved);
  Point p{7, -3};
  SetEventParameter(ev, kEventParamMouseLocation, typeQDPoint, sizeof p, &p);
  Point q{0, 0};
  UInt32 size = 0;
  EventParamType type = 0;
  EXPECT_EQ(
      GetEventParameter(ev, kEventParamMouseLocation, typeQDPoint, &type, sizeof q, &size, &q),
      noErr);
  EXPECT_EQ(q.v, 7);
  EXPECT_EQ(q.h, -3);
  EXPECT_EQ(size, sizeof q);
  // Another type, or an absent name, is not found; a short buffer gets what fits.
  EXPECT_EQ(GetEventParameter(ev, kEventParamMouseLocation, typeUInt32, nullptr, 4, nullptr, &q),
            eventParameterNotFoundErr);
  EXPECT_EQ(GetEventParameter(ev, kEventParamDimensions, typeQDPoint, nullptr, 4, nullptr, &q),
            eventParameterNotFoundErr);
  short v = 0;
  EXPECT_EQ(
      GetEventParameter(ev, kEventParamMouseLocation, typeWildCard, nullptr, sizeof v, &size, &v),
      noErr);
  EXPECT_EQ(v, 7);
  EXPECT_EQ(size, sizeof(Point));
  ReleaseEvent(ev);
}

TEST(PlatformEvents, StaleHandlesAreRefused) {
  EventRef ev = nullptr;
  CreateEvent(kEventClassMouse, 1, 0, &ev);
  ReleaseEvent(ev);
  EXPECT_EQ(GetEventClass(ev), 0u);
  Point p{1, 1};
  EXPECT_EQ(SetEventParameter(ev, kEventParamMouseLocation, typeQDPoint, sizeof p, &p), paramErr);
  EXPECT_EQ(SendEventToEventTarget(ev, GetApplicationEventTarget()), paramErr);
  ReleaseEvent(ev);  // twice: nothing happens

  Trace t;
  EventHandlerRef h = nullptr;
  ASSERT_EQ(InstallEventHandler(GetApplicationEventTarget(), Record<1>, 1, &kTest, &t, &h), noErr);
  EXPECT_EQ(RemoveEventHandler(h), noErr);
  EXPECT_EQ(RemoveEventHandler(h), paramErr);
  EXPECT_EQ(AddEventTypesToHandler(h, 1, &kTest), paramErr);
  // Handles of one kind are not taken for another.
  EXPECT_EQ(
      InstallEventHandler(reinterpret_cast<EventTargetRef>(h), Record<1>, 1, &kTest, &t, nullptr),
      paramErr);
  EXPECT_EQ(RemoveEventLoopTimer(reinterpret_cast<EventLoopTimerRef>(h)), paramErr);
}

TEST(PlatformEvents, ChainRunsNewestFirstAndStopsAtTheFirstThatHandles) {
  Trace t;
  EventHandlerRef h1 = nullptr, h2 = nullptr;
  InstallEventHandler(GetApplicationEventTarget(), Record<1>, 1, &kTest, &t, &h1);
  InstallEventHandler(GetApplicationEventTarget(), Record<2>, 1, &kTest, &t, &h2);
  EventRef ev = nullptr;
  CreateEvent(kTest.eventClass, kTest.eventKind, 0, &ev);

  t.result = noErr;
  EXPECT_EQ(SendEventToEventTarget(ev, GetApplicationEventTarget()), noErr);
  EXPECT_EQ(t.calls, (std::vector<int>{2, 1}));

  // CallNextEventHandler runs the rest of the chain inside the calling handler.
  t.calls.clear();
  t.callNext = true;
  EXPECT_EQ(SendEventToEventTarget(ev, GetApplicationEventTarget()), noErr);
  EXPECT_EQ(t.calls, (std::vector<int>{2, 1, 102}));
  // A call reference is good only while its dispatch runs.
  EXPECT_EQ(CallNextEventHandler(reinterpret_cast<EventHandlerCallRef>(&t), ev), paramErr);

  // An event of another kind reaches neither.
  t.calls.clear();
  EventRef other = nullptr;
  CreateEvent(kTest.eventClass, 2, 0, &other);
  EXPECT_EQ(SendEventToEventTarget(other, GetApplicationEventTarget()), eventNotHandledErr);
  EXPECT_TRUE(t.calls.empty());
  // Until a handler is registered for it.
  const EventTypeSpec kind2 = {kTest.eventClass, 2};
  AddEventTypesToHandler(h2, 1, &kind2);
  EXPECT_EQ(SendEventToEventTarget(other, GetApplicationEventTarget()), eventNotHandledErr);
  EXPECT_EQ(t.calls, (std::vector<int>{2}));
  ReleaseEvent(other);
  ReleaseEvent(ev);
  RemoveEventHandler(h1);
  RemoveEventHandler(h2);
}

namespace {
int fired = 0;
std::vector<double> fireTimes;
void OnTimer(EventLoopTimerRef, void*) {
  ++fired;
  fireTimes.push_back(GetCurrentEventTime());
}
void Rearm(EventLoopTimerRef t, void*) {
  if (++fired < 3) SetEventLoopTimerNextFireTime(t, 0.1);
}
}  // namespace

TEST(PlatformEvents, OneShotTimersFollowTheManualClock) {
  SetManualPlatformClock(true);
  fired = 0;
  fireTimes.clear();
  EventLoopTimerRef a = nullptr, b = nullptr;
  double t0 = GetCurrentEventTime();
  ASSERT_EQ(InstallEventLoopTimer(1.0, 0, OnTimer, nullptr, &a), noErr);
  ASSERT_EQ(InstallEventLoopTimer(0.5, 0, OnTimer, nullptr, &b), noErr);
  EXPECT_EQ(InstallEventLoopTimer(1.0, 0.5, OnTimer, nullptr, &b), paramErr);  // no repeating
  EXPECT_NEAR(GetEventLoopTimerDelay(a), 1.0, 1e-9);
  AdvancePlatformClock(0.4);
  EXPECT_EQ(fired, 0);
  AdvancePlatformClock(0.7);
  ASSERT_EQ(fired, 2);
  EXPECT_NEAR(fireTimes[0] - t0, 0.5, 1e-9);  // in order, each at its own time
  EXPECT_NEAR(fireTimes[1] - t0, 1.0, 1e-9);
  EXPECT_LT(GetEventLoopTimerDelay(a), 0);  // one shot: not armed any more
  SetEventLoopTimerNextFireTime(a, 0.2);
  AdvancePlatformClock(0.2);
  EXPECT_EQ(fired, 3);
  RemoveEventLoopTimer(a);
  RemoveEventLoopTimer(b);

  // A callback may arm its timer again.
  fired = 0;
  InstallEventLoopTimer(0.1, 0, Rearm, nullptr, &a);
  AdvancePlatformClock(1.0);
  EXPECT_EQ(fired, 3);
  RemoveEventLoopTimer(a);
  SetManualPlatformClock(false);
}

TEST(PlatformEvents, ReceiveNextEventTakesAQueuedEventOrTimesOutOnTheClock) {
  SetManualPlatformClock(true);
  const EventTypeSpec up = {kEventClassMouse, kEventMouseUp};
  EventRef ev = nullptr, got = nullptr;
  double t0 = GetCurrentEventTime();
  EXPECT_EQ(ReceiveNextEvent(1, &up, 2.0, true, &got), eventLoopTimedOutErr);
  EXPECT_EQ(got, nullptr);
  EXPECT_NEAR(GetCurrentEventTime() - t0, 2.0, 1e-6);

  CreateEvent(kEventClassMouse, kEventMouseDown, 0, &ev);
  PostEventToQueue(GetMainEventQueue(), ev, nullptr);
  ReleaseEvent(ev);
  CreateEvent(kEventClassMouse, kEventMouseUp, 0, &ev);
  PostEventToQueue(GetMainEventQueue(), ev, nullptr);
  t0 = GetCurrentEventTime();
  EXPECT_EQ(ReceiveNextEvent(1, &up, 5.0, true, &got), noErr);
  EXPECT_EQ(got, ev);
  EXPECT_EQ(GetCurrentEventTime(), t0);
  ReleaseEvent(got);
  ReleaseEvent(ev);
  // Taken: it is not there a second time.
  EXPECT_EQ(ReceiveNextEvent(1, &up, 0, true, &got), eventLoopTimedOutErr);
  RunPendingEvents();
  SetManualPlatformClock(false);
}

TEST(PlatformEvents, OnTheRealClockTimersFireWhileAWaitRunsTheLoop) {
  fired = 0;
  fireTimes.clear();
  EventLoopTimerRef t = nullptr;
  const double t0 = GetCurrentEventTime();
  InstallEventLoopTimer(0.02, 0, OnTimer, nullptr, &t);
  const EventTypeSpec none = {FourCC("none"), 1};
  EventRef got = nullptr;
  EXPECT_EQ(ReceiveNextEvent(1, &none, 0.15, true, &got), eventLoopTimedOutErr);
  EXPECT_GE(GetCurrentEventTime(), t0 + 0.15);
  ASSERT_EQ(fired, 1);
  EXPECT_GE(fireTimes[0] - t0, 0.02);
  RemoveEventLoopTimer(t);
}
