// Frames read at the size they are shown: reduced reads, their crop, a zoom back to full
// size, a read stopped part way, and a full-size frame this computer's memory cannot hold.
#include <sys/resource.h>
#include <sys/wait.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <string>

#include "display_test_util.h"
#include "support/pwork.h"
#include "testutil/message_log.h"

using namespace disptest;

namespace {

constexpr int kW = 2400, kH = 1800;

// Red runs with x and green with y across the whole picture; blue is constant.
FakePicture Ramps(FakePicture::Kind kind) {
  FakePicture p;
  p.w = kW;
  p.h = kH;
  p.kind = kind;
  p.pixel = [kind](int x, int y, int, float* c) {
    const float s = kind == FakePicture::kRGB8 ? 255.0f : 1.0f;
    c[0] = s * (x + 0.5f) / kW;
    c[1] = s * (y + 0.5f) / kH;
    c[2] = s * 0.4f;
  };
  return p;
}

size_t FrameBytes(const PImageRing& ir) {
  return ir.dlp != nullptr ? ir.dlp->GetSize() : 0;
}

_ImgStruct Render(PImageRing* ir, int w, int h) {
  _ImgStruct v = {};
  v.xres = w;
  v.yres = h;
  v.csp = &ICS_sRGB;
  EXPECT_TRUE(ir->RenderImage(&v, nullptr, nullptr));
  return v;
}

TEST(ReducedFrames, AFrameShownSmallIsReadSmallWithItsCropAndInFullWhenZoomedIn) {
  FakeFiles files;
  DBRecord rec = files.Record(files.Add("ramps.fkd", Ramps(FakePicture::kRGB8)));
  // The middle half of the picture each way.
  SetInts(&rec, PDBFcrop, {600, 450, 1800, 1350});
  PImageRing ir(rec, nullptr);
  ASSERT_TRUE(ir.Ready());
  ir.SetExposureMode(0);
  // The 1200 x 900 crop fitted into 120 x 90: a tenth, so the picture is read at a fifth.
  _ImgStruct v = Render(&ir, 120, 90);
  ASSERT_NE(v.img, nullptr);
  EXPECT_LE(FrameBytes(ir), size_t{kW} * kH * 3 / 25);
  for (int y = 5; y < 90; y += 20)
    for (int x = 5; x < 120; x += 25) {
      const double fx = 600 + (x + 0.5) * 10, fy = 450 + (y + 0.5) * 10;
      EXPECT_NEAR(Px(v, x, y)[0], 255 * fx / kW, 3) << x << "," << y;
      EXPECT_NEAR(Px(v, x, y)[1], 255 * fy / kH, 3) << x << "," << y;
    }
  PfreeImage(&v);
  // At 1:1 every pixel is needed: the frame is read again, whole.
  ir.SetZoomRatio(1, 1);
  v = Render(&ir, 240, 180);
  EXPECT_EQ(FrameBytes(ir), size_t{kW} * kH * 3);
  EXPECT_EQ(Px(v, 120, 90)[0], static_cast<int>(255 * (1200 + 0.5f) / kW));
  PfreeImage(&v);
}

TEST(ReducedFrames, AHighDynamicRangeFrameShownSmallIsReadSmall) {
  FakeFiles files;
  PImageRing ir(files.Add("ramps.fkd", Ramps(FakePicture::kFloatRGB)).c_str(), nullptr);
  ASSERT_TRUE(ir.Ready());
  _ImgStruct v = Render(&ir, 240, 180);
  ASSERT_NE(v.img, nullptr);
  // Brightness and chroma, 5 bytes a pixel, of a picture read at a fifth.
  EXPECT_LE(FrameBytes(ir), size_t{kW} * kH * 5 / 25);
  EXPECT_LT(Px(v, 20, 90)[0] + 10, Px(v, 220, 90)[0]);
  EXPECT_LT(Px(v, 120, 10)[1] + 10, Px(v, 120, 170)[1]);
  PfreeImage(&v);
}

TEST(ReducedFrames, AJpegHdrShownSmallIsDecodedScaled) {
  // Float ramps written as JPEG-HDR, then shown at a tenth: decoded at a quarter (no less
  // than twice the size shown).
  constexpr int W = 1600, H = 1200;
  std::vector<float> px(size_t{W} * H * 3);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      float* p = &px[(size_t{W} * y + x) * 3];
      p[0] = 0.01f + 4.0f * x / W;
      p[1] = 0.01f + 4.0f * y / H;
      p[2] = 0.5f;
    }
  phototest::ScratchDir dir;
  const std::string path = dir.Path("ramps.jpg");
  _ImgWriteBuf wb = {};
  wb.xres = W;
  wb.yres = H;
  wb.rowsize = W * 12;
  wb.pixAspect = 1.0f;
  wb.csp = &ICS_RGB709;
  wb.img = px.data();
  ASSERT_GT(IWInterfaceJPEG.WriteImage(path.c_str(), &wb), 0);
  Register();
  DBRecord rec(&PDBFInfo);
  PgrokFile(&rec, path.c_str());
  PImageRing ir(rec, nullptr);
  ASSERT_TRUE(ir.Ready());
  _ImgStruct v = Render(&ir, 160, 120);
  ASSERT_NE(v.img, nullptr);
  EXPECT_TRUE(ir.IsHDR());
  EXPECT_EQ(FrameBytes(ir), size_t{W / 4} * (H / 4) * 5);
  EXPECT_LT(Px(v, 10, 60)[0] + 20, Px(v, 150, 60)[0]);
  EXPECT_LT(Px(v, 80, 10)[1] + 20, Px(v, 80, 110)[1]);
  PfreeImage(&v);
}

