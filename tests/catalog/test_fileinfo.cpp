// File facts of photo records: the content hash against an outside reference, the folders
// a record remembers and the recorded path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <string>

#include "catalog/photo_test_util.h"
#include "catalog/pfieldset.h"
#include "catalog/pimginfo.h"
#include "catalog/plocate.h"
#include "support/futil.h"
#include "testutil/checker.h"
#include "testutil/run_program.h"
#include "testutil/message_log.h"
#include "testutil/time_zone.h"

using phototest::ScratchDir;

namespace {

// The hash of a file computed by the outside tool's memhash; -1 when the tool cannot run here
// (the test marked skipped) or fails (a failure of the test).
long ReferenceHash(const std::string& path) {
  const std::string tools = LUMERIN_TOOLS;
  if (!CheckerRuns(path)) return -1;
  const std::string script =
      "import sys, os\n"
      "sys.path.insert(0, '" +
      tools +
      "')\n"
      "from qdbcheck import memhash\n"
      "B = 15872\n"
      "f = open(sys.argv[1], 'rb')\n"
      "L = os.fstat(f.fileno()).st_size\n"
      "G = 0 if L <= 5 * B else (L - 5 * B) // 4 + 1\n"
      "h = 0\n"
      "for k in range(5):\n"
      "    b = f.read(B)\n"
      "    if not b: break\n"
      "    h ^= memhash(b, 31)\n"
      "    if len(b) < B: break\n"
      "    if k < 4 and G > 0: f.seek(G, 1)\n"
      "print(h)\n";
  std::string out;
  const int rc =
      testutil::RunProgram({"python3", "-c", script, path}, &out, testutil::Errors::kWithOutput);
  long h = -1;
  if (rc != 0 || sscanf(out.c_str(), "%ld", &h) != 1) {
    ADD_FAILURE() << "the outside tool's hash exited with " << rc << ": " << out;
    return -1;
  }
  return h;
}

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; i++) {
    x = x * 1664525u + 1013904223u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

DBRecord PhotoRecord() {
  return DBRecord(&PDBFInfo);
}

}  // namespace

TEST(PhashFile, MatchesTheReferenceAtBlockBoundaries) {
  ScratchDir dir;
  const size_t sizes[] = {0, 1, 15872, 79360, 79361, 10u << 20};
  for (size_t n : sizes) {
    const std::string path = dir.Path("f" + std::to_string(n));
    ASSERT_TRUE(phototest::WriteFile(path, Pattern(n, static_cast<unsigned>(n))));
    long h = -7, len = -7;
    ASSERT_EQ(PhashFile(&h, &len, path.c_str()), 1) << n;
    EXPECT_EQ(len, static_cast<long>(n));
    const long ref = ReferenceHash(path);
    if (ref < 0) return;
    EXPECT_EQ(h, ref) << "size " << n;
    if (n == 0) {
      EXPECT_EQ(h, 0);
    }
  }
}

TEST(PhashFile, SparseFileBeyond4GiBKeepsTheLow32BitsOfItsLength) {
  ScratchDir dir;
  const std::string path = dir.Path("big");
  int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  const off_t len = (off_t{4} << 30) + 100;
  const std::string head = Pattern(20000, 3);
  ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
  if (ftruncate(fd, len) != 0) {
    close(fd);
    GTEST_SKIP() << "no sparse files here";
  }
  ASSERT_EQ(pwrite(fd, "tail", 4, len - 4), 4);
  close(fd);
  long h = 0, n = 0;
  ASSERT_EQ(PhashFile(&h, &n, path.c_str()), 1);
  EXPECT_EQ(n, 100);
  const long ref = ReferenceHash(path);
  if (ref < 0) return;
  EXPECT_EQ(h, ref);
}

