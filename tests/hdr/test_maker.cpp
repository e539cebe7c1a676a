// The maker: sort order, sample-to-nits factors, tolerated adjustments, the usable range and
// the solver's refusals.
#include <time.h>
#include <cstring>

#include "hdr_test_util.h"
#include "support/dmessage.h"
#include "support/membudget.h"

using namespace hdrtest;

namespace {

// Writes a small flat exposure of grey value v as dir/name.
void WriteFlat(const ScratchDir& dir, const std::string& name, uint8_t v, int w = 48, int h = 32) {
  _ImgStruct im = NewRGB(w, h);
  const uint8_t px[3] = {v, v, v};
  PclearImage(&im, px);
  ASSERT_TRUE(WriteTiff(dir.Path(name), im));
  PfreeImage(&im);
}

int cancelAt = -1;
int CancelProgress(const char*, int pct) {
  return pct >= cancelAt ? 0 : 1;
}

}  // namespace

TEST(MakerSort, EqualFactorsSortLaterAddedFirstAndMiddleUsesPositionTwo) {
  LoadReaders();
  ScratchDir dir;
  PHDImageMaker mk;
  const float sto[4] = {4, 2, 2, 1};
  for (int i = 0; i < 4; i++) {
    WriteFlat(dir, "f" + std::to_string(i) + ".tif", 100);
    ASSERT_TRUE(AddExposure(&mk, dir, "f" + std::to_string(i) + ".tif", sto[i]));
  }
  mk.solveFlags = 0;
  ASSERT_TRUE(mk.Compute());
  EXPECT_EQ(mk.Order(0), 3);
  EXPECT_EQ(mk.Order(1), 2);  // added after exposure 1, same factor
  EXPECT_EQ(mk.Order(2), 1);
  EXPECT_EQ(mk.Order(3), 0);
  EXPECT_DOUBLE_EQ(mk.GetStoNits(-1), 2.0);  // sorted position 2 holds exposure 1
  EXPECT_DOUBLE_EQ(mk.GetStoNits(0), 4.0);
  EXPECT_EQ(mk.GetStoNits(4), -1);
  EXPECT_EQ(mk.GetCacheImage(4), nullptr);
  mk.Done();
  EXPECT_EQ(mk.GetNI(), 0);
  EXPECT_EQ(mk.GetStoNits(-1), -1);
}

TEST(MakerSort, ExposureWithoutFactorNeedsCalibration) {
  LoadReaders();
  ScratchDir dir;
  PHDImageMaker mk;
  WriteFlat(dir, "a.tif", 100);
  ASSERT_TRUE(AddExposure(&mk, dir, "a.tif", 1));
  ASSERT_TRUE(AddExposure(&mk, dir, "a.tif", 0, 0, 0, false));
  EXPECT_FALSE(mk.Compute());
  EXPECT_NE(std::string(dmessage_record[DMCdata]).find("needs exposure calibration"),
            std::string::npos);
}

TEST(MakerSolve, OneExposureSolvesOnlyWithAKnownResponse) {
  LoadReaders();
  ScratchDir dir;
  PHDImageMaker mk;
  WriteFlat(dir, "a.tif", 100);
  ASSERT_TRUE(AddExposure(&mk, dir, "a.tif", 1));
  EXPECT_FALSE(mk.Compute());
  EXPECT_STREQ(dmessage_record[DMCparameter], "Too few exposures to compute HDR image");
  mk.solveFlags = 6;
  EXPECT_TRUE(mk.Compute());
  EXPECT_EQ(mk.HaveSoln(), 6);
}

TEST(MakerSolve, MaxExpAdjFollowsExposureTimeAndAperture) {
  LoadReaders();
  ScratchDir dir;
  PHDImageMaker mk;
  WriteFlat(dir, "a.tif", 100);
  ASSERT_TRUE(AddExposure(&mk, dir, "a.tif", 1, 0.01f, 4));
  ASSERT_TRUE(AddExposure(&mk, dir, "a.tif", 2, 0.01f, 4));
  ASSERT_TRUE(AddExposure(&mk, dir, "a.tif", 4, 0.02f, 4));
  ASSERT_TRUE(AddExposure(&mk, dir, "a.tif", 8, 0.02f, 5.6f));
  ASSERT_TRUE(AddExposure(&mk, dir, "a.tif", 8));
  EXPECT_FLOAT_EQ(mk.MaxExpAdj(0, 0), 1.0f);
  EXPECT_FLOAT_EQ(mk.MaxExpAdj(0, 1), 1.04f);
  EXPECT_FLOAT_EQ(mk.MaxExpAdj(1, 2), 1.08f);
  EXPECT_FLOAT_EQ(mk.MaxExpAdj(2, 3), 1.04f + 0.25f);
  EXPECT_FLOAT_EQ(mk.MaxExpAdj(3, 4), 1.12f);
}

