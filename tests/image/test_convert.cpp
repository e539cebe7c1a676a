#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "image/corvane.h"
#include "image/pconvkern.h"
#include "support/fvect.h"
#include "test_image_msgs.h"

namespace {

_ImgStruct Blank(int w, int h, const _ImgColorSpace* cs) {
  _ImgStruct im = {};
  im.xres = w;
  im.yres = h;
  im.csp = cs;
  return im;
}

void FillRandom(_ImgStruct* im, unsigned seed) {
  std::mt19937 rng(seed);
  const size_t w = size_t(im->xres) * PpixelSize(im->csp);
  for (int y = 0; y < im->yres; y++)
    for (size_t i = 0; i < w; i++) im->img[y * im->rowsize + i] = uint8_t(rng());
}

bool SamePixels(const _ImgStruct* a, const _ImgStruct* b) {
  if (a->xres != b->xres || a->yres != b->yres) return false;
  const size_t w = size_t(a->xres) * PpixelSize(a->csp);
  for (int y = 0; y < a->yres; y++)
    if (std::memcmp(a->img + y * a->rowsize, b->img + y * b->rowsize, w) != 0) return false;
  return true;
}

// ---- Conversion records ----

TEST(ConvertRecord, MatrixChoice) {
  _ImgColorConv cv;
  ASSERT_EQ(setColorConv(&cv, &ICS_Y8, &ICS_sRGB, 1.0), 1);
  EXPECT_EQ(cv.usemat, 1);  // an RGB source always goes through its matrix
  EXPECT_NEAR(cv.cmat[1][0] + cv.cmat[1][1] + cv.cmat[1][2], 1.0, 1e-4);
  EXPECT_EQ(cv.dpsize, 1);

  ASSERT_EQ(setColorConv(&cv, &ICS_AdobeRGB, &ICS_sRGB, 1.0), 1);
  EXPECT_EQ(cv.usemat, 1);                  // primaries differ
  EXPECT_NEAR(cv.cmat[0][0], 0.715, 0.01);  // sRGB red lies inside the Adobe gamut
  EXPECT_NEAR(cv.cmat[1][1], 1.0, 0.001);

  ASSERT_EQ(setColorConv(&cv, &ICS_sRGB, &ICS_sRGB, 1.0), 1);
  EXPECT_EQ(cv.usemat, 0);
  ASSERT_EQ(setColorConv(&cv, &ICS_sRGB, &ICS_sRGB, 2.0), 1);
  EXPECT_EQ(cv.usemat, 1);
  EXPECT_EQ(cv.sgamma, 1.f);
  EXPECT_EQ(cv.digamma, 1.f);
  const float d = float(std::pow(2.0, 1.0 / 2.2));
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) EXPECT_FLOAT_EQ(cv.cmat[i][j], i == j ? d : 0.f);

  // Gamma merge towards the smaller power: linear float to 2.2.
  ASSERT_EQ(setColorConv(&cv, &ICS_Y8, &ICS_Y, 1.0), 1);
  EXPECT_EQ(cv.usemat, 0);
  EXPECT_EQ(cv.sgamma, 1.f);
  EXPECT_FLOAT_EQ(cv.digamma, 1 / 2.2f);
}

