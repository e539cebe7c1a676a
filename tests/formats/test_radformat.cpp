// RGBE/XYZE pictures through our writer and reader: scan orders, subsampled rectangles,
// frames, header lines and image information, refusals and damaged files.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>

#include "fmt_test_util.h"
#include "picture/rgbe.h"
#include "formats/radformat.h"
#include "testutil/message_log.h"
#include "testutil/process_locale.h"

using namespace pictest;

namespace {

// The pixel an RGBE picture stores for a float colour.
std::array<float, 3> Stored(const float* c) {
  RGBEPIX p;
  setcolr(p, c[0], c[1], c[2]);
  std::array<float, 3> f;
  colr_color(f.data(), p);
  return f;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void Spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

_ImgReader* OpenRad(const std::string& path) {
  return IRInterfaceRad.Open(path.c_str());
}

// Writes wb to path and opens the picture; null when either fails.
_ImgReader* WriteAndOpen(const std::string& path, const _ImgWriteBuf& wb) {
  EXPECT_GT(RadWriteImage(path.c_str(), &wb), 0) << path;
  return OpenRad(path);
}

// Where displayed pixel (x, y) lies in a stored buffer of w x h that carries orientation o:
// the orientation says how the stored image turns upright.
std::pair<int, int> StoredPos(int o, int x, int y, int w, int h) {
  switch (o) {
    case IOtopright:
      return {w - 1 - x, y};
    case IObotright:
      return {w - 1 - x, h - 1 - y};
    case IObotleft:
      return {x, h - 1 - y};
    case IOlefttop:
      return {y, x};
    case IOrighttop:
      return {y, h - 1 - x};
    case IOrightbot:
      return {w - 1 - y, h - 1 - x};
    case IOleftbot:
      return {w - 1 - y, x};
    default:
      return {x, y};
  }
}

TEST(RadPicture, EveryOrientationReadsUprightWithItsPixelsShapeInSubsampledRectangles) {
  ScratchDir dir;
  const FloatImage src = Pattern(13, 7);
  for (int o = IOtopleft; o <= IOleftbot; o++) {
    SCOPED_TRACE("orientation " + std::to_string(o));
    _ImgWriteBuf wb = src.WriteBuf();
    wb.info.flags = IIForientation;
    wb.info.orientation = static_cast<ImgOrientation>(o);
    wb.pixAspect = 0.5f;  // pixels twice as tall as wide
    const std::string path = dir.Path("o" + std::to_string(o) + ".hdr");
    _ImgReader* ir = WriteAndOpen(path, wb);
    ASSERT_NE(ir, nullptr);
    ReaderCloser closer{ir};
    const bool turned = o >= IOlefttop;
    ASSERT_EQ(ir->xres, turned ? src.h : src.w);
    ASSERT_EQ(ir->yres, turned ? src.w : src.h);
    EXPECT_FLOAT_EQ(ir->pixAspect, turned ? 2.0f : 0.5f);  // turned with the picture
    // Whole picture, an inner rectangle with odd bounds, and a corner;
    // read twice so that the second pass seeks to remembered scanlines.
    const _ImgRect rects[] = {{0, ir->xres, 0, ir->yres},
                              {1, ir->xres - 1, 3, ir->yres},
                              {ir->xres - 3, ir->xres, ir->yres - 3, ir->yres},
                              {0, ir->xres, 0, ir->yres}};
    for (const _ImgRect& r : rects) {
      ImgReadErr err;
      _ImgReadBuf rb;
      std::vector<uint8_t> b = ReadRect(ir, r, 2, ICS_RGB709, &err, &rb);
      ASSERT_EQ(err, IREnone) << ir->errMsg;
      const int w = (rb.r.xright - rb.r.xleft) / 2, h = (rb.r.ybottom - rb.r.ytop) / 2;
      ASSERT_EQ(b.size(), static_cast<size_t>(w) * h * 12);
      const float* f = reinterpret_cast<const float*>(b.data());
      for (int j = 0; j < h; j++)
        for (int i = 0; i < w; i++) {
          const auto pos = StoredPos(o, rb.r.xleft + 2 * i, rb.r.ytop + 2 * j, src.w, src.h);
          const auto want = Stored(src.At(pos.first, pos.second));
          const float* got = f + (static_cast<size_t>(j) * w + i) * 3;
          ASSERT_TRUE(got[0] == want[0] && got[1] == want[1] && got[2] == want[2])
              << "output " << i << "," << j;
        }
    }
  }
}

TEST(RadPicture, SubsampledRectangleSnapsToTheStep) {
  ScratchDir dir;
  const FloatImage src = Pattern(640, 480);
  _ImgWriteBuf wb = src.WriteBuf();
  const std::string path = dir.Path("snap.hdr");
  _ImgReader* ir = WriteAndOpen(path, wb);
  ASSERT_NE(ir, nullptr);
  ReaderCloser closer{ir};
  ImgReadErr err;
  _ImgReadBuf rb;
  std::vector<uint8_t> b = ReadRect(ir, {10, 20, 0, 5}, 2, ICS_RGB709, &err, &rb);
  ASSERT_EQ(err, IREnone);
  EXPECT_EQ(rb.r.xleft, 10);
  EXPECT_EQ(rb.r.xright, 20);
  EXPECT_EQ(rb.r.ytop, 0);
  EXPECT_EQ(rb.r.ybottom, 4);
  ASSERT_EQ(b.size(), 5u * 2 * 12);
  const float* f = reinterpret_cast<const float*>(b.data());
  for (int j = 0; j < 2; j++)
    for (int i = 0; i < 5; i++)
      EXPECT_EQ(f[(j * 5 + i) * 3 + 1], Stored(src.At(10 + 2 * i, 2 * j))[1]);
  // A rectangle reaching outside the picture.
  ReadRect(ir, {630, 650, 0, 4}, 1, ICS_RGB709, &err);
  EXPECT_EQ(err, IREunknown);
  EXPECT_STREQ(ir->errMsg, "illegal read rectangle");
}

TEST(RadPicture, BufferTooSmallAsksForAnotherInsteadOfWriting) {
  ScratchDir dir;
  const FloatImage src = Pattern(20, 10);
  _ImgWriteBuf wb = src.WriteBuf();
  const std::string path = dir.Path("small.hdr");
  _ImgReader* ir = WriteAndOpen(path, wb);
  ReaderCloser closer{ir};
  // 8-bit room offered, but a log-encoded 8-bit request falls back to float.
  std::vector<uint8_t> buf(20 * 10 * 3, 0xAB);
  _ImgReadBuf rb;
  memset(&rb, 0, sizeof rb);
  rb.cs = ICS_sRGB;
  rb.cs.cstatic = 0;
  rb.cs.logorig = 1e-3f;
  rb.r = {0, 20, 0, 10};
  rb.subsample = 1;
  rb.buf = buf.data();
  rb.bufsize = buf.size();
  EXPECT_EQ(ir->ri->ReadRec(ir, &rb), IREnone);
  EXPECT_EQ(rb.cs.dtype, IDTfloat);
  EXPECT_EQ(rb.r.xright, rb.r.xleft);
  EXPECT_EQ(buf, std::vector<uint8_t>(20 * 10 * 3, 0xAB));
  // No buffer at all.
  rb.r = {0, 20, 0, 10};
  rb.buf = nullptr;
  EXPECT_EQ(ir->ri->ReadRec(ir, &rb), IREnone);
  EXPECT_EQ(rb.r.xright, rb.r.xleft);
}

// Header lines of a picture up to the empty line.
std::vector<std::string> HeaderLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(Slurp(path));
  std::string l;
  while (std::getline(in, l)) {
    lines.push_back(l);
    if (l.empty()) {
      std::getline(in, l);
      lines.push_back(l);
      break;
    }
  }
  return lines;
}

TEST(RadPicture, DefaultHeaderAndFlatOrRunLengthScanlines) {
  ScratchDir dir;
  FloatImage src = Pattern(9, 4);
  _ImgWriteBuf wb = src.WriteBuf();
  const std::string rle = dir.Path("rle.hdr"), flat = dir.Path("flat.hdr");
  ASSERT_GT(RadWriteImage(rle.c_str(), &wb), 0);
  EXPECT_EQ(HeaderLines(rle),
            (std::vector<std::string>{"#?RGBE",
                                      "PRIMARIES= 0.6400 0.3300 0.3000 0.6000 0.1500 0.0600 "
                                      "0.3127 0.3290",
                                      "FORMAT=32-bit_rle_rgbe", "", "-Y 4 +X 9"}));
  wb.info.flags = IIFquality;
  wb.info.quality = 100;
  EXPECT_STREQ(RadSupportedCS(&src.cs, 100), "Vortelux 32-bit RGBE");
  EXPECT_STREQ(RadSupportedCS(&src.cs, 90), "Vortelux RLE RGBE");
  const long size = RadWriteImage(flat.c_str(), &wb);
  const size_t header = Slurp(rle).find("+X 9\n") + 5;
  EXPECT_EQ(static_cast<size_t>(size), header + 9 * 4 * 4);
  EXPECT_EQ(static_cast<size_t>(size), Slurp(flat).size());
  _ImgReader* a = OpenRad(rle);
  _ImgReader* b = OpenRad(flat);
  ReaderCloser ca{a}, cb{b};
  ASSERT_TRUE(a && b);
  EXPECT_EQ(ReadAllFloat(a), ReadAllFloat(b));
  EXPECT_STREQ(a->encoding, "RLE RGBE");
}

TEST(RadPicture, ImageInformationRoundTripsThroughHeaderLines) {
  ScratchDir dir;
  const FloatImage src = Pattern(8, 6);
  _ImgWriteBuf wb = src.WriteBuf();
  wb.pixAspect = 0.5f;
  _ImgInfo& in = wb.info;
  in.flags = IIFsource | IIFstonits | IIFview | IIFowner | IIFcapdate | IIFgmtdate | IIFlatlong |
             IIFcomments | IIFparams;
  in.source.stype = 0;
  strcpy(in.source.make, "Acme");
  strcpy(in.source.model, "Cam\n1");
  strcpy(in.source.vers, "2");
  in.stonits = 358.0f;
  strcpy(in.view, "-vtv -vh 45 -vv 30\n");
  strcpy(in.owner, "Ann\nFORMAT=32-bit_rle_xyze");
  strcpy(in.capdate, "2021:03:04 05:06:07");
  strcpy(in.gmtdate, "2021:03:04 04:06:07");
  in.latlong[0] = 45.5f;
  in.latlong[1] = -122.25f;
  strcpy(in.comments, "first line\n\nsecond line");
  strcpy(in.params, "COLORCORR= 1 1 1\n");
  const std::string path = dir.Path("info.hdr");
  ASSERT_GT(RadWriteImage(path.c_str(), &wb), 0);
  const std::vector<std::string> lines = HeaderLines(path);
  EXPECT_EQ(lines.back(), "-Y 6 +X 8");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "PIXASPECT=2.000000"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "EXPOSURE=5.000000e-01"), lines.end());

  _ImgReader* ir = OpenRad(path);
  ASSERT_NE(ir, nullptr);
  ReaderCloser closer{ir};
  // The owner's line break could not smuggle in a FORMAT line.
  EXPECT_EQ(ir->cs.format, IPFrgb);
  EXPECT_FLOAT_EQ(ir->pixAspect, 0.5f);
  _ImgInfo out;
  memset(&out, 0, sizeof out);
  ASSERT_EQ(ir->ri->GetInfo(ir, &out), IREnone);
  EXPECT_FLOAT_EQ(out.stonits, 358.0f);
  EXPECT_STREQ(out.view, "-vtv -vh 45 -vv 30");
  EXPECT_FLOAT_EQ(out.hvangle, 45.0f);
  EXPECT_STREQ(out.owner, "AnnFORMAT=32-bit_rle_xyze");
  EXPECT_STREQ(out.capdate, "2021:03:04 05:06:07");
  EXPECT_STREQ(out.gmtdate, "2021:03:04 04:06:07");
  EXPECT_FLOAT_EQ(out.latlong[0], 45.5f);
  EXPECT_FLOAT_EQ(out.latlong[1], -122.25f);
  EXPECT_STREQ(out.comments, "CAMERA= Acme Cam1 version 2\nfirst line\nsecond line\n");
  EXPECT_STREQ(out.params, "COLORCORR= 1 1 1\n");
  const uint32_t want = IIFstonits | IIFview | IIFhvangle | IIFowner | IIFcapdate | IIFgmtdate |
                        IIFlatlong | IIFcomments | IIFparams;
  EXPECT_EQ(out.flags, want);
  // Reading goes on after the header was scanned.
  EXPECT_EQ(ReadAllFloat(ir).size(), 8u * 6 * 3);
}

