// Tone-mapping pixel inputs: the input colour space of a TMstruct and the converters of float
// colour, float grey and float luminance scanlines into brightness and chroma bytes.
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "support/cpufeat.h"
#include "tonemap/tmprivate.h"
#include "tonemap/tonemap.h"

// Entry i encodes the float whose bits are (i << 15) | (1 << 14), the middle of the floats
// that share their top 17 bits. Every 32-bit pattern indexes inside the table, NaNs of either
// sign included (they encode as no brightness).
static TMbright* floatBrightTab;

static void buildFloatBrightTab() {
  // Two spare entries: the vector kernel reads 4 bytes at a time.
  TMbright* t = (TMbright*)calloc(65536 + 2, sizeof(TMbright));
  if (t == nullptr) return;
  for (uint32_t i = 0; i < 65536; i++) {
    uint32_t bits = (i << 15) | (1u << 14);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    t[i] = tmCvLuminance(f);
  }
  floatBrightTab = t;
}

const TMbright* tmFloatBrightTable() {
  static std::once_flag once;
  std::call_once(once, buildFloatBrightTab);
  return floatBrightTab;
}

namespace {
struct GammaTab {
  double gamma;
  unsigned char tab[1024 + 4];  // spare bytes for 4-byte reads of the vector kernel
};
std::mutex gammaMutex;
std::vector<std::unique_ptr<GammaTab>> gammaTabs;
}  // namespace

const unsigned char* tmChromaGammaTable(double gam) {
  std::lock_guard<std::mutex> lock(gammaMutex);
  for (auto& g : gammaTabs)
    if (std::fabs(g->gamma - gam) <= 0.02) return g->tab;
  std::unique_ptr<GammaTab> g(new (std::nothrow) GammaTab());
  if (!g) return nullptr;
  g->gamma = gam;
  for (int i = 0; i < 1024; i++)
    g->tab[i] = (unsigned char)(int)(256.0 * std::pow((i + 0.5) / 1024.0, 1.0 / gam));
  gammaTabs.push_back(std::move(g));
  return gammaTabs.back()->tab;
}

static void setChromaDivisors(TMstruct* tms) {
  for (int i = 0; i < 3; i++)
    tms->cdiv[i] =
        tms->clf[i] <= 0.001f ? 1 : (int)(256.0 * std::pow((double)tms->clf[i], 1.0 / tms->mongam));
}

static bool nearPrims(RGBPRIMP a, RGBPRIMP b) {
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 2; j++)
      if (std::fabs(a[i][j] - b[i][j]) > 1e-5) return false;
  return true;
}

int tmSetSpaceInternal(TMstruct* tms, RGBPRIMP pri, double sf, void* dat, bool force) {
  static const char funcName[] = "tmSetSpace";
  if (tms == nullptr) return tmErrorReturn(funcName, nullptr, TMERR_INVALID);
  if (!(sf > 1e-12) || !std::isfinite(sf)) return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
  if (!force && pri == tms->inppri && std::fabs(sf - tms->inpsf) < 1e-5 && dat == tms->inpdat)
    return TMERR_NONE;
  // Build the new matrix first, so that primaries without a matrix change nothing.
  COLORMAT cmat;
  COLOR clf = {tms->clf[0], tms->clf[1], tms->clf[2]};
  RGBPRIMP monpri = tms->monpri;
  if (tms->flags & TMF_GREY) {
    monpri = pri;
    if (pri == nullptr) {
      clf[0] = 0.0f;
      clf[1] = 1.0f;
      clf[2] = 0.0f;
    } else {
      COLORMAT m;
      if (!comprgb2xyzmat(m, pri)) return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
      for (int i = 0; i < 3; i++) clf[i] = m[1][i];
    }
    for (int i = 0; i < 3; i++)
      for (int j = 0; j < 3; j++) cmat[i][j] = i == j ? 1.0f : 0.0f;
  } else if (pri == nullptr) {
    if (!compxyz2rgbWBmat(cmat, monpri)) return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
  } else {
    if (pri != monpri && nearPrims(pri, monpri)) pri = monpri;
    if (!comprgb2rgbWBmat(cmat, pri, monpri)) return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
  }
  tms->inpsf = sf;
  tms->inpdat = dat;
  tms->inppri = pri;
  tms->monpri = monpri;
  for (int i = 0; i < 3; i++) {
    tms->clf[i] = clf[i];
    for (int j = 0; j < 3; j++) tms->cmat[i][j] = (float)(cmat[i][j] * sf);
  }
  setChromaDivisors(tms);
  for (int i = tmPackageCount(); i-- > 0;)
    if (tms->pd[i] != nullptr && tmPkg[i]->NewSpace != nullptr) tmPkg[i]->NewSpace(tms);
  return TMERR_NONE;
}

int tmSetSpace(TMstruct* tms, RGBPRIMP pri, double sf, void* dat) {
  return tmSetSpaceInternal(tms, pri, sf, dat, false);
}

