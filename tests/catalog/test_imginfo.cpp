// Image information in records: readers' facts into records and back, the EXIF orientations
// of the test pictures, and opening a record's file.
#include <cstring>
#include <string>

#include "catalog/pfieldset.h"
#include "catalog/photo_test_util.h"
#include "support/cnumber.h"
#include "testutil/message_log.h"
#include "testutil/run_program.h"

using phototest::ScratchDir;

namespace {

// A reader whose information is whatever the test puts into gInfo.
_ImgInfo gInfo;
ImgReadErr FakeInfo(_ImgReader*, _ImgInfo* info) {
  *info = gInfo;
  return IREnone;
}
const _ImgReaderInterface kFake = {"Fake.fak", nullptr, nullptr, FakeInfo,
                                   nullptr,    nullptr, nullptr, nullptr};

_ImgReader FakeReader(int w, int h, float aspect, const _ImgColorSpace& cs) {
  _ImgReader ir = {};
  ir.ri = &kFake;
  snprintf(ir.file, sizeof(ir.file), "/nowhere/fake.fak");
  ir.xres = w;
  ir.yres = h;
  ir.pixAspect = aspect;
  ir.cs = cs;
  return ir;
}

DBRecord Grok(const std::string& path) {
  DBRecord r;
  PgrokFile(&r, path.c_str());
  return r;
}

// The picture of a record rendered at full size in sRGB and oriented by its record.
bool RenderOriented(_ImgStruct* out, const DBRecord& r) {
  _ImgReader* ir = PopenImageD(r, false);
  if (ir == nullptr) return false;
  _ImgStruct im = {};
  im.xres = ir->xres;
  im.yres = ir->yres;
  im.csp = &ICS_sRGB;
  const bool ok = PrenderImageR(&im, ir, 0) != 0;
  ir->ri->Close(ir);
  if (!ok) return false;
  const POrient o(&r);
  *out = {};
  out->csp = &ICS_sRGB;
  const bool done = o.OrientImage(out, &im) != 0;
  PfreeImage(&im);
  return done;
}

std::string Exiftool(const std::string& tag, const std::string& path) {
  std::string out;
  testutil::RunProgram({"exiftool", "-n", "-s3", "-" + tag, path}, &out);
  const char* buf = out.c_str();
  std::string s(buf, strcspn(buf, "\n"));
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

TEST(ImageInfo, LandscapeOrientationsRecordAndRoundTripAndMatchTheUprightPicture) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/landscape_1.jpg");
  const long kOrient[9][2] = {{0, 0},   {0, 0},  {0, 1},  {180, 0}, {180, 1},
                              {270, 2}, {90, 0}, {90, 2}, {270, 0}};
  const DBRecord upright = Grok(phototest::TestData("jpeg/landscape_1.jpg"));
  _ImgStruct ref = {};
  ASSERT_TRUE(RenderOriented(&ref, upright));
  for (int n = 1; n <= 8; n++) {
    const std::string path = phototest::TestData("jpeg/landscape_" + std::to_string(n) + ".jpg");
    const DBRecord r = Grok(path);
    long o = -1, f = -1;
    if (n == 1) {
      EXPECT_FALSE(PDBgetField(r, PDBForient).IsSet());
    } else {
      ASSERT_TRUE(PDBgetInt(r, PDBForient, &o)) << n;
      ASSERT_TRUE(PDBgetInt(r, PDBFflip, &f)) << n;
      EXPECT_EQ(o, kOrient[n][0]) << n;
      EXPECT_EQ(f, kOrient[n][1]) << n;
    }
    _ImgInfo info = {};
    PsetInfo(&info, r);
    if (n == 1) {
      EXPECT_FALSE(info.flags & IIForientation);
    } else {
      ASSERT_TRUE(info.flags & IIForientation);
      EXPECT_EQ(info.orientation, n);
    }
    _ImgStruct im = {};
    ASSERT_TRUE(RenderOriented(&im, r)) << n;
    ASSERT_EQ(im.xres, ref.xres) << n;
    ASSERT_EQ(im.yres, ref.yres) << n;
    EXPECT_GE(phototest::Psnr(im, ref), 18.0) << "landscape_" << n;
    PfreeImage(&im);
  }
  PfreeImage(&ref);
}

TEST(ImageInfo, CameraFieldsEqualExiftool) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/Canon_40D.jpg");
  const std::string path = phototest::TestData("jpeg/Canon_40D.jpg");
  if (Exiftool("Make", path).empty()) GTEST_SKIP() << "exiftool not installed";
  const DBRecord r = Grok(path);
  EXPECT_STREQ(PDBgetString(r, PDBFmake), Exiftool("Make", path).c_str());
  EXPECT_STREQ(PDBgetString(r, PDBFmodel), Exiftool("Model", path).c_str());
  float v = 0;
  ASSERT_TRUE(PDBgetFloat(r, PDBFexptime, &v));
  EXPECT_FLOAT_EQ(v, Cstrtof(Exiftool("ExposureTime", path).c_str(), nullptr));
  ASSERT_TRUE(PDBgetFloat(r, PDBFaperture, &v));
  EXPECT_FLOAT_EQ(v, Cstrtof(Exiftool("FNumber", path).c_str(), nullptr));
  ASSERT_TRUE(PDBgetFloat(r, PDBFasa, &v));
  EXPECT_FLOAT_EQ(v, Cstrtof(Exiftool("ISO", path).c_str(), nullptr));
  EXPECT_STREQ(PDBgetString(r, PDBFformat), "JPEG DCT YCbCr");  // the reader's encoding
  long w = 0;
  ASSERT_TRUE(PDBgetInt(r, PDBFxsize, &w));
  EXPECT_EQ(std::to_string(w), Exiftool("ImageWidth", path));
}

