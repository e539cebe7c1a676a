// Exposure of display frames: the automatic adjustment of 8-bit frames towards the record's
// spot rectangles, spot weighting in the brightness histogram of HDR frames, channel
// histograms and average luminance (spot metering).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "display/pdispimg.h"
#include "display/pdisppriv.h"
#include "support/dmessage.h"
#include "support/pwork.h"

namespace {

constexpr int kMaxSpotValues = 32;
constexpr int kNoBright = -6400;

// The spot values of a record: their count (at most 32), 0 when none; -1 after a warning
// for a count that is not a multiple of four.
int SpotValues(const DBRecord& rec, long* v) {
  const DBField& f = PDBgetField(rec, PDBFspotexp);
  if (!f.IsSet() || f.GetDT() != DBDTint) return 0;
  const int n = std::min(static_cast<int>(f.GetNV()), kMaxSpotValues);
  if (n % 4 != 0) {
    DMESSAGE(DMCwarning, "Bad spot exposure parameter count");
    return -1;
  }
  for (int i = 0; i < n; ++i) v[i] = f.GetInt(i);
  return n;
}

// Display luminance (0..1) of an 8-bit pixel, after the inverse exposure curve when given.
inline double PixelLum(int r, int g, int b, const uint8_t* inv) {
  if (inv != nullptr) {
    r = inv[r];
    g = inv[g];
    b = inv[b];
  }
  return (54.0 * r * r + 183.0 * g * g + 18.0 * b * b) / (255.0 * 255.0 * 255.0);
}

// Histogram of display pixels (8-bit RGB or grey).
bool DisplayHistogram(double* lim, unsigned int* hist, int nbins, PHistoChan chan,
                      const _ImgStruct& im, const uint8_t* inv, double sf) {
  const int ps = PpixelSize(im.csp);
  if (im.img == nullptr || (ps != 1 && ps != 3) || im.csp->dtype != IDTubyte) return false;
  const double lumScale = nbins - 0.001;
  const float byteScale = static_cast<float>((nbins - 0.001) / 255.0);
  auto binOf = [nbins](int b) { return b < 0 ? 0 : (b >= nbins ? nbins - 1 : b); };
  if (chan == PHCluminance) {
    lim[1] = sf > 1e-16 ? sf : 1.0;
  } else if (chan <= PHCblue) {
    lim[1] = 255;
  } else {
    return true;
  }
  const int channel = chan == PHCgreen ? 1 : (chan == PHCblue ? 2 : 0);
  for (int y = 0; y < im.yres; ++y) {
    const uint8_t* p = im.img + static_cast<ptrdiff_t>(y) * im.rowsize;
    for (int x = 0; x < im.xres; ++x, p += ps) {
      const int r = p[0], g = ps == 3 ? p[1] : p[0], b = ps == 3 ? p[2] : p[0];
      switch (chan) {
        case PHCluminance:
          ++hist[binOf(static_cast<int>(lumScale * PixelLum(r, g, b, inv)))];
          break;
        case PHCrgb:
          for (int c = 0; c < ps; ++c) ++hist[binOf(static_cast<int>(byteScale * p[c]))];
          break;
        default:
          ++hist[binOf(static_cast<int>(byteScale * (ps == 3 ? p[channel] : p[0])))];
          break;
      }
    }
  }
  return true;
}

bool InsideView(const _ImgRect* r, const PDisplayImage* di) {
  return r->xleft < r->xright && r->ytop < r->ybottom && r->xleft >= 0 && r->ytop >= 0 &&
         r->xright <= di->ior.xres && r->ybottom <= di->ior.yres;
}

}  // namespace

