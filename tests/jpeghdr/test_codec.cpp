// The JPEG-HDR codec end to end: files we write decode back to HDR, their foreground is a
// plain JPEG, the segments follow the format, and damaged segments fall back to plain JPEG.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <regex>

#include <jerror.h>

#include "jpegglue/jpegglue.h"
#include "jh_test_util.h"
#include "testutil/message_log.h"
#include "testutil/process_locale.h"
#include "testutil/run_program.h"
#include "support/cnumber.h"

using namespace jhtest;

namespace {

struct Decoded {
  int result = -1;
  int w = 0, h = 0;
  float s2n = -1;
  std::vector<float> f;
  std::vector<uint8_t> b;
};

// Loads path with jpeghdr_load_memory into buffers it allocates.
Decoded load(const char* path, int ww = 0, int wh = 0) {
  Decoded d;
  float* f = nullptr;
  uint8_t* b = nullptr;
  int size[2] = {ww, wh};
  d.result = jpeghdr_load_memory(&f, &b, size, &d.s2n, path);
  if (d.result > 0) {
    d.w = size[0];
    d.h = size[1];
    const size_t n = static_cast<size_t>(d.w) * d.h * 3;
    if (f != nullptr) d.f.assign(f, f + n);
    d.b.assign(b, b + n);
  }
  std::free(f);
  std::free(b);
  return d;
}

std::string encode(const std::vector<float>& px, int w, int h, int quality, int correction,
                   float alpha = 1.f, float beta = 1.f, float s2n = 0.f) {
  TempPath p("jh_enc");
  const long n =
      jpeghdr_write_memory(p.c_str(), px.data(), w, h, quality, correction, alpha, beta, s2n);
  EXPECT_GT(n, 0);
  std::string data = readFile(p.c_str());
  EXPECT_EQ(static_cast<long>(data.size()), n);
  return data;
}

Decoded decodeData(const std::string& data, int ww = 0, int wh = 0) {
  TempPath p("jh_dec");
  writeFile(p.c_str(), data);
  return load(p.c_str(), ww, wh);
}

struct ErrorStats {
  float median, p95;
};

ErrorStats stats(const std::vector<float>& orig, const Decoded& d) {
  std::vector<float> e = relErrors(orig, d.f.data(), static_cast<size_t>(d.w) * d.h);
  return {e[e.size() / 2], e[e.size() * 95 / 100]};
}

TEST(JpegHdrCodec, SmoothSceneDecodesBackToHdrWithEveryCorrection) {
  const int w = 480, h = 320;
  for (float decades : {4.f, 5.f}) {
    std::vector<float> px = smoothScene(w, h, decades);
    for (int correction : {0, 1, 2}) {
      std::string data = encode(px, w, h, 90, correction, 1.f, 1.f, 179.f);
      Decoded d = decodeData(data);
      ASSERT_EQ(d.result, 3) << correction;
      ASSERT_EQ(d.w, w);
      ASSERT_EQ(d.h, h);
      EXPECT_FLOAT_EQ(d.s2n, 179.f);
      ErrorStats s = stats(px, d);
      EXPECT_LE(s.median, 0.04f) << "decades " << decades << " correction " << correction;
      EXPECT_LE(s.p95, 0.12f) << "decades " << decades << " correction " << correction;
    }
  }
}

TEST(JpegHdrCodec, DesaturatedFileResaturatesOnDecode) {
  const int w = 256, h = 192;
  std::vector<float> px = smoothScene(w, h, 4.f);
  Decoded d = decodeData(encode(px, w, h, 90, 1, 0.8f, 0.9f));
  ASSERT_EQ(d.result, 3);
  ErrorStats s = stats(px, d);
  EXPECT_LE(s.median, 0.04f);
  EXPECT_LE(s.p95, 0.12f);
  // Colour survives too: the red/green ratio of the middle pixel.
  const size_t i = (static_cast<size_t>(h / 2) * w + w / 2) * 3;
  EXPECT_NEAR(d.f[i] / d.f[i + 1], px[i] / px[i + 1], 0.06);
}

TEST(JpegHdrCodec, ColourRoutinesInvertEachOther) {
  jpeghdr_compress_struct enc{};
  jpeghdr_decompress_struct dec{};
  for (float alpha : {1.f, 0.7f, 1.2f})
    for (float beta : {1.f, 0.8f, 1.25f}) {
      enc.alpha = dec.alpha = alpha;
      enc.beta = dec.beta = beta;
      const float c0[3] = {0.3f, 0.5f, 0.15f};
      float c[3] = {c0[0], c0[1], c0[2]};
      jpeghdr_desaturate(&enc, c);
      EXPECT_NEAR(jhtest::luminance(c), jhtest::luminance(c0), 1e-5);
      jpeghdr_resaturate(&dec, c);
      for (int k = 0; k < 3; k++) EXPECT_NEAR(c[k], c0[k], 1e-4) << alpha << " " << beta;
    }
  // Every YCbCr byte triple maps inside the (extended) linearisation table.
  for (int y = 0; y < 256; y += 5)
    for (int cb = 0; cb < 256; cb += 5)
      for (int cr = 0; cr < 256; cr += 5) {
        const uint8_t ycc[3] = {static_cast<uint8_t>(y), static_cast<uint8_t>(cb),
                                static_cast<uint8_t>(cr)};
        float rgb[3];
        jpeghdr_ycc2rgb(ycc, rgb);
        ASSERT_TRUE(std::isfinite(rgb[0] + rgb[1] + rgb[2]));
      }
  const uint8_t bright_blue[3] = {255, 255, 128};
  int v[3];
  ycc2srgb(bright_blue, v);
  EXPECT_EQ(v[2], 480);
  float rgb[3];
  jpeghdr_ycc2rgb(bright_blue, rgb);
  EXPECT_GT(rgb[2], 1.5f);
}

TEST(JpegHdrCodec, ForegroundIsPlainJpegAndHeaderTextIsExact) {
  const int w = 200, h = 150;
  std::vector<float> px = smoothScene(w, h);
  std::string data = encode(px, w, h, 90, 1, 1.f, 1.f, 0.5f);
  std::vector<Segment> segs = headerSegments(data, nullptr);
  ASSERT_GE(segs.size(), 2u);
  EXPECT_EQ(segs[0].marker, 0xE0);  // JFIF first, then our segments
  EXPECT_EQ(segs[1].marker, 0xEB);
  const std::string& p = segs[1].payload;
  const size_t z = p.find('\0');
  ASSERT_NE(z, std::string::npos);
  const std::string text = p.substr(0, z);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      text, m,
      std::regex("HDR_RI ver=11\n ln0=(-?[0-9]+\\.[0-9]{6}), ln1=(-?[0-9]+\\.[0-9]{6}), "
                 "s2n=5\\.000000e-01 alp=1\\.000000 bet=1\\.000000 cor=1\n~")))
      << text;
  EXPECT_LT(Catof(m[1].str().c_str()), Catof(m[2].str().c_str()));
  // The ratio image follows the zero byte: a greyscale JPEG.
  EXPECT_EQ(p.substr(z + 1, 2), std::string("\xFF\xD8", 2));
  // Without the segments, the plain decoders see the foreground.
  Decoded plain = decodeData(data);
  ASSERT_EQ(plain.result, 3);
  TempPath fpath("jh_fg");
  writeFile(fpath.c_str(), data);
  uint8_t* b = nullptr;
  int size[2] = {0, 0};
  EXPECT_EQ(jpeghdr_load_memory(nullptr, &b, size, nullptr, fpath.c_str()), 1);
  for (size_t i = 0; i < plain.b.size(); i++) ASSERT_NEAR(b[i], plain.b[i], 1) << i;
  std::free(b);
  if (!testutil::OnPath("djpeg")) GTEST_SKIP() << "djpeg not installed";
  TempPath ppm("jh_ppm");
  ASSERT_EQ(testutil::RunProgram({"djpeg", "-outfile", ppm.c_str(), fpath.c_str()}, nullptr,
                                 testutil::Errors::kShown),
            0);
  const std::string out = readFile(ppm.c_str());
  EXPECT_EQ(out.substr(0, 11), "P6\n200 150\n");
}

