// Registration of the standard readers: their order, idempotence, and which reader a file
// reaches by its suffix.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "fmt_test_util.h"
#include "formats/exrformat.h"
#include "formats/radformat.h"
#include "formats/stdformats.h"
#include "formats/tiffimg.h"
#include "testutil/message_log.h"

using namespace pictest;

namespace {

// Empties the process-wide registry for a test and puts it back afterwards.
class StandardReaders : public ::testing::Test {
 protected:
  void SetUp() override {
    memcpy(saved_, PIReaderI, sizeof saved_);
    memset(PIReaderI, 0, sizeof PIReaderI);
  }
  void TearDown() override { memcpy(PIReaderI, saved_, sizeof saved_); }

 private:
  const _ImgReaderInterface* saved_[IR_MAXREADERS + 1];
};

int Registered() {
  int n = 0;
  while (n < IR_MAXREADERS && PIReaderI[n] != nullptr) n++;
  return n;
}

TEST_F(StandardReaders, RegisteredOnceInTheirOrder) {
  ASSERT_EQ(PloadStandardReaders(), 1);
  const int n = Registered();
  ASSERT_EQ(n, 5);
  const _ImgReaderInterface* const order[] = {&IRInterfaceTIFF, &IRInterfaceJPEG, &IRInterfaceRad,
                                              &IRInterfaceEXR, &IRInterfaceBMP};
  for (int i = 0; i < n; i++) EXPECT_EQ(PIReaderI[i], order[i]) << i;
  EXPECT_EQ(PloadStandardReaders(), 1);
  EXPECT_EQ(Registered(), n);
}

TEST_F(StandardReaders, SuffixesChooseTheReader) {
  ASSERT_EQ(PloadStandardReaders(), 1);
  const _ImgReaderInterface* list[IR_MAXREADERS + 1];
  struct Case {
    const char* suffix;
    const _ImgReaderInterface* reader;
  } cases[] = {{"hdr", &IRInterfaceRad},  {"PIC", &IRInterfaceRad}, {"rgbe", &IRInterfaceRad},
               {"xyze", &IRInterfaceRad}, {"exr", &IRInterfaceEXR}, {"EXR", &IRInterfaceEXR},
               {"ilm", &IRInterfaceEXR}};
  for (const Case& c : cases) {
    ASSERT_EQ(PtargetReader(list, c.suffix), 1) << c.suffix;
    EXPECT_EQ(list[0], c.reader) << c.suffix;
  }
  // Through the registry, a file opens with its own reader.
  ScratchDir dir;
  const FloatImage src = Pattern(8, 8);
  const _ImgWriteBuf wb = src.WriteBuf();
  const std::string hdr = dir.Path("a.HDR"), exr = dir.Path("a.exr");
  ASSERT_GT(IWInterfaceRad.WriteImage(hdr.c_str(), &wb), 0);
  ASSERT_GT(IWInterfaceEXR.WriteImage(exr.c_str(), &wb), 0);
  EXPECT_STREQ(IWInterfaceRad.suffix, "hdr");
  EXPECT_STREQ(IWInterfaceEXR.suffix, "exr");
  for (const std::string& p : {hdr, exr}) {
    _ImgReader* ir = PopenImageF(p.c_str(), 1, nullptr);
    ASSERT_NE(ir, nullptr) << p;
    ReaderCloser c{ir};
    EXPECT_EQ(ir->ri, p == hdr ? &IRInterfaceRad : &IRInterfaceEXR);
  }
}

// Every writer's file saved under every other writer's suffix opens again, silently, with its
// own reader and its own pixels; a file no reader recognises is still refused.
TEST_F(StandardReaders, AFileUnderAnotherFormatsSuffixOpensByItsFirstBytes) {
  EXPECT_EQ(PaddIReaderMagic(&IRInterfaceTIFF, "II*", 3), 0);  // not registered
  ASSERT_EQ(PloadStandardReaders(), 1);
  EXPECT_EQ(PaddIReaderMagic(&IRInterfaceTIFF, "123456789", 9), 0);  // too long
  ScratchDir dir;
  const FloatImage hdr = Pattern(24, 16);
  FloatImage ldr = Pattern(24, 16);
  std::vector<uint8_t> bytes(ldr.px.size());
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(i * 37 % 251);
  _ImgWriteBuf ldrBuf = ldr.WriteBuf();
  ldrBuf.csp = &ICS_sRGB;
  ldrBuf.rowsize = 24 * 3;
  ldrBuf.img = bytes.data();
  const struct {
    const _ImgWriterInterface* writer;
    const _ImgReaderInterface* reader;
    _ImgWriteBuf wb;
  } files[] = {{&IWInterfaceTIFF, &IRInterfaceTIFF, hdr.WriteBuf()},
               {&IWInterfaceTIFF, &IRInterfaceTIFF, ldrBuf},
               {&IWInterfaceRad, &IRInterfaceRad, hdr.WriteBuf()},
               {&IWInterfaceEXR, &IRInterfaceEXR, hdr.WriteBuf()},
               {&IWInterfaceJPEG, &IRInterfaceJPEG, hdr.WriteBuf()},
               {&IWInterfaceJPEG, &IRInterfaceJPEG, ldrBuf}};
  const char* const suffixes[] = {"tif", "hdr", "exr", "jpg"};
  int n = 0;
  for (const auto& f : files) {
    const std::string own = dir.Path("own" + std::to_string(n) + "." + f.writer->suffix);
    ASSERT_GT(f.writer->WriteImage(own.c_str(), &f.wb), 0) << own;
    _ImgReader* ref = PopenImageF(own.c_str(), 1, nullptr);
    ASSERT_NE(ref, nullptr) << own;
    ReaderCloser refc{ref};
    const std::vector<float> want = ReadAllFloat(ref);
    for (const char* sfx : suffixes) {
      if (strcmp(sfx, f.writer->suffix) == 0) continue;
      const std::string path = dir.Path("x" + std::to_string(n) + "." + sfx);
      ASSERT_EQ(link(own.c_str(), path.c_str()), 0);
      MessageLog log;
      testing::internal::CaptureStderr();
      _ImgReader* ir = PopenImageF(path.c_str(), 0, nullptr);
      const std::string said = testing::internal::GetCapturedStderr();
      ASSERT_NE(ir, nullptr) << path << "\n" << log.All();
      ReaderCloser c{ir};
      EXPECT_EQ(ir->ri, f.reader) << path;
      // Opened: the readers that did not take it say nothing, to the log or to the terminal.
      EXPECT_EQ(log.Count(), 0u) << path << "\n" << log.All();
      EXPECT_EQ(said, "") << path;
      EXPECT_EQ(ReadAllFloat(ir), want) << path;
    }
    n++;
  }
  // Not an image by its content either: refused as before.
  const std::string text = dir.Path("note.exr");
  FILE* fp = fopen(text.c_str(), "w");
  ASSERT_NE(fp, nullptr);
  fputs("II* not a picture\n", fp);
  fclose(fp);
  MessageLog log;
  EXPECT_EQ(PopenImageF(text.c_str(), 0, nullptr), nullptr);
  EXPECT_GT(log.Count(), 0u);
}

// The descriptors of this process open on path, each with whether it is closed on exec.
std::vector<bool> DescriptorsOn(const std::string& path) {
  std::vector<bool> found;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return found;
  while (dirent* e = readdir(d)) {
    char target[4096];
    const std::string link = std::string("/proc/self/fd/") + e->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0 || std::string(target, static_cast<size_t>(n)) != path) continue;
    const int flags = fcntl(atoi(e->d_name), F_GETFD);
    found.push_back(flags >= 0 && (flags & FD_CLOEXEC) != 0);
  }
  closedir(d);
  return found;
}

