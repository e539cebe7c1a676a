// Internals shared by the tone-mapping files: the input-package registry, the process-wide
// conversion tables and small helpers. Not for use outside corvlib/tonemap and its tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "tonemap/tonemap.h"

// An input package keeps tables per TMstruct in TMstruct::pd[its registration number].
struct TMpackage {
  void* (*Init)(TMstruct* tms);     // builds the data for tms (stored in pd) or NULL
  void (*NewSpace)(TMstruct* tms);  // refreshes it after the input space changed; may be NULL
  void (*Free)(void* data);
};

extern TMpackage* tmPkg[TM_MAXPKG];
extern int tmNumPkgs;

// The number of registered packages (entries below it never change).
int tmPackageCount();
// Registers a package and returns its number, or -1 when all slots are taken.
int tmRegisterPackage(TMpackage* pkg);
// Registers *pkg once (thread-safely) into *regno; returns *regno (-1 when no slot was free).
int tmPackageNumber(TMpackage* pkg, std::atomic<int>* regno);
// The package data of tms, created by Init on first need; sets *err (6 no slot, 1 Init failed).
void* tmPackageData(TMstruct* tms, TMpackage* pkg, std::atomic<int>* regno, int* err);

// Mesopic blend weights: entry b + 663 for brightness b in -663..220.
constexpr int TM_MESOBOT = -663;
constexpr int TM_MESOTOP = 220;
extern unsigned char tmMesofact[TM_MESOTOP - TM_MESOBOT + 1];
void tmMkMesofact();

// The float-to-brightness table: entry (float bits >> 15).
const TMbright* tmFloatBrightTable();
inline uint32_t tmFloatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}
// The table index of a float: its top 17 bits without the sign. Callers have already sent
// negative numbers to TM_NOBRT; a NaN of either sign lands on a NaN entry (also TM_NOBRT).
inline uint32_t tmFloatIndex(float f) {
  return (tmFloatBits(f) >> 15) & 0xFFFF;
}

// A 1024-entry table (int)(256 * ((i + 0.5)/1024)^(1/gam)) for a display gamma; tables are
// kept for every gamma asked for (within 0.02) and never freed.
const unsigned char* tmChromaGammaTable(double gam);

// Internal form of tmSetSpace; force recomputes even when the arguments look unchanged.
int tmSetSpaceInternal(TMstruct* tms, RGBPRIMP pri, double sf, void* dat, bool force);

// Number of left shifts that bring bit 15 of v to 1; -1 for 0.
inline int normShift16(int v) {
  if (v <= 0) return -1;
  int s = 0;
  while (!(v & 0x8000)) {
    v <<= 1;
    s++;
  }
  return s;
}
inline int normShift48(const unsigned short rgb[3]) {
  int m = rgb[0];
  if (rgb[1] > m) m = rgb[1];
  if (rgb[2] > m) m = rgb[2];
  return normShift16(m);
}

// The ln((i + 0.5*...) table of normalised 16-bit values: entry i = ln(0.5 + 16i/65536).
const float* tmLogTable();

// Rounds half away from zero.
inline int tmRoundInt(double d) {
  return d > 0 ? (int)(d + 0.5) : (int)(d - 0.5);
}
// Clamps a brightness computed in int to the TMbright range (TM_NOBRT is reserved).
inline TMbright tmClampBright(int b) {
  if (b > 32767) return 32767;
  if (b < -32767) return -32767;
  return (TMbright)b;
}

// Colour conversion shared by tmCvColors and the 48-bit path.
int tmCvColorsInternal(TMstruct* tms, TMbright* ls, unsigned char* cs, const COLOR* scan, int len);

// A loader's failure path: frees what it returned so far, clears the outputs and reports err
// for funcName.
int tmLoadFailed(const char* funcName, TMstruct* tms, int err, TMbright** lpp, unsigned char** cpp,
                 int* xp, int* yp);

// The one-call operators' common part: creates a TMstruct, loads through load (which gets
// the TMstruct and the brightness and chroma array pointers; chroma NULL under TMF_GREY),
// histograms, maps and returns the display bytes in *psp.
typedef int TMLoadFunc(TMstruct* tms, TMbright** lpp, unsigned char** cpp, void* data);
int tmMapLoaded(const char* funcName, unsigned char** psp, int* xp, int* yp, int flags,
                RGBPRIMP monpri, double gamval, double Lddyn, double Ldmax, TMLoadFunc* load,
                void* data);

// Vectorised kernels (tmfast.cpp); each returns how many leading pixels it did (a multiple
// of 8), leaving the rest to the plain code. Use only when cpuHasAVX2() is true.
// tmCvColorsAVX2 handles the paths without TMF_MESOPIC and TMF_GREY; tab and gamb must have
// 4 readable bytes past their last entry.
int tmCvColorsAVX2(const TMstruct* tms, const TMbright* tab, const unsigned char* gamb,
                   TMbright* ls, unsigned char* cs, const COLOR* scan, int len);
int tmMapPixelsAVX2(const TMstruct* tms, unsigned char* ps, const TMbright* ls,
                    const unsigned char* cs, int len);
// Switches the vectorised kernels and special-case fast paths off (for tests that compare
// them with the plain code).
extern bool tmUseVectorKernels;

// The chroma table index of tmCvColrs: (y * 1024 / m) >> 12 for the weighted channel y and
// luminance mantissa m (1..255); the fast form multiplies by a reciprocal (valid once
// tmCvColrs has run), the plain form divides.
int64_t tmColrChromaIndex(int64_t y, int m);
int64_t tmColrChromaIndexPlain(int64_t y, int m);