class JpegHdrLocale : public testing::TestWithParam<const char*> {};
INSTANTIATE_TEST_SUITE_P(Locales, JpegHdrLocale, testing::ValuesIn(testutil::kOtherLocales),
                         testutil::LocaleParamName);

// The header text is written and read in the C locale's numbers: a file written under C opens
// as HDR under a comma locale, and one written there is the same file.
TEST_P(JpegHdrLocale, FilesAreTheSameAndOpenAsHdr) {
  const int w = 64, h = 48;
  std::vector<float> px = smoothScene(w, h);
  const std::string c = encode(px, w, h, 90, 1, 0.75f, 0.5f, 179.f);
  const Decoded underC = decodeData(c);
  ASSERT_EQ(underC.f.size(), static_cast<size_t>(w) * h * 3);
  SET_PROCESS_LOCALE(locale, GetParam());
  EXPECT_TRUE(encode(px, w, h, 90, 1, 0.75f, 0.5f, 179.f) == c);
  const Decoded d = decodeData(c);
  EXPECT_EQ(d.s2n, 179.f);
  EXPECT_TRUE(d.f == underC.f);
}

// A noisy scene at quality 100 has a full-size ratio image far over one segment.
TEST(JpegHdrCodec, LongRatioImageSplitsIntoNumberedSegmentsAndReassembles) {
  const int w = 800, h = 600;
  std::vector<float> px = smoothScene(w, h);
  uint32_t seed = 7;
  for (float& v : px) {
    seed = seed * 1103515245u + 12345u;
    v *= std::pow(10.f, 2.f * static_cast<float>(seed >> 8) / 16777216.f - 1.f);
  }
  std::string data = encode(px, w, h, 100, 1);
  std::vector<std::string> app11 = app11Payloads(data);
  ASSERT_GE(app11.size(), 3u);
  EXPECT_NE(app11[0].find("cor=0\n~"), std::string::npos);  // quality over 94: full size
  for (size_t i = 0; i < app11.size(); i++) {
    EXPECT_LE(app11[i].size(), 65280u);
    if (i + 1 < app11.size()) {
      EXPECT_EQ(app11[i].size(), 65280u);
    }
    if (i > 0) {
      const std::string text = "HDR_RI ext=" + std::to_string(i) + "\n~";
      EXPECT_EQ(app11[i].substr(0, text.size() + 1), text + std::string(1, '\0'));
    }
  }
  Decoded d = decodeData(data);
  ASSERT_EQ(d.result, 3);
  EXPECT_LE(stats(px, d).median, 0.3f);  // pixel noise of a decade each way, lossy foreground

  // One continuation renumbered out of sequence: the whole file reads as plain JPEG.
  std::string rest;
  std::vector<Segment> segs = headerSegments(data, &rest);
  for (Segment& s : segs)
    if (s.marker == 0xEB && s.payload.compare(0, 13, "HDR_RI ext=2\n") == 0) s.payload[11] = '3';
  EXPECT_EQ(decodeData(joinSegments(segs, rest)).result, 1);
}

