// The reader registry, opening by suffix, reader errors, rendering from readers (subsampled
// reads, request capacity and the retry protocol), the parameter text and write buffers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "image/pireader.h"
#include "test_image_util.h"

using imgtest::Image;
using imgtest::Messages;

namespace {

// ---------------------------------------------------------------------------------------------
// Test readers

enum Mode { kCooperate, kAlwaysRetry, kSwapBuffer, kFail, kWantFloat };

struct TestReader {
  _ImgReader ir;
  Mode mode;
  int calls;
  _ImgReadBuf seen[3];
  void* outbuf;  // the output image's pixels, to tell straight reads from buffered ones
};

std::vector<std::string>& OpenLog() {
  static std::vector<std::string> log;
  return log;
}

// What the next Open of a test reader produces.
struct ReaderSetup {
  int xres = 3000, yres = 2000;
  float pixAspect = 1.0f;
  _ImgColorSpace cs = ICS_sRGB;
  Mode mode = kCooperate;
  ImgReadErr openErr = IREnone;
};
ReaderSetup& NextReader() {
  static ReaderSetup s;
  return s;
}

// Fills a delivery: 8-bit RGB (10, 200, 90), grey 77, float RGB (0.25, 0.5, 1).
void Fill(const _ImgReadBuf* rb, size_t pixels) {
  if (rb->cs.dtype == IDTubyte && rb->cs.format == IPFrgb) {
    uint8_t* p = static_cast<uint8_t*>(rb->buf);
    for (size_t i = 0; i < pixels; ++i) {
      p[3 * i] = 10;
      p[3 * i + 1] = 200;
      p[3 * i + 2] = 90;
    }
  } else if (rb->cs.dtype == IDTubyte && rb->cs.format == IPFy) {
    memset(rb->buf, 77, pixels);
  } else if (rb->cs.dtype == IDTfloat && rb->cs.format == IPFrgb) {
    float* p = static_cast<float*>(rb->buf);
    for (size_t i = 0; i < pixels; ++i) {
      p[3 * i] = 0.25f;
      p[3 * i + 1] = 0.5f;
      p[3 * i + 2] = 1.0f;
    }
  }
}

ImgReadErr ReadRec(_ImgReader* ir, _ImgReadBuf* rb) {
  TestReader* tr = reinterpret_cast<TestReader*>(ir);
  if (tr->calls < 3) tr->seen[tr->calls] = *rb;
  tr->calls++;
  switch (tr->mode) {
    case kFail:
      ir->errCode = IREread;
      snprintf(ir->errMsg, sizeof ir->errMsg, "%s", "disk on fire");
      return IREread;
    case kAlwaysRetry:
      rb->cs = ir->cs;
      rb->r.xright = rb->r.xleft;
      return IREnone;
    case kSwapBuffer:
      rb->buf = malloc(16);
      return IREnone;
    case kWantFloat:
      rb->cs = ICS_RGB709;
      break;
    case kCooperate:
      // A grey or 8-bit RGB file delivers what an 8-bit request asks for; anything else
      // delivers only its own space.
      if (!(ir->cs.dtype == IDTubyte && rb->cs.dtype == IDTubyte) &&
          !PmatchColorSpace(&rb->cs, &ir->cs, 31))
        rb->cs = ir->cs;
      break;
  }
  if (!PreadBufFits(rb)) {  // cannot deliver that into this buffer: ask for another
    rb->r.xright = rb->r.xleft;
    return IREnone;
  }
  Fill(rb, PreadBufBytes(rb) / PpixelSize(&rb->cs));
  return IREnone;
}

void Close(_ImgReader* ir) {
  delete reinterpret_cast<TestReader*>(ir);
}

const _ImgReaderInterface* Iface(int id);

template <int ID>
_ImgReader* Open(const char* path) {
  OpenLog().push_back(std::to_string(ID));
  TestReader* tr = new TestReader();
  tr->ir.ri = Iface(ID);
  snprintf(tr->ir.file, sizeof tr->ir.file, "%s", path);
  tr->ir.nframes = 1;
  tr->ir.xres = NextReader().xres;
  tr->ir.yres = NextReader().yres;
  tr->ir.pixAspect = NextReader().pixAspect;
  tr->ir.cs = NextReader().cs;
  tr->ir.errCode = ID == 2 ? IREformat : NextReader().openErr;
  if (tr->ir.errCode != IREnone) snprintf(tr->ir.errMsg, sizeof tr->ir.errMsg, "bad header");
  tr->mode = NextReader().mode;
  return &tr->ir;
}

_ImgReader* OpenNothing(const char*) {
  OpenLog().push_back("none");
  return nullptr;
}

// 1 and 2 claim "tif" (2 always reports a damaged file), 3 is JPEG, 4 never recognises.
const _ImgReaderInterface kIface[5] = {
    {"unused", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    {"TIFF.tif.tiff", Open<1>, nullptr, nullptr, nullptr, nullptr, ReadRec, Close},
    {"OTHER.tif", Open<2>, nullptr, nullptr, nullptr, nullptr, ReadRec, Close},
    {"JPEG.jpg.jfif.jff.jiff", Open<3>, nullptr, nullptr, nullptr, nullptr, ReadRec, Close},
    {"NONE.tif", OpenNothing, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

const _ImgReaderInterface* Iface(int id) {
  return &kIface[id];
}

// Empties the process-wide registry for a test and puts it back afterwards.
class ReaderRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    memcpy(saved_, PIReaderI, sizeof saved_);
    memset(PIReaderI, 0, sizeof PIReaderI);
    OpenLog().clear();
    NextReader() = ReaderSetup();
  }
  void TearDown() override { memcpy(PIReaderI, saved_, sizeof saved_); }

 private:
  const _ImgReaderInterface* saved_[IR_MAXREADERS + 1];
};

TestReader* OpenTest(const char* path) {
  return reinterpret_cast<TestReader*>(PopenImageF(path, 1, nullptr));
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TEST_F(ReaderRegistry, HoldsSixtyFourDistinctInterfaces) {
  static _ImgReaderInterface many[IR_MAXREADERS + 1];
  for (auto& m : many) m.suffixList = "X.x";
  EXPECT_EQ(PaddIReaderI(nullptr), -1);
  for (int i = 0; i < IR_MAXREADERS; ++i) ASSERT_EQ(PaddIReaderI(&many[i]), i);
  EXPECT_EQ(PaddIReaderI(&many[5]), 5);  // already there
  EXPECT_EQ(PaddIReaderI(&many[IR_MAXREADERS]), -1);
  EXPECT_EQ(PIReaderI[IR_MAXREADERS], nullptr);
  const _ImgReaderInterface* list[IR_MAXREADERS + 1];
  EXPECT_EQ(PtargetReader(list, "X"), IR_MAXREADERS);
  EXPECT_EQ(list[0], &many[0]);
  EXPECT_EQ(list[IR_MAXREADERS], nullptr);
}

TEST_F(ReaderRegistry, SuffixesAndFileNames) {
  EXPECT_STREQ(PgetSuffix("/photos/2024/photo.JPG"), "JPG");
  EXPECT_STREQ(PgetSuffix("a.b.tif"), "tif");
  EXPECT_EQ(PgetSuffix(".profile"), nullptr);
  EXPECT_EQ(PgetSuffix("name."), nullptr);
  EXPECT_EQ(PgetSuffix("/dir.d/name"), nullptr);
  EXPECT_STREQ(PgetSuffix(nullptr), "NO FILE");
  EXPECT_STREQ(PgetFilename("/a/b/c.tif"), "c.tif");
  EXPECT_STREQ(PgetFilename("c.tif"), "c.tif");
  const _ImgReaderInterface* jpeg = &kIface[3];
  EXPECT_EQ(PmatchSuffix(jpeg, "JPG"), 1);
  EXPECT_EQ(PmatchSuffix(jpeg, "jiff"), 1);
  EXPECT_EQ(PmatchSuffix(jpeg, "jpeg"), 1);  // the format's name counts
  EXPECT_EQ(PmatchSuffix(jpeg, "jp"), 0);
  EXPECT_EQ(PmatchSuffix(jpeg, "jpgx"), 0);
  EXPECT_EQ(PmatchSuffix(jpeg, ""), 0);
  EXPECT_EQ(PmatchSuffix(jpeg, nullptr), 0);
}

TEST_F(ReaderRegistry, OpensByCaseInsensitiveSuffix) {
  Messages msgs;
  PaddIReaderI(&kIface[1]);
  PaddIReaderI(&kIface[3]);
  _ImgReader* ir = PopenImageF("photo.JPG", 0, nullptr);
  ASSERT_NE(ir, nullptr);
  EXPECT_EQ(ir->ri, &kIface[3]);
  ir->ri->Close(ir);
  EXPECT_EQ(PopenImageF("photo.png", 0, nullptr), nullptr);
  EXPECT_TRUE(msgs.Saw(DMCresource, "Cannot open 'photo.png'"));
  msgs.Clear();
  EXPECT_EQ(PopenImageF("photo.png", 1, nullptr), nullptr);
  EXPECT_EQ(PopenImageF(nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(msgs.Count(), 0u);
  // A given interface is the only candidate, whatever the suffix.
  ir = PopenImageF("photo.png", 0, &kIface[1]);
  ASSERT_NE(ir, nullptr);
  EXPECT_EQ(ir->ri, &kIface[1]);
  ir->ri->Close(ir);
}

TEST_F(ReaderRegistry, TriesTheLastRegisteredFirst) {
  Messages msgs;
  PaddIReaderI(&kIface[1]);
  PaddIReaderI(&kIface[4]);
  PaddIReaderI(&kIface[2]);
  _ImgReader* ir = PopenImageF("/x/scan.tif", 0, nullptr);
  ASSERT_NE(ir, nullptr);
  EXPECT_EQ(ir->ri, &kIface[1]);
  ir->ri->Close(ir);
  EXPECT_EQ(OpenLog(), (std::vector<std::string>{"2", "none", "1"}));
  // The damaged file was reported in its code's class and closed.
  EXPECT_TRUE(msgs.Saw(DMCdata, "/x/scan.tif: Format error: bad header"));
  // Registered the other way round, the first one found wins at once.
  memset(PIReaderI, 0, sizeof PIReaderI);
  OpenLog().clear();
  PaddIReaderI(&kIface[2]);
  PaddIReaderI(&kIface[1]);
  ir = PopenImageF("scan.TIF", 1, nullptr);
  ASSERT_NE(ir, nullptr);
  ir->ri->Close(ir);
  EXPECT_EQ(OpenLog(), (std::vector<std::string>{"1"}));
  // Only damaged candidates: reported, nothing returned, no "Cannot open".
  memset(PIReaderI, 0, sizeof PIReaderI);
  PaddIReaderI(&kIface[2]);
  msgs.Clear();
  EXPECT_EQ(PopenImageF("scan.tif", 0, nullptr), nullptr);
  EXPECT_EQ(msgs.Count(), 1u);
}

TEST(ReaderErrors, ReportTextAndClass) {
  Messages msgs;
  _ImgReader ir;
  memset(&ir, 0, sizeof ir);
  PreportReaderErr(&ir);
  PreportReaderErr(nullptr);
  EXPECT_EQ(msgs.Count(), 0u);
  snprintf(ir.file, sizeof ir.file, "a.exr");
  snprintf(ir.errMsg, sizeof ir.errMsg, "short by 12 bytes");
  ir.errCode = IREtruncated;
  PreportReaderErr(&ir);
  EXPECT_TRUE(msgs.Saw(DMCdata, "a.exr: Truncated file: short by 12 bytes"));
  ir.errCode = IREread;
  PreportReaderErr(&ir);
  EXPECT_TRUE(msgs.Saw(DMCsystem, "a.exr: Read error: short by 12 bytes"));
  // Texts without their NUL (from a damaged file) are cut, not overrun.
  memset(ir.errMsg, 'z', sizeof ir.errMsg);
  ir.errCode = IREunsupported;
  PreportReaderErr(&ir);
  EXPECT_EQ(msgs.list().back().first, static_cast<unsigned>(DMCparameter));
  EXPECT_STREQ(IREMsg[IREmemory], "Out of memory");
}

TEST_F(ReaderRegistry, RenderChoosesTheSubsample) {
  PaddIReaderI(&kIface[1]);
  PaddIReaderI(&kIface[3]);
  // JPEG 3000 x 2000 into 375 x 250: an eighth, straight into the output.
  TestReader* tr = OpenTest("big.jpg");
  ASSERT_NE(tr, nullptr);
  Image out = Image::Empty(375, 250, &ICS_sRGB);
  ASSERT_EQ(PrenderImageR(out.get(), &tr->ir, 0), 1);
  ASSERT_EQ(tr->calls, 1);
  EXPECT_EQ(tr->seen[0].subsample, 8);
  EXPECT_EQ(tr->seen[0].r.xright, 3000);
  EXPECT_EQ(tr->seen[0].r.ybottom, 2000);
  EXPECT_EQ(tr->seen[0].buf, out->img);
  EXPECT_EQ(tr->seen[0].bufsize, 375u * 250 * 3);
  EXPECT_EQ(out.at<uint8_t>(100, 100, 1), 200);
  tr->ir.ri->Close(&tr->ir);
  // Any other format: no less than twice the output size, then resampled.
  tr = OpenTest("big.tif");
  ASSERT_NE(tr, nullptr);
  Image out2 = Image::Empty(375, 250, &ICS_sRGB);
  ASSERT_EQ(PrenderImageR(out2.get(), &tr->ir, 0), 1);
  EXPECT_EQ(tr->seen[0].subsample, 4);
  EXPECT_NE(tr->seen[0].buf, out2->img);
  EXPECT_EQ(tr->seen[0].bufsize, 750u * 500 * 3);
  EXPECT_EQ(out2->xres, 375);
  EXPECT_EQ(out2.at<uint8_t>(374, 249, 0), 10);
  EXPECT_EQ(out2.at<uint8_t>(0, 0, 2), 90);
  tr->ir.ri->Close(&tr->ir);
  // Ratios below the steps: a JPEG read whole, cut to a multiple of the subsample.
  NextReader().xres = 1001;
  NextReader().yres = 667;
  tr = OpenTest("odd.jpg");
  Image out3 = Image::Empty(300, 200, &ICS_sRGB);
  ASSERT_EQ(PrenderImageR(out3.get(), &tr->ir, 0), 1);
  EXPECT_EQ(tr->seen[0].subsample, 2);
  EXPECT_EQ(tr->seen[0].r.xright, 1000);
  EXPECT_EQ(tr->seen[0].r.ybottom, 666);
  tr->ir.ri->Close(&tr->ir);
  // A JPEG too narrow for its height's eighth keeps at least one column; an unset pixel
  // shape counts as square.
  NextReader().xres = 4;
  NextReader().yres = 2000;
  NextReader().pixAspect = 0.0f;
  tr = OpenTest("strip.jpg");
  Image out4 = Image::Empty(10, 250, &ICS_sRGB);
  ASSERT_EQ(PrenderImageR(out4.get(), &tr->ir, 0), 1);
  EXPECT_EQ(tr->seen[0].subsample, 4);
  EXPECT_EQ(out4->xres, 1);
  tr->ir.ri->Close(&tr->ir);
}

TEST_F(ReaderRegistry, RenderExpandsGreyAndKeepsTheShape) {
  PaddIReaderI(&kIface[1]);
  NextReader().xres = 300;
  NextReader().yres = 200;
  NextReader().cs = ICS_Y8;
  TestReader* tr = OpenTest("grey.tif");
  ASSERT_NE(tr, nullptr);
  Image out = Image::Empty(100, 100, &ICS_sRGB);
  ASSERT_EQ(PrenderImageR(out.get(), &tr->ir, 0), 1);
  EXPECT_EQ(tr->seen[0].cs.format, IPFy);
  EXPECT_EQ(out->xres, 100);
  EXPECT_EQ(out->yres, 67);  // the picture's 3:2 shape
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(out.at<uint8_t>(50, 30, c), 77, 1);
  tr->ir.ri->Close(&tr->ir);
}

TEST_F(ReaderRegistry, RenderRetriesOnceInTheReadersSpace) {
  Messages msgs;
  PaddIReaderI(&kIface[1]);
  NextReader().xres = 40;
  NextReader().yres = 30;
  NextReader().cs = ICS_RGB709;
  _ImgColorSpace rgb16 = ICS_RGB709;
  rgb16.dtype = IDTushort;
  rgb16.cstatic = 0;  // the output keeps a private copy in its pixel block
  TestReader* tr = OpenTest("float.tif");
  ASSERT_NE(tr, nullptr);
  Image out = Image::Empty(40, 30, &rgb16);
  ASSERT_EQ(PrenderImageR(out.get(), &tr->ir, 0), 1);
  ASSERT_EQ(tr->calls, 2);
  // The first request asks for the output's space into a buffer sized for it; the second
  // for the reader's own, into a buffer sized for that.
  EXPECT_EQ(tr->seen[0].cs.dtype, IDTushort);
  EXPECT_EQ(tr->seen[0].bufsize, 40u * 30 * 6);
  EXPECT_EQ(tr->seen[1].cs.dtype, IDTfloat);
  EXPECT_EQ(tr->seen[1].bufsize, 40u * 30 * 12);
  EXPECT_TRUE(PmatchColorSpace(out->csp, &rgb16, 31));
  EXPECT_EQ(out.at<uint16_t>(3, 4, 0), 16384);
  EXPECT_EQ(out.at<uint16_t>(3, 4, 1), 32768);
  EXPECT_EQ(out.at<uint16_t>(3, 4, 2), 65535);
  EXPECT_EQ(msgs.Count(), 0u);
  tr->ir.ri->Close(&tr->ir);
  // Into a smaller float output: read whole into a temporary, then resampled.
  tr = OpenTest("float.tif");
  Image half = Image::Empty(20, 15, &ICS_RGB709);
  ASSERT_EQ(PrenderImageR(half.get(), &tr->ir, 0), 1);
  EXPECT_EQ(tr->calls, 1);
  EXPECT_NE(tr->seen[0].buf, half->img);
  EXPECT_FLOAT_EQ(half.at<float>(10, 7, 1), 0.5f);
  tr->ir.ri->Close(&tr->ir);
}

TEST_F(ReaderRegistry, RenderRefusesMisbehavingReaders) {
  Messages msgs;
  PaddIReaderI(&kIface[1]);
  NextReader().xres = 40;
  NextReader().yres = 30;
  NextReader().cs = ICS_RGB709;
  _ImgColorSpace rgb16 = ICS_RGB709;
  rgb16.dtype = IDTushort;
  // A reader that asks for a retry twice.
  NextReader().mode = kAlwaysRetry;
  TestReader* tr = OpenTest("float.tif");
  Image out = Image::Empty(40, 30, &rgb16);
  EXPECT_EQ(PrenderImageR(out.get(), &tr->ir, 0), 0);
  EXPECT_EQ(tr->calls, 2);
  EXPECT_TRUE(msgs.Saw(DMCparameter, "IRreadRec() misbehaving"));
  EXPECT_EQ(out->img, nullptr);
  tr->ir.ri->Close(&tr->ir);
  // A reader that asks for a retry in the space it was already asked for.
  msgs.Clear();
  tr = OpenTest("float.tif");
  Image same = Image::Empty(40, 30, &ICS_RGB709);
  EXPECT_EQ(PrenderImageR(same.get(), &tr->ir, 0), 0);
  EXPECT_EQ(tr->calls, 1);
  EXPECT_TRUE(msgs.Saw(DMCparameter, "IRreadRec() misbehaving"));
  tr->ir.ri->Close(&tr->ir);
  // A reader that swaps the destination buffer.
  msgs.Clear();
  NextReader().cs = ICS_sRGB;
  NextReader().mode = kSwapBuffer;
  tr = OpenTest("swap.tif");
  Image rgb = Image::Empty(40, 30, &ICS_sRGB);
  EXPECT_EQ(PrenderImageR(rgb.get(), &tr->ir, 0), 0);
  EXPECT_TRUE(msgs.Saw(DMCwarning, "Unsupported image conversion"));
  EXPECT_EQ(rgb->img, nullptr);
  tr->ir.ri->Close(&tr->ir);
  // A reader that would deliver float pixels into the 8-bit buffer finds they do not fit.
  msgs.Clear();
  NextReader().mode = kWantFloat;
  tr = OpenTest("wide.tif");
  Image narrow = Image::Empty(40, 30, &ICS_sRGB);
  EXPECT_EQ(PrenderImageR(narrow.get(), &tr->ir, 1), 0);
  EXPECT_EQ(narrow->img, nullptr);
  tr->ir.ri->Close(&tr->ir);
}

TEST_F(ReaderRegistry, RenderReportsReaderErrorsUnlessQuiet) {
  Messages msgs;
  PaddIReaderI(&kIface[1]);
  NextReader().xres = 40;
  NextReader().yres = 30;
  NextReader().mode = kFail;
  TestReader* tr = OpenTest("bad.tif");
  Image out = Image::Empty(20, 15, &ICS_sRGB);
  EXPECT_EQ(PrenderImageR(out.get(), &tr->ir, 1), 0);
  EXPECT_EQ(msgs.Count(), 0u);
  EXPECT_EQ(PrenderImageR(out.get(), &tr->ir, 0), 0);
  EXPECT_TRUE(msgs.Saw(DMCsystem, "bad.tif: Read error: disk on fire"));
  EXPECT_EQ(out->img, nullptr);
  out->xres = 0;
  EXPECT_EQ(PrenderImageR(out.get(), &tr->ir, 0), 0);
  EXPECT_TRUE(msgs.Saw(DMCparameter, "Illegal output resolution"));
  tr->ir.ri->Close(&tr->ir);
}

TEST(ReaderRender, RenderFromAnImage) {
  Messages msgs;
  Image src(60, 30, &ICS_sRGB);
  src.Noise(9);
  Image out = Image::Empty(20, 20, &ICS_sRGB);
  ASSERT_EQ(PrenderImageI(out.get(), src.get()), 1);
  EXPECT_EQ(out->xres, 20);
  EXPECT_EQ(out->yres, 10);
  Image none = Image::Empty(0, 5, &ICS_sRGB);
  EXPECT_EQ(PrenderImageI(none.get(), src.get()), 0);
  EXPECT_TRUE(msgs.Saw(DMCparameter, "Illegal output resolution"));
}

// ---------------------------------------------------------------------------------------------
// Parameter text

namespace {
_ImgInfo EmptyInfo() {
  _ImgInfo info;
  memset(&info, 0, sizeof info);
  return info;
}
}  // namespace

TEST(ReaderInfoParams, SetFindGetAndRemove) {
  _ImgInfo info = EmptyInfo();
  ASSERT_EQ(SetImgInfoParam(&info, "a", "1"), 1);
  EXPECT_STREQ(info.params, "a=1\n");
  EXPECT_TRUE(info.flags & IIFparams);
  ASSERT_EQ(SetImgInfoParam(&info, "ab", "two"), 1);
  ASSERT_EQ(SetImgInfoParam(&info, "c", ""), 1);
  EXPECT_EQ(FindImgInfoParam(&info, "ab"), info.params + 4);
  EXPECT_EQ(FindImgInfoParam(&info, "b"), nullptr);
  char v[IMG_INFO_VALUELEN];
  EXPECT_EQ(GetImgInfoParam(&info, "ab", v), 1);
  EXPECT_STREQ(v, "two");
  EXPECT_EQ(GetImgInfoParam(&info, "c", v), 1);
  EXPECT_STREQ(v, "");
  EXPECT_EQ(GetImgInfoParam(&info, "zz", v), 0);
  EXPECT_STREQ(v, "");
  // Replacing a line moves the rest up and appends the new one.
  ASSERT_EQ(SetImgInfoParam(&info, "a", "9"), 1);
  EXPECT_STREQ(info.params, "ab=two\nc=\na=9\n");
  ASSERT_EQ(SetImgInfoParam(&info, "ab", nullptr), 1);
  ASSERT_EQ(SetImgInfoParam(&info, "c", nullptr), 1);
  EXPECT_TRUE(info.flags & IIFparams);
  ASSERT_EQ(SetImgInfoParam(&info, "a", nullptr), 1);
  EXPECT_FALSE(info.flags & IIFparams);
  EXPECT_STREQ(info.params, "");
  // Without the flag the text counts as empty, whatever it holds.
  snprintf(info.params, sizeof info.params, "x=1\n");
  EXPECT_EQ(FindImgInfoParam(&info, "x"), nullptr);
}

TEST(ReaderInfoParams, LongValuesAndFullText) {
  _ImgInfo info = EmptyInfo();
  const std::string v300(300, 'v');
  ASSERT_EQ(SetImgInfoParam(&info, "long", v300.c_str()), 1);
  char v[IMG_INFO_VALUELEN];
  ASSERT_EQ(GetImgInfoParam(&info, "long", v), 1);
  EXPECT_EQ(std::string(v), std::string(255, 'v'));
  // Fill the text to the brim: lines of 306 ("long"), 1735 ("fill") and 6 ("k") characters
  // make 2047 and the NUL.
  const std::string filler(1729, 'f');
  ASSERT_EQ(SetImgInfoParam(&info, "fill", filler.c_str()), 1);
  EXPECT_EQ(strlen(info.params), 2047u - 6);
  ASSERT_EQ(SetImgInfoParam(&info, "k", "123"), 1);
  EXPECT_EQ(strlen(info.params), 2047u);
  // A longer value for k does not fit: refused, and the old line stays.
  EXPECT_EQ(SetImgInfoParam(&info, "k", "1234"), 0);
  ASSERT_EQ(GetImgInfoParam(&info, "k", v), 1);
  EXPECT_STREQ(v, "123");
  // One of the same length fits in the room the old line leaves.
  EXPECT_EQ(SetImgInfoParam(&info, "k", "456"), 1);
  ASSERT_EQ(GetImgInfoParam(&info, "k", v), 1);
  EXPECT_STREQ(v, "456");
}

TEST(ReaderInfoParams, RefusesNamesAndValuesThatBreakTheText) {
  _ImgInfo info = EmptyInfo();
  ASSERT_EQ(SetImgInfoParam(&info, "a", "1"), 1);
  EXPECT_EQ(SetImgInfoParam(&info, "b=c", "1"), 0);
  EXPECT_EQ(SetImgInfoParam(&info, "b\nc", "1"), 0);
  EXPECT_EQ(SetImgInfoParam(&info, "a", "x\ny=2"), 0);
  EXPECT_EQ(SetImgInfoParam(&info, "a", "x=y"), 0);
  EXPECT_EQ(SetImgInfoParam(&info, "", "1"), 0);
  EXPECT_EQ(SetImgInfoParam(&info, nullptr, "1"), 0);
  EXPECT_STREQ(info.params, "a=1\n");
  // A text without its NUL (from a damaged file) is read only within its array.
  memset(info.params, 'q', sizeof info.params);
  info.flags |= IIFparams;
  char v[IMG_INFO_VALUELEN];
  EXPECT_EQ(GetImgInfoParam(&info, "q", v), 0);
  EXPECT_EQ(SetImgInfoParam(&info, "z", "1"), 0);  // no room left
}
