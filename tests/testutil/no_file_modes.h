// Stands for a file system that keeps no permissions (a FAT disk through a user-space server):
// every call that sets a file's mode fails with ENOSYS in this process from then on.
#pragma once

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <QProcess>
#include <QStringList>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nofilemodes {

#if defined(__x86_64__)
// The mode a folder made with 0700 shows: such a disk shows every folder with the mode of its
// mount, whatever mode it was made with.
constexpr unsigned kShownFolderMode = 0755;

// Makes the folder asked for as the disk would, with the mount's mode, and answers the call.
inline void MakeFolderAsShown(int, siginfo_t* si, void* context) {
  greg_t* r = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
  const int saved = errno;
  const long made =
      si->si_syscall == __NR_mkdir
          ? syscall(__NR_mkdir, reinterpret_cast<const char*>(r[REG_RDI]), kShownFolderMode)
          : syscall(__NR_mkdirat, static_cast<int>(r[REG_RDI]),
                    reinterpret_cast<const char*>(r[REG_RSI]), kShownFolderMode);
  r[REG_RAX] = made < 0 ? -errno : made;
  errno = saved;
}
#endif

}  // namespace nofilemodes

// Makes every call that sets a file's mode fail with ENOSYS in this process from now on, for
// good (run it in a process of its own); with foldersShowOpen, a folder made private (mode 0700)
// shows open to others as well (mode 0755, the mode of a FAT disk mounted so). False when this
// system lets no process filter its calls.
inline bool NoModeCanBeSet(bool foldersShowOpen = false) {
#if defined(__x86_64__)
  std::vector<sock_filter> f = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr))};
  for (const long nr : {long{__NR_chmod}, long{__NR_fchmod}, long{__NR_fchmodat}, 452L}) {
    f.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, 1));
    f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS));
  }
  if (foldersShowOpen) {
    // mkdir(path, 0700) and mkdirat(fd, path, 0700) trap to MakeFolderAsShown, whose own call
    // asks for another mode and passes.
    struct sigaction sa {};
    sa.sa_sigaction = nofilemodes::MakeFolderAsShown;
    sa.sa_flags = SA_SIGINFO;
    if (sigaction(SIGSYS, &sa, nullptr) != 0) return false;
    const auto arg = [](int i) {
      return static_cast<uint32_t>(offsetof(struct seccomp_data, args) + 8 * i);  // its low half
    };
    const std::vector<sock_filter> folders = {
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_mkdir, 0, 2),  // else to mkdirat
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg(1)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0700, 3, 4),  // the trap, or let pass
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_mkdirat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg(2)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0700, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
    };
    f.insert(f.end(), folders.begin(), folders.end());
  }
  f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  sock_fprog prog{static_cast<unsigned short>(f.size()), f.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
#else
  (void)foldersShowOpen;
  return false;
#endif
}

// Runs test (a disabled test of this test program, which calls NoModeCanBeSet) in a process of its
// own, in this process's environment (its home and locale too), however long it takes (the test's
// own time limit stands); what it printed. Its output says "NO FILTER" on a line of its own when
// this system lets no process filter its calls.
inline std::string RunWhereNoModeCanBeSet(const char* test) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  self[n > 0 ? n : 0] = '\0';
  QProcess child;
  child.setProcessChannelMode(QProcess::MergedChannels);
  child.start(QString::fromLocal8Bit(self),
              {"--gtest_also_run_disabled_tests", QString("--gtest_filter=") + test});
  if (!child.waitForStarted()) return "cannot start " + std::string(self);
  child.waitForFinished(-1);
  return child.readAll().toStdString();
}
