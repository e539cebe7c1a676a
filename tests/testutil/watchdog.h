// A limit on every test of a window test program: a test still running after a long bound of
// real time (a wait for a dialog that never shows, say) fails, saying so, and the waits under
// way are ended through the event loop, so that the test and the run go on. One that does not
// end even then stops the run rather than waiting without end, with a failure naming the test
// and saying what happened: its waits were ended and it went on, or it never came back to an
// event loop where they could be (a blocking call or a loop of its own), or there was none.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace testutil {

class Watchdog : public testing::EmptyTestEventListener {
 public:
  // endWaits runs on the main thread, from whatever event loop it is in, once a test has run
  // longer than bound; the run stops when the test still runs grace later.
  Watchdog(std::function<void()> endWaits, std::chrono::seconds bound = std::chrono::seconds(240),
           std::chrono::seconds grace = std::chrono::seconds(50))
      : endWaits_(std::move(endWaits)),
        bound_(bound),
        grace_(grace),
        thread_([this] { Watch(); }) {}
  ~Watchdog() override {
    {
      std::lock_guard<std::mutex> lock(m_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

  void OnTestStart(const testing::TestInfo& t) override {
    std::lock_guard<std::mutex> lock(m_);
    name_ = std::string(t.test_suite_name()) + "." + t.name();
    ++test_;
    running_ = true;
    cv_.notify_all();
  }
  void OnTestEnd(const testing::TestInfo&) override {
    // What the test left to be deleted goes with it: a window of one test (a dialog hidden and
    // on its way out, say) is never the next one's active window, nor the parent of its dialogs,
    // which would go with it.
    if (QCoreApplication::instance() != nullptr)
      QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    std::lock_guard<std::mutex> lock(m_);
    running_ = false;
    cv_.notify_all();
  }

 private:
  void Watch() {
    std::unique_lock<std::mutex> lock(m_);
    while (!done_) {
      if (!running_) {
        cv_.wait(lock);
        continue;
      }
      const long test = test_;
      const auto over = [&] { return done_ || !running_ || test_ != test; };
      if (cv_.wait_for(lock, bound_, over)) continue;
      const std::string name = name_;
      const int seconds = static_cast<int>(bound_.count());
      ended_ = 0;
      // The application is made and ended by some tests themselves (the program's own entry):
      // with none, nothing can end the waits.
      QCoreApplication* app = QCoreApplication::instance();
      const bool loop = app != nullptr;
      if (loop)
        QMetaObject::invokeMethod(
            app,
            [this, test, name, seconds] {
              {
                std::lock_guard<std::mutex> still(m_);
                if (!running_ || test_ != test) return;  // it ended meanwhile
                ended_ = test;
              }
              ADD_FAILURE() << name << " still ran after " << seconds << " s: its waits are ended";
              endWaits_();
            },
            Qt::QueuedConnection);
      if (cv_.wait_for(lock, grace_, over)) continue;
      const int more = static_cast<int>(grace_.count());
      std::string what;
      if (ended_ == test)
        what = "its waits were ended after " + std::to_string(seconds) + " s, and it still ran " +
               std::to_string(more) + " s later";
      else if (loop)
        what = "still running after " + std::to_string(seconds + more) +
               " s, and never came back to the event loop, where its waits would have been "
               "ended (stuck in a blocking call or a loop of its own)";
      else
        what = "still running after " + std::to_string(seconds + more) +
               " s, with no event loop to end its waits";
      fflush(stdout);
      fprintf(stderr, "\n[  FAILED  ] %s: %s: the run stops here\n", name.c_str(), what.c_str());
      fflush(stderr);
      abort();
    }
  }

  std::function<void()> endWaits_;
  std::chrono::seconds bound_, grace_;
  std::mutex m_;
  std::condition_variable cv_;
  std::string name_;
  long test_ = 0;
  long ended_ = 0;  // the test whose waits were ended
  bool running_ = false, done_ = false;
  std::thread thread_;  // last: starts once the rest is made
};

}  // namespace testutil
