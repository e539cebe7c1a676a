// RGBE pictures written by other programs read through our reader, and pictures we write
// read by other programs to the same pixel values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "fmt_test_util.h"
#include "picture/rgbe.h"
#include "formats/radformat.h"
#include "testutil/file_bytes.h"
#include "support/cnumber.h"

using namespace pictest;

namespace {

_ImgReader* OpenHdr(const char* name) {
  return IRInterfaceRad.Open(TestData(std::string("hdr/") + name).c_str());
}

TEST(RadFiles, PicturesOfOtherProgramsReadAlike) {
  if (!HaveFile(TestData("hdr/desk_oiiotool_rle.hdr"))) GTEST_SKIP() << "no test pictures";
  _ImgReader* ref = OpenHdr("desk_oiiotool_rle.hdr");
  ASSERT_NE(ref, nullptr);
  ReaderCloser cref{ref};
  EXPECT_EQ(ref->xres, 644);
  EXPECT_EQ(ref->yres, 874);
  EXPECT_TRUE(PmatchColorSpace(&ref->cs, &ICS_RGB709, 3));
  const std::vector<float> want = ReadAllFloat(ref);
  // ImageMagick's zero PRIMARIES line does not become the colour space.
  for (const char* name : {"desk_imagemagick_rle.hdr", "desk_opencv_flat.hdr"}) {
    SCOPED_TRACE(name);
    _ImgReader* ir = OpenHdr(name);
    ASSERT_NE(ir, nullptr);
    ReaderCloser c{ir};
    EXPECT_TRUE(PmatchColorSpace(&ir->cs, &ref->cs, 31));
    EXPECT_EQ(ReadAllFloat(ir), want);
  }
  // pfstools goes through CIE XYZ: one mantissa step at most (a step is at most 1/128 of
  // the pixel's largest component).
  _ImgReader* pfs = OpenHdr("desk_pfstools_rle.hdr");
  ASSERT_NE(pfs, nullptr);
  ReaderCloser cpfs{pfs};
  const std::vector<float> got = ReadAllFloat(pfs);
  ASSERT_EQ(got.size(), want.size());
  size_t far = 0;
  for (size_t i = 0; i < got.size(); i += 3) {
    const float step = std::fmax(std::fmax(want[i], want[i + 1]), want[i + 2]) / 127.0f;
    for (int c = 0; c < 3; c++) far += std::fabs(got[i + c] - want[i + c]) > step;
  }
  EXPECT_EQ(far, 0u);
  // The 7 x 96 strip is the crop at (300, 500), read with subsampling against the full one
  // (steps snap to multiples of 2 in both).
  _ImgReader* strip = OpenHdr("desk_strip7x96_imagemagick_flat.hdr");
  ASSERT_NE(strip, nullptr);
  ReaderCloser cs{strip};
  ASSERT_EQ(strip->xres, 7);
  ImgReadErr err;
  std::vector<uint8_t> a = ReadRect(strip, {0, 7, 0, 96}, 2, ICS_RGB709, &err);
  ASSERT_EQ(err, IREnone);
  std::vector<uint8_t> b = ReadRect(ref, {300, 307, 500, 596}, 2, ICS_RGB709, &err);
  ASSERT_EQ(err, IREnone);
  EXPECT_EQ(a.size(), 3u * 48 * 12);
  EXPECT_EQ(a, b);
}

TEST(RadFiles, RenderedThroughToneMappingToBytes) {
  if (!HaveFile(TestData("hdr/goldengate_imagemagick_rle.hdr"))) GTEST_SKIP() << "no test pictures";
  _ImgReader* ir = OpenHdr("goldengate_imagemagick_rle.hdr");
  ASSERT_NE(ir, nullptr);
  ReaderCloser c{ir};
  _ImgInfo info;
  memset(&info, 0, sizeof info);
  ASSERT_EQ(ir->ri->GetInfo(ir, &info), IREnone);
  EXPECT_TRUE(info.flags & IIFcomments);
  EXPECT_NE(strstr(info.comments, "Golden Gate"), nullptr);
  _ImgStruct img;
  memset(&img, 0, sizeof img);
  img.xres = 200;
  img.yres = 200;
  img.csp = &ICS_sRGB;
  ASSERT_EQ(PrenderImageR(&img, ir, 0), 1);
  EXPECT_EQ(img.xres, 200);
  EXPECT_EQ(img.yres, 136);
  long sum = 0;
  for (int y = 0; y < img.yres; y++)
    for (int x = 0; x < 3 * img.xres; x++) sum += img.img[y * img.rowsize + x];
  const double mean = static_cast<double>(sum) / (3.0 * img.xres * img.yres);
  EXPECT_GT(mean, 40);
  EXPECT_LT(mean, 200);
  PfreeImage(&img);
}

// A picture of values in (0, 1), which every program decodes the same way: component m of
// exponent e is m * 2^(e - 136) for all of them (ours adds half a step).
struct Written {
  ScratchDir dir;
  FloatImage src;
  std::string path;
  std::vector<float> expect;  // what the other programs decode, top row first
  Written(int w, int h, bool flat) {
    src = Pattern(w, h);
    for (float& v : src.px) v = std::fmod(v, 0.97f) + 0.02f;
    _ImgWriteBuf wb = src.WriteBuf();
    if (flat) {
      wb.info.flags = IIFquality;
      wb.info.quality = 100;
    }
    path = dir.Path("ours.hdr");
    EXPECT_GT(RadWriteImage(path.c_str(), &wb), 0);
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) {
        RGBEPIX p;
        setcolr(p, src.At(x, y)[0], src.At(x, y)[1], src.At(x, y)[2]);
        for (int c = 0; c < 3; c++)
          expect.push_back(std::ldexp(static_cast<float>(p[c]), p[3] - 136));
      }
  }
};

