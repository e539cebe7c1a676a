#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "image/pconvkern.h"
#include "support/fvect.h"
#include "test_image_util.h"

using imgtest::Box;
using imgtest::BoxOf;
using imgtest::Image;
using imgtest::Sub;
using ::testing::ElementsAre;

namespace {

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
  _ImgColorConv cv, a, b;
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
  const float db[3] = {0.f, 10.f, -20.f}, zero = 0.f;
  float lin[3], back[3];
  ASSERT_EQ(setColorConv(&a, &ICS_Y, &ICS_YdB, 1.0), 1);
  ASSERT_EQ(setColorConv(&b, &ICS_YdB, &ICS_Y, 1.0), 1);
  ASSERT_EQ(PconvertPixels(lin, db, 3, &a), 1);
  EXPECT_NEAR(lin[0], 1.0, 1e-6);
  EXPECT_NEAR(lin[1], 10.0, 1e-5);
  EXPECT_NEAR(lin[2], 0.01, 1e-8);
  ASSERT_EQ(PconvertPixels(back, lin, 3, &b), 1);
  for (int i = 0; i < 3; i++) EXPECT_NEAR(back[i], db[i], 1e-4);
  ASSERT_EQ(PconvertPixels(back, &zero, 1, &b), 1);
  EXPECT_FLOAT_EQ(back[0], -300.f);  // -30 / gamma 0.1

  // 16-bit LogL: 256 codes per doubling, 1.0 near 16384.
  uint16_t codes[2] = {16384, 16640}, again[2];
  float lum[2];
  ASSERT_EQ(setColorConv(&a, &ICS_Y, &ICS_LogL16, 1.0), 1);
  ASSERT_EQ(PconvertPixels(lum, codes, 2, &a), 1);
  EXPECT_NEAR(lum[1] / lum[0], 2.0, 1e-4);
  EXPECT_NEAR(lum[0], 1.0, 0.01);
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
  MessageLog msgs;
  _ImgColorConv cv;
  _ImgColorSpace cmyk = ICS_sRGB, flat = ICS_sRGB, odd = ICS_sRGB;
  cmyk.format = IPFcmyk;
  flat.gamma = 0.f;
  struct Case {
    const _ImgColorSpace *dst, *src;
    double scale;
    const char* text;  // the message, where its text is fixed
  };
  const Case refused[] = {
      {&ICS_sRGB, &cmyk, 1.0, "Unsupported color space conversion"},
      {&cmyk, &ICS_sRGB, 1.0, "Unsupported color space conversion"},
      {&ICS_D, &ICS_Y, 1.0, nullptr},  // depth only from depth
      {&ICS_VEC3, &ICS_RGB709, 1.0, nullptr},
      {&ICS_sRGB, &ICS_sRGB, -1.0, "Illegal scale factor (-1.000000e+00)"},
      {&ICS_sRGB, &ICS_sRGB, std::nan(""), nullptr},
      {&ICS_RGB709, &ICS_sRGB, HUGE_VAL, nullptr},
      {&flat, &ICS_sRGB, 1.0, "Illegal gamma"},
  };
  for (const Case& c : refused) {
    msgs.Clear();
    EXPECT_EQ(setColorConv(&cv, c.dst, c.src, c.scale), 0) << c.scale;
    EXPECT_EQ(msgs.Count(), 1u);
    if (c.text) {
      EXPECT_TRUE(msgs.Has(DMCparameter, c.text)) << c.text;
    }
  }
  EXPECT_EQ(setColorConv(&cv, &ICS_RGB709, &ICS_sRGB, -1.0), 1);  // float may go negative
  // Unusable primaries are a warning and the standard ones.
  odd.chroma[3][1] = 0.f;
  EXPECT_EQ(setColorConv(&cv, &ICS_Y8, &odd, 1.0), 1);
  EXPECT_TRUE(msgs.Has(DMCwarning, "Bad color conversion from source"));
  EXPECT_EQ(setColorConv(&cv, &odd, &ICS_Y8, 1.0), 1);
  EXPECT_TRUE(msgs.Has(DMCwarning, "Bad color conversion to destination"));
}

// ---- Pixel runs ----

