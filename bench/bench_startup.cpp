// Start-up to the shown main window and shut-down of the whole program, each run a new process
// with its home and XDG folders in a fresh temporary place.
//
// The benchmark starts itself again as the program (its own copy of the program's entry,
// LumerinMain, with a hook that reports): start-up runs from the spawn until the main window
// shows; shut-down from the quit command until the process has ended. Under an X display
// (DISPLAY set, built with Xlib) "shows" is the moment the window is mapped on the display,
// found by the process id the toolkit puts on its windows, and the same is timed for geeqie's
// first window when geeqie is installed (its shut-down from the window manager's close request).
//   xvfb-run -s "-screen 0 1600x1200x24" taskset -c 2 build/bench/bench_startup
//   QT_QPA_PLATFORM=offscreen taskset -c 2 build/bench/bench_startup
#include <benchmark/benchmark.h>
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/shell/pshell.h"
#include "platform/pevent.h"
#include "platform/pwindow.h"

#ifdef LUMERIN_HAVE_X11
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#endif

extern char** environ;

namespace {

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// ---- The child: the program, reporting "shown <time>" and, on SIGUSR1, "quit <time>".

std::atomic<bool> quitAsked{false};

int Child(int argc, char** argv) {
  signal(SIGUSR1, [](int) { quitAsked = true; });
  setvbuf(stdout, nullptr, _IONBF, 0);
  return LumerinMain(argc > 1 ? 1 : argc, argv, [] {
    auto* t = new QTimer;
    auto* shown = new bool(false);
    QObject::connect(t, &QTimer::timeout, [shown] {
      if (!*shown && gMain && IsWindowVisible(gMain->GetWindow())) {
        *shown = true;
        printf("shown %.9f\n", Now());
      }
      if (*shown && quitAsked.exchange(false)) {
        printf("quit %.9f\n", Now());
        HICommand quit{0, FourCC("quit"), nullptr, 0};
        ProcessHICommand(&quit);
      }
    });
    t->start(1);
  });
}

// ---- The parent.

struct Run {
  pid_t pid = -1;
  FILE* out = nullptr;
  double spawned = 0;
};

std::string TempHome() {
  char dir[] = "/tmp/lumerin-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return "/tmp";
  return dir;
}

Run Spawn(const std::vector<std::string>& args, const std::string& home, bool pipeOut) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (strncmp(*e, "HOME=", 5) && strncmp(*e, "XDG_", 4)) env.push_back(*e);
  env.push_back("HOME=" + home);
  for (const char* x : {"CONFIG", "CACHE", "STATE", "DATA"})
    env.push_back(std::string("XDG_") + x + "_HOME=" + home + "/" + x);
  std::vector<char*> ev, av;
  for (auto& e : env) ev.push_back(e.data());
  ev.push_back(nullptr);
  std::vector<std::string> a = args;
  for (auto& s : a) av.push_back(s.data());
  av.push_back(nullptr);
  int fd[2] = {-1, -1};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (pipeOut && pipe(fd) == 0) {
    posix_spawn_file_actions_adddup2(&fa, fd[1], 1);
    posix_spawn_file_actions_addclose(&fa, fd[0]);
  }
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  if (!pipeOut) posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  Run r;
  r.spawned = Now();
  if (posix_spawnp(&r.pid, av[0], &fa, nullptr, av.data(), ev.data()) != 0) r.pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  if (pipeOut) {
    close(fd[1]);
    r.out = fdopen(fd[0], "r");
  }
  return r;
}

double ReadTime(FILE* f, const char* word) {
  char w[32];
  double t = 0;
  while (f && fscanf(f, "%31s %lf", w, &t) == 2)
    if (strcmp(w, word) == 0) return t;
  return -1;
}

#ifdef LUMERIN_HAVE_X11
// A viewable top-level window of the process at least minWidth wide; 0 when none yet.
Window WindowOf(Display* d, pid_t pid, int minWidth) {
  Atom netPid = XInternAtom(d, "_NET_WM_PID", True);
  if (netPid == None) return 0;
  Window root = DefaultRootWindow(d), r, p, *kids = nullptr;
  unsigned n = 0;
  Window found = 0;
  if (!XQueryTree(d, root, &r, &p, &kids, &n)) return 0;
  for (unsigned i = 0; i < n && !found; ++i) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, kids[i], &a) || a.map_state != IsViewable || a.width < minWidth)
      continue;
    Atom type;
    int format;
    unsigned long items, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, kids[i], netPid, 0, 1, False, XA_CARDINAL, &type, &format, &items,
                           &after, &data) == Success &&
        data && items == 1 && static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data)) == pid)
      found = kids[i];
    if (data) XFree(data);
  }
  if (kids) XFree(kids);
  return found;
}

