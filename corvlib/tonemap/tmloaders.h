// Whole-file entry points of the tone-mapping library: load an RGBE/XYZE picture or an HDR
// TIFF file into brightness (and optional chroma) arrays through a TMstruct, or load, map and
// return display bytes in one call.
//
// Arrays returned through lpp, cpp and psp are allocated here with malloc and belong to the
// caller; they are row-major, *xp by *yp, rows in file order.
#pragma once

#include <cstdio>

#include <tiffio.h>

#include "tonemap/tonemap.h"

// The sample-to-nits factor the TIFF reader takes for its 8-bit delivery of a file without the
// StoNits tag (37439): a sample of 1 is 100 cd/m2, the display's white.
constexpr double TM_DEFAULT_STONITS = 100.0;
// The factor the loaders take for a file that states none: a sample of 1 is 1 cd/m2, as a
// picture read through its reader for display takes it, so that its luminance is the same
// whichever way it is read.
constexpr double TM_UNSTATED_STONITS = 1.0;

// The most pixels a loader takes on (a file that claims more is refused as too large for
// memory before anything is allocated).
constexpr size_t TM_MAXLOADPIX = (size_t)1 << 32;

// Loads a picture from fp (left open) or, when fp is NULL, from the file fname. cpp NULL: no
// chroma.
int tmLoadPicture(TMstruct* tms, TMbright** lpp, unsigned char** cpp, int* xp, int* yp,
                  const char* fname, FILE* fp);
// Loads a LogLuv, LogL, float or 16-bit TIFF from tp (left open) or from the file fname.
// Chroma comes only for the colour kinds; *cpp is NULL for the grey ones.
int tmLoadTIFF(TMstruct* tms, TMbright** lpp, unsigned char** cpp, int* xp, int* yp,
               const char* fname, TIFF* tp);
// One-call operators: 3 bytes a pixel, or 1 under TMF_GREY and for grey TIFF kinds.
// Pictures are always mapped in-process.
int tmMapPicture(unsigned char** psp, int* xp, int* yp, int flags, RGBPRIMP monpri, double gamval,
                 double Lddyn, double Ldmax, const char* fname, FILE* fp);
int tmMapTIFF(unsigned char** psp, int* xp, int* yp, int flags, RGBPRIMP monpri, double gamval,
              double Lddyn, double Ldmax, const char* fname, TIFF* tp);

// The kinds of TIFF page the tone-mapping conversions read. The TIFF loader and the TIFF
// reader's tone-mapped delivery both tell them by tmTIFFkind and convert them by tmCvTIFF.
enum TMtiffKind {
  TMT_NONE,
  TMT_LUV32,   // LogLuv, SGILog-coded (32-bit)
  TMT_LUV24,   // LogLuv, SGILog24-coded
  TMT_L16,     // LogL, SGILog-coded
  TMT_GRAYF,   // 32-bit float grey
  TMT_GRAY16,  // 16-bit grey
  TMT_RGBF,    // 32-bit float RGB
  TMT_RGB48,   // 16-bit RGB
};
// The kind of a page from its photometric, compression, sample format, bits per sample and
// samples per pixel; TMT_NONE for every other page.
TMtiffKind tmTIFFkind(int photometric, int compression, int sampleformat, int bps, int spp);
// Whether the kind has chroma; the bytes of one of its pixels as read (raw LogLuv words, 16-bit
// LogL values).
bool tmTIFFcolour(TMtiffKind kind);
size_t tmTIFFpixelBytes(TMtiffKind kind);
// Converts n pixels of the kind into brightness and (for the colour kinds, when cs is given)
// chroma; gamma is the 16-bit kinds' encoding gamma. A TMERR code.
int tmCvTIFF(TMstruct* tms, TMtiffKind kind, TMbright* ls, unsigned char* cs, const void* pix,
             int n, double gamma);