bool PDisplayList::LocalRect(_ImgRect* r, const long* v) const {
  if (r == nullptr || v == nullptr || parent == nullptr) return false;
  auto clampInt = [](long x) {
    return static_cast<int>(std::max<long>(-0x40000000L, std::min<long>(0x40000000L, x)));
  };
  *r = _ImgRect{clampInt(v[0]), clampInt(v[2]), clampInt(v[1]), clampInt(v[3])};
  const _ImgStruct& plane = tms != nullptr ? l_img : c_img;
  _ImgRect cr;
  const bool cropped = parent->CropRect(&cr);
  // An 8-bit plane is held in view pixels, so a cropped one has the crop's corrected size and
  // starts at the crop's corrected origin.
  // A reduced plane holds the crop's pixels reduced, the edges moved outward.
  _ImgRect pcr = cr;
  if (tms == nullptr) {
    CorrectAspect(&pcr.xleft, &pcr.ytop);
    CorrectAspect(&pcr.xright, &pcr.ybottom);
  }
  if (shrink > 1) {
    int fw = oxres, fh = oyres;
    if (tms == nullptr) CorrectAspect(&fw, &fh);
    const _ImgRect all = {0, std::max(fw / shrink, 1), 0, std::max(fh / shrink, 1)};
    pcr = DispShrinkRect(pcr, shrink);
    PclipRect(&pcr, &all);
  }
  const bool planeIsCrop =
      cropped && plane.xres == pcr.xright - pcr.xleft && plane.yres == pcr.ybottom - pcr.ytop;
  if (planeIsCrop && !PclipRect(r, &cr)) return false;
  if (tms == nullptr) {
    CorrectAspect(&r->xleft, &r->ytop);
    CorrectAspect(&r->xright, &r->ybottom);
  }
  *r = DispShrinkRect(*r, shrink);
  if (planeIsCrop) {
    r->xleft -= pcr.xleft;
    r->xright -= pcr.xleft;
    r->ytop -= pcr.ytop;
    r->ybottom -= pcr.ytop;
  }
  return r->xleft < r->xright && r->ytop < r->ybottom && r->xleft >= 0 && r->ytop >= 0 &&
         r->xright <= plane.xres && r->ybottom <= plane.yres;
}

void PDisplayList::AdjustExposure() {
  if (tms != nullptr || c_img.img == nullptr || parent == nullptr ||
      !PmatchColorSpace(c_img.csp, &ICS_sRGB, 3))
    return;
  long v[kMaxSpotValues];
  const int nv = SpotValues(parent->ircd, v);
  if (nv <= 0) return;
  const int w = c_img.xres, h = c_img.yres;
  uint64_t hist[256] = {};
  for (int y = 0; y < h; ++y) {
    const uint8_t* p = c_img.img + static_cast<ptrdiff_t>(y) * c_img.rowsize;
    for (int i = 0; i < 3 * w; ++i) ++hist[p[i]];
  }
  uint64_t sum = 0, area = 0;
  for (int k = 0; k < nv; k += 4) {
    _ImgRect r;
    if (!LocalRect(&r, v + k)) continue;
    for (int y = r.ytop; y < r.ybottom; ++y) {
      const uint8_t* p = c_img.img + static_cast<ptrdiff_t>(y) * c_img.rowsize + 3 * r.xleft;
      for (int x = r.xleft; x < r.xright; ++x, p += 3) {
        hist[p[0]] += 50;
        hist[p[1]] += 50;
        hist[p[2]] += 50;
        sum += static_cast<uint64_t>(54 * p[0] + 183 * p[1] + 18 * p[2]) >> 8;
      }
    }
    area += static_cast<uint64_t>(r.xright - r.xleft) * static_cast<uint64_t>(r.ybottom - r.ytop);
  }
  if (area == 0) return;
  const uint64_t level = static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * 3 / 100;
  int top = -1;
  uint64_t run = 0;
  for (int i = 255; i >= 0; --i) {
    run += hist[i];
    if (run >= level) {
      top = i;
      break;
    }
  }
  const int avg = static_cast<int>(sum / area);
  if (avg < 16 || avg > 234) return;
  if (top <= avg) top = avg + 1;
  const int target = std::max(118 - ((118 - avg) * 5) / 12, (avg * 255) / top);
  const double top2 = static_cast<double>(top) * top;
  const double a = (static_cast<double>(target) / avg - 255.0 * avg / top2) / (255 - target);
  uint8_t curve[256];
  for (int i = 0; i < 256; ++i) {
    if (i >= top) {
      curve[i] = 255;
      continue;
    }
    const double t = 255.0 * (a * i + i * static_cast<double>(i) / top2) / (1.0 + a * i) + 0.5;
    curve[i] = static_cast<uint8_t>(t < 0 ? 0 : (t > 255 ? 255 : static_cast<int>(t)));
  }
  for (int y = 0; y < h; ++y) {
    uint8_t* p = c_img.img + static_cast<ptrdiff_t>(y) * c_img.rowsize;
    for (int i = 0; i < 3 * w; ++i) p[i] = curve[p[i]];
  }
  if (invMap == nullptr) invMap = static_cast<uint8_t*>(std::malloc(256));
  if (invMap == nullptr) return;
  std::memset(invMap, 0, 256);
  for (int i = 0; i < 256; ++i) invMap[curve[i]] = static_cast<uint8_t>(i);
  for (int i = 1; i < 256; ++i)
    if (invMap[i] == 0) invMap[i] = invMap[i - 1];
}