TEST(ConvertRecord, LogarithmicCodesAndScale) {
  _ImgColorConv cv;
  ASSERT_EQ(setColorConv(&cv, &ICS_YdB, &ICS_YdB, 10.0), 1);
  EXPECT_EQ(cv.usemat, 0);
  EXPECT_EQ(cv.cmat[1][1], 1.f);
  EXPECT_NEAR(cv.logoff, 10.f, 1e-5);
  EXPECT_EQ(cv.slogorig, 0.f);
  EXPECT_EQ(cv.dlogorig, 0.f);
  const float in = 3.f;
  float out = 0.f;
  ASSERT_EQ(PconvertPixels(&out, &in, 1, &cv), 1);
  EXPECT_NEAR(out, 13.f, 1e-5);

  // Decibel grey to linear grey and back.
  const float db[3] = {0.f, 10.f, -20.f};
  float lin[3], back[3];
  _ImgColorConv a, b;
  ASSERT_EQ(setColorConv(&a, &ICS_Y, &ICS_YdB, 1.0), 1);
  ASSERT_EQ(setColorConv(&b, &ICS_YdB, &ICS_Y, 1.0), 1);
  ASSERT_EQ(PconvertPixels(lin, db, 3, &a), 1);
  EXPECT_NEAR(lin[0], 1.0, 1e-6);
  EXPECT_NEAR(lin[1], 10.0, 1e-5);
  EXPECT_NEAR(lin[2], 0.01, 1e-8);
  ASSERT_EQ(PconvertPixels(back, lin, 3, &b), 1);
  for (int i = 0; i < 3; i++) EXPECT_NEAR(back[i], db[i], 1e-4);
  const float zero = 0.f;
  ASSERT_EQ(PconvertPixels(back, &zero, 1, &b), 1);
  EXPECT_FLOAT_EQ(back[0], -300.f);  // -30 / gamma 0.1

  // 16-bit LogL: one code step is 1/256 of a doubling.
  uint16_t codes[2] = {16384, 16640};  // 256 codes per doubling, 1.0 near 16384
  float lum[2];
  ASSERT_EQ(setColorConv(&a, &ICS_Y, &ICS_LogL16, 1.0), 1);
  ASSERT_EQ(PconvertPixels(lum, codes, 2, &a), 1);
  EXPECT_NEAR(lum[1] / lum[0], 2.0, 1e-4);
  EXPECT_NEAR(lum[0], 1.0, 0.01);
  uint16_t again[2];
  ASSERT_EQ(setColorConv(&b, &ICS_LogL16, &ICS_Y, 1.0), 1);
  ASSERT_EQ(PconvertPixels(again, lum, 2, &b), 1);
  EXPECT_NEAR(again[0], 16384, 1);
  EXPECT_NEAR(again[1], 16640, 1);
  // LogL16 to itself at scale 2 moves every code up by 256.
  ASSERT_EQ(setColorConv(&a, &ICS_LogL16, &ICS_LogL16, 2.0), 1);
  ASSERT_EQ(PconvertPixels(again, codes, 2, &a), 1);
  EXPECT_NEAR(again[0], 16640, 1);
  EXPECT_NEAR(again[1], 16896, 1);
}

TEST(ConvertRecord, Refusals) {
  MessageCapture msgs;
  _ImgColorConv cv;
  _ImgColorSpace cmyk = ICS_sRGB;
  cmyk.format = IPFcmyk;
  EXPECT_EQ(setColorConv(&cv, &ICS_sRGB, &cmyk, 1.0), 0);
  EXPECT_TRUE(msgs.Saw(DMCparameter, "Unsupported color space conversion"));
  msgs.Clear();
  EXPECT_EQ(setColorConv(&cv, &cmyk, &ICS_sRGB, 1.0), 0);
  EXPECT_TRUE(msgs.Saw(DMCparameter, "Unsupported color space conversion"));
  msgs.Clear();
  EXPECT_EQ(setColorConv(&cv, &ICS_D, &ICS_Y, 1.0), 0);  // depth only from depth
  EXPECT_EQ(setColorConv(&cv, &ICS_VEC3, &ICS_RGB709, 1.0), 0);
  EXPECT_EQ(msgs.Count(), 2u);
  msgs.Clear();
  EXPECT_EQ(setColorConv(&cv, &ICS_sRGB, &ICS_sRGB, -1.0), 0);
  EXPECT_TRUE(msgs.Saw(DMCparameter, "Illegal scale factor (-1.000000e+00)"));
  EXPECT_EQ(setColorConv(&cv, &ICS_RGB709, &ICS_sRGB, -1.0), 1);  // float may go negative
  msgs.Clear();
  EXPECT_EQ(setColorConv(&cv, &ICS_sRGB, &ICS_sRGB, std::nan("")), 0);
  EXPECT_EQ(setColorConv(&cv, &ICS_RGB709, &ICS_sRGB, HUGE_VAL), 0);
  EXPECT_EQ(msgs.Count(), 2u);
  msgs.Clear();
  _ImgColorSpace flat = ICS_sRGB;
  flat.gamma = 0.f;
  EXPECT_EQ(setColorConv(&cv, &flat, &ICS_sRGB, 1.0), 0);
  EXPECT_TRUE(msgs.Saw(DMCparameter, "Illegal gamma"));
  msgs.Clear();
  // Unusable primaries are a warning and the standard ones.
  _ImgColorSpace odd = ICS_sRGB;
  odd.chroma[3][1] = 0.f;
  EXPECT_EQ(setColorConv(&cv, &ICS_Y8, &odd, 1.0), 1);
  EXPECT_TRUE(msgs.Saw(DMCwarning, "Bad color conversion from source"));
  EXPECT_EQ(setColorConv(&cv, &odd, &ICS_Y8, 1.0), 1);
  EXPECT_TRUE(msgs.Saw(DMCwarning, "Bad color conversion to destination"));
}

