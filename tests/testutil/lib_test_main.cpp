// Test main for the library's tests: the process takes the environment's locale, as a program
// that links the library does, so that LANG and LC_ALL apply to what the tests run.
#include <gtest/gtest.h>
#include <locale.h>

#include "testutil/entry_locale.h"

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  const int exit = testutil::EntryLocaleExit();
  if (exit >= 0) return exit;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
