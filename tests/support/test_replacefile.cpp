// Files written whole: a committed file replaces the old one with its mode, anything else leaves
// the old file and no temporary file behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

#include "support/replacefile.h"
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
  EXPECT_TRUE(PcommitTemp(tmp, dir.Path("c.pdf").c_str()));
  EXPECT_EQ(ModeOf(dir.Path("c.pdf")), 0604u);
  const std::string free = PfreeNameBeside(path.c_str());
  struct stat st;
  EXPECT_FALSE(free.empty());
  EXPECT_NE(lstat(free.c_str(), &st), 0);
}

}  // namespace
