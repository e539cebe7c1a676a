// Helpers of the catalogue tests: temporary catalogue files and the outside file checker.
#pragma once

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "db/test_access_util.h"

namespace cattest {

using dbtest::OpenStream;
using dbtest::TempFile;

// Runs the outside checker on path; false (with a message) when it cannot run. The exit code
// and everything it printed go to *rc and *out.
inline bool RunQdbcheck(const std::string& path, int* rc, std::string* out) {
  std::string tool = std::string(LUMERIN_TOOLS) + "/qdbcheck.py";
  if (access(tool.c_str(), R_OK) != 0 || system("python3 -c 1 >/dev/null 2>&1") != 0) {
    fprintf(stderr, "qdbcheck.py or python3 not available: file check skipped\n");
    return false;
  }
  FILE* p = popen(("python3 '" + tool + "' '" + path + "' 2>&1").c_str(), "r");
  if (p == nullptr) return false;
  out->clear();
  char buf[512];
  while (fgets(buf, sizeof(buf), p) != nullptr) *out += buf;
  int status = pclose(p);
  *rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

}  // namespace cattest
