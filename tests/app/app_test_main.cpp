// Test main for the application's tests: a Qt application on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

// Fontconfig keeps its font cache until the process ends; LeakSanitizer would take that for a
// leak of ours. Only its own frames are suppressed.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
