// LogLuv and LogL inputs: our uv cell tables against libtiff's SGILog codec, and the packed
// converters against libtiff's own float decoding of the same pixels.
#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "tonemap/tmprivate.h"
#include "tm_test_util.h"
#include "tonemap/tonemap.h"
#include "tonemap/uvcode.h"

namespace {

using tmtest::SpaceTm;
using tmtest::TmPtr;

// Writes one row of raw LogLuv words (or 16-bit LogL values in the low halves) with libtiff's
// SGILog codec and reads it back as libtiff's float decoding: XYZ triples, or Y for LogL.
enum class LogKind { luv24, luv32, l16 };
std::vector<float> libtiffDecode(const std::vector<uint32_t>& raw, LogKind kind) {
  std::string path = tmtest::TempPath("sgilog", ".tif");
  TIFF* t = TIFFOpen(path.c_str(), "w");
  EXPECT_NE(t, nullptr);
  if (t == nullptr) return {};
  const bool l16 = kind == LogKind::l16;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, (uint32_t)raw.size());
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, 1);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, l16 ? PHOTOMETRIC_LOGL : PHOTOMETRIC_LOGLUV);
  TIFFSetField(t, TIFFTAG_COMPRESSION,
               kind == LogKind::luv24 ? COMPRESSION_SGILOG24 : COMPRESSION_SGILOG);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, l16 ? 1 : 3);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_SGILOGDATAFMT, l16 ? SGILOGDATAFMT_16BIT : SGILOGDATAFMT_RAW);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 1);
  std::vector<uint32_t> row(raw);
  std::vector<int16_t> row16(raw.begin(), raw.end());
  EXPECT_GE(TIFFWriteScanline(t, l16 ? (void*)row16.data() : (void*)row.data(), 0, 0), 0);
  TIFFClose(t);
  t = TIFFOpen(path.c_str(), "r");
  std::vector<float> out((l16 ? 1 : 3) * raw.size());
  TIFFSetField(t, TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_FLOAT);
  EXPECT_GE(TIFFReadScanline(t, out.data(), 0, 0), 0);
  TIFFClose(t);
  unlink(path.c_str());
  return out;
}

std::vector<float> libtiffDecode24(const std::vector<uint32_t>& raw) {
  return libtiffDecode(raw, LogKind::luv24);
}

TEST(UvCells, AgreeWithLibtiffForEveryCell) {
  const int n = 1 << 14;
  std::vector<uint32_t> raw(n);
  for (int i = 0; i < n; i++) raw[i] = (512u << 14) | (uint32_t)i;
  std::vector<float> xyz = libtiffDecode24(raw);
  ASSERT_EQ(xyz.size(), (size_t)3 * n);
  for (int i = 0; i < n; i++) {
    double X = xyz[3 * i], Y = xyz[3 * i + 1], Z = xyz[3 * i + 2];
    double s = X + 15 * Y + 3 * Z;
    double ut = 4 * X / s, vt = 9 * Y / s;
    double u, v;
    if (i >= UV_NDIVS) {
      // Past the last cell libtiff gives the neutral chromaticity; we report failure.
      EXPECT_EQ(uvDecode(&u, &v, i), -1);
      EXPECT_NEAR(ut, 4.0 / 19, 1e-5);
      continue;
    }
    ASSERT_EQ(uvDecode(&u, &v, i), 0);
    ASSERT_NEAR(u, ut, 2e-6) << i;
    ASSERT_NEAR(v, vt, 2e-6) << i;
    ASSERT_EQ(uvEncode(ut, vt), i);
    // Points just inside the cell's corners map to the same cell.
    EXPECT_EQ(uvEncode(u - 0.00174, v - 0.00174), i);
    EXPECT_EQ(uvEncode(u + 0.00174, v + 0.00174), i);
  }
  double u, v;
  EXPECT_EQ(uvEncode(0.0, 0.0), -1);
  EXPECT_EQ(uvEncode(0.6, 0.3), -1);
  EXPECT_EQ(uvEncode(0.2, 0.7), -1);
  EXPECT_EQ(uvEncode(std::nan(""), 0.4), -1);
  EXPECT_EQ(uvDecode(&u, &v, -1), -1);
}

