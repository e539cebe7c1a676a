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
#include "testutil/fifo_watch.h"
#include "testutil/message_log.h"

namespace {

std::vector<unsigned char> Bytes(size_t n, unsigned seed) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 131 + seed) >> 3);
  return v;
}

void* HeapCopy(const std::vector<unsigned char>& v) {
  void* m = std::malloc(v.size());
  if (m != nullptr) std::memcpy(m, v.data(), v.size());
  return m;
}

// A disk-cache object whose original, Bytes(size, 0), is rebuilt on demand; adopted memory and
// rebuilt memory are heap blocks given back by FreeOriginal.
class Pattern : public DiskCacheObject {
 public:
  explicit Pattern(size_t size = 4096) : size_(size) {}
  ~Pattern() override { Free(); }
  const char* ClassName() const override { return "Pattern"; }
  bool NewOriginal() override {
    ++builds;
    objCache = HeapCopy(Bytes(size_, 0));
    objSize = size_;
    return objCache != nullptr;
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

bool Exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// Writes v to the file at path.
void TempFileAt(const std::string& path, const std::vector<unsigned char>& v) {
  FILE* fp = std::fopen(path.c_str(), "wb");
  EXPECT_NE(fp, nullptr);
  if (fp != nullptr) {
    EXPECT_TRUE(v.empty() || std::fwrite(v.data(), 1, v.size(), fp) == v.size());
    std::fclose(fp);
  }
}

// Writes v to a fresh file in the test directory and returns its path.
std::string TempFile(const char* name, const std::vector<unsigned char>& v) {
  const std::string path = testing::TempDir() + "lumerin_dc_" + std::to_string(getpid()) + name;
  TempFileAt(path, v);
  return path;
}

// Reads the object's memory through the cache and compares it with want.
void ExpectContent(DiskCacheObject& o, const std::vector<unsigned char>& want) {
  size_t size = 0;
  void* m = o.GetCacheObject(&size);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(size, want.size());
  EXPECT_EQ(std::memcmp(m, want.data(), size), 0);
  o.ReleaseObject(m);
}

class DiskCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (unsigned c = 0; c < DMCnerr; ++c) dmessage_record[c] = nullptr;
    saved_read_ = {DiskCacheObject::readBytes, DiskCacheObject::readTime};
    DiskCacheObject::outOfTemp = false;
  }
  void TearDown() override {
    DiskCacheObject::outOfTemp = false;
    DiskCacheObject::readBytes = saved_read_.first;
    DiskCacheObject::readTime = saved_read_.second;
  }

  MessageLog log_;
  std::pair<uint64_t, double> saved_read_;
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
  const auto want = Bytes(30000, 1);
  const std::string path = TempFile("orig", want);
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

TEST_F(DiskCacheTest, BadPathsAndMissingOriginalsAreRefused) {
  Pattern p;
  EXPECT_FALSE(p.SetFile(nullptr));
  EXPECT_FALSE(p.SetFile(std::string(1024, 'a').c_str()));
  EXPECT_FALSE(p.SetFile("/nonexistent/lumerin/file"));
  EXPECT_FALSE(p.SetFile(testing::TempDir().c_str()));  // a directory is not a file
  EXPECT_TRUE(p.Empty());
  EXPECT_FALSE(p.SetMemory(nullptr, 10));
  DiskCacheObject d;  // the base class cannot make an original
  EXPECT_TRUE(d.Empty());
  EXPECT_EQ(d.GetCacheObject(), nullptr);
  EXPECT_STREQ(dmessage_record[DMCassert], "Missing NewOriginal call");
}

TEST_F(DiskCacheTest, ReproducibleObjectSwapsOnlyWhenRebuildingCostsMore) {
  // A read rate of one object per second makes the read-back cost factor x 1 s; after two
  // restores the factor is 2.95 / 1.75 = 1.686.
  const size_t size = 40960;
  DiskCacheObject::readBytes = size;
  DiskCacheObject::readTime = 1.0;
  Pattern p(size);
  ExpectContent(p, Bytes(size, 0));
  EXPECT_EQ(p.builds, 1);
  p.SetRestores(2);
  p.SetOrigTime(1.68);
  p.FreeMemory();
  EXPECT_FALSE(p.IsResident());
  EXPECT_STREQ(p.FileName(), "");  // rebuilt next time
  ExpectContent(p, Bytes(size, 0));
  EXPECT_EQ(p.builds, 2);
  p.SetRestores(2);
  p.SetOrigTime(1.69);
  p.FreeMemory();
  EXPECT_STRNE(p.FileName(), "");  // swapped: reading back is cheaper
  ExpectContent(p, Bytes(size, 0));
  EXPECT_EQ(p.builds, 2);
  // The read was added to the running totals.
  EXPECT_EQ(DiskCacheObject::readBytes, 2 * size);
}

TEST_F(DiskCacheTest, WithoutTempSpaceNonReproducibleMemoryIsKept) {
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string saved = tmpdir ? tmpdir : "";
  setenv("TMPDIR", "/nonexistent/lumerin/tmp", 1);
  const auto want = Bytes(1000, 3);
  Pattern p;
  EXPECT_TRUE(p.SetMemory(HeapCopy(want), want.size()));
  p.FreeMemory();
  tmpdir ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR");
  EXPECT_TRUE(p.IsResident());
  EXPECT_TRUE(DiskCacheObject::outOfTemp);
  EXPECT_STREQ(dmessage_record[DMCwarning], "FreeMemory: Out of temp disk");
  ExpectContent(p, want);
  // A reproducible object then skips swapping and is rebuilt instead.
  Pattern r;
  ExpectContent(r, Bytes(4096, 0));
  r.FreeMemory();
  EXPECT_FALSE(r.IsResident());
  EXPECT_STREQ(r.FileName(), "");
}

TEST_F(DiskCacheTest, DamagedFilesFailTheRestore) {
  // An empty original cannot become resident memory.
  const std::string path = TempFile("empty", {});
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

// In a temporary folder others write, another may put a file of the same size, or a FIFO, at
// a swap file's name: neither is read back as the memory, nor waited on.
TEST_F(DiskCacheTest, ASwapFileIsReadBackOnlyWhenItIsTheFileWritten) {
  const auto want = Bytes(8192, 6);
  for (const bool fifo : {false, true}) {
    SCOPED_TRACE(fifo ? "FIFO" : "file");
    Pattern p;
    ASSERT_TRUE(p.SetMemory(HeapCopy(want), want.size()));
    p.FreeMemory();
    const std::string swap = p.FileName(), other = swap + ".other";
    if (fifo)
      ASSERT_EQ(mkfifo(other.c_str(), 0600), 0);
    else
      TempFileAt(other, Bytes(want.size(), 7));
    ASSERT_EQ(rename(other.c_str(), swap.c_str()), 0);
    testutil::FifoWatch watch(swap);
    EXPECT_EQ(p.GetCacheObject(), nullptr);
    EXPECT_FALSE(watch.Waited());
    EXPECT_EQ(
        std::string(dmessage_record[DMCsystem]),
        fifo ? "Disk cache read error on '" + swap + "'"
             : "Disk cache file '" + swap + "' is not the one written: another file took its name");
  }
}

}  // namespace
