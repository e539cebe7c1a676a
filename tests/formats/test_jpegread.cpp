#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "formats/exif.h"
#include "formats/jpeg_test_util.h"
#include "formats/tiff_builder.h"
#include "support/cnumber.h"

namespace {

std::string jpegData(const std::string& name) {
  return std::string(LUMERIN_TESTDATA) + "/jpeg/" + name;
}

bool haveData() {
  struct stat st;
  return stat(jpegData("Canon_40D.jpg").c_str(), &st) == 0;
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

// The values exiftool -n prints for the given tags ("Tag : value" lines), missing ones left out.
std::map<std::string, std::string> exiftool(const std::string& path, const char* tags) {
  std::map<std::string, std::string> out;
  std::vector<std::string> argv = {"exiftool", "-n", "-s", "-f"};
  std::istringstream words(tags);
  for (std::string w; words >> w;) argv.push_back(w);
  argv.push_back(path);
  std::string text;
  testutil::RunProgram(argv, &text, testutil::Errors::kShown);
  std::istringstream lines(text);
  for (std::string s; std::getline(lines, s);) {
    const size_t colon = s.find(" : ");
    std::string val = colon == std::string::npos ? "-" : s.substr(colon + 3);
    if (val != "-") out[s.substr(0, s.find(' '))] = val;
  }
  return out;
}

class CameraFiles : public ::testing::TestWithParam<const char*> {};

// Camera metadata agrees with what the outside metadata tool reads from the same files.
TEST_P(CameraFiles, ExifAgreesWithExiftool) {
  if (!haveData()) GTEST_SKIP() << "shared test pictures absent";
  if (!haveTool("exiftool")) GTEST_SKIP() << "exiftool not installed";
  const std::string path = jpegData(GetParam());
  const auto want =
      exiftool(path,
               "-EXIF:Make -EXIF:Model -EXIF:ModifyDate -EXIF:DateTimeOriginal "
               "-EXIF:ExposureTime -EXIF:FNumber -EXIF:ISO -EXIF:Flash -EXIF:FocalLength "
               "-EXIF:FocalPlaneXResolution -EXIF:FocalPlaneResolutionUnit "
               "-EXIF:ExifImageWidth -EXIF:FocalLengthIn35mmFormat -Composite:GPSLatitude "
               "-Composite:GPSLongitude -Composite:GPSAltitude -EXIF:Orientation");
  Reader ir = open(path);
  ASSERT_TRUE(ir);
  ASSERT_EQ(ir->errCode, IREnone) << ir->errMsg;
  const _ImgInfo info = infoOf(ir.get());
  const auto has = [&](const char* k) { return want.count(k) != 0; };
  const auto get = [&](const char* k) { return has(k) ? want.at(k) : std::string(); };
  const auto num = [&](const char* k) { return Catof(get(k).c_str()); };
  EXPECT_EQ((info.flags & IIFsource) != 0, has("Make") && has("Model"));
  EXPECT_EQ(info.source.make, get("Make"));
  EXPECT_EQ(info.source.model, get("Model"));
  // The capture date is the directory's date when valid, else the original's.
  const std::string date =
      dateOK(get("ModifyDate").c_str()) ? get("ModifyDate") : get("DateTimeOriginal");
  EXPECT_EQ(info.flags & IIFcapdate ? info.capdate : "", date);
  EXPECT_NEAR(info.flags & IIFexptime ? info.exptime : 0, num("ExposureTime"), 1e-6);
  EXPECT_NEAR(info.flags & IIFaperture ? info.aperture : 0, num("FNumber"), 1e-5);
  EXPECT_FLOAT_EQ(has("ISO") ? info.asa : 0, num("ISO"));
  EXPECT_EQ(info.flags & IIFflash ? info.flash : -1, has("Flash") ? num("Flash") : -1);
  double angle = -1;  // the view angle from the focal data
  if (has("FocalPlaneXResolution") && has("FocalLength")) {
    const double unit = get("FocalPlaneResolutionUnit") == "3" ? 10.0 : 25.4;
    angle = 2 * std::atan(unit * 0.5 / num("FocalPlaneXResolution") * num("ExifImageWidth") /
                          num("FocalLength"));
  } else if (has("FocalLengthIn35mmFormat")) {
    angle = 2 * std::atan(17.5 / num("FocalLengthIn35mmFormat"));
  }
  EXPECT_NEAR(info.flags & IIFhvangle ? info.hvangle : -1, angle >= 0 ? angle * 180 / M_PI : -1,
              1e-3);
  ASSERT_EQ((info.flags & IIFlatlong) != 0, has("GPSLatitude"));
  EXPECT_NEAR(info.latlong[0], num("GPSLatitude"), 1e-4);
  EXPECT_NEAR(info.latlong[1], num("GPSLongitude"), 1e-4);
  EXPECT_NEAR(info.flags & IIFaltitude ? info.altitude : 0, num("GPSAltitude"), 1e-3);
  EXPECT_EQ(info.flags & IIForientation ? info.orientation : 1, num("Orientation"));
  EXPECT_TRUE(info.flags & IIFquality);
}

// GPS positions stored as signed rationals (as some phones write them) read as exiftool gives
// them: the size of the value, negated by a south or west reference.
TEST(JpegReader, SignedRationalPositionAgreesWithExiftool) {
  if (!haveTool("exiftool")) GTEST_SKIP() << "exiftool not installed";
  using Rationals = std::vector<std::pair<uint32_t, uint32_t>>;
  const struct {
    bool le;
    const char *latRef, *lonRef;
    Rationals lat, lon;
  } cases[] = {
      {true, "N", "E", {{60, 1}, {8, 1}, {4812, 100}}, {{24, 1}, {54, 1}, {2448, 100}}},
      {false, "S", "E", {{uint32_t(-33), 1}, {30, 1}, {0, 1}}, {{151, 1}, {12, 1}, {36, 10}}},
      {true, "N", "W", {{uint32_t(-33), 1}, {uint32_t(-30), 1}, {0, 1}}, {{0, 1}, {6, 1}, {0, 1}}},
  };
  TempFile f(".jpg");
  for (const auto& c : cases) {
    TiffBuilder b(c.le);
    const int d0 = b.addIfd(), ex = b.addIfd(false), gps = b.addIfd(false);
    b.pointer(d0, 34665, ex);
    b.pointer(d0, 34853, gps);
    b.shorts(ex, 34855, {100});
    b.ascii(gps, 1, c.latRef);
    b.rationals(gps, 2, c.lat, 10);
    b.ascii(gps, 3, c.lonRef);
    b.rationals(gps, 4, c.lon, 10);
    std::vector<uint8_t> app1 = {'E', 'x', 'i', 'f', 0, 0}, block = b.build();
    app1.insert(app1.end(), block.begin(), block.end());
    const std::vector<uint8_t> plain = testJpeg(32, 16);
    std::vector<uint8_t> jpeg = {
        0xFF, 0xD8, 0xFF, 0xE1, uint8_t((app1.size() + 2) >> 8), uint8_t(app1.size() + 2)};
    jpeg.insert(jpeg.end(), app1.begin(), app1.end());
    jpeg.insert(jpeg.end(), plain.begin() + 2, plain.end());
    writeFile(f.path, jpeg);
    const auto want = exiftool(f.path, "-Composite:GPSLatitude -Composite:GPSLongitude");
    ASSERT_EQ(want.size(), 2u) << c.latRef;
    Reader ir = open(f.path);
    ASSERT_TRUE(ir);
    const _ImgInfo info = infoOf(ir.get());
    ASSERT_TRUE(info.flags & IIFlatlong) << c.latRef;
    EXPECT_NEAR(info.latlong[0], Catof(want.at("GPSLatitude").c_str()), 1e-4);
    EXPECT_NEAR(info.latlong[1], Catof(want.at("GPSLongitude").c_str()), 1e-4);
  }
}

INSTANTIATE_TEST_SUITE_P(Cameras, CameraFiles,
                         ::testing::Values("Canon_40D.jpg", "Nikon_D70.jpg",
                                           "Fujifilm_FinePix_E500.jpg", "Kodak_CX7530.jpg",
                                           "DSCN0010.jpg", "67-0_length_string.jpg",
                                           "corrupted.jpg", "no_exif.jpg", "landscape_1.jpg",
                                           "landscape_2.jpg", "landscape_3.jpg", "landscape_4.jpg",
                                           "landscape_5.jpg", "landscape_6.jpg", "landscape_7.jpg",
                                           "landscape_8.jpg"),
                         [](const auto& i) {
                           std::string n = i.param;
                           for (char& c : n) c = Calnum(c) ? c : '_';
                           return n;
                         });

TEST(JpegReader, QualityEstimate) {
  if (!haveTool("cjpeg")) GTEST_SKIP() << "cjpeg not installed";
  TempFile ppm(".ppm");
  const std::string head = "P6\n64 64\n255\n";
  std::vector<uint8_t> data(head.begin(), head.end());
  const auto px = testPattern(64, 64);
  data.insert(data.end(), px.begin(), px.end());
  writeFile(ppm.path, data);
  TempFile jpg(".jpg");
  const std::pair<int, int> qualities[] = {{10, 10}, {50, 50}, {75, 74},
                                           {90, 90}, {95, 97}, {100, 100}};
  for (const auto& q : qualities) {
    ASSERT_EQ(testutil::RunProgram(
                  {"cjpeg", "-quality", std::to_string(q.first), "-outfile", jpg.path, ppm.path}),
              0);
    EXPECT_EQ(infoOf(open(jpg.path).get()).quality, q.second) << "cjpeg quality " << q.first;
  }
  // Components numbered from 0: the estimate still comes from the luminance table.
  writeFile(jpg.path, testJpeg(32, 32, 50, 0));
  EXPECT_EQ(infoOf(open(jpg.path).get()).quality, 50);
}

// Scaled reads agree with the reference decoder at the same scale, also for widths that are
// no multiple of the scale (the reference then has one more column).
TEST(JpegReader, ScaledReadsAgreeWithDjpeg) {
  if (!haveData()) GTEST_SKIP() << "shared test pictures absent";
  if (!haveTool("djpeg")) GTEST_SKIP() << "djpeg not installed";
  for (const char* name : {"desk_baseline_420.jpg", "desk_odd_301x409_420.jpg", "desk_grey.jpg",
                           "desk_progressive_420.jpg"}) {
    for (int n : {2, 4, 8}) {
      TempFile out(".pnm");
      ASSERT_EQ(testutil::RunProgram({"djpeg", "-dct", "float", "-scale", "1/" + std::to_string(n),
                                      "-pnm", "-outfile", out.path, jpegData(name)},
                                     nullptr, testutil::Errors::kShown),
                0);
      const auto ref = readFile(out.path);
      int rw = 0, rh = 0, used = 0;
      ASSERT_EQ(
          Csscanf(reinterpret_cast<const char*>(ref.data()), "P%*d %d %d 255%n", &rw, &rh, &used),
          2);
      Reader ir = open(jpegData(name));
      _ImgColorSpace cs = ICS_sRGB;
      const auto px = readAll(ir.get(), n, &cs);
      ASSERT_FALSE(px.empty()) << name << " 1/" << n << ": " << ir->errMsg;
      const int comps = PpixelSize(&cs), w = ir->xres / n;
      EXPECT_EQ(ref[1] == '6' ? 3 : 1, comps);
      int worst = 0;
      for (size_t i = 0; i < px.size(); ++i) {
        const size_t y = i / (w * comps), x = i % (w * comps);
        worst = std::max(worst, std::abs(px[i] - ref[used + 1 + y * rw * comps + x]));
      }
      EXPECT_LE(worst, 2) << name << " at 1/" << n;
    }
  }
}

TEST(JpegReader, RectanglesAboveTheNextRowRestartAndOddSubsamplesAreReported) {
  if (!haveData()) GTEST_SKIP() << "shared test pictures absent";
  Reader ir = open(jpegData("desk_baseline_444.jpg"));
  _ImgColorSpace cs = ICS_sRGB;
  const auto whole = readAll(ir.get(), 2, &cs);
  ASSERT_EQ(whole.size(), 320u * 432 * 3);
  for (int pass = 0; pass < 2; ++pass) {  // a band below, then a window above: a restart
    ASSERT_FALSE(readRect(ir.get(), {0, 640, 700, 800}, 2, &cs).empty());
    const auto part = readRect(ir.get(), {101, 301, 51, 151}, 2, &cs);  // edges go down to even
    ASSERT_EQ(part.size(), 100u * 50 * 3);
    for (int y = 0; y < 50; ++y)
      ASSERT_EQ(std::memcmp(&part[y * 300], &whole[((25 + y) * 320 + 50) * 3], 300), 0);
  }
  // Subsampling 3 is decoded at 1/2: the request comes back with 2 and nothing read; so does
  // a buffer too small. A rectangle outside the image is refused.
  std::vector<uint8_t> buf(640 * 864 * 3);
  _ImgReadBuf rb = {ICS_sRGB, {0, 640, 0, 864}, 3, buf.data(), buf.size()};
  EXPECT_EQ(JRreadRec(ir.get(), &rb), IREnone);
  EXPECT_EQ(rb.subsample, 2);
  EXPECT_EQ(rb.r.ybottom, rb.r.ytop);
  rb = {ICS_sRGB, {0, 640, 0, 10}, 1, buf.data(), 640 * 10 * 3 - 1};
  EXPECT_EQ(JRreadRec(ir.get(), &rb), IREnone);
  EXPECT_EQ(rb.r.ybottom, rb.r.ytop);
  rb = {ICS_sRGB, {0, 641, 0, 10}, 1, buf.data(), buf.size()};
  EXPECT_EQ(JRreadRec(ir.get(), &rb), IREunknown);
  EXPECT_STREQ(ir->errMsg, "JPEG reader routine failure");
}

TEST(JpegReader, CmykAndGreyFiles) {
  if (!haveData()) GTEST_SKIP() << "shared test pictures absent";
  Reader cmyk = open(jpegData("desk_cmyk.jpg"));
  EXPECT_STREQ(cmyk->encoding, "DCT YCCK");
  EXPECT_EQ(cmyk->cs.format, IPFcmyk);
  _ImgColorSpace cs = ICS_sRGB, rcs = ICS_sRGB, kcs = cmyk->cs;
  const auto rgb = readAll(cmyk.get(), 4, &cs);
  EXPECT_EQ(cs.format, IPFrgb);
  // The inverted Adobe values come out with the right polarity: close to the RGB original.
  Reader ref = open(jpegData("desk_baseline_444.jpg"));
  const auto want = readAll(ref.get(), 4, &rcs);
  ASSERT_EQ(rgb.size(), want.size());
  double diff = 0;
  for (size_t i = 0; i < rgb.size(); ++i) diff += std::abs(rgb[i] - want[i]);
  EXPECT_LT(diff / rgb.size(), 8.0);
  EXPECT_EQ(readAll(cmyk.get(), 8, &kcs).size(), 80u * 108 * 4);
  EXPECT_EQ(kcs.format, IPFcmyk);
  // A grey file delivers grey whatever is asked, and a grey request on a colour file too.
  Reader grey = open(jpegData("desk_grey.jpg"));
  EXPECT_STREQ(grey->encoding, "DCT grayscale");
  _ImgColorSpace gcs = ICS_sRGB, ycs = ICS_Y8;
  EXPECT_EQ(readAll(grey.get(), 8, &gcs).size(), 80u * 108);
  EXPECT_EQ(readAll(ref.get(), 8, &ycs).size(), 80u * 108);
  EXPECT_EQ(gcs.format + ycs.format, 2 * IPFy);
}

TEST(JpegReader, RefusalsAndDamagedFiles) {
  EXPECT_EQ(JRopen(nullptr), nullptr);
  TempFile f(".jpg");
  writeFile(f.path, {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0});
  EXPECT_EQ(JRopen(f.path.c_str()), nullptr);  // not a JPEG: no reader, no error
  writeFile(f.path, {});
  Reader empty = open(f.path);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->errCode, IREtruncated);
  EXPECT_STREQ(empty->errMsg, "Empty input file");
  writeFile(f.path, {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x03, 0x01, 0xFF, 0xD9});
  Reader junk = open(f.path);
  ASSERT_TRUE(junk);
  EXPECT_EQ(junk->errCode, IREformat);
  EXPECT_STRNE(junk->errMsg, "");
  // A small progressive file whose header claims 60000 x 60000 pixels would need 10 GB of
  // coefficients: it is refused instead of allocated.
  std::vector<uint8_t> huge = testJpeg(16, 16, 90, 1, true);
  size_t sof = 0;
  while (sof + 9 < huge.size() && !(huge[sof] == 0xFF && huge[sof + 1] == 0xC2)) sof++;
  ASSERT_LT(sof + 9, huge.size());
  huge[sof + 5] = huge[sof + 7] = 0xEA;
  huge[sof + 6] = huge[sof + 8] = 0x60;
  writeFile(f.path, huge);
  Reader big = open(f.path);
  if (big) {
    _ImgColorSpace cs = ICS_sRGB;
    if (big->errCode == IREnone) {
      EXPECT_TRUE(readRect(big.get(), {0, 64, 0, 64}, 1, &cs).empty());
    }
    EXPECT_NE(big->errCode, IREnone);
  }
  if (!haveData()) GTEST_SKIP() << "shared test pictures absent";
  // Data that stops at a marker before the last row is damage, not grey rows to show.
  Reader stray = open(jpegData("corrupted.jpg"));
  _ImgColorSpace cs = ICS_sRGB;
  EXPECT_TRUE(readAll(stray.get(), 8, &cs).empty());
  EXPECT_EQ(stray->errCode, IREformat);
  EXPECT_STREQ(stray->errMsg, "Corrupt JPEG data: premature end of data segment");
}

// A file that ends before its end marker fails every render with libjpeg's text, whichever
// scale it is decoded at.
TEST(JpegReader, TruncatedFilesFailEveryRender) {
  if (!haveData()) GTEST_SKIP() << "shared test pictures absent";
  const std::vector<uint8_t> whole = readFile(jpegData("DSCN0010.jpg"));
  TempFile f(".jpg");
  for (size_t cut :
       {whole.size() / 10, whole.size() / 2, whole.size() * 9 / 10, whole.size() - 1}) {
    writeFile(f.path, std::vector<uint8_t>(whole.begin(), whole.begin() + cut));
    Reader ir = open(f.path);
    ASSERT_TRUE(ir);
    ASSERT_EQ(ir->errCode, IREnone);
    // Full size in 8 and 32 bits, half size, and a thumbnail decoded at an eighth.
    const struct {
      int div;
      const _ImgColorSpace* cs;
    } renders[] = {{1, &ICS_sRGB}, {1, &ICS_RGB709}, {2, &ICS_sRGB}, {8, &ICS_sRGB}};
    for (const auto& r : renders) {
      _ImgStruct img = {ir->xres / r.div, ir->yres / r.div, r.cs, 0, nullptr, nullptr};
      EXPECT_EQ(PrenderImageR(&img, ir.get(), 1), 0) << cut << " at 1/" << r.div;
      EXPECT_EQ(img.img, nullptr);
      EXPECT_EQ(ir->errCode, IREtruncated) << cut << " at 1/" << r.div;
      EXPECT_STREQ(ir->errMsg, "Premature end of JPEG file");
    }
  }
}

TEST(JpegReader, ThumbnailAndRendering) {
  if (!haveData()) GTEST_SKIP() << "shared test pictures absent";
  _ImgStruct img = {0, 0, &ICS_sRGB, 0, nullptr, nullptr};
  ASSERT_EQ(JRgetThumbnail(open(jpegData("Canon_40D.jpg")).get(), &img), IREnone);
  EXPECT_EQ(img.xres, 68);
  EXPECT_EQ(img.yres, 46);
  PfreeImage(&img);
  Reader desk = open(jpegData("desk_baseline_420.jpg"));
  img.xres = img.yres = 0;
  EXPECT_EQ(JRgetThumbnail(desk.get(), &img), IREunsupported);
  EXPECT_STREQ(desk->errMsg, "no thumbnail");
  // An 8-bit render at 1/8 straight into the output; a float render from 8-bit pixels.
  for (const _ImgColorSpace* cs : {&ICS_sRGB, &ICS_RGB709}) {
    img = {80, 108, cs, 0, nullptr, nullptr};
    ASSERT_EQ(PrenderImageR(&img, desk.get(), 1), 1);
    EXPECT_EQ(img.yres, 108);
    PfreeImage(&img);
  }
}

}  // namespace