TEST(ConvertPixels, CountsAndSelfMapping) {
  MessageLog msgs;
  _ImgColorConv cv;
  ASSERT_EQ(setColorConv(&cv, &ICS_RGB709, &ICS_sRGB, 1.0), 1);
  std::vector<uint8_t> buf(2000 * 12);
  EXPECT_EQ(PconvertPixels(buf.data(), buf.data(), 0, &cv), 1);
  EXPECT_EQ(PconvertPixels(buf.data(), buf.data(), -1, &cv), 0);
  EXPECT_EQ(PconvertPixels(nullptr, buf.data(), 5, &cv), 0);
  EXPECT_EQ(msgs.Count(), 0u);
  EXPECT_EQ(PconvertPixels(buf.data(), buf.data(), 2000, &cv), 0);
  EXPECT_TRUE(msgs.Has(DMCparameter, "Cannot map pixel buffer onto itself"));
  // Up to one batch widens in place correctly.
  for (int i = 0; i < 300; i++) buf[i] = uint8_t(i * 7);
  std::vector<uint8_t> expect(100 * 12);
  ASSERT_EQ(PconvertPixels(expect.data(), buf.data(), 100, &cv), 1);
  ASSERT_EQ(PconvertPixels(buf.data(), buf.data(), 100, &cv), 1);
  EXPECT_EQ(std::memcmp(buf.data(), expect.data(), expect.size()), 0);
}

TEST(ConvertPixels, NonFiniteFloatsEncodeSafely) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float in[12] = {nan, inf, -inf, -nan, 0.f, 1e30f, -1e30f, 2.f, 0.5f, nan, nan, nan};
  _ImgColorConv cv;
  uint8_t b8[12], p8[12];
  ASSERT_EQ(setColorConv(&cv, &ICS_sRGB, &ICS_RGB709, 1.0), 1);
  ASSERT_EQ(PconvertPixels(b8, in, 4, &cv), 1);
  EXPECT_THAT(b8, ElementsAre(0, 255, 0, 0, testing::_, 255, 0, testing::_, testing::_, 0,
                              testing::_, testing::_));
  ASSERT_EQ(PconvertPixelsPlain(p8, in, 4, &cv), 1);
  EXPECT_EQ(std::memcmp(b8, p8, 12), 0);

  // NaN to 0, infinity to the top code, also for 16-bit and logarithmic 8-bit codes.
  const float grey[3] = {nan, inf, -inf};
  uint16_t s16[3];
  _ImgColorSpace logbyte = ICS_Y8;
  logbyte.logorig = 0.001f;
  logbyte.gamma = 6.f;
  for (const _ImgColorSpace* cs :
       {&ICS_Y16, &ICS_LogL16, const_cast<const _ImgColorSpace*>(&logbyte)}) {
    ASSERT_EQ(setColorConv(&cv, cs, &ICS_Y, 1.0), 1);
    if (cs->dtype == IDTushort) {
      ASSERT_EQ(PconvertPixels(s16, grey, 3, &cv), 1);
      EXPECT_THAT(s16, ElementsAre(0, 65535, 0));
    } else {
      ASSERT_EQ(PconvertPixels(b8, grey, 3, &cv), 1);
      EXPECT_THAT(std::vector<uint8_t>(b8, b8 + 3), ElementsAre(0, 255, 0));
    }
  }
  // A NaN vector has no direction, but encodes without undefined behaviour.
  uint32_t code = 1;
  ASSERT_EQ(setColorConv(&cv, &ICS_ENORM, &ICS_VEC3, 1.0), 1);
  ASSERT_EQ(PconvertPixels(&code, grey, 1, &cv), 1);
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
  // Grey through 16 bits.
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

// 8-bit logarithmic RGB of two code steps: converted on the codes, with a matrix and offset.
_ImgColorSpace LogRGB8(float decades) {
  _ImgColorSpace cs = ICS_sRGB;
  cs.logorig = 0.001f;
  cs.gamma = decades;
  return cs;
}
const _ImgColorSpace kLog4 = LogRGB8(4.f), kLog6 = LogRGB8(6.f);

// Every fast kernel gives the plain path's bytes.
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

