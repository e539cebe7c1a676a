// Starting an outside program from the tests with an argument list, never a shell line: names
// with quotes or spaces reach it as they are. Its input is empty; its output is read through a
// pipe.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace testutil {

// Where the program's error output goes.
enum class Errors { kDropped, kWithOutput, kShown };

// The environment of an outside program: this one's, in the C locale, so that the numbers and
// messages the tests read from it are the same under every locale the tests run in.
inline std::vector<std::string> OutsideEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (strncmp(*e, "LC_", 3) != 0 && strncmp(*e, "LANG=", 5) != 0 &&
        strncmp(*e, "LANGUAGE=", 9) != 0)
      env.emplace_back(*e);
  env.emplace_back("LC_ALL=C.UTF-8");
  return env;
}

// Runs argv[0] (looked up on PATH) with argv in the C locale, waits for it and returns its exit
// code (128 plus the signal's number when a signal ended it, as a shell tells it); -1 when it
// could not start. Its output goes to *out (dropped when out is null); it reads the file input
// (empty: nothing).
inline int RunProgram(const std::vector<std::string>& argv, std::string* out = nullptr,
                      Errors errors = Errors::kDropped, const std::string& input = "") {
  if (argv.empty()) return -1;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t acts;
  posix_spawn_file_actions_init(&acts);
  posix_spawn_file_actions_addopen(&acts, 0, input.empty() ? "/dev/null" : input.c_str(), O_RDONLY,
                                   0);
  posix_spawn_file_actions_adddup2(&acts, fds[1], 1);
  if (errors == Errors::kWithOutput)
    posix_spawn_file_actions_adddup2(&acts, fds[1], 2);
  else if (errors == Errors::kDropped)
    posix_spawn_file_actions_addopen(&acts, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::vector<std::string> env = OutsideEnvironment();
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &acts, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&acts);
  close(fds[1]);
  std::string got;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (out != nullptr) *out = got;
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Whether a program of that name is on PATH.
inline bool OnPath(const std::string& name) {
  const char* path = getenv("PATH");
  const std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= dirs.size();) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end > at ? dirs.substr(at, end - at) : ".";
    if (access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    at = end + 1;
  }
  return false;
}

// Whether a program of that name is on PATH and runs with args (its exit code 0).
inline bool ProgramRuns(const std::vector<std::string>& argv) {
  return RunProgram(argv) == 0;
}

// Starts args[0] (a path) with args in a child of its own whose descriptors 100 and 101 are fd100
// and fd101, its output and error output dropped: this test program running one of its disabled
// tests, say, that speaks through those two pipes. Its environment is env and this one's, less
// the variables starting with `own` or GTEST_ (a child's test filter is its own). Everything is
// made before the fork. The child's pid, or -1.
inline pid_t StartChild(const std::vector<std::string>& args, std::vector<std::string> env,
                        const char* own, int fd100, int fd101) {
  const size_t ownLen = strlen(own);
  for (char** e = environ; *e != nullptr; e++)
    if (strncmp(*e, own, ownLen) != 0 && strncmp(*e, "GTEST_", 6) != 0) env.emplace_back(*e);
  std::vector<char*> argv, envp;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    if (dup2(fd100, 100) < 0 || dup2(fd101, 101) < 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0 ||
        dup2(null, STDERR_FILENO) < 0)
      _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

}  // namespace testutil