TEST(MakerSolve, SkippingKeepsLightExposuresAfterAnAcceptedOne) {
  LoadReaders();
  ScratchDir dir;
  PHDImageMaker mk;
  // Sorted brightest first: ramps that are light (no dark values), full, or dark (no bright).
  const int lo[7] = {60, 60, 0, 60, 60, 0, 0}, hi[7] = {255, 255, 255, 255, 255, 150, 150};
  for (int i = 0; i < 7; i++) {
    const std::string n = "s" + std::to_string(i) + ".tif";
    _ImgStruct im = NewRGB(64, 32);
    for (int y = 0; y < 32; y++)
      for (int x = 0; x < 64; x++)
        for (int c = 0; c < 3; c++)
          im.img[y * im.rowsize + 3 * x + c] =
              static_cast<uint8_t>(lo[i] + (hi[i] - lo[i]) * x / 63);
    ASSERT_TRUE(WriteTiff(dir.Path(n), im));
    PfreeImage(&im);
    ASSERT_TRUE(AddExposure(&mk, dir, n, static_cast<float>(1 << i)));
  }
  mk.solveFlags = 0;
  ASSERT_TRUE(mk.Compute());
  mk.solveFlags = PHDSskip;
  EXPECT_TRUE(mk.SkipExposure(0));  // light, and its successor too
  EXPECT_EQ(mk.UStart(), 1);
  EXPECT_FALSE(mk.SkipExposure(1));  // light, but the next is not
  EXPECT_FALSE(mk.SkipExposure(2));
  EXPECT_FALSE(mk.SkipExposure(3));  // light with a light successor, after accepted ones: kept
  EXPECT_EQ(mk.UStart(), 1);
  EXPECT_FALSE(mk.SkipExposure(4));
  EXPECT_FALSE(mk.SkipExposure(5));  // dark, but its predecessor is not
  EXPECT_TRUE(mk.SkipExposure(6));   // dark after dark
  EXPECT_EQ(mk.UEnd(), 6);
  // Without the bit nothing is skipped inside a new range.
  mk.ClearSoln(0);
  mk.solveFlags = 0;
  ASSERT_TRUE(mk.Compute());
  for (int k = 0; k < 7; k++) EXPECT_FALSE(mk.SkipExposure(k));
}

TEST(MakerSolve, ProgressCancelFailsTheSolve) {
  LoadReaders();
  ScratchDir dir;
  PHDImageMaker mk;
  for (int i = 0; i < 3; i++) {
    WriteFlat(dir, "c.tif", 120);
    ASSERT_TRUE(AddExposure(&mk, dir, "c.tif", static_cast<float>(1 << i)));
  }
  cancelAt = 30;
  mk.reportProgress = CancelProgress;
  EXPECT_FALSE(mk.Compute());
  EXPECT_STREQ(dmessage_record[DMCtrace], "User cancelled HDR solver");
  EXPECT_EQ(mk.Unsolved(), 7);
}

namespace {

// The stop test's progress function: it notes each call, and from the step named on asks to
// stop (a Stop clicked while that step runs, heard at the next call).
struct StopAt {
  enum Step { solve, merge } step = solve;
  bool armed = false;  // the step was entered
  int after = 0;       // calls from the arming on
  std::string stoppedBy;
  double at = 0;  // the process's processor time at the arming, in seconds
} stopAt;

// The processor time the process has used, in seconds: what the work costs, whatever else the
// machine runs meanwhile.
double ProcessorSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

int StopProgress(const char* msg, int pct) {
  const std::string m = msg != nullptr ? msg : "";
  if (stopAt.armed) {
    if (stopAt.after++ == 0) stopAt.stoppedBy = m + " " + std::to_string(pct);
    return 0;
  }
  // The analysis ends at 100 and the solve follows; the merge adds its first exposure after 15.
  // A poll calls with no message and the last percentage.
  if (msg == nullptr && pct == (stopAt.step == StopAt::solve ? 100 : 15)) {
    stopAt.armed = true;
    stopAt.at = ProcessorSeconds();
  }
  return 1;
}

}  // namespace