// ---- Pixel runs ----

TEST(ConvertPixels, CountsAndSelfMapping) {
  MessageCapture msgs;
  _ImgColorConv cv;
  ASSERT_EQ(setColorConv(&cv, &ICS_RGB709, &ICS_sRGB, 1.0), 1);
  std::vector<uint8_t> buf(2000 * 12);
  EXPECT_EQ(PconvertPixels(buf.data(), buf.data(), 0, &cv), 1);
  EXPECT_EQ(PconvertPixels(buf.data(), buf.data(), -1, &cv), 0);
  EXPECT_EQ(PconvertPixels(nullptr, buf.data(), 5, &cv), 0);
  EXPECT_EQ(msgs.Count(), 0u);
  EXPECT_EQ(PconvertPixels(buf.data(), buf.data(), 2000, &cv), 0);
  EXPECT_TRUE(msgs.Saw(DMCparameter, "Cannot map pixel buffer onto itself"));
  // Up to one batch widens in place correctly.
  for (int i = 0; i < 300; i++) buf[i] = uint8_t(i * 7);
  std::vector<uint8_t> expect(100 * 12);
  ASSERT_EQ(PconvertPixels(expect.data(), buf.data(), 100, &cv), 1);
  ASSERT_EQ(PconvertPixels(buf.data(), buf.data(), 100, &cv), 1);
  EXPECT_EQ(std::memcmp(buf.data(), expect.data(), expect.size()), 0);
}

TEST(ConvertPixels, DarkValuesUseTheExactPower) {
  _ImgColorConv cv;
  ASSERT_EQ(setColorConv(&cv, &ICS_Y8, &ICS_Y, 1.0), 1);
  const float v[4] = {0.01f, 0.0119f, 0.012f, 0.5f};
  uint8_t out[4];
  ASSERT_EQ(PconvertPixels(out, v, 4, &cv), 1);
  EXPECT_EQ(out[0], int(256 * std::pow(0.01, 1 / 2.2)));
  EXPECT_EQ(out[1], int(256 * std::pow(double(0.0119f), double(1 / 2.2f))));
  EXPECT_EQ(out[2], cv.enctab[int(0.012f * 1024)]);
  EXPECT_EQ(out[3], cv.enctab[512]);
}

TEST(ConvertPixels, NonFiniteFloatsEncodeSafely) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float in[12] = {nan, inf, -inf, -nan, 0.f, 1e30f, -1e30f, 2.f, 0.5f, nan, nan, nan};
  _ImgColorConv cv;
  uint8_t b8[12];
  ASSERT_EQ(setColorConv(&cv, &ICS_sRGB, &ICS_RGB709, 1.0), 1);
  ASSERT_EQ(PconvertPixels(b8, in, 4, &cv), 1);
  EXPECT_EQ(b8[0], 0);
  EXPECT_EQ(b8[1], 255);
  EXPECT_EQ(b8[2], 0);
  EXPECT_EQ(b8[3], 0);
  EXPECT_EQ(b8[5], 255);
  EXPECT_EQ(b8[6], 0);
  EXPECT_EQ(b8[9], 0);
  uint8_t p8[12];
  ASSERT_EQ(PconvertPixelsPlain(p8, in, 4, &cv), 1);
  EXPECT_EQ(std::memcmp(b8, p8, 12), 0);

  uint16_t s16[3];
  const float grey[3] = {nan, inf, -inf};
  ASSERT_EQ(setColorConv(&cv, &ICS_Y16, &ICS_Y, 1.0), 1);
  ASSERT_EQ(PconvertPixels(s16, grey, 3, &cv), 1);
  EXPECT_EQ(s16[0], 0);
  EXPECT_EQ(s16[1], 65535);
  EXPECT_EQ(s16[2], 0);
  ASSERT_EQ(setColorConv(&cv, &ICS_LogL16, &ICS_Y, 1.0), 1);
  ASSERT_EQ(PconvertPixels(s16, grey, 3, &cv), 1);
  EXPECT_EQ(s16[0], 0);
  EXPECT_EQ(s16[1], 65535);
  EXPECT_EQ(s16[2], 0);
  _ImgColorSpace logbyte = ICS_Y8;
  logbyte.logorig = 0.001f;
  logbyte.gamma = 6.f;
  ASSERT_EQ(setColorConv(&cv, &logbyte, &ICS_Y, 1.0), 1);
  ASSERT_EQ(PconvertPixels(b8, grey, 3, &cv), 1);
  EXPECT_EQ(b8[0], 0);
  EXPECT_EQ(b8[1], 255);
  EXPECT_EQ(b8[2], 0);
  // A NaN vector has no direction.
  uint32_t code = 1;
  ASSERT_EQ(setColorConv(&cv, &ICS_ENORM, &ICS_VEC3, 1.0), 1);
  ASSERT_EQ(PconvertPixels(&code, grey, 1, &cv), 1);
  EXPECT_EQ((code >> 5) & 0x1fff, (code >> 5) & 0x1fff);  // defined, whatever it is
}