// Reads a LogLuv or LogL TIFF twice: raw words, and libtiff's float decoding.
struct LuvFile {
  int width = 0, height = 0, spp = 0;
  double stonits = 1.0;
  std::vector<uint32_t> raw;  // 32/24-bit words, or 16-bit LogL in the low half
  std::vector<float> values;  // XYZ triples, or Y
};

bool readLuv(const std::string& path, LuvFile* f) {
  for (int pass = 0; pass < 2; pass++) {
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (t == nullptr) return false;
    uint32_t w, h;
    uint16_t photometric, spp;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    if (!TIFFGetField(t, TIFFTAG_STONITS, &f->stonits)) f->stonits = 1.0;
    bool logl = photometric == PHOTOMETRIC_LOGL;
    f->width = (int)w;
    f->height = (int)h;
    f->spp = logl ? 1 : 3;
    if (pass == 0) {
      TIFFSetField(t, TIFFTAG_SGILOGDATAFMT, logl ? SGILOGDATAFMT_16BIT : SGILOGDATAFMT_RAW);
      f->raw.assign((size_t)w * h, 0);
      std::vector<uint32_t> row(w);
      std::vector<int16_t> row16(w);
      for (uint32_t y = 0; y < h; y++) {
        if (TIFFReadScanline(t, logl ? (void*)row16.data() : (void*)row.data(), y, 0) < 0)
          return false;
        for (uint32_t x = 0; x < w; x++)
          f->raw[(size_t)y * w + x] = logl ? (uint16_t)row16[x] : row[x];
      }
    } else {
      TIFFSetField(t, TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_FLOAT);
      f->values.assign((size_t)w * h * f->spp, 0.0f);
      for (uint32_t y = 0; y < h; y++)
        if (TIFFReadScanline(t, &f->values[(size_t)y * w * f->spp], y, 0) < 0) return false;
    }
    TIFFClose(t);
  }
  return true;
}

std::string testFile(const char* name) {
  return tmtest::TestFile("tiff", name);
}

// Display chroma bytes of a colour at unit luminance, the way the LogLuv converters define
// them: out-of-gamut colours are desaturated toward white, not clipped per channel.
void referenceChroma(const TMstruct* t, const float* xyz, unsigned char* out) {
  COLOR in = {(float)(xyz[0] / xyz[1] / t->inpsf), (float)(1.0 / t->inpsf),
              (float)(xyz[2] / xyz[1] / t->inpsf)};
  COLOR rgb;
  colortrans(rgb, t->cmat, in);
  clipgamut(rgb, 1.0f, 1, cblack, cwhite);
  for (int c = 0; c < 3; c++) {
    double s = (double)t->clf[c] * rgb[c];
    out[c] = s <= 0 ? 0 : s >= 0.999 ? 255 : (unsigned char)(int)(256 * std::pow(s, 1 / t->mongam));
  }
}

