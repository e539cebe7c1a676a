// Display images of real files: HDR TIFF and RGBE pictures through the whole-file loaders or
// row by row, grey HDR frames, reloads, and 8-bit JPEG pictures at 1:1 and oriented.
#include "display_test_util.h"

#include <tiffio.h>

#include "testutil/file_bytes.h"
#include "testutil/message_log.h"

using namespace disptest;
using phototest::TestData;

namespace {

// Whether the whole-file loader takes the file (a frame of its own, not in any image).
bool LoadsWhole(const std::string& path) {
  PDisplayImage di;
  if (!di.SetImage(path.c_str())) return false;
  _ImgReader* rd = PopenImageF(path.c_str(), 1, nullptr);
  if (rd == nullptr) return false;
  auto* dl = new PDisplayList(&di, 0);
  dl->tms = tmInit(TMF_QUIET, ICS_sRGB.chroma, 2.2);
  const bool whole = dl->LoadHDRspecial(rd);
  if (whole) {
    EXPECT_EQ(dl->l_img.xres, rd->xres);
    EXPECT_EQ(dl->l_img.yres, rd->yres);
  }
  rd->ri->Close(rd);
  dl->parent = nullptr;
  dl->HolderRelease();
  return whole;
}

// Renders a file at fit into w x h; false when it fails.
bool RenderFile(const std::string& path, int w, int h, _ImgStruct* out, PImageRing** keep) {
  auto* ir = new PImageRing(path.c_str(), nullptr);
  *out = {};
  out->xres = w;
  out->yres = h;
  out->csp = &ICS_sRGB;
  const bool ok = ir->RenderImage(out, nullptr, nullptr);
  if (keep != nullptr)
    *keep = ir;
  else
    delete ir;
  return ok;
}

double Spread(const _ImgStruct& im) {
  int lo = 255, hi = 0;
  for (int y = 0; y < im.yres; ++y)
    for (int x = 0; x < im.xres * 3; ++x) {
      const int v = im.img[y * im.rowsize + x];
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  return hi - lo;
}

TEST(HDRFiles, WholeFileLoadersChosenByFormat) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("tiff/desk_rgb16.tif");
  EXPECT_TRUE(LoadsWhole(TestData("tiff/desk_logluv32.tif")));
  EXPECT_TRUE(LoadsWhole(TestData("tiff/desk_logl16.tif")));
  EXPECT_TRUE(LoadsWhole(TestData("hdr/desk_opencv_flat.hdr")));
  EXPECT_FALSE(LoadsWhole(TestData("tiff/desk_rgbf32_strips.tif")));
  _ImgReader* rd = PopenImageF(TestData("tiff/desk_rgb16.tif").c_str(), 1, nullptr);
  ASSERT_NE(rd, nullptr);
  const bool gamma22 = rd->cs.gamma > 2.1f && rd->cs.gamma < 2.3f;
  rd->ri->Close(rd);
  EXPECT_TRUE(gamma22);
  EXPECT_EQ(LoadsWhole(TestData("tiff/desk_rgb16.tif")), gamma22);
}

TEST(HDRFiles, PictureWithAnotherResolutionLineLoadsRowByRow) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("hdr/desk_opencv_flat.hdr");
  // The same picture stored bottom row first.
  FILE* in = fopen(TestData("hdr/desk_opencv_flat.hdr").c_str(), "rb");
  ASSERT_NE(in, nullptr);
  std::string bytes;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, in)) > 0) bytes.append(buf, n);
  fclose(in);
  const size_t at = bytes.find("-Y 874 +X 644");
  ASSERT_NE(at, std::string::npos);
  bytes[at] = '+';
  phototest::ScratchDir dir;
  const std::string path = dir.Path("flipped.hdr");
  ASSERT_TRUE(phototest::WriteFile(path, bytes));
  EXPECT_FALSE(LoadsWhole(path));
  PImageRing* keep = nullptr;
  _ImgStruct out;
  ASSERT_TRUE(RenderFile(path, 161, 218, &out, &keep));
  EXPECT_TRUE(keep->IsHDR());
  // Read at about the size it is drawn: half the picture's sides, brightness and chroma.
  EXPECT_EQ(keep->dlp->GetSize(), size_t{644 / 2} * (874 / 2) * 5);
  // Upside down against the standard file.
  _ImgStruct ref;
  ASSERT_TRUE(RenderFile(TestData("hdr/desk_opencv_flat.hdr"), 161, 218, &ref, nullptr));
  _ImgStruct flipped = phototest::NewRGB(161, 218);
  for (int y = 0; y < 218; ++y)
    std::memcpy(flipped.img + y * flipped.rowsize, Px(ref, 0, 217 - y), 3 * 161);
  EXPECT_GE(phototest::Psnr(out, flipped), 30.0);
  PfreeImage(&flipped);
  PfreeImage(&out);
  PfreeImage(&ref);
  delete keep;
}