TEST(ConvertPixels, ByteFloatByteWithinOne) {
  for (const _ImgColorSpace* cs : {&ICS_sRGB, &ICS_AdobeRGB}) {
    const _ImgColorSpace* lin = cs == &ICS_sRGB ? &ICS_RGB709 : &ICS_RGB98Adobe;
    _ImgColorConv up, down;
    ASSERT_EQ(setColorConv(&up, lin, cs, 1.0), 1);
    ASSERT_EQ(setColorConv(&down, cs, lin, 1.0), 1);
    uint8_t in[256 * 3], out[256 * 3];
    float mid[256 * 3];
    for (int i = 0; i < 256; i++) {
      in[3 * i] = uint8_t(i);
      in[3 * i + 1] = uint8_t(255 - i);
      in[3 * i + 2] = uint8_t(i * 37);
    }
    ASSERT_EQ(PconvertPixels(mid, in, 256, &up), 1);
    ASSERT_EQ(PconvertPixels(out, mid, 256, &down), 1);
    for (int i = 0; i < 768; i++) ASSERT_LE(std::abs(int(out[i]) - int(in[i])), 1) << i;
  }
  // Grey through XYZ and 16 bits.
  _ImgColorConv a, b;
  ASSERT_EQ(setColorConv(&a, &ICS_Y16, &ICS_Y8, 1.0), 1);
  ASSERT_EQ(setColorConv(&b, &ICS_Y8, &ICS_Y16, 1.0), 1);
  uint8_t g[256], g2[256];
  uint16_t w[256];
  for (int i = 0; i < 256; i++) g[i] = uint8_t(i);
  ASSERT_EQ(PconvertPixels(w, g, 256, &a), 1);
  ASSERT_EQ(PconvertPixels(g2, w, 256, &b), 1);
  for (int i = 0; i < 256; i++) ASSERT_LE(std::abs(g2[i] - i), 1) << i;
}

// Every fast kernel gives the plain path's bytes.
// 8-bit logarithmic RGB of two code steps: converted on the codes, with a matrix and offset.
_ImgColorSpace LogRGB8(float decades) {
  _ImgColorSpace cs = ICS_sRGB;
  cs.logorig = 0.001f;
  cs.gamma = decades;
  return cs;
}
const _ImgColorSpace kLog4 = LogRGB8(4.f), kLog6 = LogRGB8(6.f);

TEST(ConvertPixels, FastPathsAgreeWithPlain) {
  struct Case {
    const _ImgColorSpace* dst;
    const _ImgColorSpace* src;
    double scale;
    int32_t kind;
  };
  const Case cases[] = {
      {&ICS_AdobeRGB, &ICS_sRGB, 1.0, PCFrgb8rgb8},
      {&ICS_sRGB, &ICS_AdobeRGB, 1.7, PCFrgb8rgb8},
      {&ICS_sRGB, &ICS_sRGB, 0.5, PCFrgb8rgb8},
      {&ICS_sRGB, &ICS_sRGB, 1.0, PCFlut8},
      {&ICS_Y8, &ICS_sRGB, 1.0, PCFrgb8y8},
      {&ICS_sRGB, &ICS_Y8, 1.0, PCFlut8},
      {&ICS_Y8, &ICS_Y8, 3.0, PCFlut8},
      {&ICS_Y8, &ICS_AdobeRGB, 1.0, PCFrgb8y8},
      {&ICS_sRGB, &ICS_RGB709, 1.0, PCFfrgbrgb8},
      {&ICS_sRGB, &ICS_RGB98Adobe, 0.8, PCFfrgbrgb8},
      {&ICS_AdobeRGB, &ICS_XYZ, 1.0, PCFnone},
      {&kLog6, &kLog4, 3.0, PCFrgb8rgb8},
      {&kLog4, &kLog4, 0.5, PCFlut8},
  };
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> uni(-0.1f, 1.2f);
  std::uniform_real_distribution<float> dark(0.f, 0.02f);
  for (const Case& c : cases) {
    _ImgColorConv cv;
    ASSERT_EQ(setColorConv(&cv, c.dst, c.src, c.scale), 1);
    if (c.kind != PCFnone) {
      EXPECT_EQ(cv.fast, c.kind);
    }
    const int n = 5000;
    const int sp = PpixelSize(c.src), dp = PpixelSize(c.dst);
    std::vector<uint8_t> src(size_t(n) * sp), a(size_t(n) * dp), b(size_t(n) * dp);
    if (c.src->dtype == IDTfloat) {
      float* f = reinterpret_cast<float*>(src.data());
      for (int i = 0; i < 3 * n; i++) f[i] = (i % 3 == 0) ? dark(rng) : uni(rng);
      f[0] = std::numeric_limits<float>::quiet_NaN();
      f[4] = std::numeric_limits<float>::infinity();
    } else {
      for (auto& v : src) v = uint8_t(rng());
    }
    ASSERT_EQ(PconvertPixels(a.data(), src.data(), n, &cv), 1);
    ASSERT_EQ(PconvertPixelsPlain(b.data(), src.data(), n, &cv), 1);
    EXPECT_EQ(a, b) << c.src->format << " to " << c.dst->format << " at " << c.scale;
    // The same pixels from a source that is not aligned to its components.
    std::vector<uint8_t> shifted(src.size() + 1);
    std::memcpy(shifted.data() + 1, src.data(), src.size());
    ASSERT_EQ(PconvertPixels(a.data(), shifted.data() + 1, n, &cv), 1);
    EXPECT_EQ(a, b);
  }
}

