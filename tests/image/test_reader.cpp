// The reader registry, opening by suffix, reader errors, rendering from readers (subsampled
// reads, request capacity and the retry protocol), the parameter text and write buffers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "image/pireader.h"
#include "test_image_util.h"
#include "testutil/process_locale.h"
#include "testutil/temp_dir.h"

using imgtest::Box;
using imgtest::BoxOf;
using imgtest::Image;
using ::testing::ElementsAre;

namespace {

// ---------------------------------------------------------------------------------------------
// Test readers

enum Mode { kCooperate, kAlwaysRetry, kSwapBuffer, kFail, kWantFloat };

struct TestReader {
  _ImgReader ir;
  Mode mode;
  int calls;
  _ImgReadBuf seen[3];
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
};
ReaderSetup& NextReader() {
  static ReaderSetup s;
  return s;
}

// Fills a delivery: 8-bit RGB (10, 200, 90), grey 77, float RGB (0.25, 0.5, 1).
void Fill(const _ImgReadBuf* rb, size_t pixels) {
  static const uint8_t rgb8[3] = {10, 200, 90};
  static const float rgbf[3] = {0.25f, 0.5f, 1.0f};
  const bool rgb = rb->cs.format == IPFrgb;
  for (size_t i = 0; i < pixels; ++i) {
    if (rb->cs.dtype == IDTubyte && rgb)
      memcpy(static_cast<uint8_t*>(rb->buf) + 3 * i, rgb8, 3);
    else if (rb->cs.dtype == IDTubyte && rb->cs.format == IPFy)
      static_cast<uint8_t*>(rb->buf)[i] = 77;
    else if (rb->cs.dtype == IDTfloat && rgb)
      memcpy(static_cast<float*>(rb->buf) + 3 * i, rgbf, sizeof rgbf);
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

extern const _ImgReaderInterface kIface[5];

template <int ID>
_ImgReader* Open(const char* path) {
  OpenLog().push_back(std::to_string(ID));
  TestReader* tr = new TestReader();
  tr->ir.ri = &kIface[ID];
  snprintf(tr->ir.file, sizeof tr->ir.file, "%s", path);
  tr->ir.nframes = 1;
  tr->ir.xres = NextReader().xres;
  tr->ir.yres = NextReader().yres;
  tr->ir.pixAspect = NextReader().pixAspect;
  tr->ir.cs = NextReader().cs;
  tr->ir.errCode = ID == 2 ? IREformat : IREnone;
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

// An open test reader, closed at the end of the scope.
struct Opened {
  TestReader* tr;
  explicit Opened(const char* path)
      : tr(reinterpret_cast<TestReader*>(PopenImageF(path, 1, nullptr))) {
    EXPECT_NE(tr, nullptr);
  }
  ~Opened() {
    if (tr != nullptr) tr->ir.ri->Close(&tr->ir);
  }
  TestReader* operator->() { return tr; }
  _ImgReader* ir() { return &tr->ir; }
};

// The next test reader opened has this size, colour space and behaviour.
void Next(int xres, int yres, const _ImgColorSpace& cs = ICS_sRGB, Mode mode = kCooperate) {
  NextReader().xres = xres;
  NextReader().yres = yres;
  NextReader().cs = cs;
  NextReader().mode = mode;
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
  const std::pair<const char*, const char*> suffixes[] = {{"/photos/2024/photo.JPG", "JPG"},
                                                          {"a.b.tif", "tif"},
                                                          {".profile", nullptr},
                                                          {"name.", nullptr},
                                                          {"/dir.d/name", nullptr},
                                                          {nullptr, "NO FILE"}};
  for (const auto& s : suffixes) {
    const char* got = PgetSuffix(s.first);
    EXPECT_EQ(got ? std::string(got) : "(none)", s.second ? s.second : "(none)") << s.first;
  }
  EXPECT_STREQ(PgetFilename("/a/b/c.tif"), "c.tif");
  EXPECT_STREQ(PgetFilename("c.tif"), "c.tif");
  const _ImgReaderInterface* jpeg = &kIface[3];
  // The format's name counts as a suffix.
  for (const char* yes : {"JPG", "jiff", "jpeg"}) EXPECT_EQ(PmatchSuffix(jpeg, yes), 1) << yes;
  for (const char* no : {"jp", "jpgx", "", static_cast<const char*>(nullptr)})
    EXPECT_EQ(PmatchSuffix(jpeg, no), 0) << (no ? no : "null");
}

TEST_F(ReaderRegistry, OpensByCaseInsensitiveSuffix) {
  MessageLog msgs;
  PaddIReaderI(&kIface[1]);
  PaddIReaderI(&kIface[3]);
  _ImgReader* ir = PopenImageF("photo.JPG", 0, nullptr);
  ASSERT_NE(ir, nullptr);
  EXPECT_EQ(ir->ri, &kIface[3]);
  ir->ri->Close(ir);
  EXPECT_EQ(PopenImageF("photo.png", 0, nullptr), nullptr);
  EXPECT_TRUE(msgs.Has(DMCresource, "Cannot open 'photo.png'"));
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

// Under a Turkish locale 'i' and 'I' are no case pair for the C library; suffixes fold ASCII
// letters only, so upper-case names still find their readers.
TEST_F(ReaderRegistry, SuffixesFoldTheSameUnderATurkishLocale) {
  PaddIReaderI(&kIface[1]);
  PaddIReaderI(&kIface[3]);
  SET_PROCESS_LOCALE(locale, "tr_TR.UTF-8");
  for (const char* name : {"a.TIF", "b.TIFF", "c.JFIF", "d.JIFF", "e.tif", "f.Jpg"}) {
    _ImgReader* ir = PopenImageF(name, 1, nullptr);
    EXPECT_NE(ir, nullptr) << name;
    if (ir != nullptr) ir->ri->Close(ir);
  }
  EXPECT_EQ(PopenImageF("g.TIFI", 1, nullptr), nullptr);
}

TEST_F(ReaderRegistry, TriesTheLastRegisteredFirst) {
  MessageLog msgs;
  PaddIReaderI(&kIface[1]);
  PaddIReaderI(&kIface[4]);
  PaddIReaderI(&kIface[2]);
  _ImgReader* ir = PopenImageF("/x/scan.tif", 0, nullptr);
  ASSERT_NE(ir, nullptr);
  EXPECT_EQ(ir->ri, &kIface[1]);
  ir->ri->Close(ir);
  EXPECT_EQ(OpenLog(), (std::vector<std::string>{"2", "none", "1"}));
  // The damaged file was reported in its code's class and closed.
  EXPECT_TRUE(msgs.Has(DMCdata, "/x/scan.tif: Format error: bad header"));
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

// A file under another format's suffix, which a reader of its suffix finds damaged and the
// reader its first bytes name opens, opens without a word; when that one fails too, the damage
// found is told.
TEST_F(ReaderRegistry, TheReaderOfTheFirstBytesOpensSilently) {
  testutil::TempDir dir("reader");
  const std::string path = dir.Path("photo.tif");
  FILE* fp = fopen(path.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  fputs("\xFF\xD8\xFF\xE0 a JPEG file by its first bytes", fp);
  fclose(fp);
  PaddIReaderI(&kIface[3]);
  PaddIReaderI(&kIface[2]);
  ASSERT_EQ(PaddIReaderMagic(&kIface[3], "\xFF\xD8\xFF", 3), 1);
  MessageLog msgs;
  _ImgReader* ir = PopenImageF(path.c_str(), 0, nullptr);
  ASSERT_NE(ir, nullptr);
  EXPECT_EQ(ir->ri, &kIface[3]);
  ir->ri->Close(ir);
  EXPECT_EQ(OpenLog(), (std::vector<std::string>{"2", "3"}));
  EXPECT_EQ(msgs.Count(), 0u);
  // No reader of the first bytes registered: the damage is told once, and nothing more.
  memset(PIReaderI, 0, sizeof PIReaderI);
  PaddIReaderI(&kIface[2]);
  EXPECT_EQ(PopenImageF(path.c_str(), 0, nullptr), nullptr);
  EXPECT_EQ(msgs.Count(), 1u);
  EXPECT_TRUE(msgs.Has(DMCdata, path + ": Format error: bad header"));
}

TEST(ReaderErrors, ReportTextAndClass) {
  MessageLog msgs;
  _ImgReader ir;
  memset(&ir, 0, sizeof ir);
  PreportReaderErr(&ir);
  PreportReaderErr(nullptr);
  EXPECT_EQ(msgs.Count(), 0u);
  snprintf(ir.file, sizeof ir.file, "a.exr");
  snprintf(ir.errMsg, sizeof ir.errMsg, "short by 12 bytes");
  ir.errCode = IREtruncated;
  PreportReaderErr(&ir);
  EXPECT_TRUE(msgs.Has(DMCdata, "a.exr: Truncated file: short by 12 bytes"));
  ir.errCode = IREread;
  PreportReaderErr(&ir);
  EXPECT_TRUE(msgs.Has(DMCsystem, "a.exr: Read error: short by 12 bytes"));
  // Texts without their NUL (from a damaged file) are cut, not overrun.
  memset(ir.errMsg, 'z', sizeof ir.errMsg);
  ir.errCode = IREunsupported;
  PreportReaderErr(&ir);
  EXPECT_EQ(msgs.entries.back().first, static_cast<unsigned>(DMCparameter));
  EXPECT_STREQ(IREMsg[IREmemory], "Out of memory");
}

TEST_F(ReaderRegistry, RenderChoosesTheSubsample) {
  PaddIReaderI(&kIface[1]);
  PaddIReaderI(&kIface[3]);
  {  // JPEG 3000 x 2000 into 375 x 250: an eighth, straight into the output.
    Opened r("big.jpg");
    Image out = Image::Empty(375, 250, &ICS_sRGB);
    ASSERT_EQ(PrenderImageR(out.get(), r.ir(), 0), 1);
    ASSERT_EQ(r->calls, 1);
    EXPECT_EQ(r->seen[0].subsample, 8);
    EXPECT_EQ(BoxOf(r->seen[0].r), (Box{0, 3000, 0, 2000}));
    EXPECT_EQ(r->seen[0].buf, out->img);
    EXPECT_EQ(r->seen[0].bufsize, 375u * 250 * 3);
    EXPECT_EQ(out.at<uint8_t>(100, 100, 1), 200);
  }
  {  // Any other format: no less than twice the output size, then resampled.
    Opened r("big.tif");
    Image out = Image::Empty(375, 250, &ICS_sRGB);
    ASSERT_EQ(PrenderImageR(out.get(), r.ir(), 0), 1);
    EXPECT_EQ(r->seen[0].subsample, 4);
    EXPECT_NE(r->seen[0].buf, out->img);
    EXPECT_EQ(r->seen[0].bufsize, 750u * 500 * 3);
    EXPECT_EQ(out->xres, 375);
    EXPECT_EQ(out.at<uint8_t>(374, 249, 0), 10);
    EXPECT_EQ(out.at<uint8_t>(0, 0, 2), 90);
  }
  {  // Ratios below the steps: a JPEG read whole, cut to a multiple of the subsample.
    Next(1001, 667);
    Opened r("odd.jpg");
    Image out = Image::Empty(300, 200, &ICS_sRGB);
    ASSERT_EQ(PrenderImageR(out.get(), r.ir(), 0), 1);
    EXPECT_EQ(r->seen[0].subsample, 2);
    EXPECT_EQ(BoxOf(r->seen[0].r), (Box{0, 1000, 0, 666}));
  }
  // A JPEG too narrow for its height's eighth keeps at least one column; an unset pixel
  // shape counts as square.
  Next(4, 2000);
  NextReader().pixAspect = 0.0f;
  Opened r("strip.jpg");
  Image out = Image::Empty(10, 250, &ICS_sRGB);
  ASSERT_EQ(PrenderImageR(out.get(), r.ir(), 0), 1);
  EXPECT_EQ(r->seen[0].subsample, 4);
  EXPECT_EQ(out->xres, 1);
}

TEST_F(ReaderRegistry, RenderExpandsGreyAndKeepsTheShape) {
  PaddIReaderI(&kIface[1]);
  Next(300, 200, ICS_Y8);
  Opened r("grey.tif");
  Image out = Image::Empty(100, 100, &ICS_sRGB);
  ASSERT_EQ(PrenderImageR(out.get(), r.ir(), 0), 1);
  EXPECT_EQ(r->seen[0].cs.format, IPFy);
  EXPECT_EQ(out->xres, 100);
  EXPECT_EQ(out->yres, 67);  // the picture's 3:2 shape
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(out.at<uint8_t>(50, 30, c), 77, 1);
}

TEST_F(ReaderRegistry, RenderRetriesOnceInTheReadersSpace) {
  MessageLog msgs;
  PaddIReaderI(&kIface[1]);
  Next(40, 30, ICS_RGB709);
  _ImgColorSpace rgb16 = ICS_RGB709;
  rgb16.dtype = IDTushort;
  rgb16.cstatic = 0;  // the output keeps a private copy in its pixel block
  {
    Opened r("float.tif");
    Image out = Image::Empty(40, 30, &rgb16);
    ASSERT_EQ(PrenderImageR(out.get(), r.ir(), 0), 1);
    ASSERT_EQ(r->calls, 2);
    // The first request asks for the output's space into a buffer sized for it; the second
    // for the reader's own, into a buffer sized for that.
    EXPECT_EQ(r->seen[0].cs.dtype, IDTushort);
    EXPECT_EQ(r->seen[0].bufsize, 40u * 30 * 6);
    EXPECT_EQ(r->seen[1].cs.dtype, IDTfloat);
    EXPECT_EQ(r->seen[1].bufsize, 40u * 30 * 12);
    EXPECT_TRUE(PmatchColorSpace(out->csp, &rgb16, 31));
    EXPECT_THAT(std::vector<uint16_t>(&out.at<uint16_t>(3, 4), &out.at<uint16_t>(3, 4) + 3),
                ElementsAre(16384, 32768, 65535));
    EXPECT_EQ(msgs.Count(), static_cast<size_t>(msgs.CountClass(DMCtrace))) << msgs.All();
  }
  // Into a smaller float output: read whole into a temporary, then resampled.
  Opened r("float.tif");
  Image half = Image::Empty(20, 15, &ICS_RGB709);
  ASSERT_EQ(PrenderImageR(half.get(), r.ir(), 0), 1);
  EXPECT_EQ(r->calls, 1);
  EXPECT_NE(r->seen[0].buf, half->img);
  EXPECT_FLOAT_EQ(half.at<float>(10, 7, 1), 0.5f);
}

TEST_F(ReaderRegistry, RenderRefusesMisbehavingReaders) {
  MessageLog msgs;
  PaddIReaderI(&kIface[1]);
  _ImgColorSpace rgb16 = ICS_RGB709;
  rgb16.dtype = IDTushort;
  struct Case {
    Mode mode;
    const _ImgColorSpace *file, *out;
    int calls;     // requests made before giving up (0: not checked)
    unsigned cls;  // the message sent
    const char* text;
  };
  const Case cases[] = {
      // Asks for a retry twice; asks for one in the space it was already asked for.
      {kAlwaysRetry, &ICS_RGB709, &rgb16, 2, DMCparameter, "IRreadRec() misbehaving"},
      {kAlwaysRetry, &ICS_RGB709, &ICS_RGB709, 1, DMCparameter, "IRreadRec() misbehaving"},
      // Swaps the destination buffer.
      {kSwapBuffer, &ICS_sRGB, &ICS_sRGB, 0, DMCwarning, "Unsupported image conversion"},
      // Would deliver float pixels into the 8-bit buffer: they do not fit (quietly).
      {kWantFloat, &ICS_sRGB, &ICS_sRGB, 0, 0, nullptr},
  };
  for (const Case& c : cases) {
    msgs.Clear();
    Next(40, 30, *c.file, c.mode);
    Opened r("odd.tif");
    Image out = Image::Empty(40, 30, c.out);
    EXPECT_EQ(PrenderImageR(out.get(), r.ir(), c.text == nullptr), 0) << c.mode;
    if (c.calls) {
      EXPECT_EQ(r->calls, c.calls) << c.mode;
    }
    if (c.text) {
      EXPECT_TRUE(msgs.Has(c.cls, c.text)) << c.mode;
    }
    EXPECT_EQ(out->img, nullptr);
  }
}

TEST_F(ReaderRegistry, RenderReportsReaderErrorsUnlessQuiet) {
  MessageLog msgs;
  PaddIReaderI(&kIface[1]);
  Next(40, 30, ICS_sRGB, kFail);
  Opened r("bad.tif");
  Image out = Image::Empty(20, 15, &ICS_sRGB);
  EXPECT_EQ(PrenderImageR(out.get(), r.ir(), 1), 0);
  EXPECT_EQ(msgs.Count(), 0u);
  EXPECT_EQ(PrenderImageR(out.get(), r.ir(), 0), 0);
  EXPECT_TRUE(msgs.Has(DMCsystem, "bad.tif: Read error: disk on fire"));
  EXPECT_EQ(out->img, nullptr);
  out->xres = 0;
  EXPECT_EQ(PrenderImageR(out.get(), r.ir(), 0), 0);
  EXPECT_TRUE(msgs.Has(DMCparameter, "Illegal output resolution"));
}

TEST(ReaderRender, RenderFromAnImage) {
  MessageLog msgs;
  Image src(60, 30, &ICS_sRGB);
  src.Noise(9);
  Image out = Image::Empty(20, 20, &ICS_sRGB);
  ASSERT_EQ(PrenderImageI(out.get(), src.get()), 1);
  EXPECT_EQ(out->xres, 20);
  EXPECT_EQ(out->yres, 10);
  Image none = Image::Empty(0, 5, &ICS_sRGB);
  EXPECT_EQ(PrenderImageI(none.get(), src.get()), 0);
  EXPECT_TRUE(msgs.Has(DMCparameter, "Illegal output resolution"));
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
