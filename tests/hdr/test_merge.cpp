// Merging: weights, movement removal, bad-pixel repair, small rotations and linear fills.
#include <cstring>

#include "hdr_test_util.h"
#include "support/cache.h"
#include "support/membudget.h"

using namespace hdrtest;

TEST(MergeWeights, HatLimitsTheUsableRangeAndEmptyRangeWeighsNothing) {
  float resp[256], slope[256], wt[257];
  PPolynomial lin = linearPoly1;
  ASSERT_TRUE(PHDresponseTable(lin, resp, slope));
  PHDWeightArgs a = {resp, slope, 1.0f, 0.0f, 30, 220, false, false};
  wt[256] = 0;
  PHDweightTable(wt, a);
  EXPECT_EQ(wt[10], 0.0f);
  EXPECT_EQ(wt[240], 0.0f);
  EXPECT_GT(wt[125], wt[40]);
  EXPECT_GT(wt[125], 0.0f);
  // The brightest exposure keeps its dark end, the darkest its bright end.
  a.brightest = true;
  PHDweightTable(wt, a);
  EXPECT_GT(wt[10], 0.0f);
  EXPECT_EQ(wt[240], 0.0f);
  a.brightest = false;
  a.darkest = true;
  PHDweightTable(wt, a);
  EXPECT_GT(wt[240], 0.0f);
  a.minv = a.maxv = 120;
  a.darkest = false;
  PHDweightTable(wt, a);
  for (int b = 0; b < 256; b++) ASSERT_EQ(wt[b], 0.0f) << b;
}

TEST(MergeRepair, LinearFillAndIsolatedSpikes) {
  float run[5 * 3] = {0, 10, 20, 9, 9, 9, 9, 9, 9, 9, 9, 9, 4, 50, 60};
  pLinterp(run, 5, 3, 3);
  EXPECT_FLOAT_EQ(run[3 * 2 + 0], 2);
  EXPECT_FLOAT_EQ(run[3 * 1 + 1], 10 + 40 * 0.25f);
  float two[6] = {1, 1, 1, 5, 5, 5};
  pLinterp(two, 2, 3, 3);
  EXPECT_EQ(two[3], 5);
  // One pixel of high relative variance is repaired from its 5x5 surround.
  _ImgStruct img = {12, 12, &ICS_RGB709, 0, nullptr, nullptr};
  _ImgStruct var = img;
  ASSERT_TRUE(PnewImage(&img, 0));
  ASSERT_TRUE(PnewImage(&var, 0));
  const float one[3] = {1, 1, 1};
  PclearImage(&img, one);
  PclearImage(&var, nullptr);
  float* p = reinterpret_cast<float*>(img.img + 6 * img.rowsize) + 3 * 6;
  p[0] = p[1] = p[2] = 40;
  float* v = reinterpret_cast<float*>(var.img + 6 * var.rowsize) + 3 * 6;
  v[0] = v[1] = v[2] = 2;
  EXPECT_EQ(cleanBadPixels(&img, &var), 1);
  EXPECT_FLOAT_EQ(p[1], 1);
  PfreeImage(&img);
  PfreeImage(&var);
}

