// Test main for the application's tests: a Qt application on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <cstring>
#include <string>

// Fontconfig keeps its font cache until the process ends; LeakSanitizer would take that for a
// leak of ours. Only its own frames are suppressed.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
#ifdef LUMERIN_OFFSCREEN_SCREENS
  // A screen wider than the window's minimum size, where full screen can be measured exactly.
  static const std::string wide = std::string("offscreen:configfile=") + LUMERIN_OFFSCREEN_SCREENS;
  if (strcmp(getenv("QT_QPA_PLATFORM"), "offscreen") == 0)
    setenv("QT_QPA_PLATFORM", wide.c_str(), 1);
#endif
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