// Dark values are encoded with the exact power rather than the table; the fast encoder's
// dark thresholds reproduce that power, also right at each step.
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

  for (double g : {2.2, 2.19921875, 1.0, 1.8, 0.45}) {
    _ImgColorSpace dst = ICS_Y8;
    dst.gamma = float(g);
    ASSERT_EQ(setColorConv(&cv, &dst, &ICS_Y, 1.0), 1);
    for (int c = 1; c < cv.ndark; c++) {
      const float t = cv.darkthr[c], below = std::nextafter(t, 0.f);
      EXPECT_EQ(PconvEncByteFast(t, &cv), PconvEncByte(t, &cv));
      EXPECT_EQ(PconvEncByteFast(below, &cv), PconvEncByte(below, &cv));
    }
    for (float x = 1e-9f; x < PCONV_DARK; x = x * 1.0007f + 1e-9f)
      ASSERT_EQ(PconvEncByteFast(x, &cv), PconvEncByte(x, &cv)) << x << " gamma " << g;
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
  MessageLog msgs;
  Image a(4, 4, &ICS_sRGB), b(5, 4, &ICS_sRGB);
  EXPECT_EQ(PmapImage(b.get(), a.get(), 1.0), 0);
  EXPECT_TRUE(msgs.Has(DMCparameter, "Mismatched image dimensions"));
  EXPECT_NE(b->img, nullptr);  // the caller's pixels stay
  _ImgStruct narrow = a.im;
  narrow.csp = &ICS_RGB709;
  EXPECT_EQ(PmapImage(&narrow, a.get(), 1.0), 0);
  EXPECT_TRUE(msgs.Has(DMCparameter, "New pixel size does not fit"));

  // A view flipped onto its own rows cannot be copied row by row.
  a.Noise(1);
  _ImgStruct flip = a.im;
  flip.img = a->img + 3 * a->rowsize;
  flip.rowsize = -a->rowsize;
  flip.mbase = nullptr;
  msgs.Clear();
  EXPECT_EQ(PmapImage(&flip, a.get(), 1.0), 0);
  EXPECT_TRUE(msgs.Has(DMCparameter, "Bad image overlap for copy"));
  EXPECT_EQ(PmapImage(&flip, a.get(), 0.5), 0);
  EXPECT_TRUE(msgs.Has(DMCparameter, "Bad image overlap for color conversion"));

  // A new destination takes the source's size; an unsupported one is left without pixels.
  Image fresh = Image::Empty(0, 0, &ICS_Y16);
  ASSERT_EQ(PmapImage(fresh.get(), a.get(), 1.0), 1);
  EXPECT_EQ(fresh->xres, 4);
  EXPECT_EQ(fresh->rowsize, 8);
  _ImgColorSpace cmyk = ICS_sRGB;
  cmyk.format = IPFcmyk;
  cmyk.cstatic = 1;
  Image bad = Image::Empty(0, 0, &cmyk);
  EXPECT_EQ(PmapImage(bad.get(), a.get(), 1.0), 0);
  EXPECT_EQ(bad->img, nullptr);
  EXPECT_EQ(bad->mbase, nullptr);
}

// Overlapping sub-images of one image converted in place give what a separate copy gives.
TEST(ConvertImage, InPlaceAndCopyAgreeForOverlappingViews) {
  for (int dx : {-3, 0, 2})
    for (int dy : {-2, 0, 1})
      for (double scale : {1.0, 0.7}) {
        Image im(20, 12, &ICS_sRGB);
        im.Noise(unsigned(dx * 31 + dy * 7 + 100));
        const _ImgRect sr = {4, 14, 3, 9};
        const _ImgRect dr = {4 + dx, 14 + dx, 3 + dy, 9 + dy};
        Image s = Sub(im.get(), &sr), ref = Image::Empty(0, 0, &ICS_sRGB);
        ASSERT_EQ(PmapImage(ref.get(), s.get(), scale), 1);  // separate memory
        Image d = Sub(im.get(), &dr);
        ASSERT_EQ(PmapImage(d.get(), s.get(), scale), 1);  // onto overlapping memory
        EXPECT_TRUE(d.SameBytes(ref.im)) << dx << "," << dy << " scale " << scale;
      }
}

