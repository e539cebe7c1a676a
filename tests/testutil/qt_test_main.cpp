// Test main for the window tests: a Qt application on the offscreen platform (no display),
// with the test forms registered under the nib "test".
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "platform/pevent.h"
#include "platform/pmenu.h"
#include "platform/pwindow.h"
#include "testutil/watchdog.h"
#include "ui_controlsdialog.h"
#include "ui_mainmenu.h"
#include "ui_plainwindow.h"
#include "ui_testwindow.h"

// Fontconfig keeps its font cache until the process ends; LeakSanitizer would take that for a
// leak of ours. Only its own frames are suppressed.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  RegisterNibWindow("test", "TestWindow", [](QWidget* w) { Ui::TestWindow().setupUi(w); });
  RegisterNibWindow("test", "PlainWindow", [](QWidget* w) { Ui::PlainWindow().setupUi(w); });
  RegisterNibWindow("test", "ControlsDialog", [](QWidget* w) { Ui::ControlsDialog().setupUi(w); });
  RegisterNibMenuBar("test", "MainMenu", [](QMainWindow* m) { Ui::MainMenu().setupUi(m); });
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(
      new testutil::Watchdog(QuitApplicationEventLoop));
  return RUN_ALL_TESTS();
}