// The dark thresholds reproduce the power exactly, also right at each step.
TEST(ConvertPixels, DarkThresholdsMatchThePower) {
  for (double g : {2.2, 2.19921875, 1.0, 1.8, 0.45}) {
    _ImgColorSpace dst = ICS_Y8;
    dst.gamma = float(g);
    _ImgColorConv cv;
    ASSERT_EQ(setColorConv(&cv, &dst, &ICS_Y, 1.0), 1);
    for (int c = 1; c < cv.ndark; c++) {
      const float t = cv.darkthr[c];
      EXPECT_EQ(PconvEncByteFast(t, &cv), PconvEncByte(t, &cv));
      const float below = std::nextafter(t, 0.f);
      EXPECT_EQ(PconvEncByteFast(below, &cv), PconvEncByte(below, &cv));
    }
    for (float v = 1e-9f; v < PCONV_DARK; v = v * 1.0007f + 1e-9f)
      ASSERT_EQ(PconvEncByteFast(v, &cv), PconvEncByte(v, &cv)) << v << " gamma " << g;
  }
}

TEST(ConvertPixels, DirectionCodesRoundTrip) {
  _ImgColorConv enc, dec;
  ASSERT_EQ(setColorConv(&enc, &ICS_ENORM, &ICS_VEC3, 1.0), 1);
  ASSERT_EQ(setColorConv(&dec, &ICS_VEC3, &ICS_ENORM, 1.0), 1);
  const float v[9] = {3.f, 0.f, 4.f, 0.f, 0.f, 0.f, -1.f, -2.f, 2.f};
  uint32_t codes[3];
  float back[9];
  ASSERT_EQ(PconvertPixels(codes, v, 3, &enc), 1);
  EXPECT_EQ(codes[1], 0u);
  ASSERT_EQ(PconvertPixels(back, codes, 3, &dec), 1);
  EXPECT_NEAR(back[0], 0.6, 1e-4);
  EXPECT_NEAR(back[2], 0.8, 1e-4);
  EXPECT_EQ(back[3] + back[4] + back[5], 0.f);
  EXPECT_NEAR(back[6], -1.f / 3, 1e-4);
  EXPECT_NEAR(back[8], 2.f / 3, 1e-4);
}

// ---- Whole images ----