// A picture cut short: the whole-file loader gives way without a word and the cut is told
// once, as a picture that cannot be opened, with nothing on standard error.
TEST(HDRFiles, APictureCutShortIsToldOnceAndNotOnStandardError) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("hdr/desk_opencv_flat.hdr");
  const std::string bytes = ReadAll(TestData("hdr/desk_opencv_flat.hdr"));
  phototest::ScratchDir dir;
  const std::string path = dir.Path("cut.hdr");
  WriteAll(path, bytes.substr(0, bytes.size() / 2));
  MessageLog log;
  testing::internal::CaptureStderr();
  _ImgStruct out;
  if (RenderFile(path, 161, 218, &out, nullptr)) PfreeImage(&out);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(log.Count(), 1u) << log.All();
  EXPECT_EQ(log.CountClass(DMCdata), 1) << log.All();
  EXPECT_NE(log.All().find("Cannot open '" + path + "': unexpected EOF (scanline 436)"),
            std::string::npos)
      << log.All();
}

TEST(HDRFiles, LogLuvLogLAndRGBEFilesLoadAndMap) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("tiff/desk_logluv24.tif");
  for (const char* f :
       {"tiff/desk_logluv24.tif", "tiff/desk_logluv32.tif", "tiff/desk_logl16.tif",
        "hdr/desk_imagemagick_rle.hdr", "tiff/desk_rgbf32_tiled64.tif", "tiff/desk_rgb16.tif"}) {
    PImageRing* keep = nullptr;
    _ImgStruct out;
    ASSERT_TRUE(RenderFile(TestData(f), 100, 100, &out, &keep)) << f;
    EXPECT_TRUE(keep->IsHDR()) << f;
    EXPECT_GT(Spread(out), 100) << f;
    const int w = keep->GetOWidth(), h = keep->GetOHeight();
    const bool grey = std::string(f).find("logl16") != std::string::npos;
    // Brightness (and chroma) of a frame read at about the size drawn, never larger than the file.
    const size_t px = keep->dlp->GetSize() / (grey ? 2 : 5);
    EXPECT_EQ(keep->dlp->GetSize() % (grey ? 2 : 5), 0u) << f;
    EXPECT_LE(px, static_cast<size_t>(w) * h) << f;
    EXPECT_GE(px, static_cast<size_t>(out.xres) * out.yres) << f;
    if (grey) {
      const uint8_t* p = Px(out, 50, 50);
      EXPECT_EQ(p[0], p[1]);
      EXPECT_EQ(p[1], p[2]);
    }
    // False colour on an HDR frame, with limits read back.
    keep->FalseColorOn(0, 0);
    ASSERT_TRUE(keep->RenderImage(&out, nullptr, nullptr));
    double lim[2];
    EXPECT_FALSE(keep->GetFCLimits(lim));  // set from the histogram, not by hand
    EXPECT_GT(lim[1], lim[0]);
    keep->FalseColorOn(50, 0);
    EXPECT_TRUE(keep->GetFCLimits(lim));
    EXPECT_NEAR(lim[1], 50, 1.0);
    keep->FalseColorOff();
    PfreeImage(&out);
    delete keep;
  }
}

