// Registration of the standard readers: their order, idempotence, and which reader a file
// reaches by its suffix; the standard writers' files made of rows given one at a time.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "fmt_test_util.h"
#include "formats/exrformat.h"
#include "formats/jpegio.h"
#include "formats/radformat.h"
#include "formats/stdformats.h"
#include "formats/tiffimg.h"
#include "testutil/file_bytes.h"
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

// The names in a folder, hidden ones too.
std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

// Each writer makes of rows given one at a time the file it makes of the whole pixels; a source
// that gives up half way leaves the old file as it was and no temporary file; JPEG-HDR, encoded
// whole, takes no rows.
TEST(StandardWriters, RowsMakeTheSameFileAndAStoppedSourceLeavesTheOldOne) {
  ScratchDir dir;
  const FloatImage hdr = Pattern(61, 37);
  std::vector<uint8_t> bytes(static_cast<size_t>(61) * 37 * 3);
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(i * 37 % 251);
  _ImgWriteBuf ldr = hdr.WriteBuf();
  ldr.csp = &ICS_sRGB;
  ldr.rowsize = 61 * 3;
  ldr.img = bytes.data();
  struct Feed {
    const _ImgWriteBuf* wb;
    int stopAt, asked;
  };
  auto source = [](uint8_t* row, int y, void* data) {
    Feed* f = static_cast<Feed*>(data);
    f->asked = y + 1;
    if (y == f->stopAt) return 0;
    memcpy(row,
           static_cast<const uint8_t*>(f->wb->img) + static_cast<ptrdiff_t>(y) * f->wb->rowsize,
           static_cast<size_t>(f->wb->xres) * PpixelSize(f->wb->csp));
    return 1;
  };
  const struct {
    const _ImgWriterInterface* writer;
    _ImgWriteBuf wb;
    int quality;
  } cases[] = {{&IWInterfaceTIFF, ldr, 90},
               {&IWInterfaceTIFF, hdr.WriteBuf(), 90},
               {&IWInterfaceTIFF, hdr.WriteBuf(), 100},
               {&IWInterfaceRad, hdr.WriteBuf(), 90},
               {&IWInterfaceEXR, hdr.WriteBuf(), 90},
               {&IWInterfaceJPEG, ldr, 90}};
  int n = 0;
  for (auto c : cases) {
    c.wb.info.flags = IIFquality;
    c.wb.info.quality = c.quality;
    const std::string whole = dir.Path("whole" + std::to_string(n) + "." + c.writer->suffix);
    const std::string rows = dir.Path("rows" + std::to_string(n) + "." + c.writer->suffix);
    ASSERT_GT(c.writer->WriteImage(whole.c_str(), &c.wb), 0) << whole;
    Feed f = {&c.wb, -1, 0};
    ASSERT_GT(c.writer->WriteRows(rows.c_str(), &c.wb, source, &f), 0) << rows;
    EXPECT_EQ(ReadAll(rows), ReadAll(whole)) << rows;
    WriteAll(rows, "the old file");
    const std::vector<std::string> before = Names(dir.Path(""));
    f = {&c.wb, c.wb.yres / 2, 0};
    EXPECT_EQ(c.writer->WriteRows(rows.c_str(), &c.wb, source, &f), 0) << rows;
    EXPECT_EQ(f.asked, c.wb.yres / 2 + 1) << rows;
    EXPECT_EQ(ReadAll(rows), "the old file");
    EXPECT_EQ(Names(dir.Path("")), before) << rows;
    n++;
  }
  Feed f = {nullptr, -1, 0};
  _ImgWriteBuf whole = hdr.WriteBuf();
  EXPECT_EQ(IWInterfaceJPEG.WriteRows(dir.Path("hdr.jpg").c_str(), &whole, source, &f), 0);
  EXPECT_EQ(f.asked, 0);
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
