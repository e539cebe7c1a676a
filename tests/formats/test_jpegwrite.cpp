#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "formats/jpeg_test_util.h"

namespace {

_ImgWriteBuf writeBuf(int w, int h, const _ImgColorSpace* cs, const void* px) {
  _ImgWriteBuf wb;
  std::memset(&wb, 0, sizeof wb);
  wb = {w, h, w * PpixelSize(cs), 1.0f, cs, wb.info, px};
  return wb;
}

// Writes wb; the file's text when the byte count returned is the size of the file.
std::string writeText(const std::string& path, const _ImgWriteBuf& wb) {
  const long n = JPEGwriteImage(path.c_str(), &wb);
  const auto b = readFile(path);
  EXPECT_EQ(n, static_cast<long>(b.size()));
  return n > 0 && n == static_cast<long>(b.size()) ? std::string(b.begin(), b.end()) : "";
}

TEST(JpegWriter, EightBitImagesReadBackCloseToTheOriginal) {
  const int w = 203, h = 151;  // a picture with edges and texture as well as smooth ramps
  std::vector<uint8_t> px = testPattern(w, h);
  for (size_t i = 0; i < px.size(); ++i) {
    const int x = static_cast<int>(i / 3 % w), y = static_cast<int>(i / 3 / w);
    const double t = 40 * std::sin(x * 0.3) * std::cos(y * 0.2) + ((x / 16 + y / 16) % 2) * 30;
    px[i] = static_cast<uint8_t>(std::min(255.0, std::max(0.0, px[i] * 0.6 + 40 + t)));
  }
  TempFile f(".jpg");
  _ImgWriteBuf wb = writeBuf(w, h, &ICS_sRGB, px.data());
  wb.info.flags = IIFquality;
  wb.info.quality = 90;
  ASSERT_NE(writeText(f.path, wb), "");
  Reader ir(JRopen(f.path.c_str()));
  EXPECT_STREQ(ir->encoding, "DCT YCbCr");
  _ImgColorSpace cs = ICS_sRGB;
  const auto back = readAll(ir.get(), 1, &cs);
  ASSERT_EQ(back.size(), px.size());
  double se = 0;
  for (size_t i = 0; i < px.size(); ++i) se += (back[i] - px[i]) * (back[i] - px[i]);
  EXPECT_GE(10 * std::log10(255.0 * 255.0 / (se / px.size())), 38.0);  // PSNR in dB

  // Grey, with a row step larger than a row; without a quality the writer takes 90.
  std::vector<uint8_t> grey(static_cast<size_t>(w + 5) * h);
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<uint8_t>(i * 7);
  _ImgWriteBuf gb = writeBuf(w, h, &ICS_Y8, grey.data());
  gb.rowsize = w + 5;
  ASSERT_NE(writeText(f.path, gb), "");
  ir.reset(JRopen(f.path.c_str()));
  EXPECT_STREQ(ir->encoding, "DCT grayscale");
  _ImgInfo info;
  std::memset(&info, 0, sizeof info);
  JRgetInfo(ir.get(), &info);
  EXPECT_EQ(info.quality, 90);
}

TEST(JpegWriter, RefusesWhatItCannotStoreAndKeepsExistingFiles) {
  _ImgColorSpace rgba = ICS_sRGB, cmyk = ICS_sRGB;
  rgba.format = IPFrgba;
  cmyk.format = IPFcmyk;
  const _ImgColorSpace* refused[] = {&rgba, &cmyk, &ICS_Y16, &ICS_RGB709dB, &ICS_YdB};
  for (const _ImgColorSpace* cs : refused) EXPECT_EQ(JPEGsupportedCS(cs, 90), nullptr);
  EXPECT_STREQ(JPEGsupportedCS(&ICS_XYZ, 90), "JPEG HDR YCbCr");
  EXPECT_STREQ(JPEGsupportedCS(&ICS_sRGB, 100), "JPEG DCT YCbCr");
  EXPECT_STREQ(JPEGsupportedCS(&ICS_Y8, 50), "JPEG DCT grayscale");

  TempFile f(".jpg");
  writeFile(f.path, {'k', 'e', 'e', 'p'});
  std::vector<uint8_t> px(16 * 16 * 4, 128);
  for (const _ImgColorSpace* cs : refused) {
    _ImgWriteBuf wb = writeBuf(16, 16, cs, px.data());
    EXPECT_EQ(JPEGwriteImage(f.path.c_str(), &wb), 0);
  }
  _ImgWriteBuf wb = writeBuf(16, 16, &ICS_sRGB, px.data());
  wb.rowsize = 16;  // shorter than a row
  EXPECT_EQ(JPEGwriteImage(f.path.c_str(), &wb), 0);
  wb = writeBuf(0, 16, &ICS_sRGB, px.data());
  EXPECT_EQ(JPEGwriteImage(f.path.c_str(), &wb), 0);
  wb = writeBuf(16, 16, &ICS_sRGB, nullptr);
  EXPECT_EQ(JPEGwriteImage(f.path.c_str(), &wb), 0);
  EXPECT_EQ(readFile(f.path), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  wb = writeBuf(16, 16, &ICS_sRGB, px.data());
  EXPECT_EQ(JPEGwriteImage("", &wb), 0);
  EXPECT_EQ(JPEGwriteImage("/nonexistent/dir/x.jpg", &wb), 0);
}

// Rows handed over one at a time make the same file as the whole picture; a source that
// gives up leaves the old file as it was.
TEST(JpegWriter, StreamedRowsMakeTheSameFile) {
  const int w = 77, h = 45;
  std::vector<uint8_t> px = testPattern(w, h);
  struct Feed {
    const std::vector<uint8_t>* px;
    int w, last, stopAt;
  } feed = {&px, w, -1, h};
  auto source = [](uint8_t* row, int y, void* data) {
    Feed* f = static_cast<Feed*>(data);
    if (y != f->last + 1 || y == f->stopAt) return 0;
    f->last = y;
    std::memcpy(row, f->px->data() + static_cast<size_t>(y) * f->w * 3,
                static_cast<size_t>(f->w) * 3);
    return 1;
  };
  TempFile whole(".jpg"), rows(".jpg");
  _ImgWriteBuf wb = writeBuf(w, h, &ICS_sRGB, px.data());
  wb.info.flags = IIFquality;
  wb.info.quality = 83;
  ASSERT_GT(JPEGwriteImage24(whole.path.c_str(), &wb), 0);
  wb.img = nullptr;
  ASSERT_GT(JPEGwriteRows24(rows.path.c_str(), &wb, source, &feed), 0);
  EXPECT_EQ(feed.last, h - 1);
  EXPECT_EQ(readFile(rows.path), readFile(whole.path));
  feed = {&px, w, -1, h / 2};
  EXPECT_EQ(JPEGwriteRows24(rows.path.c_str(), &wb, source, &feed), 0);
  EXPECT_EQ(readFile(rows.path), readFile(whole.path));
  EXPECT_EQ(JPEGwriteRows24(rows.path.c_str(), &wb, nullptr, &feed), 0);
}

TEST(JpegWriter, HdrImagesReadBackAsFloatWithTheirFactor) {
  const int w = 96, h = 64;  // a dim ramp and a patch 400 times brighter
  std::vector<float> px(static_cast<size_t>(w) * h * 3);
  for (size_t i = 0; i < px.size(); ++i) {
    const int x = static_cast<int>(i / 3 % w), y = static_cast<int>(i / 3 / w);
    px[i] = (0.01f + 2.0f * x / w) * (1.0f - 0.2f * (i % 3)) * (x > w / 2 && y > h / 2 ? 400 : 1);
  }
  TempFile f(".jpg");
  _ImgWriteBuf wb = writeBuf(w, h, &ICS_RGB709, px.data());
  wb.info.flags = IIFstonits;
  wb.info.stonits = 179.0f;
  EXPECT_NE(writeText(f.path, wb).find("cor=0"), std::string::npos);  // full-size ratio image
  Reader ir(JRopen(f.path.c_str()));
  EXPECT_STREQ(ir->encoding, "HDR YCbCr");
  _ImgInfo info;
  std::memset(&info, 0, sizeof info);
  ASSERT_EQ(JRgetInfo(ir.get(), &info), IREnone);
  EXPECT_TRUE(info.flags & IIFstonits);
  EXPECT_FLOAT_EQ(info.stonits, 179.0f);
  _ImgColorSpace cs = ICS_RGB709;
  const auto raw = readAll(ir.get(), 1, &cs);
  ASSERT_EQ(raw.size(), px.size() * sizeof(float));
  const float* back = reinterpret_cast<const float*>(raw.data());
  // Luminance comes back within a few per cent across the range (the patch's edge aside).
  std::vector<double> err;
  for (size_t i = 0; i < px.size(); i += 3) {
    const double y0 = 0.2126 * px[i] + 0.7152 * px[i + 1] + 0.0722 * px[i + 2];
    const double y1 = 0.2126 * back[i] + 0.7152 * back[i + 1] + 0.0722 * back[i + 2];
    err.push_back(std::fabs(y1 / y0 - 1));
  }
  std::sort(err.begin(), err.end());
  EXPECT_LT(err[err.size() / 2], 0.03);
  EXPECT_LT(err[err.size() * 9 / 10], 0.1);
  // A byte request decodes the foreground as an ordinary JPEG.
  _ImgColorSpace bcs = ICS_sRGB;
  EXPECT_EQ(readAll(ir.get(), 1, &bcs).size(), static_cast<size_t>(w) * h * 3);
  _ImgStruct thumb = {24, 16, &ICS_sRGB, 0, nullptr, nullptr};  // read at 1/4
  EXPECT_EQ(PrenderImageR(&thumb, ir.get(), 1), 1);
  PfreeImage(&thumb);

  // Below quality 80 the ratio image is reduced; XYZ input is desaturated.
  wb.info.flags = IIFquality;
  wb.info.quality = 79;
  EXPECT_NE(writeText(f.path, wb).find("cor=1"), std::string::npos);
  wb.info.quality = 80;
  EXPECT_NE(writeText(f.path, wb).find("cor=0"), std::string::npos);
  wb.csp = &ICS_XYZ;
  const std::string text = writeText(f.path, wb);
  EXPECT_NE(text.find("alp=0.67"), std::string::npos);
  EXPECT_NE(text.find("bet=0.75"), std::string::npos);
}

}  // namespace
