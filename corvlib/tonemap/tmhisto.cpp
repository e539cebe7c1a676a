// The brightness histogram and the brightness-to-display table: histogram adjustment with
// optional human contrast sensitivity, the linear (fixed exposure) mapping, and the mapping
// of encoded pixels to display bytes.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "support/cpufeat.h"
#include "tonemap/tmprivate.h"
#include "tonemap/tonemap.h"

bool tmUseVectorKernels = true;

void tmClearHisto(TMstruct* tms) {
  if (tms == nullptr) return;
  free(tms->histo);
  tms->histo = nullptr;
}

// Adds w to a count, keeping it within 0..INT_MAX.
static inline void addCount(int* h, int64_t w) {
  int64_t v = (int64_t)*h + w;
  *h = v > INT_MAX ? INT_MAX : (v < 0 ? 0 : (int)v);
}

int tmAddHisto(TMstruct* tms, const TMbright* ls, int len, int wt) {
  static const char funcName[] = "tmAddHisto";
  if (tms == nullptr) return tmErrorReturn(funcName, nullptr, TMERR_INVALID);
  if (len < 0 || (len > 0 && ls == nullptr)) return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
  if (len == 0) return TMERR_NONE;
  int oldbin0, oldlen;
  int brmin, brmax;
  if (tms->histo == nullptr) {
    int i = len;
    while (i-- > 0)
      if (ls[i] >= TM_MINHISTBRT) break;
    if (i < 0) return TMERR_NONE;
    brmin = brmax = ls[i];
    oldbin0 = 0;
    oldlen = 0;
  } else {
    brmin = tms->hbrmin;
    brmax = tms->hbrmax;
    oldbin0 = tmHistBin(brmin);
    oldlen = tmHistBin(brmax) - oldbin0 + 1;
  }
  // Values below the countable range never raise the maximum (it is already countable), so
  // only the minimum needs the test; written without branches.
  for (int i = 0; i < len; i++) {
    int b = ls[i];
    int bm = b < TM_MINHISTBRT ? 32767 : b;
    brmin = bm < brmin ? bm : brmin;
    brmax = b > brmax ? b : brmax;
  }
  int bin0 = tmHistBin(brmin);
  int nbins = tmHistBin(brmax) - bin0 + 1;
  if (nbins > oldlen) {
    int* h = (int*)calloc((size_t)nbins, sizeof(int));
    // On failure the old counts stay with their old range.
    if (h == nullptr) return tmErrorReturn(funcName, tms, TMERR_MEMORY);
    if (oldlen > 0) memcpy(h + (oldbin0 - bin0), tms->histo, (size_t)oldlen * sizeof(int));
    free(tms->histo);
    tms->histo = h;
  }
  tms->hbrmin = (TMbright)brmin;
  tms->hbrmax = (TMbright)brmax;
  if (wt == 0) return TMERR_NONE;
  int* h = tms->histo;
  // Bin of a countable brightness relative to the first bin.
  auto rel = [bin0](int b) { return ((b - TM_MINHISTBRT) >> 3) - bin0; };
  int64_t total = 0;
  for (int k = 0; k < nbins; k++) total += h[k];
  if (wt == 1 && total + len <= INT_MAX) {
    // No count can overflow. Four interleaved partial histograms break the chain of
    // increments to the same bin that neighbouring pixels cause.
    int* part = len >= 4096 ? (int*)calloc((size_t)nbins * 3, sizeof(int)) : nullptr;
    if (part != nullptr) {
      int *p1 = part, *p2 = part + nbins, *p3 = part + 2 * nbins;
      int i = 0;
      for (; i + 4 <= len; i += 4) {
        int b0 = ls[i], b1 = ls[i + 1], b2 = ls[i + 2], b3 = ls[i + 3];
        if (b0 >= TM_MINHISTBRT) h[rel(b0)]++;
        if (b1 >= TM_MINHISTBRT) p1[rel(b1)]++;
        if (b2 >= TM_MINHISTBRT) p2[rel(b2)]++;
        if (b3 >= TM_MINHISTBRT) p3[rel(b3)]++;
      }
      for (; i < len; i++)
        if (ls[i] >= TM_MINHISTBRT) h[rel(ls[i])]++;
      for (int k = 0; k < nbins; k++) h[k] += p1[k] + p2[k] + p3[k];
      free(part);
    } else {
      for (int i = 0; i < len; i++)
        if (ls[i] >= TM_MINHISTBRT) h[rel(ls[i])]++;
    }
  } else {
    for (int i = len; i-- > 0;) {
      int b = ls[i];
      if (b >= TM_MINHISTBRT) addCount(h + rel(b), wt);
    }
  }
  return TMERR_NONE;
}