int tmCvLums(TMbright* ls, const float* scan, int len) {
  const TMbright* tab = tmFloatBrightTable();
  if (tab == nullptr) return TMERR_MEMORY;
  if (len < 1) return TMERR_NONE;
  if (ls == nullptr || scan == nullptr) return TMERR_ARGUMENT;
  for (int i = 0; i < len; i++)
    ls[i] = scan[i] <= 1e-17f ? (TMbright)TM_NOBRT : tab[tmFloatIndex(scan[i])];
  return TMERR_NONE;
}

int tmCvGrays(TMstruct* tms, TMbright* ls, const float* scan, int len) {
  static const char funcName[] = "tmCvGrays";
  if (tms == nullptr) return tmErrorReturn(funcName, nullptr, TMERR_INVALID);
  if (ls == nullptr || scan == nullptr || len < 0)
    return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
  const TMbright* tab = tmFloatBrightTable();
  if (tab == nullptr) return tmErrorReturn(funcName, tms, TMERR_MEMORY);
  const float sf = (float)tms->inpsf;
  for (int i = 0; i < len; i++) {
    float f = scan[i] * sf;
    ls[i] = f <= 1e-17f ? (TMbright)TM_NOBRT : tab[tmFloatIndex(f)];
  }
  return TMERR_NONE;
}

static inline float sanitize(float v) {
  return (v >= 0.0f && v <= 3.4e38f) ? v : 0.0f;
}

int tmCvColorsInternal(TMstruct* tms, TMbright* ls, unsigned char* cs, const COLOR* scan, int len) {
  const TMbright* tab = tmFloatBrightTable();
  if (tab == nullptr) return TMERR_MEMORY;
  const unsigned char* gamb = nullptr;
  if (cs != nullptr) {
    gamb = tmChromaGammaTable(tms->mongam);
    if (gamb == nullptr) return TMERR_MEMORY;
  }
  const bool direct = tms->monpri == tms->inppri;
  const float sf = (float)tms->inpsf;
  const float c0 = tms->clf[0], c1 = tms->clf[1], c2 = tms->clf[2];
  const int flags = tms->flags;
  int i = 0;
  if (tmUseVectorKernels && !(flags & (TMF_MESOPIC | TMF_GREY)) && cpuHasAVX2())
    i = tmCvColorsAVX2(tms, tab, gamb, ls, cs, scan, len);
  const auto& m = tms->cmat;
  for (; i < len; i++) {
    float rgb[3];
    const float* in = scan[i];
    if (direct) {
      rgb[0] = in[0] * sf;
      rgb[1] = in[1] * sf;
      rgb[2] = in[2] * sf;
    } else {
      for (int c = 0; c < 3; c++) rgb[c] = m[c][0] * in[0] + m[c][1] * in[1] + m[c][2] * in[2];
    }
    rgb[0] = sanitize(rgb[0]);
    rgb[1] = sanitize(rgb[1]);
    rgb[2] = sanitize(rgb[2]);
    float lum = c0 * rgb[0] + c1 * rgb[1] + c2 * rgb[2];
    if (lum > 1e-17f && lum <= 3.4e38f) {
      ls[i] = tab[tmFloatIndex(lum)];
    } else {
      ls[i] = TM_NOBRT;
      lum = rgb[0] = rgb[1] = rgb[2] = 1e-17f;
    }
    if (cs == nullptr) continue;
    if ((flags & TMF_MESOPIC) && lum < 5.62f) {
      float s = 0.062f * rgb[0] + 0.608f * rgb[1] + 0.33f * rgb[2];
      if (lum < 0.00562f) {
        rgb[0] = rgb[1] = rgb[2] = s;
      } else {
        float f = (lum - 0.00562f) / 5.61438f;
        if (flags & TMF_GREY)
          rgb[0] = rgb[1] = rgb[2] = f * lum;
        else {
          rgb[0] *= f;
          rgb[1] *= f;
          rgb[2] *= f;
        }
        float add = s * (1.0f - f);
        rgb[0] += add;
        rgb[1] += add;
        rgb[2] += add;
      }
    } else if (flags & TMF_GREY) {
      rgb[0] = rgb[1] = rgb[2] = lum;
    }
    const float clf[3] = {c0, c1, c2};
    for (int c = 0; c < 3; c++) {
      float q = clf[c] * rgb[c] / lum;
      cs[3 * i + c] = q >= 0.999f ? 255 : (q > 0.0f ? gamb[(int)(q * 1024.0f)] : gamb[0]);
    }
  }
  return TMERR_NONE;
}

int tmCvColors(TMstruct* tms, TMbright* ls, unsigned char* cs, const COLOR* scan, int len) {
  static const char funcName[] = "tmCvColors";
  if (tms == nullptr) return tmErrorReturn(funcName, nullptr, TMERR_INVALID);
  if (ls == nullptr || scan == nullptr || len < 0)
    return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
  int err = tmCvColorsInternal(tms, ls, cs, scan, len);
  return err ? tmErrorReturn(funcName, tms, err) : TMERR_NONE;
}
