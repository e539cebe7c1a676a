// Tone-mapping input of 4-byte RGBE pixels, in integer arithmetic: a fixed-point colour
// matrix in 1/65536, luminance coefficients in 1/4096 and a 256-entry mantissa logarithm.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "tonemap/tmprivate.h"
#include "tonemap/tonemap.h"

namespace {
constexpr double kBrtPerStop = 88.722839111673;  // 128 ln 2

struct ColrData {
  unsigned char gamb[1025];  // display gamma of a chroma share in 1/1024; [1024] = 255
  int clfb[3];               // luminance coefficients in 1/4096
  int cmatb[3][3];           // colour matrix without its scale, in 1/65536
  int inpsfb;                // brightness of the input scale
};

TMbright logi[256];     // 128 ln((i + 0.5)/256), rounded down
int expBright[256];     // brightness of exponent byte e: (e - 128) 128 ln 2, rounded
uint64_t recip4m[256];  // ceil(2^40 / (4 m)): exact division by 4 m of numerators below 2^24
std::atomic<int> colrRegNo{-1};  // registration number of the package

void colrNewSpace(TMstruct* tms) {
  ColrData* cd;
  if (colrRegNo < 0 || (cd = (ColrData*)tms->pd[colrRegNo]) == nullptr) return;
  // A display primary cannot subtract luminance: negative coefficients count as 0.
  for (int i = 0; i < 3; i++)
    cd->clfb[i] = tms->clf[i] > 0 ? (int)(tms->clf[i] * 4096.0f + 0.5f) : 0;
  cd->inpsfb = tmCvLuminance(tms->inpsf);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++)
      cd->cmatb[i][j] = tmRoundInt(tms->cmat[i][j] / tms->inpsf * 65536.0);
}

void* colrInit(TMstruct* tms) {
  ColrData* cd = (ColrData*)malloc(sizeof(ColrData));
  if (cd == nullptr) return nullptr;
  tms->pd[colrRegNo] = cd;
  for (int i = 0; i < 1024; i++)
    cd->gamb[i] = (unsigned char)(int)(256.0 * std::pow((i + 0.5) / 1024.0, 1.0 / tms->mongam));
  cd->gamb[1024] = 255;
  colrNewSpace(tms);
  return cd;
}

TMpackage colrPkg = {colrInit, colrNewSpace, free};

}  // namespace

// The common case of tmCvColrs (display primaries, no mesopic or grey processing) without
// per-pixel tests: mantissas are at most 255, so the chroma numerators stay below 2^24 and
// the reciprocal division is exact; an index of 1024 or more reads the 255 at gamb[1024].
static void colrsDirect(const ColrData* cd, TMbright* ls, unsigned char* cs,
                        const unsigned char (*scan)[4], int len) {
  const int c0 = cd->clfb[0], c1 = cd->clfb[1], c2 = cd->clfb[2];
  for (int i = 0; i < len; i++) {
    const unsigned char* p = scan[i];
    const int r = p[0], g = p[1], b = p[2];
    int bi = c0 * r + c1 * g + c2 * b;
    int m = bi > 0xFFEFF ? 255 : (bi >> 12);
    ls[i] = tmClampBright(expBright[p[3]] + cd->inpsfb + logi[m]);
    if (m <= 0) m = 1;
    const uint64_t rm = recip4m[m];
    uint64_t i0 = ((uint64_t)(c0 * r) * rm) >> 40, i1 = ((uint64_t)(c1 * g) * rm) >> 40,
             i2 = ((uint64_t)(c2 * b) * rm) >> 40;
    cs[3 * i] = cd->gamb[i0 < 1024 ? i0 : 1024];
    cs[3 * i + 1] = cd->gamb[i1 < 1024 ? i1 : 1024];
    cs[3 * i + 2] = cd->gamb[i2 < 1024 ? i2 : 1024];
  }
}

int64_t tmColrChromaIndexPlain(int64_t y, int m) {
  return (y * 1024 / m) >> 12;
}