TEST(PhashFile, UncoveredBytesDoNotChangeTheHashAndFailuresLeaveOutputsAlone) {
  ScratchDir dir;
  std::string a = Pattern(200000, 9), b = a;
  // G = (200000 - 79360) / 4 + 1 = 30161: the first gap starts at 15872.
  b[15872 + 100] ^= 0x55;
  phototest::WriteFile(dir.Path("a"), a);
  phototest::WriteFile(dir.Path("b"), b);
  long ha = 0, hb = 1;
  ASSERT_EQ(PhashFile(&ha, nullptr, dir.Path("a").c_str()), 1);
  ASSERT_EQ(PhashFile(&hb, nullptr, dir.Path("b").c_str()), 1);
  EXPECT_EQ(ha, hb);
  b[10] ^= 1;
  phototest::WriteFile(dir.Path("b"), b);
  ASSERT_EQ(PhashFile(&hb, nullptr, dir.Path("b").c_str()), 1);
  EXPECT_NE(ha, hb);

  long h = 42, n = 43;
  EXPECT_EQ(PhashFile(&h, &n, dir.Path("missing").c_str()), 0);
  EXPECT_EQ(PhashFile(&h, &n, nullptr), 0);
  // A folder opens but cannot be read: no partial hash.
  EXPECT_EQ(PhashFile(&h, &n, dir.Dir().c_str()), 0);
  EXPECT_EQ(h, 42);
  EXPECT_EQ(n, 43);
  EXPECT_EQ(PhashFile(nullptr, nullptr, dir.Path("a").c_str()), 1);
}

TEST(RecordFilePath, LocationsMoveToTheFrontAndStayAtSixteen) {
  DBRecord r = PhotoRecord();
  recordFilePath(&r, "/a/x.jpg");
  recordFilePath(&r, "/b/x.jpg");
  recordFilePath(&r, "/c/x.jpg");
  recordFilePath(&r, "/a/x.jpg");
  const DBField& loc = PDBgetField(r, PDBFlocation);
  ASSERT_EQ(loc.GetNV(), 3);
  EXPECT_STREQ(loc.GetString(0), "/a");
  EXPECT_STREQ(loc.GetString(1), "/c");
  EXPECT_STREQ(loc.GetString(2), "/b");
  EXPECT_STREQ(PDBgetString(r, PDBFfile), "x.jpg");

  for (int i = 0; i < 20; i++) recordFilePath(&r, ("/d" + std::to_string(i) + "/x.jpg").c_str());
  ASSERT_EQ(PDBgetField(r, PDBFlocation).GetNV(), 16);
  EXPECT_STREQ(PDBgetField(r, PDBFlocation).GetString(0), "/d19");
  EXPECT_STREQ(PDBgetField(r, PDBFlocation).GetString(15), "/d4");

  DBRecord root = PhotoRecord();
  recordFilePath(&root, "/x.jpg");
  EXPECT_STREQ(PDBgetString(root, PDBFlocation), "/");
  char buf[64];
  EXPECT_STREQ(PcurrentFile(buf, sizeof(buf), root), "x.jpg");
  EXPECT_STREQ(buf, "/x.jpg");
}

namespace {

// Works in a folder and goes back to the previous working folder at the end.
class InFolder {
 public:
  explicit InFolder(const std::string& dir) {
    if (getcwd(old_, sizeof(old_)) == nullptr) old_[0] = '\0';
    ok_ = chdir(dir.c_str()) == 0;
  }
  ~InFolder() {
    if (old_[0] != '\0' && chdir(old_) != 0) {
    }
  }
  bool ok() const { return ok_; }

 private:
  char old_[4096];
  bool ok_;
};

}  // namespace

TEST(RecordFilePath, RelativePathsRecordTheirFolderFromTheWorkingFolder) {
  phototest::LoadReaders();
  ScratchDir dir;
  ASSERT_EQ(mkdir(dir.Path("sub").c_str(), 0700), 0);
  _ImgStruct im = phototest::NewRGB(40, 30);
  _ImgWriteBuf wb;
  ASSERT_TRUE(PsetWriteBuf(&wb, &im));
  ASSERT_GT(IWInterfaceJPEG.WriteImage(dir.Path("sub/p.jpg").c_str(), &wb), 0);
  PfreeImage(&im);
  char real[4096];
  ASSERT_NE(realpath(dir.Dir().c_str(), real), nullptr);
  const std::string top = real;
  DBRecord a = PhotoRecord(), b = PhotoRecord(), c = PhotoRecord();
  {
    InFolder in(top + "/sub");
    ASSERT_TRUE(in.ok());
    PgrokFile(&a, "p.jpg");
    recordFilePath(&b, "./../sub/./p.jpg");
    recordFilePath(&c, "../../");
  }
  EXPECT_STREQ(PDBgetString(a, PDBFlocation), (top + "/sub").c_str());
  EXPECT_STREQ(PDBgetString(b, PDBFlocation), (top + "/sub").c_str());
  EXPECT_STREQ(PDBgetString(c, PDBFlocation), top.substr(0, top.rfind('/')).c_str());
  {
    InFolder root("/");
    ASSERT_TRUE(root.ok());
    // Opened from elsewhere, the record finds its file again.
    _ImgReader* ir = PopenImageD(a, false);
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(ir->xres, 40);
    ir->ri->Close(ir);
    DBRecord top2 = PhotoRecord();
    recordFilePath(&top2, "x.jpg");
    EXPECT_STREQ(PDBgetString(top2, PDBFlocation), "/");
  }
}