Window WaitMapped(Display* d, pid_t pid, double timeout, int minWidth = 0) {
  const double end = Now() + timeout;
  while (Now() < end) {
    if (Window w = WindowOf(d, pid, minWidth)) return w;
    usleep(200);
  }
  return 0;
}
#endif

std::string self;

void Program(benchmark::State& state, bool shutDown) {
  std::vector<std::string> homes;
#ifdef LUMERIN_HAVE_X11
  Display* d = getenv("DISPLAY") ? XOpenDisplay(nullptr) : nullptr;
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });  // windows come and go
#endif
  for (auto _ : state) {
    homes.push_back(TempHome());
    Run r = Spawn({self, "--lumerin-child"}, homes.back(), true);
    if (r.pid < 0) {
      state.SkipWithError("cannot start the program");
      break;
    }
    double shown = ReadTime(r.out, "shown");
#ifdef LUMERIN_HAVE_X11
    if (d && WaitMapped(d, r.pid, 20, 1000)) shown = Now();  // the main window is 1000 wide
#endif
    kill(r.pid, SIGUSR1);
    const double quit = ReadTime(r.out, "quit");
    int status = 0;
    waitpid(r.pid, &status, 0);
    const double ended = Now();
    fclose(r.out);
    if (shown < 0 || quit < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the program did not run through");
      break;
    }
    state.SetIterationTime(shutDown ? ended - quit : shown - r.spawned);
  }
#ifdef LUMERIN_HAVE_X11
  if (d) XCloseDisplay(d);
#endif
  for (const std::string& h : homes) system(("rm -rf '" + h + "'").c_str());
}

void BM_StartUpToShownMainWindow(benchmark::State& state) {
  Program(state, false);
}
void BM_ShutDown(benchmark::State& state) {
  Program(state, true);
}
BENCHMARK(BM_StartUpToShownMainWindow)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);
BENCHMARK(BM_ShutDown)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

#ifdef LUMERIN_HAVE_X11
// geeqie from its spawn to its first mapped window, and from the close request to its end.
void Geeqie(benchmark::State& state, bool shutDown) {
  Display* d = getenv("DISPLAY") ? XOpenDisplay(nullptr) : nullptr;
  if (d == nullptr || system("command -v geeqie >/dev/null 2>&1") != 0) {
    state.SkipWithError("needs geeqie and an X display");
    if (d) XCloseDisplay(d);
    return;
  }
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  const Atom protocols = XInternAtom(d, "WM_PROTOCOLS", False);
  const Atom del = XInternAtom(d, "WM_DELETE_WINDOW", False);
  std::vector<std::string> homes;
  for (auto _ : state) {
    homes.push_back(TempHome());
    Run r = Spawn({"geeqie"}, homes.back(), false);
    Window w = r.pid > 0 ? WaitMapped(d, r.pid, 30) : 0;
    const double shown = Now();
    if (w == 0) {
      if (r.pid > 0) kill(r.pid, SIGKILL), waitpid(r.pid, nullptr, 0);
      state.SkipWithError("geeqie showed no window");
      break;
    }
    usleep(300000);  // let it settle before closing, as a user would
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = protocols;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(del);
    ev.xclient.data.l[1] = CurrentTime;
    const double quit = Now();
    XSendEvent(d, w, False, NoEventMask, &ev);
    XFlush(d);
    int status = 0;
    waitpid(r.pid, &status, 0);
    const double ended = Now();
    state.SetIterationTime(shutDown ? ended - quit : shown - r.spawned);
  }
  XCloseDisplay(d);
  for (const std::string& h : homes) system(("rm -rf '" + h + "'").c_str());
}
void BM_GeeqieStartUpToShownWindow(benchmark::State& state) {
  Geeqie(state, false);
}
void BM_GeeqieShutDown(benchmark::State& state) {
  Geeqie(state, true);
}
BENCHMARK(BM_GeeqieStartUpToShownWindow)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);
BENCHMARK(BM_GeeqieShutDown)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--lumerin-child") == 0) return Child(argc, argv);
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  self = n > 0 ? std::string(buf, static_cast<size_t>(n)) : argv[0];
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
