// Rest of the event loop, and the quit signals handed over from it.
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <QLoggingCategory>

#include "platform/psignals.h"
#include "platform_util.h"

namespace {

std::vector<bool> restSeen;  // EventLoopAtRest as each timer found it
int rests = 0;

void Note(EventLoopTimerRef, void*) {
  restSeen.push_back(EventLoopAtRest());
}

// A timer that fires inside a wait: rest neither there nor when it returns.
void WaitInside(EventLoopTimerRef, void* other) {
  restSeen.push_back(EventLoopAtRest());
  SetEventLoopTimerNextFireTime(static_cast<EventLoopTimerRef>(other), 0.1);
  EventRef ev = nullptr;
  ReceiveNextEvent(0, nullptr, 0.5, true, &ev);
  if (ev) ReleaseEvent(ev);
}

// Puts the loop back as the other tests expect it, however the test ends.
struct RestPutBack {
  EventLoopTimerRef note = nullptr, outer = nullptr;
  ~RestPutBack() {
    SetEventLoopRestHook(nullptr);
    if (note) RemoveEventLoopTimer(note);
    if (outer) RemoveEventLoopTimer(outer);
    SetManualPlatformClock(false);
  }
};

TEST(PlatformRest, OnlyBetweenDispatchesAtTheTopOfTheLoop) {
  restSeen.clear();
  rests = 0;
  RestPutBack back;
  SetManualPlatformClock(true);
  SetEventLoopRestHook([] { rests++; });
  EXPECT_TRUE(EventLoopAtRest());
  EventLoopTimerRef& note = back.note;
  EventLoopTimerRef& outer = back.outer;
  ASSERT_EQ(InstallEventLoopTimer(1.0, 0, Note, nullptr, &note), noErr);
  AdvancePlatformClock(1.0);
  ASSERT_EQ(restSeen, std::vector<bool>{true});
  EXPECT_EQ(rests, 1);
  // Fired from a wait that a dispatch runs: not at rest, and rest comes back only when the
  // outer dispatch ends.
  ASSERT_EQ(InstallEventLoopTimer(1.0, 0, WaitInside, note, &outer), noErr);
  AdvancePlatformClock(1.0);
  EXPECT_EQ(restSeen, (std::vector<bool>{true, true, false}));
  EXPECT_EQ(rests, 2);
  // A wait at the top is no rest either.
  SetEventLoopTimerNextFireTime(note, 0.2);
  EventRef ev = nullptr;
  ReceiveNextEvent(0, nullptr, 0.5, true, &ev);
  if (ev) ReleaseEvent(ev);
  EXPECT_EQ(restSeen.back(), false);
  EXPECT_EQ(rests, 2);
}

std::vector<int> signalled;

TEST(QuitSignals, EachIsHandedOverFromTheLoopNotFromTheHandler) {
  signalled.clear();
  ASSERT_TRUE(WatchQuitSignals([](int s) { signalled.push_back(s); }));
  struct Stop {
    ~Stop() { StopQuitSignals(); }
  } stop;
  for (int s : {SIGTERM, SIGHUP, SIGINT}) ASSERT_EQ(kill(getpid(), s), 0);
  EXPECT_TRUE(signalled.empty());
  // A wait nested in the loop hands them over, in order.
  for (int i = 0; i < 50 && signalled.size() < 3; i++) {
    EventRef ev = nullptr;
    ReceiveNextEvent(0, nullptr, 0.1, true, &ev);
    if (ev) ReleaseEvent(ev);
  }
  EXPECT_EQ(signalled, (std::vector<int>{SIGTERM, SIGHUP, SIGINT}));
  EXPECT_STREQ(QuitSignalName(SIGHUP), "SIGHUP");
  StopQuitSignals();
  struct sigaction now = {};
  sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

std::vector<std::string> passedOn;  // the messages the handler before the watch was given

void Earlier(QtMsgType, const QMessageLogContext&, const QString& msg) {
  passedOn.push_back(msg.toStdString());
}

// Only the platform's own words for a broken display connection, said on the event loop's
// thread, take the quit path, which ends the process with the status it returns: words that
// merely contain them, another kind of message, a category's, or another thread's go on to the
// handler installed before, as any message.
TEST(DisplayLoss, OnlyThePlatformsOwnWordsOnTheLoopsThreadEndTheRun) {
  const std::string broke = "The X11 connection broke (error 1). Did the X11 server die?";
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process with its own loop
  for (const std::string& words :
       {broke, std::string("The X11 connection broke: I/O error (code 1)"),
        std::string("The Wayland connection broke. Did the Wayland compositor die?"),
        std::string("The Wayland connection experienced a fatal error: Broken pipe")}) {
    EXPECT_EXIT(
        {
          WatchDisplayLoss([] { return 3; });
          qCritical("%s", words.c_str());
          qWarning("%s", words.c_str());
        },
        testing::ExitedWithCode(3), "connection (broke|experienced)")
        << words;
  }

  passedOn.clear();
  qInstallMessageHandler(Earlier);
  WatchDisplayLoss([] { return 3; });
  const char* b = broke.c_str();
  qWarning("The camera connection broke");
  qWarning("Reconnecting after: %s", b);
  qWarning("%s Retrying.", b);
  qDebug("%s", b);
  qInfo("%s", b);
  const QLoggingCategory category("lumerin.test");
  qCWarning(category, "%s", b);
  std::thread([b] { qCritical("%s", b); }).join();
  std::thread([] {
    qWarning("The Wayland connection broke. Did the Wayland compositor die?");
  }).join();
  WatchDisplayLoss(nullptr);
  qWarning("%s", b);  // no longer watched
  qInstallMessageHandler(nullptr);
  EXPECT_EQ(passedOn, (std::vector<std::string>{
                          "The camera connection broke", "Reconnecting after: " + broke,
                          broke + " Retrying.", broke, broke, broke, broke,
                          "The Wayland connection broke. Did the Wayland compositor die?", broke}));
}

}  // namespace