TEST(ConvertImage, ColourSpaceInPlaceAndByCopyAgree) {
  // Narrowing in place: float RGB to 8-bit in the same rows.
  Image f(33, 9, &ICS_RGB709);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> uni(-0.2f, 1.3f);
  for (int y = 0; y < f->yres; y++)
    for (int i = 0; i < 3 * f->xres; i++) f.row<float>(y)[i] = uni(rng);
  Image ref = Image::Empty(0, 0, &ICS_AdobeRGB);
  ASSERT_EQ(PmapImage(ref.get(), f.get(), 1.0), 1);
  uint8_t* before = f->img;
  ASSERT_EQ(PconvertColorSpace(f.get(), &ICS_AdobeRGB, 1.0), 1);
  EXPECT_EQ(f->img, before);
  EXPECT_EQ(f->csp, &ICS_AdobeRGB);
  EXPECT_TRUE(f.SameBytes(ref.im));

  // Widening needs new pixels; a shared block is never written.
  Image keep = Sub(ref.get(), nullptr), wide = Image::Empty(0, 0, &ICS_XYZ);
  ASSERT_EQ(PmapImage(wide.get(), ref.get(), 1.0), 1);
  ASSERT_EQ(PconvertColorSpace(ref.get(), &ICS_XYZ, 1.0), 1);
  EXPECT_NE(ref->img, keep->img);
  EXPECT_EQ(keep->csp, &ICS_AdobeRGB);
  EXPECT_TRUE(ref.SameBytes(wide.im));

  // A transient colour space goes into the block's private slot when converting in place.
  _ImgColorSpace grey = ICS_Y, grey2 = ICS_Y;
  grey.cstatic = grey2.cstatic = 0;
  grey2.gamma = 2.f;
  Image g(5, 5, &grey);
  PclearImage(g.get(), nullptr);
  const void* slot = g->csp;
  ASSERT_EQ(PconvertColorSpace(g.get(), &grey2, 1.0), 1);
  EXPECT_EQ(static_cast<const void*>(g->csp), slot);
  EXPECT_EQ(g->csp->gamma, 2.f);
  EXPECT_EQ(g->csp->cstatic, 0);

  // Same space, another scale: converted onto itself.
  Image s(4, 1, &ICS_Y8);
  const uint8_t px[4] = {0, 64, 128, 255};
  std::memcpy(s->img, px, 4);
  ASSERT_EQ(PconvertColorSpace(s.get(), &ICS_Y8, 0.25), 1);
  EXPECT_EQ(s->img[3], int(256 * std::pow(0.25 * std::pow(255.5 / 256, 2.2), 1 / 2.2)));
  // An impossible conversion leaves the image as it was.
  MessageLog msgs;
  EXPECT_EQ(PconvertColorSpace(s.get(), &ICS_D, 1.0), 0);
  EXPECT_NE(s->img, nullptr);
}

TEST(ConvertImage, RowCallbackConvertsAndStops) {
  Image im(6, 5, &ICS_sRGB), ref = Image::Empty(0, 0, &ICS_Y8);
  im.Noise(11);
  ASSERT_EQ(PmapImage(ref.get(), im.get(), 1.0), 1);
  struct State {
    const _ImgStruct* ref;
    int rows;
    int stop;
    bool same;
  } st = {ref.get(), 0, 99, true};
  auto cb = [](const void* row, int xres, int y, void* data) -> int {
    State* s = static_cast<State*>(data);
    s->rows++;
    s->same = s->same && std::memcmp(row, s->ref->img + y * s->ref->rowsize, xres) == 0;
    return y < s->stop;
  };
  EXPECT_EQ(PconvertImageCB(im.get(), &ICS_Y8, 1.0, cb, &st), 1);
  EXPECT_EQ(st.rows, 5);
  EXPECT_TRUE(st.same);
  st = {ref.get(), 0, 2, true};
  EXPECT_EQ(PconvertImageCB(im.get(), &ICS_Y8, 1.0, cb, &st), 0);
  EXPECT_EQ(st.rows, 3);
  // Matching rows are handed over in place.
  st = {im.get(), 0, 99, true};
  auto inplace = [](const void* row, int, int y, void* data) -> int {
    State* s = static_cast<State*>(data);
    s->same = s->same && row == s->ref->img + y * s->ref->rowsize;
    return 1;
  };
  EXPECT_EQ(PconvertImageCB(im.get(), &ICS_sRGB, 1.0005, inplace, &st), 1);
  EXPECT_TRUE(st.same);
}

