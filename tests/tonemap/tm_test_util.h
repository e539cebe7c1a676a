// Helpers of the tone-mapping tests: tone-mapping structs that are released at the end of the
// scope, and paths of temporary and shared test files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "tonemap/tonemap.h"

namespace tmtest {

struct TmDeleter {
  void operator()(TMstruct* t) const { tmDone(t); }
};
using TmPtr = std::unique_ptr<TMstruct, TmDeleter>;

// A quiet tone-mapping struct for display primaries `prims` (standard ones when null).
inline TmPtr QuietTm(int flags = 0, double gamma = 2.2, RGBPRIMP prims = nullptr) {
  return TmPtr(tmInit(flags | TMF_QUIET, prims, gamma));
}

// A quiet tone-mapping struct with input primaries `inprims` (CIE XYZ when null) at scale sf.
inline TmPtr SpaceTm(RGBPRIMP inprims, double sf, int flags = 0) {
  TmPtr t = QuietTm(flags);
  EXPECT_EQ(tmSetSpace(t.get(), inprims, sf, nullptr), 0);
  return t;
}

inline std::string TempPath(const char* name, const char* suffix) {
  return testing::TempDir() + name + std::to_string(getpid()) + suffix;
}

inline std::string TestFile(const char* dir, const char* name) {
  return std::string(LUMERIN_TESTDATA) + "/" + dir + "/" + name;
}

}  // namespace tmtest