TEST(HDRFiles, MesopicChangeReloadsAndFixedExposureScales) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("hdr/desk_imagemagick_rle.hdr");
  PImageRing ir(TestData("hdr/desk_imagemagick_rle.hdr").c_str(), nullptr);
  _ImgStruct out = phototest::NewRGB(64, 87);
  ir.SetExposureMode(PEMauto);
  ASSERT_TRUE(ir.RenderImage(&out, nullptr, nullptr));
  const int64_t loads = ir.dlp->NumRestores();
  EXPECT_EQ(ir.dlp->tms->flags & TMF_MESOPIC, 0);
  ir.SetExposureMode(PEMauto | PEMhuman);
  ASSERT_TRUE(ir.RenderImage(&out, nullptr, nullptr));
  EXPECT_NE(ir.dlp->tms->flags & TMF_MESOPIC, 0);
  EXPECT_GT(ir.dlp->NumRestores(), loads);
  // Doubling a fixed exposure roughly doubles mid-tones in linear terms.
  ir.SetExposureMode(0);
  ir.SetExposure(0.002);
  ASSERT_TRUE(ir.RenderImage(&out, nullptr, nullptr));
  double m = 0;
  EXPECT_EQ(ir.GetExposure(&m), 0);
  EXPECT_NEAR(m, 0.002, 0.0001);
  PfreeImage(&out);
}

TEST(DisplayFiles, FrameInUseIsNotReloaded) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/desk_baseline_444.jpg");
  PDisplayImage di;
  ASSERT_TRUE(di.SetImage(TestData("jpeg/desk_baseline_444.jpg").c_str()));
  _ImgStruct held = {};
  held.xres = di.GetOWidth();
  held.yres = di.GetOHeight();
  held.csp = &ICS_sRGB;
  ASSERT_TRUE(di.GetSubimage(&held, nullptr, nullptr));
  EXPECT_EQ(held.mbase, static_cast<MemObject*>(di.dlp));  // shares the frame's pixels
  const uint8_t* pixels = held.img;
  di.Reload();
  ResetMessages(DMCparameter);
  ASSERT_TRUE(di.dlp->GetPointers());
  di.dlp->ReleasePointers();
  EXPECT_EQ(LastMessage(DMCparameter), "Cannot reload image -- active reference");
  EXPECT_EQ(held.img, pixels);
  EXPECT_EQ(held.csp, &ICS_sRGB);
  PfreeImage(&held);
  const int64_t loads = di.dlp->NumRestores();
  ASSERT_TRUE(di.CheckLoad());
  EXPECT_GT(di.dlp->NumRestores(), loads);
  EXPECT_TRUE(di.IsLossy());
}

TEST(DisplayFiles, OneToOneJpegIsTheReadersPixels) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/desk_baseline_444.jpg");
  const std::string path = TestData("jpeg/desk_baseline_444.jpg");
  PImageRing ir(path.c_str(), nullptr);
  ir.SetZoomRatio(1, 1);
  EXPECT_TRUE(ir.MapIsNoop(false));
  _ImgStruct out = phototest::NewRGB(ir.GetOWidth(), ir.GetOHeight());
  ASSERT_TRUE(ir.RenderImage(&out, nullptr, nullptr));
  _ImgReader* rd = PopenImageF(path.c_str(), 1, nullptr);
  ASSERT_NE(rd, nullptr);
  _ImgStruct ref = phototest::NewRGB(rd->xres, rd->yres);
  ASSERT_TRUE(PrenderImageR(&ref, rd, 1));
  rd->ri->Close(rd);
  EXPECT_EQ(phototest::Psnr(out, ref), 99.0);
  PfreeImage(&out);
  PfreeImage(&ref);
}

TEST(DisplayFiles, MapImageOrientsTheRecordedPicture) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/landscape_6.jpg");
  PImageRing ir(TestData("jpeg/landscape_6.jpg").c_str(), nullptr);
  ASSERT_TRUE(ir.Ready());
  ir.SetZoomRatio(1, 1);
  EXPECT_FALSE(ir.MapIsNoop(false));
  POrient o;
  ASSERT_TRUE(ir.GetOrient(&o));
  ASSERT_EQ(o.GetWidth(), 600);
  ASSERT_EQ(o.GetHeight(), 450);
  _ImgStruct out = phototest::NewRGB(600, 450);
  ASSERT_TRUE(ir.MapImage(&out, nullptr, nullptr));
  _ImgReader* rd = PopenImageF(TestData("jpeg/landscape_1.jpg").c_str(), 1, nullptr);
  ASSERT_NE(rd, nullptr);
  _ImgStruct ref = phototest::NewRGB(600, 450);
  ASSERT_TRUE(PrenderImageR(&ref, rd, 1));
  rd->ri->Close(rd);
  EXPECT_GE(phototest::Psnr(out, ref), 18.0);
  PfreeImage(&out);
  PfreeImage(&ref);
}

}  // namespace

