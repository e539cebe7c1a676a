// Files written whole: a committed file replaces the old one with its mode, anything else leaves
// the old file and no temporary file behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>

#include "support/replacefile.h"
#include "testutil/message_log.h"
#include "testutil/other_user.h"
#include "testutil/temp_dir.h"

namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int CountEntries(const std::string& dir) {
  int n = 0;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr) n += e->d_name[0] != '.' || e->d_name[1] > '.';
  if (d) closedir(d);
  return n;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(WholeFile, CommitReplacesAndEveryFailureKeepsTheOldFile) {
  testutil::TempDir dir("whole");
  const std::string path = dir.Path("a.txt");
  { std::ofstream(path) << "old"; }
  chmod(path.c_str(), 0640);
  {
    PWholeFile f(path.c_str());
    ASSERT_TRUE(f.IsOpen());
    EXPECT_EQ(f.TempName().rfind(dir.Path(".a.txt."), 0), 0u) << f.TempName();
    EXPECT_TRUE(f.Write("new ", 4) && f.Write("text", 4));
    EXPECT_EQ(Read(path), "old");
    EXPECT_TRUE(f.Commit());
  }
  EXPECT_EQ(Read(path), "new text");
  EXPECT_EQ(ModeOf(path), 0640u);  // the replaced file's mode
  EXPECT_EQ(CountEntries(dir.Dir()), 1);

  // Dropped, discarded or not committed: the old file stays and the temporary file goes.
  {
    PWholeFile f(path.c_str());
    f.Write("lost", 4);
  }
  {
    PWholeFile f(path.c_str(), 0600);
    f.Write("lost", 4);
    EXPECT_TRUE(f.Sync() && f.Close());
    f.Discard();
    EXPECT_FALSE(f.Commit());
  }
  EXPECT_EQ(Read(path), "new text");
  EXPECT_EQ(CountEntries(dir.Dir()), 1);

  // A rename that fails (a folder in the way) says why and leaves nothing behind.
  const std::string sub = dir.Path("sub");
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((sub + "/x").c_str(), 0700), 0);
  {
    PWholeFile f(sub.c_str(), 0600);
    ASSERT_TRUE(f.IsOpen());
    EXPECT_TRUE(f.Write("x", 1));
    errno = 0;
    EXPECT_FALSE(f.Commit());
    EXPECT_NE(errno, 0);
  }
  EXPECT_EQ(CountEntries(dir.Dir()), 2);
  EXPECT_FALSE(PWholeFile(dir.Path("none/b.txt").c_str()).IsOpen());

  // A new file takes the mode given, the suffix asked for ends the temporary name, and a free
  // name beside a file is free.
  std::string tmp;
  const int fd = PtempBeside(dir.Path("c.pdf").c_str(), &tmp, 0604, ".pdf");
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(tmp.substr(tmp.size() - 4), ".pdf");
  const std::string mark = dir.Path(".c.pdf.lumerin-" + std::to_string(getpid()) + "-");
  EXPECT_EQ(tmp.rfind(mark, 0), 0u) << tmp;  // names its target and its process
  EXPECT_EQ(tmp.size(), mark.size() + 6 + 8) << tmp;
  EXPECT_TRUE(PcommitTemp(tmp, dir.Path("c.pdf").c_str()));
  EXPECT_EQ(ModeOf(dir.Path("c.pdf")), 0604u);
  const std::string free = PfreeNameBeside(path.c_str());
  struct stat st;
  EXPECT_FALSE(free.empty());
  EXPECT_NE(lstat(free.c_str(), &st), 0);
}

// Only the temporary files of processes that are gone are removed, and only names of exactly
// the form PtempBeside gives: a live process's file, links, and names that merely look alike
// stay.
TEST(WholeFile, LeftoversOfEndedProcessesAreRemovedAndNothingElse) {
  testutil::TempDir dir("stale");
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  const std::string dead = std::to_string(child), live = std::to_string(getpid());
  const std::string gone[] = {
      ".a.jpg.lumerin-" + dead + "-Ab3xYz.tmp", ".a.pdf.lumerin-" + dead + "-000000.tmp.pdf",
      "..a.tif.lumerin-" + dead + "-aaaaaa.tmp.lumerin-" + dead + "-bbbbbb.tmp"};
  const std::string kept[] = {".a.jpg.lumerin-" + live + "-Ab3xYz.tmp",  // alive
                              "a.jpg.lumerin-" + dead + "-Ab3xYz.tmp",   // not hidden
                              ".a.jpg.lumerin-" + dead + "-Ab3xY.tmp",   // five, not six
                              ".a.jpg.lumerin-" + dead + "-Ab3xYz",      // no ending
                              ".a.jpg.lumerin-" + dead + "-Ab3xYz.tmp~",
                              ".a.jpg.lumerin-" + dead + "-Ab3xYz.bak",
                              ".a.jpg.lumerin-" + dead + "-Ab3xYz.tmp.",
                              ".a.jpg.lumerin-0" + dead + "-Ab3xYz.tmp",
                              ".a.jpg.other-" + dead + "-Ab3xYz.tmp",
                              ".lumerin-" + dead + "-Ab3xYz.tmp"};  // no target's name
  for (const std::string& n : gone) std::ofstream(dir.Path(n)) << "x";
  for (const std::string& n : kept) std::ofstream(dir.Path(n)) << "x";
  const std::string link = ".b.jpg.lumerin-" + dead + "-Ab3xYz.tmp";
  ASSERT_EQ(symlink(dir.Path(kept[0]).c_str(), dir.Path(link).c_str()), 0);
  EXPECT_EQ(PremoveStaleTemps(dir.Dir().c_str()), 3);
  struct stat st;
  for (const std::string& n : gone) EXPECT_NE(lstat(dir.Path(n).c_str(), &st), 0) << n;
  for (const std::string& n : kept) EXPECT_EQ(lstat(dir.Path(n).c_str(), &st), 0) << n;
  EXPECT_EQ(lstat(dir.Path(link).c_str(), &st), 0);
  EXPECT_EQ(PremoveStaleTemps(dir.Path("none").c_str()), 0);
}

}  // namespace

