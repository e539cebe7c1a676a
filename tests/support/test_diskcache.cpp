#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/diskcache.h"
#include "support/dmessage.h"

namespace {

// A disk-cache object whose original is a byte pattern rebuilt on demand; adopted memory and
// rebuilt memory are heap blocks given back by FreeOriginal.
class Pattern : public DiskCacheObject {
 public:
  explicit Pattern(size_t size = 4096) : size_(size) {}
  ~Pattern() override { Free(); }
  const char* ClassName() const override { return "Pattern"; }
  bool NewOriginal() override {
    ++builds;
    auto* p = static_cast<unsigned char*>(std::malloc(size_));
    if (p == nullptr) return false;
    for (size_t i = 0; i < size_; ++i) p[i] = static_cast<unsigned char>(i * 7 + 3);
    objCache = p;
    objSize = size_;
    return true;
  }
  void FreeOriginal() override {
    ++original_frees;
    std::free(objCache);
    objCache = nullptr;
  }
  void SetRestores(int64_t n) { numRestores = n; }
  void SetOrigTime(double t) { origTime = t; }

  int builds = 0;
  int original_frees = 0;

 private:
  size_t size_;
};

std::vector<unsigned char> Bytes(size_t n, unsigned seed) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 131 + seed) >> 3);
  return v;
}

void* HeapCopy(const std::vector<unsigned char>& v) {
  void* m = std::malloc(v.size());
  std::memcpy(m, v.data(), v.size());
  return m;
}

bool Exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

std::string TempPath(const char* name) {
  return testing::TempDir() + "lumerin_dc_" + std::to_string(getpid()) + "_" + name;
}