namespace {

// A 16-bit RGB TIFF of w x h from pix(x, y, rgb); a raw converter's Software tag marks the
// data linear.
void Write16BitTiff(const std::string& path, int w, int h, bool linear,
                    const std::function<void(int, int, uint16_t*)>& pix) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tif, nullptr);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 2);
  if (linear) TIFFSetField(tif, TIFFTAG_SOFTWARE, "dcraw v9.28");
  std::vector<uint16_t> row(static_cast<size_t>(w) * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) pix(x, y, &row[static_cast<size_t>(x) * 3]);
    ASSERT_EQ(TIFFWriteScanline(tif, row.data(), y, 0), 1);
  }
  TIFFClose(tif);
}

}  // namespace

TEST(HDRFiles, LinearSixteenBitTiffLoadsRowByRowToTheFloatValues) {
  phototest::LoadReaders();
  const int w = 37, h = 11;
  // Colours over eleven stops, a few greys and a black pixel.
  auto pix = [](int x, int y, uint16_t* rgb) {
    const int base = 32 << ((x + y) % 11);
    rgb[0] = static_cast<uint16_t>(std::min(65535, base * (1 + x % 3)));
    rgb[1] = static_cast<uint16_t>(std::min(65535, base * (1 + y % 2)));
    rgb[2] = static_cast<uint16_t>(std::min(65535, base + 7 * x));
    if (x == 5 && y == 5) rgb[0] = rgb[1] = rgb[2] = 0;
  };
  phototest::ScratchDir dir;
  const std::string linearPath = dir.Path("linear16.tif");
  const std::string gammaPath = dir.Path("gamma16.tif");
  Write16BitTiff(linearPath, w, h, true, pix);
  Write16BitTiff(gammaPath, w, h, false, pix);

  _ImgReader* rd = PopenImageF(linearPath.c_str(), 1, nullptr);
  ASSERT_NE(rd, nullptr);
  EXPECT_EQ(rd->cs.dtype, IDTushort);
  EXPECT_EQ(rd->cs.gamma, 1.0f);
  rd->ri->Close(rd);
  // Only the gamma sends the file one way or the other.
  EXPECT_FALSE(LoadsWhole(linearPath));
  EXPECT_TRUE(LoadsWhole(gammaPath));

  PImageRing* keep = nullptr;
  _ImgStruct out;
  ASSERT_TRUE(RenderFile(linearPath, w, h, &out, &keep));
  EXPECT_TRUE(keep->IsHDR());
  PDisplayList* dl = keep->dlp;
  ASSERT_EQ(dl->GetSize(), static_cast<size_t>(w) * h * 5);
  ASSERT_TRUE(dl->GetPointers());
  ASSERT_NE(dl->c_img.img, nullptr);
  // The same pixels as linear floats through the frame's own tone-mapping settings.
  std::vector<COLOR> fl(w);
  std::vector<TMbright> refL(w);
  std::vector<uint8_t> refC(static_cast<size_t>(w) * 3);
  int worstL = 0, worstC = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint16_t v[3];
      pix(x, y, v);
      for (int c = 0; c < 3; ++c) fl[x][c] = v[c] / 65535.0f;
    }
    ASSERT_EQ(tmCvColors(dl->tms, refL.data(), refC.data(), fl.data(), w), TMERR_NONE);
    const TMbright* ls = reinterpret_cast<const TMbright*>(dl->l_img.img + y * dl->l_img.rowsize);
    const uint8_t* cs = dl->c_img.img + y * dl->c_img.rowsize;
    for (int x = 0; x < w; ++x) {
      if (refL[x] == TM_NOBRT) {
        EXPECT_EQ(ls[x], TM_NOBRT) << x << "," << y;
        continue;
      }
      worstL = std::max(worstL, std::abs(ls[x] - refL[x]));
      for (int c = 0; c < 3; ++c)
        worstC = std::max(worstC, std::abs(cs[3 * x + c] - refC[3 * x + c]));
    }
  }
  dl->ReleasePointers();
  EXPECT_LE(worstL, 2);
  EXPECT_LE(worstC, 2);
  PfreeImage(&out);
  delete keep;
}
