// The TIFF reader: every kind of the shared test files against tiff2rgba, oiiotool or their
// source pixels, block layouts against each other, subsampled and partial reads, pages,
// tone-mapped delivery against the tone-mapping library's own TIFF loader, hand-made files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "format_test_util.h"
#include "formats/tiff_builder.h"
#include "formats/tiffimg.h"
#include "testutil/message_log.h"
#include "tonemap/tmloaders.h"

using fmttest::Floats;
using fmttest::Plain;
using fmttest::Read;
using fmttest::ReadAll;
using fmttest::Reader;

namespace {

std::string Dir() {
  return fmttest::Data("tiff");
}

// Writes a small TIFF with libtiff: w x h, spp samples of bits bits, filled with a pattern.
struct TiffLayout {
  uint32_t w = 40, h = 20;
  uint16_t spp = 3, bits = 8, format = SAMPLEFORMAT_UINT, photometric = PHOTOMETRIC_RGB;
  uint16_t planar = PLANARCONFIG_CONTIG;
  uint32_t tile = 0;  // tile size, 0 for strips of 3 rows
  const char* software = nullptr;
  float xres = 72, yres = 72;
};
uint8_t PatternByte(uint32_t x, uint32_t y, int s) {
  return static_cast<uint8_t>(x * 5 + y * 11 + s * 70);
}
std::string WriteLayout(const std::string& name, const TiffLayout& s) {
  const std::string path = fmttest::Temp(name);
  TIFF* t = TIFFOpen(path.c_str(), "w");
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, s.w);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, s.h);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, s.spp);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, s.bits);
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, s.format);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, s.photometric);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, s.planar);
  TIFFSetField(t, TIFFTAG_XRESOLUTION, s.xres);
  TIFFSetField(t, TIFFTAG_YRESOLUTION, s.yres);
  if (s.software != nullptr) TIFFSetField(t, TIFFTAG_SOFTWARE, s.software);
  const int planes = s.planar == PLANARCONFIG_SEPARATE ? s.spp : 1;
  const int per = s.planar == PLANARCONFIG_SEPARATE ? 1 : s.spp;
  const int sb = s.bits / 8;
  auto sample = [&](uint8_t* p, uint32_t x, uint32_t y, int c) {
    const uint8_t v = PatternByte(x, y, c);
    for (int b = 0; b < sb; ++b) p[b] = v;  // the same byte in every byte of the sample
  };
  if (s.tile != 0) {
    TIFFSetField(t, TIFFTAG_TILEWIDTH, s.tile);
    TIFFSetField(t, TIFFTAG_TILELENGTH, s.tile);
    std::vector<uint8_t> tile(static_cast<size_t>(TIFFTileSize(t)), 0);
    for (int pl = 0; pl < planes; ++pl)
      for (uint32_t ty = 0; ty < s.h; ty += s.tile)
        for (uint32_t tx = 0; tx < s.w; tx += s.tile) {
          for (uint32_t y = 0; y < s.tile; ++y)
            for (uint32_t x = 0; x < s.tile; ++x)
              for (int c = 0; c < per; ++c)
                sample(&tile[((y * s.tile + x) * per + c) * sb], tx + x, ty + y, pl + c);
          TIFFWriteTile(t, tile.data(), tx, ty, 0, static_cast<uint16_t>(pl));
        }
  } else {
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 3);
    std::vector<uint8_t> row(static_cast<size_t>(TIFFScanlineSize(t)), 0);
    for (int pl = 0; pl < planes; ++pl)
      for (uint32_t y = 0; y < s.h; ++y) {
        for (uint32_t x = 0; x < s.w; ++x)
          for (int c = 0; c < per; ++c) sample(&row[(x * per + c) * sb], x, y, pl + c);
        TIFFWriteScanline(t, row.data(), y, static_cast<uint16_t>(pl));
      }
  }
  TIFFClose(t);
  return path;
}

