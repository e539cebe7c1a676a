// The outside catalogue checker (qdbcheck.py in LUMERIN_TOOLS, run with python3). Where it
// cannot run, a test that wanted it is marked skipped with the reason and goes on with its
// other checks: a check left out is never passed in silence.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testutil/run_program.h"

inline std::string CheckerPath() {
  return std::string(LUMERIN_TOOLS) + "/qdbcheck.py";
}

// Marks the running test skipped, naming the file the checker could not check.
inline void CheckerSkipped(const std::string& path) {
  GTEST_SKIP() << "the outside catalogue checker (python3 with " << CheckerPath()
               << ") cannot run here: " << path << " was not checked";
}

// Whether the checker can run here; when it cannot, the test is marked skipped for path.
inline bool CheckerRuns(const std::string& path) {
  static const bool runs =
      access(CheckerPath().c_str(), R_OK) == 0 && testutil::ProgramRuns({"python3", "-c", "1"});
  if (!runs) CheckerSkipped(path);
  return runs;
}

// Runs the checker with args; its exit code (-1: it did not run), its output in *out with its
// error output where errors says.
inline int RunCheckerProgram(const std::vector<std::string>& args, std::string* out,
                             testutil::Errors errors = testutil::Errors::kWithOutput) {
  std::vector<std::string> argv = {"python3", CheckerPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return testutil::RunProgram(argv, out, errors);
}

// The checker's output for args, run to its end however long that takes (its error output
// shown); a failure of the running test when it refuses the file (exits non-zero) or cannot be
// started once CheckerRuns said it runs.
inline std::string CheckerOutput(const std::vector<std::string>& args) {
  std::string out;
  const int rc = RunCheckerProgram(args, &out, testutil::Errors::kShown);
  if (rc != 0) ADD_FAILURE() << "the outside catalogue checker exited with " << rc << "\n" << out;
  return out;
}