// What a reader makes of a picture's header lines: the luminance factor, horizontal view
// angle, latitude, longitude, pixel aspect, red x and white y.
using HeaderRead = std::array<float, 7>;

HeaderRead ReadHeader(const std::string& path) {
  _ImgReader* ir = OpenRad(path);
  EXPECT_NE(ir, nullptr);
  if (ir == nullptr) return {};
  ReaderCloser closer{ir};
  _ImgInfo info;
  memset(&info, 0, sizeof info);
  EXPECT_EQ(ir->ri->GetInfo(ir, &info), IREnone);
  return {info.stonits,  info.hvangle,        info.latlong[0],    info.latlong[1],
          ir->pixAspect, ir->cs.chroma[0][0], ir->cs.chroma[3][1]};
}

class RadPictureLocale : public testing::TestWithParam<const char*> {};
INSTANTIATE_TEST_SUITE_P(Locales, RadPictureLocale, testing::ValuesIn(testutil::kOtherLocales),
                         testutil::LocaleParamName);

// Under a comma locale the header lines are written with points, byte for byte as under C, and
// a picture written under C reads back the same numbers.
TEST_P(RadPictureLocale, HeaderLinesAreTheBytesOfC) {
  ScratchDir dir;
  FloatImage src = Pattern(4, 3);
  const float prims[4][2] = {{0.7f, 0.3f}, {0.2f, 0.7f}, {0.1f, 0.1f}, {0.33f, 0.33f}};
  memcpy(src.cs.chroma, prims, sizeof prims);
  _ImgWriteBuf wb = src.WriteBuf();
  wb.pixAspect = 0.4f;
  wb.info.flags = IIFstonits | IIFhvangle | IIFlatlong;
  wb.info.stonits = 358.0f;
  wb.info.hvangle = 45.5f;
  wb.info.latlong[0] = 37.774929f;
  wb.info.latlong[1] = -122.419418f;
  const std::string c = dir.Path("c.hdr"), other = dir.Path("other.hdr");
  ASSERT_GT(RadWriteImage(c.c_str(), &wb), 0);
  const HeaderRead underC = ReadHeader(c);
  EXPECT_FLOAT_EQ(underC[0], 358.0f);
  EXPECT_NEAR(underC[1], 45.5f, 1e-5);
  EXPECT_FLOAT_EQ(underC[4], 0.4f);
  EXPECT_FLOAT_EQ(underC[5], 0.7f);
  SET_PROCESS_LOCALE(locale, GetParam());
  ASSERT_GT(RadWriteImage(other.c_str(), &wb), 0);
  EXPECT_EQ(Slurp(other), Slurp(c));
  EXPECT_EQ(ReadHeader(c), underC);
}