TEST(ImageInfo, FormatTextDensitiesAnglesAndCrop) {
  gInfo = {};
  DBRecord r(&PDBFInfo);
  _ImgReader sq = FakeReader(100, 50, 1.0f, ICS_sRGB);
  recordImageInfo(&r, &sq);
  EXPECT_STREQ(PDBgetString(r, PDBFformat), "Fake 24-bit RGB");
  EXPECT_FALSE(PDBgetField(r, PDBFxdensity).IsSet());

  _ImgReader wide = FakeReader(100, 50, 1.1f, ICS_RGB709);
  recordImageInfo(&r, &wide);
  EXPECT_STREQ(PDBgetString(r, PDBFformat), "Fake real RGB");
  float xd = 0, yd = 0;
  ASSERT_TRUE(PDBgetFloat(r, PDBFxdensity, &xd));
  ASSERT_TRUE(PDBgetFloat(r, PDBFydensity, &yd));
  EXPECT_FLOAT_EQ(xd, 72.0f);
  EXPECT_FLOAT_EQ(yd, 79.2f);

  _ImgReader grey = FakeReader(100, 50, 1.0f, ICS_Y16);
  grey.encoding = nullptr;
  recordImageInfo(&r, &grey);
  EXPECT_STREQ(PDBgetString(r, PDBFformat), "Fake 16-bit grayscale");
  grey.encoding = "LogLuv";
  recordImageInfo(&r, &grey);
  EXPECT_STREQ(PDBgetString(r, PDBFformat), "Fake LogLuv");

  DBRecord c(&PDBFInfo);
  gInfo.flags = IIFcrop | IIFhvangle;
  gInfo.crop = {10, 100, 5, 50};  // right edge at the width: recorded
  gInfo.hvangle = 60.0f;
  recordImageInfo(&c, &sq);
  const DBField& crop = PDBgetField(c, PDBFcrop);
  ASSERT_EQ(crop.GetNV(), 4);
  EXPECT_EQ(crop.GetInt(0), 10);
  EXPECT_EQ(crop.GetInt(1), 5);
  EXPECT_EQ(crop.GetInt(2), 100);
  EXPECT_EQ(crop.GetInt(3), 50);
  float ya = 0;
  ASSERT_TRUE(PDBgetFloat(c, PDBFyangle, &ya));
  EXPECT_NEAR(ya, 360.0 / M_PI * atan(0.5 * tan(M_PI / 6)), 1e-4);
  DBRecord d(&PDBFInfo);
  gInfo.crop = {10, 10, 5, 50};  // empty: not recorded
  recordImageInfo(&d, &sq);
  EXPECT_FALSE(PDBgetField(d, PDBFcrop).IsSet());
}