namespace {

// Three exposures one stop apart of a tile scene through a linear camera, with an optional
// change painted into one of them; the maker gets the linear response.
struct LinearSeries {
  ScratchDir dir;
  PHDImageMaker mk;
  Scene s;
  int hotX = -1, hotY = -1;
  LinearSeries(int changed, double gain, bool hot) : s(TileScene(160, 120, 20, 0.3, 4)) {
    LoadReaders();
    for (float& r : s.rad) r *= 0.12f;
    Camera cam;
    cam.inv = [](int, double x) { return x; };
    cam.Build();
    for (int i = 0; i < 3; i++) {
      const double mult = 2.0 / (1 << i);
      Scene si = s;
      if (i == changed)
        for (int y = 50; y < 70; y++)
          for (int x = 70; x < 90; x++)
            for (int c = 0; c < 3; c++) si.rad[3 * (y * si.w + x) + c] *= static_cast<float>(gain);
      _ImgStruct im = Expose(si, cam, mult, 0.0, 7 + i);
      if (hot && i == changed) {
        // The darkest pixel well inside a tile (whose gradient is linear, so a repair can be
        // exact) takes a value near the image's top, inside its usable range.
        uint8_t lo = 255, hi = 0;
        for (int y = 4; y < im.yres - 4; y++)
          for (int x = 4; x < im.xres - 4; x++) {
            lo = std::min(lo, im.img[y * im.rowsize + 3 * x + 1]);
            hi = std::max(hi, im.img[y * im.rowsize + 3 * x + 1]);
          }
        for (int y = 4; y < im.yres - 4 && hotX < 0; y++)
          for (int x = 4; x < im.xres - 4 && hotX < 0; x++)
            if (x % 20 >= 4 && x % 20 < 16 && y % 20 >= 4 && y % 20 < 16 &&
                im.img[y * im.rowsize + 3 * x + 1] <= lo + 2) {
              hotX = x;
              hotY = y;
              std::memset(im.img + y * im.rowsize + 3 * x, hi - 8, 3);
            }
      }
      const std::string n = "m" + std::to_string(i) + ".tif";
      EXPECT_TRUE(WriteTiff(dir.Path(n), im));
      PfreeImage(&im);
      EXPECT_TRUE(AddExposure(&mk, dir, n, static_cast<float>(1 / mult)));
    }
    DBRecord lin(&CDBFInfo);
    const float c[2] = {0, 1};
    for (int f = CDBFred; f <= CDBFblue; f++) lin.SetField(f, c, 2);
    EXPECT_TRUE(mk.SetResponse(lin));
  }
  // Mean relative deviation of the merged green from the scene inside the painted square.
  double Deviation(const _ImgStruct& out, int x0, int y0, int n) const {
    double sum = 0, scale = 0;
    const float* ref = reinterpret_cast<const float*>(out.img + 10 * out.rowsize) + 3 * 10;
    scale = ref[1] / s.At(10, 10)[1];
    for (int y = y0; y < y0 + n; y++)
      for (int x = x0; x < x0 + n; x++) {
        const float* p = reinterpret_cast<const float*>(out.img + y * out.rowsize) + 3 * x;
        sum += std::fabs(p[1] / (scale * s.At(x, y)[1]) - 1);
      }
    return sum / (n * n);
  }
};

_ImgStruct Merge(PHDImageMaker* mk, int flags) {
  mk->solveFlags = flags;
  _ImgStruct out = {};
  EXPECT_TRUE(mk->GetHDImage(&out, nullptr));
  return out;
}

}  // namespace

TEST(MergeMovement, ObjectInOneExposureIsWeighedDown) {
  int ref;
  {
    LinearSeries clean(-1, 1, false);
    clean.mk.solveFlags = 0;
    ASSERT_TRUE(clean.mk.Compute());
    ref = clean.mk.GetBestExposure(nullptr);
    ASSERT_GE(ref, 0);
  }
  const int changed = (ref + 1) % 3;  // sorted position = adding order here
  LinearSeries ls(changed, 4.0, false);
  _ImgStruct plain = Merge(&ls.mk, 0);
  const double without = ls.Deviation(plain, 73, 53, 14);
  PfreeImage(&plain);
  _ImgStruct moved = Merge(&ls.mk, PHDSmovement);
  ASSERT_EQ(ls.mk.GetBestExposure(nullptr), ref);
  const double with = ls.Deviation(moved, 73, 53, 14);
  PfreeImage(&moved);
  printf("object deviation without movement removal %.4f, with %.4f\n", without, with);
  EXPECT_GT(without, 0.2);
  EXPECT_LT(with, without / 10);
}

TEST(MergeRepair, BadPixelsRepairedOnlyWithoutAlignment) {
  LinearSeries ls(1, 1.0, true);
  ASSERT_GE(ls.hotX, 0);
  _ImgStruct a = Merge(&ls.mk, 0);
  const double repaired = ls.Deviation(a, ls.hotX, ls.hotY, 1);
  PfreeImage(&a);
  _ImgStruct b = Merge(&ls.mk, PHDSalign);
  EXPECT_EQ(ls.mk.Exposure(1).xoff, 0);
  const double kept = ls.Deviation(b, ls.hotX, ls.hotY, 1);
  PfreeImage(&b);
  EXPECT_LT(repaired, 0.05);
  EXPECT_GT(kept, 0.1);
}

TEST(MergeRotation, RotationsUpToSevenHundredthsOfADegreeAreIgnored) {
  LinearSeries ls(-1, 1, false);
  auto bytes = [&](float deg) {
    ls.mk.Exposure(1).degCW = deg;
    _ImgStruct o = Merge(&ls.mk, 0);
    std::vector<uint8_t> v;
    for (int y = 0; y < o.yres; y++)
      v.insert(v.end(), o.img + y * o.rowsize, o.img + y * o.rowsize + 12 * o.xres);
    PfreeImage(&o);
    return v;
  };
  const std::vector<uint8_t> none = bytes(0);
  EXPECT_TRUE(bytes(0.07f) == none);
  EXPECT_TRUE(bytes(-0.07f) == none);
  EXPECT_FALSE(bytes(0.3f) == none);
}