TEST(RadPicture, HeaderLinesSetScaleAspectPrimariesAndSource) {
  ScratchDir dir;
  struct Case {
    const char* lines;
    double stonits;
    float aspect;
    float redx;
  } cases[] = {
      {"EXPOSURE=2\nEXPOSURE=0.5\nEXPOSURE=0\n", 179, 1, 0.64f},
      {"PIXASPECT=20\nPIXASPECT=2\n", 179, 0.5f, 0.64f},
      {"PRIMARIES=0 0 0 0 0 0 0 0\n", 179, 1, 0.64f},  // unusable primaries are ignored
      {"PRIMARIES=0.7 0.3 0.2 0.7 0.1 0.1 0.33 0.33\n", 179, 1, 0.7f},
  };
  const std::string pix(12 * 4, '\x80');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    const std::string path = dir.Path("h.hdr");
    Spit(path,
         std::string("#?ANYNAME\nFORMAT=32-bit_rle_rgbe\n") + c.lines + "\n-Y 1 +X 12\n" + pix);
    _ImgReader* ir = OpenRad(path);
    ASSERT_NE(ir, nullptr);
    ReaderCloser closer{ir};
    _ImgInfo info;
    memset(&info, 0, sizeof info);
    ASSERT_EQ(ir->ri->GetInfo(ir, &info), IREnone);
    EXPECT_FLOAT_EQ(info.stonits, static_cast<float>(c.stonits));
    EXPECT_FLOAT_EQ(ir->pixAspect, c.aspect);
    EXPECT_FLOAT_EQ(ir->cs.chroma[0][0], c.redx);
  }
  // XYZE: luminance is Y itself; the software line of the simulation suite names its version.
  const std::string path = dir.Path("x.hdr");
  Spit(path,
       "#?X\nSOFTWARE= VORTELUX 5.4a (2020)\nVIEW= -vtl -vh 10\nFORMAT=32-bit_rle_xyze\n"
       "\n+X 3 -Y 4\n" +
           pix);
  _ImgReader* ir = OpenRad(path);
  ASSERT_NE(ir, nullptr);
  ReaderCloser closer{ir};
  EXPECT_EQ(ir->cs.format, IPFxyz);
  EXPECT_STREQ(ir->encoding, "RLE XYZE");
  EXPECT_EQ(ir->xres, 3);
  EXPECT_EQ(ir->yres, 4);
  _ImgInfo info;
  memset(&info, 0, sizeof info);
  ASSERT_EQ(ir->ri->GetInfo(ir, &info), IREnone);
  EXPECT_FLOAT_EQ(info.stonits, 1.0f);
  EXPECT_EQ(info.source.stype, 5);
  EXPECT_STREQ(info.source.model, "VORTELUX");
  EXPECT_STREQ(info.source.vers, "5.4a");
  EXPECT_TRUE(info.flags & IIFhvangle);
  EXPECT_EQ(info.hvangle, 0.0f);
}