TEST(ConvertImage, CopyIntoPlacedRectangle) {
  Image dst(10, 8, &ICS_Y8), src(4, 4, &ICS_sRGB);
  PclearImage(dst.get(), nullptr);
  const uint8_t white[3] = {255, 255, 255};
  PclearImage(src.get(), white);
  ASSERT_EQ(PcopyImage(dst.get(), src.get(), 8, -2), 1);
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 10; x++)
      EXPECT_EQ(dst.at<uint8_t>(x, y), (x >= 8 && y < 2) ? 255 : 0) << x << "," << y;
  EXPECT_EQ(src->mbase->RetainCount(), 1);
  EXPECT_EQ(dst->mbase->RetainCount(), 1);
  EXPECT_EQ(PcopyImage(dst.get(), src.get(), 20, 0), 0);
}

TEST(ConvertImage, ShiftMovesContentAndReportsStrips) {
  Image im(8, 6, &ICS_Y8);
  for (int y = 0; y < 6; y++)
    for (int x = 0; x < 8; x++) im.at<uint8_t>(x, y) = uint8_t(y * 16 + x);
  std::vector<Box> strips;
  auto cb = [](_ImgStruct*, const _ImgRect* r, void* data) {
    static_cast<std::vector<Box>*>(data)->push_back(BoxOf(*r));
  };
  ASSERT_EQ(PshiftImageCB(im.get(), 3, -2, cb, &strips), 1);
  for (int y = 0; y < 4; y++)
    for (int x = 3; x < 8; x++) EXPECT_EQ(im.at<uint8_t>(x, y), (y + 2) * 16 + (x - 3));
  EXPECT_THAT(strips, ElementsAre(Box{0, 8, 4, 6}, Box{0, 3, 0, 4}));
  strips.clear();
  ASSERT_EQ(PshiftImageCB(im.get(), 0, 6, cb, &strips), 1);
  ASSERT_EQ(strips.size(), 1u);
  EXPECT_EQ(strips[0][3], 6);
  EXPECT_EQ(PshiftImageCB(im.get(), 0, 0, nullptr, nullptr), 1);
  EXPECT_EQ(PshiftImageCB(im.get(), INT32_MIN, 0, nullptr, nullptr), 1);
}

TEST(ConvertImage, DelinkGivesCompactMemoryOfItsOwn) {
  Image im(10, 6, &ICS_sRGB), ref = Image::Empty(0, 0, &ICS_sRGB);
  im.Noise(5);
  const _ImgRect r = {2, 7, 1, 5};
  {
    Image sub = Sub(im.get(), &r);
    ASSERT_EQ(PmapImage(ref.get(), sub.get(), 1.0), 1);
    ASSERT_EQ(PdelinkImage(sub.get()), 1);  // shared: copied
    EXPECT_NE(sub->mbase, im->mbase);
    EXPECT_EQ(sub->rowsize, 15);
    EXPECT_EQ(im->mbase->RetainCount(), 1);
    EXPECT_TRUE(sub.SameBytes(ref.im));
  }
  // Unshared view: the rows are moved together in its own block.
  ASSERT_EQ(PlinkSubimage(im.get(), im.get(), &r), 1);
  MemObject* block = im->mbase;
  ASSERT_EQ(PdelinkImage(im.get()), 1);
  EXPECT_EQ(im->mbase, block);
  EXPECT_EQ(im->rowsize, 15);
  EXPECT_EQ(im->img, static_cast<uint8_t*>(MobjMem(block)));
  EXPECT_TRUE(im.SameBytes(ref.im));
  ASSERT_EQ(PdelinkImage(im.get()), 1);  // already compact

  // Someone else's memory, rows running upward: compacted where it lies.
  std::vector<uint8_t> mem(4 * 9 * 3);
  for (size_t i = 0; i < mem.size(); i++) mem[i] = uint8_t(i);
  _ImgStruct up = Image::Empty(2, 4, &ICS_sRGB).im;
  up.rowsize = -27;
  up.img = mem.data() + 3 * 27;
  ASSERT_EQ(PdelinkImage(&up), 1);
  EXPECT_EQ(up.rowsize, -6);
  for (int y = 0; y < 4; y++)
    for (int i = 0; i < 6; i++) EXPECT_EQ(up.img[y * up.rowsize + i], uint8_t((3 - y) * 27 + i));
}

}  // namespace
