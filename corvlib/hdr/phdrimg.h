// HDR assembly from an exposure series: the exposures with their usability statistics and
// sample patches, the camera response and exposure solver, camera-response records and the
// merge into one linear floating-point image.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "db/dbrecord.h"
#include "db/dbschema.h"
#include "image/pimage.h"
#include "support/abitmap.h"

class PCacheImage;

// Most exposures in a series.
constexpr int PHD_MAXEXP = 50;
// Most patches in a patch set, new patches wanted per exposure, patch side in pixels.
constexpr int PHD_MAXPATCH = 400;
constexpr int PHD_NEWPATCH = 50;
constexpr int PHD_PATCHSIZE = 12;

// Normalised value of byte b.
inline double PHDbyteX(int b) {
  return (b + 0.5) / 256.0;
}
// Luminance of an 8-bit colour, used to choose patches and tolerances.
inline int PHDluma(const uint8_t* c) {
  return (54 * c[0] + 183 * c[1] + 19 * c[2]) >> 8;
}

// A response polynomial from normalised byte value to relative linear value.
struct PPolynomial {
  int32_t degree;  // 0..5; -1: no response
  double coef[6];  // coef[i] multiplies x^i
  double Eval(double x) const {
    double s = coef[degree > 0 ? degree : 0];
    for (int i = degree - 1; i >= 0; i--) s = s * x + coef[i];
    return s;
  }
  double Deriv(double x) const {
    double s = 0;
    for (int i = degree; i >= 1; i--) s = s * x + i * coef[i];
    return s;
  }
};

// The identity response.
extern const PPolynomial linearPoly1;

// Whether a and b have the same degree and agree at every byte value within the relative
// tolerance tol.
bool samePoly(const PPolynomial& a, const PPolynomial& b, double tol);

// A solution: the three channel responses and the adjustment of each sorted exposure.
struct PHDSoln {
  PPolynomial ply[3];
  float expadj[PHD_MAXEXP];
  void Init();
};

// Sample patches measured in every exposure column.
struct PPatchSet {
  uint8_t val[PHD_MAXPATCH][PHD_MAXEXP][4];  // mean R, G, B and a valid flag
  _ImgRect rect[PHD_MAXPATCH];               // in reference-frame coordinates
  int32_t npatch = 0;
  int32_t nexp = 0;  // column e belongs to sorted position ustart + e
  uint64_t rng;      // patch placement generator state

  explicit PPatchSet(uint64_t seed = 0x5eed2d7c0ffee123ULL) : rng(seed) {
    std::memset(val, 0, sizeof(val));
    std::memset(rect, 0, sizeof(rect));
  }
  // Next pseudo-random number in 0 .. 2^31 - 1 (a fixed sequence for a seed).
  uint32_t Rand();
};

// Solves the n-by-n system A x = b (A row by row) by Gauss-Jordan elimination with partial
// pivoting; false for n < 1 or an exactly zero pivot. A and b are not changed.
template <typename T>
bool GJsolveLinearEq(int n, const T* A, const T* b, T* x) {
  if (n < 1 || A == nullptr || b == nullptr || x == nullptr) return false;
  const int w = n + 1;
  std::vector<T> m(static_cast<size_t>(n) * w);
  for (int i = 0; i < n; i++) {
    for (int j = 0; j < n; j++) m[i * w + j] = A[i * n + j];
    m[i * w + n] = b[i];
  }
  for (int c = 0; c < n; c++) {
    int p = c;
    for (int r = c + 1; r < n; r++)
      if (std::fabs(m[r * w + c]) > std::fabs(m[p * w + c])) p = r;
    if (m[p * w + c] == T(0)) return false;
    if (p != c)
      for (int j = 0; j < w; j++) std::swap(m[p * w + j], m[c * w + j]);
    const T piv = m[c * w + c];
    for (int j = c; j < w; j++) m[c * w + j] /= piv;
    for (int r = 0; r < n; r++) {
      if (r == c || m[r * w + c] == T(0)) continue;
      const T f = m[r * w + c];
      for (int j = c; j < w; j++) m[r * w + j] -= f * m[c * w + j];
    }
  }
  for (int i = 0; i < n; i++) x[i] = m[i * w + n];
  return true;
}

// Ascending comparisons for qsort.
int intcmp(const void* a, const void* b);
int floatcmp(const void* a, const void* b);

typedef int (*PHDProgressFunc)(const char* message, int percent);

// How a long step hears a Stop. Go() is called every few rows or iterations and costs a clock
// read: once `every` seconds went by since the progress function was last called, it calls it
// again with the last percentage and a null message, so that the windows stay alive and a Stop
// is heard within that time. Once the function answered 0, Go() and Report() are false (with the
// step's trace message "User cancelled ...") until Reset().
class PHDPoll {
 public:
  explicit PHDPoll(const PHDProgressFunc* fn) : fn_(fn) {}
  // Calls the progress function (none: true) with msg and pct; cancelMsg is the trace message
  // told when it answers 0, and when a later Go() is stopped.
  bool Report(const char* msg, int pct, const char* cancelMsg);
  bool Go() {
    if (stopped_) return false;
    if (*fn_ == nullptr) return true;
    return Now() - last_ < every ? true : Report(nullptr, pct_, cancelMsg_);
  }
  bool Stopped() const { return stopped_; }
  void Reset() { stopped_ = false; }