int tmNewMap(TMstruct* tms) {
  if (tms->lumap != nullptr && tms->mbrmax - tms->mbrmin != tms->hbrmax - tms->hbrmin) {
    free(tms->lumap);
    tms->lumap = nullptr;
  }
  tms->mbrmin = tms->hbrmin;
  tms->mbrmax = tms->hbrmax;
  if (tms->mbrmax < tms->mbrmin) return 0;
  // Two spare entries: the vector kernel reads 4 bytes at a time.
  if (tms->lumap == nullptr)
    tms->lumap =
        (unsigned short*)calloc((size_t)(tms->mbrmax - tms->mbrmin + 3), sizeof(unsigned short));
  return tms->lumap != nullptr;
}

int tmFixedMapping(TMstruct* tms, double expmult, double gamval) {
  static const char funcName[] = "tmFixedMapping";
  if (tms == nullptr) return tmErrorReturn(funcName, nullptr, TMERR_INVALID);
  if (!tmNewMap(tms)) return tmErrorReturn(funcName, tms, TMERR_MEMORY);
  if (gamval < 0.75) gamval = tms->mongam;
  if (!(expmult > 0) || !std::isfinite(expmult)) expmult = 1.0;
  double d = std::log(expmult / tms->inpsf);
  for (int b = tms->mbrmin; b <= tms->mbrmax; b++) {
    double v = 256.0 * std::exp((b / 128.0 + d) / gamval);
    tms->lumap[b - tms->mbrmin] = v >= 65535.0 ? 65535 : (unsigned short)(int)v;
  }
  return TMERR_NONE;
}

// Ceiling of a bin count computed in double, kept within int64.
static inline int64_t ceilingCount(double c) {
  if (!(c < 9.0e18)) return INT64_MAX;
  return c < 0 ? 0 : (int64_t)c;
}