// Rewrites the first segment's header text.
std::string withHeader(const std::string& data, const std::string& from, const std::string& to) {
  std::string rest;
  std::vector<Segment> segs = headerSegments(data, &rest);
  for (Segment& s : segs)
    if (s.marker == 0xEB && s.payload.compare(0, 11, "HDR_RI ver=") == 0) {
      const size_t z = s.payload.find('\0');
      std::string text = s.payload.substr(0, z);
      text = std::regex_replace(text, std::regex(from), to);
      s.payload = text + s.payload.substr(z);
      break;
    }
  return joinSegments(segs, rest);
}

TEST(JpegHdrCodec, UnusableFirstSegmentsReadAsPlainJpeg) {
  const int w = 120, h = 90;
  std::string data = encode(smoothScene(w, h), w, h, 90, 1);
  EXPECT_EQ(decodeData(data).result, 3);
  EXPECT_EQ(decodeData(withHeader(data, "ver=11", "ver=20")).result, 1);
  EXPECT_EQ(decodeData(withHeader(data, "ver=11", "ver=10")).result, 3);  // old files decode
  EXPECT_EQ(decodeData(withHeader(withHeader(data, "ln0=[-0-9.]+", "ln0=1.500000"), "ln1=[-0-9.]+",
                                  "ln1=1.500000"))
                .result,
            1);
  EXPECT_EQ(decodeData(withHeader(data, "alp=1.000000", "alp=0.000000")).result, 1);
  EXPECT_EQ(decodeData(withHeader(data, "ln1=[-0-9.]+", "ln1=nan")).result, 1);
  // A foreign APP11 segment is passed by.
  std::string rest;
  std::vector<Segment> segs = headerSegments(data, &rest);
  segs.insert(segs.begin() + 1, Segment{0xEB, std::string("JP\0\0other", 9)});
  segs.push_back(Segment{0xEB, "not ours"});
  EXPECT_EQ(decodeData(joinSegments(segs, rest)).result, 3);
}

