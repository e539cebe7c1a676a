// Helpers of the catalogue tests: temporary catalogue files and the outside file checker.
#pragma once

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "db/test_access_util.h"

namespace cattest {

using dbtest::OpenStream;
using dbtest::TempFile;

// Runs the outside checker on path; false, the test marked skipped, when it cannot run. The
// exit code and everything it printed go to *rc and *out.
inline bool RunQdbcheck(const std::string& path, int* rc, std::string* out) {
  if (!CheckerRuns(path)) return false;
  *rc = RunCheckerProgram({path}, out);
  if (*rc < 0) {
    CheckerSkipped(path);
    return false;
  }
  return true;
}

}  // namespace cattest
