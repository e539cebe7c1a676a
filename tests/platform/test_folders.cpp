#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/pfolders.h"
#include "platform/ptempfile.h"

namespace {

// Sets the variables for one test and puts the old values back after it.
class EnvTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    d_ = dir_.path().toStdString();
    for (const char* v :
         {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"}) {
      const char* old = std::getenv(v);
      saved_[v] = old ? std::make_pair(true, std::string(old)) : std::make_pair(false, "");
      unsetenv(v);
    }
    setenv("HOME", d_.c_str(), 1);
  }
  void TearDown() override {
    RemoveTempFiles();
    for (const auto& kv : saved_)
      if (kv.second.first)
        setenv(kv.first.c_str(), kv.second.second.c_str(), 1);
      else
        unsetenv(kv.first.c_str());
  }
  static mode_t Mode(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0 ? st.st_mode : 0;
  }
  static std::string Content(const std::string& p) {
    std::stringstream s;
    s << std::ifstream(p).rdbuf();
    return s.str();
  }
  QTemporaryDir dir_;
  std::string d_;
  std::map<std::string, std::pair<bool, std::string>> saved_;
};

}  // namespace

TEST_F(EnvTest, UserFoldersArePrivateAndFallBackToTheXdgDefaults) {
  setenv("XDG_CONFIG_HOME", (d_ + "/cfg/deep").c_str(), 1);
  setenv("XDG_STATE_HOME", "relative/state", 1);  // not absolute: ignored
  std::string msg;
  EXPECT_EQ(UserFolder(kPreferencesFolder, &msg), d_ + "/cfg/deep/lumerin") << msg;
  EXPECT_EQ(UserFolder(kCacheFolder, &msg), d_ + "/.cache/lumerin") << msg;
  EXPECT_EQ(UserFolder(kStateFolder, &msg), d_ + "/.local/state/lumerin") << msg;
  for (const char* f : {"/cfg/deep/lumerin", "/.cache/lumerin", "/.local/state/lumerin"}) {
    EXPECT_TRUE(S_ISDIR(Mode(d_ + f))) << f;
    EXPECT_EQ(Mode(d_ + f) & 07777, 0700u) << f;
  }
  // Asking again finds the same folders.
  EXPECT_EQ(UserFolder(kCacheFolder, &msg), d_ + "/.cache/lumerin");

  unsetenv("HOME");
  msg.clear();
  EXPECT_EQ(UserFolder(kCacheFolder, &msg), "");
  EXPECT_NE(msg.find("HOME"), std::string::npos) << msg;
}

TEST_F(EnvTest, LinkedOrForeignFoldersAreRefused) {
  ASSERT_EQ(mkdir((d_ + "/elsewhere").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((d_ + "/cfg").c_str(), 0700), 0);
  ASSERT_EQ(symlink((d_ + "/elsewhere").c_str(), (d_ + "/cfg/lumerin").c_str()), 0);
  setenv("XDG_CONFIG_HOME", (d_ + "/cfg").c_str(), 1);
  std::string msg;
  EXPECT_EQ(UserFolder(kPreferencesFolder, &msg), "");
  EXPECT_NE(msg.find("symbolic link"), std::string::npos) << msg;

  std::ofstream(d_ + "/afile") << "x";
  EXPECT_FALSE(MakePrivateFolder(d_ + "/afile", &msg));
  EXPECT_NE(msg.find("not a folder"), std::string::npos) << msg;

  if (geteuid() != 0) GTEST_SKIP() << "making another user's folder needs root";
  ASSERT_EQ(mkdir((d_ + "/theirs").c_str(), 0700), 0);
  ASSERT_EQ(chown((d_ + "/theirs").c_str(), 65534, 65534), 0);
  EXPECT_FALSE(MakePrivateFolder(d_ + "/theirs", &msg));
  EXPECT_NE(msg.find("another user"), std::string::npos) << msg;
}

TEST_F(EnvTest, TemporaryFilesGetFreshNamesAndNeverFollowAPlantedLink) {
  ASSERT_EQ(mkdir((d_ + "/run").c_str(), 0700), 0);
  setenv("XDG_RUNTIME_DIR", (d_ + "/run").c_str(), 1);
  std::string msg;
  const std::string a = MakeTempFile(kTempImage, ".tif", &msg);
  const std::string b = MakeTempFile(kTempImage, ".tif", &msg);
  ASSERT_FALSE(a.empty()) << msg;
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(d_ + "/.cache/lumerin/tmp/", 0), 0u) << a;
  EXPECT_EQ(a.substr(a.size() - 4), ".tif");
  EXPECT_EQ(Mode(a) & 07777, 0600u);
  EXPECT_EQ(Mode(d_ + "/.cache/lumerin/tmp") & 07777, 0700u);
  const std::string s = MakeTempFile(kTempSmall, ".txt", &msg);
  EXPECT_EQ(s.rfind(d_ + "/run/lumerin/", 0), 0u) << s;
  EXPECT_EQ(Mode(d_ + "/run/lumerin") & 07777, 0700u);

  // The same name sequence twice: the name taken, or a link planted at it, is passed over.
  SeedTempFileNames(42);
  const std::string first = MakeTempFile(kTempImage, ".tif");
  ASSERT_TRUE(RemoveTempFile(first));
  std::ofstream(d_ + "/victim") << "keep";
  ASSERT_EQ(symlink((d_ + "/victim").c_str(), first.c_str()), 0);
  SeedTempFileNames(42);
  const std::string second = MakeTempFile(kTempImage, ".tif");
  EXPECT_NE(second, first);
  EXPECT_FALSE(second.empty());
  EXPECT_TRUE(S_ISLNK(Mode(first)));
  EXPECT_EQ(Content(d_ + "/victim"), "keep");
  SeedTempFileNames(42);
  EXPECT_NE(MakeTempFile(kTempImage, ".tif"), second);

  // Only files made here are removed; the rest go at the end.
  EXPECT_FALSE(RemoveTempFile(first));
  EXPECT_TRUE(S_ISLNK(Mode(first)));
  EXPECT_TRUE(RemoveTempFile(a));
  EXPECT_EQ(Mode(a), 0u);
  RemoveTempFiles();
  EXPECT_EQ(Mode(b), 0u);
  EXPECT_EQ(Mode(s), 0u);

  // Without a run-time folder small files go with the images; a linked folder is refused.
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(TempFolder(kTempSmall), d_ + "/.cache/lumerin/tmp");
  ASSERT_EQ(unlink(first.c_str()), 0);
  ASSERT_EQ(rmdir((d_ + "/.cache/lumerin/tmp").c_str()), 0);
  ASSERT_EQ(symlink((d_ + "/run").c_str(), (d_ + "/.cache/lumerin/tmp").c_str()), 0);
  EXPECT_EQ(MakeTempFile(kTempImage, ".tif", &msg), "");
  EXPECT_NE(msg.find("symbolic link"), std::string::npos) << msg;
}