TEST(RecordFileInfo, FactsFromTheFileAndCaptureDateOnlyWhenUnset) {
  testutil::TimeZone utc("UTC");  // the capture date is the file's time in local time
  ScratchDir dir;
  const std::string path = dir.Path("p.jpg");
  phototest::WriteFile(path, Pattern(1000, 1));
  ASSERT_EQ(setfiletime(path.c_str(), 1000000000), 0);
  DBRecord r = PhotoRecord();
  recordFileInfo(&r, path.c_str());
  long v = 0;
  ASSERT_TRUE(PDBgetInt(r, PDBFnbytes, &v));
  EXPECT_EQ(v, 1000);
  ASSERT_TRUE(PDBgetInt(r, PDBFmodtime, &v));
  EXPECT_EQ(v, 1000000000);
  EXPECT_TRUE(PDBgetInt(r, PDBFhashval, nullptr));
  EXPECT_STREQ(PDBgetString(r, PDBFcapdate), "2001:09:09 01:46:40");

  DBRecord dated = PhotoRecord();
  PDBsetString(&dated, PDBFcapdate, "1999:01:01 00:00:00");
  recordFileInfo(&dated, path.c_str());
  EXPECT_STREQ(PDBgetString(dated, PDBFcapdate), "1999:01:01 00:00:00");

  // A missing file leaves length and hash as they were but still records the path.
  DBRecord gone = PhotoRecord();
  PDBsetInt(&gone, PDBFnbytes, 5);
  recordFileInfo(&gone, dir.Path("none.jpg").c_str());
  ASSERT_TRUE(PDBgetInt(gone, PDBFnbytes, &v));
  EXPECT_EQ(v, 5);
  EXPECT_STREQ(PDBgetString(gone, PDBFfile), "none.jpg");
  EXPECT_FALSE(PDBgetField(gone, PDBFcapdate).IsSet());
}

TEST(PcurrentFile, BuildsThePathWithinTheBuffer) {
  DBRecord r = PhotoRecord();
  char buf[16];
  EXPECT_EQ(PcurrentFile(buf, sizeof(buf), r), nullptr);
  EXPECT_EQ(PcurrentFile(buf, sizeof(buf), DBRecord()), nullptr);
  recordFilePath(&r, "/photos/img.jpg");
  const char* name = PcurrentFile(buf, sizeof(buf), r);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(buf, "/photos/img.jpg");
  EXPECT_EQ(name, buf + 8);
  EXPECT_EQ(PcurrentFile(buf, 15, r), nullptr);  // one byte short for the NUL
  EXPECT_EQ(PcurrentFile(nullptr, 16, r), nullptr);
  EXPECT_EQ(PcurrentFile(buf, 0, r), nullptr);
}

TEST(PgrokFile, RecordsFileFactsEvenWhenNoReaderOpensIt) {
  phototest::LoadReaders();
  MessageLog log;
  ScratchDir dir;
  const std::string path = dir.Path("junk.jpg");
  phototest::WriteFile(path, "not a picture");
  DBRecord r;  // no schema: becomes a photo record
  PgrokFile(&r, path.c_str());
  ASSERT_EQ(r.GetFieldInfo(), &PDBFInfo);
  long v = 0;
  EXPECT_TRUE(PDBgetInt(r, PDBFnbytes, &v));
  EXPECT_EQ(v, 13);
  EXPECT_FALSE(PDBgetField(r, PDBFxsize).IsSet());
}
