// Waiting for a state that another thread, process or the event loop brings about: looked at
// again and again until it holds, within a bound generous enough for a busy machine (a test
// that must wait never decides its verdict on a short fixed time).
#pragma once

#include <chrono>
#include <thread>

namespace testutil {

// The bound of a wait for a state: a minute.
constexpr std::chrono::milliseconds kStateWait{60000};

// Calls step between looks until holds() is true (true) or bound has passed (false).
template <class Holds, class Step>
bool WaitUntil(Holds holds, Step step, std::chrono::milliseconds bound = kStateWait) {
  const auto end = std::chrono::steady_clock::now() + bound;
  while (!holds()) {
    if (std::chrono::steady_clock::now() > end) return holds();
    step();
  }
  return true;
}

// The same, sleeping a few milliseconds between looks.
template <class Holds>
bool WaitUntil(Holds holds, std::chrono::milliseconds bound = kStateWait) {
  return WaitUntil(
      holds, [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }, bound);
}

}  // namespace testutil
