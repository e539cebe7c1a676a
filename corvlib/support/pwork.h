// Long work of the library tells how far it has come. The work calls PworkStep every so often
// (every few thousand records, so that the call costs nothing worth measuring), at points where
// its own data are whole; a program with windows installs a hook that keeps its windows painted
// and shows the progress. The hook must not change what the work reads or writes.
#pragma once

#include <chrono>

// done: the fraction of the work done (0 .. 1), or negative when it is not known.
using PWorkHook = void (*)(double done);

namespace pwork_detail {
inline PWorkHook hook = nullptr;
}

inline void PsetWorkHook(PWorkHook h) {
  pwork_detail::hook = h;
}

inline void PworkStep(double done) {
  if (pwork_detail::hook != nullptr) pwork_detail::hook(done);
}

// A step every 4,096 items of a loop over total items (total 0 or less: not known).
inline void PworkItem(long long i, long long total) {
  if ((i & 4095) == 0 && pwork_detail::hook != nullptr)
    pwork_detail::hook(total > 0 ? static_cast<double>(i) / static_cast<double>(total) : -1.0);
}

// A picture read a slice at a time (a thumbnail, an open, an export or a print of a large
// picture) calls PworkSlice between its slices: after every band of a few million of the
// picture's pixels, a few hundredths of a second of work. A program with windows installs a
// hook that keeps them alive (pumping its events at most every kSliceSeconds) and shows the
// progress; the hook answers false when the user asked the work to stop, and the read then
// ends as a failure.
using PSliceHook = bool (*)(double done);
constexpr double kSliceSeconds = 0.05;

namespace pwork_detail {
inline PSliceHook slice = nullptr;
}

// Installs h (null: none); returns the hook it replaces.
inline PSliceHook PsetSliceHook(PSliceHook h) {
  const PSliceHook old = pwork_detail::slice;
  pwork_detail::slice = h;
  return old;
}

inline bool PworkSlice(double done) {
  return pwork_detail::slice == nullptr || pwork_detail::slice(done);
}

// A wait for another process: a lock it holds on a file this one reads or writes (a copy of the
// program stopped in the middle of its read, say), tried again every few milliseconds for up to
// a few seconds. The wait is no work of this program's, and it may come in work that shows no
// progress; a program with windows keeps them painted meanwhile all the same. When long work is
// under way as the wait begins (a work hook is installed), its steps are that work's steps;
// otherwise the program's wait hook is told when the wait begins, at each of its steps, and when
// it ends. Like the work hook, the wait hook must not change what the waiting code reads or
// writes.
//
// As the wait begins the hook answers whether the program can keep its windows painted through
// it (its answer at the other phases counts for nothing). Where it cannot (a question waits for
// the user, and nothing may run that could answer it), the wait is turned away once it has lasted
// kUnpaintedWait seconds: the waiting code gives up as one that may not wait, losing nothing and
// failing in nothing (a sync writes nothing and keeps its changes, a block stays in memory, a
// read is left to be made again), and whatever asked tries again later.
enum class PWaitPhase { begin, step, end };
using PWaitHook = bool (*)(PWaitPhase phase);
constexpr double kUnpaintedWait = 0.05;

namespace pwork_detail {
inline PWaitHook wait = nullptr;
}

// Installs h (null: none); returns the hook it replaces.
inline PWaitHook PsetWaitHook(PWaitHook h) {
  const PWaitHook old = pwork_detail::wait;
  pwork_detail::wait = h;
  return old;
}

// One wait for another process, in scope around the loop that tries again. Its first Step (after
// the first try that failed) begins the wait; a wait that took no step told nothing.
class PWorkWait {
 public:
  PWorkWait() = default;
  ~PWorkWait() {
    if (told_ != nullptr) told_(PWaitPhase::end);
  }
  PWorkWait(const PWorkWait&) = delete;
  PWorkWait& operator=(const PWorkWait&) = delete;
  // False once the wait is turned away: the caller stops trying (and stays turned away).
  bool Step() {
    if (!begun_) {
      begun_ = true;
      if (pwork_detail::hook == nullptr && pwork_detail::wait != nullptr) {
        told_ = pwork_detail::wait;
        painted_ = told_(PWaitPhase::begin);
        // Timed from here, and only when it cannot be painted: a lock taken at the first try
        // reads no clock.
        if (!painted_) start_ = std::chrono::steady_clock::now();
      }
    }
    if (!painted_) {
      turnedAway_ = turnedAway_ || std::chrono::steady_clock::now() - start_ >=
                                       std::chrono::duration<double>(kUnpaintedWait);
      return !turnedAway_;
    }
    if (told_ != nullptr)
      told_(PWaitPhase::step);
    else
      PworkStep(-1);
    return true;
  }
  // Whether the wait was turned away.
  bool TurnedAway() const { return turnedAway_; }

 private:
  std::chrono::steady_clock::time_point start_;  // when a wait that cannot be painted began
  bool begun_ = false;
  bool painted_ = true;
  bool turnedAway_ = false;
  PWaitHook told_ = nullptr;  // the wait hook told of the beginning, which is told the rest
};
