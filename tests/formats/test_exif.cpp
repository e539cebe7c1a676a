#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/exif.h"
#include "formats/jpeg_test_util.h"
#include "formats/tiff_builder.h"
#include "formats/tiffin.h"

namespace {

// GetExifInfo over a block into info (zeroed first unless keep); -1 for an unreadable block.
int readInfo(const std::vector<uint8_t>& blk, _ImgInfo* info, bool keep = false) {
  if (!keep) std::memset(info, 0, sizeof *info);
  TIFFin t;
  return t.UseBuffer(blk.data(), blk.size()) ? GetExifInfo(info, &t) : -1;
}

double degrees(double radians) {
  return radians * 180 / M_PI;
}

class ExifOrder : public ::testing::TestWithParam<bool> {};

// A photograph's directories as a camera writes them, with the usual oddities.
TEST_P(ExifOrder, CameraFieldsExposureAndPosition) {
  TiffBuilder b(GetParam());
  const int d0 = b.addIfd(), ex = b.addIfd(false), gps = b.addIfd(false);
  b.ascii(d0, 270, "  A heron\x01 ");
  b.ascii(d0, 271, "Maker ");
  b.ascii(d0, 272, " Model 7");
  b.shorts(d0, 274, {6});
  b.rationals(d0, 282, {{300, 1}});
  b.shorts(d0, 296, {3});  // per centimetre
  b.ascii(d0, 305, "   ");
  b.ascii(d0, 306, "2006:13:14 12:00:00");  // month 13: kept but not valid
  b.ascii(d0, 315, "  Jo Doe ");
  b.pointer(d0, 34665, ex);
  b.pointer(d0, 34853, gps);
  b.rationals(ex, 33434, {{1, 100000}});  // too short: ShutterSpeedValue supplies it
  b.rationals(ex, 33437, {{8, 1}});
  b.shorts(ex, 34855, {100});
  b.ascii(ex, 36867, "2006:07:14 12:59:58");
  b.rationals(ex, 37377, {{7, 1}}, 10);  // 1/128 s
  b.rationals(ex, 37378, {{1, 1}});      // ignored: FNumber came first
  b.rationals(ex, 37382, {{35, 10}});
  b.shorts(ex, 37385, {7});
  b.rationals(ex, 37386, {{50, 1}});
  b.bytes(ex, 37510, 7, std::string("ASCII\0\0\0  on the bank \n\0\0", 25));
  b.longs(ex, 40962, {3000});
  b.rationals(ex, 41486, {{4000, 1}});
  b.ascii(gps, 1, "S");
  b.rationals(gps, 2, {{uint32_t(-33), 1}, {uint32_t(-30), 1}, {0, 1}},
              10);  // signed: its size counts
  b.ascii(gps, 3, "W");
  b.rationals(gps, 4, {{70, 1}, {15, 1}, {36, 1}});
  b.raw(gps, 5, 1, 1, {1});
  b.rationals(gps, 6, {{125, 10}});
  b.rationals(gps, 7, {{12, 1}, {59, 1}, {596, 10}});  // rounds to 60 s: not a valid time
  b.ascii(gps, 29, "2006:07:14");
  _ImgInfo info;
  ASSERT_EQ(readInfo(b.build(), &info), 1);
  EXPECT_STREQ(info.source.make, "Maker");
  EXPECT_STREQ(info.source.model, "Model 7");
  EXPECT_STREQ(info.source.vers, "v.0");
  EXPECT_STREQ(info.owner, "Jo Doe");
  EXPECT_STREQ(info.comments, "A heron?\non the bank\n");
  EXPECT_EQ(info.orientation, IOrighttop);
  EXPECT_FLOAT_EQ(info.hdensity, 762.0f);
  EXPECT_STREQ(info.capdate, "2006:07:14 12:59:58");
  EXPECT_FLOAT_EQ(info.exptime, 1.0f / 128);
  EXPECT_FLOAT_EQ(info.aperture, 8.0f);
  EXPECT_FLOAT_EQ(info.stonits, 87.0f * 64 * 128 / 100);
  EXPECT_FLOAT_EQ(info.focus, 3.5f);
  EXPECT_EQ(info.flash, IFMstrobe);
  // 3000 pixels at 4000 per inch behind a 50 mm lens.
  EXPECT_NEAR(info.hvangle, degrees(2 * std::atan(25.4 * 0.5 / 4000 * 3000 / 50)), 1e-4);
  EXPECT_FLOAT_EQ(info.latlong[0], -33.5f);
  EXPECT_NEAR(info.latlong[1], -70.26, 1e-5);
  EXPECT_FLOAT_EQ(info.altitude, -12.5f);
  EXPECT_STREQ(info.gmtdate, "2006:07:14 12:59:60");
  EXPECT_EQ(info.flags, IIFsource | IIFstonits | IIFcapdate | IIFhdensity | IIFhvangle | IIFfocus |
                            IIFlatlong | IIFaltitude | IIFflash | IIFexptime | IIFaperture |
                            IIFasa | IIFowner | IIFcomments | IIForientation);
}

TEST_P(ExifOrder, FallbacksWhenTheUsualTagsAreMissing) {
  TiffBuilder b(GetParam());
  const int d0 = b.addIfd(), ex = b.addIfd(false), gps = b.addIfd(false);
  b.shorts(d0, 256, {2048});
  b.ascii(d0, 271, "OLYMPUS OPTICAL CO.,LTD");
  b.ascii(d0, 272, "C3040Z");
  b.doubles(d0, 37439, {179.0});  // a stored factor wins over the exposure
  b.pointer(d0, 34665, ex);
  b.pointer(d0, 34853, gps);
  b.rationals(ex, 33434, {{1, 125}});
  b.rationals(ex, 37378, {{6, 1}});  // f/8 as an APEX value
  b.rationals(ex, 41493, {{200, 1}});
  b.rationals(ex, 37386, {{7, 1}});
  b.rationals(gps, 6, {{340, 1}});  // no reference: above sea level
  b.rationals(gps, 7, {{9, 1}, {5, 1}, {30, 1}});
  b.ascii(gps, 29, "2016:03:01");
  _ImgInfo info;
  ASSERT_EQ(readInfo(b.build(), &info), 1);
  EXPECT_FLOAT_EQ(info.stonits, 179.0f);
  EXPECT_FLOAT_EQ(info.aperture, 8.0f);
  EXPECT_FLOAT_EQ(info.asa, 200.0f);
  // The camera's sensor is 7.02 mm wide.
  EXPECT_NEAR(info.hvangle, degrees(2 * std::atan(7.02 * 0.5 / 7)), 1e-4);
  EXPECT_FLOAT_EQ(info.altitude, 340.0f);
  EXPECT_STREQ(info.gmtdate, "2016:03:01 09:05:30");
  EXPECT_TRUE(info.flags & IIFgmtdate);
  EXPECT_FALSE(info.flags & IIFlatlong);

  // A missing EXIF directory keeps what IFD0 gave, and flags are only ever added.
  TiffBuilder m(GetParam());
  const int n0 = m.addIfd();
  m.ascii(n0, 271, "Maker");
  m.ascii(n0, 272, "M");
  m.shorts(n0, 274, {9});  // no such orientation
  m.longs(n0, 34665, {60000});
  info.flags = IIFquality;
  ASSERT_EQ(readInfo(m.build(), &info, true), 0);
  EXPECT_EQ(info.flags, IIFquality | IIFsource);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ExifOrder, ::testing::Bool(),
                         [](const auto& i) { return i.param ? "II" : "MM"; });

TEST(Exif, LongTextsStayInsideTheirFields) {
  TiffBuilder b(false);
  const int d0 = b.addIfd(), ex = b.addIfd(false), gps = b.addIfd(false);
  const std::string x(5000, 'x');
  for (int tag : {270, 271, 272, 305, 306, 315}) b.ascii(d0, static_cast<uint16_t>(tag), x);
  b.pointer(d0, 34665, ex);
  b.pointer(d0, 34853, gps);
  b.bytes(ex, 37510, 7, "ASCII" + std::string(3, '\0') + x);
  b.shorts(ex, 37510, std::vector<uint32_t>(1024, 0x4141));  // a comment of another type
  b.ascii(gps, 1, x);
  b.ascii(gps, 29, x);
  b.rationals(gps, 7, {{1, 1}, {2, 1}, {3, 1}});
  _ImgInfo info;
  ASSERT_EQ(readInfo(b.build(), &info), 1);
  EXPECT_EQ(std::strlen(info.source.make), 63u);
  EXPECT_EQ(std::strlen(info.owner), 255u);
  EXPECT_EQ(std::strlen(info.comments), 2047u);
  EXPECT_EQ(std::strlen(info.capdate), 19u);
  EXPECT_EQ(std::strlen(info.gmtdate), 19u);
  EXPECT_EQ(info.flags & (IIFcapdate | IIFgmtdate), 0u);
}

TEST(Exif, ColourSpaceFromTheDirectories) {
  auto cs = [](TiffBuilder& b, _ImgColorSpace* out) {
    const auto blk = b.build();
    TIFFin t;
    return t.UseBuffer(blk.data(), blk.size()) ? GetExifCS(out, &t) : -1;
  };
  _ImgColorSpace out;
  TiffBuilder grey(true);
  const int g0 = grey.addIfd();
  grey.shorts(g0, 258, {8});
  grey.shorts(g0, 277, {1});
  ASSERT_EQ(cs(grey, &out), 1);
  EXPECT_TRUE(PmatchColorSpace(&out, &ICS_Y8, 31));
  // ColorSpace "uncalibrated" with InteroperabilityIndex "R03": Adobe RGB.
  TiffBuilder io(false);
  const int d0 = io.addIfd(), ex = io.addIfd(false), ix = io.addIfd(false);
  io.pointer(d0, 34665, ex);
  io.shorts(ex, 40961, {65535});
  io.pointer(ex, 40965, ix);
  io.ascii(ix, 1, "R03");
  ASSERT_EQ(cs(io, &out), 1);
  EXPECT_TRUE(PmatchColorSpace(&out, &ICS_AdobeRGB, 31));
  // Degenerate primaries make no colour space: the sRGB default stays.
  TiffBuilder flat(true);
  flat.rationals(flat.addIfd(), 319, {{1, 3}, {1, 3}, {1, 3}, {1, 3}, {1, 3}, {1, 3}});
  EXPECT_EQ(cs(flat, &out), 0);
  EXPECT_TRUE(PmatchColorSpace(&out, &ICS_sRGB, 31));
}

std::vector<uint8_t> thumbBlock(const std::vector<uint8_t>& jpeg, uint32_t claimedLength) {
  TiffBuilder b(true);
  b.shorts(b.addIfd(), 256, {100});
  const int d1 = b.addIfd();
  b.shorts(d1, 259, {6});
  b.blob(d1, 513, jpeg);
  b.longs(d1, 514, {claimedLength});
  return b.build();
}

TEST(Exif, ThumbnailDecodesAtTheFirstReductionThatFits) {
  const std::vector<uint8_t> jpeg = testJpeg(160, 120);
  const auto blk = thumbBlock(jpeg, static_cast<uint32_t>(jpeg.size()));
  TIFFin t;
  ASSERT_EQ(t.UseBuffer(blk.data(), blk.size()), 1);
  _ImgStruct img;
  std::memset(&img, 0, sizeof img);
  img.csp = &ICS_sRGB;
  ASSERT_EQ(GetExifThumbnail(&img, &t), 1);
  EXPECT_EQ(img.xres, 160);
  EXPECT_NEAR(img.img[60 * img.rowsize + 300], patternValue(100, 60, 160, 120, 0), 4);
  PfreeImage(&img);
  img.xres = img.yres = 40;
  ASSERT_EQ(GetExifThumbnail(&img, &t), 1);
  EXPECT_EQ(img.xres, 40);  // limited by its width: 160 / 4
  EXPECT_EQ(img.yres, 30);
  PfreeImage(&img);
  // A length beyond the data, data that is no JPEG, a grey output space: no thumbnail.
  for (const auto& bad : {thumbBlock(jpeg, 1u << 30), thumbBlock({1, 2, 3, 4, 5, 6}, 6), blk}) {
    ASSERT_EQ(t.UseBuffer(bad.data(), bad.size()), 1);
    img.xres = img.yres = 0;
    img.csp = bad == blk ? &ICS_Y8 : &ICS_sRGB;
    EXPECT_EQ(GetExifThumbnail(&img, &t), 0);
    EXPECT_EQ(img.img, nullptr);
  }
}

// Files written by the outside metadata tool, in both byte orders.
TEST(Exif, FilesWrittenByExiftoolInBothByteOrders) {
  if (!haveTool("exiftool")) GTEST_SKIP() << "exiftool not installed";
  for (const char* order : {"Little-endian", "Big-endian"}) {
    TempFile f(".jpg");
    writeFile(f.path, testJpeg(64, 48));
    ASSERT_EQ(testutil::RunProgram(
                  {"exiftool", "-q", "-overwrite_original", std::string("-ExifByteOrder=") + order,
                   "-ExposureTime=1/125", "-FNumber=8", "-ISO=100", "-GPSLatitude=33.5",
                   "-GPSLatitudeRef=S", "-GPSLongitude=70.25", "-GPSLongitudeRef=W",
                   "-GPSAltitude=12.5", "-GPSAltitudeRef#=1", f.path},
                  nullptr, testutil::Errors::kShown),
              0);
    const std::vector<uint8_t> app1 = exifSegment(readFile(f.path));
    ASSERT_GT(app1.size(), 6u) << order;
    const std::vector<uint8_t> blk(app1.begin() + 6, app1.end());
    EXPECT_EQ(blk[0], order[0] == 'L' ? 'I' : 'M');
    _ImgInfo info;
    EXPECT_EQ(readInfo(blk, &info), 1);
    EXPECT_FLOAT_EQ(info.stonits, 6960.0f) << order;
    EXPECT_FLOAT_EQ(info.latlong[0], -33.5f);
    EXPECT_FLOAT_EQ(info.latlong[1], -70.25f);
    EXPECT_FLOAT_EQ(info.altitude, -12.5f);
    EXPECT_EQ(info.flags & (IIFlatlong | IIFaltitude), IIFlatlong | IIFaltitude);
  }
}

}  // namespace