// Brightness within 1 unit (2 for the coarser 24-bit steps) of libtiff's luminance, and chroma
// within 2 codes of the chromaticity libtiff decodes, for every pixel.
void checkLuvAgainstFloat(const char* name, bool bits24) {
  LuvFile f;
  if (access(testFile(name).c_str(), R_OK) != 0) GTEST_SKIP() << "test picture missing: " << name;
  ASSERT_TRUE(readLuv(testFile(name), &f));
  const int n = f.width * f.height;
  TmPtr t = SpaceTm(nullptr, f.stonits);
  std::vector<TMbright> lp(n);
  std::vector<unsigned char> cp(3 * n);
  ASSERT_EQ(bits24 ? tmCvLuv24(t.get(), lp.data(), cp.data(), f.raw.data(), n)
                   : tmCvLuv32(t.get(), lp.data(), cp.data(), f.raw.data(), n),
            0);
  int counted = 0;
  double bias = 0;
  for (int i = 0; i < n; i++) {
    const float* xyz = &f.values[3 * i];
    if (!(xyz[1] > 0)) continue;
    counted++;
    const int diff = lp[i] - tmCvLuminance(xyz[1] * f.stonits);
    bias += diff;
    ASSERT_LE(std::abs(diff), bits24 ? 2 : 1) << i;
    unsigned char ref[3];
    referenceChroma(t.get(), xyz, ref);
    for (int c = 0; c < 3; c++) ASSERT_LE(std::abs(cp[3 * i + c] - ref[c]), 2) << i << " " << c;
  }
  EXPECT_GT(counted, n / 2);
  EXPECT_LT(std::fabs(bias / counted), 0.05) << "brightness off on average";
}

TEST(TmCvLuv, Luv32AgreesWithLibtiffFloatDecoding) {
  checkLuvAgainstFloat("desk_logluv32.tif", false);
}
TEST(TmCvLuv, Luv24AgreesWithLibtiffFloatDecoding) {
  checkLuvAgainstFloat("desk_logluv24.tif", true);
}

TEST(TmCvLuv, L16AgreesWithLibtiffFloatDecoding) {
  LuvFile f;
  if (access(testFile("desk_logl16.tif").c_str(), R_OK) != 0)
    GTEST_SKIP() << "test picture missing: desk_logl16.tif";
  ASSERT_TRUE(readLuv(testFile("desk_logl16.tif"), &f));
  const int n = f.width * f.height;
  TmPtr t = SpaceTm(stdprims, f.stonits, TMF_GREY);
  std::vector<unsigned short> l16(f.raw.begin(), f.raw.end());
  std::vector<TMbright> lp(n), lf(n);
  ASSERT_EQ(tmCvL16(t.get(), lp.data(), l16.data(), n), 0);
  ASSERT_EQ(tmCvGrays(t.get(), lf.data(), f.values.data(), n), 0);
  for (int i = 0; i < n; i++) {
    if (lf[i] == TM_NOBRT) continue;
    ASSERT_LE(std::abs(lp[i] - lf[i]), 1) << i;
  }
}

TEST(TmCvLuv, SignBitMeansNoBrightness) {
  TmPtr t = SpaceTm(nullptr, 1.0);
  const uint32_t luv[] = {0x80000000u | 0x56C2, (16384u << 16) | 0x56C2};
  TMbright ls[2];
  unsigned char cs[6];
  ASSERT_EQ(tmCvLuv32(t.get(), ls, cs, luv, 2), 0);
  EXPECT_EQ(ls[0], TM_NOBRT);
  EXPECT_NEAR(ls[1], 0, 1);  // Le 16384 is 2^0 = 1 cd/m2 at unit scale
  const unsigned short l16[] = {0x8000, 0xFFFF, 16384};
  ASSERT_EQ(tmCvL16(t.get(), ls, l16, 2), 0);
  EXPECT_EQ(ls[0], TM_NOBRT);
  EXPECT_EQ(ls[1], TM_NOBRT);
  // The neutral pixel has the chroma of display white: equal shares after the divisors.
  for (int c = 0; c < 3; c++) EXPECT_NEAR(cs[3 + c], t->cdiv[c], 3) << c;
}

