// Tone-mapping state: creation, copying and release of a TMstruct, the error texts, the
// brightness encoding of one luminance, the human contrast threshold, the mesopic table and
// the registry of input packages.
#include "tonemap/tonemap.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>

#include "tonemap/tmprivate.h"

const char* const tmErrorMessage[TMERR_COUNT] = {
    "no error",
    "out of memory",
    "illegal argument value",
    "invalid tone mapping",
    "cannot compute tone mapping",
    "file cannot be opened or is the wrong type",
    "code consistency error 1",
    "code consistency error 2",
};

TMpackage* tmPkg[TM_MAXPKG];
int tmNumPkgs = 0;
static std::mutex pkgMutex;

unsigned char tmMesofact[TM_MESOTOP - TM_MESOBOT + 1];

int tmErrorReturn(const char* func, TMstruct* tms, int err) {
  if (tms != nullptr) {
    tms->lastFunc = func;
    tms->lastError = err;
    if (tms->flags & TMF_QUIET) return err;
  }
  const char* text = (err >= 0 && err < TMERR_COUNT) ? tmErrorMessage[err] : "unknown error";
  fprintf(stderr, "%s: %s!\n", func, text);
  return err;
}

TMbright tmCvLuminance(double lum) {
  // NaN fails every comparison, so it lands here with zero, negatives and tiny values.
  if (!(lum > 1e-17) || lum > std::numeric_limits<double>::max()) return TM_NOBRT;
  double d = 128.0 * std::log(lum);
  // Luminances beyond e^256 do not fit 16 bits: they take the top brightness.
  if (d >= 32767.0) return 32767;
  return (TMbright)(d > 0 ? (int)(d + 0.5) : (int)(d - 0.5));
}

double htcontrs(double La) {
  if (La < 1.148e-4) return 1.38e-3;
  double l = std::log10(La), r;
  if (l < -1.44)
    r = std::pow(0.405 * l + 1.6, 2.18) - 2.86;
  else if (l < -0.0184)
    r = l - 0.395;
  else if (l < 1.9)
    r = std::pow(0.249 * l + 0.65, 2.7) - 0.72;
  else
    r = l - 1.255;
  return std::exp(r * 2.302585093);
}

static void buildMesofact() {
  for (int b = TM_MESOBOT; b <= TM_MESOTOP; b++)
    tmMesofact[b - TM_MESOBOT] =
        (unsigned char)(int)((std::exp(b / 128.0) - 0.00562) * 256.0 / 5.61438);
}

void tmMkMesofact() {
  static std::once_flag once;
  std::call_once(once, buildMesofact);
}

int tmHistBins(const TMstruct* tms) {
  if (tms == nullptr || tms->histo == nullptr || tms->hbrmax < tms->hbrmin) return 0;
  return tmHistBin(tms->hbrmax) - tmHistBin(tms->hbrmin) + 1;
}

static bool samePrims(RGBPRIMP a, RGBPRIMP b) {
  for (int i = 0; i < 4; i++)
    if (a[i][0] != b[i][0] || a[i][1] != b[i][1]) return false;
  return true;
}

// Sets the display divisors from clf; a tiny coefficient gives 1, never 0.
static void setChromaDivisors(TMstruct* tms) {
  for (int i = 0; i < 3; i++)
    tms->cdiv[i] =
        tms->clf[i] <= 0.001f ? 1 : (int)(256.0 * std::pow((double)tms->clf[i], 1.0 / tms->mongam));
}

