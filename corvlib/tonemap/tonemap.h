// The tone-mapping library: the state of one mapping session (TMstruct), the logarithmic
// brightness encoding (TMbright), the brightness histogram, the histogram-adjustment and
// fixed-exposure mappings, the final mapping of brightness to display bytes, and the pixel
// converters that turn input scanlines into brightness and chroma bytes.
//
// A typical use: tmInit -> tmSetSpace -> a converter (tmCvColors, tmCvColrs, ...) for every
// scanline -> tmAddHisto -> tmComputeMapping (or tmFixedMapping) -> tmMapPixels -> tmDone.
//
// Every function returns 0 or one of the TMERR_ codes; errors are recorded in the TMstruct and
// printed on standard error unless TMF_QUIET is set. Nothing here ends the process.
//
// Threads: the process-wide conversion tables are built once (thread-safely) and never freed.
// One TMstruct must be used by one thread at a time.
#pragma once

#include <cstdint>

#include "image/pimage.h"

// 128 times the natural logarithm of luminance in cd/m2; TM_NOBRT means no brightness.
typedef int16_t TMbright;
constexpr int TM_NOBRT = -32768;
// Brightnesses below this are never counted in the histogram.
constexpr int TM_MINHISTBRT = -2048;

// Flag bits of TMstruct::flags.
enum : int {
  TMF_HCONTRAST = 1,  // human contrast sensitivity in the histogram ceiling and linear fallback
  TMF_MESOPIC = 2,    // colour loss in the chroma of dim pixels
  TMF_LINEAR = 4,     // tmComputeMapping always takes the linear mapping
  TMF_OUTACUITY = 8,  // bits 8..64 are options of an outside picture-conditioning program;
  TMF_OUTVEIL = 16,   // tmInit clears them
  TMF_OUTCWEIGHT = 32,
  TMF_OUTFOVEAL = 64,
  TMF_OUTSIDE = TMF_OUTACUITY | TMF_OUTVEIL | TMF_OUTCWEIGHT | TMF_OUTFOVEAL,
  TMF_GREY = 128,  // luminance-only output
  TMF_QUIET = 256  // errors are recorded but not printed
};

// Error codes of every tm and fc function.
enum : int {
  TMERR_NONE = 0,
  TMERR_MEMORY = 1,
  TMERR_ARGUMENT = 2,
  TMERR_INVALID = 3,
  TMERR_NOMAP = 4,
  TMERR_FILE = 5,
  TMERR_CONSIST1 = 6,
  TMERR_CONSIST2 = 7
};
constexpr int TMERR_COUNT = 8;
extern const char* const tmErrorMessage[TMERR_COUNT];

constexpr int TM_MAXPKG = 8;  // input packages with per-TMstruct data

struct TMstruct {
  int flags;
  RGBPRIMP monpri;          // display primaries
  double mongam;            // display gamma
  COLOR clf;                // luminance coefficient of each display primary
  int cdiv[3];              // chroma divisors, 256 * clf[i]^(1/mongam), at least 1
  RGBPRIMP inppri;          // input primaries; NULL means CIE XYZ input
  double inpsf;             // input scale factor to cd/m2
  void* inpdat;             // opaque input description
  COLORMAT cmat;            // input-to-display matrix, times inpsf
  TMbright hbrmin, hbrmax;  // histogram range
  int* histo;               // counts per 8-unit bin from the bin of hbrmin to that of hbrmax
  TMbright mbrmin, mbrmax;  // range covered by lumap
  unsigned short* lumap;    // display value per brightness, 256 = full white
  void* pd[TM_MAXPKG];      // per-package data
  int lastError;
  const char* lastFunc;
  RGBPRIMS inpprims;  // storage for primaries read from a file by the loaders
};

// Histogram bin of a brightness and the brightness that stands for a bin.
inline int tmHistBin(int b) {
  return (b - TM_MINHISTBRT) / 8;
}
inline int tmBinBright(int k) {
  return 8 * k - 2044;
}
int tmHistBins(const TMstruct* tms);  // number of bins, 0 without histogram

TMstruct* tmInit(int flags, RGBPRIMP monpri, double gamval);
TMstruct* tmDup(const TMstruct* tms);
void tmDone(TMstruct* tms);

void tmClearHisto(TMstruct* tms);
int tmAddHisto(TMstruct* tms, const TMbright* ls, int len, int wt);
int tmComputeMapping(TMstruct* tms, double gamval, double Lddyn, double Ldmax);
int tmFixedMapping(TMstruct* tms, double expmult, double gamval);
int tmNewMap(TMstruct* tms);
// True when the histogram counts nothing: no brightness added to it reached the countable range
// (a picture without light, every pixel black or darker than TM_MINHISTBRT).
bool tmHistoEmpty(const TMstruct* tms);
// The mapping of a picture without light: every brightness shows black. 0, or TMERR_MEMORY.
int tmBlackMapping(TMstruct* tms);
// The mapping of a picture whose brightnesses were added to the histogram: tmComputeMapping's,
// or the black mapping when the histogram counts nothing, so that a picture without light
// shows black instead of failing.
int tmPictureMapping(TMstruct* tms, double gamval, double Lddyn, double Ldmax);
int tmMapPixels(TMstruct* tms, unsigned char* ps, const TMbright* ls, const unsigned char* cs,
                int len);
// The plain per-pixel form of tmMapPixels (integer divisions); kept to check the fast one.
int tmMapPixelsPlain(TMstruct* tms, unsigned char* ps, const TMbright* ls, const unsigned char* cs,
                     int len);

int tmErrorReturn(const char* func, TMstruct* tms, int err);
TMbright tmCvLuminance(double lum);
double htcontrs(double La);

// Pixel inputs.
int tmSetSpace(TMstruct* tms, RGBPRIMP pri, double sf, void* dat);
int tmCvColors(TMstruct* tms, TMbright* ls, unsigned char* cs, const COLOR* scan, int len);
int tmCvGrays(TMstruct* tms, TMbright* ls, const float* scan, int len);
int tmCvLums(TMbright* ls, const float* scan, int len);
int tmCvGray16(TMstruct* tms, TMbright* ls, const unsigned short* scan, int len, double gv);
int tmCvRGB48(TMstruct* tms, TMbright* ls, unsigned char* cs, const unsigned short (*scan)[3],
              int len, double gv);

// Packed inputs: RGBE pixels, 32- and 24-bit LogLuv words and 16-bit LogL values.
int tmCvColrs(TMstruct* tms, TMbright* ls, unsigned char* cs, const unsigned char (*scan)[4],
              int len);
int tmCvLuv32(TMstruct* tms, TMbright* ls, unsigned char* cs, const uint32_t* luvs, int len);
int tmCvLuv24(TMstruct* tms, TMbright* ls, unsigned char* cs, const uint32_t* luvs, int len);
int tmCvL16(TMstruct* tms, TMbright* ls, const unsigned short* l16s, int len);
