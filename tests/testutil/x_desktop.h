// A desktop of the test's own: an X server (Xvfb, on the first free display number it finds)
// with a window manager (openbox) on it, started before the test program makes its Qt
// application and stopped after. With the tools it needs absent, it says which and starts
// nothing. Also what a person does there (a click somewhere, a window brought to the front
// from outside the program) and what the server tells of it (the stacking of the managed
// windows), through the desktop's small tools (xdotool, xprop).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "testutil/run_program.h"
#include "testutil/wait_until.h"

namespace testutil {

class XDesktop {
 public:
  // The screen's size; the window manager's settings (its clicks and focus) are written into a
  // folder of its own, config.
  XDesktop(const std::string& config, int width, int height) {
    for (const char* tool : {"Xvfb", "openbox", "xdotool", "xprop"})
      if (!OnPath(tool)) absent_ += std::string(absent_.empty() ? "" : ", ") + tool;
    if (!absent_.empty()) return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    const std::string size = std::to_string(width) + "x" + std::to_string(height) + "x24";
    xserver_ = Start({"Xvfb", "-displayfd", "3", "-screen", "0", size, "-nolisten", "tcp"}, fds[1]);
    close(fds[1]);
    std::string number;
    for (;;) {  // the server writes its display number once it listens
      pollfd p{fds[0], POLLIN, 0};
      char c = 0;
      if (poll(&p, 1, 60000) != 1 || read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    close(fds[0]);
    if (xserver_ < 0 || number.empty()) return;
    display_ = ":" + number;
    setenv("DISPLAY", display_.c_str(), 1);
    // Its settings in a folder of their own: a click on a window brings it to the front, as a
    // desktop's does; a new window takes the focus.
    const std::string rc = config + "/openbox/rc.xml";
    mkdir((config + "/openbox").c_str(), 0700);
    std::ofstream(rc)
        << "<?xml version=\"1.0\"?>\n<openbox_config xmlns=\"http://openbox.org/3.4/rc\">\n"
           "<focus><focusNew>yes</focusNew><followMouse>no</followMouse></focus>\n"
           "<placement><policy>Smart</policy></placement>\n<desktops><number>1</number>"
           "</desktops>\n<mouse>\n"
           "<context name=\"Titlebar Client\"><mousebind button=\"Left\" action=\"Press\">"
           "<action name=\"Focus\"/><action name=\"Raise\"/></mousebind></context>\n"
           "</mouse>\n</openbox_config>\n";
    wm_ = Start({"openbox", "--sm-disable", "--config-file", rc}, -1);
    // Managing once it names its check window on the root.
    std::string out;
    ready_ = wm_ > 0 && WaitUntil([&] {
               return RunProgram({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, &out) == 0 &&
                      out.find("window id") != std::string::npos;
             });
  }
  ~XDesktop() {
    for (pid_t p : {wm_, xserver_})
      if (p > 0) {
        kill(p, SIGTERM);
        waitpid(p, nullptr, 0);
      }
  }
  XDesktop(const XDesktop&) = delete;
  XDesktop& operator=(const XDesktop&) = delete;

  bool Ready() const { return ready_; }
  // The tools a desktop needs that are not on PATH (empty: none).
  const std::string& Absent() const { return absent_; }
  // Why there is no desktop although the tools are there.
  std::string Why() const {
    if (xserver_ < 0 || display_.empty()) return "the X server told no display number";
    int status = 0;
    if (wm_ > 0 && waitpid(wm_, &status, WNOHANG) == wm_)
      return "the window manager ended on " + display_ + " with status " + std::to_string(status);
    return "the window manager did not take " + display_;
  }
  const std::string& Display() const { return display_; }

  // The managed windows from the bottom of the stack up.
  static std::vector<unsigned long> Stacking() {
    std::string out;
    std::vector<unsigned long> ids;
    if (RunProgram({"xprop", "-root", "-notype", "_NET_CLIENT_LIST_STACKING"}, &out) != 0)
      return ids;
    for (size_t at = out.find("0x"); at != std::string::npos; at = out.find("0x", at + 2))
      ids.push_back(std::strtoul(out.c_str() + at, nullptr, 16));
    return ids;
  }
  // A press and release of the left button at (x, y) on the screen.
  static bool Click(int x, int y) {
    return RunProgram(
               {"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "1"}) == 0;
  }
  // Asks the window manager to bring the window to the front and give it the keyboard, as a
  // task bar does.
  static bool Activate(unsigned long window) {
    return RunProgram({"xdotool", "windowactivate", std::to_string(window)}) == 0;
  }

 private:
  // Starts args in a child that ends with this process, with fd (unless -1) as its descriptor 3;
  // its output dropped. Its pid, or -1.
  static pid_t Start(const std::vector<std::string>& args, int fd) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (fd == 3)
      fcntl(fd, F_SETFD, 0);
    else if (fd >= 0)
      dup2(fd, 3);
    execvp(argv[0], argv.data());
    _exit(127);
  }

  std::string absent_, display_;
  pid_t xserver_ = -1, wm_ = -1;
  bool ready_ = false;
};

}  // namespace testutil
