#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/jpeg_test_util.h"
#include "formats/jpegio.h"

namespace {

_ImgWriteBuf writeBuf(int w, int h, const _ImgColorSpace* cs, const void* px) {
  _ImgWriteBuf wb;
  std::memset(&wb, 0, sizeof wb);
  wb.xres = w;
  wb.yres = h;
  wb.rowsize = w * PpixelSize(cs);
  wb.pixAspect = 1.0f;
  wb.csp = cs;
  wb.img = px;
  return wb;
}

// All of a file's pixels in the colour space the reader delivers for cs.
std::vector<uint8_t> readAll(_ImgReader* ir, _ImgColorSpace* cs) {
  _ImgReadBuf rb;
  std::memset(&rb, 0, sizeof rb);
  rb.cs = *cs;
  rb.r = {0, ir->xres, 0, ir->yres};
  rb.subsample = 1;
  std::vector<uint8_t> px(PreadBufBytes(&rb));
  rb.buf = px.data();
  rb.bufsize = px.size();
  if (JRreadRec(ir, &rb) != IREnone || rb.r.ybottom != ir->yres) return {};
  *cs = rb.cs;
  return px;
}

long fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// A picture with edges and texture as well as smooth ramps.
std::vector<uint8_t> texturedPicture(int w, int h) {
  std::vector<uint8_t> px = testPattern(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double t = 40 * std::sin(x * 0.3) * std::cos(y * 0.2) + ((x / 16 + y / 16) % 2) * 30;
      for (int c = 0; c < 3; ++c) {
        uint8_t& v = px[(static_cast<size_t>(y) * w + x) * 3 + c];
        v = static_cast<uint8_t>(std::min(255.0, std::max(0.0, v * 0.6 + 40 + t)));
      }
    }
  return px;
}

TEST(JpegWriter, EightBitImagesReadBackCloseToTheOriginal) {
  const int w = 203, h = 151;
  const auto px = texturedPicture(w, h);
  TempFile f(".jpg");
  _ImgWriteBuf wb = writeBuf(w, h, &ICS_sRGB, px.data());
  wb.info.flags = IIFquality;
  wb.info.quality = 90;
  const long n = JPEGwriteImage(f.path.c_str(), &wb);
  ASSERT_GT(n, 0);
  EXPECT_EQ(n, fileSize(f.path));
  Reader ir(JRopen(f.path.c_str()));
  ASSERT_TRUE(ir);
  EXPECT_STREQ(ir->encoding, "DCT YCbCr");
  _ImgInfo info;
  std::memset(&info, 0, sizeof info);
  ASSERT_EQ(JRgetInfo(ir.get(), &info), IREnone);
  EXPECT_EQ(info.quality, 90);
  _ImgColorSpace cs = ICS_sRGB;
  const auto back = readAll(ir.get(), &cs);
  ASSERT_EQ(back.size(), px.size());
  double se = 0;
  for (size_t i = 0; i < px.size(); ++i) se += (back[i] - px[i]) * (back[i] - px[i]);
  const double psnr = 10 * std::log10(255.0 * 255.0 / (se / px.size()));
  EXPECT_GE(psnr, 38.0);

  // Grey, with a row step larger than a row; no quality given means 90.
  std::vector<uint8_t> grey(static_cast<size_t>(w + 5) * h);
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<uint8_t>(i * 7);
  _ImgWriteBuf gb = writeBuf(w, h, &ICS_Y8, grey.data());
  gb.rowsize = w + 5;
  ASSERT_GT(JPEGwriteImage(f.path.c_str(), &gb), 0);
  ir.reset(JRopen(f.path.c_str()));
  ASSERT_TRUE(ir);
  EXPECT_STREQ(ir->encoding, "DCT grayscale");
  std::memset(&info, 0, sizeof info);
  JRgetInfo(ir.get(), &info);
  EXPECT_EQ(info.quality, 90);
}

TEST(JpegWriter, RefusesWhatItCannotStoreAndKeepsExistingFiles) {
  _ImgColorSpace rgbaW = ICS_sRGB, cmykW = ICS_sRGB;
  const _ImgColorSpace &rgba = rgbaW, &cmyk = cmykW, &log = ICS_RGB709dB;
  rgbaW.format = IPFrgba;
  cmykW.format = IPFcmyk;
  for (const _ImgColorSpace* cs : {&rgba, &cmyk, &ICS_Y16, &log, &ICS_YdB}) {
    EXPECT_EQ(JPEGsupportedCS(cs, 90), nullptr);
  }
  EXPECT_STREQ(JPEGsupportedCS(&ICS_XYZ, 90), "JPEG HDR YCbCr");
  EXPECT_STREQ(JPEGsupportedCS(&ICS_sRGB, 100), "JPEG DCT YCbCr");
  EXPECT_STREQ(JPEGsupportedCS(&ICS_Y8, 50), "JPEG DCT grayscale");

  TempFile f(".jpg");
  writeFile(f.path, {'k', 'e', 'e', 'p'});
  std::vector<uint8_t> px(16 * 16 * 4, 128);
  for (const _ImgColorSpace* cs : {&rgba, &cmyk, &ICS_Y16}) {
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
  EXPECT_EQ(JPEGwriteImage(f.path.c_str(), nullptr), 0);
}

// A float scene with a wide range: a dim ramp and a bright patch.
std::vector<float> hdrScene(int w, int h) {
  std::vector<float> px(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float* p = &px[(static_cast<size_t>(y) * w + x) * 3];
      const float base = 0.01f + 2.0f * x / w;
      const bool bright = x > w / 2 && y > h / 2;
      p[0] = base * (bright ? 400.f : 1.f);
      p[1] = base * 0.8f * (bright ? 400.f : 1.f);
      p[2] = base * (0.5f + 0.5f * y / h) * (bright ? 400.f : 1.f);
    }
  return px;
}

std::string fileText(const std::string& path) {
  const auto b = readFile(path);
  return std::string(b.begin(), b.end());
}

TEST(JpegWriter, HdrImagesReadBackAsFloatWithTheirFactor) {
  const int w = 96, h = 64;
  const auto px = hdrScene(w, h);
  TempFile f(".jpg");
  _ImgWriteBuf wb = writeBuf(w, h, &ICS_RGB709, px.data());
  wb.info.flags = IIFstonits;
  wb.info.stonits = 179.0f;
  const long n = JPEGwriteImage(f.path.c_str(), &wb);
  ASSERT_GT(n, 0);
  EXPECT_EQ(n, fileSize(f.path));
  EXPECT_NE(fileText(f.path).find("cor=0"), std::string::npos);  // full-size ratio image
  Reader ir(JRopen(f.path.c_str()));
  ASSERT_TRUE(ir);
  EXPECT_STREQ(ir->encoding, "HDR YCbCr");
  EXPECT_EQ(ir->cs.dtype, IDTfloat);
  _ImgInfo info;
  std::memset(&info, 0, sizeof info);
  ASSERT_EQ(JRgetInfo(ir.get(), &info), IREnone);
  EXPECT_TRUE(info.flags & IIFstonits);
  EXPECT_FLOAT_EQ(info.stonits, 179.0f);
  _ImgColorSpace cs = ICS_RGB709;
  const auto raw = readAll(ir.get(), &cs);
  ASSERT_EQ(raw.size(), px.size() * sizeof(float));
  const float* back = reinterpret_cast<const float*>(raw.data());
  // Luminance comes back within a few per cent across the whole range (the sharp edge of the
  // bright patch aside).
  std::vector<double> err;
  for (size_t i = 0; i < px.size(); i += 3) {
    const double y0 = 0.2126 * px[i] + 0.7152 * px[i + 1] + 0.0722 * px[i + 2];
    const double y1 = 0.2126 * back[i] + 0.7152 * back[i + 1] + 0.0722 * back[i + 2];
    err.push_back(std::fabs(y1 / y0 - 1));
  }
  std::sort(err.begin(), err.end());
  EXPECT_LT(err[err.size() / 2], 0.03);
  EXPECT_LT(err[err.size() * 95 / 100], 0.1);
  // A byte request decodes the foreground as an ordinary JPEG.
  _ImgColorSpace bcs = ICS_sRGB;
  EXPECT_EQ(readAll(ir.get(), &bcs).size(), static_cast<size_t>(w) * h * 3);
  EXPECT_EQ(bcs.dtype, IDTubyte);

  // Below quality 80 the ratio image is reduced; XYZ input is desaturated.
  wb.info.flags = IIFquality;
  wb.info.quality = 79;
  ASSERT_GT(JPEGwriteImage(f.path.c_str(), &wb), 0);
  EXPECT_NE(fileText(f.path).find("cor=1"), std::string::npos);
  wb.info.quality = 80;
  ASSERT_GT(JPEGwriteImage(f.path.c_str(), &wb), 0);
  EXPECT_NE(fileText(f.path).find("cor=0"), std::string::npos);
  wb.csp = &ICS_XYZ;
  ASSERT_GT(JPEGwriteImage(f.path.c_str(), &wb), 0);
  const std::string text = fileText(f.path);
  EXPECT_NE(text.find("alp=0.67"), std::string::npos);
  EXPECT_NE(text.find("bet=0.75"), std::string::npos);
}

}  // namespace
