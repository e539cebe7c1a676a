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
  FILE* p = popen(("python3 '" + CheckerPath() + "' '" + path + "' 2>&1").c_str(), "r");
  if (p == nullptr) {
    CheckerSkipped(path);
    return false;
  }
  out->clear();
  char buf[512];
  while (fgets(buf, sizeof(buf), p) != nullptr) *out += buf;
  int status = pclose(p);
  *rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

}  // namespace cattest
