// Long work of the library tells how far it has come. The work calls PworkStep every so often
// (every few thousand records, so that the call costs nothing worth measuring), at points where
// its own data are whole; a program with windows installs a hook that keeps its windows painted
// and shows the progress. The hook must not change what the work reads or writes.
#pragma once

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