// Hand-coded log codes from the darkest that stay countable to the brightest, at two input
// scales: each brightness is exactly that of libtiff's luminance for the code, the centre of
// the code's step (a code's bottom, or an offset off by one, misses most of them).
TEST(TmCvLuv, LogBrightnessIsExactlyThatOfLibtiffsLuminance) {
  const std::vector<unsigned> le16 = {2100,  5000,  9999,  12345, 16383, 16384,
                                      16385, 20000, 25000, 27182, 30001, 32767};
  const std::vector<unsigned> le10 = {1, 17, 100, 383, 511, 512, 513, 640, 800, 1000, 1023};
  std::vector<uint32_t> w32, w24, w16;
  for (unsigned le : le16) {
    w32.push_back((le << 16) | 0x56C2);
    w16.push_back(le);
  }
  const int uvWhite = uvEncode(0.210526316, 0.473684211);
  for (unsigned le : le10) w24.push_back((le << 14) | (unsigned)uvWhite);
  const std::vector<float> y32 = libtiffDecode(w32, LogKind::luv32);
  const std::vector<float> y24 = libtiffDecode(w24, LogKind::luv24);
  const std::vector<float> y16 = libtiffDecode(w16, LogKind::l16);
  ASSERT_EQ(y32.size(), 3 * w32.size());
  ASSERT_EQ(y24.size(), 3 * w24.size());
  ASSERT_EQ(y16.size(), w16.size());
  for (double scale : {1.0, 179.0}) {
    TmPtr t = SpaceTm(nullptr, scale);
    std::vector<TMbright> b32(w32.size()), b24(w24.size()), b16(w16.size());
    ASSERT_EQ(tmCvLuv32(t.get(), b32.data(), nullptr, w32.data(), (int)w32.size()), 0);
    ASSERT_EQ(tmCvLuv24(t.get(), b24.data(), nullptr, w24.data(), (int)w24.size()), 0);
    std::vector<unsigned short> l16(w16.begin(), w16.end());
    ASSERT_EQ(tmCvL16(t.get(), b16.data(), l16.data(), (int)l16.size()), 0);
    for (size_t i = 0; i < le16.size(); i++) {
      EXPECT_EQ(b32[i], tmCvLuminance(y32[3 * i + 1] * scale)) << "Le " << le16[i] << " x" << scale;
      EXPECT_EQ(b16[i], tmCvLuminance(y16[i] * scale)) << "Le " << le16[i] << " x" << scale;
    }
    for (size_t i = 0; i < le10.size(); i++)
      EXPECT_EQ(b24[i], tmCvLuminance(y24[3 * i + 1] * scale)) << "Le " << le10[i] << " x" << scale;
  }
}

TEST(TmCvLuv, NonXyzInputIsAnErrorNotAnExit) {
  TmPtr t = SpaceTm(stdprims, 1.0);
  const uint32_t luv[] = {(16384u << 16) | 0x56C2};
  TMbright ls[1];
  unsigned char cs[3];
  EXPECT_EQ(tmCvLuv32(t.get(), ls, cs, luv, 1), TMERR_ARGUMENT);
  EXPECT_EQ(tmCvLuv24(t.get(), ls, cs, luv, 1), TMERR_ARGUMENT);
  EXPECT_STREQ(t->lastFunc, "tmCvLuv24");
  // After a switch to XYZ the same struct converts; the cached chroma is rebuilt.
  ASSERT_EQ(tmSetSpace(t.get(), nullptr, 1.0, nullptr), 0);
  EXPECT_EQ(tmCvLuv32(t.get(), ls, cs, luv, 1), 0);
}

TEST(TmCvLuv, MesopicShiftDarkensBluishDimPixels) {
  TmPtr t = SpaceTm(nullptr, 1.0, TMF_MESOPIC);
  // Dim (2^-8 cd/m2) pixels: one neutral, one bluish (low v').
  const uint32_t le = (uint32_t)(56 * 256) << 16;
  const uint32_t luv[] = {le | 0x56C2, le | (70u << 8) | 120u};
  TMbright ls[2], lq[2];
  unsigned char cs[6];
  ASSERT_EQ(tmCvLuv32(t.get(), ls, cs, luv, 2), 0);
  ASSERT_EQ(tmCvLuv32(t.get(), lq, nullptr, luv, 2), 0);
  EXPECT_NE(ls[1], lq[1]);  // only the chroma path shifts brightness
  EXPECT_NEAR(ls[0], lq[0], 2);
}

}  // namespace