// A little-endian TIFF of one directory (entries of one SHORT or LONG value, in tag order) and
// 16 data bytes, to which a StripOffsets entry (273) points.
struct Entry {
  uint16_t tag, type;
  uint32_t value;
};
std::vector<uint8_t> RawTiff(const std::vector<Entry>& entries) {
  std::vector<uint8_t> v = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto put = [&](uint32_t x, int n) {
    for (int i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
  };
  const uint32_t data = 8 + 2 + 12 * static_cast<uint32_t>(entries.size()) + 4;
  put(static_cast<uint32_t>(entries.size()), 2);
  for (const Entry& e : entries) {
    put(e.tag, 2);
    put(e.type, 2);
    put(1, 4);
    put(e.tag == 273 ? data : e.value, 4);
  }
  put(0, 4);
  v.insert(v.end(), 16, 0);
  return v;
}

// 8-bit output through the reader: tone-mapped for HDR kinds.
std::vector<uint8_t> Mapped(_ImgReader* ir, const _ImgColorSpace& want) {
  _ImgColorSpace cs = want;
  std::vector<uint8_t> v = Read(ir, &cs, {0, ir->xres, 0, ir->yres});
  EXPECT_TRUE(PmatchColorSpace(&cs, &want, 3)) << "native data came instead";
  return v;
}

// The tone-mapping library's own one-call operator on the same file, at the factor the reader
// takes for its 8-bit delivery when the file states none (the loader itself takes 1 then, as a
// display reading does).
std::vector<uint8_t> LoaderMapped(const std::string& path, bool grey) {
  unsigned char* ps = nullptr;
  int x = 0, y = 0;
  const int flags = TMF_QUIET | (grey ? TMF_GREY : 0);
  TIFF* tp = TIFFOpen(path.c_str(), "re");
  EXPECT_NE(tp, nullptr);
  double stated = 0;
  if (tp != nullptr && !TIFFGetField(tp, TIFFTAG_STONITS, &stated))
    TIFFSetField(tp, TIFFTAG_STONITS, TM_DEFAULT_STONITS);
  EXPECT_EQ(tmMapTIFF(&ps, &x, &y, flags, ICS_sRGB.chroma, 2.2, 32, 100, path.c_str(), tp), 0);
  if (tp != nullptr) TIFFClose(tp);
  std::vector<uint8_t> v(ps, ps + static_cast<size_t>(x) * y * (grey ? 1 : 3));
  free(ps);
  return v;
}

}  // namespace