  double every = 0.05;  // seconds

 private:
  static double Now();
  const PHDProgressFunc* fn_;
  const char* cancelMsg_ = "User cancelled";
  int pct_ = 0;
  double last_ = 0;
  bool stopped_ = false;
};

// One photograph of an exposure series.
class PHDExposure {
 public:
  PHDExposure();
  ~PHDExposure();
  PHDExposure(const PHDExposure&) = delete;
  PHDExposure& operator=(const PHDExposure&) = delete;

  void Done();
  // Loads the whole image into imr (nested calls share it); false when it cannot be read (then
  // unreadable is set) or when the poll heard a Stop while it was read.
  bool GetReady();
  void Release();
  // Gives up the pixels the cache keeps of the image once nothing holds them, whatever the
  // cache's budget: the next GetReady reads the file again.
  void Drop();
  // Tells the image's file could not be read, in words naming it: "<what> '<file>': <why>".
  void TellUnreadable(unsigned cls, const char* what) const;
  // Computes the usability statistics and usepix once; true on success (false, without a
  // message of its own, when stopped).
  bool ComputeUsability();
  // Computes the statistics and usepix from an 8-bit RGB image of the exposure's size; false,
  // with no statistics, when stopped.
  bool ComputeStats(const _ImgStruct* im);
  bool Usable(int x, int y) const { return usepix.Check(x, y); }
  bool UnderRange(const uint8_t* p) const {
    return p[0] < minv[0] || p[1] < minv[1] || p[2] < minv[2];
  }
  bool OverRange(const uint8_t* p) const {
    return p[0] > maxv[0] || p[1] > maxv[1] || p[2] > maxv[2];
  }
  bool HaveStats() const { return minv[0] < maxv[0]; }
  // Mean colour of a reference-frame rectangle in this exposure (imr loaded).
  bool AvgPatch(uint8_t* rgb, const _ImgRect* r) const;
  // Picks a new uniform patch brighter than minY (imr loaded).
  bool NewLightPatch(uint8_t* rgb, _ImgRect* r, PPatchSet* ps, int minY) const;
  // Adds this exposure's column to the patch set; the number of new patches (when stopped, the
  // column may lack patches; the caller ends).
  int Add2Patches(PPatchSet* ps);
  // Places this exposure against its brighter neighbour (phdalign.cpp).
  bool ComputeOffset(PHDExposure* prev);
  // The photo record of the exposure (the cached image's).
  const DBRecord* Record() const;

  PCacheImage* pci;
  // The maker's Stop check for the long steps above; null: they run to their end.
  PHDPoll* poll = nullptr;
  int32_t xoff = 0, yoff = 0;
  float degCW = 0;
  // True when the last placement could not be searched and the neighbour's placement stands.
  bool placedAsNeighbour = false;
  // True when the image's pixels could not be read at the last try.
  bool unreadable = false;
  ABitMap2 usepix;
  float stonits = 0;
  _ImgStruct imr;
  int32_t refCount = 0;
  int32_t minv[3], pct17[3], median[3], pct83[3], maxv[3];
};

// Bits of solveFlags and haveSoln.
enum : int32_t {
  PHDSresponse = 1,
  PHDSexposure = 2,
  PHDSalign = 4,
  PHDSmovement = 8,
  PHDSskip = 16,
};

// The maker of one HDR image from up to 50 exposures.
class PHDImageMaker {
 public:
  PHDImageMaker();
  ~PHDImageMaker();
  PHDImageMaker(const PHDImageMaker&) = delete;
  PHDImageMaker& operator=(const PHDImageMaker&) = delete;

  PCacheImage* NewCacheImage();
  PCacheImage* GetCacheImage(int i) const { return (i >= 0 && i < nipi) ? ipi[i].pci : nullptr; }
  int GetNI() const { return nipi; }
  int Unsolved() const { return solveFlags & ~haveSoln & 7; }
  void ClearSoln(int which);
  bool Compute();
  // Corrected sample-to-nits factor of exposure i (i < 0: the middle sorted one); -1 on failure.
  double GetStoNits(int i = -1);
  void Done();

  // The current response into a camera-response record; true when all six fields were set.
  bool GetResponse(DBRecord* rec);
  // Installs the response of a camera-response record.
  bool SetResponse(const DBRecord& rec);
  // The 256-entry response table of channel c and optionally its slopes.
  bool GetResponse(float* resp, int c, float* slope = nullptr);
  // Merges the series into dst (linear float RGB); mask receives the relative variance. A
  // merge that this computer's memory cannot hold (MergeBytes) is refused, in words, before
  // anything of it is read or allocated. The exposures read stay in memory while the memory
  // cache and the memory beside the merge hold them all; otherwise each is given up once the
  // merge has added it.
  bool GetHDImage(_ImgStruct* dst, _ImgStruct* mask = nullptr);
  // The most memory a merge into a w x h image takes at once: the merged image with its weight
  // and square sums, the exposure being added (with the reference and a turned copy when
  // those are asked for) and the exposures' usability maps.
  uint64_t MergeBytes(int w, int h, bool mask) const;
  // Why the last GetHDImage failed when no other camera response could mend it: the index of
  // an exposure whose image could not be read (-1: none), and whether the merge was refused as
  // too large for memory.
  int UnreadableExposure() const;
  bool TooLarge() const { return tooLarge; }
  // The reference exposure for movement removal; links img to its image when given.
  int GetBestExposure(_ImgStruct* img);