// A plain JPEG of w x h in the given colour space (3 or 4 components), for hostile ratio data.
std::string plainJpeg(int w, int h, J_COLOR_SPACE space, int comps) {
  std::ostringstream out;
  jpeg_compress_struct ci;
  jpeg_error_mgr jerr;
  ci.err = jpeg_glue_error(&jerr);
  jpeg_create_compress(&ci);
  jpeg_stream_dest(&ci, &out);
  ci.image_width = w;
  ci.image_height = h;
  ci.input_components = comps;
  ci.in_color_space = space;
  jpeg_set_defaults(&ci);
  jpeg_start_compress(&ci, TRUE);
  std::vector<JSAMPLE> row(static_cast<size_t>(w) * comps);
  while (ci.next_scanline < ci.image_height) {
    for (size_t i = 0; i < row.size(); i++) row[i] = static_cast<JSAMPLE>(i * 7 + ci.next_scanline);
    JSAMPROW rp = row.data();
    jpeg_write_scanlines(&ci, &rp, 1);
  }
  jpeg_finish_compress(&ci);
  jpeg_destroy_compress(&ci);
  return out.str();
}

// Replaces the ratio image of a one-segment file by data.
std::string withRatioData(const std::string& file, const std::string& data) {
  std::string rest;
  std::vector<Segment> segs = headerSegments(file, &rest);
  for (Segment& s : segs)
    if (s.marker == 0xEB) {
      s.payload = s.payload.substr(0, s.payload.find('\0') + 1) + data;
      break;
    }
  return joinSegments(segs, rest);
}

TEST(JpegHdrCodec, ColourRatioImagesAreReadAsOneChannelOrRefused) {
  const int w = 64, h = 48;
  std::string file = encode(smoothScene(w, h), w, h, 90, 0);
  ASSERT_EQ(app11Payloads(file).size(), 1u);
  Decoded colour = decodeData(withRatioData(file, plainJpeg(w, h, JCS_RGB, 3)));
  ASSERT_EQ(colour.result, 3);
  for (float v : colour.f) ASSERT_TRUE(std::isfinite(v));
  MessageLog log;
  EXPECT_EQ(decodeData(withRatioData(file, plainJpeg(w, h, JCS_CMYK, 4))).result, -1);
  EXPECT_EQ(log.CountClass(DMCdata), 1) << log.All();
  // A ratio image far larger than the foreground is refused too.
  EXPECT_EQ(decodeData(withRatioData(file, plainJpeg(40 * w, 40 * h, JCS_GRAYSCALE, 1))).result,
            -1);
  EXPECT_EQ(decodeData(withRatioData(file, plainJpeg(2 * w, 2 * h, JCS_GRAYSCALE, 1))).result, 3);
}

