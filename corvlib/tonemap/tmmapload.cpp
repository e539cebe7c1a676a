// The common part of the one-call operators tmMapPicture and tmMapTIFF.
#include <climits>
#include <cstdlib>

#include "tonemap/tmprivate.h"
#include "tonemap/tonemap.h"

int tmLoadFailed(const char* funcName, TMstruct* tms, int err, TMbright** lpp, unsigned char** cpp,
                 int* xp, int* yp) {
  free(*lpp);
  *lpp = nullptr;
  if (cpp != nullptr) {
    free(*cpp);
    *cpp = nullptr;
  }
  *xp = *yp = 0;
  return tmErrorReturn(funcName, tms, err);
}

int tmMapLoaded(const char* funcName, unsigned char** psp, int* xp, int* yp, int flags,
                RGBPRIMP monpri, double gamval, double Lddyn, double Ldmax, TMLoadFunc* load,
                void* data) {
  *psp = nullptr;
  if (!(gamval >= 0.75)) gamval = 2.2;
  if (!(Lddyn >= 2)) Lddyn = 32;
  if (!(Ldmax >= 1)) Ldmax = 100;
  if (flags & TMF_GREY) monpri = stdprims;
  TMstruct* tms = tmInit(flags, monpri, gamval);
  if (tms == nullptr) return tmErrorReturn(funcName, nullptr, TMERR_MEMORY);
  TMbright* lp = nullptr;
  unsigned char* cp = nullptr;
  int err = load(tms, &lp, (tms->flags & TMF_GREY) ? nullptr : &cp, data);
  if (err) {
    tmDone(tms);
    return err;
  }
  const size_t npix = (size_t)*xp * (size_t)*yp;
  unsigned char* out = cp != nullptr ? cp : (unsigned char*)malloc(npix > 0 ? npix : 1);
  if (out == nullptr) err = TMERR_MEMORY;
  // The converters take int lengths: work in pieces.
  const size_t piece = (size_t)INT_MAX / 4;
  for (size_t i = 0; !err && i < npix; i += piece)
    err = tmAddHisto(tms, lp + i, (int)(npix - i < piece ? npix - i : piece), 1);
  if (!err) err = tmPictureMapping(tms, gamval, Lddyn, Ldmax);
  for (size_t i = 0; !err && i < npix; i += piece)
    err = tmMapPixels(tms, out + (cp != nullptr ? 3 * i : i), lp + i,
                      cp != nullptr ? cp + 3 * i : nullptr,
                      (int)(npix - i < piece ? npix - i : piece));
  free(lp);
  if (err) {
    free(out);
    *xp = *yp = 0;
    err = tmErrorReturn(funcName, tms, err);
    tmDone(tms);
    return err;
  }
  tmDone(tms);
  *psp = out;
  return TMERR_NONE;
}
