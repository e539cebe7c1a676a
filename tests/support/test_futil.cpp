#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "support/futil.h"
#include "testutil/temp_dir.h"
#include "testutil/time_zone.h"

namespace {

TEST(FutilTest, DirectoryAndFileTimes) {
  const std::string dir = testing::TempDir();
  const std::string file = dir + "lumerin_futil_" + std::to_string(getpid());
  FILE* fp = std::fopen(file.c_str(), "w");
  ASSERT_NE(fp, nullptr);
  std::fclose(fp);
  EXPECT_EQ(isdirectory(dir.c_str()), 1);
  EXPECT_EQ(isdirectory(file.c_str()), 0);
  EXPECT_EQ(isdirectory("/nonexistent/lumerin"), -1);
  EXPECT_EQ(isdirectory(nullptr), -1);

  const time_t past = 1000000000;
  EXPECT_EQ(setfiletime(file.c_str(), past), 0);
  EXPECT_EQ(getfiletime(file.c_str()), past);
  EXPECT_EQ(setfiletime(file.c_str(), std::time(nullptr) + 3600), -1);
  EXPECT_EQ(getfiletime(file.c_str()), past);  // refused: unchanged
  EXPECT_EQ(setfiletime(file.c_str(), 0), 0);
  EXPECT_GE(getfiletime(file.c_str()), std::time(nullptr) - 5);
  EXPECT_EQ(getfiletime(nullptr), 0);
  EXPECT_EQ(getfiletime("/nonexistent/lumerin"), 0);
  EXPECT_EQ(setfiletime("/nonexistent/lumerin", past), -1);
  std::remove(file.c_str());
}

TEST(FutilTest, DateText) {
  testutil::TimeZone utc("UTC");
  char buf[CVTDATE_LEN];
  EXPECT_EQ(cvtdate(buf, 0), nullptr);
  ASSERT_EQ(cvtdate(buf, 1000000000), buf);
  EXPECT_STREQ(buf, "2001:09:09 01:46:40");
  // A year that does not fit four digits is refused rather than cut.
  EXPECT_EQ(cvtdate(buf, static_cast<time_t>(400000000000LL)), nullptr);
  // The local time where the program runs: in summer time, a quarter of an hour off, and on
  // both sides of an hour that summer time skips.
  const struct {
    const char* zone;
    time_t t;
    const char* text;
  } local[] = {{testutil::kBerlin, 1000000000, "2001:09:09 03:46:40"},
               {testutil::kBerlin, 1679792399, "2023:03:26 01:59:59"},
               {testutil::kBerlin, 1679792400, "2023:03:26 03:00:00"},
               {testutil::kChatham, 1000000000, "2001:09:09 14:31:40"},
               {testutil::kChatham, 1695477599, "2023:09:24 02:44:59"},
               {testutil::kChatham, 1695477600, "2023:09:24 03:45:00"}};
  for (const auto& l : local) {
    testutil::TimeZone zone(l.zone);
    ASSERT_EQ(cvtdate(buf, l.t), buf) << l.zone;
    EXPECT_STREQ(buf, l.text) << l.zone << " at " << l.t;
  }
}

TEST(FutilTest, BlockAllocatorCarvesAndReuses) {
  char* a = static_cast<char*>(bmalloc(20));
  char* b = static_cast<char*>(bmalloc(20));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b - a, 24);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 8, 0u);
  // Freeing the last piece and asking again gives the same address, for any size.
  for (size_t n : {1, 7, 8, 13, 20, 100, 1001}) {
    void* p = bmalloc(n);
    ASSERT_NE(p, nullptr);
    bfree(p, n);
    EXPECT_EQ(bmalloc(n), p) << n;
  }
  // Large requests go to the heap directly and are usable in full.
  char* big = static_cast<char*>(bmalloc(20000));
  ASSERT_NE(big, nullptr);
  big[0] = big[19999] = 1;
  char* c = static_cast<char*>(bmalloc(16));
  EXPECT_TRUE(c < big || c >= big + 20000);
  std::free(big);
  bfree(nullptr, 10);
}

TEST(FutilTest, FreedForeignPieceBecomesCarvingBlockWithinItsBounds) {
  // A piece larger than any block, handed to bfree at an odd address, becomes the carving
  // block; only its own whole 8-byte units are used.
  alignas(8) static char area[20000];
  char* odd = area + 3;
  bfree(odd, sizeof area - 3);
  char* p = static_cast<char*>(bmalloc(1000));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p, area + 8);
  char* q = static_cast<char*>(bmalloc(16000));
  EXPECT_EQ(q, area + 8 + 1000);
  char* r = static_cast<char*>(bmalloc(1000));
  EXPECT_EQ(r, area + 8 + 17000);
  // 1,992 bytes are left: more than the small-request threshold, so a larger request goes to
  // the heap and the rest is kept for smaller ones.
  char* h = static_cast<char*>(bmalloc(2000));
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(h < area || h >= area + sizeof area);
  std::free(h);
  EXPECT_EQ(bmalloc(1992), area + 8 + 18000);
}

// A rename that never replaces: a name that exists refuses it, whether an empty folder (which a
// plain rename of a folder takes the place of), another folder's or a file; both stay as they
// were. A free name is taken.
TEST(RenameNoReplace, AnyNameThatExistsRefusesTheRename) {
  testutil::TempDir dir("noreplace");
  const std::string folder = dir.Path("New Folder"), empty = dir.Path("empty"),
                    file = dir.Path("file");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(empty.c_str(), 0700), 0);
  { std::ofstream(file) << "kept"; }
  struct stat before, after;
  ASSERT_EQ(lstat(empty.c_str(), &before), 0);
  for (const std::string* to : {&empty, &file}) {
    SCOPED_TRACE(*to);
    errno = 0;
    EXPECT_EQ(PrenameNoReplace(folder.c_str(), to->c_str()), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(lstat(folder.c_str(), &after), 0);
  }
  EXPECT_EQ(PrenameNoReplace(file.c_str(), empty.c_str()), -1);
  ASSERT_EQ(lstat(empty.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  std::ifstream in(file);
  std::string text;
  in >> text;
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(PrenameNoReplace(folder.c_str(), dir.Path("Trips").c_str()), 0);
  EXPECT_NE(lstat(folder.c_str(), &after), 0);
  EXPECT_EQ(lstat(dir.Path("Trips").c_str(), &after), 0);
  EXPECT_TRUE(S_ISDIR(after.st_mode));
}

}  // namespace