TEST(RadFiles, OurPicturesReadByOiiotool) {
  if (!HaveTool("oiiotool")) GTEST_SKIP() << "oiiotool not installed";
  for (bool flat : {false, true}) {
    Written w(37, 11, flat);
    EXPECT_EQ(OiioDump(w.path, 3), w.expect) << (flat ? "flat" : "run-length");
  }
}

TEST(RadFiles, OurPicturesReadByImageMagick) {
  if (!HaveTool("convert")) GTEST_SKIP() << "ImageMagick not installed";
  Written w(37, 11, false);
  const std::string txt = Output({"convert", w.path, "-depth", "16", "txt:-"});
  std::vector<float> got;
  for (const char* p = txt.c_str(); (p = strstr(p, ": (")) != nullptr;) {
    p += 3;
    for (int c = 0; c < 3; c++) got.push_back(Cstrtof(p, const_cast<char**>(&p)) / 65535.0f), p++;
  }
  ASSERT_EQ(got.size(), w.expect.size());
  for (size_t i = 0; i < got.size(); i++) ASSERT_NEAR(got[i], w.expect[i], 0.6 / 65535) << i;
}

// A PFM file's floats, top row first.
// The picture at path as pfsin reads it, put out by pfsoutpfm: the one's stream goes to the other
// through a file of the folder.
std::string Pfm(const std::string& path) {
  const std::string stream = path + ".pfs";
  {
    std::string pfs;
    if (testutil::RunProgram({"pfsin", path}, &pfs) != 0) return "";
    std::ofstream(stream, std::ios::binary) << pfs;
  }
  std::string pfm;
  const int rc = testutil::RunProgram({"pfsoutpfm", "-"}, &pfm, testutil::Errors::kDropped, stream);
  unlink(stream.c_str());
  return rc == 0 ? pfm : "";
}

std::vector<float> ReadPfm(const std::string& bytes, int* w, int* h) {
  std::vector<float> v;
  float scale = 0;
  int used = 0;
  if (Csscanf(bytes.c_str(), "PF %d %d %f%n", w, h, &scale, &used) != 3 || scale >= 0) return v;
  const size_t start = static_cast<size_t>(used) + 1, n = static_cast<size_t>(*w) * *h * 3;
  if (bytes.size() < start + n * 4) return v;
  v.resize(n);
  for (int y = 0; y < *h; y++)  // stored bottom row first
    memcpy(&v[static_cast<size_t>(*h - 1 - y) * *w * 3],
           bytes.data() + start + static_cast<size_t>(y) * *w * 12, static_cast<size_t>(*w) * 12);
  return v;
}

TEST(RadFiles, OurPicturesReadByPfstools) {
  if (!HaveTool("pfsin") || !HaveTool("pfsoutpfm")) GTEST_SKIP() << "pfstools not installed";
  Written w(37, 11, false);
  int pw = 0, ph = 0;
  const std::vector<float> got = ReadPfm(Pfm(w.path), &pw, &ph);
  ASSERT_EQ(pw, 37);
  ASSERT_EQ(ph, 11);
  ASSERT_EQ(got.size(), w.expect.size());
  for (size_t i = 0; i < got.size(); i++)
    ASSERT_NEAR(got[i], w.expect[i], 1e-5 + 1e-5 * w.expect[i]) << i;
  // pfsin takes a picture only by the first line our writer puts there: with the simulation
  // suite's name it silently gives nothing, which is why we write "#?RGBE".
  std::string bytes = ::ReadAll(w.path);
  ASSERT_EQ(bytes.rfind("#?RGBE\n", 0), 0u);
  const std::string other = w.dir.Path("other.hdr");
  FILE* fp = fopen(other.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  fputs("#?VORTELUX\n", fp);
  fwrite(bytes.data() + 7, 1, bytes.size() - 7, fp);
  fclose(fp);
  EXPECT_EQ(Pfm(other), "");
  // Our reader takes either.
  _ImgReader* ir = IRInterfaceRad.Open(other.c_str());
  ASSERT_NE(ir, nullptr);
  ReaderCloser c{ir};
  EXPECT_EQ(ReadAllFloat(ir).size(), w.expect.size());
}

}  // namespace