TMstruct* tmInit(int flags, RGBPRIMP monpri, double gamval) {
  TMstruct* tms = (TMstruct*)calloc(1, sizeof(TMstruct));
  if (tms == nullptr) return nullptr;
  flags &= ~TMF_OUTSIDE;
  if (flags & TMF_GREY) flags &= ~TMF_MESOPIC;
  tms->flags = flags;
  COLORMAT m;
  if (monpri != nullptr && monpri != stdprims && !(flags & TMF_GREY) &&
      !samePrims(monpri, stdprims) && comprgb2xyzmat(m, monpri)) {
    tms->monpri = monpri;
    for (int i = 0; i < 3; i++) tms->clf[i] = m[1][i];
  } else {
    // Standard primaries, also when the given ones cannot give a matrix.
    tms->monpri = stdprims;
    for (int i = 0; i < 3; i++) tms->clf[i] = rgb2xyzmat[1][i];
  }
  tms->mongam = gamval < 0.75 ? 2.2 : gamval;
  setChromaDivisors(tms);
  tms->inppri = tms->monpri;
  tms->inpsf = 179.0;
  tms->inpdat = nullptr;
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) tms->cmat[i][j] = i == j ? 179.0f : 0.0f;
  tms->hbrmin = 10;
  tms->hbrmax = -10;
  tms->histo = nullptr;
  tms->mbrmin = 10;
  tms->mbrmax = -10;
  tms->lumap = nullptr;
  tms->lastError = TMERR_NONE;
  tms->lastFunc = "NoErr";
  return tms;
}

TMstruct* tmDup(const TMstruct* tms) {
  if (tms == nullptr) return nullptr;
  TMstruct* t = (TMstruct*)malloc(sizeof(TMstruct));
  if (t == nullptr) return nullptr;
  *t = *tms;
  // Primaries kept inside the record must point into the copy.
  if (tms->monpri == tms->inpprims) t->monpri = t->inpprims;
  if (tms->inppri == tms->inpprims) t->inppri = t->inpprims;
  if (tms->histo != nullptr) {
    size_t n = (size_t)tmHistBins(tms);
    t->histo = (int*)malloc(n * sizeof(int));
    if (t->histo != nullptr) memcpy(t->histo, tms->histo, n * sizeof(int));
  }
  if (tms->lumap != nullptr) {
    size_t n = (size_t)(tms->mbrmax - tms->mbrmin + 3);  // with tmNewMap's spare entries
    t->lumap = (unsigned short*)malloc(n * sizeof(unsigned short));
    if (t->lumap != nullptr) memcpy(t->lumap, tms->lumap, n * sizeof(unsigned short));
  }
  for (int i = 0; i < TM_MAXPKG; i++) t->pd[i] = nullptr;  // packages rebuild on next use
  return t;
}

void tmDone(TMstruct* tms) {
  if (tms == nullptr) return;
  free(tms->histo);
  free(tms->lumap);
  for (int i = tmPackageCount(); i-- > 0;)
    if (tms->pd[i] != nullptr && tmPkg[i] != nullptr && tmPkg[i]->Free != nullptr)
      tmPkg[i]->Free(tms->pd[i]);
  free(tms);
}

int tmPackageCount() {
  std::lock_guard<std::mutex> lock(pkgMutex);
  return tmNumPkgs;
}

int tmRegisterPackage(TMpackage* pkg) {
  std::lock_guard<std::mutex> lock(pkgMutex);
  if (tmNumPkgs >= TM_MAXPKG) return -1;
  tmPkg[tmNumPkgs] = pkg;
  return tmNumPkgs++;
}

int tmPackageNumber(TMpackage* pkg, std::atomic<int>* regno) {
  std::lock_guard<std::mutex> lock(pkgMutex);
  if (*regno < 0 && tmNumPkgs < TM_MAXPKG) {
    tmPkg[tmNumPkgs] = pkg;
    *regno = tmNumPkgs++;
  }
  return *regno;
}

void* tmPackageData(TMstruct* tms, TMpackage* pkg, std::atomic<int>* regno, int* err) {
  int n = tmPackageNumber(pkg, regno);
  if (n < 0) {
    *err = TMERR_CONSIST1;
    return nullptr;
  }
  if (tms->pd[n] == nullptr) {
    tms->pd[n] = pkg->Init(tms);
    if (tms->pd[n] == nullptr) {
      *err = TMERR_MEMORY;
      return nullptr;
    }
  }
  *err = TMERR_NONE;
  return tms->pd[n];
}
