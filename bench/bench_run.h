// Running outside programs from the benchmarks (peers, picture makers): an argument list, never
// a shell line; standard output and error go to /dev/null.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

extern char** environ;

namespace benchrun {

// Runs args[0] (a path) with its arguments and the environment env; its exit status, -1 when it
// could not be started or did not exit.
inline int Run(const std::vector<std::string>& args, const char* const* env = environ) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int err =
      posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), const_cast<char* const*>(env));
  posix_spawn_file_actions_destroy(&fa);
  if (err != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace benchrun