// Five exposures of a 12-megapixel scene of flat tiles (hundreds of patches): a Stop given as the
// response solve starts, or as the merge adds its first exposure, is heard inside that step, by
// its next poll, and the work ends at once. The polls are asked to call out every time, so that
// a fast machine shows them too; the bound is half a second of processor time, far above what is
// left to do (on a busy machine the time on the clock runs on meanwhile).
TEST(MakerSolve, AStopIsHeardInsideTheSolveAndTheMerge) {
  if (kSanitized) GTEST_SKIP() << "large pictures";
  LoadReaders();
  ScratchDir dir;
  const int W = 4000, H = 3000, tile = 40, tx = W / tile;
  const Camera cam = CubicCamera();
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(0, 1);
  std::vector<double> base(3 * static_cast<size_t>(tx) * (H / tile));
  for (double& b : base) b = std::pow(10.0, 3.0 * u(rng)) / 1000;
  std::vector<float> nominal;
  _ImgStruct im = NewRGB(W, H);
  for (int i = 0; i < 5; i++) {
    const double mult = 0.03 * std::pow(4.0, i);
    std::vector<uint8_t> code(base.size());
    for (size_t t = 0; t < base.size(); t++)
      code[t] = static_cast<uint8_t>(
          std::lround(255 * cam.Encode(static_cast<int>(t % 3), std::min(1.0, base[t] * mult))));
    for (int y = 0; y < H; y++) {
      uint8_t* row = im.img + static_cast<ptrdiff_t>(y) * im.rowsize;
      const uint8_t* tc = &code[3 * static_cast<size_t>(y / tile) * tx];
      for (int x = 0; x < W; x++) std::memcpy(row + 3 * x, tc + 3 * (x / tile), 3);
    }
    ASSERT_TRUE(WriteTiff(dir.Path("t" + std::to_string(i) + ".tif"), im));
    nominal.push_back(static_cast<float>(1 / mult));
  }
  PfreeImage(&im);
  // Room for the merge to keep the exposures it read, whatever this computer has free: where it
  // must give them up, the first one is read again after the stop before the merge's next poll,
  // which is this computer's memory deciding the verdict.
  PsetMemoryAvailable(uint64_t(4) << 30);
  struct Restore {
    ~Restore() { PsetMemoryAvailable(0); }
  } restore;
  for (StopAt::Step step : {StopAt::solve, StopAt::merge}) {
    SCOPED_TRACE(step == StopAt::solve ? "solve" : "merge");
    PHDImageMaker mk;
    for (int i = 0; i < 5; i++)
      ASSERT_TRUE(AddExposure(&mk, dir, "t" + std::to_string(i) + ".tif", nominal[i]));
    mk.solveFlags = PHDSresponse | PHDSexposure;
    mk.reportProgress = StopProgress;
    mk.poll.every = 0;
    stopAt = StopAt();
    stopAt.step = step;
    _ImgStruct out = {W, H, &ICS_RGB709, 0, nullptr, nullptr};
    const bool made = mk.GetHDImage(&out, nullptr);
    const double took = ProcessorSeconds() - stopAt.at;
    EXPECT_FALSE(made);
    EXPECT_EQ(out.img, nullptr);
    ASSERT_TRUE(stopAt.armed);
    EXPECT_EQ(stopAt.after, 1);  // nothing called after the stop
    EXPECT_LT(took, 0.5);
    if (step == StopAt::solve) {
      // Stopped by a poll of the solve, before any merge: the response is not solved.
      EXPECT_EQ(stopAt.stoppedBy, " 100");
      EXPECT_EQ(mk.Unsolved() & PHDSresponse, PHDSresponse);
      EXPECT_STREQ(dmessage_record[DMCtrace], "User cancelled HDR solver");
    } else {
      // Stopped in the first exposure's rows, before its end reported 29 percent.
      EXPECT_EQ(stopAt.stoppedBy, " 15");
      EXPECT_EQ(mk.Unsolved(), 0);
      EXPECT_STREQ(dmessage_record[DMCtrace], "User cancelled HDR builder");
    }
  }
}