TEST(ConvertImage, MapChecksSizesAndRefusesBadOverlap) {
  MessageCapture msgs;
  _ImgStruct a = Blank(4, 4, &ICS_sRGB), b = Blank(5, 4, &ICS_sRGB);
  ASSERT_EQ(PnewImage(&a, 0.0), 1);
  ASSERT_EQ(PnewImage(&b, 0.0), 1);
  EXPECT_EQ(PmapImage(&b, &a, 1.0), 0);
  EXPECT_TRUE(msgs.Saw(DMCparameter, "Mismatched image dimensions"));
  EXPECT_NE(b.img, nullptr);  // the caller's pixels stay
  _ImgStruct narrow = a;
  narrow.csp = &ICS_RGB709;
  EXPECT_EQ(PmapImage(&narrow, &a, 1.0), 0);
  EXPECT_TRUE(msgs.Saw(DMCparameter, "New pixel size does not fit"));

  // A view flipped onto its own rows cannot be copied row by row.
  FillRandom(&a, 1);
  _ImgStruct flip = a;
  flip.img = a.img + 3 * a.rowsize;
  flip.rowsize = -a.rowsize;
  flip.mbase = nullptr;
  msgs.Clear();
  EXPECT_EQ(PmapImage(&flip, &a, 1.0), 0);
  EXPECT_TRUE(msgs.Saw(DMCparameter, "Bad image overlap for copy"));
  EXPECT_EQ(PmapImage(&flip, &a, 0.5), 0);
  EXPECT_TRUE(msgs.Saw(DMCparameter, "Bad image overlap for color conversion"));

  // A new destination takes the source's size; an unsupported one is left without pixels.
  _ImgStruct fresh = Blank(0, 0, &ICS_Y16);
  ASSERT_EQ(PmapImage(&fresh, &a, 1.0), 1);
  EXPECT_EQ(fresh.xres, 4);
  EXPECT_EQ(fresh.rowsize, 8);
  _ImgColorSpace cmyk = ICS_sRGB;
  cmyk.format = IPFcmyk;
  cmyk.cstatic = 1;
  _ImgStruct bad = Blank(0, 0, &cmyk);
  EXPECT_EQ(PmapImage(&bad, &a, 1.0), 0);
  EXPECT_EQ(bad.img, nullptr);
  EXPECT_EQ(bad.mbase, nullptr);
  PfreeImage(&fresh);
  PfreeImage(&a);
  PfreeImage(&b);
}

// Overlapping sub-images of one image converted in place give what a separate copy gives.
TEST(ConvertImage, InPlaceAndCopyAgreeForOverlappingViews) {
  for (int dx : {-3, 0, 2})
    for (int dy : {-2, 0, 1}) {
      for (double scale : {1.0, 0.7}) {
        _ImgStruct im = Blank(20, 12, &ICS_sRGB);
        ASSERT_EQ(PnewImage(&im, 0.0), 1);
        FillRandom(&im, unsigned(dx * 31 + dy * 7 + 100));
        const _ImgRect sr = {4, 14, 3, 9};
        const _ImgRect dr = {4 + dx, 14 + dx, 3 + dy, 9 + dy};
        _ImgStruct s = {}, d = {}, ref = Blank(0, 0, &ICS_sRGB);
        ASSERT_EQ(PlinkSubimage(&s, &im, &sr), 1);
        ASSERT_EQ(PmapImage(&ref, &s, scale), 1);  // separate memory
        ASSERT_EQ(PlinkSubimage(&d, &im, &dr), 1);
        ASSERT_EQ(PmapImage(&d, &s, scale), 1);  // onto overlapping memory
        EXPECT_TRUE(SamePixels(&d, &ref)) << dx << "," << dy << " scale " << scale;
        PfreeImage(&ref);
        PfreeImage(&s);
        PfreeImage(&d);
        PfreeImage(&im);
      }
    }
}

