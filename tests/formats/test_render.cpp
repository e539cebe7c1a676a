// Full-size renders of real files into float, 16-bit and grey images: whatever pixel size the
// reader delivers, the render equals the 8-bit render converted by the image library.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "format_test_util.h"
#include "formats/stdformats.h"
#include "image/pconvert.h"

using fmttest::Data;

namespace {

const _ImgColorSpace kRGB16 = [] {
  _ImgColorSpace cs = ICS_sRGB;
  cs.dtype = IDTushort;
  return cs;
}();

// A full-size render of path into cs; an image without pixels when it fails. The random
// generator is reset first, so that the smoothing transform of two JPEG decodes agrees.
_ImgStruct Render(const std::string& path, const _ImgColorSpace* cs) {
  _ImgStruct img;
  memset(&img, 0, sizeof img);
  _ImgReader* ir = PopenImageF(path.c_str(), 1, nullptr);
  if (ir == nullptr) return img;
  img.xres = ir->xres;
  img.yres = ir->yres;
  img.csp = cs;
  srand(11);
  EXPECT_EQ(PrenderImageR(&img, ir, 1), 1) << path << ": " << ir->errMsg;
  ir->ri->Close(ir);
  return img;
}

// The whole picture as the reader delivers it in cs (its own colour space when cs is null).
_ImgStruct Native(const std::string& path, const _ImgColorSpace* cs) {
  _ImgStruct img;
  memset(&img, 0, sizeof img);
  _ImgReader* ir = PopenImageF(path.c_str(), 1, nullptr);
  if (ir == nullptr) return img;
  static _ImgColorSpace delivered;
  _ImgReadBuf rb;
  memset(&rb, 0, sizeof rb);
  rb.cs = cs != nullptr ? *cs : ir->cs;
  rb.r = {0, ir->xres, 0, ir->yres};
  rb.subsample = 1;
  rb.bufsize = PreadBufBytes(&rb);
  img.xres = ir->xres;
  img.yres = ir->yres;
  img.csp = &delivered;
  delivered = rb.cs;
  if (PnewImage(&img, 0.0)) {
    rb.buf = img.img;
    srand(11);
    EXPECT_EQ(ir->ri->ReadRec(ir, &rb), IREnone) << path;
    EXPECT_EQ(PpixelSize(&rb.cs), PpixelSize(&delivered)) << path;
    delivered = rb.cs;
  }
  ir->ri->Close(ir);
  return img;
}

// Sample i of row y as a float, integer codes scaled so that the largest is 1. (A conversion
// in place may leave wider samples on rows of any byte alignment.)
double Sample(const _ImgStruct& img, int y, int i) {
  const uint8_t* row = img.img + static_cast<ptrdiff_t>(img.rowsize) * y;
  uint16_t u;
  float f;
  switch (img.csp->dtype) {
    case IDTubyte:
      return row[i] / 255.0;
    case IDTushort:
      std::memcpy(&u, row + 2 * i, 2);
      return u / 65535.0;
    default:
      std::memcpy(&f, row + 4 * i, 4);
      return f;
  }
}

// A 16-bit grey TIFF made from the green samples of the 16-bit RGB test file.
std::string Grey16Tiff() {
  const fmttest::Plain rgb = fmttest::ReadPlain(Data("tiff") + "desk_rgb16.tif");
  TIFF* in = TIFFOpen((Data("tiff") + "desk_rgb16.tif").c_str(), "r");
  if (in == nullptr || rgb.spp != 3) return "";
  uint32_t w = 0, h = 0;
  TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(in, TIFFTAG_IMAGELENGTH, &h);
  TIFFClose(in);
  const std::string path = fmttest::Temp("grey16.tif");
  TIFF* t = TIFFOpen(path.c_str(), "w");
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  std::vector<uint16_t> row(w);
  const uint16_t* px = reinterpret_cast<const uint16_t*>(rgb.px.data());
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) row[x] = px[(static_cast<size_t>(y) * w + x) * 3 + 1];
    TIFFWriteScanline(t, row.data(), y, 0);
  }
  TIFFClose(t);
  return path;
}

TEST(FullSizeRender, EqualsTheFilesPixelsConverted) {
  SKIP_WITHOUT("jpeg");
  ASSERT_EQ(PloadStandardReaders(), 1);
  std::vector<std::string> files = {
      Data("jpeg") + "desk_baseline_420.jpg", Data("jpeg") + "desk_grey.jpg",
      Data("tiff") + "desk_rgb8_lzw.tif",     Data("tiff") + "desk_grey8.tif",
      Data("tiff") + "desk_rgb16.tif",        Grey16Tiff(),
      Data("tiff") + "desk_logl16.tif"};
  for (const char* b : {"bmp3_mono1", "bmp3_pal4", "bmp3_pal8", "bmp3_rle8", "bmp3_rgb24",
                        "v5_rgb565_bitfields", "v5_argb32_bitfields"})
    files.push_back(Data("bmp") + "desk_im_" + b + ".bmp");
  for (const std::string& f : files) {
    const bool jpeg = f.compare(f.size() - 4, 4, ".jpg") == 0;
    for (const _ImgColorSpace* cs : {&ICS_RGB709, &ICS_Y, &kRGB16, &ICS_Y16, &ICS_Y8}) {
      // A JPEG decodes grey requests to libjpeg's own luma; 8-bit output of wider data is the
      // reader's tone mapping, no conversion.
      _ImgStruct want = Native(f, jpeg && cs->format == IPFy ? &ICS_Y8 : nullptr);
      ASSERT_NE(want.img, nullptr) << f;
      if (cs->dtype == IDTubyte && want.csp->dtype != IDTubyte) {
        PfreeImage(&want);
        continue;
      }
      ASSERT_EQ(PconvertColorSpace(&want, cs, 1.0), 1) << f;
      _ImgStruct got = Render(f, cs);
      ASSERT_NE(got.img, nullptr) << f;
      ASSERT_EQ(got.xres, want.xres);
      ASSERT_EQ(got.yres, want.yres);
      // One code of the output's type; a float differs only by the order of its arithmetic.
      const double tol = cs->dtype == IDTubyte    ? 1.0 / 255
                         : cs->dtype == IDTushort ? 1.0 / 65535
                                                  : 1e-5;
      const int n = got.xres * ImgPixelLen[cs->format];
      int bad = 0;
      for (int y = 0; y < got.yres && bad < 3; ++y) {
        double worst = 0;
        for (int i = 0; i < n; ++i) {
          const double w = Sample(want, y, i);
          worst = std::max(worst, std::fabs(Sample(got, y, i) - w) / std::max(1.0, std::fabs(w)));
        }
        if (worst > tol) {
          ++bad;
          ADD_FAILURE() << f << " into " << ImgDataTypeName[cs->dtype] << " "
                        << ImgPixelFormatName[cs->format] << ": row " << y << " differs by "
                        << worst;
        }
      }
      PfreeImage(&got);
      PfreeImage(&want);
    }
  }
}

}  // namespace
