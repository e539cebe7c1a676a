// The window tests' watchdog, with bounds of a second: a test waiting in the event loop has its
// waits ended and goes on, failed; one that does not end stops the run, and the last words say
// which test it was and what happened.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <QEventLoop>
#include <chrono>
#include <thread>

#include "testutil/watchdog.h"

namespace {

using std::chrono::seconds;

const testing::TestInfo& This() {
  return *testing::UnitTest::GetInstance()->current_test_info();
}

QEventLoop* waiting = nullptr;

TEST(Watchdog, AWaitInTheEventLoopIsEndedAndTheTestGoesOn) {
  testutil::Watchdog dog([] { waiting->quit(); }, seconds(1), seconds(600));
  dog.OnTestStart(This());
  EXPECT_NONFATAL_FAILURE(
      {
        QEventLoop loop;
        waiting = &loop;
        loop.exec();
        waiting = nullptr;
      },
      "Watchdog.AWaitInTheEventLoopIsEndedAndTheTestGoesOn still ran after 1 s: its waits are "
      "ended");
  dog.OnTestEnd(This());
}

TEST(WatchdogDeathTest, ATestThatGoesOnAfterItsWaitsWereEndedStopsTheRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        testutil::Watchdog dog([] {}, seconds(1), seconds(1));  // ends nothing
        dog.OnTestStart(This());
        QEventLoop().exec();
      },
      "\\[  FAILED  \\] WatchdogDeathTest\\.ATestThatGoesOnAfterItsWaitsWereEndedStopsTheRun: its "
      "waits were ended after 1 s, and it still ran 1 s later: the run stops here");
}

TEST(WatchdogDeathTest, ATestStuckOutsideTheEventLoopIsToldAsSuch) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        testutil::Watchdog dog([] {}, seconds(1), seconds(1));
        dog.OnTestStart(This());
        for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      },
      "\\[  FAILED  \\] WatchdogDeathTest\\.ATestStuckOutsideTheEventLoopIsToldAsSuch: still "
      "running after 2 s, and never came back to the event loop");
}

}  // namespace