TEST(ConvertImage, ColourSpaceInPlaceAndByCopyAgree) {
  // Narrowing in place: float RGB to 8-bit in the same rows.
  _ImgStruct f = Blank(33, 9, &ICS_RGB709);
  ASSERT_EQ(PnewImage(&f, 0.0), 1);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> uni(-0.2f, 1.3f);
  for (int y = 0; y < f.yres; y++) {
    float* row = reinterpret_cast<float*>(f.img + y * f.rowsize);
    for (int i = 0; i < 3 * f.xres; i++) row[i] = uni(rng);
  }
  _ImgStruct ref = Blank(0, 0, &ICS_AdobeRGB);
  ASSERT_EQ(PmapImage(&ref, &f, 1.0), 1);
  uint8_t* before = f.img;
  ASSERT_EQ(PconvertColorSpace(&f, &ICS_AdobeRGB, 1.0), 1);
  EXPECT_EQ(f.img, before);
  EXPECT_EQ(f.csp, &ICS_AdobeRGB);
  EXPECT_TRUE(SamePixels(&f, &ref));

  // Widening needs new pixels; a shared block is never written.
  _ImgStruct keep = {};
  ASSERT_EQ(PlinkSubimage(&keep, &ref, nullptr), 1);
  _ImgStruct wide = Blank(0, 0, &ICS_XYZ);
  ASSERT_EQ(PmapImage(&wide, &ref, 1.0), 1);
  ASSERT_EQ(PconvertColorSpace(&ref, &ICS_XYZ, 1.0), 1);
  EXPECT_NE(ref.img, keep.img);
  EXPECT_EQ(keep.csp, &ICS_AdobeRGB);
  EXPECT_TRUE(SamePixels(&ref, &wide));

  // A transient colour space goes into the block's private slot when converting in place.
  _ImgColorSpace grey = ICS_Y;
  grey.cstatic = 0;
  _ImgStruct g = Blank(5, 5, &grey);
  ASSERT_EQ(PnewImage(&g, 0.0), 1);
  PclearImage(&g, nullptr);
  _ImgColorSpace grey2 = ICS_Y;
  grey2.cstatic = 0;
  grey2.gamma = 2.f;
  const void* slot = g.csp;
  ASSERT_EQ(PconvertColorSpace(&g, &grey2, 1.0), 1);
  EXPECT_EQ(static_cast<const void*>(g.csp), slot);
  EXPECT_EQ(g.csp->gamma, 2.f);
  EXPECT_EQ(g.csp->cstatic, 0);

  // Same space, another scale: converted onto itself.
  _ImgStruct s = Blank(4, 1, &ICS_Y8);
  ASSERT_EQ(PnewImage(&s, 0.0), 1);
  const uint8_t px[4] = {0, 64, 128, 255};
  std::memcpy(s.img, px, 4);
  ASSERT_EQ(PconvertColorSpace(&s, &ICS_Y8, 0.25), 1);
  EXPECT_EQ(s.img[3], int(256 * std::pow(0.25 * std::pow(255.5 / 256, 2.2), 1 / 2.2)));
  // An impossible conversion leaves the image as it was.
  MessageCapture msgs;
  EXPECT_EQ(PconvertColorSpace(&s, &ICS_D, 1.0), 0);
  EXPECT_NE(s.img, nullptr);
  for (_ImgStruct* p : {&f, &ref, &keep, &wide, &g, &s}) PfreeImage(p);
}

TEST(ConvertImage, RowCallbackConvertsAndStops) {
  _ImgStruct im = Blank(6, 5, &ICS_sRGB);
  ASSERT_EQ(PnewImage(&im, 0.0), 1);
  FillRandom(&im, 11);
  _ImgStruct ref = Blank(0, 0, &ICS_Y8);
  ASSERT_EQ(PmapImage(&ref, &im, 1.0), 1);
  struct State {
    const _ImgStruct* ref;
    int rows;
    int stop;
    bool same;
  } st = {&ref, 0, 99, true};
  auto cb = [](const void* row, int xres, int y, void* data) -> int {
    State* s = static_cast<State*>(data);
    s->rows++;
    s->same = s->same && std::memcmp(row, s->ref->img + y * s->ref->rowsize, xres) == 0;
    return y < s->stop;
  };
  EXPECT_EQ(PconvertImageCB(&im, &ICS_Y8, 1.0, cb, &st), 1);
  EXPECT_EQ(st.rows, 5);
  EXPECT_TRUE(st.same);
  st = {&ref, 0, 2, true};
  EXPECT_EQ(PconvertImageCB(&im, &ICS_Y8, 1.0, cb, &st), 0);
  EXPECT_EQ(st.rows, 3);
  // Matching rows are handed over in place.
  st = {&im, 0, 99, true};
  auto inplace = [](const void* row, int, int y, void* data) -> int {
    State* s = static_cast<State*>(data);
    s->same = s->same && row == s->ref->img + y * s->ref->rowsize;
    return 1;
  };
  EXPECT_EQ(PconvertImageCB(&im, &ICS_sRGB, 1.0005, inplace, &st), 1);
  EXPECT_TRUE(st.same);
  PfreeImage(&im);
  PfreeImage(&ref);
}

TEST(ConvertImage, CopyIntoPlacedRectangle) {
  _ImgStruct dst = Blank(10, 8, &ICS_Y8), src = Blank(4, 4, &ICS_sRGB);
  ASSERT_EQ(PnewImage(&dst, 0.0), 1);
  ASSERT_EQ(PnewImage(&src, 0.0), 1);
  PclearImage(&dst, nullptr);
  const uint8_t white[3] = {255, 255, 255};
  PclearImage(&src, white);
  ASSERT_EQ(PcopyImage(&dst, &src, 8, -2), 1);
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 10; x++)
      EXPECT_EQ(dst.img[y * dst.rowsize + x], (x >= 8 && y < 2) ? 255 : 0) << x << "," << y;
  EXPECT_EQ(src.mbase->RetainCount(), 1);
  EXPECT_EQ(dst.mbase->RetainCount(), 1);
  EXPECT_EQ(PcopyImage(&dst, &src, 20, 0), 0);
  PfreeImage(&dst);
  PfreeImage(&src);
}