int tmComputeMapping(TMstruct* tms, double gamval, double Lddyn, double Ldmax) {
  static const char funcName[] = "tmComputeMapping";
  if (tms == nullptr || tms->histo == nullptr) return tmErrorReturn(funcName, tms, TMERR_INVALID);
  if (!(Lddyn >= 2)) Lddyn = 32;
  if (!(Ldmax >= 1)) Ldmax = 100;
  if (!(gamval >= 0.75)) gamval = tms->mongam;
  const double Ldmin = Ldmax / Lddyn;
  const double logLddyn = std::log(Lddyn);
  const double Ldavg = std::sqrt(Ldmax * Ldmin);
  const int bin0 = tmHistBin(tms->hbrmin);
  const int nbins = tmHistBins(tms);
  int64_t histot = 0;
  int64_t brtsum = 0;
  for (int k = 0; k < nbins; k++) {
    histot += tms->histo[k];
    brtsum += (int64_t)tmBinBright(bin0 + k) * tms->histo[k];
  }
  const int64_t threshold = (int64_t)((double)histot * 0.005 + 0.5);
  if (histot == 0) return tmErrorReturn(funcName, tms, TMERR_NOMAP);
  const double Lwavg = std::exp(((double)brtsum / (double)histot) / 128.0);
  bool linear =
      (tms->flags & TMF_LINEAR) || threshold < 4 || tms->hbrmax - tms->hbrmin < 128.0 * logLddyn;
  int64_t* counts = nullptr;
  float* cumf = nullptr;
  if (!linear) {
    counts = (int64_t*)malloc(sizeof(int64_t) * (size_t)nbins);
    cumf = (float*)malloc(sizeof(float) * (size_t)(nbins + 2));
    if (counts == nullptr || cumf == nullptr) {
      free(counts);
      free(cumf);
      return tmErrorReturn(funcName, tms, TMERR_MEMORY);
    }
    for (int k = 0; k < nbins; k++) counts[k] = tms->histo[k];
    cumf[nbins + 1] = 1.0f;
    int64_t trimmings;
    // The trimming converges quickly; the bound only guards against a pathological loop.
    for (int iter = 0; iter < 10000; iter++) {
      int64_t sum = 0;
      cumf[0] = 0.0f;
      for (int k = 0; k < nbins; k++) {
        cumf[k] = (float)((double)sum / (double)histot);
        sum += counts[k];
      }
      cumf[nbins] = 1.0f;
      const double Tr =
          ((double)(tms->hbrmax - tms->hbrmin) * (double)histot / (nbins * 128.0)) / logLddyn;
      const int64_t linceil = ceilingCount(Tr + 1.0);
      trimmings = 0;
      for (int k = nbins; k-- > 0;) {
        int64_t ceiling;
        if (tms->flags & TMF_HCONTRAST) {
          double Lw = std::exp(tmBinBright(bin0 + k) / 128.0);
          double Ld = Ldmin * std::exp(logLddyn * 0.5 * (double)(cumf[k] + cumf[k + 1]));
          ceiling = ceilingCount(Tr * Lw * htcontrs(Ld) / (Ld * htcontrs(Lw)) + 1.0);
        } else {
          ceiling = linceil;
        }
        if (counts[k] > ceiling) {
          trimmings += counts[k] - ceiling;
          counts[k] = ceiling;
        }
      }
      histot -= trimmings;
      if (histot <= threshold) {
        linear = true;
        break;
      }
      if (trimmings <= threshold) break;
    }
    if (linear) {
      free(counts);
      free(cumf);
    }
  }
  if (linear) {
    double ratio = (tms->flags & TMF_HCONTRAST) ? htcontrs(Ldavg) / htcontrs(Lwavg) : Ldavg / Lwavg;
    return tmFixedMapping(tms, ratio * tms->inpsf / Ldmax, gamval);
  }
  if (!tmNewMap(tms)) {
    free(counts);
    free(cumf);
    return tmErrorReturn(funcName, tms, TMERR_MEMORY);
  }
  const int span = tms->mbrmax - tms->mbrmin;  // > 0: the range exceeds 128 ln Lddyn here
  for (int i = span; i >= 0; i--) {
    double d = (double)i / span * nbins;
    int j = (int)d;
    d -= j;
    double Ld = Ldmin * std::exp(logLddyn * ((1.0 - d) * cumf[j] + d * cumf[j + 1]));
    double v = 256.0 * std::pow((Ld - Ldmin) / (Ldmax - Ldmin), 1.0 / gamval);
    tms->lumap[i] = v >= 65535.0 ? 65535 : (v > 0 ? (unsigned short)(int)v : 0);
  }
  free(counts);
  free(cumf);
  return TMERR_NONE;
}

bool tmHistoEmpty(const TMstruct* tms) {
  if (tms == nullptr) return false;
  const int n = tmHistBins(tms);
  for (int k = 0; k < n; k++)
    if (tms->histo[k] != 0) return false;
  return true;
}

int tmBlackMapping(TMstruct* tms) {
  static const char funcName[] = "tmBlackMapping";
  if (tms == nullptr) return tmErrorReturn(funcName, nullptr, TMERR_INVALID);
  // One entry, 0, over a one-brightness range: what lies below it is black too. Two spare
  // entries as tmNewMap keeps them.
  unsigned short* m = (unsigned short*)calloc(3, sizeof(unsigned short));
  if (m == nullptr) return tmErrorReturn(funcName, tms, TMERR_MEMORY);
  free(tms->lumap);
  tms->lumap = m;
  tms->mbrmin = tms->mbrmax = TM_MINHISTBRT;
  return TMERR_NONE;
}