bool PDisplayList::RedoHisto(const _ImgRect* r) {
  if (tms == nullptr || l_img.img == nullptr || parent == nullptr) return false;
  const _ImgRect whole = {0, l_img.xres, 0, l_img.yres};
  _ImgRect rr = r != nullptr ? *r : whole;
  if (!PclipRect(&rr, &whole)) return false;
  tmClearHisto(tms);
  auto addRows = [this](const _ImgRect& a, int weight) {
    const int w = a.xright - a.xleft;
    // A large frame's histogram gives the program a slice every few million pixels; it is
    // quickly done, so a stop asked meanwhile is left to the work around it.
    const int sliceRows = std::max(1, (4 << 20) / std::max(w, 1));
    for (int y = a.ytop; y < a.ybottom; ++y) {
      const TMbright* ls =
          reinterpret_cast<const TMbright*>(l_img.img + static_cast<ptrdiff_t>(y) * l_img.rowsize) +
          a.xleft;
      if (tmAddHisto(tms, ls, w, weight) != TMERR_NONE) return false;
      if ((y - a.ytop) % sliceRows == sliceRows - 1)
        PworkSlice(static_cast<double>(y - a.ytop) / (a.ybottom - a.ytop));
    }
    return true;
  };
  if (!addRows(rr, 1)) return false;
  long v[kMaxSpotValues];
  const int nv = SpotValues(parent->ircd, v);
  if (nv <= 0) return true;
  _ImgRect spots[kMaxSpotValues / 4];
  int ns = 0;
  uint64_t s = 0;
  for (int k = 0; k < nv; k += 4) {
    _ImgRect sr;
    if (!LocalRect(&sr, v + k) || !PclipRect(&sr, &rr)) continue;
    spots[ns++] = sr;
    s += static_cast<uint64_t>(sr.xright - sr.xleft) * static_cast<uint64_t>(sr.ybottom - sr.ytop);
  }
  if (s == 0) return true;
  const uint64_t area =
      static_cast<uint64_t>(rr.xright - rr.xleft) * static_cast<uint64_t>(rr.ybottom - rr.ytop);
  const int weight = static_cast<int>(std::min<uint64_t>(area / s, 200));
  if (weight < 1) return true;
  for (int k = 0; k < ns; ++k)
    if (!addRows(spots[k], weight)) return false;
  return true;
}