bool StopAtOnce(double) {
  return false;
}

TEST(ReducedFrames, AReadStoppedPartWayIsNoFailureAndIsReadAgainLater) {
  FakeFiles files;
  MessageLog log;
  PDisplayImage di(files.Record(files.Add("ramps.fkd", Ramps(FakePicture::kRGB8))));
  di.SetReduction(3);
  const PSliceHook before = PsetSliceHook(StopAtOnce);
  EXPECT_FALSE(di.CheckLoad());
  PsetSliceHook(before);
  EXPECT_FALSE(di.FirstFrameFailed());
  EXPECT_STREQ(di.LoadFailure(), "");
  EXPECT_EQ(log.Count(), 0u) << log.All();
  ASSERT_TRUE(di.CheckLoad());
  EXPECT_EQ(ViewRed(&di, 1200, 900), static_cast<int>(255 * (1200 + 0.5f) / kW));
}

TEST(ReducedFrames, AFullSizeFrameBeyondThisComputersMemoryIsRefusedInWords) {
  FakeFiles files;
  FakePicture huge = Ramps(FakePicture::kRGB8);
  huge.w = 40000;
  huge.h = 30000;
  const std::string path = files.Add("huge.fkd", huge);
  // In a child that may map no more than 1 GB beyond what it maps now: a 3.4 GB frame cannot
  // fit there.
  const pid_t child = fork();
  if (child == 0) {
    MessageLog log;
    long vmKb = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmSize:", 0) == 0) vmKb = std::atol(line.c_str() + 7);
    const rlim_t room = (static_cast<rlim_t>(vmKb) << 10) + (rlim_t{1} << 30);
    const rlimit lim = {room, room};
    setrlimit(RLIMIT_AS, &lim);
    PDisplayImage di(files.Record(path));
    const bool loaded = di.CheckLoad();
    const bool told = log.Has(DMCresource, "Cannot open '" + path +
                                               "': 'huge.fkd' is 40000 \xC3\x97 30000 pixels "
                                               "(3.4 GB): too large for this computer's memory");
    _exit(!loaded && told && di.FirstFrameFailed() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace

// A rendering too large to make in one step is made a band of rows at a time: the bands join
// into what the whole rendering gives (but for rounding), for a picture read whole and
// reduced, resampled and at its own size, 8-bit and of high dynamic range.
TEST(ReducedFrames, ARenderingMadeInBandsIsTheWholeRendering) {
  FakeFiles files;
  for (FakePicture::Kind kind : {FakePicture::kRGB8, FakePicture::kFloatRGB}) {
    // Fine detail everywhere, so that a band placed a fraction of a row off shows.
    FakePicture p;
    p.w = 1203;
    p.h = 901;
    p.kind = kind;
    p.pixel = [kind](int x, int y, int, float* c) {
      const float s = kind == FakePicture::kRGB8 ? 1.0f : 1.0f / 64;
      c[0] = s * static_cast<float>((x * 37 + y * 11) % 251);
      c[1] = s * static_cast<float>((x * 5 + y * 29) % 241);
      c[2] = s * static_cast<float>(((x / 3) ^ (y / 2)) & 255);
    };
    DBRecord rec = files.Record(files.Add(kind == FakePicture::kRGB8 ? "a.fkd" : "b.fkd", p));
    for (int k : {1, 2}) {
      for (const std::array<int, 2> out : {std::array<int, 2>{517, 389}, {1179, 873}}) {
        if (k == 2 && out[0] == 1179) continue;
        PDisplayImage di(rec);
        ASSERT_TRUE(di.Ready());
        di.SetDisplaySpace(&ICS_sRGB, 32, 100);
        di.SetReduction(k);
        const _ImgRect r = {11, 1190, 7, 880};
        _ImgStruct whole = {};
        whole.xres = out[0];
        whole.yres = out[1];
        whole.csp = &ICS_sRGB;
        ASSERT_TRUE(di.GetSubimage(&whole, &r, nullptr));
        _ImgStruct band = {};
        band.xres = out[0];
        band.csp = &ICS_sRGB;
        int worst = 0;
        for (int y0 = 0; y0 < out[1]; y0 += band.yres) {
          band.yres = std::min(37, out[1] - y0);
          ASSERT_TRUE(di.GetSubimageRows(&band, &r, out[1], y0)) << y0;
          for (int y = 0; y < band.yres; ++y)
            for (int x = 0; x < 3 * out[0]; ++x)
              worst = std::max(worst, std::abs(band.img[y * band.rowsize + x] -
                                               whole.img[(y0 + y) * whole.rowsize + x]));
          PfreeImage(&band);
        }
        EXPECT_LE(worst, 1) << "kind " << kind << ", reduced by " << k << ", " << out[0];
        PfreeImage(&whole);
      }
    }
  }
}

// Bands of one, two and three rows, such as a print's last band, are the whole rendering's rows
// too, on noise (where a band resampled any other way shows at once) and at shrinks either side
// of where the resampling kernel changes.
TEST(ReducedFrames, BandsOfOneTwoAndThreeRowsAreTheWholeRenderingOfNoise) {
  FakeFiles files;
  for (FakePicture::Kind kind : {FakePicture::kRGB8, FakePicture::kFloatRGB}) {
    FakePicture p;
    p.w = 603;
    p.h = 451;
    p.kind = kind;
    p.pixel = [kind](int x, int y, int, float* c) {
      const float s = kind == FakePicture::kRGB8 ? 1.0f : 1.0f / 64;
      uint32_t h = static_cast<uint32_t>(x) * 73856093u ^ static_cast<uint32_t>(y) * 19349663u;
      for (int i = 0; i < 3; ++i) {
        h = h * 1664525u + 1013904223u;
        c[i] = s * static_cast<float>(h >> 24);
      }
    };
    DBRecord rec = files.Record(files.Add(kind == FakePicture::kRGB8 ? "n.fkd" : "m.fkd", p));
    PDisplayImage di(rec);
    ASSERT_TRUE(di.Ready());
    di.SetDisplaySpace(&ICS_sRGB, 32, 100);
    const _ImgRect r = {0, 603, 0, 451};
    // 451 rows shrunk by 1.30, 1.45, 1.56 and 2.0.
    for (int outH : {347, 311, 289, 225}) {
      _ImgStruct whole = {};
      whole.xres = 550;
      whole.yres = outH;
      whole.csp = &ICS_sRGB;
      ASSERT_TRUE(di.GetSubimage(&whole, &r, nullptr));
      for (int n : {1, 2, 3}) {
        _ImgStruct band = {};
        band.xres = whole.xres;
        band.csp = &ICS_sRGB;
        int worst = 0;
        for (int y0 = 0; y0 < outH; y0 += band.yres) {
          band.yres = std::min(n, outH - y0);
          ASSERT_TRUE(di.GetSubimageRows(&band, &r, outH, y0)) << y0;
          for (int y = 0; y < band.yres; ++y)
            for (int x = 0; x < 3 * whole.xres; ++x)
              worst = std::max(worst, std::abs(band.img[y * band.rowsize + x] -
                                               whole.img[(y0 + y) * whole.rowsize + x]));
          PfreeImage(&band);
        }
        EXPECT_LE(worst, 1) << "kind " << kind << ", " << outH << " rows, bands of " << n;
      }
      PfreeImage(&whole);
    }
  }
}