TEST(TiffFiles, IntegerKindsMatchTiff2rgba) {
  SKIP_WITHOUT("tiff");
  SKIP_WITHOUT_TOOL("tiff2rgba");
  struct Case {
    const char* file;
    const char* encoding;
  } cases[] = {{"desk_rgb8_lzw.tif", "LZW RGB"},
               {"desk_rgb8_packbits.tif", "RLE RGB"},
               {"desk_rgb8_planar_separate.tif", "LZW RGB"},
               {"desk_rgb8_jpeg_ycbcr.tif", "DCT YCbCr"},
               {"desk_grey8.tif", "8-bit grayscale"},
               {"Picoawards.tiff", "LZW RGB"},
               {"desk_rgb16.tif", "48-bit RGB"},
               {"desk_rgb16_planar_separate.tif", "48-bit RGB"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Reader r(Dir() + c.file);
    ASSERT_NE(r.ir, nullptr);
    ASSERT_EQ(r->errCode, IREnone) << r->errMsg;
    EXPECT_STREQ(r->encoding, c.encoding);
    const std::vector<uint8_t> ours = ReadAll(r.ir);
    const Plain ref = fmttest::ToolDecode(Dir() + c.file, false);
    ASSERT_EQ(ref.spp, 4);
    const int n = ImgPixelLen[r->cs.format];
    const bool wide = r->cs.dtype == IDTushort;  // tiff2rgba keeps the high byte
    EXPECT_FLOAT_EQ(r->cs.gamma, 2.2f);
    ASSERT_EQ(ref.px.size() / 4 * n * (wide ? 2 : 1), ours.size());
    int worst = 0;
    for (size_t i = 0; i < ref.px.size() / 4; ++i)
      for (int ch = 0; ch < 3; ++ch) {
        const size_t k = i * n + (n == 1 ? 0 : ch);
        const int v = wide ? reinterpret_cast<const uint16_t*>(ours.data())[k] >> 8 : ours[k];
        worst = std::max(worst, std::abs(v - ref.px[i * 4 + ch]));
      }
    EXPECT_LE(worst, wide ? 1 : 0);
  }
}

TEST(TiffFiles, FloatLayoutsAndByteOrdersDecodeAsOiiotoolDoes) {
  SKIP_WITHOUT("tiff");
  SKIP_WITHOUT_TOOL("oiiotool");
  Reader strips(Dir() + "desk_rgbf32_strips.tif");
  ASSERT_NE(strips.ir, nullptr);
  EXPECT_STREQ(strips->encoding, "96-bit RGB");
  EXPECT_EQ(strips->cs.dtype, IDTfloat);
  const std::vector<uint8_t> ref = ReadAll(strips.ir);
  EXPECT_TRUE(fmttest::ToolDecode(Dir() + "desk_rgbf32_strips.tif", true).px == ref);
  for (const char* f :
       {"desk_rgbf32_tiled64.tif", "desk_rgbf32_bigendian.tif", "desk_rgbf32_lzw_fpredictor.tif"}) {
    Reader r(Dir() + f);
    ASSERT_NE(r.ir, nullptr);
    EXPECT_TRUE(ReadAll(r.ir) == ref) << f << ": " << r->errMsg;
  }
}

// The log files hold the float file's pixels converted to CIE XYZ: they must decode to those
// within the precision of each encoding (oiiotool reads them only as 8-bit display values).
TEST(TiffFiles, LogKindsDecodeToTheFloatPixelsTheyWereMadeFrom) {
  SKIP_WITHOUT("tiff");
  Reader rgb(Dir() + "desk_rgbf32_strips.tif");
  ASSERT_NE(rgb.ir, nullptr);
  const std::vector<uint8_t> src = ReadAll(rgb.ir);
  COLORMAT m;
  ASSERT_TRUE(comprgb2xyzmat(m, ICS_RGB709.chroma));
  struct Case {
    const char* file;
    const char* encoding;
    double lum, uv;  // largest relative luminance error and u'v' distance
    float top;       // luminance the encoding holds
  } cases[] = {{"desk_logluv32.tif", "RLE-Log Luv", 0.002, 0.0025, 1e9f},
               {"desk_logluv24.tif", "24-bit-Log Luv", 0.012, 0.006, 15},
               {"desk_logl16.tif", "RLE-Log luminance", 0.002, 0, 1e9f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Reader r(Dir() + c.file);
    ASSERT_NE(r.ir, nullptr);
    EXPECT_STREQ(r->encoding, c.encoding);
    const int ps = ImgPixelLen[r->cs.format];
    EXPECT_EQ(r->cs.dtype, IDTfloat);
    EXPECT_EQ(r->cs.format, ps == 1 ? IPFy : IPFxyz);
    const std::vector<uint8_t> got = ReadAll(r.ir);
    double worstLum = 0, worstUV = 0;
    for (size_t i = 0; i < src.size() / 12; ++i) {
      COLOR xyz;
      colortrans(xyz, m, Floats(src) + 3 * i);
      if (xyz[1] < 1e-3 || xyz[1] > c.top) continue;
      const float* p = Floats(got) + i * ps;
      worstLum = std::max(worstLum, std::fabs(double{p[ps == 1 ? 0 : 1]} - xyz[1]) / xyz[1]);
      if (ps == 1) continue;
      const double d0 = xyz[0] + 15.0 * xyz[1] + 3.0 * xyz[2], d1 = p[0] + 15.0 * p[1] + 3.0 * p[2];
      worstUV = std::max(
          worstUV, std::hypot(4 * p[0] / d1 - 4 * xyz[0] / d0, 9 * p[1] / d1 - 9 * xyz[1] / d0));
    }
    EXPECT_LE(worstLum, c.lum);
    EXPECT_LE(worstUV, c.uv);
  }
}

TEST(TiffFiles, SubsampledAndPartialReadsPickTheRightPixels) {
  SKIP_WITHOUT("tiff");
  for (const char* f : {"desk_rgbf32_tiled64.tif", "desk_rgb8_planar_separate.tif"}) {
    SCOPED_TRACE(f);
    Reader r(Dir() + f);
    ASSERT_NE(r.ir, nullptr);
    const std::vector<uint8_t> full = ReadAll(r.ir);
    const size_t ps = static_cast<size_t>(PpixelSize(&r->cs));
    const _ImgRect rect = {61, 322, 30, 200};  // across block edges, to the partial last tiles
    for (int n : {1, 3}) {
      _ImgColorSpace cs = r->cs;
      const std::vector<uint8_t> part = Read(r.ir, &cs, rect, n);
      const int w = (rect.xright - rect.xleft) / n, h = (rect.ybottom - rect.ytop) / n;
      for (int k = 0; k < h; ++k)
        for (int i = 0; i < w; ++i)
          ASSERT_EQ(0, memcmp(&part[(static_cast<size_t>(k) * w + i) * ps],
                              &full[((rect.ytop + k * n) * 322 + rect.xleft + i * n) * ps], ps))
              << "n " << n << " at " << i << "," << k;
    }
  }
  // Without a buffer of the caller's, the reader allocates one to the end of the first block.
  Reader r(Dir() + "desk_rgbf32_tiled64.tif");
  _ImgReadBuf rb = {r->cs, {300, 322, 70, 80}, 2, nullptr, 0};
  ASSERT_EQ(TRreadRec(r.ir, &rb), IREnone) << r->errMsg;
  EXPECT_EQ(rb.r.xright, 320);  // the tile's end, cut to the image and kept to the step
  EXPECT_EQ(rb.r.ybottom, 128);
  EXPECT_EQ(rb.bufsize, PreadBufBytes(&rb));
  free(rb.buf);
}

TEST(TiffFiles, TwoPagesAreLayersAndTheCountBecomesKnown) {
  SKIP_WITHOUT("tiff");
  Reader r(Dir() + "desk_2pages.tif");
  ASSERT_NE(r.ir, nullptr);
  EXPECT_EQ(r->frameType, IRFlayer);
  EXPECT_EQ(r->nframes, 0);
  EXPECT_EQ(TRseekFrame(r.ir, 1, 1), IREnone);
  EXPECT_EQ(r->frame, 1);
  EXPECT_STREQ(r->encoding, "8-bit grayscale");
  Reader grey(Dir() + "desk_grey8.tif");
  EXPECT_TRUE(ReadAll(r.ir) == ReadAll(grey.ir));
  EXPECT_EQ(TRseekFrame(r.ir, 1, 1), IREtruncated);
  EXPECT_STREQ(r->errMsg, "no more layers");
  EXPECT_EQ(r->frame, -1);
  EXPECT_EQ(r->nframes, 2);
  _ImgReadBuf rb = {r->cs, {0, 1, 0, 1}, 1, nullptr, 0};
  EXPECT_NE(TRreadRec(r.ir, &rb), IREnone);  // no page is set up
  EXPECT_EQ(TRseekFrame(r.ir, 0, 0), IREnone);
  EXPECT_EQ(r->cs.format, IPFrgb);
  // The grey file cut short in its pixels, read from memory, is refused as a cut file when
  // it opens, and no read gets past that.
  std::vector<uint8_t> cut(60000);
  FILE* fp = fopen((Dir() + "desk_grey8.tif").c_str(), "rb");
  ASSERT_EQ(fread(cut.data(), 1, cut.size(), fp), cut.size());
  fclose(fp);
  Reader damaged(TRopenMemory(cut.data(), cut.size(), "cut.tif"));
  ASSERT_NE(damaged.ir, nullptr);
  EXPECT_EQ(damaged->errCode, IREtruncated);
  EXPECT_STREQ(damaged->errMsg, "file cut short at row 160");
  std::vector<uint8_t> px(322 * 437);
  rb = {damaged->cs, {0, 322, 0, 437}, 1, px.data(), px.size()};
  EXPECT_NE(TRreadRec(damaged.ir, &rb), IREnone);
}

TEST(TiffToneMap, MatchesTheToneMappingLoaderForEveryHdrKind) {
  SKIP_WITHOUT("tiff");
  struct Case {
    const char* file;      // read by the reader
    const char* loadable;  // the same pixels in a layout the loader reads
  } cases[] = {{"desk_rgbf32_strips.tif", "desk_rgbf32_strips.tif"},
               {"desk_rgbf32_tiled64.tif", "desk_rgbf32_strips.tif"},
               {"desk_logluv32.tif", "desk_logluv32.tif"},
               {"desk_logluv24.tif", "desk_logluv24.tif"},
               {"desk_logl16.tif", "desk_logl16.tif"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Reader r(Dir() + c.file);
    ASSERT_NE(r.ir, nullptr);
    const bool grey = r->cs.format == IPFy;
    EXPECT_TRUE(Mapped(r.ir, grey ? ICS_Y8 : ICS_sRGB) == LoaderMapped(Dir() + c.loadable, grey));
    // The native data still comes after the mapped delivery (log kinds use a second handle).
    _ImgColorSpace cs = r->cs, cs2 = r->cs;
    Reader fresh(Dir() + c.file);
    EXPECT_TRUE(Read(r.ir, &cs, {0, 8, 100, 101}) == Read(fresh.ir, &cs2, {0, 8, 100, 101}));
  }
}

TEST(TiffToneMap, SettingsAndSoftwareTagShapeTheMapping) {
  TiffLayout s;
  s.bits = 16;
  const std::string gammaPath = WriteLayout("g22.tif", s);
  s.software = "dcraw v9.28";
  Reader g(gammaPath), lin(WriteLayout("lin.tif", s));
  ASSERT_NE(lin.ir, nullptr);
  EXPECT_FLOAT_EQ(g->cs.gamma, 2.2f);
  EXPECT_FLOAT_EQ(lin->cs.gamma, 1.0f);  // data from a raw converter are linear
  const std::vector<uint8_t> first = Mapped(g.ir, ICS_sRGB);
  EXPECT_TRUE(first == LoaderMapped(gammaPath, false));
  EXPECT_FALSE(Mapped(lin.ir, ICS_sRGB) == first);
  // The same request reuses the mapping; other display settings rebuild it.
  EXPECT_TRUE(first == Mapped(g.ir, ICS_sRGB));
  TRtoneMapping(g.ir, 4, 100, 0);
  EXPECT_FALSE(Mapped(g.ir, ICS_sRGB) == first);
  TRtoneMapping(g.ir, 32, 100, 0);
  EXPECT_TRUE(first == Mapped(g.ir, ICS_sRGB));
  // Subsampled mapped reads keep every n-th mapped pixel.
  _ImgColorSpace cs = ICS_sRGB;
  const std::vector<uint8_t> sub = Read(g.ir, &cs, {0, 40, 0, 20}, 4);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 10; ++x)
      ASSERT_EQ(0, memcmp(&sub[(y * 10 + x) * 3], &first[(4 * y * 40 + 4 * x) * 3], 3));
}

TEST(TiffToneMap, RenderingALogLuvFileGivesDisplayPixels) {
  SKIP_WITHOUT("tiff");
  Reader r(Dir() + "desk_logluv32.tif");
  _ImgStruct img = {80, 120, &ICS_sRGB, 0, nullptr, nullptr};
  ASSERT_EQ(PrenderImageR(&img, r.ir, 1), 1) << r->errMsg;
  long sum = 0;
  for (int y = 0; y < img.yres; ++y)
    for (int x = 0; x < img.xres * 3; ++x) sum += img.img[y * img.rowsize + x];
  EXPECT_GT(sum / (img.xres * img.yres * 3), 20);  // not black
  PfreeImage(&img);
}

TEST(TiffHandMade, TiledSeparatePlanesWithPartialTilesMatchStrips) {
  TiffLayout s;
  s.w = 41;
  s.h = 35;
  const std::string strips = WriteLayout("strips.tif", s);
  s.tile = 16;
  s.planar = PLANARCONFIG_SEPARATE;
  const std::string tiles = WriteLayout("tiles_sep.tif", s);
  s.w = 9;  // tiles wider and taller than the image
  s.h = 7;
  Reader a(strips), b(tiles), c(WriteLayout("small.tif", s));
  ASSERT_EQ(b->errCode, IREnone) << b->errMsg;
  EXPECT_TRUE(ReadAll(a.ir) == ReadAll(b.ir));
  ASSERT_EQ(c->errCode, IREnone) << c->errMsg;
  const std::vector<uint8_t> sm = ReadAll(c.ir);
  ASSERT_EQ(sm.size(), 9u * 7 * 3);
  for (uint32_t i = 0; i < 9 * 7 * 3; ++i) ASSERT_EQ(sm[i], PatternByte(i / 3 % 9, i / 27, i % 3));
}

TEST(TiffHandMade, KindsAndLayoutsThatAreRefused) {
  struct Case {
    uint16_t spp, bits, format, photometric, planar;
    const char* message;
  } cases[] = {
      {4, 8, SAMPLEFORMAT_UINT, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG, "inconsistent samples/pixel"},
      {4, 8, SAMPLEFORMAT_UINT, PHOTOMETRIC_RGB, PLANARCONFIG_SEPARATE, ""},  // read as RGB
      {4, 8, SAMPLEFORMAT_UINT, PHOTOMETRIC_SEPARATED, PLANARCONFIG_CONTIG,
       "unsupported photometric interpretation (5)"},
      {1, 4, SAMPLEFORMAT_UINT, PHOTOMETRIC_MINISBLACK, PLANARCONFIG_CONTIG,
       "unsupported bits/sample (4)"},
      {3, 8, SAMPLEFORMAT_INT, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG, "unsupported data format (2)"},
      {3, 16, SAMPLEFORMAT_IEEEFP, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG,
       "unsupported float size (16 bits)"},
  };
  for (const Case& c : cases) {
    TiffLayout s;
    s.spp = c.spp;
    s.bits = c.bits;
    s.format = c.format;
    s.photometric = c.photometric;
    s.planar = c.planar;
    Reader r(WriteLayout("refused.tif", s));
    ASSERT_NE(r.ir, nullptr);
    EXPECT_STREQ(r->errMsg, c.message);
    EXPECT_EQ(r->errCode, *c.message ? IREunsupported : IREnone);
    if (!*c.message) {
      EXPECT_EQ(ReadAll(r.ir)[3 * 45 + 2], PatternByte(5, 1, 2));
    }
  }
  // LogLuv must be contiguous (a directory libtiff will not write, so made by hand).
  const std::vector<uint8_t> luv = RawTiff({{256, 3, 4},
                                            {257, 3, 4},
                                            {258, 3, 16},
                                            {259, 3, COMPRESSION_SGILOG},
                                            {262, 3, PHOTOMETRIC_LOGLUV},
                                            {273, 4, 0},
                                            {277, 3, 3},
                                            {278, 3, 4},
                                            {279, 4, 16},
                                            {284, 3, PLANARCONFIG_SEPARATE}});
  Reader r(TRopenMemory(luv.data(), luv.size(), "luvsep.tif"));
  ASSERT_NE(r.ir, nullptr);
  EXPECT_STREQ(r->errMsg, "LogLuv format must be contiguous");
}

TEST(TiffHandMade, BadRequestsResolutionsAndMessages) {
  TiffLayout s;
  s.xres = 0;  // a zero resolution does not make the pixel shape infinite
  Reader r(WriteLayout("plain.tif", s));
  ASSERT_NE(r.ir, nullptr);
  EXPECT_FLOAT_EQ(r->pixAspect, 1.0f);
  s.xres = 150;
  s.yres = 300;
  EXPECT_FLOAT_EQ(Reader(WriteLayout("tall.tif", s))->pixAspect, 2.0f);
  uint8_t buf[64];
  _ImgReadBuf rb = {r->cs, {5, 5, 0, 4}, 1, buf, sizeof buf};
  EXPECT_EQ(TRreadRec(r.ir, &rb), IREunknown);
  EXPECT_STREQ(r->errMsg, "bogus requested image rectangle");
  rb.r = {0, 40, 0, 20};  // a buffer too small: nothing is read and the caller is told
  EXPECT_EQ(TRreadRec(r.ir, &rb), IREnone);
  EXPECT_EQ(rb.r.xright, rb.r.xleft);
  rb.subsample = 0;
  EXPECT_EQ(TRreadRec(r.ir, &rb), IREunknown);
  EXPECT_STREQ(r->errMsg, "TIFF reader routine failure");
  EXPECT_EQ(TRgetThumbnail(r.ir, nullptr), IREunsupported);
  EXPECT_STREQ(r->errMsg, "no thumbnail");
  const std::string junk = fmttest::Temp("junk.tif");
  FILE* fp = fopen(junk.c_str(), "wb");
  fputs("this is no TIFF file", fp);
  fclose(fp);
  EXPECT_EQ(TRopen(junk.c_str()), nullptr);  // not a TIFF: no reader
  EXPECT_NE(std::string(TiffMessageBuffer).find("Not a TIFF"), std::string::npos);
  auto warn = [](const char* module, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    BufferTiffWarning(module, fmt, ap);
    va_end(ap);
  };
  warn("TIFFReadDirectory", "unknown field with tag %d", 700);
  EXPECT_STREQ(TiffMessageBuffer, "TIFFReadDirectory: Warning, unknown field with tag 700");
  warn(nullptr, "%s", std::string(400, 'x').c_str());
  EXPECT_EQ(strlen(TiffMessageBuffer), TIFF_MSGLEN - 1);
  EXPECT_EQ(strncmp(TiffMessageBuffer, "Warning, xxx", 12), 0);
}

// Headers that claim more than the file holds, or blocks no reader could hold, are refused as
// the file opens, in words, before any block is allocated.
TEST(TiffHandMade, ClaimsBeyondTheFileAreRefusedAsItOpens) {
  auto file = [](uint16_t compression, uint32_t stored, uint32_t claimed) {
    TiffBuilder t(true);
    const int d = t.addIfd();
    t.longs(d, 256, {35000});
    t.longs(d, 257, {35000});
    t.shorts(d, 258, {8, 8, 8});
    t.shorts(d, 259, {compression});
    t.shorts(d, 262, {2});
    t.blob(d, 273, std::vector<uint8_t>(stored, 0x78));
    t.shorts(d, 277, {3});
    t.longs(d, 278, {35000});
    t.longs(d, 279, {claimed});
    return t.build();
  };
  const struct {
    std::vector<uint8_t> bytes;
    ImgReadErr code;
    const char* why;
  } cases[] = {
      // Raw pixels: 3,000 bytes of the 3.7 GB that 35000 x 35000 take, whatever the count says.
      {file(1, 3000, 3000), IREtruncated, "file cut short at row 0"},
      {file(1, 3000, 3675000000u), IREtruncated, "file cut short at row 0"},
      // Deflated: a count past the end of the file, then one strip that would inflate to 3.4 GB.
      {file(8, 3000, 5000), IREtruncated, "file cut short at row 0"},
      {file(8, 3000, 3000), IREmemory,
       "strips of 35000 \xC3\x97 35000 pixels (3.4 GB) are too large to read"},
  };
  for (const auto& c : cases) {
    Reader r(TRopenMemory(c.bytes.data(), c.bytes.size(), "claims.tif"));
    ASSERT_NE(r.ir, nullptr);
    EXPECT_EQ(r->errCode, c.code);
    EXPECT_STREQ(r->errMsg, c.why);
  }
}