TEST(RadPicture, XyzImagesWriteXyzePictures) {
  ScratchDir dir;
  const FloatImage src = Pattern(10, 3, 3, ICS_XYZ);
  _ImgWriteBuf wb = src.WriteBuf();
  wb.info.flags = IIFstonits;
  wb.info.stonits = 179.0f;
  EXPECT_STREQ(RadSupportedCS(&ICS_XYZ, 50), "Vortelux RLE XYZE");
  const std::string path = dir.Path("xyz.hdr");
  ASSERT_GT(RadWriteImage(path.c_str(), &wb), 0);
  const std::vector<std::string> lines = HeaderLines(path);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "EXPOSURE=5.586592e-03"), lines.end());
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("PRIMARIES", 0) == 0; }),
            0);
  _ImgReader* ir = OpenRad(path);
  ASSERT_NE(ir, nullptr);
  ReaderCloser closer{ir};
  EXPECT_TRUE(PmatchColorSpace(&ir->cs, &ICS_XYZ, 31));
  const std::vector<float> f = ReadAllFloat(ir);
  ASSERT_EQ(f.size(), src.px.size());
  EXPECT_EQ(f[3 * 7 + 1], Stored(src.At(7, 0))[1]);
}

TEST(RadPicture, WriterRefusesWhatItCannotStore) {
  ScratchDir dir;
  const FloatImage src = Pattern(4, 4);
  const std::string path = dir.Path("no.hdr");
  _ImgWriteBuf wb = src.WriteBuf();
  _ImgColorSpace cs8 = ICS_sRGB, grey = ICS_Y, logcs = ICS_RGB709dB;
  EXPECT_EQ(RadSupportedCS(&cs8, 90), nullptr);
  EXPECT_EQ(RadSupportedCS(&grey, 90), nullptr);
  EXPECT_EQ(RadSupportedCS(&logcs, 90), nullptr);
  wb.csp = &cs8;
  EXPECT_EQ(RadWriteImage(path.c_str(), &wb), 0);
  wb.csp = &grey;
  EXPECT_EQ(RadWriteImage(path.c_str(), &wb), 0);
  wb = src.WriteBuf();
  wb.rowsize = 4;  // rows that cannot hold the pixels
  EXPECT_EQ(RadWriteImage(path.c_str(), &wb), 0);
  EXPECT_EQ(RadWriteImage("", &wb), 0);
  EXPECT_FALSE(HaveFile(path));
}

