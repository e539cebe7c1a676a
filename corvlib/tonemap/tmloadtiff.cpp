// Loading HDR TIFF files (LogLuv, LogL, float and 16-bit grey and RGB) into tone-mapping
// brightness and chroma, and the one-call TIFF operator.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tonemap/tmloaders.h"
#include "tonemap/tmprivate.h"
#include "support/futil.h"

TMtiffKind tmTIFFkind(int photometric, int compression, int sampleformat, int bps, int spp) {
  switch (photometric) {
    case PHOTOMETRIC_LOGLUV:
      if (compression == COMPRESSION_SGILOG) return TMT_LUV32;
      if (compression == COMPRESSION_SGILOG24) return TMT_LUV24;
      return TMT_NONE;
    case PHOTOMETRIC_LOGL:
      return compression == COMPRESSION_SGILOG ? TMT_L16 : TMT_NONE;
    case PHOTOMETRIC_MINISBLACK:
      if (spp != 1) return TMT_NONE;
      if (sampleformat == SAMPLEFORMAT_IEEEFP && bps == 32) return TMT_GRAYF;
      if (sampleformat == SAMPLEFORMAT_UINT && bps == 16) return TMT_GRAY16;
      return TMT_NONE;
    case PHOTOMETRIC_RGB:
      if (spp != 3) return TMT_NONE;
      if (sampleformat == SAMPLEFORMAT_IEEEFP && bps == 32) return TMT_RGBF;
      if (sampleformat == SAMPLEFORMAT_UINT && bps == 16) return TMT_RGB48;
      return TMT_NONE;
    default:
      return TMT_NONE;
  }
}

bool tmTIFFcolour(TMtiffKind k) {
  return k == TMT_LUV32 || k == TMT_LUV24 || k == TMT_RGBF || k == TMT_RGB48;
}

size_t tmTIFFpixelBytes(TMtiffKind k) {
  switch (k) {
    case TMT_LUV32:
    case TMT_LUV24:
    case TMT_GRAYF:
      return 4;
    case TMT_L16:
    case TMT_GRAY16:
      return 2;
    case TMT_RGBF:
      return 12;
    case TMT_RGB48:
      return 6;
    default:
      return 0;
  }
}

int tmCvTIFF(TMstruct* tms, TMtiffKind kind, TMbright* ls, unsigned char* cs, const void* pix,
             int n, double gamma) {
  switch (kind) {
    case TMT_LUV32:
      return tmCvLuv32(tms, ls, cs, static_cast<const uint32_t*>(pix), n);
    case TMT_LUV24:
      return tmCvLuv24(tms, ls, cs, static_cast<const uint32_t*>(pix), n);
    case TMT_L16:
      return tmCvL16(tms, ls, static_cast<const unsigned short*>(pix), n);
    case TMT_GRAYF:
      return tmCvGrays(tms, ls, static_cast<const float*>(pix), n);
    case TMT_GRAY16:
      return tmCvGray16(tms, ls, static_cast<const unsigned short*>(pix), n, gamma);
    case TMT_RGBF:
      return tmCvColors(tms, ls, cs, static_cast<const COLOR*>(pix), n);
    case TMT_RGB48:
      return tmCvRGB48(tms, ls, cs, static_cast<const unsigned short(*)[3]>(pix), n, gamma);
    default:
      return TMERR_CONSIST1;
  }
}