TEST(MergeDestination, RefusesNonLinearOrMismatchedDestinations) {
  LinearSeries ls(-1, 1, false);
  ls.mk.solveFlags = 0;
  _ImgStruct bad = {0, 0, &ICS_sRGB, 0, nullptr, nullptr};
  EXPECT_FALSE(ls.mk.GetHDImage(&bad, nullptr));
  _ImgStruct small = {10, 10, &ICS_RGB709, 0, nullptr, nullptr};
  EXPECT_FALSE(ls.mk.GetHDImage(&small, nullptr));
  EXPECT_EQ(small.img, nullptr);
  // A mask receives the relative variance at the merged size.
  _ImgStruct out = {}, mask = {};
  ASSERT_TRUE(ls.mk.GetHDImage(&out, &mask));
  EXPECT_EQ(mask.xres, out.xres);
  EXPECT_NE(mask.img, nullptr);
  PfreeImage(&out);
  PfreeImage(&mask);
}

namespace {

// The exposures' pixels in memory that nothing uses, at the merge's reports once it has begun
// adding exposures (after 15 percent); the most seen.
const PHDImageMaker* watched = nullptr;
bool combining = false;
uint64_t mostIdle = 0;

int WatchIdle(const char* msg, int pct) {
  if (msg != nullptr) combining = std::strcmp(msg, "Combining Images") == 0;
  if (!combining || pct <= 15) return 1;
  uint64_t idle = 0;
  for (int i = 0; i < watched->GetNI(); i++) {
    const PCacheImage* pci = watched->GetCacheImage(i);
    if (pci->IsResident() && !pci->InUse()) idle += pci->GetSize();
  }
  mostIdle = std::max(mostIdle, idle);
  return 1;
}

// The float pixels of a merge, row by row.
std::vector<uint8_t> Pixels(const _ImgStruct& o) {
  std::vector<uint8_t> v;
  for (int y = 0; y < o.yres; y++)
    v.insert(v.end(), o.img + y * o.rowsize, o.img + y * o.rowsize + 12 * o.xres);
  return v;
}

}  // namespace

// A series whose exposures the memory cache and the memory left beside the merge both hold is
// read once, by the solve, and merged again without reading; one the cache's budget cannot hold,
// or the memory left cannot, is merged all the same, to the same bits, each exposure given up
// once added, so that the merge stays within the memory it reckoned.
TEST(MergeMemory, ASeriesThatFitsIsReadOnceAndOneThatDoesNotStaysWithinItsMemory) {
  struct Restore {
    uint64_t budget = CacheObject::tab.memoryBudget;
    ~Restore() {
      CacheObject::tab.memoryBudget = budget;
      PsetMemoryAvailable(0);
    }
  } restore;
  const uint64_t series = 3 * 160 * 120 * 3;
  std::vector<uint8_t> fits;
  enum Case { kFits, kBudget, kMemory };
  for (Case c : {kFits, kBudget, kMemory}) {
    SCOPED_TRACE(c == kFits ? "fits" : c == kBudget ? "beyond the budget" : "beyond memory");
    LinearSeries ls(1, 2.0, false);
    ls.mk.solveFlags = PHDSexposure | PHDSmovement;  // read by the solve; a reference held
    const uint64_t need = ls.mk.MergeBytes(160, 120, false);
    CacheObject::tab.memoryBudget = c == kBudget ? series - 1 : 0;
    // Room for the merge, and beside it for the whole series or half of it.
    const uint64_t room = need + (c == kMemory ? series / 2 : series);
    PsetMemoryAvailable(room / 3 * 4 + 4);
    watched = &ls.mk;
    combining = false;
    mostIdle = 0;
    ls.mk.reportProgress = WatchIdle;
    _ImgStruct out = {};
    ASSERT_TRUE(ls.mk.GetHDImage(&out, nullptr));
    const std::vector<uint8_t> px = Pixels(out);
    PfreeImage(&out);
    int64_t reads = 0;
    for (int i = 0; i < 3; i++) reads += ls.mk.GetCacheImage(i)->NumRestores();
    if (c == kFits) {
      EXPECT_EQ(reads, 3);
      ASSERT_TRUE(ls.mk.GetHDImage(&out, nullptr));  // solved: the merge alone
      EXPECT_TRUE(Pixels(out) == px);
      PfreeImage(&out);
      for (int i = 0; i < 3; i++) EXPECT_EQ(ls.mk.GetCacheImage(i)->NumRestores(), 1) << i;
      fits = px;
    } else {
      EXPECT_GT(reads, 3);  // read again by the merge
      EXPECT_TRUE(px == fits);
      EXPECT_EQ(mostIdle, 0u);
    }
  }
}