bool PDisplayList::GetHistogram(double* lim, unsigned int* hist, int nbins, PHistoChan chan,
                                const _ImgRect* r) {
  if (lim == nullptr || hist == nullptr || nbins < 2) return false;
  lim[0] = lim[1] = 0.0;
  std::memset(hist, 0, sizeof(unsigned int) * static_cast<size_t>(nbins));
  if (parent == nullptr || !GetPointers()) return false;
  bool ok = false;
  const double sf = PrecordStoNits(parent->ircd);
  if (tms != nullptr && chan == PHCluminance) {
    _ImgRect fr = {0, l_img.xres, 0, l_img.yres};
    if (r == nullptr || ViewToFrame(&fr, r)) {
      // One pass counts every brightness value; the limits and the bins follow from the
      // counts. Brightness kNoBright (no light) counts toward the upper limit only.
      std::vector<unsigned int> raw(65536, 0u);
      for (int y = fr.ytop; y < fr.ybottom; ++y) {
        const TMbright* ls = reinterpret_cast<const TMbright*>(
            l_img.img + static_cast<ptrdiff_t>(y) * l_img.rowsize);
        for (int x = fr.xleft; x < fr.xright; ++x) ++raw[static_cast<uint16_t>(ls[x]) ^ 0x8000u];
      }
      auto valueOf = [](int i) { return i - 32768; };
      int mn = 16000, mx = kNoBright;
      for (int i = 0; i < 65536; ++i)
        if (raw[i] != 0) {
          const int b = valueOf(i);
          if (b > kNoBright && b < mn) mn = b;
          if (b > mx) mx = b;
        }
      if (mn < mx) {
        const double scale = StoNitsScale();
        lim[0] = std::exp(mn / 128.0) * scale;
        lim[1] = std::exp(mx / 128.0) * scale;
        const float bs = static_cast<float>((nbins - 0.001) / (mx - mn));
        for (int b = mn; b <= mx; ++b) {
          const unsigned int n = raw[static_cast<uint16_t>(b) ^ 0x8000u];
          if (n == 0) continue;
          const int bin = static_cast<int>(bs * static_cast<float>(b - mn));
          hist[bin < nbins ? bin : nbins - 1] += n;
        }
        ok = true;
      }
    }
  } else if (tms != nullptr) {
    const _ImgRect whole = {0, parent->ior.xres, 0, parent->ior.yres};
    const _ImgRect& vr = r != nullptr ? *r : whole;
    _ImgStruct tmp = {};
    tmp.xres = vr.xright - vr.xleft;
    tmp.yres = vr.ybottom - vr.ytop;
    tmp.csp = &parent->cs;
    if (tmp.xres > 0 && tmp.yres > 0 && MapSubimage(&tmp, &vr, nullptr))
      ok = DisplayHistogram(lim, hist, nbins, chan, tmp, nullptr, sf);
    PfreeImage(&tmp);
  } else if (c_img.img != nullptr) {
    _ImgRect vr = {0, c_img.xres, 0, c_img.yres};
    if (r == nullptr || ViewToPlane(&vr, r))
      ok = DisplayHistogram(lim, hist, nbins, chan, DispView(c_img, vr), invMap, sf);
  }
  ReleasePointers();
  return ok;
}

double PDisplayList::AvgLuminance(const _ImgRect* r) {
  if (r == nullptr || parent == nullptr || !GetPointers()) return 0.0;
  double res = 0.0;
  if (tms != nullptr) {
    _ImgRect fr;
    if (InsideView(r, parent) && ViewToFrame(&fr, r)) {
      // exp(b / 128) of every brightness b, indexed by b + 32768: one lookup a pixel.
      static const std::vector<double> kLum = [] {
        std::vector<double> t(65536);
        for (int i = 0; i < 65536; ++i) t[static_cast<size_t>(i)] = std::exp((i - 32768) / 128.0);
        return t;
      }();
      const double* lum = kLum.data() + 32768;
      double sum = 0.0;
      for (int y = fr.ytop; y < fr.ybottom; ++y) {
        const TMbright* ls = reinterpret_cast<const TMbright*>(
            l_img.img + static_cast<ptrdiff_t>(y) * l_img.rowsize);
        for (int x = fr.xleft; x < fr.xright; ++x) sum += lum[ls[x]];
      }
      const double n = static_cast<double>(fr.xright - fr.xleft) * (fr.ybottom - fr.ytop);
      res = sum / n * StoNitsScale();
    }
  } else if (c_img.img != nullptr) {
    _ImgRect vr;
    if (ViewToPlane(&vr, r) && PmatchColorSpace(c_img.csp, &ICS_sRGB, 3)) {
      const _ImgStruct s = DispView(c_img, vr);
      double sum = 0.0;
      for (int y = 0; y < s.yres; ++y) {
        const uint8_t* p = s.img + static_cast<ptrdiff_t>(y) * s.rowsize;
        for (int x = 0; x < s.xres; ++x, p += 3) sum += PixelLum(p[0], p[1], p[2], invMap);
      }
      const double sf = PrecordStoNits(parent->ircd);
      res = sum / (static_cast<double>(s.xres) * s.yres) * (sf > 0 ? sf : 1.0);
    }
  }
  ReleasePointers();
  return res;
}

void PImageRing::SetExposure(double m) {
  const bool fixed = (expMode & (PEMauto | PEMlocal)) == 0;
  if (fixed && m >= 0.95 * expMult && m <= 1.05 * expMult) return;
  expMode &= ~(PEMauto | PEMlocal);
  expMult = m;
  fcManual = -1;
  changed = true;
}

int PImageRing::GetExposure(double* m) const {
  if (m != nullptr) *m = expMult;
  return expMode;
}
