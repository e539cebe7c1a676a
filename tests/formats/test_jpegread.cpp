#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "formats/exif.h"
#include "formats/jpeg_test_util.h"
#include "formats/jpegio.h"

namespace {

std::string jpegData(const char* name) {
  return std::string(LUMERIN_TESTDATA) + "/jpeg/" + name;
}

bool haveData(const char* name) {
  struct stat st;
  return stat(jpegData(name).c_str(), &st) == 0;
}

Reader open(const std::string& path) {
  return Reader(JRopen(path.c_str()));
}

_ImgInfo infoOf(_ImgReader* ir) {
  _ImgInfo info;
  std::memset(&info, 0, sizeof info);
  EXPECT_EQ(JRgetInfo(ir, &info), IREnone);
  return info;
}

// Reads the rectangle at subsample s in cs; the pixels, or nothing when the reader failed.
std::vector<uint8_t> readRect(_ImgReader* ir, _ImgRect r, int s, _ImgColorSpace* cs) {
  _ImgReadBuf rb;
  std::memset(&rb, 0, sizeof rb);
  rb.cs = *cs;
  rb.r = r;
  rb.subsample = s;
  const size_t bytes = PreadBufBytes(&rb);
  std::vector<uint8_t> px(bytes + 16, 0xA5);  // a guard zone after the rectangle
  rb.buf = px.data();
  rb.bufsize = bytes;
  const ImgReadErr e = JRreadRec(ir, &rb);
  *cs = rb.cs;
  if (e != IREnone || rb.r.ybottom == rb.r.ytop) return {};
  const size_t got = PreadBufBytes(&rb);
  for (size_t i = got; i < px.size(); ++i) EXPECT_EQ(px[i], 0xA5) << "written past the end";
  px.resize(got);
  return px;
}

// Lines "Tag : value" of exiftool -n -s -f for the given tags.
std::map<std::string, std::string> exiftool(const std::string& path, const char* tags) {
  std::map<std::string, std::string> out;
  const std::string cmd = "exiftool -n -s -f " + std::string(tags) + " '" + path + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char line[512];
  while (std::fgets(line, sizeof line, p)) {
    std::string s(line);
    const size_t colon = s.find(" : ");
    if (colon == std::string::npos) continue;
    std::string key = s.substr(0, s.find(' '));
    std::string val = s.substr(colon + 3);
    while (!val.empty() && (val.back() == '\n' || val.back() == ' ')) val.pop_back();
    if (val != "-") out[key] = val;
  }
  pclose(p);
  return out;
}

class CameraFiles : public ::testing::TestWithParam<const char*> {};

// Camera metadata agrees with what the outside metadata tool reads from the same files.
TEST_P(CameraFiles, ExifAgreesWithExiftool) {
  if (!haveData(GetParam())) GTEST_SKIP() << "shared test pictures absent";
  if (!haveTool("exiftool")) GTEST_SKIP() << "exiftool not installed";
  const std::string path = jpegData(GetParam());
  auto want = exiftool(path,
                       "-EXIF:Make -EXIF:Model -EXIF:ModifyDate -EXIF:DateTimeOriginal "
                       "-EXIF:ExposureTime -EXIF:FNumber -EXIF:ISO -EXIF:Flash -EXIF:FocalLength "
                       "-EXIF:FocalPlaneXResolution -EXIF:FocalPlaneResolutionUnit "
                       "-EXIF:ExifImageWidth -EXIF:FocalLengthIn35mmFormat -Composite:GPSLatitude "
                       "-Composite:GPSLongitude -Composite:GPSAltitude -EXIF:Orientation");
  Reader ir = open(path);
  ASSERT_TRUE(ir);
  ASSERT_EQ(ir->errCode, IREnone) << ir->errMsg;
  const _ImgInfo info = infoOf(ir.get());
  auto num = [&](const char* k) { return std::atof(want[k].c_str()); };
  const bool source = want.count("Make") && want.count("Model");
  EXPECT_EQ(info.source.make, want["Make"]);
  EXPECT_EQ(info.source.model, want["Model"]);
  EXPECT_EQ((info.flags & IIFsource) != 0, source);
  // The capture date is the directory's date when valid, else the original's.
  const std::string date =
      dateOK(want["ModifyDate"].c_str()) ? want["ModifyDate"] : want["DateTimeOriginal"];
  if (!date.empty()) {
    EXPECT_EQ(info.capdate, date);
    EXPECT_TRUE(info.flags & IIFcapdate);
  }
  if (want.count("ExposureTime")) {
    EXPECT_NEAR(info.exptime, num("ExposureTime"), 1e-6);
  }
  if (want.count("FNumber")) {
    EXPECT_NEAR(info.aperture, num("FNumber"), 1e-5);
  }
  if (want.count("ISO")) {
    EXPECT_FLOAT_EQ(info.asa, num("ISO"));
  }
  if (want.count("Flash")) {
    EXPECT_EQ(info.flash, std::atoi(want["Flash"].c_str()));
    EXPECT_TRUE(info.flags & IIFflash);
  }
  // The view angle from the focal data.
  double angle = -1;
  if (want.count("FocalPlaneXResolution") && want.count("FocalLength")) {
    const double unit = want["FocalPlaneResolutionUnit"] == "3" ? 10.0 : 25.4;
    angle = 2 * std::atan(unit * 0.5 / num("FocalPlaneXResolution") * num("ExifImageWidth") /
                          num("FocalLength"));
  } else if (want.count("FocalLengthIn35mmFormat")) {
    angle = 2 * std::atan(17.5 / num("FocalLengthIn35mmFormat"));
  }
  if (angle >= 0) {
    EXPECT_NEAR(info.hvangle, angle * 180 / M_PI, 1e-3);
  } else {
    EXPECT_FALSE(info.flags & IIFhvangle);
  }
  if (want.count("GPSLatitude")) {
    ASSERT_TRUE(info.flags & IIFlatlong);
    EXPECT_NEAR(info.latlong[0], num("GPSLatitude"), 1e-4);
    EXPECT_NEAR(info.latlong[1], num("GPSLongitude"), 1e-4);
  } else {
    EXPECT_FALSE(info.flags & IIFlatlong);
  }
  if (want.count("GPSAltitude")) {
    EXPECT_NEAR(info.altitude, num("GPSAltitude"), 1e-3);
  }
  EXPECT_EQ(info.flags & IIForientation ? info.orientation : 1,
            std::atoi(want["Orientation"].c_str()));
  EXPECT_TRUE(info.flags & IIFquality);
}

INSTANTIATE_TEST_SUITE_P(Cameras, CameraFiles,
                         ::testing::Values("Canon_40D.jpg", "Nikon_D70.jpg",
                                           "Fujifilm_FinePix_E500.jpg", "Kodak_CX7530.jpg",
                                           "DSCN0010.jpg", "67-0_length_string.jpg",
                                           "corrupted.jpg", "landscape_2.jpg"),
                         [](const auto& i) {
                           std::string n = i.param;
                           for (char& c : n)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

TEST(JpegReader, OrientationOfEveryKind) {
  if (!haveData("landscape_8.jpg")) GTEST_SKIP() << "shared test pictures absent";
  for (int o = 1; o <= 8; ++o) {
    Reader ir = open(jpegData(("landscape_" + std::to_string(o) + ".jpg").c_str()));
    ASSERT_TRUE(ir);
    const _ImgInfo info = infoOf(ir.get());
    EXPECT_EQ(info.orientation, o);
    EXPECT_EQ((info.flags & IIForientation) != 0, o != 1);
    EXPECT_EQ(ir->xres, o <= 4 ? 600 : 450);
  }
}

// The EXIF segment that follows another APP1 segment is still found.
TEST(JpegReader, ExifAfterAnXmpSegment) {
  if (!haveData("no_exif.jpg")) GTEST_SKIP() << "shared test pictures absent";
  Reader ir = open(jpegData("no_exif.jpg"));
  ASSERT_TRUE(ir);
  const _ImgInfo info = infoOf(ir.get());
  EXPECT_TRUE(std::strlen(info.source.vers) > 0);
  EXPECT_STRNE(info.source.vers, "");
}

TEST(JpegReader, QualityEstimateOfCjpegFiles) {
  if (!haveTool("cjpeg")) GTEST_SKIP() << "cjpeg not installed";
  TempFile ppm(".ppm");
  {
    const auto px = testPattern(64, 64);
    std::string head = "P6\n64 64\n255\n";
    std::vector<uint8_t> data(head.begin(), head.end());
    data.insert(data.end(), px.begin(), px.end());
    writeFile(ppm.path, data);
  }
  const int qualities[][2] = {{10, 10}, {50, 50}, {75, 74}, {90, 90}, {95, 97}, {100, 100}};
  for (const auto& q : qualities) {
    TempFile jpg(".jpg");
    const std::string cmd = "cjpeg -quality " + std::to_string(q[0]) + " -outfile '" + jpg.path +
                            "' '" + ppm.path + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    Reader ir = open(jpg.path);
    ASSERT_TRUE(ir);
    const _ImgInfo info = infoOf(ir.get());
    EXPECT_TRUE(info.flags & IIFquality);
    EXPECT_EQ(info.quality, q[1]) << "cjpeg quality " << q[0];
  }
}

// Components numbered from 0: the estimate still comes from the luminance table.
TEST(JpegReader, QualityEstimateWithComponentsNumberedFromZero) {
  TempFile jpg(".jpg");
  writeFile(jpg.path, testJpeg(32, 32, 50, 0));
  Reader ir = open(jpg.path);
  ASSERT_TRUE(ir);
  EXPECT_EQ(infoOf(ir.get()).quality, 50);
}

// A PNM (P5 or P6) as width, height, components and pixels.
struct Pnm {
  int w = 0, h = 0, comps = 0;
  std::vector<uint8_t> px;
};

Pnm djpeg(const std::string& path, int n) {
  Pnm p;
  TempFile out(".pnm");
  const std::string cmd = "djpeg -dct float -scale 1/" + std::to_string(n) + " -pnm -outfile '" +
                          out.path + "' '" + path + "'";
  if (std::system(cmd.c_str()) != 0) return p;
  const auto data = readFile(out.path);
  char magic[3] = {};
  int maxv = 0, used = 0;
  if (std::sscanf(reinterpret_cast<const char*>(data.data()), "%2s %d %d %d%n", magic, &p.w, &p.h,
                  &maxv, &used) != 4)
    return p;
  p.comps = magic[1] == '6' ? 3 : 1;
  p.px.assign(data.begin() + used + 1, data.end());
  return p;
}

// Scaled reads agree with the reference decoder at the same scale, also for widths that
// are no multiple of the scale.
TEST(JpegReader, ScaledReadsAgreeWithDjpeg) {
  if (!haveData("desk_odd_301x409_420.jpg")) GTEST_SKIP() << "shared test pictures absent";
  if (!haveTool("djpeg")) GTEST_SKIP() << "djpeg not installed";
  for (const char* name : {"desk_baseline_420.jpg", "desk_odd_301x409_420.jpg", "desk_grey.jpg",
                           "desk_progressive_420.jpg"}) {
    for (int n : {2, 4, 8}) {
      const Pnm ref = djpeg(jpegData(name), n);
      ASSERT_GT(ref.w, 0);
      Reader ir = open(jpegData(name));
      ASSERT_TRUE(ir);
      _ImgColorSpace cs = ICS_sRGB;
      const _ImgRect all = {0, ir->xres / n * n, 0, ir->yres / n * n};
      const auto px = readRect(ir.get(), all, n, &cs);
      ASSERT_FALSE(px.empty()) << name << " 1/" << n << ": " << ir->errMsg;
      const int comps = PpixelSize(&cs), w = ir->xres / n, h = ir->yres / n;
      ASSERT_EQ(comps, ref.comps);
      int worst = 0;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * comps; ++x)
          worst = std::max(worst, std::abs(px[(static_cast<size_t>(y) * w) * comps + x] -
                                           ref.px[(static_cast<size_t>(y) * ref.w) * comps + x]));
      EXPECT_LE(worst, 2) << name << " at 1/" << n;
    }
  }
}

TEST(JpegReader, RectanglesAboveTheNextRowRestartAndOddSubsamplesAreReported) {
  if (!haveData("desk_baseline_444.jpg")) GTEST_SKIP() << "shared test pictures absent";
  Reader ir = open(jpegData("desk_baseline_444.jpg"));
  ASSERT_TRUE(ir);
  _ImgColorSpace cs = ICS_sRGB;
  const auto whole = readRect(ir.get(), {0, 640, 0, 864}, 2, &cs);
  ASSERT_EQ(whole.size(), 320u * 432 * 3);
  // A window below, then one above it: decoding starts over from the top.
  const _ImgRect win = {101, 301, 51, 151};  // edges go down to even numbers
  for (int pass = 0; pass < 2; ++pass) {
    const auto low = readRect(ir.get(), {0, 640, 700, 800}, 2, &cs);
    ASSERT_FALSE(low.empty());
    const auto part = readRect(ir.get(), win, 2, &cs);
    ASSERT_EQ(part.size(), 100u * 50 * 3);
    for (int y = 0; y < 50; ++y)
      ASSERT_EQ(std::memcmp(&part[y * 300], &whole[((25 + y) * 320 + 50) * 3], 300), 0);
  }
  // A subsampling of 3 is decoded at 1/2: the request comes back with 2 and nothing read.
  _ImgReadBuf rb;
  std::memset(&rb, 0, sizeof rb);
  rb.cs = ICS_sRGB;
  rb.r = {0, 640, 0, 864};
  rb.subsample = 3;
  std::vector<uint8_t> buf(640 * 864 * 3);
  rb.buf = buf.data();
  rb.bufsize = buf.size();
  EXPECT_EQ(JRreadRec(ir.get(), &rb), IREnone);
  EXPECT_EQ(rb.subsample, 2);
  EXPECT_EQ(rb.r.ybottom, rb.r.ytop);
  // Outside the image, or a buffer too small: refused without writing.
  rb.subsample = 1;
  rb.r = {0, 641, 0, 10};
  EXPECT_EQ(JRreadRec(ir.get(), &rb), IREunknown);
  EXPECT_STREQ(ir->errMsg, "JPEG reader routine failure");
  rb.r = {0, 640, 0, 10};
  rb.bufsize = 640 * 10 * 3 - 1;
  EXPECT_EQ(JRreadRec(ir.get(), &rb), IREnone);
  EXPECT_EQ(rb.r.ybottom, rb.r.ytop);
}

TEST(JpegReader, CmykAndGreyFiles) {
  if (!haveData("desk_cmyk.jpg")) GTEST_SKIP() << "shared test pictures absent";
  Reader cmyk = open(jpegData("desk_cmyk.jpg"));
  ASSERT_TRUE(cmyk);
  EXPECT_STREQ(cmyk->encoding, "DCT YCCK");
  EXPECT_EQ(cmyk->cs.format, IPFcmyk);
  _ImgColorSpace cs = ICS_sRGB;
  const auto rgb = readRect(cmyk.get(), {0, 640, 0, 864}, 4, &cs);
  ASSERT_FALSE(rgb.empty());
  EXPECT_EQ(cs.format, IPFrgb);
  // The inverted Adobe values come out with the right polarity: close to the RGB original.
  Reader ref = open(jpegData("desk_baseline_444.jpg"));
  _ImgColorSpace rcs = ICS_sRGB;
  const auto want = readRect(ref.get(), {0, 640, 0, 864}, 4, &rcs);
  ASSERT_EQ(rgb.size(), want.size());
  double diff = 0;
  for (size_t i = 0; i < rgb.size(); ++i) diff += std::abs(rgb[i] - want[i]);
  EXPECT_LT(diff / rgb.size(), 8.0);
  _ImgColorSpace kcs = cmyk->cs;
  const auto inks = readRect(cmyk.get(), {0, 640, 0, 8}, 8, &kcs);
  ASSERT_EQ(inks.size(), 80u * 4);
  EXPECT_EQ(kcs.format, IPFcmyk);

  Reader grey = open(jpegData("desk_grey.jpg"));
  ASSERT_TRUE(grey);
  EXPECT_STREQ(grey->encoding, "DCT grayscale");
  EXPECT_EQ(grey->cs.format, IPFy);
  _ImgColorSpace gcs = ICS_sRGB;
  EXPECT_EQ(readRect(grey.get(), {0, 640, 0, 864}, 8, &gcs).size(), 80u * 108);
  EXPECT_EQ(gcs.format, IPFy);
  // A grey request on a colour file delivers grey.
  _ImgColorSpace ycs = ICS_Y8;
  EXPECT_EQ(readRect(ref.get(), {0, 640, 0, 864}, 8, &ycs).size(), 80u * 108);
  EXPECT_EQ(ycs.format, IPFy);
}

TEST(JpegReader, RefusalsAndDamagedFiles) {
  EXPECT_EQ(JRopen(nullptr), nullptr);
  EXPECT_EQ(JRopen("/nonexistent/x.jpg"), nullptr);
  TempFile f(".jpg");
  writeFile(f.path, {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0});
  EXPECT_EQ(JRopen(f.path.c_str()), nullptr);  // not a JPEG: no reader, no error
  writeFile(f.path, {});
  Reader empty = open(f.path);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->errCode, IREtruncated);
  EXPECT_STREQ(empty->errMsg, "Empty input file");
  // A start-of-image marker, then rubbish: a format error with libjpeg's text.
  writeFile(f.path, {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x03, 0x01, 0xFF, 0xD9});
  Reader junk = open(f.path);
  ASSERT_TRUE(junk);
  EXPECT_NE(junk->errCode, IREnone);
  EXPECT_STRNE(junk->errMsg, "");

  if (!haveData("corrupted.jpg")) GTEST_SKIP() << "shared test pictures absent";
  // A file cut in half and one with a stray marker decode to their end.
  auto half = readFile(jpegData("desk_baseline_420.jpg"));
  half.resize(half.size() / 2);
  writeFile(f.path, half);
  for (const std::string& path : {f.path, jpegData("corrupted.jpg")}) {
    Reader ir = open(path);
    ASSERT_TRUE(ir);
    ASSERT_EQ(ir->errCode, IREnone);
    _ImgColorSpace cs = ICS_sRGB;
    const _ImgRect all = {0, ir->xres / 8 * 8, 0, ir->yres / 8 * 8};
    EXPECT_FALSE(readRect(ir.get(), all, 8, &cs).empty()) << path;
  }
}

TEST(JpegReader, ThumbnailAndRendering) {
  if (!haveData("Canon_40D.jpg")) GTEST_SKIP() << "shared test pictures absent";
  Reader ir = open(jpegData("Canon_40D.jpg"));
  ASSERT_TRUE(ir);
  _ImgStruct img;
  std::memset(&img, 0, sizeof img);
  img.csp = &ICS_sRGB;
  ASSERT_EQ(JRgetThumbnail(ir.get(), &img), IREnone);
  EXPECT_EQ(img.xres, 68);
  EXPECT_EQ(img.yres, 46);
  PfreeImage(&img);

  Reader desk = open(jpegData("desk_baseline_420.jpg"));
  ASSERT_TRUE(desk);
  img.xres = img.yres = 0;
  EXPECT_EQ(JRgetThumbnail(desk.get(), &img), IREunsupported);
  EXPECT_STREQ(desk->errMsg, "no thumbnail");
  // An 8-bit render at 1/8 goes straight into the output.
  img.xres = 80;
  img.yres = 108;
  img.csp = &ICS_sRGB;
  ASSERT_EQ(PrenderImageR(&img, desk.get(), 1), 1);
  EXPECT_EQ(img.xres, 80);
  EXPECT_EQ(img.yres, 108);
  PfreeImage(&img);
  // A float render of a plain JPEG is converted from its 8-bit delivery.
  img.xres = 64;
  img.yres = 86;
  img.csp = &ICS_RGB709;
  ASSERT_EQ(PrenderImageR(&img, desk.get(), 1), 1);
  PfreeImage(&img);
}

}  // namespace
