// Catalogue write locks: the lock file's form, judging a holder, replacing stale locks and
// processes racing for one.
#include <elf.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "catalog/plock.h"
#include "catalog/plocksys.h"
#include "context_test_util.h"
#include "testutil/other_user.h"
#include "testutil/run_program.h"

using ctxtest::Exists;
using ctxtest::ReadFile;
using ctxtest::TempDir;
using ctxtest::WriteFile;

namespace {

// The number of entries in a folder (hidden ones too).
int Entries(const std::string& dir) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) n += !e.path().empty();
  return n;
}

std::string Host() {
  char h[128];
  if (gethostname(h, sizeof(h)) != 0) return "";
  h[127] = '\0';
  return h;
}

std::string LockLine(long pid, const std::string& host) {
  std::string s = "Catalog write lock held by process " + std::to_string(pid);
  if (!host.empty()) s += " on " + host;
  return s + "\n";
}

// The line ended by a carriage return and a line feed.
std::string CrLf(std::string line) {
  line.back() = '\r';
  return line + "\n";
}

// A process id that is certainly free: a child that has exited and been reaped.
pid_t DeadPid() {
  pid_t p = fork();
  if (p == 0) _exit(0);
  int st;
  waitpid(p, &st, 0);
  return p;
}

// Other answers of the system while it lives.
struct SystemAnswers {
  SystemAnswers() : saved(plockSystem) {}
  ~SystemAnswers() { plockSystem = saved; }
  SystemAnswers(const SystemAnswers&) = delete;
  SystemAnswers& operator=(const SystemAnswers&) = delete;
  PLockSystem saved;
};

PLockHolder AliveNever(long, void*) {
  return PLHgone;
}
PLockHolder AliveAlways(long, void*) {
  return PLHholds;
}
PLockHolder Stranger(long, void*) {
  return PLHstranger;
}

// This process's command name.
std::string OwnCommand() {
  char name[17] = "";
  prctl(PR_GET_NAME, name);
  return name;
}

// What body returns, run in a child process of its own (its messages unheard), which ends
// there without its destructors, as a crash ends; "" when it could not run.
std::string InChild(const std::function<std::string()>& body) {
  int out[2];
  if (pipe(out) != 0) return "";
  const pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    dmessage_call = [](unsigned, const char*, const char*, int) -> uint32_t { return 0; };
    const std::string said = body();
    const bool told = write(out[1], said.data(), said.size()) == static_cast<ssize_t>(said.size());
    _exit(told ? 0 : 2);
  }
  close(out[1]);
  std::string said;
  char buf[512];
  for (ssize_t n; child > 0 && (n = read(out[0], buf, sizeof buf)) > 0;)
    said.append(buf, static_cast<size_t>(n));
  close(out[0]);
  if (child > 0) waitpid(child, nullptr, 0);
  return said;
}

}  // namespace

TEST(LockName, SuffixReplacedOrAppended) {
  char out[1024];
  const struct {
    const char* db;
    const char* lock;
  } cases[] = {{"/a/photos.qdb", "/a/photos.lock"}, {"/a/photos", "/a/photos.lock"},
               {"/a.b/photos", "/a.b/photos.lock"}, {"/a/.hidden", "/a/.hidden.lock"},
               {"/a/photos.", "/a/photos..lock"},   {"x.tar.gz", "x.tar.lock"}};
  for (const auto& c : cases) {
    ASSERT_TRUE(PlockName(out, sizeof(out), c.db)) << c.db;
    EXPECT_STREQ(out, c.lock) << c.db;
  }
  std::string longPath(1020, 'a');
  EXPECT_FALSE(PlockName(out, sizeof(out), longPath.c_str()));
  EXPECT_TRUE(PlockName(out, sizeof(out), longPath.substr(0, 1018).c_str()));
}

TEST(LockJudge, HolderFromText) {
  const struct {
    std::string text;
    const char* host;
    PLockHolder (*holds)(long, void*);
    PLockVerdict want;
  } cases[] = {
      {"", "h", AliveAlways, PLVstale},
      {"garbage\n", "h", AliveAlways, PLVstale},
      {"Catalog write lock held by process 0 on h\n", "h", AliveAlways, PLVstale},
      {"Catalog write lock held by process 12 on h\n", "h", AliveAlways, PLVheld},
      {"Catalog write lock held by process 12 on h\n", "h", AliveNever, PLVstale},
      {"Catalog write lock held by process 12 on h\n", "h", Stranger, PLVstale},
      {"Catalog write lock held by process 12 on other\n", "h", AliveNever, PLVforeign},
      // A line ended by a carriage return and a line feed names this host too.
      {"Catalog write lock held by process 12 on h\r\n", "h", AliveAlways, PLVheld},
      {"Catalog write lock held by process 12 on h\r\n", "h", AliveNever, PLVstale},
      {"Catalog write lock held by process 12 on h\r", "h", AliveNever, PLVforeign},
      // The host runs to the end: a text without a line feed keeps its last byte.
      {"Catalog write lock held by process 12 on h", "h", AliveNever, PLVstale},
      {"Catalog write lock held by process 12 on hx", "h", AliveNever, PLVforeign},
      {"Catalog write lock held by process 12\n", "", AliveNever, PLVstale},
      {"Catalog write lock held by process 12\n", "h", AliveNever, PLVforeign},
      {"Catalog write lock held by process -5 on h\n", "h", AliveNever, PLVunknown},
      {"Catalog write lock held by process 99999999999 on h\n", "h", AliveNever, PLVunknown},
      {std::string("Catalog write lock held by process 7 on h\0junk", 46), "h", AliveNever,
       PLVstale},
      // The first line alone is judged: what follows it is no part of the host.
      {"Catalog write lock held by process 12 on h\n\n", "h", AliveNever, PLVstale},
      {"Catalog write lock held by process 12 on h\r\nother\n", "h", AliveAlways, PLVheld},
      {"Catalog write lock held by process 12 on other\nh\n", "h", AliveNever, PLVforeign},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PjudgeLock(c.text.data(), c.text.size(), c.host, c.holds, nullptr), c.want) << c.text;
}