TEST(RadPicture, FailedWriteLeavesTheOldFileAlone) {
  ScratchDir dir;
  const std::string path = dir.Path("keep.hdr");
  Spit(path, "precious");
  const FloatImage src = Pattern(300, 300);
  _ImgWriteBuf wb = src.WriteBuf();
  // A file-size limit makes the write fail half-way.
  struct rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim = old;
  lim.rlim_cur = 4096;
  setrlimit(RLIMIT_FSIZE, &lim);
  const long n = RadWriteImage(path.c_str(), &wb);
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(Slurp(path), "precious");
  EXPECT_EQ(Output({"ls", "-A", dir.Dir()}), "keep.hdr\n");  // no temporary left behind
  // Success replaces it, with the permissions of a new file.
  ASSERT_GT(RadWriteImage(path.c_str(), &wb), 0);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

// Two pictures one after the other, each with a FRAME line.
std::string TwoFrames(const ScratchDir& dir, const FloatImage& a, const FloatImage& b) {
  std::string bytes;
  const FloatImage* frames[] = {&a, &b};
  for (int i = 0; i < 2; i++) {
    _ImgWriteBuf wb = frames[i]->WriteBuf();
    wb.info.flags = IIFparams;
    snprintf(wb.info.params, sizeof wb.info.params, "FRAME=%d\n", i + 1);
    const std::string p = dir.Path("frame.hdr");
    EXPECT_GT(RadWriteImage(p.c_str(), &wb), 0);
    bytes += Slurp(p);
  }
  return bytes;
}

TEST(RadPicture, FramesAreFoundInTurnAndCounted) {
  ScratchDir dir;
  const FloatImage a = Pattern(10, 4), b = Pattern(6, 9);
  const std::string path = dir.Path("anim.hdr");
  Spit(path, TwoFrames(dir, a, b));
  _ImgReader* ir = OpenRad(path);
  ASSERT_NE(ir, nullptr);
  ReaderCloser closer{ir};
  EXPECT_EQ(ir->nframes, 0);
  EXPECT_EQ(ir->frameType, IRFanim);
  ASSERT_EQ(ir->ri->SeekFrame(ir, 1, 0), IREnone) << ir->errMsg;
  EXPECT_EQ(ir->frame, 1);
  EXPECT_EQ(ir->xres, 6);
  EXPECT_EQ(ReadAllFloat(ir)[3 * 8 + 2], Stored(b.At(2, 1))[2]);
  EXPECT_EQ(ir->nframes, 2);  // the end of the file came right after the last scanline
  EXPECT_EQ(ir->ri->SeekFrame(ir, 1, 1), IREtruncated);
  EXPECT_STREQ(ir->errMsg, "no more frames");
  EXPECT_EQ(ir->nframes, 2);
  ASSERT_EQ(ir->ri->SeekFrame(ir, -1, 1), IREnone);
  EXPECT_EQ(ir->xres, 10);
  EXPECT_EQ(ReadAllFloat(ir)[3 * 13], Stored(a.At(3, 1))[0]);
  ASSERT_EQ(ir->ri->SeekFrame(ir, 1, 2), IREnone);  // now from the remembered position
  EXPECT_EQ(ir->yres, 9);
  _ImgInfo info;
  memset(&info, 0, sizeof info);
  ASSERT_EQ(ir->ri->GetInfo(ir, &info), IREnone);
  EXPECT_STREQ(info.params, "FRAME=1\nFRAME=2\n");

  // A picture without FRAME lines has one frame only.
  const std::string single = dir.Path("single.hdr");
  _ImgWriteBuf wb = a.WriteBuf();
  ASSERT_GT(RadWriteImage(single.c_str(), &wb), 0);
  _ImgReader* one = OpenRad(single);
  ASSERT_NE(one, nullptr);
  ReaderCloser c1{one};
  EXPECT_EQ(one->nframes, 1);
  EXPECT_EQ(one->ri->SeekFrame(one, 1, 0), IREtruncated);
  EXPECT_STREQ(one->errMsg, "single-frame picture");
  EXPECT_EQ(one->ri->SeekFrame(one, 0, 0), IREnone);
}

TEST(RadPicture, DamagedPicturesAreRefusedOrReportTheirFault) {
  ScratchDir dir;
  const FloatImage src = Pattern(40, 30);
  _ImgWriteBuf wb = src.WriteBuf();
  const std::string good = dir.Path("good.hdr");
  ASSERT_GT(RadWriteImage(good.c_str(), &wb), 0);
  const std::string bytes = Slurp(good);
  const std::string path = dir.Path("bad.hdr");

  // Not pictures: Open gives nothing.
  const std::string notPictures[] = {
      "#?RGBE\nFORMAT=32-bit_rle_rgbe\n",                // header never ends
      "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n",              // no resolution
      "#?RGBE\nFORMAT=16-bit_thing\n\n-Y 1 +X 1\nabcd",  // other format
      "#?RGBE\n\n-Y 100000 +X 100000\n\x02\x02",         // more than the file holds
  };
  for (const std::string& s : notPictures) {
    Spit(path, s);
    EXPECT_EQ(OpenRad(path), nullptr) << s;
  }
  // Cut short: opens, and the read fails at the first missing scanline.
  Spit(path, bytes.substr(0, bytes.size() - 500));
  _ImgReader* ir = OpenRad(path);
  ASSERT_NE(ir, nullptr);
  ReaderCloser closer{ir};
  ImgReadErr err;
  ReadRect(ir, {0, 40, 0, 30}, 1, ICS_RGB709, &err);
  EXPECT_EQ(err, IREtruncated);
  EXPECT_EQ(std::string(ir->errMsg).rfind("unexpected EOF (scanline ", 0), 0u) << ir->errMsg;
  // The rows before the damage still read, after the failure.
  ReadRect(ir, {0, 40, 0, 10}, 1, ICS_RGB709, &err);
  EXPECT_EQ(err, IREnone);
  // So does an 8-bit read of them fail cleanly: the histogram needs every row.
  ReadRect(ir, {0, 40, 0, 10}, 1, ICS_sRGB, &err);
  EXPECT_EQ(err, IREtruncated);
}

TEST(RadPicture, EightBitReadsAreToneMappedOnceUntilMappingChanges) {
  ScratchDir dir;
  FloatImage src = Pattern(64, 48);
  for (int y = 0; y < 48; y++)  // a bright ramp from left to right
    for (int x = 0; x < 64; x++)
      for (int c = 0; c < 3; c++) src.At(x, y)[c] = std::ldexp(1.0f, x / 6);
  _ImgWriteBuf wb = src.WriteBuf();
  const std::string path = dir.Path("tm.hdr");
  _ImgReader* ir = WriteAndOpen(path, wb);
  ASSERT_NE(ir, nullptr);
  ReaderCloser closer{ir};
  ImgReadErr err;
  _ImgReadBuf rb;
  std::vector<uint8_t> a = ReadRect(ir, {0, 64, 0, 48}, 1, ICS_sRGB, &err, &rb);
  ASSERT_EQ(err, IREnone);
  ASSERT_EQ(rb.cs.dtype, IDTubyte);
  ASSERT_EQ(a.size(), 64u * 48 * 3);
  for (int x = 6; x < 64; x += 6) EXPECT_GE(a[3 * x], a[3 * (x - 6)]) << x;  // rises with x
  EXPECT_LT(a[0], a[3 * 30]);
  EXPECT_LT(a[3 * 30], a[3 * 63]);
  EXPECT_EQ(a[0], a[1]);  // grey stays grey
  // The same mapping serves a subsampled read of a part (a column-wise picture is the same).
  std::vector<uint8_t> b = ReadRect(ir, {12, 64, 10, 20}, 4, ICS_sRGB, &err);
  ASSERT_EQ(err, IREnone);
  EXPECT_EQ(b[0], a[3 * (12 + 64 * 8)]);  // the top snaps to row 8
  // A changed mapping changes the bytes; floats afterwards are still floats.
  ir->ri->ToneMapping(ir, 4.0, 1000.0, 0);
  std::vector<uint8_t> c = ReadRect(ir, {0, 64, 0, 48}, 1, ICS_sRGB, &err);
  EXPECT_NE(a, c);
  EXPECT_EQ(ReadAllFloat(ir).size(), 64u * 48 * 3);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST(RadPicture, PositionsBeyondTwoGigabytesAreKept) {
  if (kSanitized) GTEST_SKIP() << "decoding 2 GB of scanlines takes too long under the sanitizers";
  // A sparse flat picture of 16384 x 33000 pixels (2.16 GB of zeros) with one marked pixel
  // in its last scanline.
  ScratchDir dir;
  const std::string path = dir.Path("big.hdr");
  const std::string head = "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 33000 +X 16384\n";
  const int64_t scan = 16384 * 4, rows = 33000;
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
  // Flat scanlines starting with 0 0 0 0 are read as flat (not run-length) pixels.
  const unsigned char mark[4] = {200, 100, 50, 130};
  const int64_t last = static_cast<int64_t>(head.size()) + (rows - 1) * scan + 4 * 5;
  ASSERT_EQ(pwrite(fd, mark, 4, last), 4);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(head.size()) + rows * scan), 0);
  close(fd);
  _ImgReader* ir = OpenRad(path);
  ASSERT_NE(ir, nullptr);
  ReaderCloser closer{ir};
  float want[3];
  colr_color(want, mark);
  for (int pass = 0; pass < 2; pass++) {
    ImgReadErr err;
    std::vector<uint8_t> b = ReadRect(ir, {5, 6, 32999, 33000}, 1, ICS_RGB709, &err);
    ASSERT_EQ(err, IREnone) << ir->errMsg;
    float got[3];
    memcpy(got, b.data(), sizeof got);
    EXPECT_EQ(got[0], want[0]);
    EXPECT_EQ(got[2], want[2]);
    ReadRect(ir, {0, 8, 0, 1}, 1, ICS_RGB709, &err);  // back to the start
    ASSERT_EQ(err, IREnone);
  }
}

}  // namespace
