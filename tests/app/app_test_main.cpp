// Test main for the application's tests: a Qt application on the offscreen platform.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <cerrno>
#include <clocale>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/core/pfolder.h"
#include "app/core/pseam.h"
#include "support/dmessage.h"
#include "testutil/entry_locale.h"
#include "testutil/watchdog.h"

// Fontconfig keeps its font cache until the process ends; LeakSanitizer would take that for a
// leak of ours. Only its own frames are suppressed.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

// Each test starts with the message facility as the program began: what a test (or a start-up
// it ran) changed of where each class goes and of the hooks is put back when it ends.
class MessagesPutBack : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override {
    std::copy(std::begin(dmessage_class_flags), std::end(dmessage_class_flags), flags_);
    abort_ = dmessage_abort;
    exit_ = dmessage_exit;
    alert_ = dmessage_alert;
    call_ = dmessage_call;
  }
  void OnTestEnd(const testing::TestInfo&) override {
    std::copy(std::begin(flags_), std::end(flags_), dmessage_class_flags);
    dmessage_abort = abort_;
    dmessage_exit = exit_;
    dmessage_alert = alert_;
    dmessage_call = call_;
    dmessage_last_class = DMCnerr;
  }
  uint32_t flags_[DMCnerr + 1] = {};
  void (*abort_)() = nullptr;
  void (*exit_)(int) = nullptr;
  DMalertHook alert_ = nullptr;
  DMcallHook call_ = nullptr;
};

// Each test sees the machine's folders alike whoever runs it: a folder of another user that this
// one may not read (/root, /lost+found, another user's folder in /tmp) is read as an empty one.
// The folder lists look into every folder beside those they show, and the warning each of those
// would log otherwise makes every later status message of the test blink first, for any user
// but root. The tests' own folders are read as they are.
class OthersFoldersReadAsEmpty : public testing::EmptyTestEventListener {
 public:
  // The empty folder read instead is one made and removed at once, held open.
  OthersFoldersReadAsEmpty() {
    const std::string pattern = QDir::tempPath().toStdString() + "/lumerin_empty_XXXXXX";
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    if (mkdtemp(path.data()) == nullptr) return;
    empty_ = open(path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    rmdir(path.data());
  }

 private:
  static DIR* Open(const char* path) {
    DIR* dir = opendir(path);
    if (dir != nullptr || errno != EACCES || empty_ < 0) return dir;
    const int err = errno;
    struct stat st;
    if (stat(path, &st) != 0 || st.st_uid == geteuid()) {
      errno = err;
      return nullptr;
    }
    const int fd = fcntl(empty_, F_DUPFD_CLOEXEC, 0);
    dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr && fd >= 0) close(fd);
    return dir;
  }
  // (A test that fakes the reader puts the plain one back as it ends.)
  void OnTestStart(const testing::TestInfo&) override {
    gFolderReader = PFolderReader{Open, readdir, closedir};
  }
  static int empty_;
};
int OthersFoldersReadAsEmpty::empty_ = -1;

int main(int argc, char** argv) {
  // The application takes the user's locale (the Qt application does so too).
  setlocale(LC_ALL, "");
  const int exit = testutil::EntryLocaleExit();
  if (exit >= 0) return exit;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
#ifdef LUMERIN_OFFSCREEN_SCREENS
  // A screen larger than the main window's form, where full screen can be measured exactly.
  static const std::string wide = std::string("offscreen:configfile=") + LUMERIN_OFFSCREEN_SCREENS;
  if (strcmp(getenv("QT_QPA_PLATFORM"), "offscreen") == 0)
    setenv("QT_QPA_PLATFORM", wide.c_str(), 1);
#endif
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new MessagesPutBack);
  testing::UnitTest::GetInstance()->listeners().Append(new OthersFoldersReadAsEmpty);
  testing::UnitTest::GetInstance()->listeners().Append(new testutil::Watchdog(PquitEventLoop));
  return RUN_ALL_TESTS();
}