// A file replaced keeps the permission bits of the user's own file at its name, never set-user-ID,
// set-group-ID or sticky; another user's file there (root plants one) lends it nothing; a link
// there is itself replaced, its target and the target's mode untouched.
TEST(WholeFile, AReplacedFileTakesOnlyItsOwnersPermissionBitsAndNeverFollowsALink) {
  testutil::TempDir dir("mode");
  struct Umask {
    mode_t was = umask(022);  // new files 0644
    ~Umask() { umask(was); }
  } usual;
  const std::string path = dir.Path("pic.tif");
  auto replace = [&](const char* text) {
    PWholeFile f(path.c_str());
    return f.Write(text, strlen(text)) && f.Commit();
  };
  struct stat st;
  {
    std::ofstream(path) << "old";
  }
  ASSERT_EQ(chmod(path.c_str(), 06755 | S_ISVTX), 0);
  EXPECT_TRUE(replace("mine"));
  EXPECT_EQ(ModeOf(path), 0755u);

  const std::string target = dir.Path("private.txt");
  { std::ofstream(target) << "private"; }
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  unlink(path.c_str());
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  EXPECT_TRUE(replace("through no link"));
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u);  // a new file's, not the target's
  EXPECT_EQ(Read(path), "through no link");
  EXPECT_EQ(Read(target), "private");
  EXPECT_EQ(ModeOf(target), 0600u);

  if (geteuid() == 0) {
    ASSERT_TRUE(testutil::GiveToOtherUser(path));
    ASSERT_EQ(chmod(path.c_str(), 04777), 0);
    EXPECT_TRUE(replace("theirs no more"));
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(Read(path), "theirs no more");
  }
  if (geteuid() != 0) GTEST_SKIP() << "another user's file can be planted only as root";
}

// In a folder another user may write, that user renames away the temporary file of a file
// written whole and leaves a file of their own at its name, after the writer's last write:
// with the file still open (Commit syncs and renames it), once the writer closed it, and for a
// picture writer that made it with PtempBeside and commits it by name. Nothing is renamed: the
// user's file stays as it was, the file at the temporary name stays theirs, and the failure
// says why.
TEST(WholeFile, ATemporaryFileReplacedBeforeItsRenameNeverTakesTheFilesName) {
  testutil::TempDir top("replaced");
  const std::string shared = testutil::SharedFolder(top.Dir());
  const std::string path = shared + "/list.txt", moved = shared + "/moved";
  const std::string theirs = "the other user's file\n";
  auto plant = [&](const std::string& tmp) {
    return testutil::Plant([&] {
      if (rename(tmp.c_str(), moved.c_str()) != 0) return false;
      const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      return fd >= 0 && write(fd, theirs.data(), theirs.size()) == (ssize_t)theirs.size() &&
             close(fd) == 0;
    });
  };
  for (const char* how : {"open", "closed", "picture writer"}) {
    SCOPED_TRACE(how);
    { std::ofstream(path) << "old"; }
    MessageLog log;
    std::string tmp;
    bool committed = true;
    if (std::string(how) == "picture writer") {
      struct stat made;
      const int fd = PtempBeside(path.c_str(), &tmp, -1, nullptr, &made);
      ASSERT_GE(fd, 0);
      ASSERT_TRUE(PwriteAll(fd, "new", 3) && fsync(fd) == 0 && close(fd) == 0);
      ASSERT_TRUE(plant(tmp));
      committed = PcommitTemp(tmp, path.c_str(), &made) != 0;
    } else {
      PWholeFile f(path.c_str());
      tmp = f.TempName();
      ASSERT_TRUE(f.Write("new", 3));
      if (std::string(how) == "closed") {
        ASSERT_TRUE(f.Close());
      }
      ASSERT_TRUE(plant(tmp));
      committed = f.Commit();
    }
    EXPECT_FALSE(committed);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(Read(path), "old");
    EXPECT_EQ(Read(tmp), theirs);
    EXPECT_TRUE(log.Has(DMCsystem, "The temporary file '" + tmp +
                                       "' was replaced while it was written: '" + path +
                                       "' is left as it was"))
        << log.All();
    unlink(tmp.c_str());
    unlink(moved.c_str());
  }
}