void WriteFile(const std::string& path, const std::vector<unsigned char>& v) {
  FILE* fp = std::fopen(path.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  if (!v.empty()) {
    ASSERT_EQ(std::fwrite(v.data(), 1, v.size(), fp), v.size());
  }
  std::fclose(fp);
}

class DiskCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memcpy(saved_flags_, dmessage_class_flags, sizeof saved_flags_);
    for (unsigned c : {DMCassert, DMCsystem, DMCresource, DMCwarning, DMCmemory})
      dmessage_class_flags[c] = DMArecord;
    saved_out_ = DiskCacheObject::outOfTemp;
    saved_bytes_ = DiskCacheObject::readBytes;
    saved_time_ = DiskCacheObject::readTime;
    DiskCacheObject::outOfTemp = false;
    const char* t = std::getenv("TMPDIR");
    had_tmpdir_ = t != nullptr;
    if (had_tmpdir_) saved_tmpdir_ = t;
    for (unsigned c = 0; c < DMCnerr; ++c) dmessage_record[c] = nullptr;
  }
  void TearDown() override {
    std::memcpy(dmessage_class_flags, saved_flags_, sizeof saved_flags_);
    DiskCacheObject::outOfTemp = saved_out_;
    DiskCacheObject::readBytes = saved_bytes_;
    DiskCacheObject::readTime = saved_time_;
    if (had_tmpdir_)
      setenv("TMPDIR", saved_tmpdir_.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  // Reads the object's memory through the cache and compares it with want.
  static void ExpectContent(DiskCacheObject& o, const std::vector<unsigned char>& want) {
    size_t size = 0;
    void* m = o.GetCacheObject(&size);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(size, want.size());
    EXPECT_EQ(std::memcmp(m, want.data(), size), 0);
    o.ReleaseObject(m);
  }

  uint32_t saved_flags_[DMCnerr + 1];
  bool saved_out_;
  uint64_t saved_bytes_;
  double saved_time_;
  bool had_tmpdir_;
  std::string saved_tmpdir_;
};

TEST_F(DiskCacheTest, SwapsOutRestoresIdenticallyAndRemovesSwapFile) {
  const auto want = Bytes(100000, 5);
  std::string swap;
  {
    Pattern p;
    ASSERT_TRUE(p.SetMemory(HeapCopy(want), want.size()));
    EXPECT_FALSE(p.IsReproducible());
    p.FreeMemory();
    EXPECT_FALSE(p.IsResident());
    EXPECT_EQ(p.original_frees, 1);
    swap = p.FileName();
    ASSERT_FALSE(swap.empty());
    struct stat st;
    ASSERT_EQ(stat(swap.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(static_cast<size_t>(st.st_size), want.size());

    ExpectContent(p, want);
    // Unchanged memory is dropped again and the same file serves the next restore.
    p.FreeMemory();
    EXPECT_EQ(std::string(p.FileName()), swap);
    ExpectContent(p, want);
    EXPECT_EQ(p.builds, 0);
  }
  EXPECT_FALSE(Exists(swap));
}

TEST_F(DiskCacheTest, ChangedMemoryIsNeverRestoredFromStaleSwapFile) {
  auto want = Bytes(50000, 9);
  std::string first;
  {
    Pattern p;
    ASSERT_TRUE(p.SetMemory(HeapCopy(want), want.size()));
    p.FreeMemory();
    first = p.FileName();
    // The restored memory is handed out writable and changed.
    auto* m = static_cast<unsigned char*>(p.GetCacheObject());
    ASSERT_NE(m, nullptr);
    m[123] ^= 0xFF;
    want[123] ^= 0xFF;
    p.ReleaseObject(m);
    p.FreeMemory();
    EXPECT_FALSE(p.IsResident());
    EXPECT_FALSE(Exists(first) && std::string(p.FileName()) != first);
    ExpectContent(p, want);
  }
  EXPECT_FALSE(Exists(first));
}

TEST_F(DiskCacheTest, OriginalFileIsReadOnDemandAndNeverDeleted) {
  const std::string path = TempPath("orig");
  auto want = Bytes(30000, 1);
  WriteFile(path, want);
  {
    Pattern p;
    ASSERT_TRUE(p.SetFile(path.c_str()));
    EXPECT_TRUE(p.HasOriginalFile());
    EXPECT_FALSE(p.IsResident());
    ExpectContent(p, want);
    p.FreeMemory();  // unchanged: dropped, the original serves again
    EXPECT_EQ(std::string(p.FileName()), path);
    // Changed memory moves to a swap file; the original stays as it was.
    auto* m = static_cast<unsigned char*>(p.GetCacheObject());
    ASSERT_NE(m, nullptr);
    m[0] ^= 1;
    p.ReleaseObject(m);
    p.FreeMemory();
    EXPECT_NE(std::string(p.FileName()), path);
    auto changed = want;
    changed[0] ^= 1;
    ExpectContent(p, changed);
  }
  ASSERT_TRUE(Exists(path));
  Pattern q;
  ASSERT_TRUE(q.SetFile(path.c_str()));
  ExpectContent(q, want);
  q.Free();
  EXPECT_TRUE(Exists(path));
  std::remove(path.c_str());
}

TEST_F(DiskCacheTest, SetFileRefusesBadPaths) {
  Pattern p;
  EXPECT_FALSE(p.SetFile(nullptr));
  EXPECT_FALSE(p.SetFile(std::string(1024, 'a').c_str()));
  EXPECT_FALSE(p.SetFile("/nonexistent/lumerin/file"));
  EXPECT_FALSE(p.SetFile(testing::TempDir().c_str()));  // a directory is not a file
  EXPECT_TRUE(p.Empty());
  EXPECT_FALSE(p.SetMemory(nullptr, 10));
}

TEST_F(DiskCacheTest, ReproducibleObjectSwapsOnlyWhenRebuildingCostsMore) {
  // A read rate of one object per second makes the read-back cost factor x 1 s; after two
  // restores the factor is 2.95 / 1.75 = 1.686.
  const size_t size = 40960;
  DiskCacheObject::readBytes = size;
  DiskCacheObject::readTime = 1.0;
  Pattern p(size);
  ExpectContent(p, [&] {
    std::vector<unsigned char> v(size);
    for (size_t i = 0; i < size; ++i) v[i] = static_cast<unsigned char>(i * 7 + 3);
    return v;
  }());
  EXPECT_EQ(p.builds, 1);
  p.SetRestores(2);
  p.SetOrigTime(1.68);
  p.FreeMemory();
  EXPECT_FALSE(p.IsResident());
  EXPECT_STREQ(p.FileName(), "");  // rebuilt next time
  void* m = p.GetCacheObject();
  ASSERT_NE(m, nullptr);
  p.ReleaseObject(m);
  EXPECT_EQ(p.builds, 2);
  p.SetRestores(2);
  p.SetOrigTime(1.69);
  p.FreeMemory();
  EXPECT_STRNE(p.FileName(), "");  // swapped: reading back is cheaper
  m = p.GetCacheObject();
  ASSERT_NE(m, nullptr);
  p.ReleaseObject(m);
  EXPECT_EQ(p.builds, 2);
  // The read was added to the running totals.
  EXPECT_EQ(DiskCacheObject::readBytes, 2 * size);
}

TEST_F(DiskCacheTest, WithoutTempSpaceNonReproducibleMemoryIsKept) {
  setenv("TMPDIR", "/nonexistent/lumerin/tmp", 1);
  const auto want = Bytes(1000, 3);
  Pattern p;
  ASSERT_TRUE(p.SetMemory(HeapCopy(want), want.size()));
  p.FreeMemory();
  EXPECT_TRUE(p.IsResident());
  EXPECT_TRUE(DiskCacheObject::outOfTemp);
  EXPECT_STREQ(dmessage_record[DMCwarning], "FreeMemory: Out of temp disk");
  ExpectContent(p, want);
  // A reproducible object then skips swapping and is rebuilt instead.
  Pattern r;
  void* m = r.GetCacheObject();
  ASSERT_NE(m, nullptr);
  r.ReleaseObject(m);
  r.FreeMemory();
  EXPECT_FALSE(r.IsResident());
  EXPECT_STREQ(r.FileName(), "");
}

TEST_F(DiskCacheTest, DamagedFilesFailTheRestore) {
  // An empty original cannot become resident memory.
  const std::string path = TempPath("empty");
  WriteFile(path, {});
  {
    Pattern p;
    ASSERT_TRUE(p.SetFile(path.c_str()));
    EXPECT_EQ(p.GetCacheObject(), nullptr);
    EXPECT_EQ(std::string(dmessage_record[DMCwarning]), "Empty cache file '" + path + "'");
  }
  std::remove(path.c_str());
  // A swap file cut short by someone else is a read error, not short memory.
  const auto want = Bytes(8192, 4);
  Pattern q;
  ASSERT_TRUE(q.SetMemory(HeapCopy(want), want.size()));
  q.FreeMemory();
  ASSERT_EQ(truncate(q.FileName(), 100), 0);
  EXPECT_EQ(q.GetCacheObject(), nullptr);
  EXPECT_EQ(std::string(dmessage_record[DMCsystem]),
            std::string("Disk cache read error on '") + q.FileName() + "'");
  EXPECT_FALSE(q.InUse());
}

TEST_F(DiskCacheTest, BaseClassWithoutOriginalReports) {
  DiskCacheObject d;
  EXPECT_TRUE(d.Empty());
  EXPECT_EQ(d.GetCacheObject(), nullptr);
  EXPECT_STREQ(dmessage_record[DMCassert], "Missing NewOriginal call");
}

}  // namespace
