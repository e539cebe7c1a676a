#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/plaunch.h"
#include "testutil/wait_until.h"

namespace {

// A stand-in opener on PATH that writes the last argument it got and then how many (the count
// last: a reader that finds it finds the argument whole), then sleeps and exits as its
// environment says. The test runs in the stand-in's folder, so a file
// made by a shell that read an argument as a command would appear there.
class StandIn : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    d_ = dir_.path().toStdString();
    std::ofstream(d_ + "/xdg-open")
        << "#!/bin/sh\n"
           "for a in \"$@\"; do printf '%s' \"$a\" > \"$STANDIN_OUT.arg\"; done\n"
           "printf '%s' \"$#\" > \"$STANDIN_OUT.n\"\n"
           "sleep \"${STANDIN_SLEEP:-0}\"\n"
           "exit \"${STANDIN_STATUS:-0}\"\n";
    chmod((d_ + "/xdg-open").c_str(), 0755);
    oldPath_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (d_ + ":" + oldPath_).c_str(), 1);
    setenv("STANDIN_OUT", (d_ + "/out").c_str(), 1);
    oldDir_ = QDir::currentPath();
    QDir::setCurrent(dir_.path());
  }
  void TearDown() override {
    setenv("PATH", oldPath_.c_str(), 1);
    unsetenv("STANDIN_SLEEP");
    unsetenv("STANDIN_STATUS");
    QDir::setCurrent(oldDir_);
  }
  // The stand-in's record, waiting for a detached run to write it.
  bool Record(std::string* count, std::string* arg) {
    return testutil::WaitUntil([&] {
      std::ifstream n(d_ + "/out.n");
      std::stringstream a;
      a << std::ifstream(d_ + "/out.arg").rdbuf();
      if (!(n >> *count) || count->empty()) return false;
      *arg = a.str();
      return true;
    });
  }
  QTemporaryDir dir_;
  std::string d_, oldPath_;
  QString oldDir_;
};

}  // namespace

TEST_F(StandIn, ANameFullOfShellSyntaxArrivesAsOneArgumentAndRunsNothing) {
  const std::string name = "a \"b\" $(touch x)'c.jpg";
  ASSERT_TRUE(OpenWithDesktop(name));
  std::string count, arg;
  ASSERT_TRUE(Record(&count, &arg));
  EXPECT_EQ(count, "1");
  EXPECT_EQ(arg, name);
  // The waited form, with the stand-in's exit status.
  setenv("STANDIN_STATUS", "3", 1);
  EXPECT_EQ(OpenWithDesktopAndWait(name, 10), 3);
  EXPECT_EQ(access((d_ + "/x").c_str(), F_OK), -1) << "a shell ran part of the name";

  // A name that is not UTF-8 keeps its bytes as a file URL; one that looks like an option
  // stays a file.
  unsetenv("STANDIN_STATUS");
  EXPECT_EQ(OpenWithDesktopAndWait("/photos/caf\xE9 1.jpg", 10), 0);
  ASSERT_TRUE(Record(&count, &arg));
  EXPECT_EQ(arg, "file:///photos/caf%E9%201.jpg");
  EXPECT_EQ(OpenWithDesktopAndWait("-h.jpg", 10), 0);
  ASSERT_TRUE(Record(&count, &arg));
  EXPECT_EQ(arg, "./-h.jpg");
}

TEST_F(StandIn, WaitsGiveUpAtTheLimitAndMissingProgramsFailAtOnce) {
  // Bounds well below the program's own time and the limits, whatever the machine's load.
  setenv("STANDIN_SLEEP", "5", 1);
  QElapsedTimer t;
  t.start();
  EXPECT_EQ(OpenWithDesktopAndWait("slow.jpg", 0.3), kLaunchTimedOut);
  EXPECT_LT(t.elapsed(), 4500);  // not at the program's end

  t.restart();
  EXPECT_FALSE(LaunchDetached("lumerin-no-such-program", {"a"}));
  EXPECT_EQ(LaunchAndWait("lumerin-no-such-program", {"a"}, 10), kLaunchFailed);
  EXPECT_FALSE(OpenWithProgram(d_ + "/no-such-viewer", {"a.jpg"}));
  setenv("PATH", "/nonexistent", 1);
  EXPECT_FALSE(OpenWithDesktop("a.jpg"));
  EXPECT_EQ(OpenWithDesktopAndWait("a.jpg", 10), kLaunchFailed);
  EXPECT_LT(t.elapsed(), 8000);  // not at the limits of 10 s

  EXPECT_EQ(LaunchAndWait("/bin/sh", {"-c", "kill -KILL $$"}, 10), kLaunchCrashed);
  EXPECT_EQ(LaunchAndWait("/bin/sh", {"-c", "exit 7"}, 10), 7);
}
