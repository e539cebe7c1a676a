// One exposure of a series: loading its image on demand and its usability statistics.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "catalog/picache.h"
#include "hdr/phdrimg.h"
#include "support/dmessage.h"
#include "support/pwork.h"

namespace {

// While an exposure's image is read, its maker's poll hears every slice of the read, so that a
// large picture keeps the windows alive as it loads and a Stop ends the read; the slice hook
// found installed hears them too.
PHDPoll* readPoll = nullptr;
PSliceHook outerHook = nullptr;

bool ReadSlice(double done) {
  const bool outer = outerHook == nullptr || outerHook(done);
  return outer && (readPoll == nullptr || readPoll->Go());
}

class PolledRead {
 public:
  explicit PolledRead(PHDPoll* poll) : mine_(poll != nullptr && readPoll == nullptr) {
    if (!mine_) return;
    readPoll = poll;
    outerHook = PsetSliceHook(ReadSlice);
  }
  ~PolledRead() {
    if (!mine_) return;
    PsetSliceHook(outerHook);
    readPoll = nullptr;
    outerHook = nullptr;
  }
  PolledRead(const PolledRead&) = delete;
  PolledRead& operator=(const PolledRead&) = delete;

 private:
  bool mine_;
};

}  // namespace

PHDExposure::PHDExposure() : pci(new PCacheImage()), imr() {
  for (int c = 0; c < 3; c++) {
    minv[c] = maxv[c] = -1;
    pct17[c] = median[c] = pct83[c] = 0;
  }
}

PHDExposure::~PHDExposure() {
  PfreeImage(&imr);
  delete pci;
}

const DBRecord* PHDExposure::Record() const {
  return &pci->GetRecord();
}

void PHDExposure::Done() {
  PfreeImage(&imr);
  refCount = 0;
  pci->CloseImage();
  usepix.NewBitMap(0, 0);
  xoff = yoff = 0;
  degCW = 0;
  unreadable = false;
  for (int c = 0; c < 3; c++) minv[c] = maxv[c] = -1;
}

bool PHDExposure::GetReady() {
  if (refCount > 0) {
    refCount++;
    return true;
  }
  _ImgReader* ir = pci->GetReader();
  if (ir == nullptr) {
    unreadable = true;
    return false;
  }
  PfreeImage(&imr);
  imr.xres = ir->xres;
  imr.yres = ir->yres;
  imr.csp = &ir->cs;
  bool ok;
  {
    PolledRead polled(poll);
    ok = pci->GetSubimage(&imr, nullptr);
  }
  if (!ok) {
    PfreeImage(&imr);
    // A read the user stopped says nothing of the file.
    unreadable = poll == nullptr || !poll->Stopped();
    return false;
  }
  unreadable = false;
  refCount = 1;
  return true;
}

void PHDExposure::Release() {
  if (refCount <= 0) return;
  if (--refCount == 0) PfreeImage(&imr);
}

void PHDExposure::Drop() {
  if (refCount > 0 || !pci->IsResident() || pci->InUse()) return;
  pci->FreeMemory();
  if (!pci->IsResident()) CacheObject::tab.ForgetResident(pci);
}

void PHDExposure::TellUnreadable(unsigned cls, const char* what) const {
  const _ImgReader* ir = pci->GetReader();
  if (ir == nullptr) {
    dmessage(cls, what, __FILE__, __LINE__);
    return;
  }
  // The reader's texts may come from a file: bounded rather than trusted to end.
  const std::string file(ir->file, strnlen(ir->file, sizeof ir->file));
  std::string why(ir->errMsg, strnlen(ir->errMsg, sizeof ir->errMsg));
  if (why.empty()) {
    const int code = ir->errCode > IREnone && ir->errCode < IRE_NCODES ? ir->errCode : IREunknown;
    why = IREMsg[code];
  }
  DMESSAGE_ERRNO(cls, DMnoSystemError, "%s '%s': %s", what, file.c_str(), why.c_str());
}

namespace {

// Rows of a picture between two Stop checks: a few milliseconds on the widest pictures.
constexpr int kPollRows = 64;

}  // namespace

