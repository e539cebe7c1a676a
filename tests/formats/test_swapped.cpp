// Pictures whose name another user swaps a FIFO in at: every reader, alone or through the
// registry, opens the name once, without waiting, and reads only the file it opened.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fmt_test_util.h"
#include "formats/bmp.h"
#include "formats/exrformat.h"
#include "formats/jpegio.h"
#include "formats/radformat.h"
#include "formats/stdformats.h"
#include "formats/tiffimg.h"
#include "formats/wholeload.h"
#include "testutil/fifo_watch.h"
#include "testutil/message_log.h"
#include "testutil/swap_at_open.h"

using namespace pictest;

namespace {

constexpr int kW = 24, kH = 16;
const char kOwner[] = "Swapped Owner";

_ImgWriteBuf Buffer(const void* px, const _ImgColorSpace* cs, int rowsize) {
  _ImgWriteBuf wb;
  memset(&wb, 0, sizeof wb);
  wb.xres = kW;
  wb.yres = kH;
  wb.rowsize = rowsize;
  wb.pixAspect = 1.0f;
  wb.csp = cs;
  wb.img = px;
  wb.info.flags = IIFowner;
  snprintf(wb.info.owner, sizeof wb.info.owner, "%s", kOwner);
  return wb;
}

bool Bytes(const std::string& path, long (*write)(const char*, const _ImgWriteBuf*)) {
  std::vector<uint8_t> px(kW * kH * 3);
  for (size_t i = 0; i < px.size(); i++) px[i] = static_cast<uint8_t>(i * 7);
  const _ImgWriteBuf wb = Buffer(px.data(), &ICS_sRGB, kW * 3);
  return write(path.c_str(), &wb) > 0;
}

bool Floats(const std::string& path, long (*write)(const char*, const _ImgWriteBuf*)) {
  const FloatImage im = Pattern(kW, kH);
  _ImgWriteBuf wb = Buffer(im.px.data(), &im.cs, kW * 3 * sizeof(float));
  return write(path.c_str(), &wb) > 0;
}

int BmpRow(uint8_t* row, int y, void*) {
  for (int i = 0; i < kW * 3; i++) row[i] = static_cast<uint8_t>(i + y);
  return 1;
}

// One picture of every kind the standard readers read, written by the program's writers, and
// the reader that opens it by name.
struct Kind {
  const char* name;
  std::function<bool(const std::string&)> make;
  _ImgReader* (*open)(const char*);
};
const std::vector<Kind>& Kinds() {
  static const std::vector<Kind> kinds = {
      {"photo.jpg", [](const std::string& p) { return Bytes(p, JPEGwriteImage); }, JRopen},
      {"ratio.jpg", [](const std::string& p) { return Floats(p, JPEGwriteImage); }, JRopen},
      {"photo.tif", [](const std::string& p) { return Bytes(p, TiffWriteImage); }, TRopen},
      {"luv.tif", [](const std::string& p) { return Floats(p, TiffWriteImage); }, TRopen},
      {"scene.hdr", [](const std::string& p) { return Floats(p, RadWriteImage); },
       IRInterfaceRad.Open},
      {"scene.exr", [](const std::string& p) { return Floats(p, ExrWriteImage); },
       IRInterfaceEXR.Open},
      {"photo.bmp",
       [](const std::string& p) {
         return BMPwriteFile(p.c_str(), BMPtruecolorHeader(kW, kH, 0), BmpRow, nullptr) > 0;
       },
       BMopen},
      // A JPEG under the suffix of another format: two readers tried on one open.
      {"jpeg.tif", [](const std::string& p) { return Bytes(p, JPEGwriteImage); }, nullptr},
  };
  return kinds;
}

// Whether call held true, and returned without waiting on the FIFO at path.
bool NoWait(const std::string& path, const std::function<bool()>& call) {
  testutil::FifoWatch watch(path);
  const bool ok = call();
  return !watch.Waited() && ok;
}

class SwappedNames : public ::testing::Test {
 protected:
  void SetUp() override { PloadStandardReaders(); }
  ScratchDir dir;
};

// Whatever is looked at first, the open meets the FIFO: no reader waits, no reader opens it,
// and the registry says why, in the words the user reads.
TEST_F(SwappedNames, AFifoAtTheOpenIsNeitherWaitedOnNorRead) {
  for (const Kind& k : Kinds()) {
    SCOPED_TRACE(k.name);
    const std::string path = dir.Path(k.name);
    ASSERT_TRUE(k.make(path));
    testutil::NameRace race(path, true);
    ASSERT_TRUE(race.Ready());
    MessageLog log;
    if (k.open != nullptr) {
      EXPECT_TRUE(NoWait(path, [&] { return k.open(path.c_str()) == nullptr; }));
    }
    EXPECT_TRUE(NoWait(path, [&] { return PopenImageF(path.c_str(), 0, nullptr) == nullptr; }));
    EXPECT_TRUE(NoWait(path, [&] { return PopenImageAny(path.c_str(), 0) == nullptr; }));
    const std::string told = "resource: Cannot open '" + path + "': not a regular file\n";
    EXPECT_EQ(log.All(), told + told);
  }
}

// Once open, a picture is read through the descriptor the registry opened, and its name is
// never opened again: a FIFO put there afterwards changes nothing, for its information, its
// pixels (tone-mapped too), and its load whole.
TEST_F(SwappedNames, AnOpenPictureIsReadThroughItsDescriptorAlone) {
  for (const Kind& k : Kinds()) {
    SCOPED_TRACE(k.name);
    const std::string path = dir.Path(k.name);
    ASSERT_TRUE(k.make(path));
    testutil::NameRace race(path, false);
    ASSERT_TRUE(race.Ready());
    _ImgReader* ir = PopenImageF(path.c_str(), 1, nullptr);
    ASSERT_NE(ir, nullptr);
    ReaderCloser closer{ir};
    ASSERT_EQ(ir->errCode, IREnone) << ir->errMsg;
    race.FifoNow();
    EXPECT_TRUE(NoWait(path, [&] {
      _ImgInfo info;
      memset(&info, 0, sizeof info);
      if (ir->ri->GetInfo != nullptr && ir->ri->GetInfo(ir, &info) != IREnone) return false;
      if (ir->ri == &IRInterfaceTIFF && std::string(info.owner) != kOwner) return false;
      _ImgStruct thumb = {};
      if (ir->ri->GetThumbnail != nullptr) ir->ri->GetThumbnail(ir, &thumb);
      PfreeImage(&thumb);
      ImgReadErr err = IREnone;
      ReadRect(ir, {0, kW, 0, kH}, 1, ir->cs, &err);
      _ImgStruct shown = {kW / 2, kH / 2, &ICS_sRGB, 0, nullptr, nullptr};
      const bool rendered = err == IREnone && PrenderImageR(&shown, ir, 1) == 1;
      PfreeImage(&shown);
      const PWholeLoader loader = PwholeLoader(ir);
      if (!rendered || loader == PWLnone) return rendered;
      TMstruct* tms = tmInit(TMF_QUIET, const_cast<RGBPRIMP>(stdprims), 2.2);
      TMbright* ls = nullptr;
      unsigned char* cs = nullptr;
      int x = 0, y = 0;
      const int got = PwholeLoad(ir, loader, tms, &ls, &cs, &x, &y);
      free(ls);
      free(cs);
      tmDone(tms);
      return got == TMERR_NONE && x == kW && y == kH;
    }));
    EXPECT_EQ(race.Opens(), 1);
  }
}

}  // namespace