TEST(JpegHdrCodec, UniformAndNonFiniteImagesEncodeValidFiles) {
  const int w = 64, h = 48;
  for (float value : {1e-3f, 0.18f, 5000.f}) {
    std::vector<float> px(static_cast<size_t>(w) * h * 3, value);
    std::string data = encode(px, w, h, 90, 1);
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(app11Payloads(data)[0].find("nan"), std::string::npos);
    Decoded d = decodeData(data);
    ASSERT_EQ(d.result, 3) << value;
    for (size_t i = 0; i < d.f.size(); i += 97) EXPECT_NEAR(d.f[i], value, 0.03f * value);
  }
  std::vector<float> px = smoothScene(w, h);
  px[10] = std::numeric_limits<float>::quiet_NaN();
  px[300] = std::numeric_limits<float>::infinity();
  px[301] = -std::numeric_limits<float>::infinity();
  px[602] = 1e38f;
  Decoded d = decodeData(encode(px, w, h, 90, 2));
  ASSERT_EQ(d.result, 3);
  for (float v : d.f) ASSERT_TRUE(std::isfinite(v));
  // A black area stays black.
  std::vector<float> dark = smoothScene(w, h);
  for (int y = 0; y < 24; y++)
    for (int x = 0; x < 24; x++)
      for (int c = 0; c < 3; c++) dark[(y * w + x) * 3 + c] = 0.f;
  Decoded db = decodeData(encode(dark, w, h, 90, 0));
  ASSERT_EQ(db.result, 3);
  EXPECT_LT(jhtest::luminance(&db.f[(8 * w + 8) * 3]),
            1e-3f * jhtest::luminance(&dark[(30 * w + 30) * 3]));
}

TEST(JpegHdrCodec, ScaledDecodeCoversTheOutput) {
  const int w = 400, h = 240;
  std::vector<float> px = smoothScene(w, h);
  std::string data = encode(px, w, h, 90, 1);
  Decoded d = decodeData(data, 100, 60);
  ASSERT_EQ(d.result, 3);
  EXPECT_EQ(d.w, 100);
  EXPECT_EQ(d.h, 60);
  // Compare with the source sampled at block centres.
  std::vector<float> sub(static_cast<size_t>(100) * 60 * 3);
  for (int y = 0; y < 60; y++)
    for (int x = 0; x < 100; x++)
      for (int c = 0; c < 3; c++)
        sub[(y * 100 + x) * 3 + c] = px[((y * 4 + 2) * w + x * 4 + 2) * 3 + c];
  EXPECT_LE(stats(sub, d).median, 0.06f);
  // A wanted size beyond 1/8 is refused into a given buffer, allowed into our own.
  TempPath p("jh_small");
  writeFile(p.c_str(), data);
  std::vector<uint8_t> buf(10 * 6 * 3);
  uint8_t* bp = buf.data();
  int size[2] = {10, 6};
  EXPECT_EQ(jpeghdr_load_memory(nullptr, &bp, size, nullptr, p.c_str()), -1);
  Decoded eighth = load(p.c_str(), 10, 6);
  EXPECT_EQ(eighth.result, 3);
  EXPECT_EQ(eighth.w, 50);
}

