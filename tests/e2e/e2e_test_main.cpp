// Test main for the end-to-end programs: their tests run the program's own entry, which makes
// and ends the Qt application itself, so none is made here. The watchdog ends a test's waits
// through the program's quit while an application runs, and stops a run stuck without one.
#include <gtest/gtest.h>

#include "app/core/pseam.h"
#include "testutil/watchdog.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new testutil::Watchdog(PquitEventLoop));
  return RUN_ALL_TESTS();
}