namespace {

// libtiff messages of files opened here are dropped: the result code tells the caller.
int quietHandler(TIFF*, void*, const char*, const char*, va_list) {
  return 1;
}

// The loader reads contiguous scanlines only.
TMtiffKind classify(TIFF* tp) {
  uint16_t planar = 0, photometric = 0, compression = 0, sampleformat = 0, bps = 0, spp = 0;
  TIFFGetFieldDefaulted(tp, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tp, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tp, TIFFTAG_SAMPLEFORMAT, &sampleformat);
  TIFFGetFieldDefaulted(tp, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tp, TIFFTAG_SAMPLESPERPIXEL, &spp);
  if (!TIFFGetField(tp, TIFFTAG_PHOTOMETRIC, &photometric)) return TMT_NONE;
  if (planar != PLANARCONFIG_CONTIG || TIFFIsTiled(tp)) return TMT_NONE;
  return tmTIFFkind(photometric, compression, sampleformat, bps, spp);
}

int loadTIFF(TMstruct* tms, TMbright** lpp, unsigned char** cpp, int* xp, int* yp, TIFF* tp) {
  const TMtiffKind kind = classify(tp);
  uint32_t width = 0, height = 0;
  if (kind == TMT_NONE || !TIFFGetField(tp, TIFFTAG_IMAGEWIDTH, &width) ||
      !TIFFGetField(tp, TIFFTAG_IMAGELENGTH, &height) || width < 1 || height < 1 ||
      width > (uint32_t)INT32_MAX || height > (uint32_t)INT32_MAX)
    return TMERR_FILE;
  // Input space: CIE XYZ for LogLuv, the file's primaries for RGB, the display's otherwise.
  RGBPRIMP space = tms->monpri;
  bool ownPrims = false;
  if (kind == TMT_LUV32 || kind == TMT_LUV24) {
    space = nullptr;
  } else if (kind == TMT_RGBF || kind == TMT_RGB48) {
    float* pc = nullptr;
    if (TIFFGetField(tp, TIFFTAG_PRIMARYCHROMATICITIES, &pc) && pc != nullptr) {
      RGBPRIMS p;
      for (int i = 0; i < 6; i++) p[i / 2][i % 2] = pc[i];
      float* wp = nullptr;
      if (TIFFGetField(tp, TIFFTAG_WHITEPOINT, &wp) && wp != nullptr) {
        p[3][0] = wp[0];
        p[3][1] = wp[1];
      } else {
        p[3][0] = p[3][1] = 1.0f / 3.0f;
      }
      // Kept in the TMstruct: its input space refers to them after this call. Primaries that
      // give no colour matrix are ignored.
      COLORMAT m;
      if (colorprimsOK(p) && comprgb2xyzmat(m, p)) {
        memcpy(tms->inpprims, p, sizeof(RGBPRIMS));
        space = tms->inpprims;
        ownPrims = true;
      }
    }
  }
  double stonits = TM_UNSTATED_STONITS;
  if (!TIFFGetField(tp, TIFFTAG_STONITS, &stonits)) stonits = TM_UNSTATED_STONITS;
  // A factor that maps nothing to luminance makes the file unusable.
  if (!(stonits > 1e-12) || !std::isfinite(stonits)) return TMERR_FILE;
  if (kind == TMT_LUV32 || kind == TMT_LUV24) {
    if (!TIFFSetField(tp, TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_RAW)) return TMERR_FILE;
  } else if (kind == TMT_L16) {
    if (!TIFFSetField(tp, TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_16BIT)) return TMERR_FILE;
  }
  int err = tmSetSpaceInternal(tms, space, stonits, nullptr, ownPrims);
  if (err) return TMERR_FILE;
  const size_t psize = tmTIFFpixelBytes(kind);
  size_t bufsize = (size_t)width * psize;
  tmsize_t sls = TIFFScanlineSize(tp);
  if (sls > 0 && (size_t)sls > bufsize) bufsize = (size_t)sls;
  const bool wantChroma = cpp != nullptr && tmTIFFcolour(kind);
  const size_t npix = (size_t)width * height;
  if (npix > TM_MAXLOADPIX) return TMERR_MEMORY;
  void* buf = calloc(bufsize, 1);
  *lpp = (TMbright*)malloc(npix * sizeof(TMbright));
  if (wantChroma) *cpp = (unsigned char*)malloc(npix * 3);
  if (buf == nullptr || *lpp == nullptr || (wantChroma && *cpp == nullptr)) {
    free(buf);
    return TMERR_MEMORY;
  }
  *xp = (int)width;
  *yp = (int)height;
  const int w = (int)width;
  for (uint32_t y = 0; y < height && !err; y++) {
    if (TIFFReadScanline(tp, buf, y, 0) < 0) {
      err = TMERR_FILE;
      break;
    }
    TMbright* ls = *lpp + (size_t)y * width;
    unsigned char* cs = wantChroma ? *cpp + (size_t)y * width * 3 : nullptr;
    err = tmCvTIFF(tms, kind, ls, cs, buf, w, 2.2);
  }
  free(buf);
  return err;
}
}  // namespace

int tmLoadTIFF(TMstruct* tms, TMbright** lpp, unsigned char** cpp, int* xp, int* yp,
               const char* fname, TIFF* tp) {
  static const char funcName[] = "tmLoadTIFF";
  if (tms == nullptr) return tmErrorReturn(funcName, nullptr, TMERR_INVALID);
  if (lpp == nullptr || xp == nullptr || yp == nullptr || (fname == nullptr && tp == nullptr))
    return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
  *lpp = nullptr;
  if (cpp != nullptr) *cpp = nullptr;
  *xp = *yp = 0;
  TIFF* t = tp;
  if (t == nullptr) {
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    if (opts == nullptr) return tmErrorReturn(funcName, tms, TMERR_MEMORY);
    TIFFOpenOptionsSetErrorHandlerExtR(opts, quietHandler, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, quietHandler, nullptr);
    // Opened here rather than by the library, closed on exec, without waiting and only when a
    // regular file (support/futil.h); the library closes it with the handle.
    const int fd = PopenRead(fname);
    t = fd >= 0 ? TIFFFdOpenExt(fd, fname, "r", opts) : nullptr;
    TIFFOpenOptionsFree(opts);
    if (t == nullptr && fd >= 0) close(fd);
    if (t == nullptr) return tmErrorReturn(funcName, tms, TMERR_FILE);
  }
  int err = loadTIFF(tms, lpp, cpp, xp, yp, t);
  if (tp == nullptr) TIFFClose(t);
  if (err) return tmLoadFailed(funcName, tms, err, lpp, cpp, xp, yp);
  return TMERR_NONE;
}

int tmMapTIFF(unsigned char** psp, int* xp, int* yp, int flags, RGBPRIMP monpri, double gamval,
              double Lddyn, double Ldmax, const char* fname, TIFF* tp) {
  static const char funcName[] = "tmMapTIFF";
  if (psp == nullptr || xp == nullptr || yp == nullptr || monpri == nullptr ||
      (fname == nullptr && tp == nullptr))
    return tmErrorReturn(funcName, nullptr, TMERR_ARGUMENT);
  struct Args {
    int *xp, *yp;
    const char* fname;
    TIFF* tp;
  } args = {xp, yp, fname, tp};
  auto load = [](TMstruct* tms, TMbright** lpp, unsigned char** cpp, void* data) {
    Args* a = (Args*)data;
    return tmLoadTIFF(tms, lpp, cpp, a->xp, a->yp, a->fname, a->tp);
  };
  return tmMapLoaded(funcName, psp, xp, yp, flags, monpri, gamval, Lddyn, Ldmax, load, &args);
}