TEST(ImageInfo, HistoryLinesAreAddedOnceAndComeBackAsComments) {
  gInfo = {};
  gInfo.flags = IIFcomments;
  snprintf(gInfo.comments, sizeof(gInfo.comments), "first\nsecond\n");
  DBRecord r(&PDBFInfo);
  _ImgReader ir = FakeReader(10, 10, 1.0f, ICS_sRGB);
  recordImageInfo(&r, &ir);
  recordImageInfo(&r, &ir);  // the same file read again
  EXPECT_EQ(PDBgetField(r, PDBFhistory).GetNV(), 2);

  const char* hist[3] = {"one", "", "three"};
  PDBsetStrings(&r, PDBFhistory, hist, 3);
  _ImgInfo info;
  memset(&info, 0x5A, sizeof(info));
  PsetInfo(&info, r);
  EXPECT_STREQ(info.comments, "one\nthree\n");
  EXPECT_TRUE(info.flags & IIFcomments);
  EXPECT_EQ(info.params[0], '\0');
  EXPECT_FALSE(info.flags & IIFparams);
}

TEST(ImageInfo, PsetInfoAspectAndSourceNeedsEveryPart) {
  DBRecord r(&PDBFInfo);
  _ImgInfo info = {};
  EXPECT_EQ(PsetInfo(nullptr, r), 0.0f);
  EXPECT_EQ(PsetInfo(&info, DBRecord()), 0.0f);
  EXPECT_EQ(PsetInfo(&info, r), 1.0f);
  PDBsetFloat(&r, PDBFxdensity, 72.0);
  PDBsetFloat(&r, PDBFydensity, 79.2);
  EXPECT_NEAR(PsetInfo(&info, r), 1.1f, 1e-6);
  EXPECT_TRUE(info.flags & IIFhdensity);
  PDBsetFloat(&r, PDBFxdensity, 0.0);  // no shape from a zero density
  EXPECT_EQ(PsetInfo(&info, r), 1.0f);
  PDBsetFloat(&r, PDBFxdensity, -3.0);
  EXPECT_EQ(PsetInfo(&info, r), 1.0f);

  PDBsetInt(&r, PDBFsource, 2);
  PDBsetString(&r, PDBFmake, "Maker");
  PsetInfo(&info, r);
  EXPECT_FALSE(info.flags & IIFsource);
  PDBsetString(&r, PDBFmodel, "Model");
  PsetInfo(&info, r);
  EXPECT_TRUE(info.flags & IIFsource);
  EXPECT_STREQ(info.source.vers, "");
}

TEST(PopenImageD, FormatNamesTheReaderAndFailuresAreReported) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/landscape_1.jpg");
  ScratchDir dir;
  const std::string path = dir.Path("picture.dat");
  ASSERT_TRUE(phototest::CopyFile(phototest::TestData("jpeg/landscape_1.jpg"), path));
  DBRecord r(&PDBFInfo);
  recordFileInfo(&r, path.c_str());
  MessageLog log;
  // No Format and a suffix no reader names: the reader its first bytes name; so too when
  // the Format names a reader that refuses the file.
  for (const char* format : {"", "TIFF 24-bit RGB", "JPEG 24-bit RGB"}) {
    if (*format != '\0') PDBsetString(&r, PDBFformat, format);
    _ImgReader* ir = PopenImageD(r, false);
    ASSERT_NE(ir, nullptr) << format;
    EXPECT_EQ(ir->ri, &IRInterfaceJPEG);
    ir->ri->Close(ir);
  }
  EXPECT_EQ(log.Count(), 0u) << log.All();
  const std::string text = dir.Path("notes.dat");
  ASSERT_TRUE(phototest::WriteFile(text, "a line of text\n"));
  DBRecord notes(&PDBFInfo);
  recordFileInfo(&notes, text.c_str());
  EXPECT_EQ(PopenImageD(notes, false), nullptr);
  EXPECT_TRUE(log.Has(DMCdata, "Cannot open '" + text + "': not a picture")) << log.All();

  unlink(path.c_str());
  log.Clear();
  EXPECT_EQ(PopenImageD(r, true), nullptr);
  EXPECT_EQ(log.Count(), 0u);
  EXPECT_EQ(PopenImageD(r, false), nullptr);
  EXPECT_TRUE(log.Has(DMCresource, "picture.dat: cannot find image"));
  DBRecord unnamed(&PDBFInfo);
  PDBsetString(&unnamed, PDBFformat, "JPEG");
  EXPECT_EQ(PopenImageD(unnamed, false), nullptr);
  EXPECT_TRUE(log.Has(DMCdata, "Missing image file name"));
}
