// Where the benchmarks find the shared test pictures: $LUMERIN_TESTDATA, else the testdata
// folder beside the source tree.
#pragma once

#include <cstdlib>
#include <string>

inline std::string testdataDir() {
  const char* env = std::getenv("LUMERIN_TESTDATA");
  if (env != nullptr && *env) return env;
  const std::string src = __FILE__;  // <root>/bench/bench_testdata.h
  const size_t cut = src.rfind("bench/");
  const std::string root = cut == std::string::npos || cut == 0 ? "." : src.substr(0, cut - 1);
  return root + "/../shared/testdata";
}
