// Loading RGBE/XYZE pictures into tone-mapping brightness and chroma, and the one-call
// picture operator.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "picture/picheader.h"
#include "picture/rgbe.h"
#include "tonemap/tmloaders.h"
#include "tonemap/tmprivate.h"
#include "support/cnumber.h"
#include "support/futil.h"

namespace {
enum { FMT_RGBE = 1, FMT_XYZE = 2, FMT_NONE = 3, FMT_OTHER = 4 };

struct PicHeader {
  int format = FMT_NONE;
  double exposure = 1.0;  // product of all EXPOSURE values
  bool ownPrims = false;  // a PRIMARIES line was read
  RGBPRIMS prims = {{0.64f, 0.33f}, {0.29f, 0.6f}, {0.15f, 0.06f}, {0.3333f, 0.3333f}};
};

int headline(const char* line, void* data) {
  PicHeader* h = (PicHeader*)data;
  char fmt[MAXFMTLEN];
  if (formatval(fmt, line)) {
    h->format = !strcmp(fmt, COLRFMT) ? FMT_RGBE : !strcmp(fmt, CIEFMT) ? FMT_XYZE : FMT_OTHER;
  } else if (!strncmp(line, "EXPOSURE=", 9)) {
    h->exposure *= Catof(line + 9);
  } else if (!strncmp(line, "PRIMARIES=", 10)) {
    float p[8];
    RGBPRIMS pr;
    // Primaries that give no colour matrix (some writers put all zeros) are ignored.
    if (Csscanf(line + 10, "%f %f %f %f %f %f %f %f", &p[0], &p[1], &p[2], &p[3], &p[4], &p[5],
                &p[6], &p[7]) == 8) {
      for (int i = 0; i < 8; i++) pr[i / 2][i % 2] = p[i];
      COLORMAT m;
      if (colorprimsOK(pr) && comprgb2xyzmat(m, pr)) {
        memcpy(h->prims, pr, sizeof pr);
        h->ownPrims = true;
      }
    }
  }
  return 0;
}

int loadPicture(TMstruct* tms, TMbright** lpp, unsigned char** cpp, int* xp, int* yp, FILE* fp) {
  PicHeader h;
  if (getheader(fp, headline, &h) < 0) return TMERR_FILE;
  if (h.format == FMT_OTHER || !(h.exposure > 0) || !std::isfinite(h.exposure)) return TMERR_FILE;
  int scanlen, count;
  if (fgetresolu(&scanlen, &count, fp) < 0 || scanlen < 1 || count < 1) return TMERR_FILE;
  RGBPRIMP prims = stdprims;
  double exposure = h.exposure;
  if (h.format == FMT_XYZE) {
    prims = nullptr;
  } else {
    exposure /= 179.0;
    if (h.ownPrims) {
      // The primaries outlive this call inside the TMstruct, which keeps its input space.
      memcpy(tms->inpprims, h.prims, sizeof(RGBPRIMS));
      prims = tms->inpprims;
    }
  }
  int err = tmSetSpaceInternal(tms, prims, 1.0 / exposure, nullptr, h.ownPrims);
  if (err) return err == TMERR_ARGUMENT ? TMERR_FILE : err;
  size_t npix = (size_t)scanlen * (size_t)count;
  if (npix > TM_MAXLOADPIX) return TMERR_MEMORY;
  *lpp = (TMbright*)malloc(npix * sizeof(TMbright));
  if (cpp != nullptr) *cpp = (unsigned char*)malloc(npix * 3);
  RGBEPIX* scan = (RGBEPIX*)malloc((size_t)scanlen * sizeof(RGBEPIX));
  if (*lpp == nullptr || (cpp != nullptr && *cpp == nullptr) || scan == nullptr) {
    free(scan);
    return TMERR_MEMORY;
  }
  *xp = scanlen;
  *yp = count;
  for (int y = 0; y < count; y++) {
    if (freadcolrs(scan, scanlen, fp) < 0) {
      free(scan);
      return TMERR_FILE;
    }
    size_t row = (size_t)y * (size_t)scanlen;
    err = tmCvColrs(tms, *lpp + row, cpp != nullptr ? *cpp + 3 * row : nullptr, scan, scanlen);
    if (err) {
      free(scan);
      return err;
    }
  }
  free(scan);
  return TMERR_NONE;
}
}  // namespace

int tmLoadPicture(TMstruct* tms, TMbright** lpp, unsigned char** cpp, int* xp, int* yp,
                  const char* fname, FILE* fp) {
  static const char funcName[] = "tmLoadPicture";
  if (tms == nullptr) return tmErrorReturn(funcName, nullptr, TMERR_INVALID);
  if (lpp == nullptr || xp == nullptr || yp == nullptr || (fname == nullptr && fp == nullptr))
    return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
  *xp = *yp = 0;
  *lpp = nullptr;
  if (cpp != nullptr) *cpp = nullptr;
  FILE* f = fp;
  if (f == nullptr && (f = PfopenRead(fname)) == nullptr)
    return tmErrorReturn(funcName, tms, TMERR_FILE);
  int err = loadPicture(tms, lpp, cpp, xp, yp, f);
  if (fp == nullptr) fclose(f);
  if (err) return tmLoadFailed(funcName, tms, err, lpp, cpp, xp, yp);
  return TMERR_NONE;
}

int tmMapPicture(unsigned char** psp, int* xp, int* yp, int flags, RGBPRIMP monpri, double gamval,
                 double Lddyn, double Ldmax, const char* fname, FILE* fp) {
  static const char funcName[] = "tmMapPicture";
  if (psp == nullptr || xp == nullptr || yp == nullptr || monpri == nullptr ||
      (fname == nullptr && fp == nullptr))
    return tmErrorReturn(funcName, nullptr, TMERR_ARGUMENT);
  struct Args {
    int *xp, *yp;
    const char* fname;
    FILE* fp;
  } args = {xp, yp, fname, fp};
  auto load = [](TMstruct* tms, TMbright** lpp, unsigned char** cpp, void* data) {
    Args* a = (Args*)data;
    return tmLoadPicture(tms, lpp, cpp, a->xp, a->yp, a->fname, a->fp);
  };
  return tmMapLoaded(funcName, psp, xp, yp, flags, monpri, gamval, Lddyn, Ldmax, load, &args);
}