TEST(JpegHdrCodec, LoadMemoryRefusesBadArguments) {
  MessageLog log;
  int size[2] = {0, 0};
  float* f = nullptr;
  uint8_t* b = nullptr;
  EXPECT_EQ(jpeghdr_load_memory(nullptr, nullptr, size, nullptr, "/nonexistent"), -1);
  EXPECT_EQ(jpeghdr_load_memory(&f, &b, nullptr, nullptr, "/nonexistent"), -1);
  int one[2] = {5, 0};
  EXPECT_EQ(jpeghdr_load_memory(&f, &b, one, nullptr, "/nonexistent"), -1);
  EXPECT_EQ(jpeghdr_load_memory(&f, &b, size, nullptr, "/nonexistent/x.jpg"), -1);
  TempPath p("jh_junk");
  writeFile(p.c_str(), "not a jpeg at all");
  EXPECT_EQ(jpeghdr_load_memory(&f, &b, size, nullptr, p.c_str()), -1);
  writeFile(p.c_str(), "");
  EXPECT_EQ(jpeghdr_load_memory(&f, &b, size, nullptr, p.c_str()), -1);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(jpeghdr_write_memory(p.c_str(), nullptr, 4, 4, 90, 1, 1, 1, 0), 0);
}

// Codec calls under an armed jump record, reporting the libjpeg message code they raised.
int compressWithCodes(uint8_t code) {
  jpeghdr_compress_struct jh;
  jpeg_error_mgr jerr;
  jpeg_jump_record rec;
  jpeg_glue_prepare(reinterpret_cast<j_common_ptr>(&jh), sizeof jh, &jerr, &rec);
  static float px[16 * 16 * 3];
  for (float& v : px) v = 0.5f;
  static char sink[1 << 16];
  FILE* fp = fmemopen(sink, sizeof sink, "wb");
  if (setjmp(rec.env)) {
    const int msg = jerr.msg_code;
    jpeghdr_destroy_compress(&jh);
    std::fclose(fp);
    return msg;
  }
  jpeghdr_create_compress(&jh);
  jpeg_stdio_dest(&jh.cinfo, fp);
  jpeghdr_src_floatRGB(&jh, px, 16, 16);
  jpeghdr_alloc_tmi(&jh);
  std::memset(jh.tmi, code, 16 * 16);
  jpeghdr_do_compress(&jh);
  jpeghdr_destroy_compress(&jh);
  std::fclose(fp);
  return 0;
}

int readPastTheEnd(const std::string& data, int* rows) {
  jpeghdr_decompress_struct jh;
  jpeg_error_mgr jerr;
  jpeg_jump_record rec;
  jpeg_glue_prepare(reinterpret_cast<j_common_ptr>(&jh), sizeof jh, &jerr, &rec);
  static float row[4096 * 3];
  std::istringstream in(data);
  if (setjmp(rec.env)) {
    const int msg = jerr.msg_code;
    jpeghdr_destroy_decompress(&jh);
    return msg;
  }
  jpeghdr_create_decompress(&jh);
  jpeg_stream_src(&jh.cinfo, &in);
  if (jpeghdr_read_header(&jh) != 3 || !jpeghdr_start_decompress(&jh)) {
    jpeghdr_destroy_decompress(&jh);
    return -1;
  }
  while (jpeghdr_read_scanline(&jh, row)) ++*rows;
  jpeghdr_destroy_decompress(&jh);
  return 0;
}

TEST(JpegHdrCodec, LibjpegErrorsReturnToTheCaller) {
  EXPECT_EQ(compressWithCodes(15), JERR_CONVERSION_NOTIMPL);  // nothing above 20
  EXPECT_EQ(compressWithCodes(20), JERR_CONVERSION_NOTIMPL);
  EXPECT_EQ(compressWithCodes(100), 0);
  const int w = 40, h = 30;
  std::string data = encode(smoothScene(w, h), w, h, 90, 2);
  int rows = 0;
  EXPECT_EQ(readPastTheEnd(data, &rows), JERR_BAD_STATE);
  EXPECT_EQ(rows, h);
}

}  // namespace