int64_t tmColrChromaIndex(int64_t y, int m) {
  // (y * 1024 / m) >> 12 is y / (4 m) for y >= 0; as a multiply and shift when exact.
  if (y >= 0 && y < ((int64_t)1 << 24)) return (int64_t)(((uint64_t)y * recip4m[m]) >> 40);
  return tmColrChromaIndexPlain(y, m);
}

int tmCvColrs(TMstruct* tms, TMbright* ls, unsigned char* cs, const unsigned char (*scan)[4],
              int len) {
  static const char funcName[] = "tmCvColrs";
  if (tms == nullptr) return tmErrorReturn(funcName, nullptr, TMERR_INVALID);
  if (ls == nullptr || scan == nullptr || len < 0)
    return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
  static std::once_flag once;
  std::call_once(once, [] {
    for (int i = 0; i < 256; i++) {
      logi[i] = (TMbright)(int)(128.0 * std::log((i + 0.5) / 256.0) - 0.5);
      int e = i - 128;
      expBright[i] = (int)(e > 0 ? e * kBrtPerStop + 0.5 : e * kBrtPerStop - 0.5);
      if (i > 0) recip4m[i] = (((uint64_t)1 << 40) + 4 * (uint64_t)i - 1) / (4 * (uint64_t)i);
    }
  });
  tmMkMesofact();
  int err;
  ColrData* cd = (ColrData*)tmPackageData(tms, &colrPkg, &colrRegNo, &err);
  if (cd == nullptr) return tmErrorReturn(funcName, tms, err);
  const bool direct = tms->monpri == tms->inppri;
  const int flags = tms->flags;
  if (tmUseVectorKernels && direct && !(flags & (TMF_MESOPIC | TMF_GREY)) && cs != nullptr) {
    colrsDirect(cd, ls, cs, scan, len);
    return TMERR_NONE;
  }
  for (int i = 0; i < len; i++) {
    int cmon[3];
    const unsigned char* p = scan[i];
    if (direct) {
      cmon[0] = p[0];
      cmon[1] = p[1];
      cmon[2] = p[2];
    } else {
      for (int c = 0; c < 3; c++)
        cmon[c] =
            (cd->cmatb[c][0] * p[0] + cd->cmatb[c][1] * p[1] + cd->cmatb[c][2] * p[2]) / 65536;
    }
    int bi = cd->clfb[0] * cmon[0] + cd->clfb[1] * cmon[1] + cd->clfb[2] * cmon[2];
    int m = bi > 0xFFEFF ? 255 : (bi >> 12);
    int b = expBright[p[3]] + cd->inpsfb + (m <= 0 ? logi[0] : logi[m]);
    if (m <= 0) m = 1;
    b = tmClampBright(b);
    ls[i] = (TMbright)b;
    if (cs == nullptr) continue;
    if (!(flags & TMF_MESOPIC) || b > TM_MESOTOP) {
      if (flags & TMF_GREY) {
        cmon[0] = cmon[1] = cmon[2] = m;
      } else {
        for (int c = 0; c < 3; c++)
          if (cmon[c] < 0) cmon[c] = 0;
      }
    } else {
      int s = (16 * cmon[0] + 156 * cmon[1] + 84 * cmon[2]) >> 8;
      if (b < TM_MESOBOT) {
        cmon[0] = cmon[1] = cmon[2] = s > 0 ? s : 0;
      } else {
        if (flags & TMF_GREY) cmon[0] = cmon[1] = cmon[2] = m;
        int f = tmMesofact[b - TM_MESOBOT];
        for (int c = 0; c < 3; c++) {
          int v = (s * (256 - f) + f * cmon[c]) >> 8;
          cmon[c] = v > 0 ? v : 0;
        }
      }
    }
    for (int c = 0; c < 3; c++) {
      int64_t idx = tmColrChromaIndex((int64_t)cd->clfb[c] * cmon[c], m);
      cs[3 * i + c] = idx >= 1024 ? 255 : cd->gamb[idx < 0 ? 0 : idx];
    }
  }
  return TMERR_NONE;
}