bool PHDExposure::ComputeStats(const _ImgStruct* im) {
  // Two tables per channel taken in turn, so that runs of equal values do not wait on one
  // counter; summed afterwards.
  std::vector<uint32_t> h2(2 * 3 * 256, 0);
  const int w = im->xres, h = im->yres;
  for (int y = 0; y < h; y++) {
    if (y % kPollRows == 0 && poll != nullptr && !poll->Go()) return false;
    const uint8_t* p = im->img + static_cast<ptrdiff_t>(y) * im->rowsize;
    int x = 0;
    for (; x + 1 < w; x += 2, p += 6) {
      h2[p[0]]++;
      h2[256 + p[1]]++;
      h2[512 + p[2]]++;
      h2[768 + p[3]]++;
      h2[1024 + p[4]]++;
      h2[1280 + p[5]]++;
    }
    if (x < w) {
      h2[p[0]]++;
      h2[256 + p[1]]++;
      h2[512 + p[2]]++;
    }
  }
  long hist[3][256];
  for (int c = 0; c < 3; c++)
    for (int v = 0; v < 256; v++) hist[c][v] = long{h2[256 * c + v]} + h2[768 + 256 * c + v];
  const long N = static_cast<long>(w) * h;
  const long T0 = static_cast<long>(0.002 * N + 0.5), E0 = static_cast<long>(0.00002 * N + 1);
  const long H = N / 2, S = N / 6;
  for (int c = 0; c < 3; c++) {
    const long* hc = hist[c];
    int lo = 0;
    if (T0 > 0) {
      long t = T0;
      while (t > 0 && lo < 25) t -= hc[lo++];
    }
    minv[c] = lo + 2;
    long e = E0;
    int i = 0;
    for (e -= hc[0]; e > 0 && i < 255;) e -= hc[++i];
    if (i > minv[c]) minv[c] = i;
    int hi = 255;
    if (T0 > 0) {
      long t = T0;
      int m = 256, walked = 0;
      while (t > 0 && walked < 23) {
        t -= hc[--m];
        walked++;
      }
      hi = m - 1;
    }
    maxv[c] = hi - 4;
    e = E0;
    i = 255;
    for (e -= hc[255]; e > 0 && i > 0;) e -= hc[--i];
    if (i < maxv[c]) maxv[c] = i;
    median[c] = 256;
    if (H > 0) {
      long s = H;
      i = 255;
      for (s -= hc[255]; s > 0 && i > 0;) s -= hc[--i];
      median[c] = i;
    }
    pct17[c] = 0;
    pct83[c] = 256;
    if (S > 0) {
      long s = S;
      i = 0;
      for (s -= hc[0]; s > 0 && i < 255;) s -= hc[++i];
      pct17[c] = i + 1;
      s = S;
      i = 255;
      for (s -= hc[255]; s > 0 && i > 0;) s -= hc[--i];
      pct83[c] = i;
    }
  }
  // usepix a word at a time: a pixel is usable when every channel lies in minv..maxv.
  uint8_t ok[3][256];
  for (int c = 0; c < 3; c++)
    for (int v = 0; v < 256; v++) ok[c][v] = v >= minv[c] && v <= maxv[c];
  usepix.NewBitMap(w, h, false);
  for (int y = 0; y < h; y++) {
    if (y % kPollRows == 0 && poll != nullptr && !poll->Go()) {
      for (int c = 0; c < 3; c++) minv[c] = maxv[c] = -1;  // no statistics
      usepix.NewBitMap(0, 0);
      return false;
    }
    const uint8_t* p = im->img + static_cast<ptrdiff_t>(y) * im->rowsize;
    uint32_t i = static_cast<uint32_t>(y) * w;
    const uint32_t end = i + w;
    while (i < end) {
      // Bits up to the next word boundary or the row's end.
      const uint32_t n = std::min<uint32_t>(32 - (i & 31), end - i);
      uint32_t bits = 0;
      for (uint32_t k = 0; k < n; k++, p += 3)
        bits |= uint32_t(ok[0][p[0]] & ok[1][p[1]] & ok[2][p[2]]) << k;
      usepix.Word(i) |= bits << (i & 31);
      i += n;
    }
  }
  return true;
}

bool PHDExposure::ComputeUsability() {
  if (HaveStats()) return true;
  if (poll != nullptr && !poll->Go()) return false;
  _ImgReader* ir = pci->GetReader();
  if (ir == nullptr || !PmatchColorSpace(&ir->cs, &ICS_sRGB, 3)) {
    dmessage(DMCparameter, "HDR image exposures must be 24-bit RGB", __FILE__, __LINE__);
    return false;
  }
  if (!GetReady()) {
    if (unreadable) TellUnreadable(DMCresource, "Cannot load input exposure");
    return false;
  }
  const bool done = ComputeStats(&imr);
  Release();
  return done;
}