  bool SortExposures();
  bool SkipExposure(int k);
  bool FindPoly(PHDSoln* s, int n, const PPatchSet* ps);
  bool FindExposures(PHDSoln* s, const PPatchSet* ps);
  bool FindSoln(PHDSoln* s, int n, const PPatchSet* ps);
  double CompErr(const PHDSoln* s, const PPatchSet* ps) const;
  float MaxExpAdj(int i, int j) const;

  int32_t solveFlags = 7;
  PHDProgressFunc reportProgress = nullptr;
  // Asked between the reports of whole steps, inside them (its `every`: how often at most).
  PHDPoll poll{&reportProgress};
  uint64_t patchSeed = 0x5eed2d7c0ffee123ULL;  // patch placement: merges are reproducible

  // Read access for callers and tests.
  const PHDSoln& Soln() const { return soln; }
  int HaveSoln() const { return haveSoln; }
  const PHDExposure& Exposure(int i) const { return ipi[i]; }
  PHDExposure& Exposure(int i) { return ipi[i]; }
  int Order(int k) const { return ord[k]; }
  int UStart() const { return ustart; }
  int UEnd() const { return uend; }

 private:
  bool Progress(const char* msg, int pct, const char* cancelMsg);
  // Sorted factors stonits x expadj of the usable range, for the fitting kernels.
  void SortedStoNits(float* sto) const;
  // Whether the merge keeps the exposures' pixels in memory once read, rather than giving each
  // up when it is done with it: the cache's memory budget holds the whole series, and room
  // (the memory the merge may take) holds those not yet read beside need (MergeBytes).
  bool KeepsExposures(uint64_t need, uint64_t room) const;

  PHDExposure ipi[PHD_MAXEXP];
  int32_t nipi = 0;
  int32_t ord[PHD_MAXEXP];
  int32_t iord[PHD_MAXEXP];
  int32_t ustart = -1, uend = -1;
  PHDSoln soln;
  int32_t haveSoln = 0;
  bool tooLarge = false;
};

// Fitting kernels over a patch set whose column e belongs to sorted position ustart + e; sto[k]
// is the nominal factor of sorted position k.
// A poll given is asked between the exposure pairs; a stop makes the fit false.
bool PHDfitPoly(PHDSoln* s, int n, const PPatchSet* ps, const float* sto, int ustart, int uend,
                PHDPoll* poll = nullptr);
bool PHDfitExposures(PHDSoln* s, const PPatchSet* ps, const float* sto, int ustart, int uend,
                     const float* maxadj);
double PHDfitError(const PHDSoln* s, const PPatchSet* ps, const float* sto, int ustart, int uend);

// The 256-entry response table of a polynomial: the polynomial where it is positive and rising
// from byte 255 down to 19, a line through the origin below. False (data message) when the
// polynomial is absent or not positive and rising at byte 255.
bool PHDresponseTable(const PPolynomial& p, float* resp, float* slope);

// Merge weights of one channel: wt[b] for b = 0..255, given the response and slope tables, the
// exposure's usable range lo..maxv, lim (where the next brighter exposure stops) and whether the
// exposure is the brightest or the darkest usable one.
struct PHDWeightArgs {
  const float* resp;
  const float* slope;
  float scale;  // this exposure's scale
  float lim;
  int minv, maxv;
  bool brightest, darkest;
};
void PHDweightTable(float* wt, const PHDWeightArgs& a);

// Agreement factor of a pixel's linear values L with the reference's R (movement removal);
// state 0 usable, 1 over-exposed, 2 under-exposed reference pixel; refY its luminance byte.
float PHDagreement(const float* L, const float* R, int state, int refY);

// Repairs isolated bad pixels of img marked by the variance image var; the number repaired,
// -1 on failure or when the poll given stopped it (img then partly repaired).
int cleanBadPixels(_ImgStruct* img, const _ImgStruct* var, PHDPoll* poll = nullptr);
// Fills the inner elements of a run of n pixels linearly between its ends.
void pLinterp(float* p, int n, int stride, int ncomp);

// The camera-response record schema: Make, Model, Version, Red, Green, Blue.
class CDBFieldInfo : public DBFieldInfo {
 public:
  CDBFieldInfo();
};
enum { CDBFmake = 0, CDBFmodel, CDBFversion, CDBFred, CDBFgreen, CDBFblue, CDBFend };
extern const CDBFieldInfo CDBFInfo;
