// A desktop of the test's own: an X server (Xvfb, on the first free display number from 200 up)
// with a window manager (openbox) on it, started before the test program makes its Qt
// application and stopped after. With the tools it needs absent, it says which and starts
// nothing. Also what a person does there (a click somewhere, a window brought to the front
// from outside the program) and what the server tells of it (the stacking of the managed
// windows), through the desktop's small tools (xdotool, xprop).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "testutil/run_program.h"
#include "testutil/wait_until.h"

namespace testutil {

class XDesktop {
 public:
  // Far above the numbers people and other tools take (from 0 up, or 99 down).
  static constexpr int kFirstDisplay = 200;

  // The screen's size; the window manager's settings (its clicks and focus) are written into a
  // folder of its own, config.
  XDesktop(const std::string& config, int width, int height) {
    for (const char* tool : {"Xvfb", "openbox", "xdotool", "xprop", "xwininfo"})
      if (!OnPath(tool)) absent_ += std::string(absent_.empty() ? "" : ", ") + tool;
    if (!absent_.empty()) return;
    log_ = config + "/desktop.log";
    // The server takes the first display number from kFirstDisplay up that no other holds: one
    // held by another server's lock file in /tmp makes it end at once, and the next is tried.
    // (A number the server picks itself, -displayfd, takes no lock file, which servers started
    // on a number look at. -noreset: a server that its last client left, such as a look below,
    // would start afresh and turn the next one away meanwhile.)
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    for (int n = kFirstDisplay; n < kFirstDisplay + 100 && display_.empty(); ++n) {
      const std::string d = ":" + std::to_string(n);
      pid_t server =
          Start({"Xvfb", d, "-screen", "0", size + "x24", "-nolisten", "tcp", "-noreset"}, log_);
      if (server < 0) return;
      setenv("DISPLAY", d.c_str(), 1);
      // Up once its lock file names it (this number is its own) and a client reaches it,
      // unless it ended.
      const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
      bool up = false;
      WaitUntil([&] {
        if (waitpid(server, nullptr, WNOHANG) == server) server = -1;
        std::ifstream in(lock);
        long holder = 0;
        up = server > 0 && (in >> holder) && holder == server &&
             RunProgram({"xdotool", "getdisplaygeometry"}) == 0;
        return server < 0 || up;
      });
      if (up) {
        xserver_ = server;
        display_ = d;
      } else if (server > 0) {
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
      }
    }
    if (display_.empty()) return;
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
    wm_ = Start({"openbox", "--sm-disable", "--config-file", rc}, log_);
    // Managing once it names its check window on the root, unless it ended.
    WaitUntil([&] {
      std::string out;
      ready_ = RunProgram({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, &out) == 0 &&
               out.find("window id") != std::string::npos;
      int status = 0;
      if (!ready_ && wm_ > 0 && waitpid(wm_, &status, WNOHANG) == wm_) {
        wmStatus_ = status;
        wm_ = -1;
      }
      return ready_ || wm_ < 0;
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
  // Why there is no desktop although the tools are there, with what the server and the window
  // manager said.
  std::string Why() const {
    std::string why = "the window manager did not take " + display_;
    if (display_.empty())
      why = "no X server came up";
    else if (wmStatus_ >= 0)
      why = "the window manager ended on " + display_ + " with status " + std::to_string(wmStatus_);
    std::ifstream in(log_);
    const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return why + "; they said: " + said.substr(said.size() > 2000 ? said.size() - 2000 : 0);
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
  // Where a managed window lies on the screen, as the server has it: its own area (client) and
  // that with the window manager's frame around it.
  struct Area {
    int x = 0, y = 0, width = 0, height = 0;
    bool Contains(int px, int py) const {
      return px >= x && px < x + width && py >= y && py < y + height;
    }
  };
  struct Place {
    Area client, frame;
  };
  static bool PlaceOf(unsigned long window, Place* place) {
    std::string info, extents;
    if (RunProgram({"xwininfo", "-id", std::to_string(window)}, &info) != 0 ||
        RunProgram({"xprop", "-id", std::to_string(window), "-notype", "_NET_FRAME_EXTENTS"},
                   &extents) != 0)
      return false;
    Area& c = place->client;
    const auto number = [&](const char* label, int* to) {
      const size_t at = info.find(label);
      return at != std::string::npos &&
             std::sscanf(info.c_str() + at + strlen(label), "%d", to) == 1;
    };
    int left = 0, right = 0, top = 0, bottom = 0;
    const size_t eq = extents.find('=');
    if (!number("Absolute upper-left X:", &c.x) || !number("Absolute upper-left Y:", &c.y) ||
        !number("Width:", &c.width) || !number("Height:", &c.height) || eq == std::string::npos ||
        std::sscanf(extents.c_str() + eq + 1, "%d ,%d ,%d ,%d", &left, &right, &top, &bottom) != 4)
      return false;
    place->frame = Area{c.x - left, c.y - top, c.width + left + right, c.height + top + bottom};
    return true;
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
  // Starts args in a child that ends with this process, its output added to the file log. Its
  // pid, or -1.
  static pid_t Start(const std::vector<std::string>& args, const std::string& log) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    dup2(null, 0);
    dup2(out >= 0 ? out : null, 1);
    dup2(out >= 0 ? out : null, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }

  std::string absent_, display_, log_;
  pid_t xserver_ = -1, wm_ = -1;
  int wmStatus_ = -1;  // how the window manager ended, once it did
  bool ready_ = false;
};

}  // namespace testutil