TEST(WriteLock, TakesWritesAndReleases) {
  TempDir d;
  char lock[PContext::kPathLen] = "";
  std::string db = d.Path("photos.qdb");
  ASSERT_TRUE(PContext::WriteLock(lock, db.c_str()));
  EXPECT_EQ(std::string(lock), d.Path("photos.lock"));
  EXPECT_EQ(ReadFile(lock), LockLine(getpid(), Host()));
  struct stat st;
  ASSERT_EQ(stat(lock, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  // No private file is left beside the lock.
  EXPECT_EQ(Entries(d.Dir()), 1);

  // Our own live lock is respected by a second taker.
  {
    MessageLog log;
    char other[PContext::kPathLen] = "";
    EXPECT_FALSE(PContext::WriteLock(other, db.c_str()));
    EXPECT_STREQ(other, "");
    EXPECT_TRUE(log.Has(DMCwarning, "Cannot capture lock file '" + d.Path("photos.lock") + "'"));
  }
  // Taking another lock with the buffer releases the first.
  std::string db2 = d.Path("other.qdb");
  ASSERT_TRUE(PContext::WriteLock(lock, db2.c_str()));
  EXPECT_FALSE(Exists(d.Path("photos.lock")));
  EXPECT_FALSE(PContext::WriteLock(lock, nullptr));
  EXPECT_FALSE(Exists(d.Path("other.lock")));
  EXPECT_STREQ(lock, "");
  EXPECT_FALSE(PContext::WriteLock(lock, ""));
}

TEST(WriteLock, StaleLocksReplacedLiveAndForeignRespected) {
  TempDir d;
  std::string db = d.Path("c.qdb"), lk = d.Path("c.lock");
  // A live copy of this program, holding a lock of another catalogue.
  ctxtest::LockHolder copy(d.Path("other.qdb"));
  ASSERT_TRUE(copy.holds);
  // A lock naming this very process that it did not take was left by an earlier run given
  // the same number, as every start in a new process table is.
  const std::string self = "process " + std::to_string(getpid()) +
                           " is this process: left by an earlier run given its number";
  // The log names what was replaced.
  const struct {
    std::string content;
    std::string replaced;  // empty: respected
  } cases[] = {
      {"", "empty lock file"},
      {"\n", "empty lock file"},
      {"xyzzy", "unreadable contents"},
      {"Catalog write lock held by process 0 on " + Host() + "\n", "unreadable contents"},
      {LockLine(DeadPid(), Host()), "dead process"},
      {LockLine(getpid(), Host()), self},
      {CrLf(LockLine(DeadPid(), Host())), "dead process"},
      {CrLf(LockLine(getpid(), Host())), self},
      // Judged by its first line: a blank line after it leaves it this computer's.
      {LockLine(DeadPid(), Host()) + "\n", "dead process"},
      {LockLine(copy.child, Host()), ""},
      {LockLine(DeadPid(), "elsewhere.example"), ""},
      {"Catalog write lock held by process -3\n", ""},
  };
  for (const auto& c : cases) {
    WriteFile(lk, c.content);
    MessageLog log;
    char lock[PContext::kPathLen] = "";
    EXPECT_EQ(PContext::WriteLock(lock, db.c_str()), !c.replaced.empty()) << c.content;
    if (!c.replaced.empty()) {
      EXPECT_TRUE(log.Has(DMCinfo, "Ignoring previous DB lock (" + c.replaced + ")"))
          << c.content << log.All();
      EXPECT_EQ(log.CountClass(DMCinfo), 1) << log.All();
      EXPECT_EQ(ReadFile(lk), LockLine(getpid(), Host()));
      PContext::WriteLock(lock, nullptr);
    } else {
      EXPECT_EQ(ReadFile(lk), c.content) << "a respected lock is left alone";
    }
  }
}

TEST(WriteLock, LockOfKilledChildReplaced) {
  TempDir d;
  std::string db = d.Path("k.qdb");
  ctxtest::LockHolder holder(db);
  ASSERT_TRUE(holder.holds);
  char lock[PContext::kPathLen] = "";
  {
    MessageLog log;
    EXPECT_FALSE(PContext::WriteLock(lock, db.c_str())) << "the child is alive";
  }
  holder.Kill();
  MessageLog log;
  ASSERT_TRUE(PContext::WriteLock(lock, db.c_str()));
  EXPECT_TRUE(log.Has(DMCinfo, "Ignoring previous DB lock (dead process)"));
  PContext::WriteLock(lock, nullptr);
}

int NoHardLinks(const char*, const char*) {
  errno = EPERM;  // as FAT answers
  return -1;
}

// Twenty processes racing for one lock leave one holder, named in the lock, and no other file:
// over a stale lock and over none, with hard links and where the file system has none.
TEST(WriteLock, RacersOverOneStaleLockLeaveOneHolder) {
  TempDir d;
  std::string db = d.Path("race.qdb"), lk = d.Path("race.lock");
  for (int round = 0; round < 12; round++) {
    const bool links = round < 6;
    SCOPED_TRACE("round " + std::to_string(round) + (links ? "" : ", no hard links"));
    SystemAnswers answers;
    if (!links) plockSystem.link = NoHardLinks;
    if (round % 3 != 2) WriteFile(lk, LockLine(DeadPid(), Host()));
    int go[2], res[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(res), 0);
    // The racers are ended however the round ends.
    std::vector<pid_t> kids;
    const std::unique_ptr<std::vector<pid_t>, void (*)(std::vector<pid_t>*)> reaper(
        &kids, [](std::vector<pid_t>* all) {
          for (pid_t p : *all) kill(p, SIGKILL);
          for (pid_t p : *all) waitpid(p, nullptr, 0);
        });
    for (int k = 0; k < 20; k++) {
      pid_t p = fork();
      if (p == 0) {
        close(go[1]);
        char c;
        if (read(go[0], &c, 1) != 0) _exit(3);  // all start when the pipe closes
        dmessage_call = [](unsigned, const char*, const char*, int) -> uint32_t { return 0; };
        char lock[PContext::kPathLen] = "";
        char r = PContext::WriteLock(lock, db.c_str()) ? 'y' : 'n';
        if (write(res[1], &r, 1) != 1) _exit(2);
        pause();  // hold the lock until the parent has looked
        _exit(0);
      }
      kids.push_back(p);
    }
    close(go[0]);
    close(go[1]);
    int holders = 0;
    for (int k = 0; k < 20; k++) {
      char r = 0;
      ASSERT_EQ(read(res[0], &r, 1), 1);
      holders += r == 'y';
    }
    EXPECT_EQ(holders, 1);
    // The file names a live racer.
    std::string text = ReadFile(lk);
    long pid = 0;
    ASSERT_EQ(sscanf(text.c_str(), "Catalog write lock held by process %ld", &pid), 1) << text;
    bool named = false;
    for (pid_t p : kids) named |= p == pid;
    EXPECT_TRUE(named) << text;
    close(res[0]);
    close(res[1]);
    unlink(lk.c_str());
  }
  // Only the lock was ever made: no private files remain.
  EXPECT_EQ(Entries(d.Dir()), 0);
}

TEST(WriteLock, OverlongPathRefused) {
  MessageLog log;
  char lock[PContext::kPathLen] = "";
  std::string db = "/tmp/" + std::string(1030, 'p') + ".qdb";
  EXPECT_FALSE(PContext::WriteLock(lock, db.c_str()));
  EXPECT_STREQ(lock, "");
  EXPECT_EQ(log.CountClass(DMCwarning), 1);
}

// A lock that cannot be made for a reason of the system is reported with that reason, never as
// held by another program; the catalogue then opens read-only saying so, and a new one that
// cannot be made says why.
TEST(WriteLock, RefusedBySystemSaysWhy) {
  TempDir d;
  WriteFile(d.Path("plain"), "a file, not a folder\n");
  {
    MessageLog log;
    char lock[PContext::kPathLen] = "";
    PLockRefusal refusal;
    EXPECT_FALSE(PContext::WriteLock(lock, d.Path("plain/c.qdb").c_str(), &refusal));
    EXPECT_STREQ(lock, "");
    EXPECT_EQ(refusal.err, ENOTDIR);
    EXPECT_TRUE(log.Has(DMCwarning, "Cannot create the lock file '" + d.Path("plain/c.lock") +
                                        "': " + strerror(ENOTDIR)));
    EXPECT_EQ(log.CountClass(DMCwarning), 1);
  }
  // A lock name taken by something that is not a lock file cannot be judged.
  const std::string db = d.Path("c.qdb");
  {
    PContext maker;
    ASSERT_TRUE(maker.OpenDB(db.c_str(), false));
    ASSERT_TRUE(maker.SyncDB());
  }
  ASSERT_EQ(mkdir(d.Path("c.lock").c_str(), 0755), 0);
  {
    MessageLog log;
    PContext ctx;
    ASSERT_TRUE(ctx.OpenDB(db.c_str(), false));
    EXPECT_TRUE(ctx.ReadOnly());
    const std::string why = ctx.ReadOnlyWhy();
    EXPECT_NE(why.find("cannot be made"), std::string::npos) << why;
    EXPECT_NE(why.find(strerror(EISDIR)), std::string::npos) << why;
    EXPECT_EQ(why.find("another program"), std::string::npos) << why;
  }
  // A lock whose holder cannot be judged is respected, but not called another program's.
  ASSERT_EQ(rmdir(d.Path("c.lock").c_str()), 0);
  WriteFile(d.Path("c.lock"), LockLine(-5, Host()));
  {
    PContext ctx;
    ASSERT_TRUE(ctx.OpenDB(db.c_str(), false));
    EXPECT_TRUE(ctx.ReadOnly());
    const std::string why = ctx.ReadOnlyWhy();
    EXPECT_NE(why.find("names no process that can be checked"), std::string::npos) << why;
    EXPECT_EQ(why.find("another program"), std::string::npos) << why;
  }
  // A live holder is named, with how to recover.
  unlink(d.Path("c.lock").c_str());
  {
    ctxtest::LockHolder holder(db);
    ASSERT_TRUE(holder.holds);
    PContext ctx;
    ASSERT_TRUE(ctx.OpenDB(db.c_str(), false));
    const std::string why = ctx.ReadOnlyWhy();
    EXPECT_NE(
        why.find("by process " + std::to_string(holder.child) + " (\"" + OwnCommand() + "\")"),
        std::string::npos)
        << why;
    EXPECT_NE(why.find("Quit that program"), std::string::npos) << why;
  }
  if (geteuid() != 0) {
    // A folder that cannot be written: the reason, for the lock and for a new catalogue.
    ASSERT_EQ(mkdir(d.Path("ro").c_str(), 0555), 0);
    MessageLog log;
    PContext ctx;
    EXPECT_FALSE(ctx.OpenDB(d.Path("ro/new.qdb").c_str(), false));
    EXPECT_TRUE(log.Has(DMCwarning, "Cannot create the lock file '" + d.Path("ro/new.lock") +
                                        "': " + strerror(EACCES)));
    EXPECT_TRUE(log.Has(DMCresource, "Cannot create database file '" + d.Path("ro/new.qdb") +
                                         "': " + PsystemReason(EACCES)));
    chmod(d.Path("ro").c_str(), 0755);
  }
}

// A live copy of this program holding a catalogue keeps it whatever its lock file's time says,
// 60 s behind or ahead of this computer's clock; once it is gone the lock is replaced.
TEST(WriteLock, LiveCopyKeepsItsLockWhateverTheClocks) {
  TempDir d;
  const std::string db = d.Path("c.qdb"), lk = d.Path("c.lock");
  ctxtest::LockHolder holder(db);
  ASSERT_TRUE(holder.holds);
  const std::string line = ReadFile(lk);
  for (time_t shift : {-60, 60}) {
    const struct timespec times[2] = {{time(nullptr) + shift, 0}, {time(nullptr) + shift, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, lk.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    MessageLog log;
    char lock[PContext::kPathLen] = "";
    PLockRefusal refusal;
    EXPECT_FALSE(PContext::WriteLock(lock, db.c_str(), &refusal)) << shift;
    EXPECT_EQ(ReadFile(lk), line);
    EXPECT_EQ(refusal.verdict, PLVheld);
    EXPECT_EQ(refusal.pid, holder.child);
    EXPECT_EQ(refusal.command, OwnCommand());
    EXPECT_FALSE(log.Has(DMCinfo, "Ignoring previous DB lock")) << log.All();
  }
  // Nor would a clock set forward since the lock was made (its inode's change time a minute
  // older than the holder) take it: the holder has it open.
  struct stat st;
  ASSERT_EQ(lstat(lk.c_str(), &st), 0);
  st.st_ctim.tv_sec -= 60;
  EXPECT_EQ(PprocessHolds(holder.child, st, 0, nullptr), PLHholds);
  holder.Kill();
  MessageLog log;
  char lock[PContext::kPathLen] = "";
  ASSERT_TRUE(PContext::WriteLock(lock, db.c_str()));
  EXPECT_TRUE(log.Has(DMCinfo, "Ignoring previous DB lock (dead process)"));
  PContext::WriteLock(lock, nullptr);
}

namespace {

// A child process that waits until killed: this program under a command name that holds
// parentheses and spaces as a hostile one may, or (with a program) that program, known to have
// started when the object is made. Killed and reaped when the object goes.
struct Sleeper {
  // With input, the program has that file open (as its standard input).
  explicit Sleeper(const char* program = nullptr, const char* input = nullptr) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return;
    pid = fork();
    if (pid == 0) {
      const int in = input != nullptr ? open(input, O_RDONLY) : -1;
      if (input != nullptr && (in < 0 || dup2(in, STDIN_FILENO) < 0)) _exit(126);
      if (program != nullptr) {
        char* const argv[] = {const_cast<char*>(program), const_cast<char*>("1000"), nullptr};
        execv(program, argv);  // the pipe closes when it starts
        _exit(127);
      }
      prctl(PR_SET_NAME, ") R 1 2 (3");
      if (write(ready[1], "y", 1) != 1) _exit(2);
      pause();
      _exit(0);
    }
    close(ready[1]);
    char c = 0;
    const ssize_t got = pid > 0 ? read(ready[0], &c, 1) : -1;
    if (got != (program != nullptr ? 0 : 1)) {
      if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
      pid = -1;
    }
    close(ready[0]);
  }
  ~Sleeper() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  pid_t pid = -1;
};

// Sets the file's modification time to t.
void Date(const std::string& path, time_t t) {
  const struct timespec times[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

}  // namespace

// A lock that names a live process of another program that neither holds it nor has it open
// is replaced, and the log says why. A copy of this program is respected whatever the lock's
// times say, and so is any live process where holding cannot be seen (a file system without
// advisory locks, another user's open files).
TEST(WriteLock, LiveProcessThatCannotHoldTheLockIsNotItsHolder) {
  TempDir d;
  const std::string db = d.Path("c.qdb"), lk = d.Path("c.lock");
  Sleeper other("/bin/sleep");
  ASSERT_GT(other.pid, 0);
  WriteFile(lk, LockLine(other.pid, Host()));
  Date(lk, time(nullptr) - 3600);
  {
    MessageLog log;
    char lock[PContext::kPathLen] = "";
    ASSERT_TRUE(PContext::WriteLock(lock, db.c_str()));
    EXPECT_TRUE(log.Has(DMCinfo, "Ignoring previous DB lock (process " + std::to_string(other.pid) +
                                     " is not this program)"))
        << log.All();
    EXPECT_EQ(ReadFile(lk), LockLine(getpid(), Host()));
    PContext::WriteLock(lock, nullptr);
  }

  // A child of this program that does not have the lock open, under another command name.
  Sleeper copy;
  ASSERT_GT(copy.pid, 0);
  WriteFile(lk, LockLine(copy.pid, Host()));
  Date(lk, time(nullptr) - 60);
  {
    MessageLog log;
    char lock[PContext::kPathLen] = "";
    PLockRefusal refusal;
    EXPECT_FALSE(PContext::WriteLock(lock, db.c_str(), &refusal));
    EXPECT_EQ(refusal.command, ") R 1 2 (3");
    EXPECT_EQ(ReadFile(lk), LockLine(copy.pid, Host()));
  }
  struct stat st;
  ASSERT_EQ(lstat(lk.c_str(), &st), 0);
  std::string command;
  EXPECT_EQ(PprocessHolds(copy.pid, st, 0, &command), PLHholds);
  EXPECT_EQ(command, ") R 1 2 (3");
  st.st_ctim.tv_sec -= 3600;
  EXPECT_EQ(PprocessHolds(copy.pid, st, 0, &command), PLHholds);
  EXPECT_EQ(PprocessHolds(DeadPid(), st, 0, &command), PLHgone);
  // Another program is a stranger only where it can be seen to hold nothing.
  EXPECT_EQ(PprocessHolds(other.pid, st, 0, nullptr), PLHstranger);
  EXPECT_EQ(PprocessHolds(other.pid, st, -1, nullptr), PLHholds);
  EXPECT_EQ(PprocessHolds(other.pid, st, 1, nullptr), PLHholds);
  EXPECT_EQ(Entries(d.Dir()), 1) << "no file left";
}

// A lock that is a symbolic link, dangling or to a file, is never followed: it is no lock this
// program makes, and is replaced by one; the file it leads to is left as it was. A link in the
// place of the lock that serialises replacing is judged the same way.
TEST(WriteLock, SymbolicLinkLocksAreReplacedNeverFollowed) {
  TempDir d;
  const std::string db = d.Path("c.qdb"), lk = d.Path("c.lock"), decoy = d.Path("decoy");
  // The decoy names a live copy of this program: a link followed would be respected.
  ctxtest::LockHolder holder(d.Path("other.qdb"));
  ASSERT_TRUE(holder.holds);
  const std::string named = LockLine(holder.child, Host());
  WriteFile(decoy, named);
  Date(decoy, 86400);
  for (const std::string& target : {d.Path("nowhere"), decoy}) {
    ASSERT_EQ(symlink(target.c_str(), lk.c_str()), 0);
    ASSERT_EQ(symlink(d.Path("nowhere").c_str(), (lk + ".break").c_str()), 0);
    MessageLog log;
    char lock[PContext::kPathLen] = "";
    ASSERT_TRUE(PContext::WriteLock(lock, db.c_str())) << target;
    EXPECT_TRUE(log.Has(DMCinfo, "Ignoring previous DB lock (symbolic link)")) << log.All();
    struct stat st;
    ASSERT_EQ(lstat(lk.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadFile(lk), LockLine(getpid(), Host()));
    EXPECT_EQ(lstat((lk + ".break").c_str(), &st), -1);
    ASSERT_EQ(stat(decoy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 86400);
    EXPECT_EQ(ReadFile(decoy), named);
    PContext::WriteLock(lock, nullptr);
  }
}

// A lock of another host is respected, and the reason names the host and the lock file and
// says when the file may be deleted. Control bytes and characters of the file's text, and bytes
// of no whole character, are shown as '?'.
TEST(WriteLock, ForeignLockSaysWhereAndWhenItMayGo) {
  TempDir d;
  const std::string db = d.Path("c.qdb"), lk = d.Path("c.lock");
  {
    PContext maker;
    ASSERT_TRUE(maker.OpenDB(db.c_str(), false));
  }
  const struct {
    std::string host, shown;
  } hosts[] = {{"elsewhere.example", "elsewhere.example"},
               {"else\x1b]0;owned\x07where\x9b", "else?]0;owned?where?"},
               {"caf\xc3\xa9\xc2\x85\xe2\x80\xae", "caf\xc3\xa9??"}};
  for (const auto& h : hosts) {
    const std::string line = "Catalog write lock held by process 4242 on ";
    WriteFile(lk, line + h.host + "\n");
    Date(lk, 86400);
    MessageLog log;
    PContext ctx;
    ASSERT_TRUE(ctx.OpenDB(db.c_str(), false));
    EXPECT_TRUE(ctx.ReadOnly());
    EXPECT_EQ(ctx.ReadOnlyWhy(),
              "its lock file '" + lk + "' was made by a program on the computer '" + h.shown +
                  "' (\"" + line + h.shown +
                  "\"), which may have it open for writing. Once no program on "
                  "that computer uses the catalog, the lock file may be deleted");
    EXPECT_EQ(ReadFile(lk), line + h.host + "\n");
  }
}

// Where nothing can be written (files cannot grow), a lock held by a live program is told as
// held: it is judged before a lock file is made.
TEST(WriteLock, HeldLockIsSeenBeforeAnythingIsWritten) {
  TempDir d;
  const std::string db = d.Path("c.qdb");
  PContext holder;
  ASSERT_TRUE(holder.OpenDB(db.c_str(), false));
  ASSERT_TRUE(holder.SyncDB());
  const std::string why = InChild([&db] {
    signal(SIGXFSZ, SIG_IGN);
    const struct rlimit none = {0, 0};
    setrlimit(RLIMIT_FSIZE, &none);
    PContext ctx;
    return ctx.OpenDB(db.c_str(), false) ? ctx.ReadOnlyWhy() : "not opened";
  });
  std::string line = LockLine(getpid(), Host());
  line.pop_back();
  EXPECT_EQ(why, "its lock file '" + d.Path("c.lock") + "' is held (\"" + line + "\") by process " +
                     std::to_string(getpid()) + " (\"" + OwnCommand() +
                     "\") on this computer, which may have the catalog open for writing. Quit that "
                     "program and open the catalog again; if that process is not a copy of this "
                     "program, the lock file may be deleted");
}

namespace {

bool Unseen(long, std::vector<POpenFile>*) {
  return false;
}
bool NotOpen(long, std::vector<POpenFile>* files) {
  files->clear();
  return true;
}
int NoAdvisoryLocks(int) {
  return -1;
}
int NotLocked(int) {
  return 0;
}
bool OtherUser(long, uid_t* uid) {
  *uid = testutil::OtherUid();
  return true;
}

std::string Self() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  self[n > 0 ? n : 0] = '\0';
  return self;
}

// The dynamic loader a program names in its header, or "" when it names none.
std::string Loader(const std::string& program) {
  std::ifstream in(program, std::ios::binary);
  Elf64_Ehdr eh;
  if (!in.read(reinterpret_cast<char*>(&eh), sizeof eh) ||
      memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64)
    return "";
  for (int i = 0; i < eh.e_phnum; i++) {
    Elf64_Phdr ph;
    in.seekg(static_cast<std::streamoff>(eh.e_phoff + static_cast<Elf64_Off>(i) * eh.e_phentsize));
    if (!in.read(reinterpret_cast<char*>(&ph), sizeof ph)) return "";
    if (ph.p_type != PT_INTERP) continue;
    std::string path(ph.p_filesz, '\0');
    in.seekg(static_cast<std::streamoff>(ph.p_offset));
    if (!in.read(&path[0], static_cast<std::streamsize>(path.size()))) return "";
    return path.c_str();
  }
  return "";
}

// This test program, started from the file program (through the dynamic loader when one is
// given), holding the catalogue db open for writing in a process of its own (the test
// LockChild.DISABLED_HoldCatalog) until Stop.
class CatalogHolder {
 public:
  CatalogHolder(const std::string& program, const std::string& db, const std::string& loader) {
    int ready[2], hold[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return;
    if (pipe2(hold, O_CLOEXEC) != 0) {
      close(ready[0]);
      close(ready[1]);
      return;
    }
    // Everything the child needs is made before it is forked.
    std::vector<std::string> args;
    if (!loader.empty()) args.push_back(loader);
    args.insert(args.end(), {program, "--gtest_also_run_disabled_tests",
                             "--gtest_filter=LockChild.DISABLED_HoldCatalog"});
    pid = testutil::StartChild(
        args, {"LUMERIN_LOCK_DB=" + db, "LUMERIN_LOCK_READY=100", "LUMERIN_LOCK_HOLD=101"},
        "LUMERIN_LOCK_", ready[1], hold[0]);
    close(ready[1]);
    close(hold[0]);
    holdFd = hold[1];
    char c = 0;
    if (pid > 0 && read(ready[0], &c, 1) == 1) state = c;
    close(ready[0]);
  }
  ~CatalogHolder() { Stop(); }
  CatalogHolder(const CatalogHolder&) = delete;
  CatalogHolder& operator=(const CatalogHolder&) = delete;
  // Lets the holder close its catalogue and end; true when it ended well.
  bool Stop() {
    if (holdFd >= 0) close(holdFd);
    holdFd = -1;
    int status = -1;
    if (pid > 0 && waitpid(pid, &status, 0) != pid) status = -1;
    pid = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  pid_t pid = -1;
  char state = 0;  // 'w' opened for writing, 'r' read-only, 'x' not opened, 0 never said
  int holdFd = -1;
};

// True when the log tells a lock replaced.
bool Replaced(const MessageLog& log) {
  for (const auto& e : log.entries)
    if (e.second.find("Ignoring previous DB lock") != std::string::npos) return true;
  return false;
}

}  // namespace

// The holder a parent starts: opens the catalogue for writing, tells how it opened it, and
// holds it until the parent lets go.
TEST(LockChild, DISABLED_HoldCatalog) {
  const char* db = getenv("LUMERIN_LOCK_DB");
  if (db == nullptr || getenv("LUMERIN_LOCK_READY") == nullptr) GTEST_SKIP();
  const int ready = atoi(getenv("LUMERIN_LOCK_READY")), hold = atoi(getenv("LUMERIN_LOCK_HOLD"));
  MessageLog log;
  PContext ctx;
  const char c = !ctx.OpenDB(db, false) ? 'x' : ctx.ReadOnly() ? 'r' : 'w';
  ASSERT_EQ(write(ready, &c, 1), 1);
  close(ready);
  for (char b; read(hold, &b, 1) > 0;) {
  }
  EXPECT_TRUE(ctx.CloseDB());
}

// A copy of this program holding a catalogue keeps it whatever its name or how it was started:
// from a copy of its executable under another name, or through the dynamic loader. The kernel
// tells the second taker so, even where the holder's open files are not looked at, and the
// holder's open lock file does, even where the kernel's answer is not heard: the second opens
// the catalogue read-only, naming the holder. Once the holder has quit, its lock is gone.
TEST(WriteLock, LiveCopyUnderAnotherNameKeepsItsLock) {
  TempDir d;
  const std::string db = d.Path("photos.qdb"), lk = d.Path("photos.lock"), copy = d.Path("photos");
  std::error_code ec;
  ASSERT_TRUE(std::filesystem::copy_file(Self(), copy, ec)) << ec.message();
  std::string loader = Loader(Self());
  if (loader.empty()) loader = "/lib64/ld-linux-x86-64.so.2";
  ASSERT_EQ(access(loader.c_str(), X_OK), 0) << loader;
  {
    PContext maker;
    ASSERT_TRUE(maker.OpenDB(db.c_str(), false));
  }
  const struct { std::string program, loader; } starts[] = {{copy, ""}, {Self(), loader}};
  for (const auto& start : starts) {
    CatalogHolder holder(start.program, db, start.loader);
    ASSERT_EQ(holder.state, 'w') << start.program << " " << start.loader;
    // Each check is enough alone: the kernel's lock (where open files are not looked at), and
    // the open file (where the kernel's answer does not reach, as over some network shares).
    for (int only : {0, 1, 2}) {
      SCOPED_TRACE(only);
      SystemAnswers answers;
      if (only == 1) plockSystem.openFiles = NotOpen;
      if (only == 2) plockSystem.locked = NotLocked;
      MessageLog log;
      PContext ctx;
      ASSERT_TRUE(ctx.OpenDB(db.c_str(), false));
      EXPECT_TRUE(ctx.ReadOnly()) << start.loader;
      const std::string why = ctx.ReadOnlyWhy();
      EXPECT_NE(why.find("by process " + std::to_string(holder.pid) + " (\""), std::string::npos)
          << why;
      EXPECT_FALSE(Replaced(log)) << log.All();
    }
    EXPECT_EQ(ReadFile(lk), LockLine(holder.pid, Host()));
    ASSERT_TRUE(holder.Stop());
    EXPECT_FALSE(Exists(lk)) << "the holder's quit removes its lock";
  }
  PContext ctx;
  ASSERT_TRUE(ctx.OpenDB(db.c_str(), false));
  EXPECT_FALSE(ctx.ReadOnly());
}

// Where it cannot be seen whether a live process holds the lock (its open files are another
// user's, the file system keeps no advisory locks), the lock is respected whatever its times
// say, and the alert names the holder's user. No clock decides: a lock dated an hour ahead or
// behind, as a clock set forward or back leaves it, is respected all the same.
TEST(WriteLock, UnseenHolderIsRespectedWhateverTheClocks) {
  TempDir d;
  const std::string db = d.Path("c.qdb"), lk = d.Path("c.lock");
  {
    PContext maker;
    ASSERT_TRUE(maker.OpenDB(db.c_str(), false));
  }
  Sleeper copy;
  ASSERT_GT(copy.pid, 0);
  WriteFile(lk, LockLine(copy.pid, Host()));
  SystemAnswers answers;
  plockSystem.openFiles = Unseen;
  plockSystem.locked = NoAdvisoryLocks;
  plockSystem.owner = OtherUser;
  const struct passwd* pw = getpwuid(testutil::OtherUid());
  const std::string user = pw != nullptr ? pw->pw_name : std::to_string(testutil::OtherUid());
  for (time_t step : {3600, -3600, 0}) {
    Date(lk, time(nullptr) + step);
    MessageLog log;
    PContext ctx;
    ASSERT_TRUE(ctx.OpenDB(db.c_str(), false));
    EXPECT_TRUE(ctx.ReadOnly()) << step;
    EXPECT_EQ(ReadFile(lk), LockLine(copy.pid, Host()));
    EXPECT_FALSE(Replaced(log)) << log.All();
    const std::string why = ctx.ReadOnlyWhy();
    EXPECT_NE(why.find("by process " + std::to_string(copy.pid) + " (\") R 1 2 (3\") of user '" +
                       user + "' on this computer"),
              std::string::npos)
        << why;
  }
  // The lock's change time as a clock stepped forward or back since it was made leaves it: an
  // hour before or after its holder started.
  struct stat st;
  ASSERT_EQ(lstat(lk.c_str(), &st), 0);
  for (time_t step : {-3600, 3600}) {
    struct stat stepped = st;
    stepped.st_ctim.tv_sec += step;
    EXPECT_EQ(PprocessHolds(copy.pid, stepped, -1, nullptr), PLHholds) << step;
    EXPECT_EQ(PprocessHolds(copy.pid, stepped, 0, nullptr), PLHholds) << step;
  }
  // Seen to hold nothing, a process of another program is no holder.
  plockSystem = answers.saved;
  plockSystem.owner = OtherUser;
  Sleeper other("/bin/sleep");
  ASSERT_GT(other.pid, 0);
  WriteFile(lk, LockLine(other.pid, Host()));
  plockSystem.openFiles = NotOpen;
  MessageLog log;
  char lock[PContext::kPathLen] = "";
  EXPECT_TRUE(PContext::WriteLock(lock, db.c_str()));
  EXPECT_TRUE(Replaced(log));
  PContext::WriteLock(lock, nullptr);
}

// A lock deleted by hand and taken by a second copy is the second's: the first copy's release
// leaves it, saying so, and a third taker is refused while the second lives.
TEST(WriteLock, ReleaseLeavesALockItDidNotMake) {
  TempDir d;
  const std::string db = d.Path("c.qdb"), lk = d.Path("c.lock");
  char lock[PContext::kPathLen] = "";
  ASSERT_TRUE(PContext::WriteLock(lock, db.c_str()));
  ASSERT_EQ(unlink(lk.c_str()), 0);
  ctxtest::LockHolder second(db);
  ASSERT_TRUE(second.holds);
  {
    MessageLog log;
    EXPECT_FALSE(PContext::WriteLock(lock, nullptr));
    EXPECT_TRUE(log.Has(
        DMCwarning, "Lock file '" + lk + "' is no longer the one this process made: left alone"))
        << log.All();
  }
  EXPECT_EQ(ReadFile(lk), LockLine(second.child, Host()));
  MessageLog log;
  char third[PContext::kPathLen] = "";
  EXPECT_FALSE(PContext::WriteLock(third, db.c_str()));
  // One removed by hand and not taken again leaves nothing to remove.
  second.Kill();
  ASSERT_TRUE(PContext::WriteLock(lock, db.c_str()));
  ASSERT_EQ(unlink(lk.c_str()), 0);
  log.Clear();
  EXPECT_FALSE(PContext::WriteLock(lock, nullptr));
  EXPECT_TRUE(log.Has(DMCinfo, "Lock file '" + lk + "' was removed by another hand")) << log.All();
  EXPECT_FALSE(Exists(lk));
}

namespace {

// What body returns, run as process 1 of a new process table, as a sandbox or a container
// starts a program; "" with *why set when this system does not let the test make one (that takes
// the right to, or user namespaces open to users).
std::string AsFirstOfANewProcessTable(const std::function<std::string()>& body, std::string* why) {
  const std::string said = InChild([&body] {
    if (unshare(CLONE_NEWPID) != 0) {
      // Without the right to, a user namespace of one's own (the user mapped to itself) gives it.
      const std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
      if (unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0)
        return std::string("\x01unshare: ") + strerror(errno);
      std::ofstream("/proc/self/setgroups") << "deny";
      std::ofstream("/proc/self/uid_map") << uid << " " << uid << " 1\n";
      std::ofstream("/proc/self/gid_map") << gid << " " << gid << " 1\n";
    }
    return InChild([&body] { return getpid() == 1 ? body() : "\x01not the first process"; });
  });
  if (said.empty() || said[0] != '\x01') return said;
  *why = said.substr(1);
  return "";
}

}  // namespace

// A lock naming the taker's own process id was left by an earlier run given that number, as
// every run in a sandbox with its own process table is: after such a run ended without closing
// (a crash), the next opens the catalogue for writing, and the log says why it replaced the lock.
TEST(WriteLock, ALockNamingTheTakerItselfWasLeftByAnEarlierRun) {
  TempDir d;
  const std::string db = d.Path("c.qdb"), lk = d.Path("c.lock");
  // How the first process of a new table opens the catalogue, and what its log says.
  const auto open = [&db] {
    MessageLog log;
    auto* ctx = new PContext;  // never closed: the run ends as a crash ends it
    const std::string how = !ctx->OpenDB(db.c_str(), false) ? "not opened"
                            : ctx->ReadOnly()               ? "read-only: " + ctx->ReadOnlyWhy()
                                                            : "writable";
    return how + "\n" + log.All();
  };
  std::string why;
  const std::string first = AsFirstOfANewProcessTable(open, &why);
  if (first.empty()) GTEST_SKIP() << "no new process table can be made here: " << why;
  EXPECT_EQ(first.substr(0, first.find('\n')), "writable") << first;
  EXPECT_EQ(ReadFile(lk), LockLine(1, Host())) << "the crash left its lock";
  const std::string second = AsFirstOfANewProcessTable(open, &why);
  EXPECT_EQ(second.substr(0, second.find('\n')), "writable") << second;
  EXPECT_NE(second.find("Ignoring previous DB lock (process 1 is this process: left by an earlier "
                        "run given its number)"),
            std::string::npos)
      << second;
}

// A holder killed but not yet reaped (a zombie) holds nothing, though a probe of its number
// succeeds: its lock is replaced, also where its open files could not be seen (another user's
// process), and the log says why.
TEST(WriteLock, AKilledHolderNotYetReapedHoldsNothing) {
  TempDir d;
  const std::string db = d.Path("c.qdb");
  for (bool anotherUser : {false, true}) {
    SCOPED_TRACE(anotherUser);
    ctxtest::LockHolder holder(db);
    ASSERT_TRUE(holder.holds);
    ASSERT_EQ(kill(holder.child, SIGKILL), 0);
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(holder.child), &info, WEXITED | WNOWAIT), 0);
    ASSERT_EQ(kill(holder.child, 0), 0) << "ended, and not reaped";
    SystemAnswers answers;
    if (anotherUser) {
      plockSystem.openFiles = Unseen;
      plockSystem.owner = OtherUser;
    }
    MessageLog log;
    PContext ctx;
    ASSERT_TRUE(ctx.OpenDB(db.c_str(), false));
    EXPECT_FALSE(ctx.ReadOnly()) << ctx.ReadOnlyWhy();
    EXPECT_TRUE(log.Has(DMCinfo, "Ignoring previous DB lock (process " +
                                     std::to_string(holder.child) + " has ended)"))
        << log.All();
  }
}

// One catalogue has one writer, whatever name reaches its file: a hard link to a catalogue held
// by another copy of the program opens read-only, naming the holder and the name it opened, and
// leaves no lock file of its own; as a shadow catalogue it is not opened. Readers share it by
// either name. Once the holder has quit, the link opens for writing.
TEST(WriteLock, AnotherNameOfAHeldCatalogueOpensReadOnly) {
  TempDir d;
  ASSERT_EQ(mkdir(d.Path("a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(d.Path("b").c_str(), 0755), 0);
  const std::string db = d.Path("a/photos.qdb"), other = d.Path("b/album.qdb");
  {
    PContext maker;
    ASSERT_TRUE(maker.OpenDB(db.c_str(), false));
    ASSERT_TRUE(maker.SyncDB());
  }
  ASSERT_EQ(link(db.c_str(), other.c_str()), 0);
  CatalogHolder holder(Self(), db, "");
  ASSERT_EQ(holder.state, 'w');
  {
    MessageLog log;
    PContext ctx;
    ASSERT_TRUE(ctx.OpenDB(other.c_str(), false));
    EXPECT_TRUE(ctx.ReadOnly());
    EXPECT_EQ(ctx.ReadOnlyWhy(), "the file is held for writing by process " +
                                     std::to_string(holder.pid) + " (\"" + OwnCommand() +
                                     "\") on this computer, which opened it as '" + db +
                                     "'. Quit that program and open the catalog again");
    EXPECT_FALSE(Exists(d.Path("b/album.lock")));
    EXPECT_EQ(ReadFile(d.Path("a/photos.lock")), LockLine(holder.pid, Host()));
    PContext reader, shadow;
    ASSERT_TRUE(reader.OpenDB(db.c_str(), true));
    EXPECT_TRUE(reader.Ready());
    EXPECT_FALSE(shadow.ShadowDB(other.c_str()));
    EXPECT_FALSE(Exists(d.Path("b/album.lock")));
  }
  ASSERT_TRUE(holder.Stop());
  PContext ctx;
  ASSERT_TRUE(ctx.OpenDB(other.c_str(), false));
  EXPECT_FALSE(ctx.ReadOnly()) << ctx.ReadOnlyWhy();
}

namespace {

// Takes from this process the rights that pass over a file's permissions (which an
// administrator has), so that a folder it may not write refuses it as it refuses a user.
void DropFileRights() {
  __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &head, data) != 0) return;
  for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
    data[0].effective &= ~(1u << cap);
    data[0].permitted &= ~(1u << cap);
  }
  syscall(SYS_capset, &head, data);
}

// Why a process without the rights DropFileRights takes opens db read-only; "\x01" when it may
// still write barred.
std::string WhyWithoutFileRights(const std::string& db, const std::string& barred) {
  return InChild([&] {
    DropFileRights();
    if (access(barred.c_str(), W_OK) == 0) return std::string("\x01");
    PContext ctx;
    return !ctx.OpenDB(db.c_str(), false) ? "not opened" : ctx.ReadOnlyWhy();
  });
}

}  // namespace

// A stale lock this user may not remove (its folder is not theirs to change) is told as the
// stale lock of its process, with whose file it is and how to remove it, the reason once; one
// this user may not even read is told as such.
TEST(WriteLock, AStaleLockThatCannotBeRemovedIsToldWithHowToRemoveIt) {
  TempDir d;
  const std::string dir = d.Path("shared"), db = dir + "/c.qdb", lk = dir + "/c.lock";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  {
    PContext maker;
    ASSERT_TRUE(maker.OpenDB(db.c_str(), false));
  }
  const pid_t dead = DeadPid();
  WriteFile(lk, LockLine(dead, Host()));
  // Another user's lock, where this one may give the file away.
  std::string owner;
  if (chown(lk.c_str(), 1, 1) == 0) {
    const struct passwd* pw = getpwuid(1);
    owner = pw != nullptr ? pw->pw_name : "1";
  }
  const std::string user = owner.empty() ? "" : "user '" + owner + "'";
  const std::string remover = "Delete it as " + (owner.empty() ? "" : user + " or as ") +
                              "a user who may change the folder '" + dir +
                              "', then open the catalog again";
  ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
  std::string why = WhyWithoutFileRights(db, dir);
  chmod(dir.c_str(), 0755);
  if (why == "\x01") GTEST_SKIP() << "the folder cannot be made unwritable for this user";
  std::string line = LockLine(dead, Host());
  line.pop_back();
  EXPECT_EQ(why, "its lock file '" + lk + "' (\"" + line + "\") is a stale lock of process " +
                     std::to_string(dead) + (owner.empty() ? "" : " of " + user) +
                     " (that process has ended) and cannot be removed (permission denied). " +
                     remover);
  EXPECT_EQ(ReadFile(lk), LockLine(dead, Host()));
  ASSERT_EQ(chmod(lk.c_str(), 0), 0);
  why = WhyWithoutFileRights(db, lk);
  EXPECT_EQ(why, "its lock file '" + lk + "'" + (owner.empty() ? "" : " of " + user) +
                     " cannot be read (permission denied), so whether a program holds it cannot "
                     "be told. If none uses the catalog, delete it as " +
                     remover.substr(strlen("Delete it as ")));
}

namespace {

// The open files of a process as they show to a process that reached them through another
// mount of their folder, a user-space file system (FUSE) over it: on another device, with other
// inode numbers, under another folder.
bool ThroughAnotherMount(long pid, std::vector<POpenFile>* files) {
  if (!PlockSystemDefault().openFiles(pid, files)) return false;
  for (POpenFile& f : *files) {
    f.st.st_dev ^= 0x4d;
    f.st.st_ino += 7;
    f.name = "/media/view" + f.name;
  }
  return true;
}

// The kernel's lock on a file as taken through such a mount: granted whatever is held through
// the other.
int GrantedAcross(int, struct flock*) {
  return 0;
}

}  // namespace

// A catalogue reached through another mount of its folder, where the kernel's locks of the
// first are not seen, stays its holder's: a copy of the program under another name has its
// lock file open, and a process of another program the catalogue, each known by file name,
// length and time. Where the holder's open files cannot be seen, it is respected and the alert
// says why. Once no process holds it, the catalogue opens for writing.
TEST(WriteLock, HolderThroughAnotherMountKeepsTheCatalog) {
  TempDir d;
  const std::string db = d.Path("photos.qdb"), lk = d.Path("photos.lock"), copy = d.Path("keeper");
  std::error_code ec;
  ASSERT_TRUE(std::filesystem::copy_file(Self(), copy, ec)) << ec.message();
  {
    PContext maker;
    ASSERT_TRUE(maker.OpenDB(db.c_str(), false));
  }
  SystemAnswers answers;
  plockSystem.locked = NotLocked;
  plockSystem.setLock = GrantedAcross;
  {
    CatalogHolder holder(copy, db, "");
    ASSERT_EQ(holder.state, 'w');
    for (bool seen : {true, false}) {
      SCOPED_TRACE(seen);
      plockSystem.openFiles = seen ? ThroughAnotherMount : Unseen;
      MessageLog log;
      PContext ctx;
      ASSERT_TRUE(ctx.OpenDB(db.c_str(), false));
      EXPECT_TRUE(ctx.ReadOnly());
      const std::string why = ctx.ReadOnlyWhy();
      EXPECT_NE(why.find("by process " + std::to_string(holder.pid) + " (\"keeper\") on this " +
                         (seen ? "computer, which may have the catalog open for writing. Quit"
                               : "computer, whose open files cannot be seen from here, so "
                                 "whether it has the catalog open for writing cannot be told")),
                std::string::npos)
          << why;
      EXPECT_FALSE(Replaced(log)) << log.All();
      EXPECT_EQ(ReadFile(lk), LockLine(holder.pid, Host()));
    }
    ASSERT_TRUE(holder.Stop());
  }
  plockSystem.openFiles = ThroughAnotherMount;
  {
    Sleeper other("/bin/sleep", db.c_str());
    ASSERT_GT(other.pid, 0);
    WriteFile(lk, LockLine(other.pid, Host()));
    MessageLog log;
    PContext ctx;
    ASSERT_TRUE(ctx.OpenDB(db.c_str(), false));
    EXPECT_TRUE(ctx.ReadOnly());
    EXPECT_NE(ctx.ReadOnlyWhy().find("by process " + std::to_string(other.pid) + " (\"sleep\")"),
              std::string::npos)
        << ctx.ReadOnlyWhy();
    EXPECT_FALSE(Replaced(log)) << log.All();
  }
  PContext ctx;
  ASSERT_TRUE(ctx.OpenDB(db.c_str(), false));
  EXPECT_FALSE(ctx.ReadOnly()) << ctx.ReadOnlyWhy();
}

// Where the file system has no hard links (FAT refuses link() with EPERM), the lock file is
// made by exclusive creation: the same line and mode and no other file beside it, held by the
// kernel, so that a second taker is refused naming the holder; once the holder is gone it is
// replaced, and a catalogue there opens for writing. A folder this user may not change still
// tells that permission is denied.
TEST(WriteLock, MadeWhereTheFileSystemHasNoHardLinks) {
  TempDir d;
  const std::string db = d.Path("photos.qdb"), lk = d.Path("photos.lock");
  SystemAnswers answers;
  plockSystem.link = NoHardLinks;
  {
    ctxtest::LockHolder holder(db);
    ASSERT_TRUE(holder.holds);
    EXPECT_EQ(ReadFile(lk), LockLine(holder.child, Host()));
    struct stat st;
    ASSERT_EQ(stat(lk.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    EXPECT_EQ(Entries(d.Dir()), 1);
    const int fd = open(lk.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(PlockSystemDefault().locked(fd), 1);
    close(fd);
    char lock[PContext::kPathLen] = "";
    PLockRefusal refusal;
    EXPECT_FALSE(PContext::WriteLock(lock, db.c_str(), &refusal));
    EXPECT_EQ(refusal.verdict, PLVheld);
    EXPECT_EQ(refusal.pid, holder.child);
    EXPECT_EQ(refusal.err, 0);
  }
  {
    MessageLog log;
    PContext ctx;
    ASSERT_TRUE(ctx.OpenDB(db.c_str(), false));
    EXPECT_FALSE(ctx.ReadOnly()) << ctx.ReadOnlyWhy();
    EXPECT_TRUE(log.Has(DMCinfo, "Ignoring previous DB lock (dead process)")) << log.All();
    EXPECT_EQ(ReadFile(lk), LockLine(getpid(), Host()));
  }
  EXPECT_FALSE(Exists(lk));
  ASSERT_EQ(chmod(d.Dir().c_str(), 0555), 0);
  const std::string why = WhyWithoutFileRights(db, d.Dir());
  chmod(d.Dir().c_str(), 0755);
  if (why == "\x01") GTEST_SKIP() << "the folder cannot be made unwritable for this user";
  EXPECT_EQ(why, "its lock file '" + lk + "' cannot be made (" + PsystemReason(EACCES) + ")");
}

namespace {

std::string overtaken;                           // the catalogue whose lock's maker is overtaken
std::unique_ptr<ctxtest::LockHolder> overtaker;  // the process that overtakes it

// Before the first lock a maker takes, another process takes the catalogue's lock: it finds the
// file just made empty and unlocked, removes it and makes its own.
int OvertakenBeforeLocking(int fd, struct flock* fl) {
  if (!overtaken.empty()) {
    const std::string db = overtaken;
    overtaken.clear();
    overtaker.reset(new ctxtest::LockHolder(db));
  }
  return PlockSystemDefault().setLock(fd, fl);
}

}  // namespace

// A maker by exclusive creation overtaken between making its file and locking it gives way:
// its file is gone, and the lock that stands is the other process's.
TEST(WriteLock, AMakerOvertakenBeforeItLocksGivesWay) {
  TempDir d;
  const std::string db = d.Path("c.qdb"), lk = d.Path("c.lock");
  SystemAnswers answers;
  plockSystem.link = NoHardLinks;
  plockSystem.setLock = OvertakenBeforeLocking;
  overtaken = db;
  char lock[PContext::kPathLen] = "";
  PLockRefusal refusal;
  EXPECT_FALSE(PContext::WriteLock(lock, db.c_str(), &refusal));
  ASSERT_TRUE(overtaker != nullptr);
  EXPECT_TRUE(overtaker->holds);
  EXPECT_EQ(refusal.pid, overtaker->child);
  EXPECT_EQ(ReadFile(lk), LockLine(overtaker->child, Host()));
  overtaker.reset();
  EXPECT_EQ(Entries(d.Dir()), 1);
}

namespace {

int maker = -1;    // the maker's open lock file, made by exclusive creation and still empty
int looks = 0;     // the breaker's looks at it so far
int lockedAt = 0;  // the look after which the maker took its lock (0: not taken)

// The kernel's answer as the breaker looks at the lock file; after its second look (the last,
// under its own breaker lock, which finds the file still empty and unlocked) the maker takes its
// lock for writing, as a maker overtaken there does.
int MakerLocksAfterTheLastLook(int fd) {
  const int was = PlockSystemDefault().locked(fd);
  struct stat seen, made;
  if (maker >= 0 && fstat(fd, &seen) == 0 && fstat(maker, &made) == 0 &&
      seen.st_dev == made.st_dev && seen.st_ino == made.st_ino && ++looks == 2) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(maker, F_OFD_SETLK, &fl) == 0) lockedAt = looks;
  }
  return was;
}

}  // namespace

// A lock file made by exclusive creation, still empty and unlocked when a breaker last looks at
// it, whose maker locks it before the breaker removes it, stays its maker's: the breaker locks it
// for reading before removing it, is refused, leaves it and is told the lock is held.
TEST(WriteLock, AMakerThatLocksAfterTheBreakersLastLookKeepsItsLockFile) {
  TempDir d;
  const std::string db = d.Path("c.qdb"), lk = d.Path("c.lock");
  maker = open(lk.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
  ASSERT_GE(maker, 0);
  struct stat made;
  ASSERT_EQ(fstat(maker, &made), 0);
  looks = lockedAt = 0;
  SystemAnswers answers;
  plockSystem.locked = MakerLocksAfterTheLastLook;
  char lock[PContext::kPathLen] = "";
  PLockRefusal refusal;
  EXPECT_FALSE(PContext::WriteLock(lock, db.c_str(), &refusal));
  EXPECT_EQ(lockedAt, 2);
  EXPECT_EQ(refusal.verdict, PLVheld);
  EXPECT_EQ(refusal.err, 0);
  struct stat now;
  ASSERT_EQ(lstat(lk.c_str(), &now), 0);
  EXPECT_EQ(now.st_ino, made.st_ino);
  EXPECT_EQ(Entries(d.Dir()), 1);
  close(maker);
  maker = -1;
}

namespace {

std::string realLock;  // the lock file's whole name, through no symbolic link

// The open files of a process that reached the lock file through another mount of its folder,
// as its process table shows them: the lock file under its whole name, but with the device,
// inode, length and time that mount gives it.
bool ByItsWholeName(long, std::vector<POpenFile>* files) {
  POpenFile f;
  f.name = realLock;
  f.seen = true;
  f.st.st_mode = S_IFREG | 0444;
  f.st.st_dev = 0x4d;
  f.st.st_ino = 7;
  f.st.st_size = 1;
  f.st.st_mtim.tv_sec = 1;
  files->assign(1, f);
  return true;
}

}  // namespace

// A live process of another program that has the lock file open under its whole name holds it,
// though the file as its mount shows it has another device, inode, length and time than here,
// and the taker reached the catalogue through a symbolic link to its folder: the lock is kept,
// naming the holder.
TEST(WriteLock, AHolderKnownByTheLockFilesWholeNameKeepsIt) {
  TempDir d;
  ASSERT_EQ(mkdir(d.Path("real").c_str(), 0755), 0);
  ASSERT_EQ(symlink(d.Path("real").c_str(), d.Path("link").c_str()), 0);
  const std::string db = d.Path("link/c.qdb"), lk = d.Path("link/c.lock");
  Sleeper other("/bin/sleep");
  ASSERT_GT(other.pid, 0);
  WriteFile(lk, LockLine(other.pid, Host()));
  char* real = realpath(lk.c_str(), nullptr);
  ASSERT_NE(real, nullptr);
  realLock = real;
  free(real);
  ASSERT_NE(realLock, lk);
  SystemAnswers answers;
  plockSystem.openFiles = ByItsWholeName;
  char lock[PContext::kPathLen] = "";
  PLockRefusal refusal;
  EXPECT_FALSE(PContext::WriteLock(lock, db.c_str(), &refusal));
  EXPECT_EQ(refusal.verdict, PLVheld);
  EXPECT_EQ(refusal.pid, other.pid);
  EXPECT_EQ(ReadFile(lk), LockLine(other.pid, Host()));
}