TEST(ConvertImage, ShiftMovesContentAndReportsStrips) {
  _ImgStruct im = Blank(8, 6, &ICS_Y8);
  ASSERT_EQ(PnewImage(&im, 0.0), 1);
  for (int y = 0; y < 6; y++)
    for (int x = 0; x < 8; x++) im.img[y * im.rowsize + x] = uint8_t(y * 16 + x);
  std::vector<_ImgRect> strips;
  auto cb = [](_ImgStruct*, const _ImgRect* r, void* data) {
    static_cast<std::vector<_ImgRect>*>(data)->push_back(*r);
  };
  ASSERT_EQ(PshiftImageCB(&im, 3, -2, cb, &strips), 1);
  for (int y = 0; y < 4; y++)
    for (int x = 3; x < 8; x++) EXPECT_EQ(im.img[y * im.rowsize + x], (y + 2) * 16 + (x - 3));
  ASSERT_EQ(strips.size(), 2u);
  EXPECT_EQ(strips[0].xleft, 0);
  EXPECT_EQ(strips[0].xright, 8);
  EXPECT_EQ(strips[0].ytop, 4);
  EXPECT_EQ(strips[0].ybottom, 6);
  EXPECT_EQ(strips[1].xleft, 0);
  EXPECT_EQ(strips[1].xright, 3);
  EXPECT_EQ(strips[1].ytop, 0);
  EXPECT_EQ(strips[1].ybottom, 4);
  strips.clear();
  ASSERT_EQ(PshiftImageCB(&im, 0, 6, cb, &strips), 1);
  ASSERT_EQ(strips.size(), 1u);
  EXPECT_EQ(strips[0].ybottom, 6);
  EXPECT_EQ(PshiftImageCB(&im, 0, 0, nullptr, nullptr), 1);
  EXPECT_EQ(PshiftImageCB(&im, INT32_MIN, 0, nullptr, nullptr), 1);
  PfreeImage(&im);
}

TEST(ConvertImage, DelinkGivesCompactMemoryOfItsOwn) {
  _ImgStruct im = Blank(10, 6, &ICS_sRGB);
  ASSERT_EQ(PnewImage(&im, 0.0), 1);
  FillRandom(&im, 5);
  const _ImgRect r = {2, 7, 1, 5};
  _ImgStruct sub = {}, ref = Blank(0, 0, &ICS_sRGB);
  ASSERT_EQ(PlinkSubimage(&sub, &im, &r), 1);
  ASSERT_EQ(PmapImage(&ref, &sub, 1.0), 1);
  ASSERT_EQ(PdelinkImage(&sub), 1);  // shared: copied
  EXPECT_NE(sub.mbase, im.mbase);
  EXPECT_EQ(sub.rowsize, 15);
  EXPECT_EQ(im.mbase->RetainCount(), 1);
  EXPECT_TRUE(SamePixels(&sub, &ref));
  PfreeImage(&sub);

  // Unshared view: the rows are moved together in its own block.
  ASSERT_EQ(PlinkSubimage(&im, &im, &r), 1);
  MemObject* block = im.mbase;
  ASSERT_EQ(PdelinkImage(&im), 1);
  EXPECT_EQ(im.mbase, block);
  EXPECT_EQ(im.rowsize, 15);
  EXPECT_EQ(im.img, static_cast<uint8_t*>(MobjMem(block)));
  EXPECT_TRUE(SamePixels(&im, &ref));
  ASSERT_EQ(PdelinkImage(&im), 1);  // already compact

  // Someone else's memory, rows running upward: compacted where it lies.
  std::vector<uint8_t> mem(4 * 9 * 3);
  for (size_t i = 0; i < mem.size(); i++) mem[i] = uint8_t(i);
  _ImgStruct up = Blank(2, 4, &ICS_sRGB);
  up.rowsize = -27;
  up.img = mem.data() + 3 * 27;
  ASSERT_EQ(PdelinkImage(&up), 1);
  EXPECT_EQ(up.rowsize, -6);
  for (int y = 0; y < 4; y++)
    for (int i = 0; i < 6; i++) EXPECT_EQ(up.img[y * up.rowsize + i], uint8_t((3 - y) * 27 + i));
  PfreeImage(&im);
  PfreeImage(&ref);
}

}  // namespace