// A program started while a picture is open (the desktop opener, say) must not inherit it.
TEST_F(StandardReaders, OpenPicturesAreClosedOnExec) {
  ASSERT_EQ(PloadStandardReaders(), 1);
  ScratchDir dir;
  const FloatImage img = Pattern(40, 30);
  const _ImgWriteBuf wb = img.WriteBuf();
  const std::string exr = dir.Path("p.exr"), tif = dir.Path("p.tif"), hdr = dir.Path("p.hdr");
  ASSERT_GT(ExrWriteImage(exr.c_str(), &wb), 0);
  ASSERT_GT(TiffWriteImage(tif.c_str(), &wb), 0);
  ASSERT_GT(RadWriteImage(hdr.c_str(), &wb), 0);
  for (const std::string& path : {exr, tif, hdr}) {
    _ImgReader* ir = PopenImageF(path.c_str(), 1, nullptr);
    ASSERT_NE(ir, nullptr) << path;
    const std::vector<bool> fds = DescriptorsOn(path);
    ir->ri->Close(ir);
    for (bool cloexec : fds) EXPECT_TRUE(cloexec) << path;
    // The OpenEXR reader keeps its file open as long as the picture is.
    if (path == exr) {
      EXPECT_FALSE(fds.empty());
    }
  }
}

}  // namespace
