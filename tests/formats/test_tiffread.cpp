// The TIFF reader: every kind of the shared test files against tiff2rgba and oiiotool, block
// layouts against each other, subsampled and partial reads, pages, tone-mapped delivery against
// the tone-mapping library's own TIFF loader, and hand-made files for the rest.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "formats/tiffimg.h"
#include "testutil/message_log.h"
#include "tiff_test_util.h"
#include "tonemap/tmloaders.h"

using tifftest::Dir;
using tifftest::Floats;
using tifftest::Plain;
using tifftest::Read;
using tifftest::ReadAll;
using tifftest::Reader;

namespace {

// Writes a small TIFF with libtiff: w x h, spp samples of bits bits, filled with a pattern.
struct Spec {
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
std::string WriteSpec(const std::string& name, const Spec& s) {
  const std::string path = tifftest::Temp(name);
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

// The tone-mapping library's own one-call operator on the same file.
std::vector<uint8_t> LoaderMapped(const std::string& path, bool grey) {
  unsigned char* ps = nullptr;
  int x = 0, y = 0;
  const int flags = TMF_QUIET | (grey ? TMF_GREY : 0);
  EXPECT_EQ(tmMapTIFF(&ps, &x, &y, flags, ICS_sRGB.chroma, 2.2, 32, 100, path.c_str(), nullptr), 0);
  std::vector<uint8_t> v(ps, ps + static_cast<size_t>(x) * y * (grey ? 1 : 3));
  free(ps);
  return v;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The shared test files

TEST(TiffFiles, EightBitKindsMatchTiff2rgba) {
  SKIP_WITHOUT_TIFF_DATA();
  SKIP_WITHOUT_TOOL("tiff2rgba");
  struct Case {
    const char* file;
    const char* encoding;
  } cases[] = {
      {"desk_rgb8_lzw.tif", "LZW RGB"},
      {"desk_rgb8_packbits.tif", "RLE RGB"},
      {"desk_rgb8_planar_separate.tif", "LZW RGB"},
      {"desk_rgb8_jpeg_ycbcr.tif", "DCT YCbCr"},
      {"desk_grey8.tif", "8-bit grayscale"},
      {"Picoawards.tiff", "LZW RGB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Reader r(Dir() + c.file);
    ASSERT_NE(r.ir, nullptr);
    ASSERT_EQ(r->errCode, IREnone) << r->errMsg;
    EXPECT_STREQ(r->encoding, c.encoding);
    const std::vector<uint8_t> ours = ReadAll(r.ir);
    const Plain ref = tifftest::Tiff2rgba(Dir() + c.file);
    ASSERT_EQ(ref.spp, 4);
    ASSERT_EQ(ref.px.size(), static_cast<size_t>(r->xres) * r->yres * 4);
    const int ps = r->cs.format == IPFy ? 1 : 3;
    size_t bad = 0;
    for (size_t i = 0; i < ref.px.size() / 4; ++i)
      for (int ch = 0; ch < 3; ++ch) bad += ours[i * ps + (ps == 1 ? 0 : ch)] != ref.px[i * 4 + ch];
    EXPECT_EQ(bad, 0u);
  }
}

TEST(TiffFiles, SixteenBitMatchesTiff2rgbaAndPlaneLayoutsAgree) {
  SKIP_WITHOUT_TIFF_DATA();
  SKIP_WITHOUT_TOOL("tiff2rgba");
  Reader contig(Dir() + "desk_rgb16.tif");
  Reader sep(Dir() + "desk_rgb16_planar_separate.tif");
  ASSERT_NE(contig.ir, nullptr);
  ASSERT_NE(sep.ir, nullptr);
  EXPECT_EQ(contig->cs.dtype, IDTushort);
  EXPECT_FLOAT_EQ(contig->cs.gamma, 2.2f);
  EXPECT_STREQ(contig->encoding, "48-bit RGB");
  const std::vector<uint8_t> a = ReadAll(contig.ir);
  EXPECT_EQ(a, ReadAll(sep.ir));
  const Plain ref = tifftest::Tiff2rgba(Dir() + "desk_rgb16.tif");
  ASSERT_EQ(ref.px.size() / 4 * 6, a.size());
  const uint16_t* s = reinterpret_cast<const uint16_t*>(a.data());
  int worst = 0;
  for (size_t i = 0; i < ref.px.size() / 4; ++i)
    for (int ch = 0; ch < 3; ++ch)
      worst = std::max(worst, std::abs((s[i * 3 + ch] >> 8) - ref.px[i * 4 + ch]));
  EXPECT_LE(worst, 1);
}

TEST(TiffFiles, FloatLayoutsAndByteOrdersDecodeAsOiiotoolDoes) {
  SKIP_WITHOUT_TIFF_DATA();
  SKIP_WITHOUT_TOOL("oiiotool");
  Reader strips(Dir() + "desk_rgbf32_strips.tif");
  ASSERT_NE(strips.ir, nullptr);
  EXPECT_STREQ(strips->encoding, "96-bit RGB");
  EXPECT_EQ(strips->cs.dtype, IDTfloat);
  const std::vector<uint8_t> ref = ReadAll(strips.ir);
  const Plain oiio = tifftest::OiioFloat(Dir() + "desk_rgbf32_strips.tif");
  ASSERT_EQ(oiio.px.size(), ref.size());
  EXPECT_EQ(0, memcmp(oiio.px.data(), ref.data(), ref.size()));
  for (const char* f :
       {"desk_rgbf32_tiled64.tif", "desk_rgbf32_bigendian.tif", "desk_rgbf32_lzw_fpredictor.tif"}) {
    SCOPED_TRACE(f);
    Reader r(Dir() + f);
    ASSERT_NE(r.ir, nullptr);
    ASSERT_EQ(r->errCode, IREnone) << r->errMsg;
    EXPECT_TRUE(ReadAll(r.ir) == ref);
  }
}

// The log files hold the float file's pixels converted to CIE XYZ: they must decode to those
// within the precision of each encoding (oiiotool reads them only as 8-bit display values).
TEST(TiffFiles, LogKindsDecodeToTheFloatPixelsTheyWereMadeFrom) {
  SKIP_WITHOUT_TIFF_DATA();
  Reader rgb(Dir() + "desk_rgbf32_strips.tif");
  ASSERT_NE(rgb.ir, nullptr);
  const std::vector<uint8_t> src = ReadAll(rgb.ir);
  COLORMAT m;
  ASSERT_TRUE(comprgb2xyzmat(m, ICS_RGB709.chroma));
  struct Case {
    const char* file;
    const char* encoding;
    ImgPixelFormat format;
    double lum, uv;  // largest relative luminance error and u'v' distance
    double top;      // luminance the encoding can hold
  } cases[] = {{"desk_logluv32.tif", "RLE-Log Luv", IPFxyz, 0.002, 0.0025, 1e9},
               {"desk_logluv24.tif", "24-bit-Log Luv", IPFxyz, 0.012, 0.006, 15},
               {"desk_logl16.tif", "RLE-Log luminance", IPFy, 0.002, 0, 1e9}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Reader r(Dir() + c.file);
    ASSERT_NE(r.ir, nullptr);
    ASSERT_EQ(r->errCode, IREnone) << r->errMsg;
    EXPECT_STREQ(r->encoding, c.encoding);
    EXPECT_EQ(r->cs.dtype, IDTfloat);
    EXPECT_EQ(r->cs.format, c.format);
    const std::vector<uint8_t> got = ReadAll(r.ir);
    const float* a = Floats(got);
    const int ps = ImgPixelLen[c.format];
    double worstLum = 0, worstUV = 0;
    for (size_t i = 0; i < src.size() / 12; ++i) {
      COLOR xyz;
      colortrans(xyz, m, Floats(src) + 3 * i);
      if (xyz[1] < 1e-3 || xyz[1] > c.top) continue;
      const float* p = a + i * ps;
      const float y = ps == 1 ? p[0] : p[1];
      worstLum = std::max(worstLum, std::fabs(double{y} - xyz[1]) / xyz[1]);
      if (ps == 1) continue;
      auto uv = [](const float* v, double* u, double* w) {
        const double d = v[0] + 15.0 * v[1] + 3.0 * v[2];
        *u = 4 * v[0] / d;
        *w = 9 * v[1] / d;
      };
      double u0, v0, u1, v1;
      uv(xyz, &u0, &v0);
      uv(p, &u1, &v1);
      worstUV = std::max(worstUV, std::hypot(u1 - u0, v1 - v0));
    }
    EXPECT_LE(worstLum, c.lum);
    EXPECT_LE(worstUV, c.uv);
  }
}

TEST(TiffFiles, SubsampledAndPartialReadsPickTheRightPixels) {
  SKIP_WITHOUT_TIFF_DATA();
  for (const char* f : {"desk_rgbf32_tiled64.tif", "desk_rgb8_planar_separate.tif"}) {
    SCOPED_TRACE(f);
    Reader r(Dir() + f);
    ASSERT_NE(r.ir, nullptr);
    const std::vector<uint8_t> full = ReadAll(r.ir);
    const size_t ps = static_cast<size_t>(PpixelSize(&r->cs));
    // A rectangle across tile and strip edges, reaching the partial last tile column.
    const _ImgRect rect = {61, 322, 30, 200};
    for (int n : {1, 3}) {
      _ImgColorSpace cs = r->cs;
      const std::vector<uint8_t> part = Read(r.ir, &cs, rect, n);
      const int w = (rect.xright - rect.xleft) / n, h = (rect.ybottom - rect.ytop) / n;
      for (int k = 0; k < h; ++k)
        for (int i = 0; i < w; ++i) {
          const size_t from =
              (static_cast<size_t>(rect.ytop + k * n) * r->xres + rect.xleft + i * n) * ps;
          ASSERT_EQ(0, memcmp(&part[(static_cast<size_t>(k) * w + i) * ps], &full[from], ps))
              << "n " << n << " at " << i << "," << k;
        }
    }
  }
}

TEST(TiffFiles, ReaderOwnBufferHoldsTheFirstBlock) {
  SKIP_WITHOUT_TIFF_DATA();
  Reader r(Dir() + "desk_rgbf32_tiled64.tif");
  ASSERT_NE(r.ir, nullptr);
  _ImgReadBuf rb;
  memset(&rb, 0, sizeof rb);
  rb.cs = r->cs;
  rb.subsample = 2;
  rb.r = {300, 322, 70, 80};  // inside the last tile column, which is 2 pixels short
  ASSERT_EQ(TRreadRec(r.ir, &rb), IREnone) << r->errMsg;
  ASSERT_NE(rb.buf, nullptr);
  EXPECT_EQ(rb.r.xright, 320);  // the tile's end (320 + 64 cut to 322), kept to the step
  EXPECT_EQ(rb.r.ybottom, 128);
  EXPECT_EQ(rb.bufsize, PreadBufBytes(&rb));
  free(rb.buf);
}

TEST(TiffFiles, TwoPagesAreLayersAndTheCountBecomesKnown) {
  SKIP_WITHOUT_TIFF_DATA();
  Reader r(Dir() + "desk_2pages.tif");
  ASSERT_NE(r.ir, nullptr);
  EXPECT_EQ(r->frameType, IRFlayer);
  EXPECT_EQ(r->nframes, 0);
  EXPECT_EQ(r->cs.format, IPFrgb);
  EXPECT_EQ(TRseekFrame(r.ir, 1, 1), IREnone);
  EXPECT_EQ(r->frame, 1);
  EXPECT_EQ(r->cs.format, IPFy);
  EXPECT_STREQ(r->encoding, "8-bit grayscale");
  Reader grey(Dir() + "desk_grey8.tif");
  EXPECT_TRUE(ReadAll(r.ir) == ReadAll(grey.ir));
  EXPECT_EQ(TRseekFrame(r.ir, 1, 1), IREtruncated);
  EXPECT_STREQ(r->errMsg, "no more layers");
  EXPECT_EQ(r->frame, -1);
  EXPECT_EQ(r->nframes, 2);
  _ImgColorSpace cs = r->cs;
  _ImgReadBuf rb{cs, {0, 1, 0, 1}, 1, nullptr, 0};
  EXPECT_NE(TRreadRec(r.ir, &rb), IREnone);  // no page is set up
  EXPECT_EQ(TRseekFrame(r.ir, 0, 0), IREnone);
  EXPECT_EQ(r->cs.format, IPFrgb);
}

TEST(TiffFiles, ContiguousAlphaIsRefused) {
  SKIP_WITHOUT_TIFF_DATA();
  MessageLog log;
  const std::string path = Dir() + "DudleyLeavittUtah.tiff";
  EXPECT_EQ(PopenImageF(path.c_str(), 0, &IRInterfaceTIFF), nullptr);
  EXPECT_TRUE(log.Has(DMCparameter, path + ": Unsupported feature: inconsistent samples/pixel"))
      << log.All();
}

// ---------------------------------------------------------------------------------------------
// Tone-mapped delivery

TEST(TiffToneMap, MatchesTheToneMappingLoaderForEveryHdrKind) {
  SKIP_WITHOUT_TIFF_DATA();
  struct Case {
    const char* file;      // read by the reader
    const char* loadable;  // the same pixels in a layout the loader reads
    bool grey;
  } cases[] = {{"desk_rgbf32_strips.tif", "desk_rgbf32_strips.tif", false},
               {"desk_rgbf32_tiled64.tif", "desk_rgbf32_strips.tif", false},
               {"desk_logluv32.tif", "desk_logluv32.tif", false},
               {"desk_logluv24.tif", "desk_logluv24.tif", false},
               {"desk_logl16.tif", "desk_logl16.tif", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Reader r(Dir() + c.file);
    ASSERT_NE(r.ir, nullptr);
    const std::vector<uint8_t> ours = Mapped(r.ir, c.grey ? ICS_Y8 : ICS_sRGB);
    EXPECT_TRUE(ours == LoaderMapped(Dir() + c.loadable, c.grey));
    // The native data still comes after the mapped delivery (log kinds use a second handle).
    _ImgColorSpace cs = r->cs;
    const std::vector<uint8_t> native = Read(r.ir, &cs, {0, 8, 100, 101});
    Reader fresh(Dir() + c.file);
    _ImgColorSpace cs2 = fresh->cs;
    EXPECT_TRUE(native == Read(fresh.ir, &cs2, {0, 8, 100, 101}));
  }
}

TEST(TiffToneMap, SixteenBitLinearityFollowsTheSoftwareTag) {
  Spec s;
  s.bits = 16;
  const std::string gammaPath = WriteSpec("g22.tif", s);
  s.software = "dcraw v9.28";
  const std::string linearPath = WriteSpec("lin.tif", s);
  Reader g(gammaPath), lin(linearPath);
  ASSERT_NE(g.ir, nullptr);
  ASSERT_NE(lin.ir, nullptr);
  EXPECT_FLOAT_EQ(g->cs.gamma, 2.2f);
  EXPECT_FLOAT_EQ(lin->cs.gamma, 1.0f);
  EXPECT_TRUE(Mapped(g.ir, ICS_sRGB) == LoaderMapped(gammaPath, false));
  // Linear data is mapped linearly: equal steps of input give steps of one size in display
  // luminance, unlike the histogram mapping of the gamma file.
  EXPECT_FALSE(Mapped(lin.ir, ICS_sRGB) == Mapped(g.ir, ICS_sRGB));
}

TEST(TiffToneMap, ToneMappingSettingsRebuildTheMapping) {
  SKIP_WITHOUT_TIFF_DATA();
  Reader r(Dir() + "desk_rgbf32_strips.tif");
  ASSERT_NE(r.ir, nullptr);
  const std::vector<uint8_t> first = Mapped(r.ir, ICS_sRGB);
  EXPECT_TRUE(first == Mapped(r.ir, ICS_sRGB));
  TRtoneMapping(r.ir, 4, 100, 0);
  const std::vector<uint8_t> narrow = Mapped(r.ir, ICS_sRGB);
  EXPECT_FALSE(narrow == first);
  TRtoneMapping(r.ir, 32, 100, 0);
  EXPECT_TRUE(first == Mapped(r.ir, ICS_sRGB));
  // Subsampled mapped reads keep every n-th mapped pixel.
  _ImgColorSpace cs = ICS_sRGB;
  const std::vector<uint8_t> sub = Read(r.ir, &cs, {0, 320, 0, 436}, 4);
  for (int y = 0; y < 109; y += 13)
    for (int x = 0; x < 80; x += 7)
      for (int c = 0; c < 3; ++c)
        ASSERT_EQ(sub[(y * 80 + x) * 3 + c], first[((4 * y) * 322 + 4 * x) * 3 + c]);
}

TEST(TiffToneMap, RenderingAFloatFileGivesDisplayPixels) {
  SKIP_WITHOUT_TIFF_DATA();
  Reader r(Dir() + "desk_logluv32.tif");
  ASSERT_NE(r.ir, nullptr);
  _ImgStruct img;
  memset(&img, 0, sizeof img);
  img.xres = 80;
  img.yres = 120;
  img.csp = &ICS_sRGB;
  ASSERT_EQ(PrenderImageR(&img, r.ir, 1), 1) << r->errMsg;
  long sum = 0;
  for (int y = 0; y < img.yres; ++y)
    for (int x = 0; x < img.xres * 3; ++x) sum += img.img[y * img.rowsize + x];
  EXPECT_GT(sum / (img.xres * img.yres * 3), 20);  // not black
  PfreeImage(&img);
}

// ---------------------------------------------------------------------------------------------
// Hand-made files

TEST(TiffHandMade, TiledSeparatePlanesWithPartialTilesMatchStrips) {
  Spec s;
  s.w = 41;
  s.h = 35;
  const std::string strips = WriteSpec("strips.tif", s);
  s.tile = 16;
  s.planar = PLANARCONFIG_SEPARATE;
  const std::string tiles = WriteSpec("tiles_sep.tif", s);
  s.w = 9;  // tiles wider and taller than the image
  s.h = 7;
  const std::string small = WriteSpec("small.tif", s);
  Reader a(strips), b(tiles), c(small);
  ASSERT_NE(b.ir, nullptr);
  ASSERT_EQ(b->errCode, IREnone) << b->errMsg;
  const std::vector<uint8_t> px = ReadAll(a.ir);
  EXPECT_TRUE(px == ReadAll(b.ir));
  ASSERT_EQ(c->errCode, IREnone) << c->errMsg;
  const std::vector<uint8_t> sm = ReadAll(c.ir);
  ASSERT_EQ(sm.size(), 9u * 7 * 3);
  for (uint32_t y = 0; y < 7; ++y)
    for (uint32_t x = 0; x < 9; ++x)
      for (int k = 0; k < 3; ++k) ASSERT_EQ(sm[(y * 9 + x) * 3 + k], PatternByte(x, y, k));
}

TEST(TiffHandMade, KindsAndLayoutsThatAreRefused) {
  struct Case {
    const char* what;
    Spec spec;
    const char* message;
  } cases[5];
  cases[0] = {"contiguous RGBA", Spec(), "inconsistent samples/pixel"};
  cases[0].spec.spp = 4;
  cases[1] = {"separate RGBA is read as RGB", Spec(), ""};
  cases[1].spec.spp = 4;
  cases[1].spec.planar = PLANARCONFIG_SEPARATE;
  cases[2] = {"CMYK", Spec(), "unsupported photometric interpretation (5)"};
  cases[2].spec.spp = 4;
  cases[2].spec.photometric = PHOTOMETRIC_SEPARATED;
  cases[3] = {"4-bit grey", Spec(), "unsupported bits/sample (4)"};
  cases[3].spec.spp = 1;
  cases[3].spec.bits = 4;
  cases[3].spec.photometric = PHOTOMETRIC_MINISBLACK;
  cases[4] = {"signed samples", Spec(), "unsupported data format (2)"};
  cases[4].spec.format = SAMPLEFORMAT_INT;
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reader r(WriteSpec("refused.tif", c.spec));
    ASSERT_NE(r.ir, nullptr);
    EXPECT_STREQ(r->errMsg, c.message);
    if (*c.message == '\0') {
      EXPECT_EQ(r->errCode, IREnone);
      const std::vector<uint8_t> px = ReadAll(r.ir);
      EXPECT_EQ(px[3 * 45 + 2], PatternByte(5, 1, 2));
    } else {
      EXPECT_EQ(r->errCode, IREunsupported);
    }
  }
  // LogLuv must be contiguous (a directory libtiff will not write, so made by hand).
  const std::vector<uint8_t> luv = RawTiff({{256, 3, 4},
                                            {257, 3, 4},
                                            {258, 3, 16},
                                            {259, 3, COMPRESSION_SGILOG},
                                            {262, 3, PHOTOMETRIC_LOGLUV},
                                            {273, 4, 0},  // strip offset: patched to the data
                                            {277, 3, 3},
                                            {278, 3, 4},
                                            {279, 4, 16},
                                            {284, 3, PLANARCONFIG_SEPARATE}});
  Reader r(TRopenMemory(luv.data(), luv.size(), "luvsep.tif"));
  ASSERT_NE(r.ir, nullptr);
  EXPECT_STREQ(r->errMsg, "LogLuv format must be contiguous");
}

TEST(TiffHandMade, PixelAspectSurvivesAZeroResolution) {
  Spec s;
  s.xres = 0;
  s.yres = 300;
  Reader zero(WriteSpec("zerores.tif", s));
  ASSERT_NE(zero.ir, nullptr);
  EXPECT_FLOAT_EQ(zero->pixAspect, 1.0f);
  s.xres = 150;
  Reader tall(WriteSpec("tallpix.tif", s));
  EXPECT_FLOAT_EQ(tall->pixAspect, 2.0f);
}

TEST(TiffHandMade, BadRequestsAndMessages) {
  Reader r(WriteSpec("plain.tif", Spec()));
  ASSERT_NE(r.ir, nullptr);
  _ImgReadBuf rb;
  memset(&rb, 0, sizeof rb);
  rb.cs = r->cs;
  rb.subsample = 1;
  rb.r = {5, 5, 0, 4};
  uint8_t buf[64];
  rb.buf = buf;
  rb.bufsize = sizeof buf;
  EXPECT_EQ(TRreadRec(r.ir, &rb), IREunknown);
  EXPECT_STREQ(r->errMsg, "bogus requested image rectangle");
  // A buffer too small for the delivery: nothing is read and the caller is told.
  rb.r = {0, 40, 0, 20};
  EXPECT_EQ(TRreadRec(r.ir, &rb), IREnone);
  EXPECT_EQ(rb.r.xright, rb.r.xleft);
  rb.subsample = 0;
  EXPECT_EQ(TRreadRec(r.ir, &rb), IREunknown);
  EXPECT_STREQ(r->errMsg, "TIFF reader routine failure");
  EXPECT_EQ(TRgetThumbnail(r.ir, nullptr), IREunsupported);
  EXPECT_STREQ(r->errMsg, "no thumbnail");
  // Not a TIFF at all: no reader.
  const std::string junk = tifftest::Temp("junk.tif");
  FILE* fp = fopen(junk.c_str(), "wb");
  fputs("this is no TIFF file", fp);
  fclose(fp);
  EXPECT_EQ(TRopen(junk.c_str()), nullptr);
  EXPECT_NE(std::string(TiffMessageBuffer).find("Not a TIFF"), std::string::npos)
      << TiffMessageBuffer;
}

TEST(TiffHandMade, LibtiffMessagesAreKeptWithTheirModule) {
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