int tmPictureMapping(TMstruct* tms, double gamval, double Lddyn, double Ldmax) {
  if (tmHistoEmpty(tms)) return tmBlackMapping(tms);
  return tmComputeMapping(tms, gamval, Lddyn, Ldmax);
}

static int mapCheck(const char* funcName, TMstruct* tms, unsigned char* ps, const TMbright* ls,
                    int len) {
  if (tms == nullptr || tms->lumap == nullptr) return tmErrorReturn(funcName, tms, TMERR_INVALID);
  if (ps == nullptr || ls == nullptr || len < 0)
    return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
  return TMERR_NONE;
}

static inline int lookup(const TMstruct* tms, int b) {
  if (b < tms->mbrmin) return 0;
  if (b > tms->mbrmax) b = tms->mbrmax;
  return tms->lumap[b - tms->mbrmin];
}

int tmMapPixelsPlain(TMstruct* tms, unsigned char* ps, const TMbright* ls, const unsigned char* cs,
                     int len) {
  int err = mapCheck("tmMapPixels", tms, ps, ls, len);
  if (err) return err;
  for (int i = 0; i < len; i++) {
    int v = lookup(tms, ls[i]);
    if (cs == nullptr) {
      ps[i] = (unsigned char)(v > 255 ? 255 : v);
    } else {
      for (int c = 0; c < 3; c++) {
        int x = v * cs[3 * i + c] / tms->cdiv[c];
        ps[3 * i + c] = (unsigned char)(x > 255 ? 255 : x);
      }
    }
  }
  return TMERR_NONE;
}

int tmMapPixels(TMstruct* tms, unsigned char* ps, const TMbright* ls, const unsigned char* cs,
                int len) {
  int err = mapCheck("tmMapPixels", tms, ps, ls, len);
  if (err) return err;
  const int lo = tms->mbrmin, hi = tms->mbrmax;
  const unsigned short* lm = tms->lumap;
  bool vec = tmUseVectorKernels && tms->cdiv[0] >= 1 && tms->cdiv[1] >= 1 && tms->cdiv[2] >= 1 &&
             tms->cdiv[0] < 65536 && tms->cdiv[1] < 65536 && tms->cdiv[2] < 65536 && cpuHasAVX2();
  int start = vec ? tmMapPixelsAVX2(tms, ps, ls, cs, len) : 0;
  ps += cs != nullptr ? 3 * start : start;
  ls += start;
  if (cs != nullptr) cs += 3 * start;
  len -= start;
  if (cs == nullptr) {
    for (int i = 0; i < len; i++) {
      int b = ls[i];
      int v = b < lo ? 0 : lm[(b > hi ? hi : b) - lo];
      ps[i] = (unsigned char)(v > 255 ? 255 : v);
    }
    return TMERR_NONE;
  }
  // Division by the chroma divisors as a multiply and shift: with m = ceil(2^40 / d) the
  // quotient floor(x * m / 2^40) is exact for every x < 2^24 (here x <= 65535 * 255) and
  // d < 2^16.
  uint64_t m[3];
  for (int c = 0; c < 3; c++) {
    uint64_t d = (uint64_t)tms->cdiv[c];
    if (d == 0 || d >= 65536) return tmMapPixelsPlain(tms, ps, ls, cs, len);
    m[c] = ((uint64_t)1 << 40) / d + (((uint64_t)1 << 40) % d != 0);
  }
  for (int i = 0; i < len; i++) {
    int b = ls[i];
    uint64_t v = b < lo ? 0 : lm[(b > hi ? hi : b) - lo];
    for (int c = 0; c < 3; c++) {
      uint64_t q = (v * cs[3 * i + c] * m[c]) >> 40;
      ps[3 * i + c] = (unsigned char)(q > 255 ? 255 : q);
    }
  }
  return TMERR_NONE;
}
